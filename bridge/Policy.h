// The bridge's gatekeeping, as pure functions of a request's facts: which
// Host names the service answers to, which page origins may use it, and
// which action (or which refusal) a request maps to. No I/O, no state, so
// the same decisions can be fuzzed and tested without a network.
//
// Order of the checks: Host (421), target shape (400), Origin (403), route
// (404), method (405), member (404), content type (415), WebSocket upgrade
// (426). A request that passes is one of the actions below.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace bridge {

// The refusals the service gives, each with its HTTP status, its "error"
// key and its "reason" text.
enum class Refusal {
    BadHost,
    BadTarget,
    OriginNotAllowed,
    NotFound,
    UnknownMember,
    MethodNotAllowed,
    UnsupportedMediaType,
    UpgradeRequired,
    MalformedBody,
    BodyTooLarge,
    HeadersTooLarge,
    MalformedRequest,
    QueueFull,
    ShuttingDown,
    ControlFailed,
    BadHandshake,
    FileTooLarge,
    DuplicateHeader,
};

// The Content-Security-Policy of every answer but the demo's: no page may
// frame the service (a framed demo page could be clicked through by a
// foreign site).
inline constexpr std::string_view kFramingPolicy = "frame-ancestors 'none'";

struct RefusalText {
    int status;
    const char* error;
    const char* reason;
};
const RefusalText& refusalText(Refusal refusal);

// The allowed page origins: the service's own (http://127.0.0.1:PORT,
// http://localhost:PORT, http://[::1]:PORT) and the configured ones.
class OriginPolicy {
public:
    OriginPolicy(unsigned short port, const std::vector<std::string>& configured);

    bool allows(std::string_view origin) const;
    // Whether `origin` is one of the service's own (its pages).
    bool isOwn(std::string_view origin) const;
    // Every allowed origin, the service's own first.
    const std::vector<std::string>& origins() const { return origins_; }

    // `origin` in the form browsers send (scheme "http" or "https", a host,
    // an optional port, nothing else), scheme and host lowercased and a
    // default port dropped; nothing when it is no such origin.
    static std::optional<std::string> normalise(std::string_view origin);

private:
    static constexpr std::size_t kOwnOrigins = 3;
    std::vector<std::string> origins_;
};

// Whether `host` (the Host header) names this service on `port`:
// 127.0.0.1:PORT, localhost:PORT or [::1]:PORT.
bool hostAllowed(std::string_view host, unsigned short port);

// The facts of a request that the decision depends on.
struct RequestFacts {
    std::string_view method;
    std::string_view target;
    std::optional<std::string_view> host;
    std::optional<std::string_view> origin;
    std::optional<std::string_view> contentType;
    bool websocketUpgrade = false;
};

enum class Action {
    Refuse,
    Preflight,   // answer an allowed origin's CORS preflight
    CallMember,  // call `member` on the control
    Read,        // connect when needed, then readCert
    Info,
    Events,      // WebSocket upgrade
    StaticFile,  // serve `file` (relative to the web root)
};

struct Decision {
    Action action = Action::Refuse;
    Refusal refusal = Refusal::NotFound;
    std::string member;
    std::string file;
    // The methods of the route (for 405 and preflight answers).
    std::string_view allowedMethods;
    // The request's Origin, allowed: the answer carries CORS headers for it.
    bool corsAllowed = false;
    // The Content-Security-Policy of the answer.
    std::string_view securityPolicy = kFramingPolicy;
    // The service's own page or a program without Origin: it may learn
    // where the module lives.
    bool ownPage = false;
};

Decision decide(const RequestFacts& request, const OriginPolicy& policy, unsigned short port);

// The control's members a page may call.
bool isCallableMember(std::string_view member);

// The media type served for a file name, or nothing for a type the service
// does not serve.
std::optional<std::string_view> mediaType(std::string_view fileName);

}  // namespace bridge
