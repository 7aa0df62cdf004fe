// The project folder and its parameters.json: values move between the
// window's controls and the project model, which owns the file format.
#include "gui/mainwindow/main_widget.h"

#include "gui/foundation/contrast_histogram_widget.h"
#include "gui/foundation/elided_label.h"
#include "images/image_io.h"
#include "gui/foundation/message_boxes.h"
#include "gui/foundation/scientific_double_spin_box.h"
#include "gui/mainwindow/result_cache.h"
#include "gui/mainwindow/result_page_parts.h"
#include "gui/project/folder_write_check.h"
#include "gui/project/result_files.h"
#include "gui/style/switch_widget.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSettings>
#include <QSignalBlocker>
#include <QSlider>
#include <QSpinBox>
#include <QStandardPaths>
#include <QTabWidget>
#include <QTimer>
#include <QToolButton>

#include <algorithm>
#include <cmath>

namespace tavro::gui {

namespace {

// Far beyond any series of height states a project can hold.
constexpr int kMaxHeightStateIndex = 100000;

// Ranges of states that are not listed (yet) are kept and written back:
// opening a project never loses a cached result. Only keys no state could
// ever have are dropped.
std::vector<HeightRangeEntry> keptHeightRanges(const std::vector<HeightRangeEntry>& cache) {
    std::vector<HeightRangeEntry> kept;
    for (const HeightRangeEntry& entry : cache) {
        if (entry.index < 0 || entry.index > kMaxHeightStateIndex) {
            qWarning().noquote() << "[Project] Height cache entry" << entry.index << "ignored";
            continue;
        }
        kept.push_back(entry);
    }
    return kept;
}

const QString kOrganisation = QStringLiteral("Quillmar");
const QString kApplication = QStringLiteral("Tavro2D");
const QString kLastProjectKey = QStringLiteral("lastProjectFolder");
const QString kParametersFile = QStringLiteral("parameters.json");
const QString kOverwritten = QStringLiteral("Project overwritten - ready to restart");
// Which file, and why: a size limit or a read-only file is no unwritable folder.
const QString kNotSaved = QStringLiteral("Changes are not saved: %1 cannot be written (%2).");

std::function<void(const QString&)>& projectLogMover() {
    static std::function<void(const QString&)> mover;
    return mover;
}

enum class ExistingProjectChoice { Load, Overwrite, Cancel };

ExistingProjectChoice askExistingProject(QWidget* parent, const QString& text) {
    QMessageBox box(parent);
    box.setWindowTitle(QStringLiteral("Existing project detected"));
    box.setText(text);
    box.setInformativeText(QStringLiteral("What would you like to do?"));
    box.setIcon(QMessageBox::Question);
    QAbstractButton* load = box.addButton(QStringLiteral("Load project"), QMessageBox::AcceptRole);
    QAbstractButton* overwrite = box.addButton(QStringLiteral("Overwrite"), QMessageBox::DestructiveRole);
    box.addButton(QStringLiteral("Cancel"), QMessageBox::RejectRole);
    runModalDialog(box);
    if (box.clickedButton() == load)
        return ExistingProjectChoice::Load;
    if (box.clickedButton() == overwrite)
        return ExistingProjectChoice::Overwrite;
    return ExistingProjectChoice::Cancel;
}

int spinValue(const QSpinBox* spin, int unset) { return spin ? spin->value() : unset; }
bool checked(const QAbstractButton* button) { return button && button->isChecked(); }

// Values restored or reset must not trigger autosaves or recomputations.
void setSpin(QSpinBox* spin, int value) {
    if (!spin)
        return;
    const QSignalBlocker blocker(spin);
    spin->setValue(value);
}

void setCheck(QAbstractButton* button, bool on) {
    if (!button)
        return;
    const QSignalBlocker blocker(button);
    button->setChecked(on);
}

// An index the combo does not have selects its first entry.
void setComboIndex(QComboBox* combo, int index) {
    if (!combo)
        return;
    const QSignalBlocker blocker(combo);
    combo->setCurrentIndex(index >= 0 && index < combo->count() ? index : 0);
}

// A range that is not finite would be written as null and read back as 0.
float finite(float value) { return std::isfinite(value) ? value : 0.0f; }

ProjectTilePosition toProject(const stitching::TilePosition& tile) {
    return {tile.row, tile.col, tile.tileIndex, tile.isPresent, tile.tx, tile.ty, tile.rotation, tile.bounds};
}

stitching::TilePosition fromProject(const ProjectTilePosition& tile) {
    stitching::TilePosition out;
    out.row = tile.row;
    out.col = tile.col;
    out.tileIndex = tile.tileIndex;
    out.isPresent = tile.isPresent;
    out.tx = tile.tx;
    out.ty = tile.ty;
    out.rotation = tile.rotation;
    if (tile.bounds)
        out.bounds = *tile.bounds;
    return out;
}

std::vector<ProjectTilePosition> toProject(const QList<stitching::TilePosition>& tiles) {
    std::vector<ProjectTilePosition> out;
    for (const stitching::TilePosition& tile : tiles)
        out.push_back(toProject(tile));
    return out;
}

QList<stitching::TilePosition> fromProject(const std::vector<ProjectTilePosition>& tiles) {
    QList<stitching::TilePosition> out;
    for (const ProjectTilePosition& tile : tiles)
        out << fromProject(tile);
    return out;
}

// Runs an action once, after the next mouse release has reached its widget.
class AfterMouseRelease : public QObject {
public:
    AfterMouseRelease(QObject* owner, std::function<void()> action) : QObject(owner), action_(std::move(action)) {}

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::MouseButtonRelease && !done_) {
            done_ = true;
            qApp->removeEventFilter(this);
            QTimer::singleShot(0, parent(), [this] {
                action_();
                deleteLater();
            });
        }
        return false;
    }

private:
    std::function<void()> action_;
    bool done_ = false;
};

}  // namespace

