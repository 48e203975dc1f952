// The bridge service: HTTP and WebSocket on the loopback interface
// (127.0.0.1 and [::1]) in front of the apartment that owns the control.
//
// One network thread runs every connection; calls on the control are posted
// to the apartment and answered when it is done, so a slow client or a slow
// reader never stalls the other connections; static files are read on a
// thread of their own. Limits: request line and headers 8 KiB, body 4 KiB,
// WebSocket message 4 KiB, static file 1 MiB, JSON nested 64 deep, 5 s to
// send a request's headers and to take an answer, 30 s idle keep-alive, 8
// requests sent ahead of their answers, 64 connections (the one idle
// longest makes room for a new one; a watch or a call in progress is not
// idle), 32 queued calls. One log line per request (method, path, origin,
// status, milliseconds; never a body, a query or a document), one when a
// WebSocket opens and one when it closes; at most ten refusals a second.
//
// Watches read the card at their interval; a card that stays is read every
// 2 s, and while reads fail the reader's state is asked every 2 s. Page
// calls go ahead of the watch's reads.
//
// Only the user who runs the service is served: a connection from another
// local account gets 403 "other-user" (unless allowOtherUsers), and one
// whose user cannot be told is refused the same way, the reason logged.
//
// SIGINT and SIGTERM (or `stop` from onStarted) stop accepting, let the call
// in progress finish and answer, close every connection and return 0. A
// second one ends the process at once (status 2); a reader call that has not
// returned 10 s after the first ends it with a line saying so (status 3).
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "bridge/Policy.h"
#include "host/ControlHost.h"

namespace bridge {

// The configured page origins (the service's own are always allowed).
// set() may be called from any thread while the service runs; the next
// request sees the new list.
class AllowedOrigins {
public:
    explicit AllowedOrigins(std::vector<std::string> origins = {});
    void set(std::vector<std::string> origins);
    std::shared_ptr<const std::vector<std::string>> get() const;

private:
    mutable std::mutex mutex_;
    std::shared_ptr<const std::vector<std::string>> origins_;
};

struct ServerOptions {
    unsigned short port = 24010;
    std::shared_ptr<AllowedOrigins> allowOrigins = std::make_shared<AllowedOrigins>();
    host::ModuleChoice module;
    std::string webRoot;
    bool virtualReader = false;
    // Serve the connections of other local accounts too (a kiosk account
    // that runs the browser under another user).
    bool allowOtherUsers = false;
    // Where origins are allowed, for the text of an origin refusal.
    AllowListPlaces allowListPlaces;

    // Where every line the service writes goes (no trailing newline);
    // standard error when empty. Called on the service's threads.
    std::function<void(std::string_view line)> log;
    // Called once the service listens. `stop` may be called from any thread,
    // also after the service ended, and does what SIGTERM does (a second
    // call ends the process at once).
    std::function<void(unsigned short port, std::function<void()> stop)> onStarted;
    // "ready" or "absent" whenever the service learns the reader's state: at
    // start, and when it changes.
    std::function<void(std::string_view readerState)> onReaderState;
    // Called on the network thread when SIGHUP arrives (not on Windows).
    std::function<void()> onReload;
};

// Runs the service until SIGINT or SIGTERM. The exit status: 0 after a
// signal, 1 when the port is in use or the control cannot be created (2 and
// 3 end the process from inside, see above).
int runServer(const ServerOptions& options);

}  // namespace bridge
