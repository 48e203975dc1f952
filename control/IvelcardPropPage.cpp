#include "control/IvelcardPropPage.h"

#include "control/Identifiers.h"
#include "resources/ControlResources.h"

namespace control {

CIvelcardPropPage::CIvelcardPropPage()
    : COlePropertyPage(*resources::findDialog(resources::IDD_PROPPAGE_IVELCARD),
                       std::u16string(resources::loadString(resources::IDS_IVELCARD_PPG_CAPTION))) {}

platform::IUnknown* CIvelcardPropPage::create() { return new CIvelcardPropPage(); }

const platform::CLSID& CIvelcardPropPage::GetClassID() { return CLSID_IvelcardPropPage; }

void CIvelcardPropPage::DoDataExchange(platform::CDataExchange* exchange) { platform::DDP_PostProcessing(exchange); }

}  // namespace control
