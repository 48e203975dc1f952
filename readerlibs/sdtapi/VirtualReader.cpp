// The virtual reader: a stand-in for the reader access library that answers
// every entry from a reader description (JSON) instead of hardware.
//
// IVELCARD_VIRTUAL_READER names the description; without it the built-in
// default applies (one reader answering 144 on port 1001, a security module
// identifier and the sample card). Members missing from a description take
// the default's values (a card's fields one by one). A description that
// cannot be used (see ReaderDescription.h) is a reader that answers nothing,
// and one line on standard error names the file, the member and the problem.
// No entry ever throws. With IVELCARD_VIRTUAL_READER_LOG set, every call is
// appended to that file as one line: the entry's name and its integer
// arguments.
//
// A port's status may also be a list of answers given in turn, the last one
// repeating: [144, 1] is a reader that answers once and is then unplugged.
//
// When the description file changes (its size or modification time), the
// next call loads it again, so a card can be put on, taken off or swapped
// while a host is running.
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <type_traits>

#include "reader/ReaderApi.h"
#include "readerlibs/sdtapi/ReaderDescription.h"

extern "C" const char ivelDefaultReaderDescription[];

namespace {

using virtualreader::Reader;

struct LoadedReader {
    Reader reader;
    std::string logPath;
};

// The description file's text; false with `problem` set when it cannot be read.
bool readFile(const char* path, std::string& text, std::string& problem) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        problem = std::strerror(errno);
        return false;
    }
    std::ostringstream content;
    content << file.rdbuf();
    if (file.bad()) {
        problem = "cannot be read";
        return false;
    }
    text = content.str();
    return true;
}

// The default reader with the description named by IVELCARD_VIRTUAL_READER
// applied over it; no reader at all when that description cannot be used.
Reader load() {
    Reader r;
    std::string problem;
    if (!virtualreader::applyDescription(r, ivelDefaultReaderDescription, problem)) {
        std::fprintf(stderr, "virtual reader: the built-in description is broken: %s\n", problem.c_str());
        return Reader{};
    }
    if (const char* path = std::getenv("IVELCARD_VIRTUAL_READER"); path != nullptr && *path != 0) {
        std::string text;
        if (!readFile(path, text, problem) || !virtualreader::applyDescription(r, text, problem)) {
            // A description that cannot be used must not pass for a working
            // reader: answer as if none were attached.
            std::fprintf(stderr, "virtual reader: cannot read description %s: %s\n", path, problem.c_str());
            return Reader{};
        }
    }
    virtualreader::buildTextBlock(r);
    return r;
}

// What identifies the description file's content cheaply: whether it exists,
// its size and its modification time.
struct DescriptionStamp {
    bool exists = false;
    std::uintmax_t size = 0;
    std::filesystem::file_time_type modified{};
    bool operator==(const DescriptionStamp&) const = default;
};

DescriptionStamp descriptionStamp() {
    DescriptionStamp stamp;
    const char* path = std::getenv("IVELCARD_VIRTUAL_READER");
    if (path == nullptr || *path == 0) return stamp;
    std::error_code ec;
    stamp.size = std::filesystem::file_size(path, ec);
    if (ec) return stamp;
    stamp.modified = std::filesystem::last_write_time(path, ec);
    stamp.exists = !ec;
    return stamp;
}

LoadedReader loadSafely() noexcept {
    LoadedReader loaded;
    try {
        loaded.reader = load();
        if (const char* log = std::getenv("IVELCARD_VIRTUAL_READER_LOG")) loaded.logPath = log;
    } catch (...) {
        // Out of memory while loading: no reader (an empty reader allocates nothing).
        loaded.reader = Reader{};
        std::fputs("virtual reader: out of memory while loading the description\n", stderr);
    }
    return loaded;
}

// The reader, loaded again when its description file has changed since it
// was last loaded (a card put on, taken off or swapped while a host runs);
// checked once per call.
LoadedReader& loaded() {
    static DescriptionStamp stamp = descriptionStamp();
    static LoadedReader instance = loadSafely();
    if (const DescriptionStamp now = descriptionStamp(); !(now == stamp)) {
        stamp = now;
        instance = loadSafely();
    }
    return instance;
}

// Logs the call and waits the configured latency.
template <class... Ints>
Reader& call(const char* name, Ints... arguments) {
    LoadedReader& state = loaded();
    Reader& r = state.reader;
    if (!state.logPath.empty()) {
        // Binary: the same lines ('\n' alone) on every system.
        if (std::FILE* log = std::fopen(state.logPath.c_str(), "ab")) {
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
    return r.cardPresent ? r.findResult : virtualreader::kNoCardFind;
}

SDT_EXPORT int READER_API SDT_SelectIDCard(int port, unsigned char*, int flag) {
    const Reader& r = call("SDT_SelectIDCard", port, flag);
    return r.cardPresent ? r.selectResult : virtualreader::kNoCardSelect;
}

SDT_EXPORT int READER_API SDT_ReadBaseMsg(int port, unsigned char* text, std::uint32_t* textLength, unsigned char* photo,
                               std::uint32_t* photoLength, int flag) {
    const Reader& r = call("SDT_ReadBaseMsg", port, flag);
    if (!r.cardPresent) return virtualreader::kNoCardRead;
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
    if (!r.cardPresent) return virtualreader::kNoCardRead;
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
    if (found == r.ports.end()) return virtualreader::kPortNotListed;
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
