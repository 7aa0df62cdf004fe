// The compute command and the run over the deformed images: the checks before
// a run, the deletion of old results once nothing can stop the run any more,
// one request per deformed image, and the end of the run.
#include "gui/mainwindow/main_widget.h"

#include "compute/compute_worker.h"
#include "compute/kinematic_models.h"
#include "compute/progress_text.h"
#include "core/gpu_common.h"
#include "core/gpu_discovery.h"
#include "gui/foundation/elided_label.h"
#include "gui/foundation/message_boxes.h"
#include "gui/foundation/scientific_double_spin_box.h"
#include "gui/mainwindow/panel_rules.h"
#include "gui/mainwindow/run_async.h"
#include "gui/style/switch_widget.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScopeGuard>
#include <QScopedValueRollback>
#include <QSignalBlocker>
#include <QSlider>
#include <QSpinBox>
#include <QTabWidget>
#include <QThreadPool>

#include <algorithm>

namespace tavro::gui {

namespace {

const QString kDriverPage = QStringLiteral("https://www.nvidia.com/Download/index.aspx");

int spinValue(const QSpinBox* spin, int unset) { return spin ? spin->value() : unset; }

void makeOdd(QSpinBox* spin) {
    if (!spin)
        return;
    const QSignalBlocker blocker(spin);
    spin->setValue(oddWindowSize(spin->value(), spin->maximum()));
}

}  // namespace

void MainWidget::onCompute() {
    if (computationRunning || computeStartGuard || stitchingInProgress)
        return;
    const QScopedValueRollback guard(computeStartGuard, true);
    const bool wasEnabled = computeButton && computeButton->isEnabled();
    if (computeButton)
        computeButton->setEnabled(false);
    const auto restoreButton = qScopeGuard([this, wasEnabled] {
        if (computeButton && !computationRunning && !runInProgress && !stitchingInProgress)
            computeButton->setEnabled(wasEnabled);
    });

    if (const std::string unavailable = checkCudaAvailability(); !unavailable.empty()) {
        sayRefusal(QStringLiteral("NVIDIA GPU unavailable"),
                    QString::fromStdString(unavailable) + QStringLiteral("\n\n") + kDriverPage);
        return;
    }
    rememberedResultTab = mainTabs ? mainTabs->currentWidget() : nullptr;
    resultsShownBeforeRun = shownDisplacements && !shownDisplacements->dispX.empty();
    resultTabRestored = false;
    if (appliedProjectFolder.isEmpty()) {
        sayRefusal(QStringLiteral("Project folder"),
                   QStringLiteral("Please select a project folder before starting computation."));
        return;
    }
    if (refuseUnwritableProject())
        return;
    const bool mosaicMode = mosaicSwitch && mosaicSwitch->isChecked();
    if (mosaicMode && perTileMode) {
        startBatchFromCompute();
        return;
    }
    if (mosaicMode) {
        startMosaicCorrelation();
        return;
    }
    QStringList names;
    for (const LoadedImage& image : deformedImages)
        names << QFileInfo(image.path).completeBaseName();
    bool deleteOld = false;
    if (!namesFreeAndDeletionConfirmed(names, deleteOld))
        return;

    const BusyScope busy(this, true);
    showPreparingComputation();
    QCoreApplication::processEvents();
    correlateLoadedImages(names, deleteOld);
}

// The road of single images, also taken by mosaics once they are assembled.
void MainWidget::correlateLoadedImages(const QStringList& names, bool deleteOld) {
    if (!checkInputImagesLoaded())
        return;
    saveParametersToFile(appliedProjectFolder + QStringLiteral("/parameters.json"));
    makeOdd(windowSizeXSpin);
    makeOdd(windowSizeYSpin);
    for (const LoadedImage& image : deformedImages)
        if (refuseDeformedSize(image))
            return;
    // Nothing can stop the run now: only here do old results make way.
    if (deleteOld)
        deleteOldResults();
    runNames = names;
    startClassicRun();
}

// Everything is checked before old results are deleted, as for single images.
void MainWidget::startBatchFromCompute() {
    QString error;
    if (!validateMosaicTileCounts(error)) {
        sayRefusal(QStringLiteral("Batch Tile DIC"), error);
        return;
    }
    // Tiles of two states named alike would write over each other's results.
    bool deleteOld = false;
    if (!namesFreeAndDeletionConfirmed(batchQueueNames(), deleteOld)) {
        // No run is under way: a queue left filled would pass for one.
        batchQueue.clear();
        return;
    }
    const BusyScope busy(this, true);
    showPreparingComputation();
    QCoreApplication::processEvents();
    const bool roiSet = roiXSpin && roiYSpin && roiWidthSpin && roiHeightSpin && roiWidthSpin->value() > 0 &&
                        roiHeightSpin->value() > 0;
    batchRoi = roiSet ? QRect(roiXSpin->value(), roiYSpin->value(), roiWidthSpin->value(), roiHeightSpin->value())
                      : QRect();
    saveParametersToFile(appliedProjectFolder + QStringLiteral("/parameters.json"));
    makeOdd(windowSizeXSpin);
    makeOdd(windowSizeYSpin);
    if (deleteOld)
        deleteOldResults();
    startBatchRun();
}

bool MainWidget::workerAvailable() {
    if (worker)
        return true;
    runInProgress = false;
    setComputationRunning(false);
    sayRefusal(QStringLiteral("Computation"), QStringLiteral("Computation cannot start (worker unavailable)."));
    return false;
}

void MainWidget::postComputationRequest(ComputationRequest request, const QString& status) {
    if (progressBar) {
        progressBar->setRange(0, 100);
        progressBar->setValue(0);
    }
    setStatus(status);
    setComputationRunning(true);
    ComputeWorker* target = worker.data();
    QMetaObject::invokeMethod(
        target, [target, request = std::move(request)] { target->startComputation(request); }, Qt::QueuedConnection);
}

bool MainWidget::namesFreeAndDeletionConfirmed(const QStringList& names, bool& deleteOld) {
    return !refuseClashingResultNames(names) && confirmResultDeletion(deleteOld);
}

void MainWidget::showPreparingComputation() {
    if (progressBar) {
        progressBar->setRange(0, 100);
        progressBar->setValue(0);
    }
    setStatus(QStringLiteral("Preparing computation..."));
}

bool MainWidget::refuseClashingResultNames(const QStringList& names) {
    const QStringList clashing = clashingResultNames(names);
    if (clashing.isEmpty())
        return false;
    sayRefusal(QStringLiteral("Images"),
               QStringLiteral("Several deformed images are named alike and would write their results to the same "
                               "files:\n%1\n\nRename them so that each has a name of its own.")
                    .arg(clashing.join(QStringLiteral(", "))));
    return true;
}

bool MainWidget::confirmResultDeletion(bool& deleteOld) {
    waitForResultWrites();
    removeLeftoverTemporaryFiles(appliedProjectFolder);
    deleteOld = !existingResultFiles(appliedProjectFolder).isEmpty();
    if (!deleteOld)
        return true;
    return askQuestion(this, QStringLiteral("Existing results"),
                       QStringLiteral("Results already exist in this project.\nDo you want to overwrite them?"),
                       QMessageBox::Yes | QMessageBox::No, QMessageBox::No) == QMessageBox::Yes;
}

void MainWidget::deleteOldResults() {
    waitForResultWrites();
    if (statusLabel)
        statusLabel->setText(QStringLiteral("Deleting old results..."));
    QCoreApplication::processEvents();
    for (const QString& file : existingResultFiles(appliedProjectFolder))
        if (!QFile::remove(file))
            qWarning().noquote() << "[GUI] Could not delete old result" << file;
    results.clear();
    otherAssemblyResults.clear();
    // The tiles named for results no longer have any: a grid over them would read nothing, or the next run's.
    // A per-tile run has just named its own queue.
    if (!perTileMode)
        forgetBatchNames();
    clearTiming();
    shownDisplacements.reset();
    shownResultIndex = -1;
    updateRigidShiftLabel(-1);
    for (QSlider* slider : {displacementSlider, strainSlider, fractureSlider})
        if (slider) {
            const QSignalBlocker blocker(slider);
            slider->setMaximum(0);
            slider->setValue(0);
            slider->setEnabled(false);
        }
    for (QPushButton* button : {displacementPrevButton, displacementNextButton})
        if (button)
            button->setEnabled(false);
    // Height/*_uz.tif went with the others: their maps must not be shown or saved again.
    forgetHeightResults();
    updateHeightTilesControls();
    // The project file must not go on listing the results just deleted.
    saveParametersToProject();
}

void MainWidget::startClassicRun() {
    runImageIndex = 0;
    shownResultIndex = 0;
    runInProgress = true;
    runStopRequested = false;
    resultWriteFailures.clear();
    loadCancelFlag->store(false);
    results.clear();
    fractureMode = hasHeavisideTerm(currentComputationModeId()) || isNeuralModel(currentComputationModeId());
    if (!fractureMode)
        setFractureTabVisible(false);
    runImages = deformedImages;
    takeRunInputs();
    clearTiming();
    runTimer.start();
    if (statusLabel)
        statusLabel->setText(
            QStringLiteral("Computing %1 deformed image(s)...").arg(static_cast<int>(runImages.size())));
    computeNextImage();
}

// Every request of the run starts from this copy: a control changed while
// the run goes on reaches none of its later images or tiles.
void MainWidget::takeRunInputs() {
    runGeometry = currentResultGeometry();
    runRequest = buildComputationRequest(-1);
}

ResultGeometry MainWidget::currentResultGeometry() const {
    ResultGeometry g;
    const QSize reference = referenceSize();
    const QRect whole(QPoint(0, 0), reference);
    const QRect drawn = referenceView ? scaleRect(referenceView->roi(), referenceImage.displayScale()) : QRect();
    g.roi = drawn.isNull() ? whole : drawn.intersected(whole);
    g.stepX = spinValue(spacingXSpin, 8);
    g.stepY = spinValue(spacingYSpin, 8);
    g.windowSizeX = spinValue(windowSizeXSpin, 0);
    g.windowSizeY = spinValue(windowSizeYSpin, 0);
    g.marginX = std::max(spinValue(searchLeftSpin, 0), spinValue(searchRightSpin, 0));
    g.marginY = std::max(spinValue(searchUpSpin, 0), spinValue(searchDownSpin, 0));
    g.imageWidth = reference.width();
    g.imageHeight = reference.height();
    return g;
}

ComputationRequest MainWidget::buildComputationRequest(int index) const {
    const int model = currentComputationModeId();
    const bool neural = isNeuralModel(model);
    const bool heaviside = hasHeavisideTerm(model);
    ComputationRequest r;
    r.reference = referenceImage.full;
    if (index >= 0 && index < static_cast<int>(deformedImages.size()))
        r.deformed = deformedImages[static_cast<std::size_t>(index)].full;
    r.mask = maskImage;
    r.useMask = maskActive && !maskImage.isNull();
    r.roi = runGeometry.roi;
    PixelSearchParams& p = r.pixelSearch;
    p.windowSizeX = runGeometry.windowSizeX;
    p.windowSizeY = runGeometry.windowSizeY;
    p.stepX = neural ? 48 : runGeometry.stepX;
    p.stepY = neural ? 48 : runGeometry.stepY;
    p.searchUp = spinValue(searchUpSpin, 0);
    p.searchDown = spinValue(searchDownSpin, 0);
    p.searchLeft = spinValue(searchLeftSpin, 0);
    p.searchRight = spinValue(searchRightSpin, 0);
    p.maxU = std::max(p.searchUp, p.searchDown);
    p.maxV = std::max(p.searchLeft, p.searchRight);
    p.hierarchical = !neural;
    SubpixelParams& s = r.subpixel;
    s.maxIterations = spinValue(maxIterationsSpin, 35);
    s.convergenceTolerance = toleranceSpin ? static_cast<float>(toleranceSpin->value()) : 1e-6f;
    s.interpolation = interpolationCombo && interpolationCombo->currentIndex() >= 0
                          ? interpolationCombo->currentData().toInt()
                          : 0;
    s.affine = hasGradientTerms(model);
    s.heaviside = heaviside;
    s.enableTwinning = heaviside && twinningCheck && twinningCheck->isChecked();
    s.engineOption = 1;
    s.maxJumpInit = maxJumpInitSpin ? static_cast<float>(maxJumpInitSpin->value()) : 0.0f;
    s.enableNLC = nlcFilterCheck && nlcFilterCheck->isChecked();
    r.shapeFunctionName = shapeFunctionName(model);
    r.interpolationName = interpolationCombo ? interpolationCombo->currentText() : QString();
    r.computeStrains = false;
    r.heavisideEnabled = heaviside;
    r.enableQ4Projection = heaviside && q4ProjectionCheck && q4ProjectionCheck->isChecked();
    r.q4Passes = spinValue(q4PassesSpin, 5);
    r.q4JumpThreshold = q4ThresholdSpin ? static_cast<float>(q4ThresholdSpin->value()) : 0.5f;
    r.imageIndex = index + 1;
    r.imageCount = static_cast<int>(deformedImages.size());
    r.neuralCorrelation = neural;
    r.userStepX = runGeometry.stepX;
    r.userStepY = runGeometry.stepY;
    const int gpu = gpuDeviceCombo ? gpuDeviceCombo->currentData().toInt() : kNoGpuChoice;
    r.multiGpu = gpu == kAllGpusChoice;
    r.gpuDevice = gpu;
    return r;
}

void MainWidget::computeNextImage() {
    const int count = static_cast<int>(runImages.size());
    if (runStopRequested) {
        endRun(QStringLiteral("Computation cancelled."));
        return;
    }
    if (runImageIndex < count) {
        QString error;
        if (!ensureRunImageLoaded(runImageIndex, error)) {
            if (runStopRequested) {
                endRun(QStringLiteral("Computation cancelled."));
                return;
            }
            const QString text =
                QStringLiteral("Unable to reload deformed image %1: %2").arg(runImageIndex + 1).arg(error);
            endRun(text);
            showMessage(this, QStringLiteral("Computation"), text);
            return;
        }
        if (!workerAvailable())
            return;
        ComputationRequest request = runRequest;
        request.deformed = runImages[static_cast<std::size_t>(runImageIndex)].full;
        request.imageIndex = runImageIndex + 1;
        runImageStartMs = runTimer.elapsed();
        postComputationRequest(std::move(request),
                               QStringLiteral("Computing image %1/%2...").arg(runImageIndex + 1).arg(count));
        return;
    }
    runInProgress = false;
    setComputationRunning(false);
    releaseWorkerResources();
    releaseRunInputs();
    shownResultIndex = count - 1;
    updateResultSlider();
    clearTiming();
    if (statusLabel)
        statusLabel->setText(QStringLiteral("All computations completed: %1 image(s) processed | Total time: %2")
                                 .arg(count)
                                 .arg(formatDuration(runTimer.elapsed())));
    // The project file records the rigid shifts, which the fields on disk
    // are measured after.
    saveParametersToProject();
    reportResultWriteFailures();
}

void MainWidget::releaseWorkerResources() {
    DeviceBufferPool::instance().releaseAll();
    if (ComputeWorker* target = worker.data())
        QMetaObject::invokeMethod(target, [target] { target->releaseAiSession(); }, Qt::QueuedConnection);
}

void MainWidget::endRun(const QString& status) {
    runInProgress = false;
    runStopRequested = false;
    batchIndex = 0;
    batchQueue.clear();
    if (progressBar)
        progressBar->setValue(0);
    if (statusLabel)
        statusLabel->setText(status);
    setComputationRunning(false);
    releaseWorkerResources();
    releaseRunInputs();
    saveParametersToProject();
    reportResultWriteFailures();
}

void MainWidget::releaseRunInputs() {
    runImages.clear();
    runRequest = ComputationRequest();
}

QString MainWidget::withTotalTime(const QString& status) const {
    return status + QStringLiteral(" | Total time: %1").arg(formatDuration(runTimer.elapsed()));
}

// The timing line speaks of one finished task: it goes with that task's results.
void MainWidget::clearTiming() {
    if (timingLabel)
        timingLabel->clear();
}

void MainWidget::sayRefusal(const QString& title, const QString& text) {
    setStatus(text.simplified());
    showMessage(this, title, text);
}

// The rule of refuseDeformedSize seen from the other side: a reference of
// another size would leave every held image uncorrelatable.
bool MainWidget::refuseReferenceSize(const LoadedImage& image, const QString& path) {
    if (mosaicSwitch && mosaicSwitch->isChecked())
        return false;
    const QSize size = image.full.isNull() ? image.originalSize : image.full.size();
    for (const LoadedImage& held : deformedImages) {
        const QSize other = held.full.isNull() ? held.originalSize : held.full.size();
        if (other.isEmpty() || other == size)
            continue;
        sayRefusal(QStringLiteral("Images"),
                   QStringLiteral("All images must have the same size: %1 is %2\u00d7%3, the deformed image %4 "
                                  "%5\u00d7%6.\n\nThe reference was not changed.")
                       .arg(QFileInfo(path).fileName())
                       .arg(size.width())
                       .arg(size.height())
                       .arg(QFileInfo(held.path).fileName())
                       .arg(other.width())
                       .arg(other.height()));
        return true;
    }
    return false;
}

bool MainWidget::refuseDeformedSize(const LoadedImage& image) {
    const QSize reference = referenceSize();
    const QSize size = image.full.isNull() ? image.originalSize : image.full.size();
    if (reference.isEmpty() || size == reference)
        return false;
    sayRefusal(QStringLiteral("Images"), QStringLiteral("All images must have the same size: %1 is %2\u00d7%3, the "
                                                        "reference %4\u00d7%5.")
                                             .arg(QFileInfo(image.path).fileName())
                                             .arg(size.width())
                                             .arg(size.height())
                                             .arg(reference.width())
                                             .arg(reference.height()));
    return true;
}

bool MainWidget::inputsLocked() const {
    return busyCounter > 0 || runInProgress || computationRunning || stitchingInProgress;
}

void MainWidget::startResultFilesJob(ResultFilesJob job) {
    if (!resultWriters) {
        resultWriters = new QThreadPool(this);
        // Two files at a time keep the disk busy without taking the cores the
        // next correlation runs on.
        resultWriters->setMaxThreadCount(2);
    }
    ++pendingResultWrites;
    resultWriters->start([window = this, job = std::move(job)] {
        const QStringList failures = saveCorrelationResultFiles(job);
        // The window waits for its writers before it goes, so it is there to
        // be posted to; Qt drops the call if it is gone before delivery.
        QMetaObject::invokeMethod(
            window, [window, failures] { window->onResultFilesWritten(failures); }, Qt::QueuedConnection);
    });
}

void MainWidget::onResultFilesWritten(const QStringList& failures) {
    pendingResultWrites = std::max(pendingResultWrites - 1, 0);
    for (const QString& failure : failures)
        qWarning().noquote() << "[GUI] Result file not written:" << failure;
    resultWriteFailures << failures;
    // The project file gets the rigid shift as soon as the files are on
    // disk, so a run that never ends keeps its ranges too.
    if (failures.isEmpty())
        saveParametersToProject();
    reportResultWriteFailures();
}

void MainWidget::reportResultWriteFailures() {
    if (runInProgress || pendingResultWrites > 0 || resultWriteFailures.isEmpty())
        return;
    const QString text = QStringLiteral("%1 result file(s) could not be written: %2")
                             .arg(resultWriteFailures.size())
                             .arg(resultWriteFailures.front());
    resultWriteFailures.clear();
    if (statusLabel)
        statusLabel->setText(text);
    showMessage(this, QStringLiteral("Result files"), text);
}

void MainWidget::waitForResultWrites() {
    if (resultWriters)
        resultWriters->waitForDone();
}

bool MainWidget::fullImageGridLayout(int gridWidth, int gridHeight, int& canvasWidth, int& canvasHeight,
                                     int& offsetX, int& offsetY) const {
    if (!saveFullImageCheck || !saveFullImageCheck->isChecked())
        return false;
    GridCanvas canvas;
    if (!tavro::gui::fullImageGridLayout(gridWidth, gridHeight, shownResultGeometry, canvas))
        return false;
    canvasWidth = canvas.width;
    canvasHeight = canvas.height;
    offsetX = canvas.offsetX;
    offsetY = canvas.offsetY;
    return true;
}

}  // namespace tavro::gui
