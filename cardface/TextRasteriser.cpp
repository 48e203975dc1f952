#include "cardface/TextRasteriser.h"

#include <algorithm>
#include <cstdio>
#include <limits>
#include <unordered_map>
#include <utility>
#include <vector>

#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_BITMAP_H

namespace cardface {
namespace {

constexpr char kInitLibraryMessage[] = "init library=%d\n";
constexpr char kLoadFileMessage[] = "load ttf library error=%d \n";
constexpr char kLoadMemoryMessage[] = "load memory ttf library error=%d \n";

constexpr char16_t kSpace = 0x0020;
constexpr char16_t kEndOfRun = 0x0000;
constexpr FT_Pos kSubpixels = 64;  // 26.6 fixed point
constexpr FT_Fixed kFixedOne = 0x10000;

// Which units fall into which class; every unit not listed is Wide.
struct ClassRange {
    char16_t first;
    char16_t last;
    CharClass cls;
};
constexpr ClassRange kClassRanges[] = {
    {0x0020, 0x0020, CharClass::Space},
    {0x0021, 0x00BF, CharClass::Narrow},
    {0xFF01, 0xFF80, CharClass::FullwidthForm},
};

// Per class (indexed by its value): the pixels counted in line breaking, the
// shift from the unit to the character drawn, and the offset that a
// character of that class adds before it is drawn on an address line.
struct ClassTraits {
    int countedWidth;
    char16_t drawShift;
    int addressOffset;
};
constexpr ClassTraits kClassTraits[] = {
    /* Narrow */ {6, 0, 0},
    /* Wide */ {12, 0, 0},
    /* Space */ {6, 0, 0},
    /* FullwidthForm */ {12, 0x120, 5},
};
// A wide character right after a fullwidth form moves one more pixel.
constexpr int kWideAfterFullwidthOffset = 1;

const ClassTraits& traitsOf(CharClass cls) { return kClassTraits[static_cast<int>(cls)]; }

std::int32_t clampToInt32(std::int64_t v) {
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(
        v, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()));
}

// An 8-bit coverage bitmap as the combination reads it.
struct CoverageView {
    const unsigned char* buffer;
    std::int64_t rows;
    std::int64_t width;
    std::int64_t pitch;  // negative: rows stored bottom row first
    int maxLevel;
};

CoverageView viewOf(const FT_Bitmap& bitmap) {
    return {bitmap.buffer, bitmap.rows, bitmap.width, bitmap.pitch,
            bitmap.num_grays > 1 ? bitmap.num_grays - 1 : 255};
}

// ORs an 8-bit coverage bitmap into the strip with its top-left at (left, top),
// skipping what falls outside the strip. Bitmaps of fewer than 256 grey
// levels (converted 1-, 2- or 4-bit glyphs) are stretched to 0..255.
void combine(const CoverageView& bitmap, const GlyphStrip& strip, std::int64_t left,
             std::int64_t top) {
    if (bitmap.buffer == nullptr) return;
    const int maxLevel = bitmap.maxLevel;
    const std::int64_t pitch = bitmap.pitch;
    const std::int64_t rows = bitmap.rows;
    const std::int64_t width = bitmap.width;
    const std::int64_t uFrom = std::max<std::int64_t>(0, -left);
    const std::int64_t uTo = std::min<std::int64_t>(width, strip.stripWidth() - left);
    for (std::int64_t v = 0; v < rows; ++v) {
        const std::int64_t y = top + v;
        if (y < 0 || y >= GlyphStrip::kRows) continue;
        // A negative pitch means the rows are stored bottom row first.
        const unsigned char* src =
            bitmap.buffer + (pitch >= 0 ? v * pitch : (v - rows + 1) * pitch);
        if (uFrom >= uTo) continue;
        std::uint8_t* cells = &strip.at(static_cast<int>(left + uFrom), static_cast<int>(y));
        if (maxLevel == 255) {
            for (std::int64_t u = uFrom; u < uTo; ++u) cells[u - uFrom] |= src[u];
            continue;
        }
        for (std::int64_t u = uFrom; u < uTo; ++u) {
            cells[u - uFrom] = static_cast<std::uint8_t>(cells[u - uFrom] | (src[u] * 255 / maxLevel));
        }
    }
}

void combine(const FT_Bitmap& bitmap, const GlyphStrip& strip, std::int64_t left,
             std::int64_t top) {
    if (bitmap.pixel_mode != FT_PIXEL_MODE_GRAY) return;
    combine(viewOf(bitmap), strip, left, top);
}

// Loads and renders one character into the face's glyph slot, as
// FT_LOAD_RENDER would, but tells whether the glyph came as a bitmap.
// Outlines are used even where a face has embedded bitmaps, whose 1-bit
// strikes would not give 8-bit coverage; bitmap-only faces ignore that flag
// and yield bitmaps, which combineSlot converts.
struct LoadedGlyph {
    bool loaded = false;
    bool fromBitmap = false;
};

LoadedGlyph loadGlyph(FT_Face face, char16_t c) {
    if (FT_Load_Char(face, c, FT_LOAD_NO_BITMAP) != 0) return {};
    const bool fromBitmap = face->glyph->format == FT_GLYPH_FORMAT_BITMAP;
    if (!fromBitmap && FT_Render_Glyph(face->glyph, FT_RENDER_MODE_NORMAL) != 0) return {};
    return {true, fromBitmap};
}

// The pen is applied through the face's transform, which FreeType applies to
// outlines only; a glyph that was a bitmap from the start is moved by the
// pen, rounded to whole pixels, here.
struct PixelShift {
    std::int64_t x = 0;
    std::int64_t y = 0;
};

PixelShift bitmapShift(const FT_Vector& pen) {
    const auto roundPixels = [](FT_Pos v) { return (std::int64_t{v} + kSubpixels / 2) >> 6; };
    return {roundPixels(pen.x), roundPixels(pen.y)};
}

void combineSlot(FT_Library library, FT_GlyphSlot slot, const GlyphStrip& strip,
                 std::int64_t left, std::int64_t top) {
    if (slot->bitmap.pixel_mode == FT_PIXEL_MODE_GRAY) {
        combine(slot->bitmap, strip, left, top);
        return;
    }
    FT_Bitmap converted;
    FT_Bitmap_Init(&converted);
    if (FT_Bitmap_Convert(library, &slot->bitmap, &converted, 1) == 0) {
        combine(converted, strip, left, top);
    }
    FT_Bitmap_Done(library, &converted);
}

}  // namespace

