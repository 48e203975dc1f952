// The card type of a 256-byte text block, told by the character at byte
// offset 248: "I" (49 00) is a foreign permanent resident card, "J" (4A 00) a
// residence permit for Hong Kong, Macao and Taiwan residents, another capital
// Latin letter a card whose layout is not known here (such as "Y"), anything
// else a resident identity card. Header only: the decoder and the card face
// composer both read the mark from the block.
#pragma once

#include <cstddef>
#include <iterator>

namespace carddata {

enum class CardType { Resident, ForeignPermanentResident, HongKongMacaoTaiwanResident, Unknown };

inline constexpr std::size_t kCardTypeMarkAt = 248;

struct KnownCardType {
    char16_t mark;
    CardType type;
};
inline constexpr KnownCardType kKnownCardTypes[] = {
    {u'I', CardType::ForeignPermanentResident},
    {u'J', CardType::HongKongMacaoTaiwanResident},
};

// The mark of a 256-byte block: its capital letter, or 0 for a resident card.
constexpr char16_t cardTypeMark(const unsigned char* block) {
    const auto unit = static_cast<char16_t>(block[kCardTypeMarkAt] | (block[kCardTypeMarkAt + 1] << 8));
    return unit >= u'A' && unit <= u'Z' ? unit : char16_t{0};
}

constexpr CardType cardTypeOf(const unsigned char* block) {
    const char16_t mark = cardTypeMark(block);
    if (mark == 0) return CardType::Resident;
    for (const KnownCardType& known : kKnownCardTypes) {
        if (known.mark == mark) return known.type;
    }
    return CardType::Unknown;
}

}  // namespace carddata
