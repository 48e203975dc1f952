#include <gtest/gtest.h>

#include <string>

#include "FakeReader.h"
#include "control/IvelcardCtrl.h"
#include "platform/CodePage.h"
#include "platform/Exceptions.h"
#include "reader/CardRead.h"
#include "reader/ReaderLibrary.h"
#include "support/TestSupport.h"

namespace {

using control::CIvelcardCtrl;
using fakereader::script;
using Operation = platform::BSTR (*)(CIvelcardCtrl&);

platform::BSTR connect(CIvelcardCtrl& c) { return c.connect(); }
platform::BSTR disconnect(CIvelcardCtrl& c) { return c.disconnect(); }
platform::BSTR getStatus(CIvelcardCtrl& c) { return c.getStatus(); }
platform::BSTR getSAMID(CIvelcardCtrl& c) { return c.getSAMID(); }
platform::BSTR readCert(CIvelcardCtrl& c) { return c.readCert(); }

// The document as the host receives it, back in UTF-8 for comparison.
std::string documentText(platform::BSTR text) {
    std::string utf8 = platform::utf16ToUtf8(std::u16string(reinterpret_cast<const char16_t*>(text), platform::SysStringLen(text)));
    platform::SysFreeString(text);
    return utf8;
}

std::string flagAndMessage(int flag, const std::string& message) {
    return "{\n   \"errorMsg\" : \"" + message + "\",\n   \"resultFlag\" : " + std::to_string(flag) + "\n}\n";
}

std::string withMember(int flag, const std::string& message, const std::string& member) {
    return "{\n   \"errorMsg\" : \"" + message + "\",\n   \"resultFlag\" : " + std::to_string(flag) + ",\n   " +
           member + "\n}\n";
}

// How a row's reader state is arranged before the operation runs.
enum class Setup { Ready, Connected, NotReady, Failure, ConnectedThenFailure };

struct Row {
    const char* name;
    Operation operation;
    Setup setup;
    int status;  // what the reader answers on port 1001 after connecting
    std::string expected;
};

// A control in a private runtime directory, driving the fake reader.
class ControlOperations : public ::testing::Test {
protected:
    void SetUp() override {
        control_ = static_cast<CIvelcardCtrl*>(static_cast<platform::IDispatch*>(CIvelcardCtrl::create()));
        fakereader::install();
    }
    void TearDown() override { control_->Release(); }

