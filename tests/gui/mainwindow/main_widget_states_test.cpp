// Deformed states through the window: every edit of the states keeps each
// state's tiles, heights, results, strain files and out-of-plane maps its own.
#include "gui/mainwindow/main_widget.h"

#include "gui/foundation/elided_label.h"
#include "images/image_io.h"
#include "images/image_write.h"
#include "gui/project/result_files.h"
#include "gui/style/switch_widget.h"
#include "gui/mainwindow/result_cache.h"
#include "window_session.h"

#include <QButtonGroup>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QSpinBox>

#include <QTest>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <memory>
#include <vector>

namespace tavro::gui {

struct MainWidgetStatesTestAccess {
    using Session = WindowTestSession;
    static constexpr int kSize = 160;

    // One deformed state of the walk: the translation of its speckle tile and the rise of its height map.
    struct State {
        const char* name;
        double ux;
        double uy;
        float rise;
    };

    static QString heightFile(Session& s, const QString& name, float value) {
        const std::vector<float> values(std::size_t(kSize) * kSize, value);
        const QString path = s.folder + QStringLiteral("/heights/") + name;
        QDir().mkpath(s.folder + QStringLiteral("/heights"));
        QString error;
        EXPECT_TRUE(writeFloatTiff(path, kSize, kSize, values, error, {})) << error.toStdString();
        return path;
    }

    static QString speckleTile(Session& s, const QString& name, double ux, double uy, bool reference = false) {
        testing::SpeckleOptions options;
        options.width = options.height = kSize;
        options.supersampling = 2;
        const testing::ImagePair pair = testing::makeFourierShiftedPair(options, ux, uy);
        const QString path = s.folder + QStringLiteral("/tiles/") + name;
        QDir().mkpath(s.folder + QStringLiteral("/tiles"));
        EXPECT_TRUE(session::writeImage(path, session::toImage(reference ? pair.reference : pair.deformed)));
        return path;
    }

    // The median of a field file's finite values, NaN when it cannot be read.
    static double median(const QString& path) {
        std::uint32_t width = 0, height = 0;
        std::vector<float> values;
        QString error;
        if (!readFloatTiff(path, width, height, values, error))
            return std::nan("");
        std::erase_if(values, [](float v) { return !std::isfinite(v); });
        if (values.empty())
            return std::nan("");
        std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
        return values[values.size() / 2];
    }

    // The translation a written result holds: its files keep the field less the rigid shift.
    static double resultUx(const MainWidget& w, int result) {
        const QString base = w.resultBaseName(result);
        return median(resultFilePath(w.appliedProjectFolder, kDisplacementsFolder, base, QStringLiteral("_ux"))) -
               w.results[static_cast<std::size_t>(result)].rigid.shiftX;
    }

    static double uz(const QString& folder, const QString& base) {
        return median(resultFilePath(folder, kHeightFolder, base, QStringLiteral("_uz")));
    }

    // The shown out-of-plane map holds `rise` wherever it is finite.
    static bool shows(const MainWidget& w, float rise) {
        int finite = 0;
        for (float v : w.shownHeightValues) {
            if (!std::isfinite(v))
                continue;
            if (std::abs(v - rise) > 1e-3f)
                return false;
            ++finite;
        }
        return finite > 0;
    }

    static bool waitForRun(MainWidget& w) {
        const bool done = QTest::qWaitFor(
            [&] { return !w.stitchingInProgress && !w.runInProgress && !w.computationRunning; }, 120000);
        w.waitForResultWrites();
        QCoreApplication::processEvents();
        return done;
    }

    static void threeImages(Session& s) {
        QStringList paths;
        for (int i = 1; i <= 3; ++i)
            paths << s.image(QStringLiteral("i%1.tif").arg(i), 16, 16, QImage::Format_Grayscale8, std::uint32_t(i));
        s.addDeformed(paths);
    }

    static void selectMosaicState(MainWidget& w, int state) { w.mosaicStateGroup->button(state + 1)->click(); }

