#include "reader/CardRead.h"

#include <span>
#include <utility>

#include "cardface/Base64Encoder.h"
#include "cardface/CardFaceComposer.h"
#include "cardface/PortraitText.h"
#include "carddata/PortraitDecoder.h"
#include "carddata/TextBlockDecoder.h"
#include "platform/Exceptions.h"
#include "reader/ReaderLibrary.h"
#include "reader/Session.h"

namespace reader {
namespace {

constexpr int kFindBufferSize = 4;
constexpr int kSelectBufferSize = 8;

TextBlockDecoder textBlockDecoder = carddata::decodeTextBlock;

// The code for libraries that are not ready or a closed session, or 0.
int sessionState() {
    const ReaderLibrary& library = readerLibrary();
    if (!library.librariesReady) return kCardNotReady;
    if (!library.connected) return kCardNotConnected;
    return kCardOk;
}

// The portrait as Base64 JPEG, then both faces composed and encoded. A
// framework failure ends this with the images made so far.
void produceImages(carddata::IdentityRecord& record) {
    platform::runGuarded([&] {
        record.identityPic = cardface::encodePortraitText(record.portraitBitmap);
        // Both streams come from buffers the composer keeps (each up to
        // kFaceBufferSize bytes); only their Base64 texts leave.
        cardface::CardFaceComposer::composeStreams(
            record.textBlock, record.portraitBitmap,
            [&](std::span<const std::uint8_t> front, std::span<const std::uint8_t> back) {
                record.base64ID_PicFront = cardface::Base64Encoder::encode(front);
                record.base64ID_PicBack = cardface::Base64Encoder::encode(back);
            });
    });
}

}  // namespace

TextBlockDecoder setTextBlockDecoder(TextBlockDecoder decoder) {
    return std::exchange(textBlockDecoder, decoder != nullptr ? decoder : carddata::decodeTextBlock);
}

int findCard() {
    if (const int state = sessionState(); state != kCardOk) return state;
    unsigned char buffer[kFindBufferSize] = {};
    const ReaderLibrary& library = readerLibrary();
    return library.SDT_StartFindIDCard(library.currentPort, buffer, kCallFlag) == kStatusCardFound ? kCardOk
                                                                                                   : kCardFailed;
}

int selectCard() {
    if (const int state = sessionState(); state != kCardOk) return state;
    unsigned char buffer[kSelectBufferSize] = {};
    const ReaderLibrary& library = readerLibrary();
    return library.SDT_SelectIDCard(library.currentPort, buffer, kCallFlag) == kStatusSuccess ? kCardOk : kCardFailed;
}

int readCard(carddata::IdentityRecord& record) {
    if (const int state = sessionState(); state != kCardOk) return state;
    const ReaderLibrary& library = readerLibrary();
    // The reported lengths are not used afterwards: the whole buffers are decoded.
    std::uint32_t textLength = 0;
    std::uint32_t photoLength = 0;
    std::uint32_t fingerprintLength = 0;
    int result = library.SDT_ReadBaseFPMsg(library.currentPort, record.textBlock, &textLength, record.photoData,
                                           &photoLength, record.fingerprintData, &fingerprintLength, kCallFlag);
    if (result == kStatusUsePlainRead) {
        result = library.SDT_ReadBaseMsg(library.currentPort, record.textBlock, &textLength, record.photoData,
                                         &photoLength, kCallFlag);
    }
    if (result != kStatusSuccess) return kCardFailed;

    textBlockDecoder(record, record.textBlock);
    if (carddata::decodePortrait(record.photoData, record.portraitBitmap) != carddata::kPortraitDecoded) {
        return kCardOk;
    }
    produceImages(record);
    return kCardOk;
}

}  // namespace reader
