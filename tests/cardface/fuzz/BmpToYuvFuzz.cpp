// Fuzz target: arbitrary BMP images, header included, converted into a
// bounded YUV area and back. Bytes past the converted image stay untouched.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "FuzzInput.h"
#include "cardface/ColourConverter.h"

using cardface::ColourConverter;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    cardface::fuzz::FuzzInput in(data, size);
    const int areaWidth = in.takeIn(-2, 130);
    const int areaHeight = in.takeIn(-2, 130);
    const bool plausible = in.take<std::uint8_t>() % 2 == 0;
    const std::int32_t smallWidth = in.takeIn(-3, 133);
    const std::int32_t smallHeight = in.takeIn(-3, 133);

    std::vector<std::uint8_t> bitmap(in.rest(), in.rest() + in.restSize());
    if (plausible && bitmap.size() >= ColourConverter::kBmpHeaderSize) {
        // Headers near the area's size, so the conversion runs often.
        for (int b = 0; b < 4; ++b) {
            bitmap[18 + b] = static_cast<std::uint8_t>(static_cast<std::uint32_t>(smallWidth) >> (8 * b));
            bitmap[22 + b] = static_cast<std::uint8_t>(static_cast<std::uint32_t>(smallHeight) >> (8 * b));
        }
        const std::size_t needed = ColourConverter::bmpSize(smallWidth, smallHeight);
        if (needed > bitmap.size() && in.restSize() % 3 == 0) bitmap.resize(needed, 0x80);
    }

    constexpr std::uint8_t kUntouched = 0xC3;
    const std::size_t areaSize = ColourConverter::yuv420Size(areaWidth, areaHeight);
    std::vector<std::uint8_t> yuv(areaSize, kUntouched);
    if (!ColourConverter::bmpToYuv420(bitmap, yuv, areaWidth, areaHeight)) {
        for (const auto b : yuv) {
            if (b != kUntouched) std::abort();
        }
        return 0;
    }
    std::int32_t w = 0;
    std::int32_t h = 0;
    for (int b = 3; b >= 0; --b) {
        w = static_cast<std::int32_t>(static_cast<std::uint32_t>(w) << 8 | bitmap[18 + b]);
        h = static_cast<std::int32_t>(static_cast<std::uint32_t>(h) << 8 | bitmap[22 + b]);
    }
    if (w <= 0 || h <= 0 || w > areaWidth || h > areaHeight) std::abort();
    for (std::size_t i = ColourConverter::yuv420Size(w, h); i < yuv.size(); ++i) {
        if (yuv[i] != kUntouched) std::abort();
    }
    std::vector<std::uint8_t> back(ColourConverter::bmpSize(w, h));
    if (ColourConverter::yuv420ToBmp(yuv, w, h, back) != back.size()) std::abort();
    return 0;
}
