#include "carddata/PortraitDecoder.h"

#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "platform/FileLock.h"
#include "platform/System.h"
#include "reader/Deployment.h"
#include "reader/ReaderApi.h"
#include "reader/ReaderLibrary.h"

namespace carddata {
namespace {

static_assert(kPhotoDataSize == static_cast<std::size_t>(reader::kPhotoDataSize));

// Creates the compressed file (deleted just before) with the 1024 bytes in
// one write. A file that cannot be created is left out; the decoder then
// finds nothing.
void writeCompressedFile(const std::string& path, const unsigned char (&photoData)[kPhotoDataSize]) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return;
    std::fwrite(photoData, 1, sizeof photoData, file);
    std::fclose(file);
}

// Reads the bitmap file into the zeroed bitmap. A file that cannot be opened
// or ends early leaves zeros where it supplies nothing; a read that fails
// part-way gives false and leaves the bitmap all zero, so that a portrait
// made of whatever arrived before the error is never used.
bool readBitmapFile(const std::string& path, unsigned char (&portraitBitmap)[kPortraitBitmapSize]) {
    std::memset(portraitBitmap, 0, sizeof portraitBitmap);
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return true;
    // Straight into the bitmap, not through the stream's own buffer.
    std::setvbuf(file, nullptr, _IONBF, 0);
    const std::size_t got = std::fread(portraitBitmap, 1, sizeof portraitBitmap, file);
    const bool failed = got < sizeof portraitBitmap && std::ferror(file) != 0;
    std::fclose(file);
    if (failed) std::memset(portraitBitmap, 0, sizeof portraitBitmap);
    return !failed;
}

}  // namespace

std::int32_t decodePortrait(const unsigned char (&photoData)[kPhotoDataSize],
                            unsigned char (&portraitBitmap)[kPortraitBitmapSize]) {
    try {
        const reader::GetBmpFn getBmp = reader::readerLibrary().GetBmp;
        const std::string directory = reader::workDirectoryPath();
        if (getBmp == nullptr || directory.empty()) return kPortraitNotDecoded;

        const std::string compressedPath = directory + kCompressedPortraitFileName;
        const std::string bitmapPath = directory + kPortraitBitmapFileName;
        // The decoder takes a writable text.
        std::vector<char> decoderArgument(compressedPath.begin(), compressedPath.end());
        decoderArgument.push_back('\0');

        // Another decode of this user waits here until this one has read its
        // bitmap back (and this one waits for it). A lock that cannot be
        // taken (say, a link planted in place of the lock file) decodes
        // nothing: unguarded, the bitmap read could be another decode's.
        const platform::FileLock lock(directory + kPortraitLockFileName);
        if (!lock.held()) return kPortraitNotDecoded;

        platform::deleteFile(compressedPath);
        platform::deleteFile(bitmapPath);
        writeCompressedFile(compressedPath, photoData);

        const std::int32_t result = getBmp(decoderArgument.data(), kDecoderMode);
        if (result == kPortraitDecoded && !readBitmapFile(bitmapPath, portraitBitmap)) return kPortraitNotDecoded;
        return result;
    } catch (const std::exception&) {
        // Only building the paths allocates; without them nothing was decoded.
        return kPortraitNotDecoded;
    }
}

}  // namespace carddata
