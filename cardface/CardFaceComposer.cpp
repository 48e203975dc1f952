#include "cardface/CardFaceComposer.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <tuple>
#include <vector>

#include "cardface/CardFaceResources.h"
#include "cardface/ColourConverter.h"
#include "cardface/JpegMemoryEncoder.h"
#include "cardface/PortraitText.h"
#include "cardface/TextRasteriser.h"
#include "carddata/CardType.h"
#include "platform/DataDirectory.h"
#include "platform/System.h"

namespace cardface {
namespace {

// ------------------------------------------------------------------ text block

using TextUnits = std::array<char16_t, CardFaceComposer::kTextBlockSize / 2>;

// Where each field lies in the text block, in units.
struct UnitRange {
    std::size_t first;
    std::size_t count;
};
constexpr UnitRange kNameUnits{0, 15};
constexpr std::size_t kGenderUnit = 15;
constexpr std::size_t kNationUnit = 16;  // and 17
constexpr UnitRange kYearUnits{18, 4};
constexpr UnitRange kMonthUnits{22, 2};
constexpr UnitRange kDayUnits{24, 2};
constexpr UnitRange kAddressUnits{26, AddressLayout::kLength};
constexpr UnitRange kNumberUnits{61, 18};
constexpr UnitRange kAuthorityUnits{79, 15};
constexpr UnitRange kValidityUnits{94, 34};  // start, end and the block's last 18 units

constexpr char16_t kSpace = u' ';
constexpr char16_t kDigitZero = u'0';
constexpr char16_t kDigitNine = u'9';

TextUnits readUnits(std::span<const std::uint8_t, CardFaceComposer::kTextBlockSize> block) {
    TextUnits units{};
    for (std::size_t i = 0; i < units.size(); ++i) {
        units[i] = static_cast<char16_t>(block[2 * i] | (block[2 * i + 1] << 8));
    }
    return units;
}

std::u16string_view view(const TextUnits& units, UnitRange range) {
    return {units.data() + range.first, range.count};
}

bool isDigit(char16_t unit) { return unit >= kDigitZero && unit <= kDigitNine; }

// ------------------------------------------------------------------ tables

struct GenderText {
    char16_t code;
    std::u16string_view text;
};
constexpr GenderText kGenderTexts[] = {
    {u'0', u"未知 "}, {u'1', u"男  "}, {u'2', u"女  "}, {u'9', u"未说明"}};
constexpr std::u16string_view kNoGender = u"   ";

// Nation names by code - 1 (codes 1 to 56), four units each; every other
// code draws the blank entry.
constexpr std::u16string_view kNationTexts[] = {
    u"汉   ", u"蒙古  ", u"回   ", u"藏   ", u"维吾尔 ", u"苗   ", u"彝   ", u"壮   ",
    u"布依  ", u"朝鲜  ", u"满   ", u"侗   ", u"瑶   ", u"白   ", u"土家  ", u"哈尼  ",
    u"哈萨克 ", u"傣   ", u"黎   ", u"傈僳  ", u"佤   ", u"畲   ", u"高山  ", u"拉祜  ",
    u"水   ", u"东乡  ", u"纳西  ", u"景颇  ", u"柯尔克孜", u"土   ", u"达斡尔 ", u"仫佬  ",
    u"羌   ", u"布朗  ", u"撒拉  ", u"毛南  ", u"仡佬  ", u"锡伯  ", u"阿昌  ", u"普米  ",
    u"塔吉克 ", u"怒   ", u"乌孜别克", u"俄罗斯 ", u"鄂温克 ", u"德昂  ", u"保安  ", u"裕固  ",
    u"京   ", u"塔塔尔 ", u"独龙  ", u"鄂伦春 ", u"赫哲  ", u"门巴  ", u"珞巴  ", u"基诺  ",
};
constexpr std::u16string_view kNoNation = u"    ";
constexpr std::size_t kNationTextLength = 4;
static_assert(std::size(kNationTexts) == 56);
static_assert(std::ranges::all_of(kNationTexts, [](std::u16string_view t) {
    return t.size() == kNationTextLength;
}));

// The validity period gets marks inserted after the copied unit at a
// position; the last two only while no unit from U+4E00 up (a Chinese text
// such as 长期 in the end field) has been copied.
struct ValidityMark {
    std::size_t after;
    char16_t mark;
    bool onlyBeforeWideText;
};
constexpr ValidityMark kValidityMarks[] = {
    {3, u'.', false}, {5, u'.', false}, {7, u'-', false}, {11, u'.', true}, {13, u'.', true}};
constexpr char16_t kFirstWideText = 0x4E00;
constexpr std::size_t kValidityTextLength = 39;

// The card number's units become glyph indices of the OCR-B font: minus 29
// puts the space on glyph 3, the digits on 19 to 28, X on 59.
constexpr char16_t kOcrbGlyphOffset = 29;

// ------------------------------------------------------------------ layout

constexpr int kNameSize = 14;
constexpr int kTextSize = 12;
constexpr int kNumberSize = 16;
constexpr int kShortNameSpacing = 12;  // added between the characters of a short name
constexpr std::size_t kShortNameLimit = 3;

// A strip: its width, where its top-left lands on the face, its baseline.
struct StripPlace {
    int width;
    int x;
    int y;
    int baselineRow;
};
constexpr StripPlace kNamePlace{240, 67, 28, 14};
constexpr StripPlace kGenderPlace{48, 67, 57, 12};
constexpr StripPlace kNationPlace{64, 137, 57, 12};
constexpr StripPlace kYearPlace{64, 67, 83, 12};
constexpr StripPlace kMonthPlace{32, 120, 83, 12};
constexpr StripPlace kDayPlace{32, 152, 83, 12};
constexpr StripPlace kNumberPlace{288, 116, 178, 12};
constexpr StripPlace kAuthorityPlace{240, 144, 154, 12};
constexpr StripPlace kValidityPlace{624, 144, 179, 12};
// A month or day drawn from its second digit alone moves right.
constexpr int kShiftedColumns = 3;

constexpr int kAddressX = 67;
constexpr int kAddressY = 110;
constexpr int kAddressBaseline = 12;
constexpr int kCellWidth = 16;  // address strips: 16 pixels per character

constexpr int kPortraitX = 213;
constexpr int kPortraitY = 31;
constexpr int kPortraitKey = 240;  // portrait luminance from here up is background
constexpr std::size_t kPortraitLuma = std::size_t{kPortraitWidth} * kPortraitHeight;
constexpr int kPortraitChromaWidth = kPortraitWidth / 2;
constexpr int kPortraitChromaHeight = kPortraitHeight / 2;
constexpr std::size_t kPortraitChroma =
    std::size_t{kPortraitChromaWidth} * kPortraitChromaHeight;
constexpr std::size_t kPortraitYuvSize = kPortraitLuma + 2 * kPortraitChroma;
static_assert(kPortraitYuvSize == 19278);

// ------------------------------------------------------------------ card types

// How a field of another card type's faces becomes the text drawn.
enum class FaceText {
    Units,     // the units as they are (a space takes no room)
    Name,      // spaces removed; a short name gets the resident name's gap
    Words,     // words a gap apart
    Gender,    // the gender table
    Date,      // YYYYMMDD as YYYY.MM.DD
    Validity,  // start and end dates drawn as the resident validity period
    Number,    // the OCR-B font's glyphs
};
struct FaceField {
    bool back;  // else the front
    UnitRange units;
    FaceText text;
    int pixels;
    StripPlace place;
};
constexpr int kEnglishNameSize = 11;
constexpr int kWordGap = 4;  // between the words of an English name

// A residence permit for Hong Kong, Macao and Taiwan residents: its front
// is the resident front without the nation; its back, below.
constexpr FaceField kPermitFields[] = {
    {true, {79, 15}, FaceText::Units, kTextSize, {240, 144, 137, 12}},         // authority
    {true, {94, 16}, FaceText::Validity, kTextSize, {624, 144, 155, 12}},      // validity
    {true, {110, 9}, FaceText::Units, kTextSize, {240, 144, 173, 12}},         // travel permit
    {true, {119, 2}, FaceText::Units, kTextSize, {64, 144, 191, 12}},          // issues
};
// A foreign permanent resident card.
constexpr FaceField kForeignFields[] = {
    {false, {79, 15}, FaceText::Name, kNameSize, {240, 76, 28, 14}},           // Chinese name
    {false, {0, 60}, FaceText::Words, kEnglishNameSize, {624, 76, 55, 12}},    // English name
    {false, {60, 1}, FaceText::Gender, kTextSize, {48, 76, 80, 12}},
    {false, {76, 3}, FaceText::Units, kTextSize, {64, 156, 80, 12}},           // nationality
    {false, {110, 8}, FaceText::Date, kTextSize, {240, 76, 105, 12}},          // birth date
    {false, {61, 15}, FaceText::Number, kNumberSize, {288, 88, 178, 12}},
    {true, {94, 16}, FaceText::Validity, kTextSize, {624, 144, 154, 12}},      // validity
    {true, {120, 4}, FaceText::Units, kTextSize, {64, 144, 179, 12}},          // authority code
};
// Every field above is drawn in turn into one scratch strip this wide.
constexpr int kScratchWidth = 624;
constexpr std::size_t kDateLength = 8;

// Each field lies in the block, fits the scratch strip and the text made
// from it.
constexpr bool fieldsFit(std::span<const FaceField> fields) {
    return std::ranges::all_of(fields, [](const FaceField& f) {
        return f.units.first + f.units.count <= std::tuple_size_v<TextUnits> &&
               f.place.width <= kScratchWidth &&
               (f.text != FaceText::Number || f.units.count <= kNumberUnits.count) &&
               (f.text != FaceText::Name || f.units.count <= kNameUnits.count) &&
               (f.text != FaceText::Date || f.units.count == kDateLength) &&
               (f.text != FaceText::Validity || f.units.count <= kValidityUnits.count);
    });
}
static_assert(fieldsFit(kPermitFields) && fieldsFit(kForeignFields));

using Template = std::span<const std::uint8_t, FaceCanvas::kSize> (*)();

// The faces of each card type that has them: templates, whether the
// resident front's fields are drawn (and with the nation), whether the
// resident back's are, and the fields of the type's own.
struct CardFaces {
    carddata::CardType type;
    Template front;
    Template back;
    bool residentFront;
    bool nation;
    bool residentBack;
    std::span<const FaceField> fields;
};
constexpr CardFaces kCardFaces[] = {
    {carddata::CardType::Resident, frontTemplate, backTemplate, true, true, true, {}},
    {carddata::CardType::HongKongMacaoTaiwanResident, permitFrontTemplate, permitBackTemplate, true,
     false, false, kPermitFields},
    {carddata::CardType::ForeignPermanentResident, foreignFrontTemplate, foreignBackTemplate, false,
     false, false, kForeignFields},
};

// A face goes to the compressor a batch of red-green-blue rows at a time.
constexpr std::size_t kFaceRowBytes = std::size_t{FaceCanvas::kWidth} * 3;

constexpr char kFontsFolder[] = "Fonts";
constexpr char kSystemFontFile[] = "SIMHEI.TTF";

// ------------------------------------------------------------------ buffers

template <int Width>
using StripCells = std::array<std::uint8_t, std::size_t{GlyphStrip::kRows} * Width>;

// Every strip one composition draws into, zero-filled, and the portrait in
// YUV 4:2:0 beside them: one work area.
struct FieldStrips {
    StripCells<kNamePlace.width> name;
    StripCells<kGenderPlace.width> gender;
    StripCells<kNationPlace.width> nation;
    StripCells<kYearPlace.width> year;
    StripCells<kMonthPlace.width> month;
    StripCells<kDayPlace.width> day;
    StripCells<kCellWidth * AddressLayout::kLength> address;
    StripCells<kNumberPlace.width> number;
    StripCells<kAuthorityPlace.width> authority;
    StripCells<kValidityPlace.width> validity;
    std::array<std::uint8_t, kPortraitYuvSize> portrait;
    // The other card types' fields, one at a time.
    StripCells<kScratchWidth> scratch;
};

// A drawn strip and where it goes: its first `columns` columns are inked.
struct Ink {
    GlyphStrip strip;
    int columns = 0;
    int x = 0;
    int y = 0;
};

constexpr int kFrontInks = 6 + AddressLayout::kMaxLines + 1;
constexpr int kBackInks = 2;

// ------------------------------------------------------------------ drawing

std::optional<std::string> systemFontPath() {
    const std::optional<std::string> windows = platform::windowsDirectory();
    if (!windows) return std::nullopt;
    std::string path = *windows;
    path += platform::kPathSeparator;
    path += kFontsFolder;
    path += platform::kPathSeparator;
    path += kSystemFontFile;
    if (path.size() >= CardFaceComposer::kFontPathCapacity) return std::nullopt;
    return path;
}

template <std::size_t N>
Ink drawInto(std::array<std::uint8_t, N>& cells, const StripPlace& place,
             const FontHandle& font, std::u16string_view text, int letterSpacing = 0) {
    Ink ink{GlyphStrip(cells, place.width), 0, place.x, place.y};
    ink.columns = TextRasteriser::drawText(font, text, ink.strip, letterSpacing, place.baselineRow);
    return ink;
}

// A name: its units but the spaces; a short one gets a gap between its
// characters.
template <std::size_t N>
Ink drawName(std::array<std::uint8_t, N>& cells, const StripPlace& place, const FontHandle& font,
             const TextUnits& units, UnitRange range) {
    std::array<char16_t, kNameUnits.count> kept{};
    std::size_t n = 0;
    for (char16_t unit : view(units, range)) {
        if (unit != kSpace && n < kept.size()) kept[n++] = unit;
    }
    const int spacing = n < kShortNameLimit ? kShortNameSpacing : 0;
    return drawInto(cells, place, font, {kept.data(), n}, spacing);
}

std::u16string_view genderText(char16_t code) {
    for (const GenderText& entry : kGenderTexts) {
        if (entry.code == code) return entry.text;
    }
    return kNoGender;
}

// Codes 01 to 56 draw their name; 00, codes above 56 and units that are not
// two decimal digits draw nothing.
std::u16string_view nationText(char16_t tens, char16_t ones) {
    if (!isDigit(tens) || !isDigit(ones)) return kNoNation;
    const int index = (tens - kDigitZero) * 10 + (ones - kDigitZero) - 1;
    if (index < 0 || index >= static_cast<int>(std::size(kNationTexts))) return kNoNation;
    return kNationTexts[index];
}

// A month or day whose first digit is 0 is drawn from its second digit
// alone, further right.
template <std::size_t N>
Ink drawMonthOrDay(std::array<std::uint8_t, N>& cells, const StripPlace& place,
                   const FontHandle& font, const TextUnits& units, UnitRange range) {
    std::array<char16_t, 2> digits{units[range.first], units[range.first + 1]};
    StripPlace at = place;
    if (digits[0] == kDigitZero) {
        digits[0] = kSpace;
        at.x += kShiftedColumns;
    }
    return drawInto(cells, at, font, {digits.data(), digits.size()});
}

// The validity period from the copied units (the resident card copies the
// block's last 34 units, the other card types their two dates).
std::array<char16_t, kValidityTextLength> validityText(const TextUnits& units, UnitRange range) {
    std::array<char16_t, kValidityTextLength> text;
    text.fill(kSpace);
    std::size_t out = 0;
    bool wideTextSeen = false;
    const std::u16string_view copied = view(units, range);
    for (std::size_t p = 0; p < copied.size(); ++p) {
        text[out++] = copied[p];
        wideTextSeen = wideTextSeen || copied[p] >= kFirstWideText;
        for (const ValidityMark& mark : kValidityMarks) {
            if (mark.after == p && !(mark.onlyBeforeWideText && wideTextSeen)) {
                text[out++] = mark.mark;
            }
        }
    }
    return text;
}

// Draws the address lines back to back into the address cells.
int drawAddress(FieldStrips& strips, const FontHandle& font, const TextUnits& units,
                std::span<Ink> inks) {
    const std::u16string_view address = view(units, kAddressUnits);
    const AddressLayout layout = TextRasteriser::layoutAddress(
        std::span<const char16_t, AddressLayout::kLength>(address.data(), address.size()));
    std::span<std::uint8_t> unused(strips.address);
    int count = 0;
    for (int k = 0; k < layout.lineCount && k < AddressLayout::kMaxLines; ++k) {
        const std::size_t start = static_cast<std::size_t>(layout.lineStart(k));
        const std::size_t length = static_cast<std::size_t>(layout.lineLengths[k]);
        const int width = kCellWidth * static_cast<int>(length);
        const std::size_t cells = std::size_t{GlyphStrip::kRows} * static_cast<std::size_t>(width);
        if (length == 0 || cells > unused.size()) break;
        Ink& ink = inks[static_cast<std::size_t>(count++)];
        ink = {GlyphStrip(unused.first(cells), width), width, kAddressX,
               kAddressY + GlyphStrip::kRows * k};
        TextRasteriser::drawAddressLine(
            font, std::u16string_view(layout.characters.data() + start, length),
            std::span<const CharClass>(layout.classes).subspan(start, length), ink.strip,
            kAddressBaseline);
        unused = unused.subspan(cells);
    }
    return count;
}

// A card number's units as glyph indices of the OCR-B font.
std::array<char16_t, kNumberUnits.count> ocrbGlyphs(const TextUnits& units, UnitRange range) {
    std::array<char16_t, kNumberUnits.count> glyphs{};
    std::ranges::transform(view(units, range), glyphs.begin(), [](char16_t unit) {
        return static_cast<char16_t>(unit - kOcrbGlyphOffset);
    });
    return glyphs;
}

// Front inks in their order: name, gender, nation (unless left out), year,
// month, day, the address lines, card number. Returns how many there are.
int drawFront(FieldStrips& strips, const FontHandle& system, const FontHandle& ocrb,
              const TextUnits& units, std::array<Ink, kFrontInks>& inks, bool withNation) {
    int n = 0;
    TextRasteriser::setPixelSize(system, kNameSize);
    inks[n++] = drawName(strips.name, kNamePlace, system, units, kNameUnits);
    TextRasteriser::setPixelSize(system, kTextSize);
    inks[n++] = drawInto(strips.gender, kGenderPlace, system, genderText(units[kGenderUnit]));
    if (withNation) {
        inks[n++] = drawInto(strips.nation, kNationPlace, system,
                             nationText(units[kNationUnit], units[kNationUnit + 1]));
    }
    inks[n++] = drawInto(strips.year, kYearPlace, system, view(units, kYearUnits));
    inks[n++] = drawMonthOrDay(strips.month, kMonthPlace, system, units, kMonthUnits);
    inks[n++] = drawMonthOrDay(strips.day, kDayPlace, system, units, kDayUnits);
    n += drawAddress(strips, system, units, std::span(inks).subspan(static_cast<std::size_t>(n)));

    const auto glyphs = ocrbGlyphs(units, kNumberUnits);
    TextRasteriser::setPixelSize(ocrb, kNumberSize);
    inks[n++] = drawInto(strips.number, kNumberPlace, ocrb, {glyphs.data(), kNumberUnits.count});
    return n;
}

void drawBack(FieldStrips& strips, const FontHandle& system, const TextUnits& units,
              std::array<Ink, kBackInks>& inks) {
    // The system font is still at the text size the front left it at.
    inks[0] = drawInto(strips.authority, kAuthorityPlace, system, view(units, kAuthorityUnits));
    const auto validity = validityText(units, kValidityUnits);
    inks[1] = drawInto(strips.validity, kValidityPlace, system, {validity.data(), validity.size()});
}

void inkAll(std::span<const Ink> inks, const FaceCanvas& canvas) {
    for (const Ink& ink : inks) {
        TextRasteriser::inkStrip(ink.strip, ink.columns, canvas.luma(), FaceCanvas::kWidth,
                                 ink.x, ink.y);
    }
}

// "YYYYMMDD" as "YYYY.MM.DD".
std::array<char16_t, 10> dottedDate(const TextUnits& units, UnitRange range) {
    const std::u16string_view date = view(units, range);
    return {date[0], date[1], date[2], date[3], u'.', date[4], date[5], u'.', date[6], date[7]};
}

// Words apart: a space takes no room in a run, so each word is drawn on
// its own and inked a word gap after the one before it.
void drawAndInkWords(StripCells<kScratchWidth>& cells, const StripPlace& place,
                     const FontHandle& font, std::u16string_view words, const FaceCanvas& canvas) {
    int x = place.x;
    std::size_t start = words.find_first_not_of(kSpace);
    while (start != std::u16string_view::npos && x < FaceCanvas::kWidth) {
        const std::size_t end = std::min(words.find(kSpace, start), words.size());
        std::ranges::fill(cells, std::uint8_t{0});
        Ink ink = drawInto(cells, {place.width, x, place.y, place.baselineRow}, font,
                           words.substr(start, end - start));
        ink.columns = std::min(ink.columns, FaceCanvas::kWidth - x);
        inkAll({&ink, 1}, canvas);
        x += ink.columns + kWordGap;
        start = words.find_first_not_of(kSpace, end);
    }
}

// Draws each field of another card type into the scratch cells and inks it
// onto its face at once.
void drawAndInkFields(std::span<const FaceField> fields, StripCells<kScratchWidth>& cells,
                      const FontHandle& system, const FontHandle& ocrb, const TextUnits& units,
                      const FaceCanvas& front, const FaceCanvas& back) {
    for (const FaceField& field : fields) {
        std::ranges::fill(cells, std::uint8_t{0});
        const FontHandle& font = field.text == FaceText::Number ? ocrb : system;
        TextRasteriser::setPixelSize(font, field.pixels);
        Ink ink;
        switch (field.text) {
            case FaceText::Units:
                ink = drawInto(cells, field.place, font, view(units, field.units));
                break;
            case FaceText::Name:
                ink = drawName(cells, field.place, font, units, field.units);
                break;
            case FaceText::Words:
                drawAndInkWords(cells, field.place, font, view(units, field.units),
                                field.back ? back : front);
                continue;
            case FaceText::Gender:
                ink = drawInto(cells, field.place, font, genderText(units[field.units.first]));
                break;
            case FaceText::Date: {
                const auto date = dottedDate(units, field.units);
                ink = drawInto(cells, field.place, font, {date.data(), date.size()});
                break;
            }
            case FaceText::Validity: {
                const auto validity = validityText(units, field.units);
                ink = drawInto(cells, field.place, font, {validity.data(), validity.size()});
                break;
            }
            case FaceText::Number: {
                const auto glyphs = ocrbGlyphs(units, field.units);
                ink = drawInto(cells, field.place, font, {glyphs.data(), field.units.count});
                break;
            }
        }
        inkAll({&ink, 1}, field.back ? back : front);
    }
}

// Portrait pixels below the key replace the face's; the rest leave the
// template visible. Each chroma sample follows its block's top-left pixel.
void pastePortrait(std::span<const std::uint8_t, kPortraitYuvSize> portrait,
                   const FaceCanvas& canvas) {
    const auto luma = [&](int c, int r) {
        return portrait[static_cast<std::size_t>(r) * kPortraitWidth + static_cast<std::size_t>(c)];
    };
    for (int r = 0; r < kPortraitHeight; ++r) {
        for (int c = 0; c < kPortraitWidth; ++c) {
            if (luma(c, r) < kPortraitKey) canvas.y(kPortraitX + c, kPortraitY + r) = luma(c, r);
        }
    }
    const auto cb = portrait.subspan(kPortraitLuma, kPortraitChroma);
    const auto cr = portrait.subspan(kPortraitLuma + kPortraitChroma, kPortraitChroma);
    for (int r = 0; r < kPortraitChromaHeight; ++r) {
        for (int c = 0; c < kPortraitChromaWidth; ++c) {
            if (luma(2 * c, 2 * r) >= kPortraitKey) continue;
            const std::size_t at =
                static_cast<std::size_t>(r) * kPortraitChromaWidth + static_cast<std::size_t>(c);
            canvas.u(kPortraitX / 2 + c, kPortraitY / 2 + r) = cb[at];
            canvas.v(kPortraitX / 2 + c, kPortraitY / 2 + r) = cr[at];
        }
    }
}

// ------------------------------------------------------------------ kept state

// What tells a font file apart from the one opened earlier under the same
// path: replaced, rewritten or made unreadable, it differs here.
struct FileStamp {
    std::uintmax_t size;
    std::filesystem::file_time_type modified;
    std::filesystem::perms permissions;
    bool operator==(const FileStamp&) const = default;
};

// Nothing when the path does not name a readable regular file now.
std::optional<FileStamp> stampOf(const std::string& path) {
    std::error_code error;
    const std::filesystem::file_status status = std::filesystem::status(path, error);
    if (error || !std::filesystem::is_regular_file(status)) return std::nullopt;
    const std::uintmax_t size = std::filesystem::file_size(path, error);
    if (error) return std::nullopt;
    const std::filesystem::file_time_type modified = std::filesystem::last_write_time(path, error);
    if (error) return std::nullopt;
    return FileStamp{size, modified, status.permissions()};
}

struct KeptFont {
    std::string path;
    FileStamp stamp;
    FontHandle handle;
};

// The large buffers of a composition, one allocation: both canvases (front
// first), the strips with the portrait, and the batch of rows on their way
// to the compressor.
struct WorkArea {
    std::array<std::uint8_t, 2 * FaceCanvas::kSize> canvases;
    FieldStrips strips;
    std::array<std::uint8_t, JpegMemoryEncoder::kRowBatch * kFaceRowBytes> rows;
    // Each face's chroma mostly stays its template's: its conversion terms
    // are remembered between compositions.
    ColourConverter::StepMemory frontSteps;
    ColourConverter::StepMemory backSteps;
};

// What compositions keep for the next one: both faces (the system font
// while its file stays the same, with the glyphs it rendered), the work area
// and the two stream buffers. One composition at a time holds the lock.
struct ComposerState {
    std::mutex lock;
    std::optional<KeptFont> system;
    FontHandle ocrb;
    std::unique_ptr<WorkArea> work;
    std::vector<std::uint8_t> frontStream;
    std::vector<std::uint8_t> backStream;

