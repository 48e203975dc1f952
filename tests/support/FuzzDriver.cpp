// Runs a fuzz target without a fuzzing engine: each file named on the
// command line once (every file of a named directory, in name order), or
// else a fixed number of pseudo-random inputs from a fixed seed, so that a
// run is repeatable.
//   -runs=N        inputs (default 10000)
//   -max_len=N     the longest input (default 1100)
//   -long_every=K  only every K-th input (on average) may be that long, the
//                  others are at most 400 bytes (default 0: every input)
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
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
    std::vector<std::filesystem::path> files;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "-runs=", 6) == 0) {
            runs = std::strtol(argv[i] + 6, nullptr, 10);
        } else if (std::strncmp(argv[i], "-max_len=", 9) == 0) {
            maxLength = std::strtoul(argv[i] + 9, nullptr, 10);
        } else if (std::strncmp(argv[i], "-long_every=", 12) == 0) {
            longEvery = std::strtoul(argv[i] + 12, nullptr, 10);
        } else if (std::filesystem::is_directory(argv[i])) {
            std::vector<std::filesystem::path> inDirectory;
            for (const auto& entry : std::filesystem::directory_iterator(argv[i])) {
                if (entry.is_regular_file()) inDirectory.push_back(entry.path());
            }
            std::sort(inDirectory.begin(), inDirectory.end());
            files.insert(files.end(), inDirectory.begin(), inDirectory.end());
        } else {
            files.emplace_back(argv[i]);
        }
    }
    for (const auto& path : files) {
        std::ifstream in(path, std::ios::binary);
        if (!in) {
            std::fprintf(stderr, "cannot read %s\n", path.string().c_str());
            return 1;
        }
        const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    }
    if (!files.empty()) {
        std::printf("%zu inputs\n", files.size());
        return 0;
    }
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
