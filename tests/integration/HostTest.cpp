// What the ivelcard host tells a person: argument errors, the exit status
// table, the read summary and the reading note on a terminal, private
// pictures, the missing system font, versions, reader descriptions that
// cannot be used. The documents themselves never change.
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "ModuleFixture.h"

namespace moduletest {
namespace {

using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::StartsWith;
using testsupport::OnTerminal;

const std::string kNoReader = doc(-1, "设备未连接");

class Host : public Module {
protected:
    std::vector<std::string> host(std::vector<std::string> args) {
        args.insert(args.begin(), {testsupport::binDir() + "/ivelcard", "--module", module()});
        return args;
    }
    ProcessResult onTerminal(std::vector<std::string> args, OnTerminal which,
                             std::map<std::string, std::optional<std::string>> extra = {}) {
        auto env = environment();
        for (auto& [name, value] : extra) env[name] = value;
        return testsupport::runOnTerminal(host(std::move(args)), env, which);
    }
    ProcessResult withEnvironment(std::vector<std::string> args,
                                  std::map<std::string, std::optional<std::string>> extra) {
        auto env = environment();
        for (auto& [name, value] : extra) env[name] = value;
        return testsupport::runProcess(host(std::move(args)), env);
    }
    std::string sampleDocument() {
        const auto documents = testsupport::splitDocuments(ivelcard({"call", "connect", "readCert"}).out);
        return documents.size() == 2 ? documents[1] : "";
    }
    static unsigned mode(const std::string& path) {
        struct stat info {};
        ::stat(path.c_str(), &info);
        return info.st_mode & 07777;
    }
};

TEST_F(Host, DescriptionsThatCannotBeUsedAreNoReaderWithOneLineNamingFileMemberAndProblem) {
    const std::string file = scratch_ / "reader.json";
    const std::string members = "ports, results, samId, card, textBlockHex, photoBase64, fingerprintBase64, latencyMs";
    struct Case {
        std::string description;
        std::string problem;
    };
    const Case cases[] = {
        {R"({"portz": {"1001": 144}})", "member \"portz\": is unknown (members are " + members + ")"},
        {R"({"latencyMs": "300"})", "member \"latencyMs\": is a text, not an integer"},
        {R"({"latencyMs": -5})", "member \"latencyMs\": is -5, not between 0 and 60000"},
        {R"({"results": {"read": 4294967296}})", "member \"results.read\": is out of the range of a 32-bit integer"},
        {R"({"card": {"name": "一二三四五六七八九十一二三四五六"}})",
         "member \"card.name\": is 16 characters long, the field holds 15"},
        {R"({"card": {"gender": 1}})", "member \"card.gender\": is an integer, not a text"},
        {R"({"card": {"nickname": "x"}})",
         "member \"card.nickname\": is unknown (a card's fields are name, gender, nation, birthDate, address, "
         "number, authority, validFrom, validTo)"},
        {R"({"card": {"type": "J", "nation": "01"}})",
         "member \"card.nation\": is unknown (the fields of a card of type \"J\" are name, gender, birthDate, "
         "address, number, authority, validFrom, validTo, passNumber, issueCount)"},
        {R"({"card": {"type": "I", "englishName": "A", "number": "GBR1188061502312"}})",
         "member \"card.number\": is 16 characters long, the field holds 15"},
        {R"({"card": {"type": "i"}})",
         "member \"card.type\": is \"i\", not \"\" (a resident card) or one capital letter (I, J, ...)"},
        {R"({"results": {"close": 1.5}})", "member \"results.close\": is a number, not an integer"},
        {R"({"ports": {"1001": [144, "1"]}})", "member \"ports.1001[1]\": is a text, not an integer"},
        {R"({"ports": {"COM1": 144}})", "member \"ports.COM1\": is not a port number"},
        {R"({"samId": "0123456789012345678901234567890123456789"})",
         "member \"samId\": is 40 bytes long, the reader's text holds 39"},
        {R"({"textBlockHex": "41z0"})", "member \"textBlockHex\": has a character that is no hex digit at position 3"},
        {"{\"photoBase64\": \"" + std::string(1368, 'A') + "\"}",
         "member \"photoBase64\": decodes to 1026 bytes, the area holds 1024"},
        {R"({"samId": "a", "samId": "b"})", "not valid JSON: line 1, column 16: Duplicate key: 'samId'"},
        {"{\"ports\": {}", "not valid JSON: line 1, column 13: Missing ',' or '}' in object declaration"},
        {"[1001]", "the description is a list, not an object"},
        // Deeper than the parser's stack limit: once an exception out of the
        // reader library's entry points.
        {std::string(100000, '['), "not valid JSON: nested deeper than 64 levels"},
    };
    for (const Case& c : cases) {
        describeReader(c.description);
        const ProcessResult r = ivelcard({"call", "connect", "readCert"});
        EXPECT_EQ(r.exitCode, 0) << c.problem;
        EXPECT_EQ(r.out, kNoReader + kNoReader) << c.problem;
        EXPECT_EQ(r.err, "virtual reader: cannot read description " + file + ": " + c.problem + "\n");
    }

    const ProcessResult missing =
        withEnvironment({"call", "connect"}, {{"IVELCARD_VIRTUAL_READER", scratch_ / "nowhere.json"}});
    EXPECT_EQ(missing.out, kNoReader);
    EXPECT_EQ(missing.err,
              "virtual reader: cannot read description " + scratch_ / "nowhere.json" + ": No such file or directory\n");
}

TEST_F(Host, BadArgumentsSayWhatWasWrongThenTheUsage) {
    struct Case {
        std::vector<std::string> args;
        std::string problem;
        std::string usage;
    };
    const std::string hint = " (ivelcard --help tells more)\n";
    const std::string general =
        "usage: ivelcard [--module PATH] COMMAND [ARGUMENTS], COMMAND one of call, read, face, register, "
        "unregister, about, allow-origin, draw" + hint;
    const Case cases[] = {
        {{"read", "--outt", "x"}, "ivelcard: read: unknown option '--outt'",
         "usage: ivelcard [--module PATH] read [--out DIR] [--summary | --document]" + hint},
        {{"read", "--out"}, "ivelcard: read: --out needs DIR",
         "usage: ivelcard [--module PATH] read [--out DIR] [--summary | --document]" + hint},
        {{"read", "--summary", "--document"}, "ivelcard: read: --summary and --document exclude each other",
         "usage: ivelcard [--module PATH] read [--out DIR] [--summary | --document]" + hint},
        {{"read", "card"}, "ivelcard: read: unexpected argument 'card'",
         "usage: ivelcard [--module PATH] read [--out DIR] [--summary | --document]" + hint},
        {{"call"}, "ivelcard: call: missing member name", "usage: ivelcard [--module PATH] call OP [OP...]" + hint},
        {{"face", "--reader", "r.json"}, "ivelcard: face: missing --out DIR",
         "usage: ivelcard [--module PATH] face [--reader DESCRIPTION] --out DIR" + hint},
        {{"draw", "12y4", "--out", "x.bmp"}, "ivelcard: draw: '12y4' is not a size WxH with sides from 1 to 16384",
         "usage: ivelcard [--module PATH] draw WxH --out FILE.bmp" + hint},
        {{"draw", "0x4", "--out", "x.bmp"}, "ivelcard: draw: '0x4' is not a size WxH with sides from 1 to 16384",
         "usage: ivelcard [--module PATH] draw WxH --out FILE.bmp" + hint},
        {{"register", "a.so", "b.so"}, "ivelcard: register: unexpected module path 'b.so'",
         "usage: ivelcard [--module PATH] register [MODULE]" + hint},
        {{"unregister", "now"}, "ivelcard: unregister: unexpected argument 'now'",
         "usage: ivelcard [--module PATH] unregister" + hint},
        {{"reed"}, "ivelcard: unknown command 'reed'", general},
        {{}, "ivelcard: no command given", general},
    };
    for (const Case& c : cases) {
        const ProcessResult r = ivelcard(c.args);
        EXPECT_EQ(r.exitCode, 64) << c.problem;
        EXPECT_EQ(r.out, "") << c.problem;
        EXPECT_EQ(r.err, c.problem + "\n" + c.usage);
    }
}

TEST_F(Host, HelpAndReadmeGiveTheSameExitStatusTable) {
    const ProcessResult help = testsupport::runProcess({testsupport::binDir() + "/ivelcard", "--help"});
    ASSERT_EQ(help.exitCode, 0);
    const std::size_t start = help.out.find("Exit status:\n");
    ASSERT_NE(start, std::string::npos);
    std::istringstream rows(help.out.substr(start + 13));
    const std::string readme = readFile(std::string(IVELCARD_SOURCE_DIR) + "/README.md");
    int count = 0;
    for (std::string row; std::getline(rows, row) && !row.empty(); ++count) {
        const std::size_t number = row.find_first_not_of(' ');
        const std::size_t gap = row.find("  ", number);
        const std::string status = row.substr(number, gap - number);
        const std::string meaning = row.substr(gap + 2);
        EXPECT_NE(readme.find("| " + status + " | " + meaning + " |\n"), std::string::npos) << row;
    }
    EXPECT_EQ(count, 4);
}

TEST_F(Host, ExitStatusesFollowTheTable) {
    EXPECT_EQ(ivelcard({"call", "connect"}, "no_such_module").exitCode, 2);
    EXPECT_EQ(ivelcard({"call", "noSuchMember"}).exitCode, 2);
    writeFile(scratch_ / "file", "");
    const ProcessResult blocked = ivelcard({"read", "--out", scratch_ / "file/card"});
    EXPECT_EQ(blocked.exitCode, 1);
    EXPECT_EQ(blocked.out, "");
    EXPECT_EQ(blocked.err, "ivelcard: cannot create " + scratch_ / "file/card" + "\n");
    EXPECT_EQ(ivelcard({"face", "--out", scratch_ / "file/faces"}).exitCode, 1);
    // A failed read is still an answer; pictures asked for and not there are not.
    describeReader(R"({"card": null})");
    EXPECT_EQ(ivelcard({"read", "--document"}).exitCode, 0);
    EXPECT_EQ(ivelcard({"read", "--out", scratch_ / "none"}).exitCode, 1);
    EXPECT_EQ(ivelcard({"face", "--out", scratch_ / "none"}).exitCode, 1);
}

const std::string kSummary =
    "name      赵明远\n"
    "gender    男\n"
    "nation    汉\n"
    "born      1988-06-15\n"
    "address   北京市海淀区枫林路18号院3号楼2单元603室\n"
    "number    110108198806151237\n"
    "authority 北京市公安局海淀分局\n"
    "valid     2018-06-15 to 2038-06-15\n"
    "portrait  102×126 JPEG, 1,891 bytes\n"
    "front     340×214 JPEG, 13,515 bytes\n"
    "back      340×214 JPEG, 13,822 bytes\n"
    "virtual reader: reads a sample card, not a real reader\n";

TEST_F(Host, ReadPrintsTheDocumentToPipesAndASummaryToPeople) {
    const std::string document = sampleDocument();
    ASSERT_THAT(document, StartsWith("{\n   \"errorMsg\" : \"\",\n   \"resultContent\""));

    ProcessResult r = ivelcard({"read"});
    EXPECT_EQ(r.out, document);
    r = ivelcard({"read", "--summary"});
    EXPECT_EQ(r.out, kSummary);
    r = onTerminal({"read"}, OnTerminal::Output);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, kSummary);
    r = onTerminal({"read", "--document"}, OnTerminal::Output);
    EXPECT_EQ(r.out, document);

