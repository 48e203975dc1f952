// The control base: reference counting, interface lookup and IDispatch over a
// table of dispatch members (name, DISPID, result type, call).
//
// GetIDsOfNames matches names without regard to ASCII case, as script engines
// expect. Invoke accepts a member called as a method (or a method-or-get),
// with no arguments, in any state of the object; a C++ exception that escapes
// a member becomes DISP_E_EXCEPTION and never crosses the interface.
#pragma once

#include <atomic>
#include <span>
#include <type_traits>

#include "platform/Com.h"

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

class COleControl : public IDispatch {
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

    std::span<const DispatchEntry> dispatchTable() const { return table_; }

protected:
    // Starts with one reference held by the creator.
    explicit COleControl(std::span<const DispatchEntry> table);
    virtual ~COleControl();

    // Declares the primary dispatch interface and the event interface.
    void InitializeIIDs(const IID* dispatch, const IID* events);

    // Interfaces a derived control adds to IUnknown and IDispatch; returns
    // the interface pointer (not yet referenced) or null.
    virtual IUnknown* queryExtraInterface(REFIID iid);

    // Whether a dispatch call may run now; the base refuses nothing.
    virtual bool IsInvokeAllowed(DISPID member);

private:
    std::span<const DispatchEntry> table_;
    const IID* dispatchIid_ = nullptr;
    const IID* eventsIid_ = nullptr;
    std::atomic<ULONG> references_{1};
};

}  // namespace platform
