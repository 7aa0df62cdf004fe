// Mosaic input segments and clicks: they follow the mosaic inputs.
#include "gui/mainwindow/main_widget.h"

#include "gui/mainwindow/panel_rules.h"
#include "gui/style/switch_widget.h"

#include <QButtonGroup>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QScrollArea>
#include <QSignalBlocker>

#include <algorithm>

namespace tavro::gui {

void MainWidget::clearTileSelections() {
    for (QListWidget* list : {mosaicRefTileList, mosaicDefTileList})
        if (list) {
            const QSignalBlocker blocker(list);
            list->clearSelection();
        }
    for (ImageViewWidget* view : {referenceView, deformedView})
        if (view)
            view->hideTileHighlight();
}

// The deformed side shows the current state's mosaic; a state without one
// shows its tile, or nothing, never another state's mosaic.
void MainWidget::returnViewsToMosaics() {
    if (referenceView && !referenceImage.displayImage().isNull())
        referenceView->setImage(referenceImage.displayImage(), false);
    enlargedTileIndex = -1;
    showDeformedForCurrentState();
}

void MainWidget::onViewClicked() {
    if (!mosaicSwitch || !mosaicSwitch->isChecked())
        return;
    clearTileSelections();
    if (enlargedTileIndex >= 0 && !showsIndividualTiles())
        returnViewsToMosaics();
}

// An enlarged tile that stops being enlarged goes back to its mosaics in the
// views too: the read-outs go by the enlargement and would read the mosaic
// under a tile still drawn.
void MainWidget::endTileEnlargement() {
    if (enlargedTileIndex >= 0 && !showsIndividualTiles())
        returnViewsToMosaics();
    enlargedTileIndex = -1;
}

void MainWidget::showFirstTileOrMosaic(bool reference) {
    ImageViewWidget* view = reference ? referenceView : deformedView;
    const auto histogram = [this, reference](const QImage& image) {
        if (reference)
            updateReferenceHistogram(image);
        else
            updateDeformedHistogram(image);
    };
    if (!showsIndividualTiles()) {
        if (reference) {
            if (view)
                view->setImage(referenceImage.displayImage(), false);
            histogram(referenceImage.displayImage());
            return;
        }
        const auto found = mosaicStateImageIndex.find(currentMosaicDefState);
        if (found != mosaicStateImageIndex.end() && found->second >= 0 &&
            found->second < static_cast<int>(deformedImages.size()) &&
            !deformedImages[static_cast<std::size_t>(found->second)].originalSize.isEmpty()) {
            const QImage& shown = deformedImages[static_cast<std::size_t>(found->second)].displayImage();
            if (view)
                view->setImage(shown, false);
            histogram(shown);
            return;
        }
    }
    const QStringList* tiles = reference ? &mosaicRefTilePaths
                               : currentMosaicDefState >= 0 && currentMosaicDefState < mosaicDefTilePaths.size()
                                   ? &mosaicDefTilePaths[currentMosaicDefState]
                                   : nullptr;
    LoadedImage tile;
    QString error;
    if (!tiles || tiles->isEmpty() || !loadImage(tiles->front(), tile, error)) {
        if (view)
            view->setImage(QImage(), true);
        histogram(QImage());
        return;
    }
    if (view)
        view->setImage(tile.displayImage(), false);
    histogram(tile.displayImage());
}

void MainWidget::onInputSegmentChanged(int id) {
    if (mosaicTabScrollArea && mosaicStateGroup && mosaicStateGroup->button(id))
        mosaicTabScrollArea->ensureWidgetVisible(mosaicStateGroup->button(id), 10, 0);
    endTileEnlargement();
    const bool referenceWasShown = mosaicRefTilesBlock && !mosaicRefTilesBlock->isHidden();
    if (mosaicRefTilesBlock)
        mosaicRefTilesBlock->setVisible(id == 0);
    if (mosaicDefTilesBlock)
        mosaicDefTilesBlock->setVisible(id > 0);
    if (id > 0 && id - 1 != currentMosaicDefState) {
        currentMosaicDefState = id - 1;
        refreshMosaicDefTilesList();
        showDeformedForCurrentState();
        updateMosaicDefTilesControls();
        updateDeformedList();
        return;
    }
    if (referenceWasShown == (id == 0))
        return;
    const QRect roi = referenceView ? referenceView->roi() : QRect();
    clearTileSelections();
    showFirstTileOrMosaic(true);
    if (referenceView && !roi.isNull())
        referenceView->setRoi(roi);
    showFirstTileOrMosaic(false);
    updateMosaicRefTilesControls();
    updateMosaicDefTilesControls();
    updateDeformedList();
    for (ImageViewWidget* view : {referenceView, deformedView})
        if (view)
            view->fitToWindow();
}

}  // namespace tavro::gui
