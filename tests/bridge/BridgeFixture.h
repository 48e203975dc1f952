// The fixture of the bridge tests: `ivelcard serve` on a free port in a
// child process with its own runtime directory, configuration directory,
// reader description and call log and its own system root for
// machine-wide files; and small Beast clients that talk to it.
//
// $IVELCARD_BRIDGE_COMMAND replaces `ivelcard --module ... serve` by another
// command line (words separated by spaces; the service's options follow it),
// for instance the Windows bridge under Wine; $IVELCARD_BRIDGE_STOP is then
// the command that stops it the way SIGTERM (or SIGINT) stops `ivelcard
// serve`. Such a service reads its allow-lists where its system keeps them:
// $IVELCARD_BRIDGE_USER_CONFIG and $IVELCARD_BRIDGE_MACHINE_CONFIG are those
// directories as the service names them ("C:\..."), below the directory
// $IVELCARD_BRIDGE_DRIVE_C here; $IVELCARD_BRIDGE_MODULE names its module.
#pragma once

#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include "support/TestSupport.h"

namespace bridgetest {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;

struct Reply {
    int status = 0;
    std::map<std::string, std::string> headers;  // names lowercased
    std::string body;
    std::string header(const std::string& name) const {
        const auto found = headers.find(name);
        return found == headers.end() ? std::string() : found->second;
    }
};

// One running service.
class Service {
public:
    // Starts `ivelcard serve --port 0 extraArgs...` with `environment`.
    Service(const std::vector<std::string>& extraArgs, const std::map<std::string, std::string>& environment,
            const std::string& logPath);
    ~Service();
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;

    unsigned short port() const { return port_; }
    std::string host() const { return "127.0.0.1:" + std::to_string(port_); }
    std::string origin() const { return "http://" + host(); }
    int pid() const { return pid_; }
    // Sends SIGTERM (or runs $IVELCARD_BRIDGE_STOP) and waits; the exit
    // status (-1 unless a normal exit).
    int terminate();
    void signal(int number) const;
    // Waits for the service to end; its exit status (-1 unless a normal exit).
    int wait();

private:
    int pid_ = -1;
    unsigned short port_ = 0;
};

class Bridge : public ::testing::Test {
protected:
    void SetUp() override { removeConfigs(); }
    void TearDown() override {
        service_.reset();
        removeConfigs();
    }

    // Whether the service is `ivelcard serve` of this build (not one under
    // $IVELCARD_BRIDGE_COMMAND): POSIX signals, file modes and the host's
    // own files apply to it alone.
    static bool ownService();

    // The sample card unless describeReader() was called.
    void describeReader(const std::string& json);
    // The user's and the machine-wide allow-list as the service names them,
    // and the file of such a name here.
    std::string userConfigFile() const;
    std::string machineConfigFile() const;
    std::string local(const std::string& named) const;
    void writeConfig(const std::string& json) { writeConfigFile(userConfigFile(), json); }
    void writeMachineConfig(const std::string& json) { writeConfigFile(machineConfigFile(), json); }
    // The module's path as /v1/info names it.
    std::string modulePath() const;
    void start(const std::vector<std::string>& extraArgs = {});
    std::map<std::string, std::string> environment() const;
    std::vector<std::string> callLog() const;
    std::string serviceLog() const { return testsupport::readFile(scratch_ / "serve.log"); }
    // The service run with `args` (not --port 0 by itself) until it ends, as
    // when its start fails.
    testsupport::ProcessResult failedStart(const std::vector<std::string>& args) const;
    // Whether the service's log comes to hold `text` within 10 s.
    bool logShows(const std::string& text) const;
    // `ivelcard ARGS...` in the same environment (its own reader log).
    testsupport::ProcessResult host(const std::vector<std::string>& args) const;
    // The documents `ivelcard call ARGS...` prints, in the same environment.
    std::vector<std::string> hostDocuments(const std::vector<std::string>& members) const;

    // An HTTP request on a new connection; Host is the service's unless set.
    Reply request(http::verb method, const std::string& target, std::map<std::string, std::string> headers = {},
                  const std::string& body = "");
    Reply post(const std::string& target, std::map<std::string, std::string> headers = {}) {
        headers.emplace("Content-Type", "application/json");
        return request(http::verb::post, target, std::move(headers));
    }
    // Writes raw bytes on a new connection and reads until the service closes
    // it (or `wait` passes).
    std::string raw(const std::string& bytes, std::chrono::milliseconds wait = std::chrono::seconds(8));

    testsupport::TempDir runtime_;
    testsupport::TempDir scratch_;
    testsupport::TempDir config_;
    // Stands for / (IVELCARD_SYSTEM_ROOT): the machine-wide allow-list and
    // the browsers' policies are written below it.
    testsupport::TempDir system_;
    std::optional<Service> service_;
    bool described_ = false;

private:
    void writeConfigFile(const std::string& named, const std::string& json);
    // Another service's allow-lists lie outside the test's directories: none
    // is left from one test to the next.
    void removeConfigs() const;
};

// A WebSocket client of /v1/events.
class Events {
public:
    // Throws beast::system_error when the handshake is refused; the
    // refusal's status is then in `refusedStatus`.
    Events(unsigned short port, const std::string& origin);
    void send(const std::string& text);
    // The next message, or nothing when none comes within `wait` (or the
    // connection ends; then `closeCode` is set).
    std::optional<std::string> receive(std::chrono::milliseconds wait = std::chrono::seconds(10));
    int closeCode = 0;

private:
    asio::io_context ioc_;
    websocket::stream<beast::tcp_stream> ws_{ioc_};
    beast::flat_buffer buffer_;
    bool reading_ = false;
    beast::error_code result_;
};

// The lines of `output` that the service said ("ivelcard..."), without those
// of the program around it (the Windows bridge's own log lines).
std::string said(const std::string& output);

// The status of a refused handshake, 101 when it is accepted.
int handshakeStatus(unsigned short port, const std::string& origin);

std::string sampleCardDescription();
std::string secondCardDescription();
std::string noCardDescription(int latencyMs = 0);

}  // namespace bridgetest
