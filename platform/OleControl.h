// The control base: reference counting, interface lookup and IDispatch over a
// table of dispatch members (name, DISPID, result type, call); drawing through
// IViewObject into the platform's device context; the persisted state by
// property exchange; the property pages and OLE verbs a control declares.
//
// GetIDsOfNames matches names without regard to ASCII case, as script engines
// expect. Invoke accepts a member called as a method (or a method-or-get),
// with no arguments, in any state of the object; a C++ exception that escapes
// a member becomes DISP_E_EXCEPTION and never crosses the interface.
#pragma once

#include <atomic>
#include <memory>
#include <span>
#include <type_traits>

#include <map>
#include <string>

#include "platform/Com.h"
#include "platform/DeviceContext.h"

namespace platform {

class COleControl;

struct DispatchEntry {
    const char* name;
    DISPID id;
    VARTYPE result;                                    // VT_EMPTY or VT_BSTR
    void (*call)(COleControl& control, VARIANT* result);  // fills `result` when it is not null
};

// Adapts a member function `BSTR T::fn()` or `void T::fn()` to an entry call.
template <class T, auto Member>
void dispatchCall(COleControl& control, VARIANT* result) {
    T& self = static_cast<T&>(control);
    using Return = decltype((self.*Member)());
    if constexpr (std::is_same_v<Return, BSTR>) {
        BSTR text = (self.*Member)();
        if (result != nullptr) {
            VariantInit(result);
            result->vt = VT_BSTR;
            result->bstrVal = text;
        } else {
            SysFreeString(text);
        }
    } else {
        (self.*Member)();
        if (result != nullptr) VariantInit(result);
    }
}

// Module-wide count of live objects and server locks (what DllCanUnloadNow
// asks).
void lockModule();
void unlockModule();
long moduleLockCount();

// Persisted state: named integer properties.
using PropertyBag = std::map<std::string, long>;

// One direction of a property exchange over a bag.
class CPropExchange {
public:
    CPropExchange(PropertyBag& bag, bool loading) : bag_(bag), loading_(loading) {}
    bool IsLoading() const { return loading_; }
    // Loading: `value` becomes the stored value, or `fallback` when none is
    // stored. Saving: stores `value`.
    void ExchangeLong(const char* name, long& value, long fallback);
    // The version the state was loaded with (or saved as).
    DWORD loadedVersion = 0;

private:
    PropertyBag& bag_;
    bool loading_;
};

// Exchanges the persisted version "_Version". Loading accepts any stored
// version; with `convert` an older one is taken over as `version`, so the
// next save writes `version`.
void ExchangeVersion(CPropExchange* exchange, DWORD version, bool convert = true);

class COleControl;

// An OLE verb of a control: its name and what it does.
struct VerbEntry {
    const char* name;
    void (*run)(COleControl& control);
};

// The framework's text of the standard properties verb (string 0xFE41).
inline constexpr const char* kPropertiesVerbText = "&Properties...";

// What a container embeds beyond dispatch and drawing (the OLE object, in-place
// and persistence interfaces, connection points, property pages): the
// platform's part of the control, created on first request (win32/); other
// platforms have no containers and no such part (posix/).
class OleEmbedding;
struct OleEmbeddingDeleter {
    void operator()(OleEmbedding* embedding) const;
};

#if defined(_WIN32)
using ViewObjectInterface = IViewObject2;
#else
using ViewObjectInterface = IViewObject;
#endif

class COleControl : public IDispatch, public ViewObjectInterface {
public:
    COleControl(const COleControl&) = delete;
    COleControl& operator=(const COleControl&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID locale, ITypeInfo** info) override;
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID locale,
                                            DISPID* ids) override;
    HRESULT STDMETHODCALLTYPE Invoke(DISPID member, REFIID iid, LCID locale, WORD flags,
                                     DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception,
                                     UINT* argError) override;

    HRESULT STDMETHODCALLTYPE Draw(DWORD aspect, LONG index, void* aspectInfo, DVTARGETDEVICE* targetDevice,
                                   HDC targetDc, HDC drawDc, const RECTL* bounds, const RECTL* windowBounds,
                                   BOOL(STDMETHODCALLTYPE* continueCallback)(ULONG_PTR),
                                   ULONG_PTR continueArgument) override;
    HRESULT STDMETHODCALLTYPE GetColorSet(DWORD, LONG, void*, DVTARGETDEVICE*, HDC, LOGPALETTE** colourSet) override;
    HRESULT STDMETHODCALLTYPE Freeze(DWORD, LONG, void*, DWORD* freeze) override;
    HRESULT STDMETHODCALLTYPE Unfreeze(DWORD) override;
    HRESULT STDMETHODCALLTYPE SetAdvise(DWORD, DWORD, IAdviseSink*) override;
    HRESULT STDMETHODCALLTYPE GetAdvise(DWORD* aspects, DWORD* flags, IAdviseSink** sink) override;
#if defined(_WIN32)
    HRESULT STDMETHODCALLTYPE GetExtent(DWORD aspect, LONG index, DVTARGETDEVICE* device, SIZEL* size) override;
#endif

    std::span<const DispatchEntry> dispatchTable() const { return table_; }

    // Persistence as a host drives it: a new object, or one loaded from a
    // bag; saving writes the state into a bag. Either start initialises the
    // object.
    void InitNew();
    void Load(const PropertyBag& bag);
    PropertyBag Save();
    bool IsInitialized() const { return initialized_; }

    // The property page class ids; `count` receives their number.
    virtual const CLSID* GetPropPageIDs(ULONG& count);
    // The control's OLE verbs and running one of them (false: no such verb).
    virtual std::span<const VerbEntry> verbs() const;
    bool DoVerb(const char* name);
    // Shows the property frame with the control's pages; applies each page
    // closed with OK.
    void OnProperties();

    // The control's identity (for the interface lookup of nested interfaces).
    IUnknown* GetControllingUnknown() { return static_cast<IDispatch*>(this); }

    // The class the control's factory creates, and the misc status bits a
    // container asks for (OLEMISC_*); none and 0 in the base.
    virtual const CLSID* controlClassId() const;
    virtual DWORD controlMiscStatus() const;
    const IID* dispatchIid() const { return dispatchIid_; }
    const IID* eventsIid() const { return eventsIid_; }

protected:
    // Starts with one reference held by the creator.
    explicit COleControl(std::span<const DispatchEntry> table);
    virtual ~COleControl();

    // Declares the primary dispatch interface and the event interface.
    void InitializeIIDs(const IID* dispatch, const IID* events);

    // Interfaces a derived control adds to IUnknown and IDispatch; returns
    // the interface pointer (not yet referenced) or null.
    virtual IUnknown* queryExtraInterface(REFIID iid);

    // Whether a dispatch call may run now; the base allows calls once the
    // host has initialised or loaded the object.
    virtual bool IsInvokeAllowed(DISPID member);

    // Paints the control; `dc` may be null.
    virtual void OnDraw(CDC* dc, const RECT& bounds, const RECT& invalid);
    // Exchanges the persisted state; the base control has none of its own.
    virtual void DoPropExchange(CPropExchange* exchange);

private:
    std::span<const DispatchEntry> table_;
    const IID* dispatchIid_ = nullptr;
    const IID* eventsIid_ = nullptr;
    std::atomic<ULONG> references_{1};
    bool initialized_ = false;
    std::unique_ptr<OleEmbedding, OleEmbeddingDeleter> embedding_;

    // The platform's embedding interface for `iid`, or null (OleEmbedding).
    IUnknown* queryEmbeddingInterface(REFIID iid);
};

}  // namespace platform
