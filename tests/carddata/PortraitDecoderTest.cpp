#include "carddata/PortraitDecoder.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>

#include "CardDataTestSupport.h"
#include "reader/Deployment.h"
#include "reader/ReaderLibrary.h"

namespace carddata::test {
namespace {

using testsupport::readFile;
using testsupport::writeFile;

// A decoder that records what it was given and finds, then writes the
// bitmap it was told to (if any) beside its input and answers as told.
struct FakeDecoder {
    std::int32_t result = 1;
    std::optional<std::string> bitmap;
    bool bitmapIsDirectory = false;  // leaves a directory where the bitmap goes

    int calls = 0;
    std::string path;
    int mode = 0;
    std::optional<std::string> input;  // the compressed file at the call
    bool bitmapExisted = false;
};
FakeDecoder* fake = nullptr;

std::string bitmapPathBeside(const std::string& path) { return path.substr(0, path.size() - 3) + "bmp"; }

int READER_API fakeGetBmp(char* path, int mode) {
    ++fake->calls;
    fake->path = path;
    fake->mode = mode;
    if (std::filesystem::exists(path)) fake->input = readFile(path);
    fake->bitmapExisted = std::filesystem::exists(bitmapPathBeside(path));
    if (fake->bitmap) writeFile(bitmapPathBeside(path), *fake->bitmap);
    if (fake->bitmapIsDirectory) std::filesystem::create_directory(bitmapPathBeside(path));
    return fake->result;
}

std::string pattern(std::size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + seed) % 251);
    return bytes;
}

std::string bytesOf(const unsigned char* data, std::size_t size) {
    return std::string(reinterpret_cast<const char*>(data), size);
}

class PortraitDecoder : public ::testing::Test {
protected:
    PortraitDecoder() {
        fake = &decoder_;
        reader::readerLibrary().GetBmp = fakeGetBmp;
        std::memcpy(record_->photoData, pattern(kPhotoDataSize, 3).data(), kPhotoDataSize);
    }
    ~PortraitDecoder() override {
        reader::readerLibrary().GetBmp = savedGetBmp_;
        fake = nullptr;
    }

    std::int32_t decode() { return decodePortrait(record_->photoData, record_->portraitBitmap); }
    std::string bitmap() const { return bytesOf(record_->portraitBitmap, kPortraitBitmapSize); }
    std::string work(const char* name) const { return runtime_.workDirectory() + name; }

    testsupport::ScopedRuntimeDir runtime_;
    FakeDecoder decoder_;
    std::unique_ptr<IdentityRecord> record_ = std::make_unique<IdentityRecord>();
    reader::GetBmpFn savedGetBmp_ = reader::readerLibrary().GetBmp;
};

TEST_F(PortraitDecoder, DecodeLeavesBothFilesAndReadsTheBitmap) {
    decoder_.bitmap = pattern(kPortraitBitmapSize, 9);
    EXPECT_EQ(decode(), 1);
    EXPECT_EQ(decoder_.calls, 1);
    EXPECT_EQ(decoder_.path, work("xp.wlt"));
    EXPECT_EQ(decoder_.mode, 2);
    EXPECT_EQ(decoder_.input, bytesOf(record_->photoData, kPhotoDataSize));
    EXPECT_EQ(bitmap(), *decoder_.bitmap);
    // Both files stay for the next decode to remove.
    EXPECT_EQ(readFile(work("xp.wlt")), bytesOf(record_->photoData, kPhotoDataSize));
    EXPECT_EQ(readFile(work("xp.bmp")), *decoder_.bitmap);
}

struct BitmapFileCase {
    const char* what;
    std::optional<std::size_t> fileSize;  // none: no bitmap file at all
};

TEST_F(PortraitDecoder, BitmapIsReadUpToItsSizeAndZeroFilled) {
    const BitmapFileCase cases[] = {
        {"exact", kPortraitBitmapSize}, {"longer", 40000}, {"shorter", 1000}, {"empty", 0}, {"missing", {}},
    };
    for (const BitmapFileCase& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string file = c.fileSize ? pattern(*c.fileSize, 5) : std::string();
        decoder_.bitmap = c.fileSize ? std::optional<std::string>(file) : std::nullopt;
        std::memset(record_->portraitBitmap, 0x5A, kPortraitBitmapSize);

        EXPECT_EQ(decode(), 1);
        std::string expected = file.substr(0, kPortraitBitmapSize);
        expected.resize(kPortraitBitmapSize, '\0');
        EXPECT_EQ(bitmap(), expected);
    }
}

// A bitmap that opens but cannot be read (here a directory, which POSIX opens
// for reading and then fails to read) is no portrait: all zero and not
// decoded, never used as if the decoder had delivered it.
TEST_F(PortraitDecoder, BitmapThatFailsToReadIsNotDecoded) {
#if defined(_WIN32)
    GTEST_SKIP() << "Windows does not open a directory as a file";
#endif
    decoder_.bitmapIsDirectory = true;
    std::memset(record_->portraitBitmap, 0x5A, kPortraitBitmapSize);
    EXPECT_EQ(decode(), kPortraitNotDecoded);
    EXPECT_EQ(bitmap(), std::string(kPortraitBitmapSize, '\0'));
}

