#include "gui/mainwindow/main_widget.h"

#include "gpu/cpu_device.h"
#include "gui/foundation/message_boxes.h"
#include "gui/foundation/scientific_double_spin_box.h"
#include "gui/style/switch_widget.h"
#include "support/test_application.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QProxyStyle>
#include <QSet>
#include <QStyleOptionComboBox>
#include <QRadioButton>
#include <QSpinBox>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>

#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace tavro::gui {

struct MainWidgetPanelsTestAccess {
    // Records which window members the panel controls reach, in order.
    struct Recorder {
        MainWidget window;
        QStringList reached;

        Recorder() {
            // The panels as they are once a project folder is set.
            window.setProjectControlsEnabled(true);
            window.slotObserver = [this](const char* slot) {
                reached << QString::fromLatin1(slot).section(QLatin1Char('('), 0, 0);
            };
        }

        // The slots that `act` reaches, and nothing left over from before.
        // Closing the window moves the focus, which still reaches slots.
        ~Recorder() { window.slotObserver = nullptr; }

        template <typename Act>
        QStringList reachedBy(Act&& act) {
            reached.clear();
            act();
            return reached;
        }

        static void typeInto(QSpinBox* box, const QString& text) {
            box->setFocus();
            box->selectAll();
            QTest::keyClicks(box, text);
        }

        static void fillList(QListWidget* list, int count) {
            list->clear();
            for (int i = 0; i < count; ++i)
                list->addItem(QStringLiteral("image_%1.tif").arg(i));
        }
    };

    static void StartsOnTheEmptySingleImagePageWithEveryRemovalDisabled();
    static void OnlyATypedPathIsMarkedForApplying();
    static void MaskCheckShowsTheFieldButNeedsALoadedMaskToTakePart();
    static void PerTileModeHidesTheAssemblySettingsAndRefreshesInOrder();
    static void DraggingDeformedRowsReordersTheImagesBehindThem();
    static void ListButtonsFollowNoneOneAndManyImagesAndTiles();
    static void EveryControlReachesItsSlot();
    static void OpensOnAThreeByThreeRowByRowGridWithOneDeformedState();
    static void DefaultsAndRangesThatAProjectRelyOn();
    static void AnEvenWindowIsMadeOddAndTheCorrectionIsSaved();
    static void EveryComputationModeReadsDifferentlyInTheClosedBox();
    static void OnlyDiscontinuityModesShowTheCrackOptions();
    static void TheCpuBuildListsItsDeviceByNameAndWarnsOfNothing();
    static void WithoutAUsableDeviceTheChoiceIsDisabledAndOneBoxFollowsStartUp();
    static void SeveralDevicesOfferAllGpusYetStartOnTheFirstAndReportAFailedSelection();
    static void AKernelChangeAppliesOnceAndIdsOutsideTheListAreIgnored();
};
namespace {

using Slots = QStringList;

#if !defined(TAVRO_USE_CUDA)
QString dialogText(QDialog& dialog) {
    auto* box = qobject_cast<QMessageBox*>(&dialog);
    return box ? box->windowTitle() + QStringLiteral(": ") + box->text() : QString();
}

// The CPU device runtime stands in for the driver: its device table decides
// what the window finds.
struct DeviceTable {
    explicit DeviceTable(int count) {
        gpu::CpuRuntimeConfig config;
        config.devices.assign(static_cast<size_t>(count), gpu::CpuDeviceSetup{});
        gpu::configureCpuRuntime(config);
    }
    ~DeviceTable() { gpu::configureCpuRuntime(gpu::defaultCpuRuntimeConfig()); }
    DeviceTable(const DeviceTable&) = delete;
    DeviceTable& operator=(const DeviceTable&) = delete;
};

#endif

}  // namespace

#define PANEL_TEST(Suite, Name)                          \
    TEST(Suite, Name) {                                  \
        test::testApplication();                         \
        MainWidgetPanelsTestAccess::Name();              \
    }                                                    \
    void MainWidgetPanelsTestAccess::Name()

