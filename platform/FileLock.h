// An advisory lock on a lock file, held for the lifetime of the object.
//
// Processes of the same user that share fixed file names in one directory
// take the lock around their use of those files; threads of one process
// take it one after another. The lock file is created when missing (mode
// 0600), never through a symbolic link, and left in place. Each process
// keeps the lock file open between locks; before the lock counts as held
// the open file is checked to still be the one at the path (a lock file
// removed, replaced or swapped for a link is opened again, or the lock
// fails).
#pragma once

#include <string>

namespace platform {

class FileLock {
public:
    // Blocks until the exclusive lock on `path` is held, or fails (held()
    // false) when the lock file cannot be opened or locked.
    explicit FileLock(const std::string& path);
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    bool held() const { return kept_ != nullptr; }

    struct KeptFile;

private:
    KeptFile* kept_ = nullptr;
};

}  // namespace platform
