// The pieces of hosting that differ between the systems, for ControlHost.cpp
// (implemented in posix/ and win32/).
#pragma once

#include <string>

namespace host::detail {

// Says, where this system's hosts would expect a registered class, that the
// control is not registered and the module `beside` the program is used.
void noteUnregistered(const std::string& beside);

}  // namespace host::detail