PANEL_TEST(ProjectAndInputPanel, StartsOnTheEmptySingleImagePageWithEveryRemovalDisabled) {
    Recorder access;
    MainWidget& w = access.window;
    w.show();
    EXPECT_TRUE(w.projectFolderPath.isEmpty());
    EXPECT_FALSE(w.mosaicSwitch->isChecked());
    const std::pair<QWidget*, bool> shown[] = {
        {w.singleImagePage, true}, {w.referencePage, true},     {w.mosaicPage, false},   {w.alignMosaicBlock, false},
        {w.deformedPage, false},   {w.deformedList, false},     {w.maskFieldBlock, false}, {w.deformedCountLabel, false},
    };
    for (const auto& [widget, visible] : shown)
        EXPECT_EQ(!widget->isHidden(), visible) << widget->metaObject()->className();
    for (QPushButton* off : {w.clearReferenceButton, w.removeDeformedButton, w.moveUpDeformedButton,
                             w.moveDownDeformedButton, w.clearDeformedButton, w.clearMaskButton})
        EXPECT_FALSE(off->isEnabled()) << off->toolTip().toStdString();
    EXPECT_FALSE(w.nonRigidRefinementCheck->isChecked());

    w.deformedSegmentButton->click();
    EXPECT_FALSE(w.referencePage->isVisible());
    EXPECT_TRUE(w.deformedPage->isVisible());
}

PANEL_TEST(ProjectAndInputPanel, OnlyATypedPathIsMarkedForApplying) {
    // Applying the typed path creates the folder, may ask about it and
    // remembers it in the settings.
    QStandardPaths::setTestModeEnabled(true);
    const QTemporaryDir parent;
    const ScopedDialogResponder responder({[](QDialog& d) { d.reject(); }, {}});
    const QString set = parent.filePath(QStringLiteral("set"));
    Recorder access;
    MainWidget& w = access.window;
    w.projectPathEdit->setText(set);
    EXPECT_EQ(w.projectFolderPath, set);
    EXPECT_FALSE(w.projectPathEdited);
    QTest::keyClicks(w.projectPathEdit, QStringLiteral("2"));
    EXPECT_TRUE(w.projectPathEdited);
    EXPECT_EQ(w.projectFolderPath, set + QStringLiteral("2"));
    EXPECT_EQ(access.reachedBy([&] { QTest::keyClick(w.projectPathEdit, Qt::Key_Return); }),
              Slots{QStringLiteral("applyProjectFolder")});
}

PANEL_TEST(ProjectAndInputPanel, MaskCheckShowsTheFieldButNeedsALoadedMaskToTakePart) {
    Recorder access;
    MainWidget& w = access.window;
    QToolButton overlay;
    overlay.setCheckable(true);
    w.maskOverlayButton = &overlay;
    w.show();
    EXPECT_EQ(access.reachedBy([&] { w.useMaskCheck->setChecked(true); }),
              Slots{QStringLiteral("autosaveParameters")});
    EXPECT_TRUE(w.maskFieldBlock->isVisible());
    EXPECT_FALSE(w.maskActive);
    EXPECT_TRUE(overlay.isHidden());

    w.useMaskCheck->setChecked(false);
    w.maskImage = QImage(4, 4, QImage::Format_Grayscale8);
    w.useMaskCheck->setChecked(true);
    EXPECT_TRUE(w.maskActive);
    EXPECT_FALSE(overlay.isHidden());
    w.useMaskCheck->setChecked(false);
    EXPECT_FALSE(w.maskActive);
    EXPECT_TRUE(overlay.isHidden());
    EXPECT_FALSE(w.maskImage.isNull());
    w.maskOverlayButton = nullptr;
}

PANEL_TEST(ProjectAndInputPanel, PerTileModeHidesTheAssemblySettingsAndRefreshesInOrder) {
    Recorder access;
    MainWidget& w = access.window;
    const Slots on = access.reachedBy([&] { w.perTileRadio->setChecked(true); });
    EXPECT_TRUE(w.perTileMode);
    for (QWidget* hidden : {w.gridGeometryBlock, w.alignMosaicRow, w.maskBlock, w.roiBlock})
        EXPECT_TRUE(hidden->isHidden());
    EXPECT_EQ(w.previewTileIndex, -1);
    // The maps shown are the chosen assembly's own, read again as a reopened project reads them.
    EXPECT_EQ(on, (Slots{"displayCurrentTilesInViews", "updateDeformedList", "updateResultSlider",
                         "restoreHeightResults", "updateHeightNavBars", "autosaveParameters"}));
    // Without a reference image there is no assembled mosaic to go back to.
    const Slots off = access.reachedBy([&] { w.stitchAndCorrelateRadio->setChecked(true); });
    EXPECT_FALSE(w.perTileMode);
    EXPECT_FALSE(w.maskBlock->isHidden());
    EXPECT_FALSE(off.contains(QStringLiteral("displayAssembledMosaicsInViews")));
}

