// A device context that paints into a 24-bit bitmap: the stock white brush,
// the current pen and brush (black pen and white brush when created), and
// the FillRect and Ellipse operations with GDI's rules (right and bottom
// edges excluded, the ellipse outlined with the pen and filled with the
// brush). Painting is clipped to the canvas.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/Com.h"
#include "platform/UserTypes.h"

namespace platform {

using ::COLORREF;
using ::RECT;

struct Brush {
    COLORREF colour;
};
struct Pen {
    COLORREF colour;
    int width;
};

// The stock brush WHITE_BRUSH or BLACK_BRUSH; null for any other id.
const Brush* GetStockBrush(int object);

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

// Paints a picture onto a host's device context: `paint` draws the area
// `bounds` (in the target's coordinates) into a canvas. On Windows the canvas
// is a CDC of the bounds' size that is then copied onto the real device
// context; elsewhere `target` is itself a CDC (or null) and is painted
// directly. False when the picture could not be made or copied.
using Painter = std::function<void(CDC* dc, const RECT& bounds)>;
bool paintOnDevice(HDC target, const RECT& bounds, const Painter& paint);

}  // namespace platform
