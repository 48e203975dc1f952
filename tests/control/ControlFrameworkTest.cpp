#include <gtest/gtest.h>
#include <json/json.h>

#include <fstream>
#include <iterator>
#include <vector>

#include "FakeReader.h"
#include "control/Identifiers.h"
#include "control/IvelcardCtrl.h"
#include "control/IvelcardPropPage.h"
#include "platform/CodePage.h"
#include "platform/Dialog.h"
#include "platform/ObjectFactory.h"
#include "resources/ControlResources.h"
#include "support/TestSupport.h"

namespace {

using namespace platform;
using control::CIvelcardCtrl;

constexpr DWORD kUnwritten = 0xdeadbeef;
const IID kUnknownIid = {0x12345678, 0x1234, 0x1234, {1, 2, 3, 4, 5, 6, 7, 8}};

// Records every modal dialog run instead of showing it.
class RecordingDialogs {
public:
    explicit RecordingDialogs(int answer = 1) {
        previous_ = setDialogRunner([this, answer](const DialogTemplate& dialog) {
            EXPECT_FALSE(running_) << "a modal dialog started while another was running";
            running_ = true;
            captions.push_back(utf16ToUtf8(dialog.caption));
            templates.push_back(&dialog.items.front());
            running_ = false;
            return answer;
        });
    }
    ~RecordingDialogs() { setDialogRunner(previous_); }
    std::vector<std::string> captions;
    std::vector<const DialogItem*> templates;

private:
    DialogRunner previous_;
    bool running_ = false;
};

class ControlFramework : public ::testing::Test {
protected:
    void SetUp() override {
        control_ = static_cast<CIvelcardCtrl*>(static_cast<IDispatch*>(CIvelcardCtrl::create()));
        fakereader::install();
        ASSERT_EQ(control_->QueryInterface(IID_IObjectSafety, reinterpret_cast<void**>(&safety_)), S_OK);
    }
    void TearDown() override {
        safety_->Release();
        control_->Release();
    }

    testsupport::ScopedRuntimeDir runtime_;
    CIvelcardCtrl* control_ = nullptr;
    IObjectSafety* safety_ = nullptr;
};

TEST_F(ControlFramework, SafetyOptionsAreAlwaysBothOn) {
    struct Case {
        const IID* iid;
        HRESULT result;
    };
    const Case cases[] = {{&IID_IObjectSafety, S_OK}, {&IID_IDispatch, S_OK}, {&kUnknownIid, E_NOINTERFACE}};
    for (const Case& c : cases) {
        DWORD supported = kUnwritten;
        DWORD enabled = kUnwritten;
        EXPECT_EQ(safety_->GetInterfaceSafetyOptions(*c.iid, &supported, &enabled), c.result);
        EXPECT_EQ(supported, 3u);
        EXPECT_EQ(enabled, 3u);
    }
}

TEST_F(ControlFramework, SafetyOptionsCanBeConfirmedButNeverSwitchedOff) {
    struct Case {
        const IID* iid;
        DWORD mask;
        DWORD enabled;
        HRESULT result;
    };
    const Case cases[] = {
        {&IID_IDispatch, 0, 0, S_OK},         {&IID_IDispatch, 0, 3, S_OK},    {&IID_IDispatch, 0, 0xFF, S_OK},
        {&IID_IDispatch, 1, 1, S_OK},         {&IID_IDispatch, 2, 2, S_OK},    {&IID_IDispatch, 3, 3, S_OK},
        {&IID_IDispatch, 1, 0, E_FAIL},       {&IID_IDispatch, 3, 1, E_FAIL},  {&IID_IDispatch, 4, 0, E_FAIL},
        {&IID_IDispatch, 4, 4, E_FAIL},       {&IID_IDispatch, 7, 7, E_FAIL},  {&IID_IObjectSafety, 3, 3, S_OK},
        {&kUnknownIid, 3, 3, E_NOINTERFACE},  {&kUnknownIid, 1, 0, E_NOINTERFACE},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(safety_->SetInterfaceSafetyOptions(*c.iid, c.mask, c.enabled), c.result)
            << "mask " << c.mask << " enabled " << c.enabled;
        DWORD supported = kUnwritten;
        DWORD enabled = kUnwritten;
        EXPECT_EQ(safety_->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled), S_OK);
        EXPECT_EQ(supported, 3u);
        EXPECT_EQ(enabled, 3u);
    }
}

