#include "cardface/JpegMemoryEncoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <vector>

#include <jpeglib.h>

#include "ImageTestSupport.h"

namespace cardface {
namespace {

using test::Bytes;
using test::RgbImage;

// libjpeg's own compressor with every setting of the control's encoding
// spelt out, fed top-down red-green-blue rows from a copy.
Bytes referenceJpeg(const RgbImage& image) {
    jpeg_compress_struct cinfo{};
    jpeg_error_mgr err{};
    cinfo.err = jpeg_std_error(&err);
    jpeg_create_compress(&cinfo);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&cinfo, &buffer, &size);
    cinfo.image_width = static_cast<JDIMENSION>(image.width);
    cinfo.image_height = static_cast<JDIMENSION>(image.height);
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);
    cinfo.write_JFIF_header = TRUE;
    cinfo.JFIF_major_version = 1;
    cinfo.JFIF_minor_version = 1;
    cinfo.density_unit = 0;
    cinfo.X_density = 1;
    cinfo.Y_density = 1;
    cinfo.comp_info[0].h_samp_factor = 2;
    cinfo.comp_info[0].v_samp_factor = 2;
    for (int c = 1; c < 3; ++c) {
        cinfo.comp_info[c].h_samp_factor = 1;
        cinfo.comp_info[c].v_samp_factor = 1;
    }
    cinfo.dct_method = JDCT_ISLOW;
    cinfo.optimize_coding = FALSE;
    cinfo.restart_interval = 0;
    cinfo.restart_in_rows = 0;
    jpeg_set_quality(&cinfo, 75, TRUE);
    jpeg_start_compress(&cinfo, TRUE);
    Bytes rgb = image.rgb;
    for (int y = 0; y < image.height; ++y) {
        JSAMPROW row = rgb.data() + static_cast<std::size_t>(y) * image.width * 3;
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    Bytes stream(buffer, buffer + size);
    jpeg_destroy_compress(&cinfo);
    std::free(buffer);
    return stream;
}

struct Encoded {
    bool ok = false;
    Bytes stream;
};

Encoded encodeInto(Bytes& pixels, int width, int height, std::size_t capacity, bool padded,
                   bool bgr, bool bottomUp) {
    Bytes out(capacity, 0);
    std::int32_t length = 0;
    Encoded result;
    result.ok = JpegMemoryEncoder::encode(width, height, pixels, out, length, padded, bgr,
                                          bottomUp);
    EXPECT_GE(length, 0);
    result.stream.assign(out.begin(), out.begin() + length);
    return result;
}

constexpr std::size_t kFaceBuffer = 436614;

struct Geometry {
    int width;
    int height;
    bool padded;
};

class JpegLayouts : public ::testing::TestWithParam<Geometry> {};

// Every combination of channel order and row order yields the stream of the
// reference compressor, and leaves the caller's rows in red-green-blue.
TEST_P(JpegLayouts, MatchesReferenceCompressorForEveryLayout) {
    const Geometry g = GetParam();
    const RgbImage image = test::patternImage(g.width, g.height);
    const Bytes expected = referenceJpeg(image);
    for (const bool bgr : {false, true}) {
        for (const bool bottomUp : {false, true}) {
            SCOPED_TRACE(::testing::Message() << "bgr=" << bgr << " bottomUp=" << bottomUp);
            Bytes pixels = test::layRows(image, g.padded, bgr, bottomUp);
            const Encoded e =
                encodeInto(pixels, g.width, g.height, kFaceBuffer, g.padded, bgr, bottomUp);
            ASSERT_TRUE(e.ok);
            EXPECT_EQ(e.stream, expected);
            EXPECT_EQ(pixels, test::layRows(image, g.padded, false, bottomUp));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, JpegLayouts,
                         ::testing::Values(Geometry{340, 214, true}, Geometry{102, 126, true},
                                           Geometry{13, 7, true}, Geometry{13, 7, false},
                                           Geometry{1, 1, true}));

TEST(JpegMemoryEncoder, WritesJfif101WithDensityUnitZeroAndOneByOne) {
    const RgbImage image = test::patternImage(16, 16);
    Bytes pixels = test::layRows(image, true, true, true);
    const Encoded e = encodeInto(pixels, 16, 16, 4096, true, true, true);
    ASSERT_TRUE(e.ok);
    const Bytes head{0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0x00,
                     0x01, 0x01, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00};
    ASSERT_GE(e.stream.size(), head.size());
    EXPECT_TRUE(std::equal(head.begin(), head.end(), e.stream.begin()));
    EXPECT_EQ(e.stream[e.stream.size() - 2], 0xFF);
    EXPECT_EQ(e.stream.back(), 0xD9);
    // Baseline frame with 2x2, 1x1, 1x1 sampling; no restart interval.
    const Bytes sofMarker{0xFF, 0xC0};
    const auto sof = std::search(e.stream.begin(), e.stream.end(), sofMarker.begin(), sofMarker.end());
    ASSERT_NE(sof, e.stream.end());
    EXPECT_EQ(Bytes(sof + 10, sof + 19), (Bytes{1, 0x22, 0, 2, 0x11, 1, 3, 0x11, 1}));
    const Bytes dri{0xFF, 0xDD};
    EXPECT_EQ(std::search(e.stream.begin(), e.stream.end(), dri.begin(), dri.end()),
              e.stream.end());
}

TEST(JpegMemoryEncoder, StreamsDecodeToTheirSizes) {
    for (const Geometry g : {Geometry{340, 214, true}, Geometry{102, 126, true}}) {
        const RgbImage image = test::patternImage(g.width, g.height);
        Bytes pixels = test::layRows(image, true, true, true);
        const Encoded e = encodeInto(pixels, g.width, g.height, kFaceBuffer, true, true, true);
        ASSERT_TRUE(e.ok);
        const test::Decoded d = test::decodeJpeg(e.stream);
        EXPECT_EQ(d.width, g.width);
        EXPECT_EQ(d.height, g.height);
    }
}

// The stream never runs past the caller's buffer: too small a buffer fails
// with an empty stream and no bytes written, an exactly fitting one works.
TEST(JpegMemoryEncoder, FailsCleanlyWhenTheStreamDoesNotFit) {
    const RgbImage image = test::patternImage(102, 126);
    const Bytes expected = referenceJpeg(image);
    const std::size_t n = expected.size();
    struct Case {
        std::size_t capacity;
        bool fits;
    };
    for (const Case c : {Case{0, false}, Case{1, false}, Case{100, false}, Case{n - 1, false},
                         Case{n, true}, Case{n + 1, true}}) {
        SCOPED_TRACE(c.capacity);
        Bytes pixels = test::layRows(image, true, true, true);
        // Exactly the capacity, so the sanitizer sees any write past it.
        std::vector<std::uint8_t> out(c.capacity, 0);
        std::int32_t length = 0;
        const bool ok = JpegMemoryEncoder::encode(102, 126, pixels, out, length, true, true, true);
        EXPECT_EQ(ok, c.fits);
        if (c.fits) {
            EXPECT_EQ(length, static_cast<std::int32_t>(n));
            EXPECT_TRUE(std::equal(expected.begin(), expected.end(), out.begin()));
        } else {
            EXPECT_EQ(length, 0);
            EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](auto b) { return b == 0; }));
        }
    }
}

