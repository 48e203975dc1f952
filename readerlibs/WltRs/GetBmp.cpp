// Stand-in for the portrait decoder.
//
// `GetBmp(path, 2)` reads the 1024-byte compressed portrait in `path` and
// writes the decoded 102 x 126, 24-bit, bottom-up BMP file of 38,862 bytes
// beside it: same directory and base name, extension "bmp". It answers:
//    1  the bitmap has been written
//    0  the portrait data is malformed (nothing written)
//   -1  the input cannot be read (nothing written)
//   -2  the bitmap cannot be written (nothing left behind)
//   -3  a mode other than 2
//
// The compressed portrait: a 6-byte header (the magic "IVPT", then the
// payload length as a little-endian 16-bit number), the payload, zero
// padding to 1024 bytes. The payload is a baseline JPEG of exactly
// 102 x 126 pixels, greyscale or colour. Everything else (another magic, a
// payload longer than the data, another size, a progressive or damaged or
// cut stream, one that makes the JPEG library warn) is malformed.
#include <csetjmp>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>

#include <jpeglib.h>  // after <cstdio>: it needs FILE and size_t

#include "reader/ReaderApi.h"

#if defined(_WIN32)
#define WLTRS_EXPORT extern "C"  // exported by WltRs.def
#else
#define WLTRS_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {

constexpr int kResultDecoded = 1;
constexpr int kResultMalformed = 0;
constexpr int kResultUnreadable = -1;
constexpr int kResultUnwritable = -2;
constexpr int kResultBadMode = -3;
constexpr int kMode = 2;

constexpr std::size_t kCompressedSize = 1024;
constexpr unsigned char kMagic[4] = {'I', 'V', 'P', 'T'};
constexpr std::size_t kHeaderSize = 6;
constexpr std::size_t kMaxPayload = kCompressedSize - kHeaderSize;

constexpr int kWidth = 102;
constexpr int kHeight = 126;
constexpr std::size_t kBitmapHeaderSize = 54;
constexpr std::size_t kRowSize = (kWidth * 3 + 3) / 4 * 4;
constexpr std::size_t kBitmapSize = kBitmapHeaderSize + kRowSize * kHeight;
static_assert(kBitmapSize == 38862);

// libjpeg reports errors through this manager: an error or a warning (a
// damaged or cut stream only warns) ends decoding by a jump back into
// decodeJpeg.
struct ErrorManager {
    jpeg_error_mgr base;
    std::jmp_buf jump;
};

[[noreturn]] void failDecoding(j_common_ptr info) {
    std::longjmp(reinterpret_cast<ErrorManager*>(info->err)->jump, 1);
}

void onMessage(j_common_ptr info, int level) {
    if (level < 0) failDecoding(info);  // a warning; trace messages (>= 0) are ignored
}

// Decodes the payload into the pixel rows of `bitmap` (from byte 54 on,
// bottom row first, blue-green-red). Only plain data lives in this frame, as
// the error jump requires.
bool decodeJpeg(const unsigned char* payload, std::size_t size, unsigned char* bitmap) {
    jpeg_decompress_struct info;
    ErrorManager errors;
    info.err = jpeg_std_error(&errors.base);
    errors.base.error_exit = failDecoding;
    errors.base.emit_message = onMessage;
    if (setjmp(errors.jump) != 0) {
        jpeg_destroy_decompress(&info);
        return false;
    }
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, payload, static_cast<unsigned long>(size));
    if (jpeg_read_header(&info, TRUE) != JPEG_HEADER_OK || info.image_width != JDIMENSION{kWidth} ||
        info.image_height != JDIMENSION{kHeight} || info.progressive_mode ||
        (info.num_components != 1 && info.num_components != 3)) {
        jpeg_destroy_decompress(&info);
        return false;
    }
    info.out_color_space = JCS_RGB;
    jpeg_start_decompress(&info);
    if (info.output_width != JDIMENSION{kWidth} || info.output_height != JDIMENSION{kHeight} ||
        info.output_components != 3) {
        jpeg_destroy_decompress(&info);
        return false;
    }
    unsigned char line[kWidth * 3];
    while (info.output_scanline < info.output_height) {
        JSAMPROW row = line;
        const JDIMENSION y = info.output_scanline;
        if (jpeg_read_scanlines(&info, &row, 1) != 1) {
            jpeg_destroy_decompress(&info);
            return false;
        }
        unsigned char* target = bitmap + kBitmapHeaderSize + kRowSize * (kHeight - 1 - y);
        for (int x = 0; x < kWidth; ++x) {
            target[3 * x] = line[3 * x + 2];
            target[3 * x + 1] = line[3 * x + 1];
            target[3 * x + 2] = line[3 * x];
        }
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    return true;
}