TEST_F(PortraitDecoder, OtherResultsLeaveTheBitmapAndAreReturnedUnchanged) {
    for (const std::int32_t result : {0, -1, 2, 144}) {
        SCOPED_TRACE(result);
        decoder_.result = result;
        decoder_.bitmap = pattern(kPortraitBitmapSize, 1);  // written, but must not be read
        auto fresh = std::make_unique<IdentityRecord>();
        EXPECT_EQ(decodePortrait(record_->photoData, fresh->portraitBitmap), result);
        EXPECT_EQ(bytesOf(fresh->portraitBitmap, kPortraitBitmapSize), std::string(kPortraitBitmapSize, '\0'));

        std::memset(record_->portraitBitmap, 0x5A, kPortraitBitmapSize);
        EXPECT_EQ(decode(), result);
        EXPECT_EQ(bitmap(), std::string(kPortraitBitmapSize, '\x5A'));
    }
}

// A stale bitmap of an earlier card is removed before the decoder runs, so a
// decoder that claims success without writing yields zeros, not the old card.
TEST_F(PortraitDecoder, StaleFilesAreRemovedFirst) {
    ASSERT_FALSE(reader::workDirectoryPath().empty());
    writeFile(work("xp.wlt"), "stale compressed data");
    writeFile(work("xp.bmp"), pattern(kPortraitBitmapSize, 77));
    decoder_.bitmap.reset();

    EXPECT_EQ(decode(), 1);
    EXPECT_FALSE(decoder_.bitmapExisted);
    EXPECT_EQ(decoder_.input, bytesOf(record_->photoData, kPhotoDataSize));
    EXPECT_EQ(bitmap(), std::string(kPortraitBitmapSize, '\0'));
    EXPECT_FALSE(std::filesystem::exists(work("xp.bmp")));
}

TEST_F(PortraitDecoder, AllZeroPhotoIsStillWrittenAndDecoded) {
    std::memset(record_->photoData, 0, kPhotoDataSize);
    decoder_.result = 0;
    EXPECT_EQ(decode(), 0);
    EXPECT_EQ(decoder_.calls, 1);
    EXPECT_EQ(decoder_.input, std::string(kPhotoDataSize, '\0'));
}

using EnvironmentOverride = testsupport::ScopedEnvironment;

// Without a usable work directory no file can be created and no path
// elsewhere (not even a relative one) is used: the decoder is not asked.
TEST_F(PortraitDecoder, NoWorkDirectoryAsksNoDecoder) {
#if defined(_WIN32)
    const std::string notADirectory = runtime_.path() + "/plain-file";
    writeFile(notADirectory, "x");
    EnvironmentOverride tmp("TMP", notADirectory.c_str());
#else
    // A shared parent that is not sticky: no private directory can be made in it.
    const std::string shared = runtime_.path() + "/shared";
    ASSERT_EQ(::mkdir(shared.c_str(), 0700), 0);
    ASSERT_EQ(::chmod(shared.c_str(), 0777), 0);
    EnvironmentOverride xdg("XDG_RUNTIME_DIR", std::nullopt);
    EnvironmentOverride tmp("TMPDIR", shared);
#endif
    ASSERT_EQ(reader::workDirectoryPath(), "");

    std::memset(record_->portraitBitmap, 0x5A, kPortraitBitmapSize);
    EXPECT_EQ(decode(), kPortraitNotDecoded);
    EXPECT_EQ(decoder_.calls, 0);
    EXPECT_EQ(bitmap(), std::string(kPortraitBitmapSize, '\x5A'));
    EXPECT_FALSE(std::filesystem::exists("xp.wlt"));
}

// A link planted at "xp.lock" after the lock file was opened and kept: the
// lock cannot be taken, so nothing is decoded and no file is touched, never
// an unguarded decode. Without the link the lock file is made afresh.
TEST_F(PortraitDecoder, LockThroughALinkDecodesNothing) {
#if defined(_WIN32)
    GTEST_SKIP() << "the test prefix cannot make symbolic links";
#endif
    decoder_.bitmap = pattern(kPortraitBitmapSize, 9);
    EXPECT_EQ(decode(), 1);
    const std::string target = runtime_.path() + "/target";
    writeFile(target, "");
    std::filesystem::remove(work("xp.lock"));
    std::filesystem::create_symlink(target, work("xp.lock"));
    writeFile(work("xp.bmp"), pattern(kPortraitBitmapSize, 77));
    decoder_.calls = 0;
    std::memset(record_->portraitBitmap, 0x5A, kPortraitBitmapSize);
    EXPECT_EQ(decode(), kPortraitNotDecoded);
    EXPECT_EQ(decoder_.calls, 0);
    EXPECT_EQ(bitmap(), std::string(kPortraitBitmapSize, '\x5A'));
    EXPECT_EQ(readFile(work("xp.bmp")), pattern(kPortraitBitmapSize, 77));
    EXPECT_EQ(readFile(target), "");

    std::filesystem::remove(work("xp.lock"));
    EXPECT_EQ(decode(), 1);
    EXPECT_EQ(bitmap(), *decoder_.bitmap);
}

TEST_F(PortraitDecoder, NoBoundDecoderDecodesNothing) {
    reader::readerLibrary().GetBmp = nullptr;
    EXPECT_EQ(decode(), kPortraitNotDecoded);
    EXPECT_EQ(bitmap(), std::string(kPortraitBitmapSize, '\0'));
}

}  // namespace
}  // namespace carddata::test