    describeReader(R"({"card": {"gender": "2", "validTo": "长期"}, "photoBase64": ""})");
    r = ivelcard({"read", "--summary"});
    EXPECT_THAT(r.out, HasSubstr("gender    女\n"));
    EXPECT_THAT(r.out, HasSubstr("valid     2018-06-15 to 长期\n"));
    EXPECT_THAT(r.out, HasSubstr("portrait  none\n"));

    // The other card types: their type and the rows of their own members.
    describeReader(readFile(std::string(IVELCARD_TEST_DATA_DIR) + "/carddata/permit-reader.json"));
    r = ivelcard({"read", "--summary"});
    EXPECT_THAT(r.out, StartsWith("type      J, residence permit for Hong Kong, Macao and Taiwan residents\n"
                                  "name      陈嘉欣\n"
                                  "gender    女\n"
                                  "nation    \n"
                                  "born      1996-04-12\n"
                                  "address   广东省深圳市福田区莲花路128号\n"
                                  "number    810000199604120022\n"
                                  "permit    H61234567\n"
                                  "issues    02\n"
                                  "authority 深圳市公安局福田分局\n"));
    describeReader(readFile(std::string(IVELCARD_TEST_DATA_DIR) + "/carddata/foreign-reader.json"));
    r = ivelcard({"read", "--summary"});
    EXPECT_THAT(r.out, StartsWith("type      I, foreign permanent resident card\n"
                                  "name      莫艾琳\n"
                                  "english   MORGAN, ELEANOR GRACE\n"
                                  "gender    女\n"
                                  "nation    \n"
                                  "country   GBR\n"));

