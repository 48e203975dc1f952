#include "FakeReader.h"

#include <cstring>

#include "platform/Exceptions.h"

namespace fakereader {
namespace {

template <class... Ints>
void record(const char* name, Ints... args) {
    // Appended piece by piece: `" " + std::to_string(...)` makes GCC 12 at -O3
    // report a false -Wrestrict overlap inside the string insertion.
    std::string line = name;
    ((line += ' ', line += std::to_string(args)), ...);
    calls().push_back(line);
    if (script().throwOnCall) throw platform::CException();
}

int READER_API getSamStatus(int port, int flag) {
    record("SDT_GetSAMStatus", port, flag);
    auto found = script().statusByPort.find(port);
    if (found == script().statusByPort.end() || found->second.empty()) return script().defaultStatus;
    const int answer = found->second.front();
    if (found->second.size() > 1) found->second.erase(found->second.begin());
    return answer;
}

int READER_API setMaxRfByte(int port, int bytes, int flag) {
    record("SDT_SetMaxRFByte", port, bytes, flag);
    return 144;
}

int READER_API closePort(int port) {
    record("SDT_ClosePort", port);
    return script().closeResult;
}

int READER_API getSamIdToStr(int port, char* buffer, int flag) {
    record("SDT_GetSAMIDToStr", port, flag);
    std::memcpy(buffer, script().samIdText.data(), script().samIdText.size());
    return script().samIdResult;
}

int READER_API startFind(int port, unsigned char*, int flag) {
    record("SDT_StartFindIDCard", port, flag);
    return script().findResult;
}

int READER_API selectCard(int port, unsigned char*, int flag) {
    record("SDT_SelectIDCard", port, flag);
    return script().selectResult;
}

void deliver(unsigned char* text, std::uint32_t* textLength, unsigned char* photo, std::uint32_t* photoLength) {
    std::memcpy(text, script().textBlock, sizeof script().textBlock);
    std::memcpy(photo, script().photo, sizeof script().photo);
    *textLength = sizeof script().textBlock;
    *photoLength = sizeof script().photo;
}

int READER_API readBaseFp(int port, unsigned char* text, std::uint32_t* textLength, unsigned char* photo,
               std::uint32_t* photoLength, unsigned char*, std::uint32_t* fingerprintLength, int flag) {
    record("SDT_ReadBaseFPMsg", port, flag);
    if (script().readFpResult == 144) {
        deliver(text, textLength, photo, photoLength);
        *fingerprintLength = 1024;
    }
    return script().readFpResult;
}

int READER_API readBase(int port, unsigned char* text, std::uint32_t* textLength, unsigned char* photo,
             std::uint32_t* photoLength, int flag) {
    record("SDT_ReadBaseMsg", port, flag);
    if (script().readResult == 144) deliver(text, textLength, photo, photoLength);
    return script().readResult;
}

}  // namespace

Script& script() {
    static Script instance;
    return instance;
}

std::vector<std::string>& calls() {
    static std::vector<std::string> instance;
    return instance;
}

void install() {
    script() = Script{};
    calls().clear();
    reader::ReaderLibrary& library = reader::readerLibrary();
    library = reader::ReaderLibrary{};
    library.SDT_GetSAMStatus = getSamStatus;
    library.SDT_SetMaxRFByte = setMaxRfByte;
    library.SDT_ClosePort = closePort;
    library.SDT_GetSAMIDToStr = getSamIdToStr;
    library.SDT_StartFindIDCard = startFind;
    library.SDT_SelectIDCard = selectCard;
    library.SDT_ReadBaseFPMsg = readBaseFp;
    library.SDT_ReadBaseMsg = readBase;
    library.librariesReady = true;
}

}  // namespace fakereader
