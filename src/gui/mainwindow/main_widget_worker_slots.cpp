// What the window does with the worker's four signals, the computing state of
// the controls, and Stop.
#include "gui/mainwindow/main_widget.h"

#include "compute/progress_text.h"
#include "compute/compute_worker.h"
#include "compute/kinematic_models.h"
#include "core/gpu_common.h"
#include "gpu/runtime_base.h"
#include "gui/foundation/elided_label.h"
#include "images/field_rendering.h"
#include "gui/foundation/message_boxes.h"
#include "gui/mainwindow/result_summary.h"
#include "gui/style/switch_widget.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDebug>
#include <QEventLoop>
#include <QFileInfo>
#include <QLabel>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QTabWidget>
#include <QTimer>

#include <algorithm>
#include <array>
#include <cmath>

namespace tavro::gui {

namespace {

// The display range of a freshly computed field: its bulk, within its extremes.
void autoRange(const std::vector<float>& field, float dataMin, float dataMax, float& shownMin, float& shownMax,
               float& percentileMin, float& percentileMax) {
    const auto [low, high] = percentileRange(field, dataMin, dataMax);
    shownMin = percentileMin = low;
    shownMax = percentileMax = high;
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

}  // namespace

void MainWidget::onComputationProgress(int value, QString message) {
    if (progressBar)
        progressBar->setValue(std::clamp(value, 0, 100));
    // Each image is a computation of its own; the run's time goes on across them.
    if (runInProgress && runTimer.isValid()) {
        const int64_t now = runTimer.elapsed();
        message = withElapsed(message, now);
        // The worker estimates its own image; the run goes on over the images after it.
        const int images = static_cast<int>(runImages.size());
        if (runImageIndex < images)
            message = withRunRemaining(message, now - runImageStartMs, runImageStartMs, runImageIndex,
                                       images - runImageIndex - 1);
    }
    if (!message.isEmpty()) {
        const qsizetype bars = message.indexOf(QStringLiteral("|||"));
        if (statusLabel)
            statusLabel->setText(bars < 0 ? message : message.left(bars));
        if (timingLabel)
            timingLabel->setText(bars < 0 ? QString() : message.mid(bars + 3));
    }
    static bool pumping = false;
    if (pumping)
        return;
    pumping = true;
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    pumping = false;
}

void MainWidget::onComputationFailed(QString status, QString details) {
    endRun(status.isEmpty() ? QStringLiteral("Computation error.") : status);
    // A pending device error would otherwise fail the next, unrelated call.
    if (cudaGetLastError() != cudaSuccess) {
        (void)cudaDeviceSynchronize();
        (void)cudaGetLastError();
    }
    showMessage(this, QStringLiteral("CUDA"), details.isEmpty() ? statusLabel->fullText() : details);
}

void MainWidget::onComputationCancelled() { endRun(QStringLiteral("Computation cancelled.")); }

void MainWidget::onComputationFinished(tavro::gui::ComputationResult result) {
    if (!runInProgress) {
        // No image of the list asked for it: storing it would put it beside
        // whichever image happens to be selected.
        qWarning().noquote() << "[GUI] A result arrived outside a run and was dropped:" << result.shapeFunctionName
                             << result.roi;
        setComputationRunning(false);
        releaseWorkerResources();
        setStatus(resultSummaryText(result));
        return;
    }
    QWidget* pageBefore = mainTabs ? mainTabs->currentWidget() : nullptr;
    const bool stepsChanged =
        shownResultGeometry.stepX != runGeometry.stepX || shownResultGeometry.stepY != runGeometry.stepY;
    result.geometry = runGeometry;
    result.geometry.gridWidth = result.displacements->gridWidth;
    result.geometry.gridHeight = result.displacements->gridHeight;
    shownResultGeometry = result.geometry;
    resultStepX = runGeometry.stepX;
    resultStepY = runGeometry.stepY;

    autoRange(result.displacements->dispX, result.autoMinUx, result.autoMaxUx, result.minUx, result.maxUx,
              result.display.percentileMinUx, result.display.percentileMaxUx);
    autoRange(result.displacements->dispY, result.autoMinUy, result.autoMaxUy, result.minUy, result.maxUy,
              result.display.percentileMinUy, result.display.percentileMaxUy);
    if (result.hasStrain) {
        const StrainResult& s = *result.strains;
        const std::vector<float>* fields[] = {&s.epsXX, &s.epsYY, &s.epsXY, &s.epsI, &s.epsII, &s.rotation};
        for (std::size_t c = 0; c < kStrainRangeCount; ++c)
            autoRange(*fields[c], result.strainAutoMin[c], result.strainAutoMax[c], result.strainMin[c],
                      result.strainMax[c], result.display.strainPercentileMin[c],
                      result.display.strainPercentileMax[c]);
    } else {
        if (strainView)
            strainView->setImage(QImage(), false);
        setFirstComboEntry(strainComponentCombo);
    }
    if (result.hasFracture) {
        const FractureResult& f = *result.fracture;
        for (std::size_t m = 0; m < kFractureRangeCount; ++m)
            autoRange(f.fields[static_cast<std::size_t>(kFractureRangeFields[m])], result.fractureAutoMin[m],
                      result.fractureAutoMax[m], result.fractureMin[m], result.fractureMax[m],
                      result.display.fracturePercentileMin[m], result.display.fracturePercentileMax[m]);
    } else {
        renderedFractureField = -1;
        if (fractureView)
            fractureView->setImage(QImage(), false);
        setFirstComboEntry(fractureParameterCombo);
    }

    const int index = runImageIndex;
    if (index >= 0 && index < runNames.size())
        result.display.name = runNames[index];
    showStoredResult(result);
    clearDisplacementHoverTexts();
    resetStrainHoverText();
    resetFractureHoverText();
    if (progressBar)
        progressBar->setValue(100);
    setDisplacementsTabVisible(true);
    setStrainsTabVisible(true);
    setFractureTabVisible(fractureMode && result.hasFracture);
    update3DMapsTabEnabled();
    if (mainTabs) {
        QWidget* wanted = pageBefore;
        if (!resultTabRestored) {
            resultTabRestored = true;
            wanted = resultsShownBeforeRun ? rememberedResultTab : displacementsPage;
            if (!wanted || mainTabs->indexOf(wanted) < 0)
                wanted = displacementsPage;
        }
        if (wanted && mainTabs->indexOf(wanted) >= 0)
            mainTabs->setCurrentWidget(wanted);
    }
    if (strainComponentCombo)
        strainComponentCombo->setEnabled(result.hasStrain);
    if (fractureParameterCombo)
        fractureParameterCombo->setEnabled(result.hasFracture);
    rebuildStrainComponentCombo();
    if (result.hasFracture) {
        setStatus(QStringLiteral("Detecting crack lines..."));
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    }
    refreshResultViews(stepsChanged || !resultsShownBeforeRun);

    const int count = static_cast<int>(runImages.size());
    ResultFilesJob job;
    const bool writeFiles = !appliedProjectFolder.isEmpty() && index >= 0 && index < runNames.size();
    if (writeFiles) {
        job.dispX = result.displacements->dispX;
        job.dispY = result.displacements->dispY;
        job.gridWidth = result.displacements->gridWidth;
        job.gridHeight = result.displacements->gridHeight;
        job.hasStrains = result.hasStrain;
        job.hasFracture = result.hasFracture;
        if (result.hasStrain)
            job.strain = *result.strains;
        if (result.hasFracture)
            job.fracture = *result.fracture;
        job.projectFolder = appliedProjectFolder;
        job.saveFullImage = saveFullImageCheck && saveFullImageCheck->isChecked();
        job.geometry = runGeometry;
        job.baseName = runNames[index];
        if (!result.display.rigidShiftUnknown && std::isfinite(result.rigid.shiftX) &&
            std::isfinite(result.rigid.shiftY))
            job.rigidShift = std::array<float, 2>{result.rigid.shiftX, result.rigid.shiftY};
    }
    // A batch pair's result takes its place in the queue's order, which is
    // the order the result tabs browse; its rigid shift stays with it.
    const bool batch = batchRunActive();
    const int stored = batch ? batchIndex : index;
    const int storedCount = batch ? static_cast<int>(batchQueue.size()) : count;
    if (stored >= 0 && stored < storedCount) {
        shownResultIndex = stored;
        if (results.size() < static_cast<std::size_t>(storedCount))
            results.resize(static_cast<std::size_t>(storedCount));
        results[static_cast<std::size_t>(stored)] = std::move(result);
        touchResultCache(stored);
    }
    updateRigidShiftLabel(shownResultIndex);
    updateResultSlider();
    updateComputeStrainsButton();
    // New displacements make any out-of-plane map out of date.
    outOfPlaneStale = true;
    updateHeightTilesControls();

    if (writeFiles)
        startResultFilesJob(std::move(job));
    setComputationRunning(false);
    if (batch) {
        ++batchIndex;
        DeviceBufferPool::instance().releaseAll();
        startNextBatchTileComputation();
        return;
    }
    ++runImageIndex;
    computeNextImage();
}

void MainWidget::setComputationRunning(bool running) {
    computationRunning = running;
    const bool busy = running || runInProgress;
    setUiBusy(busy);
    if (computeTimer) {
        if (running)
            computeTimer->start();
        else
            computeTimer->stop();
    }
    if (computeButton)
        computeButton->setEnabled(!running);
    // Stop reaches the whole run, also the reload between two images.
    if (stopButton)
        stopButton->setEnabled(busy);
    // The run's inputs stay as it started, also between two of its requests.
    if (selectReferenceButton)
        selectReferenceButton->setEnabled(!busy);
    if (addDeformedButton)
        addDeformedButton->setEnabled(!busy);
    if (removeDeformedButton)
        removeDeformedButton->setEnabled(!busy && deformedList && deformedList->count() > 0);
    if (twinningCheck)
        twinningCheck->setEnabled(!running);
    if (maxJumpInitSpin)
        maxJumpInitSpin->setEnabled(!running);
    // The crack options follow the model, and Q4 projection stays off.
    if (computationModeCombo)
        updateCrackOptionsForMode(computationModeCombo->currentIndex());
    if (referenceView)
        referenceView->setRoiSelectionEnabled(!busy && !perTileMode);
    updateComputeStrainsButton();
    updateHeightTilesControls();
    updateRoiControlsEnabled();
    updateResultRangeControls();
    updateStrainRangeLabel();
    updateFractureRangeControls();
}

void MainWidget::updateComputeStrainsButton() {
    bool hasDisplacements = false;
    bool hasStrains = false;
    for (const ComputationResult& result : results) {
        hasDisplacements = hasDisplacements || !result.displacements->dispX.empty();
        hasStrains = hasStrains || result.hasStrain;
        if (hasDisplacements && hasStrains)
            break;
    }
    const bool idle = !computationRunning && !runInProgress;
    const bool enabled = hasDisplacements && idle && (!hasStrains || strainSettingsChanged);
    for (QPushButton* button : {computeStrainsButton, computeCriteriaButton})
        if (button)
            button->setEnabled(enabled);
}

void MainWidget::onStopComputation() {
    const auto stopping = [this](const QString& text) {
        if (stopButton)
            stopButton->setEnabled(false);
        if (statusLabel)
            statusLabel->setText(text);
    };
    if (projectLoading) {
        loadCancelFlag->store(true);
        stopping(QStringLiteral("Stopping loading..."));
    } else if (stitchWatcher && stitchWatcher->isRunning() && stitchingCancelFlag) {
        stitchingCancelFlag->store(true);
        stopping(QStringLiteral("Stopping..."));
    } else if ((computationRunning || runInProgress) && worker) {
        stopping(QStringLiteral("Stopping..."));
        // Between two requests nothing is with the worker: the run itself
        // must not post the next one, nor finish the reload it is waiting for.
        runStopRequested = runInProgress;
        loadCancelFlag->store(true);
        worker->cancel();
    } else if (busyCounter > 0) {
        // A background load watches this flag.
        loadCancelFlag->store(true);
        stopping(QStringLiteral("Stopping loading..."));
    }
}

}  // namespace tavro::gui
