#include "support/TestSupport.h"

#if !defined(_WIN32)
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <array>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace testsupport {

#if defined(_WIN32)
namespace {
void setVariable(const char* name, const char* value) { ::_putenv_s(name, value); }
void removeVariable(const char* name) { ::_putenv_s(name, ""); }
}  // namespace

TempDir::TempDir() {
    const auto base = std::filesystem::temp_directory_path();
    for (unsigned attempt = 0; attempt < 1000; ++attempt) {
        const auto candidate = base / ("ivelcard-test-" + std::to_string(std::rand()) + std::to_string(attempt));
        if (std::filesystem::create_directory(candidate)) {
            path_ = candidate.string();
            return;
        }
    }
    throw std::runtime_error("cannot create a temporary directory");
}
#else
namespace {
void setVariable(const char* name, const char* value) { ::setenv(name, value, 1); }
void removeVariable(const char* name) { ::unsetenv(name); }
}  // namespace

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "ivelcard-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}
#endif

TempDir::~TempDir() {
    std::error_code ignored;
    // Tests may leave read-only or foreign-owned entries; make them removable.
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all, ignored);
    std::filesystem::remove_all(path_, ignored);
}

ScopedEnvironment::ScopedEnvironment(const char* name, const std::optional<std::string>& value) : name_(name) {
    if (const char* old = std::getenv(name)) previous_ = old;
    if (value) setVariable(name, value->c_str());
    else removeVariable(name);
}

ScopedEnvironment::~ScopedEnvironment() {
    if (previous_) setVariable(name_, previous_->c_str());
    else removeVariable(name_);
}

std::string readFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream content;
    content << file.rdbuf();
    return content.str();
}

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << content;
    if (!file) throw std::runtime_error("cannot write " + path);
}

std::vector<std::string> readLines(const std::string& path) {
    std::vector<std::string> lines;
    std::istringstream stream(readFile(path));
    for (std::string line; std::getline(stream, line);) lines.push_back(line);
    return lines;
}

#if defined(_WIN32)
// Child processes are a matter of the POSIX tests only.
ProcessResult runProcess(const std::vector<std::string>&, const std::map<std::string, std::optional<std::string>>&,
                         const std::function<void()>&) {
    throw std::runtime_error("runProcess is not available on Windows");
}
#else
// Reads both descriptors into their sinks until each is closed (a terminal
// whose last writer has gone answers EIO), closes them, then waits for the
// child and records its exit code.
static void collectChild(pid_t child, std::array<int, 2> descriptors, std::array<std::string*, 2> sinks,
                  ProcessResult& result) {
    pollfd fds[2] = {{descriptors[0], POLLIN, 0}, {descriptors[1], POLLIN, 0}};
    int open = 2;
    while (open > 0) {
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
            char buffer[65536];
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

ProcessResult runProcess(const std::vector<std::string>& argv,
                         const std::map<std::string, std::optional<std::string>>& environment,
                         const std::function<void()>& childSetup) {
    int outPipe[2];
    int errPipe[2];
    if (::pipe(outPipe) != 0 || ::pipe(errPipe) != 0) throw std::runtime_error("pipe failed");
    const pid_t child = ::fork();
    if (child < 0) throw std::runtime_error("fork failed");
    if (child == 0) {
        ::dup2(outPipe[1], 1);
        ::dup2(errPipe[1], 2);
        ::close(outPipe[0]);
        ::close(outPipe[1]);
        ::close(errPipe[0]);
        ::close(errPipe[1]);
        for (const auto& [name, value] : environment) {
            if (value) ::setenv(name.c_str(), value->c_str(), 1);
            else ::unsetenv(name.c_str());
        }
        if (childSetup) childSetup();
        std::vector<char*> args;
        for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    ProcessResult result;
    collectChild(child, {outPipe[0], errPipe[0]}, {&result.out, &result.err}, result);
    return result;
}
#endif

#if defined(_WIN32)
ProcessResult runOnTerminal(const std::vector<std::string>&, const std::map<std::string, std::optional<std::string>>&,
                            OnTerminal) {
    throw std::runtime_error("runOnTerminal is not available on Windows");
}
#else
ProcessResult runOnTerminal(const std::vector<std::string>& argv,
                            const std::map<std::string, std::optional<std::string>>& environment,
                            OnTerminal which) {
    termios raw{};
    ::cfmakeraw(&raw);
    int master = -1;
    int terminal = -1;
    if (::openpty(&master, &terminal, nullptr, &raw, nullptr) != 0) throw std::runtime_error("openpty failed");
    int other[2];
    if (::pipe(other) != 0) throw std::runtime_error("pipe failed");
    const int onTerminal = which == OnTerminal::Output ? 1 : 2;
    const pid_t child = ::fork();
    if (child < 0) throw std::runtime_error("fork failed");
    if (child == 0) {
        ::dup2(terminal, onTerminal);
        ::dup2(other[1], 3 - onTerminal);
        for (const int fd : {terminal, master, other[0], other[1]}) ::close(fd);
        for (const auto& [name, value] : environment) {
            if (value) ::setenv(name.c_str(), value->c_str(), 1);
            else ::unsetenv(name.c_str());
        }
        std::vector<char*> args;
        for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    ::close(terminal);
    ::close(other[1]);
    ProcessResult result;
    std::string* terminalSink = which == OnTerminal::Output ? &result.out : &result.err;
    std::string* otherSink = which == OnTerminal::Output ? &result.err : &result.out;
    collectChild(child, {master, other[0]}, {terminalSink, otherSink}, result);
    return result;
}
#endif

std::string binDir() { return IVELCARD_BIN_DIR; }
std::string readerLibsDir() { return std::string(IVELCARD_BIN_DIR) + "/../readerlibs"; }

std::vector<std::string> splitDocuments(const std::string& text) {
    std::vector<std::string> documents;
    std::size_t start = 0;
    for (std::size_t end = text.find("\n}\n"); end != std::string::npos; end = text.find("\n}\n", start)) {
        documents.push_back(text.substr(start, end + 3 - start));
        start = end + 3;
    }
    return documents;
}

}  // namespace testsupport
