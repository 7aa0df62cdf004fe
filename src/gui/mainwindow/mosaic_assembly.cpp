#include "gui/mainwindow/mosaic_assembly.h"

#include "stitching/mosaic_stitcher.h"

#include <QDebug>
#include <QStringList>

#include <vector>

namespace tavro::gui {

namespace {

// GCC 12 at -O3 takes the copy of the options' QList initializer lists, once
// inlined here, for a read of uninitialised memory; the lists are constants.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
stitching::StitchingOptions optionsFor(const MosaicAssemblyJob& job) {
    stitching::StitchingOptions options;
    options.gridRows = job.config.rows;
    options.gridCols = job.config.cols;
    options.overlapX = job.config.overlapX;
    options.overlapY = job.config.overlapY;
    options.scanOrder = job.config.scanOrder;
    options.allowMissingTiles = job.config.allowMissingTiles;
    options.missingTilePositions = job.config.missingTilePositions;
    options.usePhaseCorrelation = job.config.phaseCorrelation;
    options.nominalPositionsOnly = false;
    options.reservedSwitch = false;
    options.refineNonRigid = job.config.nonRigid;
    if (job.config.crop.isValid() && !job.config.crop.isEmpty()) {
        options.cropX = job.config.crop.x();
        options.cropY = job.config.crop.y();
        options.cropWidth = job.config.crop.width();
        options.cropHeight = job.config.crop.height();
    }
    return options;
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

std::vector<QString> toVector(const QStringList& paths) { return std::vector<QString>(paths.begin(), paths.end()); }

}  // namespace

StitchingResult assembleMosaics(const MosaicAssemblyJob& job, const MosaicAssemblyCallbacks& callbacks) {
    StitchingResult result;
    const auto cancelled = [&job] { return job.cancel && job.cancel->load(); };
    const auto stage = [&](int percent, const QString& text) {
        if (callbacks.stage)
            callbacks.stage(percent, text);
    };
    const auto status = [&](const QString& text) {
        if (callbacks.status)
            callbacks.status(text);
    };
    std::vector<int> filledStates;
    for (int s = 0; s < job.config.stateTiles.size(); ++s)
        if (!job.config.stateTiles[s].isEmpty())
            filledStates.push_back(s);
    const int n = static_cast<int>(filledStates.size());
    const int total = 1 + n;

    stitching::MosaicStitcher stitcher;
    stitcher.options = optionsFor(job);
    if (cancelled()) {
        result.cancelled = true;
        return result;
    }

    const int referenceCount = static_cast<int>(job.config.referenceTiles.size());
    stage(0, job.forCorrelation ? QStringLiteral("Assembling reference mosaic...")
                                : QStringLiteral("Assembling reference (0/%1 tiles)...").arg(referenceCount));
    stitching::StitchOutput reference;
    const bool referenceOk = stitcher.stitch(toVector(job.config.referenceTiles), reference, cancelled, [&](int done, int all) {
        status(QStringLiteral("Assembling reference (%1/%2 tiles)...").arg(done).arg(all));
    });
    if (!referenceOk) {
        if (cancelled())
            result.cancelled = true;
        else
            result.errorMessage = QStringLiteral("Unable to assemble reference mosaic:\n%1").arg(reference.error);
        return result;
    }
    stage(100 / total, QStringLiteral("Reference completed (%1/%2)").arg(1).arg(total));
    if (cancelled()) {
        result.cancelled = true;
        return result;
    }
    result.referenceMosaic = reference.mosaic;
    result.referencePositions = reference.positions;
    result.refinementInfo = reference.information;
    result.statusText = reference.status;
    result.detectedScanOrder = reference.detectedScanOrder;
    result.scanOrderAutoDetected = reference.scanOrderAutoDetected;
    if (job.forCorrelation && !reference.status.isEmpty())
        stage(100 / total, QStringLiteral("Reference mosaic assembled"));
    qInfo() << "[Mosaic] Deformed states: independent alignment";
    for (int state : filledStates)
        result.stateIndices.append(static_cast<quint64>(state));

    for (int j = 1; j <= n; ++j) {
        if (cancelled()) {
            result.cancelled = true;
            return result;
        }
        const int state = filledStates[static_cast<std::size_t>(j - 1)];
        const QStringList& tiles = job.config.stateTiles[state];
        const QString starting =
            job.forCorrelation ? QStringLiteral("Assembling deformed mosaic %1/%2...").arg(j).arg(n)
                               : QStringLiteral("Assembling state %1/%2 (0/%3 tiles)...").arg(j).arg(n).arg(tiles.size());
        stage(100 * j / total, starting);
        stitching::StitchOutput output;
        const bool ok = stitcher.stitch(toVector(tiles), output, cancelled, [&](int done, int all) {
            status(QStringLiteral("Assembling state %1/%2 (%3/%4 tiles)...").arg(j).arg(n).arg(done).arg(all));
        });
        if (!ok) {
            if (cancelled())
                result.cancelled = true;
            else
                result.errorMessage =
                    QStringLiteral("Unable to assemble deformed mosaic (state %1):\n%2").arg(state + 1).arg(output.error);
            return result;
        }
        result.deformedMosaics.append(output.mosaic);
        result.statePositions.append(output.positions);
        if (j == 1)
            result.deformedPositions = output.positions;
        stage(100 * (j + 1) / total, QStringLiteral("Deformed state %1 completed (%2/%3)").arg(j).arg(j + 1).arg(total));
    }
    result.success = true;
    return result;
}

PlacementWarning placementWarning(const StitchingResult& result) {
    QStringList partly, wholly;
    const auto check = [&](const QList<stitching::TilePosition>& positions, const QString& name) {
        const int kept = stitching::tilesKeptAtNominalPlace(positions);
        if (kept == 0)
            return;
        partly << QStringLiteral("%1 %2/%3").arg(name).arg(kept).arg(positions.size());
        if (kept == positions.size())
            wholly << name;
    };
    check(result.referencePositions, QStringLiteral("reference"));
    for (int i = 0; i < result.statePositions.size(); ++i) {
        const int state = i < result.stateIndices.size() ? static_cast<int>(result.stateIndices[i]) : i;
        check(result.statePositions[i], QStringLiteral("state %1").arg(state + 1));
    }
    PlacementWarning warning;
    if (!partly.isEmpty())
        warning.status = QStringLiteral(" [Warning: tiles kept at their nominal position: %1]")
                             .arg(partly.join(QStringLiteral(", ")));
    if (!wholly.isEmpty())
        warning.message = QStringLiteral("No tile could be registered with a neighbour in: %1.\n\nThose mosaics show "
                                         "every tile at its nominal grid position, not where it really lies. Check "
                                         "the grid, the overlaps and the scan order, or the tiles' texture.")
                              .arg(wholly.join(QStringLiteral(", ")));
    return warning;
}

QString scanOrderName(int order) {
    switch (order) {
    case 0:
        return QStringLiteral("Snake");
    case 1:
        return QStringLiteral("Row by row");
    case 2:
        return QStringLiteral("Column by column");
    default:
        return QStringLiteral("Unknown");
    }
}

LoadedImage loadedMosaic(QImage image) {
    LoadedImage loaded;
    loaded.originalSize = image.size();
    loaded.preview = makePreview(image);
    loaded.full = std::move(image);
    return loaded;
}

QString deformedMosaicFileName(int k) {
    return QStringLiteral("mosaic_deformed_%1.tiff").arg(k, 3, 10, QLatin1Char('0'));
}

}  // namespace tavro::gui
