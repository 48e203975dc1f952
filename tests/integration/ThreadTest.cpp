// Controls of one module created and called on several threads at once, as a
// host with several apartments does. Built and run also under
// ThreadSanitizer (see build.sh).
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/CodePage.h"
#include "support/TestSupport.h"
#include "host/ControlHost.h"

namespace {

constexpr int kThreads = 8;
constexpr int kReadsPerThread = 100;
// Every this many reads a thread creates a new control, so constructions
// (each one deploys and binds the libraries again) meet reads of the others.
constexpr int kReadsPerControl = 10;

const std::string& modulePath() {
    static const std::string path = testsupport::binDir() + "/libivelcard.so";
    return path;
}

// Calls one member; the document as UTF-8, or the host's error.
std::string call(host::ControlHost& control, const char* member) {
    std::string error;
    const auto id = control.memberId(member);
    if (!id) return std::string("no member ") + member;
    std::u16string result;
    if (!control.call(*id, result, error)) return error;
    return platform::utf16ToUtf8(result);
}

class Threads : public ::testing::Test {
protected:
    testsupport::ScopedRuntimeDir runtime_;
    testsupport::ScopedEnvironment reader_{"IVELCARD_VIRTUAL_READER", std::nullopt};
    testsupport::ScopedEnvironment log_{"IVELCARD_VIRTUAL_READER_LOG", std::nullopt};
};

TEST_F(Threads, ReadsOnEightThreadsAnswerAsIfMadeOneAfterAnother) {
    // The answer of one read alone.
    std::string expected;
    {
        host::ControlHost control;
        std::string error;
        ASSERT_TRUE(control.open(modulePath(), error)) << error;
        ASSERT_EQ(call(control, "connect"), "{\n   \"errorMsg\" : \"\",\n   \"resultFlag\" : 0\n}\n");
        expected = call(control, "readCert");
    }
    ASSERT_NE(expected.find("\"resultFlag\" : 0"), std::string::npos) << expected;
    ASSERT_NE(expected.find("\"identityPic\" : \"/9j/"), std::string::npos);

    std::atomic<int> answered{0};
    std::atomic<int> wrong{0};
    std::mutex firstWrongLock;
    std::string firstWrong;
    auto worker = [&] {
        for (int read = 0; read < kReadsPerThread;) {
            host::ControlHost control;
            std::string error;
            if (!control.open(modulePath(), error)) {
                ++wrong;
                const std::lock_guard lock(firstWrongLock);
                firstWrong = error;
                return;
            }
            call(control, "connect");
            for (int k = 0; k < kReadsPerControl && read < kReadsPerThread; ++k, ++read) {
                const std::string answer = call(control, "readCert");
                ++answered;
                if (answer == expected) continue;
                ++wrong;
                const std::lock_guard lock(firstWrongLock);
                if (firstWrong.empty()) firstWrong = answer.substr(0, 400);
            }
        }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) threads.emplace_back(worker);
    for (std::thread& thread : threads) thread.join();

    EXPECT_EQ(answered.load(), kThreads * kReadsPerThread);
    EXPECT_EQ(wrong.load(), 0) << firstWrong;
}

}  // namespace
