// ivelcard: the command-line host of the control module.
//
// Every command is one row of kCommands: its name, its arguments, what it
// does, the options it takes and how many plain arguments. The help text and
// the argument checks come from that table, the exit statuses from
// kExitStatuses (ExitStatus.h). A bad argument is one line saying what was
// wrong, then the command's usage. Documents go to standard output exactly as
// the control returns them; everything the host says to a person goes to
// standard error.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <span>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <json/json.h>

#include "cardface/Base64Decoder.h"
#include "control/Identifiers.h"
#include "platform/CodePage.h"
#include "platform/DataDirectory.h"
#include "platform/HostSupport.h"
#include "platform/Registry.h"
#include "platform/System.h"
#include "tools/ivelcard/AllowOrigin.h"
#include "tools/ivelcard/CardSummary.h"
#include "host/ControlHost.h"
#include "tools/ivelcard/ExitStatus.h"

#ifndef IVELCARD_HOST_VERSION
#define IVELCARD_HOST_VERSION "unknown"
#endif
#ifdef IVELCARD_WITH_BRIDGE
#include "bridge/Serve.h"
#endif

namespace {

using namespace host;

// The program's answers; whatever the module prints goes to standard error.
std::FILE* answers = stdout;

// ------------------------------------------------------------------ the module

std::string versionText(const platform::FileVersion& version) {
    return std::to_string(version[0]) + "." + std::to_string(version[1]) + "." + std::to_string(version[2]) + "." +
           std::to_string(version[3]);
}

// "ivelcard 2.0.2.2" and "module PATH 2.0.2.2": what --version prints and
// `about` repeats after the about box.
std::string versionLines(const ModuleChoice& module) {
    const auto version = platform::moduleFileVersion(module.path);
    return std::string("ivelcard ") + IVELCARD_HOST_VERSION + "\nmodule " + module.path + " " +
           (version ? versionText(*version) : "(no version record)") + "\n";
}

// ------------------------------------------------------------- the commands

struct Option {
    const char* name;
    const char* value;  // what follows it, or null for a flag
};

struct Invocation {
    ModuleChoice module;
    std::string moduleOption;
    std::map<std::string, std::string> options;
    std::vector<std::string> plain;

    bool has(const char* name) const { return options.contains(name); }
    std::string option(const char* name) const {
        const auto found = options.find(name);
        return found == options.end() ? std::string() : found->second;
    }
};

struct Command {
    const char* name;
    const char* arguments;  // after the name, for the usage line
    const char* description;
    std::span<const Option> options;
    const char* plainName;  // what a plain argument is, for messages
    int leastPlain;
    int mostPlain;
    const char* requiredOption;  // or null
    int (*run)(const Command&, Invocation&);
};

constexpr const char* kCommandHint = "(ivelcard --help tells more)";

int badArgument(const Command& command, const std::string& what) {
    const std::string arguments = *command.arguments != 0 ? std::string(" ") + command.arguments : "";
    std::fprintf(stderr, "ivelcard: %s: %s\nusage: ivelcard [--module PATH] %s%s %s\n", command.name, what.c_str(),
                 command.name, arguments.c_str(), kCommandHint);
    return kExitUsage;
}

int fail(const std::string& message, int status) {
    std::fprintf(stderr, "ivelcard: %s\n", message.c_str());
    return status;
}

bool writeAnswer(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), answers);
    return std::fflush(answers) == 0;
}

// Shows "reading…" on standard error while a read takes longer than a
// moment, when standard error is a terminal; the line is cleared afterwards.
class ReadingNote {
public:
    ReadingNote() {
        if (!platform::isTerminal(stderr)) return;
        thread_ = std::thread([this] {
            std::unique_lock lock(mutex_);
            if (done_.wait_for(lock, kDelay, [this] { return finished_; })) return;
            std::fputs("reading…", stderr);
            std::fflush(stderr);
            shown_ = true;
        });
    }
    ~ReadingNote() {
        if (!thread_.joinable()) return;
        {
            std::lock_guard lock(mutex_);
            finished_ = true;
        }
        done_.notify_one();
        thread_.join();
        if (shown_) std::fputs("\r\033[K", stderr);
    }
    ReadingNote(const ReadingNote&) = delete;
    ReadingNote& operator=(const ReadingNote&) = delete;

private:
    static constexpr std::chrono::milliseconds kDelay{150};
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable done_;
    bool finished_ = false;
    bool shown_ = false;
};