    // After a failed allocation nothing large is kept.
    void releaseBuffers() {
        work.reset();
        std::vector<std::uint8_t>().swap(frontStream);
        std::vector<std::uint8_t>().swap(backStream);
    }
};

ComposerState& composerState() {
    static ComposerState state;
    return state;
}

// A stream buffer starts this large (a face is about 14 KB) and grows as
// its stream needs.
constexpr std::size_t kInitialStreamSize = 32 * 1024;

// The system font at `path`, opened as a fresh open would be: the kept face
// while the file is the one it was opened from, else the file opened anew
// (and kept when it can be told apart later). Failures print the
// rasteriser's message and give null, exactly as opening it would.
const FontHandle* systemFont(ComposerState& state, const std::string& path,
                             FontHandle& unkept) {
    const std::optional<FileStamp> stamp = stampOf(path);
    if (state.system && stamp && state.system->path == path && state.system->stamp == *stamp) {
        return &state.system->handle;
    }
    state.system.reset();
    TextRasteriser::OpenResult opened = TextRasteriser::openFontFile(path);
    if (opened.result != TextRasteriser::kFontOpened) return nullptr;
    if (!stamp) {
        unkept = std::move(opened.handle);
        return &unkept;
    }
    state.system.emplace(KeptFont{path, *stamp, std::move(opened.handle)});
    TextRasteriser::keepRenderedGlyphs(state.system->handle);
    return &state.system->handle;
}

// The embedded OCR-B face, opened once (its bytes never change).
const FontHandle* ocrbFont(ComposerState& state) {
    if (!state.ocrb.isOpen()) {
        TextRasteriser::OpenResult opened = TextRasteriser::openFontMemory(embeddedOcrbFont());
        if (opened.result != TextRasteriser::kFontOpened) return nullptr;
        state.ocrb = std::move(opened.handle);
        TextRasteriser::keepRenderedGlyphs(state.ocrb);
    }
    return &state.ocrb;
}

// Compresses a canvas, converted a batch of rows at a time, into `stream`
// (up to `limit` bytes).
bool encodeFace(const FaceCanvas& canvas, WorkArea& work, ColourConverter::StepMemory& steps,
                std::vector<std::uint8_t>& stream, std::size_t limit, std::size_t& length) {
    const JpegMemoryEncoder::RowSupplier supply = [&](int first, int count,
                                                      const std::uint8_t** rows) {
        ColourConverter::yuv420RowsToRgb(canvas.bytes(), FaceCanvas::kWidth, FaceCanvas::kHeight,
                                         first, count, work.rows, kFaceRowBytes, &steps);
        for (int r = 0; r < count; ++r) rows[r] = work.rows.data() + kFaceRowBytes * static_cast<std::size_t>(r);
    };
    return JpegMemoryEncoder::encodeRows(FaceCanvas::kWidth, FaceCanvas::kHeight,
                                         JpegMemoryEncoder::ChannelOrder::RedGreenBlue, supply,
                                         stream, limit, length);
}

struct StreamLimits {
    std::size_t front;
    std::size_t back;
};

struct Streams {
    std::span<const std::uint8_t> front;
    std::span<const std::uint8_t> back;
};

// A face starts as its template: one block copy (std::ranges::copy over
// spans compiles to a loop of single bytes).
void copyTemplate(std::span<const std::uint8_t, FaceCanvas::kSize> face, const FaceCanvas& canvas) {
    std::memcpy(canvas.bytes().data(), face.data(), FaceCanvas::kSize);
}

// The composition itself, with the state locked: fonts, drawing, canvases,
// and both faces compressed into the state's stream buffers.
int composeLocked(ComposerState& state, const CardFaces& faces, const TextUnits& units,
                  std::span<const std::uint8_t> portraitBitmap, StreamLimits limits,
                  const CanvasInspector& inspect, Streams& streams) {
    const std::optional<std::string> fontPath = systemFontPath();
    if (!fontPath) return CardFaceComposer::kSystemFontFailed;
    FontHandle unkept;
    const FontHandle* system = systemFont(state, *fontPath, unkept);
    if (system == nullptr) return CardFaceComposer::kSystemFontFailed;
    const FontHandle* ocrb = ocrbFont(state);
    if (ocrb == nullptr) return CardFaceComposer::kOcrbFontFailed;
    // Both faces draw as if just opened.
    TextRasteriser::forgetLastGlyph(*system);
    TextRasteriser::forgetLastGlyph(*ocrb);

    try {
        if (!state.work) state.work = std::make_unique<WorkArea>();
        state.work->frontSteps.prepare(FaceCanvas::kWidth, FaceCanvas::kHeight);
        state.work->backSteps.prepare(FaceCanvas::kWidth, FaceCanvas::kHeight);
        for (std::vector<std::uint8_t>* stream : {&state.frontStream, &state.backStream}) {
            if (stream->size() < kInitialStreamSize) stream->resize(kInitialStreamSize);
        }
    } catch (const std::bad_alloc&) {
        state.releaseBuffers();
        return CardFaceComposer::kOutOfMemory;
    }
    WorkArea& work = *state.work;
    FieldStrips& strips = work.strips;
    std::ranges::fill(std::span(reinterpret_cast<std::uint8_t*>(&strips), sizeof strips),
                      std::uint8_t{0});

    std::array<Ink, kFrontInks> frontInks{};
    std::array<Ink, kBackInks> backInks{};
    int frontCount = 0;
    int backCount = 0;
    if (faces.residentFront) frontCount = drawFront(strips, *system, *ocrb, units, frontInks, faces.nation);
    if (faces.residentBack) {
        drawBack(strips, *system, units, backInks);
        backCount = kBackInks;
    }
    // A header that does not give at most 102 x 126 converts nothing.
    ColourConverter::bmpToYuv420(portraitBitmap, strips.portrait, kPortraitWidth,
                                 kPortraitHeight);

    using CanvasBytes = std::span<std::uint8_t, FaceCanvas::kSize>;
    const FaceCanvas front(CanvasBytes(work.canvases.data(), FaceCanvas::kSize));
    const FaceCanvas back(CanvasBytes(work.canvases.data() + FaceCanvas::kSize, FaceCanvas::kSize));
    copyTemplate(faces.front(), front);
    copyTemplate(faces.back(), back);
    inkAll(std::span(frontInks).first(static_cast<std::size_t>(frontCount)), front);
    drawAndInkFields(faces.fields, strips.scratch, *system, *ocrb, units, front, back);
    pastePortrait(strips.portrait, front);
    inkAll(std::span(backInks).first(static_cast<std::size_t>(backCount)), back);

    if (inspect) inspect(front, back);

    std::size_t frontLength = 0;
    std::size_t backLength = 0;
    if (!encodeFace(front, work, work.frontSteps, state.frontStream, limits.front, frontLength) ||
        !encodeFace(back, work, work.backSteps, state.backStream, limits.back, backLength)) {
        return CardFaceComposer::kEncodingFailed;
    }
    streams.front = std::span(state.frontStream).first(frontLength);
    streams.back = std::span(state.backStream).first(backLength);
    return CardFaceComposer::kComposed;
}

// Runs one composition; `deliver` sees the streams while they are valid.
template <class Deliver>
int composeAndDeliver(std::span<const std::uint8_t, CardFaceComposer::kTextBlockSize> textBlock,
                      std::span<const std::uint8_t> portraitBitmap, StreamLimits limits,
                      const CanvasInspector& inspect, Deliver&& deliver) {
    // Each card type is drawn on faces of its own; a type without them
    // (its layout unknown) has no faces.
    const carddata::CardType type = carddata::cardTypeOf(textBlock.data());
    const auto faces = std::ranges::find(kCardFaces, type, &CardFaces::type);
    if (faces == std::end(kCardFaces)) return CardFaceComposer::kNoFacesForCardType;
    ComposerState& state = composerState();
    const std::lock_guard<std::mutex> held(state.lock);
    Streams streams;
    int result = CardFaceComposer::kOutOfMemory;
    try {
        result = composeLocked(state, *faces, readUnits(textBlock), portraitBitmap, limits, inspect, streams);
    } catch (const std::bad_alloc&) {
        state.releaseBuffers();
        result = CardFaceComposer::kOutOfMemory;
    }
    if (result == CardFaceComposer::kComposed) deliver(streams);
    return result;
}

}  // namespace

int CardFaceComposer::compose(std::span<const std::uint8_t, kTextBlockSize> textBlock,
                              std::span<const std::uint8_t> portraitBitmap,
                              std::span<std::uint8_t> frontOut, std::span<std::uint8_t> backOut,
                              std::int32_t& frontLength, std::int32_t& backLength,
                              const CanvasInspector& inspect) {
    std::ranges::fill(frontOut, std::uint8_t{0});
    std::ranges::fill(backOut, std::uint8_t{0});
    frontLength = 0;
    backLength = 0;
    return composeAndDeliver(textBlock, portraitBitmap, {frontOut.size(), backOut.size()},
                             inspect, [&](const Streams& streams) {
                                 std::ranges::copy(streams.front, frontOut.begin());
                                 std::ranges::copy(streams.back, backOut.begin());
                                 frontLength = static_cast<std::int32_t>(streams.front.size());
                                 backLength = static_cast<std::int32_t>(streams.back.size());
                             });
}

int CardFaceComposer::composeStreams(std::span<const std::uint8_t, kTextBlockSize> textBlock,
                                     std::span<const std::uint8_t> portraitBitmap,
                                     const StreamReceiver& receive) {
    return composeAndDeliver(textBlock, portraitBitmap, {kFaceOutputSize, kFaceOutputSize}, {},
                             [&](const Streams& streams) { receive(streams.front, streams.back); });
}

bool CardFaceComposer::composeCardFaces(std::span<const std::uint8_t, kTextBlockSize> textBlock,
                                        std::span<const std::uint8_t> portraitBitmap,
                                        std::span<std::uint8_t> frontOut,
                                        std::span<std::uint8_t> backOut,
                                        std::int32_t& frontLength, std::int32_t& backLength) {
    return compose(textBlock, portraitBitmap, frontOut, backOut, frontLength, backLength) ==
           kComposed;
}

}  // namespace cardface
