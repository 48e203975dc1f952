#include "bridge/Server.h"

#include <chrono>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <fstream>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
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

namespace bridge {

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kHeaderLimit = 8 * 1024;
constexpr std::size_t kBodyLimit = 4 * 1024;
constexpr std::size_t kMessageLimit = 4 * 1024;
constexpr auto kHeaderTimeout = std::chrono::seconds(5);
constexpr auto kIdleTimeout = std::chrono::seconds(30);
constexpr auto kWriteTimeout = std::chrono::seconds(30);
constexpr auto kShutdownGrace = std::chrono::seconds(5);
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
constexpr const char* kJsonType = "application/json; charset=utf-8";
constexpr const char* kServiceName = "ivelcard-bridge";

std::string refusalBody(Refusal refusal) {
    const RefusalText& text = refusalText(refusal);
    Json::Value body(Json::objectValue);
    body["error"] = text.error;
    body["reason"] = text.reason;
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
    // Idle: waiting for the client, no call in progress, nothing to send.
    bool idle() const { return idle_; }
    // A WebSocket stays open by design; it makes room only after every
    // idle HTTP connection has.
    virtual bool longLived() const { return false; }
    Clock::time_point lastActive() const { return lastActive_; }

protected:
    void setIdle(bool idle) {
        idle_ = idle;
        lastActive_ = Clock::now();
    }

    Service& service_;
    bool closed_ = false;

private:
    bool idle_ = true;
    Clock::time_point lastActive_ = Clock::now();
};

// What `stop` from onStarted reaches: the service while it runs, nothing
// after.
struct StopLink {
    std::mutex mutex;
    Service* service = nullptr;
};

class Service {
public:
    explicit Service(const ServerOptions& options)
        : options_(options), apartment_(kMaxQueuedCalls), signals_(ioc_, SIGINT, SIGTERM), reloadSignal_(ioc_),
          watchTimer_(ioc_), graceTimer_(ioc_) {}

    int run();

    asio::io_context& context() { return ioc_; }
    Apartment& apartment() { return apartment_; }
    const OriginPolicy& policy();
    unsigned short port() const { return port_; }
    bool stopping() const { return stopping_; }
    std::string infoBody();

    // One line of output, through the log hook or to standard error.
    void say(std::string_view line) const {
        if (options_.log) return options_.log(line);
        std::fprintf(stderr, "%.*s\n", static_cast<int>(line.size()), line.data());
    }

    void enrol(const std::shared_ptr<Connection>& connection) { connections_[connection.get()] = connection; }
    void forget(Connection* connection) {
        connections_.erase(connection);
        if (stopping_ && connections_.empty()) graceTimer_.cancel();
    }

    void log(std::string_view method, std::string_view path, std::string_view origin, int status,
             Clock::time_point started) const {
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - started).count();
        char line[512];
        std::snprintf(line, sizeof line, "%s %s %s %d %.1fms", loggable(method, 16).c_str(), loggable(path).c_str(),
                      loggable(origin).c_str(), status, ms);
        say(line);
    }

    // A static file's content, or nothing.
    std::optional<std::string> staticFile(const std::string& file) const;

    void watch(const std::shared_ptr<WsSession>& session, int intervalMs);
    void unwatch(WsSession* session);

private:
    bool listen(std::string& error);
    void accept(tcp::acceptor& acceptor);
    void admit(tcp::socket socket);
    void schedulePoll();
    void poll();
    void distribute(const Control::Outcome& outcome);
    void shutdown();
    void awaitReload();
    void learnReaderState(bool ready);
    void closeIdle(bool all);

    // Before the I/O context: handlers it still holds when it is destroyed
    // end connections, which leave this registry.
    std::map<Connection*, std::weak_ptr<Connection>> connections_;
    ServerOptions options_;
    asio::io_context ioc_{1};
    std::optional<asio::executor_work_guard<asio::io_context::executor_type>> shutdownGuard_;
    Apartment apartment_;
    std::list<tcp::acceptor> acceptors_;
    asio::signal_set signals_;
    asio::signal_set reloadSignal_;
    std::optional<OriginPolicy> policy_;
    // The list policy_ was made from.
    std::shared_ptr<const std::vector<std::string>> policyOrigins_;
    unsigned short port_ = 0;
    std::optional<bool> readerReady_;
    bool stopping_ = false;
    std::thread stopper_;

