#include "platform/BrowserPolicies.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include <json/json.h>

#include "platform/Access.h"
#include "platform/HostSupport.h"

namespace platform {
namespace {

struct PolicyFile {
    const char* name;
    const char* path;
    // The directory the walk that removes empty directories stops at.
    const char* keep;
};
constexpr PolicyFile kPolicyFiles[] = {
    {"Chromium", "/etc/chromium/policies/managed/ivelcard.json", "/etc"},
    {"Chrome", "/etc/opt/chrome/policies/managed/ivelcard.json", "/etc/opt"},
    {"Edge", "/etc/opt/edge/policies/managed/ivelcard.json", "/etc/opt"},
};

const PolicyFile* policyFile(const ManagedBrowser& browser) {
    for (const PolicyFile& file : kPolicyFiles) {
        if (browser.name == file.name) return &file;
    }
    return nullptr;
}

bool removeOwnFile(const PolicyFile& file, std::string& error, bool& denied) {
    const std::string path = systemPath(file.path);
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
        denied = errno == EACCES || errno == EPERM || errno == EROFS;
        error = "cannot remove " + path + ": " + std::strerror(errno);
        return false;
    }
    // rmdir takes only an empty directory: the first one holding anything
    // else ends the walk.
    const std::string keep = systemPath(file.keep);
    std::string directory = path.substr(0, path.rfind('/'));
    while (directory.size() > keep.size() && ::rmdir(directory.c_str()) == 0) {
        directory = directory.substr(0, directory.rfind('/'));
    }
    return true;
}

}  // namespace

std::vector<ManagedBrowser> managedBrowsers() {
    std::vector<ManagedBrowser> browsers;
    for (const PolicyFile& file : kPolicyFiles) browsers.push_back({file.name, systemPath(file.path)});
    return browsers;
}

bool readOwnPolicies(const ManagedBrowser& browser, PolicyLists& lists, std::string& error) {
    lists.clear();
    const PolicyFile* file = policyFile(browser);
    if (file == nullptr) {
        error = "no policies for " + browser.name;
        return false;
    }
    std::ifstream in(systemPath(file->path), std::ios::binary);
    if (!in) return true;
    std::ostringstream text;
    text << in.rdbuf();
    const std::string content = text.str();
    Json::CharReaderBuilder builder;
    Json::CharReaderBuilder::strictMode(&builder.settings_);
    builder["stackLimit"] = 8;
    Json::Value root;
    bool parsed = false;
    try {
        const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
        parsed = reader->parse(content.data(), content.data() + content.size(), &root, nullptr);
    } catch (const std::exception&) {
        parsed = false;
    }
    if (!parsed || !root.isObject()) {
        error = browser.location + " is not a JSON object; remove it or mend it by hand";
        return false;
    }
    for (const std::string& name : root.getMemberNames()) {
        const Json::Value& list = root[name];
        if (!list.isArray()) {
            error = browser.location + ": \"" + name + "\" is not a list; remove the file or mend it by hand";
            return false;
        }
        std::vector<std::string>& entries = lists[name];
        for (const Json::Value& entry : list) {
            if (entry.isString()) entries.push_back(entry.asString());
        }
    }
    return true;
}

bool writeOwnPolicies(const ManagedBrowser& browser, const PolicyLists& lists, std::string& error, bool& denied) {
    denied = false;
    const PolicyFile* file = policyFile(browser);
    if (file == nullptr) {
        error = "no policies for " + browser.name;
        return false;
    }
    Json::Value root(Json::objectValue);
    for (const auto& [name, entries] : lists) {
        if (entries.empty()) continue;
        Json::Value& list = root[name] = Json::Value(Json::arrayValue);
        for (const std::string& entry : entries) list.append(entry);
    }
    if (root.empty()) return removeOwnFile(*file, error, denied);
    Json::StreamWriterBuilder writer;
    writer["indentation"] = "  ";
    writer["emitUTF8"] = true;
    return writeMachineFile(systemPath(file->path), Json::writeString(writer, root) + "\n", error, denied);
}

}  // namespace platform
