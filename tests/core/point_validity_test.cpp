// Which refined points count as measurements: every right point of a noisy
// fine-speckle pair, no point whose integer search found a wrong peak or whose
// deformed texture is unrelated, in the continuous and the enriched engine.

#include <algorithm>
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "core/pixel_search.h"
#include "subpixel_test_support.h"

namespace tavro::subpixel_test {
namespace {

// An 8-bit pair of speckle with spots of the given radius (grey-level
// deviation about 20), each image with its own Gaussian noise.
testing::ImagePair eightBitPair(int size, double spotRadius, double noise, const testing::DisplacementField& u) {
    testing::SpeckleOptions options;
    options.width = options.height = size;
    options.seed = 7;
    options.spotRadius = spotRadius;
    const testing::ImagePair clean = testing::makeRenderedPair(options, u);
    auto eightBit = [&](const testing::Image& image, uint64_t seed) {
        const std::vector<uint8_t> grey = testing::quantize8(testing::addGaussianNoise(image, noise, seed));
        testing::Image out(size, size);
        std::copy(grey.begin(), grey.end(), out.pixels.begin());
        return out;
    };
    return {eightBit(clean.reference, 3), eightBit(clean.deformed, 4)};
}

// The integer search, then the refinement from it.
PixelDisplacementResult searchAndRefine(const GridLayout& grid, const testing::ImagePair& pair,
                                        const SubpixelParams& params) {
    PixelDisplacementResult start;
    std::string error;
    const ImageSource ref(pair.reference.pixels.data()), def(pair.deformed.pixels.data());
    EXPECT_TRUE(computePixelDisplacements(ref, def, grid.size, grid.params, start, error)) << error;
    return refine(grid, pair.reference, pair.deformed, start, params);
}

// Speckle of 2 to 3 px, noise of 3 grey levels, 11 and 15 px windows, the
// default 35 iterations to a tolerance that noise keeps many points from
// reaching: every point is measured (random errors of such pairs reach a
// quarter of a pixel at a few points; none is off by half a pixel).
TEST(PointValidity, NoisyFineSpecklePairsKeepEveryRightPoint) {
    SUBPIXEL_REQUIRE_DEVICE();
    const auto field = testing::affineField({0.01, -0.004, 0.006, 0.012}, {80.0, 80.0}, {0.37, -0.61});
    for (double spotRadius : {1.0, 1.5}) {
        const testing::ImagePair pair = eightBitPair(160, spotRadius, 3.0, field);
        for (int window : {11, 15}) {
            const GridLayout grid(160, 160, window, 4, 4);
            for (int interpolation : {1, 2}) {
                SCOPED_TRACE(::testing::Message() << "spots " << spotRadius << " px, window " << window
                                                << ", interpolation " << interpolation);
                const PixelDisplacementResult out = searchAndRefine(grid, pair, refinement(interpolation, true, 35, 1e-6f));
                for (int i = 0; i < grid.count(); ++i) {
                    const testing::Vec2 u = field(grid.x(i), grid.y(i));
                    ASSERT_LT(std::hypot(out.dispX[i] - u[0], out.dispY[i] - u[1]), 0.5) << "point " << i;
                }
            }
        }
    }
}

// A translation of 12.3 px against a search range of 8: the integer search
// lands on wrong peaks, from which the refinement either stays on a wrong
// match or slides out of its search area. No point is reported.
TEST(PointValidity, PointsOfAWrongIntegerPeakAreNaN) {
    SUBPIXEL_REQUIRE_DEVICE();
    const testing::ImagePair pair = eightBitPair(200, 1.0, 2.0, testing::translationField(12.3, -3.4));
    const GridLayout grid(200, 200, 21, 3, 8);
    for (bool affine : {true, false}) {
        SCOPED_TRACE(affine ? "affine" : "translation");
        const PixelDisplacementResult out = searchAndRefine(grid, pair, refinement(1, affine, 35, 1e-6f));
        for (int i = 0; i < grid.count(); ++i) ASSERT_TRUE(std::isnan(out.dispX[i])) << "point " << i << ": " << out.dispX[i];
    }
}

// A patch of the deformed image shows unrelated texture: the points whose
// subset lies in it are NaN, with or without the discontinuity engine, and the
// points whose subset stays clear of it are measured.
TEST(PointValidity, UnrelatedTextureGivesNaNInEitherEngine) {
    SUBPIXEL_REQUIRE_DEVICE();
    const auto field = testing::affineField({0.004, -0.002, 0.003, 0.001}, {64.0, 64.0}, {0.4, -0.3});
    testing::ImagePair pair = eightBitPair(128, 1.5, 1.0, field);
    const testing::ImagePair other = eightBitPair(128, 1.5, 1.0, testing::translationField(37.0, 23.0));
    const int x0 = 40, x1 = 90, y0 = 40, y1 = 90;
    for (int y = y0; y < y1; ++y)
        for (int x = x0; x < x1; ++x) pair.deformed.at(x, y) = other.deformed.at(x, y);
    const GridLayout grid(128, 128, 15, 4, 2);
    const int half = grid.params.windowSizeX / 2;
    for (bool heaviside : {false, true}) {
        SCOPED_TRACE(heaviside ? "discontinuity engine" : "continuous");
        SubpixelParams params = refinement(1, true, 30, 1e-4f);
        params.heaviside = heaviside;
        const PixelDisplacementResult out = refine(grid, pair.reference, pair.deformed, grid.start(field), params);
        for (int i = 0; i < grid.count(); ++i) {
            const double x = grid.x(i), y = grid.y(i);
            if (x - half >= x0 && x + half < x1 && y - half >= y0 && y + half < y1) {
                EXPECT_TRUE(std::isnan(out.dispX[i]) && std::isnan(out.duDx[i])) << "point " << i;
            } else if (x + half + 2 < x0 || x - half - 2 >= x1 || y + half + 2 < y0 || y - half - 2 >= y1) {
                EXPECT_NEAR(out.dispX[i], field(x, y)[0], 0.05) << "point " << i;
            }
        }
    }
}

// The same beyond-range translation on dense, clipped speckle of 2 px spots
// with the defaults of the window (window 21, step 5, range 5, 10 iterations):
// free to stretch and shear its subset, the refinement dressed wrong peaks up
// to the correlation threshold at 1 point in 260. Held to the search radius at
// the subset's corners too, only coincidental near-rigid matches remain.
TEST(PointValidity, ADistortedSubsetOfAWrongPeakIsNaN) {
    SUBPIXEL_REQUIRE_DEVICE();
    testing::SpeckleOptions options;
    options.width = options.height = 512;
    options.spotRadius = 2.0;
    options.coverage = 4;
    options.contrast = 255;
    const testing::ImagePair clean = testing::makeRenderedPair(options, testing::translationField(12.3, -1.72));
    const auto eightBit = [&](const testing::Image& image, uint64_t seed) {
        const std::vector<uint8_t> grey = testing::quantize8(testing::addGaussianNoise(image, 1.0, seed));
        testing::Image out(options.width, options.height);
        std::copy(grey.begin(), grey.end(), out.pixels.begin());
        return out;
    };
    const testing::ImagePair pair{eightBit(clean.reference, 3), eightBit(clean.deformed, 4)};
    const GridLayout grid(512, 512, 21, 5, 5);
    const PixelDisplacementResult out = searchAndRefine(grid, pair, refinement(1, true, 10, 1e-3f));
    int reported = 0;
    for (int i = 0; i < grid.count(); ++i) reported += std::isfinite(out.dispX[i]) ? 1 : 0;
    EXPECT_LE(reported, grid.count() / 5000) << reported << " wrong points reported of " << grid.count();
}

} // namespace
} // namespace tavro::subpixel_test

