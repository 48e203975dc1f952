#include "control/IvelcardCtrl.h"

#include <json/value.h>

#include <cstring>
#include <span>
#include <string>

#include "control/Identifiers.h"
#include "control/Messages.h"
#include "control/ResultDocument.h"
#include "platform/Exceptions.h"
#include "platform/ModuleState.h"
#include "reader/Deployment.h"
#include "reader/ReaderLibrary.h"
#include "reader/Session.h"

namespace control {
namespace {

using platform::BSTR;
namespace msg = messages;

// One row of an operation's outcome table. `flag` kFlagIsCode passes the
// code through as the flag.
constexpr int kFlagIsCode = 0x7FFFFFFF;
struct OutcomeRow {
    int code;
    int flag;
    const char* const* message;  // points at the message constant; null for ""
    int status;
};
struct OutcomeTable {
    std::span<const OutcomeRow> rows;
    OutcomeRow otherwise;  // for any code no row names (its `code` is unused)
};

constexpr int kStatusReady = 0;
constexpr int kStatusNotReady = 1;

constexpr OutcomeRow kConnectRows[] = {
    {reader::kSessionOk, 0, nullptr, 0},
    {reader::kSessionNotConnected, -1, &msg::kDeviceNotConnected, 0},
    {reader::kSessionNotReady, -1, &msg::kLibraryLoadFailed, 0},
};
constexpr OutcomeTable kConnectTable{kConnectRows, {0, -1, &msg::kUnknownError, 0}};

constexpr OutcomeRow kDisconnectRows[] = {
    {reader::kSessionOk, 0, nullptr, 0},
    {reader::kSessionLibraryFailure, 1, &msg::kErrorOccurred, 0},
    {reader::kSessionNotConnected, -1, &msg::kDeviceNotConnected, 0},
    {reader::kSessionNotReady, -2, &msg::kErrorOccurred, 0},
};
constexpr OutcomeTable kDisconnectTable{kDisconnectRows, {0, kFlagIsCode, &msg::kErrorOccurred, 0}};

constexpr int kSamStatusNoDevice = 96;
constexpr int kSamStatusUnauthorised = 102;
constexpr int kSamStatusNoDriver = 1;
constexpr OutcomeRow kGetStatusRows[] = {
    {reader::kStatusSuccess, 0, nullptr, kStatusReady},
    {reader::kSessionNotConnected, 0, &msg::kDeviceNotConnected, kStatusNotReady},
    {kSamStatusNoDevice, 0, &msg::kDeviceNotConnected, kStatusNotReady},
    {kSamStatusUnauthorised, 0, &msg::kSamNotAuthorised, kStatusNotReady},
    {kSamStatusNoDriver, -1, &msg::kDriverNotFound, kStatusNotReady},
    {reader::kSessionNotReady, -1, &msg::kLibraryLoadFailed, kStatusNotReady},
};
constexpr OutcomeTable kGetStatusTable{kGetStatusRows, {0, kFlagIsCode, &msg::kUnknownError, kStatusNotReady}};

constexpr OutcomeRow kGetSamIdRows[] = {
    {reader::kSessionOk, 0, nullptr, 0},
    {reader::kSessionLibraryFailure, 1, &msg::kSamIdFailed, 0},
    {reader::kSessionNotConnected, -1, &msg::kSamIdFailed, 0},
    {reader::kSessionNotReady, -2, &msg::kSamIdFailed, 0},
};
constexpr OutcomeTable kGetSamIdTable{kGetSamIdRows, {0, kFlagIsCode, &msg::kSamIdFailed, 0}};

// Card read codes.
constexpr int kReadFailed = -1;
constexpr int kReadNotConnected = -2;
constexpr int kReadNotReady = -3;
constexpr OutcomeRow kReadCertRows[] = {
    {0, 0, nullptr, 0},
    {kReadFailed, -1, &msg::kReadCardError, 0},
    {kReadNotConnected, -1, &msg::kDeviceNotConnected, 0},
    {kReadNotReady, -1, &msg::kLibraryLinkError, 0},
};
constexpr OutcomeTable kReadCertTable{kReadCertRows, {0, -1, &msg::kUnknownError, 0}};

// The state one operation builds its document from.
class Frame {
public:
    explicit Frame(const char* initialMessage) : message_(initialMessage) {}

    // Sets flag, message and status from the table row for `code`.
    void apply(const OutcomeTable& table, int code) {
        const OutcomeRow* row = &table.otherwise;
        for (const OutcomeRow& candidate : table.rows) {
            if (candidate.code == code) row = &candidate;
        }
        flag_ = row->flag == kFlagIsCode ? code : row->flag;
        message_ = row->message != nullptr ? *row->message : "";
        status_ = row->status;
    }