int callMembers(const Command&, Invocation& call) {
    ControlHost control;
    std::string error;
    if (!control.open(call.module, error)) return fail(error, kExitNoModule);
    std::vector<platform::DISPID> ids;
    for (const std::string& name : call.plain) {
        const auto id = control.memberId(name);
        if (!id) return fail("the control has no member '" + name + "'", kExitNoModule);
        ids.push_back(*id);
    }
    for (const platform::DISPID id : ids) {
        std::u16string result;
        if (!control.call(id, result, error)) return fail(error, kExitNoModule);
        if (!writeAnswer(platform::utf16ToUtf8(result))) return fail("cannot write the output", kExitFailed);
    }
    return kExitDone;
}

// Connects and reads the card in one control; the readCert document as UTF-8.
bool readCard(const ModuleChoice& module, std::string& document, std::string& error) {
    ControlHost control;
    if (!control.open(module, error)) return false;
    const auto connect = control.memberId("connect");
    const auto readCert = control.memberId("readCert");
    if (!connect || !readCert) {
        error = "the control has no connect or readCert member";
        return false;
    }
    ReadingNote note;
    std::u16string result;
    if (!control.call(*connect, result, error)) return false;
    Json::Value answer;
    std::istringstream stream(platform::utf16ToUtf8(result));
    if (Json::parseFromStream(Json::CharReaderBuilder(), stream, &answer, nullptr) && answer.isObject() &&
        answer["resultFlag"].asInt() != 0) {
        std::fprintf(stderr, "ivelcard: connect failed: %s\n", answer["errorMsg"].asString().c_str());
    }
    const bool called = control.call(*readCert, result, error);
    // What the module printed comes before what the host says about it.
    std::fflush(stdout);
    if (!called) return false;
    document = platform::utf16ToUtf8(result);
    return true;
}

Json::Value parseDocument(const std::string& document) {
    Json::Value answer;
    std::istringstream stream(document);
    if (!Json::parseFromStream(Json::CharReaderBuilder(), stream, &answer, nullptr) || !answer.isObject()) {
        return Json::Value(Json::objectValue);
    }
    return answer;
}

// A text member of "resultContent", or the empty text.
std::string contentText(const Json::Value& answer, const char* key) {
    const Json::Value& content = answer["resultContent"];
    return content.isObject() && content[key].isString() ? content[key].asString() : std::string();
}

struct ImageMember {
    const char* key;
    const char* fileName;
};
constexpr ImageMember kPortrait = {"identityPic", "portrait.jpg"};
constexpr ImageMember kFront = {"base64ID_PicFront", "front.jpg"};
constexpr ImageMember kBack = {"base64ID_PicBack", "back.jpg"};

// The system font the card faces are drawn with, as the control finds it.
std::string systemFontPath() {
    const auto windows = platform::windowsDirectory();
    return windows ? *windows + "/Fonts/SIMHEI.TTF" : std::string();
}

