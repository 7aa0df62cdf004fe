#include "core/strain.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "gpu/runtime.h"
#include "support/device_objects.h"

namespace {

using tavro::PixelDisplacementResult;
using tavro::StrainResult;
using tavro::gui::StrainSettings;

constexpr double kDegreesPerRadian = 180.0 / 3.14159265358979323846;
const std::vector<float> kOrder4{1.0f / 12.0f, -2.0f / 3.0f, 0.0f, 2.0f / 3.0f, -1.0f / 12.0f};

using Field = std::function<double(double X, double Y)>;

// Grid point (x, y) lies at X = x h, Y = y h pixels.
PixelDisplacementResult sampledGrid(int W, int H, int h, const Field& u, const Field& v) {
    PixelDisplacementResult d;
    d.gridWidth = W;
    d.gridHeight = H;
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            d.dispX.push_back(static_cast<float>(u(double(x) * h, double(y) * h)));
            d.dispY.push_back(static_cast<float>(v(double(x) * h, double(y) * h)));
        }
    return d;
}

StrainSettings kernels(std::vector<float> derivative, std::vector<float> smoothing = {}) {
    StrainSettings s;
    s.derivativeCoefficients = std::move(derivative);
    s.smoothingCoefficients = std::move(smoothing);
    return s;
}

StrainResult differences(const PixelDisplacementResult& d, int h, float supportLength = 0.0f) {
    StrainResult out;
    std::string error;
    EXPECT_TRUE(tavro::computeStrainGpu(d, h, out, error, {}, supportLength)) << error;
    return out;
}

StrainResult custom(const PixelDisplacementResult& d, int h, const StrainSettings& s) {
    StrainResult out;
    std::string error;
    EXPECT_TRUE(tavro::computeStrainCustomKernelGpu(d, h, s, out, error, {})) << error;
    return out;
}

void withGradients(PixelDisplacementResult& d, float ux, float uy, float vx, float vy) {
    const size_t n = d.dispX.size();
    d.duDx.assign(n, ux);
    d.duDy.assign(n, uy);
    d.dvDx.assign(n, vx);
    d.dvDy.assign(n, vy);
}

bool allNaNAt(const StrainResult& s, size_t i) {
    for (const auto* f : {&s.epsXX, &s.epsYY, &s.epsXY, &s.epsI, &s.epsII, &s.epsVonMises, &s.epsTresca, &s.rotation})
        if (!std::isnan((*f)[i])) return false;
    return true;
}

// Points whose eight fields are NaN, as a W x H map of 0 and 1.
std::vector<int> missingMap(const StrainResult& s) {
    std::vector<int> map(s.epsXX.size());
    for (size_t i = 0; i < map.size(); ++i) map[i] = allNaNAt(s, i);
    return map;
}

std::vector<int> diamond(int W, int H, int cx, int cy, int reachAlong, int reachAcross) {
    std::vector<int> map(size_t(W) * H);
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            const int dx = std::abs(x - cx), dy = std::abs(y - cy);
            map[size_t(y) * W + x] = (dx <= reachAlong && dy <= reachAcross) || (dy <= reachAlong && dx <= reachAcross);
        }
    return map;
}

TEST(StrainFields, AffineDisplacementGivesTheExactUniformStrainAtEveryPointByEachMethod) {
    TAVRO_REQUIRE_DEVICE();
    // A homogeneous deformation: every method must return the gradient itself,
    // on the border rows and columns too (the custom kernels reflect the field
    // through the border point, which keeps it linear).
    const double ux = 0.012, uy = 0.004, vx = -0.002, vy = -0.007;
    const int W = 13, H = 9, h = 4;
    auto d = sampledGrid(
        W, H, h, [&](double X, double Y) { return 1.5 + ux * X + uy * Y; },
        [&](double X, double Y) { return -0.75 + vx * X + vy * Y; });
    const std::pair<const char*, StrainResult> results[] = {
        {"finite differences", differences(d, h)},
        {"central kernel", custom(d, h, StrainSettings{})},
        {"order-4 kernel, {1, 2, 1} smoothing", custom(d, h, kernels(kOrder4, {1.0f, 2.0f, 1.0f}))},
        {"order-4 kernel, 7-point smoothing", custom(d, h, kernels(kOrder4, std::vector<float>(7, 1.0f)))},
    };
    // Differences of ~1 px displacements over 8 px: a few float ulps.
    const double tol = 2e-6;
    for (const auto& [method, s] : results) {
        SCOPED_TRACE(method);
        ASSERT_EQ(s.gridWidth, W);
        ASSERT_EQ(s.gridHeight, H);
        for (size_t i = 0; i < size_t(W * H); ++i) {
            ASSERT_NEAR(s.epsXX[i], ux, tol) << "point " << i;
            ASSERT_NEAR(s.epsYY[i], vy, tol) << "point " << i;
            ASSERT_NEAR(s.epsXY[i], 0.5 * (uy + vx), tol) << "point " << i;
            ASSERT_NEAR(s.rotation[i], 0.5 * (vx - uy) * kDegreesPerRadian, tol * kDegreesPerRadian) << i;
        }
    }
    withGradients(d, float(ux), float(uy), float(vx), float(vy));
    EXPECT_NEAR(differences(d, h).epsXX[0], ux, 1e-9) << "the refinement's gradients are used as they are";
}

