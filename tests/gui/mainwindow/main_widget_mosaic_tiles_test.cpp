#include "gui/mainwindow/main_widget.h"

#include "gui/foundation/contrast_histogram_widget.h"
#include "images/image_io.h"
#include "gui/project/result_files.h"
#include "gui/style/switch_widget.h"
#include "support/synthetic_images.h"
#include "window_session.h"

#include <QButtonGroup>
#include <QComboBox>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTest>

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <functional>

namespace tavro::gui {

namespace {

using session::toImage;

QStringList names(const QStringList& paths) {
    QStringList out;
    for (const QString& path : paths)
        out << QFileInfo(path).fileName();
    return out;
}

QStringList listTexts(const QListWidget* list) {
    QStringList out;
    for (int i = 0; i < list->count(); ++i)
        out << list->item(i)->text();
    return out;
}

}  // namespace

struct MainWidgetMosaicTilesTestAccess {
    // A window in mosaic mode whose tile files live in sub-folders of the project.
    struct Tiles : WindowTestSession {
        Tiles() {
            window->mosaicSwitch->setChecked(true);
            boxes.clear();
        }

        QString tile(const QString& subfolder, const QString& name, int width = 32, int height = 32,
                     std::uint32_t seed = 1) {
            QDir().mkpath(folder + QLatin1Char('/') + subfolder);
            return image(subfolder + QLatin1Char('/') + name, width, height, QImage::Format_Grayscale8, seed);
        }

        void addReference(const QStringList& paths) {
            chosen = paths;
            window->onAddMosaicRefTiles();
        }

        void addDeformed(const QStringList& paths) {
            chosen = paths;
            window->onAddMosaicDefTiles();
        }

        void perTile() { window->perTileRadio->setChecked(true); }

        // Speckle tile pairs with known shifts, one seed each from `firstSeed`,
        // added as the reference tiles and the deformed tiles named by `deformedName`.
        void addSpecklePairs(const testing::SpeckleOptions& base, std::uint32_t firstSeed,
                             const std::vector<std::array<double, 2>>& shifts, const QString& deformedName) {
            testing::SpeckleOptions options = base;
            QStringList reference, deformed;
            QDir().mkpath(folder + QStringLiteral("/r"));
            QDir().mkpath(folder + QStringLiteral("/d"));
            for (std::size_t t = 0; t < shifts.size(); ++t) {
                options.seed = firstSeed + static_cast<std::uint32_t>(t);
                const testing::ImagePair pair = testing::makeFourierShiftedPair(options, shifts[t][0], shifts[t][1]);
                reference << folder + QStringLiteral("/r/tile_%1.tif").arg(t + 1);
                deformed << folder + QStringLiteral("/d/") + deformedName.arg(t + 1);
                ASSERT_TRUE(session::writeImage(reference.back(), session::toImage(pair.reference)));
                ASSERT_TRUE(session::writeImage(deformed.back(), session::toImage(pair.deformed)));
            }
            addReference(reference);
            addDeformed(deformed);
        }
    };

