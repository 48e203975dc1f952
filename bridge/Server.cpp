#include "bridge/Server.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <exception>
#include <filesystem>
#include <fstream>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <thread>
#include <utility>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <json/json.h>

#include "bridge/Apartment.h"
#include "bridge/Json.h"
#include "bridge/Policy.h"
#include "control/Identifiers.h"
#include "platform/Access.h"
#include "platform/System.h"

// A WebSocket runs over the connection's stream with the bytes already read
// past its handshake in front (a client may send its first message in the
// same write as the handshake). Closing such a stream closes the TCP stream.
namespace boost::beast {
using PrefixedStream = buffered_read_stream<tcp_stream, flat_buffer>;
inline void teardown(role_type role, PrefixedStream& stream, error_code& ec) {
    teardown(role, stream.next_layer(), ec);
}
template <class Handler>
void async_teardown(role_type role, PrefixedStream& stream, Handler&& handler) {
    async_teardown(role, stream.next_layer(), std::forward<Handler>(handler));
}
}  // namespace boost::beast

namespace bridge {

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr std::size_t kHeaderLimit = 8 * 1024;
constexpr std::size_t kBodyLimit = 4 * 1024;
constexpr std::size_t kMessageLimit = 4 * 1024;
constexpr std::uintmax_t kStaticFileLimit = 1024 * 1024;
constexpr auto kHeaderTimeout = 5s;
constexpr auto kIdleTimeout = 30s;
// A client that does not take an answer within kWriteTimeout is dropped;
// after kStalledWrite its connection already counts as idle (it may make
// room for another client).
constexpr auto kWriteTimeout = 5s;
constexpr auto kStalledWrite = 1s;
// Requests a client may send ahead of its answers (HTTP pipelining); one
// that keeps sending without reading is dropped.
constexpr int kMaxPipelined = 8;
constexpr auto kShutdownGrace = 5s;
// How long a stop waits for the reader call in progress before the process
// ends without it.
constexpr auto kStopGrace = 10s;
// How long the start waits for the control before it serves without it.
constexpr auto kCreationPatience = std::chrono::milliseconds(3000);
constexpr int kExitSecondSignal = 2;
constexpr int kExitReaderStuck = 3;
constexpr std::size_t kMaxConnections = 64;
constexpr std::size_t kMaxQueuedCalls = 32;
// A WebSocket client that lets this many messages pile up is dropped.
constexpr std::size_t kMaxPendingMessages = 16;
// Calls one WebSocket may have waiting at a time: one client cannot fill the
// apartment's queue for everyone.
constexpr int kMaxCallsPerSocket = 4;
constexpr int kMinWatchIntervalMs = 200;
constexpr int kDefaultWatchIntervalMs = 500;
constexpr int kMaxWatchIntervalMs = 60000;
// While the same card stays on the reader the watch reads it this often at
// most; while reads fail, the reader's state is asked this often at most.
constexpr auto kSameCardInterval = 2s;
constexpr auto kReaderCheckInterval = 2s;
// Refusals logged per second at most; the others are counted.
constexpr int kRefusalLinesPerSecond = 10;
constexpr const char* kJsonType = "application/json; charset=utf-8";
constexpr const char* kServiceName = "ivelcard-bridge";
// Headers a request may give once only.
constexpr http::field kSingleFields[] = {http::field::host, http::field::origin, http::field::content_type};

std::string refusalBody(Refusal refusal, const std::string& reason = {}) {
    const RefusalText& text = refusalText(refusal);
    Json::Value body(Json::objectValue);
    body["error"] = text.error;
    body["reason"] = reason.empty() ? text.reason : reason;
    return compactJson(body);
}

// Text from a request made fit for a log line: printable ASCII only, short.
std::string loggable(std::string_view text, std::size_t limit = 120) {
    std::string out;
    for (const char c : text.substr(0, limit)) out.push_back(c > 0x20 && c < 0x7F ? c : '?');
    if (text.size() > limit) out += "...";
    return out.empty() ? "-" : out;
}

class Service;
class WsSession;

// A client connection as the service's registry sees it.
class Connection : public std::enable_shared_from_this<Connection> {
public:
    explicit Connection(Service& service);
    virtual ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Ends the connection now.
    virtual void close() = 0;
    bool closed() const { return closed_; }
    // Really idle: waiting for the client with nothing in progress (no
    // call, no watch), or stuck on a client that does not read.
    virtual bool idle() const = 0;
    Clock::time_point lastActive() const { return lastActive_; }

protected:
    void touch() { lastActive_ = Clock::now(); }

    Service& service_;
    bool closed_ = false;

private:
    Clock::time_point lastActive_ = Clock::now();
};

// What `stop` from onStarted reaches: the service while it runs, nothing
// after.
struct StopLink {
    std::mutex mutex;
    Service* service = nullptr;
};

// A static file as the disk thread found it.
struct StaticContent {
    std::optional<Refusal> refusal;  // NotFound or FileTooLarge
    std::string body;
};

// One watch poll's findings: the card's document (the same pointer while
// the same text comes back) and whether the reader answers.
struct PollResult {
    std::shared_ptr<const std::string> card;
    bool readerReady = true;
};

class Service {
public:
    explicit Service(const ServerOptions& options)
        : options_(options), apartment_(kMaxQueuedCalls), signals_(ioc_, SIGINT, SIGTERM), reloadSignal_(ioc_),
          watchTimer_(ioc_), graceTimer_(ioc_), stuckTimer_(ioc_) {}

    int run();

    asio::io_context& context() { return ioc_; }
    Apartment& apartment() { return apartment_; }
    const OriginPolicy& policy();
    // The reason given to a page of `origin` that is not allowed.
    std::string originRefusal(std::string_view origin) {
        return originRefusalReason(origin, policy(), options_.allowListPlaces);
    }
    unsigned short port() const { return port_; }
    bool stopping() const { return stopping_; }
    // /v1/info; the module's path only for the service's own pages and
    // local programs.
    std::string infoBody(bool withModule);

