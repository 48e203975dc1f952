// The framework's module state: which module is current on this thread.
//
// Every entry from outside (exports, dispatch calls, interface methods) makes
// its own module's state current for the duration of the call and restores
// the caller's on every return path.
#pragma once

#include "platform/System.h"

namespace platform {

struct ModuleState {
    // The module the state belongs to, as the framework records it.
    ModuleHandle instance;
};

// The state of the module this code is compiled into.
ModuleState& staticModuleState();
// The state current on this thread (the static one when none was set).
ModuleState& currentModuleState();

class ModuleStateGuard {
public:
    explicit ModuleStateGuard(ModuleState& state);
    ~ModuleStateGuard();
    ModuleStateGuard(const ModuleStateGuard&) = delete;
    ModuleStateGuard& operator=(const ModuleStateGuard&) = delete;

private:
    ModuleState* previous_;
};

}  // namespace platform

// Makes this module's state current until the end of the enclosing scope.
#define AFX_MANAGE_STATE_STATIC() \
    ::platform::ModuleStateGuard ivelModuleStateGuard_(::platform::staticModuleState())
