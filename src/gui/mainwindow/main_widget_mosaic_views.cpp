// Mosaic mode, assembly of the tiles into mosaics, and the mosaic views.
#include "gui/mainwindow/main_widget.h"

#include "gui/mainwindow/panel_rules.h"

#include <QLabel>
#include <QListWidget>
#include <QPushButton>

namespace tavro::gui {

void MainWidget::onMosaicModeToggled(bool) {}
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

}  // namespace tavro::gui