    // One line of output, through the log hook or to standard error.
    void say(std::string_view line) const {
        if (options_.log) return options_.log(line);
        std::fprintf(stderr, "%.*s\n", static_cast<int>(line.size()), line.data());
    }

    void enrol(const std::shared_ptr<Connection>& connection) { connections_[connection.get()] = connection; }
    void forget(Connection* connection) {
        connections_.erase(connection);
        // Once run() has returned, the timers may be gone before the
        // handlers that hold the last connections.
        if (stopping_ && connections_.empty() && !ended_) graceTimer_.cancel();
    }

    // One line per request (or WebSocket): method, path, origin, status,
    // milliseconds, then `note`. Refusals (HTTP 4xx and 5xx; a WebSocket's
    // close code is none) beyond kRefusalLinesPerSecond are counted, not
    // logged.
    void log(std::string_view method, std::string_view path, std::string_view origin, int status,
             Clock::time_point started, std::string_view note = {}) {
        if (status >= 400 && status < 600 && !refusalLineAllowed()) return;
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - started).count();
        char line[256];
        std::snprintf(line, sizeof line, "%s %s %s %d %.1fms", loggable(method, 16).c_str(), loggable(path).c_str(),
                      loggable(origin).c_str(), status, ms);
        say(std::string(line) + std::string(note));
    }

    // Reads a static file on the disk thread; `done` runs on the network
    // thread.
    void staticFile(const std::string& file, std::function<void(StaticContent)> done);

    void watch(const std::shared_ptr<WsSession>& session, int intervalMs);
    void unwatch(WsSession* session);
    bool watching(const WsSession* session) const { return watchers_.count(session) != 0; }
    // SIGINT, SIGTERM or `stop`: the first stops the service, the second
    // ends the process at once.
    void onStopRequest();

private:
    bool listen(std::string& error);
    void accept(tcp::acceptor& acceptor);
    void admit(tcp::socket socket);
    bool servesPeer(const tcp::socket& socket);
    void awaitSignal();
    void awaitReload();
    bool refusalLineAllowed();
    void reportDroppedRefusals();
    void schedulePoll();
    void poll();
    PollResult pollReader(Control& control);
    bool checkReader(Control& control, bool wasReady);
    void distribute(const PollResult& result);
    void learnReaderState(bool ready);
    void shutdown();
    void closeIdle(bool all);

    // Before the I/O context: handlers it still holds when it is destroyed
    // end connections, which leave this registry.
    std::map<Connection*, std::weak_ptr<Connection>> connections_;
    ServerOptions options_;
    asio::io_context ioc_{1};
    // Static files are read here, never on the network thread.
    asio::thread_pool disk_{1};
    std::optional<asio::executor_work_guard<asio::io_context::executor_type>> shutdownGuard_;
    Apartment apartment_;
    std::list<tcp::acceptor> acceptors_;
    asio::signal_set signals_;
    asio::signal_set reloadSignal_;
    std::optional<OriginPolicy> policy_;
    // The list policy_ was made from.
    std::shared_ptr<const std::vector<std::string>> policyOrigins_;
    unsigned short port_ = 0;
    bool stopping_ = false;
    bool ended_ = false;
    std::thread stopper_;
    Clock::time_point refusalWindow_{};
    int refusalLines_ = 0;
    int refusalsDropped_ = 0;

    struct Watcher {
        std::weak_ptr<WsSession> session;
        int intervalMs;
        std::shared_ptr<const std::string> lastCard;
        // A watch begins with the reader taken as ready: it hears "absent"
        // when it is not.
        bool readerReady = true;
    };
    std::map<WsSession*, Watcher, std::less<>> watchers_;
    asio::steady_timer watchTimer_;
    asio::steady_timer graceTimer_;
    asio::steady_timer stuckTimer_;
    int exitStatus_ = 0;
    bool polling_ = false;
    Clock::time_point lastPoll_{};
    // The last poll found the card of the poll before.
    bool sameCard_ = false;
    std::shared_ptr<const std::string> lastCard_;
    std::optional<bool> readerReady_;

    // Touched by the poll jobs only, on the apartment's thread.
    struct PollState {
        std::string lastText;
        std::shared_ptr<const std::string> lastCard;
        bool lastWasCard = false;
        bool readerReady = true;
        Clock::time_point lastCheck{};
    } pollState_;
};

Connection::Connection(Service& service) : service_(service) {}
Connection::~Connection() { service_.forget(this); }

// ---------------------------------------------------------------- WebSocket

class WsSession : public Connection {
public:
    // `leftover`: bytes the client sent after the handshake request.
    WsSession(Service& service, beast::tcp_stream&& stream, const beast::flat_buffer& leftover, std::string origin)
        : Connection(service), ws_(std::move(stream)), origin_(std::move(origin)) {
        auto& prefix = ws_.next_layer().buffer();
        prefix.commit(asio::buffer_copy(prefix.prepare(leftover.size()), leftover.data()));
    }

    void start(http::request<http::string_body> request) {
        beast::get_lowest_layer(ws_).expires_never();
        ws_.set_option(websocket::stream_base::timeout{kHeaderTimeout, kIdleTimeout, true});
        ws_.read_message_max(kMessageLimit);
        // The library's refusals become the service's: a JSON body, no
        // library version; the status is kept for the log.
        ws_.set_option(websocket::stream_base::decorator([this](websocket::response_type& response) {
            response.set(http::field::server, kServiceName);
            handshakeStatus_ = response.result_int();
            if (response.result() == http::status::switching_protocols) return;
            response.set(http::field::content_type, kJsonType);
            response.set(http::field::x_frame_options, "DENY");
            response.set("Content-Security-Policy", kFramingPolicy);
            response.body() = refusalBody(Refusal::BadHandshake);
            response.prepare_payload();
        }));
        opened_ = Clock::now();
        auto self = std::static_pointer_cast<WsSession>(shared_from_this());
        ws_.async_accept(request, [self](beast::error_code ec) {
            self->service_.log("GET", "/v1/events", self->origin_, self->handshakeStatus_, self->opened_);
            if (ec) return self->close();
            self->open_ = true;
            self->read();
        });
    }

