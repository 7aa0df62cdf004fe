// Host side of the discontinuity-enriched refinement: input checks, the points
// whose subset a crack may cut and the warps the kernel starts from there, row
// strips of the two images per launch, and which enriched fits are kept.

#include "core/rupture_subpixel.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <iterator>
#include <limits>
#include <map>
#include <memory>
#include <numbers>
#include <numeric>
#include <optional>
#include <tuple>
#include <vector>

#include "core/bspline_prefilter.h"
#include "core/device_objects.h"
#include "core/driver_support.h"
#include "core/interpolation.h"
#include "core/point_validity.h"
#include "core/rupture_kernel.h"
#include "gpu/runtime_base.h"

namespace tavro {
namespace {

using detail::DeviceArray;
using detail::TextureObject;

constexpr int64_t kPointsPerLaunch = 512;
// Rows around a strip prefiltered by itself: the recursive filters' start-up
// error has decayed below float precision after them.
constexpr int kPrefilterApron = 64;
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// A point is examined when the displacements of two grid points just outside
// its subset, on opposite sides, differ by more than their neighbours' do (the
// straddle's residual): by at least kSmallestJump pixels and by more than
// kNoiseFactor times the tenth percentile of the residuals over the grid. A
// crack shows in the straddles within about a window and a half of it, which
// on a small grid is most of them; the tenth percentile still measures the
// noise, and for Gaussian errors the factor puts the line near five standard
// deviations.
constexpr double kNoiseFactor = 10.9;
constexpr double kNoiseQuantile = 0.1;
constexpr double kSmallestJump = 0.05;
// Radians per degree: the fits give their lines' angles in degrees.
constexpr double kDegree = 3.14159265358979 / 180.0;

// The noise energy is measured at the points of a kProbeLattice x kProbeLattice
// lattice over the whole grid that no crack seems to disturb, so that every
// band of a multi-device run judges its fits by the same figure. A low
// quantile of the probes' energies: where a first-order warp does not fit the
// field, a probe measures that misfit as well, and noise alone varies little
// between probes.
constexpr int kProbeLattice = 8;
constexpr size_t kMinProbes = 5;
constexpr double kProbeQuantile = 0.2;

// An enriched fit is kept when it explains the subset better than the
// continuous warp and leaves at most kCostExcess times what the measured noise
// alone would (a line that missed the crack's gap leaves far more), its jump
// stands out of the noise (Mahalanobis distance from zero squared, kJumpChi2)
// and lies between kSmallestJump and twice the jump limit, it explains the
// subset better than a smooth second-order warp by a margin that noise would
// not give (kSmoothChi2), and its smaller side holds kSideFraction of the
// subset (kTwinSideFraction when twinning, where that side's own gradients
// carry its warp to the line). The smooth margin is low: a real jump of 0.3 px
// cut 10 px from the centre of a 25 px window passes it only by 15 to 30 (the
// second-order warp bends into the strip). A wave of about two windows'
// period, which that warp follows poorly, passes it too, with jumps of a few
// tenths at 6 to 10 standard deviations: kJumpChi2 stops the weaker ones and
// kSplitCost the others. Below kFullBarSamples samples both margins are asked
// in proportion to the samples: a jump's margins shrink with the subset, and a
// wave imitates a jump the less, the smaller the share of its period that the
// subset spans.
constexpr float kCostExcess = 4.0f;
constexpr float kJumpChi2 = 64.0f;
constexpr float kSmoothChi2 = 15.0f;
constexpr float kFullBarSamples = 31.0f * 31.0f;
constexpr float kSideFraction = 0.05f;
constexpr float kTwinSideFraction = 0.15f;
// A line that cuts only a corner or an edge strip off the subset (down to
// kThinSideFraction of it; the crack lies 9 to 12 px from the centre of a
// 25 px window) is kept when it leaves at most kThinSideCost of the continuous
// warp's cost: there the continuous warp smears the jump over the point, and a
// real jump of 0.3 px across the strip lowers the cost by 15 % or more.
constexpr float kThinSideFraction = 0.01f;
constexpr float kThinSideCost = 0.85f;
// A line that splits the subset (kSplitSideFraction or more on its smaller
// side) must leave at most kSplitCost of the continuous warp's cost: there a
// real jump of 0.3 px leaves at most 0.7 of it, while a line that imitates the
// bend of a wave of two windows' period leaves 0.76 or more.
constexpr float kSplitSideFraction = 0.2f;
constexpr float kSplitCost = 0.75f;
// ... unless its jump stands far out of the noise and a smooth second-order
// warp explains at most half of it: a small jump cut through a large subset
// (0.2 px across 61 px) leaves 0.75 to 0.9 of the continuous cost, as noise
// there outweighs the jump's misfit, yet its jump and smooth margins mostly
// exceed 500; a wave of two windows' period imitates a jump at 250 (31 px
// windows) to 450 (61 px), at a few points of its flanks that the crack-size
// check below drops. Both margins grow with the samples the subset holds, so
// the bar is set per sample (kStrongJumpChi2 for kStrongSamples of them):
// fixed, it kept the same 0.2 px opening at 61 px and dropped it at 31 px and
// below, where its jump margins mostly lie between 70 and 250 (31 px) and
// between 17 and 125 (21 px).
constexpr float kStrongJumpChi2 = 500.0f;
constexpr float kStrongSamples = 61.0f * 61.0f;
constexpr float kStrongSmoothShare = 0.5f;
// A fit that misses those bars yet explains the subset better than both the
// continuous and the smooth second-order warp, with a jump of kPlausibleJumpChi2
// or more (asked per sample below kFullBarSamples, as the bars above), extends
// a crack that a neighbour it agrees with belongs to: a 0.2 px opening at 21
// to 31 px windows gives such fits along most of its length, between the
// stretches whose speckle makes its fits significant. A smooth field has no
// significant crack for them to extend.
constexpr float kPlausibleJumpChi2 = 25.0f;
// A fit fainter still, with a jump of kFaintJumpChi2 or more (asked per sample
// below kFullBarSamples) and any smooth margin, is kept only where it lies on
// the line between two kept fits of its crack at most kBridge apart, and
// agrees with both: over 50 px of a 0.2 px opening at 21 px windows the fits
// find the crack's line within a degree and a pixel, with jumps a second-order
// warp bends into just as well.
constexpr float kFaintJumpChi2 = 16.0f;

// ... and when one of its eight grid neighbours was kept with the same crack:
// angles within kSameAngle degrees, jumps within kSameJump of the larger one
// plus kSameJumpSlack px, and lines within kSameLine px of each other at the
// point. A crack runs through several subsets; a lone fit is most often a
// systematic misfit at a subset's edge that a spurious line absorbed.
constexpr double kSameAngle = 10.0;
constexpr double kSameJump = 0.35;
constexpr double kSameJumpSlack = 0.1;
constexpr double kSameLine = 2.0;
constexpr size_t kMinCrackPoints = 10;
// Plausible fits joined a wave of two windows' period into cracks of 10 and
// more at 31 px windows around as few as 3 significant fits.
constexpr size_t kMinSignificantPoints = 7;
// A crack's line runs through the middle of the subsets of the grid points it
// passes, and they fit it there: a crack must hold kMinCentralFits fits whose
// line lies within a grid step of their point. A strain that changes abruptly
// along a line (a crack tip's field fading out) is imitated by a jump only at
// a subset's edge, where a second-order warp bends least like it: at 61 px
// windows such lines lay 13 to 25 px from every point that fitted them.
constexpr size_t kMinCentralFits = 3;
// A crack too faint on its speckle for any fit to be significant (a jump 5 to
// 7 standard deviations out of the noise, leaving 0.94 of the continuous cost
// at 31 px windows) still gives plausible fits that agree along its length,
// from points on both of its sides: kSeenFromEachSide fits on each side whose
// line lies beyond kSeenAside of the half window. What else lines up plausible
// fits does not: a wave's crest is fitted only by the points on it, and a
// strain that changes abruptly along a line only by the points on one side.
constexpr size_t kSeenFromEachSide = 5;
constexpr double kSeenAside = 1.0 / 3.0;
// And it runs along its line over kSeenAlong of a window at least: the fits of
// a shorter run come from subsets that overlap by more than half, one
// measurement more than many, and a local misfit lines them up (a blob of 29
// fits 19 px long at 61 px windows beside two crossing cracks).
constexpr double kSeenAlong = 0.5;
// Grid steps a crack's plausible fits reach from its significant ones; the rows
// a band sees beyond itself include them.
constexpr int kPlausibleReach = 4;
// The longest gap between two kept fits of one crack along its line that the
// line is taken to cross, px.
constexpr double kBridge = 64.0;
// How far the end of one piece of a crack may lie from the line of the piece
// it continues, px.
constexpr double kPieceLine = 4.0;

// A launch's image strips span at most this many rows besides the window.
constexpr int kChunkRows = 1024;

using Warp = std::array<float, detail::kWarpFloats>;

// Largest displacement difference between two warps over a subset of half
// sizes (hx, hy): an affine difference is largest at a corner.
double warpDistance(const float* a, const float* b, double hx, double hy) {
    double largest = 0.0;
    for (int k = 0; k < 2; ++k) {
        const double t = std::abs(double(a[k]) - b[k]);
        const double g =
            std::abs(double(a[2 + 2 * k]) - b[2 + 2 * k]) * hx + std::abs(double(a[3 + 2 * k]) - b[3 + 2 * k]) * hy;
        largest = std::max(largest, t + g);
    }
    return largest;
}

struct Seed {
    int64_t index;
    std::array<float, detail::kSeedFloats> warps;
};

const char* checkInputs(const ImageSource& reference, const ImageSource& deformed, ImageSize size,
                        const PixelSearchParams& pp, const SubpixelParams& params, const PixelDisplacementResult& start,
                        detail::SearchGrid& grid) {
    if (const char* message = detail::checkRefinementInputs(reference, deformed, size, pp, params, start.gridWidth,
                                                            start.gridHeight, &start, grid))
        return message;
    const size_t count = grid.points();
    for (const std::vector<float>* field : {&start.duDx, &start.duDy, &start.dvDx, &start.dvDy})
        if (!field->empty() && field->size() != count) return "Inconsistent pixel-accuracy displacement size.";
    return nullptr;
}

// The start field seen as warps on the grid.
struct StartField {
    const PixelDisplacementResult& start;
    int stepX, stepY;
    bool gradients;

    int width() const { return start.gridWidth; }
    int height() const { return start.gridHeight; }
    size_t index(int i, int j) const { return size_t(j) * size_t(start.gridWidth) + size_t(i); }
    Warp warp(int i, int j) const {
        const size_t k = index(i, j);
        if (!gradients) return {start.dispX[k], start.dispY[k], 0.0f, 0.0f, 0.0f, 0.0f};
        return {start.dispX[k], start.dispY[k], start.duDx[k], start.duDy[k], start.dvDx[k], start.dvDy[k]};
    }
    bool valid(int i, int j) const {
        if (i < 0 || j < 0 || i >= width() || j >= height()) return false;
        const Warp w = warp(i, j);
        return std::all_of(w.begin(), w.end(), [](float x) { return std::isfinite(x); });
    }
};

// The share of a straddle's bend taken for curvature: a wave of two windows'
// period leaves residuals below a sixth of its bend wherever it leaves more
// than noise (with the pairs one and two lengths away to compare with); a
// jump's straddle, or one of the pairs beside it, bends by the noise of the
// gradients only.
constexpr double kBendShare = 0.2;

// Two grid points on either side of a point along one grid direction, just
// outside its subset, and how much more their displacements differ than those
// of the nearest equally spaced pair along that line: a jump between the two
// adds to their difference alone, a smooth field adds the same to all
// (exactly so for an affine field, without the first pass's gradients, which
// a crack distorts).
struct Straddle {
    int minusI = 0, minusJ = 0, plusI = 0, plusJ = 0;
    double jumpX = 0.0, jumpY = 0.0;
    double residual = -1.0; // px; negative when there is no such pair
    // px: how much the two ends' gradients (of the first pass) differ over the
    // distance between them. A jump leaves both ends with the gradient of the
    // field it cuts; a field curved on the scale of the subset makes a residual
    // of a few tenths only where its gradient changes as much or more.
    double bend = 0.0;

