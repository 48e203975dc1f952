#include "cardface/ColourConverter.h"

#include <algorithm>
#include <array>
#include <cstdint>

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
    for (int y = 0; y < h; ++y) {
        // The file's last row is the image's top row.
        const std::uint8_t* row =
            bitmap.data() + kBmpHeaderSize + stride * static_cast<std::size_t>(h - 1 - y);
        std::uint8_t* yRow = out.data() + width * static_cast<std::size_t>(y);
        for (int x = 0; x < w; ++x) {
            const std::uint8_t b = row[3 * x];
            const std::uint8_t g = row[3 * x + 1];
            const std::uint8_t r = row[3 * x + 2];
            yRow[x] = clampByte((tableAt(TY_R, r) + tableAt(TY_G, g) + tableAt(TY_B, b) +
                                 kRoundHalf) >> kShift);
            if ((x | y) % 2 == 0) {
                const std::size_t at = c.width * static_cast<std::size_t>(y / 2) +
                                       static_cast<std::size_t>(x / 2);
                out[c.u + at] = clampByte(
                    (64 * b + kChromaBias - tableAt(TU_R, r) - tableAt(TU_G, g)) >> kShift);
                out[c.v + at] = clampByte(
                    (64 * r + kChromaBias - tableAt(TV_G, g) - tableAt(TV_B, b)) >> kShift);
            }
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
    const ChromaLayout c = chromaLayout(width, height);
    const ConversionTable& blueU = kTables[TB_U];
    const ConversionTable& greenU = kTables[TG_U];
    const ConversionTable& greenV = kTables[TG_V];
    const ConversionTable& redV = kTables[TR_V];
    for (int i = 0; i < height; ++i) {
        std::uint8_t* pixel = out.data() + kBmpHeaderSize + stride * static_cast<std::size_t>(height - 1 - i);
        const std::uint8_t* yRow = yuv.data() + w * static_cast<std::size_t>(i);
        const std::size_t chromaRow = c.width * static_cast<std::size_t>(i / 2);
        const std::uint8_t* uRow = yuv.data() + c.u + chromaRow;
        const std::uint8_t* vRow = yuv.data() + c.v + chromaRow;
        // The two pixels of a pair share their chroma terms.
        for (std::size_t pair = 0; pair < w; pair += 2) {
            const std::uint8_t u = uRow[pair / 2];
            const std::uint8_t v = vRow[pair / 2];
            const int blue = blueU[u];
            const int green = greenV[v] + greenU[u];
            const int red = redV[v];
            const std::size_t end = std::min(pair + 2, w);
            for (std::size_t x = pair; x < end; ++x, pixel += 3) {
                const int luma = static_cast<int>(kFixedOne) * yRow[x];
                pixel[0] = kClip[static_cast<std::size_t>(((luma + blue) >> kShift) + kClipOffset)];
                pixel[1] = kClip[static_cast<std::size_t>(((luma - green) >> kShift) + kClipOffset)];
                pixel[2] = kClip[static_cast<std::size_t>(((luma + red) >> kShift) + kClipOffset)];
            }
        }
        std::fill(pixel, pixel + (stride - 3 * w), std::uint8_t{0});
    }
    return size;
}

}  // namespace cardface
