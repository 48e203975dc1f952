// An advisory lock on a lock file, held for the lifetime of the object.
//
// Processes of the same user that share fixed file names in one directory
// take the lock around their use of those files. The lock file is created
// when missing (mode 0600) and left in place.
#pragma once

#include <string>

namespace platform {

class FileLock {
public:
    // Blocks until the exclusive lock on `path` is held, or fails (held()
    // false) when the lock file cannot be opened.
    explicit FileLock(const std::string& path);
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    bool held() const { return descriptor_ >= 0; }

private:
    int descriptor_ = -1;
};

}  // namespace platform
