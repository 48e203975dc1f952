#include "cardface/Base64Encoder.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <new>
#include <stdexcept>

#include "platform/Exceptions.h"

namespace cardface {
namespace {

constexpr char kAlphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kPad = '=';

// The two characters of every 12-bit value.
constexpr std::array<std::array<char, 2>, 4096> kPairs = [] {
    std::array<std::array<char, 2>, 4096> pairs{};
    for (std::size_t v = 0; v < pairs.size(); ++v) pairs[v] = {kAlphabet[v >> 6], kAlphabet[v & 0x3F]};
    return pairs;
}();
constexpr char kOutOfMemoryMessage[] = "No enough memory.\n";

[[noreturn]] void raiseOutOfMemory() {
    std::fputs(kOutOfMemoryMessage, stdout);
    throw platform::CMemoryException();
}

// The largest input whose text length cannot overflow a size_t.
constexpr std::size_t kMaxInput = SIZE_MAX / 4 * 3;

}  // namespace

std::string Base64Encoder::encode(std::span<const std::uint8_t> bytes) {
    const std::size_t n = bytes.size();
    if (n > kMaxInput) raiseOutOfMemory();
    std::string text;
    try {
        text.resize(encodedLength(n));
    } catch (const std::bad_alloc&) {
        raiseOutOfMemory();
    } catch (const std::length_error&) {
        raiseOutOfMemory();
    }

    std::size_t o = 0;
    std::size_t i = 0;
    char* out = text.data();
    // Each 12-bit half of a group gives two characters at once.
    for (; i + 3 <= n; i += 3, o += 4) {
        const std::uint32_t group = (std::uint32_t{bytes[i]} << 16) |
                                    (std::uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
        std::memcpy(out + o, kPairs[group >> 12].data(), 2);
        std::memcpy(out + o + 2, kPairs[group & 0xFFF].data(), 2);
    }
    const std::size_t rest = n - i;
    if (rest > 0) {
        std::uint32_t group = std::uint32_t{bytes[i]} << 16;
        if (rest == 2) group |= std::uint32_t{bytes[i + 1]} << 8;
        text[o++] = kAlphabet[(group >> 18) & 0x3F];
        text[o++] = kAlphabet[(group >> 12) & 0x3F];
        text[o++] = rest == 2 ? kAlphabet[(group >> 6) & 0x3F] : kPad;
        text[o++] = kPad;
    }
    return text;
}

}  // namespace cardface
