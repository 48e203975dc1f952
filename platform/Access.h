// Who may reach the browser bridge and who may change what it trusts: the
// user behind a loopback connection, whether others may change a file, and
// files written for the whole machine.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace platform {

// One end of a TCP connection: an IPv4 address in the first four bytes of
// `address`, or an IPv6 address.
struct TcpEndpoint {
    bool v6 = false;
    std::array<unsigned char, 16> address{};
    unsigned short port = 0;
};

// Whether the socket at the far end of an accepted loopback connection
// (`local` is this process's end, `peer` the other) belongs to the user this
// process runs as. Unknown, with `why` set, when the system does not tell.
// Linux asks the socket diagnostics interface for exactly that socket;
// Windows looks up the process owning the peer's port and that process's user
// (under Wine, the Unix user owning the socket, which is the same).
enum class PeerUser { Same, Other, Unknown };
PeerUser peerUser(const TcpEndpoint& local, const TcpEndpoint& peer, std::string& why);

// Prepares the socket `socket` (its native handle) to bind a listening port:
// it may bind while earlier connections of the port wait out their close,
// and it never binds a port another socket listens on. POSIX: SO_REUSEADDR
// (which never lets two listeners share a port). Windows: the system's
// default, never SO_REUSEADDR, which there would let it share a port
// another program listens on. The system's error code, 0 on success.
int prepareListeningSocket(std::uintptr_t socket);

// Why someone other than the file's owner and the system's administrators may
// change the file at `path` or replace it in its directory, as the rest of a
// sentence ("is writable by its group (mode 0664)", "is in /x, which is
// writable by others (mode 0777)"), or empty when nobody else may.
std::string othersMayChange(const std::string& path);

// Writes `bytes` as the whole file at `path`, readable by everybody and
// changeable only by administrators (mode 0644): written beside and renamed
// into place, so that readers see the old or the new file and a symbolic
// link at `path` is replaced, never followed. A missing directory is created
// (mode 0755). False with `error` set on failure; `denied` tells that it
// failed for lack of rights (not root or not an administrator).
bool writeMachineFile(const std::string& path, std::string_view bytes, std::string& error, bool& denied);

}  // namespace platform
