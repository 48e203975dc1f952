#include "cardface/ColourConverter.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

// The SSSE3 path on x86-64, where SSE2 is part of the ABI; 32-bit builds
// (the Windows module) take the portable path.
#if defined(__GNUC__) && defined(__x86_64__)
#define IVEL_COLOUR_SSSE3 1
#include <immintrin.h>
#endif

namespace cardface {
namespace {

// The conversion tables: entry i of a table is trunc(k × 128 × (i − o)).
// Coefficients are held in hundred-thousandths so the tables are exact.
enum Table : int {
    TY_R, TY_G, TY_B,  // Y from R, G, B
    TU_R, TU_G,        // subtracted for U
    TV_G, TV_B,        // subtracted for V
    TR_V,              // R from V
    TB_U,              // B from U
    TG_U, TG_V,        // subtracted for G
    kTableCount
};

struct TableCoefficients {
    std::int64_t kScaled;  // k × 100000
    int offset;
};

constexpr std::int64_t kCoefficientScale = 100000;
constexpr std::int64_t kFixedOne = 128;

constexpr std::array<TableCoefficients, kTableCount> kTableCoefficients{{
    {29900, 0}, {58700, 0}, {11400, 0},
    {16874, 0}, {33126, 0},
    {41869, 0}, {8131, 0},
    {140200, 128},
    {177200, 128},
    {34414, 128}, {71414, 128},
}};

using ConversionTable = std::array<std::int16_t, 256>;

constexpr std::array<ConversionTable, kTableCount> buildTables() {
    std::array<ConversionTable, kTableCount> tables{};
    for (int t = 0; t < kTableCount; ++t) {
        for (int i = 0; i < 256; ++i) {
            // Integer division truncates toward zero, as the tables require.
            tables[t][i] = static_cast<std::int16_t>(
                kTableCoefficients[t].kScaled * kFixedOne * (i - kTableCoefficients[t].offset) /
                kCoefficientScale);
        }
    }
    return tables;
}

constexpr std::array<ConversionTable, kTableCount> kTables = buildTables();

// 128.5 × 128: centres U and V on 128 and rounds the shifted result.
constexpr int kChromaBias = 16448;
constexpr int kRoundHalf = 64;
constexpr int kShift = 7;

constexpr std::uint8_t clampByte(int v) {
    return static_cast<std::uint8_t>(std::clamp(v, 0, 255));
}

constexpr int tableAt(Table t, std::uint8_t index) { return kTables[t][index]; }

// The luminance tables add up to 0 for black and to less than 256 × 128 for
// white, so luminance never needs clamping.
constexpr bool kLumaInRange =
    tableAt(TY_R, 0) + tableAt(TY_G, 0) + tableAt(TY_B, 0) >= 0 &&
    ((tableAt(TY_R, 255) + tableAt(TY_G, 255) + tableAt(TY_B, 255) + 64) >> 7) <= 255;
static_assert(kLumaInRange);

// clampByte over the whole range a shifted colour sum can take (luminance
// 0 to 255 plus or minus the largest table entry, shifted): indexing this
// table replaces the comparisons in the per-pixel loop.
constexpr int kClipOffset = 512;
constexpr std::array<std::uint8_t, 2 * kClipOffset> kClip = [] {
    std::array<std::uint8_t, 2 * kClipOffset> clip{};
    for (int i = 0; i < 2 * kClipOffset; ++i) clip[static_cast<std::size_t>(i)] = clampByte(i - kClipOffset);
    return clip;
}();
static_assert((255 * 128 + 32767) >> 7 < kClipOffset && (-32768 >> 7) >= -kClipOffset);

std::int32_t readInt32(std::span<const std::uint8_t> bytes, std::size_t at) {
    const std::uint32_t v = std::uint32_t{bytes[at]} | (std::uint32_t{bytes[at + 1]} << 8) |
                            (std::uint32_t{bytes[at + 2]} << 16) |
                            (std::uint32_t{bytes[at + 3]} << 24);
    return static_cast<std::int32_t>(v);
}

void writeLe(std::span<std::uint8_t> bytes, std::size_t at, std::uint32_t v, int size) {
    for (int b = 0; b < size; ++b) bytes[at + b] = static_cast<std::uint8_t>(v >> (8 * b));
}

constexpr std::size_t kWidthOffset = 18;
constexpr std::size_t kHeightOffset = 22;
constexpr std::size_t kInfoHeaderSize = 40;
constexpr int kBitsPerPixel = 24;

struct ChromaLayout {
    std::size_t width;  // samples per chroma row
    std::size_t u;      // offset of the U plane
    std::size_t v;      // offset of the V plane
};

ChromaLayout chromaLayout(int width, int height) {
    const std::size_t w = static_cast<std::size_t>(width);
    const std::size_t h = static_cast<std::size_t>(height);
    const std::size_t cw = (w + 1) / 2;
    const std::size_t ch = (h + 1) / 2;
    return {cw, w * h, w * h + cw * ch};
}

// From YUV to a colour channel: (128 × Y + t) >> 7 = Y + (t >> 7), since
// 128 × Y is a multiple of 128 and >> rounds toward minus infinity. Each
// chroma sample thus gives one whole-number step per channel, added to the
// luminance and clamped.
struct ChromaSteps {
    std::int16_t blue;
    std::int16_t green;
    std::int16_t red;
};

ChromaSteps chromaSteps(std::uint8_t u, std::uint8_t v) {
    return {static_cast<std::int16_t>(tableAt(TB_U, u) >> kShift),
            static_cast<std::int16_t>((-tableAt(TG_V, v) - tableAt(TG_U, u)) >> kShift),
            static_cast<std::int16_t>(tableAt(TR_V, v) >> kShift)};
}

// Chroma samples converted to steps at a time; a row is done in pieces of
// twice as many pixels.
constexpr std::size_t kStepRun = 128;

// Steps of one piece, one array per channel (the vector code reads 8 at a
// time).
struct StepRun {
    alignas(16) std::int16_t blue[kStepRun];
    alignas(16) std::int16_t green[kStepRun];
    alignas(16) std::int16_t red[kStepRun];
};

// The steps of a row piece, one array per channel, from the piece's first
// sample on.
struct Steps {
    const std::int16_t* blue;
    const std::int16_t* green;
    const std::int16_t* red;
};

enum class PixelOrder { BlueGreenRed, RedGreenBlue };

// Pixels [from, to) of a piece whose steps start at pixel `base`.
template <PixelOrder order>
void packPortable(const std::uint8_t* yRow, const Steps& steps, std::size_t base,
                  std::size_t from, std::size_t to, std::uint8_t* out) {
    for (std::size_t x = from; x < to; ++x, out += 3) {
        const std::size_t s = (x - base) / 2;
        const int luma = yRow[x];
        const std::uint8_t b = kClip[static_cast<std::size_t>(luma + steps.blue[s] + kClipOffset)];
        const std::uint8_t g = kClip[static_cast<std::size_t>(luma + steps.green[s] + kClipOffset)];
        const std::uint8_t r = kClip[static_cast<std::size_t>(luma + steps.red[s] + kClipOffset)];
        out[0] = order == PixelOrder::BlueGreenRed ? b : r;
        out[1] = g;
        out[2] = order == PixelOrder::BlueGreenRed ? r : b;
    }
}

#ifdef IVEL_COLOUR_SSSE3
// Byte k of the 48 bytes of 16 packed pixels is channel k % 3 of pixel k / 3;
// kInterleave[part][channel] picks, for bytes 16 × part onwards, the pixels of
// that channel (0x80: a zero the other channels fill).
constexpr std::array<std::array<std::array<std::uint8_t, 16>, 3>, 3> kInterleave = [] {
    std::array<std::array<std::array<std::uint8_t, 16>, 3>, 3> masks{};
    for (int part = 0; part < 3; ++part) {
        for (int channel = 0; channel < 3; ++channel) {
            for (int i = 0; i < 16; ++i) {
                const int k = 16 * part + i;
                masks[static_cast<std::size_t>(part)][static_cast<std::size_t>(channel)]
                     [static_cast<std::size_t>(i)] =
                    static_cast<std::uint8_t>(k % 3 == channel ? k / 3 : 0x80);
            }
        }
    }
    return masks;
}();

// 16 pixels: luminance plus the steps of their 8 chroma samples, clamped by
// the saturating pack, then interleaved.
__attribute__((target("ssse3"))) inline __m128i channel16(__m128i lumaLow, __m128i lumaHigh,
                                                           const std::int16_t* steps) {
    const __m128i s = _mm_loadu_si128(reinterpret_cast<const __m128i*>(steps));
    return _mm_packus_epi16(_mm_add_epi16(lumaLow, _mm_unpacklo_epi16(s, s)),
                            _mm_add_epi16(lumaHigh, _mm_unpackhi_epi16(s, s)));
}

template <PixelOrder order>
__attribute__((target("ssse3"))) void packVector(const std::uint8_t* yRow, const Steps& steps,
                                                  std::size_t base, std::size_t from,
                                                  std::size_t to, std::uint8_t* out) {
    const __m128i zero = _mm_setzero_si128();
    std::size_t x = from;
    for (; x + 16 <= to; x += 16, out += 48) {
        const __m128i luma = _mm_loadu_si128(reinterpret_cast<const __m128i*>(yRow + x));
        const __m128i low = _mm_unpacklo_epi8(luma, zero);
        const __m128i high = _mm_unpackhi_epi8(luma, zero);
        const std::size_t s = (x - base) / 2;
        const __m128i b = channel16(low, high, steps.blue + s);
        const __m128i g = channel16(low, high, steps.green + s);
        const __m128i r = channel16(low, high, steps.red + s);
        const __m128i first = order == PixelOrder::BlueGreenRed ? b : r;
        const __m128i third = order == PixelOrder::BlueGreenRed ? r : b;
        for (std::size_t part = 0; part < 3; ++part) {
            const auto mask = [&](std::size_t channel) {
                return _mm_loadu_si128(reinterpret_cast<const __m128i*>(kInterleave[part][channel].data()));
            };
            const __m128i packed = _mm_or_si128(
                _mm_or_si128(_mm_shuffle_epi8(first, mask(0)), _mm_shuffle_epi8(g, mask(1))),
                _mm_shuffle_epi8(third, mask(2)));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16 * part), packed);
        }
    }
    packPortable<order>(yRow, steps, base, x, to, out);
}

