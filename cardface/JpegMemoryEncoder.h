// JPEG compression of 24-bit pixel rows into a buffer the caller owns.
//
// The stream is baseline JFIF with the library's defaults (4:2:0 sampling,
// standard Huffman tables, integer DCT, no restart markers) at quality 75.
// Rows are compressed where they lie, top row first whatever their order in
// memory; blue-green-red rows are turned into red-green-blue in place, one row
// at a time, so the caller's pixels are altered by encoding. The stream never
// runs past the end of the caller's buffer: a stream that does not fit, and
// any error the compressor raises, end that encoding with failure and an
// empty stream (length 0, no stream bytes left in the buffer).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace cardface {

class JpegMemoryEncoder {
public:
    static constexpr int kQuality = 75;

    // Bytes from one row's start to the next: width × 3, rounded up to a
    // multiple of 4 when the rows are padded as in a 24-bit BMP image.
    static std::size_t rowStride(int width, bool rowsPadded);

    // Compresses width × height pixels of three bytes each; `pixels` starts
    // at the first byte of the first row in memory. On success returns true
    // and sets outLength to the number of stream bytes written from out[0].
    // On failure (a stream longer than `out`, pixels shorter than the rows
    // they must hold, an error of the compressor such as an empty or
    // oversized image) returns false with outLength 0; rows already handed
    // to the compressor stay converted to red-green-blue.
    static bool encode(int width, int height, std::span<std::uint8_t> pixels,
                       std::span<std::uint8_t> out, std::int32_t& outLength,
                       bool rowsPadded, bool bgrOrder, bool bottomUp);
};

}  // namespace cardface
