// Reads fuzz input bytes as the parameters of a call, taking zeros once the
// input is used up.
#pragma once

#include <cstdint>
#include <cstring>

namespace cardface::fuzz {

class FuzzInput {
public:
    FuzzInput(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    template <class T>
    T take() {
        T value{};
        const std::size_t n = sizeof(T) <= size_ ? sizeof(T) : size_;
        if (n > 0) std::memcpy(&value, data_, n);
        data_ += n;
        size_ -= n;
        return value;
    }
    // A value in [lo, hi].
    int takeIn(int lo, int hi) {
        const auto v = take<std::uint16_t>();
        return lo + static_cast<int>(v % static_cast<unsigned>(hi - lo + 1));
    }

    const std::uint8_t* rest() const { return data_; }
    std::size_t restSize() const { return size_; }

private:
    const std::uint8_t* data_;
    std::size_t size_;
};

}  // namespace cardface::fuzz