// When a read succeeded without card faces, says why if the system font is
// the cause.
void explainMissingFaces(const Json::Value& answer) {
    if (answer["resultFlag"].asInt() != 0 || contentText(answer, kFront.key) != "") return;
    // Cards of the types "I" and "J" have faces; a type whose layout the
    // control does not know has none.
    const std::string cardType = contentText(answer, "cardType");
    const std::string font = systemFontPath();
    if (!cardType.empty() && cardType != "I" && cardType != "J") {
        std::fprintf(stderr, "ivelcard: the card faces are empty: there are none for a card of type \"%s\"\n",
                     cardType.c_str());
    } else if (font.empty()) {
        std::fputs("ivelcard: the card faces are empty: there is no Windows directory for the system font "
                   "(windir is not set and share/ivelcard/windows is not installed beside the module)\n",
                   stderr);
    } else if (!platform::fileExists(font)) {
        std::fprintf(stderr,
                     "ivelcard: the card faces are empty: the system font %s is missing (link a Chinese Hei "
                     "font there, e.g. Debian's fonts-wqy-zenhei, or set windir to a directory with "
                     "Fonts/SIMHEI.TTF)\n",
                     font.c_str());
    } else if (contentText(answer, kPortrait.key) != "") {
        std::fprintf(stderr, "ivelcard: the card faces are empty: the system font %s could not be used\n",
                     font.c_str());
    }
}

// Writes the image members of a readCert document into `directory`, each
// readable by its owner only. False when one of them is empty or cannot be
// written.
bool writeImages(const Json::Value& answer, const std::string& directory, std::initializer_list<ImageMember> images) {
    bool complete = true;
    for (const ImageMember& image : images) {
        const std::string path = directory + platform::kPathSeparator + image.fileName;
        const std::string text = contentText(answer, image.key);
        if (text.empty()) {
            std::fprintf(stderr, "ivelcard: %s not written: the document's %s is empty\n", path.c_str(), image.key);
            complete = false;
            continue;
        }
        std::string error;
        if (!platform::writePrivateFile(path, cardface::base64Decode(text), error)) {
            std::fprintf(stderr, "ivelcard: cannot write %s: %s\n", path.c_str(), error.c_str());
            complete = false;
            continue;
        }
        std::fprintf(stderr, "ivelcard: wrote %s\n", path.c_str());
    }
    return complete;
}

bool prepareDirectory(const std::string& directory) {
    return platform::makeSureDirectoryPathExists(directory + "/");
}

int read(const Command& command, Invocation& call) {
    if (call.has("--summary") && call.has("--document")) {
        return badArgument(command, "--summary and --document exclude each other");
    }
    const std::string out = call.option("--out");
    if (call.has("--out") && !prepareDirectory(out)) return fail("cannot create " + out, kExitFailed);
    const bool summary = call.has("--summary") || (platform::isTerminal(answers) && !call.has("--document"));
    std::string document;
    std::string error;
    if (!readCard(call.module, document, error)) return fail(error, kExitNoModule);
    const Json::Value answer = parseDocument(document);
    if (!writeAnswer(summary ? summariseReadCert(answer, IVELCARD_VIRTUAL_READER_EMBEDDED != 0) : document)) {
        return fail("cannot write the output", kExitFailed);
    }
    explainMissingFaces(answer);
    if (call.has("--out") && !writeImages(answer, out, {kPortrait, kFront, kBack})) return kExitFailed;
    return kExitDone;
}

int face(const Command&, Invocation& call) {
    const std::string out = call.option("--out");
    if (call.has("--reader")) platform::setEnvironmentVariable("IVELCARD_VIRTUAL_READER", call.option("--reader"));
    if (!prepareDirectory(out)) return fail("cannot create " + out, kExitFailed);
    std::string document;
    std::string error;
    if (!readCard(call.module, document, error)) return fail(error, kExitNoModule);
    const Json::Value answer = parseDocument(document);
    if (answer["resultFlag"].asInt() != 0) {
        std::fprintf(stderr, "ivelcard: the card was not read: %s\n", answer["errorMsg"].asString().c_str());
    }
    explainMissingFaces(answer);
    return writeImages(answer, out, {kFront, kBack}) ? kExitDone : kExitFailed;
}

// The control's records in the registry store, for removing them without the
// module: its class, its property page's class, its ProgID, its type library.
std::vector<std::string> ownRegistryKeys() {
    return {"CLSID\\" + platform::guidToString(control::CLSID_Ivelcard),
            "CLSID\\" + platform::guidToString(control::CLSID_IvelcardPropPage), control::kControlProgId,
            "TypeLib\\" + platform::guidToString(control::LIBID_IvelcardLib)};
}

