#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <vector>

#include <jpeglib.h>

#include "ModuleFixture.h"
#include "cardface/Base64Decoder.h"

namespace moduletest {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

struct JpegErrors {
    jpeg_error_mgr manager;
    std::jmp_buf escape;
};

// "<JPEG WxH>" when the stream decodes completely, with no warning, into a
// picture of that size; otherwise a description of what is wrong.
std::string describeJpeg(const std::string& stream) {
    jpeg_decompress_struct info{};
    JpegErrors errors{};
    info.err = jpeg_std_error(&errors.manager);
    errors.manager.error_exit = [](j_common_ptr common) {
        std::longjmp(reinterpret_cast<JpegErrors*>(common->err)->escape, 1);
    };
    errors.manager.output_message = [](j_common_ptr) {};
    jpeg_create_decompress(&info);
    // Nothing with a destructor may begin life between setjmp and a longjmp.
    std::string description = "<not a JPEG>";
    std::vector<unsigned char> row;
    if (setjmp(errors.escape) == 0) {
        jpeg_mem_src(&info, reinterpret_cast<const unsigned char*>(stream.data()), stream.size());
        jpeg_read_header(&info, TRUE);
        jpeg_start_decompress(&info);
        row.resize(std::size_t{info.output_width} * info.output_components);
        while (info.output_scanline < info.output_height) {
            JSAMPROW rows[] = {row.data()};
            jpeg_read_scanlines(&info, rows, 1);
        }
        jpeg_finish_decompress(&info);
        description = errors.manager.num_warnings != 0
                          ? "<JPEG with warnings>"
                          : "<JPEG " + std::to_string(info.image_width) + "x" + std::to_string(info.image_height) + ">";
    }
    jpeg_destroy_decompress(&info);
    return description;
}

// The document with each Base64 image replaced by its description.
std::string withImagesDescribed(std::string document) {
    for (const char* key : {"\"identityPic\" : \"", "\"base64ID_PicFront\" : \"", "\"base64ID_PicBack\" : \""}) {
        const std::size_t start = document.find(key);
        if (start == std::string::npos) continue;
        const std::size_t begin = start + std::strlen(key);
        const std::size_t end = document.find('"', begin);
        if (end == begin || end == std::string::npos) continue;
        document.replace(begin, end - begin, describeJpeg(cardface::base64Decode(document.substr(begin, end - begin))));
    }
    return document;
}

// The golden document with the image members empty.
std::string withoutImages(std::string document) {
    for (const char* placeholder : {"<JPEG 340x214>", "<JPEG 340x214>", "<JPEG 102x126>"}) {
        document.erase(document.find(placeholder), std::strlen(placeholder));
    }
    return document;
}

class ReadCert : public Module {};

TEST_F(ReadCert, SampleCardGivesTheCompleteDocument) {
    const ProcessResult r = ivelcard({"call", "connect", "readCert"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.err, "");
    ASSERT_EQ(r.out.rfind(doc(0, ""), 0), 0u);
    const std::string document = r.out.substr(doc(0, "").size());
    EXPECT_EQ(std::count(document.begin(), document.end(), '\n'), 18);
    EXPECT_EQ(withImagesDescribed(document), readFile(std::string(IVELCARD_TEST_DATA_DIR) + "/control/readcert-sample.txt"));
    EXPECT_THAT(log(), ElementsAre(probe(0), probe(1001), "SDT_SetMaxRFByte 1001 120 1", "SDT_StartFindIDCard 1001 1",
                                   "SDT_SelectIDCard 1001 1", "SDT_ReadBaseFPMsg 1001 1"));
}

// The other card types' documents: the twelve members filled with what
// corresponds, and the members of their own.
TEST_F(ReadCert, OtherCardTypesGiveTheirOwnDocuments) {
    for (const std::string card : {"foreign", "permit"}) {
        describeReader(readFile(std::string(IVELCARD_TEST_DATA_DIR) + "/carddata/" + card + "-reader.json"));
        const ProcessResult r = ivelcard({"call", "connect", "readCert"});
        ASSERT_EQ(r.out.rfind(doc(0, ""), 0), 0u) << card;
        EXPECT_EQ(withImagesDescribed(r.out.substr(doc(0, "").size())),
                  readFile(std::string(IVELCARD_TEST_DATA_DIR) + "/control/readcert-" + card + ".txt"))
            << card;
    }
}

// A card type whose layout is not known: a resident card's text before its
// mark is not decoded; the document has the mark, the portrait and nothing
// else.
TEST_F(ReadCert, UnknownCardTypeGivesItsMarkAndThePortraitOnly) {
    // "张三" in the name field, zeros up to byte 248, then "Y".
    describeReader(R"({"textBlockHex": "205f094e)" + std::string(2 * 244, '0') + R"(5900"})");
    const ProcessResult r = ivelcard({"call", "connect", "readCert"});
    EXPECT_EQ(withImagesDescribed(r.out), doc(0, "") + R"({
   "errorMsg" : "",
   "resultContent" : {
      "base64ID_PicBack" : "",
      "base64ID_PicFront" : "",
      "bornDay" : "",
      "cardType" : "Y",
      "certAddress" : "",
      "certNumber" : "",
      "certOrg" : "",
      "effDate" : "",
      "expDate" : "",
      "gender" : -1,
      "identityPic" : "<JPEG 102x126>",
      "nation" : "",
      "partyName" : ""
   },
   "resultFlag" : 0
}
)");

    // The face command says why there are no faces.
    const ProcessResult faces = ivelcard({"face", "--out", scratch_ / "faces"});
    EXPECT_EQ(faces.exitCode, 1);
    EXPECT_THAT(faces.err, HasSubstr("ivelcard: the card faces are empty: there are none for a card of type \"Y\"\n"));
}

// One control reads the same card 1,000 times in one process: every
// document is the first one, byte for byte, and that one is the golden
// document (the kept fonts, glyphs and buffers change nothing).
TEST_F(ReadCert, ThousandReadsInOneProcessGiveIdenticalDocuments) {
    const ProcessResult r = script({"new", "call:connect", "repeat:1000:readCert"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const std::string connected = doc(0, "");
    ASSERT_EQ(r.out.substr(0, connected.size()), connected);
    const std::string tail = "1000 calls, 0 differing\n";
    ASSERT_GE(r.out.size(), connected.size() + tail.size());
    EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail);
    const std::string document = r.out.substr(connected.size(), r.out.size() - connected.size() - tail.size());
    EXPECT_EQ(withImagesDescribed(document),
              readFile(std::string(IVELCARD_TEST_DATA_DIR) + "/control/readcert-sample.txt"));
}

TEST_F(ReadCert, NoCardIsAFailedReadAfterAllThreeSteps) {
    describeReader(R"({"card": null})");
    const ProcessResult r = ivelcard({"call", "connect", "readCert"});
    EXPECT_EQ(r.out, doc(0, "") + doc(-1, "读卡错误"));
    const auto calls = log();
    ASSERT_GE(calls.size(), 3u);
    EXPECT_THAT(std::vector(calls.end() - 3, calls.end()),
                ElementsAre("SDT_StartFindIDCard 1001 1", "SDT_SelectIDCard 1001 1", "SDT_ReadBaseFPMsg 1001 1"));
}

TEST_F(ReadCert, WithoutConnectTheSessionIsClosed) {
    const ProcessResult r = ivelcard({"call", "readCert"});
    EXPECT_EQ(r.out, doc(-1, "设备未连接"));
    EXPECT_FALSE(std::filesystem::exists(scratch_ / "calls.log"));
}

TEST_F(ReadCert, AnswerThirtyThreeFallsBackToThePlainRead) {
    describeReader(R"({"results": {"readFP": 33}})");
    const ProcessResult r = ivelcard({"call", "connect", "readCert"});
    EXPECT_THAT(r.out, HasSubstr("\"partyName\" : \"赵明远\"\n"));
    EXPECT_EQ(log().back(), "SDT_ReadBaseMsg 1001 1");
}

TEST_F(ReadCert, OtherReadFailuresDoNotTryThePlainRead) {
    describeReader(R"({"results": {"readFP": 65, "read": 144}})");
    const ProcessResult r = ivelcard({"call", "connect", "readCert"});
    EXPECT_EQ(r.out, doc(0, "") + doc(-1, "读卡错误"));
    EXPECT_EQ(log().back(), "SDT_ReadBaseFPMsg 1001 1");
}

TEST_F(ReadCert, UndecodablePortraitGivesTheTextsWithoutImages) {
    describeReader(R"({"photoBase64": "AAAA"})");
    const ProcessResult r = ivelcard({"call", "connect", "readCert"});
    EXPECT_EQ(r.out, doc(0, "") + withoutImages(readFile(std::string(IVELCARD_TEST_DATA_DIR) + "/control/readcert-sample.txt")));
}

TEST_F(ReadCert, MissingSystemFontGivesThePortraitWithoutFaces) {
    ProcessResult r = testsupport::runProcess(
        {testsupport::binDir() + "/ivelcard", "--module", module(), "call", "connect", "readCert"},
        [&] {
            auto env = environment();
            env["windir"] = scratch_ / "no-windows";
            return env;
        }());
    EXPECT_EQ(r.exitCode, 0);
    const std::string document = withImagesDescribed(r.out);
    EXPECT_THAT(document, HasSubstr("\"identityPic\" : \"<JPEG 102x126>\""));
    EXPECT_THAT(document, HasSubstr("\"base64ID_PicFront\" : \"\""));
    EXPECT_THAT(document, HasSubstr("\"base64ID_PicBack\" : \"\""));
    // The rasteriser's messages go to standard error, never into the documents.
    EXPECT_NE(r.err, "");
}

TEST_F(ReadCert, CardTextsReachTheHostExactly) {
    describeReader(R"({"card": {"name": "淺\"\\\u4C9C", "authority": "a\tb"}, "photoBase64": ""})");
    const ProcessResult r = ivelcard({"call", "connect", "readCert"});
    EXPECT_THAT(r.out, HasSubstr("\"partyName\" : \"淺\\\"\\\\\u4C9C\"\n"));
    EXPECT_THAT(r.out, HasSubstr("\"certOrg\" : \"a\\tb\",\n"));
    // The fields the description leaves out keep the sample card's values.
    EXPECT_THAT(r.out, HasSubstr("\"certNumber\" : \"110108198806151237\",\n"));
    EXPECT_THAT(r.out, HasSubstr("\"gender\" : 1,\n"));
}

