#include "platform/Resources.h"

namespace platform {
namespace {
const char kModuleAnchor = 0;
}  // namespace

ModuleHandle resourceModule() { return moduleContainingAddress(&kModuleAnchor); }

ResourceHandle findResource(ModuleHandle module, long id, const char* type) {
    if (module == nullptr || type == nullptr) return nullptr;
    return ::FindResourceA(static_cast<HMODULE>(module), MAKEINTRESOURCEA(id), type);
}

const void* loadResource(ModuleHandle module, ResourceHandle resource) {
    if (module == nullptr || resource == nullptr) return nullptr;
    return ::LoadResource(static_cast<HMODULE>(module), resource);
}

std::size_t sizeofResource(ModuleHandle module, ResourceHandle resource) {
    if (module == nullptr || resource == nullptr) return 0;
    return ::SizeofResource(static_cast<HMODULE>(module), resource);
}

const void* lockResource(const void* loaded) {
    return loaded == nullptr ? nullptr : ::LockResource(const_cast<HGLOBAL>(loaded));
}

}  // namespace platform
