#include "gui/mainwindow/main_widget.h"

#include "gui/foundation/contrast_histogram_widget.h"
#include "gui/mainwindow/result_page_parts.h"
#include "gui/style/switch_widget.h"
#include "support/test_application.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalSpy>
#include <QSlider>
#include <QSpinBox>
#include <QStackedWidget>
#include <QStandardItemModel>
#include <QTabWidget>
#include <QTest>
#include <QToolButton>
#include <QVBoxLayout>

#include <gtest/gtest.h>

#include <memory>

namespace tavro::gui {

namespace {

// How many connections a signal has; a control wired twice runs its slot twice.
// The member pointer names QObject's own function, so no object is cast to a
// type it does not have.
struct SignalReceivers : QObject {
    using QObject::receivers;
    static int of(const QObject* sender, const char* signal) {
        return (sender->*&SignalReceivers::receivers)(signal);
    }
};

QImage gradient(int width, int height) {
    QImage image(width, height, QImage::Format_Grayscale8);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            image.scanLine(y)[x] = static_cast<uchar>((x * 7 + y * 3) % 256);
    return image;
}

std::unique_ptr<MainWidget> shownWindow() {
    tavro::test::testApplication();
    auto window = std::make_unique<MainWidget>();
    window->resize(1400, 900);
    window->show();
    QApplication::processEvents();
    return window;
}

}  // namespace

struct MainWidgetPagesTestAccess {
    static void inputPageStartsLinkedWithTheMaskToggleAndApplyToAllHidden(MainWidget& w) {
        w.setProjectControlsEnabled(true);  // as with a project folder set
        EXPECT_EQ(w.mainTabs->widget(0), w.inputImagesPage);
        EXPECT_TRUE(w.referenceView->isRoiSelectionEnabled());
        EXPECT_FALSE(w.deformedView->isRoiSelectionEnabled());
        EXPECT_TRUE(w.referenceSyncButton->isChecked() && w.deformedSyncButton->isChecked());
        EXPECT_TRUE(w.maskOverlayButton->isChecked());
        EXPECT_TRUE(w.maskOverlayButton->isHidden());
        EXPECT_TRUE(w.deformedApplyAllButton->isHidden());
        EXPECT_TRUE(w.referenceHistogram->isEnabled() && w.deformedHistogram->isEnabled());
        EXPECT_FALSE(w.referenceLogSwitch->isEnabled());
        EXPECT_EQ(w.deformedTitleLabel->text(), QStringLiteral("Deformed \u2014 / \u2014"));
        EXPECT_EQ(w.referencePixelLabel->text(), QStringLiteral("Pixel : \u2014"));
        EXPECT_EQ(w.referenceMinMaxLabel->text(), QStringLiteral("Min : -    Max : -"));
        EXPECT_EQ(w.referenceOneToOneButton->size(), QSize(28, 20));
        EXPECT_FALSE(w.deformedSlider->isEnabled());
    }

