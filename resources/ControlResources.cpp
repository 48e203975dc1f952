#include "resources/ControlResources.h"

#include <cstdint>
#include <iterator>

#include "platform/HostSupport.h"

namespace resources {
namespace {

using namespace platform;

struct StringEntry {
    long id;
    std::u16string_view text;
};
constexpr StringEntry kStrings[] = {
    {IDS_IVELCARD, u"Ivelcard Control"},
    {IDS_IVELCARD_PPG, u"Ivelcard Property Page"},
    {IDS_IVELCARD_PPG_CAPTION, u"常规"},
};

constexpr DialogItem kAboutItems[] = {
    {IDC_STATIC, DialogItemClass::Static, u"", IDI_ABOUTDLL, WS_CHILD | WS_VISIBLE | SS_ICON, 14, 14, 20, 20},
    {IDC_STATIC, DialogItemClass::Static, u"二代身份证阅读器控件 1.0 版", 0,
     WS_CHILD | WS_VISIBLE | WS_GROUP | SS_NOPREFIX, 42, 14, 114, 8},
    {IDC_STATIC, DialogItemClass::Static, u"版权所有 (C) 2026 Ivelcard 开发者", 0, WS_CHILD | WS_VISIBLE | WS_GROUP,
     42, 26, 114, 8},
    {1, DialogItemClass::Button, u"确定", 0, WS_CHILD | WS_VISIBLE | WS_TABSTOP | WS_GROUP | BS_DEFPUSHBUTTON, 113,
     41, 50, 14},
};
constexpr DialogTemplate kAboutDialog = {
    true, WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT | DS_FIXEDSYS, 0, 0, 0, 170, 62,
    u"关于 二代身份证阅读器控件", u"MS Shell Dlg", 9, 0, false, 1, kAboutItems,
};

constexpr DialogItem kPropertyPageItems[] = {
    {IDC_STATIC, DialogItemClass::Static, u"TODO: 将用于操作 Ivelcard Control 的属性的控件放置在此对话框上。", 0,
     WS_CHILD | WS_VISIBLE | WS_GROUP, 7, 25, 229, 16},
};
constexpr DialogTemplate kPropertyPageDialog = {
    false, WS_CHILD | DS_SETFONT, 0, 0, 0, 250, 62, u"", u"MS Shell Dlg", 9, 0, false, 1, kPropertyPageItems,
};

struct DialogEntry {
    long id;
    const DialogTemplate* dialog;
};
constexpr DialogEntry kDialogs[] = {
    {IDD_ABOUTBOX_IVELCARD, &kAboutDialog},
    {IDD_PROPPAGE_IVELCARD, &kPropertyPageDialog},
};

constexpr VersionRecord kVersion = {
    {2, 0, 2, 2},
    {2, 0, 2, 2},
    u"2, 0, 2, 2",
    u"2, 0, 2, 2",
    u"Ivelcard",
    u"TODO: 用与二代身份证阅读器在web使用的控件",
    u"Ivelcard.ocx",
    u"版权所有 (C) 2026 Ivelcard 开发者",
    u"Ivelcard.ocx",
    u"TODO: 二代身份证阅读器控件",
    0x0804,
    936,
    0x00000004,
    0x00000002,
};

#if defined(__ELF__)
// The file version as an ELF note (see platform/HostSupport.h), so that a
// host can tell the module's version without loading it.
struct VersionNote {
    std::uint32_t ownerSize;
    std::uint32_t contentSize;
    std::uint32_t type;
    char owner[(sizeof kVersionNoteOwner + 3) / 4 * 4];
    std::uint16_t version[4];
};
[[gnu::used, gnu::section(".note.ivelcard.version"), gnu::aligned(4)]] const VersionNote kVersionNote = {
    sizeof kVersionNoteOwner,
    sizeof kVersionNote.version,
    kVersionNoteType,
    "Ivelcard",
    {kVersion.fileVersion[0], kVersion.fileVersion[1], kVersion.fileVersion[2], kVersion.fileVersion[3]},
};
#endif

constexpr std::string_view kManifest = R"(<?xml version="1.0" encoding="UTF-8" standalone="yes"?>
<assembly xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0">
  <trustInfo xmlns="urn:schemas-microsoft-com:asm.v3">
    <security>
      <requestedPrivileges>
        <requestedExecutionLevel level="asInvoker" uiAccess="false"></requestedExecutionLevel>
      </requestedPrivileges>
    </security>
  </trustInfo>
  <dependency>
    <dependentAssembly>
      <assemblyIdentity type="win32" name="Microsoft.VC90.CRT" version="9.0.21022.8" processorArchitecture="x86"></assemblyIdentity>
    </dependentAssembly>
  </dependency>
  <dependency>
    <dependentAssembly>
      <assemblyIdentity type="win32" name="Microsoft.VC90.MFC" version="9.0.21022.8" processorArchitecture="x86"></assemblyIdentity>
    </dependentAssembly>
  </dependency>
</assembly>
)";

}  // namespace

std::u16string_view loadString(long id) {
    for (const StringEntry& entry : kStrings) {
        if (entry.id == id) return entry.text;
    }
    return {};
}

const DialogTemplate* findDialog(long id) {
    for (const DialogEntry& entry : kDialogs) {
        if (entry.id == id) return entry.dialog;
    }
    return nullptr;
}

const VersionRecord& versionRecord() { return kVersion; }

std::string_view applicationManifest() { return kManifest; }

}  // namespace resources
