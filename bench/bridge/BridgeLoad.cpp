// bridge_load: a load tool for `ivelcard serve` (not a test). Starts the
// service on a free port with the virtual reader, then measures
//   - getStatus over keep-alive HTTP with 1, 8 and 32 clients: requests per
//     second, p50 and p99 latency;
//   - readCert alone, then with 32 concurrent clients (every call must
//     succeed; the reader serialises them, so p99 is about 32 reads);
//   - the service's resident memory after start and its peak at the end;
//   - what auto-read costs: the service's CPU time per minute of a watch
//     with no card and with a card left on the reader, and a page's
//     getStatus latency while a card stays on a reader that takes 250 ms
//     per reader call; the time from a card put on to its event.
//
//   bridge_load [--seconds N] [--watch-seconds N] [--ivelcard PATH] [--module PATH]
//
// $IVELCARD_BRIDGE_COMMAND replaces `ivelcard --module PATH serve` by another
// service command line (words separated by spaces), for instance the Windows
// bridge under Wine; $IVELCARD_BRIDGE_STOP then stops it instead of SIGTERM.
// The auto-read costs are measured on the service this program starts itself
// only (they read the service's CPU time from /proc).
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

// The CPU time (user and system) a process used so far, in seconds.
double cpuSeconds(int pid) {
    const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    // The fields after the command name: state is the 3rd, utime the 14th,
    // stime the 15th.
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i >= 14) ticks += std::strtod(field.c_str(), nullptr);
    }
    return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// VmRSS or VmHWM of a process, in KiB.
long memoryKiB(int pid, const char* key) {
    std::istringstream status(readFile("/proc/" + std::to_string(pid) + "/status"));
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(key, 0) == 0) return std::strtol(line.c_str() + std::strlen(key) + 1, nullptr, 10);
    }
    return -1;
}

struct Service {
    int pid = -1;
    unsigned short port = 0;
};

