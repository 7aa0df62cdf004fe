#include "gui/foundation/image_view_widget.h"

#include "gui/foundation/line_profile_widget.h"

#include <QContextMenuEvent>
#include <QGraphicsEllipseItem>
#include <QGraphicsLineItem>
#include <QGraphicsPixmapItem>
#include <QGraphicsRectItem>
#include <QGraphicsScene>
#include <QGraphicsSimpleTextItem>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QTimer>

#include <algorithm>
#include <array>
#include <cmath>
#include <numeric>

namespace tavro::gui {

namespace {

const QColor kRoiColour(255, 90, 0);
const QColor kProfileColour(90, 180, 250);
constexpr double kDragThresholdSquared = 9.0;
constexpr double kHandleTolerancePixels = 10.0;
constexpr double kMarkerHitSquared = 64.0;
constexpr double kProfileHitPixels = 6.0;
constexpr int kPanelMargin = 8;
constexpr int kPanelGap = 14;
constexpr int kPanelMinimum = 96;
constexpr int kPanelWidth = 210;
constexpr int kPanelHeight = 121;
constexpr int kSettleDelayMs = 220;
constexpr std::array<QPoint, 8> kDirections = {QPoint(1, 0),  QPoint(1, 1),   QPoint(0, 1),  QPoint(-1, 1),
                                               QPoint(-1, 0), QPoint(-1, -1), QPoint(0, -1), QPoint(1, -1)};

double squaredLength(const QPointF& v) {
    return v.x() * v.x() + v.y() * v.y();
}

double distanceToSegment(const QPointF& point, const QPointF& a, const QPointF& b) {
    const QPointF ab = b - a;
    const double lengthSquared = squaredLength(ab);
    if (lengthSquared < 1e-9)
        return std::sqrt(squaredLength(point - a));
    const QPointF ap = point - a;
    const double t = std::clamp((ap.x() * ab.x() + ap.y() * ab.y()) / lengthSquared, 0.0, 1.0);
    return std::sqrt(squaredLength(point - (a + ab * t)));
}

// When the pixel grid cannot hold the region (a 1-pixel region at the border),
// the lower bound wins instead of std::clamp's undefined behaviour.
double clampTo(double value, double lo, double hi) {
    return std::max(lo, std::min(value, hi));
}

QRect positiveOrNull(const QRect& rect) {
    return rect.width() > 0 && rect.height() > 0 ? rect : QRect();
}

Qt::CursorShape handleCursor(int handle) {
    switch (handle) {
    case 1:
    case 2:
        return Qt::SizeHorCursor;
    case 3:
    case 4:
        return Qt::SizeVerCursor;
    case 5:
    case 8:
        return Qt::SizeFDiagCursor;
    default:
        return Qt::SizeBDiagCursor;
    }
}

// The engine excludes exactly the samples that are 0, whatever the bit depth,
// so the overlay marks those and nothing else.
QImage maskOverlayImage(const QImage& mask) {
    QImage overlay(mask.size(), QImage::Format_ARGB32);
    overlay.fill(Qt::transparent);
    const QRgb red = qRgba(255, 0, 0, 100);
    const int width = mask.width();
    if (mask.format() == QImage::Format_Grayscale8 || mask.format() == QImage::Format_Grayscale16) {
        const bool wide = mask.format() == QImage::Format_Grayscale16;
        for (int y = 0; y < mask.height(); ++y) {
            auto* out = reinterpret_cast<QRgb*>(overlay.scanLine(y));
            const uchar* line = mask.constScanLine(y);
            const auto* wideLine = reinterpret_cast<const quint16*>(line);
            for (int x = 0; x < width; ++x) {
                if ((wide ? wideLine[x] : line[x]) == 0)
                    out[x] = red;
            }
        }
        return overlay;
    }
    const QImage rgb = mask.convertToFormat(QImage::Format_RGB32);
    for (int y = 0; y < rgb.height(); ++y) {
        auto* out = reinterpret_cast<QRgb*>(overlay.scanLine(y));
        const auto* line = reinterpret_cast<const QRgb*>(rgb.constScanLine(y));
        for (int x = 0; x < width; ++x) {
            const int grey = (11 * qRed(line[x]) + 16 * qGreen(line[x]) + 5 * qBlue(line[x])) / 32;
            if (grey == 0)
                out[x] = red;
        }
    }
    return overlay;
}

}  // namespace

void ImageViewWidget::destroyItem(QGraphicsItem* item) {
    if (!item)
        return;
    scene_->removeItem(item);
    delete item;
}

void ImageViewWidget::ensureRoiItems() {
    if (!hasImage() || roiRectItem_)
        return;
    QPen rectPen(kRoiColour, 1.5, Qt::DashLine);
    rectPen.setCosmetic(true);
    roiRectItem_ = scene_->addRect(QRectF(), rectPen, QColor(255, 90, 0, 60));
    roiRectItem_->setZValue(10.0);
    roiRectItem_->hide();
    QPen crossPen(kRoiColour, 1.2, Qt::SolidLine, Qt::RoundCap);
    crossPen.setCosmetic(true);
    roiCrossHorizontal_ = scene_->addLine(QLineF(), crossPen);
    roiCrossVertical_ = scene_->addLine(QLineF(), crossPen);
    for (QGraphicsLineItem* line : {roiCrossHorizontal_, roiCrossVertical_}) {
        line->setZValue(10.1);
        line->hide();
    }
}

void ImageViewWidget::drawRoiRect(const QRectF& rect) {
    ensureRoiItems();
    if (!roiRectItem_)
        return;
    const bool visible = rect.width() > 0.0 && rect.height() > 0.0;
    roiRectItem_->setVisible(visible);
    roiCrossHorizontal_->setVisible(visible);
    roiCrossVertical_->setVisible(visible);
    if (!visible)
        return;
    roiRectItem_->setRect(rect);
    const double arm = std::min({std::clamp(0.3 * std::min(rect.width(), rect.height()), 10.0, 40.0),
                                 rect.width(), rect.height()});
    const QPointF c = rect.center();
    roiCrossHorizontal_->setLine(c.x() - arm / 2, c.y(), c.x() + arm / 2, c.y());
    roiCrossVertical_->setLine(c.x(), c.y() - arm / 2, c.x(), c.y() + arm / 2);
}

void ImageViewWidget::refreshRoiDrawing() {
    if (dragMode_ == DragMode::CreatingRoi)
        drawRoiRect(rubberBand_.intersected(imageRect()));
    else
        drawRoiRect(QRectF(roi_));
}

void ImageViewWidget::endDrag() {
    dragMode_ = DragMode::None;
    handle_ = NoHandle;
    rubberBand_ = QRectF();
    roiEmittedDuringDrag_ = false;
}

void ImageViewWidget::setRoi(const QRect& rect) {
    const QRect next = hasImage() ? positiveOrNull(rect.intersected(image_.rect())) : QRect();
    if (next == roi_) {
        refreshRoiDrawing();
        return;
    }
    roi_ = next;
    refreshRoiDrawing();
    emit roiChanged(roi_);
}

void ImageViewWidget::clearRoi() {
    const bool hadRegion = !roi_.isNull();
    roi_ = QRect();
    endDrag();
    refreshRoiDrawing();
    if (hadRegion)
        emit roiChanged(QRect());
}

int ImageViewWidget::roiHandleAt(const QPointF& p) const {
    const QRectF r(roi_);
    const double t = sceneLength(kHandleTolerancePixels);
    const bool nearLeft = std::abs(p.x() - r.left()) <= t;
    const bool nearRight = std::abs(p.x() - r.right()) <= t;
    const bool nearTop = std::abs(p.y() - r.top()) <= t;
    const bool nearBottom = std::abs(p.y() - r.bottom()) <= t;
    const bool withinRows = p.y() >= r.top() && p.y() <= r.bottom();
    const bool withinColumns = p.x() >= r.left() && p.x() <= r.right();
    if (nearLeft && nearTop)
        return TopLeft;
    if (nearRight && nearTop)
        return TopRight;
    if (nearLeft && nearBottom)
        return BottomLeft;
    if (nearRight && nearBottom)
        return BottomRight;
    if (nearLeft && withinRows)
        return LeftEdge;
    if (nearRight && withinRows)
        return RightEdge;
    if (nearTop && withinColumns)
        return TopEdge;
    if (nearBottom && withinColumns)
        return BottomEdge;
    return NoHandle;
}

// The pointer offset is rounded like a move's, so a region keeps whole-pixel
// edges even when it is grabbed between pixels at a high zoom.
QRectF ImageViewWidget::resizedRoi(const QPointF& p) const {
    const QRectF bounds = imageRect();
    const double dx = std::round(p.x() - pressPoint_.x());
    const double dy = std::round(p.y() - pressPoint_.y());
    const double l = roiAtPress_.x();
    const double t = roiAtPress_.y();
    const double w = roiAtPress_.width();
    const double h = roiAtPress_.height();
    const bool left = handle_ == LeftEdge || handle_ == TopLeft || handle_ == BottomLeft;
    const bool right = handle_ == RightEdge || handle_ == TopRight || handle_ == BottomRight;
    const bool top = handle_ == TopEdge || handle_ == TopLeft || handle_ == TopRight;
    const bool bottom = handle_ == BottomEdge || handle_ == BottomLeft || handle_ == BottomRight;
    QRectF r(l, t, w, h);
    if (top)
        r.setTop(clampTo(t + dy, bounds.top(), r.bottom() - 1.0));
    if (bottom)
        r.setBottom(clampTo(t + h + dy, r.top() + 1.0, bounds.bottom()));
    if (left)
        r.setLeft(clampTo(l + dx, bounds.left(), r.right() - 1.0));
    if (right)
        r.setRight(clampTo(l + w + dx, r.left() + 1.0, bounds.right()));
    r = r.normalized();
    r.setWidth(std::max(r.width(), 1.0));
    r.setHeight(std::max(r.height(), 1.0));
    return r.intersected(bounds);
}

void ImageViewWidget::setRoiFromDrag(const QRectF& rect) {
    roi_ = positiveOrNull(rect.toAlignedRect().intersected(image_.rect()));
}

bool ImageViewWidget::pressRoi(const QPointF& p) {
    pressPoint_ = p;
    roiAtPress_ = roi_;
    roiEmittedDuringDrag_ = false;
    if (!roi_.isNull()) {
        const int handle = roiHandleAt(p);
        if (handle != NoHandle) {
            dragMode_ = DragMode::ResizingRoi;
            handle_ = handle;
            setCursorThroughCache(handleCursor(handle));
            return true;
        }
        if (QRectF(roi_).contains(p)) {
            dragMode_ = DragMode::MovingRoi;
            setCursorThroughCache(Qt::SizeAllCursor);
            return true;
        }
    }
    dragMode_ = DragMode::CreatingRoi;
    bandStart_ = QPointF(std::round(p.x()), std::round(p.y()));
    rubberBand_ = QRectF(bandStart_, QSizeF(0, 0));
    setCursorThroughCache(Qt::CrossCursor);
    return true;
}

void ImageViewWidget::moveRoiDrag(const QPointF& p) {
    switch (dragMode_) {
    case DragMode::CreatingRoi: {
        rubberBand_ = QRectF(bandStart_, QPointF(std::round(p.x()), std::round(p.y()))).normalized();
        const QRectF clipped = rubberBand_.intersected(imageRect());
        drawRoiRect(clipped);
        setRoiFromDrag(clipped);
        if (roi_.width() >= 3 && roi_.height() >= 3) {
            roiEmittedDuringDrag_ = true;
            emit roiChanged(roi_);
        }
        break;
    }
    case DragMode::MovingRoi: {
        const QPointF offset = p - pressPoint_;
        QRect moved = roiAtPress_.translated(static_cast<int>(std::round(offset.x())),
                                             static_cast<int>(std::round(offset.y())));
        const QSize bounds = image_.size();
        if (moved.left() < 0)
            moved.moveLeft(0);
        if (moved.top() < 0)
            moved.moveTop(0);
        if (moved.x() + moved.width() > bounds.width())
            moved.moveLeft(bounds.width() - moved.width());
        if (moved.y() + moved.height() > bounds.height())
            moved.moveTop(bounds.height() - moved.height());
        drawRoiRect(QRectF(moved));
        roi_ = positiveOrNull(moved.intersected(image_.rect()));
        emit roiChanged(roi_);
        break;
    }
    case DragMode::ResizingRoi: {
        const QRectF resized = resizedRoi(p);
        drawRoiRect(resized);
        setRoiFromDrag(resized);
        emit roiChanged(roi_);
        break;
    }
    default:
        break;
    }
}

void ImageViewWidget::releaseRoiDrag(const QPointF& p) {
    if (dragMode_ != DragMode::CreatingRoi) {
        endDrag();
        refreshRoiDrawing();
        emit roiChanged(roi_);
        updateHoverCursor(p);
        return;
    }
    const QRectF clipped = rubberBand_.intersected(imageRect());
    if (clipped.width() >= 1.0 && clipped.height() >= 1.0) {
        setRoiFromDrag(clipped);
        endDrag();
        refreshRoiDrawing();
        emit roiChanged(roi_);
        updateHoverCursor(p);
        return;
    }
    // A click rather than a drag. The moves may have changed the region
    // silently (bands under 3 x 3 are not reported), so the owner is told
    // whenever what it last heard differs from the outcome.
    const bool reported = roiEmittedDuringDrag_;
    if (inspect_ && markersEnabled_) {
        addMarker(p);
        roi_ = roiAtPress_;
        if (reported)
            emit roiChanged(roi_);
    } else if (!roiAtPress_.isNull() || !roi_.isNull() || reported) {
        roi_ = QRect();
        emit roiChanged(QRect());
    }
    endDrag();
    refreshRoiDrawing();
    updateHoverCursor(p);
}

void ImageViewWidget::mousePressEvent(QMouseEvent* event) {
    const bool left = event->button() == Qt::LeftButton;
    const bool control = event->modifiers().testFlag(Qt::ControlModifier);
    const bool leftPress = left && !control && hasImage();
    const QPointF scenePoint = preciseSceneAt(event->position());
    if (left)
        emit viewClicked();
    if (inspect_ && hasImage() && !roiSelection_ && left) {
        clickPending_ = !control && imageRect().contains(scenePoint);
        if (clickPending_)
            clickPressPoint_ = clampToImage(scenePoint);
    }
    if (profileMode_ && leftPress) {
        profilePressPending_ = true;
        profilePressPoint_ = clampToImage(scenePoint);
    }
    if (roiSelection_ && leftPress) {
        pressRoi(clampToImage(scenePoint));
        event->accept();
        return;
    }
    QGraphicsView::mousePressEvent(event);
}

void ImageViewWidget::mouseMoveEvent(QMouseEvent* event) {
    if (!hasImage()) {
        QGraphicsView::mouseMoveEvent(event);
        return;
    }
    const QPointF p = clampToImage(preciseSceneAt(event->position()));
    if (profilePressPending_ && event->buttons().testFlag(Qt::LeftButton) &&
        squaredLength(p - profilePressPoint_) > kDragThresholdSquared)
        startProfileDrag(p);
    if (dragMode_ == DragMode::DrawingProfile) {
        profileEnd_ = p;
        drawProfile();
        takeProfile();
        placePanel();
        event->accept();
        return;
    }
    if (!roiSelection_) {
        updateHoverValue(event->position(), event->buttons());
        QGraphicsView::mouseMoveEvent(event);
        return;
    }
    if (dragMode_ == DragMode::None) {
        updateHoverCursor(p);
        updateHoverValue(event->position(), event->buttons());
        QGraphicsView::mouseMoveEvent(event);
        return;
    }
    moveRoiDrag(p);
    event->accept();
}

void ImageViewWidget::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        QGraphicsView::mouseReleaseEvent(event);
        return;
    }
    const QPointF scenePoint = preciseSceneAt(event->position());
    profilePressPending_ = false;
    if (dragMode_ == DragMode::DrawingProfile) {
        dragMode_ = DragMode::None;
        profileEnd_ = clampToImage(scenePoint);
        drawProfile();
        takeProfile();
        if (settleTimer_)
            settleTimer_->stop();
        panelShown_ = true;
        panelDirection_ = -1;
        placePanel();
        event->accept();
        return;
    }
    if (!roiSelection_ && inspect_ && hasImage()) {
        const bool wasPending = clickPending_;
        clickPending_ = false;
        QGraphicsView::mouseReleaseEvent(event);
        restoreModeCursor();
        if (markersEnabled_ && wasPending && imageRect().contains(scenePoint))
            addMarker(scenePoint);
        return;
    }
    if (roiSelection_ && !hasImage()) {
        endDrag();
        QGraphicsView::mouseReleaseEvent(event);
        return;
    }
    if (roiSelection_ && dragMode_ != DragMode::None) {
        releaseRoiDrag(clampToImage(scenePoint));
        event->accept();
        return;
    }
    QGraphicsView::mouseReleaseEvent(event);
}

