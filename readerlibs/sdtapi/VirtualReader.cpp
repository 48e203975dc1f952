// The virtual reader: a stand-in for the reader access library that answers
// every entry from a reader description (JSON) instead of hardware.
//
// IVELCARD_VIRTUAL_READER names the description; without it the built-in
// default applies (one reader answering 144 on port 1001, a security module
// identifier and the sample card). Members missing from a description take
// the default's values (a card's fields one by one). A description that
// cannot be read, or has a member of the wrong type, is a reader that answers
// nothing. With IVELCARD_VIRTUAL_READER_LOG set, every call is
// appended to that file as one line: the entry's name and its integer
// arguments.
//
// A port's status may also be a list of answers given in turn, the last one
// repeating: [144, 1] is a reader that answers once and is then unplugged.
#include <json/json.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "reader/ReaderApi.h"

extern "C" const char ivelDefaultReaderDescription[];

namespace {

// Codes a reader without a card answers.
constexpr int kNoCardFind = 128;
constexpr int kNoCardSelect = 129;
constexpr int kNoCardRead = 65;
constexpr int kPortNotListed = 1;

// Field widths of the card's text block in UCS-2 characters, in block order.
struct FieldWidth {
    const char* key;
    int characters;
};
constexpr FieldWidth kFields[] = {
    {"name", 15},      {"gender", 1},     {"nation", 2},      {"birthDate", 8}, {"address", 35},
    {"number", 18},    {"authority", 15}, {"validFrom", 8},   {"validTo", 8},
};
constexpr int kUsedTextBytes = 220;

struct Reader {
    std::map<int, std::vector<int>> ports;
    int closeResult = 144;
    int findResult = 159;
    int selectResult = 144;
    int readFpResult = 144;
    int readResult = 144;
    int samIdResult = 144;
    std::string samId;
    bool cardPresent = true;
    Json::Value card{Json::objectValue};               // the fields, merged over the default card's
    std::optional<std::vector<unsigned char>> rawTextBlock;  // "textBlockHex", when given
    unsigned char textBlock[reader::kTextBlockSize] = {};
    unsigned char photo[reader::kPhotoDataSize] = {};
    unsigned char fingerprint[reader::kFingerprintDataSize] = {};
    int latencyMs = 0;
    std::string logPath;
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

std::vector<unsigned char> base64Decode(const std::string& text) {
    std::vector<unsigned char> out;
    unsigned buffer = 0;
    int bits = 0;
    for (const char c : text) {
        int value;
        if (c >= 'A' && c <= 'Z') value = c - 'A';
        else if (c >= 'a' && c <= 'z') value = c - 'a' + 26;
        else if (c >= '0' && c <= '9') value = c - '0' + 52;
        else if (c == '+') value = 62;
        else if (c == '/') value = 63;
        else continue;
        buffer = (buffer << 6) | static_cast<unsigned>(value);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<unsigned char>((buffer >> bits) & 0xFF));
        }
    }
    return out;
}

void copyInto(unsigned char* target, std::size_t size, const std::vector<unsigned char>& bytes) {
    std::memset(target, 0, size);
    if (!bytes.empty()) std::memcpy(target, bytes.data(), bytes.size() < size ? bytes.size() : size);
}

void buildTextBlock(const Json::Value& card, unsigned char* block) {
    // Unused characters are spaces, as on a real card.
    for (int i = 0; i < reader::kTextBlockSize; i += 2) {
        block[i] = 0x20;
        block[i + 1] = 0;
    }
    int offset = 0;
    for (const FieldWidth& field : kFields) {
        const std::u16string text = utf8ToUtf16(card.get(field.key, "").asString());
        for (int k = 0; k < field.characters && k < static_cast<int>(text.size()); ++k) {
            block[offset + 2 * k] = static_cast<unsigned char>(text[k] & 0xFF);
            block[offset + 2 * k + 1] = static_cast<unsigned char>(text[k] >> 8);
        }
        offset += 2 * field.characters;
    }
    static_assert(kUsedTextBytes <= reader::kTextBlockSize);
}