    // The residual that curvature does not account for.
    double excess() const { return residual - kBendShare * bend; }
};

constexpr int kDirections = 4;
constexpr int kDirection[kDirections][2] = {{1, 0}, {0, 1}, {1, 1}, {1, -1}};

// u(p + b e) - u(p + a e), when both points hold a measurement.
bool difference(const StartField& field, int i, int j, int ex, int ey, int a, int b, double& du, double& dv) {
    if (!field.valid(i + a * ex, j + a * ey) || !field.valid(i + b * ex, j + b * ey)) return false;
    const size_t from = field.index(i + a * ex, j + a * ey), to = field.index(i + b * ex, j + b * ey);
    du = double(field.start.dispX[to]) - field.start.dispX[from];
    dv = double(field.start.dispY[to]) - field.start.dispY[from];
    return true;
}

// Steps along (ex, ey) to the straddle's end on that side: the first point
// with a measurement from `reach` on outwards (a wide jump leaves a band of
// subsets as wide as the window without one), else the nearest one inside
// (at the grid's border); 0 when there is none.
int straddleEnd(const StartField& field, int i, int j, int ex, int ey, int reach) {
    for (int k = reach; k <= 2 * reach; ++k)
        if (field.valid(i + k * ex, j + k * ey)) return k;
    int k = reach - 1;
    while (k > 0 && !field.valid(i + k * ex, j + k * ey)) --k;
    return k;
}

Straddle straddle(const StartField& field, int i, int j, int direction, int reachX, int reachY) {
    const int ex = kDirection[direction][0], ey = kDirection[direction][1];
    const int reach = ex == 0 ? reachY : (ey == 0 ? reachX : std::min(reachX, reachY));
    Straddle s;
    const int kPlus = straddleEnd(field, i, j, ex, ey, reach), kMinus = straddleEnd(field, i, j, -ex, -ey, reach);
    double du = 0.0, dv = 0.0;
    if (kPlus == 0 || kMinus == 0 || !difference(field, i, j, ex, ey, -kMinus, kPlus, du, dv)) return s;
    s.plusI = i + kPlus * ex;
    s.plusJ = j + kPlus * ey;
    s.minusI = i - kMinus * ex;
    s.minusJ = j - kMinus * ey;
    const int length = kMinus + kPlus;
    // The bend of this pair or of one beside it, whichever is least: a crack
    // near one end spoils that end's gradient, not those of the pair beyond.
    if (field.gradients)
        for (int shift : {0, length, -length}) {
            const int a = shift - kMinus, b = shift + kPlus;
            if (!field.valid(i + a * ex, j + a * ey) || !field.valid(i + b * ex, j + b * ey)) continue;
            const Warp minus = field.warp(i + a * ex, j + a * ey), plus = field.warp(i + b * ex, j + b * ey);
            const double dx = double(length) * ex * field.stepX, dy = double(length) * ey * field.stepY;
            const double bend = std::hypot((plus[2] - minus[2]) * dx + (plus[3] - minus[3]) * dy,
                                           (plus[4] - minus[4]) * dx + (plus[5] - minus[5]) * dy);
            s.bend = shift == 0 ? bend : std::min(s.bend, bend);
        }
    // The pairs one and two lengths away on either side: where one of them holds
    // the jump instead, another one beside it does not.
    for (int shift : {length, -length, 2 * length, -2 * length}) {
        double cu = 0.0, cv = 0.0;
        if (!difference(field, i, j, ex, ey, shift - kMinus, shift + kPlus, cu, cv)) continue;
        const double residual = std::hypot(du - cu, dv - cv);
        if (s.residual < 0.0 || residual < s.residual) {
            s.residual = residual;
            s.jumpX = du - cu;
            s.jumpY = dv - cv;
        }
    }
    return s;
}

// Point (i, j)'s widest straddle over the four directions.
Straddle widestStraddle(const StartField& field, int i, int j, int reachX, int reachY) {
    Straddle best;
    for (int d = 0; d < kDirections; ++d) {
        const Straddle s = straddle(field, i, j, d, reachX, reachY);
        if (s.residual >= 0.0 && (best.residual < 0.0 || s.excess() > best.excess())) best = s;
    }
    return best;
}

// The residual above which a straddle counts as a jump, from the whole grid so
// that every band of a multi-device run draws the same line.
double jumpThreshold(const StartField& field, int reachX, int reachY) {
    std::vector<double> residuals;
    residuals.reserve(size_t(field.width()) * size_t(field.height()) * kDirections);
    for (int j = 0; j < field.height(); ++j)
        for (int i = 0; i < field.width(); ++i)
            for (int d = 0; d < kDirections; ++d) {
                const Straddle s = straddle(field, i, j, d, reachX, reachY);
                if (s.residual >= 0.0) residuals.push_back(s.residual);
            }
    if (residuals.empty()) return kSmallestJump;
    auto quantile = residuals.begin() + ptrdiff_t(kNoiseQuantile * double(residuals.size() - 1));
    std::nth_element(residuals.begin(), quantile, residuals.end());
    return std::max(kSmallestJump, kNoiseFactor * *quantile);
}

// Component-wise median of the gradients of the straddling points, which
// stays clear of the few that a crack inside their own subset distorts.
Warp medianGradient(const StartField& field, int i, int j, int reachX, int reachY) {
    Warp result{};
    if (!field.gradients) return result;
    std::vector<Warp> warps;
    for (int d = 0; d < kDirections; ++d) {
        const Straddle s = straddle(field, i, j, d, reachX, reachY);
        if (s.residual < 0.0) continue;
        warps.push_back(field.warp(s.minusI, s.minusJ));
        warps.push_back(field.warp(s.plusI, s.plusJ));
    }
    if (warps.empty()) return field.warp(i, j);
    for (int k = 2; k < detail::kWarpFloats; ++k) {
        std::vector<float> values;
        for (const Warp& w : warps) values.push_back(w[size_t(k)]);
        std::nth_element(values.begin(), values.begin() + ptrdiff_t(values.size() / 2), values.end());
        result[size_t(k)] = values[values.size() / 2];
    }
    return result;
}

// What decides which points are enriched and where their fits start.
struct Seeding {
    int reachX, reachY; // grid steps to the first points outside the subset
    double threshold;   // px
    double jumpLimit;   // px
};

Seeding seeding(const StartField& field, const PixelSearchParams& pp, const SubpixelParams& params) {
    const int halfX = pp.windowSizeX / 2, halfY = pp.windowSizeY / 2;
    Seeding s;
    s.reachX = int((int64_t{halfX} + pp.stepX) / pp.stepX);
    s.reachY = int((int64_t{halfY} + pp.stepY) / pp.stepY);
    s.threshold = jumpThreshold(field, s.reachX, s.reachY);
    s.jumpLimit = params.maxJumpInit > 0.0f ? double(params.maxJumpInit) : 0.5 * std::min(halfX, halfY);
    return s;
}

// The point's own warp, and two warps apart by the straddle's jump (bounded by
// the jump limit) around the mean of the straddling points' moved to the point
// with the median gradient.
Seed enrichmentSeed(const StartField& field, const PixelSearchParams& pp, const Seeding& seeding, int i, int j,
                    const Straddle& s, int owner[2]) {
    Seed seed{int64_t(field.index(i, j)), {}};
    const Warp gradient = medianGradient(field, owner[0], owner[1], seeding.reachX, seeding.reachY);
    double mid[2] = {0.0, 0.0};
    const int ends[2][2] = {{s.minusI, s.minusJ}, {s.plusI, s.plusJ}};
    for (const auto& end : ends) {
        const Warp w = field.warp(end[0], end[1]);
        const double dx = double(i - end[0]) * pp.stepX, dy = double(j - end[1]) * pp.stepY;
        mid[0] += 0.5 * (w[0] + gradient[2] * dx + gradient[3] * dy);
        mid[1] += 0.5 * (w[1] + gradient[4] * dx + gradient[5] * dy);
    }
    const double scale = s.residual > seeding.jumpLimit ? seeding.jumpLimit / s.residual : 1.0;
    const double half[2] = {0.5 * scale * s.jumpX, 0.5 * scale * s.jumpY};
    Warp anchor = gradient;
    for (int k = 0; k < 2; ++k) anchor[size_t(k)] = float(mid[k]);
    // A point the continuous warp could not measure (a wide jump spoils its
    // correlation) is compared with the straddle's mean warp instead.
    const Warp own = field.valid(i, j) ? field.warp(i, j) : anchor;
    for (int k = 0; k < detail::kWarpFloats; ++k) {
        seed.warps[size_t(detail::kSeedContinuous + k)] = own[size_t(k)];
        seed.warps[size_t(detail::kSeedSideA + k)] = k < 2 ? float(mid[k] - half[k]) : gradient[size_t(k)];
        seed.warps[size_t(detail::kSeedSideB + k)] = k < 2 ? float(mid[k] + half[k]) : gradient[size_t(k)];
    }
    // Room for either side to move by the largest jump kept, and for the continuous warp.
    seed.warps[detail::kSeedReach] =
        float(2.0 * seeding.jumpLimit + 2.0 +
              warpDistance(own.data(), anchor.data(), pp.windowSizeX / 2, pp.windowSizeY / 2));
    return seed;
}

// The straddle that judges point (i, j): its own widest or, for a point without
// a measurement whose own find no pair (a band of such points reaching the
// grid's border), the widest of the nearest points within the subset's reach
// that have one; `owner` receives the point it belongs to.
Straddle judgingStraddle(const StartField& field, int i, int j, const Seeding& seeding, int owner[2]) {
    Straddle best = widestStraddle(field, i, j, seeding.reachX, seeding.reachY);
    if (best.residual >= 0.0 || field.valid(i, j)) return best;
    for (int ring = 1; ring <= std::max(seeding.reachX, seeding.reachY) && best.residual < 0.0; ++ring)
        for (int dj = -ring; dj <= ring; ++dj)
            for (int di = -ring; di <= ring; ++di) {
                if (std::max(std::abs(di), std::abs(dj)) != ring) continue;
                if (i + di < 0 || j + dj < 0 || i + di >= field.width() || j + dj >= field.height()) continue;
                const Straddle s = widestStraddle(field, i + di, j + dj, seeding.reachX, seeding.reachY);
                if (s.residual < 0.0 || (best.residual >= 0.0 && s.excess() <= best.excess())) continue;
                best = s;
                owner[0] = i + di;
                owner[1] = j + dj;
            }
    return best;
}

// A crack between the grid's outermost points and the image's edge has no grid
// point beyond it for a straddle to see. It shows as the outermost point's
// departure from the field extrapolated from the two points `reach` and twice
// that inwards, whose subsets it does not reach: the continuous fit moves by
// the share of the subset beyond the line times the jump. What the inner
// points' gradients say the field bends over that distance is discounted, so
// that a curved field does not make the whole border a candidate.
struct EdgeDeparture {
    double du = 0.0, dv = 0.0;
    double residual = -1.0; // px; negative at an inner point or without the inner pair
    bool found = false;     // an inner pair was there
    int innerI = 0, innerJ = 0;
    Warp inner{}; // the field extrapolated to the point
    // The inner pair's difference per px along x (dx) or y: the field's slope
    // inwards, far less noisy than the gradients a subset fits at low contrast.
    bool dx = true;
    double slope[2] = {0.0, 0.0};
};

// `depthX` and `depthY` say how many columns and rows from each edge count as
// its outermost; `own` is the point's displacement, the field's by default.
EdgeDeparture edgeDeparture(const StartField& field, int i, int j, int reachX, int reachY, int depthX = 1,
                            int depthY = 1, const float* own = nullptr) {
    EdgeDeparture best;
    if (!field.valid(i, j)) return best;
    const Warp start = field.warp(i, j);
    if (own == nullptr) own = start.data();
    const int inwards[4][2] = {
        {i < depthX, 0}, {-(i >= field.width() - depthX), 0}, {0, j < depthY}, {0, -(j >= field.height() - depthY)}};
    for (const auto& e : inwards) {
        if (e[0] == 0 && e[1] == 0) continue;
        const int r = e[0] != 0 ? reachX : reachY;
        const int i1 = i + r * e[0], j1 = j + r * e[1], i2 = i + 2 * r * e[0], j2 = j + 2 * r * e[1];
        if (!field.valid(i1, j1) || !field.valid(i2, j2)) continue;
        const Warp near = field.warp(i1, j1), far = field.warp(i2, j2);
        const double du = double(own[0]) - (2.0 * near[0] - far[0]), dv = double(own[1]) - (2.0 * near[1] - far[1]);
        const double distance = double(r) * (e[0] != 0 ? field.stepX : field.stepY);
        const int g = e[0] != 0 ? 2 : 3; // d/dx or d/dy
        const double bend = field.gradients ? distance * std::hypot(double(near[size_t(g)]) - far[size_t(g)],
                                                                    double(near[size_t(g + 2)]) - far[size_t(g + 2)])
                                            : 0.0;
        const double residual = std::hypot(du, dv) - bend;
        if (best.found && residual <= best.residual) continue;
        best.found = true;
        best.du = du;
        best.dv = dv;
        best.residual = residual;
        best.innerI = i1;
        best.innerJ = j1;
        best.inner = near;
        best.inner[0] = float(2.0 * near[0] - far[0]);
        best.inner[1] = float(2.0 * near[1] - far[1]);
        best.dx = e[0] != 0;
        for (size_t k = 0; k < 2; ++k) best.slope[k] = (double(far[k]) - near[k]) / (distance * (e[0] + e[1]));
    }
    return best;
}

// The share of the subset an edge crack is taken to cut off when its jump is
// guessed from the outermost point's departure; the line scan and the side
// fits find the rest.
constexpr double kEdgeShareGuess = 0.25;

// The seed of an outermost point that departs from the field inside by more
// than the straddles' threshold and than its own straddle (along the edge,
// where the crack smears its neighbours as unevenly as the speckle in its strip
// varies) says: its own side is the extrapolated field, the other that plus
// the jump its departure suggests.
bool edgeSeed(const StartField& field, const PixelSearchParams& pp, const Seeding& seeding, int i, int j,
              double straddleExcess, Seed& seed) {
    const EdgeDeparture d = edgeDeparture(field, i, j, seeding.reachX, seeding.reachY);
    if (d.residual <= std::max(seeding.threshold, straddleExcess)) return false;
    const double size = std::hypot(d.du, d.dv) / kEdgeShareGuess;
    const double scale = std::min(size, seeding.jumpLimit) / std::hypot(d.du, d.dv);
    const Warp own = field.warp(i, j);
    seed = Seed{int64_t(field.index(i, j)), {}};
    for (int k = 0; k < detail::kWarpFloats; ++k) {
        const double jump = k == 0 ? scale * d.du : k == 1 ? scale * d.dv : 0.0;
        seed.warps[size_t(detail::kSeedContinuous + k)] = own[size_t(k)];
        seed.warps[size_t(detail::kSeedSideA + k)] = d.inner[size_t(k)];
        seed.warps[size_t(detail::kSeedSideB + k)] = float(d.inner[size_t(k)] + jump);
    }
    Warp anchor = d.inner;
    anchor[0] = float(d.inner[0] + 0.5 * scale * d.du);
    anchor[1] = float(d.inner[1] + 0.5 * scale * d.dv);
    seed.warps[detail::kSeedReach] =
        float(2.0 * seeding.jumpLimit + 2.0 +
              warpDistance(own.data(), anchor.data(), pp.windowSizeX / 2, pp.windowSizeY / 2));
    return true;
}

// The points of rows [rowBegin, rowEnd) whose subset a crack may cut, judged by
// their neighbours, so with or without a continuous measurement of their own.
std::vector<Seed> enrichmentSeeds(const StartField& field, const PixelSearchParams& pp, const Seeding& seeding,
                                  int rowBegin, int rowEnd) {
    std::vector<Seed> seeds;
    for (int j = rowBegin; j < rowEnd; ++j)
        for (int i = 0; i < field.width(); ++i) {
            int owner[2] = {i, j};
            const Straddle s = judgingStraddle(field, i, j, seeding, owner);
            if (Seed edge; edgeSeed(field, pp, seeding, i, j, s.residual >= 0.0 ? s.excess() : 0.0, edge))
                seeds.push_back(edge);
            else if (s.residual >= 0.0 && s.excess() > seeding.threshold)
                seeds.push_back(enrichmentSeed(field, pp, seeding, i, j, s, owner));
        }
    return seeds;
}

// The grid points whose straddles show no jump: what their continuous warps
// leave is a side's own residual, not a crack's misfit.
std::vector<char> quietPoints(const StartField& field, const Seeding& seeding) {
    std::vector<char> quiet(size_t(field.width()) * size_t(field.height()), 0);
    for (int j = 0; j < field.height(); ++j)
        for (int i = 0; i < field.width(); ++i) {
            if (!field.valid(i, j)) continue;
            const Straddle s = widestStraddle(field, i, j, seeding.reachX, seeding.reachY);
            quiet[field.index(i, j)] = s.residual < 0.0 || s.excess() <= seeding.threshold;
        }
    return quiet;
}

// A point measured by its own continuous warp only.
Seed probeAt(const StartField& field, int i, int j) {
    Seed probe{int64_t(field.index(i, j)), {}};
    const Warp own = field.warp(i, j);
    std::copy(own.begin(), own.end(), probe.warps.begin() + detail::kSeedContinuous);
    std::fill(probe.warps.begin() + detail::kSeedSideA, probe.warps.begin() + detail::kSeedReach, kNaN);
    probe.warps[detail::kSeedReach] = 0.0f;
    return probe;
}

// Points no crack disturbs (`quiet`), spread over the whole grid, whose subsets tell the noise energy.
std::vector<Seed> noiseProbes(const StartField& field, const std::vector<char>& quiet) {
    std::vector<Seed> probes;
    int lastJ = -1;
    for (int r = 0; r < kProbeLattice; ++r) {
        const int j = (2 * r + 1) * field.height() / (2 * kProbeLattice);
        if (j == lastJ) continue;
        lastJ = j;
        for (int c = 0, lastI = -1; c < kProbeLattice; ++c) {
            const int i = (2 * c + 1) * field.width() / (2 * kProbeLattice);
            if (i == lastI || !field.valid(i, j)) continue;
            lastI = i;
            if (quiet[field.index(i, j)]) probes.push_back(probeAt(field, i, j));
        }
    }
    return probes;
}

// The enriched fit as a measurement: its samples correlate with the reference
// as a continuous point's must (the cost sums 2 - 2 ZNCC over one group, or
// over each side's when twinning) and its last fit converged.
bool enrichedMeasurement(const float* r, bool twinning) {
    const float groups = twinning ? 2.0f : 1.0f;
    const float correlation = 1.0f - r[detail::kResultEnrichedCost] / (2.0f * groups);
    return correlation >= detail::kMinCorrelation && r[detail::kResultUnsettledStep] <= detail::kSettledStep;
}

// How far an enriched fit stands out of the noise: significant fits start a
// crack; plausible ones only extend a crack that significant ones started, and
// faint ones only fill a gap between two of its kept fits.
enum class FitGrade : char { None, Faint, Plausible, Significant };

// `samples`: the subset's pixel count; `excessScale` turns the cost excess
// over the measured noise into the excess over what the fit's sides leave.
FitGrade gradeEnrichment(const float* r, double jumpLimit, bool twinning, float samples, float excessScale) {
    const float jump = std::hypot(r[detail::kResultJumpX], r[detail::kResultJumpY]);
    const float costShare = r[detail::kResultFairCostShare];
    const bool clearlyBetter = costShare <= kThinSideCost;
    const float jumpChi2 = r[detail::kResultJumpChi2];
    const float smoothChi2 = r[detail::kResultSmoothChi2];
    const bool strong = jumpChi2 >= kStrongJumpChi2 * samples / kStrongSamples &&
                        smoothChi2 >= kStrongSmoothShare * jumpChi2;
    const bool split = r[detail::kResultSideFraction] >= kSplitSideFraction && !strong;
    const float smallestSide = twinning ? kTwinSideFraction : (clearlyBetter ? kThinSideFraction : kSideFraction);
    const bool sound = r[detail::kResultStatus] == detail::kStatusSolved && jump >= float(kSmallestJump) &&
                       jump <= float(2.0 * jumpLimit) && costShare < 1.0f &&
                       r[detail::kResultCostExcess] * excessScale <= kCostExcess &&
                       r[detail::kResultSideFraction] >= smallestSide &&
                       enrichedMeasurement(r, twinning) &&
                       std::all_of(r, r + detail::kResultPlusV + 1, [](float x) { return std::isfinite(x); });
    if (!sound) return FitGrade::None;
    const float bar = std::min(1.0f, samples / kFullBarSamples);
    if (costShare < (split ? kSplitCost : 1.0f) && jumpChi2 >= bar * kJumpChi2 &&
        smoothChi2 >= bar * kSmoothChi2)
        return FitGrade::Significant;
    if (jumpChi2 >= bar * kPlausibleJumpChi2 && smoothChi2 >= 0.0f)
        return FitGrade::Plausible;
    return jumpChi2 >= bar * kFaintJumpChi2 ? FitGrade::Faint : FitGrade::None;
}

// A faint crack under much noise shows in the straddles by little more than
// their noise, and only where a speckle's grain favours it: a 0.33 px jump
// crossed by another crack, under 3.6 grey of noise on 20 grey of contrast,
// stood above the threshold at a few points only, though fits along it were
// plausible wherever they were tried, and at 21 px a third of a fading tip
// went unexamined. So round after round, up to kGrowRounds, the points within
// a subset's reach of a plausible or significant fit whose straddles exceed
// kGrowFactor times the grid's tenth percentile (about three standard
// deviations) are examined too: their fits judge themselves, and noise far
// from any fit costs none.
constexpr double kGrowFactor = 7.0;
constexpr int kGrowRounds = 3;

// The points of rows [rowBegin, rowEnd), not seeded yet, within the reach of a
// plausible or significant fit of seeds[first..] whose straddles exceed the
// lower threshold, in the grid's order.
std::vector<Seed> seedsNearFits(const StartField& field, const PixelSearchParams& pp, const Seeding& seeding,
                                       const std::vector<Seed>& seeds, const std::vector<FitGrade>& grades,
                                       size_t first, int rowBegin, int rowEnd) {
    const double low = std::max(kSmallestJump, seeding.threshold * kGrowFactor / kNoiseFactor);
    std::vector<char> seen(size_t(field.width()) * size_t(field.height()), 0);
    for (const Seed& seed : seeds) seen[size_t(seed.index)] = 1;
    std::vector<Seed> more;
    for (size_t k = first; k < seeds.size(); ++k) {
        if (grades[k] < FitGrade::Plausible) continue;
        const int ci = int(seeds[k].index % field.width()), cj = int(seeds[k].index / field.width());
        for (int j = std::max(rowBegin, cj - seeding.reachY); j < std::min(rowEnd, cj + seeding.reachY + 1); ++j)
            for (int i = std::max(0, ci - seeding.reachX); i < std::min(field.width(), ci + seeding.reachX + 1); ++i) {
                const size_t index = field.index(i, j);
                if (seen[index]) continue;
                seen[index] = 1;
                int owner[2] = {i, j};
                const Straddle st = judgingStraddle(field, i, j, seeding, owner);
                if (st.residual >= 0.0 && st.excess() > low)
                    more.push_back(enrichmentSeed(field, pp, seeding, i, j, st, owner));
            }
    }
    // The fits run in strips of rows, in the grid's order.
    std::sort(more.begin(), more.end(), [](const Seed& a, const Seed& b) { return a.index < b.index; });
    return more;
}

// Where each side of fit r (at grid point `index`) is measured on its own: the
// quiet grid point nearest the normal through the centre whose subset lies
// wholly on that side, a grid step clear of the line, searched outwards by up
// to a window and along the line by up to two; -1 for none. The straddle's
// ends do not serve: a line that cuts the subset near one end often cuts that
// end's subset too, and a point beside a second crack measures its jump.
std::array<int64_t, 2> sidePoints(const StartField& field, const std::vector<char>& quiet,
                                  const PixelSearchParams& pp, int64_t index, const float* r) {
    std::array<int64_t, 2> points{-1, -1};
    const double nx = std::sin(r[detail::kResultAngle] * kDegree), ny = std::cos(r[detail::kResultAngle] * kDegree);
    const double phi = r[detail::kResultPosition];
    if (!std::isfinite(nx) || !std::isfinite(ny) || !std::isfinite(phi)) return points;
    const double reach = pp.windowSizeX / 2 * std::abs(nx) + pp.windowSizeY / 2 * std::abs(ny);
    const double clear = reach + std::max(pp.stepX, pp.stepY);
    // Steps of a sixteenth of a window at the finest, however fine the grid.
    const double stride = std::max<double>(std::min(pp.stepX, pp.stepY), std::max(pp.windowSizeX, pp.windowSizeY) / 16);
    const double farthest = pp.windowSizeX + pp.windowSizeY;
    const double x0 = double(index % field.width()) * pp.stepX, y0 = double(index / field.width()) * pp.stepY;
    const double deepest = clear + std::max(pp.windowSizeX, pp.windowSizeY);
    for (int side = 0; side < 2; ++side) {
        const double sign = side == 1 ? 1.0 : -1.0;
        for (double out = clear; out <= deepest && points[size_t(side)] < 0; out += stride)
            for (double t = 0.0; t <= farthest && points[size_t(side)] < 0; t += stride)
                for (const double along : {t, -t}) {
                    const double across = phi + sign * out;
                    const int i = int(std::lround((x0 + across * nx + along * ny) / pp.stepX));
                    const int j = int(std::lround((y0 + across * ny - along * nx) / pp.stepY));
                    const double d = nx * (double(i) * pp.stepX - x0) + ny * (double(j) * pp.stepY - y0) - phi;
                    if (sign * d < reach || !field.valid(i, j) || !quiet[field.index(i, j)]) continue;
                    points[size_t(side)] = int64_t(field.index(i, j));
                    break;
                }
    }
    return points;
}

// The side points of every solved fit.
std::vector<std::array<int64_t, 2>> fitSidePoints(const StartField& field, const std::vector<char>& quiet,
                                                  const PixelSearchParams& pp, const std::vector<Seed>& seeds,
                                                  const std::vector<float>& answers) {
    std::vector<std::array<int64_t, 2>> points(seeds.size(), {-1, -1});
    for (size_t k = 0; k < seeds.size(); ++k) {
        const float* r = answers.data() + k * detail::kResultFloats;
        if (r[detail::kResultStatus] == detail::kStatusSolved) points[k] = sidePoints(field, quiet, pp, seeds[k].index, r);
    }
    return points;
}

// The side points, each once and in grid order, as probes.
std::vector<Seed> sideProbes(const StartField& field, const std::vector<std::array<int64_t, 2>>& sidePoints) {
    std::vector<int64_t> points;
    for (const std::array<int64_t, 2>& pair : sidePoints)
        for (int64_t p : pair)
            if (p >= 0) points.push_back(p);
    std::sort(points.begin(), points.end());
    points.erase(std::unique(points.begin(), points.end()), points.end());
    std::vector<Seed> probes;
    for (int64_t p : points) probes.push_back(probeAt(field, int(p % field.width()), int(p / field.width())));
    return probes;
}

// The residual energy per sample that fit r leaves if it is right: each side's
// as the continuous warp leaves it at that side's point, weighted by the
// side's share of the subset (the centre's side holds the larger one); a side
// not measured is left out, 0 when neither is. A side that moves by a fraction
// of a pixel leaves what its interpolation misses besides the noise, which on
// fine speckle with bilinear interpolation is many times the noise that the
// still side (or a whole-pixel shift) leaves.
float sideEnergy(const float* r, const std::array<int64_t, 2>& points, const std::vector<Seed>& probes,
                 const std::vector<float>& energies) {
    const double phi = r[detail::kResultPosition], smaller = r[detail::kResultSideFraction];
    double sum = 0.0, weights = 0.0;
    for (int side = 0; side < 2; ++side) {
        const int64_t point = points[size_t(side)];
        const auto probe = std::lower_bound(probes.begin(), probes.end(), point,
                                            [](const Seed& p, int64_t at) { return p.index < at; });
        if (point < 0 || probe == probes.end() || probe->index != point) continue;
        const float energy = energies[size_t(probe - probes.begin())];
        if (!std::isfinite(energy)) continue;
        // Side 1 lies where the normal points, which holds the centre when phi < 0.
        const bool centreSide = (side == 1) == (phi < 0.0);
        const double weight = centreSide ? 1.0 - smaller : smaller;
        sum += weight * energy;
        weights += weight;
    }
    return weights > 0.0 ? float(sum / weights) : 0.0f;
}

// Only a size that differs is written: the device threads of a multi-GPU run
// share one pre-sized output.
void fitField(std::vector<float>& field, size_t count) {
    if (field.size() != count) field.resize(count, 0.0f);
}

struct Outputs {
    PixelDisplacementResult& out;
    FractureResult* fracture;
    bool gradients; // the start has gradients and out receives them
};

Outputs prepareOutputs(const StartField& field, PixelDisplacementResult& out, FractureResult* fracture, int rowBegin,
                       int rowEnd, bool wholeGrid) {
    const PixelDisplacementResult& start = field.start;
    const size_t count = size_t(start.gridWidth) * size_t(start.gridHeight);
    if (out.gridWidth != start.gridWidth) out.gridWidth = start.gridWidth;
    if (out.gridHeight != start.gridHeight) out.gridHeight = start.gridHeight;
    fitField(out.dispX, count);
    fitField(out.dispY, count);
    std::vector<float>* outGradients[] = {&out.duDx, &out.duDy, &out.dvDx, &out.dvDy};
    const std::vector<float>* startGradients[] = {&start.duDx, &start.duDy, &start.dvDx, &start.dvDy};
    bool gradients = field.gradients;
    for (std::vector<float>* g : outGradients) {
        if (wholeGrid) {
            if (field.gradients)
                fitField(*g, count);
            else
                g->clear();
        }
        gradients = gradients && g->size() == count;
    }
    const size_t first = size_t(rowBegin) * size_t(start.gridWidth), end = size_t(rowEnd) * size_t(start.gridWidth);
    std::copy(start.dispX.begin() + ptrdiff_t(first), start.dispX.begin() + ptrdiff_t(end),
              out.dispX.begin() + ptrdiff_t(first));
    std::copy(start.dispY.begin() + ptrdiff_t(first), start.dispY.begin() + ptrdiff_t(end),
              out.dispY.begin() + ptrdiff_t(first));
    if (gradients)
        for (int k = 0; k < 4; ++k)
            std::copy(startGradients[k]->begin() + ptrdiff_t(first), startGradients[k]->begin() + ptrdiff_t(end),
                      outGradients[k]->begin() + ptrdiff_t(first));
    if (fracture) {
        if (fracture->gridWidth != start.gridWidth) fracture->gridWidth = start.gridWidth;
        if (fracture->gridHeight != start.gridHeight) fracture->gridHeight = start.gridHeight;
        for (int k = 0; k <= FractureResult::CrackPosition; ++k) {
            std::vector<float>& f = fracture->fields[size_t(k)];
            fitField(f, count);
            std::fill(f.begin() + ptrdiff_t(first), f.begin() + ptrdiff_t(end), kNaN);
        }
    }
    return {out, fracture, gradients};
}

void emptyOutputs(PixelDisplacementResult& out, FractureResult* fracture) {
    out = PixelDisplacementResult();
    if (fracture) *fracture = FractureResult();
}

// What tells two fits of one crack apart: the line's angle (degrees), the jump
// and the line's offset from the point (phi).
struct CrackFit {
    double angle, jumpX, jumpY, position;
};

CrackFit fitOf(const float* r) {
    return {r[detail::kResultAngle], r[detail::kResultJumpX], r[detail::kResultJumpY], r[detail::kResultPosition]};
}

// Whether the fits a and b turn and jump alike, wherever their lines lie: the
// sign that turns b's normal towards a's (angles near +-90 describe nearly the
// same line with opposite normals), 0 when they do not.
double alike(const CrackFit& a, const CrackFit& b) {
    const double ra = a.angle * kDegree, rb = b.angle * kDegree;
    const double cosine = std::sin(ra) * std::sin(rb) + std::cos(ra) * std::cos(rb);
    const double sign = cosine < 0.0 ? -1.0 : 1.0;
    if (sign * cosine < std::cos(kSameAngle * kDegree)) return 0.0;
    const double jbx = sign * b.jumpX, jby = sign * b.jumpY;
    const double larger = std::max(std::hypot(a.jumpX, a.jumpY), std::hypot(jbx, jby));
    return std::hypot(a.jumpX - jbx, a.jumpY - jby) > kSameJump * larger + kSameJumpSlack ? 0.0 : sign;
}

// Whether the fits a (at the origin) and b (at (dx, dy) px from it) describe the same crack.
bool sameCrack(const CrackFit& a, const CrackFit& b, double dx, double dy) {
    const double sign = alike(a, b);
    if (sign == 0.0) return false;
    const double rb = b.angle * kDegree;
    const double phiB = sign * (b.position + std::sin(rb) * dx + std::cos(rb) * dy);
    return std::abs(phiB - a.position) <= kSameLine;
}

void writePoint(const Outputs& o, int64_t index, const float* r, bool keep) {
    if (o.fracture) {
        o.fracture->fields[RuptureEnrichedCost][size_t(index)] = r[detail::kResultEnrichedCost];
        o.fracture->fields[RuptureContinuousCost][size_t(index)] = r[detail::kResultContinuousCost];
    }
    if (!keep) return;
    const size_t k = size_t(index);
    o.out.dispX[k] = r[detail::kResultWarp];
    o.out.dispY[k] = r[detail::kResultWarp + 1];
    if (o.gradients) {
        o.out.duDx[k] = r[detail::kResultWarp + 2];
        o.out.duDy[k] = r[detail::kResultWarp + 3];
        o.out.dvDx[k] = r[detail::kResultWarp + 4];
        o.out.dvDy[k] = r[detail::kResultWarp + 5];
    }
    if (!o.fracture) return;
    auto& f = o.fracture->fields;
    const float jx = r[detail::kResultJumpX], jy = r[detail::kResultJumpY];
    f[FractureResult::OpeningX][k] = jx;
    f[FractureResult::OpeningY][k] = jy;
    f[FractureResult::OpeningIntensity][k] = std::hypot(jx, jy);
    f[FractureResult::CrackAngle][k] = r[detail::kResultAngle];
    f[FractureResult::OpeningDirection][k] = float(std::atan2(double(jy), double(jx)) * 180.0 / 3.14159265358979);
    f[FractureResult::CrackPosition][k] = r[detail::kResultPosition];
    f[RuptureMinusU][k] = r[detail::kResultMinusU];
    f[RuptureMinusV][k] = r[detail::kResultMinusV];
    f[RupturePlusU][k] = r[detail::kResultPlusU];
    f[RupturePlusV][k] = r[detail::kResultPlusV];
}

// The seeds of rows [rowBegin, rowEnd) by grid position.
class SeedGrid {
public:
    SeedGrid(const std::vector<Seed>& seeds, int gridWidth, int rowBegin, int rowEnd)
        : width_(gridWidth), rowBegin_(rowBegin), rowEnd_(rowEnd),
          slot_(size_t(gridWidth) * size_t(std::max(rowEnd - rowBegin, 0)), -1) {
        for (size_t k = 0; k < seeds.size(); ++k) {
            const int j = int(seeds[k].index / gridWidth), i = int(seeds[k].index % gridWidth);
            if (j >= rowBegin && j < rowEnd) slot_[size_t(j - rowBegin) * size_t(width_) + size_t(i)] = int64_t(k);
            positions_.push_back({i, j});
        }
    }
    // The seed at (i, j), -1 for none.
    int64_t at(int i, int j) const {
        if (i < 0 || i >= width_ || j < rowBegin_ || j >= rowEnd_) return -1;
        return slot_[size_t(j - rowBegin_) * size_t(width_) + size_t(i)];
    }
    std::array<int, 2> position(size_t k) const { return positions_[k]; }
    size_t size() const { return positions_.size(); }

private:
    int width_, rowBegin_, rowEnd_;
    std::vector<int64_t> slot_;
    std::vector<std::array<int, 2>> positions_;
};

// Which fits' lines pass outside the grid, between its outermost points and
// the image's edge: no grid point lies on such a crack to fit it through the
// middle of its subset, so it needs no central fits. Only lines within
// kSameAngle of an edge's direction count: one that crosses the edge runs
// through the grid too.
std::vector<char> linesBeyondGrid(const SeedGrid& grid, const std::vector<float>& answers, const PixelSearchParams& pp,
                                  int gridWidth, int gridHeight) {
    const double kEdgeCosine = std::cos(kSameAngle * kDegree);
    std::vector<char> beyond(grid.size(), 0);
    const double right = double(gridWidth - 1) * pp.stepX, bottom = double(gridHeight - 1) * pp.stepY;
    for (size_t k = 0; k < grid.size(); ++k) {
        const float* r = answers.data() + k * detail::kResultFloats;
        const std::array<int, 2> p = grid.position(k);
        const double a = r[detail::kResultAngle] * kDegree, phi = r[detail::kResultPosition];
        const double nx = std::sin(a), ny = std::cos(a);
        // Where the line crosses the point's column (a line near an edge's
        // direction) or row, outside the grid's outermost points.
        if (std::abs(ny) >= kEdgeCosine) {
            const double y = double(p[1]) * pp.stepY + phi / ny;
            beyond[k] = y < 0.0 || y > bottom;
        } else if (std::abs(nx) >= kEdgeCosine) {
            const double x = double(p[0]) * pp.stepX + phi / nx;
            beyond[k] = x < 0.0 || x > right;
        }
    }
    return beyond;
}

// The fits kept. A significant fit counts when a grid neighbour was fitted
// significantly with the same crack; plausible fits (and significant ones
// without such a neighbour) join it, up to kPlausibleReach grid steps away.
// The crack they build together, linked by neighbours fitted with the same
// crack, must hold kMinCrackPoints fits, kMinSignificantPoints of them
// significant ones that count. A wave that a line imitates does so at a few
// points of its flanks; a crack crossing even one window is fitted at dozens,
// though at small windows a faint one only significantly in stretches that
// its plausible fits bridge.
std::vector<char> keptFits(const SeedGrid& grid, const std::vector<float>& answers,
                           const std::vector<FitGrade>& grades, const PixelSearchParams& pp,
                           const std::vector<char>& beyondGrid) {
    const auto result = [&](size_t k) { return answers.data() + k * detail::kResultFloats; };
    const auto neighbour = [&](size_t k, int di, int dj, FitGrade least, size_t& n) {
        const std::array<int, 2> p = grid.position(k);
        const int64_t other = grid.at(p[0] + di, p[1] + dj);
        if ((di == 0 && dj == 0) || other < 0 || grades[size_t(other)] < least) return false;
        n = size_t(other);
        return sameCrack(fitOf(result(k)), fitOf(result(n)), double(di) * pp.stepX, double(dj) * pp.stepY);
    };
    // Breadth first along the links of neighbours fitted with the same crack,
    // from the fits queued: each neighbour at least plausible that admit(k, n)
    // takes from its fit k is joined (join(k, n)) and queued in turn.
    const auto spread = [&](std::vector<size_t>& queue, const auto& admit, const auto& join) {
        for (size_t next = 0; next < queue.size(); ++next) {
            const size_t k = queue[next];
            for (int dj = -1; dj <= 1; ++dj)
                for (int di = -1; di <= 1; ++di) {
                    size_t n = 0;
                    if (neighbour(k, di, dj, FitGrade::Plausible, n) && admit(k, n)) {
                        join(k, n);
                        queue.push_back(n);
                    }
                }
        }
    };
    std::vector<char> paired(grid.size(), 0);
    for (size_t k = 0; k < grid.size(); ++k)
        for (int dj = -1; dj <= 1 && grades[k] == FitGrade::Significant && !paired[k]; ++dj)
            for (int di = -1; di <= 1 && !paired[k]; ++di) {
                size_t n = 0;
                paired[k] = neighbour(k, di, dj, FitGrade::Significant, n);
            }
    // From all the significant fits that count at once, so that each other fit
    // joins at its fewest steps from them.
    std::vector<int> steps(grid.size(), -1);
    std::vector<size_t> crack;
    for (size_t k = 0; k < grid.size(); ++k)
        if (paired[k]) {
            steps[k] = 0;
            crack.push_back(k);
        }
    spread(crack, [&](size_t k, size_t n) { return steps[k] < kPlausibleReach && steps[n] < 0; },
           [&](size_t k, size_t n) { steps[n] = steps[k] + 1; });
    // Every line passes within half a grid diagonal of some grid point.
    const double centralReach = std::max(pp.stepX, pp.stepY);
    const auto central = [&](size_t k) {
        return std::abs(result(k)[detail::kResultPosition]) <= centralReach;
    };
    std::vector<char> kept(grid.size(), 0), seen(grid.size(), 0);
    const auto see = [&](size_t, size_t n) { seen[n] = 1; };
    for (size_t first = 0; first < grid.size(); ++first) {
        if (seen[first] || steps[first] < 0) continue;
        crack.assign(1, first);
        seen[first] = 1;
        spread(crack, [&](size_t, size_t n) { return steps[n] >= 0 && !seen[n]; }, see);
        size_t significant = 0, centred = 0;
        for (size_t k : crack) {
            significant += paired[k];
            centred += central(k) || beyondGrid[k];
        }
        if (crack.size() >= kMinCrackPoints && significant >= kMinSignificantPoints && centred >= kMinCentralFits)
            for (size_t k : crack) kept[k] = 1;
    }
    // Then the cracks no significant fit started, kept when the subsets on
    // both of their sides see them.
    const double aside = kSeenAside * 0.5 * std::min(pp.windowSizeX, pp.windowSizeY);
    std::fill(seen.begin(), seen.end(), 0);
    std::vector<signed char> facing(grid.size(), 1);
    for (size_t first = 0; first < grid.size(); ++first) {
        if (kept[first] || seen[first] || grades[first] < FitGrade::Plausible) continue;
        crack.assign(1, first);
        seen[first] = 1;
        // Each fit's normal turned to agree with the first's, link by link.
        facing[first] = 1;
        spread(crack, [&](size_t, size_t n) { return !kept[n] && !seen[n]; },
               [&](size_t k, size_t n) {
                   seen[n] = 1;
                   facing[n] = facing[k] * (alike(fitOf(result(k)), fitOf(result(n))) < 0.0 ? -1 : 1);
               });
        size_t centred = 0, sides[2] = {0, 0};
        // Where the points lie along the first fit's line.
        const double angle = result(first)[detail::kResultAngle] * kDegree;
        double nearest = std::numeric_limits<double>::infinity(), furthest = -nearest;
        for (size_t k : crack) {
            centred += central(k);
            const double position = facing[k] * result(k)[detail::kResultPosition];
            if (std::abs(position) > aside) ++sides[position > 0.0];
            const std::array<int, 2> p = grid.position(k);
            const double along = std::cos(angle) * p[0] * pp.stepX - std::sin(angle) * p[1] * pp.stepY;
            nearest = std::min(nearest, along);
            furthest = std::max(furthest, along);
        }
        if (crack.size() >= kMinCrackPoints && centred >= kMinCentralFits &&
            std::min(sides[0], sides[1]) >= kSeenFromEachSide &&
            furthest - nearest >= kSeenAlong * std::min(pp.windowSizeX, pp.windowSizeY))
            for (size_t k : crack) kept[k] = 1;
    }
    return kept;
}

// A crack beyond the grid's outermost points is fitted along one row or
// column only, so a single fit the speckle spoils splits it into pieces that
// its eight-neighbour links cannot join. There, fits at least plausible whose
// lines lie beyond the grid link across up to kEdgeLink grid steps, and the
// pieces they join are kept by the same counts as a crack inside the grid.
constexpr int kEdgeLink = 3;

void keepEdgeCracks(const SeedGrid& grid, const std::vector<float>& answers, const std::vector<FitGrade>& grades,
                    const std::vector<char>& beyondGrid, std::vector<char>& kept, const PixelSearchParams& pp) {
    const auto result = [&](size_t k) { return answers.data() + k * detail::kResultFloats; };
    const auto candidate = [&](size_t k) { return beyondGrid[k] && (kept[k] || grades[k] >= FitGrade::Plausible); };
    std::vector<char> seen(grid.size(), 0);
    std::vector<size_t> crack;
    for (size_t first = 0; first < grid.size(); ++first) {
        if (seen[first] || !candidate(first)) continue;
        crack.assign(1, first);
        seen[first] = 1;
        size_t significant = 0;
        for (size_t next = 0; next < crack.size(); ++next) {
            const size_t k = crack[next];
            significant += grades[k] == FitGrade::Significant;
            const std::array<int, 2> p = grid.position(k);
            for (int dj = -kEdgeLink; dj <= kEdgeLink; ++dj)
                for (int di = -kEdgeLink; di <= kEdgeLink; ++di) {
                    const int64_t n = grid.at(p[0] + di, p[1] + dj);
                    if (n < 0 || seen[size_t(n)] || !candidate(size_t(n)) ||
                        !sameCrack(fitOf(result(k)), fitOf(result(size_t(n))), double(di) * pp.stepX,
                                   double(dj) * pp.stepY))
                        continue;
                    seen[size_t(n)] = 1;
                    crack.push_back(size_t(n));
                }
        }
        if (crack.size() >= kMinCrackPoints && significant >= kMinSignificantPoints)
            for (size_t k : crack) kept[k] = 1;
    }
}

// Fits that bridge a gap in a crack's kept fits: a fit graded at least faint,
// not kept, whose line runs between the line points of two kept fits it turns
// and jumps alike with, one behind it and one ahead along its line, at most
// kBridge apart, and lies within kSameLine of the chord between them, turned
// from it by at most kSameAngle. Bridged fits bridge nothing further, so a
// crack never grows beyond its kept ends.
void bridgeGaps(const SeedGrid& grid, const std::vector<float>& answers, const std::vector<FitGrade>& grades,
                std::vector<char>& kept, const PixelSearchParams& pp) {
    struct LinePoint {
        double x, y, nx, ny;
    };
    const auto linePoint = [&](size_t k) {
        const float* r = answers.data() + k * detail::kResultFloats;
        const std::array<int, 2> p = grid.position(k);
        const double nx = std::sin(r[detail::kResultAngle] * kDegree), ny = std::cos(r[detail::kResultAngle] * kDegree);
        const double phi = r[detail::kResultPosition];
        return LinePoint{double(p[0]) * pp.stepX + phi * nx, double(p[1]) * pp.stepY + phi * ny, nx, ny};
    };
    const int reachX = int(std::ceil(kBridge / pp.stepX)), reachY = int(std::ceil(kBridge / pp.stepY));
    const double chordCosine = std::cos(kSameAngle * kDegree);
    const std::vector<char> ends = kept;
    struct End {
        double along, x, y;
    };
    std::vector<End> behind, ahead;
    for (size_t k = 0; k < grid.size(); ++k) {
        if (ends[k] || grades[k] < FitGrade::Faint) continue;
        const CrackFit own = fitOf(answers.data() + k * detail::kResultFloats);
        const LinePoint l = linePoint(k);
        const std::array<int, 2> p = grid.position(k);
        behind.clear();
        ahead.clear();
        for (int j = p[1] - reachY; j <= p[1] + reachY; ++j)
            for (int i = p[0] - reachX; i <= p[0] + reachX; ++i) {
                const int64_t n = grid.at(i, j);
                if (n < 0 || !ends[size_t(n)] || alike(own, fitOf(answers.data() + size_t(n) * detail::kResultFloats)) == 0.0)
                    continue;
                const LinePoint e = linePoint(size_t(n));
                const double along = l.ny * (e.x - l.x) - l.nx * (e.y - l.y);
                if (along != 0.0 && std::abs(along) <= kBridge) (along < 0.0 ? behind : ahead).push_back({along, e.x, e.y});
            }
        for (size_t a = 0; a < behind.size() && !kept[k]; ++a)
            for (size_t b = 0; b < ahead.size() && !kept[k]; ++b) {
                const double cx = ahead[b].x - behind[a].x, cy = ahead[b].y - behind[a].y, chord = std::hypot(cx, cy);
                if (ahead[b].along - behind[a].along > kBridge || chord <= 0.0) continue;
                const double off = std::abs(cx * (l.y - behind[a].y) - cy * (l.x - behind[a].x)) / chord;
                const double turn = std::abs(cx * l.ny - cy * l.nx) / chord;
                kept[k] = off <= kSameLine && turn >= chordCosine;
            }
    }
}

// A line n.(dx, dy) = phi across a subset, from its centre, how far clear of
// it a sample must lie, and on which side: +1 where n.(dx, dy) > phi, -1 below,
// 0 the centre's.
struct CutLine {
    double nx, ny, phi, keepOut;
    int side = 0;
};

// What a measurement reads of the deformed image, as the fits read it: its
// pixels, or for the B-splines their coefficients, over columns
// [col0, col0 + width) and rows [row0, row0 + height).
struct DeformedPatch {
    const float* data = nullptr;
    int width = 0, height = 0, col0 = 0, row0 = 0;
    int interpolation = static_cast<int>(InterpolationType::Bilinear);

