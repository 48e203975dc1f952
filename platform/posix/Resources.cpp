#include "platform/Resources.h"

#include <cstring>

// The table a build step generates beside the embedded files; absent (null)
// in binaries that carry no resources. It ends with an entry whose type is
// null.
extern "C" const platform::ResourceEntry ivelResourceTable[] __attribute__((weak, visibility("hidden")));

namespace platform {

ModuleHandle resourceModule() {
    if (ivelResourceTable == nullptr) return nullptr;
    return moduleContainingAddress(ivelResourceTable);
}

ResourceHandle findResource(ModuleHandle module, long id, const char* type) {
    if (module == nullptr || type == nullptr || module != resourceModule()) return nullptr;
    for (const ResourceEntry* entry = ivelResourceTable; entry->type != nullptr; ++entry) {
        if (entry->id == id && std::strcmp(entry->type, type) == 0) return entry;
    }
    return nullptr;
}

const void* loadResource(ModuleHandle module, ResourceHandle resource) {
    if (module == nullptr || resource == nullptr) return nullptr;
    return resource->data;
}

std::size_t sizeofResource(ModuleHandle module, ResourceHandle resource) {
    if (module == nullptr || resource == nullptr) return 0;
    return resource->size;
}

const void* lockResource(const void* loaded) { return loaded; }

}  // namespace platform
