#include "gui/foundation/image_view_widget.h"

#include "gui/foundation/line_profile_widget.h"

#include <QGraphicsPixmapItem>
#include <QGraphicsScene>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QTimer>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>

namespace tavro::gui {

namespace {

constexpr int kPyramidMinWidth = 128;
constexpr int kPyramidMinHalfHeight = 64;
constexpr double kDetailTileScale = 1.2;
constexpr int kDetailTileDelayMs = 150;
// 1.0015 per eighth of a degree: one 120-unit notch zooms by about 1.197.
constexpr double kWheelZoomBase = 1.0015;
// QGraphicsView::fitInView leaves this many viewport pixels on each side.
constexpr double kFitMargin = 2.0;
// How far, in viewport pixels, a drawn image may be from an exact fit and
// still count as fitted: linked views whose viewports differ by a pixel share
// one transform, and both show a fit.
constexpr double kFitSlack = 2.0;

}  // namespace

ImageViewWidget::ImageViewWidget(QWidget* parent) : QGraphicsView(parent), scene_(new QGraphicsScene(this)) {
    setScene(scene_);
    setRenderHint(QPainter::SmoothPixmapTransform, true);
    setTransformationAnchor(QGraphicsView::AnchorUnderMouse);
    setResizeAnchor(QGraphicsView::AnchorViewCenter);
    setBackgroundBrush(QBrush(QColor(0, 0, 0), Qt::SolidPattern));
    setFrameShape(QFrame::StyledPanel);
    setMouseTracking(true);
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);
}

ImageViewWidget::~ImageViewWidget() {
    clearPyramid();
    detailProvider_ = nullptr;
    inspector_ = nullptr;
    profileProvider_ = nullptr;
    markers_.clear();
}

QSize ImageViewWidget::sizeHint() const {
    return minimumSizeHint();
}

QRectF ImageViewWidget::imageRect() const {
    return QRectF(0, 0, image_.width(), image_.height());
}

QPointF ImageViewWidget::clampToImage(const QPointF& scenePoint) const {
    return QPointF(std::clamp(scenePoint.x(), 0.0, static_cast<double>(image_.width())),
                   std::clamp(scenePoint.y(), 0.0, static_cast<double>(image_.height())));
}

QPoint ImageViewWidget::pixelAt(const QPointF& scenePoint) const {
    if (!hasImage())
        return QPoint(0, 0);
    const double x = std::clamp(scenePoint.x(), 0.0, static_cast<double>(image_.width() - 1));
    const double y = std::clamp(scenePoint.y(), 0.0, static_cast<double>(image_.height() - 1));
    return QPoint(static_cast<int>(std::floor(x)), static_cast<int>(std::floor(y)));
}

// QGraphicsView maps only whole view pixels; sub-pixel pointer positions (high
// resolution tablets, scaled screens) are interpolated between neighbours.
QPointF ImageViewWidget::preciseSceneAt(const QPointF& viewPoint) const {
    const double fx = std::floor(viewPoint.x());
    const double fy = std::floor(viewPoint.y());
    const double ax = viewPoint.x() - fx;
    const double ay = viewPoint.y() - fy;
    const QPoint base(static_cast<int>(fx), static_cast<int>(fy));
    const QPointF origin = mapToScene(base);
    if (ax < 1e-9 && ay < 1e-9)
        return origin;
    const QPointF right = mapToScene(base + QPoint(1, 0));
    const QPointF below = mapToScene(base + QPoint(0, 1));
    return origin + (right - origin) * ax + (below - origin) * ay;
}

double ImageViewWidget::sceneLength(double viewPixels) const {
    const QTransform t = transform();
    const double root = std::sqrt(t.m11() * t.m11() + t.m21() * t.m21());
    return root == 0.0 ? viewPixels : viewPixels / root;
}

QImage ImageViewWidget::pyramidLevel(int level) const {
    if (level < 0 || level >= levelCount_)
        return QImage();
    return levels_[static_cast<std::size_t>(level)];
}

