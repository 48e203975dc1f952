// `ivelcard serve` over real sockets: the documents travel unchanged, the
// Host and Origin policy keeps foreign pages away from the control, the
// limits hold against hostile clients, and SIGTERM finishes the call in
// progress.
#include <gmock/gmock.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <future>
#include <sstream>
#include <thread>

#include <json/json.h>

#include "BridgeFixture.h"

namespace bridgetest {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

constexpr const char* kJson = "application/json; charset=utf-8";

std::string refusal(const std::string& error) { return "{\"error\":\"" + error + "\","; }

// `text` as a JSON string's content (paths of Windows hold backslashes).
std::string jsonText(std::string text) {
    for (std::size_t at = 0; (at = text.find('\\', at)) != std::string::npos; at += 2) text.insert(at, 1, '\\');
    return text;
}

TEST_F(Bridge, CallsAnswerExactlyWhatTheCommandLineHostPrints) {
    start();
    const auto expected = hostDocuments({"getStatus", "connect", "getSAMID", "readCert", "disconnect", "readCert"});
    ASSERT_EQ(expected.size(), 6u);
    const std::vector<std::string> members = {"getStatus", "connect", "getSAMID", "readCert", "disconnect", "readCert"};
    for (std::size_t i = 0; i < members.size(); ++i) {
        const Reply reply = post("/v1/call/" + members[i]);
        EXPECT_EQ(reply.status, 200) << members[i];
        EXPECT_EQ(reply.header("content-type"), kJson);
        EXPECT_EQ(reply.body, expected[i]) << members[i];
    }
    // /v1/read connects when no session is open; the readCert document.
    const Reply read = post("/v1/read");
    EXPECT_EQ(read.status, 200);
    EXPECT_EQ(read.body, hostDocuments({"connect", "readCert"}).at(1));
    EXPECT_THAT(read.body, HasSubstr("赵明远"));
    // Card data never reaches the log; the request lines do.
    const std::string log = serviceLog();
    EXPECT_THAT(log, Not(HasSubstr("赵明远")));
    EXPECT_THAT(log, Not(HasSubstr("110108198806151237")));
    EXPECT_THAT(log, HasSubstr("POST /v1/call/readCert - 200 "));
    EXPECT_THAT(log, HasSubstr("POST /v1/read - 200 "));
}

TEST_F(Bridge, InfoNamesTheModuleAndTheAllowedOrigins) {
    writeConfig(R"({"allowOrigins": ["https://Desk.Example.org:443"]})");
    start({"--allow-origin", "http://localhost:9000"});
    const Reply info = request(http::verb::get, "/v1/info");
    EXPECT_EQ(info.status, 200);
    const std::string port = std::to_string(service_->port());
    EXPECT_EQ(info.body, "{\"allowOrigins\":[\"http://127.0.0.1:" + port + "\",\"http://localhost:" + port +
                             "\",\"http://[::1]:" + port +
                             "\",\"http://localhost:9000\",\"https://desk.example.org\"],\"module\":\"" +
                             jsonText(modulePath()) + "\",\"progId\":\"IVELCARD.QVCtrl.1\",\"service\":\"ivelcard-bridge\","
                             "\"version\":\"2.0.2.2\",\"virtualReader\":true}");
    // The module's path (it may hold a home directory) only for the
    // service's own pages and programs without Origin.
    EXPECT_THAT(request(http::verb::get, "/v1/info", {{"Origin", service_->origin()}}).body, HasSubstr("\"module\":"));
    const Reply foreign = request(http::verb::get, "/v1/info", {{"Origin", "https://desk.example.org"}});
    EXPECT_EQ(foreign.status, 200);
    EXPECT_THAT(foreign.body, Not(HasSubstr("\"module\":")));
    EXPECT_THAT(foreign.body, HasSubstr("\"progId\":"));
    // The stand-in reader is said once at start, before the address.
    EXPECT_THAT(serviceLog(), HasSubstr("ivelcard: virtual reader: reads a sample card, not a real reader\n"
                                        "ivelcard: serving on "));
}

TEST_F(Bridge, ForeignHostNamesAreRefusedBeforeAnyCall) {
    start();
    const std::string port = std::to_string(service_->port());
    for (const std::string& host : std::vector<std::string>{"evil.example:" + port, "127.0.0.1", "127.0.0.1:1", "localhost.evil:" + port,
                                   "0.0.0.0:" + port, ""}) {
        const Reply reply = post("/v1/call/connect", {{"Host", host}});
        EXPECT_EQ(reply.status, 421) << host;
        EXPECT_THAT(reply.body, StartsWith(refusal("bad-host"))) << host;
    }
    EXPECT_TRUE(callLog().empty());
    for (const std::string& host : std::vector<std::string>{"localhost:" + port, "LOCALHOST:" + port, "[::1]:" + port}) {
        EXPECT_EQ(post("/v1/call/getStatus", {{"Host", host}}).status, 200) << host;
    }
}

TEST_F(Bridge, ForeignOriginsAreRefusedAndAllowedOnesGetCors) {
    writeConfig(R"({"allowOrigins": ["https://desk.example.org"]})");
    start({"--allow-origin", "http://localhost:9000"});
    for (const std::string& origin : std::vector<std::string>{"http://evil.example", "null", "http://localhost:9001", "https://localhost:9000",
                                     "https://desk.example.org.evil.example", "http://desk.example.org"}) {
        const Reply reply = post("/v1/call/readCert", {{"Origin", origin}});
        EXPECT_EQ(reply.status, 403) << origin;
        EXPECT_THAT(reply.body, StartsWith(refusal("origin-not-allowed")));
        EXPECT_EQ(reply.header("access-control-allow-origin"), "") << origin;
        // Nor may such a page ask for a preflight.
        EXPECT_EQ(request(http::verb::options, "/v1/call/readCert",
                          {{"Origin", origin}, {"Access-Control-Request-Method", "POST"}})
                      .status,
                  403);
    }
    EXPECT_TRUE(callLog().empty());

    for (const std::string& origin : std::vector<std::string>{"http://localhost:9000", "https://desk.example.org", service_->origin()}) {
        const Reply preflight = request(http::verb::options, "/v1/call/readCert",
                                        {{"Origin", origin}, {"Access-Control-Request-Method", "POST"},
                                         {"Access-Control-Request-Headers", "content-type"}});
        EXPECT_EQ(preflight.status, 204) << origin;
        EXPECT_EQ(preflight.header("access-control-allow-origin"), origin);
        EXPECT_EQ(preflight.header("access-control-allow-methods"), "POST");
        EXPECT_EQ(preflight.header("access-control-allow-headers"), "Content-Type");
        EXPECT_EQ(preflight.header("access-control-allow-credentials"), "");
        const Reply reply = post("/v1/call/getStatus", {{"Origin", origin}});
        EXPECT_EQ(reply.status, 200);
        EXPECT_EQ(reply.header("access-control-allow-origin"), origin);
        EXPECT_EQ(reply.header("vary"), "Origin");
    }
    // A local program sends no Origin: served, without CORS headers.
    const Reply local = post("/v1/call/getStatus");
    EXPECT_EQ(local.status, 200);
    EXPECT_EQ(local.header("access-control-allow-origin"), "");
}

TEST_F(Bridge, CallsNeedPostAndAJsonBody) {
    start();
    EXPECT_EQ(request(http::verb::post, "/v1/call/readCert", {{"Content-Type", "text/plain"}}).status, 415);
    EXPECT_EQ(request(http::verb::post, "/v1/read", {{"Content-Type", "application/x-www-form-urlencoded"}}).status,
              415);
    const Reply get = request(http::verb::get, "/v1/call/readCert");
    EXPECT_EQ(get.status, 405);
    EXPECT_EQ(get.header("allow"), "POST");
    EXPECT_EQ(post("/v1/call/AboutBox").status, 404);
    EXPECT_THAT(post("/v1/call/AboutBox").body, StartsWith(refusal("unknown-member")));
    // Strict JSON, nested at most 64 deep: trailing text, comments, duplicate
    // keys and deep nesting are refused, and never end the service.
    for (const std::string& body :
         {std::string("[1,"), std::string(1000, '[') + std::string(1000, ']'), std::string(65, '[') + std::string(65, ']'),
          std::string("{} x"), std::string("{} // note"), std::string("/* note */ {}"), std::string("{\"a\":1,\"a\":2}")}) {
        const Reply reply = request(http::verb::post, "/v1/call/getStatus", {{"Content-Type", "application/json"}}, body);
        EXPECT_EQ(reply.status, 400) << body.substr(0, 20);
        EXPECT_THAT(reply.body, StartsWith(refusal("malformed-body")));
    }
    EXPECT_TRUE(callLog().empty());
    EXPECT_EQ(request(http::verb::post, "/v1/call/getStatus", {{"Content-Type", "application/json; charset=utf-8"}},
                      "{\"any\": 1}")
                  .status,
              200);
}

TEST_F(Bridge, StaticFilesWithTheirTypesAndNothingElse) {
    start();
    const Reply demo = request(http::verb::get, "/demo/");
    EXPECT_EQ(demo.status, 200);
    EXPECT_EQ(demo.header("content-type"), "text/html; charset=utf-8");
    EXPECT_EQ(demo.body, testsupport::readFile(std::string(IVELCARD_SOURCE_DIR) + "/web/demo/index.html"));
    const Reply client = request(http::verb::get, "/ivelcard.js");
    EXPECT_EQ(client.header("content-type"), "text/javascript; charset=utf-8");
    EXPECT_EQ(client.body, testsupport::readFile(std::string(IVELCARD_SOURCE_DIR) + "/web/ivelcard.js"));
    for (const std::string& target : std::vector<std::string>{"/demo/../../CMakeLists.txt", "/demo/%2e%2e/ivelcard.js", "/demo/.hidden.js",
                                     "/demo/nothing.js", "/demo/index", "/", "/web/ivelcard.js", "/demo//index.html"}) {
        const int status = request(http::verb::get, target).status;
        EXPECT_TRUE(status == 404 || status == 400) << target << " " << status;
    }
    // No page may frame an answer; the demo loads only its own files and
    // talks to its own origin or to a bridge on 127.0.0.1.
    EXPECT_EQ(demo.header("x-frame-options"), "DENY");
    EXPECT_EQ(demo.header("content-security-policy"),
              "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
              "connect-src 'self' http://127.0.0.1:* ws://127.0.0.1:*; base-uri 'none'; form-action 'none'; "
              "frame-ancestors 'none'");
    for (const Reply& other : {client, request(http::verb::get, "/v1/info"), request(http::verb::get, "/nothing"),
                               post("/v1/call/getStatus")}) {
        EXPECT_EQ(other.header("x-frame-options"), "DENY");
        EXPECT_EQ(other.header("content-security-policy"), "frame-ancestors 'none'");
    }

    // Files up to 1 MiB are served, larger ones are not read.
    testsupport::TempDir root;
    ::mkdir((root / "demo").c_str(), 0700);
    testsupport::writeFile(root / "demo/fits.js", std::string(1024 * 1024, 'a'));
    testsupport::writeFile(root / "demo/big.js", std::string(1024 * 1024 + 1, 'a'));
    start({"--web-root", root.path()});
    EXPECT_EQ(request(http::verb::get, "/demo/fits.js").body.size(), 1024u * 1024u);
    const Reply big = request(http::verb::get, "/demo/big.js");
    EXPECT_EQ(big.status, 500);
    EXPECT_THAT(big.body, StartsWith(refusal("file-too-large")));
}

TEST_F(Bridge, OversizedOrMalformedRequestsAreRefusedAndClosed) {
    start();
    const std::string host = "Host: " + service_->host() + "\r\n";
    const std::string big(9000, 'a');
    EXPECT_THAT(raw("GET /v1/info HTTP/1.1\r\n" + host + "X-Big: " + big + "\r\n\r\n"),
                StartsWith("HTTP/1.1 431 "));
    EXPECT_THAT(raw("POST /v1/call/getStatus HTTP/1.1\r\n" + host +
                    "Content-Type: application/json\r\nContent-Length: 5000\r\n\r\n" + std::string(5000, ' ')),
                StartsWith("HTTP/1.1 413 "));
    const std::string malformed = raw("GET /v1/info HTTP/9.9 extra\r\n" + host + "\r\n");
    EXPECT_THAT(malformed, StartsWith("HTTP/1.1 400 "));
    EXPECT_THAT(malformed, HasSubstr("Connection: close"));
    EXPECT_THAT(raw("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03\r\n\r\n"), StartsWith("HTTP/1.1 400 "));
    // The header limit is exact: a request line and headers of 8192 bytes
    // pass, 8193 do not.
    const auto sized = [&](std::size_t total) {
        const std::string start = "GET /v1/info HTTP/1.1\r\n" + host + "Connection: close\r\nX-Pad: ";
        return start + std::string(total - start.size() - 4, 'a') + "\r\n\r\n";
    };
    EXPECT_THAT(raw(sized(8192)), StartsWith("HTTP/1.1 200 "));
    EXPECT_THAT(raw(sized(8193)), StartsWith("HTTP/1.1 431 "));
    // Host, Origin or Content-Type twice: which one counts is not guessed.
    const std::string origin = "Origin: " + service_->origin() + "\r\n";
    for (const std::string& twice : {host, origin + origin, std::string("Content-Type: application/json\r\n")}) {
        const std::string reply = raw("POST /v1/call/getStatus HTTP/1.1\r\n" + host +
                                      "Content-Type: application/json\r\nContent-Length: 0\r\n" + twice + "\r\n");
        EXPECT_THAT(reply, StartsWith("HTTP/1.1 400 ")) << twice;
        EXPECT_THAT(reply, HasSubstr(R"({"error":"duplicate-header",)"));
    }
    EXPECT_TRUE(callLog().empty());
}

TEST_F(Bridge, ASlowClientIsDroppedWhileOthersAreServed) {
    start();
    asio::io_context ioc;
    tcp::socket slow(ioc);
    slow.connect(tcp::endpoint(asio::ip::address_v4::loopback(), service_->port()));
    std::atomic<bool> dropped{false};
    const auto began = std::chrono::steady_clock::now();
    std::thread trickle([&] {
        const std::string request = "GET /v1/info HTTP/1.1\r\nHost: " + service_->host() + "\r\nX-Slow: ";
        for (std::size_t i = 0; i < 60 && !dropped; ++i) {
            beast::error_code ec;
            asio::write(slow, asio::buffer(&request[i % request.size()], 1), ec);
            char byte;
            slow.non_blocking(true);
            const std::size_t n = slow.read_some(asio::buffer(&byte, 1), ec);
            if ((ec && ec != asio::error::would_block) || n > 0) dropped = true;
            std::this_thread::sleep_for(1s);
        }
    });
    std::this_thread::sleep_for(1500ms);
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(post("/v1/call/getStatus").status, 200);
    EXPECT_LT(std::chrono::steady_clock::now() - before, 1s);
    trickle.join();
    EXPECT_TRUE(dropped);
    EXPECT_LT(std::chrono::steady_clock::now() - began, 9s);
}

TEST_F(Bridge, TwoHundredIdleConnectionsLeaveRoomForARealClient) {
    start();
    Events watcher(service_->port(), "");
    watcher.send(R"({"id": 1, "watch": true})");
    EXPECT_EQ(watcher.receive(), R"({"id":1,"intervalMs":500,"watching":true})");
    asio::io_context ioc;
    std::vector<tcp::socket> idle;
    for (int i = 0; i < 200; ++i) {
        idle.emplace_back(ioc);
        idle.back().connect(tcp::endpoint(asio::ip::address_v4::loopback(), service_->port()));
    }
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(post("/v1/call/getStatus").status, 200);
    EXPECT_LT(std::chrono::steady_clock::now() - before, 1s);
    // The service keeps at most 64 connections: the older idle ones were closed.
    std::this_thread::sleep_for(200ms);
    int closed = 0;
    for (tcp::socket& socket : idle) {
        socket.non_blocking(true);
        char byte;
        beast::error_code ec;
        socket.read_some(asio::buffer(&byte, 1), ec);
        if (ec == asio::error::eof || ec == asio::error::connection_reset) ++closed;
    }
    EXPECT_GE(closed, 200 - 64);
    // The idle HTTP connections made room; the WebSocket was spared.
    watcher.send(R"({"id": 2, "call": "getStatus"})");
    std::optional<std::string> answer;
    while ((answer = watcher.receive()) && answer->find(R"("id":2)") == std::string::npos) {
    }
    EXPECT_THAT(answer, ::testing::Optional(HasSubstr(R"("document":)")));
}

TEST_F(Bridge, AFullQueueAnswers503) {
    describeReader(R"({"latencyMs": 60})");
    start();
    ASSERT_EQ(post("/v1/call/connect").status, 200);  // getSAMID now asks the reader
    constexpr int kClients = 48;  // 32 waiting (and perhaps one in progress), the rest refused
    // Every client connects first, then all send at once.
    std::atomic<int> connected{0};
    const unsigned short port = service_->port();
    const std::string host = service_->host();
    std::vector<std::future<int>> statuses;
    for (int i = 0; i < kClients; ++i) {
        statuses.push_back(std::async(std::launch::async, [&connected, port, host] {
            asio::io_context ioc;
            beast::tcp_stream stream(ioc);
            stream.connect(tcp::endpoint(asio::ip::address_v4::loopback(), port));
            ++connected;
            while (connected.load() < kClients) std::this_thread::yield();
            http::request<http::string_body> request(http::verb::post, "/v1/call/getSAMID", 11);
            request.set(http::field::host, host);
            request.set(http::field::content_type, "application/json");
            request.prepare_payload();
            http::write(stream, request);
            beast::flat_buffer buffer;
            http::response<http::string_body> response;
            http::read(stream, buffer, response);
            return static_cast<int>(response.result_int());
        }));
    }
    int ok = 0;
    int full = 0;
    for (auto& status : statuses) {
        const int s = status.get();
        ok += s == 200;
        full += s == 503;
    }
    EXPECT_EQ(ok + full, kClients);
    EXPECT_GE(full, 1);
    EXPECT_GE(ok, 32);
    EXPECT_THAT(serviceLog(), HasSubstr("POST /v1/call/getSAMID - 503 "));
}

TEST_F(Bridge, SigtermFinishesTheReadInProgress) {
    describeReader(R"({"latencyMs": 150})");
    start();
    auto read = std::async(std::launch::async, [this] { return post("/v1/read"); });
    std::this_thread::sleep_for(300ms);  // connect is under way
    EXPECT_EQ(service_->terminate(), 0);
    const Reply reply = read.get();
    EXPECT_EQ(reply.status, 200);
    EXPECT_THAT(reply.body, HasSubstr("\"partyName\" : \"赵明远\""));
    EXPECT_THAT(serviceLog(), HasSubstr("ivelcard: stopped"));
}

TEST_F(Bridge, ASecondSignalOrAReaderCallThatNeverReturnsEndsTheStop) {
    describeReader(R"({"latencyMs": 60000})");  // connect waits a minute
    const std::string read = "POST /v1/read HTTP/1.1\r\nHost: 127.0.0.1:PORT\r\nContent-Type: application/json\r\n"
                             "Content-Length: 0\r\n\r\n";
    const auto reading = [&] {
        std::string bytes = read;
        bytes.replace(bytes.find("PORT"), 4, std::to_string(service_->port()));
        return std::async(std::launch::async, [this, bytes] { return raw(bytes, 20s); });
    };
    for (const bool twice : {true, false}) {
        start();
        auto pending = reading();
        std::this_thread::sleep_for(300ms);
        const auto began = std::chrono::steady_clock::now();
        service_->signal(SIGTERM);
        if (twice) {
            std::this_thread::sleep_for(200ms);
            service_->signal(SIGINT);
        }
        const int status = service_->wait();
        const auto took = std::chrono::steady_clock::now() - began;
        pending.get();
        if (twice) {
            EXPECT_EQ(status, 2);
            EXPECT_LT(took, 5s);
            EXPECT_THAT(serviceLog(), HasSubstr("ivelcard: stopped at once by a second signal\n"));
        } else {
            EXPECT_EQ(status, 3);
            EXPECT_GE(took, 9s);
            EXPECT_LT(took, 20s);
            EXPECT_THAT(serviceLog(),
                        HasSubstr("ivelcard: the reader call in progress did not return within 10 s; ending without it\n"));
        }
    }
}

TEST_F(Bridge, AConfigurationThatIsNotStrictJsonStopsTheStart) {
    for (const std::string& config : {std::string(1000, '[') + std::string(1000, ']'),
                                      std::string(R"({"allowOrigins": []} // note)")}) {
        writeConfig(config);
        const auto result = failedStart({"--port", "0"});
        EXPECT_EQ(result.exitCode, 1);
        EXPECT_EQ(said(result.err), "ivelcard serve: " + userConfigFile() + " is not a JSON object\n");
    }
}

TEST_F(Bridge, APortInUseIsAnErrorNotAFallback) {
    asio::io_context ioc;
    tcp::acceptor taken(ioc, tcp::endpoint(asio::ip::address_v4::loopback(), 0));
    const std::string port = std::to_string(taken.local_endpoint().port());
    const auto result = failedStart({"--port", port});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(said(result.err), "ivelcard: port " + port + " is in use on 127.0.0.1\n");
}

// A raw HTTP/1.1 exchange from a client run as nobody (uid 65534): what the
// service answers.
std::string askAsNobody(unsigned short port, const std::string& lines) {
    const std::string request = lines + "Host: 127.0.0.1:" + std::to_string(port) + "\r\n\r\n";
    return testsupport::runProcess({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "/bin/bash",
                                    "-c", "exec 3<>/dev/tcp/127.0.0.1/$1 && printf '%s' \"$2\" >&3 && cat <&3", "client",
                                    std::to_string(port), request})
        .out;
}

TEST_F(Bridge, OnlyTheUserWhoRunsTheServiceIsServed) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "skipped: a client of another user needs root to start it (setpriv --reuid=65534)";
    }
    start();
    const std::string call =
        "POST /v1/call/readCert HTTP/1.1\r\nContent-Type: application/json\r\nContent-Length: 0\r\n"
        "Connection: close\r\n";
    const std::string handshake =
        "GET /v1/events HTTP/1.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
        "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n";
    const std::string body =
        R"x({"error":"other-user","reason":"the service serves only the user who runs it (start it with )x"
        R"x(--allow-other-users to serve every local account)"})x";
    for (const std::string& request : {call, handshake}) {
        const std::string answer = askAsNobody(service_->port(), request);
        EXPECT_THAT(answer, StartsWith("HTTP/1.1 403 Forbidden\r\n")) << request;
        EXPECT_THAT(answer, HasSubstr("\r\nConnection: close\r\n"));
        EXPECT_THAT(answer, testing::EndsWith("\r\n\r\n" + body));
    }
    EXPECT_TRUE(callLog().empty());
    EXPECT_EQ(post("/v1/call/getStatus").status, 200);  // this user is served

    // A kiosk account's browser runs under another user.
    service_.reset();
    start({"--allow-other-users"});
    EXPECT_THAT(askAsNobody(service_->port(), call), StartsWith("HTTP/1.1 200 OK\r\n"));
}