// Runs DllRegisterServer or DllUnregisterServer of the module.
int updateRegistration(const ModuleChoice& module, const char* entryName) {
    ControlHost loaded;
    std::string error;
    if (!loaded.load(module.path, error)) return fail(cannotLoad(module), kExitNoModule);
    auto entry = reinterpret_cast<platform::DllRegisterServerFn>(loaded.entry(entryName));
    if (entry == nullptr) return fail(module.path + " has no " + entryName, kExitNoModule);
    const platform::HRESULT hr = entry();
    if (FAILED(hr)) {
        host::reportRegistryProblem();
        return fail(std::string(entryName) + " failed (" + hresultText(hr) + ")", kExitFailed);
    }
    std::fprintf(stderr, "ivelcard: %s %s\n", entryName, module.path.c_str());
    return kExitDone;
}

int registerModule(const Command&, Invocation& call) {
    const std::string path = call.plain.empty() ? call.moduleOption : call.plain[0];
    return updateRegistration(chooseModule(path, false), "DllRegisterServer");
}

// Unregisters through the module; when no module can be loaded, removes the
// control's own records from the store itself.
int unregisterModule(const Command&, Invocation& call) {
    ControlHost probe;
    std::string error;
    if (probe.load(call.module.path, error)) return updateRegistration(call.module, "DllUnregisterServer");
    std::fprintf(stderr, "ivelcard: %s; removing the control's records from the registry without it\n",
                 cannotLoad(call.module).c_str());
    bool found = false;
    bool removed = true;
    for (const std::string& key : ownRegistryKeys()) {
        if (!platform::regKeyExists(key)) continue;
        found = true;
        removed = platform::regDeleteTree(key) && removed;
    }
    if (!found) return fail("nothing of the control is registered", kExitFailed);
    if (!removed) return fail("the registry store refused to remove the control's records", kExitFailed);
    std::fputs("ivelcard: removed the control's records from the registry\n", stderr);
    return kExitDone;
}

int about(const Command& command, Invocation& call) {
    call.plain = {"AboutBox"};
    const int status = callMembers(command, call);
    if (status == kExitDone) std::fputs(versionLines(call.module).c_str(), stderr);
    return status;
}

int draw(const Command& command, Invocation& call) {
    int width = 0;
    int height = 0;
    char separator = 0;
    char rest = 0;
    constexpr int kLargestSide = 16384;
    const std::string& size = call.plain[0];
    if (std::sscanf(size.c_str(), "%d%c%d%c", &width, &separator, &height, &rest) != 3 || separator != 'x' ||
        width <= 0 || height <= 0 || width > kLargestSide || height > kLargestSide) {
        return badArgument(command, "'" + size + "' is not a size WxH with sides from 1 to 16384");
    }
    ControlHost control;
    std::string error;
    if (!control.open(call.module, error)) return fail(error, kExitNoModule);
    platform::IViewObject* view = nullptr;
    if (FAILED(control.control()->QueryInterface(platform::IID_IViewObject, reinterpret_cast<void**>(&view)))) {
        return fail("the control cannot be drawn", kExitNoModule);
    }
    std::string bmp;
    const platform::HRESULT hr = drawView(view, width, height, bmp);
    view->Release();
    if (FAILED(hr)) return fail("drawing failed (" + hresultText(hr) + ")", kExitFailed);
    const std::string out = call.option("--out");
    std::ofstream file(out, std::ios::binary | std::ios::trunc);
    file.write(bmp.data(), static_cast<std::streamsize>(bmp.size()));
    return file ? kExitDone : fail("cannot write " + out, kExitFailed);
}

int allowOriginCommand(const Command&, Invocation& call) {
    return allowOrigin({call.has("--browser-policies"), call.has("--remove"), call.has("--all"), call.plain});
}

