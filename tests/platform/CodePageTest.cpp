#include <gtest/gtest.h>

#include "platform/CodePage.h"

namespace {

using platform::ansiCharacterLength;
using platform::ansiToWide;
using platform::wideToAnsi;

std::u16string toUtf16(char32_t c) {
    if (c < 0x10000) return std::u16string(1, static_cast<char16_t>(c));
    return {static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)), static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF))};
}

TEST(CodePage, ConvertsGbkAndBeyondBothWays) {
    struct Case {
        std::u16string wide;
        std::string ansi;
    };
    const Case cases[] = {
        {u"", ""},
        {u"AZ az 09", "AZ az 09"},
        {u"汉", "\xBA\xBA"},
        {u"淺", "\x9C\x5C"},  // trail byte equals the backslash
        {u"连接错误", "\xC1\xAC\xBD\xD3\xB4\xED\xCE\xF3"},
        {u"\u4C9C", "\x82\x34\xEB\x30"},    // not in GBK: a four-byte character
        {u"\U0002000B", "\x95\x32\x83\x37"},  // outside the basic plane
        {u"a\u3000b", "a\xA1\xA1" "b"},
    };
    // A kept buffer still holding an earlier, longer text is replaced.
    std::u16string kept = u"an earlier and longer text";
    for (const Case& c : cases) {
        EXPECT_EQ(wideToAnsi(c.wide), c.ansi);
        EXPECT_EQ(ansiToWide(c.ansi), c.wide);
        ansiToWide(c.ansi, kept);
        EXPECT_EQ(kept, c.wide);
    }
}

// The system converter cannot encode these private-use characters (it would
// give '?') and puts their standard partners at the private-use characters'
// two-byte codes. Each is converted as GB18030-2005 has it, both ways, so no
// card character is lost or turned into another.
TEST(CodePage, PrivateUseCharactersAndTheirPartnersFollowGb18030Of2005) {
    struct Case {
        char32_t privateUse;
        std::string twoByte;
        char32_t partner;
        std::string fourByte;
    };
    const Case cases[] = {
        {U'\U0000E78D', "\xA6\xD9", U'\U0000FE10', "\x84\x31\x82\x36"},
        {U'\U0000E78E', "\xA6\xDA", U'\U0000FE12', "\x84\x31\x82\x38"},
        {U'\U0000E78F', "\xA6\xDB", U'\U0000FE11', "\x84\x31\x82\x37"},
        {U'\U0000E790', "\xA6\xDC", U'\U0000FE13', "\x84\x31\x82\x39"},
        {U'\U0000E791', "\xA6\xDD", U'\U0000FE14', "\x84\x31\x83\x30"},
        {U'\U0000E792', "\xA6\xDE", U'\U0000FE15', "\x84\x31\x83\x31"},
        {U'\U0000E793', "\xA6\xDF", U'\U0000FE16', "\x84\x31\x83\x32"},
        {U'\U0000E794', "\xA6\xEC", U'\U0000FE17', "\x84\x31\x83\x33"},
        {U'\U0000E795', "\xA6\xED", U'\U0000FE18', "\x84\x31\x83\x34"},
        {U'\U0000E796', "\xA6\xF3", U'\U0000FE19', "\x84\x31\x83\x35"},
        {U'\U0000E816', "\xFE\x51", U'\U00020087', "\x95\x32\x90\x31"},
        {U'\U0000E817', "\xFE\x52", U'\U00020089', "\x95\x32\x90\x33"},
        {U'\U0000E818', "\xFE\x53", U'\U000200CC', "\x95\x32\x97\x30"},
        {U'\U0000E81E', "\xFE\x59", U'\U00009FB4', "\x82\x35\x90\x37"},
        {U'\U0000E826', "\xFE\x61", U'\U00009FB5', "\x82\x35\x90\x38"},
        {U'\U0000E82B', "\xFE\x66", U'\U00009FB6', "\x82\x35\x90\x39"},
        {U'\U0000E82C', "\xFE\x67", U'\U00009FB7', "\x82\x35\x91\x30"},
        {U'\U0000E831', "\xFE\x6C", U'\U000215D7', "\x95\x36\xB9\x37"},
        {U'\U0000E832', "\xFE\x6D", U'\U00009FB8', "\x82\x35\x91\x31"},
        {U'\U0000E83B', "\xFE\x76", U'\U0002298F', "\x96\x30\xBA\x35"},
        {U'\U0000E843', "\xFE\x7E", U'\U00009FB9', "\x82\x35\x91\x32"},
        {U'\U0000E854', "\xFE\x90", U'\U00009FBA', "\x82\x35\x91\x33"},
        {U'\U0000E855', "\xFE\x91", U'\U000241FE', "\x96\x35\xB6\x30"},
        {U'\U0000E864', "\xFE\xA0", U'\U00009FBB', "\x82\x35\x91\x34"},
    };
    for (const Case& c : cases) {
        const std::u16string privateUse = toUtf16(c.privateUse);
        const std::u16string partner = toUtf16(c.partner);
        EXPECT_EQ(wideToAnsi(privateUse), c.twoByte) << std::hex << static_cast<unsigned>(c.privateUse);
        EXPECT_EQ(ansiToWide(c.twoByte), privateUse) << std::hex << static_cast<unsigned>(c.privateUse);
        EXPECT_EQ(wideToAnsi(partner), c.fourByte) << std::hex << static_cast<unsigned>(c.partner);
        EXPECT_EQ(ansiToWide(c.fourByte), partner) << std::hex << static_cast<unsigned>(c.partner);
        // Among other characters, in one run of the converter.
        const std::u16string mixed = u"a汉" + privateUse + u"汉" + partner + u"b";
        const std::string bytes = "a\xBA\xBA" + c.twoByte + "\xBA\xBA" + c.fourByte + "b";
        EXPECT_EQ(wideToAnsi(mixed), bytes) << std::hex << static_cast<unsigned>(c.privateUse);
        EXPECT_EQ(ansiToWide(bytes), mixed) << std::hex << static_cast<unsigned>(c.privateUse);
    }
}

