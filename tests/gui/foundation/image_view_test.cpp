#include "gui/foundation/image_view_widget.h"
#include "gui/foundation/line_profile_widget.h"
#include "support/test_application.h"
#include "menu_responder.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QGraphicsPixmapItem>
#include <QGraphicsRectItem>
#include <QGraphicsScene>
#include <QGraphicsSimpleTextItem>
#include <QMenu>
#include <QMouseEvent>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QWheelEvent>

#include <gtest/gtest.h>

#include <cmath>

namespace tavro::gui {
namespace {

using widget_test::MenuResponder;

using Inspect = ImageViewWidget::InspectValue;

QImage greyImage(int width, int height, int level = 128) {
    QImage image(width, height, QImage::Format_Grayscale8);
    image.fill(QColor(level, level, level));
    return image;
}

// Items are found by their documented z values, the overlay's only identity.
template <typename Item>
Item* itemAtZ(const ImageViewWidget& view, double z) {
    for (QGraphicsItem* item : view.scene()->items()) {
        if (item->zValue() == z)
            if (auto* typed = dynamic_cast<Item*>(item))
                return typed;
    }
    return nullptr;
}

void fireTimer(const ImageViewWidget& view, const char* name) {
    auto* timer = view.findChild<QTimer*>(QString::fromLatin1(name));
    ASSERT_NE(timer, nullptr) << name;
    timer->stop();
    QMetaObject::invokeMethod(timer, "timeout");
}

bool timerActive(const ImageViewWidget& view, const char* name) {
    const auto* timer = view.findChild<QTimer*>(QString::fromLatin1(name));
    return timer && timer->isActive();
}

class ImageView : public ::testing::Test {
protected:
    void SetUp() override { test::testApplication(); }

    void showWithViewport(QSize size) {
        const int frame = 2 * view.frameWidth();
        view.resize(size + QSize(frame, frame));
        view.show();
        ASSERT_EQ(view.viewport()->size(), size);
    }
    // A shown viewport of 300 x 200 unless told, over an unfitted image.
    void showImage(QImage image = greyImage(200, 150), QSize viewport = QSize(300, 200)) {
        showWithViewport(viewport);
        view.setImage(image, false);
    }

    // Sets the zoom through the synchronisation path, which is what the main
    // window uses and which runs the zoom-dependent updates.
    void zoomTo(double scale) {
        ImageViewWidget source;
        source.setTransform(QTransform::fromScale(scale, scale));
        view.syncViewFrom(&source);
    }

    QPointF toView(QPointF scenePoint) const { return view.viewportTransform().map(scenePoint); }

    bool mouse(QEvent::Type type, QPointF viewPos, Qt::MouseButton button, Qt::MouseButtons buttons,
               Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        QMouseEvent event(type, viewPos, view.viewport()->mapToGlobal(viewPos), button, buttons, modifiers);
        QApplication::sendEvent(view.viewport(), &event);
        return event.isAccepted();
    }
    void pressAt(QPointF scenePoint, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        mouse(QEvent::MouseButtonPress, toView(scenePoint), Qt::LeftButton, Qt::LeftButton, modifiers);
    }
    void moveHeldTo(QPointF scenePoint, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        mouse(QEvent::MouseMove, toView(scenePoint), Qt::NoButton, Qt::LeftButton, modifiers);
    }
    void hoverAt(QPointF scenePoint) { mouse(QEvent::MouseMove, toView(scenePoint), Qt::NoButton, Qt::NoButton); }
    void releaseAt(QPointF scenePoint) {
        mouse(QEvent::MouseButtonRelease, toView(scenePoint), Qt::LeftButton, Qt::NoButton);
    }
    void drag(QPointF from, QPointF to) {
        pressAt(from);
        moveHeldTo(to);
        releaseAt(to);
    }
    void click(QPointF scenePoint) {
        pressAt(scenePoint);
        releaseAt(scenePoint);
    }
    void wheel(int angle, QPointF viewPos, Qt::KeyboardModifiers modifiers = Qt::ControlModifier) {
        QWheelEvent event(viewPos, view.viewport()->mapToGlobal(viewPos), QPoint(), QPoint(0, angle), Qt::NoButton,
                          modifiers, Qt::NoScrollPhase, false);
        QApplication::sendEvent(view.viewport(), &event);
    }
    bool rightClickAtView(QPointF viewPos) {
        const QPoint pos = viewPos.toPoint();
        QContextMenuEvent event(QContextMenuEvent::Mouse, pos, view.viewport()->mapToGlobal(pos));
        QApplication::sendEvent(view.viewport(), &event);
        return event.isAccepted();
    }
    Qt::CursorShape viewportCursor() const {
        return view.viewport()->testAttribute(Qt::WA_SetCursor) ? view.viewport()->cursor().shape()
                                                                : Qt::ArrowCursor;
    }
    void useInspector() {
        view.setInspector([](const QPoint& p) -> std::optional<Inspect> {
            return Inspect{QStringLiteral("I(%1, %2) = 7").arg(p.x()).arg(p.y()),
                           QStringLiteral("Pixel (%1, %2) : 7").arg(p.x()).arg(p.y())};
        });
    }

