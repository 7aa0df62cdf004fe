// Bringing the window back to the state of a fresh one without a project, and
// the predicates that tell whether anything is loaded.
#include "gui/mainwindow/main_widget.h"

#include "gui/foundation/contrast_histogram_widget.h"
#include "gui/foundation/scientific_double_spin_box.h"
#include "gui/mainwindow/input_rules.h"
#include "gui/mainwindow/result_page_parts.h"
#include "gui/style/switch_widget.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalBlocker>
#include <QSlider>
#include <QSpinBox>
#include <QToolButton>

namespace tavro::gui {

namespace {

void setSpinBlocked(QSpinBox* spin, int value) {
    if (!spin)
        return;
    const QSignalBlocker blocker(spin);
    spin->setValue(value);
}

void setCheckBlocked(QAbstractButton* button, bool on) {
    if (!button)
        return;
    const QSignalBlocker blocker(button);
    button->setChecked(on);
}

void clearList(QListWidget* list) {
    if (!list)
        return;
    const QSignalBlocker blocker(list);
    list->clear();
}

void clearHistogram(ContrastHistogramWidget* histogram) {
    if (histogram)
        histogram->clear();
}

void setLabel(QLabel* label, const QString& text) {
    if (label)
        label->setText(text);
}

void emptyView(ImageViewWidget* view) {
    if (!view)
        return;
    view->setImage(QImage(), false);
    view->clearRoi();
}

}  // namespace

bool MainWidget::hasAnyData() const {
    const auto anyTiles = [](const QList<QStringList>& states) {
        return std::any_of(states.begin(), states.end(), [](const QStringList& state) { return !state.isEmpty(); });
    };
    return !mosaicRefTilePaths.isEmpty() || anyTiles(mosaicDefTilePaths) || !referenceImage.displayImage().isNull() ||
           !deformedImages.empty() || !results.empty() || shownDisplacements != nullptr ||
           !referenceHeightPaths.isEmpty() || anyTiles(deformedHeightStates) || !heightResultRanges.empty() ||
           !shownHeightValues.empty();
}

bool MainWidget::hasImagesInCurrentMode() const {
    if (mosaicSwitch && mosaicSwitch->isChecked())
        return !mosaicRefTilePaths.isEmpty() ||
               std::any_of(mosaicDefTilePaths.begin(), mosaicDefTilePaths.end(),
                           [](const QStringList& state) { return !state.isEmpty(); });
    return !referenceImage.displayImage().isNull() || !deformedImages.empty();
}

void MainWidget::clearCurrentModeData() {
    if (mosaicSwitch && mosaicSwitch->isChecked()) {
        mosaicRefTilePaths.clear();
        clearList(mosaicRefTileList);
        mosaicDefTilePaths = {QStringList()};
        clearList(mosaicDefTileList);
        currentMosaicDefState = 0;
        while (mosaicDefStateButtons.size() > 1) {
            QPushButton* button = mosaicDefStateButtons.takeLast();
            if (mosaicStateGroup)
                mosaicStateGroup->removeButton(button);
            if (mosaicTabRowLayout)
                mosaicTabRowLayout->removeWidget(button);
            button->deleteLater();
        }
        if (!mosaicDefStateButtons.isEmpty()) {
            QPushButton* first = mosaicDefStateButtons.front();
            first->setText(QStringLiteral("Deformed 1"));
            if (mosaicStateGroup) {
                mosaicStateGroup->setId(first, 1);
                // The button lit is the list shown.
                const bool referenceShown = mosaicRefTilesBlock && !mosaicRefTilesBlock->isHidden();
                setCheckBlocked(referenceShown && mosaicReferenceTabButton ? mosaicReferenceTabButton : first, true);
            }
        }
        if (mosaicTabRow)
            mosaicTabRow->adjustSize();
        updateTileCountLabel(mosaicRefCountLabel, 0);
        updateTileCountLabel(mosaicDefCountLabel, 0);
        clearAssembledMosaicState();
        return;
    }
    referenceImage = LoadedImage();
    if (referencePathEdit)
        referencePathEdit->clear();
    if (clearReferenceButton)
        clearReferenceButton->setEnabled(false);
    deformedImages.clear();
    clearList(deformedList);
    shownDeformedIndex = 0;
    emptyView(referenceView);
    emptyView(deformedView);
    for (QSpinBox* spin : {roiXSpin, roiYSpin, roiWidthSpin, roiHeightSpin})
        setSpinBlocked(spin, 0);
}

void MainWidget::clearAllResults() {
    results.clear();
    otherAssemblyResults.clear();
    // Without results, the mosaics of the states are what the next run's results follow.
    deformedStates.adoptMosaicsAsResults();
    clearTiming();
    clearCrackLineCache();
    resultMemoryUse.clear();
    emptyResultPages();
    forgetBatchNames();
    clearHeldHeightResults();
    hideResultTabs();
}

void MainWidget::forgetBatchNames() {
    batchNames.clear();
    batchResultIndex = {};
    selectedBatchState = 0;
    selectedBatchTile = 0;
}

void MainWidget::emptyResultPages() {
    current = ComputationResult();
    displacementAppliedToAll = {};
    fractureAppliedToAll = {};
    criterionAutoRange.clear();
    shownDisplacements.reset();
    shownResultIndex = -1;
    renderedFractureField = -1;
    for (ImageViewWidget* view : {uxView, uyView, strainView, fractureView})
        if (view)
            view->setImage(QImage(), false);
    for (ContrastHistogramWidget* histogram : displacementHistograms)
        clearHistogram(histogram);
    clearHistogram(strainHistogram);
    clearHistogram(fractureHistogram);
    clearDisplacementHoverTexts();
    resetStrainHoverText();
    resetFractureHoverText();
    // No result, no shift: the line must not outlive the results it described.
    updateRigidShiftLabel(-1);
    // Nor the ranges of the field that was shown.
    updateResultRangeControls();
    updateStrainRangeLabel();
}

void MainWidget::clearHeldHeightResults() {
    forgetHeightResults();
    for (QPushButton* button : {heightPrevButton, heightNextButton})
        if (button)
            button->setEnabled(false);
    updateTileNavigator(heightTileNavigator, 0, 0, QString());
}

void MainWidget::resetAllData() {
    // Mosaic data, positions and crop.
    const bool mosaicMode = mosaicSwitch && mosaicSwitch->isChecked();
    setCheckBlocked(mosaicSwitch, true);
    clearCurrentModeData();
    setCheckBlocked(mosaicSwitch, mosaicMode);
    referenceTilePositions.clear();
    deformedTilePositions.clear();
    deformedTilePositionsStates.clear();
    mosaicFinalSize.reset();
    tileCrop = QRect();
    setLabel(cropTilesLabel, QStringLiteral("Load tiles first"));
    previewTileIndex = -1;
    enlargedTileIndex = -1;
    perTileMode = false;
    pendingMosaicConfig.reset();
    mosaicRefinementSummary.clear();
    // As a fresh window: the reference tiles shown, no tile navigator.
    setCheckBlocked(mosaicReferenceTabButton, true);
    if (mosaicRefTilesBlock)
        mosaicRefTilesBlock->show();
    if (mosaicDefTilesBlock)
        mosaicDefTilesBlock->hide();
    for (TileNavigator* navigator : {&inputTileNavigator, &displacementTileNavigator, &strainTileNavigator,
                                     &fractureTileNavigator, &heightTileNavigator})
        updateTileNavigator(*navigator, 0, 0, QString());

    // Kernels: the lists stay, the selection goes back to the first entries.
    resetKernelSelection();
    strainSettingsChanged = true;

    if (scanOrderCombo) {
        const QSignalBlocker blocker(scanOrderCombo);
        scanOrderCombo->setCurrentIndex(MosaicParameters().scanOrderIndex);
    }
    setSpinBlocked(gridRowsSpin, MosaicParameters().gridRows);
    setSpinBlocked(gridColsSpin, MosaicParameters().gridCols);
    setSpinBlocked(overlapXSpin, MosaicParameters().overlapX);
    setSpinBlocked(overlapYSpin, MosaicParameters().overlapY);
    setCheckBlocked(phaseCorrelationCheck, true);
    setCheckBlocked(missingTilesCheck, false);
    if (missingPositionsEdit) {
        const QSignalBlocker blocker(missingPositionsEdit);
        missingPositionsEdit->clear();
        missingPositionsEdit->setEnabled(false);
    }
    setCheckBlocked(nonRigidRefinementCheck, false);
    setCheckBlocked(stitchAndCorrelateRadio, true);
    setCheckBlocked(perTileRadio, false);
    for (QWidget* block : {gridGeometryBlock, alignMosaicRow, maskBlock, roiBlock})
        if (block)
            block->show();

    // Single-image inputs and the mask.
    setCheckBlocked(mosaicSwitch, false);
    clearCurrentModeData();
    setCheckBlocked(mosaicSwitch, mosaicMode);
    updateImageCountLabel(0);
    carriedReferencePath.clear();
    carriedMaskPath.clear();
    carriedDeformed.clear();
    maskImage = QImage();
    maskPath.clear();
    maskActive = false;
    if (maskPathEdit) {
        maskPathEdit->clear();
        maskPathEdit->setToolTip(QString());
    }
    if (clearMaskButton)
        clearMaskButton->setEnabled(false);
    setCheckBlocked(useMaskCheck, false);
    if (maskFieldBlock)
        maskFieldBlock->hide();
    if (maskOverlayButton) {
        setCheckBlocked(maskOverlayButton, true);
        maskOverlayButton->hide();
    }
    if (referenceView)
        referenceView->setMaskOverlay(QImage());
    clearHistogram(referenceHistogram);
    clearHistogram(deformedHistogram);
    for (QLabel* label : {referenceMinMaxLabel, deformedMinMaxLabel})
        setLabel(label, minMaxText(false, 0.0f, 0.0f));
    // A contrast window set by hand belongs to the images it was set on.
    referenceDisplayMin = deformedDisplayMin = 0.0f;
    referenceDisplayMax = deformedDisplayMax = 255.0f;
    referenceDisplayRangeSet = deformedDisplayRangeSet = false;
    for (QSpinBox* spin : {roiXSpin, roiYSpin, roiWidthSpin, roiHeightSpin})
        if (spin) {
            const QSignalBlocker blocker(spin);
            spin->setRange(0, 0);
        }

    // Project.
    projectFolderPath.clear();
    appliedProjectFolder.clear();
    if (projectPathEdit) {
        const QSignalBlocker blocker(projectPathEdit);
        projectPathEdit->clear();
    }
    setProjectControlsEnabled(false);

    clearAllResults();

    // Heights.
    referenceHeightPaths.clear();
    deformedHeightStates = {QStringList()};
    currentDeformedHeightState = 0;
    while (heightStateButtons.size() > 1) {
        QPushButton* button = heightStateButtons.takeLast();
        if (heightTabGroup)
            heightTabGroup->removeButton(button);
        button->deleteLater();
    }
    if (heightTabGroup && heightTabGroup->button(0))
        setCheckBlocked(heightTabGroup->button(0), true);
    clearList(heightRefTiles.list);
    clearList(heightDefTiles.list);
    setLabel(heightRefTiles.countLabel, QStringLiteral("No tiles"));
    setLabel(heightDefTiles.countLabel, QStringLiteral("No tiles"));
    outOfPlaneStale = false;
    forgetHeightResults();

    // Correlation parameters, and the options a new project must not inherit.
    const ProjectParameters fresh;
    setSpinBlocked(windowSizeXSpin, fresh.windowSizeX);
    setSpinBlocked(windowSizeYSpin, fresh.windowSizeY);
    setSpinBlocked(spacingXSpin, fresh.stepX);
    setSpinBlocked(spacingYSpin, fresh.stepY);
    for (QSpinBox* spin : {searchUpSpin, searchDownSpin, searchLeftSpin, searchRightSpin})
        setSpinBlocked(spin, fresh.searchUp);
    windowSettingsSaved = false;
    if (computationModeCombo) {
        {
            const QSignalBlocker blocker(computationModeCombo);
            computationModeCombo->setCurrentIndex(fresh.dofIndex);
        }
        onDegreeOfFreedomChanged(computationModeCombo->currentIndex());
    }
    if (interpolationCombo) {
        const QSignalBlocker blocker(interpolationCombo);
        interpolationCombo->setCurrentIndex(fresh.interpolationIndex);
    }
    if (toleranceSpin) {
        const QSignalBlocker blocker(toleranceSpin);
        toleranceSpin->setValue(fresh.epsilon);
    }
    setSpinBlocked(maxIterationsSpin, fresh.maxIterations);
    setCheckBlocked(twinningCheck, false);
    if (twinningCheck)
        twinningCheck->hide();
    setCheckBlocked(saveFullImageCheck, false);
    setCheckBlocked(nlcFilterCheck, false);
    setSpinBlocked(maxJumpInitSpin, 0);
    fractureOpeningMin = fresh.fractureOpeningMin;
    fractureRidgeThickness = fresh.fractureRidgeThickness;
    if (fractureMinJumpSlider) {
        const QSignalBlocker blocker(fractureMinJumpSlider);
        fractureMinJumpSlider->setValue(minJumpSliderPosition(fractureOpeningMin));
    }
    setLabel(fractureJumpValueLabel, minJumpText(fractureOpeningMin));
    setSpinBlocked(fractureLineWidthSpin, fractureRidgeThickness);

    hideResultTabs();
    updateDeformedList();
    updateHeightModeHint();
}

// Out-of-plane maps whose files are gone, or whose inputs changed, are not shown or saved again.
void MainWidget::forgetShownHeightMap() {
    shownHeightValues.clear();
    heightDisplayedField.clear();
    shownHeightWidth = 0;
    shownHeightHeight = 0;
    shownHeightIndex = -1;
    heightResultShown = false;
    assembledHeightShown = false;
    previewedReferenceHeight.clear();
    if (heightView)
        heightView->setImage(QImage(), false);
    setLabel(heightStepLabel, QStringLiteral("State \u2014 : \u2014"));
    // An empty map must not show the range of the map it replaced.
    setLabel(heightRangeLabel, QStringLiteral("Min : \u2014    Max : \u2014"));
    clearHistogram(heightHistogram);
    if (heightSlider) {
        const QSignalBlocker blocker(heightSlider);
        heightSlider->setMaximum(0);
        heightSlider->setValue(0);
        heightSlider->setEnabled(false);
    }
}

void MainWidget::forgetHeightResults() {
    heightResultRanges.clear();
    otherAssemblyHeightRanges.clear();
    clearHeightResults();
    forgetShownHeightMap();
}

}  // namespace tavro::gui