void setProjectLogMover(std::function<void(const QString& folder)> mover) { projectLogMover() = std::move(mover); }

void MainWidget::saveParametersToProject() {
    if (autosaveSuppressed || appliedProjectFolder.isEmpty())
        return;
    saveParametersToFile(appliedProjectFolder + QLatin1Char('/') + kParametersFile);
}

bool MainWidget::saveParametersToFile(const QString& path) {
    QString error;
    if (saveParametersQuietly(path, error))
        return true;
    // Every failed save is said, in a box and in the status line: a change
    // that is silently not saved is lost when the window closes.
    const QString text = QStringLiteral("Unable to create parameters file.\n\n") + error;
    if (QGuiApplication::mouseButtons() == Qt::NoButton) {
        showMessage(this, QStringLiteral("Save"), text);
        return false;
    }
    // Inside a press (a spin box's arrow) the box waits for the release: a
    // box shown at once would take the release, and the spin box would step
    // again, and fail again, each time the box is closed. The steps of one
    // held press get one box.
    if (!saveBoxAfterRelease) {
        saveBoxAfterRelease = true;
        qApp->installEventFilter(new AfterMouseRelease(this, [this, text] {
            saveBoxAfterRelease = false;
            showMessage(this, QStringLiteral("Save"), text);
        }));
    }
    return false;
}

bool MainWidget::saveParametersQuietly(const QString& path, QString& error) {
    if (writeProjectParametersFile(path, collectProjectParameters(), error))
        return true;
    qWarning().noquote() << "[Project] Could not write" << path << ":" << error;
    setStatus(kNotSaved.arg(path, error));
    return false;
}

QString MainWidget::saveOpenedProject() {
    if (autosaveSuppressed || appliedProjectFolder.isEmpty())
        return {};
    QString error;
    const QString path = appliedProjectFolder + QLatin1Char('/') + kParametersFile;
    if (saveParametersQuietly(path, error))
        return {};
    return kNotSaved.arg(path, error);
}

