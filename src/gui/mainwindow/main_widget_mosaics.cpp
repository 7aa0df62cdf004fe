// Per-tile batch results and height maps: height tiles and their display.
// Most members are still empty.
#include "gui/mainwindow/main_widget.h"

#include "gui/mainwindow/panel_rules.h"

#include <QLabel>
#include <QListWidget>
#include <QPushButton>

namespace tavro::gui {

void MainWidget::onBatchTileModeToggled(bool) {}

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