    // The interpolated value at image position (x, y); empty where a tap falls outside the patch.
    std::optional<double> at(double x, double y) const {
        x -= col0, y -= row0;
        switch (interpolation) {
        case static_cast<int>(InterpolationType::Bicubic):
            return taps<static_cast<int>(InterpolationType::Bicubic), 4>(x, y);
        case static_cast<int>(InterpolationType::CubicBSpline):
            return taps<static_cast<int>(InterpolationType::CubicBSpline), 4>(x, y);
        case static_cast<int>(InterpolationType::QuarticBSpline):
            return taps<static_cast<int>(InterpolationType::QuarticBSpline), 5>(x, y);
        default:
            break;
        }
        const int x0 = int(std::floor(x)), y0 = int(std::floor(y));
        if (x0 < 0 || y0 < 0 || x0 + 1 >= width || y0 + 1 >= height) return std::nullopt;
        const double ax = x - x0, ay = y - y0;
        const float* a = data + size_t(y0) * size_t(width) + size_t(x0);
        const float* c = a + width;
        return (1.0 - ay) * ((1.0 - ax) * a[0] + ax * a[1]) + ay * ((1.0 - ax) * c[0] + ax * c[1]);
    }

private:
    template <int Kind, int Taps>
    std::optional<double> taps(double x, double y) const {
        if (!(std::abs(x) < 1e6 && std::abs(y) < 1e6)) return std::nullopt;
        const detail::AxisTaps tx = detail::axisTaps(float(x), Kind), ty = detail::axisTaps(float(y), Kind);
        if (tx.first < 0 || ty.first < 0 || tx.first + Taps > width || ty.first + Taps > height) return std::nullopt;
        // The fraction in double: a float position far along a wide image is coarser than the steps.
        float wx[Taps], wy[Taps];
        detail::tapWeights<Kind>(float(x - tx.anchor), wx);
        detail::tapWeights<Kind>(float(y - ty.anchor), wy);
        double value = 0.0;
        for (int j = 0; j < Taps; ++j) {
            const float* row = data + size_t(ty.first + j) * size_t(width) + size_t(tx.first);
            double across = 0.0;
            for (int i = 0; i < Taps; ++i) across += double(wx[i]) * row[i];
            value += double(wy[j]) * across;
        }
        return value;
    }
};

// A part of a subset's translation and how well it then correlates (zero-normalised).
struct PartFit {
    std::array<double, 2> t;
    double correlation;
};

// The translation of the part of a subset (centre (xc, yc); the reference's
// rows [row0, row1)) that lies on its side of every line, clear of it, with
// the warp's gradients held: Gauss-Newton on the zero-normalised
// squared differences, the deformed image interpolated as the fits read it.
// Empty when that part holds under `least` of the subset, leaves the images,
// correlates poorly or does not settle. Unless `fit`, the warp's own
// translation and how well the part correlates there, and in `residuals` each
// sample's offset and normalised difference.
std::optional<PartFit> ownSideTranslation(const float* ref, const DeformedPatch& def, ImageSize size, int row0,
                                          int row1, int xc, int yc, const PixelSearchParams& pp, const float* warp,
                                          const std::vector<CutLine>& lines, bool fit = true,
                                          std::vector<std::array<double, 3>>* residuals = nullptr,
                                          double least = 0.5) {
    constexpr int kIterations = 30;
    constexpr double kSettled = 1e-4; // px
    const int hx = pp.windowSizeX / 2, hy = pp.windowSizeY / 2;
    const auto clear = [&](int dx, int dy) {
        return std::all_of(lines.begin(), lines.end(), [&](const CutLine& l) {
            const double side = l.side != 0 ? double(l.side) : l.phi > 0.0 ? -1.0 : 1.0;
            return side * (l.nx * dx + l.ny * dy - l.phi) >= l.keepOut;
        });
    };
    std::vector<std::array<int, 2>> taken;
    for (int dy = -hy; dy <= hy; ++dy)
        for (int dx = -hx; dx <= hx; ++dx)
            if (xc + dx >= 0 && xc + dx < size.width && yc + dy >= row0 && yc + dy < row1 && clear(dx, dy))
                taken.push_back({dx, dy});
    if (double(taken.size()) < least * double(2 * hx + 1) * double(2 * hy + 1)) return std::nullopt;
    std::vector<double> f(taken.size()), g(taken.size());
    double fMean = 0.0;
    for (size_t k = 0; k < taken.size(); ++k) {
        f[k] = ref[size_t(yc + taken[k][1] - row0) * size_t(size.width) + size_t(xc + taken[k][0])];
        fMean += f[k];
    }
    fMean /= double(taken.size());
    double fNorm = 0.0;
    for (double& v : f) fNorm += (v - fMean) * (v - fMean);
    fNorm = std::sqrt(fNorm);
    if (!(fNorm > 0.0)) return std::nullopt;
    // The reference's own gradients steer the steps, as the inverse-compositional fits' do. The deformed
    // image's, interpolated where it is sampled, lead to the minimum of a cost whose noise the bilinear
    // sampling smooths the more the nearer a half-pixel shift: with noise at low contrast that pulled the
    // translation by up to a tenth of a pixel.
    // Only a fit needs the gradients; a correlation at the warp is read in one pass.
    std::vector<double> fx(fit ? taken.size() : 0), fy(fit ? taken.size() : 0);
    double mx = 0.0, my = 0.0;
    const auto at = [&](int x, int y) { return double(ref[size_t(y - row0) * size_t(size.width) + size_t(x)]); };
    for (size_t k = 0; k < fx.size(); ++k) {
        const int x = xc + taken[k][0], y = yc + taken[k][1];
        const int xl = std::max(x - 1, 0), xr = std::min(x + 1, size.width - 1);
        const int yu = std::max(y - 1, row0), yd = std::min(y + 1, row1 - 1);
        fx[k] = (at(xr, y) - at(xl, y)) / double(xr - xl);
        fy[k] = (at(x, yd) - at(x, yu)) / double(yd - yu);
        mx += fx[k], my += fy[k];
    }
    mx /= double(taken.size()), my /= double(taken.size());
    double h[3] = {0.0, 0.0, 0.0};
    for (size_t k = 0; k < fx.size(); ++k) {
        fx[k] = (fx[k] - mx) / fNorm, fy[k] = (fy[k] - my) / fNorm;
        h[0] += fx[k] * fx[k], h[1] += fx[k] * fy[k], h[2] += fy[k] * fy[k];
    }
    const double det = h[0] * h[2] - h[1] * h[1];
    if (fit && !(det > 0.0)) return std::nullopt;
    std::array<double, 2> t{warp[0], warp[1]};
    for (int iteration = 0; iteration < kIterations; ++iteration) {
        double gMean = 0.0;
        for (size_t k = 0; k < taken.size(); ++k) {
            const int dx = taken[k][0], dy = taken[k][1];
            const double px = xc + dx + t[0] + warp[2] * dx + warp[3] * dy;
            const double py = yc + dy + t[1] + warp[4] * dx + warp[5] * dy;
            const std::optional<double> value = def.at(px, py);
            if (!value) return std::nullopt;
            g[k] = *value;
            gMean += g[k];
        }
        gMean /= double(taken.size());
        double gNorm = 0.0;
        for (double v : g) gNorm += (v - gMean) * (v - gMean);
        gNorm = std::sqrt(gNorm);
        if (!(gNorm > 0.0)) return std::nullopt;
        double b[2] = {0.0, 0.0}, cross = 0.0;
        if (residuals) residuals->clear();
        for (size_t k = 0; k < taken.size(); ++k) {
            const double e = (g[k] - gMean) / gNorm - (f[k] - fMean) / fNorm;
            if (fit) b[0] -= fx[k] * e, b[1] -= fy[k] * e;
            cross += (g[k] - gMean) / gNorm * (f[k] - fMean) / fNorm;
            if (residuals) residuals->push_back({double(taken[k][0]), double(taken[k][1]), e});
        }
        if (!fit) return PartFit{t, cross};
        const double step[2] = {(h[2] * b[0] - h[1] * b[1]) / det, (h[0] * b[1] - h[1] * b[0]) / det};
        t[0] += step[0];
        t[1] += step[1];
        if (std::hypot(step[0], step[1]) < kSettled)
            return cross >= detail::kMinCorrelation ? std::optional<PartFit>(PartFit{t, cross}) : std::nullopt;
    }
    return std::nullopt;
}

// A point that holds no measurement.
void blankPoint(const Outputs& o, size_t index) {
    o.out.dispX[index] = kNaN;
    o.out.dispY[index] = kNaN;
    if (o.gradients)
        for (std::vector<float>* g : {&o.out.duDx, &o.out.duDy, &o.out.dvDx, &o.out.dvDy}) (*g)[index] = kNaN;
}

// The images a cut point's own side is measured on, and how the fits
// interpolate the deformed one.
struct OwnSideImages {
    const ImageSource* reference = nullptr;
    const ImageSource* deformed = nullptr;
    ImageSize size{};
    int marginX = 0, marginY = 0;
    int interpolation = static_cast<int>(InterpolationType::Bilinear);
    // The whole deformed image's B-spline coefficients when they are in memory;
    // otherwise each measurement prefilters the patch it reads.
    const float* coefficients = nullptr;
};

// Where a measurement keeps what it reads of the images.
struct OwnSideRows {
    std::vector<float> reference, deformed, patch;
};

// ownSideTranslation of grid point (i, j), what it reads taken from the images
// with `reach` px to spare for a jump.
std::optional<PartFit> clearPartTranslation(const OwnSideImages& images, const PixelSearchParams& pp, int i, int j,
                                            const float* warp, const std::vector<CutLine>& lines, double reach,
                                            OwnSideRows& rows, bool fit = true,
                                            std::vector<std::array<double, 3>>* residuals = nullptr,
                                            double least = 0.5) {
    const int hx = pp.windowSizeX / 2, hy = pp.windowSizeY / 2, width = images.size.width;
    const int xc = i * pp.stepX + images.marginX, yc = j * pp.stepY + images.marginY;
    const int gradientReachY = int(std::ceil((std::abs(warp[4]) + std::abs(warp[5])) * (hx + hy)));
    const int pad = int(std::ceil(std::abs(warp[1]) + reach)) + 2 + gradientReachY;
    const int row0 = std::max(0, yc - hy - pad), row1 = std::min(images.size.height, yc + hy + pad + 1);
    if (row0 >= row1) return std::nullopt;
    const float* ref = images.reference->rows(row0, row1, width, rows.reference);
    if (!ref) return std::nullopt;
    DeformedPatch def{nullptr, width, row1 - row0, 0, row0, images.interpolation};
    if (!isBSplineInterpolation(images.interpolation)) {
        def.data = images.deformed->rows(row0, row1, width, rows.deformed);
    } else if (images.coefficients) {
        def.data = images.coefficients + size_t(row0) * size_t(width);
    } else {
        // Only the columns the subset reaches, and an apron all round for the recursive filters to settle.
        const int padX = int(std::ceil(std::abs(warp[0]) + reach)) + 2 +
                         int(std::ceil((std::abs(warp[2]) + std::abs(warp[3])) * (hx + hy)));
        const int a0 = std::max(0, row0 - kPrefilterApron), a1 = std::min(images.size.height, row1 + kPrefilterApron);
        const int c0 = std::max(0, xc - hx - padX - kPrefilterApron),
                  c1 = std::min(width, xc + hx + padX + 1 + kPrefilterApron);
        if (c0 >= c1) return std::nullopt;
        const float* source = images.deformed->rows(a0, a1, width, rows.deformed);
        if (!source) return std::nullopt;
        rows.patch.resize(size_t(c1 - c0) * size_t(a1 - a0));
        for (int y = a0; y < a1; ++y)
            std::copy(source + size_t(y - a0) * size_t(width) + size_t(c0),
                      source + size_t(y - a0) * size_t(width) + size_t(c1),
                      rows.patch.begin() + ptrdiff_t(size_t(y - a0) * size_t(c1 - c0)));
        prefilterForInterpolation(images.interpolation, rows.patch.data(), c1 - c0, a1 - a0);
        def = {rows.patch.data(), c1 - c0, a1 - a0, c0, a0, images.interpolation};
    }
    if (!def.data) return std::nullopt;
    return ownSideTranslation(ref, def, images.size, row0, row1, xc, yc, pp, warp, lines, fit, residuals, least);
}

// A cut point without a kept fit of its own is measured on its own side of the
// lines of the kept fits that cut it, clear of the gap and of the other side's
// material the jump brings in: the point then holds its side's displacement up
// to the crack, where the continuous warp smears the jump and an enriched fit
// of a subset the line only clips fails the bars for want of a side. The
// result must agree with what the nearest of those fits measured of the same
// side there. The gradients are held at the first pass's while it is fitted,
// and not given.
bool measureOwnSide(const Outputs& o, const StartField& field, size_t index, int i, int j, const SeedGrid& grid,
                    const std::vector<float>& answers, const std::vector<uint32_t>& cutters,
                    const PixelSearchParams& pp, const OwnSideImages& images, OwnSideRows& rows) {
    constexpr double kClearance = 1.0;     // px beyond the gap, for the interpolation's reach
    constexpr double kSideAgreement = 0.03; // px
    if (!std::isfinite(o.out.dispX[index]) || !std::isfinite(o.out.dispY[index])) return false;
    // The first pass's gradients, whether or not the output takes them (a band of a multi-device run may not).
    const Warp start = field.warp(i, j);
    float warp[6] = {o.out.dispX[index], o.out.dispY[index], start[2], start[3], start[4], start[5]};
    if (!std::all_of(warp + 2, warp + 6, [](float x) { return std::isfinite(x); })) return false;
    std::vector<CutLine> lines;
    double nearest = std::numeric_limits<double>::infinity(), reach = 0.0;
    const float* closest = nullptr;
    std::array<double, 2> closestOffset{};
    for (uint32_t k : cutters) {
        const float* r = answers.data() + size_t(k) * detail::kResultFloats;
        const std::array<int, 2> p = grid.position(k);
        const double dx = double(i - p[0]) * pp.stepX, dy = double(j - p[1]) * pp.stepY;
        const double nx = std::sin(r[detail::kResultAngle] * kDegree), ny = std::cos(r[detail::kResultAngle] * kDegree);
        const double jump = std::hypot(r[detail::kResultJumpX], r[detail::kResultJumpY]);
        lines.push_back({nx, ny, r[detail::kResultPosition] - (nx * dx + ny * dy), jump + kClearance});
        reach = std::max(reach, jump);
        if (std::hypot(dx, dy) < nearest) nearest = std::hypot(dx, dy), closest = r, closestOffset = {dx, dy};
    }
    const auto t = clearPartTranslation(images, pp, i, j, warp, lines, reach, rows);
    if (!t) return false;
    const float* g = closest + detail::kResultWarp + 2;
    const double phi = closest[detail::kResultPosition] - (std::sin(closest[detail::kResultAngle] * kDegree) * closestOffset[0] +
                                                          std::cos(closest[detail::kResultAngle] * kDegree) * closestOffset[1]);
    const bool plusSide = phi < 0.0;
    const double dx = closestOffset[0], dy = closestOffset[1];
    const double side[2] = {(plusSide ? closest[detail::kResultPlusU] : closest[detail::kResultMinusU]) + g[0] * dx + g[1] * dy,
                            (plusSide ? closest[detail::kResultPlusV] : closest[detail::kResultMinusV]) + g[2] * dx + g[3] * dy};
    if (!(std::hypot(t->t[0] - side[0], t->t[1] - side[1]) <= kSideAgreement)) return false;
    o.out.dispX[index] = float(t->t[0]);
    o.out.dispY[index] = float(t->t[1]);
    // The held gradients are the first pass's, which the jump bent.
    if (o.gradients)
        for (std::vector<float>* field : {&o.out.duDx, &o.out.duDy, &o.out.dvDx, &o.out.dvDy}) (*field)[index] = kNaN;
    return true;
}

// Points of rows [rowBegin, rowEnd) whose subset the line of a kept fit within
// the subset's reach cuts, without a kept fit of their own: their continuous
// warp smears the jump over the subset, so they hold no measurement (NaN)
// rather than a wrong one. A line that only grazes the subset's edge, within
// the blind band the fits leave out too, spoils nothing unless the jump
// carries the other side's material into the subset. The corner it clips
// weighs with its share of the subset: a band of kGrazeShare of the half
// window (up to kGraze) is left; at 21 px windows a 2 px band under a corner
// shifted the continuous fit by 0.1 to 0.2 px where an opening's dark gap
// filled it. A crack's line runs on through a gap in its kept fits (a faint
// opening at 21 px windows leaves some over 50 px long): points there are cut
// as well.
void blankSmearedPoints(const Outputs& o, const StartField& field, const SeedGrid& grid,
                        const std::vector<float>& answers, const std::vector<char>& kept, const PixelSearchParams& pp,
                        int rowBegin, int rowEnd, const OwnSideImages& images) {
    constexpr double kGraze = 2.0; // px
    constexpr double kGrazeShare = 0.1;
    const int reachX = (pp.windowSizeX / 2 + pp.stepX) / pp.stepX, reachY = (pp.windowSizeY / 2 + pp.stepY) / pp.stepY;
    const double hx = pp.windowSizeX / 2, hy = pp.windowSizeY / 2;
    const double graze = std::min(kGraze, kGrazeShare * std::min(hx, hy));
    const int width = o.out.gridWidth;
    const auto result = [&](size_t k) { return answers.data() + k * detail::kResultFloats; };
    // Per band point, the kept fits whose lines cut it; a point a line cuts
    // only where it runs on across a gap in its fits (towards a tip, too) has
    // no fit near enough to say where it passes, and is left empty.
    std::vector<std::vector<uint32_t>> cutters(size_t(width) * size_t(std::max(rowEnd - rowBegin, 0)));
    std::vector<char> bridged(cutters.size(), 0);
    size_t current = 0;
    const auto blank = [&](int i, int j, bool acrossGap) {
        const int64_t own = grid.at(i, j);
        if (j < rowBegin || j >= rowEnd || i < 0 || i >= width || (own >= 0 && kept[size_t(own)])) return;
        const size_t n = size_t(j - rowBegin) * size_t(width) + size_t(i);
        bridged[n] = bridged[n] || acrossGap;
        if (cutters[n].empty() || cutters[n].back() != uint32_t(current)) cutters[n].push_back(uint32_t(current));
    };
    const double stride = std::min(pp.stepX, pp.stepY); // px per probe along a line
    for (size_t k = 0; k < grid.size(); ++k) {
        if (!kept[k]) continue;
        current = k;
        const float* r = result(k);
        const double nx = std::sin(r[detail::kResultAngle] * kDegree), ny = std::cos(r[detail::kResultAngle] * kDegree);
        // The jump widens what the subset sees of the other side (an opening's
        // gap, or the other face slid in) by up to its own length.
        const double depth = hx * std::abs(nx) + hy * std::abs(ny) - graze +
                             std::hypot(r[detail::kResultJumpX], r[detail::kResultJumpY]);
        const std::array<int, 2> p = grid.position(k);
        // Across the line at (i, j), and along it from the fit.
        const auto across = [&](int i, int j) {
            return nx * double(i - p[0]) * pp.stepX + ny * double(j - p[1]) * pp.stepY - r[detail::kResultPosition];
        };
        const auto along = [&](int i, int j, double sign) {
            return sign * (ny * double(i - p[0]) * pp.stepX - nx * double(j - p[1]) * pp.stepY);
        };
        for (int j = p[1] - reachY; j <= p[1] + reachY; ++j)
            for (int i = p[0] - reachX; i <= p[0] + reachX; ++i)
                if (std::abs(across(i, j)) < depth) blank(i, j, false);
        // A gap in the crack's fits up to kBridge long: the nearest kept fit of
        // the same crack along the line beyond the subset's reach, each way.
        for (const double sign : {-1.0, 1.0}) {
            double gap = 0.0;
            for (double s = stride; s <= kBridge && gap == 0.0; s += stride) {
                const int ci = int(std::lround(p[0] + sign * s * ny / pp.stepX)),
                          cj = int(std::lround(p[1] - sign * s * nx / pp.stepY));
                for (int j = cj - 1; j <= cj + 1; ++j)
                    for (int i = ci - 1; i <= ci + 1; ++i) {
                        const int64_t n = grid.at(i, j);
                        const double a = along(i, j, sign);
                        if (n < 0 || size_t(n) == k || !kept[size_t(n)] || a <= 0.0 || (gap > 0.0 && a >= gap) ||
                            !sameCrack(fitOf(r), fitOf(result(size_t(n))), double(i - p[0]) * pp.stepX,
                                       double(j - p[1]) * pp.stepY))
                            continue;
                        gap = a;
                    }
            }
            if (gap <= 0.0 || gap > kBridge) continue;
            const int ei = int(std::lround(p[0] + sign * gap * ny / pp.stepX)),
                      ej = int(std::lround(p[1] - sign * gap * nx / pp.stepY));
            if (std::abs(ei - p[0]) <= reachX && std::abs(ej - p[1]) <= reachY) continue;
            for (int j = std::min(p[1], ej) - reachY; j <= std::max(p[1], ej) + reachY; ++j)
                for (int i = std::min(p[0], ei) - reachX; i <= std::max(p[0], ei) + reachX; ++i) {
                    const double a = along(i, j, sign);
                    if (a > 0.0 && a < gap && std::abs(across(i, j)) < depth) blank(i, j, true);
                }
        }
    }
    OwnSideRows rows;
    for (int j = rowBegin; j < rowEnd; ++j)
        for (int i = 0; i < width; ++i) {
            const size_t n = size_t(j - rowBegin) * size_t(width) + size_t(i);
            if (cutters[n].empty()) continue;
            const size_t index = size_t(j) * size_t(width) + size_t(i);
            if (bridged[n] || !measureOwnSide(o, field, index, i, j, grid, answers, cutters[n], pp, images, rows))
                blankPoint(o, index);
        }
}

// A crack beside the image's edge, beyond the grid's outermost points, cuts
// only thin strips off their subsets, and where the speckle leaves a strip
// little contrast its fits fail or fall short of the bars: a stretch of it goes
// unkept, its points smeared, and no kept fit lies beyond the stretch for the
// line to bridge to. Its line runs on kBridge px past each of its kept fits:
// points it cuts there without a kept fit of their own are NaN.
void blankBeyondGridRuns(const Outputs& o, const SeedGrid& grid, const std::vector<float>& answers,
                         const std::vector<char>& kept, const std::vector<char>& beyondGrid,
                         const PixelSearchParams& pp, int rowBegin, int rowEnd) {
    constexpr double kGraze = 2.0; // px, as blankSmearedPoints leaves
    constexpr double kGrazeShare = 0.1;
    const double hx = pp.windowSizeX / 2, hy = pp.windowSizeY / 2;
    const double graze = std::min(kGraze, kGrazeShare * std::min(hx, hy));
    const int reachX = int((hx + kBridge) / pp.stepX) + 1, reachY = int((hy + kBridge) / pp.stepY) + 1;
    const int width = o.out.gridWidth;
    for (size_t k = 0; k < grid.size(); ++k) {
        if (!kept[k] || !beyondGrid[k]) continue;
        const float* r = answers.data() + k * detail::kResultFloats;
        const double nx = std::sin(r[detail::kResultAngle] * kDegree), ny = std::cos(r[detail::kResultAngle] * kDegree);
        const double depth = hx * std::abs(nx) + hy * std::abs(ny) - graze +
                             std::hypot(r[detail::kResultJumpX], r[detail::kResultJumpY]);
        const std::array<int, 2> p = grid.position(k);
        for (int j = std::max(rowBegin, p[1] - reachY); j < std::min(rowEnd, p[1] + reachY + 1); ++j)
            for (int i = std::max(0, p[0] - reachX); i < std::min(width, p[0] + reachX + 1); ++i) {
                const double dx = double(i - p[0]) * pp.stepX, dy = double(j - p[1]) * pp.stepY;
                const int64_t own = grid.at(i, j);
                if (std::abs(ny * dx - nx * dy) > kBridge || std::abs(nx * dx + ny * dy - r[detail::kResultPosition]) >= depth ||
                    (own >= 0 && kept[size_t(own)]))
                    continue;
                blankPoint(o, size_t(j) * size_t(width) + size_t(i));
            }
    }
}

// A narrow smooth shear band (a slip that fades over some pixels either side
// of a line) bends the field within a subset as a jump would, and the
// second-order warp cannot follow it, so its fits pass every bar. What tells
// it from a crack is at the pixel scale: a crack's two sides meet at the line,
// while the band's material in between moves part of the way. So each kept
// crack's subsets are compared with the sides meeting at a line (the fitted
// one or one near it) and with the sides joined by a ramp kRampHalfWidths
// either side of it, each model refitted from the fit (stepAndRampCosts): a
// crack whose fits a ramp explains better, summed over them, is no crack.
// Both are compared on slightly blurred images (smoothStrip), which make a
// step look like a ramp of a pixel or so: the narrowest ramp is several times
// wider than that.
constexpr double kRampHalfWidths[] = {6.0, 12.0};
constexpr int kRampModels = 1 + int(std::size(kRampHalfWidths));

// One subset sample for the step, ramp and tip models: its offset from the
// centre, signed distance from the fitted line, distance along the crack
// (towards the end a tip model looks at) and reference grey.
struct RampSample {
    int dx, dy;
    double d, a, f;
};

// A subset's samples, with their mean and the norm of their departures from it.
struct SubsetSamples {
    std::vector<RampSample> samples;
    double fMean = 0.0, fNorm = 0.0;
};

// Both images' pixels in rows [row0, row1) and columns [col0, col1), row
// after row.
struct RampStrips {
    const float* ref;
    const float* def;
    int row0, row1, col0, col1;
};

// Solves the symmetric positive definite system a x = b in place (x in b);
// false when a is singular.
template <int N> bool solveSymmetric(std::array<double, N * N>& a, std::array<double, N>& b) {
    for (int c = 0; c < N; ++c) {
        double pivot = a[size_t(c * N + c)];
        for (int k = 0; k < c; ++k) pivot -= a[size_t(c * N + k)] * a[size_t(c * N + k)];
        if (!(pivot > 0.0)) return false;
        a[size_t(c * N + c)] = std::sqrt(pivot);
        for (int r = c + 1; r < N; ++r) {
            double s = a[size_t(r * N + c)];
            for (int k = 0; k < c; ++k) s -= a[size_t(r * N + k)] * a[size_t(c * N + k)];
            a[size_t(r * N + c)] = s / a[size_t(c * N + c)];
        }
    }
    for (int r = 0; r < N; ++r) {
        for (int k = 0; k < r; ++k) b[size_t(r)] -= a[size_t(r * N + k)] * b[size_t(k)];
        b[size_t(r)] /= a[size_t(r * N + r)];
    }
    for (int r = N - 1; r >= 0; --r) {
        for (int k = r + 1; k < N; ++k) b[size_t(r)] -= a[size_t(k * N + r)] * b[size_t(k)];
        b[size_t(r)] /= a[size_t(r * N + r)];
    }
    return true;
}

// The models' parameters: each side's displacement (u, v) at the centre, the
// gradient (ux, uy, vx, vy) all parts share, how far the ramp's middle or the
// step's line lies from the fitted line, and the displacement beyond a step's
// tip.
constexpr int kModelParameters = 11;
using ModelParameters = std::array<double, kModelParameters>;

// The zero-normalised SSD of the samples when the deformed image is read
// through model m (0: the step, else a ramp) with parameters q. A step with a
// finite `tip` ends there: the samples at least that far along have not
// parted, and move together with a displacement of their own. Infinite when a
// sample falls outside the strips. With `step`, also the Gauss-Newton
// increment of q towards a lower cost. `read` is scratch: per sample, the
// grey read, its x and y gradients, and the side weight t.
double rampModelCost(const SubsetSamples& subset, const RampStrips& strips, int xc, int yc, int m,
                     const ModelParameters& q, ModelParameters* step, std::vector<std::array<double, 4>>& read,
                     double tip = std::numeric_limits<double>::infinity()) {
    constexpr int N = kModelParameters;
    const std::vector<RampSample>& samples = subset.samples;
    const double infinity = std::numeric_limits<double>::infinity();
    const auto past = [&](const RampSample& a) { return m == 0 && a.a >= tip; };
    read.resize(samples.size());
    double sum = 0.0, square = 0.0;
    bool anyPast = false;
    for (size_t s = 0; s < samples.size(); ++s) {
        const RampSample& a = samples[s];
        const double t = m == 0 ? (a.d - q[8] > 0.0 ? 1.0 : 0.0)
                                : std::clamp(0.5 + (a.d - q[8]) / (2.0 * kRampHalfWidths[m - 1]), 0.0, 1.0);
        const bool beyond = past(a);
        anyPast = anyPast || beyond;
        const double u = (beyond ? q[9] : (1.0 - t) * q[0] + t * q[2]) + q[4] * a.dx + q[5] * a.dy;
        const double v = (beyond ? q[10] : (1.0 - t) * q[1] + t * q[3]) + q[6] * a.dx + q[7] * a.dy;
        const double px = xc + a.dx + u, py = yc + a.dy + v;
        const int x0 = int(std::floor(px)), y0 = int(std::floor(py));
        if (!std::isfinite(px) || !std::isfinite(py) || x0 < strips.col0 || y0 < strips.row0 ||
            x0 + 1 >= strips.col1 || y0 + 1 >= strips.row1)
            return infinity;
        const double ax = px - x0, ay = py - y0;
        const int width = strips.col1 - strips.col0;
        const float* row = strips.def + size_t(y0 - strips.row0) * size_t(width) + size_t(x0 - strips.col0);
        const float* next = row + width;
        const double top = (1.0 - ax) * row[0] + ax * row[1], bottom = (1.0 - ax) * next[0] + ax * next[1];
        const double g = (1.0 - ay) * top + ay * bottom;
        read[s] = {g, (1.0 - ay) * (row[1] - row[0]) + ay * (next[1] - next[0]), bottom - top, t};
        sum += g;
        square += g * g;
    }
    const double n = double(samples.size()), gMean = sum / n;
    const double gNorm = std::sqrt(std::max(0.0, square - sum * gMean));
    if (!(gNorm > 0.0)) return infinity;
    double cross = 0.0;
    std::array<double, N * N> h{};
    ModelParameters b{};
    for (size_t s = 0; s < samples.size(); ++s) {
        const double fHat = (samples[s].f - subset.fMean) / subset.fNorm;
        const auto& [g, gx, gy, t] = read[s];
        cross += fHat * (g - gMean);
        if (!step) continue;
        // Towards g = mean + norm * fHat, the normalisation held for the step.
        const double residual = gMean + gNorm * fHat - g;
        const double dx = samples[s].dx, dy = samples[s].dy;
        // A ramp's centre moves its weights where they lie strictly between the sides.
        const double slide = m == 0 || t <= 0.0 || t >= 1.0 ? 0.0 : -0.5 / kRampHalfWidths[m - 1];
        const bool beyond = past(samples[s]);
        const double w = beyond ? 0.0 : 1.0;
        const double j[N] = {w * gx * (1.0 - t),
                             w * gy * (1.0 - t),
                             w * gx * t,
                             w * gy * t,
                             gx * dx,
                             gx * dy,
                             gy * dx,
                             gy * dy,
                             slide * (gx * (q[2] - q[0]) + gy * (q[3] - q[1])),
                             beyond ? gx : 0.0,
                             beyond ? gy : 0.0};
        for (int r = 0; r < N; ++r) {
            b[size_t(r)] += j[r] * residual;
            for (int c = 0; c <= r; ++c) h[size_t(r * N + c)] += j[r] * j[c];
        }
    }
    if (step) {
        // The step's line stays where shiftedStep put it: its cost jumps as samples change sides. Without
        // a tip in the subset, its displacement beyond stays too.
        if (m == 0) h[8 * N + 8] = 1.0;
        if (!anyPast) h[9 * N + 9] = h[10 * N + 10] = 1.0;
        for (int r = 0; r < N; ++r)
            for (int c = r + 1; c < N; ++c) h[size_t(r * N + c)] = h[size_t(c * N + r)];
        if (solveSymmetric<N>(h, b))
            *step = b;
        else
            step->fill(0.0);
    }
    return 2.0 - 2.0 * cross / gNorm;
}

// The fitted warp as the models' parameters: no shift of the line, and the
// sides' mean to start from beyond a tip.
ModelParameters fittedModel(const float* r) {
    const float* g = r + detail::kResultWarp + 2;
    const double minusU = r[detail::kResultMinusU], minusV = r[detail::kResultMinusV],
                 plusU = r[detail::kResultPlusU], plusV = r[detail::kResultPlusV];
    return {minusU, minusV, plusU, plusV, g[0], g[1], g[2], g[3], 0.0, 0.5 * (minusU + plusU), 0.5 * (minusV + plusV)};
}

// Every other row and column of fit r's subset (centre xc, yc) that lies in
// the strips (the blurred images hold little between them), each with its
// distance along (tx, ty); the minus side lies on whichever side of the line
// gives the fitted step the lower cost. False with too few samples or a flat
// subset.
bool subsetSamples(const RampStrips& strips, int xc, int yc, const PixelSearchParams& pp, const float* r,
                   double tx, double ty, SubsetSamples& out, std::vector<std::array<double, 4>>& read) {
    const int hx = pp.windowSizeX / 2, hy = pp.windowSizeY / 2;
    const double nx = std::sin(r[detail::kResultAngle] * kDegree), ny = std::cos(r[detail::kResultAngle] * kDegree);
    const double phi = r[detail::kResultPosition];
    std::vector<RampSample>& samples = out.samples;
    samples.clear();
    samples.reserve(size_t(hx + 1) * size_t(hy + 1));
    double fSum = 0.0, fSquare = 0.0;
    for (int dy = -hy; dy <= hy; dy += 2)
        for (int dx = -hx; dx <= hx; dx += 2) {
            const int x = xc + dx, y = yc + dy;
            if (x < strips.col0 || y < strips.row0 || x >= strips.col1 || y >= strips.row1) continue;
            const double f =
                strips.ref[size_t(y - strips.row0) * size_t(strips.col1 - strips.col0) + size_t(x - strips.col0)];
            samples.push_back({dx, dy, nx * dx + ny * dy - phi, tx * dx + ty * dy, f});
            fSum += f;
            fSquare += f * f;
        }
    const double n = double(samples.size());
    out.fNorm = std::sqrt(std::max(0.0, fSquare - fSum * fSum / std::max(n, 1.0)));
    if (samples.size() < 16 || out.fNorm <= 0.0) return false;
    out.fMean = fSum / n;
    const ModelParameters fitted = fittedModel(r);
    const double asFitted = rampModelCost(out, strips, xc, yc, 0, fitted, nullptr, read);
    for (RampSample& sample : samples) sample.d = -sample.d;
    if (!(rampModelCost(out, strips, xc, yc, 0, fitted, nullptr, read) < asFitted))
        for (RampSample& sample : samples) sample.d = -sample.d;
    return true;
}

// The ramp's middle slides to where it explains the subset best, but the
// step's line is where the fit put it on the raw images, and on a faint crack
// under much noise the blurred images can put it a pixel away: the ramp then
// won by its sliding alone, by a tenth of a percent of the cost, and cracks of
// 300 and 400 fits with jumps of half a pixel and more were dropped whole. So
// the step's line is moved too, to the best of the offsets half a pixel apart
// up to kStepShifts / 2 px either way.
constexpr int kStepShifts = 4;

ModelParameters shiftedStep(const SubsetSamples& subset, const RampStrips& strips, int xc, int yc, const float* r,
                            std::vector<std::array<double, 4>>& read) {
    ModelParameters q = fittedModel(r);
    double best = std::numeric_limits<double>::infinity();
    for (int o = -kStepShifts; o <= kStepShifts; ++o) {
        ModelParameters shifted = fittedModel(r);
        shifted[8] = 0.5 * o;
        const double cost = rampModelCost(subset, strips, xc, yc, 0, shifted, nullptr, read);
        if (cost < best) best = cost, q = shifted;
    }
    return q;
}

// The least cost of model m (with `tip` for the step) over a few Gauss-Newton
// steps from q, stopping where a step no longer lowers it.
double refittedCost(const SubsetSamples& subset, const RampStrips& strips, int xc, int yc, int m,
                    ModelParameters q, std::vector<std::array<double, 4>>& read,
                    double tip = std::numeric_limits<double>::infinity()) {
    constexpr int kRefits = 3;
    double least = std::numeric_limits<double>::infinity();
    ModelParameters step{};
    for (int k = 0;; ++k) {
        const double cost = rampModelCost(subset, strips, xc, yc, m, q, k < kRefits ? &step : nullptr, read, tip);
        if (!(cost < least)) break;
        least = cost;
        if (k == kRefits) break;
        for (int p = 0; p < kModelParameters; ++p) q[size_t(p)] += step[size_t(p)];
    }
    return least;
}

// The zero-normalised SSD of fit r's subset (centre xc, yc) under the step
// (model 0) and under each ramp, each model's side displacements and gradient
// refitted from the fit's: a band's fit takes part of the slip into its
// gradient, which a ramp with the step's own gradient would count twice.
std::array<double, kRampModels> stepAndRampCosts(const RampStrips& strips, int xc, int yc,
                                                 const PixelSearchParams& pp, const float* r) {
    std::array<double, kRampModels> costs;
    costs.fill(std::numeric_limits<double>::infinity());
    SubsetSamples subset;
    std::vector<std::array<double, 4>> read;
    if (!subsetSamples(strips, xc, yc, pp, r, 0.0, 0.0, subset, read)) return costs;
    for (int m = 0; m < kRampModels; ++m)
        costs[size_t(m)] = refittedCost(subset, strips, xc, yc, m,
                                        m == 0 ? shiftedStep(subset, strips, xc, yc, r, read) : fittedModel(r), read);
    return costs;
}

// The cost of fit r's subset (centre xc, yc) when its crack ends at each of
// `tips`, px from the centre along (tx, ty), and last when it runs through,
// each refitted from the step with its line moved as stepAndRampCosts moves
// it. Empty when the subset has too few samples in the strips.
std::vector<double> tipCosts(const RampStrips& strips, int xc, int yc, const PixelSearchParams& pp, const float* r,
                             double tx, double ty, const std::vector<double>& tips) {
    SubsetSamples subset;
    std::vector<std::array<double, 4>> read;
    if (!subsetSamples(strips, xc, yc, pp, r, tx, ty, subset, read)) return {};
    const ModelParameters start = shiftedStep(subset, strips, xc, yc, r, read);
    std::vector<double> costs;
    for (double tip : tips) costs.push_back(refittedCost(subset, strips, xc, yc, 0, start, read, tip));
    costs.push_back(refittedCost(subset, strips, xc, yc, 0, start, read));
    return costs;
}

// Points of one crack linked by neighbours, facing one way: their mean
// normal's angle, and where their line starts and ends.
struct CrackPiece {
    std::vector<size_t> points;
    double angle = 0.0; // degrees
    std::array<double, 2> ends[2]{};
};

// Whether `piece` carries `other`'s crack on, across a gap its fits left: its
// line turns from the other's by at most kSameAngle, and an end of it lies
// within kBridge of an end of the other and on the other's line there, by
// either's angle (kPieceLine allows for a few degrees' error over the gap).
// With `anyGap`, an end may lie any distance from the other's: a crack
// crossed by another is left with a hole wider than any gap its own fits
// leave, and the user still reads the pieces either side as one crack.
bool continues(const CrackPiece& piece, const CrackPiece& other, bool anyGap = false) {
    if (std::abs(std::sin((piece.angle - other.angle) * kDegree)) > std::sin(kSameAngle * kDegree)) return false;
    const auto across = [](double angle, const std::array<double, 2>& a, const std::array<double, 2>& b) {
        return std::abs((a[0] - b[0]) * std::sin(angle * kDegree) + (a[1] - b[1]) * std::cos(angle * kDegree));
    };
    for (const auto& a : piece.ends)
        for (const auto& b : other.ends)
            if ((anyGap || std::hypot(a[0] - b[0], a[1] - b[1]) <= kBridge) &&
                across(piece.angle, a, b) <= kPieceLine && across(other.angle, a, b) <= kPieceLine)
                return true;
    return false;
}

// For each piece, the first of the pieces on its line (continues, across any
// gap): the user reads them as one crack.
std::vector<size_t> lineGroups(const std::vector<CrackPiece>& pieces) {
    std::vector<size_t> root(pieces.size());
    std::iota(root.begin(), root.end(), size_t(0));
    const auto find = [&root](size_t c) {
        while (root[c] != c) c = root[c] = root[root[c]];
        return c;
    };
    for (size_t a = 0; a < pieces.size(); ++a)
        for (size_t b = a + 1; b < pieces.size(); ++b)
            if (continues(pieces[a], pieces[b], true)) {
                const size_t ra = find(a), rb = find(b);
                root[std::max(ra, rb)] = std::min(ra, rb);
            }
    for (size_t a = 0; a < pieces.size(); ++a) root[a] = find(a);
    return root;
}

// Columns [col0, col1) of `rows` image rows `width` wide, blurred by a
// Gaussian of 0.7 px (clamped at the columns' and rows' ends), into `out` row
// after row. Bilinear reading averages a noisy image's pixels, the more the
// nearer a sample falls to the middle between them, so on the raw images a
// model whose samples land between pixels looks better by the noise it
// averages away. After the blur the noise left is too smooth for reading to
// average much further; a wider blur makes a faint crack's step look like a
// ramp.
void smoothStrip(const float* strip, int width, int rows, int col0, int col1, std::vector<float>& across,
                 std::vector<float>& out) {
    // exp(-k^2 / (2 0.7^2)): beyond two pixels the weights are below 1e-4.
    static constexpr float kTaps[] = {1.0f, 0.36044f, 0.016878f};
    constexpr int kRadius = int(std::size(kTaps)) - 1;
    static constexpr float kSum = kTaps[0] + 2.0f * (kTaps[1] + kTaps[2]);
    const int columns = col1 - col0;
    across.resize(size_t(rows) * size_t(columns));
    out.resize(across.size());
    for (int y = 0; y < rows; ++y) {
        const float* in = strip + size_t(y) * size_t(width);
        for (int x = col0; x < col1; ++x) {
            float sum = 0.0f;
            for (int k = -kRadius; k <= kRadius; ++k) sum += kTaps[std::abs(k)] * in[std::clamp(x + k, col0, col1 - 1)];
            across[size_t(y) * size_t(columns) + size_t(x - col0)] = sum / kSum;
        }
    }
    for (int y = 0; y < rows; ++y)
        for (int x = 0; x < columns; ++x) {
            float sum = 0.0f;
            for (int k = -kRadius; k <= kRadius; ++k) {
                const size_t row = size_t(std::clamp(y + k, 0, rows - 1));
                sum += kTaps[std::abs(k)] * across[row * size_t(columns) + size_t(x)];
            }
            out[size_t(y) * size_t(columns) + size_t(x)] = sum / kSum;
        }
}

// Both images around kept fits' subsets, blurred by smoothStrip: the rows and
// columns a subset and its sides' displacements reach, and a few more for the
// refits.
class BlurredSubsets {
public:
    BlurredSubsets(const ImageSource& reference, const ImageSource& deformed, ImageSize size, int marginX,
                   int marginY, const PixelSearchParams& pp)
        : reference_(reference), deformed_(deformed), size_(size), marginX_(marginX), marginY_(marginY), pp_(pp) {}

