#include "cardface/TextRasteriser.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <ft2build.h>
#include FT_FREETYPE_H

namespace cardface {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr char kCjkFont[] = IVELCARD_TEST_CJK_FONT;
constexpr char kOtherFont[] = IVELCARD_TEST_OTHER_FONT;
constexpr int kRows = GlyphStrip::kRows;

Bytes readFile(const char* path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A glyph as FreeType renders it at a zero pen, loaded independently of the
// rasteriser: the reference for where the rasteriser must put it.
struct RefGlyph {
    int left = 0;
    int top = 0;
    int width = 0;
    int rows = 0;
    long advance = 0;  // 26.6
    Bytes coverage;
};

class Reference {
public:
    Reference() {
        FT_Init_FreeType(&library_);
        FT_New_Face(library_, kCjkFont, 0, &face_);
    }
    ~Reference() {
        FT_Done_Face(face_);
        FT_Done_FreeType(library_);
    }
    RefGlyph glyph(char16_t c, int pixels) {
        FT_Set_Pixel_Sizes(face_, static_cast<FT_UInt>(pixels), 0);
        EXPECT_EQ(FT_Load_Char(face_, c, FT_LOAD_RENDER | FT_LOAD_NO_BITMAP), 0);
        const FT_GlyphSlot s = face_->glyph;
        RefGlyph g{s->bitmap_left, s->bitmap_top, static_cast<int>(s->bitmap.width),
                   static_cast<int>(s->bitmap.rows), s->advance.x, {}};
        for (int v = 0; v < g.rows; ++v) {
            const unsigned char* row = s->bitmap.buffer + v * s->bitmap.pitch;
            g.coverage.insert(g.coverage.end(), row, row + g.width);
        }
        return g;
    }

private:
    FT_Library library_ = nullptr;
    FT_Face face_ = nullptr;
};

// ORs a reference glyph into an expected strip at pen column penX with the
// baseline on baselineRow, clipped to the strip.
void place(Bytes& strip, int stripWidth, const RefGlyph& g, int penX, int baselineRow) {
    for (int v = 0; v < g.rows; ++v) {
        for (int u = 0; u < g.width; ++u) {
            const int x = penX + g.left + u;
            const int y = baselineRow - g.top + v;
            if (x < 0 || x >= stripWidth || y < 0 || y >= kRows) continue;
            strip[static_cast<std::size_t>(y * stripWidth + x)] |= g.coverage[static_cast<std::size_t>(v * g.width + u)];
        }
    }
}

class TextRasteriserTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto opened = TextRasteriser::openFontFile(kCjkFont);
        ASSERT_EQ(opened.result, TextRasteriser::kFontOpened) << kCjkFont;
        font_ = std::move(opened.handle);
    }

    struct Drawn {
        Bytes strip;
        std::int32_t width;
    };
    Drawn draw(std::u16string_view text, int pixels, int stripWidth, int letterSpacing,
               int baselineRow) {
        EXPECT_TRUE(TextRasteriser::setPixelSize(font_, pixels));
        // Exactly the strip's bytes, so the sanitizer sees any write past it.
        Drawn d{Bytes(static_cast<std::size_t>(kRows * stripWidth), 0), 0};
        d.width = TextRasteriser::drawText(font_, text, GlyphStrip(d.strip, stripWidth),
                                           letterSpacing, baselineRow);
        return d;
    }

    FontHandle font_;
    Reference ref_;
};

