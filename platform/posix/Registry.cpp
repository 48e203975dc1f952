#include "platform/Registry.h"

#include <json/json.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <fstream>
#include <map>
#include <sstream>

#include "platform/System.h"

namespace platform {
namespace {

// The deepest nesting a store has: the root, a key, its values.
constexpr unsigned kStoreDepth = 3;

bool isAbsolute(const std::optional<std::string>& path) { return path && !path->empty() && path->front() == '/'; }

// Where the store lives, or why it has no place.
struct Location {
    std::string directory;
    std::string problem;
};

Location storeLocation() {
    if (auto dir = environmentVariable("IVELCARD_REGISTRY_DIR"); dir && !dir->empty()) return {*dir, {}};
    // A relative XDG_CONFIG_HOME is no configuration directory: it is ignored.
    if (auto config = environmentVariable("XDG_CONFIG_HOME"); isAbsolute(config)) return {*config + "/ivelcard", {}};
    const auto home = environmentVariable("HOME");
    if (isAbsolute(home)) return {*home + "/.config/ivelcard", {}};
    // Without a home the store would land under the root directory: refuse.
    const std::string why = !home || home->empty() ? "HOME is not set" : "HOME (" + *home + ") is not an absolute path";
    return {{}, "the registry store has no place: " + why + "; set HOME, XDG_CONFIG_HOME or IVELCARD_REGISTRY_DIR"};
}

std::string folded(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : static_cast<char>(c); });
    return text;
}

bool startsWithFolded(const std::string& text, const std::string& prefix) {
    return folded(text).rfind(folded(prefix), 0) == 0;
}

bool denied(const std::string& key) {
    const std::string list = environmentVariable("IVELCARD_REGISTRY_DENY").value_or("");
    std::stringstream stream(list);
    for (std::string prefix; std::getline(stream, prefix, ';');) {
        if (!prefix.empty() && startsWithFolded(key, prefix)) return true;
    }
    return false;
}

enum class Use { Read, Write };

// The store of one access or one batch: key -> { value name -> value },
// with an index from the folded spelling of each key to its stored one.
class Store {
public:
    // Reads the store. A missing file is an empty store.
    Store() {
        const Location location = storeLocation();
        if (!location.problem.empty()) {
            problem_ = location.problem;
            return;
        }
        directory_ = location.directory;
        path_ = directory_ + "/classes.json";
        struct stat info {};
        if (::lstat(path_.c_str(), &info) != 0) {
            ready_ = true;
            return;
        }
        // A linked store may be read, but never written through or over.
        if (S_ISLNK(info.st_mode)) {
            writeProblem_ = "the registry store " + path_ +
                            " is a symbolic link; nothing is written through or over it (put the file itself there)";
        }
        std::ifstream file(path_, std::ios::binary);
        std::ostringstream text;
        text << file.rdbuf();
        if (!file) {
            problem_ = "the registry store " + path_ + " cannot be read; it was left as it is";
            return;
        }
        std::string why;
        if (!parseRegistryStore(text.str(), root_, why)) {
            root_ = Json::Value(Json::objectValue);
            problem_ = "the registry store " + path_ + " cannot be read (" + why + "); it was left as it is";
            return;
        }
        for (const std::string& name : root_.getMemberNames()) names_.emplace(folded(name), name);
        ready_ = true;
    }

    bool ready(Use use) const { return ready_ && (use == Use::Read || writeProblem_.empty()); }
    const std::string& problem(Use use) const {
        return problem_.empty() && use == Use::Write ? writeProblem_ : problem_;
    }
    const Json::Value& root() const { return root_; }

    // The stored spelling of `key` (names compare without case), or null.
    const std::string* storedName(const std::string& key) const {
        const auto found = names_.find(folded(key));
        return found == names_.end() ? nullptr : &found->second;
    }
    const Json::Value* find(const std::string& key) const {
        const std::string* name = storedName(key);
        return name != nullptr ? &root_[*name] : nullptr;
    }

    // The key, created with its parents when missing.
    Json::Value& create(const std::string& key) {
        for (std::size_t end = key.find('\\');; end = key.find('\\', end + 1)) {
            const std::string part = key.substr(0, end);
            if (storedName(part) == nullptr) {
                names_.emplace(folded(part), part);
                root_[part] = Json::Value(Json::objectValue);
                dirty_ = true;
            }
            if (end == std::string::npos) break;
        }
        return root_[*storedName(key)];
    }
    void set(const std::string& key, const std::string& name, const std::string& value) {
        create(key)[name] = value;
        dirty_ = true;
    }
    void remove(const std::string& stored) {
        names_.erase(folded(stored));
        root_.removeMember(stored);
        dirty_ = true;
    }

