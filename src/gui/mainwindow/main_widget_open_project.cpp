// Opening a project: its file read and checked before anything changes, its
// inputs read in the background, its settings restored, its results found in
// the folder, and a summary of what could and could not be loaded.
#include "gui/mainwindow/main_widget.h"

#include "compute/kinematic_models.h"
#include "gui/foundation/elided_label.h"
#include "images/image_io.h"
#include "gui/foundation/message_boxes.h"
#include "gui/mainwindow/result_cache.h"
#include "gui/mainwindow/run_async.h"
#include "gui/mainwindow/stored_results.h"
#include "gui/style/switch_widget.h"

#include <QCheckBox>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QScopeGuard>
#include <QSignalBlocker>
#include <QTabWidget>
#include <QTimer>
#include <QToolButton>

namespace tavro::gui {

namespace {

const QString kUnreadable = QStringLiteral(" (\u00e9chec de lecture, pas un chemin manquant)");

bool anyTiles(const QList<QStringList>& states) {
    return std::any_of(states.begin(), states.end(), [](const QStringList& state) { return !state.isEmpty(); });
}

// "- Incomplete results: state_2_ux.tif, ...", or nothing when every group found is whole.
QString incompleteResultsLine(const QStringList& files) {
    return files.isEmpty() ? QString() : QStringLiteral("\n- Incomplete results: ") + files.join(QStringLiteral(", "));
}

// "- Displacement results: 2/3" and the lines of the other kinds found.
QString restoredResultLines(int displacements, int of, int strains, int fractures, int heights) {
    QString text;
    if (displacements > 0)
        text += QStringLiteral("\n- Displacement results: %1/%2").arg(displacements).arg(of);
    if (strains > 0)
        text += QStringLiteral("\n- Strain results: %1").arg(strains);
    if (fractures > 0)
        text += QStringLiteral("\n- Fracture results: %1").arg(fractures);
    if (heights > 0)
        text += QStringLiteral("\n- Height results: %1").arg(heights);
    return text;
}

int countMissing(const QStringList& paths) {
    return static_cast<int>(std::count_if(paths.begin(), paths.end(),
                                          [](const QString& path) { return !QFileInfo::exists(path); }));
}

}  // namespace

void MainWidget::loadParametersFromFile(const QString& path) {
    std::optional<ProjectMessage> told;
    {
        const BusyScope busy(this, true);
        told = openProjectFile(path);
    }
    // Shown once the busy scope is over: under the box Stop is gone and the
    // controls are back, as they will be when it closes.
    if (told)
        showMessage(this, told->title, told->text);
}

std::optional<MainWidget::ProjectMessage> MainWidget::openProjectFile(const QString& path) {
    if (projectLoading)
        return std::nullopt;
    ProjectParameters parameters;
    QString error;
    ProjectReadFailure failure = ProjectReadFailure::None;
    // Refused before anything is reset: a bad file leaves the window and the
    // current project as they are.
    if (!readProjectParametersFile(path, ProjectReadDefaults(), parameters, error, failure)) {
        qWarning().noquote() << "[Project] Could not read" << path << ":" << error;
        return ProjectMessage{QStringLiteral("Loading"),
                              failure == ProjectReadFailure::Open
                                  ? QStringLiteral("Unable to open parameter file.")
                                  : QStringLiteral("Error reading JSON file: %1").arg(error)};
    }
    const QFileInfo file(path);
    const QString folder = file.absolutePath();
    const QString own = folder + QStringLiteral("/parameters.json");
    // Another file of the folder would become its parameters.json at the
    // first change: the folder's own file is not replaced unasked.
    const bool foreign = QFileInfo(own).absoluteFilePath() != file.absoluteFilePath();
    if (foreign && QFileInfo::exists(own) &&
        askQuestion(this, QStringLiteral("Load project"),
                    QStringLiteral("This folder already holds a parameters.json. Opening %1 makes its parameters "
                                   "the project's, and parameters.json will be rewritten with them.\n\nOpen %1?")
                        .arg(file.fileName()),
                    QMessageBox::Yes | QMessageBox::No, QMessageBox::No) != QMessageBox::Yes)
        return std::nullopt;

    waitForResultWrites();
    projectLoading = true;
    autosaveSuppressed = true;
    loadCancelFlag->store(false);
    if (progressBar) {
        progressBar->setRange(0, 100);
        progressBar->setValue(0);
    }
    setStatus(QStringLiteral("Loading project..."));
    QCoreApplication::processEvents();
    if (stopButton)
        stopButton->setEnabled(true);

    resetAllData();
    adoptProjectFolder(folder);
    removeLeftoverTemporaryFiles(folder);
    // Adopting a folder enables the project's controls: nothing may start
    // from them while the load runs.
    setUiBusy(true);
    ProjectLoadReport report;
    const bool mosaicMode = parameters.mosaic && parameters.mosaic->enabled;
    if (!mosaicMode)
        restoreProjectInputs(parameters, report);
    if (!report.cancelled) {
        restoreProjectSettings(parameters);
        if (mosaicMode)
            restoreProjectMask(parameters, report);
        if (mosaicMode && !mosaicRefTilePaths.isEmpty())
            qDebug().noquote() << "[GUI] Mode mosaïque chargé:" << mosaicRefTilePaths.size() << "tuiles ref,"
                               << mosaicDefTilePaths.size() << "états déformés," << referenceTilePositions.size()
                               << "positions ref";
        if (parameters.mosaic)
            report.missingTiles = countMissing(parameters.mosaic->referenceTiles);
        if (parameters.mosaic)
            for (const QStringList& state : parameters.mosaic->deformedStates)
                report.missingTiles += countMissing(state);
        fractureMode = hasHeavisideTerm(currentComputationModeId()) || isNeuralModel(currentComputationModeId());
        restoreProjectResults(parameters, report);
        if (parameters.heightFields && !report.cancelled)
            restoreHeightResults(report);
        // Without a height result to show, the chosen reference map is on show, as it was before the project closed.
        if (!report.cancelled && !heightResultShown && !referenceHeightPaths.isEmpty())
            showReferenceHeightPreview(referenceHeightPaths.front());
    }

    std::optional<ProjectMessage> summary;
    if (report.cancelled) {
        resetAllData();
        setStatus(QStringLiteral("Loading cancelled \u2014 nothing was loaded. The project on disk is unchanged."));
    } else {
        // The summary box stays up over the results: they are laid out and
        // fitted first, as they will be shown once it closes.
        QCoreApplication::processEvents();
        fitCurrentTabViews();
        summary = projectLoadSummary(report, mosaicMode);
        // A run stopped between two files of a group leaves the first alone.
        if (!report.incompleteResults.isEmpty()) {
            const QString note = QStringLiteral("Incomplete results: %1.")
                                     .arg(report.incompleteResults.join(QStringLiteral(", ")));
            qWarning().noquote() << "[Project]" << note;
            setStatus(statusLabel ? statusLabel->fullText() + QLatin1Char(' ') + note : note);
        }
        // The controls would bring such values into range without a word, and
        // the next save would keep them: said once, here.
        if (!parameters.outOfRangeKeys.isEmpty()) {
            const QString note = QStringLiteral("Out-of-range values brought into range: %1.")
                                     .arg(parameters.outOfRangeKeys.join(QStringLiteral(", ")));
            qWarning().noquote() << "[Project]" << note;
            setStatus(statusLabel ? statusLabel->fullText() + QLatin1Char(' ') + note : note);
        }
    }
    if (stopButton)
        stopButton->setEnabled(false);
    autosaveSuppressed = false;
    if (progressBar)
        progressBar->setValue(report.cancelled ? 0 : 100);
    const bool complete = report.missing.isEmpty() && report.missingTiles == 0 &&
                          report.loadedDeformed == report.listedDeformed;
    // After an incomplete load the file keeps what it held: the missing
    // inputs are carried, but nothing is written until the user changes
    // something. A folder that cannot be written is told in the summary, not
    // in a second box right after it.
    if (!report.cancelled && complete)
        if (const QString notSaved = saveOpenedProject(); !notSaved.isEmpty() && summary)
            summary->text += QStringLiteral("\n\n") + notSaved;
    QTimer::singleShot(100, this, [this] {
        projectLoading = false;
        if (mainTabs)
            emit mainTabs->currentChanged(mainTabs->currentIndex());
    });
    QTimer::singleShot(0, this, [this] { fitCurrentTabViews(); });
    return summary;
}

bool MainWidget::readImageForProject(const QString& path, LoadedImage& image, ProjectLoadReport& report) {
    std::optional<ImageLoadOutcome> outcome = runAsyncWithUI(
        [path] {
            ImageLoadOutcome loaded;
            loaded.ok = loadImage(path, loaded.image, loaded.error);
            return loaded;
        },
        *loadCancelFlag, static_cast<ElidedLabel*>(nullptr), QString());
    if (loadCancelFlag->load()) {
        report.cancelled = true;
        return false;
    }
    if (!outcome || !outcome->ok) {
        report.missing << path + kUnreadable;
        return false;
    }
    image = std::move(outcome->image);
    image.path = path;
    return true;
}

void MainWidget::restoreProjectInputs(const ProjectParameters& p, ProjectLoadReport& report) {
    if (!p.referenceImage.isEmpty()) {
        if (!QFileInfo::exists(p.referenceImage)) {
            report.missing << p.referenceImage;
            carriedReferencePath = p.referenceImage;
        } else {
            setStatus(QStringLiteral("Loading reference image..."));
            if (progressBar)
                progressBar->setValue(5);
            LoadedImage loaded;
            if (readImageForProject(p.referenceImage, loaded, report)) {
                referenceImage = std::move(loaded);
                report.referenceLoaded = true;
                if (referencePathEdit)
                    referencePathEdit->setText(QFileInfo(p.referenceImage).fileName());
                if (clearReferenceButton)
                    clearReferenceButton->setEnabled(true);
                if (referenceView) {
                    referenceView->setImage(referenceImage.displayImage(), true);
                    referenceView->setRoiSelectionEnabled(true);
                }
                updateRoiSpinRanges(referenceSize());
                updateReferenceHistogram(referenceImage.full);
            } else if (!report.cancelled) {
                carriedReferencePath = p.referenceImage;
            }
            if (report.cancelled)
                return;
        }
    }

    report.listedDeformed = static_cast<int>(p.deformedImages.size());
    for (int i = 0; i < report.listedDeformed; ++i) {
        const QString& path = p.deformedImages[i];
        QCoreApplication::processEvents();
        if (loadCancelFlag->load()) {
            report.cancelled = true;
            return;
        }
        LoadedImage loaded;
        if (!QFileInfo::exists(path)) {
            report.missing << path;
            carriedDeformed.push_back({i, path, std::nullopt});
            continue;
        }
        if (!readImageForProject(path, loaded, report)) {
            if (report.cancelled)
                return;
            carriedDeformed.push_back({i, path, std::nullopt});
            continue;
        }
        appendDeformedImage(std::move(loaded));
        report.storedIndex.push_back(i);
        ++report.loadedDeformed;
        setStatus(QStringLiteral("Loading images... %1/%2").arg(report.loadedDeformed).arg(report.listedDeformed));
        if (progressBar)
            progressBar->setValue(10 + (40 * (i + 1)) / std::max(report.listedDeformed, 1));
    }
    if (report.loadedDeformed > 0) {
        shownDeformedIndex = 0;
        if (deformedList) {
            const QSignalBlocker blocker(deformedList);
            deformedList->setCurrentRow(0);
        }
        showCurrentDeformedImage();
        if (deformedView)
            deformedView->fitToWindow();
    }
    updateDeformedList();
    restoreProjectMask(p, report);
}

// A mosaic project reaches here once its mosaics are shown.
void MainWidget::restoreProjectMask(const ProjectParameters& p, ProjectLoadReport& report) {
    if (!p.useMask)
        return;
    if (useMaskCheck) {
        const QSignalBlocker blocker(useMaskCheck);
        useMaskCheck->setChecked(*p.useMask);
    }
    if (maskFieldBlock)
        maskFieldBlock->setVisible(*p.useMask);
    if (p.maskImage.isEmpty())
        return;
    if (!QFileInfo::exists(p.maskImage)) {
        report.missing << p.maskImage;
        carriedMaskPath = p.maskImage;
        return;
    }
    setStatus(QStringLiteral("Loading mask image..."));
    if (progressBar)
        progressBar->setValue(52);
    const QString maskFile = p.maskImage;
    std::optional<PixelLoad> mask = runAsyncWithUI(
        [maskFile] {
            PixelLoad read;
            read.ok = readGrayImage(maskFile, read.image, read.error);
            return read;
        },
        *loadCancelFlag, static_cast<ElidedLabel*>(nullptr), QString());
    if (loadCancelFlag->load()) {
        report.cancelled = true;
        return;
    }
    if (!mask || !mask->ok || mask->image.isNull()) {
        report.missing << p.maskImage + kUnreadable;
        carriedMaskPath = p.maskImage;
        return;
    }
    if (const QSize expected = expectedProjectMaskSize(); !expected.isEmpty() && mask->image.size() != expected) {
        report.missing << p.maskImage + QStringLiteral(" (taille incorrecte)");
        return;
    }
    maskImage = std::move(mask->image);
    maskPath = p.maskImage;
    maskActive = *p.useMask;
    if (maskPathEdit) {
        maskPathEdit->setText(QFileInfo(maskPath).fileName());
        maskPathEdit->setToolTip(maskPath);
    }
    if (clearMaskButton)
        clearMaskButton->setEnabled(true);
    if (maskOverlayButton) {
        const QSignalBlocker blocker(maskOverlayButton);
        maskOverlayButton->setChecked(true);
        maskOverlayButton->setVisible(maskActive);
    }
    updateMaskOverlay();
}

// A mosaic's mask is checked against the size the project gives the mosaic,
// so that one of another size is refused before any assembly as after it.
QSize MainWidget::expectedProjectMaskSize() const {
    if (mosaicSwitch && mosaicSwitch->isChecked() && mosaicFinalSize && mosaicFinalSize->width() >= 1 &&
        mosaicFinalSize->height() >= 1)
        return *mosaicFinalSize;
    return referenceSize();
}

// Results of mosaic states were once named deformed_mosaic_state_*; a file
// already under the new name is never replaced.
static int renameLegacyMosaicResults(const QString& projectFolder) {
    const QString legacy = QStringLiteral("deformed_mosaic_state_");
    int renamed = 0;
    for (const QString& name : {kDisplacementsFolder, kStrainsFolder, kFractureFolder, kHeightFolder,
                                kLegacyFractureFolder}) {
        QDir folder(projectFolder + QLatin1Char('/') + name);
        if (!folder.exists())
            continue;
        for (const QString& file : folder.entryList({legacy + QLatin1Char('*')}, QDir::Files, QDir::Unsorted)) {
            const QString target = QStringLiteral("mosaic_state_") + file.mid(legacy.size());
            if (!folder.exists(target) && folder.rename(file, target))
                ++renamed;
        }
    }
    if (renamed > 0)
        qDebug() << "[Project]" << renamed << "result file(s) recovered from the legacy mosaic naming";
    return renamed;
}

// State mosaics and tile pairs each keep their own results: those of the
// assembly not chosen wait aside, as they did before the project closed.
void MainWidget::restoreMosaicResults(const ProjectParameters& p) {
    // A state's result files are its own whether or not its mosaic is assembled now.
    deformedStates.adoptStoredResults([this](int state) {
        return !appliedProjectFolder.isEmpty() &&
               storedResultParts(appliedProjectFolder, DeformedStates::mosaicBaseName(state)).displacements;
    });
    std::vector<ComputationResult> stateResults(static_cast<std::size_t>(deformedStates.resultCount()));
    for (ComputationResult& result : stateResults)
        result.display.rigidShiftUnknown = true;
    for (const ResultRangeEntry& entry : perTileMode ? p.otherAssemblyResultCache : p.resultCache) {
        const int r = deformedStates.resultIndex(entry.index);
        if (r >= 0 && static_cast<std::size_t>(r) < stateResults.size())
            applyResultCacheEntry(entry, stateResults[static_cast<std::size_t>(r)]);
    }
    std::vector<ComputationResult> tileResults;
    if (!appliedProjectFolder.isEmpty())
        tileResults = restoreTileResults(perTileMode ? p.resultCache : p.otherAssemblyResultCache);
    else
        batchNames.clear();
    results = perTileMode ? std::move(tileResults) : std::move(stateResults);
    otherAssemblyResults = perTileMode ? std::move(stateResults) : std::move(tileResults);
}

void MainWidget::restoreProjectResults(const ProjectParameters& p, ProjectLoadReport& report) {
    // Cache entries name the file's rows; an image that did not load leaves
    // its entry with it, and every later image keeps its own.
    if (!appliedProjectFolder.isEmpty())
        renameLegacyMosaicResults(appliedProjectFolder);
    const bool mosaicResults = mosaicSwitch && mosaicSwitch->isChecked();
    if (mosaicResults) {
        restoreMosaicResults(p);
    } else {
        results.assign(deformedImages.size(), ComputationResult());
        for (ComputationResult& result : results)
            result.display.rigidShiftUnknown = true;
        for (const ResultRangeEntry& entry : p.resultCache) {
            const auto loaded = std::find(report.storedIndex.begin(), report.storedIndex.end(), entry.index);
            if (loaded != report.storedIndex.end()) {
                applyResultCacheEntry(entry, results[static_cast<std::size_t>(loaded - report.storedIndex.begin())]);
                continue;
            }
            for (CarriedDeformed& carried : carriedDeformed)
                if (carried.storedIndex == entry.index)
                    carried.cache = entry;
        }
    }
    if (appliedProjectFolder.isEmpty())
        return;
    if (perTileMode && mosaicResults) {
        if (batchNames.isEmpty())
            return;
        showRestoredBatchResults();
        report.displacementResults = static_cast<int>(batchNames.size());
        if (mainTabs && displacementsPage)
            mainTabs->setCurrentWidget(displacementsPage);
        return;
    }
    const int count = static_cast<int>(results.size());
    if (count == 0)
        return;
    for (int i = 0; i < count; ++i) {
        setStatus(QStringLiteral("Loading results... %1/%2").arg(i + 1).arg(count));
        if (progressBar)
            progressBar->setValue(60 + (35 * (i + 1)) / count);
        // Only what can be read back is counted; the pixels are read when shown.
        const QString base = resultBaseName(i);
        const StoredResultParts parts = storedResultParts(appliedProjectFolder, base);
        report.incompleteResults << parts.incomplete;
        if (parts.displacements)
            adoptStoredRigidShift(appliedProjectFolder, base, results[static_cast<std::size_t>(i)]);
        report.displacementResults += parts.displacements ? 1 : 0;
        report.strainResults += parts.strains ? 1 : 0;
        report.fractureResults += parts.fracture ? 1 : 0;
    }
    if (report.displacementResults == 0)
        return;
    // The first state is read now; the others when the user steps to them.
    shownResultIndex = 0;
    updateResultSlider();
    loadAndDisplayResult(0, true);
    if (loadCancelFlag->load()) {
        report.cancelled = true;
        return;
    }
    setDisplacementsTabVisible(true);
    setStrainsTabVisible(true);
    // Strains on disk for every result are those of the restored settings.
    strainSettingsChanged = report.strainResults < report.displacementResults;
    updateComputeStrainsButton();
    setFractureTabVisible(fractureMode && report.fractureResults > 0);
    update3DMapsTabEnabled();
    if (mainTabs && displacementsPage)
        mainTabs->setCurrentWidget(displacementsPage);
}

MainWidget::ProjectMessage MainWidget::projectLoadSummary(const ProjectLoadReport& r, bool mosaicMode) {
    if (mosaicMode) {
        const int referenceTiles = static_cast<int>(mosaicRefTilePaths.size());
        const int states = static_cast<int>(mosaicDefTilePaths.size());
        int tiles = 0;
        for (const QStringList& state : mosaicDefTilePaths)
            tiles += static_cast<int>(state.size());
        if (referenceTiles > 0 && anyTiles(mosaicDefTilePaths) && r.missingTiles == 0 && r.missing.isEmpty()) {
            setStatus(QStringLiteral("Mosaic project loaded: %1 ref tiles, %2 deformed states")
                          .arg(referenceTiles)
                          .arg(states));
            // Per-tile results are counted by tile pair, the others by state.
            return {QStringLiteral("Loading successful"),
                    QStringLiteral("Mosaic project loaded successfully!\n\n- Reference tiles: %1\n- Deformed "
                                   "states: %2\n- Total deformed tiles: %3\n- Computation parameters: OK")
                            .arg(referenceTiles)
                            .arg(states)
                            .arg(tiles) +
                        restoredResultLines(r.displacementResults, perTileMode ? tiles : states, r.strainResults,
                                            r.fractureResults, r.heightResults) +
                        incompleteResultsLine(r.incompleteResults)};
        }
        QString text = QStringLiteral("Mosaic project partially loaded:\n\n");
        if (referenceTiles == 0)
            text += QStringLiteral("- Missing reference tiles\n");
        if (!anyTiles(mosaicDefTilePaths))
            text += QStringLiteral("- Missing deformed states\n");
        if (r.missingTiles > 0)
            text += QStringLiteral("- %1 tile file(s) not found; they stay listed in the project file\n")
                        .arg(r.missingTiles);
        for (const QString& missing : r.missing)
            text += QStringLiteral("- ") + QFileInfo(missing).fileName() + QLatin1Char('\n');
        if (r.displacementResults > 0)
            text += QStringLiteral("\n%1 computation result(s) loaded.").arg(r.displacementResults);
        text += incompleteResultsLine(r.incompleteResults);
        setStatus(QStringLiteral("Mosaic project partially loaded"));
        return {QStringLiteral("Incomplete loading"), text};
    }
    if (r.missing.isEmpty() && r.loadedDeformed == r.listedDeformed) {
        QString text = QStringLiteral("Project loaded successfully!\n\n- Reference image: OK\n- Deformed images: "
                                      "%1\n- Computation parameters: OK")
                           .arg(r.loadedDeformed) +
                       restoredResultLines(r.displacementResults, r.loadedDeformed, r.strainResults,
                                           r.fractureResults, r.heightResults) +
                       incompleteResultsLine(r.incompleteResults);
        if (r.displacementResults == 0 && r.strainResults == 0 && r.fractureResults == 0 && r.heightResults == 0)
            setStatus(QStringLiteral("Project loaded successfully."));
        else
            setStatus(QStringLiteral("Project loaded with %1 result(s)%2%3.")
                          .arg(r.displacementResults)
                          .arg(r.fractureResults > 0 ? QStringLiteral(", %1 fracture").arg(r.fractureResults)
                                                     : QString())
                          .arg(r.heightResults > 0 ? QStringLiteral(", %1 3D map(s)").arg(r.heightResults)
                                                   : QString()));
        return {QStringLiteral("Loading successful"), text};
    }
    QString text = QStringLiteral("Some files could not be loaded:\n\n");
    if (!r.referenceLoaded)
        text += QStringLiteral("- Missing reference image\n");
    if (r.loadedDeformed < r.listedDeformed)
        text += QStringLiteral("- %1/%2 deformed image(s) loaded\n").arg(r.loadedDeformed).arg(r.listedDeformed);
    if (!r.missing.isEmpty()) {
        text += QStringLiteral("\nMissing files:\n");
        for (const QString& missing : r.missing)
            text += QStringLiteral("- ") + QFileInfo(missing).fileName() + QLatin1Char('\n');
    }
    if (r.displacementResults > 0)
        text += QStringLiteral("\n%1 computation result(s) loaded.").arg(r.displacementResults);
    text += incompleteResultsLine(r.incompleteResults);
    text += QStringLiteral("\n\nThe project file still lists the missing files; it is rewritten only when you "
                           "change the project.");
    setStatus(QStringLiteral("Project partially loaded: %1/%2 images, %3 results")
                  .arg(r.loadedDeformed)
                  .arg(r.listedDeformed)
                  .arg(r.displacementResults));
    return {QStringLiteral("Incomplete loading"), text};
}

}  // namespace tavro::gui
