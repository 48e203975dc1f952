// The holder's portrait as the result document carries it: the 102 × 126
// portrait bitmap compressed to JPEG and written as Base64 text.
//
// The bitmap is a complete 24-bit BMP image (54-byte header, rows padded to
// 308 bytes, bottom row first, blue-green-red); its header is not consulted,
// the geometry is fixed. The caller's bitmap is left unchanged (a work copy
// is encoded). A stream that does not fit its 4,096-byte buffer, or any
// encoding failure, gives an empty text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace cardface {

inline constexpr int kPortraitWidth = 102;
inline constexpr int kPortraitHeight = 126;
inline constexpr std::size_t kPortraitBitmapSize = 38862;
inline constexpr std::size_t kPortraitJpegCapacity = 4096;

// A bitmap shorter than 38,862 bytes is encoded as if zero-filled to that
// size. Raises platform::CMemoryException when the text cannot be allocated.
std::string encodePortraitText(std::span<const std::uint8_t> portraitBitmap);

}  // namespace cardface