    static void TilesKeepFileNameOrderAndRefuseRepeatedNames();
    static void EmptyTileListsShowNoNumbersOfTheSingleImages();
    static void StatesAreAddedDeletedAndRenumbered();
    static void EditingAnAssembledSideAsksFirstAndDropsTheAssembly();
    static void MatchingTilesAndPositionsFollowTheLists();
    static void CropRectangleIsClippedToEachTile();
    static void CropDialogStoresRemovesAndGuardsAssembledMosaics();
    static void BatchQueueRunsStateByStateAndRefusesUnevenStates();
    static void TilesNamedAlikeInTwoStatesAreRefusedBeforeAnythingRuns();
    static void TilesOfDifferentSizesStopTheBatch();
    static void ARefusedRunLeavesTheLastRunsResultsUnderTheirNames();
    static void EveryTilePairIsCorrelatedAndWrittenUnderItsOwnName();
    static void BatchResultsAreBrowsedByStateAndTileAlsoAfterReopening();
    static void ControlsChangedDuringTheBatchReachNoLaterPair();
    static void AMovedTileKeepsItsPlaceAfterReopening();
    static void AMovedTileTakesItsResultAlongAndKeepsItsPlaceAfterReopening();
    static void DeletingAStateWithResultFilesSaysTheyGoToo();
    static void AHeightRangeSetByHandInTheAssemblySetAsideComesBackAfterReopening();
    static void TheNavigatorStepsThroughThePairsAndTheCaptionNamesTheTileShown();
    static void TheNavigatorShowsWhicheverComesFirstTilesOrTheChoice();
    static void TheShiftLineBelongsToThePairShown();
};

#define TILES_TEST(Suite, Name)                   \
    TEST(Suite, Name) {                           \
        MainWidgetMosaicTilesTestAccess::Name();  \
    }                                             \
    void MainWidgetMosaicTilesTestAccess::Name()

TILES_TEST(MosaicTileLists, TilesKeepFileNameOrderAndRefuseRepeatedNames) {
    Tiles s;
    MainWidget& w = s.w();
    s.addReference({s.tile("a", "t2.tif"), s.tile("a", "t10.tif")});
    // Plain character order of file names, not numeric order.
    EXPECT_EQ(names(w.mosaicRefTilePaths), (QStringList{"t10.tif", "t2.tif"}));
    EXPECT_EQ(listTexts(w.mosaicRefTileList), (QStringList{"t10.tif", "t2.tif"}));
    EXPECT_EQ(s.status(), QStringLiteral("2 reference tile(s) added"));
    EXPECT_EQ(s.saved().mosaic->referenceTiles.size(), 2);

    // The same name from another folder, and twice in one selection.
    s.addReference({s.tile("b", "t2.tif"), s.tile("b", "t3.tif"), s.tile("c", "t3.tif")});
    EXPECT_EQ(names(w.mosaicRefTilePaths), (QStringList{"t10.tif", "t2.tif", "t3.tif"}));
    EXPECT_TRUE(w.mosaicRefTilePaths[1].contains(QStringLiteral("/a/")));
    ASSERT_EQ(s.boxes.size(), 1);
    EXPECT_EQ(s.boxes[0], QStringLiteral("Tiles ignored: The following tiles were ignored because their name "
                                         "already exists:\nt2.tif, t3.tif"));
    EXPECT_EQ(s.status(), QStringLiteral("1 reference tile(s) added"));

    s.addDeformed({s.tile("d", "u1.tif")});
    EXPECT_EQ(s.status(), QStringLiteral("1 deformed tile(s) added to state 1"));
    EXPECT_EQ(names(w.mosaicDefTilePaths[0]), QStringList{"u1.tif"});

    s.answer = QMessageBox::No;
    w.onClearMosaicRefTiles();
    EXPECT_EQ(w.mosaicRefTilePaths.size(), 3);
    s.answer = QMessageBox::Yes;
    w.onClearMosaicRefTiles();
    EXPECT_TRUE(w.mosaicRefTilePaths.isEmpty());
    EXPECT_EQ(w.mosaicRefTileList->count(), 0);
    EXPECT_EQ(s.status(), QStringLiteral("All reference tiles have been deleted."));
    EXPECT_TRUE(s.saved().mosaic->referenceTiles.isEmpty());
}

TILES_TEST(MosaicTileLists, StatesAreAddedDeletedAndRenumbered) {
    Tiles s;
    MainWidget& w = s.w();
    w.onDeleteMosaicDefState();
    ASSERT_EQ(s.boxes.size(), 1);
    EXPECT_EQ(s.boxes[0], QStringLiteral("Cannot delete: There must be at least one deformed state."));
    EXPECT_EQ(w.mosaicDefTilePaths.size(), 1);

    s.addDeformed({s.tile("s1", "a.tif")});
    ASSERT_TRUE(w.deformedHistogram->hasData());
    w.onAddMosaicDefState();
    EXPECT_EQ(s.status(), QStringLiteral("New deformed state 2 created"));
    // The new state is empty: nothing of the state before stays on show.
    EXPECT_FALSE(w.deformedHistogram->hasData());
    EXPECT_EQ(w.deformedMinMaxLabel->text(), QStringLiteral("Min : \u2014    Max : \u2014"));
    w.onAddMosaicDefState();
    ASSERT_EQ(w.mosaicDefStateButtons.size(), 3);
    EXPECT_EQ(w.currentMosaicDefState, 2);
    EXPECT_TRUE(w.mosaicDefStateButtons[2]->isChecked());
    EXPECT_EQ(w.mosaicDefTileList->count(), 0);
    s.addDeformed({s.tile("s3", "c.tif")});

    // Deleting the middle state renumbers the buttons after it.
    w.currentMosaicDefState = 1;
    s.boxes.clear();
    w.onDeleteMosaicDefState();
    ASSERT_EQ(s.boxes.size(), 1);
    EXPECT_EQ(s.boxes[0],
              QStringLiteral("Confirmation: Delete deformed state 2?\nThe tiles of this state will be lost."));
    ASSERT_EQ(w.mosaicDefTilePaths.size(), 2);
    EXPECT_EQ(names(w.mosaicDefTilePaths[1]), QStringList{"c.tif"});
    ASSERT_EQ(w.mosaicDefStateButtons.size(), 2);
    EXPECT_EQ(w.mosaicDefStateButtons[1]->text(), QStringLiteral("Deformed 2"));
    EXPECT_EQ(w.mosaicStateGroup->id(w.mosaicDefStateButtons[1]), 2);
    EXPECT_EQ(s.status(), QStringLiteral("Deformed state deleted. Mosaics must be reassembled. State 2/2 displayed."));

    s.answer = QMessageBox::Yes;
    w.onClearMosaicDefTiles();
    EXPECT_TRUE(w.mosaicDefTilePaths[1].isEmpty());
    EXPECT_EQ(names(w.mosaicDefTilePaths[0]), QStringList{"a.tif"});
    EXPECT_EQ(s.status(), QStringLiteral("Tiles from state 2 deleted."));
}

TILES_TEST(MosaicTileLists, EditingAnAssembledSideAsksFirstAndDropsTheAssembly) {
    Tiles s;
    MainWidget& w = s.w();
    s.addReference({s.tile("r", "a.tif"), s.tile("r", "b.tif"), s.tile("r", "c.tif")});
    stitching::TilePosition placed;
    placed.tileIndex = 0;
    placed.isPresent = true;
    placed.bounds = QRect(0, 0, 32, 32);
    w.referenceTilePositions = {placed};
    w.mosaicRefTileList->setCurrentRow(1);
    w.mosaicRefTileList->item(1)->setSelected(true);
    s.boxes.clear();

    s.answer = QMessageBox::No;
    w.onMoveUpMosaicRefTile();
    ASSERT_EQ(s.boxes.size(), 1);
    EXPECT_EQ(s.boxes[0], QStringLiteral("Confirmation: The reference mosaic is assembled.\nMoving a tile will reset "
                                         "the assembly.\nContinue?"));
    EXPECT_EQ(names(w.mosaicRefTilePaths), (QStringList{"a.tif", "b.tif", "c.tif"}));
    EXPECT_EQ(w.referenceTilePositions.size(), 1);

    s.answer = QMessageBox::Yes;
    w.onMoveUpMosaicRefTile();
    EXPECT_EQ(names(w.mosaicRefTilePaths), (QStringList{"b.tif", "a.tif", "c.tif"}));
    EXPECT_EQ(listTexts(w.mosaicRefTileList), (QStringList{"b.tif", "a.tif", "c.tif"}));
    EXPECT_EQ(w.mosaicRefTileList->currentRow(), 0);
    EXPECT_TRUE(w.referenceTilePositions.isEmpty());

    // Without an assembly nothing is asked.
    s.boxes.clear();
    w.mosaicRefTileList->clearSelection();
    w.mosaicRefTileList->item(2)->setSelected(true);
    w.onRemoveMosaicRefTiles();
    EXPECT_TRUE(s.boxes.isEmpty()) << s.boxes.join(QLatin1Char('\n')).toStdString();
    EXPECT_EQ(names(w.mosaicRefTilePaths), (QStringList{"b.tif", "a.tif"}));
    EXPECT_EQ(names(s.saved().mosaic->referenceTiles), (QStringList{"b.tif", "a.tif"}));
}

TILES_TEST(MosaicTileLists, MatchingTilesAndPositionsFollowTheLists) {
    Tiles s;
    MainWidget& w = s.w();
    s.addReference({s.tile("r", "a.tif"), s.tile("r", "b.tif")});
    s.addDeformed({s.tile("d", "a.tif")});
    EXPECT_EQ(w.findMatchingDefTileIndex(-1), -1);
    EXPECT_EQ(w.findMatchingDefTileIndex(0), 0);
    EXPECT_EQ(w.findMatchingDefTileIndex(1), -1) << "the state holds one tile and no assembly placed more";
    EXPECT_EQ(w.findMatchingRefTileIndex(1), 1);
    EXPECT_EQ(w.findMatchingRefTileIndex(2), -1);

    stitching::TilePosition first;
    first.tileIndex = 1;
    first.bounds = QRect(10, 0, 32, 32);
    w.referenceTilePositions = {first};
    EXPECT_FALSE(w.findRefPositionByTileIndex(-1));
    EXPECT_FALSE(w.findRefPositionByTileIndex(0));
    ASSERT_TRUE(w.findRefPositionByTileIndex(1));
    EXPECT_EQ(w.findRefPositionByTileIndex(1)->bounds.x(), 10);

    // A state without its own mosaic falls back on the first state's positions.
    w.deformedTilePositions = {first};
    EXPECT_EQ(MainWidget::tilePositionCount(w.defTilePositionsForState(3)), 1);
    EXPECT_FALSE(w.showsIndividualTiles());
    s.perTile();
    EXPECT_TRUE(w.showsIndividualTiles());
}

TILES_TEST(TileCrop, CropRectangleIsClippedToEachTile) {
    const QSize small(40, 30);
    EXPECT_EQ(MainWidget::croppedTileRect(QRect(), small), QRect(0, 0, 40, 30));
    EXPECT_EQ(MainWidget::croppedTileRect(QRect(10, 5, 100, 100), small), QRect(10, 5, 30, 25));
    EXPECT_EQ(MainWidget::croppedTileRect(QRect(50, 50, 10, 10), small), QRect(0, 0, 40, 30))
        << "a crop that misses the tile leaves it whole";
}

TILES_TEST(TileCrop, CropDialogStoresRemovesAndGuardsAssembledMosaics) {
    Tiles s;
    MainWidget& w = s.w();
    w.onCropTiles();
    ASSERT_EQ(s.boxes.size(), 1);
    EXPECT_EQ(s.boxes[0], QStringLiteral("No tiles: Please load tiles first."));
    EXPECT_FALSE(w.cropTilesButton->isEnabled());
    EXPECT_EQ(w.cropTilesLabel->text(), QStringLiteral("Load tiles first"));

    s.addDeformed({s.tile("d", "a.tif", 40, 30)});
    EXPECT_TRUE(w.cropTilesButton->isEnabled());
    EXPECT_TRUE(w.cropTilesLabel->text().isEmpty());
    QRect wanted;
    const ScopedDialogResponder crop(DialogResponder{[&](QDialog& dialog) {
                                                         if (auto* box = qobject_cast<QMessageBox*>(&dialog)) {
                                                             s.boxes << box->windowTitle() + QStringLiteral(": ") +
                                                                            box->text();
                                                             box->button(s.answer)->click();
                                                             return;
                                                         }
                                                         if (!wanted.isNull()) {
                                                             dialog.findChild<QSpinBox*>("cropX")->setValue(wanted.x());
                                                             dialog.findChild<QSpinBox*>("cropY")->setValue(wanted.y());
                                                             dialog.findChild<QSpinBox*>("cropWidth")
                                                                 ->setValue(wanted.width());
                                                             dialog.findChild<QSpinBox*>("cropHeight")
                                                                 ->setValue(wanted.height());
                                                         }
                                                         dialog.accept();
                                                     },
                                                     [](const FileDialogRequest&) { return QStringList(); }});
    s.boxes.clear();
    wanted = QRect(4, 2, 20, 10);
    w.onCropTiles();
    EXPECT_TRUE(s.boxes.isEmpty()) << "nothing assembled, nothing asked";
    EXPECT_EQ(w.tileCrop, wanted);
    EXPECT_EQ(s.status(), QStringLiteral("Crop applied: 20\u00d710 from (4,2)"));
    EXPECT_EQ(w.cropTilesLabel->text(), QStringLiteral("(4,2) 20\u00d710"));

    // A changed crop with assembled mosaics: No keeps everything.
    stitching::TilePosition placed;
    placed.tileIndex = 0;
    w.referenceTilePositions = {placed};
    s.answer = QMessageBox::No;
    wanted = QRect(0, 0, 40, 30);
    w.onCropTiles();
    ASSERT_EQ(s.boxes.size(), 1);
    EXPECT_EQ(s.boxes[0], QStringLiteral("Assembled mosaics: The cropping has changed. Assembled mosaics will be "
                                         "deleted.\nContinue?"));
    EXPECT_EQ(w.tileCrop, QRect(4, 2, 20, 10));
    EXPECT_EQ(w.referenceTilePositions.size(), 1);

    // Yes: the whole tile means no cropping at all, and the assembly goes.
    s.answer = QMessageBox::Yes;
    w.onCropTiles();
    EXPECT_TRUE(w.tileCrop.isNull());
    EXPECT_TRUE(w.referenceTilePositions.isEmpty());
    EXPECT_EQ(s.status(), QStringLiteral("Cropping removed - full tiles"));
}

TILES_TEST(PerTileBatch, BatchQueueRunsStateByStateAndRefusesUnevenStates) {
    Tiles s;
    MainWidget& w = s.w();
    QString error;
    EXPECT_FALSE(w.validateMosaicTileCounts(error));
    EXPECT_EQ(error, QStringLiteral("No reference tiles loaded."));

    s.addReference({s.tile("r", "t1.tif"), s.tile("r", "t2.tif"), s.tile("r", "t3.tif")});
    EXPECT_FALSE(w.validateMosaicTileCounts(error));
    EXPECT_EQ(error, QStringLiteral("No deformed tiles loaded."));

    s.addDeformed({s.tile("a", "a1.tif"), s.tile("a", "a2.tif"), s.tile("a", "a3.tif")});
    w.onAddMosaicDefState();  // stays empty: adds no jobs
    w.onAddMosaicDefState();
    s.addDeformed({s.tile("b", "b1.tif"), s.tile("b", "b2.tif"), s.tile("b", "b3.tif")});
    ASSERT_TRUE(w.validateMosaicTileCounts(error)) << error.toStdString();
    ASSERT_EQ(w.batchQueue.size(), 6);
    const int expectedStates[] = {0, 0, 0, 2, 2, 2};
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(w.batchQueue[i].stateIndex, expectedStates[i]) << i;
        EXPECT_EQ(w.batchQueue[i].tileIndex, i % 3) << i;
        EXPECT_EQ(QFileInfo(w.batchQueue[i].referencePath).fileName(), QStringLiteral("t%1.tif").arg(i % 3 + 1));
    }
    EXPECT_EQ(w.batchQueue[4].baseName, QStringLiteral("b2"));
    MainWidget::BatchResultIndex index;
    w.tileNameIndex(index, w.batchQueueNames());
    EXPECT_EQ(index.stateCount, 3);
    EXPECT_EQ(index.tilesPerState, 3);
    EXPECT_EQ(index.table, (QList<int32_t>{0, 1, 2, -1, -1, -1, 3, 4, 5}));

