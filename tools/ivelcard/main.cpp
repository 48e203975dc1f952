// ivelcard: the command-line host of the control module.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "platform/CodePage.h"
#include "platform/DeviceContext.h"
#include "tools/ivelcard/ControlHost.h"

namespace {

using Args = std::vector<std::string>;

constexpr int kCommandFailed = 1;
constexpr int kHostFailure = 2;
constexpr int kUsageError = 64;

constexpr const char* kUsage =
    "usage: ivelcard [--module PATH] COMMAND\n"
    "\n"
    "Commands:\n"
    "  call OP [OP...]          create one control and call the named members in\n"
    "                           this order (connect, disconnect, getStatus,\n"
    "                           getSAMID, readCert, AboutBox); each returned\n"
    "                           document is printed as UTF-8\n"
    "  register [MODULE]        register the module (DllRegisterServer)\n"
    "  unregister               unregister the module (DllUnregisterServer)\n"
    "  about                    show the control's about box\n"
    "  draw WxH --out FILE.bmp  paint a control of that size into a bitmap file\n"
    "  --help                   show this text\n"
    "\n"
    "The module is PATH, else $IVELCARD_MODULE, else the module registered for\n"
    "IVELCARD.QVCtrl.1, else libivelcard.so beside this program. A document\n"
    "whose resultFlag reports a failure is a normal answer; the exit status is\n"
    "non-zero only when the host itself fails (module not found, unknown\n"
    "member: 2) or a command does (registration: 1).\n"
    "\n"
    "The virtual reader reads its description from $IVELCARD_VIRTUAL_READER and\n"
    "logs its calls to $IVELCARD_VIRTUAL_READER_LOG when set; the registry lives\n"
    "in $IVELCARD_REGISTRY_DIR, else $XDG_CONFIG_HOME/ivelcard, else\n"
    "~/.config/ivelcard.\n";

int fail(const std::string& message, int status = kHostFailure) {
    std::fprintf(stderr, "ivelcard: %s\n", message.c_str());
    return status;
}

int usage() {
    std::fputs(kUsage, stderr);
    return kUsageError;
}

int callMembers(const std::string& modulePath, const Args& names) {
    if (names.empty()) return usage();
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

// Runs DllRegisterServer or DllUnregisterServer of the module.
int updateRegistration(const std::string& modulePath, const char* entryName) {
    host::ControlHost module;
    std::string error;
    if (!module.load(modulePath, error)) return fail(error);
    auto entry = reinterpret_cast<platform::DllRegisterServerFn>(module.entry(entryName));
    if (entry == nullptr) return fail(modulePath + " has no " + entryName);
    const platform::HRESULT hr = entry();
    if (platform::FAILED(hr)) return fail(std::string(entryName) + " failed (" + host::hresultText(hr) + ")", kCommandFailed);
    std::fprintf(stderr, "ivelcard: %s %s\n", entryName, modulePath.c_str());
    return 0;
}

int draw(const std::string& modulePath, const Args& args) {
    int width = 0;
    int height = 0;
    char separator = 0;
    std::string out;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--out" && i + 1 < args.size()) out = args[++i];
        else if (std::sscanf(args[i].c_str(), "%d%c%d", &width, &separator, &height) != 3 || separator != 'x') return usage();
    }
    if (out.empty() || width <= 0 || height <= 0) return usage();
    host::ControlHost control;
    std::string error;
    if (!control.open(modulePath, error)) return fail(error);
    platform::IViewObject* view = nullptr;
    if (platform::FAILED(control.control()->QueryInterface(platform::IID_IViewObject, reinterpret_cast<void**>(&view)))) {
        return fail("the control cannot be drawn");
    }
    platform::CDC dc(width, height);
    const platform::RECTL bounds{0, 0, width, height};
    const platform::HRESULT hr =
        view->Draw(platform::DVASPECT_CONTENT, -1, nullptr, nullptr, nullptr, &dc, &bounds, nullptr, nullptr, 0);
    view->Release();
    if (platform::FAILED(hr)) return fail("drawing failed (" + host::hresultText(hr) + ")", kCommandFailed);
    std::ofstream file(out, std::ios::binary | std::ios::trunc);
    const std::string bmp = dc.toBmp();
    file.write(bmp.data(), static_cast<std::streamsize>(bmp.size()));
    return file ? 0 : fail("cannot write " + out, kCommandFailed);
}

}  // namespace

int main(int argc, char** argv) {
    Args args(argv + 1, argv + argc);
    std::string modulePath;
    if (args.size() >= 2 && args[0] == "--module") {
        modulePath = args[1];
        args.erase(args.begin(), args.begin() + 2);
    }
    if (args.empty()) return usage();
    const std::string command = args[0];
    const Args rest(args.begin() + 1, args.end());
    if (command == "--help" || command == "-h" || command == "help") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (command == "register") {
        if (rest.size() > 1) return usage();
        if (!rest.empty()) modulePath = rest[0];
        return updateRegistration(modulePath.empty() ? host::defaultModulePath(false) : modulePath,
                                  "DllRegisterServer");
    }
    if (modulePath.empty()) modulePath = host::defaultModulePath();
    if (command == "call") return callMembers(modulePath, rest);
    if (command == "unregister") return rest.empty() ? updateRegistration(modulePath, "DllUnregisterServer") : usage();
    if (command == "about") return rest.empty() ? callMembers(modulePath, {"AboutBox"}) : usage();
    if (command == "draw") return draw(modulePath, rest);
    std::fprintf(stderr, "ivelcard: unknown command '%s'\n\n", command.c_str());
    return usage();
}
