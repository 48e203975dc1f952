#include "platform/FileLock.h"

#include "platform/win32/ComTypes.h"

#include <fcntl.h>
#include <io.h>

namespace platform {

// The lock file is opened shared (every process opens it) and locked whole
// with LockFileEx; the runtime's descriptor owns the handle, and closing it
// releases the lock.
FileLock::FileLock(const std::string& path) {
    HANDLE file = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    OVERLAPPED whole{};
    if (!::LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole)) {
        ::CloseHandle(file);
        return;
    }
    const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(file), _O_RDWR);
    if (fd < 0) {
        ::UnlockFileEx(file, 0, MAXDWORD, MAXDWORD, &whole);
        ::CloseHandle(file);
        return;
    }
    descriptor_ = fd;
}

FileLock::~FileLock() {
    if (descriptor_ >= 0) ::_close(descriptor_);
}

}  // namespace platform
