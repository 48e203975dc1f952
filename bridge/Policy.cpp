#include "bridge/Policy.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>

namespace bridge {

namespace {

constexpr RefusalText kRefusals[] = {
    {421, "bad-host", "the Host header does not name this service on the loopback interface"},
    {400, "bad-target", "the request target is not a plain path"},
    {403, "origin-not-allowed", "this page's origin is not on the service's allow-list"},
    {404, "not-found", "no such resource"},
    {404, "unknown-member", "the control has no such member"},
    {405, "method-not-allowed", "this resource does not answer that method"},
    {415, "unsupported-media-type", "calls take a JSON body (Content-Type: application/json)"},
    {426, "upgrade-required", "this resource is a WebSocket"},
    {400, "malformed-body", "the body is not a JSON object"},
    {413, "body-too-large", "the body is larger than 4 KiB"},
    {431, "headers-too-large", "the request line and headers are larger than 8 KiB"},
    {400, "malformed-request", "the request is not valid HTTP/1.1"},
    {503, "queue-full", "too many calls are waiting for the reader"},
    {503, "shutting-down", "the service is stopping"},
    {500, "control-failed", "the control could not be called"},
    {400, "bad-handshake", "the WebSocket handshake is not valid (version 13, with a key)"},
    {500, "file-too-large", "the file is larger than the service serves (1 MiB)"},
    {400, "duplicate-header", "the request gives Host, Origin or Content-Type more than once"},
};
static_assert(std::size(kRefusals) == static_cast<std::size_t>(Refusal::DuplicateHeader) + 1);

// The demo page may load only its own files and talk only to its own origin
// or to a bridge on 127.0.0.1.
constexpr std::string_view kDemoPolicy =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
    "connect-src 'self' http://127.0.0.1:* ws://127.0.0.1:*; base-uri 'none'; form-action 'none'; "
    "frame-ancestors 'none'";

constexpr std::string_view kMembers[] = {"connect", "disconnect", "getStatus", "getSAMID", "readCert"};

// The service's resources. A prefix route matches every path below it.
struct Route {
    std::string_view path;
    bool prefix;
    std::string_view methods;
    Action action;
    std::string_view directory;  // static routes: where the files live
    std::string_view securityPolicy = kFramingPolicy;
};
constexpr Route kRoutes[] = {
    {"/v1/call/", true, "POST", Action::CallMember, {}},
    {"/v1/read", false, "POST", Action::Read, {}},
    {"/v1/info", false, "GET", Action::Info, {}},
    {"/v1/events", false, "GET", Action::Events, {}},
    {"/demo/", true, "GET, HEAD", Action::StaticFile, "demo/", kDemoPolicy},
    {"/ivelcard.js", false, "GET, HEAD", Action::StaticFile, {}},
    {"/ivelcard.d.ts", false, "GET, HEAD", Action::StaticFile, {}},
};

struct MediaType {
    std::string_view extension;
    std::string_view type;
};
constexpr MediaType kMediaTypes[] = {
    {".html", "text/html; charset=utf-8"},  {".js", "text/javascript; charset=utf-8"},
    {".mjs", "text/javascript; charset=utf-8"}, {".css", "text/css; charset=utf-8"},
    {".ts", "text/plain; charset=utf-8"},   {".json", "application/json; charset=utf-8"},
    {".svg", "image/svg+xml"},              {".png", "image/png"},
    {".jpg", "image/jpeg"},                 {".ico", "image/x-icon"},
};

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

std::string lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

// A decimal port 1..65535 without sign or leading zeros.
std::optional<unsigned> parsePort(std::string_view text) {
    if (text.empty() || text.size() > 5 || text[0] == '0') return std::nullopt;
    unsigned value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value == 0 || value > 65535) return std::nullopt;
    return value;
}

bool isHostCharacter(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' || c == '.';
}

// One path segment of a static file: letters, digits, '-', '_' and '.',
// not starting with '.' (no "..", no hidden files).
bool isPlainSegment(std::string_view segment) {
    // No hidden names and no "..", not even inside a name: nothing the web
    // root serves needs one, and it keeps every served path obviously inside.
    if (segment.empty() || segment.front() == '.' || segment.find("..") != std::string_view::npos) return false;
    return std::all_of(segment.begin(), segment.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' || c == '_' || c == '.';
    });
}

