#include "gui/project/project_parameters.h"
#include "platform/replaced_file.h"

#include <QFile>

#include <cmath>

namespace tavro::gui {

namespace {

QString indent(int level) { return QString(level * 4, QLatin1Char(' ')); }

// JSON has no NaN or infinity; null reads back as the key's default.
QString number(double value, int digits = 6) {
    if (!std::isfinite(value))
        return QStringLiteral("null");
    return QString::number(value, 'g', digits);
}

QString boolean(bool value) { return value ? QStringLiteral("true") : QStringLiteral("false"); }

QString quoted(const QString& text) { return QLatin1Char('"') + escapeJson(text) + QLatin1Char('"'); }

QString quoted(const std::string& text) { return quoted(QString::fromStdString(text)); }

QString member(const char* key, const QString& value) {
    return QLatin1Char('"') + QLatin1String(key) + QStringLiteral("\": ") + value;
}

// An array whose elements each start a line one level deeper; elements are
// already formatted for that level.
QString blockArray(const QStringList& elements, int level) {
    if (elements.isEmpty())
        return QStringLiteral("[]");
    QString text = QStringLiteral("[");
    for (int i = 0; i < elements.size(); ++i) {
        if (i > 0)
            text += QLatin1Char(',');
        text += QLatin1Char('\n') + indent(level + 1) + elements[i];
    }
    return text + QLatin1Char('\n') + indent(level) + QLatin1Char(']');
}

QString pathArray(const QStringList& paths, const QDir& baseDir, int level);

QString relativePath(const QString& path, const QDir& baseDir) {
    return path.isEmpty() ? path : baseDir.relativeFilePath(path);
}

QString pathArray(const QStringList& paths, const QDir& baseDir, int level) {
    QStringList elements;
    for (const QString& path : paths)
        elements << quoted(relativePath(path, baseDir));
    return blockArray(elements, level);
}

QString stateArray(const QList<QStringList>& states, const QDir& baseDir, int level) {
    QStringList elements;
    for (const QStringList& state : states)
        elements << pathArray(state, baseDir, level + 1);
    return blockArray(elements, level);
}

template <typename Values>
QString inlineArray(const Values& values, int digits = 6) {
    QStringList parts;
    for (const auto value : values)
        parts << number(static_cast<double>(value), digits);
    return QLatin1Char('[') + parts.join(QStringLiteral(", ")) + QLatin1Char(']');
}

// Kernel coefficients and tile placements keep nine digits: six would lose
// whole pixels beyond 1e5 px.
QString kernelObject(const NamedKernel& kernel) {
    return QStringLiteral("{\"name\": %1, \"coefficients\": %2}")
        .arg(quoted(kernel.name), inlineArray(kernel.coefficients, 9));
}

QString criterionObject(const StrainCriterion& criterion) {
    return QStringLiteral("{\"name\": %1, \"expression\": %2, \"enabled\": %3}")
        .arg(quoted(criterion.name), quoted(criterion.expression), boolean(criterion.enabled));
}

QString tilePositionObject(const ProjectTilePosition& tile) {
    const QRect bounds = tile.bounds.value_or(QRect());
    return QStringLiteral("{\"row\": %1, \"col\": %2, \"tileIndex\": %3, \"isPresent\": %4, \"tx\": %5, \"ty\": %6, "
                          "\"rotation\": %7, \"bounds\": {\"x\": %8, \"y\": %9, \"w\": %10, \"h\": %11}}")
        .arg(tile.row)
        .arg(tile.col)
        .arg(tile.tileIndex)
        .arg(boolean(tile.isPresent), number(tile.tx, 9), number(tile.ty, 9), number(tile.rotation, 9))
        .arg(bounds.x())
        .arg(bounds.y())
        .arg(bounds.width())
        .arg(bounds.height());
}

QString tilePositionArray(const std::vector<ProjectTilePosition>& tiles, int level) {
    QStringList elements;
    for (const ProjectTilePosition& tile : tiles)
        elements << tilePositionObject(tile);
    return blockArray(elements, level);
}

// Members of one object, one per line, commas between them.
QString objectBody(const QStringList& members, int level) {
    QString text;
    for (int i = 0; i < members.size(); ++i)
        text += indent(level) + members[i] + (i + 1 < members.size() ? QStringLiteral(",\n") : QStringLiteral("\n"));
    return text;
}

QString object(const QStringList& members, int level) {
    return QStringLiteral("{\n") + objectBody(members, level + 1) + indent(level) + QLatin1Char('}');
}

QString strainObject(const StrainParameters& strain) {
    QStringList derivative, smoothing, criteria;
    for (const NamedKernel& kernel : strain.derivativeKernels)
        derivative << kernelObject(kernel);
    for (const NamedKernel& kernel : strain.smoothingKernels)
        smoothing << kernelObject(kernel);
    for (const StrainCriterion& criterion : strain.criteria)
        criteria << criterionObject(criterion);
    return object({member("derivativeKernels", blockArray(derivative, 2)),
                   member("smoothingKernels", blockArray(smoothing, 2)),
                   member("selectedDerivativeKernelIndex", QString::number(strain.selectedDerivativeKernelIndex)),
                   member("selectedSmoothingKernelIndex", QString::number(strain.selectedSmoothingKernelIndex)),
                   member("criteria", blockArray(criteria, 2))},
                  1);
}

QString mosaicObject(const MosaicParameters& mosaic, const QDir& baseDir) {
    QStringList states;
    for (const auto& state : mosaic.defTilePositionsStates)
        states << tilePositionArray(state, 3);
    const QSize finalSize = mosaic.finalSize.value_or(QSize(0, 0));
    return object({member("enabled", boolean(mosaic.enabled)),
                   member("batchTileMode", boolean(mosaic.batchTileMode)),
                   member("gridRows", QString::number(mosaic.gridRows)),
                   member("gridCols", QString::number(mosaic.gridCols)),
                   member("overlapX", QString::number(mosaic.overlapX)),
                   member("overlapY", QString::number(mosaic.overlapY)),
                   member("scanOrderIndex", QString::number(mosaic.scanOrderIndex)),
                   member("usePhaseCorrelation", boolean(mosaic.usePhaseCorrelation)),
                   member("allowMissingTiles", boolean(mosaic.allowMissingTiles)),
                   member("missingTilePositions", quoted(mosaic.missingTilePositions)),
                   member("refineNonRigid", boolean(mosaic.refineNonRigid)),
                   member("tileCropX", QString::number(mosaic.tileCrop.x())),
                   member("tileCropY", QString::number(mosaic.tileCrop.y())),
                   member("tileCropWidth", QString::number(mosaic.tileCrop.width())),
                   member("tileCropHeight", QString::number(mosaic.tileCrop.height())),
                   member("finalWidth", QString::number(finalSize.width())),
                   member("finalHeight", QString::number(finalSize.height())),
                   member("referenceTiles", pathArray(mosaic.referenceTiles, baseDir, 2)),
                   member("deformedStates", stateArray(mosaic.deformedStates, baseDir, 2)),
                   member("numberOfStates", QString::number(mosaic.deformedStates.size())),
                   member("tilesPerState",
                          QString::number(mosaic.deformedStates.isEmpty() ? 0 : mosaic.deformedStates.front().size())),
                   member("refTilePositions", tilePositionArray(mosaic.refTilePositions, 2)),
                   member("defTilePositions", tilePositionArray(mosaic.defTilePositions, 2)),
                   member("defTilePositionsStates", blockArray(states, 2))},
                  1);
}

QString heightObject(const HeightParameters& heights, const QDir& baseDir) {
    return object({member("referenceTiles", pathArray(heights.referenceTiles, baseDir, 2)),
                   member("deformedStates", stateArray(heights.deformedStates, baseDir, 2)),
                   member("currentStateIndex", QString::number(heights.currentStateIndex)),
                   member("numberOfStates", QString::number(heights.deformedStates.size())),
                   member("hasResult", boolean(heights.hasResult)),
                   member("saveFullImage", boolean(heights.saveFullImage))},
                  1);
}

QString pair(const char* first, float a, const char* second, float b) {
    return member(first, number(a)) + QStringLiteral(", ") + member(second, number(b));
}

using NamedRanges = std::vector<std::pair<QString, std::array<float, 2>>>;

// The hand-set ranges of a block on one line, keyed by component index or
// criterion name; nothing when every range is automatic.
void addManualRanges(QStringList& members, const char* key, const NamedRanges& ranges) {
    if (ranges.empty())
        return;
    QStringList ranged;
    for (const auto& [name, range] : ranges)
        ranged << quoted(name) + QStringLiteral(": ") + inlineArray(range);
    members << member(key, QLatin1Char('{') + ranged.join(QStringLiteral(", ")) + QLatin1Char('}'));
}

template <std::size_t N>
NamedRanges byIndex(const std::array<std::optional<std::array<float, 2>>, N>& ranges) {
    NamedRanges out;
    for (std::size_t i = 0; i < N; ++i)
        if (ranges[i])
            out.emplace_back(QString::number(i), *ranges[i]);
    return out;
}

QString resultEntry(const ResultRangeEntry& entry) {
    QStringList members{pair("minUx", entry.minUx, "maxUx", entry.maxUx),
                        pair("autoMinUx", entry.autoMinUx, "autoMaxUx", entry.autoMaxUx),
                        pair("minUy", entry.minUy, "maxUy", entry.maxUy),
                        pair("autoMinUy", entry.autoMinUy, "autoMaxUy", entry.autoMaxUy)};
    if (entry.manualUx)
        members << member("manualUx", inlineArray(*entry.manualUx));
    if (entry.manualUy)
        members << member("manualUy", inlineArray(*entry.manualUy));
    if (entry.rigidShift && ((*entry.rigidShift)[0] != 0.0f || (*entry.rigidShift)[1] != 0.0f))
        members << pair("rigidShiftX", (*entry.rigidShift)[0], "rigidShiftY", (*entry.rigidShift)[1]);
    if (entry.hasStrain) {
        members << member("hasStrain", boolean(true)) << member("strainMin", inlineArray(entry.strainMin))
                << member("strainMax", inlineArray(entry.strainMax))
                << member("strainAutoMin", inlineArray(entry.strainAutoMin))
                << member("strainAutoMax", inlineArray(entry.strainAutoMax));
        addManualRanges(members, "manualStrain", byIndex(entry.manualStrain));
        NamedRanges criteria;
        for (const auto& [name, range] : entry.manualCriteria)
            criteria.emplace_back(QString::fromStdString(name), range);
        addManualRanges(members, "manualCriteria", criteria);
    }
    if (entry.hasFracture) {
        members << member("hasFracture", boolean(true)) << member("fractureMin", inlineArray(entry.fractureMin))
                << member("fractureMax", inlineArray(entry.fractureMax))
                << member("fractureAutoMin", inlineArray(entry.fractureAutoMin))
                << member("fractureAutoMax", inlineArray(entry.fractureAutoMax));
        addManualRanges(members, "manualFracture", byIndex(entry.manualFracture));
    }
    if (entry.geometry) {
        const ResultGeometry& g = *entry.geometry;
        const std::array<int, 14> values{g.roi.x(),       g.roi.y(),       g.roi.width(), g.roi.height(), g.stepX,
                                         g.stepY,         g.windowSizeX,   g.windowSizeY, g.marginX,      g.marginY,
                                         g.imageWidth,    g.imageHeight,   g.gridWidth,   g.gridHeight};
        members << member("gridGeometry", inlineArray(values, 10));
    }
    return indent(2) + quoted(QString::number(entry.index)) + QStringLiteral(": ") + object(members, 2);
}

QString heightEntry(const HeightRangeEntry& entry) {
    QStringList members{pair("minUz", entry.minUz, "maxUz", entry.maxUz),
                        pair("autoMin", entry.autoMin, "autoMax", entry.autoMax)};
    if (entry.manualUz)
        members << member("manualUz", inlineArray(*entry.manualUz));
    return indent(2) + quoted(QString::number(entry.index)) + QStringLiteral(": ") + object(members, 2);
}

// A cache without entries still opens and closes on lines of its own.
QString cacheObject(const QStringList& entries) {
    return QStringLiteral("{\n") + entries.join(QStringLiteral(",\n")) + QLatin1Char('\n') + indent(1) +
           QLatin1Char('}');
}

}  // namespace

QString escapeJson(const QString& text) {
    QString out;
    out.reserve(text.size() + 8);
    for (const QChar c : text) {
        switch (c.unicode()) {
        case '\\': out += QStringLiteral("\\\\"); break;
        case '"': out += QStringLiteral("\\\""); break;
        case '\n': out += QStringLiteral("\\n"); break;
        case '\r': out += QStringLiteral("\\r"); break;
        case '\t': out += QStringLiteral("\\t"); break;
        default:
            // Raw control characters are not valid inside a JSON string.
            if (c.unicode() < 0x20)
                out += QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
            else
                out += c;
        }
    }
    return out;
}

QByteArray formatProjectParameters(const ProjectParameters& p, const QDir& baseDir) {
    QStringList members{member("projectFolder", quoted(p.projectFolder))};
    if (!p.referenceImage.isEmpty())
        members << member("referenceImage", quoted(relativePath(p.referenceImage, baseDir)));
    const bool mosaicMode = p.mosaic && p.mosaic->enabled;
    members << member("deformedImages", pathArray(mosaicMode ? QStringList() : p.deformedImages, baseDir, 1))
            << member("useMask", boolean(p.useMask.value_or(false)));
    if (!p.maskImage.isEmpty())
        members << member("maskImage", quoted(relativePath(p.maskImage, baseDir)));
    members << member("roi", object({member("x", QString::number(p.roi.x())), member("y", QString::number(p.roi.y())),
                                     member("width", QString::number(p.roi.width())),
                                     member("height", QString::number(p.roi.height()))},
                                    1))
            << member("windowSizeX", QString::number(p.windowSizeX))
            << member("windowSizeY", QString::number(p.windowSizeY)) << member("stepX", QString::number(p.stepX))
            << member("stepY", QString::number(p.stepY))
            << member("maxU", QString::number(std::max(p.searchUp, p.searchDown)))
            << member("maxV", QString::number(std::max(p.searchLeft, p.searchRight)))
            << member("searchUp", QString::number(p.searchUp)) << member("searchDown", QString::number(p.searchDown))
            << member("searchLeft", QString::number(p.searchLeft))
            << member("searchRight", QString::number(p.searchRight))
            << member("dofIndex", QString::number(p.dofIndex))
            << member("interpolationIndex", QString::number(p.interpolationIndex))
            << member("epsilon", number(p.epsilon)) << member("maxIterations", QString::number(p.maxIterations))
            << member("fractureOpeningMin", number(p.fractureOpeningMin))
            << member("fractureRidgeThickness", QString::number(p.fractureRidgeThickness))
            << member("enableTwinning", boolean(p.enableTwinning))
            << member("maxJumpAmplitude", QString::number(p.maxJumpAmplitude))
            << member("enableNLC", boolean(p.enableNLC)) << member("saveFullImage", boolean(p.saveFullImage))
            << member("strain", strainObject(p.strain.value_or(StrainParameters())))
            << member("mosaic", mosaicObject(p.mosaic.value_or(MosaicParameters()), baseDir))
            << member("heightFields", heightObject(p.heightFields.value_or(HeightParameters()), baseDir));
    QStringList results, otherResults, heights, otherHeights;
    // Every entry given is written: one whose ranges are all zero still holds a rigid shift.
    for (const ResultRangeEntry& entry : p.resultCache)
        results << resultEntry(entry);
    for (const ResultRangeEntry& entry : p.otherAssemblyResultCache)
        otherResults << resultEntry(entry);
    for (const HeightRangeEntry& entry : p.heightCache)
        heights << heightEntry(entry);
    for (const HeightRangeEntry& entry : p.otherAssemblyHeightCache)
        otherHeights << heightEntry(entry);
    members << member("resultCache", cacheObject(results));
    // Absent unless both assemblies hold results: files stay as they were otherwise.
    if (!otherResults.isEmpty())
        members << member("otherAssemblyResultCache", cacheObject(otherResults));
    members << member("heightCache", cacheObject(heights));
    if (!otherHeights.isEmpty())
        members << member("otherAssemblyHeightCache", cacheObject(otherHeights));
    return (object(members, 0) + QLatin1Char('\n')).toUtf8();
}

bool writeProjectParametersFile(const QString& path, const ProjectParameters& parameters, QString& error) {
    const QByteArray text = formatProjectParameters(parameters, QFileInfo(path).absoluteDir());
    // A file the reader refuses would be a project saved for good that can
    // never be opened again; the last one that can stays.
    if (static_cast<std::size_t>(text.size()) > kMaxParametersFileBytes) {
        error = QStringLiteral("%1 would be larger than %2 bytes, too large to be opened again")
                    .arg(QFileInfo(path).fileName())
                    .arg(kMaxParametersFileBytes);
        return false;
    }
    std::string reason;
    // The project folder is the file's own; a link planted there may not
    // lead the save out of it.
    if (!platform::replaceFileContents(QFile::encodeName(path).toStdString(),
                                       std::string_view(text.constData(), static_cast<std::size_t>(text.size())),
                                       reason, QFile::encodeName(QFileInfo(path).absolutePath()).toStdString())) {
        error = QString::fromLocal8Bit(reason);
        return false;
    }
    return true;
}

}  // namespace tavro::gui