void ImageViewWidget::setRoiSelectionEnabled(bool enabled) {
    roiSelection_ = enabled;
    if (dragMode() == QGraphicsView::ScrollHandDrag) {
        setDragMode(QGraphicsView::NoDrag);
        unsetCursor();
        // Leaving hand-drag leaves Qt's own cursor on the viewport.
        cursorCached_ = false;
    }
    if (enabled) {
        setCursorThroughCache(Qt::CrossCursor);
        return;
    }
    if (dragMode_ != DragMode::None && dragMode_ != DragMode::DrawingProfile) {
        endDrag();
        refreshRoiDrawing();
    }
    clearViewportCursor();
    restoreModeCursor();
}

void ImageViewWidget::setCtrlPanEnabled(bool enabled) {
    ctrlPanEnabled_ = enabled;
}

void ImageViewWidget::setMarkersEnabled(bool enabled) {
    markersEnabled_ = enabled;
    if (!enabled)
        clearMarkers();
    restoreModeCursor();
}

std::vector<QPoint> ImageViewWidget::markerPixels() const {
    std::vector<QPoint> pixels;
    for (const Marker& marker : markers_)
        pixels.push_back(marker.pixel);
    return pixels;
}

std::vector<QString> ImageViewWidget::markerLabels() const {
    std::vector<QString> labels;
    for (const Marker& marker : markers_)
        labels.push_back(marker.label);
    return labels;
}