// A rendered glyph with its placement relative to a pen at the origin, and
// its coverage rows (width bytes each, top row first) in the store's bytes.
struct CachedGlyph {
    std::int64_t left;
    std::int64_t top;
    FT_Pos advanceX;
    FT_Pos advanceY;
    std::int64_t width;
    std::int64_t rows;
    std::size_t offset;
};

struct GlyphCache {
    std::unordered_map<std::uint64_t, CachedGlyph> glyphs;
    std::vector<std::uint8_t> coverage;
};

namespace {

std::uint64_t glyphKey(int pixelSize, char16_t c) {
    return (static_cast<std::uint64_t>(static_cast<std::uint32_t>(pixelSize)) << 16) | c;
}

bool onWholePixels(const FT_Vector& pen) { return pen.x % kSubpixels == 0 && pen.y % kSubpixels == 0; }

// Keeps the glyph just rendered into the slot with the pen at `pen`.
void keepGlyph(GlyphCache& cache, std::uint64_t key, FT_GlyphSlot slot, const FT_Vector& pen) {
    const FT_Bitmap& bitmap = slot->bitmap;
    if (bitmap.pixel_mode != FT_PIXEL_MODE_GRAY || bitmap.num_grays != 256) return;
    // An empty glyph is placed at column 0 wherever the pen is: its place
    // does not move with the pen, so it is always loaded afresh.
    if (bitmap.buffer == nullptr || bitmap.rows == 0 || bitmap.width == 0) return;
    if (cache.glyphs.size() >= TextRasteriser::kGlyphCacheLimit) {
        cache.glyphs.clear();
        cache.coverage.clear();
    }
    const CoverageView view = viewOf(bitmap);
    CachedGlyph glyph{std::int64_t{slot->bitmap_left} - pen.x / kSubpixels,
                      std::int64_t{slot->bitmap_top} - pen.y / kSubpixels,
                      slot->advance.x,
                      slot->advance.y,
                      view.width,
                      view.rows,
                      cache.coverage.size()};
    for (std::int64_t v = 0; v < view.rows; ++v) {
        const unsigned char* src =
            view.buffer + (view.pitch >= 0 ? v * view.pitch : (v - view.rows + 1) * view.pitch);
        cache.coverage.insert(cache.coverage.end(), src, src + view.width);
    }
    cache.glyphs.emplace(key, glyph);
}

// The drawing loop shared by plain runs and address lines (classes given).
std::int32_t drawRun(FT_Library library, FT_Face face, GlyphCache* cache, int pixelSize,
                     std::int64_t& lastLeft, std::int64_t& lastWidth, std::u16string_view text,
                     const CharClass* classes, const GlyphStrip& strip, int letterSpacing,
                     int baselineRow) {
    if (face == nullptr) return 0;
    if (pixelSize <= 0) cache = nullptr;
    FT_Matrix identity{kFixedOne, 0, 0, kFixedOne};
    FT_Vector pen{0, (GlyphStrip::kRows - static_cast<FT_Pos>(baselineRow)) * kSubpixels};
    std::int64_t offset = 0;
    PixelShift lastShift;
    std::size_t i = 0;
    for (; i < text.size(); ++i) {
        const char16_t c = text[i];
        if (c == kSpace) continue;
        if (c == kEndOfRun) break;
        if (classes != nullptr) {
            offset += traitsOf(classes[i]).addressOffset;
            if (classes[i] == CharClass::Wide && i > 0 &&
                classes[i - 1] == CharClass::FullwidthForm) {
                offset += kWideAfterFullwidthOffset;
            }
        }
        const std::int64_t spacing = static_cast<std::int64_t>(i) * letterSpacing + offset;
        const bool whole = cache != nullptr && onWholePixels(pen);
        const std::uint64_t key = glyphKey(pixelSize, c);
        if (whole) {
            if (const auto found = cache->glyphs.find(key); found != cache->glyphs.end()) {
                const CachedGlyph& glyph = found->second;
                lastShift = {};
                lastLeft = glyph.left + pen.x / kSubpixels;
                lastWidth = glyph.width;
                const CoverageView view{cache->coverage.data() + glyph.offset, glyph.rows,
                                        glyph.width, glyph.width, 255};
                combine(view, strip, lastLeft + spacing,
                        GlyphStrip::kRows - (glyph.top + pen.y / kSubpixels));
                pen.x += glyph.advanceX;
                pen.y += glyph.advanceY;
                continue;
            }
        }
        FT_Set_Transform(face, &identity, &pen);
        const LoadedGlyph glyph = loadGlyph(face, c);
        const FT_GlyphSlot slot = face->glyph;
        lastLeft = slot->bitmap_left;
        lastWidth = slot->bitmap.width;
        lastShift = glyph.fromBitmap ? bitmapShift(pen) : PixelShift{};
        if (!glyph.loaded) continue;
        if (whole && !glyph.fromBitmap) keepGlyph(*cache, key, slot, pen);
        const std::int64_t left = std::int64_t{slot->bitmap_left} + lastShift.x + spacing;
        const std::int64_t top =
            GlyphStrip::kRows - (std::int64_t{slot->bitmap_top} + lastShift.y);
        combineSlot(library, slot, strip, left, top);
        pen.x += slot->advance.x;
        pen.y += slot->advance.y;
    }
    return clampToInt32((static_cast<std::int64_t>(i) - 1) * letterSpacing + lastLeft +
                        lastShift.x + lastWidth + offset);
}

struct OpenedFace {
    int result;
    FT_Library library;
    FT_Face face;
};

// Initialises a library instance of the face's own and opens the face in it;
// on failure prints the message and leaves nothing open.
template <class OpenFace>
OpenedFace openFace(const char* failureMessage, OpenFace&& open) {
    FT_Library library = nullptr;
    if (const FT_Error e = FT_Init_FreeType(&library); e != 0) {
        std::printf(kInitLibraryMessage, e);
        return {TextRasteriser::kLibraryFailed, nullptr, nullptr};
    }
    FT_Face face = nullptr;
    if (const FT_Error e = open(library, &face); e != 0) {
        FT_Done_FreeType(library);
        std::printf(failureMessage, e);
        return {TextRasteriser::kFaceFailed, nullptr, nullptr};
    }
    return {TextRasteriser::kFontOpened, library, face};
}

}  // namespace

