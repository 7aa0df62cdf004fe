#include "gui/foundation/elided_label.h"
#include "gui/foundation/event_filters.h"
#include "gui/foundation/flow_layout.h"
#include "gui/foundation/scientific_double_spin_box.h"
#include "support/test_application.h"

#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>
#include <QVBoxLayout>
#include <QWheelEvent>
#include <QtTest/qtestspontaneevent.h>

#include <gtest/gtest.h>

#include <cmath>

namespace tavro::gui {
namespace {

const QString kSentence = QStringLiteral(
    "The reference image and every deformed image must have the same size and bit depth before the "
    "correlation can start");

// Resize events reach only a shown widget; hidden ones get theirs when shown.
QStringList linesAtWidth(ElidedLabel& label, int width) {
    label.show();
    label.resize(width, 60);
    return label.text().split(QLatin1Char('\n'));
}

int availableWidth(const ElidedLabel& label) {
    return label.width() - label.contentsMargins().left() - label.contentsMargins().right();
}

// A wheel notch delivered as the window system would, so that Qt passes an
// unaccepted one on to the parents.
void sendWheel(QWidget& target) {
    const QPointF centre = QRectF(target.rect()).center();
    QWheelEvent wheel(centre, target.mapToGlobal(centre), QPoint(), QPoint(0, 120), Qt::NoButton, Qt::NoModifier,
                      Qt::NoScrollPhase, false);
    QSpontaneKeyEvent::setSpontaneous(&wheel);
    qApp->notify(&target, &wheel);
}

class WheelCounter : public QWidget {
public:
    int wheels = 0;

protected:
    void wheelEvent(QWheelEvent* event) override {
        ++wheels;
        event->accept();
    }
};

class ScientificSpinBox : public ::testing::Test {
protected:
    ScientificSpinBox() {
        box.setRange(1e-12, 1.0);
        box.setValue(1e-6);
    }

    QLineEdit* edit() { return box.findChild<QLineEdit*>(); }

    void type(const QString& text) {
        edit()->selectAll();
        QTest::keyClick(edit(), Qt::Key_Backspace);
        QTest::keyClicks(edit(), text);
    }

    void commit() { QTest::keyClick(edit(), Qt::Key_Return); }