void ImageViewWidget::addMarker(const QPointF& scenePoint) {
    if (!inspector_ || !hasImage())
        return;
    const QPointF clamped = clampToImage(scenePoint);
    const QPoint pixel(static_cast<int>(std::floor(clamped.x())), static_cast<int>(std::floor(clamped.y())));
    if (!image_.rect().contains(pixel))
        return;
    const std::optional<InspectValue> value = inspector_(pixel);
    if (!value || value->label.isEmpty())
        return;
    Marker marker;
    marker.pixel = pixel;
    marker.scenePos = QPointF(std::clamp(scenePoint.x(), 0.0, static_cast<double>(image_.width() - 1)),
                              std::clamp(scenePoint.y(), 0.0, static_cast<double>(image_.height() - 1)));
    marker.label = value->label;
    createMarkerItems(marker);
    markers_.push_back(marker);
}

void ImageViewWidget::createMarkerItems(Marker& marker) {
    QPen dotPen(Qt::white, 1.3);
    dotPen.setCosmetic(true);
    marker.dot = scene_->addEllipse(QRectF(-4, -4, 8, 8), dotPen, QColor(255, 255, 255, 90));
    marker.dot->setZValue(1000.0);

    QFont font;
    if (font.pointSizeF() > 0)
        font.setPointSizeF(font.pointSizeF() * 0.9);
    else
        font.setPixelSize(std::max(1, qRound(font.pixelSize() * 0.9)));
    marker.labelText = scene_->addSimpleText(marker.label, font);
    marker.labelText->setBrush(Qt::white);
    marker.labelText->setPen(Qt::NoPen);
    marker.labelText->setZValue(1000.2);
    const QSizeF size = marker.labelText->boundingRect().size();
    // With transformations ignored, an item's own transform is in screen pixels.
    marker.labelText->setTransform(QTransform::fromTranslate(16, -size.height() / 2));

    marker.labelBackground = scene_->addRect(
        QRectF(12, -size.height() / 2 - 4, size.width() + 8, size.height() + 8), Qt::NoPen, QColor(0, 0, 0, 170));
    marker.labelBackground->setZValue(1000.1);

    for (QGraphicsItem* item : std::initializer_list<QGraphicsItem*>{marker.dot, marker.labelText,
                                                                      marker.labelBackground}) {
        item->setPos(marker.scenePos);
        item->setFlag(QGraphicsItem::ItemIgnoresTransformations);
    }
}

