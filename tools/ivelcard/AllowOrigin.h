// `ivelcard allow-origin`: pages an administrator allows on the whole
// machine, and the browsers' managed policies that let them reach the bridge.
//
//   allow-origin [--browser-policies] ORIGIN...   add to the machine-wide
//       bridge.json; with --browser-policies also list each origin in the
//       managed policy LocalNetworkAccessAllowedForUrls of Chromium, Chrome
//       and Edge (an http origin other than loopback also in
//       OverrideSecurityRestrictionsOnInsecureOrigin, with a warning)
//   allow-origin --remove ORIGIN...   take them away again, from the file and
//       from every policy entry this program wrote
//   allow-origin --remove --all       take away every origin of the file and
//       every policy entry this program wrote (for uninstallers)
//
// Needs root (an administrator on Windows); says so otherwise.
#pragma once

#include <string>
#include <vector>

namespace host {

struct AllowOriginRequest {
    bool browserPolicies = false;
    bool remove = false;
    bool all = false;
    std::vector<std::string> origins;
};

// Does what `request` asks, saying on standard error what it did; the exit
// status (kExitUsage after a message for a request that makes no sense).
int allowOrigin(const AllowOriginRequest& request);

}  // namespace host
