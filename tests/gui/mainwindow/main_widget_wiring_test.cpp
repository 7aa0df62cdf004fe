#include "gui/mainwindow/main_widget.h"

#include "gui/foundation/scientific_double_spin_box.h"
#include "support/test_application.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QSpinBox>
#include <QTest>

#include <gtest/gtest.h>

#include <functional>

namespace tavro::gui {

using Slots = QStringList;

struct MainWidgetWiringTestAccess {
    // A shown window that records, in order, the members its controls reach.
    struct Window {
        QApplication& application = test::testApplication();
        MainWidget w;
        QStringList reached;
        // Runs in place of a slot body that is not written yet.
        std::function<void(const QString&)> standIn;

        Window() {
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

    static void actionControlsReachTheirSlots();
    static void everyRecordedControlSavesOncePerChange();
    static void aRoiDrawnInTheViewIsSavedOnceWhenLetGo();
    static void aRoiBoxAppliesItsRoiThenSavesOnceThoughTheViewEchoes();
    static void aModeChangeUpdatesThenSavesOnceEvenWhenItUnchecksCrackOptions();
    static void positionsSaveOncePerEditAndATypedFolderSavesNothing();
};

void MainWidgetWiringTestAccess::actionControlsReachTheirSlots() {
    Window access;
    MainWidget& w = access.w;
    const std::pair<QPushButton*, const char*> clicks[] = {
        {w.loadProjectButton, "onLoadParameters"},
        {w.computeButton, "onCompute"},
        {w.stopButton, "onStopComputation"},
    };
    for (const auto& [button, slot] : clicks) {
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
}

void MainWidgetWiringTestAccess::everyRecordedControlSavesOncePerChange() {
    Window access;
    MainWidget& w = access.w;
    for (QSpinBox* roi : {w.roiXSpin, w.roiYSpin, w.roiWidthSpin, w.roiHeightSpin})
        roi->setRange(0, 100);
    w.missingTilesCheck->setChecked(true);
    const std::pair<const char*, std::function<void()>> changes[] = {
        {"window size x", [&] { w.windowSizeXSpin->setValue(41); }},
        {"window size y", [&] { w.windowSizeYSpin->setValue(31); }},
        {"spacing x", [&] { w.spacingXSpin->setValue(7); }},
        {"spacing y", [&] { w.spacingYSpin->setValue(9); }},
        {"search up", [&] { w.searchUpSpin->setValue(1); }},
        {"search down", [&] { w.searchDownSpin->setValue(2); }},
        {"search left", [&] { w.searchLeftSpin->setValue(3); }},
        {"search right", [&] { w.searchRightSpin->setValue(4); }},
        {"mode", [&] { w.computationModeCombo->setCurrentIndex(0); }},
        {"interpolation", [&] { w.interpolationCombo->setCurrentIndex(2); }},
        {"tolerance", [&] { w.toleranceSpin->setValue(1e-3); }},
        {"iterations", [&] { w.maxIterationsSpin->setValue(12); }},
        {"roi x", [&] { w.roiXSpin->setValue(5); }},
        {"roi y", [&] { w.roiYSpin->setValue(6); }},
        {"roi width", [&] { w.roiWidthSpin->setValue(50); }},
        {"roi height", [&] { w.roiHeightSpin->setValue(40); }},
        {"grid rows", [&] { w.gridRowsSpin->setValue(4); }},
        {"grid columns", [&] { w.gridColsSpin->setValue(5); }},
        {"overlap x", [&] { w.overlapXSpin->setValue(10); }},
        {"overlap y", [&] { w.overlapYSpin->setValue(15); }},
        {"scan order", [&] { w.scanOrderCombo->setCurrentIndex(0); }},
        {"missing tiles", [&] { w.missingTilesCheck->setChecked(false); }},
        {"non-rigid refinement", [&] { w.nonRigidRefinementCheck->toggle(); }},
        {"per-tile", [&] { w.perTileRadio->click(); }},
        {"stitch and correlate", [&] { w.stitchAndCorrelateRadio->click(); }},
        {"use a mask", [&] { w.useMaskCheck->toggle(); }},
        {"save full image", [&] { w.saveFullImageCheck->toggle(); }},
        {"twinning", [&] { w.twinningCheck->toggle(); }},
        {"q4 projection", [&] { w.q4ProjectionCheck->toggle(); }},
        {"q4 passes", [&] { w.q4PassesSpin->setValue(8); }},
        {"q4 threshold", [&] { w.q4ThresholdSpin->setValue(1.2); }},
        {"max jump init", [&] { w.maxJumpInitSpin->setValue(4); }},
        {"nlc filter", [&] { w.nlcFilterCheck->toggle(); }},
        {"min jump", [&] { w.fractureMinJumpSlider->triggerAction(QAbstractSlider::SliderSingleStepAdd); }},
        {"line width", [&] { w.fractureLineWidthSpin->setValue(7); }},
        {"height save full image", [&] { w.heightSaveFullImageCheck->toggle(); }},
    };
    for (const auto& [name, change] : changes)
        EXPECT_EQ(access.savesBy(change), 1) << name;
}

void MainWidgetWiringTestAccess::aRoiDrawnInTheViewIsSavedOnceWhenLetGo() {
    Window access;
    MainWidget& w = access.w;
    access.showReferenceImage();
    ImageViewWidget* view = w.referenceView;
    QStringList reached;
    const int saves = access.savesBy([&] {
        reached = access.reachedBy([&] {
            access.mouse(view, QEvent::MouseButtonPress, QPointF(20, 20), Qt::LeftButton);
            for (const QPointF to : {QPointF(40, 30), QPointF(60, 50), QPointF(80, 70)})
                access.mouse(view, QEvent::MouseMove, to, Qt::LeftButton);
            access.mouse(view, QEvent::MouseButtonRelease, QPointF(80, 70), Qt::NoButton);
        });
    });
    ASSERT_FALSE(view->roi().isNull());
    EXPECT_EQ(saves, 1);
    EXPECT_EQ(reached.count(QStringLiteral("onRoiChangedInView")), 4) << "the boxes follow the drag live";
    EXPECT_EQ(reached.last(), QStringLiteral("autosaveParameters"));
    // Removing the ROI from the view's menu changes it without a drag.
    EXPECT_EQ(access.savesBy([&] { view->clearRoi(); }), 1);
}

void MainWidgetWiringTestAccess::aRoiBoxAppliesItsRoiThenSavesOnceThoughTheViewEchoes() {
    Window access;
    MainWidget& w = access.w;
    access.showReferenceImage();
    for (QSpinBox* roi : {w.roiXSpin, w.roiYSpin, w.roiWidthSpin, w.roiHeightSpin})
        roi->setRange(0, 100);
    access.standIn = [&](const QString& slot) {
        if (slot == QStringLiteral("onRoiSpinBoxChanged"))
            w.referenceView->setRoi(
                QRect(w.roiXSpin->value(), w.roiYSpin->value(), w.roiWidthSpin->value(), w.roiHeightSpin->value()));
    };
    w.roiWidthSpin->setValue(30);
    QStringList reached;
    EXPECT_EQ(access.savesBy([&] { reached = access.reachedBy([&] { w.roiHeightSpin->setValue(20); }); }), 1);
    EXPECT_EQ(reached, (Slots{"onRoiSpinBoxChanged", "onRoiChangedInView", "autosaveParameters"}));
    EXPECT_EQ(w.referenceView->roi(), QRect(0, 0, 30, 20));
}

void MainWidgetWiringTestAccess::aModeChangeUpdatesThenSavesOnceEvenWhenItUnchecksCrackOptions() {
    Window access;
    MainWidget& w = access.w;
    const int crackMode = w.computationModeCombo->findData(2);
    ASSERT_GE(crackMode, 0);
    w.computationModeCombo->setCurrentIndex(crackMode);
    w.twinningCheck->setChecked(true);
    w.q4ProjectionCheck->setChecked(true);
    QStringList reached;
    EXPECT_EQ(access.savesBy([&] { reached = access.reachedBy([&] { w.computationModeCombo->setCurrentIndex(0); }); }),
              1);
    EXPECT_EQ(reached, (Slots{"onDegreeOfFreedomChanged", "autosaveParameters"}));
    EXPECT_FALSE(w.twinningCheck->isChecked());
    EXPECT_FALSE(w.q4ProjectionCheck->isChecked());
}

void MainWidgetWiringTestAccess::positionsSaveOncePerEditAndATypedFolderSavesNothing() {
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

TEST(ActionWiring, ActionButtonsAndViewClicksReachTheirSlots) {
    MainWidgetWiringTestAccess::actionControlsReachTheirSlots();
}

TEST(ActionWiring, ARoiDrawnInTheViewIsSavedOnceWhenLetGo) {
    MainWidgetWiringTestAccess::aRoiDrawnInTheViewIsSavedOnceWhenLetGo();
}

TEST(ActionWiring, ARoiBoxAppliesItsRoiThenSavesOnceThoughTheViewEchoes) {
    MainWidgetWiringTestAccess::aRoiBoxAppliesItsRoiThenSavesOnceThoughTheViewEchoes();
}

TEST(ActionWiring, AModeChangeUpdatesThenSavesOnceEvenWhenItUnchecksCrackOptions) {
    MainWidgetWiringTestAccess::aModeChangeUpdatesThenSavesOnceEvenWhenItUnchecksCrackOptions();
}

TEST(AutosaveTriggers, EveryRecordedControlSavesOncePerChange) {
    MainWidgetWiringTestAccess::everyRecordedControlSavesOncePerChange();
}

TEST(AutosaveTriggers, PositionsSaveOncePerEditAndATypedFolderSavesNothing) {
    MainWidgetWiringTestAccess::positionsSaveOncePerEditAndATypedFolderSavesNothing();
}

}  // namespace tavro::gui
