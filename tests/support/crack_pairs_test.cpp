#include "support/crack_pairs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <numbers>
#include <set>

namespace tavro::testing {
namespace {

constexpr int kHalf = 20; // px, half the side of the patches matched

// Keys' cubic (a = -0.5) through the 4 x 4 pixels around (x, y), the border repeated.
double bicubic(const Image& image, double x, double y) {
    const auto weight = [](double t) {
        t = std::abs(t);
        return t < 1.0 ? (1.5 * t - 2.5) * t * t + 1.0 : t < 2.0 ? ((-0.5 * t + 2.5) * t - 4.0) * t + 2.0 : 0.0;
    };
    const int x0 = int(std::floor(x)), y0 = int(std::floor(y));
    double sum = 0.0;
    for (int j = -1; j <= 2; ++j)
        for (int i = -1; i <= 2; ++i)
            sum += weight(x - (x0 + i)) * weight(y - (y0 + j)) *
                   image.at(std::clamp(x0 + i, 0, image.width - 1), std::clamp(y0 + j, 0, image.height - 1));
    return sum;
}

// The translation carrying the reference patch around (cx, cy) onto the deformed
// image, by Gauss-Newton on the grey-level differences from `start`.
Vec2 matchPatch(const CrackPair& pair, int cx, int cy, Vec2 start) {
    Vec2 t = start;
    for (int iteration = 0; iteration < 20; ++iteration) {
        double h[3] = {}, b[2] = {};
        for (int y = cy - kHalf; y <= cy + kHalf; ++y)
            for (int x = cx - kHalf; x <= cx + kHalf; ++x) {
                const double gx = 0.5 * (pair.reference.at(x + 1, y) - pair.reference.at(x - 1, y));
                const double gy = 0.5 * (pair.reference.at(x, y + 1) - pair.reference.at(x, y - 1));
                const double r = bicubic(pair.deformed, x + t[0], y + t[1]) - pair.reference.at(x, y);
                h[0] += gx * gx, h[1] += gx * gy, h[2] += gy * gy;
                b[0] += gx * r, b[1] += gy * r;
            }
        const double det = h[0] * h[2] - h[1] * h[1];
        const Vec2 step{-(h[2] * b[0] - h[1] * b[1]) / det, -(h[0] * b[1] - h[1] * b[0]) / det};
        t[0] += step[0], t[1] += step[1];
        if (std::hypot(step[0], step[1]) < 1e-4) break;
    }
    return t;
}

struct PatchErrors {
    int patches = 0;
    Vec2 sum{0.0, 0.0};
    double squares = 0.0;

