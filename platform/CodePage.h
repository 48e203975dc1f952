// Text conversions between UTF-16 and the ANSI code page, and UTF-8 for hosts.
//
// The ANSI code page is GB18030: a superset of GBK (so the system's fixed GBK
// messages read the same) that covers all of Unicode, so no card character is
// lost. A character that cannot be converted (an unpaired surrogate, a
// malformed byte sequence) becomes '?'. Allocation failures throw
// CMemoryException.
#pragma once

#include <string>
#include <string_view>

namespace platform {

// UTF-16 (host byte order) to the ANSI code page.
std::string wideToAnsi(std::u16string_view text);
// The ANSI code page to UTF-16.
std::u16string ansiToWide(std::string_view text);
// The same into `out`, replacing its contents and keeping its capacity.
void ansiToWide(std::string_view text, std::u16string& out);

std::string utf16ToUtf8(std::u16string_view text);
std::u16string utf8ToUtf16(std::string_view text);

// Length in bytes (1, 2 or 4) of the ANSI-code-page character that starts at
// `text[0]`, given `available` bytes; a malformed or cut sequence counts as 1.
std::size_t ansiCharacterLength(const char* text, std::size_t available);

}  // namespace platform
