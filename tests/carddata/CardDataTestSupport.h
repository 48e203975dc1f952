// Helpers of the card data tests: text blocks built from UTF-16 field
// contents, texts shown as UTF-8, the stand-in portrait decoder, bitmaps.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <string_view>

#include "carddata/IdentityRecord.h"
#include "platform/CodePage.h"
#include "platform/System.h"
#include "reader/ReaderApi.h"
#include "support/TestSupport.h"

namespace carddata::test {

// Field offsets of the text block, in bytes.
inline constexpr std::size_t kNameAt = 0, kGenderAt = 30, kNationAt = 32, kBornAt = 36, kAddressAt = 52,
                             kNumberAt = 122, kOrgAt = 158, kEffAt = 188, kExpAt = 204, kUnreadAt = 220;

using Block = unsigned char[kTextBlockSize];

// Writes UCS-2 little-endian characters at a byte offset.
inline void put(Block& block, std::size_t offset, std::u16string_view characters) {
    for (std::size_t i = 0; i < characters.size(); ++i) {
        block[offset + 2 * i] = static_cast<unsigned char>(characters[i] & 0xFF);
        block[offset + 2 * i + 1] = static_cast<unsigned char>(characters[i] >> 8);
    }
}

// Every character a space, as the unused places of a card's fields are.
inline void fillWithSpaces(Block& block) {
    for (std::size_t i = 0; i < kTextBlockSize; i += 2) {
        block[i] = ' ';
        block[i + 1] = 0;
    }
}

// A decoded (ANSI code page) text as UTF-8, for comparisons.
inline std::string utf8(const std::string& ansi) { return platform::utf16ToUtf8(platform::ansiToWide(ansi)); }

inline std::string hex(const std::string& bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    for (const unsigned char c : bytes) {
        out += kDigits[c >> 4];
        out += kDigits[c & 15];
    }
    return out;
}

inline std::string testData(const std::string& name) {
    return std::string(IVELCARD_TEST_DATA_DIR) + "/carddata/" + name;
}

// The stand-in portrait decoder, loaded from its built library.
inline reader::GetBmpFn standInGetBmp() {
    static const reader::GetBmpFn getBmp = [] {
        platform::ModuleHandle library = platform::loadLibrary(testsupport::readerLibsDir() + "/WltRs.so");
        return reinterpret_cast<reader::GetBmpFn>(platform::procAddress(library, "GetBmp"));
    }();
    return getBmp;
}

// Peak signal-to-noise ratio of the pixels of two 102 x 126 bitmaps (the
// padding bytes excluded), in dB.
inline double portraitPsnr(const unsigned char* a, const unsigned char* b) {
    double squares = 0;
    for (int y = 0; y < kPortraitHeight; ++y) {
        const std::size_t row = kBitmapHeaderSize + kPortraitRowSize * static_cast<std::size_t>(y);
        for (std::size_t x = 0; x < kPortraitWidth * 3; ++x) {
            const double d = double(a[row + x]) - double(b[row + x]);
            squares += d * d;
        }
    }
    const double mse = squares / (kPortraitWidth * kPortraitHeight * 3);
    return mse == 0 ? INFINITY : 10 * std::log10(255.0 * 255.0 / mse);
}

}  // namespace carddata::test
