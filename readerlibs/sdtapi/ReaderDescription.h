// Reader descriptions: the JSON text that tells the virtual reader how to
// answer, and the reader state it yields.
//
// A description is checked against a table of its members before any of it
// is applied: an unknown member, a value of the wrong type, a number out of
// range or a text too long for its field makes the whole description
// unusable, and the problem is one line naming the member ("card.name") and
// what is wrong with it. Members a description leaves out keep the values the
// reader already has (a card's fields one by one). Nothing here throws.
#pragma once

#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "reader/ReaderApi.h"

namespace virtualreader {

// Codes a reader without a card answers, and a port that is not listed.
inline constexpr int kNoCardFind = 128;
inline constexpr int kNoCardSelect = 129;
inline constexpr int kNoCardRead = 65;
inline constexpr int kPortNotListed = 1;

// The longest latency a description may ask for, in milliseconds.
inline constexpr int kLongestLatencyMs = 60000;
// How deeply a description's values may nest.
inline constexpr int kDeepestNesting = 64;

// The card's text fields, for each card type, in block order: where each
// lies in the 256-byte UCS-2 block and its width in characters. A card's
// "type" chooses the table: none (or "") a resident identity card, "I" a
// foreign permanent resident card, "J" a residence permit for Hong Kong,
// Macao and Taiwan residents, any other capital letter a card of that type
// without fields. The type's letter is written at byte 248.
struct CardField {
    const char* key;
    int offset;  // bytes
    int characters;
};
inline constexpr CardField kResidentCardFields[] = {
    {"name", 0, 15},       {"gender", 30, 1},      {"nation", 32, 2},
    {"birthDate", 36, 8},  {"address", 52, 35},    {"number", 122, 18},
    {"authority", 158, 15}, {"validFrom", 188, 8}, {"validTo", 204, 8},
};
inline constexpr CardField kForeignPermanentResidentCardFields[] = {
    {"englishName", 0, 60}, {"gender", 120, 1},    {"number", 122, 15},   {"nationality", 152, 3},
    {"chineseName", 158, 15}, {"validFrom", 188, 8}, {"validTo", 204, 8}, {"birthDate", 220, 8},
    {"cardVersion", 236, 2}, {"authority", 240, 4},
};
inline constexpr CardField kHongKongMacaoTaiwanResidentCardFields[] = {
    {"name", 0, 15},         {"gender", 30, 1},      {"birthDate", 36, 8},  {"address", 52, 35},
    {"number", 122, 18},     {"authority", 158, 15}, {"validFrom", 188, 8}, {"validTo", 204, 8},
    {"passNumber", 220, 9},  {"issueCount", 238, 2},
};
struct CardLayout {
    std::string_view type;
    std::span<const CardField> fields;
};
inline constexpr CardLayout kCardLayouts[] = {
    {"", kResidentCardFields},
    {"I", kForeignPermanentResidentCardFields},
    {"J", kHongKongMacaoTaiwanResidentCardFields},
};
inline constexpr int kCardTypeAt = 248;

// What the reader answers. A default-constructed reader is no reader at all:
// no port answers and no card is present.
struct Reader {
    std::map<int, std::vector<int>> ports;
    int closeResult = 144;
    int findResult = 159;
    int selectResult = 144;
    int readFpResult = 144;
    int readResult = 144;
    int samIdResult = 144;
    std::string samId;
    bool cardPresent = false;
    std::string cardType;                                     // "" for a resident card
    std::map<std::string, std::string> card;                 // UTF-8 field texts by key
    std::optional<std::vector<unsigned char>> rawTextBlock;  // "textBlockHex", when given
    unsigned char textBlock[reader::kTextBlockSize] = {};
    unsigned char photo[reader::kPhotoDataSize] = {};
    unsigned char fingerprint[reader::kFingerprintDataSize] = {};
    int latencyMs = 0;
};

// Applies the description `text` over `reader`. False when it cannot be used:
// `problem` then says why in one line and `reader` is unchanged.
bool applyDescription(Reader& reader, std::string_view text, std::string& problem) noexcept;

// Builds the text block from the card fields of the card's type (each padded
// with spaces to its width, unused places spaces, the type's letter at byte
// 248), or copies the raw block when the description gave one.
void buildTextBlock(Reader& reader) noexcept;

}  // namespace virtualreader
