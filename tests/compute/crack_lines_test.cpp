#include "compute/crack_lines.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "compute/crack_detection.h"
#include "core/results.h"

namespace tavro {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr int kGrid = 64, kStep = 4, kWindow = 21;

// A 64 x 64 correlation grid (4 px step) across a straight crack through its
// centre. The jump (image axes, towards n = (-t.y, t.x) of the tangent t) is
// spread over one window, as a window straddling a crack measures it, on top of
// a smooth affine field and white noise.
struct CrackField {
    double angle = 0.0;  // on-screen tangent angle, degrees
    double jumpX = 0.0, jumpY = 0.0, noise = 0.0, gradient = 0.002;
    PixelDisplacementResult result;

    double tx() const { return std::cos(angle * kPi / 180.0); }
    double ty() const { return -std::sin(angle * kPi / 180.0); }
    // Signed distance from the line in grid units.
    double distance(double i, double j) const { return (i - 31.5) * -ty() + (j - 31.5) * tx(); }

    CrackField& build(uint32_t seed = 7) {
        std::mt19937 random(seed);
        std::normal_distribution<double> gauss(0.0, 1.0);
        result.gridWidth = result.gridHeight = kGrid;
        result.dispX.resize(kGrid * kGrid);
        result.dispY.resize(kGrid * kGrid);
        for (int k = 0; k < kGrid * kGrid; ++k) {
            const int i = k % kGrid, j = k / kGrid;
            const double ramp = std::clamp(distance(i, j) * kStep / kWindow + 0.5, 0.0, 1.0);
            result.dispX[k] = float(0.3 + gradient * i * kStep + ramp * jumpX + noise * gauss(random));
            result.dispY[k] = float(-0.2 - gradient * j * kStep + ramp * jumpY + noise * gauss(random));
        }
        return *this;
    }

    static CrackLineParameters params() {
        CrackLineParameters p;
        p.stepX = kStep;
        p.windowSize = kWindow;
        p.smoothingSigma = 4.0f / kStep;
        return p;
    }

