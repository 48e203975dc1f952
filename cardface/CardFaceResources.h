// The data the card face composer carries inside the control: the two face
// templates, those of the other card types and the OCR-B font of the card
// number.
//
// `frontTemplate` and `backTemplate` are complete FaceCanvas images (the
// front immediately followed by the back in one block); `embeddedOcrbFont`
// is a TrueType font followed by two zero bytes, and its span includes
// them. The other card types' templates are FaceCanvas images as well. The
// font has no Unicode character map and its glyphs are in the
// standard Macintosh order, so character code c draws glyph c: 3 is the
// space, 19 to 28 the digits, 59 the capital X; every advance is equal.
// Both are read-only and live as long as the program.
#pragma once

#include <cstdint>
#include <span>

#include "cardface/FaceCanvas.h"

namespace cardface {

std::span<const std::uint8_t, FaceCanvas::kSize> frontTemplate();
std::span<const std::uint8_t, FaceCanvas::kSize> backTemplate();
std::span<const std::uint8_t> embeddedOcrbFont();

// A residence permit for Hong Kong, Macao and Taiwan residents: the
// resident front without the nation caption, and its own back.
std::span<const std::uint8_t, FaceCanvas::kSize> permitFrontTemplate();
std::span<const std::uint8_t, FaceCanvas::kSize> permitBackTemplate();
// A foreign permanent resident card.
std::span<const std::uint8_t, FaceCanvas::kSize> foreignFrontTemplate();
std::span<const std::uint8_t, FaceCanvas::kSize> foreignBackTemplate();

}  // namespace cardface