FontHandle::FontHandle() noexcept = default;

FontHandle::FontHandle(FontHandle&& other) noexcept
    : library_(std::exchange(other.library_, nullptr)),
      face_(std::exchange(other.face_, nullptr)),
      pixelSize_(std::exchange(other.pixelSize_, 0)),
      lastLeft_(std::exchange(other.lastLeft_, 0)),
      lastWidth_(std::exchange(other.lastWidth_, 0)),
      glyphs_(std::move(other.glyphs_)) {}

FontHandle& FontHandle::operator=(FontHandle&& other) noexcept {
    if (this != &other) {
        TextRasteriser::closeFont(*this);
        library_ = std::exchange(other.library_, nullptr);
        face_ = std::exchange(other.face_, nullptr);
        pixelSize_ = std::exchange(other.pixelSize_, 0);
        lastLeft_ = std::exchange(other.lastLeft_, 0);
        lastWidth_ = std::exchange(other.lastWidth_, 0);
        glyphs_ = std::move(other.glyphs_);
    }
    return *this;
}

FontHandle::~FontHandle() { TextRasteriser::closeFont(*this); }

GlyphStrip::GlyphStrip(std::span<std::uint8_t> cells, int stripWidth)
    : cells_(cells.data()),
      stripWidth_(static_cast<int>(std::clamp<std::size_t>(
          static_cast<std::size_t>(std::max(stripWidth, 0)), 0, cells.size() / kRows))) {}

