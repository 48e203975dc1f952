// Decoding of the card's compressed portrait into a 24-bit BMP file image.
//
// The decoder bound from the portrait library works on files: the 1024 bytes
// go into "xp.wlt" in the work directory, GetBmp(path, 2) leaves "xp.bmp"
// beside it when it answers 1, and the first 38,862 bytes of that file are
// read back (bytes the file lacks stay zero; a bitmap that cannot be opened
// stays all zero). A bitmap file whose read fails part-way counts as no
// portrait: the bitmap stays all zero and the answer is kPortraitNotDecoded.
// Any other answer leaves the bitmap untouched. The answer is otherwise
// returned unchanged; no exception leaves decodePortrait.
//
// Decodes of several processes of one user share the fixed file names, so an
// advisory lock on "xp.lock" in the work directory is held from the deletion
// of the old files until the bitmap has been read back; when the lock cannot
// be taken nothing is decoded (kPortraitNotDecoded). Both files stay on disk
// until the next decode deletes them.
#pragma once

#include <cstdint>

#include "carddata/IdentityRecord.h"

namespace carddata {

inline constexpr const char* kCompressedPortraitFileName = "xp.wlt";
inline constexpr const char* kPortraitBitmapFileName = "xp.bmp";
inline constexpr const char* kPortraitLockFileName = "xp.lock";

// The second argument of GetBmp.
inline constexpr int kDecoderMode = 2;
// GetBmp's answer for a bitmap written.
inline constexpr std::int32_t kPortraitDecoded = 1;
// The answer when the decoder cannot be asked at all: no usable work
// directory (no file can be created there and no path outside it is used),
// no bound decoder, a lock that cannot be taken, or a bitmap file whose read
// fails.
inline constexpr std::int32_t kPortraitNotDecoded = 0;

std::int32_t decodePortrait(const unsigned char (&photoData)[kPhotoDataSize],
                            unsigned char (&portraitBitmap)[kPortraitBitmapSize]);

}  // namespace carddata
