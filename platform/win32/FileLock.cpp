#include "platform/FileLock.h"

#include <new>

#include "platform/win32/ComTypes.h"

namespace platform {

struct FileLock::KeptFile {
    HANDLE file;
};

// The lock file is opened shared (every process opens it) and locked whole
// with LockFileEx; locks belong to handles, so threads of one process wait
// for each other too. A lock file that is a symbolic link or junction is
// never followed: the lock then fails.
FileLock::FileLock(const std::string& path) {
    HANDLE file = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    BY_HANDLE_FILE_INFORMATION information{};
    if (!::GetFileInformationByHandle(file, &information) ||
        (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        ::CloseHandle(file);
        return;
    }
    OVERLAPPED whole{};
    if (!::LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole)) {
        ::CloseHandle(file);
        return;
    }
    kept_ = new (std::nothrow) KeptFile{file};
    if (kept_ == nullptr) {
        ::UnlockFileEx(file, 0, MAXDWORD, MAXDWORD, &whole);
        ::CloseHandle(file);
    }
}

FileLock::~FileLock() {
    if (kept_ == nullptr) return;
    OVERLAPPED whole{};
    ::UnlockFileEx(kept_->file, 0, MAXDWORD, MAXDWORD, &whole);
    ::CloseHandle(kept_->file);
    delete kept_;
}

}  // namespace platform