    s.addDeformed({s.tile("b", "b4.tif")});
    EXPECT_FALSE(w.validateMosaicTileCounts(error));
    EXPECT_EQ(error, QStringLiteral("Deformed state 3 has 4 tiles but reference has 3 tiles."));
    EXPECT_TRUE(w.batchQueue.isEmpty());

    // In mosaic mode the message reaches the user and nothing starts.
    s.perTile();
    s.boxes.clear();
    w.onCompute();
    ASSERT_EQ(s.boxes.size(), 1);
    EXPECT_EQ(s.boxes[0], QStringLiteral("Batch Tile DIC: Deformed state 3 has 4 tiles but reference has 3 tiles."));
    EXPECT_FALSE(w.runInProgress);
    EXPECT_TRUE(w.computeButton->isEnabled());
}

TILES_TEST(PerTileBatch, TilesNamedAlikeInTwoStatesAreRefusedBeforeAnythingRuns) {
    Tiles s;
    MainWidget& w = s.w();
    s.perTile();
    s.addReference({s.tile("r", "t1.tif")});
    s.addDeformed({s.tile("a", "tile.tif")});
    w.onAddMosaicDefState();
    s.addDeformed({s.tile("b", "tile.tif")});
    // An earlier result that the refused run must leave alone.
    QDir().mkpath(s.folder + QStringLiteral("/Displacements"));
    QFile old(s.folder + QStringLiteral("/Displacements/old_ux.tif"));
    ASSERT_TRUE(old.open(QIODevice::WriteOnly));
    old.close();
    s.boxes.clear();
    w.onCompute();
    ASSERT_EQ(s.boxes.size(), 1);
    EXPECT_TRUE(s.boxes[0].startsWith(QStringLiteral("Images: Several deformed images are named alike")))
        << s.boxes[0].toStdString();
    EXPECT_TRUE(old.exists());
    EXPECT_FALSE(w.runInProgress);
}

