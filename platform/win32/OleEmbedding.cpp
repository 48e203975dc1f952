#include "platform/OleControl.h"

#include <cstring>
#include <map>
#include <string>

#include "platform/ModuleState.h"
#include "platform/win32/ComTypes.h"

// The interfaces a container uses to embed the control (an <object> element
// of a page, a form): the OLE object with its verbs and extent, windowless
// in-place activation, the control's mnemonics answer, persistence in a
// stream and in a property bag, its class information, the connection point
// of its event interface, and its property pages. They all share the
// control's identity and reference count.
namespace platform {

class OleEmbedding final : public IOleObject,
                           public IOleInPlaceObject,
                           public IOleControl,
                           public IPersistStreamInit,
                           public IPersistPropertyBag,
                           public IProvideClassInfo2,
                           public IConnectionPointContainer,
                           public ISpecifyPropertyPages {
public:
    explicit OleEmbedding(COleControl& control) : control_(control) {}
    ~OleEmbedding() {
        if (site_ != nullptr) site_->Release();
        if (inPlaceSite_ != nullptr) inPlaceSite_->Release();
        if (adviseHolder_ != nullptr) adviseHolder_->Release();
        for (auto& [cookie, sink] : sinks_) sink->Release();
    }
    OleEmbedding(const OleEmbedding&) = delete;
    OleEmbedding& operator=(const OleEmbedding&) = delete;

    IUnknown* find(REFIID iid) {
        if (iid == IID_IOleObject) return static_cast<IOleObject*>(this);
        if (iid == IID_IOleInPlaceObject || iid == IID_IOleWindow) return static_cast<IOleInPlaceObject*>(this);
        if (iid == IID_IOleControl) return static_cast<IOleControl*>(this);
        if (iid == IID_IPersistStreamInit || iid == IID_IPersist) return static_cast<IPersistStreamInit*>(this);
        if (iid == IID_IPersistPropertyBag) return static_cast<IPersistPropertyBag*>(this);
        if (iid == IID_IProvideClassInfo || iid == IID_IProvideClassInfo2) {
            return static_cast<IProvideClassInfo2*>(this);
        }
        if (iid == IID_IConnectionPointContainer) return static_cast<IConnectionPointContainer*>(this);
        if (iid == IID_ISpecifyPropertyPages) return static_cast<ISpecifyPropertyPages*>(this);
        return nullptr;
    }

    // IUnknown, for every interface here: the control's.
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        return control_.QueryInterface(iid, object);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return control_.AddRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return control_.Release(); }

