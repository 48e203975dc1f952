// ivelcard: the command-line host of the control module.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/CodePage.h"
#include "tools/ivelcard/ControlHost.h"

namespace {

constexpr int kHostFailure = 2;
constexpr int kUsageError = 64;

constexpr const char* kUsage =
    "usage: ivelcard [--module PATH] COMMAND\n"
    "\n"
    "Commands:\n"
    "  call OP [OP...]   create one control and call the named members in this\n"
    "                    order (connect, disconnect, getStatus, getSAMID,\n"
    "                    readCert, AboutBox); each returned document is printed\n"
    "                    as UTF-8\n"
    "  --help            show this text\n"
    "\n"
    "The module is PATH, else $IVELCARD_MODULE, else libivelcard.so beside this\n"
    "program. A document whose resultFlag reports a failure is a normal answer;\n"
    "the exit status is non-zero only when the host itself fails (module not\n"
    "found, unknown member).\n"
    "\n"
    "The virtual reader reads its description from $IVELCARD_VIRTUAL_READER and\n"
    "logs its calls to $IVELCARD_VIRTUAL_READER_LOG when set.\n";

int fail(const std::string& message) {
    std::fprintf(stderr, "ivelcard: %s\n", message.c_str());
    return kHostFailure;
}

int callMembers(const std::string& modulePath, const std::vector<std::string>& names) {
    host::ControlHost control;
    std::string error;
    if (!control.open(modulePath, error)) return fail(error);
    std::vector<platform::DISPID> ids;
    for (const std::string& name : names) {
        const auto id = control.memberId(name);
        if (!id) return fail("the control has no member '" + name + "'");
        ids.push_back(*id);
    }
    for (const platform::DISPID id : ids) {
        std::u16string result;
        if (!control.call(id, result, error)) return fail(error);
        const std::string text = platform::utf16ToUtf8(result);
        std::fwrite(text.data(), 1, text.size(), stdout);
    }
    return std::fflush(stdout) == 0 ? 0 : fail("cannot write the output");
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    std::string modulePath;
    if (args.size() >= 2 && args[0] == "--module") {
        modulePath = args[1];
        args.erase(args.begin(), args.begin() + 2);
    }
    if (args.empty()) {
        std::fputs(kUsage, stderr);
        return kUsageError;
    }
    if (args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (modulePath.empty()) modulePath = host::defaultModulePath();
    if (args[0] == "call") {
        if (args.size() < 2) {
            std::fputs(kUsage, stderr);
            return kUsageError;
        }
        return callMembers(modulePath, std::vector<std::string>(args.begin() + 1, args.end()));
    }
    std::fprintf(stderr, "ivelcard: unknown command '%s'\n\n%s", args[0].c_str(), kUsage);
    return kUsageError;
}