// A refused run is no run: the last run's results stay under the names they
// were computed for, not the names the refused queue would have given them.
TILES_TEST(PerTileBatch, ARefusedRunLeavesTheLastRunsResultsUnderTheirNames) {
    Tiles s;
    MainWidget& w = s.w();
    s.perTile();
    testing::SpeckleOptions options;
    options.width = options.height = 96;
    options.supersampling = 2;
    s.addSpecklePairs(options, 5u, {{1.0, 0.0}}, QStringLiteral("state_001_t%1.tif"));
    w.windowSizeXSpin->setValue(21);
    w.spacingXSpin->setValue(8);
    w.onCompute();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !w.runInProgress && !w.computationRunning; }, 60000));
    w.waitForResultWrites();
    ASSERT_EQ(w.batchNames, QStringList{QStringLiteral("state_001_t1")});
    ASSERT_EQ(w.results.size(), 1u);
    const double shift = w.results[0].rigid.shiftX;
    const QList<int32_t> table = w.batchResultIndex.table;

    // A second state holding a tile of the same name: the run is refused.
    w.onAddMosaicDefState();
    s.addDeformed({s.tile("e", "state_001_t1.tif")});
    s.boxes.clear();
    w.onCompute();
    ASSERT_EQ(s.boxes.size(), 1);
    EXPECT_TRUE(s.boxes[0].startsWith(QStringLiteral("Images: Several deformed images are named alike")));
    EXPECT_FALSE(w.batchRunActive());
    EXPECT_EQ(w.batchNames, QStringList{QStringLiteral("state_001_t1")});
    ASSERT_EQ(w.results.size(), 1u);
    EXPECT_EQ(w.results[0].rigid.shiftX, shift);
    EXPECT_EQ(w.resultBaseName(0), QStringLiteral("state_001_t1"));
    EXPECT_EQ(w.batchResultIndex.table, table);
}

TILES_TEST(PerTileBatch, TilesOfDifferentSizesStopTheBatch) {
    Tiles s;
    MainWidget& w = s.w();
    s.perTile();
    s.addReference({s.tile("r", "t1.tif", 64, 64)});
    s.addDeformed({s.tile("d", "d1.tif", 60, 64)});
    s.boxes.clear();
    w.onCompute();
    ASSERT_EQ(s.boxes.size(), 1);
    EXPECT_EQ(s.boxes[0],
              QStringLiteral("Batch Tile DIC: Tile dimensions mismatch: ref 64x64, def 60x64 (tile 1, state 1)"));
    EXPECT_FALSE(w.runInProgress);
    EXPECT_FALSE(w.computationRunning);

    // Cropped to a rectangle both tiles hold, the pair has one size again;
    // the crop misses nothing here, so no tile stays whole.
    w.tileCrop = QRect(0, 0, 48, 48);
    w.batchQueue.clear();
    QString error;
    ASSERT_TRUE(w.validateMosaicTileCounts(error));
    w.worker.clear();  // stop before anything is posted
    s.boxes.clear();
    w.startBatchRun();
    EXPECT_EQ(w.referenceImage.full.size(), QSize(48, 48));
    ASSERT_EQ(w.deformedImages.size(), 1u);
    EXPECT_EQ(w.deformedImages[0].full.size(), QSize(48, 48));
    EXPECT_TRUE(w.deformedImages[0].preview.isNull());
    ASSERT_EQ(s.boxes.size(), 1);
    EXPECT_EQ(s.boxes[0], QStringLiteral("Computation: Computation cannot start (worker unavailable)."));
    EXPECT_FALSE(w.runInProgress);

    // A tile that cannot be read stops the batch with its path and the reason.
    const QString missing = s.folder + QStringLiteral("/d/gone.tif");
    w.mosaicDefTilePaths[0] = {missing};
    s.boxes.clear();
    w.onCompute();
    ASSERT_EQ(s.boxes.size(), 1);
    EXPECT_TRUE(
        s.boxes[0].startsWith(QStringLiteral("Batch Tile DIC: Failed to load deformed tile '%1': ").arg(missing)))
        << s.boxes[0].toStdString();
    EXPECT_FALSE(w.runInProgress);
}

