#include "gui/foundation/contrast_histogram_widget.h"
#include "support/test_application.h"

#include <QApplication>
#include <QMouseEvent>
#include <QSignalSpy>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numeric>

namespace tavro::gui {
namespace {

std::vector<float> ramp(int count) {
    std::vector<float> values(static_cast<std::size_t>(count));
    std::iota(values.begin(), values.end(), 0.0f);
    return values;
}

float total(const std::vector<float>& bins) {
    return std::accumulate(bins.begin(), bins.end(), 0.0f);
}

// A 300 x 60 strip over the data range [0, 1000] with the window [200, 800].
class HistogramDrag : public ::testing::Test {
protected:
    void SetUp() override {
        test::testApplication();
        histogram.resize(300, 60);
        histogram.setData(ramp(1000), 0.0f, 1000.0f);
        histogram.setRange(200.0f, 800.0f);
    }

    bool send(QEvent::Type type, QPoint pos, Qt::MouseButtons buttons) {
        const Qt::MouseButton button = type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton;
        QMouseEvent event(type, QPointF(pos), histogram.mapToGlobal(QPointF(pos)), button, buttons, Qt::NoModifier);
        QApplication::sendEvent(&histogram, &event);
        return event.isAccepted();
    }
    bool press(QPoint pos) { return send(QEvent::MouseButtonPress, pos, Qt::LeftButton); }
    void moveHeld(QPoint pos) { send(QEvent::MouseMove, pos, Qt::LeftButton); }
    void release(QPoint pos) { send(QEvent::MouseButtonRelease, pos, Qt::NoButton); }

    int midY() const { return histogram.plotRect().center().y(); }
    QPoint lower() const { return QPoint(histogram.valueToPosition(histogram.selectionMin()), midY()); }
    QPoint upper() const { return QPoint(histogram.valueToPosition(histogram.selectionMax()), midY()); }

