// Fuzz target: writeDocument over random trees of objects, arrays, numbers,
// booleans, nulls and strings of arbitrary bytes (keys included), checked by
// parsing the text back.
//
// The text is GB18030: a trail byte may be a quotation mark's or backslash's
// byte, so it is read by character, as its reader reads it once converted.
// Characters are told apart by the code page's structure (two bytes: lead
// 0x81-0xFE, trail 0x40-0x7E or 0x80-0xFE; four bytes: lead, 0x30-0x39,
// 0x81-0xFE, 0x30-0x39); before parsing, every byte of a multi-byte
// character becomes the character U+0100 + byte, in UTF-8, so that no byte
// of one reads as ASCII. The parsed tree must be the written one with every
// string in its written form: its characters and ASCII bytes unchanged,
// every other byte from 0x80 up as '?'. Two keys may share a written form;
// the parsed object then holds the value of the last of them in key order,
// as a reader keeps the last of duplicate keys. Where every key is written as
// it is, writing the parsed tree again gives the same text (members are
// ordered by their keys' bytes, not by their written form). A broken promise
// aborts.
#include <json/reader.h>
#include <json/value.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "control/ResultDocument.h"

namespace {

constexpr int kMaxDepth = 12;
constexpr std::size_t kMaxMembers = 6;

// Bytes the writing treats specially, drawn often so that characters, cut
// characters and escapes meet.
constexpr unsigned char kInteresting[] = {
    0x00, 0x01, 0x08, 0x09, 0x0A, 0x0C, 0x0D, 0x1F, 0x20, '"',  '\\', '/',  '?',  'u',  '0',  '9',
    0x30, 0x39, 0x3A, 0x40, 0x5C, 0x7E, 0x7F, 0x80, 0x81, 0x82, 0x9C, 0xA1, 0xD6, 0xFE, 0xFF, 0x34,
};

void fail(const char* what) {
    std::fprintf(stderr, "document writer fuzz: %s\n", what);
    std::abort();
}

class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool empty() const { return size_ == 0; }
    std::uint8_t byte() {
        if (size_ == 0) return 0;
        --size_;
        return *data_++;
    }
    std::uint64_t word() {
        std::uint64_t value = 0;
        for (int i = 0; i < 8; ++i) value = value << 8 | byte();
        return value;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
};

std::string text(Input& in) {
    const std::uint8_t shape = in.byte();
    const std::size_t length = shape & 0x3F;
    const bool interesting = (shape & 0x40) != 0;
    std::string s;
    for (std::size_t i = 0; i < length && !in.empty(); ++i) {
        const std::uint8_t b = in.byte();
        s += static_cast<char>(interesting ? kInteresting[b % std::size(kInteresting)] : b);
    }
    return s;
}

Json::Value tree(Input& in, int depth) {
    const std::uint8_t tag = in.byte();
    switch (depth < kMaxDepth ? tag % 8 : 4) {
        case 0: return Json::Value();
        case 1: return Json::Value((tag & 0x80) != 0);
        case 2: return Json::Value(static_cast<Json::Int64>(in.word()));
        case 3: return Json::Value(static_cast<Json::UInt64>(in.word()));
        case 6: {
            Json::Value array(Json::arrayValue);
            for (std::size_t n = in.byte() % kMaxMembers; n > 0 && !in.empty(); --n) array.append(tree(in, depth + 1));
            return array;
        }
        case 7: {
            Json::Value object(Json::objectValue);
            for (std::size_t n = in.byte() % kMaxMembers; n > 0 && !in.empty(); --n) {
                const std::string key = text(in);
                object[key] = tree(in, depth + 1);
            }
            return object;
        }
        default: return Json::Value(text(in));
    }
}

// Length of the character at s[i]: 2 or 4 for a complete multi-byte
// character, else 1.
std::size_t characterLength(const std::string& s, std::size_t i) {
    auto at = [&](std::size_t k) { return static_cast<unsigned char>(s[i + k]); };
    auto in = [](unsigned c, unsigned lo, unsigned hi) { return c >= lo && c <= hi; };
    const std::size_t left = s.size() - i;
    if (!in(at(0), 0x81, 0xFE) || left < 2) return 1;
    if (in(at(1), 0x40, 0x7E) || in(at(1), 0x80, 0xFE)) return 2;
    if (left >= 4 && in(at(1), 0x30, 0x39) && in(at(2), 0x81, 0xFE) && in(at(3), 0x30, 0x39)) return 4;
    return 1;
}

// A string as it is written.
std::string writtenForm(const std::string& s) {
    std::string out;
    for (std::size_t i = 0; i < s.size();) {
        const std::size_t length = characterLength(s, i);
        if (length > 1) out.append(s, i, length);
        else out += static_cast<unsigned char>(s[i]) < 0x80 ? s[i] : '?';
        i += length;
    }
    return out;
}

// Every byte of a multi-byte character as U+0100 + byte in UTF-8; stray bytes
// from 0x80 up stay as they are.
std::string unambiguous(const std::string& s) {
    std::string out;
    for (std::size_t i = 0; i < s.size();) {
        const std::size_t length = characterLength(s, i);
        if (length == 1) {
            out += s[i++];
            continue;
        }
        for (const std::size_t end = i + length; i < end; ++i) {
            const unsigned code = 0x100u + static_cast<unsigned char>(s[i]);
            out += static_cast<char>(0xC0 | code >> 6);
            out += static_cast<char>(0x80 | (code & 0x3F));
        }
    }
    return out;
}

// The bytes back from unambiguous().
std::string bytesOf(const std::string& s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c >= 0xC4 && c <= 0xC7 && i + 1 < s.size()) {
            out += static_cast<char>(((c & 0x1F) << 6 | (static_cast<unsigned char>(s[++i]) & 0x3F)) - 0x100);
        } else {
            out += s[i];
        }
    }
    return out;
}

