// Registration of classes and type libraries in the registry stand-in, as
// the control framework performs it from its inputs.
//
// A control class records, under "CLSID\{clsid}": its user type name, the
// in-process server (module path, apartment threading), its ProgID, toolbox
// bitmap, misc status, type library and version, and the "Control" mark; the
// ProgID key points back at the class. A property page records its user type
// name and server only. A type library records "TypeLib\{libid}\major.minor"
// with its help string, flags, the module path for win32 and the help
// directory, read from the module's "TYPELIB" resource 1.
#pragma once

#include <string>

#include "platform/Com.h"
#include "platform/System.h"

namespace platform {

constexpr unsigned afxRegApartmentThreading = 0x0001;
constexpr unsigned afxRegInsertable = 0x0002;

struct ControlClassRegistration {
    ModuleHandle module;
    CLSID clsid;
    const char* progId;
    std::string userTypeName;  // UTF-8
    long toolboxBitmapId;
    unsigned flags;
    DWORD miscStatus;
    GUID libid;
    unsigned short majorVersion;
    unsigned short minorVersion;
};

bool AfxOleRegisterControlClass(const ControlClassRegistration& registration);
bool AfxOleRegisterPropertyPageClass(ModuleHandle module, const CLSID& clsid, const std::string& userTypeName);
// Removes the class key and, when given, the ProgID key.
bool AfxOleUnregisterClass(const CLSID& clsid, const char* progId);

// Registers the type library carried by `module` (resource "TYPELIB" 1) when
// its identity is `libid`.
bool AfxOleRegisterTypeLib(ModuleHandle module, const GUID& libid);
// Fails when that version of the library is not registered.
bool AfxOleUnregisterTypeLib(const GUID& libid, unsigned short major, unsigned short minor, LCID locale);

// The absolute path of a module from its handle, or empty.
std::string modulePath(ModuleHandle module);

}  // namespace platform
