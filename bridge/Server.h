// The bridge service: HTTP and WebSocket on the loopback interface
// (127.0.0.1 and [::1]) in front of the apartment that owns the control.
//
// One network thread runs every connection; calls on the control are posted
// to the apartment and answered when it is done, so a slow client or a slow
// reader never stalls the other connections. Limits: request line and
// headers 8 KiB, body 4 KiB, WebSocket message 4 KiB, 5 s to send a
// request's headers, 30 s idle keep-alive, 64 connections (the longest-idle
// one makes room for a new one), 32 queued calls. One log line per request
// (method, path, origin, status, milliseconds; never a body, a query or a
// document) and one per WebSocket when it opens and when it closes.
//
// SIGINT and SIGTERM (or `stop` from onStarted) stop accepting, let the call
// in progress finish and answer, close every connection and return 0.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

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

    // Where every line the service writes goes (no trailing newline);
    // standard error when empty. Called on the service's threads.
    std::function<void(std::string_view line)> log;
    // Called once the service listens. `stop` may be called from any thread,
    // also after the service ended, and does what SIGTERM does.
    std::function<void(unsigned short port, std::function<void()> stop)> onStarted;
    // "ready" or "absent" whenever the service learns the reader's state: at
    // start, and when it changes.
    std::function<void(std::string_view readerState)> onReaderState;
    // Called on the network thread when SIGHUP arrives (not on Windows).
    std::function<void()> onReload;
};

// Runs the service until SIGINT or SIGTERM. The exit status: 0 after a
// signal, 1 when the port is in use or the control cannot be created.
int runServer(const ServerOptions& options);

}  // namespace bridge
