#include "platform/HostSupport.h"
#include "platform/System.h"
#include "platform/CodePage.h"

#include "platform/win32/ComTypes.h"

#include <aclapi.h>
#include <io.h>
#include <sddl.h>
#include <winver.h>

#include <algorithm>

#include <vector>

namespace platform {
namespace {

std::string lastErrorText() { return systemErrorText(static_cast<int>(::GetLastError())); }

// Full access for the file's owner and the system, nobody else, inherited
// from nothing.
constexpr const char* kOwnerOnly = "D:P(A;;FA;;;OW)(A;;FA;;;SY)";

// "%NAME%\Ivelcard" in UTF-8, or empty when the variable is unset or empty.
// (The ANSI value would lose a user name outside the code page and would
// not be UTF-8, which the bridge's files, log and answers are.)
std::string ivelcardDirectoryIn(const wchar_t* variable) {
    const DWORD size = ::GetEnvironmentVariableW(variable, nullptr, 0);
    if (size <= 1) return {};
    std::wstring value(size, L'\0');
    value.resize(::GetEnvironmentVariableW(variable, value.data(), size));
    if (value.empty()) return {};
    std::string directory =
        utf16ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(value.data()), value.size()));
    if (directory.back() != '\\' && directory.back() != '/') directory += '\\';
    return directory + "Ivelcard";
}

}  // namespace

bool isTerminal(std::FILE* stream) { return stream != nullptr && ::_isatty(::_fileno(stream)) != 0; }

bool writePrivateFile(const std::string& path, std::string_view bytes, std::string& error) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorA(kOwnerOnly, SDDL_REVISION_1, &descriptor, nullptr)) {
        error = lastErrorText();
        return false;
    }
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
    // A reparse point (a link) at `path` is opened itself, never followed.
    HANDLE file = ::CreateFileA(path.c_str(), GENERIC_WRITE | WRITE_DAC, 0, &attributes, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error = lastErrorText();
        ::LocalFree(descriptor);
        return false;
    }
    // A file that existed keeps its old access list unless it is replaced.
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    bool written = ::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) &&
                   ::SetSecurityInfo(file, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                     nullptr, nullptr, dacl, nullptr) == ERROR_SUCCESS;
    ::LocalFree(descriptor);
    if (!written) error = "cannot restrict its access to its owner";
    for (std::size_t done = 0; written && done < bytes.size();) {
        DWORD wrote = 0;
        const auto chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1u << 20));
        written = ::WriteFile(file, bytes.data() + done, chunk, &wrote, nullptr) && wrote > 0;
        if (!written) error = lastErrorText();
        done += wrote;
    }
    if (!::CloseHandle(file) && written) {
        error = lastErrorText();
        written = false;
    }
    return written;
}

std::optional<FileVersion> moduleFileVersion(const std::string& path) {
    DWORD ignored = 0;
    const DWORD size = ::GetFileVersionInfoSizeA(path.c_str(), &ignored);
    if (size == 0) return std::nullopt;
    std::vector<char> record(size);
    if (!::GetFileVersionInfoA(path.c_str(), 0, size, record.data())) return std::nullopt;
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    if (!::VerQueryValueA(record.data(), "\\", reinterpret_cast<void**>(&fixed), &length) || fixed == nullptr ||
        length < sizeof *fixed) {
        return std::nullopt;
    }
    return FileVersion{HIWORD(fixed->dwFileVersionMS), LOWORD(fixed->dwFileVersionMS), HIWORD(fixed->dwFileVersionLS),
                       LOWORD(fixed->dwFileVersionLS)};
}

std::string systemPath(const std::string& absolute) { return absolute; }

std::string machineConfigDirectory() { return ivelcardDirectoryIn(L"PROGRAMDATA"); }

std::string userConfigDirectory() { return ivelcardDirectoryIn(L"APPDATA"); }

std::string logDirectory() { return ivelcardDirectoryIn(L"LOCALAPPDATA"); }

}  // namespace platform
