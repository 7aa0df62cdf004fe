// Height mosaics from height tiles, and the correlation grid brought onto a
// height map of another resolution.
#include "gui/mainwindow/height_maps.h"
#include "gui/mainwindow/out_of_plane_task.h"

#include "images/image_write.h"
#include "support/temp_dir.h"
#include "support/test_application.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>

namespace tavro::gui {
namespace {

using Surface = std::function<double(double x, double y)>;

class HeightAssembly : public ::testing::Test {
protected:
    void SetUp() override { test::testApplication(); }

    // A height tile cut from `s` with its top-left sample at (left, top).
    QString tile(const QString& name, const Surface& s, double left, double top, int size) {
        std::vector<float> values;
        for (int y = 0; y < size; ++y)
            for (int x = 0; x < size; ++x)
                values.push_back(float(s(left + x, top + y)));
        const QString path = QString::fromStdString(dir.file(name.toStdString()).string());
        QString error;
        EXPECT_TRUE(writeFloatTiff(path, size, size, values, error, {})) << error.toStdString();
        return path;
    }

    static stitching::TilePosition at(int index, float x, float y) {
        stitching::TilePosition p;
        p.tileIndex = index;
        p.tx = x;
        p.ty = y;
        return p;
    }

    testing::TempDir dir{"tavro_height_assembly"};
};

TEST_F(HeightAssembly, TilesAtHalfTheIntensityResolutionGiveTheSurfaceAtHalfSize) {
    // Intensity tiles of 40 px at 30 px pitch in a 70 px mosaic; heights at 20 px a tile.
    const Surface s = [](double x, double y) { return std::sin(x / 5.0) + 0.1 * y; };
    const std::vector<QString> paths{tile("t0.tif", s, 0, 0, 20), tile("t1.tif", s, 15, 0, 20),
                                     tile("t2.tif", s, 0, 15, 20), tile("t3.tif", s, 15, 15, 20)};
    HeightMosaicFrame frame;
    frame.intensityTile = QSize(40, 40);
    frame.intensityMosaic = QSize(70, 70);
    // The last position names no tile and is skipped.
    const std::vector<stitching::TilePosition> positions{at(0, 0, 0), at(1, 30, 0), at(2, 0, 30), at(3, 30, 30),
                                                         at(9, 60, 60)};
    std::vector<float> heights;
    int width = 0, height = 0;
    QString error;
    HeightMosaicCanvas canvas;
    ASSERT_TRUE(assembleHeightTiles(frame, paths, positions, heights, width, height, error, &canvas))
        << error.toStdString();
    EXPECT_EQ(width, 35);
    EXPECT_EQ(height, 35);
    for (int y = 0; y < 35; ++y)
        for (int x = 0; x < 35; ++x) ASSERT_NEAR(heights[size_t(y) * 35 + x], s(x, y), 1e-5) << x << "," << y;
    EXPECT_EQ(canvas.mosaicWidth, 35);
    EXPECT_EQ(canvas.tileWidth, 20);

    // The deformed set must have the reference's tile size, and gets its canvas.
    const std::vector<QString> larger{tile("big.tif", s, 0, 0, 24)};
    EXPECT_FALSE(assembleHeightTiles(frame, larger, {at(0, 0, 0)}, heights, width, height, error, &canvas));
    EXPECT_TRUE(error.startsWith(QStringLiteral("Height tile resolution differs from the reference set: 24x24 here "
                                                "vs 20x20")))
        << error.toStdString();
}

TEST_F(HeightAssembly, ACropCutsEveryTileAtTheScaledRectangle) {
    const Surface s = [](double x, double y) { return x + 100.0 * y; };
    // Whole tiles hold s from (0, 0); the crop keeps intensity pixels 4..35 of 40, i.e. 2..17 of 20.
    const std::vector<QString> paths{tile("c0.tif", s, 0, 0, 20)};
    HeightMosaicFrame frame;
    frame.intensityTile = QSize(40, 40);
    frame.crop = QRect(4, 4, 32, 32);
    std::vector<float> heights;
    int width = 0, height = 0;
    QString error;
    ASSERT_TRUE(assembleHeightTiles(frame, paths, {at(0, 0, 0)}, heights, width, height, error, nullptr))
        << error.toStdString();
    ASSERT_EQ(width, 16);
    ASSERT_EQ(height, 16);
    EXPECT_FLOAT_EQ(heights[0], float(s(2, 2)));
    EXPECT_FLOAT_EQ(heights[size_t(15) * 16 + 15], float(s(17, 17)));

    EXPECT_FALSE(assembleHeightTiles(frame, paths, {}, heights, width, height, error, nullptr));
    EXPECT_EQ(error, QStringLiteral("No tiles or position"));
    EXPECT_FALSE(assembleHeightTiles(frame, paths, {at(3, 0, 0)}, heights, width, height, error, nullptr));
    EXPECT_EQ(error, QStringLiteral("No height tile matches the stitching positions"));
}

TEST(OutOfPlaneTask, TheGridLandsOnTheScaledPixelsOfTheHeightMap) {
    ResultGeometry g;
    g.roi = QRect(8, 4, 64, 64);
    g.stepX = g.stepY = 8;
    g.windowSizeX = g.windowSizeY = 9;  // grid starts at roi + 4
    const HeightGridPlacement p = heightGridPlacement(g, 0.5, 0.25);
    EXPECT_DOUBLE_EQ(p.firstX, 6.0);
    EXPECT_DOUBLE_EQ(p.firstY, 2.0);
    EXPECT_DOUBLE_EQ(p.stepX, 4.0);
    EXPECT_DOUBLE_EQ(p.stepY, 2.0);
    // A field linear in the grid index comes back linear between the points.
    const std::vector<float> grid{0, 1, 2, 10, 11, 12};
    const std::vector<float> map = gridToHeightMap(grid, 3, 2, 20, 6, p);
    EXPECT_FLOAT_EQ(map[size_t(2) * 20 + 6], 0.0f);
    EXPECT_FLOAT_EQ(map[size_t(3) * 20 + 8], 5.5f);
    EXPECT_FLOAT_EQ(map[size_t(4) * 20 + 14], 12.0f);
    EXPECT_TRUE(std::isnan(map[size_t(2) * 20 + 0]));
    EXPECT_EQ(sampleHeightAtGrid(map, 20, 6, 3, 2, p), grid);
}

TEST(OutOfPlaneTask, AnEngineFailureOrExceptionComesBackAsAnErrorText) {
    OutOfPlaneInputs inputs;
    inputs.heightWidth = inputs.heightHeight = 4;
    inputs.gridWidth = inputs.gridHeight = 4;
    inputs.h0.assign(16, 0.0f);
    inputs.h1.assign(15, 0.0f);
    inputs.ux.assign(16, 0.0f);
    inputs.uy.assign(16, 0.0f);
    GpuComputeResult out = computeOutOfPlane(inputs);
    EXPECT_FALSE(out.success);
    EXPECT_FALSE(out.result.error.empty());

    // A map larger than a vector can hold throws inside (before allocating
    // anything); the caller gets its text.
    inputs.heightWidth = inputs.heightHeight = std::numeric_limits<int>::max();
    inputs.geometry.stepX = inputs.geometry.stepY = 1;
    out = computeOutOfPlane(inputs);
    EXPECT_FALSE(out.success);
    EXPECT_FALSE(out.result.error.empty());
}

}  // namespace
}  // namespace tavro::gui
