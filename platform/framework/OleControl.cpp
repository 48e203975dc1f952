#include "platform/OleControl.h"

#include <memory>
#include <string_view>

#include "platform/Exceptions.h"
#include "platform/ModuleState.h"
#include "platform/ObjectFactory.h"
#include "platform/PropertyPage.h"

namespace platform {
namespace {

std::atomic<long> moduleLocks{0};

bool namesMatch(const char* ascii, const OLECHAR* name) {
    auto lower = [](char32_t c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; };
    std::size_t i = 0;
    for (; ascii[i] != 0; ++i) {
        if (name[i] == 0 || lower(static_cast<unsigned char>(ascii[i])) != lower(name[i])) return false;
    }
    return name[i] == 0;
}

}  // namespace

void lockModule() { ++moduleLocks; }
void unlockModule() { --moduleLocks; }
long moduleLockCount() { return moduleLocks.load(); }

COleControl::COleControl(std::span<const DispatchEntry> table) : table_(table) { lockModule(); }

COleControl::~COleControl() { unlockModule(); }

void COleControl::InitializeIIDs(const IID* dispatch, const IID* events) {
    dispatchIid_ = dispatch;
    eventsIid_ = events;
}

IUnknown* COleControl::queryExtraInterface(REFIID) { return nullptr; }

const CLSID* COleControl::controlClassId() const { return nullptr; }

DWORD COleControl::controlMiscStatus() const { return 0; }

bool COleControl::IsInvokeAllowed(DISPID) { return initialized_; }

HRESULT COleControl::QueryInterface(REFIID iid, void** object) {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    IUnknown* found = nullptr;
    if (iid == IID_IUnknown || iid == IID_IDispatch || (dispatchIid_ != nullptr && iid == *dispatchIid_)) {
        found = static_cast<IDispatch*>(this);
    } else if (iid == IID_IViewObject) {
        found = static_cast<ViewObjectInterface*>(this);
    } else if (IUnknown* embedding = queryEmbeddingInterface(iid)) {
        found = embedding;
    } else {
        found = queryExtraInterface(iid);
    }
    if (found == nullptr) return E_NOINTERFACE;
    found->AddRef();
    *object = found;
    return S_OK;
}

ULONG COleControl::AddRef() { return ++references_; }

ULONG COleControl::Release() {
    const ULONG left = --references_;
    if (left == 0) delete this;
    return left;
}

HRESULT COleControl::GetTypeInfoCount(UINT* count) {
    if (count == nullptr) return E_POINTER;
    *count = 0;
    return S_OK;
}

HRESULT COleControl::GetTypeInfo(UINT, LCID, ITypeInfo** info) {
    if (info != nullptr) *info = nullptr;
    return TYPE_E_ELEMENTNOTFOUND;
}

HRESULT COleControl::GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) {
    AFX_MANAGE_STATE_STATIC();
    if (names == nullptr || ids == nullptr) return E_POINTER;
    if (count == 0) return S_OK;
    HRESULT hr = S_OK;
    ids[0] = DISPID_UNKNOWN;
    for (const DispatchEntry& entry : table_) {
        if (names[0] != nullptr && namesMatch(entry.name, names[0])) ids[0] = entry.id;
    }
    if (ids[0] == DISPID_UNKNOWN) hr = DISP_E_UNKNOWNNAME;
    // Members take no arguments, so no argument name can be known.
    for (UINT i = 1; i < count; ++i) {
        ids[i] = DISPID_UNKNOWN;
        hr = DISP_E_UNKNOWNNAME;
    }
    return hr;
}

HRESULT COleControl::Invoke(DISPID member, REFIID, LCID, WORD flags, DISPPARAMS* params,
                            VARIANT* result, EXCEPINFO* exception, UINT*) {
    AFX_MANAGE_STATE_STATIC();
    const DispatchEntry* entry = nullptr;
    for (const DispatchEntry& candidate : table_) {
        if (candidate.id == member) entry = &candidate;
    }
    if (entry == nullptr || (flags & DISPATCH_METHOD) == 0) return DISP_E_MEMBERNOTFOUND;
    if (params != nullptr && (params->cArgs != 0 || params->cNamedArgs != 0)) return DISP_E_BADPARAMCOUNT;
    if (!IsInvokeAllowed(member)) return E_FAIL;
    HRESULT failure = S_OK;
    try {
        entry->call(*this, result);
        return S_OK;
    } catch (const CMemoryException&) {
        failure = E_OUTOFMEMORY;
    } catch (const std::bad_alloc&) {
        failure = E_OUTOFMEMORY;
    } catch (...) {
        failure = E_FAIL;
    }
    if (exception != nullptr) {
        *exception = EXCEPINFO{};
        exception->scode = failure;
    }
    return DISP_E_EXCEPTION;
}

}  // namespace platform

