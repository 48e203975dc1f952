// The bridge service: HTTP and WebSocket on the loopback interface
// (127.0.0.1 and [::1]) in front of the apartment that owns the control.
//
// One network thread runs every connection; calls on the control are posted
// to the apartment and answered when it is done, so a slow client or a slow
// reader never stalls the other connections. Limits: request line and
// headers 8 KiB, body 4 KiB, WebSocket message 4 KiB, 5 s to send a
// request's headers, 30 s idle keep-alive, 64 connections (the longest-idle
// one makes room for a new one), 32 queued calls. One log line per request
// on standard error: method, path, origin, status, milliseconds; never a
// body, a query or a document.
//
// Only the user who runs the service is served: a connection from another
// local account gets 403 "other-user" (unless allowOtherUsers), and one
// whose user cannot be told is refused the same way, the reason logged.
//
// SIGHUP reads the allow-list files again (reloadOrigins). SIGINT and SIGTERM stop accepting, let the call in progress finish and
// answer, close every connection and return 0.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "bridge/Policy.h"

namespace bridge {

struct ServerOptions {
    unsigned short port = 24010;
    std::vector<std::string> allowOrigins;
    std::string modulePath;
    std::string webRoot;
    bool virtualReader = false;
    // Serve the connections of other local accounts too (a kiosk account
    // that runs the browser under another user).
    bool allowOtherUsers = false;
    // The configured origins read again: before each request (the files are
    // looked at at most once a second) and on SIGHUP (`force`); a new list
    // when it changed. Unset: the list stays as it started.
    std::function<std::optional<std::vector<std::string>>(bool force)> reloadOrigins;
    // Where origins are allowed, for the text of an origin refusal.
    AllowListPlaces allowListPlaces;
};

// Runs the service until SIGINT or SIGTERM. The exit status: 0 after a
// signal, 1 when the port is in use or the control cannot be created.
int runServer(const ServerOptions& options);

}  // namespace bridge
