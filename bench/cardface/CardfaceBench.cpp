// Timings of the image building blocks at the sizes a card read uses.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "cardface/Base64Encoder.h"
#include "cardface/ColourConverter.h"
#include "cardface/JpegMemoryEncoder.h"
#include "cardface/TextRasteriser.h"

namespace {

using cardface::ColourConverter;
using Bytes = std::vector<std::uint8_t>;

Bytes patternBmp(int width, int height) {
    Bytes yuv(ColourConverter::yuv420Size(width, height));
    std::uint32_t state = 1;
    for (auto& b : yuv) {
        state = state * 1664525u + 1013904223u;
        b = static_cast<std::uint8_t>(96 + (state >> 27));
    }
    Bytes bmp(ColourConverter::bmpSize(width, height));
    ColourConverter::yuv420ToBmp(yuv, width, height, bmp);
    return bmp;
}

// Encoding turns the rows' channel order around in place, so successive
// iterations see the two orders alternately; the work is the same.
void jpegOf(benchmark::State& state, int width, int height, std::size_t capacity) {
    Bytes bmp = patternBmp(width, height);
    Bytes out(capacity);
    for (auto _ : state) {
        std::int32_t length = 0;
        const bool ok = cardface::JpegMemoryEncoder::encode(
            width, height, std::span(bmp).subspan(ColourConverter::kBmpHeaderSize), out, length,
            true, true, true);
        if (!ok) state.SkipWithError("encoding failed");
        benchmark::DoNotOptimize(length);
    }
}

void BM_JpegCardFace(benchmark::State& state) { jpegOf(state, 340, 214, 436614); }
void BM_JpegPortrait(benchmark::State& state) { jpegOf(state, 102, 126, 38862); }

void BM_Base64Of40000Bytes(benchmark::State& state) {
    Bytes input(40000);
    for (std::size_t i = 0; i < input.size(); ++i) input[i] = static_cast<std::uint8_t>(i * 37);
    for (auto _ : state) {
        std::string text = cardface::Base64Encoder::encode(input);
        benchmark::DoNotOptimize(text.data());
    }
}

void BM_BmpToYuv420Portrait(benchmark::State& state) {
    const Bytes bmp = patternBmp(102, 126);
    Bytes yuv(ColourConverter::yuv420Size(102, 126));
    for (auto _ : state) {
        benchmark::DoNotOptimize(ColourConverter::bmpToYuv420(bmp, yuv, 102, 126));
        benchmark::ClobberMemory();
    }
}

void BM_Yuv420ToBmpCardFace(benchmark::State& state) {
    const Bytes yuv(ColourConverter::yuv420Size(340, 214), 128);
    Bytes bmp(436614);
    for (auto _ : state) {
        benchmark::DoNotOptimize(ColourConverter::yuv420ToBmp(yuv, 340, 214, bmp));
        benchmark::ClobberMemory();
    }
}

void BM_DrawTextName15At14(benchmark::State& state) {
    auto opened = cardface::TextRasteriser::openFontFile(IVELCARD_BENCH_CJK_FONT);
    if (opened.result != cardface::TextRasteriser::kFontOpened) {
        state.SkipWithError("font missing");
        return;
    }
    cardface::TextRasteriser::setPixelSize(opened.handle, 14);
    const std::u16string name =
        u"\u6B27\u9633\u6668\u66E6\u5F20\u4F1F\u5EB7\u738B\u5B50\u6D69\u674E\u660E\u5FB7\u8D75\u4E91";
    Bytes cells(240 * cardface::GlyphStrip::kRows);
    for (auto _ : state) {
        std::memset(cells.data(), 0, cells.size());
        const cardface::GlyphStrip strip(cells, 240);
        benchmark::DoNotOptimize(
            cardface::TextRasteriser::drawText(opened.handle, name, strip, 0, 14));
    }
}

BENCHMARK(BM_JpegCardFace);
BENCHMARK(BM_JpegPortrait);
BENCHMARK(BM_Base64Of40000Bytes);
BENCHMARK(BM_BmpToYuv420Portrait);
BENCHMARK(BM_Yuv420ToBmpCardFace);
BENCHMARK(BM_DrawTextName15At14);

}  // namespace