    bool idle() const override {
        const bool stalled = writing_ && Clock::now() - writeStarted_ > kStalledWrite;
        return stalled || (callsInFlight_ == 0 && pending_.empty() && !service_.watching(this));
    }

    void close() override {
        if (closed_) return;
        closed_ = true;
        service_.unwatch(this);
        if (open_) {
            service_.log("WS", "/v1/events", origin_, 1000, opened_,
                         ": closed, " + std::to_string(received_) + " messages in, " + std::to_string(sent_) +
                             " out, " + std::to_string(refused_) + " refused");
        }
        beast::error_code ignored;
        beast::get_lowest_layer(ws_).socket().shutdown(tcp::socket::shutdown_both, ignored);
        beast::get_lowest_layer(ws_).close();
    }

    void send(std::shared_ptr<const std::string> message) {
        if (closed_) return;
        if (pending_.size() >= kMaxPendingMessages) return close();
        pending_.push_back(std::move(message));
        if (!writing_) writeNext();
    }

private:
    void read() {
        auto self = std::static_pointer_cast<WsSession>(shared_from_this());
        ws_.async_read(buffer_, [self](beast::error_code ec, std::size_t) {
            if (ec) return self->close();
            self->onMessage();
        });
    }

    void onMessage() {
        touch();
        ++received_;
        const std::string text = beast::buffers_to_string(buffer_.data());
        buffer_.consume(buffer_.size());
        const auto message = parseJson(text);
        Json::Value id;
        if (message && message->isObject()) id = (*message)["id"];
        if (!message || !message->isObject()) {
            reply(id, Refusal::MalformedBody);
        } else if (message->isMember("call")) {
            const Json::Value& member = (*message)["call"];
            if (!member.isString() || !isCallableMember(member.asString())) {
                reply(id, Refusal::UnknownMember);
            } else {
                call(id, member.asString());
            }
        } else if (message->isMember("watch") && (*message)["watch"].isBool()) {
            watchRequest(id, *message);
        } else {
            reply(id, Refusal::MalformedBody);
        }
        read();
    }

    void reply(const Json::Value& id, Refusal refusal) {
        const RefusalText& text = refusalText(refusal);
        Json::Value answer(Json::objectValue);
        answer["id"] = id;
        answer["error"] = text.error;
        answer["reason"] = text.reason;
        ++refused_;
        send(std::make_shared<const std::string>(compactJson(answer)));
    }

    void call(const Json::Value& id, const std::string& member) {
        if (callsInFlight_ >= kMaxCallsPerSocket) return reply(id, Refusal::QueueFull);
        ++callsInFlight_;
        auto self = std::static_pointer_cast<WsSession>(shared_from_this());
        asio::io_context& context = service_.context();
        const bool posted = service_.apartment().post([self, id, member, &context](Control* control) mutable {
            Control::Outcome outcome;
            if (control != nullptr) outcome = control->call(member);
            const bool stopped = control == nullptr;
            asio::post(context, [self = std::move(self), id, stopped, outcome = std::move(outcome)] {
                self->answer(id, stopped, outcome);
            });
        });
        if (!posted) {
            --callsInFlight_;
            reply(id, service_.stopping() ? Refusal::ShuttingDown : Refusal::QueueFull);
        }
    }

    void answer(const Json::Value& id, bool stopped, const Control::Outcome& outcome) {
        --callsInFlight_;
        touch();
        if (stopped) return reply(id, Refusal::ShuttingDown);
        if (!outcome.called) return reply(id, Refusal::ControlFailed);
        Json::Value message(Json::objectValue);
        message["id"] = id;
        message["document"] = outcome.document;
        send(std::make_shared<const std::string>(compactJson(message)));
    }

    void watchRequest(const Json::Value& id, const Json::Value& message) {
        Json::Value answer(Json::objectValue);
        answer["id"] = id;
        if (message["watch"].asBool()) {
            int interval = kDefaultWatchIntervalMs;
            if (message["intervalMs"].isInt()) interval = message["intervalMs"].asInt();
            interval = std::clamp(interval, kMinWatchIntervalMs, kMaxWatchIntervalMs);
            service_.watch(std::static_pointer_cast<WsSession>(shared_from_this()), interval);
            answer["watching"] = true;
            answer["intervalMs"] = interval;
        } else {
            service_.unwatch(this);
            answer["watching"] = false;
        }
        send(std::make_shared<const std::string>(compactJson(answer)));
    }

    void writeNext() {
        writing_ = true;
        writeStarted_ = Clock::now();
        ws_.text(true);
        auto self = std::static_pointer_cast<WsSession>(shared_from_this());
        ws_.async_write(asio::buffer(*pending_.front()), [self](beast::error_code ec, std::size_t) {
            self->writing_ = false;
            if (ec) return self->close();
            ++self->sent_;
            self->touch();
            self->pending_.pop_front();
            if (!self->pending_.empty()) self->writeNext();
        });
    }

    websocket::stream<beast::PrefixedStream> ws_;
    beast::flat_buffer buffer_;
    std::string origin_;
    std::deque<std::shared_ptr<const std::string>> pending_;
    bool writing_ = false;
    Clock::time_point writeStarted_{};
    int callsInFlight_ = 0;
    bool open_ = false;
    Clock::time_point opened_{};
    unsigned handshakeStatus_ = 0;
    unsigned long received_ = 0;
    unsigned long sent_ = 0;
    unsigned long refused_ = 0;
};