    // Runs `work` inside the guard; a caught failure leaves the state as it stood.
    template <class Work>
    void determine(Work&& work) {
        platform::runGuarded(work);
    }

    int status() const { return status_; }

    // Sets "resultFlag" and "errorMsg", then the operation's own members,
    // and writes the document.
    template <class Extras>
    std::string finish(Extras&& setExtras) {
        document_["resultFlag"] = flag_;
        document_["errorMsg"] = message_;
        setExtras(document_);
        return writeDocument(document_);
    }
    std::string finish() {
        return finish([](Json::Value&) {});
    }

private:
    Json::Value document_{Json::objectValue};
    int flag_ = -1;
    const char* message_;
    int status_ = kStatusNotReady;
};

template <class Method>
BSTR runSessionOperation(const char* initialMessage, const OutcomeTable& table, Method&& operation) {
    AFX_MANAGE_STATE_STATIC();
    Frame frame(initialMessage);
    frame.determine([&] { frame.apply(table, operation()); });
    return documentToBstr(frame.finish());
}

constexpr platform::DispatchEntry kDispatchTable[] = {
    {"AboutBox", platform::DISPID_ABOUTBOX, platform::VT_EMPTY,
     platform::dispatchCall<CIvelcardCtrl, &CIvelcardCtrl::AboutBox>},
    {"connect", kDispidConnect, platform::VT_BSTR, platform::dispatchCall<CIvelcardCtrl, &CIvelcardCtrl::connect>},
    {"disconnect", kDispidDisconnect, platform::VT_BSTR,
     platform::dispatchCall<CIvelcardCtrl, &CIvelcardCtrl::disconnect>},
    {"getStatus", kDispidGetStatus, platform::VT_BSTR,
     platform::dispatchCall<CIvelcardCtrl, &CIvelcardCtrl::getStatus>},
    {"readCert", kDispidReadCert, platform::VT_BSTR, platform::dispatchCall<CIvelcardCtrl, &CIvelcardCtrl::readCert>},
    {"getSAMID", kDispidGetSamId, platform::VT_BSTR, platform::dispatchCall<CIvelcardCtrl, &CIvelcardCtrl::getSAMID>},
};

}  // namespace

CIvelcardCtrl::CIvelcardCtrl() : COleControl(kDispatchTable) {
    InitializeIIDs(&IID_DIvelcard, &IID_DIvelcardEvents);
    reader::ReaderLibrary& library = reader::readerLibrary();
    library.librariesReady = false;
    library.librariesReady = reader::deployReaderLibraries();
}

platform::IUnknown* CIvelcardCtrl::create() { return new CIvelcardCtrl(); }

BSTR CIvelcardCtrl::connect() {
    return runSessionOperation(msg::kConnectError, kConnectTable, reader::openSession);
}

BSTR CIvelcardCtrl::disconnect() {
    return runSessionOperation(msg::kCloseError, kDisconnectTable, reader::closeSession);
}

BSTR CIvelcardCtrl::getStatus() {
    AFX_MANAGE_STATE_STATIC();
    Frame frame(msg::kDeviceNotConnected);
    frame.determine([&] { frame.apply(kGetStatusTable, reader::querySamStatus()); });
    return documentToBstr(frame.finish([&](Json::Value& document) { document["status"] = frame.status(); }));
}

BSTR CIvelcardCtrl::getSAMID() {
    AFX_MANAGE_STATE_STATIC();
    Frame frame(msg::kSamIdError);
    char samId[reader::kSamIdBufferSize] = {};
    frame.determine([&] { frame.apply(kGetSamIdTable, reader::querySamId(samId)); });
    return documentToBstr(frame.finish([&](Json::Value& document) {
        // The library may fill all 40 bytes; the text never reads past them.
        document["samid"] = std::string(samId, strnlen(samId, sizeof samId));
    }));
}

BSTR CIvelcardCtrl::readCert() {
    AFX_MANAGE_STATE_STATIC();
    Frame frame(msg::kReadCardError);
    frame.determine([&] {
        const reader::ReaderLibrary& library = reader::readerLibrary();
        const int code = !library.librariesReady ? kReadNotReady
                         : !library.connected    ? kReadNotConnected
                                                 : kReadFailed;  // the card read itself is not built yet
        frame.apply(kReadCertTable, code);
    });
    return documentToBstr(frame.finish());
}

void CIvelcardCtrl::AboutBox() {}

}  // namespace control
