// The managed policies of Chromium-based browsers that list page origins, as
// far as this program wrote them; everything else the administrator set
// stays as it is.
//
// POSIX: a file of our own, "ivelcard.json", in each browser's managed policy
// directory (Chromium /etc/chromium/policies/managed/, Chrome
// /etc/opt/chrome/..., Edge /etc/opt/edge/...); it is removed, with the
// directories that become empty, when no entry of ours is left.
// Windows: the list keys under HKLM\SOFTWARE\Policies\Google\Chrome and
// HKLM\SOFTWARE\Policies\Microsoft\Edge (values "1", "2", …): ours come after
// the existing entries and are remembered under
// HKLM\SOFTWARE\Ivelcard\BrowserPolicies, so that only they are taken away;
// a list left empty is removed.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace platform {

// Policy name → the origins it lists.
using PolicyLists = std::map<std::string, std::vector<std::string>>;

struct ManagedBrowser {
    std::string name;      // "Chromium", "Chrome", "Edge"
    std::string location;  // the file or the registry key, for messages
};

std::vector<ManagedBrowser> managedBrowsers();

// The entries this program wrote for `browser`.
bool readOwnPolicies(const ManagedBrowser& browser, PolicyLists& lists, std::string& error);

// Makes this program's entries for `browser` exactly `lists` (an empty list
// or an empty map: none of ours remain). False with `error` set on failure;
// `denied` tells that it failed for lack of rights.
bool writeOwnPolicies(const ManagedBrowser& browser, const PolicyLists& lists, std::string& error, bool& denied);

}  // namespace platform
