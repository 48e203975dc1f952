// Dialog templates held as data, and the modal dialog runner.
//
// A template lists the dialog's frame (style, position and size in dialog
// units, caption, font) and its items. Running one modally goes through a
// replaceable runner; the default shows the caption, the text lines and the
// buttons on standard error and, only when standard input is a terminal,
// waits for Enter (the default button). Tests install a recording runner.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "platform/UserTypes.h"

namespace platform {

enum class DialogItemClass { Static, Button };

struct DialogItem {
    int id;
    DialogItemClass itemClass;
    std::u16string_view text;  // for an icon: empty (see iconId)
    long iconId;               // resource id of the icon a static icon shows, else 0
    std::uint32_t style;
    short x, y, cx, cy;
};

struct DialogTemplate {
    bool extended;  // the extended template form
    std::uint32_t style;
    std::uint32_t exStyle;
    short x, y, cx, cy;
    std::u16string_view caption;
    std::u16string_view fontName;
    short pointSize;
    short weight;
    bool italic;
    std::uint8_t charset;
    std::span<const DialogItem> items;
};

using DialogRunner = std::function<int(const DialogTemplate& dialog)>;

// Runs the dialog modally and returns the id of the item that closed it.
int runModalDialog(const DialogTemplate& dialog);

// Installs `runner` (an empty one restores the default) and returns the
// previous runner.
DialogRunner setDialogRunner(DialogRunner runner);

}  // namespace platform
