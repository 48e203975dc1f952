#include "platform/System.h"

#include "platform/CodePage.h"
#include "platform/win32/ComTypes.h"

#include <fcntl.h>
#include <io.h>

#include <memory>
#include <string_view>
#include <vector>

namespace platform {
namespace {

HMODULE asModule(ModuleHandle handle) { return static_cast<HMODULE>(handle); }

std::string withSeparator(std::string path) {
    if (path.empty() || (path.back() != '\\' && path.back() != '/')) path += kPathSeparator;
    return path;
}

bool isSeparator(char c) { return c == '\\' || c == '/'; }

// The security identifier new objects of this process are owned by, and
// the user's own.
struct TokenOwners {
    std::vector<unsigned char> owner;
    std::vector<unsigned char> user;
};

std::vector<unsigned char> tokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS kind) {
    DWORD size = 0;
    ::GetTokenInformation(token, kind, nullptr, 0, &size);
    std::vector<unsigned char> data(size);
    if (size == 0 || !::GetTokenInformation(token, kind, data.data(), size, &size)) data.clear();
    return data;
}

TokenOwners tokenOwners() {
    TokenOwners owners;
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return owners;
    owners.owner = tokenInformation(token, TokenOwner);
    owners.user = tokenInformation(token, TokenUser);
    ::CloseHandle(token);
    return owners;
}

bool ownedByThisUser(const std::string& path) {
    DWORD size = 0;
    ::GetFileSecurityA(path.c_str(), OWNER_SECURITY_INFORMATION, nullptr, 0, &size);
    if (size == 0) return false;
    std::vector<unsigned char> descriptor(size);
    if (!::GetFileSecurityA(path.c_str(), OWNER_SECURITY_INFORMATION, descriptor.data(), size, &size)) return false;
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    if (!::GetSecurityDescriptorOwner(descriptor.data(), &owner, &defaulted) || owner == nullptr) return false;
    const TokenOwners mine = tokenOwners();
    if (!mine.owner.empty() &&
        ::EqualSid(owner, reinterpret_cast<const TOKEN_OWNER*>(mine.owner.data())->Owner)) {
        return true;
    }
    return !mine.user.empty() &&
           ::EqualSid(owner, reinterpret_cast<const TOKEN_USER*>(mine.user.data())->User.Sid);
}

}  // namespace

std::optional<std::string> environmentVariable(const char* name) {
    const DWORD size = ::GetEnvironmentVariableA(name, nullptr, 0);
    if (size == 0) {
        if (::GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
        return std::string();
    }
    std::string value(size, '\0');
    const DWORD length = ::GetEnvironmentVariableA(name, value.data(), size);
    value.resize(length < size ? length : 0);
    return value;
}

bool setEnvironmentVariable(const char* name, const std::string& value) {
    return ::SetEnvironmentVariableA(name, value.c_str()) != 0;
}

std::string systemErrorText(int code) {
    // The wide text: the ANSI one would be in the code page, not UTF-8.
    wchar_t* text = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string message =
        length == 0 ? std::string() : utf16ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(text), length));
    if (text != nullptr) ::LocalFree(text);
    // Without the line end and the closing period ("." or the ideographic "。").
    const auto endsWith = [&message](std::string_view tail) {
        return message.size() >= tail.size() && message.compare(message.size() - tail.size(), tail.size(), tail) == 0;
    };
    for (bool trimmed = true; trimmed;) {
        trimmed = false;
        for (std::string_view tail : {"\n", "\r", " ", ".", "\xE3\x80\x82"}) {
            if (endsWith(tail)) {
                message.resize(message.size() - tail.size());
                trimmed = true;
            }
        }
    }
    return message.empty() ? "error " + std::to_string(code) : message;
}

std::string tempPath() {
    char buffer[MAX_PATH + 1] = {};
    const DWORD length = ::GetTempPathA(sizeof buffer, buffer);
    if (length == 0 || length > MAX_PATH) return {};
    return withSeparator(std::string(buffer, length));
}

