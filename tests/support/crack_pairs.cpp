#include "support/crack_pairs.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace tavro::testing {
namespace {

constexpr double kGapGrey = 40.0;

Image camera(const Image& image, double noise, std::uint64_t seed) {
    const std::vector<std::uint8_t> grey = quantize8(noise > 0.0 ? addGaussianNoise(image, noise, seed) : image);
    Image out(image.width, image.height);
    std::copy(grey.begin(), grey.end(), out.pixels.begin());
    return out;
}

Vec2 scaled(Vec2 v, double s) {
    return {v[0] * s, v[1] * s};
}

} // namespace

Vec2 CrackPair::normal() const {
    const double a = plan.angle * std::numbers::pi / 180.0;
    return {std::sin(a), std::cos(a)};
}

Vec2 CrackPair::tangent() const {
    const double a = plan.angle * std::numbers::pi / 180.0;
    return {std::cos(a), -std::sin(a)};
}

double CrackPair::distance(size_t k, double x, double y) const {
    const Vec2 n = normal();
    const double c = 0.5 * plan.size;
    return n[0] * (x - c) + n[1] * (y - c) - plan.cracks[k].offset;
}

double CrackPair::along(double x, double y) const {
    const Vec2 t = tangent();
    const double c = 0.5 * plan.size;
    return t[0] * (x - c) + t[1] * (y - c);
}

double CrackPair::jumpShare(size_t k, double s) const {
    const double tip = plan.cracks[k].tip;
    return std::isfinite(tip) ? std::clamp((tip - s) / kTipTaper, 0.0, 1.0) : 1.0;
}

Vec2 CrackPair::jumpAt(size_t k, double x, double y) const {
    return scaled(plan.cracks[k].jump, jumpShare(k, along(x, y)));
}

Vec2 CrackPair::regionField(size_t r, double x, double y) const {
    Vec2 u = plan.base ? plan.base(x, y) : Vec2{0.0, 0.0};
    for (size_t k = 0; k < plan.cracks.size(); ++k) {
        const double share = (k < r ? 1.0 : 0.0) - (plan.minusMoves ? 1.0 : 0.0);
        if (share == 0.0) continue;
        const Vec2 j = jumpAt(k, x, y);
        u[0] += share * j[0];
        u[1] += share * j[1];
    }
    return u;
}

size_t CrackPair::region(double x, double y) const {
    size_t r = 0;
    while (r < plan.cracks.size() && distance(r, x, y) > 0.0) ++r;
    return r;
}

Vec2 CrackPair::displacement(double x, double y) const {
    return regionField(region(x, y), x, y);
}

double coveredShare(const CrackPair& pair, size_t k, const std::vector<Vec2>& line, Vec2 lo, Vec2 hi, double across,
                    double spacing) {
    const Vec2 n = pair.normal(), t = pair.tangent();
    const double c = 0.5 * pair.plan.size, offset = pair.plan.cracks[k].offset;
    int samples = 0, hits = 0;
    for (double s = -pair.plan.size; s <= pair.plan.size; s += 1.0) {
        const Vec2 p{c + offset * n[0] + s * t[0], c + offset * n[1] + s * t[1]};
        if (p[0] < lo[0] || p[0] > hi[0] || p[1] < lo[1] || p[1] > hi[1] || pair.jumpShare(k, s) < 1.0) continue;
        ++samples;
        hits += std::any_of(line.begin(), line.end(), [&](const Vec2& q) {
            const double dx = q[0] - p[0], dy = q[1] - p[1];
            return std::abs(n[0] * dx + n[1] * dy) <= across && std::abs(t[0] * dx + t[1] * dy) <= 1.5 * spacing;
        });
    }
    return samples > 0 ? double(hits) / samples : std::nan("");
}

SpeckleOptions speckleOf(const CrackPairPlan& plan) {
    SpeckleOptions options;
    options.width = options.height = plan.size;
    options.seed = plan.seed;
    options.coverage = plan.coverage;
    options.contrast = plan.contrast;
    return options;
}

