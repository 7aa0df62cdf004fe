#include "platform/replaced_file.h"

#include "platform/regular_file.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <optional>
#include <random>
#include <vector>

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

std::string outsideMessage(const std::string& path, const std::string& root) {
    // Worded with the location the links give now: only the message reads it.
    std::string end = path, ignored;
    std::string real = path;
    if (resolveChain(path, end, ignored)) {
        struct stat info {};
        if (const std::optional<std::string> location = realLocation(end, ::stat(end.c_str(), &info) == 0))
            real = *location;
    }
    return "it leads to " + real + ", outside the folder " + root + "; it was left as it was";
}

std::vector<std::string> componentsOf(std::string_view path) {
    std::vector<std::string> parts;
    while (!path.empty()) {
        const std::size_t slash = path.find('/');
        const std::string_view part = path.substr(0, slash);
        if (!part.empty() && part != ".")
            parts.emplace_back(part);
        if (slash == std::string_view::npos)
            break;
        path.remove_prefix(slash + 1);
    }
    return parts;
}

// Where the open folder lies now, whatever path it was opened by.
std::string locationOf(int folder, const std::string& fallback) {
    if (const std::optional<std::string> text = linkText("/proc/self/fd/" + std::to_string(folder)))
        if (text->starts_with('/'))
            return *text;
    char* resolved = ::realpath(fallback.c_str(), nullptr);
    if (resolved == nullptr)
        return fallback;
    std::string real = resolved;
    std::free(resolved);
    return real;
}

// `path` as a path below `within`, by their text or, failing that, by where
// the folder of `path` lies.
std::optional<std::string> pathBelow(const std::string& path, const std::string& within, const std::string& root) {
    namespace fs = std::filesystem;
    std::error_code fileFailed, folderFailed;
    const fs::path file = fs::absolute(path, fileFailed).lexically_normal();
    const fs::path folder = fs::absolute(within, folderFailed).lexically_normal();
    if (!fileFailed && !folderFailed) {
        const fs::path relative = file.lexically_relative(folder);
        if (!relative.empty() && *relative.begin() != ".." && relative != ".")
            return relative.string();
    }
    const std::optional<std::string> real = realLocation(path, false);
    const std::string prefix = root == "/" ? root : root + '/';
    if (real && real->starts_with(prefix))
        return real->substr(prefix.size());
    return std::nullopt;
}

bool checkReplaceable(int folder, const std::string& name, const struct stat& info, std::string& error) {
    if (!S_ISREG(info.st_mode)) {
        error = "not a regular file";
        return false;
    }
    const bool writable = ::faccessat(folder, name.c_str(), W_OK, AT_EACCESS) == 0;
    if (!mayReplaceFile(::geteuid(), info.st_uid, info.st_mode, writable)) {
        error = "the file is read-only";
        return false;
    }
    return true;
}