void ImageViewWidget::setImage(const QImage& image, bool fit) {
    const bool keepProfile = hasProfile_ && !image.isNull() && image.size() == image_.size();
    image_ = image;
    if (!(pyramidActive_ && levelCount_ > 0 && levels_[0].cacheKey() == image.cacheKey()))
        clearPyramid();

    for (Marker& marker : markers_) {
        marker.dot = nullptr;
        marker.labelBackground = nullptr;
        marker.labelText = nullptr;
    }
    scene_->clear();
    imageItem_ = nullptr;
    detailItem_ = nullptr;
    detailRect_ = QRectF();
    if (detailTimer_)
        detailTimer_->stop();
    roiRectItem_ = nullptr;
    roiCrossHorizontal_ = nullptr;
    roiCrossVertical_ = nullptr;
    maskItem_ = nullptr;
    tileRectItem_ = nullptr;
    tileTextItem_ = nullptr;
    profileLine_ = nullptr;
    profileStartHandle_ = nullptr;
    profileEndHandle_ = nullptr;
    roi_ = QRect();
    endDrag();

    if (hasImage()) {
        pixmap_ = QPixmap::fromImage(image_);
        imageItem_ = scene_->addPixmap(pixmap_);
        imageItem_->setScale(1.0);
        levelShown_ = 0;
        updateImageTransformationMode();
        scene_->setSceneRect(QRectF(pixmap_.rect()));
        const QRect bounds = image_.rect();
        std::erase_if(markers_, [&](const Marker& marker) { return !bounds.contains(marker.pixel); });
        for (Marker& marker : markers_) {
            marker.scenePos.setX(std::min(marker.scenePos.x(), static_cast<double>(image_.width() - 1)));
            marker.scenePos.setY(std::min(marker.scenePos.y(), static_cast<double>(image_.height() - 1)));
            createMarkerItems(marker);
        }
    } else {
        pixmap_ = QPixmap();
        scene_->setSceneRect(QRectF());
        markers_.clear();
        emit hoverValueChanged(QString(), false);
    }

    ensureRoiItems();
    refreshRoiDrawing();

    if (keepProfile && profileMode_) {
        ensureProfileItems();
        drawProfile();
        takeProfile();
        placePanel();
    } else if (!keepProfile) {
        removeProfile();
    }

    if (fit && hasImage()) {
        pendingFit_ = true;
        applyPendingFit();
    } else if (fit) {
        pendingFit_ = false;
        resetToOneToOne();
    } else {
        pendingFit_ = false;
        // The zoom stays, so the level that suits it is chosen for the new image.
        choosePyramidLevel();
        scene_->invalidate();
        viewport()->update();
        // The kept zoom need not fit an image of another size.
        refreshViewMode();
    }

    if (!maskImage_.isNull() && hasImage() && maskImage_.size() == image_.size())
        rebuildMaskOverlay();

    if (roiSelection_) {
        setCursorThroughCache(Qt::CrossCursor);
    } else {
        clearViewportCursor();
        restoreModeCursor();
    }
    scheduleDetailTile();
}