// --------------------------------------------------------------------- HTTP

class HttpSession : public Connection {
public:
    HttpSession(Service& service, tcp::socket socket, bool peerServed)
        : Connection(service), stream_(std::move(socket)), buffer_(kHeaderLimit + kBodyLimit),
          peerServed_(peerServed) {}

    void start() { readRequest(true); }

    bool idle() const override {
        return waiting_ || (writing_ && Clock::now() - writeStarted_ > kStalledWrite);
    }

    void close() override {
        if (closed_) return;
        closed_ = true;
        beast::error_code ignored;
        stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
        stream_.close();
    }

private:
    using Request = http::request<http::string_body>;
    using Response = http::response<http::string_body>;

    std::shared_ptr<HttpSession> self() { return std::static_pointer_cast<HttpSession>(shared_from_this()); }

    void readRequest(bool first) {
        waiting_ = true;
        touch();
        if (closed_) return;
        if (service_.stopping()) return close();
        // Bytes of the next request already here: the client sent it before
        // reading its answer. A few such requests in a row are served.
        pipelined_ = buffer_.size() > 0 ? pipelined_ + 1 : 0;
        if (pipelined_ > kMaxPipelined) return close();
        parser_.emplace();
        // The library's own header limit is loose: the exact one is
        // checked once the header is read.
        parser_->header_limit(kHeaderLimit + 1024);
        parser_->body_limit(kBodyLimit);
        if (first || buffer_.size() > 0) return readHeader();
        // Between requests the client may stay silent for the idle time;
        // once it starts a request, the header limit applies.
        stream_.expires_after(kIdleTimeout);
        stream_.async_read_some(buffer_.prepare(1024), [self = self()](beast::error_code ec, std::size_t n) {
            if (ec) return self->close();
            self->buffer_.commit(n);
            self->readHeader();
        });
    }

    void readHeader() {
        stream_.expires_after(kHeaderTimeout);
        http::async_read_header(stream_, buffer_, *parser_, [self = self()](beast::error_code ec, std::size_t n) {
            if (!ec && n > kHeaderLimit) ec = http::error::header_limit;
            if (ec || self->parser_->is_done()) return self->onRead(ec);
            http::async_read(self->stream_, self->buffer_, *self->parser_,
                             [self](beast::error_code bodyError, std::size_t) { self->onRead(bodyError); });
        });
    }

    void onRead(beast::error_code ec) {
        started_ = Clock::now();
        waiting_ = false;
        if (!ec) return handle(parser_->release());
        if (ec == http::error::end_of_stream || ec.category() != http::make_error_code(http::error::end_of_stream).category() ||
            ec == http::error::partial_message) {
            return close();  // the client went away or timed out
        }
        method_ = "-";
        path_ = "-";
        origin_ = "-";
        keepAlive_ = false;
        Refusal refusal = Refusal::MalformedRequest;
        if (ec == http::error::header_limit || ec == http::error::buffer_overflow) refusal = Refusal::HeadersTooLarge;
        if (ec == http::error::body_limit) refusal = Refusal::BodyTooLarge;
        if (parser_->is_header_done()) {
            method_ = std::string(parser_->get().method_string());
            path_ = std::string(parser_->get().target().substr(0, parser_->get().target().find('?')));
        }
        refuse(refusal, false);
    }

    void handle(Request request) {
        method_ = std::string(request.method_string());
        const std::string_view target = request.target();
        path_ = std::string(target.substr(0, target.find('?')));
        keepAlive_ = request.keep_alive();
        version_ = request.version();
        securityPolicy_ = kFramingPolicy;
        origin_ = request.count(http::field::origin) != 0 ? std::string(request[http::field::origin]) : "-";
        // Every request of the connection, the WebSocket handshake included.
        if (!peerServed_) {
            keepAlive_ = false;  // nothing on this connection will be served
            return refuse(Refusal::OtherUser, false);
        }
        for (const http::field field : kSingleFields) {
            if (request.count(field) > 1) return refuse(Refusal::DuplicateHeader, false);
        }
        RequestFacts facts;
        facts.method = request.method_string();
        facts.target = target;
        if (request.count(http::field::host) != 0) facts.host = request[http::field::host];
        if (request.count(http::field::origin) != 0) facts.origin = request[http::field::origin];
        if (request.count(http::field::content_type) != 0) facts.contentType = request[http::field::content_type];
        facts.websocketUpgrade = websocket::is_upgrade(request);
        const Decision decision = decide(facts, service_.policy(), service_.port());
        cors_ = decision.corsAllowed;
        securityPolicy_ = decision.securityPolicy;

        switch (decision.action) {
        case Action::Refuse:
            return refuse(decision.refusal, cors_, decision.allowedMethods);
        case Action::Preflight: {
            auto response = makeResponse(http::status::no_content, {}, {});
            response->set(http::field::access_control_allow_methods, decision.allowedMethods);
            response->set(http::field::access_control_allow_headers, "Content-Type");
            response->set(http::field::access_control_max_age, "600");
            return write(response);
        }
        case Action::Info:
            return write(makeResponse(http::status::ok, service_.infoBody(decision.ownPage), kJsonType));
        case Action::StaticFile: {
            const bool head = request.method() == http::verb::head;
            const std::string type(*mediaType(decision.file));
            return service_.staticFile(decision.file, [self = self(), head, type](StaticContent content) {
                if (self->closed_) return;
                if (content.refusal) return self->refuse(*content.refusal, self->cors_);
                const std::size_t size = content.body.size();
                auto response = self->makeResponse(http::status::ok, head ? std::string() : std::move(content.body), type);
                response->set(http::field::cache_control, "no-cache");
                if (head) response->content_length(size);
                self->write(response);
            });
        }
        case Action::Events: {
            auto session = std::make_shared<WsSession>(service_, std::move(stream_), buffer_, origin_);
            service_.enrol(session);
            closed_ = true;  // the stream now belongs to the WebSocket
            session->start(std::move(request));
            return;
        }
        case Action::CallMember:
        case Action::Read:
            if (!request.body().empty()) {
                const auto body = parseJson(request.body());
                if (!body || !body->isObject()) return refuse(Refusal::MalformedBody, cors_);
            }
            return call(decision.action == Action::Read ? std::string() : decision.member);
        }
    }

