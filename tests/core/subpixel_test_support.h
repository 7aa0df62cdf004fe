#pragma once
// Shared by the sub-pixel refinement tests: grid layouts with their
// whole-pixel starts, refinement runs and field comparisons.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/pixel_search.h"
#include "core/results.h"
#include "core/subpixel_search.h"
#include "support/engine_environment.h"
#include "support/synthetic_images.h"

namespace tavro::subpixel_test {

using testing::haveDevice;
using testing::LogCapture;
using testing::ScopedEnv;
#if !defined(TAVRO_USE_CUDA)
using testing::ScopedCpuDevice;
#endif

#define SUBPIXEL_REQUIRE_DEVICE() TAVRO_REQUIRE_DEVICE()

// The grid of the pixel search over an image: window, step and reach give
// the margins and the grid size, as the refinement recomputes them.
struct GridLayout {
    PixelSearchParams params;
    ImageSize size;
    int gridWidth = 0;
    int gridHeight = 0;
    int marginX = 0;
    int marginY = 0;

    GridLayout(int width, int height, int window, int step, int reach)
        : GridLayout(width, height, window, window, step, reach) {}
    GridLayout(int width, int height, int windowX, int windowY, int step, int reach) {
        params.windowSizeX = windowX;
        params.windowSizeY = windowY;
        params.stepX = params.stepY = step;
        params.maxU = params.maxV = reach;
        params.searchUp = params.searchDown = params.searchLeft = params.searchRight = reach;
        size = {width, height};
        marginX = windowX / 2 + reach;
        marginY = windowY / 2 + reach;
        gridWidth = (width - 2 * marginX + step - 1) / step;
        gridHeight = (height - 2 * marginY + step - 1) / step;
    }

    int count() const { return gridWidth * gridHeight; }
    double x(int i) const { return marginX + (i % gridWidth) * params.stepX; }
    double y(int i) const { return marginY + (i / gridWidth) * params.stepY; }

    // What the integer-pixel search would find: the true displacement rounded.
    PixelDisplacementResult start(const testing::DisplacementField& u) const {
        PixelDisplacementResult r;
        r.gridWidth = gridWidth;
        r.gridHeight = gridHeight;
        for (int i = 0; i < count(); ++i) {
            const testing::Vec2 d = u(x(i), y(i));
            r.dispX.push_back(static_cast<float>(std::lround(d[0])));
            r.dispY.push_back(static_cast<float>(std::lround(d[1])));
        }
        return r;
    }
};

// A smooth, richly textured pattern seen through a translation: the deformed
// image at x shows the pattern at x - (ux, uy). Cheap at any size, for tests
// that compare paths rather than measure accuracy.
inline testing::Image wavePattern(int width, int height, double ux = 0.0, double uy = 0.0) {
    testing::Image image(width, height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const double X = x - ux, Y = y - uy;
            image.at(x, y) = static_cast<float>(100.0 + 30.0 * std::sin(0.9 * X + 0.4 * Y) +
                                                25.0 * std::sin(0.35 * X - 1.1 * Y + 1.0) +
                                                20.0 * std::cos(1.3 * X + 0.8 * Y) +
                                                15.0 * std::sin(0.5 * X) * std::cos(0.7 * Y));
        }
    return image;
}

inline SubpixelParams refinement(int interpolation, bool affine, int maxIterations = 20, float tolerance = 1e-4f) {
    SubpixelParams p;
    p.interpolation = interpolation;
    p.affine = affine;
    p.maxIterations = maxIterations;
    p.convergenceTolerance = tolerance;
    return p;
}

// The whole grid from a host start, failing the test on an error.
inline PixelDisplacementResult refine(const GridLayout& grid, const testing::Image& reference,
                                      const testing::Image& deformed, const PixelDisplacementResult& start,
                                      const SubpixelParams& params, const uint8_t* mask = nullptr, int maskStride = 0,
                                      int maskRows = 0) {
    PixelDisplacementResult out;
    std::string error;
    const ImageSource ref(reference.pixels.data()), def(deformed.pixels.data());
    EXPECT_TRUE(computeSubpixelDisplacements(ref, def, grid.size, grid.params, start, params, out, error, {}, mask,
                                             maskStride, maskRows, 0, -1))
        << error;
    return out;
}

// Equal field by field (NaN matching NaN); `tolerance` 0 asks for equal bits.
inline void expectSameFields(const PixelDisplacementResult& a, const PixelDisplacementResult& b,
                             double tolerance = 0.0) {
    EXPECT_EQ(a.gridWidth, b.gridWidth);
    EXPECT_EQ(a.gridHeight, b.gridHeight);
    const std::vector<float> PixelDisplacementResult::*fields[] = {
        &PixelDisplacementResult::dispX, &PixelDisplacementResult::dispY, &PixelDisplacementResult::duDx,
        &PixelDisplacementResult::duDy,  &PixelDisplacementResult::dvDx,  &PixelDisplacementResult::dvDy};
    for (auto field : fields) {
        const std::vector<float>& x = a.*field;
        const std::vector<float>& y = b.*field;
        ASSERT_EQ(x.size(), y.size());
        for (size_t i = 0; i < x.size(); ++i) {
            if (std::isnan(x[i]) || std::isnan(y[i])) {
                ASSERT_TRUE(std::isnan(x[i]) && std::isnan(y[i])) << "point " << i;
            } else if (tolerance == 0.0) {
                ASSERT_EQ(x[i], y[i]) << "point " << i;
            } else {
                ASSERT_NEAR(x[i], y[i], tolerance) << "point " << i;
            }
        }
    }
}

} // namespace tavro::subpixel_test