    // Fit r's subset at grid point p: its centre in the image, and its strips,
    // good until the next call; false when the fit's displacements are not
    // finite or the rows cannot be read.
    bool around(std::array<int, 2> p, const float* r, int& xc, int& yc, RampStrips& strips) {
        xc = p[0] * pp_.stepX + marginX_;
        yc = p[1] * pp_.stepY + marginY_;
        const auto reach = [&](int u) {
            return std::max(std::abs(r[detail::kResultMinusU + u]), std::abs(r[detail::kResultPlusU + u])) +
                   (std::abs(r[detail::kResultWarp + 2 + 2 * u]) + std::abs(r[detail::kResultWarp + 3 + 2 * u])) *
                       (pp_.windowSizeX / 2 + pp_.windowSizeY / 2);
        };
        const double reachX = reach(0), reachY = reach(1);
        if (!std::isfinite(reachX) || !std::isfinite(reachY)) return false;
        const int padX = int(std::ceil(std::min(reachX, double(size_.width)))) + 4,
                  padY = int(std::ceil(std::min(reachY, double(size_.height)))) + 4;
        const int row0 = std::max(0, yc - pp_.windowSizeY / 2 - padY),
                  row1 = std::min(size_.height, yc + pp_.windowSizeY / 2 + padY + 1);
        const float* ref = reference_.rows(row0, row1, size_.width, refRows_);
        const float* def = deformed_.rows(row0, row1, size_.width, defRows_);
        if (!ref || !def) return false;
        const int col0 = std::max(0, xc - pp_.windowSizeX / 2 - padX),
                  col1 = std::min(size_.width, xc + pp_.windowSizeX / 2 + padX + 1);
        smoothStrip(ref, size_.width, row1 - row0, col0, col1, across_, refSmooth_);
        smoothStrip(def, size_.width, row1 - row0, col0, col1, across_, defSmooth_);
        strips = {refSmooth_.data(), defSmooth_.data(), row0, row1, col0, col1};
        return true;
    }

private:
    const ImageSource& reference_;
    const ImageSource& deformed_;
    ImageSize size_;
    int marginX_, marginY_;
    const PixelSearchParams& pp_;
    std::vector<float> refRows_, defRows_, refSmooth_, defSmooth_, across_;
};

// The kept fits, gathered by crack: linked through neighbours fitted with the same one.
std::vector<std::vector<size_t>> keptCracks(const SeedGrid& grid, const std::vector<float>& answers,
                                            const std::vector<char>& kept, const PixelSearchParams& pp) {
    const auto result = [&](size_t k) { return answers.data() + k * detail::kResultFloats; };
    std::vector<std::vector<size_t>> cracks;
    std::vector<char> seen(grid.size(), 0);
    for (size_t first = 0; first < grid.size(); ++first) {
        if (seen[first] || !kept[first]) continue;
        std::vector<size_t> crack(1, first);
        seen[first] = 1;
        for (size_t next = 0; next < crack.size(); ++next) {
            const std::array<int, 2> p = grid.position(crack[next]);
            for (int dj = -1; dj <= 1; ++dj)
                for (int di = -1; di <= 1; ++di) {
                    const int64_t n = grid.at(p[0] + di, p[1] + dj);
                    if (n < 0 || seen[size_t(n)] || !kept[size_t(n)] ||
                        !sameCrack(fitOf(result(crack[next])), fitOf(result(size_t(n))), double(di) * pp.stepX,
                                   double(dj) * pp.stepY))
                        continue;
                    seen[size_t(n)] = 1;
                    crack.push_back(size_t(n));
                }
        }
        cracks.push_back(std::move(crack));
    }
    return cracks;
}

// Where kept fit k's line passes nearest its point, px from the grid's origin.
std::array<double, 2> footOf(const SeedGrid& grid, const std::vector<float>& answers, size_t k,
                             const PixelSearchParams& pp) {
    const float* r = answers.data() + k * detail::kResultFloats;
    const double a = r[detail::kResultAngle] * kDegree, phi = r[detail::kResultPosition];
    const std::array<int, 2> p = grid.position(k);
    return {double(p[0]) * pp.stepX + phi * std::sin(a), double(p[1]) * pp.stepY + phi * std::cos(a)};
}

// Kept fits of one crack as a piece: their line's angle (the mean of doubled
// angles, since a fit's normal may face either way) and its ends, in grid
// steps times the step as crackPiece has them.
CrackPiece fitsPiece(const SeedGrid& grid, const std::vector<float>& answers, const std::vector<size_t>& fits,
                     const PixelSearchParams& pp) {
    CrackPiece piece;
    double s2 = 0.0, c2 = 0.0;
    for (size_t k : fits) {
        const double a = answers[k * detail::kResultFloats + detail::kResultAngle] * kDegree;
        s2 += std::sin(2.0 * a);
        c2 += std::cos(2.0 * a);
    }
    piece.angle = 0.5 * std::atan2(s2, c2) / kDegree;
    const double tx = std::cos(piece.angle * kDegree), ty = -std::sin(piece.angle * kDegree);
    double lo = std::numeric_limits<double>::infinity(), hi = -lo;
    for (size_t k : fits) {
        const std::array<double, 2> foot = footOf(grid, answers, k, pp);
        const double along = foot[0] * tx + foot[1] * ty;
        if (along < lo) lo = along, piece.ends[0] = foot;
        if (along > hi) hi = along, piece.ends[1] = foot;
    }
    piece.points = fits;
    return piece;
}

// Unkeeps the cracks that a ramp between their sides explains better than
// their step, summed over all their kept fits. A crack whose fits leave gaps
// falls into groups; the groups on one line are judged together, however far
// apart, so that a few fits of a band between longer stretches are not judged
// alone: on a narrow band under much noise a ramp explains each group only
// barely better than a step, and a group of 40 fits that a gap of more than
// kBridge cut off from the rest came out a hair better as a step.
void dropSmoothSteps(BlurredSubsets& subsets, const SeedGrid& grid, const std::vector<float>& answers,
                     std::vector<char>& kept, const PixelSearchParams& pp) {
    if (std::none_of(kept.begin(), kept.end(), [](char k) { return k != 0; })) return;
    const auto result = [&](size_t k) { return answers.data() + k * detail::kResultFloats; };
    const std::vector<std::vector<size_t>> cracks = keptCracks(grid, answers, kept, pp);
    std::vector<std::array<double, kRampModels>> totals(cracks.size());
    std::vector<CrackPiece> pieces;
    for (size_t c = 0; c < cracks.size(); ++c) {
        pieces.push_back(fitsPiece(grid, answers, cracks[c], pp));
        std::array<double, kRampModels>& total = totals[c];
        for (size_t k : cracks[c]) {
            int xc = 0, yc = 0;
            RampStrips strips{};
            if (!subsets.around(grid.position(k), result(k), xc, yc, strips)) continue;
            const auto costs = stepAndRampCosts(strips, xc, yc, pp, result(k));
            if (!std::isfinite(costs[0])) continue;
            for (int m = 0; m < kRampModels; ++m)
                total[size_t(m)] += std::isfinite(costs[size_t(m)]) ? costs[size_t(m)] : costs[0];
        }
    }
    const std::vector<size_t> root = lineGroups(pieces);
    std::vector<std::array<double, kRampModels>> pooled(cracks.size(), std::array<double, kRampModels>{});
    for (size_t c = 0; c < cracks.size(); ++c)
        for (int m = 0; m < kRampModels; ++m) pooled[root[c]][size_t(m)] += totals[c][size_t(m)];
    for (size_t c = 0; c < cracks.size(); ++c) {
        const std::array<double, kRampModels>& total = pooled[root[c]];
        if (*std::min_element(total.begin() + 1, total.end()) < total[0])
            for (size_t k : cracks[c]) kept[k] = 0;
    }
}

double median(std::vector<double>& values) {
    const size_t half = values.size() / 2;
    std::nth_element(values.begin(), values.begin() + ptrdiff_t(half), values.end());
    const double upper = values[half];
    if (values.size() % 2) return upper;
    return 0.5 * (upper + *std::max_element(values.begin(), values.begin() + ptrdiff_t(half)));
}

// The median of the fits' jumps, in px.
double medianJump(const std::vector<float>& answers, const std::vector<size_t>& fits) {
    std::vector<double> jumps;
    for (size_t k : fits) {
        const float* r = answers.data() + k * detail::kResultFloats;
        jumps.push_back(std::hypot(r[detail::kResultJumpX], r[detail::kResultJumpY]));
    }
    return median(jumps);
}

// Where a crack ends inside the image, the subsets around its tip hold the
// crack over only part of their length, and each fit turns its line towards
// the part its subset holds: the fits on the two sides of the crack's line
// fan apart, by 20 degrees and more past the tip, with openings that the
// part's jump spread over the subset makes small; or one side's fits fail and
// only the other's are kept. Along a crack that runs through, both sides fit
// one line. So each crack is cut across into slices two grid steps long, and
// its slices are dropped from either end inwards while the mean angles of its
// two sides' fits there differ by more than kTipFan, or only one side holds
// fits although the grid reaches the other, no other crack crosses there and
// their jump has faded below kTipJumpShare of the crack's median, at most a
// window's length from each end and never the whole crack. Where both sides
// hold fits that fan apart by less, their jumps still fade past the tip: a
// crack that ends as in an elastic body kept such fits up to 13 px past it at
// 61 px windows, with a fifth of the crack's median jump. So a slice whose
// fits' mean jump is below kTipFade of the median is dropped too; an opening
// that grows as the root of the distance behind the tip stays below that only
// over the last tenth of the distance where it reaches the median, and the
// line there ended 9 to 25 px short of the tip instead.
constexpr double kTipFan = 10.0; // degrees
constexpr double kTipJumpShare = 0.6;
constexpr double kTipFade = 0.3;
// Cracks cross only where their lines lie at least this far apart: nearly
// parallel fits are pieces of one crack, or its tip's fan.
constexpr double kCrossingAngle = 20.0; // degrees

// The crack each kept fit belongs to, by its index in `cracks`; kNoCrack for the rest.
constexpr size_t kNoCrack = std::numeric_limits<size_t>::max();

std::vector<size_t> crackOwners(const SeedGrid& grid, const std::vector<std::vector<size_t>>& cracks) {
    std::vector<size_t> owner(grid.size(), kNoCrack);
    for (size_t c = 0; c < cracks.size(); ++c)
        for (size_t k : cracks[c]) owner[k] = c;
    return owner;
}

// Whether fits of a crack other than c that cross `axis` (radians) lie within
// two windows of (x, y): where cracks cross, each one's fits leave a hole up
// to about two windows long, whose ends hold only one side's fits too. The
// fits on the far side of a tip's fan can form a piece of their own, which
// crosses nothing.
bool crossedNear(const SeedGrid& grid, const std::vector<float>& answers, const std::vector<size_t>& owner, size_t c,
                 double axis, double x, double y, const PixelSearchParams& pp) {
    const double reach = 2.0 * std::max(pp.windowSizeX, pp.windowSizeY);
    const int ri = int(std::ceil(reach / pp.stepX)), rj = int(std::ceil(reach / pp.stepY));
    const int ci = int(std::lround(x / pp.stepX)), cj = int(std::lround(y / pp.stepY));
    for (int j = cj - rj; j <= cj + rj; ++j)
        for (int i = ci - ri; i <= ci + ri; ++i) {
            const int64_t n = grid.at(i, j);
            if (n >= 0 && owner[size_t(n)] != c && owner[size_t(n)] != kNoCrack &&
                std::abs(std::sin(answers[size_t(n) * detail::kResultFloats + detail::kResultAngle] * kDegree -
                                  axis)) >= std::sin(kCrossingAngle * kDegree))
                return true;
        }
    return false;
}

// A crack runs on along its line, so the subsets it cuts have their centres
// spread along it over its length and a window more, and its step explains
// them down to the noise (a dark gap aside, which a short faint piece barely
// shows). A grain of the speckle that bilinear reading follows poorly, under
// so little noise that its misfit stands out of it, gave 23 fits over 28 px
// at 31 px windows, beside a shear band: jumps of 0.05 to 0.11 px, each
// explaining its subset 3 to 10 % better than a continuous warp and leaving
// about twice what the noise leaves. So fits that span less than
// kShortestSpan windows along their line, with every other piece on it, more
// than kShortIsolation windows from any other kept fit, are dropped when they
// leave kShortExcess times the noise or more. A faint crack's fits can fall
// into pieces as short and as far apart, whose lines miss each other by a few
// pixels; those fits left 1.1 times the noise (the median; 1.5 at most).
constexpr double kShortestSpan = 1.25;
constexpr double kShortIsolation = 2.0;
constexpr double kShortExcess = 1.5;

void dropShortCracks(const SeedGrid& grid, const std::vector<float>& answers, std::vector<char>& kept,
                     const PixelSearchParams& pp) {
    std::vector<CrackPiece> pieces;
    for (const std::vector<size_t>& fits : keptCracks(grid, answers, kept, pp))
        pieces.push_back(fitsPiece(grid, answers, fits, pp));
    const std::vector<size_t> root = lineGroups(pieces);
    std::vector<std::array<double, 2>> span(pieces.size(), {std::numeric_limits<double>::infinity(),
                                                            -std::numeric_limits<double>::infinity()});
    std::vector<size_t> owner(grid.size(), kNoCrack);
    for (size_t c = 0; c < pieces.size(); ++c) {
        const double a = pieces[root[c]].angle * kDegree, tx = std::cos(a), ty = -std::sin(a);
        for (const std::array<double, 2>& end : pieces[c].ends) {
            const double along = end[0] * tx + end[1] * ty;
            span[root[c]] = {std::min(span[root[c]][0], along), std::max(span[root[c]][1], along)};
        }
        for (size_t k : pieces[c].points) owner[k] = root[c];
    }
    const double shortest = kShortestSpan * std::min(pp.windowSizeX, pp.windowSizeY);
    const int ri = int(std::ceil(kShortIsolation * pp.windowSizeX / pp.stepX)),
              rj = int(std::ceil(kShortIsolation * pp.windowSizeY / pp.stepY));
    const auto isolated = [&](size_t g) {
        for (size_t c = 0; c < pieces.size(); ++c) {
            if (root[c] != g) continue;
            for (size_t k : pieces[c].points) {
                const std::array<int, 2> p = grid.position(k);
                for (int j = p[1] - rj; j <= p[1] + rj; ++j)
                    for (int i = p[0] - ri; i <= p[0] + ri; ++i) {
                        const int64_t n = grid.at(i, j);
                        if (n >= 0 && owner[size_t(n)] != kNoCrack && owner[size_t(n)] != g) return false;
                    }
            }
        }
        return true;
    };
    // The median of the group's fits' cost over what the noise alone leaves.
    const auto excess = [&](size_t g) {
        std::vector<double> excesses;
        for (size_t c = 0; c < pieces.size(); ++c)
            if (root[c] == g)
                for (size_t k : pieces[c].points)
                    excesses.push_back(answers[k * detail::kResultFloats + detail::kResultCostExcess]);
        return median(excesses);
    };
    std::vector<char> dropped(pieces.size(), 0);
    for (size_t c = 0; c < pieces.size(); ++c)
        if (root[c] == c && span[c][1] - span[c][0] < shortest)
            dropped[c] = isolated(c) && excess(c) >= kShortExcess;
    for (size_t c = 0; c < pieces.size(); ++c)
        if (dropped[root[c]])
            for (size_t k : pieces[c].points) kept[k] = 0;
}

struct FanSlice {
    // Per side of the crack's line: the fits, the sum of their turns from the crack's axis, of their
    // positions, of their distances from their lines and of their jumps.
    std::array<double, 2> fits{}, turns{}, x{}, y{}, distance{}, jump{};
};

void trimTipFans(const SeedGrid& grid, const std::vector<float>& answers, std::vector<char>& kept,
                 const PixelSearchParams& pp, int gridWidth, int gridHeight) {
    const auto result = [&](size_t k) { return answers.data() + k * detail::kResultFloats; };
    const double slice = std::max(pp.stepX, pp.stepY) * 2.0;
    const double reach = 0.5 * std::max(pp.windowSizeX, pp.windowSizeY);
    const std::vector<std::vector<size_t>> cracks = keptCracks(grid, answers, kept, pp);
    const std::vector<size_t> owner = crackOwners(grid, cracks);
    for (size_t c = 0; c < cracks.size(); ++c) {
        const std::vector<size_t>& crack = cracks[c];
        if (crack.size() < kMinCrackPoints) continue;
        // The crack's axis: the mean of doubled angles, blind to which way each normal faces.
        double s2 = 0.0, c2 = 0.0;
        for (size_t k : crack) {
            const double a = 2.0 * result(k)[detail::kResultAngle] * kDegree;
            s2 += std::sin(a), c2 += std::cos(a);
        }
        const double axis = 0.5 * std::atan2(s2, c2);
        const double tx = std::cos(axis), ty = -std::sin(axis), nx = -ty, ny = tx;
        const auto sliceOf = [&](size_t k) {
            const std::array<int, 2> p = grid.position(k);
            return long(std::floor((double(p[0]) * pp.stepX * tx + double(p[1]) * pp.stepY * ty) / slice));
        };
        std::map<long, FanSlice> slices;
        for (size_t k : crack) {
            const float* r = result(k);
            const double from = double(r[detail::kResultAngle]) - axis / kDegree;
            const double turn = std::remainder(from, 180.0);
            // The line's offset from the point along the normal turned to face the axis's way.
            const double phi = (std::cos(from * kDegree) < 0.0 ? -1.0 : 1.0) * r[detail::kResultPosition];
            if (!std::isfinite(turn) || std::abs(phi) < 1.0) continue;
            const std::array<int, 2> p = grid.position(k);
            FanSlice& at = slices[sliceOf(k)];
            const size_t side = phi > 0.0 ? 0 : 1;
            at.fits[side] += 1.0;
            at.turns[side] += turn;
            at.x[side] += double(p[0]) * pp.stepX;
            at.y[side] += double(p[1]) * pp.stepY;
            at.distance[side] += std::abs(phi);
            at.jump[side] += std::hypot(r[detail::kResultJumpX], r[detail::kResultJumpY]);
        }
        const double typicalJump = medianJump(answers, crack);
        if (slices.size() < 3) continue;
        // Whether a slice's fits say that the crack does not run through it: their two sides fan apart, or one
        // side holds none where the grid's points lie as far on that side as the other side's lie on theirs.
        const auto endsBefore = [&](long at) {
            const auto found = slices.find(at);
            if (found == slices.end()) return false;
            const FanSlice& f = found->second;
            if (f.fits[0] > 0.0 && f.fits[1] > 0.0)
                return std::abs(f.turns[0] / f.fits[0] - f.turns[1] / f.fits[1]) > kTipFan ||
                       f.jump[0] + f.jump[1] < kTipFade * typicalJump * (f.fits[0] + f.fits[1]);
            const size_t side = f.fits[0] > 0.0 ? 0 : 1;
            // Where a crack's fits leave a gap, the ends beside it keep their jump; towards a tip it fades.
            if (f.jump[side] / f.fits[side] >= kTipJumpShare * typicalJump) return false;
            // Across the line from the side's mean point, as far beyond it: the points within reach of there.
            const double across = 2.0 * f.distance[side] / f.fits[side] * (side == 0 ? 1.0 : -1.0);
            const double x = f.x[side] / f.fits[side] + across * nx, y = f.y[side] / f.fits[side] + across * ny;
            return x >= 0.0 && y >= 0.0 && x <= double(gridWidth - 1) * pp.stepX &&
                   y <= double(gridHeight - 1) * pp.stepY && !crossedNear(grid, answers, owner, c, axis, x, y, pp);
        };
        const long first = slices.begin()->first, last = slices.rbegin()->first;
        const long most = std::max(1L, long(std::floor(2.0 * reach / slice)));
        long low = first, high = last;
        while (low <= last && low - first < most && endsBefore(low)) ++low;
        while (high >= low && last - high < most && endsBefore(high)) --high;
        if ((low == first && high == last) || low > high) continue;
        std::vector<size_t> dropped;
        for (size_t k : crack) {
            const long at = sliceOf(k);
            if (at < low || at > high) kept[k] = 0, dropped.push_back(k);
        }
        // The far side of a fan past the tip can be a piece of a few fits of its own: it goes with the fan.
        const auto besideDropped = [&](size_t k) {
            const std::array<int, 2> p = grid.position(k);
            const long at = sliceOf(k);
            return (at < low || at > high) && std::any_of(dropped.begin(), dropped.end(), [&](size_t d) {
                       const std::array<int, 2> q = grid.position(d);
                       return std::hypot(double(p[0] - q[0]) * pp.stepX, double(p[1] - q[1]) * pp.stepY) <= reach;
                   });
        };
        for (const std::vector<size_t>& piece : cracks)
            if (piece.size() < kMinCrackPoints && std::all_of(piece.begin(), piece.end(), besideDropped))
                for (size_t k : piece) kept[k] = 0;
    }
}

// Where a crack ends inside the image, the subsets that hold its last stretch
// still fit a line through the whole subset, and the larger the jump against
// the speckle's grain, the more a fit follows the stretch that is open: a
// 2.6 px jump on 2.7 px spots, fading over 17 px, kept fits 11 px past its
// tip at 61 px windows with 0.45 of the crack's median jump and no fan, which
// trimTipFans leaves. The images say where the crack ends, at the pixel
// scale: the fits within a window of each end of a crack are refitted with
// the crack ending at a tip, the material beyond it moving as one, and the
// tip common to them that explains them best, summed over them, is where the
// crack ends when it explains them better than the crack running through them
// by a share of the cost; the fits past it by more than kTipSlack are
// dropped. A tip adds three parameters to each fit (its place and the
// displacement beyond), which take up noise of about 3 / n of the cost of a
// subset of n samples: at 21 px windows the gain over a fading crack's last
// fits reached 2.8 % where it ran on, so the share is kTipGainSamples / n and
// at least kTipGain. A fit's own tip is placed at most kTipScan of the half
// window from its centre, and only fits whose line lies within half of the
// half window take part, so that both sides of the line hold a fair share of
// the subset. A subset past a tip holds only the crack's last stretch, and
// its fit carries less than the crack's jump (0.27 to 0.70 of the median
// past the tips found in 300 random pairs), so the fits past the tip are
// dropped only where their median jump is below kTipPastJump of the crack's.
// Poor fits of coarse speckle can be explained better by a tip anywhere, the
// material beyond moving freely: at 21 px windows the last fits of a crack
// that ran on to the image's edge, with 1.2 times its median jump, gained 8 %
// so.
constexpr double kTipScan = 0.6;
constexpr double kTipGain = 0.01;
constexpr double kTipGainSamples = 8.0;
constexpr double kTipSlack = 2.0; // px
constexpr double kTipSpacing = 2.0; // px between the tips tried in a subset
constexpr double kTipPastJump = 0.8;

void trimPastTips(BlurredSubsets& subsets, const SeedGrid& grid, const std::vector<float>& answers,
                  std::vector<char>& kept, const PixelSearchParams& pp) {
    const auto result = [&](size_t k) { return answers.data() + k * detail::kResultFloats; };
    const double half = 0.5 * std::min(pp.windowSizeX, pp.windowSizeY);
    std::vector<double> tips;
    for (double t = -kTipScan * half; t <= kTipScan * half; t += kTipSpacing) tips.push_back(t);
    const std::vector<std::vector<size_t>> cracks = keptCracks(grid, answers, kept, pp);
    const std::vector<size_t> owner = crackOwners(grid, cracks);
    for (size_t c = 0; c < cracks.size(); ++c) {
        const std::vector<size_t>& crack = cracks[c];
        if (crack.size() < kMinCrackPoints) continue;
        const CrackPiece piece = fitsPiece(grid, answers, crack, pp);
        const double axis = piece.angle * kDegree;
        for (const double sign : {1.0, -1.0}) {
            // Distances along the crack towards this end, from the grid's origin.
            const double tx = sign * std::cos(axis), ty = -sign * std::sin(axis);
            const auto along = [&](size_t k) {
                const std::array<int, 2> p = grid.position(k);
                return double(p[0]) * pp.stepX * tx + double(p[1]) * pp.stepY * ty;
            };
            size_t last = crack.front();
            for (size_t k : crack)
                if (along(k) > along(last)) last = k;
            const double end = along(last);
            const std::array<int, 2> endPoint = grid.position(last);
            if (crossedNear(grid, answers, owner, c, axis, double(endPoint[0]) * pp.stepX,
                            double(endPoint[1]) * pp.stepY, pp))
                continue;
            std::vector<size_t> near;
            std::vector<std::vector<double>> costs;
            for (size_t k : crack) {
                if (along(k) < end - 2.0 * half || std::abs(result(k)[detail::kResultPosition]) > 0.5 * half)
                    continue;
                int xc = 0, yc = 0;
                RampStrips strips{};
                if (!subsets.around(grid.position(k), result(k), xc, yc, strips)) continue;
                std::vector<double> own = tipCosts(strips, xc, yc, pp, result(k), tx, ty, tips);
                if (own.empty() || !std::all_of(own.begin(), own.end(), [](double v) { return std::isfinite(v); }))
                    continue;
                near.push_back(k);
                costs.push_back(std::move(own));
            }
            if (near.size() < kMinCrackPoints) continue;
            // The cost summed over the fits with the crack ending `at`: each fit's nearest tip tried, the
            // crack running through those it ends beyond, and the nearest tip to the centre for those it
            // ends before.
            const auto total = [&](double at) {
                double sum = 0.0;
                for (size_t f = 0; f < near.size(); ++f) {
                    const double own = at - along(near[f]);
                    if (own > tips.back() + 0.5 * kTipSpacing) {
                        sum += costs[f][tips.size()];
                        continue;
                    }
                    const long i = std::lround((std::max(own, tips.front()) - tips.front()) / kTipSpacing);
                    sum += costs[f][size_t(std::min(i, long(tips.size()) - 1))];
                }
                return sum;
            };
            const double through = total(std::numeric_limits<double>::infinity());
            double best = through, tip = std::numeric_limits<double>::infinity();
            for (double at = end - 2.0 * half; at <= end; at += 1.0)
                if (const double sum = total(at); sum < best) best = sum, tip = at;
            // The models read every other row and column of the subset.
            const double samples = double(pp.windowSizeX / 2 + 1) * double(pp.windowSizeY / 2 + 1);
            if (!(best < (1.0 - std::max(kTipGain, kTipGainSamples / samples)) * through)) continue;
            std::vector<size_t> past;
            for (size_t k : crack)
                if (along(k) > tip + kTipSlack) past.push_back(k);
            if (past.empty() || !(medianJump(answers, past) < kTipPastJump * medianJump(answers, crack))) continue;
            for (size_t k : past) kept[k] = 0;
        }
    }
}

// A crack's plausible fits join it only up to kPlausibleReach grid steps from
// its significant ones, which keeps a wave's flanks from chaining, but under
// much noise a faint crack can run on for a hundred pixels past its last
// significant fits, with plausible fits all along (a 1.05 px jump at a
// signal-to-noise ratio of 2.6, at 61 px windows), and that stretch was left
// out of its line. So a run of plausible fits linked by neighbours fitted
// with the same crack, kMinCrackPoints long with kMinCentralFits central
// fits, is kept where it carries a kept crack on along that crack's own line
// (continues) with a median jump of kTipJumpShare of the crack's or more,
// round after round while runs are added: a wave's crest lies on no crack's
// line, and past a tip the subsets that still hold the crack's last stretch
// fit its line with a jump that fades (a run of them carried a 2.6 px jump
// 11 px past its tip).
void extendAlongLines(const SeedGrid& grid, const std::vector<float>& answers, const std::vector<FitGrade>& grades,
                      std::vector<char>& kept, const PixelSearchParams& pp) {
    const auto result = [&](size_t k) { return answers.data() + k * detail::kResultFloats; };
    const double centralReach = std::max(pp.stepX, pp.stepY);
    std::vector<char> seen(grid.size());
    std::vector<size_t> run;
    for (bool grew = true; grew;) {
        grew = false;
        std::vector<CrackPiece> pieces;
        std::vector<double> typicalJumps;
        for (const std::vector<size_t>& crack : keptCracks(grid, answers, kept, pp))
            if (crack.size() >= kMinCrackPoints) {
                pieces.push_back(fitsPiece(grid, answers, crack, pp));
                typicalJumps.push_back(medianJump(answers, crack));
            }
        if (pieces.empty()) return;
        std::fill(seen.begin(), seen.end(), 0);
        for (size_t first = 0; first < grid.size(); ++first) {
            if (kept[first] || seen[first] || grades[first] < FitGrade::Plausible) continue;
            run.assign(1, first);
            seen[first] = 1;
            size_t centred = 0;
            for (size_t next = 0; next < run.size(); ++next) {
                const size_t k = run[next];
                centred += std::abs(result(k)[detail::kResultPosition]) <= centralReach;
                const std::array<int, 2> p = grid.position(k);
                for (int dj = -1; dj <= 1; ++dj)
                    for (int di = -1; di <= 1; ++di) {
                        const int64_t n = grid.at(p[0] + di, p[1] + dj);
                        if (n < 0 || seen[size_t(n)] || kept[size_t(n)] || grades[size_t(n)] < FitGrade::Plausible ||
                            !sameCrack(fitOf(result(k)), fitOf(result(size_t(n))), double(di) * pp.stepX,
                                       double(dj) * pp.stepY))
                            continue;
                        seen[size_t(n)] = 1;
                        run.push_back(size_t(n));
                    }
            }
            if (run.size() < kMinCrackPoints || centred < kMinCentralFits) continue;
            const CrackPiece piece = fitsPiece(grid, answers, run, pp);
            const double jump = medianJump(answers, run);
            bool carried = false;
            for (size_t c = 0; c < pieces.size() && !carried; ++c)
                carried = jump >= kTipJumpShare * typicalJumps[c] && continues(piece, pieces[c]);
            if (!carried) continue;
            for (size_t k : run) kept[k] = 1;
            grew = true;
        }
    }
}

// Where two cracks cross, every subset both cut holds three or four parts that
// move apart, which no single line explains, and the fits beside it start from
// straddles the other crack's jump spoils: each crack's fits stop short of the
// other's by up to a window over the sine of the angle between them, and its
// line has a hole there that the user would read as two cracks. Around the
// hole both lines are known from the fits either side of it, so the points
// each line passes through there are measured by parts: the crack's jump is
// the difference between the translations of the two parts either side of it
// on the centre's side of the other crack, clear of both gaps, and the point's
// displacement its own part's. The jump must agree with the nearest kept fit's
// of that crack, as neighbours of one crack do. Only lines at least
// kCrossingAngle apart cross.
// A part measured at a crossing holds at least this share of the subset.
constexpr double kCrossingPart = 0.1;
// A crack's line near a point is drawn from its kept fits within this many
// windows: the hole a crossing at 30 degrees leaves is two windows long.
constexpr double kCrossingReach = 2.5;

// The kept fits by crack, the pieces either side of a hole in one line taken
// together; empty unless two of them cross.
std::vector<std::vector<size_t>> crossingCracks(const SeedGrid& grid, const std::vector<float>& answers,
                                                const std::vector<char>& kept, const PixelSearchParams& pp) {
    std::vector<CrackPiece> pieces;
    for (const std::vector<size_t>& fits : keptCracks(grid, answers, kept, pp))
        pieces.push_back(fitsPiece(grid, answers, fits, pp));
    const std::vector<size_t> root = lineGroups(pieces);
    std::vector<std::vector<size_t>> cracks;
    std::vector<ptrdiff_t> slot(pieces.size(), -1);
    for (size_t a = 0; a < pieces.size(); ++a) {
        ptrdiff_t& s = slot[root[a]];
        if (s < 0) s = ptrdiff_t(cracks.size()), cracks.emplace_back();
        cracks[size_t(s)].insert(cracks[size_t(s)].end(), pieces[a].points.begin(), pieces[a].points.end());
    }
    std::erase_if(cracks, [](const std::vector<size_t>& fits) { return fits.size() < kMinCrackPoints; });
    std::vector<double> angles;
    for (const std::vector<size_t>& fits : cracks) angles.push_back(fitsPiece(grid, answers, fits, pp).angle);
    for (size_t a = 0; a < cracks.size(); ++a)
        for (size_t b = a + 1; b < cracks.size(); ++b)
            if (std::abs(std::sin((angles[a] - angles[b]) * kDegree)) >= std::sin(kCrossingAngle * kDegree))
                return cracks;
    return {};
}

// A crack's straight line near a point: normal (sin a, cos a) with a in
// (-90, 90], offset c from the grid's origin (px), and the crack's kept fits.
struct NearLine {
    double nx, ny, c;
    const std::vector<size_t>* fits;

