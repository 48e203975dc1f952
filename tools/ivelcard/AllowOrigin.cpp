#include "tools/ivelcard/AllowOrigin.h"

#include <algorithm>
#include <cstdio>

#include "bridge/AllowList.h"
#include "bridge/Policy.h"
#include "platform/Access.h"
#include "platform/BrowserPolicies.h"
#include "platform/HostSupport.h"
#include "platform/System.h"
#include "tools/ivelcard/ExitStatus.h"

namespace host {

namespace {

// The policy that spares an allowed page the clerk's prompt for the local
// network, and the one that makes a page over plain http a secure context.
constexpr const char* kLocalNetworkPolicy = "LocalNetworkAccessAllowedForUrls";
constexpr const char* kInsecureOriginPolicy = "OverrideSecurityRestrictionsOnInsecureOrigin";

constexpr const char* kNeedsAdministrator =
    "; allow-origin changes what the whole machine allows and needs administrator rights (as root: sudo ivelcard "
    "allow-origin ..., on Windows: from an elevated prompt)";

int failed(const std::string& message, bool denied) {
    std::fprintf(stderr, "ivelcard: allow-origin: %s%s\n", message.c_str(), denied ? kNeedsAdministrator : "");
    return kExitFailed;
}

bool contains(const std::vector<std::string>& list, const std::string& entry) {
    return std::find(list.begin(), list.end(), entry) != list.end();
}

void erase(std::vector<std::string>& list, const std::string& entry) {
    list.erase(std::remove(list.begin(), list.end(), entry), list.end());
}

std::string normalised(const std::string& origin) {
    const auto normal = bridge::OriginPolicy::normalise(origin);
    return normal ? *normal : origin;
}

// Makes the machine-wide file allow `origins` (added or removed).
int updateAllowList(const AllowOriginRequest& request, const std::vector<std::string>& origins) {
    const std::string path = platform::machineConfigDirectory() + platform::kPathSeparator + "bridge.json";
    std::vector<std::string> listed;
    std::string error;
    if (const auto state = bridge::readAllowList(path, listed, error);
        state == bridge::FileState::Unsafe || state == bridge::FileState::Invalid) {
        return failed(error + "; mend or remove it first", false);
    }
    std::vector<std::string> updated;
    if (!request.all) {
        for (const std::string& origin : listed) {
            if (!(request.remove && contains(origins, normalised(origin)))) updated.push_back(origin);
        }
    }
    std::string said;
    for (const std::string& origin : origins) {
        const bool was = std::any_of(listed.begin(), listed.end(),
                                     [&origin](const std::string& entry) { return normalised(entry) == origin; });
        if (!request.remove && !was) updated.push_back(origin);
        const char* what = request.remove ? (was ? "no longer allowed:" : "was not allowed:")
                                          : (was ? "already allowed:" : "allowed");
        said += std::string("ivelcard: ") + what + " " + origin + "\n";
    }
    if (updated != listed || (!platform::fileExists(path) && !request.remove)) {
        bool denied = false;
        if (!platform::writeMachineFile(path, bridge::allowListText(updated), error, denied)) {
            return failed(error, denied);
        }
        said += "ivelcard: wrote " + path + " (" + std::to_string(updated.size()) + " allowed origin" +
                (updated.size() == 1 ? "" : "s") + ")\n";
    }
    std::fputs(said.c_str(), stderr);
    return kExitDone;
}

// Adds `origins` to this program's policy entries of every browser, or
// takes them (or, with --all, every entry) away.
int updateBrowserPolicies(const AllowOriginRequest& request, const std::vector<std::string>& origins) {
    for (const platform::ManagedBrowser& browser : platform::managedBrowsers()) {
        platform::PolicyLists lists;
        std::string error;
        if (!platform::readOwnPolicies(browser, lists, error)) return failed(error, false);
        const platform::PolicyLists before = lists;
        if (request.all) lists.clear();
        for (const std::string& origin : origins) {
            if (request.remove) {
                for (auto& [name, entries] : lists) erase(entries, origin);
                continue;
            }
            if (!contains(lists[kLocalNetworkPolicy], origin)) lists[kLocalNetworkPolicy].push_back(origin);
            if (bridge::isInsecureRemoteOrigin(origin) && !contains(lists[kInsecureOriginPolicy], origin)) {
                lists[kInsecureOriginPolicy].push_back(origin);
            }
        }
        std::erase_if(lists, [](const auto& list) { return list.second.empty(); });
        if (lists == before) continue;
        bool denied = false;
        if (!platform::writeOwnPolicies(browser, lists, error, denied)) return failed(error, denied);
        std::fprintf(stderr, "ivelcard: %s %s policies: %s\n", lists.empty() ? "removed the" : "wrote the",
                     browser.name.c_str(), browser.location.c_str());
    }
    return kExitDone;
}

}  // namespace

int allowOrigin(const AllowOriginRequest& request) {
    const char* usage = "usage: ivelcard allow-origin [--browser-policies] [--remove] ORIGIN...\n"
                        "       ivelcard allow-origin --remove --all\n";
    if (request.all && (!request.remove || !request.origins.empty())) {
        std::fprintf(stderr, "ivelcard: allow-origin: --all goes with --remove and no origin\n%s", usage);
        return kExitUsage;
    }
    if (!request.all && request.origins.empty()) {
        std::fprintf(stderr, "ivelcard: allow-origin: missing origin\n%s", usage);
        return kExitUsage;
    }
    std::vector<std::string> origins;
    for (const std::string& origin : request.origins) {
        const auto normal = bridge::OriginPolicy::normalise(origin);
        if (!normal) {
            std::fprintf(stderr,
                         "ivelcard: allow-origin: not an origin: '%s' (scheme://host[:port], no path, no wildcard)\n%s",
                         origin.c_str(), usage);
            return kExitUsage;
        }
        if (!contains(origins, *normal)) origins.push_back(*normal);
    }
    if (const int status = updateAllowList(request, origins); status != kExitDone) return status;
    // Removing takes away what this program wrote for the browsers too.
    if (!request.browserPolicies && !request.remove) return kExitDone;
    if (const int status = updateBrowserPolicies(request, origins); status != kExitDone) return status;
    if (!request.remove) {
        for (const std::string& origin : origins) {
            if (!bridge::isInsecureRemoteOrigin(origin)) continue;
            std::fprintf(stderr,
                         "ivelcard: warning: %s is a page over plain http; the browsers now treat it as secure, but "
                         "anyone on its way to the desk can alter it (serve it over https where you can)\n",
                         origin.c_str());
        }
    }
    return kExitDone;
}

}  // namespace host
