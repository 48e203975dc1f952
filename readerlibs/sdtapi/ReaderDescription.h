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

// The card's text fields in block order, with their widths in UCS-2
// characters.
struct CardField {
    const char* key;
    int characters;
};
inline constexpr CardField kCardFields[] = {
    {"name", 15},   {"gender", 1},     {"nation", 2},    {"birthDate", 8}, {"address", 35},
    {"number", 18}, {"authority", 15}, {"validFrom", 8}, {"validTo", 8},
};
inline constexpr std::size_t kCardFieldCount = std::size(kCardFields);

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
    std::string card[kCardFieldCount];                        // UTF-8, in kCardFields order
    std::optional<std::vector<unsigned char>> rawTextBlock;  // "textBlockHex", when given
    unsigned char textBlock[reader::kTextBlockSize] = {};
    unsigned char photo[reader::kPhotoDataSize] = {};
    unsigned char fingerprint[reader::kFingerprintDataSize] = {};
    int latencyMs = 0;
};

// Applies the description `text` over `reader`. False when it cannot be used:
// `problem` then says why in one line and `reader` is unchanged.
bool applyDescription(Reader& reader, std::string_view text, std::string& problem) noexcept;

// Builds the text block from the card fields (each padded with spaces to its
// width), or copies the raw block when the description gave one.
void buildTextBlock(Reader& reader) noexcept;

}  // namespace virtualreader
