// Resources of the control held as data: the string table, the dialog
// templates of the about box (1) and the property page (200), and the
// version record. The images (icon 202, bitmap 201) and the type library
// description are files in this directory, embedded by the build.
#pragma once

#include <string_view>

#include "platform/Dialog.h"

namespace resources {

inline constexpr long IDS_IVELCARD = 1;           // the control's user type name
inline constexpr long IDS_IVELCARD_PPG = 2;       // the property page's user type name
inline constexpr long IDS_IVELCARD_PPG_CAPTION = 200;
inline constexpr long IDD_ABOUTBOX_IVELCARD = 1;
inline constexpr long IDD_PROPPAGE_IVELCARD = 200;
inline constexpr long IDB_IVELCARD = 201;         // toolbox bitmap
inline constexpr long IDI_ABOUTDLL = 202;         // icon
inline constexpr long kLanguage = 2052;           // Chinese (PRC), all resources

// The string with that id, or empty.
std::u16string_view loadString(long id);

// The dialog template with that id, or null.
const platform::DialogTemplate* findDialog(long id);

struct VersionRecord {
    unsigned short fileVersion[4];
    unsigned short productVersion[4];
    std::u16string_view fileVersionText;
    std::u16string_view productVersionText;
    std::u16string_view companyName;
    std::u16string_view fileDescription;
    std::u16string_view internalName;
    std::u16string_view legalCopyright;
    std::u16string_view originalFilename;
    std::u16string_view productName;
    unsigned short translationLanguage;
    unsigned short translationCodePage;
    unsigned fileOs;    // VOS__WINDOWS32
    unsigned fileType;  // VFT_DLL
};
const VersionRecord& versionRecord();

// The application manifest (resource type 24, id 2) a Windows build carries.
inline constexpr long kManifestId = 2;
std::string_view applicationManifest();

}  // namespace resources
