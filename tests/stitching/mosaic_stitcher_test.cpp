#include "stitching/mosaic_stitcher.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>

#include "stitching/mosaic_composition.h"
#include "stitching/tile_grid.h"
#include "stitching/tile_scan.h"

namespace tavro::stitching {
namespace {

using testing::TileScan;
using testing::TileScanLayout;

// Whole-pixel stage errors, sub-pixel peaks: the placement error left is the
// bias of the parabolic peak fit on a sharp phase-correlation peak.
constexpr double kPositionTolerancePx = 0.5;

StitchingOptions optionsFor(const TileScanLayout& setup, int order) {
    StitchingOptions o;
    o.gridRows = setup.rows;
    o.gridCols = setup.cols;
    o.overlapX = setup.overlapX;
    o.overlapY = setup.overlapY;
    o.scanOrder = order;
    return o;
}

bool run(const StitchingOptions& o, const std::vector<QString>& paths, StitchOutput& out) {
    MosaicStitcher stitcher;
    stitcher.options = o;
    return stitcher.stitch(paths, out, [] { return false; }, {});
}

const TilePosition* positionOf(const StitchOutput& out, int row, int col) {
    for (const TilePosition& p : out.positions)
        if (p.row == row && p.col == col) return &p;
    return nullptr;
}

// Largest error of the recovered corners relative to the first listed cell,
// against the stage's true corners; cells in `skip` are not checked.
double worstPositionError(const TileScan& scan, const StitchOutput& out, std::vector<int> skip = {}) {
    const TilePosition& ref = out.positions.front();
    const QPointF truth0 = scan.exactCorners[size_t(scan.cell(ref.row, ref.col))];
    double worst = 0.0;
    for (const TilePosition& p : out.positions) {
        if (std::find(skip.begin(), skip.end(), scan.cell(p.row, p.col)) != skip.end()) continue;
        const QPointF truth = scan.exactCorners[size_t(scan.cell(p.row, p.col))] - truth0;
        worst = std::max(
            {worst, std::abs(double(p.tx - ref.tx) - truth.x()), std::abs(double(p.ty - ref.ty) - truth.y())});
    }
    return worst;
}

// Where the mosaic's origin lies in the scan's source: the found positions'
// frame, averaged over the tiles.
double frameX(const TileScan& scan, const StitchOutput& out) {
    double sum = 0.0;
    for (const TilePosition& p : out.positions) sum += scan.exactCorners[size_t(scan.cell(p.row, p.col))].x() - p.tx;
    return sum / out.positions.size();
}

double frameY(const TileScan& scan, const StitchOutput& out) {
    double sum = 0.0;
    for (const TilePosition& p : out.positions) sum += scan.exactCorners[size_t(scan.cell(p.row, p.col))].y() - p.ty;
    return sum / out.positions.size();
}

TEST(MosaicStitcher, RecoversJitteredStagePositionsAndReproducesTheSource) {
    const TileScan scan = testing::makeTileScan({});
    StitchOutput out;
    ASSERT_TRUE(run(optionsFor(scan.setup, kScanSnake), scan.list(kScanSnake), out)) << out.error.toStdString();
    ASSERT_EQ(out.positions.size(), 12);
    EXPECT_LT(worstPositionError(scan, out), kPositionTolerancePx);
    EXPECT_TRUE(out.information.isEmpty()) << out.information.toStdString();
    EXPECT_EQ(out.mosaic.format(), QImage::Format_Grayscale8);

    // Every mosaic pixel inside the tiles shows the source where the found
    // positions put it, up to the tiles' gain and offset differences (1 % and
    // 1 grey level) that the feathering blends. The outermost two pixels rest
    // on the resampling's reflected edge.
    const QImage source = scan.sourceAt(frameX(scan, out), frameY(scan, out), out.mosaic.width(), out.mosaic.height());
    int worst = 0;
    for (const TilePosition& p : out.positions) {
        const QRect inside = p.bounds.adjusted(2, 2, -2, -2);
        for (int y = inside.top(); y <= inside.bottom(); ++y)
            for (int x = inside.left(); x <= inside.right(); ++x)
                worst = std::max(worst,
                                 std::abs(int(out.mosaic.constScanLine(y)[x]) - int(source.constScanLine(y)[x])));
    }
    EXPECT_LE(worst, 4);

    // The saved positions compose the same mosaic again.
    MosaicStitcher rebuild;
    QImage again;
    QString error;
    std::vector<QImage> tiles;
    const std::vector<QString> listed = scan.list(kScanSnake);
    for (const QString& path : listed)
        for (size_t c = 0; c < scan.paths.size(); ++c)
            if (scan.paths[c] == path) tiles.push_back(scan.tiles[c]);
    ASSERT_TRUE(rebuild.stitchFromPositions(tiles, out.positions, again, error)) << error.toStdString();
    EXPECT_EQ(again, out.mosaic);
}

// Grey level on the 8-bit scale of pixel (x, y), of either depth.
double grey8(const QImage& image, int x, int y) {
    return image.format() == QImage::Format_Grayscale16
               ? reinterpret_cast<const quint16*>(image.constScanLine(y))[x] / 257.0
               : image.constScanLine(y)[x];
}

// Stage errors of any fraction of a pixel, gains within 2 %, noise of 2 grey
// levels: the tiles differ from the scene by 2.4 grey levels rms, and so may
// the mosaic, but no more (2.0 measured, where whole-pixel placement left 5.5).
// Inside the tiles, clear of the mosaic's outer edge, where the resampling has
// nothing beyond the tile to read.
TEST(MosaicStitcher, SubPixelStageErrorsComposeTheSceneWithinTheTilesNoise) {
    for (const bool sixteen : {false, true}) {
        TileScanLayout setup;
        setup.rows = 2;
        setup.cols = 3;
        setup.fractionalJitter = true;
        setup.gainSpread = 0.02;
        setup.noiseSigma = 2.0;
        setup.sixteenBit = sixteen;
        const TileScan scan = testing::makeTileScan(setup);
        double floorSum = 0.0;
        int64_t floorCount = 0;
        for (size_t c = 0; c < scan.tiles.size(); ++c) {
            const testing::Image scene = scan.sceneAt(scan.exactCorners[c].x(), scan.exactCorners[c].y(),
                                                      setup.tileWidth, setup.tileHeight);
            for (int y = 0; y < setup.tileHeight; ++y)
                for (int x = 0; x < setup.tileWidth; ++x) {
                    const double e = grey8(scan.tiles[c], x, y) - scene.at(x, y) * (sixteen ? 1.0 / 257.0 : 1.0);
                    floorSum += e * e;
                    ++floorCount;
                }
        }
        const double floorRms = std::sqrt(floorSum / double(floorCount));

        StitchOutput out;
        ASSERT_TRUE(run(optionsFor(setup, kScanSnake), scan.list(kScanSnake), out)) << out.error.toStdString();
        EXPECT_LT(worstPositionError(scan, out), 0.1);
        const testing::Image scene =
            scan.sceneAt(frameX(scan, out), frameY(scan, out), out.mosaic.width(), out.mosaic.height());
        double sum = 0.0;
        int64_t count = 0;
        for (int y = 0; y < out.mosaic.height(); ++y)
            for (int x = 0; x < out.mosaic.width(); ++x) {
                const bool inside = std::any_of(out.positions.begin(), out.positions.end(), [&](const TilePosition& p) {
                    return p.bounds.adjusted(8, 8, -8, -8).contains(x, y);
                });
                if (!inside) continue;
                const double e = grey8(out.mosaic, x, y) - scene.at(x, y) * (sixteen ? 1.0 / 257.0 : 1.0);
                sum += e * e;
                ++count;
            }
        const double mosaicRms = std::sqrt(sum / double(count));
        EXPECT_GT(floorRms, 2.0);
        EXPECT_LT(mosaicRms, floorRms) << (sixteen ? 16 : 8) << " bits";

        // The saved positions compose the same mosaic again, fractions and all.
        std::vector<QImage> tiles;
        for (const QString& path : scan.list(kScanSnake)) {
            const auto cell = std::find(scan.paths.begin(), scan.paths.end(), path) - scan.paths.begin();
            tiles.push_back(scan.tiles[size_t(cell)]);
        }
        QImage again;
        QString error;
        ASSERT_TRUE(MosaicStitcher().stitchFromPositions(tiles, out.positions, again, error)) << error.toStdString();
        EXPECT_EQ(again, out.mosaic);
    }
}

TEST(MosaicStitcher, SixteenBitTilesKeepTheirDepth) {
    TileScanLayout setup;
    setup.rows = 2;
    setup.cols = 2;
    setup.sixteenBit = true;
    const TileScan scan = testing::makeTileScan(setup);
    StitchOutput out;
    ASSERT_TRUE(run(optionsFor(setup, kScanRowByRow), scan.list(kScanRowByRow), out)) << out.error.toStdString();
    EXPECT_EQ(out.mosaic.format(), QImage::Format_Grayscale16);
    EXPECT_LT(worstPositionError(scan, out), kPositionTolerancePx);
}

class ScanOrderDetection : public ::testing::TestWithParam<int> {};

TEST_P(ScanOrderDetection, FindsTheOrderInWhichTheTilesWereListed) {
    static const TileScan scan = testing::makeTileScan({});
    const int truth = GetParam();
    StitchingOptions o = optionsFor(scan.setup, (truth + 1) % 4);
    o.detectScanOrder = true;
    StitchOutput out;
    ASSERT_TRUE(run(o, scan.list(truth), out)) << out.error.toStdString();
    EXPECT_TRUE(out.scanOrderAutoDetected);
    EXPECT_EQ(out.detectedScanOrder, truth);
    EXPECT_LT(worstPositionError(scan, out), kPositionTolerancePx);
}

INSTANTIATE_TEST_SUITE_P(EveryOrder, ScanOrderDetection,
                         ::testing::Values(kScanSnake, kScanRowByRow, kScanColumnByColumn, kScanColumnSnake));

TEST(MosaicStitcher, MissingTilesStayEmptyWhetherListedOrFound) {
    const TileScan scan = testing::makeTileScan({});
    for (const QString& listedMissing : {QStringLiteral("5"), QString()}) {
        StitchingOptions o = optionsFor(scan.setup, kScanRowByRow);
        o.allowMissingTiles = true;
        o.missingTilePositions = listedMissing;
        StitchOutput out;
        ASSERT_TRUE(run(o, scan.list(kScanRowByRow, {5}), out)) << out.error.toStdString();
        ASSERT_EQ(out.positions.size(), 11);
        EXPECT_EQ(positionOf(out, 1, 1), nullptr) << "missing: " << listedMissing.toStdString();
        ASSERT_NE(positionOf(out, 1, 2), nullptr);
        EXPECT_EQ(positionOf(out, 1, 2)->tileIndex, 5);
        EXPECT_LT(worstPositionError(scan, out), kPositionTolerancePx);
    }
}

TEST(MosaicStitcher, ANoiseTileNeitherMovesItsNeighboursNorPassesUnnoticed) {
    TileScan scan = testing::makeTileScan({});
    const int noisy = scan.cell(1, 1);
    scan.replaceByNoise(noisy);
    StitchOutput out;
    ASSERT_TRUE(run(optionsFor(scan.setup, kScanSnake), scan.list(kScanSnake), out)) << out.error.toStdString();
    EXPECT_LT(worstPositionError(scan, out, {noisy}), kPositionTolerancePx);
    const TilePosition* p = positionOf(out, 1, 1);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->engineValues[5], 1);
    EXPECT_TRUE(out.information.contains(QStringLiteral("row 2, column 2"))) << out.information.toStdString();
}

TEST(MosaicStitcher, SmoothOverlapsAreFlaggedAndKeepTheNominalGrid) {
    TileScanLayout setup;
    setup.rows = 2;
    setup.cols = 2;
    setup.gradient = true;
    const TileScan scan = testing::makeTileScan(setup);
    StitchOutput out;
    ASSERT_TRUE(run(optionsFor(setup, kScanRowByRow), scan.list(kScanRowByRow), out)) << out.error.toStdString();
    for (const TilePosition& p : out.positions) {
        EXPECT_EQ(p.engineValues[5], 1) << p.row << "," << p.col;
        EXPECT_LT(p.engineValues[0], 300);
    }
    EXPECT_TRUE(out.information.contains(QStringLiteral("nominal"))) << out.information.toStdString();
    EXPECT_FLOAT_EQ(positionOf(out, 1, 1)->tx - positionOf(out, 0, 0)->tx, 256 - 256 * 30 / 100);
}

TEST(MosaicStitcher, CancellingStopsBetweenTiles) {
    const TileScan scan = testing::makeTileScan({});
    MosaicStitcher stitcher;
    stitcher.options = optionsFor(scan.setup, kScanSnake);
    std::atomic<int> seen{0};
    StitchOutput out;
    EXPECT_FALSE(stitcher.stitch(scan.list(kScanSnake), out, [&] { return seen >= 3; },
                                 [&](int done, int) { seen = done; }));
    EXPECT_EQ(seen.load(), 3);
    EXPECT_TRUE(out.mosaic.isNull());
}

TEST(MosaicStitcher, UnreadableOrMismatchedTilesFailWithTheirName) {
    const TileScan scan = testing::makeTileScan({});
    std::vector<QString> paths = scan.list(kScanSnake);
    paths[4] = scan.dir.path().string().c_str() + QStringLiteral("/absent.tif");
    StitchOutput out;
    EXPECT_FALSE(run(optionsFor(scan.setup, kScanSnake), paths, out));
    EXPECT_TRUE(out.error.startsWith(QStringLiteral("Tile 5 ("))) << out.error.toStdString();
}

TEST(MosaicStitcher, NonRigidCorrectionsBringWholePixelPlacementsToTheTruePositions) {
    // Whole-pixel placement rounds each tile on its own, so neighbours may sit a
    // pixel apart from their true offset; the corrections measured in the
    // overlaps must take that back, to the precision of ZNCC on speckle.
    TileScanLayout setup;
    setup.rows = 2;
    setup.cols = 2;
    const TileScan scan = testing::makeTileScan(setup);
    StitchingOptions o = optionsFor(setup, kScanRowByRow);
    o.refineNonRigid = true;
    StitchOutput out;
    ASSERT_TRUE(run(o, scan.list(kScanRowByRow), out)) << out.error.toStdString();
    ASSERT_EQ(out.tileCorrections.size(), 4);
    auto corrected = [&](int i) {
        const TileCorrection& c = out.tileCorrections[i];
        EXPECT_EQ(c.dx.size(), 9);
        // The centre control point: every tile's field is nearly constant here.
        return QPointF(out.positions[i].bounds.topLeft()) + QPointF(c.dx[4], c.dy[4]);
    };
    for (int i = 1; i < 4; ++i) {
        const QPointF measured = corrected(i) - corrected(0);
        const QPointF truth = scan.exactCorners[size_t(i)] - scan.exactCorners[0];
        EXPECT_NEAR(measured.x(), truth.x(), 0.25) << i;
        EXPECT_NEAR(measured.y(), truth.y(), 0.25) << i;
    }
    EXPECT_TRUE(out.status.contains(QStringLiteral("overlap samples"))) << out.status.toStdString();
}

TEST(MosaicStitcher, ComposingFromPositionsRefusesPositionsWithoutTiles) {
    MosaicStitcher stitcher;
    QImage tile(8, 8, QImage::Format_Grayscale8), mosaic;
    tile.fill(7);
    TilePosition p;
    p.tileIndex = 1;
    p.isPresent = true;
    QString error;
    EXPECT_FALSE(stitcher.stitchFromPositions({tile}, {p}, mosaic, error));
    EXPECT_TRUE(mosaic.isNull());
    p.tileIndex = 0;
    p.tx = 3.0f;
    ASSERT_TRUE(stitcher.stitchFromPositions({tile}, {p}, mosaic, error)) << error.toStdString();
    EXPECT_EQ(mosaic.size(), QSize(11, 8));
    EXPECT_EQ(mosaic.constScanLine(0)[2], 0);
    EXPECT_EQ(mosaic.constScanLine(0)[3], 7);
}

TEST(TileBounds, SavedPositionsGetTruncatedCornersAndTheCroppedTileSize) {
    EXPECT_EQ(croppedTileSize({100, 80}, QRect(10, 10, 200, 30)), QSize(90, 30));
    EXPECT_EQ(croppedTileSize({100, 80}, QRect(300, 0, 10, 10)), QSize(100, 80));
    QList<TilePosition> positions(2);
    positions[0].isPresent = true;
    positions[0].tx = 12.9f;
    positions[0].ty = 3.2f;
    positions[1].bounds = QRect(1, 2, 3, 4);
    setBoundsFromTileSize(positions, {90, 30});
    EXPECT_EQ(positions[0].bounds, QRect(12, 3, 90, 30));
    EXPECT_EQ(positions[1].bounds, QRect(1, 2, 3, 4));
}

}  // namespace
}  // namespace tavro::stitching
