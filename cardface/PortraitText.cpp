#include "cardface/PortraitText.h"

#include <algorithm>
#include <vector>

#include "cardface/Base64Encoder.h"
#include "cardface/JpegMemoryEncoder.h"

namespace cardface {
namespace {
constexpr std::size_t kBmpHeaderSize = 54;
}

std::string encodePortraitText(std::span<const std::uint8_t> portraitBitmap) {
    // Encoding turns blue-green-red into red-green-blue in place; the
    // record's own bitmap must keep its order.
    std::vector<std::uint8_t> work(kPortraitBitmapSize, 0);
    const std::size_t copied = std::min(portraitBitmap.size(), kPortraitBitmapSize);
    std::copy_n(portraitBitmap.begin(), copied, work.begin());

    std::vector<std::uint8_t> jpeg(kPortraitJpegCapacity, 0);
    std::int32_t jpegLength = 0;
    const bool encoded = JpegMemoryEncoder::encode(
        kPortraitWidth, kPortraitHeight, std::span(work).subspan(kBmpHeaderSize), jpeg,
        jpegLength, /*rowsPadded=*/true, /*bgrOrder=*/true, /*bottomUp=*/true);
    if (!encoded || jpegLength <= 0) return {};
    return Base64Encoder::encode(
        std::span<const std::uint8_t>(jpeg).first(static_cast<std::size_t>(jpegLength)));
}

}  // namespace cardface