// Glyphs sit at the font's own advances plus letterSpacing per position,
// spaces take no room beyond that, and the width returned is the right edge
// of the last glyph plus the spacing of the positions after it.
TEST_F(TextRasteriserTest, PlacesGlyphsAtAdvancesAndSpacing) {
    struct Case {
        std::u16string text;
        int pixels;
        int letterSpacing;
        int baselineRow;
    };
    const Case cases[] = {
        {u"2010.01.01", 12, 0, 12},
        {u"\u6C49\u5B57", 14, 12, 14},  // a two-character name
        {u"\u6C49\u5B57\u4E09", 14, 0, 14},
        {u"1 1", 12, 0, 12},
        {u"1 1", 12, 5, 12},
        {u"1  ", 12, 4, 12},             // trailing spaces still count their spacing
        {u"H", 14, 0, 3},                 // glyph top clipped
        {u"Hg", 14, 0, 18},               // glyph bottoms clipped
        {u"\u6C49\u5B57", 14, -20, 14},   // second glyph partly left of the strip
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "text of " << c.text.size() << " units, spacing "
                                          << c.letterSpacing << ", baseline " << c.baselineRow);
        const int stripWidth = 16 * static_cast<int>(c.text.size());
        Bytes expected(static_cast<std::size_t>(kRows * stripWidth), 0);
        long pen = 0;
        int lastEdge = 0;
        for (std::size_t i = 0; i < c.text.size(); ++i) {
            if (c.text[i] == u' ') continue;
            const RefGlyph g = ref_.glyph(c.text[i], c.pixels);
            ASSERT_EQ(pen % 64, 0) << "advances of the test texts are whole pixels";
            const int penX = static_cast<int>(pen / 64) + static_cast<int>(i) * c.letterSpacing;
            place(expected, stripWidth, g, penX, c.baselineRow);
            lastEdge = static_cast<int>(pen / 64) + g.left + g.width;
            pen += g.advance;
        }
        const Drawn d = draw(c.text, c.pixels, stripWidth, c.letterSpacing, c.baselineRow);
        EXPECT_EQ(d.strip, expected);
        EXPECT_EQ(d.width, (static_cast<int>(c.text.size()) - 1) * c.letterSpacing + lastEdge);
    }
}

TEST_F(TextRasteriserTest, BaselineRowIsTheRowUnderTheInk) {
    for (const int baseline : {12, 14}) {
        const Drawn d = draw(u"H", 14, 16, 0, baseline);
        int lowest = -1;
        for (int y = 0; y < kRows; ++y) {
            for (int x = 0; x < 16; ++x) {
                if (d.strip[static_cast<std::size_t>(y * 16 + x)] != 0) lowest = y;
            }
        }
        EXPECT_EQ(lowest, baseline - 1);
    }
}

TEST_F(TextRasteriserTest, NothingIsDrawnForEmptyOrBlankRunsOrAfterAnEndUnit) {
    EXPECT_EQ(draw(u"", 12, 48, 0, 12).strip, Bytes(48 * kRows, 0));
    EXPECT_EQ(draw(u"   ", 12, 48, 0, 12).strip, Bytes(48 * kRows, 0));
    const Drawn cut = draw(std::u16string(u"12\0" u"34", 5), 12, 80, 0, 12);
    const Drawn whole = draw(u"12", 12, 80, 0, 12);
    EXPECT_EQ(cut.strip, whole.strip);
    EXPECT_EQ(cut.width, whole.width);
}

// Overlapping glyphs combine by bitwise OR of their coverage.
TEST_F(TextRasteriserTest, OverlappingGlyphsCombineByBitwiseOr) {
    const RefGlyph one = ref_.glyph(u'1', 12);
    const RefGlyph zero = ref_.glyph(u'0', 12);
    const int back = -static_cast<int>(one.advance / 64);  // second glyph onto the first
    Bytes expected(32 * kRows, 0);
    place(expected, 32, one, 0, 12);
    place(expected, 32, zero, 0, 12);
    EXPECT_EQ(draw(u"10", 12, 32, back, 12).strip, expected);
    Bytes maxima(32 * kRows, 0);
    Bytes other(32 * kRows, 0);
    place(maxima, 32, one, 0, 12);
    place(other, 32, zero, 0, 12);
    std::transform(maxima.begin(), maxima.end(), other.begin(), maxima.begin(),
                   [](auto a, auto b) { return std::max(a, b); });
    ASSERT_NE(maxima, expected) << "the glyphs must overlap with partial coverage";
}

