// Services the hosts need beyond the control's own: whether a stream is a
// terminal, files only their owner may read, a module file's version, and
// where the hosts' configuration lives.
//
// A module carries its file version (the version record's four numbers): on
// Windows in its version resource, elsewhere as an ELF note of owner
// kVersionNoteOwner and type kVersionNoteType whose content is four 16-bit
// numbers in the file's byte order, most significant first; a host reads it
// from the file without loading the module.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

inline constexpr char kVersionNoteOwner[] = "Ivelcard";
inline constexpr std::uint32_t kVersionNoteType = 1;

using FileVersion = std::array<std::uint16_t, 4>;

// True when the stream is connected to a terminal.
bool isTerminal(std::FILE* stream);

// Writes `bytes` as the whole content of the file at `path`, which only its
// owner may read or write (mode 0600; on Windows an access list for the owner
// and the system alone; also when it existed before). A symlink at `path` is
// never followed. False with `error` set on failure.
bool writePrivateFile(const std::string& path, std::string_view bytes, std::string& error);

// The file version the module at `path` carries, or nothing when the file
// cannot be read or carries none.
std::optional<FileVersion> moduleFileVersion(const std::string& path);

// The path of the system file `absolute` ("/etc/..."): below the absolute
// directory $IVELCARD_SYSTEM_ROOT when that is set (so that tests never touch
// the real system), else `absolute` itself. POSIX only; Windows gives
// `absolute` back.
std::string systemPath(const std::string& absolute);

// The machine-wide configuration directory, written by an administrator or
// an installer: systemPath("/etc/ivelcard") (POSIX), "%PROGRAMDATA%\Ivelcard"
// (Windows). No trailing separator; empty when the system names none. This
// and the user's directory are UTF-8 on Windows too.
std::string machineConfigDirectory();

// The user's configuration directory: "$XDG_CONFIG_HOME/ivelcard" when that
// variable is absolute (a relative one is ignored, as the XDG rules say),
// else "$HOME/.config/ivelcard" (POSIX); "%APPDATA%\Ivelcard" (Windows).
// No trailing separator; empty when there is none.
std::string userConfigDirectory();

// Where a program without a console keeps its log: "%LOCALAPPDATA%\Ivelcard"
// (Windows, UTF-8); empty on POSIX, whose services log to standard error.
std::string logDirectory();

}  // namespace platform