    double distance(double x, double y) const { return nx * x + ny * y - c; }
};

// The line of `crack` near (x, y) px, from its kept fits within `reach` px:
// their mean angle (of doubled angles, as a fit's normal may face either way)
// and their feet's median offset along that normal.
std::optional<NearLine> lineNear(const SeedGrid& grid, const std::vector<float>& answers,
                                 const std::vector<size_t>& crack, double x, double y, double reach,
                                 const PixelSearchParams& pp) {
    double s2 = 0.0, c2 = 0.0;
    std::vector<size_t> near;
    for (size_t k : crack) {
        const std::array<int, 2> p = grid.position(k);
        if (std::hypot(double(p[0]) * pp.stepX - x, double(p[1]) * pp.stepY - y) > reach) continue;
        near.push_back(k);
        const double a = answers[k * detail::kResultFloats + detail::kResultAngle] * kDegree;
        s2 += std::sin(2.0 * a);
        c2 += std::cos(2.0 * a);
    }
    if (near.size() < kMinCrackPoints) return std::nullopt;
    double a = 0.5 * std::atan2(s2, c2);
    if (a <= -0.5 * std::numbers::pi) a += std::numbers::pi;
    const double nx = std::sin(a), ny = std::cos(a);
    std::vector<double> offsets;
    for (size_t k : near) {
        const std::array<double, 2> f = footOf(grid, answers, k, pp);
        offsets.push_back(nx * f[0] + ny * f[1]);
    }
    return NearLine{nx, ny, median(offsets), &crack};
}

// Point k measured by parts across crack a near its crossing with b, into
// `r` (kResultFloats values) when the parts settle and the jump agrees with
// the nearest kept fit of a's whose subset b leaves clear on the centre's
// side, which also gives the parts' gradients and their starts.
bool measureCrossingPoint(const SeedGrid& grid, const std::vector<float>& answers, size_t k, const NearLine& a,
                          const NearLine& b, double reach, const PixelSearchParams& pp, const OwnSideImages& images,
                          OwnSideRows& rows, float* r) {
    constexpr double kClearance = 1.0; // px beyond the gap, as a cut point's own side keeps
    const std::array<int, 2> p = grid.position(k);
    const double x = double(p[0]) * pp.stepX, y = double(p[1]) * pp.stepY;
    // Offsets from the centre, as the fits give them: a sample at d lies on the positive side when n.d > phi.
    const double phiA = -a.distance(x, y), phiB = -b.distance(x, y);
    const int sideB = phiB < 0.0 ? 1 : -1;
    const double extentB = pp.windowSizeX / 2 * std::abs(b.nx) + pp.windowSizeY / 2 * std::abs(b.ny);
    // The nearest kept fit of b's, and of a's whose subset b leaves clear on the centre's side: beyond b a's
    // parts move by b's jump too, and a fit whose subset b cuts bends its gradients and its jump by it.
    const auto nearest = [&](const NearLine& line, double clearOfB) -> std::optional<size_t> {
        double closest = reach;
        std::optional<size_t> found;
        for (size_t n : *line.fits) {
            const std::array<int, 2> q = grid.position(n);
            const double qx = double(q[0]) * pp.stepX, qy = double(q[1]) * pp.stepY, d = std::hypot(qx - x, qy - y);
            if (d <= closest && double(sideB) * b.distance(qx, qy) >= clearOfB) closest = d, found = n;
        }
        return found;
    };
    const std::optional<size_t> nearB = nearest(b, -std::numeric_limits<double>::infinity());
    if (!nearB) return false;
    const float* across = answers.data() + *nearB * detail::kResultFloats;
    const double jumpB = std::hypot(across[detail::kResultJumpX], across[detail::kResultJumpY]);
    const std::optional<size_t> nearA = nearest(a, extentB + jumpB + kClearance);
    if (!nearA) return false;
    const float* near = answers.data() + *nearA * detail::kResultFloats;
    const double jumpA = std::hypot(near[detail::kResultJumpX], near[detail::kResultJumpY]);
    // The nearest fit's sides as a's: its normal may face the other way.
    const double angle = near[detail::kResultAngle] * kDegree;
    const bool facing = std::sin(angle) * a.nx + std::cos(angle) * a.ny >= 0.0;
    const std::array<int, 2> q = grid.position(*nearA);
    const double dx = x - double(q[0]) * pp.stepX, dy = y - double(q[1]) * pp.stepY;
    const float* g = near + detail::kResultWarp + 2;
    std::array<PartFit, 2> parts{}; // the negative side's, then the positive side's
    for (int s = 0; s < 2; ++s) {
        const bool plus = (s == 1) == facing;
        const float warp[6] = {
            float((plus ? near[detail::kResultPlusU] : near[detail::kResultMinusU]) + g[0] * dx + g[1] * dy),
            float((plus ? near[detail::kResultPlusV] : near[detail::kResultMinusV]) + g[2] * dx + g[3] * dy),
            g[0], g[1], g[2], g[3]};
        std::vector<CutLine> part = {{a.nx, a.ny, phiA, jumpA + kClearance, s == 1 ? 1 : -1}};
        if (std::abs(phiB) < extentB + jumpB + kClearance)
            part.push_back({b.nx, b.ny, phiB, jumpB + kClearance, sideB});
        const std::optional<PartFit> t = clearPartTranslation(images, pp, p[0], p[1], warp, part,
                                                              std::max(jumpA, jumpB), rows, true, nullptr,
                                                              kCrossingPart);
        if (!t) return false;
        parts[size_t(s)] = *t;
    }
    const double jx = parts[1].t[0] - parts[0].t[0], jy = parts[1].t[1] - parts[0].t[1];
    const double sign = facing ? 1.0 : -1.0;
    const double nearX = sign * near[detail::kResultJumpX], nearY = sign * near[detail::kResultJumpY];
    if (std::hypot(jx, jy) < kSmallestJump ||
        std::hypot(jx - nearX, jy - nearY) > kSameJump * std::max(std::hypot(jx, jy), jumpA) + kSameJumpSlack)
        return false;
    // The nearest fit's other figures stand for this one's; the costs are the parts'.
    const float continuous = r[detail::kResultContinuousCost];
    std::copy(near, near + detail::kResultFloats, r);
    const PartFit& own = parts[phiA < 0.0 ? 1 : 0];
    r[detail::kResultWarp] = float(own.t[0]);
    r[detail::kResultWarp + 1] = float(own.t[1]);
    r[detail::kResultJumpX] = float(jx);
    r[detail::kResultJumpY] = float(jy);
    r[detail::kResultAngle] = float(std::atan2(a.nx, a.ny) / kDegree);
    r[detail::kResultPosition] = float(phiA);
    r[detail::kResultMinusU] = float(parts[0].t[0]);
    r[detail::kResultMinusV] = float(parts[0].t[1]);
    r[detail::kResultPlusU] = float(parts[1].t[0]);
    r[detail::kResultPlusV] = float(parts[1].t[1]);
    r[detail::kResultEnrichedCost] = float(2.0 * (1.0 - std::min(parts[0].correlation, parts[1].correlation)));
    r[detail::kResultContinuousCost] = continuous;
    return true;
}

// The points a crack's line passes through (within a grid step) near its
// crossing with another, without a kept fit of that crack, measured by parts
// and kept. Near: the other's line passes within a window, where its jump
// spoils the straddles the fits start from. A point both lines pass through
// takes the nearer.
void fitCrossings(const SeedGrid& grid, std::vector<float>& answers, std::vector<char>& kept,
                  const PixelSearchParams& pp, const OwnSideImages& images) {
    const std::vector<std::vector<size_t>> cracks = crossingCracks(grid, answers, kept, pp);
    if (cracks.empty()) return;
    std::vector<const std::vector<size_t>*> crackOf(grid.size(), nullptr);
    for (const std::vector<size_t>& crack : cracks)
        for (size_t k : crack) crackOf[k] = &crack;
    const double hx = pp.windowSizeX / 2, hy = pp.windowSizeY / 2;
    const double reach = kCrossingReach * std::max(pp.windowSizeX, pp.windowSizeY);
    const double central = std::max(pp.stepX, pp.stepY), apart = std::sin(kCrossingAngle * kDegree);
    // Lines and jumps are drawn from the fits kept before, so that no point's answer depends on the order.
    const std::vector<float> before = answers;
    // Each crack's line is drawn once per block of grid points a quarter window wide: it changes little across it.
    const int block = std::max(1, std::max(pp.windowSizeX, pp.windowSizeY) / (4 * std::max(pp.stepX, pp.stepY)));
    std::map<std::array<int, 3>, std::optional<NearLine>> blockLines;
    const auto lineAt = [&](size_t c, int i, int j) -> const std::optional<NearLine>& {
        const std::array<int, 3> key{int(c), i / block, j / block};
        auto found = blockLines.find(key);
        if (found == blockLines.end()) {
            const double bx = (double(key[1] * block) + 0.5 * (block - 1)) * pp.stepX,
                         by = (double(key[2] * block) + 0.5 * (block - 1)) * pp.stepY;
            found = blockLines.emplace(key, lineNear(grid, before, cracks[c], bx, by, reach, pp)).first;
        }
        return found->second;
    };
    std::vector<size_t> measured;
    OwnSideRows rows;
    for (size_t k = 0; k < grid.size(); ++k) {
        const std::array<int, 2> p = grid.position(k);
        const double x = double(p[0]) * pp.stepX, y = double(p[1]) * pp.stepY;
        std::vector<NearLine> near;
        for (size_t c = 0; c < cracks.size(); ++c) {
            const std::optional<NearLine>& line = lineAt(c, p[0], p[1]);
            if (line && std::abs(line->distance(x, y)) < 2.0 * (hx * std::abs(line->nx) + hy * std::abs(line->ny)))
                near.push_back(*line);
        }
        if (near.size() < 2) continue;
        std::sort(near.begin(), near.end(), [&](const NearLine& a, const NearLine& b) {
            return std::abs(a.distance(x, y)) < std::abs(b.distance(x, y));
        });
        const NearLine& a = near.front();
        if (std::abs(a.distance(x, y)) > central) continue;
        const auto b = std::find_if(near.begin() + 1, near.end(),
                                    [&](const NearLine& l) { return std::abs(a.nx * l.ny - a.ny * l.nx) >= apart; });
        // A kept fit of the crack itself is measured again where the other cuts its subset: its one line
        // smears the other's jump into its own.
        if (b != near.end() && kept[k] && crackOf[k] == a.fits &&
            std::abs(b->distance(x, y)) >= hx * std::abs(b->nx) + hy * std::abs(b->ny))
            continue;
        if (b != near.end() &&
            measureCrossingPoint(grid, before, k, a, *b, reach, pp, images, rows, answers.data() + k * detail::kResultFloats))
            measured.push_back(k);
    }
    for (size_t k : measured) kept[k] = 1;
}

// Lines of points at one depth from an edge whose departures from the field
// inside stand out together. A crack along the edge beyond the outermost
// points pulls every point of such a line the same way, by the share of its
// subset beyond the crack times the jump: at low contrast or with noise that
// pull (0.05 to 0.2 px) lies within the scatter of single points' departures,
// which the extrapolation from inside triples, but the median along the line
// stands out of it. The scatter's median absolute deviation judges it, over as
// many independent samples as whole windows fit along the line (neighbouring
// subsets share most of their pixels), at kEdgeLineChi2 on both components.
// A curved field bends the extrapolation of every line alike; so does the
// bilinear sampling's bias, which an affine field sweeps through its period
// across the image. So the line is judged against the line a subset's reach
// deeper, which no crack beyond the outermost points cuts: the inner points'
// gradients, which the first pass fits with the noise, told that bend too
// roughly at low contrast (0.03 px of scatter in the median at 61 px windows).
// Deeper lines hold less of the strip; a line next to a flagged one is flagged
// too when it departs the same way (within kEdgeLineTurn) at kEdgeLineNextChi2.
// The extrapolation adds the noise of two points a reach apart, which share no
// pixel with the outermost one. A line's step to its neighbour one line in
// carries the pull of the strip the outermost subsets hold beyond that
// neighbour's, at the noise of the few pixels the two subsets do not share.
// The same bars judge that step against the step a reach deeper (which the
// field's gradient alone makes), and either test flags a line. A crack 2 px
// inside the outermost subsets at 21 px windows, opening by 0.8 px in noise of
// a ninth of the speckle's contrast, moved them by 0.09 px: 2.5 standard
// deviations of the extrapolation, 4.6 of the step.
constexpr double kEdgeLineChi2 = 20.0;
constexpr double kEdgeLineNextChi2 = 4.0;
constexpr double kEdgeLineFloor = 0.02; // px: below, a smear is within the tolerance anyway
// px: the step is at most the outermost line's smear. A smear the extrapolation
// misses and the step shows below this is kept: the half-subsets that would
// replace it were themselves off by up to 0.04 px on faint, noisy speckle.
constexpr double kEdgeStepFloor = 0.06;
constexpr double kEdgeLineTurn = 0.7;   // cosine
// Whole windows a line must span: along a shorter one the deviations' median
// is too uncertain a scale, and a field without a crack was flagged.
constexpr double kEdgeLineWindows = 6.0;

// The median of `values` and its variance, from the deviations' median as a
// Gaussian's, over `samples` independent samples; `values` is reordered.
std::array<double, 2> medianWithVariance(std::vector<double>& values, double samples) {
    const double m = median(values);
    for (double& x : values) x = std::abs(x - m);
    const double error = 1.2533 * 1.4826 * median(values) / std::sqrt(samples);
    return {m, error * error};
}

// The median departure of line `c` along one edge (inwards along (ex, ey))
// from the field extrapolated from the lines `near` and `far` steps further in,
// 2 u(near) - u(far) (with near == far, the line's step to that one), and the
// variance of each component's median; empty where the points that hold a
// value span fewer than kEdgeLineWindows windows.
std::optional<std::array<double, 4>> lineDeparture(const StartField& field, int c, int ex, int ey, int near, int far,
                                                   double perSample) {
    const bool columns = ex != 0;
    std::array<std::vector<double>, 2> parts;
    for (int t = 0, along = columns ? field.height() : field.width(); t < along; ++t) {
        const int i = columns ? c : t, j = columns ? t : c;
        const int i1 = i + near * ex, j1 = j + near * ey, i2 = i + far * ex, j2 = j + far * ey;
        if (!field.valid(i, j) || !field.valid(i1, j1) || !field.valid(i2, j2)) continue;
        const Warp own = field.warp(i, j), inner = field.warp(i1, j1), farther = field.warp(i2, j2);
        for (size_t k = 0; k < 2; ++k) parts[k].push_back(double(own[k]) - (2.0 * inner[k] - farther[k]));
    }
    const double samples = double(parts[0].size()) * perSample;
    if (samples < kEdgeLineWindows) return std::nullopt;
    std::array<double, 4> out{};
    for (size_t k = 0; k < 2; ++k) {
        const std::array<double, 2> m = medianWithVariance(parts[k], samples);
        out[k] = m[0];
        out[k + 2] = m[1];
    }
    return out;
}

std::vector<char> shiftedEdgeLines(const StartField& field, const Seeding& seeding, const PixelSearchParams& pp) {
    const int width = field.width(), height = field.height();
    std::vector<char> shifted(size_t(width) * size_t(height), 0);
    for (int side = 0; side < 4; ++side) {
        const bool columns = side < 2; // the left and right edges' lines are columns
        const int inward = side % 2 == 0 ? 1 : -1, ex = columns ? inward : 0, ey = columns ? 0 : inward;
        const int reach = columns ? seeding.reachX : seeding.reachY, lines = columns ? width : height;
        const double perSample =
            double(columns ? pp.stepY : pp.stepX) / double(columns ? pp.windowSizeY : pp.windowSizeX);
        const auto lineAt = [&](int depth) { return side % 2 == 0 ? depth : lines - 1 - depth; };
        // The extrapolation's test, then the step's: the lines each draws its reference from, in steps inwards.
        const std::array<std::array<int, 2>, 2> from = {{{reach, 2 * reach}, {1, 1}}};
        const auto departures = [&](int c) {
            std::array<std::optional<std::array<double, 4>>, 2> out;
            for (size_t test = 0; test < 2; ++test)
                out[test] = lineDeparture(field, c, ex, ey, from[test][0], from[test][1], perSample);
            return out;
        };
        const auto deeper = departures(lineAt(reach));
        if (!deeper[0]) continue;
        std::array<std::array<double, 2>, 2> previous{};
        bool flagged = false;
        for (int depth = 0; depth < std::min(reach, lines); ++depth) {
            const auto line = departures(lineAt(depth));
            if (!line[0]) break;
            bool departs = false;
            for (size_t test = 0; test < 2; ++test) {
                const auto &outer = line[test], &inner = deeper[test];
                if (!inner || !outer) continue;
                const std::array<double, 2> shift = {(*outer)[0] - (*inner)[0], (*outer)[1] - (*inner)[1]};
                double chi2 = 0.0;
                for (size_t k = 0; k < 2; ++k) {
                    const double variance = (*outer)[k + 2] + (*inner)[k + 2];
                    chi2 += variance > 0.0 ? shift[k] * shift[k] / variance : 0.0;
                }
                const double size = std::hypot(shift[0], shift[1]);
                const std::array<double, 2>& before = previous[test];
                const bool same = flagged && shift[0] * before[0] + shift[1] * before[1] >=
                                                 kEdgeLineTurn * size * std::hypot(before[0], before[1]);
                departs = departs ||
                          (size > (test == 0 ? kEdgeLineFloor : kEdgeStepFloor) &&
                           (chi2 > kEdgeLineChi2 || (same && chi2 > kEdgeLineNextChi2)));
                previous[test] = shift;
            }
            flagged = departs;
            if (!flagged) break;
            for (int t = 0; t < (columns ? height : width); ++t)
                shifted[columns ? field.index(lineAt(depth), t) : field.index(t, lineAt(depth))] = 1;
        }
    }
    return shifted;
}

// A crack beyond the outermost points whose jump outruns the speckle's size,
// or whose gap shows dark in the deformed image, does not pull its strip's
// subsets one way but scatters them: a tenth of a pixel either way from a
// strip of a pixel, which leaves the line's median departure where it was.
// What shows is the strip matching worse than the rest of the subset: the
// subset's half towards the edge, at the first pass's warp, matches worse than
// its half away, further along the line than a subset's reach deeper, which no
// such crack reaches. The halves' ratio of 1 - r is compared in logarithms,
// each offset by kHalfMismatchFloor so that two near-perfect matches do not
// make a ratio of their noise.
constexpr double kHalfMismatchFloor = 1e-4;
constexpr double kEdgeHalfRatio = 2.5;     // the line's median ratio over the deeper line's
constexpr double kEdgeHalfNextRatio = 1.5; // the next line's, when it also departs significantly
constexpr double kEdgeHalfZ = 3.5;         // standard errors of the two medians
constexpr double kEdgeHalfNextZ = 2.0;
// A cut line's subsets are measured on the part short of the strip: the rows
// parallel to the edge, in from the first whose mismatch along the line rises
// kStripRise times over the inner half's, less one for the crack's slant; the
// half where no row does.
constexpr double kStripRise = 3.0;

// Per point and side (left, right, top, bottom), how far towards that edge
// from its centre the part of its subset clear of such a crack reaches (px); -1
// where no crack is seen there.
using EdgeReach = std::array<short, 4>;

// The strip of both images along one edge that its lines' subsets read, held
// in memory with its B-spline coefficients: a streamed image is then read once
// rather than once per subset, and the coefficients prefiltered once rather
// than per patch. Side 0 to 3: left, right, top, bottom. `extent` is how far
// from the edge the subsets reach, displacements included; a B-spline strip
// reaches kPrefilterApron further for the recursive filter to settle.
class EdgeStrip {
public:
    EdgeStrip(const OwnSideImages& whole, int side, int extent) : images_(whole) {
        const bool columns = side < 2;
        const ImageSize size = whole.size;
        const bool bspline = isBSplineInterpolation(whole.interpolation);
        const int span = std::min(columns ? size.width : size.height, extent + (bspline ? kPrefilterApron : 0));
        const int first = side % 2 == 0 ? 0 : (columns ? size.width : size.height) - span;
        const ImageSize strip = columns ? ImageSize{span, size.height} : ImageSize{size.width, span};
        for (auto [source, target, held] : {std::tuple{whole.reference, &reference_, &referenceSource_},
                                            std::tuple{whole.deformed, &deformed_, &deformedSource_}}) {
            target->resize(size_t(strip.width) * size_t(strip.height));
            constexpr int kChunk = 128;
            const int rowsFrom = columns ? 0 : first, rowsTo = columns ? size.height : first + span;
            for (int y0 = rowsFrom; y0 < rowsTo && ok_; y0 += kChunk) {
                const int y1 = std::min(rowsTo, y0 + kChunk);
                const float* rows = source->rows(y0, y1, size.width, scratch_);
                if (!rows) {
                    ok_ = false;
                    break;
                }
                for (int y = y0; y < y1; ++y)
                    std::copy_n(rows + size_t(y - y0) * size_t(size.width) + size_t(columns ? first : 0), strip.width,
                                target->begin() + ptrdiff_t(size_t(y - rowsFrom) * size_t(strip.width)));
            }
            *held = ImageSource(target->data());
        }
        if (bspline && ok_) {
            coefficients_ = deformed_;
            prefilterForInterpolation(whole.interpolation, coefficients_.data(), strip.width, strip.height);
        }
        images_.reference = &referenceSource_;
        images_.deformed = &deformedSource_;
        images_.size = strip;
        (columns ? images_.marginX : images_.marginY) -= first;
        images_.coefficients = bspline ? coefficients_.data() : nullptr;
    }
    EdgeStrip(const EdgeStrip&) = delete;
    EdgeStrip& operator=(const EdgeStrip&) = delete;

