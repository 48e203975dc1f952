// A native client of the registered module, the way a page's host uses it:
// creation by ProgID, object safety, the registered type library, calls by
// name and by dispatch id, BSTR ownership and the reader library deployment
// in the user's temporary directory. Run after `regsvr32 ivelcard.ocx`.
#include <windows.h>
#include <ole2.h>
#include <objsafe.h>
#include <psapi.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

GUID guid(const wchar_t* text) {
    GUID value{};
    EXPECT_EQ(::CLSIDFromString(text, &value), S_OK) << "bad test GUID";
    return value;
}

const GUID kLibId = guid(L"{149AC0AB-F3F1-402A-B3B3-B49562250391}");
const GUID kClsid = guid(L"{4F5D262A-FF7A-4211-8D8E-9D095FAB3A99}");
const GUID kDispatchIid = guid(L"{4A2110C8-CEB8-4A10-BCEB-9021B800186D}");

class ClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(::CoInitialize(nullptr)));
        CLSID clsid{};
        ASSERT_EQ(::CLSIDFromProgID(L"IVELCARD.QVCtrl.1", &clsid), S_OK);
        ASSERT_TRUE(::IsEqualGUID(clsid, kClsid));
        ASSERT_EQ(::CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                     reinterpret_cast<void**>(&control_)),
                  S_OK);
    }
    void TearDown() override {
        if (control_ != nullptr) control_->Release();
        ::CoUninitialize();
    }

    DISPID idOf(const wchar_t* name) {
        DISPID id = 0;
        LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
        EXPECT_EQ(control_->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id), S_OK) << name;
        return id;
    }

    // Calls a member as a method and hands back the document (the caller's
    // BSTR, freed here).
    std::wstring call(DISPID id) {
        DISPPARAMS none{};
        VARIANT result;
        ::VariantInit(&result);
        EXPECT_EQ(control_->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &none, &result, nullptr,
                                   nullptr),
                  S_OK);
        EXPECT_EQ(result.vt, VT_BSTR);
        std::wstring text;
        if (result.vt == VT_BSTR && result.bstrVal != nullptr) text.assign(result.bstrVal, ::SysStringLen(result.bstrVal));
        ::VariantClear(&result);
        return text;
    }

    IDispatch* control_ = nullptr;
};

TEST_F(ClientTest, ObjectSafetyAnswersBothOptions) {
    IObjectSafety* safety = nullptr;
    ASSERT_EQ(control_->QueryInterface(IID_IObjectSafety, reinterpret_cast<void**>(&safety)), S_OK);
    DWORD supported = 0;
    DWORD enabled = 0;
    EXPECT_EQ(safety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled), S_OK);
    const DWORD both = INTERFACESAFE_FOR_UNTRUSTED_CALLER | INTERFACESAFE_FOR_UNTRUSTED_DATA;
    EXPECT_EQ(supported, both);
    EXPECT_EQ(enabled, both);
    EXPECT_EQ(safety->SetInterfaceSafetyOptions(IID_IDispatch, both, both), S_OK);
    EXPECT_EQ(safety->SetInterfaceSafetyOptions(IID_IDispatch, both, 0), E_FAIL);
    EXPECT_EQ(safety->GetInterfaceSafetyOptions(kLibId, &supported, &enabled), E_NOINTERFACE);
    safety->Release();
}

TEST_F(ClientTest, RegisteredTypeLibraryDescribesTheDispatchInterface) {
    ITypeLib* library = nullptr;
    ASSERT_EQ(::LoadRegTypeLib(kLibId, 1, 0, 0, &library), S_OK);
    ITypeInfo* info = nullptr;
    ASSERT_EQ(library->GetTypeInfoOfGuid(kDispatchIid, &info), S_OK);
    TYPEATTR* attributes = nullptr;
    ASSERT_EQ(info->GetTypeAttr(&attributes), S_OK);
    EXPECT_EQ(attributes->typekind, TKIND_DISPATCH);
    const struct {
        const wchar_t* name;
        MEMBERID id;
        VARTYPE result;
    } expected[] = {{L"AboutBox", -552, VT_VOID}, {L"connect", 1, VT_BSTR},  {L"disconnect", 2, VT_BSTR},
                    {L"getStatus", 3, VT_BSTR},   {L"readCert", 4, VT_BSTR}, {L"getSAMID", 5, VT_BSTR}};
    ASSERT_EQ(attributes->cFuncs, std::size(expected));
    for (UINT i = 0; i < attributes->cFuncs; ++i) {
        FUNCDESC* function = nullptr;
        ASSERT_EQ(info->GetFuncDesc(i, &function), S_OK);
        BSTR name = nullptr;
        UINT count = 0;
        EXPECT_EQ(info->GetNames(function->memid, &name, 1, &count), S_OK);
        EXPECT_EQ(std::wstring(name), expected[i].name);
        EXPECT_EQ(function->memid, expected[i].id) << expected[i].name;
        EXPECT_EQ(function->elemdescFunc.tdesc.vt, expected[i].result) << expected[i].name;
        EXPECT_EQ(function->cParams, 0);
        ::SysFreeString(name);
        info->ReleaseFuncDesc(function);
    }
    info->ReleaseTypeAttr(attributes);
    info->Release();
    library->Release();
}

