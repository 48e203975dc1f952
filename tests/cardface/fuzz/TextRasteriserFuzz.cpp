// Fuzz target: arbitrary UTF-16 runs drawn with arbitrary strip widths,
// spacings and baselines, laid out as addresses, and inked anywhere on an
// exactly sized card-face plane.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "FuzzInput.h"
#include "cardface/TextRasteriser.h"

using cardface::AddressLayout;
using cardface::GlyphStrip;
using cardface::TextRasteriser;

namespace {
cardface::FontHandle& font() {
    static cardface::FontHandle handle = [] {
        auto opened = TextRasteriser::openFontFile(IVELCARD_TEST_CJK_FONT);
        if (opened.result != TextRasteriser::kFontOpened) std::abort();
        return std::move(opened.handle);
    }();
    return handle;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    cardface::fuzz::FuzzInput in(data, size);
    const int pixels = in.takeIn(1, 40);
    const int stripWidth = in.takeIn(0, 700);
    const int letterSpacing = in.take<std::int16_t>();
    const int baselineRow = in.take<std::int16_t>();
    const int inkWidth = in.take<std::int32_t>();
    const int x = in.take<std::int16_t>();
    const int y = in.take<std::int16_t>();
    // Longer than any card field, short enough for many runs.
    constexpr std::size_t kMaxUnits = 160;
    std::u16string text(std::min(in.restSize() / 2, kMaxUnits), u'\0');
    for (auto& unit : text) unit = in.take<char16_t>();

    if (!TextRasteriser::setPixelSize(font(), pixels)) std::abort();
    std::vector<std::uint8_t> cells(static_cast<std::size_t>(GlyphStrip::kRows) * stripWidth);
    const GlyphStrip strip(cells, stripWidth);
    (void)TextRasteriser::drawText(font(), text, strip, letterSpacing, baselineRow);

    std::vector<std::uint8_t> plane(340 * 214);
    TextRasteriser::inkStrip(strip, inkWidth, plane, 340, x, y);

    std::u16string address = text.substr(0, AddressLayout::kLength);
    address.resize(AddressLayout::kLength, u' ');
    const AddressLayout layout = TextRasteriser::layoutAddress(
        std::span<const char16_t, AddressLayout::kLength>(address.data(), AddressLayout::kLength));
    if (layout.lineCount < 1 || layout.lineCount > AddressLayout::kMaxLines) std::abort();
    std::vector<std::uint8_t> lines(AddressLayout::kLength * 16 * GlyphStrip::kRows);
    std::size_t offset = 0;
    for (int k = 0; k < layout.lineCount; ++k) {
        const int start = layout.lineStart(k);
        const int length = layout.lineLengths[k];
        if (length < 1) std::abort();
        const std::size_t bytes = static_cast<std::size_t>(16 * length * GlyphStrip::kRows);
        const GlyphStrip line(std::span<std::uint8_t>(lines).subspan(offset, bytes), 16 * length);
        (void)TextRasteriser::drawAddressLine(
            font(), std::u16string_view(layout.characters.data() + start, length),
            std::span(layout.classes).subspan(start, length), line, 12);
        TextRasteriser::inkStrip(line, 16 * length, plane, 340, 67, 110 + 16 * k);
        offset += bytes;
    }
    return 0;
}