    static void resultPagesStartHiddenEmptyAndDisabled(MainWidget& w) {
        for (QWidget* page : {w.displacementsPage, w.strainResultPage, w.fractureResultPage, w.heightResultPage}) {
            EXPECT_LT(w.mainTabs->indexOf(page), 0);
            EXPECT_TRUE(page->isHidden());
        }
        for (int c = 0; c < 2; ++c) {
            EXPECT_FALSE(w.displacementApplyAllButtons[c]->isHidden());
            EXPECT_FALSE(w.displacementApplyAllButtons[c]->isEnabled());
            EXPECT_FALSE(w.displacementHistograms[c]->isEnabled());
        }
        EXPECT_EQ(w.displacementValueLabels[0]->text(), QStringLiteral("Ux : \u2014"));
        EXPECT_EQ(w.displacementValueLabels[1]->text(), QStringLiteral("Uy : \u2014"));
        EXPECT_FALSE(w.uxMarkersButton->isChecked() || w.uyMarkersButton->isChecked());
        EXPECT_TRUE(w.uxSyncButton->isChecked() && w.uySyncButton->isChecked() && w.displacementViewsLinked);

        QStringList components;
        for (int i = 0; i < w.strainComponentCombo->count(); ++i)
            components << w.strainComponentCombo->itemText(i);
        EXPECT_EQ(components, (QStringList{QStringLiteral("\u03b5xx"), QStringLiteral("\u03b5yy"),
                                           QStringLiteral("\u03b5xy"), QStringLiteral("\u03b5I"),
                                           QStringLiteral("\u03b5II"), QStringLiteral("Rotation \u03c9")}));
        EXPECT_FALSE(w.strainComponentCombo->isEnabled());
        EXPECT_EQ(w.strainValueLabel->text(), QStringLiteral("\u03b5xx : \u2014"));
        EXPECT_TRUE(w.strainMarkersButton->isEnabled());

        EXPECT_EQ(w.fractureParameterCombo->currentData().toInt(), 0);
        EXPECT_EQ(w.fractureValueLabel->text(), QStringLiteral("Opening X : \u2014"));
        EXPECT_TRUE(w.fractureMinJumpRow->isHidden());
        EXPECT_EQ(w.fractureMinJumpSlider->value(), 10);
        EXPECT_EQ(w.fractureJumpValueLabel->text(), QStringLiteral("0.10 px"));
        EXPECT_EQ(w.fractureLineWidthSpin->value(), 5);
        const auto* model = static_cast<QStandardItemModel*>(w.fractureParameterCombo->model());
        EXPECT_FALSE(model->item(0)->flags() & (Qt::ItemIsEnabled | Qt::ItemIsSelectable));

        EXPECT_EQ(w.heightStepLabel->text(), QStringLiteral("State \u2014 : \u2014"));
        EXPECT_EQ(w.heightRangeLabel->text(), QStringLiteral("Min : \u2014    Max : \u2014"));
        EXPECT_EQ(w.heightValueLabel->text(), QStringLiteral("w : \u2014"));
        int applyAll = 0;
        for (const QToolButton* button : w.heightResultPage->findChildren<QToolButton*>())
            applyAll += button->text() == QStringLiteral("Apply to all");
        EXPECT_EQ(applyAll, 0);
    }

    static void heightPanelSitsOnTheThirdColumnPageWithItsBodies(MainWidget& w) {
        auto* layout = static_cast<QVBoxLayout*>(w.heightsPage->layout());
        EXPECT_EQ(layout->itemAt(0)->widget(), static_cast<QWidget*>(w.heightMapsGroup));
        EXPECT_EQ(layout->itemAt(1)->widget(), static_cast<QWidget*>(w.heightSaveFullImageCheck));
        EXPECT_FALSE(w.heightSaveFullImageCheck->isChecked());
        EXPECT_TRUE(w.heightMosaicContainer->isHidden());
        EXPECT_FALSE(w.heightSingleContainer->isHidden());
        EXPECT_EQ(w.heightSingleStack->currentIndex(), 0);
        EXPECT_EQ(w.heightStateButtons.size(), 1);
        EXPECT_EQ(w.heightStateButtons.front()->text(), QStringLiteral("Deformed 1"));
        EXPECT_EQ(w.deformedHeightStates.size(), 1);
        EXPECT_TRUE(w.heightDefTiles.page->isHidden());
        EXPECT_EQ(w.heightFileCountLabel->text(), QStringLiteral("No file"));
        EXPECT_EQ(w.heightDefTiles.countLabel->text(), QStringLiteral("No tiles"));
        for (QPushButton* idle : {w.heightRefRemoveButton, w.heightDefRemoveButton, w.heightDefClearButton,
                                  w.heightRefTiles.upButton, w.heightRefTiles.clearButton})
            EXPECT_FALSE(idle->isEnabled());

        w.heightSegmentGroup->button(1)->click();
        EXPECT_EQ(w.heightSingleStack->currentIndex(), 1);
        const int before = w.autosaveRequests;
        w.heightSaveFullImageCheck->toggle();
        w.outOfPlaneStale = false;
        w.heightSaveFullImageCheck->toggle();
        EXPECT_TRUE(w.outOfPlaneStale);
        EXPECT_EQ(w.autosaveRequests, before + 2);
    }

