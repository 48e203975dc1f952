#include "bridge/Serve.h"

#include <charconv>
#include <cstdio>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>
#include <utility>

#include "bridge/AllowList.h"
#include "bridge/Policy.h"
#include "bridge/Server.h"
#include "platform/HostSupport.h"
#include "platform/System.h"

namespace bridge {

const char* const kServeUsage =
    "  serve [--port N] [--allow-origin ORIGIN]... [--web-root DIR] [--allow-other-users]\n"
    "                           serve the control to browser pages on\n"
    "                           127.0.0.1 and [::1] (default port 24010; 0 picks\n"
    "                           a free one); pages of the allowed origins (and\n"
    "                           of the service itself, demo page at /demo/) may\n"
    "                           call it; more origins in \"allowOrigins\" of\n"
    "                           /etc/ivelcard/bridge.json (ivelcard allow-origin)\n"
    "                           and ~/.config/ivelcard/bridge.json, read again\n"
    "                           when they change and on SIGHUP. Only the user who\n"
    "                           runs it is served, unless --allow-other-users\n";

namespace {

constexpr int kUsageError = 64;
constexpr int kConfigError = 1;
constexpr unsigned short kDefaultPort = 24010;

// What serve has to say: the program's log when it keeps one (the Windows
// bridge has no console), else standard error.
AllowListFiles::Say sayer(const std::function<void(std::string_view)>& log) {
    return [log](const std::string& line) {
        const std::string text = "ivelcard serve: " + line;
        if (log) return log(text);
        std::fprintf(stderr, "%s\n", text.c_str());
    };
}

// A program with a log of its own (and no console) logs the message alone.
int usageError(const std::function<void(std::string_view)>& log, const std::string& message) {
    sayer(log)(message);
    if (!log) std::fprintf(stderr, "\nusage:\n%s", kServeUsage);
    return kUsageError;
}

// `path` with the home directory written as "~": the user's file as a
// refused page may be told it.
std::string shownPath(const std::string& path) {
    const auto home = platform::environmentVariable("HOME");
    if (home && !home->empty() && path.size() > home->size() && path.compare(0, home->size(), *home) == 0 &&
        path[home->size()] == '/') {
        return "~" + path.substr(home->size());
    }
    return "bridge.json in the user's configuration directory";
}

// Looks at the allow-list files once a second, and at once when asked (on
// SIGHUP), on a thread of its own; a changed list goes to the service as the
// origins given on the command line followed by the files' ones.
class AllowListWatch {
public:
    AllowListWatch(AllowListFiles& files, std::vector<std::string> given, AllowedOrigins& target,
                   AllowListFiles::Say say)
        : files_(files), given_(std::move(given)), target_(target), say_(std::move(say)) {
        publish();
        thread_ = std::thread([this] { run(); });
    }
    ~AllowListWatch() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_one();
        thread_.join();
    }
    AllowListWatch(const AllowListWatch&) = delete;
    AllowListWatch& operator=(const AllowListWatch&) = delete;

    void readNow() {
        {
            std::lock_guard lock(mutex_);
            forced_ = true;
        }
        wake_.notify_one();
    }

private:
    void publish() {
        std::vector<std::string> origins = given_;
        for (const std::string& origin : files_.origins()) origins.push_back(origin);
        target_.set(std::move(origins));
    }

    void run() {
        std::unique_lock lock(mutex_);
        while (!stopping_) {
            wake_.wait_for(lock, std::chrono::seconds(1), [this] { return stopping_ || forced_; });
            if (stopping_) break;
            const bool forced = std::exchange(forced_, false);
            lock.unlock();
            if (forced) say_("SIGHUP: reading the allow-list again");
            if (files_.refresh(forced)) publish();
            lock.lock();
        }
    }

    AllowListFiles& files_;
    const std::vector<std::string> given_;
    AllowedOrigins& target_;
    const AllowListFiles::Say say_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    bool forced_ = false;
    std::thread thread_;
};

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
    std::vector<std::string> given;
    options.port = kDefaultPort;
    options.module = module;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& option = args[i];
        if (option == "--help" || option == "-h") {
            std::fprintf(stdout, "usage: ivelcard [--module PATH] serve [OPTIONS]\n%s", kServeUsage);
            return 0;
        }
        if (option == "--allow-other-users") {
            options.allowOtherUsers = true;
            continue;
        }
        if (i + 1 >= args.size()) return usageError(options.log, "unknown or incomplete option '" + option + "'");
        const std::string& value = args[++i];
        if (option == "--port") {
            unsigned port = 0;
            const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), port);
            if (ec != std::errc() || end != value.data() + value.size() || port > 65535) {
                return usageError(options.log, "not a port: '" + value + "'");
            }
            options.port = static_cast<unsigned short>(port);
        } else if (option == "--allow-origin") {
            if (!OriginPolicy::normalise(value)) {
                return usageError(options.log,
                                  "not an origin: '" + value + "' (scheme://host[:port], no path, no wildcard)");
            }
            given.push_back(value);
        } else if (option == "--web-root") {
            options.webRoot = value;
        } else {
            return usageError(options.log, "unknown option '" + option + "'");
        }
    }
    const std::string userDirectory = platform::userConfigDirectory();
    const std::string machineFile = platform::machineConfigDirectory() + platform::kPathSeparator + "bridge.json";
    const std::string userFile = userDirectory.empty() ? "" : userDirectory + platform::kPathSeparator + "bridge.json";
    const AllowListFiles::Say say = sayer(options.log);
    AllowListFiles files({machineFile, userFile}, say);
    if (!files.load()) return kConfigError;
    for (const std::string& origin : given) {
        if (isInsecureRemoteOrigin(origin)) {
            say("warning: " + origin + " is a page over plain http: anyone on its way to the desk can alter it");
        }
    }
    AllowListWatch watch(files, given, *options.allowOrigins, say);
    options.onReload = [&watch] { watch.readNow(); };
    options.allowListPlaces = {machineFile, userFile.empty() ? std::string() : shownPath(userFile)};
    if (options.webRoot.empty()) options.webRoot = defaultWebRoot();
    options.virtualReader = IVELCARD_VIRTUAL_READER_EMBEDDED != 0;
    return runServer(options);
}

}  // namespace bridge
