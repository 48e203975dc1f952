#include <gtest/gtest.h>

#include <array>
#include <numeric>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "cardface/TextRasteriser.h"

namespace cardface {
namespace {

using Address = std::array<char16_t, AddressLayout::kLength>;

// Builds an address from runs such as "W9 N6 W20": W a Chinese character,
// N a digit, S a space, F a fullwidth digit.
Address address(const std::string& runs) {
    Address a{};
    std::size_t at = 0;
    std::istringstream in(runs);
    std::string run;
    while (in >> run) {
        const char16_t unit = run[0] == 'W' ? u'\u8DEF' : run[0] == 'N' ? u'7' : run[0] == 'S' ? u' ' : u'\uFF17';
        for (int i = std::stoi(run.substr(1)); i > 0; --i) a.at(at++) = unit;
    }
    EXPECT_EQ(at, a.size()) << runs;
    return a;
}

std::vector<int> lineLengths(const AddressLayout& layout) {
    return {layout.lineLengths.begin(), layout.lineLengths.begin() + layout.lineCount};
}

TEST(AddressLayout, LineBreaking) {
    struct Case {
        const char* runs;
        std::vector<int> lengths;
    };
    const Case cases[] = {
        {"W35", {11, 11, 11, 2}},
        // A wide character reaching 132 ends its line; digits start the next.
        {"W11 N10 W14", {11, 16, 8}},
        // A digit run reaching exactly 132 moves whole, its width carried over.
        {"W9 N6 W20", {9, 14, 11, 1}},
        {"W9 N2 S1 N3 W20", {9, 14, 11, 1}},  // spaces belong to the run
        // ... but not when the next character is no digit.
        {"W9 N4 W22", {13, 11, 11}},
        {"W9 N4 F1 W21", {13, 11, 11}},
        // A run of fullwidth forms reaching 132 moves whole.
        {"W9 F4 W22", {9, 11, 11, 4}},
        {"W10 F2 W23", {10, 11, 11, 3}},
        {"W9 F2 W24", {11, 11, 11, 2}},
        // The last character has no next one: no run moves.
        {"W31 N4", {11, 11, 13}},
        // Past 132 the line ends before the character, which counts 12.
        {"W10 N1 W10 N14", {11, 10, 14}},
        {"S22 W13", {22, 11, 2}},
        // Runs that fill their line from its start cannot move whole: the line
        // ends where it is full, and no line is empty.
        {"N35", {22, 13}},
        {"F35", {11, 11, 11, 2}},
        {"W1 N34", {1, 22, 12}},
        {"W23 F12", {11, 11, 1, 11, 1}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(lineLengths(TextRasteriser::layoutAddress(address(c.runs))), c.lengths) << c.runs;
    }
}

TEST(AddressLayout, ClassesAndDrawingCharacters) {
    struct Case {
        char16_t unit;
        CharClass cls;
        char16_t drawn;
    };
    const Case cases[] = {
        {0x0000, CharClass::Wide, 0x0000},   {0x001F, CharClass::Wide, 0x001F},
        {0x0020, CharClass::Space, 0x0020},  {0x0021, CharClass::Narrow, 0x0021},
        {0x00BF, CharClass::Narrow, 0x00BF}, {0x00C0, CharClass::Wide, 0x00C0},
        {0x8DEF, CharClass::Wide, 0x8DEF},   {0xFF00, CharClass::Wide, 0xFF00},
        {0xFF01, CharClass::FullwidthForm, 0x0021},
        {0xFF11, CharClass::FullwidthForm, 0x0031},
        {0xFF5E, CharClass::FullwidthForm, 0x007E},
        {0xFF80, CharClass::FullwidthForm, 0x00A0},  // kept to 16 bits
        {0xFF81, CharClass::Wide, 0xFF81},   {0xFFFF, CharClass::Wide, 0xFFFF},
    };
    for (const Case& c : cases) {
        Address a{};
        a.fill(u'\u8DEF');
        a[17] = c.unit;
        const AddressLayout layout = TextRasteriser::layoutAddress(a);
        EXPECT_EQ(layout.classes[17], c.cls) << std::hex << int{c.unit};
        EXPECT_EQ(layout.characters[17], c.drawn) << std::hex << int{c.unit};
        EXPECT_EQ(TextRasteriser::classify(c.unit), c.cls);
    }
}

// Whatever the address: one to five lines, none empty, covering all 35
// characters, as the composer's strips need.
TEST(AddressLayout, AnyAddressGivesOneToFiveNonEmptyLines) {
    std::mt19937 random(20240601);
    const char16_t units[] = {u'\u8DEF', u'7', u' ', u'\uFF17', u'a', 0x0000};
    for (int round = 0; round < 20000; ++round) {
        Address a{};
        // Runs of one unit, so the run rules fire often.
        for (std::size_t at = 0; at < a.size();) {
            const char16_t unit = units[random() % std::size(units)];
            for (auto n = 1 + random() % 24; n > 0 && at < a.size(); --n) a[at++] = unit;
        }
        const AddressLayout layout = TextRasteriser::layoutAddress(a);
        ASSERT_GE(layout.lineCount, 1);
        ASSERT_LE(layout.lineCount, AddressLayout::kMaxLines);
        for (int k = 0; k < AddressLayout::kMaxLines; ++k) {
            if (k < layout.lineCount) {
                ASSERT_GE(layout.lineLengths[k], 1);
            } else {
                ASSERT_EQ(layout.lineLengths[k], 0);
            }
        }
        ASSERT_EQ(std::accumulate(layout.lineLengths.begin(), layout.lineLengths.end(), 0),
                  AddressLayout::kLength);
        ASSERT_EQ(layout.lineStart(layout.lineCount), AddressLayout::kLength);
    }
}

}  // namespace
}  // namespace cardface
