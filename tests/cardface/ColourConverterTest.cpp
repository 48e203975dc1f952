#include "cardface/ColourConverter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>

#include "ImageTestSupport.h"

namespace cardface {
namespace {

using test::Bytes;

constexpr std::uint8_t kUntouched = 0xA5;

test::RgbImage uniformImage(int width, int height, std::array<std::uint8_t, 3> rgb) {
    test::RgbImage image{width, height, Bytes(static_cast<std::size_t>(width) * height * 3)};
    for (std::size_t i = 0; i < image.rgb.size(); i += 3) {
        std::copy(rgb.begin(), rgb.end(), image.rgb.begin() + static_cast<std::ptrdiff_t>(i));
    }
    return image;
}

struct Yuv {
    int y, u, v;
};

Yuv convertPixel(std::array<std::uint8_t, 3> rgb) {
    const Bytes bmp = test::bmpImage(uniformImage(2, 2, rgb));
    Bytes out(6, kUntouched);
    EXPECT_TRUE(ColourConverter::bmpToYuv420(bmp, out, 2, 2));
    return {out[0], out[4], out[5]};
}

// Expected values worked out by hand from the tables; red, green and blue
// also reach the clamps.
TEST(ColourConverter, BmpPixelsToYuv) {
    struct Case {
        std::array<std::uint8_t, 3> rgb;
        Yuv yuv;
    };
    const Case cases[] = {
        {{255, 255, 255}, {255, 128, 128}},
        {{0, 0, 0}, {0, 128, 128}},
        {{255, 0, 0}, {76, 85, 255}},
        {{0, 255, 0}, {150, 44, 21}},
        {{0, 0, 255}, {29, 255, 107}},
        {{128, 128, 128}, {128, 128, 128}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << int{c.rgb[0]} << ',' << int{c.rgb[1]} << ',' << int{c.rgb[2]});
        const Yuv got = convertPixel(c.rgb);
        EXPECT_EQ(got.y, c.yuv.y);
        EXPECT_EQ(got.u, c.yuv.u);
        EXPECT_EQ(got.v, c.yuv.v);
    }
}

// Rows come out top first, and only the top-left pixel of each 2 x 2 block
// gives that block's chroma.
TEST(ColourConverter, TopLeftPixelDecidesTheBlocksChroma) {
    test::RgbImage image = uniformImage(4, 2, {0, 0, 255});
    auto set = [&](int x, int y, std::array<std::uint8_t, 3> rgb) {
        std::copy(rgb.begin(), rgb.end(), image.rgb.begin() + (y * 4 + x) * 3);
    };
    set(0, 0, {255, 0, 0});        // block 0 top-left: red
    set(3, 1, {255, 255, 255});    // block 1 bottom-right: white, ignored
    const Bytes bmp = test::bmpImage(image);
    Bytes out(12, kUntouched);
    ASSERT_TRUE(ColourConverter::bmpToYuv420(bmp, out, 4, 2));
    EXPECT_EQ(out, (Bytes{76, 29, 29, 29, 29, 29, 29, 255, 85, 255, 255, 107}));
}

TEST(ColourConverter, YuvPixelsToBmp) {
    struct Case {
        Yuv yuv;
        std::array<std::uint8_t, 3> bgr;
    };
    const Case cases[] = {
        {{0, 0, 0}, {0, 135, 0}},
        {{255, 128, 128}, {255, 255, 255}},
        {{0, 128, 128}, {0, 0, 0}},
        {{76, 85, 255}, {0, 0, 254}},
        {{128, 255, 0}, {255, 175, 0}},
    };
    for (const Case& c : cases) {
        const Bytes yuv{static_cast<std::uint8_t>(c.yuv.y), static_cast<std::uint8_t>(c.yuv.y),
                        static_cast<std::uint8_t>(c.yuv.y), static_cast<std::uint8_t>(c.yuv.y),
                        static_cast<std::uint8_t>(c.yuv.u), static_cast<std::uint8_t>(c.yuv.v)};
        Bytes out(54 + 16, kUntouched);
        ASSERT_EQ(ColourConverter::yuv420ToBmp(yuv, 2, 2, out), 70u);
        for (int row = 0; row < 2; ++row) {
            const auto* p = &out[54 + 8 * row];
            EXPECT_EQ(Bytes(p, p + 6), (Bytes{c.bgr[0], c.bgr[1], c.bgr[2], c.bgr[0], c.bgr[1], c.bgr[2]}))
                << c.yuv.y << ' ' << c.yuv.u << ' ' << c.yuv.v;
            EXPECT_EQ(Bytes(p + 6, p + 8), (Bytes{0, 0}));
        }
    }
}

TEST(ColourConverter, BmpHeaderForTheCardFace) {
    const Bytes yuv(ColourConverter::yuv420Size(340, 214), 0);
    EXPECT_EQ(yuv.size(), 109140u);
    Bytes out(436614, kUntouched);
    ASSERT_EQ(ColourConverter::yuv420ToBmp(yuv, 340, 214, out), 218334u);
    const Bytes header{'B', 'M', 0xDE, 0x54, 0x03, 0x00, 0, 0, 0, 0, 54, 0, 0, 0,
                       40, 0, 0, 0, 0x54, 0x01, 0, 0, 0xD6, 0, 0, 0, 1, 0, 24, 0,
                       0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 54), header);
    EXPECT_EQ(out[218333], 0);  // last pixel byte of an unpadded row
    EXPECT_EQ(out[218334], kUntouched);
}

// Rows of 340 pixels need no padding; rows of 102 pixels take 2 bytes of it.
// Canvas row i lands in file row h - 1 - i.
TEST(ColourConverter, BmpRowsStridesAndOrder) {
    struct Case {
        int width;
        std::size_t stride;
    };
    for (const Case c : {Case{340, 1020}, Case{102, 308}, Case{3, 12}}) {
        SCOPED_TRACE(c.width);
        EXPECT_EQ(ColourConverter::bmpRowStride(c.width), c.stride);
        const int h = 4;
        Bytes yuv(ColourConverter::yuv420Size(c.width, h), 128);
        for (int y = 0; y < h; ++y) {
            std::fill_n(yuv.begin() + y * c.width, c.width, static_cast<std::uint8_t>(10 * y));
        }
        Bytes out(ColourConverter::bmpSize(c.width, h), kUntouched);
        ASSERT_EQ(ColourConverter::yuv420ToBmp(yuv, c.width, h, out), 54 + c.stride * h);
        for (int fileRow = 0; fileRow < h; ++fileRow) {
            const auto row = out.begin() + 54 + static_cast<std::ptrdiff_t>(c.stride) * fileRow;
            const auto grey = static_cast<std::uint8_t>(10 * (h - 1 - fileRow));
            EXPECT_TRUE(std::all_of(row, row + 3 * c.width, [&](auto b) { return b == grey; }));
            EXPECT_TRUE(std::all_of(row + 3 * c.width, row + static_cast<std::ptrdiff_t>(c.stride),
                                    [](auto b) { return b == 0; }));
        }
    }
}

// Headers that do not describe an image fitting the output area convert
// nothing at all.
TEST(ColourConverter, BmpHeadersOutsideTheAreaConvertNothing) {
    const Bytes pixels = test::bmpImage(test::patternImage(102, 126));
    struct Case {
        std::int32_t width;
        std::int32_t height;
    };
    for (const Case c : {Case{0, 0}, Case{0, 126}, Case{102, 0}, Case{-102, 126}, Case{102, -126},
                         Case{103, 126}, Case{102, 127}, Case{INT32_MAX, 1}, Case{INT32_MIN, INT32_MIN}}) {
        SCOPED_TRACE(::testing::Message() << c.width << "x" << c.height);
        Bytes bmp = pixels;
        test::putLe32(bmp, 18, static_cast<std::uint32_t>(c.width));
        test::putLe32(bmp, 22, static_cast<std::uint32_t>(c.height));
        Bytes out(19278, kUntouched);
        EXPECT_FALSE(ColourConverter::bmpToYuv420(bmp, out, 102, 126));
        EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](auto b) { return b == kUntouched; }));
    }
    // An all-zero bitmap, as when the portrait file could not be read.
    Bytes out(19278, kUntouched);
    EXPECT_FALSE(ColourConverter::bmpToYuv420(Bytes(38862, 0), out, 102, 126));
    EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](auto b) { return b == kUntouched; }));
}

