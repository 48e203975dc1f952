#include "reader/Session.h"

#include <cstring>

#include "reader/ReaderLibrary.h"

namespace reader {
namespace {

// Opens the session on `port` after a probe answered `status`; false when
// the answer does not open it.
bool openOnAnswer(ReaderLibrary& library, int port, int status) {
    if (status == kStatusSuccess) {
        library.SDT_SetMaxRFByte(port, kMaxRfBytes, kCallFlag);
    } else if (status != kProbeOpenUntuned) {
        return false;
    }
    library.connected = true;
    library.currentPort = port;
    return true;
}

}  // namespace

int openSession() {
    ReaderLibrary& library = readerLibrary();
    if (!library.librariesReady) return kSessionNotReady;
    const int remembered = library.currentPort;
    if (openOnAnswer(library, remembered, library.SDT_GetSAMStatus(remembered, kCallFlag))) return kSessionOk;
    for (const int port : kSearchPorts) {
        // A search port answering 0 opens the session there, like the
        // remembered port does: reporting success must mean an open session.
        if (openOnAnswer(library, port, library.SDT_GetSAMStatus(port, kCallFlag))) return kSessionOk;
    }
    return library.connected ? kSessionOk : kSessionNotConnected;
}

int closeSession() {
    ReaderLibrary& library = readerLibrary();
    if (!library.librariesReady) return kSessionNotReady;
    if (!library.connected) return kSessionNotConnected;
    const int result = library.SDT_ClosePort(library.currentPort);
    library.connected = false;
    return result == kStatusSuccess ? kSessionOk : kSessionLibraryFailure;
}

int querySamStatus() {
    ReaderLibrary& library = readerLibrary();
    if (!library.librariesReady) return kSessionNotReady;
    if (!library.connected) return kSessionNotConnected;
    return library.SDT_GetSAMStatus(library.currentPort, kCallFlag);
}

int querySamId(char (&buffer)[kSamIdBufferSize]) {
    std::memset(buffer, 0, sizeof buffer);
    ReaderLibrary& library = readerLibrary();
    if (!library.librariesReady) return kSessionNotReady;
    if (!library.connected) return kSessionNotConnected;
    const int result = library.SDT_GetSAMIDToStr(library.currentPort, buffer, kCallFlag);
    return result == kStatusSuccess ? kSessionOk : kSessionLibraryFailure;
}

}  // namespace reader
