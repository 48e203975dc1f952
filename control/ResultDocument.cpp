#include "control/ResultDocument.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/CodePage.h"
#include "platform/Exceptions.h"

namespace control {
namespace {

constexpr int kIndent = 3;

// Bytes a string copies as they are: printable ASCII but the quotation mark
// and the backslash. Every byte from 0x80 up starts a multi-byte character
// (or is stray) and is handled by character.
constexpr bool isPlain(unsigned char c) { return c >= 0x20 && c < 0x80 && c != '"' && c != '\\'; }

// The end of the run of plain bytes from `p`: eight bytes at a time while
// none of them needs a look of its own (the long Base64 texts of the
// pictures are one such run), then byte by byte.
const char* plainRunEnd(const char* p, const char* end) {
    constexpr std::uint64_t kOnes = 0x0101010101010101ull;
    constexpr std::uint64_t kHighs = 0x8080808080808080ull;
    const auto hasZeroByte = [](std::uint64_t v) { return (v - kOnes) & ~v & kHighs; };
    while (end - p >= 8) {
        std::uint64_t word;
        std::memcpy(&word, p, sizeof word);
        // A byte from 0x80 up, below 0x20, a quotation mark or a backslash.
        const std::uint64_t special = (word & kHighs) | ((word - 0x20 * kOnes) & ~word & kHighs) |
                                      hasZeroByte(word ^ ('"' * kOnes)) |
                                      hasZeroByte(word ^ ('\\' * kOnes));
        if (special != 0) break;
        p += 8;
    }
    while (p < end && isPlain(static_cast<unsigned char>(*p))) ++p;
    return p;
}

void writeString(const char* begin, const char* end, std::string& out) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    out += '"';
    for (const char* p = begin; p < end;) {
        const char* run = p;
        p = plainRunEnd(p, end);
        out.append(run, p);
        if (p == end) break;
        const std::size_t length = platform::ansiCharacterLength(p, static_cast<std::size_t>(end - p));
        if (length > 1) {
            out.append(p, length);
            p += length;
            continue;
        }
        const auto c = static_cast<unsigned char>(*p++);
        if (c >= 0x80) {
            // A byte that starts no complete character (raw bytes from a
            // library, say). Copied, it could join the next byte, a quotation
            // mark or backslash, into one character and swallow the escape;
            // it becomes '?', as the conversion to UTF-16 would make it.
            out += '?';
            continue;
        }
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20) {
                    out += "\\u00";
                    out += kHex[c >> 4];
                    out += kHex[c & 0xF];
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    out += '"';
}

void writeValue(const Json::Value& value, int depth, std::string& out) {
    switch (value.type()) {
        case Json::nullValue: out += "null"; break;
        case Json::intValue: out += std::to_string(value.asLargestInt()); break;
        case Json::uintValue: out += std::to_string(value.asLargestUInt()); break;
        case Json::realValue: out += Json::valueToString(value.asDouble()); break;
        case Json::booleanValue: out += value.asBool() ? "true" : "false"; break;
        case Json::stringValue: {
            const char* begin = nullptr;
            const char* end = nullptr;
            if (value.getString(&begin, &end)) writeString(begin, end, out);
            else out += "\"\"";
            break;
        }
        case Json::arrayValue:
        case Json::objectValue: {
            const bool isObject = value.isObject();
            if (value.empty()) {
                out += isObject ? "{}" : "[]";
                break;
            }
            std::vector<std::string> keys;
            if (isObject) {
                keys = value.getMemberNames();
                std::sort(keys.begin(), keys.end());
            }
            const std::string inner(static_cast<std::size_t>((depth + 1) * kIndent), ' ');
            out += isObject ? "{\n" : "[\n";
            for (Json::ArrayIndex i = 0; i < value.size(); ++i) {
                out += inner;
                if (isObject) {
                    writeString(keys[i].data(), keys[i].data() + keys[i].size(), out);
                    out += " : ";
                    writeValue(value[keys[i]], depth + 1, out);
                } else {
                    writeValue(value[i], depth + 1, out);
                }
                if (i + 1 < value.size()) out += ',';
                out += '\n';
            }
            out.append(static_cast<std::size_t>(depth * kIndent), ' ');
            out += isObject ? '}' : ']';
            break;
        }
    }
}

// Room for a document: its strings and some for the form around them.
std::size_t textSize(const Json::Value& value) {
    if (value.isString()) {
        const char* begin = nullptr;
        const char* end = nullptr;
        return value.getString(&begin, &end) ? static_cast<std::size_t>(end - begin) + 8 : 8;
    }
    std::size_t size = 32;
    if (value.isObject() || value.isArray()) {
        for (const Json::Value& member : value) size += textSize(member) + 32;
    }
    return size;
}

// Writes the document into `out`, replacing its contents.
void writeDocumentInto(const Json::Value& document, std::string& out) {
    out.clear();
    out.reserve(textSize(document));
    writeValue(document, 0, out);
    out += '\n';
}

}  // namespace

std::string writeDocument(const Json::Value& document) {
    std::string out;
    writeDocumentInto(document, out);
    return out;
}

platform::BSTR documentToBstr(const Json::Value& document) {
    // A read's text and UTF-16 copy are about 120 KB: freed after each call,
    // they would go back to the system with the top of the heap, and the
    // next read would claim them again, page by page.
    static struct {
        std::mutex lock;
        std::string text;
        std::u16string wide;
    } kept;
    const std::lock_guard<std::mutex> held(kept.lock);
    writeDocumentInto(document, kept.text);
    platform::ansiToWide(kept.text, kept.wide);
    // OLECHAR is the platform's 16-bit character type (wchar_t on Windows).
    platform::BSTR result = platform::SysAllocStringLen(reinterpret_cast<const platform::OLECHAR*>(kept.wide.data()),
                                                        static_cast<platform::UINT>(kept.wide.size()));
    if (result == nullptr) throw platform::CMemoryException();
    return result;
}

}  // namespace control
