#include "cardface/Base64Encoder.h"
#include "cardface/Base64Decoder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ImageTestSupport.h"

namespace cardface {
namespace {

std::string encodeText(const std::string& s) {
    return Base64Encoder::encode(std::span(reinterpret_cast<const std::uint8_t*>(s.data()), s.size()));
}

TEST(Base64Encoder, Rfc4648TestVectors) {
    const std::pair<std::string, std::string> vectors[] = {
        {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
    };
    for (const auto& [input, expected] : vectors) {
        EXPECT_EQ(encodeText(input), expected) << '"' << input << '"';
    }
}

// Zero to three bytes, with values that reach both ends of the alphabet.
TEST(Base64Encoder, ShortInputsAndPadding) {
    const std::pair<test::Bytes, std::string> cases[] = {
        {{}, ""},
        {{0x00}, "AA=="},
        {{0xFF}, "/w=="},
        {{0xFB, 0xFF}, "+/8="},
        {{0x00, 0x00}, "AAA="},
        {{0xFB, 0xEF, 0xBE}, "++++"},
        {{0xFF, 0xFF, 0xFF}, "////"},
        {{0x00, 0x10, 0x83}, "ABCD"},
    };
    for (const auto& [input, expected] : cases) {
        const std::string text = Base64Encoder::encode(input);
        EXPECT_EQ(text, expected);
        EXPECT_EQ(text.size(), Base64Encoder::encodedLength(input.size()));
        EXPECT_EQ(text.c_str()[text.size()], '\0');
    }
}

TEST(Base64Encoder, LongInputIsOneUnbrokenLine) {
    const test::Bytes input = test::noiseImage(40000, 1, 99).rgb;  // 120,000 bytes
    const test::Bytes bytes(input.begin(), input.begin() + 40000);
    const std::string text = Base64Encoder::encode(bytes);
    EXPECT_EQ(text.size(), 53336u);
    EXPECT_EQ(text.find_first_of("\r\n \t"), std::string::npos);
    bool ok = false;
    EXPECT_EQ(test::decodeBase64(text, ok), bytes);
    EXPECT_TRUE(ok);
}

TEST(Base64Decoder, UndoesTheEncoderAndSkipsWhatIsNotInTheAlphabet) {
    for (const std::string bytes : {"", "f", "fo", "foo", "foob", "fooba", "\xFF\x00\xFE"}) {
        const std::string text = Base64Encoder::encode(
            std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
        EXPECT_EQ(base64Decode(text), bytes) << text;
    }
    EXPECT_EQ(base64Decode("Zm9v\r\nYmFy"), "foobar");
    EXPECT_EQ(base64Decode("Zm9vY"), "foo");
}

}  // namespace
}  // namespace cardface