TILES_TEST(PerTileBatch, EveryTilePairIsCorrelatedAndWrittenUnderItsOwnName) {
    Tiles s;
    MainWidget& w = s.w();
    s.perTile();
    constexpr int kSize = 160;
    testing::SpeckleOptions options;
    options.width = options.height = kSize;
    options.supersampling = 2;
    const std::vector<std::array<double, 2>> shifts = {{1.3, -0.7}, {-0.6, 2.2}};
    s.addSpecklePairs(options, 11u, shifts, QStringLiteral("loaded.%1.tif"));
    w.windowSizeXSpin->setValue(21);
    w.spacingXSpin->setValue(8);
    w.interpolationCombo->setCurrentIndex(2);
    // A mask of another size than the tiles is left out, with one warning.
    w.maskImage = QImage(300, 200, QImage::Format_Grayscale8);
    w.maskImage.fill(255);
    w.maskActive = true;
    s.boxes.clear();

    w.onCompute();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !w.runInProgress && !w.computationRunning; }, 60000));
    w.waitForResultWrites();
    QCoreApplication::processEvents();
    EXPECT_EQ(s.boxes, QStringList{QStringLiteral("Mask: The mask (300\u00d7200) does not match the tiles "
                                                  "(160\u00d7160); the tiles are correlated without it.")});
    EXPECT_TRUE(s.status().startsWith(
        QStringLiteral("Batch per-tile DIC completed: 2 tile pair(s) processed | Total time: ")))
        << s.status().toStdString();
    EXPECT_EQ(w.batchIndex, 0);

    // Each pair's files hold that pair's translation (less the whole-pixel
    // rigid shift the registration took out first).
    for (int t = 0; t < 2; ++t) {
        for (int c = 0; c < 2; ++c) {
            const QString path = resultFilePath(s.folder, kDisplacementsFolder, QStringLiteral("loaded.%1").arg(t + 1),
                                                c == 0 ? QStringLiteral("_ux") : QStringLiteral("_uy"));
            std::uint32_t width = 0, height = 0;
            std::vector<float> values;
            QString error;
            ASSERT_TRUE(readFloatTiff(path, width, height, values, error)) << path.toStdString();
            const double expected = shifts[t][c] - std::round(shifts[t][c]);
            int near = 0, finite = 0;
            for (float v : values)
                if (std::isfinite(v)) {
                    ++finite;
                    // Cubic B-spline on an exact Fourier shift: a few hundredths of a pixel.
                    near += std::abs(v - expected) < 0.03 ? 1 : 0;
                }
            EXPECT_GT(finite, static_cast<int>(values.size()) * 3 / 4) << path.toStdString();
            EXPECT_GT(near, finite * 9 / 10) << path.toStdString();
        }
    }

    // Stop right after the start ends the whole batch, whichever side of the
    // first pair's end it lands on.
    s.answer = QMessageBox::Yes;
    w.onCompute();
    EXPECT_TRUE(w.runInProgress);
    w.onStopComputation();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !w.runInProgress && !w.computationRunning; }, 60000));
    w.waitForResultWrites();
    QCoreApplication::processEvents();
    EXPECT_EQ(s.status(), QStringLiteral("Computation cancelled."));
    EXPECT_TRUE(w.batchQueue.isEmpty());
    EXPECT_TRUE(w.computeButton->isEnabled());
}

namespace {

double meanFinite(const std::vector<float>& values) {
    double sum = 0.0;
    int count = 0;
    for (float v : values)
        if (std::isfinite(v)) {
            sum += v;
            ++count;
        }
    return count > 0 ? sum / count : std::nan("");
}

}  // namespace

TILES_TEST(PerTileBatch, ControlsChangedDuringTheBatchReachNoLaterPair) {
    Tiles s;
    MainWidget& w = s.w();
    s.perTile();
    constexpr int kSize = 160;
    constexpr int kPairs = 4;
    testing::SpeckleOptions options;
    options.width = options.height = kSize;
    std::vector<std::array<double, 2>> shifts;
    for (int t = 0; t < kPairs; ++t)
        shifts.push_back({0.4 * t - 0.7, 1.1 - 0.3 * t});
    s.addSpecklePairs(options, 31u, shifts, QStringLiteral("pair_%1.tif"));
    w.windowSizeXSpin->setValue(21);
    w.spacingXSpin->setValue(8);
    const auto batch = [&](const std::function<void()>& meanwhile) {
        w.onCompute();
        EXPECT_TRUE(QTest::qWaitFor(
            [&] {
                meanwhile();
                return !w.runInProgress && !w.computationRunning;
            },
            60000));
        w.waitForResultWrites();
        QCoreApplication::processEvents();
    };
    batch([] {});
    ASSERT_EQ(w.results.size(), static_cast<std::size_t>(kPairs));
    const std::vector<ComputationResult> undisturbed = w.results;

    // Once the first pair is done: other parameters, a mask hiding every
    // point and a crop; the pairs after it are correlated as the batch began.
    s.answer = QMessageBox::Yes;
    bool changed = false;
    // The worker waits after the first pair, so that the changes come while pairs are left.
    const std::unique_ptr<WorkerGate> gate = s.holdWorker({1});
    batch([&] {
        if (changed || w.batchIndex < 1)
            return;
        changed = true;
        w.windowSizeXSpin->setValue(31);
        w.spacingXSpin->setValue(12);
        w.maskImage = QImage(kSize, kSize, QImage::Format_Grayscale8);
        w.maskImage.fill(0);
        w.maskActive = true;
        w.tileCrop = QRect(0, 0, 100, 100);
        gate->open();
    });
    ASSERT_TRUE(changed);
    EXPECT_TRUE(s.status().startsWith(QStringLiteral("Batch per-tile DIC completed: 4 tile pair(s)")))
        << s.status().toStdString();
    ASSERT_EQ(w.results.size(), static_cast<std::size_t>(kPairs));
    for (std::size_t i = 0; i < static_cast<std::size_t>(kPairs); ++i) {
        EXPECT_EQ(w.results[i].geometry.windowSizeX, 21) << i;
        EXPECT_EQ(w.results[i].geometry.stepX, 8) << i;
        EXPECT_TRUE(session::sameField(w.results[i].displacements->dispX, undisturbed[i].displacements->dispX)) << i;
        EXPECT_TRUE(session::sameField(w.results[i].displacements->dispY, undisturbed[i].displacements->dispY)) << i;
    }
}

