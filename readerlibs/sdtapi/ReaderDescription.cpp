#include "readerlibs/sdtapi/ReaderDescription.h"

#include <json/json.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <exception>
#include <iterator>
#include <memory>
#include <sstream>

namespace virtualreader {
namespace {

// What a member's value is, for messages.
const char* typeName(const Json::Value& value) {
    switch (value.type()) {
    case Json::nullValue: return "null";
    case Json::intValue:
    case Json::uintValue: return "an integer";
    case Json::realValue: return "a number";
    case Json::stringValue: return "a text";
    case Json::booleanValue: return "true or false";
    case Json::arrayValue: return "a list";
    case Json::objectValue: return "an object";
    }
    return "a value";
}

// The member being read and the problem found with it.
class Checker {
public:
    explicit Checker(std::string& problem) : problem_(problem) {}

    bool fail(const std::string& member, const std::string& what) {
        problem_ = "member \"" + member + "\": " + what;
        return false;
    }
    bool wrongType(const std::string& member, const Json::Value& value, const char* wanted) {
        return fail(member, std::string("is ") + typeName(value) + ", not " + wanted);
    }
    bool integer(const std::string& member, const Json::Value& value, int& out) {
        if (value.isInt()) {
            out = value.asInt();
            return true;
        }
        if (value.isIntegral()) return fail(member, "is out of the range of a 32-bit integer");
        return wrongType(member, value, "an integer");
    }
    bool text(const std::string& member, const Json::Value& value, std::string& out) {
        if (!value.isString()) return wrongType(member, value, "a text");
        out = value.asString();
        return true;
    }
    bool object(const std::string& member, const Json::Value& value) {
        return value.isObject() || wrongType(member, value, "an object");
    }

private:
    std::string& problem_;
};

std::u16string utf8ToUtf16(const std::string& text) {
    std::u16string out;
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const int length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
        char32_t c = length == 1 ? lead : lead & (0x3Fu >> (length - 1));
        for (int k = 1; k < length && i + k < text.size(); ++k) {
            c = (c << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3Fu);
        }
        i += static_cast<std::size_t>(length);
        if (c >= 0x10000) {
            out.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(c));
        }
    }
    return out;
}

int base64Value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// Decodes Base64 (white space and padding ignored); false at a character
// that is neither.
bool base64Decode(const std::string& text, std::vector<unsigned char>& out, std::size_t& badAt) {
    unsigned buffer = 0;
    int bits = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '=' || c == ' ' || c == '\n' || c == '\r' || c == '\t') continue;
        const int value = base64Value(c);
        if (value < 0) {
            badAt = i;
            return false;
        }
        buffer = (buffer << 6) | static_cast<unsigned>(value);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<unsigned char>((buffer >> bits) & 0xFF));
        }
    }
    return true;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// ------------------------------------------------------------- the members

bool readPorts(Checker& check, const std::string& member, const Json::Value& value, Reader& r) {
    if (!check.object(member, value)) return false;
    r.ports.clear();
    for (auto it = value.begin(); it != value.end(); ++it) {
        const std::string port = it.name();
        const std::string at = member + "." + port;
        const bool digits = !port.empty() && port.size() <= 9 &&
                            port.find_first_not_of("0123456789") == std::string::npos;
        if (!digits) return check.fail(at, "is not a port number");
        std::vector<int>& answers = r.ports[std::stoi(port)];
        if (it->isArray()) {
            for (Json::ArrayIndex k = 0; k < it->size(); ++k) {
                int answer = 0;
                if (!check.integer(at + "[" + std::to_string(k) + "]", (*it)[k], answer)) return false;
                answers.push_back(answer);
            }
        } else if (it->isInt()) {
            answers.push_back(it->asInt());
        } else {
            return check.wrongType(at, *it, "an integer or a list of integers");
        }
        if (answers.empty()) answers.push_back(kPortNotListed);
    }
    return true;
}

struct ResultMember {
    const char* key;
    int Reader::*result;
};
constexpr ResultMember kResults[] = {
    {"close", &Reader::closeResult},   {"find", &Reader::findResult}, {"select", &Reader::selectResult},
    {"readFP", &Reader::readFpResult}, {"read", &Reader::readResult}, {"samId", &Reader::samIdResult},
};

template <class Entry>
std::string namesOf(const Entry& table) {
    std::string names;
    for (const auto& entry : table) names += (names.empty() ? "" : ", ") + std::string(entry.key);
    return names;
}

bool readResults(Checker& check, const std::string& member, const Json::Value& value, Reader& r) {
    if (!check.object(member, value)) return false;
    for (auto it = value.begin(); it != value.end(); ++it) {
        const std::string at = member + "." + it.name();
        const ResultMember* found = nullptr;
        for (const ResultMember& entry : kResults) {
            if (it.name() == entry.key) found = &entry;
        }
        if (found == nullptr) return check.fail(at, "is unknown (results are " + namesOf(kResults) + ")");
        if (!check.integer(at, *it, r.*(found->result))) return false;
    }
    return true;
}