TEST(StrainFields, ARectangularGridTakesEachDerivativeOverItsOwnStep) {
    TAVRO_REQUIRE_DEVICE();
    const double ux = 0.012, uy = 0.004, vx = -0.002, vy = -0.007;
    const int W = 11, H = 9, hx = 4, hy = 10;
    PixelDisplacementResult d;
    d.gridWidth = W;
    d.gridHeight = H;
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            const double X = double(x) * hx, Y = double(y) * hy;
            d.dispX.push_back(static_cast<float>(1.5 + ux * X + uy * Y));
            d.dispY.push_back(static_cast<float>(-0.75 + vx * X + vy * Y));
        }
    StrainResult byDifferences, byKernel;
    std::string error;
    ASSERT_TRUE(tavro::computeStrainGpu(d, hx, byDifferences, error, {}, 0.0f, hy)) << error;
    ASSERT_TRUE(tavro::computeStrainCustomKernelGpu(d, hx, kernels(kOrder4), byKernel, error, {}, hy)) << error;
    for (const StrainResult* s : {&byDifferences, &byKernel}) {
        for (size_t i = 0; i < size_t(W * H); ++i) {
            ASSERT_NEAR(s->epsXX[i], ux, 2e-6) << i;
            ASSERT_NEAR(s->epsYY[i], vy, 2e-6) << i << ": not " << vy * hy / hx << " as over the x step";
            ASSERT_NEAR(s->epsXY[i], 0.5 * (uy + vx), 2e-6) << i;
        }
    }
}

TEST(StrainFields, QuadraticDisplacementIsExactInsideAndOneSidedOnTheBorders) {
    TAVRO_REQUIRE_DEVICE();
    // u = k X^2 + p X Y, v = m Y^2. Central differences are exact for quadratics;
    // a border point falls back to a one-sided difference, off by half the
    // second derivative times h. u is linear along Y: exact up to the borders.
    const double k = 0.001, p = 0.0005, m = -0.002;
    const int W = 11, H = 8, h = 3;
    const auto d = sampledGrid(
        W, H, h, [&](double X, double Y) { return k * X * X + p * X * Y; },
        [&](double, double Y) { return m * Y * Y; });
    const double tol = 2e-6;
    for (const auto& [method, s] : {std::pair{"finite differences", differences(d, h)},
                                    std::pair{"central kernel", custom(d, h, StrainSettings{})}}) {
        SCOPED_TRACE(method);
        for (int y = 0; y < H; ++y)
            for (int x = 0; x < W; ++x) {
                const size_t i = size_t(y) * W + x;
                const double exx = 2 * k * x * h + p * y * h + (x == 0 ? k * h : 0) - (x == W - 1 ? k * h : 0);
                const double eyy = 2 * m * y * h + (y == 0 ? m * h : 0) - (y == H - 1 ? m * h : 0);
                ASSERT_NEAR(s.epsXX[i], exx, tol) << x << "," << y;
                ASSERT_NEAR(s.epsYY[i], eyy, tol) << x << "," << y;
                ASSERT_NEAR(s.epsXY[i], 0.5 * p * x * h, tol) << x << "," << y;
            }
    }
    // The fourth-order kernel is exact for quadratics wherever its support fits.
    const StrainResult order4 = custom(d, h, kernels(kOrder4));
    for (int y = 2; y < H - 2; ++y)
        for (int x = 2; x < W - 2; ++x) {
            EXPECT_NEAR(order4.epsXX[size_t(y) * W + x], 2 * k * x * h + p * y * h, tol) << x << "," << y;
            EXPECT_NEAR(order4.epsYY[size_t(y) * W + x], 2 * m * y * h, tol) << x << "," << y;
        }
}

