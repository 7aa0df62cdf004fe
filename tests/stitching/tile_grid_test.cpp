#include "stitching/tile_grid.h"

#include <gtest/gtest.h>

namespace tavro::stitching {
namespace {

TEST(TileGrid, MissingPositionsAcceptEverySyntaxAndMergeRepeats) {
    std::vector<int> positions;
    QString error;
    ASSERT_TRUE(parseMissingPositions(QStringLiteral(" 1-3; 7 , 2;11 "), 12, positions, error)) << error.toStdString();
    EXPECT_EQ(positions, (std::vector<int>{1, 2, 3, 7, 11}));
    ASSERT_TRUE(parseMissingPositions(QString(), 12, positions, error));
    EXPECT_TRUE(positions.empty());
}

TEST(TileGrid, MalformedMissingPositionsAreRefusedWithTheReason) {
    const struct {
        const char* text;
        const char* reason;
    } cases[] = {{"12", "outside 0-11"}, {"-1", "outside 0-11"}, {"5-2", "reversed"},
                 {"a", "not a tile position"}, {"1-", "not a tile position"}};
    for (const auto& c : cases) {
        std::vector<int> positions;
        QString error;
        EXPECT_FALSE(parseMissingPositions(QString::fromLatin1(c.text), 12, positions, error)) << c.text;
        EXPECT_TRUE(error.contains(QLatin1String(c.reason))) << c.text << ": " << error.toStdString();
    }
}

TEST(TileGrid, ScanOrdersFillTheGridAsAcquired) {
    // Snake: the middle row of a 3 x 3 grid takes list entries 3, 4, 5 right to left.
    const GridLayout snake = makeLayout(3, 3, kScanSnake, {});
    EXPECT_EQ(snake.tile(1, 2), 3);
    EXPECT_EQ(snake.tile(1, 0), 5);
    const GridLayout columnSnake = makeLayout(3, 2, kScanColumnSnake, {});
    EXPECT_EQ(columnSnake.tile(2, 0), 2);
    EXPECT_EQ(columnSnake.tile(2, 1), 3);
    EXPECT_EQ(columnSnake.tile(0, 1), 5);
    // A missing scan position leaves its cell empty and shifts the later tiles.
    const GridLayout gap = makeLayout(2, 3, kScanColumnByColumn, {1});
    EXPECT_EQ(gap.tile(1, 0), -1);
    EXPECT_EQ(gap.tile(0, 1), 1);
    EXPECT_EQ(gap.tile(1, 2), 4);
}

TEST(TileGrid, MalformedOptionsAreRefusedWithClearMessages) {
    auto refused = [](StitchingOptions o, int tiles, const char* text) {
        std::vector<int> missing;
        int autoMissing = 0;
        QString error;
        EXPECT_FALSE(validateOptions(o, tiles, missing, autoMissing, error)) << text;
        EXPECT_TRUE(error.contains(QLatin1String(text))) << error.toStdString();
    };
    StitchingOptions o;
    o.gridRows = 2;
    o.gridCols = 3;
    refused(o, 0, "No tiles");
    refused(o, 5, "expected 6, received 5");
    StitchingOptions bad = o;
    bad.gridCols = 0;
    refused(bad, 6, "Invalid grid 2 x 0");
    bad = o;
    bad.overlapY = 100;
    refused(bad, 6, "between 0 and 99");
    bad = o;
    bad.scanOrder = 4;
    refused(bad, 6, "Unknown scan order 4");
    bad = o;
    bad.cropWidth = -5;
    refused(bad, 6, "crop");
    bad = o;
    bad.allowMissingTiles = true;
    refused(bad, 7, "Too many tiles");
    bad.missingTilePositions = QStringLiteral("1; 2");
    refused(bad, 5, "leave 4 grid cells for 5 tiles");
    bad.missingTilePositions = QStringLiteral("1; x");
    refused(bad, 4, "\"x\" is not a tile position");
}

TEST(TileGrid, FewerTilesThanCellsLeaveEmptyCellsToFind) {
    StitchingOptions o;
    o.gridRows = 3;
    o.gridCols = 4;
    o.allowMissingTiles = true;
    std::vector<int> missing;
    int autoMissing = 0;
    QString error;
    ASSERT_TRUE(validateOptions(o, 10, missing, autoMissing, error)) << error.toStdString();
    EXPECT_EQ(autoMissing, 2);
    o.missingTilePositions = QStringLiteral("0-1");
    ASSERT_TRUE(validateOptions(o, 10, missing, autoMissing, error)) << error.toStdString();
    EXPECT_EQ(autoMissing, 0);
    EXPECT_EQ(missing, (std::vector<int>{0, 1}));
}

}  // namespace
}  // namespace tavro::stitching
