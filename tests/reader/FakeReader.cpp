#include "FakeReader.h"

#include <cstring>

#include "platform/Exceptions.h"

namespace fakereader {
namespace {

template <class... Ints>
void record(const char* name, Ints... args) {
    std::string line = name;
    ((line += " " + std::to_string(args)), ...);
    calls().push_back(line);
    if (script().throwOnCall) throw platform::CException();
}

int getSamStatus(int port, int flag) {
    record("SDT_GetSAMStatus", port, flag);
    auto found = script().statusByPort.find(port);
    if (found == script().statusByPort.end() || found->second.empty()) return script().defaultStatus;
    const int answer = found->second.front();
    if (found->second.size() > 1) found->second.erase(found->second.begin());
    return answer;
}

int setMaxRfByte(int port, int bytes, int flag) {
    record("SDT_SetMaxRFByte", port, bytes, flag);
    return 144;
}

int closePort(int port) {
    record("SDT_ClosePort", port);
    return script().closeResult;
}

int getSamIdToStr(int port, char* buffer, int flag) {
    record("SDT_GetSAMIDToStr", port, flag);
    std::memcpy(buffer, script().samIdText.data(), script().samIdText.size());
    return script().samIdResult;
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
    library.librariesReady = true;
}

}  // namespace fakereader