PANEL_TEST(ProjectAndInputPanel, DraggingDeformedRowsReordersTheImagesBehindThem) {
    Recorder access;
    MainWidget& w = access.window;
    Recorder::fillList(w.deformedList, 3);
    for (int i = 0; i < 3; ++i) {
        LoadedImage image;
        image.path = w.deformedList->item(i)->text();
        w.deformedImages.push_back(image);
    }
    w.shownDeformedIndex = 0;
    // A drop inside the list moves rows through the model, as here.
    EXPECT_EQ(access.reachedBy([&] { w.deformedList->model()->moveRow(QModelIndex(), 0, QModelIndex(), 3); }),
              (Slots{"updateDeformedList", "autosaveParameters"}));
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(w.deformedImages[static_cast<size_t>(i)].path, w.deformedList->item(i)->text());
    EXPECT_EQ(w.shownDeformedIndex, 2);
}

PANEL_TEST(ProjectAndInputPanel, ListButtonsFollowNoneOneAndManyImagesAndTiles) {
    Recorder access;
    MainWidget& w = access.window;
    for (const int count : {0, 1, 3}) {
        Recorder::fillList(w.deformedList, count);
        // The list widget shows one row per image the window holds.
        w.deformedImages.assign(static_cast<size_t>(count), LoadedImage());
        if (count > 0)
            w.deformedList->setCurrentRow(count - 1);
        w.updateDeformedList();
        EXPECT_EQ(w.clearDeformedButton->isEnabled(), count > 0);
        EXPECT_EQ(w.removeDeformedButton->isEnabled(), count > 0);
        EXPECT_EQ(w.moveUpDeformedButton->isEnabled(), count > 1);
        EXPECT_FALSE(w.moveDownDeformedButton->isEnabled());
        EXPECT_EQ(w.deformedHintLabel->isHidden(), count > 0);
        if (count > 0) {
            EXPECT_EQ(w.deformedCountLabel->text(), count == 1 ? QStringLiteral("1 image") : QStringLiteral("3 images"));
        }

        Recorder::fillList(w.mosaicRefTileList, count);
        if (count > 0)
            w.mosaicRefTileList->setCurrentRow(0);
        w.updateMosaicRefTilesControls();
        EXPECT_EQ(w.mosaicRefClearButton->isEnabled(), count > 0);
        EXPECT_FALSE(w.mosaicRefMoveUpButton->isEnabled());
        EXPECT_EQ(w.mosaicRefMoveDownButton->isEnabled(), count > 1);
        EXPECT_EQ(w.mosaicRefTileList->isHidden(), count == 0);
    }
}

