#include "gui/project/folder_write_check.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryFile>

#include <cerrno>

namespace tavro::gui {

namespace {

// Enough bytes to reach the disk through the buffers of a flush.
constexpr int kProbeBytes = 64;

QString reason(const QFileDevice& file, int code) {
    const QString text = file.errorString();
    if (code != 0 && (text.isEmpty() || text == QLatin1String("Unknown error")))
        return qt_error_string(code);
    return text.isEmpty() ? QStringLiteral("the file could not be written") : text;
}

}  // namespace

bool probeFolderWritable(const QString& folder, QString& error) {
    if (!QFileInfo(folder).isDir()) {
        error = QStringLiteral("%1: not a folder").arg(QDir::toNativeSeparators(folder));
        return false;
    }
    QTemporaryFile probe(QDir(folder).filePath(QStringLiteral(".tavro_write_test_XXXXXX")));
    errno = 0;
    if (!probe.open()) {
        error = QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(folder), reason(probe, errno));
        return false;
    }
    errno = 0;
    const bool written = probe.write(QByteArray(kProbeBytes, '\0')) == kProbeBytes && probe.flush();
    if (!written || probe.error() != QFileDevice::NoError) {
        error = QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(folder), reason(probe, errno));
        return false;
    }
    return true;
}

bool probeProjectWritable(const QString& projectFolder, const QStringList& resultFolders, QString& error) {
    if (!probeFolderWritable(projectFolder, error))
        return false;
    const QDir root(projectFolder);
    for (const QString& name : resultFolders)
        if (root.exists(name) && !probeFolderWritable(root.filePath(name), error))
            return false;
    return true;
}

}  // namespace tavro::gui
