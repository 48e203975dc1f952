#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "ModuleFixture.h"

namespace moduletest {
namespace {

using ::testing::ElementsAre;

TEST_F(Module, FreshMachineConnectsQueriesAndDisconnects) {
    const ProcessResult r = ivelcard({"call", "connect", "getStatus", "getSAMID", "disconnect"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, doc(0, "") + doc(0, "", "\"status\" : 0") + doc(0, "", "\"samid\" : \"" + kSamId + "\"") +
                         doc(0, ""));
    for (const char* file : {"sdtapi.dll", "unpack.dll", "WltRs.dll"}) {
        EXPECT_TRUE(std::filesystem::is_regular_file(workDirectory() + file)) << file;
    }
    EXPECT_EQ(readFile(workDirectory() + "sdtapi.dll"), readFile(testsupport::readerLibsDir() + "/sdtapi.so"));
}

TEST_F(Module, ProbesFromPortZeroThenRemembersTheFoundPort) {
    describeReader(R"({"ports": {"1003": 144}})");
    const ProcessResult r = ivelcard({"call", "connect", "connect"});
    EXPECT_EQ(r.out, doc(0, "") + doc(0, ""));
    EXPECT_THAT(log(), ElementsAre(probe(0), probe(1001), probe(1002), probe(1003), "SDT_SetMaxRFByte 1003 120 1",
                                   probe(1003), "SDT_SetMaxRFByte 1003 120 1"));
}

TEST_F(Module, WithoutAReaderMakesTwentyTwoProbes) {
    describeReader(R"({"ports": {}})");
    const ProcessResult r = ivelcard({"call", "connect", "getSAMID"});
    EXPECT_EQ(r.out, doc(-1, "设备未连接") + doc(-1, "获取模块号失败", "\"samid\" : \"\""));
    std::vector<std::string> expected = {probe(0)};
    for (int port = 1001; port <= 1005; ++port) expected.push_back(probe(port));
    for (int port = 1; port <= 16; ++port) expected.push_back(probe(port));
    EXPECT_EQ(log(), expected);
}

TEST_F(Module, AnOpenSessionSurvivesTheReaderGoing) {
    describeReader(R"({"ports": {"1001": [144, 1]}})");
    const ProcessResult r = ivelcard({"call", "connect", "connect", "getSAMID"});
    EXPECT_EQ(r.out, doc(0, "") + doc(0, "") + doc(0, "", "\"samid\" : \"" + kSamId + "\""));
    const auto calls = log();
    ASSERT_EQ(calls.size(), 3u + 22u + 1u);
    EXPECT_EQ(calls[2], "SDT_SetMaxRFByte 1001 120 1");
    EXPECT_EQ(calls[3], probe(1001));  // the remembered port
    EXPECT_EQ(calls[4], probe(1001));  // and again as the first search port
    EXPECT_EQ(calls[24], probe(16));
    EXPECT_EQ(calls[25], "SDT_GetSAMIDToStr 1001 1");
}

TEST_F(Module, SearchPortAnsweringZeroReallyOpensTheSession) {
    describeReader(R"({"ports": {"1002": 0}})");
    const ProcessResult r = ivelcard({"call", "connect", "getSAMID"});
    EXPECT_EQ(r.out, doc(0, "") + doc(0, "", "\"samid\" : \"" + kSamId + "\""));
    EXPECT_THAT(log(), ElementsAre(probe(0), probe(1001), probe(1002), "SDT_GetSAMIDToStr 1002 1"));
}

TEST_F(Module, FailedCloseStillClosesAndFailedSamIdKeepsTheText) {
    describeReader(R"({"results": {"close": 1, "samId": 65}, "samId": "05.01-partial"})");
    const ProcessResult r = ivelcard({"call", "connect", "getSAMID", "disconnect", "getSAMID", "disconnect"});
    EXPECT_EQ(r.out, doc(0, "") + doc(1, "获取模块号失败", "\"samid\" : \"05.01-partial\"") + doc(1, "发生错误") +
                         doc(-1, "获取模块号失败", "\"samid\" : \"\"") + doc(-1, "设备未连接"));
}

TEST_F(Module, DescriptionOfTheWrongShapeIsNoReader) {
    for (const char* description : {R"({"ports": [1001]})", R"({"results": {"close": "x"}})", R"({"card": 5})",
                                    "not json"}) {
        describeReader(description);
        const ProcessResult r = ivelcard({"call", "connect", "readCert"});
        EXPECT_EQ(r.exitCode, 0) << description;
        EXPECT_EQ(r.out, doc(-1, "设备未连接") + doc(-1, "设备未连接")) << description;
        EXPECT_THAT(r.err, ::testing::HasSubstr("cannot read description")) << description;
    }
}

TEST_F(Module, RawLibraryBytesNeverBreakTheDocument) {
    // UTF-8 bytes where the code page expects GB18030: the last byte of 中
    // would join the quotation mark into one character.
    describeReader(R"({"samId": "中\"x"})");
    const ProcessResult r = ivelcard({"call", "connect", "getSAMID"});
    EXPECT_EQ(r.out, doc(0, "") + doc(0, "", "\"samid\" : \"涓?\\\"x\""));
}

TEST_F(Module, SecondControlKeepsTheLoadedLibrariesWithoutRewritingThem) {
    const ProcessResult r = script({"new", "inode:sdtapi.dll", "inode:WltRs.dll", "new", "inode:sdtapi.dll",
                                    "inode:WltRs.dll", "call:connect"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.err, "");
    std::istringstream lines(r.out);
    std::string first[2], second[2];
    std::getline(lines, first[0]);
    std::getline(lines, first[1]);
    std::getline(lines, second[0]);
    std::getline(lines, second[1]);
    EXPECT_NE(first[0], "inode 0");
    EXPECT_EQ(first[0], second[0]);
    EXPECT_EQ(first[1], second[1]);
    EXPECT_EQ(r.out.substr(r.out.find('{')), doc(0, ""));
}

TEST_F(Module, StaleFilesAreReplacedByTheEmbeddedImages) {
    std::filesystem::create_directories(workDirectory());
    for (const char* file : {"sdtapi.dll", "unpack.dll", "WltRs.dll"}) writeFile(workDirectory() + file, "stale");
    const ProcessResult r = ivelcard({"call", "connect"});
    EXPECT_EQ(r.out, doc(0, ""));
    EXPECT_EQ(readFile(workDirectory() + "WltRs.dll"), readFile(testsupport::readerLibsDir() + "/WltRs.so"));
}

const std::string kAllNotReady = doc(-1, "动态库加载失败") + doc(-2, "发生错误") +
                                 doc(-1, "动态库加载失败", "\"status\" : 1") +
                                 doc(-2, "获取模块号失败", "\"samid\" : \"\"") + doc(-1, "动态库连接错误");
const std::vector<std::string> kAllOperations = {"call", "connect", "disconnect", "getStatus", "getSAMID", "readCert"};

TEST_F(Module, MissingUnusedEntryFailsTheDeploymentWithItsMessage) {
    const ProcessResult r = ivelcard(kAllOperations, "ivelcard_missing_entry");
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.err, "Could not get SDT_ReadNewAppMsg address!\n");
    EXPECT_EQ(r.out, kAllNotReady);
    EXPECT_FALSE(std::filesystem::exists(scratch_ / "calls.log"));
}

TEST_F(Module, UnloadableReaderLibraryFailsSilently) {
    const ProcessResult r = ivelcard(kAllOperations, "ivelcard_bad_reader");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, kAllNotReady);
}

TEST_F(Module, UnloadablePortraitLibraryShowsOneMessage) {
    for (const char* variant : {"ivelcard_bad_unpack", "ivelcard_bad_decoder"}) {
        const ProcessResult r = ivelcard(kAllOperations, variant);
        EXPECT_EQ(r.err, "Load IDCARD Dll Failed!\n") << variant;
        EXPECT_EQ(r.out, kAllNotReady) << variant;
    }
}

// Plants a working reader library where the deployment would write its own;
// the deployment must neither load nor touch it.
class PlantedLibraries : public Module {
protected:
    void plant() {
        std::filesystem::create_directories(workDirectory());
        planted_ = readFile(testsupport::readerLibsDir() + "/sdtapi.so") + std::string(16, '\0');
        for (const char* file : {"sdtapi.dll", "unpack.dll", "WltRs.dll"}) writeFile(workDirectory() + file, planted_);
    }
    void expectUntouchedAndNotReady(const ProcessResult& r) {
        EXPECT_EQ(r.out, doc(-1, "动态库加载失败") + doc(-1, "动态库加载失败", "\"status\" : 1"));
        EXPECT_EQ(readFile(workDirectory() + "sdtapi.dll"), planted_);
        EXPECT_FALSE(std::filesystem::exists(scratch_ / "calls.log"));
    }
    std::string planted_;
};

TEST_F(PlantedLibraries, WorkDirectoryOfAnotherUserIsNeverUsed) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to give the directory away";
    plant();
    ASSERT_EQ(::chown(workDirectory().c_str(), 65534, 65534), 0);
    expectUntouchedAndNotReady(ivelcard({"call", "connect", "getStatus"}));
}

