#include "cardface/JpegMemoryEncoder.h"

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

#include <jpeglib.h>

namespace cardface {
namespace {

constexpr int kComponents = 3;
// Where the compressor's output goes once the caller's buffer is full. The
// library asks for room as soon as the last free byte is used, even when the
// stream then ends, so an exactly fitting stream passes through here without
// writing into it; any byte that lands here means the stream did not fit.
constexpr std::size_t kSpillBytes = 256;

enum JumpReason : int { kNoJump = 0, kLibraryError = 1, kBufferOverflow = 2, kNoMemory = 3 };

// The first size of a growing output that has none yet: a card face stream
// is about 14 KB.
constexpr std::size_t kInitialGrowth = 32 * 1024;

// Everything the callbacks reach, found through cinfo.client_data. It holds
// only trivial members: the compressor leaves its frames by longjmp.
struct EncodeContext {
    jpeg_error_mgr errorManager;
    jpeg_destination_mgr destination;
    std::jmp_buf failure;
    int jumpReason;
    std::uint8_t* start;
    std::size_t capacity;
    // A growing output: its vector and the size it may reach; null for the
    // caller's fixed buffer.
    std::vector<std::uint8_t>* growing;
    std::size_t limit;
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

// Grows a growing output towards its limit; false when it may not grow or
// there is no memory (no exception may cross the compressor's frames).
bool grow(EncodeContext& ctx) {
    if (ctx.growing == nullptr || ctx.capacity >= ctx.limit) return false;
    const std::size_t size = std::min(ctx.limit, std::max(2 * ctx.capacity, kInitialGrowth));
    bool grown = true;
    try {
        if (ctx.growing->size() < size) ctx.growing->resize(size);
    } catch (...) {
        grown = false;
    }
    if (!grown) leave(ctx, kNoMemory);
    ctx.start = ctx.growing->data();
    ctx.destination.next_output_byte = ctx.start + ctx.capacity;
    ctx.destination.free_in_buffer = size - ctx.capacity;
    ctx.capacity = size;
    return true;
}

boolean onBufferFull(j_compress_ptr cinfo) {
    EncodeContext& ctx = contextOf(reinterpret_cast<j_common_ptr>(cinfo));
    if (ctx.spilled) leave(ctx, kBufferOverflow);
    if (!grow(ctx)) spillInto(ctx);
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

struct Source {
    int width;
    int height;
    J_COLOR_SPACE colourSpace;
    int batch;
    const JpegMemoryEncoder::RowSupplier* supply;
};

// Runs the compressor; returns the reason it was left early, or kNoJump.
// No object with a destructor lives in this frame, so leaving it by longjmp
// is sound.
int compress(EncodeContext& ctx, jpeg_compress_struct& cinfo, const Source& source) {
    ctx.jumpReason = kNoJump;
    if (setjmp(ctx.failure) != 0) return ctx.jumpReason;

    jpeg_create_compress(&cinfo);
    cinfo.image_width = static_cast<JDIMENSION>(source.width);
    cinfo.image_height = static_cast<JDIMENSION>(source.height);
    cinfo.input_components = kComponents;
    cinfo.in_color_space = source.colourSpace;
    jpeg_set_defaults(&cinfo);
    cinfo.dest = &ctx.destination;
    jpeg_set_quality(&cinfo, JpegMemoryEncoder::kQuality, TRUE);
    jpeg_start_compress(&cinfo, TRUE);

    const std::uint8_t* rows[JpegMemoryEncoder::kRowBatch];
    for (int first = 0; first < source.height; first += source.batch) {
        const int count = std::min(source.batch, source.height - first);
        (*source.supply)(first, count, rows);
        // The compressor only reads the rows it is handed.
        jpeg_write_scanlines(&cinfo, const_cast<JSAMPARRAY>(rows), static_cast<JDIMENSION>(count));
    }
    jpeg_finish_compress(&cinfo);
    return kNoJump;
}

// Runs one encoding into the context's output; the written bytes, or 0 after
// a failure (the bytes it wrote are cleared).
std::size_t run(EncodeContext& ctx, const Source& source) {
    ctx.destination.init_destination = onInitDestination;
    ctx.destination.empty_output_buffer = onBufferFull;
    ctx.destination.term_destination = onTermDestination;
    // Nothing counts as written should the compressor fail before it starts.
    ctx.destination.next_output_byte = ctx.start;
    ctx.destination.free_in_buffer = ctx.capacity;

    jpeg_compress_struct cinfo{};
    cinfo.err = jpeg_std_error(&ctx.errorManager);
    ctx.errorManager.error_exit = onLibraryError;
    cinfo.client_data = &ctx;

    const int reason = compress(ctx, cinfo, source);
    jpeg_destroy_compress(&cinfo);

    const std::size_t written = bytesInBuffer(ctx);
    if (reason != kNoJump || streamOverflowed(ctx)) {
        // Leave no partial stream behind that could pass for an image.
        if (written > 0) std::memset(ctx.start, 0, written);
        return 0;
    }
    return written;
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
    EncodeContext ctx{};
    ctx.start = out.data();
    ctx.capacity = std::min(out.size(), static_cast<std::size_t>(INT32_MAX));

    // One row at a time, exchanged in place just before it is compressed.
    const RowSupplier supply = [&](int first, int, const std::uint8_t** rows) {
        const int sourceRow = bottomUp ? height - 1 - first : first;
        std::uint8_t* row = pixels.data() + stride * static_cast<std::size_t>(sourceRow);
        if (bgrOrder) {
            for (int x = 0; x < width; ++x) std::swap(row[kComponents * x], row[kComponents * x + 2]);
        }
        rows[0] = row;
    };
    const std::size_t written = run(ctx, Source{width, height, JCS_RGB, 1, &supply});
    if (written == 0) return false;
    outLength = static_cast<std::int32_t>(written);
    return true;
}

bool JpegMemoryEncoder::encodeRows(int width, int height, ChannelOrder order,
                                   const RowSupplier& supply, std::vector<std::uint8_t>& out,
                                   std::size_t limit, std::size_t& length) {
    length = 0;
    // A length that could not be reported is as bad as one that cannot fit.
    limit = std::min(limit, static_cast<std::size_t>(INT32_MAX));
    try {
        if (out.size() < std::min(limit, kInitialGrowth)) out.resize(std::min(limit, kInitialGrowth));
    } catch (const std::bad_alloc&) {
        return false;
    }
    EncodeContext ctx{};
    ctx.start = out.data();
    ctx.capacity = std::min(out.size(), limit);
    ctx.growing = &out;
    ctx.limit = limit;

#ifdef JCS_EXTENSIONS
    const J_COLOR_SPACE space = order == ChannelOrder::BlueGreenRed ? JCS_EXT_BGR : JCS_RGB;
    const Source source{width, height, space, kRowBatch, &supply};
    length = run(ctx, source);
#else
    // A compressor without channel-order extensions gets red-green-blue copies.
    std::vector<std::uint8_t> swapped;
    std::vector<const std::uint8_t*> taken(kRowBatch);
    const RowSupplier swapping = [&](int first, int count, const std::uint8_t** rows) {
        supply(first, count, taken.data());
        for (int r = 0; r < count; ++r) {
            std::uint8_t* copy = swapped.data() + static_cast<std::size_t>(r) * width * kComponents;
            for (int x = 0; x < width; ++x) {
                copy[kComponents * x] = taken[r][kComponents * x + 2];
                copy[kComponents * x + 1] = taken[r][kComponents * x + 1];
                copy[kComponents * x + 2] = taken[r][kComponents * x];
            }
            rows[r] = copy;
        }
    };
    const bool swap = order == ChannelOrder::BlueGreenRed;
    if (swap && width > 0) {
        try {
            swapped.resize(static_cast<std::size_t>(width) * kComponents * kRowBatch);
        } catch (const std::bad_alloc&) {
            return false;
        }
    }
    length = run(ctx, Source{width, height, JCS_RGB, kRowBatch, swap ? &swapping : &supply});
#endif
    return length > 0;
}

}  // namespace cardface
