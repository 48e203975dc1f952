#include "cardface/CardFaceResources.h"

#include <cstddef>

// Placed by the build step of resources/CMakeLists.txt: each block lies
// between its symbol and the matching "End" symbol.
extern "C" {
extern const std::uint8_t ivelCardFaceTemplates[] __attribute__((visibility("hidden")));
extern const std::uint8_t ivelCardFaceTemplatesEnd[] __attribute__((visibility("hidden")));
extern const std::uint8_t ivelCardFaceOtherTemplates[] __attribute__((visibility("hidden")));
extern const std::uint8_t ivelCardFaceOcrbFont[] __attribute__((visibility("hidden")));
extern const std::uint8_t ivelCardFaceOcrbFontEnd[] __attribute__((visibility("hidden")));
}

namespace cardface {

std::span<const std::uint8_t, FaceCanvas::kSize> frontTemplate() {
    return std::span<const std::uint8_t, FaceCanvas::kSize>(ivelCardFaceTemplates,
                                                           FaceCanvas::kSize);
}

std::span<const std::uint8_t, FaceCanvas::kSize> backTemplate() {
    return std::span<const std::uint8_t, FaceCanvas::kSize>(
        ivelCardFaceTemplates + FaceCanvas::kSize, FaceCanvas::kSize);
}

namespace {

// The other card types' templates in their order in the block.
std::span<const std::uint8_t, FaceCanvas::kSize> otherTemplate(std::size_t index) {
    return std::span<const std::uint8_t, FaceCanvas::kSize>(
        ivelCardFaceOtherTemplates + index * FaceCanvas::kSize, FaceCanvas::kSize);
}

}  // namespace

std::span<const std::uint8_t, FaceCanvas::kSize> permitFrontTemplate() { return otherTemplate(0); }
std::span<const std::uint8_t, FaceCanvas::kSize> permitBackTemplate() { return otherTemplate(1); }
std::span<const std::uint8_t, FaceCanvas::kSize> foreignFrontTemplate() { return otherTemplate(2); }
std::span<const std::uint8_t, FaceCanvas::kSize> foreignBackTemplate() { return otherTemplate(3); }

std::span<const std::uint8_t> embeddedOcrbFont() {
    return {ivelCardFaceOcrbFont,
            static_cast<std::size_t>(ivelCardFaceOcrbFontEnd - ivelCardFaceOcrbFont)};
}

}  // namespace cardface
