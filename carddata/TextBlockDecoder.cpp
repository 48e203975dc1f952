#include "carddata/TextBlockDecoder.h"

#include <climits>
#include <string_view>
#include <utility>

#include "carddata/NationNames.h"
#include "platform/CodePage.h"
#include "reader/ReaderApi.h"

namespace carddata {
namespace {

static_assert(kTextBlockSize == static_cast<std::size_t>(reader::kTextBlockSize));

constexpr std::size_t kWidestField = 60;

constexpr bool fieldsFitTheBlock() {
    std::size_t next = 0;
    for (const TextBlockField& field : kTextBlockFields) {
        if (field.offset != next || field.characters > kWidestField) return false;
        next = field.offset + 2 * field.characters;
    }
    return next == kTextBlockUsedBytes && next <= kTextBlockSize;
}
static_assert(fieldsFitTheBlock(), "fields lie back to back within the used part of the block");

// The other layouts' fields lie in order, apart, and before the mark.
constexpr bool fieldsInOrderBeforeTheMark(std::span<const TextBlockField> fields) {
    std::size_t next = 0;
    for (const TextBlockField& field : fields) {
        if (field.offset < next || field.characters > kWidestField) return false;
        next = field.offset + 2 * field.characters;
    }
    return next <= kCardTypeMarkAt;
}
static_assert(fieldsInOrderBeforeTheMark(kForeignPermanentResidentFields));
static_assert(fieldsInOrderBeforeTheMark(kHongKongMacaoTaiwanResidentFields));

// The field's characters up to its first zero character, in the ANSI code
// page.
std::string convertField(const unsigned char* block, const TextBlockField& field) {
    char16_t characters[kWidestField + 1];
    const unsigned char* bytes = block + field.offset;
    for (std::size_t i = 0; i < field.characters; ++i) {
        characters[i] = static_cast<char16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    }
    characters[field.characters] = 0;
    return platform::wideToAnsi(std::u16string_view(characters));
}

void trimTrailingSpaces(std::string& text) {
    const std::size_t end = text.find_last_not_of(' ');
    text.erase(end == std::string::npos ? 0 : end + 1);
}

bool isWhiteSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Leading white space, an optional sign, then decimal digits up to the first
// other character; no digits give 0. Saturates instead of overflowing.
std::int32_t parseDecimal(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && isWhiteSpace(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    long long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        if (value <= INT_MAX) value = value * 10 + (text[i] - '0');
    }
    if (value > INT_MAX) value = INT_MAX;
    return static_cast<std::int32_t>(negative ? -value : value);
}

const TextBlockLayout& layoutOf(CardType type) {
    for (const TextBlockLayout& layout : kTextBlockLayouts) {
        if (layout.type == type) return layout;
    }
    return kTextBlockLayouts[0];
}

}  // namespace

void decodeTextBlock(IdentityRecord& record, const unsigned char (&block)[kTextBlockSize]) {
    for (std::string IdentityRecord::*text : kDecodedTexts) (record.*text).clear();
    record.gender = kGenderUnknown;
    record.type = cardTypeOf(block);
    if (const char16_t mark = cardTypeMark(block); mark != 0) record.cardType = static_cast<char>(mark);

    const TextBlockLayout& layout = layoutOf(record.type);
    for (const TextBlockField& field : layout.fields) {
        std::string text = convertField(block, field);
        switch (field.decoding) {
            case FieldDecoding::Gender:
                record.gender = parseDecimal(text) == kGenderCodeFemale ? kGenderFemale : kGenderOther;
                break;
            case FieldDecoding::Nation:
                trimTrailingSpaces(text);
                record.*field.text = nationName(parseDecimal(text));
                break;
            case FieldDecoding::Text:
                trimTrailingSpaces(text);
                record.*field.text = std::move(text);
                break;
        }
    }
    for (std::string IdentityRecord::*source : layout.nameFrom) {
        if (source != nullptr && record.partyName.empty()) record.partyName = record.*source;
    }
}

}  // namespace carddata
