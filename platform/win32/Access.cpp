#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>
#include <aclapi.h>
#include <sddl.h>

#include "platform/Access.h"
#include "platform/CodePage.h"
#include "platform/System.h"
#include "platform/win32/RegistryKey.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

namespace platform {
namespace {

using win32::wide;

std::string systemMessage(DWORD code) { return systemErrorText(static_cast<int>(code)); }

bool isDenied(DWORD code) { return code == ERROR_ACCESS_DENIED || code == ERROR_PRIVILEGE_NOT_HELD; }

class Handle {
public:
    Handle() = default;
    explicit Handle(HANDLE handle) : handle_(handle) {}
    ~Handle() {
        if (handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE) ::CloseHandle(handle_);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HANDLE* out() { return &handle_; }
    HANDLE get() const { return handle_; }
    bool valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }

private:
    HANDLE handle_ = nullptr;
};

// The TokenUser record of a process's token; empty when it cannot be read.
std::vector<unsigned char> tokenUser(HANDLE process) {
    Handle token;
    if (!::OpenProcessToken(process, TOKEN_QUERY, token.out())) return {};
    DWORD size = 0;
    ::GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
    std::vector<unsigned char> data(size);
    if (size == 0 || !::GetTokenInformation(token.get(), TokenUser, data.data(), size, &size)) data.clear();
    return data;
}

PSID sidOf(std::vector<unsigned char>& user) { return reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid; }

// The TCP table of one address family with each socket's owning process.
std::vector<unsigned char> tcpTable(ULONG family, std::string& why) {
    std::vector<unsigned char> table;
    DWORD size = 0;
    DWORD result = ERROR_INSUFFICIENT_BUFFER;
    for (int attempt = 0; attempt < 4 && result == ERROR_INSUFFICIENT_BUFFER; ++attempt) {
        table.resize(size);
        result = ::GetExtendedTcpTable(table.empty() ? nullptr : table.data(), &size, FALSE, family,
                                       TCP_TABLE_OWNER_PID_ALL, 0);
    }
    if (result != NO_ERROR) {
        why = "the TCP table cannot be read: " + systemMessage(result);
        table.clear();
    } else if (table.size() < sizeof(DWORD)) {
        why = "the TCP table is empty";
        table.clear();
    }
    return table;
}

DWORD knownOwner(DWORD pid, std::string& why) {
    if (pid == 0) why = "the TCP table does not name the process owning the peer's socket";
    return pid;
}

// The process owning the socket whose own end is `source` and whose far end
// is `destination`; 0 when there is none (or the system does not say).
DWORD owningProcess(const TcpEndpoint& source, const TcpEndpoint& destination, std::string& why) {
    const std::vector<unsigned char> data = tcpTable(source.v6 ? AF_INET6 : AF_INET, why);
    if (data.empty()) return 0;
    const auto port = [](unsigned short value) { return static_cast<DWORD>(::htons(value)); };
    if (source.v6) {
        const auto* table = reinterpret_cast<const MIB_TCP6TABLE_OWNER_PID*>(data.data());
        for (DWORD i = 0; i < table->dwNumEntries; ++i) {
            const MIB_TCP6ROW_OWNER_PID& row = table->table[i];
            if ((row.dwLocalPort & 0xFFFF) == port(source.port) && (row.dwRemotePort & 0xFFFF) == port(destination.port) &&
                std::memcmp(row.ucLocalAddr, source.address.data(), 16) == 0 &&
                std::memcmp(row.ucRemoteAddr, destination.address.data(), 16) == 0) {
                return knownOwner(row.dwOwningPid, why);
            }
        }
    } else {
        const auto* table = reinterpret_cast<const MIB_TCPTABLE_OWNER_PID*>(data.data());
        for (DWORD i = 0; i < table->dwNumEntries; ++i) {
            const MIB_TCPROW_OWNER_PID& row = table->table[i];
            if ((row.dwLocalPort & 0xFFFF) == port(source.port) && (row.dwRemotePort & 0xFFFF) == port(destination.port) &&
                std::memcmp(&row.dwLocalAddr, source.address.data(), 4) == 0 &&
                std::memcmp(&row.dwRemoteAddr, destination.address.data(), 4) == 0) {
                return knownOwner(row.dwOwningPid, why);
            }
        }
    }
    if (why.empty()) why = "the peer's socket is not in the TCP table";
    return 0;
}

// An address as the Unix side prints it in /proc/net/tcp{,6}: each group of
// four bytes as one hexadecimal number of the machine's (little-endian) order.
std::string procAddress(const TcpEndpoint& endpoint) {
    std::string text;
    const std::size_t length = endpoint.v6 ? 16 : 4;
    for (std::size_t group = 0; group < length; group += 4) {
        char word[9];
        std::snprintf(word, sizeof word, "%02X%02X%02X%02X", endpoint.address[group + 3], endpoint.address[group + 2],
                      endpoint.address[group + 1], endpoint.address[group]);
        text += word;
    }
    char port[6];
    std::snprintf(port, sizeof port, ":%04X", endpoint.port);
    return text + port;
}

bool underWine() {
    static const bool wine = ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
    return wine;
}

// Under Wine the TCP table names no process; the Unix side underneath (its
// root is drive Z:) tells the uid owning each socket in /proc/net/tcp{,6}
// and this process's own in /proc/self/status. Unknown when there is none.
PeerUser unixOwner(const TcpEndpoint& source, const TcpEndpoint& destination, std::string& why) {
    std::ifstream status("Z:\\proc\\self\\status");
    std::string line;
    long ownUid = -1;
    while (std::getline(status, line)) {
        std::istringstream fields(line);
        std::string name;
        long real = -1;
        if (fields >> name >> real >> ownUid && name == "Uid:") break;
        ownUid = -1;
    }
    std::ifstream table(source.v6 ? "Z:\\proc\\net\\tcp6" : "Z:\\proc\\net\\tcp");
    if (ownUid < 0 || !table) return PeerUser::Unknown;
    const std::string local = procAddress(source);
    const std::string remote = procAddress(destination);
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, ownEnd, farEnd, state, queues, timer, retransmits;
        long uid = -1;
        if (!(fields >> slot >> ownEnd >> farEnd >> state >> queues >> timer >> retransmits >> uid)) continue;
        if (ownEnd != local || farEnd != remote) continue;
        why.clear();
        return uid == ownUid ? PeerUser::Same : PeerUser::Other;
    }
    return PeerUser::Unknown;
}

// Holds a security descriptor from the system.
class SecurityDescriptor {
public:
    ~SecurityDescriptor() {
        if (descriptor_ != nullptr) ::LocalFree(descriptor_);
    }
    PSECURITY_DESCRIPTOR* out() { return &descriptor_; }
    PSECURITY_DESCRIPTOR get() const { return descriptor_; }

private:
    PSECURITY_DESCRIPTOR descriptor_ = nullptr;
};

std::string accountName(PSID sid) {
    wchar_t name[256];
    wchar_t domain[256];
    DWORD nameLength = 256;
    DWORD domainLength = 256;
    SID_NAME_USE use;
    if (::LookupAccountSidW(nullptr, sid, name, &nameLength, domain, &domainLength, &use)) {
        const std::u16string text = (domainLength > 0 ? std::u16string(reinterpret_cast<const char16_t*>(domain)) + u"\\"
                                                        : std::u16string()) +
                                    reinterpret_cast<const char16_t*>(name);
        return utf16ToUtf8(text);
    }
    char* text = nullptr;
    if (!::ConvertSidToStringSidA(sid, &text)) return "an unknown account";
    std::string result = text;
    ::LocalFree(text);
    return result;
}

bool isWellKnown(PSID sid, WELL_KNOWN_SID_TYPE type) { return ::IsWellKnownSid(sid, type) != FALSE; }

// The service that installs Windows' own files.
bool isTrustedInstaller(PSID sid) {
    char* text = nullptr;
    if (!::ConvertSidToStringSidA(sid, &text)) return false;
    const bool trusted = std::strcmp(text, "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464") == 0;
    ::LocalFree(text);
    return trusted;
}

// Who other than this user and the system's administrators may change (or,
// for a directory, add and remove entries in) the object at `path`; empty
// when nobody. `what` names the object in the sentence.
std::string writersOf(const std::string& path, bool directory, const std::string& what) {
    PACL dacl = nullptr;
    SecurityDescriptor descriptor;
    const DWORD result = ::GetNamedSecurityInfoW(wide(path).c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                                 nullptr, nullptr, &dacl, nullptr, descriptor.out());
    if (result != ERROR_SUCCESS) return {};
    if (dacl == nullptr) return what + " has no access control list: everybody may change it";
    HANDLE process = ::GetCurrentProcess();
    std::vector<unsigned char> self = tokenUser(process);
    const DWORD writeRights = directory ? (FILE_ADD_FILE | FILE_DELETE_CHILD | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE |
                                           GENERIC_ALL)
                                        : (FILE_WRITE_DATA | FILE_APPEND_DATA | WRITE_DAC | WRITE_OWNER | DELETE |
                                           GENERIC_WRITE | GENERIC_ALL);
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* entry = nullptr;
        if (!::GetAce(dacl, i, &entry)) continue;
        const auto* header = static_cast<const ACE_HEADER*>(entry);
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE) != 0) continue;
        const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(entry);
        if ((allowed->Mask & writeRights) == 0) continue;
        PSID sid = const_cast<DWORD*>(&allowed->SidStart);
        if (isWellKnown(sid, WinLocalSystemSid) || isWellKnown(sid, WinBuiltinAdministratorsSid) ||
            isWellKnown(sid, WinCreatorOwnerSid) || isTrustedInstaller(sid) ||
            (!self.empty() && ::EqualSid(sid, sidOf(self)))) {
            continue;
        }
        return what + " may be changed by " + accountName(sid);
    }
    return {};
}