void ImageViewWidget::deleteMarkerItems(Marker& marker) {
    destroyItem(marker.labelText);
    destroyItem(marker.labelBackground);
    destroyItem(marker.dot);
    marker.labelText = nullptr;
    marker.labelBackground = nullptr;
    marker.dot = nullptr;
}

void ImageViewWidget::removeMarker(std::size_t index) {
    if (index >= markers_.size())
        return;
    deleteMarkerItems(markers_[index]);
    markers_.erase(markers_.begin() + static_cast<std::ptrdiff_t>(index));
}

void ImageViewWidget::clearMarkers() {
    for (Marker& marker : markers_)
        deleteMarkerItems(marker);
    markers_.clear();
    emit hoverValueChanged(QString(), false);
}

int ImageViewWidget::markerAt(const QPointF& viewPoint) const {
    const QTransform toView = viewportTransform();
    for (std::size_t i = 0; i < markers_.size(); ++i) {
        const QPointF markerView = toView.map(markers_[i].scenePos);
        if (squaredLength(viewPoint - markerView) <= kMarkerHitSquared)
            return static_cast<int>(i);
        const QGraphicsRectItem* background = markers_[i].labelBackground;
        if (background && background->rect().translated(markerView).contains(viewPoint))
            return static_cast<int>(i);
    }
    return -1;
}