PANEL_TEST(ProjectAndInputPanel, EveryControlReachesItsSlot) {
    // The slots behind the buttons open dialogs; every one is cancelled.
    const ScopedDialogResponder responder(
        {[](QDialog& d) { d.reject(); }, [](const FileDialogRequest&) { return QStringList(); }});
    Recorder access;
    MainWidget& w = access.window;
    const std::pair<QAbstractButton*, const char*> clicks[] = {
        {w.selectReferenceButton, "onSelectReference"}, {w.clearReferenceButton, "onClearReference"},
        {w.addDeformedButton, "onAddDeformed"},         {w.removeDeformedButton, "onRemoveDeformed"},
        {w.clearDeformedButton, "onClearAllDeformed"},  {w.moveUpDeformedButton, "onMoveUpDeformed"},
        {w.moveDownDeformedButton, "onMoveDownDeformed"}, {w.selectMaskButton, "onSelectMask"},
        {w.clearMaskButton, "onClearMask"},             {w.nonRigidRefinementCheck, "autosaveParameters"},
        {w.selectProjectFolderButton, "onSelectProjectFolder"}, {w.mosaicSwitch, "onMosaicModeToggled"},
        {w.mosaicRefAddButton, "onAddMosaicRefTiles"},  {w.mosaicRefRemoveButton, "onRemoveMosaicRefTiles"},
        {w.mosaicRefMoveUpButton, "onMoveUpMosaicRefTile"}, {w.mosaicRefMoveDownButton, "onMoveDownMosaicRefTile"},
        {w.mosaicRefClearButton, "onClearMosaicRefTiles"}, {w.mosaicDefAddButton, "onAddMosaicDefTiles"},
        {w.mosaicDefRemoveButton, "onRemoveMosaicDefTiles"}, {w.mosaicDefMoveUpButton, "onMoveUpMosaicDefTile"},
        {w.mosaicDefMoveDownButton, "onMoveDownMosaicDefTile"}, {w.mosaicDefClearButton, "onClearMosaicDefTiles"},
        {w.mosaicAddStateButton, "onAddMosaicDefState"}, {w.mosaicDeleteStateButton, "onDeleteMosaicDefState"},
        {w.mosaicDefStateButtons.front(), "onInputSegmentChanged"}, {w.alignMosaicButton, "onAlignMosaic"},
        {w.cropTilesButton, "onCropTiles"},             {w.addDerivativeKernelButton, "onAddDerivativeKernel"},
        {w.addSmoothingKernelButton, "onAddSmoothingKernel"}, {w.newCriterionButton, "onNewCriterion"},
        {w.computeStrainsButton, "onComputeStrainFields"}, {w.computeCriteriaButton, "onComputeStrainFields"},
        {w.nlcFilterCheck, "autosaveParameters"},  {w.twinningCheck, "autosaveParameters"},
    };
    for (const auto& [button, slot] : clicks) {
        button->setEnabled(true);
        EXPECT_EQ(access.reachedBy([button = button] { button->click(); }), Slots{QString::fromLatin1(slot)}) << slot;
    }
    EXPECT_EQ(access.reachedBy([&] { w.maxJumpInitSpin->setValue(3); }), Slots{"autosaveParameters"});
    EXPECT_EQ(access.reachedBy([&] { w.q4ThresholdSpin->setValue(1.5); }), Slots{"autosaveParameters"});
    Recorder::fillList(w.deformedList, 2);
    const Slots rowChange = access.reachedBy([&] { w.deformedList->setCurrentRow(1); });
    EXPECT_TRUE(rowChange.contains(QStringLiteral("onDeformedSelectionChanged")));
    EXPECT_TRUE(rowChange.contains(QStringLiteral("updateDeformedList")));
    for (QListWidget* list : {w.mosaicRefTileList, w.mosaicDefTileList}) {
        Recorder::fillList(list, 2);
        access.reached.clear();
        list->setCurrentRow(1);
        emit list->itemClicked(list->item(1));
        emit list->itemDoubleClicked(list->item(1));
    }
    Slots tiles = access.reached;
    tiles.sort();
    EXPECT_EQ(tiles, (Slots{"onMosaicDefTileClicked", "onMosaicDefTileDoubleClicked", "onMosaicDefTileRowChanged",
                            "updateMosaicDefTilesControls"}));
}