TEST_F(ControlFramework, NullSafetyOutputIsRefusedWithoutWriting) {
    DWORD value = kUnwritten;
    EXPECT_EQ(safety_->GetInterfaceSafetyOptions(IID_IDispatch, nullptr, &value), E_POINTER);
    EXPECT_EQ(value, kUnwritten);
    EXPECT_EQ(safety_->GetInterfaceSafetyOptions(IID_IDispatch, &value, nullptr), E_POINTER);
    EXPECT_EQ(value, kUnwritten);
}

TEST_F(ControlFramework, SafetyInterfaceSharesTheControlsIdentityAndCount) {
    IUnknown* fromSafety = nullptr;
    IUnknown* fromControl = nullptr;
    ASSERT_EQ(safety_->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&fromSafety)), S_OK);
    ASSERT_EQ(control_->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&fromControl)), S_OK);
    EXPECT_EQ(fromSafety, fromControl);
    fromSafety->Release();
    fromControl->Release();
    const ULONG before = control_->AddRef();
    EXPECT_EQ(safety_->AddRef(), before + 1);
    EXPECT_EQ(safety_->Release(), before);
    control_->Release();
}

TEST_F(ControlFramework, DispatchCallsRunBeforeTheHostInitialisesTheControl) {
    ASSERT_FALSE(control_->IsInitialized());
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    VARIANT result;
    VariantInit(&result);
    EXPECT_EQ(control_->Invoke(control::kDispidGetStatus, IID_NULL, 0, DISPATCH_METHOD, &none, &result, nullptr,
                               nullptr),
              S_OK);
    EXPECT_EQ(result.vt, VT_BSTR);
    VariantClear(&result);
}

TEST_F(ControlFramework, ExactlyOnePropertyPage) {
    for (int call = 0; call < 3; ++call) {
        ULONG count = 99;
        const CLSID* pages = control_->GetPropPageIDs(count);
        ASSERT_EQ(count, 1u);
        EXPECT_EQ(pages[0], control::CLSID_IvelcardPropPage);
    }
}

TEST_F(ControlFramework, PersistedStateIsTheVersionOnly) {
    const PropertyBag expected = {{"_Version", 0x00010000}};
    control_->InitNew();
    EXPECT_EQ(control_->Save(), expected);
    // An older stored version is accepted and converted.
    control_->Load({{"_Version", 0x00000001}});
    EXPECT_EQ(control_->Save(), expected);

    IUnknown* unknown = control::CIvelcardPropPage::create();
    auto* page = static_cast<control::CIvelcardPropPage*>(unknown);
    EXPECT_TRUE(page->LoadPage().postProcessed);
    EXPECT_TRUE(page->Apply().postProcessed);
    unknown->Release();
    EXPECT_EQ(control_->Save(), expected);
}

TEST_F(ControlFramework, PropertiesVerbShowsTheOnePage) {
    RecordingDialogs dialogs;
    // The property frame creates the page through the module's factories.
    EXPECT_TRUE(control_->DoVerb(kPropertiesVerbText));
    EXPECT_FALSE(control_->DoVerb("&Edit"));
    ASSERT_EQ(dialogs.captions.size(), 1u);
    EXPECT_EQ(dialogs.captions[0], "常规");
    EXPECT_EQ(utf16ToUtf8(dialogs.templates[0]->text), "TODO: 将用于操作 Ivelcard Control 的属性的控件放置在此对话框上。");
    EXPECT_EQ(control_->Save(), (PropertyBag{{"_Version", 0x00010000}}));
}

TEST_F(ControlFramework, AboutBoxRunsModallyEachTimeAndLeavesTheSession) {
    fakereader::script().statusByPort[1001] = {144};
    SysFreeString(control_->connect());
    RecordingDialogs dialogs;
    control_->AboutBox();
    control_->AboutBox();
    EXPECT_EQ(dialogs.captions, (std::vector<std::string>{"关于 二代身份证阅读器控件", "关于 二代身份证阅读器控件"}));
    EXPECT_TRUE(reader::readerLibrary().connected);
    EXPECT_EQ(reader::readerLibrary().currentPort, 1001);
}

