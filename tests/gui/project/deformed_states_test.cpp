#include "gui/project/deformed_states.h"
#include "gui/project/result_files.h"
#include "support/temp_dir.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

namespace tavro::gui {

namespace {

DeformedStates threeStates() {
    DeformedStates states;
    states.tiles = {{QStringLiteral("a1"), QStringLiteral("a2")}, {QStringLiteral("b1")}, {QStringLiteral("c1")}};
    states.heights = {{QStringLiteral("ha")}, {QStringLiteral("hb")}, {QStringLiteral("hc")}};
    return states;
}

void touch(const QString& path) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(path.toUtf8());
}

QString contents(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

}  // namespace

TEST(DeformedStates, TilesAndHeightsAreAddedAndDeletedTogether) {
    DeformedStates states;
    states.tiles = {{QStringLiteral("a1")}};
    states.heights.clear();
    EXPECT_EQ(states.addState(), 1);
    EXPECT_EQ(states.tiles.size(), 2);
    EXPECT_EQ(states.heights.size(), 2) << "the missing height state of the first state is made first";

    DeformedStates three = threeStates();
    three.deleteState(1);
    EXPECT_EQ(three.tiles, (QList<QStringList>{{QStringLiteral("a1"), QStringLiteral("a2")}, {QStringLiteral("c1")}}));
    EXPECT_EQ(three.heights, (QList<QStringList>{{QStringLiteral("ha")}, {QStringLiteral("hc")}}));
    EXPECT_EQ(three.deleteState(5), -1);
    EXPECT_EQ(three.count(), 2);
}

TEST(DeformedStates, AStateWithoutTilesDoesNotShiftTheResultsOfLaterStates) {
    DeformedStates states = threeStates();
    states.tiles[1].clear();
    // Only states 0 and 2 have mosaics, so the run stores two results.
    states.mosaicOf = {{0, 0}, {2, 1}};
    states.adoptMosaicsAsResults();
    EXPECT_EQ(states.resultCount(), 2);
    EXPECT_EQ(states.resultBaseName(0), QStringLiteral("mosaic_state_1"));
    EXPECT_EQ(states.resultBaseName(1), QStringLiteral("mosaic_state_3"));
    EXPECT_EQ(states.resultIndex(2), 1);
    EXPECT_EQ(states.resultIndex(1), -1);
    EXPECT_EQ(states.stateOfResult(2), -1);
    EXPECT_TRUE(states.resultBaseName(2).isEmpty());
}

TEST(DeformedStates, NewMosaicsCarryEachStatesResultOver) {
    DeformedStates states = threeStates();
    states.mosaicOf = {{0, 0}, {1, 1}, {2, 2}};
    states.adoptMosaicsAsResults();
    // State 1 lost its tiles: the new mosaics are those of states 0 and 2.
    states.mosaicOf = {{2, 1}, {0, 0}};
    EXPECT_EQ(states.adoptMosaicsAsResults(), (std::vector<int>{0, 2}));
    EXPECT_EQ(states.resultBaseName(1), QStringLiteral("mosaic_state_3"));
}

TEST(DeformedStates, DeletingAStateRenumbersTheLaterStatesMosaicsAndResults) {
    DeformedStates states = threeStates();
    states.mosaicOf = {{0, 0}, {1, 1}, {2, 2}};
    states.adoptMosaicsAsResults();
    EXPECT_EQ(states.deleteState(1), 1);
    EXPECT_EQ(states.resultCount(), 2);
    EXPECT_EQ(states.resultBaseName(1), QStringLiteral("mosaic_state_2")) << "state 3 is now state 2";
    EXPECT_EQ(states.resultIndex(1), 1);
    EXPECT_EQ(states.mosaicOf, (std::map<int, int>{{0, 0}, {1, 2}}));
    EXPECT_EQ(DeformedStates::keyAfterDelete(0, 1), 0);
    EXPECT_EQ(DeformedStates::keyAfterDelete(1, 1), -1);
    EXPECT_EQ(DeformedStates::keyAfterDelete(4, 1), 3);
}

TEST(DeformedStates, AnEmptiedStateLosesItsResultAndTheOthersKeepTheirNumbers) {
    DeformedStates states = threeStates();
    states.mosaicOf = {{0, 0}, {1, 1}, {2, 2}};
    states.adoptMosaicsAsResults();
    EXPECT_EQ(states.forgetResult(1), 1);
    EXPECT_EQ(states.resultCount(), 2);
    EXPECT_EQ(states.resultIndex(1), -1);
    EXPECT_EQ(states.resultBaseName(1), QStringLiteral("mosaic_state_3")) << "state 3 keeps its number";
    EXPECT_EQ(states.forgetResult(1), -1) << "a state without a result has none to lose";
    EXPECT_EQ(states.resultCount(), 2);
}

TEST(DeformedStates, AReopenedProjectFindsResultsOfStatesWithoutMosaics) {
    DeformedStates states = threeStates();
    // No assembly left: states 0 and 2 have files on disk, state 1 has none.
    states.adoptStoredResults([](int state) { return state != 1; });
    EXPECT_EQ(states.resultCount(), 2);
    EXPECT_EQ(states.resultBaseName(0), QStringLiteral("mosaic_state_1"));
    EXPECT_EQ(states.resultBaseName(1), QStringLiteral("mosaic_state_3"));
    // With state 1 assembled too, its mosaic keeps its slot in state order.
    states.mosaicOf = {{1, 0}};
    states.adoptStoredResults([](int state) { return state == 2; });
    EXPECT_EQ(states.resultIndex(1), 0);
    EXPECT_EQ(states.resultIndex(2), 1);
    EXPECT_EQ(states.resultIndex(0), -1);
}

TEST(DeformedStates, DraggedHeightRowsMoveAsTheListShowsThem) {
    DeformedStates states;
    states.heights = {{QStringLiteral("h1"), QStringLiteral("h2"), QStringLiteral("h3"), QStringLiteral("h4")}};
    // A list widget reports the destination row in the list before the move.
    ASSERT_TRUE(states.moveHeights(0, 0, 0, 3));
    EXPECT_EQ(states.heights[0], (QStringList{QStringLiteral("h2"), QStringLiteral("h3"), QStringLiteral("h1"),
                                              QStringLiteral("h4")}));
    ASSERT_TRUE(states.moveHeights(0, 3, 3, 0));
    EXPECT_EQ(states.heights[0], (QStringList{QStringLiteral("h4"), QStringLiteral("h2"), QStringLiteral("h3"),
                                              QStringLiteral("h1")}));
    EXPECT_FALSE(states.moveHeights(0, 1, 1, 2)) << "a drop on its own place moves nothing";
    EXPECT_FALSE(states.moveHeights(0, 2, 5, 0));
    EXPECT_FALSE(states.moveHeights(3, 0, 0, 1));
}

TEST(DeformedStates, ResultFilesFollowTheStatesWhenOneIsDeleted) {
    const testing::TempDir dir("tavro_states");
    const QString folder = QString::fromStdString(dir.path().string());
    QDir root(folder);
    ASSERT_TRUE(root.mkpath(QStringLiteral("Displacements")));
    ASSERT_TRUE(root.mkpath(QStringLiteral("Height")));
    for (const char* name : {"Displacements/mosaic_state_1_ux.tif", "Displacements/mosaic_state_2_ux.tif",
                             "Displacements/mosaic_state_3_ux.tif", "Displacements/mosaic_state_12_ux.tif",
                             "Height/state_001_uz.tif", "Height/state_002_uz.tif", "Height/state_003_uz.tif"})
        touch(root.filePath(QString::fromLatin1(name)));

    EXPECT_TRUE(renumberStateResultFiles(folder, 1, 3, {}, {}));

    EXPECT_EQ(QDir(root.filePath(QStringLiteral("Displacements"))).entryList(QDir::Files),
              (QStringList{QStringLiteral("mosaic_state_12_ux.tif"), QStringLiteral("mosaic_state_1_ux.tif"),
                           QStringLiteral("mosaic_state_2_ux.tif")}));
    EXPECT_TRUE(contents(root.filePath(QStringLiteral("Displacements/mosaic_state_2_ux.tif"))).endsWith(
        QStringLiteral("mosaic_state_3_ux.tif")))
        << "state 3's field now carries state 2's name";
    EXPECT_TRUE(
        contents(root.filePath(QStringLiteral("Height/state_002_uz.tif"))).endsWith(QStringLiteral("state_003_uz.tif")));
    EXPECT_FALSE(root.exists(QStringLiteral("Height/state_003_uz.tif")));
    EXPECT_TRUE(renumberStateResultFiles(QString(), 0, 2, {}, {})) << "no project folder, nothing to move";
}

TEST(DeformedStates, ListsOfEarlierFilesAreSpreadOverTheStatesThatHadTiles) {
    const QList<QStringList> tiles{{}, {QStringLiteral("b")}, {QStringLiteral("c")}};
    // Kept for the filled states only, in their order: b's and c's entries go back to states 1 and 2.
    EXPECT_EQ(DeformedStates::entriesByState(QList<int>{7, 8}, tiles), (QList<int>{0, 7, 8}));
    // One entry per state already, or a list that fits neither reading: kept as it is.
    EXPECT_EQ(DeformedStates::entriesByState(QList<int>{0, 7, 8}, tiles), (QList<int>{0, 7, 8}));
    EXPECT_EQ(DeformedStates::entriesByState(QList<int>{7}, tiles), (QList<int>{7}));
}

TEST(DeformedStates, ListsWithAnEmptyEntryAreByStateAlreadyWhenStatesWereAddedAfterThem) {
    // Placed [empty, b, c]; a fourth state got tiles after the file was written. Read as an earlier version's list,
    // b's placement would go to c and c's to d.
    const QList<QStringList> tiles{{}, {QStringLiteral("b")}, {QStringLiteral("c")}, {QStringLiteral("d")}};
    const QList<QStringList> stored{{}, {QStringLiteral("b@")}, {QStringLiteral("c@")}};
    EXPECT_EQ(DeformedStates::entriesByState(stored, tiles), stored);
    // Without an empty entry the list is still an earlier version's.
    const QList<QStringList> earlier{{QStringLiteral("b@")}, {QStringLiteral("c@")}, {QStringLiteral("d@")}};
    EXPECT_EQ(DeformedStates::entriesByState(earlier, tiles),
              (QList<QStringList>{{}, {QStringLiteral("b@")}, {QStringLiteral("c@")}, {QStringLiteral("d@")}}));
}

TEST(DeformedStates, ADeletedStatesTileResultsAreFoundByNameAndOnlyTheirFilesGo) {
    const QStringList names{QStringLiteral("b_t0"), QStringLiteral("c_t0"), QStringLiteral("c_t1"),
                            QStringLiteral("d_t0")};
    EXPECT_EQ(DeformedStates::namesLeaving(names, {QStringLiteral("/x/c_t0.tif"), QStringLiteral("/x/c_t1.tif")}),
              (std::vector<int>{2, 1}));
    // A kept state's tile of the same name writes the same file: whose field it holds cannot be told, so it goes.
    EXPECT_EQ(DeformedStates::namesLeaving(names, {QStringLiteral("/y/b_t0.tif")}), (std::vector<int>{0}));

    testing::TempDir dir("tavro_states");
    const QString root = QString::fromStdString(dir.path().string());
    ASSERT_TRUE(QDir(root).mkpath(QStringLiteral("Displacements")));
    ASSERT_TRUE(QDir(root).mkpath(QStringLiteral("Height")));
    for (const char* file : {"Displacements/c_t1_ux.tif", "Displacements/c_t1_x_ux.tif", "Height/c_t1_uz.tif",
                             "Displacements/c_t10_ux.tif"})
        touch(root + QLatin1Char('/') + QString::fromLatin1(file));
    EXPECT_TRUE(removeResultFilesOf(root, {QStringLiteral("c_t1")}, {QStringLiteral("c_t1_x")}, {}));
    EXPECT_FALSE(QFile::exists(root + QStringLiteral("/Displacements/c_t1_ux.tif")));
    EXPECT_FALSE(QFile::exists(root + QStringLiteral("/Height/c_t1_uz.tif")));
    EXPECT_TRUE(QFile::exists(root + QStringLiteral("/Displacements/c_t1_x_ux.tif"))) << "a kept longer name's";
    EXPECT_TRUE(QFile::exists(root + QStringLiteral("/Displacements/c_t10_ux.tif")));
}

namespace {

// Each file holds its own original name, so a renaming shows in what a name holds.
QStringList planted(const QString& root, const QStringList& files) {
    for (const QString& file : files) {
        QDir(root).mkpath(QFileInfo(file).path());
        touch(root + QLatin1Char('/') + file);
    }
    return files;
}

}  // namespace

TEST(DeformedStates, ADeletedStateMovesOnlyFilesItsNumberWrote) {
    const testing::TempDir dir("tavro_states");
    const QString root = QString::fromStdString(dir.path().string());
    // Tiles named like the states' result files hold results of their own.
    const QStringList inputs = planted(
        root, {QStringLiteral("Displacements/state_001_t0_ux.tif"), QStringLiteral("Displacements/state_002_t0_ux.tif"),
               QStringLiteral("Height/state_002_t0_uz.tif"), QStringLiteral("Strains/state_003_t1_exx.tif"),
               QStringLiteral("Displacements/mosaic_state_3_t1_ux.tif")});
    planted(root, {QStringLiteral("Displacements/mosaic_state_2_ux.tif"), QStringLiteral("Height/state_002_uz.tif"),
                   QStringLiteral("Displacements/mosaic_state_3_ux.tif"), QStringLiteral("Height/state_003_uz.tif")});
    QStringList kept;
    for (const QString& tile : {QStringLiteral("state_001_t0"), QStringLiteral("state_002_t0"),
                                QStringLiteral("state_003_t1"), QStringLiteral("mosaic_state_3_t1")})
        kept << resultFilesOf(tile, {});

    EXPECT_TRUE(renumberStateResultFiles(root, 1, 3, {}, kept));

    for (const QString& file : inputs)
        EXPECT_TRUE(contents(root + QLatin1Char('/') + file).endsWith(file)) << file.toStdString();
    EXPECT_TRUE(contents(root + QStringLiteral("/Displacements/mosaic_state_2_ux.tif")).endsWith(
        QStringLiteral("mosaic_state_3_ux.tif")));
    EXPECT_TRUE(contents(root + QStringLiteral("/Height/state_002_uz.tif")).endsWith(QStringLiteral("state_003_uz.tif")));
    EXPECT_FALSE(QFile::exists(root + QStringLiteral("/Height/state_003_uz.tif")));
    EXPECT_FALSE(QFile::exists(root + QStringLiteral("/Displacements/mosaic_state_3_ux.tif")));
}

TEST(DeformedStates, ARemovedInputTakesOnlyTheFilesItsOwnResultsWrote) {
    const testing::TempDir dir("tavro_states");
    const QString root = QString::fromStdString(dir.path().string());
    // "load"'s Max Shear criterion and "load_max"'s own maps share a prefix, not a name.
    const QStringList loads = planted(root, {QStringLiteral("Strains/load_max_shear.tif"),
                                             QStringLiteral("Strains/load_exx.tif"),
                                             QStringLiteral("Displacements/load_ux.tif")});
    const QStringList loadMax = planted(
        root, {QStringLiteral("Strains/load_max_exx.tif"), QStringLiteral("Strains/load_max_max_shear.tif"),
               QStringLiteral("Displacements/load_max_ux.tif"), QStringLiteral("Fracture/load_max_cox.tif"),
               QStringLiteral("Height/load_max_uz.tif")});
    const QStringList slugs{QStringLiteral("max_shear")};

    EXPECT_TRUE(removeResultFilesOf(root, {QStringLiteral("load_max")}, {QStringLiteral("load")}, slugs));
    for (const QString& file : loads)
        EXPECT_TRUE(QFile::exists(root + QLatin1Char('/') + file)) << file.toStdString();
    for (const QString& file : loadMax)
        EXPECT_FALSE(QFile::exists(root + QLatin1Char('/') + file)) << file.toStdString();

    // A criterion "Shear" makes load_max_shear both inputs' name: the kept input keeps it.
    planted(root, {QStringLiteral("Strains/load_max_shear.tif")});
    EXPECT_TRUE(removeResultFilesOf(root, {QStringLiteral("load_max")}, {QStringLiteral("load")},
                                    {QStringLiteral("shear"), QStringLiteral("max_shear")}));
    EXPECT_TRUE(QFile::exists(root + QStringLiteral("/Strains/load_max_shear.tif")));
}

TEST(DeformedStates, ResultFilesOfAStateAreItsMosaicsAndItsHeightMapOnly) {
    const QStringList files = DeformedStates::stateResultFiles(0, {QStringLiteral("vm")});
    EXPECT_TRUE(files.contains(QStringLiteral("Displacements/mosaic_state_1_ux.tif")));
    EXPECT_TRUE(files.contains(QStringLiteral("Strains/mosaic_state_1_vm.tif")));
    EXPECT_TRUE(files.contains(QStringLiteral("Fracture/mosaic_state_1_cristangle.tif")));
    EXPECT_TRUE(files.contains(QStringLiteral("Height/state_001_uz.tif")));
    EXPECT_FALSE(files.contains(QStringLiteral("Displacements/state_001_ux.tif"))) << "an image's, never a state's";
    EXPECT_FALSE(files.contains(QStringLiteral("Height/mosaic_state_1_uz.tif")));
}

}  // namespace tavro::gui
