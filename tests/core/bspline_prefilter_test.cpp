// B-spline coefficients from the host prefilters, against a direct solution of
// the interpolation conditions with mirror boundaries.

#include "core/bspline_prefilter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

namespace tavro {
namespace {

// The coefficients c of a line s whose B-spline, sampled with `kernel`
// (symmetric, centre first) at the integers, gives s back; coefficients beyond
// the ends mirror those inside (c[-k] = c[k]). Dense Gaussian elimination.
std::vector<double> solveLine(const std::vector<double>& s, const std::vector<double>& kernel) {
    const int n = int(s.size());
    std::vector<std::vector<double>> a(size_t(n), std::vector<double>(size_t(n) + 1, 0.0));
    auto mirror = [n](int i) {
        while (i < 0 || i >= n) i = i < 0 ? -i : 2 * (n - 1) - i;
        return i;
    };
    for (int i = 0; i < n; ++i) {
        for (int k = -int(kernel.size()) + 1; k < int(kernel.size()); ++k) a[i][mirror(i + k)] += kernel[size_t(std::abs(k))];
        a[i][n] = s[size_t(i)];
    }
    for (int col = 0; col < n; ++col) {
        int pivot = col;
        for (int r = col + 1; r < n; ++r)
            if (std::fabs(a[r][col]) > std::fabs(a[pivot][col])) pivot = r;
        std::swap(a[col], a[pivot]);
        for (int r = 0; r < n; ++r) {
            if (r == col) continue;
            const double f = a[r][col] / a[col][col];
            for (int c = col; c <= n; ++c) a[r][c] -= f * a[col][c];
        }
    }
    std::vector<double> c(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) c[size_t(i)] = a[i][n] / a[i][i];
    return c;
}

// Rows, then columns.
std::vector<double> solveImage(const std::vector<float>& image, int w, int h, const std::vector<double>& kernel) {
    std::vector<double> c(image.begin(), image.end());
    for (int y = 0; y < h; ++y) {
        std::vector<double> line(c.begin() + y * w, c.begin() + (y + 1) * w);
        line = solveLine(line, kernel);
        std::copy(line.begin(), line.end(), c.begin() + y * w);
    }
    for (int x = 0; x < w; ++x) {
        std::vector<double> line(static_cast<size_t>(h));
        for (int y = 0; y < h; ++y) line[size_t(y)] = c[size_t(y * w + x)];
        line = solveLine(line, kernel);
        for (int y = 0; y < h; ++y) c[size_t(y * w + x)] = line[size_t(y)];
    }
    return c;
}

std::vector<float> randomImage(int w, int h, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> grey(0.0f, 255.0f);
    std::vector<float> image(static_cast<size_t>(w * h));
    for (float& v : image) v = grey(rng);
    return image;
}

// The gain is applied once for both axes, so the coefficients are the exact
// ones times gain / (one-axis gain)^2: 6 / 36 for the cubic, 576 / 384^2 for
// the quartic. Lines longer than the causal horizon make the start exact to
// float precision, borders included.
TEST(BSplinePrefilter, CoefficientsSolveTheInterpolationConditions) {
    const int w = 23, h = 17;
    std::vector<float> cubic = randomImage(w, h, 1), quartic = randomImage(w, h, 2);
    const std::vector<double> cubicExact = solveImage(cubic, w, h, {4.0 / 6.0, 1.0 / 6.0});
    const std::vector<double> quarticExact = solveImage(quartic, w, h, {230.0 / 384.0, 76.0 / 384.0, 1.0 / 384.0});
    prefilterCubicBSpline(cubic.data(), w, h);
    prefilterQuarticBSpline(quartic.data(), w, h);
    for (size_t i = 0; i < cubic.size(); ++i) {
        EXPECT_NEAR(cubic[i], cubicExact[i] / 6.0, 1e-4) << i;
        EXPECT_NEAR(quartic[i], quarticExact[i] / 256.0, 1e-4) << i;
    }
}

// With the start summed once per term, a constant line stays constant up to
// its very first sample (a doubled sum would put the border 27 % off); what
// remains is the float rounding of the poles, a few parts in a million.
TEST(BSplinePrefilter, ConstantImageBecomesOneConstantUpToTheBorders) {
    std::vector<float> cubic(32 * 20, 120.0f), quartic(32 * 20, 120.0f);
    prefilterCubicBSpline(cubic.data(), 32, 20);
    prefilterQuarticBSpline(quartic.data(), 32, 20);
    const float cubicValue = 120.0f / 6.0f, quarticValue = 120.0f / 256.0f;
    for (size_t i = 0; i < cubic.size(); ++i) {
        EXPECT_NEAR(cubic[i], cubicValue, 1e-5f * cubicValue) << i;
        EXPECT_NEAR(quartic[i], quarticValue, 1e-5f * quarticValue) << i;
    }
}

TEST(BSplinePrefilter, CausalPassStartsFromTheMirrorSumOverItsHorizon) {
    const float z = -0.2679492f;
    std::vector<float> line(30);
    for (size_t i = 0; i < line.size(); ++i) line[i] = float(i % 7) - 2.5f;
    // Every second sample, as a column of an image two samples wide.
    std::vector<float> strided(60, 99.0f);
    for (size_t i = 0; i < line.size(); ++i) strided[2 * i] = line[i];
    double start = 0.0;
    for (int k = 0; k < 11; ++k) start += std::pow(double(z), k) * line[size_t(k)];
    std::vector<double> expected(line.size());
    expected[0] = start;
    for (size_t i = 1; i < line.size(); ++i) expected[i] = line[i] + z * expected[i - 1];

    bsplineCausalPass(line.data(), int(line.size()), 1, z);
    bsplineCausalPass(strided.data(), 30, 2, z);
    for (size_t i = 0; i < line.size(); ++i) {
        EXPECT_NEAR(line[i], expected[i], 1e-5) << i;
        EXPECT_EQ(strided[2 * i], line[i]) << i;
        EXPECT_EQ(strided[2 * i + 1], 99.0f) << i;
    }
}

TEST(BSplinePrefilter, ImagesWithASingleRowOrColumnAreLeftUntouched) {
    for (auto [w, h] : {std::pair{1, 9}, std::pair{9, 1}}) {
        std::vector<float> image = randomImage(w, h, 3), copy = image;
        prefilterCubicBSpline(image.data(), w, h);
        prefilterQuarticBSpline(image.data(), w, h);
        EXPECT_EQ(image, copy);
    }
    prefilterCubicBSpline(nullptr, 8, 8);
    prefilterQuarticBSpline(nullptr, 8, 8);
    std::vector<float> one{5.0f};
    bsplineCausalPass(one.data(), 1, 1, -0.5f);
    EXPECT_EQ(one[0], 5.0f);
}

} // namespace
} // namespace tavro
