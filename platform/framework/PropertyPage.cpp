#include "platform/PropertyPage.h"

#include "platform/ModuleState.h"
#include "platform/OleControl.h"

namespace platform {

const IID IID_PlatformPropertyPage = {0x6F1E5C2A, 0x4B7D, 0x4E61, {0x9A, 0x3C, 0x21, 0x5D, 0x8B, 0x0E, 0x47, 0xF1}};

void DDP_PostProcessing(CDataExchange* exchange) {
    if (exchange != nullptr) exchange->postProcessed = true;
}

COlePropertyPage::COlePropertyPage(const DialogTemplate& dialog, std::u16string caption)
    : dialog_(dialog), caption_(std::move(caption)) {
    lockModule();
}

COlePropertyPage::~COlePropertyPage() { unlockModule(); }

void COlePropertyPage::DoDataExchange(CDataExchange*) {}

HRESULT COlePropertyPage::QueryInterface(REFIID iid, void** object) {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (iid != IID_IUnknown && iid != IID_PlatformPropertyPage) return E_NOINTERFACE;
    AddRef();
    *object = static_cast<IUnknown*>(this);
    return S_OK;
}

ULONG COlePropertyPage::AddRef() { return ++references_; }

ULONG COlePropertyPage::Release() {
    const ULONG left = --references_;
    if (left == 0) delete this;
    return left;
}

CDataExchange COlePropertyPage::LoadPage() {
    CDataExchange exchange(false);
    DoDataExchange(&exchange);
    return exchange;
}

CDataExchange COlePropertyPage::Apply() {
    CDataExchange exchange(true);
    DoDataExchange(&exchange);
    return exchange;
}

int COlePropertyPage::RunInFrame() {
    AFX_MANAGE_STATE_STATIC();
    LoadPage();
    DialogTemplate framed = dialog_;
    framed.caption = caption_;
    const int result = runModalDialog(framed);
    if (result == 1) Apply();  // IDOK
    return result;
}

}  // namespace platform
