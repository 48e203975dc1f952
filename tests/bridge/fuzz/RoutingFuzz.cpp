// Fuzz target over the bridge's request parsing, routing and origin policy:
// a request in, a decision out, and the decision must keep its promises.
//
// An input that starts with a letter is a raw HTTP request, read by the same
// parser and limits as the service. Any other input is turned into a request
// from pieces (methods, targets, Host and Origin values near the edges of
// the policy), so that random bytes exercise the decisions and not only the
// parser.
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include "bridge/Policy.h"

namespace {

namespace http = boost::beast::http;

constexpr unsigned short kPort = 24010;

const bridge::OriginPolicy& policy() {
    static const bridge::OriginPolicy instance(kPort, {"http://localhost:9000", "https://desk.example.org"});
    return instance;
}

void check(bool condition) {
    if (!condition) std::abort();
}

// What every decision must respect.
void decideAndCheck(const bridge::RequestFacts& facts) {
    const bridge::Decision d = bridge::decide(facts, policy(), kPort);
    if (d.action == bridge::Action::Refuse) {
        const int status = bridge::refusalText(d.refusal).status;
        check(status >= 400 && status < 600);
        return;
    }
    // Nothing passes without a loopback Host of this port and an allowed
    // (or no) Origin.
    check(facts.host && bridge::hostAllowed(*facts.host, kPort));
    check(!facts.origin || policy().allows(*facts.origin));
    check(d.corsAllowed == facts.origin.has_value());
    switch (d.action) {
    case bridge::Action::CallMember:
        check(bridge::isCallableMember(d.member));
        check(facts.method == "POST");
        break;
    case bridge::Action::Read:
        check(facts.method == "POST");
        break;
    case bridge::Action::Preflight:
        check(facts.method == "OPTIONS" && facts.origin.has_value());
        break;
    case bridge::Action::Events:
        check(facts.websocketUpgrade && facts.method == "GET");
        break;
    case bridge::Action::StaticFile:
        check(!d.file.empty() && d.file.front() != '/' && d.file.find("..") == std::string::npos &&
              d.file.find("//") == std::string::npos && d.file.find('\\') == std::string::npos);
        check(bridge::mediaType(d.file).has_value());
        break;
    default:
        break;
    }
    if (facts.origin) {
        // Normalising twice changes nothing.
        const auto once = bridge::OriginPolicy::normalise(*facts.origin);
        if (once) check(bridge::OriginPolicy::normalise(*once) == once);
    }
}

void rawRequest(std::string_view bytes) {
    http::request_parser<http::string_body> parser;
    parser.header_limit(8 * 1024);
    parser.body_limit(4 * 1024);
    parser.eager(true);
    boost::beast::error_code ec;
    parser.put(boost::asio::buffer(bytes.data(), bytes.size()), ec);
    if (!parser.is_header_done()) return;
    const auto& request = parser.get();
    bridge::RequestFacts facts;
    facts.method = request.method_string();
    facts.target = request.target();
    if (request.count(http::field::host) != 0) facts.host = request[http::field::host];
    if (request.count(http::field::origin) != 0) facts.origin = request[http::field::origin];
    if (request.count(http::field::content_type) != 0) facts.contentType = request[http::field::content_type];
    facts.websocketUpgrade = request.count(http::field::upgrade) != 0;
    decideAndCheck(facts);
}

// Pieces near the policy's edges.
constexpr std::string_view kMethods[] = {"GET", "POST", "OPTIONS", "HEAD", "PUT", "DELETE", "get", ""};
constexpr std::string_view kTargets[] = {
    "/v1/call/", "/v1/call/readCert", "/v1/call/connect", "/v1/read", "/v1/info", "/v1/events", "/demo/",
    "/demo/index.html", "/demo/../", "/ivelcard.js", "/ivelcard.d.ts", "/", "", "?", "%2e", "/demo/.x", "//",
    "http://127.0.0.1:24010/", "\\", "x.js", ".css", "/v1/call/AboutBox"};
constexpr std::string_view kHosts[] = {
    "127.0.0.1:24010", "localhost:24010", "[::1]:24010", "LOCALHOST:24010", "127.0.0.1", "127.0.0.1:2401",
    "evil.example:24010", "localhost.evil:24010", "[::1]", ":24010", ""};
constexpr std::string_view kOrigins[] = {
    "http://127.0.0.1:24010", "http://localhost:24010", "http://[::1]:24010", "http://localhost:9000",
    "https://desk.example.org", "https://DESK.example.org:443", "http://desk.example.org", "null", "",
    "http://localhost:9000/", "http://evil.example", "https://desk.example.org.evil", "http://[::1"};
constexpr std::string_view kTypes[] = {"application/json", "application/json; charset=utf-8", "text/plain",
                                       "APPLICATION/JSON ;x", "application/jsonx", ""};

template <std::size_t N>
std::string_view pick(const std::string_view (&table)[N], std::uint8_t byte) {
    return table[byte % N];
}

void builtRequest(const std::uint8_t* data, std::size_t size) {
    if (size < 6) return;
    std::string target(pick(kTargets, data[1]));
    std::string origin(pick(kOrigins, data[3]));
    // The rest of the input lands in the target or the origin, raw.
    const std::string_view tail(reinterpret_cast<const char*>(data) + 6, size - 6);
    if (data[5] & 1) target += tail;
    else origin += tail;
    bridge::RequestFacts facts;
    facts.method = pick(kMethods, data[0]);
    facts.target = target;
    if (data[2] != 0xFF) facts.host = pick(kHosts, data[2]);
    if (data[3] % 2 == 0 || data[5] & 2) facts.origin = origin;
    if (data[4] != 0xFF) facts.contentType = pick(kTypes, data[4]);
    facts.websocketUpgrade = (data[5] & 4) != 0;
    decideAndCheck(facts);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 0 && std::isalpha(data[0]) != 0) {
        rawRequest(std::string_view(reinterpret_cast<const char*>(data), size));
    } else {
        builtRequest(data, size);
    }
    return 0;
}
