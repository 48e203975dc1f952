// Fuzz target: decodeTextBlock over arbitrary 256-byte blocks.
//
// The first input byte chooses how the rest becomes the block: even, the
// bytes themselves; odd, each byte picks a character from a list that holds
// what the decoding treats specially (zero, spaces, digits, signs, white
// space, characters beyond GBK, surrogates). Every decoded record must
// satisfy the decoding's promises; a broken one aborts.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <set>
#include <string>

#include "carddata/NationNames.h"
#include "carddata/TextBlockDecoder.h"
#include "platform/CodePage.h"

namespace {

constexpr char16_t kInteresting[] = {
    0,      u' ',   u'0',   u'1',   u'2',   u'5',   u'7',   u'8',   u'9',   u'+',   u'-',  u'\t',
    u'\n',  u'A',   0x3000, 0x5F20, 0x4C9C, 0x00A0, 0xFEFF, 0xFFFF, 0xD800, 0xDBFF, 0xDC00, 0xDFFF,
    u'I',   u'J',
};

void fail(const char* what) {
    std::fprintf(stderr, "text block fuzz: %s\n", what);
    std::abort();
}

const std::set<std::string>& nationNames() {
    static const std::set<std::string> names = [] {
        std::set<std::string> all{""};
        for (int code = -10; code <= 100; ++code) all.insert(carddata::nationName(code));
        return all;
    }();
    return names;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    unsigned char block[carddata::kTextBlockSize] = {};
    if (size > 0 && (data[0] & 1) != 0) {
        for (std::size_t i = 0; i < carddata::kTextBlockSize / 2 && i + 1 < size; ++i) {
            const char16_t c = kInteresting[data[i + 1] % std::size(kInteresting)];
            block[2 * i] = static_cast<unsigned char>(c & 0xFF);
            block[2 * i + 1] = static_cast<unsigned char>(c >> 8);
        }
    } else if (size > 0) {
        std::memcpy(block, data + 1, size - 1 < sizeof block ? size - 1 : sizeof block);
    }

    carddata::IdentityRecord record;
    record.identityPic = "untouched";
    carddata::decodeTextBlock(record, block);

    const bool unknownType = record.type == carddata::CardType::Unknown;
    if (record.gender != (unknownType ? -1 : record.gender == 0 ? 0 : 1)) fail("gender is neither 0 nor 1");
    if (nationNames().count(record.nation) == 0) fail("nation is not a name of the table");
    if (record.identityPic != "untouched") fail("a field outside the texts changed");
    if (record.cardType.size() != (record.type == carddata::CardType::Resident ? 0u : 1u)) {
        fail("the card type's mark is not one letter");
    }
    const carddata::TextBlockLayout* layout = nullptr;
    for (const carddata::TextBlockLayout& candidate : carddata::kTextBlockLayouts) {
        if (candidate.type == record.type) layout = &candidate;
    }
    if (layout == nullptr) fail("a card type without a layout");
    for (const carddata::TextBlockField& field : layout->fields) {
        if (field.text == nullptr || field.decoding != carddata::FieldDecoding::Text) continue;
        const std::string& text = record.*field.text;
        if (!text.empty() && text.back() == ' ') fail("a trailing space was kept");
        if (text.find('\0') != std::string::npos) fail("a text holds a zero byte");
        if (platform::ansiToWide(text).size() > field.characters) fail("a text is longer than its field");
    }
    return 0;
}
