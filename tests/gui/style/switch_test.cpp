#include "gui/style/switch_widget.h"
#include "support/test_application.h"

#include <QApplication>
#include <QImage>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

namespace tavro::gui {
namespace {

QPalette distinctPalette() {
    QPalette palette;
    palette.setColor(QPalette::Active, QPalette::Highlight, QColor(200, 0, 0));
    palette.setColor(QPalette::Active, QPalette::Button, QColor(0, 0, 200));
    palette.setColor(QPalette::Active, QPalette::ButtonText, QColor(255, 255, 255));
    palette.setColor(QPalette::Disabled, QPalette::Highlight, QColor(90, 0, 0));
    palette.setColor(QPalette::Disabled, QPalette::Button, QColor(0, 0, 90));
    palette.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(128, 128, 128));
    return palette;
}

// A point of the track that the knob never covers: the middle of the track.
QColor trackColour(Switch& toggle) {
    const QRect track = toggle.trackRect();
    return toggle.grab().toImage().pixelColor(track.center().x(), track.top() + 2);
}

TEST(Switch, ClickingTrackKnobOrTextTogglesAndReportsTheNewState) {
    test::testApplication();
    Switch toggle;
    toggle.show();
    QSignalSpy toggled(&toggle, &Switch::toggled);
    QTest::mouseClick(&toggle, Qt::LeftButton, Qt::NoModifier, toggle.knobRect().center());
    EXPECT_TRUE(toggle.isChecked());
    QTest::mouseClick(&toggle, Qt::LeftButton, Qt::NoModifier, toggle.trackRect().center());
    EXPECT_FALSE(toggle.isChecked());
    ASSERT_EQ(toggled.count(), 2);
    EXPECT_TRUE(toggled.at(0).at(0).toBool());
    EXPECT_FALSE(toggled.at(1).at(0).toBool());

    Switch labelled(QStringLiteral("Mosaic"));
    labelled.resize(labelled.sizeHint());
    labelled.show();
    QTest::mouseClick(&labelled, Qt::LeftButton, Qt::NoModifier, QPoint(labelled.width() - 3, labelled.height() / 2));
    EXPECT_TRUE(labelled.isChecked());
}

TEST(Switch, SpaceKeyTogglesUnlessDisabled) {
    test::testApplication();
    Switch toggle;
    QSignalSpy toggled(&toggle, &Switch::toggled);
    QTest::keyClick(&toggle, Qt::Key_Space);
    EXPECT_TRUE(toggle.isChecked());
    QTest::keyClick(&toggle, Qt::Key_Space);
    EXPECT_FALSE(toggle.isChecked());
    EXPECT_EQ(toggled.count(), 2);

    toggle.show();
    toggle.setEnabled(false);
    QTest::mouseClick(&toggle, Qt::LeftButton, Qt::NoModifier, toggle.trackRect().center());
    QTest::keyClick(&toggle, Qt::Key_Space);
    EXPECT_FALSE(toggle.isChecked());
}

TEST(Switch, TrackAndKnobShowTheStateInPaletteColours) {
    test::testApplication();
    Switch toggle;
    toggle.setPalette(distinctPalette());
    toggle.resize(toggle.sizeHint());
    EXPECT_EQ(trackColour(toggle), QColor(0, 0, 200));
    const QRect offKnob = toggle.knobRect();

    toggle.setChecked(true);
    EXPECT_EQ(trackColour(toggle), QColor(200, 0, 0));
    EXPECT_GT(toggle.knobRect().left(), offKnob.right());
    EXPECT_EQ(toggle.grab().toImage().pixelColor(toggle.knobRect().center()), QColor(255, 255, 255));

    toggle.setEnabled(false);
    EXPECT_EQ(trackColour(toggle), QColor(90, 0, 0));
    EXPECT_EQ(toggle.grab().toImage().pixelColor(toggle.knobRect().center()), QColor(128, 128, 128));
    toggle.setChecked(false);
    EXPECT_EQ(trackColour(toggle), QColor(0, 0, 90));
}

TEST(Switch, SizeHintMakesRoomForItsText) {
    test::testApplication();
    Switch bare;
    Switch labelled(QStringLiteral("Mosaic"));
    const int textWidth = labelled.fontMetrics().horizontalAdvance(QStringLiteral("Mosaic"));
    EXPECT_GT(labelled.sizeHint().width(), bare.sizeHint().width() + textWidth);
    EXPECT_GE(bare.sizeHint().height(), bare.trackRect().height());
}

}  // namespace
}  // namespace tavro::gui
