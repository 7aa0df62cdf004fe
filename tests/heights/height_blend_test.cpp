#include "heights/height_blend.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <utility>
#include <vector>

namespace {

using tavro::HeightBlendResult;
using Surface = std::function<double(double X, double Y)>;
using Positions = std::vector<std::pair<double, double>>;

std::vector<float> cutTile(const Surface& s, double left, double top, int width, int height) {
    std::vector<float> tile;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) tile.push_back(float(s(left + x, top + y)));
    return tile;
}

HeightBlendResult blend(const Surface& s, const Positions& positions, int tile, int mosaicW, int mosaicH,
                        int band) {
    std::vector<std::vector<float>> tiles;
    for (const auto& [x, y] : positions) tiles.push_back(cutTile(s, x, y, tile, tile));
    HeightBlendResult out;
    EXPECT_TRUE(tavro::blendHeightTiles(tiles, tile, tile, positions, mosaicW, mosaicH, band, out)) << out.error;
    return out;
}

TEST(HeightBlend, OverlappingTilesOfOneSurfaceGiveThatSurface) {
    const Surface wavy = [](double X, double Y) { return 3.0 * std::sin(X / 9.0) * std::cos(Y / 13.0) + 0.01 * X; };
    const HeightBlendResult out = blend(wavy, {{0, 0}, {30, 0}, {0, 30}, {30, 30}}, 40, 70, 70, 10);
    ASSERT_EQ(out.width, 70);
    ASSERT_EQ(out.height, 70);
    for (int y = 0; y < 70; ++y)
        for (int x = 0; x < 70; ++x) ASSERT_NEAR(out.heights[size_t(y) * 70 + x], wavy(x, y), 1e-5) << x << "," << y;
}

TEST(HeightBlend, FractionalPositionsResampleAPlaneExactly) {
    const Surface plane = [](double X, double Y) { return 0.25 * X - 0.5 * Y + 7.0; };
    const HeightBlendResult out = blend(plane, {{0.4, 0.0}, {25.7, 0.3}, {0.0, 24.6}, {26.2, 25.1}}, 32, 60, 60, 10);
    int covered = 0;
    for (int y = 0; y < 60; ++y)
        for (int x = 0; x < 60; ++x) {
            const float value = out.heights[size_t(y) * 60 + x];
            if (std::isnan(value)) continue;
            ASSERT_NEAR(value, plane(x, y), 1e-4) << x << "," << y;
            ++covered;
        }
    // Only the fringe before the first sample and past the last ones is left out.
    EXPECT_GT(covered, 56 * 56);
    EXPECT_TRUE(std::isnan(out.heights[0]));
    EXPECT_FALSE(std::isnan(out.heights[size_t(30) * 60 + 30]));
}

TEST(HeightBlend, OverlapWeightsFallLinearlyTowardsEachTileEdge) {
    // Tile A (all 0) covers x 0..39, tile B (all 1) x 19..58: a ramp over the
    // overlap, symmetric about its centre x = 29.
    std::vector<std::vector<float>> tiles{std::vector<float>(40 * 8, 0.0f), std::vector<float>(40 * 8, 1.0f)};
    HeightBlendResult out;
    ASSERT_TRUE(tavro::blendHeightTiles(tiles, 40, 8, {{0, 0}, {19, 0}}, 59, 8, 10, out)) << out.error;
    const auto at = [&](int x) { return out.heights[size_t(4) * 59 + x]; };
    EXPECT_EQ(at(18), 0.0f);
    EXPECT_EQ(at(40), 1.0f);
    EXPECT_NEAR(at(29), 0.5f, 1e-6);
    // One pixel into the overlap B weighs 0.5 / 10 against A's full weight.
    EXPECT_NEAR(at(19), 0.05f / 1.05f, 1e-6);
    for (int x = 19; x < 40; ++x) EXPECT_LT(at(x - 1), at(x)) << x;
    for (int d = 0; d <= 10; ++d) EXPECT_NEAR(at(29 - d) + at(29 + d), 1.0f, 1e-6) << d;
}

TEST(HeightBlend, UncoveredPixelsAndMissingSamplesAreNaN) {
    std::vector<std::vector<float>> tiles{std::vector<float>(10 * 10, 2.0f), std::vector<float>(10 * 10, 2.0f)};
    tiles[0][5 * 10 + 5] = std::nanf("");
    HeightBlendResult out;
    ASSERT_TRUE(tavro::blendHeightTiles(tiles, 10, 10, {{0, 0}, {30, 0}}, 40, 12, 10, out)) << out.error;
    EXPECT_TRUE(std::isnan(out.heights[size_t(5) * 40 + 20]));  // between the tiles
    EXPECT_TRUE(std::isnan(out.heights[size_t(11) * 40 + 2]));  // below them
    EXPECT_TRUE(std::isnan(out.heights[size_t(5) * 40 + 5]));   // the missing sample
    EXPECT_EQ(out.heights[size_t(5) * 40 + 4], 2.0f);
    EXPECT_EQ(out.heights[size_t(3) * 40 + 35], 2.0f);
}

TEST(HeightBlend, InconsistentInputsAreRefusedWithAMessage) {
    HeightBlendResult out;
    std::vector<std::vector<float>> tiles{std::vector<float>(16, 1.0f)};
    EXPECT_FALSE(tavro::blendHeightTiles(tiles, 4, 4, {}, 8, 8, 10, out));
    EXPECT_FALSE(out.error.empty());
    EXPECT_FALSE(tavro::blendHeightTiles(tiles, 4, 5, {{0, 0}}, 8, 8, 10, out));
    EXPECT_FALSE(out.error.empty());
    EXPECT_FALSE(tavro::blendHeightTiles(tiles, 4, 4, {{0, 0}}, 0, 8, 10, out));
    EXPECT_TRUE(out.heights.empty());
    EXPECT_FALSE(tavro::blendHeightTiles(tiles, 4, 4, {{std::nan(""), 0}}, 8, 8, 10, out));
}

} // namespace
