// Draws UTF-16 text with TrueType faces into 16-row coverage strips, breaks
// the 35-character address into lines, and inks strips onto an 8-bit plane.
//
// Each open face has a FreeType library instance of its own. Every code unit
// is one character code (no surrogate pairs); a space is never rendered and
// takes no room, a 0x0000 unit ends a run. Glyphs are rendered as 8-bit
// anti-aliased coverage (from outlines even where a face has embedded
// bitmaps; bitmap-only glyphs are converted) and combined by bitwise OR,
// clipped to the strip. Inking replaces the plane's value with 255 − coverage
// where coverage is not 0 and stays within the strip and the plane's rows.
// Opening a face prints "init library=%d\n", "load ttf library error=%d \n"
// or "load memory ttf library error=%d \n" to standard output on failure.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

struct FT_LibraryRec_;
struct FT_FaceRec_;

namespace cardface {

struct GlyphCache;

// One FreeType library instance and the face opened in it. Move-only; a
// handle still open when destroyed is closed.
class FontHandle {
public:
    FontHandle() noexcept;
    FontHandle(const FontHandle&) = delete;
    FontHandle& operator=(const FontHandle&) = delete;
    FontHandle(FontHandle&& other) noexcept;
    FontHandle& operator=(FontHandle&& other) noexcept;
    ~FontHandle();

    bool isOpen() const { return face_ != nullptr; }

private:
    friend class TextRasteriser;
    FT_LibraryRec_* library_ = nullptr;
    FT_FaceRec_* face_ = nullptr;
    // The pixel size last set successfully (0: none or unknown).
    mutable int pixelSize_ = 0;
    // The placement of the glyph the face loaded last: its left column and
    // width, as the face's glyph slot holds them (0 and 0 in a new face).
    mutable std::int64_t lastLeft_ = 0;
    mutable std::int64_t lastWidth_ = 0;
    // Rendered glyphs kept for reuse, when enabled.
    std::unique_ptr<GlyphCache> glyphs_;
};

// 16 rows × stripWidth coverage bytes (0 no ink, 255 full ink), row after
// row, in memory the caller owns. The width is cut to what the memory holds.
class GlyphStrip {
public:
    static constexpr int kRows = 16;

    GlyphStrip() = default;
    GlyphStrip(std::span<std::uint8_t> cells, int stripWidth);

    int stripWidth() const { return stripWidth_; }
    std::uint8_t& at(int x, int row) const {
        return cells_[static_cast<std::size_t>(row) * static_cast<std::size_t>(stripWidth_) +
                      static_cast<std::size_t>(x)];
    }

private:
    std::uint8_t* cells_ = nullptr;
    int stripWidth_ = 0;
};

// Line-breaking class of an address character.
enum class CharClass : std::uint8_t {
    Narrow = 0,         // U+0021 to U+00BF, counted 6 pixels
    Wide = 1,           // below U+0020, above U+00BF except fullwidth forms; 12
    Space = 2,          // U+0020; 6
    FullwidthForm = 3,  // U+FF01 to U+FF80, drawn as the unit + 0x120; 12
};

struct AddressLayout {
    static constexpr int kLength = 35;
    static constexpr int kMaxLines = 5;

    std::array<char16_t, kLength> characters{};  // the characters drawn
    std::array<CharClass, kLength> classes{};
    int lineCount = 0;                           // 1 to 5
    std::array<int, kMaxLines> lineLengths{};    // 0 for lines that do not exist

    // Index of line k's first character.
    int lineStart(int k) const;
};

class TextRasteriser {
public:
    static constexpr int kFontOpened = 0;
    static constexpr int kLibraryFailed = -1;
    static constexpr int kFaceFailed = -2;
    // Room of one address line: eleven 12-pixel characters.
    static constexpr int kAddressLineRoom = 132;

    struct OpenResult {
        int result = kFaceFailed;
        FontHandle handle;
    };

    // Face index 0 of the font file at `path`.
    static OpenResult openFontFile(const std::string& path);
    // Face index 0 of `bytes`, which must stay in place while the face is open.
    static OpenResult openFontMemory(std::span<const std::uint8_t> bytes);
    // Releases the face, then its library; the handle is closed afterwards.
    static void closeFont(FontHandle& handle);
    // Makes the em square pixels × pixels until set again. False on failure.
    static bool setPixelSize(const FontHandle& handle, int pixels);

    // From now on keeps each glyph this face renders with the pen on whole
    // pixels, by pixel size and character, and draws it again from there
    // when the pen is on whole pixels: the face's outlines moved by whole
    // pixels render to the same coverage moved by as many pixels, so the
    // strips and widths drawn are the ones FreeType would give. Glyphs that
    // come as bitmaps, fail to load or are not 8-bit coverage are never
    // kept, nor are empty glyphs (FreeType places them at column 0 wherever
    // the pen is). The store is emptied when it reaches kGlyphCacheLimit
    // glyphs.
    static void keepRenderedGlyphs(FontHandle& handle);
    static constexpr std::size_t kGlyphCacheLimit = 4096;
    // Lets the face start as if newly opened: no glyph loaded yet (drawText
    // on a run that loads none then returns (i − 1) × letterSpacing).
    static void forgetLastGlyph(const FontHandle& handle);

    // Draws the code units of `text` (all of them are considered: the run's
    // count is text.size()) into `strip` with the baseline on `baselineRow`,
    // adding letterSpacing pixels per character position on top of the
    // font's advances. Returns (i − 1) × letterSpacing plus the right edge
    // of the glyph the face last loaded, i being where the run ended; that
    // glyph may be one of an earlier call when this one loaded none. A
    // closed handle draws nothing and returns 0.
    static std::int32_t drawText(const FontHandle& handle, std::u16string_view text,
                                 const GlyphStrip& strip, int letterSpacing, int baselineRow);

    // Breaks the 35 address code units into one to five non-empty lines that
    // cover them all, counting 12 pixels per wide character or fullwidth
    // form and 6 per narrow character or space against a room of 132. A run
    // of narrow characters (or of fullwidth forms) that reaches the room
    // exactly and goes on moves whole to the next line, unless it fills its
    // line from the line's start. The fifth line takes whatever is left.
    static AddressLayout layoutAddress(std::span<const char16_t, AddressLayout::kLength> address);

    // drawText with letterSpacing 0 for one address line, each glyph shifted
    // right by an offset that grows by 5 at every fullwidth form and by 1 at
    // a wide character right after one. classes[i] is the class of text[i];
    // characters without a class are not drawn.
    static std::int32_t drawAddressLine(const FontHandle& handle, std::u16string_view text,
                                        std::span<const CharClass> classes,
                                        const GlyphStrip& strip, int baselineRow);

    // Inks the strip's first inkWidth columns of all 16 rows onto the plane
    // with its top-left at column x, row y; a plane row is planeStride bytes.
    static void inkStrip(const GlyphStrip& strip, int inkWidth, std::span<std::uint8_t> plane,
                         int planeStride, int x, int y);

    static CharClass classify(char16_t unit);
};

}  // namespace cardface