// Errors the compressor raises end the encoding, not the process.
TEST(JpegMemoryEncoder, CompressorErrorsFailTheEncodingOnly) {
    struct Case {
        int width;
        int height;
    };
    for (const Case c : {Case{0, 8}, Case{8, 0}, Case{70000, 1}}) {
        SCOPED_TRACE(::testing::Message() << c.width << "x" << c.height);
        Bytes pixels(JpegMemoryEncoder::rowStride(std::max(c.width, 1), true) *
                         static_cast<std::size_t>(std::max(c.height, 1)),
                     7);
        Bytes out(4096, 0);
        std::int32_t length = 123;
        ::testing::internal::CaptureStderr();
        const bool ok =
            JpegMemoryEncoder::encode(c.width, c.height, pixels, out, length, true, true, true);
        const std::string message = ::testing::internal::GetCapturedStderr();
        EXPECT_FALSE(ok);
        EXPECT_EQ(length, 0);
        EXPECT_FALSE(message.empty());
        EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](auto b) { return b == 0; }));
    }
    // The encoder still works afterwards.
    const RgbImage image = test::patternImage(8, 8);
    Bytes pixels = test::layRows(image, true, false, false);
    EXPECT_EQ(encodeInto(pixels, 8, 8, 4096, true, false, false).stream, referenceJpeg(image));
}

TEST(JpegMemoryEncoder, RefusesPixelsShorterThanTheirRows) {
    // 5 x 2 padded: 16 bytes for the first row, 15 for the last.
    Bytes pixels(30, 9);
    Bytes out(4096, 0);
    std::int32_t length = 0;
    EXPECT_FALSE(JpegMemoryEncoder::encode(5, 2, pixels, out, length, true, true, true));
    EXPECT_EQ(pixels, Bytes(30, 9));
    pixels.resize(31, 9);
    EXPECT_TRUE(JpegMemoryEncoder::encode(5, 2, pixels, out, length, true, true, true));
}

}  // namespace
}  // namespace cardface
