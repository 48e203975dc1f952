#include "control/IvelcardCtrl.h"

#include <json/value.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <span>
#include <string>

#include "control/Identifiers.h"
#include "control/Messages.h"
#include "control/ResultDocument.h"
#include "platform/Exceptions.h"
#include "platform/ModuleState.h"
#include "carddata/IdentityRecord.h"
#include "reader/CardRead.h"
#include "reader/Deployment.h"
#include "reader/ReaderLibrary.h"
#include "reader/Session.h"
#include "resources/ControlResources.h"

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

constexpr OutcomeRow kReadCertRows[] = {
    {reader::kCardOk, 0, nullptr, 0},
    {reader::kCardFailed, -1, &msg::kReadCardError, 0},
    {reader::kCardNotConnected, -1, &msg::kDeviceNotConnected, 0},
    {reader::kCardNotReady, -1, &msg::kLibraryLinkError, 0},
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

    // Runs `work` inside the guard; a caught failure leaves the state as it
    // stood. Returns what was caught.
    template <class Work>
    platform::CaughtFailure determine(Work&& work) {
        return platform::runGuarded(work);
    }

    int status() const { return status_; }
    // The document's "resultContent" member (created on first use).
    Json::Value& content() { return document_["resultContent"]; }

    // Sets "resultFlag" and "errorMsg", then the operation's own members,
    // and writes the document.
    template <class Extras>
    BSTR finish(Extras&& setExtras) {
        document_["resultFlag"] = flag_;
        document_["errorMsg"] = message_;
        setExtras(document_);
        return documentToBstr(document_);
    }
    BSTR finish() {
        return finish([](Json::Value&) {});
    }

private:
    Json::Value document_{Json::objectValue};
    int flag_ = -1;
    const char* message_;
    int status_ = kStatusNotReady;
};

// Holds the process-wide reader lock for the reader work of one operation or
// one construction: controls on several threads take turns.
using ReaderTurn = std::lock_guard<std::recursive_mutex>;

template <class Method>
BSTR runSessionOperation(const char* initialMessage, const OutcomeTable& table, Method&& operation) {
    AFX_MANAGE_STATE_STATIC();
    Frame frame(initialMessage);
    frame.determine([&] {
        const ReaderTurn turn(reader::readerLibraryLock());
        frame.apply(table, operation());
    });
    return frame.finish();
}

// The card's content as the document carries it, all twelve members.
struct ContentText {
    const char* key;
    std::string carddata::IdentityRecord::*field;
};
constexpr ContentText kContentTexts[] = {
    {"partyName", &carddata::IdentityRecord::partyName},
    {"nation", &carddata::IdentityRecord::nation},
    {"bornDay", &carddata::IdentityRecord::bornDay},
    {"certAddress", &carddata::IdentityRecord::certAddress},
    {"certNumber", &carddata::IdentityRecord::certNumber},
    {"certOrg", &carddata::IdentityRecord::certOrg},
    {"effDate", &carddata::IdentityRecord::effDate},
    {"expDate", &carddata::IdentityRecord::expDate},
    {"identityPic", &carddata::IdentityRecord::identityPic},
    {"base64ID_PicFront", &carddata::IdentityRecord::base64ID_PicFront},
    {"base64ID_PicBack", &carddata::IdentityRecord::base64ID_PicBack},
};

// Members only cards of another type carry, after the twelve; a resident
// card's document has none.
constexpr ContentText kForeignPermanentResidentTexts[] = {
    {"cardType", &carddata::IdentityRecord::cardType},
    {"englishName", &carddata::IdentityRecord::englishName},
    {"chineseName", &carddata::IdentityRecord::chineseName},
    {"nationality", &carddata::IdentityRecord::nationality},
    {"cardVersion", &carddata::IdentityRecord::cardVersion},
};
constexpr ContentText kHongKongMacaoTaiwanResidentTexts[] = {
    {"cardType", &carddata::IdentityRecord::cardType},
    {"passNumber", &carddata::IdentityRecord::passNumber},
    {"issueCount", &carddata::IdentityRecord::issueCount},
};
constexpr ContentText kUnknownCardTexts[] = {
    {"cardType", &carddata::IdentityRecord::cardType},
};
struct AddedContent {
    carddata::CardType type;
    std::span<const ContentText> texts;
};
constexpr AddedContent kAddedContent[] = {
    {carddata::CardType::ForeignPermanentResident, kForeignPermanentResidentTexts},
    {carddata::CardType::HongKongMacaoTaiwanResident, kHongKongMacaoTaiwanResidentTexts},
    {carddata::CardType::Unknown, kUnknownCardTexts},
};