void apply(Reader& r, const Json::Value& d) {
    if (d.isMember("ports")) {
        r.ports.clear();
        for (const std::string& port : d["ports"].getMemberNames()) {
            const Json::Value& answers = d["ports"][port];
            std::vector<int>& list = r.ports[std::atoi(port.c_str())];
            if (answers.isArray()) {
                for (const Json::Value& answer : answers) list.push_back(answer.asInt());
            } else {
                list.push_back(answers.asInt());
            }
            if (list.empty()) list.push_back(kPortNotListed);
        }
    }
    const Json::Value& results = d["results"];
    if (results.isObject()) {
        r.closeResult = results.get("close", r.closeResult).asInt();
        r.findResult = results.get("find", r.findResult).asInt();
        r.selectResult = results.get("select", r.selectResult).asInt();
        r.readFpResult = results.get("readFP", r.readFpResult).asInt();
        r.readResult = results.get("read", r.readResult).asInt();
        r.samIdResult = results.get("samId", r.samIdResult).asInt();
    }
    if (d.isMember("samId")) r.samId = d["samId"].asString();
    if (d.isMember("card")) {
        const Json::Value& card = d["card"];
        r.cardPresent = !card.isNull();
        // A card names only the fields that differ from the default card.
        for (const std::string& field : card.getMemberNames()) r.card[field] = card[field].asString();
    }
    if (d.isMember("textBlockHex")) {
        const std::string hex = d["textBlockHex"].asString();
        std::vector<unsigned char> bytes;
        for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
            bytes.push_back(static_cast<unsigned char>(std::strtoul(hex.substr(i, 2).c_str(), nullptr, 16)));
        }
        r.rawTextBlock = bytes;
    }
    if (d.isMember("photoBase64")) copyInto(r.photo, sizeof r.photo, base64Decode(d["photoBase64"].asString()));
    if (d.isMember("fingerprintBase64")) {
        copyInto(r.fingerprint, sizeof r.fingerprint, base64Decode(d["fingerprintBase64"].asString()));
    }
    if (d.isMember("latencyMs")) r.latencyMs = d["latencyMs"].asInt();
}

bool parse(const std::string& text, Json::Value& out, std::string& errors) {
    Json::CharReaderBuilder builder;
    std::istringstream stream(text);
    return Json::parseFromStream(builder, stream, &out, &errors);
}

// Applies the description in `path`; false when it cannot be read or a
// member has the wrong type.
bool applyFile(Reader& r, const char* path, std::string& errors) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream content;
    content << file.rdbuf();
    Json::Value own;
    if (!file || !parse(content.str(), own, errors) || !own.isObject()) return false;
    try {
        apply(r, own);
        return true;
    } catch (const std::exception& e) {
        errors = e.what();
        return false;
    }
}

Reader load() {
    Reader r;
    Json::Value description;
    std::string errors;
    if (parse(ivelDefaultReaderDescription, description, errors)) apply(r, description);
    if (const char* path = std::getenv("IVELCARD_VIRTUAL_READER"); path != nullptr && *path != 0) {
        if (!applyFile(r, path, errors)) {
            // A description that cannot be read must not pass for a working
            // reader: answer as if none were attached.
            std::fprintf(stderr, "virtual reader: cannot read description %s %s\n", path, errors.c_str());
            r = Reader{};
            r.ports.clear();
            r.cardPresent = false;
        }
    }
    if (r.rawTextBlock) copyInto(r.textBlock, sizeof r.textBlock, *r.rawTextBlock);
    else buildTextBlock(r.card, r.textBlock);
    if (const char* log = std::getenv("IVELCARD_VIRTUAL_READER_LOG")) r.logPath = log;
    return r;
}

Reader& reader() {
    static Reader instance = load();
    return instance;
}

// Logs the call and waits the configured latency.
template <class... Ints>
Reader& call(const char* name, Ints... arguments) {
    Reader& r = reader();
    if (!r.logPath.empty()) {
        if (std::FILE* log = std::fopen(r.logPath.c_str(), "a")) {
            std::fputs(name, log);
            ((std::fprintf(log, " %d", arguments)), ...);
            std::fputc('\n', log);
            std::fclose(log);
        }
    }
    if (r.latencyMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(r.latencyMs));
    return r;
}

void setLength(std::uint32_t* length, std::uint32_t value) {
    if (length != nullptr) *length = value;
}

}  // namespace

// Exported under their plain names (sdtapi.def on Windows), with the
// reader entry points' calling convention.
#if defined(_WIN32)
#define SDT_EXPORT extern "C"
#else
#define SDT_EXPORT extern "C" __attribute__((visibility("default")))
#endif

SDT_EXPORT int READER_API SDT_OpenPort(int port) {
    call("SDT_OpenPort", port);
    return reader::kStatusSuccess;
}

SDT_EXPORT int READER_API SDT_ClosePort(int port) { return call("SDT_ClosePort", port).closeResult; }

SDT_EXPORT int READER_API SDT_StartFindIDCard(int port, unsigned char*, int flag) {
    const Reader& r = call("SDT_StartFindIDCard", port, flag);
    return r.cardPresent ? r.findResult : kNoCardFind;
}