bool vectorUnitPresent() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("ssse3") != 0;
}
#else
bool vectorUnitPresent() { return false; }
#endif

std::atomic<bool> vectorUnitInUse{vectorUnitPresent()};

// Packs one or two rows whose steps are known from pixel `base` to `end`.
template <PixelOrder order>
void packRows(const std::uint8_t* const* yRows, std::uint8_t* const* outs, int rows,
              const Steps& steps, std::size_t base, std::size_t end, bool vector) {
    for (int r = 0; r < rows; ++r) {
        std::uint8_t* piece = outs[r] + 3 * base;
#ifdef IVEL_COLOUR_SSSE3
        if (vector) {
            packVector<order>(yRows[r], steps, base, base, end, piece);
            continue;
        }
#endif
        (void)vector;
        packPortable<order>(yRows[r], steps, base, base, end, piece);
    }
}

void workOutSteps(const std::uint8_t* uRow, const std::uint8_t* vRow, std::size_t samples,
                  std::int16_t* blue, std::int16_t* green, std::int16_t* red) {
    for (std::size_t s = 0; s < samples; ++s) {
        const ChromaSteps c = chromaSteps(uRow[s], vRow[s]);
        blue[s] = c.blue;
        green[s] = c.green;
        red[s] = c.red;
    }
}

