#include "platform/Registry.h"

#include <json/json.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "platform/System.h"

namespace platform {
namespace {

std::string storeDirectory() {
    if (auto dir = environmentVariable("IVELCARD_REGISTRY_DIR"); dir && !dir->empty()) return *dir;
    if (auto config = environmentVariable("XDG_CONFIG_HOME"); config && !config->empty()) {
        return *config + "/ivelcard";
    }
    return environmentVariable("HOME").value_or("") + "/.config/ivelcard";
}

std::string storePath() { return storeDirectory() + "/classes.json"; }

std::string folded(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : static_cast<char>(c); });
    return text;
}

bool startsWithFolded(const std::string& text, const std::string& prefix) {
    return folded(text).rfind(folded(prefix), 0) == 0;
}

bool denied(const std::string& key) {
    const std::string list = environmentVariable("IVELCARD_REGISTRY_DENY").value_or("");
    std::stringstream stream(list);
    for (std::string prefix; std::getline(stream, prefix, ';');) {
        if (!prefix.empty() && startsWithFolded(key, prefix)) return true;
    }
    return false;
}

// The store: key -> { value name -> value }. A missing store is empty; a
// store that cannot be read is null, so that no write replaces it and loses
// what others registered.
Json::Value load() {
    std::ifstream file(storePath(), std::ios::binary);
    Json::Value root(Json::objectValue);
    if (!file) return root;
    Json::CharReaderBuilder builder;
    std::string errors;
    if (!Json::parseFromStream(builder, file, &root, &errors) || !root.isObject()) return Json::Value();
    return root;
}

bool save(const Json::Value& root) {
    const std::string directory = storeDirectory();
    if (!makeSureDirectoryPathExists(directory + "/")) return false;
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "  ";
    builder["emitUTF8"] = true;
    const std::string text = Json::writeString(builder, root) + "\n";
    std::string temporary = storePath() + ".XXXXXX";
    const int fd = ::mkstemp(temporary.data());
    if (fd < 0) return false;
    const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    if (::close(fd) != 0 || !written || ::rename(temporary.c_str(), storePath().c_str()) != 0) {
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

// The stored spelling of `key` (names compare without case), or `key`.
std::string storedName(const Json::Value& root, const std::string& key) {
    const std::string wanted = folded(key);
    for (const std::string& name : root.getMemberNames()) {
        if (folded(name) == wanted) return name;
    }
    return key;
}

void createWithParents(Json::Value& root, const std::string& key) {
    for (std::size_t end = key.find('\\'); ; end = key.find('\\', end + 1)) {
        const std::string part = storedName(root, key.substr(0, end));
        if (!root.isMember(part)) root[part] = Json::Value(Json::objectValue);
        if (end == std::string::npos) break;
    }
}

}  // namespace

bool regSetValue(const std::string& key, const std::string& name, const std::string& value) {
    if (key.empty() || denied(key)) return false;
    Json::Value root = load();
    if (root.isNull()) return false;
    createWithParents(root, key);
    root[storedName(root, key)][name] = value;
    return save(root);
}

bool regCreateKey(const std::string& key) {
    if (key.empty() || denied(key)) return false;
    Json::Value root = load();
    if (root.isNull()) return false;
    createWithParents(root, key);
    return save(root);
}

std::optional<std::string> regQueryValue(const std::string& key, const std::string& name) {
    const Json::Value root = load();
    if (root.isNull()) return std::nullopt;
    const std::string stored = storedName(root, key);
    if (!root.isMember(stored) || !root[stored].isMember(name)) return std::nullopt;
    return root[stored][name].asString();
}

bool regKeyExists(const std::string& key) {
    const Json::Value root = load();
    if (root.isNull()) return false;
    return root.isMember(storedName(root, key));
}

bool regDeleteTree(const std::string& key) {
    if (key.empty() || denied(key)) return false;
    Json::Value root = load();
    if (root.isNull()) return false;
    bool changed = false;
    for (const std::string& name : root.getMemberNames()) {
        if (folded(name) == folded(key) || startsWithFolded(name, key + "\\")) {
            root.removeMember(name);
            changed = true;
        }
    }
    return !changed || save(root);
}

std::vector<std::string> regListKeys() {
    const Json::Value root = load();
    if (root.isNull()) return {};
    std::vector<std::string> keys = root.getMemberNames();
    std::sort(keys.begin(), keys.end());
    return keys;
}

}  // namespace platform
