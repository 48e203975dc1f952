// A device context that paints into a 24-bit bitmap: the stock white brush,
// the current pen and brush (black pen and white brush when created), and
// the FillRect and Ellipse operations with GDI's rules (right and bottom
// edges excluded, the ellipse outlined with the pen and filled with the
// brush). Painting is clipped to the canvas.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

struct RECT {
    std::int32_t left, top, right, bottom;
};

using COLORREF = std::uint32_t;  // 0x00BBGGRR
constexpr COLORREF RGB(std::uint8_t r, std::uint8_t g, std::uint8_t b) {
    return COLORREF{r} | (COLORREF{g} << 8) | (COLORREF{b} << 16);
}

struct Brush {
    COLORREF colour;
};
struct Pen {
    COLORREF colour;
    int width;
};

enum StockObject { WHITE_BRUSH = 0, BLACK_BRUSH = 4, BLACK_PEN = 7 };
const Brush* GetStockBrush(StockObject object);

class CDC {
public:
    CDC(int width, int height);

    int width() const { return width_; }
    int height() const { return height_; }
    COLORREF pixel(int x, int y) const;

    void SelectPen(const Pen& pen) { pen_ = pen; }
    void SelectBrush(const Brush& brush) { brush_ = brush; }

    void FillRect(const RECT& rect, const Brush* brush);
    void Ellipse(int left, int top, int right, int bottom);

    // The picture as a complete BMP file (24 bits, bottom row first).
    std::string toBmp() const;

private:
    void set(int x, int y, COLORREF colour);

    int width_;
    int height_;
    std::vector<COLORREF> pixels_;
    Pen pen_{RGB(0, 0, 0), 1};
    Brush brush_{RGB(255, 255, 255)};
};

}  // namespace platform
