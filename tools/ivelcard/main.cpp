// ivelcard: the command-line host of the control module.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <json/json.h>

#include "cardface/Base64Decoder.h"
#include "platform/CodePage.h"
#include "platform/DeviceContext.h"
#include "platform/System.h"
#include "tools/ivelcard/ControlHost.h"
#ifdef IVELCARD_WITH_BRIDGE
#include "bridge/Serve.h"
#endif

namespace {

using Args = std::vector<std::string>;

// The program's answers; whatever the module prints goes to standard error.
std::FILE* answers = stdout;

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
    "  read [--out DIR]         connect, then read the card; print the readCert\n"
    "                           document, and with --out also write the\n"
    "                           portrait and both card faces as JPEG files\n"
    "                           (portrait.jpg, front.jpg, back.jpg) into DIR\n"
    "  face [--reader DESCRIPTION] --out DIR\n"
    "                           render both faces of the card on the virtual\n"
    "                           reader (described by DESCRIPTION) into DIR\n"
    "  register [MODULE]        register the module (DllRegisterServer)\n"
    "  unregister               unregister the module (DllUnregisterServer)\n"
    "  about                    show the control's about box\n"
    "  draw WxH --out FILE.bmp  paint a control of that size into a bitmap file\n"
    "  serve [--port N] [--allow-origin ORIGIN]...\n"
    "                           serve the control to allowed browser pages on\n"
    "                           127.0.0.1 and [::1] (ivelcard serve --help)\n"
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
        std::fwrite(text.data(), 1, text.size(), answers);
    }
    return std::fflush(answers) == 0 ? 0 : fail("cannot write the output");
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

struct ImageMember {
    const char* key;
    const char* fileName;
};
constexpr ImageMember kPortrait = {"identityPic", "portrait.jpg"};
constexpr ImageMember kFront = {"base64ID_PicFront", "front.jpg"};
constexpr ImageMember kBack = {"base64ID_PicBack", "back.jpg"};

// Connects and reads the card in one control; the readCert document as UTF-8.
bool readCard(const std::string& modulePath, std::string& document, std::string& error) {
    host::ControlHost control;
    if (!control.open(modulePath, error)) return false;
    const auto connect = control.memberId("connect");
    const auto readCert = control.memberId("readCert");
    if (!connect || !readCert) {
        error = "the control has no connect or readCert member";
        return false;
    }
    std::u16string result;
    if (!control.call(*connect, result, error)) return false;
    Json::Value answer;
    std::istringstream stream(platform::utf16ToUtf8(result));
    if (Json::parseFromStream(Json::CharReaderBuilder(), stream, &answer, nullptr) && answer["resultFlag"].asInt() != 0) {
        std::fprintf(stderr, "ivelcard: connect failed: %s\n", answer["errorMsg"].asString().c_str());
    }
    if (!control.call(*readCert, result, error)) return false;
    document = platform::utf16ToUtf8(result);
    return true;
}

// Writes the image members of a readCert document into `directory`; the
// number of images written.
int writeImages(const std::string& document, const std::string& directory, std::initializer_list<ImageMember> images) {
    Json::Value answer;
    std::istringstream stream(document);
    if (!Json::parseFromStream(Json::CharReaderBuilder(), stream, &answer, nullptr)) return 0;
    int written = 0;
    for (const ImageMember& image : images) {
        const std::string text = answer["resultContent"][image.key].asString();
        if (text.empty()) {
            std::fprintf(stderr, "ivelcard: the document has no %s\n", image.key);
            continue;
        }
        const std::string path = directory + "/" + image.fileName;
        const std::string bytes = cardface::base64Decode(text);
        std::ofstream file(path, std::ios::binary | std::ios::trunc);
        file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        if (!file) {
            std::fprintf(stderr, "ivelcard: cannot write %s\n", path.c_str());
            continue;
        }
        std::fprintf(stderr, "ivelcard: wrote %s\n", path.c_str());
        ++written;
    }
    return written;
}

// Parses "--out DIR" (and, when `reader` is given, "--reader DESCRIPTION").
bool parseOutput(const Args& args, std::string& out, std::string* reader) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--out" && i + 1 < args.size()) out = args[++i];
        else if (reader != nullptr && args[i] == "--reader" && i + 1 < args.size()) *reader = args[++i];
        else return false;
    }
    return true;
}

int read(const std::string& modulePath, const Args& args) {
    std::string out;
    if (!parseOutput(args, out, nullptr)) return usage();
    if (!out.empty() && !platform::makeSureDirectoryPathExists(out + "/")) return fail("cannot create " + out);
    std::string document;
    std::string error;
    if (!readCard(modulePath, document, error)) return fail(error);
    std::fwrite(document.data(), 1, document.size(), answers);
    if (std::fflush(answers) != 0) return fail("cannot write the output");
    if (!out.empty()) writeImages(document, out, {kPortrait, kFront, kBack});
    return 0;
}

int face(const std::string& modulePath, const Args& args) {
    std::string out;
    std::string reader;
    if (!parseOutput(args, out, &reader) || out.empty()) return usage();
    if (!reader.empty()) platform::setEnvironmentVariable("IVELCARD_VIRTUAL_READER", reader);
    if (!platform::makeSureDirectoryPathExists(out + "/")) return fail("cannot create " + out);
    std::string document;
    std::string error;
    if (!readCard(modulePath, document, error)) return fail(error);
    if (writeImages(document, out, {kFront, kBack}) != 2) return fail("the card faces were not rendered", kCommandFailed);
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
    constexpr int kLargestSide = 16384;
    if (out.empty() || width <= 0 || height <= 0 || width > kLargestSide || height > kLargestSide) return usage();
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
    answers = platform::reserveStandardOutput();
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
        std::fputs(kUsage, answers);
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
    if (command == "read") return read(modulePath, rest);
    if (command == "face") return face(modulePath, rest);
    if (command == "unregister") return rest.empty() ? updateRegistration(modulePath, "DllUnregisterServer") : usage();
    if (command == "about") return rest.empty() ? callMembers(modulePath, {"AboutBox"}) : usage();
    if (command == "draw") return draw(modulePath, rest);
#ifdef IVELCARD_WITH_BRIDGE
    if (command == "serve") return bridge::serve(modulePath, rest);
#endif
    std::fprintf(stderr, "ivelcard: unknown command '%s'\n\n", command.c_str());
    return usage();
}
