#include "platform/Access.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace platform {
namespace {

std::string modeText(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

std::string parentOf(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool trustedOwner(uid_t owner) { return owner == 0 || owner == ::geteuid(); }

// True when `group` is the private group of the user `owner` (the group of
// the user's own name that is the user's primary group), as systems with a
// umask of 002 give every user: its write permission opens nothing to others.
bool isPrivateGroup(uid_t owner, gid_t group) {
    std::vector<char> buffer(16384);
    passwd user{};
    passwd* foundUser = nullptr;
    if (::getpwuid_r(owner, &user, buffer.data(), buffer.size() / 2, &foundUser) != 0 || foundUser == nullptr ||
        user.pw_gid != group) {
        return false;
    }
    ::group entry{};
    ::group* foundGroup = nullptr;
    char* groupBuffer = buffer.data() + buffer.size() / 2;
    if (::getgrgid_r(group, &entry, groupBuffer, buffer.size() / 2, &foundGroup) != 0 || foundGroup == nullptr) {
        return false;
    }
    const bool othersListed = entry.gr_mem != nullptr && entry.gr_mem[0] != nullptr &&
                              (std::strcmp(entry.gr_mem[0], user.pw_name) != 0 || entry.gr_mem[1] != nullptr);
    return std::strcmp(entry.gr_name, user.pw_name) == 0 && !othersListed;
}

bool groupMayWrite(const struct stat& info) {
    return (info.st_mode & S_IWGRP) != 0 && !isPrivateGroup(info.st_uid, info.st_gid);
}

// Why others may change the file itself, or empty.
std::string fileRefusal(const struct stat& info) {
    if (!trustedOwner(info.st_uid)) {
        return "is owned by uid " + std::to_string(info.st_uid) + " (neither this user nor root)";
    }
    if ((info.st_mode & S_IWOTH) != 0) return "is writable by others (mode " + modeText(info.st_mode) + ")";
    if (groupMayWrite(info)) return "is writable by its group (mode " + modeText(info.st_mode) + ")";
    return {};
}

// Why others may replace a file in `directory`, or empty. A sticky directory
// keeps them from renaming or removing a file they do not own.
std::string directoryRefusal(const std::string& directory) {
    struct stat info {};
    if (::stat(directory.c_str(), &info) != 0) return {};
    if (!trustedOwner(info.st_uid)) {
        return "is in " + directory + ", which is owned by uid " + std::to_string(info.st_uid) +
               " (neither this user nor root)";
    }
    if (((info.st_mode & S_IWOTH) != 0 || groupMayWrite(info)) && (info.st_mode & S_ISVTX) == 0) {
        return "is in " + directory + ", which is writable by others (mode " + modeText(info.st_mode) + ")";
    }
    return {};
}

bool isDenied(int error) { return error == EACCES || error == EPERM || error == EROFS; }

// Creates `directory` and its missing parents with mode 0755.
bool makeDirectories(const std::string& directory, std::string& error, bool& denied) {
    struct stat info {};
    if (::stat(directory.c_str(), &info) == 0) {
        if (S_ISDIR(info.st_mode)) return true;
        error = directory + " is not a directory";
        return false;
    }
    const std::string parent = parentOf(directory);
    if (parent != directory && !makeDirectories(parent, error, denied)) return false;
    if (::mkdir(directory.c_str(), 0755) != 0 && errno != EEXIST) {
        denied = isDenied(errno);
        error = "cannot create " + directory + ": " + std::strerror(errno);
        return false;
    }
    ::chmod(directory.c_str(), 0755);  // whatever the umask
    return true;
}

// One exact lookup through the socket diagnostics interface: the uid owning
// the TCP socket whose own end is `source` and whose far end is `destination`.
PeerUser askSocketDiagnostics(const TcpEndpoint& source, const TcpEndpoint& destination, std::string& why) {
    const int fd = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (fd < 0) {
        why = std::string("the socket diagnostics interface is not available: ") + std::strerror(errno);
        return PeerUser::Unknown;
    }
    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } message{};
    message.header.nlmsg_len = sizeof message;
    message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    message.header.nlmsg_flags = NLM_F_REQUEST;
    message.request.sdiag_family = source.v6 ? AF_INET6 : AF_INET;
    message.request.sdiag_protocol = IPPROTO_TCP;
    message.request.idiag_states = ~0u;
    message.request.id.idiag_sport = htons(source.port);
    message.request.id.idiag_dport = htons(destination.port);
    const std::size_t length = source.v6 ? 16 : 4;
    std::memcpy(message.request.id.idiag_src, source.address.data(), length);
    std::memcpy(message.request.id.idiag_dst, destination.address.data(), length);
    message.request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    message.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;

    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    PeerUser answer = PeerUser::Unknown;
    if (::sendto(fd, &message, sizeof message, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) < 0) {
        why = std::string("the socket diagnostics request failed: ") + std::strerror(errno);
    } else {
        alignas(nlmsghdr) char buffer[8192];
        ssize_t received = -1;
        do {
            received = ::recv(fd, buffer, sizeof buffer, 0);
        } while (received < 0 && errno == EINTR);
        const auto* reply = reinterpret_cast<const nlmsghdr*>(buffer);
        if (received < 0) {
            why = std::string("no answer from the socket diagnostics interface: ") + std::strerror(errno);
        } else if (!NLMSG_OK(reply, static_cast<unsigned>(received))) {
            why = "a malformed answer from the socket diagnostics interface";
        } else if (reply->nlmsg_type == NLMSG_ERROR) {
            const auto* error = static_cast<const nlmsgerr*>(NLMSG_DATA(reply));
            why = std::string("the socket diagnostics interface does not know the peer's socket: ") +
                  std::strerror(-error->error);
        } else if (reply->nlmsg_type != SOCK_DIAG_BY_FAMILY || reply->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg))) {
            why = "an unexpected answer from the socket diagnostics interface";
        } else {
            const auto* diag = static_cast<const inet_diag_msg*>(NLMSG_DATA(reply));
            answer = diag->idiag_uid == ::geteuid() ? PeerUser::Same : PeerUser::Other;
        }
    }
    ::close(fd);
    return answer;
}

}  // namespace

