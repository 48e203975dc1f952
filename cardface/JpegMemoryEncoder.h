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
//
// encodeRows is the same compression for callers that make their rows on
// demand or hand them over read-only: rows are supplied top row first in
// either channel order and never altered, and the stream goes into a byte
// vector that grows as the stream needs, up to a limit (a longer stream fails
// as above). The vector keeps its size for the next encoding; the streams of
// both entry points are identical for identical pixels.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

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

    enum class ChannelOrder { RedGreenBlue, BlueGreenRed };

    // Sets rows[0 .. count) to image rows first .. first + count - 1 (top row
    // 0), each width × 3 bytes in the encoding's channel order, which stay in
    // place until the supplier is called again. Called with rows in order.
    using RowSupplier = std::function<void(int first, int count, const std::uint8_t** rows)>;
    // Rows handed to the supplier at most this many at a time.
    static constexpr int kRowBatch = 16;

    // Compresses width × height pixels from `supply` into `out` from its first
    // byte, growing `out` (never shrinking it) up to `limit` bytes. On success
    // returns true with the stream's length in `length`; on failure (a stream
    // longer than `limit`, no memory to grow, an error of the compressor)
    // returns false with `length` 0.
    static bool encodeRows(int width, int height, ChannelOrder order, const RowSupplier& supply,
                           std::vector<std::uint8_t>& out, std::size_t limit, std::size_t& length);
};

}  // namespace cardface