bool readSamId(Checker& check, const std::string& member, const Json::Value& value, Reader& r) {
    std::string text;
    if (!check.text(member, value, text)) return false;
    constexpr std::size_t kLongest = reader::kSamIdBufferSize - 1;
    if (text.size() > kLongest) {
        return check.fail(member, "is " + std::to_string(text.size()) + " bytes long, the reader's text holds " +
                                      std::to_string(kLongest));
    }
    r.samId = text;
    return true;
}

// The fields of a card type: its table, or none for a letter without one.
std::span<const CardField> fieldsOf(std::string_view type) {
    for (const CardLayout& layout : kCardLayouts) {
        if (layout.type == type) return layout.fields;
    }
    return {};
}

std::string fieldNames(std::span<const CardField> fields) {
    std::string names;
    for (const CardField& field : fields) names += (names.empty() ? "" : ", ") + std::string(field.key);
    return names.empty() ? "none" : names;
}

// A card's "type": "" or one capital letter. A card that names its type is a
// new card: the fields it leaves out are blank.
bool readCardType(Checker& check, const std::string& member, const Json::Value& value, Reader& r) {
    std::string type;
    if (!check.text(member, value, type)) return false;
    if (!type.empty() && (type.size() != 1 || type[0] < 'A' || type[0] > 'Z')) {
        return check.fail(member, "is \"" + type + "\", not \"\" (a resident card) or one capital letter (I, J, ...)");
    }
    r.cardType = type;
    r.card.clear();
    return true;
}

bool readCard(Checker& check, const std::string& member, const Json::Value& value, Reader& r) {
    if (value.isNull()) {
        r.cardPresent = false;
        return true;
    }
    if (!value.isObject()) return check.wrongType(member, value, "an object or null");
    r.cardPresent = true;
    constexpr char kType[] = "type";
    if (value.isMember(kType) && !readCardType(check, member + "." + kType, value[kType], r)) return false;
    const std::span<const CardField> fields = fieldsOf(r.cardType);
    for (auto it = value.begin(); it != value.end(); ++it) {
        if (it.name() == kType) continue;
        const std::string at = member + "." + it.name();
        const CardField* field = nullptr;
        for (const CardField& candidate : fields) {
            if (it.name() == candidate.key) field = &candidate;
        }
        if (field == nullptr) {
            return check.fail(at, r.cardType.empty()
                                      ? "is unknown (a card's fields are " + fieldNames(fields) + ")"
                                      : "is unknown (the fields of a card of type \"" + r.cardType + "\" are " +
                                            fieldNames(fields) + ")");
        }
        std::string text;
        if (!check.text(at, *it, text)) return false;
        const std::size_t length = utf8ToUtf16(text).size();
        const auto width = static_cast<std::size_t>(field->characters);
        if (length > width) {
            return check.fail(at, "is " + std::to_string(length) + " characters long, the field holds " +
                                      std::to_string(width));
        }
        r.card[it.name()] = text;
    }
    return true;
}

bool readTextBlockHex(Checker& check, const std::string& member, const Json::Value& value, Reader& r) {
    std::string hex;
    if (!check.text(member, value, hex)) return false;
    constexpr std::size_t kLongest = 2 * reader::kTextBlockSize;
    if (hex.size() > kLongest) {
        return check.fail(member, "has " + std::to_string(hex.size()) + " hex digits, the block holds " +
                                      std::to_string(kLongest));
    }
    if (hex.size() % 2 != 0) return check.fail(member, "has an odd number of hex digits");
    std::vector<unsigned char> bytes;
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        const int high = hexValue(hex[i]);
        const int low = hexValue(hex[i + 1]);
        if (high < 0 || low < 0) {
            return check.fail(member, "has a character that is no hex digit at position " +
                                          std::to_string(i + (high < 0 ? 1 : 2)));
        }
        bytes.push_back(static_cast<unsigned char>(high * 16 + low));
    }
    r.rawTextBlock = std::move(bytes);
    return true;
}

template <std::size_t N>
bool readArea(Checker& check, const std::string& member, const Json::Value& value, unsigned char (&area)[N]) {
    std::string text;
    if (!check.text(member, value, text)) return false;
    std::vector<unsigned char> bytes;
    std::size_t badAt = 0;
    if (!base64Decode(text, bytes, badAt)) {
        return check.fail(member, "has a character that is not Base64 at position " + std::to_string(badAt + 1));
    }
    if (bytes.size() > N) {
        return check.fail(member, "decodes to " + std::to_string(bytes.size()) + " bytes, the area holds " +
                                      std::to_string(N));
    }
    std::memset(area, 0, N);
    if (!bytes.empty()) std::memcpy(area, bytes.data(), bytes.size());
    return true;
}

bool readPhoto(Checker& check, const std::string& member, const Json::Value& value, Reader& r) {
    return readArea(check, member, value, r.photo);
}

bool readFingerprint(Checker& check, const std::string& member, const Json::Value& value, Reader& r) {
    return readArea(check, member, value, r.fingerprint);
}

