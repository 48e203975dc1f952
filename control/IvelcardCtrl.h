// The control object. Its dispatch members are the five operations, each
// returning the text of one result document as a new BSTR, and AboutBox.
//
// Every operation runs one frame: make the module state current, start with
// flag -1 and the operation's initial message, determine the outcome inside
// a guard that catches framework failures (keeping the flag and message as
// they stood), map the code through the operation's outcome table, write the
// document and return it as UTF-16.
//
// Constructing a control deploys and binds the reader libraries and replaces
// the process-wide `librariesReady` with the outcome. The construction's
// deployment and each operation's reader work hold the process-wide reader
// lock, so controls used on several threads take turns. The control accepts
// every dispatch call in any state, answers IObjectSafety (both safety
// options always on), paints a white rectangle with an inscribed ellipse,
// persists only its version and has one property page.
#pragma once

#include <span>
#include <string_view>

#include "platform/OleControl.h"

namespace control {

// The persisted version, 1.0.
inline constexpr platform::DWORD kControlVersion = 0x00010000;
// OLEMISC_SETCLIENTSITEFIRST | ACTIVATEWHENVISIBLE | INSIDEOUT |
// CANTLINKINSIDE | RECOMPOSEONRESIZE
inline constexpr platform::DWORD kMiscStatus = 0x00020191;
inline constexpr platform::DWORD kSafetyOptions =
    INTERFACESAFE_FOR_UNTRUSTED_CALLER | INTERFACESAFE_FOR_UNTRUSTED_DATA;

class CIvelcardCtrl : public platform::COleControl {
public:
    CIvelcardCtrl();

    // IObjectSafety on the control: shares its identity and reference count.
    class XObjSafe : public platform::IObjectSafety {
    public:
        explicit XObjSafe(CIvelcardCtrl& outer) : outer_(outer) {}
        platform::HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
        platform::ULONG STDMETHODCALLTYPE AddRef() override;
        platform::ULONG STDMETHODCALLTYPE Release() override;
        platform::HRESULT STDMETHODCALLTYPE GetInterfaceSafetyOptions(REFIID iid, platform::DWORD* supported,
                                                                      platform::DWORD* enabled) override;
        platform::HRESULT STDMETHODCALLTYPE SetInterfaceSafetyOptions(REFIID iid, platform::DWORD mask,
                                                                      platform::DWORD enabled) override;

    private:
        CIvelcardCtrl& outer_;
    };

    platform::BSTR connect();
    platform::BSTR disconnect();
    platform::BSTR getStatus();
    platform::BSTR readCert();
    platform::BSTR getSAMID();
    void AboutBox();

    // Creates a control holding one reference (the class factory's creator).
    static platform::IUnknown* create();

    platform::HRESULT STDMETHODCALLTYPE GetTypeInfoCount(platform::UINT* count) override;
    const platform::CLSID* GetPropPageIDs(platform::ULONG& count) override;
    std::span<const platform::VerbEntry> verbs() const override;
    static platform::DWORD GetMiscStatus() { return kMiscStatus; }
    const platform::CLSID* controlClassId() const override { return &GetClassID(); }
    platform::DWORD controlMiscStatus() const override { return kMiscStatus; }
    static const platform::CLSID& GetClassID();
    static std::u16string_view GetUserTypeName();

protected:
    bool IsInvokeAllowed(platform::DISPID member) override;
    void OnDraw(platform::CDC* dc, const platform::RECT& bounds, const platform::RECT& invalid) override;
    void DoPropExchange(platform::CPropExchange* exchange) override;
    platform::IUnknown* queryExtraInterface(REFIID iid) override;

private:
    ~CIvelcardCtrl() override = default;

    XObjSafe objSafe_{*this};
};

}  // namespace control
