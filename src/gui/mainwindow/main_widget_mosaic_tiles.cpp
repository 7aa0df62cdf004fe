// Mosaic tile lists, deformed states and tile cropping.
#include "gui/mainwindow/main_widget.h"

#include "gui/mainwindow/panel_rules.h"

#include <QLabel>
#include <QListWidget>
#include <QPushButton>

namespace tavro::gui {

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
void MainWidget::onMosaicRefTileClicked(QListWidgetItem*, bool) {}
void MainWidget::onMosaicDefTileClicked(QListWidgetItem*) {}
void MainWidget::onMosaicRefTileDoubleClicked(QListWidgetItem*) {}
void MainWidget::onMosaicDefTileDoubleClicked(QListWidgetItem*) {}
void MainWidget::onMosaicRefTileRowChanged(int) {}
void MainWidget::onMosaicDefTileRowChanged(int) {}
void MainWidget::onCropTiles() {}
void MainWidget::updateMosaicCropButton() {}

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

}  // namespace tavro::gui
