// Out-of-plane displacement per tile in the per-tile batch mode: every input
// is read from files, one tile pair at a time.
#include "gui/mainwindow/main_widget.h"

#include "compute/compute_worker.h"
#include "compute/worker_conversions.h"
#include "core/global_registration.h"
#include "gui/foundation/elided_label.h"
#include "images/field_rendering.h"
#include "images/image_io.h"
#include "images/loaded_image.h"
#include "gui/foundation/message_boxes.h"
#include "gui/mainwindow/out_of_plane_task.h"
#include "gui/mainwindow/run_async.h"
#include "gui/project/result_files.h"

#include <QDir>
#include <QFileInfo>
#include <QImageReader>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSlider>

namespace tavro::gui {

namespace {

struct TileInputs {
    QString error;  // "h0: ...", empty when every file was read
    bool sizesDiffer = false;
    LoadedTiffResult ux, uy;
    std::vector<float> h0, h1;
    int width = 0, height = 0;
};

TileInputs readTileInputs(const MainWidget::HeightTilePair& pair) {
    TileInputs in;
    int w1 = 0, h1 = 0;
    QString error;
    if (!MainWidget::loadHeightImage(pair.referenceHeight, in.h0, in.width, in.height, error)) {
        in.error = QStringLiteral("h0: ") + error;
        return in;
    }
    if (!MainWidget::loadHeightImage(pair.deformedHeight, in.h1, w1, h1, error)) {
        in.error = QStringLiteral("h1: ") + error;
        return in;
    }
    in.ux = loadFloatTiff(pair.uxPath);
    if (!in.ux.success) {
        in.error = QStringLiteral("ux: ") + in.ux.error;
        return in;
    }
    in.uy = loadFloatTiff(pair.uyPath);
    if (!in.uy.success) {
        in.error = QStringLiteral("uy: ") + in.uy.error;
        return in;
    }
    in.sizesDiffer = w1 != in.width || h1 != in.height;
    return in;
}

struct TileAlignment {
    float shiftX = 0.0f;
    float shiftY = 0.0f;
    QSize intensitySize;
};

TileAlignment alignTiles(const QString& referencePath, const QString& deformedPath) {
    TileAlignment alignment;
    LoadedImage reference, deformed;
    QString error;
    if (!loadImage(referencePath, reference, error) || !loadImage(deformedPath, deformed, error))
        return alignment;
    alignment.intensitySize = reference.full.size();
    int w0 = 0, h0 = 0, w1 = 0, h1 = 0;
    const std::vector<float> a = sampleImageValues(reference.full, w0, h0);
    const std::vector<float> b = sampleImageValues(deformed.full, w1, h1);
    RigidRegistrationResult rigid;
    std::string message;
    if (a.empty() || w0 != w1 || h0 != h1 || !computeRigidRegistrationGpu(a.data(), b.data(), {w0, h0}, &rigid, message))
        return alignment;
    const float scale = float(rigidShiftScale(int64_t(deformed.full.width()) * deformed.full.height()));
    alignment.shiftX = rigid.shiftX * scale;
    alignment.shiftY = rigid.shiftY * scale;
    return alignment;
}

} // namespace

QList<MainWidget::HeightTilePair> MainWidget::heightTilePairs() {
    QList<HeightTilePair> pairs;
    const QString displacements = appliedProjectFolder + QLatin1Char('/') + kDisplacementsFolder;
    for (int s = 0; s < mosaicDefTilePaths.size(); ++s) {
        const QStringList& intensity = mosaicDefTilePaths[s];
        if (intensity.isEmpty() || s >= deformedHeightStates.size() || deformedHeightStates[s].isEmpty())
            continue;
        const QStringList& heights = deformedHeightStates[s];
        if (heights.size() != referenceHeightPaths.size()) {
            showMessage(this, QStringLiteral("Warning"),
                        QStringLiteral("State %1: height tiles count (%2) != ref tiles count (%3). Skipping.")
                            .arg(s + 1)
                            .arg(heights.size())
                            .arg(referenceHeightPaths.size()));
            continue;
        }
        for (int t = 0; t < heights.size() && t < intensity.size(); ++t) {
            HeightTilePair pair;
            pair.baseName = QFileInfo(intensity[t]).completeBaseName();
            pair.uxPath = displacements + QLatin1Char('/') + pair.baseName + QStringLiteral("_ux.tif");
            pair.uyPath = displacements + QLatin1Char('/') + pair.baseName + QStringLiteral("_uy.tif");
            if (!QFileInfo::exists(pair.uxPath) || !QFileInfo::exists(pair.uyPath))
                continue;
            pair.referenceHeight = referenceHeightPaths[t];
            pair.deformedHeight = heights[t];
            pair.referenceIntensity = t < mosaicRefTilePaths.size() ? mosaicRefTilePaths[t] : QString();
            pair.deformedIntensity = intensity[t];
            pair.tileIndex = t;
            pair.stateIndex = s;
            pairs << pair;
        }
    }
    return pairs;
}

void MainWidget::onComputeOutOfPlaneBatch() {
    const auto refuse = [this](const QString& text) {
        showMessage(this, QStringLiteral("Error"), text);
        if (computeOutOfPlaneButton)
            computeOutOfPlaneButton->setEnabled(true);
    };
    if (referenceHeightPaths.isEmpty())
        return refuse(QStringLiteral("No reference height tile has been loaded."));
    if (appliedProjectFolder.isEmpty())
        return refuse(QStringLiteral("No project folder defined."));
    if (referenceHeightPaths.size() != mosaicRefTilePaths.size())
        return refuse(QStringLiteral("Number of height reference tiles (%1) does not match number of intensity "
                                     "reference tiles (%2).")
                          .arg(referenceHeightPaths.size())
                          .arg(mosaicRefTilePaths.size()));
    const QList<HeightTilePair> pairs = heightTilePairs();
    if (pairs.isEmpty())
        return refuse(QStringLiteral("No valid tile pairs found.\nMake sure DIC has been computed (Displacements "
                                     "folder) and height tiles are loaded for each state."));
    const QString folder = appliedProjectFolder + QLatin1Char('/') + kHeightFolder;
    QDir().mkpath(folder);
    runTimer.start();
    const int P = static_cast<int>(pairs.size());
    if (progressBar) {
        progressBar->setRange(0, P);
        progressBar->setValue(0);
    }
    pushBusy(true);
    loadCancelFlag->store(false);
    heightResultCache.assign(static_cast<size_t>(P), HeightCacheEntry{});
    int succeeded = 0;
    for (int k = 0; k < P; ++k) {
        const std::optional<bool> done = computeHeightTilePair(pairs[k], k, P, folder);
        if (!done)
            break;
        succeeded += *done ? 1 : 0;
        if (progressBar)
            progressBar->setValue(k + 1);
    }
    showBatchHeightResults(pairs);
    outOfPlaneStale = false;
    saveParametersToProject();
    updateHeightTilesControls();
    endOutOfPlane();
    setStatus(withTotalTime(QStringLiteral("Batch height computation completed: %1/%2 tiles").arg(succeeded).arg(P)));
}

std::optional<bool> MainWidget::computeHeightTilePair(const HeightTilePair& pair, int k, int P,
                                                      const QString& folder) {
    const std::optional<TileInputs> read = runAsyncWithUI(
        [pair] { return readTileInputs(pair); }, *loadCancelFlag, statusLabel,
        QStringLiteral("Tile %1/%2 (tile %3, state %4): Loading height maps...")
            .arg(k + 1)
            .arg(P)
            .arg(pair.tileIndex + 1)
            .arg(pair.stateIndex + 1));
    if (!read)
        return std::nullopt;
    if (!read->error.isEmpty()) {
        setStatus(QStringLiteral("Tile %1: Load failed (%2)").arg(k + 1).arg(read->error));
        return false;
    }
    if (read->sizesDiffer) {
        setStatus(QStringLiteral("Tile %1: h0/h1 dimension mismatch").arg(k + 1));
        return false;
    }
    const std::optional<TileAlignment> aligned =
        runAsyncWithUI([reference = pair.referenceIntensity, deformed = pair.deformedIntensity] {
            return alignTiles(reference, deformed);
        }, *loadCancelFlag, statusLabel, QStringLiteral("Tile %1/%2: Computing FFT alignment...").arg(k + 1).arg(P));
    if (!aligned)
        return std::nullopt;

    OutOfPlaneInputs inputs;
    inputs.geometry = currentResultGeometry();
    // A tile's grid lies on the tile: the batch region, else the whole tile.
    const QSize tile = aligned->intensitySize.isValid() ? aligned->intensitySize
                                                        : QImageReader(pair.referenceIntensity).size();
    inputs.geometry.roi = batchRoi.isValid() ? batchRoi : QRect(QPoint(0, 0), tile);
    inputs.geometry.imageWidth = tile.width();
    inputs.geometry.imageHeight = tile.height();
    inputs.scaleX = heightScale(read->width, tile.width());
    inputs.scaleY = heightScale(read->height, tile.height());
    inputs.h0 = read->h0;
    inputs.h1 = read->h1;
    inputs.ux = read->ux.values;
    inputs.uy = read->uy.values;
    inputs.gridWidth = read->ux.width;
    inputs.gridHeight = read->ux.height;
    inputs.heightWidth = read->width;
    inputs.heightHeight = read->height;
    inputs.shiftX = aligned->shiftX;
    inputs.shiftY = aligned->shiftY;
    const HeightGridPlacement placement = heightGridPlacement(inputs.geometry, inputs.scaleX, inputs.scaleY);
    const int gridWidth = inputs.gridWidth, gridHeight = inputs.gridHeight;
    setStatus(QStringLiteral("Tile %1/%2: Computing out-of-plane...").arg(k + 1).arg(P));
    std::optional<GpuComputeResult> computed =
        runAsyncWithUI([inputs = std::move(inputs)] { return computeOutOfPlane(inputs); }, *loadCancelFlag,
                       statusLabel, QStringLiteral("Tile %1/%2: Computing...").arg(k + 1).arg(P));
    if (!computed && loadCancelFlag->load())
        return std::nullopt;
    if (!computed || !computed->success) {
        setStatus(QStringLiteral("Tile %1: Computation failed").arg(k + 1));
        return false;
    }
    fillHeightEntry(k, computed->result, read->width, read->height);
    saveHeightResult(folder + QLatin1Char('/') + pair.baseName + QStringLiteral("_uz.tif"),
                     heightResultCache[static_cast<size_t>(k)], gridWidth, gridHeight, placement);
    return true;
}

void MainWidget::showBatchHeightResults(const QList<HeightTilePair>& pairs) {
    const int P = static_cast<int>(pairs.size());
    heightBatchNames.clear();
    for (const HeightTilePair& pair : pairs)
        heightBatchNames << pair.baseName;
    tileNameIndex(heightBatchIndex, heightBatchNames);
    int shown = -1;
    for (int k = P - 1; k >= 0 && shown < 0; --k)
        if (static_cast<size_t>(k) < heightResultCache.size() && heightResultCache[static_cast<size_t>(k)].valid)
            shown = k;
    if (shown < 0)
        return;
    showHeightEntry(shown, heightResultCache[static_cast<size_t>(shown)]);
    updateHeightPreview(true, true);
    update3DMapsTabEnabled(true);
    const int T = heightBatchIndex.tilesPerState;
    const qsizetype q = heightBatchIndex.table.indexOf(shown);
    if (heightBatchIndex.stateCount >= 1 && T >= 1 && q >= 0) {
        currentHeightBatchState = static_cast<int>(q / T);
        currentHeightTileIndex = static_cast<int>(q % T);
        updateHeightNavBars();
        return;
    }
    setHeightSliderPosition(shown, P);
    if (heightStepLabel)
        heightStepLabel->setText(QStringLiteral("Tile %1/%2: %3").arg(shown + 1).arg(P).arg(pairs[shown].baseName));
}

}  // namespace tavro::gui
