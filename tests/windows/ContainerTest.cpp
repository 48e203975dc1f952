// A small OLE container of the registered control, doing what a page's host
// does with an <object> element: site it, activate it in place, draw it into
// a memory device context, persist it through a property bag and a stream
// and load it back, ask for its class information, event connection point
// and property pages, and show the property frame (without a desktop the
// frame's dialog returns at once).
#include <windows.h>
#include <ole2.h>
#include <ocidl.h>
#include <olectl.h>

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>

namespace {

GUID guid(const wchar_t* text) {
    GUID value{};
    ::CLSIDFromString(text, &value);
    return value;
}

const GUID kClsid = guid(L"{4F5D262A-FF7A-4211-8D8E-9D095FAB3A99}");
const GUID kEventsIid = guid(L"{464340B3-DC8E-4CC0-911B-112616B6859A}");
const GUID kPropertyPage = guid(L"{1D86AF72-1DBA-497B-845B-F18F5F982D56}");

// The site: a client site with windowless in-place support that records
// what the control tells it. Lives on the stack; its counts are not owned.
class Site final : public IOleClientSite, public IOleInPlaceSite {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (iid == IID_IUnknown || iid == IID_IOleClientSite) *object = static_cast<IOleClientSite*>(this);
        else if (iid == IID_IOleInPlaceSite || iid == IID_IOleWindow) *object = static_cast<IOleInPlaceSite*>(this);
        else {
            *object = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
    ULONG STDMETHODCALLTYPE Release() override { return --references; }

    HRESULT STDMETHODCALLTYPE SaveObject() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE GetMoniker(DWORD, DWORD, IMoniker** moniker) override {
        *moniker = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetContainer(IOleContainer** container) override {
        *container = nullptr;
        return E_NOINTERFACE;
    }
    HRESULT STDMETHODCALLTYPE ShowObject() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnShowWindow(BOOL) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE RequestNewObjectLayout() override { return E_NOTIMPL; }

    HRESULT STDMETHODCALLTYPE GetWindow(HWND* window) override {
        *window = nullptr;
        return E_FAIL;
    }
    HRESULT STDMETHODCALLTYPE ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE CanInPlaceActivate() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnInPlaceActivate() override {
        ++activations;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnUIActivate() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE GetWindowContext(IOleInPlaceFrame** frame, IOleInPlaceUIWindow** document, LPRECT,
                                               LPRECT, LPOLEINPLACEFRAMEINFO) override {
        *frame = nullptr;
        *document = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Scroll(SIZE) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE OnUIDeactivate(BOOL) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnInPlaceDeactivate() override {
        ++deactivations;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE DiscardUndoState() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE DeactivateAndUndo() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnPosRectChange(LPCRECT) override { return S_OK; }

    ULONG references = 0;
    int activations = 0;
    int deactivations = 0;
};

// A property bag of integers, as a page's <param> elements hold them.
class Bag final : public IPropertyBag {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (iid != IID_IUnknown && iid != IID_IPropertyBag) {
            *object = nullptr;
            return E_NOINTERFACE;
        }
        *object = static_cast<IPropertyBag*>(this);
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE Read(LPCOLESTR name, VARIANT* value, IErrorLog*) override {
        const auto found = values.find(name);
        if (found == values.end()) return E_INVALIDARG;
        value->vt = VT_I4;
        value->lVal = found->second;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Write(LPCOLESTR name, VARIANT* value) override {
        VARIANT converted;
        ::VariantInit(&converted);
        if (FAILED(::VariantChangeType(&converted, value, 0, VT_I4))) return E_FAIL;
        values[name] = converted.lVal;
        return S_OK;
    }
    std::map<std::wstring, LONG> values;
};

template <class Interface>
Interface* query(IUnknown* object, REFIID iid) {
    Interface* found = nullptr;
    EXPECT_EQ(object->QueryInterface(iid, reinterpret_cast<void**>(&found)), S_OK);
    return found;
}

class ContainerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(::OleInitialize(nullptr)));
        ASSERT_EQ(::CoCreateInstance(kClsid, nullptr, CLSCTX_INPROC_SERVER, IID_IOleObject,
                                     reinterpret_cast<void**>(&object_)),
                  S_OK);
    }
    void TearDown() override {
        if (object_ != nullptr) {
            object_->Close(OLECLOSE_NOSAVE);
            object_->SetClientSite(nullptr);
            object_->Release();
        }
        ::OleUninitialize();
    }
    IOleObject* object_ = nullptr;
};

TEST_F(ContainerTest, SitesActivatesInPlaceAndDeactivates) {
    DWORD misc = 0;
    EXPECT_EQ(object_->GetMiscStatus(DVASPECT_CONTENT, &misc), S_OK);
    EXPECT_EQ(misc, 0x00020191u);
    Site site;
    ASSERT_EQ(object_->SetClientSite(&site), S_OK);
    IPersistPropertyBag* persist = query<IPersistPropertyBag>(object_, IID_IPersistPropertyBag);
    EXPECT_EQ(persist->InitNew(), S_OK);
    persist->Release();
    RECT position{0, 0, 120, 80};
    EXPECT_EQ(object_->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, &site, 0, nullptr, &position), S_OK);
    EXPECT_EQ(site.activations, 1);
    IOleInPlaceObject* inPlace = query<IOleInPlaceObject>(object_, IID_IOleInPlaceObject);
    HWND window = reinterpret_cast<HWND>(1);
    EXPECT_EQ(inPlace->GetWindow(&window), E_FAIL);  // windowless
    EXPECT_EQ(window, nullptr);
    EXPECT_EQ(inPlace->InPlaceDeactivate(), S_OK);
    EXPECT_EQ(site.deactivations, 1);
    inPlace->Release();
    IOleControl* control = query<IOleControl>(object_, IID_IOleControl);
    CONTROLINFO info{};
    info.cb = sizeof info;
    EXPECT_EQ(control->GetControlInfo(&info), S_OK);
    EXPECT_EQ(info.cAccel, 0);
    control->Release();
    EXPECT_EQ(object_->SetClientSite(nullptr), S_OK);
    EXPECT_EQ(site.references, 0u) << "the control keeps no reference to a site it was taken from";
}

TEST_F(ContainerTest, DrawsWhiteWithTheInscribedEllipseIntoAMemoryDc) {
    IViewObject2* view = query<IViewObject2>(object_, IID_IViewObject2);
    ASSERT_NE(view, nullptr);
    constexpr int kSize = 41;
    HDC dc = ::CreateCompatibleDC(nullptr);
    BITMAPINFO bitmapInfo{};
    bitmapInfo.bmiHeader.biSize = sizeof bitmapInfo.bmiHeader;
    bitmapInfo.bmiHeader.biWidth = kSize;
    bitmapInfo.bmiHeader.biHeight = -kSize;
    bitmapInfo.bmiHeader.biPlanes = 1;
    bitmapInfo.bmiHeader.biBitCount = 32;
    void* bits = nullptr;
    HBITMAP bitmap = ::CreateDIBSection(dc, &bitmapInfo, DIB_RGB_COLORS, &bits, nullptr, 0);
    ASSERT_NE(bitmap, nullptr);
    HGDIOBJ old = ::SelectObject(dc, bitmap);
    std::memset(bits, 0x55, kSize * kSize * 4);  // neither white nor black
    const RECTL bounds{0, 0, kSize, kSize};
    EXPECT_EQ(view->Draw(DVASPECT_CONTENT, -1, nullptr, nullptr, nullptr, dc, &bounds, nullptr, nullptr, 0), S_OK);
    ::GdiFlush();
    const auto* pixels = static_cast<const DWORD*>(bits);
    auto at = [&](int x, int y) { return pixels[y * kSize + x] & 0xFFFFFF; };
    EXPECT_EQ(at(0, 0), 0xFFFFFFu) << "corners are the white background";
    EXPECT_EQ(at(kSize - 1, kSize - 1), 0xFFFFFFu);
    EXPECT_EQ(at(20, 20), 0xFFFFFFu) << "the ellipse is filled white";
    EXPECT_EQ(at(0, 20), 0u) << "its outline touches the bounds";
    EXPECT_EQ(at(20, 0), 0u);
    EXPECT_EQ(at(40, 20), 0u);
    EXPECT_EQ(at(20, 40), 0u);
    for (int y = 0; y < kSize; ++y) {
        for (int x = 0; x < kSize; ++x) ASSERT_EQ(at(x, y), at(y, x)) << x << "," << y;
    }
    SIZEL extent{};
    EXPECT_EQ(view->GetExtent(DVASPECT_CONTENT, -1, nullptr, &extent), S_OK);
    EXPECT_GT(extent.cx, 0);
    EXPECT_EQ(view->Draw(DVASPECT_ICON, -1, nullptr, nullptr, nullptr, dc, &bounds, nullptr, nullptr, 0),
              E_INVALIDARG);
    ::SelectObject(dc, old);
    ::DeleteObject(bitmap);
    ::DeleteDC(dc);
    view->Release();
}

TEST_F(ContainerTest, PersistsThroughAPropertyBagAndAStream) {
    IPersistPropertyBag* persist = query<IPersistPropertyBag>(object_, IID_IPersistPropertyBag);
    CLSID clsid{};
    EXPECT_EQ(persist->GetClassID(&clsid), S_OK);
    EXPECT_TRUE(::IsEqualGUID(clsid, kClsid));
    ASSERT_EQ(persist->InitNew(), S_OK);
    Bag bag;
    ASSERT_EQ(persist->Save(&bag, TRUE, TRUE), S_OK);
    ASSERT_EQ(bag.values.size(), 1u);
    EXPECT_EQ(bag.values[L"_Version"], 0x00010000);
    persist->Release();

    // A second control loads what the first saved, and an older version.
    IPersistPropertyBag* reloaded = nullptr;
    ASSERT_EQ(::CoCreateInstance(kClsid, nullptr, CLSCTX_INPROC_SERVER, IID_IPersistPropertyBag,
                                 reinterpret_cast<void**>(&reloaded)),
              S_OK);
    EXPECT_EQ(reloaded->Load(&bag, nullptr), S_OK);
    bag.values[L"_Version"] = 0x00000001;
    EXPECT_EQ(reloaded->Load(&bag, nullptr), S_OK);
    Bag again;
    EXPECT_EQ(reloaded->Save(&again, TRUE, TRUE), S_OK);
    EXPECT_EQ(again.values[L"_Version"], 0x00010000) << "an older version is converted";

    IPersistStreamInit* streamed = query<IPersistStreamInit>(reloaded, IID_IPersistStreamInit);
    IStream* stream = nullptr;
    ASSERT_EQ(::CreateStreamOnHGlobal(nullptr, TRUE, &stream), S_OK);
    ULARGE_INTEGER size{};
    EXPECT_EQ(streamed->GetSizeMax(&size), S_OK);
    EXPECT_EQ(streamed->Save(stream, TRUE), S_OK);
    ULARGE_INTEGER end{};
    const LARGE_INTEGER zero{};
    stream->Seek(zero, STREAM_SEEK_CUR, &end);
    EXPECT_EQ(end.QuadPart, size.QuadPart);
    stream->Seek(zero, STREAM_SEEK_SET, nullptr);
    EXPECT_EQ(streamed->Load(stream), S_OK);
    stream->Release();
    streamed->Release();
    reloaded->Release();
}

TEST_F(ContainerTest, ClassInfoEventsAndPropertyPages) {
    IProvideClassInfo2* classInfo = query<IProvideClassInfo2>(object_, IID_IProvideClassInfo2);
    GUID events{};
    EXPECT_EQ(classInfo->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID, &events), S_OK);
    EXPECT_TRUE(::IsEqualGUID(events, kEventsIid));
    ITypeInfo* info = nullptr;
    ASSERT_EQ(classInfo->GetClassInfo(&info), S_OK);
    TYPEATTR* attributes = nullptr;
    ASSERT_EQ(info->GetTypeAttr(&attributes), S_OK);
    EXPECT_EQ(attributes->typekind, TKIND_COCLASS);
    EXPECT_TRUE(::IsEqualGUID(attributes->guid, kClsid));
    info->ReleaseTypeAttr(attributes);
    info->Release();
    classInfo->Release();

    IConnectionPointContainer* container = query<IConnectionPointContainer>(object_, IID_IConnectionPointContainer);
    IConnectionPoint* point = nullptr;
    ASSERT_EQ(container->FindConnectionPoint(kEventsIid, &point), S_OK);
    IConnectionPoint* none = nullptr;
    EXPECT_EQ(container->FindConnectionPoint(IID_IDispatch, &none), CONNECT_E_NOCONNECTION);
    IID connected{};
    EXPECT_EQ(point->GetConnectionInterface(&connected), S_OK);
    EXPECT_TRUE(::IsEqualGUID(connected, kEventsIid));
    IDispatch* sink = query<IDispatch>(object_, IID_IDispatch);  // any dispatch object can listen
    DWORD cookie = 0;
    EXPECT_EQ(point->Advise(sink, &cookie), S_OK);
    EXPECT_EQ(point->Unadvise(cookie), S_OK);
    EXPECT_EQ(point->Unadvise(cookie), CONNECT_E_NOCONNECTION);
    sink->Release();
    point->Release();
    container->Release();

    ISpecifyPropertyPages* pages = query<ISpecifyPropertyPages>(object_, IID_ISpecifyPropertyPages);
    CAUUID ids{};
    ASSERT_EQ(pages->GetPages(&ids), S_OK);
    ASSERT_EQ(ids.cElems, 1u);
    EXPECT_TRUE(::IsEqualGUID(ids.pElems[0], kPropertyPage));
    ::CoTaskMemFree(ids.pElems);
    pages->Release();

    // The property frame and the about box: shown and, without a desktop,
    // closed at once.
    Site site;
    object_->SetClientSite(&site);
    EXPECT_EQ(object_->DoVerb(OLEIVERB_PROPERTIES, nullptr, &site, 0, nullptr, nullptr), S_OK);
    EXPECT_EQ(object_->DoVerb(1, nullptr, &site, 0, nullptr, nullptr), S_OK) << "the control's properties verb";
    EXPECT_EQ(object_->DoVerb(7, nullptr, &site, 0, nullptr, nullptr), OLEOBJ_S_INVALIDVERB);
    IDispatch* dispatch = query<IDispatch>(object_, IID_IDispatch);
    DISPPARAMS noArguments{};
    EXPECT_EQ(dispatch->Invoke(DISPID_ABOUTBOX, IID_NULL, 0, DISPATCH_METHOD, &noArguments, nullptr, nullptr, nullptr),
              S_OK);
    dispatch->Release();
    object_->SetClientSite(nullptr);
}

}  // namespace