int AddressLayout::lineStart(int k) const {
    int start = 0;
    for (int line = 0; line < k && line < kMaxLines; ++line) start += lineLengths[line];
    return start;
}

CharClass TextRasteriser::classify(char16_t unit) {
    for (const ClassRange& range : kClassRanges) {
        if (unit >= range.first && unit <= range.last) return range.cls;
    }
    return CharClass::Wide;
}

TextRasteriser::OpenResult TextRasteriser::openFontFile(const std::string& path) {
    const OpenedFace opened = openFace(kLoadFileMessage, [&](FT_Library library, FT_Face* face) {
        return FT_New_Face(library, path.c_str(), 0, face);
    });
    OpenResult result;
    result.result = opened.result;
    result.handle.library_ = opened.library;
    result.handle.face_ = opened.face;
    return result;
}

TextRasteriser::OpenResult TextRasteriser::openFontMemory(std::span<const std::uint8_t> bytes) {
    const OpenedFace opened = openFace(kLoadMemoryMessage, [&](FT_Library library, FT_Face* face) {
        // FreeType takes a signed length; a larger span is no font it can read.
        if (bytes.size() > static_cast<std::size_t>(std::numeric_limits<FT_Long>::max())) {
            return static_cast<FT_Error>(FT_Err_Invalid_Argument);
        }
        return FT_New_Memory_Face(library, bytes.data(), static_cast<FT_Long>(bytes.size()), 0,
                                  face);
    });
    OpenResult result;
    result.result = opened.result;
    result.handle.library_ = opened.library;
    result.handle.face_ = opened.face;
    return result;
}

void TextRasteriser::closeFont(FontHandle& handle) {
    if (handle.face_ != nullptr) FT_Done_Face(handle.face_);
    if (handle.library_ != nullptr) FT_Done_FreeType(handle.library_);
    handle.face_ = nullptr;
    handle.library_ = nullptr;
    handle.pixelSize_ = 0;
    handle.lastLeft_ = 0;
    handle.lastWidth_ = 0;
    handle.glyphs_.reset();
}

bool TextRasteriser::setPixelSize(const FontHandle& handle, int pixels) {
    if (handle.face_ == nullptr || pixels <= 0) return false;
    const bool set = FT_Set_Pixel_Sizes(handle.face_, static_cast<FT_UInt>(pixels), 0) == 0;
    // After a failure the face's size is not known for certain.
    handle.pixelSize_ = set ? pixels : 0;
    return set;
}

void TextRasteriser::keepRenderedGlyphs(FontHandle& handle) {
    if (!handle.glyphs_) handle.glyphs_ = std::make_unique<GlyphCache>();
}

void TextRasteriser::forgetLastGlyph(const FontHandle& handle) {
    handle.lastLeft_ = 0;
    handle.lastWidth_ = 0;
}

std::int32_t TextRasteriser::drawText(const FontHandle& handle, std::u16string_view text,
                                      const GlyphStrip& strip, int letterSpacing,
                                      int baselineRow) {
    return drawRun(handle.library_, handle.face_, handle.glyphs_.get(), handle.pixelSize_,
                   handle.lastLeft_, handle.lastWidth_, text, nullptr, strip, letterSpacing,
                   baselineRow);
}

std::int32_t TextRasteriser::drawAddressLine(const FontHandle& handle, std::u16string_view text,
                                             std::span<const CharClass> classes,
                                             const GlyphStrip& strip, int baselineRow) {
    return drawRun(handle.library_, handle.face_, handle.glyphs_.get(), handle.pixelSize_,
                   handle.lastLeft_, handle.lastWidth_, text.substr(0, classes.size()),
                   classes.data(), strip, 0, baselineRow);
}