ProjectParameters MainWidget::collectProjectParameters() const {
    ProjectParameters p;
    const ProjectParameters fresh;
    const MosaicParameters freshMosaic;
    p.projectFolder = appliedProjectFolder;
    if (!referenceImage.displayImage().isNull())
        p.referenceImage = referenceImage.path;
    else
        p.referenceImage = carriedReferencePath;
    const bool mosaicMode = checked(mosaicSwitch);
    if (!mosaicMode)
        collectDeformedEntries(p);
    else
        collectMosaicResultEntries(p);
    p.useMask = checked(useMaskCheck);
    p.maskImage = maskPath.isEmpty() ? carriedMaskPath : maskPath;
    const QRect roi = referenceView ? scaleRect(referenceView->roi(), referenceImage.displayScale()) : QRect();
    p.roi = roi.isNull() ? QRect(0, 0, 0, 0) : roi;
    p.windowSizeX = windowSettingsSaved ? savedWindowSettings[0] : spinValue(windowSizeXSpin, fresh.windowSizeX);
    p.windowSizeY = windowSettingsSaved ? savedWindowSettings[1] : spinValue(windowSizeYSpin, fresh.windowSizeY);
    p.stepX = windowSettingsSaved ? savedWindowSettings[2] : spinValue(spacingXSpin, fresh.stepX);
    p.stepY = windowSettingsSaved ? savedWindowSettings[3] : spinValue(spacingYSpin, fresh.stepY);
    p.searchUp = spinValue(searchUpSpin, fresh.searchUp);
    p.searchDown = spinValue(searchDownSpin, fresh.searchDown);
    p.searchLeft = spinValue(searchLeftSpin, fresh.searchLeft);
    p.searchRight = spinValue(searchRightSpin, fresh.searchRight);
    p.dofIndex = computationModeCombo ? std::max(computationModeCombo->currentIndex(), 0) : fresh.dofIndex;
    p.interpolationIndex =
        interpolationCombo ? std::max(interpolationCombo->currentIndex(), 0) : fresh.interpolationIndex;
    p.epsilon = toleranceSpin ? toleranceSpin->value() : fresh.epsilon;
    p.maxIterations = spinValue(maxIterationsSpin, fresh.maxIterations);
    p.fractureOpeningMin = std::isfinite(fractureOpeningMin) ? fractureOpeningMin : 0.0;
    p.fractureRidgeThickness = fractureRidgeThickness;
    p.enableTwinning = checked(twinningCheck);
    p.maxJumpAmplitude = spinValue(maxJumpInitSpin, fresh.maxJumpAmplitude);
    p.enableNLC = checked(nlcFilterCheck);
    p.saveFullImage = checked(saveFullImageCheck);
    p.strain = StrainParameters{derivativeKernels, smoothingKernels, selectedDerivativeKernel, selectedSmoothingKernel,
                                strainSettings.criteria};

    MosaicParameters mosaic;
    mosaic.enabled = mosaicMode;
    mosaic.batchTileMode = perTileMode;
    mosaic.gridRows = spinValue(gridRowsSpin, freshMosaic.gridRows);
    mosaic.gridCols = spinValue(gridColsSpin, freshMosaic.gridCols);
    mosaic.overlapX = spinValue(overlapXSpin, freshMosaic.overlapX);
    mosaic.overlapY = spinValue(overlapYSpin, freshMosaic.overlapY);
    mosaic.scanOrderIndex = scanOrderCombo ? std::max(scanOrderCombo->currentIndex(), 0) : freshMosaic.scanOrderIndex;
    mosaic.usePhaseCorrelation = checked(phaseCorrelationCheck);
    mosaic.allowMissingTiles = checked(missingTilesCheck);
    if (missingPositionsEdit)
        mosaic.missingTilePositions = missingPositionsEdit->text();
    mosaic.refineNonRigid = checked(nonRigidRefinementCheck);
    mosaic.tileCrop = tileCrop;
    mosaic.finalSize = mosaicFinalSize;
    mosaic.referenceTiles = mosaicRefTilePaths;
    mosaic.deformedStates = mosaicDefTilePaths;
    mosaic.refTilePositions = toProject(referenceTilePositions);
    mosaic.defTilePositions = toProject(deformedTilePositions);
    for (const auto& state : deformedTilePositionsStates)
        mosaic.defTilePositionsStates.push_back(toProject(state));
    p.mosaic = mosaic;

    HeightParameters heights;
    heights.referenceTiles = referenceHeightPaths;
    heights.deformedStates = deformedHeightStates;
    heights.currentStateIndex = currentDeformedHeightState;
    heights.hasResult = std::any_of(heightResultRanges.begin(), heightResultRanges.end(),
                                    [&](const HeightRangeEntry& entry) {
                                        return entry.index < static_cast<int>(deformedHeightStates.size());
                                    });
    heights.saveFullImage = checked(heightSaveFullImageCheck);
    p.heightFields = heights;

    const auto cached = [&](const HeightRangeEntry& entry) -> HeightRangeEntry {
        return {entry.index, finite(entry.minUz), finite(entry.maxUz), finite(entry.autoMin), finite(entry.autoMax),
                entry.manualUz};
    };
    for (const HeightRangeEntry& entry : heightResultRanges)
        p.heightCache.push_back(cached(entry));
    for (const HeightRangeEntry& entry : otherAssemblyHeightRanges)
        p.otherAssemblyHeightCache.push_back(cached(entry));
    return p;
}

