// Base64 text (the standard alphabet, with "=" padding) of any byte
// sequence, as one unbroken line: exactly 4 × ceil(n / 3) characters for n
// bytes, no line breaks however long.
//
// When the text cannot be allocated the encoder prints "No enough memory."
// to standard output and raises platform::CMemoryException, so the caller's
// operation goes on without that text instead of the process ending.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace cardface {

class Base64Encoder {
public:
    // Characters of the text for n input bytes.
    static constexpr std::size_t encodedLength(std::size_t n) {
        return (n / 3 + (n % 3 != 0 ? 1 : 0)) * 4;
    }

    static std::string encode(std::span<const std::uint8_t> bytes);
};

}  // namespace cardface
