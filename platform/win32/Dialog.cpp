#include "platform/Dialog.h"

#include <utility>
#include <vector>

#include "platform/ModuleState.h"
#include "platform/win32/ComTypes.h"

// The default runner builds the system's in-memory dialog template from the
// template data and runs it with DialogBoxIndirectParamW: a push button ends
// the dialog with its id. Without a desktop the system refuses the dialog at
// once; that counts as cancelled.
namespace platform {
namespace {

constexpr WORD kButtonClass = 0x0080;
constexpr WORD kStaticClass = 0x0082;

class TemplateWriter {
public:
    void word(WORD value) { bytes_.push_back(value); }
    void dword(DWORD value) {
        word(static_cast<WORD>(value & 0xFFFF));
        word(static_cast<WORD>(value >> 16));
    }
    void text(std::u16string_view value) {
        for (char16_t c : value) word(c);
        word(0);
    }
    void ordinal(WORD value) {
        word(0xFFFF);
        word(value);
    }
    // Items start on a DWORD boundary of the template.
    void alignToDword() {
        if (bytes_.size() % 2 != 0) word(0);
    }
    std::vector<WORD> take() { return std::move(bytes_); }

private:
    std::vector<WORD> bytes_;  // the block DialogBoxIndirect reads, in WORDs
};

std::vector<WORD> buildTemplate(const DialogTemplate& dialog) {
    TemplateWriter out;
    const auto count = static_cast<WORD>(dialog.items.size());
    if (dialog.extended) {
        out.word(1);
        out.word(0xFFFF);
        out.dword(0);  // help id
        out.dword(dialog.exStyle);
        out.dword(dialog.style);
    } else {
        out.dword(dialog.style);
        out.dword(dialog.exStyle);
    }
    out.word(count);
    for (short v : {dialog.x, dialog.y, dialog.cx, dialog.cy}) out.word(static_cast<WORD>(v));
    out.word(0);  // no menu
    out.word(0);  // the standard dialog class
    out.text(dialog.caption);
    if ((dialog.style & DS_SETFONT) != 0) {
        out.word(static_cast<WORD>(dialog.pointSize));
        if (dialog.extended) {
            out.word(static_cast<WORD>(dialog.weight));
            out.word(static_cast<WORD>((dialog.italic ? 1 : 0) | (dialog.charset << 8)));
        }
        out.text(dialog.fontName);
    }
    for (const DialogItem& item : dialog.items) {
        out.alignToDword();
        if (dialog.extended) {
            out.dword(0);  // help id
            out.dword(0);  // extended style
            out.dword(item.style);
        } else {
            out.dword(item.style);
            out.dword(0);
        }
        for (short v : {item.x, item.y, item.cx, item.cy}) out.word(static_cast<WORD>(v));
        if (dialog.extended) out.dword(static_cast<DWORD>(item.id));
        else out.word(static_cast<WORD>(item.id));
        out.ordinal(item.itemClass == DialogItemClass::Button ? kButtonClass : kStaticClass);
        if (item.iconId != 0) out.ordinal(static_cast<WORD>(item.iconId));
        else out.text(item.text);
        out.word(0);  // no creation data
    }
    return out.take();
}

INT_PTR CALLBACK dialogProcedure(HWND window, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
        case WM_INITDIALOG: return TRUE;
        case WM_COMMAND:
            if (HIWORD(wParam) == BN_CLICKED) {
                ::EndDialog(window, LOWORD(wParam));
                return TRUE;
            }
            return FALSE;
        case WM_CLOSE: ::EndDialog(window, IDCANCEL); return TRUE;
        default: return FALSE;
    }
}

int runSystemDialog(const DialogTemplate& dialog) {
    const std::vector<WORD> block = buildTemplate(dialog);
    const auto instance = static_cast<HINSTANCE>(currentModuleState().instance);
    const INT_PTR result = ::DialogBoxIndirectParamW(
        instance, reinterpret_cast<LPCDLGTEMPLATEW>(block.data()), nullptr, dialogProcedure, 0);
    return result <= 0 ? IDCANCEL : static_cast<int>(result);
}

DialogRunner& currentRunner() {
    static DialogRunner runner = runSystemDialog;
    return runner;
}

}  // namespace

int runModalDialog(const DialogTemplate& dialog) { return currentRunner()(dialog); }

DialogRunner setDialogRunner(DialogRunner runner) {
    if (!runner) runner = runSystemDialog;
    return std::exchange(currentRunner(), std::move(runner));
}

}  // namespace platform