Service start(const std::string& ivelcard, const std::string& module, const std::string& scratch) {
    const std::string log = scratch + "/serve.log";
    Service service;
    service.pid = ::fork();
    if (service.pid == 0) {
        const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(fd, 2);
        ::dup2(fd, 1);
        ::setenv("XDG_RUNTIME_DIR", scratch.c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", scratch.c_str(), 1);
        const std::string reader = scratch + "/reader.json";
        ::setenv("IVELCARD_VIRTUAL_READER", reader.c_str(), 1);
        ::unsetenv("IVELCARD_VIRTUAL_READER_LOG");
        std::vector<std::string> words = {ivelcard, "--module", module, "serve"};
        if (const char* command = std::getenv("IVELCARD_BRIDGE_COMMAND"); command != nullptr && *command != 0) {
            std::istringstream text(command);
            words.assign(std::istream_iterator<std::string>(text), std::istream_iterator<std::string>());
        }
        words.insert(words.end(), {"--port", "0"});
        std::vector<char*> args;
        for (std::string& word : words) args.push_back(word.data());
        args.push_back(nullptr);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    const std::regex serving(R"(serving on http://127\.0\.0\.1:(\d+)/)");
    for (int i = 0; i < 500; ++i) {
        std::smatch match;
        const std::string text = readFile(log);
        if (std::regex_search(text, match, serving)) {
            service.port = static_cast<unsigned short>(std::stoi(match[1]));
            return service;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::fprintf(stderr, "bridge_load: the service did not start:\n%s", readFile(log).c_str());
    std::exit(1);
}

// One keep-alive client.
class Client {
public:
    explicit Client(unsigned short port) : stream_(ioc_) {
        stream_.connect(tcp::endpoint(asio::ip::address_v4::loopback(), port));
        stream_.socket().set_option(tcp::no_delay(true));
        host_ = "127.0.0.1:" + std::to_string(port);
    }
    // POSTs to `target`; the body, or an empty string unless the status is 200.
    std::string post(const std::string& target) {
        http::request<http::string_body> request(http::verb::post, target, 11);
        request.set(http::field::host, host_);
        request.set(http::field::content_type, "application/json");
        request.keep_alive(true);
        request.prepare_payload();
        http::write(stream_, request);
        http::response_parser<http::string_body> parser;
        parser.body_limit(1 << 24);
        http::read(stream_, buffer_, parser);
        return parser.get().result() == http::status::ok ? parser.get().body() : std::string();
    }

private:
    asio::io_context ioc_;
    beast::tcp_stream stream_;
    beast::flat_buffer buffer_;
    std::string host_;
};

double percentile(std::vector<double>& values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const std::size_t index = std::min(values.size() - 1, static_cast<std::size_t>(p * static_cast<double>(values.size())));
    return values[index];
}

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

void getStatusLoad(unsigned short port, int clients, double seconds) {
    std::vector<std::vector<double>> latencies(static_cast<std::size_t>(clients));
    std::atomic<long> failures{0};
    std::vector<std::thread> threads;
    const auto begin = Clock::now();
    const auto end = begin + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&, c] {
            Client client(port);
            auto& mine = latencies[static_cast<std::size_t>(c)];
            while (Clock::now() < end) {
                const auto t = Clock::now();
                if (client.post("/v1/call/getStatus").empty()) ++failures;
                mine.push_back(msSince(t));
            }
        });
    }
    for (auto& thread : threads) thread.join();
    const double elapsed = msSince(begin) / 1000.0;
    std::vector<double> all;
    for (auto& mine : latencies) all.insert(all.end(), mine.begin(), mine.end());
    std::printf("getStatus  %2d clients  %8.0f req/s  p50 %6.3f ms  p99 %6.3f ms  (%zu calls, %ld failed)\n", clients,
                static_cast<double>(all.size()) / elapsed, percentile(all, 0.50), percentile(all, 0.99), all.size(),
                failures.load());
}

double readCertAlone(unsigned short port) {
    Client client(port);
    std::vector<double> latencies;
    for (int i = 0; i < 20; ++i) {
        const auto t = Clock::now();
        client.post("/v1/call/readCert");
        latencies.push_back(msSince(t));
    }
    const double p50 = percentile(latencies, 0.5);
    std::printf("readCert    1 client   p50 %7.2f ms  (20 calls)\n", p50);
    return p50;
}

void readCertLoad(unsigned short port, int clients, int rounds, double one) {
    std::vector<std::vector<double>> latencies(static_cast<std::size_t>(clients));
    std::atomic<long> failures{0};
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&, c] {
            Client client(port);
            ++ready;
            while (ready.load() < clients) std::this_thread::yield();
            for (int r = 0; r < rounds; ++r) {
                const auto t = Clock::now();
                const std::string body = client.post("/v1/call/readCert");
                if (body.find("\"resultFlag\" : 0") == std::string::npos) ++failures;
                latencies[static_cast<std::size_t>(c)].push_back(msSince(t));
            }
        });
    }
    for (auto& thread : threads) thread.join();
    std::vector<double> all;
    for (auto& mine : latencies) all.insert(all.end(), mine.begin(), mine.end());
    const double p99 = percentile(all, 0.99);
    std::printf("readCert   %2d clients  p50 %7.2f ms  p99 %7.2f ms = %.1f reads  (%zu calls, %ld failed)\n", clients,
                percentile(all, 0.50), p99, p99 / one, all.size(), failures.load());
}

// The virtual reader's description, replaced whole while the service runs.
void describeReader(const std::string& scratch, const std::string& json) {
    std::ofstream(scratch + "/reader.json.new") << json;
    std::filesystem::rename(scratch + "/reader.json.new", scratch + "/reader.json");
}

// A page watching for cards (auto-read) over the WebSocket.
class Watch {
public:
    explicit Watch(unsigned short port) : ws_(ioc_) {
        beast::get_lowest_layer(ws_).connect(tcp::endpoint(asio::ip::address_v4::loopback(), port));
        ws_.handshake("127.0.0.1:" + std::to_string(port), "/v1/events");
        ws_.write(asio::buffer(std::string(R"({"id":1,"watch":true,"intervalMs":500})")));
        // The events are read on a thread of their own; the card events
        // and removals are counted.
        reader_ = std::thread([this] {
            beast::flat_buffer buffer;
            beast::error_code ec;
            while (!ec) {
                ws_.read(buffer, ec);
                const std::string text = beast::buffers_to_string(buffer.data());
                buffer.consume(buffer.size());
                if (text.find(R"("event":"card")") != std::string::npos) ++cards;
                if (text.find(R"("event":"removed")") != std::string::npos) ++removals;
            }
        });
    }
    std::atomic<int> cards{0};
    std::atomic<int> removals{0};
    ~Watch() {
        beast::error_code ignored;
        beast::get_lowest_layer(ws_).socket().shutdown(tcp::socket::shutdown_both, ignored);
        reader_.join();
    }
    Watch(const Watch&) = delete;
    Watch& operator=(const Watch&) = delete;

private:
    asio::io_context ioc_;
    websocket::stream<beast::tcp_stream> ws_;
    std::thread reader_;
};

