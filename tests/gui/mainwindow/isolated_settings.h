#pragma once

#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>

namespace tavro::gui {

// ctest runs the cases of a file as parallel processes: each keeps its
// settings (the remembered project folder) in a folder of its own.
inline void isolateSettings() {
    QStandardPaths::setTestModeEnabled(true);
    static const QTemporaryDir own;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, own.path());
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, own.path());
}

}  // namespace tavro::gui
