#include "gui/mainwindow/main_widget.h"

#include "gui/foundation/message_boxes.h"
#include "gui/foundation/scientific_double_spin_box.h"
#include "support/test_application.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTest>

#include <gtest/gtest.h>

#include <functional>
#include <initializer_list>
#include <utility>

namespace tavro::gui {

using Slots = QStringList;

struct MainWidgetWiringTestAccess {
    // A shown window that records, in order, the members its controls reach.
    struct Window {
        QApplication& application = test::testApplication();
        // The slots open their dialogs for real: each is answered with Cancel.
        ScopedDialogResponder responder{{[](QDialog& d) { d.reject(); }, {}}};
        MainWidget w;
        QStringList reached;
        // Runs in place of a slot body that is not written yet.
        std::function<void(const QString&)> standIn;

        Window() {
            // The panels as they are once a project folder is set.
            w.setProjectControlsEnabled(true);
            w.slotObserver = [this](const char* slot) {
                const QString name = QString::fromLatin1(slot).section(QLatin1Char('('), 0, 0);
                reached << name;
                if (standIn)
                    standIn(name);
            };
            w.resize(1400, 900);
            w.show();
            QApplication::processEvents();
        }

        // Closing the window moves the focus, which still reaches slots.
        ~Window() { w.slotObserver = nullptr; }

        template <typename Act>
        QStringList reachedBy(Act&& act) {
            reached.clear();
            act();
            return reached;
        }

        template <typename Act>
        int savesBy(Act&& act) {
            const int before = w.autosaveRequests;
            act();
            return w.autosaveRequests - before;
        }

        void mouse(ImageViewWidget* view, QEvent::Type type, QPointF scenePoint, Qt::MouseButtons held) {
            const QPointF at = view->mapFromScene(scenePoint);
            QMouseEvent event(type, at, view->viewport()->mapToGlobal(at), Qt::LeftButton, held, Qt::NoModifier);
            QApplication::sendEvent(view->viewport(), &event);
        }

        void showReferenceImage() {
            QImage image(200, 100, QImage::Format_Grayscale8);
            image.fill(90);
            w.referenceView->setImage(image, true);
            w.referenceView->setRoiSelectionEnabled(true);
            QApplication::processEvents();
        }
    };