    // Declared before the box, which needs the application.
    QApplication& app = test::testApplication();
    ScientificDoubleSpinBox box;
};

TEST(ElidedLabel, ShowsTheTextUnchangedWhenItFitsOrThereIsNoRoom) {
    test::testApplication();
    ElidedLabel label(QStringLiteral("Short text"));
    EXPECT_EQ(linesAtWidth(label, 40).size(), 2);
    EXPECT_EQ(label.toolTip(), QStringLiteral("Short text"));
    EXPECT_EQ(linesAtWidth(label, 200), QStringList{QStringLiteral("Short text")});
    EXPECT_TRUE(label.toolTip().isEmpty());

    label.setText(kSentence);
    label.setContentsMargins(10, 0, 10, 0);
    linesAtWidth(label, 15);
    EXPECT_EQ(label.text(), kSentence);
}

TEST(ElidedLabel, LongSentenceWrapsAtSpacesOntoThreeLinesEndingInAnEllipsis) {
    test::testApplication();
    ElidedLabel label(kSentence);
    const QStringList lines = linesAtWidth(label, 150);
    ASSERT_EQ(lines.size(), 3);
    EXPECT_TRUE(lines[2].endsWith(QChar(0x2026))) << lines[2].toStdString();
    const QFontMetrics metrics = label.fontMetrics();
    for (const QString& line : lines)
        EXPECT_LE(metrics.horizontalAdvance(line), availableWidth(label)) << line.toStdString();
    // Whole words, as many as fit: the next word would not have fitted on the first line.
    EXPECT_TRUE(kSentence.startsWith(lines[0] + QLatin1Char(' ') + lines[1] + QLatin1Char(' ')));
    const QString afterFirst = kSentence.mid(lines[0].size() + 1);
    const QString nextWord = afterFirst.left(afterFirst.indexOf(QLatin1Char(' ')));
    EXPECT_GT(metrics.horizontalAdvance(lines[0] + QLatin1Char(' ') + nextWord), availableWidth(label));
    EXPECT_EQ(label.toolTip(), kSentence);
}

TEST(ElidedLabel, SingleLongWordIsCutWhereItStopsFitting) {
    test::testApplication();
    const QString word = QStringLiteral("abcdefghijklmnopqrstuvwxyz").repeated(4);
    ElidedLabel label(word);
    const QStringList lines = linesAtWidth(label, 80);
    ASSERT_EQ(lines.size(), 3);
    EXPECT_TRUE(word.startsWith(lines[0] + lines[1]));
    const QFontMetrics metrics = label.fontMetrics();
    for (int i = 0; i < 2; ++i) {
        const QString rest = word.mid(i == 0 ? 0 : lines[0].size());
        EXPECT_LE(metrics.horizontalAdvance(lines[i]), availableWidth(label));
        EXPECT_GT(metrics.horizontalAdvance(rest.left(lines[i].size() + 1)), availableWidth(label));
    }
}

TEST(ElidedLabel, NeverSplitsASurrogatePair) {
    test::testApplication();
    const QString clefs = QString::fromUtf8("\xF0\x9D\x84\x9E").repeated(6);
    ElidedLabel label(clefs);
    label.setContentsMargins(0, 0, 0, 0);
    // Nothing fits in one pixel: each of the first two lines takes one whole
    // character and not even the ellipsis fits on the third.
    EXPECT_EQ(linesAtWidth(label, 1), (QStringList{clefs.left(2), clefs.left(2), QString()}));
}

TEST_F(ScientificSpinBox, ShowsValuesAsMantissaAndPowerOfTen) {
    EXPECT_EQ(box.textFromValue(0.0), QStringLiteral("0"));
    EXPECT_EQ(box.textFromValue(1e-16), QStringLiteral("0"));
    EXPECT_EQ(box.textFromValue(123456.0), QStringLiteral("1.23e5"));
    EXPECT_EQ(box.textFromValue(9.99999e-7), QStringLiteral("10e-7"));
    EXPECT_EQ(box.textFromValue(2.5e-6), QStringLiteral("2.5e-6"));
    EXPECT_EQ(box.textFromValue(-4.0), QStringLiteral("-4e0"));
    EXPECT_EQ(box.textFromValue(1.23456e-5), QStringLiteral("1.23e-5"));
    // log10 of a power of ten may land a hair below it; the text must not read "10e-4".
    for (int exponent = -15; exponent <= 15; ++exponent)
        EXPECT_EQ(box.textFromValue(std::pow(10.0, exponent)), QStringLiteral("1e%1").arg(exponent));
}

TEST_F(ScientificSpinBox, ReadsCLocaleNumbersWhateverTheLocale) {
    box.setLocale(QLocale(QLocale::German, QLocale::Germany));
    EXPECT_DOUBLE_EQ(box.valueFromText(QStringLiteral("2.5E3")), 2500.0);
    EXPECT_DOUBLE_EQ(box.valueFromText(QStringLiteral("0.001")), 0.001);
    EXPECT_DOUBLE_EQ(box.valueFromText(QStringLiteral("abc")), 1e-6);
    EXPECT_DOUBLE_EQ(box.valueFromText(QStringLiteral("0,5")), 1e-6);
}

TEST_F(ScientificSpinBox, EveryPrefixOfASmallValueCanBeTyped) {
    // "0" and "0.00" lie below the minimum 1e-12 on the way to "0.001".
    const QString target = QStringLiteral("0.001");
    int pos = 0;
    for (int n = 0; n < target.size(); ++n) {
        QString prefix = target.left(n);
        EXPECT_EQ(box.validate(prefix, pos), QValidator::Intermediate) << prefix.toStdString();
    }
    QString text = QStringLiteral("abc");
    EXPECT_EQ(box.validate(text, pos), QValidator::Intermediate);

    type(target);
    EXPECT_EQ(edit()->text(), target);
    commit();
    EXPECT_DOUBLE_EQ(box.value(), 0.001);
    EXPECT_EQ(box.text(), QStringLiteral("1e-3"));
}

TEST_F(ScientificSpinBox, OutOfRangeTextIsClampedWhenCommitted) {
    type(QStringLiteral("5"));
    commit();
    EXPECT_DOUBLE_EQ(box.value(), 1.0);
    type(QStringLiteral("1e-20"));
    commit();
    EXPECT_DOUBLE_EQ(box.value(), 1e-12);
    type(QStringLiteral("abc"));
    commit();
    EXPECT_DOUBLE_EQ(box.value(), 1e-12);
}

TEST_F(ScientificSpinBox, StepsMultiplyOrDivideByTenWithinTheRange) {
    box.stepBy(1);
    EXPECT_DOUBLE_EQ(box.value(), 1e-5);
    EXPECT_EQ(box.text(), QStringLiteral("1e-5"));
    box.setValue(1e-6);
    box.stepBy(-1);
    EXPECT_DOUBLE_EQ(box.value(), 1e-7);
    box.setValue(1.0);
    box.stepBy(1);
    EXPECT_DOUBLE_EQ(box.value(), 1.0);
    box.setValue(1e-11);
    box.stepBy(-3);
    EXPECT_DOUBLE_EQ(box.value(), 1e-12);
}

TEST_F(ScientificSpinBox, ArrowKeyCommitsPendingTextBeforeStepping) {
    QTest::keyClick(edit(), Qt::Key_Up);
    EXPECT_DOUBLE_EQ(box.value(), 1e-5);
    type(QStringLiteral("50"));
    QTest::keyClick(edit(), Qt::Key_Down);
    EXPECT_DOUBLE_EQ(box.value(), 1.0);
}

TEST(VisibleWhenEnabledFilter, WidgetIsVisibleExactlyWhileEnabled) {
    test::testApplication();
    QWidget window;
    auto* stop = new QPushButton(QStringLiteral("Stop"));
    (new QVBoxLayout(&window))->addWidget(stop);
    VisibleWhenEnabledFilter filter;
    stop->installEventFilter(&filter);
    stop->setEnabled(false);
    stop->hide();
    window.show();
    stop->setEnabled(true);
    EXPECT_TRUE(stop->isVisible());
    stop->setEnabled(false);
    EXPECT_FALSE(stop->isVisible());
}

TEST(WheelEventFilter, WheelGoesToTheParentPanelInsteadOfTheControl) {
    test::testApplication();
    WheelCounter panel;
    auto* spin = new QSpinBox(&panel);
    spin->setValue(5);
    auto* combo = new QComboBox(&panel);
    combo->addItems({QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c")});
    combo->setCurrentIndex(1);
    panel.show();
    // The same event changes an unwatched control, so the test event is effective.
    sendWheel(*spin);
    ASSERT_EQ(spin->value(), 6);

    WheelEventFilter filter;
    spin->installEventFilter(&filter);
    combo->installEventFilter(&filter);
    spin->setFocus();
    sendWheel(*spin);
    sendWheel(*combo);
    EXPECT_EQ(spin->value(), 6);
    EXPECT_EQ(combo->currentIndex(), 1);
    EXPECT_EQ(panel.wheels, 2);
    QTest::keyClick(spin, Qt::Key_Up);
    EXPECT_EQ(spin->value(), 7);
}

}  // namespace
namespace {

// Three fixed 50 x 20 items in a row with 4 pixels between them.
struct FlowRow {
    QWidget host;
    FlowLayout* layout = nullptr;
    QList<QWidget*> items;

    explicit FlowRow(FlowLayout::RowPlacement placement) : host((test::testApplication(), nullptr)) {
        layout = new FlowLayout(&host, placement, 4);
        for (int i = 0; i < 3; ++i) {
            auto* item = new QWidget(&host);
            item->setFixedSize(50, 20);
            layout->addWidget(item);
            items.append(item);
        }
    }

    void layOut(int width) {
        host.resize(width, layout->heightForWidth(width));
        layout->setGeometry(host.rect());
    }
};

}  // namespace

TEST(FlowLayout, ARowTooWideContinuesOnTheNextLine) {
    FlowRow row(FlowLayout::RowPlacement::Left);
    EXPECT_EQ(row.layout->sizeHint(), QSize(158, 20));
    EXPECT_EQ(row.layout->minimumSize(), QSize(50, 20)) << "one item a line at the narrowest";
    EXPECT_EQ(row.layout->heightForWidth(158), 20);
    EXPECT_EQ(row.layout->heightForWidth(157), 44);
    EXPECT_EQ(row.layout->heightForWidth(50), 68);

    row.layOut(120);
    EXPECT_EQ(row.items[0]->geometry(), QRect(0, 0, 50, 20));
    EXPECT_EQ(row.items[1]->geometry(), QRect(54, 0, 50, 20));
    EXPECT_EQ(row.items[2]->geometry(), QRect(0, 24, 50, 20));
    for (const QWidget* item : row.items)
        EXPECT_LE(item->geometry().right(), 119);

    row.items[1]->hide();
    EXPECT_EQ(row.layout->heightForWidth(120), 20) << "a hidden item takes no room";
}

TEST(FlowLayout, LinesAreCentredOrEndWithTheLastItemAtTheRight) {
    FlowRow centred(FlowLayout::RowPlacement::Centre);
    centred.layOut(200);
    EXPECT_EQ(centred.items[0]->x(), 21);
    EXPECT_EQ(centred.items[2]->x(), 129);
    centred.layOut(110);
    EXPECT_EQ(centred.items[0]->x(), 3);
    EXPECT_EQ(centred.items[2]->geometry(), QRect(30, 24, 50, 20));

    FlowRow last(FlowLayout::RowPlacement::LastToRight);
    last.layOut(200);
    EXPECT_EQ(last.items[1]->x(), 54);
    EXPECT_EQ(last.items[2]->x(), 150) << "as after a stretch";
    last.layOut(110);
    EXPECT_EQ(last.items[2]->x(), 0) << "alone on its line";
}

}  // namespace tavro::gui
