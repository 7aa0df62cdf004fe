#pragma once

#include <QSaveFile>
#include <QString>

namespace tavro::gui {

// Puts a QSaveFile in place only when every byte reached the disk: commit()
// alone renames a short file into place when the last buffered write failed
// (a full disk, a size limit). `written` is the caller's own check of its
// writes. On failure the old file stays and `error` says why.
bool commitSaveFile(QSaveFile& file, bool written, QString& error);

}  // namespace tavro::gui
