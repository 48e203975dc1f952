// Deployment and binding of the reader libraries.
//
// The work directory is "chinaidcard" under the user's private temporary
// directory, rebuilt (and its chain created) whenever it is needed. Each
// control creation writes the three embedded library images there, loads
// them and binds the thirteen functions into the ReaderLibrary. A library
// this process already has loaded is never overwritten (its handle is
// reused), and a file this deployment did not write is never loaded. When the
// table already holds the three libraries of this work directory, loaded and
// with every function bound, the deployment leaves it as it is. Callers hold
// readerLibraryLock().
#pragma once

#include <cstddef>
#include <string>

#include "platform/System.h"

namespace reader {

// Resource type and ids of the embedded library images.
inline constexpr const char* kLibraryResourceType = "DLL";
inline constexpr long kReaderLibraryResource = 112;
inline constexpr long kUnpackLibraryResource = 111;
inline constexpr long kDecoderLibraryResource = 113;

inline constexpr const char* kWorkDirectoryName = "chinaidcard";

// The work directory path, ending in the path separator, with its directory
// chain created. Empty when the directory is not private to this user (owned
// by someone else, writable by others, a symlink) or no private temporary
// directory exists: such a directory is never used.
std::string workDirectoryPath();

// Builds the work directory path from a temporary directory path: one
// separator between them, never two.
std::string workDirectoryPathFrom(const std::string& tempPath);

// The whole deployment and binding; true only on full success. Shows the
// messages of a failed portrait library load or a missing export.
bool deployReaderLibraries();

// Writes one library image to `path` and loads it. A library this process
// has loaded from that path is reused untouched; when the image cannot be
// written, nothing is loaded (null).
platform::ModuleHandle writeAndLoadLibrary(const std::string& path, const void* bytes, std::size_t size);

}  // namespace reader
