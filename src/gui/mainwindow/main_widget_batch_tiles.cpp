// The per-tile batch: each reference tile correlated with the tile of the same
// index in every deformed state, without assembling mosaics. The pairs run one
// after another through the same request and result path as single images.
#include "gui/mainwindow/main_widget.h"

#include "compute/compute_worker.h"
#include "compute/kinematic_models.h"
#include "compute/progress_text.h"
#include "core/gpu_common.h"
#include "gui/foundation/elided_label.h"
#include "gui/foundation/message_boxes.h"
#include "gui/mainwindow/result_cache.h"
#include "gui/mainwindow/stored_results.h"
#include "gui/project/result_files.h"
#include "gui/style/switch_widget.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QProgressBar>
#include <QSpinBox>

namespace tavro::gui {

namespace {

QRect keptTileRect(const QRect& crop, const QSize& tileSize) {
    const QRect whole(QPoint(0, 0), tileSize);
    if (!crop.isValid() || crop.isEmpty())
        return whole;
    const QRect kept = crop.intersected(whole);
    return kept.isEmpty() ? whole : kept;
}

// A cut tile is no longer the file it came from: it keeps no preview, so that
// nothing releases its pixels to read the uncut file again.
void cropLoadedTile(LoadedImage& tile, const QRect& crop) {
    const QRect keep = keptTileRect(crop, tile.full.size());
    if (keep == QRect(QPoint(0, 0), tile.full.size()))
        return;
    tile.full = tile.full.copy(keep);
    tile.preview = QImage();
    tile.originalSize = keep.size();
}

}  // namespace

QRect MainWidget::croppedTileRect(const QRect& crop, const QSize& tileSize) { return keptTileRect(crop, tileSize); }

bool MainWidget::batchRunActive() const {
    return perTileMode && mosaicSwitch && mosaicSwitch->isChecked() && !batchQueue.isEmpty();
}

bool MainWidget::validateMosaicTileCounts(QString& error) {
    batchQueue.clear();
    if (mosaicRefTilePaths.isEmpty()) {
        error = QStringLiteral("No reference tiles loaded.");
        return false;
    }
    const int referenceCount = static_cast<int>(mosaicRefTilePaths.size());
    for (int s = 0; s < static_cast<int>(mosaicDefTilePaths.size()); ++s) {
        const QStringList& tiles = mosaicDefTilePaths[s];
        if (tiles.isEmpty())
            continue;
        if (tiles.size() != referenceCount) {
            error = QStringLiteral("Deformed state %1 has %2 tiles but reference has %3 tiles.")
                        .arg(s + 1)
                        .arg(tiles.size())
                        .arg(referenceCount);
            batchQueue.clear();
            return false;
        }
        for (int t = 0; t < referenceCount; ++t)
            batchQueue.append(
                {t, s, mosaicRefTilePaths[t], tiles[t], QFileInfo(tiles[t]).completeBaseName()});
    }
    if (batchQueue.isEmpty()) {
        error = QStringLiteral("No deformed tiles loaded.");
        return false;
    }
    return true;
}

void MainWidget::tileNameIndex(BatchResultIndex& out, const QStringList& names) const {
    out.stateCount = static_cast<int32_t>(mosaicDefTilePaths.size());
    out.tilesPerState = static_cast<int32_t>(mosaicRefTilePaths.size());
    out.table.clear();
    if (out.stateCount < 1 || out.tilesPerState < 1)
        return;
    QHash<QString, int> position;
    for (int i = 0; i < names.size(); ++i)
        position.insert(names[i], i);
    out.table.fill(-1, static_cast<qsizetype>(out.stateCount) * out.tilesPerState);
    for (int s = 0; s < out.stateCount; ++s) {
        const QStringList& tiles = mosaicDefTilePaths[s];
        const int last = std::min(out.tilesPerState, static_cast<int32_t>(tiles.size()));
        for (int t = 0; t < last; ++t) {
            const auto found = position.constFind(QFileInfo(tiles[t]).completeBaseName());
            if (found != position.constEnd())
                out.table[static_cast<qsizetype>(s) * out.tilesPerState + t] = found.value();
        }
    }
}

void MainWidget::startBatchRun() {
    batchIndex = 0;
    runImageIndex = 0;
    runInProgress = true;
    runStopRequested = false;
    resultWriteFailures.clear();
    loadCancelFlag->store(false);
    results.clear();
    // The results are the queue's from here on, and only from here: a run
    // refused before this point leaves the last run's results under their names.
    batchNames = batchQueueNames();
    tileNameIndex(batchResultIndex, batchNames);
    selectedBatchState = 0;
    selectedBatchTile = 0;
    // The pairs take the places of the reference and deformed images, where
    // assembled mosaics are kept: the state map would point at tiles.
    mosaicStateImageIndex.clear();
    mosaicDeformedNames.clear();
    // Nor do the states keep results: this run's are the tiles'.
    deformedStates.adoptMosaicsAsResults();
    fractureMode = hasHeavisideTerm(currentComputationModeId()) || isNeuralModel(currentComputationModeId());
    if (!fractureMode)
        setFractureTabVisible(false);
    takeRunInputs();
    // Each pair brings its own images.
    runRequest.reference = QImage();
    batchCrop = tileCrop;
    runTimer.start();
    setStatus(QStringLiteral("Batch per-tile DIC: %1 tile pair(s)...").arg(batchQueue.size()));
    startNextBatchTileComputation();
}

void MainWidget::stopBatch(const QString& message) {
    sayRefusal(QStringLiteral("Batch Tile DIC"), message);
    runInProgress = false;
    setComputationRunning(false);
    releaseRunInputs();
}

void MainWidget::startNextBatchTileComputation() {
    if (runStopRequested) {
        endRun(QStringLiteral("Computation cancelled."));
        return;
    }
    const int count = static_cast<int>(batchQueue.size());
    if (batchIndex >= count) {
        runInProgress = false;
        setComputationRunning(false);
        DeviceBufferPool::instance().releaseAll();
        releaseRunInputs();
        clearTiming();
        setStatus(QStringLiteral("Batch per-tile DIC completed: %1 tile pair(s) processed | Total time: %2")
                      .arg(count)
                      .arg(formatDuration(runTimer.elapsed())));
        batchIndex = 0;
        selectedBatchState = 0;
        selectedBatchTile = 0;
        saveParametersToProject();
        reportResultWriteFailures();
        // Quietly, so that the status keeps the batch's summary.
        applyBatchResultSelection(true);
        return;
    }
    const BatchTileJob job = batchQueue[batchIndex];
    LoadedImage reference;
    LoadedImage deformed;
    QString error;
    if (!loadImage(job.referencePath, reference, error)) {
        stopBatch(QStringLiteral("Failed to load reference tile '%1': %2").arg(job.referencePath, error));
        return;
    }
    if (!loadImage(job.deformedPath, deformed, error)) {
        stopBatch(QStringLiteral("Failed to load deformed tile '%1': %2").arg(job.deformedPath, error));
        return;
    }
    cropLoadedTile(reference, batchCrop);
    cropLoadedTile(deformed, batchCrop);
    if (reference.full.size() != deformed.full.size()) {
        stopBatch(QStringLiteral("Tile dimensions mismatch: ref %1x%2, def %3x%4 (tile %5, state %6)")
                      .arg(reference.full.width())
                      .arg(reference.full.height())
                      .arg(deformed.full.width())
                      .arg(deformed.full.height())
                      .arg(job.tileIndex + 1)
                      .arg(job.stateIndex + 1));
        return;
    }
    referenceImage = std::move(reference);
    deformedImages.clear();
    deformedImages.push_back(std::move(deformed));
    shownDeformedIndex = 0;
    runImageIndex = 0;
    runNames = {job.baseName};
    // The pair's result is the one shown when it arrives: the captions name it.
    selectedBatchState = job.stateIndex;
    selectedBatchTile = job.tileIndex;

    // Only the tile's own size and region change from pair to pair.
    const QRect whole(QPoint(0, 0), referenceSize());
    runGeometry.roi = batchRoi.isNull() ? whole : batchRoi.intersected(whole);
    runGeometry.imageWidth = whole.width();
    runGeometry.imageHeight = whole.height();

    if (!ensureDeformedGrayLoaded(0, error)) {
        stopBatch(QStringLiteral("Unable to reload deformed tile: %1").arg(error));
        return;
    }
    if (!workerAvailable())
        return;
    ComputationRequest request = runRequest;
    request.reference = referenceImage.full;
    request.deformed = deformedImages.front().full;
    request.roi = runGeometry.roi;
    // A mask drawn for a whole image would cover the wrong pixels of a tile.
    if (request.useMask && request.mask.size() != referenceSize()) {
        if (batchIndex == 0)
            showMessage(this, QStringLiteral("Mask"),
                        QStringLiteral("The mask (%1\u00d7%2) does not match the tiles (%3\u00d7%4); the tiles are "
                                       "correlated without it.")
                            .arg(request.mask.width())
                            .arg(request.mask.height())
                            .arg(referenceSize().width())
                            .arg(referenceSize().height()));
        request.useMask = false;
        request.mask = QImage();
    }
    request.imageIndex = batchIndex + 1;
    request.imageCount = count;
    postComputationRequest(std::move(request), QStringLiteral("Computing tile %1/%2 (tile %3, state %4)...")
                                                   .arg(batchIndex + 1)
                                                   .arg(count)
                                                   .arg(job.tileIndex + 1)
                                                   .arg(job.stateIndex + 1));
}

bool MainWidget::batchGridActive() const {
    return perTileMode && mosaicSwitch && mosaicSwitch->isChecked() && batchResultIndex.stateCount >= 1 &&
           batchResultIndex.tilesPerState >= 1 && !batchNames.isEmpty();
}

int MainWidget::selectedBatchEntry() const {
    const BatchResultIndex& grid = batchResultIndex;
    if (selectedBatchState < 0 || selectedBatchState >= grid.stateCount || selectedBatchTile < 0 ||
        selectedBatchTile >= grid.tilesPerState)
        return -1;
    const qsizetype at = static_cast<qsizetype>(selectedBatchState) * grid.tilesPerState + selectedBatchTile;
    return at < grid.table.size() ? grid.table[at] : -1;
}

void MainWidget::applyBatchResultSelection(bool quiet) {
    const int entry = selectedBatchEntry();
    if (entry >= 0) {
        loadAndDisplayResult(entry, quiet);
    } else {
        clearMosaicViews();
        setStatus(QStringLiteral("No result for state %1, tile %2").arg(selectedBatchState + 1).arg(selectedBatchTile + 1));
    }
    updateResultSlider();
    updateRigidShiftLabel(entry);
}

void MainWidget::onResultTileSliderChanged(int value) {
    if (!batchGridActive() || value < 0 || value >= batchResultIndex.tilesPerState || value == selectedBatchTile)
        return;
    selectedBatchTile = value;
    applyBatchResultSelection(false);
}

// The pairs of a per-tile batch in state and tile order: the queue's names once
// its tile counts are valid, and those found again in the project folder after
// the project is opened.
QStringList MainWidget::batchQueueNames() const {
    QStringList names;
    for (const QStringList& state : mosaicDefTilePaths)
        for (const QString& tile : state)
            names << QFileInfo(tile).completeBaseName();
    return names;
}

// Tiles whose field is in the project are those with results, whichever
// assembly is chosen now.
std::vector<ComputationResult> MainWidget::restoreTileResults(const std::vector<ResultRangeEntry>& cache) {
    batchNames.clear();
    if (QDir(appliedProjectFolder + QLatin1Char('/') + kDisplacementsFolder).exists())
        for (const QStringList& state : mosaicDefTilePaths)
            for (const QString& tile : state) {
                const QString base = QFileInfo(tile).completeBaseName();
                // Tiles of several states named alike share one file, which the window refuses to compute
                // again: it is listed once, as the run that wrote it listed it.
                if (!batchNames.contains(base) &&
                    QFileInfo::exists(
                        resultFilePath(appliedProjectFolder, kDisplacementsFolder, base, QStringLiteral("_ux"))))
                    batchNames << base;
            }
    tileNameIndex(batchResultIndex, batchNames);
    selectedBatchState = 0;
    selectedBatchTile = 0;
    std::vector<ComputationResult> tileResults(static_cast<std::size_t>(batchNames.size()));
    // A tile without an entry has lost its rigid shift: unknown, not a known 0.
    for (ComputationResult& result : tileResults)
        result.display.rigidShiftUnknown = true;
    const QStringList queue = batchQueueNames();
    for (const ResultRangeEntry& entry : cache) {
        const int at = entry.index >= 0 && entry.index < queue.size() ? batchNames.indexOf(queue[entry.index]) : -1;
        if (at >= 0)
            applyResultCacheEntry(entry, tileResults[static_cast<std::size_t>(at)]);
    }
    for (qsizetype i = 0; i < batchNames.size(); ++i)
        adoptStoredRigidShift(appliedProjectFolder, batchNames[i], tileResults[static_cast<std::size_t>(i)]);
    return tileResults;
}

void MainWidget::showRestoredBatchResults() {
    update3DMapsTabEnabled();
    setDisplacementsTabVisible(true);
    setStrainsTabVisible(true);
    updateComputeStrainsButton();
    applyBatchResultSelection(true);
}

}  // namespace tavro::gui