    // Posts the call to the apartment; an empty member is /v1/read.
    void call(const std::string& member) {
        asio::io_context& context = service_.context();
        const bool posted = service_.apartment().post([self = self(), member, &context](Control* control) mutable {
            Control::Outcome outcome;
            if (control != nullptr) outcome = member.empty() ? control->read() : control->call(member);
            const bool stopped = control == nullptr;
            asio::post(context, [self = std::move(self), stopped, outcome = std::move(outcome)] {
                if (stopped) return self->refuse(Refusal::ShuttingDown, self->cors_);
                if (!outcome.called) return self->refuse(Refusal::ControlFailed, self->cors_);
                self->write(self->makeResponse(http::status::ok, outcome.document, kJsonType));
            });
        });
        if (!posted) refuse(service_.stopping() ? Refusal::ShuttingDown : Refusal::QueueFull, cors_);
    }

    std::shared_ptr<Response> makeResponse(http::status status, std::string body, std::string_view type) {
        auto response = std::make_shared<Response>(status, version_);
        if (!type.empty()) response->set(http::field::content_type, type);
        if (cors_) response->set(http::field::access_control_allow_origin, origin_);
        response->set(http::field::vary, "Origin");
        response->set("X-Content-Type-Options", "nosniff");
        response->set(http::field::x_frame_options, "DENY");
        response->set("Content-Security-Policy", securityPolicy_);
        if (type == kJsonType) response->set(http::field::cache_control, "no-store");
        response->body() = std::move(body);
        response->prepare_payload();
        return response;
    }

    void refuse(Refusal refusal, bool cors, std::string_view allowedMethods = {}) {
        cors_ = cors;
        const RefusalText& text = refusalText(refusal);
        // A refused page hears, and the log says, how its origin is allowed.
        note_ = refusal == Refusal::OriginNotAllowed ? service_.originRefusal(origin_) : std::string();
        auto response = makeResponse(static_cast<http::status>(text.status), refusalBody(refusal, note_), kJsonType);
        if (refusal == Refusal::MethodNotAllowed && !allowedMethods.empty()) {
            response->set(http::field::allow, allowedMethods);
        }
        // After a request the service could not read, the stream is lost.
        if (text.status == 400 || text.status == 413 || text.status == 431) keepAlive_ = false;
        write(response);
    }

    void write(std::shared_ptr<Response> response) {
        response->keep_alive(keepAlive_ && !service_.stopping());
        writing_ = true;
        writeStarted_ = Clock::now();
        touch();
        stream_.expires_after(kWriteTimeout);
        http::async_write(stream_, *response, [self = self(), response](beast::error_code ec, std::size_t) {
            self->writing_ = false;
            self->service_.log(self->method_, self->path_, self->origin_, response->result_int(), self->started_,
                               self->note_.empty() ? std::string() : ": " + self->note_);
            self->note_.clear();
            if (ec || !response->keep_alive()) return self->close();
            self->readRequest(false);
        });
    }

    beast::tcp_stream stream_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    Clock::time_point started_ = Clock::now();
    std::string method_;
    std::string path_;
    std::string origin_;
    std::string_view securityPolicy_ = kFramingPolicy;
    bool keepAlive_ = true;
    bool cors_ = false;
    unsigned version_ = 11;
    bool waiting_ = true;
    bool writing_ = false;
    Clock::time_point writeStarted_{};
    int pipelined_ = 0;
    const bool peerServed_;
    std::string note_;
};

// ------------------------------------------------------------------ Service

void Service::staticFile(const std::string& file, std::function<void(StaticContent)> done) {
    asio::post(disk_, [this, file, done = std::move(done)]() mutable {
        namespace fs = std::filesystem;
        StaticContent content;
        content.refusal = Refusal::NotFound;
        std::error_code ec;
        const fs::path root = fs::canonical(options_.webRoot, ec);
        const fs::path path = ec ? fs::path() : fs::canonical(root / file, ec);
        // Nothing outside the web root, whatever links lie inside it.
        const fs::path inside = ec ? fs::path() : path.lexically_relative(root);
        if (!ec && !inside.empty() && *inside.begin() != ".." && fs::is_regular_file(path, ec)) {
            const std::uintmax_t size = fs::file_size(path, ec);
            if (!ec && size > kStaticFileLimit) {
                content.refusal = Refusal::FileTooLarge;
            } else if (!ec) {
                std::ifstream in(path, std::ios::binary);
                content.body.resize(static_cast<std::size_t>(size));
                in.read(content.body.data(), static_cast<std::streamsize>(size));
                if (in && in.peek() == std::char_traits<char>::eof()) content.refusal.reset();
            }
        }
        asio::post(ioc_, [done = std::move(done), content = std::move(content)]() mutable { done(std::move(content)); });
    });
}

namespace {

// The system's own errors in UTF-8 (Windows would give them in its code page).
std::string errorText(const beast::error_code& ec) {
    return ec.category() == boost::system::system_category() ? platform::systemErrorText(ec.value()) : ec.message();
}

// A listening socket holds its port alone (platform::prepareListeningSocket).
void prepare(tcp::acceptor& acceptor, beast::error_code& ec) {
    if (const int code = platform::prepareListeningSocket(static_cast<std::uintptr_t>(acceptor.native_handle()))) {
        ec.assign(code, boost::system::system_category());
    }
}

}  // namespace

