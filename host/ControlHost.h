// A host for the control module, as a script engine drives it: find the
// module, create the control through its class factory and call members by
// name through IDispatch. Every host (the command-line host, the browser
// bridge, the test hosts) creates its controls here.
//
// Where the module is found: --module (`ModuleSource::Option`), else
// $IVELCARD_MODULE, else the module registered for "IVELCARD.QVCtrl.1", else
// the module file beside the program. On POSIX every module is loaded
// directly (its DllGetClassObject) and the registration lives in the
// registry stand-in. On Windows the calling thread joins a single-threaded
// apartment; a registered control is created by COM (CLSIDFromProgID,
// CoCreateInstance) and a module named otherwise is loaded directly; when
// the class is not registered, the host says so on standard error and uses
// "ivelcard.ocx" beside the program.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "platform/Com.h"

namespace host {

// Where the module path came from, for messages.
enum class ModuleSource { Option, Environment, Registry, BesideProgram };

struct ModuleChoice {
    std::string path;
    ModuleSource source = ModuleSource::BesideProgram;
};

// The module file name of this system: "libivelcard.so", "ivelcard.ocx".
extern const char* const kModuleFileName;
// Where registrations are kept, for help texts: the end of a sentence.
extern const char* const kRegistryHelp;

// Makes the calling thread a single-threaded apartment (Windows), which it
// stays until it ends; nothing on POSIX.
class ApartmentScope {
public:
    ApartmentScope();
    ~ApartmentScope();
    ApartmentScope(const ApartmentScope&) = delete;
    ApartmentScope& operator=(const ApartmentScope&) = delete;
};

class ControlHost {
public:
    ControlHost() = default;
    ~ControlHost();
    ControlHost(const ControlHost&) = delete;
    ControlHost& operator=(const ControlHost&) = delete;

    // Loads the module at `path`. False with `error` set when it cannot be
    // loaded or is no control module.
    bool load(const std::string& path, std::string& error);
    // A module entry point by name, or null.
    void* entry(const char* name) const;
    // Creates one control in the loaded module.
    bool createControl(std::string& error);
    // load() and createControl().
    bool open(const std::string& path, std::string& error);
    // Creates the control from the chosen module: a registered one the way
    // this system's hosts create registered classes, any other by open().
    // A module that cannot be loaded is named with where its path came from.
    bool open(const ModuleChoice& module, std::string& error);

    platform::IDispatch* control() const { return control_; }

    // The member's DISPID, or nothing when the control has no such member.
    std::optional<platform::DISPID> memberId(const std::string& name);

    // Calls a member without arguments. The returned text (UTF-16) is empty
    // for members without a result. False with `error` set on failure.
    bool call(platform::DISPID id, std::u16string& result, std::string& error);

private:
    // Creates the control registered for the ProgID (Windows: by COM).
    bool createRegistered(const ModuleChoice& module, std::string& error);
    // Loads the module file and creates the control from it.
    bool openFile(const ModuleChoice& module, std::string& error);

    ApartmentScope apartment_;
    void* module_ = nullptr;
    platform::IDispatch* control_ = nullptr;
};

// The module to use: `option` (--module), else $IVELCARD_MODULE, else (when
// `useRegistry`) the registered one, else the one beside the program. A
// registered module whose file is gone gives way to the one beside the
// program, and the host says so; on Windows it also says when the class is
// not registered at all.
ModuleChoice chooseModule(const std::string& option, bool useRegistry = true);

// Where the module's path came from, for messages ("given with --module").
std::string sourceText(const ModuleChoice& module);

// Why a module cannot be loaded, with where its path came from.
std::string cannotLoad(const ModuleChoice& module);

// Where the module is looked for when no path is given: $IVELCARD_MODULE,
// then (when `useRegistry`) the module registered for "IVELCARD.QVCtrl.1",
// then beside the program, then in ../lib/ivelcard relative to it (POSIX).
std::string defaultModulePath(bool useRegistry = true);

// The module registered for the control's ProgID, or empty (saying on
// standard error why when the registry store cannot be used).
std::string registeredModulePath();

// Says on standard error why the registry store cannot be changed (or read),
// if it cannot.
void reportRegistryProblem(bool forWriting = true);

// An HRESULT as text, "0x80040200".
std::string hresultText(platform::HRESULT hr);

// Draws the view into a `width` x `height` picture (a device context of
// this system's); the picture as a 24-bit BMP file in `bmp`. The Draw result.
platform::HRESULT drawView(platform::IViewObject* view, int width, int height, std::string& bmp);

// Waits on `wake` (with `lock` held) until `ready()` is true. On Windows the
// waiting thread keeps dispatching its window messages meanwhile, so that
// the control's windows, message boxes and COM work in its apartment.
void waitPumpingMessages(std::condition_variable& wake, std::unique_lock<std::mutex>& lock,
                         const std::function<bool()>& ready);

}  // namespace host