    bool ok() const { return ok_; }
    const OwnSideImages& images() const { return images_; }

private:
    std::vector<float> reference_, deformed_, coefficients_, scratch_;
    ImageSource referenceSource_, deformedSource_;
    OwnSideImages images_;
    bool ok_ = true;
};

std::vector<EdgeReach> decorrelatedEdgeLines(const StartField& field, const Seeding& seeding,
                                             const PixelSearchParams& pp, const OwnSideImages& images,
                                             OwnSideRows& rows) {
    const int width = field.width(), height = field.height();
    std::vector<EdgeReach> cut(size_t(width) * size_t(height), EdgeReach{-1, -1, -1, -1});
    std::vector<std::array<double, 3>> residuals;
    for (int side = 0; side < 4; ++side) {
        const bool columns = side < 2;
        const int inward = side % 2 == 0 ? 1 : -1, ex = columns ? inward : 0, ey = columns ? 0 : inward;
        const int reach = columns ? seeding.reachX : seeding.reachY, lines = columns ? width : height;
        const int half = columns ? pp.windowSizeX / 2 : pp.windowSizeY / 2, along = columns ? height : width;
        // Subsets half a window apart along the line: nearer ones share most of their pixels and tell little more.
        const int step = columns ? pp.stepY : pp.stepX, window = columns ? pp.windowSizeY : pp.windowSizeX;
        const int stride = std::max(1, window / 2 / step);
        const double perSample = double(stride * step) / double(window);
        const auto lineAt = [&](int depth) { return side % 2 == 0 ? depth : lines - 1 - depth; };
        const auto point = [&](int c, int t) { return columns ? std::array<int, 2>{c, t} : std::array<int, 2>{t, c}; };
        if (lines <= reach) continue;
        // How far from the edge the side's subsets read, their displacements and gradients' reach included.
        int extent = 0;
        for (int depth = 0; depth <= reach; ++depth)
            for (int t = 0; t < along; ++t) {
                const auto [i, j] = point(lineAt(depth), t);
                if (!field.valid(i, j)) continue;
                const Warp w = field.warp(i, j);
                const int hx = pp.windowSizeX / 2, hy = pp.windowSizeY / 2;
                const double spill = columns ? std::abs(w[0]) + (std::abs(w[2]) + std::abs(w[3])) * (hx + hy)
                                             : std::abs(w[1]) + (std::abs(w[4]) + std::abs(w[5])) * (hx + hy);
                const int centre = columns ? i * pp.stepX + images.marginX : j * pp.stepY + images.marginY;
                const int fromEdge = side % 2 == 0 ? centre : (columns ? images.size.width : images.size.height) - 1 -
                                                                  centre;
                extent = std::max(extent, fromEdge + half + int(std::ceil(spill)) + 3);
            }
        // A streamed image is read once for the side, not once per subset.
        std::unique_ptr<EdgeStrip> strip;
        if (!images.reference->pixels || !images.deformed->pixels ||
            (isBSplineInterpolation(images.interpolation) && !images.coefficients)) {
            strip = std::make_unique<EdgeStrip>(images, side, extent);
            if (!strip->ok()) continue;
        }
        const OwnSideImages& source = strip ? strip->images() : images;
        const std::vector<CutLine> away = {{double(ex), double(ey), 0.0, 0.0}},
                                   towards = {{double(-ex), double(-ey), 0.0, 0.0}};
        // The median log ratio along line c and its variance.
        const auto lineRatio = [&](int c) -> std::optional<std::array<double, 2>> {
            std::vector<double> q;
            for (int t = 0; t < along; t += stride) {
                const auto [i, j] = point(c, t);
                if (!field.valid(i, j)) continue;
                const Warp warp = field.warp(i, j);
                const auto outer = clearPartTranslation(source, pp, i, j, warp.data(), towards, 0.0, rows, false);
                const auto inner = clearPartTranslation(source, pp, i, j, warp.data(), away, 0.0, rows, false);
                if (!outer || !inner) continue;
                q.push_back(std::log((1.0 - outer->correlation + kHalfMismatchFloor) /
                                     (1.0 - inner->correlation + kHalfMismatchFloor)));
            }
            const double samples = double(q.size()) * perSample;
            if (samples < kEdgeLineWindows) return std::nullopt;
            return medianWithVariance(q, samples);
        };
        // How far towards the edge line c's subsets match as well as their inner half, along the whole line.
        const auto clearReach = [&](int c) {
            std::vector<double> sum(size_t(2 * half + 1), 0.0), count(size_t(2 * half + 1), 0.0);
            for (int t = 0; t < along; t += stride) {
                const auto [i, j] = point(c, t);
                if (!field.valid(i, j)) continue;
                const Warp warp = field.warp(i, j);
                if (!clearPartTranslation(source, pp, i, j, warp.data(), {}, 0.0, rows, false, &residuals))
                    continue;
                for (const auto& r : residuals) {
                    const size_t o = size_t(int(ex * r[0] + ey * r[1]) + half);
                    sum[o] += r[2] * r[2];
                    count[o] += 1.0;
                }
            }
            std::vector<double> inner;
            for (int o = 0; o <= half; ++o)
                if (count[size_t(o + half)] > 0.0) inner.push_back(sum[size_t(o + half)] / count[size_t(o + half)]);
            if (inner.empty()) return 0;
            const double base = median(inner);
            int o = -1;
            while (o >= -half && count[size_t(o + half)] > 0.0 &&
                   sum[size_t(o + half)] / count[size_t(o + half)] <= kStripRise * base)
                --o;
            // A strip that pulls rather than scatters shows no such row: then only the half is sure to be clear.
            if (o < -half || count[size_t(o + half)] == 0.0) return 0;
            return std::max(0, -o - 2);
        };
        const auto deeper = lineRatio(lineAt(reach));
        if (!deeper) continue;
        bool flagged = false;
        for (int depth = 0; depth < reach; ++depth) {
            const auto line = lineRatio(lineAt(depth));
            if (!line) break;
            const double rise = (*line)[0] - (*deeper)[0], z = rise / std::sqrt((*line)[1] + (*deeper)[1] + 1e-30);
            flagged = (rise > std::log(kEdgeHalfRatio) && z > kEdgeHalfZ) ||
                      (flagged && rise > std::log(kEdgeHalfNextRatio) && z > kEdgeHalfNextZ);
            if (!flagged) break;
            const short clear = short(clearReach(lineAt(depth)));
            for (int t = 0; t < along; ++t) {
                const auto [i, j] = point(lineAt(depth), t);
                cut[field.index(i, j)][size_t(side)] = clear;
            }
        }
    }
    return cut;
}

// A point whose subset reaches past the grid's outermost points towards the
// image's edge may be cut by a crack there that no straddle sees, and that cuts
// a strip too thin for its fits to pass the bars (down to a pixel row at the
// subset's border): the continuous fit still moves by a tenth of a pixel or
// more, as unevenly as the speckle in the strip varies. Such a point, without a
// kept fit of its own, is measured again on the half of its subset away from
// the edge, or on the part short of the strip where its line's strip was
// found (decorrelatedEdgeLines). Where the point's line is cut (its median
// departs from the field inside, shiftedEdgeLines, or its strip was found),
// that part's value stands if it agrees with the field inside within the
// threshold, and otherwise the point holds none. Elsewhere, where the point and
// its half differ by more than the noise allows (kHalfShare of the straddles'
// threshold) and the whole subset matches far worse than the half
// (stripDecorrelates), and the half agrees with the field inside better, the
// half's value stands; where the point still departs from the field inside by
// more than the threshold, it holds none. The value the crack stage gave it
// (its own side's) is the one judged. On the line a step further in than a
// cut one, a point is measured again whatever its departure: there, on the
// third line from the edge, whose subsets a dark gap reached a pixel into,
// points were off by up to 0.12 px while their departures, which the inner
// pair's bend allowance eases, stayed within the bar.
constexpr double kHalfShare = 0.35;
constexpr double kHalfFloor = 0.03; // px: below the bilinear sampling's own spread on fine speckle

// Whether the whole subset of point (i, j), at its value and the first pass's
// gradients, matches worse than `half` by kStripDecorrelation times: the strip
// that a crack beyond the outermost points cuts matches under neither side's
// warp, while in a smoothly curved field the half, held to the inner pair's
// slope, matches no better than the whole and its value strays from the first
// pass's by as much as the curvature bends the field (0.2 to 0.4 px at 25 px
// windows on a wave of 96 px period).
constexpr double kStripDecorrelation = 3.0;

bool stripDecorrelates(const float* value, const Warp& start, int i, int j, const PixelSearchParams& pp,
                       const OwnSideImages& images, const PartFit& half, OwnSideRows& rows) {
    const float whole[6] = {value[0], value[1], start[2], start[3], start[4], start[5]};
    const std::optional<PartFit> all = clearPartTranslation(images, pp, i, j, whole, {}, 0.0, rows, false);
    return all && 1.0 - all->correlation > kStripDecorrelation * (1.0 - half.correlation);
}

void judgeEdgePoints(const Outputs& o, const StartField& field, const Seeding& seeding, const SeedGrid& grid,
                     const std::vector<FitGrade>& grades, const std::vector<char>& kept,
                     const std::vector<char>& beyondGrid, const PixelSearchParams& pp, const OwnSideImages& images,
                     int rowBegin, int rowEnd) {
    const int width = field.width(), height = field.height();
    const double bar = std::max(kHalfFloor, kHalfShare * seeding.threshold);
    std::vector<char> shifted = shiftedEdgeLines(field, seeding, pp);
    OwnSideRows rows;
    const std::vector<EdgeReach> decorrelated = decorrelatedEdgeLines(field, seeding, pp, images, rows);
    for (size_t k = 0; k < shifted.size(); ++k)
        shifted[k] = shifted[k] || *std::max_element(decorrelated[k].begin(), decorrelated[k].end()) >= 0;
    const auto departure = [&](int i, int j, const float* own) {
        return edgeDeparture(field, i, j, seeding.reachX, seeding.reachY, seeding.reachX, seeding.reachY, own);
    };
    // Beside a kept crack the field inside is the crack's to judge: its line
    // may pass between the point and the inner pair it is extrapolated from.
    std::vector<char> besideCrack(size_t(width) * size_t(rowEnd - rowBegin), 0);
    const int spanX = 2 * seeding.reachX, spanY = 2 * seeding.reachY;
    for (size_t k = 0; k < grid.size(); ++k) {
        if (!kept[k]) continue;
        const std::array<int, 2> p = grid.position(k);
        for (int j = std::max(rowBegin, p[1] - spanY); j < std::min(rowEnd, p[1] + spanY + 1); ++j)
            for (int i = std::max(0, p[0] - spanX); i < std::min(width, p[0] + spanX + 1); ++i)
                besideCrack[size_t(j - rowBegin) * size_t(width) + size_t(i)] = 1;
    }
    for (int j = rowBegin; j < rowEnd; ++j)
        for (int i = 0; i < width; ++i) {
            const int64_t k = grid.at(i, j);
            if (besideCrack[size_t(j - rowBegin) * size_t(width) + size_t(i)]) {
                // There an outermost point is left empty only when its own fit, kept by no
                // crack, puts a jump beyond the grid and the first pass departs.
                if (k >= 0 && !kept[size_t(k)] && beyondGrid[size_t(k)] && grades[size_t(k)] >= FitGrade::Faint &&
                    edgeDeparture(field, i, j, seeding.reachX, seeding.reachY).residual > seeding.threshold)
                    blankPoint(o, field.index(i, j));
                continue;
            }
            std::vector<CutLine> edges; // the subset's half away from each near edge
            const size_t index = field.index(i, j);
            // Where a crack's strip was found, the part short of it; elsewhere the half.
            const auto edge = [&](double nx, double ny, int side) {
                edges.push_back({nx, ny, -double(std::max<short>(0, decorrelated[index][size_t(side)])), 0.0});
            };
            if (i < seeding.reachX) edge(1.0, 0.0, 0);
            if (i >= width - seeding.reachX) edge(-1.0, 0.0, 1);
            if (j < seeding.reachY) edge(0.0, 1.0, 2);
            if (j >= height - seeding.reachY) edge(0.0, -1.0, 3);
            if (edges.empty()) continue;
            const float value[2] = {o.out.dispX[index], o.out.dispY[index]};
            if (!std::isfinite(value[0]) || !std::isfinite(value[1])) continue;
            const EdgeDeparture own = departure(i, j, value);
            if (!own.found) continue;
            const bool lineShifted = shifted[index] != 0;
            // The line a step further in than a cut one: its subsets reach a pixel or two past the strip.
            const auto outerCut = [&](int di, int dj) {
                const int a = i + di, b = j + dj;
                return a >= 0 && b >= 0 && a < width && b < height && shifted[field.index(a, b)] != 0;
            };
            const bool besideCut = (i < seeding.reachX && outerCut(-1, 0)) ||
                                   (i >= width - seeding.reachX && outerCut(1, 0)) ||
                                   (j < seeding.reachY && outerCut(0, -1)) ||
                                   (j >= height - seeding.reachY && outerCut(0, 1));
            if (own.residual > bar || lineShifted || besideCut) {
                // The point's own gradients bent with the strip; the field inside holds the half's. The half's
                // centre lies a quarter window inwards, where a gradient's error moves it by that lever.
                float warp[6] = {value[0], value[1], own.inner[2], own.inner[3], own.inner[4], own.inner[5]};
                warp[own.dx ? 2 : 3] = float(own.slope[0]);
                warp[own.dx ? 4 : 5] = float(own.slope[1]);
                const auto t = clearPartTranslation(images, pp, i, j, warp, edges, 0.0, rows);
                if (t && (lineShifted || std::hypot(t->t[0] - value[0], t->t[1] - value[1]) > bar)) {
                    const float half[2] = {float(t->t[0]), float(t->t[1])};
                    const double away = departure(i, j, half).residual;
                    if ((lineShifted || away < own.residual) && away <= seeding.threshold &&
                        (lineShifted || stripDecorrelates(value, field.warp(i, j), i, j, pp, images, *t, rows))) {
                        o.out.dispX[index] = half[0];
                        o.out.dispY[index] = half[1];
                        // The gradients were fitted over the whole subset, the strip included.
                        if (o.gradients)
                            for (std::vector<float>* g : {&o.out.duDx, &o.out.duDy, &o.out.dvDx, &o.out.dvDy})
                                (*g)[index] = kNaN;
                        continue;
                    }
                }
            }
            if (own.residual > seeding.threshold || lineShifted) blankPoint(o, index);
        }
}

// Kept fits whose own crack's neighbours contradict them: a fit whose line
// turns kOddAngle degrees or more from what its neighbours on the same crack
// agree on, and whose jump strays from theirs by kOddJump of it or more,
// absorbed a misfit at the subset's edge into a skewed line; its point's
// displacement, fitted with that line, missed its side's by 0.1 to 0.2 px at
// 21 px windows. Both are asked: a fit's angle alone scatters by nearly 6 degrees
// there, and its jump by up to a fifth of its neighbours'. The median of at least
// kOddWitnesses neighbours judges, so that an odd neighbour does not. The
// point keeps its crack (the line stays traced) and holds no displacement.
constexpr double kOddAngle = 6.0;
constexpr double kOddJump = 0.25;
constexpr size_t kOddWitnesses = 3;

} // namespace

namespace detail {

bool contradictedFit(const float* fit, const std::vector<const float*>& witnesses) {
    if (witnesses.size() < kOddWitnesses) return false;
    std::vector<double> turns, jumpsX, jumpsY;
    for (const float* w : witnesses) {
        // Angles near +-90 describe nearly the same line with opposite normals.
        double turn = std::remainder(double(w[kResultAngle]) - double(fit[kResultAngle]), 360.0);
        double sign = 1.0;
        if (std::abs(turn) > 90.0) {
            turn = std::remainder(turn + 180.0, 360.0);
            sign = -1.0;
        }
        turns.push_back(turn);
        jumpsX.push_back(sign * w[kResultJumpX]);
        jumpsY.push_back(sign * w[kResultJumpY]);
    }
    const double jx = median(jumpsX), jy = median(jumpsY);
    return std::abs(median(turns)) >= kOddAngle &&
           std::hypot(fit[kResultJumpX] - jx, fit[kResultJumpY] - jy) >= kOddJump * std::hypot(jx, jy);
}

} // namespace detail

namespace {

void blankContradictedFits(const Outputs& o, const SeedGrid& grid, const std::vector<float>& answers,
                           const std::vector<char>& kept, const PixelSearchParams& pp, int rowBegin, int rowEnd) {
    const auto result = [&](size_t k) { return answers.data() + k * detail::kResultFloats; };
    std::vector<const float*> witnesses;
    for (size_t k = 0; k < grid.size(); ++k) {
        const std::array<int, 2> p = grid.position(k);
        if (!kept[k] || p[1] < rowBegin || p[1] >= rowEnd) continue;
        witnesses.clear();
        for (int dj = -1; dj <= 1; ++dj)
            for (int di = -1; di <= 1; ++di) {
                const int64_t n = grid.at(p[0] + di, p[1] + dj);
                if ((di || dj) && n >= 0 && kept[size_t(n)] &&
                    sameCrack(fitOf(result(k)), fitOf(result(size_t(n))), double(di) * pp.stepX,
                              double(dj) * pp.stepY))
                    witnesses.push_back(result(size_t(n)));
            }
        if (!detail::contradictedFit(result(k), witnesses)) continue;
        blankPoint(o, size_t(p[1]) * size_t(o.out.gridWidth) + size_t(p[0]));
    }
}

// One call's fixed inputs.
struct Job {
    const ImageSource& reference;
    const ImageSource& deformed;
    ImageSize size;
    const PixelSearchParams& pp;
    const SubpixelParams& params;
    int gridWidth;
    int marginX, marginY;
    std::string& error;
    // The whole deformed image's B-spline coefficients, when it is in memory:
    // every strip is then cut from the same coefficients, whatever its rows.
    std::vector<float> coefficients;

