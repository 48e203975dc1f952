// The pictures of a whole card read (reader, portrait decoding, portrait
// and face encoding) for portraits such as a real decoder gives: noisy
// photographs whose JPEG streams are several kilobytes long.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "FakeReader.h"
#include "cardface/Base64Decoder.h"
#include "cardface/Base64Encoder.h"
#include "cardface/JpegMemoryEncoder.h"
#include "carddata/IdentityRecord.h"
#include "reader/CardRead.h"
#include "reader/Deployment.h"
#include "reader/Session.h"
#include "support/TestSupport.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kHeader = 54;

// The bitmap the fake decoder leaves beside its input, and how often it ran.
Bytes decodedBitmap;
int decoderCalls = 0;

int READER_API writeDecodedBitmap(char* path, int) {
    ++decoderCalls;
    const std::string input = path;
    const std::string bitmap = input.substr(0, input.size() - 3) + "bmp";
    testsupport::writeFile(bitmap, std::string(decodedBitmap.begin(), decodedBitmap.end()));
    return 1;
}

Bytes samplePortrait() {
    const std::string file = testsupport::readFile(std::string(IVELCARD_TEST_DATA_DIR) + "/carddata/sample-portrait.bmp");
    return Bytes(file.begin(), file.end());
}

// The sample portrait with noise on every pixel byte (the padding stays 0).
template <class Noise>
Bytes noisy(Noise&& noise) {
    Bytes bitmap = samplePortrait();
    for (std::size_t row = 0; row < 126; ++row) {
        for (std::size_t i = 0; i < 306; ++i) {
            std::uint8_t& byte = bitmap[kHeader + row * 308 + i];
            byte = static_cast<std::uint8_t>(std::clamp(noise(byte), 0, 255));
        }
    }
    return bitmap;
}

// The portrait's stream as the encoder makes it into a buffer that is
// surely large enough, from a work copy, as Base64.
std::string unboundedPortraitText(const Bytes& bitmap) {
    Bytes copy = bitmap;
    Bytes out(1 << 20, 0);
    std::int32_t length = 0;
    EXPECT_TRUE(cardface::JpegMemoryEncoder::encode(102, 126, std::span(copy).subspan(kHeader), out, length,
                                                    true, true, true));
    return cardface::Base64Encoder::encode(std::span(out).first(static_cast<std::size_t>(length)));
}

class CardReadImages : public ::testing::Test {
protected:
    void SetUp() override {
        fakereader::install();
        reader::readerLibrary().GetBmp = writeDecodedBitmap;
        fakereader::script().statusByPort[1001] = {144};
        ASSERT_EQ(reader::openSession(), 0);
        const std::u16string name = u"赵明远";
        for (std::size_t i = 0; i < name.size(); ++i) {
            fakereader::script().textBlock[2 * i] = static_cast<unsigned char>(name[i] & 0xFF);
            fakereader::script().textBlock[2 * i + 1] = static_cast<unsigned char>(name[i] >> 8);
        }
        decoderCalls = 0;
    }

    testsupport::ScopedRuntimeDir runtime_;
    testsupport::ScopedEnvironment windir_{"windir", testsupport::binDir() + "/../share/ivelcard/windows"};
};

// Gaussian noise of sigma 20 and uniform noise: their streams reach and
// outgrow the 4,096 bytes a portrait once had, and the whole picture still
// arrives, byte for byte the stream of an unbounded buffer.
TEST_F(CardReadImages, NoisyPortraitsKeepTheirWholePicture) {
    std::mt19937 random(20);
    std::normal_distribution<double> gaussian(0.0, 20.0);
    std::uniform_int_distribution<int> uniform(0, 255);
    const struct {
        const char* name;
        Bytes bitmap;
        std::size_t streamAtLeast;
    } portraits[] = {
        {"gaussian", noisy([&](int v) { return v + static_cast<int>(std::lround(gaussian(random))); }), 3500},
        {"uniform", noisy([&](int) { return uniform(random); }), 8000},
    };
    for (const auto& portrait : portraits) {
        SCOPED_TRACE(portrait.name);
        decodedBitmap = portrait.bitmap;
        auto record = std::make_unique<carddata::IdentityRecord>();
        ASSERT_EQ(reader::readCard(*record), reader::kCardOk);
        const std::string expected = unboundedPortraitText(portrait.bitmap);
        EXPECT_GE(cardface::base64Decode(expected).size(), portrait.streamAtLeast);
        EXPECT_EQ(record->identityPic, expected);
        // The record's bitmap is the decoder's, untouched by the encoding.
        EXPECT_EQ(Bytes(record->portraitBitmap, record->portraitBitmap + sizeof record->portraitBitmap), portrait.bitmap);
        EXPECT_FALSE(record->base64ID_PicFront.empty());
        EXPECT_FALSE(record->base64ID_PicBack.empty());
    }
}

// A link planted where the lock file belongs: the lock cannot be taken, so
// nothing is decoded (the decoder is not even asked) and the read succeeds
// with its texts alone.
TEST_F(CardReadImages, LockThatCannotBeTakenDecodesNothing) {
#if defined(_WIN32)
    GTEST_SKIP() << "the test prefix cannot make symbolic links";
#endif
    decodedBitmap = samplePortrait();
    const std::string work = reader::workDirectoryPath();
    ASSERT_FALSE(work.empty());
    const std::string target = runtime_.path() + "/elsewhere";
    testsupport::writeFile(target, "");
    std::filesystem::create_symlink(target, work + "xp.lock");

    auto record = std::make_unique<carddata::IdentityRecord>();
    ASSERT_EQ(reader::readCard(*record), reader::kCardOk);
    EXPECT_EQ(decoderCalls, 0);
    EXPECT_FALSE(record->partyName.empty());
    EXPECT_EQ(record->identityPic, "");
    EXPECT_EQ(record->base64ID_PicFront, "");
    EXPECT_EQ(record->base64ID_PicBack, "");

    // Once the link is gone the lock file is made afresh and decoding works.
    std::filesystem::remove(work + "xp.lock");
    ASSERT_EQ(reader::readCard(*record), reader::kCardOk);
    EXPECT_EQ(decoderCalls, 1);
    EXPECT_FALSE(record->identityPic.empty());
    EXPECT_TRUE(std::filesystem::is_regular_file(std::filesystem::symlink_status(work + "xp.lock")));
}

}  // namespace
