// Mosaic mode, assembly of the tiles into mosaics, and the mosaic views.
#include "gui/mainwindow/main_widget.h"
#include "gui/project/result_files.h"

#include "gui/foundation/elided_label.h"
#include "images/field_rendering.h"
#include "images/image_io.h"
#include "gui/foundation/message_boxes.h"
#include "gui/mainwindow/input_rules.h"
#include "gui/mainwindow/panel_rules.h"
#include "gui/mainwindow/run_async.h"
#include "gui/style/switch_widget.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDebug>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalBlocker>
#include <QSlider>
#include <QSpinBox>
#include <QTimer>
#include <QtConcurrent>

#include <algorithm>
#include <cmath>
#include <optional>
#include <utility>

namespace tavro::gui {

namespace {

bool mosaicModeOn(const Switch* mosaicSwitch) { return mosaicSwitch && mosaicSwitch->isChecked(); }

int spinValue(const QSpinBox* spin) { return spin ? spin->value() : 0; }

void selectRowQuietly(QListWidget* list, int row) {
    if (!list || row < 0 || row >= list->count())
        return;
    const QSignalBlocker blocker(list);
    list->setCurrentRow(row);
}

// Pixels of `image` beyond `size` are dropped from the right and the bottom.
void cutToSize(QImage& image, const QSize& size) {
    if (!image.isNull() && (image.width() > size.width() || image.height() > size.height()))
        image = image.copy(0, 0, std::min(image.width(), size.width()), std::min(image.height(), size.height()));
}

QRect widenedByQuarter(const QRectF& rect, double scale, bool divide) {
    const double left = rect.left() - rect.width() / 4.0;
    const double top = rect.top() - rect.height() / 4.0;
    const double width = rect.width() * 1.5;
    const double height = rect.height() * 1.5;
    const auto s = [&](double v) { return divide ? v / scale : v * scale; };
    return QRect(static_cast<int>(std::floor(s(left))), static_cast<int>(std::floor(s(top))),
                 static_cast<int>(std::ceil(s(width))), static_cast<int>(std::ceil(s(height))));
}

}  // namespace

void MainWidget::onMosaicModeToggled(bool checked) {
    if (!projectLoading && hasAnyData()) {
        const QString mode = checked ? QStringLiteral("mosaic") : QStringLiteral("single image");
        const auto answer =
            askQuestion(this, QStringLiteral("Mode change"),
                        QStringLiteral("Data is present (images, results, project...).\nSwitching to %1 mode will "
                                       "reset your settings.\n\nDo you want to continue?")
                            .arg(mode),
                        QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
        if (answer != QMessageBox::Yes) {
            if (mosaicSwitch) {
                const QSignalBlocker blocker(mosaicSwitch);
                mosaicSwitch->setChecked(!checked);
            }
            return;
        }
        const QString folder = projectFolderPath;
        const QString applied = appliedProjectFolder;
        // The project starts over in its folder without its inputs. Results named by state number would pass
        // for its new states', and those of its images and tiles for those of any new input of the same name,
        // which the window cannot tell from the old one: they go with the inputs, as a removed image's do.
        QStringList heldFiles = heldInputResultFiles(!checked);
        const int states = std::max(deformedStates.count(), static_cast<int>(deformedImages.size()));
        for (int state = 0; state < states; ++state)
            heldFiles << DeformedStates::stateResultFiles(state, criterionSlugs());
        resetAllData();
        waitForResultWrites();
        if (!removeProjectFiles(applied, heldFiles, {}))
            qWarning().noquote() << "[GUI] Result files of the former states could not all be removed";
        if (!applied.isEmpty())
            adoptProjectFolder(applied);
        projectFolderPath = folder;
    }
    if (singleImagePage)
        singleImagePage->setVisible(!checked);
    for (QWidget* panel : {mosaicPage, alignMosaicBlock})
        if (panel)
            panel->setVisible(checked);
    if (checked) {
        if (referenceView)
            referenceView->setRoiSelectionEnabled(false);
        setStatus(QStringLiteral("Mosaic Mode enabled"));
    } else {
        if (maskBlock)
            maskBlock->setVisible(true);
        if (referenceView)
            referenceView->setRoiSelectionEnabled(true);
        // Per-tile work exists only in mosaic mode: coming back starts from
        // Stitch & Correlate with every assembly control shown.
        perTileMode = false;
        if (stitchAndCorrelateRadio) {
            const QSignalBlocker blocker(stitchAndCorrelateRadio);
            const QSignalBlocker perTile(perTileRadio);
            stitchAndCorrelateRadio->setChecked(true);
        }
        applyInputModeLayout();
        const bool heightTiles = std::any_of(deformedHeightStates.begin(), deformedHeightStates.end(),
                                             [](const QStringList& state) { return !state.isEmpty(); });
        if (deformedImages.empty() && !heightTiles && shownHeightValues.empty())
            update3DMapsTabEnabled();
        setStatus(QStringLiteral("Mosaic Mode disabled"));
    }
    updateHeightModeHint();
}

void MainWidget::applyInputModeLayout() {
    const bool mosaic = mosaicModeOn(mosaicSwitch);
    const bool perTile = mosaic && perTileMode;
    if (singleImagePage)
        singleImagePage->setVisible(!mosaic);
    for (QWidget* panel : {mosaicPage, alignMosaicBlock})
        if (panel)
            panel->setVisible(mosaic);
    for (QWidget* block : {gridGeometryBlock, alignMosaicRow, maskBlock, roiBlock})
        if (block)
            block->setVisible(!perTile);
    // Per-tile work is done on tiles: the views show them, not the mosaics.
    if (perTile && !mosaicRefTilePaths.isEmpty()) {
        previewTileIndex = -1;
        displayCurrentTilesInViews();
    }
}

void MainWidget::onAlignMosaic() {
    const auto refuse = [this](const QString& title, const QString& text) { showMessage(this, title, text); };
    if (!mosaicModeOn(mosaicSwitch))
        return refuse(QStringLiteral("Mosaic mode required"),
                      QStringLiteral("This function is only available in mosaic mode."));
    if (mosaicRefTilePaths.isEmpty())
        return refuse(QStringLiteral("Missing tiles"), QStringLiteral("Please load reference tiles first."));
    if (appliedProjectFolder.isEmpty())
        return refuse(QStringLiteral("Project folder required"),
                      QStringLiteral("Please select a project folder first.\n\nMosaic assembly requires a project "
                                     "folder to save results."));
    if (stitchingInProgress)
        return refuse(QStringLiteral("Stitching in progress"),
                      QStringLiteral("An assembly is already in progress. Please wait."));
    if (refuseMismatchedTileCounts())
        return;
    if (mosaicStatesWithTiles() == 0)
        return refuse(QStringLiteral("Missing tiles"), QStringLiteral("Please load deformed tiles for at least one state."));
    beginMosaicAssembly();
}

bool MainWidget::refuseMismatchedTileCounts() {
    for (const QStringList& state : mosaicDefTilePaths) {
        if (state.isEmpty() || state.size() == mosaicRefTilePaths.size())
            continue;
        showMessage(this, QStringLiteral("Tile count mismatch"),
                    QStringLiteral("The deformed state has %1 tiles, but the reference has %2.\nThe number of "
                                   "tiles must be identical.")
                        .arg(state.size())
                        .arg(mosaicRefTilePaths.size()));
        return true;
    }
    return false;
}

int MainWidget::mosaicStatesWithTiles() const {
    return static_cast<int>(std::count_if(mosaicDefTilePaths.begin(), mosaicDefTilePaths.end(),
                                          [](const QStringList& state) { return !state.isEmpty(); }));
}

MosaicConfiguration MainWidget::currentMosaicConfig() const {
    // A state added after the last one and still empty changes no mosaic.
    QList<QStringList> states = mosaicDefTilePaths;
    while (!states.isEmpty() && states.back().isEmpty())
        states.removeLast();
    return {spinValue(gridRowsSpin),
            spinValue(gridColsSpin),
            spinValue(overlapXSpin),
            spinValue(overlapYSpin),
            scanOrderCombo ? scanOrderCombo->currentData().toInt() : 0,
            tileCrop,
            nonRigidRefinementCheck && nonRigidRefinementCheck->isChecked(),
            !phaseCorrelationCheck || phaseCorrelationCheck->isChecked(),
            missingTilesCheck && missingTilesCheck->isChecked(),
            missingPositionsEdit ? missingPositionsEdit->text() : QString(),
            mosaicRefTilePaths,
            states};
}

void MainWidget::beginMosaicAssembly() {
    setUiBusy(true);
    stitchingInProgress = true;
    stitchingCancelFlag = std::make_shared<std::atomic<bool>>(false);
    setStatus(QStringLiteral("Assembling mosaics..."));
    // The assembly has no estimate of its own: a previous run's must not stand beside its bar.
    clearTiming();
    runTimer.start();
    if (progressBar) {
        progressBar->setRange(0, 100);
        progressBar->setValue(0);
    }
    if (stopButton)
        stopButton->setEnabled(true);

    MosaicAssemblyJob job;
    job.config = currentMosaicConfig();
    job.forCorrelation = correlateAfterAssembly.has_value();
    pendingMosaicConfig = job.config;
    job.cancel = stitchingCancelFlag;

    // The task outlives nothing it does not own: the window may close while
    // it runs, so its effects reach the window only through queued calls
    // that look at the window again on the GUI thread.
    const QPointer<MainWidget> self(this);
    MosaicAssemblyCallbacks callbacks;
    callbacks.stage = [self](int percent, const QString& text) {
        QMetaObject::invokeMethod(
            qApp,
            [self, percent, text] {
                if (!self)
                    return;
                if (self->progressBar)
                    self->progressBar->setValue(percent);
                self->setStatus(text);
            },
            Qt::QueuedConnection);
    };
    callbacks.status = [self](const QString& text) {
        QMetaObject::invokeMethod(
            qApp,
            [self, text] {
                if (self)
                    self->setStatus(text);
            },
            Qt::QueuedConnection);
    };
    stitchWatcher->setFuture(QtConcurrent::run(QThreadPool::globalInstance(), [job, callbacks] {
        return assembleMosaics(job, callbacks);
    }));
}

void MainWidget::onStitchingFinished() {
    stitchingInProgress = false;
    // Taken now, so that no way out leaves a correlation pending for the next assembly.
    const std::optional<bool> correlation = std::exchange(correlateAfterAssembly, std::nullopt);
    if (stopButton)
        stopButton->setEnabled(false);
    StitchingResult result;
    if (stitchWatcher && stitchWatcher->future().resultCount() > 0)
        result = stitchWatcher->result();
    else
        result.errorMessage = QStringLiteral("Out of memory or error during the operation.");
    if (result.cancelled || !result.success) {
        if (result.cancelled) {
            setStatus(correlation ? QStringLiteral("Assembly cancelled.") : QStringLiteral("Assembly cancelled"));
        } else {
            showMessage(this, QStringLiteral("Stitching Error"), result.errorMessage);
            setStatus(QStringLiteral("Assembly error"));
        }
        if (progressBar)
            progressBar->setValue(0);
        setUiBusy(false);
        return;
    }
    if (progressBar)
        progressBar->setValue(100);
    if (!result.refinementInfo.isEmpty())
        showMessage(this, QStringLiteral("Non-rigid refinement"), result.refinementInfo);
    adoptAssembledMosaics(result);

    const QSize size = referenceImage.originalSize;
    QString status = QStringLiteral("Mosaics aligned (%1x%2 pixels, %3 state(s))")
                         .arg(size.width())
                         .arg(size.height())
                         .arg(result.deformedMosaics.size());
    if (result.scanOrderAutoDetected && result.detectedScanOrder >= 0) {
        const QString name = scanOrderName(result.detectedScanOrder);
        // An order the combo does not offer would leave it blank, and the
        // next assembly would quietly run in snake order.
        if (scanOrderCombo && result.detectedScanOrder < scanOrderCombo->count()) {
            const QSignalBlocker blocker(scanOrderCombo);
            scanOrderCombo->setCurrentIndex(result.detectedScanOrder);
        }
        if (pendingMosaicConfig)
            pendingMosaicConfig->scanOrder = result.detectedScanOrder;
        if (correlation)
            setStatus(QStringLiteral("Scan order \"%1\" automatically detected").arg(name));
        else
            showMessage(this, QStringLiteral("Scan order detected"),
                        QStringLiteral("Scan order \"%1\" was automatically detected.\n\nThe parameter has been "
                                       "updated in the interface.")
                            .arg(name));
        status += QStringLiteral(" [Scan: %1 (auto)]").arg(name);
    }
    const PlacementWarning placement = placementWarning(result);
    setMosaicStatusText(status + placement.status, withTotalTime(QString()));
    if (!placement.message.isEmpty())
        showWarning(this, QStringLiteral("Tiles not registered"), placement.message);
    mosaicFinalSize = size;
    setMosaicRoiBoxes(size);
    if (referenceView) {
        referenceView->clearRoi();
        referenceView->setRoiSelectionEnabled(true);
    }
    // Known before the files are written, which record it.
    assembledMosaicConfig = pendingMosaicConfig;
    saveMosaicsToProject(true);
    if (!correlation) {
        setUiBusy(false);
        return;
    }
    QSize tile;
    if (!mosaicRefTilePaths.isEmpty() && probeImageSize(mosaicRefTilePaths.front(), tile)) {
        qDebug().noquote() << "[GUI] Tile dimensions:" << QStringLiteral("%1x%2").arg(tile.width()).arg(tile.height());
        qDebug().noquote() << "[GUI] Stored positions:" << referenceTilePositions.size() << "tiles";
    }
    const bool phaseCorrelation = !phaseCorrelationCheck || phaseCorrelationCheck->isChecked();
    setStatus(QStringLiteral("%1 deformed mosaic(s) assembled successfully! ").arg(deformedImages.size()) +
              (phaseCorrelation ? QStringLiteral("(Phase correlation enabled) ") : QString()) +
              QStringLiteral("Starting correlation..."));
    QCoreApplication::processEvents();
    // The busy state stays with the run, or ends with the scope when a check refuses it.
    const BusyScope busy(this, true);
    correlateLoadedImages(mosaicDeformedNames, *correlation);
}

void MainWidget::adoptAssembledMosaics(StitchingResult& result) {
    mosaicRefinementSummary = result.statusText;
    referenceTilePositions = result.referencePositions;
    deformedTilePositions = result.deformedPositions;
    // Kept by state, so that a state without tiles shifts no other state's placement.
    deformedTilePositionsStates.clear();
    for (int i = 0; i < result.statePositions.size(); ++i) {
        const int state = i < result.stateIndices.size() ? static_cast<int>(result.stateIndices[i]) : i;
        while (deformedTilePositionsStates.size() <= state)
            deformedTilePositionsStates.append(QList<stitching::TilePosition>());
        deformedTilePositionsStates[state] = result.statePositions[i];
    }

    QSize common = result.referenceMosaic.size();
    for (const QImage& mosaic : result.deformedMosaics)
        common = common.boundedTo(mosaic.size());
    if (result.referenceMosaic.size() != common)
        qDebug().noquote() << "[GUI] Cropping all mosaics to common size:"
                           << QStringLiteral("%1x%2").arg(common.width()).arg(common.height());
    cutToSize(result.referenceMosaic, common);
    for (QImage& mosaic : result.deformedMosaics)
        cutToSize(mosaic, common);

    showReferenceMosaicAlone(result.referenceMosaic);
    for (int i = 0; i < result.deformedMosaics.size(); ++i) {
        const int state = i < result.stateIndices.size() ? static_cast<int>(result.stateIndices[i]) : i;
        deformedImages.push_back(loadedMosaic(result.deformedMosaics[i]));
        mosaicDeformedNames << QStringLiteral("mosaic_state_%1").arg(state + 1);
        mosaicStateImageIndex[state] = i;
    }
    adoptMosaicResults();
    if (!deformedImages.empty()) {
        showDeformedForCurrentState();
        updateDeformedList();
    }
    QTimer::singleShot(0, this, [this] {
        for (ImageViewWidget* view : {referenceView, deformedView})
            if (view)
                view->fitToWindow();
    });
}

// The new reference mosaic in its view; the state mosaics that went with the
// old one are dropped, for the caller to put the new ones in.
void MainWidget::showReferenceMosaicAlone(QImage mosaic) {
    referenceImage = loadedMosaic(std::move(mosaic));
    // The view draws the mosaic now: no tile is enlarged, or the read-outs would read one.
    enlargedTileIndex = -1;
    if (referenceView)
        referenceView->setImage(referenceImage.displayImage(), false);
    updateReferenceHistogram(referenceImage.displayImage());
    deformedImages.clear();
    mosaicDeformedNames.clear();
    mosaicStateImageIndex.clear();
}

void MainWidget::setMosaicRoiBoxes(const QSize& size) {
    updateRoiSpinRanges(size);
    syncRoiSpinBoxes(QRect(), size);
}

bool MainWidget::showTilePreview(int row) {
    if (row < 0 || row >= mosaicRefTilePaths.size() || !referenceView)
        return false;
    QImage tile;
    QString error;
    if (!readDecimatedImage(mosaicRefTilePaths[row], tile, error))
        return false;
    referenceView->setImage(tile, true);
    updateReferenceHistogram(tile);
    const int matching = findMatchingDefTileIndex(row);
    const QStringList& state = currentMosaicDefTiles();
    QImage deformedTile;
    if (matching >= 0 && matching < state.size() && deformedView &&
        readDecimatedImage(state[matching], deformedTile, error)) {
        deformedView->setImage(deformedTile, true);
        updateDeformedHistogram(deformedTile);
    }
    return true;
}

void MainWidget::previewTileAt(int row) {
    if (!perTileMode || !mosaicRefTileList || row < 0 || row >= mosaicRefTileList->count() ||
        row == previewTileIndex)
        return;
    previewTileIndex = row;
    if ((showsIndividualTiles() || enlargedTileIndex >= 0) && showTilePreview(row))
        selectRowQuietly(mosaicRefTileList, row);
    else
        onMosaicRefTileClicked(mosaicRefTileList->item(row), true);
    updateCurrentTileName();
}

void MainWidget::displayAssembledMosaicsInViews() {
    if (referenceImage.displayImage().isNull())
        return;
    if (referenceView) {
        referenceView->hideTileHighlight();
        referenceView->setImage(referenceImage.displayImage(), false);
    }
    updateReferenceHistogram(referenceImage.displayImage());
    const auto found = mosaicStateImageIndex.find(currentMosaicDefState);
    if (found == mosaicStateImageIndex.end() || found->second < 0 ||
        found->second >= static_cast<int>(deformedImages.size()))
        return;
    const LoadedImage& mosaic = deformedImages[static_cast<std::size_t>(found->second)];
    if (mosaic.originalSize.isEmpty() && mosaic.displayImage().size().isEmpty())
        return;
    if (deformedView) {
        deformedView->hideTileHighlight();
        deformedView->setImage(mosaic.displayImage(), false);
    }
    updateDeformedHistogram(mosaic.displayImage());
}

void MainWidget::displayCurrentTilesInViews() {
    const auto show = [](const QStringList& tiles, int index, ImageViewWidget* view, QListWidget* list,
                         const std::function<void(const QImage&)>& histogram) {
        // An empty list shows nothing, not the tile of the list shown before.
        if (tiles.isEmpty()) {
            if (view)
                view->setImage(QImage(), false);
            histogram(QImage());
            return;
        }
        const int row = std::clamp(index, 0, static_cast<int>(tiles.size()) - 1);
        LoadedImage tile;
        QString error;
        if (!loadImage(tiles[row], tile, error))
            return;
        if (view) {
            view->hideTileHighlight();
            view->setImage(tile.displayImage(), false);
        }
        histogram(tile.displayImage());
        selectRowQuietly(list, row);
    };
    show(mosaicRefTilePaths, previewTileIndex, referenceView, mosaicRefTileList,
         [this](const QImage& image) { updateReferenceHistogram(image); });
    if (currentMosaicDefState >= 0 && currentMosaicDefState < mosaicDefTilePaths.size())
        show(mosaicDefTilePaths[currentMosaicDefState], previewTileIndex, deformedView, mosaicDefTileList,
             [this](const QImage& image) { updateDeformedHistogram(image); });
}

void MainWidget::clearMosaicViews() {
    for (ImageViewWidget* view : {uxView, uyView, strainView, fractureView})
        if (view)
            view->setImage(QImage(), false);
    current = ComputationResult();
    shownDisplacements = emptyPixelDisplacementResult();
    fitDisplacementViewsRequested = false;
    fitStrainViewRequested = false;
}

void MainWidget::updateTileNavigator(TileNavigator& navigator, int index, int count, const QString& name) {
    if (!navigator.container)
        return;
    if (!perTileMode || count < 1) {
        navigator.container->hide();
        return;
    }
    navigator.container->show();
    if (navigator.slider) {
        const QSignalBlocker blocker(navigator.slider);
        navigator.slider->setMaximum(count - 1);
        navigator.slider->setValue(index);
        navigator.slider->setEnabled(count >= 2);
    }
    if (navigator.prevButton)
        navigator.prevButton->setEnabled(index >= 1);
    if (navigator.nextButton)
        navigator.nextButton->setEnabled(index < count - 1);
    if (navigator.label)
        navigator.label->setText(stateStepText(QStringLiteral("Tile"), index, count, name));
}

ImageViewWidget::DetailTile MainWidget::buildDetailTile(const QString& path, const QSize& displayedSize,
                                                        const QRectF& sceneRect, double zoom) const {
    if (path.isEmpty() || displayedSize.isEmpty() || sceneRect.isEmpty())
        return {};
    const QString lower = path.toLower();
    const bool tiff = lower.endsWith(QLatin1String(".tif")) || lower.endsWith(QLatin1String(".tiff"));
    if (!tiff && !lower.endsWith(QLatin1String(".bmp")))
        return {};
    QSize full;
    if (!probeImageSize(path, full) || full.isEmpty())
        return {};
    const double ratio = static_cast<double>(full.width()) / displayedSize.width();
    if (ratio <= 1.0001)
        return {};
    const QRect region = widenedByQuarter(sceneRect, ratio, false) & QRect(QPoint(0, 0), full);
    if (region.isEmpty())
        return {};
    const int step = std::max(1, static_cast<int>(std::floor(ratio / zoom)));
    QImage image;
    QString error;
    const bool read =
        tiff ? readTiffGray(path, region, step, image, error) : readBmpGray(path, region, step, image, error);
    if (!read || image.isNull())
        return {};
    ImageViewWidget::DetailTile tile;
    tile.image = image;
    tile.sceneRect = QRectF(region.x() / ratio, region.y() / ratio, region.width() / ratio, region.height() / ratio);
    return tile;
}

ImageViewWidget::DetailTile MainWidget::buildGridDetailTile(const std::vector<float>& values, int gridWidth,
                                                            int gridHeight, double displayScale,
                                                            const QPoint& paddingOffset, float minValue,
                                                            float maxValue, const QRectF& sceneRect,
                                                            double) const {
    if (values.empty() || gridWidth < 1 || gridHeight < 1 || sceneRect.isEmpty() || displayScale >= 0.999)
        return {};
    const QRect region =
        widenedByQuarter(sceneRect, displayScale, true) &
        QRect(0, 0, gridWidth + paddingOffset.x(), gridHeight + paddingOffset.y());
    constexpr qint64 kMaxPixels = 8192ll * 8192ll;
    if (region.isEmpty() || static_cast<qint64>(region.width()) * region.height() > kMaxPixels)
        return {};
    QImage image =
        fieldToColorImageInRect(values, gridWidth, gridHeight, region, paddingOffset, minValue, maxValue, 0);
    if (image.isNull())
        return {};
    ImageViewWidget::DetailTile tile;
    tile.image = std::move(image);
    tile.sceneRect = QRectF(region.x() * displayScale, region.y() * displayScale, region.width() * displayScale,
                            region.height() * displayScale);
    return tile;
}

}  // namespace tavro::gui
