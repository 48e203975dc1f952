// What the composer's layout relies on in the data it carries: where the
// templates' captions are inked, and which glyphs the OCR-B font holds at
// the indices the card number is drawn with.
#include "cardface/CardFaceResources.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <string>

#include <ft2build.h>
#include FT_FREETYPE_H

namespace cardface {
namespace {

struct Box {
    int x0, x1, y0, y1;
};

// The ink (luminance below 150) within `margin` pixels around `around`.
Box inkBox(std::span<const std::uint8_t, FaceCanvas::kSize> face, Box around, int margin = 4) {
    Box box{FaceCanvas::kWidth, -1, FaceCanvas::kHeight, -1};
    for (int y = around.y0 - margin; y <= around.y1 + margin; ++y) {
        for (int x = around.x0 - margin; x <= around.x1 + margin; ++x) {
            if (face[static_cast<std::size_t>(y * FaceCanvas::kWidth + x)] >= 150) continue;
            box = {std::min(box.x0, x), std::max(box.x1, x), std::min(box.y0, y),
                   std::max(box.y1, y)};
        }
    }
    return box;
}

TEST(CardFaceTemplates, CaptionsAreInkedWhereTheFieldsExpectThem) {
    const struct {
        const char* caption;
        bool back;
        Box box;
    } captions[] = {
        {"姓名", false, {29, 54, 34, 42}},    {"性别", false, {29, 54, 59, 68}},
        {"民族", false, {105, 131, 60, 68}},  {"出生", false, {29, 54, 86, 94}},
        {"年", false, {105, 113, 86, 94}},    {"月", false, {138, 144, 86, 94}},
        {"日", false, {170, 176, 86, 94}},    {"住址", false, {29, 54, 113, 121}},
        {"公民身份号码", false, {29, 101, 179, 189}},
        {"签发机关", true, {84, 130, 155, 165}}, {"有效期限", true, {84, 129, 182, 191}},
    };
    for (const auto& c : captions) {
        SCOPED_TRACE(c.caption);
        const Box ink = inkBox(c.back ? backTemplate() : frontTemplate(), c.box);
        EXPECT_NEAR(ink.x0, c.box.x0, 1);
        EXPECT_NEAR(ink.x1, c.box.x1, 1);
        EXPECT_NEAR(ink.y0, c.box.y0, 1);
        EXPECT_NEAR(ink.y1, c.box.y1, 1);
    }
}

TEST(CardFaceTemplates, CornersAreWhite) {
    for (const auto face : {frontTemplate(), backTemplate(), permitFrontTemplate(), permitBackTemplate(),
                            foreignFrontTemplate(), foreignBackTemplate()}) {
        for (const std::size_t at : {0, 339, 213 * 340, 213 * 340 + 339}) {
            EXPECT_EQ(face[at], 255) << at;
        }
        // Chroma of the four corner blocks: neutral.
        for (const std::size_t at : {0, 169, 106 * 170, 106 * 170 + 169}) {
            EXPECT_EQ(face[FaceCanvas::kLumaSize + at], 128) << at;
            EXPECT_EQ(face[FaceCanvas::kLumaSize + FaceCanvas::kChromaSize + at], 128) << at;
        }
    }
}

TEST(EmbeddedOcrbFont, GlyphIndicesOfTheCardNumberAndMonospace) {
    const auto font = embeddedOcrbFont();
    ASSERT_GE(font.size(), 2u);
    EXPECT_EQ(font[font.size() - 1], 0);
    EXPECT_EQ(font[font.size() - 2], 0);

    FT_Library library = nullptr;
    FT_Face face = nullptr;
    ASSERT_EQ(FT_Init_FreeType(&library), 0);
    ASSERT_EQ(FT_New_Memory_Face(library, font.data(), static_cast<FT_Long>(font.size()), 0,
                                 &face),
              0);
    // No Unicode map: FreeType takes character codes as glyph indices.
    EXPECT_EQ(face->charmap, nullptr);
    for (int i = 0; i < face->num_charmaps; ++i) {
        EXPECT_NE(face->charmaps[i]->encoding, FT_ENCODING_UNICODE);
    }
    EXPECT_TRUE(FT_IS_SFNT(face) && !FT_HAS_COLOR(face));
    EXPECT_TRUE(FT_IS_FIXED_WIDTH(face));
    EXPECT_EQ(face->units_per_EM, 2048);

    const struct {
        FT_UInt index;
        const char* name;
    } glyphs[] = {{3, "space"}, {19, "zero"}, {20, "one"},   {21, "two"},  {22, "three"},
                  {23, "four"}, {24, "five"}, {25, "six"},   {26, "seven"}, {27, "eight"},
                  {28, "nine"}, {59, "X"}};
    for (const auto& g : glyphs) {
        std::array<char, 32> name{};
        ASSERT_EQ(FT_Get_Glyph_Name(face, g.index, name.data(), name.size()), 0);
        EXPECT_STREQ(name.data(), g.name) << g.index;
        // A TrueType outline (the space has none).
        ASSERT_EQ(FT_Load_Glyph(face, g.index, FT_LOAD_NO_SCALE), 0);
        EXPECT_EQ(face->glyph->format, FT_GLYPH_FORMAT_OUTLINE);
        EXPECT_EQ(face->glyph->outline.n_contours > 0, g.index != 3) << g.index;
    }
    for (FT_Long i = 0; i < face->num_glyphs; ++i) {
        ASSERT_EQ(FT_Load_Glyph(face, static_cast<FT_UInt>(i), FT_LOAD_NO_SCALE), 0);
        EXPECT_EQ(face->glyph->advance.x, 1233) << i;
    }
    FT_Done_Face(face);
    FT_Done_FreeType(library);
}

}  // namespace
}  // namespace cardface
