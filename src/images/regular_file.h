#pragma once

#include <QString>

#include <cstdint>

namespace tavro::gui::detail {

// A read-only descriptor on a regular file, or the reason there is none.
// A FIFO, device or socket is refused before it is opened (opening a FIFO
// blocks until a writer appears; a device can be read forever), and the type
// is checked again on the open descriptor so that a path swapped in between
// is caught too.
class RegularFile {
public:
    explicit RegularFile(const QString& path);
    ~RegularFile();
    RegularFile(const RegularFile&) = delete;
    RegularFile& operator=(const RegularFile&) = delete;

    explicit operator bool() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    // Hands the descriptor to a new owner (libtiff, QFile).
    int release();
    std::uint64_t size() const { return size_; }
    // What went wrong, in words a user understands ("The path is a folder").
    const QString& problem() const { return problem_; }

private:
    int fd_ = -1;
    std::uint64_t size_ = 0;
    QString problem_;
};

// Why `path` can name no file (it holds a NUL), or an empty text.
QString invalidNameProblem(const QString& path);

}  // namespace tavro::gui::detail