    // Every state has one tile list, one height list and one button in each bar, numbered in order.
    static void expectStatesInStep(const MainWidget& w, int count) {
        EXPECT_EQ(w.mosaicDefTilePaths.size(), count);
        EXPECT_EQ(w.deformedHeightStates.size(), count);
        ASSERT_EQ(w.mosaicDefStateButtons.size(), count);
        ASSERT_EQ(w.heightStateButtons.size(), count);
        for (int i = 0; i < count; ++i) {
            EXPECT_EQ(w.mosaicDefStateButtons[i]->text(), QStringLiteral("Deformed %1").arg(i + 1));
            EXPECT_EQ(w.heightStateButtons[i]->text(), QStringLiteral("Deformed %1").arg(i + 1));
            EXPECT_EQ(w.heightTabGroup->id(w.heightStateButtons[i]), i + 1);
        }
    }

    // A 1 x 2 grid: reference tiles ref_t0/ref_t1 and, per state, the same cuts of
    // the reference moved by the state's shift, named <name>_t0 / <name>_t1.
    static void perTileStates(Session& s, const std::vector<State>& states) {
        MainWidget& w = s.w();
        w.mosaicSwitch->setChecked(true);
        w.gridRowsSpin->setValue(1);
        w.gridColsSpin->setValue(2);
        w.overlapXSpin->setValue(33);
        w.windowSizeXSpin->setValue(21);
        w.spacingXSpin->setValue(8);
        w.interpolationCombo->setCurrentIndex(2);
        testing::SpeckleOptions options;
        options.width = options.height = kSize;
        options.supersampling = 2;
        const auto cuts = [&](const QImage& whole, const QString& name) {
            QStringList paths;
            QDir().mkpath(s.folder + QStringLiteral("/tiles"));
            for (int col = 0; col < 2; ++col) {
                paths << s.folder + QStringLiteral("/tiles/%1_t%2.tif").arg(name).arg(col);
                EXPECT_TRUE(session::writeImage(paths.back(), whole.copy(QRect(col * 64, 0, 96, kSize))));
            }
            return paths;
        };
        w.mosaicRefTilePaths = cuts(session::toImage(testing::makeFourierShiftedPair(options, 0, 0).reference),
                                    QStringLiteral("ref"));
        w.mosaicDefTilePaths.clear();
        for (const State& state : states)
            w.mosaicDefTilePaths << cuts(session::toImage(
                                             testing::makeFourierShiftedPair(options, state.ux, state.uy).deformed),
                                         QString::fromLatin1(state.name));
        w.syncStateBars();
    }

    // The total x translation of the per-tile result named `tile`, NaN without one.
    static double tileUx(const MainWidget& w, const QString& tile) {
        const int at = static_cast<int>(w.batchNames.indexOf(tile));
        return at < 0 ? std::nan("") : resultUx(w, at);
    }