    static void inputViewsFollowEachOtherOnlyWhileLinked(MainWidget& w) {
        w.setProjectControlsEnabled(true);  // as with a project folder set
        w.referenceView->setImage(gradient(600, 400), true);
        w.deformedView->setImage(gradient(600, 400), true);
        QApplication::processEvents();
        w.referenceOneToOneButton->click();
        EXPECT_TRUE(w.deformedView->isOneToOne());
        EXPECT_TRUE(w.deformedOneToOneButton->isChecked());
        EXPECT_FALSE(w.deformedFitButton->isChecked());

        w.deformedSyncButton->click();
        EXPECT_FALSE(w.inputViewsLinked);
        EXPECT_FALSE(w.referenceSyncButton->isChecked());
        w.deformedFitButton->click();
        EXPECT_TRUE(w.deformedView->isFitted());
        EXPECT_TRUE(w.referenceView->isOneToOne());

        // Linking from the deformed side imposes its view on the reference.
        w.deformedSyncButton->click();
        EXPECT_TRUE(w.inputViewsLinked && w.referenceSyncButton->isChecked());
        EXPECT_EQ(w.referenceView->transform(), w.deformedView->transform());
        w.referenceView->resetToOneToOne();
        w.referenceView->horizontalScrollBar()->setValue(37);
        EXPECT_EQ(w.deformedView->transform(), w.referenceView->transform());
        EXPECT_EQ(w.deformedView->horizontalScrollBar()->value(), 37);
    }

    static void displacementViewsShareFitSyncAndEachFollowsItsMarkers(MainWidget& w) {
        w.uxView->setImage(gradient(900, 700), false);
        w.uyView->setImage(gradient(900, 700), false);
        w.setDisplacementsTabVisible(true);
        w.mainTabs->setCurrentWidget(w.displacementsPage);
        QApplication::processEvents();
        w.uyFitButton->click();
        EXPECT_TRUE(w.uxView->isFitted() && w.uyView->isFitted());
        EXPECT_TRUE(w.uxFitButton->isChecked());

        w.uxSyncButton->click();
        EXPECT_FALSE(w.displacementViewsLinked);
        EXPECT_FALSE(w.uySyncButton->isChecked());
        w.uxOneToOneButton->click();
        EXPECT_TRUE(w.uxView->isOneToOne());
        EXPECT_TRUE(w.uyView->isFitted());
        w.uySyncButton->click();
        EXPECT_TRUE(w.uxSyncButton->isChecked() && w.displacementViewsLinked);
        EXPECT_EQ(w.uyView->transform(), w.uxView->transform());
        w.uyView->resetToOneToOne();
        w.uyView->verticalScrollBar()->setValue(21);
        EXPECT_EQ(w.uxView->transform(), w.uyView->transform());
        EXPECT_EQ(w.uxView->verticalScrollBar()->value(), 21);

        w.uyMarkersButton->click();
        EXPECT_TRUE(w.uyView->isProfileMode());
        EXPECT_FALSE(w.uxView->isProfileMode());
        w.uyMarkersButton->click();
        EXPECT_FALSE(w.uyView->isProfileMode());
    }

    struct HistogramTools {
        Switch* log;
        QToolButton* crop;
        QToolButton* reset;
        ContrastHistogramWidget* histogram;
        bool zoomFindsValues;  // the image and strain/fracture zooms come with the display code
    };

