#include "BridgeFixture.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iterator>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace bridgetest {

using namespace std::chrono_literals;

namespace {

std::optional<std::string> variable(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == 0) return std::nullopt;
    return std::string(value);
}

std::string parentOf(const std::string& path) { return path.substr(0, path.find_last_of('/')); }

// The service's command line without its options; a first word without a
// '/' is looked up in PATH.
std::vector<std::string> serviceCommand() {
    const auto command = variable("IVELCARD_BRIDGE_COMMAND");
    if (!command) {
        return {testsupport::binDir() + "/ivelcard", "--module", testsupport::binDir() + "/libivelcard.so", "serve"};
    }
    std::istringstream words(*command);
    std::vector<std::string> argv{std::istream_iterator<std::string>(words), std::istream_iterator<std::string>()};
    if (!argv.empty() && argv[0].find('/') == std::string::npos) {
        std::istringstream path(variable("PATH").value_or(""));
        for (std::string directory; std::getline(path, directory, ':');) {
            if (!directory.empty() && ::access((directory + "/" + argv[0]).c_str(), X_OK) == 0) {
                argv[0] = directory + "/" + argv[0];
                break;
            }
        }
    }
    return argv;
}

}  // namespace

std::string said(const std::string& output) {
    std::istringstream lines(output);
    std::string kept;
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("ivelcard", 0) == 0) kept += line + "\n";
    }
    return kept;
}

Service::Service(const std::vector<std::string>& extraArgs, const std::map<std::string, std::string>& environment,
                 const std::string& logPath) {
    std::vector<std::string> argv = serviceCommand();
    argv.insert(argv.end(), {"--port", "0"});
    argv.insert(argv.end(), extraArgs.begin(), extraArgs.end());
    // A service started before in the same test wrote to the same log.
    const std::size_t logStart = testsupport::readFile(logPath).size();
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        const int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        ::dup2(log, 1);
        ::dup2(log, 2);
        for (const auto& [name, value] : environment) ::setenv(name.c_str(), value.c_str(), 1);
        std::vector<char*> args;
        for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    const std::regex serving(R"(serving on http://127\.0\.0\.1:(\d+)/)");
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (std::chrono::steady_clock::now() < deadline) {
        std::smatch match;
        const std::string log = testsupport::readFile(logPath).substr(logStart);
        if (std::regex_search(log, match, serving)) {
            port_ = static_cast<unsigned short>(std::stoi(match[1]));
            return;
        }
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            throw std::runtime_error("the service ended at start: " + log);
        }
        std::this_thread::sleep_for(20ms);
    }
    throw std::runtime_error("the service did not start");
}

void Service::signal(int number) const {
    if (pid_ < 0) return;
    // Another service hears SIGTERM and SIGINT as its stop command.
    if (const auto stop = variable("IVELCARD_BRIDGE_STOP")) {
        if ((number == SIGTERM || number == SIGINT) && std::system(stop->c_str()) != 0) {
            ADD_FAILURE() << "the stop command failed: " << *stop;
        }
        return;
    }
    ::kill(pid_, number);
}

int Service::terminate() {
    signal(SIGTERM);
    return wait();
}

