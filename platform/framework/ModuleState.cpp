#include "platform/ModuleState.h"

namespace platform {
namespace {
thread_local ModuleState* current = nullptr;
}

ModuleState& staticModuleState() {
    static ModuleState state{moduleContainingAddress(reinterpret_cast<const void*>(&staticModuleState))};
    return state;
}

ModuleState& currentModuleState() { return current != nullptr ? *current : staticModuleState(); }

ModuleStateGuard::ModuleStateGuard(ModuleState& state) : previous_(current) { current = &state; }

ModuleStateGuard::~ModuleStateGuard() { current = previous_; }

}  // namespace platform