TEST(StrainFields, PrincipalEquivalentAndRotationValuesFollowTheSmallStrainTensor) {
    TAVRO_REQUIRE_DEVICE();
    // {du/dx, du/dy, dv/dx, dv/dy} per point, then random gradients for the invariants.
    std::vector<std::array<float, 4>> g{
        {0.01f, 0, 0, 0},         // uniaxial: e1 = 0.01, e2 = 0, von Mises 0.01 sqrt(2/3), Tresca 0.005
        {0, 0.003f, 0.003f, 0},   // pure shear: e1 = -e2 = 0.003, von Mises 0.003 sqrt(2)
        {0, -0.02f, 0.02f, 0},    // rigid rotation by 0.02 rad: no strain
        {0.004f, 0, 0, 0.004f},   // equibiaxial: e1 = e2, Tresca 0, von Mises 0.004 sqrt(2/3)
    };
    std::mt19937 random(7);
    std::uniform_real_distribution<float> component(-0.05f, 0.05f);
    for (int i = 0; i < 60; ++i)
        g.push_back({component(random), component(random), component(random), component(random)});
    PixelDisplacementResult d;
    d.gridWidth = static_cast<int>(g.size());
    d.gridHeight = 1;
    d.dispX.assign(g.size(), 0.0f);
    d.dispY.assign(g.size(), 0.0f);
    for (const auto& c : g) {
        d.duDx.push_back(c[0]);
        d.duDy.push_back(c[1]);
        d.dvDx.push_back(c[2]);
        d.dvDy.push_back(c[3]);
    }
    const StrainResult s = differences(d, 1);
    const double tol = 2e-8;
    EXPECT_NEAR(s.epsI[0], 0.01, tol);
    EXPECT_NEAR(s.epsII[0], 0.0, tol);
    EXPECT_NEAR(s.epsVonMises[0], 0.01 * std::sqrt(2.0 / 3.0), tol);
    EXPECT_NEAR(s.epsTresca[0], 0.005, tol);
    EXPECT_NEAR(s.epsI[1], 0.003, tol);
    EXPECT_NEAR(s.epsII[1], -0.003, tol);
    EXPECT_NEAR(s.epsVonMises[1], 0.003 * std::sqrt(2.0), tol);
    EXPECT_NEAR(s.rotation[2], 0.02 * kDegreesPerRadian, 1e-5);
    EXPECT_NEAR(s.epsVonMises[2], 0.0, tol);
    EXPECT_NEAR(s.epsTresca[3], 0.0, tol);
    EXPECT_NEAR(s.epsVonMises[3], 0.004 * std::sqrt(2.0 / 3.0), tol);
    for (size_t i = 0; i < g.size(); ++i) {
        const double exx = s.epsXX[i], eyy = s.epsYY[i], exy = s.epsXY[i], e1 = s.epsI[i], e2 = s.epsII[i];
        EXPECT_NEAR(exy, 0.5 * (g[i][1] + g[i][2]), tol);
        EXPECT_GE(e1, e2);
        // Trace and determinant of the tensor are those of its principal form.
        EXPECT_NEAR(e1 + e2, exx + eyy, tol);
        EXPECT_NEAR(e1 * e2, exx * eyy - exy * exy, 1e-9);
        EXPECT_NEAR(s.epsVonMises[i], std::sqrt((e1 * e1 + e2 * e2 - e1 * e2) * 2.0 / 3.0), tol);
    }
}

TEST(StrainFields, MissingOrOutlyingDisplacementsSpreadToEveryPointWhoseDerivativesReadThem) {
    TAVRO_REQUIRE_DEVICE();
    const int W = 9, H = 7, h = 2, cx = 4, cy = 3;
    const size_t hole = size_t(cy) * W + cx;
    auto d = sampledGrid(
        W, H, h, [](double X, double Y) { return 0.01 * X + 0.002 * Y; },
        [](double X, double Y) { return -0.003 * X + 0.004 * Y; });
    const auto neighbours = diamond(W, H, cx, cy, 1, 0);
    EXPECT_EQ(missingMap(differences(d, h)), std::vector<int>(size_t(W) * H, 0));

    // A displacement beyond the support length (a false match) counts as missing.
    d.dispY[hole] = 40.0f;
    EXPECT_EQ(missingMap(differences(d, h, 0.0f)), std::vector<int>(size_t(W) * H, 0));
    EXPECT_EQ(missingMap(differences(d, h, 25.0f)), neighbours);
    StrainSettings limited;
    limited.supportLength = 25.0f;
    EXPECT_EQ(missingMap(custom(d, h, limited)), neighbours);

    d.dispY[hole] = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(missingMap(differences(d, h)), neighbours);
    // A 5 x 3 support reaches two points along the derivative and one across.
    EXPECT_EQ(missingMap(custom(d, h, kernels(kOrder4, {1.0f, 2.0f, 1.0f}))), diamond(W, H, cx, cy, 2, 1));

    // The refinement's gradients are point-wise: only the point itself is lost.
    withGradients(d, 0.001f, 0.0f, 0.0f, 0.001f);
    d.dispY[hole] = 0.0f;
    d.dvDy[5] = std::numeric_limits<float>::infinity();
    std::vector<int> alone(size_t(W) * H, 0);
    alone[5] = 1;
    EXPECT_EQ(missingMap(differences(d, h)), alone);
}

