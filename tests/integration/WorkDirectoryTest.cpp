// The work directory through the host: temporary directories that are passed
// over or refused say so on standard error, and the documents stay as they
// are.
#include <unistd.h>

#include <filesystem>

#include "ModuleFixture.h"

namespace moduletest {
namespace {

const std::string kUid = std::to_string(::geteuid());

class WorkDirectory : public Module {
protected:
    // The environment without a runtime directory: the per-user directory
    // under TMPDIR (or /tmp) is used.
    std::map<std::string, std::optional<std::string>> withTmpdir(const std::optional<std::string>& tmpdir) const {
        auto env = environment();
        env["XDG_RUNTIME_DIR"] = std::nullopt;
        env["TMPDIR"] = tmpdir;
        return env;
    }
    ProcessResult connect(const std::map<std::string, std::optional<std::string>>& env) const {
        return testsupport::runProcess({testsupport::binDir() + "/ivelcard", "--module", module(), "call", "connect"},
                                       env);
    }
};

TEST_F(WorkDirectory, RelativeTmpdirIsIgnoredForTmp) {
    const ProcessResult r = connect(withTmpdir("relative/tmp"));
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, doc(0, ""));
    EXPECT_THAT(r.err, ::testing::HasSubstr("ivelcard: TMPDIR (relative/tmp) is not an absolute path; it is "
                                            "ignored for /tmp\n"));
}

// Another user made "ivelcard-<uid>" first: the control still works, from a
// fresh private directory beside it, and the refused one is named.
TEST_F(WorkDirectory, SquattedPerUserDirectoryIsNamedAndPassedOver) {
    const std::string planted = scratch_ / ("ivelcard-" + kUid);
    ASSERT_EQ(::symlink(runtime_.path().c_str(), planted.c_str()), 0);
    const ProcessResult r = connect(withTmpdir(scratch_.path()));
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, doc(0, ""));
    EXPECT_THAT(r.err, ::testing::HasSubstr("ivelcard: the temporary directory " + planted +
                                            "/ is refused: it is a symbolic link; using " + planted + "-"));
    int deployed = 0;
    for (const auto& entry : std::filesystem::directory_iterator(scratch_.path())) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("ivelcard-" + kUid + "-", 0) == 0) {
            deployed += std::filesystem::exists(entry.path() / "chinaidcard/sdtapi.dll");
        }
    }
    EXPECT_EQ(deployed, 1);
    EXPECT_FALSE(std::filesystem::exists(runtime_.path() + "/chinaidcard"));  // nothing through the link
}

TEST_F(WorkDirectory, RefusedWorkDirectorySaysWhy) {
    testsupport::TempDir elsewhere;
    ASSERT_EQ(::symlink(elsewhere.path().c_str(), (runtime_ / "chinaidcard").c_str()), 0);
    const ProcessResult r = ivelcard({"call", "connect"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, doc(-1, "动态库加载失败"));
    EXPECT_EQ(r.err, "ivelcard: the work directory " + workDirectory() +
                         " is refused: it is a symbolic link; the reader libraries are not deployed (remove it)\n");
}

}  // namespace
}  // namespace moduletest
