#include "platform/DeviceContext.h"

#include <vector>

namespace platform {

// The picture is painted into a canvas of the bounds' size and copied onto
// the host's device context as a top-down 32-bit bitmap.
bool paintOnDevice(HDC target, const RECT& bounds, const Painter& paint) {
    if (target == nullptr) return false;
    const int width = bounds.right - bounds.left;
    const int height = bounds.bottom - bounds.top;
    if (width <= 0 || height <= 0) return true;
    CDC canvas(width, height);
    paint(&canvas, RECT{0, 0, width, height});
    std::vector<DWORD> pixels(static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const COLORREF c = canvas.pixel(x, y);
            // COLORREF is 0x00BBGGRR, a 32-bit DIB pixel 0x00RRGGBB.
            pixels[static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + static_cast<std::size_t>(x)] =
                (GetRValue(c) << 16) | (GetGValue(c) << 8) | GetBValue(c);
        }
    }
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    return ::SetDIBitsToDevice(target, bounds.left, bounds.top, static_cast<DWORD>(width), static_cast<DWORD>(height),
                               0, 0, 0, static_cast<UINT>(height), pixels.data(), &info, DIB_RGB_COLORS) != 0;
}

}  // namespace platform
