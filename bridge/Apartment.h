// The apartment: one thread that owns the one control. The control is
// created on that thread and every call from every client runs there, one
// at a time, in the order the calls were posted; background jobs (the watch
// polls) run only when no call waits. Nothing else touches the control; the
// network side only posts jobs and never waits for them.
//
// The queue holds at most `capacity` waiting calls: post() refuses more.
// stop() refuses new jobs, hands every waiting job a null control (so that
// it can answer "shutting down"), lets the job in progress finish and joins
// the thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "platform/Com.h"
#include "host/ControlHost.h"

namespace bridge {

// The control as the apartment's jobs see it.
class Control {
public:
    struct Outcome {
        bool called = false;  // false: the host could not call the member
        std::string document; // the returned text as UTF-8
        std::string error;    // why the call failed
    };

    // Loads the module and creates the control; resolves the members.
    bool open(const host::ModuleChoice& module, std::string& error);

    // Calls one of the callable members; tracks whether the reader session
    // is open.
    Outcome call(std::string_view member);
    // connect when the session is not open, then readCert: the readCert
    // outcome.
    Outcome read();

    bool sessionOpen() const { return sessionOpen_; }

private:
    host::ControlHost host_;
    std::map<std::string, platform::DISPID, std::less<>> members_;
    bool sessionOpen_ = false;
};

// The integer `key` of a document ("resultFlag", "status"), or nothing when
// it has none.
std::optional<int> documentNumber(const std::string& document, const char* key);
inline std::optional<int> resultFlag(const std::string& document) { return documentNumber(document, "resultFlag"); }

class Apartment {
public:
    using Job = std::function<void(Control*)>;

    explicit Apartment(std::size_t capacity) : capacity_(capacity) {}
    ~Apartment();
    Apartment(const Apartment&) = delete;
    Apartment& operator=(const Apartment&) = delete;

    // Starts the thread and creates the control on it, waiting at most
    // `patience` for the creation: false with `error` when it failed by then
    // (the thread is then gone). True when the control is there or still
    // being created — a message the control shows while it deploys waits
    // for the person at the desk —: jobs posted meanwhile wait for it, and a
    // creation that fails later calls `lateFailure` on the apartment's thread.
    bool start(const host::ModuleChoice& module, std::string& error, std::chrono::milliseconds patience,
               std::function<void(const std::string&)> lateFailure);
    // True while the control is still being created after start() returned.
    bool creating();
    enum class Priority { Call, Background };
    // Queues a job; false when the queue is full or the apartment stops.
    bool post(Job job, Priority priority = Priority::Call);
    void stop();

private:
    void run(const host::ModuleChoice& module);
    // The next job, waiting for one; empty when the apartment stops.
    Job next();

    const std::size_t capacity_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Job> jobs_;
    std::deque<Job> background_;
    bool stopping_ = false;
    bool started_ = false;
    bool startFailed_ = false;
    bool waitedOut_ = false;  // start() returned before the creation ended
    std::function<void(const std::string&)> lateFailure_;
    std::string startError_;
    std::thread thread_;
};

}  // namespace bridge