AddressLayout TextRasteriser::layoutAddress(
    std::span<const char16_t, AddressLayout::kLength> address) {
    constexpr int n = AddressLayout::kLength;
    AddressLayout layout;
    for (int j = 0; j < n; ++j) {
        const CharClass cls = classify(address[j]);
        layout.classes[j] = cls;
        layout.characters[j] = static_cast<char16_t>(address[j] + traitsOf(cls).drawShift);
    }
    const auto& cls = layout.classes;
    const auto isClass = [&](int j, CharClass c) { return j < n && cls[j] == c; };

    // Walks back from j over the run that reaches the line's room, as long
    // as the run's characters are not `stopA` or `stopB`, counting `step`
    // pixels each. The line then ends after the character the walk stops
    // on. A run that fills the line from its start cannot be moved whole:
    // the line then ends after j.
    struct Break {
        int k;
        int m;
    };
    const auto walkBack = [&](int j, int lineStart, CharClass stopA, CharClass stopB,
                              int step) -> Break {
        int k = j;
        int m = kAddressLineRoom;
        while (k > lineStart && cls[k] != stopA && cls[k] != stopB) {
            m -= step;
            --k;
        }
        if (cls[k] != stopA && cls[k] != stopB) return {j, kAddressLineRoom};
        return {k, m};
    };

    std::array<int, AddressLayout::kMaxLines> ends{};
    int endCount = 0;
    int lineStart = 0;
    int w = 0;
    for (int j = 0; j < n; ++j) {
        w += traitsOf(cls[j]).countedWidth;
        // The fifth line takes whatever is left.
        if (endCount == AddressLayout::kMaxLines - 1) continue;
        if (w > kAddressLineRoom) {
            ends[endCount++] = j;
            lineStart = j;
            w = traitsOf(CharClass::Wide).countedWidth;
        } else if (w == kAddressLineRoom) {
            Break at{j, kAddressLineRoom};
            if (isClass(j, CharClass::Narrow) && isClass(j + 1, CharClass::Narrow)) {
                at = walkBack(j, lineStart, CharClass::Wide, CharClass::FullwidthForm,
                              traitsOf(CharClass::Narrow).countedWidth);
            } else if (isClass(j, CharClass::FullwidthForm) &&
                       isClass(j + 1, CharClass::FullwidthForm)) {
                at = walkBack(j, lineStart, CharClass::Wide, CharClass::Narrow,
                              traitsOf(CharClass::FullwidthForm).countedWidth);
            }
            ends[endCount++] = at.k + 1;
            lineStart = at.k + 1;
            w = kAddressLineRoom - at.m;
        }
    }
    if (w != 0) ends[endCount++] = n;

    int previous = 0;
    for (int line = 0; line < endCount; ++line) {
        layout.lineLengths[line] = ends[line] - previous;
        previous = ends[line];
    }
    layout.lineCount = endCount;
    return layout;
}

void TextRasteriser::inkStrip(const GlyphStrip& strip, int inkWidth,
                              std::span<std::uint8_t> plane, int planeStride, int x, int y) {
    if (planeStride <= 0) return;
    const std::int64_t stride = planeStride;
    const std::int64_t planeRows = static_cast<std::int64_t>(plane.size() / stride);
    const std::int64_t columns = std::min(inkWidth, strip.stripWidth());
    const std::int64_t uFrom = std::max<std::int64_t>(0, -std::int64_t{x});
    const std::int64_t uTo = std::min<std::int64_t>(columns, stride - x);
    if (uFrom >= uTo) return;
    const std::size_t n = static_cast<std::size_t>(uTo - uFrom);
    for (int r = 0; r < GlyphStrip::kRows; ++r) {
        const std::int64_t py = std::int64_t{y} + r;
        if (py < 0 || py >= planeRows) continue;
        const std::uint8_t* coverage = &strip.at(static_cast<int>(uFrom), r);
        std::uint8_t* target = plane.data() + static_cast<std::size_t>(py * stride + x + uFrom);
        // Branch-free, so that the compiler does it many columns at a time.
        for (std::size_t u = 0; u < n; ++u) {
            const std::uint8_t c = coverage[u];
            target[u] = c != 0 ? static_cast<std::uint8_t>(255 - c) : target[u];
        }
    }
}

}  // namespace cardface