// One or two image rows that share their chroma rows (one sample per two
// pixels): width pixels each, from the luminance rows, packed into the
// output rows in the given order. The steps are worked out once for both.
template <PixelOrder order>
void convertRows(const std::uint8_t* const* yRows, std::uint8_t* const* outs, int rows,
                 const std::uint8_t* uRow, const std::uint8_t* vRow, std::size_t width) {
    const bool vector = vectorUnitInUse.load(std::memory_order_relaxed);
    StepRun run;
    for (std::size_t base = 0; base < width; base += 2 * kStepRun) {
        const std::size_t end = std::min(width, base + 2 * kStepRun);
        workOutSteps(uRow + base / 2, vRow + base / 2, (end - base + 1) / 2, run.blue, run.green,
                     run.red);
        packRows<order>(yRows, outs, rows, Steps{run.blue, run.green, run.red}, base, end, vector);
    }
}

}  // namespace

// Per chroma row: its U and V samples as last converted, and their steps.
struct ColourConverter::StepMemory::Rows {
    int width = 0;
    int height = 0;
    std::size_t samples = 0;  // per chroma row
    std::vector<std::uint8_t> chroma;  // U then V of each row
    std::vector<std::int16_t> steps;   // blue, green, red of each row
    std::vector<bool> known;
};

