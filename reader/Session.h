// The reader session: finding the port a reader answers on, closing it, and
// asking the security module for its status and identifier. Each operation
// returns a small signed code; the session state (`connected`,
// `currentPort`) lives in the ReaderLibrary and is shared by all controls.
#pragma once

#include <array>
#include <cstdint>

#include "reader/ReaderApi.h"

namespace reader {

// Codes of the session operations.
inline constexpr int kSessionOk = 0;
inline constexpr int kSessionLibraryFailure = 1;  // closeSession, querySamId
inline constexpr int kSessionNotConnected = -1;    // also openSession: no reader found
inline constexpr int kSessionNotReady = -2;

// The ports searched after the remembered one, in order.
inline constexpr std::array<int, 21> kSearchPorts = {1001, 1002, 1003, 1004, 1005, 1,  2,  3,  4,  5, 6,
                                                     7,    8,    9,    10,   11,   12, 13, 14, 15, 16};
inline constexpr int kMaxRfBytes = 120;
inline constexpr int kCallFlag = 1;
// The status probe's answer that counts as an open session without tuning.
inline constexpr int kProbeOpenUntuned = 0;

// Probes the remembered port, then the search ports. 0 open (or already open
// and nothing answered), -1 no reader, -2 libraries not ready.
int openSession();
// 0 closed, 1 the library reported a failure (closed all the same),
// -1 not connected, -2 libraries not ready.
int closeSession();
// -2 libraries not ready, -1 not connected, else the library's status code.
int querySamStatus();
// Zero-fills `buffer` first. 0 identifier in the buffer, 1 the library failed
// (the buffer keeps what it wrote), -1 not connected, -2 libraries not ready.
int querySamId(char (&buffer)[kSamIdBufferSize]);

}  // namespace reader
