#include "platform/DeviceContext.h"

namespace platform {

// Here a host's device context is the framework's own canvas.
bool paintOnDevice(HDC target, const RECT& bounds, const Painter& paint) {
    paint(static_cast<CDC*>(target), bounds);
    return true;
}

}  // namespace platform
