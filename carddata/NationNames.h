// The nation-name table: nation code to name, as GBK bytes.
//
// Codes 1 to 56 are the 56 nationalities of the national standard numbering
// (names without the suffix for "nationality"); 57, 97 and 98 are the
// table's further entries. Every other code gives the empty text.
#pragma once

#include <cstdint>
#include <string>

namespace carddata {

std::string nationName(std::int32_t code);

}  // namespace carddata