SDT_EXPORT int READER_API SDT_SelectIDCard(int port, unsigned char*, int flag) {
    const Reader& r = call("SDT_SelectIDCard", port, flag);
    return r.cardPresent ? r.selectResult : kNoCardSelect;
}

SDT_EXPORT int READER_API SDT_ReadBaseMsg(int port, unsigned char* text, std::uint32_t* textLength, unsigned char* photo,
                               std::uint32_t* photoLength, int flag) {
    const Reader& r = call("SDT_ReadBaseMsg", port, flag);
    if (!r.cardPresent) return kNoCardRead;
    if (r.readResult == reader::kStatusSuccess) {
        std::memcpy(text, r.textBlock, sizeof r.textBlock);
        std::memcpy(photo, r.photo, sizeof r.photo);
        setLength(textLength, sizeof r.textBlock);
        setLength(photoLength, sizeof r.photo);
    }
    return r.readResult;
}

SDT_EXPORT int READER_API SDT_ReadBaseFPMsg(int port, unsigned char* text, std::uint32_t* textLength, unsigned char* photo,
                                 std::uint32_t* photoLength, unsigned char* fingerprint,
                                 std::uint32_t* fingerprintLength, int flag) {
    const Reader& r = call("SDT_ReadBaseFPMsg", port, flag);
    if (!r.cardPresent) return kNoCardRead;
    if (r.readFpResult == reader::kStatusSuccess) {
        std::memcpy(text, r.textBlock, sizeof r.textBlock);
        std::memcpy(photo, r.photo, sizeof r.photo);
        std::memcpy(fingerprint, r.fingerprint, sizeof r.fingerprint);
        setLength(textLength, sizeof r.textBlock);
        setLength(photoLength, sizeof r.photo);
        setLength(fingerprintLength, sizeof r.fingerprint);
    }
    return r.readFpResult;
}

#ifndef VIRTUAL_READER_WITHOUT_READNEWAPPMSG
SDT_EXPORT int READER_API SDT_ReadNewAppMsg(int port, unsigned char*, std::uint32_t* length, int flag) {
    call("SDT_ReadNewAppMsg", port, flag);
    setLength(length, 0);
    return reader::kStatusSuccess;
}
#endif

SDT_EXPORT int READER_API SDT_GetSAMStatus(int port, int flag) {
    Reader& r = call("SDT_GetSAMStatus", port, flag);
    const auto found = r.ports.find(port);
    if (found == r.ports.end()) return kPortNotListed;
    std::vector<int>& answers = found->second;
    const int answer = answers.front();
    if (answers.size() > 1) answers.erase(answers.begin());
    return answer;
}

SDT_EXPORT int READER_API SDT_GetSAMID(int port, unsigned char*, int flag) {
    call("SDT_GetSAMID", port, flag);
    return reader::kStatusSuccess;
}

SDT_EXPORT int READER_API SDT_GetSAMIDToStr(int port, char* buffer, int flag) {
    const Reader& r = call("SDT_GetSAMIDToStr", port, flag);
    if (buffer != nullptr) {
        const std::size_t n = r.samId.size() < reader::kSamIdBufferSize - 1 ? r.samId.size()
                                                                           : reader::kSamIdBufferSize - 1;
        std::memcpy(buffer, r.samId.data(), n);
        buffer[n] = 0;
    }
    return r.samIdResult;
}

SDT_EXPORT int READER_API SDT_SetMaxRFByte(int port, int maxBytes, int flag) {
    call("SDT_SetMaxRFByte", port, maxBytes, flag);
    return reader::kStatusSuccess;
}

// The exported entries must match what the control binds.
static_assert(std::is_same_v<decltype(&SDT_ClosePort), reader::SdtClosePortFn>);
static_assert(std::is_same_v<decltype(&SDT_StartFindIDCard), reader::SdtStartFindIdCardFn>);
static_assert(std::is_same_v<decltype(&SDT_SelectIDCard), reader::SdtSelectIdCardFn>);
static_assert(std::is_same_v<decltype(&SDT_ReadBaseMsg), reader::SdtReadBaseMsgFn>);
static_assert(std::is_same_v<decltype(&SDT_ReadBaseFPMsg), reader::SdtReadBaseFpMsgFn>);
static_assert(std::is_same_v<decltype(&SDT_GetSAMStatus), reader::SdtGetSamStatusFn>);
static_assert(std::is_same_v<decltype(&SDT_GetSAMIDToStr), reader::SdtGetSamIdToStrFn>);
static_assert(std::is_same_v<decltype(&SDT_SetMaxRFByte), reader::SdtSetMaxRfByteFn>);