TEST(ColourConverter, ShortSpansConvertNothing) {
    const Bytes bmp = test::bmpImage(test::patternImage(102, 126));
    Bytes out(19278, kUntouched);
    EXPECT_FALSE(ColourConverter::bmpToYuv420(std::span(bmp).first(bmp.size() - 1), out, 102, 126));
    EXPECT_FALSE(ColourConverter::bmpToYuv420(std::span(bmp).first(53), out, 102, 126));
    EXPECT_FALSE(ColourConverter::bmpToYuv420(bmp, std::span(out).first(19277), 102, 126));
    EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](auto b) { return b == kUntouched; }));
    // A smaller image in a larger area is converted in its own layout.
    const Bytes small = test::bmpImage(test::patternImage(10, 6));
    EXPECT_TRUE(ColourConverter::bmpToYuv420(small, out, 102, 126));
    EXPECT_EQ(out[ColourConverter::yuv420Size(10, 6)], kUntouched);

    const Bytes yuv(ColourConverter::yuv420Size(102, 126), 0);
    Bytes bmpOut(38862, kUntouched);
    EXPECT_EQ(ColourConverter::yuv420ToBmp(yuv, 102, 126, std::span(bmpOut).first(38861)), 0u);
    EXPECT_EQ(ColourConverter::yuv420ToBmp(std::span(yuv).first(yuv.size() - 1), 102, 126, bmpOut), 0u);
    EXPECT_EQ(ColourConverter::yuv420ToBmp(yuv, 0, 126, bmpOut), 0u);
    EXPECT_EQ(ColourConverter::yuv420ToBmp(yuv, 102, -1, bmpOut), 0u);
    EXPECT_TRUE(std::all_of(bmpOut.begin(), bmpOut.end(), [](auto b) { return b == kUntouched; }));
}

