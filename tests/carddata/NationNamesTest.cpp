#include "carddata/NationNames.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>

#include "CardDataTestSupport.h"

namespace carddata::test {
namespace {

// The table as published, in UTF-8: "code name" lines.
std::map<int, std::string> publishedTable() {
    std::map<int, std::string> table;
    std::ifstream file(testData("nations.txt"));
    int code;
    std::string name;
    while (file >> code >> name) table[code] = name;
    return table;
}

TEST(NationNames, EveryCodeGivesThePublishedNameOrNothing) {
    const std::map<int, std::string> table = publishedTable();
    ASSERT_EQ(table.size(), 59u);
    for (int code = -20; code <= 120; ++code) {
        const auto entry = table.find(code);
        EXPECT_EQ(utf8(nationName(code)), entry == table.end() ? "" : entry->second) << "code " << code;
    }
    for (const std::int32_t code : {INT32_MIN, INT32_MAX, 256 + 1, 65536 + 1}) EXPECT_EQ(nationName(code), "");
}

// The names are GBK bytes: two-byte characters only (no four-byte GB18030
// sequences), lead byte 0x81 to 0xFE, trail byte 0x40 to 0xFE except 0x7F.
TEST(NationNames, NamesAreGbkBytes) {
    EXPECT_EQ(hex(nationName(1)), "baba");
    EXPECT_EQ(hex(nationName(57)), "b4a9c7e0c8cb");
    EXPECT_EQ(hex(nationName(97)), "c6e4cbfb");
    EXPECT_EQ(hex(nationName(98)), "cde2b9fad1aacdb3d6d0b9fabcaec8cbcabf");
    for (const auto& [code, expected] : publishedTable()) {
        const std::string name = nationName(code);
        ASSERT_EQ(name.size() % 2, 0u) << code;
        for (std::size_t i = 0; i < name.size(); i += 2) {
            const auto lead = static_cast<unsigned char>(name[i]);
            const auto trail = static_cast<unsigned char>(name[i + 1]);
            EXPECT_TRUE(lead >= 0x81 && lead <= 0xFE && trail >= 0x40 && trail <= 0xFE && trail != 0x7F)
                << "code " << code;
        }
    }
}

}  // namespace
}  // namespace carddata::test
