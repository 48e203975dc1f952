#include "platform/CodePage.h"

#include <iconv.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>

#include "platform/Exceptions.h"

namespace platform {
namespace {

constexpr const char* kAnsiCodePage = "GB18030";
constexpr const char* kWide = "UTF-16LE";
static_assert(sizeof(char16_t) == 2);

// One iconv descriptor per direction and thread, opened on first use.
class Converter {
public:
    Converter(const char* to, const char* from) : handle_(::iconv_open(to, from)) {}
    ~Converter() {
        if (handle_ != reinterpret_cast<iconv_t>(-1)) ::iconv_close(handle_);
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    // Converts `size` bytes; each unconvertible input unit (of `unit` bytes)
    // becomes `replacement`. Appends to `out`.
    void run(const char* input, std::size_t size, std::size_t unit, std::string_view replacement,
             std::string& out) {
        if (handle_ == reinterpret_cast<iconv_t>(-1)) throw CException();
        ::iconv(handle_, nullptr, nullptr, nullptr, nullptr);
        char* in = const_cast<char*>(input);
        std::size_t inLeft = size;
        while (inLeft > 0) {
            const std::size_t start = out.size();
            const std::size_t room = inLeft * 4 + 16;
            out.resize(start + room);
            char* target = out.data() + start;
            std::size_t targetLeft = room;
            const std::size_t rc = ::iconv(handle_, &in, &inLeft, &target, &targetLeft);
            out.resize(start + (room - targetLeft));
            if (rc != static_cast<std::size_t>(-1)) break;
            if (errno == E2BIG) continue;
            // EILSEQ or EINVAL: an input unit that cannot be converted.
            out.append(replacement);
            const std::size_t skip = inLeft < unit ? inLeft : unit;
            in += skip;
            inLeft -= skip;
            ::iconv(handle_, nullptr, nullptr, nullptr, nullptr);
        }
    }

private:
    iconv_t handle_;
};

Converter& toAnsi() {
    thread_local Converter converter(kAnsiCodePage, kWide);
    return converter;
}
Converter& fromAnsi() {
    thread_local Converter converter(kWide, kAnsiCodePage);
    return converter;
}

// The end of the run of ASCII bytes from `i`, eight bytes at a time.
std::size_t asciiRunEnd(std::string_view text, std::size_t i) {
    constexpr std::uint64_t kHighs = 0x8080808080808080ull;
    while (text.size() - i >= 8) {
        std::uint64_t word;
        std::memcpy(&word, text.data() + i, sizeof word);
        if ((word & kHighs) != 0) break;
        i += 8;
    }
    while (i < text.size() && static_cast<unsigned char>(text[i]) < 0x80) ++i;
    return i;
}

template <class Fn>
auto translatingBadAlloc(Fn&& fn) {
    try {
        return fn();
    } catch (const std::bad_alloc&) {
        throw CMemoryException();
    }
}

}  // namespace

std::string wideToAnsi(std::u16string_view text) {
    return translatingBadAlloc([&] {
        std::string out;
        out.reserve(text.size());
        std::size_t i = 0;
        while (i < text.size()) {
            // ASCII maps to itself; only runs of other characters go through iconv.
            if (text[i] < 0x80) {
                out.push_back(static_cast<char>(text[i++]));
                continue;
            }
            std::size_t end = i;
            while (end < text.size() && text[end] >= 0x80) ++end;
            toAnsi().run(reinterpret_cast<const char*>(text.data() + i), (end - i) * 2, 2, "?", out);
            i = end;
        }
        return out;
    });
}

std::u16string ansiToWide(std::string_view text) {
    return translatingBadAlloc([&] {
        std::u16string out;
        out.reserve(text.size());
        std::string scratch;
        static constexpr char kQuestionMark[2] = {'?', 0};
        std::size_t i = 0;
        while (i < text.size()) {
            // A run of ASCII maps unit for unit.
            const std::size_t ascii = asciiRunEnd(text, i);
            if (ascii > i) {
                const std::size_t first = out.size();
                out.resize(first + (ascii - i));
                for (std::size_t k = i; k < ascii; ++k) {
                    out[first + (k - i)] = static_cast<char16_t>(static_cast<unsigned char>(text[k]));
                }
                i = ascii;
                continue;
            }
            std::size_t end = i;
            while (end < text.size() && static_cast<unsigned char>(text[end]) >= 0x80) {
                end += ansiCharacterLength(text.data() + end, text.size() - end);
            }
            scratch.clear();
            fromAnsi().run(text.data() + i, end - i, 1, std::string_view(kQuestionMark, 2), scratch);
            const std::size_t first = out.size();
            out.resize(first + scratch.size() / 2);
            for (std::size_t k = 0; k < scratch.size() / 2; ++k) {
                out[first + k] = static_cast<char16_t>(static_cast<unsigned char>(scratch[2 * k]) |
                                                       (static_cast<unsigned char>(scratch[2 * k + 1]) << 8));
            }
            i = end;
        }
        return out;
    });
}

std::size_t ansiCharacterLength(const char* text, std::size_t available) {
    auto at = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    if (available == 0) return 0;
    const unsigned lead = at(0);
    if (lead < 0x81 || lead > 0xFE || available < 2) return 1;
    const unsigned second = at(1);
    if (second >= 0x30 && second <= 0x39) {
        if (available >= 4 && at(2) >= 0x81 && at(2) <= 0xFE && at(3) >= 0x30 && at(3) <= 0x39) return 4;
        return 1;
    }
    if ((second >= 0x40 && second <= 0x7E) || (second >= 0x80 && second <= 0xFE)) return 2;
    return 1;
}

std::string utf16ToUtf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = '?';
        }
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (c >> 18)));
            out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

std::u16string utf8ToUtf16(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::size_t length = lead < 0x80 ? 1 : lead >= 0xF0 && lead <= 0xF4 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 0;
        char32_t c = length == 4 ? lead & 0x07u : length == 3 ? lead & 0x0Fu : length == 2 ? lead & 0x1Fu : lead;
        bool valid = length != 0 && i + length <= text.size();
        for (std::size_t k = 1; valid && k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            valid = (next & 0xC0) == 0x80;
            c = (c << 6) | (next & 0x3Fu);
        }
        const char32_t minimum = length == 4 ? 0x10000 : length == 3 ? 0x800 : length == 2 ? 0x80 : 0;
        if (!valid || c < minimum || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
            out.push_back(u'?');
            ++i;
            continue;
        }
        if (c >= 0x10000) {
            out.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(c));
        }
        i += length;
    }
    return out;
}

}  // namespace platform