TEST_F(ClientTest, CallsByNameAndById) {
    EXPECT_EQ(idOf(L"connect"), 1);
    EXPECT_EQ(idOf(L"GETSAMID"), 5);  // names compare without regard to case
    DISPID unknown = 0;
    LPOLESTR names[] = {const_cast<LPOLESTR>(L"noSuchMember")};
    EXPECT_EQ(control_->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &unknown), DISP_E_UNKNOWNNAME);

    EXPECT_EQ(call(idOf(L"connect")), L"{\n   \"errorMsg\" : \"\",\n   \"resultFlag\" : 0\n}\n");
    EXPECT_EQ(call(3), L"{\n   \"errorMsg\" : \"\",\n   \"resultFlag\" : 0,\n   \"status\" : 0\n}\n");
    EXPECT_NE(call(4).find(L"\"certNumber\" : \"110108198806151237\""), std::wstring::npos);

    DISPPARAMS none{};
    EXPECT_EQ(control_->Invoke(99, IID_NULL, 0, DISPATCH_METHOD, &none, nullptr, nullptr, nullptr),
              DISP_E_MEMBERNOTFOUND);
}

SIZE_T privateBytes() {
    PROCESS_MEMORY_COUNTERS_EX counters{};
    counters.cb = sizeof counters;
    ::GetProcessMemoryInfo(::GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                           sizeof counters);
    return counters.PrivateUsage;
}

TEST_F(ClientTest, ReturnedStringsBelongToTheCaller) {
    const DISPID readCert = idOf(L"readCert");
    ASSERT_NE(call(idOf(L"connect")).find(L"\"resultFlag\" : 0"), std::wstring::npos);
    // A leaked string per call would keep every document delivered: the
    // process would grow by their whole size.
    for (int i = 0; i < 50; ++i) call(readCert);
    const SIZE_T before = privateBytes();
    std::size_t total = 0;
    for (int i = 0; i < 1000; ++i) total += call(readCert).size();
    const SIZE_T after = privateBytes();
    const std::size_t delivered = total * sizeof(wchar_t);
    EXPECT_GT(delivered, 1000u * 2000u);
    EXPECT_LT(after > before ? after - before : 0, delivered / 4) << "private bytes grew by " << (after - before);
}

std::string temporaryDirectory() {
    char buffer[MAX_PATH + 1] = {};
    const DWORD length = ::GetTempPathA(MAX_PATH, buffer);
    return std::string(buffer, length);
}

TEST_F(ClientTest, LibrariesAreDeployedOnceAndReused) {
    const std::string directory = temporaryDirectory() + "chinaidcard\\";
    std::vector<HMODULE> loaded;
    std::vector<FILETIME> written;
    for (const char* name : {"sdtapi.dll", "unpack.dll", "WltRs.dll"}) {
        const std::string path = directory + name;
        HMODULE module = ::GetModuleHandleA(path.c_str());
        EXPECT_NE(module, nullptr) << path << " is not loaded";
        loaded.push_back(module);
        WIN32_FILE_ATTRIBUTE_DATA data{};
        EXPECT_TRUE(::GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) << path;
        written.push_back(data.ftLastWriteTime);
    }
    // A second control in the same process finds the libraries loaded and
    // neither rewrites nor reloads them.
    ::Sleep(20);
    IDispatch* second = nullptr;
    ASSERT_EQ(::CoCreateInstance(kClsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                 reinterpret_cast<void**>(&second)),
              S_OK);
    std::size_t i = 0;
    for (const char* name : {"sdtapi.dll", "unpack.dll", "WltRs.dll"}) {
        const std::string path = directory + name;
        EXPECT_EQ(::GetModuleHandleA(path.c_str()), loaded[i]) << path;
        WIN32_FILE_ATTRIBUTE_DATA data{};
        EXPECT_TRUE(::GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data));
        EXPECT_EQ(::CompareFileTime(&data.ftLastWriteTime, &written[i]), 0) << path << " was rewritten";
        ++i;
    }
    DISPPARAMS none{};
    VARIANT result;
    ::VariantInit(&result);
    EXPECT_EQ(second->Invoke(1, IID_NULL, 0, DISPATCH_METHOD, &none, &result, nullptr, nullptr), S_OK);
    ::VariantClear(&result);
    second->Release();
}

}  // namespace
