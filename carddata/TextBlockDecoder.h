// Decoding of the card's 256-byte text block into the identity record.
//
// The card type mark at byte 248 (CardType.h) chooses the layout: a field
// table per card type. A resident card's block holds nine fields of UCS-2
// little-endian characters back to back (of bytes 220 to 255 only the mark
// counts); the other known types place theirs as their tables say and fill
// the resident texts they have a counterpart for; a card of an unknown type
// has no fields at all. Each field's text ends at its first zero character
// or at its full width, is converted to the ANSI code page (characters it
// cannot hold become '?'), and, except for the gender, loses its trailing
// space bytes (0x20) and nothing else. The gender character parses as a
// decimal number: 2 gives `gender` 0, anything else 1 (a card of an unknown
// type keeps -1). The nation field parses the same way and is looked up
// with nationName. Content is never validated. The only failure is a
// conversion failure (CMemoryException, CException), thrown with the fields
// before it decoded.
#pragma once

#include <cstddef>
#include <string>

#include <span>

#include "carddata/CardType.h"
#include "carddata/IdentityRecord.h"

namespace carddata {

enum class FieldDecoding { Text, Gender, Nation };

struct TextBlockField {
    std::size_t offset;      // in bytes
    std::size_t characters;  // UCS-2 characters
    FieldDecoding decoding;
    std::string IdentityRecord::*text;  // where the result goes; null for the gender
};

// The fields of a resident card in block order.
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

// A foreign permanent resident card ("I"). The holder's name ("partyName")
// is its Chinese name, or its English name where that is blank.
inline constexpr TextBlockField kForeignPermanentResidentFields[] = {
    {0, 60, FieldDecoding::Text, &IdentityRecord::englishName},
    {120, 1, FieldDecoding::Gender, nullptr},
    {122, 15, FieldDecoding::Text, &IdentityRecord::certNumber},
    {152, 3, FieldDecoding::Text, &IdentityRecord::nationality},
    {158, 15, FieldDecoding::Text, &IdentityRecord::chineseName},
    {188, 8, FieldDecoding::Text, &IdentityRecord::effDate},
    {204, 8, FieldDecoding::Text, &IdentityRecord::expDate},
    {220, 8, FieldDecoding::Text, &IdentityRecord::bornDay},
    {236, 2, FieldDecoding::Text, &IdentityRecord::cardVersion},
    {240, 4, FieldDecoding::Text, &IdentityRecord::certOrg},
};

// A residence permit for Hong Kong, Macao and Taiwan residents ("J"): the
// resident card's places without the nation, then the travel permit's
// number and the number of issues.
inline constexpr TextBlockField kHongKongMacaoTaiwanResidentFields[] = {
    {0, 15, FieldDecoding::Text, &IdentityRecord::partyName},
    {30, 1, FieldDecoding::Gender, nullptr},
    {36, 8, FieldDecoding::Text, &IdentityRecord::bornDay},
    {52, 35, FieldDecoding::Text, &IdentityRecord::certAddress},
    {122, 18, FieldDecoding::Text, &IdentityRecord::certNumber},
    {158, 15, FieldDecoding::Text, &IdentityRecord::certOrg},
    {188, 8, FieldDecoding::Text, &IdentityRecord::effDate},
    {204, 8, FieldDecoding::Text, &IdentityRecord::expDate},
    {220, 9, FieldDecoding::Text, &IdentityRecord::passNumber},
    {238, 2, FieldDecoding::Text, &IdentityRecord::issueCount},
};

// A card type's fields, and where its "partyName" comes from when no field
// writes it: the first of these texts that is not empty.
struct TextBlockLayout {
    CardType type;
    std::span<const TextBlockField> fields;
    std::string IdentityRecord::*nameFrom[2];
};
inline constexpr TextBlockLayout kTextBlockLayouts[] = {
    {CardType::Resident, kTextBlockFields, {}},
    {CardType::ForeignPermanentResident, kForeignPermanentResidentFields,
     {&IdentityRecord::chineseName, &IdentityRecord::englishName}},
    {CardType::HongKongMacaoTaiwanResident, kHongKongMacaoTaiwanResidentFields, {}},
    {CardType::Unknown, {}, {}},
};

// Every text the decoding writes, for whatever card type: each starts empty.
inline constexpr std::string IdentityRecord::*kDecodedTexts[] = {
    &IdentityRecord::partyName,   &IdentityRecord::nation,      &IdentityRecord::bornDay,
    &IdentityRecord::certAddress, &IdentityRecord::certNumber,  &IdentityRecord::certOrg,
    &IdentityRecord::effDate,     &IdentityRecord::expDate,     &IdentityRecord::cardType,
    &IdentityRecord::englishName, &IdentityRecord::chineseName, &IdentityRecord::nationality,
    &IdentityRecord::cardVersion, &IdentityRecord::passNumber,  &IdentityRecord::issueCount,
};

// The gender code that gives `gender` 0; every other value gives 1.
inline constexpr int kGenderCodeFemale = 2;
inline constexpr std::int32_t kGenderFemale = 0;
inline constexpr std::int32_t kGenderOther = 1;

// Writes the texts, `gender`, `type` and `cardType` of `record` from `block`
// (normally the record's own textBlock), replacing what they held; touches
// nothing else.
void decodeTextBlock(IdentityRecord& record, const unsigned char (&block)[kTextBlockSize]);

}  // namespace carddata