void MainWidget::collectDeformedEntries(ProjectParameters& p) const {
    // The loaded images in list order, with the entries that could not be
    // read put back where the file had them; the result cache follows the
    // written order.
    struct Written {
        QString path;
        std::optional<ResultRangeEntry> cache;
    };
    std::vector<Written> written;
    for (std::size_t i = 0; i < deformedImages.size(); ++i) {
        Written entry{deformedImages[i].path, std::nullopt};
        if (i < results.size() && resultWorthAnEntry(results[i]))
            entry.cache = resultCacheEntry(0, results[i]);
        written.push_back(std::move(entry));
    }
    for (const CarriedDeformed& carried : carriedDeformed) {
        const auto at = static_cast<std::ptrdiff_t>(
            std::clamp<std::size_t>(static_cast<std::size_t>(std::max(carried.storedIndex, 0)), 0, written.size()));
        written.insert(written.begin() + at, Written{carried.path, carried.cache});
    }
    for (std::size_t i = 0; i < written.size(); ++i) {
        p.deformedImages << written[i].path;
        if (!written[i].cache)
            continue;
        ResultRangeEntry entry = *written[i].cache;
        entry.index = static_cast<int>(i);
        p.resultCache.push_back(entry);
    }
}

// The state mosaics have no list of their own in the file: their result
// entries are numbered by state, which a state without tiles does not shift.
// Without them a reopened mosaic result would lose its rigid shift, which its
// files leave out.
// Per-tile results are numbered by their place in the whole queue, which the
// tile lists give again when the project reopens, whichever files are gone.
// The assembly not chosen keeps its results aside, and its entries with them.
void MainWidget::collectMosaicResultEntries(ProjectParameters& p) const {
    p.resultCache = mosaicResultEntries(perTileMode, results);
    p.otherAssemblyResultCache = mosaicResultEntries(!perTileMode, otherAssemblyResults);
}

std::vector<ResultRangeEntry> MainWidget::mosaicResultEntries(bool perTile,
                                                              const std::vector<ComputationResult>& held) const {
    const QStringList queue = perTile ? batchQueueNames() : QStringList();
    std::vector<ResultRangeEntry> entries;
    for (std::size_t i = 0; i < held.size(); ++i) {
        const int index = !perTile ? deformedStates.stateOfResult(static_cast<int>(i))
                          : i < static_cast<std::size_t>(batchNames.size())
                              ? static_cast<int>(queue.indexOf(batchNames[static_cast<int>(i)]))
                              : -1;
        if (index >= 0 && resultWorthAnEntry(held[i]))
            entries.push_back(resultCacheEntry(index, held[i]));
    }
    return entries;
}