// Where there is no system device context, the one a host hands in is the
// framework's canvas (on Windows the OLE container test draws into a real one).
#if !defined(_WIN32)
// Paints the control through its view interface.
CDC drawn(CIvelcardCtrl* control, int width, int height) {
    IViewObject* view = nullptr;
    EXPECT_EQ(control->QueryInterface(IID_IViewObject, reinterpret_cast<void**>(&view)), S_OK);
    CDC dc(width, height);
    const RECTL bounds{0, 0, width, height};
    EXPECT_EQ(view->Draw(DVASPECT_CONTENT, -1, nullptr, nullptr, nullptr, &dc, &bounds, nullptr, nullptr, 0), S_OK);
    view->Release();
    return dc;
}

TEST_F(ControlFramework, DrawsAWhiteRectangleWithAnInscribedEllipse) {
    const COLORREF white = RGB(255, 255, 255);
    const COLORREF black = RGB(0, 0, 0);
    for (const auto& [w, h] : {std::pair{60, 40}, std::pair{41, 41}, std::pair{200, 30}}) {
        const CDC dc = drawn(control_, w, h);
        // The four corners are white; the ellipse touches the middle of each edge.
        EXPECT_EQ(dc.pixel(0, 0), white);
        EXPECT_EQ(dc.pixel(w - 1, h - 1), white);
        EXPECT_EQ(dc.pixel(0, h / 2), black) << w << "x" << h;
        EXPECT_EQ(dc.pixel(w - 1, h / 2), black);
        EXPECT_EQ(dc.pixel(w / 2, 0), black);
        EXPECT_EQ(dc.pixel(w / 2, h - 1), black);
        EXPECT_EQ(dc.pixel(w / 2, h / 2), white);
    }
    // A square control shows a circle: the picture is symmetric about its diagonal.
    const CDC square = drawn(control_, 41, 41);
    for (int y = 0; y < 41; ++y) {
        for (int x = 0; x < 41; ++x) ASSERT_EQ(square.pixel(x, y), square.pixel(y, x)) << x << "," << y;
    }
}

TEST_F(ControlFramework, DrawingWithoutADeviceContextDoesNothing) {
    IViewObject* view = nullptr;
    ASSERT_EQ(control_->QueryInterface(IID_IViewObject, reinterpret_cast<void**>(&view)), S_OK);
    const RECTL bounds{0, 0, 10, 10};
    EXPECT_EQ(view->Draw(DVASPECT_CONTENT, -1, nullptr, nullptr, nullptr, nullptr, &bounds, nullptr, nullptr, 0), S_OK);
    view->Release();
}
#endif

TEST(Resources, VersionRecordAndManifest) {
    const resources::VersionRecord& version = resources::versionRecord();
    EXPECT_EQ(utf16ToUtf8(version.fileVersionText), "2, 0, 2, 2");
    EXPECT_EQ(utf16ToUtf8(version.productVersionText), "2, 0, 2, 2");
    EXPECT_EQ(std::vector<unsigned short>(std::begin(version.fileVersion), std::end(version.fileVersion)),
              (std::vector<unsigned short>{2, 0, 2, 2}));
    EXPECT_EQ(utf16ToUtf8(version.internalName), "Ivelcard.ocx");
    EXPECT_EQ(utf16ToUtf8(version.originalFilename), "Ivelcard.ocx");
    EXPECT_EQ(utf16ToUtf8(version.fileDescription), "TODO: 用与二代身份证阅读器在web使用的控件");
    EXPECT_EQ(utf16ToUtf8(version.productName), "TODO: 二代身份证阅读器控件");
    EXPECT_EQ(version.translationLanguage, 0x0804);
    EXPECT_EQ(version.translationCodePage, 936);
    const std::string_view manifest = resources::applicationManifest();
    for (const char* part : {"level=\"asInvoker\" uiAccess=\"false\"", "name=\"Microsoft.VC90.CRT\" version=\"9.0.21022.8\"",
                             "name=\"Microsoft.VC90.MFC\" version=\"9.0.21022.8\""}) {
        EXPECT_NE(manifest.find(part), std::string_view::npos) << part;
    }
    EXPECT_EQ(utf16ToUtf8(resources::loadString(resources::IDS_IVELCARD)), "Ivelcard Control");
    EXPECT_EQ(utf16ToUtf8(resources::loadString(resources::IDS_IVELCARD_PPG)), "Ivelcard Property Page");
}

