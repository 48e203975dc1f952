// The decisions of the origin and Host policy and of the routing table, and
// what the allow-list files may hold.
#include <gtest/gtest.h>

#include <filesystem>

#include "bridge/AllowList.h"
#include "bridge/Policy.h"
#include "support/TestSupport.h"

namespace bridge {
namespace {

TEST(OriginPolicy, NormalisesTheFormBrowsersSend) {
    const std::pair<const char*, const char*> cases[] = {
        {"http://localhost:9000", "http://localhost:9000"},
        {"HTTPS://Desk.Example.ORG", "https://desk.example.org"},
        {"https://desk.example.org:443", "https://desk.example.org"},
        {"http://desk.example.org:80", "http://desk.example.org"},
        {"http://[::1]:8080", "http://[::1]:8080"},
        {"http://[::1]", "http://[::1]"},
        {"https://a-b.example:8443", "https://a-b.example:8443"},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(OriginPolicy::normalise(in), std::optional<std::string>(out)) << in;
    for (const char* bad : {"", "null", "*", "http://*.example.org", "file://", "ftp://x", "http://", "http://x/",
                            "http://x:0", "http://x:65536", "http://x:080", "http://x:", "http://x:1a", "http://x y",
                            "http://[::1", "http://[zz]", "http://.x", "http://user@x", "http://x?q", "localhost:9000"}) {
        EXPECT_EQ(OriginPolicy::normalise(bad), std::nullopt) << bad;
    }
}

TEST(OriginPolicy, AllowsItsOwnOriginsAndTheConfiguredOnes) {
    const OriginPolicy policy(24010, {"https://Desk.Example.org", "not an origin", "http://localhost:24010"});
    EXPECT_EQ(policy.origins(), (std::vector<std::string>{"http://127.0.0.1:24010", "http://localhost:24010",
                                                          "http://[::1]:24010", "https://desk.example.org"}));
    EXPECT_TRUE(policy.allows("http://127.0.0.1:24010"));
    EXPECT_TRUE(policy.allows("https://desk.example.org:443"));
    EXPECT_FALSE(policy.allows("http://127.0.0.1:24011"));
    EXPECT_FALSE(policy.allows("https://127.0.0.1:24010"));
    EXPECT_FALSE(policy.allows("null"));
}

TEST(OriginPolicy, ARefusalSaysHowToAllowTheOriginAndWhereLoopbackSpellingsDiffer) {
    const OriginPolicy policy(24010, {"http://localhost:9000", "http://127.0.0.1:9100"});
    const AllowListPlaces places{"/etc/ivelcard/bridge.json", "~/.config/ivelcard/bridge.json"};
    const std::string refused = "this page's origin is not on the service's allow-list; to allow it, an administrator "
                                "runs 'ivelcard allow-origin ";
    const std::string files = "' (it writes /etc/ivelcard/bridge.json), or the desk's user adds it to "
                              "\"allowOrigins\" in ~/.config/ivelcard/bridge.json";
    EXPECT_EQ(originRefusalReason("HTTPS://Desk.Example.org:443", policy, places),
              refused + "https://desk.example.org" + files);
    EXPECT_EQ(originRefusalReason("http://127.0.0.1:9000", policy, places),
              refused + "http://127.0.0.1:9000" + files +
                  "; http://localhost:9000 is allowed, but localhost and 127.0.0.1 are different origins to a browser");
    EXPECT_EQ(originRefusalReason("http://localhost:9100", policy, places),
              refused + "http://localhost:9100" + files +
                  "; http://127.0.0.1:9100 is allowed, but localhost and 127.0.0.1 are different origins to a browser");
    // Another port or a longer name is no other spelling; a page that sends
    // no real origin is not quoted.
    EXPECT_EQ(policy.otherLoopbackSpelling("http://127.0.0.1:9001"), "");
    EXPECT_EQ(policy.otherLoopbackSpelling("http://localhost.example:9100"), "");
    EXPECT_EQ(originRefusalReason("null", policy, {"/etc/ivelcard/bridge.json", ""}),
              refused + "ORIGIN' (it writes /etc/ivelcard/bridge.json)");
}

TEST(AllowList, OnlyAStrictObjectWithItsOneKeyAndRealOrigins) {
    std::string error;
    EXPECT_EQ(parseAllowList(R"({"allowOrigins": ["https://desk.example.org", "http://localhost:9000"]})", "b.json",
                             error),
              (std::vector<std::string>{"https://desk.example.org", "http://localhost:9000"}));
    EXPECT_EQ(parseAllowList("{}", "b.json", error), std::vector<std::string>());
    const std::pair<std::string, std::string> refused[] = {
        {R"({"allowedOrigins": ["https://desk.example.org"]})",
         R"(b.json: unknown key "allowedOrigins"; the only key is "allowOrigins")"},
        {R"({"allowOrigins": []} // note)", "b.json is not a JSON object"},
        {R"({"allowOrigins": []} {})", "b.json is not a JSON object"},
        {R"({"allowOrigins": [], "allowOrigins": []})", "b.json is not a JSON object"},
        {std::string(100, '[') + std::string(100, ']'), "b.json is not a JSON object"},
        {R"(["https://desk.example.org"])", "b.json is not a JSON object"},
        {R"({"allowOrigins": "https://desk.example.org"})", R"(b.json: "allowOrigins" is not a list)"},
        {R"({"allowOrigins": ["https://*.example.org"]})",
         "b.json: not an origin (scheme://host[:port], no path, no wildcard): https://*.example.org"},
        {R"({"allowOrigins": [7]})", "b.json: not an origin (scheme://host[:port], no path, no wildcard): (not a text)"},
    };
    for (const auto& [text, why] : refused) {
        error.clear();
        EXPECT_EQ(parseAllowList(text, "b.json", error), std::nullopt) << text;
        EXPECT_EQ(error, why) << text;
    }
    // What allow-origin writes reads back.
    const std::vector<std::string> origins = {"https://desk.example.org", "http://[::1]:9000"};
    EXPECT_EQ(parseAllowList(allowListText(origins), "b.json", error), origins);
}

TEST(AllowList, AnEditOfTheSameSizeAndTimeIsSeen) {
    // A file system (or C runtime) whose times step by whole seconds gives
    // both versions the same time.
    testsupport::TempDir directory;
    const std::string path = directory / "bridge.json";
    testsupport::writeFile(path, R"({"allowOrigins": ["http://localhost:9000"]})");
    const auto time = std::filesystem::last_write_time(path);
    AllowListFiles files({path}, [](const std::string&) {});
    ASSERT_TRUE(files.load());
    testsupport::writeFile(path, R"({"allowOrigins": ["http://127.0.0.1:9000"]})");
    std::filesystem::last_write_time(path, time);
    EXPECT_TRUE(files.refresh(false));
    EXPECT_EQ(files.origins(), std::vector<std::string>{"http://127.0.0.1:9000"});
}

TEST(AllowList, PlainHttpPagesOfOtherComputersAreInsecure) {
    for (const char* origin : {"http://desk.example.org", "http://10.0.0.8:8080", "HTTP://Desk.Example.org:80",
                               "http://[fe80::1]", "http://127.example.org", "http://localhost.example"}) {
        EXPECT_TRUE(isInsecureRemoteOrigin(origin)) << origin;
    }
    for (const char* origin : {"https://desk.example.org", "http://localhost:9000", "http://127.0.0.1:9000",
                               "http://127.1.2.3", "http://[::1]:9000", "http://app.localhost", "not an origin"}) {
        EXPECT_FALSE(isInsecureRemoteOrigin(origin)) << origin;
    }
}

TEST(HostPolicy, OnlyLoopbackNamesWithTheServicePort) {
    for (const char* host : {"127.0.0.1:24010", "localhost:24010", "LocalHost:24010", "[::1]:24010"}) {
        EXPECT_TRUE(hostAllowed(host, 24010)) << host;
    }
    for (const char* host : {"127.0.0.1", "127.0.0.1:2401", "127.0.0.1:240100", "127.0.0.2:24010", "evil:24010",
                             "localhost.evil:24010", "[::1]", "[::2]:24010", "127.0.0.1:24010 ", ""}) {
        EXPECT_FALSE(hostAllowed(host, 24010)) << host;
    }
}

struct Case {
    const char* method;
    const char* target;
    const char* origin;  // null: none
    const char* type;    // null: none
    bool upgrade;
    Action action;
    int status;  // for refusals
    const char* detail;  // member or file
};

TEST(Routing, TheTableDecidesEveryRequest) {
    const OriginPolicy policy(8000, {"http://localhost:9000"});
    const Case cases[] = {
        {"POST", "/v1/call/readCert", nullptr, "application/json", false, Action::CallMember, 0, "readCert"},
        {"POST", "/v1/call/getSAMID?x=1", "http://localhost:9000", "Application/JSON; charset=utf-8", false,
         Action::CallMember, 0, "getSAMID"},
        {"POST", "/v1/call/AboutBox", nullptr, "application/json", false, Action::Refuse, 404, ""},
        {"POST", "/v1/call/", nullptr, "application/json", false, Action::Refuse, 404, ""},
        {"POST", "/v1/call/readCert", nullptr, "text/plain", false, Action::Refuse, 415, ""},
        {"POST", "/v1/call/readCert", nullptr, nullptr, false, Action::Refuse, 415, ""},
        {"POST", "/v1/call/readCert", "http://evil.example", "application/json", false, Action::Refuse, 403, ""},
        {"GET", "/v1/call/readCert", nullptr, nullptr, false, Action::Refuse, 405, ""},
        {"OPTIONS", "/v1/call/readCert", "http://localhost:9000", nullptr, false, Action::Preflight, 0, ""},
        {"OPTIONS", "/v1/call/readCert", "http://evil.example", nullptr, false, Action::Refuse, 403, ""},
        {"OPTIONS", "/v1/call/readCert", nullptr, nullptr, false, Action::Refuse, 405, ""},
        {"POST", "/v1/read", nullptr, "application/json", false, Action::Read, 0, ""},
        {"GET", "/v1/info", nullptr, nullptr, false, Action::Info, 0, ""},
        {"GET", "/v1/info/", nullptr, nullptr, false, Action::Refuse, 404, ""},
        {"GET", "/v1/events", "http://127.0.0.1:8000", nullptr, true, Action::Events, 0, ""},
        {"GET", "/v1/events", nullptr, nullptr, false, Action::Refuse, 426, ""},
        {"GET", "/v1/events", "http://evil.example", nullptr, true, Action::Refuse, 403, ""},
        {"GET", "/demo/", nullptr, nullptr, false, Action::StaticFile, 0, "demo/index.html"},
        {"HEAD", "/demo/app.js", nullptr, nullptr, false, Action::StaticFile, 0, "demo/app.js"},
        {"GET", "/demo/img/logo.svg", nullptr, nullptr, false, Action::StaticFile, 0, "demo/img/logo.svg"},
        {"GET", "/ivelcard.js", nullptr, nullptr, false, Action::StaticFile, 0, "ivelcard.js"},
        {"GET", "/demo/../secret.js", nullptr, nullptr, false, Action::Refuse, 404, ""},
        {"GET", "/demo/./index.html", nullptr, nullptr, false, Action::Refuse, 404, ""},
        {"GET", "/demo/../", nullptr, nullptr, false, Action::Refuse, 404, ""},
        {"GET", "/demo/a..b/x.js", nullptr, nullptr, false, Action::Refuse, 404, ""},
        {"GET", "/demo/sub/", nullptr, nullptr, false, Action::StaticFile, 0, "demo/sub/index.html"},
        {"GET", "/demo//index.html", nullptr, nullptr, false, Action::Refuse, 404, ""},
        {"GET", "/demo/%2e%2e/x.js", nullptr, nullptr, false, Action::Refuse, 400, ""},
        {"GET", "/demo\\..\\x.js", nullptr, nullptr, false, Action::Refuse, 400, ""},
        {"GET", "/demo/.env.js", nullptr, nullptr, false, Action::Refuse, 404, ""},
        {"GET", "/demo/run.sh", nullptr, nullptr, false, Action::Refuse, 404, ""},
        {"GET", "http://127.0.0.1:8000/v1/info", nullptr, nullptr, false, Action::Refuse, 400, ""},
        {"POST", "/demo/", nullptr, nullptr, false, Action::Refuse, 405, ""},
    };
    for (const Case& c : cases) {
        RequestFacts facts;
        facts.method = c.method;
        facts.target = c.target;
        facts.host = "127.0.0.1:8000";
        if (c.origin != nullptr) facts.origin = c.origin;
        if (c.type != nullptr) facts.contentType = c.type;
        facts.websocketUpgrade = c.upgrade;
        const Decision d = decide(facts, policy, 8000);
        SCOPED_TRACE(std::string(c.method) + " " + c.target);
        EXPECT_EQ(d.action, c.action);
        if (c.action == Action::Refuse) {
            EXPECT_EQ(refusalText(d.refusal).status, c.status);
        } else {
            // Only requests that pass carry CORS headers, and only for an Origin.
            EXPECT_EQ(d.corsAllowed, c.origin != nullptr);
        }
        if (c.action == Action::CallMember) {
            EXPECT_EQ(d.member, c.detail);
        }
        if (c.action == Action::StaticFile) {
            EXPECT_EQ(d.file, c.detail);
        }
    }
    // The Host comes first: a foreign one is refused whatever else is wrong.
    RequestFacts foreign;
    foreign.method = "GET";
    foreign.target = "/nowhere";
    foreign.host = "evil.example:8000";
    foreign.origin = "http://evil.example";
    EXPECT_EQ(refusalText(decide(foreign, policy, 8000).refusal).status, 421);
    foreign.host.reset();
    EXPECT_EQ(refusalText(decide(foreign, policy, 8000).refusal).status, 421);
}

TEST(Routing, MediaTypes) {
    EXPECT_EQ(mediaType("demo/index.HTML"), "text/html; charset=utf-8");
    EXPECT_EQ(mediaType("x.css"), "text/css; charset=utf-8");
    EXPECT_EQ(mediaType("ivelcard.d.ts"), "text/plain; charset=utf-8");
    EXPECT_EQ(mediaType("x.svg"), "image/svg+xml");
    EXPECT_EQ(mediaType("Makefile"), std::nullopt);
    EXPECT_EQ(mediaType("x.sh"), std::nullopt);
}

}  // namespace
}  // namespace bridge
