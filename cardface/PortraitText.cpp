#include "cardface/PortraitText.h"

#include <algorithm>
#include <vector>

#include "cardface/Base64Encoder.h"
#include "cardface/JpegMemoryEncoder.h"

namespace cardface {
namespace {

constexpr std::size_t kBmpHeaderSize = 54;
constexpr std::size_t kRowStride = 308;
static_assert(kBmpHeaderSize + kRowStride * kPortraitHeight == kPortraitBitmapSize);

}  // namespace

std::string encodePortraitText(std::span<const std::uint8_t> portraitBitmap) {
    // A short bitmap is completed with zeros in a copy of its own.
    std::vector<std::uint8_t> completed;
    if (portraitBitmap.size() < kPortraitBitmapSize) {
        completed.assign(kPortraitBitmapSize, 0);
        std::ranges::copy(portraitBitmap, completed.begin());
        portraitBitmap = completed;
    }
    const std::uint8_t* pixels = portraitBitmap.data() + kBmpHeaderSize;
    // The bottom row comes first in the bitmap, last in the image.
    const JpegMemoryEncoder::RowSupplier supply = [&](int first, int count, const std::uint8_t** rows) {
        for (int r = 0; r < count; ++r) {
            rows[r] = pixels + kRowStride * static_cast<std::size_t>(kPortraitHeight - 1 - (first + r));
        }
    };
    // Kept for the next portrait of this thread.
    thread_local std::vector<std::uint8_t> stream;
    std::size_t length = 0;
    if (!JpegMemoryEncoder::encodeRows(kPortraitWidth, kPortraitHeight,
                                       JpegMemoryEncoder::ChannelOrder::BlueGreenRed, supply, stream,
                                       kPortraitJpegLimit, length)) {
        return {};
    }
    return Base64Encoder::encode(std::span<const std::uint8_t>(stream).first(length));
}

}  // namespace cardface