TEST_F(Bridge, BothAllowListFilesAreReadAgainWhenTheyChangeAndTheLastGoodListStays) {
    const std::string userFile = userConfigFile();
    const std::string machineFile = machineConfigFile();
    writeConfig(R"({"allowOrigins": ["http://localhost:9000"]})");
    writeMachineConfig(R"({"allowOrigins": ["http://desk.example.test"]})");
    start();
    // A plain-http page of another computer is allowed, with a warning.
    EXPECT_TRUE(logShows("ivelcard serve: warning: http://desk.example.test (in " + machineFile +
                         ") is a page over plain http: anyone on its way to the desk can alter it\n")) << serviceLog();
    EXPECT_EQ(post("/v1/call/getStatus", {{"Origin", "http://desk.example.test"}}).status, 200);

    // The refusal says how to allow the origin, and that the other spelling
    // of the loopback interface does not count.
    const Reply refused = post("/v1/call/getStatus", {{"Origin", "http://127.0.0.1:9000"}});
    EXPECT_EQ(refused.status, 403);
    const std::string reason =
        "this page's origin is not on the service's allow-list; to allow it, an administrator runs 'ivelcard "
        "allow-origin http://127.0.0.1:9000' (it writes " + jsonText(machineFile) +
        "), or the desk's user adds it to \\\"allowOrigins\\\" in bridge.json in the user's configuration directory; "
        "http://localhost:9000 is allowed, but localhost and 127.0.0.1 are different origins to a browser";
    EXPECT_EQ(refused.body, R"({"error":"origin-not-allowed","reason":")" + reason + "\"}");
    EXPECT_TRUE(logShows(" http://127.0.0.1:9000 403 ")) << serviceLog();
    EXPECT_TRUE(logShows("ms: this page's origin is not on the service's allow-list; to allow it")) << serviceLog();

    // Rewritten: taken up by the next request a second later, no restart.
    const auto allowedWithin = [this](const std::string& origin, int status) {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (post("/v1/call/getStatus", {{"Origin", origin}}).status != status) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(100ms);
        }
        return true;
    };
    writeConfig(R"({"allowOrigins": ["http://127.0.0.1:9000"]})");
    EXPECT_TRUE(allowedWithin("http://127.0.0.1:9000", 200)) << serviceLog();
    EXPECT_EQ(post("/v1/call/getStatus", {{"Origin", "http://localhost:9000"}}).status, 403);

    // A file that turns invalid keeps its last good list, and the log says why.
    writeConfig(R"({"allowedOrigins": ["http://localhost:9000"]})");
    std::this_thread::sleep_for(1100ms);
    EXPECT_EQ(post("/v1/call/getStatus", {{"Origin", "http://127.0.0.1:9000"}}).status, 200);
    EXPECT_TRUE(logShows("ivelcard serve: " + userFile +
                         ": unknown key \"allowedOrigins\"; the only key is \"allowOrigins\"; its last "
                         "good list stays in force\n")) << serviceLog();
    // File modes and SIGHUP are POSIX's: another system's service sees both
    // files changed at its next look.
    if (ownService()) {
        ASSERT_EQ(::chmod(userFile.c_str(), 0666), 0);
        testsupport::writeFile(userFile, R"({"allowOrigins": ["http://localhost:9000"]})");
        std::this_thread::sleep_for(1100ms);
        EXPECT_EQ(post("/v1/call/getStatus", {{"Origin", "http://localhost:9000"}}).status, 403);
        EXPECT_TRUE(logShows("ivelcard serve: " + userFile +
                             " is not used: it is writable by others (mode 0666); only its owner and the "
                             "administrators may change it; its last good list stays in force\n")) << serviceLog();
        ASSERT_EQ(::chmod(userFile.c_str(), 0644), 0);
        // SIGHUP reads both files at once.
        testsupport::writeFile(machineFile, R"({"allowOrigins": []})");
        ::kill(service_->pid(), SIGHUP);
        EXPECT_TRUE(logShows("ivelcard serve: SIGHUP: reading the allow-list again\n")) << serviceLog();
    } else {
        writeConfig(R"({"allowOrigins": ["http://localhost:9000"]})");
        writeMachineConfig(R"({"allowOrigins": []})");
    }
    EXPECT_TRUE(allowedWithin("http://localhost:9000", 200));
    EXPECT_EQ(post("/v1/call/getStatus", {{"Origin", "http://desk.example.test"}}).status, 403);
    EXPECT_EQ(service_->terminate(), 0);
    if (!ownService()) return;

    // At start a file others may change is left out, saying why.
    testsupport::writeFile(machineFile, R"({"allowOrigins": ["https://desk.example.org"]})");
    ASSERT_EQ(::chmod(machineFile.c_str(), 0646), 0);
    start();
    EXPECT_TRUE(logShows("ivelcard serve: " + machineFile + " is not used: it is writable by others (mode 0646); only "
                         "its owner and the administrators may change it\n")) << serviceLog();
    EXPECT_EQ(post("/v1/call/getStatus", {{"Origin", "https://desk.example.org"}}).status, 403);
    EXPECT_EQ(post("/v1/call/getStatus", {{"Origin", "http://localhost:9000"}}).status, 200);
}

TEST_F(Bridge, AllowOriginWritesTheMachineListAndExactlyThePolicyFilesAndTakesThemAway) {
    if (!ownService()) GTEST_SKIP() << "the Linux host's files; the Windows host writes the registry";
    const std::string otherPolicy = system_ / "etc/chromium/policies/managed/other.json";
    ASSERT_EQ(::system(("mkdir -p " + system_ / "etc/chromium/policies/managed").c_str()), 0);
    testsupport::writeFile(otherPolicy, R"({"HomepageLocation": "https://intranet.example"})");
    start();
    EXPECT_EQ(post("/v1/call/getStatus", {{"Origin", "https://desk.example.org"}}).status, 403);

    auto result = host({"allow-origin", "--browser-policies", "https://Desk.Example.org:443",
                        "http://desk.example.test:8080"});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_THAT(result.err, HasSubstr("ivelcard: warning: http://desk.example.test:8080 is a page over plain http"));
    const auto files = [this] {
        std::vector<std::string> found;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(system_.path())) {
            if (entry.is_regular_file()) found.push_back(entry.path().string().substr(system_.path().size()));
        }
        std::sort(found.begin(), found.end());
        return found;
    };
    EXPECT_EQ(files(), (std::vector<std::string>{"/etc/chromium/policies/managed/ivelcard.json",
                                                 "/etc/chromium/policies/managed/other.json", "/etc/ivelcard/bridge.json",
                                                 "/etc/opt/chrome/policies/managed/ivelcard.json",
                                                 "/etc/opt/edge/policies/managed/ivelcard.json"}));
    EXPECT_EQ(testsupport::readFile(system_ / "etc/ivelcard/bridge.json"),
              "{\n  \"allowOrigins\" : \n  [\n    \"https://desk.example.org\",\n    \"http://desk.example.test:8080\"\n"
              "  ]\n}\n");
    const std::string policies =
        "{\n  \"LocalNetworkAccessAllowedForUrls\" : \n  [\n    \"https://desk.example.org\",\n"
        "    \"http://desk.example.test:8080\"\n  ],\n  \"OverrideSecurityRestrictionsOnInsecureOrigin\" : \n  [\n"
        "    \"http://desk.example.test:8080\"\n  ]\n}\n";
    for (const char* file : {"etc/chromium/policies/managed/ivelcard.json", "etc/opt/chrome/policies/managed/ivelcard.json",
                             "etc/opt/edge/policies/managed/ivelcard.json"}) {
        EXPECT_EQ(testsupport::readFile(system_ / file), policies) << file;
        struct stat info {};
        ASSERT_EQ(::stat((system_ / file).c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, 0644u) << file;
    }
    // The running service takes the machine-wide list up.
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (post("/v1/call/getStatus", {{"Origin", "https://desk.example.org"}}).status != 200 &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_EQ(post("/v1/call/getStatus", {{"Origin", "https://desk.example.org"}}).status, 200);

    result = host({"allow-origin", "--remove", "http://desk.example.test:8080"});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(testsupport::readFile(system_ / "etc/opt/edge/policies/managed/ivelcard.json"),
              "{\n  \"LocalNetworkAccessAllowedForUrls\" : \n  [\n    \"https://desk.example.org\"\n  ]\n}\n");

    // What an uninstaller runs: nothing this command wrote stays, the
    // administrator's own policy file does.
    result = host({"allow-origin", "--remove", "--all"});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(files(), (std::vector<std::string>{"/etc/chromium/policies/managed/other.json", "/etc/ivelcard/bridge.json"}));
    EXPECT_FALSE(std::filesystem::exists(system_ / "etc/opt/chrome"));
    EXPECT_EQ(testsupport::readFile(system_ / "etc/ivelcard/bridge.json"), "{\n  \"allowOrigins\" : []\n}\n");
    EXPECT_EQ(testsupport::readFile(otherPolicy), R"({"HomepageLocation": "https://intranet.example"})");

    EXPECT_EQ(host({"allow-origin", "--all"}).exitCode, 64);
    EXPECT_EQ(host({"allow-origin", "https://desk.example.org/path"}).exitCode, 64);
    if (::geteuid() == 0) {
        // Anyone else is told what the command needs, and nothing changes.
        result = testsupport::runProcess({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                                          "/usr/bin/env", "IVELCARD_SYSTEM_ROOT=" + system_.path(),
                                          testsupport::binDir() + "/ivelcard", "allow-origin", "https://x.example"});
        EXPECT_EQ(result.exitCode, 1);
        EXPECT_THAT(result.err, testing::EndsWith(": Permission denied; allow-origin changes what the whole machine "
                                                  "allows and needs administrator rights (as root: sudo ivelcard "
                                                  "allow-origin ..., on Windows: from an elevated prompt)\n"));
        EXPECT_EQ(files(), (std::vector<std::string>{"/etc/chromium/policies/managed/other.json",
                                                     "/etc/ivelcard/bridge.json"}));
    }
}

TEST_F(Bridge, TheWebSocketCallsLikeHttpAndKeepsForeignOriginsOut) {
    start({"--allow-origin", "http://localhost:9000"});
    EXPECT_EQ(handshakeStatus(service_->port(), "http://evil.example"), 403);
    EXPECT_TRUE(callLog().empty());
    Events events(service_->port(), "http://localhost:9000");
    events.send(R"({"id": 1, "call": "connect"})");
    events.send(R"({"id": "two", "call": "readCert"})");
    events.send(R"({"id": 3, "call": "AboutBox"})");
    events.send("not json");
    events.send(R"({"id": 4, "call": "getStatus"} trailing)");
    events.send(std::string(1000, '[') + std::string(1000, ']'));
    const auto expected = hostDocuments({"connect", "readCert"});
    // Answers come as they are ready; the id tells them apart.
    std::map<std::string, std::string> answers;
    std::map<std::string, Json::Value> parsed;
    for (int i = 0; i < 6; ++i) {
        const auto message = events.receive();
        ASSERT_TRUE(message);
        Json::Value value;
        std::istringstream stream(*message);
        ASSERT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), stream, &value, nullptr));
        answers[value["id"].toStyledString()] = *message;
        parsed[value["id"].toStyledString()] = value;
    }
    EXPECT_EQ(parsed["1\n"]["document"].asString(), expected[0]);
    EXPECT_THAT(answers["1\n"], StartsWith(R"({"document":"{\n   \"errorMsg\" : \"\",)"));
    EXPECT_EQ(parsed["\"two\"\n"]["document"].asString(), expected[1]);
    EXPECT_THAT(answers["\"two\"\n"], HasSubstr("赵明远"));  // raw UTF-8, not escaped
    EXPECT_THAT(answers["3\n"], StartsWith(R"({"error":"unknown-member","id":3,)"));
    EXPECT_THAT(answers["null\n"], StartsWith(R"({"error":"malformed-body","id":null,)"));
    EXPECT_EQ(answers.size(), 4u);  // three malformed messages, answered with id null

    // A message over 4 KiB ends the connection with "message too big".
    events.send(std::string(5000, ' '));
    EXPECT_EQ(events.receive(), std::nullopt);
    EXPECT_EQ(events.closeCode, 1009);
}

TEST_F(Bridge, WatchingReportsEachCardOnceAndItsRemoval) {
    describeReader(noCardDescription());
    start();
    Events events(service_->port(), "");
    events.send(R"({"id": 7, "watch": true, "intervalMs": 50})");
    EXPECT_EQ(events.receive(), R"({"id":7,"intervalMs":200,"watching":true})");
    std::this_thread::sleep_for(500ms);
    describeReader(sampleCardDescription());
    const auto first = events.receive();
    ASSERT_TRUE(first);
    EXPECT_THAT(*first, StartsWith(R"({"document":")"));
    EXPECT_THAT(*first, HasSubstr(R"(,"event":"card"})"));
    EXPECT_THAT(*first, HasSubstr("赵明远"));
    // The same card staying on the reader gives no further event.
    EXPECT_EQ(events.receive(700ms), std::nullopt);
    describeReader(secondCardDescription());
    const auto second = events.receive();
    ASSERT_TRUE(second);
    EXPECT_THAT(*second, HasSubstr("孙晓岚"));
    describeReader(noCardDescription());
    EXPECT_EQ(events.receive(), R"({"event":"removed"})");
    events.send(R"({"id": 8, "watch": false})");
    EXPECT_EQ(events.receive(), R"({"id":8,"watching":false})");
    describeReader(sampleCardDescription());
    EXPECT_EQ(events.receive(700ms), std::nullopt);
}

TEST_F(Bridge, WebSocketHandshakesAreTheServicesOwnAndLoggedOnce) {
    start();
    const std::string port = std::to_string(service_->port());
    const std::string upgrade = "GET /v1/events HTTP/1.1\r\nHost: 127.0.0.1:" + port +
                                "\r\nConnection: Upgrade\r\nUpgrade: websocket\r\n";
    // Refusals of the WebSocket library: JSON, no library version, logged
    // with the status sent.
    const std::string badVersion =
        raw(upgrade + "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 8\r\n\r\n", 3s);
    EXPECT_THAT(badVersion, StartsWith("HTTP/1.1 426 "));
    const std::string noKey = raw(upgrade + "Sec-WebSocket-Version: 13\r\n\r\n", 3s);
    EXPECT_THAT(noKey, StartsWith("HTTP/1.1 400 "));
    for (const std::string& refused : {badVersion, noKey}) {
        EXPECT_THAT(refused, HasSubstr("Content-Type: application/json; charset=utf-8\r\n"));
        EXPECT_THAT(refused, HasSubstr(R"({"error":"bad-handshake",)"));
        EXPECT_THAT(refused, Not(HasSubstr("Beast")));
    }
    // A first message sent in the same write as the handshake is answered.
    const std::string message = R"({"id":1,"call":"getStatus"})";
    std::string frame = {'\x81', static_cast<char>(0x80 | message.size()), '\x01', '\x02', '\x03', '\x04'};
    for (std::size_t i = 0; i < message.size(); ++i) frame.push_back(static_cast<char>(message[i] ^ (1 + i % 4)));
    const std::string opened =
        raw(upgrade + "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n" + frame, 1500ms);
    EXPECT_THAT(opened, StartsWith("HTTP/1.1 101 "));
    EXPECT_THAT(opened, HasSubstr("Server: ivelcard-bridge\r\n"));
    EXPECT_THAT(opened, HasSubstr(R"({"document":"{\n   \"errorMsg\" : )"));

    // One line when a WebSocket opens and one when it closes, whatever it
    // sends in between.
    {
        Events events(service_->port(), "");
        for (int i = 0; i < 300; ++i) events.send("not json");
        for (int i = 0; i < 300; ++i) ASSERT_TRUE(events.receive());
    }
    std::this_thread::sleep_for(300ms);
    const std::string log = serviceLog();
    EXPECT_THAT(log, HasSubstr("GET /v1/events - 426 "));
    EXPECT_THAT(log, HasSubstr("GET /v1/events - 400 "));
    EXPECT_THAT(log, HasSubstr(": closed, 300 messages in, 300 out, 300 refused\n"));
    std::istringstream lines(log);
    int count = 0;
    for (std::string line; std::getline(lines, line);) count += line.find("/v1/events") != std::string::npos;
    EXPECT_EQ(count, 6);  // two refusals, two opened, two closed
    // Refusals beyond ten a second are counted, not logged.
    for (int i = 0; i < 100; ++i) post("/v1/call/getStatus", {{"Origin", "http://evil.example"}});
    std::this_thread::sleep_for(1100ms);
    post("/v1/call/getStatus", {{"Origin", "http://evil.example"}});
    std::this_thread::sleep_for(200ms);  // the line follows the answer
    const std::string flooded = serviceLog();
    std::istringstream refusals(flooded);
    int refusalLines = 0;
    for (std::string line; std::getline(refusals, line);) refusalLines += line.find(" 403 ") != std::string::npos;
    EXPECT_LE(refusalLines, 40);
    EXPECT_THAT(flooded, ::testing::ContainsRegex("ivelcard: [0-9]+ more refusals not logged\n"));
}

TEST_F(Bridge, NoLocalProgramLocksTheDeskOut) {
    describeReader(noCardDescription());
    start();
    Events watcher(service_->port(), "");
    watcher.send(R"({"id": 1, "watch": true, "intervalMs": 200})");
    EXPECT_EQ(watcher.receive(), R"({"id":1,"intervalMs":200,"watching":true})");
    const auto genuine = [this] {
        const auto before = std::chrono::steady_clock::now();
        const int status = post("/v1/call/getStatus").status;
        EXPECT_EQ(status, 200);
        return std::chrono::steady_clock::now() - before;
    };
    asio::io_context ioc;
    // 64 connections pipeline requests and never read their answers.
    std::string pipelined;
    for (int i = 0; i < 200; ++i) pipelined += "GET /v1/info HTTP/1.1\r\nHost: " + service_->host() + "\r\n\r\n";
    std::vector<tcp::socket> greedy;
    for (int i = 0; i < 64; ++i) {
        greedy.emplace_back(ioc);
        greedy.back().open(tcp::v4());
        greedy.back().set_option(asio::socket_base::receive_buffer_size(4096));
        greedy.back().connect(tcp::endpoint(asio::ip::address_v4::loopback(), service_->port()));
        asio::write(greedy.back(), asio::buffer(pipelined));
    }
    std::this_thread::sleep_for(300ms);
    EXPECT_LT(genuine(), 500ms);
    // 70 WebSockets that do nothing: the watch is not idle and stays.
    std::vector<std::unique_ptr<Events>> quiet;
    for (int i = 0; i < 70; ++i) quiet.push_back(std::make_unique<Events>(service_->port(), ""));
    EXPECT_LT(genuine(), 500ms);
    describeReader(sampleCardDescription());
    const auto card = watcher.receive();
    ASSERT_TRUE(card);
    EXPECT_THAT(*card, HasSubstr(R"(,"event":"card"})"));
    // The connections that never read were dropped.
    int dropped = 0;
    for (tcp::socket& socket : greedy) {
        std::vector<char> sink(1 << 20);
        beast::error_code ec;
        socket.non_blocking(true);
        while (!ec) socket.read_some(asio::buffer(sink), ec);
        dropped += ec != asio::error::would_block;
    }
    EXPECT_EQ(dropped, 64);
}

TEST_F(Bridge, WatchingTellsTheReadersStateAndSparesACardThatStays) {
    describeReader(sampleCardDescription());
    start();
    Events events(service_->port(), "");
    events.send(R"({"id": 1, "watch": true, "intervalMs": 200})");
    EXPECT_EQ(events.receive(), R"({"id":1,"intervalMs":200,"watching":true})");
    const auto first = events.receive();
    ASSERT_TRUE(first);
    EXPECT_THAT(*first, HasSubstr(R"(,"event":"card"})"));
    // The same card staying is read every 2 s, not at every interval.
    const auto reads = [this] {
        const auto calls = callLog();
        return std::count_if(calls.begin(), calls.end(),
                             [](const std::string& call) { return call.rfind("SDT_ReadBaseFPMsg", 0) == 0; });
    };
    const auto before = reads();
    std::this_thread::sleep_for(4s);
    EXPECT_LE(reads() - before, 3);
    EXPECT_GE(reads() - before, 1);
    // The reader unplugged: the card is gone and the reader absent; plugged
    // back: ready on a new session, and the card is seen again.
    describeReader(R"({"ports": {}, "card": null})");
    EXPECT_EQ(events.receive(), R"({"event":"removed"})");
    EXPECT_EQ(events.receive(), R"({"event":"reader","state":"absent"})");
    const std::size_t unplugged = callLog().size();
    describeReader(sampleCardDescription());
    EXPECT_EQ(events.receive(), R"({"event":"reader","state":"ready"})");
    const auto again = events.receive();
    ASSERT_TRUE(again);
    EXPECT_THAT(*again, HasSubstr(R"(,"event":"card"})"));
    const auto calls = callLog();
    EXPECT_NE(std::find(calls.begin() + static_cast<long>(unplugged), calls.end(), "SDT_ClosePort 1001"), calls.end())
        << ::testing::PrintToString(calls) << " from " << unplugged;
}

}  // namespace
}  // namespace bridgetest
