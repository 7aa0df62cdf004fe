#pragma once

#include <QCursor>
#include <QGraphicsView>
#include <QImage>
#include <QPixmap>
#include <QPointF>
#include <QRect>
#include <QRectF>
#include <QString>
#include <QTransform>

#include <array>
#include <functional>
#include <optional>
#include <vector>

class QGraphicsEllipseItem;
class QGraphicsItem;
class QGraphicsLineItem;
class QGraphicsPixmapItem;
class QGraphicsRectItem;
class QGraphicsSimpleTextItem;
class QTimer;

namespace tavro::gui {

class LineProfileWidget;

// The zoomable, pannable view of every image of the window. Scene coordinates
// are the pixel coordinates of the displayed image (pixel (i, j) covers
// (i, j)-(i+1, j+1)). Large images are shown through a pyramid of halved
// copies; a reduced rendering of larger data gets a full-resolution detail tile
// from its owner once magnified. Overlays: a region of interest, point markers,
// a mask overlay, a highlighted mosaic tile and a line profile with its panel.
class ImageViewWidget : public QGraphicsView {
    Q_OBJECT

public:
    struct InspectValue {
        QString label;   // pinned on a point marker
        QString status;  // the hover read-out
    };
    struct DetailTile {
        QImage image;
        QRectF sceneRect;
    };
    struct LineProfile {
        std::vector<float> values;
        QString label;
        double length = 0.0;
        bool valid = false;
    };
    using Inspector = std::function<std::optional<InspectValue>(const QPoint& pixel)>;
    using LineProfileProvider = std::function<LineProfile(const QPointF& start, const QPointF& end)>;
    using DetailTileProvider = std::function<DetailTile(const QRectF& visibleSceneRect, double scale)>;

    // The zoom range that the wheel may reach; a fit may go below it for huge
    // images, and the wheel then only zooms in.
    static constexpr double kMinimumZoom = 1.0 / 4096.0;
    static constexpr double kMaximumZoom = 512.0;
    static constexpr int kMaxPyramidLevels = 5;

    explicit ImageViewWidget(QWidget* parent = nullptr);
    ~ImageViewWidget() override;

    QSize sizeHint() const override;

    void setImage(const QImage& image, bool fit);
    void setImageWithPyramid(const QImage& image, bool fit);
    void fitToWindow();
    void resetToOneToOne();
    void syncViewFrom(const ImageViewWidget* other);
    void setDetailTileProvider(DetailTileProvider provider);
    void setInspector(Inspector inspector);
    void setCtrlPanEnabled(bool enabled);

    void setRoiSelectionEnabled(bool enabled);
    void setRoi(const QRect& rect);
    void clearRoi();
    void setMarkersEnabled(bool enabled);
    void clearMarkers();
    // Pixels whose mask sample is 0 are shown in red; a null mask removes it.
    void setMaskOverlay(const QImage& mask);
    void setTileHighlight(const QRect& rect, int index);
    void hideTileHighlight();
    void setProfileMode(bool enabled);
    void setLineProfileProvider(LineProfileProvider provider);
    void removeProfile();

    const QImage& image() const { return image_; }
    QRect roi() const { return roi_; }
    bool isFitted() const { return isFitted_; }
    bool isOneToOne() const { return isOneToOne_; }
    bool isRoiSelectionEnabled() const { return roiSelection_; }
    bool isProfileMode() const { return profileMode_; }
    int pyramidLevelCount() const { return levelCount_; }
    int shownPyramidLevel() const { return levelShown_; }
    QImage pyramidLevel(int level) const;
    std::vector<QPoint> markerPixels() const;
    std::vector<QString> markerLabels() const;
    bool hasProfile() const { return hasProfile_; }
    QPointF profileStart() const { return profileStart_; }
    QPointF profileEnd() const { return profileEnd_; }
    // Null until profile mode is first switched on.
    LineProfileWidget* profilePanel() const { return panel_; }
    QRectF detailTileRect() const { return detailRect_; }

signals:
    void transformChanged(QTransform transform);
    void viewModeChanged(bool isFitted, bool isOneToOne);
    void viewClicked();
    void hoverValueChanged(const QString& value, bool hasValue);
    void roiChanged(QRect roi);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;

private:
    enum class DragMode { None = 0, CreatingRoi = 1, MovingRoi = 2, ResizingRoi = 3, DrawingProfile = 4 };
    enum RoiHandle {
        NoHandle = 0,
        LeftEdge = 1,
        RightEdge = 2,
        TopEdge = 3,
        BottomEdge = 4,
        TopLeft = 5,
        TopRight = 6,
        BottomLeft = 7,
        BottomRight = 8
    };
    struct Marker {
        QPoint pixel;
        QPointF scenePos;
        QString label;
        QGraphicsEllipseItem* dot = nullptr;
        QGraphicsRectItem* labelBackground = nullptr;
        QGraphicsSimpleTextItem* labelText = nullptr;
    };