bool Service::listen(std::string& error) {
    const std::string portText = std::to_string(options_.port);
    // Port 0 asks the system for a free port; [::1] then takes the same one
    // (or, when that is taken there, the pair is tried again).
    for (int attempt = 0; attempt < 8; ++attempt) {
        acceptors_.clear();
        beast::error_code ec;
        tcp::acceptor v4(ioc_);
        v4.open(tcp::v4(), ec);
        if (!ec) prepare(v4, ec);
        if (!ec) v4.bind({asio::ip::address_v4::loopback(), options_.port}, ec);
        if (!ec) v4.listen(asio::socket_base::max_listen_connections, ec);
        if (ec) {
            error = ec == asio::error::address_in_use ? "port " + portText + " is in use on 127.0.0.1"
                                                       : "cannot listen on 127.0.0.1:" + portText + ": " + errorText(ec);
            return false;
        }
        const unsigned short port = v4.local_endpoint().port();
        acceptors_.push_back(std::move(v4));
        tcp::acceptor v6(ioc_);
        v6.open(tcp::v6(), ec);
        if (!ec) v6.set_option(asio::ip::v6_only(true), ec);
        if (!ec) prepare(v6, ec);
        if (!ec) v6.bind({asio::ip::address_v6::loopback(), port}, ec);
        if (!ec) v6.listen(asio::socket_base::max_listen_connections, ec);
        if (ec == asio::error::address_in_use && options_.port == 0) continue;
        if (ec == asio::error::address_in_use) {
            error = "port " + portText + " is in use on [::1]";
            return false;
        }
        if (ec) {
            // A system without IPv6 on the loopback interface: 127.0.0.1 alone.
            say("ivelcard: not listening on [::1]: " + errorText(ec));
        } else {
            acceptors_.push_back(std::move(v6));
        }
        port_ = port;
        return true;
    }
    error = "no free port for both 127.0.0.1 and [::1]";
    return false;
}

void Service::accept(tcp::acceptor& acceptor) {
    acceptor.async_accept([this, &acceptor](beast::error_code ec, tcp::socket socket) {
        if (ec == asio::error::operation_aborted || stopping_) return;
        if (!ec) admit(std::move(socket));
        accept(acceptor);
    });
}

void Service::admit(tcp::socket socket) {
    beast::error_code ignored;
    socket.set_option(tcp::no_delay(true), ignored);
    std::size_t open = 0;
    std::shared_ptr<Connection> victim;
    for (const auto& [key, weak] : connections_) {
        const auto connection = weak.lock();
        if (!connection || connection->closed()) continue;
        ++open;
        if (!connection->idle()) continue;
        if (!victim || connection->lastActive() < victim->lastActive()) victim = connection;
    }
    if (open >= kMaxConnections) {
        // Room for the newcomer at the cost of the client idle longest; when
        // every connection is busy, the newcomer is turned away.
        if (!victim) return socket.close(ignored);
        victim->close();
    }
    const bool served = servesPeer(socket);
    auto session = std::make_shared<HttpSession>(*this, std::move(socket), served);
    enrol(session);
    session->start();
}

platform::TcpEndpoint endpointOf(const tcp::endpoint& endpoint) {
    platform::TcpEndpoint converted;
    converted.port = endpoint.port();
    converted.v6 = endpoint.address().is_v6();
    if (converted.v6) {
        const auto bytes = endpoint.address().to_v6().to_bytes();
        std::copy(bytes.begin(), bytes.end(), converted.address.begin());
    } else {
        const auto bytes = endpoint.address().to_v4().to_bytes();
        std::copy(bytes.begin(), bytes.end(), converted.address.begin());
    }
    return converted;
}

bool Service::servesPeer(const tcp::socket& socket) {
    if (options_.allowOtherUsers) return true;
    beast::error_code ec;
    const tcp::endpoint local = socket.local_endpoint(ec);
    const tcp::endpoint peer = ec ? tcp::endpoint() : socket.remote_endpoint(ec);
    std::string why = ec ? "the connection's addresses are unknown: " + errorText(ec) : std::string();
    const platform::PeerUser user =
        ec ? platform::PeerUser::Unknown : platform::peerUser(endpointOf(local), endpointOf(peer), why);
    if (user == platform::PeerUser::Unknown && refusalLineAllowed()) {
        say("ivelcard: refusing a connection whose user cannot be told (" + why + ")");
    }
    return user == platform::PeerUser::Same;
}

bool Service::refusalLineAllowed() {
    const auto now = Clock::now();
    if (now - refusalWindow_ >= 1s) {
        reportDroppedRefusals();
        refusalWindow_ = now;
        refusalLines_ = 0;
    }
    if (refusalLines_ < kRefusalLinesPerSecond) {
        ++refusalLines_;
        return true;
    }
    ++refusalsDropped_;
    return false;
}

void Service::reportDroppedRefusals() {
    if (refusalsDropped_ == 0) return;
    say("ivelcard: " + std::to_string(refusalsDropped_) + " more refusals not logged");
    refusalsDropped_ = 0;
}

void Service::watch(const std::shared_ptr<WsSession>& session, int intervalMs) {
    Watcher& watcher = watchers_[session.get()];
    watcher.session = session;
    watcher.intervalMs = intervalMs;
    schedulePoll();
}

void Service::unwatch(WsSession* session) {
    watchers_.erase(session);
    if (watchers_.empty()) watchTimer_.cancel();
}

