// Inputs and project: input views, kernels, per-user defaults, documentation
// and drops onto the window. Most members are still empty.
#include "gui/mainwindow/main_widget.h"

#include "gui/mainwindow/panel_rules.h"

#include <QLabel>
#include <QListWidget>
#include <QPushButton>

namespace tavro::gui {

void MainWidget::onViewClicked() {}
void MainWidget::onInputSegmentChanged(int) {}

QString MainWidget::referenceViewSourcePath() const { return QString(); }
QString MainWidget::deformedViewSourcePath() const { return QString(); }

std::optional<ImageViewWidget::InspectValue> MainWidget::inputPixelInspectValue(ImageViewWidget*, const LoadedImage&,
                                                                                const QString&,
                                                                                const QPoint&) const {
    return std::nullopt;
}

void MainWidget::onReferenceHistogramRangeEdited(float, float) {}
void MainWidget::onDeformedHistogramRangeEdited(float, float) {}
void MainWidget::applyDeformedContrastToAll() {}
void MainWidget::updateReferenceContrastButtons() {}
void MainWidget::updateDeformedContrastButtons() {}
void MainWidget::openDocumentation() {}
void MainWidget::showAboutDialog() {}
void MainWidget::dragEnterEvent(QDragEnterEvent*) {}
void MainWidget::dragLeaveEvent(QDragLeaveEvent*) {}
void MainWidget::dropEvent(QDropEvent*) {}

}  // namespace tavro::gui
