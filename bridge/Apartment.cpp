#include "bridge/Apartment.h"

#include <json/json.h>

#include "bridge/Json.h"
#include "platform/CodePage.h"

namespace bridge {

namespace {
constexpr std::string_view kCallable[] = {"connect", "disconnect", "getStatus", "getSAMID", "readCert"};
// The message a session operation gives when no reader session is open.
constexpr const char* kNotConnected = "设备未连接";
}  // namespace

std::optional<int> documentNumber(const std::string& document, const char* key) {
    const auto value = parseJson(document);
    if (!value || !value->isObject() || !(*value)[key].isInt()) return std::nullopt;
    return (*value)[key].asInt();
}

bool Control::open(const host::ModuleChoice& module, std::string& error) {
    if (!host_.open(module, error)) return false;
    for (const std::string_view name : kCallable) {
        const auto id = host_.memberId(std::string(name));
        if (!id) {
            error = "the control has no member '" + std::string(name) + "'";
            return false;
        }
        members_.emplace(name, *id);
    }
    return true;
}

Control::Outcome Control::call(std::string_view member) {
    Outcome outcome;
    const auto found = members_.find(member);
    if (found == members_.end()) {
        outcome.error = "the control has no member '" + std::string(member) + "'";
        return outcome;
    }
    std::u16string text;
    if (!host_.call(found->second, text, outcome.error)) return outcome;
    outcome.called = true;
    outcome.document = platform::utf16ToUtf8(text);
    if (member == "connect") {
        sessionOpen_ = resultFlag(outcome.document) == 0;
    } else if (member == "disconnect") {
        sessionOpen_ = false;
    } else if (member == "readCert" && outcome.document.find(kNotConnected) != std::string::npos) {
        sessionOpen_ = false;
    }
    return outcome;
}

Control::Outcome Control::read() {
    if (!sessionOpen_) {
        const Outcome connected = call("connect");
        if (!connected.called) return connected;
    }
    return call("readCert");
}

Apartment::~Apartment() { stop(); }

bool Apartment::start(const host::ModuleChoice& module, std::string& error, std::chrono::milliseconds patience,
                      std::function<void(const std::string&)> lateFailure) {
    lateFailure_ = std::move(lateFailure);
    thread_ = std::thread([this, module] { run(module); });
    std::unique_lock lock(mutex_);
    if (!wake_.wait_for(lock, patience, [this] { return started_ || startFailed_; })) {
        waitedOut_ = true;
        return true;
    }
    if (startFailed_) {
        error = startError_;
        lock.unlock();
        thread_.join();
        return false;
    }
    return true;
}

bool Apartment::creating() {
    std::lock_guard lock(mutex_);
    return !started_ && !startFailed_;
}

bool Apartment::post(Job job, Priority priority) {
    {
        std::lock_guard lock(mutex_);
        if (stopping_ || startFailed_) return false;
        if (priority == Priority::Background) {
            background_.push_back(std::move(job));
        } else {
            if (jobs_.size() >= capacity_) return false;
            jobs_.push_back(std::move(job));
        }
    }
    wake_.notify_all();
    return true;
}

void Apartment::stop() {
    std::deque<Job> dropped;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        dropped.swap(jobs_);
        for (Job& job : background_) dropped.push_back(std::move(job));
        background_.clear();
    }
    wake_.notify_all();
    for (Job& job : dropped) job(nullptr);
    if (thread_.joinable()) thread_.join();
}

void Apartment::run(const host::ModuleChoice& module) {
    Control control;
    std::string error;
    const bool opened = control.open(module, error);
    bool late = false;
    {
        std::lock_guard lock(mutex_);
        started_ = opened;
        startFailed_ = !opened;
        startError_ = error;
        late = waitedOut_;
    }
    wake_.notify_all();
    if (!opened) {
        if (late && lateFailure_) lateFailure_(error);
        return;
    }
    while (Job job = next()) job(&control);
}

Apartment::Job Apartment::next() {
    std::unique_lock lock(mutex_);
    host::waitPumpingMessages(wake_, lock, [this] { return stopping_ || !jobs_.empty() || !background_.empty(); });
    std::deque<Job>& queue = jobs_.empty() ? background_ : jobs_;
    if (stopping_ || queue.empty()) return {};  // stopping: stop() answers what is left
    Job job = std::move(queue.front());
    queue.pop_front();
    return job;
}

}  // namespace bridge