    // IOleObject
    HRESULT STDMETHODCALLTYPE SetClientSite(IOleClientSite* site) override {
        if (site != nullptr) site->AddRef();
        if (site_ != nullptr) site_->Release();
        site_ = site;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetClientSite(IOleClientSite** site) override {
        if (site == nullptr) return E_POINTER;
        *site = site_;
        if (site_ != nullptr) site_->AddRef();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetHostNames(LPCOLESTR, LPCOLESTR) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Close(DWORD) override {
        InPlaceDeactivate();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetMoniker(DWORD, IMoniker*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetMoniker(DWORD, DWORD, IMoniker** moniker) override {
        if (moniker != nullptr) *moniker = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE InitFromData(IDataObject*, BOOL, DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetClipboardData(DWORD, IDataObject** data) override {
        if (data != nullptr) *data = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE DoVerb(LONG verb, LPMSG, IOleClientSite* site, LONG, HWND, LPCRECT position) override {
        AFX_MANAGE_STATE_STATIC();
        switch (verb) {
            case OLEIVERB_PRIMARY:
            case OLEIVERB_SHOW:
            case OLEIVERB_INPLACEACTIVATE:
            case OLEIVERB_UIACTIVATE:
                return activateInPlace(site != nullptr ? site : site_, position);
            case OLEIVERB_HIDE: return InPlaceDeactivate();
            case OLEIVERB_PROPERTIES: control_.OnProperties(); return S_OK;
            default: break;
        }
        // The control's own verbs are numbered from 1 after the primary one.
        const auto verbs = control_.verbs();
        if (verb > 0 && static_cast<std::size_t>(verb) <= verbs.size()) {
            verbs[static_cast<std::size_t>(verb) - 1].run(control_);
            return S_OK;
        }
        return OLEOBJ_S_INVALIDVERB;
    }
    HRESULT STDMETHODCALLTYPE EnumVerbs(IEnumOLEVERB** verbs) override {
        const CLSID* clsid = control_.controlClassId();
        if (clsid == nullptr) return E_NOTIMPL;
        return ::OleRegEnumVerbs(*clsid, verbs);
    }
    HRESULT STDMETHODCALLTYPE Update() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE IsUpToDate() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE GetUserClassID(CLSID* clsid) override { return GetClassID(clsid); }
    HRESULT STDMETHODCALLTYPE GetUserType(DWORD form, LPOLESTR* type) override {
        const CLSID* clsid = control_.controlClassId();
        if (clsid == nullptr) return E_FAIL;
        return ::OleRegGetUserType(*clsid, form, type);
    }
    HRESULT STDMETHODCALLTYPE SetExtent(DWORD aspect, SIZEL* size) override {
        if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
        if (size == nullptr) return E_POINTER;
        extent_ = *size;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetExtent(DWORD aspect, SIZEL* size) override {
        if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
        if (size == nullptr) return E_POINTER;
        *size = extent_;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Advise(IAdviseSink* sink, DWORD* connection) override {
        if (adviseHolder_ == nullptr && FAILED(::CreateOleAdviseHolder(&adviseHolder_))) return E_OUTOFMEMORY;
        return adviseHolder_->Advise(sink, connection);
    }
    HRESULT STDMETHODCALLTYPE Unadvise(DWORD connection) override {
        if (adviseHolder_ == nullptr) return OLE_E_NOCONNECTION;
        return adviseHolder_->Unadvise(connection);
    }
    HRESULT STDMETHODCALLTYPE EnumAdvise(IEnumSTATDATA** advises) override {
        if (adviseHolder_ == nullptr) {
            if (advises != nullptr) *advises = nullptr;
            return E_FAIL;
        }
        return adviseHolder_->EnumAdvise(advises);
    }
    HRESULT STDMETHODCALLTYPE GetMiscStatus(DWORD aspect, DWORD* status) override {
        if (status == nullptr) return E_POINTER;
        *status = aspect == DVASPECT_CONTENT ? control_.controlMiscStatus() : 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetColorScheme(LOGPALETTE*) override { return E_NOTIMPL; }

    // IOleWindow and IOleInPlaceObject: the control is windowless.
    HRESULT STDMETHODCALLTYPE GetWindow(HWND* window) override {
        if (window != nullptr) *window = nullptr;
        return E_FAIL;
    }
    HRESULT STDMETHODCALLTYPE ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE InPlaceDeactivate() override {
        if (inPlaceSite_ == nullptr) return S_OK;
        IOleInPlaceSite* site = inPlaceSite_;
        inPlaceSite_ = nullptr;
        site->OnInPlaceDeactivate();
        site->Release();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE UIDeactivate() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE SetObjectRects(LPCRECT position, LPCRECT) override {
        if (position == nullptr) return E_POINTER;
        position_ = *position;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE ReactivateAndUndo() override { return E_NOTIMPL; }

    // IOleControl: no mnemonics, nothing depends on ambient properties.
    HRESULT STDMETHODCALLTYPE GetControlInfo(CONTROLINFO* info) override {
        if (info == nullptr) return E_POINTER;
        info->hAccel = nullptr;
        info->cAccel = 0;
        info->dwFlags = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnMnemonic(MSG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE OnAmbientPropertyChange(DISPID) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE FreezeEvents(BOOL) override { return S_OK; }

    // IPersist, IPersistStreamInit: the persisted properties as a count and
    // (name length, name, value) records.
    HRESULT STDMETHODCALLTYPE GetClassID(CLSID* clsid) override {
        if (clsid == nullptr) return E_POINTER;
        const CLSID* own = control_.controlClassId();
        if (own == nullptr) return E_FAIL;
        *clsid = *own;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE IsDirty() override { return S_FALSE; }
    HRESULT STDMETHODCALLTYPE Load(IStream* stream) override {
        if (stream == nullptr) return E_POINTER;
        PropertyBag bag;
        DWORD count = 0;
        if (!read(stream, &count, sizeof count) || count > 1024) return E_FAIL;
        for (DWORD i = 0; i < count; ++i) {
            WORD length = 0;
            std::string name;
            LONG value = 0;
            if (!read(stream, &length, sizeof length)) return E_FAIL;
            name.resize(length);
            if (!read(stream, name.data(), length) || !read(stream, &value, sizeof value)) return E_FAIL;
            bag[name] = value;
        }
        return guarded([&] { control_.Load(bag); });
    }
    HRESULT STDMETHODCALLTYPE Save(IStream* stream, BOOL) override {
        if (stream == nullptr) return E_POINTER;
        PropertyBag bag;
        const HRESULT hr = guarded([&] { bag = control_.Save(); });
        if (FAILED(hr)) return hr;
        const auto count = static_cast<DWORD>(bag.size());
        if (!write(stream, &count, sizeof count)) return STG_E_CANTSAVE;
        for (const auto& [name, value] : bag) {
            const auto length = static_cast<WORD>(name.size());
            const auto stored = static_cast<LONG>(value);
            if (!write(stream, &length, sizeof length) || !write(stream, name.data(), length) ||
                !write(stream, &stored, sizeof stored)) {
                return STG_E_CANTSAVE;
            }
        }
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetSizeMax(ULARGE_INTEGER* size) override {
        if (size == nullptr) return E_POINTER;
        PropertyBag bag = control_.Save();
        ULONGLONG total = sizeof(DWORD);
        for (const auto& [name, value] : bag) total += sizeof(WORD) + name.size() + sizeof(LONG);
        size->QuadPart = total;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE InitNew() override {
        return guarded([&] { control_.InitNew(); });
    }

    // IPersistPropertyBag: each persisted property as a 32-bit integer under
    // its name; one the bag lacks takes the control's default.
    HRESULT STDMETHODCALLTYPE Load(IPropertyBag* bag, IErrorLog* log) override {
        if (bag == nullptr) return E_POINTER;
        PropertyBag names;
        HRESULT hr = guarded([&] { names = control_.Save(); });
        if (FAILED(hr)) return hr;
        PropertyBag loaded;
        for (const auto& [name, value] : names) {
            const std::wstring wide(name.begin(), name.end());
            VARIANT read;
            ::VariantInit(&read);
            read.vt = VT_I4;
            if (SUCCEEDED(bag->Read(wide.c_str(), &read, log))) {
                if (SUCCEEDED(::VariantChangeType(&read, &read, 0, VT_I4))) loaded[name] = read.lVal;
                ::VariantClear(&read);
            }
        }
        return guarded([&] { control_.Load(loaded); });
    }
    HRESULT STDMETHODCALLTYPE Save(IPropertyBag* bag, BOOL, BOOL) override {
        if (bag == nullptr) return E_POINTER;
        PropertyBag saved;
        const HRESULT hr = guarded([&] { saved = control_.Save(); });
        if (FAILED(hr)) return hr;
        for (const auto& [name, value] : saved) {
            const std::wstring wide(name.begin(), name.end());
            VARIANT stored;
            ::VariantInit(&stored);
            stored.vt = VT_I4;
            stored.lVal = static_cast<LONG>(value);
            if (FAILED(bag->Write(wide.c_str(), &stored))) return E_FAIL;
        }
        return S_OK;
    }

    // IProvideClassInfo2: from the type library the module carries.
    HRESULT STDMETHODCALLTYPE GetClassInfo(ITypeInfo** info) override {
        if (info == nullptr) return E_POINTER;
        *info = nullptr;
        const CLSID* clsid = control_.controlClassId();
        if (clsid == nullptr) return E_FAIL;
        wchar_t path[MAX_PATH + 1] = {};
        const auto module = static_cast<HMODULE>(staticModuleState().instance);
        if (::GetModuleFileNameW(module, path, MAX_PATH) == 0) return E_FAIL;
        ITypeLib* library = nullptr;
        HRESULT hr = ::LoadTypeLibEx(path, REGKIND_NONE, &library);
        if (FAILED(hr)) return hr;
        hr = library->GetTypeInfoOfGuid(*clsid, info);
        library->Release();
        return hr;
    }
    HRESULT STDMETHODCALLTYPE GetGUID(DWORD kind, GUID* guid) override {
        if (guid == nullptr) return E_POINTER;
        if (kind != GUIDKIND_DEFAULT_SOURCE_DISP_IID || control_.eventsIid() == nullptr) return E_INVALIDARG;
        *guid = *control_.eventsIid();
        return S_OK;
    }

    // IConnectionPointContainer: the one connection point, of the event
    // interface. The control fires no events; sinks are held until unadvised.
    HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints** points) override {
        if (points != nullptr) *points = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID iid, IConnectionPoint** point) override {
        if (point == nullptr) return E_POINTER;
        *point = nullptr;
        if (control_.eventsIid() == nullptr || !(iid == *control_.eventsIid())) return CONNECT_E_NOCONNECTION;
        events_.AddRef();
        *point = &events_;
        return S_OK;
    }

    // The connection point's work.
    HRESULT adviseEvents(IUnknown* sink, DWORD* cookie) {
        if (sink == nullptr || cookie == nullptr) return E_POINTER;
        IUnknown* events = nullptr;
        if (FAILED(sink->QueryInterface(*control_.eventsIid(), reinterpret_cast<void**>(&events))) &&
            FAILED(sink->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&events)))) {
            return CONNECT_E_CANNOTCONNECT;
        }
        *cookie = ++lastCookie_;
        sinks_[*cookie] = events;
        return S_OK;
    }
    HRESULT unadviseEvents(DWORD cookie) {
        const auto found = sinks_.find(cookie);
        if (found == sinks_.end()) return CONNECT_E_NOCONNECTION;
        found->second->Release();
        sinks_.erase(found);
        return S_OK;
    }

    // ISpecifyPropertyPages
    HRESULT STDMETHODCALLTYPE GetPages(CAUUID* pages) override {
        if (pages == nullptr) return E_POINTER;
        ULONG count = 0;
        const CLSID* ids = control_.GetPropPageIDs(count);
        pages->cElems = 0;
        pages->pElems = nullptr;
        if (count == 0) return S_OK;
        pages->pElems = static_cast<GUID*>(::CoTaskMemAlloc(count * sizeof(GUID)));
        if (pages->pElems == nullptr) return E_OUTOFMEMORY;
        std::memcpy(pages->pElems, ids, count * sizeof(GUID));
        pages->cElems = count;
        return S_OK;
    }

private:
    // The event interface's connection point, part of the control.
    class EventsPoint final : public IConnectionPoint {
    public:
        explicit EventsPoint(OleEmbedding& owner) : owner_(owner) {}
        HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
            if (object == nullptr) return E_POINTER;
            *object = nullptr;
            if (iid != IID_IUnknown && iid != IID_IConnectionPoint) return E_NOINTERFACE;
            AddRef();
            *object = static_cast<IConnectionPoint*>(this);
            return S_OK;
        }
        ULONG STDMETHODCALLTYPE AddRef() override { return owner_.AddRef(); }
        ULONG STDMETHODCALLTYPE Release() override { return owner_.Release(); }
        HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* iid) override {
            if (iid == nullptr) return E_POINTER;
            *iid = *owner_.control_.eventsIid();
            return S_OK;
        }
        HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer** container) override {
            if (container == nullptr) return E_POINTER;
            owner_.AddRef();
            *container = static_cast<IConnectionPointContainer*>(&owner_);
            return S_OK;
        }
        HRESULT STDMETHODCALLTYPE Advise(IUnknown* sink, DWORD* cookie) override {
            return owner_.adviseEvents(sink, cookie);
        }
        HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override { return owner_.unadviseEvents(cookie); }
        HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections** connections) override {
            if (connections != nullptr) *connections = nullptr;
            return E_NOTIMPL;
        }

    private:
        OleEmbedding& owner_;
    };

    HRESULT activateInPlace(IOleClientSite* site, LPCRECT position) {
        if (inPlaceSite_ != nullptr) return S_OK;
        if (site == nullptr) return E_UNEXPECTED;
        IOleInPlaceSite* inPlace = nullptr;
        if (FAILED(site->QueryInterface(IID_IOleInPlaceSite, reinterpret_cast<void**>(&inPlace)))) {
            return E_NOINTERFACE;
        }
        if (inPlace->CanInPlaceActivate() != S_OK) {
            inPlace->Release();
            return E_FAIL;
        }
        inPlace->OnInPlaceActivate();
        if (position != nullptr) position_ = *position;
        inPlaceSite_ = inPlace;
        return S_OK;
    }

    template <class Work>
    static HRESULT guarded(Work&& work) {
        try {
            work();
            return S_OK;
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        } catch (...) {
            return E_FAIL;
        }
    }

    static bool read(IStream* stream, void* data, ULONG size) {
        ULONG done = 0;
        return size == 0 || (SUCCEEDED(stream->Read(data, size, &done)) && done == size);
    }
    static bool write(IStream* stream, const void* data, ULONG size) {
        ULONG done = 0;
        return size == 0 || (SUCCEEDED(stream->Write(data, size, &done)) && done == size);
    }

    COleControl& control_;
    IOleClientSite* site_ = nullptr;
    IOleInPlaceSite* inPlaceSite_ = nullptr;
    IOleAdviseHolder* adviseHolder_ = nullptr;
    SIZEL extent_{2540, 2540};  // HIMETRIC: one inch square until the container sets it
    RECT position_{};
    std::map<DWORD, IUnknown*> sinks_;
    DWORD lastCookie_ = 0;
    EventsPoint events_{*this};
};

void OleEmbeddingDeleter::operator()(OleEmbedding* embedding) const { delete embedding; }

IUnknown* COleControl::queryEmbeddingInterface(REFIID iid) {
    if (iid == IID_IViewObject2) return static_cast<IViewObject2*>(this);
    if (!embedding_) embedding_.reset(new OleEmbedding(*this));
    return embedding_->find(iid);
}

HRESULT COleControl::GetExtent(DWORD aspect, LONG, DVTARGETDEVICE*, SIZEL* size) {
    IOleObject* object = nullptr;
    if (FAILED(QueryInterface(IID_IOleObject, reinterpret_cast<void**>(&object)))) return E_FAIL;
    const HRESULT hr = object->GetExtent(aspect, size);
    object->Release();
    return hr;
}

}  // namespace platform