PeerUser peerUser(const TcpEndpoint& local, const TcpEndpoint& peer, std::string& why) {
    if (local.v6 != peer.v6) {
        why = "the two ends of the connection have different address families";
        return PeerUser::Unknown;
    }
    // The peer's socket has the peer's address as its own end.
    return askSocketDiagnostics(peer, local, why);
}

int prepareListeningSocket(std::uintptr_t socket) {
    const int on = 1;
    return ::setsockopt(static_cast<int>(socket), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 ? 0 : errno;
}

std::string othersMayChange(const std::string& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) return {};
    if (S_ISLNK(info.st_mode)) {
        // The link's own directory decides where it points; the target's
        // directory and the target itself decide what it holds.
        if (std::string why = directoryRefusal(parentOf(path)); !why.empty()) return why;
        char resolved[PATH_MAX];
        if (::realpath(path.c_str(), resolved) == nullptr || ::stat(resolved, &info) != 0) return {};
        if (std::string why = fileRefusal(info); !why.empty()) return "leads to " + std::string(resolved) + ", which " + why;
        return directoryRefusal(parentOf(resolved));
    }
    if (std::string why = fileRefusal(info); !why.empty()) return why;
    return directoryRefusal(parentOf(path));
}

bool writeMachineFile(const std::string& path, std::string_view bytes, std::string& error, bool& denied) {
    denied = false;
    const std::string directory = parentOf(path);
    if (!makeDirectories(directory, error, denied)) return false;
    std::string temporary = path + ".XXXXXX";
    const int fd = ::mkstemp(temporary.data());
    if (fd < 0) {
        denied = isDenied(errno);
        error = "cannot write in " + directory + ": " + std::strerror(errno);
        return false;
    }
    bool written = ::fchmod(fd, 0644) == 0;
    for (std::size_t done = 0; written && done < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        written = n > 0;
        if (written) done += static_cast<std::size_t>(n);
    }
    written = written && ::fsync(fd) == 0;
    if (!written) error = "cannot write " + temporary + ": " + std::strerror(errno);
    if (::close(fd) != 0 && written) {
        error = "cannot write " + temporary + ": " + std::strerror(errno);
        written = false;
    }
    if (written && ::rename(temporary.c_str(), path.c_str()) != 0) {
        denied = isDenied(errno);
        error = "cannot replace " + path + ": " + std::strerror(errno);
        written = false;
    }
    if (!written) ::unlink(temporary.c_str());
    return written;
}

}  // namespace platform
