#include <gtest/gtest.h>

#include "FakeReader.h"
#include "carddata/IdentityRecord.h"
#include "platform/Exceptions.h"
#include "reader/CardRead.h"
#include "reader/Session.h"
#include "support/TestSupport.h"

namespace {

using fakereader::calls;
using fakereader::script;
using Calls = std::vector<std::string>;

// A decoder that never reports success, so that no images are made.
int READER_API noPortrait(char*, int) { return 0; }

class CardRead : public ::testing::Test {
protected:
    void SetUp() override {
        fakereader::install();
        reader::readerLibrary().GetBmp = noPortrait;
        script().statusByPort[1001] = {144};
        ASSERT_EQ(reader::openSession(), 0);
        calls().clear();
        // The name field holds "AB".
        script().textBlock[0] = 'A';
        script().textBlock[2] = 'B';
    }

    testsupport::ScopedRuntimeDir runtime_;
    carddata::IdentityRecord record_;
};

TEST_F(CardRead, FindSelectAndReadCallTheLibraryOnTheOpenPort) {
    EXPECT_EQ(reader::findCard(), 0);
    EXPECT_EQ(reader::selectCard(), 0);
    EXPECT_EQ(reader::readCard(record_), 0);
    EXPECT_EQ(calls(), (Calls{"SDT_StartFindIDCard 1001 1", "SDT_SelectIDCard 1001 1", "SDT_ReadBaseFPMsg 1001 1"}));
    EXPECT_EQ(record_.partyName, "AB");
    EXPECT_EQ(record_.identityPic, "");
    EXPECT_EQ(record_.base64ID_PicFront, "");
}

TEST_F(CardRead, OnlyTheExactSuccessCodesCount) {
    script().findResult = 144;  // 159 means found, 144 does not
    script().selectResult = 159;
    EXPECT_EQ(reader::findCard(), -1);
    EXPECT_EQ(reader::selectCard(), -1);
}

TEST_F(CardRead, AnswerThirtyThreeFallsBackToThePlainRead) {
    script().readFpResult = 33;
    EXPECT_EQ(reader::readCard(record_), 0);
    EXPECT_EQ(calls(), (Calls{"SDT_ReadBaseFPMsg 1001 1", "SDT_ReadBaseMsg 1001 1"}));
    EXPECT_EQ(record_.partyName, "AB");

    script().readResult = 65;
    carddata::IdentityRecord other;
    EXPECT_EQ(reader::readCard(other), -1);
}

TEST_F(CardRead, AnyOtherReadFailureGivesMinusOneWithoutThePlainRead) {
    for (const int result : {0, 1, 65, 145}) {
        calls().clear();
        script().readFpResult = result;
        carddata::IdentityRecord record;
        EXPECT_EQ(reader::readCard(record), -1);
        EXPECT_EQ(calls(), (Calls{"SDT_ReadBaseFPMsg 1001 1"}));
        EXPECT_EQ(record.partyName, "");
        EXPECT_EQ(record.gender, -1);
    }
}

TEST_F(CardRead, ClosedSessionAndLibrariesNotReadyCallNothing) {
    reader::readerLibrary().connected = false;
    EXPECT_EQ(reader::findCard(), -2);
    EXPECT_EQ(reader::selectCard(), -2);
    EXPECT_EQ(reader::readCard(record_), -2);
    reader::readerLibrary().librariesReady = false;
    EXPECT_EQ(reader::findCard(), -3);
    EXPECT_EQ(reader::selectCard(), -3);
    EXPECT_EQ(reader::readCard(record_), -3);
    EXPECT_TRUE(calls().empty());
    EXPECT_FALSE(reader::readerLibrary().connected);
}

void failingDecoder(carddata::IdentityRecord&, const unsigned char (&)[carddata::kTextBlockSize]) {
    throw platform::CMemoryException();
}

TEST_F(CardRead, FrameworkFailureWhileDecodingTheTextReachesTheCaller) {
    const auto previous = reader::setTextBlockDecoder(failingDecoder);
    EXPECT_THROW(reader::readCard(record_), platform::CMemoryException);
    reader::setTextBlockDecoder(previous);
}

}  // namespace
