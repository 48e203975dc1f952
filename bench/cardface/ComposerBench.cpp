// Timings of one card face composition and of its parts that are not
// measured elsewhere (opening the two fonts). The system font is found the
// way the module finds it without "windir": the build tree's stand-in
// Windows directory beside bin/.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "cardface/CardFaceComposer.h"
#include "cardface/CardFaceResources.h"
#include "cardface/TextRasteriser.h"
#include "platform/DataDirectory.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using cardface::CardFaceComposer;
using cardface::TextRasteriser;

std::array<std::uint8_t, CardFaceComposer::kTextBlockSize> sampleBlock() {
    std::array<std::uint8_t, CardFaceComposer::kTextBlockSize> block{};
    for (std::size_t i = 0; i < block.size(); i += 2) block[i] = ' ';  // unused places
    const auto put = [&](std::size_t unit, std::u16string_view text) {
        for (char16_t c : text) {
            block[2 * unit] = static_cast<std::uint8_t>(c & 0xFF);
            block[2 * unit + 1] = static_cast<std::uint8_t>(c >> 8);
            ++unit;
        }
    };
    put(0, u"赵明远");
    put(15, u"10119880615");
    put(26, u"北京市海淀区枫林路18号院3号楼2单元603室");
    put(61, u"110108198806151237");
    put(79, u"北京市公安局海淀分局");
    put(94, u"2018061520380615");
    return block;
}

Bytes readFile(const char* path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void BM_ComposeCardFaces(benchmark::State& state) {
    const auto block = sampleBlock();
    const Bytes portrait = readFile(IVELCARD_BENCH_PORTRAIT);
    Bytes front(CardFaceComposer::kFaceOutputSize);
    Bytes back(CardFaceComposer::kFaceOutputSize);
    for (auto _ : state) {
        std::int32_t frontLength = 0;
        std::int32_t backLength = 0;
        if (!CardFaceComposer::composeCardFaces(block, portrait, front, back, frontLength,
                                                backLength)) {
            state.SkipWithError("composition failed");
            return;
        }
        benchmark::DoNotOptimize(frontLength + backLength);
    }
}

void BM_OpenCloseSystemFont(benchmark::State& state) {
    const auto windows = platform::windowsDirectory();
    const std::string path = windows.value_or("") + "/Fonts/SIMHEI.TTF";
    for (auto _ : state) {
        auto opened = TextRasteriser::openFontFile(path);
        if (opened.result != TextRasteriser::kFontOpened) {
            state.SkipWithError("system font missing");
            return;
        }
        TextRasteriser::closeFont(opened.handle);
    }
}

void BM_OpenCloseOcrbFont(benchmark::State& state) {
    for (auto _ : state) {
        auto opened = TextRasteriser::openFontMemory(cardface::embeddedOcrbFont());
        TextRasteriser::closeFont(opened.handle);
    }
}

BENCHMARK(BM_ComposeCardFaces);
BENCHMARK(BM_OpenCloseSystemFont);
BENCHMARK(BM_OpenCloseOcrbFont);

}  // namespace