void ImageViewWidget::setMaskOverlay(const QImage& mask) {
    maskImage_ = mask;
    rebuildMaskOverlay();
}

void ImageViewWidget::rebuildMaskOverlay() {
    destroyItem(maskItem_);
    maskItem_ = nullptr;
    if (maskImage_.isNull() || !hasImage())
        return;
    maskItem_ = scene_->addPixmap(QPixmap::fromImage(maskOverlayImage(maskImage_)));
    maskItem_->setZValue(1.0);
}

void ImageViewWidget::setTileHighlight(const QRect& rect, int index) {
    if (!tileRectItem_) {
        tileRectItem_ = scene_->addRect(QRectF(), Qt::NoPen, QColor(100, 180, 255, 50));
        tileRectItem_->setZValue(5.0);
        tileTextItem_ = scene_->addSimpleText(QString());
        tileTextItem_->setBrush(QColor(255, 255, 255, 200));
        tileTextItem_->setPen(Qt::NoPen);
        tileTextItem_->setZValue(6.0);
    }
    tileRectItem_->setRect(QRectF(rect));
    tileRectItem_->setVisible(!rect.isNull());
    if (rect.isNull() || index < 0) {
        tileTextItem_->hide();
        return;
    }
    QFont font(QStringLiteral("Arial"));
    font.setPointSize(1);
    font.setWeight(QFont::Bold);
    tileTextItem_->setFont(font);
    tileTextItem_->setText(QString::number(index + 1));
    tileTextItem_->setScale(1.0);
    const QSizeF size = tileTextItem_->boundingRect().size();
    if (size.width() <= 0.0 || size.height() <= 0.0) {
        tileTextItem_->hide();
        return;
    }
    const double s = std::min(0.6 * rect.width() / size.width(), 0.6 * rect.height() / size.height());
    tileTextItem_->setScale(s);
    // The 0.18 text heights move the digits, which sit above the descent, to
    // the optical centre of the tile.
    tileTextItem_->setPos(rect.x() + (rect.width() - size.width() * s) / 2,
                          rect.y() + (rect.height() - size.height() * s) / 2 + 0.18 * size.height() * s);
    tileTextItem_->show();
}

void ImageViewWidget::hideTileHighlight() {
    if (tileRectItem_)
        tileRectItem_->hide();
    if (tileTextItem_)
        tileTextItem_->hide();
}

