#pragma once

#include <QImage>
#include <QRect>
#include <QSize>
#include <QString>

namespace tavro::gui {

// A grayscale image as the main window keeps it: full resolution for the
// computation, a reduced copy for display, and what is needed to read the full
// image again once it has been released.
struct LoadedImage {
    QImage full;
    QImage preview;  // longer side at most 2048 pixels; null when the image already fits
    QString path;
    QSize originalSize;

    const QImage& displayImage() const { return preview.isNull() ? full : preview; }
    // Full-resolution pixels per displayed pixel, the same on both axes.
    double displayScale() const;
    // Drops `full` only when it can be read again and a preview stands in for it.
    void releaseFullImage();
};

bool loadImage(const QString& path, LoadedImage& image, QString& error);

// Box-averaged for grayscale formats, so that 16-bit data stays exact; null when
// no preview is needed or it cannot be allocated.
QImage makePreview(const QImage& image);

QSize scaleSize(const QSize& size, double factor);
QRect scaleRect(const QRect& rect, double factor);
QRect unscaleRect(const QRect& rect, double factor);

}  // namespace tavro::gui
