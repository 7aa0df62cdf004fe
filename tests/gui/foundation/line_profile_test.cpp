#include "gui/foundation/line_profile_widget.h"
#include "support/test_application.h"
#include "menu_responder.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QLocale>
#include <QMenu>
#include <QMouseEvent>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <limits>

namespace tavro::gui {
namespace {

using widget_test::MenuResponder;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

void moveTo(QWidget& widget, double x, double y) {
    QMouseEvent move(QEvent::MouseMove, QPointF(x, y), widget.mapToGlobal(QPointF(x, y)), Qt::NoButton,
                     Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(&widget, &move);
}

bool rightClick(QWidget& widget, const QPoint& pos) {
    QContextMenuEvent event(QContextMenuEvent::Mouse, pos, widget.mapToGlobal(pos));
    QApplication::sendEvent(&widget, &event);
    return event.isAccepted();
}

class LocaleGuard {
public:
    explicit LocaleGuard(const QLocale& locale) : previous_(QLocale()) { QLocale::setDefault(locale); }
    ~LocaleGuard() { QLocale::setDefault(previous_); }

private:
    QLocale previous_;
};

TEST(Superscript, WritesTheSignAndEveryDigitRaised) {
    EXPECT_EQ(toSuperscript(-4), QString::fromUtf8("⁻⁴"));
    EXPECT_EQ(toSuperscript(0), QString::fromUtf8("⁰"));
    EXPECT_EQ(toSuperscript(1234567890), QString::fromUtf8("¹²³⁴⁵⁶⁷⁸⁹⁰"));
    EXPECT_EQ(toSuperscript(INT_MIN), QString::fromUtf8("⁻²¹⁴⁷⁴⁸³⁶⁴⁸"));
}

TEST(LineProfileWidget, StartsEmptyAndAsksForALine) {
    test::testApplication();
    LineProfileWidget panel;
    EXPECT_EQ(panel.message(), QStringLiteral("Drag a line"));
    panel.setProfile({1.0f}, QStringLiteral("u"), 3.0);
    EXPECT_EQ(panel.message(), QStringLiteral("No data along this line"));
    panel.setProfile({kNaN, kInf, -kInf}, QStringLiteral("u"), 3.0);
    EXPECT_EQ(panel.message(), QStringLiteral("No data along this line"));
    panel.clearProfile();
    EXPECT_EQ(panel.message(), QStringLiteral("Drag a line"));
    EXPECT_TRUE(panel.label().isEmpty());
    EXPECT_EQ(panel.length(), 0.0);
}

TEST(LineProfileWidget, RangeCoversOnlyFiniteSamplesAndWidensWhenFlat) {
    test::testApplication();
    LineProfileWidget panel;
    panel.setProfile({kNaN, 3.0f, kInf, -2.0f}, QString(), 1.0);
    ASSERT_TRUE(panel.hasFiniteRange());
    EXPECT_EQ(panel.displayedRange(), std::make_pair(-2.0, 3.0));
    EXPECT_TRUE(panel.message().isEmpty());

    panel.setProfile({5.0f, 5.0f}, QString(), 1.0);
    EXPECT_DOUBLE_EQ(panel.displayedRange().first, 4.75);
    EXPECT_DOUBLE_EQ(panel.displayedRange().second, 5.25);
    panel.setProfile({0.0f, 0.0f, 0.0f}, QString(), 1.0);
    EXPECT_DOUBLE_EQ(panel.displayedRange().first, -1e-6);
    EXPECT_DOUBLE_EQ(panel.displayedRange().second, 1e-6);
}

TEST(LineProfileWidget, WideRangeLabelsTakeOutAPowerOfTen) {
    test::testApplication();
    LineProfileWidget panel;
    const QString point = QLocale().decimalPoint();
    panel.setProfile({0.00012f, 0.0003f, 0.00045f}, QStringLiteral("εxx"), 10.0);
    LineProfileWidget::AxisLabels labels = panel.axisLabels();
    EXPECT_EQ(labels.high, QStringLiteral("4") + point + QStringLiteral("50"));
    EXPECT_EQ(labels.low, QStringLiteral("1") + point + QStringLiteral("20"));
    EXPECT_EQ(labels.exponent, QString::fromUtf8("×10⁻⁴"));

    panel.setProfile({123456.0f, 987654.0f}, QString(), 10.0);
    labels = panel.axisLabels();
    EXPECT_EQ(labels.high, QStringLiteral("9") + point + QStringLiteral("88"));
    EXPECT_EQ(labels.exponent, QString::fromUtf8("×10⁵"));

    panel.setProfile({100.0f, 900.0f}, QString(), 10.0);
    labels = panel.axisLabels();
    EXPECT_EQ(labels.high, QStringLiteral("900"));
    EXPECT_EQ(labels.low, QStringLiteral("100"));
    EXPECT_TRUE(labels.exponent.isEmpty());
}

TEST(LineProfileWidget, NumbersFollowTheDefaultLocale) {
    test::testApplication();
    const LocaleGuard german(QLocale(QLocale::German, QLocale::Germany));
    LineProfileWidget panel;
    panel.resize(210, 121);
    panel.setProfile({0.00012f, 0.00045f}, QString(), 12.3);
    EXPECT_EQ(panel.axisLabels().high, QStringLiteral("4,50"));
    moveTo(panel, panel.plotRect().right(), 60);
    EXPECT_EQ(panel.hoverReadout(), QStringLiteral("s = 12,3 : 0,00045"));
}

TEST(LineProfileWidget, HoverPicksTheNearestSampleByXOnly) {
    test::testApplication();
    LineProfileWidget panel;
    panel.resize(210, 121);
    panel.setProfile({1.0f, 2.0f, 3.0f, kNaN, 5.0f, 6.0f, 7.0f}, QStringLiteral("u"), 6.0);
    const QRectF plot = panel.plotRect();
    ASSERT_EQ(plot, QRectF(38, 26, 210 - 46, 121 - 39));

    moveTo(panel, plot.left(), 5);
    EXPECT_EQ(panel.hoverIndex(), 0);
    EXPECT_EQ(panel.hoverReadout(), QStringLiteral("s = 0.0 : 1"));
    moveTo(panel, plot.left() + plot.width() / 2, plot.bottom());
    EXPECT_EQ(panel.hoverIndex(), 3);
    EXPECT_EQ(panel.hoverReadout(), QString::fromUtf8("s = 3.0 : —"));
    moveTo(panel, plot.right(), 60);
    EXPECT_EQ(panel.hoverIndex(), 6);
    moveTo(panel, plot.right() + 0.5, 60);
    EXPECT_EQ(panel.hoverIndex(), -1);
    EXPECT_TRUE(panel.hoverReadout().isEmpty());

    moveTo(panel, plot.left(), 60);
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(&panel, &leave);
    EXPECT_EQ(panel.hoverIndex(), -1);
    moveTo(panel, plot.left(), 60);
    panel.setProfile({1.0f, 2.0f}, QString(), 1.0);
    EXPECT_EQ(panel.hoverIndex(), -1);
}

TEST(LineProfileWidget, GapsBreakTheCurve) {
    test::testApplication();
    LineProfileWidget panel;
    panel.resize(230, 121);
    panel.setProfile({1.0f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f}, QString(), 8.0);
    const QImage whole = panel.grab().toImage();
    panel.setProfile({1.0f, 1.0f, 1.0f, kNaN, kNaN, kNaN, 1.0f, 1.0f, 1.0f}, QString(), 8.0);
    const QImage broken = panel.grab().toImage();
    const QRectF plot = panel.plotRect();
    const auto column = [&](const QImage& image, double sample) {
        const int x = static_cast<int>(plot.left() + sample * plot.width() / 8.0);
        return image.copy(x, static_cast<int>(plot.top()), 1, static_cast<int>(plot.height()));
    };
    EXPECT_EQ(column(broken, 1), column(whole, 1));
    EXPECT_NE(column(broken, 4), column(whole, 4));
    EXPECT_EQ(column(broken, 7), column(whole, 7));
}

TEST(LineProfileWidget, TooSmallAPanelShowsOnlyItsBackground) {
    test::testApplication();
    LineProfileWidget panel;
    for (const QSize size : {QSize(210, 43), QSize(50, 121)}) {
        panel.resize(size);
        panel.clearProfile();
        const QImage background = panel.grab().toImage();
        panel.setProfile({1.0f, 3.0f, 2.0f}, QStringLiteral("u"), 2.0);
        EXPECT_EQ(panel.grab().toImage(), background) << size.width() << " x " << size.height();
    }
    panel.resize(210, 44);
    panel.clearProfile();
    const QImage background = panel.grab().toImage();
    panel.setProfile({1.0f, 3.0f, 2.0f}, QStringLiteral("u"), 2.0);
    EXPECT_NE(panel.grab().toImage(), background);
}

TEST(LineProfileWidget, ContextMenuOffersRemovalOnlyWithSamples) {
    test::testApplication();
    LineProfileWidget panel;
    panel.resize(210, 121);
    panel.show();
    QSignalSpy removals(&panel, &LineProfileWidget::removeRequested);
    {
        MenuResponder responder{QString()};
        EXPECT_FALSE(rightClick(panel, QPoint(100, 60)));
        EXPECT_FALSE(responder.shown);
    }
    panel.setProfile({1.0f, 2.0f}, QString(), 1.0);
    {
        MenuResponder responder{QString()};
        EXPECT_TRUE(rightClick(panel, QPoint(100, 60)));
        EXPECT_EQ(responder.offered, QStringList{QStringLiteral("Remove this profile")});
        EXPECT_EQ(removals.count(), 0);
    }
    {
        MenuResponder responder{QStringLiteral("Remove this profile")};
        EXPECT_TRUE(rightClick(panel, QPoint(100, 60)));
        EXPECT_EQ(removals.count(), 1);
    }
}

}  // namespace
}  // namespace tavro::gui
