#pragma once

#include <QString>
#include <QStringList>

namespace tavro::gui {

// Writes, flushes and removes a small file in `folder`: permissions, read-only
// mounts, quotas and size limits all show in a real write, and root passes
// every permission check. `error` names the folder and the system's reason.
bool probeFolderWritable(const QString& folder, QString& error);

// The project folder, then each of `resultFolders` inside it that exists (a
// missing one is created by the run inside the folder just tested).
bool probeProjectWritable(const QString& projectFolder, const QStringList& resultFolders, QString& error);

}  // namespace tavro::gui