TEST(StrainFields, DegenerateGridsAndKernelsFollowTheirRules) {
    TAVRO_REQUIRE_DEVICE();
    // A single column or row has no derivative across it: 0, not NaN.
    const auto column = sampledGrid(
        1, 6, 2, [](double, double Y) { return 0.02 * Y; }, [](double, double Y) { return -0.01 * Y; });
    const auto row = sampledGrid(
        6, 1, 2, [](double X, double) { return 0.03 * X; }, [](double X, double) { return 0.01 * X; });
    for (const StrainResult& s : {differences(column, 2), custom(column, 2, StrainSettings{})}) {
        EXPECT_NEAR(s.epsXX[5], 0.0, 1e-9);
        EXPECT_NEAR(s.epsYY[5], -0.01, 1e-7);
        EXPECT_NEAR(s.epsXY[5], 0.01, 1e-7);
    }
    for (const StrainResult& s : {differences(row, 2), custom(row, 2, StrainSettings{})}) {
        EXPECT_NEAR(s.epsXX[0], 0.03, 1e-7);
        EXPECT_NEAR(s.epsYY[0], 0.0, 1e-9);
        EXPECT_NEAR(s.epsXY[0], 0.005, 1e-7);
    }

    // u = X Y: the central kernel gives Y on every row; smoothing {1, 0, -1}
    // across rows sums (y - 1) - (y + 1) = -2 and, summing to 0, is not normalised.
    const auto product = sampledGrid(
        5, 5, 1, [](double X, double Y) { return X * Y; }, [](double, double) { return 0.0; });
    EXPECT_FLOAT_EQ(custom(product, 1, kernels({-0.5f, 0.0f, 0.5f}, {1.0f, 0.0f, -1.0f})).epsXX[12], -2.0f);

    // Gradients contradicting the displacements show the path taken: all four
    // complete, or differences of the displacements.
    auto d = sampledGrid(
        5, 4, 1, [](double X, double) { return 0.01 * X; }, [](double, double) { return 0.0; });
    withGradients(d, 0.5f, 0.5f, 0.5f, 0.5f);
    EXPECT_FLOAT_EQ(differences(d, 1).epsXX[7], 0.5f);
    d.dvDy.pop_back();
    EXPECT_NEAR(differences(d, 1).epsXX[7], 0.01, 1e-7);
}

TEST(StrainFields, InvalidInputsFailWithTheirMessageAndLeaveAnEmptyResult) {
    const auto good = sampledGrid(
        4, 3, 1, [](double X, double) { return X; }, [](double, double Y) { return Y; });
    PixelDisplacementResult shortX = good, noRows = good;
    shortX.dispX.pop_back();
    noRows.gridHeight = 0;
    auto failure = [](const PixelDisplacementResult& d, int spacing, const StrainSettings* settings) {
        StrainResult out;
        out.gridWidth = 3;
        out.epsXX = {1.0f};
        out.auxiliary = {2.0f};
        out.criteria["c"] = {3.0f};
        std::string error;
        EXPECT_FALSE(settings ? tavro::computeStrainCustomKernelGpu(d, spacing, *settings, out, error, {})
                              : tavro::computeStrainGpu(d, spacing, out, error, {}, 0.0f));
        EXPECT_TRUE(out.gridWidth == 0 && out.epsXX.empty() && out.auxiliary.empty() && out.criteria.empty());
        return error;
    };
    const StrainSettings central;
    EXPECT_EQ(failure(PixelDisplacementResult{}, 0, nullptr), "Grid spacing must be strictly positive.");
    EXPECT_EQ(failure(good, -2, &central), "Grid spacing must be strictly positive.");
    EXPECT_EQ(failure(noRows, 1, nullptr), "Invalid grid dimensions for strain computation.");
    EXPECT_EQ(failure(shortX, 1, nullptr), "Provided displacements do not match grid dimensions.");
    EXPECT_EQ(failure(shortX, 1, &central), "Provided displacements do not match grid dimensions.");
    const StrainSettings none = kernels({}), even = kernels({-1.0f, 1.0f}), evenSmoothing = kernels({1}, {1, 1});
    EXPECT_EQ(failure(good, 1, &none), "Derivative kernel cannot be empty.");
    EXPECT_EQ(failure(good, 1, &even), "Derivative kernel must have odd size.");
    EXPECT_EQ(failure(good, 1, &evenSmoothing), "Smoothing kernel must have odd size.");
}

