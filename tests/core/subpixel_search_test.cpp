// What the refinement measures: sub-pixel translations and affine fields on
// synthetic speckle, and how single points end (masked, flat, stopped early,
// leaving the image).

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "subpixel_test_support.h"

namespace tavro::subpixel_test {
namespace {

struct ErrorStats {
    double worstBias = 0.0;    // largest |mean error| of one shift and component
    double worstSpread = 0.0;  // largest standard deviation of one shift and component
    int missing = 0;           // NaN points
};

// A 128 x 128 band-limited speckle pair per shift (s, -s), s = 0, 0.1 .. 1,
// refined from the rounded shift.
ErrorStats translationSweep(int interpolation) {
    const GridLayout grid(128, 128, 21, 8, 3);
    testing::SpeckleOptions options;
    options.width = options.height = 128;
    options.seed = 11;
    ErrorStats stats;
    for (int step = 0; step <= 10; ++step) {
        const double s = 0.1 * step;
        const testing::ImagePair pair = testing::makeFourierShiftedPair(options, s, -s);
        const PixelDisplacementResult out = refine(grid, pair.reference, pair.deformed,
                                                   grid.start(testing::translationField(s, -s)),
                                                   refinement(interpolation, false));
        for (int component = 0; component < 2; ++component) {
            const std::vector<float>& d = component == 0 ? out.dispX : out.dispY;
            const double truth = component == 0 ? s : -s;
            double sum = 0.0, sumSq = 0.0;
            for (float v : d) {
                if (std::isnan(v)) ++stats.missing;
                sum += v - truth;
                sumSq += (v - truth) * (v - truth);
            }
            const double mean = sum / double(d.size());
            stats.worstBias = std::max(stats.worstBias, std::fabs(mean));
            stats.worstSpread =
                std::max(stats.worstSpread, std::sqrt(std::max(0.0, sumSq / double(d.size()) - mean * mean)));
        }
    }
    return stats;
}

// Limits from what each interpolation achieves on a noise-free band-limited
// pair (about twice the errors observed): about a hundredth of a pixel for
// the linear one, two thousandths for the Lagrange cubic, well below a
// thousandth for the B-splines.
TEST(SubpixelRefinement, TranslationsAcrossOnePixelAreRecoveredByEveryInterpolation) {
    SUBPIXEL_REQUIRE_DEVICE();
    struct Case {
        const char* name;
        int interpolation;
        double bias;
        double spread;
    };
    const Case cases[] = {
        {"bilinear", 0, 0.015, 0.016},
        {"bicubic", 1, 0.002, 0.002},
        {"cubic B-spline", 2, 0.0006, 0.0006},
        {"quartic B-spline", 3, 0.0003, 0.0006},
    };
    for (const Case& c : cases) {
        const ErrorStats stats = translationSweep(c.interpolation);
        EXPECT_EQ(stats.missing, 0) << c.name;
        EXPECT_LT(stats.worstBias, c.bias) << c.name;
        EXPECT_LT(stats.worstSpread, c.spread) << c.name;
    }
}

// A homogeneous deformation rendered from the speckle model: every point sees
// the same gradients and its own displacement.
TEST(SubpixelRefinement, AffineFieldGivesDisplacementsAndGradientsWithFirstOrderTerms) {
    SUBPIXEL_REQUIRE_DEVICE();
    const std::array<double, 4> gradient{0.012, -0.006, 0.004, 0.009};
    const auto field = testing::affineField(gradient, {80.0, 80.0}, {0.4, -0.3});
    testing::SpeckleOptions options;
    options.width = options.height = 160;
    options.seed = 5;
    const testing::ImagePair pair = testing::makeRenderedPair(options, field);
    const GridLayout grid(160, 160, 25, 10, 3);
    const PixelDisplacementResult out =
        refine(grid, pair.reference, pair.deformed, grid.start(field), refinement(2, true, 30, 1e-5f));
    ASSERT_EQ(out.duDx.size(), size_t(grid.count()));
    double worstU = 0.0, worstGradient = 0.0;
    for (int i = 0; i < grid.count(); ++i) {
        const testing::Vec2 u = field(grid.x(i), grid.y(i));
        worstU = std::max({worstU, std::fabs(out.dispX[i] - u[0]), std::fabs(out.dispY[i] - u[1])});
        worstGradient = std::max({worstGradient, std::fabs(out.duDx[i] - gradient[0]),
                                  std::fabs(out.duDy[i] - gradient[1]), std::fabs(out.dvDx[i] - gradient[2]),
                                  std::fabs(out.dvDy[i] - gradient[3])});
    }
    EXPECT_LT(worstU, 0.01);
    EXPECT_LT(worstGradient, 1.5e-3);
}

TEST(SubpixelRefinement, MaskedCentreIsNaNInEveryFieldAndItsNeighboursAreNot) {
    SUBPIXEL_REQUIRE_DEVICE();
    const GridLayout grid(96, 96, 15, 8, 2);
    const testing::Image reference = wavePattern(96, 96), deformed = wavePattern(96, 96, 0.3, 0.2);
    std::vector<uint8_t> mask(96 * 96, 1);
    const int masked = grid.gridWidth + 2;
    mask[size_t(grid.y(masked)) * 96 + size_t(grid.x(masked))] = 0;
    const PixelDisplacementResult out = refine(grid, reference, deformed,
                                               grid.start(testing::translationField(0.3, 0.2)),
                                               refinement(1, true), mask.data(), 96, 96);
    for (const std::vector<float>* field : {&out.dispX, &out.dispY, &out.duDx, &out.duDy, &out.dvDx, &out.dvDy}) {
        EXPECT_TRUE(std::isnan((*field)[masked]));
        EXPECT_FALSE(std::isnan((*field)[masked + 1]));
        EXPECT_FALSE(std::isnan((*field)[masked - 1]));
    }
    EXPECT_NEAR(out.dispX[masked + 1], 0.3, 0.01);

    // Only the mask's own extent counts: a centre beyond its last row is measured.
    const int rows = int(grid.y(masked)) + 1;
    const PixelDisplacementResult partial = refine(grid, reference, deformed,
                                                   grid.start(testing::translationField(0.3, 0.2)),
                                                   refinement(1, true), mask.data(), 96, rows);
    EXPECT_TRUE(std::isnan(partial.dispX[masked]));
    EXPECT_FALSE(std::isnan(partial.dispX[grid.count() - 1]));
}

// Each iteration is one Gauss-Newton update from the current estimate: three
// iterations from the start equal one iteration from where two ended. One
// iteration from 0.4 px off is still moving: no measurement yet.
TEST(SubpixelRefinement, EachIterationIsOneGaussNewtonUpdate) {
    SUBPIXEL_REQUIRE_DEVICE();
    const GridLayout grid(96, 96, 21, 12, 2);
    testing::SpeckleOptions options;
    options.width = options.height = 96;
    const testing::ImagePair pair = testing::makeFourierShiftedPair(options, 0.4, -0.3);
    const PixelDisplacementResult start = grid.start(testing::translationField(0.0, 0.0));
    auto iterate = [&](const PixelDisplacementResult& from, int iterations) {
        return refine(grid, pair.reference, pair.deformed, from, refinement(1, false, iterations, 1e-9f));
    };
    const PixelDisplacementResult once = iterate(start, 1), twice = iterate(start, 2), thrice = iterate(start, 3);
    expectSameFields(thrice, iterate(twice, 1));
    for (int i = 0; i < grid.count(); ++i) {
        EXPECT_TRUE(std::isnan(once.dispX[i])) << "point " << i;
        // Two steps of a well-conditioned criterion land close to 0.4 px, the
        // third within the bicubic interpolation's bias.
        EXPECT_NEAR(twice.dispX[i], 0.4, 0.01);
        EXPECT_NEAR(thrice.dispX[i], 0.4, 0.003);
    }
}

TEST(SubpixelRefinement, FlatSubsetsKeepTheirStartAndZeroGradients) {
    SUBPIXEL_REQUIRE_DEVICE();
    const GridLayout grid(64, 64, 11, 8, 2);
    const testing::Image flat(64, 64, 90.0f);
    const PixelDisplacementResult start = grid.start(testing::translationField(1.0, -1.0));
    const PixelDisplacementResult out = refine(grid, flat, flat, start, refinement(1, true));
    for (int i = 0; i < grid.count(); ++i) {
        EXPECT_EQ(out.dispX[i], 1.0f);
        EXPECT_EQ(out.dispY[i], -1.0f);
        EXPECT_EQ(out.duDx[i], 0.0f);
        EXPECT_EQ(out.dvDy[i], 0.0f);
    }
}

// Points whose reference subset or its gradients hold a NaN stop at their
// start; their gradients must read 0 even though the device buffers last held
// another call's gradients.
TEST(SubpixelRefinement, PointsStoppedBeforeIteratingReportTheirStartWithZeroGradients) {
    SUBPIXEL_REQUIRE_DEVICE();
    const GridLayout grid(96, 96, 15, 16, 2);
    const auto field = testing::affineField({0.02, 0.01, -0.01, 0.015}, {48.0, 48.0}, {0.3, 0.2});
    testing::SpeckleOptions options;
    options.width = options.height = 96;
    const testing::ImagePair pair = testing::makeRenderedPair(options, field);
    const PixelDisplacementResult start = grid.start(field);
    const PixelDisplacementResult first = refine(grid, pair.reference, pair.deformed, start, refinement(1, true));
    ASSERT_NE(first.duDx[0], 0.0f);

    testing::Image spoiled = pair.reference;
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const int insideSubset = 0, besideSubset = 1;
    spoiled.at(int(grid.x(insideSubset)) + 3, int(grid.y(insideSubset)) - 2) = nan;
    // One column past the subset's right edge: only its x gradients see it.
    spoiled.at(int(grid.x(besideSubset)) + grid.params.windowSizeX / 2 + 1, int(grid.y(besideSubset))) = nan;
    const PixelDisplacementResult second = refine(grid, spoiled, pair.deformed, start, refinement(1, true));
    for (int i : {insideSubset, besideSubset}) {
        EXPECT_EQ(second.dispX[i], start.dispX[i]);
        EXPECT_EQ(second.dispY[i], start.dispY[i]);
        EXPECT_EQ(second.duDx[i], 0.0f);
        EXPECT_EQ(second.duDy[i], 0.0f);
        EXPECT_EQ(second.dvDx[i], 0.0f);
        EXPECT_EQ(second.dvDy[i], 0.0f);
    }
    EXPECT_EQ(second.duDx[3], first.duDx[3]);
}

// Samples beyond the border would read zeros and bias the point while it
// still looks valid: a point whose subset needs pixels outside is NaN, whether
// it starts there or an update carries it there (even the last one).
TEST(SubpixelRefinement, PointWhoseSubsetLeavesTheImageIsNaN) {
    SUBPIXEL_REQUIRE_DEVICE();
    const GridLayout grid(96, 96, 21, 8, 2);
    testing::SpeckleOptions options;
    options.width = options.height = 96;
    // The first grid column's subset starts at x = 2; moved 2.6 px left it needs x < 0.
    const testing::ImagePair pair = testing::makeFourierShiftedPair(options, -2.6, 0.0);
    for (int interpolation : {0, 1}) {
        const PixelDisplacementResult out = refine(grid, pair.reference, pair.deformed,
                                                   grid.start(testing::translationField(-2.6, 0.0)),
                                                   refinement(interpolation, true));
        for (int i = 0; i < grid.count(); ++i) {
            if (i % grid.gridWidth == 0) {
                EXPECT_TRUE(std::isnan(out.dispX[i]) && std::isnan(out.dispY[i]) && std::isnan(out.duDx[i]));
            } else {
                EXPECT_NEAR(out.dispX[i], -2.6, 0.02) << "point " << i;
            }
        }
    }
    // From -2 the subset starts exactly on x = 0, readable; its one update, a
    // settled step of 0.03 px, moves it out.
    const testing::ImagePair near = testing::makeFourierShiftedPair(options, -2.03, 0.0);
    const PixelDisplacementResult once = refine(grid, near.reference, near.deformed,
                                                grid.start(testing::translationField(-2.0, 0.0)),
                                                refinement(1, false, 1, 1e-9f));
    EXPECT_TRUE(std::isnan(once.dispX[0]));
    EXPECT_NEAR(once.dispX[1], -2.03, 0.01);
}

} // namespace
} // namespace tavro::subpixel_test
