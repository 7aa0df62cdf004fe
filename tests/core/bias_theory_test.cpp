// The cubic B-spline's systematic error against the fractional shift, measured
// by the engine and predicted by a double-precision model of the same
// estimator: the fixed point of inverse-compositional Gauss-Newton with the
// exact prefiltered B-spline interpolant and two-point central-difference
// reference gradients. Both see the same images, so noise cancels between
// them and only a fault of the engine's interpolation or iteration remains.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

#include "subpixel_test_support.h"

namespace tavro {
namespace {

using subpixel_test::GridLayout;

constexpr int kSize = 128;
constexpr int kWindow = 21;
constexpr int kStep = 4;
constexpr int kReach = 2;
constexpr double kSigma = 1.5;
constexpr double kNoise = 1.0;

struct Plane {
    int width = 0;
    int height = 0;
    std::vector<double> v;
    double at(int x, int y) const { return v[size_t(y) * size_t(width) + size_t(x)]; }
};

// The mirror-boundary cubic B-spline coefficients of one line: the exact
// inverse of the (1, 4, 1) / 6 sampling, by the two recursions of pole
// z = sqrt(3) - 2 with initial values summed over the whole line.
void prefilterLine(double* c, int n, int stride) {
    const double z = std::sqrt(3.0) - 2.0;
    const auto at = [&](int i) -> double& { return c[ptrdiff_t(i) * stride]; };
    for (int i = 0; i < n; ++i) at(i) *= 6.0;
    double sum = at(0), power = z;
    for (int k = 1; k < n; ++k, power *= z) sum += power * at(k);
    for (int k = n - 2; k >= 1; --k, power *= z) sum += power * at(k);
    at(0) = sum / (1.0 - power);
    for (int i = 1; i < n; ++i) at(i) += z * at(i - 1);
    at(n - 1) = z / (z * z - 1.0) * (at(n - 1) + z * at(n - 2));
    for (int i = n - 2; i >= 0; --i) at(i) = z * (at(i + 1) - at(i));
}

Plane coefficients(const std::vector<float>& image, int width, int height) {
    Plane c{width, height, std::vector<double>(image.begin(), image.end())};
    for (int y = 0; y < height; ++y) prefilterLine(c.v.data() + size_t(y) * width, width, 1);
    for (int x = 0; x < width; ++x) prefilterLine(c.v.data() + x, height, width);
    return c;
}

double cubicBSpline(double s) {
    const double a = std::fabs(s);
    if (a < 1.0) return 2.0 / 3.0 - a * a + 0.5 * a * a * a;
    if (a < 2.0) return (2.0 - a) * (2.0 - a) * (2.0 - a) / 6.0;
    return 0.0;
}

double interpolate(const Plane& c, double x, double y) {
    const int x0 = int(std::floor(x)), y0 = int(std::floor(y));
    double value = 0.0;
    for (int j = y0 - 1; j <= y0 + 2; ++j)
        for (int i = x0 - 1; i <= x0 + 2; ++i) value += c.at(i, j) * cubicBSpline(x - i) * cubicBSpline(y - j);
    return value;
}

// The translation that IC-GN settles on for the window centred at (xc, yc),
// started at (u, 0).
double modelFixedPoint(const std::vector<float>& ref, const Plane& def, int width, int xc, int yc, double u) {
    const int half = kWindow / 2, n = kWindow * kWindow;
    const auto r = [&](int x, int y) { return double(ref[size_t(y) * size_t(width) + size_t(x)]); };
    double mean = 0.0, spread = 0.0;
    for (int dy = -half; dy <= half; ++dy)
        for (int dx = -half; dx <= half; ++dx) mean += r(xc + dx, yc + dy);
    mean /= n;
    for (int dy = -half; dy <= half; ++dy)
        for (int dx = -half; dx <= half; ++dx) spread += (r(xc + dx, yc + dy) - mean) * (r(xc + dx, yc + dy) - mean);
    const double norm = std::sqrt(spread);
    std::vector<std::array<double, 3>> samples;  // f, gx, gy
    double h[3] = {1e-6, 0.0, 1e-6};             // the engine's diagonal loading
    for (int dy = -half; dy <= half; ++dy)
        for (int dx = -half; dx <= half; ++dx) {
            const int x = xc + dx, y = yc + dy;
            const double gx = (r(x + 1, y) - r(x - 1, y)) / 2.0 / norm, gy = (r(x, y + 1) - r(x, y - 1)) / 2.0 / norm;
            samples.push_back({(r(x, y) - mean) / norm, gx, gy});
            h[0] += gx * gx;
            h[1] += gx * gy;
            h[2] += gy * gy;
        }
    const double det = h[0] * h[2] - h[1] * h[1];
    double v = 0.0;
    std::vector<double> g(size_t(n), 0.0);
    for (int iteration = 0; iteration < 100; ++iteration) {
        double gMean = 0.0, gSpread = 0.0;
        for (int s = 0; s < n; ++s) {
            g[size_t(s)] = interpolate(def, xc + u + (s % kWindow - half), yc + v + (s / kWindow - half));
            gMean += g[size_t(s)];
        }
        gMean /= n;
        for (double value : g) gSpread += (value - gMean) * (value - gMean);
        const double inverseNorm = 1.0 / std::sqrt(gSpread);
        double b[2] = {0.0, 0.0};
        for (int s = 0; s < n; ++s) {
            const double residual = (g[size_t(s)] - gMean) * inverseNorm - samples[size_t(s)][0];
            b[0] += residual * samples[size_t(s)][1];
            b[1] += residual * samples[size_t(s)][2];
        }
        const double du = (h[2] * b[0] - h[1] * b[1]) / det, dv = (h[0] * b[1] - h[1] * b[0]) / det;
        u -= du;
        v -= dv;
        if (du * du + dv * dv < 1e-24) break;
    }
    return u;
}

std::vector<float> eightBit(const testing::Image& grey, uint64_t seed) {
    const std::vector<uint8_t> bytes = testing::quantize8(testing::addGaussianNoise(grey, kNoise, seed));
    return std::vector<float>(bytes.begin(), bytes.end());
}

testing::Image speckle(const testing::Image& field) { return testing::tanhContrast(field, 128.0, 100.0, 1.0); }

TEST(InterpolationBias, CubicBSplineBiasCurveFollowsTheEstimatorsTheory) {
    SUBPIXEL_REQUIRE_DEVICE();
    const GridLayout grid(kSize, kSize, kWindow, kStep, kReach);
    const testing::Image field = testing::gaussianRandomField(kSize, kSize, kSigma, 7);
    const std::vector<float> reference = eightBit(speckle(field), 11);
    const SubpixelParams params = subpixel_test::refinement(int(InterpolationType::CubicBSpline), false, 50, 1e-6f);

    const double fractions[] = {0.1, 0.25, 0.4, 0.5, 0.75, 0.9};
    std::vector<double> measured, model;
    for (double f : fractions) {
        const std::vector<float> deformed = eightBit(speckle(testing::fourierShift(field, f, 0.0)), 12);
        const PixelDisplacementResult start = grid.start(testing::translationField(f, 0.0));
        PixelDisplacementResult out;
        std::string error;
        ASSERT_TRUE(computeSubpixelDisplacements(ImageSource(reference.data()), ImageSource(deformed.data()),
                                                 grid.size, grid.params, start, params, out, error, {}, nullptr, 0,
                                                 0, 0, -1))
            << error;
        const Plane coefficientsOfDeformed = coefficients(deformed, kSize, kSize);
        double engineSum = 0.0, modelSum = 0.0;
        for (int i = 0; i < grid.count(); ++i) {
            ASSERT_TRUE(std::isfinite(out.dispX[size_t(i)])) << "point " << i;
            engineSum += double(out.dispX[size_t(i)]) - f;
            modelSum += modelFixedPoint(reference, coefficientsOfDeformed, kSize, int(grid.x(i)), int(grid.y(i)),
                                        double(start.dispX[size_t(i)])) -
                        f;
        }
        measured.push_back(engineSum / grid.count());
        model.push_back(modelSum / grid.count());
    }

    // The theory itself: an odd curve about half a pixel of a few 1e-3 px,
    // positive below 0.5 (the interpolant's smoothing pulls towards whole pixels).
    double largest = 0.0;
    for (double b : model) largest = std::max(largest, std::fabs(b));
    EXPECT_GT(largest, 5e-4);
    EXPECT_LT(largest, 5e-3);
    EXPECT_GT(model[1], 0.0);
    EXPECT_LT(model[4], 0.0);
    // The engine's curve within 20 % of the theory's amplitude at every fraction.
    for (size_t k = 0; k < model.size(); ++k)
        EXPECT_NEAR(measured[k], model[k], 0.2 * largest)
            << "shift " << fractions[k] << ": engine " << measured[k] << ", theory " << model[k];
}

} // namespace
} // namespace tavro
