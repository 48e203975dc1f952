// COM basics for the framework: GUID, HRESULT and its constants, BSTR
// (length-prefixed UTF-16 allocated by the platform), VARIANT for the types
// the dispatch members use, and the interfaces IUnknown, IClassFactory,
// IDispatch, IObjectSafety and IViewObject.
//
// On Windows these are the SDK's own declarations (win32/ComTypes.h); other
// platforms get look-alikes with the same names, values and vtable order
// (posix/ComTypes.h). Either way the constants that the SDK defines as macros
// (S_OK, E_FAIL, SUCCEEDED, REFIID, DISPID_*, VT_*, INTERFACESAFE_*, ...) live at
// global scope and are written unqualified; the types are also reachable as
// platform::HRESULT, platform::BSTR and so on.
#pragma once

#include <string>
#include <string_view>

#if defined(_WIN32)
#include "platform/win32/ComTypes.h"
#else
#include "platform/posix/ComTypes.h"
#endif

namespace platform {

using ::BOOL;
using ::BSTR;
using ::CLSID;
using ::DISPID;
using ::DISPPARAMS;
using ::DWORD;
using ::EXCEPINFO;
using ::GUID;
using ::HDC;
using ::HRESULT;
using ::IClassFactory;
using ::IDispatch;
using ::IID;
using ::IObjectSafety;
using ::ITypeInfo;
using ::IUnknown;
using ::IViewObject;
using ::LCID;
using ::LONG;
using ::LPOLESTR;
using ::OLECHAR;
using ::RECTL;
using ::UINT;
using ::ULONG;
using ::ULONG_PTR;
using ::VARIANT;
using ::VARTYPE;
using ::WORD;

using ::IID_IClassFactory;
using ::IID_IDispatch;
using ::IID_IObjectSafety;
using ::IID_IUnknown;
using ::IID_IViewObject;
using ::IID_NULL;

using ::SysAllocString;
using ::SysAllocStringLen;
using ::SysFreeString;
using ::SysStringLen;
using ::VariantClear;
using ::VariantInit;

// The registry form "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" (uppercase).
std::string guidToString(const GUID& guid);
// Parses the registry form; false when `text` is not one.
bool guidFromString(std::string_view text, GUID& out);

// The signatures of the module entry points.
using DllGetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID clsid, REFIID iid, void** object);
using DllCanUnloadNowFn = HRESULT(STDAPICALLTYPE*)();
using DllRegisterServerFn = HRESULT(STDAPICALLTYPE*)();

}  // namespace platform
