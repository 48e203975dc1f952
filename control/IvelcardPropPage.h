// The control's property page: an empty placeholder page on dialog template
// 200 with the caption "常规"; it binds no property, so loading and applying
// it run only the framework's closing step.
#pragma once

#include "platform/PropertyPage.h"

namespace control {

class CIvelcardPropPage : public platform::COlePropertyPage {
public:
    CIvelcardPropPage();
    // Creates a page holding one reference (the class factory's creator).
    static platform::IUnknown* create();
    static const platform::CLSID& GetClassID();

protected:
    void DoDataExchange(platform::CDataExchange* exchange) override;
};

}  // namespace control
