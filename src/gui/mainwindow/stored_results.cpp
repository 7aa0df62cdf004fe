#include "gui/mainwindow/stored_results.h"

#include "gui/project/result_files.h"
#include "images/image_io.h"

#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QSize>

#include <cmath>
#include <initializer_list>
#include <limits>

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

// A group some of whose files exist and some not: the existing ones.
QStringList partsWithoutTheirGroup(const QString& projectFolder, const QString& sub, const QString& baseName,
                                   std::initializer_list<const char*> suffixes) {
    QStringList present;
    for (const char* suffix : suffixes) {
        const QString path = resultFilePath(projectFolder, sub, baseName, QString::fromLatin1(suffix));
        if (QFileInfo::exists(path))
            present << QFileInfo(path).fileName();
    }
    return present.size() < static_cast<qsizetype>(suffixes.size()) ? present : QStringList();
}

const char* rigidShiftKey(int component) { return component == 0 ? "rigidShiftX" : "rigidShiftY"; }

}  // namespace

StoredResultParts storedResultParts(const QString& projectFolder, const QString& baseName) {
    StoredResultParts parts;
    parts.incomplete = partsWithoutTheirGroup(projectFolder, kDisplacementsFolder, baseName, {"_ux", "_uy"});
    parts.displacements = groupSize(projectFolder, kDisplacementsFolder, baseName, {"_ux", "_uy"}).isValid();
    if (!parts.displacements)
        return parts;
    parts.incomplete << partsWithoutTheirGroup(projectFolder, kStrainsFolder, baseName,
                                               {"_exx", "_eyy", "_exy", "_e1", "_e2"});
    parts.strains =
        groupSize(projectFolder, kStrainsFolder, baseName, {"_exx", "_eyy", "_exy", "_e1", "_e2"}).isValid();
    // Only the folder whose files are read: the crack folder, or the older
    // one when the crack folder holds no first map.
    const bool current =
        QFileInfo::exists(resultFilePath(projectFolder, kFractureFolder, baseName, QStringLiteral("_cox")));
    for (const QString& folder : {kFractureFolder, kLegacyFractureFolder}) {
        if (folder == kFractureFolder || !current)
            parts.incomplete << partsWithoutTheirGroup(projectFolder, folder, baseName,
                                                       {"_cox", "_coy", "_alpha", "_beta"});
        parts.fracture = parts.fracture ||
                         groupSize(projectFolder, folder, baseName, {"_cox", "_coy", "_alpha", "_beta"}).isValid();
    }
    return parts;
}

bool readableHeightResult(const QString& projectFolder, const QString& baseName) {
    return groupSize(projectFolder, kHeightFolder, baseName, {"_uz"}).isValid();
}

QByteArray rigidShiftDescription(int component, float shift) {
    QJsonObject object;
    object.insert(QLatin1String(rigidShiftKey(component)), static_cast<double>(shift));
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

std::optional<float> rigidShiftFromDescription(int component, const QByteArray& description) {
    const QJsonDocument document = QJsonDocument::fromJson(description);
    const QJsonValue value = document.object().value(QLatin1String(rigidShiftKey(component)));
    if (!document.isObject() || !value.isDouble())
        return std::nullopt;
    const double shift = value.toDouble();
    if (!(std::abs(shift) <= static_cast<double>(std::numeric_limits<float>::max())))
        return std::nullopt;
    return static_cast<float>(shift);
}

std::optional<std::array<float, 2>> storedRigidShift(const QString& projectFolder, const QString& baseName) {
    std::array<float, 2> shift{};
    for (int c = 0; c < 2; ++c) {
        QByteArray description;
        const QString path = resultFilePath(projectFolder, kDisplacementsFolder, baseName,
                                            QString::fromLatin1(c == 0 ? "_ux" : "_uy"));
        if (!readFloatTiffDescription(path, description))
            return std::nullopt;
        const std::optional<float> component = rigidShiftFromDescription(c, description);
        if (!component)
            return std::nullopt;
        shift[static_cast<std::size_t>(c)] = *component;
    }
    return shift;
}

void adoptStoredRigidShift(const QString& projectFolder, const QString& baseName, ComputationResult& result) {
    if (!result.display.rigidShiftUnknown)
        return;
    if (const std::optional<std::array<float, 2>> shift = storedRigidShift(projectFolder, baseName)) {
        result.rigid.shiftX = (*shift)[0];
        result.rigid.shiftY = (*shift)[1];
        result.display.rigidShiftUnknown = false;
    }
}

}  // namespace tavro::gui
