// Runs a fuzz target without a fuzzing engine: each file named on the
// command line once, or else a fixed number of pseudo-random inputs
// ("-runs=N", default 10000; sizes up to "-max_len=N", default 1100) from a
// fixed seed, so that a run is repeatable.
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
    long runs = 10000;
    std::size_t maxLength = 1100;
    std::vector<const char*> files;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "-runs=", 6) == 0) {
            runs = std::strtol(argv[i] + 6, nullptr, 10);
        } else if (std::strncmp(argv[i], "-max_len=", 9) == 0) {
            maxLength = std::strtoul(argv[i] + 9, nullptr, 10);
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
        input.resize(random() % (maxLength + 1));
        for (auto& b : input) b = static_cast<std::uint8_t>(random());
        LLVMFuzzerTestOneInput(input.data(), input.size());
    }
    std::printf("%ld runs\n", runs);
    return 0;
}