// The Windows resource script spells the same texts as the data the
// framework runs on: every string, dialog caption and item text, and the
// version record's texts appear in it as quoted resource texts.
TEST(Resources, WindowsResourceScriptCarriesTheSameTexts) {
    std::ifstream file(std::string(IVELCARD_SOURCE_DIR) + "/resources/windows/ivelcard.rc.in", std::ios::binary);
    const std::string script((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    ASSERT_FALSE(script.empty());
    std::vector<std::u16string_view> texts;
    for (long id : {resources::IDS_IVELCARD, resources::IDS_IVELCARD_PPG, resources::IDS_IVELCARD_PPG_CAPTION}) {
        texts.push_back(resources::loadString(id));
    }
    for (long id : {resources::IDD_ABOUTBOX_IVELCARD, resources::IDD_PROPPAGE_IVELCARD}) {
        const DialogTemplate* dialog = resources::findDialog(id);
        ASSERT_NE(dialog, nullptr);
        if (!dialog->caption.empty()) texts.push_back(dialog->caption);
        texts.push_back(dialog->fontName);
        for (const DialogItem& item : dialog->items) {
            if (!item.text.empty()) texts.push_back(item.text);
        }
    }
    const resources::VersionRecord& version = resources::versionRecord();
    for (std::u16string_view text : {version.fileVersionText, version.productVersionText, version.companyName,
                                     version.fileDescription, version.internalName, version.legalCopyright,
                                     version.originalFilename, version.productName}) {
        texts.push_back(text);
    }
    for (std::u16string_view text : texts) {
        std::string quoted = "\"";
        quoted += utf16ToUtf8(text);
        quoted += '"';
        EXPECT_NE(script.find(quoted), std::string::npos) << quoted;
    }
}

TEST(TypeLibrary, AgreesWithTheDispatchTable) {
    std::ifstream file(std::string(IVELCARD_SOURCE_DIR) + "/resources/typelib.json");
    Json::Value library;
    ASSERT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), file, &library, nullptr));
    EXPECT_EQ(library["libid"].asString(), guidToString(control::LIBID_IvelcardLib));
    EXPECT_EQ(library["version"].asString(), "1.0");
    EXPECT_EQ(library["flags"].asInt(), 2);  // LIBFLAG_FCONTROL
    const Json::Value& dispatch = library["types"][0];
    EXPECT_EQ(dispatch["iid"].asString(), guidToString(control::IID_DIvelcard));
    EXPECT_EQ(library["types"][1]["iid"].asString(), guidToString(control::IID_DIvelcardEvents));
    EXPECT_EQ(library["types"][2]["clsid"].asString(), guidToString(control::CLSID_Ivelcard));

    testsupport::ScopedRuntimeDir runtime;
    auto* control = static_cast<CIvelcardCtrl*>(static_cast<IDispatch*>(CIvelcardCtrl::create()));
    const auto table = control->dispatchTable();
    ASSERT_EQ(dispatch["methods"].size(), table.size());
    for (Json::ArrayIndex i = 0; i < table.size(); ++i) {
        const Json::Value& method = dispatch["methods"][i];
        EXPECT_EQ(method["name"].asString(), table[i].name);
        EXPECT_EQ(method["dispid"].asInt(), table[i].id);
        EXPECT_EQ(method["result"].asString(), table[i].result == VT_BSTR ? "VT_BSTR" : "VT_EMPTY");
        if (table[i].result == VT_BSTR) {
            EXPECT_EQ(method["helpString"].asString(), std::string("方法") + table[i].name);
        }
    }
    control->Release();
}

}  // namespace
