// The two input views: what the cursor reads in the full-resolution file, and
// the histograms whose selection is a display contrast window (the computation
// always sees the original pixels).
#include "gui/mainwindow/main_widget.h"

#include "gui/foundation/contrast_histogram_widget.h"
#include "images/field_rendering.h"
#include "images/image_io.h"
#include "gui/mainwindow/input_rules.h"
#include "gui/mainwindow/mosaic_file_record.h"
#include "gui/style/switch_widget.h"

#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QToolButton>

#include <algorithm>
#include <cmath>

namespace tavro::gui {

namespace {

int grayAt(const QImage& image, const QPoint& point) {
    const QRgb rgb = image.pixel(point);
    return (11 * qRed(rgb) + 16 * qGreen(rgb) + 5 * qBlue(rgb)) >> 5;
}

bool isMosaicMode(const Switch* mosaicSwitch) { return mosaicSwitch && mosaicSwitch->isChecked(); }

QString pickTile(const QStringList& tiles, int enlarged, int current) {
    if (tiles.isEmpty())
        return QString();
    const int index = enlarged >= 0 ? enlarged : current;
    return tiles[std::clamp(index, 0, static_cast<int>(tiles.size()) - 1)];
}

// The selection "differs" from the data when either end is more than half a
// grey level away from it.
bool selectionDiffers(const ContrastHistogramWidget* histogram) {
    return std::abs(histogram->selectionMin() - histogram->dataMin()) > 0.5f ||
           std::abs(histogram->selectionMax() - histogram->dataMax()) > 0.5f;
}

}  // namespace

// Whenever the views show tiles, the read-outs and detail tiles come from
// the tile shown, never from the mosaic it is part of.
QString MainWidget::referenceViewSourcePath() const {
    if (!isMosaicMode(mosaicSwitch))
        return referenceImage.path.isEmpty() && referencePathEdit ? referencePathEdit->text() : referenceImage.path;
    if ((enlargedTileIndex >= 0 || showsIndividualTiles()) && !mosaicRefTilePaths.isEmpty())
        return pickTile(mosaicRefTilePaths, enlargedTileIndex, previewTileIndex);
    return referenceImage.path;
}

QImage MainWidget::tileShownIn(bool reference) const {
    if (!isMosaicMode(mosaicSwitch))
        return QImage();
    const int mosaic =
        mosaicOfState(mosaicStateImageIndex, currentMosaicDefState, static_cast<int>(deformedImages.size()));
    const bool tileShown = enlargedTileIndex >= 0 || showsIndividualTiles() || (!reference && mosaic < 0);
    const QString path = reference ? referenceViewSourcePath() : deformedViewSourcePath();
    LoadedImage tile;
    QString error;
    if (!tileShown || path.isEmpty() || !loadImage(path, tile, error))
        return QImage();
    return tile.displayImage();
}

QString MainWidget::deformedViewSourcePath() const {
    const bool inRange = shownDeformedIndex >= 0 && shownDeformedIndex < static_cast<int>(deformedImages.size());
    if (!isMosaicMode(mosaicSwitch))
        return inRange ? deformedImages[static_cast<std::size_t>(shownDeformedIndex)].path : QString();
    const int mosaic =
        mosaicOfState(mosaicStateImageIndex, currentMosaicDefState, static_cast<int>(deformedImages.size()));
    if (enlargedTileIndex >= 0 || showsIndividualTiles() || mosaic < 0) {
        if (currentMosaicDefState < 0 || currentMosaicDefState >= static_cast<int>(mosaicDefTilePaths.size()))
            return QString();
        return pickTile(mosaicDefTilePaths[currentMosaicDefState], enlargedTileIndex, previewTileIndex);
    }
    return deformedImages[static_cast<std::size_t>(mosaic)].path;
}

std::optional<ImageViewWidget::InspectValue> MainWidget::inspectInputPixel(ImageViewWidget* view,
                                                                          const LoadedImage& image,
                                                                          const QString& sourcePath,
                                                                          const QPoint& displayPoint) const {
    if (!view || view->image().size().isEmpty())
        return std::nullopt;
    const bool matches = !image.originalSize.isEmpty() && (sourcePath.isEmpty() || sourcePath == image.path);
    const bool inMemory = matches && !image.full.isNull();
    if (!inMemory && sourcePath != pixelReadCache.path) {
        pixelReadCache = PixelReadCache();
        pixelReadCache.path = sourcePath;
        // The header alone: a size must not cost a decode of the whole file.
        QSize size;
        if (!matches && !sourcePath.isEmpty() && probeImageSize(sourcePath, size))
            pixelReadCache.fullSize = size;
    }
    const QSize full = matches ? image.originalSize : pixelReadCache.fullSize;
    if (full.isEmpty())
        return std::nullopt;
    const double factor = static_cast<double>(full.width()) / view->image().width();
    const QSize scaled = scaleSize(QSize(displayPoint.x(), displayPoint.y()), factor);
    const QPoint point(scaled.width(), scaled.height());
    if (!QRect(QPoint(0, 0), full).contains(point))
        return std::nullopt;

    QString text;
    int value = 0;
    if (inMemory) {
        text = QString::number(grayAt(image.full, point));
    } else if (readFullResolutionPixel(sourcePath, full, point, value)) {
        text = QString::number(value);
    } else if (!view->image().isNull() && view->image().rect().contains(displayPoint)) {
        text = QStringLiteral("~%1").arg(grayAt(view->image(), displayPoint));
    } else {
        return std::nullopt;
    }
    ImageViewWidget::InspectValue result;
    result.label = QStringLiteral("I(%1, %2) = %3").arg(point.x()).arg(point.y()).arg(text);
    result.status = QStringLiteral("Pixel (%1, %2) : %3").arg(point.x()).arg(point.y()).arg(text);
    return result;
}

bool MainWidget::readFullResolutionPixel(const QString& path, QSize fullSize, QPoint point, int& value) const {
    PixelReadCache& cache = pixelReadCache;
    if (path.isEmpty() || cache.failed)
        return false;
    if (cache.region.isNull() || !cache.region.contains(point)) {
        // About half a megabyte of 16-bit pixels per strip, whatever the width.
        const int height = std::clamp(524288 / std::max(2 * fullSize.width(), 1), 8, 128);
        const QRect region =
            QRect((point.x() / 512) * 512, point.y() - point.y() % height, 512, height) & QRect(QPoint(0, 0), fullSize);
        if (region.isEmpty())
            return false;
        const QString suffix = QFileInfo(path).suffix().toLower();
        QImage strip;
        QString error;
        bool read = false;
        if (suffix == QLatin1String("tif") || suffix == QLatin1String("tiff"))
            read = readTiffGray(path, region, 1, strip, error);
        else if (suffix == QLatin1String("bmp"))
            read = readBmpGray(path, region, 1, strip, error);
        if (!read || strip.isNull()) {
            cache.failed = true;
            cache.strip = QImage();
            cache.region = QRect();
            return false;
        }
        cache.strip = std::move(strip);
        cache.region = region;
    }
    const QPoint local = point - cache.region.topLeft();
    if (!cache.strip.rect().contains(local))
        return false;
    value = grayAt(cache.strip, local);
    return true;
}

void MainWidget::onReferenceHistogramRangeEdited(float minValue, float maxValue) {
    if (referenceImage.full.isNull() || minValue >= maxValue)
        return;
    referenceDisplayMin = minValue;
    referenceDisplayMax = maxValue;
    referenceDisplayRangeSet = true;
    setMinMaxLabel(referenceMinMaxLabel, true, minValue, maxValue);
    if (!referenceView)
        return;
    const QRect roi = referenceView->roi();
    // The range applies to what the view shows: an enlarged tile stays that tile.
    const QImage tile = tileShownIn(true);
    referenceView->setImage(
        grayToDisplayImage(tile.isNull() ? referenceImage.displayImage() : tile, minValue, maxValue), false);
    if (!roi.isNull())
        referenceView->setRoi(roi);
}

void MainWidget::onDeformedHistogramRangeEdited(float minValue, float maxValue) {
    if (deformedImages.empty() || minValue >= maxValue)
        return;
    deformedDisplayMin = minValue;
    deformedDisplayMax = maxValue;
    deformedDisplayRangeSet = true;
    setMinMaxLabel(deformedMinMaxLabel, true, minValue, maxValue);
    if (!deformedView)
        return;
    const QImage tile = tileShownIn(false);
    // In mosaic mode only the current state's own mosaic may be redrawn: a
    // state without one keeps its empty view.
    const int image = isMosaicMode(mosaicSwitch) ? mosaicOfState(mosaicStateImageIndex, currentMosaicDefState,
                                                                 static_cast<int>(deformedImages.size()))
                                                 : shownDeformedIndex;
    if (tile.isNull() && (image < 0 || image >= static_cast<int>(deformedImages.size())))
        return;
    const QRect roi = deformedView->roi();
    const QImage shown = tile.isNull() ? deformedImages[static_cast<std::size_t>(image)].displayImage() : tile;
    deformedView->setImage(grayToDisplayImage(shown, minValue, maxValue), false);
    if (!roi.isNull())
        deformedView->setRoi(roi);
}

void MainWidget::applyDeformedContrastToAll() {
    if (deformedImages.empty())
        return;
    deformedDisplayRangeSet = true;
    setStatus(QStringLiteral("Contrast range applied to all deformed images."));
}

void MainWidget::updateReferenceContrastButtons() {
    if (!referenceHistogram)
        return;
    const bool present = !referenceImage.full.isNull() || !referenceImage.preview.isNull();
    const bool differs = selectionDiffers(referenceHistogram);
    if (referenceCropButton)
        referenceCropButton->setEnabled(present && differs);
    if (referenceResetButton)
        referenceResetButton->setEnabled(present && (referenceHistogram->isZoomed() || differs));
}

void MainWidget::updateDeformedContrastButtons() {
    if (!deformedHistogram)
        return;
    const bool present = !deformedImages.empty();
    const bool differs = selectionDiffers(deformedHistogram);
    if (deformedCropButton)
        deformedCropButton->setEnabled(present && differs);
    if (deformedResetButton)
        deformedResetButton->setEnabled(present && (deformedHistogram->isZoomed() || differs));
}

void MainWidget::zoomImageHistogram(ContrastHistogramWidget* histogram, const QImage& image, float minValue,
                                    float maxValue) {
    if (!histogram || image.isNull())
        return;
    std::vector<float> samples = histogramSamples(image);
    std::erase_if(samples, [&](float v) { return v < minValue || v > maxValue; });
    histogram->setDataZoomed(samples, minValue, maxValue);
}

}  // namespace tavro::gui
