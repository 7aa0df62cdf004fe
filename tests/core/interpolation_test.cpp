// Interpolation of a texture at fractional positions, read on the CPU device.

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#if !defined(TAVRO_USE_CUDA)

#include "core/bspline_prefilter.h"
#include "core/interpolation.h"
#include "gpu/runtime.h"
#include "support/device_objects.h"

namespace tavro {
namespace {

// A point-filtered, clamp-addressed texture, as the driver makes.
class Texture : public testing::ArrayTexture {
public:
    Texture(const std::vector<float>& texels, int width, int height)
        : ArrayTexture(texels, width, height), width_(width), height_(height) {}
    detail::TextureSampler sampler() const { return detail::TextureSampler(get(), width_, height_); }

private:
    int width_;
    int height_;
};

std::vector<float> randomTexels(int count, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> grey(0.0f, 255.0f);
    std::vector<float> texels(static_cast<size_t>(count));
    for (float& v : texels) v = grey(rng);
    return texels;
}

// The centred B-splines of degree 3 and 4 by their piecewise definitions.
double cubicBSpline(double s) {
    const double a = std::fabs(s);
    return a < 1.0 ? 2.0 / 3.0 - a * a + a * a * a / 2.0 : a < 2.0 ? (2.0 - a) * (2.0 - a) * (2.0 - a) / 6.0 : 0.0;
}
double quarticBSpline(double s) {
    const double a = std::fabs(s);
    if (a < 0.5) return (115.0 - 120.0 * a * a + 48.0 * a * a * a * a) / 192.0;
    if (a < 1.5) return (55.0 + 20.0 * a - 120.0 * a * a + 80.0 * a * a * a - 16.0 * a * a * a * a) / 96.0;
    return a < 2.5 ? std::pow(2.5 - a, 4) / 24.0 : 0.0;
}

// A unit coefficient at one tap gives that tap's weight: the B-splines'
// weights are their kernels, and the Lagrange cubic reproduces any cubic.
TEST(Interpolation, OneDimensionalWeightsAreTheDefiningKernels) {
    for (double t = 0.0; t < 1.0; t += 1.0 / 16.0) {
        const float tf = float(t);
        EXPECT_NEAR(bsplineCubic1D(1, 0, 0, 0, tf), cubicBSpline(t + 1.0), 1e-7) << t;
        EXPECT_NEAR(bsplineCubic1D(0, 1, 0, 0, tf), cubicBSpline(t), 1e-7) << t;
        EXPECT_NEAR(bsplineCubic1D(0, 0, 1, 0, tf), cubicBSpline(t - 1.0), 1e-7) << t;
        EXPECT_NEAR(bsplineCubic1D(0, 0, 0, 1, tf), cubicBSpline(t - 2.0), 1e-7) << t;
        auto cubic = [](double x) { return 3.0 - 2.0 * x + 0.5 * x * x - 0.25 * x * x * x; };
        EXPECT_NEAR(cubicInterpolate(float(cubic(-1)), float(cubic(0)), float(cubic(1)), float(cubic(2)), tf),
                    cubic(t), 2e-6)
            << t;
        const double q = t - 0.5;
        float unit[5] = {0, 0, 0, 0, 0};
        for (int i = 0; i < 5; ++i) {
            unit[i] = 1.0f;
            EXPECT_NEAR(bsplineQuartic1D(unit[0], unit[1], unit[2], unit[3], unit[4], float(q)),
                        quarticBSpline(q - (i - 2)), 1e-7)
                << "tap " << i << " at " << q;
            unit[i] = 0.0f;
        }
    }
}

// The kernel sums the weighted taps down columns first; the result is the
// tensor product the defining one-dimensional functions give along rows first.
TEST(Interpolation, EveryKindEvaluatesItsDefiningPolynomials) {
    const int w = 16, h = 12;
    const std::vector<float> p = randomTexels(w * h, 3);
    const Texture texture(p, w, h);
    const detail::TextureSampler image = texture.sampler();
    auto px = [&](int i, int j) { return p[size_t(j) * w + size_t(i)]; };
    const float x = 6.37f, y = 4.81f;
    const int x0 = 6, y0 = 4;
    const float tx = x - float(x0), ty = y - float(y0);

    const float top = px(x0, y0) + tx * (px(x0 + 1, y0) - px(x0, y0));
    const float bottom = px(x0, y0 + 1) + tx * (px(x0 + 1, y0 + 1) - px(x0, y0 + 1));
    EXPECT_EQ(interpolateValue(image, x, y, 0), top + ty * (bottom - top));

    float lagrange[4], cubic[4], quartic[5];
    for (int j = 0; j < 4; ++j) {
        const int r = y0 - 1 + j;
        lagrange[j] = cubicInterpolate(px(x0 - 1, r), px(x0, r), px(x0 + 1, r), px(x0 + 2, r), tx);
        cubic[j] = bsplineCubic1D(px(x0 - 1, r), px(x0, r), px(x0 + 1, r), px(x0 + 2, r), tx);
    }
    // The quartic taps centre on the nearest integers, (6, 5): t = 0.37 and -0.19.
    for (int j = 0; j < 5; ++j) {
        const int r = 5 - 2 + j;
        quartic[j] = bsplineQuartic1D(px(4, r), px(5, r), px(6, r), px(7, r), px(8, r), x - 6.0f);
    }
    const float scale = 255.0f;
    EXPECT_NEAR(interpolateValue(image, x, y, 1),
                cubicInterpolate(lagrange[0], lagrange[1], lagrange[2], lagrange[3], ty), 2e-6f * scale);
    EXPECT_NEAR(interpolateValue(image, x, y, 2), bsplineCubic1D(cubic[0], cubic[1], cubic[2], cubic[3], ty),
                2e-6f * scale);
    EXPECT_NEAR(interpolateValue(image, x, y, 3),
                bsplineQuartic1D(quartic[0], quartic[1], quartic[2], quartic[3], quartic[4], y - 5.0f),
                2e-6f * scale);
}

// Coefficients of a constant reproduce it wherever the five taps are centred:
// the weights sum to one on both sides of every half pixel, and the
// interpolant is continuous across integers.
TEST(Interpolation, QuarticBSplineOfAConstantIsThatConstantEverywhere) {
    const Texture texture(std::vector<float>(16 * 16, 7.0f), 16, 16);
    for (float x = 5.0f; x < 7.0f; x += 0.0625f) {
        EXPECT_NEAR(interpolateValue(texture.sampler(), x, 8.3f, 3), 7.0f, 1e-5f) << x;
        EXPECT_NEAR(interpolateValue(texture.sampler(), 8.3f, x, 3), 7.0f, 1e-5f) << x;
    }
    const std::vector<float> p = randomTexels(16 * 16, 5);
    const Texture random(p, 16, 16);
    for (float x : {6.0f, 6.5f, 7.0f}) {
        const float before = interpolateValue(random.sampler(), std::nextafter(x, 0.0f), 8.0f, 3);
        const float after = interpolateValue(random.sampler(), x, 8.0f, 3);
        EXPECT_NEAR(before, after, 1e-3f) << x;
    }
}

// Taps with weight outside the image read 0; the caller learns of it. A tap
// whose weight is exactly zero (at a whole-pixel position) does not count.
TEST(Interpolation, TapsOutsideTheImageReadZeroAndAreReported) {
    const int w = 10, h = 10;
    const Texture texture(std::vector<float>(size_t(w * h), 50.0f), w, h);
    const detail::TextureSampler image = texture.sampler();
    struct Case {
        int kind;
        float x;
        bool leaves;
    };
    const Case cases[] = {
        {0, 0.0f, false}, {0, 8.5f, false}, {0, 9.0f, false}, {0, 9.25f, true}, {0, -0.25f, true},
        {1, 0.0f, false}, {1, 0.5f, true},  {1, 1.0f, false}, {1, 8.0f, false}, {1, 8.5f, true},
        {2, 0.0f, true},  {2, 1.0f, false}, {2, 8.0f, false}, {2, 8.5f, true},  {3, 2.0f, false},
        {3, 1.4f, true},  {3, 7.4f, false}, {3, 7.6f, true},
    };
    for (const Case& c : cases) {
        bool leaves = !c.leaves;
        const float value = interpolateValue(image, c.x, 5.0f, c.kind, leaves);
        EXPECT_EQ(leaves, c.leaves) << "kind " << c.kind << " at " << c.x;
        EXPECT_EQ(detail::readsOutside(c.x, 5.0f, w, h, c.kind), c.leaves) << "kind " << c.kind << " at " << c.x;
        if (!c.leaves) {
            EXPECT_NEAR(value, 50.0f, 1e-3f);
        }
    }
    bool leaves = false;
    EXPECT_EQ(interpolateValue(image, std::nanf(""), 5.0f, 1, leaves), 0.0f);
    EXPECT_TRUE(leaves);
}

TEST(Interpolation, CheckedAndUncheckedReadsAgreeInside) {
    const int w = 24, h = 20;
    const std::vector<float> p = randomTexels(w * h, 6);
    const Texture texture(p, w, h);
    const detail::TextureSampler image = texture.sampler();
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> pos(2.0f, 15.9f);
    for (int n = 0; n < 200; ++n) {
        const float x = pos(rng), y = pos(rng);
        bool leaves = true;
        EXPECT_EQ(interpolateAs<0>(image, x, y, leaves), interpolateInside<0>(image, x, y));
        EXPECT_EQ(interpolateAs<1>(image, x, y, leaves), interpolateInside<1>(image, x, y));
        EXPECT_EQ(interpolateAs<2>(image, x, y, leaves), interpolateInside<2>(image, x, y));
        EXPECT_EQ(interpolateAs<3>(image, x, y, leaves), interpolateInside<3>(image, x, y));
        EXPECT_FALSE(leaves);
    }
}

#if !TAVRO_GENERIC_KERNEL
// The CPU's four-position path gives each lane the scalar path's value.
TEST(Interpolation, FourPositionsAtOnceEqualOneAtATime) {
    const int w = 24, h = 20;
    const Texture texture(randomTexels(w * h, 8), w, h);
    const detail::TextureSampler image = texture.sampler();
    std::mt19937 rng(9);
    std::uniform_real_distribution<float> pos(2.0f, 15.9f);
    for (int n = 0; n < 100; ++n) {
        const FloatLanes x = {pos(rng), pos(rng), pos(rng), 7.5f}, y = {pos(rng), pos(rng), 4.5f, pos(rng)};
        const FloatLanes values[] = {interpolateInside4<0>(image, x, y), interpolateInside4<1>(image, x, y),
                                     interpolateInside4<2>(image, x, y), interpolateInside4<3>(image, x, y)};
        for (int lane = 0; lane < 4; ++lane) {
            EXPECT_EQ(values[0][lane], interpolateInside<0>(image, x[lane], y[lane]));
            EXPECT_EQ(values[1][lane], interpolateInside<1>(image, x[lane], y[lane]));
            EXPECT_EQ(values[2][lane], interpolateInside<2>(image, x[lane], y[lane]));
            EXPECT_EQ(values[3][lane], interpolateInside<3>(image, x[lane], y[lane]));
        }
    }
}
#endif

// Between pixels the taps average the noise of several: what share of white
// noise's variance a value keeps there is measured on a noise image,
// prefiltered for the B-spline kinds, whose coefficients then carry
// correlated noise.
TEST(Interpolation, NoiseGainIsTheShareOfWhiteNoiseAValueKeeps) {
    const int size = 240;
    std::mt19937 rng(12);
    std::normal_distribution<float> noise(0.0f, 1.0f);
    std::vector<float> white(size * size);
    for (float& v : white) v = noise(rng);
    const auto gainOf = [](int kind, float x, float y) {
        switch (kind) {
        case 0: return detail::noiseGain<0>(x, y);
        case 1: return detail::noiseGain<1>(x, y);
        case 2: return detail::noiseGain<2>(x, y);
        default: return detail::noiseGain<3>(x, y);
        }
    };
    for (int kind = 0; kind < 4; ++kind) {
        std::vector<float> texels = white;
        prefilterForInterpolation(kind, texels.data(), size, size);
        const Texture texture(texels, size, size);
        const auto varianceAt = [&](float tx, float ty) {
            double sum = 0.0, squares = 0.0;
            int n = 0;
            for (int y = 8; y < size - 8; y += 2)
                for (int x = 8; x < size - 8; x += 2) {
                    const double v = interpolateValue(texture.sampler(), float(x) + tx, float(y) + ty, kind);
                    sum += v;
                    squares += v * v;
                    ++n;
                }
            return squares / n - (sum / n) * (sum / n);
        };
        // The prefilter scales the coefficients once over: shares of the variance at whole pixels.
        const double whole = varianceAt(0.0f, 0.0f);
        for (float tx : {0.25f, 0.5f, 0.75f})
            for (float ty : {0.0f, 0.5f})
                EXPECT_NEAR(varianceAt(tx, ty) / whole, gainOf(kind, 100.0f + tx, 37.0f + ty), 0.03)
                    << kind << " " << tx << " " << ty;
        EXPECT_NEAR(gainOf(kind, 3.0f, -4.0f), 1.0f, 1e-5f) << kind;
    }
    EXPECT_FLOAT_EQ(detail::noiseGain<0>(2.5f, 7.5f), 0.25f);
}

} // namespace
} // namespace tavro

#endif
