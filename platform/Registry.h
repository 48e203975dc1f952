// The registry stand-in: a per-user store of keys and string values shaped
// like the Windows classes root ("CLSID\{...}\InprocServer32", a ProgID's
// "CLSID" key, "TypeLib\{...}\1.0").
//
// The store is one file, "classes.json", in $IVELCARD_REGISTRY_DIR, else
// $XDG_CONFIG_HOME/ivelcard, else ~/.config/ivelcard. Every change is written
// atomically (temporary file, then rename). Key names compare without regard
// to ASCII case, as Windows does. Values are UTF-8 text; "" names a key's
// default value. A store file that cannot be read, or that is not shaped like
// a store (an object of keys, each an object of string values), refuses every
// change and answers no query, so nobody's registrations are lost to it; so
// does a store without a place (no $HOME): nothing is ever written under the
// root directory. A store file that is a symbolic link is read, but refuses
// every change (nothing is written through or over it). No function here
// throws.
//
// A RegistryBatch reads the store once and writes it once for all the
// changes made on its thread while it is open (a whole registration).
//
// $IVELCARD_REGISTRY_DENY lists key prefixes (separated by ';') under which
// nothing may be written or deleted, the way an access-denied key behaves;
// it exists so that failures can be provoked.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Json {
class Value;
}

namespace platform {

// While one is open on a thread, the store is read at its first use and kept;
// changes go to that copy and are written when the outermost batch commits
// (at the latest when it ends). Batches nest.
class RegistryBatch {
public:
    RegistryBatch();
    ~RegistryBatch();
    RegistryBatch(const RegistryBatch&) = delete;
    RegistryBatch& operator=(const RegistryBatch&) = delete;
    // Writes the changes (once); false when they could not be written. An
    // inner batch leaves that to the outermost one and answers true.
    bool commit();

private:
    bool committed_ = false;
    bool written_ = false;
};

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

// Why the store cannot be changed (or, with `forWriting` false, read): one
// line naming the file or the missing variable, and the cause; empty when it
// can. Reads the store.
std::string regStoreProblem(bool forWriting = true);

// Reads a store text the way the store is loaded: true with `root` set when
// it is a well-formed store, else false with `problem` saying why. Never
// throws, whatever the text.
bool parseRegistryStore(std::string_view text, Json::Value& root, std::string& problem);

}  // namespace platform
