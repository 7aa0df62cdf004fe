// The mask and the region of interest: loading and checking the mask, its
// overlay, and the ROI kept in step between the reference view (display
// pixels) and its four boxes (full-resolution pixels).
#include "gui/mainwindow/main_widget.h"

#include "gui/foundation/elided_label.h"
#include "images/image_io.h"
#include "gui/foundation/message_boxes.h"
#include "gui/mainwindow/input_rules.h"
#include "gui/style/switch_widget.h"

#include <QCheckBox>
#include <QDebug>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QToolButton>

namespace tavro::gui {

void MainWidget::onSelectMask() {
    const QString path =
        askOpenFileName(this, QStringLiteral("Select mask image"), imageDialogFolder(),
                        QStringLiteral("Images (*.png *.bmp *.tif *.tiff);;All files (*)"));
    if (path.isEmpty())
        return;
    rememberImageFolder(path);
    QStringList one{path};
    if (rejectLossyImages(one) > 0)
        return;
    QImage mask;
    QString error;
    if (!readGrayImage(path, mask, error)) {
        showMessage(this, QStringLiteral("Mask"), QStringLiteral("Unable to load mask:\n%1").arg(error));
        return;
    }
    if (!validateMaskSize(mask))
        return;
    maskImage = std::move(mask);
    maskPath = path;
    carriedMaskPath.clear();
    maskActive = useMaskCheck && useMaskCheck->isChecked();
    if (maskPathEdit) {
        maskPathEdit->setText(QFileInfo(path).fileName());
        maskPathEdit->setToolTip(path);
    }
    if (clearMaskButton)
        clearMaskButton->setEnabled(true);
    if (statusLabel)
        statusLabel->setText(QStringLiteral("Mask loaded: %1x%2 pixels").arg(maskImage.width()).arg(maskImage.height()));
    saveParametersToProject();
    if (maskOverlayButton)
        maskOverlayButton->setVisible(maskActive);
    updateMaskOverlay();
}

bool MainWidget::validateMaskSize(const QImage& mask) {
    const bool mosaicMode = mosaicSwitch && mosaicSwitch->isChecked();
    const QSize reference = referenceSize();
    if (reference.isEmpty()) {
        showMessage(this, QStringLiteral("Mask"),
                    mosaicMode ? QStringLiteral("Please assemble the mosaic first before loading a mask.")
                               : QStringLiteral("Please load a reference image first before loading a mask."));
        return false;
    }
    if (mask.size() == reference)
        return true;
    showMessage(this, QStringLiteral("Mask"),
                QStringLiteral("The mask size (%1x%2) does not match the%3 image size (%4x%5).\n\nThe mask must have "
                               "exactly the same dimensions.")
                    .arg(mask.width())
                    .arg(mask.height())
                    .arg(mosaicMode ? QStringLiteral(" mosaic") : QStringLiteral(" reference"))
                    .arg(reference.width())
                    .arg(reference.height()));
    return false;
}

bool MainWidget::dropMismatchedMask() {
    const QSize reference = referenceSize();
    if (maskImage.isNull() || reference.isEmpty() || maskImage.size() == reference)
        return false;
    const QString text = QStringLiteral("The mask %1 (%2x%3) does not match the%4 image (%5x%6) and was removed.\n\n"
                                        "Load a mask of the same size, or compute without one.")
                             .arg(QFileInfo(maskPath).fileName())
                             .arg(maskImage.width())
                             .arg(maskImage.height())
                             .arg(mosaicSwitch && mosaicSwitch->isChecked() ? QStringLiteral(" mosaic")
                                                                            : QStringLiteral(" reference"))
                             .arg(reference.width())
                             .arg(reference.height());
    qWarning().noquote() << "[GUI] Mask dropped:" << maskPath << "does not match the reference size";
    onClearMask();
    sayRefusal(QStringLiteral("Mask"), text);
    return true;
}

void MainWidget::updateMaskOverlay() {
    if (!referenceView)
        return;
    // A mosaic's mask covers the mosaic, never one of its tiles.
    const bool overTiles = mosaicSwitch && mosaicSwitch->isChecked() && showsIndividualTiles();
    const bool shown =
        maskActive && !maskImage.isNull() && maskOverlayButton && maskOverlayButton->isChecked() && !overTiles;
    if (!shown) {
        referenceView->setMaskOverlay(QImage());
        return;
    }
    // The view shows the reference's preview when it is large: the overlay
    // must cover the same pixels.
    const QSize shownSize = referenceView->image().size();
    const bool rescale = !shownSize.isEmpty() && shownSize != maskImage.size();
    referenceView->setMaskOverlay(rescale ? maskImage.scaled(shownSize, Qt::IgnoreAspectRatio, Qt::FastTransformation)
                                          : maskImage);
}

void MainWidget::onClearMask() {
    maskImage = QImage();
    maskPath.clear();
    carriedMaskPath.clear();
    maskActive = false;
    if (maskOverlayButton)
        maskOverlayButton->hide();
    if (maskPathEdit) {
        maskPathEdit->clear();
        maskPathEdit->setToolTip(QString());
    }
    if (clearMaskButton)
        clearMaskButton->setEnabled(false);
    if (statusLabel)
        statusLabel->setText(QStringLiteral("Mask deleted"));
    saveParametersToProject();
    if (referenceView)
        referenceView->setMaskOverlay(QImage());
}

void MainWidget::onRoiSpinBoxChanged() {
    if (!referenceView || referenceView->image().isNull() || !roiXSpin || !roiYSpin || !roiWidthSpin ||
        !roiHeightSpin)
        return;
    const QSize size = referenceSize();
    if (size.isEmpty())
        return;
    const QRect roi =
        roiFromBoxes(roiXSpin->value(), roiYSpin->value(), roiWidthSpin->value(), roiHeightSpin->value(), size);
    if (roi.isNull()) {
        referenceView->clearRoi();
        return;
    }
    referenceView->setRoi(unscaleRect(roi, referenceImage.displayScale()));
}

void MainWidget::onRoiChangedInView(const QRect& roi) {
    if (deformedView) {
        if (roi.isNull())
            deformedView->clearRoi();
        else if (!deformedView->image().isNull())
            deformedView->setRoi(roi);
    }
    const QSize size = referenceSize();
    updateRoiSpinRanges(size);
    const QRect full = roi.isNull() ? QRect() : scaleRect(roi, referenceImage.displayScale());
    updateRoiLabel(full, size);
    syncRoiSpinBoxes(full, size);
}

void MainWidget::updateRoiLabel(const QRect& roi, const QSize& imageSize) {
    if (roiLabel)
        roiLabel->setText(roiLabelText(roi, imageSize));
}

void MainWidget::syncRoiSpinBoxes(const QRect& roi, const QSize& imageSize) {
    if (!roiXSpin || !roiYSpin || !roiWidthSpin || !roiHeightSpin)
        return;
    const QRect shown = imageSize.isEmpty() ? QRect(0, 0, 0, 0) : roiForBoxes(roi, imageSize);
    const int values[] = {shown.x(), shown.y(), shown.width(), shown.height()};
    int i = 0;
    for (QSpinBox* spin : {roiXSpin, roiYSpin, roiWidthSpin, roiHeightSpin}) {
        const QSignalBlocker blocker(spin);
        spin->setValue(values[i++]);
    }
}

void MainWidget::updateRoiSpinRanges(const QSize& imageSize) {
    if (!roiXSpin || !roiYSpin || !roiWidthSpin || !roiHeightSpin)
        return;
    const auto range = [](QSpinBox* spin, int minimum, int maximum) {
        const QSignalBlocker blocker(spin);
        spin->setRange(minimum, maximum);
    };
    if (imageSize.isEmpty()) {
        for (QSpinBox* spin : {roiXSpin, roiYSpin, roiWidthSpin, roiHeightSpin}) {
            range(spin, 0, 0);
            const QSignalBlocker blocker(spin);
            spin->setValue(0);
        }
    } else {
        range(roiXSpin, 0, std::max(imageSize.width() - 1, 0));
        range(roiYSpin, 0, std::max(imageSize.height() - 1, 0));
        range(roiWidthSpin, 1, std::max(1, imageSize.width()));
        range(roiHeightSpin, 1, std::max(1, imageSize.height()));
    }
    updateRoiControlsEnabled();
}

void MainWidget::updateRoiControlsEnabled() {
    if (!roiXSpin || !roiYSpin || !roiWidthSpin || !roiHeightSpin)
        return;
    const bool enabled = referenceView && !referenceView->image().isNull() && !computationRunning && !runInProgress;
    for (QSpinBox* spin : {roiXSpin, roiYSpin, roiWidthSpin, roiHeightSpin})
        spin->setEnabled(enabled);
}

}  // namespace tavro::gui
