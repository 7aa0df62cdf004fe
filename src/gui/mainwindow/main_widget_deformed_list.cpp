// The ordered list of deformed images: adding, removing, moving and clearing
// them, choosing the current one, and the list's buttons, labels and slider.
#include "gui/mainwindow/main_widget.h"
#include "gui/project/result_files.h"

#include "gui/foundation/contrast_histogram_widget.h"
#include "gui/foundation/elided_label.h"
#include "images/image_io.h"
#include "gui/foundation/message_boxes.h"
#include "gui/mainwindow/input_rules.h"
#include "gui/mainwindow/mosaic_file_record.h"
#include "gui/mainwindow/panel_rules.h"
#include "gui/mainwindow/run_async.h"
#include "gui/style/switch_widget.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSlider>

#include <algorithm>
#include <limits>

namespace tavro::gui {

namespace {

const QString kImageFilterWithAll = QStringLiteral("Images (*.png *.bmp *.tif *.tiff);;All files (*)");

}  // namespace

bool MainWidget::acceptDeformedName(const QString& path) {
    QStringList existing;
    for (const LoadedImage& image : deformedImages)
        existing << image.path;
    const std::optional<QString> clash = resultNameClash(path, existing);
    if (!clash)
        return true;
    showMessage(this, QStringLiteral("Image"),
                QStringLiteral("%1 was not added: %2 has the same name, and their result files would overwrite each "
                               "other.\n\nRename one of them to correlate both.")
                    .arg(QDir::toNativeSeparators(path), QDir::toNativeSeparators(*clash)));
    return false;
}

void MainWidget::appendDeformedImage(LoadedImage image) {
    image.releaseFullImage();
    const QString name = QFileInfo(image.path).fileName();
    deformedImages.push_back(std::move(image));
    if (deformedList) {
        const QSignalBlocker blocker(deformedList);
        deformedList->addItem(name);
    }
}

void MainWidget::onAddDeformed() {
    QStringList paths = askOpenFileNames(this, QStringLiteral("Select deformed images"), imageDialogFolder(),
                                         kImageFilterWithAll);
    if (paths.isEmpty())
        return;
    rememberImageFolder(paths.front());
    rejectLossyImages(paths);
    const bool wasEmpty = deformedImages.empty();
    int added = 0;
    {
        // The whole loop is one operation: nothing may clear the list or open
        // another project between two files.
        const BusyScope busy(this, true);
        const int count = static_cast<int>(paths.size());
        for (int i = 0; i < count; ++i) {
            const QString path = paths[i];
            if (!acceptDeformedName(path))
                continue;
            std::optional<ImageLoadOutcome> outcome = loadImageInBackground(
                path, QStringLiteral("Loading %1 (%2/%3)...").arg(QFileInfo(path).fileName()).arg(i + 1).arg(count));
            if (!outcome) {
                if (loadCancelFlag->load() && statusLabel)
                    statusLabel->setText(QStringLiteral("Loading cancelled."));
                break;
            }
            if (!outcome->ok) {
                sayRefusal(QStringLiteral("Image"), loadFailureText(path, outcome->error));
                continue;
            }
            outcome->image.path = path;
            if (refuseDeformedSize(outcome->image))
                continue;
            appendDeformedImage(std::move(outcome->image));
            ++added;
        }
    }
    if (added > 0)
        finishAddingDeformed(wasEmpty,
                             loadCancelFlag->load() ? QString() : QStringLiteral("%1 image(s) added").arg(added));
}

void MainWidget::finishAddingDeformed(bool listWasEmpty, const QString& status) {
    updateDeformedList();
    if (listWasEmpty) {
        shownDeformedIndex = 0;
        if (deformedList)
            deformedList->setCurrentRow(0);
        showCurrentDeformedImage();
        if (deformedView)
            deformedView->fitToWindow();
    }
    if (statusLabel && !status.isEmpty())
        statusLabel->setText(status);
    // The result shown keeps its place; its caption and slider count the longer list.
    if (shownResultIndex >= 0) {
        updateResultSlider();
        updateRigidShiftLabel(shownResultIndex);
    }
    saveParametersToProject();
}

void MainWidget::addDeformedImageFromPath(const QString& path) {
    QStringList one{path};
    if (rejectLossyImages(one) > 0 || !acceptDeformedName(path))
        return;
    LoadedImage image;
    QString error;
    if (!loadImage(path, image, error)) {
        sayRefusal(QStringLiteral("Image"), loadFailureText(path, error));
        return;
    }
    image.path = path;
    if (refuseDeformedSize(image))
        return;
    const bool wasEmpty = deformedImages.empty();
    appendDeformedImage(std::move(image));
    finishAddingDeformed(wasEmpty, QStringLiteral("Image added: %1").arg(QFileInfo(path).fileName()));
}

void MainWidget::onRemoveDeformed() {
    if (!deformedList)
        return;
    std::vector<int> rows;
    for (const QListWidgetItem* item : deformedList->selectedItems())
        rows.push_back(deformedList->row(item));
    if (rows.empty())
        return;
    std::sort(rows.rbegin(), rows.rend());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    // Height files pair with images by position: from the first removed image on, the maps are another pair's.
    if (!heightMosaicMode())
        forgetSingleImageHeightMaps(rows.back(), std::numeric_limits<int>::max());
    const int place = followShownResultThroughRemoval(rows);
    QStringList removedNames;
    {
        const QSignalBlocker blocker(deformedList);
        for (int row : rows) {
            if (row < 0 || row >= static_cast<int>(deformedImages.size()))
                continue;
            removedNames << QFileInfo(deformedImages[static_cast<std::size_t>(row)].path).completeBaseName();
            deformedImages.erase(deformedImages.begin() + row);
            if (row < static_cast<int>(results.size()))
                results.erase(results.begin() + row);
            delete deformedList->takeItem(row);
        }
    }
    const int count = static_cast<int>(deformedImages.size());
    if (count == 0) {
        shownDeformedIndex = 0;
        if (deformedView)
            deformedView->setImage(QImage(), false);
        updateDeformedHistogram(QImage());
    } else {
        shownDeformedIndex = std::clamp(shownDeformedIndex, 0, count - 1);
        {
            const QSignalBlocker blocker(deformedList);
            deformedList->setCurrentRow(shownDeformedIndex);
        }
        showCurrentDeformedImage();
    }
    updateDeformedList();
    updateRigidShiftLabel(shownResultIndex);
    removeResultFilesOfRemovedImages(removedNames);
    if (place >= 0 && resultCount() > 0) {
        loadAndDisplayResult(std::min(place, resultCount() - 1), true);
        updateResultSlider();
    }
    saveParametersToProject();
}

// A removed image's results are named by it alone: another image of that name,
// added later, would open with them as its own.
void MainWidget::removeResultFilesOfRemovedImages(const QStringList& removedNames) {
    const QStringList kept = heldInputNames();
    QStringList gone;
    for (const QString& name : removedNames)
        if (!kept.contains(name) && !gone.contains(name))
            gone << name;
    waitForResultWrites();
    if (!removeResultFilesOf(appliedProjectFolder, gone, kept, criterionSlugs()))
        qWarning().noquote() << "[GUI] Result files of the removed images could not all be removed";
}

QStringList MainWidget::criterionSlugs() const {
    QStringList slugs;
    for (const StrainCriterion& criterion : strainSettings.criteria)
        slugs << criterionSlug(QString::fromStdString(criterion.name));
    slugs.removeDuplicates();
    return slugs;
}

QStringList MainWidget::heldInputNames() const { return heldInputNames(heightMosaicMode()); }

QStringList MainWidget::heldInputNames(bool mosaic) const {
    QStringList names;
    // In mosaic mode the deformed images are the assembled mosaics or a tile on show, named by state or tile.
    if (!mosaic) {
        for (const LoadedImage& image : deformedImages)
            names << QFileInfo(image.path).completeBaseName();
        for (const CarriedDeformed& carried : carriedDeformed)
            names << QFileInfo(carried.path).completeBaseName();
    }
    names << batchQueueNames();
    names.removeAll(QString());
    names.removeDuplicates();
    return names;
}

QStringList MainWidget::heldInputResultFiles() const { return heldInputResultFiles(heightMosaicMode()); }

QStringList MainWidget::heldInputResultFiles(bool mosaic) const {
    const QStringList slugs = criterionSlugs();
    QStringList files;
    for (const QString& name : heldInputNames(mosaic))
        files << resultFilesOf(name, slugs);
    return files;
}

int MainWidget::followShownResultThroughRemoval(const std::vector<int>& removedDescending) {
    if (shownResultIndex < 0)
        return -1;
    int shown = shownResultIndex;
    bool removed = false;
    for (int row : removedDescending) {
        removed = removed || row == shownResultIndex;
        if (row < shownResultIndex)
            --shown;
    }
    if (!removed) {
        shownResultIndex = shown;
        return -1;
    }
    // The field shown was the removed image's: nothing on the pages is any image's until the one now in its place
    // is shown.
    emptyResultPages();
    return shown;
}

void MainWidget::onClearAllDeformed() {
    if (deformedImages.empty())
        return;
    if (askQuestion(this, QStringLiteral("Confirmation"),
                    QStringLiteral("Do you really want to delete all deformed images?"),
                    QMessageBox::Yes | QMessageBox::No, QMessageBox::No) != QMessageBox::Yes)
        return;
    if (!heightMosaicMode())
        forgetSingleImageHeightMaps(0, std::numeric_limits<int>::max());
    QStringList removedNames;
    for (const LoadedImage& image : deformedImages)
        removedNames << QFileInfo(image.path).completeBaseName();
    deformedImages.clear();
    results.clear();
    carriedDeformed.clear();
    emptyResultPages();
    if (deformedList) {
        const QSignalBlocker blocker(deformedList);
        deformedList->clear();
    }
    shownDeformedIndex = 0;
    if (deformedView)
        deformedView->setImage(QImage(), false);
    updateDeformedHistogram(QImage());
    updateDeformedList();
    removeResultFilesOfRemovedImages(removedNames);
    if (statusLabel)
        statusLabel->setText(QStringLiteral("All deformed images have been deleted."));
    saveParametersToProject();
}

void MainWidget::onMoveUpDeformed() {
    if (!deformedList)
        return;
    const int row = deformedList->currentRow();
    if (row <= 0 || row >= static_cast<int>(deformedImages.size()))
        return;
    // The list reports the move as rows r..r before r-1; the images and their
    // results follow through the same slot as a drag.
    {
        const QSignalBlocker blocker(deformedList);
        QListWidgetItem* item = deformedList->takeItem(row);
        deformedList->insertItem(row - 1, item);
    }
    onDeformedRowsMoved(row, row, row - 1);
    const QSignalBlocker blocker(deformedList);
    deformedList->setCurrentRow(row - 1);
    updateDeformedList();
}

void MainWidget::onMoveDownDeformed() {
    if (!deformedList)
        return;
    const int row = deformedList->currentRow();
    if (row < 0 || row >= static_cast<int>(deformedImages.size()) - 1)
        return;
    {
        const QSignalBlocker blocker(deformedList);
        QListWidgetItem* item = deformedList->takeItem(row);
        deformedList->insertItem(row + 1, item);
    }
    onDeformedRowsMoved(row, row, row + 2);
    const QSignalBlocker blocker(deformedList);
    deformedList->setCurrentRow(row + 1);
    updateDeformedList();
}

void MainWidget::onDeformedSelectionChanged(int row) {
    if (row < 0 || row >= static_cast<int>(deformedImages.size()))
        return;
    shownDeformedIndex = row;
    showCurrentDeformedImage();
    updateDeformedList();
}

void MainWidget::onPrevDeformed() {
    if (mosaicSwitch && mosaicSwitch->isChecked()) {
        if (currentMosaicDefState > 0)
            onDeformedSliderChanged(currentMosaicDefState - 1);
        setStatus(QStringLiteral("Deformed state %1/%2").arg(currentMosaicDefState + 1).arg(mosaicDefTilePaths.size()));
        return;
    }
    if (shownDeformedIndex > 0 && deformedList)
        deformedList->setCurrentRow(shownDeformedIndex - 1);
}

void MainWidget::onNextDeformed() {
    if (mosaicSwitch && mosaicSwitch->isChecked()) {
        if (currentMosaicDefState < static_cast<int>(mosaicDefTilePaths.size()) - 1)
            onDeformedSliderChanged(currentMosaicDefState + 1);
        setStatus(QStringLiteral("Deformed state %1/%2").arg(currentMosaicDefState + 1).arg(mosaicDefTilePaths.size()));
        return;
    }
    if (shownDeformedIndex < static_cast<int>(deformedImages.size()) - 1 && deformedList)
        deformedList->setCurrentRow(shownDeformedIndex + 1);
}

void MainWidget::onDeformedSliderChanged(int value) {
    if (mosaicSwitch && mosaicSwitch->isChecked()) {
        if (value == currentMosaicDefState || value < 0 || value >= static_cast<int>(mosaicDefTilePaths.size()))
            return;
        currentMosaicDefState = value;
        if (value < mosaicDefStateButtons.size()) {
            const QSignalBlocker blocker(mosaicDefStateButtons[value]);
            mosaicDefStateButtons[value]->setChecked(true);
        }
        showDeformedForCurrentState();
        updateMosaicDefTilesControls();
        updateDeformedList();
        return;
    }
    if (value == shownDeformedIndex || value < 0 || value >= static_cast<int>(deformedImages.size()))
        return;
    shownDeformedIndex = value;
    if (deformedList)
        deformedList->setCurrentRow(value);
}

// The deformed view, its read-outs and its contrast all follow the current
// state's mosaic; a state without one shows its tile, or nothing.
void MainWidget::showDeformedForCurrentState() {
    shownDeformedIndex =
        mosaicOfState(mosaicStateImageIndex, currentMosaicDefState, static_cast<int>(deformedImages.size()));
    if (showsIndividualTiles() || enlargedTileIndex >= 0 || shownDeformedIndex < 0) {
        const bool tiles = currentMosaicDefState >= 0 && currentMosaicDefState < mosaicDefTilePaths.size() &&
                           !mosaicDefTilePaths[currentMosaicDefState].isEmpty();
        if (tiles) {
            showStateTile(currentMosaicDefState);
        } else if (deformedView) {
            deformedView->setImage(QImage(), false);
            updateDeformedHistogram(QImage());
        }
        return;
    }
    if (deformedView)
        deformedView->hideTileHighlight();
    showCurrentDeformedImage();
}

void MainWidget::showStateTile(int state) {
    if (!deformedView || state < 0 || state >= static_cast<int>(mosaicDefTilePaths.size()))
        return;
    const QStringList& tiles = mosaicDefTilePaths[state];
    if (tiles.isEmpty())
        return;
    const int tile = std::clamp(previewTileIndex, 0, static_cast<int>(tiles.size()) - 1);
    const QString& path = tiles[tile];
    QImage shown;
    QString error;
    // A decimated read is enough to look at and fast to step through.
    if (!readDecimatedImage(path, shown, error)) {
        LoadedImage full;
        if (!loadImage(path, full, error))
            return;
        shown = full.displayImage();
    }
    deformedView->setImage(shown, false);
    updateDeformedHistogram(shown);
    if (mosaicDefTileList && tile < mosaicDefTileList->count()) {
        const QSignalBlocker blocker(mosaicDefTileList);
        mosaicDefTileList->setCurrentRow(tile);
    }
}

void MainWidget::updateDeformedList() {
    if (!deformedList)
        return;
    const int count = static_cast<int>(deformedImages.size());
    const ListButtonStates states =
        listButtonStates(count, deformedList->currentRow(), !deformedList->selectedItems().isEmpty(), false);
    removeDeformedButton->setEnabled(states.remove);
    moveUpDeformedButton->setEnabled(states.moveUp);
    moveDownDeformedButton->setEnabled(states.moveDown);
    clearDeformedButton->setEnabled(states.clear);

    const bool mosaicMode = mosaicSwitch && mosaicSwitch->isChecked();
    const int steps = mosaicMode ? static_cast<int>(mosaicDefTilePaths.size()) : count;
    const int current = mosaicMode ? currentMosaicDefState : shownDeformedIndex;
    QString name;
    if (mosaicMode) {
        if (!perTileMode && current >= 0 && current < steps && !mosaicDefTilePaths[current].isEmpty())
            name = QFileInfo(mosaicDefTilePaths[current].front()).completeBaseName();
    } else if (current >= 0 && current < count) {
        name = QFileInfo(deformedImages[static_cast<std::size_t>(current)].path).completeBaseName();
    }
    if (deformedPrevButton)
        deformedPrevButton->setEnabled(steps >= 1 && current >= 1);
    if (deformedNextButton)
        deformedNextButton->setEnabled(steps > 0 && current < steps - 1);
    if (deformedSlider) {
        const QSignalBlocker blocker(deformedSlider);
        deformedSlider->show();
        deformedSlider->setRange(0, std::max(steps - 1, 0));
        deformedSlider->setValue(current);
        deformedSlider->setEnabled(steps > 1);
    }
    if (deformedTitleLabel)
        deformedTitleLabel->setText(
            stateStepText(mosaicMode ? QStringLiteral("State") : QStringLiteral("Deformed"), current, steps, name));
    // The reference column keeps a filler of the same height, so both views stay level.
    for (QWidget* row : {deformedNavigationRow, referenceNavigationFiller})
        if (row) {
            row->setVisible(steps > 1);
            row->setEnabled(steps > 1);
        }

    updateImageCountLabel(count);
    deformedHintLabel->setVisible(count < 1);
    deformedList->setVisible(count > 0);
    updateResultSlider();
    refreshInputTilePair();
    // Height files pair with images by row: their rows name the image now in each row.
    labelHeightPairings();
}

void MainWidget::setCountLabel(QLabel* label, int count, const QString& one, const QString& many) {
    if (!label)
        return;
    label->setVisible(count > 0);
    label->setText(count == 1 ? one : many.arg(count));
}

void MainWidget::updateImageCountLabel(int count) {
    setCountLabel(deformedCountLabel, count, QStringLiteral("1 image"), QStringLiteral("%1 images"));
}

void MainWidget::updateTileCountLabel(QLabel* label, int count) {
    setCountLabel(label, count, QStringLiteral("1 tile"), QStringLiteral("%1 tiles"));
}

}  // namespace tavro::gui