// A relative file path under a static route; empty when not plain. A path
// that ends in '/' names the directory's "index.html".
std::string staticFile(std::string_view directory, std::string_view rest) {
    std::string_view remaining = rest;
    while (!remaining.empty()) {
        const std::size_t slash = remaining.find('/');
        if (!isPlainSegment(remaining.substr(0, slash))) return {};
        if (slash == std::string_view::npos) break;
        remaining.remove_prefix(slash + 1);
    }
    if (rest.empty() || rest.back() == '/') {
        if (directory.empty() && rest.empty()) return {};
        return std::string(directory) + std::string(rest) + "index.html";
    }
    return std::string(directory) + std::string(rest);
}

bool isJsonContentType(std::string_view type) {
    const std::size_t semicolon = type.find(';');
    std::string_view essence = type.substr(0, semicolon);
    while (!essence.empty() && essence.back() == ' ') essence.remove_suffix(1);
    return equalsIgnoringCase(essence, "application/json");
}

Decision refuse(Refusal refusal, bool corsAllowed = false, std::string_view methods = {}) {
    Decision d;
    d.action = Action::Refuse;
    d.refusal = refusal;
    d.corsAllowed = corsAllowed;
    d.allowedMethods = methods;
    return d;
}

bool methodListed(std::string_view methods, std::string_view method) {
    while (!methods.empty()) {
        const std::size_t comma = methods.find(',');
        std::string_view one = methods.substr(0, comma);
        while (!one.empty() && one.front() == ' ') one.remove_prefix(1);
        if (one == method) return true;
        if (comma == std::string_view::npos) break;
        methods.remove_prefix(comma + 1);
    }
    return false;
}

}  // namespace

const RefusalText& refusalText(Refusal refusal) { return kRefusals[static_cast<std::size_t>(refusal)]; }

bool isCallableMember(std::string_view member) {
    return std::find(std::begin(kMembers), std::end(kMembers), member) != std::end(kMembers);
}

std::optional<std::string_view> mediaType(std::string_view fileName) {
    const std::size_t dot = fileName.rfind('.');
    if (dot == std::string_view::npos) return std::nullopt;
    const std::string extension = lower(fileName.substr(dot));
    for (const MediaType& type : kMediaTypes) {
        if (type.extension == extension) return type.type;
    }
    return std::nullopt;
}

std::optional<std::string> OriginPolicy::normalise(std::string_view origin) {
    const std::size_t schemeEnd = origin.find("://");
    if (schemeEnd == std::string_view::npos) return std::nullopt;
    const std::string scheme = lower(origin.substr(0, schemeEnd));
    if (scheme != "http" && scheme != "https") return std::nullopt;
    std::string_view authority = origin.substr(schemeEnd + 3);
    if (authority.empty()) return std::nullopt;
    std::string host;
    std::string_view portText;
    if (authority.front() == '[') {
        const std::size_t close = authority.find(']');
        if (close == std::string_view::npos) return std::nullopt;
        const std::string_view inside = authority.substr(1, close - 1);
        if (inside.empty() || !std::all_of(inside.begin(), inside.end(), [](char c) {
                return std::isxdigit(static_cast<unsigned char>(c)) != 0 || c == ':' || c == '.';
            })) {
            return std::nullopt;
        }
        host = "[" + lower(inside) + "]";
        authority.remove_prefix(close + 1);
        if (!authority.empty()) {
            if (authority.front() != ':') return std::nullopt;
            portText = authority.substr(1);
            if (portText.empty()) return std::nullopt;
        }
    } else {
        const std::size_t colon = authority.find(':');
        const std::string_view name = authority.substr(0, colon);
        if (name.empty() || name.front() == '.' || name.front() == '-' ||
            !std::all_of(name.begin(), name.end(), isHostCharacter)) {
            return std::nullopt;
        }
        host = lower(name);
        if (colon != std::string_view::npos) {
            portText = authority.substr(colon + 1);
            if (portText.empty()) return std::nullopt;
        }
    }
    std::string result = scheme + "://" + host;
    if (!portText.empty()) {
        const auto port = parsePort(portText);
        if (!port) return std::nullopt;
        const unsigned defaultPort = scheme == "http" ? 80 : 443;
        if (*port != defaultPort) result += ":" + std::to_string(*port);
    }
    return result;
}

