// Fuzz target: the virtual reader's description parser over arbitrary text.
//
// The first input byte chooses how the rest becomes a description: even, the
// bytes themselves; odd, the bytes drive a small generator of JSON objects
// whose members are mostly the description's own (and a few unknown ones)
// with values of every type, so that the member checks are reached as often
// as the JSON parser. Whatever the text, the parser must return normally; a
// refused description leaves the reader as it was and says why in one line;
// an accepted one keeps the reader's promises. A broken promise aborts.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "readerlibs/sdtapi/ReaderDescription.h"

namespace {

using virtualreader::Reader;

void fail(const char* what, const std::string& detail = "") {
    std::fprintf(stderr, "reader description fuzz: %s %s\n", what, detail.c_str());
    std::abort();
}

class Bytes {
public:
    Bytes(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    unsigned next() { return at_ < size_ ? data_[at_++] : 0; }
    bool empty() const { return at_ >= size_; }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

constexpr const char* kKeys[] = {
    "ports", "results", "samId", "card", "textBlockHex", "photoBase64", "fingerprintBase64", "latencyMs",
    "portz", "1001", "close", "find", "select", "readFP", "read", "name", "gender", "nation", "birthDate",
    "address", "number", "authority", "validFrom", "validTo", "",
};
constexpr const char* kTexts[] = {
    "", "1", "赵明远", "AAAA", "41004200", "0g", "=", "\\u0000", "\\ud800", "中中中中中中中中中中中中中中中中",
    "SVZQVPkD", "0123456789012345678901234567890123456789", "\\\"", "99999999999",
};

void value(Bytes& in, std::string& out, int depth);

void object(Bytes& in, std::string& out, int depth) {
    out += '{';
    const unsigned members = in.next() % 5;
    for (unsigned m = 0; m < members; ++m) {
        if (m > 0) out += ',';
        out += '"';
        out += kKeys[in.next() % std::size(kKeys)];
        out += "\":";
        value(in, out, depth + 1);
    }
    out += '}';
}

void value(Bytes& in, std::string& out, int depth) {
    switch (depth > 6 ? in.next() % 5 : in.next() % 8) {
    case 0: out += std::to_string(static_cast<int>(in.next()) - 20 + 144 * static_cast<int>(in.next() % 3)); break;
    case 1: out += '"' + std::string(kTexts[in.next() % std::size(kTexts)]) + '"'; break;
    case 2: out += "null"; break;
    case 3: out += in.next() % 2 ? "true" : "-1.5e3"; break;
    case 4: out += '"' + std::string(in.next() % 600, 'A') + '"'; break;
    case 5:
    case 6: object(in, out, depth); break;
    default: {
        out += '[';
        const unsigned items = in.next() % 4;
        for (unsigned k = 0; k < items; ++k) {
            if (k > 0) out += ',';
            value(in, out, depth + 1);
        }
        out += ']';
    }
    }
}

bool sameReader(const Reader& a, const Reader& b) {
    bool same = a.ports == b.ports && a.closeResult == b.closeResult && a.findResult == b.findResult &&
                a.selectResult == b.selectResult && a.readFpResult == b.readFpResult &&
                a.readResult == b.readResult && a.samIdResult == b.samIdResult && a.samId == b.samId &&
                a.cardPresent == b.cardPresent && a.cardType == b.cardType && a.card == b.card &&
                a.rawTextBlock == b.rawTextBlock && a.latencyMs == b.latencyMs &&
                std::memcmp(a.photo, b.photo, sizeof a.photo) == 0 &&
                std::memcmp(a.fingerprint, b.fingerprint, sizeof a.fingerprint) == 0;
    return same;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    std::string text;
    if (data[0] % 2 == 0) {
        text.assign(reinterpret_cast<const char*>(data + 1), size - 1);
    } else {
        Bytes in(data + 1, size - 1);
        object(in, text, 0);
    }

    Reader reader;
    reader.samId = "before";
    reader.ports[1001] = {144};
    const Reader before = reader;
    std::string problem;
    const bool accepted = virtualreader::applyDescription(reader, text, problem);
    if (!accepted) {
        if (problem.empty()) fail("a refused description without a reason:", text);
        if (problem.find('\n') != std::string::npos) fail("a reason of more than one line:", problem);
        if (!sameReader(reader, before)) fail("a refused description changed the reader:", text);
        return 0;
    }
    if (!problem.empty()) fail("an accepted description with a reason:", problem);
    for (const auto& [port, answers] : reader.ports) {
        if (answers.empty()) fail("a listed port without an answer:", text);
    }
    if (reader.latencyMs < 0 || reader.latencyMs > virtualreader::kLongestLatencyMs) fail("latency:", text);
    if (reader.samId.size() >= reader::kSamIdBufferSize) fail("a security module text too long:", text);
    if (reader.rawTextBlock && reader.rawTextBlock->size() > reader::kTextBlockSize) fail("text block:", text);
    virtualreader::buildTextBlock(reader);
    return 0;
}