void Service::schedulePoll() {
    if (polling_ || watchers_.empty() || stopping_) return;
    int intervalMs = kMaxWatchIntervalMs;
    for (const auto& [key, watcher] : watchers_) intervalMs = std::min(intervalMs, watcher.intervalMs);
    Clock::duration interval = std::chrono::milliseconds(intervalMs);
    // A card that stays is read again less often: each read of a card
    // costs the reader's time and the portrait's decoding.
    if (sameCard_) interval = std::max(interval, Clock::duration(kSameCardInterval));
    watchTimer_.expires_at(lastPoll_ + interval);
    watchTimer_.async_wait([this](beast::error_code ec) {
        if (ec) return;
        poll();
    });
}

void Service::poll() {
    if (watchers_.empty() || stopping_) return;
    polling_ = true;
    lastPoll_ = Clock::now();
    const bool posted = apartment_.post(
        [this](Control* control) {
            if (control == nullptr) return;  // stopping
            PollResult result = pollReader(*control);
            asio::post(ioc_, [this, result = std::move(result)] {
                polling_ = false;
                distribute(result);
                schedulePoll();
            });
        },
        Apartment::Priority::Background);
    if (!posted) {
        polling_ = false;
        schedulePoll();
    }
}

PollResult Service::pollReader(Control& control) {
    PollState& state = pollState_;
    PollResult result;
    if (!state.readerReady) {
        // Nothing to read while the reader is absent; it is looked for
        // again every kReaderCheckInterval.
        if (Clock::now() - state.lastCheck >= kReaderCheckInterval) {
            state.lastCheck = Clock::now();
            state.readerReady = checkReader(control, false);
        }
        if (!state.readerReady) {
            result.readerReady = false;
            return result;
        }
    }
    Control::Outcome read = control.read();
    // The control gives the same text while the same card stays: compared
    // first, parsed only when it changed.
    if (!read.called) {
        state.lastText.clear();
        state.lastWasCard = false;
    } else if (read.document != state.lastText) {
        state.lastWasCard = resultFlag(read.document) == 0;
        state.lastCard = state.lastWasCard ? std::make_shared<const std::string>(read.document) : nullptr;
        state.lastText = std::move(read.document);
    }
    if (state.lastWasCard) {
        result.card = state.lastCard;
        state.readerReady = true;
    } else if (Clock::now() - state.lastCheck >= kReaderCheckInterval) {
        state.lastCheck = Clock::now();
        state.readerReady = checkReader(control, state.readerReady);
    }
    result.readerReady = state.readerReady;
    return result;
}

bool Service::checkReader(Control& control, bool wasReady) {
    if (!wasReady) {
        // A reader plugged back may answer on another port: a new session.
        control.call("disconnect");
        control.call("connect");
    } else if (!control.sessionOpen()) {
        control.call("connect");
    }
    const Control::Outcome status = control.call("getStatus");
    return status.called && documentNumber(status.document, "status") == 0;
}

void Service::distribute(const PollResult& result) {
    learnReaderState(result.readerReady);
    sameCard_ = result.card && result.card == lastCard_;
    lastCard_ = result.card;
    std::shared_ptr<const std::string> cardEvent;
    if (result.card && !sameCard_) {
        Json::Value event(Json::objectValue);
        event["event"] = "card";
        event["document"] = *result.card;
        cardEvent = std::make_shared<const std::string>(compactJson(event));
    }
    static const auto removedEvent = std::make_shared<const std::string>(R"({"event":"removed"})");
    static const auto readyEvent = std::make_shared<const std::string>(R"({"event":"reader","state":"ready"})");
    static const auto absentEvent = std::make_shared<const std::string>(R"({"event":"reader","state":"absent"})");
    for (auto it = watchers_.begin(); it != watchers_.end();) {
        Watcher& watcher = it->second;
        const auto session = watcher.session.lock();
        if (!session) {
            it = watchers_.erase(it);
            continue;
        }
        ++it;
        // The reader's return is told before the card it finds, its loss
        // after the card's removal.
        const bool readerChanged = watcher.readerReady != result.readerReady;
        watcher.readerReady = result.readerReady;
        if (readerChanged && result.readerReady) session->send(readyEvent);
        if (result.card && watcher.lastCard != result.card) {
            watcher.lastCard = result.card;
            if (!cardEvent) {
                // A watcher that came while the card stayed.
                Json::Value event(Json::objectValue);
                event["event"] = "card";
                event["document"] = *result.card;
                cardEvent = std::make_shared<const std::string>(compactJson(event));
            }
            session->send(cardEvent);
        } else if (!result.card && watcher.lastCard) {
            watcher.lastCard.reset();
            session->send(removedEvent);
        }
        if (readerChanged && !result.readerReady) session->send(absentEvent);
    }
}

void Service::learnReaderState(bool ready) {
    if (readerReady_ == ready) return;
    readerReady_ = ready;
    if (options_.onReaderState) options_.onReaderState(ready ? "ready" : "absent");
}

void Service::closeIdle(bool all) {
    std::vector<std::shared_ptr<Connection>> toClose;
    for (const auto& [key, weak] : connections_) {
        if (auto connection = weak.lock(); connection && (all || connection->idle())) toClose.push_back(connection);
    }
    for (const auto& connection : toClose) connection->close();
}

void Service::onStopRequest() {
    if (!stopping_) return shutdown();
    say("ivelcard: stopped at once by a second signal");
    std::fflush(nullptr);
    std::_Exit(kExitSecondSignal);
}

