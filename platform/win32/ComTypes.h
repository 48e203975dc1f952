// The COM vocabulary on Windows: the SDK's own headers. Nothing here may
// redefine what they declare; the framework's sources use the SDK names.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <ole2.h>
#include <oaidl.h>
#include <ocidl.h>
#include <olectl.h>
#include <objsafe.h>

#include <type_traits>

// The id of static items, as resource scripts spell it (winres.h).
#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif

// COM methods and the module's exports use the callee-cleans convention on
// 32-bit Windows; a host calling a method compiled otherwise corrupts its
// stack on the first call.
#if defined(__i386__)
static_assert(!std::is_same_v<HRESULT(STDMETHODCALLTYPE*)(void*), HRESULT (*)(void*)>,
              "STDMETHODCALLTYPE must be __stdcall on 32-bit Windows");
static_assert(std::is_same_v<decltype(&IUnknown::AddRef), ULONG (__stdcall IUnknown::*)()>,
              "IUnknown methods must be __stdcall on 32-bit Windows");
#endif