// A glyph that only exists as a 1-bit bitmap (a bitmap font) still yields
// 8-bit coverage and follows the pen.
TEST(TextRasteriserBitmapFont, OneBitGlyphsBecomeFullCoverage) {
    const std::string bdf =
        "STARTFONT 2.1\nFONT -test-bits-medium-r-normal--8-80-75-75-c-80-iso10646-1\n"
        "SIZE 8 75 75\nFONTBOUNDINGBOX 8 8 0 -1\nSTARTPROPERTIES 4\nFONT_ASCENT 7\n"
        "FONT_DESCENT 1\nCHARSET_REGISTRY \"ISO10646\"\nCHARSET_ENCODING \"1\"\nENDPROPERTIES\n"
        "CHARS 1\nSTARTCHAR A\nENCODING 65\nSWIDTH 1000 0\nDWIDTH 8 0\nBBX 4 3 1 0\nBITMAP\n"
        "90\nF0\n60\nENDCHAR\nENDFONT\n";
    const Bytes bytes(bdf.begin(), bdf.end());
    auto opened = TextRasteriser::openFontMemory(bytes);
    ASSERT_EQ(opened.result, TextRasteriser::kFontOpened);
    ASSERT_TRUE(TextRasteriser::setPixelSize(opened.handle, 8));
    Bytes strip(24 * kRows, 0);
    const std::int32_t width =
        TextRasteriser::drawText(opened.handle, u"A A", GlyphStrip(strip, 24), 2, 12);
    Bytes expected(24 * kRows, 0);
    const char* pattern[3] = {"1001", "1111", "0110"};
    for (const int penX : {1, 8 + 2 * 2 + 1}) {
        for (int v = 0; v < 3; ++v) {
            for (int u = 0; u < 4; ++u) {
                if (pattern[v][u] == '1') expected[static_cast<std::size_t>((9 + v) * 24 + penX + u)] = 255;
            }
        }
    }
    EXPECT_EQ(strip, expected);
    EXPECT_EQ(width, 2 * 2 + 8 + 1 + 4);
}

// Offsets of an address line: 5 pixels more at each fullwidth form, 1 more
// at a wide character right after one; spaces change nothing.
TEST_F(TextRasteriserTest, AddressLineOffsets) {
    using C = CharClass;
    struct Case {
        std::u16string text;  // drawing characters
        std::vector<CharClass> classes;
        std::vector<int> offsets;  // per drawn character
    };
    const Case cases[] = {
        {u"1\u6C49", {C::FullwidthForm, C::Wide}, {5, 6}},
        {u"12\u6C49 \u6C49", {C::FullwidthForm, C::FullwidthForm, C::Wide, C::Space, C::Wide},
         {5, 10, 11, 0, 11}},
        {u"1 \u6C49", {C::FullwidthForm, C::Space, C::Wide}, {5, 0, 5}},
        {u"\u6C49a1", {C::Wide, C::Narrow, C::FullwidthForm}, {0, 0, 5}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.offsets.back());
        const int stripWidth = 16 * static_cast<int>(c.text.size());
        Bytes expected(static_cast<std::size_t>(kRows * stripWidth), 0);
        long pen = 0;
        int lastEdge = 0;
        for (std::size_t i = 0; i < c.text.size(); ++i) {
            if (c.text[i] == u' ') continue;
            const RefGlyph g = ref_.glyph(c.text[i], 12);
            const int penX = static_cast<int>(pen / 64) + c.offsets[i];
            place(expected, stripWidth, g, penX, 12);
            lastEdge = penX + g.left + g.width;
            pen += g.advance;
        }
        ASSERT_TRUE(TextRasteriser::setPixelSize(font_, 12));
        Bytes strip(expected.size(), 0);
        const std::int32_t width = TextRasteriser::drawAddressLine(
            font_, c.text, c.classes, GlyphStrip(strip, stripWidth), 12);
        EXPECT_EQ(strip, expected);
        EXPECT_EQ(width, lastEdge);
    }
}

TEST(TextRasteriserInk, WritesInverseCoverageAndKeepsUninkedPixels) {
    Bytes cells(4 * kRows, 0);
    GlyphStrip strip(cells, 4);
    strip.at(0, 0) = 255;
    strip.at(1, 0) = 1;
    strip.at(3, 15) = 128;
    Bytes plane(10 * 20, 77);
    TextRasteriser::inkStrip(strip, 4, plane, 10, 2, 3);
    Bytes expected(10 * 20, 77);
    expected[3 * 10 + 2] = 0;
    expected[3 * 10 + 3] = 254;
    expected[18 * 10 + 5] = 127;
    EXPECT_EQ(plane, expected);
}

