// Out-of-plane displacement: per deformed state from h0, h1 and the state's
// correlation, or per tile in the per-tile batch mode, written into the
// project's Height folder and shown on the "3D Maps" page.
#include "gui/mainwindow/main_widget.h"

#include "compute/compute_worker.h"
#include "compute/worker_conversions.h"
#include "core/global_registration.h"
#include "gui/foundation/elided_label.h"
#include "images/field_rendering.h"
#include "images/image_io.h"
#include "images/image_write.h"
#include "gui/foundation/message_boxes.h"
#include "gui/mainwindow/out_of_plane_task.h"
#include "gui/mainwindow/run_async.h"
#include "gui/project/result_files.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSlider>

#include <cmath>

namespace tavro::gui {

namespace {

struct SaveResult {
    bool ok = false;
    QString error;
};

// The whole-image shift of `deformed` against `reference`, at full resolution.
std::optional<RigidRegistrationResult> registerImages(const QImage& reference, const QImage& deformed) {
    int w0 = 0, h0 = 0, w1 = 0, h1 = 0;
    const std::vector<float> a = sampleImageValues(reference, w0, h0);
    const std::vector<float> b = sampleImageValues(deformed, w1, h1);
    if (a.empty() || w0 != w1 || h0 != h1)
        return std::nullopt;
    RigidRegistrationResult rigid;
    std::string error;
    if (!computeRigidRegistrationGpu(a.data(), b.data(), {w0, h0}, &rigid, error))
        return std::nullopt;
    const float scale = float(rigidShiftScale(int64_t(deformed.width()) * deformed.height()));
    rigid.shiftX *= scale;
    rigid.shiftY *= scale;
    return rigid;
}

} // namespace

bool MainWidget::resultHasDisplacement(int index) const {
    if (index < 0 || index >= static_cast<int>(results.size()))
        return false;
    const ComputationResult& result = results[static_cast<size_t>(index)];
    if (result.displacements && !result.displacements->dispX.empty())
        return true;
    const QString base = resultBaseName(index);
    return !appliedProjectFolder.isEmpty() && !base.isEmpty() &&
           QFileInfo::exists(resultFilePath(appliedProjectFolder, kDisplacementsFolder, base, QStringLiteral("_ux")));
}

std::optional<PixelDisplacementResult> MainWidget::displacementForHeights(int r, int s, int N) const {
    if (r >= 0 && r < static_cast<int>(results.size())) {
        const ComputationResult& result = results[static_cast<size_t>(r)];
        if (result.displacements && !result.displacements->dispX.empty())
            return *result.displacements;
        // Older results give their fields back to memory; their files still hold them.
        PixelDisplacementResult loaded;
        if (loadDisplacementFromFiles(r, loaded) && !loaded.dispX.empty())
            return loaded;
        return std::nullopt;
    }
    if (!heightMosaicMode() && N == 1 && results.empty() && s == 0 && shownDisplacements &&
        !shownDisplacements->dispX.empty())
        return *shownDisplacements;
    return std::nullopt;
}

void MainWidget::fillHeightEntry(int index, HeightEngineResult& engine, int width, int height) {
    std::vector<float> uz = std::move(engine.uz);
    float low = engine.minUz, high = engine.maxUz;
    if (maskActive && !maskImage.isNull()) {
        applyMaskToField(uz, width, height, maskImage);
        std::tie(low, high) = finiteMinMax(uz);
        engine.minUz = low;
        engine.maxUz = high;
    }
    HeightCacheEntry entry;
    const auto [autoLow, autoHigh] = percentileRange(uz, low, high);
    entry.values = std::move(uz);
    entry.width = width;
    entry.height = height;
    entry.dataMin = low;
    entry.dataMax = high;
    entry.autoMin = entry.displayMin = autoLow;
    entry.autoMax = entry.displayMax = autoHigh;
    entry.valid = true;
    entry.sizeDiffers = true;
    if (heightResultCache.size() <= static_cast<size_t>(index))
        heightResultCache.resize(static_cast<size_t>(index) + 1);
    heightResultCache[static_cast<size_t>(index)] = entry;
    storeHeightRange(index, entry);
    showHeightEntry(index, heightResultCache[static_cast<size_t>(index)]);
    heightSizeDiffers = true;
}

bool MainWidget::saveHeightResult(const QString& path, const HeightCacheEntry& entry, int gridWidth,
                                  int gridHeight, const HeightGridPlacement& placement) {
    const bool dense = heightSaveFullImageCheck && heightSaveFullImageCheck->isChecked();
    std::vector<float> values = dense ? entry.values
                                      : sampleHeightAtGrid(entry.values, entry.width, entry.height, gridWidth,
                                                           gridHeight, placement);
    const int w = dense ? entry.width : gridWidth;
    const int h = dense ? entry.height : gridHeight;
    const std::optional<SaveResult> saved = runAsyncWithUI(
        [path, w, h, values = std::move(values), project = appliedProjectFolder] {
            SaveResult result;
            result.ok = writeFloatTiff(path, w, h, values, result.error, {}, project);
            return result;
        },
        *loadCancelFlag, statusLabel, QString());
    if (saved && !saved->ok)
        showMessage(this, QStringLiteral("Error"),
                    QStringLiteral("Failed to save %1:\n%2").arg(QFileInfo(path).fileName(), saved->error));
    return saved && saved->ok;
}

void MainWidget::endOutOfPlane() {
    popBusy();
    if (computeOutOfPlaneButton)
        computeOutOfPlaneButton->setEnabled(true);
}

void MainWidget::advanceHeightProgress(int steps) {
    if (progressBar)
        progressBar->setValue(std::min(progressBar->value() + steps, progressBar->maximum()));
}

void MainWidget::onComputeOutOfPlane() {
    if (computeOutOfPlaneButton)
        computeOutOfPlaneButton->setEnabled(false);
    QCoreApplication::processEvents();
    if (heightMosaicMode() && perTileMode) {
        onComputeOutOfPlaneBatch();
        return;
    }
    const auto refuse = [this](const QString& text) {
        showMessage(this, QStringLiteral("Error"), text);
        if (computeOutOfPlaneButton)
            computeOutOfPlaneButton->setEnabled(true);
    };
    bool anyDisplacement = shownDisplacements && !shownDisplacements->dispX.empty();
    for (int r = 0; r < static_cast<int>(results.size()) && !anyDisplacement; ++r)
        anyDisplacement = resultHasDisplacement(r);
    if (!anyDisplacement)
        return refuse(QStringLiteral("DIC displacement fields are not available.\nPlease compute 2D correlation first."));
    if (referenceHeightPaths.isEmpty())
        return refuse(QStringLiteral("No reference height tile has been loaded."));
    const bool mosaic = heightMosaicMode();
    const int N = mosaic ? static_cast<int>(deformedHeightStates.size())
                         : (deformedHeightStates.isEmpty() ? 0 : static_cast<int>(deformedHeightStates.front().size()));
    if (N == 0)
        return refuse(QStringLiteral("No deformed state has been defined."));
    if (mosaic) {
        int unmapped = 0;
        for (int s = 0; s < N; ++s)
            unmapped += mosaicStateImageIndex.count(s) == 0 ? 1 : 0;
        if (unmapped != 0)
            showMessage(this, QStringLiteral("Warning"),
                        QStringLiteral("%1 height state(s) do not have an assembled intensity mosaic.\nPlease assemble "
                                       "the mosaics before out-of-plane computation.")
                            .arg(unmapped));
    }
    if (!results.empty() && static_cast<int>(results.size()) != N)
        showMessage(this, QStringLiteral("Warning"),
                    QStringLiteral("The number of height states (%1) does not match the number of displacement states "
                                   "(%2).\nThe computation will use available displacements for each state.")
                        .arg(N)
                        .arg(results.size()));
    runOutOfPlaneStates(N);
}

void MainWidget::runOutOfPlaneStates(int N) {
    const bool mosaic = heightMosaicMode();
    const QString folder =
        appliedProjectFolder.isEmpty() ? QString() : appliedProjectFolder + QLatin1Char('/') + kHeightFolder;
    if (!folder.isEmpty())
        QDir().mkpath(folder);
    runTimer.start();
    if (progressBar) {
        progressBar->setRange(0, 3 * N + 1);
        progressBar->setValue(0);
    }
    pushBusy(true);
    loadCancelFlag->store(false);
    const auto cancelled = [this] {
        setStatus(QStringLiteral("Computation cancelled."));
        endOutOfPlane();
    };

    std::vector<float> h0;
    int width = 0, height = 0;
    HeightMosaicCanvas canvas;
    std::optional<HeightLoadResult> loaded;
    if (mosaic) {
        const std::optional<HeightAssemblyResult> assembled = runHeightAssembly(
            referenceHeightPaths, referenceTilePositions, nullptr, QStringLiteral("Assembling reference heights..."));
        if (assembled)
            canvas = assembled->canvas;
        loaded = assembled;
    } else {
        loaded = runHeightLoad(referenceHeightPaths.front(), QStringLiteral("Loading reference height h\u2080..."));
    }
    if (!loaded)
        return cancelled();
    if (!loaded->success) {
        const QString prefix =
            mosaic ? QStringLiteral("Height h\u2080 assembly failed:\n") : QStringLiteral("Failed to load h\u2080:\n");
        // The status still names the load under way: it must say the load's end.
        sayRefusal(QStringLiteral("Error"), prefix + loaded->error);
        if (progressBar)
            progressBar->setValue(0);
        return endOutOfPlane();
    }
    h0 = loaded->heights;
    width = loaded->width;
    height = loaded->height;
    logHeightStats("h0 assemble", h0, width, height);
    advanceHeightProgress(1);
    // The cache now holds states, no longer the tiles of a per-tile run.
    heightBatchNames.clear();
    heightBatchIndex = {};
    if (heightResultCache.size() != static_cast<size_t>(N))
        heightResultCache.resize(static_cast<size_t>(N));

    int processed = 0;
    for (int s = 0; s < N; ++s) {
        const OutOfPlaneStep step = computeOutOfPlaneState(s, N, h0, width, height, canvas, folder);
        if (step == OutOfPlaneStep::Cancelled)
            return cancelled();
        if (step == OutOfPlaneStep::Done)
            ++processed;
    }

    int shown = -1;
    for (int s = N - 1; s >= 0 && shown < 0; --s)
        if (static_cast<size_t>(s) < heightResultCache.size() && heightResultCache[static_cast<size_t>(s)].valid)
            shown = s;
    if (shown >= 0) {
        showHeightEntry(shown, heightResultCache[static_cast<size_t>(shown)]);
        updateHeightPreview(true, true);
        update3DMapsTabEnabled(true);
    }
    // A run that made no map leaves the one drawn before: the caption and slider go on naming it.
    const bool kept = shown < 0 && heightResultShown && shownHeightIndex >= 0 && shownHeightIndex < N;
    const int at = kept ? shownHeightIndex : std::max(shown, 0);
    setHeightSliderPosition(at, N);
    QString name;
    if (mosaic)
        name = at < deformedHeightStates.size() && !deformedHeightStates[at].isEmpty()
                   ? QFileInfo(deformedHeightStates[at].front()).fileName().section(QLatin1Char('.'), 0, 0)
                   : QStringLiteral("State %1").arg(at + 1);
    else if (!deformedHeightStates.isEmpty() && at < deformedHeightStates.front().size())
        name = singleHeightStateName(
            at, QFileInfo(deformedHeightStates.front()[at]).fileName().section(QLatin1Char('.'), 0, 0));
    if (heightStepLabel)
        heightStepLabel->setText(QStringLiteral("State %1/%2: %3").arg(at + 1).arg(N).arg(name));
    outOfPlaneStale = false;
    saveParametersToProject();
    updateHeightTilesControls();
    if (progressBar)
        progressBar->setValue(progressBar->maximum());
    setStatus(withTotalTime(QStringLiteral("Computation completed: %1 state(s) processed").arg(processed)));
    endOutOfPlane();
}

MainWidget::OutOfPlaneStep MainWidget::computeOutOfPlaneState(int s, int N, const std::vector<float>& h0, int width,
                                                              int height, const HeightMosaicCanvas& canvas,
                                                              const QString& folder) {
    const bool mosaic = heightMosaicMode();
    const auto stateText = [s, N](const char* what) {
        return QStringLiteral("State %1/%2: ").arg(s + 1).arg(N) + QString::fromUtf8(what);
    };
    const auto skip = [this](const QString& text) {
        showMessage(this, QStringLiteral("Error"), text);
        return OutOfPlaneStep::Skipped;
    };
    if (static_cast<size_t>(s) < heightResultCache.size())
        heightResultCache[static_cast<size_t>(s)].valid = false;
    // The heights are placed by the state's mosaic, the displacement is the state's own result.
    const int r = heightStateResultIndex(s);
    if (mosaic) {
        if (r < 0)
            return skip(QStringLiteral("Height state %1 does not have an assembled displacement mosaic.\nPlease "
                                       "re-run the correlation computation.")
                            .arg(s + 1));
    }
    const std::optional<PixelDisplacementResult> displacement = displacementForHeights(r, s, N);
    if (!displacement)
        return skip(QStringLiteral("No displacements available for state %1").arg(s + 1));
    if (loadCancelFlag->load())
        return OutOfPlaneStep::Cancelled;

    std::optional<HeightLoadResult> loaded;
    if (mosaic)
        loaded = runHeightAssembly(deformedHeightStates[s], defTilePositionsForState(s), &canvas,
                                   stateText("Assembling deformed heights..."));
    else
        loaded = runHeightLoad(deformedHeightStates.front()[s], stateText("Loading deformed height h\u2081..."));
    if (!loaded)
        return OutOfPlaneStep::Cancelled;
    if (!loaded->success)
        return skip((mosaic ? QStringLiteral("Height h\u2081 assembly failed for state %1:\n%2")
                            : QStringLiteral("Failed to load h\u2081 for state %1:\n%2"))
                        .arg(s + 1)
                        .arg(loaded->error));
    if (loaded->width != width || loaded->height != height)
        return skip(dimensionMismatchText(s, width, height, loaded->width, loaded->height));
    std::vector<float> h1 = std::move(loaded->heights);
    logHeightStats("h1 assemble", h1, width, height);
    logHeightStats("ux grille DIC", displacement->dispX, displacement->gridWidth, displacement->gridHeight);
    logHeightStats("uy grille DIC", displacement->dispY, displacement->gridWidth, displacement->gridHeight);
    // h0 and h1 change together, so that they always have one size.
    commitHeightMaps(h0, h1, width, height);
    advanceHeightProgress(1);

    setStatus(stateText("Preparing data..."));
    QCoreApplication::processEvents();
    const bool hasResult = r >= 0 && r < static_cast<int>(results.size());
    RigidRegistrationResult rigid = hasResult ? results[static_cast<size_t>(r)].rigid : current.rigid;
    if (rigid.shiftX == 0.0f && rigid.shiftY == 0.0f && !referenceImage.full.isNull() && !deformedImages.empty()) {
        // A result index is not a mosaic's position once results outlive their mosaics.
        const int image = mosaic ? mosaicStateImageIndex.at(s) : s;
        QString error;
        if (image >= 0 && image < static_cast<int>(deformedImages.size()) && ensureDeformedGrayLoaded(image, error)) {
            const std::optional<std::optional<RigidRegistrationResult>> measured = runAsyncWithUI(
                [reference = referenceImage.full, deformed = deformedImages[static_cast<size_t>(image)].full] {
                    return registerImages(reference, deformed);
                },
                *loadCancelFlag, statusLabel, stateText("Recomputing global FFT alignment..."));
            if (measured && *measured) {
                rigid = **measured;
                if (hasResult)
                    results[static_cast<size_t>(r)].rigid = rigid;
            }
        }
    }

    OutOfPlaneInputs inputs;
    inputs.geometry = hasResult && results[static_cast<size_t>(r)].geometry.isSet()
                          ? results[static_cast<size_t>(r)].geometry
                          : currentResultGeometry();
    const QSize intensity = inputs.geometry.imageWidth > 0
                                ? QSize(inputs.geometry.imageWidth, inputs.geometry.imageHeight)
                                : referenceSize();
    inputs.scaleX = heightScale(width, intensity.width());
    inputs.scaleY = heightScale(height, intensity.height());
    inputs.h0 = h0;
    inputs.h1 = std::move(h1);
    inputs.ux = displacement->dispX;
    inputs.uy = displacement->dispY;
    inputs.gridWidth = displacement->gridWidth;
    inputs.gridHeight = displacement->gridHeight;
    inputs.heightWidth = width;
    inputs.heightHeight = height;
    inputs.shiftX = rigid.shiftX;
    inputs.shiftY = rigid.shiftY;
    const HeightGridPlacement placement = heightGridPlacement(inputs.geometry, inputs.scaleX, inputs.scaleY);
    const int gridWidth = inputs.gridWidth, gridHeight = inputs.gridHeight;
    std::optional<GpuComputeResult> computed = runAsyncWithUI(
        [inputs = std::move(inputs)] { return computeOutOfPlane(inputs); }, *loadCancelFlag, statusLabel,
        stateText("Computing out-of-plane displacement..."));
    if (!computed)
        return loadCancelFlag->load() ? OutOfPlaneStep::Cancelled
                                      : skip(QStringLiteral("Computation failed for state %1:\n%2")
                                                 .arg(s + 1)
                                                 .arg(QStringLiteral("Out of memory or error during the operation.")));
    if (!computed->success)
        return skip(QStringLiteral("Computation failed for state %1:\n%2")
                        .arg(s + 1)
                        .arg(QString::fromStdString(computed->result.error)));
    advanceHeightProgress(1);
    logHeightStats("h0 deforme", computed->result.deformedH0, width, height);
    logHeightStats("u_z", computed->result.uz, width, height);
    fillHeightEntry(s, computed->result, width, height);

    if (!folder.isEmpty()) {
        setStatus(stateText("Saving..."));
        const QString path = folder + QLatin1Char('/') + heightStateBaseName(s) + QStringLiteral("_uz.tif");
        saveHeightResult(path, heightResultCache[static_cast<size_t>(s)], gridWidth, gridHeight, placement);
    }
    advanceHeightProgress(1);
    return OutOfPlaneStep::Done;
}

QString MainWidget::dimensionMismatchText(int s, int w0, int h0, int w1, int h1) {
    return QStringLiteral("Dimension mismatch for state %1:\nh\u2080 is %2\u00d7%3 but h\u2081 is %4\u00d7%5.\nHeight "
                          "fields must have identical dimensions.")
        .arg(s + 1)
        .arg(w0)
        .arg(h0)
        .arg(w1)
        .arg(h1);
}

}  // namespace tavro::gui
