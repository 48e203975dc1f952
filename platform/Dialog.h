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

namespace platform {

// Window and control styles the templates use.
constexpr std::uint32_t WS_POPUP = 0x80000000;
constexpr std::uint32_t WS_CHILD = 0x40000000;
constexpr std::uint32_t WS_VISIBLE = 0x10000000;
constexpr std::uint32_t WS_CAPTION = 0x00C00000;
constexpr std::uint32_t WS_SYSMENU = 0x00080000;
constexpr std::uint32_t WS_GROUP = 0x00020000;
constexpr std::uint32_t WS_TABSTOP = 0x00010000;
constexpr std::uint32_t DS_MODALFRAME = 0x00000080;
constexpr std::uint32_t DS_SETFONT = 0x00000040;
constexpr std::uint32_t DS_FIXEDSYS = 0x00000008;
constexpr std::uint32_t SS_LEFT = 0x00000000;
constexpr std::uint32_t SS_ICON = 0x00000003;
constexpr std::uint32_t SS_NOPREFIX = 0x00000080;
constexpr std::uint32_t BS_DEFPUSHBUTTON = 0x00000001;

constexpr int IDC_STATIC = -1;
constexpr int IDCANCEL = 2;

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
