// decodeTextBlock on a full sample block, and decodePortrait of the sample
// portrait through the stand-in decoder in a private work directory (files,
// lock, JPEG decoding and bitmap read-back included).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "carddata/PortraitDecoder.h"
#include "carddata/TextBlockDecoder.h"
#include "platform/System.h"
#include "reader/ReaderLibrary.h"

namespace {

void put(unsigned char* block, std::size_t offset, std::u16string_view characters) {
    for (std::size_t i = 0; i < characters.size(); ++i) {
        block[offset + 2 * i] = static_cast<unsigned char>(characters[i] & 0xFF);
        block[offset + 2 * i + 1] = static_cast<unsigned char>(characters[i] >> 8);
    }
}

void decodeTextBlock(benchmark::State& state) {
    auto record = std::make_unique<carddata::IdentityRecord>();
    for (std::size_t i = 0; i < carddata::kTextBlockSize; i += 2) record->textBlock[i] = ' ';
    put(record->textBlock, 0, u"赵明远");
    put(record->textBlock, 30, u"1");
    put(record->textBlock, 32, u"01");
    put(record->textBlock, 36, u"19880615");
    put(record->textBlock, 52, u"北京市海淀区枫林路18号院3号楼2单元603室");
    put(record->textBlock, 122, u"110108198806151237");
    put(record->textBlock, 158, u"北京市公安局海淀分局");
    put(record->textBlock, 188, u"20180615");
    put(record->textBlock, 204, u"20380615");
    for (auto _ : state) {
        carddata::decodeTextBlock(*record, record->textBlock);
        benchmark::DoNotOptimize(record->partyName.data());
    }
}
BENCHMARK(decodeTextBlock);

void decodePortrait(benchmark::State& state) {
    std::string dir = (std::filesystem::temp_directory_path() / "ivelcard-bench-XXXXXX").string();
    if (::mkdtemp(dir.data()) == nullptr) std::abort();
    ::setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
    reader::readerLibrary().GetBmp = reinterpret_cast<reader::GetBmpFn>(
        platform::procAddress(platform::loadLibrary(IVELCARD_BENCH_DECODER), "GetBmp"));
    std::ifstream file(IVELCARD_BENCH_PORTRAIT, std::ios::binary);
    const std::string photo((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    auto record = std::make_unique<carddata::IdentityRecord>();
    if (reader::readerLibrary().GetBmp == nullptr || photo.size() != carddata::kPhotoDataSize) std::abort();
    std::memcpy(record->photoData, photo.data(), photo.size());
    for (auto _ : state) {
        if (carddata::decodePortrait(record->photoData, record->portraitBitmap) != 1) std::abort();
    }
    std::filesystem::remove_all(dir);
}
BENCHMARK(decodePortrait);

}  // namespace