    testsupport::ScopedRuntimeDir runtime_;
    CIvelcardCtrl* control_ = nullptr;
};

class Operations : public ControlOperations, public ::testing::WithParamInterface<Row> {};

TEST_P(Operations, ProduceTheExactDocument) {
    const Row& row = GetParam();
    reader::ReaderLibrary& library = reader::readerLibrary();
    switch (row.setup) {
        case Setup::Ready: break;
        case Setup::NotReady: library.librariesReady = false; break;
        case Setup::Failure: script().throwOnCall = true; break;
        case Setup::Connected:
        case Setup::ConnectedThenFailure:
            script().statusByPort[1001] = {144, row.status};
            ASSERT_EQ(documentText(control_->connect()), flagAndMessage(0, ""));
            script().throwOnCall = row.setup == Setup::ConnectedThenFailure;
            break;
    }
    EXPECT_EQ(documentText(row.operation(*control_)), row.expected);
}

std::string rowName(const ::testing::TestParamInfo<Row>& row) { return row.param.name; }

const std::string kSamId = "\"samid\" : \"0123-456\"";
const std::string kNoSamId = "\"samid\" : \"\"";

INSTANTIATE_TEST_SUITE_P(
    Connect, Operations,
    ::testing::Values(
        Row{"found", connect, Setup::Connected, 144, flagAndMessage(0, "")},
        Row{"noReader", connect, Setup::Ready, 0, flagAndMessage(-1, "设备未连接")},
        Row{"notReady", connect, Setup::NotReady, 0, flagAndMessage(-1, "动态库加载失败")},
        Row{"failure", connect, Setup::Failure, 0, flagAndMessage(-1, "连接错误")}),
    rowName);

INSTANTIATE_TEST_SUITE_P(
    Disconnect, Operations,
    ::testing::Values(
        Row{"closed", disconnect, Setup::Connected, 144, flagAndMessage(0, "")},
        Row{"notConnected", disconnect, Setup::Ready, 0, flagAndMessage(-1, "设备未连接")},
        Row{"notReady", disconnect, Setup::NotReady, 0, flagAndMessage(-2, "发生错误")},
        Row{"failure", disconnect, Setup::ConnectedThenFailure, 144,
            flagAndMessage(-1, "关闭错误")}),
    rowName);

INSTANTIATE_TEST_SUITE_P(
    GetStatus, Operations,
    ::testing::Values(
        Row{"ready", getStatus, Setup::Connected, 144, withMember(0, "", "\"status\" : 0")},
        Row{"notConnected", getStatus, Setup::Ready, 0,
            withMember(0, "设备未连接", "\"status\" : 1")},
        Row{"status96", getStatus, Setup::Connected, 96,
            withMember(0, "设备未连接", "\"status\" : 1")},
        Row{"status102", getStatus, Setup::Connected, 102,
            withMember(0, "SAM_A 没经过授权， 无法使用", "\"status\" : 1")},
        Row{"status1", getStatus, Setup::Connected, 1,
            withMember(-1, "无法找到驱动", "\"status\" : 1")},
        Row{"notReady", getStatus, Setup::NotReady, 0,
            withMember(-1, "动态库加载失败", "\"status\" : 1")},
        Row{"status145", getStatus, Setup::Connected, 145,
            withMember(145, "未知错误", "\"status\" : 1")},
        Row{"statusMinus3", getStatus, Setup::Connected, -3,
            withMember(-3, "未知错误", "\"status\" : 1")},
        Row{"failure", getStatus, Setup::ConnectedThenFailure, 144,
            withMember(-1, "设备未连接", "\"status\" : 1")}),
    rowName);

INSTANTIATE_TEST_SUITE_P(
    GetSamId, Operations,
    ::testing::Values(
        Row{"read", getSAMID, Setup::Connected, 144, withMember(0, "", kSamId)},
        Row{"notConnected", getSAMID, Setup::Ready, 0, withMember(-1, "获取模块号失败", kNoSamId)},
        Row{"notReady", getSAMID, Setup::NotReady, 0, withMember(-2, "获取模块号失败", kNoSamId)},
        Row{"failure", getSAMID, Setup::ConnectedThenFailure, 144,
            withMember(-1, "获取模块号错误", kNoSamId)}),
    rowName);

INSTANTIATE_TEST_SUITE_P(
    ReadCert, Operations,
    ::testing::Values(
        Row{"notConnected", readCert, Setup::Ready, 0, flagAndMessage(-1, "设备未连接")},
        Row{"notReady", readCert, Setup::NotReady, 0, flagAndMessage(-1, "动态库连接错误")}),
    rowName);

TEST_F(ControlOperations, SamIdFailureReportsWhatTheLibraryLeft) {
    script().statusByPort[1001] = {144};
    ASSERT_EQ(documentText(control_->connect()), flagAndMessage(0, ""));
    script().samIdResult = 1;
    script().samIdText = "05.01-\"half\\";
    EXPECT_EQ(documentText(control_->getSAMID()),
              withMember(1, "获取模块号失败", "\"samid\" : \"05.01-\\\"half\\\\\""));
}

TEST_F(ControlOperations, SamIdFillingTheWholeBufferIsNotReadPastIt) {
    script().statusByPort[1001] = {144};
    ASSERT_EQ(documentText(control_->connect()), flagAndMessage(0, ""));
    script().samIdText = std::string(40, '7');
    EXPECT_EQ(documentText(control_->getSAMID()), withMember(0, "", "\"samid\" : \"" + std::string(40, '7') + "\""));
}

TEST_F(ControlOperations, DisconnectTwiceSaysNotConnected) {
    script().statusByPort[1001] = {144};
    ASSERT_EQ(documentText(control_->connect()), flagAndMessage(0, ""));
    EXPECT_EQ(documentText(control_->disconnect()), flagAndMessage(0, ""));
    EXPECT_EQ(documentText(control_->disconnect()), flagAndMessage(-1, "设备未连接"));
    script().closeResult = 1;
    ASSERT_EQ(documentText(control_->connect()), flagAndMessage(0, ""));
    EXPECT_EQ(documentText(control_->disconnect()), flagAndMessage(1, "发生错误"));
}

void failingDecoder(carddata::IdentityRecord&, const unsigned char (&)[carddata::kTextBlockSize]) {
    throw platform::CException();
}

TEST_F(ControlOperations, CardReadEndedByAFrameworkFailureIsAFailedRead) {
    script().statusByPort[1001] = {144};
    ASSERT_EQ(documentText(control_->connect()), flagAndMessage(0, ""));
    // The card was found and selected (code 0) before the failure.
    const auto previous = reader::setTextBlockDecoder(failingDecoder);
    EXPECT_EQ(documentText(control_->readCert()), flagAndMessage(-1, "读卡错误"));
    reader::setTextBlockDecoder(previous);
    EXPECT_EQ(fakereader::calls().back(), "SDT_ReadBaseFPMsg 1001 1");
}

}  // namespace
