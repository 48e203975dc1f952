// Helpers shared by the tests: private scratch directories, files, and child
// processes with their own environment and captured output.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

// A fresh directory (mode 0700) removed with everything in it at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    // The directory's path, without a trailing separator.
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Sets an environment variable of this process (or removes it, for nullopt)
// for the object's lifetime.
class ScopedEnvironment {
public:
    ScopedEnvironment(const char* name, const std::optional<std::string>& value);
    ~ScopedEnvironment();
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    const char* name_;
    std::optional<std::string> previous_;
};

// Points the user's private temporary directory of this process
// (XDG_RUNTIME_DIR; TMP on Windows) at a private scratch directory for as
// long as the object lives, so nothing touches the user's own.
class ScopedRuntimeDir {
public:
    const std::string& path() const { return dir_.path(); }
#if defined(_WIN32)
    std::string workDirectory() const { return dir_.path() + "\\chinaidcard\\"; }
#else
    std::string workDirectory() const { return dir_.path() + "/chinaidcard/"; }
#endif

private:
    TempDir dir_;
#if defined(_WIN32)
    ScopedEnvironment environment_{"TMP", dir_.path()};
#else
    ScopedEnvironment environment_{"XDG_RUNTIME_DIR", dir_.path()};
#endif
};

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content);
std::vector<std::string> readLines(const std::string& path);

struct ProcessResult {
    int exitCode = -1;  // -1 when the child did not exit normally
    std::string out;
    std::string err;
};

// Runs argv[0] with the environment of this process changed by `environment`
// (a value of nullopt removes the variable). `childSetup` runs in the child
// just before exec.
ProcessResult runProcess(const std::vector<std::string>& argv,
                         const std::map<std::string, std::optional<std::string>>& environment = {},
                         const std::function<void()>& childSetup = {});

// Runs like runProcess, but with standard output (Output) or standard error
// (Errors) on a pseudo-terminal in raw mode (no line-ending translation);
// what the child writes there lands in `out` or `err` as usual.
enum class OnTerminal { Output, Errors };
ProcessResult runOnTerminal(const std::vector<std::string>& argv,
                            const std::map<std::string, std::optional<std::string>>& environment,
                            OnTerminal which);

// The directory of the built programs and modules.
std::string binDir();
// The directory of the built stand-in reader libraries.
std::string readerLibsDir();

// Splits a stream of printed result documents (each ends with "}\n" at
// column 0) into the documents.
std::vector<std::string> splitDocuments(const std::string& text);

}  // namespace testsupport
