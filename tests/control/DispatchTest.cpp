#include <gtest/gtest.h>

#include "FakeReader.h"
#include "control/Identifiers.h"
#include "control/IvelcardCtrl.h"
#include "support/TestSupport.h"

namespace {

using namespace platform;
using control::CIvelcardCtrl;

class Dispatch : public ::testing::Test {
protected:
    void SetUp() override {
        control_ = static_cast<CIvelcardCtrl*>(static_cast<platform::IDispatch*>(CIvelcardCtrl::create()));
        fakereader::install();
    }
    void TearDown() override { control_->Release(); }

    DISPID idOf(const std::u16string& name) {
        std::u16string copy = name;
        LPOLESTR names[] = {reinterpret_cast<LPOLESTR>(copy.data())};
        DISPID id = 12345;
        const HRESULT hr = control_->GetIDsOfNames(IID_NULL, names, 1, 0, &id);
        EXPECT_EQ(hr, id == DISPID_UNKNOWN ? DISP_E_UNKNOWNNAME : S_OK);
        return id;
    }

    testsupport::ScopedRuntimeDir runtime_;
    CIvelcardCtrl* control_ = nullptr;
};

TEST_F(Dispatch, TableListsTheSixMembersInOrder) {
    struct Member {
        const char* name;
        DISPID id;
        VARTYPE result;
    };
    const Member expected[] = {{"AboutBox", -552, VT_EMPTY}, {"connect", 1, VT_BSTR},  {"disconnect", 2, VT_BSTR},
                               {"getStatus", 3, VT_BSTR},    {"readCert", 4, VT_BSTR}, {"getSAMID", 5, VT_BSTR}};
    const auto table = control_->dispatchTable();
    ASSERT_EQ(table.size(), std::size(expected));
    for (std::size_t i = 0; i < table.size(); ++i) {
        EXPECT_STREQ(table[i].name, expected[i].name);
        EXPECT_EQ(table[i].id, expected[i].id);
        EXPECT_EQ(table[i].result, expected[i].result);
    }
}

TEST_F(Dispatch, NamesResolveWithoutRegardToCase) {
    EXPECT_EQ(idOf(u"connect"), 1);
    EXPECT_EQ(idOf(u"GETSAMID"), 5);
    EXPECT_EQ(idOf(u"aboutbox"), -552);
    EXPECT_EQ(idOf(u"connec"), DISPID_UNKNOWN);
    EXPECT_EQ(idOf(u"connects"), DISPID_UNKNOWN);
}

TEST_F(Dispatch, InvokeReturnsTheDocumentAsAString) {
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    VARIANT result;
    VariantInit(&result);
    ASSERT_EQ(control_->Invoke(3, IID_NULL, 0, DISPATCH_METHOD, &none, &result, nullptr, nullptr), S_OK);
    ASSERT_EQ(result.vt, VT_BSTR);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(result.bstrVal), SysStringLen(result.bstrVal)),
              u"{\n   \"errorMsg\" : \"设备未连接\",\n   \"resultFlag\" : 0,\n   \"status\" : 1\n}\n");
    VariantClear(&result);
    // Without a place for the result the string is released, not leaked.
    EXPECT_EQ(control_->Invoke(1, IID_NULL, 0, DISPATCH_METHOD, &none, nullptr, nullptr, nullptr), S_OK);
}

TEST_F(Dispatch, InvokeRefusesWhatNoMemberTakes) {
    VARIANT argument;
    VariantInit(&argument);
    DISPPARAMS one{&argument, nullptr, 1, 0};
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    EXPECT_EQ(control_->Invoke(1, IID_NULL, 0, DISPATCH_METHOD, &one, nullptr, nullptr, nullptr),
              DISP_E_BADPARAMCOUNT);
    EXPECT_EQ(control_->Invoke(99, IID_NULL, 0, DISPATCH_METHOD, &none, nullptr, nullptr, nullptr),
              DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(control_->Invoke(1, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, nullptr, nullptr, nullptr),
              DISP_E_MEMBERNOTFOUND);
}

TEST_F(Dispatch, InterfacesShareOneIdentity) {
    for (const IID* iid : {&IID_IUnknown, &IID_IDispatch, &control::IID_DIvelcard}) {
        void* object = nullptr;
        ASSERT_EQ(control_->QueryInterface(*iid, &object), S_OK);
        EXPECT_EQ(object, static_cast<IDispatch*>(control_));
        static_cast<IUnknown*>(object)->Release();
    }
    void* object = reinterpret_cast<void*>(1);
    EXPECT_EQ(control_->QueryInterface(control::IID_DIvelcardEvents, &object), E_NOINTERFACE);
    EXPECT_EQ(object, nullptr);
}

}  // namespace
