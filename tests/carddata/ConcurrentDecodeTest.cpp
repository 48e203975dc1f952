// Two processes of one user decode different portraits in the same work
// directory at the same time; the lock around the fixed file names keeps
// each from reading the other's bitmap.
#include <gtest/gtest.h>

#include <memory>

#include "CardDataTestSupport.h"
#include "carddata/PortraitDecoder.h"
#include "reader/ReaderLibrary.h"

namespace carddata::test {
namespace {

constexpr int kDecodesEach = 200;

// The portrait decoded alone, as the expected bitmap.
std::string decodedAlone(const std::string& photoFile) {
    const std::string photo = testsupport::readFile(photoFile);
    auto record = std::make_unique<IdentityRecord>();
    std::memcpy(record->photoData, photo.data(), kPhotoDataSize);
    if (decodePortrait(record->photoData, record->portraitBitmap) != kPortraitDecoded) return {};
    return std::string(reinterpret_cast<const char*>(record->portraitBitmap), kPortraitBitmapSize);
}

TEST(ConcurrentDecode, TwoProcessesNeverGetTheOthersBitmap) {
    testsupport::ScopedRuntimeDir runtime;  // the shared work directory
    testsupport::TempDir scratch;
    const reader::GetBmpFn saved = reader::readerLibrary().GetBmp;
    reader::readerLibrary().GetBmp = standInGetBmp();
    const std::string first = decodedAlone(testData("sample-portrait.wlt"));
    const std::string second = decodedAlone(testData("second-portrait.wlt"));
    reader::readerLibrary().GetBmp = saved;
    ASSERT_EQ(first.size(), kPortraitBitmapSize);
    ASSERT_EQ(second.size(), kPortraitBitmapSize);
    ASSERT_NE(first, second);
    testsupport::writeFile(scratch / "first.bmp", first);
    testsupport::writeFile(scratch / "second.bmp", second);

    const std::string worker = testsupport::binDir() + "/carddata_decode_worker";
    const std::string decoder = testsupport::readerLibsDir() + "/WltRs.so";
    auto command = [&](const std::string& photo, const std::string& expected, const std::string& me,
                       const std::string& other) {
        return "'" + worker + "' '" + decoder + "' '" + photo + "' '" + expected + "' " +
               std::to_string(kDecodesEach) + " '" + (scratch / me) + "' '" + (scratch / other) + "'";
    };
    const std::string script =
        command(testData("sample-portrait.wlt"), scratch / "first.bmp", "ready1", "ready2") + " & a=$!; " +
        command(testData("second-portrait.wlt"), scratch / "second.bmp", "ready2", "ready1") + " & b=$!; " +
        "wait $a; ra=$?; wait $b; rb=$?; exit $((ra + rb))";
    const testsupport::ProcessResult result = testsupport::runProcess({"/bin/sh", "-c", script});
    EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
    EXPECT_EQ(result.out, "200 decodes, 0 failed, 0 wrong\n200 decodes, 0 failed, 0 wrong\n") << result.err;
}

}  // namespace
}  // namespace carddata::test
