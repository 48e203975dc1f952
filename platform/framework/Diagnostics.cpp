// Problems of the environment, said once per process on standard error.
#include <cstdio>
#include <mutex>
#include <set>
#include <string>

#include "platform/System.h"

namespace platform {

void reportProblem(const std::string& line) {
    static std::mutex lock;
    static std::set<std::string> reported;
    const std::lock_guard guard(lock);
    if (reported.insert(line).second) std::fprintf(stderr, "ivelcard: %s\n", line.c_str());
}

}  // namespace platform