PANEL_TEST(MosaicPanel, OpensOnAThreeByThreeRowByRowGridWithOneDeformedState) {
    Recorder access;
    MainWidget& w = access.window;
    EXPECT_EQ(w.scanOrderCombo->currentText(), QStringLiteral("Row by row"));
    EXPECT_EQ(w.scanOrderCombo->currentData().toInt(), 1);
    for (QSpinBox* grid : {w.gridRowsSpin, w.gridColsSpin}) {
        EXPECT_EQ(grid->value(), 3);
        EXPECT_EQ(grid->minimum(), 1);
        EXPECT_EQ(grid->maximum(), 50);
    }
    for (QSpinBox* overlap : {w.overlapXSpin, w.overlapYSpin}) {
        EXPECT_EQ(overlap->value(), 20);
        EXPECT_EQ(overlap->minimum(), 0);
        EXPECT_EQ(overlap->maximum(), 50);
    }
    EXPECT_TRUE(w.stitchAndCorrelateRadio->isChecked());
    EXPECT_TRUE(w.phaseCorrelationCheck->isChecked());
    EXPECT_TRUE(w.phaseCorrelationCheck->isHidden());
    EXPECT_EQ(w.mosaicDefTilePaths.size(), 1);
    EXPECT_EQ(w.mosaicDefStateButtons.front()->text(), QStringLiteral("Deformed 1"));
    EXPECT_EQ(w.mosaicTabRowLayout->itemAt(w.mosaicTabRowLayout->count() - 1)->widget(),
              w.mosaicDefStateButtons.back());
    EXPECT_FALSE(w.mosaicTabScrollArea->isAncestorOf(w.mosaicAddStateButton)) << "beside the strip, never scrolled away";
    EXPECT_FALSE(w.cropTilesButton->isEnabled());
    EXPECT_EQ(w.cropTilesLabel->text(), QStringLiteral("Load tiles first"));
    EXPECT_FALSE(w.missingPositionsEdit->isEnabled());
    w.missingTilesCheck->setChecked(true);
    EXPECT_TRUE(w.missingPositionsEdit->isEnabled());
}

PANEL_TEST(ParametersPanel, DefaultsAndRangesThatAProjectRelyOn) {
    Recorder access;
    MainWidget& w = access.window;
    struct Range {
        QSpinBox* box;
        int minimum, maximum, value, step;
    };
    const Range ranges[] = {
        {w.windowSizeXSpin, 5, 256, 61, 2}, {w.windowSizeYSpin, 5, 256, 61, 2}, {w.spacingXSpin, 1, 128, 4, 1},
        {w.spacingYSpin, 1, 128, 4, 1},     {w.searchUpSpin, 0, 1024, 6, 1},     {w.searchLeftSpin, 0, 1024, 6, 1},
        {w.maxIterationsSpin, 1, 200, 30, 1}, {w.maxJumpInitSpin, 0, 50, 0, 1},  {w.q4PassesSpin, 1, 50, 5, 1},
        {w.roiWidthSpin, 0, 0, 0, 1},
    };
    for (const Range& r : ranges) {
        EXPECT_EQ(r.box->minimum(), r.minimum);
        EXPECT_EQ(r.box->maximum(), r.maximum);
        EXPECT_EQ(r.box->value(), r.value);
        EXPECT_EQ(r.box->singleStep(), r.step);
    }
    EXPECT_FALSE(w.roiXSpin->isEnabled());
    EXPECT_DOUBLE_EQ(w.toleranceSpin->minimum(), 1e-9);
    EXPECT_DOUBLE_EQ(w.toleranceSpin->maximum(), 0.1);
    EXPECT_DOUBLE_EQ(w.toleranceSpin->value(), 1e-4);
    EXPECT_DOUBLE_EQ(w.q4ThresholdSpin->value(), 0.5);
    QList<int> modes;
    for (int i = 0; i < w.computationModeCombo->count(); ++i)
        modes << w.computationModeCombo->itemData(i).toInt();
    EXPECT_EQ(modes, (QList<int>{0, 1, 3, 2, 4}));
    EXPECT_EQ(w.computationModeCombo->currentText(), QStringLiteral("Translations + 1st order gradients"));
    EXPECT_EQ(w.interpolationCombo->currentText(), QStringLiteral("Bilinear"));
    EXPECT_FALSE(w.nlcFilterCheck->isChecked());
}

