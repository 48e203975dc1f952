#include "platform/CodePage.h"

#include "platform/Exceptions.h"
#include "platform/win32/ComTypes.h"

#include <new>

// Conversions through the thread's ANSI code page and UTF-8, with the
// system's converters. Where the thread's code page is GBK (936) and the
// system has GB18030 (54936), its superset, GB18030 is used: the fixed GBK
// messages read the same and no card character is lost. A character the code
// page lacks becomes '?'.
namespace platform {
namespace {

static_assert(sizeof(wchar_t) == sizeof(char16_t));

const wchar_t* wide(const char16_t* text) { return reinterpret_cast<const wchar_t*>(text); }

std::string fromWide(UINT codePage, std::u16string_view text) {
    if (text.empty()) return {};
    const int count = static_cast<int>(text.size());
    // The system refuses a replacement character for UTF-8 and GB18030,
    // which can write every character.
    const bool ansi = codePage != CP_UTF8 && codePage != 54936;
    const int size = ::WideCharToMultiByte(codePage, 0, wide(text.data()), count, nullptr, 0,
                                           ansi ? "?" : nullptr, nullptr);
    if (size <= 0) throw CException();
    std::string out(static_cast<std::size_t>(size), '\0');
    ::WideCharToMultiByte(codePage, 0, wide(text.data()), count, out.data(), size, ansi ? "?" : nullptr, nullptr);
    return out;
}

// Replaces `out`, keeping its capacity.
void toWide(UINT codePage, std::string_view text, std::u16string& out) {
    out.clear();
    if (text.empty()) return;
    const int count = static_cast<int>(text.size());
    const int size = ::MultiByteToWideChar(codePage, 0, text.data(), count, nullptr, 0);
    if (size <= 0) throw CException();
    out.resize(static_cast<std::size_t>(size));
    ::MultiByteToWideChar(codePage, 0, text.data(), count, reinterpret_cast<wchar_t*>(out.data()), size);
}

std::u16string toWide(UINT codePage, std::string_view text) {
    std::u16string out;
    toWide(codePage, text, out);
    return out;
}

UINT ansiCodePage() {
    CPINFOEXA info{};
    const UINT thread = ::GetCPInfoExA(CP_THREAD_ACP, 0, &info) ? info.CodePage : ::GetACP();
    if (thread == 936 && ::IsValidCodePage(54936)) return 54936;
    return thread;
}

}  // namespace

std::string wideToAnsi(std::u16string_view text) {
    return translatingBadAlloc([&] { return fromWide(ansiCodePage(), text); });
}

std::u16string ansiToWide(std::string_view text) {
    return translatingBadAlloc([&] { return toWide(ansiCodePage(), text); });
}

void ansiToWide(std::string_view text, std::u16string& out) {
    translatingBadAlloc([&] { toWide(ansiCodePage(), text, out); });
}

std::string utf16ToUtf8(std::u16string_view text) {
    return translatingBadAlloc([&] {
        // An unpaired surrogate becomes '?', as on every platform.
        std::u16string checked(text);
        for (std::size_t i = 0; i < checked.size(); ++i) {
            const char16_t c = checked[i];
            if (c >= 0xD800 && c <= 0xDBFF && i + 1 < checked.size() && checked[i + 1] >= 0xDC00 &&
                checked[i + 1] <= 0xDFFF) {
                ++i;
            } else if (c >= 0xD800 && c <= 0xDFFF) {
                checked[i] = u'?';
            }
        }
        return fromWide(CP_UTF8, checked);
    });
}

std::u16string utf8ToUtf16(std::string_view text) {
    return translatingBadAlloc([&] { return toWide(CP_UTF8, text); });
}

std::size_t ansiCharacterLength(const char* text, std::size_t available) {
    auto at = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    if (available == 0) return 0;
    const UINT codePage = ansiCodePage();
    if (codePage == 54936) {  // GB18030: one, two or four bytes
        const unsigned lead = at(0);
        if (lead < 0x81 || lead > 0xFE || available < 2) return 1;
        const unsigned second = at(1);
        if (second >= 0x30 && second <= 0x39) {
            return available >= 4 && at(2) >= 0x81 && at(2) <= 0xFE && at(3) >= 0x30 && at(3) <= 0x39 ? 4 : 1;
        }
        return (second >= 0x40 && second <= 0x7E) || (second >= 0x80 && second <= 0xFE) ? 2 : 1;
    }
    // A double-byte character needs a trail byte of its code page's range
    // (never below 0x40): a stray lead byte is one character on its own and
    // never takes a quote, a control character or a line end with it.
    if (available < 2 || !::IsDBCSLeadByteEx(codePage, at(0))) return 1;
    const unsigned trail = at(1);
    return trail >= 0x40 && trail != 0x7F && trail != 0xFF ? 2 : 1;
}

}  // namespace platform
