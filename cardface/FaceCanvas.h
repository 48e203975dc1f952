// One card face, 340 x 214 pixels, as planar YUV 4:2:0 (full-range YCbCr as
// in JFIF): the Y plane (340 per row, 214 rows), then U and V (170 per row,
// 107 rows each), 109,140 bytes in all. Chroma sample (c, r) covers pixels
// (2c..2c+1, 2r..2r+1). A FaceCanvas is a view of bytes held elsewhere.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace cardface {

class FaceCanvas {
public:
    static constexpr int kWidth = 340;
    static constexpr int kHeight = 214;
    static constexpr int kChromaWidth = kWidth / 2;
    static constexpr int kChromaHeight = kHeight / 2;
    static constexpr std::size_t kLumaSize = std::size_t{kWidth} * kHeight;
    static constexpr std::size_t kChromaSize = std::size_t{kChromaWidth} * kChromaHeight;
    static constexpr std::size_t kSize = kLumaSize + 2 * kChromaSize;
    static_assert(kSize == 109140);

    explicit FaceCanvas(std::span<std::uint8_t, kSize> bytes) : bytes_(bytes) {}

    std::span<std::uint8_t, kSize> bytes() const { return bytes_; }
    std::span<std::uint8_t, kLumaSize> luma() const { return bytes_.first<kLumaSize>(); }
    std::span<std::uint8_t, kChromaSize> cb() const {
        return bytes_.subspan<kLumaSize, kChromaSize>();
    }
    std::span<std::uint8_t, kChromaSize> cr() const {
        return bytes_.subspan<kLumaSize + kChromaSize, kChromaSize>();
    }

    std::uint8_t& y(int x, int row) const { return luma()[index(x, row, kWidth)]; }
    std::uint8_t& u(int c, int row) const { return cb()[index(c, row, kChromaWidth)]; }
    std::uint8_t& v(int c, int row) const { return cr()[index(c, row, kChromaWidth)]; }

private:
    static std::size_t index(int x, int row, int width) {
        return static_cast<std::size_t>(row) * static_cast<std::size_t>(width) +
               static_cast<std::size_t>(x);
    }

    std::span<std::uint8_t, kSize> bytes_;
};

}  // namespace cardface