TEST_F(PlantedLibraries, WorkDirectoryWritableByOthersIsNeverUsed) {
    plant();
    ASSERT_EQ(::chmod(workDirectory().c_str(), 0777), 0);
    expectUntouchedAndNotReady(ivelcard({"call", "connect", "getStatus"}));
}

TEST_F(PlantedLibraries, SymlinkedWorkDirectoryIsNeverUsed) {
    plant();
    const std::string real = runtime_.path() + "/elsewhere";
    std::filesystem::rename(runtime_.path() + "/chinaidcard", real);
    std::filesystem::create_directory_symlink(real, runtime_.path() + "/chinaidcard");
    expectUntouchedAndNotReady(ivelcard({"call", "connect", "getStatus"}));
}

TEST_F(PlantedLibraries, FileThatCouldNotBeWrittenIsNotLoaded) {
    plant();
    // A file size limit makes every write of a library image fail, even for root.
    const ProcessResult r = ivelcard({"call", "connect", "getStatus"}, "ivelcard", [] {
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{4096, 4096};
        ::setrlimit(RLIMIT_FSIZE, &limit);
    });
    EXPECT_EQ(r.err, "");
    expectUntouchedAndNotReady(r);
}

TEST_F(Module, HostFailuresAreTheOnlyNonZeroExits) {
    ProcessResult r = ivelcard({"call", "connect", "noSuchMember"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_THAT(r.err, ::testing::HasSubstr("noSuchMember"));

    r = ivelcard({"call", "connect"}, "no_such_module");
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.out, "");

    describeReader(R"({"ports": {}})");
    r = ivelcard({"call", "connect"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, doc(-1, "设备未连接"));

    r = testsupport::runProcess({testsupport::binDir() + "/ivelcard", "--help"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_THAT(r.out, ::testing::HasSubstr("call OP"));
}

TEST_F(Module, ExportsOnlyTheFourEntryPoints) {
    const ProcessResult r = testsupport::runProcess(
        {"/bin/sh", "-c", "nm -D --defined-only '" + module() + "' | awk '{print $3}' | sort"});
    EXPECT_EQ(r.out, "DllCanUnloadNow\nDllGetClassObject\nDllRegisterServer\nDllUnregisterServer\n");
}

}  // namespace
}  // namespace moduletest
