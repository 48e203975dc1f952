#include "platform/DeviceContext.h"

#include <algorithm>
#include <cstring>

namespace platform {
namespace {

constexpr Brush kWhiteBrush{RGB(255, 255, 255)};
constexpr Brush kBlackBrush{RGB(0, 0, 0)};

void put16(std::string& out, std::uint16_t v) {
    out += static_cast<char>(v & 0xFF);
    out += static_cast<char>(v >> 8);
}
void put32(std::string& out, std::uint32_t v) {
    put16(out, static_cast<std::uint16_t>(v & 0xFFFF));
    put16(out, static_cast<std::uint16_t>(v >> 16));
}

}  // namespace

const Brush* GetStockBrush(int object) {
    switch (object) {
        case WHITE_BRUSH: return &kWhiteBrush;
        case BLACK_BRUSH: return &kBlackBrush;
        default: return nullptr;
    }
}

CDC::CDC(int width, int height)
    : width_(std::max(width, 0)), height_(std::max(height, 0)),
      pixels_(static_cast<std::size_t>(width_) * static_cast<std::size_t>(height_), RGB(0, 0, 0)) {}

COLORREF CDC::pixel(int x, int y) const {
    if (x < 0 || y < 0 || x >= width_ || y >= height_) return 0;
    return pixels_[static_cast<std::size_t>(y) * static_cast<std::size_t>(width_) + static_cast<std::size_t>(x)];
}

void CDC::set(int x, int y, COLORREF colour) {
    if (x < 0 || y < 0 || x >= width_ || y >= height_) return;
    pixels_[static_cast<std::size_t>(y) * static_cast<std::size_t>(width_) + static_cast<std::size_t>(x)] = colour;
}

void CDC::FillRect(const RECT& rect, const Brush* brush) {
    if (brush == nullptr) return;
    // Only the part on the canvas is painted.
    const int top = std::max<int>(rect.top, 0);
    const int bottom = std::min<int>(rect.bottom, height_);
    const int left = std::max<int>(rect.left, 0);
    const int right = std::min<int>(rect.right, width_);
    for (int y = top; y < bottom; ++y) {
        for (int x = left; x < right; ++x) set(x, y, brush->colour);
    }
}

void CDC::Ellipse(int left, int top, int right, int bottom) {
    if (right <= left || bottom <= top) return;
    // Pixel centres inside the ellipse inscribed in [left, right) x [top, bottom).
    const double cx = (static_cast<double>(left) + right - 1) / 2.0;
    const double cy = (static_cast<double>(top) + bottom - 1) / 2.0;
    const double rx = (static_cast<double>(right) - left) / 2.0;
    const double ry = (static_cast<double>(bottom) - top) / 2.0;
    auto inside = [&](int x, int y) {
        if (x < left || x >= right || y < top || y >= bottom) return false;
        const double dx = (x - cx) / rx;
        const double dy = (y - cy) / ry;
        return dx * dx + dy * dy <= 1.0;
    };
    // Only the part on the canvas is visited.
    for (int y = std::max(top, 0); y < std::min(bottom, height_); ++y) {
        for (int x = std::max(left, 0); x < std::min(right, width_); ++x) {
            if (!inside(x, y)) continue;
            const bool edge = !inside(x - 1, y) || !inside(x + 1, y) || !inside(x, y - 1) || !inside(x, y + 1);
            set(x, y, edge ? pen_.colour : brush_.colour);
        }
    }
}

std::string CDC::toBmp() const {
    const std::uint32_t stride = (static_cast<std::uint32_t>(width_) * 3 + 3) & ~3u;
    const std::uint32_t imageSize = stride * static_cast<std::uint32_t>(height_);
    std::string out;
    out += "BM";
    put32(out, 54 + imageSize);
    put32(out, 0);
    put32(out, 54);
    put32(out, 40);
    put32(out, static_cast<std::uint32_t>(width_));
    put32(out, static_cast<std::uint32_t>(height_));
    put16(out, 1);
    put16(out, 24);
    put32(out, 0);
    put32(out, imageSize);
    put32(out, 2835);
    put32(out, 2835);
    put32(out, 0);
    put32(out, 0);
    for (int y = height_ - 1; y >= 0; --y) {
        std::string row(stride, '\0');
        for (int x = 0; x < width_; ++x) {
            const COLORREF c = pixel(x, y);
            row[static_cast<std::size_t>(x) * 3] = static_cast<char>((c >> 16) & 0xFF);
            row[static_cast<std::size_t>(x) * 3 + 1] = static_cast<char>((c >> 8) & 0xFF);
            row[static_cast<std::size_t>(x) * 3 + 2] = static_cast<char>(c & 0xFF);
        }
        out += row;
    }
    return out;
}

}  // namespace platform
