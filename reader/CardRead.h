// The card read sequence on an open reader session: search for a card,
// select it, read it into an IdentityRecord and complete the record (texts,
// portrait, the portrait as Base64 JPEG, both card faces as Base64 JPEG).
//
// Each step returns 0 on success, -1 when the reader said no, -2 when the
// session is closed and -3 when the libraries are not ready; nothing here
// changes the session state. A portrait that cannot be decoded, or images
// that cannot be made, still give a successful read without those images.
#pragma once

#include <cstdint>

#include "carddata/IdentityRecord.h"

namespace reader {

inline constexpr int kCardOk = 0;
inline constexpr int kCardFailed = -1;
inline constexpr int kCardNotConnected = -2;
inline constexpr int kCardNotReady = -3;

// Bytes of the buffer each card face is compressed into.
inline constexpr std::int32_t kFaceBufferSize = 436614;

int findCard();
int selectCard();
// Reads the card into `record`. A framework failure while the text block is
// decoded propagates to the caller.
int readCard(carddata::IdentityRecord& record);

// The text block decoder the read uses; replaceable so tests can make the
// decoding fail.
using TextBlockDecoder = void (*)(carddata::IdentityRecord&, const unsigned char (&)[carddata::kTextBlockSize]);
TextBlockDecoder setTextBlockDecoder(TextBlockDecoder decoder);

}  // namespace reader
