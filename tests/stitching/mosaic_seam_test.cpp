// A correlation run across assembled mosaics: the tiles' seams must not show
// in the measured displacements.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "core/subpixel_test_support.h"
#include "stitching/mosaic_composition.h"
#include "stitching/tile_scan.h"

namespace tavro::stitching {
namespace {

using testing::TileScan;
using testing::TileScanLayout;

// The scan's tiles composed at their true corners: mosaic pixel (x, y) is
// the scene's pixel (x, y), whatever fractions the corners have.
testing::Image mosaicAtTrueCorners(const TileScan& scan) {
    QList<TilePosition> positions;
    for (int r = 0; r < scan.setup.rows; ++r)
        for (int c = 0; c < scan.setup.cols; ++c) {
            TilePosition p;
            p.row = r;
            p.col = c;
            p.tileIndex = scan.cell(r, c);
            p.isPresent = true;
            p.tx = float(scan.exactCorners[size_t(p.tileIndex)].x());
            p.ty = float(scan.exactCorners[size_t(p.tileIndex)].y());
            positions << p;
        }
    QImage mosaic;
    QString error;
    EXPECT_TRUE(composeFromPositions(scan.tiles, positions, mosaic, error)) << error.toStdString();
    testing::Image out(mosaic.width(), mosaic.height());
    for (int y = 0; y < mosaic.height(); ++y)
        for (int x = 0; x < mosaic.width(); ++x)
            out.at(x, y) = float(reinterpret_cast<const quint16*>(mosaic.constScanLine(y))[x] / 257.0);
    return out;
}

// Each side of a seam spans kBand px along the grid line; subsets keep kEdge px
// from the tiles' outer edges, beyond the field's reach and the spline's taps.
constexpr double kBand = 16.0;
constexpr double kEdge = 6.0;

struct SeamJump {
    double worst = 0.0;  // largest jump of one grid line across one seam, px
    int lines = 0;       // grid lines that crossed a seam
};

// Along each grid line that crosses a seam, the mean displacement error over
// kBand px just before the two tiles' overlap against just after it, in both
// scans: subsets wholly inside one tile on either side, and inside the tiles
// across the line, so each side is measured on one tile's resampling.
SeamJump seamJumps(const std::vector<const TileScan*>& scans, const subpixel_test::GridLayout& grid,
                   const PixelDisplacementResult& out, const testing::DisplacementField& field, int halfWindow) {
    const TileScanLayout& s = scans.front()->setup;
    auto error = [&](int i, int component) {
        const testing::Vec2 u = field(grid.x(i), grid.y(i));
        return double(component == 0 ? out.dispX[size_t(i)] : out.dispY[size_t(i)]) - u[size_t(component)];
    };
    SeamJump jump;
    for (const bool vertical : {true, false}) {
        // Seam k lies between tiles k and k + 1 of a lane (a row of tiles for
        // vertical seams, a column for horizontal ones).
        const int seams = (vertical ? s.cols : s.rows) - 1, lanes = vertical ? s.rows : s.cols;
        const int along = vertical ? s.tileWidth : s.tileHeight, across = vertical ? s.tileHeight : s.tileWidth;
        for (int k = 0; k < seams; ++k) {
            for (int lane = 0; lane < lanes; ++lane) {
                double beforeEnd = 1e9, afterStart = -1e9, laneStart = -1e9, laneEnd = 1e9;
                for (const TileScan* scan : scans) {
                    for (const int t : {k, k + 1}) {
                        const int cell = vertical ? scan->cell(lane, t) : scan->cell(t, lane);
                        const QPointF c = scan->exactCorners[size_t(cell)];
                        const double a = vertical ? c.x() : c.y(), b = vertical ? c.y() : c.x();
                        if (t == k + 1) beforeEnd = std::min(beforeEnd, a - halfWindow - 1);
                        if (t == k) afterStart = std::max(afterStart, a + along + halfWindow + 1);
                        laneStart = std::max(laneStart, b + halfWindow + kEdge);
                        laneEnd = std::min(laneEnd, b + across - halfWindow - kEdge);
                    }
                }
                for (int line = 0; line < (vertical ? grid.gridHeight : grid.gridWidth); ++line) {
                    const int i0 = vertical ? line * grid.gridWidth : line;
                    const double position = vertical ? grid.y(i0) : grid.x(i0);
                    if (position < laneStart || position > laneEnd) continue;
                    for (int component = 0; component < 2; ++component) {
                        double sum[2] = {0.0, 0.0};
                        int count[2] = {0, 0};
                        for (int j = 0; j < (vertical ? grid.gridWidth : grid.gridHeight); ++j) {
                            const int i = vertical ? i0 + j : i0 + j * grid.gridWidth;
                            const double p = vertical ? grid.x(i) : grid.y(i);
                            const int side = p > beforeEnd - kBand && p <= beforeEnd ? 0
                                             : p >= afterStart && p < afterStart + kBand ? 1
                                                                                       : -1;
                            if (side < 0) continue;
                            sum[side] += error(i, component);
                            ++count[side];
                        }
                        if (count[0] == 0 || count[1] == 0) continue;
                        jump.worst = std::max(jump.worst, std::abs(sum[1] / count[1] - sum[0] / count[0]));
                        ++jump.lines;
                    }
                }
            }
        }
    }
    return jump;
}

// Reference and deformed tiles with their own sub-pixel stage errors, a
// smooth field of up to 0.6 px: tiles placed at whole pixels would make each
// seam jump by the difference of the two states' truncations, up to a pixel.
// 16-bit tiles keep rounding out of the check; what is left, 0.015 px for
// mosaics rendered straight from the scene, is the correlation's own error on
// this speckle, and the composition adds no more than a thousandth to it.
TEST(MosaicSeams, ACorrelationAcrossTwoMosaicsShowsNoSeam) {
    SUBPIXEL_REQUIRE_DEVICE();
    const testing::DisplacementField field = testing::sinusoidField({0.6, -0.45}, 320.0, 0.6);
    TileScanLayout setup;
    setup.rows = 2;
    setup.cols = 3;
    setup.tileWidth = 160;
    setup.tileHeight = 144;
    setup.overlapX = setup.overlapY = 25;
    setup.jitter = 6;
    setup.fractionalJitter = true;
    setup.stageSeed = 21;
    setup.sixteenBit = true;
    // Equal gains: a blend of tiles of different gains shades the overlap,
    // which biases the correlation whatever the placement.
    setup.gainSpread = 0.0;
    setup.offsetSpread = 0.0;
    const TileScan reference = testing::makeTileScan(setup);
    setup.field = field;
    setup.stageSeed = 22;
    const TileScan deformed = testing::makeTileScan(setup);
    const testing::Image referenceMosaic = mosaicAtTrueCorners(reference);
    const testing::Image deformedMosaic = mosaicAtTrueCorners(deformed);
    const int width = std::min(referenceMosaic.width, deformedMosaic.width);
    const int height = std::min(referenceMosaic.height, deformedMosaic.height);
    testing::Image ref(width, height), def(width, height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            ref.at(x, y) = referenceMosaic.at(x, y);
            def.at(x, y) = deformedMosaic.at(x, y);
        }

    const int window = 31;
    const subpixel_test::GridLayout grid(width, height, window, 4, 3);
    const SubpixelParams params = subpixel_test::refinement(int(InterpolationType::CubicBSpline), true, 30, 1e-5f);
    const PixelDisplacementResult out = subpixel_test::refine(grid, ref, def, grid.start(field), params);
    ASSERT_EQ(out.dispX.size(), size_t(grid.count()));
    const SeamJump jump = seamJumps({&reference, &deformed}, grid, out, field, window / 2);
    EXPECT_GT(jump.lines, 100);
    EXPECT_LT(jump.worst, 0.02);
}

}  // namespace
}  // namespace tavro::stitching
