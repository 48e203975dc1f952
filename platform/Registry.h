// The registry stand-in: a per-user store of keys and string values shaped
// like the Windows classes root ("CLSID\{...}\InprocServer32", a ProgID's
// "CLSID" key, "TypeLib\{...}\1.0").
//
// The store is one file, "classes.json", in $IVELCARD_REGISTRY_DIR, else
// $XDG_CONFIG_HOME/ivelcard, else ~/.config/ivelcard. Every change is written
// atomically (temporary file, then rename). Key names compare without regard
// to ASCII case, as Windows does. Values are UTF-8 text; "" names a key's
// default value. A store file that cannot be read refuses every change, so
// nobody's registrations are lost to it.
//
// $IVELCARD_REGISTRY_DENY lists key prefixes (separated by ';') under which
// nothing may be written or deleted, the way an access-denied key behaves;
// it exists so that failures can be provoked.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace platform {

// Creates the key (and its parents) and sets one value. False when denied or
// the store cannot be written.
bool regSetValue(const std::string& key, const std::string& name, const std::string& value);
// Creates the key (and its parents) without values.
bool regCreateKey(const std::string& key);
std::optional<std::string> regQueryValue(const std::string& key, const std::string& name = "");
bool regKeyExists(const std::string& key);
// Deletes the key and every key below it. True when nothing of it remains
// (also when it did not exist); false when denied or not written.
bool regDeleteTree(const std::string& key);
// Every key of the store, in ascending order (for inspection and tests).
std::vector<std::string> regListKeys();

}  // namespace platform