TILES_TEST(PerTileBatch, BatchResultsAreBrowsedByStateAndTileAlsoAfterReopening) {
    Tiles s;
    MainWidget& w = s.w();
    s.perTile();
    testing::SpeckleOptions options;
    options.width = options.height = 160;
    options.supersampling = 2;
    // shifts[state][tile]; the shown fields hold them less the whole-pixel rigid shift.
    const double shifts[2][2] = {{0.3, -0.2}, {1.4, 2.35}};
    QStringList reference;
    QList<QStringList> states(2);
    for (int t = 0; t < 2; ++t)
        for (int k = 0; k < 2; ++k) {
            options.seed = 21u + static_cast<std::uint32_t>(t);
            const testing::ImagePair pair = testing::makeFourierShiftedPair(options, shifts[k][t], 0.0);
            if (k == 0) {
                reference << s.folder + QStringLiteral("/tile_%1.tif").arg(t + 1);
                ASSERT_TRUE(session::writeImage(reference.back(), toImage(pair.reference)));
            }
            states[k] << s.folder + QStringLiteral("/s%1_t%2.tif").arg(k + 1).arg(t + 1);
            ASSERT_TRUE(session::writeImage(states[k].back(), toImage(pair.deformed)));
        }
    s.addReference(reference);
    s.addDeformed(states[0]);
    w.onAddMosaicDefState();
    s.addDeformed(states[1]);
    w.windowSizeXSpin->setValue(21);
    w.spacingXSpin->setValue(8);
    w.interpolationCombo->setCurrentIndex(2);
    w.onCompute();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !w.runInProgress && !w.computationRunning; }, 60000));
    w.waitForResultWrites();
    QCoreApplication::processEvents();
    ASSERT_TRUE(w.batchGridActive());

    const auto expectShown = [](MainWidget& window, int state, int tile, const double (&truth)[2][2]) {
        SCOPED_TRACE(QStringLiteral("state %1, tile %2").arg(state + 1).arg(tile + 1).toStdString());
        EXPECT_EQ(window.displacementStepLabel->text(), QStringLiteral("State %1 / 2").arg(state + 1));
        EXPECT_EQ(window.displacementTileNavigator.label->text(),
                  QStringLiteral("Tile %1 / 2  \u2014  s%2_t%1").arg(tile + 1).arg(state + 1));
        EXPECT_EQ(window.displacementSlider->value(), state);
        EXPECT_EQ(window.displacementTileNavigator.slider->value(), tile);
        const double shift = truth[state][tile];
        EXPECT_NEAR(meanFinite(window.shownDisplacements->dispX), shift - std::round(shift), 0.02);
    };
    // The batch ends on the first pair, whichever ran last.
    expectShown(w, 0, 0, shifts);
    w.displacementTileNavigator.slider->setValue(1);
    expectShown(w, 0, 1, shifts);
    w.displacementSlider->setValue(1);
    expectShown(w, 1, 1, shifts);
    // The rigid shift the files leave out is the pair's own.
    const QString shifted = QStringLiteral("Rigid body shift: dx = 2 px, dy = 0 px");
    EXPECT_EQ(w.rigidShiftLabel->text(), shifted);
    w.displacementTileNavigator.prevButton->click();
    expectShown(w, 1, 0, shifts);

    // A pair whose files are gone is said to have no result, after reopening too.
    ASSERT_TRUE(QFile::remove(resultFilePath(s.folder, kDisplacementsFolder, QStringLiteral("s2_t1"),
                                             QStringLiteral("_ux"))));
    s.window.reset();
    s.window = std::make_unique<MainWidget>();
    MainWidget& v = s.w();
    v.loadParametersFromFile(s.folder + QStringLiteral("/parameters.json"));
    EXPECT_TRUE(v.perTileRadio->isChecked());
    EXPECT_TRUE(v.singleImagePage->isHidden()) << "the mosaic panel, not the single-image one";
    EXPECT_FALSE(v.mosaicPage->isHidden());
    EXPECT_TRUE(v.gridGeometryBlock->isHidden()) << "per-tile mode has no grid to set";
    EXPECT_EQ(v.batchNames, (QStringList{QStringLiteral("s1_t1"), QStringLiteral("s1_t2"), QStringLiteral("s2_t2")}));
    expectShown(v, 0, 0, shifts);
    v.displacementSlider->setValue(1);
    EXPECT_EQ(s.status(), QStringLiteral("No result for state 2, tile 1"));
    EXPECT_TRUE(v.shownDisplacements->dispX.empty());
    v.displacementTileNavigator.nextButton->click();
    expectShown(v, 1, 1, shifts);
    EXPECT_EQ(v.rigidShiftLabel->text(), shifted) << "kept in the project for the reopened pair";
}

TILES_TEST(MosaicTileLists, EmptyTileListsShowNoNumbersOfTheSingleImages) {
    Tiles s;
    MainWidget& w = s.w();
    w.mosaicSwitch->setChecked(false);
    s.loadReference(s.image(QStringLiteral("single.tif"), 32, 32, QImage::Format_Grayscale8, 4));
    ASSERT_TRUE(w.referenceHistogram->hasData());
    w.mosaicSwitch->setChecked(true);
    EXPECT_FALSE(w.referenceHistogram->hasData());
    EXPECT_EQ(w.referenceMinMaxLabel->text(), QStringLiteral("Min : \u2014    Max : \u2014"));
}

namespace {

void selectRow(QListWidget* list, int row) {
    list->setCurrentRow(row);
    list->clearSelection();
    list->item(row)->setSelected(true);
}

void writeAnything(const QString& path) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("x");
}

}  // namespace

TILES_TEST(MosaicTileLists, AMovedTileKeepsItsPlaceAfterReopening) {
    Tiles s;
    MainWidget& w = s.w();
    s.addReference({s.tile("r", "a.tif"), s.tile("r", "b.tif"), s.tile("r", "c.tif")});
    s.addDeformed({s.tile("d", "a.tif"), s.tile("d", "b.tif")});
    selectRow(w.mosaicRefTileList, 2);
    w.onMoveUpMosaicRefTile();
    selectRow(w.mosaicDefTileList, 0);
    w.onMoveDownMosaicDefTile();
    const QStringList reference{"a.tif", "c.tif", "b.tif"};
    const QStringList deformed{"b.tif", "a.tif"};
    ASSERT_EQ(names(w.mosaicRefTilePaths), reference);
    ASSERT_EQ(names(w.mosaicDefTilePaths[0]), deformed);

    const std::unique_ptr<MainWidget> again = s.reopen();
    EXPECT_EQ(names(again->mosaicRefTilePaths), reference);
    EXPECT_EQ(listTexts(again->mosaicRefTileList), reference);
    ASSERT_EQ(again->mosaicDefTilePaths.size(), 1);
    EXPECT_EQ(names(again->mosaicDefTilePaths[0]), deformed);
    EXPECT_EQ(listTexts(again->mosaicDefTileList), deformed);
}

