#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "platform/System.h"
#include "support/TestSupport.h"

namespace {

using platform::DirectoryCheck;
using testsupport::TempDir;

constexpr uid_t kNobody = 65534;

using EnvironmentOverride = testsupport::ScopedEnvironment;

TEST(TempPath, UsesThePrivateRuntimeDirectoryWithOneSeparator) {
    TempDir runtime;
    EnvironmentOverride xdg("XDG_RUNTIME_DIR", runtime.path());
    EXPECT_EQ(platform::tempPath(), runtime.path() + "/");
    EnvironmentOverride xdgSlash("XDG_RUNTIME_DIR", runtime.path() + "/");
    EXPECT_EQ(platform::tempPath(), runtime.path() + "/");
}

TEST(TempPath, FallsBackToAPrivatePerUserDirectoryWhenTheRuntimeDirectoryIsUnsafe) {
    TempDir runtime;
    TempDir tmp;
    EnvironmentOverride tmpdir("TMPDIR", tmp.path());
    const std::string fallback = tmp.path() + "/ivelcard-" + std::to_string(::geteuid()) + "/";

    ::chmod(runtime.path().c_str(), 0770);  // shared with the group
    EnvironmentOverride xdg("XDG_RUNTIME_DIR", runtime.path());
    EXPECT_EQ(platform::tempPath(), fallback);
    struct stat info {};
    ASSERT_EQ(::stat(fallback.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);

    const std::string link = tmp / "link";
    ::chmod(runtime.path().c_str(), 0700);
    ASSERT_EQ(::symlink(runtime.path().c_str(), link.c_str()), 0);
    EnvironmentOverride xdgLink("XDG_RUNTIME_DIR", link);
    EXPECT_EQ(platform::tempPath(), fallback);
}

// Another user may create "ivelcard-<uid>" first (a directory of their own,
// or a link): it is refused, and a fresh private directory made in the same
// parent serves this process instead, the same one on every call.
TEST(TempPath, SquattedPerUserDirectoryGivesWayToAFreshPrivateOne) {
    TempDir tmp;
    EnvironmentOverride tmpdir("TMPDIR", tmp.path());
    EnvironmentOverride xdg("XDG_RUNTIME_DIR", "");
    const std::string planted = tmp / ("ivelcard-" + std::to_string(::geteuid()));
    TempDir elsewhere;
    ASSERT_EQ(::symlink(elsewhere.path().c_str(), planted.c_str()), 0);

    testing::internal::CaptureStderr();
    const std::string first = platform::tempPath();
    const std::string second = platform::tempPath();
    const std::string said = testing::internal::GetCapturedStderr();
    ASSERT_EQ(first.rfind(planted + "-", 0), 0u) << first;
    EXPECT_EQ(first.size(), planted.size() + 8);  // "-XXXXXX/"
    EXPECT_EQ(second, first);
    EXPECT_TRUE(platform::isOwnDirectory(first, DirectoryCheck::Private));
    EXPECT_EQ(said, "ivelcard: the temporary directory " + planted + "/ is refused: it is a symbolic link; using " +
                        first + " instead (remove it, or set TMPDIR to a directory of your own)\n");

    if (::geteuid() != 0) GTEST_SKIP() << "needs root to give a directory away";
    TempDir other;
    EnvironmentOverride otherTmp("TMPDIR", other.path());
    const std::string owned = other / ("ivelcard-" + std::to_string(::geteuid()));
    ASSERT_EQ(::mkdir(owned.c_str(), 0700), 0);
    ASSERT_EQ(::chown(owned.c_str(), kNobody, kNobody), 0);
    testing::internal::CaptureStderr();
    const std::string fallback = platform::tempPath();
    EXPECT_EQ(fallback.rfind(owned + "-", 0), 0u) << fallback;
    EXPECT_THAT(testing::internal::GetCapturedStderr(),
                testing::HasSubstr("the temporary directory " + owned + "/ is refused: it is owned by uid 65534, not "
                                   "by this user (uid 0); using " + fallback + " instead"));
}

TEST(TempPath, RelativeOrMissingTmpdirIsIgnoredForTmp) {
    EnvironmentOverride xdg("XDG_RUNTIME_DIR", std::nullopt);
    const std::string perUser = "/tmp/ivelcard-" + std::to_string(::geteuid()) + "/";
    const struct {
        std::string tmpdir;
        std::string why;
    } cases[] = {
        {"relative/tmp", "is not an absolute path"},
        {"/nonexistent/ivelcard-test-tmp", "is not an existing directory"},
    };
    for (const auto& c : cases) {
        EnvironmentOverride tmpdir("TMPDIR", c.tmpdir);
        testing::internal::CaptureStderr();
        const std::string path = platform::tempPath();
        const std::string said = testing::internal::GetCapturedStderr();
        if (platform::directoryRefusal(perUser, DirectoryCheck::Private).empty()) {
            EXPECT_EQ(path, perUser);
        } else {
            EXPECT_EQ(path.rfind("/tmp/ivelcard-", 0), 0u) << path;
        }
        EXPECT_THAT(said, testing::HasSubstr("ivelcard: TMPDIR (" + c.tmpdir + ") " + c.why +
                                             "; it is ignored for /tmp\n"));
    }
    EXPECT_FALSE(std::filesystem::exists("relative"));
}

TEST(TempPath, RefusedDirectoriesSayWhy) {
    TempDir root;
    const std::string shared = root / "shared";
    ASSERT_EQ(::mkdir(shared.c_str(), 0700), 0);
    ASSERT_EQ(::chmod(shared.c_str(), 0750), 0);
    EXPECT_EQ(platform::directoryRefusal(shared, DirectoryCheck::Private), "has mode 0750, open to others");
    EXPECT_EQ(platform::directoryRefusal(shared, DirectoryCheck::NotWritableByOthers), "");
    ASSERT_EQ(::chmod(shared.c_str(), 0770), 0);
    EXPECT_EQ(platform::directoryRefusal(shared + "/", DirectoryCheck::NotWritableByOthers),
              "has mode 0770, writable by others");
    EXPECT_EQ(platform::directoryRefusal(root / "missing", DirectoryCheck::Private), "does not exist");
    testsupport::writeFile(root / "file", "x");
    EXPECT_EQ(platform::directoryRefusal(root / "file", DirectoryCheck::Private), "is not a directory");

    // A runtime directory open to the group is passed over, and that is said.
    TempDir tmp;
    EnvironmentOverride tmpdir("TMPDIR", tmp.path());
    EnvironmentOverride xdg("XDG_RUNTIME_DIR", shared);
    testing::internal::CaptureStderr();
    EXPECT_EQ(platform::tempPath(), tmp / ("ivelcard-" + std::to_string(::geteuid())) + "/");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "ivelcard: the runtime directory " + shared + "/ (XDG_RUNTIME_DIR) is refused: it has mode 0770, open "
              "to others; a per-user directory under TMPDIR or /tmp is used instead\n");
}
TEST(TempPath, SharedParentMustBeSticky) {
    TempDir shared;
    EnvironmentOverride tmpdir("TMPDIR", shared.path());
    EnvironmentOverride xdg("XDG_RUNTIME_DIR", "");
    ASSERT_EQ(::chmod(shared.path().c_str(), 0777), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(platform::tempPath(), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "ivelcard: no private temporary directory: " + shared.path() +
                  " is writable by others and not sticky; set TMPDIR to a directory of your own\n");
    ASSERT_EQ(::chmod(shared.path().c_str(), 01777), 0);
    EXPECT_EQ(platform::tempPath(), shared / ("ivelcard-" + std::to_string(::geteuid())) + "/");
    ::chmod(shared.path().c_str(), 0700);
}

TEST(Directories, ChainIsCreatedUpToTheLastSeparator) {
    TempDir root;
    const std::string chain = root / "a/b/c/";
    EXPECT_TRUE(platform::makeSureDirectoryPathExists(chain + "file.txt"));
    EXPECT_TRUE(std::filesystem::is_directory(chain));
    EXPECT_FALSE(std::filesystem::exists(chain + "file.txt"));
    EXPECT_TRUE(platform::isOwnDirectory(chain, DirectoryCheck::Private));
    testsupport::writeFile(root / "plain", "x");
    EXPECT_FALSE(platform::makeSureDirectoryPathExists(root / "plain/sub/"));
}

TEST(Directories, OwnershipChecks) {
    TempDir root;
    const std::string dir = root / "d";
    ASSERT_EQ(::mkdir(dir.c_str(), 0755), 0);
    ::chmod(dir.c_str(), 0755);
    EXPECT_FALSE(platform::isOwnDirectory(dir, DirectoryCheck::Private));
    EXPECT_TRUE(platform::isOwnDirectory(dir, DirectoryCheck::NotWritableByOthers));
    ::chmod(dir.c_str(), 0775);
    EXPECT_FALSE(platform::isOwnDirectory(dir, DirectoryCheck::NotWritableByOthers));
    ::chmod(dir.c_str(), 0700);
    const std::string link = root / "l";
    ASSERT_EQ(::symlink(dir.c_str(), link.c_str()), 0);
    EXPECT_FALSE(platform::isOwnDirectory(link, DirectoryCheck::NotWritableByOthers));
    EXPECT_FALSE(platform::isOwnDirectory(root / "missing", DirectoryCheck::NotWritableByOthers));
}

TEST(Files, WriteReplacesAnUnloadedFileAndNeverALoadedLibrary) {
    TempDir root;
    const std::string path = root / "library.dll";
    testsupport::writeFile(path, "old");
    EXPECT_EQ(platform::writeFileReplacing(path, "new", 3), platform::WriteOutcome::Written);
    EXPECT_EQ(testsupport::readFile(path), "new");

    const std::string image = testsupport::readFile(testsupport::readerLibsDir() + "/sdtapi.so");
    ASSERT_FALSE(image.empty());
    EXPECT_EQ(platform::writeFileReplacing(path, image.data(), image.size()), platform::WriteOutcome::Written);
    platform::ModuleHandle loaded = platform::loadLibrary(path);
    ASSERT_NE(loaded, nullptr);
    EXPECT_EQ(platform::loadedLibrary(path), loaded);
    struct stat before {};
    struct stat after {};
    ASSERT_EQ(::stat(path.c_str(), &before), 0);
    EXPECT_EQ(platform::writeFileReplacing(path, "xyz", 3), platform::WriteOutcome::InUse);
    ASSERT_EQ(::stat(path.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(testsupport::readFile(path), image);
    EXPECT_NE(platform::procAddress(loaded, "SDT_GetSAMStatus"), nullptr);
    EXPECT_EQ(platform::procAddress(loaded, "NoSuchEntry"), nullptr);

    EXPECT_EQ(platform::writeFileReplacing(root / "missing/x.dll", "a", 1), platform::WriteOutcome::Failed);
    // No temporary files are left behind.
    int entries = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(root.path())) ++entries;
    EXPECT_EQ(entries, 1);
}

}  // namespace
