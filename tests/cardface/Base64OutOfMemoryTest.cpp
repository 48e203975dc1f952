// Runs the Base64 encoder with allocations that fail. The global allocation
// functions are replaced in this executable only: while a failing range is
// set, every request of a size within it fails.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <new>

#include "cardface/Base64Encoder.h"
#include "cardface/PortraitText.h"
#include "platform/Exceptions.h"

namespace {
bool failing = false;
std::size_t failFrom = 0;
std::size_t failTo = 0;

void* allocate(std::size_t size) {
    if (failing && size >= failFrom && size <= failTo) return nullptr;
    return std::malloc(size == 0 ? 1 : size);
}

// Kept out of line: the compiler would otherwise pair the replaced
// operator delete's free() with operator new and warn about a mismatch.
[[gnu::noinline]] void release(void* p) noexcept { std::free(p); }
}  // namespace

void* operator new(std::size_t size) {
    if (void* p = allocate(size)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void operator delete(void* p) noexcept { release(p); }
void operator delete[](void* p) noexcept { release(p); }
void operator delete(void* p, std::size_t) noexcept { release(p); }
void operator delete[](void* p, std::size_t) noexcept { release(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { release(p); }

namespace cardface {
namespace {

struct FailingAllocations {
    FailingAllocations(std::size_t from, std::size_t to) {
        failFrom = from;
        failTo = to;
        failing = true;
    }
    ~FailingAllocations() { failing = false; }
};

TEST(Base64OutOfMemory, RaisesTheFrameworkMemoryExceptionAndSaysSo) {
    const std::vector<std::uint8_t> input(3000, 0x41);
    ::testing::internal::CaptureStdout();
    bool raised = false;
    {
        FailingAllocations failure(1000, SIZE_MAX);
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
        // Only the text's own allocation (its characters and the NUL) fails.
        FailingAllocations failure(expected.size(), expected.size() + 1);
        std::string text;
        caught = platform::runGuarded([&] { text = encodePortraitText(bitmap); });
    }
    (void)::testing::internal::GetCapturedStdout();
    EXPECT_EQ(caught, platform::CaughtFailure::Memory);
}

}  // namespace
}  // namespace cardface
