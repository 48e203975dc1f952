#include <gtest/gtest.h>

#include <cstring>

#include "FakeReader.h"
#include "reader/Deployment.h"
#include "reader/Session.h"

namespace {

using fakereader::calls;
using fakereader::script;
using reader::readerLibrary;

std::vector<std::string> probes(std::initializer_list<int> ports) {
    std::vector<std::string> lines;
    for (int port : ports) lines.push_back("SDT_GetSAMStatus " + std::to_string(port) + " 1");
    return lines;
}

std::vector<std::string> allProbesFrom(int remembered) {
    std::vector<std::string> lines = probes({remembered});
    for (int port : reader::kSearchPorts) lines.push_back("SDT_GetSAMStatus " + std::to_string(port) + " 1");
    return lines;
}

class Session : public ::testing::Test {
protected:
    void SetUp() override { fakereader::install(); }
};

TEST_F(Session, OpenSearchesFromTheRememberedPortAndTunesTheFoundOne) {
    script().statusByPort[1003] = {144};
    EXPECT_EQ(reader::openSession(), 0);
    auto expected = probes({0, 1001, 1002, 1003});
    expected.push_back("SDT_SetMaxRFByte 1003 120 1");
    EXPECT_EQ(calls(), expected);
    EXPECT_TRUE(readerLibrary().connected);
    EXPECT_EQ(readerLibrary().currentPort, 1003);

    calls().clear();
    EXPECT_EQ(reader::openSession(), 0);
    EXPECT_EQ(calls(), (std::vector<std::string>{"SDT_GetSAMStatus 1003 1", "SDT_SetMaxRFByte 1003 120 1"}));
}

TEST_F(Session, OpenWithoutAReaderMakesTwentyTwoProbes) {
    EXPECT_EQ(reader::openSession(), -1);
    EXPECT_EQ(calls(), allProbesFrom(0));
    EXPECT_FALSE(readerLibrary().connected);
}

TEST_F(Session, AnOpenSessionStaysOpenWhenTheReaderIsGone) {
    script().statusByPort[1001] = {144, 1};
    ASSERT_EQ(reader::openSession(), 0);
    calls().clear();
    EXPECT_EQ(reader::openSession(), 0);
    EXPECT_EQ(calls(), allProbesFrom(1001));
    EXPECT_TRUE(readerLibrary().connected);
    EXPECT_EQ(readerLibrary().currentPort, 1001);
}

TEST_F(Session, AnswerZeroOpensWithoutTuningOnAnyPort) {
    // On the remembered port.
    readerLibrary().currentPort = 7;
    script().statusByPort[7] = {0};
    EXPECT_EQ(reader::openSession(), 0);
    EXPECT_EQ(calls(), probes({7}));
    EXPECT_TRUE(readerLibrary().connected);
    EXPECT_EQ(readerLibrary().currentPort, 7);

    // On a search port: the session really opens there, so a following query
    // reaches the reader.
    fakereader::install();
    script().statusByPort[1002] = {0};
    EXPECT_EQ(reader::openSession(), 0);
    EXPECT_EQ(calls(), probes({0, 1001, 1002}));
    EXPECT_TRUE(readerLibrary().connected);
    EXPECT_EQ(readerLibrary().currentPort, 1002);
    char buffer[reader::kSamIdBufferSize];
    EXPECT_EQ(reader::querySamId(buffer), 0);
}

TEST_F(Session, OperationsReportLibrariesNotReadyAndClosedWithoutCallingTheLibrary) {
    char buffer[reader::kSamIdBufferSize];
    EXPECT_EQ(reader::closeSession(), -1);
    EXPECT_EQ(reader::querySamStatus(), -1);
    EXPECT_EQ(reader::querySamId(buffer), -1);
    readerLibrary().librariesReady = false;
    EXPECT_EQ(reader::openSession(), -2);
    EXPECT_EQ(reader::closeSession(), -2);
    EXPECT_EQ(reader::querySamStatus(), -2);
    EXPECT_EQ(reader::querySamId(buffer), -2);
    EXPECT_TRUE(calls().empty());
}

TEST_F(Session, CloseAlwaysLeavesTheSessionClosedAndKeepsThePort) {
    for (const auto& [result, code] : {std::pair{144, 0}, std::pair{1, 1}}) {
        fakereader::install();
        script().statusByPort[1001] = {144};
        script().closeResult = result;
        ASSERT_EQ(reader::openSession(), 0);
        EXPECT_EQ(reader::closeSession(), code);
        EXPECT_FALSE(readerLibrary().connected);
        EXPECT_EQ(readerLibrary().currentPort, 1001);
        EXPECT_EQ(calls().back(), "SDT_ClosePort 1001");
        EXPECT_EQ(reader::closeSession(), -1);
    }
}

TEST_F(Session, StatusQueryPassesTheCodeAndChangesNothing) {
    script().statusByPort[1001] = {144, 96};
    ASSERT_EQ(reader::openSession(), 0);
    EXPECT_EQ(reader::querySamStatus(), 96);
    EXPECT_TRUE(readerLibrary().connected);
    EXPECT_EQ(calls().back(), "SDT_GetSAMStatus 1001 1");
}

TEST_F(Session, SamIdQueryKeepsWhatTheLibraryWroteOnFailure) {
    script().statusByPort[1001] = {144};
    ASSERT_EQ(reader::openSession(), 0);
    char buffer[reader::kSamIdBufferSize];
    std::memset(buffer, 'x', sizeof buffer);
    script().samIdText = "partial";
    script().samIdResult = 145;
    EXPECT_EQ(reader::querySamId(buffer), 1);
    EXPECT_STREQ(buffer, "partial");
    EXPECT_TRUE(readerLibrary().connected);

    // Not connected: the buffer is zero-filled all the same.
    readerLibrary().connected = false;
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(reader::querySamId(buffer), -1);
    EXPECT_EQ(std::string(buffer, sizeof buffer), std::string(sizeof buffer, '\0'));
}

TEST(WorkDirectory, PathHasExactlyOneSeparatorBeforeTheDirectoryName) {
#if defined(_WIN32)
    EXPECT_EQ(reader::workDirectoryPathFrom("C:\\Temp"), "C:\\Temp\\chinaidcard\\");
    EXPECT_EQ(reader::workDirectoryPathFrom("C:\\Temp\\"), "C:\\Temp\\chinaidcard\\");
#else
    EXPECT_EQ(reader::workDirectoryPathFrom("/run/user/1000"), "/run/user/1000/chinaidcard/");
    EXPECT_EQ(reader::workDirectoryPathFrom("/run/user/1000/"), "/run/user/1000/chinaidcard/");
#endif
}

}  // namespace