// The parsed tree with its strings and keys turned back into bytes.
Json::Value toBytes(const Json::Value& value) {
    if (value.isString()) return Json::Value(bytesOf(value.asString()));
    if (value.isArray()) {
        Json::Value array(Json::arrayValue);
        for (const Json::Value& element : value) array.append(toBytes(element));
        return array;
    }
    if (value.isObject()) {
        Json::Value object(Json::objectValue);
        for (const std::string& key : value.getMemberNames()) object[bytesOf(key)] = toBytes(value[key]);
        return object;
    }
    return value;
}

// The tree as parsing the written text must give it; `rewritten` tells
// whether a key is written otherwise than it is.
Json::Value expected(const Json::Value& value, bool& rewritten) {
    if (value.isString()) return Json::Value(unambiguous(writtenForm(value.asString())));
    if (value.isArray()) {
        Json::Value array(Json::arrayValue);
        for (const Json::Value& element : value) array.append(expected(element, rewritten));
        return array;
    }
    if (value.isObject()) {
        Json::Value object(Json::objectValue);
        std::vector<std::string> keys = value.getMemberNames();
        std::sort(keys.begin(), keys.end());
        for (const std::string& key : keys) {
            const std::string written = writtenForm(key);
            if (written != key) rewritten = true;
            object[unambiguous(written)] = expected(value[key], rewritten);
        }
        return object;
    }
    // A reader gives every integer that fits the signed type as signed.
    if (value.type() == Json::uintValue && value.isInt64()) return Json::Value(value.asInt64());
    return value;
}

Json::Value parse(const std::string& text) {
    Json::CharReaderBuilder builder;
    Json::CharReaderBuilder::strictMode(&builder.settings_);
    builder["strictRoot"] = false;
    builder["rejectDupKeys"] = false;
    builder["stackLimit"] = 4 * kMaxDepth;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value parsed;
    std::string errors;
    if (!reader->parse(text.data(), text.data() + text.size(), &parsed, &errors)) {
        std::fprintf(stderr, "%s\n%s\n", errors.c_str(), text.c_str());
        fail("the text is no JSON");
    }
    return parsed;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in(data, size);
    const Json::Value document = tree(in, 0);
    const std::string written = control::writeDocument(document);
    if (written.empty() || written.back() != '\n') fail("no final line feed");

    const Json::Value parsed = parse(unambiguous(written));
    bool rewritten = false;
    if (!(parsed == expected(document, rewritten))) fail("the parsed text differs from the tree");
    if (!rewritten && control::writeDocument(toBytes(parsed)) != written) {
        fail("writing the parsed tree changes the text");
    }
    return 0;
}
