// Hosting on POSIX: modules are loaded directly, also a registered one (its
// path comes from the registry stand-in); there are no apartments and no
// window messages.
#include "host/ControlHost.h"
#include "host/SystemHost.h"

namespace host {

const char* const kModuleFileName = "libivelcard.so";

ApartmentScope::ApartmentScope() = default;
ApartmentScope::~ApartmentScope() = default;

bool ControlHost::createRegistered(const ModuleChoice& module, std::string& error) { return openFile(module, error); }

void waitPumpingMessages(std::condition_variable& wake, std::unique_lock<std::mutex>& lock,
                         const std::function<bool()>& ready) {
    wake.wait(lock, ready);
}

// The module beside the program is the normal case here: nothing to say.
void detail::noteUnregistered(const std::string&) {}

}  // namespace host