void Service::shutdown() {
    if (stopping_) return;
    stopping_ = true;
    reportDroppedRefusals();
    say("ivelcard: stopping");
    beast::error_code ignored;
    for (tcp::acceptor& acceptor : acceptors_) acceptor.close(ignored);
    reloadSignal_.cancel(ignored);
    watchTimer_.cancel();
    watchers_.clear();
    closeIdle(false);
    shutdownGuard_.emplace(ioc_.get_executor());
    // A reader call that never returns would hold the stop forever: after
    // the grace the process ends without it.
    stuckTimer_.expires_after(kStopGrace);
    stuckTimer_.async_wait([this](beast::error_code ec) {
        if (ec) return;
        say("ivelcard: the reader call in progress did not return within " +
            std::to_string(std::chrono::seconds(kStopGrace).count()) + " s; ending without it");
        std::fflush(nullptr);
        std::_Exit(kExitReaderStuck);
    });
    // The apartment finishes the call in progress on its own thread while
    // this one delivers the answer; then the remaining connections close.
    stopper_ = std::thread([this] {
        apartment_.stop();
        asio::post(ioc_, [this] {
            stuckTimer_.cancel();
            shutdownGuard_.reset();
            closeIdle(false);
            graceTimer_.expires_after(kShutdownGrace);
            graceTimer_.async_wait([this](beast::error_code ec) {
                // The last wait for a signal ends with the connections.
                beast::error_code cancelled;
                signals_.cancel(cancelled);
                if (!ec) ioc_.stop();
            });
            if (connections_.empty()) graceTimer_.cancel();
        });
    });
}

const OriginPolicy& Service::policy() {
    auto current = options_.allowOrigins->get();
    if (!policy_ || current != policyOrigins_) {
        policy_.emplace(port_, *current);
        policyOrigins_ = std::move(current);
    }
    return *policy_;
}

std::string Service::infoBody(bool withModule) {
    Json::Value info(Json::objectValue);
    info["service"] = kServiceName;
    info["version"] = IVELCARD_VERSION;
    if (withModule) info["module"] = options_.module.path;
    info["progId"] = control::kControlProgId;
    info["virtualReader"] = options_.virtualReader;
    info["allowOrigins"] = Json::Value(Json::arrayValue);
    for (const std::string& origin : policy().origins()) info["allowOrigins"].append(origin);
    return compactJson(info);
}

void Service::awaitSignal() {
    signals_.async_wait([this](beast::error_code ec, int) {
        if (ec) return;
        onStopRequest();
        awaitSignal();
    });
}

void Service::awaitReload() {
    reloadSignal_.async_wait([this](beast::error_code ec, int) {
        if (ec || stopping_) return;
        options_.onReload();
        awaitReload();
    });
}

int Service::run() {
    std::string error;
    if (!listen(error)) {
        say("ivelcard: " + error);
        return 1;
    }
    // A control that shows a message while it is created (a reader library
    // that cannot be loaded) waits for the person at the desk: the service
    // answers meanwhile, and calls wait for the control.
    const bool created = apartment_.start(options_.module, error, kCreationPatience, [this](const std::string& late) {
        asio::post(ioc_, [this, late] {
            say("ivelcard: " + late);
            exitStatus_ = 1;
            shutdown();
        });
    });
    if (!created) {
        say("ivelcard: " + error);
        return 1;
    }
    if (apartment_.creating()) {
        say("ivelcard: the control is still being created (it may be showing a message); serving meanwhile");
    }
    const auto link = std::make_shared<StopLink>();
    link->service = this;

    for (tcp::acceptor& acceptor : acceptors_) accept(acceptor);
    awaitSignal();
#if defined(SIGHUP)
    // SIGHUP asks for the configuration to be read again (POSIX only).
    if (options_.onReload) {
        beast::error_code ec;
        reloadSignal_.add(SIGHUP, ec);
        if (!ec) awaitReload();
    }
#endif
    if (options_.onReaderState) {
        // The reader's state at start, for whoever shows it; the session
        // opened to ask is closed again, as a page expects to find it.
        apartment_.post(
            [this](Control* control) {
                if (control == nullptr) return;
                const bool ready = checkReader(*control, true);
                control->call("disconnect");
                asio::post(ioc_, [this, ready] { learnReaderState(ready); });
            },
            Apartment::Priority::Background);
    }
    // A person starting the service learns at once that no real reader is behind it.
    if (options_.virtualReader) say("ivelcard: virtual reader: reads a sample card, not a real reader");
    say("ivelcard: serving on http://127.0.0.1:" + std::to_string(port_) + "/" +
        (acceptors_.size() > 1 ? " and http://[::1]:" + std::to_string(port_) + "/" : std::string()) +
        " (demo page: http://127.0.0.1:" + std::to_string(port_) + "/demo/)");
    if (options_.onStarted) {
        options_.onStarted(port_, [link] {
            std::lock_guard lock(link->mutex);
            if (link->service == nullptr) return;
            asio::post(link->service->context(), [service = link->service] { service->onStopRequest(); });
        });
    }
    // A handler that throws is a fault of this service, not a reason to
    // drop every client: said, and the service goes on.
    for (;;) {
        try {
            ioc_.run();
            break;
        } catch (const std::exception& e) {
            say(std::string("ivelcard: internal error: ") + e.what());
        }
    }
    {
        std::lock_guard lock(link->mutex);
        link->service = nullptr;
    }
    ended_ = true;
    disk_.join();
    if (stopper_.joinable()) stopper_.join();
    apartment_.stop();
    say("ivelcard: stopped");
    return exitStatus_;
}

}  // namespace

AllowedOrigins::AllowedOrigins(std::vector<std::string> origins)
    : origins_(std::make_shared<const std::vector<std::string>>(std::move(origins))) {}

void AllowedOrigins::set(std::vector<std::string> origins) {
    auto list = std::make_shared<const std::vector<std::string>>(std::move(origins));
    std::lock_guard lock(mutex_);
    origins_ = std::move(list);
}

std::shared_ptr<const std::vector<std::string>> AllowedOrigins::get() const {
    std::lock_guard lock(mutex_);
    return origins_;
}

int runServer(const ServerOptions& options) {
    Service service(options);
    return service.run();
}

}  // namespace bridge