void ImageViewWidget::setProfileMode(bool enabled) {
    if (enabled) {
        if (profileMode_)
            return;
        profileMode_ = true;
        setCursorThroughCache(Qt::CrossCursor);
        ensureProfileItems();
        ensurePanel();
        placePanel();
        takeProfile();
        return;
    }
    profileMode_ = false;
    removeProfile();
    clearViewportCursor();
    restoreModeCursor();
}

void ImageViewWidget::setLineProfileProvider(LineProfileProvider provider) {
    profileProvider_ = std::move(provider);
    if (profileProvider_)
        takeProfile();
    else
        removeProfile();
}

void ImageViewWidget::removeProfile() {
    hasProfile_ = false;
    panelShown_ = false;
    profilePressPending_ = false;
    panelDirection_ = -1;
    if (settleTimer_)
        settleTimer_->stop();
    if (dragMode_ == DragMode::DrawingProfile)
        dragMode_ = DragMode::None;
    drawProfile();
    if (panel_) {
        panel_->clearProfile();
        panel_->hide();
    }
}

void ImageViewWidget::ensureProfileItems() {
    if (profileLine_)
        return;
    QPen linePen(kProfileColour, 1.6);
    linePen.setCosmetic(true);
    profileLine_ = scene_->addLine(QLineF(), linePen);
    profileLine_->setZValue(16.0);
    profileLine_->hide();
    for (QGraphicsEllipseItem** handle : {&profileStartHandle_, &profileEndHandle_}) {
        *handle = scene_->addEllipse(QRectF(-3.5, -3.5, 7, 7), QPen(Qt::white, 1.0), kProfileColour);
        (*handle)->setZValue(16.1);
        (*handle)->setFlag(QGraphicsItem::ItemIgnoresTransformations);
        (*handle)->hide();
    }
}

void ImageViewWidget::ensurePanel() {
    if (panel_)
        return;
    panel_ = new LineProfileWidget(viewport());
    panel_->hide();
    connect(panel_, &LineProfileWidget::removeRequested, this, &ImageViewWidget::removeProfile);
}

void ImageViewWidget::drawProfile() {
    if (!profileLine_)
        return;
    const bool shown = hasProfile_ && profileMode_;
    profileLine_->setVisible(shown);
    profileStartHandle_->setVisible(shown);
    profileEndHandle_->setVisible(shown);
    if (!shown)
        return;
    profileLine_->setLine(QLineF(profileStart_, profileEnd_));
    profileStartHandle_->setPos(profileStart_);
    profileEndHandle_->setPos(profileEnd_);
}

void ImageViewWidget::takeProfile() {
    if (!profileMode_ || !panel_)
        return;
    if (!hasProfile_ || !profileProvider_ || !hasImage()) {
        panel_->clearProfile();
        return;
    }
    LineProfile profile = profileProvider_(profileStart_, profileEnd_);
    if (profile.valid)
        panel_->setProfile(std::move(profile.values), profile.label, profile.length);
    else
        panel_->clearProfile();
}

void ImageViewWidget::startProfileDrag(const QPointF& p) {
    profilePressPending_ = false;
    dragMode_ = DragMode::DrawingProfile;
    profileStart_ = profilePressPoint_;
    profileEnd_ = p;
    hasProfile_ = true;
    panelShown_ = false;
    panelDirection_ = -1;
    clickPending_ = false;
    ensureProfileItems();
    if (!settleTimer_) {
        settleTimer_ = new QTimer(this);
        settleTimer_->setObjectName(QStringLiteral("profileSettleTimer"));
        settleTimer_->setSingleShot(true);
        settleTimer_->setInterval(kSettleDelayMs);
        connect(settleTimer_, &QTimer::timeout, this, [this] { showPanelAfterSettling(); });
    }
    settleTimer_->start();
}

void ImageViewWidget::showPanelAfterSettling() {
    if (!hasProfile_ || !profileMode_)
        return;
    panelShown_ = true;
    panelDirection_ = -1;
    placePanel();
}

QRect ImageViewWidget::panelRectFor(int direction, const QPointF& anchor, const QSize& size) const {
    const QPoint d = kDirections[static_cast<std::size_t>(direction)];
    const QPoint p = anchor.toPoint();
    const int x = d.x() > 0 ? p.x() + kPanelGap : d.x() == 0 ? p.x() - size.width() / 2
                                                             : p.x() - size.width() - kPanelGap;
    const int y = d.y() > 0 ? p.y() + kPanelGap : d.y() == 0 ? p.y() - size.height() / 2
                                                             : p.y() - size.height() - kPanelGap;
    return QRect(QPoint(x, y), size);
}

