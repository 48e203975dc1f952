#include "platform/OleRegistration.h"

#include <json/json.h>

#include <sstream>

#include "platform/Registry.h"
#include "platform/Resources.h"

// Type library registration into the registry stand-in. The module carries
// the library's description as JSON (resource "TYPELIB" 1); its identity,
// version, help string, locale and flags become the "TypeLib" keys a
// Windows type library registration writes.
namespace platform {
namespace {

constexpr const char* kTypeLibResourceType = "TYPELIB";
constexpr long kTypeLibResourceId = 1;

std::string versionText(unsigned short major, unsigned short minor) {
    return std::to_string(major) + "." + std::to_string(minor);
}

}  // namespace

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
