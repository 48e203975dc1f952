#include "carddata/TextBlockDecoder.h"

#include <gtest/gtest.h>

#if defined(_WIN32)
#include <windows.h>
#endif

#include <memory>
#include <random>

#include "CardDataTestSupport.h"

namespace carddata::test {
namespace {

// Records are about 41 KB; tests keep them on the heap.
std::unique_ptr<IdentityRecord> decoded(const Block& block) {
    auto record = std::make_unique<IdentityRecord>();
    decodeTextBlock(*record, block);
    return record;
}

// A block of spaces with one field's characters written over it.
std::unique_ptr<IdentityRecord> decodedWith(std::size_t offset, std::u16string_view characters) {
    Block block;
    fillWithSpaces(block);
    put(block, offset, characters);
    return decoded(block);
}

TEST(IdentityRecord, IsCreatedEmpty) {
    const auto record = std::make_unique<IdentityRecord>();
    for (const std::string* text :
         {&record->partyName, &record->nation, &record->bornDay, &record->certAddress, &record->certNumber,
          &record->certOrg, &record->effDate, &record->expDate, &record->identityPic, &record->base64ID_PicFront,
          &record->base64ID_PicBack}) {
        EXPECT_STREQ(text->c_str(), "");
    }
    EXPECT_EQ(record->gender, -1);
    auto allZero = [](const unsigned char* bytes, std::size_t size) {
        for (std::size_t i = 0; i < size; ++i) {
            if (bytes[i] != 0) return false;
        }
        return true;
    };
    EXPECT_TRUE(allZero(record->textBlock, 256));
    EXPECT_TRUE(allZero(record->photoData, 1024));
    EXPECT_TRUE(allZero(record->fingerprintData, 1024));
    EXPECT_TRUE(allZero(record->portraitBitmap, 38862));
}

TEST(TextBlockDecoder, AllZeroBlockGivesEmptyTextsAndGenderOne) {
    Block block = {};
    auto record = std::make_unique<IdentityRecord>();
    // Whatever the fields held is replaced.
    record->partyName = record->nation = record->certAddress = record->expDate = "old";
    decodeTextBlock(*record, block);
    for (const std::string* text : {&record->partyName, &record->nation, &record->bornDay, &record->certAddress,
                                    &record->certNumber, &record->certOrg, &record->effDate, &record->expDate}) {
        EXPECT_EQ(*text, "");
    }
    EXPECT_EQ(record->gender, 1);
}

struct GenderCase {
    char16_t character;
    int gender;
};

TEST(TextBlockDecoder, GenderIsZeroOnlyForTheDigitTwo) {
    const GenderCase cases[] = {
        {u'2', 0}, {u'1', 1}, {u'0', 1}, {u'9', 1}, {u' ', 1}, {u'F', 1}, {0, 1}, {u'\uFF12', 1},  // full-width 2
    };
    for (const GenderCase& c : cases) {
        Block block;
        fillWithSpaces(block);
        put(block, kGenderAt, std::u16string_view(&c.character, 1));
        // A 2 in the nation field right behind must not be read as part of the gender.
        put(block, kNationAt, u"22");
        EXPECT_EQ(decoded(block)->gender, c.gender) << "character U+" << std::hex << int(c.character);
    }
}

struct NationCase {
    std::u16string field;  // both characters
    const char* name;      // UTF-8
};

TEST(TextBlockDecoder, NationFieldFormsAndCodes) {
    const NationCase cases[] = {
        {u"01", "汉"},
        {u"1 ", "汉"},
        {std::u16string(u"1\0", 2), "汉"},
        {u" 1", "汉"},
        {u"\t1", "汉"},  // leading white space is skipped by the number parse
        {u"+1", "汉"},
        {u"05", "维吾尔"},
        {u"56", "基诺"},
        {u"57", "穿青人"},
        {u"97", "其他"},
        {u"98", "外国血统中国籍人士"},
        {u"58", ""},
        {u"96", ""},
        {u"00", ""},
        {u"99", ""},
        {u"-1", ""},
        {u"AB", ""},
        {u"1A", "汉"},  // the parse stops at the letter
        {u"\u3000" u"1", ""},  // U+3000 is not white space for the parse
        {std::u16string(u"\0" u"1", 2), ""},  // a zero character first ends the field
    };
    for (const NationCase& c : cases) {
        EXPECT_EQ(utf8(decodedWith(kNationAt, c.field)->nation), c.name)
            << "field " << platform::utf16ToUtf8(c.field);
    }
}

struct TrimCase {
    std::u16string name;  // the rest of the field stays spaces
    const char* expected;
};

TEST(TextBlockDecoder, OnlyTrailingSpacesAreRemoved) {
    const TrimCase cases[] = {
        {u"欧阳甲乙丙丁戊己庚辛壬癸子丑寅", "欧阳甲乙丙丁戊己庚辛壬癸子丑寅"},  // 15 characters, whole
        {u"张三", "张三"},
        {u"张 三", "张 三"},
        {u"  张三", "  张三"},
        {u"张三\u3000", "张三\u3000"},
        {u"张三\t", "张三\t"},
        {u"张三\t  \u3000 ", "张三\t  \u3000"},
        {u"", ""},
    };
    for (const TrimCase& c : cases) {
        EXPECT_EQ(utf8(decodedWith(kNameAt, c.name)->partyName), c.expected);
    }
}

TEST(TextBlockDecoder, ZeroCharacterEndsAFieldEarly) {
    const std::u16string address = u"北京市海淀区枫林路18号院3号楼2单元603室甲乙丙丁戊己庚辛壬癸子丑";
    ASSERT_EQ(address.size(), 35u);
    EXPECT_EQ(utf8(decodedWith(kAddressAt, address)->certAddress), platform::utf16ToUtf8(address));

    std::u16string cut = address;
    cut[10] = 0;
    EXPECT_EQ(utf8(decodedWith(kAddressAt, cut)->certAddress), "北京市海淀区枫林路1");
}

// Every field filled to its full width with characters of its own: each
// comes out whole and nothing runs into its neighbour.
TEST(TextBlockDecoder, FullWidthFieldsAreKeptWholeAndApart) {
    Block block;
    put(block, kNameAt, u"ABCDEFGHIJKLMNO");
    put(block, kGenderAt, u"2");
    put(block, kNationAt, u"43");
    put(block, kBornAt, u"19991231");
    put(block, kAddressAt, u"abcdefghijklmnopqrstuvwxyz012345678");
    put(block, kNumberAt, u"11010819880615123X");
    put(block, kOrgAt, u"甲乙丙丁戊己庚辛壬癸子丑寅卯辰");
    put(block, kEffAt, u"20180615");
    put(block, kExpAt, u"20380615");
    put(block, kUnreadAt, u"zzzzzzzzzzzzzzzzzz");  // no card type mark: lower case
    const auto record = decoded(block);
    EXPECT_EQ(record->partyName, "ABCDEFGHIJKLMNO");
    EXPECT_EQ(record->gender, 0);
    EXPECT_EQ(utf8(record->nation), "乌孜别克");
    EXPECT_EQ(record->bornDay, "19991231");
    EXPECT_EQ(record->certAddress, "abcdefghijklmnopqrstuvwxyz012345678");
    EXPECT_EQ(record->certNumber, "11010819880615123X");
    EXPECT_EQ(utf8(record->certOrg), "甲乙丙丁戊己庚辛壬癸子丑寅卯辰");
    EXPECT_EQ(record->effDate, "20180615");
    EXPECT_EQ(record->expDate, "20380615");
}

TEST(TextBlockDecoder, ChineseEndOfValidityIsPassedThrough) {
    const auto record = decodedWith(kExpAt, u"长期");
    EXPECT_EQ(hex(record->expDate), "b3a4c6da");  // GB18030, trailing spaces gone
}

TEST(TextBlockDecoder, TheUnreadTailHasNoEffect) {
    Block base;
    fillWithSpaces(base);
    put(base, kNameAt, u"张三");
    put(base, kNationAt, u"01");
    put(base, kExpAt, u"20380615");
    const auto expected = decoded(base);

    std::mt19937 random(220);
    for (int round = 0; round < 20; ++round) {
        Block block;
        std::memcpy(block, base, sizeof block);
        for (std::size_t i = kUnreadAt; i < kTextBlockSize; ++i) {
            // The card type mark at 248 stays a space: it chooses the layout.
            if (i == kCardTypeMarkAt || i == kCardTypeMarkAt + 1) continue;
            block[i] = round == 0 ? 0 : round == 1 ? 0xFF : static_cast<unsigned char>(random());
        }
        const auto record = decoded(block);
        EXPECT_EQ(record->partyName, expected->partyName);
        EXPECT_EQ(record->gender, expected->gender);
        EXPECT_EQ(record->nation, expected->nation);
        EXPECT_EQ(record->certOrg, expected->certOrg);
        EXPECT_EQ(record->effDate, expected->effDate);
        EXPECT_EQ(record->expDate, expected->expDate);
    }
}

// With the GB18030 code page no card character is lost: characters that GBK
// lacks, also outside the basic plane, reach UTF-16 unchanged. Only what
// cannot be converted at all (an unpaired surrogate) becomes '?'.
TEST(TextBlockDecoder, NoCardCharacterIsLost) {
#if defined(_WIN32)
    if (!::IsValidCodePage(54936)) GTEST_SKIP() << "the system lacks the GB18030 code page";
#endif
    const std::u16string name = u"\u4C9C\u5C0F\U00020BB7";
    const auto record = decodedWith(kNameAt, name);
    EXPECT_EQ(hex(record->partyName), "8234eb30d0a19534b235");
    EXPECT_EQ(platform::ansiToWide(record->partyName), name);

    const std::u16string broken = {u'\u5F20', char16_t(0xD800), u'\u4E09', char16_t(0xDC00)};
    EXPECT_EQ(platform::ansiToWide(decodedWith(kNameAt, broken)->partyName), u"张?三?");
}

// Other card types, by the mark at byte 248. Every field filled to its full
// width: each comes out whole, in its own place.
TEST(TextBlockDecoder, ForeignPermanentResidentCardHasItsOwnLayout) {
    Block block;
    fillWithSpaces(block);
    put(block, 0, u"MORGAN, ELEANOR GRACE ABCDEFGHIJKLMNOPQRSTUVWXYZ ABCDEFGHIJK");  // 60 characters
    put(block, 120, u"2");
    put(block, 122, u"GBR118806150231");
    put(block, 152, u"GBR");
    put(block, 158, u"莫艾琳甲乙丙丁戊己庚辛壬癸子丑");
    put(block, 188, u"20210315");
    put(block, 204, u"20310315");
    put(block, 220, u"19880615");
    put(block, 236, u"01");
    put(block, 240, u"1100");
    put(block, kCardTypeMarkAt, u"I");
    auto record = decoded(block);
    EXPECT_EQ(record->type, CardType::ForeignPermanentResident);
    EXPECT_EQ(record->cardType, "I");
    EXPECT_EQ(record->englishName, "MORGAN, ELEANOR GRACE ABCDEFGHIJKLMNOPQRSTUVWXYZ ABCDEFGHIJK");
    EXPECT_EQ(record->gender, 0);
    EXPECT_EQ(record->certNumber, "GBR118806150231");
    EXPECT_EQ(record->nationality, "GBR");
    EXPECT_EQ(utf8(record->chineseName), "莫艾琳甲乙丙丁戊己庚辛壬癸子丑");
    EXPECT_EQ(utf8(record->partyName), "莫艾琳甲乙丙丁戊己庚辛壬癸子丑");
    EXPECT_EQ(record->effDate, "20210315");
    EXPECT_EQ(record->expDate, "20310315");
    EXPECT_EQ(record->bornDay, "19880615");
    EXPECT_EQ(record->cardVersion, "01");
    EXPECT_EQ(record->certOrg, "1100");
    EXPECT_EQ(record->nation, "");
    EXPECT_EQ(record->certAddress, "");
    EXPECT_EQ(record->passNumber + record->issueCount, "");

    // A blank Chinese name: the holder's name is the English name.
    put(block, 0, std::u16string(u"MORGAN, ELEANOR") + std::u16string(45, u' '));
    put(block, 158, std::u16string(15, u' '));
    record = decoded(block);
    EXPECT_EQ(record->chineseName, "");
    EXPECT_EQ(record->partyName, "MORGAN, ELEANOR");
}

TEST(TextBlockDecoder, HongKongMacaoTaiwanResidencePermitHasNoNation) {
    Block block;
    fillWithSpaces(block);
    put(block, kNameAt, u"陈嘉欣");
    put(block, kGenderAt, u"1");
    put(block, kNationAt, u"01");  // reserved on a permit: never a nation
    put(block, kBornAt, u"19960412");
    put(block, kAddressAt, u"广东省深圳市福田区莲花路128号");
    put(block, kNumberAt, u"810000199604120022");
    put(block, kOrgAt, u"深圳市公安局福田分局");
    put(block, kEffAt, u"20220801");
    put(block, kExpAt, u"20270801");
    put(block, 220, u"H61234567");
    put(block, 238, u"12");
    put(block, 242, u"ZZZ");  // reserved
    put(block, kCardTypeMarkAt, u"J");
    const auto record = decoded(block);
    EXPECT_EQ(record->type, CardType::HongKongMacaoTaiwanResident);
    EXPECT_EQ(record->cardType, "J");
    EXPECT_EQ(utf8(record->partyName), "陈嘉欣");
    EXPECT_EQ(record->gender, 1);
    EXPECT_EQ(record->nation, "");
    EXPECT_EQ(record->bornDay, "19960412");
    EXPECT_EQ(utf8(record->certAddress), "广东省深圳市福田区莲花路128号");
    EXPECT_EQ(record->certNumber, "810000199604120022");
    EXPECT_EQ(utf8(record->certOrg), "深圳市公安局福田分局");
    EXPECT_EQ(record->effDate, "20220801");
    EXPECT_EQ(record->expDate, "20270801");
    EXPECT_EQ(record->passNumber, "H61234567");
    EXPECT_EQ(record->issueCount, "12");
    EXPECT_EQ(record->englishName + record->chineseName + record->nationality + record->cardVersion, "");
}

// Only a capital letter with a zero high byte is a mark; a letter without a
// known layout decodes nothing, and a record decoded before keeps nothing.
TEST(TextBlockDecoder, UnknownMarksDecodeNothing) {
    struct MarkCase {
        char16_t mark;
        CardType type;
        const char* cardType;
    };
    const MarkCase cases[] = {
        {u'Y', CardType::Unknown, "Y"},   {u'A', CardType::Unknown, "A"},
        {u'I', CardType::ForeignPermanentResident, "I"}, {u'i', CardType::Resident, ""},
        {0x0149, CardType::Resident, ""}, {u' ', CardType::Resident, ""},
        {0, CardType::Resident, ""},
    };
    for (const MarkCase& c : cases) {
        Block block;
        fillWithSpaces(block);
        put(block, kNameAt, u"张三");
        put(block, kGenderAt, u"2");
        put(block, kNationAt, u"01");
        put(block, kCardTypeMarkAt, std::u16string_view(&c.mark, 1));
        auto record = std::make_unique<IdentityRecord>();
        record->englishName = record->passNumber = record->cardType = "old";
        decodeTextBlock(*record, block);
        EXPECT_EQ(record->type, c.type) << "mark U+" << std::hex << int(c.mark);
        EXPECT_EQ(record->cardType, c.cardType);
        EXPECT_EQ(record->passNumber, "");
        EXPECT_EQ(record->englishName.empty(), c.type != CardType::ForeignPermanentResident);
        if (c.type != CardType::Unknown) continue;
        EXPECT_EQ(record->gender, -1);
        for (std::string IdentityRecord::*text : kDecodedTexts) {
            if (text != &IdentityRecord::cardType) {
                EXPECT_EQ((*record).*text, "");
            }
        }
    }
}

TEST(TextBlockDecoder, TouchesNothingButTheTextsAndGender) {
    auto record = std::make_unique<IdentityRecord>();
    fillWithSpaces(record->textBlock);
    put(record->textBlock, kNameAt, u"张三");
    record->identityPic = "pic";
    record->base64ID_PicFront = "front";
    record->base64ID_PicBack = "back";
    std::memset(record->photoData, 0x11, sizeof record->photoData);
    std::memset(record->fingerprintData, 0x22, sizeof record->fingerprintData);
    std::memset(record->portraitBitmap, 0x33, sizeof record->portraitBitmap);
    const auto before = std::make_unique<IdentityRecord>(*record);

    decodeTextBlock(*record, record->textBlock);

    EXPECT_EQ(utf8(record->partyName), "张三");
    EXPECT_EQ(record->identityPic, "pic");
    EXPECT_EQ(record->base64ID_PicFront, "front");
    EXPECT_EQ(record->base64ID_PicBack, "back");
    EXPECT_EQ(std::memcmp(record->textBlock, before->textBlock, kTextBlockSize), 0);
    EXPECT_EQ(std::memcmp(record->photoData, before->photoData, kPhotoDataSize), 0);
    EXPECT_EQ(std::memcmp(record->fingerprintData, before->fingerprintData, kFingerprintDataSize), 0);
    EXPECT_EQ(std::memcmp(record->portraitBitmap, before->portraitBitmap, kPortraitBitmapSize), 0);
}

}  // namespace
}  // namespace carddata::test
