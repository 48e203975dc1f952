#include "bridge/AllowList.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include <json/json.h>

#include "bridge/Json.h"
#include "bridge/Policy.h"
#include "platform/Access.h"

namespace bridge {

namespace {

constexpr const char* kAllowOriginsKey = "allowOrigins";

// The file of a UTF-8 name (on Windows too; POSIX takes the bytes as they are).
std::filesystem::path fileNamed(const std::string& path) {
    return std::filesystem::path(std::u8string(reinterpret_cast<const char8_t*>(path.data()), path.size()));
}

// Files up to this size are compared by their bytes as well.
constexpr std::uintmax_t kComparedBytes = 64 * 1024;

// Size, time, permissions and the bytes themselves: what changes when the
// file is written, replaced or opened to others. The bytes count because a
// file's time may have one-second steps (Windows' C runtime gives no finer),
// and an edit of the same size within that second would otherwise be
// missed. Nothing when the file is missing.
std::optional<std::string> signatureOf(const std::string& path) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path file = fileNamed(path);
    const fs::file_status status = fs::status(file, ec);
    if (ec || !fs::exists(status)) return std::nullopt;
    const auto size = fs::file_size(file, ec);
    const auto time = fs::last_write_time(file, ec).time_since_epoch().count();
    std::string signature = std::to_string(size) + "/" + std::to_string(time) + "/" +
                            std::to_string(static_cast<unsigned>(status.permissions())) + "/";
    if (!ec && size <= kComparedBytes) {
        std::ifstream in(file, std::ios::binary);
        signature.append(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    return signature;
}

}  // namespace

std::optional<std::vector<std::string>> parseAllowList(std::string_view text, const std::string& path,
                                                       std::string& error) {
    const auto root = parseJson(text);
    if (!root || !root->isObject()) {
        error = path + " is not a JSON object";
        return std::nullopt;
    }
    for (const std::string& key : root->getMemberNames()) {
        if (key != kAllowOriginsKey) {
            error = path + ": unknown key \"" + key + "\"; the only key is \"" + kAllowOriginsKey + "\"";
            return std::nullopt;
        }
    }
    std::vector<std::string> origins;
    const Json::Value& list = (*root)[kAllowOriginsKey];
    if (list.isNull()) return origins;
    if (!list.isArray()) {
        error = path + ": \"" + kAllowOriginsKey + "\" is not a list";
        return std::nullopt;
    }
    for (const Json::Value& origin : list) {
        if (!origin.isString() || !OriginPolicy::normalise(origin.asString())) {
            error = path + ": not an origin (scheme://host[:port], no path, no wildcard): " +
                    (origin.isString() ? origin.asString() : std::string("(not a text)"));
            return std::nullopt;
        }
        origins.push_back(origin.asString());
    }
    return origins;
}

std::string allowListText(const std::vector<std::string>& origins) {
    Json::Value root(Json::objectValue);
    Json::Value& list = root[kAllowOriginsKey] = Json::Value(Json::arrayValue);
    for (const std::string& origin : origins) list.append(origin);
    Json::StreamWriterBuilder writer;
    writer["indentation"] = "  ";
    writer["emitUTF8"] = true;
    return Json::writeString(writer, root) + "\n";
}

FileState readAllowList(const std::string& path, std::vector<std::string>& origins, std::string& error) {
    origins.clear();
    std::ifstream in(fileNamed(path), std::ios::binary);
    if (!in) return FileState::Missing;
    if (const std::string why = platform::othersMayChange(path); !why.empty()) {
        error = path + " is not used: it " + why + "; only its owner and the administrators may change it";
        return FileState::Unsafe;
    }
    std::ostringstream text;
    text << in.rdbuf();
    auto parsed = parseAllowList(text.str(), path, error);
    if (!parsed) return FileState::Invalid;
    origins = std::move(*parsed);
    return FileState::Read;
}

bool isInsecureRemoteOrigin(std::string_view origin) {
    const auto normal = OriginPolicy::normalise(origin);
    if (!normal || normal->rfind("http://", 0) != 0) return false;
    std::string host = normal->substr(7);
    if (host.front() == '[') return host.rfind("[::1]", 0) != 0;
    host = host.substr(0, host.find(':'));
    const auto endsWith = [&host](std::string_view tail) {
        return host.size() >= tail.size() && host.compare(host.size() - tail.size(), tail.size(), tail) == 0;
    };
    const bool loopback = host == "localhost" || endsWith(".localhost") ||
                          (host.rfind("127.", 0) == 0 && std::all_of(host.begin(), host.end(), [](char c) {
                               return (c >= '0' && c <= '9') || c == '.';
                           }));
    return !loopback;
}

AllowListFiles::AllowListFiles(std::vector<std::string> paths, Say say) : paths_(std::move(paths)), say_(std::move(say)) {
    for (const std::string& path : paths_) {
        if (!path.empty()) files_.push_back({path, std::nullopt, {}});
    }
}

bool AllowListFiles::read(File& file, bool atStart) {
    file.signature = signatureOf(file.path);
    std::vector<std::string> origins;
    std::string error;
    const FileState state = readAllowList(file.path, origins, error);
    switch (state) {
    case FileState::Unsafe:
    case FileState::Invalid:
        say_(atStart ? error : error + "; its last good list stays in force");
        return atStart && state == FileState::Unsafe;
    case FileState::Missing:
    case FileState::Read:
        for (const std::string& origin : origins) {
            if (isInsecureRemoteOrigin(origin) &&
                std::find(file.origins.begin(), file.origins.end(), origin) == file.origins.end()) {
                say_("warning: " + origin + " (in " + file.path +
                     ") is a page over plain http: anyone on its way to the desk can alter it");
            }
        }
        file.origins = std::move(origins);
        return true;
    }
    return false;
}

bool AllowListFiles::load() {
    bool good = true;
    for (File& file : files_) good = read(file, true) && good;
    return good;
}

bool AllowListFiles::refresh(bool force) {
    const std::vector<std::string> before = origins();
    for (File& file : files_) {
        if (!force && signatureOf(file.path) == file.signature) continue;
        if (read(file, false)) say_("read " + file.path + " again");
    }
    return origins() != before;
}

std::vector<std::string> AllowListFiles::origins() const {
    std::vector<std::string> all;
    for (const File& file : files_) {
        for (const std::string& origin : file.origins) {
            if (std::find(all.begin(), all.end(), origin) == all.end()) all.push_back(origin);
        }
    }
    return all;
}

}  // namespace bridge
