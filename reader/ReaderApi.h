// The functions the control binds from the three reader libraries, with the
// arguments its callers pass: a port first, buffers owned by the caller, the
// integer 1 last where the call has it. Every argument and result is a 32-bit
// value (pointers aside); on 32-bit Windows the callee removes the arguments.
#pragma once

#include <cstdint>

#if defined(_WIN32)
#define READER_API __stdcall
#else
#define READER_API
#endif

namespace reader {

// Library status codes the callers rely on.
inline constexpr int kStatusSuccess = 144;     // 0x90
inline constexpr int kStatusCardFound = 159;   // 0x9F
inline constexpr int kStatusUsePlainRead = 33;  // 0x21, from the fingerprint-capable read

// Buffer sizes of the card read.
inline constexpr int kTextBlockSize = 256;
inline constexpr int kPhotoDataSize = 1024;
inline constexpr int kFingerprintDataSize = 1024;
inline constexpr int kSamIdBufferSize = 40;

using SdtOpenPortFn = int(READER_API*)(int port);
using SdtClosePortFn = int(READER_API*)(int port);
using SdtStartFindIdCardFn = int(READER_API*)(int port, unsigned char* buffer4, int flag);
using SdtSelectIdCardFn = int(READER_API*)(int port, unsigned char* buffer8, int flag);
using SdtReadBaseMsgFn = int(READER_API*)(int port, unsigned char* text, std::uint32_t* textLength,
                                          unsigned char* photo, std::uint32_t* photoLength, int flag);
using SdtReadBaseFpMsgFn = int(READER_API*)(int port, unsigned char* text, std::uint32_t* textLength,
                                            unsigned char* photo, std::uint32_t* photoLength,
                                            unsigned char* fingerprint, std::uint32_t* fingerprintLength,
                                            int flag);
using SdtReadNewAppMsgFn = int(READER_API*)(int port, unsigned char* buffer, std::uint32_t* length, int flag);
using SdtGetSamStatusFn = int(READER_API*)(int port, int flag);
using SdtGetSamIdFn = int(READER_API*)(int port, unsigned char* buffer, int flag);
using SdtGetSamIdToStrFn = int(READER_API*)(int port, char* buffer40, int flag);
using SdtSetMaxRfByteFn = int(READER_API*)(int port, int maxBytes, int flag);
using UnpackFn = int(READER_API*)(char* source, unsigned char* target, int flag);
// Path of the compressed portrait file and the integer 2; 1 means the bitmap
// stands beside it with the extension bmp.
using GetBmpFn = int(READER_API*)(char* path, int flag);

}  // namespace reader
