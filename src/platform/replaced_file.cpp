#include "platform/replaced_file.h"

#include "platform/regular_file.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <random>

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tavro::platform {

namespace {

constexpr int kMaxLinkHops = 40;
constexpr std::size_t kMaxNameBytes = 100;
constexpr std::string_view kTemporarySuffix = ".tmp";

std::string systemError(int code) { return std::strerror(code); }

std::string folderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string nameOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Cut between characters: the limit on names counts bytes, and one CJK
// character takes three of them.
std::string leadingBytes(const std::string& name, std::size_t maxBytes) {
    if (name.size() <= maxBytes)
        return name;
    std::size_t end = maxBytes;
    while (end > 0 && (static_cast<unsigned char>(name[end]) & 0xC0) == 0x80)
        --end;
    return name.substr(0, end);
}

std::string uniqueHex() {
    static thread_local std::mt19937_64 random{(std::uint64_t(std::random_device{}()) << 32) ^ std::random_device{}()};
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(random()));
    return text;
}

std::optional<std::string> linkText(const std::string& path) {
    std::string buffer(PATH_MAX, '\0');
    const ssize_t length = ::readlink(path.c_str(), buffer.data(), buffer.size());
    if (length < 0)
        return std::nullopt;
    buffer.resize(static_cast<std::size_t>(length));
    return buffer;
}

bool writeAll(int fd, std::string_view bytes, std::string& error) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            error = systemError(written < 0 ? errno : EIO);
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

// `path` (existing or not) with every link of its folder resolved.
std::optional<std::string> realLocation(const std::string& path, bool exists) {
    char* resolved = ::realpath((exists ? path : folderOf(path)).c_str(), nullptr);
    if (resolved == nullptr)
        return std::nullopt;
    std::string real = resolved;
    std::free(resolved);
    if (!exists) {
        if (real != "/")
            real += '/';
        real += nameOf(path);
    }
    return real;
}

// The end of a chain may leave the folder only by a link the folder's owner
// made there; a folder received from elsewhere must not be able to point a
// save at a file of the system.
bool staysWithin(const std::string& target, bool exists, const std::string& within, std::string& error) {
    char* folder = ::realpath(within.c_str(), nullptr);
    if (folder == nullptr) {
        error = within + ": " + systemError(errno);
        return false;
    }
    const std::string root = folder;
    std::free(folder);
    const std::optional<std::string> real = realLocation(target, exists);
    if (!real) {
        error = target + ": " + systemError(errno);
        return false;
    }
    const std::string prefix = root == "/" ? root : root + '/';
    if (real->starts_with(prefix))
        return true;
    error = "it leads to " + *real + ", outside the folder " + root + "; it was left as it was";
    return false;
}

}  // namespace

bool resolveWriteTarget(const std::string& path, std::string& target, std::string& error,
                        const std::string& within) {
    if (!resolveChain(path, target, error))
        return false;
    struct stat info {};
    const bool exists = ::stat(target.c_str(), &info) == 0;
    if (!within.empty() && !staysWithin(target, exists, within, error))
        return false;
    // By its mode bits, not by access(): root may write any file, but one its
    // owner made read-only is not to be replaced.
    if (exists && (info.st_mode & S_IWUSR) == 0) {
        error = "the file is read-only";
        return false;
    }
    return true;
}

bool resolveChain(const std::string& path, std::string& target, std::string& error) {
    bool exists = false;
    const std::string reason = nonRegularReason(path, &exists);
    if (!reason.empty()) {
        error = reason;
        return false;
    }
    if (exists) {
        char* resolved = ::realpath(path.c_str(), nullptr);
        if (resolved == nullptr) {
            error = systemError(errno);
            return false;
        }
        target = resolved;
        std::free(resolved);
        return true;
    }
    // A dangling chain: the write creates the file its last link names.
    target = path;
    for (int hops = 0;; ++hops) {
        const std::optional<std::string> next = linkText(target);
        if (!next)
            return true;
        if (hops == kMaxLinkHops) {
            error = systemError(ELOOP);
            return false;
        }
        target = next->starts_with('/') ? *next : folderOf(target) + '/' + *next;
    }
}

ReplacementFile::ReplacementFile(const std::string& target) : target_(target) {
    // Appended piece by piece: g++ 12 at -O3 misreads `"." + std::string&&` as an overlapping copy.
    path_ = folderOf(target);
    path_ += "/.";
    path_ += leadingBytes(nameOf(target), kMaxNameBytes);
    path_ += '.';
    path_ += uniqueHex();
    path_ += kTemporarySuffix;
}

ReplacementFile::~ReplacementFile() {
    if (!committed_)
        ::unlink(path_.c_str());
}

bool ReplacementFile::commit(std::string& error) {
    // The mode bits themselves: root may replace a 0604 file, which must stay
    // 0604. The owner is kept where the process may set it.
    struct stat old {};
    const bool replacing = ::stat(target_.c_str(), &old) == 0;
    // The owner first: a change of owner clears the set-id bits.
    if (replacing && ::chown(path_.c_str(), old.st_uid, old.st_gid) != 0) {
        // Not ours to give away: the replacement stays the writer's.
    }
    if (replacing && ::chmod(path_.c_str(), old.st_mode & 07777) != 0) {
        // A mode we may not set leaves the process's default.
    }
    if (::rename(path_.c_str(), target_.c_str()) != 0) {
        error = (replacing ? "Unable to replace " : "Unable to create ") + target_ + ": " + systemError(errno);
        return false;
    }
    committed_ = true;
    return true;
}

bool replaceFileContents(const std::string& path, std::string_view bytes, std::string& error,
                         const std::string& within) {
    std::string target;
    if (!resolveWriteTarget(path, target, error, within))
        return false;
    ignoreFileSizeSignal();
    ReplacementFile temporary(target);
    FileDescriptor fd(::open(temporary.path().c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (!fd) {
        error = systemError(errno);
        return false;
    }
    // On disk before the rename: after a crash the name holds the old text or
    // the new one, never a short file.
    std::string reason;
    if (writeAll(fd.get(), bytes, reason) && ::fsync(fd.get()) != 0)
        reason = systemError(errno);
    if (reason.empty() && ::close(fd.release()) != 0)
        reason = systemError(errno);
    if (!reason.empty()) {
        error = reason;
        return false;
    }
    return temporary.commit(error);
}

void ignoreFileSizeSignal() {
    struct sigaction current {};
    if (sigaction(SIGXFSZ, nullptr, &current) == 0 && current.sa_handler == SIG_DFL)
        std::signal(SIGXFSZ, SIG_IGN);
}

bool isLeftoverTemporaryName(std::string_view name) {
    // "." + at least one byte of the name + "." + 16 hex digits + ".tmp"
    constexpr std::size_t kTail = 1 + 16 + kTemporarySuffix.size();
    if (name.size() < 2 + kTail || name.front() != '.' || !name.ends_with(kTemporarySuffix))
        return false;
    const std::string_view tail = name.substr(name.size() - kTail, 17);
    if (tail.front() != '.')
        return false;
    for (const char c : tail.substr(1))
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    return true;
}

}  // namespace tavro::platform
