// The process-wide reader library table: the handles of the three deployed
// libraries, the thirteen bound functions, whether the whole deployment
// succeeded, and the reader session state.
//
// All controls of a process share the one table. A host may create and call
// controls on several threads (one per apartment), so every user of the table
// holds readerLibraryLock(): a control's construction for its deployment and
// binding, each operation for its reader work. Calls from several threads
// then behave as if made one after another. Only the deployment writes the
// handles, functions and `librariesReady`; only the session operations write
// `connected` and `currentPort`.
#pragma once

#include <cstdint>
#include <mutex>

#include "platform/System.h"
#include "reader/ReaderApi.h"

namespace reader {

struct ReaderLibrary {
    platform::ModuleHandle ownModule = nullptr;
    platform::ModuleHandle readerModule = nullptr;
    platform::ModuleHandle unpackModule = nullptr;
    platform::ModuleHandle decoderModule = nullptr;

    SdtOpenPortFn SDT_OpenPort = nullptr;
    SdtClosePortFn SDT_ClosePort = nullptr;
    SdtStartFindIdCardFn SDT_StartFindIDCard = nullptr;
    SdtSelectIdCardFn SDT_SelectIDCard = nullptr;
    SdtReadBaseMsgFn SDT_ReadBaseMsg = nullptr;
    SdtReadBaseFpMsgFn SDT_ReadBaseFPMsg = nullptr;
    SdtReadNewAppMsgFn SDT_ReadNewAppMsg = nullptr;
    SdtGetSamStatusFn SDT_GetSAMStatus = nullptr;
    SdtGetSamIdFn SDT_GetSAMID = nullptr;
    SdtGetSamIdToStrFn SDT_GetSAMIDToStr = nullptr;
    SdtSetMaxRfByteFn SDT_SetMaxRFByte = nullptr;
    UnpackFn Unpack = nullptr;
    GetBmpFn GetBmp = nullptr;

    bool librariesReady = false;
    bool connected = false;
    std::int32_t currentPort = 0;
};

// The table of this process (of this module, when several are loaded).
ReaderLibrary& readerLibrary();

// The lock over the table and everything done through it. Recursive, so that
// a call that re-enters on the same thread (a modal box pumping messages)
// goes on as it would without the lock.
std::recursive_mutex& readerLibraryLock();

}  // namespace reader
