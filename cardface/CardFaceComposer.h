// Renders both card faces of a read card as JPEG streams: the card's UCS-2
// text block is drawn onto the front and back templates of its card type (a
// resident card, a residence permit for Hong Kong, Macao and Taiwan
// residents, a foreign permanent resident card: CardType.h) with the system
// font ("<Windows directory>/Fonts/SIMHEI.TTF") and the embedded OCR-B font
// (card number only), the portrait is pasted with its light background
// (luminance 240 and above) dropped, and each face is compressed into the
// caller's buffer.
//
// A composition draws as if it opened both fonts afresh and allocated its
// buffers anew, but what it can reuse is kept for the next one in the
// process: the FreeType faces (the system font's as long as the file at its
// path keeps its size, modification time and permissions; a changed file is
// reopened, a vanished one reported as opening it would), the glyphs they
// rendered, the work area and the stream buffers. Compositions run one at a
// time (a lock). All geometry is fixed (FaceCanvas). Results:
//   1   both faces made;
//  -1   the system font could not be opened (the rasteriser prints its
//       message), or there is no Windows directory, or the font path does
//       not fit the 256-byte path text (nothing printed, nothing opened);
//  -2   the embedded OCR-B font could not be opened;
//  -3   a buffer of the composition could not be allocated;
//  -4   a face could not be encoded into its output buffer;
//  -5   the block's card type (its mark at byte 248) is one whose layout
//       is not known: there are no faces for it.
// Whatever the result, the output buffers are zero-filled first; on any
// result but 1 both stay zero-filled and both lengths 0 (no images). After
// -3 nothing large is kept.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>

#include "cardface/FaceCanvas.h"

namespace cardface {

// Sees both composed canvases just before they are encoded.
using CanvasInspector = std::function<void(const FaceCanvas& front, const FaceCanvas& back)>;

class CardFaceComposer {
public:
    static constexpr std::size_t kTextBlockSize = 256;
    // The output buffer the read sequence supplies for each face.
    static constexpr std::size_t kFaceOutputSize = 436614;
    // The system font path is a NUL-terminated text of this many bytes.
    static constexpr std::size_t kFontPathCapacity = 256;

    static constexpr int kComposed = 1;
    static constexpr int kSystemFontFailed = -1;
    static constexpr int kOcrbFontFailed = -2;
    static constexpr int kOutOfMemory = -3;
    static constexpr int kEncodingFailed = -4;
    static constexpr int kNoFacesForCardType = -5;

    // `textBlock`: 128 UCS-2 little-endian units as read from the card;
    // `portraitBitmap`: the decoded 102 x 126 24-bit BMP image (header
    // included). A bitmap whose header gives a larger, zero or negative size
    // converts nothing: the portrait area is then pasted as it was
    // allocated, all zero (a dark green block). frontLength and backLength
    // receive the JPEG lengths. True exactly when the result is 1.
    static bool composeCardFaces(std::span<const std::uint8_t, kTextBlockSize> textBlock,
                                 std::span<const std::uint8_t> portraitBitmap,
                                 std::span<std::uint8_t> frontOut,
                                 std::span<std::uint8_t> backOut, std::int32_t& frontLength,
                                 std::int32_t& backLength);

    // Receives both JPEG streams of a composition; they stay valid only
    // during the call.
    using StreamReceiver =
        std::function<void(std::span<const std::uint8_t> front, std::span<const std::uint8_t> back)>;

    // The composition of composeCardFaces without the caller's buffers: the
    // streams (each at most kFaceOutputSize bytes, as there) are made in
    // buffers the composer keeps and handed to `receive` when the result is
    // 1. Returns the result. An exception `receive` raises passes through.
    static int composeStreams(std::span<const std::uint8_t, kTextBlockSize> textBlock,
                              std::span<const std::uint8_t> portraitBitmap,
                              const StreamReceiver& receive);

    // The same composition, returning its result; `inspect`, when given, is
    // called once with both canvases before they are encoded.
    static int compose(std::span<const std::uint8_t, kTextBlockSize> textBlock,
                       std::span<const std::uint8_t> portraitBitmap,
                       std::span<std::uint8_t> frontOut, std::span<std::uint8_t> backOut,
                       std::int32_t& frontLength, std::int32_t& backLength,
                       const CanvasInspector& inspect = {});
};

}  // namespace cardface
