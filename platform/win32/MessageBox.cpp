#include "platform/MessageBox.h"

#include <utility>

namespace platform {
namespace {

// The system's message box, owned by no window. Without a desktop to show it
// on, the system answers at once.
int showSystemBox(const std::string& text, const std::string& caption, unsigned type) {
    return ::MessageBoxA(nullptr, text.c_str(), caption.c_str(), type);
}

MessageBoxHandler& currentHandler() {
    static MessageBoxHandler handler = showSystemBox;
    return handler;
}

}  // namespace

int messageBox(const char* text, const char* caption, unsigned type) {
    return currentHandler()(text != nullptr ? text : "", caption != nullptr ? caption : "", type);
}

MessageBoxHandler setMessageBoxHandler(MessageBoxHandler handler) {
    if (!handler) handler = showSystemBox;
    return std::exchange(currentHandler(), std::move(handler));
}

}  // namespace platform
