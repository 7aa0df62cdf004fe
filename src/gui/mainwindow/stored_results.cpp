#include "gui/mainwindow/stored_results.h"

#include "gui/project/result_files.h"
#include "images/image_io.h"

#include <QSize>

#include <initializer_list>

namespace tavro::gui {

namespace {

// The common size of a group of float files, or an empty size when one of
// them is missing, unreadable or of another size.
QSize groupSize(const QString& projectFolder, const QString& sub, const QString& baseName,
                std::initializer_list<const char*> suffixes) {
    QSize common;
    for (const char* suffix : suffixes) {
        std::uint32_t width = 0, height = 0;
        QString error;
        if (!probeFloatTiff(resultFilePath(projectFolder, sub, baseName, QString::fromLatin1(suffix)), width, height,
                            error))
            return {};
        const QSize size(static_cast<int>(width), static_cast<int>(height));
        if (common.isValid() && size != common)
            return {};
        common = size;
    }
    return common;
}

}  // namespace

StoredResultParts storedResultParts(const QString& projectFolder, const QString& baseName) {
    StoredResultParts parts;
    parts.displacements = groupSize(projectFolder, kDisplacementsFolder, baseName, {"_ux", "_uy"}).isValid();
    if (!parts.displacements)
        return parts;
    parts.strains =
        groupSize(projectFolder, kStrainsFolder, baseName, {"_exx", "_eyy", "_exy", "_e1", "_e2"}).isValid();
    for (const QString& folder : {kFractureFolder, kLegacyFractureFolder})
        parts.fracture = parts.fracture ||
                         groupSize(projectFolder, folder, baseName, {"_cox", "_coy", "_alpha", "_beta"}).isValid();
    return parts;
}

bool readableHeightResult(const QString& projectFolder, const QString& baseName) {
    return groupSize(projectFolder, kHeightFolder, baseName, {"_uz"}).isValid();
}

}  // namespace tavro::gui
