// The module's registration: the application object, the two class
// factories (control, property page) with their registration hooks, and
// self-registration and unregistration with their order and result codes.
//
// Registration first registers the type library (failure: SELFREG_E_TYPELIB,
// no class registered), then asks every factory (any failure:
// SELFREG_E_CLASS, what the others did stays). Unregistration runs in the
// same order; a type library that cannot be unregistered leaves the classes
// registered.
#pragma once

#include "platform/Com.h"

namespace control {

platform::HRESULT registerServer();
platform::HRESULT unregisterServer();

}  // namespace control