// Per-tile results belong to the deformed tile that made them, whatever its place.
TILES_TEST(PerTileBatch, AMovedTileTakesItsResultAlongAndKeepsItsPlaceAfterReopening) {
    Tiles s;
    MainWidget& w = s.w();
    s.perTile();
    testing::SpeckleOptions options;
    options.width = options.height = 160;
    options.supersampling = 2;
    s.addSpecklePairs(options, 41u, {{0.3, 0.0}, {2.4, 0.0}}, QStringLiteral("pair_%1.tif"));
    w.windowSizeXSpin->setValue(21);
    w.spacingXSpin->setValue(8);
    s.computeAndWait();
    ASSERT_TRUE(w.batchGridActive());

    // pair_2 and its reference tile move up: the first place on the result page is pair_2's, with its field
    // (2.4 px less the whole-pixel rigid shift) and its rigid shift.
    selectRow(w.mosaicDefTileList, 1);
    w.onMoveUpMosaicDefTile();
    selectRow(w.mosaicRefTileList, 1);
    w.onMoveUpMosaicRefTile();
    const auto expectPair2First = [](MainWidget& window) {
        window.displacementSlider->setValue(0);
        window.displacementTileNavigator.slider->setValue(0);
        window.applyBatchResultSelection(true);
        EXPECT_EQ(window.displacementTileNavigator.label->text(), QStringLiteral("Tile 1 / 2  \u2014  pair_2"));
        ASSERT_TRUE(window.shownDisplacements);
        EXPECT_NEAR(meanFinite(window.shownDisplacements->dispX), 0.4, 0.02);
        EXPECT_EQ(window.rigidShiftLabel->text(), QStringLiteral("Rigid body shift: dx = 2 px, dy = 0 px"));
    };
    expectPair2First(w);

    const ProjectParameters saved = s.saved();
    ASSERT_TRUE(saved.mosaic);
    EXPECT_EQ(names(saved.mosaic->referenceTiles), (QStringList{"tile_2.tif", "tile_1.tif"}));
    ASSERT_EQ(saved.mosaic->deformedStates.size(), 1);
    EXPECT_EQ(names(saved.mosaic->deformedStates[0]), (QStringList{"pair_2.tif", "pair_1.tif"}));
    const std::unique_ptr<MainWidget> again = s.reopen();
    EXPECT_EQ(listTexts(again->mosaicRefTileList), (QStringList{"tile_2.tif", "tile_1.tif"}));
    EXPECT_EQ(listTexts(again->mosaicDefTileList), (QStringList{"pair_2.tif", "pair_1.tif"}));
    expectPair2First(*again);
}

// The box says what a deletion takes: the result files too, when the state has some on disk.
TILES_TEST(MosaicTileLists, DeletingAStateWithResultFilesSaysTheyGoToo) {
    Tiles s;
    MainWidget& w = s.w();
    s.addDeformed({s.tile("s1", "a.tif")});
    w.onAddMosaicDefState();
    s.addDeformed({s.tile("s2", "b.tif")});
    w.onAddMosaicDefState();
    s.addDeformed({s.tile("s3", "c.tif")});
    // State 2 has its mosaic's field on disk, state 3 the field of its tile c; state 1 has nothing.
    writeAnything(resultFilePath(s.folder, kDisplacementsFolder, QStringLiteral("mosaic_state_2"), QStringLiteral("_ux")));
    writeAnything(resultFilePath(s.folder, kDisplacementsFolder, QStringLiteral("c"), QStringLiteral("_uy")));
    w.batchNames = {QStringLiteral("c")};
    const QString lost = QStringLiteral("Confirmation: Delete deformed state %1?\nThe tiles of this state will be lost.");
    const QString withFiles = lost + QStringLiteral("\nIts result files will be deleted.");
    s.answer = QMessageBox::No;
    const auto asked = [&](int state) {
        s.boxes.clear();
        w.currentMosaicDefState = state;
        w.onDeleteMosaicDefState();
        return s.boxes.value(0);
    };
    EXPECT_EQ(asked(0), lost.arg(1));
    EXPECT_EQ(asked(1), withFiles.arg(2));
    EXPECT_EQ(asked(2), withFiles.arg(3));
    EXPECT_EQ(w.mosaicDefTilePaths.size(), 3) << "No keeps every state";

    // The height panel deletes the same state, and asks the same way: here about a height map on disk.
    writeAnything(resultFilePath(s.folder, kHeightFolder, QStringLiteral("state_001"), QStringLiteral("_uz")));
    ASSERT_EQ(w.deformedHeightStates.size(), 3);
    s.boxes.clear();
    w.currentDeformedHeightState = 0;
    w.onDeleteHeightDefState();
    EXPECT_EQ(s.boxes.value(0), withFiles.arg(1));
    EXPECT_EQ(w.mosaicDefTilePaths.size(), 3);
}

// Stitched and per-tile results each keep their out-of-plane maps' ranges; the set-aside one's too are in the file.
TILES_TEST(AssemblyChoice, AHeightRangeSetByHandInTheAssemblySetAsideComesBackAfterReopening) {
    Tiles s;
    MainWidget& w = s.w();
    s.addReference({s.tile("r", "a.tif")});
    s.addDeformed({s.tile("d", "a.tif")});
    // The stitched state's map, of values 1 to 4, shown from 2 to 3 as set by hand.
    std::vector<float> values{1.0f, 2.0f, 3.0f, 4.0f};
    QDir().mkpath(s.folder + QLatin1Char('/') + kHeightFolder);
    QString error;
    ASSERT_TRUE(writeFloatTiff(resultFilePath(s.folder, kHeightFolder, QStringLiteral("state_001"),
                                              QStringLiteral("_uz")),
                               2, 2, values, error, {}))
        << error.toStdString();
    HeightRangeEntry byHand{0, 1.0f, 4.0f, 1.0f, 4.0f};
    byHand.manualUz = std::array<float, 2>{2.0f, 3.0f};
    w.heightResultRanges = {byHand};
    s.perTile();
    EXPECT_TRUE(w.heightResultRanges.empty()) << "set aside with the stitched results";

    const std::unique_ptr<MainWidget> again = s.reopen();
    ASSERT_TRUE(again->perTileRadio->isChecked());
    EXPECT_TRUE(again->heightResultRanges.empty());
    again->stitchAndCorrelateRadio->setChecked(true);
    ASSERT_EQ(again->heightResultRanges.size(), 1u);
    EXPECT_EQ(again->heightResultRanges[0].index, 0);
    EXPECT_EQ(again->heightResultRanges[0].manualUz, byHand.manualUz);
    EXPECT_EQ(again->heightResultRanges[0].autoMax, 4.0f);
}

