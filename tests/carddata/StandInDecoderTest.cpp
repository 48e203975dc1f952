// The stand-in portrait decoder, through its built library: the round trip
// of the sample portrait, the bitmap it writes, and malformed inputs.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <iostream>

#include "CardDataTestSupport.h"

namespace carddata::test {
namespace {

using testsupport::readFile;
using testsupport::writeFile;

constexpr std::size_t kHeader = 6;

std::size_t payloadLength(const std::string& area) {
    return static_cast<unsigned char>(area[4]) | (static_cast<unsigned char>(area[5]) << 8);
}
void setPayloadLength(std::string& area, std::size_t length) {
    area[4] = static_cast<char>(length & 0xFF);
    area[5] = static_cast<char>(length >> 8);
}
// Offset of the frame header's height (then width) in the area.
std::size_t frameSizeAt(const std::string& area) {
    const std::size_t marker = area.find("\xFF\xC0", kHeader);
    return marker == std::string::npos ? 0 : marker + 5;
}

std::uint32_t le32(const std::string& bytes, std::size_t at) {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
    return value;
}

class StandInDecoder : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NE(standInGetBmp(), nullptr); }

    // Writes `content` as the compressed file and decodes it.
    int decode(const std::string& content, const std::string& name = "xp.wlt", int mode = 2) {
        writeFile(dir_ / name, content);
        std::string path = dir_ / name;
        return standInGetBmp()(path.data(), mode);
    }

    testsupport::TempDir dir_;
    const std::string sample_ = readFile(testData("sample-portrait.wlt"));
};

TEST_F(StandInDecoder, SamplePortraitRoundTrip) {
    ASSERT_EQ(sample_.size(), kPhotoDataSize);
    ASSERT_EQ(sample_.substr(0, 4), "IVPT");
    EXPECT_LE(kHeader + payloadLength(sample_), kPhotoDataSize);

    ASSERT_EQ(decode(sample_), 1);
    const std::string bitmap = readFile(dir_ / "xp.bmp");
    ASSERT_EQ(bitmap.size(), kPortraitBitmapSize);
    EXPECT_EQ(bitmap.substr(0, 2), "BM");
    EXPECT_EQ(le32(bitmap, 2), kPortraitBitmapSize);
    EXPECT_EQ(le32(bitmap, 10), 54u);
    EXPECT_EQ(le32(bitmap, 14), 40u);
    EXPECT_EQ(le32(bitmap, 18), 102u);
    EXPECT_EQ(le32(bitmap, 22), 126u);  // positive: bottom row first
    EXPECT_EQ(le32(bitmap, 26), 1u | 24u << 16);  // one plane, 24 bits
    EXPECT_EQ(le32(bitmap, 30), 0u);  // uncompressed
    for (int y = 0; y < kPortraitHeight; ++y) {
        const std::size_t padding = kBitmapHeaderSize + kPortraitRowSize * static_cast<std::size_t>(y) + 306;
        ASSERT_EQ(bitmap.substr(padding, 2), std::string(2, '\0')) << "row " << y;
    }

    const std::string original = readFile(testData("sample-portrait.bmp"));
    ASSERT_EQ(original.size(), kPortraitBitmapSize);
    const double psnr = portraitPsnr(reinterpret_cast<const unsigned char*>(bitmap.data()),
                                     reinterpret_cast<const unsigned char*>(original.data()));
    std::cout << "sample portrait: " << payloadLength(sample_) << " JPEG bytes, PSNR " << psnr << " dB\n";
    EXPECT_GE(psnr, 28.0);
}

TEST_F(StandInDecoder, BitmapStandsBesideTheInputWithExtensionBmp) {
    std::filesystem::create_directory(dir_ / "with.dot");
    const std::pair<const char*, const char*> cases[] = {
        {"card.wlt", "card.bmp"}, {"x.y.wlt", "x.y.bmp"}, {"with.dot/portrait", "with.dot/portrait.bmp"}};
    for (const auto& [input, output] : cases) {
        EXPECT_EQ(decode(sample_, input), 1) << input;
        EXPECT_EQ(std::filesystem::file_size(dir_ / output), kPortraitBitmapSize) << input;
    }
}

struct MalformedCase {
    const char* what;
    std::function<void(std::string&)> spoil;
    int mode = 2;
};

TEST_F(StandInDecoder, MalformedInputGivesNoBitmap) {
    const std::size_t length = payloadLength(sample_);
    const MalformedCase cases[] = {
        {"all zero", [](std::string& a) { a.assign(kPhotoDataSize, '\0'); }},
        {"bad magic", [](std::string& a) { a[0] = 'X'; }},
        {"zero payload length", [](std::string& a) { setPayloadLength(a, 0); }},
        {"payload longer than the area", [](std::string& a) { setPayloadLength(a, kPhotoDataSize - kHeader + 1); }},
        {"payload longer than the file", [&](std::string& a) { a.resize(kHeader + length - 1); }},
        {"shorter than the header", [](std::string& a) { a.resize(5); }},
        {"empty file", [](std::string& a) { a.clear(); }},
        {"payload not a JPEG", [&](std::string& a) { a.replace(kHeader, length, length, '\x55'); }},
        {"width 101",
         [](std::string& a) { a[frameSizeAt(a) + 3] = static_cast<char>(static_cast<unsigned char>(a[frameSizeAt(a) + 3]) - 1); }},
        {"height 127",
         [](std::string& a) { a[frameSizeAt(a) + 1] = static_cast<char>(static_cast<unsigned char>(a[frameSizeAt(a) + 1]) + 1); }},
        {"stream cut in half", [&](std::string& a) { setPayloadLength(a, length / 2); }},
        {"stream without its end", [&](std::string& a) { setPayloadLength(a, length - 2); }},
        {"mode 1", [](std::string&) {}, 1},
        {"mode 0", [](std::string&) {}, 0},
    };
    ASSERT_NE(frameSizeAt(sample_), 0u);
    for (const MalformedCase& c : cases) {
        std::string area = sample_;
        c.spoil(area);
        EXPECT_NE(decode(area, "xp.wlt", c.mode), 1) << c.what;
        EXPECT_FALSE(std::filesystem::exists(dir_ / "xp.bmp")) << c.what;
    }
}

TEST_F(StandInDecoder, MissingInputGivesNoBitmap) {
    std::string path = dir_ / "absent.wlt";
    EXPECT_NE(standInGetBmp()(path.data(), 2), 1);
    EXPECT_FALSE(std::filesystem::exists(dir_ / "absent.bmp"));
}

}  // namespace
}  // namespace carddata::test