// Colours given as uniform 2 x 2 blocks come back within 2 of each channel:
// Y, U and V are rounded once, and the way back truncates once more.
TEST(ColourConverter, RoundTripStaysWithinTheTablesError) {
    constexpr int kStep = 15;  // 18 levels per channel
    std::vector<std::array<std::uint8_t, 3>> colours;
    for (int r = 0; r <= 255; r += kStep)
        for (int g = 0; g <= 255; g += kStep)
            for (int b = 0; b <= 255; b += kStep)
                colours.push_back({static_cast<std::uint8_t>(r), static_cast<std::uint8_t>(g),
                                   static_cast<std::uint8_t>(b)});
    const int blocks = static_cast<int>(colours.size());  // one 2 x 2 block each
    test::RgbImage image{2 * blocks, 2, Bytes(static_cast<std::size_t>(blocks) * 12)};
    for (int i = 0; i < blocks; ++i)
        for (int y = 0; y < 2; ++y)
            for (int x = 0; x < 2; ++x)
                std::copy(colours[i].begin(), colours[i].end(),
                          image.rgb.begin() + ((y * image.width) + 2 * i + x) * 3);
    const Bytes bmp = test::bmpImage(image);
    Bytes yuv(ColourConverter::yuv420Size(image.width, 2));
    ASSERT_TRUE(ColourConverter::bmpToYuv420(bmp, yuv, image.width, 2));
    Bytes back(bmp.size());
    ASSERT_EQ(ColourConverter::yuv420ToBmp(yuv, image.width, 2, back), bmp.size());
    int worst = 0;
    for (std::size_t i = 54; i < bmp.size(); ++i) worst = std::max(worst, std::abs(bmp[i] - back[i]));
    EXPECT_LE(worst, 2);
}

// Odd sizes: the chroma planes hold ceil(w/2) x ceil(h/2) samples each.
TEST(ColourConverter, OddSizesKeepTheirChroma) {
    const test::RgbImage image = uniformImage(3, 3, {255, 0, 0});
    const Bytes bmp = test::bmpImage(image);
    Bytes yuv(ColourConverter::yuv420Size(3, 3), kUntouched);
    ASSERT_EQ(yuv.size(), 17u);
    ASSERT_TRUE(ColourConverter::bmpToYuv420(bmp, yuv, 3, 3));
    EXPECT_EQ(yuv, (Bytes{76, 76, 76, 76, 76, 76, 76, 76, 76, 85, 85, 85, 85, 255, 255, 255, 255}));
    Bytes back(bmp.size(), kUntouched);
    ASSERT_EQ(ColourConverter::yuv420ToBmp(yuv, 3, 3, back), bmp.size());
    for (int row = 0; row < 3; ++row) {
        const auto* p = &back[54 + 12 * row];
        EXPECT_EQ(Bytes(p, p + 12), (Bytes{0, 0, 254, 0, 0, 254, 0, 0, 254, 0, 0, 0}));
    }
}

}  // namespace
}  // namespace cardface

