#include "cardface/PortraitText.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "ImageTestSupport.h"
#include "cardface/Base64Encoder.h"
#include "cardface/JpegMemoryEncoder.h"

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

// The text is the Base64 of the stream the encoder makes from a work copy
// into a buffer that is surely large enough: also for noise, whose stream
// is several times 4,096 bytes long.
TEST(PortraitText, IsTheWholeStreamOfTheBitmap) {
    for (const test::Bytes& bitmap :
         {test::bmpImage(test::patternImage(kPortraitWidth, kPortraitHeight)),
          test::bmpImage(test::noiseImage(kPortraitWidth, kPortraitHeight, 5))}) {
        test::Bytes copy = bitmap;
        test::Bytes out(kPortraitJpegLimit, 0);
        std::int32_t length = 0;
        ASSERT_TRUE(JpegMemoryEncoder::encode(kPortraitWidth, kPortraitHeight, std::span(copy).subspan(54), out,
                                              length, true, true, true));
        const std::string text = encodePortraitText(bitmap);
        EXPECT_EQ(text, Base64Encoder::encode(std::span(out).first(static_cast<std::size_t>(length))));
    }
    const test::Bytes noise = test::bmpImage(test::noiseImage(kPortraitWidth, kPortraitHeight, 5));
    bool ok = false;
    EXPECT_GT(test::decodeBase64(encodePortraitText(noise), ok).size(), 6000u);
}

}  // namespace
}  // namespace cardface