    static void everyHistogramSwitchesToLogAndCropsAndResets(MainWidget& w) {
        w.setProjectControlsEnabled(true);  // as with a project folder set
        auto shown = std::make_shared<PixelDisplacementResult>();
        shown->dispX = shown->dispY = {0.0f, 0.25f, 0.5f, 0.75f, 1.0f};
        w.shownDisplacements = shown;
        w.shownHeightValues = shown->dispX;
        const HistogramTools tools[] = {
            {w.referenceLogSwitch, w.referenceCropButton, w.referenceResetButton, w.referenceHistogram, false},
            {w.deformedLogSwitch, w.deformedCropButton, w.deformedResetButton, w.deformedHistogram, false},
            {w.displacementLogSwitches[0], w.displacementCropButtons[0], w.displacementResetButtons[0],
             w.displacementHistograms[0], true},
            {w.displacementLogSwitches[1], w.displacementCropButtons[1], w.displacementResetButtons[1],
             w.displacementHistograms[1], true},
            {w.strainLogSwitch, w.strainCropButton, w.strainResetButton, w.strainHistogram, false},
            {w.fractureLogSwitch, w.fractureCropButton, w.fractureResetButton, w.fractureHistogram, false},
            {w.heightLogSwitch, w.heightCropButton, w.heightResetButton, w.heightHistogram, true},
        };
        int page = 0;
        for (const HistogramTools& each : tools) {
            SCOPED_TRACE(page++);
            for (QWidget* control : {static_cast<QWidget*>(each.log), static_cast<QWidget*>(each.crop),
                                     static_cast<QWidget*>(each.reset), static_cast<QWidget*>(each.histogram)})
                control->setEnabled(true);
            each.log->click();
            EXPECT_TRUE(each.histogram->showsLogHistogram());
            if (!each.zoomFindsValues)
                continue;
            each.histogram->setData({0.0f, 0.25f, 0.5f, 0.75f, 1.0f}, 0.0f, 1.0f);
            each.histogram->setRange(0.2f, 0.8f);
            each.crop->click();
            EXPECT_TRUE(each.histogram->isZoomed());
            each.reset->click();
            EXPECT_FALSE(each.histogram->isZoomed());
        }
    }

    static void actionButtonsAndSlidersHaveExactlyOneReaction(MainWidget& w) {
        for (QToolButton* button : {w.displacementAutoButtons[0], w.displacementAutoButtons[1],
                                    w.displacementApplyAllButtons[0], w.displacementApplyAllButtons[1],
                                    w.strainAutoButton, w.strainApplyAllButton, w.fractureAutoButton,
                                    w.fractureApplyAllButton, w.heightAutoButton, w.fractureSaveAllButton,
                                    w.deformedApplyAllButton})
            EXPECT_EQ(SignalReceivers::of(button, SIGNAL(clicked(bool))), 1) << button->text().toStdString();
        for (QSlider* slider : {w.displacementSlider, w.strainSlider, w.fractureSlider, w.heightSlider,
                                w.heightTileNavigator.slider, w.displacementTileNavigator.slider})
            EXPECT_EQ(SignalReceivers::of(slider, SIGNAL(valueChanged(int))), 1);
    }

    static void stepButtonsMoveTheirSliderWithinItsRange(MainWidget& w) {
        const std::tuple<QPushButton*, QSlider*, QPushButton*> rows[] = {
            {w.displacementPrevButton, w.displacementSlider, w.displacementNextButton},
            {w.strainPrevButton, w.strainSlider, w.strainNextButton},
            {w.fracturePrevButton, w.fractureSlider, w.fractureNextButton},
            {w.heightPrevButton, w.heightSlider, w.heightNextButton},
        };
        for (const auto& [prev, slider, next] : rows) {
            for (QWidget* control : {static_cast<QWidget*>(prev), static_cast<QWidget*>(slider),
                                     static_cast<QWidget*>(next)})
                control->setEnabled(true);
            slider->setRange(0, 2);
            QSignalSpy moved(slider, &QSlider::valueChanged);
            prev->click();
            EXPECT_EQ(moved.count(), 0);
            next->click();
            next->click();
            next->click();
            EXPECT_EQ(slider->value(), 2);
            EXPECT_EQ(moved.count(), 2);
        }
    }

