#include "platform/System.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

namespace platform {

std::optional<std::string> environmentVariable(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return std::string(value);
}

bool setEnvironmentVariable(const char* name, const std::string& value) {
    return ::setenv(name, value.c_str(), 1) == 0;
}

bool isOwnDirectory(const std::string& path, DirectoryCheck check) {
    // lstat of "link/" would follow the link: look at the name itself.
    std::string name = path;
    while (name.size() > 1 && name.back() == kPathSeparator) name.pop_back();
    struct stat info {};
    if (name.empty() || ::lstat(name.c_str(), &info) != 0) return false;
    if (!S_ISDIR(info.st_mode) || info.st_uid != ::geteuid()) return false;
    const mode_t forbidden = check == DirectoryCheck::Private ? 077 : 022;
    return (info.st_mode & forbidden) == 0;
}

namespace {

std::string withSeparator(std::string path) {
    if (path.empty() || path.back() != kPathSeparator) path += kPathSeparator;
    return path;
}

}  // namespace

std::string tempPath() {
    if (auto runtime = environmentVariable("XDG_RUNTIME_DIR"); runtime && !runtime->empty()) {
        std::string candidate = withSeparator(*runtime);
        if (isOwnDirectory(candidate, DirectoryCheck::Private)) return candidate;
    }
    std::string base = "/tmp";
    if (auto tmp = environmentVariable("TMPDIR"); tmp && !tmp->empty()) base = *tmp;
    // In a directory others may write to, only the sticky bit keeps them from
    // renaming our directory away and putting their own in its place.
    struct stat parent {};
    if (::stat(base.c_str(), &parent) != 0) return {};
    const bool othersMayWrite = (parent.st_mode & 022) != 0;
    const bool trustedOwner = parent.st_uid == ::geteuid() || parent.st_uid == 0;
    if (othersMayWrite && ((parent.st_mode & S_ISVTX) == 0 || !trustedOwner)) return {};
    std::string candidate = withSeparator(base) + "ivelcard-" + std::to_string(::geteuid()) + kPathSeparator;
    ::mkdir(candidate.c_str(), 0700);
    if (isOwnDirectory(candidate, DirectoryCheck::Private)) return candidate;
    return {};
}

bool makeSureDirectoryPathExists(const std::string& path) {
    const std::size_t last = path.rfind(kPathSeparator);
    if (last == std::string::npos) return true;
    for (std::size_t next = path.find(kPathSeparator, 1); next != std::string::npos && next <= last;
         next = path.find(kPathSeparator, next + 1)) {
        const std::string directory = path.substr(0, next);
        if (::mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST) return false;
    }
    struct stat info {};
    return ::stat(path.substr(0, last + 1).c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

WriteOutcome writeFileReplacing(const std::string& path, const void* data, std::size_t size) {
    if (ModuleHandle loaded = loadedLibrary(path)) {
        ::dlclose(loaded);  // only asked; the caller takes its own reference
        return WriteOutcome::InUse;
    }
    std::string temporary = path + ".XXXXXX";
    const int fd = ::mkstemp(temporary.data());
    if (fd < 0) return WriteOutcome::Failed;
    const auto* bytes = static_cast<const unsigned char*>(data);
    std::size_t written = 0;
    while (written < size) {
        const ssize_t n = ::write(fd, bytes + written, size - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        written += static_cast<std::size_t>(n);
    }
    const bool complete = written == size && ::fchmod(fd, 0700) == 0;
    if (::close(fd) != 0 || !complete || ::rename(temporary.c_str(), path.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return WriteOutcome::Failed;
    }
    return WriteOutcome::Written;
}

bool deleteFile(const std::string& path) { return ::unlink(path.c_str()) == 0; }

ModuleHandle loadLibrary(const std::string& path) { return ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL); }

ModuleHandle loadedLibrary(const std::string& path) {
    return ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD);
}

void releaseLibrary(ModuleHandle library) {
    if (library != nullptr) ::dlclose(library);
}

void* procAddress(ModuleHandle library, const char* name) {
    if (library == nullptr) return nullptr;
    return ::dlsym(library, name);
}

ModuleHandle moduleContainingAddress(const void* address) {
    Dl_info info {};
    if (address == nullptr || ::dladdr(address, &info) == 0) return nullptr;
    return info.dli_fbase;
}

std::string modulePathContainingAddress(const void* address) {
    Dl_info info {};
    if (address == nullptr || ::dladdr(address, &info) == 0 || info.dli_fname == nullptr) return {};
    // The name is as the module was loaded (perhaps relative); hand out the
    // absolute path.
    char* absolute = ::realpath(info.dli_fname, nullptr);
    if (absolute == nullptr) return info.dli_fname;
    std::string path = absolute;
    std::free(absolute);
    return path;
}

}  // namespace platform

namespace platform {

std::string executablePath() {
    std::string path(4096, '\0');
    const ssize_t n = ::readlink("/proc/self/exe", path.data(), path.size() - 1);
    if (n <= 0) return {};
    path.resize(static_cast<std::size_t>(n));
    return path;
}

std::FILE* reserveStandardOutput() {
    std::fflush(stdout);
    const int own = ::dup(STDOUT_FILENO);
    if (own < 0) return stdout;
    std::FILE* stream = ::fdopen(own, "w");
    if (stream == nullptr) {
        ::close(own);
        return stdout;
    }
    ::dup2(STDERR_FILENO, STDOUT_FILENO);
    return stream;
}

bool fileExists(const std::string& path) {
    struct stat info {};
    return !path.empty() && ::stat(path.c_str(), &info) == 0;
}

}  // namespace platform