PANEL_TEST(ParametersPanel, AnEvenWindowIsMadeOddAndTheCorrectionIsSaved) {
    Recorder access;
    MainWidget& w = access.window;
    w.show();
    Recorder::typeInto(w.windowSizeXSpin, QStringLiteral("60"));
    EXPECT_EQ(w.windowSizeYSpin->value(), 60);
    // Return re-emits the typed value, which saves; the correction is saved after it.
    EXPECT_EQ(access.reachedBy([&] { QTest::keyClick(w.windowSizeXSpin, Qt::Key_Return); }),
              (Slots{"autosaveParameters", "autosaveParameters"}));
    EXPECT_EQ(w.windowSizeXSpin->value(), 61);
    EXPECT_EQ(w.windowSizeYSpin->value(), 60);  // y is corrected by its own edit
    EXPECT_EQ(access.reachedBy([&] { emit w.windowSizeYSpin->editingFinished(); }),
              Slots{QStringLiteral("autosaveParameters")});
    EXPECT_EQ(w.windowSizeYSpin->value(), 61);
    EXPECT_TRUE(access.reachedBy([&] { emit w.windowSizeYSpin->editingFinished(); }).isEmpty());

    Recorder::typeInto(w.windowSizeXSpin, QStringLiteral("256"));
    QTest::keyClick(w.windowSizeXSpin, Qt::Key_Return);
    EXPECT_EQ(w.windowSizeXSpin->value(), 255);
    Recorder::typeInto(w.spacingYSpin, QStringLiteral("9"));
    EXPECT_EQ(w.spacingXSpin->value(), 4);
}

PANEL_TEST(ParametersPanel, OnlyDiscontinuityModesShowTheCrackOptions) {
    Recorder access;
    MainWidget& w = access.window;
    w.show();
    EXPECT_FALSE(w.maxJumpInitSpin->isVisible());
    EXPECT_FALSE(w.twinningCheck->isVisible());
    for (int i = 0; i < w.computationModeCombo->count(); ++i) {
        const int id = w.computationModeCombo->itemData(i).toInt();
        w.maxJumpInitSpin->setValue(7);
        w.computationModeCombo->setCurrentIndex(i);
        const bool crack = id == 2 || id == 3;
        EXPECT_EQ(w.maxJumpInitSpin->isVisible(), crack) << id;
        EXPECT_EQ(w.maxJumpInitLabel->isVisible(), crack) << id;
        EXPECT_EQ(w.twinningCheck->isVisible(), crack) << id;
        EXPECT_FALSE(w.q4ProjectionCheck->isVisible());
        if (crack)
            w.twinningCheck->setChecked(true);
        else
            EXPECT_FALSE(w.twinningCheck->isChecked()) << id;
        EXPECT_EQ(w.maxJumpInitSpin->value(), 7);
    }
}

// The CUDA build has no device table to set; its runtime answers for itself.
#if !defined(TAVRO_USE_CUDA)
PANEL_TEST(GpuPanel, TheCpuBuildListsItsDeviceByNameAndWarnsOfNothing) {
    QStringList boxes;
    const ScopedDialogResponder responder({[&](QDialog& d) { boxes << dialogText(d), d.reject(); }, {}});
    Recorder access;
    QApplication::processEvents();
    ASSERT_EQ(access.window.gpuDeviceCombo->count(), 1);
    EXPECT_TRUE(access.window.gpuDeviceCombo->currentText().startsWith(QStringLiteral("Tavro2D CPU device (")));
    EXPECT_TRUE(access.window.gpuDeviceCombo->isEnabled());
    EXPECT_TRUE(boxes.isEmpty());
}

PANEL_TEST(GpuPanel, WithoutAUsableDeviceTheChoiceIsDisabledAndOneBoxFollowsStartUp) {
    const DeviceTable table(0);
    QStringList boxes;
    const ScopedDialogResponder responder({[&](QDialog& d) { boxes << dialogText(d), d.reject(); }, {}});
    Recorder access;
    QComboBox* combo = access.window.gpuDeviceCombo;
    EXPECT_TRUE(boxes.isEmpty());  // not before the event loop runs
    QApplication::processEvents();
    QApplication::processEvents();
    EXPECT_EQ(combo->count(), 1);
    EXPECT_EQ(combo->currentText(), QStringLiteral("No GPU detected"));
    EXPECT_FALSE(combo->isEnabled());
    EXPECT_FALSE(combo->toolTip().isEmpty());
    ASSERT_EQ(boxes.size(), 1);
    EXPECT_EQ(boxes[0], QStringLiteral("NVIDIA GPU unavailable: ") + combo->toolTip() +
                            QStringLiteral("\n\nYou can still open images and projects, but correlations need a "
                                           "working NVIDIA GPU."));
}

