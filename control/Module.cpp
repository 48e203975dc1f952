// The module's four entry points, the only symbols hosts see.
#include "control/Registration.h"
#include "platform/ModuleState.h"
#include "platform/ObjectFactory.h"

#define IVELCARD_EXPORT extern "C" __attribute__((visibility("default")))

IVELCARD_EXPORT platform::HRESULT DllGetClassObject(platform::REFCLSID clsid, platform::REFIID iid, void** object) {
    AFX_MANAGE_STATE_STATIC();
    return platform::AfxDllGetClassObject(clsid, iid, object);
}

IVELCARD_EXPORT platform::HRESULT DllCanUnloadNow() {
    AFX_MANAGE_STATE_STATIC();
    return platform::AfxDllCanUnloadNow();
}

IVELCARD_EXPORT platform::HRESULT DllRegisterServer() { return control::registerServer(); }

IVELCARD_EXPORT platform::HRESULT DllUnregisterServer() { return control::unregisterServer(); }
