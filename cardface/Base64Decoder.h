// Base64 text (the standard alphabet) back to bytes, for hosts that save the
// pictures of a document. Characters outside the alphabet (padding, line
// breaks) are skipped; a trailing partial group gives no byte.
#pragma once

#include <string>
#include <string_view>

namespace cardface {

std::string base64Decode(std::string_view text);

}  // namespace cardface