bool readLatency(Checker& check, const std::string& member, const Json::Value& value, Reader& r) {
    int latency = 0;
    if (!check.integer(member, value, latency)) return false;
    if (latency < 0 || latency > kLongestLatencyMs) {
        return check.fail(member, "is " + std::to_string(latency) + ", not between 0 and " +
                                      std::to_string(kLongestLatencyMs));
    }
    r.latencyMs = latency;
    return true;
}

struct Member {
    const char* key;
    bool (*read)(Checker&, const std::string&, const Json::Value&, Reader&);
};
constexpr Member kMembers[] = {
    {"ports", readPorts},
    {"results", readResults},
    {"samId", readSamId},
    {"card", readCard},
    {"textBlockHex", readTextBlockHex},
    {"photoBase64", readPhoto},
    {"fingerprintBase64", readFingerprint},
    {"latencyMs", readLatency},
};

// jsoncpp's error text ("* Line 1, Column 2\n  Missing '}' ...\n", one
// entry per error) as one line: "line 1, column 2: Missing '}' ...", the
// first error only.
std::string oneLine(const std::string& errors) {
    std::istringstream lines(errors);
    std::string location;
    std::string message;
    std::getline(lines, location);
    std::getline(lines, message);
    const auto trim = [](std::string text, const char* drop) {
        text.erase(0, text.find_first_not_of(drop));
        text.erase(text.find_last_not_of(drop) + 1);
        return text;
    };
    location = trim(location, "* \t");
    if (!location.empty()) location[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(location[0])));
    if (const std::size_t column = location.find(", Column"); column != std::string::npos) location[column + 2] = 'c';
    message = trim(message, " \t");
    return location.empty() ? message : location + ": " + message;
}

bool parse(std::string_view text, Json::Value& root, std::string& problem) {
    Json::CharReaderBuilder builder;
    builder["failIfExtra"] = true;
    builder["rejectDupKeys"] = true;
    builder["stackLimit"] = kDeepestNesting;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::string errors;
    try {
        if (reader->parse(text.data(), text.data() + text.size(), &root, &errors)) return true;
        problem = "not valid JSON: " + oneLine(errors);
    } catch (const std::exception&) {
        // jsoncpp throws when the nesting exceeds the stack limit.
        problem = "not valid JSON: nested deeper than " + std::to_string(kDeepestNesting) + " levels";
    }
    return false;
}

// The problem with control characters (from member names or quoted keys)
// written as escapes, so that it stays one line.
std::string printable(const std::string& text) {
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\n') {
            out += "\\n";
        } else if (byte < 0x20 || byte == 0x7F) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\x%02X", byte);
            out += escape;
        } else {
            out += c;
        }
    }
    return out;
}

bool check(Reader& reader, std::string_view text, std::string& problem) {
    Json::Value root;
    if (!parse(text, root, problem)) return false;
    if (!root.isObject()) {
        problem = std::string("the description is ") + typeName(root) + ", not an object";
        return false;
    }
    Reader changed = reader;
    Checker checker(problem);
    for (auto it = root.begin(); it != root.end(); ++it) {
        const Member* member = nullptr;
        for (const Member& entry : kMembers) {
            if (it.name() == entry.key) member = &entry;
        }
        if (member == nullptr) return checker.fail(it.name(), "is unknown (members are " + namesOf(kMembers) + ")");
        if (!member->read(checker, it.name(), *it, changed)) return false;
    }
    reader = std::move(changed);
    return true;
}

}  // namespace

bool applyDescription(Reader& reader, std::string_view text, std::string& problem) noexcept {
    try {
        if (check(reader, text, problem)) return true;
        problem = printable(problem);
    } catch (const std::exception& e) {
        problem = std::string("cannot be applied: ") + e.what();
    } catch (...) {
        problem = "cannot be applied";
    }
    return false;
}

void buildTextBlock(Reader& r) noexcept {
    if (r.rawTextBlock) {
        std::memset(r.textBlock, 0, sizeof r.textBlock);
        const std::size_t n = std::min(r.rawTextBlock->size(), sizeof r.textBlock);
        if (n > 0) std::memcpy(r.textBlock, r.rawTextBlock->data(), n);
        return;
    }
    // Unused characters are spaces, as on a real card.
    for (std::size_t i = 0; i < sizeof r.textBlock; i += 2) {
        r.textBlock[i] = 0x20;
        r.textBlock[i + 1] = 0;
    }
    const auto put = [&](std::size_t offset, char16_t c) {
        r.textBlock[offset] = static_cast<unsigned char>(c & 0xFF);
        r.textBlock[offset + 1] = static_cast<unsigned char>(c >> 8);
    };
    for (const CardField& field : fieldsOf(r.cardType)) {
        const auto found = r.card.find(field.key);
        if (found == r.card.end()) continue;
        std::u16string text;
        try {
            text = utf8ToUtf16(found->second);
        } catch (...) {
            text.clear();  // out of memory: the field stays blank
        }
        const auto width = static_cast<std::size_t>(field.characters);
        for (std::size_t k = 0; k < width && k < text.size(); ++k) {
            put(static_cast<std::size_t>(field.offset) + 2 * k, text[k]);
        }
    }
    if (!r.cardType.empty()) put(kCardTypeAt, static_cast<char16_t>(r.cardType[0]));
}

}  // namespace virtualreader
