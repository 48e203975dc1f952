// The module's four entry points, the only symbols hosts see.
#include "control/Registration.h"
#include "platform/ModuleState.h"
#include "platform/ObjectFactory.h"

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** object) {
    AFX_MANAGE_STATE_STATIC();
    return platform::AfxDllGetClassObject(clsid, iid, object);
}

STDAPI DllCanUnloadNow() {
    AFX_MANAGE_STATE_STATIC();
    return platform::AfxDllCanUnloadNow();
}

STDAPI DllRegisterServer() { return control::registerServer(); }

STDAPI DllUnregisterServer() { return control::unregisterServer(); }

#if defined(_WIN32) && defined(__i386__)
#include <type_traits>
// Hosts call the exports with the callee-cleans convention.
static_assert(std::is_same_v<decltype(&DllGetClassObject), HRESULT(__stdcall*)(REFCLSID, REFIID, void**)>);
static_assert(std::is_same_v<decltype(&DllCanUnloadNow), HRESULT(__stdcall*)()>);
static_assert(std::is_same_v<decltype(&DllRegisterServer), HRESULT(__stdcall*)()>);
static_assert(std::is_same_v<decltype(&DllUnregisterServer), HRESULT(__stdcall*)()>);
#endif
