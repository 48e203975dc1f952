// `ivelcard serve`: the command line of the browser bridge.
//
//   ivelcard serve [--port N] [--allow-origin ORIGIN]... [--web-root DIR]
//
// Allowed origins come from the options and from "allowOrigins" in
// $XDG_CONFIG_HOME/ivelcard/bridge.json (else ~/.config/ivelcard/); the
// service's own origins are always allowed. The web root holds the
// JavaScript client and the demo page: web/ beside the program, else
// ../share/ivelcard/web, else the source tree's.
#pragma once

#include <string>
#include <vector>

#include "bridge/Server.h"
#include "host/ControlHost.h"

namespace bridge {

// Runs the service for the chosen module; the exit status. Usage
// errors print `usage` and give 64. `options` may carry the program's
// hooks (log, onStarted, onReaderState); the rest comes from `args`.
int serve(const host::ModuleChoice& module, const std::vector<std::string>& args, ServerOptions options = {});

// The usage lines of the serve command, for the host's help text.
extern const char* const kServeUsage;

}  // namespace bridge
