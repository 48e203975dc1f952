#include "platform/OleRegistration.h"

#include "platform/win32/ComTypes.h"

// Type library registration by the system: the library is the module's
// "TYPELIB" resource 1, loaded and registered with RegisterTypeLib (which
// writes the "TypeLib" keys and the interfaces' proxy entries) and removed
// with UnRegisterTypeLib.
namespace platform {
namespace {

std::wstring modulePathWide(ModuleHandle module) {
    wchar_t buffer[MAX_PATH + 1] = {};
    const DWORD length = ::GetModuleFileNameW(static_cast<HMODULE>(module), buffer, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return {};
    return std::wstring(buffer, length);
}

}  // namespace

bool AfxOleRegisterTypeLib(ModuleHandle module, const GUID& libid) {
    std::wstring path = modulePathWide(module);
    if (path.empty()) return false;
    ITypeLib* library = nullptr;
    if (FAILED(::LoadTypeLibEx(path.c_str(), REGKIND_NONE, &library))) return false;
    TLIBATTR* attributes = nullptr;
    bool registered = false;
    if (SUCCEEDED(library->GetLibAttr(&attributes))) {
        if (attributes->guid == libid) {
            std::wstring helpDirectory = path.substr(0, path.find_last_of(L"\\/"));
            registered = SUCCEEDED(::RegisterTypeLib(library, path.data(), helpDirectory.data()));
        }
        library->ReleaseTLibAttr(attributes);
    }
    library->Release();
    return registered;
}

bool AfxOleUnregisterTypeLib(const GUID& libid, unsigned short major, unsigned short minor, LCID locale) {
    return SUCCEEDED(::UnRegisterTypeLib(libid, major, minor, locale, SYS_WIN32));
}

}  // namespace platform
