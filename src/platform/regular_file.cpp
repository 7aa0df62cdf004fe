#include "platform/regular_file.h"

#include <cerrno>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tavro::platform {

namespace {

constexpr const char* kNotRegular = "not a regular file";

std::string systemError(int code) { return std::strerror(code); }

// The system reads a name up to its first NUL: "a.tif\0x" would open a.tif.
bool embeddedNul(const std::string& path) { return path.find('\0') != std::string::npos; }

FileProblem typeProblem(mode_t mode) {
    if (S_ISREG(mode))
        return FileProblem::None;
    return S_ISDIR(mode) ? FileProblem::Folder : FileProblem::Special;
}

// The descriptor was opened non-blocking so that a FIFO swapped in after the
// stat could not hold the open; the check is repeated on what was opened.
FileDescriptor checkedRegular(FileDescriptor fd, std::string& error, FileProblem* problem = nullptr) {
    FileProblem ignored;
    FileProblem& why = problem ? *problem : ignored;
    why = FileProblem::System;
    if (!fd) {
        if (errno == ENOENT)
            why = FileProblem::Missing;
        error = systemError(errno);
        return {};
    }
    struct stat info {};
    if (fstat(fd.get(), &info) != 0) {
        error = systemError(errno);
        return {};
    }
    if (!S_ISREG(info.st_mode)) {
        why = typeProblem(info.st_mode);
        error = kNotRegular;
        return {};
    }
    why = FileProblem::None;
    const int flags = fcntl(fd.get(), F_GETFL);
    if (flags < 0 || fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
        error = systemError(errno);
        return {};
    }
    return fd;
}

}  // namespace

FileDescriptor::~FileDescriptor() {
    if (fd_ >= 0)
        ::close(fd_);
}

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = other.release();
    }
    return *this;
}

int FileDescriptor::release() { return std::exchange(fd_, -1); }

std::string nonRegularReason(const std::string& path, bool* exists) {
    if (embeddedNul(path)) {
        if (exists)
            *exists = false;
        return systemError(EINVAL);
    }
    struct stat info {};
    const bool found = ::stat(path.c_str(), &info) == 0;
    const int code = errno;
    if (exists)
        *exists = found;
    if (!found)
        return code == ENOENT ? std::string() : systemError(code);
    return S_ISREG(info.st_mode) ? std::string() : std::string(kNotRegular);
}

FileDescriptor openRegularFileForReading(const std::string& path, std::string& error, FileProblem* problem) {
    FileProblem ignored;
    FileProblem& why = problem ? *problem : ignored;
    if (embeddedNul(path)) {
        why = FileProblem::System;
        error = systemError(EINVAL);
        return {};
    }
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        why = errno == ENOENT ? FileProblem::Missing : FileProblem::System;
        error = systemError(errno);
        return {};
    }
    why = typeProblem(info.st_mode);
    if (why != FileProblem::None) {
        error = kNotRegular;
        return {};
    }
    return checkedRegular(FileDescriptor(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)), error, &why);
}

FileDescriptor openRegularFileForAppending(const std::string& path, unsigned mode, std::string& error) {
    if (embeddedNul(path)) {
        error = systemError(EINVAL);
        return {};
    }
    struct stat info {};
    if (::lstat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
        error = S_ISLNK(info.st_mode) ? "a symbolic link" : kNotRegular;
        return {};
    }
    const int fd = ::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                          static_cast<mode_t>(mode));
    return checkedRegular(FileDescriptor(fd), error);
}

bool readAtMost(int fd, std::size_t maxBytes, std::string& out, std::string& error) {
    out.clear();
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            error = systemError(errno);
            return false;
        }
        if (got == 0)
            return true;
        if (out.size() + static_cast<std::size_t>(got) > maxBytes) {
            error = "larger than " + std::to_string(maxBytes) + " bytes";
            out.clear();
            return false;
        }
        out.append(buffer, static_cast<std::size_t>(got));
    }
}

}  // namespace tavro::platform