Json::Value resultContent(const carddata::IdentityRecord& record) {
    Json::Value content(Json::objectValue);
    for (const ContentText& text : kContentTexts) content[text.key] = record.*text.field;
    content["gender"] = record.gender;  // a JSON integer
    for (const AddedContent& added : kAddedContent) {
        if (added.type != record.type) continue;
        for (const ContentText& text : added.texts) content[text.key] = record.*text.field;
    }
    return content;
}

constexpr platform::DispatchEntry kDispatchTable[] = {
    {"AboutBox", DISPID_ABOUTBOX, VT_EMPTY,
     platform::dispatchCall<CIvelcardCtrl, &CIvelcardCtrl::AboutBox>},
    {"connect", kDispidConnect, VT_BSTR, platform::dispatchCall<CIvelcardCtrl, &CIvelcardCtrl::connect>},
    {"disconnect", kDispidDisconnect, VT_BSTR,
     platform::dispatchCall<CIvelcardCtrl, &CIvelcardCtrl::disconnect>},
    {"getStatus", kDispidGetStatus, VT_BSTR,
     platform::dispatchCall<CIvelcardCtrl, &CIvelcardCtrl::getStatus>},
    {"readCert", kDispidReadCert, VT_BSTR, platform::dispatchCall<CIvelcardCtrl, &CIvelcardCtrl::readCert>},
    {"getSAMID", kDispidGetSamId, VT_BSTR, platform::dispatchCall<CIvelcardCtrl, &CIvelcardCtrl::getSAMID>},
};

}  // namespace

CIvelcardCtrl::CIvelcardCtrl() : COleControl(kDispatchTable) {
    InitializeIIDs(&IID_DIvelcard, &IID_DIvelcardEvents);
    const ReaderTurn turn(reader::readerLibraryLock());
    reader::ReaderLibrary& library = reader::readerLibrary();
    library.librariesReady = false;
    library.librariesReady = reader::deployReaderLibraries();
}

platform::IUnknown* CIvelcardCtrl::create() { return static_cast<platform::IDispatch*>(new CIvelcardCtrl()); }

BSTR CIvelcardCtrl::connect() {
    return runSessionOperation(msg::kConnectError, kConnectTable, reader::openSession);
}

BSTR CIvelcardCtrl::disconnect() {
    return runSessionOperation(msg::kCloseError, kDisconnectTable, reader::closeSession);
}

BSTR CIvelcardCtrl::getStatus() {
    AFX_MANAGE_STATE_STATIC();
    Frame frame(msg::kDeviceNotConnected);
    frame.determine([&] {
        const ReaderTurn turn(reader::readerLibraryLock());
        frame.apply(kGetStatusTable, reader::querySamStatus());
    });
    return frame.finish([&](Json::Value& document) { document["status"] = frame.status(); });
}

BSTR CIvelcardCtrl::getSAMID() {
    AFX_MANAGE_STATE_STATIC();
    Frame frame(msg::kSamIdError);
    char samId[reader::kSamIdBufferSize] = {};
    frame.determine([&] {
        const ReaderTurn turn(reader::readerLibraryLock());
        frame.apply(kGetSamIdTable, reader::querySamId(samId));
    });
    return frame.finish([&](Json::Value& document) {
        // The library may fill all 40 bytes; the text never reads past them.
        document["samid"] = std::string(samId, strnlen(samId, sizeof samId));
    });
}

BSTR CIvelcardCtrl::readCert() {
    AFX_MANAGE_STATE_STATIC();
    Frame frame(msg::kReadCardError);
    // The record is large (its buffers are inline); it lives for this call only.
    auto record = std::make_unique<carddata::IdentityRecord>();
    const platform::CaughtFailure failure = frame.determine([&] {
        const ReaderTurn turn(reader::readerLibraryLock());
        // Only the read's code decides; the search and the selection may fail
        // and the read is still attempted.
        reader::findCard();
        reader::selectCard();
        const int code = reader::readCard(*record);
        if (code == reader::kCardOk) frame.content() = resultContent(*record);
        frame.apply(kReadCertTable, code);
    });
    // A read ended by a framework failure is a failed read, whatever the
    // search and the selection said before it.
    if (failure != platform::CaughtFailure::None) frame.apply(kReadCertTable, reader::kCardFailed);
    record.reset();  // the document holds what it needs; the record goes before the text is written
    return frame.finish();
}