TEST(CodePage, UnconvertibleCharactersBecomeQuestionMarks) {
    EXPECT_EQ(wideToAnsi(std::u16string{u'a', 0xD800, u'b'}), "a?b");
    EXPECT_EQ(wideToAnsi(std::u16string{0xDC00}), "?");
    EXPECT_EQ(wideToAnsi(std::u16string{u'x', 0xD800}), "x?");
    EXPECT_EQ(ansiToWide("a\xFF" "b"), u"a?b");
    EXPECT_EQ(ansiToWide("\xBA"), u"?");
}

TEST(CodePage, CharacterLengths) {
    struct Case {
        std::string bytes;
        std::size_t length;
    };
    const Case cases[] = {
        {"A", 1},  {"\x5C", 1},         {"\x9C\x5C", 2},  {"\xBA\xBA", 2},
        {"\x81\x40", 2}, {"\x82\x34\xEB\x30", 4}, {"\x82\x33", 1}, {"\x80", 1},
        {"\xFF\x40", 1}, {"\xBA", 1},   {"\xBA\x20", 1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ansiCharacterLength(c.bytes.data(), c.bytes.size()), c.length) << c.bytes;
    }
}

TEST(CodePage, Utf8RoundTripAndRepair) {
    const std::u16string text = u"a汉\U0002000B";
    EXPECT_EQ(platform::utf16ToUtf8(text), "a\xE6\xB1\x89\xF0\xA0\x80\x8B");
    EXPECT_EQ(platform::utf8ToUtf16(platform::utf16ToUtf8(text)), text);
    EXPECT_EQ(platform::utf8ToUtf16("a\xC0\x80z\xE6"), u"a??z?");
    EXPECT_EQ(platform::utf16ToUtf8(std::u16string{0xD800}), "?");
}

}  // namespace