    CrackLineSet lines() const {
        const CrackGridView view{kGrid, kGrid, result.dispX.data(), result.dispY.data()};
        return extractCrackLines(extractCrackLines(view, params()), params());
    }
};

struct StraightCrack {
    double angle, jumpX, jumpY, noise;
};

class StraightCrackTest : public ::testing::TestWithParam<StraightCrack> {};

// Points lie on the line within half a cell and along it within 2 degrees. One
// jump estimate has about 1.8 times the displacement noise per component: each
// is within 0.12 px (three times that), their mean within 0.03 px.
TEST_P(StraightCrackTest, PointsFollowTheLineWithItsAngleAndJump) {
    const StraightCrack c = GetParam();
    CrackField field;
    field.angle = c.angle, field.jumpX = c.jumpX, field.jumpY = c.jumpY, field.noise = c.noise;
    const CrackLineSet lines = field.build().lines();
    EXPECT_EQ(lines.lineCount(), 1u) << "one crack, one line";
    // The line crosses about 64 cells; no jump is measured within two offsets of the border.
    EXPECT_GE(lines.size(), 40u);
    double meanErrorX = 0.0, meanErrorY = 0.0, sumC = 0.0, sumD = 0.0;
    for (size_t k = 0; k < lines.size(); ++k) {
        // One line faces one way, its mean angle in (-90, 90].
        if (k > 0) {
            EXPECT_GT(lines.cosine[k] * lines.cosine[k - 1] + lines.sine[k] * lines.sine[k - 1], 0.0f) << k;
        }
        sumC += lines.cosine[k];
        sumD += lines.sine[k];
        EXPECT_LT(std::abs(field.distance(lines.x[k], lines.y[k])), 0.5) << k;
        const double angleError = std::fmod(std::abs(lines.alpha[k] - c.angle), 180.0);
        EXPECT_LT(std::min(angleError, 180.0 - angleError), 2.0) << k;
        // Taken towards the point's own normal (-d, c): a vertical line may have either.
        const double co = lines.cosine[k], si = lines.sine[k], a = lines.jumpA[k], b = lines.jumpB[k];
        const double sign = si * field.ty() + co * field.tx() < 0.0 ? -1.0 : 1.0;
        const double errorX = co * a - si * b - sign * c.jumpX, errorY = co * b + si * a - sign * c.jumpY;
        EXPECT_LT(std::hypot(errorX, errorY), 0.12) << k;
        meanErrorX += errorX / double(lines.size());
        meanErrorY += errorY / double(lines.size());
    }
    EXPECT_LT(std::hypot(meanErrorX, meanErrorY), 0.03);
    const double meanAlpha = std::atan2(-sumD, sumC) * 180.0 / kPi;
    EXPECT_TRUE(meanAlpha > -90.0 && meanAlpha <= 90.0) << meanAlpha;
}

INSTANTIATE_TEST_SUITE_P(CrackLines, StraightCrackTest,
                         ::testing::Values(StraightCrack{0.0, 0.0, 0.8, 0.0}, StraightCrack{30.0, 0.6, 0.5, 0.02},
                                           StraightCrack{90.0, -0.7, 0.2, 0.02}, StraightCrack{-60.0, 0.4, -0.9, 0.02}));

// The crack fields of a discontinuity-enriched result: every point whose
// window the line cuts carries the opening, the angle and the line's offset
// phi, with some scatter; each places the same line, so one crack is one line
// of points about one cell apart.
TEST(CrackLines, EnrichedFieldsGiveOneLinePerCrack) {
    for (const double angle : {0.0, 30.0, 45.0, 90.0, -70.0}) {
        SCOPED_TRACE(angle);
        CrackField field;
        field.angle = angle, field.jumpY = 0.6, field.noise = 0.02;
        field.build();
        std::mt19937 random(5);
        std::normal_distribution<double> gauss(0.0, 1.0);
        std::vector<float> intensity(kGrid * kGrid, kNaN), alpha(intensity), phi(intensity);
        for (int k = 0; k < kGrid * kGrid; ++k) {
            const double d = field.distance(k % kGrid, k / kGrid) * kStep;
            if (std::abs(d) > 0.5 * kWindow) continue;
            intensity[k] = float(0.6 + 0.02 * gauss(random));
            alpha[k] = float(angle + 0.5 * gauss(random));
            phi[k] = float(-d + 0.1 * gauss(random));
        }
        const CrackGridView view{kGrid,           kGrid,        field.result.dispX.data(), field.result.dispY.data(),
                                 intensity.data(), alpha.data(), phi.data()};
        const CrackLineSet lines = extractCrackLines(extractCrackLines(view, CrackField::params()), CrackField::params());
        ASSERT_EQ(lines.lineCount(), 1u);
        EXPECT_GE(lines.size(), 50u);
        for (size_t k = 0; k < lines.size(); ++k) {
            EXPECT_LT(std::abs(field.distance(lines.x[k], lines.y[k])), 0.2) << k;
            if (k == 0) continue;
            const double spacing = std::hypot(lines.x[k] - lines.x[k - 1], lines.y[k] - lines.y[k - 1]);
            EXPECT_GT(spacing, 0.3) << k;
            EXPECT_LT(spacing, 1.6) << k;
        }
    }
}

// A sliding crack that runs to the border: where the displacement cannot be
// sampled across the line, the jump comes from the engine's opening vector,
// never from the opening intensity laid along the normal (that would report
// the slip as an opening of the same size).
TEST(CrackLines, ASlidingCrackKeepsItsSlipUpToTheBorder) {
    // At 60 degrees the samples across the line leave the grid near its top
    // and bottom rows; the slip of 1 px runs along the tangent.
    CrackField field;
    field.angle = 60.0, field.noise = 0.01;
    field.jumpX = field.tx(), field.jumpY = field.ty();
    field.build();
    std::vector<float> intensity(kGrid * kGrid, kNaN), alpha(intensity), phi(intensity), openX(intensity),
        openY(intensity);
    for (int k = 0; k < kGrid * kGrid; ++k) {
        const double d = field.distance(k % kGrid, k / kGrid) * kStep;
        if (std::abs(d) > 0.5 * kWindow) continue;
        intensity[k] = 1.0f, alpha[k] = float(field.angle), phi[k] = float(-d);
        openX[k] = float(field.jumpX), openY[k] = float(field.jumpY);
    }
    for (const bool withVector : {true, false}) {
        SCOPED_TRACE(withVector ? "opening vector" : "intensity only");
        CrackGridView view{kGrid,           kGrid,        field.result.dispX.data(), field.result.dispY.data(),
                           intensity.data(), alpha.data(), phi.data()};
        if (withVector) {
            view.openingX = openX.data();
            view.openingY = openY.data();
        }
        const CrackLineSet lines = extractCrackLines(view, CrackField::params());
        ASSERT_GE(lines.size(), 50u);
        size_t known = 0;
        double sumSquares = 0.0;
        for (size_t k = 0; k < lines.size(); ++k) {
            const double co = lines.cosine[k], si = lines.sine[k], a = lines.jumpA[k], b = lines.jumpB[k];
            if (!std::isfinite(a) || !std::isfinite(b)) {
                EXPECT_FALSE(withVector) << "point " << k << " has the engine's vector";
                continue;
            }
            ++known;
            const double sign = si * field.ty() + co * field.tx() < 0.0 ? -1.0 : 1.0;
            const double errorX = co * a - si * b - sign * field.jumpX, errorY = co * b + si * a - sign * field.jumpY;
            EXPECT_LT(std::hypot(errorX, errorY), 0.1) << k << " at (" << lines.x[k] << ", " << lines.y[k] << ")";
            sumSquares += errorX * errorX + errorY * errorY;
        }
        ASSERT_GT(known, 0u);
        EXPECT_LT(std::sqrt(sumSquares / double(known)), 0.03);
        if (withVector) {
            EXPECT_EQ(known, lines.size());
        }
    }
}

// Two parallel cracks 100 px apart, as the enriched engine reports them at a
// 61 px window (step 4): every cell whose window a crack cuts holds the fit's
// angle, its offset to the line and its opening, each with 0.05 px of noise per
// component, over a displacement that jumps at both. The jump measured one and
// two windows off either line would also take in the other crack (and its
// noise would swamp them both): each crack still gets a line of its own over
// its whole length, with the engine's jump, smoothed along the line to within
// 0.03 px rms.
TEST(CrackLines, ParallelCracksCloserThanTwoWindowsEachGetTheirLine) {
    constexpr int grid = 96, step = 4, window = 61;
    constexpr double offsets[2] = {-50.0, 50.0};
    const double jumps[2][2] = {{0.3, 0.7}, {-0.4, 0.5}};
    std::mt19937 random(3);
    std::normal_distribution<double> noise(0.0, 0.05);
    std::vector<float> dispX(grid * grid), dispY(grid * grid), intensity(grid * grid, kNaN), angle(grid * grid, kNaN),
        position(grid * grid, kNaN), openingX(grid * grid, kNaN), openingY(grid * grid, kNaN);
    // Lines at 10 degrees: tangent (cos a, -sin a), normal (sin a, cos a), through the grid's centre +- offset.
    const double a = 10.0 * kPi / 180.0, nx = std::sin(a), ny = std::cos(a);
    const double reach = (window / 2) * (std::abs(nx) + std::abs(ny));
    for (int k = 0; k < grid * grid; ++k) {
        const double x = (k % grid - 47.5) * step, y = (k / grid - 47.5) * step;
        dispX[k] = 0.2f, dispY[k] = -0.1f;
        for (int c = 0; c < 2; ++c) {
            const double d = nx * x + ny * y - offsets[c];
            if (d > 0.0) dispX[k] += float(jumps[c][0]), dispY[k] += float(jumps[c][1]);
            if (std::abs(d) >= reach) continue;
            angle[k] = 10.0f;
            position[k] = float(-d);
            openingX[k] = float(jumps[c][0] + noise(random));
            openingY[k] = float(jumps[c][1] + noise(random));
            intensity[k] = std::hypot(openingX[k], openingY[k]);
        }
    }
    CrackGridView view{grid, grid, dispX.data(), dispY.data()};
    view.openingIntensity = intensity.data();
    view.crackAngle = angle.data();
    view.crackPosition = position.data();
    view.openingX = openingX.data();
    view.openingY = openingY.data();
    CrackLineParameters params;
    params.stepX = step;
    params.windowSize = window;
    const CrackLineSet lines = extractCrackLines(extractCrackLines(view, params), params);
    ASSERT_EQ(lines.lineCount(), 2u);
    for (size_t l = 0; l < 2; ++l) {
        const size_t first = size_t(lines.lineStarts[l]), end = size_t(lines.lineStarts[l + 1]);
        const double x = (lines.x[first] - 47.5) * step, y = (lines.y[first] - 47.5) * step;
        const int c = nx * x + ny * y > 0.0 ? 1 : 0;
        // The line crosses the grid: about 96 cells wide, a little more along it.
        EXPECT_GE(end - first, 85u) << "line " << l;
        double squares = 0.0;
        for (size_t q = first; q < end; ++q) {
            const double px = (lines.x[q] - 47.5) * step, py = (lines.y[q] - 47.5) * step;
            EXPECT_NEAR(nx * px + ny * py, offsets[c], 1.0) << "line " << l << " point " << q;
            const double cs = lines.cosine[q], sn = lines.sine[q];
            const double sign = -sn * nx + cs * ny < 0.0 ? -1.0 : 1.0;
            const double jx = lines.jumpA[q] * cs - lines.jumpB[q] * sn, jy = lines.jumpA[q] * sn + lines.jumpB[q] * cs;
            squares += std::pow(jx - sign * jumps[c][0], 2) + std::pow(jy - sign * jumps[c][1], 2);
        }
        EXPECT_LT(std::sqrt(squares / double(end - first)), 0.03) << "line " << l;
    }
}

// Appends a first-pass line through `points` (grid cells) with tangent (c, s)
// and a half-pixel opening.
void addPiece(CrackLineSet& set, const std::vector<std::array<float, 2>>& points, float c = 1.0f, float s = 0.0f) {
    set.gridWidth = set.gridHeight = 64;
    if (!set.lineStarts.empty()) set.lineStarts.pop_back();
    set.lineStarts.push_back(int32_t(set.x.size()));
    for (const auto& p : points) {
        set.x.push_back(p[0]);
        set.y.push_back(p[1]);
        set.cosine.push_back(c);
        set.sine.push_back(s);
        set.alpha.push_back(float(std::atan2(-s, c) * 180.0 / kPi));
        set.jumpA.push_back(0.0f);
        set.jumpB.push_back(0.5f);
        set.strength.push_back(20.0f);
    }
    set.lineStarts.push_back(int32_t(set.x.size()));
}

int32_t longestLine(const CrackLineSet& lines) {
    int32_t longest = 0;
    for (size_t l = 0; l < lines.lineCount(); ++l)
        longest = std::max(longest, lines.lineStarts[l + 1] - lines.lineStarts[l]);
    return longest;
}

// The second pass joins the two pieces of one crack across a gap of three
// cells whose far end one fit placed two cells off the line: that fit is
// dropped as a hook, and the two pieces run on into each other. A piece beside
// the crack, parallel to it two windows away, stays a line of its own.
TEST(CrackLines, PiecesOfOneCrackAreJoinedAcrossAShortGapWithAStrayEnd) {
    CrackLineSet set;
    std::vector<std::array<float, 2>> left, right, beside;
    for (int x = 2; x <= 20; ++x) left.push_back({float(x), 10.0f});
    right.push_back({22.2f, 12.1f});
    for (int x = 25; x <= 45; ++x) right.push_back({float(x), 10.0f});
    for (int x = 24; x <= 44; ++x) beside.push_back({float(x), 21.0f});
    addPiece(set, left);
    addPiece(set, right);
    addPiece(set, beside);
    CrackLineParameters params;
    params.stepX = 4;
    params.windowSize = 21;
    const CrackLineSet joined = extractCrackLines(set, params);
    ASSERT_EQ(joined.lineCount(), 2u);
    EXPECT_EQ(joined.size(), set.size() - 1);
    EXPECT_EQ(longestLine(joined), int32_t(left.size() + right.size() - 1));
}

// A crack crossed by another at 30 degrees loses every fit within about 2.7
// windows of the crossing (21 px windows, 4 px step: 5.25 cells), and the
// ridge's last points before the hole bend towards the other crack's band.
// The pieces are joined through the crossing without the bent points or the
// stray fit in the hole; the same gap with no line crossing it, or one
// crossed beyond what its angle explains, stays open.
TEST(CrackLines, PiecesOfACrackCrossedAtAShallowAngleAreJoinedThroughTheCrossing) {
    const float c30 = float(std::cos(kPi / 6)), s30 = float(std::sin(kPi / 6));
    const auto run = [&](float gap, bool crossed) {
        CrackLineSet set;
        std::vector<std::array<float, 2>> left, right, crossing;
        for (int k = 0; k <= 20; ++k) left.push_back({float(k), 30.0f});
        // Pulled towards the crossing crack, which passes below-right of them.
        left.push_back({21.0f, 31.5f});
        left.push_back({21.6f, 32.8f});
        for (int k = 0; k <= 20; ++k) right.push_back({20.0f + gap + float(k), 30.0f});
        const float middle = 20.0f + 0.5f * gap;
        for (int k = -24; k <= 24; ++k) crossing.push_back({middle + float(k) * c30, 30.0f + float(k) * s30});
        addPiece(set, left);
        addPiece(set, right);
        // A stray fit in the hole, a cell off the crack and more than 1.5 windows from the left piece.
        addPiece(set, {{20.0f + 0.5f * gap, 31.0f}});
        if (crossed) addPiece(set, crossing, c30, s30);
        CrackLineParameters params;
        params.stepX = 4;
        params.windowSize = 21;
        return extractCrackLines(set, params);
    };
    // 3.4 windows: beyond the 2.5 a right-angled crossing explains, within the 4.2 of one at 30 degrees.
    const CrackLineSet joined = run(18.0f, true);
    ASSERT_EQ(joined.lineCount(), 2u);
    EXPECT_EQ(joined.size(), 42u + 49u);
    for (size_t k = 0; k < joined.size(); ++k)
        if (std::abs(joined.sine[k]) < 0.1f) {
            EXPECT_NEAR(joined.y[k], 30.0f, 1e-4f) << "a bent point is kept";
        }
    EXPECT_EQ(run(18.0f, false).lineCount(), 2u) << "joined with no crossing";
    EXPECT_EQ(run(24.0f, true).lineCount(), 3u) << "joined beyond what the crossing explains";
}

// Where two cracks cross, the first pass can link one crack's ridge round the
// corner into the other's. The line is cut there, and each crack is joined
// through the crossing into one straight line.
TEST(CrackLines, ALineThatTurnsIntoACrossingCrackIsCutAndEachCrackJoinedThroughTheCrossing) {
    for (const double degrees : {40.0, 60.0}) {
        const float c = float(std::cos(degrees * kPi / 180.0)), s = float(-std::sin(degrees * kPi / 180.0));
        const auto along = [&](float t) { return std::array<float, 2>{32.0f + t * c, 30.0f + t * s}; };
        std::vector<std::array<float, 2>> corner, right, lower;
        for (int x = 2; x <= 26; ++x) corner.push_back({float(x), 30.0f});
        corner.push_back({27.6f, 29.2f}); // a stray fit in the hole
        for (int t = 6; t <= 28; ++t) corner.push_back(along(float(t)));
        for (int x = 38; x <= 62; ++x) right.push_back({float(x), 30.0f});
        for (int t = -28; t <= -6; ++t) lower.push_back(along(float(t)));
        CrackLineSet set;
        addPiece(set, corner);
        addPiece(set, right);
        addPiece(set, lower, c, s);
        CrackLineParameters params;
        params.stepX = 4;
        params.windowSize = 21;
        const CrackLineSet lines = extractCrackLines(set, params);
        ASSERT_EQ(lines.lineCount(), 2u) << degrees;
        for (size_t l = 0; l < 2; ++l) {
            // Straight: every point within a cell of the chord from the line's first point to its last.
            const size_t first = size_t(lines.lineStarts[l]), last = size_t(lines.lineStarts[l + 1]) - 1;
            const double dx = lines.x[last] - lines.x[first], dy = lines.y[last] - lines.y[first];
            EXPECT_GT(std::hypot(dx, dy), 55.0) << degrees << " line " << l;
            for (size_t k = first; k <= last; ++k) {
                const double off = ((lines.x[k] - lines.x[first]) * dy - (lines.y[k] - lines.y[first]) * dx) /
                                   std::hypot(dx, dy);
                EXPECT_LT(std::abs(off), 1.0) << degrees << " line " << l << " point " << k - first;
            }
        }
    }
}

// Points set off a straight crack by half a cell and more turn the six-point
// stretches either side of them by over 20 degrees, and used to cut one crack
// into two lines: four points where a large spot misled the fits, and the
// ends of a gap that bend by a cell towards a crossing crack too faint to give
// a line (both as a 61 px window measured them on a B-spline pair).
TEST(CrackLines, PointsSetOffAStraightCrackDoNotCutIt) {
    CrackLineParameters params;
    params.stepX = 4;
    params.windowSize = 61;
    // Along and across the crack, in cells, from 2 and 30.
    const auto piece = [](const std::vector<std::array<float, 2>>& measured, float before, float after) {
        std::vector<std::array<float, 2>> points;
        for (float t = before; t < measured.front()[0] - 0.5f; t += 0.7f) points.push_back({2.0f + t, 30.0f});
        for (const auto& m : measured) points.push_back({2.0f + m[0], 30.0f + m[1]});
        for (float t = measured.back()[0] + 0.7f; t <= after; t += 0.7f) points.push_back({2.0f + t, 30.0f});
        return points;
    };
    CrackLineSet bumped;
    addPiece(bumped, piece({{7.04f, -0.03f}, {7.81f, -0.07f}, {9.2f, -0.5f}, {9.86f, -0.63f}, {10.6f, -0.62f},
                            {11.27f, -0.76f}, {12.03f, 0.0f}, {12.82f, -0.02f}},
                           0.0f, 40.0f));
    const CrackLineSet one = extractCrackLines(bumped, params);
    EXPECT_EQ(one.lineCount(), 1u);
    EXPECT_EQ(one.size(), bumped.size());

    CrackLineSet bent;
    addPiece(bent, piece({{8.06f, -0.09f}, {9.41f, -0.04f}, {10.28f, -0.11f}, {11.65f, -0.16f}, {12.49f, -0.52f},
                          {13.01f, -0.58f}, {14.34f, -1.11f}},
                         0.0f, 14.34f));
    addPiece(bent, {{19.5f, 29.1f}}); // a stray fit in the gap
    addPiece(bent, piece({{20.66f, -0.82f}, {21.92f, -0.28f}, {22.82f, -0.22f}, {24.16f, -0.1f}, {25.06f, 0.04f}},
                         20.66f, 50.0f));
    const CrackLineSet joined = extractCrackLines(bent, params);
    EXPECT_EQ(joined.lineCount(), 1u);
    EXPECT_EQ(longestLine(joined), int32_t(joined.size()));
}

// Where two cracks cross at 39 degrees and the fits of each reach within two
// cells of the other, a line's end can lie nearer the other crack's piece
// beyond the crossing, round the corner, than its own: those ends used to be
// joined first and then cut apart at the corner, so that neither crack was
// joined through.
TEST(CrackLines, PiecesThatReachANarrowCrossingAreJoinedStraightThrough) {
    const float c = float(std::cos(51.0 * kPi / 180.0)), s = float(std::sin(51.0 * kPi / 180.0));
    const auto along = [&](float t) { return std::array<float, 2>{32.0f + t * c, 30.0f + t * s}; };
    std::vector<std::array<float, 2>> before, after, above, below;
    for (int k = 25; k >= 0; --k) before.push_back(along(-1.7f - float(k)));
    for (int k = 0; k <= 25; ++k) after.push_back(along(2.0f + float(k)));
    for (int k = 25; k >= 0; --k) above.push_back({32.0f, 27.8f - float(k)});
    for (int k = 0; k <= 25; ++k) below.push_back({32.0f, 31.7f + float(k)});
    CrackLineSet set;
    addPiece(set, before, c, s);
    addPiece(set, above, 0.0f, 1.0f);
    addPiece(set, after, c, s);
    addPiece(set, below, 0.0f, 1.0f);
    CrackLineParameters params;
    params.stepX = 4;
    params.windowSize = 21;
    const CrackLineSet lines = extractCrackLines(set, params);
    ASSERT_EQ(lines.lineCount(), 2u);
    EXPECT_EQ(lines.size(), set.size());
    for (size_t l = 0; l < 2; ++l) {
        const size_t first = size_t(lines.lineStarts[l]), last = size_t(lines.lineStarts[l + 1]) - 1;
        EXPECT_GT(std::hypot(lines.x[last] - lines.x[first], lines.y[last] - lines.y[first]), 50.0) << "line " << l;
    }
}

TEST(CrackLines, SmoothFieldsHaveNoCrack) {
    // A 1 % gradient with noise, and a 1.5 px wave of 160 px period (strains up to 6 %).
    for (const bool wave : {false, true}) {
        CrackField field;
        field.gradient = wave ? 0.0 : 0.01;
        field.noise = 0.03;
        field.build(11);
        if (wave)
            for (size_t k = 0; k < field.result.dispX.size(); ++k)
                field.result.dispX[k] += float(1.5 * std::sin(2 * kPi * double(k % kGrid) / 40.0));
        EXPECT_TRUE(field.lines().empty()) << "wave " << wave;
    }
}

TEST(CrackLines, HolesAndDegenerateGridsAreSurvived) {
    CrackField field;
    field.angle = 20.0, field.jumpY = 1.0, field.noise = 0.02;
    field.build();
    std::mt19937 random(3);
    for (float& v : field.result.dispX)
        if (random() % 10 == 0) v = kNaN;
    for (int k = 28 * kGrid; k < 36 * kGrid; ++k)
        if (k % kGrid >= 28 && k % kGrid < 36) field.result.dispY[k] = kNaN;
    const CrackLineSet lines = field.lines();
    EXPECT_GE(lines.size(), 20u) << "the crack is found around the holes";
    for (size_t k = 0; k < lines.size(); ++k) EXPECT_TRUE(std::isfinite(lines.jumpA[k] + lines.jumpB[k]));

    const std::vector<float> nan(kGrid * kGrid, kNaN), four(4, 0.0f);
    for (const CrackGridView& view : {CrackGridView{kGrid, kGrid, nan.data(), nan.data()}, CrackGridView{},
                                      CrackGridView{2, 2, four.data(), four.data()}, CrackGridView{kGrid, kGrid}})
        EXPECT_TRUE(extractCrackLines(extractCrackLines(view, CrackField::params()), CrackField::params()).empty());
}

TEST(CrackLines, MeasuresFieldsAtThePointsFromTheirFiniteNeighbours) {
    CrackLineSet set;
    set.x = {2.3f};
    set.y = {1.5f};
    std::vector<float> linear(24);
    for (int k = 0; k < 24; ++k) linear[k] = float(k % 6 + 10 * (k / 6));
    EXPECT_NEAR(measureCrackLines(linear, 6, 4, set, 0), 2.3f + 15.0f, 1e-5f);
    linear[8] = linear[9] = linear[14] = linear[15] = kNaN;
    EXPECT_TRUE(std::isnan(measureCrackLines(linear, 6, 4, set, 0))) << "no value around the point";
    EXPECT_TRUE(std::isnan(measureCrackLines(linear, 6, 4, set, 1))) << "no such point";
    EXPECT_TRUE(makeNanField(set, {7.0f}, 0, 4, 4.0f, CrackField::params()).empty());
}

// A horizontal crack (tangent (1, 0)) that slides by a = 3 px and opens by b = 4 px.
TEST(CrackDetection, PlacesTheCrackFieldsOnTheGrid) {
    CrackField field;
    field.jumpX = 3.0, field.jumpY = 4.0;
    const FractureResult cracks = gui::detectCracks(field.build().result, kStep, kWindow);
    ASSERT_EQ(cracks.fields[FractureResult::OpeningIntensity].size(), size_t(kGrid * kGrid));
    EXPECT_TRUE(cracks.fields[FractureResult::CrackPosition].empty());
    const size_t onLine = 32 * kGrid + 32, far = 10 * kGrid + 32;
    const auto at = [&](int f, size_t k) { return cracks.fields[f][k]; };
    EXPECT_NEAR(at(FractureResult::OpeningX, onLine), 3.0f, 0.05f);
    EXPECT_NEAR(at(FractureResult::OpeningY, onLine), 4.0f, 0.05f);
    EXPECT_NEAR(at(FractureResult::OpeningIntensity, onLine), 5.0f, 0.05f);
    EXPECT_NEAR(at(FractureResult::CrackAngle, onLine), 0.0f, 1.0f);
    EXPECT_NEAR(at(FractureResult::OpeningDirection, onLine), 53.13f, 0.5f);
    EXPECT_NEAR(at(FractureResult::Longitudinal, onLine), 3.0f, 0.1f);
    EXPECT_NEAR(at(FractureResult::Transverse, onLine), 4.0f, 0.1f);
    for (int f : {0, 1, 2, 3, 4, 12, 13, 14}) EXPECT_TRUE(std::isnan(at(f, far))) << "field " << f;

    PixelDisplacementResult shortField = field.result;
    shortField.dispX.pop_back();
    for (const PixelDisplacementResult& d : {PixelDisplacementResult{}, shortField}) {
        const FractureResult none = gui::detectCracks(d, 0, 0);
        EXPECT_EQ(none.gridWidth, d.gridWidth);
        EXPECT_TRUE(std::all_of(none.fields.begin(), none.fields.end(), [](const auto& f) { return f.empty(); }));
    }
}

} // namespace
} // namespace tavro
