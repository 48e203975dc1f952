// Runs a fuzz target without a fuzzing engine: each file named on the
// command line once, or else a fixed number of pseudo-random inputs from a
// fixed seed, so that a run is repeatable.
//   -runs=N        inputs (default 10000)
//   -max_len=N     the longest input (default 1100)
//   -long_every=K  only every K-th input (on average) may be that long, the
//                  others are at most 400 bytes (default 0: every input)
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
    constexpr std::size_t kShortLength = 400;
    long runs = 10000;
    std::size_t maxLength = 1100;
    unsigned long longEvery = 0;
    std::vector<const char*> files;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "-runs=", 6) == 0) {
            runs = std::strtol(argv[i] + 6, nullptr, 10);
        } else if (std::strncmp(argv[i], "-max_len=", 9) == 0) {
            maxLength = std::strtoul(argv[i] + 9, nullptr, 10);
        } else if (std::strncmp(argv[i], "-long_every=", 12) == 0) {
            longEvery = std::strtoul(argv[i] + 12, nullptr, 10);
        } else {
            files.push_back(argv[i]);
        }
    }
    for (const char* path : files) {
        std::ifstream in(path, std::ios::binary);
        const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    }
    if (!files.empty()) return 0;
    std::mt19937 random(0xCA4D);
    std::vector<std::uint8_t> input;
    for (long run = 0; run < runs; ++run) {
        const bool mayBeLong = longEvery == 0 || random() % longEvery == 0;
        const std::size_t limit = mayBeLong ? maxLength : std::min(maxLength, kShortLength);
        input.resize(random() % (limit + 1));
        for (auto& b : input) b = static_cast<std::uint8_t>(random());
        LLVMFuzzerTestOneInput(input.data(), input.size());
    }
    std::printf("%ld runs\n", runs);
    return 0;
}
