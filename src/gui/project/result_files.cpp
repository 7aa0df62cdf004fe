#include "gui/project/result_files.h"

#include "platform/replaced_file.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSet>

#include <algorithm>

namespace tavro::gui {

const QStringList& resultFolderNames() {
    static const QStringList names{kDisplacementsFolder, kStrainsFolder, kFractureFolder, kLegacyFractureFolder,
                                   kHeightFolder};
    return names;
}

QString criterionSlug(const QString& name) {
    QString slug = name.toLower();
    slug.replace(QLatin1Char(' '), QLatin1Char('_'));
    QString kept;
    for (const QChar c : slug)
        if ((c >= QLatin1Char('a') && c <= QLatin1Char('z')) || (c >= QLatin1Char('0') && c <= QLatin1Char('9')) ||
            c == QLatin1Char('_'))
            kept += c;
    return kept;
}

QString resultFilePath(const QString& projectFolder, const QString& sub, const QString& baseName,
                       const QString& suffix) {
    return projectFolder + QLatin1Char('/') + sub + QLatin1Char('/') + baseName + suffix + QStringLiteral(".tif");
}

QStringList resultFilesOf(const QString& baseName, const QStringList& criterionSlugs, ResultKinds kinds) {
    QStringList files;
    if (baseName.isEmpty())
        return files;
    const auto add = [&](const QString& folder, const QString& suffix) {
        files << folder + QLatin1Char('/') + baseName + suffix + QStringLiteral(".tif");
    };
    if ((static_cast<int>(kinds) & static_cast<int>(ResultKinds::Correlation)) != 0) {
        for (const char* suffix : kDisplacementSuffixes)
            add(kDisplacementsFolder, QString::fromLatin1(suffix));
        for (const char* suffix : kStrainSuffixes)
            add(kStrainsFolder, QString::fromLatin1(suffix));
        for (const QString& slug : criterionSlugs)
            if (!slug.isEmpty())
                add(kStrainsFolder, QLatin1Char('_') + slug);
        for (const QString& folder : {kFractureFolder, kLegacyFractureFolder})
            for (const char* suffix : kFractureSuffixes)
                add(folder, QString::fromLatin1(suffix));
        // The maps derived along the crack lines sit beside the raw ones.
        for (const char* suffix : kFractureSuffixes)
            add(kFractureFolder, QString::fromLatin1(suffix) + kDerivedSuffix);
    }
    if ((static_cast<int>(kinds) & static_cast<int>(ResultKinds::Height)) != 0)
        add(kHeightFolder, QStringLiteral("_uz"));
    files.removeDuplicates();
    return files;
}

bool removeProjectFiles(const QString& projectFolder, const QStringList& gone, const QStringList& kept) {
    if (projectFolder.isEmpty())
        return true;
    const QSet<QString> keptSet(kept.begin(), kept.end());
    const std::string root = QFile::encodeName(projectFolder).toStdString();
    bool ok = true;
    for (const QString& file : gone) {
        if (keptSet.contains(file))
            continue;
        std::string error;
        if (!platform::removeFileBeneath(root, QFile::encodeName(file).toStdString(), error)) {
            qWarning().noquote() << "[Project]" << QString::fromStdString(error);
            ok = false;
        }
    }
    return ok;
}

QStringList existingResultFiles(const QString& projectFolder) {
    QStringList files;
    if (projectFolder.isEmpty())
        return files;
    for (const QString& name : resultFolderNames()) {
        const QDir folder(projectFolder + QLatin1Char('/') + name);
        if (!folder.exists())
            continue;
        for (const QString& file : folder.entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Unsorted))
            if (!platform::isLeftoverTemporaryName(QFile::encodeName(file).toStdString()))
                files << folder.filePath(file);
    }
    return files;
}

int removeLeftoverTemporaryFiles(const QString& projectFolder) {
    if (projectFolder.isEmpty())
        return 0;
    int removed = 0;
    QStringList folders{projectFolder};
    for (const QString& name : resultFolderNames())
        folders << projectFolder + QLatin1Char('/') + name;
    for (const QString& path : folders) {
        const QDir folder(path);
        // Links are not followed: only a file of our own is removed.
        for (const QString& file : folder.entryList(QDir::Files | QDir::Hidden | QDir::NoSymLinks, QDir::Unsorted))
            if (platform::isLeftoverTemporaryName(QFile::encodeName(file).toStdString()) &&
                QFile::remove(folder.filePath(file)))
                ++removed;
    }
    if (removed > 0)
        qDebug().noquote() << "[Project]" << removed << "temporary file(s) of interrupted writes removed";
    return removed;
}

QStringList clashingResultNames(const QStringList& baseNames) {
    QHash<QString, int> count;
    for (const QString& name : baseNames)
        ++count[name.toLower()];
    QStringList clashing;
    for (const QString& name : baseNames)
        if (count.value(name.toLower()) > 1 && !clashing.contains(name))
            clashing << name;
    return clashing;
}

bool fullImageGridLayout(int gridWidth, int gridHeight, const ResultGeometry& g, GridCanvas& canvas) {
    if (gridWidth < 1 || gridHeight < 1 || g.imageWidth < 1 || g.imageHeight < 1 || g.stepX < 1 || g.stepY < 1)
        return false;
    const int offsetX = std::max(0, (g.roi.x() + g.windowSizeX / 2 + g.marginX) / g.stepX);
    const int offsetY = std::max(0, (g.roi.y() + g.windowSizeY / 2 + g.marginY) / g.stepY);
    canvas.offsetX = offsetX;
    canvas.offsetY = offsetY;
    canvas.width = std::max(offsetX + gridWidth, (g.imageWidth - 1 + g.stepX) / g.stepX);
    canvas.height = std::max(offsetY + gridHeight, (g.imageHeight - 1 + g.stepY) / g.stepY);
    return canvas.width > gridWidth || canvas.height > gridHeight;
}

}  // namespace tavro::gui
