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

TEST(TempPath, IsEmptyWhenThePerUserDirectoryBelongsToSomeoneElse) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to give a directory away";
    TempDir tmp;
    EnvironmentOverride tmpdir("TMPDIR", tmp.path());
    EnvironmentOverride xdg("XDG_RUNTIME_DIR", "");
    const std::string planted = tmp / ("ivelcard-" + std::to_string(::geteuid()));
    ASSERT_EQ(::mkdir(planted.c_str(), 0700), 0);
    ASSERT_EQ(::chown(planted.c_str(), kNobody, kNobody), 0);
    EXPECT_EQ(platform::tempPath(), "");
}

TEST(TempPath, SharedParentMustBeSticky) {
    TempDir shared;
    EnvironmentOverride tmpdir("TMPDIR", shared.path());
    EnvironmentOverride xdg("XDG_RUNTIME_DIR", "");
    ASSERT_EQ(::chmod(shared.path().c_str(), 0777), 0);
    EXPECT_EQ(platform::tempPath(), "");
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