    // The members are widgets, so the application must exist before them.
    const bool applicationReady_ = (test::testApplication(), true);
    ContrastHistogramWidget histogram;
    QSignalSpy changes{&histogram, &ContrastHistogramWidget::rangeChanged};
    QSignalSpy finished{&histogram, &ContrastHistogramWidget::rangeChangeFinished};
};

TEST(ContrastHistogram, StartsEmptyAndUnavailable) {
    test::testApplication();
    ContrastHistogramWidget histogram;
    EXPECT_FALSE(histogram.hasData());
    histogram.setData({1.0f, 2.0f}, 5.0f, 5.0f);
    EXPECT_FALSE(histogram.hasData());
    EXPECT_TRUE(histogram.bins().empty());
    histogram.setData({1.0f, 2.0f}, 0.0f, std::numeric_limits<float>::infinity());
    EXPECT_FALSE(histogram.hasData());
    histogram.setData({}, 0.0f, 1.0f);
    EXPECT_FALSE(histogram.hasData());
}

TEST(ContrastHistogram, PlotAndValueMappingFollowTheViewRange) {
    test::testApplication();
    ContrastHistogramWidget histogram;
    histogram.resize(300, 60);
    EXPECT_EQ(histogram.plotRect(), QRect(24, 8, 252, 44));
    histogram.setData({1.0f}, 0.0f, 1000.0f);
    EXPECT_EQ(histogram.valueToPosition(0.0f), 24);
    EXPECT_EQ(histogram.valueToPosition(1000.0f), 24 + 251);
    EXPECT_EQ(histogram.valueToPosition(-50.0f), 24);
    EXPECT_EQ(histogram.valueToPosition(500.0f), 24 + 126);
    EXPECT_FLOAT_EQ(histogram.positionToValue(24 + 251), 1000.0f);
    EXPECT_FLOAT_EQ(histogram.positionToValue(0), 0.0f);
    histogram.resize(40, 20);
    EXPECT_EQ(histogram.plotRect().left(), 24);
    EXPECT_EQ(histogram.plotRect().right(), 34);
    EXPECT_EQ(histogram.plotRect().bottom(), 18);
}

TEST(ContrastHistogram, ValuesAtAndBeyondTheEndsFallInTheEndBins) {
    test::testApplication();
    ContrastHistogramWidget histogram;
    const float nan = std::numeric_limits<float>::quiet_NaN();
    histogram.setData({1000.0f, 5000.0f, -5.0f, nan, std::numeric_limits<float>::infinity(), 500.0f}, 0.0f, 1000.0f);
    ASSERT_EQ(histogram.bins().size(), 256u);
    EXPECT_EQ(histogram.bins()[255], 2.0f);
    EXPECT_EQ(histogram.bins()[0], 1.0f);
    EXPECT_EQ(histogram.bins()[127], 1.0f);
    EXPECT_EQ(total(histogram.bins()), 4.0f);
}

TEST(ContrastHistogram, EightBitGreyLevelsAreSmoothedOthersAreNot) {
    test::testApplication();
    ContrastHistogramWidget histogram;
    histogram.setData(std::vector<float>(40, 100.0f), 0.0f, 255.0f);
    const std::vector<float>& smoothed = histogram.bins();
    const auto peak = std::max_element(smoothed.begin(), smoothed.end()) - smoothed.begin();
    EXPECT_EQ(smoothed[static_cast<std::size_t>(peak)], 20.0f);
    EXPECT_EQ(smoothed[static_cast<std::size_t>(peak) - 1], 10.0f);
    EXPECT_EQ(smoothed[static_cast<std::size_t>(peak) + 1], 10.0f);

    // The end bins lose the quarter that would have gone beyond them.
    histogram.setData(ramp(256), 0.0f, 255.0f);
    EXPECT_FLOAT_EQ(total(histogram.bins()), 256.0f - 0.25f * (1.0f + 1.0f));
    histogram.setData(ramp(256), 0.0f, 1000.0f);
    EXPECT_FLOAT_EQ(total(histogram.bins()), 256.0f);
    for (const float count : histogram.bins())
        EXPECT_EQ(count, std::floor(count));
}

TEST(ContrastHistogram, LargeInputsAreSampledWithAStride) {
    test::testApplication();
    ContrastHistogramWidget histogram;
    std::vector<float> values(5000, 900.0f);
    for (std::size_t i = 0; i < values.size(); i += 5)
        values[i] = 10.0f;
    histogram.setData(values, 0.0f, 1000.0f);
    EXPECT_EQ(total(histogram.bins()), 1000.0f);
    EXPECT_EQ(*std::max_element(histogram.bins().begin(), histogram.bins().end()), 1000.0f);
}

TEST(ContrastHistogram, SelectionIsClampedIntoTheDataWithAMinimumGap) {
    test::testApplication();
    ContrastHistogramWidget histogram;
    histogram.setData({1.0f}, 0.0f, 1000.0f);
    histogram.setRange(-10.0f, 2000.0f);
    EXPECT_EQ(histogram.selectionMin(), 0.0f);
    EXPECT_EQ(histogram.selectionMax(), 1000.0f);
    histogram.setRange(300.0f, 300.0f);
    EXPECT_EQ(histogram.selectionMin(), 300.0f);
    EXPECT_FLOAT_EQ(histogram.selectionMax(), 300.001f);
    histogram.setRange(1000.0f, 1000.0f);
    EXPECT_EQ(histogram.selectionMax(), 1000.0f);
    EXPECT_FLOAT_EQ(histogram.selectionMin(), 999.999f);
    histogram.setData({1.0f}, 0.0f, 0.5f);
    histogram.setRange(0.2f, 0.2f);
    EXPECT_NEAR(histogram.selectionMax() - histogram.selectionMin(), 1e-6f, 3e-8f);
    histogram.setData({1.0f}, 4.0f, 4.0f);
    histogram.setRange(1.0f, 9.0f);
    EXPECT_EQ(histogram.selectionMin(), 4.0f);
    EXPECT_EQ(histogram.selectionMax(), 4.0f);
}

TEST_F(HistogramDrag, LowerHandleStopsOneGapBelowTheUpperOne) {
    ASSERT_TRUE(press(lower()));
    EXPECT_EQ(histogram.cursor().shape(), Qt::ClosedHandCursor);
    moveHeld(QPoint(280, midY()));
    EXPECT_FLOAT_EQ(histogram.selectionMin(), 800.0f - 1e-3f);
    EXPECT_EQ(histogram.selectionMax(), 800.0f);
    ASSERT_EQ(changes.count(), 1);
    moveHeld(QPoint(290, midY()));
    EXPECT_EQ(changes.count(), 1) << "a move that changes nothing is not reported";
    release(QPoint(290, midY()));
    ASSERT_EQ(finished.count(), 1);
    EXPECT_FLOAT_EQ(finished.at(0).at(0).toFloat(), 800.0f - 1e-3f);
    EXPECT_EQ(finished.at(0).at(1).toFloat(), 800.0f);
}

TEST_F(HistogramDrag, UpperHandleFollowsThePointerWithinTheData) {
    ASSERT_TRUE(press(upper()));
    moveHeld(QPoint(histogram.valueToPosition(900.0f), midY()));
    EXPECT_NEAR(histogram.selectionMax(), 900.0f, 4.0f);
    moveHeld(QPoint(299, 0));
    EXPECT_EQ(histogram.selectionMax(), 1000.0f);
    EXPECT_EQ(histogram.selectionMin(), 200.0f);
    EXPECT_EQ(changes.count(), 2);
}

TEST_F(HistogramDrag, WindowDraggedBeyondTheDataKeepsItsWidth) {
    ASSERT_TRUE(press(QPoint(histogram.valueToPosition(500.0f), midY())));
    moveHeld(QPoint(histogram.valueToPosition(600.0f), midY()));
    EXPECT_NEAR(histogram.selectionMin(), 300.0f, 4.0f);
    EXPECT_FLOAT_EQ(histogram.selectionMax() - histogram.selectionMin(), 600.0f);
    moveHeld(QPoint(299, midY()));
    EXPECT_EQ(histogram.selectionMax(), 1000.0f);
    EXPECT_EQ(histogram.selectionMin(), 400.0f);
    release(QPoint(299, midY()));
    EXPECT_EQ(finished.count(), 1);
}

TEST_F(HistogramDrag, PressesOutsideTheHandlesAndTheWindowStartNothing) {
    const int between = histogram.valueToPosition(500.0f);
    EXPECT_FALSE(press(QPoint(between, histogram.plotRect().top() - 3)));
    EXPECT_FALSE(press(QPoint(histogram.valueToPosition(50.0f), midY())));
    EXPECT_FALSE(press(QPoint(between, 1)));
    moveHeld(QPoint(between + 40, midY()));
    release(QPoint(between + 40, midY()));
    EXPECT_EQ(changes.count(), 0);
    EXPECT_EQ(finished.count(), 0);

    histogram.setEnabled(false);
    press(lower());
    moveHeld(lower() + QPoint(30, 0));
    histogram.setEnabled(true);
    moveHeld(lower() + QPoint(30, 0));
    histogram.clear();
    EXPECT_FALSE(press(lower()));
    moveHeld(lower() + QPoint(30, 0));
    EXPECT_EQ(changes.count(), 0);
}

TEST_F(HistogramDrag, HoverCursorShowsWhatAPressWouldDo) {
    const auto hover = [&](QPoint pos) {
        send(QEvent::MouseMove, pos, Qt::NoButton);
        return histogram.cursor().shape();
    };
    EXPECT_EQ(hover(lower() + QPoint(9, 0)), Qt::SizeHorCursor);
    EXPECT_EQ(hover(upper()), Qt::SizeHorCursor);
    EXPECT_EQ(hover(QPoint(histogram.valueToPosition(500.0f), midY())), Qt::OpenHandCursor);
    EXPECT_EQ(hover(QPoint(histogram.valueToPosition(50.0f), midY())), Qt::ArrowCursor);
    hover(upper());
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(&histogram, &leave);
    EXPECT_EQ(histogram.cursor().shape(), Qt::ArrowCursor);
}

TEST_F(HistogramDrag, ZoomWithoutAHandlerNarrowsTheViewAndResetRestoresTheData) {
    QSignalSpy zooms(&histogram, &ContrastHistogramWidget::zoomChanged);
    histogram.saveUnzoomedState();
    histogram.zoomToSelection();
    EXPECT_TRUE(histogram.isZoomed());
    EXPECT_EQ(histogram.viewMin(), 200.0f);
    EXPECT_EQ(histogram.viewMax(), 800.0f);
    ASSERT_EQ(zooms.count(), 1);
    EXPECT_TRUE(zooms.at(0).at(0).toBool());

    std::vector<QString> order;
    QObject::connect(&histogram, &ContrastHistogramWidget::zoomChanged, [&] { order.push_back(QStringLiteral("zoom")); });
    QObject::connect(&histogram, &ContrastHistogramWidget::rangeChangeFinished,
            [&] { order.push_back(QStringLiteral("finished")); });
    histogram.resetZoom();
    EXPECT_FALSE(histogram.isZoomed());
    EXPECT_EQ(histogram.selectionMin(), 0.0f);
    EXPECT_EQ(histogram.selectionMax(), 1000.0f);
    EXPECT_EQ(histogram.viewMin(), 0.0f);
    EXPECT_EQ(histogram.viewMax(), 1000.0f);
    EXPECT_EQ(order, (std::vector<QString>{QStringLiteral("zoom"), QStringLiteral("finished")}));
    ASSERT_EQ(finished.count(), 1);
    EXPECT_EQ(finished.at(0).at(0).toFloat(), 0.0f);
    EXPECT_EQ(finished.at(0).at(1).toFloat(), 1000.0f);
}

TEST_F(HistogramDrag, ZoomHandlerRecountsAndResetBringsBackTheSavedBins) {
    histogram.saveUnzoomedState();
    const std::vector<float> unzoomed = histogram.bins();
    std::vector<std::pair<float, float>> calls;
    histogram.setZoomHandler([&](float lo, float hi) {
        calls.emplace_back(lo, hi);
        histogram.setDataZoomed(ramp(1000), lo, hi);
    });
    QSignalSpy zooms(&histogram, &ContrastHistogramWidget::zoomChanged);
    histogram.zoomToSelection();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0], std::make_pair(200.0f, 800.0f));
    EXPECT_TRUE(histogram.isZoomed());
    EXPECT_EQ(histogram.dataMin(), 0.0f);
    EXPECT_EQ(histogram.dataMax(), 1000.0f);
    EXPECT_EQ(histogram.viewMin(), 200.0f);
    EXPECT_NE(histogram.bins(), unzoomed);
    EXPECT_EQ(zooms.count(), 1);

