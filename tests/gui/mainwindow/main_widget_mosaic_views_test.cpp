#include "gui/mainwindow/main_widget.h"

#include "gui/foundation/elided_label.h"
#include "images/field_rendering.h"
#include "images/image_io.h"
#include "images/image_write.h"
#include "gui/project/result_files.h"
#include "gui/mainwindow/mosaic_assembly.h"
#include "gui/mainwindow/mosaic_file_record.h"
#include "gui/style/switch_widget.h"
#include "support/file_size_limit.h"
#include "window_session.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QCheckBox>
#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMouseEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QGraphicsScene>
#include <QGraphicsSimpleTextItem>
#include <QSlider>
#include <QSpinBox>
#include <QThread>
#include <QThreadPool>
#include <QtConcurrent>

#include <QTest>

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <tuple>
#include <memory>
#include <mutex>
#include <vector>

namespace tavro::gui {

using session::speckle;
using session::writeImage;

// Holds the global pool's only thread until released, so that Stop certainly
// comes while a task of the window waits for it; the pool is as before after.
class HeldPool {
public:
    HeldPool() : pool_(QThreadPool::globalInstance()), threads_(pool_->maxThreadCount()) {
        pool_->setMaxThreadCount(1);
        pool_->start([this] {
            while (!released_.load())
                QThread::msleep(2);
        });
    }
    void release() { released_.store(true); }
    ~HeldPool() {
        release();
        pool_->waitForDone();
        pool_->setMaxThreadCount(threads_);
    }

private:
    QThreadPool* pool_;
    int threads_;
    std::atomic<bool> released_{false};
};

struct MainWidgetMosaicViewsTestAccess {
    using Session = WindowTestSession;

    static void AlignRefusesInOrderBeforeAnythingStarts();
    static void AlignedMosaicsShareOneSizeAndAreSavedWithTheProject();
    static void AFailedOrCancelledAssemblyKeepsThePreviousMosaics();
    static void ADetectedScanOrderIsAnnouncedAndKeptWithTheRefinementSummary();
    static void SavingOverFilesOfTheSameSizeReusesThem();
    static void SavedFilesOfTheStoredSizeAreShownWithoutComposing();
    static void LoadingFailsAsAWholeOnAWrongSizeOrANullStoredSize();
    static void MissingFilesAreComposedFromTheSavedPositions();
    static void AnUnreadableReferenceTileEndsTheBusyState();
    static void ALeftOutStateNeverLeavesAnotherStatesFileInItsPlace();
    static void OpeningTheProjectShowsTheSavedMosaicsAgain();
    static void DetailTilesReadOnlyWhatTheZoomNeeds();
    static void GridDetailTilesAreRefusedWhenUseless();
    static void TheNavigatorFollowsThePerTileMode();
    static void LeavingTheModeWithDataAsksAndKeepsTheProjectFolder();
    static void ChoosingTheSameSegmentTwiceChangesNothing();
    static void AClickOutsideTheListsReturnsToTheMosaics();
    static void EachStateIsComposedWithItsOwnSavedPlacement();
    static void ARebuiltMosaicIsTheOneAssembledWhateverStatesAreEmpty();
    static void AMosaicTheFolderRefusesIsReported();
    static void AClickedTileIsOutlinedWithItsOwnNumber();
    static void ComputeAssemblesThenCorrelatesTheMosaicsAndReusesCurrentOnes();
    static void ComputeChecksTilesAndAsksBeforeAssemblingAndStopLeavesTheOldResults();
    static void AMosaicProjectKeepsItsMaskAndStaysBusyToTheEndOfItsLoad();
    static void MosaicsAreCurrentOnlyForTheTilesAndChoicesTheyWereAssembledFrom();
    static void ASavedMosaicIsReadBackAsItsOwnStateOrRebuilt();
    static void EachStateShowsReadsAndContrastsItsOwnMosaic();
    static void ShownTilesAreWhatTheReadOutsRead();
    static void WhatAViewDrawsAfterAlignContrastOrANewStateIsWhatItsReadOutReads();
    static void LeavingMosaicModeInPerTileModeLeavesNoControlHidden();

    // The reference and a translated copy, each cut into two tiles side by
    // side with 32 columns in common.
    static void twoTranslatedTiles(Session& s, double ux, double uy) {
        MainWidget& w = s.w();
        testing::SpeckleOptions options;
        options.width = options.height = 160;
        options.supersampling = 2;
        const testing::ImagePair pair = testing::makeFourierShiftedPair(options, ux, uy);
        const QImage reference = session::toImage(pair.reference);
        const QImage deformed = session::toImage(pair.deformed);
        w.mosaicSwitch->setChecked(true);
        w.gridRowsSpin->setValue(1);
        w.gridColsSpin->setValue(2);
        w.overlapXSpin->setValue(33);
        w.mosaicRefTilePaths.clear();
        w.mosaicDefTilePaths = {QStringList()};
        for (int col = 0; col < 2; ++col) {
            const QRect cut(col * 64, 0, 96, 160);
            const QString ref = s.folder + QStringLiteral("/ref_t%1.tif").arg(col);
            const QString def = s.folder + QStringLiteral("/def_t%1.tif").arg(col);
            EXPECT_TRUE(session::writeImage(ref, reference.copy(cut)));
            EXPECT_TRUE(session::writeImage(def, deformed.copy(cut)));
            w.mosaicRefTilePaths << ref;
            w.mosaicDefTilePaths[0] << def;
        }
        w.windowSizeXSpin->setValue(21);
        w.spacingXSpin->setValue(8);
        w.interpolationCombo->setCurrentIndex(2);
    }

    static bool waitForRun(MainWidget& w) {
        const bool done = QTest::qWaitFor(
            [&] { return !w.stitchingInProgress && !w.runInProgress && !w.computationRunning; }, 60000);
        w.waitForResultWrites();
        QCoreApplication::processEvents();
        return done;
    }
    static void TilesLeftAtTheirNominalPlaceAreAWarningNotASuccess();

    // Tiles of one state: a 1 x 1 grid, so the engine places the single tile at the origin.
    static void oneTileStates(Session& s, const QList<QSize>& stateSizes, const QSize& referenceSize) {
        MainWidget& w = s.w();
        w.mosaicSwitch->setChecked(true);
        w.gridRowsSpin->setValue(1);
        w.gridColsSpin->setValue(1);
        w.mosaicRefTilePaths = {s.image(QStringLiteral("ref_t0.tif"), referenceSize.width(), referenceSize.height(),
                                        QImage::Format_Grayscale8, 1)};
        w.mosaicDefTilePaths.clear();
        for (int i = 0; i < stateSizes.size(); ++i) {
            if (stateSizes[i].isEmpty()) {
                w.mosaicDefTilePaths << QStringList();
                continue;
            }
            w.mosaicDefTilePaths << QStringList{s.image(QStringLiteral("def%1_t0.tif").arg(i), stateSizes[i].width(),
                                                        stateSizes[i].height(), QImage::Format_Grayscale8,
                                                        static_cast<std::uint32_t>(10 + i))};
        }
    }

    // Saved mosaic files of 90 x 70 for the reference and two states, the
    // second state's of the given height.
    static bool writeSavedMosaics(Session& s, int secondStateHeight) {
        return writeImage(s.folder + QStringLiteral("/mosaic_reference.tiff"),
                          speckle(90, 70, QImage::Format_Grayscale8, 21)) &&
               writeImage(s.folder + QStringLiteral("/mosaic_deformed_001.tiff"),
                          speckle(90, 70, QImage::Format_Grayscale8, 22)) &&
               writeImage(s.folder + QStringLiteral("/mosaic_deformed_002.tiff"),
                          speckle(90, secondStateHeight, QImage::Format_Grayscale8, 23));
    }

    // One-tile states of 64 x 60 aligned as the button does.
    static bool alignOneTileStates(Session& s, const QList<QSize>& stateSizes) {
        oneTileStates(s, stateSizes, QSize(64, 60));
        s.w().onAlignMosaic();
        return waitForAssembly(s.w());
    }

    static bool waitForAssembly(MainWidget& w) {
        QDeadlineTimer deadline(60000);
        while (w.stitchingInProgress && !deadline.hasExpired())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        return !w.stitchingInProgress;
    }