    static void AMosaicProjectKeepsEachStatesDataThroughEditsComputeAndReopen();
    static void DeletingAPerTileStateTakesItsOwnTilesResultsAndShowsAKeptOne();
    static void PerTileResultsReopenUnderTheirTilesAfterAStateDeletion();
    static void AFieldOfZerosReopensWithItsRigidShiftAndATileWithoutEntryWithNone();
    static void DraggingAHeightFileMovesTheFileBehindTheRow();
    static void HeightMapsAreForgottenWithTheirFilesAndTheirPairing();
};

#define STATES_TEST(Suite, Name)                 \
    TEST(Suite, Name) {                          \
        MainWidgetStatesTestAccess::Name();      \
    }                                            \
    void MainWidgetStatesTestAccess::Name()

STATES_TEST(DeformedStatesWindow, AMosaicProjectKeepsEachStatesDataThroughEditsComputeAndReopen) {
    Session s;
    MainWidget& w = s.w();
    w.mosaicSwitch->setChecked(true);
    w.gridRowsSpin->setValue(1);
    w.gridColsSpin->setValue(1);
    w.windowSizeXSpin->setValue(21);
    w.spacingXSpin->setValue(8);
    w.interpolationCombo->setCurrentIndex(2);
    s.chosen = {speckleTile(s, QStringLiteral("ref.tif"), 0.0, 0.0, true)};
    w.onAddMosaicRefTiles();
    s.chosen = {heightFile(s, QStringLiteral("h0.tif"), 0.0f)};
    w.onAddHeightRefTiles();

    // Four states, each added with its tile and its height map; x is deleted again.
    const std::vector<State> states{{"a", 2.0, 0.0, 0.5f}, {"b", 0.0, 2.0, 1.5f}, {"x", 1.0, 1.0, 9.0f},
                                    {"c", -2.0, 0.0, 2.5f}};
    for (std::size_t k = 0; k < states.size(); ++k) {
        const QString name = QString::fromLatin1(states[k].name);
        if (k > 0)
            w.onAddMosaicDefState();
        expectStatesInStep(w, static_cast<int>(k) + 1);
        EXPECT_EQ(w.currentMosaicDefState, static_cast<int>(k));
        s.chosen = {speckleTile(s, QStringLiteral("def_%1.tif").arg(name), states[k].ux, states[k].uy)};
        w.onAddMosaicDefTiles();
        w.heightTabGroup->button(static_cast<int>(k) + 1)->click();
        s.chosen = {heightFile(s, QStringLiteral("h_%1.tif").arg(name), states[k].rise)};
        w.onAddHeightDefTiles();
    }
    EXPECT_EQ(w.heightSummaryLabel->text(), QStringLiteral("5/5 complete, 1 tiles/state \u2713"));

    selectMosaicState(w, 2);
    w.onDeleteMosaicDefState();
    expectStatesInStep(w, 3);
    EXPECT_TRUE(w.mosaicDefTilePaths[2].front().endsWith(QStringLiteral("def_c.tif")));
    EXPECT_EQ(w.deformedTitleLabel->text(), QStringLiteral("State 3 / 3  \u2014  def_c"))
        << "the deformed view names the state that took x's place";
    EXPECT_TRUE(w.deformedHeightStates[2].front().endsWith(QStringLiteral("h_c.tif")))
        << "state c keeps its own heights, not x's";
    EXPECT_EQ(w.heightSummaryLabel->text(), QStringLiteral("4/4 complete, 1 tiles/state \u2713"));
    EXPECT_EQ(s.saved().heightFields->deformedStates.size(), 3);

    // State b loses its tiles: it gets no mosaic and no result, and c stays c.
    selectMosaicState(w, 1);
    EXPECT_EQ(w.deformedTitleLabel->text(), QStringLiteral("State 2 / 3  \u2014  def_b"));
    w.onClearMosaicDefTiles();
    ASSERT_TRUE(w.mosaicDefTilePaths[1].isEmpty());
    s.boxes.clear();
    w.onCompute();
    ASSERT_TRUE(waitForRun(w));
    EXPECT_TRUE(s.boxes.isEmpty()) << s.boxes.join(QLatin1Char('\n')).toStdString();
    ASSERT_EQ(w.resultCount(), 2);
    ASSERT_EQ(w.results.size(), 2u);
    EXPECT_EQ(w.resultBaseName(0), QStringLiteral("mosaic_state_1"));
    EXPECT_EQ(w.resultBaseName(1), QStringLiteral("mosaic_state_3"));
    EXPECT_NEAR(resultUx(w, 0), 2.0, 0.1);
    EXPECT_NEAR(resultUx(w, 1), -2.0, 0.1) << "mosaic_state_3 holds c's field";
    EXPECT_FALSE(QFileInfo::exists(
        resultFilePath(s.folder, kDisplacementsFolder, QStringLiteral("mosaic_state_2"), QStringLiteral("_ux"))));
    w.onResultSliderChanged(1);
    EXPECT_TRUE(w.displacementStepLabel->text().endsWith(QStringLiteral("mosaic_state_3")))
        << w.displacementStepLabel->text().toStdString();
    EXPECT_EQ(w.shownDisplacements, w.results[1].displacements);

    w.onComputeStrainFields();
    EXPECT_TRUE(QFileInfo::exists(
        resultFilePath(s.folder, kStrainsFolder, QStringLiteral("mosaic_state_3"), QStringLiteral("_exx"))));
    EXPECT_FALSE(QFileInfo::exists(
        resultFilePath(s.folder, kStrainsFolder, QStringLiteral("mosaic_state_2"), QStringLiteral("_exx"))));

    // Each state's u_z is its own height rise; b, without a mosaic, has none.
    s.boxes.clear();
    w.onComputeOutOfPlane();
    ASSERT_EQ(s.boxes.size(), 3) << s.boxes.join(QLatin1Char('\n')).toStdString();
    EXPECT_TRUE(s.boxes[2].startsWith(QStringLiteral("Error: Height state 2 does not have an assembled")));
    EXPECT_NEAR(uz(s.folder, QStringLiteral("state_001")), 0.5, 1e-3);
    EXPECT_NEAR(uz(s.folder, QStringLiteral("state_003")), 2.5, 1e-3);
    EXPECT_FALSE(QFileInfo::exists(resultFilePath(s.folder, kHeightFolder, QStringLiteral("state_002"),
                                                  QStringLiteral("_uz"))));

    // Reopened, each result is found under its state and keeps its own rigid shift.
    const RigidRegistrationResult rigidC = w.results[1].rigid;
    auto again = std::make_unique<MainWidget>();
    again->loadParametersFromFile(s.folder + QStringLiteral("/parameters.json"));
    expectStatesInStep(*again, 3);
    EXPECT_FALSE(again->heightMosaicContainer->isHidden()) << "the height states are shown with their bar";
    EXPECT_TRUE(again->heightSingleContainer->isHidden());
    ASSERT_EQ(again->resultCount(), 2);
    ASSERT_EQ(again->results.size(), 2u);
    EXPECT_EQ(again->resultBaseName(1), QStringLiteral("mosaic_state_3"));
    EXPECT_EQ(again->results[1].rigid.shiftX, rigidC.shiftX);
    EXPECT_NEAR(resultUx(*again, 1), -2.0, 0.1);
    again->loadHeightResult(2, true);
    EXPECT_EQ(again->shownHeightIndex, 2);
    EXPECT_TRUE(shows(*again, 2.5f)) << "state 3's map is c's";

    // Deleting state a takes its files; c becomes state 2 with its field, strains and u_z.
    selectMosaicState(*again, 0);
    again->onDeleteMosaicDefState();
    expectStatesInStep(*again, 2);
    ASSERT_EQ(again->resultCount(), 1);
    ASSERT_EQ(again->results.size(), 1u);
    EXPECT_EQ(again->resultBaseName(0), QStringLiteral("mosaic_state_2"));
    EXPECT_NEAR(resultUx(*again, 0), -2.0, 0.1);
    EXPECT_TRUE(QFileInfo::exists(
        resultFilePath(s.folder, kStrainsFolder, QStringLiteral("mosaic_state_2"), QStringLiteral("_exx"))));
    EXPECT_FALSE(QFileInfo::exists(
        resultFilePath(s.folder, kStrainsFolder, QStringLiteral("mosaic_state_3"), QStringLiteral("_exx"))));
    EXPECT_NEAR(uz(s.folder, QStringLiteral("state_002")), 2.5, 1e-3);
    EXPECT_FALSE(QFileInfo::exists(resultFilePath(s.folder, kHeightFolder, QStringLiteral("state_001"),
                                                  QStringLiteral("_uz"))));
    EXPECT_EQ(again->shownHeightIndex, 1) << "c's map is still shown, under c's new number";
    EXPECT_TRUE(shows(*again, 2.5f));
    EXPECT_TRUE(again->heightStepLabel->text().startsWith(QStringLiteral("State 2 / 2")))
        << again->heightStepLabel->text().toStdString();
    EXPECT_TRUE(again->heightStepLabel->text().endsWith(QStringLiteral("h_c")));
    EXPECT_EQ(again->heightSlider->maximum(), 1);
    again->heightResultCache.clear();
    again->loadHeightResult(1, true);
    EXPECT_TRUE(shows(*again, 2.5f)) << "state 2's file is c's";
    for (const HeightRangeEntry& entry : again->heightResultRanges)
        EXPECT_EQ(entry.index, 1) << "only c's range is left, under its new number";
    EXPECT_TRUE(again->mosaicDefTilePaths[1].front().endsWith(QStringLiteral("def_c.tif")));
    EXPECT_TRUE(again->deformedHeightStates[1].front().endsWith(QStringLiteral("h_c.tif")));

    // The deletion dropped every assembly; reopened, c's result is still found and shown under its new number.
    again.reset();
    auto third = std::make_unique<MainWidget>();
    third->loadParametersFromFile(s.folder + QStringLiteral("/parameters.json"));
    expectStatesInStep(*third, 2);
    EXPECT_TRUE(third->mosaicStateImageIndex.empty());
    ASSERT_EQ(third->resultCount(), 1);
    ASSERT_EQ(third->results.size(), 1u);
    EXPECT_EQ(third->resultBaseName(0), QStringLiteral("mosaic_state_2"));
    EXPECT_NEAR(resultUx(*third, 0), -2.0, 0.1);
    EXPECT_EQ(third->results[0].rigid.shiftX, rigidC.shiftX);
    EXPECT_EQ(third->shownResultIndex, 0);
    ASSERT_TRUE(third->shownDisplacements);
    EXPECT_EQ(third->shownDisplacements, third->results[0].displacements);
    EXPECT_TRUE(third->displacementStepLabel->text().endsWith(QStringLiteral("mosaic_state_2")))
        << third->displacementStepLabel->text().toStdString();
    EXPECT_TRUE(third->current.hasStrain) << "c's strain files come back with its field";

    // Aligned again, only c has tiles: its mosaic is the first and only one, and the result stays c's.
    third->onAlignMosaic();
    ASSERT_TRUE(waitForRun(*third));
    EXPECT_EQ(third->mosaicStateImageIndex, (std::map<int, int>{{1, 0}}));
    ASSERT_EQ(third->resultCount(), 1);
    EXPECT_EQ(third->resultBaseName(0), QStringLiteral("mosaic_state_2"));
    EXPECT_NEAR(resultUx(*third, 0), -2.0, 0.1);
}

STATES_TEST(PerTileStates, DeletingAPerTileStateTakesItsOwnTilesResultsAndShowsAKeptOne) {
    Session s;
    MainWidget& w = s.w();
    perTileStates(s, {{"b", 1.3, -0.7, 0}, {"c", -0.6, 0.8, 0}, {"d", 2.3, -1.2, 0}});
    w.perTileRadio->setChecked(true);
    s.computeAndWait();
    ASSERT_EQ(w.batchNames.size(), 6);
    EXPECT_NEAR(tileUx(w, QStringLiteral("c_t1")), -0.6, 0.1);

    // Shown: state 2, tile 2 (c_t1). Deleting state 2 leaves b's and d's results, d's under state 2.
    w.displacementSlider->setValue(1);
    w.displacementTileNavigator.slider->setValue(1);
    ASSERT_EQ(w.shownDisplacements, w.results[3].displacements);
    selectMosaicState(w, 1);
    w.onDeleteMosaicDefState();
    EXPECT_EQ(w.batchNames, (QStringList{QStringLiteral("b_t0"), QStringLiteral("b_t1"), QStringLiteral("d_t0"),
                                         QStringLiteral("d_t1")}));
    ASSERT_EQ(w.results.size(), 4u);
    for (const char* tile : {"b_t0", "b_t1"})
        EXPECT_NEAR(tileUx(w, QString::fromLatin1(tile)), 1.3, 0.1) << tile;
    for (const char* tile : {"d_t0", "d_t1"})
        EXPECT_NEAR(tileUx(w, QString::fromLatin1(tile)), 2.3, 0.1) << tile;
    EXPECT_EQ(w.batchResultIndex.stateCount, 2);
    EXPECT_FALSE(QFileInfo::exists(
        resultFilePath(s.folder, kDisplacementsFolder, QStringLiteral("c_t1"), QStringLiteral("_ux"))));
    EXPECT_TRUE(QFileInfo::exists(
        resultFilePath(s.folder, kDisplacementsFolder, QStringLiteral("d_t1"), QStringLiteral("_ux"))));

    // The result tabs show what they name: state 2 of 2 is d, and its field is d's.
    EXPECT_EQ(w.displacementStepLabel->text(), QStringLiteral("State 2 / 2"));
    EXPECT_EQ(w.displacementTileNavigator.label->text(), QStringLiteral("Tile 2 / 2  \u2014  d_t1"));
    EXPECT_EQ(w.shownDisplacements, w.results[static_cast<std::size_t>(w.batchNames.indexOf(QStringLiteral("d_t1")))].displacements);

    // A tile chosen in the input lists leaves the result page's tile as it is.
    w.showRestoredMosaicLists();
    w.onMosaicRefTileClicked(w.mosaicRefTileList->item(0), true);
    EXPECT_EQ(w.displacementTileNavigator.label->text(), QStringLiteral("Tile 2 / 2  \u2014  d_t1"))
        << "the caption follows the input list while d_t1's field is shown";

    // Deleting the state shown when it is the last one shows the one before it.
    selectMosaicState(w, 1);
    w.onDeleteMosaicDefState();
    EXPECT_EQ(w.batchNames, (QStringList{QStringLiteral("b_t0"), QStringLiteral("b_t1")}));
    EXPECT_EQ(w.displacementStepLabel->text(), QStringLiteral("State 1 / 1"));
    EXPECT_EQ(w.shownDisplacements, w.results[static_cast<std::size_t>(w.selectedBatchEntry())].displacements);
}

// A stitched run before leaves its state-to-result mapping behind; the per-tile
// results that replace it must not be erased or reopened through it.
STATES_TEST(PerTileStates, PerTileResultsReopenUnderTheirTilesAfterAStateDeletion) {
    Session s;
    MainWidget& w = s.w();
    perTileStates(s, {{"p", 1.0, 0.0, 0}, {"q", -2.0, 3.0, 0}});
    w.stitchAndCorrelateRadio->setChecked(true);
    w.onCompute();
    ASSERT_TRUE(waitForRun(w));
    ASSERT_EQ(w.resultCount(), 2) << s.boxes.join(QLatin1Char('\n')).toStdString();
    w.perTileRadio->setChecked(true);
    s.computeAndWait();
    ASSERT_EQ(w.batchNames.size(), 4);

    // The per-tile run replaced the states' results: back on Stitch & Correlate, no tile result passes for one.
    w.stitchAndCorrelateRadio->setChecked(true);
    EXPECT_EQ(w.resultCount(), 0);
    EXPECT_TRUE(w.results.empty());
    EXPECT_EQ(w.displacementStepLabel->text(), QStringLiteral("No result"));
    EXPECT_TRUE(!w.shownDisplacements || w.shownDisplacements->dispX.empty());
    w.saveParametersToProject();
    EXPECT_TRUE(s.saved().resultCache.empty()) << "tile entries written as state entries";
    // An assembly meanwhile orders the states' results, never the tiles'.
    const RigidRegistrationResult rigidQ1 = w.otherAssemblyResults[3].rigid;
    w.onAlignMosaic();
    ASSERT_TRUE(waitForRun(w));
    w.perTileRadio->setChecked(true);
    EXPECT_EQ(w.results[3].rigid.shiftX, rigidQ1.shiftX);
    EXPECT_EQ(w.results[3].rigid.shiftY, rigidQ1.shiftY);
    ASSERT_EQ(w.results.size(), 4u);
    EXPECT_EQ(w.displacementStepLabel->text(), QStringLiteral("State 1 / 2"));
    EXPECT_NEAR(tileUx(w, QStringLiteral("q_t1")), -2.0, 0.1);

    selectMosaicState(w, 0);
    w.onDeleteMosaicDefState();
    ASSERT_EQ(w.batchNames, (QStringList{QStringLiteral("q_t0"), QStringLiteral("q_t1")}));
    std::map<QString, std::pair<float, float>> rigid;
    for (int i = 0; i < 2; ++i) {
        EXPECT_NEAR(resultUx(w, i), -2.0, 0.1) << w.batchNames[i].toStdString();
        rigid[w.batchNames[i]] = {w.results[std::size_t(i)].rigid.shiftX, w.results[std::size_t(i)].rigid.shiftY};
    }
    w.saveParametersToProject();
    EXPECT_EQ(s.saved().resultCache.size(), 2u) << "one entry per tile result, each its own";

    MainWidget again;
    again.loadParametersFromFile(s.folder + QStringLiteral("/parameters.json"));
    ASSERT_EQ(again.batchNames, w.batchNames);
    for (int i = 0; i < 2; ++i) {
        const ComputationResult& result = again.results[std::size_t(i)];
        EXPECT_FALSE(result.display.rigidShiftUnknown);
        EXPECT_EQ(std::make_pair(result.rigid.shiftX, result.rigid.shiftY), rigid[again.batchNames[i]])
            << again.batchNames[i].toStdString();
        EXPECT_NEAR(resultUx(again, i), -2.0, 0.1);
    }
}

// A whole-pixel move is all rigid shift: its field is zero once the shift is
// out, and the shift lives only in the project file's entry.
STATES_TEST(ResultEntries, AFieldOfZerosReopensWithItsRigidShiftAndATileWithoutEntryWithNone) {
    Session s;
    MainWidget& w = s.w();
    w.windowSizeXSpin->setValue(21);
    w.spacingXSpin->setValue(8);
    w.interpolationCombo->setCurrentIndex(2);
    const QString reference = speckleTile(s, QStringLiteral("ref.tif"), 0.0, 0.0, true);
    QImage pixels;
    QString readError;
    ASSERT_TRUE(readGrayImage(reference, pixels, readError));
    // Moved by exactly one column, the first column repeated.
    QImage moved = pixels.copy();
    for (int y = 0; y < moved.height(); ++y)
        for (int x = 1; x < moved.width(); ++x)
            moved.scanLine(y)[x] = pixels.constScanLine(y)[x - 1];
    ASSERT_TRUE(session::writeImage(s.folder + QStringLiteral("/moved.tif"), moved));
    ASSERT_TRUE(session::writeImage(s.folder + QStringLiteral("/still.tif"), pixels));
    s.loadReference(reference);
    s.addDeformed({s.folder + QStringLiteral("/moved.tif"), s.folder + QStringLiteral("/still.tif")});
    s.computeAndWait();
    ASSERT_EQ(w.results.size(), 2u);
    // The engine leaves a few 1e-6 px of noise; a field without it is all zeros, with ranges of zero.
    for (ComputationResult& result : w.results) {
        auto zeros = std::make_shared<PixelDisplacementResult>(*result.displacements);
        std::fill(zeros->dispX.begin(), zeros->dispX.end(), 0.0f);
        std::fill(zeros->dispY.begin(), zeros->dispY.end(), 0.0f);
        result.displacements = zeros;
        result.autoMinUx = result.autoMaxUx = result.autoMinUy = result.autoMaxUy = 0.0f;
        result.display.percentileMinUx = result.display.percentileMaxUx = 0.0f;
        result.display.percentileMinUy = result.display.percentileMaxUy = 0.0f;
    }
    w.saveParametersToProject();
    std::vector<QString> shifts;
    for (int i = 0; i < 2; ++i) {
        w.loadAndDisplayResult(i, true);
        shifts.push_back(w.rigidShiftLabel->text());
    }
    EXPECT_EQ(shifts[0], QStringLiteral("Rigid body shift: dx = 1 px, dy = 0 px"));
    EXPECT_EQ(shifts[1], QStringLiteral("Rigid body shift: dx = 0 px, dy = 0 px"));
    EXPECT_EQ(s.saved().resultCache.size(), 2u);

    MainWidget again;
    again.loadParametersFromFile(s.folder + QStringLiteral("/parameters.json"));
    ASSERT_EQ(again.results.size(), 2u);
    for (int i = 0; i < 2; ++i) {
        again.loadAndDisplayResult(i, true);
        EXPECT_EQ(again.rigidShiftLabel->text(), shifts[std::size_t(i)]) << i;
    }

    // Per-tile results read from a file that lost their entries: the shift
    // their files carry, or, in files of older versions, unknown, not a known 0.
    Session t;
    perTileStates(t, {{"p", 1.0, 0.0, 0}});
    t.w().perTileRadio->setChecked(true);
    t.computeAndWait();
    ASSERT_EQ(t.w().batchNames.size(), 2);
    ProjectParameters stripped = t.saved();
    ASSERT_EQ(stripped.resultCache.size(), 2u);
    stripped.resultCache.clear();
    QString error;
    ASSERT_TRUE(writeProjectParametersFile(t.folder + QStringLiteral("/parameters.json"), stripped, error));
    const std::vector<ComputationResult> computed = t.w().results;
    session::writeWithoutRigidShift(t.folder, t.w().batchNames[0]);
    MainWidget reopened;
    reopened.loadParametersFromFile(t.folder + QStringLiteral("/parameters.json"));
    ASSERT_EQ(reopened.batchNames.size(), 2);
    EXPECT_TRUE(reopened.results[0].display.rigidShiftUnknown);
    EXPECT_EQ(reopened.rigidShiftLabel->text(), QStringLiteral("Rigid body shift: unknown"));
    ASSERT_EQ(computed.size(), 2u);
    EXPECT_FALSE(reopened.results[1].display.rigidShiftUnknown);
    EXPECT_EQ(reopened.results[1].rigid.shiftX, computed[1].rigid.shiftX);
    EXPECT_EQ(reopened.results[1].rigid.shiftY, computed[1].rigid.shiftY);
}

STATES_TEST(DeformedStatesWindow, DraggingAHeightFileMovesTheFileBehindTheRow) {
    Session s;
    MainWidget& w = s.w();
    threeImages(s);
    const QString d1 = heightFile(s, QStringLiteral("d1.tif"), 1.0f);
    const QString d2 = heightFile(s, QStringLiteral("d2.tif"), 2.0f);
    const QString d3 = heightFile(s, QStringLiteral("d3.tif"), 3.0f);
    s.chosen = {d1, d2, d3};
    w.onAddHeightDefTiles();
    ASSERT_EQ(w.heightDefFileList->count(), 3);
    // Maps of the pairs (i1, d1) and (i3, d3); the drag below pairs i1 and i2 anew.
    w.heightResultRanges = {HeightRangeEntry{0, 0.f, 1.f, 0.f, 1.f}, HeightRangeEntry{2, 0.f, 3.f, 0.f, 3.f}};

    ASSERT_TRUE(w.heightDefFileList->model()->moveRow(QModelIndex(), 0, QModelIndex(), 2));
    EXPECT_EQ(w.heightDefFileList->item(1)->text(), QStringLiteral("d1.tif \u2192 i2"));
    EXPECT_EQ(w.deformedHeightStates[0], (QStringList{d2, d1, d3}));
    ASSERT_EQ(w.heightResultRanges.size(), 1u);
    EXPECT_EQ(w.heightResultRanges.front().index, 2) << "the map of a pair the drag left alone stays";

    // "-" removes the file the row shows.
    w.heightDefFileList->clearSelection();
    w.heightDefFileList->item(0)->setSelected(true);
    w.onRemoveHeightClassicDefTiles();
    EXPECT_EQ(w.deformedHeightStates[0], (QStringList{d1, d3}));
    EXPECT_EQ(s.saved().heightFields->deformedStates.value(0), (QStringList{d1, d3}));
}

STATES_TEST(DeformedStatesWindow, HeightMapsAreForgottenWithTheirFilesAndTheirPairing) {
    Session s;
    MainWidget& w = s.w();
    threeImages(s);
    const auto computed = [&w] {
        w.heightResultCache.assign(3, HeightCacheEntry{});
        for (int i = 0; i < 3; ++i) {
            w.heightResultCache[std::size_t(i)].valid = true;
            w.heightResultCache[std::size_t(i)].values = {float(i)};
        }
        w.heightResultRanges = {HeightRangeEntry{0, 0.f, 1.f, 0.f, 1.f}, HeightRangeEntry{1, 0.f, 2.f, 0.f, 2.f},
                                HeightRangeEntry{2, 0.f, 3.f, 0.f, 3.f}};
        w.shownHeightIndex = 2;
        w.shownHeightValues = {2.0f};
    };

    // Removing i2 pairs i3 with i2's height file: maps 1 and 2 are another pair's.
    computed();
    s.selectRows({1});
    w.onRemoveDeformed();
    ASSERT_EQ(w.heightResultRanges.size(), 1u);
    EXPECT_EQ(w.heightResultRanges.front().index, 0);
    EXPECT_TRUE(w.heightResultCache[0].valid);
    EXPECT_FALSE(w.heightResultCache[1].valid);
    EXPECT_EQ(w.shownHeightIndex, -1);
    EXPECT_TRUE(w.shownHeightValues.empty());

    // A new run deletes Height/*_uz.tif: no map, range or cache entry outlives it, in the window or the file.
    computed();
    QDir().mkpath(s.folder + QStringLiteral("/Height"));
    ASSERT_TRUE(session::writeImage(s.folder + QStringLiteral("/Height/i1_uz.tif"),
                                    session::speckle(4, 4, QImage::Format_Grayscale8, 1)));
    w.deleteOldResults();
    EXPECT_FALSE(QFileInfo::exists(s.folder + QStringLiteral("/Height/i1_uz.tif")));
    EXPECT_TRUE(w.heightResultCache.empty());
    EXPECT_TRUE(w.heightResultRanges.empty());
    EXPECT_TRUE(w.shownHeightValues.empty());
    w.saveParametersToProject();
    EXPECT_TRUE(s.saved().heightCache.empty());
}

}  // namespace tavro::gui
