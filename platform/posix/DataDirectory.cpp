#include "platform/DataDirectory.h"

#include <sys/stat.h>

#include <cstdlib>
#include <mutex>

#include "platform/System.h"

namespace platform {
namespace {

constexpr const char* kDataCandidates[] = {"/../share/ivelcard/", "/../../share/ivelcard/"};
constexpr char kWindowsStandIn[] = "windows";
constexpr char kWindowsVariable[] = "windir";

// Any object of this file: its address names the module it is linked into.
const char kModuleAnchor = 0;

bool isDirectory(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::string absolute(const std::string& path) {
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (resolved == nullptr) return {};
    std::string result = resolved;
    std::free(resolved);
    return result;
}

std::string findDataDirectory() {
    const std::string module = modulePathContainingAddress(&kModuleAnchor);
    const std::size_t slash = module.rfind(kPathSeparator);
    if (slash == std::string::npos) return {};
    const std::string moduleDirectory = module.substr(0, slash);
    for (const char* candidate : kDataCandidates) {
        const std::string path = moduleDirectory + candidate;
        if (!isDirectory(path)) continue;
        std::string resolved = absolute(path);
        if (resolved.empty()) continue;
        if (resolved.back() != kPathSeparator) resolved += kPathSeparator;
        return resolved;
    }
    return {};
}

}  // namespace

std::string dataDirectory() {
    // The module stays where it was loaded from: resolving its path costs a
    // dozen system calls, and every card read asks (for the system font), so
    // the directory found is kept. One not found is looked for again.
    static std::mutex lock;
    static std::string found;
    const std::lock_guard<std::mutex> held(lock);
    if (found.empty()) found = findDataDirectory();
    return found;
}

std::optional<std::string> windowsDirectory() {
    if (auto windir = environmentVariable(kWindowsVariable)) return windir;
    const std::string data = dataDirectory();
    if (data.empty()) return std::nullopt;
    const std::string standIn = data + kWindowsStandIn;
    if (!isDirectory(standIn)) return std::nullopt;
    return standIn;
}

}  // namespace platform
