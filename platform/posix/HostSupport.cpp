#include "platform/HostSupport.h"
#include "platform/System.h"

#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <vector>

namespace platform {
namespace {

constexpr std::size_t kLongestNoteSegment = 1 << 16;

std::uint32_t align4(std::uint32_t size) { return (size + 3u) & ~3u; }

// The version note among the notes of one PT_NOTE segment.
std::optional<FileVersion> findVersionNote(const std::vector<char>& notes) {
    constexpr std::uint32_t kOwnerSize = sizeof kVersionNoteOwner;
    std::size_t at = 0;
    while (at + sizeof(Elf64_Nhdr) <= notes.size()) {
        Elf64_Nhdr header;
        std::memcpy(&header, notes.data() + at, sizeof header);
        const std::size_t name = at + sizeof header;
        const std::size_t description = name + align4(header.n_namesz);
        const std::size_t end = description + align4(header.n_descsz);
        if (header.n_namesz > notes.size() || header.n_descsz > notes.size() || end > notes.size()) break;
        if (header.n_type == kVersionNoteType && header.n_namesz == kOwnerSize &&
            std::memcmp(notes.data() + name, kVersionNoteOwner, kOwnerSize) == 0 &&
            header.n_descsz == sizeof(FileVersion)) {
            FileVersion version;
            std::memcpy(version.data(), notes.data() + description, sizeof version);
            return version;
        }
        at = end;
    }
    return std::nullopt;
}

}  // namespace

bool isTerminal(std::FILE* stream) { return stream != nullptr && ::isatty(::fileno(stream)) == 1; }

bool writePrivateFile(const std::string& path, std::string_view bytes, std::string& error) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    bool written = ::fchmod(fd, 0600) == 0;
    for (std::size_t done = 0; written && done < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        written = n > 0;
        if (written) done += static_cast<std::size_t>(n);
    }
    if (!written) error = std::strerror(errno);
    if (::close(fd) != 0 && written) {
        error = std::strerror(errno);
        written = false;
    }
    return written;
}

std::optional<FileVersion> moduleFileVersion(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    Elf64_Ehdr elf{};
    if (!file.read(reinterpret_cast<char*>(&elf), sizeof elf)) return std::nullopt;
    if (std::memcmp(elf.e_ident, ELFMAG, SELFMAG) != 0 || elf.e_ident[EI_CLASS] != ELFCLASS64 ||
        elf.e_phentsize != sizeof(Elf64_Phdr)) {
        return std::nullopt;
    }
    for (unsigned i = 0; i < elf.e_phnum; ++i) {
        Elf64_Phdr segment{};
        file.seekg(static_cast<std::streamoff>(elf.e_phoff + std::uint64_t{i} * sizeof segment));
        if (!file.read(reinterpret_cast<char*>(&segment), sizeof segment)) return std::nullopt;
        if (segment.p_type != PT_NOTE || segment.p_filesz > kLongestNoteSegment) continue;
        std::vector<char> notes(segment.p_filesz);
        file.seekg(static_cast<std::streamoff>(segment.p_offset));
        if (!file.read(notes.data(), static_cast<std::streamsize>(notes.size()))) continue;
        if (auto version = findVersionNote(notes)) return version;
    }
    return std::nullopt;
}

std::string systemPath(const std::string& absolute) {
    const auto root = environmentVariable("IVELCARD_SYSTEM_ROOT");
    if (!root || root->empty() || root->front() != '/') return absolute;
    return *root + absolute;
}

std::string machineConfigDirectory() { return systemPath("/etc/ivelcard"); }

std::string userConfigDirectory() {
    if (auto config = environmentVariable("XDG_CONFIG_HOME"); config && !config->empty() && config->front() == '/') {
        return *config + "/ivelcard";
    }
    if (auto home = environmentVariable("HOME"); home && !home->empty()) return *home + "/.config/ivelcard";
    return {};
}

std::string logDirectory() { return {}; }

}  // namespace platform