    histogram.resetZoom();
    EXPECT_EQ(histogram.bins(), unzoomed);
    EXPECT_FALSE(histogram.isZoomed());

    histogram.setRange(500.0f, 500.0f);
    histogram.clear();
    histogram.zoomToSelection();
    histogram.resetZoom();
    EXPECT_EQ(calls.size(), 1u) << "nothing zooms or resets without data";
}

TEST(ContrastHistogram, LogarithmicScaleShowsValuesTooRareForTheLinearOne) {
    test::testApplication();
    ContrastHistogramWidget histogram;
    histogram.resize(300, 60);
    std::vector<float> values(1000, 500.0f);
    values[0] = 100.0f;
    histogram.setData(values, 0.0f, 1000.0f);
    histogram.show();
    QApplication::processEvents();
    const QImage linear = histogram.grab().toImage();

    histogram.setShowLogHistogram(true);
    QApplication::processEvents();
    // The single value at 100 is invisible on the linear scale and shows on the log one.
    const QImage logarithmic = histogram.grab().toImage();
    const int x = histogram.valueToPosition(100.0f);
    const QRect column(x - 1, histogram.plotRect().top(), 3, histogram.plotRect().height() - 2);
    EXPECT_NE(logarithmic.copy(column), linear.copy(column));
}

}  // namespace
}  // namespace tavro::gui
