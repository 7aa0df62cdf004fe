// Inputs and project: images, mask and region of interest, kernels, per-user
// defaults and the project folder. Most members are still empty.
#include "gui/mainwindow/main_widget.h"

#include "gui/mainwindow/panel_rules.h"

#include <QLabel>
#include <QListWidget>
#include <QPushButton>

namespace tavro::gui {

void MainWidget::selectAndLoadImage(QLineEdit*, LoadedImage&, const QString&) {}
void MainWidget::updateMaskOverlay() {}
void MainWidget::onRoiChangedInView(const QRect&) {}
void MainWidget::onRoiSpinBoxChanged() {}
void MainWidget::updateRoiSpinRanges() {}
void MainWidget::updateRoiControlsEnabled() {}
void MainWidget::updateRoiLabel(const QRect&, const QSize&) {}
void MainWidget::onViewClicked() {}
void MainWidget::onDegreeOfFreedomChanged(int) {}
void MainWidget::onInputSegmentChanged(int) {}
void MainWidget::onClearReference() {}
void MainWidget::onAddDeformed() {}
void MainWidget::onRemoveDeformed() {}
void MainWidget::onClearAllDeformed() {}
void MainWidget::onMoveUpDeformed() {}
void MainWidget::onMoveDownDeformed() {}
void MainWidget::onDeformedSelectionChanged(int) {}
void MainWidget::onPrevDeformed() {}
void MainWidget::onNextDeformed() {}
void MainWidget::onDeformedSliderChanged(int) {}
void MainWidget::onSelectMask() {}
void MainWidget::onClearMask() {}

void MainWidget::updateDeformedList() {
    if (!deformedList)
        return;
    const int count = deformedList->count();
    const ListButtonStates states =
        listButtonStates(count, deformedList->currentRow(), !deformedList->selectedItems().isEmpty(), false);
    removeDeformedButton->setEnabled(states.remove);
    moveUpDeformedButton->setEnabled(states.moveUp);
    moveDownDeformedButton->setEnabled(states.moveDown);
    clearDeformedButton->setEnabled(states.clear);
    updateImageCountLabel(count);
    deformedHintLabel->setVisible(count == 0);
    deformedList->setVisible(count > 0);
    updateResultSlider();
}

void MainWidget::updateImageCountLabel(int count) {
    if (!deformedCountLabel)
        return;
    if (count <= 0) {
        deformedCountLabel->hide();
        return;
    }
    deformedCountLabel->setText(count == 1 ? QStringLiteral("1 image") : QStringLiteral("%1 images").arg(count));
    deformedCountLabel->show();
}

void MainWidget::updateTileCountLabel(QLabel* label, int count) {
    if (!label)
        return;
    if (count <= 0) {
        label->hide();
        return;
    }
    label->setText(count == 1 ? QStringLiteral("1 tile") : QStringLiteral("%1 tiles").arg(count));
    label->show();
}

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
void MainWidget::loadUserDefaults() {}
void MainWidget::initKernels() {}
void MainWidget::applySelectedKernels() {}
void MainWidget::onAddDerivativeKernel() {}
void MainWidget::onAddSmoothingKernel() {}
void MainWidget::onEditDerivativeKernel(int) {}
void MainWidget::onEditSmoothingKernel(int) {}
void MainWidget::onDeleteDerivativeKernel(int) {}
void MainWidget::onDeleteSmoothingKernel(int) {}
QWidget* MainWidget::createDerivativeKernelRow(int) { return nullptr; }
QWidget* MainWidget::createSmoothingKernelRow(int) { return nullptr; }
void MainWidget::updateKernelListHeights() {}
void MainWidget::openDocumentation() {}
void MainWidget::showAboutDialog() {}
void MainWidget::dragEnterEvent(QDragEnterEvent*) {}
void MainWidget::dragLeaveEvent(QDragLeaveEvent*) {}
void MainWidget::dropEvent(QDropEvent*) {}

}  // namespace tavro::gui
