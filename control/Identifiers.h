// The module's fixed identities: type library, classes, interfaces, ProgIDs.
#pragma once

#include "platform/Com.h"

namespace control {

// {149AC0AB-F3F1-402A-B3B3-B49562250391}, version 1.0
extern const platform::GUID LIBID_IvelcardLib;
inline constexpr unsigned short kTypeLibMajor = 1;
inline constexpr unsigned short kTypeLibMinor = 0;
// {4F5D262A-FF7A-4211-8D8E-9D095FAB3A99}
extern const platform::CLSID CLSID_Ivelcard;
// {4A2110C8-CEB8-4A10-BCEB-9021B800186D}
extern const platform::IID IID_DIvelcard;
// {464340B3-DC8E-4CC0-911B-112616B6859A}
extern const platform::IID IID_DIvelcardEvents;
// {1D86AF72-1DBA-497B-845B-F18F5F982D56}
extern const platform::CLSID CLSID_IvelcardPropPage;

inline constexpr const char* kControlProgId = "IVELCARD.QVCtrl.1";
inline constexpr const char* kPropPageProgId = "IVELCARD.IvelcardPropPage.1";

// Dispatch ids of `_DIvelcard`.
inline constexpr platform::DISPID kDispidConnect = 1;
inline constexpr platform::DISPID kDispidDisconnect = 2;
inline constexpr platform::DISPID kDispidGetStatus = 3;
inline constexpr platform::DISPID kDispidReadCert = 4;
inline constexpr platform::DISPID kDispidGetSamId = 5;

}  // namespace control
