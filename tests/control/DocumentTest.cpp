#include <gtest/gtest.h>
#include <json/value.h>

#include <string>

#include "control/Messages.h"
#include "control/ResultDocument.h"
#include "platform/CodePage.h"

namespace {

using control::writeDocument;

std::string gbk(const std::u16string& text) { return platform::wideToAnsi(text); }

TEST(DocumentText, MembersSortedOneLineEachWithFinalLineFeed) {
    Json::Value document(Json::objectValue);
    document["status"] = 1;
    document["resultFlag"] = -145;
    document["errorMsg"] = "";
    document["resultContent"]["partyName"] = "x";
    document["resultContent"]["gender"] = 0;
    document["resultContent"]["base64ID_PicBack"] = "";
    document["samid"] = "id";
    EXPECT_EQ(writeDocument(document),
              "{\n"
              "   \"errorMsg\" : \"\",\n"
              "   \"resultContent\" : {\n"
              "      \"base64ID_PicBack\" : \"\",\n"
              "      \"gender\" : 0,\n"
              "      \"partyName\" : \"x\"\n"
              "   },\n"
              "   \"resultFlag\" : -145,\n"
              "   \"samid\" : \"id\",\n"
              "   \"status\" : 1\n"
              "}\n");
    EXPECT_EQ(writeDocument(Json::Value(Json::objectValue)), "{}\n");
}

TEST(DocumentText, EscapesByCharacterOfTheCodePage) {
    struct Case {
        std::string text;
        std::string written;
    };
    const Case cases[] = {
        {"say \"hi\"", "\"say \\\"hi\\\"\""},
        {"a\\b/c", "\"a\\\\b/c\""},
        {"\b\f\n\r\t", "\"\\b\\f\\n\\r\\t\""},
        {"\x01\x1F\x7F", "\"\\u0001\\u001F\x7F\""},
        {gbk(u"淺"), "\"\x9C\x5C\""},                   // the trail byte is no backslash
        {gbk(u"淺\"") + "\\", "\"\x9C\x5C\\\"\\\\\""},  // and the next character still is
#if !defined(_WIN32)  // GB18030's four-byte form; Wine's GBK writes '?'
        {gbk(u"\u4C9C"), "\"\x82\x34\xEB\x30\""},
#endif
        {std::string("\x9C"), "\"?\""},              // a lead byte cut off at the end
        {std::string("\xD6\"x"), "\"?\\\"x\""},      // a stray lead byte never swallows an escape
        {std::string("\xD6\nx\xFF"), "\"?\\nx?\""},
    };
    for (const Case& c : cases) {
        Json::Value document(Json::objectValue);
        document["k"] = c.text;
        EXPECT_EQ(writeDocument(document), "{\n   \"k\" : " + c.written + "\n}\n") << c.text;
    }
}

TEST(DocumentText, MessagesAreGbkBytes) {
    namespace m = control::messages;
    const std::pair<const char*, std::u16string> messages[] = {
        {m::kConnectError, u"连接错误"},       {m::kLibraryLoadFailed, u"动态库加载失败"},
        {m::kDeviceNotConnected, u"设备未连接"}, {m::kUnknownError, u"未知错误"},
        {m::kCloseError, u"关闭错误"},         {m::kErrorOccurred, u"发生错误"},
        {m::kSamNotAuthorised, u"SAM_A 没经过授权， 无法使用"},
        {m::kDriverNotFound, u"无法找到驱动"},  {m::kReadCardError, u"读卡错误"},
        {m::kLibraryLinkError, u"动态库连接错误"}, {m::kSamIdError, u"获取模块号错误"},
        {m::kSamIdFailed, u"获取模块号失败"},
    };
    EXPECT_EQ(std::string(m::kConnectError), "\xC1\xAC\xBD\xD3\xB4\xED\xCE\xF3");
    for (const auto& [bytes, text] : messages) EXPECT_EQ(std::string(bytes), gbk(text));
}

}  // namespace
