// A host for the control module, as a script engine drives it: load the
// module, get the control's class factory through DllGetClassObject, create
// the control, and call members by name through IDispatch.
#pragma once

#include <optional>
#include <string>

#include "platform/Com.h"

namespace host {

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

    platform::IDispatch* control() const { return control_; }

    // The member's DISPID, or nothing when the control has no such member.
    std::optional<platform::DISPID> memberId(const std::string& name);

    // Calls a member without arguments. The returned text (UTF-16) is empty
    // for members without a result. False with `error` set on failure.
    bool call(platform::DISPID id, std::u16string& result, std::string& error);

private:
    void* module_ = nullptr;
    platform::IDispatch* control_ = nullptr;
};

// Where the module is looked for when no path is given: $IVELCARD_MODULE,
// then (when `useRegistry`) the module registered for "IVELCARD.QVCtrl.1",
// then beside the program, then in ../lib/ivelcard relative to it.
std::string defaultModulePath(bool useRegistry = true);

// The module registered for the control's ProgID, or empty (saying on
// standard error why when the registry store cannot be used).
std::string registeredModulePath();

// Says on standard error why the registry store cannot be changed (or read),
// if it cannot.
void reportRegistryProblem(bool forWriting = true);

// An HRESULT as text, "0x80040200".
std::string hresultText(platform::HRESULT hr);

}  // namespace host
