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

std::optional<int> resultFlag(const std::string& document) {
    const auto value = parseJson(document);
    if (!value || !value->isObject() || !(*value)["resultFlag"].isInt()) return std::nullopt;
    return (*value)["resultFlag"].asInt();
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

bool Apartment::start(const host::ModuleChoice& module, std::string& error) {
    thread_ = std::thread([this, module] { run(module); });
    std::unique_lock lock(mutex_);
    wake_.wait(lock, [this] { return started_ || startFailed_; });
    if (startFailed_) {
        error = startError_;
        lock.unlock();
        thread_.join();
        return false;
    }
    return true;
}

bool Apartment::post(Job job) {
    {
        std::lock_guard lock(mutex_);
        if (stopping_ || !started_ || jobs_.size() >= capacity_) return false;
        jobs_.push_back(std::move(job));
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
    }
    wake_.notify_all();
    for (Job& job : dropped) job(nullptr);
    if (thread_.joinable()) thread_.join();
}

void Apartment::run(const host::ModuleChoice& module) {
    Control control;
    std::string error;
    const bool opened = control.open(module, error);
    {
        std::lock_guard lock(mutex_);
        started_ = opened;
        startFailed_ = !opened;
        startError_ = error;
    }
    wake_.notify_all();
    if (!opened) return;
    for (;;) {
        Job job;
        {
            std::unique_lock lock(mutex_);
            host::waitPumpingMessages(wake_, lock, [this] { return stopping_ || !jobs_.empty(); });
            if (jobs_.empty()) return;  // stopping, nothing left
            job = std::move(jobs_.front());
            jobs_.pop_front();
        }
        job(&control);
    }
}

}  // namespace bridge
