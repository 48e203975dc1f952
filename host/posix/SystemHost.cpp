// Hosting on POSIX: modules are loaded directly, also a registered one (its
// path comes from the registry stand-in); there are no apartments and no
// window messages.
#include "host/ControlHost.h"
#include "host/SystemHost.h"

#include "platform/DeviceContext.h"

namespace host {

const char* const kModuleFileName = "libivelcard.so";
const char* const kRegistryHelp =
    " the registry lives\n"
    "in $IVELCARD_REGISTRY_DIR, else $XDG_CONFIG_HOME/ivelcard, else\n"
    "~/.config/ivelcard.\n";

ApartmentScope::ApartmentScope() = default;
ApartmentScope::~ApartmentScope() = default;

bool ControlHost::createRegistered(const ModuleChoice& module, std::string& error) { return openFile(module, error); }

HRESULT drawView(IViewObject* view, int width, int height, std::string& bmp) {
    platform::CDC dc(width, height);
    const RECTL bounds{0, 0, width, height};
    const HRESULT hr = view->Draw(DVASPECT_CONTENT, -1, nullptr, nullptr, nullptr, &dc, &bounds, nullptr, nullptr, 0);
    if (SUCCEEDED(hr)) bmp = dc.toBmp();
    return hr;
}

void waitPumpingMessages(std::condition_variable& wake, std::unique_lock<std::mutex>& lock,
                         const std::function<bool()>& ready) {
    wake.wait(lock, ready);
}

// The module beside the program is the normal case here: nothing to say.
void detail::noteUnregistered(const std::string&) {}

}  // namespace host
