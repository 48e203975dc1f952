// The identity record: everything one card read learns from a card.
//
// A record is created empty (every text empty, `gender` -1, all four buffers
// zero-filled) and lives for one read. The reader fills the raw buffers, the
// text block decoder fills the nine texts, `gender` and the card type with
// the texts only other card types carry, the portrait decoder
// fills `portraitBitmap`, and the read sequence sets the three image texts.
// Texts are NUL-terminated multi-byte strings (c_str()): card text in the
// ANSI code page, nation names in GBK. The buffers are arrays inside the
// record (about 41 KB in all), so a caller with a small stack allocates the
// record on the heap.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "carddata/CardType.h"

namespace carddata {

inline constexpr std::size_t kTextBlockSize = 256;
inline constexpr std::size_t kPhotoDataSize = 1024;
inline constexpr std::size_t kFingerprintDataSize = 1024;

// The decoded portrait: a complete 24-bit BMP file of 102 x 126 pixels,
// bottom row first, each row 102 blue-green-red pixels and two padding bytes.
inline constexpr int kPortraitWidth = 102;
inline constexpr int kPortraitHeight = 126;
inline constexpr std::size_t kBitmapHeaderSize = 54;
inline constexpr std::size_t kPortraitRowSize = 308;
inline constexpr std::size_t kPortraitBitmapSize = kBitmapHeaderSize + kPortraitRowSize * kPortraitHeight;
static_assert(kPortraitRowSize == (kPortraitWidth * 3 + 3) / 4 * 4);
static_assert(kPortraitBitmapSize == 38862);

// `gender` before any decoding.
inline constexpr std::int32_t kGenderUnknown = -1;

struct IdentityRecord {
    std::string partyName;
    std::int32_t gender = kGenderUnknown;
    std::string nation;
    std::string bornDay;
    std::string certAddress;
    std::string certNumber;
    std::string certOrg;
    std::string effDate;
    std::string expDate;
    std::string identityPic;
    std::string base64ID_PicFront;
    std::string base64ID_PicBack;
    // Cards other than resident cards: the type, its mark as text ("I", "J",
    // or an unknown letter; empty for a resident card) and the texts that
    // have no resident counterpart (empty on other cards).
    CardType type = CardType::Resident;
    std::string cardType;
    std::string englishName;  // "I"
    std::string chineseName;  // "I"
    std::string nationality;  // "I": three letters
    std::string cardVersion;  // "I"
    std::string passNumber;   // "J": the travel permit's number
    std::string issueCount;   // "J"
    unsigned char textBlock[kTextBlockSize] = {};
    unsigned char photoData[kPhotoDataSize] = {};
    unsigned char fingerprintData[kFingerprintDataSize] = {};
    unsigned char portraitBitmap[kPortraitBitmapSize] = {};
};

}  // namespace carddata