void MainWidget::restoreProjectSettings(const ProjectParameters& p) {
    if (p.mosaic) {
        const MosaicParameters& mosaic = *p.mosaic;
        setCheck(mosaicSwitch, mosaic.enabled);
        setCheck(stitchAndCorrelateRadio, !mosaic.batchTileMode);
        setCheck(perTileRadio, mosaic.batchTileMode);
        perTileMode = mosaic.batchTileMode;
        setSpin(gridRowsSpin, mosaic.gridRows);
        setSpin(gridColsSpin, mosaic.gridCols);
        setSpin(overlapXSpin, mosaic.overlapX);
        setSpin(overlapYSpin, mosaic.overlapY);
        setComboIndex(scanOrderCombo, mosaic.scanOrderIndex);
        setCheck(phaseCorrelationCheck, mosaic.usePhaseCorrelation);
        setCheck(missingTilesCheck, mosaic.allowMissingTiles);
        if (missingPositionsEdit) {
            const QSignalBlocker blocker(missingPositionsEdit);
            missingPositionsEdit->setText(mosaic.missingTilePositions);
            // What the check box's own signal would have done.
            missingPositionsEdit->setEnabled(mosaic.allowMissingTiles);
        }
        setCheck(nonRigidRefinementCheck, mosaic.refineNonRigid);
        tileCrop = mosaic.tileCrop;
        mosaicFinalSize = mosaic.finalSize;
        mosaicRefTilePaths = mosaic.referenceTiles;
        mosaicDefTilePaths =
            mosaic.deformedStates.isEmpty() ? QList<QStringList>{QStringList()} : mosaic.deformedStates;
        referenceTilePositions = fromProject(mosaic.refTilePositions);
        deformedTilePositions = fromProject(mosaic.defTilePositions);
        QList<QList<stitching::TilePosition>> statePositions;
        for (const auto& state : mosaic.defTilePositionsStates)
            statePositions << fromProject(state);
        deformedTilePositionsStates = DeformedStates::entriesByState(statePositions, mosaicDefTilePaths);
        showRestoredMosaicLists();
        // The reset left the reference tiles shown: their button is the one lit.
        if (mosaicRefTilesBlock && !mosaicRefTilesBlock->isHidden())
            setCheck(mosaicReferenceTabButton, true);
        const int placed = static_cast<int>(
            std::count_if(referenceTilePositions.begin(), referenceTilePositions.end(),
                          [](const stitching::TilePosition& tile) { return tile.tileIndex >= 0; }));
        if (mosaic.enabled && !referenceTilePositions.isEmpty() && placed == mosaicRefTilePaths.size())
            reconstructMosaicsFromPositions();
        // Without mosaics to show, the views show the first tile of each side,
        // as choosing those tiles by hand would (per-tile mode shows its tiles
        // with the layout below).
        if (mosaic.enabled && !perTileMode && showsIndividualTiles()) {
            previewTileIndex = -1;
            enlargedTileIndex = -1;
            displayCurrentTilesInViews();
        }
    }
    // The switch and the radio buttons were set without their signals.
    applyInputModeLayout();
    updateHeightModeHint();
    // (0, 0, 0, 0) in the file is no region: the whole image.
    const QRect roi = p.roi.isEmpty() ? QRect() : p.roi;
    updateRoiSpinRanges(referenceSize());
    if (referenceView && !roi.isNull() && !referenceImage.displayImage().isNull())
        referenceView->setRoi(unscaleRect(roi, referenceImage.displayScale()));
    if (!referenceSize().isEmpty())
        syncRoiSpinBoxes(roi, referenceSize());

    setSpin(windowSizeXSpin, p.windowSizeX);
    setSpin(windowSizeYSpin, p.windowSizeY);
    setSpin(spacingXSpin, p.stepX);
    setSpin(spacingYSpin, p.stepY);
    setSpin(searchUpSpin, p.searchUp);
    setSpin(searchDownSpin, p.searchDown);
    setSpin(searchLeftSpin, p.searchLeft);
    setSpin(searchRightSpin, p.searchRight);
    setComboIndex(computationModeCombo, p.dofIndex);
    // The file holds the user's window and step; a neural model puts them
    // aside and shows its presets, as choosing it by hand does.
    windowSettingsSaved = false;
    if (computationModeCombo)
        onDegreeOfFreedomChanged(computationModeCombo->currentIndex());
    setComboIndex(interpolationCombo, p.interpolationIndex);
    if (toleranceSpin) {
        const QSignalBlocker blocker(toleranceSpin);
        toleranceSpin->setValue(p.epsilon);
    }
    setSpin(maxIterationsSpin, p.maxIterations);
    setCheck(twinningCheck, p.enableTwinning);
    setSpin(maxJumpInitSpin, p.maxJumpAmplitude);
    setCheck(nlcFilterCheck, p.enableNLC);
    setCheck(saveFullImageCheck, p.saveFullImage);
    fractureOpeningMin = p.fractureOpeningMin;
    fractureRidgeThickness = p.fractureRidgeThickness;
    if (fractureMinJumpSlider) {
        fractureOpeningMin = std::clamp(fractureOpeningMin, 0.0, fractureMinJumpSlider->maximum() / 100.0);
        const QSignalBlocker blocker(fractureMinJumpSlider);
        fractureMinJumpSlider->setValue(minJumpSliderPosition(fractureOpeningMin));
    }
    if (fractureJumpValueLabel)
        fractureJumpValueLabel->setText(minJumpText(fractureOpeningMin));
    if (fractureLineWidthSpin) {
        fractureRidgeThickness = std::clamp(fractureRidgeThickness, fractureLineWidthSpin->minimum(),
                                            fractureLineWidthSpin->maximum());
        setSpin(fractureLineWidthSpin, fractureRidgeThickness);
    }

    if (p.strain) {
        derivativeKernels = p.strain->derivativeKernels;
        smoothingKernels = p.strain->smoothingKernels;
        selectedDerivativeKernel = p.strain->selectedDerivativeKernelIndex;
        selectedSmoothingKernel = p.strain->selectedSmoothingKernelIndex;
        strainSettings.criteria = p.strain->criteria;
        rebuildKernelList(true);
        rebuildKernelList(false);
        applySelectedKernels();
        rebuildCriteriaList();
    }
    if (p.heightFields) {
        referenceHeightPaths = p.heightFields->referenceTiles;
        deformedHeightStates = p.heightFields->deformedStates;
        currentDeformedHeightState = p.heightFields->currentStateIndex;
        setCheck(heightSaveFullImageCheck, p.heightFields->saveFullImage);
        outOfPlaneStale = !referenceHeightPaths.isEmpty() && hasAnyHeightDefTiles() && shownHeightValues.empty();
        showRestoredHeightLists();
        // The height inputs are on the 3D Maps page: it is there for them without any result.
        update3DMapsTabEnabled();
    }
    heightResultRanges = keptHeightRanges(p.heightCache);
    // The assembly set aside keeps its ranges for when it is chosen again.
    otherAssemblyHeightRanges = keptHeightRanges(p.otherAssemblyHeightCache);
    updateDeformedList();
}

