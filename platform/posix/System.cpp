#include "platform/System.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <system_error>

namespace platform {

std::optional<std::string> environmentVariable(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return std::string(value);
}

bool setEnvironmentVariable(const char* name, const std::string& value) {
    return ::setenv(name, value.c_str(), 1) == 0;
}

std::string systemErrorText(int code) {
    std::string text = std::generic_category().message(code);
    return text.empty() ? "error " + std::to_string(code) : text;
}

std::string directoryRefusal(const std::string& path, DirectoryCheck check) {
    // lstat of "link/" would follow the link: look at the name itself.
    std::string name = path;
    while (name.size() > 1 && name.back() == kPathSeparator) name.pop_back();
    struct stat info {};
    if (name.empty() || ::lstat(name.c_str(), &info) != 0) return "does not exist";
    if (S_ISLNK(info.st_mode)) return "is a symbolic link";
    if (!S_ISDIR(info.st_mode)) return "is not a directory";
    if (info.st_uid != ::geteuid()) {
        return "is owned by uid " + std::to_string(info.st_uid) + ", not by this user (uid " +
               std::to_string(::geteuid()) + ")";
    }
    const mode_t forbidden = check == DirectoryCheck::Private ? 077 : 022;
    if ((info.st_mode & forbidden) == 0) return {};
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
    return std::string("has mode ") + mode +
           (check == DirectoryCheck::Private ? ", open to others" : ", writable by others");
}

bool isOwnDirectory(const std::string& path, DirectoryCheck check) { return directoryRefusal(path, check).empty(); }

namespace {

std::string withSeparator(std::string path) {
    if (path.empty() || path.back() != kPathSeparator) path += kPathSeparator;
    return path;
}

constexpr const char* kDefaultTemporaryParent = "/tmp";

// The parent of the per-user directory: $TMPDIR when it is an absolute path
// of an existing directory, else /tmp (saying why $TMPDIR was passed over).
std::string temporaryParent() {
    const auto tmp = environmentVariable("TMPDIR");
    if (!tmp || tmp->empty()) return kDefaultTemporaryParent;
    struct stat info {};
    std::string why;
    if (tmp->front() != kPathSeparator) {
        why = "is not an absolute path";
    } else if (::stat(tmp->c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        why = "is not an existing directory";
    }
    if (why.empty()) return *tmp;
    reportProblem("TMPDIR (" + *tmp + ") " + why + "; it is ignored for " + kDefaultTemporaryParent);
    return kDefaultTemporaryParent;
}

// Why others could replace a directory made in `parent`, or empty. In a
// directory others may write to, only the sticky bit keeps them from renaming
// our directory away and putting their own in its place.
std::string parentRefusal(const std::string& parent) {
    struct stat info {};
    if (::stat(parent.c_str(), &info) != 0) return "does not exist";
    if ((info.st_mode & 022) == 0) return {};
    if ((info.st_mode & S_ISVTX) == 0) return "is writable by others and not sticky";
    if (info.st_uid != ::geteuid() && info.st_uid != 0) {
        return "is writable by others and owned by uid " + std::to_string(info.st_uid) +
               " (neither this user nor root)";
    }
    return {};
}

// A private directory made with mkdtemp in `parent` when the per-user one is
// refused (another user may have made it first); the same one for the rest
// of the process while it stays private.
std::string fallbackDirectory(const std::string& parent, const std::string& refused, const std::string& why) {
    static std::mutex lock;
    static std::string remembered;
    const std::lock_guard guard(lock);
    if (!remembered.empty() && remembered.rfind(withSeparator(parent), 0) == 0 &&
        isOwnDirectory(remembered, DirectoryCheck::Private)) {
        return remembered;
    }
    std::string pattern = withSeparator(parent) + "ivelcard-" + std::to_string(::geteuid()) + "-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr || !isOwnDirectory(pattern, DirectoryCheck::Private)) {
        reportProblem("the temporary directory " + refused + " is refused: it " + why +
                      "; no private directory could be made in its place (remove it, or set TMPDIR to a "
                      "directory of your own)");
        return {};
    }
    remembered = withSeparator(pattern);
    reportProblem("the temporary directory " + refused + " is refused: it " + why + "; using " + remembered +
                  " instead (remove it, or set TMPDIR to a directory of your own)");
    return remembered;
}

}  // namespace

std::string tempPath() {
    if (auto runtime = environmentVariable("XDG_RUNTIME_DIR"); runtime && !runtime->empty()) {
        std::string candidate = withSeparator(*runtime);
        const std::string why = directoryRefusal(candidate, DirectoryCheck::Private);
        if (why.empty()) return candidate;
        reportProblem("the runtime directory " + candidate + " (XDG_RUNTIME_DIR) is refused: it " + why +
                      "; a per-user directory under TMPDIR or /tmp is used instead");
    }
    const std::string parent = temporaryParent();
    if (const std::string why = parentRefusal(parent); !why.empty()) {
        reportProblem("no private temporary directory: " + parent + " " + why +
                      "; set TMPDIR to a directory of your own");
        return {};
    }
    std::string candidate = withSeparator(parent) + "ivelcard-" + std::to_string(::geteuid()) + kPathSeparator;
    ::mkdir(candidate.c_str(), 0700);
    const std::string why = directoryRefusal(candidate, DirectoryCheck::Private);
    if (why.empty()) return candidate;
    return fallbackDirectory(parent, candidate, why);
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
