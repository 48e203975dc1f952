// The composer when one of its large buffers cannot be allocated. The
// global allocation functions are replaced in this executable only: while
// armed, the n-th request of at least 16 KiB fails.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "cardface/CardFaceComposer.h"
#include "support/TestSupport.h"

namespace {
bool armed = false;
int largeRequestsLeft = 0;
constexpr std::size_t kLarge = 16 * 1024;

void* allocate(std::size_t size) {
    if (armed && size >= kLarge && --largeRequestsLeft == 0) return nullptr;
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

// The canvases, the bitmap work buffer and the strips: each failure ends
// the composition without images (and, under the sanitizer, without leaks).
TEST(CardFaceComposerOutOfMemory, EndsWithoutImages) {
    testsupport::ScopedEnvironment windir(
        "windir", std::string(IVELCARD_BIN_DIR) + "/../share/ivelcard/windows");
    std::array<std::uint8_t, CardFaceComposer::kTextBlockSize> block{};
    const std::vector<std::uint8_t> portrait(38862, 0);
    std::vector<std::uint8_t> front(CardFaceComposer::kFaceOutputSize);
    std::vector<std::uint8_t> back(CardFaceComposer::kFaceOutputSize);
    for (int failing = 1; failing <= 3; ++failing) {
        SCOPED_TRACE(failing);
        std::fill(front.begin(), front.end(), 0xAA);
        std::fill(back.begin(), back.end(), 0xAA);
        std::int32_t frontLength = -1;
        std::int32_t backLength = -1;
        armed = true;
        largeRequestsLeft = failing;
        const int result =
            CardFaceComposer::compose(block, portrait, front, back, frontLength, backLength);
        armed = false;
        EXPECT_EQ(largeRequestsLeft, 0) << "fewer large allocations than expected";
        EXPECT_EQ(result, CardFaceComposer::kOutOfMemory);
        EXPECT_EQ(frontLength, 0);
        EXPECT_EQ(backLength, 0);
        EXPECT_TRUE(std::all_of(front.begin(), front.end(), [](auto b) { return b == 0; }));
        EXPECT_TRUE(std::all_of(back.begin(), back.end(), [](auto b) { return b == 0; }));
    }
}

}  // namespace
}  // namespace cardface