QString MainWidget::defaultProjectDialogDir() const {
    if (!appliedProjectFolder.isEmpty())
        return appliedProjectFolder;
    const QString last = QSettings(kOrganisation, kApplication).value(kLastProjectKey).toString();
    if (!last.isEmpty() && QFileInfo(last).isDir())
        return last;
    return QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
}

void MainWidget::persistLastProjectFolder(const QString& folder) {
    if (!folder.isEmpty())
        QSettings(kOrganisation, kApplication).setValue(kLastProjectKey, folder);
}

void MainWidget::setProjectControlsEnabled(bool enabled) {
    for (QWidget* widget : {static_cast<QWidget*>(inputImagesGroup), static_cast<QWidget*>(parametersGroup),
                            static_cast<QWidget*>(computeButton)})
        if (widget)
            widget->setEnabled(enabled);
    if (progressBar) {
        progressBar->setEnabled(enabled);
        progressBar->setVisible(enabled);
    }
    for (QWidget* widget : {static_cast<QWidget*>(gpuGroup), static_cast<QWidget*>(inputViewsGroup)})
        if (widget)
            widget->setEnabled(enabled);
}

void MainWidget::refreshProjectControls() { setProjectControlsEnabled(!appliedProjectFolder.isEmpty()); }

void MainWidget::adoptProjectFolder(const QString& folder) {
    waitForResultWrites();
    projectFolderPath = folder;
    appliedProjectFolder = folder;
    // Another project's image folder is no start for this one's dialogs.
    lastImageFolder.clear();
    if (projectLogMover())
        projectLogMover()(folder);
    persistLastProjectFolder(folder);
    if (projectPathEdit) {
        const QSignalBlocker blocker(projectPathEdit);
        projectPathEdit->setText(folder);
    }
    setProjectControlsEnabled(true);
}

