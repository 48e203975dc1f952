// Decoding of the card's 256-byte text block into the identity record.
//
// The block holds nine fields of UCS-2 little-endian characters back to back
// (table below); bytes 220 to 255 are not read. Each field's text ends at its
// first zero character or at its full width, is converted to the ANSI code
// page (characters it cannot hold become '?'), and, except for the gender,
// loses its trailing space bytes (0x20) and nothing else. The gender
// character parses as a decimal number: 2 gives `gender` 0, anything else 1.
// The nation field parses the same way and is looked up with nationName.
// Content is never validated. The only failure is a conversion failure
// (CMemoryException, CException), thrown with the fields before it decoded.
#pragma once

#include <cstddef>
#include <string>

#include "carddata/IdentityRecord.h"

namespace carddata {

enum class FieldDecoding { Text, Gender, Nation };

struct TextBlockField {
    std::size_t offset;      // in bytes
    std::size_t characters;  // UCS-2 characters
    FieldDecoding decoding;
    std::string IdentityRecord::*text;  // where the result goes; null for the gender
};

// The fields in block order.
inline constexpr TextBlockField kTextBlockFields[] = {
    {0, 15, FieldDecoding::Text, &IdentityRecord::partyName},
    {30, 1, FieldDecoding::Gender, nullptr},
    {32, 2, FieldDecoding::Nation, &IdentityRecord::nation},
    {36, 8, FieldDecoding::Text, &IdentityRecord::bornDay},
    {52, 35, FieldDecoding::Text, &IdentityRecord::certAddress},
    {122, 18, FieldDecoding::Text, &IdentityRecord::certNumber},
    {158, 15, FieldDecoding::Text, &IdentityRecord::certOrg},
    {188, 8, FieldDecoding::Text, &IdentityRecord::effDate},
    {204, 8, FieldDecoding::Text, &IdentityRecord::expDate},
};
inline constexpr std::size_t kTextBlockUsedBytes = 220;

// The gender code that gives `gender` 0; every other value gives 1.
inline constexpr int kGenderCodeFemale = 2;
inline constexpr std::int32_t kGenderFemale = 0;
inline constexpr std::int32_t kGenderOther = 1;

// Writes the nine texts and `gender` of `record` from `block` (normally the
// record's own textBlock), replacing what they held; touches nothing else.
void decodeTextBlock(IdentityRecord& record, const unsigned char (&block)[kTextBlockSize]);

}  // namespace carddata