TEST(StrainFields, CriteriaAreKeptAndTheAuxiliaryFieldFollowsTheSettings) {
    TAVRO_REQUIRE_DEVICE();
    const auto d = sampledGrid(
        3, 3, 1, [](double X, double) { return 0.01 * X; }, [](double, double) { return 0.0; });
    StrainResult out;
    out.criteria["exx + eyy"] = {1.0f};
    out.auxiliary = {4.0f};
    std::string error;
    ASSERT_TRUE(tavro::computeStrainGpu(d, 1, out, error, {}, 0.0f)) << error;
    EXPECT_EQ(out.auxiliary, std::vector<float>{4.0f});
    StrainSettings settings;
    settings.auxiliaryMode = 2;
    ASSERT_TRUE(tavro::computeStrainCustomKernelGpu(d, 1, settings, out, error, {})) << error;
    EXPECT_TRUE(out.auxiliary.empty()) << "mode 2 without text";
    settings.auxiliaryText = "anything";
    ASSERT_TRUE(tavro::computeStrainCustomKernelGpu(d, 1, settings, out, error, {})) << error;
    EXPECT_EQ(out.auxiliary, std::vector<float>(9, 0.0f));
    EXPECT_EQ(out.criteria.size(), 1u);
}

TEST(StrainProgress, ReportsEveryStageAndOneStepPerChunkOf8192Points) {
    TAVRO_REQUIRE_DEVICE();
    auto d = sampledGrid(
        8193, 1, 1, [](double X, double) { return 1e-4 * X; }, [](double, double) { return 0.0; });
    std::vector<std::pair<long long, long long>> calls;
    auto record = [&](long long done, long long total) {
        calls.emplace_back(done, total);
        return true;
    };
    StrainResult out;
    std::string error;
    ASSERT_TRUE(tavro::computeStrainGpu(d, 1, out, error, record, 0.0f)) << error;
    const std::vector<std::pair<long long, long long>> expected{
        {0, 10}, {1, 10}, {2, 10},  {3, 10},  {30, 100}, {40, 100}, {5, 10},   {6, 10},
        {7, 10}, {8, 10}, {9, 10}, {92, 100}, {94, 100}, {96, 100}, {98, 100}, {10, 10}};
    EXPECT_EQ(calls, expected);
    EXPECT_NEAR(out.epsXX[8191], 1e-4, 1e-6) << "last point of the first chunk";
    EXPECT_NEAR(out.epsXX[8192], 1e-4, 1e-6) << "the second chunk";

    withGradients(d, 0.0f, 0.0f, 0.0f, 0.0f);
    d.duDx.back() = 0.25f;
    calls.clear();
    ASSERT_TRUE(tavro::computeStrainGpu(d, 1, out, error, record, 0.0f)) << error;
    EXPECT_EQ(out.epsXX[8192], 0.25f);
    EXPECT_EQ(std::vector(calls.begin(), calls.begin() + 7),
              (std::vector<std::pair<long long, long long>>{
                  {0, 10}, {1, 10}, {15, 100}, {2, 10}, {25, 100}, {3, 10}, {30, 100}}));
}

TEST(StrainProgress, CancellingStopsTheComputationUntilTheDownloadsStart) {
    TAVRO_REQUIRE_DEVICE();
    const auto d = sampledGrid(
        6, 5, 1, [](double X, double) { return 0.01 * X; }, [](double, double) { return 0.0; });
    auto runWith = [&](std::function<bool(long long, long long)> progress, StrainResult& out, std::string& error) {
        return tavro::computeStrainCustomKernelGpu(d, 1, StrainSettings{}, out, error, std::move(progress));
    };
    for (const auto& [done, total] : {std::pair{0LL, 10LL}, std::pair{5LL, 10LL}}) {
        StrainResult out;
        std::string error;
        EXPECT_FALSE(runWith([&](long long a, long long b) { return !(a == done && b == total); }, out, error));
        EXPECT_EQ(error, "Strain computation cancelled by user.");
        EXPECT_TRUE(out.gridWidth == 0 && out.epsXX.empty());
    }
    StrainResult out;
    std::string error;
    EXPECT_TRUE(runWith([](long long a, long long b) { return a * 10 < b * 6; }, out, error)) << error;
    EXPECT_FLOAT_EQ(out.epsXX[8], 0.01f);
}

} // namespace
