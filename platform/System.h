// Operating-system services the control uses: the private per-user temporary
// directory, directory chains, files with "in use" semantics, libraries and
// their functions, environment variables and the module's own identity.
//
// Paths are multi-byte texts; directories end in kPathSeparator.
#pragma once

#include <cstddef>
#include <cstdio>
#include <optional>
#include <string>

namespace platform {

#if defined(_WIN32)
constexpr char kPathSeparator = '\\';
#else
constexpr char kPathSeparator = '/';
#endif

// A loaded library (from loadLibrary) or, for resources, a module's base
// address (from moduleContainingAddress). Null means none.
using ModuleHandle = void*;

// The value of an environment variable, or nothing when it is not set.
std::optional<std::string> environmentVariable(const char* name);
// Sets an environment variable of this process.
bool setEnvironmentVariable(const char* name, const std::string& value);

// The user's private temporary directory, ending in kPathSeparator:
// $XDG_RUNTIME_DIR when it passes the privacy checks, otherwise a per-user
// directory "ivelcard-<uid>" under $TMPDIR (or /tmp, when $TMPDIR is unset,
// relative or no existing directory), created with mode 0700 and checked the
// same way, in a parent that others cannot write to or that is sticky and
// owned by this user or root. When the per-user directory is refused (another
// user may have made it first), a fresh private directory made with mkdtemp
// in the same parent, the same one for the rest of the process. Empty when no
// candidate passes. Every directory passed over is reported (reportProblem)
// with the reason.
std::string tempPath();

// The system's text for the error `code` (errno on POSIX, a Windows error
// code on Windows) in UTF-8, without a closing period or line end; "error N"
// when the system has none.
std::string systemErrorText(int code);

// Writes one line about a problem of the environment to standard error
// ("ivelcard: " and the line), once per process for the same line.
void reportProblem(const std::string& line);

// Creates every missing directory of `path` up to its last separator (the
// text after it names a file and is not created). New directories get mode
// 0700. True when the whole chain exists afterwards.
bool makeSureDirectoryPathExists(const std::string& path);

// True when `path` is a real directory (not a symlink) owned by this user
// that grants nobody else any access (private) or at least no write access
// (notWritableByOthers).
enum class DirectoryCheck { Private, NotWritableByOthers };
bool isOwnDirectory(const std::string& path, DirectoryCheck check);
// Why `path` fails those checks, as the rest of a sentence about it ("is a
// symbolic link", "is owned by uid 65534, not by this user (uid 1000)", "has
// mode 0770, open to others"), or empty when it passes.
std::string directoryRefusal(const std::string& path, DirectoryCheck check);

// Writes a whole file the way a library image must be written: never over a
// library this process has loaded (InUse, nothing written), else into a
// temporary file in the same directory renamed into place (Written), or
// Failed with the old file untouched.
enum class WriteOutcome { Written, InUse, Failed };
WriteOutcome writeFileReplacing(const std::string& path, const void* data, std::size_t size);

// Deletes a file; false when it did not exist or could not be removed.
bool deleteFile(const std::string& path);

// Loads a library (or takes another reference to it when loaded); null on
// failure.
ModuleHandle loadLibrary(const std::string& path);
// The library at `path` when this process has exactly that file loaded
// (another reference to it, to be given back with releaseLibrary).
ModuleHandle loadedLibrary(const std::string& path);
// Gives back one reference taken by loadLibrary or loadedLibrary.
void releaseLibrary(ModuleHandle library);
// The address of an exported function, or null.
void* procAddress(ModuleHandle library, const char* name);

// The base of the module (main program or shared object) that contains
// `address`, or null.
ModuleHandle moduleContainingAddress(const void* address);
// The file path of the module that contains `address`, or empty.
std::string modulePathContainingAddress(const void* address);

}  // namespace platform

namespace platform {

// The path of the running program, or empty.
std::string executablePath();

// True when `path` names an existing file or directory.
bool fileExists(const std::string& path);

// Keeps standard output for the program's own answers: returns a stream on
// the original standard output and points the process's standard output
// (where loaded modules print their diagnostics) at standard error. On
// Windows, where modules print nothing, it makes standard output and error
// binary (bytes as written) and the console's output code page UTF-8.
std::FILE* reserveStandardOutput();

}  // namespace platform
