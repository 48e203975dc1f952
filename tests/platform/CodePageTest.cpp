#include <gtest/gtest.h>

#include "platform/CodePage.h"

namespace {

using platform::ansiCharacterLength;
using platform::ansiToWide;
using platform::wideToAnsi;

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
    for (const Case& c : cases) {
        EXPECT_EQ(wideToAnsi(c.wide), c.ansi);
        EXPECT_EQ(ansiToWide(c.ansi), c.wide);
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