    describeReader(R"({"card": null})");
    r = ivelcard({"read", "--summary"});
    EXPECT_EQ(r.out, "the card was not read: 读卡错误 (resultFlag -1)\n"
                     "virtual reader: reads a sample card, not a real reader\n");
}

TEST_F(Host, ReadingNoteOnlyWhenStandardErrorIsATerminal) {
    describeReader(R"({"latencyMs": 60})");
    ProcessResult r = onTerminal({"read", "--document"}, OnTerminal::Errors);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.err, "reading…\r\033[K");
    const std::string document = r.out;
    r = ivelcard({"read"});
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, document);
}

TEST_F(Host, PicturesAreForTheirOwnerOnly) {
    const std::string out = scratch_ / "new/card";
    ProcessResult r = ivelcard({"read", "--out", out});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(mode(scratch_ / "new"), 0700u);
    EXPECT_EQ(mode(out), 0700u);
    for (const char* name : {"portrait.jpg", "front.jpg", "back.jpg"}) EXPECT_EQ(mode(out + "/" + name), 0600u) << name;

    // A picture that was there before, readable by everyone, is made private.
    ::chmod((out + "/front.jpg").c_str(), 0644);
    r = ivelcard({"read", "--out", out});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(mode(out + "/front.jpg"), 0600u);
}

