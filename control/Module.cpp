// The module's four entry points, the only symbols hosts see.
#include "control/Registration.h"
#include "platform/ModuleState.h"
#include "platform/ObjectFactory.h"
#include "platform/OleControl.h"
#include "reader/ReaderApi.h"

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
// Hosts call the exports, and every COM method, with the callee-cleans
// convention; the reader libraries' entry points use it too.
static_assert(std::is_same_v<decltype(&DllGetClassObject), HRESULT(__stdcall*)(REFCLSID, REFIID, void**)>);
static_assert(std::is_same_v<decltype(&DllCanUnloadNow), HRESULT(__stdcall*)()>);
static_assert(std::is_same_v<decltype(&DllRegisterServer), HRESULT(__stdcall*)()>);
static_assert(std::is_same_v<decltype(&DllUnregisterServer), HRESULT(__stdcall*)()>);
static_assert(std::is_same_v<decltype(&platform::COleControl::Invoke),
                             HRESULT (__stdcall platform::COleControl::*)(DISPID, REFIID, LCID, WORD, DISPPARAMS*,
                                                                         VARIANT*, EXCEPINFO*, UINT*)>);
static_assert(std::is_same_v<decltype(&platform::COleObjectFactory::CreateInstance),
                             HRESULT (__stdcall platform::COleObjectFactory::*)(IUnknown*, REFIID, void**)>);
static_assert(std::is_same_v<reader::SdtOpenPortFn, int(__stdcall*)(int)>);
static_assert(std::is_same_v<reader::SdtReadBaseMsgFn, int(__stdcall*)(int, unsigned char*, std::uint32_t*,
                                                                        unsigned char*, std::uint32_t*, int)>);
static_assert(std::is_same_v<reader::UnpackFn, int(__stdcall*)(char*, unsigned char*, int)>);
static_assert(std::is_same_v<reader::GetBmpFn, int(__stdcall*)(char*, int)>);
#endif
