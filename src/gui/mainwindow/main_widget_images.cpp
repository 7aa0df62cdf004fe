// The reference image and the full-resolution reads of the deformed images:
// prompts, background decoding, the views and histograms they feed.
#include "gui/mainwindow/main_widget.h"

#include "gui/foundation/contrast_histogram_widget.h"
#include "gui/foundation/elided_label.h"
#include "images/field_rendering.h"
#include "images/image_io.h"
#include "images/image_write.h"
#include "gui/foundation/message_boxes.h"
#include "gui/mainwindow/input_rules.h"
#include "gui/mainwindow/run_async.h"
#include "gui/style/switch_widget.h"

#include <QComboBox>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QToolButton>

namespace tavro::gui {

namespace {

const QString kImageFilter = QStringLiteral("Images (*.png *.bmp *.tif *.tiff)");

void setHistogram(ContrastHistogramWidget* histogram, QLabel* label, const QImage& image, float& low, float& high,
                  bool manual, std::initializer_list<QWidget*> buttons) {
    if (!histogram)
        return;
    const bool valid = !image.isNull();
    if (valid) {
        histogram->setData(histogramSamples(image), 0.0f, 255.0f);
        if (!manual) {
            low = 0.0f;
            high = 255.0f;
        }
        histogram->setRange(low, high);
    } else {
        histogram->clear();
    }
    for (QWidget* button : buttons)
        if (button)
            button->setEnabled(valid);
    if (label)
        label->setText(minMaxText(valid, low, high));
}

}  // namespace

QString MainWidget::imageDialogFolder() const {
    if (!lastImageFolder.isEmpty() && QFileInfo(lastImageFolder).isDir())
        return lastImageFolder;
    return defaultProjectDialogDir();
}

QString MainWidget::dialogFolderFor(const QStringList& paths) const {
    const QString listed = firstExistingFolder(std::vector<QString>(paths.begin(), paths.end()));
    return listed.isEmpty() ? imageDialogFolder() : listed;
}

void MainWidget::rememberImageFolder(const QString& path) {
    if (!path.isEmpty())
        lastImageFolder = QFileInfo(path).absolutePath();
}

QSize MainWidget::referenceSize() const {
    return referenceImage.full.isNull() ? referenceImage.originalSize : referenceImage.full.size();
}

int MainWidget::rejectLossyImages(QStringList& paths) {
    LossySplit split = splitLossyImages(paths);
    if (split.rejectedNames.isEmpty())
        return 0;
    paths = std::move(split.kept);
    qWarning().noquote() << "[GUI] Lossy image(s) rejected:" << split.rejectedNames.join(QStringLiteral(", "));
    showMessage(this, QStringLiteral("Unsupported image format"), lossyRejectionText(split.rejectedNames));
    return static_cast<int>(split.rejectedNames.size());
}

void MainWidget::selectAndLoadImage(QLineEdit* field, LoadedImage& image, const QString& title) {
    const QString path = askOpenFileName(this, title, imageDialogFolder(), kImageFilter);
    if (path.isEmpty())
        return;
    rememberImageFolder(path);
    loadImageFromPath(field, image, path);
}

void MainWidget::loadImageFromPath(QLineEdit* field, LoadedImage& target, const QString& path) {
    QStringList one{path};
    if (rejectLossyImages(one) > 0)
        return;
    const BusyScope busy(this, true);
    const QString name = QFileInfo(path).fileName();
    std::optional<ImageLoadOutcome> outcome = loadImageInBackground(path, QStringLiteral("Loading %1...").arg(name));
    if (!outcome) {
        if (loadCancelFlag->load() && statusLabel)
            statusLabel->setText(QStringLiteral("Loading cancelled."));
        return;
    }
    if (!outcome->ok) {
        sayRefusal(QStringLiteral("Loading"), outcome->error);
        return;
    }
    if (&target == &referenceImage && refuseReferenceSize(outcome->image, path))
        return;
    target = std::move(outcome->image);
    if (field)
        field->setText(name);
    const QSize size = target.full.isNull() ? target.originalSize : target.full.size();
    if (statusLabel)
        statusLabel->setText(QStringLiteral("Loaded: %1 (%2 x %3)").arg(name).arg(size.width()).arg(size.height()));
    if (&target == &referenceImage) {
        referenceImage.path = path;
        carriedReferencePath.clear();
        if (referenceView) {
            const QRect kept = referenceView->roi();
            referenceView->setImage(referenceImage.displayImage(), true);
            referenceView->setRoiSelectionEnabled(!perTileMode);
            updateReferenceHistogram(referenceImage.full);
            if (!kept.isNull())
                referenceView->setRoi(kept);
            onRoiChangedInView(referenceView->roi());
        }
        if (deformedView && !deformedView->image().isNull())
            deformedView->clearRoi();
        if (clearReferenceButton)
            clearReferenceButton->setEnabled(true);
        dropMismatchedMask();
        updateMaskOverlay();
        saveParametersToProject();
    }
    resetResultViews();
}

std::optional<MainWidget::ImageLoadOutcome> MainWidget::loadImageInBackground(const QString& path,
                                                                              const QString& message) {
    loadCancelFlag->store(false);
    return runAsyncWithUI(
        [path] {
            ImageLoadOutcome loaded;
            loaded.ok = loadImage(path, loaded.image, loaded.error);
            return loaded;
        },
        *loadCancelFlag, statusLabel, message);
}

bool MainWidget::ensureGrayLoaded(std::vector<LoadedImage>& images, int index, QString& error) {
    const int count = static_cast<int>(images.size());
    if (index < 0 || index >= count) {
        error = QStringLiteral("Invalid deformed image index");
        return false;
    }
    for (int i = 0; i < count; ++i)
        if (i != index)
            images[static_cast<std::size_t>(i)].releaseFullImage();
    const LoadedImage entry = images[static_cast<std::size_t>(index)];
    if (!entry.full.isNull())
        return true;
    const QString path = entry.path;
    const QSize expected = entry.originalSize;
    if (path.isEmpty()) {
        error = QStringLiteral("Image has no source file to reload from");
        return false;
    }
    std::optional<PixelLoad> loaded = runAsyncWithUI(
        [path] {
            PixelLoad read;
            read.ok = readGrayImage(path, read.image, read.error);
            return read;
        },
        *loadCancelFlag, statusLabel, QStringLiteral("Loading image %1/%2...").arg(index + 1).arg(count));
    if (!loaded) {
        error = QStringLiteral("Loading cancelled, or not enough memory");
        return false;
    }
    if (!loaded->ok) {
        error = loaded->error;
        return false;
    }
    // Slots run while the read waits: the row may now hold another image.
    if (index >= static_cast<int>(images.size()) || images[static_cast<std::size_t>(index)].path != path) {
        qWarning().noquote() << "[GUI] Image list changed while loading" << path;
        error = QStringLiteral("Image list changed while loading");
        return false;
    }
    // The preview on screen came from the file as it was when added; a file
    // replaced since would be correlated unseen.
    if (!expected.isEmpty() && loaded->image.size() != expected) {
        error = QStringLiteral("%1 changed on disk since it was added (%2x%3, was %4x%5).")
                    .arg(QDir::toNativeSeparators(path))
                    .arg(loaded->image.width())
                    .arg(loaded->image.height())
                    .arg(expected.width())
                    .arg(expected.height());
        return false;
    }
    images[static_cast<std::size_t>(index)].full = std::move(loaded->image);
    return true;
}

bool MainWidget::ensureDeformedGrayLoaded(int index, QString& error) {
    return ensureGrayLoaded(deformedImages, index, error);
}

// The run's own copy of the list: nothing done in the window meanwhile reaches it.
bool MainWidget::ensureRunImageLoaded(int index, QString& error) {
    for (LoadedImage& shown : deformedImages)
        shown.releaseFullImage();
    return ensureGrayLoaded(runImages, index, error);
}

bool MainWidget::checkInputImagesLoaded() {
    if (referenceImage.full.isNull()) {
        sayRefusal(QStringLiteral("Images"), QStringLiteral("Please load reference image first."));
        return false;
    }
    if (deformedImages.empty()) {
        sayRefusal(QStringLiteral("Images"), QStringLiteral("Please load at least one deformed image first."));
        return false;
    }
    // A computation must never run with a mask laid over the wrong pixels.
    return !dropMismatchedMask();
}

void MainWidget::onClearReference() {
    referenceImage = LoadedImage();
    carriedReferencePath.clear();
    if (referencePathEdit)
        referencePathEdit->clear();
    if (referenceView) {
        referenceView->setImage(QImage(), false);
        referenceView->clearRoi();
    }
    updateReferenceHistogram(QImage());
    if (clearReferenceButton)
        clearReferenceButton->setEnabled(false);
    onClearMask();
    updateRoiSpinRanges(QSize());
    updateRoiLabel(QRect(), QSize());
    if (statusLabel)
        statusLabel->setText(QStringLiteral("Reference image deleted"));
    resetResultViews();
    saveParametersToProject();
}

void MainWidget::showCurrentDeformedImage() {
    if (shownDeformedIndex < 0 || shownDeformedIndex >= static_cast<int>(deformedImages.size()))
        return;
    const QImage& image = deformedImages[static_cast<std::size_t>(shownDeformedIndex)].displayImage();
    if (deformedView) {
        const bool windowed = deformedDisplayRangeSet && (deformedDisplayMin != 0.0f || deformedDisplayMax != 255.0f);
        deformedView->setImage(windowed ? grayToDisplayImage(image, deformedDisplayMin, deformedDisplayMax) : image,
                               true);
        if (referenceView && !referenceView->roi().isNull())
            deformedView->setRoi(referenceView->roi());
    }
    updateDeformedHistogram(image);
}

void MainWidget::updateReferenceHistogram(const QImage& image) {
    setHistogram(referenceHistogram, referenceMinMaxLabel, image, referenceDisplayMin, referenceDisplayMax,
                 referenceDisplayRangeSet, {referenceCropButton, referenceResetButton});
    if (!image.isNull())
        updateReferenceContrastButtons();
}

void MainWidget::updateDeformedHistogram(const QImage& image) {
    setHistogram(deformedHistogram, deformedMinMaxLabel, image, deformedDisplayMin, deformedDisplayMax,
                 deformedDisplayRangeSet, {deformedCropButton, deformedResetButton});
    if (!image.isNull())
        updateDeformedContrastButtons();
    if (deformedApplyAllButton) {
        const bool mosaicMode = mosaicSwitch && mosaicSwitch->isChecked();
        const int steps = mosaicMode ? static_cast<int>(mosaicDefTilePaths.size())
                                     : static_cast<int>(deformedImages.size());
        deformedApplyAllButton->setVisible(steps > 1);
        deformedApplyAllButton->setEnabled(steps > 1);
    }
}

void MainWidget::resetResultViews() {
    shownDisplacements.reset();
    clearCrackLineCache();
    current = ComputationResult();
    displacementAppliedToAll = {};
    fractureAppliedToAll = {};
    criterionAutoRange.clear();
    deferredFitPending = fitDisplacementViewsRequested = fitStrainViewRequested = false;
    renderedFractureField = -1;
    for (ImageViewWidget* view : {uxView, uyView, strainView, fractureView, heightView})
        if (view)
            view->setImage(QImage(), false);
    clearDisplacementHoverTexts();
    resetStrainHoverText();
    hideResultTabs();
    if (strainComponentCombo) {
        const QSignalBlocker blocker(strainComponentCombo);
        strainComponentCombo->setCurrentIndex(0);
        strainComponentCombo->setEnabled(false);
    }
    updateRigidShiftLabel(-1);
    updateResultRangeControls();
    updateStrainRangeLabel();
}

}  // namespace tavro::gui