OriginPolicy::OriginPolicy(unsigned short port, const std::vector<std::string>& configured) {
    const std::string suffix = ":" + std::to_string(port);
    origins_ = {"http://127.0.0.1" + suffix, "http://localhost" + suffix, "http://[::1]" + suffix};
    for (const std::string& origin : configured) {
        const auto normal = normalise(origin);
        if (normal && std::find(origins_.begin(), origins_.end(), *normal) == origins_.end()) {
            origins_.push_back(*normal);
        }
    }
}

bool OriginPolicy::isOwn(std::string_view origin) const {
    const auto normal = normalise(origin);
    return normal && std::find(origins_.begin(), origins_.begin() + kOwnOrigins, *normal) != origins_.begin() + kOwnOrigins;
}

bool OriginPolicy::allows(std::string_view origin) const {
    const auto normal = normalise(origin);
    return normal && std::find(origins_.begin(), origins_.end(), *normal) != origins_.end();
}

bool hostAllowed(std::string_view host, unsigned short port) {
    const std::string suffix = ":" + std::to_string(port);
    for (const std::string_view name : {"127.0.0.1", "localhost", "[::1]"}) {
        if (host.size() == name.size() + suffix.size() && equalsIgnoringCase(host.substr(0, name.size()), name) &&
            host.substr(name.size()) == suffix) {
            return true;
        }
    }
    return false;
}

Decision decide(const RequestFacts& request, const OriginPolicy& policy, unsigned short port) {
    if (!request.host || !hostAllowed(*request.host, port)) return refuse(Refusal::BadHost);

    std::string_view path = request.target;
    if (const std::size_t query = path.find('?'); query != std::string_view::npos) path = path.substr(0, query);
    if (path.empty() || path.front() != '/' || path.size() > 256 ||
        !std::all_of(path.begin(), path.end(), [](char c) {
            return c > 0x20 && c < 0x7F && c != '%' && c != '\\';
        })) {
        return refuse(Refusal::BadTarget);
    }

    const bool corsAllowed = request.origin.has_value();
    if (request.origin && !policy.allows(*request.origin)) return refuse(Refusal::OriginNotAllowed);

    const Route* route = nullptr;
    for (const Route& candidate : kRoutes) {
        if (candidate.prefix ? path.substr(0, candidate.path.size()) == candidate.path : path == candidate.path) {
            route = &candidate;
            break;
        }
    }
    if (route == nullptr) return refuse(Refusal::NotFound, corsAllowed);
    const std::string_view rest = path.substr(route->path.size());

    if (request.method == "OPTIONS") {
        // Only an allowed page asks for a preflight; other programs need none.
        if (!request.origin) return refuse(Refusal::MethodNotAllowed, false, route->methods);
        Decision d;
        d.action = Action::Preflight;
        d.allowedMethods = route->methods;
        d.corsAllowed = true;
        return d;
    }
    if (!methodListed(route->methods, request.method)) {
        return refuse(Refusal::MethodNotAllowed, corsAllowed, route->methods);
    }

    Decision d;
    d.action = route->action;
    d.allowedMethods = route->methods;
    d.corsAllowed = corsAllowed;
    d.securityPolicy = route->securityPolicy;
    d.ownPage = !request.origin || policy.isOwn(*request.origin);
    switch (route->action) {
    case Action::CallMember:
        if (!isCallableMember(rest)) return refuse(Refusal::UnknownMember, corsAllowed);
        d.member = std::string(rest);
        [[fallthrough]];
    case Action::Read:
        if (!request.contentType || !isJsonContentType(*request.contentType)) {
            return refuse(Refusal::UnsupportedMediaType, corsAllowed);
        }
        break;
    case Action::Events:
        if (!request.websocketUpgrade) return refuse(Refusal::UpgradeRequired, corsAllowed);
        break;
    case Action::StaticFile: {
        d.file = route->prefix ? staticFile(route->directory, rest) : std::string(route->path.substr(1));
        if (d.file.empty() || !mediaType(d.file)) return refuse(Refusal::NotFound, corsAllowed);
        break;
    }
    default:
        break;
    }
    return d;
}

}  // namespace bridge
