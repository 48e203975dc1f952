#include "cardface/PortraitText.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "ImageTestSupport.h"

namespace cardface {
namespace {

test::Decoded decodeText(const std::string& text) {
    bool ok = false;
    const test::Bytes jpeg = test::decodeBase64(text, ok);
    EXPECT_TRUE(ok);
    return test::decodeJpeg(jpeg);
}

TEST(PortraitText, EncodesThePortraitAndLeavesTheBitmapUnchanged) {
    const test::RgbImage portrait = test::patternImage(kPortraitWidth, kPortraitHeight);
    const test::Bytes bitmap = test::bmpImage(portrait);
    ASSERT_EQ(bitmap.size(), kPortraitBitmapSize);
    const test::Bytes before = bitmap;
    const std::string text = encodePortraitText(bitmap);
    EXPECT_EQ(bitmap, before);
    ASSERT_FALSE(text.empty());
    const test::Decoded d = decodeText(text);
    EXPECT_EQ(d.width, kPortraitWidth);
    EXPECT_EQ(d.height, kPortraitHeight);
    // Channels and rows come out the right way round: the top-left corner is
    // dark red-green, the bottom-right bright in red and green.
    const auto at = [&](int x, int y, int c) { return d.rgb[(static_cast<std::size_t>(y) * d.width + x) * 3 + c]; };
    EXPECT_LT(at(2, 2, 0), 40);
    EXPECT_LT(at(2, 2, 1), 40);
    EXPECT_GT(at(99, 123, 0), 200);
    EXPECT_GT(at(99, 123, 1), 200);
}

TEST(PortraitText, AllZeroBitmapEncodesToABlackPortrait) {
    const test::Bytes bitmap(kPortraitBitmapSize, 0);
    const std::string text = encodePortraitText(bitmap);
    ASSERT_FALSE(text.empty());
    const test::Decoded d = decodeText(text);
    EXPECT_EQ(d.width, kPortraitWidth);
    EXPECT_EQ(d.height, kPortraitHeight);
    EXPECT_TRUE(std::all_of(d.rgb.begin(), d.rgb.end(), [](auto b) { return b == 0; }));
}

TEST(PortraitText, ShortBitmapCountsAsZeroFilled) {
    EXPECT_EQ(encodePortraitText({}), encodePortraitText(test::Bytes(kPortraitBitmapSize, 0)));
}

// Noise does not compress into the 4,096-byte buffer: no text rather than a
// stream written past the buffer.
TEST(PortraitText, PortraitTooLargeForItsBufferGivesNoText) {
    const test::Bytes bitmap = test::bmpImage(test::noiseImage(kPortraitWidth, kPortraitHeight, 5));
    EXPECT_EQ(encodePortraitText(bitmap), "");
}

}  // namespace
}  // namespace cardface
