// The composer when one of its large buffers cannot be allocated (the global
// allocation functions are replaced in this executable only).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "cardface/CardFaceComposer.h"
#include "support/FailingAllocation.h"
#include "support/TestSupport.h"

namespace {
// The n-th request of at least 16 KiB fails.
int largeRequestsLeft = 0;
constexpr std::size_t kLarge = 16 * 1024;
bool nthLargeRequest(std::size_t size) { return size >= kLarge && --largeRequestsLeft == 0; }
}  // namespace

namespace cardface {
namespace {

// The work area (canvases and strips) and the two stream buffers: each
// failure ends the composition without images (and, under the sanitizer,
// without leaks), and nothing large is kept, so the next composition
// allocates all three again.
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
        largeRequestsLeft = failing;
        int result = 0;
        {
            testsupport::FailingAllocations failure(nthLargeRequest);
            result = CardFaceComposer::compose(block, portrait, front, back, frontLength, backLength);
        }
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
