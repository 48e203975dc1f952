// The window-system vocabulary (RECT, COLORREF, RGB, stock objects, window
// and dialog styles, IDOK, MB_OK, RT_*): the SDK's on Windows, look-alikes at
// global scope elsewhere. Written unqualified, like the COM constants.
#pragma once

#if defined(_WIN32)
#include "platform/win32/ComTypes.h"
#else
#include "platform/posix/UserTypes.h"
#endif
