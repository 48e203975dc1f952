// `ivelcard serve`: the command line of the browser bridge.
//
//   ivelcard serve [--port N] [--allow-origin ORIGIN]... [--web-root DIR]
//                  [--allow-other-users]
//
// Allowed origins come from the options and from "allowOrigins" in the
// machine-wide and the user's bridge.json (AllowList.h), read again when they
// change and on SIGHUP; the service's own origins are always allowed. A file
// refused at start is an error (status 1). The web root holds the JavaScript
// client and the demo page.
#pragma once

#include <string>
#include <vector>

namespace bridge {

// Runs the service for the module at `modulePath`; the exit status. Usage
// errors print `usage` and give 64.
int serve(const std::string& modulePath, const std::vector<std::string>& args);

// The usage lines of the serve command, for the host's help text.
extern const char* const kServeUsage;

}  // namespace bridge