    // Writes the changes (temporary file, then rename); true when there
    // were none or they were written.
    bool save() {
        if (!dirty_) return true;
        if (!ready(Use::Write) || !makeSureDirectoryPathExists(directory_ + "/")) return false;
        Json::StreamWriterBuilder builder;
        builder["indentation"] = "  ";
        builder["emitUTF8"] = true;
        const std::string text = Json::writeString(builder, root_) + "\n";
        std::string temporary = path_ + ".XXXXXX";
        const int fd = ::mkstemp(temporary.data());
        if (fd < 0) return false;
        const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
        if (::close(fd) != 0 || !written || ::rename(temporary.c_str(), path_.c_str()) != 0) {
            ::unlink(temporary.c_str());
            return false;
        }
        dirty_ = false;
        return true;
    }

private:
    std::string directory_;
    std::string path_;
    std::string problem_;
    std::string writeProblem_;
    Json::Value root_{Json::objectValue};
    std::map<std::string, std::string> names_;
    bool ready_ = false;
    bool dirty_ = false;
};

// The store of the batch open on this thread, loaded on first use.
struct BatchState {
    int depth = 0;
    std::optional<Store> store;
};
thread_local BatchState batch;

// Runs `access` on the store: the batch's when one is open, else one read
// for this access alone, written back afterwards when `access` changed it.
// `failed` is the answer when the store cannot be used; no exception leaves.
template <class Result, class Access>
Result withStore(Use use, Result failed, Access&& access) {
    try {
        if (batch.depth > 0) {
            if (!batch.store) batch.store.emplace();
            return batch.store->ready(use) ? access(*batch.store) : failed;
        }
        Store store;
        if (!store.ready(use)) return failed;
        Result result = access(store);
        return store.save() ? result : failed;
    } catch (...) {
        return failed;
    }
}

}  // namespace

bool parseRegistryStore(std::string_view text, Json::Value& root, std::string& problem) {
    try {
        Json::CharReaderBuilder builder;
        Json::CharReaderBuilder::strictMode(&builder.settings_);
        // One level more than a store has, so that deeper nesting is refused
        // by the shape check below with a plain message.
        builder["stackLimit"] = kStoreDepth + 1;
        const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
        std::string errors;
        if (!reader->parse(text.data(), text.data() + text.size(), &root, &errors)) {
            problem = "not JSON: " + errors.substr(0, errors.find('\n'));
            return false;
        }
    } catch (const std::exception& e) {
        problem = std::string("not JSON: ") + e.what();
        return false;
    }
    if (!root.isObject()) {
        problem = "not an object of keys";
        return false;
    }
    for (auto key = root.begin(); key != root.end(); ++key) {
        if (!key->isObject()) {
            problem = "key \"" + key.name() + "\" is not an object of values";
            return false;
        }
        for (auto value = key->begin(); value != key->end(); ++value) {
            if (!value->isString()) {
                problem = "value \"" + value.name() + "\" of key \"" + key.name() + "\" is not a string";
                return false;
            }
        }
    }
    return true;
}

RegistryBatch::RegistryBatch() { ++batch.depth; }

RegistryBatch::~RegistryBatch() {
    if (!committed_) commit();
}

bool RegistryBatch::commit() {
    if (committed_) return written_;
    committed_ = true;
    written_ = true;
    if (--batch.depth > 0) return true;
    try {
        if (batch.store) written_ = batch.store->save();
    } catch (...) {
        written_ = false;
    }
    batch.store.reset();
    return written_;
}

bool regSetValue(const std::string& key, const std::string& name, const std::string& value) {
    if (key.empty() || denied(key)) return false;
    return withStore(Use::Write, false, [&](Store& store) {
        store.set(key, name, value);
        return true;
    });
}

bool regCreateKey(const std::string& key) {
    if (key.empty() || denied(key)) return false;
    return withStore(Use::Write, false, [&](Store& store) {
        store.create(key);
        return true;
    });
}

std::optional<std::string> regQueryValue(const std::string& key, const std::string& name) {
    return withStore(Use::Read, std::optional<std::string>(), [&](Store& store) -> std::optional<std::string> {
        const Json::Value* values = store.find(key);
        if (values == nullptr || !values->isMember(name)) return std::nullopt;
        return (*values)[name].asString();
    });
}

bool regKeyExists(const std::string& key) {
    return withStore(Use::Read, false, [&](Store& store) { return store.find(key) != nullptr; });
}

bool regDeleteTree(const std::string& key) {
    if (key.empty() || denied(key)) return false;
    return withStore(Use::Write, false, [&](Store& store) {
        for (const std::string& name : store.root().getMemberNames()) {
            if (folded(name) == folded(key) || startsWithFolded(name, key + "\\")) store.remove(name);
        }
        return true;
    });
}

std::vector<std::string> regListKeys() {
    return withStore(Use::Read, std::vector<std::string>(), [](Store& store) {
        std::vector<std::string> keys = store.root().getMemberNames();
        std::sort(keys.begin(), keys.end());
        return keys;
    });
}

std::string regStoreProblem(bool forWriting) {
    try {
        return Store().problem(forWriting ? Use::Write : Use::Read);
    } catch (...) {
        return "the registry store cannot be read";
    }
}

}  // namespace platform
