#include "images/regular_file.h"

#include <QFile>

#include <sys/stat.h>
#include <unistd.h>

#include "platform/regular_file.h"

namespace tavro::gui::detail {

QString invalidNameProblem(const QString& path)
{
    if (!path.contains(QChar(0)))
        return {};
    QString shown = path;
    shown.replace(QChar(0), QStringLiteral("\\0"));
    return QStringLiteral("\"%1\" is no valid file name: it holds a NUL character").arg(shown);
}

RegularFile::RegularFile(const QString& path)
{
    // The system would read the name up to its NUL, another file's name.
    problem_ = invalidNameProblem(path);
    if (!problem_.isEmpty())
        return;
    std::string error;
    platform::FileProblem problem = platform::FileProblem::None;
    platform::FileDescriptor fd =
        platform::openRegularFileForReading(QFile::encodeName(path).toStdString(), error, &problem);
    switch (problem) {
    case platform::FileProblem::None:
        break;
    case platform::FileProblem::Missing:
        problem_ = QStringLiteral("File not found");
        return;
    case platform::FileProblem::Folder:
        problem_ = QStringLiteral("The path is a folder, not a file");
        return;
    case platform::FileProblem::Special:
        problem_ = QStringLiteral("Not a regular file (a pipe, device or socket)");
        return;
    case platform::FileProblem::System:
        problem_ = QString::fromLocal8Bit(error.c_str());
        return;
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) {
        problem_ = QStringLiteral("Unable to read the file");
        return;
    }
    size_ = std::uint64_t(info.st_size);
    fd_ = fd.release();
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
