// The window-system vocabulary where the Windows SDK does not exist: the
// rectangle and colour types, stock object ids, window, dialog and control
// styles, dialog and message box answers and standard resource types, at
// global scope with the SDK's names and values.
#pragma once

#include <cstdint>

struct RECT {
    std::int32_t left, top, right, bottom;
};

using COLORREF = std::uint32_t;  // 0x00BBGGRR
constexpr COLORREF RGB(std::uint8_t r, std::uint8_t g, std::uint8_t b) {
    return COLORREF{r} | (COLORREF{g} << 8) | (COLORREF{b} << 16);
}

constexpr int WHITE_BRUSH = 0;
constexpr int BLACK_BRUSH = 4;
constexpr int BLACK_PEN = 7;

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
constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;

constexpr unsigned MB_OK = 0;

// Standard resource types in their "#n" form, as the resource functions
// accept them.
inline constexpr const char* RT_BITMAP = "#2";
inline constexpr const char* RT_ICON = "#3";
inline constexpr const char* RT_DIALOG = "#5";
inline constexpr const char* RT_STRING = "#6";
inline constexpr const char* RT_GROUP_ICON = "#14";
inline constexpr const char* RT_VERSION = "#16";
inline constexpr const char* RT_MANIFEST = "#24";
