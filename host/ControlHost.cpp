#include "host/ControlHost.h"

#include <cstdio>

#include "control/Identifiers.h"
#include "host/SystemHost.h"
#include "platform/CodePage.h"
#include "platform/Registry.h"
#include "platform/System.h"

namespace host {

using namespace platform;

// Texts cross the dispatch interface as UTF-16 (OLECHAR, BSTR) on every system.
static_assert(sizeof(OLECHAR) == sizeof(char16_t));

std::string hresultText(HRESULT hr) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(hr));
    return text;
}

ControlHost::~ControlHost() {
    if (control_ != nullptr) control_->Release();
}

bool ControlHost::load(const std::string& path, std::string& error) {
    module_ = loadLibrary(path);
    if (module_ == nullptr) {
        error = "cannot load the control module " + path;
        return false;
    }
    if (entry("DllGetClassObject") == nullptr) {
        error = path + " is not a control module (no DllGetClassObject)";
        return false;
    }
    return true;
}

void* ControlHost::entry(const char* name) const { return procAddress(module_, name); }

bool ControlHost::createControl(std::string& error) {
    auto getClassObject = reinterpret_cast<DllGetClassObjectFn>(entry("DllGetClassObject"));
    IClassFactory* factory = nullptr;
    HRESULT hr = getClassObject(control::CLSID_Ivelcard, IID_IClassFactory, reinterpret_cast<void**>(&factory));
    if (FAILED(hr)) {
        error = "the module has no class factory for the control (" + hresultText(hr) + ")";
        return false;
    }
    if (control_ != nullptr) control_->Release();
    control_ = nullptr;
    hr = factory->CreateInstance(nullptr, IID_IDispatch, reinterpret_cast<void**>(&control_));
    factory->Release();
    if (FAILED(hr)) {
        error = "the control could not be created (" + hresultText(hr) + ")";
        return false;
    }
    return true;
}

bool ControlHost::open(const std::string& path, std::string& error) {
    return load(path, error) && createControl(error);
}

bool ControlHost::open(const ModuleChoice& module, std::string& error) {
    return module.source == ModuleSource::Registry ? createRegistered(module, error) : openFile(module, error);
}

bool ControlHost::openFile(const ModuleChoice& module, std::string& error) {
    if (!load(module.path, error)) {
        if (error.rfind("cannot load", 0) == 0) error = cannotLoad(module);
        return false;
    }
    return createControl(error);
}

std::optional<DISPID> ControlHost::memberId(const std::string& name) {
    std::u16string wide = utf8ToUtf16(name);
    LPOLESTR names[] = {reinterpret_cast<LPOLESTR>(wide.data())};
    DISPID id = DISPID_UNKNOWN;
    if (FAILED(control_->GetIDsOfNames(IID_NULL, names, 1, 0, &id))) return std::nullopt;
    return id;
}

bool ControlHost::call(DISPID id, std::u16string& result, std::string& error) {
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    VARIANT value;
    VariantInit(&value);
    EXCEPINFO exception{};
    const HRESULT hr = control_->Invoke(id, IID_NULL, 0, DISPATCH_METHOD | DISPATCH_PROPERTYGET, &none,
                                       &value, &exception, nullptr);
    if (FAILED(hr)) {
        error = "the call failed (" + hresultText(hr) + ")";
        return false;
    }
    result.clear();
    if (value.vt == VT_BSTR && value.bstrVal != nullptr) {
        result.assign(reinterpret_cast<const char16_t*>(value.bstrVal), SysStringLen(value.bstrVal));
    }
    VariantClear(&value);
    return true;
}

std::string registeredModulePath() {
    const auto clsid = regQueryValue(std::string(control::kControlProgId) + "\\CLSID");
    if (!clsid) {
        reportRegistryProblem(false);
        return {};
    }
    return regQueryValue("CLSID\\" + *clsid + "\\InprocServer32").value_or("");
}

void reportRegistryProblem(bool forWriting) {
    if (const std::string problem = regStoreProblem(forWriting); !problem.empty()) {
        std::fprintf(stderr, "ivelcard: %s\n", problem.c_str());
    }
}

std::string defaultModulePath(bool useRegistry) {
    if (auto configured = environmentVariable("IVELCARD_MODULE"); configured && !configured->empty()) {
        return *configured;
    }
    if (useRegistry) {
        if (std::string registered = registeredModulePath(); !registered.empty()) return registered;
    }
    const std::string program = executablePath();
    const std::string directory = program.substr(0, program.rfind(kPathSeparator) + 1);
    const std::string candidates[] = {directory + kModuleFileName,
                                      directory + ".." + kPathSeparator + "lib" + kPathSeparator + "ivelcard" +
                                          kPathSeparator + kModuleFileName};
    for (const std::string& candidate : candidates) {
        if (fileExists(candidate)) return candidate;
    }
    return candidates[0];
}

std::string sourceText(const ModuleChoice& module) {
    switch (module.source) {
    case ModuleSource::Option: return "given with --module";
    case ModuleSource::Environment: return "from $IVELCARD_MODULE";
    case ModuleSource::Registry:
        return std::string("registered for ") + control::kControlProgId + "; 'ivelcard register' records another";
    case ModuleSource::BesideProgram: return "beside this program";
    }
    return "";
}

std::string cannotLoad(const ModuleChoice& module) {
    const char* why = fileExists(module.path) ? "not a loadable control module" : "no such file";
    return "cannot load the control module " + module.path + " (" + sourceText(module) + "): " + why;
}

ModuleChoice chooseModule(const std::string& option, bool useRegistry) {
    if (!option.empty()) return {option, ModuleSource::Option};
    if (auto configured = environmentVariable("IVELCARD_MODULE"); configured && !configured->empty()) {
        return {*configured, ModuleSource::Environment};
    }
    const std::string beside = defaultModulePath(false);
    if (!useRegistry) return {beside, ModuleSource::BesideProgram};
    const std::string registered = registeredModulePath();
    if (registered.empty()) {
        detail::noteUnregistered(beside);
        return {beside, ModuleSource::BesideProgram};
    }
    if (fileExists(registered)) return {registered, ModuleSource::Registry};
    std::fprintf(stderr,
                 "ivelcard: the module registered for %s, %s, no longer exists; trying %s beside this program "
                 "(run 'ivelcard register' to record it)\n",
                 control::kControlProgId, registered.c_str(), beside.c_str());
    return {beside, ModuleSource::BesideProgram};
}

}  // namespace host
