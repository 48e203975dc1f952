#include "platform/Dialog.h"

#include <unistd.h>

#include <cstdio>
#include <utility>

#include "platform/CodePage.h"

namespace platform {
namespace {

int showOnTerminal(const DialogTemplate& dialog) {
    std::string text = "[ " + utf16ToUtf8(dialog.caption) + " ]\n";
    int defaultButton = IDCANCEL;
    for (const DialogItem& item : dialog.items) {
        if (item.itemClass == DialogItemClass::Static && !item.text.empty()) {
            text += "  " + utf16ToUtf8(item.text) + "\n";
        } else if (item.itemClass == DialogItemClass::Button) {
            text += "  [" + utf16ToUtf8(item.text) + "]\n";
            if ((item.style & BS_DEFPUSHBUTTON) != 0) defaultButton = item.id;
        }
    }
    std::fputs(text.c_str(), stderr);
    std::fflush(stderr);
    if (::isatty(STDIN_FILENO) == 1) {
        for (int c = std::getchar(); c != '\n' && c != EOF; c = std::getchar()) {
        }
    }
    return defaultButton;
}

DialogRunner& currentRunner() {
    static DialogRunner runner = showOnTerminal;
    return runner;
}

}  // namespace

int runModalDialog(const DialogTemplate& dialog) { return currentRunner()(dialog); }

DialogRunner setDialogRunner(DialogRunner runner) {
    if (!runner) runner = showOnTerminal;
    return std::exchange(currentRunner(), std::move(runner));
}

}  // namespace platform
