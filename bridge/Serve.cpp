#include "bridge/Serve.h"

#include <charconv>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

#include <json/json.h>

#include "bridge/Json.h"
#include "bridge/Policy.h"
#include "bridge/Server.h"
#include "platform/System.h"

namespace bridge {

const char* const kServeUsage =
    "  serve [--port N] [--allow-origin ORIGIN]... [--web-root DIR]\n"
    "                           serve the control to browser pages on\n"
    "                           127.0.0.1 and [::1] (default port 24010; 0 picks\n"
    "                           a free one); pages of the allowed origins (and\n"
    "                           of the service itself, demo page at /demo/) may\n"
    "                           call it; more origins in \"allowOrigins\" of\n"
    "                           $XDG_CONFIG_HOME/ivelcard/bridge.json\n";

namespace {

constexpr int kUsageError = 64;
constexpr int kConfigError = 1;
constexpr unsigned short kDefaultPort = 24010;

int usageError(const std::string& message) {
    std::fprintf(stderr, "ivelcard serve: %s\n\nusage:\n%s", message.c_str(), kServeUsage);
    return kUsageError;
}

std::string configDirectory() {
    if (auto xdg = platform::environmentVariable("XDG_CONFIG_HOME"); xdg && !xdg->empty()) return *xdg + "/ivelcard";
    if (auto home = platform::environmentVariable("HOME"); home && !home->empty()) return *home + "/.config/ivelcard";
    return {};
}

// Adds the origins of bridge.json; false (with the reason printed) when the
// file exists but is not a valid configuration.
bool readConfiguration(std::vector<std::string>& origins) {
    const std::string directory = configDirectory();
    if (directory.empty()) return true;
    const std::string path = directory + "/bridge.json";
    std::ifstream file(path, std::ios::binary);
    if (!file) return true;
    const std::string text{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    const auto parsed = parseJson(text);
    if (!parsed || !parsed->isObject()) {
        std::fprintf(stderr, "ivelcard serve: %s is not a JSON object\n", path.c_str());
        return false;
    }
    const Json::Value& config = *parsed;
    const Json::Value& list = config["allowOrigins"];
    if (list.isNull()) return true;
    if (!list.isArray()) {
        std::fprintf(stderr, "ivelcard serve: \"allowOrigins\" in %s is not a list\n", path.c_str());
        return false;
    }
    for (const Json::Value& origin : list) {
        if (!origin.isString() || !OriginPolicy::normalise(origin.asString())) {
            std::fprintf(stderr, "ivelcard serve: %s: not an origin: %s\n", path.c_str(),
                         origin.isString() ? origin.asString().c_str() : "(not a string)");
            return false;
        }
        origins.push_back(origin.asString());
    }
    return true;
}

std::string defaultWebRoot() {
    namespace fs = std::filesystem;
    const fs::path program = platform::executablePath();
    std::error_code ec;
    for (const fs::path& candidate : {program.parent_path() / "web", program.parent_path() / "../share/ivelcard/web"}) {
        if (fs::is_regular_file(candidate / "ivelcard.js", ec)) return fs::weakly_canonical(candidate, ec).string();
    }
    return IVELCARD_SOURCE_WEB_DIR;
}

}  // namespace

int serve(const host::ModuleChoice& module, const std::vector<std::string>& args, ServerOptions options) {
    std::vector<std::string> origins;
    options.port = kDefaultPort;
    options.module = module;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& option = args[i];
        if (option == "--help" || option == "-h") {
            std::fprintf(stdout, "usage: ivelcard [--module PATH] serve [OPTIONS]\n%s", kServeUsage);
            return 0;
        }
        if (i + 1 >= args.size()) return usageError("unknown or incomplete option '" + option + "'");
        const std::string& value = args[++i];
        if (option == "--port") {
            unsigned port = 0;
            const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), port);
            if (ec != std::errc() || end != value.data() + value.size() || port > 65535) {
                return usageError("not a port: '" + value + "'");
            }
            options.port = static_cast<unsigned short>(port);
        } else if (option == "--allow-origin") {
            if (!OriginPolicy::normalise(value)) {
                return usageError("not an origin: '" + value + "' (scheme://host[:port], no path, no wildcard)");
            }
            origins.push_back(value);
        } else if (option == "--web-root") {
            options.webRoot = value;
        } else {
            return usageError("unknown option '" + option + "'");
        }
    }
    if (!readConfiguration(origins)) return kConfigError;
    options.allowOrigins->set(std::move(origins));
    if (options.webRoot.empty()) options.webRoot = defaultWebRoot();
    options.virtualReader = IVELCARD_VIRTUAL_READER_EMBEDDED != 0;
    return runServer(options);
}

}  // namespace bridge
