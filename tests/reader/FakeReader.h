// An in-process fake of the reader access library: answers from a script and
// records every call as "name arg arg...", for tests of the code that drives
// the library through the ReaderLibrary table.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "reader/ReaderLibrary.h"

namespace fakereader {

struct Script {
    std::map<int, std::vector<int>> statusByPort;  // answers in turn; the last one repeats
    int defaultStatus = 1;
    int closeResult = 144;
    int samIdResult = 144;
    std::string samIdText = "0123-456";
    bool throwOnCall = false;  // every entry raises a framework failure
    int findResult = 159;
    int selectResult = 144;
    int readFpResult = 144;
    int readResult = 144;
    unsigned char textBlock[256] = {};  // what the reads deliver
    unsigned char photo[1024] = {};
};

Script& script();
std::vector<std::string>& calls();

// Resets the script and the call record, and installs the fake in the
// process's ReaderLibrary: ready, closed, port 0.
void install();

}  // namespace fakereader