CrackPair makeCrackPair(const CrackPairPlan& plan) {
    CrackPair pair;
    pair.plan = plan;
    const SpeckleModel model(speckleOf(plan));
    pair.reference = camera(model.render(), plan.noise, plan.seed + 1);

    const size_t regions = plan.cracks.size() + 1;
    std::vector<Image> images;
    std::vector<DisplacementField> fields;
    for (size_t r = 0; r < regions; ++r) {
        fields.push_back([&pair, r](double x, double y) { return pair.regionField(r, x, y); });
        images.push_back(model.render(fields.back()));
    }
    Image deformed(plan.size, plan.size);
    for (int y = 0; y < plan.size; ++y)
        for (int x = 0; x < plan.size; ++x) {
            // Each region's share from where its material at this pixel came from.
            double covered = 0.0, grey = 0.0;
            for (size_t r = 0; r < regions; ++r) {
                const Vec2 u = fields[r](x, y);
                const double X = x - u[0], Y = y - u[1];
                double share = 1.0;
                if (r > 0) share *= std::clamp(0.5 + pair.distance(r - 1, X, Y), 0.0, 1.0);
                if (r < plan.cracks.size()) share *= std::clamp(0.5 - pair.distance(r, X, Y), 0.0, 1.0);
                covered += share;
                grey += share * images[r].at(x, y);
            }
            deformed.at(x, y) = float(covered > 1.0 ? grey / covered : grey + (1.0 - covered) * kGapGrey);
        }
    pair.deformed = camera(deformed, plan.noise, plan.seed + 2);
    return pair;
}

std::vector<CrackPairPlan> crackPairCatalogue() {
    const DisplacementField drift = translationField(0.27, -0.36);
    const auto opening = [](double angle, double length, double turn) {
        // The jump turned `turn` degrees from the normal: 0 opens, 90 slides.
        const double a = angle * std::numbers::pi / 180.0, t = turn * std::numbers::pi / 180.0;
        const Vec2 n{std::sin(a), std::cos(a)};
        return Vec2{length * (n[0] * std::cos(t) - n[1] * std::sin(t)),
                    length * (n[0] * std::sin(t) + n[1] * std::cos(t))};
    };
    const auto single = [&](std::string name, int size, double angle, Vec2 jump, bool minusMoves) {
        CrackPairPlan s;
        s.name = std::move(name);
        s.size = size;
        s.angle = angle;
        s.cracks = {CrackSpec{0.3, jump}};
        s.minusMoves = minusMoves;
        s.base = drift;
        return s;
    };
    std::vector<CrackPairPlan> all;
    // The window's own case: 14 degrees, the lower side moving (0.6, 1.6) px, then the upper one.
    // Nothing else moves: the still side needs no interpolation at all.
    all.push_back(single("a14_lower_moving", 1024, 14.0, {0.6, 1.6}, false));
    all.push_back(single("a14_upper_moving", 1024, 14.0, {0.6, 1.6}, true));
    for (size_t k : {all.size() - 2, all.size() - 1}) all[k].base = nullptr, all[k].noise = 0.0;
    all.push_back(single("open0.2_a30", 512, 30.0, opening(30.0, 0.2, 0.0), false));
    all.push_back(single("open0.5_a0", 512, 0.0, opening(0.0, 0.5, 0.0), true));
    all.push_back(single("open1_a45", 512, 45.0, opening(45.0, 1.0, 0.0), false));
    all.push_back(single("open3_a90", 512, 90.0, opening(90.0, 3.0, 0.0), true));
    all.push_back(single("slide0.5_a60", 512, 60.0, opening(60.0, 0.5, 90.0), false));
    all.push_back(single("slide2_a10", 512, 10.0, opening(10.0, 2.0, 90.0), true));
    all.push_back(single("mixed1.5_a75", 512, 75.0, opening(75.0, 1.5, 40.0), false));
    CrackPairPlan tip = single("tip_open1_a20", 512, 20.0, opening(20.0, 1.0, 0.0), false);
    tip.cracks[0].tip = 40.0;
    all.push_back(tip);
    for (double apart : {60.0, 100.0, 200.0}) {
        CrackPairPlan s = single("parallel" + std::to_string(int(apart)) + "_a10", 512, 10.0, {}, false);
        s.cracks = {CrackSpec{-0.5 * apart, opening(10.0, 0.8, 20.0)}, CrackSpec{0.5 * apart, opening(10.0, 0.6, -30.0)}};
        all.push_back(s);
    }
    CrackPairPlan sine;
    sine.name = "smooth_sine64";
    sine.base = sinusoidField({0.0, 0.5}, 64.0);
    all.push_back(sine);
    CrackPairPlan longSine = sine;
    longSine.name = "smooth_sine128";
    longSine.base = sinusoidField({0.0, 0.5}, 128.0);
    all.push_back(longSine);
    // A strain step of 1/64 and, 64 px on, another back to none: a crack tip's
    // fade without its crack.
    CrackPairPlan steps;
    steps.name = "smooth_strain_steps";
    steps.base = [](double x, double y) {
        return Vec2{0.0, std::clamp((0.94 * x + 0.34 * y - 208.0) / 64.0, 0.0, 1.0)};
    };
    all.push_back(steps);
    CrackPairPlan affine;
    affine.name = "smooth_affine";
    affine.base = affineField({0.004, -0.002, 0.003, 0.005}, {256.0, 256.0}, {1.3, -0.7});
    all.push_back(affine);
    return all;
}

} // namespace tavro::testing