    static void ActionControlsReachTheirSlotsAndTheModeSavesAfterItsHooks();
    static void EveryRecordedControlSavesOncePerChange();
    static void TheRoiIsSavedOncePerChangeFromEitherSide();
    static void PositionsSaveOncePerEditAndATypedFolderSavesNothing();
};

#define WIRING_TEST(Suite, Name)               \
    TEST(Suite, Name) {                        \
        MainWidgetWiringTestAccess::Name();    \
    }                                          \
    void MainWidgetWiringTestAccess::Name()

WIRING_TEST(ActionWiring, ActionControlsReachTheirSlotsAndTheModeSavesAfterItsHooks) {
    Window access;
    MainWidget& w = access.w;
    for (const auto& [button, slot] : {std::pair{w.loadProjectButton, "onLoadParameters"},
                                       std::pair{w.computeButton, "onCompute"},
                                       std::pair{w.stopButton, "onStopComputation"}}) {
        button->setEnabled(true);
        EXPECT_EQ(access.reachedBy([button = button] { button->click(); }), Slots{QString::fromLatin1(slot)});
    }
    // Both input views reach the same slot, which does not know which was clicked.
    for (ImageViewWidget* view : {w.referenceView, w.deformedView})
        EXPECT_EQ(access.reachedBy([&] {
            access.mouse(view, QEvent::MouseButtonPress, QPointF(5, 5), Qt::LeftButton);
            access.mouse(view, QEvent::MouseButtonRelease, QPointF(5, 5), Qt::NoButton);
        }),
                  Slots{"onViewClicked"});

    // Leaving a crack mode unchecks its options as part of the one change.
    w.computationModeCombo->setCurrentIndex(w.computationModeCombo->findData(2));
    w.twinningCheck->setChecked(true);
    w.q4ProjectionCheck->setChecked(true);
    EXPECT_EQ(access.reachedBy([&] { w.computationModeCombo->setCurrentIndex(0); }),
              (Slots{"onDegreeOfFreedomChanged", "autosaveParameters"}));
    EXPECT_FALSE(w.twinningCheck->isChecked());
    EXPECT_FALSE(w.q4ProjectionCheck->isChecked());
}

WIRING_TEST(AutosaveTriggers, EveryRecordedControlSavesOncePerChange) {
    Window access;
    MainWidget& w = access.w;
    for (QSpinBox* roi : {w.roiXSpin, w.roiYSpin, w.roiWidthSpin, w.roiHeightSpin})
        roi->setRange(0, 100);
    int row = 0;
    for (QSpinBox* box : {w.windowSizeXSpin, w.windowSizeYSpin, w.spacingXSpin, w.spacingYSpin, w.searchUpSpin,
                          w.searchDownSpin, w.searchLeftSpin, w.searchRightSpin, w.maxIterationsSpin, w.roiXSpin,
                          w.roiYSpin, w.roiWidthSpin, w.roiHeightSpin, w.gridRowsSpin, w.gridColsSpin, w.overlapXSpin,
                          w.overlapYSpin, w.q4PassesSpin, w.maxJumpInitSpin, w.fractureLineWidthSpin})
        EXPECT_EQ(access.savesBy([box = box] { box->stepBy(1); }), 1) << "spin box " << row++;
    for (QComboBox* box : {w.computationModeCombo, w.interpolationCombo, w.scanOrderCombo})
        EXPECT_EQ(access.savesBy([box = box] { box->setCurrentIndex((box->currentIndex() + 1) % box->count()); }), 1)
            << box->currentText().toStdString();
    for (QAbstractButton* check : std::initializer_list<QAbstractButton*>{
             w.missingTilesCheck, w.nonRigidRefinementCheck, w.perTileRadio, w.stitchAndCorrelateRadio,
             w.useMaskCheck, w.saveFullImageCheck, w.twinningCheck, w.q4ProjectionCheck, w.nlcFilterCheck})
        EXPECT_EQ(access.savesBy([check] { check->click(); }), 1) << check->text().toStdString();
    EXPECT_EQ(access.savesBy([&] { w.toleranceSpin->setValue(1e-3); }), 1);
    EXPECT_EQ(access.savesBy([&] { w.q4ThresholdSpin->setValue(1.2); }), 1);
}

WIRING_TEST(ActionWiring, TheRoiIsSavedOncePerChangeFromEitherSide) {
    Window access;
    MainWidget& w = access.w;
    ImageViewWidget* view = w.referenceView;
    QImage image(200, 100, QImage::Format_Grayscale8);
    image.fill(90);
    w.referenceImage.full = image;
    w.referenceImage.originalSize = image.size();
    view->setImage(image, true);
    QStringList reached;
    const int dragSaves = access.savesBy([&] {
        reached = access.reachedBy([&] {
            access.mouse(view, QEvent::MouseButtonPress, QPointF(20, 20), Qt::LeftButton);
            for (const QPointF to : {QPointF(40, 30), QPointF(60, 50), QPointF(80, 70)})
                access.mouse(view, QEvent::MouseMove, to, Qt::LeftButton);
            access.mouse(view, QEvent::MouseButtonRelease, QPointF(80, 70), Qt::NoButton);
        });
    });
    ASSERT_FALSE(view->roi().isNull());
    EXPECT_EQ(dragSaves, 1);
    EXPECT_EQ(reached.count(QStringLiteral("onRoiChangedInView")), 4) << "the boxes follow the drag live";
    EXPECT_EQ(reached.last(), QStringLiteral("autosaveParameters"));
    // As "Remove ROI" of the view's menu does.
    EXPECT_EQ(access.savesBy([&] { view->clearRoi(); }), 1);

    // A box applies its ROI to the view, whose echo must not save a second time.
    for (QSpinBox* roi : {w.roiXSpin, w.roiYSpin, w.roiWidthSpin, w.roiHeightSpin})
        roi->setRange(0, 100);
    access.standIn = [&](const QString& slot) {
        if (slot == QStringLiteral("onRoiSpinBoxChanged"))
            view->setRoi(
                QRect(w.roiXSpin->value(), w.roiYSpin->value(), w.roiWidthSpin->value(), w.roiHeightSpin->value()));
    };
    w.roiWidthSpin->setValue(30);
    EXPECT_EQ(access.savesBy([&] { reached = access.reachedBy([&] { w.roiHeightSpin->setValue(20); }); }), 1);
    EXPECT_EQ(reached, (Slots{"onRoiSpinBoxChanged", "onRoiChangedInView", "autosaveParameters"}));
    EXPECT_EQ(view->roi(), QRect(0, 0, 30, 20));
}

WIRING_TEST(AutosaveTriggers, PositionsSaveOncePerEditAndATypedFolderSavesNothing) {
    Window access;
    MainWidget& w = access.w;
    w.missingTilesCheck->setChecked(true);
    QLineEdit* positions = w.missingPositionsEdit;
    positions->setFocus();
    EXPECT_EQ(access.savesBy([&] { QTest::keyClicks(positions, QStringLiteral("1-3; 7")); }), 0);
    EXPECT_EQ(access.savesBy([&] { QTest::keyClick(positions, Qt::Key_Return); }), 1);
    EXPECT_EQ(access.savesBy([&] { QTest::keyClick(positions, Qt::Key_Return); }), 0);
    positions->setText(QStringLiteral("2"));
    EXPECT_EQ(access.savesBy([&] { QTest::keyClick(positions, Qt::Key_Return); }), 0) << "set by the program";

    w.projectPathEdit->setFocus();
    EXPECT_EQ(access.savesBy([&] { QTest::keyClicks(w.projectPathEdit, QStringLiteral("/tmp/half-typ")); }), 0);
}

}  // namespace tavro::gui