bool ImageViewWidget::panelFits(int direction, const QPointF& start, const QPointF& end, const QSize& size) const {
    const QRect panel = panelRectFor(direction, start, size);
    const QSize viewportSize = viewport()->size();
    const QRect bounds(kPanelMargin, kPanelMargin, viewportSize.width() - 2 * kPanelMargin,
                       viewportSize.height() - 2 * kPanelMargin);
    if (!bounds.contains(panel) || panel.contains(start.toPoint()) || panel.contains(end.toPoint()))
        return false;
    const QRectF r(panel);
    const QLineF segment(start, end);
    const std::array<QLineF, 4> edges = {QLineF(r.topLeft(), r.topRight()), QLineF(r.topRight(), r.bottomRight()),
                                         QLineF(r.bottomRight(), r.bottomLeft()),
                                         QLineF(r.bottomLeft(), r.topLeft())};
    return std::none_of(edges.begin(), edges.end(), [&](const QLineF& edge) {
        return edge.intersects(segment, nullptr) == QLineF::BoundedIntersection;
    });
}

void ImageViewWidget::choosePanelDirection(const QSize& size) {
    if (!hasProfile_ || !panel_) {
        panelDirection_ = -1;
        return;
    }
    const QPointF start = mapFromScene(profileStart_);
    const QPointF end = mapFromScene(profileEnd_);
    const QPointF preferred = start - end;
    const double length = std::sqrt(squaredLength(preferred));
    if (length < 1e-6 || size.width() < kPanelMinimum || size.height() < kPanelMinimum)
        return;
    if (panelDirection_ >= 0 && panelFits(panelDirection_, start, end, size))
        return;
    std::array<double, 8> cosines{};
    for (std::size_t i = 0; i < kDirections.size(); ++i) {
        const QPointF d(kDirections[i]);
        cosines[i] = (d.x() * preferred.x() + d.y() * preferred.y()) / (std::sqrt(squaredLength(d)) * length);
    }
    std::array<int, 8> order{};
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
        return cosines[static_cast<std::size_t>(a)] > cosines[static_cast<std::size_t>(b)];
    });
    panelDirection_ = -1;
    for (const int direction : order) {
        if (panelFits(direction, start, end, size)) {
            panelDirection_ = direction;
            return;
        }
    }
}

void ImageViewWidget::placePanel() {
    if (!panel_)
        return;
    const QSize viewportSize = viewport()->size();
    const int vw = viewportSize.width();
    const int vh = viewportSize.height();
    const QSize size(std::min(vw - 2 * kPanelMargin, kPanelWidth), std::min(vh - 2 * kPanelMargin, kPanelHeight));
    if (size.width() < kPanelMinimum || size.height() < kPanelMinimum) {
        panel_->hide();
        return;
    }
    choosePanelDirection(size);
    QPoint position(kPanelMargin, kPanelMargin);
    if (hasProfile_) {
        const QPointF start = mapFromScene(profileStart_);
        const QPointF end = mapFromScene(profileEnd_);
        if (panelDirection_ >= 0) {
            position = panelRectFor(panelDirection_, start, size).topLeft();
        } else {
            const int right = vw - kPanelMargin - size.width();
            const int bottom = vh - kPanelMargin - size.height();
            const std::array<QPoint, 4> corners = {QPoint(kPanelMargin, kPanelMargin), QPoint(right, kPanelMargin),
                                                   QPoint(kPanelMargin, bottom), QPoint(right, bottom)};
            double farthest = -1.0;
            for (const QPoint& corner : corners) {
                const QPointF centre = QRectF(corner, size).center();
                const double distance = distanceToSegment(centre, start, end);
                if (distance > farthest) {
                    farthest = distance;
                    position = corner;
                }
            }
        }
    }
    position.setX(std::clamp(position.x(), kPanelMargin, vw - kPanelMargin - size.width()));
    position.setY(std::clamp(position.y(), kPanelMargin, vh - kPanelMargin - size.height()));
    panel_->setGeometry(QRect(position, size));
    panel_->setVisible(profileMode_ && hasProfile_ && panelShown_);
    panel_->raise();
}

double ImageViewWidget::distanceToProfile(const QPointF& viewPoint) const {
    const QTransform toView = viewportTransform();
    return distanceToSegment(viewPoint, toView.map(profileStart_), toView.map(profileEnd_));
}

void ImageViewWidget::contextMenuEvent(QContextMenuEvent* event) {
    const QPointF viewPoint = event->pos();
    const int marker = inspect_ && hasImage() ? markerAt(viewPoint) : -1;
    if (marker >= 0) {
        QMenu menu(this);
        QAction* removeOne = menu.addAction(tr("Remove this marker"));
        QAction* removeAll = menu.addAction(tr("Remove all"));
        const QAction* chosen = menu.exec(event->globalPos());
        // Run after the menu's own event loop has ended.
        if (chosen == removeOne)
            QTimer::singleShot(0, this, [this, marker] { removeMarker(static_cast<std::size_t>(marker)); });
        else if (chosen == removeAll)
            QTimer::singleShot(0, this, [this] { clearMarkers(); });
        event->accept();
        return;
    }
    if (hasProfile_ && profileMode_ && hasImage() && distanceToProfile(viewPoint) <= kProfileHitPixels) {
        QMenu menu(this);
        QAction* remove = menu.addAction(tr("Remove this profile"));
        if (menu.exec(event->globalPos()) == remove)
            QTimer::singleShot(0, this, [this] { removeProfile(); });
        event->accept();
        return;
    }
    if (roiSelection_ && !roi_.isNull() && hasImage() && QRectF(roi_).contains(preciseSceneAt(viewPoint))) {
        QMenu menu(this);
        QAction* remove = menu.addAction(tr("Remove ROI"));
        if (menu.exec(event->globalPos()) == remove) {
            QTimer::singleShot(0, this, [this] {
                if (roi_.isNull())
                    return;
                roi_ = QRect();
                refreshRoiDrawing();
                emit roiChanged(QRect());
            });
        }
        event->accept();
        return;
    }
    QGraphicsView::contextMenuEvent(event);
}

