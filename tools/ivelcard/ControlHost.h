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

    // Loads the module at `path` and creates one control. False with `error`
    // set when any step fails.
    bool open(const std::string& path, std::string& error);

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
// then beside the program, then in ../lib/ivelcard relative to it.
std::string defaultModulePath();

}  // namespace host