namespace cardface {
namespace {

// The tables worked out here as written: entry i is trunc(k × 128 × (i − 128)),
// k given in hundred-thousandths so that the products are exact.
int tableEntry(std::int64_t kScaled, int i) { return static_cast<int>(kScaled * 128 * (i - 128) / 100000); }

std::uint8_t clampTo255(int v) { return static_cast<std::uint8_t>(std::clamp(v, 0, 255)); }

// One pixel converted as the fixed-point formulas say, blue-green-red.
std::array<std::uint8_t, 3> referenceBgr(int y, int u, int v) {
    const int luma = 128 * y;
    return {clampTo255((luma + tableEntry(177200, u)) >> 7),
            clampTo255((luma - tableEntry(71414, v) - tableEntry(34414, u)) >> 7),
            clampTo255((luma + tableEntry(140200, v)) >> 7)};
}

// Every pair of U and V (a 512 × 512 image has 256 × 256 chroma samples),
// each under four different luminances, with a width that is no multiple of
// the vector unit's 16 pixels.
Bytes everyChromaImage(int width, int height) {
    Bytes yuv(static_cast<std::size_t>(width) * height + 2 * static_cast<std::size_t>((width + 1) / 2) * ((height + 1) / 2));
    const std::size_t cw = static_cast<std::size_t>((width + 1) / 2);
    const std::size_t luma = static_cast<std::size_t>(width) * height;
    const std::size_t chroma = cw * static_cast<std::size_t>((height + 1) / 2);
    for (int r = 0; r < height; ++r) {
        for (int x = 0; x < width; ++x) {
            yuv[static_cast<std::size_t>(r) * width + x] = static_cast<std::uint8_t>((x * 37 + r * 101 + (x ^ r)) & 0xFF);
        }
    }
    for (std::size_t i = 0; i < chroma; ++i) {
        yuv[luma + i] = static_cast<std::uint8_t>(i & 0xFF);
        yuv[luma + chroma + i] = static_cast<std::uint8_t>((i >> 8) & 0xFF);
    }
    return yuv;
}

class ColourConverterUnits : public ::testing::TestWithParam<bool> {
protected:
    ColourConverterUnits() : saved_(ColourConverter::useVectorUnit(GetParam())) {}
    ~ColourConverterUnits() override { ColourConverter::useVectorUnit(saved_); }

private:
    bool saved_;
};

// The vector unit and the portable code both give the formulas' bytes, in
// BMP files and in red-green-blue rows alike.
TEST_P(ColourConverterUnits, EveryChromaPairAndLuminanceConvertsExactly) {
    for (const int width : {512, 339}) {
        SCOPED_TRACE(width);
        const int height = 512;
        const Bytes yuv = everyChromaImage(width, height);
        const std::size_t cw = static_cast<std::size_t>((width + 1) / 2);
        const std::size_t luma = static_cast<std::size_t>(width) * height;
        const std::size_t chroma = cw * static_cast<std::size_t>((height + 1) / 2);
        Bytes bmp(ColourConverter::bmpSize(width, height), kUntouched);
        ASSERT_EQ(ColourConverter::yuv420ToBmp(yuv, width, height, bmp), bmp.size());
        const std::size_t stride = ColourConverter::bmpRowStride(width);
        const std::size_t rowBytes = static_cast<std::size_t>(width) * 3;
        Bytes rows(rowBytes * 7, kUntouched);
        int mismatches = 0;
        // Without a memory, then with one that has seen nothing, and again
        // with one that has seen this image.
        ColourConverter::StepMemory memory;
        memory.prepare(width, height);
        for (int pass = 0; pass < 3; ++pass)
        for (int first = 0; first < height; first += 7) {
            const int count = std::min(7, height - first);
            ASSERT_TRUE(ColourConverter::yuv420RowsToRgb(yuv, width, height, first, count, rows, rowBytes,
                                                         pass == 0 ? nullptr : &memory));
            for (int r = first; r < first + count; ++r) {
                const std::uint8_t* file = bmp.data() + 54 + stride * static_cast<std::size_t>(height - 1 - r);
                const std::uint8_t* rgb = rows.data() + rowBytes * static_cast<std::size_t>(r - first);
                for (int x = 0; x < width; ++x) {
                    const std::size_t c = cw * static_cast<std::size_t>(r / 2) + static_cast<std::size_t>(x / 2);
                    const auto expected = referenceBgr(yuv[static_cast<std::size_t>(r) * width + x],
                                                       yuv[luma + c], yuv[luma + chroma + c]);
                    const std::size_t p = static_cast<std::size_t>(x) * 3;
                    const bool same = file[p] == expected[0] && file[p + 1] == expected[1] && file[p + 2] == expected[2] &&
                                      rgb[p] == expected[2] && rgb[p + 1] == expected[1] && rgb[p + 2] == expected[0];
                    if (!same && ++mismatches <= 5) ADD_FAILURE() << "pixel " << x << ',' << r;
                }
                // The padding bytes of a BMP row are zero.
                for (std::size_t p = rowBytes; p < stride; ++p) EXPECT_EQ(file[p], 0);
            }
        }
        EXPECT_EQ(mismatches, 0);
    }
}

// A memory gives the conversion of the image at hand: a chroma row that
// changed since it was remembered is worked out anew, and a memory prepared
// for another size is not used.
TEST_P(ColourConverterUnits, RememberedStepsFollowChangedChroma) {
    const int width = 340;
    const int height = 214;
    Bytes yuv = everyChromaImage(width, height);
    const std::size_t rowBytes = static_cast<std::size_t>(width) * 3;
    const auto convert = [&](ColourConverter::StepMemory* memory) {
        Bytes rows(rowBytes * static_cast<std::size_t>(height));
        EXPECT_TRUE(ColourConverter::yuv420RowsToRgb(yuv, width, height, 0, height, rows, rowBytes, memory));
        return rows;
    };
    ColourConverter::StepMemory memory;
    memory.prepare(width, height);
    ColourConverter::StepMemory otherSize;
    otherSize.prepare(width, height + 2);
    convert(&memory);
    convert(&otherSize);
    // One U sample and one V sample in different rows change.
    const std::size_t luma = static_cast<std::size_t>(width) * height;
    const std::size_t chroma = 170 * 107;
    yuv[luma + 170 * 40 + 17] ^= 0x5A;
    yuv[luma + chroma + 170 * 41 + 169] ^= 0xA5;
    const Bytes fresh = convert(nullptr);
    EXPECT_EQ(convert(&memory), fresh);
    EXPECT_EQ(convert(&otherSize), fresh);
}

INSTANTIATE_TEST_SUITE_P(VectorAndPortable, ColourConverterUnits, ::testing::Bool(),
                         [](const auto& unit) { return unit.param ? "VectorUnit" : "Portable"; });

TEST(ColourConverter, RowsOutsideTheImageOrTooLittleRoomConvertNothing) {
    const Bytes yuv(ColourConverter::yuv420Size(4, 4), 128);
    Bytes out(4 * 3 * 4, kUntouched);
    EXPECT_FALSE(ColourConverter::yuv420RowsToRgb(yuv, 4, 4, 2, 3, out, 12));   // rows 2..4 of 4
    EXPECT_FALSE(ColourConverter::yuv420RowsToRgb(yuv, 4, 4, -1, 1, out, 12));
    EXPECT_FALSE(ColourConverter::yuv420RowsToRgb(yuv, 4, 4, 0, 0, out, 12));
    EXPECT_FALSE(ColourConverter::yuv420RowsToRgb(yuv, 4, 4, 0, 1, out, 11));   // stride shorter than a row
    EXPECT_FALSE(ColourConverter::yuv420RowsToRgb(yuv, 4, 4, 0, 4, std::span(out).first(35), 12));
    EXPECT_FALSE(ColourConverter::yuv420RowsToRgb(std::span(yuv).first(yuv.size() - 1), 4, 4, 0, 1, out, 12));
    EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](auto b) { return b == kUntouched; }));
    // A stride longer than a row leaves the bytes between rows alone.
    ASSERT_TRUE(ColourConverter::yuv420RowsToRgb(yuv, 4, 4, 1, 2, out, 16));
    EXPECT_EQ(out[12], kUntouched);
    EXPECT_EQ(out[15], kUntouched);
    EXPECT_EQ(out[16], 128);
    EXPECT_EQ(out[32], kUntouched);
}

}  // namespace
}  // namespace cardface
