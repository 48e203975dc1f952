#include "platform/OleRegistration.h"

#include <json/json.h>

#include <sstream>

#include "platform/Registry.h"
#include "platform/Resources.h"

namespace platform {
namespace {

constexpr const char* kTypeLibResourceType = "TYPELIB";
constexpr long kTypeLibResourceId = 1;

std::string classKey(const CLSID& clsid) { return "CLSID\\" + guidToString(clsid); }

std::string versionText(unsigned short major, unsigned short minor) {
    return std::to_string(major) + "." + std::to_string(minor);
}

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
           regSetValue(key + "\\Version", "", versionText(r.majorVersion, r.minorVersion)) &&
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

bool AfxOleRegisterTypeLib(ModuleHandle module, const GUID& libid) {
    const ResourceHandle resource = findResource(module, kTypeLibResourceId, kTypeLibResourceType);
    const void* loaded = loadResource(module, resource);
    if (loaded == nullptr) return false;
    const auto* text = static_cast<const char*>(lockResource(loaded));
    Json::Value library;
    Json::CharReaderBuilder builder;
    std::string errors;
    std::istringstream stream(std::string(text, sizeofResource(module, resource)));
    GUID declared{};
    if (!Json::parseFromStream(builder, stream, &library, &errors) ||
        !guidFromString(library["libid"].asString(), declared) || !(declared == libid)) {
        return false;
    }
    const std::string path = modulePath(module);
    const std::string key = "TypeLib\\" + guidToString(libid) + "\\" + library["version"].asString();
    return !path.empty() && regSetValue(key, "", library["helpString"].asString()) &&
           regSetValue(key + "\\" + std::to_string(library["lcid"].asUInt()) + "\\win32", "", path) &&
           regSetValue(key + "\\FLAGS", "", std::to_string(library["flags"].asUInt())) &&
           regSetValue(key + "\\HELPDIR", "", path.substr(0, path.rfind(kPathSeparator)));
}

bool AfxOleUnregisterTypeLib(const GUID& libid, unsigned short major, unsigned short minor, LCID) {
    const std::string library = "TypeLib\\" + guidToString(libid);
    const std::string version = library + "\\" + versionText(major, minor);
    // A library that is not registered cannot be unregistered.
    if (!regKeyExists(version) || !regDeleteTree(version)) return false;
    // The library key goes with its last version.
    for (const std::string& key : regListKeys()) {
        if (key.size() > library.size() && key.compare(0, library.size() + 1, library + "\\") == 0) return true;
    }
    return regDeleteTree(library);
}

}  // namespace platform
