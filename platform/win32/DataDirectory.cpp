#include "platform/DataDirectory.h"

#include "platform/System.h"
#include "platform/win32/ComTypes.h"

namespace platform {
namespace {

constexpr char kWindowsVariable[] = "windir";
const char kModuleAnchor = 0;

}  // namespace

// Data installed beside the module: its own directory.
std::string dataDirectory() {
    const std::string module = modulePathContainingAddress(&kModuleAnchor);
    const std::size_t slash = module.find_last_of("\\/");
    if (slash == std::string::npos) return {};
    return module.substr(0, slash + 1);
}

std::optional<std::string> windowsDirectory() {
    if (auto windir = environmentVariable(kWindowsVariable)) return windir;
    char buffer[MAX_PATH + 1] = {};
    const UINT length = ::GetWindowsDirectoryA(buffer, MAX_PATH);
    if (length == 0 || length > MAX_PATH) return std::nullopt;
    return std::string(buffer, length);
}

}  // namespace platform