int Service::wait() {
    if (pid_ < 0) return -1;
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

Service::~Service() {
    if (pid_ < 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
}

void Bridge::describeReader(const std::string& json) {
    // Written beside and renamed into place, so that the service never reads
    // a half-written description.
    testsupport::writeFile(scratch_ / "reader.json.new", json);
    std::rename((scratch_ / "reader.json.new").c_str(), (scratch_ / "reader.json").c_str());
    described_ = true;
}

bool Bridge::ownService() { return !variable("IVELCARD_BRIDGE_COMMAND"); }

std::string Bridge::userConfigFile() const {
    if (auto directory = variable("IVELCARD_BRIDGE_USER_CONFIG"); directory && !ownService()) {
        return *directory + "\\bridge.json";
    }
    return config_ / "ivelcard/bridge.json";
}

std::string Bridge::machineConfigFile() const {
    if (auto directory = variable("IVELCARD_BRIDGE_MACHINE_CONFIG"); directory && !ownService()) {
        return *directory + "\\bridge.json";
    }
    return system_ / "etc/ivelcard/bridge.json";
}

std::string Bridge::local(const std::string& named) const {
    // "C:\a\b" is $IVELCARD_BRIDGE_DRIVE_C/a/b.
    const auto drive = variable("IVELCARD_BRIDGE_DRIVE_C");
    if (!drive || named.size() < 3 || named.compare(0, 3, "C:\\") != 0) return named;
    std::string path = *drive + named.substr(2);
    std::replace(path.begin(), path.end(), '\\', '/');
    return path;
}

std::string Bridge::modulePath() const {
    if (auto module = variable("IVELCARD_BRIDGE_MODULE"); module && !ownService()) return *module;
    return testsupport::binDir() + "/libivelcard.so";
}

void Bridge::writeConfigFile(const std::string& named, const std::string& json) {
    const std::string path = local(named);
    std::filesystem::create_directories(parentOf(path));
    // Written beside and renamed into place: the service reads it once a
    // second and never sees it half written.
    testsupport::writeFile(path + ".new", json);
    std::rename((path + ".new").c_str(), path.c_str());
}

void Bridge::removeConfigs() const {
    if (ownService()) return;
    std::remove(local(userConfigFile()).c_str());
    std::remove(local(machineConfigFile()).c_str());
}

std::map<std::string, std::string> Bridge::environment() const {
    std::map<std::string, std::string> env = {{"XDG_RUNTIME_DIR", runtime_.path()},
                                              {"XDG_CONFIG_HOME", config_.path()},
                                              {"IVELCARD_VIRTUAL_READER_LOG", scratch_ / "calls.log"},
                                              {"IVELCARD_REGISTRY_DIR", config_.path()},
                                              {"IVELCARD_SYSTEM_ROOT", system_.path()}};
    if (described_) env["IVELCARD_VIRTUAL_READER"] = scratch_ / "reader.json";
    return env;
}

void Bridge::start(const std::vector<std::string>& extraArgs) {
    service_.emplace(extraArgs, environment(), scratch_ / "serve.log");
    // A service under another command line may look at the reader once as it
    // starts (the Windows bridge does, for its icon): those calls are not the
    // test's, so the call log starts after them.
    if (!ownService()) {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (std::chrono::steady_clock::now() < deadline) {
            const auto calls = callLog();
            if (!calls.empty() && calls.back().rfind("SDT_ClosePort", 0) == 0) break;
            std::this_thread::sleep_for(20ms);
        }
        testsupport::writeFile(scratch_ / "calls.log", "");
    }
}

testsupport::ProcessResult Bridge::failedStart(const std::vector<std::string>& args) const {
    std::vector<std::string> argv = serviceCommand();
    argv.insert(argv.end(), args.begin(), args.end());
    std::map<std::string, std::optional<std::string>> env;
    for (const auto& [name, value] : environment()) env[name] = value;
    return testsupport::runProcess(argv, env);
}

bool Bridge::logShows(const std::string& text) const {
    // A request's line is written once its answer has gone out.
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (serviceLog().find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

std::vector<std::string> Bridge::callLog() const {
    return testsupport::readLines(scratch_ / "calls.log");
}

testsupport::ProcessResult Bridge::host(const std::vector<std::string>& args) const {
    std::vector<std::string> argv = {testsupport::binDir() + "/ivelcard", "--module",
                                     testsupport::binDir() + "/libivelcard.so"};
    argv.insert(argv.end(), args.begin(), args.end());
    std::map<std::string, std::optional<std::string>> env;
    for (const auto& [name, value] : environment()) env[name] = value;
    env["IVELCARD_VIRTUAL_READER_LOG"] = scratch_ / "host-calls.log";
    env["IVELCARD_MODULE"] = std::nullopt;
    return testsupport::runProcess(argv, env);
}

std::vector<std::string> Bridge::hostDocuments(const std::vector<std::string>& members) const {
    std::vector<std::string> args = {"call"};
    args.insert(args.end(), members.begin(), members.end());
    return testsupport::splitDocuments(host(args).out);
}

Reply Bridge::request(http::verb method, const std::string& target, std::map<std::string, std::string> headers,
                      const std::string& body) {
    asio::io_context ioc;
    beast::tcp_stream stream(ioc);
    stream.expires_after(30s);
    stream.connect(tcp::endpoint(asio::ip::address_v4::loopback(), service_->port()));
    http::request<http::string_body> req(method, target, 11);
    headers.emplace("Host", service_->host());
    for (const auto& [name, value] : headers) req.set(name, value);
    req.body() = body;
    if (!body.empty() || method == http::verb::post) req.prepare_payload();
    http::write(stream, req);
    beast::flat_buffer buffer;
    http::response_parser<http::string_body> parser;
    parser.body_limit(16 * 1024 * 1024);
    http::read(stream, buffer, parser);
    Reply reply;
    reply.status = static_cast<int>(parser.get().result_int());
    for (const auto& field : parser.get()) {
        std::string name(field.name_string());
        for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        reply.headers[name] = std::string(field.value());
    }
    reply.body = parser.get().body();
    return reply;
}

std::string Bridge::raw(const std::string& bytes, std::chrono::milliseconds wait) {
    asio::io_context ioc;
    beast::tcp_stream stream(ioc);
    stream.expires_after(wait);
    stream.connect(tcp::endpoint(asio::ip::address_v4::loopback(), service_->port()));
    asio::write(stream.socket(), asio::buffer(bytes));
    std::string received;
    char chunk[4096];
    std::function<void()> readMore = [&] {
        stream.async_read_some(asio::buffer(chunk), [&](beast::error_code ec, std::size_t n) {
            received.append(chunk, n);
            if (!ec) readMore();
        });
    };
    readMore();
    ioc.run_for(wait);
    return received;
}

Events::Events(unsigned short port, const std::string& origin) {
    beast::get_lowest_layer(ws_).expires_after(10s);
    beast::get_lowest_layer(ws_).connect(tcp::endpoint(asio::ip::address_v4::loopback(), port));
    ws_.set_option(websocket::stream_base::decorator([origin](websocket::request_type& req) {
        if (!origin.empty()) req.set(http::field::origin, origin);
    }));
    ws_.handshake("127.0.0.1:" + std::to_string(port), "/v1/events");
    beast::get_lowest_layer(ws_).expires_never();
}

void Events::send(const std::string& text) {
    ws_.text(true);
    ws_.write(asio::buffer(text));
}

std::optional<std::string> Events::receive(std::chrono::milliseconds wait) {
    // A read that outlives its wait stays pending for the next call: a
    // cancelled read would end the WebSocket.
    if (!reading_) {
        reading_ = true;
        result_ = asio::error::would_block;
        ws_.async_read(buffer_, [this](beast::error_code ec, std::size_t) {
            result_ = ec;
            reading_ = false;
        });
    }
    ioc_.restart();
    ioc_.run_for(wait);
    if (reading_) return std::nullopt;
    if (result_) {
        closeCode = ws_.reason().code;
        return std::nullopt;
    }
    std::string text = beast::buffers_to_string(buffer_.data());
    buffer_.consume(buffer_.size());
    return text;
}

int handshakeStatus(unsigned short port, const std::string& origin) {
    asio::io_context ioc;
    beast::tcp_stream stream(ioc);
    stream.expires_after(10s);
    stream.connect(tcp::endpoint(asio::ip::address_v4::loopback(), port));
    http::request<http::empty_body> req(http::verb::get, "/v1/events", 11);
    req.set(http::field::host, "127.0.0.1:" + std::to_string(port));
    req.set(http::field::origin, origin);
    req.set(http::field::connection, "Upgrade");
    req.set(http::field::upgrade, "websocket");
    req.set(http::field::sec_websocket_version, "13");
    req.set(http::field::sec_websocket_key, "dGhlIHNhbXBsZSBub25jZQ==");
    http::write(stream, req);
    beast::flat_buffer buffer;
    http::response<http::string_body> response;
    http::read(stream, buffer, response);
    return static_cast<int>(response.result_int());
}

std::string sampleCardDescription() { return "{}"; }
std::string secondCardDescription() {
    return testsupport::readFile(std::string(IVELCARD_TEST_DATA_DIR) + "/carddata/second-reader.json");
}
std::string noCardDescription(int latencyMs) {
    return R"({"card": null, "latencyMs": )" + std::to_string(latencyMs) + "}";
}

}  // namespace bridgetest
