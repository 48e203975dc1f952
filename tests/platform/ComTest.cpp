#include <gtest/gtest.h>

#include <cstring>

#include "platform/Com.h"

namespace {

using namespace platform;

TEST(Bstr, IsLengthPrefixedAndTerminated) {
    BSTR text = SysAllocStringLen(u"ab\0c", 4);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(SysStringLen(text), 4u);
    std::uint32_t prefix;
    std::memcpy(&prefix, reinterpret_cast<char*>(text) - 4, 4);
    EXPECT_EQ(prefix, 8u);  // bytes, as the platform stores it
    EXPECT_EQ(text[4], u'\0');
    EXPECT_EQ(std::u16string(text, 4), std::u16string(u"ab\0c", 4));
    SysFreeString(text);
    EXPECT_EQ(SysStringLen(nullptr), 0u);
    SysFreeString(nullptr);
}

TEST(Variant, ClearFreesTheString) {
    VARIANT value;
    VariantInit(&value);
    value.vt = VT_BSTR;
    value.bstrVal = SysAllocString(u"text");
    EXPECT_EQ(VariantClear(&value), S_OK);
    EXPECT_EQ(value.vt, VT_EMPTY);
}

TEST(Guid, RegistryFormRoundTrip) {
    EXPECT_EQ(guidToString(IID_IObjectSafety), "{CB5BDC81-93C1-11CF-8F20-00805F2CD064}");
    GUID parsed{};
    ASSERT_TRUE(guidFromString("{cb5bdc81-93c1-11cf-8f20-00805f2cd064}", parsed));
    EXPECT_EQ(parsed, IID_IObjectSafety);
    EXPECT_FALSE(guidFromString("{CB5BDC81-93C1-11CF-8F20-00805F2CD06}", parsed));
    EXPECT_FALSE(guidFromString("CB5BDC81-93C1-11CF-8F20-00805F2CD064", parsed));
    EXPECT_FALSE(guidFromString("{CB5BDC81+93C1-11CF-8F20-00805F2CD064}", parsed));
}

}  // namespace
