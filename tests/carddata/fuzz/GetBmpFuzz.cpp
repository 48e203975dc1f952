// Fuzz target: the stand-in portrait decoder's GetBmp over 1024-byte inputs.
//
// The first input byte chooses how the rest becomes the compressed file:
//   0  the bytes themselves (zero-padded or cut to 1024)
//   1  the format's magic, then the bytes (payload length included)
//   2  the sample portrait with bytes of its payload replaced
//   3  the sample portrait with another payload length
// GetBmp must answer 1 with a complete bitmap beside the input, or anything
// else with no bitmap at all; a broken promise aborts.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "support/TestSupport.h"

extern "C" int GetBmp(char* path, int mode);

namespace {

constexpr std::size_t kArea = 1024;
constexpr std::size_t kHeader = 6;
constexpr std::uintmax_t kBitmapSize = 38862;

void fail(const char* what) {
    std::fprintf(stderr, "GetBmp fuzz: %s\n", what);
    std::abort();
}

const std::string& samplePortrait() {
    static const std::string sample =
        testsupport::readFile(std::string(IVELCARD_TEST_DATA_DIR) + "/carddata/sample-portrait.wlt");
    if (sample.size() != kArea) fail("sample portrait missing");
    return sample;
}

std::size_t take16(const std::uint8_t* data, std::size_t size, std::size_t at) {
    return (at < size ? data[at] : 0) | (at + 1 < size ? data[at + 1] << 8 : 0);
}

std::string compressedFile(const std::uint8_t* data, std::size_t size) {
    std::string area(kArea, '\0');
    const int mode = size > 0 ? data[0] % 4 : 0;
    const std::uint8_t* rest = size > 0 ? data + 1 : data;
    const std::size_t restSize = size > 0 ? size - 1 : 0;
    switch (mode) {
        case 0:
            area.replace(0, restSize < kArea ? restSize : kArea, reinterpret_cast<const char*>(rest),
                         restSize < kArea ? restSize : kArea);
            break;
        case 1: {
            area.replace(0, 4, "IVPT");
            const std::size_t n = restSize < kArea - 4 ? restSize : kArea - 4;
            area.replace(4, n, reinterpret_cast<const char*>(rest), n);
            break;
        }
        case 2: {
            area = samplePortrait();
            const std::size_t payload = static_cast<unsigned char>(area[4]) | static_cast<unsigned char>(area[5]) << 8;
            for (std::size_t i = 0; i + 2 < restSize && i < 48; i += 3) {
                area[kHeader + take16(rest, restSize, i) % payload] = static_cast<char>(rest[i + 2]);
            }
            break;
        }
        default: {
            area = samplePortrait();
            const std::size_t length = take16(rest, restSize, 0) % (kArea - kHeader + 2);
            area[4] = static_cast<char>(length & 0xFF);
            area[5] = static_cast<char>(length >> 8);
            break;
        }
    }
    return area;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const testsupport::TempDir dir;
    static const std::string input = dir / "fuzz.wlt";
    static const std::string output = dir / "fuzz.bmp";

    std::error_code error;
    std::filesystem::remove(input, error);  // a new file is far cheaper than a truncated one
    testsupport::writeFile(input, compressedFile(data, size));
    std::string path = input;
    const int result = GetBmp(path.data(), 2);
    const bool written = std::filesystem::exists(output, error);
    if (result == 1 && (!written || std::filesystem::file_size(output, error) != kBitmapSize)) {
        fail("answered 1 without a complete bitmap");
    }
    if (result != 1 && written) fail("left a bitmap without answering 1");
    std::filesystem::remove(output, error);
    return 0;
}
