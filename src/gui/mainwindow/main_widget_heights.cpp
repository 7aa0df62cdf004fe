// Height inputs of the "3D Maps" tab: the reference and deformed height
// lists, their state bar, and the summary that says whether they are complete.
#include "gui/mainwindow/main_widget.h"

#include "images/image_write.h"
#include "gui/foundation/message_boxes.h"
#include "gui/foundation/theme.h"
#include "gui/project/result_files.h"
#include "gui/style/switch_widget.h"

#include <QButtonGroup>
#include <QDir>
#include <QFileInfo>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QScrollArea>
#include <QSet>
#include <QTimer>

#include <algorithm>
#include <limits>

namespace tavro::gui {

namespace {

const QString kHeightFilter = QStringLiteral("Images (*.png *.bmp *.tif *.tiff);;TIFF (*.tif *.tiff);;All files (*)");

QStringList sortedPaths(QStringList paths) {
    std::sort(paths.begin(), paths.end());
    return paths;
}

std::vector<QString> toVector(const QStringList& list) { return std::vector<QString>(list.begin(), list.end()); }

QList<int> selectedRowsDescending(const QListWidget* list) {
    QList<int> rows;
    for (const QListWidgetItem* item : list->selectedItems())
        rows << list->row(item);
    std::sort(rows.begin(), rows.end(), std::greater<int>());
    return rows;
}

QString tileCountText(qsizetype count) {
    if (count == 0)
        return QStringLiteral("No tiles");
    return count == 1 ? QStringLiteral("1 tile") : QStringLiteral("%1 tiles").arg(count);
}

void fillFileNames(QListWidget* list, const QStringList& paths) {
    if (!list)
        return;
    list->clear();
    for (const QString& path : paths)
        list->addItem(QFileInfo(path).fileName());
}

void setBlockButtons(const MainWidget::HeightTileBlock& block, bool hasPaths) {
    if (!block.list)
        return;
    const QList<QListWidgetItem*> selected = block.list->selectedItems();
    const int row = selected.size() == 1 ? block.list->row(selected.front()) : -1;
    block.clearButton->setEnabled(hasPaths);
    block.removeButton->setEnabled(!selected.isEmpty());
    block.upButton->setEnabled(row > 0);
    block.downButton->setEnabled(row >= 0 && row < block.list->count() - 1);
    block.emptyLabel->setVisible(block.list->count() == 0);
    block.list->setVisible(block.list->count() > 0);
}

// A result released from memory keeps its range and geometry; a record of an
// image never correlated has neither.
bool holdsDisplacementResult(const ComputationResult& r) {
    return !r.displacements->dispX.empty() || r.geometry.gridWidth > 0 || r.autoMinUx != r.autoMaxUx;
}

} // namespace

bool MainWidget::heightMosaicMode() const { return mosaicSwitch && mosaicSwitch->isChecked(); }

QStringList& MainWidget::currentHeightDefTiles() {
    if (deformedHeightStates.isEmpty())
        deformedHeightStates.append(QStringList());
    if (currentDeformedHeightState >= deformedHeightStates.size())
        currentDeformedHeightState = static_cast<int>(deformedHeightStates.size()) - 1;
    if (currentDeformedHeightState < 0)
        currentDeformedHeightState = 0;
    return deformedHeightStates[currentDeformedHeightState];
}

bool MainWidget::hasAnyHeightDefTiles() const {
    return std::any_of(deformedHeightStates.begin(), deformedHeightStates.end(),
                       [](const QStringList& state) { return !state.isEmpty(); });
}

QStringList MainWidget::filterDuplicateHeightTiles(const QStringList& candidates,
                                                   const std::vector<QString>& existing) {
    QSet<QString> names;
    for (const QString& path : existing)
        names.insert(QFileInfo(path).fileName());
    QStringList kept;
    QStringList ignored;
    for (const QString& path : candidates) {
        const QString name = QFileInfo(path).fileName();
        if (names.contains(name)) {
            ignored << name;
            continue;
        }
        names.insert(name);
        kept << path;
    }
    if (!ignored.isEmpty())
        showMessage(this, QStringLiteral("Tiles ignored"),
                    QStringLiteral("The following height tiles were ignored because their name already exists:\n%1")
                        .arg(ignored.join(QStringLiteral(", "))));
    return kept;
}

void MainWidget::heightInputsEdited(bool pending) {
    if (pending)
        outOfPlaneStale = true;
    updateHeightTilesControls();
    autosaveParameters();
}

void MainWidget::onAddHeightRefTiles() {
    const QStringList chosen =
        heightMosaicMode()
            ? askOpenFileNames(this, QStringLiteral("Select height tiles (Reference)"),
                               dialogFolderFor(referenceHeightPaths), kHeightFilter)
            : QStringList{askOpenFileName(this, QStringLiteral("Select height file (Reference)"),
                                          dialogFolderFor(referenceHeightPaths), kHeightFilter)};
    addHeightReferenceFiles(chosen);
}

void MainWidget::onAddHeightDefTiles() {
    const QStringList chosen =
        heightMosaicMode()
            ? askOpenFileNames(
                  this, QStringLiteral("Select height tiles (State %1 - deformed)").arg(currentDeformedHeightState + 1),
                  dialogFolderFor(currentHeightDefTiles()), kHeightFilter)
            : askOpenFileNames(this, QStringLiteral("Select height files (Deformed)"),
                               dialogFolderFor(currentHeightDefTiles()), kHeightFilter);
    addHeightDeformedFiles(chosen);
}

void MainWidget::addHeightReferenceFiles(QStringList files) {
    files.removeAll(QString());
    rejectUnreadableHeightFiles(files);
    if (files.isEmpty())
        return;
    if (heightMosaicMode()) {
        const QStringList kept = filterDuplicateHeightTiles(sortedPaths(files), toVector(referenceHeightPaths));
        referenceHeightPaths << kept;
        refreshHeightRefTilesList();
        updateHeightFileCountLabel();
        heightInputsEdited(true);
        if (!kept.isEmpty())
            showReferenceHeightPreview(kept.front());
        setStatus(QStringLiteral("%1 height tile(s) (reference) added").arg(kept.size()));
        return;
    }
    referenceHeightPaths = QStringList{files.front()};
    refreshHeightRefTilesList();
    updateHeightFileCountLabel();
    heightInputsEdited(true);
    showReferenceHeightPreview(files.front());
    setStatus(QStringLiteral("Height file (reference) loaded: %1").arg(QFileInfo(files.front()).fileName()));
}

void MainWidget::addHeightDeformedFiles(QStringList files) {
    files.removeAll(QString());
    rejectUnreadableHeightFiles(files);
    if (files.isEmpty())
        return;
    if (heightMosaicMode()) {
        const QStringList kept = filterDuplicateHeightTiles(sortedPaths(files), toVector(currentHeightDefTiles()));
        currentHeightDefTiles() << kept;
        refreshHeightDefTilesList();
        heightInputsEdited(true);
        setStatus(
            QStringLiteral("%1 height tile(s) added to state %2").arg(kept.size()).arg(currentDeformedHeightState + 1));
        return;
    }
    if (deformedHeightStates.isEmpty())
        deformedHeightStates.append(QStringList());
    const QStringList sorted = sortedPaths(files);
    deformedHeightStates[0] << sorted;
    updateHeightFileCountLabel();
    heightInputsEdited(true);
    // Files pair with images by row: a silent reorder would pair them otherwise than chosen.
    QString status = QStringLiteral("%1 height file(s) (deformed) added").arg(files.size());
    if (sorted != files)
        status += QStringLiteral(" \u2014 sorted by name; each file pairs with the image in the same row");
    setStatus(status);
}

void MainWidget::onRemoveHeightRefTiles() {
    const QList<int> rows = selectedRowsDescending(heightRefTiles.list);
    for (int row : rows)
        if (row < referenceHeightPaths.size())
            referenceHeightPaths.removeAt(row);
    if (!referenceHeightPaths.contains(previewedReferenceHeight))
        dropReferenceHeightPreview();
    refreshHeightRefTilesList();
    updateHeightFileCountLabel();
    heightInputsEdited(true);
    setStatus(QStringLiteral("%1 tile(s) removed").arg(rows.size()));
}

void MainWidget::onRemoveHeightDefTiles() {
    const QList<int> rows = selectedRowsDescending(heightDefTiles.list);
    QStringList& state = currentHeightDefTiles();
    for (int row : rows)
        if (row < state.size())
            state.removeAt(row);
    refreshHeightDefTilesList();
    heightInputsEdited(true);
    setStatus(QStringLiteral("%1 tile(s) removed").arg(rows.size()));
}

void MainWidget::onRemoveHeightClassicDefTiles() {
    const QList<int> rows = selectedRowsDescending(heightDefFileList);
    if (!deformedHeightStates.isEmpty())
        for (int row : rows)
            if (row < deformedHeightStates[0].size())
                deformedHeightStates[0].removeAt(row);
    // Every later file now pairs with an earlier image.
    if (!rows.isEmpty())
        forgetSingleImageHeightMaps(rows.back(), std::numeric_limits<int>::max());
    updateHeightFileCountLabel();
    heightInputsEdited(true);
    setStatus(QStringLiteral("%1 file(s) removed").arg(rows.size()));
}

void MainWidget::onClearHeightRefTiles() {
    if (referenceHeightPaths.isEmpty())
        return;
    referenceHeightPaths.clear();
    dropReferenceHeightPreview();
    refreshHeightRefTilesList();
    updateHeightFileCountLabel();
    heightInputsEdited(true);
    setStatus(QStringLiteral("Height tiles (reference) deleted."));
}

void MainWidget::onClearHeightDefTiles() {
    QStringList& state = currentHeightDefTiles();
    if (state.isEmpty())
        return;
    state.clear();
    refreshHeightDefTilesList();
    heightInputsEdited(true);
    setStatus(QStringLiteral("Tiles from state %1 deleted.").arg(currentDeformedHeightState + 1));
}

void MainWidget::onClearHeightClassicDefTiles() {
    if (deformedHeightStates.isEmpty())
        return;
    deformedHeightStates[0].clear();
    forgetSingleImageHeightMaps(0, std::numeric_limits<int>::max());
    updateHeightFileCountLabel();
    heightInputsEdited(true);
    setStatus(QStringLiteral("Deformed height files deleted."));
}

void MainWidget::moveHeightTile(bool reference, int step) {
    QListWidget* list = reference ? heightRefTiles.list : heightDefTiles.list;
    if (!list)
        return;
    const QList<QListWidgetItem*> selected = list->selectedItems();
    if (selected.size() != 1)
        return;
    QStringList& paths = reference ? referenceHeightPaths : currentHeightDefTiles();
    const int row = list->row(selected.front());
    const int target = row + step;
    if (target < 0 || target >= paths.size() || row >= paths.size())
        return;
    paths.swapItemsAt(row, target);
    if (reference)
        refreshHeightRefTilesList();
    else
        refreshHeightDefTilesList();
    list->item(target)->setSelected(true);
    heightInputsEdited(false);
}

void MainWidget::onMoveUpHeightRefTile() { moveHeightTile(true, -1); }
void MainWidget::onMoveDownHeightRefTile() { moveHeightTile(true, 1); }
void MainWidget::onMoveUpHeightDefTile() { moveHeightTile(false, -1); }
void MainWidget::onMoveDownHeightDefTile() { moveHeightTile(false, 1); }

QPushButton* MainWidget::addHeightStateButton(int number) {
    auto* button = new QPushButton(QStringLiteral("Deformed %1").arg(number), heightTabScroll->widget());
    button->setCheckable(true);
    button->setSizePolicy(QSizePolicy::Minimum, QSizePolicy::Fixed);
    heightTabGroup->addButton(button, number);
    const int at = heightTabRowLayout->indexOf(heightAddStateButton);
    heightTabRowLayout->insertWidget(at < 0 ? heightTabRowLayout->count() : at, button);
    heightStateButtons.append(button);
    heightTabScroll->widget()->adjustSize();
    return button;
}

void MainWidget::onAddHeightDefState() {
    const int state = appendDeformedState();
    if (state < heightStateButtons.size())
        heightStateButtons[state]->setChecked(true);
    currentDeformedHeightState = state;
    heightRefTiles.page->hide();
    heightDefTiles.page->show();
    refreshHeightDefTilesList();
    updateMosaicDefTilesControls();
    heightInputsEdited(true);
    setStatus(QStringLiteral("Deformed state %1 added").arg(state + 1));
}

void MainWidget::onDeleteHeightDefState() {
    if (deformedHeightStates.size() < 2)
        return;
    const int state = std::clamp(currentDeformedHeightState, 0, static_cast<int>(deformedHeightStates.size()) - 1);
    // The state's intensity tiles go with it: ask before they are lost.
    if (state < mosaicDefTilePaths.size() && !mosaicDefTilePaths[state].isEmpty() &&
        !confirmDeformedStateDeletion(state))
        return;
    removeDeformedState(state);
    refreshHeightDefTilesList();
    refreshMosaicDefTilesList();
    displayCurrentTilesInViews();
    updateMosaicDefTilesControls();
    updateDeformedList();
    heightInputsEdited(true);
    setStatus(QStringLiteral("Deformed state deleted"));
}

void MainWidget::showRestoredHeightLists() {
    if (!heightTabGroup || !heightTabRowLayout)
        return;
    if (deformedHeightStates.isEmpty())
        deformedHeightStates.append(QStringList());
    syncStateBars();
    currentHeightDefTiles();
    if (QAbstractButton* reference = heightTabGroup->button(0))
        reference->setChecked(true);
    heightDefTiles.page->hide();
    heightRefTiles.page->show();
    refreshHeightRefTilesList();
    refreshHeightDefTilesList();
    // The mode switch was set without its signal: the body that shows the state bar follows it here.
    updateHeightModeHint();
}

void MainWidget::onHeightTabChanged(int id) {
    if (id == 0) {
        heightDefTiles.page->hide();
        heightRefTiles.page->show();
    } else {
        if (id - 1 >= deformedHeightStates.size())
            return;
        currentDeformedHeightState = id - 1;
        refreshHeightDefTilesList();
        heightRefTiles.page->hide();
        heightDefTiles.page->show();
    }
    if (assembledHeightShown)
        showAssembledHeightMap();
    updateHeightTilesControls();
}

void MainWidget::moveHeightClassicRow(int step) {
    if (!heightDefFileList)
        return;
    const int row = heightDefFileList->currentRow();
    const int target = row + step;
    if (row < 0 || target < 0 || target >= heightDefFileList->count())
        return;
    // The model's move is the drag's: the pairing's maps are forgotten by the same handler.
    if (!heightDefFileList->model()->moveRow(QModelIndex(), row, QModelIndex(), step > 0 ? target + 1 : target))
        return;
    heightDefFileList->clearSelection();
    heightDefFileList->setCurrentRow(target);
    setStatus(QStringLiteral("Height file moved: %1").arg(heightPairingText(target)));
}

void MainWidget::onHeightListSelectionChanged() {
    if (!heightDefFileList)
        return;
    const bool selected = !heightDefFileList->selectedItems().isEmpty();
    if (heightDefRemoveButton)
        heightDefRemoveButton->setEnabled(selected);
    const int row = heightDefFileList->currentRow();
    const bool movable = selected && row >= 0 && heightDefFileList->selectedItems().size() == 1;
    if (heightDefUpButton)
        heightDefUpButton->setEnabled(movable && row >= 1);
    if (heightDefDownButton)
        heightDefDownButton->setEnabled(movable && row < heightDefFileList->count() - 1);
}

QString MainWidget::heightPairingText(int row) const {
    const QStringList files = deformedHeightStates.isEmpty() ? QStringList() : deformedHeightStates.front();
    if (row < 0 || row >= files.size())
        return QString();
    const QString image = row < static_cast<int>(deformedImages.size())
                              ? QFileInfo(deformedImages[static_cast<std::size_t>(row)].path).completeBaseName()
                              : QString();
    return QStringLiteral("%1 \u2192 %2")
        .arg(QFileInfo(files[row]).fileName(), image.isEmpty() ? QStringLiteral("(no image)") : image);
}

// Texts set in place: a drag is still under way when its rows have moved.
void MainWidget::labelHeightPairings() {
    if (!heightDefFileList || deformedHeightStates.isEmpty() ||
        heightDefFileList->count() != deformedHeightStates.front().size())
        return;
    for (int row = 0; row < heightDefFileList->count(); ++row)
        heightDefFileList->item(row)->setText(heightPairingText(row));
}

QString MainWidget::singleHeightStateName(int index, const QString& heightName) const {
    if (index < 0 || index >= static_cast<int>(deformedImages.size()))
        return heightName;
    const QString image = QFileInfo(deformedImages[static_cast<std::size_t>(index)].path).completeBaseName();
    return image.isEmpty() ? heightName : QStringLiteral("%1 \u2192 %2").arg(heightName, image);
}

void MainWidget::refreshHeightRefTilesList() {
    fillFileNames(heightRefTiles.list, referenceHeightPaths);
    setBlockButtons(heightRefTiles, !referenceHeightPaths.isEmpty());
}

void MainWidget::refreshHeightDefTilesList() {
    fillFileNames(heightDefTiles.list, currentHeightDefTiles());
    setBlockButtons(heightDefTiles, !currentHeightDefTiles().isEmpty());
}

bool MainWidget::hasDisplacementForHeights() const {
    if (shownDisplacements && !shownDisplacements->dispX.empty())
        return true;
    return std::any_of(results.begin(), results.end(), [](const ComputationResult& result) {
        return result.displacements && !result.displacements->dispX.empty();
    });
}

bool MainWidget::batchDisplacementFilesExist() const {
    if (appliedProjectFolder.isEmpty())
        return false;
    for (const QStringList& state : mosaicDefTilePaths)
        for (const QString& tile : state)
            if (QFileInfo::exists(resultFilePath(appliedProjectFolder, kDisplacementsFolder,
                                                 QFileInfo(tile).completeBaseName(), QStringLiteral("_ux"))))
                return true;
    return false;
}

bool MainWidget::updateMosaicHeightSummary() {
    const int S = static_cast<int>(mosaicDefTilePaths.size());
    const qsizetype T = mosaicDefTilePaths.isEmpty() ? 0 : mosaicDefTilePaths.front().size();
    int matched = 0;
    for (int s = 0; s < deformedHeightStates.size() && s < S; ++s)
        if (!deformedHeightStates[s].isEmpty() && deformedHeightStates[s].size() == mosaicDefTilePaths[s].size())
            ++matched;
    const bool referenceMatches =
        !referenceHeightPaths.isEmpty() && referenceHeightPaths.size() == mosaicRefTilePaths.size();
    const bool complete = S > 0 && matched == S && referenceMatches;
    if (heightSummaryLabel) {
        if (S == 0) {
            heightSummaryLabel->setText(QStringLiteral("No state defined in Input Images"));
            heightSummaryLabel->setStyleSheet(hintLabelStyle());
        } else if (complete) {
            heightSummaryLabel->setText(QStringLiteral("%1/%1 complete, %2 tiles/state \u2713").arg(S + 1).arg(T));
            heightSummaryLabel->setStyleSheet(successHintLabelStyle());
        } else {
            heightSummaryLabel->setText(QStringLiteral("%1 tiles/state expected \u2014 %2/%3 complete")
                                            .arg(T)
                                            .arg(matched + (referenceMatches ? 1 : 0))
                                            .arg(S + 1));
            heightSummaryLabel->setStyleSheet(warningHintLabelStyle());
        }
    }
    return complete;
}

bool MainWidget::updateSingleHeightSummary() {
    const int D = static_cast<int>(deformedImages.size());
    const int F = deformedHeightStates.isEmpty() ? 0 : static_cast<int>(deformedHeightStates.front().size());
    const bool hasReference = !referenceHeightPaths.isEmpty();
    const bool countsMatch = F == D && D >= 1;
    const int total = D + 1;
    const int ready = std::min(D, F) + (hasReference ? 1 : 0);
    const int R = static_cast<int>(results.size());
    if (heightSummaryLabel) {
        if (D == 0) {
            heightSummaryLabel->setText(QStringLiteral("No images defined in Input Images"));
            heightSummaryLabel->setStyleSheet(hintLabelStyle());
        } else if (ready == total && countsMatch && (R == 0 || R == F)) {
            heightSummaryLabel->setText(QStringLiteral("%1/%1 height maps \u2713").arg(total));
            heightSummaryLabel->setStyleSheet(successHintLabelStyle());
        } else {
            QStringList missing;
            if (!hasReference)
                missing << QStringLiteral("reference");
            if (F < D)
                missing << QStringLiteral("%1 deformed").arg(D - F);
            if (F > D)
                missing << QStringLiteral("%1 extra").arg(F - D);
            QString text = QStringLiteral("%1/%2 height maps").arg(ready).arg(total);
            if (!missing.isEmpty())
                text += QStringLiteral(" \u2014 missing %1").arg(missing.join(QStringLiteral(", ")));
            else if (R >= 1 && R != F)
                text += QStringLiteral(" \u2014 %1 correlation result(s)").arg(R);
            heightSummaryLabel->setText(text);
            heightSummaryLabel->setStyleSheet(warningHintLabelStyle());
        }
    }
    if (heightRefTiles.countLabel)
        heightRefTiles.countLabel->setText(hasReference ? QStringLiteral("1 file") : QStringLiteral("No tiles"));
    if (heightDefTiles.countLabel)
        heightDefTiles.countLabel->setText(F == 0   ? QStringLiteral("No tiles")
                                           : F == 1 ? QStringLiteral("1 file")
                                                    : QStringLiteral("%1 files").arg(F));
    return hasReference && F >= 1 && countsMatch;
}

void MainWidget::updateHeightTilesControls() {
    if (!heightRefTiles.list || !heightDefTiles.list)
        return;
    setBlockButtons(heightRefTiles, !referenceHeightPaths.isEmpty());
    setBlockButtons(heightDefTiles, !currentHeightDefTiles().isEmpty());
    const bool idle = !computationRunning && !runInProgress;
    bool enable = false;
    if (heightMosaicMode()) {
        heightRefTiles.countLabel->setText(tileCountText(referenceHeightPaths.size()));
        heightDefTiles.countLabel->setText(tileCountText(currentHeightDefTiles().size()));
        const bool complete = updateMosaicHeightSummary();
        const qsizetype refHeights = referenceHeightPaths.size();
        const qsizetype stateHeights = currentHeightDefTiles().size();
        bool positionsFit = false;
        bool displacement = hasDisplacementForHeights();
        if (perTileMode) {
            positionsFit = refHeights == mosaicRefTilePaths.size();
            displacement = displacement || batchDisplacementFilesExist();
        } else {
            positionsFit = !referenceTilePositions.isEmpty() && refHeights == referenceTilePositions.size() &&
                           stateHeights >= 1 && stateHeights == defTilePositionsForState(0).size();
        }
        enable = idle && complete && outOfPlaneStale && displacement && positionsFit;
        // Per-tile work takes each height tile as it is: there is no mosaic to assemble.
        if (heightAssembleButton) {
            heightAssembleButton->setVisible(!perTileMode);
            heightAssembleButton->setEnabled(idle && refHeights >= 1 && stateHeights >= 1);
        }
    } else {
        const bool ready = updateSingleHeightSummary();
        enable = idle && ready && hasDisplacementForHeights() && outOfPlaneStale;
    }
    if (computeOutOfPlaneButton)
        computeOutOfPlaneButton->setEnabled(enable);
    if ((!referenceHeightPaths.isEmpty() || hasAnyHeightDefTiles()) && !projectLoading)
        update3DMapsTabEnabled(true);
}

void MainWidget::updateHeightFileCountLabel() {
    if (!heightRefFileEdit)
        return;
    if (referenceHeightPaths.isEmpty())
        heightRefFileEdit->clear();
    else
        heightRefFileEdit->setText(QFileInfo(referenceHeightPaths.front()).fileName());
    heightRefRemoveButton->setEnabled(!referenceHeightPaths.isEmpty());
    const QStringList files = deformedHeightStates.isEmpty() ? QStringList() : deformedHeightStates.front();
    fillFileNames(heightDefFileList, files);
    labelHeightPairings();
    heightDefEmptyLabel->setVisible(files.isEmpty());
    heightDefFileList->setVisible(!files.isEmpty());
    heightDefClearButton->setVisible(!files.isEmpty());
    heightDefClearButton->setEnabled(!files.isEmpty());
    heightFileCountLabel->setText(files.isEmpty()     ? QStringLiteral("No file")
                                  : files.size() == 1 ? QStringLiteral("1 file")
                                                      : QStringLiteral("%1 files").arg(files.size()));
    onHeightListSelectionChanged();
}

void MainWidget::updateHeightModeHint() {
    if (!heightModeHintLabel)
        return;
    const bool mosaic = heightMosaicMode();
    heightModeHintLabel->setText(
        mosaic ? QStringLiteral("Load height tiles corresponding to assembled intensity tiles.\nTranslations computed "
                                "on intensities will be applied automatically.")
               : QStringLiteral("Load height files corresponding to intensity images.\nSupported formats: PNG, BMP, "
                                "TIFF (8-bit, 16-bit, 32-bit float)."));
    heightSingleContainer->setVisible(!mosaic);
    heightMosaicContainer->setVisible(mosaic);
    updateHeightTilesControls();
    updateHeightFileCountLabel();
    QTimer::singleShot(0, this, [this] {
        if (heightSingleContainer && heightSingleContainer->isVisible() && heightSingleContainer->layout()) {
            heightSingleContainer->layout()->activate();
            heightSingleContainer->adjustSize();
        }
        if (heightsPage && heightsPage->layout())
            heightsPage->layout()->activate();
    });
}

void MainWidget::refreshHeightPanelLayout() {
    if (heightMapsGroup && heightMapsGroup->layout())
        heightMapsGroup->layout()->activate();
    if (heightsPage)
        heightsPage->updateGeometry();
    if (controlContent)
        controlContent->updateGeometry();
}

void MainWidget::update3DMapsTabEnabled(bool show) {
    setResultTabVisible(heightResultPage, QStringLiteral("3D Maps"), show);
}

// The tab holds the height inputs too, so it must be reachable as soon as there
// is a displacement to combine them with, before any height file exists.
void MainWidget::update3DMapsTabEnabled() {
    const bool displacement = hasDisplacementForHeights() || !batchNames.isEmpty() ||
                              std::any_of(results.begin(), results.end(), holdsDisplacementResult);
    update3DMapsTabEnabled(displacement || !referenceHeightPaths.isEmpty() || hasAnyHeightDefTiles() ||
                           !shownHeightValues.empty());
}

}  // namespace tavro::gui
