#include "heights/out_of_plane.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <vector>

#include "support/synthetic_images.h"

namespace {

using tavro::HeightEngineResult;
using tavro::testing::DisplacementField;
using tavro::testing::Vec2;
using Surface = std::function<double(double X, double Y)>;

constexpr int kSize = 96;
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// A surface s measured before the in-plane motion u and, after it, raised by w:
// the deformed map shows s(X) + w(X) at x = X + u(X).
struct Scene {
    std::vector<float> h0, h1, ux, uy;
    std::vector<double> truth;  // w(X(x)) per deformed pixel, NaN where X leaves the map
};

Scene makeScene(const Surface& s, const DisplacementField& u, const Surface& w) {
    Scene scene;
    const size_t n = size_t(kSize) * kSize;
    scene.h0.resize(n);
    scene.h1.resize(n);
    scene.ux.resize(n);
    scene.uy.resize(n);
    scene.truth.resize(n);
    for (int y = 0; y < kSize; ++y)
        for (int x = 0; x < kSize; ++x) {
            const size_t i = size_t(y) * kSize + x;
            scene.h0[i] = float(s(x, y));
            const Vec2 d = u(x, y);
            scene.ux[i] = float(d[0]);
            scene.uy[i] = float(d[1]);
            const Vec2 X = tavro::testing::inverseMap(u, x, y);
            scene.h1[i] = float(s(X[0], X[1]) + w(X[0], X[1]));
            const bool inside = X[0] >= 0 && X[1] >= 0 && X[0] <= kSize - 1 && X[1] <= kSize - 1;
            scene.truth[i] = inside ? w(X[0], X[1]) : std::nan("");
        }
    return scene;
}

HeightEngineResult run(const Scene& scene) {
    HeightEngineResult out;
    EXPECT_TRUE(tavro::computeOutOfPlaneGpu(scene.h0.data(), scene.h1.data(), scene.ux.data(), scene.uy.data(),
                                            {kSize, kSize}, &out))
        << out.error;
    return out;
}

// Away from the border by `margin` pixels the recovered u_z matches w within
// `tolerance`; where X falls outside the map u_z is NaN.
void expectRecovered(const Scene& scene, const HeightEngineResult& out, int margin, double tolerance) {
    ASSERT_EQ(out.uz.size(), scene.truth.size());
    int checked = 0;
    for (int y = 0; y < kSize; ++y)
        for (int x = 0; x < kSize; ++x) {
            const size_t i = size_t(y) * kSize + x;
            if (std::isnan(scene.truth[i])) {
                EXPECT_TRUE(std::isnan(out.uz[i])) << "x=" << x << " y=" << y;
                continue;
            }
            if (x < margin || y < margin || x >= kSize - margin || y >= kSize - margin) continue;
            ASSERT_NEAR(out.uz[i], scene.truth[i], tolerance) << "x=" << x << " y=" << y;
            ++checked;
        }
    EXPECT_GT(checked, kSize * kSize / 2);
}

TEST(OutOfPlane, TiltedPlaneUnderTranslationGivesTheUniformRise) {
    const Surface plane = [](double X, double Y) { return 0.05 * X - 0.03 * Y + 2.0; };
    const Scene scene = makeScene(plane, tavro::testing::translationField(2.5, -1.25),
                                  [](double, double) { return 0.7; });
    const HeightEngineResult out = run(scene);
    expectRecovered(scene, out, 4, 1e-3);
    // The first columns come from X < 0 and the last rows from Y > 95.
    EXPECT_TRUE(std::isnan(out.uz[size_t(10) * kSize + 1]));
    EXPECT_TRUE(std::isnan(out.uz[size_t(kSize - 1) * kSize + 40]));
    EXPECT_NEAR(out.minUz, 0.7, 1e-3);
    EXPECT_NEAR(out.maxUz, 0.7, 1e-3);
    EXPECT_EQ(out.width, kSize);
    EXPECT_EQ(out.height, kSize);
}

TEST(OutOfPlane, GaussianBumpUnderAffineFieldGivesTheVaryingRise) {
    const Surface bump = [](double X, double Y) {
        const double dx = X - 45.0, dy = Y - 50.0;
        return 5.0 * std::exp(-(dx * dx + dy * dy) / (2.0 * 12.0 * 12.0));
    };
    const DisplacementField affine =
        tavro::testing::affineField({0.012, 0.005, -0.004, 0.009}, {48.0, 48.0}, {1.3, 0.6});
    const Surface rise = [](double X, double Y) { return 0.2 + 0.004 * X - 0.002 * Y; };
    const Scene scene = makeScene(bump, affine, rise);
    const HeightEngineResult out = run(scene);
    expectRecovered(scene, out, 4, 1e-3);
    // The reference surface carried to the deformed frame is h1 less the rise.
    const size_t centre = size_t(48) * kSize + 48;
    EXPECT_NEAR(out.deformedH0[centre], scene.h1[centre] - scene.truth[centre], 1e-3);
}

TEST(OutOfPlane, MissingHeightCostsOnlyTheCellsThatTouchIt) {
    const Surface plane = [](double X, double Y) { return 0.1 * X + 0.2 * Y; };
    Scene scene = makeScene(plane, tavro::testing::translationField(0.5, 0.0), [](double, double) { return 1.0; });
    scene.h0[size_t(40) * kSize + 40] = kNaN;
    const HeightEngineResult out = run(scene);
    // x = 40.5 + 0.5 ... : X = x - 0.5 lies in the cells on either side of (40, 40).
    EXPECT_TRUE(std::isnan(out.uz[size_t(40) * kSize + 40]));
    EXPECT_TRUE(std::isnan(out.uz[size_t(40) * kSize + 41]));
    // Next to it the bilinear fallback stays exact on a plane.
    EXPECT_NEAR(out.uz[size_t(41) * kSize + 41], 1.0, 1e-4);
    EXPECT_NEAR(out.uz[size_t(40) * kSize + 42], 1.0, 1e-4);
    EXPECT_NEAR(out.uz[size_t(39) * kSize + 40], 1.0, 1e-4);
    EXPECT_NEAR(out.minUz, 1.0, 1e-4);
}

TEST(OutOfPlane, FoldingFieldDoesNotSettleAndGivesNaN) {
    // |du/dx| > 1: the fixed-point iteration diverges instead of inventing a point.
    const Surface flat = [](double, double) { return 0.0; };
    Scene scene = makeScene(flat, tavro::testing::translationField(0.0, 0.0), [](double, double) { return 0.0; });
    for (int y = 0; y < kSize; ++y)
        for (int x = 0; x < kSize; ++x) scene.ux[size_t(y) * kSize + x] = float(-1.5 * (x - 48.0));
    const HeightEngineResult out = run(scene);
    for (int x = 40; x < 56; ++x) {
        if (x == 48) continue;
        EXPECT_TRUE(std::isnan(out.uz[size_t(48) * kSize + x])) << x;
    }
    // Where nothing moves, the point is its own solution.
    EXPECT_FLOAT_EQ(out.uz[size_t(48) * kSize + 48], 0.0f);
}

TEST(OutOfPlane, NoFiniteValueGivesZeroRangeAndMissingInputsAreRefused) {
    std::vector<float> nan(16, kNaN), zero(16, 0.0f);
    HeightEngineResult out;
    ASSERT_TRUE(tavro::computeOutOfPlaneGpu(zero.data(), zero.data(), nan.data(), zero.data(), {4, 4}, &out));
    EXPECT_EQ(out.minUz, 0.0f);
    EXPECT_EQ(out.maxUz, 0.0f);
    EXPECT_TRUE(std::isnan(out.uz[5]));

    EXPECT_FALSE(tavro::computeOutOfPlaneGpu(zero.data(), nullptr, zero.data(), zero.data(), {4, 4}, &out));
    EXPECT_FALSE(out.error.empty());
    EXPECT_FALSE(tavro::computeOutOfPlaneGpu(zero.data(), zero.data(), zero.data(), zero.data(), {0, 4}, &out));
    EXPECT_FALSE(out.error.empty());
    EXPECT_TRUE(out.uz.empty());
}

} // namespace
