// The sample card on the virtual reader's default description: its texts,
// its card number's check digit, and its portrait through the stand-in
// decoder.
#include <gtest/gtest.h>

#include <memory>

#include "CardDataTestSupport.h"
#include "carddata/PortraitDecoder.h"
#include "carddata/TextBlockDecoder.h"
#include "reader/ReaderLibrary.h"

namespace carddata::test {
namespace {

// ISO 7064 MOD 11-2 over the first 17 digits, computed from its definition.
char checkCharacter(const std::string& number) {
    int sum = 0;
    for (std::size_t i = 0; i < 17; ++i) sum = (sum * 2 + (number[i] - '0')) % 11;
    const int check = (12 - (sum * 2) % 11) % 11;
    return check == 10 ? 'X' : static_cast<char>('0' + check);
}

TEST(SampleCard, CheckCharacterOfPublishedExamples) {
    EXPECT_EQ(checkCharacter("11010519491231002X"), 'X');
    EXPECT_EQ(checkCharacter("440524188001010014"), '4');
}

TEST(SampleCard, DefaultReaderHoldsTheSampleCard) {
    ASSERT_EQ(std::getenv("IVELCARD_VIRTUAL_READER"), nullptr) << "the default description is under test";
    platform::ModuleHandle library = platform::loadLibrary(testsupport::readerLibsDir() + "/sdtapi.so");
    ASSERT_NE(library, nullptr);
    const auto read = reinterpret_cast<reader::SdtReadBaseFpMsgFn>(platform::procAddress(library, "SDT_ReadBaseFPMsg"));
    ASSERT_NE(read, nullptr);

    auto record = std::make_unique<IdentityRecord>();
    std::uint32_t textLength = 0, photoLength = 0, fingerprintLength = 0;
    ASSERT_EQ(read(1001, record->textBlock, &textLength, record->photoData, &photoLength, record->fingerprintData,
                   &fingerprintLength, 1),
              144);
    decodeTextBlock(*record, record->textBlock);

    EXPECT_EQ(utf8(record->partyName), "赵明远");
    EXPECT_EQ(record->gender, 1);
    EXPECT_EQ(utf8(record->nation), "汉");
    EXPECT_EQ(record->bornDay, "19880615");
    EXPECT_EQ(utf8(record->certAddress), "北京市海淀区枫林路18号院3号楼2单元603室");
    EXPECT_EQ(record->certNumber, "110108198806151237");
    EXPECT_EQ(utf8(record->certOrg), "北京市公安局海淀分局");
    EXPECT_EQ(record->effDate, "20180615");
    EXPECT_EQ(record->expDate, "20380615");
    EXPECT_EQ(record->certNumber.back(), checkCharacter(record->certNumber));
    EXPECT_EQ(record->certNumber.substr(6, 8), record->bornDay);
    EXPECT_EQ((record->certNumber[16] - '0') % 2, record->gender) << "odd sequence digit: male";

    const std::string photo = testsupport::readFile(testData("sample-portrait.wlt"));
    ASSERT_EQ(photo.size(), kPhotoDataSize);
    EXPECT_EQ(std::memcmp(record->photoData, photo.data(), kPhotoDataSize), 0);

    testsupport::ScopedRuntimeDir runtime;
    const reader::GetBmpFn saved = reader::readerLibrary().GetBmp;
    reader::readerLibrary().GetBmp = standInGetBmp();
    const std::int32_t result = decodePortrait(record->photoData, record->portraitBitmap);
    reader::readerLibrary().GetBmp = saved;
    ASSERT_EQ(result, 1);
    const std::string original = testsupport::readFile(testData("sample-portrait.bmp"));
    ASSERT_EQ(original.size(), kPortraitBitmapSize);
    EXPECT_GE(portraitPsnr(record->portraitBitmap, reinterpret_cast<const unsigned char*>(original.data())), 28.0);
}

}  // namespace
}  // namespace carddata::test