constexpr Option kReadOptions[] = {{"--out", "DIR"}, {"--summary", nullptr}, {"--document", nullptr}};
constexpr Option kFaceOptions[] = {{"--reader", "DESCRIPTION"}, {"--out", "DIR"}};
constexpr Option kDrawOptions[] = {{"--out", "FILE.bmp"}};
constexpr Option kAllowOriginOptions[] = {{"--browser-policies", nullptr}, {"--remove", nullptr}, {"--all", nullptr}};

constexpr Command kCommands[] = {
    {"call", "OP [OP...]",
     "create one control and call the named members in this order (connect,\n"
     "disconnect, getStatus, getSAMID, readCert, AboutBox); each returned\n"
     "document is printed as UTF-8",
     {}, "member name", 1, 1 << 20, nullptr, callMembers},
    {"read", "[--out DIR] [--summary | --document]",
     "connect, then read the card. Prints the readCert document unchanged when\n"
     "standard output is no terminal; on a terminal, or with --summary, the\n"
     "holder's fields and the picture sizes (--document forces the document).\n"
     "With --out also writes portrait.jpg, front.jpg and back.jpg into DIR\n"
     "(mode 0600; a new DIR gets 0700) and fails when one of them is empty",
     kReadOptions, "argument", 0, 0, nullptr, read},
    {"face", "[--reader DESCRIPTION] --out DIR",
     "render both faces of the card on the virtual reader (described by\n"
     "DESCRIPTION) into DIR as front.jpg and back.jpg",
     kFaceOptions, "argument", 0, 0, "--out", face},
    {"register", "[MODULE]", "register the module (DllRegisterServer)", {}, "module path", 0, 1, nullptr,
     registerModule},
    {"unregister", "",
     "unregister the module (DllUnregisterServer); without a loadable module,\n"
     "remove the control's records from the registry directly",
     {}, "argument", 0, 0, nullptr, unregisterModule},
    {"about", "", "show the control's about box and the versions", {}, "argument", 0, 0, nullptr, about},
    {"allow-origin", "[--browser-policies] [--remove] ORIGIN... | --remove --all",
     "allow pages of ORIGIN on this machine (the machine-wide bridge.json; needs\n"
     "root or an administrator). --browser-policies also writes the managed\n"
     "policies of Chromium, Chrome and Edge that let such a page reach the bridge\n"
     "without asking (for an http page also treating it as secure). --remove\n"
     "takes origins away again, with what this command wrote for the browsers;\n"
     "--remove --all takes away every origin and every policy entry it wrote",
     kAllowOriginOptions, "origin", 0, 1 << 20, nullptr, allowOriginCommand},
    {"draw", "WxH --out FILE.bmp", "paint a control of that size into a bitmap file", kDrawOptions, "size", 1, 1,
     "--out", draw},
};

std::string commandNames() {
    std::string names;
    for (const Command& command : kCommands) names += (names.empty() ? "" : ", ") + std::string(command.name);
    return names;
}

std::string helpText() {
    std::string text =
        "usage: ivelcard [--module PATH] COMMAND [ARGUMENTS]\n"
        "       ivelcard --version | --help\n\nCommands:\n";
    for (const Command& command : kCommands) {
        text += "  " + std::string(command.name) + " " + command.arguments + "\n";
        std::istringstream lines(command.description);
        for (std::string line; std::getline(lines, line);) text += "      " + line + "\n";
    }
#ifdef IVELCARD_WITH_BRIDGE
    text += bridge::kServeUsage;
#endif
    text +=
        "  --version\n"
        "      the host's version and the module's version record\n"
        "\n"
        "The module is PATH, else $IVELCARD_MODULE, else the module registered for\n"
        "IVELCARD.QVCtrl.1 (when that file is gone: the one beside this program),\n"
        "else " +
        std::string(kModuleFileName) +
        " beside this program.\n"
        "\n"
        "Exit status:\n";
    for (const ExitStatusRow& row : kExitStatuses) {
        char number[8];
        std::snprintf(number, sizeof number, "%4d", static_cast<int>(row.status));
        text += std::string("  ") + number + "  " + row.meaning + "\n";
    }
    text +=
        "\n"
        "The virtual reader reads its description from $IVELCARD_VIRTUAL_READER and\n"
        "logs its calls to $IVELCARD_VIRTUAL_READER_LOG when set;" +
        std::string(kRegistryHelp);
    return text;
}

