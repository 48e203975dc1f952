// The property page base: a page on a dialog template with a caption (its
// tab title in the property frame) and a data exchange that runs when the
// page is loaded and when it is applied.
#pragma once

#include <atomic>
#include <string>

#include "platform/Com.h"
#include "platform/Dialog.h"

namespace platform {

class CDataExchange {
public:
    explicit CDataExchange(bool saving) : saving_(saving) {}
    bool IsSaving() const { return saving_; }
    // Set by the framework's closing step.
    bool postProcessed = false;

private:
    bool saving_;
};

// The framework's closing step of a property page's data exchange.
void DDP_PostProcessing(CDataExchange* exchange);

// Reaches the page object behind a page's IUnknown (within the platform).
extern const IID IID_PlatformPropertyPage;

class COlePropertyPage : public IUnknown {
public:
    COlePropertyPage(const COlePropertyPage&) = delete;
    COlePropertyPage& operator=(const COlePropertyPage&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    const DialogTemplate& dialogTemplate() const { return dialog_; }
    const std::u16string& caption() const { return caption_; }

    // Loads the page, shows it in the property frame (the template under the
    // page's caption) and applies it when the frame is closed with OK.
    int RunInFrame();
    // Loads the page's fields from the controls / applies them back; returns
    // the exchange for inspection.
    CDataExchange LoadPage();
    CDataExchange Apply();

protected:
    // Starts with one reference held by the creator.
    COlePropertyPage(const DialogTemplate& dialog, std::u16string caption);
    virtual ~COlePropertyPage();
    virtual void DoDataExchange(CDataExchange* exchange);

private:
    const DialogTemplate& dialog_;
    std::u16string caption_;
    std::atomic<ULONG> references_{1};
};

}  // namespace platform