bool MainWidget::overwriteProject(const QString& folder) {
    // No writer of the old project may recreate a file after the wipe.
    waitForResultWrites();
    const QDir dir(folder);
    QStringList kept;
    if (dir.exists(kParametersFile) && !QFile::remove(dir.filePath(kParametersFile)))
        kept << kParametersFile;
    for (const char* name : {"Displacements", "Strains", "Fracture", "Rupture", "Height"}) {
        const QString sub = QString::fromLatin1(name);
        if (dir.exists(sub) && !QDir(dir.filePath(sub)).removeRecursively())
            kept << sub;
    }
    resetAllData();
    adoptProjectFolder(folder);
    if (kept.isEmpty())
        return true;
    if (statusLabel)
        statusLabel->setText(QStringLiteral("Unable to delete: ") + kept.join(QStringLiteral(", ")));
    showMessage(this, QStringLiteral("Project folder"),
                QStringLiteral("These old results could not be deleted and are still in the project folder:\n") +
                    kept.join(QLatin1Char('\n')));
    return false;
}

void MainWidget::onSelectProjectFolder() {
    const QString folder =
        askExistingDirectory(this, QStringLiteral("Select project folder"), defaultProjectDialogDir());
    if (folder.isEmpty())
        return;
    const QString file = QDir(folder).filePath(kParametersFile);
    if (QFileInfo::exists(file)) {
        switch (askExistingProject(this, QStringLiteral("The selected folder already contains a project "
                                                        "(parameters.json)."))) {
        case ExistingProjectChoice::Load:
            loadParametersFromFile(file);
            refreshProjectControls();
            break;
        case ExistingProjectChoice::Overwrite: {
            if (!folderTakesOverwrite(folder))
                break;
            const bool whole = overwriteProject(folder);
            saveParametersToProject();
            if (whole && statusLabel)
                statusLabel->setText(kOverwritten);
            break;
        }
        case ExistingProjectChoice::Cancel:
            break;
        }
        return;
    }
    if (!folderTakesProjectFile(folder))
        return;
    clearAllResults();
    resetKernelSelection();
    adoptProjectFolder(folder);
    saveParametersToProject();
}

bool MainWidget::folderTakesProjectFile(const QString& folder) {
    // A folder that cannot hold the project file is not taken at all.
    const QString file = QDir(folder).filePath(kParametersFile);
    QString error;
    if (writeProjectParametersFile(file, collectProjectParameters(), error))
        return true;
    qWarning().noquote() << "[Project] Could not write" << file << ":" << error;
    refuseProjectFolder(folder, error);
    return false;
}