    static void minJumpIsSavedOncePerChangeButNotWhileDragged(MainWidget& w) {
        QSlider* slider = w.fractureMinJumpSlider;
        const int before = w.autosaveRequests;
        slider->triggerAction(QAbstractSlider::SliderSingleStepAdd);
        EXPECT_DOUBLE_EQ(w.fractureOpeningMin, 0.11);
        EXPECT_EQ(w.fractureJumpValueLabel->text(), QStringLiteral("0.11 px"));
        EXPECT_EQ(w.autosaveRequests, before + 1);

        slider->setSliderDown(true);
        slider->setSliderPosition(37);
        slider->setSliderPosition(45);
        EXPECT_EQ(w.autosaveRequests, before + 1);
        slider->setSliderDown(false);
        EXPECT_EQ(w.autosaveRequests, before + 2);
        EXPECT_EQ(w.fractureJumpValueLabel->text(), QStringLiteral("0.45 px"));

        w.fractureLineWidthSpin->setValue(9);
        EXPECT_EQ(w.fractureRidgeThickness, 9);
        EXPECT_EQ(w.autosaveRequests, before + 3);
    }
};

TEST(ResultPageRules, MinJumpSliderCountsHundredthsOfAPixel) {
    struct Case {
        double pixels;
        int position;
        const char* text;
    };
    for (const Case& each : {Case{0.1, 10, "0.10 px"}, Case{0.0, 0, "0.00 px"}, Case{5.0, 500, "5.00 px"},
                             Case{0.37, 37, "0.37 px"}, Case{0.004, 0, "0.00 px"}}) {
        EXPECT_EQ(minJumpSliderPosition(each.pixels), each.position);
        EXPECT_EQ(minJumpText(each.pixels), QString::fromUtf8(each.text));
    }
}

TEST(ResultPageRules, StepButtonsStopAtTheEndsAndEmptyReadoutsShowTheDash) {
    EXPECT_FALSE(steppedSliderValue(0, 0, 3, -1).has_value());
    EXPECT_FALSE(steppedSliderValue(3, 0, 3, 1).has_value());
    EXPECT_EQ(steppedSliderValue(2, 0, 3, 1), 3);
    EXPECT_EQ(inputReadoutText(QString(), true), QStringLiteral("Pixel : \u2014"));
    EXPECT_EQ(inputReadoutText(QStringLiteral("Pixel (1, 2) : 7"), false), QStringLiteral("Pixel : \u2014"));
}

TEST(ResultPageRules, FractureComboGroupsEightMapsAndLeavesOutCrackPosition) {
    const std::vector<FractureParameterRow> rows = fractureParameterRows();
    ASSERT_EQ(rows.size(), 11u);
    std::vector<int> fields;
    for (const FractureParameterRow& row : rows)
        fields.push_back(row.field);
    EXPECT_EQ(fields, (std::vector<int>{-1, 0, 1, 2, -1, 3, 4, -1, 6, 7, 8}));
    EXPECT_EQ(rows[0].text, QStringLiteral("\u2500\u2500 Crack opening \u2500\u2500"));
    EXPECT_FALSE(rows[4].toolTip.isEmpty());
    EXPECT_EQ(rows[1].text, QStringLiteral("   Opening X"));
}

TEST(ResultPages, EachPageBuildsWithItsControlsAndDefaults) {
    auto window = shownWindow();
    MainWidgetPagesTestAccess::inputPageStartsLinkedWithTheMaskToggleAndApplyToAllHidden(*window);
    MainWidgetPagesTestAccess::resultPagesStartHiddenEmptyAndDisabled(*window);
}

TEST(ResultPages, HeightPanelBuildsItsBodiesAndItsSaveBoxMarksStaleAndSaves) {
    auto window = shownWindow();
    MainWidgetPagesTestAccess::heightPanelSitsOnTheThirdColumnPageWithItsBodies(*window);
}

TEST(ResultViewTools, InputViewsFollowEachOtherOnlyWhileLinked) {
    auto window = shownWindow();
    MainWidgetPagesTestAccess::inputViewsFollowEachOtherOnlyWhileLinked(*window);
}

TEST(ResultViewTools, DisplacementViewsShareFitAndSyncAndEachFollowsItsMarkers) {
    auto window = shownWindow();
    MainWidgetPagesTestAccess::displacementViewsShareFitSyncAndEachFollowsItsMarkers(*window);
}

TEST(ResultViewTools, EveryHistogramSwitchesToLogAndCropsAndResets) {
    auto window = shownWindow();
    MainWidgetPagesTestAccess::everyHistogramSwitchesToLogAndCropsAndResets(*window);
}

TEST(ResultViewTools, ActionButtonsAndSlidersAreWiredOnce) {
    auto window = shownWindow();
    MainWidgetPagesTestAccess::actionButtonsAndSlidersHaveExactlyOneReaction(*window);
    MainWidgetPagesTestAccess::stepButtonsMoveTheirSliderWithinItsRange(*window);
}

TEST(ResultViewTools, MinJumpIsSavedOncePerChangeButNotWhileDragged) {
    auto window = shownWindow();
    MainWidgetPagesTestAccess::minJumpIsSavedOncePerChangeButNotWhileDragged(*window);
}

}  // namespace tavro::gui