namespace platform {

void CPropExchange::ExchangeLong(const char* name, long& value, long fallback) {
    if (loading_) {
        const auto found = bag_.find(name);
        value = found != bag_.end() ? found->second : fallback;
    } else {
        bag_[name] = value;
    }
}

void ExchangeVersion(CPropExchange* exchange, DWORD version, bool convert) {
    long value = static_cast<long>(version);
    exchange->ExchangeLong("_Version", value, static_cast<long>(version));
    exchange->loadedVersion = static_cast<DWORD>(value);
    if (exchange->IsLoading() && convert) exchange->loadedVersion = version;
}

void COleControl::OnDraw(CDC*, const RECT&, const RECT&) {}

void COleControl::DoPropExchange(CPropExchange*) {}

void COleControl::InitNew() {
    PropertyBag empty;
    Load(empty);
}

void COleControl::Load(const PropertyBag& bag) {
    AFX_MANAGE_STATE_STATIC();
    PropertyBag copy = bag;
    CPropExchange exchange(copy, true);
    DoPropExchange(&exchange);
    initialized_ = true;
}

PropertyBag COleControl::Save() {
    AFX_MANAGE_STATE_STATIC();
    PropertyBag bag;
    CPropExchange exchange(bag, false);
    DoPropExchange(&exchange);
    return bag;
}

const CLSID* COleControl::GetPropPageIDs(ULONG& count) {
    count = 0;
    return nullptr;
}

std::span<const VerbEntry> COleControl::verbs() const { return {}; }

bool COleControl::DoVerb(const char* name) {
    AFX_MANAGE_STATE_STATIC();
    for (const VerbEntry& verb : verbs()) {
        if (std::string_view(verb.name) == name) {
            verb.run(*this);
            return true;
        }
    }
    return false;
}

HRESULT COleControl::Draw(DWORD aspect, LONG, void*, DVTARGETDEVICE*, HDC, HDC drawDc, const RECTL* bounds,
                          const RECTL*, BOOL(STDMETHODCALLTYPE*)(ULONG_PTR), ULONG_PTR) {
    AFX_MANAGE_STATE_STATIC();
    if (aspect != DVASPECT_CONTENT) return E_INVALIDARG;
    RECT area{};
    if (bounds != nullptr) area = RECT{bounds->left, bounds->top, bounds->right, bounds->bottom};
    const bool painted =
        paintOnDevice(drawDc, area, [this](CDC* dc, const RECT& where) { OnDraw(dc, where, where); });
    return painted ? S_OK : E_FAIL;
}

HRESULT COleControl::GetColorSet(DWORD, LONG, void*, DVTARGETDEVICE*, HDC, LOGPALETTE** colourSet) {
    if (colourSet != nullptr) *colourSet = nullptr;
    return S_FALSE;
}

HRESULT COleControl::Freeze(DWORD, LONG, void*, DWORD* freeze) {
    if (freeze != nullptr) *freeze = 0;
    return E_NOTIMPL;
}

HRESULT COleControl::Unfreeze(DWORD) { return E_NOTIMPL; }

HRESULT COleControl::SetAdvise(DWORD, DWORD, IAdviseSink*) { return E_NOTIMPL; }

HRESULT COleControl::GetAdvise(DWORD* aspects, DWORD* flags, IAdviseSink** sink) {
    if (aspects != nullptr) *aspects = 0;
    if (flags != nullptr) *flags = 0;
    if (sink != nullptr) *sink = nullptr;
    return E_NOTIMPL;
}

}  // namespace platform

namespace platform {

void COleControl::OnProperties() {
    AFX_MANAGE_STATE_STATIC();
    ULONG count = 0;
    const CLSID* pages = GetPropPageIDs(count);
    for (ULONG i = 0; i < count; ++i) {
        IClassFactory* factory = nullptr;
        if (FAILED(AfxDllGetClassObject(pages[i], IID_IClassFactory, reinterpret_cast<void**>(&factory)))) continue;
        void* object = nullptr;
        const HRESULT hr = factory->CreateInstance(nullptr, IID_PlatformPropertyPage, &object);
        factory->Release();
        if (FAILED(hr)) continue;
        // Released however the frame ends.
        const std::unique_ptr<COlePropertyPage, void (*)(COlePropertyPage*)> page(
            static_cast<COlePropertyPage*>(static_cast<IUnknown*>(object)), [](COlePropertyPage* p) { p->Release(); });
        page->RunInFrame();
    }
}

}  // namespace platform