void CIvelcardCtrl::AboutBox() {
    AFX_MANAGE_STATE_STATIC();
    // Shown modally; how it was closed does not matter, and a box that
    // cannot be shown is not reported.
    try {
        if (const platform::DialogTemplate* about = resources::findDialog(resources::IDD_ABOUTBOX_IVELCARD)) {
            platform::runModalDialog(*about);
        }
    } catch (...) {
    }
}

bool CIvelcardCtrl::IsInvokeAllowed(platform::DISPID) { return true; }

platform::HRESULT CIvelcardCtrl::GetTypeInfoCount(platform::UINT* count) {
    if (count == nullptr) return E_POINTER;
    *count = 1;
    return S_OK;
}

const platform::CLSID& CIvelcardCtrl::GetClassID() { return CLSID_Ivelcard; }

std::u16string_view CIvelcardCtrl::GetUserTypeName() { return resources::loadString(resources::IDS_IVELCARD); }

const platform::CLSID* CIvelcardCtrl::GetPropPageIDs(platform::ULONG& count) {
    // Filled on first use; -1 means not yet.
    static platform::CLSID pages[1];
    static long pageCount = -1;
    if (pageCount == -1) {
        pages[0] = CLSID_IvelcardPropPage;
        pageCount = 1;
    }
    count = static_cast<platform::ULONG>(pageCount);
    return pages;
}

std::span<const platform::VerbEntry> CIvelcardCtrl::verbs() const {
    static constexpr platform::VerbEntry kVerbs[] = {
        {platform::kPropertiesVerbText, [](platform::COleControl& control) { control.OnProperties(); }},
    };
    return kVerbs;
}

void CIvelcardCtrl::OnDraw(platform::CDC* dc, const platform::RECT& bounds, const platform::RECT&) {
    if (dc == nullptr) return;
    dc->FillRect(bounds, platform::GetStockBrush(WHITE_BRUSH));
    dc->Ellipse(bounds.left, bounds.top, bounds.right, bounds.bottom);
}

void CIvelcardCtrl::DoPropExchange(platform::CPropExchange* exchange) {
    platform::ExchangeVersion(exchange, kControlVersion);
    COleControl::DoPropExchange(exchange);
}

platform::IUnknown* CIvelcardCtrl::queryExtraInterface(REFIID iid) {
    if (iid == platform::IID_IObjectSafety) return &objSafe_;
    return nullptr;
}

platform::HRESULT CIvelcardCtrl::XObjSafe::QueryInterface(REFIID iid, void** object) {
    return outer_.QueryInterface(iid, object);
}

platform::ULONG CIvelcardCtrl::XObjSafe::AddRef() { return outer_.AddRef(); }

platform::ULONG CIvelcardCtrl::XObjSafe::Release() { return outer_.Release(); }

platform::HRESULT CIvelcardCtrl::XObjSafe::GetInterfaceSafetyOptions(REFIID iid, platform::DWORD* supported,
                                                                    platform::DWORD* enabled) {
    AFX_MANAGE_STATE_STATIC();
    // A null out-pointer is refused before anything is looked up or written.
    if (supported == nullptr || enabled == nullptr) return E_POINTER;
    void* found = nullptr;
    const platform::HRESULT hr = outer_.QueryInterface(iid, &found);
    if (SUCCEEDED(hr)) static_cast<platform::IUnknown*>(found)->Release();
    *supported = kSafetyOptions;
    *enabled = kSafetyOptions;
    return hr;
}

platform::HRESULT CIvelcardCtrl::XObjSafe::SetInterfaceSafetyOptions(REFIID iid, platform::DWORD mask,
                                                                    platform::DWORD enabled) {
    AFX_MANAGE_STATE_STATIC();
    void* found = nullptr;
    if (FAILED(outer_.QueryInterface(iid, &found))) return E_NOINTERFACE;
    static_cast<platform::IUnknown*>(found)->Release();
    if ((mask & ~kSafetyOptions) != 0) return E_FAIL;
    // Both options are always on: a request to switch one off fails.
    if ((mask & enabled & kSafetyOptions) != mask) return E_FAIL;
    return S_OK;
}

}  // namespace control
