// The two height maps of the out-of-plane computation: h0 and h1 assembled
// from height tiles at the intensity mosaic's positions, or read from one
// file each, and their copies in the project folder.
#include "gui/mainwindow/main_widget.h"

#include "gui/foundation/elided_label.h"
#include "images/image_write.h"
#include "gui/foundation/message_boxes.h"
#include "gui/mainwindow/run_async.h"

#include <QCoreApplication>
#include <QDebug>
#include <QImageReader>
#include <QPushButton>

namespace tavro::gui {

namespace {

std::vector<QString> toVector(const QStringList& list) { return std::vector<QString>(list.begin(), list.end()); }

std::vector<stitching::TilePosition> toVector(const QList<stitching::TilePosition>& list) {
    return std::vector<stitching::TilePosition>(list.begin(), list.end());
}

} // namespace

HeightMosaicFrame MainWidget::heightMosaicFrame() const {
    HeightMosaicFrame frame;
    if (!mosaicRefTilePaths.isEmpty()) {
        frame.firstReferenceTile = mosaicRefTilePaths.front();
        // Heights are measured on whole tiles; the crop applies to both alike.
        const QSize tile = QImageReader(frame.firstReferenceTile).size();
        frame.intensityTile = tile.isValid() ? croppedTileRect(tileCrop, tile).size() : QSize();
    }
    if (mosaicFinalSize)
        frame.intensityMosaic = *mosaicFinalSize;
    frame.crop = tileCrop;
    return frame;
}

bool MainWidget::assembleHeightMosaic(std::vector<QString> tilePaths,
                                      std::vector<stitching::TilePosition> positions, std::vector<float>& outHeight,
                                      int& outWidth, int& outHeightSize, QString& error,
                                      HeightMosaicCanvas* canvas) {
    return assembleHeightTiles(heightMosaicFrame(), tilePaths, positions, outHeight, outWidth, outHeightSize, error,
                               canvas);
}

std::optional<HeightAssemblyResult> MainWidget::runHeightAssembly(const QStringList& paths,
                                                                  const QList<stitching::TilePosition>& positions,
                                                                  const HeightMosaicCanvas* canvas,
                                                                  const QString& message) {
    HeightMosaicCanvas start = canvas ? *canvas : HeightMosaicCanvas{};
    return runAsyncWithUI(
        [frame = heightMosaicFrame(), tiles = toVector(paths), placed = toVector(positions), start]() {
            HeightAssemblyResult result;
            result.canvas = start;
            result.success = assembleHeightTiles(frame, tiles, placed, result.heights, result.width, result.height,
                                                 result.error, &result.canvas);
            return result;
        },
        *loadCancelFlag, statusLabel, message);
}

std::optional<HeightLoadResult> MainWidget::runHeightLoad(const QString& path, const QString& message) {
    return runAsyncWithUI(
        [path]() {
            HeightLoadResult result;
            result.success = loadHeightImage(path, result.heights, result.width, result.height, result.error);
            return result;
        },
        *loadCancelFlag, statusLabel, message);
}

void MainWidget::commitHeightMaps(std::vector<float> h0, std::vector<float> h1, int width, int height) {
    heightH0 = std::move(h0);
    heightH1 = std::move(h1);
    heightMapWidth = width;
    heightMapHeight = height;
}

void MainWidget::onAssembleHeights() {
    if (heightMosaicMode())
        assembleMosaicHeights();
    else
        loadSingleHeights();
}

void MainWidget::finishHeightAssembly(bool success) {
    popBusy();
    if (!success)
        return;
    showAssembledHeightMap();
    updateHeightTilesControls();
    if (computeOutOfPlaneButton && shownDisplacements && !shownDisplacements->dispX.empty())
        computeOutOfPlaneButton->setEnabled(true);
}

void MainWidget::assembleMosaicHeights() {
    if (referenceTilePositions.isEmpty()) {
        showMessage(this, QStringLiteral("Error"),
                    QStringLiteral("Intensity tile positions are not available.\nPlease assemble the intensity mosaics "
                                   "first in Mosaic mode."));
        return;
    }
    const QStringList stateTiles = currentHeightDefTiles();
    const QList<stitching::TilePosition> statePositions = defTilePositionsForState(currentDeformedHeightState);
    if (referenceHeightPaths.size() != referenceTilePositions.size() || stateTiles.size() != statePositions.size()) {
        showMessage(this, QStringLiteral("Error"),
                    QStringLiteral("The number of height tiles must match the intensity tiles.\nReference intensity: "
                                   "%1 tiles\nReference height: %2 tiles\nDeformed intensity: %3 tiles\nDeformed "
                                   "height: %4 tiles")
                        .arg(referenceTilePositions.size())
                        .arg(referenceHeightPaths.size())
                        .arg(statePositions.size())
                        .arg(stateTiles.size()));
        return;
    }
    pushBusy(true);
    loadCancelFlag->store(false);
    setStatus(QStringLiteral("Assembling height h\u2080..."));
    QCoreApplication::processEvents();
    const std::optional<HeightAssemblyResult> h0 = runHeightAssembly(
        referenceHeightPaths, referenceTilePositions, nullptr, QStringLiteral("Assembling reference height map..."));
    if (!h0 || !h0->success) {
        reportHeightFailure(h0 ? std::optional<QString>(h0->error) : std::nullopt,
                            QStringLiteral("Height h\u2080 assembly failed:\n"), QStringLiteral("Assembly"));
        finishHeightAssembly(false);
        return;
    }
    const std::optional<HeightAssemblyResult> h1 = runHeightAssembly(
        stateTiles, statePositions, &h0->canvas, QStringLiteral("Assembling deformed height map..."));
    if (!h1 || !h1->success) {
        reportHeightFailure(h1 ? std::optional<QString>(h1->error) : std::nullopt,
                            QStringLiteral("Height h\u2081 assembly failed:\n"), QStringLiteral("Assembly"));
        finishHeightAssembly(false);
        return;
    }
    // h0 and h1 change together: the out-of-plane computation reads both with one size.
    commitHeightMaps(h0->heights, h1->heights, h0->width, h0->height);
    saveHeightMosaicsToProject();
    setStatus(QStringLiteral("Heights assembled: %1 x %2 pixels").arg(heightMapWidth).arg(heightMapHeight));
    finishHeightAssembly(true);
}

// "Assembly" or "Loading": the status words of a cancelled or failed step.
void MainWidget::reportHeightFailure(const std::optional<QString>& error, const QString& prefix,
                                     const QString& action) {
    if (!error) {
        setStatus(QStringLiteral("%1 cancelled.").arg(action));
        return;
    }
    showMessage(this, QStringLiteral("Error"), prefix + *error);
    setStatus(QStringLiteral("%1 error").arg(action));
}

void MainWidget::loadSingleHeights() {
    const QStringList& state = currentHeightDefTiles();
    if (referenceHeightPaths.isEmpty() || state.isEmpty()) {
        showMessage(this, QStringLiteral("Error"), QStringLiteral("Please select height files h\u2080 and h\u2081."));
        return;
    }
    const QString deformedPath = state.front();
    pushBusy(true);
    loadCancelFlag->store(false);
    const std::optional<HeightLoadResult> h0 =
        runHeightLoad(referenceHeightPaths.front(), QStringLiteral("Loading reference height h\u2080..."));
    if (!h0 || !h0->success) {
        reportHeightFailure(h0 ? std::optional<QString>(h0->error) : std::nullopt,
                            QStringLiteral("Failed to load h\u2080:\n"), QStringLiteral("Loading"));
        finishHeightAssembly(false);
        return;
    }
    const std::optional<HeightLoadResult> h1 =
        runHeightLoad(deformedPath, QStringLiteral("Loading deformed height h\u2081..."));
    if (!h1 || !h1->success) {
        reportHeightFailure(h1 ? std::optional<QString>(h1->error) : std::nullopt,
                            QStringLiteral("Failed to load h\u2081:\n"), QStringLiteral("Loading"));
        finishHeightAssembly(false);
        return;
    }
    if (h0->width != h1->width || h0->height != h1->height) {
        showMessage(this, QStringLiteral("Error"),
                    QStringLiteral("Height file dimensions do not match.\nh\u2080: %1 x %2\nh\u2081: %3 x %4")
                        .arg(h0->width)
                        .arg(h0->height)
                        .arg(h1->width)
                        .arg(h1->height));
        heightH0.clear();
        setStatus(QStringLiteral("Error: incompatible dimensions"));
        finishHeightAssembly(false);
        return;
    }
    commitHeightMaps(h0->heights, h1->heights, h0->width, h0->height);
    saveHeightMosaicsToProject();
    setStatus(QStringLiteral("Heights loaded: %1 x %2 pixels").arg(heightMapWidth).arg(heightMapHeight));
    finishHeightAssembly(true);
}

void MainWidget::saveHeightMosaicsToProject() {
    if (appliedProjectFolder.isEmpty() || heightMapWidth < 1 || heightMapHeight < 1)
        return;
    const QString deformedName = QStringLiteral("mosaic_height_deformed_%1.tif")
                                     .arg(currentDeformedHeightState + 1, 3, 10, QLatin1Char('0'));
    const std::pair<const std::vector<float>*, QString> maps[2] = {
        {&heightH0, QStringLiteral("mosaic_height_reference.tif")}, {&heightH1, deformedName}};
    for (const auto& [values, name] : maps) {
        if (values->empty())
            continue;
        const QString path = appliedProjectFolder + QLatin1Char('/') + name;
        QString error;
        if (!writeFloatTiff(path, heightMapWidth, heightMapHeight, *values, error, guiWriteProgress(),
                            appliedProjectFolder))
            qWarning() << "[GUI] Height mosaic save failed:" << path << error;
    }
}

}  // namespace tavro::gui