void watchCost(const Service& service, const std::string& scratch, double seconds) {
    const std::pair<const char*, const char*> cases[] = {{"no card", R"({"card": null})"},
                                                         {"card left on", "{}"}};
    for (const auto& [name, description] : cases) {
        describeReader(scratch, description);
        Watch watch(service.port);
        std::this_thread::sleep_for(std::chrono::seconds(1));  // the first card is read
        const double before = cpuSeconds(service.pid);
        const auto begin = Clock::now();
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        const double used = cpuSeconds(service.pid) - before;
        std::printf("watch, %-13s CPU %6.2f s per minute (500 ms interval)\n", name,
                    used * 60.0 / (msSince(begin) / 1000.0));
    }
    describeReader(scratch, R"({"latencyMs": 250})");
    Watch watch(service.port);
    Client page(service.port);
    page.post("/v1/call/connect");
    std::vector<double> latencies;
    const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    for (int i = 0; Clock::now() < end; ++i) {
        const auto t = Clock::now();
        page.post("/v1/call/getStatus");
        latencies.push_back(msSince(t));
        // Pauses of varying length meet the watch's reads at every phase.
        std::this_thread::sleep_for(std::chrono::milliseconds(100 + 137 * (i % 7)));
    }
    const std::size_t calls = latencies.size();
    std::printf("getStatus while a card stays, 250 ms per reader call: p50 %6.0f ms  p90 %6.0f ms  (%zu calls)\n",
                percentile(latencies, 0.5), percentile(latencies, 0.9), calls);
}

// Card put on -> card event, at varying phases of the 500 ms interval.
void cardEventLatency(const Service& service, const std::string& scratch) {
    describeReader(scratch, R"({"card": null})");
    Watch watch(service.port);
    std::vector<double> latencies;
    for (int i = 0; i < 8; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(300 + 61 * i));
        const int seen = watch.cards.load();
        const auto t = Clock::now();
        describeReader(scratch, "{}");
        while (watch.cards.load() == seen && msSince(t) < 5000) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        latencies.push_back(msSince(t));
        const int removed = watch.removals.load();
        describeReader(scratch, R"({"card": null})");
        while (watch.removals.load() == removed && msSince(t) < 10000) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    std::printf("card put on -> event (500 ms interval): p50 %6.0f ms  max %6.0f ms  (%zu cards)\n",
                percentile(latencies, 0.5), percentile(latencies, 1.0), latencies.size());
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 3;
    double watchSeconds = 10;
    std::string ivelcard = IVELCARD_PROGRAM;
    std::string module = IVELCARD_MODULE_PATH;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--seconds") seconds = std::atof(argv[i + 1]);
        else if (option == "--watch-seconds") watchSeconds = std::atof(argv[i + 1]);
        else if (option == "--ivelcard") ivelcard = argv[i + 1];
        else if (option == "--module") module = argv[i + 1];
    }
    char scratchTemplate[] = "/tmp/bridge-load-XXXXXX";
    const std::string scratch = ::mkdtemp(scratchTemplate);
    describeReader(scratch, "{}");
    const Service service = start(ivelcard, module, scratch);
    std::printf("ivelcard serve on port %u, pid %d\n", service.port, service.pid);
    std::printf("RSS after start     %6.1f MiB\n", static_cast<double>(memoryKiB(service.pid, "VmRSS")) / 1024.0);
    {
        Client setup(service.port);
        setup.post("/v1/call/connect");
    }
    for (const int clients : {1, 8, 32}) getStatusLoad(service.port, clients, seconds);
    const double one = readCertAlone(service.port);
    readCertLoad(service.port, 32, 3, one);
    std::printf("RSS at the end      %6.1f MiB, peak %6.1f MiB\n",
                static_cast<double>(memoryKiB(service.pid, "VmRSS")) / 1024.0,
                static_cast<double>(memoryKiB(service.pid, "VmHWM")) / 1024.0);
    const char* stop = std::getenv("IVELCARD_BRIDGE_STOP");
    const char* command = std::getenv("IVELCARD_BRIDGE_COMMAND");
    if (command == nullptr || *command == 0) {
        watchCost(service, scratch, watchSeconds);
        cardEventLatency(service, scratch);
    }
    if (stop != nullptr && *stop != 0) {
        if (std::system(stop) != 0) std::fprintf(stderr, "bridge_load: the stop command failed\n");
    } else {
        ::kill(service.pid, SIGTERM);
    }
    int status = 0;
    ::waitpid(service.pid, &status, 0);
    std::filesystem::remove_all(scratch);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
}