int generalUsage(const std::string& what) {
    std::fprintf(stderr,
                 "ivelcard: %s\nusage: ivelcard [--module PATH] COMMAND [ARGUMENTS], COMMAND one of %s %s\n",
                 what.c_str(), commandNames().c_str(), kCommandHint);
    return kExitUsage;
}

// Sorts the arguments after the command into options and plain arguments,
// checking them against the command's row.
int parseArguments(const Command& command, const std::vector<std::string>& args, Invocation& call) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg.size() < 2 || arg.rfind("--", 0) != 0) {
            call.plain.push_back(arg);
            continue;
        }
        const Option* option = nullptr;
        for (const Option& candidate : command.options) {
            if (arg == candidate.name) option = &candidate;
        }
        if (option == nullptr) return badArgument(command, "unknown option '" + arg + "'");
        if (option->value == nullptr) {
            call.options[arg];
        } else if (i + 1 >= args.size() || args[i + 1].empty()) {
            return badArgument(command, arg + " needs " + option->value);
        } else {
            call.options[arg] = args[++i];
        }
    }
    const auto count = static_cast<int>(call.plain.size());
    if (count < command.leastPlain) return badArgument(command, std::string("missing ") + command.plainName);
    if (count > command.mostPlain) {
        return badArgument(command, "unexpected " + std::string(command.plainName) + " '" +
                                        call.plain[static_cast<std::size_t>(command.mostPlain)] + "'");
    }
    if (command.requiredOption != nullptr && !call.has(command.requiredOption)) {
        for (const Option& option : command.options) {
            if (std::strcmp(option.name, command.requiredOption) == 0) {
                return badArgument(command, std::string("missing ") + option.name + " " + option.value);
            }
        }
    }
    return kExitDone;
}

}  // namespace

int main(int argc, char** argv) {
    answers = platform::reserveStandardOutput();
    std::vector<std::string> args(argv + 1, argv + argc);
    std::string moduleOption;
    while (!args.empty() && args[0] == "--module") {
        if (args.size() < 2 || args[1].empty()) return generalUsage("--module needs PATH");
        moduleOption = args[1];
        args.erase(args.begin(), args.begin() + 2);
    }
    if (args.empty()) return generalUsage("no command given");
    const std::string name = args[0];
    if (name == "--help" || name == "-h" || name == "help") {
        return writeAnswer(helpText()) ? kExitDone : kExitFailed;
    }
    if (name == "--version") {
        const ModuleChoice module = chooseModule(moduleOption);
        if (!writeAnswer(versionLines(module))) return kExitFailed;
        return platform::fileExists(module.path) ? kExitDone : fail(cannotLoad(module), kExitNoModule);
    }
#ifdef IVELCARD_WITH_BRIDGE
    // The service parses its own (repeatable) options.
    if (name == "serve") return bridge::serve(chooseModule(moduleOption), {args.begin() + 1, args.end()});
#endif
    for (const Command& command : kCommands) {
        if (name != command.name) continue;
        Invocation call;
        call.moduleOption = moduleOption;
        if (const int status = parseArguments(command, {args.begin() + 1, args.end()}, call); status != kExitDone) {
            return status;
        }
        // Registration picks its module itself (never from the registry).
        if (command.run != registerModule && command.run != allowOriginCommand) call.module = chooseModule(moduleOption);
        return command.run(command, call);
    }
    return generalUsage("unknown command '" + name + "'");
}