    // Scene, zoom and detail tiles (image_view_widget.cpp).
    bool hasImage() const { return !image_.isNull(); }
    QRectF imageRect() const;
    QPointF clampToImage(const QPointF& scenePoint) const;
    QPoint pixelAt(const QPointF& scenePoint) const;
    QPointF preciseSceneAt(const QPointF& viewPoint) const;
    double sceneLength(double viewPixels) const;
    double horizontalScale() const { return transform().m11(); }
    void setViewMode(bool fitted, bool oneToOne);
    bool drawsFitted() const;
    void refreshViewMode();
    void resetTransformToOneToOne();
    bool applyPendingFit();
    void updateAfterZoom();
    void updateImageTransformationMode();
    void choosePyramidLevel();
    void clearPyramid();
    void scheduleDetailTile();
    void updateDetailTile();
    void removeDetailTile();
    void updateHoverValue(const QPointF& viewPoint, Qt::MouseButtons buttons);

    // Overlays and interaction (image_view_interaction.cpp).
    void destroyItem(QGraphicsItem* item);
    void ensureRoiItems();
    void drawRoiRect(const QRectF& rect);
    void refreshRoiDrawing();
    void endDrag();
    int roiHandleAt(const QPointF& scenePoint) const;
    QRectF resizedRoi(const QPointF& scenePoint) const;
    bool pressRoi(const QPointF& scenePoint);
    void moveRoiDrag(const QPointF& scenePoint);
    void releaseRoiDrag(const QPointF& scenePoint);
    void setRoiFromDrag(const QRectF& rect);
    void addMarker(const QPointF& scenePoint);
    void createMarkerItems(Marker& marker);
    void deleteMarkerItems(Marker& marker);
    void removeMarker(std::size_t index);
    int markerAt(const QPointF& scenePoint) const;
    void rebuildMaskOverlay();
    void ensureProfileItems();
    void ensurePanel();
    void drawProfile();
    void takeProfile();
    void startProfileDrag(const QPointF& scenePoint);
    void showPanelAfterSettling();
    void placePanel();
    QRect panelRectFor(int direction, const QPointF& anchor, const QSize& size) const;
    bool panelFits(int direction, const QPointF& start, const QPointF& end, const QSize& size) const;
    void choosePanelDirection(const QSize& size);
    double distanceToProfile(const QPointF& viewPoint) const;
    bool ctrlPanAllowed() const;
    const QCursor& crosshairCursor();
    QCursor cursorFor(Qt::CursorShape shape);
    void setCursorThroughCache(Qt::CursorShape shape);
    void applyViewportCursor(Qt::CursorShape shape);
    void clearViewportCursor();
    void updateHoverCursor(const QPointF& scenePoint);
    void restoreModeCursor();

    QGraphicsScene* scene_ = nullptr;
    QGraphicsPixmapItem* imageItem_ = nullptr;
    QPixmap pixmap_;
    QImage image_;

    std::array<QImage, kMaxPyramidLevels> levels_;
    QSize baseSize_;
    int levelCount_ = 0;
    int levelShown_ = 0;
    bool pyramidActive_ = false;

    DetailTileProvider detailProvider_;
    QGraphicsPixmapItem* detailItem_ = nullptr;
    QRectF detailRect_;
    QTimer* detailTimer_ = nullptr;

    Inspector inspector_;
    bool inspect_ = false;
    bool pendingFit_ = false;
    bool isFitted_ = false;
    bool isOneToOne_ = false;
    bool ctrlPanEnabled_ = false;
    bool markersEnabled_ = true;
    bool roiSelection_ = false;
    bool profileMode_ = false;

    QRect roi_;
    DragMode dragMode_ = DragMode::None;
    int handle_ = NoHandle;
    QPointF pressPoint_;
    QRect roiAtPress_;
    QPointF bandStart_;
    QRectF rubberBand_;
    bool roiEmittedDuringDrag_ = false;
    QGraphicsRectItem* roiRectItem_ = nullptr;
    QGraphicsLineItem* roiCrossHorizontal_ = nullptr;
    QGraphicsLineItem* roiCrossVertical_ = nullptr;

    std::vector<Marker> markers_;
    bool clickPending_ = false;
    QPointF clickPressPoint_;

    QImage maskImage_;
    QGraphicsPixmapItem* maskItem_ = nullptr;

    QGraphicsRectItem* tileRectItem_ = nullptr;
    QGraphicsSimpleTextItem* tileTextItem_ = nullptr;

    LineProfileProvider profileProvider_;
    QPointF profileStart_;
    QPointF profileEnd_;
    bool hasProfile_ = false;
    bool panelShown_ = false;
    bool profilePressPending_ = false;
    QPointF profilePressPoint_;
    int panelDirection_ = -1;
    QGraphicsLineItem* profileLine_ = nullptr;
    QGraphicsEllipseItem* profileStartHandle_ = nullptr;
    QGraphicsEllipseItem* profileEndHandle_ = nullptr;
    LineProfileWidget* panel_ = nullptr;
    QTimer* settleTimer_ = nullptr;

    int cachedCursorShape_ = Qt::ArrowCursor;
    bool cursorCached_ = false;
    QCursor crosshair_;
    qreal crosshairRatio_ = 0.0;
};

}  // namespace tavro::gui
