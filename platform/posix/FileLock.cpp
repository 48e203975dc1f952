#include "platform/FileLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <memory>
#include <mutex>

namespace platform {

// One lock file this process keeps open. `holder` is held by the FileLock
// that holds the file's lock: the lock belongs to the open file, which all
// threads share, so threads are kept apart by the mutex.
struct FileLock::KeptFile {
    std::mutex holder;
    int descriptor = -1;
    pid_t owner = 0;  // the process that opened it (a forked child reopens)

    void close() {
        if (descriptor >= 0) ::close(descriptor);
        descriptor = -1;
    }
};

namespace {

// How often a lock file that changed under the lock is opened again.
constexpr int kAttempts = 3;

// The kept lock files by path; entries live as long as the process.
FileLock::KeptFile& keptFile(const std::string& path) {
    static std::mutex tableLock;
    static std::map<std::string, std::unique_ptr<FileLock::KeptFile>> table;
    const std::lock_guard<std::mutex> guard(tableLock);
    std::unique_ptr<FileLock::KeptFile>& entry = table[path];
    if (!entry) entry = std::make_unique<FileLock::KeptFile>();
    return *entry;
}

bool lockExclusively(int fd) {
    int rc;
    do {
        rc = ::flock(fd, LOCK_EX);
    } while (rc != 0 && errno == EINTR);
    return rc == 0;
}

// The open file is still the file (not a link) at `path`.
bool stillAtPath(int fd, const std::string& path) {
    struct stat open {};
    struct stat named {};
    return ::fstat(fd, &open) == 0 && ::lstat(path.c_str(), &named) == 0 &&
           S_ISREG(named.st_mode) && open.st_dev == named.st_dev && open.st_ino == named.st_ino;
}

// Takes the lock of the file at `path` through the kept descriptor, opening
// it (again) where needed.
bool lockKeptFile(FileLock::KeptFile& kept, const std::string& path) {
    if (kept.owner != ::getpid()) {
        kept.close();  // inherited: its lock would be shared with the parent
        kept.owner = ::getpid();
    }
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        if (kept.descriptor < 0) {
            kept.descriptor = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
            if (kept.descriptor < 0) return false;
        }
        if (!lockExclusively(kept.descriptor)) {
            kept.close();
            return false;
        }
        if (stillAtPath(kept.descriptor, path)) return true;
        kept.close();  // closing releases the lock on the old file
    }
    return false;
}

}  // namespace

FileLock::FileLock(const std::string& path) {
    KeptFile& kept = keptFile(path);
    kept.holder.lock();
    if (!lockKeptFile(kept, path)) {
        kept.holder.unlock();
        return;
    }
    kept_ = &kept;
}

FileLock::~FileLock() {
    if (kept_ == nullptr) return;
    ::flock(kept_->descriptor, LOCK_UN);
    kept_->holder.unlock();
}

}  // namespace platform