TEST_F(ReadCert, UnconvertibleCardCharactersBecomeQuestionMarks) {
    // The name field holds "A", an unpaired surrogate and "B".
    describeReader(R"({"textBlockHex": "410000d84200", "photoBase64": ""})");
    const ProcessResult r = ivelcard({"call", "connect", "readCert"});
    EXPECT_THAT(r.out, HasSubstr("\"partyName\" : \"A?B\"\n"));
    EXPECT_THAT(r.out, HasSubstr("\"resultFlag\" : 0\n"));
}

TEST_F(ReadCert, FemaleHolderIsTheBareIntegerZero) {
    describeReader(R"({"card": {"gender": "2"}, "photoBase64": ""})");
    const ProcessResult r = ivelcard({"call", "connect", "readCert"});
    EXPECT_THAT(r.out, HasSubstr("\"gender\" : 0,\n"));
}

TEST_F(ReadCert, ReadCommandPrintsTheDocumentAndWritesThePictures) {
    const ProcessResult r = ivelcard({"read", "--out", scratch_ / "card"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(withImagesDescribed(r.out),
              readFile(std::string(IVELCARD_TEST_DATA_DIR) + "/control/readcert-sample.txt"));
    EXPECT_EQ(describeJpeg(readFile(scratch_ / "card/portrait.jpg")), "<JPEG 102x126>");
    EXPECT_EQ(describeJpeg(readFile(scratch_ / "card/front.jpg")), "<JPEG 340x214>");
    EXPECT_EQ(describeJpeg(readFile(scratch_ / "card/back.jpg")), "<JPEG 340x214>");

    describeReader(R"({"ports": {}})");
    const ProcessResult failed = ivelcard({"read"});
    EXPECT_EQ(failed.exitCode, 0);
    EXPECT_EQ(failed.out, doc(-1, "设备未连接"));
    EXPECT_THAT(failed.err, HasSubstr("connect failed"));
}

TEST_F(ReadCert, FaceCommandRendersTheDescribedCard) {
    const std::string second = std::string(IVELCARD_TEST_DATA_DIR) + "/carddata/second-reader.json";
    const ProcessResult r = ivelcard({"face", "--reader", second, "--out", scratch_ / "faces"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(describeJpeg(readFile(scratch_ / "faces/front.jpg")), "<JPEG 340x214>");
    EXPECT_EQ(describeJpeg(readFile(scratch_ / "faces/back.jpg")), "<JPEG 340x214>");
}

}  // namespace
}  // namespace moduletest
