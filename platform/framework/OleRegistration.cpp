#include "platform/OleRegistration.h"

#include "platform/Registry.h"

namespace platform {
namespace {

std::string classKey(const CLSID& clsid) { return "CLSID\\" + guidToString(clsid); }

bool registerServer(const std::string& key, ModuleHandle module, const std::string& userTypeName) {
    const std::string path = modulePath(module);
    return !path.empty() && regSetValue(key, "", userTypeName) &&
           regSetValue(key + "\\InprocServer32", "", path) &&
           regSetValue(key + "\\InprocServer32", "ThreadingModel", "Apartment");
}

}  // namespace

std::string modulePath(ModuleHandle module) { return modulePathContainingAddress(module); }

bool AfxOleRegisterControlClass(const ControlClassRegistration& r) {
    const std::string key = classKey(r.clsid);
    const std::string clsid = guidToString(r.clsid);
    return registerServer(key, r.module, r.userTypeName) &&
           regSetValue(key + "\\ProgID", "", r.progId) &&
           regSetValue(key + "\\ToolboxBitmap32", "", modulePath(r.module) + ", " + std::to_string(r.toolboxBitmapId)) &&
           regSetValue(key + "\\MiscStatus", "", std::to_string(r.miscStatus)) &&
           regSetValue(key + "\\TypeLib", "", guidToString(r.libid)) &&
           regSetValue(key + "\\Version", "", std::to_string(r.majorVersion) + "." + std::to_string(r.minorVersion)) &&
           regCreateKey(key + "\\Control") &&
           ((r.flags & afxRegInsertable) == 0 || regCreateKey(key + "\\Insertable")) &&
           regSetValue(r.progId, "", r.userTypeName) && regSetValue(std::string(r.progId) + "\\CLSID", "", clsid);
}

bool AfxOleRegisterPropertyPageClass(ModuleHandle module, const CLSID& clsid, const std::string& userTypeName) {
    return registerServer(classKey(clsid), module, userTypeName);
}

bool AfxOleUnregisterClass(const CLSID& clsid, const char* progId) {
    const bool classRemoved = regDeleteTree(classKey(clsid));
    const bool progIdRemoved = progId == nullptr || regDeleteTree(progId);
    return classRemoved && progIdRemoved;
}

}  // namespace platform
