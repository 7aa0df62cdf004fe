#include "gui/style/application_style.h"
#include "support/test_application.h"

#include <QApplication>
#include <QImage>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QScrollBar>
#include <QStyleOption>
#include <QTest>

#include <gtest/gtest.h>

#include <memory>

namespace tavro::gui {
namespace {

QColor centreOfButtonFace(const ApplicationStyle& style, QStyle::State state, bool defaultButton = false) {
    QImage image(40, 24, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QStyleOptionButton option;
    option.rect = image.rect();
    option.state = state;
    if (defaultButton)
        option.features |= QStyleOptionButton::DefaultButton;
    QPainter painter(&image);
    style.drawPrimitive(QStyle::PE_PanelButtonCommand, &option, &painter);
    painter.end();
    return image.pixelColor(20, 12);
}

QStyleOptionSlider horizontalBar(int length, int pageStep, int position) {
    QStyleOptionSlider bar;
    bar.rect = QRect(0, 0, length, 12);
    bar.orientation = Qt::Horizontal;
    bar.state = QStyle::State_Enabled | QStyle::State_Horizontal;
    bar.minimum = 0;
    bar.maximum = 100;
    bar.pageStep = pageStep;
    bar.sliderPosition = position;
    bar.sliderValue = position;
    bar.direction = Qt::LeftToRight;
    return bar;
}

TEST(ApplicationStyle, InstalledStyleGivesTheApplicationItsThemePalette) {
    test::testApplication();
    auto* style = new ApplicationStyle(qApp);
    QString error;
    ASSERT_TRUE(style->loadTheme(QStringLiteral(":/themes/dark.json"), &error)) << error.toStdString();
    QApplication::setStyle(style);

    const StyleTheme& theme = style->theme();
    EXPECT_EQ(QApplication::palette().color(QPalette::Window), theme.backgroundColorMain2);
    EXPECT_EQ(QApplication::palette().color(QPalette::Base), theme.backgroundColorMain1);

    StyleTheme red = theme;
    red.backgroundColorMain2 = QColor(200, 0, 0);
    style->setTheme(red);
    EXPECT_EQ(QApplication::palette().color(QPalette::Window), QColor(200, 0, 0));
    EXPECT_FALSE(style->loadTheme(QStringLiteral("/nonexistent/dark.json"), &error));
    EXPECT_EQ(style->theme().backgroundColorMain2, QColor(200, 0, 0));
    style->setTheme(StyleTheme());
}

TEST(ApplicationStyle, PushButtonFaceTakesTheThemeColourOfItsState) {
    test::testApplication();
    const ApplicationStyle style;
    const StyleTheme& t = style.theme();
    using S = QStyle::StateFlag;
    EXPECT_EQ(centreOfButtonFace(style, S::State_Enabled), t.neutralColor);
    EXPECT_EQ(centreOfButtonFace(style, S::State_Enabled | S::State_MouseOver), t.neutralColorHovered);
    EXPECT_EQ(centreOfButtonFace(style, S::State_Enabled | S::State_Sunken), t.neutralColorPressed);
    EXPECT_EQ(centreOfButtonFace(style, S::State_None), t.neutralColorDisabled);
    EXPECT_EQ(centreOfButtonFace(style, S::State_Enabled | S::State_On), t.primaryColor);
    EXPECT_EQ(centreOfButtonFace(style, S::State_Enabled, true), t.primaryColor);
    EXPECT_EQ(centreOfButtonFace(style, S::State_None, true), t.primaryColorDisabled);
}

TEST(ApplicationStyle, WidgetsPaintedByTheStyleShowThemeColours) {
    test::testApplication();
    ApplicationStyle style;
    const StyleTheme& t = style.theme();

    QPushButton button;
    button.setStyle(&style);
    button.setPalette(style.standardPalette());
    button.resize(60, 28);
    EXPECT_EQ(button.grab().toImage().pixelColor(30, 14), t.neutralColor);

    QLineEdit edit;
    edit.setStyle(&style);
    edit.setPalette(style.standardPalette());
    edit.resize(80, 26);
    const QImage field = edit.grab().toImage();
    EXPECT_EQ(field.pixelColor(40, 13), t.backgroundColorMain1);
    EXPECT_EQ(field.pixelColor(40, 0), t.borderColor);
}

TEST(ApplicationStyle, ScrollBarHandleRunsAlongTheWholeBarWithoutArrowButtons) {
    test::testApplication();
    const ApplicationStyle style;
    const QStyleOptionSlider half = horizontalBar(200, 100, 0);
    EXPECT_FALSE(style.subControlRect(QStyle::CC_ScrollBar, &half, QStyle::SC_ScrollBarAddLine).isValid());
    EXPECT_FALSE(style.subControlRect(QStyle::CC_ScrollBar, &half, QStyle::SC_ScrollBarSubLine).isValid());
    EXPECT_EQ(style.subControlRect(QStyle::CC_ScrollBar, &half, QStyle::SC_ScrollBarGroove), QRect(0, 0, 200, 12));
    // A page of 100 over a range of 100 shows half of the content: half the bar.
    EXPECT_EQ(style.subControlRect(QStyle::CC_ScrollBar, &half, QStyle::SC_ScrollBarSlider), QRect(0, 0, 100, 12));
    EXPECT_EQ(style.subControlRect(QStyle::CC_ScrollBar, &half, QStyle::SC_ScrollBarAddPage), QRect(100, 0, 100, 12));

    const QStyleOptionSlider end = horizontalBar(200, 100, 100);
    EXPECT_EQ(style.subControlRect(QStyle::CC_ScrollBar, &end, QStyle::SC_ScrollBarSlider), QRect(100, 0, 100, 12));
    EXPECT_EQ(style.hitTestComplexControl(QStyle::CC_ScrollBar, &end, QPoint(150, 6)), QStyle::SC_ScrollBarSlider);
    EXPECT_EQ(style.hitTestComplexControl(QStyle::CC_ScrollBar, &end, QPoint(50, 6)), QStyle::SC_ScrollBarSubPage);

    QStyleOptionSlider rightToLeft = horizontalBar(200, 100, 0);
    rightToLeft.direction = Qt::RightToLeft;
    EXPECT_EQ(style.subControlRect(QStyle::CC_ScrollBar, &rightToLeft, QStyle::SC_ScrollBarSlider),
              QRect(100, 0, 100, 12));

    // page * length overflows an int here; the handle keeps a graspable length.
    QStyleOptionSlider huge = horizontalBar(200, 1, 2'000'000'000);
    huge.maximum = 2'000'000'000;
    const QRect handle = style.subControlRect(QStyle::CC_ScrollBar, &huge, QStyle::SC_ScrollBarSlider);
    EXPECT_EQ(handle, QRect(200 - style.pixelMetric(QStyle::PM_ScrollBarSliderMin), 0,
                            style.pixelMetric(QStyle::PM_ScrollBarSliderMin), 12));
}

TEST(ApplicationStyle, DraggingAScrollBarHandleAcrossTheBarScrollsToTheEnd) {
    test::testApplication();
    ApplicationStyle style;
    QScrollBar bar(Qt::Horizontal);
    bar.setStyle(&style);
    bar.setRange(0, 100);
    bar.setPageStep(100);
    bar.resize(200, style.pixelMetric(QStyle::PM_ScrollBarExtent));
    bar.show();
    QTest::mousePress(&bar, Qt::LeftButton, Qt::NoModifier, QPoint(50, 6));
    QTest::mouseMove(&bar, QPoint(150, 6));
    QTest::mouseRelease(&bar, Qt::LeftButton, Qt::NoModifier, QPoint(150, 6));
    EXPECT_EQ(bar.value(), 100);
}

}  // namespace
}  // namespace tavro::gui