    static QList<stitching::TilePosition> twoTilesSideBySide(int width, int height) {
        QList<stitching::TilePosition> positions;
        for (int i = 0; i < 2; ++i) {
            stitching::TilePosition p;
            p.row = 0;
            p.col = i;
            p.tileIndex = i;
            p.isPresent = true;
            p.tx = static_cast<float>(i * (width - 8)) + 0.6f;
            p.ty = 0.0f;
            positions << p;
        }
        (void)height;
        return positions;
    }
};

using Access = MainWidgetMosaicViewsTestAccess;

#define VIEWS_TEST(Suite, Name)                    \
    TEST(Suite, Name) {                            \
        MainWidgetMosaicViewsTestAccess::Name();   \
    }                                              \
    void MainWidgetMosaicViewsTestAccess::Name()

// An 80 x 60 speckle tile in `dir`.
QString writeTile(const testing::TempDir& dir, const QString& name, std::uint32_t seed) {
    const QString path = session::qpath(dir.path()) + QLatin1Char('/') + name;
    EXPECT_TRUE(writeImage(path, speckle(80, 60, QImage::Format_Grayscale8, seed)));
    return path;
}

// A 1 x 1 grid whose reference is one such tile; the states are the caller's.
MosaicAssemblyJob oneByOneJob(const testing::TempDir& dir) {
    MosaicAssemblyJob job;
    job.config.rows = 1;
    job.config.cols = 1;
    job.config.referenceTiles = {writeTile(dir, QStringLiteral("r.tif"), 1)};
    job.cancel = std::make_shared<std::atomic<bool>>(false);
    return job;
}

TEST(MosaicAssembly, ProgressCountsOnlyStatesWithTilesAndNamesTheirStates) {
    testing::TempDir dir{"tavro_assembly"};
    const auto tile = [&](const QString& name, std::uint32_t seed) { return writeTile(dir, name, seed); };
    MosaicAssemblyJob job = oneByOneJob(dir);
    job.config.stateTiles = {QStringList(), {tile(QStringLiteral("a.tif"), 2)}, QStringList(), {tile(QStringLiteral("b.tif"), 3)}};
    job.cancel = std::make_shared<std::atomic<bool>>(false);
    std::vector<std::pair<int, QString>> stages;
    const StitchingResult result =
        assembleMosaics(job, {[&](int percent, const QString& text) { stages.emplace_back(percent, text); }, {}});
    ASSERT_TRUE(result.success) << result.errorMessage.toStdString();
    EXPECT_EQ(result.stateIndices, (QList<quint64>{1, 3}));
    ASSERT_EQ(result.deformedMosaics.size(), 2);
    ASSERT_EQ(result.statePositions.size(), 2);
    EXPECT_EQ(result.deformedPositions.size(), result.statePositions.front().size());
    ASSERT_GE(stages.size(), 2u);
    EXPECT_EQ(stages[0], std::make_pair(0, QStringLiteral("Assembling reference (0/1 tiles)...")));
    EXPECT_EQ(stages[1], std::make_pair(33, QStringLiteral("Reference completed (1/3)"))) << "T = 1 + 2 filled states";
    EXPECT_EQ(stages.back(), std::make_pair(100, QStringLiteral("Deformed state 2 completed (3/3)")));
}

TEST(MosaicAssembly, OnTheWayToACorrelationTheStagesSpeakOfMosaics) {
    testing::TempDir dir{"tavro_assembly"};
    const auto tile = [&](const QString& name, std::uint32_t seed) { return writeTile(dir, name, seed); };
    MosaicAssemblyJob job = oneByOneJob(dir);
    job.config.stateTiles = {{tile(QStringLiteral("a.tif"), 2)}, QStringList(), {tile(QStringLiteral("b.tif"), 3)}};
    job.forCorrelation = true;
    QStringList texts;
    const StitchingResult result =
        assembleMosaics(job, {[&](int, const QString& text) { texts << text; }, {}});
    ASSERT_TRUE(result.success) << result.errorMessage.toStdString();
    EXPECT_EQ(texts.value(0), QStringLiteral("Assembling reference mosaic..."));
    EXPECT_TRUE(texts.contains(QStringLiteral("Assembling deformed mosaic 1/2...")));
    EXPECT_TRUE(texts.contains(QStringLiteral("Assembling deformed mosaic 2/2...")));
    EXPECT_EQ(texts.contains(QStringLiteral("Reference mosaic assembled")), !result.statusText.isEmpty());
}

TEST(MosaicFileRecord, ReadsBackWhatItWroteAndKeepsANullCropNull) {
    testing::TempDir dir{"tavro_record"};
    const QString folder = session::qpath(dir.path());
    EXPECT_FALSE(readMosaicFileRecord(folder).has_value()) << "no record: no file is trusted";
    MosaicFileRecord record;
    record.config.rows = 2;
    record.config.cols = 3;
    record.config.allowMissingTiles = true;
    record.config.missingTilePositions = QStringLiteral("4, 5");
    record.config.referenceTiles = {QStringLiteral("/t/r0.tif"), QStringLiteral("/t/r1.tif")};
    record.config.stateTiles = {{QStringLiteral("/t/a0.tif")}, QStringList(), {QStringLiteral("/t/c0.tif")}};
    record.size = QSize(300, 200);
    record.states = {{0, deformedMosaicFileName(1)}, {2, deformedMosaicFileName(2)}};
    QString error;
    ASSERT_TRUE(writeMosaicFileRecord(folder, record, error)) << error.toStdString();
    EXPECT_EQ(readMosaicFileRecord(folder), std::optional<MosaicFileRecord>(record));
    EXPECT_TRUE(readMosaicFileRecord(folder)->config.crop.isNull());
    record.config.crop = QRect(2, 3, 40, 30);
    ASSERT_TRUE(writeMosaicFileRecord(folder, record, error));
    EXPECT_EQ(readMosaicFileRecord(folder)->config.crop, QRect(2, 3, 40, 30));

    // A record planted as a link out of the project folder is not written through.
    const QString project = folder + QStringLiteral("/project");
    const QString outside = folder + QStringLiteral("/outside.json");
    ASSERT_TRUE(QDir().mkpath(project));
    ASSERT_TRUE(QFile(outside).open(QIODevice::WriteOnly));
    ASSERT_TRUE(QFile::link(QStringLiteral("../outside.json"), project + QLatin1Char('/') + mosaicFileRecordName()));
    EXPECT_FALSE(writeMosaicFileRecord(project, record, error));
    EXPECT_TRUE(error.contains(QStringLiteral(", outside the folder "))) << error.toStdString();
    EXPECT_EQ(QFileInfo(outside).size(), 0);
    EXPECT_EQ(mosaicFileOfState(record, 2), deformedMosaicFileName(2));

    std::map<int, int> stateToMosaic{{0, 0}, {2, 1}};
    EXPECT_EQ(stateOfMosaic(stateToMosaic, 1), 2);
    EXPECT_EQ(stateOfMosaic(stateToMosaic, 2), -1);
    EXPECT_EQ(mosaicOfState(stateToMosaic, 2, 2), 1);
    EXPECT_EQ(mosaicOfState(stateToMosaic, 1, 2), -1);
    EXPECT_EQ(mosaicOfState(stateToMosaic, 2, 1), -1) << "a mapping beyond the mosaics held is none";
    EXPECT_TRUE(removeMosaicFileRecord(folder));
    EXPECT_FALSE(readMosaicFileRecord(folder).has_value());
}

TEST(MosaicAssembly, FailuresNameTheStateAmongAllStatesAndCancellationWins) {
    testing::TempDir dir{"tavro_assembly"};
    const QString folder = session::qpath(dir.path());
    const QString good = folder + QStringLiteral("/r.tif");
    ASSERT_TRUE(writeImage(good, speckle(80, 60, QImage::Format_Grayscale8, 1)));
    MosaicAssemblyJob job;
    job.config.rows = 1;
    job.config.cols = 1;
    job.config.referenceTiles = {folder + QStringLiteral("/missing.tif")};
    job.config.stateTiles = {{good}};
    job.cancel = std::make_shared<std::atomic<bool>>(false);
    StitchingResult result = assembleMosaics(job, {});
    EXPECT_FALSE(result.success);
    EXPECT_FALSE(result.cancelled);
    EXPECT_TRUE(result.errorMessage.startsWith(QStringLiteral("Unable to assemble reference mosaic:\n")));

    job.config.referenceTiles = {good};
    job.config.stateTiles = {QStringList(), QStringList(), {folder + QStringLiteral("/gone.tif")}};
    result = assembleMosaics(job, {});
    EXPECT_FALSE(result.success);
    EXPECT_TRUE(result.errorMessage.startsWith(QStringLiteral("Unable to assemble deformed mosaic (state 3):\n")))
        << result.errorMessage.toStdString();

    job.cancel->store(true);
    result = assembleMosaics(job, {});
    EXPECT_TRUE(result.cancelled);
    EXPECT_TRUE(result.errorMessage.isEmpty());
    EXPECT_TRUE(result.referenceMosaic.isNull());
}

TEST(MosaicAssembly, ScanOrderNamesAndMosaicFileNumbers) {
    EXPECT_EQ(scanOrderName(0), QStringLiteral("Snake"));
    EXPECT_EQ(scanOrderName(2), QStringLiteral("Column by column"));
    EXPECT_EQ(scanOrderName(3), QStringLiteral("Unknown"));
    EXPECT_EQ(deformedMosaicFileName(1), QStringLiteral("mosaic_deformed_001.tiff"));
    EXPECT_EQ(deformedMosaicFileName(12), QStringLiteral("mosaic_deformed_012.tiff"));
    EXPECT_EQ(deformedMosaicFileName(1000), QStringLiteral("mosaic_deformed_1000.tiff"));
}

VIEWS_TEST(MosaicAlign, AlignRefusesInOrderBeforeAnythingStarts) {
    Session s;
    MainWidget& w = s.w();
    w.onAlignMosaic();
    w.mosaicSwitch->setChecked(true);
    w.onAlignMosaic();
    w.mosaicRefTilePaths = {s.image(QStringLiteral("r0.tif"), 40, 30, QImage::Format_Grayscale8, 1),
                            s.image(QStringLiteral("r1.tif"), 40, 30, QImage::Format_Grayscale8, 2)};
    w.mosaicDefTilePaths = {QStringList(), {s.folder + QStringLiteral("/d0.tif")}};
    w.onAlignMosaic();
    w.mosaicDefTilePaths = {QStringList()};
    w.onAlignMosaic();
    ASSERT_EQ(s.boxes.size(), 4);
    EXPECT_EQ(s.boxes[0], QStringLiteral("Mosaic mode required: This function is only available in mosaic mode."));
    EXPECT_EQ(s.boxes[1], QStringLiteral("Missing tiles: Please load reference tiles first."));
    EXPECT_EQ(s.boxes[2], QStringLiteral("Tile count mismatch: The deformed state has 1 tiles, but the reference has "
                                         "2.\nThe number of tiles must be identical."));
    EXPECT_EQ(s.boxes[3], QStringLiteral("Missing tiles: Please load deformed tiles for at least one state."));
    EXPECT_FALSE(w.stitchingInProgress);
    EXPECT_TRUE(w.computeButton->isEnabled()) << "a refusal leaves the window usable";
}

VIEWS_TEST(MosaicAlign, AlignedMosaicsShareOneSizeAndAreSavedWithTheProject) {
    Session s;
    MainWidget& w = s.w();
    oneTileStates(s, {QSize(64, 60), QSize(), QSize(70, 50)}, QSize(66, 62));
    w.onAlignMosaic();
    EXPECT_TRUE(w.stitchingInProgress);
    EXPECT_FALSE(w.computeButton->isEnabled()) << "busy while the task runs";
    w.onAlignMosaic();
    EXPECT_EQ(s.boxes.value(0), QStringLiteral("Stitching in progress: An assembly is already in progress. Please wait."));
    ASSERT_TRUE(waitForAssembly(w));

    EXPECT_EQ(w.referenceImage.originalSize, QSize(64, 50)) << "the smallest width and height of all mosaics";
    ASSERT_EQ(w.deformedImages.size(), 2u);
    for (const LoadedImage& mosaic : w.deformedImages)
        EXPECT_EQ(mosaic.originalSize, QSize(64, 50));
    EXPECT_EQ(w.mosaicDeformedNames, (QStringList{QStringLiteral("mosaic_state_1"), QStringLiteral("mosaic_state_3")}));
    EXPECT_EQ(w.mosaicStateImageIndex.at(2), 1);
    EXPECT_EQ(s.status().section(QStringLiteral(" | Total time: "), 0, 0), QStringLiteral("Mosaics aligned (64x50 pixels, 2 state(s))"));
    EXPECT_TRUE(s.status().contains(QStringLiteral(" | Total time: "))) << "aligning ends with its duration";
    EXPECT_EQ(w.progressBar->value(), 100);
    EXPECT_TRUE(w.computeButton->isEnabled());
    EXPECT_EQ(w.roiWidthSpin->value(), 64);
    EXPECT_EQ(w.roiHeightSpin->maximum(), 50);
    ASSERT_TRUE(w.assembledMosaicConfig.has_value());
    EXPECT_EQ(w.assembledMosaicConfig->rows, 1);

    // The files hold the cut mosaics, and the project knows their size.
    EXPECT_EQ(w.referenceImage.path, s.folder + QStringLiteral("/mosaic_reference.tiff"));
    for (const QString& name : {QStringLiteral("mosaic_reference.tiff"), QStringLiteral("mosaic_deformed_001.tiff"),
                                QStringLiteral("mosaic_deformed_002.tiff")}) {
        QSize size;
        EXPECT_TRUE(probeImageSize(s.folder + QLatin1Char('/') + name, size)) << name.toStdString();
        EXPECT_EQ(size, QSize(64, 50)) << name.toStdString();
    }
    const ProjectParameters saved = s.saved();
    ASSERT_TRUE(saved.mosaic.has_value());
    EXPECT_EQ(saved.mosaic->finalSize.value_or(QSize()), QSize(64, 50));
    EXPECT_EQ(saved.mosaic->refTilePositions.size(), 1u);
    // One entry per state, the empty state's empty, so that no state takes another's placement.
    ASSERT_EQ(saved.mosaic->defTilePositionsStates.size(), 3u);
    EXPECT_TRUE(saved.mosaic->defTilePositionsStates[1].empty());
    EXPECT_FALSE(saved.mosaic->defTilePositionsStates[2].empty());
}

VIEWS_TEST(MosaicAlign, AFailedOrCancelledAssemblyKeepsThePreviousMosaics) {
    Session s;
    MainWidget& w = s.w();
    oneTileStates(s, {QSize(64, 60)}, QSize(64, 60));
    w.onAlignMosaic();
    ASSERT_TRUE(waitForAssembly(w));
    ASSERT_EQ(w.deformedImages.size(), 1u);
    const QImage before = w.referenceImage.displayImage();

    w.mosaicDefTilePaths = {{s.folder + QStringLiteral("/nowhere.tif")}};
    w.onAlignMosaic();
    ASSERT_TRUE(waitForAssembly(w));
    ASSERT_EQ(s.boxes.size(), 1);
    EXPECT_TRUE(s.boxes[0].startsWith(QStringLiteral("Stitching Error: Unable to assemble deformed mosaic (state 1):")));
    EXPECT_EQ(s.status(), QStringLiteral("Assembly error"));
    EXPECT_EQ(w.progressBar->value(), 0);
    EXPECT_EQ(w.referenceImage.displayImage(), before);
    EXPECT_EQ(w.deformedImages.size(), 1u);
    EXPECT_TRUE(w.computeButton->isEnabled());

    {
        HeldPool held;
        w.onAlignMosaic();
        w.onStopComputation();
        held.release();
        ASSERT_TRUE(waitForAssembly(w));
    }
    EXPECT_EQ(s.status(), QStringLiteral("Assembly cancelled"));
    EXPECT_EQ(s.boxes.size(), 1) << "a cancellation shows no box";
    EXPECT_EQ(w.referenceImage.displayImage(), before);
}

VIEWS_TEST(MosaicAlign, ADetectedScanOrderIsAnnouncedAndKeptWithTheRefinementSummary) {
    Session s;
    MainWidget& w = s.w();
    w.mosaicSwitch->setChecked(true);
    const auto finish = [&](int detected) {
        StitchingResult result;
        result.success = true;
        result.referenceMosaic = speckle(50, 40, QImage::Format_Grayscale8, 1);
        result.deformedMosaics = {speckle(52, 38, QImage::Format_Grayscale8, 2)};
        result.stateIndices = {0};
        result.statusText = QStringLiteral("affine 0.4 px");
        result.refinementInfo = QStringLiteral("Refined 2 tiles");
        result.detectedScanOrder = detected;
        result.scanOrderAutoDetected = true;
        w.pendingMosaicConfig = MosaicConfiguration{};
        w.stitchingInProgress = true;
        w.stitchWatcher->setFuture(QtConcurrent::run([result] { return result; }));
        ASSERT_TRUE(waitForAssembly(w));
    };
    const int before = w.scanOrderCombo->currentIndex();
    finish(3);
    ASSERT_EQ(s.boxes.size(), 2);
    EXPECT_EQ(s.boxes[0], QStringLiteral("Non-rigid refinement: Refined 2 tiles"));
    EXPECT_EQ(s.boxes[1], QStringLiteral("Scan order detected: Scan order \"Unknown\" was automatically detected.\n\n"
                                         "The parameter has been updated in the interface."));
    EXPECT_EQ(s.status().section(QStringLiteral(" | Total time: "), 0, 0), QStringLiteral("Mosaics aligned (50x38 pixels, 1 state(s)) [Scan: Unknown (auto)] \u2014 "
                                                        "refinement: affine 0.4 px"));
    EXPECT_EQ(w.statusLabel->toolTip(), QStringLiteral("affine 0.4 px"));
    EXPECT_EQ(w.scanOrderCombo->currentIndex(), before) << "the combo never shows an order it does not offer";

    finish(2);
    EXPECT_EQ(w.scanOrderCombo->currentIndex(), 2);
    ASSERT_TRUE(w.assembledMosaicConfig.has_value());
    EXPECT_EQ(w.assembledMosaicConfig->scanOrder, 2) << "the assembled configuration records the detected order";
    EXPECT_TRUE(s.status().contains(QStringLiteral("[Scan: Column by column (auto)]")));
}

VIEWS_TEST(MosaicFiles, SavingOverFilesOfTheSameSizeReusesThem) {
    Session s;
    MainWidget& w = s.w();
    const QString path = s.folder + QStringLiteral("/mosaic_reference.tiff");
    ASSERT_TRUE(writeImage(path, speckle(50, 40, QImage::Format_Grayscale8, 7)));
    w.referenceImage.full = speckle(50, 40, QImage::Format_Grayscale8, 8);
    w.referenceImage.originalSize = QSize(50, 40);
    w.saveMosaicsToProject(false);
    EXPECT_EQ(w.referenceImage.path, path);
    QImage onDisk;
    QString error;
    ASSERT_TRUE(readGrayImage(path, onDisk, error));
    EXPECT_EQ(onDisk, speckle(50, 40, QImage::Format_Grayscale8, 7)) << "an existing file of that size stays";

    w.saveMosaicsToProject(true);
    ASSERT_TRUE(readGrayImage(path, onDisk, error));
    EXPECT_EQ(onDisk, w.referenceImage.full);

    // A 16-bit mosaic over an 8-bit file of the same size is written again.
    w.referenceImage.full = speckle(50, 40, QImage::Format_Grayscale16, 9);
    w.saveMosaicsToProject(false);
    ASSERT_TRUE(readGrayImage(path, onDisk, error));
    EXPECT_EQ(onDisk.format(), QImage::Format_Grayscale16);
    EXPECT_TRUE(QFileInfo::exists(s.folder + QStringLiteral("/parameters.json")));
}

VIEWS_TEST(MosaicFiles, SavedFilesOfTheStoredSizeAreShownWithoutComposing) {
    Session s;
    MainWidget& w = s.w();
    oneTileStates(s, {QSize(64, 60), QSize(64, 60)}, QSize(64, 60));
    ASSERT_TRUE(writeSavedMosaics(s, 70));
    QString error;
    ASSERT_TRUE(writeMosaicFileRecord(s.folder,
                                      {w.currentMosaicConfig(), QSize(90, 70),
                                       {{0, deformedMosaicFileName(1)}, {1, deformedMosaicFileName(2)}}},
                                      error));
    w.mosaicFinalSize = QSize(90, 70);
    w.referenceTilePositions = twoTilesSideBySide(64, 60).mid(0, 1);
    w.reconstructMosaicsFromPositions();
    EXPECT_EQ(s.status(), QStringLiteral("Mosaics loaded from project (90x70 pixels, 2 state(s))"));
    EXPECT_EQ(w.referenceImage.originalSize, QSize(90, 70)) << "the files, not a composition of the 64 x 60 tile";
    ASSERT_EQ(w.deformedImages.size(), 2u);
    EXPECT_EQ(w.deformedImages[1].path, s.folder + QStringLiteral("/mosaic_deformed_002.tiff"));
    EXPECT_EQ(w.referenceTilePositions.front().bounds, QRect(0, 0, 64, 60));
    EXPECT_TRUE(w.computeButton->isEnabled());
    EXPECT_FALSE(w.stopButton->isEnabled());
}

VIEWS_TEST(MosaicFiles, LoadingFailsAsAWholeOnAWrongSizeOrANullStoredSize) {
    Session s;
    MainWidget& w = s.w();
    oneTileStates(s, {QSize(64, 60), QSize(64, 60)}, QSize(64, 60));
    ASSERT_TRUE(writeSavedMosaics(s, 71));
    w.mosaicFinalSize = QSize(90, 70);
    EXPECT_FALSE(w.loadSavedMosaicsFromProject());
    EXPECT_TRUE(w.referenceImage.displayImage().isNull()) << "nothing of the window changes";
    EXPECT_TRUE(w.deformedImages.empty());

    w.mosaicFinalSize = QSize(0, 0);
    EXPECT_FALSE(w.loadSavedMosaicsFromProject());
    w.mosaicFinalSize.reset();
    EXPECT_FALSE(w.loadSavedMosaicsFromProject());
}

VIEWS_TEST(MosaicReconstruction, MissingFilesAreComposedFromTheSavedPositions) {
    Session s;
    MainWidget& w = s.w();
    w.mosaicSwitch->setChecked(true);
    const auto tile = [&](const QString& name, std::uint32_t seed) {
        return s.image(name, 64, 48, QImage::Format_Grayscale8, seed);
    };
    w.mosaicRefTilePaths = {tile(QStringLiteral("r0.tif"), 1), tile(QStringLiteral("r1.tif"), 2)};
    w.mosaicDefTilePaths = {{tile(QStringLiteral("a0.tif"), 3), tile(QStringLiteral("a1.tif"), 4)},
                            {tile(QStringLiteral("b0.tif"), 5), s.folder + QStringLiteral("/b1_missing.tif")},
                            {tile(QStringLiteral("c0.tif"), 6), tile(QStringLiteral("c1.tif"), 7)}};
    w.referenceTilePositions = twoTilesSideBySide(64, 48);
    w.deformedTilePositionsStates = {w.referenceTilePositions, w.referenceTilePositions, w.referenceTilePositions};
    w.tileCrop = QRect(2, 0, 60, 48);
    w.reconstructMosaicsFromPositions();

    EXPECT_EQ(s.status(), QStringLiteral("Mosaics reconstructed (%1x48 pixels, 2 state(s))")
                              .arg(w.referenceImage.originalSize.width()));
    EXPECT_GE(w.referenceImage.originalSize.width(), 112) << "two 60-pixel tiles 56 pixels apart";
    EXPECT_EQ(w.referenceTilePositions[1].bounds, QRect(56, 0, 60, 48)) << "the cropped tile size, tx truncated";
    ASSERT_EQ(w.deformedImages.size(), 2u) << "the state with an unreadable tile is left out";
    EXPECT_EQ(w.mosaicDeformedNames, (QStringList{QStringLiteral("mosaic_state_1"), QStringLiteral("mosaic_state_3")}));
    EXPECT_EQ(w.mosaicStateImageIndex.count(1), 0u);
    EXPECT_EQ(w.mosaicFinalSize.value_or(QSize()), w.referenceImage.originalSize);
    EXPECT_TRUE(QFileInfo::exists(s.folder + QStringLiteral("/mosaic_deformed_002.tiff")));
    EXPECT_TRUE(w.computeButton->isEnabled());

    // Only the third state keeps a placement of its own: the first's shifted tiles are not laid where the
    // reference's lie, the state is left for the next run to assemble.
    w.deformedTilePositionsStates = {{}, {}, w.referenceTilePositions};
    w.mosaicFinalSize = QSize(1, 1);
    w.reconstructMosaicsFromPositions();
    EXPECT_EQ(w.mosaicDeformedNames, QStringList{QStringLiteral("mosaic_state_3")});
    EXPECT_EQ(w.mosaicStateImageIndex.count(0), 0u);
}

VIEWS_TEST(MosaicReconstruction, ALeftOutStateNeverLeavesAnotherStatesFileInItsPlace) {
    Session s;
    MainWidget& w = s.w();
    w.mosaicSwitch->setChecked(true);
    const auto tile = [&](const QString& name, std::uint32_t seed) {
        return s.image(name, 64, 48, QImage::Format_Grayscale8, seed);
    };
    w.mosaicRefTilePaths = {tile(QStringLiteral("r0.tif"), 1), tile(QStringLiteral("r1.tif"), 2)};
    w.mosaicDefTilePaths = {{tile(QStringLiteral("a0.tif"), 3), tile(QStringLiteral("a1.tif"), 4)},
                            {tile(QStringLiteral("b0.tif"), 5), tile(QStringLiteral("b1.tif"), 6)},
                            {tile(QStringLiteral("c0.tif"), 7), tile(QStringLiteral("c1.tif"), 8)}};
    w.referenceTilePositions = twoTilesSideBySide(64, 48);
    w.deformedTilePositionsStates = {w.referenceTilePositions, w.referenceTilePositions, w.referenceTilePositions};
    w.reconstructMosaicsFromPositions();
    ASSERT_EQ(w.deformedImages.size(), 3u);

    // The second state loses a tile; the saved files no longer fit the stored size.
    ASSERT_TRUE(QFile::remove(w.mosaicDefTilePaths[1][1]));
    w.mosaicFinalSize = QSize(1, 1);
    w.reconstructMosaicsFromPositions();
    ASSERT_EQ(w.deformedImages.size(), 2u);
    ASSERT_FALSE(w.deformedImages[1].full.isNull());
    QImage second;
    QString error;
    ASSERT_TRUE(readGrayImage(s.folder + QStringLiteral("/mosaic_deformed_002.tiff"), second, error));
    EXPECT_EQ(second, w.deformedImages[1].full) << "file 2 now holds the third state's mosaic, not the second's";
}

VIEWS_TEST(MosaicReconstruction, AnUnreadableReferenceTileEndsTheBusyState) {
    Session s;
    MainWidget& w = s.w();
    w.mosaicSwitch->setChecked(true);
    w.mosaicRefTilePaths = {s.folder + QStringLiteral("/r0_missing.tif")};
    w.mosaicDefTilePaths = {{s.image(QStringLiteral("a0.tif"), 40, 30, QImage::Format_Grayscale8, 1)}};
    w.referenceTilePositions = twoTilesSideBySide(40, 30).mid(0, 1);
    w.reconstructMosaicsFromPositions();
    EXPECT_TRUE(s.boxes.isEmpty());
    EXPECT_TRUE(w.referenceImage.displayImage().isNull());
    EXPECT_TRUE(w.computeButton->isEnabled()) << "the window does not stay busy after the failure";
    EXPECT_FALSE(w.stopButton->isEnabled());
}

VIEWS_TEST(MosaicReconstruction, OpeningTheProjectShowsTheSavedMosaicsAgain) {
    Session s;
    MainWidget& w = s.w();
    oneTileStates(s, {QSize(64, 60), QSize(64, 60)}, QSize(64, 60));
    w.onAlignMosaic();
    ASSERT_TRUE(waitForAssembly(w));
    const QImage reference = w.referenceImage.full;
    ASSERT_FALSE(reference.isNull());

    MainWidget reopened;
    reopened.loadParametersFromFile(s.folder + QStringLiteral("/parameters.json"));
    EXPECT_EQ(reopened.referenceImage.path, s.folder + QStringLiteral("/mosaic_reference.tiff"));
    EXPECT_EQ(reopened.referenceImage.full, reference);
    EXPECT_EQ(reopened.deformedImages.size(), 2u);
    EXPECT_EQ(reopened.mosaicStateImageIndex.at(1), 1);
    EXPECT_EQ(reopened.roiWidthSpin->maximum(), 64);
    // The tiles are listed again, with a button for each state.
    EXPECT_EQ(reopened.mosaicRefTileList->count(), 1);
    EXPECT_EQ(reopened.mosaicDefTileList->count(), 1);
    EXPECT_EQ(reopened.mosaicDefStateButtons.size(), 2);
    // The reference tiles are the list shown, and their button the one lit.
    EXPECT_TRUE(reopened.mosaicReferenceTabButton->isChecked());
    EXPECT_FALSE(reopened.mosaicRefTilesBlock->isHidden());
}

VIEWS_TEST(MosaicViews, DetailTilesReadOnlyWhatTheZoomNeeds) {
    Session s;
    MainWidget& w = s.w();
    const QString tiff = s.image(QStringLiteral("big.tif"), 400, 200, QImage::Format_Grayscale8, 1);
    const QString png = s.image(QStringLiteral("big.png"), 400, 200, QImage::Format_Grayscale8, 1);
    const QRectF visible(40, 20, 40, 20);
    EXPECT_TRUE(w.buildDetailTile(png, QSize(100, 50), visible, 4.0).image.isNull());
    EXPECT_TRUE(w.buildDetailTile(tiff, QSize(400, 200), visible, 4.0).image.isNull()) << "shown at full size";
    EXPECT_TRUE(w.buildDetailTile(QString(), QSize(100, 50), visible, 4.0).image.isNull());

    // Ratio 4: the view shows a quarter-size image; at zoom 4 the file's pixels are read one to one.
    const ImageViewWidget::DetailTile fine = w.buildDetailTile(tiff, QSize(100, 50), visible, 4.0);
    ASSERT_FALSE(fine.image.isNull());
    EXPECT_EQ(fine.image.size(), QSize(240, 120)) << "the visible part widened by a quarter on each side";
    EXPECT_EQ(fine.sceneRect, QRectF(30, 15, 60, 30));
    QImage file;
    QString error;
    ASSERT_TRUE(readGrayImage(tiff, file, error));
    EXPECT_EQ(fine.image.pixel(0, 0), file.pixel(120, 60));

    const ImageViewWidget::DetailTile coarse = w.buildDetailTile(tiff, QSize(100, 50), visible, 2.0);
    ASSERT_FALSE(coarse.image.isNull());
    EXPECT_EQ(coarse.image.size(), QSize(120, 60)) << "step 2 at half the file's resolution";
}

VIEWS_TEST(MosaicViews, GridDetailTilesAreRefusedWhenUseless) {
    Session s;
    MainWidget& w = s.w();
    std::vector<float> values(100 * 80);
    for (std::size_t i = 0; i < values.size(); ++i)
        values[i] = static_cast<float>(i % 100);
    const QRectF visible(10, 10, 20, 20);
    EXPECT_TRUE(w.buildGridDetailTile(values, 100, 80, 1.0, QPoint(), 0, 99, visible, 2).image.isNull())
        << "a field shown at full resolution needs no tile";
    EXPECT_TRUE(w.buildGridDetailTile({}, 100, 80, 0.5, QPoint(), 0, 99, visible, 2).image.isNull());
    EXPECT_TRUE(w.buildGridDetailTile(values, 0, 80, 0.5, QPoint(), 0, 99, visible, 2).image.isNull());

    const ImageViewWidget::DetailTile tile = w.buildGridDetailTile(values, 100, 80, 0.5, QPoint(), 0, 99, visible, 2);
    ASSERT_FALSE(tile.image.isNull());
    EXPECT_EQ(tile.image.size(), QSize(60, 60));
    EXPECT_EQ(tile.sceneRect, QRectF(5, 5, 30, 30));

    // A padded canvas may be far larger than its grid.
    EXPECT_TRUE(w.buildGridDetailTile({1.0f}, 1, 1, 0.1, QPoint(9000, 9000), 0, 1, QRectF(0, 0, 900, 900), 1)
                    .image.isNull())
        << "more than 8192 x 8192 pixels";
}

VIEWS_TEST(MosaicViews, TheNavigatorFollowsThePerTileMode) {
    Session s;
    MainWidget& w = s.w();
    MainWidget::TileNavigator& nav = w.displacementTileNavigator;
    ASSERT_NE(nav.container, nullptr);
    w.perTileMode = false;
    nav.container->show();
    w.updateTileNavigator(nav, 0, 3, QStringLiteral("t0"));
    EXPECT_TRUE(nav.container->isHidden());

    w.perTileMode = true;
    w.updateTileNavigator(nav, 2, 3, QStringLiteral("t2"));
    EXPECT_FALSE(nav.container->isHidden());
    EXPECT_EQ(nav.slider->maximum(), 2);
    EXPECT_EQ(nav.slider->value(), 2);
    EXPECT_TRUE(nav.prevButton->isEnabled());
    EXPECT_FALSE(nav.nextButton->isEnabled());
    EXPECT_EQ(nav.label->text(), QStringLiteral("Tile 3 / 3  \u2014  t2"));

    w.updateTileNavigator(nav, 0, 1, QStringLiteral("t0"));
    EXPECT_FALSE(nav.slider->isEnabled()) << "one tile: nothing to slide";
    EXPECT_FALSE(nav.prevButton->isEnabled());
    w.updateTileNavigator(nav, 0, 0, QString());
    EXPECT_TRUE(nav.container->isHidden());
}

VIEWS_TEST(MosaicMode, LeavingTheModeWithDataAsksAndKeepsTheProjectFolder) {
    Session s;
    MainWidget& w = s.w();
    w.mosaicSwitch->setChecked(true);
    EXPECT_TRUE(s.boxes.isEmpty()) << "no data: no question";
    EXPECT_EQ(s.status(), QStringLiteral("Mosaic Mode enabled"));
    EXPECT_TRUE(w.singleImagePage->isHidden());
    EXPECT_FALSE(w.mosaicPage->isHidden());
    EXPECT_FALSE(w.referenceView->isRoiSelectionEnabled());

    w.mosaicRefTilePaths = {s.image(QStringLiteral("r0.tif"), 40, 30, QImage::Format_Grayscale8, 1)};
    s.answer = QMessageBox::No;
    w.mosaicSwitch->setChecked(false);
    ASSERT_EQ(s.boxes.size(), 1);
    EXPECT_TRUE(s.boxes[0].startsWith(QStringLiteral("Mode change: Data is present (images, results, project...).\n"
                                                     "Switching to single image mode")));
    EXPECT_TRUE(w.mosaicSwitch->isChecked()) << "No puts the switch back";
    EXPECT_EQ(w.mosaicRefTilePaths.size(), 1);

    s.answer = QMessageBox::Yes;
    w.mosaicSwitch->setChecked(false);
    EXPECT_TRUE(w.mosaicRefTilePaths.isEmpty());
    EXPECT_FALSE(w.mosaicSwitch->isChecked());
    EXPECT_EQ(w.appliedProjectFolder, s.folder);
    EXPECT_TRUE(w.computeButton->isEnabled()) << "the project controls stay on";
    EXPECT_FALSE(w.singleImagePage->isHidden());
    EXPECT_TRUE(w.referenceView->isRoiSelectionEnabled());
    EXPECT_EQ(s.status(), QStringLiteral("Mosaic Mode disabled"));
}

VIEWS_TEST(MosaicInputs, ChoosingTheSameSegmentTwiceChangesNothing) {
    Session s;
    MainWidget& w = s.w();
    w.mosaicSwitch->setChecked(true);
    w.mosaicRefTilePaths = {s.image(QStringLiteral("r0.tif"), 40, 30, QImage::Format_Grayscale8, 1)};
    w.mosaicDefTilePaths = {{s.image(QStringLiteral("a0.tif"), 50, 20, QImage::Format_Grayscale8, 2)},
                            {s.image(QStringLiteral("b0.tif"), 60, 20, QImage::Format_Grayscale8, 3)}};
    w.onInputSegmentChanged(1);
    EXPECT_TRUE(w.mosaicRefTilesBlock->isHidden());
    EXPECT_FALSE(w.mosaicDefTilesBlock->isHidden());
    EXPECT_EQ(w.referenceView->image().size(), QSize(40, 30)) << "the first tiles while nothing is assembled";
    EXPECT_EQ(w.deformedView->image().size(), QSize(50, 20));

    w.onInputSegmentChanged(2);
    EXPECT_EQ(w.currentMosaicDefState, 1);
    EXPECT_EQ(w.deformedView->image().size(), QSize(60, 20));

    w.onInputSegmentChanged(0);
    EXPECT_FALSE(w.mosaicRefTilesBlock->isHidden());
    w.referenceView->setImage(QImage(10, 10, QImage::Format_Grayscale8), false);
    w.onInputSegmentChanged(0);
    EXPECT_EQ(w.referenceView->image().size(), QSize(10, 10)) << "the second choice of the same segment does nothing";
}

VIEWS_TEST(MosaicInputs, AClickOutsideTheListsReturnsToTheMosaics) {
    Session s;
    MainWidget& w = s.w();
    oneTileStates(s, {QSize(64, 60)}, QSize(64, 60));
    w.onAlignMosaic();
    ASSERT_TRUE(waitForAssembly(w));
    w.mosaicRefTileList->addItem(QStringLiteral("ref_t0.tif"));
    w.mosaicRefTileList->item(0)->setSelected(true);
    w.enlargedTileIndex = 0;
    w.referenceView->setImage(QImage(10, 10, QImage::Format_Grayscale8), false);

    const auto press = [](QWidget* target) {
        QMouseEvent event(QEvent::MouseButtonPress, QPointF(1, 1), QPointF(1, 1), Qt::LeftButton, Qt::LeftButton,
                          Qt::NoModifier);
        QCoreApplication::sendEvent(target, &event);
    };
    press(w.mosaicRefTileList->viewport());
    EXPECT_EQ(w.enlargedTileIndex, 0) << "a click into a tile list keeps the tile";
    EXPECT_FALSE(w.mosaicRefTileList->selectedItems().isEmpty());

    press(w.mainTabs);
    EXPECT_EQ(w.enlargedTileIndex, -1);
    EXPECT_TRUE(w.mosaicRefTileList->selectedItems().isEmpty());
    EXPECT_EQ(w.referenceView->image().size(), QSize(64, 60)) << "the mosaic is shown again";

    w.mosaicSwitch->setChecked(false);
    w.enlargedTileIndex = 0;
    press(w.mainTabs);
    EXPECT_EQ(w.enlargedTileIndex, 0) << "outside mosaic mode a click changes nothing";
}

VIEWS_TEST(MosaicReconstruction, EachStateIsComposedWithItsOwnSavedPlacement) {
    Session s;
    MainWidget& w = s.w();
    w.mosaicSwitch->setChecked(true);
    const auto tile = [&](const QString& name, std::uint32_t seed) {
        return s.image(name, 64, 48, QImage::Format_Grayscale8, seed);
    };
    w.mosaicRefTilePaths = {tile(QStringLiteral("r0.tif"), 1), tile(QStringLiteral("r1.tif"), 2)};
    const QString moved = tile(QStringLiteral("b1.tif"), 6);
    w.mosaicDefTilePaths = {{tile(QStringLiteral("a0.tif"), 3), tile(QStringLiteral("a1.tif"), 4)},
                            {tile(QStringLiteral("b0.tif"), 5), moved}};
    w.referenceTilePositions = twoTilesSideBySide(64, 48);
    QList<stitching::TilePosition> second = twoTilesSideBySide(64, 48);
    second[1].tx = 66.0f;  // a whole pixel: no blending, no interpolation
    w.deformedTilePositions = w.referenceTilePositions;
    w.deformedTilePositionsStates = {w.referenceTilePositions, second};
    w.reconstructMosaicsFromPositions();
    ASSERT_EQ(w.deformedImages.size(), 2u);
    const QImage& mosaic = w.deformedImages[1].full;
    ASSERT_GT(mosaic.width(), 70);
    QImage b1;
    QString error;
    ASSERT_TRUE(readGrayImage(moved, b1, error)) << error.toStdString();
    EXPECT_EQ(qGray(mosaic.pixel(70, 10)), qGray(b1.pixel(4, 10))) << "the second state's tile lies where it was found";
}

// States [empty, B, C] whose tiles overlap differently, so that each has a
// placement of its own: a mosaic rebuilt after its file is gone must equal the
// one the assembly made, with its own state's positions.
VIEWS_TEST(MosaicReconstruction, ARebuiltMosaicIsTheOneAssembledWhateverStatesAreEmpty) {
    Session s;
    MainWidget& w = s.w();
    twoTranslatedTiles(s, 0.0, 0.0);
    testing::SpeckleOptions options;
    options.width = options.height = 160;
    options.supersampling = 2;
    const QImage whole = session::toImage(testing::makeFourierShiftedPair(options, 0.0, 0.0).reference);
    w.mosaicDefTilePaths = {QStringList(), QStringList(), QStringList()};
    for (int state = 1; state <= 2; ++state)
        for (int col = 0; col < 2; ++col) {
            // State 1's second tile starts at 64, state 2's at 58.
            const QRect cut(col * (70 - 6 * state), 0, 96, 160);
            const QString path = s.folder + QStringLiteral("/s%1_t%2.tif").arg(state).arg(col);
            ASSERT_TRUE(session::writeImage(path, whole.copy(cut)));
            w.mosaicDefTilePaths[state] << path;
        }
    w.syncStateBars();
    w.onAlignMosaic();
    ASSERT_TRUE(waitForAssembly(w));
    ASSERT_EQ(w.mosaicStateImageIndex, (std::map<int, int>{{1, 0}, {2, 1}}));
    const QImage assembledB = w.deformedImages[0].displayImage();
    const QImage assembledC = w.deformedImages[1].displayImage();
    ASSERT_NE(w.defTilePositionsForState(1)[1].tx, w.defTilePositionsForState(2)[1].tx);
    w.saveParametersToProject();
    ASSERT_TRUE(QFile::remove(s.folder + QStringLiteral("/mosaic_deformed_001.tiff")));

    MainWidget reopened;
    reopened.loadParametersFromFile(s.folder + QStringLiteral("/parameters.json"));
    ASSERT_EQ(reopened.mosaicStateImageIndex, (std::map<int, int>{{1, 0}, {2, 1}}));
    EXPECT_EQ(reopened.deformedImages[0].displayImage(), assembledB) << "B rebuilt with B's positions";
    EXPECT_EQ(reopened.deformedImages[1].displayImage(), assembledC) << "C rebuilt with C's positions";
    EXPECT_EQ(reopened.defTilePositionsForState(1)[1].tx, w.defTilePositionsForState(1)[1].tx);
}

VIEWS_TEST(MosaicFiles, AMosaicTheFolderRefusesIsReported) {
    Session s;
    MainWidget& w = s.w();
    w.referenceImage.full = speckle(200, 160, QImage::Format_Grayscale8, 8);
    w.referenceImage.originalSize = QSize(200, 160);
    {
        const testing::ScopedFileSizeLimit limit(4096);
        w.saveMosaicsToProject(true);
    }
    ASSERT_FALSE(s.boxes.isEmpty());
    EXPECT_TRUE(s.boxes.last().startsWith(
        QStringLiteral("Mosaic files: 1 mosaic file(s) could not be written: mosaic_reference.tiff: ")))
        << s.boxes.last().toStdString();
    EXPECT_TRUE(w.referenceImage.path.isEmpty());
}

VIEWS_TEST(MosaicViews, AClickedTileIsOutlinedWithItsOwnNumber) {
    Session s;
    MainWidget& w = s.w();
    w.mosaicSwitch->setChecked(true);
    w.mosaicRefTilePaths = {s.image(QStringLiteral("r0.tif"), 64, 48, QImage::Format_Grayscale8, 1),
                            s.image(QStringLiteral("r1.tif"), 64, 48, QImage::Format_Grayscale8, 2)};
    w.mosaicDefTilePaths = {{s.image(QStringLiteral("a0.tif"), 64, 48, QImage::Format_Grayscale8, 3),
                             s.image(QStringLiteral("a1.tif"), 64, 48, QImage::Format_Grayscale8, 4)}};
    w.referenceTilePositions = twoTilesSideBySide(64, 48);
    w.reconstructMosaicsFromPositions();
    w.showRestoredMosaicLists();
    ASSERT_EQ(w.mosaicRefTileList->count(), 2);
    w.mosaicRefTileList->setCurrentRow(1);
    w.onMosaicRefTileClicked(w.mosaicRefTileList->item(1), false);
    QString number;
    for (QGraphicsItem* item : w.referenceView->scene()->items())
        if (auto* text = dynamic_cast<QGraphicsSimpleTextItem*>(item); text && text->isVisible())
            number = text->text();
    EXPECT_EQ(number, QStringLiteral("2")) << "the second tile, counted from one";
}


VIEWS_TEST(MosaicCompute, ComputeAssemblesThenCorrelatesTheMosaicsAndReusesCurrentOnes) {
    Session s;
    MainWidget& w = s.w();
    twoTranslatedTiles(s, 1.3, -0.7);
    w.onCompute();
    EXPECT_TRUE(w.stitchingInProgress);
    EXPECT_FALSE(w.computeButton->isEnabled()) << "no second start while the tiles are assembled";
    w.onCompute();
    ASSERT_TRUE(waitForRun(w));
    EXPECT_TRUE(s.boxes.isEmpty()) << s.boxes.join(QLatin1Char('\n')).toStdString();
    EXPECT_TRUE(w.computeButton->isEnabled());
    EXPECT_TRUE(s.status().startsWith(QStringLiteral("All computations completed: 1 image(s) processed")))
        << s.status().toStdString();
    ASSERT_EQ(w.results.size(), 1u);
    // Two tiles of 96 columns, 32 in common: the second's corner is the whole
    // pixel at or before its found place, either side of 64.
    EXPECT_NEAR(w.referenceImage.originalSize.width(), 159.5, 0.5);
    EXPECT_EQ(w.referenceImage.originalSize.height(), 160);
    // The first tile anchors every state's mosaic on the same whole pixel.
    ASSERT_EQ(w.referenceTilePositions.size(), 2);
    ASSERT_EQ(w.deformedTilePositions.size(), 2);
    EXPECT_EQ(w.referenceTilePositions[0].tx, 0.0f);
    EXPECT_EQ(w.deformedTilePositions[0].tx, 0.0f);
    EXPECT_TRUE(QFileInfo::exists(s.folder + QStringLiteral("/mosaic_deformed_001.tiff")));

    // The mosaics are the images again, seams included: every point holds the translation.
    const RigidRegistrationResult rigid = w.results[0].rigid;
    for (const auto& [suffix, shift, expected] :
         {std::tuple{"_ux", rigid.shiftX, 1.3}, std::tuple{"_uy", rigid.shiftY, -0.7}}) {
        const QString path =
            resultFilePath(s.folder, kDisplacementsFolder, QStringLiteral("mosaic_state_1"), QString::fromLatin1(suffix));
        std::uint32_t width = 0, height = 0;
        std::vector<float> values;
        QString error;
        ASSERT_TRUE(readFloatTiff(path, width, height, values, error)) << path.toStdString();
        int finite = 0;
        for (float value : values) {
            if (!std::isfinite(value))
                continue;
            ++finite;
            EXPECT_NEAR(value, expected + shift, 0.05) << suffix;
        }
        EXPECT_GT(finite, static_cast<int>(values.size()) * 3 / 4) << suffix;
    }

    // Current mosaics are correlated again without assembling; the old results are asked about.
    w.onCompute();
    EXPECT_FALSE(w.stitchingInProgress);
    EXPECT_TRUE(w.runInProgress || w.computationRunning);
    ASSERT_TRUE(waitForRun(w));
    EXPECT_EQ(s.boxes, QStringList{QStringLiteral(
                           "Existing results: Results already exist in this project.\nDo you want to overwrite them?")});
    EXPECT_EQ(w.results.size(), 1u);

    // The phase-correlation choice alone makes them stale.
    w.phaseCorrelationCheck->setChecked(!w.phaseCorrelationCheck->isChecked());
    w.onCompute();
    EXPECT_TRUE(w.stitchingInProgress);
    ASSERT_TRUE(waitForRun(w));
    EXPECT_EQ(w.results.size(), 1u);
    ASSERT_TRUE(w.assembledMosaicConfig.has_value());
    EXPECT_EQ(w.assembledMosaicConfig->phaseCorrelation, w.phaseCorrelationCheck->isChecked());

    // Reopened, the state's result keeps the rigid shift its files leave out.
    const RigidRegistrationResult computed = w.results[0].rigid;
    ASSERT_NE(computed.shiftX, 0.0f);
    auto again = std::make_unique<MainWidget>();
    again->loadParametersFromFile(s.folder + QStringLiteral("/parameters.json"));
    ASSERT_FALSE(again->results.empty());
    EXPECT_EQ(again->results[0].rigid.shiftX, computed.shiftX);
    EXPECT_EQ(again->results[0].rigid.shiftY, computed.shiftY);
    EXPECT_EQ(again->rigidShiftLabel->text(), w.rigidShiftLabel->text());
}

VIEWS_TEST(MosaicCompute, ComputeChecksTilesAndAsksBeforeAssemblingAndStopLeavesTheOldResults) {
    Session s;
    MainWidget& w = s.w();
    w.mosaicSwitch->setChecked(true);
    w.onCompute();
    EXPECT_EQ(s.boxes.value(0), QStringLiteral("Mosaic Mode: Please load reference and deformed tiles."));
    twoTranslatedTiles(s, 0.5, 0.5);
    w.mosaicDefTilePaths = {QStringList(), QStringList()};
    w.onCompute();
    EXPECT_EQ(s.boxes.value(1), QStringLiteral("Mosaic Mode: Please load deformed tiles for at least one state."));
    w.mosaicDefTilePaths = {{w.mosaicRefTilePaths[0]}};
    w.onCompute();
    EXPECT_TRUE(s.boxes.value(2).startsWith(QStringLiteral("Tile count mismatch: ")));
    EXPECT_FALSE(w.stitchingInProgress);
    EXPECT_TRUE(w.computeButton->isEnabled());

    // An old result stays when the question is refused, and when the assembly is stopped.
    twoTranslatedTiles(s, 0.5, 0.5);
    QDir().mkpath(s.folder + QStringLiteral("/Displacements"));
    const QString old = s.folder + QStringLiteral("/Displacements/old_ux.tif");
    ASSERT_TRUE(session::writeImage(old, session::speckle(8, 8, QImage::Format_Grayscale8, 3)));
    s.boxes.clear();
    s.answer = QMessageBox::No;
    w.onCompute();
    EXPECT_EQ(s.boxes.size(), 1);
    EXPECT_FALSE(w.stitchingInProgress) << "nothing is assembled before the answer";
    EXPECT_TRUE(QFileInfo::exists(old));
    EXPECT_TRUE(w.computeButton->isEnabled());

    s.answer = QMessageBox::Yes;
    {
        HeldPool held;
        w.onCompute();
        EXPECT_TRUE(w.stitchingInProgress);
        w.onStopComputation();
        held.release();
        ASSERT_TRUE(waitForRun(w));
    }
    EXPECT_EQ(s.status(), QStringLiteral("Assembly cancelled."));
    EXPECT_TRUE(QFileInfo::exists(old)) << "old results make way only when the run starts";
    EXPECT_TRUE(w.results.empty());
    EXPECT_FALSE(w.correlateAfterAssembly.has_value());
    EXPECT_TRUE(w.computeButton->isEnabled());
}
// A reference of smooth tiles, whose overlaps no correlation can place, and a
// state cut from one speckle image: the assembly succeeds, and says which
// mosaic rests on the nominal grid alone.
VIEWS_TEST(MosaicAlign, TilesLeftAtTheirNominalPlaceAreAWarningNotASuccess) {
    Session s;
    MainWidget& w = s.w();
    w.mosaicSwitch->setChecked(true);
    w.gridRowsSpin->setValue(1);
    w.gridColsSpin->setValue(2);
    w.overlapXSpin->setValue(25);
    w.overlapYSpin->setValue(25);
    QImage smooth(64, 48, QImage::Format_Grayscale8);
    for (int y = 0; y < smooth.height(); ++y)
        for (int x = 0; x < smooth.width(); ++x)
            smooth.scanLine(y)[x] = static_cast<uchar>(60 + x + y / 2);
    const QImage scene = speckle(112, 48, QImage::Format_Grayscale8, 5);
    w.mosaicRefTilePaths.clear();
    QStringList state;
    for (int i = 0; i < 2; ++i) {
        w.mosaicRefTilePaths << s.folder + QStringLiteral("/ref_%1.tif").arg(i);
        ASSERT_TRUE(writeImage(w.mosaicRefTilePaths.back(), smooth));
        state << s.folder + QStringLiteral("/def_%1.tif").arg(i);
        ASSERT_TRUE(writeImage(state.back(), scene.copy(48 * i, 0, 64, 48)));
    }
    w.mosaicDefTilePaths = {state};
    w.onAlignMosaic();
    ASSERT_TRUE(waitForAssembly(w));

    EXPECT_EQ(s.status().section(QStringLiteral(" | Total time: "), 0, 0), QStringLiteral("Mosaics aligned (112x48 pixels, 1 state(s)) [Warning: tiles kept "
                                                        "at their nominal position: reference 2/2]"));
    ASSERT_FALSE(s.boxes.isEmpty());
    EXPECT_TRUE(s.boxes.back().startsWith(
        QStringLiteral("Tiles not registered: No tile could be registered with a neighbour in: reference.\n\n")))
        << s.boxes.back().toStdString();
    EXPECT_EQ(w.deformedImages.size(), 1u) << "the mosaics are still shown and kept";
}

VIEWS_TEST(MosaicReconstruction, AMosaicProjectKeepsItsMaskAndStaysBusyToTheEndOfItsLoad) {
    Session s;
    MainWidget& w = s.w();
    ASSERT_TRUE(alignOneTileStates(s, {QSize(64, 60)}));
    const QSize size = w.referenceImage.originalSize;
    ASSERT_FALSE(size.isEmpty());
    const QString mask = s.image(QStringLiteral("mask.png"), size.width(), size.height(), QImage::Format_Grayscale8, 5);
    ProjectParameters parameters = s.saved();
    parameters.useMask = true;
    parameters.maskImage = mask;
    QString error;
    ASSERT_TRUE(writeProjectParametersFile(s.folder + QStringLiteral("/parameters.json"), parameters, error));

    MainWidget reopened;
    // The load's steps, the mask's after the saved mosaics, move the progress
    // bar; its last step, at 100, ends the load.
    std::optional<bool> computeDuringLoad;
    std::optional<bool> stopDuringLoad;
    QObject::connect(reopened.progressBar, &QProgressBar::valueChanged, &reopened, [&](int value) {
        computeDuringLoad = reopened.computeButton->isEnabled();
        if (value < 100)
            stopDuringLoad = reopened.stopButton->isEnabled();
    });
    std::optional<bool> computeUnderSummary;
    std::optional<bool> stopUnderSummary;
    s.whileBoxOpen = [&] {
        computeUnderSummary = reopened.computeButton->isEnabled();
        stopUnderSummary = reopened.stopButton->isEnabled();
    };
    reopened.loadParametersFromFile(s.folder + QStringLiteral("/parameters.json"));
    ASSERT_EQ(s.boxes.size(), 1) << s.boxes.join(QLatin1Char('\n')).toStdString();
    EXPECT_TRUE(s.boxes.front().startsWith(QStringLiteral("Loading successful"))) << s.boxes.front().toStdString();
    EXPECT_EQ(computeDuringLoad, std::optional<bool>(false)) << "the saved mosaics do not end the load's busy state";
    EXPECT_EQ(stopDuringLoad, std::optional<bool>(true));
    EXPECT_EQ(computeUnderSummary, std::optional<bool>(true)) << "the summary comes once the load is over";
    EXPECT_EQ(stopUnderSummary, std::optional<bool>(false));
    EXPECT_TRUE(reopened.computeButton->isEnabled());
    EXPECT_FALSE(reopened.stopButton->isEnabled());

    EXPECT_EQ(reopened.maskPath, mask);
    EXPECT_FALSE(reopened.maskImage.isNull());
    EXPECT_TRUE(reopened.useMaskCheck->isChecked());
    EXPECT_TRUE(reopened.maskActive);
    const ProjectParameters after = s.saved();
    EXPECT_EQ(after.useMask, std::optional<bool>(true)) << "the load's own save keeps the mask";
    EXPECT_EQ(after.maskImage, mask);
}

VIEWS_TEST(MosaicCompute, MosaicsAreCurrentOnlyForTheTilesAndChoicesTheyWereAssembledFrom) {
    Session s;
    MainWidget& w = s.w();
    ASSERT_TRUE(alignOneTileStates(s, {QSize(64, 60)}));
    ASSERT_TRUE(w.assembledMosaicConfig.has_value());
    EXPECT_EQ(*w.assembledMosaicConfig, w.currentMosaicConfig());

    const auto computeAssembles = [&] {
        w.onCompute();
        const bool assembles = w.stitchingInProgress;
        EXPECT_TRUE(waitForRun(w));
        return assembles;
    };
    w.missingTilesCheck->setChecked(true);
    w.missingPositionsEdit->setText(QStringLiteral("2"));
    EXPECT_TRUE(computeAssembles()) << "the missing-tile choice and positions are part of an assembly";
    w.missingTilesCheck->setChecked(false);
    w.missingPositionsEdit->clear();
    // Back to the assembled choices, whichever way the last assembly ended.
    computeAssembles();
    EXPECT_FALSE(computeAssembles()) << "nothing changed: the mosaics are correlated as they are";
    w.mosaicDefTilePaths << QStringList();
    EXPECT_FALSE(computeAssembles()) << "a new state without tiles changes no mosaic";
    w.mosaicDefTilePaths.removeLast();
    w.mosaicDefTilePaths[0] = {s.image(QStringLiteral("other_t0.tif"), 64, 60, QImage::Format_Grayscale8, 40)};
    EXPECT_TRUE(computeAssembles()) << "another deformed tile makes another mosaic";

    // Reopened unchanged: the saved mosaics are current again.
    MainWidget again;
    again.loadParametersFromFile(s.folder + QStringLiteral("/parameters.json"));
    EXPECT_EQ(again.assembledMosaicConfig, std::optional<MosaicConfiguration>(again.currentMosaicConfig()));

    ProjectParameters parameters = s.saved();
    ASSERT_TRUE(parameters.mosaic.has_value());
    QString error;
    // Reopened with other rows than the saved mosaics were assembled with: not current.
    parameters.mosaic->gridRows = 2;
    parameters.mosaic->allowMissingTiles = true;
    ASSERT_TRUE(writeProjectParametersFile(s.folder + QStringLiteral("/parameters.json"), parameters, error));
    MainWidget reopened;
    reopened.loadParametersFromFile(s.folder + QStringLiteral("/parameters.json"));
    ASSERT_EQ(reopened.deformedImages.size(), 1u) << "the mosaics are still shown";
    EXPECT_NE(reopened.assembledMosaicConfig, std::optional<MosaicConfiguration>(reopened.currentMosaicConfig()));
    reopened.onCompute();
    EXPECT_TRUE(reopened.stitchingInProgress) << "reopened stale mosaics are assembled again, not correlated";
    EXPECT_TRUE(waitForRun(reopened));
}

VIEWS_TEST(MosaicFiles, ASavedMosaicIsReadBackAsItsOwnStateOrRebuilt) {
    Session s;
    MainWidget& w = s.w();
    ASSERT_TRUE(alignOneTileStates(s, {QSize(64, 60), QSize(64, 60), QSize(64, 60)}));
    ASSERT_EQ(w.deformedImages.size(), 3u);
    ASSERT_TRUE(QFileInfo::exists(s.folder + QStringLiteral("/mosaic_deformed_003.tiff")));
    const auto pixels = [](const QString& path) {
        QImage image;
        QString error;
        EXPECT_TRUE(readGrayImage(path, image, error)) << path.toStdString();
        return image;
    };
    const QImage third = pixels(w.mosaicDefTilePaths[2][0]);

    // The second state is emptied: its file no longer belongs to the third.
    w.currentMosaicDefState = 1;
    w.onClearMosaicDefTiles();
    ASSERT_TRUE(w.mosaicDefTilePaths[1].isEmpty());
    MainWidget reopened;
    reopened.loadParametersFromFile(s.folder + QStringLiteral("/parameters.json"));
    ASSERT_EQ(reopened.deformedImages.size(), 2u);
    const int k = reopened.mosaicStateImageIndex.at(2);
    const LoadedImage& shown = reopened.deformedImages[static_cast<std::size_t>(k)];
    const QImage mosaic = shown.full.isNull() ? pixels(shown.path) : shown.full;
    EXPECT_EQ(mosaic, third) << "the third state shows its own mosaic, not the second's old one";
    EXPECT_EQ(pixels(s.folder + QStringLiteral("/mosaic_deformed_002.tiff")), third);
    EXPECT_FALSE(QFileInfo::exists(s.folder + QStringLiteral("/mosaic_deformed_003.tiff")))
        << "no stale file is left for a later state to be read from";

    // The record names each file's state; a record that names another file is not followed.
    const std::optional<MosaicFileRecord> record = readMosaicFileRecord(s.folder);
    ASSERT_TRUE(record.has_value());
    EXPECT_EQ(record->states, (std::vector<MosaicStateFile>{{0, QStringLiteral("mosaic_deformed_001.tiff")},
                                                            {2, QStringLiteral("mosaic_deformed_002.tiff")}}));
    EXPECT_EQ(mosaicFileOfState(*record, 1), QString());
    MosaicFileRecord outside = *record;
    outside.states[1].file = QStringLiteral("../elsewhere.tiff");
    QString error;
    ASSERT_TRUE(writeMosaicFileRecord(s.folder, outside, error));
    EXPECT_FALSE(readMosaicFileRecord(s.folder).has_value());
}

VIEWS_TEST(MosaicViews, EachStateShowsReadsAndContrastsItsOwnMosaic) {
    Session s;
    MainWidget& w = s.w();
    ASSERT_TRUE(alignOneTileStates(s, {QSize(64, 60), QSize(), QSize(64, 60)}));
    ASSERT_EQ(w.deformedImages.size(), 2u);
    const auto readout = [&](const QPoint& point) {
        static const LoadedImage none;
        const bool inRange = w.shownDeformedIndex >= 0 && w.shownDeformedIndex < static_cast<int>(w.deformedImages.size());
        const LoadedImage& shown = inRange ? w.deformedImages[static_cast<std::size_t>(w.shownDeformedIndex)] : none;
        const auto value = w.inspectInputPixel(w.deformedView, shown, w.deformedViewSourcePath(), point);
        return value ? value->label : QStringLiteral("none");
    };
    const QImage third = w.deformedImages[1].displayImage();
    const QString thirdAt = QStringLiteral("I(7, 9) = %1").arg(qGray(third.pixel(7, 9)));

    // The slider, the arrows and the state buttons all lead to the state's own mosaic.
    const std::vector<std::pair<int, std::function<void()>>> ways{
        {0, [&] { w.onDeformedSliderChanged(2); }},
        {1, [&] { w.onNextDeformed(); }},
        {0, [&] { w.onInputSegmentChanged(3); }}};
    for (const auto& [from, toThirdState] : ways) {
        w.onDeformedSliderChanged(from);
        ASSERT_EQ(w.currentMosaicDefState, from);
        toThirdState();
        ASSERT_EQ(w.currentMosaicDefState, 2);
        EXPECT_EQ(w.shownDeformedIndex, 1);
        EXPECT_EQ(w.deformedView->image(), third);
        EXPECT_EQ(readout(QPoint(7, 9)), thirdAt);
    }
    w.onDeformedSliderChanged(1);
    w.onNextDeformed();
    EXPECT_EQ(s.status(), QStringLiteral("Deformed state 3/3")) << "the arrows say where they lead";
    w.onDeformedHistogramRangeEdited(20.0f, 180.0f);
    EXPECT_EQ(w.deformedView->image(), grayToDisplayImage(third, 20.0f, 180.0f)) << "the contrast of the state shown";

    // A state without tiles has no mosaic: nothing is shown, nothing is read.
    w.onDeformedSliderChanged(1);
    EXPECT_EQ(w.shownDeformedIndex, -1);
    EXPECT_TRUE(w.deformedView->image().isNull());
    EXPECT_EQ(readout(QPoint(7, 9)), QStringLiteral("none"));

    // Assembled again while the third state is current, the third state's mosaic is shown.
    w.onDeformedSliderChanged(2);
    w.onAlignMosaic();
    ASSERT_TRUE(waitForAssembly(w));
    EXPECT_EQ(w.shownDeformedIndex, 1);
    EXPECT_EQ(w.deformedView->image(), grayToDisplayImage(w.deformedImages[1].displayImage(), 20.0f, 180.0f));
}

VIEWS_TEST(MosaicViews, ShownTilesAreWhatTheReadOutsRead) {
    Session s;
    MainWidget& w = s.w();
    twoTranslatedTiles(s, 2.0, 0.0);
    w.onAlignMosaic();
    ASSERT_TRUE(waitForAssembly(w));
    ASSERT_FALSE(w.referenceImage.path.isEmpty());
    w.perTileRadio->setChecked(true);
    w.previewTileIndex = 1;
    w.displayCurrentTilesInViews();
    EXPECT_EQ(w.referenceViewSourcePath(), w.mosaicRefTilePaths[1]);
    EXPECT_EQ(w.deformedViewSourcePath(), w.mosaicDefTilePaths[0][1]);
    QImage tile;
    QString error;
    ASSERT_TRUE(readGrayImage(w.mosaicRefTilePaths[1], tile, error));
    ASSERT_EQ(w.referenceView->image().size(), tile.size()) << "the view shows the tile";
    const auto value = w.inspectInputPixel(w.referenceView, w.referenceImage, w.referenceViewSourcePath(), QPoint(5, 6));
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(value->label, QStringLiteral("I(5, 6) = %1").arg(qGray(tile.pixel(5, 6))));

    // Back on the mosaics, the mosaics are read again.
    w.stitchAndCorrelateRadio->setChecked(true);
    EXPECT_EQ(w.referenceViewSourcePath(), w.referenceImage.path);
    EXPECT_EQ(w.deformedViewSourcePath(), w.deformedImages[0].path);
}

// The read-outs read the file the view names; it must be the one drawn, a
// 96-pixel tile or the 160-pixel mosaic, whatever happened in between.
VIEWS_TEST(MosaicViews, WhatAViewDrawsAfterAlignContrastOrANewStateIsWhatItsReadOutReads) {
    Session s;
    MainWidget& w = s.w();
    twoTranslatedTiles(s, 2.0, 0.0);
    w.showRestoredMosaicLists();
    const QSize tile(96, 160);
    w.onMosaicRefTileDoubleClicked(w.mosaicRefTileList->item(0));
    ASSERT_EQ(w.referenceView->image().size(), tile);

    // Align draws the mosaics: nothing is enlarged any more.
    w.onAlignMosaic();
    ASSERT_TRUE(waitForAssembly(w));
    ASSERT_GT(w.referenceView->image().width(), tile.width());
    EXPECT_EQ(w.referenceViewSourcePath(), w.referenceImage.path);
    EXPECT_EQ(w.deformedViewSourcePath(), w.deformedImages[0].path);

    // A contrast edit on an enlarged tile redraws the tile, not the mosaic.
    w.onMosaicRefTileDoubleClicked(w.mosaicRefTileList->item(1));
    ASSERT_EQ(w.referenceViewSourcePath(), w.mosaicRefTilePaths[1]);
    w.onReferenceHistogramRangeEdited(20.0f, 200.0f);
    EXPECT_EQ(w.referenceView->image().size(), tile) << "the mosaic drawn where r1 is read";
    w.onDeformedHistogramRangeEdited(20.0f, 200.0f);
    EXPECT_EQ(w.deformedView->image().size(), tile);
    EXPECT_EQ(w.deformedViewSourcePath(), w.mosaicDefTilePaths[0][1]);

    // A new state has no mosaic: back from a tile, it shows nothing, not state 1's mosaic.
    w.onAddMosaicDefState();
    w.onMosaicRefTileDoubleClicked(w.mosaicRefTileList->item(0));
    w.onViewClicked();
    EXPECT_EQ(w.enlargedTileIndex, -1);
    EXPECT_GT(w.referenceView->image().width(), tile.width());
    EXPECT_TRUE(w.deformedView->image().isNull()) << "state 1's mosaic under state 2";
    EXPECT_TRUE(w.deformedViewSourcePath().isEmpty());
    EXPECT_EQ(w.deformedTitleLabel->text(), QStringLiteral("State 2 / 2"));
}

VIEWS_TEST(MosaicViews, LeavingMosaicModeInPerTileModeLeavesNoControlHidden) {
    Session s;
    MainWidget& w = s.w();
    w.mosaicSwitch->setChecked(true);
    w.perTileRadio->setChecked(true);
    ASSERT_TRUE(w.perTileMode);
    ASSERT_TRUE(w.roiBlock->isHidden());
    w.mosaicSwitch->setChecked(false);
    EXPECT_FALSE(w.perTileMode);
    EXPECT_FALSE(w.roiBlock->isHidden()) << "the single-image mode needs its region";
    EXPECT_FALSE(w.maskBlock->isHidden());
    w.mosaicSwitch->setChecked(true);
    EXPECT_TRUE(w.stitchAndCorrelateRadio->isChecked()) << "the radio says what the mode is";
    EXPECT_FALSE(w.perTileRadio->isChecked());
    EXPECT_FALSE(w.perTileMode);
    EXPECT_FALSE(w.gridGeometryBlock->isHidden());
    EXPECT_FALSE(w.alignMosaicRow->isHidden());
    w.setUiBusy(true);
    w.setUiBusy(false);
    EXPECT_FALSE(w.roiBlock->isHidden());
}

}  // namespace tavro::gui
