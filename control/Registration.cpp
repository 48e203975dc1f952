#include "control/Registration.h"

#include <new>

#include "control/Identifiers.h"
#include "control/IvelcardCtrl.h"
#include "control/IvelcardPropPage.h"
#include "platform/CodePage.h"
#include "platform/ModuleState.h"
#include "platform/ObjectFactory.h"
#include "platform/OleRegistration.h"
#include "platform/Registry.h"
#include "resources/ControlResources.h"

namespace control {
namespace {

using platform::HRESULT;

std::string stringResource(long id) { return platform::utf16ToUtf8(resources::loadString(id)); }

platform::ModuleHandle moduleHandle() { return platform::staticModuleState().instance; }

// The application object: the module does nothing of its own at load or
// unload; reader libraries are deployed per control object.
class CIvelcardApp {
public:
    CIvelcardApp() { InitInstance(); }
    ~CIvelcardApp() { ExitInstance(); }
    CIvelcardApp(const CIvelcardApp&) = delete;
    CIvelcardApp& operator=(const CIvelcardApp&) = delete;

private:
    bool InitInstance() { return true; }
    int ExitInstance() { return 0; }
};

class CIvelcardCtrlFactory : public platform::COleObjectFactory {
public:
    CIvelcardCtrlFactory() : COleObjectFactory(CLSID_Ivelcard, &CIvelcardCtrl::create, false, kControlProgId) {}

    bool UpdateRegistry(bool registering) override {
        if (!registering) return platform::AfxOleUnregisterClass(classId(), progId());
        return platform::AfxOleRegisterControlClass({
            moduleHandle(), classId(), progId(), stringResource(resources::IDS_IVELCARD), resources::IDB_IVELCARD,
            platform::afxRegApartmentThreading, kMiscStatus, LIBID_IvelcardLib, kTypeLibMajor, kTypeLibMinor});
    }
};

// The page's ProgID is held by the factory but neither written nor removed.
class CIvelcardPropPageFactory : public platform::COleObjectFactory {
public:
    CIvelcardPropPageFactory()
        : COleObjectFactory(CLSID_IvelcardPropPage, &CIvelcardPropPage::create, false, kPropPageProgId) {}

    bool UpdateRegistry(bool registering) override {
        if (!registering) return platform::AfxOleUnregisterClass(classId(), nullptr);
        return platform::AfxOleRegisterPropertyPageClass(moduleHandle(), classId(),
                                                         stringResource(resources::IDS_IVELCARD_PPG));
    }
};

// Created at load in this order, destroyed in reverse.
CIvelcardApp theApp;
CIvelcardCtrlFactory controlFactory;
CIvelcardPropPageFactory propPageFactory;

// Registration reads the store once and writes it once. Nothing reaches the
// store when that write fails, as if the first step (the type library) had
// failed. Whatever is thrown becomes a failure code: no exception leaves an
// export.
template <class Steps>
HRESULT updateRegistration(Steps&& steps) {
    AFX_MANAGE_STATE_STATIC();
    try {
        platform::RegistryBatch batch;
        const HRESULT hr = steps();
        if (!batch.commit()) return SELFREG_E_TYPELIB;
        return hr;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_FAIL;
    }
}

}  // namespace

HRESULT registerServer() {
    return updateRegistration([]() -> HRESULT {
        if (!platform::AfxOleRegisterTypeLib(moduleHandle(), LIBID_IvelcardLib)) return SELFREG_E_TYPELIB;
        if (!platform::COleObjectFactory::UpdateRegistryAll(true)) return SELFREG_E_CLASS;
        return S_OK;
    });
}

HRESULT unregisterServer() {
    return updateRegistration([]() -> HRESULT {
        if (!platform::AfxOleUnregisterTypeLib(LIBID_IvelcardLib, kTypeLibMajor, kTypeLibMinor, 0)) {
            return SELFREG_E_TYPELIB;
        }
        if (!platform::COleObjectFactory::UpdateRegistryAll(false)) return SELFREG_E_CLASS;
        return S_OK;
    });
}

}  // namespace control