namespace {

// As convertRows, with the steps of chroma row `k` taken from `memory` when
// its samples are those it holds, else worked out into it.
template <PixelOrder order>
void convertRowsRemembering(const std::uint8_t* const* yRows, std::uint8_t* const* outs, int rows,
                            const std::uint8_t* uRow, const std::uint8_t* vRow, std::size_t width,
                            ColourConverter::StepMemory::Rows& memory, std::size_t k) {
    const std::size_t n = memory.samples;
    std::uint8_t* chroma = memory.chroma.data() + 2 * n * k;
    std::int16_t* steps = memory.steps.data() + 3 * n * k;
    if (!memory.known[k] || std::memcmp(chroma, uRow, n) != 0 || std::memcmp(chroma + n, vRow, n) != 0) {
        std::memcpy(chroma, uRow, n);
        std::memcpy(chroma + n, vRow, n);
        workOutSteps(uRow, vRow, n, steps, steps + n, steps + 2 * n);
        memory.known[k] = true;
    }
    packRows<order>(yRows, outs, rows, Steps{steps, steps + n, steps + 2 * n}, 0, width,
                    vectorUnitInUse.load(std::memory_order_relaxed));
}

// Converts image rows first .. first + count - 1 of a YUV 4:2:0 image, two
// at a time where they share chroma; outRow(i) is where row i goes. A
// memory made for this image size is used, any other ignored.
template <PixelOrder order, class OutRow>
void convertImageRows(const std::uint8_t* yuv, int width, int height, int first, int count,
                      OutRow&& outRow, ColourConverter::StepMemory::Rows* memory = nullptr) {
    const std::size_t w = static_cast<std::size_t>(width);
    const ChromaLayout c = chromaLayout(width, height);
    if (memory != nullptr && (memory->width != width || memory->height != height)) memory = nullptr;
    for (int i = first; i < first + count;) {
        // Rows 2k and 2k + 1 share chroma row k.
        const int rows = (i % 2 == 0 && i + 1 < first + count) ? 2 : 1;
        const std::size_t chromaRow = c.width * static_cast<std::size_t>(i / 2);
        const std::uint8_t* yRows[2] = {yuv + w * static_cast<std::size_t>(i),
                                        yuv + w * static_cast<std::size_t>(i + rows - 1)};
        std::uint8_t* outs[2] = {outRow(i), outRow(i + rows - 1)};
        if (memory != nullptr) {
            convertRowsRemembering<order>(yRows, outs, rows, yuv + c.u + chromaRow, yuv + c.v + chromaRow,
                                          w, *memory, static_cast<std::size_t>(i / 2));
        } else {
            convertRows<order>(yRows, outs, rows, yuv + c.u + chromaRow, yuv + c.v + chromaRow, w);
        }
        i += rows;
    }
}

}  // namespace

std::size_t ColourConverter::bmpRowStride(int width) {
    if (width <= 0) return 0;
    return (static_cast<std::size_t>(width) * 3 + 3) / 4 * 4;
}

std::size_t ColourConverter::bmpSize(int width, int height) {
    if (width <= 0 || height <= 0) return 0;
    return kBmpHeaderSize + bmpRowStride(width) * static_cast<std::size_t>(height);
}

std::size_t ColourConverter::yuv420Size(int width, int height) {
    if (width <= 0 || height <= 0) return 0;
    const ChromaLayout c = chromaLayout(width, height);
    return c.v + (c.v - c.u);
}

bool ColourConverter::bmpToYuv420(std::span<const std::uint8_t> bitmap,
                                  std::span<std::uint8_t> out, int areaWidth,
                                  int areaHeight) {
    if (bitmap.size() < kBmpHeaderSize) return false;
    const std::int32_t w = readInt32(bitmap, kWidthOffset);
    const std::int32_t h = readInt32(bitmap, kHeightOffset);
    if (w <= 0 || h <= 0 || w > areaWidth || h > areaHeight) return false;
    if (out.size() < yuv420Size(areaWidth, areaHeight)) return false;
    if (bitmap.size() < bmpSize(w, h)) return false;

    const std::size_t stride = bmpRowStride(w);
    const std::size_t width = static_cast<std::size_t>(w);
    const ChromaLayout c = chromaLayout(w, h);
    const ConversionTable& yRed = kTables[TY_R];
    const ConversionTable& yGreen = kTables[TY_G];
    const ConversionTable& yBlue = kTables[TY_B];
    for (int y = 0; y < h; ++y) {
        // The file's last row is the image's top row.
        const std::uint8_t* row =
            bitmap.data() + kBmpHeaderSize + stride * static_cast<std::size_t>(h - 1 - y);
        std::uint8_t* yRow = out.data() + width * static_cast<std::size_t>(y);
        for (std::size_t x = 0; x < width; ++x) {
            const std::uint8_t* pixel = row + 3 * x;
            // Within 0 to 255 for every colour (kLumaInRange): no clamp.
            yRow[x] = static_cast<std::uint8_t>(
                (yBlue[pixel[0]] + yGreen[pixel[1]] + yRed[pixel[2]] + kRoundHalf) >> kShift);
        }
        if (y % 2 != 0) continue;
        // Chroma from the top-left pixel of each 2 x 2 block.
        std::uint8_t* uRow = out.data() + c.u + c.width * static_cast<std::size_t>(y / 2);
        std::uint8_t* vRow = out.data() + c.v + c.width * static_cast<std::size_t>(y / 2);
        for (std::size_t x = 0; x < width; x += 2) {
            const std::uint8_t b = row[3 * x];
            const std::uint8_t g = row[3 * x + 1];
            const std::uint8_t r = row[3 * x + 2];
            uRow[x / 2] = clampByte(
                (64 * b + kChromaBias - tableAt(TU_R, r) - tableAt(TU_G, g)) >> kShift);
            vRow[x / 2] = clampByte(
                (64 * r + kChromaBias - tableAt(TV_G, g) - tableAt(TV_B, b)) >> kShift);
        }
    }
    return true;
}