    bool bspline() const { return isBSplineInterpolation(params.interpolation); }
    int centreY(int64_t index) const { return int(index / gridWidth) * pp.stepY + marginY; }
    bool check(int code, const char* step) const {
        if (code == cudaSuccess) return true;
        error = cudaErrorMessage(code, step);
        (void)cudaGetLastError();
        return false;
    }
    bool lease(uint64_t bytes, DeviceBufferPool::Lease& lease, const char* step) const {
        return check(DeviceBufferPool::instance().acquire(bytes, lease), step);
    }
};

// Where the per-point working set lives: dynamic shared memory when it fits,
// else a global buffer of one slice per block of a launch, which then bounds
// the points of a launch by the memory there is.
struct ScratchPlan {
    size_t dynamicBytes = 0;
    DeviceBufferPool::Lease global;
    int64_t pointsPerLaunch = kPointsPerLaunch;
};

bool planScratch(const Job& job, int64_t points, ScratchPlan& plan) {
    int device = 0;
    cudaDeviceProp prop{};
    if (!job.check(cudaGetDevice(&device), "rupture: cudaGetDevice")) return false;
    if (!job.check(cudaGetDeviceProperties(&prop, device), "rupture: cudaGetDeviceProperties")) return false;
    const int64_t windowSamples = int64_t(job.pp.windowSizeX) * job.pp.windowSizeY;
    const size_t bytes = size_t(detail::ruptureScratchFloats(windowSamples)) * sizeof(float);
    const size_t block = bytes + detail::ruptureStaticSharedBytes();
    plan.dynamicBytes = bytes;
    if (block <= prop.sharedMemPerBlock) return true;
    if (block <= prop.sharedMemPerBlockOptin && detail::setRuptureMaxDynamicShared(bytes) == cudaSuccess) return true;
    (void)cudaGetLastError();
    plan.dynamicBytes = 0;
    return job.check(detail::leasePerPointBuffer(bytes, points, kPointsPerLaunch, plan.global, plan.pointsPerLaunch),
                     "rupture: cudaMalloc scratch");
}

// Rows [first, end) of the deformed image (B-spline coefficients for those
// kinds) in a CUDA array, behind a texture.
bool uploadDeformed(const Job& job, int first, int end, DeviceArray& array, TextureObject& texture) {
    const int width = job.size.width;
    std::vector<float> rows;
    const float* data = nullptr;
    if (!job.coefficients.empty()) {
        data = job.coefficients.data() + size_t(first) * size_t(width);
    } else if (job.bspline()) {
        const int a0 = std::max(0, first - kPrefilterApron), a1 = std::min(job.size.height, end + kPrefilterApron);
        rows.resize(size_t(a1 - a0) * size_t(width));
        const float* source = job.deformed.rows(a0, a1, width, rows);
        if (source != rows.data()) std::copy(source, source + rows.size(), rows.begin());
        prefilterForInterpolation(job.params.interpolation, rows.data(), width, a1 - a0);
        data = rows.data() + size_t(first - a0) * size_t(width);
    } else {
        data = job.deformed.rows(first, end, width, rows);
    }
    const cudaChannelFormatDesc channel = cudaCreateChannelDesc(32, 0, 0, 0, cudaChannelFormatKindFloat);
    const size_t rowBytes = size_t(width) * sizeof(float);
    return job.check(cudaMallocArray(array.out(), &channel, size_t(width), size_t(end - first)),
                     "rupture: cudaMallocArray deformed strip") &&
           job.check(cudaMemcpy2DToArray(array.get(), 0, 0, data, rowBytes, rowBytes, size_t(end - first),
                                         cudaMemcpyHostToDevice),
                     "rupture: upload deformed strip") &&
           job.check(texture.create(array.get()), "rupture: cudaCreateTextureObject");
}

// Largest vertical displacement the kernel may give a sample of the seed's
// subset: its anchor warp's (the continuous warp for a probe, else the mean of
// the sides') plus its reach.
double verticalReach(const Job& job, const Seed& seed) {
    const float* w = seed.warps.data();
    const bool probe = std::isnan(w[detail::kSeedSideA]);
    double anchor[detail::kWarpFloats];
    for (int k = 0; k < detail::kWarpFloats; ++k)
        anchor[k] = probe ? w[detail::kSeedContinuous + k]
                          : 0.5 * (double(w[detail::kSeedSideA + k]) + w[detail::kSeedSideB + k]);
    const double hx = job.pp.windowSizeX / 2, hy = job.pp.windowSizeY / 2;
    return std::abs(anchor[1]) + std::abs(anchor[4]) * hx + std::abs(anchor[5]) * hy + w[detail::kSeedReach];
}

// Enriches seeds [first, end), all of them in the results, kResultFloats each.
bool refineChunk(const Job& job, const Seed* first, const Seed* end, float noiseEnergy, const ScratchPlan& scratch,
                 std::vector<float>& results) {
    const int64_t count = end - first;
    const int width = job.size.width, height = job.size.height, halfY = job.pp.windowSizeY / 2;
    const int topCentre = job.centreY(first->index), bottomCentre = job.centreY((end - 1)->index);
    double reach = 0.0;
    for (const Seed* s = first; s != end; ++s) reach = std::max(reach, verticalReach(job, *s));
    // Three more rows hold the widest interpolation; no strip outgrows the image.
    const int pad = int(std::ceil(std::min(reach, double(height)))) + 4;
    const int ref0 = std::max(0, topCentre - halfY - 1), ref1 = std::min(height, bottomCentre + halfY + 2);
    const int def0 = std::max(0, topCentre - halfY - pad), def1 = std::min(height, bottomCentre + halfY + pad + 1);

    DeviceBufferPool::Lease reference, points, seeds, out;
    if (!job.lease(uint64_t(ref1 - ref0) * uint64_t(width) * 4, reference, "rupture: cudaMalloc reference strip") ||
        !job.lease(uint64_t(count) * 8, points, "rupture: cudaMalloc points") ||
        !job.lease(uint64_t(count) * detail::kSeedFloats * 4, seeds, "rupture: cudaMalloc seeds") ||
        !job.lease(uint64_t(count) * detail::kResultFloats * 4, out, "rupture: cudaMalloc results"))
        return false;

    std::vector<float> rows;
    const float* refRows = job.reference.rows(ref0, ref1, width, rows);
    if (!job.check(
            cudaMemcpy(reference.get(), refRows, size_t(ref1 - ref0) * size_t(width) * 4, cudaMemcpyHostToDevice),
            "rupture: upload reference strip"))
        return false;
    std::vector<int64_t> indices(static_cast<size_t>(count));
    std::vector<float> warps(size_t(count) * detail::kSeedFloats);
    for (int64_t k = 0; k < count; ++k) {
        indices[size_t(k)] = first[k].index;
        std::copy(first[k].warps.begin(), first[k].warps.end(), warps.begin() + k * detail::kSeedFloats);
    }
    if (!job.check(cudaMemcpy(points.get(), indices.data(), indices.size() * 8, cudaMemcpyHostToDevice),
                   "rupture: upload points") ||
        !job.check(cudaMemcpy(seeds.get(), warps.data(), warps.size() * 4, cudaMemcpyHostToDevice),
                   "rupture: upload seeds"))
        return false;
    DeviceArray array;
    TextureObject texture;
    if (!uploadDeformed(job, def0, def1, array, texture)) return false;

    detail::RuptureKernelArgs args;
    args.reference = reference.as<float>();
    args.referenceRow0 = ref0;
    args.referenceRows = ref1 - ref0;
    args.texture = texture.get();
    args.deformedRow0 = def0;
    args.deformedRows = def1 - def0;
    args.width = width;
    args.height = height;
    args.windowSizeX = job.pp.windowSizeX;
    args.windowSizeY = job.pp.windowSizeY;
    args.stepX = job.pp.stepX;
    args.stepY = job.pp.stepY;
    args.gridWidth = job.gridWidth;
    args.marginX = job.marginX;
    args.marginY = job.marginY;
    args.params = job.params;
    args.noiseEnergy = noiseEnergy;
    args.points = points.as<int64_t>();
    args.seeds = seeds.as<float>();
    args.results = out.as<float>();
    args.scratch = scratch.global.as<float>();
    if (!job.check(detail::launchRuptureRefine(args, count, scratch.dynamicBytes), "rupture_refine_kernel launch") ||
        !job.check(cudaDeviceSynchronize(), "rupture: cudaDeviceSynchronize"))
        return false;
    results.resize(size_t(count) * detail::kResultFloats);
    return job.check(cudaMemcpy(results.data(), out.get(), results.size() * 4, cudaMemcpyDeviceToHost),
                     "rupture: download results");
}

// Runs the kernel over the seeds in launches of at most the scratch plan's
// points whose strips span at most kChunkRows rows; `done` (first, end,
// results) takes each launch's answers and returns false to stop.
template <class Done>
bool runSeeds(const Job& job, const std::vector<Seed>& seeds, float noiseEnergy, Done&& done) {
    if (seeds.empty()) return true;
    ScratchPlan scratch;
    if (!planScratch(job, int64_t(seeds.size()), scratch)) return false;
    std::vector<float> results;
    for (size_t first = 0, end = 0; first < seeds.size(); first = end) {
        const int top = job.centreY(seeds[first].index);
        end = first + 1;
        while (end < seeds.size() && int64_t(end - first) < scratch.pointsPerLaunch &&
               job.centreY(seeds[end].index) - top <= kChunkRows)
            ++end;
        if (!refineChunk(job, seeds.data() + first, seeds.data() + end, noiseEnergy, scratch, results) ||
            !done(first, end, results))
            return false;
    }
    return true;
}

// Each probe's residual energy per sample, NaN where it was not measured.
bool probeEnergies(const Job& job, const std::vector<Seed>& probes, std::vector<float>& energies) {
    energies.assign(probes.size(), kNaN);
    return runSeeds(job, probes, 0.0f, [&](size_t first, size_t end, const std::vector<float>& results) {
        for (size_t k = 0; k < end - first; ++k) {
            const float* r = results.data() + k * detail::kResultFloats;
            if (r[detail::kResultStatus] == detail::kStatusMeasured) energies[first + k] = r[detail::kResultNoiseEnergy];
        }
        return true;
    });
}

// The probes' residual energy per sample; 0 (unknown) with too few probes.
bool measureNoiseEnergy(const Job& job, const std::vector<Seed>& probes, float& energy) {
    std::vector<float> energies;
    const bool ok = probeEnergies(job, probes, energies);
    energies.erase(std::remove_if(energies.begin(), energies.end(), [](float e) { return !std::isfinite(e); }),
                   energies.end());
    energy = 0.0f;
    if (ok && energies.size() >= kMinProbes) {
        const auto quantile = energies.begin() + ptrdiff_t(kProbeQuantile * double(energies.size() - 1));
        std::nth_element(energies.begin(), quantile, energies.end());
        energy = *quantile;
    }
    return ok;
}

// Turns point k's crack round: the other normal, so the other side is the
// positive one, the jump and phi change sign and the sides trade places.
void turnRound(FractureResult& fracture, size_t k) {
    auto& f = fracture.fields;
    float& angle = f[FractureResult::CrackAngle][k];
    angle = angle > 0.0f ? angle - 180.0f : angle + 180.0f;
    const float jx = -f[FractureResult::OpeningX][k], jy = -f[FractureResult::OpeningY][k];
    f[FractureResult::OpeningX][k] = jx;
    f[FractureResult::OpeningY][k] = jy;
    f[FractureResult::OpeningDirection][k] = float(std::atan2(double(jy), double(jx)) * 180.0 / 3.14159265358979);
    f[FractureResult::CrackPosition][k] = -f[FractureResult::CrackPosition][k];
    std::swap(f[RuptureMinusU][k], f[RupturePlusU][k]);
    std::swap(f[RuptureMinusV][k], f[RupturePlusV][k]);
}


CrackPiece crackPiece(const FractureResult& fracture, std::vector<size_t> points, int width, int32_t stepX,
                      int32_t stepY) {
    const auto& f = fracture.fields;
    CrackPiece piece;
    double sx = 0.0, sy = 0.0;
    for (size_t k : points) {
        sx += std::sin(f[FractureResult::CrackAngle][k] * kDegree);
        sy += std::cos(f[FractureResult::CrackAngle][k] * kDegree);
    }
    piece.angle = std::atan2(sx, sy) / kDegree;
    const double tx = std::cos(piece.angle * kDegree), ty = -std::sin(piece.angle * kDegree);
    double lo = std::numeric_limits<double>::infinity(), hi = -lo;
    for (size_t k : points) {
        // The point's foot on its own line, where the crack passes.
        const double a = f[FractureResult::CrackAngle][k] * kDegree, phi = f[FractureResult::CrackPosition][k];
        const std::array<double, 2> foot{double(k % size_t(width)) * stepX + phi * std::sin(a),
                                         double(k / size_t(width)) * stepY + phi * std::cos(a)};
        const double s = foot[0] * tx + foot[1] * ty;
        if (s < lo) lo = s, piece.ends[0] = foot;
        if (s > hi) hi = s, piece.ends[1] = foot;
    }
    piece.points = std::move(points);
    return piece;
}


} // namespace

void orientCracks(FractureResult& fracture, int32_t stepX, int32_t stepY) {
    const int width = fracture.gridWidth, height = fracture.gridHeight;
    const size_t count = size_t(std::max(width, 0)) * size_t(std::max(height, 0));
    auto& f = fracture.fields;
    for (int field : {0, 1, 2, 3, 4, int(RuptureMinusU), int(RuptureMinusV), int(RupturePlusU), int(RupturePlusV),
                      int(FractureResult::CrackPosition)})
        if (f[size_t(field)].size() != count) return;
    const auto fit = [&](size_t k) {
        return CrackFit{f[FractureResult::CrackAngle][k], f[FractureResult::OpeningX][k],
                        f[FractureResult::OpeningY][k], f[FractureResult::CrackPosition][k]};
    };
    const auto cracked = [&](size_t k) { return std::isfinite(f[FractureResult::OpeningIntensity][k]); };
    std::vector<char> seen(count, 0);
    std::vector<CrackPiece> pieces;
    for (size_t first = 0; first < count; ++first) {
        if (seen[first] || !cracked(first)) continue;
        // The points linked to the first through neighbours fitted with the same
        // crack, each turned to agree with the one it was reached from.
        std::vector<size_t> crack(1, first);
        seen[first] = 1;
        for (size_t next = 0; next < crack.size(); ++next) {
            const size_t k = crack[next];
            const int i = int(k % size_t(width)), j = int(k / size_t(width));
            for (int dj = -1; dj <= 1; ++dj)
                for (int di = -1; di <= 1; ++di) {
                    if (i + di < 0 || j + dj < 0 || i + di >= width || j + dj >= height) continue;
                    const size_t n = size_t(j + dj) * size_t(width) + size_t(i + di);
                    if (seen[n] || !cracked(n) || !sameCrack(fit(k), fit(n), double(di) * stepX, double(dj) * stepY))
                        continue;
                    seen[n] = 1;
                    crack.push_back(n);
                    const double a = f[FractureResult::CrackAngle][k] * kDegree,
                                 b = f[FractureResult::CrackAngle][n] * kDegree;
                    if (std::cos(a - b) < 0.0) turnRound(fracture, n);
                }
        }
        pieces.push_back(crackPiece(fracture, std::move(crack), width, stepX, stepY));
    }
    // A crack the fits leave gaps in falls into pieces, each of which would
    // face its own way by its own mean: near +-90 degrees they would face
    // apart. Each piece takes the way of the largest piece it continues
    // across a gap its fits left or, failing that, across any gap.
    std::vector<size_t> order(pieces.size());
    std::iota(order.begin(), order.end(), size_t(0));
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return pieces[a].points.size() > pieces[b].points.size(); });
    std::vector<size_t> group(pieces.size());
    for (size_t o = 0; o < order.size(); ++o) {
        CrackPiece& piece = pieces[order[o]];
        group[order[o]] = order[o];
        size_t e = 0;
        while (e < o && !continues(piece, pieces[order[e]])) ++e;
        if (e == o) {
            e = 0;
            while (e < o && !continues(piece, pieces[order[e]], true)) ++e;
        }
        if (e < o) {
            const CrackPiece& larger = pieces[order[e]];
            if (std::cos((piece.angle - larger.angle) * kDegree) < 0.0) {
                for (size_t k : piece.points) turnRound(fracture, k);
                piece.angle = piece.angle > 0.0 ? piece.angle - 180.0 : piece.angle + 180.0;
            }
            group[order[o]] = group[order[e]];
        }
    }
    // Each crack's mean normal decides which way all of it faces.
    std::vector<std::array<double, 2>> sums(pieces.size(), {0.0, 0.0});
    for (size_t p = 0; p < pieces.size(); ++p)
        for (size_t k : pieces[p].points) {
            sums[group[p]][0] += std::sin(f[FractureResult::CrackAngle][k] * kDegree);
            sums[group[p]][1] += std::cos(f[FractureResult::CrackAngle][k] * kDegree);
        }
    for (size_t p = 0; p < pieces.size(); ++p) {
        const double mean = std::atan2(sums[group[p]][0], sums[group[p]][1]) / kDegree;
        if (mean <= -90.0 || mean > 90.0)
            for (size_t k : pieces[p].points) turnRound(fracture, k);
    }
}

