#include "platform/MessageBox.h"

#include <cstdio>
#include <utility>

namespace platform {
namespace {

int writeToStandardError(const std::string& text, const std::string& caption, unsigned) {
    if (!caption.empty()) std::fprintf(stderr, "%s: ", caption.c_str());
    std::fprintf(stderr, "%s\n", text.c_str());
    return IDOK;
}

MessageBoxHandler& currentHandler() {
    static MessageBoxHandler handler = writeToStandardError;
    return handler;
}

}  // namespace

int messageBox(const char* text, const char* caption, unsigned type) {
    return currentHandler()(text != nullptr ? text : "", caption != nullptr ? caption : "", type);
}

MessageBoxHandler setMessageBoxHandler(MessageBoxHandler handler) {
    if (!handler) handler = writeToStandardError;
    return std::exchange(currentHandler(), std::move(handler));
}

}  // namespace platform