std::size_t ColourConverter::yuv420ToBmp(std::span<const std::uint8_t> yuv, int width,
                                         int height, std::span<std::uint8_t> out) {
    const std::size_t size = bmpSize(width, height);
    // The header records the file size in 32 bits.
    if (size == 0 || size > INT32_MAX) return 0;
    if (out.size() < size || yuv.size() < yuv420Size(width, height)) return 0;

    const std::size_t stride = bmpRowStride(width);
    std::fill_n(out.begin(), kBmpHeaderSize, std::uint8_t{0});
    out[0] = 'B';
    out[1] = 'M';
    writeLe(out, 2, static_cast<std::uint32_t>(size), 4);
    writeLe(out, 10, kBmpHeaderSize, 4);
    writeLe(out, 14, kInfoHeaderSize, 4);
    writeLe(out, kWidthOffset, static_cast<std::uint32_t>(width), 4);
    writeLe(out, kHeightOffset, static_cast<std::uint32_t>(height), 4);
    writeLe(out, 26, 1, 2);
    writeLe(out, 28, kBitsPerPixel, 2);

    const std::size_t w = static_cast<std::size_t>(width);
    const auto fileRow = [&](int i) {
        return out.data() + kBmpHeaderSize + stride * static_cast<std::size_t>(height - 1 - i);
    };
    convertImageRows<PixelOrder::BlueGreenRed>(yuv.data(), width, height, 0, height, fileRow);
    for (int i = 0; i < height; ++i) std::fill(fileRow(i) + 3 * w, fileRow(i) + stride, std::uint8_t{0});
    return size;
}

ColourConverter::StepMemory::StepMemory() = default;
ColourConverter::StepMemory::~StepMemory() = default;

void ColourConverter::StepMemory::prepare(int width, int height) {
    if (rows_ && rows_->width == width && rows_->height == height) return;
    rows_.reset();
    if (width <= 0 || height <= 0) return;
    auto rows = std::make_unique<Rows>();
    const ChromaLayout c = chromaLayout(width, height);
    const std::size_t chromaRows = static_cast<std::size_t>((height + 1) / 2);
    rows->width = width;
    rows->height = height;
    rows->samples = c.width;
    rows->chroma.resize(2 * c.width * chromaRows);
    rows->steps.resize(3 * c.width * chromaRows);
    rows->known.assign(chromaRows, false);
    rows_ = std::move(rows);
}

bool ColourConverter::yuv420RowsToRgb(std::span<const std::uint8_t> yuv, int width, int height,
                                      int first, int count, std::span<std::uint8_t> out,
                                      std::size_t outStride, StepMemory* memory) {
    if (width <= 0 || height <= 0 || first < 0 || count <= 0 || first > height - count) return false;
    const std::size_t w = static_cast<std::size_t>(width);
    if (outStride < 3 * w || yuv.size() < yuv420Size(width, height)) return false;
    if (out.size() < outStride * static_cast<std::size_t>(count - 1) + 3 * w) return false;
    convertImageRows<PixelOrder::RedGreenBlue>(
        yuv.data(), width, height, first, count,
        [&](int i) { return out.data() + outStride * static_cast<std::size_t>(i - first); },
        memory != nullptr ? memory->rows_.get() : nullptr);
    return true;
}

bool ColourConverter::useVectorUnit(bool enable) {
    return vectorUnitInUse.exchange(enable && vectorUnitPresent());
}

}  // namespace cardface
