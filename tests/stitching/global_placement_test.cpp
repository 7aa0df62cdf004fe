#include "stitching/global_placement.h"

#include <gtest/gtest.h>

#include <cmath>

namespace tavro::stitching {
namespace {

TEST(GlobalPlacement, OneConfidentButWrongPairDoesNotBendTheMosaic) {
    // A 3 x 3 grid whose pairs measure the true offsets, except one that matched
    // a repeated feature 20 px away with full confidence.
    const int n = 3;
    std::vector<double> nominalX, nominalY, trueX, trueY;
    for (int i = 0; i < n * n; ++i) {
        nominalX.push_back((i % n) * 100.0);
        nominalY.push_back((i / n) * 80.0);
        trueX.push_back(nominalX.back() + 7.0 * std::sin(i));
        trueY.push_back(nominalY.back() + 5.0 * std::cos(3.0 * i));
    }
    std::vector<PairEdge> edges;
    for (int i = 0; i < n * n; ++i) {
        for (const int j : {i % n < n - 1 ? i + 1 : -1, i + n < n * n ? i + n : -1}) {
            if (j < 0) continue;
            edges.push_back({i, j, trueX[size_t(j)] - trueX[size_t(i)], trueY[size_t(j)] - trueY[size_t(i)], 1.0});
        }
    }
    edges[4].dx += 20.0;
    std::vector<double> x, y, weights;
    ASSERT_TRUE(solvePlacement(nominalX, nominalY, edges, PlacementSettings{}, x, y, weights, {}));
    EXPECT_EQ(weights[4], 0.0);
    for (int i = 1; i < n * n; ++i) {
        EXPECT_NEAR(x[size_t(i)] - x[0], trueX[size_t(i)] - trueX[0], 0.05) << i;
        EXPECT_NEAR(y[size_t(i)] - y[0], trueY[size_t(i)] - trueY[0], 0.05) << i;
    }
}

}  // namespace
}  // namespace tavro::stitching