// Tested before anything is wiped: an overwrite that could not save the new
// project would leave the old one deleted and the window on a folder it
// cannot write.
bool MainWidget::folderTakesOverwrite(const QString& folder) {
    QString error;
    if (probeFolderWritable(folder, error))
        return true;
    qWarning().noquote() << "[Project] Overwrite refused, the folder cannot be written:" << error;
    refuseProjectFolder(folder, error);
    return false;
}

void MainWidget::refuseProjectFolder(const QString& folder, const QString& error) {
    showMessage(this, QStringLiteral("Save"), QStringLiteral("Unable to create parameters file.\n\n") + error);
    setStatus(QStringLiteral("Project folder not changed: ") + folder);
}

bool MainWidget::refuseUnwritableProject() {
    QString error;
    if (probeProjectWritable(appliedProjectFolder, resultFolderNames(), error))
        return false;
    qWarning().noquote() << "[Project] Run refused, the project folder cannot be written:" << error;
    setStatus(QStringLiteral("The project folder cannot be written: nothing was computed (%1).").arg(error));
    showMessage(this, QStringLiteral("Project folder"),
                QStringLiteral("The project folder cannot be written, so the results of a computation could not "
                               "be saved:\n\n%1\n\nChoose a project folder you can write to.")
                    .arg(error));
    return true;
}

void MainWidget::applyProjectFolder() {
    if (!projectPathEdited)
        return;
    projectPathEdited = false;
    if (projectLoading || !projectPathEdit)
        return;
    // The field shows the folder in use again whenever the typed one is not
    // taken, so that it never names a folder autosave does not write into.
    const auto restoreField = [this] {
        projectFolderPath = appliedProjectFolder;
        const QSignalBlocker blocker(projectPathEdit);
        projectPathEdit->setText(appliedProjectFolder);
    };
    const QString typed = projectPathEdit->text().trimmed();
    if (typed.isEmpty()) {
        restoreField();
        return;
    }
    const QString path = QDir::cleanPath(QFileInfo(typed).absoluteFilePath());
    if (path == appliedProjectFolder)
        return;
    if (!QFileInfo(path).isDir()) {
        if (!QDir().mkpath(path)) {
            if (statusLabel)
                statusLabel->setText(QStringLiteral("Unable to create folder: ") + path);
            restoreField();
            return;
        }
        if (statusLabel)
            statusLabel->setText(QStringLiteral("Project folder created: ") + path);
    }
    const QString file = QDir(path).filePath(kParametersFile);
    if (!QFileInfo::exists(file)) {
        if (!folderTakesProjectFile(path)) {
            restoreField();
            return;
        }
        clearAllResults();
        adoptProjectFolder(path);
        saveParametersToProject();
        return;
    }
    switch (askExistingProject(this, QStringLiteral("The folder already contains a project (parameters.json)."))) {
    case ExistingProjectChoice::Load:
        loadParametersFromFile(file);
        refreshProjectControls();
        if (appliedProjectFolder != path)
            restoreField();
        break;
    case ExistingProjectChoice::Overwrite:
        if (!folderTakesOverwrite(path)) {
            restoreField();
            break;
        }
        if (overwriteProject(path) && statusLabel)
            statusLabel->setText(kOverwritten);
        break;
    case ExistingProjectChoice::Cancel:
        restoreField();
        break;
    }
}

void MainWidget::onLoadParameters() {
    const QString file = askOpenFileName(this, QStringLiteral("Load parameter file"), defaultProjectDialogDir(),
                                         QStringLiteral("Parameter files (*.json);;All files (*)"));
    if (file.isEmpty())
        return;
    loadParametersFromFile(file);
    refreshProjectControls();
}

}  // namespace tavro::gui
