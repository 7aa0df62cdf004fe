#pragma once
// Opening files named by users or found in shared folders without blocking on
// a FIFO, reading a device without end or writing through a planted link.

#include <cstddef>
#include <string>

namespace tavro::platform {

class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor();
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept;
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int get() const { return fd_; }
    int release();
    explicit operator bool() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

// Why a path could not be opened as a regular file, for callers that word it
// for users themselves.
enum class FileProblem { None, Missing, Folder, Special, System };

// An existing regular file, read-only. A FIFO, device, socket or directory is
// refused before an open could block on it; `error` says why.
FileDescriptor openRegularFileForReading(const std::string& path, std::string& error,
                                         FileProblem* problem = nullptr);

// Opens for appending (and reading back what was written), creating the file
// with `mode` when it is missing. Never
// follows a symbolic link in the last component and refuses anything but a
// regular file, so a link planted under the name cannot redirect the writes.
FileDescriptor openRegularFileForAppending(const std::string& path, unsigned mode, std::string& error);

// The rest of the file from the current offset; fails, without reading on,
// once it holds more than `maxBytes`.
bool readAtMost(int fd, std::size_t maxBytes, std::string& out, std::string& error);

// "not a regular file" for an existing path that is anything else, following
// links; empty for a regular file or a missing path (for which `exists` is
// false), else the reason stat gave.
std::string nonRegularReason(const std::string& path, bool* exists = nullptr);

}  // namespace tavro::platform