bool computeRuptureSubpixel(const ImageSource& reference, const ImageSource& deformed, ImageSize size,
                            const PixelSearchParams& pixelParams, const PixelDisplacementResult& start,
                            const SubpixelParams& params, PixelDisplacementResult& out, std::string& error,
                            std::function<bool(uint64_t done, uint64_t total)> progress, FractureResult* fracture,
                            int32_t rowStart, int32_t rowCount, bool, bool) {
    (void)cudaGetLastError();
    detail::SearchGrid grid;
    if (const char* message = checkInputs(reference, deformed, size, pixelParams, params, start, grid)) {
        error = message;
        return false;
    }
    const int gridHeight = start.gridHeight, gridWidth = start.gridWidth;
    const int rowBegin = std::clamp(rowStart, 0, gridHeight);
    const int rowEnd = rowCount < 0
                           ? gridHeight
                           : std::max(rowBegin, int(std::min<int64_t>(gridHeight, int64_t(rowBegin) + rowCount)));
    const bool wholeGrid = rowCount < 0 && rowBegin == 0;
    const uint64_t total = uint64_t(gridWidth) * uint64_t(gridHeight);
    bool stopped = false;
    const auto report = [&](uint64_t done) {
        stopped = stopped || (progress && !progress(done, total));
        return !stopped;
    };
    const auto finish = [&](bool ok) {
        if (!stopped) return ok;
        if (wholeGrid) emptyOutputs(out, fracture);
        error.clear();
        return false;
    };

    const bool gradients = !start.duDx.empty() && !start.duDy.empty() && !start.dvDx.empty() && !start.dvDy.empty();
    const StartField field{start, pixelParams.stepX, pixelParams.stepY, gradients};
    const Seeding plan = seeding(field, pixelParams, params);
    // Rows beyond the band on either side, as far as a crack's fits there may
    // reach into it: for the neighbour and crack-size checks, for the points of
    // the band a crack cuts (across gaps in its fits too), and for the
    // plausible fits that join a crack, and for the points examined near
    // significant fits, round after round.
    const int halo = plan.reachY + 2 + kPlausibleReach + 2 * int(std::ceil(kBridge / pixelParams.stepY)) +
                     kGrowRounds * (plan.reachY + 1);
    const int haloBegin = std::max(0, rowBegin - halo), haloEnd = std::min(gridHeight, rowEnd + halo);
    std::vector<Seed> seeds = enrichmentSeeds(field, pixelParams, plan, haloBegin, haloEnd);
    const Outputs outputs = prepareOutputs(field, out, fracture, rowBegin, rowEnd, wholeGrid);
    const uint64_t bandFirst = uint64_t(rowBegin) * uint64_t(gridWidth),
                   bandEnd = uint64_t(rowEnd) * uint64_t(gridWidth);
    if (!report(bandFirst)) return finish(false);

    Job job{reference,
            deformed,
            size,
            pixelParams,
            params,
            gridWidth,
            grid.marginX,
            grid.marginY,
            error,
            {}};
    if (job.bspline() && deformed.pixels) {
        job.coefficients.assign(deformed.pixels, deformed.pixels + size_t(size.width) * size_t(size.height));
        prefilterForInterpolation(job.params.interpolation, job.coefficients.data(), size.width, size.height);
    }
    const OwnSideImages ownSide{&reference,
                                &deformed,
                                size,
                                grid.marginX,
                                grid.marginY,
                                params.interpolation,
                                job.coefficients.empty() ? nullptr : job.coefficients.data()};
    if (seeds.empty()) {
        // A crack beyond the outermost points may pull or scatter them without
        // making a single candidate inside: the edges are judged all the same.
        judgeEdgePoints(outputs, field, plan, SeedGrid(seeds, gridWidth, haloBegin, haloEnd), {}, {}, {}, pixelParams,
                        ownSide, rowBegin, rowEnd);
        return finish(report(bandEnd));
    }
    float noiseEnergy = 0.0f;
    const std::vector<char> quiet = quietPoints(field, plan);
    if (!measureNoiseEnergy(job, noiseProbes(field, quiet), noiseEnergy)) return false;
    std::vector<float> answers;
    std::vector<FitGrade> fitted;
    uint64_t reported = bandFirst;
    // Fits and grades seeds[first..], appending to answers and fitted.
    const auto fitFrom = [&](size_t first) {
        const std::vector<Seed> batch(seeds.begin() + ptrdiff_t(first), seeds.end());
        answers.resize(seeds.size() * detail::kResultFloats);
        float* const into = answers.data() + first * detail::kResultFloats;
        const bool ok = runSeeds(job, batch, noiseEnergy, [&](size_t from, size_t end, const std::vector<float>& results) {
            std::copy(results.begin(), results.begin() + ptrdiff_t((end - from) * detail::kResultFloats),
                      into + from * detail::kResultFloats);
            // Later rounds examine points anywhere in the band: progress holds where the first left it.
            if (first == 0) reported = std::clamp(uint64_t(batch[end - 1].index) + 1, bandFirst, bandEnd);
            return report(reported);
        });
        if (!ok) return false;
        const std::vector<float> own(into, answers.data() + answers.size());
        const std::vector<std::array<int64_t, 2>> sidePoints = fitSidePoints(field, quiet, pixelParams, batch, own);
        const std::vector<Seed> sides = sideProbes(field, sidePoints);
        std::vector<float> sideEnergies;
        if (!probeEnergies(job, sides, sideEnergies)) return false;
        for (size_t k = 0; k < batch.size(); ++k) {
            const float* r = own.data() + k * detail::kResultFloats;
            const float left = sideEnergy(r, sidePoints[k], sides, sideEnergies);
            const float excessScale = left > noiseEnergy ? noiseEnergy / left : 1.0f;
            fitted.push_back(gradeEnrichment(r, plan.jumpLimit, params.enableTwinning,
                                             float(pixelParams.windowSizeX) * float(pixelParams.windowSizeY),
                                             excessScale));
        }
        return true;
    };
    if (!fitFrom(0)) return finish(false);
    for (size_t first = 0, round = 0; round < size_t(kGrowRounds); ++round) {
        std::vector<Seed> more = seedsNearFits(field, pixelParams, plan, seeds, fitted, first, haloBegin, haloEnd);
        if (more.empty()) break;
        first = seeds.size();
        seeds.insert(seeds.end(), more.begin(), more.end());
        if (!fitFrom(first)) return finish(false);
    }
    const SeedGrid seedGrid(seeds, gridWidth, haloBegin, haloEnd);
    const std::vector<char> beyondGrid = linesBeyondGrid(seedGrid, answers, pixelParams, gridWidth, gridHeight);
    std::vector<char> kept = keptFits(seedGrid, answers, fitted, pixelParams, beyondGrid);
    keepEdgeCracks(seedGrid, answers, fitted, beyondGrid, kept, pixelParams);
    bridgeGaps(seedGrid, answers, fitted, kept, pixelParams);
    extendAlongLines(seedGrid, answers, fitted, kept, pixelParams);
    BlurredSubsets subsets(reference, deformed, size, grid.marginX, grid.marginY, pixelParams);
    dropSmoothSteps(subsets, seedGrid, answers, kept, pixelParams);
    dropShortCracks(seedGrid, answers, kept, pixelParams);
    trimTipFans(seedGrid, answers, kept, pixelParams, gridWidth, gridHeight);
    trimPastTips(subsets, seedGrid, answers, kept, pixelParams);
    fitCrossings(seedGrid, answers, kept, pixelParams, ownSide);
    for (size_t k = 0; k < seeds.size(); ++k) {
        const int j = int(seeds[k].index / gridWidth);
        if (j < rowBegin || j >= rowEnd) continue;
        writePoint(outputs, seeds[k].index, answers.data() + k * detail::kResultFloats, kept[k]);
    }
    blankSmearedPoints(outputs, field, seedGrid, answers, kept, pixelParams, rowBegin, rowEnd, ownSide);
    blankContradictedFits(outputs, seedGrid, answers, kept, pixelParams, rowBegin, rowEnd);
    blankBeyondGridRuns(outputs, seedGrid, answers, kept, beyondGrid, pixelParams, rowBegin, rowEnd);
    judgeEdgePoints(outputs, field, plan, seedGrid, fitted, kept, beyondGrid, pixelParams, ownSide, rowBegin, rowEnd);
    if (wholeGrid && fracture) orientCracks(*fracture, pixelParams.stepX, pixelParams.stepY);
    return finish(report(bandEnd));
}

} // namespace tavro