    struct Watcher {
        std::weak_ptr<WsSession> session;
        int intervalMs;
        std::shared_ptr<const std::string> lastCard;
    };
    std::map<WsSession*, Watcher> watchers_;
    asio::steady_timer watchTimer_;
    asio::steady_timer graceTimer_;
    bool polling_ = false;
    Clock::time_point lastPoll_{};
};

Connection::Connection(Service& service) : service_(service) {}
Connection::~Connection() { service_.forget(this); }

// ---------------------------------------------------------------- WebSocket

class WsSession : public Connection {
public:
    WsSession(Service& service, beast::tcp_stream&& stream, std::string origin)
        : Connection(service), ws_(std::move(stream)), origin_(std::move(origin)) {}

    void start(http::request<http::string_body> request) {
        beast::get_lowest_layer(ws_).expires_never();
        ws_.set_option(websocket::stream_base::timeout{kHeaderTimeout, kIdleTimeout, true});
        ws_.read_message_max(kMessageLimit);
        const auto started = Clock::now();
        auto self = std::static_pointer_cast<WsSession>(shared_from_this());
        ws_.async_accept(request, [self, started](beast::error_code ec) {
            self->service_.log("GET", "/v1/events", self->origin_, ec ? 400 : 101, started);
            if (ec) return self->close();
            self->read();
        });
    }

    bool longLived() const override { return true; }

    void close() override {
        if (closed_) return;
        closed_ = true;
        service_.unwatch(this);
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
        const std::string text = beast::buffers_to_string(buffer_.data());
        buffer_.consume(buffer_.size());
        const auto started = Clock::now();
        const auto message = parseJson(text);
        Json::Value id;
        if (message && message->isObject()) id = (*message)["id"];
        if (!message || !message->isObject()) {
            reply(id, Refusal::MalformedBody, "-", started);
        } else if (message->isMember("call")) {
            const Json::Value& member = (*message)["call"];
            if (!member.isString() || !isCallableMember(member.asString())) {
                reply(id, Refusal::UnknownMember, "-", started);
            } else {
                call(id, member.asString(), started);
            }
        } else if (message->isMember("watch") && (*message)["watch"].isBool()) {
            watchRequest(id, *message, started);
        } else {
            reply(id, Refusal::MalformedBody, "-", started);
        }
        read();
    }

    void reply(const Json::Value& id, Refusal refusal, std::string_view what, Clock::time_point started) {
        const RefusalText& text = refusalText(refusal);
        Json::Value answer(Json::objectValue);
        answer["id"] = id;
        answer["error"] = text.error;
        answer["reason"] = text.reason;
        send(std::make_shared<const std::string>(compactJson(answer)));
        service_.log("WS", "/v1/events#" + std::string(what), origin_, text.status, started);
    }

    void call(const Json::Value& id, const std::string& member, Clock::time_point started) {
        if (callsInFlight_ >= kMaxCallsPerSocket) return reply(id, Refusal::QueueFull, member, started);
        setIdle(false);
        ++callsInFlight_;
        auto self = std::static_pointer_cast<WsSession>(shared_from_this());
        asio::io_context& context = service_.context();
        const bool posted = service_.apartment().post([self, id, member, started, &context](Control* control) mutable {
            Control::Outcome outcome;
            if (control != nullptr) outcome = control->call(member);
            const bool stopped = control == nullptr;
            asio::post(context, [self = std::move(self), id, member, started, stopped, outcome = std::move(outcome)] {
                self->answer(id, member, started, stopped, outcome);
            });
        });
        if (!posted) {
            --callsInFlight_;
            setIdle(callsInFlight_ == 0);
            reply(id, service_.stopping() ? Refusal::ShuttingDown : Refusal::QueueFull, member, started);
        }
    }

    void answer(const Json::Value& id, const std::string& member, Clock::time_point started, bool stopped,
                const Control::Outcome& outcome) {
        --callsInFlight_;
        setIdle(callsInFlight_ == 0);
        if (stopped) return reply(id, Refusal::ShuttingDown, member, started);
        if (!outcome.called) return reply(id, Refusal::ControlFailed, member, started);
        Json::Value message(Json::objectValue);
        message["id"] = id;
        message["document"] = outcome.document;
        send(std::make_shared<const std::string>(compactJson(message)));
        service_.log("WS", "/v1/events#" + member, origin_, 200, started);
    }

    void watchRequest(const Json::Value& id, const Json::Value& message, Clock::time_point started) {
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
        service_.log("WS", "/v1/events#watch", origin_, 200, started);
    }