    // The members are widgets, so the application must exist before them.
    const bool applicationReady_ = (test::testApplication(), true);
    ImageViewWidget view;
    QSignalSpy roiChanges{&view, &ImageViewWidget::roiChanged};
    QSignalSpy modeChanges{&view, &ImageViewWidget::viewModeChanged};
};

using ImageViewPyramid = ImageView;
using ImageViewZoom = ImageView;
using ImageViewDetailTile = ImageView;
using ImageViewHover = ImageView;
using ImageViewRoi = ImageView;
using ImageViewMarkers = ImageView;
using ImageViewOverlays = ImageView;
using ImageViewProfile = ImageView;
using ImageViewContextMenu = ImageView;
using ImageViewCursor = ImageView;

TEST_F(ImageViewPyramid, LevelsHalveUntilTooNarrowOrTooLowAndStopAtFive) {
    view.setImageWithPyramid(greyImage(100, 60), false);
    EXPECT_EQ(view.pyramidLevelCount(), 1);
    view.setImageWithPyramid(greyImage(300, 100), false);
    EXPECT_EQ(view.pyramidLevelCount(), 1);
    view.setImageWithPyramid(greyImage(300, 128), false);
    EXPECT_EQ(view.pyramidLevelCount(), 2);
    view.setImageWithPyramid(greyImage(2048, 2048), false);
    ASSERT_EQ(view.pyramidLevelCount(), 5);
    for (int level = 0; level < 5; ++level)
        EXPECT_EQ(view.pyramidLevel(level).size(), QSize(2048 >> level, 2048 >> level)) << level;
    view.setImage(greyImage(10, 10), false);
    EXPECT_EQ(view.pyramidLevelCount(), 0) << "a plain image of another identity drops the pyramid";
}

TEST_F(ImageViewPyramid, SameImageReusesItsLevelsAndAModifiedCopyRebuildsThem) {
    QImage image = greyImage(512, 512);
    view.setImageWithPyramid(image, false);
    const qint64 firstKey = view.pyramidLevel(1).cacheKey();
    view.setImageWithPyramid(image, false);
    EXPECT_EQ(view.pyramidLevel(1).cacheKey(), firstKey);
    image.setPixel(0, 0, 0);
    view.setImageWithPyramid(image, false);
    EXPECT_NE(view.pyramidLevel(1).cacheKey(), firstKey);
}

TEST_F(ImageViewPyramid, ShownLevelFollowsTheZoomAndCoversTheBaseImage) {
    view.setImageWithPyramid(greyImage(2048, 2048), false);
    const struct {
        double scale;
        int level;
    } cases[] = {{1.0, 0}, {0.5, 0}, {0.3, 0}, {0.25, 1}, {0.125, 2}, {0.1, 2}, {0.01, 4}, {1e-12, 4}};
    for (const auto& c : cases) {
        zoomTo(c.scale);
        EXPECT_EQ(view.shownPyramidLevel(), c.level) << c.scale;
        const auto* item = itemAtZ<QGraphicsPixmapItem>(view, 0.0);
        ASSERT_NE(item, nullptr);
        EXPECT_EQ(item->scale(), std::ldexp(1.0, c.level)) << c.scale;
        EXPECT_EQ(item->sceneBoundingRect().width(), 2048.0) << c.scale;
        EXPECT_EQ(view.sceneRect(), QRectF(0, 0, 2048, 2048));
    }
}

TEST_F(ImageViewZoom, FitWaitsForAShownViewportMeanwhileShowingOneToOne) {
    view.setImage(greyImage(400, 200), false);
    view.fitToWindow();
    ASSERT_EQ(modeChanges.count(), 1);
    EXPECT_EQ(modeChanges.at(0), (QList<QVariant>{false, true}));
    showWithViewport(QSize(200, 200));
    ASSERT_EQ(modeChanges.count(), 2);
    EXPECT_EQ(modeChanges.at(1), (QList<QVariant>{true, false}));
    EXPECT_TRUE(view.isFitted());
    EXPECT_NEAR(view.transform().m11(), (200.0 - 4.0) / 400.0, 1e-9) << "fitInView keeps a 2-pixel margin";
}

TEST_F(ImageViewZoom, OneToOneIsSignalledOnlyWhenTheModeChanges) {
    showWithViewport(QSize(300, 200));
    view.setImage(greyImage(600, 400), true);
    ASSERT_EQ(modeChanges.count(), 2) << "a fit passes through 1:1";
    EXPECT_EQ(modeChanges.at(0), (QList<QVariant>{false, true}));
    EXPECT_EQ(modeChanges.at(1), (QList<QVariant>{true, false}));
    view.resetToOneToOne();
    view.resetToOneToOne();
    EXPECT_EQ(modeChanges.count(), 3);
    EXPECT_TRUE(view.transform().isIdentity());
    view.fitToWindow();
    view.fitToWindow();
    EXPECT_EQ(modeChanges.count(), 6);
    EXPECT_EQ(modeChanges.at(5), (QList<QVariant>{true, false}));
}

TEST_F(ImageViewZoom, ControlWheelZoomsAroundThePointerAndBack) {
    showWithViewport(QSize(300, 200));
    view.setImage(greyImage(600, 400), true);
    QSignalSpy transforms(&view, &ImageViewWidget::transformChanged);
    const double start = view.transform().m11();
    const QPointF pointer(80, 60);
    const QPointF underPointer = view.mapToScene(pointer.toPoint());
    modeChanges.clear();

    wheel(120, pointer);
    EXPECT_NEAR(view.transform().m11() / start, std::pow(1.0015, 120), 1e-9);
    EXPECT_EQ(modeChanges.count(), 1);
    EXPECT_EQ(modeChanges.at(0), (QList<QVariant>{false, false}));
    wheel(120, pointer);
    EXPECT_EQ(modeChanges.count(), 1);
    EXPECT_GE(transforms.count(), 2);
    const QPointF stillUnder = view.mapToScene(pointer.toPoint());
    EXPECT_NEAR(stillUnder.x(), underPointer.x(), 1.0);
    EXPECT_NEAR(stillUnder.y(), underPointer.y(), 1.0);

    wheel(-120, pointer);
    wheel(-120, pointer);
    EXPECT_NEAR(view.transform().m11(), start, 1e-12);

    const QTransform before = view.transform();
    wheel(120, pointer, Qt::NoModifier);
    EXPECT_EQ(view.transform(), before) << "without Control the wheel scrolls";
}

TEST_F(ImageViewZoom, WheelZoomStaysWithinItsBounds) {
    showWithViewport(QSize(300, 200));
    view.setImageWithPyramid(greyImage(512, 512), false);
    for (int i = 0; i < 60; ++i)
        wheel(-1200, QPointF(150, 100));
    EXPECT_GE(view.transform().m11(), ImageViewWidget::kMinimumZoom * (1.0 - 1e-9));
    EXPECT_EQ(view.shownPyramidLevel(), view.pyramidLevelCount() - 1);
    for (int i = 0; i < 120; ++i)
        wheel(1200, QPointF(150, 100));
    EXPECT_LE(view.transform().m11(), ImageViewWidget::kMaximumZoom * (1.0 + 1e-9));
    EXPECT_EQ(view.shownPyramidLevel(), 0);
}

TEST_F(ImageViewZoom, SynchronisedViewsFollowEachOtherSilently) {
    showWithViewport(QSize(300, 200));
    ImageViewWidget other;
    other.resize(view.size());
    other.show();
    view.setImage(greyImage(600, 400), true);
    other.setImage(greyImage(600, 400), true);
    QObject::connect(&view, &ImageViewWidget::transformChanged, &other, [&] { other.syncViewFrom(&view); });
    QObject::connect(&other, &ImageViewWidget::transformChanged, &view, [&] { view.syncViewFrom(&other); });
    QSignalSpy otherTransforms(&other, &ImageViewWidget::transformChanged);
    QSignalSpy otherModes(&other, &ImageViewWidget::viewModeChanged);

    wheel(360, QPointF(40, 40));
    EXPECT_EQ(other.transform(), view.transform());
    EXPECT_EQ(other.horizontalScrollBar()->value(), view.horizontalScrollBar()->value());
    EXPECT_EQ(other.verticalScrollBar()->value(), view.verticalScrollBar()->value());
    EXPECT_EQ(otherTransforms.count(), 0);
    // The follower no longer draws a fit, and says so (without echoing a transform).
    ASSERT_EQ(otherModes.count(), 1);
    EXPECT_EQ(otherModes.at(0), (QList<QVariant>{false, false}));
    EXPECT_FALSE(other.isFitted());

    const QTransform before = other.transform();
    other.syncViewFrom(nullptr);
    EXPECT_EQ(other.transform(), before);
}

TEST_F(ImageViewDetailTile, AskedOnlyWhenMagnifiedAndStill) {
    showImage();
    std::vector<std::pair<QRectF, double>> requests;
    view.setDetailTileProvider([&](const QRectF& visible, double scale) {
        requests.emplace_back(visible, scale);
        return ImageViewWidget::DetailTile{greyImage(400, 300, 255), QRectF(0, 0, 200, 150)};
    });

    zoomTo(1.19);
    EXPECT_FALSE(timerActive(view, "detailTileTimer"));
    zoomTo(1.2);
    ASSERT_TRUE(timerActive(view, "detailTileTimer"));
    EXPECT_EQ(view.findChild<QTimer*>(QStringLiteral("detailTileTimer"))->interval(), 150);
    EXPECT_TRUE(requests.empty());
    fireTimer(view, "detailTileTimer");
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_DOUBLE_EQ(requests[0].second, 1.2);
    EXPECT_EQ(requests[0].first, QRectF(0, 0, 200, 150)) << "the whole image is visible at 1.2";
    const auto* tile = itemAtZ<QGraphicsPixmapItem>(view, 0.5);
    ASSERT_NE(tile, nullptr);
    EXPECT_EQ(tile->sceneBoundingRect(), QRectF(0, 0, 200, 150));
    EXPECT_EQ(tile->transformationMode(), Qt::SmoothTransformation);

    zoomTo(3.0);
    view.horizontalScrollBar()->setValue(view.horizontalScrollBar()->value() + 30);
    fireTimer(view, "detailTileTimer");
    EXPECT_EQ(requests.size(), 1u) << "the current tile still covers the view";

    zoomTo(1.19);
    EXPECT_EQ(itemAtZ<QGraphicsPixmapItem>(view, 0.5), nullptr);
    EXPECT_TRUE(view.detailTileRect().isEmpty());
}

TEST_F(ImageViewDetailTile, NullTileOrEmptyProviderRemovesTheTile) {
    showImage();
    bool giveTile = true;
    view.setDetailTileProvider([&](const QRectF&, double) {
        if (!giveTile)
            return ImageViewWidget::DetailTile{};
        return ImageViewWidget::DetailTile{greyImage(10, 10), QRectF(0, 0, 50, 50)};
    });
    zoomTo(2.0);
    fireTimer(view, "detailTileTimer");
    ASSERT_NE(itemAtZ<QGraphicsPixmapItem>(view, 0.5), nullptr);
    EXPECT_EQ(itemAtZ<QGraphicsPixmapItem>(view, 0.5)->scale(), 5.0);
    giveTile = false;
    view.horizontalScrollBar()->setValue(view.horizontalScrollBar()->maximum());
    fireTimer(view, "detailTileTimer");
    EXPECT_EQ(itemAtZ<QGraphicsPixmapItem>(view, 0.5), nullptr);

    giveTile = true;
    view.horizontalScrollBar()->setValue(0);
    fireTimer(view, "detailTileTimer");
    ASSERT_NE(itemAtZ<QGraphicsPixmapItem>(view, 0.5), nullptr);
    view.setDetailTileProvider({});
    EXPECT_EQ(itemAtZ<QGraphicsPixmapItem>(view, 0.5), nullptr);
}

TEST_F(ImageViewHover, ReadOutNamesThePixelUnderTheSubPixelPointer) {
    showImage();
    QSignalSpy hover(&view, &ImageViewWidget::hoverValueChanged);
    hoverAt(QPointF(10, 10));
    ASSERT_EQ(hover.count(), 1);
    EXPECT_EQ(hover.at(0), (QList<QVariant>{QString(), false})) << "no inspector";

    std::vector<QPoint> asked;
    view.setInspector([&](const QPoint& p) -> std::optional<Inspect> {
        asked.push_back(p);
        if (p.x() == 0)
            return std::nullopt;
        return Inspect{QStringLiteral("label"), p.x() == 1 ? QString() : QStringLiteral("status")};
    });
    zoomTo(2.0);
    // Rounding the view point to whole pixels would name pixel 38.
    hoverAt(QPointF(37.95, 21.05));
    ASSERT_FALSE(asked.empty());
    EXPECT_EQ(asked.back(), QPoint(37, 21));
    EXPECT_EQ(hover.last(), (QList<QVariant>{QStringLiteral("status"), true}));
    hoverAt(QPointF(1.5, 3.5));
    EXPECT_EQ(hover.last(), (QList<QVariant>{QStringLiteral("label"), true}));
    hoverAt(QPointF(0.5, 3.5));
    EXPECT_EQ(hover.last(), (QList<QVariant>{QString(), false}));

    zoomTo(0.5);
    const std::size_t asksBefore = asked.size();
    hoverAt(QPointF(-5, 10));
    EXPECT_EQ(hover.last(), (QList<QVariant>{QString(), false}));
    EXPECT_EQ(asked.size(), asksBefore);
    hoverAt(QPointF(200, 150));
    EXPECT_EQ(asked.back(), QPoint(199, 149)) << "the far edge belongs to the last pixel";
}

TEST_F(ImageViewRoi, NewRegionIsTheRoundedBandReportedFromThreeByThree) {
    showImage();
    view.setRoiSelectionEnabled(true);
    zoomTo(10.0);
    view.horizontalScrollBar()->setValue(0);
    view.verticalScrollBar()->setValue(0);

    pressAt(QPointF(10.4, 20.6));
    moveHeldTo(QPointF(12.2, 22.4));
    EXPECT_EQ(roiChanges.count(), 0) << "a 2 x 1 band is not reported while moving";
    moveHeldTo(QPointF(50.2, 40.4));
    ASSERT_EQ(roiChanges.count(), 1);
    EXPECT_EQ(view.roi(), QRect(10, 21, 40, 19));
    const auto* band = itemAtZ<QGraphicsRectItem>(view, 10.0);
    ASSERT_NE(band, nullptr);
    EXPECT_EQ(band->rect(), QRectF(QPointF(10, 21), QPointF(50, 40)));
    releaseAt(QPointF(50.2, 40.4));
    ASSERT_EQ(roiChanges.count(), 2);
    EXPECT_EQ(roiChanges.last().at(0).toRect(), QRect(10, 21, 40, 19));

    roiChanges.clear();
    pressAt(QPointF(80.2, 80.2));
    moveHeldTo(QPointF(81.6, 81.6));
    releaseAt(QPointF(81.6, 81.6));
    ASSERT_EQ(roiChanges.count(), 1) << "a 2 x 2 drag is reported on release";
    EXPECT_EQ(view.roi(), QRect(80, 80, 2, 2));
}

TEST_F(ImageViewRoi, ClickRemovesTheRegionUnlessItPlacesAMarker) {
    showImage();
    view.setRoiSelectionEnabled(true);
    view.setRoi(QRect(10, 10, 50, 50));
    roiChanges.clear();
    click(QPointF(100, 100));
    ASSERT_EQ(roiChanges.count(), 1);
    EXPECT_TRUE(roiChanges.at(0).at(0).toRect().isNull());
    EXPECT_TRUE(view.roi().isNull());

    useInspector();
    view.setRoi(QRect(10, 10, 50, 50));
    roiChanges.clear();
    click(QPointF(100, 100));
    EXPECT_EQ(roiChanges.count(), 0);
    EXPECT_EQ(view.roi(), QRect(10, 10, 50, 50));
    EXPECT_EQ(view.markerPixels(), std::vector<QPoint>{QPoint(100, 100)});
}

TEST_F(ImageViewRoi, ADragThatEndsWhereItStartedLeavesTheOwnerInStep) {
    showImage();
    view.setRoiSelectionEnabled(true);
    pressAt(QPointF(20, 20));
    moveHeldTo(QPointF(40, 40));
    moveHeldTo(QPointF(20, 40));
    releaseAt(QPointF(20, 40));
    ASSERT_GE(roiChanges.count(), 2);
    EXPECT_TRUE(roiChanges.last().at(0).toRect().isNull()) << "the region reported during the drag is withdrawn";
    EXPECT_TRUE(view.roi().isNull());
}

TEST_F(ImageViewRoi, MovedRegionStopsFlushWithTheImageAndKeepsItsSize) {
    showImage();
    view.setRoiSelectionEnabled(true);
    view.setRoi(QRect(40, 30, 100, 50));
    pressAt(QPointF(90, 55));
    moveHeldTo(QPointF(120.4, 54.6));
    EXPECT_EQ(view.roi(), QRect(70, 30, 100, 50));
    moveHeldTo(QPointF(200, 55));
    EXPECT_EQ(view.roi(), QRect(100, 30, 100, 50));
    moveHeldTo(QPointF(0, 0));
    EXPECT_EQ(view.roi(), QRect(0, 0, 100, 50));
    roiChanges.clear();
    releaseAt(QPointF(0, 0));
    ASSERT_EQ(roiChanges.count(), 1);
    EXPECT_EQ(roiChanges.at(0).at(0).toRect(), QRect(0, 0, 100, 50));
}

TEST_F(ImageViewRoi, EachHandleResizesItsOwnSidesWithItsCursor) {
    showImage();
    view.setRoiSelectionEnabled(true);
    const struct {
        QPointF grab;
        QPointF offset;
        QRect expected;
        Qt::CursorShape cursor;
    } cases[] = {
        {{40, 55}, {-10, 0}, {30, 30, 110, 50}, Qt::SizeHorCursor},
        {{140, 55}, {10, 0}, {40, 30, 110, 50}, Qt::SizeHorCursor},
        {{90, 30}, {0, -10}, {40, 20, 100, 60}, Qt::SizeVerCursor},
        {{90, 80}, {0, 10}, {40, 30, 100, 60}, Qt::SizeVerCursor},
        {{40, 30}, {-10, -10}, {30, 20, 110, 60}, Qt::SizeFDiagCursor},
        {{140, 30}, {10, -10}, {40, 20, 110, 60}, Qt::SizeBDiagCursor},
        {{40, 80}, {-10, 10}, {30, 30, 110, 60}, Qt::SizeBDiagCursor},
        {{140, 80}, {10, 10}, {40, 30, 110, 60}, Qt::SizeFDiagCursor},
        {{45, 55}, {200, 0}, {139, 30, 1, 50}, Qt::SizeHorCursor},
        {{138, 78}, {100, 100}, {40, 30, 160, 120}, Qt::SizeFDiagCursor},
    };
    for (const auto& c : cases) {
        view.setRoi(QRect(40, 30, 100, 50));
        hoverAt(c.grab);
        EXPECT_EQ(viewportCursor(), c.cursor) << c.grab.x() << ", " << c.grab.y();
        drag(c.grab, c.grab + c.offset);
        EXPECT_EQ(view.roi(), c.expected) << c.grab.x() << ", " << c.grab.y();
    }
    view.setRoi(QRect(0, 0, 100, 50));
    drag(QPointF(100, 25), QPointF(100.4, 25));
    EXPECT_EQ(view.roi(), QRect(0, 0, 100, 50));
    drag(QPointF(100, 25), QPointF(120, 25));
    EXPECT_EQ(view.roi(), QRect(0, 0, 120, 50));
    hoverAt(QPointF(60, 25));
    EXPECT_EQ(viewportCursor(), Qt::SizeAllCursor);
    hoverAt(QPointF(160, 100));
    EXPECT_EQ(viewportCursor(), Qt::BitmapCursor) << "the drawn crosshair outside the region";

    zoomTo(4.0);
    view.setRoi(QRect(0, 0, 100, 50));
    drag(QPointF(99.75, 25), QPointF(100.0, 25));
    EXPECT_EQ(view.roi(), QRect(0, 0, 100, 50)) << "grabbed between pixels, the edge stays on a pixel boundary";
    drag(QPointF(99.75, 25), QPointF(110.5, 25));
    EXPECT_EQ(view.roi(), QRect(0, 0, 111, 50));
}

TEST_F(ImageViewRoi, ControlPressPansInsteadOfStartingARegion) {
    showImage(greyImage(800, 600));
    view.setRoiSelectionEnabled(true);
    view.setCtrlPanEnabled(true);
    QTest::keyPress(&view, Qt::Key_Control);
    EXPECT_EQ(view.dragMode(), QGraphicsView::ScrollHandDrag);
    EXPECT_EQ(view.cursor().shape(), Qt::OpenHandCursor);
    const int horizontal = view.horizontalScrollBar()->value();
    const QPointF start(150, 100);
    mouse(QEvent::MouseButtonPress, start, Qt::LeftButton, Qt::LeftButton, Qt::ControlModifier);
    mouse(QEvent::MouseMove, start - QPointF(30, 0), Qt::NoButton, Qt::LeftButton, Qt::ControlModifier);
    mouse(QEvent::MouseButtonRelease, start - QPointF(30, 0), Qt::LeftButton, Qt::NoButton, Qt::ControlModifier);
    EXPECT_EQ(view.horizontalScrollBar()->value(), horizontal + 30);
    EXPECT_TRUE(view.roi().isNull());
    EXPECT_EQ(roiChanges.count(), 0);
    QTest::keyRelease(&view, Qt::Key_Control);
    EXPECT_EQ(view.dragMode(), QGraphicsView::NoDrag);
    EXPECT_EQ(viewportCursor(), Qt::BitmapCursor);

    view.setCtrlPanEnabled(false);
    QTest::keyPress(&view, Qt::Key_Control);
    EXPECT_EQ(view.dragMode(), QGraphicsView::NoDrag) << "not allowed in ROI mode unless enabled";
}

TEST_F(ImageViewRoi, SetRoiClipsReportsChangesAndANewImageDropsItSilently) {
    showImage();
    view.setRoi(QRect(150, 100, 100, 100));
    EXPECT_EQ(view.roi(), QRect(150, 100, 50, 50));
    view.setRoi(QRect(150, 100, 60, 60));
    EXPECT_EQ(roiChanges.count(), 1) << "the same clipped region is not reported twice";
    view.setRoi(QRect(300, 300, 10, 10));
    EXPECT_TRUE(view.roi().isNull());
    EXPECT_EQ(roiChanges.count(), 2);
    view.clearRoi();
    EXPECT_EQ(roiChanges.count(), 2);
    view.setRoi(QRect(10, 10, 20, 20));
    view.clearRoi();
    EXPECT_EQ(roiChanges.count(), 4);
    view.setRoi(QRect(10, 10, 20, 20));
    view.setImage(greyImage(200, 150), false);
    EXPECT_TRUE(view.roi().isNull());
    EXPECT_EQ(roiChanges.count(), 5);
    ImageViewWidget empty;
    QSignalSpy emptyChanges(&empty, &ImageViewWidget::roiChanged);
    empty.setRoi(QRect(0, 0, 5, 5));
    EXPECT_TRUE(empty.roi().isNull());
    EXPECT_EQ(emptyChanges.count(), 0);
}

TEST_F(ImageViewMarkers, OnlyAClickPinsTheInspectorsLabel) {
    showImage();
    useInspector();
    QSignalSpy clicks(&view, &ImageViewWidget::viewClicked);
    click(QPointF(20.5, 30.5));
    EXPECT_EQ(view.markerPixels(), std::vector<QPoint>{QPoint(20, 30)});
    EXPECT_EQ(view.markerLabels(), std::vector<QString>{QStringLiteral("I(20, 30) = 7")});
    const auto* dot = itemAtZ<QGraphicsEllipseItem>(view, 1000.0);
    ASSERT_NE(dot, nullptr);
    EXPECT_EQ(dot->pos(), QPointF(20.5, 30.5));
    EXPECT_TRUE(dot->flags() & QGraphicsItem::ItemIgnoresTransformations);
    ASSERT_NE(itemAtZ<QGraphicsSimpleTextItem>(view, 1000.2), nullptr);
    ASSERT_NE(itemAtZ<QGraphicsRectItem>(view, 1000.1), nullptr);

    pressAt(QPointF(50, 50));
    moveHeldTo(QPointF(52, 52));
    releaseAt(QPointF(52, 52));
    EXPECT_EQ(view.markerPixels().size(), 2u) << "a move of less than 3 units is still a click";
    pressAt(QPointF(60, 60));
    moveHeldTo(QPointF(64, 60));
    releaseAt(QPointF(60, 60));
    pressAt(QPointF(2, 2));
    moveHeldTo(QPointF(-3, 2));
    releaseAt(QPointF(2, 2));
    pressAt(QPointF(90, 90), Qt::ControlModifier);
    releaseAt(QPointF(90, 90));
    EXPECT_EQ(view.markerPixels().size(), 2u);
    EXPECT_EQ(clicks.count(), 5);
}

TEST_F(ImageViewMarkers, MarkersGoWithTheirInspectorPlacementOrImage) {
    showImage();
    useInspector();
    click(QPointF(10, 10));
    click(QPointF(150, 100));
    ASSERT_EQ(view.markerPixels().size(), 2u);
    view.setImage(greyImage(100, 100), false);
    EXPECT_EQ(view.markerPixels(), std::vector<QPoint>{QPoint(10, 10)});
    EXPECT_NE(itemAtZ<QGraphicsEllipseItem>(view, 1000.0), nullptr) << "a kept marker gets new items";

    QSignalSpy hover(&view, &ImageViewWidget::hoverValueChanged);
    view.setMarkersEnabled(false);
    EXPECT_TRUE(view.markerPixels().empty());
    EXPECT_EQ(hover.count(), 1);
    click(QPointF(20, 20));
    EXPECT_TRUE(view.markerPixels().empty());
    view.setMarkersEnabled(true);
    click(QPointF(20, 20));
    view.setInspector({});
    EXPECT_TRUE(view.markerPixels().empty());
    EXPECT_EQ(itemAtZ<QGraphicsEllipseItem>(view, 1000.0), nullptr);

    view.setInspector([](const QPoint&) { return std::optional<Inspect>(Inspect{QString(), QStringLiteral("s")}); });
    click(QPointF(20, 20));
    EXPECT_TRUE(view.markerPixels().empty()) << "an empty label places nothing";
}

TEST_F(ImageViewOverlays, MaskOverlayMarksExactlyTheZeroSamples) {
    view.setImage(greyImage(4, 1), false);
    const auto overlayAlpha = [&](int x) {
        const auto* item = itemAtZ<QGraphicsPixmapItem>(view, 1.0);
        return item ? item->pixmap().toImage().pixelColor(x, 0).alpha() : -1;
    };
    QImage wide(4, 1, QImage::Format_Grayscale16);
    const quint16 samples[] = {0, 200, 256, 65535};
    std::copy(std::begin(samples), std::end(samples), reinterpret_cast<quint16*>(wide.scanLine(0)));
    view.setMaskOverlay(wide);
    EXPECT_EQ(overlayAlpha(0), 100);
    EXPECT_EQ(overlayAlpha(1), 0) << "200 has a zero high byte but is not excluded";
    EXPECT_EQ(overlayAlpha(2), 0);
    EXPECT_EQ(overlayAlpha(3), 0);
    EXPECT_EQ(itemAtZ<QGraphicsPixmapItem>(view, 1.0)->pixmap().toImage().pixelColor(0, 0).red(), 255);

    QImage narrow(4, 1, QImage::Format_Grayscale8);
    const uchar bytes[] = {1, 0, 255, 0};
    std::copy(std::begin(bytes), std::end(bytes), narrow.scanLine(0));
    view.setMaskOverlay(narrow);
    EXPECT_EQ(overlayAlpha(0), 0);
    EXPECT_EQ(overlayAlpha(1), 100);
    EXPECT_EQ(overlayAlpha(3), 100);

    QImage colour(4, 1, QImage::Format_RGB32);
    colour.setPixel(0, 0, qRgb(0, 0, 0));
    colour.setPixel(1, 0, qRgb(1, 1, 1));
    colour.setPixel(2, 0, qRgb(0, 1, 0));
    colour.setPixel(3, 0, qRgb(2, 0, 0));
    view.setMaskOverlay(colour);
    EXPECT_EQ(overlayAlpha(0), 100);
    EXPECT_EQ(overlayAlpha(1), 0);
    EXPECT_EQ(overlayAlpha(2), 100) << "(11 R + 16 G + 5 B) / 32 rounds 16 / 32 down to 0";
    EXPECT_EQ(overlayAlpha(3), 100);

    view.setImage(greyImage(5, 1), false);
    EXPECT_EQ(overlayAlpha(0), -1) << "no overlay over an image of another size";
    view.setImage(greyImage(4, 1), false);
    EXPECT_EQ(overlayAlpha(0), 100) << "the mask outlives image changes";
    view.setMaskOverlay(QImage());
    EXPECT_EQ(overlayAlpha(0), -1);
}

TEST_F(ImageViewOverlays, TileHighlightShowsItsOneBasedNumberCentred) {
    view.setImage(greyImage(400, 300), false);
    const QRect tile(100, 50, 200, 100);
    view.setTileHighlight(tile, 0);
    auto* rect = itemAtZ<QGraphicsRectItem>(view, 5.0);
    auto* text = itemAtZ<QGraphicsSimpleTextItem>(view, 6.0);
    ASSERT_NE(rect, nullptr);
    ASSERT_NE(text, nullptr);
    EXPECT_TRUE(rect->isVisible());
    EXPECT_EQ(rect->rect(), QRectF(tile));
    EXPECT_TRUE(text->isVisible());
    EXPECT_EQ(text->text(), QStringLiteral("1"));
    const QRectF number = text->sceneBoundingRect();
    EXPECT_NEAR(number.center().x(), QRectF(tile).center().x(), 0.5);
    EXPECT_GT(number.center().y(), QRectF(tile).center().y());
    EXPECT_NEAR(std::max(number.width() / tile.width(), number.height() / tile.height()), 0.6, 1e-6);

    view.setTileHighlight(tile, -1);
    EXPECT_TRUE(rect->isVisible());
    EXPECT_FALSE(text->isVisible());
    view.setTileHighlight(QRect(), 3);
    EXPECT_FALSE(rect->isVisible());
    EXPECT_FALSE(text->isVisible());
    view.setTileHighlight(tile, 11);
    EXPECT_EQ(text->text(), QStringLiteral("12"));
    view.hideTileHighlight();
    EXPECT_FALSE(rect->isVisible());
    EXPECT_FALSE(text->isVisible());
}

TEST_F(ImageViewProfile, PanelFloatsBesideTheStartPointAwayFromTheLine) {
    showImage(greyImage(900, 700), QSize(1000, 800));
    std::vector<std::pair<QPointF, QPointF>> requests;
    view.setLineProfileProvider([&](const QPointF& a, const QPointF& b) {
        requests.emplace_back(a, b);
        return ImageViewWidget::LineProfile{{1.0f, 2.0f, 3.0f}, QStringLiteral("u"), 424.3, true};
    });
    view.setProfileMode(true);
    LineProfileWidget* panel = view.profilePanel();
    ASSERT_NE(panel, nullptr);
    EXPECT_EQ(panel->parentWidget(), view.viewport());
    EXPECT_FALSE(panel->isVisible());

    mouse(QEvent::MouseButtonPress, QPointF(400, 300), Qt::LeftButton, Qt::LeftButton);
    mouse(QEvent::MouseMove, QPointF(700, 600), Qt::NoButton, Qt::LeftButton);
    EXPECT_TRUE(view.hasProfile());
    EXPECT_FALSE(panel->isVisible()) << "the panel waits until the drag settles";
    EXPECT_TRUE(timerActive(view, "profileSettleTimer"));
    fireTimer(view, "profileSettleTimer");
    EXPECT_TRUE(panel->isVisible());
    mouse(QEvent::MouseButtonRelease, QPointF(700, 600), Qt::LeftButton, Qt::NoButton);

    EXPECT_EQ(panel->geometry(), QRect(176, 165, 210, 121));
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(requests.back().first, view.mapToScene(QPoint(400, 300)));
    EXPECT_EQ(requests.back().second, view.mapToScene(QPoint(700, 600)));
    EXPECT_EQ(panel->values(), (std::vector<float>{1.0f, 2.0f, 3.0f}));
    EXPECT_EQ(panel->label(), QStringLiteral("u"));
    const auto* line = itemAtZ<QGraphicsLineItem>(view, 16.0);
    ASSERT_NE(line, nullptr);
    EXPECT_TRUE(line->isVisible());

    view.resize(111 + 2 * view.frameWidth(), 400);
    EXPECT_FALSE(panel->isVisible()) << "no room for a 96-pixel panel";
}

TEST_F(ImageViewProfile, ProfileSurvivesOnlyAnImageOfTheSameSize) {
    showImage(greyImage(300, 200), QSize(400, 300));
    int requests = 0;
    bool valid = true;
    view.setLineProfileProvider([&](const QPointF&, const QPointF&) {
        ++requests;
        return ImageViewWidget::LineProfile{{1.0f, 2.0f}, QStringLiteral("v"), 10.0, valid};
    });
    view.setProfileMode(true);
    drag(QPointF(20, 20), QPointF(120, 80));
    LineProfileWidget* panel = view.profilePanel();
    ASSERT_TRUE(panel->isVisible());

    const int before = requests;
    view.setImage(greyImage(300, 200, 50), false);
    EXPECT_TRUE(view.hasProfile());
    EXPECT_EQ(requests, before + 1);
    EXPECT_TRUE(panel->isVisible());
    valid = false;
    view.setImage(greyImage(300, 200, 60), false);
    EXPECT_TRUE(panel->values().empty()) << "an invalid profile clears the panel";

    view.setImage(greyImage(301, 200), false);
    EXPECT_FALSE(view.hasProfile());
    EXPECT_FALSE(panel->isVisible());
}

TEST_F(ImageViewProfile, ModeProviderAndPanelEachRemoveTheProfile) {
    showImage(greyImage(300, 200), QSize(400, 300));
    const auto provider = [](const QPointF&, const QPointF&) {
        return ImageViewWidget::LineProfile{{1.0f, 2.0f}, QString(), 1.0, true};
    };
    view.setLineProfileProvider(provider);
    view.setProfileMode(true);
    drag(QPointF(20, 20), QPointF(120, 80));
    ASSERT_TRUE(view.hasProfile());
    emit view.profilePanel()->removeRequested();
    EXPECT_FALSE(view.hasProfile());
    EXPECT_FALSE(view.profilePanel()->isVisible());
    EXPECT_FALSE(itemAtZ<QGraphicsLineItem>(view, 16.0)->isVisible());

    drag(QPointF(20, 20), QPointF(120, 80));
    view.setLineProfileProvider({});
    EXPECT_FALSE(view.hasProfile());
    view.setLineProfileProvider(provider);
    drag(QPointF(20, 20), QPointF(120, 80));
    view.setProfileMode(false);
    EXPECT_FALSE(view.hasProfile());
    EXPECT_FALSE(view.profilePanel()->isVisible());
    drag(QPointF(20, 20), QPointF(120, 80));
    EXPECT_FALSE(view.hasProfile()) << "no profile is drawn outside profile mode";
}

TEST_F(ImageViewContextMenu, MarkerMenuRemovesAfterTheMenuHasClosed) {
    showImage();
    useInspector();
    view.setRoiSelectionEnabled(true);
    click(QPointF(50, 50));
    click(QPointF(120, 100));
    ASSERT_EQ(view.markerPixels().size(), 2u);
    {
        MenuResponder responder{QStringLiteral("Remove this marker")};
        EXPECT_TRUE(rightClickAtView(toView(QPointF(50, 50)) + QPointF(22, 0))) << "on the label";
        EXPECT_EQ(responder.offered, (QStringList{QStringLiteral("Remove this marker"), QStringLiteral("Remove all")}));
        EXPECT_EQ(view.markerPixels().size(), 2u) << "removal waits for the zero-delay timer";
    }
    QApplication::processEvents();
    EXPECT_EQ(view.markerPixels(), std::vector<QPoint>{QPoint(120, 100)});
    {
        MenuResponder responder{QStringLiteral("Remove all")};
        rightClickAtView(toView(QPointF(120, 100)) + QPointF(3, 3));
    }
    QApplication::processEvents();
    EXPECT_TRUE(view.markerPixels().empty());
}

TEST_F(ImageViewContextMenu, ProfileAndRegionMenusAppearOnlyOverTheirTarget) {
    showImage(greyImage(300, 200), QSize(400, 300));
    view.setLineProfileProvider([](const QPointF&, const QPointF&) {
        return ImageViewWidget::LineProfile{{1.0f, 2.0f}, QString(), 1.0, true};
    });
    view.setProfileMode(true);
    mouse(QEvent::MouseButtonPress, QPointF(100, 100), Qt::LeftButton, Qt::LeftButton);
    mouse(QEvent::MouseMove, QPointF(200, 200), Qt::NoButton, Qt::LeftButton);
    mouse(QEvent::MouseButtonRelease, QPointF(200, 200), Qt::LeftButton, Qt::NoButton);
    {
        MenuResponder responder{QString()};
        rightClickAtView(QPointF(150, 165));
        EXPECT_FALSE(responder.shown) << "15 pixels from the line";
    }
    {
        MenuResponder responder{QStringLiteral("Remove this profile")};
        EXPECT_TRUE(rightClickAtView(QPointF(154, 150)));
        EXPECT_EQ(responder.offered, QStringList{QStringLiteral("Remove this profile")});
    }
    EXPECT_TRUE(view.hasProfile());
    QApplication::processEvents();
    EXPECT_FALSE(view.hasProfile());

    view.setProfileMode(false);
    view.setRoiSelectionEnabled(true);
    view.setRoi(QRect(10, 10, 40, 40));
    roiChanges.clear();
    {
        MenuResponder responder{QStringLiteral("Remove ROI")};
        EXPECT_TRUE(rightClickAtView(toView(QPointF(30, 30))));
        EXPECT_TRUE(responder.shown);
    }
    QApplication::processEvents();
    EXPECT_TRUE(view.roi().isNull());
    ASSERT_EQ(roiChanges.count(), 1);
    EXPECT_TRUE(roiChanges.at(0).at(0).toRect().isNull());
    {
        MenuResponder responder{QString()};
        rightClickAtView(toView(QPointF(30, 30)));
        EXPECT_FALSE(responder.shown);
    }
}

TEST_F(ImageViewCursor, CrosshairIsDrawnWithAGapAndACentredHotSpot) {
    showImage();
    view.setRoiSelectionEnabled(true);
    const QCursor cursor = view.viewport()->cursor();
    ASSERT_EQ(cursor.shape(), Qt::BitmapCursor);
    const QImage pixels = cursor.pixmap().toImage();
    ASSERT_EQ(pixels.size(), QSize(25, 25));
    EXPECT_EQ(cursor.hotSpot(), QPoint(12, 12));
    EXPECT_EQ(pixels.pixelColor(12, 12).alpha(), 0) << "gap at the centre";
    EXPECT_EQ(pixels.pixelColor(4, 12), QColor(255, 214, 0));
    EXPECT_EQ(pixels.pixelColor(4, 11), QColor(0, 0, 0, 205));
    EXPECT_EQ(pixels.pixelColor(12, 20), QColor(255, 214, 0));
    EXPECT_EQ(pixels.pixelColor(4, 4).alpha(), 0);
}

TEST_F(ImageViewCursor, ModeCursorFollowsInspectorProfileAndControl) {
    showImage();
    EXPECT_EQ(viewportCursor(), Qt::ArrowCursor);
    useInspector();
    EXPECT_EQ(viewportCursor(), Qt::BitmapCursor);
    QTest::keyPress(&view, Qt::Key_Control);
    EXPECT_EQ(view.dragMode(), QGraphicsView::ScrollHandDrag);
    EXPECT_EQ(view.cursor().shape(), Qt::OpenHandCursor);
    QTest::keyRelease(&view, Qt::Key_Control);
    EXPECT_EQ(view.dragMode(), QGraphicsView::NoDrag);
    EXPECT_EQ(view.cursor().shape(), Qt::ArrowCursor);
    EXPECT_EQ(viewportCursor(), Qt::BitmapCursor);
    view.setMarkersEnabled(false);
    EXPECT_EQ(viewportCursor(), Qt::ArrowCursor);
    view.setProfileMode(true);
    EXPECT_EQ(viewportCursor(), Qt::BitmapCursor);
    view.setImage(greyImage(200, 150), false);
    EXPECT_EQ(viewportCursor(), Qt::BitmapCursor) << "a new image keeps the profile crosshair";
    view.setProfileMode(false);
    EXPECT_EQ(viewportCursor(), Qt::ArrowCursor);
    view.setInspector({});
    QTest::keyPress(&view, Qt::Key_Control);
    EXPECT_EQ(view.dragMode(), QGraphicsView::NoDrag) << "nothing to pan for without an inspector";
}

}  // namespace
}  // namespace tavro::gui
