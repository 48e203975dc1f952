// Conversions between 24-bit BMP images and planar YUV 4:2:0 images, with
// the fixed-point tables of full-range (JFIF) YCbCr.
//
// A YUV 4:2:0 image of w × h pixels is the Y plane (w × h bytes, row length
// w), then the U plane, then the V plane, each ceil(w/2) × ceil(h/2)
// samples; chroma sample (c, r) covers pixels (2c..2c+1, 2r..2r+1). A BMP
// image is a 54-byte header, then rows of blue-green-red pixels padded to a
// multiple of 4 bytes, bottom row first. Neither conversion writes outside
// the spans it is given: an image that does not fit is not converted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace cardface {

class ColourConverter {
public:
    static constexpr std::size_t kBmpHeaderSize = 54;

    // Bytes of one BMP pixel row: 3 × width rounded up to a multiple of 4.
    static std::size_t bmpRowStride(int width);
    // Bytes of a whole BMP image, header included; 0 when not positive.
    static std::size_t bmpSize(int width, int height);
    // Bytes of a YUV 4:2:0 image; 0 when not positive.
    static std::size_t yuv420Size(int width, int height);

    // Converts the BMP image at `bitmap` (width and height from its header)
    // into a YUV 4:2:0 image of that size at `out`, which is an area for
    // images up to areaWidth × areaHeight. Chroma comes from the top-left
    // pixel of each 2 × 2 block. Converts nothing and returns false when the
    // header's width or height is zero, negative or larger than the area, or
    // when the spans are too short for the image.
    static bool bmpToYuv420(std::span<const std::uint8_t> bitmap, std::span<std::uint8_t> out,
                            int areaWidth, int areaHeight);

    // Writes the complete BMP image (header and pixels, padding bytes zero)
    // of the width × height YUV 4:2:0 image at `yuv` to `out` and returns its
    // size in bytes; returns 0 and writes nothing when a size is not positive
    // or a span is too short.
    static std::size_t yuv420ToBmp(std::span<const std::uint8_t> yuv, int width, int height,
                                   std::span<std::uint8_t> out);

    // The pixels of yuv420ToBmp, in red-green-blue order, for image rows
    // first .. first + count - 1 (top row 0) of the width × height YUV 4:2:0
    // image at `yuv`: row first + r goes to out[r × outStride], width × 3
    // bytes (nothing else is written). False, writing nothing, when a size
    // is not positive, the rows are not in the image, the stride is shorter
    // than a row or a span is too short.
    // With `memory` prepared for this image size, each chroma row's
    // conversion terms are taken from the memory while its samples are the
    // ones it last saw there (a card face keeps most of its template's
    // chroma), else worked out and remembered; the bytes are the same.
    class StepMemory;
    static bool yuv420RowsToRgb(std::span<const std::uint8_t> yuv, int width, int height,
                                int first, int count, std::span<std::uint8_t> out,
                                std::size_t outStride, StepMemory* memory = nullptr);

    // The YUV to BMP and RGB conversions run on the processor's vector unit
    // where it has one (SSSE3), else on portable code; both give the same
    // bytes. `enable` false forces the portable code (tests compare the
    // two). Returns whether the vector unit was in use before.
    static bool useVectorUnit(bool enable);
};

// What yuv420RowsToRgb remembers of the images it converts, for one image
// size; empty until prepared.
class ColourConverter::StepMemory {
public:
    StepMemory();
    ~StepMemory();
    StepMemory(const StepMemory&) = delete;
    StepMemory& operator=(const StepMemory&) = delete;

    // Makes room for images of width × height (forgetting what it held for
    // another size). Raises std::bad_alloc when there is no memory for it.
    void prepare(int width, int height);

    struct Rows;

private:
    friend class ColourConverter;
    std::unique_ptr<Rows> rows_;
};

}  // namespace cardface