    void writeNext() {
        writing_ = true;
        ws_.text(true);
        auto self = std::static_pointer_cast<WsSession>(shared_from_this());
        ws_.async_write(asio::buffer(*pending_.front()), [self](beast::error_code ec, std::size_t) {
            self->writing_ = false;
            if (ec) return self->close();
            self->pending_.pop_front();
            if (!self->pending_.empty()) self->writeNext();
        });
    }

    websocket::stream<beast::tcp_stream> ws_;
    beast::flat_buffer buffer_;
    std::string origin_;
    std::deque<std::shared_ptr<const std::string>> pending_;
    bool writing_ = false;
    int callsInFlight_ = 0;
};

// --------------------------------------------------------------------- HTTP

class HttpSession : public Connection {
public:
    HttpSession(Service& service, tcp::socket socket)
        : Connection(service), stream_(std::move(socket)), buffer_(kHeaderLimit + kBodyLimit) {}

    void start() { readRequest(true); }

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
        setIdle(true);
        if (closed_) return;
        if (service_.stopping()) return close();
        parser_.emplace();
        parser_->header_limit(kHeaderLimit);
        parser_->body_limit(kBodyLimit);
        if (first || buffer_.size() > 0) return readHeaders();
        // Between requests the client may stay silent for the idle time;
        // once it starts a request, the header limit applies.
        stream_.expires_after(kIdleTimeout);
        stream_.async_read_some(buffer_.prepare(1024), [self = self()](beast::error_code ec, std::size_t n) {
            if (ec) return self->close();
            self->buffer_.commit(n);
            self->readHeaders();
        });
    }

    void readHeaders() {
        stream_.expires_after(kHeaderTimeout);
        http::async_read(stream_, buffer_, *parser_,
                         [self = self()](beast::error_code ec, std::size_t) { self->onRead(ec); });
    }

    void onRead(beast::error_code ec) {
        started_ = Clock::now();
        setIdle(false);
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
        RequestFacts facts;
        facts.method = request.method_string();
        facts.target = target;
        if (request.count(http::field::host) != 0) facts.host = request[http::field::host];
        if (request.count(http::field::origin) != 0) facts.origin = request[http::field::origin];
        if (request.count(http::field::content_type) != 0) facts.contentType = request[http::field::content_type];
        facts.websocketUpgrade = websocket::is_upgrade(request);
        origin_ = facts.origin ? std::string(*facts.origin) : "-";
        const Decision decision = decide(facts, service_.policy(), service_.port());
        cors_ = decision.corsAllowed;

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
            return write(makeResponse(http::status::ok, service_.infoBody(), kJsonType));
        case Action::StaticFile: {
            const auto content = service_.staticFile(decision.file);
            if (!content) return refuse(Refusal::NotFound, cors_);
            const std::size_t size = content->size();
            auto response = makeResponse(http::status::ok, request.method() == http::verb::head ? std::string() : *content,
                                         *mediaType(decision.file));
            response->set(http::field::cache_control, "no-cache");
            if (request.method() == http::verb::head) response->content_length(size);
            return write(response);
        }
        case Action::Events: {
            auto session = std::make_shared<WsSession>(service_, std::move(stream_), origin_);
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
        if (type == kJsonType) response->set(http::field::cache_control, "no-store");
        response->body() = std::move(body);
        response->prepare_payload();
        return response;
    }

    void refuse(Refusal refusal, bool cors, std::string_view allowedMethods = {}) {
        cors_ = cors;
        const RefusalText& text = refusalText(refusal);
        auto response = makeResponse(static_cast<http::status>(text.status), refusalBody(refusal), kJsonType);
        if (refusal == Refusal::MethodNotAllowed && !allowedMethods.empty()) {
            response->set(http::field::allow, allowedMethods);
        }
        // After a request the service could not read, the stream is lost.
        if (text.status == 400 || text.status == 413 || text.status == 431) keepAlive_ = false;
        write(response);
    }

    void write(std::shared_ptr<Response> response) {
        response->keep_alive(keepAlive_ && !service_.stopping());
        stream_.expires_after(kWriteTimeout);
        http::async_write(stream_, *response, [self = self(), response](beast::error_code ec, std::size_t) {
            self->service_.log(self->method_, self->path_, self->origin_, response->result_int(), self->started_);
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
    bool keepAlive_ = true;
    bool cors_ = false;
    unsigned version_ = 11;
};

// ------------------------------------------------------------------ Service

std::optional<std::string> Service::staticFile(const std::string& file) const {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path root = fs::canonical(options_.webRoot, ec);
    if (ec) return std::nullopt;
    const fs::path path = fs::canonical(root / file, ec);
    if (ec || !fs::is_regular_file(path, ec)) return std::nullopt;
    // Nothing outside the web root, whatever links lie inside it.
    const std::string rootText = root.string() + static_cast<char>(fs::path::preferred_separator);
    if (path.string().compare(0, rootText.size(), rootText) != 0) return std::nullopt;
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    if (!in) return std::nullopt;
    return content.str();
}

bool Service::listen(std::string& error) {
    const std::string portText = std::to_string(options_.port);
    // Port 0 asks the system for a free port; [::1] then takes the same one
    // (or, when that is taken there, the pair is tried again).
    for (int attempt = 0; attempt < 8; ++attempt) {
        acceptors_.clear();
        beast::error_code ec;
        tcp::acceptor v4(ioc_);
        v4.open(tcp::v4(), ec);
        if (!ec) v4.set_option(asio::socket_base::reuse_address(true), ec);
        if (!ec) v4.bind({asio::ip::address_v4::loopback(), options_.port}, ec);
        if (!ec) v4.listen(asio::socket_base::max_listen_connections, ec);
        if (ec) {
            error = ec == asio::error::address_in_use ? "port " + portText + " is in use on 127.0.0.1"
                                                       : "cannot listen on 127.0.0.1:" + portText + ": " + ec.message();
            return false;
        }
        const unsigned short port = v4.local_endpoint().port();
        acceptors_.push_back(std::move(v4));
        tcp::acceptor v6(ioc_);
        v6.open(tcp::v6(), ec);
        if (!ec) v6.set_option(asio::ip::v6_only(true), ec);
        if (!ec) v6.set_option(asio::socket_base::reuse_address(true), ec);
        if (!ec) v6.bind({asio::ip::address_v6::loopback(), port}, ec);
        if (!ec) v6.listen(asio::socket_base::max_listen_connections, ec);
        if (ec == asio::error::address_in_use && options_.port == 0) continue;
        if (ec == asio::error::address_in_use) {
            error = "port " + portText + " is in use on [::1]";
            return false;
        }
        if (ec) {
            // A system without IPv6 on the loopback interface: 127.0.0.1 alone.
            say("ivelcard: not listening on [::1]: " + ec.message());
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
        const auto rank = [](const Connection& c) { return std::make_pair(c.longLived(), c.lastActive()); };
        if (!victim || rank(*connection) < rank(*victim)) victim = connection;
    }
    if (open >= kMaxConnections) {
        // Room for the newcomer at the cost of the longest-idle client; when
        // every connection is busy, the newcomer is turned away.
        if (!victim) return socket.close(ignored);
        victim->close();
    }
    auto session = std::make_shared<HttpSession>(*this, std::move(socket));
    enrol(session);
    session->start();
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
    int interval = kMaxWatchIntervalMs;
    for (const auto& [key, watcher] : watchers_) interval = std::min(interval, watcher.intervalMs);
    watchTimer_.expires_at(lastPoll_ + std::chrono::milliseconds(interval));
    watchTimer_.async_wait([this](beast::error_code ec) {
        if (ec) return;
        poll();
    });
}

void Service::poll() {
    if (watchers_.empty() || stopping_) return;
    polling_ = true;
    lastPoll_ = Clock::now();
    const bool posted = apartment_.post([this](Control* control) {
        Control::Outcome outcome;
        if (control != nullptr) outcome = control->read();
        asio::post(ioc_, [this, outcome = std::move(outcome)] {
            polling_ = false;
            distribute(outcome);
            schedulePoll();
        });
    });
    if (!posted) {
        polling_ = false;
        schedulePoll();
    }
}

void Service::distribute(const Control::Outcome& outcome) {
    const bool card = outcome.called && resultFlag(outcome.document) == 0;
    std::shared_ptr<const std::string> document;
    std::shared_ptr<const std::string> cardEvent;
    if (card) {
        document = std::make_shared<const std::string>(outcome.document);
        Json::Value event(Json::objectValue);
        event["event"] = "card";
        event["document"] = outcome.document;
        cardEvent = std::make_shared<const std::string>(compactJson(event));
    }
    static const auto removedEvent = std::make_shared<const std::string>(R"({"event":"removed"})");
    for (auto it = watchers_.begin(); it != watchers_.end();) {
        Watcher& watcher = it->second;
        const auto session = watcher.session.lock();
        if (!session) {
            it = watchers_.erase(it);
            continue;
        }
        ++it;
        if (card && (!watcher.lastCard || *watcher.lastCard != *document)) {
            watcher.lastCard = document;
            session->send(cardEvent);
        } else if (!card && watcher.lastCard) {
            watcher.lastCard.reset();
            session->send(removedEvent);
        }
    }
}

void Service::closeIdle(bool all) {
    std::vector<std::shared_ptr<Connection>> toClose;
    for (const auto& [key, weak] : connections_) {
        if (auto connection = weak.lock(); connection && (all || connection->idle())) toClose.push_back(connection);
    }
    for (const auto& connection : toClose) connection->close();
}

void Service::shutdown() {
    if (stopping_) return;
    stopping_ = true;
    say("ivelcard: stopping");
    beast::error_code ignored;
    for (tcp::acceptor& acceptor : acceptors_) acceptor.close(ignored);
    signals_.cancel(ignored);
    reloadSignal_.cancel(ignored);
    watchTimer_.cancel();
    watchers_.clear();
    closeIdle(false);
    shutdownGuard_.emplace(ioc_.get_executor());
    // The apartment finishes the call in progress on its own thread while
    // this one delivers the answer; then the remaining connections close.
    stopper_ = std::thread([this] {
        apartment_.stop();
        asio::post(ioc_, [this] {
            shutdownGuard_.reset();
            closeIdle(false);
            graceTimer_.expires_after(kShutdownGrace);
            graceTimer_.async_wait([this](beast::error_code ec) {
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

std::string Service::infoBody() {
    Json::Value info(Json::objectValue);
    info["service"] = kServiceName;
    info["version"] = IVELCARD_VERSION;
    info["module"] = options_.module.path;
    info["progId"] = control::kControlProgId;
    info["virtualReader"] = options_.virtualReader;
    info["allowOrigins"] = Json::Value(Json::arrayValue);
    for (const std::string& origin : policy().origins()) info["allowOrigins"].append(origin);
    return compactJson(info);
}

void Service::awaitReload() {
    reloadSignal_.async_wait([this](beast::error_code ec, int) {
        if (ec || stopping_) return;
        options_.onReload();
        awaitReload();
    });
}

void Service::learnReaderState(bool ready) {
    if (readerReady_ == ready) return;
    readerReady_ = ready;
    if (options_.onReaderState) options_.onReaderState(ready ? "ready" : "absent");
}

int Service::run() {
    std::string error;
    if (!listen(error)) {
        say("ivelcard: " + error);
        return 1;
    }
    if (!apartment_.start(options_.module, error)) {
        say("ivelcard: " + error);
        return 1;
    }
    const auto link = std::make_shared<StopLink>();
    link->service = this;

    for (tcp::acceptor& acceptor : acceptors_) accept(acceptor);
    signals_.async_wait([this](beast::error_code ec, int) {
        if (!ec) shutdown();
    });
#if defined(SIGHUP)
    // SIGHUP asks for the configuration to be read again (POSIX only).
    if (options_.onReload) {
        beast::error_code ec;
        reloadSignal_.add(SIGHUP, ec);
        if (!ec) awaitReload();
    }
#endif
    // The reader's state at start.
    apartment_.post([this](Control* control) {
        if (control == nullptr) return;
        const Control::Outcome status = control->call("getStatus");
        const bool ready = status.called && resultFlag(status.document) == 0;
        asio::post(ioc_, [this, ready] { learnReaderState(ready); });
    });
    say("ivelcard: serving on http://127.0.0.1:" + std::to_string(port_) + "/" +
        (acceptors_.size() > 1 ? " and http://[::1]:" + std::to_string(port_) + "/" : std::string()) +
        " (demo page: http://127.0.0.1:" + std::to_string(port_) + "/demo/)");
    if (options_.onStarted) {
        options_.onStarted(port_, [link] {
            std::lock_guard lock(link->mutex);
            if (link->service != nullptr) asio::post(link->service->context(), [service = link->service] {
                service->shutdown();
            });
        });
    }
    ioc_.run();
    {
        std::lock_guard lock(link->mutex);
        link->service = nullptr;
    }
    if (stopper_.joinable()) stopper_.join();
    apartment_.stop();
    say("ivelcard: stopped");
    return 0;
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