PANEL_TEST(GpuPanel, SeveralDevicesOfferAllGpusYetStartOnTheFirstAndReportAFailedSelection) {
    const DeviceTable table(3);
    QStringList boxes;
    const ScopedDialogResponder responder({[&](QDialog& d) { boxes << dialogText(d), d.reject(); }, {}});
    Recorder access;
    QComboBox* combo = access.window.gpuDeviceCombo;
    ASSERT_EQ(combo->count(), 4);
    EXPECT_EQ(combo->itemText(0), QStringLiteral("All GPUs (3 devices)"));
    EXPECT_EQ(combo->currentIndex(), 1);
    combo->setCurrentIndex(0);
    EXPECT_TRUE(boxes.isEmpty());
    const DeviceTable shrunk(1);  // the third device went away since start-up
    combo->setCurrentIndex(3);
    EXPECT_EQ(boxes, QStringList{QStringLiteral("GPU selection failed: Invalid GPU device ID: 2 (available: 0-0)")});
    EXPECT_EQ(combo->currentIndex(), 3);
}
#endif

PANEL_TEST(StrainPanels, AKernelChangeAppliesOnceAndIdsOutsideTheListAreIgnored) {
    Recorder access;
    MainWidget& w = access.window;
    EXPECT_TRUE(w.computeCriteriaButton->isHidden());
    EXPECT_FALSE(w.computeCriteriaButton->isEnabled());
    w.derivativeKernels = {{"Centered Order 2", {-0.5f, 0.0f, 0.5f}}, {"Sobel", {-1.0f, 0.0f, 1.0f}}};
    QRadioButton first, second, stray;
    w.derivativeKernelGroup->addButton(&first, 0);
    w.derivativeKernelGroup->addButton(&second, 1);
    w.derivativeKernelGroup->addButton(&stray, 5);
    first.setChecked(true);
    EXPECT_EQ(access.reachedBy([&] { second.click(); }), Slots{QStringLiteral("applySelectedKernels")});
    EXPECT_EQ(w.selectedDerivativeKernel, 1);
    EXPECT_TRUE(access.reachedBy([&] { second.click(); }).isEmpty());
    EXPECT_TRUE(access.reachedBy([&] { stray.click(); }).isEmpty());
    EXPECT_EQ(w.selectedDerivativeKernel, 1);
}

// The names share a long start; at the panel's width the closed box must paint
// each name so that it fits and still differs from every other.
PANEL_TEST(ParametersPanel, EveryComputationModeReadsDifferentlyInTheClosedBox) {
    struct PaintedLabels : QProxyStyle {
        QList<std::pair<QString, int>> painted;  // text and the width it is given
        void drawControl(ControlElement element, const QStyleOption* option, QPainter* painter,
                         const QWidget* widget) const override {
            if (const auto* box = qstyleoption_cast<const QStyleOptionComboBox*>(option);
                box && element == CE_ComboBoxLabel)
                const_cast<PaintedLabels*>(this)->painted.append(
                    {box->currentText, subControlRect(CC_ComboBox, box, SC_ComboBoxEditField, widget).width()});
            QProxyStyle::drawControl(element, option, painter, widget);
        }
    } labels;
    Recorder access;
    MainWidget& w = access.window;
    w.resize(1600, 1000);
    w.show();
    QComboBox* modes = w.computationModeCombo;
    modes->setStyle(&labels);
    QCoreApplication::processEvents();
    ASSERT_LT(modes->width(), modes->fontMetrics().horizontalAdvance(modes->itemText(3)));
    QStringList shown;
    for (int i = 0; i < modes->count(); ++i) {
        modes->setCurrentIndex(i);
        labels.painted.clear();
        modes->repaint();
        ASSERT_FALSE(labels.painted.isEmpty());
        const auto& [text, room] = labels.painted.back();
        EXPECT_LE(modes->fontMetrics().horizontalAdvance(text), room) << text.toStdString();
        shown << text;
    }
    modes->setStyle(nullptr);
    EXPECT_EQ(QSet<QString>(shown.begin(), shown.end()).size(), modes->count()) << shown.join(" | ").toStdString();
}

}  // namespace tavro::gui
