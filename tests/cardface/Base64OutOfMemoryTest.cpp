// Runs the Base64 encoder with allocations that fail (the global allocation
// functions are replaced in this executable only).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <new>

#include "cardface/Base64Encoder.h"
#include "cardface/PortraitText.h"
#include "platform/Exceptions.h"
#include "support/FailingAllocation.h"

namespace cardface {
namespace {

// Requests of 1,000 bytes and more fail: the text, not the small things around it.
bool largeRequests(std::size_t size) { return size >= 1000; }

// Only requests of the portrait text's own size (its characters, with or
// without the NUL) fail.
std::size_t portraitTextSize = 0;
bool portraitTextRequests(std::size_t size) { return size == portraitTextSize || size == portraitTextSize + 1; }

TEST(Base64OutOfMemory, RaisesTheFrameworkMemoryExceptionAndSaysSo) {
    const std::vector<std::uint8_t> input(3000, 0x41);
    ::testing::internal::CaptureStdout();
    bool raised = false;
    {
        testsupport::FailingAllocations failure(largeRequests);
        try {
            (void)Base64Encoder::encode(input);
        } catch (const platform::CMemoryException&) {
            raised = true;
        }
    }
    EXPECT_TRUE(raised);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "No enough memory.\n");
    // And the process goes on: the next encoding works.
    EXPECT_EQ(Base64Encoder::encode(input).size(), 4000u);
}

// The read goes on without the portrait: the operation's guard sees a memory
// failure, not a process exit.
TEST(Base64OutOfMemory, PortraitTextFailureIsCaughtByTheOperationGuard) {
    const std::vector<std::uint8_t> bitmap(kPortraitBitmapSize, 0);
    const std::string expected = encodePortraitText(bitmap);
    ASSERT_FALSE(expected.empty());
    ::testing::internal::CaptureStdout();
    platform::CaughtFailure caught = platform::CaughtFailure::None;
    {
        portraitTextSize = expected.size();
        testsupport::FailingAllocations failure(portraitTextRequests);
        std::string text;
        caught = platform::runGuarded([&] { text = encodePortraitText(bitmap); });
    }
    (void)::testing::internal::GetCapturedStdout();
    EXPECT_EQ(caught, platform::CaughtFailure::Memory);
}

}  // namespace
}  // namespace cardface
