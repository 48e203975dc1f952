// Where the control finds data installed beside it, and the Windows
// directory that holds the system fonts.
//
// The data directory is "share/ivelcard/" of the prefix the module lives in:
// looked up from the module's own directory as "../share/ivelcard/" (module
// in <prefix>/lib or <prefix>/bin, and the build tree's bin/) or
// "../../share/ivelcard/" (module in a multiarch <prefix>/lib/<triplet>).
// Within it, "windows/" stands in for the Windows directory: its
// "Fonts/SIMHEI.TTF" links to a Hei-style Chinese font.
#pragma once

#include <optional>
#include <string>

namespace platform {

// The data directory, absolute and ending in kPathSeparator; empty when
// none of the candidates is a directory. Once found it is kept for the
// process (the module does not move while it is loaded).
std::string dataDirectory();

// The Windows directory, without a trailing separator: the value of the
// environment variable "windir" when it is set (even if empty), else the
// data directory's "windows" stand-in; nothing when neither exists.
std::optional<std::string> windowsDirectory();

}  // namespace platform
