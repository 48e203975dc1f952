#include "cardface/JpegMemoryEncoder.h"

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <utility>

#include <jpeglib.h>

namespace cardface {
namespace {

constexpr int kComponents = 3;
// Where the compressor's output goes once the caller's buffer is full. The
// library asks for room as soon as the last free byte is used, even when the
// stream then ends, so an exactly fitting stream passes through here without
// writing into it; any byte that lands here means the stream did not fit.
constexpr std::size_t kSpillBytes = 256;

enum JumpReason : int { kNoJump = 0, kLibraryError = 1, kBufferOverflow = 2 };

// Everything the callbacks reach, found through cinfo.client_data. It holds
// only trivial members: the compressor leaves its frames by longjmp.
struct EncodeContext {
    jpeg_error_mgr errorManager;
    jpeg_destination_mgr destination;
    std::jmp_buf failure;
    int jumpReason;
    std::uint8_t* start;
    std::size_t capacity;
    bool spilled;
    JOCTET spill[kSpillBytes];
};

EncodeContext& contextOf(j_common_ptr cinfo) {
    return *static_cast<EncodeContext*>(cinfo->client_data);
}

[[noreturn]] void leave(EncodeContext& ctx, JumpReason reason) {
    ctx.jumpReason = reason;
    std::longjmp(ctx.failure, 1);
}

// The library's own message still goes to standard error; then this one
// encoding is abandoned instead of the process.
[[noreturn]] void onLibraryError(j_common_ptr cinfo) {
    (*cinfo->err->output_message)(cinfo);
    leave(contextOf(cinfo), kLibraryError);
}

void spillInto(EncodeContext& ctx) {
    ctx.spilled = true;
    ctx.destination.next_output_byte = ctx.spill;
    ctx.destination.free_in_buffer = kSpillBytes;
}

void onInitDestination(j_compress_ptr cinfo) {
    EncodeContext& ctx = contextOf(reinterpret_cast<j_common_ptr>(cinfo));
    ctx.destination.next_output_byte = ctx.start;
    ctx.destination.free_in_buffer = ctx.capacity;
    ctx.spilled = false;
    if (ctx.capacity == 0) spillInto(ctx);
}

boolean onBufferFull(j_compress_ptr cinfo) {
    EncodeContext& ctx = contextOf(reinterpret_cast<j_common_ptr>(cinfo));
    if (ctx.spilled) leave(ctx, kBufferOverflow);
    spillInto(ctx);
    return TRUE;
}

void onTermDestination(j_compress_ptr) {}

std::size_t bytesInBuffer(const EncodeContext& ctx) {
    if (ctx.spilled) return ctx.capacity;
    return ctx.capacity - ctx.destination.free_in_buffer;
}

bool streamOverflowed(const EncodeContext& ctx) {
    return ctx.spilled && ctx.destination.free_in_buffer < kSpillBytes;
}

struct RowSource {
    std::uint8_t* pixels;
    std::size_t stride;
    int width;
    int height;
    bool bgrOrder;
    bool bottomUp;
};

// Runs the compressor; returns the reason it was left early, or kNoJump.
// No object with a destructor lives in this frame, so leaving it by longjmp
// is sound.
int compress(EncodeContext& ctx, jpeg_compress_struct& cinfo, const RowSource& rows) {
    ctx.jumpReason = kNoJump;
    if (setjmp(ctx.failure) != 0) return ctx.jumpReason;

    jpeg_create_compress(&cinfo);
    cinfo.image_width = static_cast<JDIMENSION>(rows.width);
    cinfo.image_height = static_cast<JDIMENSION>(rows.height);
    cinfo.input_components = kComponents;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);
    cinfo.dest = &ctx.destination;
    jpeg_set_quality(&cinfo, JpegMemoryEncoder::kQuality, TRUE);
    jpeg_start_compress(&cinfo, TRUE);

    for (int i = 0; i < rows.height; ++i) {
        const int sourceRow = rows.bottomUp ? rows.height - 1 - i : i;
        std::uint8_t* row = rows.pixels + rows.stride * static_cast<std::size_t>(sourceRow);
        if (rows.bgrOrder) {
            for (int x = 0; x < rows.width; ++x) {
                std::swap(row[kComponents * x], row[kComponents * x + 2]);
            }
        }
        JSAMPROW scanline[1] = {row};
        jpeg_write_scanlines(&cinfo, scanline, 1);
    }
    jpeg_finish_compress(&cinfo);
    return kNoJump;
}

}  // namespace

std::size_t JpegMemoryEncoder::rowStride(int width, bool rowsPadded) {
    if (width <= 0) return 0;
    const std::size_t bytes = static_cast<std::size_t>(width) * kComponents;
    return rowsPadded ? (bytes + 3) / 4 * 4 : bytes;
}

bool JpegMemoryEncoder::encode(int width, int height, std::span<std::uint8_t> pixels,
                               std::span<std::uint8_t> out, std::int32_t& outLength,
                               bool rowsPadded, bool bgrOrder, bool bottomUp) {
    outLength = 0;
    const std::size_t stride = rowStride(width, rowsPadded);
    // The rows read: all but the last span a full stride, the last its pixels.
    if (width > 0 && height > 0) {
        const std::size_t needed = stride * static_cast<std::size_t>(height - 1) +
                                   static_cast<std::size_t>(width) * kComponents;
        if (pixels.size() < needed) return false;
    }
    // A length that could not be reported is as bad as one that cannot fit.
    const std::size_t capacity =
        std::min(out.size(), static_cast<std::size_t>(INT32_MAX));

    EncodeContext ctx{};
    ctx.start = out.data();
    ctx.capacity = capacity;
    ctx.destination.init_destination = onInitDestination;
    ctx.destination.empty_output_buffer = onBufferFull;
    ctx.destination.term_destination = onTermDestination;
    // Nothing counts as written should the compressor fail before it starts.
    ctx.destination.next_output_byte = ctx.start;
    ctx.destination.free_in_buffer = capacity;

    jpeg_compress_struct cinfo{};
    cinfo.err = jpeg_std_error(&ctx.errorManager);
    ctx.errorManager.error_exit = onLibraryError;
    cinfo.client_data = &ctx;

    const RowSource rows{pixels.data(), stride, width, height, bgrOrder, bottomUp};
    const int reason = compress(ctx, cinfo, rows);
    jpeg_destroy_compress(&cinfo);

    const std::size_t written = bytesInBuffer(ctx);
    if (reason != kNoJump || streamOverflowed(ctx)) {
        // Leave no partial stream behind that could pass for an image.
        if (written > 0) std::memset(out.data(), 0, written);
        return false;
    }
    outLength = static_cast<std::int32_t>(written);
    return true;
}

}  // namespace cardface
