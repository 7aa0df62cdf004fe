// Mosaic tile lists, deformed states and tile cropping. The position of a file
// in its list is its tile index, so every edit keeps the lists sorted by file
// name and drops the assembly it would make stale.
#include "gui/mainwindow/main_widget.h"

#include "gui/foundation/elided_label.h"
#include "gui/foundation/message_boxes.h"
#include "gui/foundation/tile_crop_dialog.h"
#include "gui/mainwindow/input_rules.h"
#include "gui/mainwindow/panel_rules.h"
#include "gui/mainwindow/run_async.h"
#include "gui/project/result_files.h"
#include "gui/style/switch_widget.h"

#include <QButtonGroup>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QSet>
#include <QSignalBlocker>

#include <algorithm>

namespace tavro::gui {

namespace {

const QString kTileFilter = QStringLiteral("Images (*.png *.bmp *.tif *.tiff);;All files (*)");

}  // namespace

void MainWidget::fillTileNames(QListWidget* list, const QStringList& tiles) {
    if (!list)
        return;
    const QSignalBlocker blocker(list);
    list->clear();
    for (const QString& tile : tiles)
        list->addItem(QFileInfo(tile).fileName());
}

QStringList& MainWidget::currentMosaicDefTiles() {
    if (mosaicDefTilePaths.isEmpty())
        mosaicDefTilePaths.append(QStringList());
    if (currentMosaicDefState < 0 || currentMosaicDefState >= mosaicDefTilePaths.size())
        currentMosaicDefState = static_cast<int>(mosaicDefTilePaths.size()) - 1;
    return mosaicDefTilePaths[currentMosaicDefState];
}

void MainWidget::refreshMosaicDefTilesList() { fillTileNames(mosaicDefTileList, currentMosaicDefTiles()); }

bool MainWidget::hasAssembledRefMosaic() const {
    return !referenceTilePositions.isEmpty() || !referenceImage.displayImage().isNull();
}

bool MainWidget::hasAssembledDefMosaic() const {
    return !mosaicStateImageIndex.empty() || !deformedTilePositionsStates.isEmpty();
}

void MainWidget::clearAssembledRefMosaicState() {
    referenceTilePositions.clear();
    mosaicFinalSize.reset();
    referenceImage = LoadedImage();
    if (referenceView) {
        referenceView->hideTileHighlight();
        referenceView->setImage(QImage(), false);
    }
}

void MainWidget::clearAssembledDefMosaicState() {
    deformedTilePositions.clear();
    deformedTilePositionsStates.clear();
    deformedImages.clear();
    mosaicDeformedNames.clear();
    mosaicStateImageIndex.clear();
    shownDeformedIndex = 0;
    if (deformedView) {
        deformedView->hideTileHighlight();
        deformedView->setImage(QImage(), false);
    }
}

void MainWidget::clearAssembledMosaicState() {
    clearAssembledRefMosaicState();
    clearAssembledDefMosaicState();
    assembledMosaicConfig.reset();
}

bool MainWidget::confirmAssemblyReset(bool reference, const QString& action) {
    if (!(reference ? hasAssembledRefMosaic() : hasAssembledDefMosaic()))
        return true;
    const QString text = QStringLiteral("The %1 mosaic is assembled.\n%2 will reset the assembly.\nContinue?")
                             .arg(reference ? QStringLiteral("reference") : QStringLiteral("deformed"), action);
    return askQuestion(this, QStringLiteral("Confirmation"), text, QMessageBox::Yes | QMessageBox::No,
                       QMessageBox::No) == QMessageBox::Yes;
}

void MainWidget::addMosaicTiles(bool reference) {
    QStringList& tiles = reference ? mosaicRefTilePaths : currentMosaicDefTiles();
    const QString caption =
        reference ? QStringLiteral("Select reference tiles") : QStringLiteral("Select deformed tiles");
    QStringList files = askOpenFileNames(this, caption, dialogFolderFor(tiles), kTileFilter);
    if (files.isEmpty())
        return;
    rejectLossyImages(files);
    if (files.isEmpty())
        return;
    const bool wasEmpty = tiles.isEmpty();
    int accepted = 0;
    const QStringList ignored = mergeTiles(tiles, files, accepted);
    if (!ignored.isEmpty())
        showMessage(this, QStringLiteral("Tiles ignored"),
                    QStringLiteral("The following tiles were ignored because their name already exists:\n%1")
                        .arg(ignored.join(QStringLiteral(", "))));
    QListWidget* list = reference ? mosaicRefTileList : mosaicDefTileList;
    fillTileNames(list, tiles);
    if (accepted > 0) {
        rememberImageFolder(files.front());
        const bool assembled = reference ? hasAssembledRefMosaic() : hasAssembledDefMosaic();
        if (list && list->count() > 0 && (wasEmpty || !assembled)) {
            if (list->currentRow() < 0) {
                const QSignalBlocker blocker(list);
                list->setCurrentRow(0);
            }
            if (reference)
                onMosaicRefTileDoubleClicked(list->currentItem());
            else
                onMosaicDefTileDoubleClicked(list->currentItem());
            // A first tile keeps the zoom of an empty view otherwise, small in a corner.
            if (ImageViewWidget* view = reference ? referenceView : deformedView; view && wasEmpty)
                view->fitToWindow();
        }
        setStatus(reference ? QStringLiteral("%1 reference tile(s) added").arg(accepted)
                            : QStringLiteral("%1 deformed tile(s) added to state %2")
                                  .arg(accepted)
                                  .arg(currentMosaicDefState + 1));
        saveParametersToProject();
    }
    if (reference)
        updateMosaicRefTilesControls();
    else
        updateMosaicDefTilesControls();
}

void MainWidget::removeMosaicTiles(bool reference) {
    QListWidget* list = reference ? mosaicRefTileList : mosaicDefTileList;
    if (!list || list->selectedItems().isEmpty())
        return;
    if (!confirmAssemblyReset(reference, QStringLiteral("Deleting tiles")))
        return;
    QStringList& tiles = reference ? mosaicRefTilePaths : currentMosaicDefTiles();
    QList<int> rows;
    for (QListWidgetItem* item : list->selectedItems())
        rows << list->row(item);
    std::sort(rows.begin(), rows.end(), std::greater<>());
    for (int row : rows)
        if (row >= 0 && row < tiles.size())
            tiles.removeAt(row);
    if (reference)
        clearAssembledRefMosaicState();
    else
        clearAssembledDefMosaicState();
    endTileEnlargement();
    fillTileNames(list, tiles);
    saveParametersToProject();
    if (reference)
        updateMosaicRefTilesControls();
    else
        updateMosaicDefTilesControls();
}

void MainWidget::moveMosaicTile(bool reference, int step) {
    QListWidget* list = reference ? mosaicRefTileList : mosaicDefTileList;
    if (!list)
        return;
    QStringList& tiles = reference ? mosaicRefTilePaths : currentMosaicDefTiles();
    const int row = list->currentRow();
    const int target = row + step;
    if (row < 0 || target < 0 || row >= tiles.size() || target >= tiles.size() || list->selectedItems().isEmpty())
        return;
    if (!confirmAssemblyReset(reference, QStringLiteral("Moving a tile")))
        return;
    tiles.swapItemsAt(row, target);
    {
        const QSignalBlocker blocker(list);
        list->insertItem(target, list->takeItem(row));
        list->setCurrentRow(target);
    }
    if (reference)
        clearAssembledRefMosaicState();
    else
        clearAssembledDefMosaicState();
    // Per-tile results are the tiles', found by name: the grid's places follow the tiles.
    tileNameIndex(batchResultIndex, batchNames);
    tileNameIndex(heightBatchIndex, heightBatchNames);
    if (reference) {
        onMosaicRefTileClicked(list->currentItem(), true);
        updateMosaicRefTilesControls();
    } else {
        onMosaicDefTileClicked(list->currentItem());
        updateMosaicDefTilesControls();
    }
    if (batchGridActive())
        applyBatchResultSelection(true);
    if (heightBatchNavigation())
        applyBatchHeightSelection(true);
    saveParametersToProject();
}

void MainWidget::onAddMosaicRefTiles() { addMosaicTiles(true); }
void MainWidget::onAddMosaicDefTiles() { addMosaicTiles(false); }
void MainWidget::onRemoveMosaicRefTiles() { removeMosaicTiles(true); }
void MainWidget::onRemoveMosaicDefTiles() { removeMosaicTiles(false); }
void MainWidget::onMoveUpMosaicRefTile() { moveMosaicTile(true, -1); }
void MainWidget::onMoveDownMosaicRefTile() { moveMosaicTile(true, 1); }
void MainWidget::onMoveUpMosaicDefTile() { moveMosaicTile(false, -1); }
void MainWidget::onMoveDownMosaicDefTile() { moveMosaicTile(false, 1); }

void MainWidget::onClearMosaicRefTiles() {
    if (askQuestion(this, QStringLiteral("Confirmation"),
                    QStringLiteral("Do you really want to delete all reference tiles?"),
                    QMessageBox::Yes | QMessageBox::No, QMessageBox::No) != QMessageBox::Yes)
        return;
    mosaicRefTilePaths.clear();
    fillTileNames(mosaicRefTileList, mosaicRefTilePaths);
    clearAssembledRefMosaicState();
    enlargedTileIndex = -1;
    setStatus(QStringLiteral("All reference tiles have been deleted."));
    saveParametersToProject();
    updateMosaicRefTilesControls();
}

void MainWidget::onClearMosaicDefTiles() {
    const int state = currentMosaicDefState + 1;
    if (askQuestion(this, QStringLiteral("Confirmation"),
                    QStringLiteral("Do you really want to delete all tiles from state %1?").arg(state),
                    QMessageBox::Yes | QMessageBox::No, QMessageBox::No) != QMessageBox::Yes)
        return;
    const QStringList cleared = currentMosaicDefTiles();
    currentMosaicDefTiles().clear();
    refreshMosaicDefTilesList();
    // The other states keep their own placement, so that reopened their
    // mosaics are rebuilt as they were assembled, not from another's.
    QList<QList<stitching::TilePosition>> placed = deformedTilePositionsStates;
    clearAssembledDefMosaicState();
    if (currentMosaicDefState < placed.size())
        placed[currentMosaicDefState].clear();
    if (std::any_of(placed.begin(), placed.end(), [](const auto& state) { return !state.isEmpty(); }))
        deformedTilePositionsStates = std::move(placed);
    forgetResultsOfEmptiedState(currentMosaicDefState, cleared);
    endTileEnlargement();
    setStatus(QStringLiteral("Tiles from state %1 deleted.").arg(state));
    saveParametersToProject();
    updateMosaicDefTilesControls();
}

QPushButton* MainWidget::addMosaicStateButton(int number) {
    auto* button = new QPushButton(QStringLiteral("Deformed %1").arg(number), this);
    button->setCheckable(true);
    button->setSizePolicy(QSizePolicy::Minimum, QSizePolicy::Fixed);
    if (mosaicStateGroup)
        mosaicStateGroup->addButton(button, number);
    if (mosaicTabRowLayout) {
        // Before "+ Add state", which closes the row.
        const int at = mosaicAddStateButton ? mosaicTabRowLayout->indexOf(mosaicAddStateButton) : -1;
        mosaicTabRowLayout->insertWidget(at < 0 ? mosaicTabRowLayout->count() : at, button);
    }
    mosaicDefStateButtons.append(button);
    if (mosaicTabRow)
        mosaicTabRow->adjustSize();
    return button;
}

void MainWidget::showRestoredMosaicLists() {
    fillTileNames(mosaicRefTileList, mosaicRefTilePaths);
    syncStateBars();
    currentMosaicDefState = 0;
    if (!mosaicDefStateButtons.isEmpty()) {
        const QSignalBlocker blocker(mosaicDefStateButtons.front());
        mosaicDefStateButtons.front()->setChecked(true);
    }
    refreshMosaicDefTilesList();
    updateMosaicRefTilesControls();
    updateMosaicDefTilesControls();
}

void MainWidget::onAddMosaicDefState() {
    const int state = appendDeformedState();
    currentMosaicDefState = state;
    if (state < mosaicDefStateButtons.size()) {
        const QSignalBlocker blocker(mosaicDefStateButtons[state]);
        mosaicDefStateButtons[state]->setChecked(true);
    }
    refreshMosaicDefTilesList();
    if (deformedView)
        deformedView->setImage(QImage(), false);
    updateDeformedHistogram(QImage());
    updateMosaicDefTilesControls();
    updateDeformedList();
    updateHeightTilesControls();
    setStatus(QStringLiteral("New deformed state %1 created").arg(state + 1));
}

void MainWidget::onDeleteMosaicDefState() {
    if (mosaicDefTilePaths.size() <= 1) {
        showMessage(this, QStringLiteral("Cannot delete"),
                    QStringLiteral("There must be at least one deformed state."));
        return;
    }
    const int state = std::clamp(currentMosaicDefState, 0, static_cast<int>(mosaicDefTilePaths.size()) - 1);
    if (!confirmDeformedStateDeletion(state))
        return;
    removeDeformedState(state);
    if (mosaicTabRow)
        mosaicTabRow->adjustSize();
    refreshMosaicDefTilesList();
    if (heightDefTiles.list)
        refreshHeightDefTilesList();
    previewTileIndex = 0;
    displayCurrentTilesInViews();
    updateMosaicRefTilesControls();
    updateMosaicDefTilesControls();
    updateDeformedList();
    heightInputsEdited(true);
    setStatus(QStringLiteral("Deformed state deleted. Mosaics must be reassembled. State %1/%2 displayed.")
                  .arg(currentMosaicDefState + 1)
                  .arg(mosaicDefTilePaths.size()));
}

bool MainWidget::confirmDeformedStateDeletion(int state) {
    QString text = QStringLiteral("Delete deformed state %1?\nThe tiles of this state will be lost.").arg(state + 1);
    if (stateHasResultFiles(state))
        text += QStringLiteral("\nIts result files will be deleted.");
    return askQuestion(this, QStringLiteral("Confirmation"), text, QMessageBox::Yes | QMessageBox::No,
                       QMessageBox::No) == QMessageBox::Yes;
}

// The files a deletion takes: the state's mosaic result and height map, and
// the per-tile results of its tiles.
bool MainWidget::stateHasResultFiles(int state) const {
    if (appliedProjectFolder.isEmpty() || state < 0)
        return false;
    const QStringList slugs = criterionSlugs();
    QStringList files = DeformedStates::stateResultFiles(state, slugs);
    if (state < mosaicDefTilePaths.size())
        for (int i : DeformedStates::namesLeaving(batchNames, mosaicDefTilePaths[state]))
            files << resultFilesOf(batchNames[i], slugs);
    return std::any_of(files.begin(), files.end(), [this](const QString& file) {
        return QFileInfo::exists(appliedProjectFolder + QLatin1Char('/') + file);
    });
}

bool MainWidget::showsIndividualTiles() const {
    return perTileMode || (referenceTilePositions.isEmpty() && referenceImage.displayImage().isNull());
}

int MainWidget::tilePositionCount(const QList<stitching::TilePosition>& list) {
    return static_cast<int>(list.size());
}

int MainWidget::placedStateCount() const {
    return static_cast<int>(std::count_if(deformedTilePositionsStates.begin(), deformedTilePositionsStates.end(),
                                          [](const QList<stitching::TilePosition>& state) { return !state.isEmpty(); }));
}

QList<stitching::TilePosition> MainWidget::defTilePositionsForState(int stateIndex) const {
    if (stateIndex >= 0 && stateIndex < deformedTilePositionsStates.size() &&
        !deformedTilePositionsStates[stateIndex].isEmpty())
        return deformedTilePositionsStates[stateIndex];
    return deformedTilePositions;
}

namespace {

std::optional<stitching::TilePosition> positionOfTile(const QList<stitching::TilePosition>& positions, int tile) {
    if (tile < 0)
        return std::nullopt;
    for (const stitching::TilePosition& position : positions)
        if (position.tileIndex == tile)
            return position;
    return std::nullopt;
}

}  // namespace

std::optional<stitching::TilePosition> MainWidget::findRefPositionByTileIndex(int tileIndex) const {
    return positionOfTile(referenceTilePositions, tileIndex);
}

std::optional<stitching::TilePosition> MainWidget::findDefPositionByTileIndex(int tileIndex) const {
    return positionOfTile(defTilePositionsForState(currentMosaicDefState), tileIndex);
}

int MainWidget::findMatchingDefTileIndex(int refTileIndex) const {
    if (refTileIndex < 0)
        return -1;
    const int stateTiles = currentMosaicDefState >= 0 && currentMosaicDefState < mosaicDefTilePaths.size()
                               ? static_cast<int>(mosaicDefTilePaths[currentMosaicDefState].size())
                               : 0;
    return refTileIndex < deformedTilePositions.size() || refTileIndex < stateTiles ? refTileIndex : -1;
}

int MainWidget::findMatchingRefTileIndex(int defTileIndex) const {
    if (defTileIndex < 0)
        return -1;
    return defTileIndex < referenceTilePositions.size() || defTileIndex < mosaicRefTilePaths.size() ? defTileIndex
                                                                                                     : -1;
}

void MainWidget::updateCurrentTileName() {
    refreshInputTilePair();
    if (!perTileMode || mosaicRefTilePaths.isEmpty())
        return;
    const int count = static_cast<int>(mosaicRefTilePaths.size());
    const int row = mosaicRefTileList ? mosaicRefTileList->currentRow() : 0;
    const int tile = std::clamp(row, 0, count - 1);
    const QString name = QFileInfo(mosaicRefTilePaths[tile]).completeBaseName();
    // A navigator over results names the result its page shows, which the input lists do not choose.
    if (batchGridActive())
        updateResultSlider();
    else
        for (TileNavigator* navigator : {&displacementTileNavigator, &strainTileNavigator, &fractureTileNavigator})
            updateTileNavigator(*navigator, tile, count, name);
    if (heightBatchNavigation())
        updateHeightNavBars();
    else
        updateTileNavigator(heightTileNavigator, tile, count, name);
}

int MainWidget::shownInputTile() const {
    if (!perTileMode || !mosaicSwitch || !mosaicSwitch->isChecked() || mosaicRefTilePaths.isEmpty())
        return -1;
    // Per-tile views start on the first pair until one is chosen.
    return std::clamp(previewTileIndex, 0, static_cast<int>(mosaicRefTilePaths.size()) - 1);
}

int MainWidget::shownInputPairResult() const {
    const int tile = shownInputTile();
    if (tile < 0 || !batchGridActive() || currentMosaicDefState < 0 ||
        currentMosaicDefState >= batchResultIndex.stateCount || tile >= batchResultIndex.tilesPerState)
        return -1;
    const qsizetype at = static_cast<qsizetype>(currentMosaicDefState) * batchResultIndex.tilesPerState + tile;
    return at < batchResultIndex.table.size() ? batchResultIndex.table[at] : -1;
}

void MainWidget::refreshInputTilePair() {
    const int tile = shownInputTile();
    const int count = tile >= 0 ? static_cast<int>(mosaicRefTilePaths.size()) : 0;
    updateTileNavigator(inputTileNavigator, tile, count,
                        tile >= 0 ? QFileInfo(mosaicRefTilePaths[tile]).completeBaseName() : QString());
    if (tile >= 0 && deformedTitleLabel) {
        const int states = static_cast<int>(mosaicDefTilePaths.size());
        const QStringList& tiles = currentMosaicDefTiles();
        const QString name = tile < tiles.size() ? QFileInfo(tiles[tile]).completeBaseName() : QString();
        deformedTitleLabel->setText(stateStepText(QStringLiteral("State"), currentMosaicDefState, states, name));
    }
    updateRigidShiftForShownPage();
}

namespace {

void highlightTile(ImageViewWidget* view, const LoadedImage& mosaic, const std::optional<stitching::TilePosition>& at,
                   int tile) {
    if (!view)
        return;
    if (!at || at->bounds.isEmpty()) {
        view->hideTileHighlight();
        return;
    }
    view->setTileHighlight(unscaleRect(at->bounds, mosaic.displayScale()), tile);
}

void selectQuietly(QListWidget* list, int row) {
    if (!list || row < 0 || row >= list->count())
        return;
    const QSignalBlocker blocker(list);
    list->setCurrentRow(row);
}

}  // namespace

void MainWidget::onMosaicRefTileClicked(QListWidgetItem* item, bool quiet) {
    if (!item || !mosaicRefTileList)
        return;
    const int row = mosaicRefTileList->row(item);
    updateCurrentTileName();
    if (showsIndividualTiles()) {
        onMosaicRefTileDoubleClicked(item);
        return;
    }
    if (enlargedTileIndex >= 0)
        return;
    const int count = static_cast<int>(mosaicRefTilePaths.size());
    const int defRow = findMatchingDefTileIndex(row);
    selectQuietly(mosaicDefTileList, defRow);
    displayAssembledMosaicsInViews();
    highlightTile(referenceView, referenceImage, findRefPositionByTileIndex(row), row);
    if (!quiet)
        setStatus(QStringLiteral("Tile %1/%2 selected (double-click to enlarge)").arg(row + 1).arg(count));
    const auto found = mosaicStateImageIndex.find(currentMosaicDefState);
    if (defRow >= 0 && found != mosaicStateImageIndex.end() && found->second >= 0 &&
        found->second < static_cast<int>(deformedImages.size()))
        highlightTile(deformedView, deformedImages[static_cast<std::size_t>(found->second)],
                      findDefPositionByTileIndex(defRow), defRow);
}

void MainWidget::onMosaicDefTileClicked(QListWidgetItem* item) {
    if (!item || !mosaicDefTileList)
        return;
    const int row = mosaicDefTileList->row(item);
    if (showsIndividualTiles()) {
        onMosaicDefTileDoubleClicked(item);
        return;
    }
    const int refRow = findMatchingRefTileIndex(row);
    if (refRow >= 0 && mosaicRefTileList && refRow < mosaicRefTileList->count()) {
        selectQuietly(mosaicRefTileList, refRow);
        onMosaicRefTileClicked(mosaicRefTileList->item(refRow), false);
    }
}

namespace {

// Per-tile work has no mosaic to return to.
QString tileDisplayedText(int row, int count, bool perTile) {
    const QString shown = QStringLiteral("Tile %1/%2 displayed").arg(row + 1).arg(count);
    return perTile ? shown : shown + QStringLiteral(" (click to return to mosaic)");
}

// The tile of `row` in `tiles`, for display; false with the loader's message.
bool loadTileForView(const QStringList& tiles, int row, QImage& shown, QString& error) {
    if (row < 0 || row >= tiles.size())
        return false;
    LoadedImage tile;
    if (!loadImage(tiles[row], tile, error))
        return false;
    shown = tile.displayImage();
    return true;
}

}  // namespace

void MainWidget::onMosaicRefTileDoubleClicked(QListWidgetItem* item) {
    if (!item || !mosaicRefTileList)
        return;
    const int row = mosaicRefTileList->row(item);
    QImage shown;
    QString error;
    if (!loadTileForView(mosaicRefTilePaths, row, shown, error)) {
        showMessage(this, QStringLiteral("Error"),
                    QStringLiteral("Unable to load tile:\n%1").arg(row < mosaicRefTilePaths.size()
                                                                        ? mosaicRefTilePaths.value(row)
                                                                        : error));
        return;
    }
    if (referenceView) {
        referenceView->hideTileHighlight();
        referenceView->setImage(shown, false);
    }
    updateReferenceHistogram(shown);
    const int defRow = findMatchingDefTileIndex(row);
    QImage counterpart;
    if (defRow >= 0 && loadTileForView(currentMosaicDefTiles(), defRow, counterpart, error)) {
        if (deformedView) {
            deformedView->hideTileHighlight();
            deformedView->setImage(counterpart, false);
        }
        updateDeformedHistogram(counterpart);
        selectQuietly(mosaicDefTileList, defRow);
    }
    enlargedTileIndex = row;
    previewTileIndex = row;
    setStatus(tileDisplayedText(row, static_cast<int>(mosaicRefTilePaths.size()), perTileMode));
    refreshInputTilePair();
}

void MainWidget::onMosaicDefTileDoubleClicked(QListWidgetItem* item) {
    if (!item || !mosaicDefTileList)
        return;
    const int row = mosaicDefTileList->row(item);
    const QStringList& tiles = currentMosaicDefTiles();
    QImage shown;
    QString error;
    if (!loadTileForView(tiles, row, shown, error)) {
        showMessage(this, QStringLiteral("Error"),
                    QStringLiteral("Unable to load tile:\n%1").arg(row < tiles.size() ? tiles.value(row) : error));
        return;
    }
    if (deformedView) {
        deformedView->hideTileHighlight();
        deformedView->setImage(shown, false);
    }
    updateDeformedHistogram(shown);
    const int refRow = findMatchingRefTileIndex(row);
    QImage counterpart;
    if (refRow >= 0 && loadTileForView(mosaicRefTilePaths, refRow, counterpart, error)) {
        if (referenceView) {
            referenceView->hideTileHighlight();
            referenceView->setImage(counterpart, false);
        }
        updateReferenceHistogram(counterpart);
        selectQuietly(mosaicRefTileList, refRow);
    }
    enlargedTileIndex = row;
    previewTileIndex = row;
    setStatus(tileDisplayedText(row, static_cast<int>(tiles.size()), perTileMode));
    refreshInputTilePair();
}

void MainWidget::onMosaicRefTileRowChanged(int row) {
    if (enlargedTileIndex >= 0 && row >= 0 && row != enlargedTileIndex && mosaicRefTileList &&
        row < mosaicRefTileList->count())
        onMosaicRefTileClicked(mosaicRefTileList->item(row), false);
    updateMosaicRefTilesControls();
}

void MainWidget::onMosaicDefTileRowChanged(int row) {
    if (enlargedTileIndex >= 0 && row >= 0 && row != enlargedTileIndex && mosaicDefTileList &&
        row < mosaicDefTileList->count())
        onMosaicDefTileClicked(mosaicDefTileList->item(row));
    updateMosaicDefTilesControls();
}

void MainWidget::onCropTiles() {
    QString sample;
    if (!mosaicRefTilePaths.isEmpty()) {
        sample = mosaicRefTilePaths.front();
    } else {
        for (const QStringList& state : mosaicDefTilePaths)
            if (!state.isEmpty()) {
                sample = state.front();
                break;
            }
    }
    if (sample.isEmpty()) {
        showMessage(this, QStringLiteral("No tiles"), QStringLiteral("Please load tiles first."));
        return;
    }
    const std::optional<ImageLoadOutcome> loaded = loadImageInBackground(sample, QStringLiteral("Loading tile\u2026"));
    if (!loaded)
        return;
    if (!loaded->ok || loaded->image.full.isNull()) {
        showMessage(this, QStringLiteral("Loading error"),
                    QStringLiteral("Unable to load image: %1").arg(loaded->error));
        return;
    }
    const QImage& tile = loaded->image.full;
    TileCropDialog dialog(tile, tileCrop, this);
    if (runModalDialog(dialog) != QDialog::Accepted)
        return;
    QRect chosen = dialog.cropRect();
    if (chosen.isValid() && !chosen.isEmpty() && chosen == QRect(QPoint(0, 0), tile.size()))
        chosen = QRect();
    if (chosen != tileCrop && (hasAssembledRefMosaic() || hasAssembledDefMosaic())) {
        if (askQuestion(this, QStringLiteral("Assembled mosaics"),
                        QStringLiteral("The cropping has changed. Assembled mosaics will be deleted.\nContinue?"),
                        QMessageBox::Yes | QMessageBox::No, QMessageBox::No) != QMessageBox::Yes)
            return;
        clearAssembledMosaicState();
    }
    tileCrop = chosen;
    updateMosaicCropButton();
    if (tileCrop.isValid() && !tileCrop.isEmpty())
        setStatus(QStringLiteral("Crop applied: %1\u00d7%2 from (%3,%4)")
                      .arg(tileCrop.width())
                      .arg(tileCrop.height())
                      .arg(tileCrop.x())
                      .arg(tileCrop.y()));
    else
        setStatus(QStringLiteral("Cropping removed - full tiles"));
}

void MainWidget::updateMosaicCropButton() {
    const bool anyTiles = !mosaicRefTilePaths.isEmpty() ||
                          std::any_of(mosaicDefTilePaths.begin(), mosaicDefTilePaths.end(),
                                      [](const QStringList& state) { return !state.isEmpty(); });
    if (cropTilesButton)
        cropTilesButton->setEnabled(anyTiles);
    if (!cropTilesLabel)
        return;
    if (tileCrop.isValid() && !tileCrop.isEmpty())
        cropTilesLabel->setText(QStringLiteral("(%1,%2) %3\u00d7%4")
                                    .arg(tileCrop.x())
                                    .arg(tileCrop.y())
                                    .arg(tileCrop.width())
                                    .arg(tileCrop.height()));
    else
        cropTilesLabel->setText(anyTiles ? QString() : QStringLiteral("Load tiles first"));
}

namespace {

void refreshTileButtons(QListWidget* list, QLabel* placeholder, QPushButton* remove, QPushButton* up,
                        QPushButton* down, QPushButton* clear) {
    const int count = list->count();
    const ListButtonStates states = listButtonStates(count, list->currentRow(), !list->selectedItems().isEmpty(), true);
    remove->setEnabled(states.remove);
    up->setEnabled(states.moveUp);
    down->setEnabled(states.moveDown);
    clear->setEnabled(states.clear);
    placeholder->setVisible(count == 0);
    list->setVisible(count > 0);
}

}  // namespace

void MainWidget::updateMosaicRefTilesControls() {
    if (!mosaicRefTileList)
        return;
    refreshTileButtons(mosaicRefTileList, mosaicRefPlaceholder, mosaicRefRemoveButton, mosaicRefMoveUpButton,
                       mosaicRefMoveDownButton, mosaicRefClearButton);
    updateTileCountLabel(mosaicRefCountLabel, mosaicRefTileList->count());
    updateMosaicCropButton();
    refreshInputTilePair();
}

void MainWidget::updateMosaicDefTilesControls() {
    if (!mosaicDefTileList)
        return;
    refreshTileButtons(mosaicDefTileList, mosaicDefPlaceholder, mosaicDefRemoveButton, mosaicDefMoveUpButton,
                       mosaicDefMoveDownButton, mosaicDefClearButton);
    updateTileCountLabel(mosaicDefCountLabel, mosaicDefTileList->count());
    updateMosaicCropButton();
    refreshInputTilePair();
}

}  // namespace tavro::gui