void put16(unsigned char* at, unsigned value) {
    at[0] = static_cast<unsigned char>(value);
    at[1] = static_cast<unsigned char>(value >> 8);
}
void put32(unsigned char* at, unsigned value) {
    put16(at, value & 0xFFFF);
    put16(at + 2, value >> 16);
}

// File header and information header of the bitmap; the padding bytes of
// the rows are zero.
void writeBitmapHeader(unsigned char* bitmap) {
    std::memset(bitmap, 0, kBitmapSize);
    bitmap[0] = 'B';
    bitmap[1] = 'M';
    put32(bitmap + 2, kBitmapSize);
    put32(bitmap + 10, kBitmapHeaderSize);
    put32(bitmap + 14, 40);  // information header size
    put32(bitmap + 18, kWidth);
    put32(bitmap + 22, kHeight);  // positive: bottom row first
    put16(bitmap + 26, 1);        // planes
    put16(bitmap + 28, 24);       // bits per pixel
    put32(bitmap + 34, static_cast<unsigned>(kRowSize * kHeight));
}

// "dir/name.ext" -> "dir/name.bmp"; a name without extension gets one.
std::string bitmapPathFor(const std::string& path) {
#if defined(_WIN32)
    const std::size_t slash = path.find_last_of("\\/");
#else
    const std::size_t slash = path.find_last_of('/');
#endif
    const std::size_t dot = path.find_last_of('.');
    const bool hasExtension = dot != std::string::npos && (slash == std::string::npos || dot > slash);
    return (hasExtension ? path.substr(0, dot) : path) + ".bmp";
}

int decodeFile(const char* path) {
    unsigned char compressed[kCompressedSize] = {};
    std::FILE* input = std::fopen(path, "rb");
    if (input == nullptr) return kResultUnreadable;
    const std::size_t size = std::fread(compressed, 1, sizeof compressed, input);
    std::fclose(input);

    if (size < kHeaderSize || std::memcmp(compressed, kMagic, sizeof kMagic) != 0) return kResultMalformed;
    const std::size_t payloadSize = compressed[4] | (compressed[5] << 8);
    if (payloadSize == 0 || payloadSize > kMaxPayload || kHeaderSize + payloadSize > size) return kResultMalformed;

    unsigned char bitmap[kBitmapSize];
    writeBitmapHeader(bitmap);
    if (!decodeJpeg(compressed + kHeaderSize, payloadSize, bitmap)) return kResultMalformed;

    const std::string bitmapPath = bitmapPathFor(path);
    std::FILE* output = std::fopen(bitmapPath.c_str(), "wb");
    if (output == nullptr) return kResultUnwritable;
    const bool written = std::fwrite(bitmap, 1, kBitmapSize, output) == kBitmapSize;
    if (std::fclose(output) != 0 || !written) {
        std::remove(bitmapPath.c_str());
        return kResultUnwritable;
    }
    return kResultDecoded;
}

}  // namespace

WLTRS_EXPORT int READER_API GetBmp(char* path, int mode) {
    if (mode != kMode) return kResultBadMode;
    if (path == nullptr) return kResultUnreadable;
    try {
        return decodeFile(path);
    } catch (...) {
        return kResultUnreadable;  // only building the output path allocates
    }
}