bool ImageViewWidget::ctrlPanAllowed() const {
    return ctrlPanEnabled_ || (!roiSelection_ && inspect_);
}

void ImageViewWidget::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Control && ctrlPanAllowed()) {
        setDragMode(QGraphicsView::ScrollHandDrag);
        setCursor(Qt::OpenHandCursor);
    }
    QGraphicsView::keyPressEvent(event);
}

void ImageViewWidget::keyReleaseEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Control && ctrlPanAllowed()) {
        setDragMode(QGraphicsView::NoDrag);
        unsetCursor();
        // Leaving hand-drag leaves Qt's open hand on the viewport, so whatever
        // the cache remembers no longer holds.
        cursorCached_ = false;
        if (ctrlPanEnabled_ && roiSelection_)
            applyViewportCursor(Qt::CrossCursor);
        else
            restoreModeCursor();
    }
    QGraphicsView::keyReleaseEvent(event);
}

void ImageViewWidget::enterEvent(QEnterEvent* event) {
    setFocus(Qt::MouseFocusReason);
    QGraphicsView::enterEvent(event);
}

void ImageViewWidget::leaveEvent(QEvent* event) {
    if (!roiSelection_ && inspect_) {
        emit hoverValueChanged(QString(), false);
        clickPending_ = false;
    }
    QGraphicsView::leaveEvent(event);
}

const QCursor& ImageViewWidget::crosshairCursor() {
    const qreal ratio = viewport()->devicePixelRatioF();
    if (crosshairRatio_ > 0.0 && qFuzzyCompare(ratio, crosshairRatio_))
        return crosshair_;
    const int side = qRound(25 * ratio);
    QPixmap pixmap(side, side);
    pixmap.setDevicePixelRatio(ratio);
    pixmap.fill(Qt::transparent);
    {
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing, false);
        const std::array<QLineF, 4> arms = {QLineF(0, 12.5, 8.5, 12.5), QLineF(16.5, 12.5, 25, 12.5),
                                            QLineF(12.5, 0, 12.5, 8.5), QLineF(12.5, 16.5, 12.5, 25)};
        painter.setPen(QPen(QColor(0, 0, 0, 205), 3, Qt::SolidLine, Qt::FlatCap));
        painter.drawLines(arms.data(), static_cast<int>(arms.size()));
        painter.setPen(QPen(QColor(255, 214, 0), 1, Qt::SolidLine, Qt::FlatCap));
        painter.drawLines(arms.data(), static_cast<int>(arms.size()));
    }
    crosshair_ = QCursor(pixmap);
    crosshairRatio_ = ratio;
    return crosshair_;
}

QCursor ImageViewWidget::cursorFor(Qt::CursorShape shape) {
    return shape == Qt::CrossCursor ? crosshairCursor() : QCursor(shape);
}

void ImageViewWidget::applyViewportCursor(Qt::CursorShape shape) {
    if (cursorCached_ && cachedCursorShape_ == shape)
        return;
    viewport()->setCursor(cursorFor(shape));
    cachedCursorShape_ = shape;
    cursorCached_ = true;
}

void ImageViewWidget::setCursorThroughCache(Qt::CursorShape shape) {
    if (roiSelection_ || profileMode_)
        applyViewportCursor(shape);
}

void ImageViewWidget::clearViewportCursor() {
    if (!cursorCached_)
        return;
    viewport()->unsetCursor();
    cursorCached_ = false;
}

void ImageViewWidget::updateHoverCursor(const QPointF& p) {
    if (!roiSelection_) {
        clearViewportCursor();
        return;
    }
    // Qt shows its own hand while the view is being dragged.
    if (dragMode() == QGraphicsView::ScrollHandDrag)
        return;
    Qt::CursorShape shape = Qt::CrossCursor;
    if (hasImage() && !roi_.isNull()) {
        const int handle = roiHandleAt(p);
        if (handle != NoHandle)
            shape = handleCursor(handle);
        else if (QRectF(roi_).contains(p))
            shape = Qt::SizeAllCursor;
    }
    setCursorThroughCache(shape);
}

void ImageViewWidget::restoreModeCursor() {
    if (roiSelection_)
        return;
    if (profileMode_ || (inspect_ && markersEnabled_)) {
        applyViewportCursor(Qt::CrossCursor);
        return;
    }
    viewport()->unsetCursor();
    cursorCached_ = false;
}

}  // namespace tavro::gui
