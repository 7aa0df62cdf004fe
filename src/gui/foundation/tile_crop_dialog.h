#pragma once

#include <QDialog>
#include <QImage>
#include <QRect>
#include <QSize>

class QSpinBox;

namespace tavro::gui {

class ImageViewWidget;

// Chooses the rectangle to which every tile of a mosaic is cropped, on one
// sample tile: drawn on a zoomable view of the tile or typed as offset and size.
// The two stay in step; `cropRect()` is read after the dialog was accepted.
class TileCropDialog : public QDialog {
    Q_OBJECT

public:
    // An invalid or empty `crop` selects the whole tile.
    TileCropDialog(const QImage& tile, const QRect& crop, QWidget* parent = nullptr);
    ~TileCropDialog() override;

    QRect cropRect() const { return crop_; }

private:
    QSpinBox* addSpinBox(const char* objectName, int minimum, int maximum);
    QRect wholeTile() const { return QRect(QPoint(0, 0), tileSize_); }
    void onSpinBoxChanged();
    void onRoiChanged(const QRect& roi);
    void onReset();
    void fillSpinBoxes();

    ImageViewWidget* view_ = nullptr;
    QSpinBox* x_ = nullptr;
    QSpinBox* y_ = nullptr;
    QSpinBox* width_ = nullptr;
    QSpinBox* height_ = nullptr;
    QRect crop_;
    QSize tileSize_;
};

}  // namespace tavro::gui
