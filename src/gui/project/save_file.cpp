#include "gui/project/save_file.h"

#include <cerrno>

namespace tavro::gui {

namespace {

// A short write (file size limit, full disk) leaves Qt's text at "Unknown
// error"; the system's own reason is what the user can act on.
QString failureReason(const QSaveFile& file, int code) {
    const QString text = file.errorString();
    if (code != 0 && (text.isEmpty() || text == QLatin1String("Unknown error")))
        return qt_error_string(code);
    return text.isEmpty() ? QStringLiteral("the file could not be written") : text;
}

}  // namespace

bool commitSaveFile(QSaveFile& file, bool written, QString& error) {
    // A failed write left its reason in errno; a failed flush leaves its own.
    int code = errno;
    bool flushed = false;
    if (written) {
        errno = 0;
        flushed = file.flush();
        code = errno;
    }
    if (!flushed || file.error() != QFileDevice::NoError) {
        error = failureReason(file, code);
        file.cancelWriting();
        file.commit();
        return false;
    }
    errno = 0;
    if (!file.commit()) {
        error = failureReason(file, errno);
        return false;
    }
    return true;
}

}  // namespace tavro::gui
