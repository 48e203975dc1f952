// The module: its application object, the class factories and the four entry
// points hosts use. Nothing else is exported.
#include "control/Identifiers.h"
#include "control/IvelcardCtrl.h"
#include "platform/ModuleState.h"
#include "platform/ObjectFactory.h"

namespace control {
namespace {

using platform::HRESULT;

// The application object: the module does nothing of its own at load or
// unload; reader libraries are deployed per control object.
class CIvelcardApp {
public:
    CIvelcardApp() = default;
};

class CIvelcardCtrlFactory : public platform::COleObjectFactory {
public:
    CIvelcardCtrlFactory()
        : COleObjectFactory(CLSID_Ivelcard, &CIvelcardCtrl::create, false, kControlProgId) {}
};

// Created at load in this order, destroyed in reverse.
[[maybe_unused]] CIvelcardApp theApp;
CIvelcardCtrlFactory controlFactory;

}  // namespace
}  // namespace control

#define IVELCARD_EXPORT extern "C" __attribute__((visibility("default")))

IVELCARD_EXPORT platform::HRESULT DllGetClassObject(platform::REFCLSID clsid, platform::REFIID iid, void** object) {
    AFX_MANAGE_STATE_STATIC();
    return platform::AfxDllGetClassObject(clsid, iid, object);
}

IVELCARD_EXPORT platform::HRESULT DllCanUnloadNow() {
    AFX_MANAGE_STATE_STATIC();
    return platform::AfxDllCanUnloadNow();
}

// Registration arrives with the type library and the registry store; until
// then the module says so instead of claiming success.
IVELCARD_EXPORT platform::HRESULT DllRegisterServer() { return platform::E_NOTIMPL; }

IVELCARD_EXPORT platform::HRESULT DllUnregisterServer() { return platform::E_NOTIMPL; }