// Walks `relative` from the folder `root` one name at a time. Folders are
// opened without following links; a link met on the way is read where it
// lies and its text walked instead, so ".." and absolute texts are checked
// against the folders actually opened. Leaving `root` sets `escaped`.
bool resolveBeneath(FileDescriptor root, const std::string& rootPath, const std::string& relative,
                    WriteTarget& target, std::string& error, bool& escaped) {
    std::vector<FileDescriptor> folders;
    std::vector<std::string> names;
    folders.push_back(std::move(root));
    std::deque<std::string> pending;
    for (std::string& part : componentsOf(relative))
        pending.push_back(std::move(part));
    for (int hops = 0; !pending.empty();) {
        const std::string name = std::move(pending.front());
        pending.pop_front();
        if (name == "..") {
            if (folders.size() == 1) {
                escaped = true;
                return false;
            }
            folders.pop_back();
            names.pop_back();
            continue;
        }
        const int here = folders.back().get();
        if (!pending.empty()) {
            FileDescriptor next(::openat(here, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (next) {
                folders.push_back(std::move(next));
                names.push_back(name);
                continue;
            }
            if (errno != ENOTDIR && errno != ELOOP) {
                error = systemError(errno);
                return false;
            }
        } else {
            struct stat info {};
            const bool exists = ::fstatat(here, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0;
            if (!exists && errno != ENOENT) {
                error = systemError(errno);
                return false;
            }
            if (!exists || !S_ISLNK(info.st_mode)) {
                if (exists && !checkReplaceable(here, name, info, error))
                    return false;
                target.name = name;
                target.path = rootPath == "/" ? std::string() : rootPath;
                for (const std::string& folder : names)
                    target.path += '/' + folder;
                target.path += '/' + name;
                target.folder = std::move(folders.back());
                return true;
            }
        }
        std::string buffer(PATH_MAX, '\0');
        const ssize_t length = ::readlinkat(here, name.c_str(), buffer.data(), buffer.size());
        if (length < 0) {
            // Not a link after all: a file where a folder was expected.
            error = systemError(errno == EINVAL ? ENOTDIR : errno);
            return false;
        }
        if (++hops > kMaxLinkHops) {
            error = systemError(ELOOP);
            return false;
        }
        buffer.resize(static_cast<std::size_t>(length));
        if (buffer.starts_with('/')) {
            // An absolute link may name a place inside the folder, by the
            // folder's own location.
            const std::string prefix = rootPath == "/" ? rootPath : rootPath + '/';
            if (buffer != rootPath && !buffer.starts_with(prefix)) {
                escaped = true;
                return false;
            }
            buffer.erase(0, std::min(buffer.size(), prefix.size()));
            folders.resize(1);
            names.clear();
        }
        const std::vector<std::string> parts = componentsOf(buffer);
        pending.insert(pending.begin(), parts.begin(), parts.end());
    }
    error = "not a regular file";
    return false;
}

bool resolveOutsideProject(const std::string& path, WriteTarget& target, std::string& error) {
    std::string end;
    if (!resolveChain(path, end, error))
        return false;
    target.folder = FileDescriptor(::open(folderOf(end).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!target.folder) {
        error = systemError(errno);
        return false;
    }
    target.name = nameOf(end);
    target.path = end;
    struct stat info {};
    if (::fstatat(target.folder.get(), target.name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0)
        return true;
    return checkReplaceable(target.folder.get(), target.name, info, error);
}

}  // namespace

bool mayReplaceFile(uid_t euid, uid_t owner, mode_t mode, bool writable) {
    if ((mode & S_IWUSR) == 0)
        return false;
    return euid == 0 || euid == owner || writable;
}

bool resolveWriteTarget(const std::string& path, WriteTarget& target, std::string& error,
                        const std::string& within) {
    if (within.empty())
        return resolveOutsideProject(path, target, error);
    // The folder itself is the caller's: reached through links if need be,
    // and from then on held open.
    FileDescriptor root(::open(within.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!root) {
        error = within + ": " + systemError(errno);
        return false;
    }
    const std::string rootPath = locationOf(root.get(), within);
    const std::optional<std::string> relative = pathBelow(path, within, rootPath);
    bool escaped = !relative;
    if (relative && resolveBeneath(std::move(root), rootPath, *relative, target, error, escaped))
        return true;
    if (escaped)
        error = outsideMessage(path, rootPath);
    return false;
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

namespace {

WriteTarget targetByPath(const std::string& path, int& openError) {
    WriteTarget target;
    target.folder = FileDescriptor(::open(folderOf(path).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    openError = target.folder ? 0 : errno;
    target.name = nameOf(path);
    target.path = path;
    return target;
}

}  // namespace

ReplacementFile::ReplacementFile(const std::string& target) : target_(targetByPath(target, folderError_)) {
    nameTemporary();
}

ReplacementFile::ReplacementFile(WriteTarget target) : target_(std::move(target)) { nameTemporary(); }

void ReplacementFile::nameTemporary() {
    // Built piece by piece in a new string: g++ 12 at -O3 misreads `"." + std::string&&`, and assigning a literal
    // to a member, as an overlapping copy.
    std::string name(1, '.');
    name += leadingBytes(target_.name, kMaxNameBytes);
    name += '.';
    name += uniqueHex();
    name += kTemporarySuffix;
    name_ = std::move(name);
    path_ = folderOf(target_.path);
    path_ += '/';
    path_ += name_;
}

ReplacementFile::~ReplacementFile() {
    if (created_ && !committed_)
        ::unlinkat(target_.folder.get(), name_.c_str(), 0);
}

FileDescriptor ReplacementFile::create(std::string& error) {
    if (!target_.folder) {
        error = systemError(folderError_ != 0 ? folderError_ : EBADF);
        return {};
    }
    FileDescriptor fd(::openat(target_.folder.get(), name_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                               0666));
    if (!fd) {
        error = systemError(errno);
        return {};
    }
    created_ = true;
    // The mode bits themselves: root may replace a 0604 file, which must stay
    // 0604. The owner is kept where the process may set it, and set through
    // the descriptor, never through a name someone else could swap.
    struct stat old {};
    if (::fstatat(target_.folder.get(), target_.name.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(old.st_mode)) {
        // The owner first: a change of owner clears the set-id bits.
        if (::fchown(fd.get(), old.st_uid, old.st_gid) != 0) {
            // Not ours to give away: the replacement stays the writer's.
        }
        if (::fchmod(fd.get(), old.st_mode & 07777) != 0) {
            // A mode we may not set leaves the process's default.
        }
    }
    return fd;
}

bool ReplacementFile::commit(std::string& error) {
    struct stat old {};
    const bool replacing = ::fstatat(target_.folder.get(), target_.name.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0;
    if (::renameat(target_.folder.get(), name_.c_str(), target_.folder.get(), target_.name.c_str()) != 0) {
        error = (replacing ? "Unable to replace " : "Unable to create ") + target_.path + ": " + systemError(errno);
        return false;
    }
    committed_ = true;
    return true;
}

bool fillReplacement(ReplacementFile& temporary, std::string_view bytes, std::string& error) {
    FileDescriptor fd = temporary.create(error);
    if (!fd)
        return false;
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
    return true;
}

bool replaceFileContents(const std::string& path, std::string_view bytes, std::string& error,
                         const std::string& within) {
    WriteTarget target;
    if (!resolveWriteTarget(path, target, error, within))
        return false;
    ignoreFileSizeSignal();
    ReplacementFile temporary(std::move(target));
    return fillReplacement(temporary, bytes, error) && temporary.commit(error);
}

void ignoreFileSizeSignal() {
    struct sigaction current {};
    if (sigaction(SIGXFSZ, nullptr, &current) == 0 && current.sa_handler == SIG_DFL)
        std::signal(SIGXFSZ, SIG_IGN);
}

namespace {

// The folder of `relative` below `root`, reached without following a link; `name` is what is left.
FileDescriptor folderBeneath(const std::string& root, const std::string& relative, std::string& name,
                             std::string& error, bool* missing = nullptr) {
    FileDescriptor here(::open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!here) {
        error = root + ": " + std::strerror(errno);
        return {};
    }
    std::size_t start = 0;
    for (std::size_t slash; (slash = relative.find('/', start)) != std::string::npos; start = slash + 1) {
        const std::string part = relative.substr(start, slash - start);
        if (part.empty() || part == ".")
            continue;
        if (part == "..") {
            error = relative + ": leads out of " + root;
            return {};
        }
        FileDescriptor next(::openat(here.get(), part.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next) {
            if (missing)
                *missing = errno == ENOENT;
            error = root + "/" + relative.substr(0, slash) + ": " + std::strerror(errno);
            return {};
        }
        here = std::move(next);
    }
    name = relative.substr(start);
    if (name.empty() || name == "." || name == "..") {
        error = relative + ": not a file name";
        return {};
    }
    return here;
}

// 1 for a regular file, 0 for none, -1 (with `error`) for anything else.
int regularBeneath(int folder, const std::string& name, const std::string& shown, std::string& error) {
    struct stat info {};
    if (::fstatat(folder, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT)
            return 0;
        error = shown + ": " + std::strerror(errno);
        return -1;
    }
    if (!S_ISREG(info.st_mode)) {
        error = shown + ": not a regular file; it was left as it was";
        return -1;
    }
    return 1;
}

}  // namespace

bool removeFileBeneath(const std::string& root, const std::string& relative, std::string& error) {
    std::string name;
    bool missing = false;
    const FileDescriptor folder = folderBeneath(root, relative, name, error, &missing);
    if (!folder)
        return missing;
    const int found = regularBeneath(folder.get(), name, root + "/" + relative, error);
    if (found <= 0)
        return found == 0;
    if (::unlinkat(folder.get(), name.c_str(), 0) != 0 && errno != ENOENT) {
        error = root + "/" + relative + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

bool renameFileBeneath(const std::string& root, const std::string& from, const std::string& to, std::string& error) {
    std::string fromName, toName;
    const FileDescriptor fromFolder = folderBeneath(root, from, fromName, error);
    if (!fromFolder)
        return false;
    const FileDescriptor toFolder = folderBeneath(root, to, toName, error);
    if (!toFolder)
        return false;
    if (regularBeneath(fromFolder.get(), fromName, root + "/" + from, error) <= 0)
        return false;
    if (regularBeneath(toFolder.get(), toName, root + "/" + to, error) < 0)
        return false;
    if (::renameat(fromFolder.get(), fromName.c_str(), toFolder.get(), toName.c_str()) != 0) {
        error = root + "/" + from + ": " + std::strerror(errno);
        return false;
    }
    return true;
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