TEST_F(Host, MissingSystemFontIsNamedAndMissingPicturesFailTheRead) {
    const std::string document = sampleDocument();
    const std::string windows = scratch_ / "windows";
    const ProcessResult r =
        withEnvironment({"read", "--document", "--out", scratch_ / "card"}, {{"windir", windows}});
    EXPECT_EQ(r.exitCode, 1);
    // The document is the control's, with empty faces.
    const std::size_t front = document.find("\"base64ID_PicBack\" : \"") + 22;
    EXPECT_EQ(r.out.substr(0, front), document.substr(0, front));
    EXPECT_THAT(r.out, HasSubstr("\"base64ID_PicFront\" : \"\",\n"));
    EXPECT_THAT(r.err, HasSubstr("ivelcard: the card faces are empty: the system font " + windows +
                                 "/Fonts/SIMHEI.TTF is missing (link a Chinese Hei font there, e.g. Debian's "
                                 "fonts-wqy-zenhei, or set windir to a directory with Fonts/SIMHEI.TTF)\n"));
    EXPECT_THAT(r.err, HasSubstr("ivelcard: " + scratch_ / "card/front.jpg" +
                                 " not written: the document's base64ID_PicFront is empty\n"));
    EXPECT_TRUE(std::filesystem::exists(scratch_ / "card/portrait.jpg"));
    EXPECT_FALSE(std::filesystem::exists(scratch_ / "card/front.jpg"));
}

TEST_F(Host, OnlyProgramAndModuleDeployedSaysThereIsNoSystemFont) {
    const std::string bin = scratch_ / "deployed/bin";
    std::filesystem::create_directories(bin);
    std::filesystem::copy_file(testsupport::binDir() + "/ivelcard", bin + "/ivelcard");
    std::filesystem::copy_file(module(), bin + "/libivelcard.so");
    auto env = environment();
    env["windir"] = std::nullopt;
    const ProcessResult r =
        testsupport::runProcess({bin + "/ivelcard", "read", "--document", "--out", scratch_ / "card"}, env);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_THAT(r.out, HasSubstr("\"base64ID_PicBack\" : \"\",\n"));
    EXPECT_THAT(r.err, HasSubstr("ivelcard: the card faces are empty: there is no Windows directory for the "
                                 "system font (windir is not set and share/ivelcard/windows is not installed "
                                 "beside the module)\n"));
}

TEST_F(Host, VersionAndAboutGiveTheModulesVersionRecord) {
    const std::string lines = "ivelcard 2.0.2.2\nmodule " + module() + " 2.0.2.2\n";
    ProcessResult r = ivelcard({"--version"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, lines);
    r = ivelcard({"about"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_THAT(r.err, HasSubstr("二代身份证阅读器控件 1.0 版"));
    EXPECT_THAT(r.err, EndsWith(lines));

    // A library without the record says so.
    r = testsupport::runProcess({testsupport::binDir() + "/ivelcard", "--module",
                                 testsupport::readerLibsDir() + "/unpack.so", "--version"});
    EXPECT_THAT(r.out, EndsWith("/unpack.so (no version record)\n"));
}

}  // namespace
}  // namespace moduletest