// Inking stays within the strip's width and the plane's rows, whatever ink
// width it is asked for.
TEST(TextRasteriserInk, StaysWithinTheStripAndThePlane) {
    Bytes cells(4 * kRows, 200);  // every cell inked
    const GlyphStrip strip(cells, 4);
    struct Case {
        int inkWidth;
        int x;
        int y;
        int firstColumn;
        int lastColumn;  // inclusive; -1 when nothing is inked
        int firstRow;
        int lastRow;
    };
    const Case cases[] = {
        {4, 0, 0, 0, 3, 0, 15},
        {1000, 0, 0, 0, 3, 0, 15},   // not past the strip
        {4, 8, 0, 8, 9, 0, 15},      // not past the row's end into the next row
        {4, -2, 0, 0, 1, 0, 15},
        {4, 0, -10, 0, 3, 0, 5},
        {4, 0, 15, 0, 3, 15, 19},    // not past the plane's last row
        {0, 0, 0, 0, -1, 0, 0},
        {-5, 0, 0, 0, -1, 0, 0},
        {4, 10, 0, 0, -1, 0, 0},
        {4, 0, 20, 0, -1, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.inkWidth << " at " << c.x << "," << c.y);
        // 10 x 20 plane, exactly sized.
        Bytes plane(10 * 20, 9);
        TextRasteriser::inkStrip(strip, c.inkWidth, plane, 10, c.x, c.y);
        for (int y = 0; y < 20; ++y) {
            for (int x = 0; x < 10; ++x) {
                const bool inked = c.lastColumn >= 0 && x >= c.firstColumn && x <= c.lastColumn &&
                                   y >= c.firstRow && y <= c.lastRow;
                ASSERT_EQ(plane[static_cast<std::size_t>(y * 10 + x)], inked ? 55 : 9) << x << "," << y;
            }
        }
    }
}

// The error FreeType itself gives for opening these bytes as a face.
int freeTypeOpenError(const Bytes* bytes, const char* path) {
    FT_Library library = nullptr;
    FT_Init_FreeType(&library);
    FT_Face face = nullptr;
    const FT_Error e = bytes != nullptr
                           ? FT_New_Memory_Face(library, bytes->data(), static_cast<FT_Long>(bytes->size()), 0, &face)
                           : FT_New_Face(library, path, 0, &face);
    FT_Done_FreeType(library);
    return e;
}

TEST(TextRasteriserFonts, OpeningFailuresPrintTheirMessages) {
    const char* missingPath = "/nonexistent/SIMHEI.TTF";
    ::testing::internal::CaptureStdout();
    auto missing = TextRasteriser::openFontFile(missingPath);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "load ttf library error=" + std::to_string(freeTypeOpenError(nullptr, missingPath)) + " \n");
    EXPECT_NE(freeTypeOpenError(nullptr, missingPath), 0);
    EXPECT_EQ(missing.result, TextRasteriser::kFaceFailed);
    EXPECT_FALSE(missing.handle.isOpen());

    const Bytes junk(64, 0x5A);
    ::testing::internal::CaptureStdout();
    auto bad = TextRasteriser::openFontMemory(junk);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "load memory ttf library error=" + std::to_string(freeTypeOpenError(&junk, nullptr)) + " \n");
    EXPECT_NE(freeTypeOpenError(&junk, nullptr), 0);
    EXPECT_EQ(bad.result, TextRasteriser::kFaceFailed);
    EXPECT_FALSE(bad.handle.isOpen());
    EXPECT_FALSE(TextRasteriser::setPixelSize(bad.handle, 12));
    Bytes strip(16 * kRows, 0);
    EXPECT_EQ(TextRasteriser::drawText(bad.handle, u"1", GlyphStrip(strip, 16), 0, 12), 0);
}

