#include "support/crack_pairs.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>

namespace tavro::testing {
namespace {

Image camera(const Image& image, double noise, std::uint64_t seed) {
    const std::vector<std::uint8_t> grey = quantize8(noise > 0.0 ? addGaussianNoise(image, noise, seed) : image);
    Image out(image.width, image.height);
    std::copy(grey.begin(), grey.end(), out.pixels.begin());
    return out;
}

Vec2 scaled(Vec2 v, double s) {
    return {v[0] * s, v[1] * s};
}

// Separable, the border pixel repeated beyond the image.
Image gaussianBlur(const Image& image, double sigma) {
    const int radius = int(std::ceil(3.0 * sigma));
    std::vector<double> kernel(size_t(2 * radius + 1));
    double sum = 0.0;
    for (int i = -radius; i <= radius; ++i) sum += kernel[size_t(i + radius)] = std::exp(-0.5 * i * i / (sigma * sigma));
    for (double& k : kernel) k /= sum;
    const auto pass = [&](const Image& in, int dx, int dy) {
        Image out(in.width, in.height);
        for (int y = 0; y < in.height; ++y)
            for (int x = 0; x < in.width; ++x) {
                double v = 0.0;
                for (int i = -radius; i <= radius; ++i)
                    v += kernel[size_t(i + radius)] *
                         in.at(std::clamp(x + i * dx, 0, in.width - 1), std::clamp(y + i * dy, 0, in.height - 1));
                out.at(x, y) = float(v);
            }
        return out;
    };
    return pass(pass(image, 1, 0), 0, 1);
}

// Maps the grey levels g of every image to mean + (g - m) sd / s, m and s the
// reference's average and spread: exact, since rendering is linear in the gain.
void regrey(Image& reference, std::vector<Image>& others, double mean, double sd) {
    double sum = 0.0, squares = 0.0;
    for (float g : reference.pixels) sum += g, squares += double(g) * g;
    const double n = double(reference.pixels.size()), m = sum / n;
    const double s = std::sqrt(std::max(squares / n - m * m, 1e-12));
    const auto map = [&](Image& image) {
        for (float& g : image.pixels) g = float(mean + (g - m) * sd / s);
    };
    map(reference);
    for (Image& image : others) map(image);
}

std::uint64_t nextRandom(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

} // namespace

double CrackPair::angle(size_t k) const {
    return std::isnan(plan.cracks[k].angle) ? plan.angle : plan.cracks[k].angle;
}

Vec2 CrackPair::normal(size_t k) const {
    const double a = angle(k) * std::numbers::pi / 180.0;
    return {std::sin(a), std::cos(a)};
}

Vec2 CrackPair::tangent(size_t k) const {
    const double a = angle(k) * std::numbers::pi / 180.0;
    return {std::cos(a), -std::sin(a)};
}

double CrackPair::along(size_t k, double x, double y) const {
    const Vec2 t = tangent(k);
    const double c = 0.5 * plan.size;
    return t[0] * (x - c) + t[1] * (y - c);
}

unsigned CrackPair::sides(double x, double y) const {
    unsigned out = 0;
    for (size_t k = 0; k < plan.cracks.size(); ++k) out |= unsigned(distance(k, x, y) > 0.0) << k;
    return out;
}

namespace {

// How far an elastic tip's faces have parted r px behind it, as a share of the crack's jump: the root of r / taper,
// bent to grow linearly within a small process zone, which keeps the material from folding at the tip.
double elasticOpening(const CrackSpec& crack, double r) {
    const double zone = std::pow(2.5 * std::hypot(crack.jump[0], crack.jump[1]), 2.0) / crack.taper;
    return r / std::sqrt(crack.taper * (r + zone));
}

// The displacement near an elastic tip, in the tip's frame (x1 ahead along the crack, x2 along its normal): the
// square-root terms of the mixed-mode tip field (kappa 2, a plane-stress Poisson's ratio of 1/3), jump[0] the faces'
// sliding and jump[1] their opening where the crack is whole.
// Each side's material extends its own face continuously over the plane; on the other side's half behind the tip it
// turns smoothly back to the field ahead, so that it has no cut anywhere for the renderer to fold over.
Vec2 elasticTipField(const CrackSpec& crack, Vec2 jump, double x1, double x2, bool normalSide) {
    constexpr double kappa = 2.0, pi = std::numbers::pi;
    const double root = elasticOpening(crack, std::hypot(x1, x2)) / (2.0 * (kappa + 1.0));
    const auto branch = [&](double theta) {
        const double opening = jump[1] * root, sliding = jump[0] * root;
        const double c = std::cos(0.5 * theta), s = std::sin(0.5 * theta);
        return Vec2{opening * c * (kappa - 1.0 + 2.0 * s * s) + sliding * s * (kappa + 1.0 + 2.0 * c * c),
                    opening * s * (kappa + 1.0 - 2.0 * c * c) - sliding * c * (kappa - 1.0 - 2.0 * s * s)};
    };
    const double theta = std::atan2(x2, x1), beyond = normalSide ? -0.5 * pi - theta : theta - 0.5 * pi;
    if (beyond <= 0.0) return branch(theta);
    const double t = std::min(beyond / (0.5 * pi), 1.0), w = t * t * (3.0 - 2.0 * t);
    const Vec2 own = branch(normalSide ? theta + 2.0 * pi : theta - 2.0 * pi), ahead = branch(theta);
    return {w * own[0] + (1.0 - w) * ahead[0], w * own[1] + (1.0 - w) * ahead[1]};
}

} // namespace

Vec2 CrackPair::sideField(unsigned sides, double x, double y) const {
    Vec2 u = plan.base ? plan.base(x, y) : Vec2{0.0, 0.0};
    for (size_t k = 0; k < plan.cracks.size(); ++k) {
        if (plan.cracks[k].elasticTip) {
            const Vec2 n = normal(k), t = tangent(k), j = plan.cracks[k].jump;
            const Vec2 local =
                elasticTipField(plan.cracks[k], {j[0] * t[0] + j[1] * t[1], j[0] * n[0] + j[1] * n[1]},
                                along(k, x, y) - plan.cracks[k].tip, distance(k, x, y), (sides >> k) & 1u);
            u[0] += local[0] * t[0] + local[1] * n[0];
            u[1] += local[0] * t[1] + local[1] * n[1];
            continue;
        }
        const double share = ((sides >> k) & 1u ? 1.0 : 0.0) - (plan.minusMoves ? 1.0 : 0.0);
        if (share == 0.0) continue;
        const Vec2 j = jumpAt(k, x, y);
        u[0] += share * j[0];
        u[1] += share * j[1];
    }
    return u;
}

std::vector<unsigned> CrackPair::regionSides() const {
    const size_t n = plan.cracks.size();
    const bool parallel = std::all_of(plan.cracks.begin(), plan.cracks.end(),
                                      [](const CrackSpec& c) { return std::isnan(c.angle); });
    std::vector<unsigned> out;
    if (parallel)
        for (size_t r = 0; r <= n; ++r) out.push_back((1u << r) - 1u);
    else
        for (unsigned m = 0; m < (1u << n); ++m) out.push_back(m);
    return out;
}

Vec2 CrackPair::normal() const {
    const double a = plan.angle * std::numbers::pi / 180.0;
    return {std::sin(a), std::cos(a)};
}

Vec2 CrackPair::tangent() const {
    const double a = plan.angle * std::numbers::pi / 180.0;
    return {std::cos(a), -std::sin(a)};
}

double CrackPair::distance(size_t k, double x, double y) const {
    const Vec2 n = normal(k);
    const double c = 0.5 * plan.size;
    return n[0] * (x - c) + n[1] * (y - c) - plan.cracks[k].offset;
}

double CrackPair::along(double x, double y) const {
    const Vec2 t = tangent();
    const double c = 0.5 * plan.size;
    return t[0] * (x - c) + t[1] * (y - c);
}

double CrackPair::jumpShare(size_t k, double s, double across) const {
    const CrackSpec& crack = plan.cracks[k];
    if (!std::isfinite(crack.tip)) return 1.0;
    if (crack.elasticTip) return elasticOpening(crack, std::max(crack.tip - s, 0.0));
    const double t = std::clamp((crack.tip - s) / (crack.taper + crack.taperSpread * std::abs(across)), 0.0, 1.0);
    return crack.smoothTaper ? t * t * (3.0 - 2.0 * t) : t;
}

Vec2 CrackPair::jumpAt(size_t k, double x, double y) const {
    return scaled(plan.cracks[k].jump, jumpShare(k, along(k, x, y), distance(k, x, y)));
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
    return sideField(sides(x, y), x, y);
}

double coveredShare(const CrackPair& pair, size_t k, const std::vector<Vec2>& line, Vec2 lo, Vec2 hi, double across,
                    double spacing, double from, double to) {
    const Vec2 n = pair.normal(k), t = pair.tangent(k);
    const double c = 0.5 * pair.plan.size, offset = pair.plan.cracks[k].offset;
    int samples = 0, hits = 0;
    for (double s = -pair.plan.size; s <= pair.plan.size; s += 1.0) {
        const Vec2 p{c + offset * n[0] + s * t[0], c + offset * n[1] + s * t[1]};
        if (s < from || s > to || p[0] < lo[0] || p[0] > hi[0] || p[1] < lo[1] || p[1] > hi[1] || pair.jumpShare(k, s) < 1.0) continue;
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
    options.spotRadius = plan.spotRadius;
    options.brightShare = plan.brightShare;
    return options;
}

CrackPair makeCrackPair(const CrackPairPlan& plan) {
    CrackPair pair;
    pair.plan = plan;
    const SpeckleModel model(speckleOf(plan));
    Image reference = model.render();

    const std::vector<unsigned> regions = pair.regionSides();
    std::vector<Image> images;
    std::vector<DisplacementField> fields;
    for (unsigned sides : regions) {
        fields.push_back([&pair, sides](double x, double y) { return pair.sideField(sides, x, y); });
        images.push_back(model.render(fields.back()));
    }
    if (plan.greySd > 0.0) regrey(reference, images, plan.greyMean, plan.greySd);
    Image deformed(plan.size, plan.size);
    for (int y = 0; y < plan.size; ++y)
        for (int x = 0; x < plan.size; ++x) {
            // Each region's share from where its material at this pixel came from.
            double covered = 0.0, grey = 0.0;
            for (size_t r = 0; r < regions.size(); ++r) {
                const Vec2 u = fields[r](x, y);
                const double X = x - u[0], Y = y - u[1];
                double share = 1.0;
                for (size_t k = 0; k < plan.cracks.size() && share > 0.0; ++k)
                    share *= std::clamp((regions[r] >> k) & 1u ? 0.5 + pair.distance(k, X, Y)
                                                               : 0.5 - pair.distance(k, X, Y),
                                        0.0, 1.0);
                covered += share;
                grey += share * images[r].at(x, y);
            }
            deformed.at(x, y) = float(covered > 1.0 ? grey / covered : grey + (1.0 - covered) * plan.gapGrey);
        }
    if (plan.blur > 0.0) {
        reference = gaussianBlur(reference, plan.blur);
        deformed = gaussianBlur(deformed, plan.blur);
    }
    pair.reference = camera(reference, plan.noise, plan.seed + 1);
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
    // The same crack on fine bright spots on a dark ground, with a black gap as
    // an opening shows: bilinear interpolation of so fine a speckle leaves the
    // side moved by a fraction of a pixel a misfit many times the noise.
    CrackPairPlan fine = single("fine1.4_bright_a14", 1024, 14.0, {0.6, 1.6}, false);
    fine.base = nullptr;
    fine.spotRadius = 1.4;
    fine.brightShare = 1.0;
    fine.coverage = 0.5;
    fine.greyMean = 30.0;
    fine.greySd = 45.0;
    fine.gapGrey = 0.0;
    all.push_back(fine);
    CrackPairPlan dark = single("fine1.2_dark_a40", 512, 40.0, opening(40.0, 0.8, 30.0), true);
    dark.spotRadius = 1.2;
    dark.brightShare = 0.0;
    dark.coverage = 0.5;
    dark.greyMean = 220.0;
    dark.greySd = 45.0;
    dark.gapGrey = 0.0;
    all.push_back(dark);
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
    // Two cracks crossing at 25 degrees: for a window or two each side of the crossing
    // the subsets hold both, and a line can run round the corner from one into the other.
    CrackPairPlan crossing = single("cross25_a14", 512, 14.0, opening(14.0, 0.9, 30.0), false);
    crossing.cracks.push_back(CrackSpec{6.0, opening(39.0, 0.7, -50.0), std::numeric_limits<double>::infinity(), 39.0});
    all.push_back(crossing);
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

const char* crackDrawKindName(CrackDrawKind kind) {
    switch (kind) {
    case CrackDrawKind::Single: return "single";
    case CrackDrawKind::Border: return "border";
    case CrackDrawKind::Tip: return "tip";
    case CrackDrawKind::Crossing: return "crossing";
    case CrackDrawKind::ShearBand: return "shear_band";
    }
    return "";
}

RandomCrackPlan randomCrackPlan(std::uint64_t seed, int size) {
    std::uint64_t state = seed * 0x2545f4914f6cdd1dULL + 0x9e37ULL;
    const auto uniform = [&state](double lo, double hi) {
        return lo + (hi - lo) * double(nextRandom(state) >> 11) * 0x1.0p-53;
    };
    const auto chance = [&uniform](double p) { return uniform(0.0, 1.0) < p; };
    // Within 1 degree of an axis a third of the time: near-vertical and near-horizontal cracks are fitted apart.
    const auto drawAngle = [&]() {
        const double a = chance(1.0 / 3.0) ? (chance(0.5) ? 90.0 : 180.0) + uniform(-1.0, 1.0) : uniform(0.0, 180.0);
        return std::fmod(a, 180.0);
    };
    // An opening of 0.1 to 3 px (even on a log scale) with a sliding of up to 1.5 px either way.
    const auto drawJump = [&](double angle) {
        const double a = angle * std::numbers::pi / 180.0, open = 0.1 * std::pow(30.0, uniform(0.0, 1.0));
        const double slide = uniform(-1.5, 1.5);
        return Vec2{open * std::sin(a) + slide * std::cos(a), open * std::cos(a) - slide * std::sin(a)};
    };

    RandomCrackPlan out;
    CrackPairPlan& p = out.plan;
    const double kind = uniform(0.0, 1.0);
    out.kind = kind < 0.4    ? CrackDrawKind::Single
               : kind < 0.55 ? CrackDrawKind::Border
               : kind < 0.7  ? CrackDrawKind::Tip
               : kind < 0.85 ? CrackDrawKind::Crossing
                             : CrackDrawKind::ShearBand;
    p.size = size;
    p.seed = seed;
    const double scale = size / 512.0;
    p.spotRadius = uniform(1.2, 4.0);
    const double polarity = uniform(0.0, 3.0);
    p.brightShare = polarity < 1.0 ? 0.5 : polarity < 2.0 ? 1.0 : 0.0;
    p.coverage = uniform(1.5, 6.0);
    p.greySd = uniform(10.0, 70.0);
    p.greyMean = p.brightShare == 0.5 ? uniform(90.0, 165.0) : p.brightShare == 1.0 ? uniform(40.0, 90.0)
                                                                                     : uniform(165.0, 215.0);
    p.gapGrey = uniform(0.0, p.greyMean);
    p.noise = uniform(0.0, 0.02) * 255.0;
    p.blur = uniform(0.0, 0.6);
    p.minusMoves = chance(0.5);
    const std::array<double, 4> gradient{uniform(-1e-3, 1e-3), uniform(-1e-3, 1e-3), uniform(-1e-3, 1e-3),
                                         uniform(-1e-3, 1e-3)};
    p.base = affineField(gradient, {0.5 * p.size, 0.5 * p.size}, {uniform(-1.0, 1.0), uniform(-1.0, 1.0)});
    p.angle = drawAngle();

    switch (out.kind) {
    case CrackDrawKind::Single:
        p.cracks = {CrackSpec{scale * uniform(-100.0, 100.0), drawJump(p.angle)}};
        break;
    case CrackDrawKind::Border: {
        // Nearly along an edge, 5 to 20 px from it where it passes the image centre.
        const bool vertical = chance(0.5);
        p.angle = std::fmod((vertical ? 90.0 : 180.0) + uniform(-0.5, 0.5), 180.0);
        const double gap = uniform(5.0, 20.0), a = p.angle * std::numbers::pi / 180.0;
        // Where the line crosses the centre's row or column; the edges lie at -0.5 and size - 0.5.
        const double across = chance(0.5) ? p.size - 0.5 - gap : gap - 0.5;
        const double normal = vertical ? std::sin(a) : std::cos(a);
        p.cracks = {CrackSpec{(across - 0.5 * p.size) / normal, drawJump(p.angle)}};
        break;
    }
    case CrackDrawKind::Tip:
        // Smooth tapers from 12 px keep the field's gradient below 1/2, so that each side's material maps back.
        p.cracks = {CrackSpec{scale * uniform(-100.0, 100.0), drawJump(p.angle), scale * uniform(-60.0, 60.0)}};
        p.cracks[0].taper = uniform(12.0, 64.0);
        p.cracks[0].smoothTaper = true;
        p.cracks[0].taperSpread = 1.0;
        if (chance(0.5)) {
            // Half of them end as in an elastic body: sharp, the material ahead strained, the opening growing as
            // the square root of the distance behind the tip, the drawn jump reached 40 to 120 px back and no
            // more than 3 px at the far edge.
            CrackSpec& crack = p.cracks[0];
            crack.elasticTip = true;
            crack.smoothTaper = false;
            crack.taperSpread = 0.0;
            crack.taper = scale * uniform(40.0, 120.0);
            const double far = std::sqrt((crack.tip + 0.75 * p.size) / crack.taper);
            crack.jump = scaled(crack.jump, std::min(1.0, 3.0 / (std::hypot(crack.jump[0], crack.jump[1]) * far)));
        }
        break;
    case CrackDrawKind::Crossing: {
        const double other = std::fmod(p.angle + uniform(30.0, 150.0), 180.0);
        p.cracks = {CrackSpec{scale * uniform(-60.0, 60.0), drawJump(p.angle)},
                    CrackSpec{scale * uniform(-60.0, 60.0), drawJump(other), std::numeric_limits<double>::infinity(), other}};
        break;
    }
    case CrackDrawKind::ShearBand: {
        // u = amplitude tanh(d / width) along a line: a slip zone without a crack.
        const double a = p.angle * std::numbers::pi / 180.0, amplitude = uniform(0.3, 1.0), width = uniform(6.0, 15.0);
        const double offset = scale * uniform(-100.0, 100.0), c = 0.5 * p.size;
        const Vec2 n{std::sin(a), std::cos(a)}, t{std::cos(a), -std::sin(a)};
        const DisplacementField smooth = p.base;
        out.bandSlip = amplitude;
        out.bandWidth = width;
        out.bandOffset = offset;
        p.base = [=](double x, double y) {
            const Vec2 u = smooth(x, y);
            const double slip = amplitude * std::tanh((n[0] * (x - c) + n[1] * (y - c) - offset) / width);
            return Vec2{u[0] + slip * t[0], u[1] + slip * t[1]};
        };
        break;
    }
    }
    p.name = std::string("random") + std::to_string(seed) + "_" + crackDrawKindName(out.kind);
    return out;
}

} // namespace tavro::testing
