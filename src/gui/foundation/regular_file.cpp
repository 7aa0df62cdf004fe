#include "gui/foundation/regular_file.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tavro::gui::detail {

namespace {

QString typeProblem(mode_t mode)
{
    if (S_ISDIR(mode))
        return QStringLiteral("The path is a folder, not a file");
    return QStringLiteral("Not a regular file (a pipe, device or socket)");
}

QString errnoProblem(int code)
{
    if (code == ENOENT)
        return QStringLiteral("File not found");
    return QString::fromLocal8Bit(std::strerror(code));
}

}  // namespace

RegularFile::RegularFile(const QString& path)
{
    const QByteArray name = QFile::encodeName(path);
    struct stat info {};
    if (::stat(name.constData(), &info) != 0) {
        problem_ = errnoProblem(errno);
        return;
    }
    if (!S_ISREG(info.st_mode)) {
        problem_ = typeProblem(info.st_mode);
        return;
    }
    const int fd = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        problem_ = errnoProblem(errno);
        return;
    }
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        problem_ = S_ISREG(info.st_mode) ? errnoProblem(errno) : typeProblem(info.st_mode);
        ::close(fd);
        return;
    }
    fd_ = fd;
    size_ = std::uint64_t(info.st_size);
}

RegularFile::~RegularFile()
{
    if (fd_ >= 0)
        ::close(fd_);
}

int RegularFile::release()
{
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

}  // namespace tavro::gui::detail