TEST(TextRasteriserFonts, OpensAFontHeldInMemoryAndCloses) {
    const Bytes bytes = readFile(kOtherFont);
    ASSERT_FALSE(bytes.empty()) << kOtherFont;
    ::testing::internal::CaptureStdout();
    auto opened = TextRasteriser::openFontMemory(bytes);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    ASSERT_EQ(opened.result, TextRasteriser::kFontOpened);
    ASSERT_TRUE(TextRasteriser::setPixelSize(opened.handle, 16));
    Bytes strip(32 * kRows, 0);
    const std::int32_t width =
        TextRasteriser::drawText(opened.handle, u"8", GlyphStrip(strip, 32), 0, 12);
    EXPECT_GT(width, 0);
    EXPECT_TRUE(std::any_of(strip.begin(), strip.end(), [](auto b) { return b != 0; }));
    TextRasteriser::closeFont(opened.handle);
    EXPECT_FALSE(opened.handle.isOpen());
    TextRasteriser::closeFont(opened.handle);  // closing twice is harmless
}

}  // namespace
}  // namespace cardface

namespace cardface {
namespace {

// A face that keeps its rendered glyphs draws, over and over, exactly what
// a face rendering every glyph afresh draws: the same strips and the same
// widths, at every size and spacing, also for runs that load nothing (whose
// width comes from the glyph loaded before) and after forgetLastGlyph.
TEST(TextRasteriserGlyphCache, DrawsExactlyWhatFreshRenderingDraws) {
    struct Pair {
        FontHandle fresh;
        FontHandle kept;
    };
    std::vector<Pair> pairs;
    for (const char* path : {kCjkFont, kOtherFont}) {
        auto fresh = TextRasteriser::openFontFile(path);
        auto kept = TextRasteriser::openFontFile(path);
        ASSERT_EQ(fresh.result, TextRasteriser::kFontOpened) << path;
        ASSERT_EQ(kept.result, TextRasteriser::kFontOpened) << path;
        TextRasteriser::keepRenderedGlyphs(kept.handle);
        pairs.push_back({std::move(fresh.handle), std::move(kept.handle)});
    }
    const std::u16string texts[] = {
        u"赵明远", u"北京市海淀区枫林路18号院3号楼2单元603室", u"2018.06.15-2038.06.15", u"2010.01.01-长期",
        u"ABC xyz 0123456789X", u"未说明", u"  ", std::u16string(u"A\0B", 3), u"\u0001\uFFFF\uE000",
        u"A\u3000B\u00A0\u3000",
    };
    constexpr int kWidth = 320;
    int compared = 0;
    for (int round = 0; round < 3; ++round) {
        for (Pair& pair : pairs) {
            for (const int pixels : {9, 12, 14, 16, 23}) {
                ASSERT_TRUE(TextRasteriser::setPixelSize(pair.fresh, pixels));
                ASSERT_TRUE(TextRasteriser::setPixelSize(pair.kept, pixels));
                for (const std::u16string& text : texts) {
                    for (const int spacing : {0, 12}) {
                        for (const int baseline : {12, 14}) {
                            Bytes a(kRows * kWidth, 0);
                            Bytes b(kRows * kWidth, 0);
                            const std::int32_t wa =
                                TextRasteriser::drawText(pair.fresh, text, GlyphStrip(a, kWidth), spacing, baseline);
                            const std::int32_t wb =
                                TextRasteriser::drawText(pair.kept, text, GlyphStrip(b, kWidth), spacing, baseline);
                            ASSERT_EQ(wa, wb) << round << " " << pixels << " " << spacing << " text " << (&text - texts);
                            ASSERT_EQ(a, b) << round << ' ' << pixels << ' ' << spacing;
                            ++compared;
                        }
                    }
                }
            }
            // As if newly opened: a blank run measures from nothing.
            TextRasteriser::forgetLastGlyph(pair.kept);
            Bytes strip(kRows * kWidth, 0);
            EXPECT_EQ(TextRasteriser::drawText(pair.kept, u"   ", GlyphStrip(strip, kWidth), 12, 12), 24);
            TextRasteriser::closeFont(pair.fresh);
            auto reopened = TextRasteriser::openFontFile(&pair == &pairs[0] ? kCjkFont : kOtherFont);
            pair.fresh = std::move(reopened.handle);
        }
    }
    EXPECT_EQ(compared, 3 * 2 * 5 * 10 * 2 * 2);
}

}  // namespace
}  // namespace cardface