// The user's temporary directory lies in the profile, whose permissions keep
// other users out; a directory qualifies when it is a real directory (not a
// junction or symbolic link that could lead elsewhere) owned by this user.
std::string directoryRefusal(const std::string& path, DirectoryCheck) {
    std::string name = path;
    while (name.size() > 3 && isSeparator(name.back())) name.pop_back();
    const DWORD attributes = ::GetFileAttributesA(name.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return "does not exist";
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return "is not a directory";
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return "is a junction or symbolic link";
    if (!ownedByThisUser(name)) return "is not owned by this user";
    return {};
}

bool isOwnDirectory(const std::string& path, DirectoryCheck check) { return directoryRefusal(path, check).empty(); }

bool makeSureDirectoryPathExists(const std::string& path) {
    std::size_t last = path.find_last_of("\\/");
    if (last == std::string::npos) return true;
    // Past a drive ("C:\") or the server and share of a network path.
    std::size_t start = 0;
    if (path.size() >= 2 && path[1] == ':') start = 3;
    else if (path.rfind("\\\\", 0) == 0) start = path.find_first_of("\\/", path.find_first_of("\\/", 2) + 1) + 1;
    for (std::size_t next = path.find_first_of("\\/", start); next != std::string::npos && next <= last;
         next = path.find_first_of("\\/", next + 1)) {
        const std::string directory = path.substr(0, next);
        if (!::CreateDirectoryA(directory.c_str(), nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS) {
            return false;
        }
    }
    const DWORD attributes = ::GetFileAttributesA(path.substr(0, last + 1).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

WriteOutcome writeFileReplacing(const std::string& path, const void* data, std::size_t size) {
    // A library this process has loaded is never overwritten (Windows would
    // refuse anyway while it is mapped); the caller reuses it.
    if (ModuleHandle loaded = loadedLibrary(path)) {
        releaseLibrary(loaded);
        return WriteOutcome::InUse;
    }
    const std::size_t slash = path.find_last_of("\\/");
    const std::string directory = slash == std::string::npos ? "." : path.substr(0, slash);
    char temporary[MAX_PATH + 1] = {};
    if (::GetTempFileNameA(directory.c_str(), "ivc", 0, temporary) == 0) return WriteOutcome::Failed;
    HANDLE file = ::CreateFileA(temporary, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        ::DeleteFileA(temporary);
        return WriteOutcome::Failed;
    }
    const auto* bytes = static_cast<const unsigned char*>(data);
    std::size_t written = 0;
    while (written < size) {
        const DWORD chunk = static_cast<DWORD>(size - written > 0x40000000 ? 0x40000000 : size - written);
        DWORD done = 0;
        if (!::WriteFile(file, bytes + written, chunk, &done, nullptr) || done == 0) break;
        written += done;
    }
    const bool closed = ::CloseHandle(file) != 0;
    if (written != size || !closed ||
        !::MoveFileExA(temporary, path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        ::DeleteFileA(temporary);
        return WriteOutcome::Failed;
    }
    return WriteOutcome::Written;
}

bool deleteFile(const std::string& path) { return ::DeleteFileA(path.c_str()) != 0; }

ModuleHandle loadLibrary(const std::string& path) { return ::LoadLibraryA(path.c_str()); }

// Another reference to the library when this process has it loaded.
ModuleHandle loadedLibrary(const std::string& path) {
    HMODULE module = nullptr;
    return ::GetModuleHandleExA(0, path.c_str(), &module) ? module : nullptr;
}

void releaseLibrary(ModuleHandle library) {
    if (library != nullptr) ::FreeLibrary(asModule(library));
}

void* procAddress(ModuleHandle library, const char* name) {
    if (library == nullptr) return nullptr;
    return reinterpret_cast<void*>(::GetProcAddress(asModule(library), name));
}

ModuleHandle moduleContainingAddress(const void* address) {
    HMODULE module = nullptr;
    if (address == nullptr ||
        !::GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                              static_cast<LPCSTR>(address), &module)) {
        return nullptr;
    }
    return module;
}

std::string modulePathContainingAddress(const void* address) {
    ModuleHandle module = moduleContainingAddress(address);
    if (module == nullptr) return {};
    char buffer[MAX_PATH + 1] = {};
    const DWORD length = ::GetModuleFileNameA(asModule(module), buffer, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return {};
    return std::string(buffer, length);
}

std::string executablePath() {
    char buffer[MAX_PATH + 1] = {};
    const DWORD length = ::GetModuleFileNameA(nullptr, buffer, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return {};
    return std::string(buffer, length);
}

bool fileExists(const std::string& path) {
    return !path.empty() && ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Modules loaded into a Windows host print nothing; standard output stays
// the program's. Both streams pass their bytes unchanged (no CR before LF),
// and a console shows them as UTF-8.
std::FILE* reserveStandardOutput() {
    ::_setmode(::_fileno(stdout), _O_BINARY);
    ::_setmode(::_fileno(stderr), _O_BINARY);
    ::SetConsoleOutputCP(CP_UTF8);
    return stdout;
}

}  // namespace platform
