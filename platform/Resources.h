// Resources carried inside the running module (find, load, size, lock).
//
// A build step embeds files into a module with a table of (type, id, bytes).
// Types are names such as "DLL" or "TYPELIB", or numbered standard types
// written "#n" as the Windows resource functions accept them. Only the module
// that holds the table can be searched.
#pragma once

#include <cstddef>

#include "platform/System.h"
#include "platform/UserTypes.h"

namespace platform {

#if defined(_WIN32)
// The module's resource section, through the system's resource functions.
using ResourceHandle = HRSRC;
#else
// The table the build step generates.
struct ResourceEntry {
    const char* type;
    long id;
    const unsigned char* data;
    std::size_t size;
};
using ResourceHandle = const ResourceEntry*;
#endif

// The module whose resources are compiled into this binary (its base).
ModuleHandle resourceModule();

ResourceHandle findResource(ModuleHandle module, long id, const char* type);
// Null when the resource cannot be loaded.
const void* loadResource(ModuleHandle module, ResourceHandle resource);
std::size_t sizeofResource(ModuleHandle module, ResourceHandle resource);
const void* lockResource(const void* loaded);

}  // namespace platform
