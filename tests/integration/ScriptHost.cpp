// A test host that drives the module through a script of steps in one
// process, for behaviour that spans several control creations:
//   new            create another control (earlier ones stay alive)
//   call:NAME      call a member on the newest control, print its document
//   repeat:N:NAME  call a member N times on the newest control, print the
//                  first document and then whether the others were the same
//   inode:FILE     print the inode of FILE in the work directory
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "platform/CodePage.h"
#include "host/ControlHost.h"

int main(int argc, char** argv) {
    if (argc < 2) return 64;
    const std::string module = argv[1];
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    const std::string workDirectory = std::string(runtime != nullptr ? runtime : "") + "/chinaidcard/";
    std::vector<std::unique_ptr<host::ControlHost>> controls;
    for (int i = 2; i < argc; ++i) {
        const std::string step = argv[i];
        std::string error;
        if (step == "new") {
            controls.push_back(std::make_unique<host::ControlHost>());
            if (!controls.back()->open(module, error)) {
                std::fprintf(stderr, "%s\n", error.c_str());
                return 2;
            }
        } else if (step.rfind("call:", 0) == 0 && !controls.empty()) {
            const auto id = controls.back()->memberId(step.substr(5));
            std::u16string result;
            if (!id || !controls.back()->call(*id, result, error)) return 2;
            std::fputs(platform::utf16ToUtf8(result).c_str(), stdout);
        } else if (step.rfind("repeat:", 0) == 0 && !controls.empty()) {
            const std::size_t colon = step.find(':', 7);
            if (colon == std::string::npos) return 64;
            const int times = std::atoi(step.substr(7, colon - 7).c_str());
            const auto id = controls.back()->memberId(step.substr(colon + 1));
            std::u16string first;
            int differing = 0;
            for (int n = 0; n < times; ++n) {
                std::u16string result;
                if (!id || !controls.back()->call(*id, result, error)) return 2;
                if (n == 0) first = result;
                else if (result != first) ++differing;
            }
            std::fputs(platform::utf16ToUtf8(first).c_str(), stdout);
            std::printf("%d calls, %d differing\n", times, differing);
        } else if (step.rfind("inode:", 0) == 0) {
            struct stat info {};
            const std::string path = workDirectory + step.substr(6);
            std::printf("inode %llu\n", ::stat(path.c_str(), &info) == 0
                                            ? static_cast<unsigned long long>(info.st_ino) : 0ULL);
        } else {
            return 64;
        }
    }
    return 0;
}