void ImageViewWidget::setImageWithPyramid(const QImage& image, bool fit) {
    if (image.isNull()) {
        clearPyramid();
        setImage(image, fit);
        return;
    }
    if (levelCount_ > 0 && levels_[0].cacheKey() == image.cacheKey()) {
        pyramidActive_ = true;
        levelShown_ = 0;
        setImage(image, fit);
        return;
    }
    clearPyramid();
    levels_[0] = image;
    baseSize_ = image.size();
    levelCount_ = 1;
    for (int level = 1; level < kMaxPyramidLevels; ++level) {
        const QImage& previous = levels_[static_cast<std::size_t>(level - 1)];
        if (previous.width() < kPyramidMinWidth || previous.height() / 2 < kPyramidMinHalfHeight)
            break;
        levels_[static_cast<std::size_t>(level)] = previous.scaled(
            previous.width() / 2, previous.height() / 2, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        ++levelCount_;
    }
    pyramidActive_ = true;
    levelShown_ = 0;
    setImage(image, fit);
}

void ImageViewWidget::clearPyramid() {
    levels_.fill(QImage());
    baseSize_ = QSize();
    levelCount_ = 0;
    levelShown_ = 0;
    pyramidActive_ = false;
}

void ImageViewWidget::updateImageTransformationMode() {
    if (imageItem_) {
        imageItem_->setTransformationMode(horizontalScale() < 1.0 ? Qt::SmoothTransformation
                                                                  : Qt::FastTransformation);
    }
}

void ImageViewWidget::choosePyramidLevel() {
    if (!pyramidActive_ || !hasImage() || !imageItem_ || levelCount_ == 0)
        return;
    const double scale = horizontalScale();
    const double lastLevel = levelCount_ - 1;
    double level = 0.0;
    // -log2 grows without bound as the scale tends to 0, so the level is
    // clamped in floating point before it becomes an index.
    if (!(scale > 0.0) || !std::isfinite(scale))
        level = lastLevel;
    else if (scale < 0.5)
        level = std::clamp(std::floor(-std::log2(scale)) - 1.0, 0.0, lastLevel);
    const int chosen = static_cast<int>(level);
    if (chosen == levelShown_)
        return;
    const QImage& levelImage = levels_[static_cast<std::size_t>(chosen)];
    if (levelImage.isNull())
        return;
    pixmap_ = QPixmap::fromImage(levelImage);
    imageItem_->setPixmap(pixmap_);
    levelShown_ = chosen;
    scene_->setSceneRect(QRectF(0, 0, baseSize_.width(), baseSize_.height()));
    imageItem_->setScale(std::ldexp(1.0, chosen));
}

void ImageViewWidget::updateAfterZoom() {
    if (hasImage()) {
        updateImageTransformationMode();
        choosePyramidLevel();
    }
    scheduleDetailTile();
}

void ImageViewWidget::setViewMode(bool fitted, bool oneToOne) {
    if (isFitted_ == fitted && isOneToOne_ == oneToOne)
        return;
    isFitted_ = fitted;
    isOneToOne_ = oneToOne;
    emit viewModeChanged(fitted, oneToOne);
}

bool ImageViewWidget::drawsFitted() const {
    if (!hasImage() || pendingFit_)
        return false;
    const QSizeF size = pyramidActive_ && levelCount_ >= 1 ? QSizeF(baseSize_) : QSizeF(image_.size());
    const QSizeF room = QSizeF(viewport()->size()) - QSizeF(2 * kFitMargin, 2 * kFitMargin);
    if (size.isEmpty() || room.isEmpty())
        return false;
    const double xRatio = room.width() / size.width();
    const double yRatio = room.height() / size.height();
    const double fit = std::min(xRatio, yRatio);
    const double limitingLength = xRatio <= yRatio ? size.width() : size.height();
    const QTransform t = transform();
    return std::abs(t.m11() - fit) * limitingLength <= kFitSlack &&
           std::abs(t.m22() - fit) * limitingLength <= kFitSlack;
}

// The mode follows what is drawn, whatever changed the zoom, the viewport or
// the image; when an image fits at 100 % the mode asked for last stays.
void ImageViewWidget::refreshViewMode() {
    if (pendingFit_)
        return;
    const bool fitted = drawsFitted();
    const bool oneToOne = transform().isIdentity() && (hasImage() || isOneToOne_);
    if (fitted && oneToOne)
        setViewMode(!isOneToOne_, isOneToOne_);
    else
        setViewMode(fitted, oneToOne);
}

void ImageViewWidget::resetTransformToOneToOne() {
    resetTransform();
    setViewMode(false, true);
}

void ImageViewWidget::resetToOneToOne() {
    resetTransformToOneToOne();
    // A reduced pyramid level or a smooth transformation left from a smaller
    // zoom would blur the 100 % view.
    updateAfterZoom();
}

bool ImageViewWidget::applyPendingFit() {
    if (!pendingFit_)
        return false;
    if (!hasImage()) {
        pendingFit_ = false;
        return false;
    }
    // A hidden viewport still has a default size that says nothing about the
    // room it will get, so the fit waits for the show event.
    const QSize size = viewport()->size();
    if (!viewport()->isVisible() || size.width() < 1 || size.height() < 1)
        return true;
    pendingFit_ = false;
    resetTransformToOneToOne();
    QRectF target;
    if (pyramidActive_ && levelCount_ >= 1)
        target = QRectF(0, 0, baseSize_.width(), baseSize_.height());
    else if (imageItem_)
        target = imageItem_->boundingRect();
    fitInView(target, Qt::KeepAspectRatio);
    updateAfterZoom();
    setViewMode(true, false);
    return false;
}

void ImageViewWidget::fitToWindow() {
    if (!hasImage())
        return;
    pendingFit_ = true;
    if (applyPendingFit())
        resetToOneToOne();
}

void ImageViewWidget::syncViewFrom(const ImageViewWidget* other) {
    if (!other)
        return;
    {
        const QSignalBlocker blocker(this);
        setTransform(other->transform());
        horizontalScrollBar()->setValue(other->horizontalScrollBar()->value());
        verticalScrollBar()->setValue(other->verticalScrollBar()->value());
    }
    updateAfterZoom();
    // Only the mode is told: a transform signal would echo back to the other.
    refreshViewMode();
}

void ImageViewWidget::wheelEvent(QWheelEvent* event) {
    const QPoint angle = event->angleDelta();
    if (!(event->modifiers() & Qt::ControlModifier) || angle.isNull()) {
        QGraphicsView::wheelEvent(event);
        return;
    }
    const double current = horizontalScale();
    double factor = std::pow(kWheelZoomBase, angle.y());
    if (current > 0.0 && factor < 1.0)
        factor = std::max(factor, std::min(1.0, kMinimumZoom / current));
    else if (current > 0.0 && factor > 1.0)
        factor = std::min(factor, std::max(1.0, kMaximumZoom / current));
    if (factor == 1.0 && angle.y() != 0) {
        event->accept();
        return;
    }

    // Anchored on the event's own position rather than on QCursor::pos(), which
    // is what QGraphicsView's AnchorUnderMouse would read.
    const QPointF viewPoint = event->position();
    const QPointF anchor = preciseSceneAt(viewPoint);
    const ViewportAnchor previousAnchor = transformationAnchor();
    setTransformationAnchor(QGraphicsView::NoAnchor);
    scale(factor, factor);
    setTransformationAnchor(previousAnchor);
    const QPointF drift = viewportTransform().map(anchor) - viewPoint;
    horizontalScrollBar()->setValue(horizontalScrollBar()->value() + qRound(drift.x()));
    verticalScrollBar()->setValue(verticalScrollBar()->value() + qRound(drift.y()));

    updateAfterZoom();
    refreshViewMode();
    emit transformChanged(transform());
    placePanel();
    event->accept();
}

void ImageViewWidget::scrollContentsBy(int dx, int dy) {
    QGraphicsView::scrollContentsBy(dx, dy);
    emit transformChanged(transform());
    placePanel();
    scheduleDetailTile();
}

void ImageViewWidget::resizeEvent(QResizeEvent* event) {
    const bool wasFitted = isFitted_;
    QGraphicsView::resizeEvent(event);
    // A fitted view stays fitted to its new size, also when the window's own
    // refit ran before the layout had resized the view.
    if (wasFitted && hasImage())
        pendingFit_ = true;
    if (!applyPendingFit())
        refreshViewMode();
    placePanel();
}

void ImageViewWidget::showEvent(QShowEvent* event) {
    QGraphicsView::showEvent(event);
    applyPendingFit();
}

void ImageViewWidget::setDetailTileProvider(DetailTileProvider provider) {
    detailProvider_ = std::move(provider);
    if (!detailProvider_)
        removeDetailTile();
    else
        scheduleDetailTile();
}

void ImageViewWidget::scheduleDetailTile() {
    if (!detailProvider_ || !hasImage())
        return;
    if (horizontalScale() < kDetailTileScale) {
        removeDetailTile();
        return;
    }
    if (!detailTimer_) {
        detailTimer_ = new QTimer(this);
        detailTimer_->setObjectName(QStringLiteral("detailTileTimer"));
        detailTimer_->setSingleShot(true);
        detailTimer_->setInterval(kDetailTileDelayMs);
        connect(detailTimer_, &QTimer::timeout, this, [this] { updateDetailTile(); });
    }
    detailTimer_->start();
}

void ImageViewWidget::updateDetailTile() {
    if (!detailProvider_ || !hasImage() || !viewport())
        return;
    const double scale = horizontalScale();
    if (scale < kDetailTileScale) {
        removeDetailTile();
        return;
    }
    const QRectF visible = mapToScene(viewport()->rect()).boundingRect().intersected(sceneRect());
    if (visible.isEmpty())
        return;
    if (!detailRect_.isEmpty() && detailRect_.contains(visible))
        return;
    const DetailTile tile = detailProvider_(visible, scale);
    removeDetailTile();
    if (tile.image.isNull() || tile.sceneRect.isEmpty())
        return;
    detailItem_ = scene_->addPixmap(QPixmap::fromImage(tile.image));
    detailItem_->setZValue(0.5);
    detailItem_->setTransformationMode(Qt::SmoothTransformation);
    detailItem_->setPos(tile.sceneRect.topLeft());
    detailItem_->setScale(tile.sceneRect.width() / tile.image.width());
    detailRect_ = tile.sceneRect;
}

void ImageViewWidget::removeDetailTile() {
    destroyItem(detailItem_);
    detailItem_ = nullptr;
    detailRect_ = QRectF();
}

void ImageViewWidget::setInspector(Inspector inspector) {
    inspector_ = std::move(inspector);
    inspect_ = static_cast<bool>(inspector_);
    if (!inspect_)
        clearMarkers();
    restoreModeCursor();
}

void ImageViewWidget::updateHoverValue(const QPointF& viewPoint, Qt::MouseButtons buttons) {
    const QPointF scenePoint = preciseSceneAt(viewPoint);
    const bool inside = hasImage() && imageRect().contains(scenePoint);
    if (clickPending_ && (buttons & Qt::LeftButton)) {
        const QPointF moved = scenePoint - clickPressPoint_;
        if (moved.x() * moved.x() + moved.y() * moved.y() > 9.0 || !inside)
            clickPending_ = false;
    }
    if (!inspector_ || !inside) {
        emit hoverValueChanged(QString(), false);
        return;
    }
    const std::optional<InspectValue> value = inspector_(pixelAt(scenePoint));
    if (!value)
        emit hoverValueChanged(QString(), false);
    else
        emit hoverValueChanged(value->status.isEmpty() ? value->label : value->status, true);
}

}  // namespace tavro::gui