std::string parentOf(const std::string& path) {
    const std::size_t separator = path.find_last_of("\\/");
    return separator == std::string::npos ? std::string(".") : path.substr(0, separator);
}

// Everybody may read; only the system and administrators may change, and
// nothing is inherited from above.
constexpr wchar_t kMachineDirectoryAcl[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FRFX;;;BU)";

bool makeMachineDirectory(const std::string& directory, std::string& error, bool& denied) {
    SecurityDescriptor descriptor;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(kMachineDirectoryAcl, SDDL_REVISION_1,
                                                                descriptor.out(), nullptr)) {
        error = "cannot prepare the access control list: " + systemMessage(::GetLastError());
        return false;
    }
    const std::wstring path = wide(directory);
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor.get(), FALSE};
    if (::CreateDirectoryW(path.c_str(), &attributes)) return true;
    DWORD code = ::GetLastError();
    if (code != ERROR_ALREADY_EXISTS) {
        denied = isDenied(code);
        error = "cannot create " + directory + ": " + systemMessage(code);
        return false;
    }
    // An existing directory gets the same list: the common application data
    // directory lets every user create files in what lies below it.
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    ::GetSecurityDescriptorDacl(descriptor.get(), &present, &dacl, &defaulted);
    code = ::SetNamedSecurityInfoW(const_cast<wchar_t*>(path.c_str()), SE_FILE_OBJECT,
                                   DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                   dacl, nullptr);
    if (code != ERROR_SUCCESS) {
        denied = isDenied(code);
        error = "cannot restrict " + directory + " to administrators: " + systemMessage(code);
        return false;
    }
    return true;
}

}  // namespace