TILES_TEST(PerTileInputs, TheNavigatorStepsThroughThePairsAndTheCaptionNamesTheTileShown) {
    Tiles s;
    MainWidget& w = s.w();
    s.addReference({s.tile("r", "r1.tif"), s.tile("r", "r2.tif"), s.tile("r", "r3.tif")});
    s.addDeformed({s.tile("d", "d1.tif"), s.tile("d", "d2.tif"), s.tile("d", "d3.tif")});
    const MainWidget::TileNavigator& nav = w.inputTileNavigator;
    EXPECT_TRUE(nav.container->isHidden()) << "stitched tiles are not stepped through";
    s.perTile();
    ASSERT_FALSE(nav.container->isHidden());
    EXPECT_EQ(nav.label->text(), QStringLiteral("Tile 1 / 3  \u2014  r1"));
    EXPECT_EQ(nav.slider->maximum(), 2);
    EXPECT_EQ(w.deformedTitleLabel->text(), QStringLiteral("State 1 / 1  \u2014  d1"));

    nav.nextButton->click();
    EXPECT_EQ(nav.label->text(), QStringLiteral("Tile 2 / 3  \u2014  r2"));
    EXPECT_EQ(w.deformedTitleLabel->text(), QStringLiteral("State 1 / 1  \u2014  d2"));
    nav.slider->setValue(2);
    EXPECT_EQ(nav.label->text(), QStringLiteral("Tile 3 / 3  \u2014  r3"));
    EXPECT_FALSE(nav.nextButton->isEnabled());

    // Chosen in a list, a pair is said to be shown; there is no mosaic to return to.
    w.onMosaicRefTileClicked(w.mosaicRefTileList->item(0), false);
    EXPECT_EQ(s.status(), QStringLiteral("Tile 1/3 displayed"));
    EXPECT_EQ(nav.slider->value(), 0);
    EXPECT_EQ(w.deformedTitleLabel->text(), QStringLiteral("State 1 / 1  \u2014  d1"));
    w.onMosaicDefTileDoubleClicked(w.mosaicDefTileList->item(1));
    EXPECT_EQ(s.status(), QStringLiteral("Tile 2/3 displayed"));
    EXPECT_EQ(nav.label->text(), QStringLiteral("Tile 2 / 3  \u2014  r2"));

    const std::unique_ptr<MainWidget> again = s.reopen();
    ASSERT_TRUE(again->perTileRadio->isChecked());
    EXPECT_FALSE(again->inputTileNavigator.container->isHidden()) << "after reopening";
    EXPECT_EQ(again->inputTileNavigator.label->text(), QStringLiteral("Tile 1 / 3  \u2014  r1"));

    // Stitching keeps its mosaic and its words.
    w.stitchAndCorrelateRadio->setChecked(true);
    EXPECT_TRUE(nav.container->isHidden());
    w.onMosaicRefTileDoubleClicked(w.mosaicRefTileList->item(2));
    EXPECT_EQ(s.status(), QStringLiteral("Tile 3/3 displayed (click to return to mosaic)"));
}

TILES_TEST(PerTileInputs, TheNavigatorShowsWhicheverComesFirstTilesOrTheChoice) {
    Tiles s;
    MainWidget& w = s.w();
    s.perTile();
    EXPECT_TRUE(w.inputTileNavigator.container->isHidden()) << "no tiles yet";
    s.addReference({s.tile("r", "r1.tif"), s.tile("r", "r2.tif")});
    ASSERT_FALSE(w.inputTileNavigator.container->isHidden());
    EXPECT_EQ(w.inputTileNavigator.label->text(), QStringLiteral("Tile 1 / 2  \u2014  r1"));
    w.mosaicRefTileList->setCurrentRow(1);
    w.onRemoveMosaicRefTiles();
    EXPECT_EQ(w.inputTileNavigator.label->text(), QStringLiteral("Tile 1 / 1  \u2014  r1"));
    w.onClearMosaicRefTiles();
    EXPECT_TRUE(w.inputTileNavigator.container->isHidden()) << "no tiles left";
    s.addReference({s.tile("r", "r1.tif")});
    s.w().mosaicSwitch->setChecked(false);
    EXPECT_TRUE(w.inputTileNavigator.container->isHidden()) << "single images have no tiles";
}

TILES_TEST(PerTileInputs, TheShiftLineBelongsToThePairShown) {
    Tiles s;
    MainWidget& w = s.w();
    s.perTile();
    testing::SpeckleOptions options;
    options.width = options.height = 160;
    // Whole-pixel parts 2, 0 and -1, 1: the registration's shifts.
    const std::vector<std::array<double, 2>> shifts = {{2.3, 0.2}, {-0.8, 1.3}};
    s.addSpecklePairs(options, 51u, shifts, QStringLiteral("pair_%1.tif"));
    w.windowSizeXSpin->setValue(21);
    w.spacingXSpin->setValue(8);
    w.onCompute();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !w.runInProgress && !w.computationRunning; }, 60000));
    w.waitForResultWrites();
    QCoreApplication::processEvents();
    const QString first = QStringLiteral("Rigid body shift: dx = 2 px, dy = 0 px");
    const QString second = QStringLiteral("Rigid body shift: dx = -1 px, dy = 1 px");
    // The result page shows the second pair; the input page the first.
    w.displacementTileNavigator.slider->setValue(1);
    ASSERT_EQ(w.rigidShiftLabel->text(), second);
    w.mainTabs->setCurrentWidget(w.inputImagesPage);
    ASSERT_FALSE(w.inputTileNavigator.container->isHidden()) << "after a run";
    EXPECT_EQ(w.inputTileNavigator.label->text(), QStringLiteral("Tile 1 / 2  \u2014  tile_1"));
    EXPECT_EQ(w.rigidShiftLabel->text(), first);
    w.inputTileNavigator.nextButton->click();
    EXPECT_EQ(w.rigidShiftLabel->text(), second);
    w.inputTileNavigator.prevButton->click();
    EXPECT_EQ(w.rigidShiftLabel->text(), first);
    w.mainTabs->setCurrentWidget(w.displacementsPage);
    EXPECT_EQ(w.rigidShiftLabel->text(), second) << "the result page's own again";

    // Reopened, the pairs' shifts come from the project; a pair without files has none.
    ASSERT_TRUE(QFile::remove(resultFilePath(s.folder, kDisplacementsFolder, QStringLiteral("pair_2"),
                                             QStringLiteral("_ux"))));
    const std::unique_ptr<MainWidget> again = s.reopen();
    again->mainTabs->setCurrentWidget(again->inputImagesPage);
    EXPECT_EQ(again->rigidShiftLabel->text(), first);
    again->inputTileNavigator.nextButton->click();
    EXPECT_EQ(again->rigidShiftLabel->text(), QString());
}

}  // namespace tavro::gui