    Vec2 mean() const { return {sum[0] / patches, sum[1] / patches}; }
    double rms() const { return std::sqrt(squares / patches); }
};

// By the sides of the cracks they lie on: patches whose material moves as one
// piece (no crack, tip or band within 4 px of them), each matched against the
// displacement the pair states at its centre.
std::map<unsigned, PatchErrors> patchErrors(const CrackPair& pair) {
    std::map<unsigned, PatchErrors> out;
    const int reach = kHalf + 4, size = pair.plan.size;
    for (int cy = reach + 2; cy < size - reach - 2; cy += 16)
        for (int cx = reach + 2; cx < size - reach - 2; cx += 16) {
            const Vec2 u = pair.displacement(cx, cy);
            const unsigned sides = pair.sides(cx, cy);
            bool rigid = true;
            for (int dy : {-reach, 0, reach})
                for (int dx : {-reach, 0, reach}) {
                    const Vec2 v = pair.displacement(cx + dx, cy + dy);
                    rigid = rigid && std::hypot(v[0] - u[0], v[1] - u[1]) < 0.08 && pair.sides(cx + dx, cy + dy) == sides;
                }
            if (!rigid) continue;
            const Vec2 found = matchPatch(pair, cx, cy, u);
            const double ex = found[0] - u[0], ey = found[1] - u[1];
            PatchErrors& e = out[sides];
            ++e.patches;
            e.sum[0] += ex, e.sum[1] += ey;
            e.squares += ex * ex + ey * ey;
        }
    return out;
}

TEST(RandomCrackPairs, MaterialOnEachSideMovesByItsSidesDisplacement) {
    // One draw of each kind, at 256 px: bicubic matching of 41 px patches is
    // unbiased to about 0.01 px on these spots, and 2 % noise spreads single
    // patches by a few hundredths, which the mean over a side removes. A side
    // given another's field would be off by a whole jump, 0.1 px at least.
    // The first elastic tip too, whose material strains all round its tip.
    std::set<CrackDrawKind> kinds;
    bool elastic = false;
    for (std::uint64_t seed = 1; (kinds.size() < 5 || !elastic) && seed < 60; ++seed) {
        const RandomCrackPlan drawn = randomCrackPlan(seed, 256);
        const bool firstElastic = !elastic && drawn.plan.cracks.size() == 1 && drawn.plan.cracks[0].elasticTip;
        elastic = elastic || firstElastic;
        if (!kinds.insert(drawn.kind).second && !firstElastic) continue;
        const CrackPair pair = makeCrackPair(drawn.plan);
        SCOPED_TRACE(drawn.plan.name);
        const std::map<unsigned, PatchErrors> sides = patchErrors(pair);
        int patches = 0;
        for (const auto& [side, e] : sides) {
            patches += e.patches;
            if (e.patches < 8) continue;
            EXPECT_LT(std::hypot(e.mean()[0], e.mean()[1]), 0.04) << "side " << side;
            EXPECT_LT(e.rms(), 0.1) << "side " << side;
        }
        const size_t expected = drawn.kind == CrackDrawKind::Crossing ? 4 : drawn.kind == CrackDrawKind::ShearBand ? 1 : 2;
        EXPECT_GE(sides.size(), expected - (drawn.kind == CrackDrawKind::Border));
        EXPECT_GT(patches, 60);
    }
    EXPECT_EQ(kinds.size(), 5u) << "the draws reach every kind";
    EXPECT_TRUE(elastic);
}

TEST(RandomCrackPairs, AnOpeningShowsTheGapsGreyAcrossItsWidth) {
    // The plus side moves 3 px along the normal from the still minus side: the
    // deformed pixels 1 to 2 px beyond the line are covered by neither.
    CrackPairPlan plan = randomCrackPlan(11, 128).plan;
    const double a = plan.angle * std::numbers::pi / 180.0;
    plan.cracks = {CrackSpec{3.3, {3.0 * std::sin(a), 3.0 * std::cos(a)}}};
    plan.minusMoves = false;
    plan.base = nullptr;
    plan.noise = 0.0;
    plan.blur = 0.0;
    for (double grey : {0.0, 37.0}) {
        plan.gapGrey = grey;
        const CrackPair pair = makeCrackPair(plan);
        int inside = 0;
        for (int y = 0; y < plan.size; ++y)
            for (int x = 0; x < plan.size; ++x) {
                const double d = pair.distance(0, x, y);
                if (d < 1.0 || d > 2.0) continue;
                ++inside;
                ASSERT_NEAR(pair.deformed.at(x, y), grey, 0.5) << x << ", " << y;
            }
        EXPECT_GT(inside, 100);
    }
}

TEST(RandomCrackPairs, AnElasticTipsFacesPartAsTheRootOfTheDistanceAndNothingAheadOfIt) {
    CrackPairPlan plan;
    plan.angle = 31.0;
    plan.cracks = {CrackSpec{12.0, {0.9, -1.3}, 20.0}};
    plan.cracks[0].elasticTip = true;
    plan.cracks[0].taper = 60.0;
    const CrackPair pair{plan, {}, {}};
    const Vec2 n = pair.normal(0), t = pair.tangent(0);
    const double c = 0.5 * plan.size, tip = plan.cracks[0].tip, o = plan.cracks[0].offset;
    const auto at = [&](double s, double d) {
        return Vec2{c + (o + d) * n[0] + s * t[0], c + (o + d) * n[1] + s * t[1]};
    };
    // The faces part by the jump times the root of the distance over the taper, bent to a line within 1/4 px.
    for (double behind : {0.0, 1.0, 15.0, 60.0, 240.0}) {
        const Vec2 p = at(tip - behind, 0.0);
        const Vec2 plus = pair.sideField(1u, p[0], p[1]), minus = pair.sideField(0u, p[0], p[1]);
        const double share = pair.jumpShare(0, tip - behind);
        EXPECT_NEAR(plus[0] - minus[0], 0.9 * share, 1e-9) << behind;
        EXPECT_NEAR(plus[1] - minus[1], -1.3 * share, 1e-9) << behind;
        EXPECT_NEAR(share, std::sqrt(behind / 60.0), behind < 10.0 ? 0.02 : 0.01 * share) << behind;
    }
    // Ahead of the tip both sides are one material: the field runs on across the line, strained but whole.
    for (double ahead : {0.5, 10.0, 100.0})
        for (double across : {-1e-4, 1e-4}) {
            const Vec2 p = at(tip + ahead, across);
            const Vec2 plus = pair.sideField(1u, p[0], p[1]), minus = pair.sideField(0u, p[0], p[1]);
            EXPECT_NEAR(plus[0], minus[0], 1e-12);
            EXPECT_NEAR(plus[1], minus[1], 1e-12);
            const Vec2 other = pair.displacement(at(tip + ahead, -across)[0], at(tip + ahead, -across)[1]);
            EXPECT_NEAR(pair.displacement(p[0], p[1])[0], other[0], 1e-3);
            EXPECT_NEAR(pair.displacement(p[0], p[1])[1], other[1], 1e-3);
        }
    const Vec2 near = at(tip + 2.0, 0.0), far = at(tip + 200.0, 0.0);
    EXPECT_EQ(pair.jumpShare(0, tip + 2.0), 0.0);
    // ... and moves the more the further, as the material behind the tip does.
    const Vec2 uNear = pair.displacement(near[0], near[1]), uFar = pair.displacement(far[0], far[1]);
    EXPECT_GT(std::hypot(uFar[0], uFar[1]), 5.0 * std::hypot(uNear[0], uNear[1]));
}

TEST(RandomCrackPairs, BorderCracksRunFiveToTwentyPixelsFromAnEdge) {
    int border = 0, nearAxis = 0, crossing = 0;
    for (std::uint64_t seed = 1; seed <= 300; ++seed) {
        const RandomCrackPlan drawn = randomCrackPlan(seed);
        const double a = std::fmod(drawn.plan.angle, 90.0);
        nearAxis += std::min(a, 90.0 - a) < 1.0;
        if (drawn.kind == CrackDrawKind::Crossing) {
            const CrackPair pair{drawn.plan, {}, {}};
            double between = std::fmod(std::abs(pair.angle(0) - pair.angle(1)), 180.0);
            EXPECT_GE(std::min(between, 180.0 - between), 29.9) << seed;
            ++crossing;
        }
        if (drawn.kind != CrackDrawKind::Border) continue;
        ++border;
        const CrackPair pair{drawn.plan, {}, {}};
        // Where it passes the centre: its distance from the nearer edge, pixel centres running 0 to size - 1.
        const double c = 0.5 * drawn.plan.size, offset = drawn.plan.cracks[0].offset;
        const Vec2 n = pair.normal(0);
        const double across = std::abs(n[0]) > std::abs(n[1]) ? c + offset * n[0] : c + offset * n[1];
        const double edge = std::min(across + 0.5, drawn.plan.size - 0.5 - across);
        EXPECT_GE(edge, 5.0 - 1e-9) << seed;
        EXPECT_LE(edge, 20.0 + 1e-9) << seed;
        EXPECT_LT(std::min(a, 90.0 - a), 0.5) << seed;
    }
    EXPECT_GT(border, 20);
    EXPECT_GT(crossing, 20);
    EXPECT_GT(nearAxis, 60) << "a third of the cracks lie within 1 degree of an axis";
}

} // namespace
} // namespace tavro::testing
