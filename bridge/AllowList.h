// The allow-list files "bridge.json": the machine-wide one (an administrator's
// or an installer's) and the user's, both {"allowOrigins": [ORIGIN, ...]} and
// nothing else. A file is refused, saying why and naming it, when it is not
// such an object (parsed strictly, nesting limited), holds another key (the
// keys it may hold are named), lists something that is no origin, or may be
// changed by someone other than its owner and the administrators.
//
// AllowListFiles reads both and reads a file again when it changes (its
// size, time and permissions), or every file when forced: a file that became
// invalid or unsafe keeps its last good list, and the service says so. At
// start an invalid file is an error; an unsafe one is left out, saying why,
// so that the service still serves its own pages and the other file's.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace bridge {

// The origins of the text of a bridge.json at `path`, or nothing with
// `error` saying why (naming the file).
std::optional<std::vector<std::string>> parseAllowList(std::string_view text, const std::string& path,
                                                       std::string& error);

// The text of a bridge.json that lists `origins`.
std::string allowListText(const std::vector<std::string>& origins);

// A missing file is no error: `origins` is then empty. Unsafe: others may
// change the file; Invalid: it is no allow-list. Both say why in `error`.
enum class FileState { Missing, Read, Unsafe, Invalid };
FileState readAllowList(const std::string& path, std::vector<std::string>& origins, std::string& error);

// True for an origin over plain http to a host other than the loopback
// interface: a page whose text anyone on the way may alter.
bool isInsecureRemoteOrigin(std::string_view origin);

class AllowListFiles {
public:
    using Say = std::function<void(const std::string& line)>;
    // The machine-wide file first; an empty path stands for no file.
    AllowListFiles(std::vector<std::string> paths, Say say);

    // Reads every file (for the start): false when one is invalid.
    bool load();
    // Reads the files that changed since the last look (every file when
    // `force`); true when the combined list changed. Not thread-safe.
    bool refresh(bool force);
    // Every file's origins, the machine-wide file's first, each once.
    std::vector<std::string> origins() const;
    const std::vector<std::string>& paths() const { return paths_; }

private:
    struct File {
        std::string path;
        std::optional<std::string> signature;  // nothing: missing
        std::vector<std::string> origins;       // the last good list
    };
    bool read(File& file, bool atStart);

    std::vector<std::string> paths_;
    std::vector<File> files_;
    Say say_;
};

}  // namespace bridge
