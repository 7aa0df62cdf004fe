// Mosaics and height maps: tile lists per state, assembly, per-tile results,
// height tiles and their display. Most members are still empty.
#include "gui/mainwindow/main_widget.h"

#include "gui/mainwindow/panel_rules.h"

#include <QLabel>
#include <QListWidget>
#include <QPushButton>

namespace tavro::gui {

void MainWidget::onMosaicModeToggled(bool) {}
void MainWidget::onBatchTileModeToggled(bool) {}
void MainWidget::onAlignMosaic() {}
void MainWidget::onStitchingFinished() {}
void MainWidget::displayCurrentTilesInViews() {}
void MainWidget::displayAssembledMosaicsInViews() {}
void MainWidget::previewTileAt(int) {}

ImageViewWidget::DetailTile MainWidget::buildDetailTile(const QString&, const QSize&, const QRectF&, double) const {
    return {};
}

ImageViewWidget::DetailTile MainWidget::buildGridDetailTile(const std::vector<float>&, int, int, double, const QPoint&,
                                                            const QRectF&, double) const {
    return {};
}

void MainWidget::onAddMosaicRefTiles() {}
void MainWidget::onRemoveMosaicRefTiles() {}
void MainWidget::onMoveUpMosaicRefTile() {}
void MainWidget::onMoveDownMosaicRefTile() {}
void MainWidget::onClearMosaicRefTiles() {}
void MainWidget::onAddMosaicDefTiles() {}
void MainWidget::onRemoveMosaicDefTiles() {}
void MainWidget::onMoveUpMosaicDefTile() {}
void MainWidget::onMoveDownMosaicDefTile() {}
void MainWidget::onClearMosaicDefTiles() {}
void MainWidget::onAddMosaicDefState() {}
void MainWidget::onDeleteMosaicDefState() {}

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
}

void MainWidget::updateMosaicDefTilesControls() {
    if (!mosaicDefTileList)
        return;
    refreshTileButtons(mosaicDefTileList, mosaicDefPlaceholder, mosaicDefRemoveButton, mosaicDefMoveUpButton,
                       mosaicDefMoveDownButton, mosaicDefClearButton);
    updateTileCountLabel(mosaicDefCountLabel, mosaicDefTileList->count());
    updateMosaicCropButton();
}

void MainWidget::onMosaicRefTileClicked(QListWidgetItem*, bool) {}
void MainWidget::onMosaicDefTileClicked(QListWidgetItem*) {}
void MainWidget::onMosaicRefTileDoubleClicked(QListWidgetItem*) {}
void MainWidget::onMosaicDefTileDoubleClicked(QListWidgetItem*) {}
void MainWidget::onMosaicRefTileRowChanged(int) {}
void MainWidget::onMosaicDefTileRowChanged(int) {}
void MainWidget::onCropTiles() {}
void MainWidget::updateMosaicCropButton() {}
void MainWidget::onResultTileSliderChanged(int) {}
void MainWidget::onHeightTabChanged(int) {}
void MainWidget::onAddHeightRefTiles() {}
void MainWidget::onRemoveHeightRefTiles() {}
void MainWidget::onMoveUpHeightRefTile() {}
void MainWidget::onMoveDownHeightRefTile() {}
void MainWidget::onClearHeightRefTiles() {}
void MainWidget::onAddHeightDefTiles() {}
void MainWidget::onRemoveHeightDefTiles() {}
void MainWidget::onMoveUpHeightDefTile() {}
void MainWidget::onMoveDownHeightDefTile() {}
void MainWidget::onClearHeightDefTiles() {}
void MainWidget::onRemoveHeightClassicDefTiles() {}
void MainWidget::onClearHeightClassicDefTiles() {}
void MainWidget::onHeightListSelectionChanged() {}
void MainWidget::updateHeightTilesControls() {}
void MainWidget::refreshHeightPanelLayout() {}
void MainWidget::updateHeightFileCountLabel() {}
void MainWidget::updateHeightModeHint() {}
void MainWidget::updateHeightNavBars() {}
void MainWidget::onHeightSliderChanged(int) {}
void MainWidget::onHeightTileSliderChanged(int) {}

void MainWidget::updateHeightHoverText(const QString& value, bool hasValue) {
    if (heightValueLabel)
        heightValueLabel->setText(hasValue ? QStringLiteral("w : %1").arg(value) : QStringLiteral("w : \u2014"));
}

void MainWidget::updateHeightPreview(bool, bool) {}
void MainWidget::onHeightHistogramRangeEdited(float, float) {}
void MainWidget::onHeightAutoScale() {}

std::optional<ImageViewWidget::InspectValue> MainWidget::heightInspectValue(const QPoint&) const {
    return std::nullopt;
}

ImageViewWidget::LineProfile MainWidget::heightLineProfile(const QPointF&, const QPointF&) const { return {}; }

void MainWidget::update3DMapsTabEnabled() {}

}  // namespace tavro::gui
