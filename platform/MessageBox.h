// Modal message boxes, routed through a replaceable handler.
//
// The default handler writes the text to standard error and returns at once,
// as if the user had closed the box; tests install a recording handler.
#pragma once

#include <functional>
#include <string>

#include "platform/UserTypes.h"

namespace platform {

using MessageBoxHandler =
    std::function<int(const std::string& text, const std::string& caption, unsigned type)>;

// Shows a box with `text` and `caption` (owner window: none on this platform)
// and returns the button that closed it.
int messageBox(const char* text, const char* caption, unsigned type);

// Installs `handler` (an empty one restores the default) and returns the
// previous handler.
MessageBoxHandler setMessageBoxHandler(MessageBoxHandler handler);

}  // namespace platform
