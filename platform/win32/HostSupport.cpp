#include "platform/HostSupport.h"
#include "platform/System.h"

namespace platform {
namespace {

// "%NAME%\Ivelcard", or empty when the variable is unset or empty.
std::string ivelcardDirectoryIn(const char* variable) {
    const auto base = environmentVariable(variable);
    if (!base || base->empty()) return {};
    std::string directory = *base;
    if (directory.back() != '\\' && directory.back() != '/') directory += '\\';
    return directory + "Ivelcard";
}

}  // namespace

std::string systemPath(const std::string& absolute) { return absolute; }

std::string machineConfigDirectory() { return ivelcardDirectoryIn("PROGRAMDATA"); }

std::string userConfigDirectory() { return ivelcardDirectoryIn("APPDATA"); }

}  // namespace platform