PeerUser peerUser(const TcpEndpoint& local, const TcpEndpoint& peer, std::string& why) {
    if (local.v6 != peer.v6) {
        why = "the two ends of the connection have different address families";
        return PeerUser::Unknown;
    }
    // Wine's TCP table looks for each socket's process through every
    // descriptor of every Wine process (seconds per connection once a few
    // hundred are open) and names none for a peer outside Wine; the Unix side
    // tells the same user from one file.
    if (underWine()) {
        const PeerUser user = unixOwner(peer, local, why);
        if (user == PeerUser::Unknown && why.empty()) why = "the peer's socket is not in /proc/net/tcp";
        return user;
    }
    const DWORD pid = owningProcess(peer, local, why);
    if (pid == 0) return unixOwner(peer, local, why);
    if (pid == ::GetCurrentProcessId()) return PeerUser::Same;
    Handle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    if (!process.valid()) {
        why = "the process " + std::to_string(pid) + " owning the peer's socket cannot be asked for its user: " +
              systemMessage(::GetLastError());
        return PeerUser::Unknown;
    }
    std::vector<unsigned char> theirs = tokenUser(process.get());
    std::vector<unsigned char> ours = tokenUser(::GetCurrentProcess());
    if (theirs.empty() || ours.empty()) {
        why = "the user of the process " + std::to_string(pid) + " cannot be read: " + systemMessage(::GetLastError());
        return PeerUser::Unknown;
    }
    return ::EqualSid(sidOf(theirs), sidOf(ours)) ? PeerUser::Same : PeerUser::Other;
}

int prepareListeningSocket(std::uintptr_t) {
    // Neither option: SO_REUSEADDR would let it bind a port another program
    // listens on, and SO_EXCLUSIVEADDRUSE would keep the port from a restarted
    // service while the connections of the one before wait out their close.
    // Without them a bound port is refused to others, and Windows lets a
    // listener bind a port whose only connections are closing.
    return 0;
}

std::string othersMayChange(const std::string& path) {
    if (::GetFileAttributesW(wide(path).c_str()) == INVALID_FILE_ATTRIBUTES) return {};
    if (std::string why = writersOf(path, false, "it"); !why.empty()) return why;
    const std::string directory = parentOf(path);
    return writersOf(directory, true, "its directory " + directory);
}

bool writeMachineFile(const std::string& path, std::string_view bytes, std::string& error, bool& denied) {
    denied = false;
    if (!makeMachineDirectory(parentOf(path), error, denied)) return false;
    const std::string temporary = path + ".new";
    const std::wstring temporaryName = wide(temporary);
    bool complete = false;
    DWORD writeError = 0;
    {
        Handle file(::CreateFileW(temporaryName.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH, nullptr));
        if (!file.valid()) {
            const DWORD code = ::GetLastError();
            denied = isDenied(code);
            error = "cannot write " + temporary + ": " + systemMessage(code);
            return false;
        }
        DWORD written = 0;
        complete = ::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                   written == bytes.size() && ::FlushFileBuffers(file.get());
        writeError = ::GetLastError();
    }
    if (!complete) {
        ::DeleteFileW(temporaryName.c_str());
        error = "cannot write " + temporary + ": " + systemMessage(writeError);
        return false;
    }
    if (!::MoveFileExW(temporaryName.c_str(), wide(path).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        const DWORD code = ::GetLastError();
        ::DeleteFileW(temporaryName.c_str());
        denied = isDenied(code);
        error = "cannot replace " + path + ": " + systemMessage(code);
        return false;
    }
    return true;
}

}  // namespace platform
