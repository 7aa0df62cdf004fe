#include "gui/foundation/tile_crop_dialog.h"

#include "gui/foundation/image_view_widget.h"
#include "gui/foundation/theme.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>

namespace tavro::gui {

TileCropDialog::TileCropDialog(const QImage& tile, const QRect& crop, QWidget* parent) : QDialog(parent) {
    setWindowTitle(tr("Crop Tiles"));
    setMinimumSize(700, 550);
    resize(800, 600);
    tileSize_ = tile.size();

    auto* layout = new QVBoxLayout(this);
    view_ = new ImageViewWidget(this);
    view_->setImage(tile, true);
    view_->setRoiSelectionEnabled(true);
    layout->addWidget(view_, 1);

    auto* row = new QHBoxLayout;
    auto* grid = new QGridLayout;
    grid->setHorizontalSpacing(8);
    grid->setVerticalSpacing(4);
    x_ = addSpinBox("cropX", 0, tileSize_.width() - 1);
    y_ = addSpinBox("cropY", 0, tileSize_.height() - 1);
    width_ = addSpinBox("cropWidth", 1, tileSize_.width());
    height_ = addSpinBox("cropHeight", 1, tileSize_.height());
    grid->addWidget(new QLabel(tr("X:"), this), 0, 0);
    grid->addWidget(x_, 0, 1);
    grid->addWidget(new QLabel(tr("Y:"), this), 0, 2);
    grid->addWidget(y_, 0, 3);
    grid->addWidget(new QLabel(tr("Width:"), this), 1, 0);
    grid->addWidget(width_, 1, 1);
    grid->addWidget(new QLabel(tr("Height:"), this), 1, 2);
    grid->addWidget(height_, 1, 3);
    row->addLayout(grid);
    row->addStretch();

    auto* reset = new QPushButton(tr("Reset"), this);
    reset->setToolTip(tr("Remove cropping and use full tiles"));
    auto* cancel = new QPushButton(tr("Cancel"), this);
    cancel->setStyleSheet(smallDangerButtonStyle());
    auto* apply = new QPushButton(tr("Apply"), this);
    apply->setDefault(true);
    row->addWidget(reset);
    row->addStretch();
    row->addWidget(cancel);
    row->addWidget(apply);
    layout->addLayout(row);

    // A crop kept from tiles of another size is cut to this tile.
    const QRect clipped = crop.isValid() && !crop.isEmpty() ? crop.intersected(wholeTile()) : QRect();
    crop_ = clipped.isValid() && !clipped.isEmpty() ? clipped : wholeTile();
    view_->setRoi(crop_);
    fillSpinBoxes();

    connect(view_, &ImageViewWidget::roiChanged, this, [this](const QRect& roi) { onRoiChanged(roi); });
    for (QSpinBox* box : {x_, y_, width_, height_})
        connect(box, &QSpinBox::valueChanged, this, [this](int) { onSpinBoxChanged(); });
    connect(reset, &QPushButton::clicked, this, [this] { onReset(); });
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(apply, &QPushButton::clicked, this, &QDialog::accept);

    QTimer::singleShot(0, view_, [view = view_] { view->fitToWindow(); });
}

TileCropDialog::~TileCropDialog() = default;

QSpinBox* TileCropDialog::addSpinBox(const char* objectName, int minimum, int maximum) {
    auto* box = new QSpinBox(this);
    box->setObjectName(QString::fromLatin1(objectName));
    box->setRange(minimum, std::max(minimum, maximum));
    box->setSingleStep(1);
    return box;
}

void TileCropDialog::onSpinBoxChanged() {
    const int x = x_->value();
    const int y = y_->value();
    const int width = std::min(width_->value(), tileSize_.width() - x);
    const int height = std::min(height_->value(), tileSize_.height() - y);
    crop_ = QRect(x, y, width, height);
    view_->setRoi(crop_);
    // The view reports only a changed region; when the cut leaves it as it
    // was, the boxes would otherwise keep showing a size that is not applied.
    if (width_->value() != crop_.width() || height_->value() != crop_.height())
        fillSpinBoxes();
}

void TileCropDialog::onRoiChanged(const QRect& roi) {
    crop_ = roi.isValid() && !roi.isEmpty() ? roi : wholeTile();
    fillSpinBoxes();
}

void TileCropDialog::onReset() {
    crop_ = wholeTile();
    view_->setRoi(crop_);
    fillSpinBoxes();
}

void TileCropDialog::fillSpinBoxes() {
    const QSignalBlocker blockX(x_);
    const QSignalBlocker blockY(y_);
    const QSignalBlocker blockWidth(width_);
    const QSignalBlocker blockHeight(height_);
    x_->setValue(crop_.x());
    y_->setValue(crop_.y());
    width_->setValue(crop_.width());
    height_->setValue(crop_.height());
}

}  // namespace tavro::gui
