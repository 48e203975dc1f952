// The holder's portrait as the result document carries it: the 102 × 126
// portrait bitmap compressed to JPEG and written as Base64 text.
//
// The bitmap is a complete 24-bit BMP image (54-byte header, rows padded to
// 308 bytes, bottom row first, blue-green-red); its header is not consulted,
// the geometry is fixed. The caller's bitmap is only read: the compressor
// takes its blue-green-red rows as they are. The stream goes into a buffer
// that grows as the stream needs, up to kPortraitJpegLimit bytes, the most
// any 102 × 126 image can give, so a real photograph, however noisy, is
// never lost; an encoding failure gives an empty text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace cardface {

inline constexpr int kPortraitWidth = 102;
inline constexpr int kPortraitHeight = 126;
inline constexpr std::size_t kPortraitBitmapSize = 38862;

// A bound on the baseline stream of a 102 × 126 image at 4:2:0: 224
// luminance and 112 chroma blocks of 8 × 8 (the image padded to whole 16 ×
// 16 units), each at most 64 codes of at most 16 bits with at most 11 bits
// of magnitude (216 bytes), twice that should every byte be stuffed, plus
// the headers and tables.
inline constexpr std::size_t kPortraitJpegLimit = (224 + 112) * 2 * 216 + 2048;

// A bitmap shorter than 38,862 bytes is encoded as if zero-filled to that
// size. Raises platform::CMemoryException when the text cannot be allocated.
std::string encodePortraitText(std::span<const std::uint8_t> portraitBitmap);

}  // namespace cardface
