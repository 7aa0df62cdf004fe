#include "compute/crack_lines.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <utility>

namespace tavro {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kDegrees = 180.0 / kPi;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// Below this no correlation tells a jump from its noise; it also keeps a
// noise-free smooth field from turning rounding errors into significant jumps.
constexpr double kJumpNoiseFloor = 0.01;
// Median absolute deviation to standard deviation, for normally distributed noise.
constexpr double kMadToSigma = 1.4826;
// The noise of the jump is estimated on at most about this many cells.
constexpr int64_t kNoiseSampleCells = 16384;
// Scale of the smoothing that the strength map of a displacement field gets
// before its curvature is taken: the displacement was smoothed already.
constexpr double kRidgeSigma = 1.0;
// Share of the expected ridge height a crack point's ridge must reach.
constexpr double kMinRidgeShare = 0.5;
// Normalised smoothing leaves a value only where the known values carry this
// share of the kernel: a corner keeps a quarter of it.
constexpr double kMinSmoothingWeight = 0.2;

struct Vec {
    double x = 0.0;
    double y = 0.0;
};
Vec operator+(Vec a, Vec b) { return {a.x + b.x, a.y + b.y}; }
Vec operator-(Vec a, Vec b) { return {a.x - b.x, a.y - b.y}; }
Vec operator*(double s, Vec v) { return {s * v.x, s * v.y}; }
double dot(Vec a, Vec b) { return a.x * b.x + a.y * b.y; }
double norm(Vec v) { return std::hypot(v.x, v.y); }
bool finite(Vec v) { return std::isfinite(v.x) && std::isfinite(v.y); }
Vec normalized(Vec v) {
    const double n = norm(v);
    return n > 0.0 ? (1.0 / n) * v : Vec{1.0, 0.0};
}
// The normal of a tangent t: n = (-t.y, t.x).
Vec normalOf(Vec t) { return {-t.y, t.x}; }

// The tangent turned so that its on-screen angle atan2(-y, x) lies in (-90, 90].
Vec canonicalTangent(Vec t) {
    if (t.x < 0.0 || (t.x == 0.0 && t.y > 0.0)) return {-t.x, -t.y};
    return t;
}
double screenAngle(Vec t) { return std::atan2(-t.y, t.x) * kDegrees; }

size_t cellIndex(int i, int j, int width) { return size_t(j) * size_t(width) + size_t(i); }

// Bilinear interpolation over the finite values among the four neighbours,
// their weights renormalised; NaN outside the grid or without such a value.
// at(i, j) reads a value inside the grid.
template <class Lookup>
double interpolate(const Lookup& at, int width, int height, Vec p) {
    if (!(p.x >= 0.0 && p.y >= 0.0 && p.x <= width - 1 && p.y <= height - 1)) return kNaN;
    const int i0 = std::clamp(static_cast<int>(std::floor(p.x)), 0, std::max(width - 2, 0));
    const int j0 = std::clamp(static_cast<int>(std::floor(p.y)), 0, std::max(height - 2, 0));
    const int i1 = std::min(i0 + 1, width - 1);
    const int j1 = std::min(j0 + 1, height - 1);
    const double fx = p.x - i0;
    const double fy = p.y - j0;
    const std::array<double, 4> weights{(1 - fx) * (1 - fy), fx * (1 - fy), (1 - fx) * fy, fx * fy};
    const std::array<double, 4> values{at(i0, j0), at(i1, j0), at(i0, j1), at(i1, j1)};
    double sum = 0.0;
    double weight = 0.0;
    for (size_t k = 0; k < 4; ++k)
        if (weights[k] > 0.0 && std::isfinite(values[k])) {
            sum += weights[k] * values[k];
            weight += weights[k];
        }
    return weight > 1e-9 ? sum / weight : kNaN;
}

double sampleField(const float* field, int width, int height, Vec p) {
    return interpolate([&](int i, int j) { return double(field[cellIndex(i, j, width)]); }, width, height, p);
}

double median(std::vector<double>& values) {
    if (values.empty()) return kNaN;
    const auto mid = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), mid, values.end());
    return *mid;
}

// A grid of values, NaN where unknown.
class GridField {
public:
    GridField(int width, int height) : width_(width), height_(height), values_(size_t(width) * height, kNaN) {}
    GridField(const float* values, int width, int height) : GridField(width, height) {
        for (size_t k = 0; k < values_.size(); ++k) values_[k] = values[k];
    }

    double at(int i, int j) const {
        if (i < 0 || j < 0 || i >= width_ || j >= height_) return kNaN;
        return values_[cellIndex(i, j, width_)];
    }
    double& at(int i, int j) { return values_[cellIndex(i, j, width_)]; }
    double sample(Vec p) const {
        return interpolate([this](int i, int j) { return values_[cellIndex(i, j, width_)]; }, width_, height_, p);
    }

    // Central difference where both neighbours are known, else one-sided.
    double derivative(int i, int j, int di, int dj) const {
        const double plus = at(i + di, j + dj), minus = at(i - di, j - dj), centre = at(i, j);
        if (std::isfinite(plus) && std::isfinite(minus)) return 0.5 * (plus - minus);
        if (std::isfinite(plus) && std::isfinite(centre)) return plus - centre;
        if (std::isfinite(minus) && std::isfinite(centre)) return centre - minus;
        return kNaN;
    }

    // Normalised Gaussian smoothing: unknown values neither count nor pull the
    // result towards zero, and the grid border needs no rule of its own.
    void smooth(double sigma) {
        const int radius = std::max(1, static_cast<int>(std::ceil(3.0 * sigma)));
        std::vector<double> kernel(size_t(2 * radius + 1));
        for (int k = -radius; k <= radius; ++k) kernel[size_t(k + radius)] = std::exp(-0.5 * k * k / (sigma * sigma));
        double total = 0.0;
        for (double k : kernel) total += k;
        for (double& k : kernel) k /= total;

        std::vector<double> value(values_.size()), weight(values_.size());
        for (size_t k = 0; k < values_.size(); ++k) {
            const bool known = std::isfinite(values_[k]);
            value[k] = known ? values_[k] : 0.0;
            weight[k] = known ? 1.0 : 0.0;
        }
        convolve(value, weight, kernel, radius, 1, 0);
        convolve(value, weight, kernel, radius, 0, 1);
        for (size_t k = 0; k < values_.size(); ++k)
            values_[k] = weight[k] >= kMinSmoothingWeight ? value[k] / weight[k] : kNaN;
    }

private:
    void convolve(std::vector<double>& value, std::vector<double>& weight, const std::vector<double>& kernel,
                  int radius, int di, int dj) const {
        std::vector<double> outValue(value.size(), 0.0), outWeight(value.size(), 0.0);
        for (int j = 0; j < height_; ++j)
            for (int i = 0; i < width_; ++i) {
                double v = 0.0, w = 0.0;
                for (int k = -radius; k <= radius; ++k) {
                    const int ii = i + k * di, jj = j + k * dj;
                    if (ii < 0 || jj < 0 || ii >= width_ || jj >= height_) continue;
                    const double c = kernel[size_t(k + radius)];
                    v += c * value[cellIndex(ii, jj, width_)];
                    w += c * weight[cellIndex(ii, jj, width_)];
                }
                outValue[cellIndex(i, j, width_)] = v;
                outWeight[cellIndex(i, j, width_)] = w;
            }
        value = std::move(outValue);
        weight = std::move(outWeight);
    }

    int width_;
    int height_;
    std::vector<double> values_;
};

struct Candidate {
    Vec position;
    Vec tangent;  // canonical
    Vec jump;     // image axes, towards the normal of the tangent
    double strength = 0.0;
    int i = 0;
    int j = 0;
};

// Two stretches of one crack turn by less than this; where two cracks cross
// at a larger angle, a line that turns by more has run from one into the other.
// The engine measures cracks 20 degrees apart as crossing: at 30 degrees here,
// two cracks crossing at 25 were each drawn half by one line that ran round
// the corner into the other, and half by the other line.
constexpr double kCornerAngle = 20.0; // degrees

class Extraction {
public:
    Extraction(const CrackGridView& grid, const CrackLineParameters& params)
        : grid_(grid), params_(params), width_(grid.gridWidth), height_(grid.gridHeight),
          step_(std::max(params.stepX, 1)), window_(params.windowSize > 0 ? params.windowSize : 41),
          hasDisplacement_(grid.dispX && grid.dispY) {
        const double offsetPx = params.jumpOffset > 0.0f ? params.jumpOffset : 0.5 * window_ + step_;
        jumpOffset_ = offsetPx / step_;
    }

    CrackLineSet run() {
        CrackLineSet set;
        set.gridWidth = width_;
        set.gridHeight = height_;
        if (width_ < 3 || height_ < 3 || (!hasDisplacement_ && !grid_.openingIntensity)) return set;
        jumpNoise_ = estimateJumpNoise();
        const double sigma = smoothingScale();
        GridField strength = strengthMap(sigma);
        strength.smooth(grid_.openingIntensity ? sigma : kRidgeSigma);
        findCandidates(strength, static_cast<int>(std::ceil(2.0 * sigma)));
        for (const std::vector<int>& line : linkLines()) appendLine(set, line);
        if (!set.lineStarts.empty()) set.lineStarts.push_back(static_cast<int32_t>(set.x.size()));
        return set;
    }

private:
    double smoothingScale() const {
        // A jump spread over the window makes a ridge window / step cells wide;
        // Steger's detector keeps a single maximum across a bar of width w for
        // a scale of at least w / (2 sqrt 3).
        const double fromWindow = grid_.openingIntensity ? 0.0 : window_ / (2.0 * std::sqrt(3.0) * step_);
        return std::max({double(params_.smoothingSigma), fromWindow, 1.0});
    }

    double value(const float* field, int i, int j) const {
        if (i < 0 || j < 0 || i >= width_ || j >= height_) return kNaN;
        return field[cellIndex(i, j, width_)];
    }

    // The opening intensity when given; else the norm of the gradient of the
    // smoothed displacement, which keeps the noise out of the norm.
    GridField strengthMap(double sigma) const {
        GridField map(width_, height_);
        if (grid_.openingIntensity) {
            for (int j = 0; j < height_; ++j)
                for (int i = 0; i < width_; ++i) {
                    const double v = value(grid_.openingIntensity, i, j);
                    map.at(i, j) = std::isfinite(v) ? v : 0.0;
                }
            return map;
        }
        GridField u(grid_.dispX, width_, height_), v(grid_.dispY, width_, height_);
        u.smooth(sigma);
        v.smooth(sigma);
        for (int j = 0; j < height_; ++j)
            for (int i = 0; i < width_; ++i) {
                const double g[4] = {u.derivative(i, j, 1, 0), u.derivative(i, j, 0, 1), v.derivative(i, j, 1, 0),
                                     v.derivative(i, j, 0, 1)};
                map.at(i, j) = std::sqrt(g[0] * g[0] + g[1] * g[1] + g[2] * g[2] + g[3] * g[3]);
            }
        return map;
    }

    Vec displacementAt(Vec p) const {
        return {sampleField(grid_.dispX, width_, height_, p), sampleField(grid_.dispY, width_, height_, p)};
    }

    // u(+n side) - u(-n side) at p, each side extrapolated linearly to the line
    // from samples at one and two offsets, so that a smooth gradient adds
    // nothing; three samples along the line on each side average the noise.
    // Without the farther samples (near the border) the jump cannot be told
    // from the gradient, and there is none.
    Vec jumpAcross(Vec p, Vec n, double offset) const {
        const Vec t = {n.y, -n.x};
        Vec sides[2];
        for (int s = 0; s < 2; ++s) {
            const double sign = s == 0 ? 1.0 : -1.0;
            Vec nearSum, farSum;
            int nearCount = 0, farCount = 0;
            for (int k = -1; k <= 1; ++k) {
                const Vec q = p + double(k) * t;
                const Vec nearValue = displacementAt(q + (sign * offset) * n);
                const Vec farValue = displacementAt(q + (2.0 * sign * offset) * n);
                if (finite(nearValue)) nearSum = nearSum + nearValue, ++nearCount;
                if (finite(farValue)) farSum = farSum + farValue, ++farCount;
            }
            if (nearCount == 0 || farCount == 0) return {kNaN, kNaN};
            sides[s] = (2.0 / nearCount) * nearSum - (1.0 / farCount) * farSum;
        }
        return sides[0] - sides[1];
    }

    // Noise of a measured jump, from the jumps across the two grid axes at cells
    // all over the grid: cracks touch few of them, so the median sees the noise
    // (correlated or not) and the curvature of the smooth field.
    double estimateJumpNoise() const {
        if (!hasDisplacement_) return kJumpNoiseFloor;
        const int64_t cells = int64_t(width_) * height_;
        const int stride = std::max(1, static_cast<int>(std::sqrt(double(cells) / kNoiseSampleCells)));
        const std::vector<char> crossed = crossedByAFittedCrack();
        std::vector<double> components;
        for (int j = 0; j < height_; j += stride)
            for (int i = 0; i < width_; i += stride)
                for (const Vec n : {Vec{1.0, 0.0}, Vec{0.0, 1.0}}) {
                    if (!crossed.empty() && crossed[cellIndex(i, j, width_)]) continue;
                    const Vec jump = jumpAcross({double(i), double(j)}, n, jumpOffset_);
                    if (!finite(jump)) continue;
                    components.push_back(std::abs(jump.x));
                    components.push_back(std::abs(jump.y));
                }
        const double sigma = kMadToSigma * median(components);
        return std::isfinite(sigma) ? std::max(sigma, kJumpNoiseFloor) : kJumpNoiseFloor;
    }

    // Cells whose jump samples (out to twice the offset) may reach a crack the
    // engine fitted: where cracks lie closer than a few windows apart they
    // would be most cells, and their jumps would pass for noise. Empty without
    // the engine's openings.
    std::vector<char> crossedByAFittedCrack() const {
        if (!grid_.openingIntensity) return {};
        const int reach = static_cast<int>(std::ceil(2.0 * jumpOffset_)) + 1;
        std::vector<char> rows(size_t(width_) * height_, 0), out(rows.size(), 0);
        for (int j = 0; j < height_; ++j) {
            int last = -1; // the last fitted cell of the row so far
            for (int i = 0; i < width_; ++i)
                if (std::isfinite(value(grid_.openingIntensity, i, j))) last = i;
                else if (last >= 0 && i - last <= reach) rows[cellIndex(i, j, width_)] = 1;
            last = -1;
            for (int i = width_ - 1; i >= 0; --i)
                if (std::isfinite(value(grid_.openingIntensity, i, j))) last = i, rows[cellIndex(i, j, width_)] = 1;
                else if (last >= 0 && last - i <= reach) rows[cellIndex(i, j, width_)] = 1;
        }
        for (int i = 0; i < width_; ++i) {
            int last = -1;
            for (int j = 0; j < height_; ++j) {
                if (rows[cellIndex(i, j, width_)]) last = j;
                if (last >= 0 && j - last <= reach) out[cellIndex(i, j, width_)] = 1;
            }
            last = -1;
            for (int j = height_ - 1; j >= 0; --j) {
                if (rows[cellIndex(i, j, width_)]) last = j;
                if (last >= 0 && last - j <= reach) out[cellIndex(i, j, width_)] = 1;
            }
        }
        return out;
    }

    // A jump does not grow with the distance at which it is measured, whereas
    // what a smooth field leaves in the estimate (its third derivative) grows
    // eightfold: the two measurements must agree within half the jump or the
    // 99th percentile of their difference's noise. Where the farther one cannot
    // be taken the point is kept.
    bool consistentAtTwiceTheOffset(Vec position, Vec n, Vec jump) const {
        if (!finite(jump)) return true;
        const Vec wider = jumpAcross(position, n, 2.0 * jumpOffset_);
        if (!finite(wider)) return true;
        return norm(wider - jump) <= std::max(0.5 * norm(jump), 5.0 * jumpNoise_);
    }

    // The gradient ridge of a jump J spread over w cells and smoothed stands
    // about |J| / w above its surroundings. Near a crack the jump estimate also
    // picks up the crack's own jump where a sample falls across it, while the
    // ridge there is only noise: the ridge must account for half of what a jump
    // spread over the window and both smoothings would raise at least.
    bool ridgeCarriesTheJump(const GridField& strengthMap, Vec position, Vec n, Vec jump) const {
        if (!finite(jump)) return true;
        const double sides[2] = {strengthMap.sample(position + jumpOffset_ * n),
                                 strengthMap.sample(position - jumpOffset_ * n)};
        double background = 0.0;
        int count = 0;
        for (double side : sides)
            if (std::isfinite(side)) background += side, ++count;
        const double peak = strengthMap.sample(position);
        if (count == 0 || !std::isfinite(peak)) return true;
        const double sigma = smoothingScale();
        const double spread = double(window_) / step_ + 2.5 * std::sqrt(sigma * sigma + kRidgeSigma * kRidgeSigma);
        return peak - background / count >= kMinRidgeShare * norm(jump) / spread;
    }

    // The eigenvector of the symmetric matrix [[a, b], [b, c]] for eigenvalue l.
    static Vec eigenvector(double a, double b, double c, double l) {
        const Vec first{b, l - a}, second{l - c, b};
        const Vec v = norm(first) >= norm(second) ? first : second;
        if (norm(v) > 1e-300) return normalized(v);
        return a <= c ? Vec{1.0, 0.0} : Vec{0.0, 1.0};
    }

    // Cells closer to the border than `border` are left out: the smoothing
    // kernel is cut there, which bends an oblique ridge towards the inside.
    void findCandidates(const GridField& s, int border) {
        candidateAt_.assign(size_t(width_) * height_, -1);
        const double maxOffset = params_.maxCentreOffset;
        border = std::max(border, 1);
        for (int j = border; j + border < height_; ++j)
            for (int i = border; i + border < width_; ++i) {
                const double angle = grid_.crackAngle ? value(grid_.crackAngle, i, j) : kNaN;
                const double phi = grid_.crackPosition ? value(grid_.crackPosition, i, j) : kNaN;
                Vec n;
                Vec position;
                if (std::isfinite(angle) && std::isfinite(phi)) {
                    // The fit placed the line itself: every cell whose window it cuts
                    // knows it, and the cells it passes through or by stand for them
                    // (a quarter cell more than a ridge's centre may lie off, so that a
                    // line along a cell border is not lost to scatter on both sides).
                    // phi runs along the fit's own normal, whichever way the canonical
                    // tangent turns it.
                    const Vec fitNormal = normalOf({std::cos(angle / kDegrees), -std::sin(angle / kDegrees)});
                    const double t = phi / step_, reach = maxOffset + 0.25;
                    if (std::abs(t * fitNormal.x) > reach || std::abs(t * fitNormal.y) > reach) continue;
                    position = Vec{double(i), double(j)} + t * fitNormal;
                    n = normalOf(canonicalTangent({fitNormal.y, -fitNormal.x}));
                } else if (!ridgeAt(s, i, j, angle, phi, n, position)) {
                    continue;
                }
                addCandidate(s, position, {n.y, -n.x}, i, j);
            }
        keepOnePerPlace();
    }

    // Steger's ridge point of cell (i, j): its normal across the ridge (from
    // `angle` when finite) and the point, placed by `phi` when finite, else at
    // the ridge's centre, which must lie within the cell.
    bool ridgeAt(const GridField& s, int i, int j, double angle, double phi, Vec& n, Vec& position) const {
        double v[3][3];
        for (int dj = -1; dj <= 1; ++dj)
            for (int di = -1; di <= 1; ++di)
                if (!std::isfinite(v[dj + 1][di + 1] = s.at(i + di, j + dj))) return false;
        const double sx = 0.5 * (v[1][2] - v[1][0]), sy = 0.5 * (v[2][1] - v[0][1]);
        const double sxx = v[1][2] - 2.0 * v[1][1] + v[1][0], syy = v[2][1] - 2.0 * v[1][1] + v[0][1];
        const double sxy = 0.25 * (v[2][2] - v[2][0] - v[0][2] + v[0][0]);
        const double mean = 0.5 * (sxx + syy), radius = std::hypot(0.5 * (sxx - syy), sxy);
        const double across = mean - radius;
        // A ridge: the strongest curvature is the negative one, across the line.
        if (!(across < 0.0 && std::abs(across) >= std::abs(mean + radius))) return false;
        n = eigenvector(sxx, sxy, syy, across);
        if (std::isfinite(angle)) n = normalOf({std::cos(angle / kDegrees), -std::sin(angle / kDegrees)});
        // phi (which needs the angle it was measured with) runs along that normal.
        const Vec fitNormal = n;
        n = normalOf(canonicalTangent({n.y, -n.x}));
        if (std::isfinite(phi)) {
            position = Vec{double(i), double(j)} + (phi / step_) * fitNormal;
            return true;
        }
        const double curvature = sxx * n.x * n.x + 2.0 * sxy * n.x * n.y + syy * n.y * n.y;
        if (!(curvature < 0.0)) return false;
        const double t = -(sx * n.x + sy * n.y) / curvature;
        if (std::abs(t * n.x) > params_.maxCentreOffset || std::abs(t * n.y) > params_.maxCentreOffset) return false;
        position = {i + t * n.x, j + t * n.y};
        return true;
    }

    // Cells beside a line that passes near a corner of theirs place it at
    // nearly the same point: of candidates within half a cell of each other the
    // one whose cell lies nearest to its point stays, so that the linking finds
    // one line, not one per row of cells along it.
    void keepOnePerPlace() {
        const auto offset = [&](const Candidate& c) { return norm(c.position - Vec{double(c.i), double(c.j)}); };
        std::vector<int> order(candidates_.size());
        for (size_t k = 0; k < order.size(); ++k) order[k] = int(k);
        std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
            return offset(candidates_[size_t(a)]) < offset(candidates_[size_t(b)]);
        });
        std::vector<Candidate> kept;
        candidateAt_.assign(size_t(width_) * height_, -1);
        for (int k : order) {
            const Candidate& c = candidates_[size_t(k)];
            bool crowded = false;
            for (int dj = -1; dj <= 1 && !crowded; ++dj)
                for (int di = -1; di <= 1 && !crowded; ++di) {
                    const int i = c.i + di, j = c.j + dj;
                    if (i < 0 || j < 0 || i >= width_ || j >= height_) continue;
                    const int other = candidateAt_[cellIndex(i, j, width_)];
                    crowded = other >= 0 && norm(kept[size_t(other)].position - c.position) < 0.5;
                }
            if (crowded) continue;
            candidateAt_[cellIndex(c.i, c.j, width_)] = int(kept.size());
            kept.push_back(c);
        }
        // Back in cell order, which the linking's ties follow.
        std::stable_sort(kept.begin(), kept.end(), [&](const Candidate& a, const Candidate& b) {
            return cellIndex(a.i, a.j, width_) < cellIndex(b.i, b.j, width_);
        });
        candidates_ = std::move(kept);
        candidateAt_.assign(size_t(width_) * height_, -1);
        for (size_t k = 0; k < candidates_.size(); ++k)
            candidateAt_[cellIndex(candidates_[k].i, candidates_[k].j, width_)] = int(k);
    }

    // The engine's normal at cell (i, j) when its fit there runs along the
    // line of normal n (within kCornerAngle), else NaN: where two cracks
    // cross, the cells beside one's line hold the other's fits.
    Vec engineNormalAlong(int i, int j, Vec n) const {
        const double alpha = grid_.crackAngle ? value(grid_.crackAngle, i, j) : kNaN;
        if (!std::isfinite(alpha)) return {kNaN, kNaN};
        const Vec normal{std::sin(alpha / kDegrees), std::cos(alpha / kDegrees)};
        if (std::abs(dot(normal, n)) < std::cos(kCornerAngle / kDegrees)) return {kNaN, kNaN};
        return normal;
    }

    // The engine's opening vector at `position`, turned to the jump across n,
    // from the surrounding cells fitted along the same line, each turned by
    // itself (their angles may lie either side of +-90); unknown where no such
    // cell has one.
    Vec engineOpening(Vec position, Vec n) const {
        if (!grid_.openingX || !grid_.openingY) return {kNaN, kNaN};
        const auto component = [&](const float* field) {
            return interpolate(
                [&](int i, int j) {
                    const Vec normal = engineNormalAlong(i, j, n);
                    if (!finite(normal)) return kNaN;
                    return (dot(normal, n) < 0.0 ? -1.0 : 1.0) * double(field[cellIndex(i, j, width_)]);
                },
                width_, height_, position);
        };
        const Vec opening{component(grid_.openingX), component(grid_.openingY)};
        return finite(opening) ? opening : Vec{kNaN, kNaN};
    }

    // Whether a cell within twice the jump offset of `position` across the
    // line holds the engine's fit of another crack: the displacement sampled
    // there carries that crack's jump on one side, or on both.
    bool crossedWithinTheOffset(Vec position, Vec n) const {
        if (!grid_.crackAngle) return false;
        const double reach = 2.0 * jumpOffset_;
        for (double s = -reach; s <= reach; s += 0.5) {
            const Vec q = position + s * n;
            const int i = static_cast<int>(std::lround(q.x)), j = static_cast<int>(std::lround(q.y));
            if (std::isfinite(value(grid_.crackAngle, i, j)) && !finite(engineNormalAlong(i, j, n))) return true;
        }
        return false;
    }

    void addCandidate(const GridField& strengthMap, Vec position, Vec tangent, int i, int j) {
        const Vec n = normalOf(tangent);
        Vec jump = hasDisplacement_ ? jumpAcross(position, n, jumpOffset_) : Vec{kNaN, kNaN};
        if (!consistentAtTwiceTheOffset(position, n, jump) || crossedWithinTheOffset(position, n)) {
            // A second crack within two windows (or a smooth field's curvature)
            // spoils the jump measured off the line: the engine's own, fitted
            // inside one subset, still tells it where there is one.
            jump = grid_.openingIntensity ? engineOpening(position, n) : Vec{kNaN, kNaN};
            if (!finite(jump)) return;
        }
        if (!finite(jump) && grid_.openingIntensity) jump = engineOpening(position, n);
        if (!grid_.openingIntensity && !ridgeCarriesTheJump(strengthMap, position, n, jump)) return;
        double magnitude = norm(jump);
        if (grid_.openingIntensity) {
            const double opening = sampleField(grid_.openingIntensity, width_, height_, position);
            if (std::isfinite(opening)) magnitude = std::max(std::isfinite(magnitude) ? magnitude : 0.0, opening);
        }
        // With only the opening intensity the point is kept and its jump left
        // unknown: a direction guessed from the normal would turn slip into opening.
        const bool jumpKnown = finite(jump);
        if ((!jumpKnown && !grid_.openingIntensity) || !std::isfinite(magnitude) || magnitude < params_.minOpening)
            return;
        const double strength = magnitude / jumpNoise_;
        if (strength < params_.lowThreshold) return;
        candidateAt_[cellIndex(i, j, width_)] = static_cast<int>(candidates_.size());
        candidates_.push_back({position, tangent, jump, strength, i, j});
    }

    // Steger's linking: from the strongest unused point, step to the best of
    // the three neighbouring cells ahead, both ways along the line.
    std::vector<std::vector<int>> linkLines() {
        std::vector<int> seeds;
        for (int k = 0; k < int(candidates_.size()); ++k)
            if (candidates_[size_t(k)].strength >= params_.highThreshold) seeds.push_back(k);
        std::sort(seeds.begin(), seeds.end(),
                  [&](int a, int b) { return candidates_[size_t(a)].strength > candidates_[size_t(b)].strength; });
        used_.assign(candidates_.size(), false);
        std::vector<std::vector<int>> lines;
        for (int seed : seeds) {
            if (used_[size_t(seed)]) continue;
            used_[size_t(seed)] = true;
            const Vec t = candidates_[size_t(seed)].tangent;
            std::vector<int> backward = follow(seed, -1.0 * t);
            std::vector<int> line(backward.rbegin(), backward.rend());
            line.push_back(seed);
            for (int k : follow(seed, t)) line.push_back(k);
            lines.push_back(std::move(line));
        }
        return lines;
    }

    std::vector<int> follow(int start, Vec direction) {
        static constexpr std::array<std::array<int, 2>, 8> kOctants{
            {{1, 0}, {1, 1}, {0, 1}, {-1, 1}, {-1, 0}, {-1, -1}, {0, -1}, {1, -1}}};
        const double minAlignment = std::cos(std::clamp(double(params_.maxLinkAngle), 0.0, 90.0) / kDegrees) - 1e-9;
        std::vector<int> path;
        int current = start;
        while (true) {
            const Candidate& here = candidates_[size_t(current)];
            const int octant = static_cast<int>(std::lround(std::atan2(direction.y, direction.x) / (kPi / 4)));
            int best = -1;
            double bestCost = std::numeric_limits<double>::infinity();
            for (int o = octant - 1; o <= octant + 1; ++o) {
                const auto& offset = kOctants[size_t((o % 8 + 8) % 8)];
                const int i = here.i + offset[0], j = here.j + offset[1];
                if (i < 0 || j < 0 || i >= width_ || j >= height_) continue;
                const int k = candidateAt_[cellIndex(i, j, width_)];
                if (k < 0 || used_[size_t(k)]) continue;
                const Candidate& next = candidates_[size_t(k)];
                const double alignment = std::abs(dot(next.tangent, direction));
                if (alignment < minAlignment) continue;
                const double cost = norm(next.position - here.position) + std::acos(std::min(alignment, 1.0));
                if (cost < bestCost) bestCost = cost, best = k;
            }
            if (best < 0) return path;
            used_[size_t(best)] = true;
            path.push_back(best);
            const Vec t = candidates_[size_t(best)].tangent;
            direction = dot(t, direction) < 0.0 ? -1.0 * t : t;
            current = best;
        }
    }

    void appendLine(CrackLineSet& set, const std::vector<int>& line) const {
        set.lineStarts.push_back(static_cast<int32_t>(set.x.size()));
        for (int k : line) {
            const Candidate& c = candidates_[size_t(k)];
            set.x.push_back(float(c.position.x));
            set.y.push_back(float(c.position.y));
            set.cosine.push_back(float(c.tangent.x));
            set.sine.push_back(float(c.tangent.y));
            set.alpha.push_back(float(screenAngle(c.tangent)));
            set.jumpA.push_back(float(dot(c.jump, c.tangent)));
            set.jumpB.push_back(float(dot(c.jump, normalOf(c.tangent))));
            set.strength.push_back(float(c.strength));
        }
    }

    const CrackGridView& grid_;
    const CrackLineParameters& params_;
    int width_;
    int height_;
    int step_;
    int window_;
    bool hasDisplacement_;
    double jumpOffset_ = 1.0;
    double jumpNoise_ = kJumpNoiseFloor;
    std::vector<Candidate> candidates_;
    std::vector<int> candidateAt_;
    std::vector<bool> used_;
};

struct Point {
    Vec position;
    Vec tangent;
    Vec jump;  // image axes
    double strength = 0.0;
};

std::vector<std::vector<Point>> splitLines(const CrackLineSet& set) {
    std::vector<std::vector<Point>> lines;
    const size_t n = set.size();
    const bool consistent = set.y.size() == n && set.cosine.size() == n && set.sine.size() == n &&
                            set.jumpA.size() == n && set.jumpB.size() == n && set.strength.size() == n;
    if (!consistent || set.lineStarts.size() < 2) return lines;
    for (size_t l = 0; l + 1 < set.lineStarts.size(); ++l) {
        const size_t begin = size_t(std::max(set.lineStarts[l], 0));
        const size_t end = std::min(size_t(std::max(set.lineStarts[l + 1], 0)), n);
        std::vector<Point> line;
        for (size_t k = begin; k < end; ++k) {
            const Vec t{set.cosine[k], set.sine[k]};
            line.push_back({{set.x[k], set.y[k]}, t, set.jumpA[k] * t + set.jumpB[k] * normalOf(t), set.strength[k]});
        }
        if (!line.empty()) lines.push_back(std::move(line));
    }
    return lines;
}

// The straight line through points [from, to) of a line: its centre, and its
// direction turned to run from the first of them to the last.
std::pair<Vec, Vec> fitStraight(const std::vector<Point>& line, size_t from, size_t to) {
    Vec centre;
    for (size_t k = from; k < to; ++k) centre = centre + line[k].position;
    centre = (1.0 / double(to - from)) * centre;
    double xx = 0.0, xy = 0.0, yy = 0.0;
    for (size_t k = from; k < to; ++k) {
        const Vec d = line[k].position - centre;
        xx += d.x * d.x, xy += d.x * d.y, yy += d.y * d.y;
    }
    const double angle = 0.5 * std::atan2(2.0 * xy, xx - yy);
    const Vec axis{std::cos(angle), std::sin(angle)};
    return {centre, dot(axis, line[to - 1].position - line[from].position) < 0.0 ? -1.0 * axis : axis};
}

// Direction in which a line leaves through its last point (towards its first
// when `front`): that of the straight line through its last kStraightPoints points,
// which one point's scatter turns little; a single point leaves along its
// tangent towards `towards`.
constexpr size_t kStraightPoints = 6; // points a straight stretch of a line is fitted to

Vec outward(const std::vector<Point>& line, bool front, Vec towards) {
    if (line.size() < 2) {
        const Vec t = line.front().tangent;
        return dot(t, towards) < 0.0 ? -1.0 * t : t;
    }
    const size_t reach = std::min(kStraightPoints, line.size());
    if (front) return -1.0 * fitStraight(line, 0, reach).second;
    return fitStraight(line, line.size() - reach, line.size()).second;
}

// Drops the end points of a line that hook off the straight line its next
// points follow. Near another crack's crossing the last ridge points are pulled
// towards that crack's band; left in place they turn the line's end away from
// the piece beyond the crossing, and the join misses it.
constexpr size_t kHookPoints = 3;    // at most this many dropped at each end
constexpr double kHookOffset = 1.0;  // cells off that straight line

void dropHooks(std::vector<Point>& line) {
    for (int end = 0; end < 2; ++end) {
        // The straight line is fitted beyond the points that may hook, so that a hook of several points
        // does not bend it; the hook runs up to the last of them that lies off it.
        const size_t n = line.size();
        if (n > kStraightPoints + kHookPoints) {
            const size_t inner = n - kHookPoints;
            const auto [centre, axis] = fitStraight(line, inner - kStraightPoints, inner);
            size_t hook = 0;
            for (size_t k = 1; k <= kHookPoints; ++k)
                if (std::abs(dot(line[n - k].position - centre, normalOf(axis))) > kHookOffset) hook = k;
            line.resize(n - hook);
        }
        std::reverse(line.begin(), line.end());
    }
}

// A few points set off from a straight crack by half a cell, as near a
// crossing or where a spot misleads a fit, turn the straight stretches of
// kStraightPoints points either side of them by 20 degrees, and stretches of
// twice as many by 7: a corner turns those by more than kLongCornerAngle too.
constexpr double kLongCornerAngle = 15.0; // degrees
constexpr size_t kLongStraightPoints = 2 * kStraightPoints;

// Cuts a line where the straight stretches before and after a point turn by
// more than kCornerAngle (and the long ones by more than kLongCornerAngle), at
// the sharpest such turn: the first pass links neighbours that turn by up to
// maxLinkAngle, and where two cracks cross it can run from one into the other.
std::vector<std::vector<Point>> cutCorners(std::vector<Point> line) {
    std::vector<std::vector<Point>> pieces;
    const double straight = std::cos(kCornerAngle / kDegrees);
    const double longStraight = std::cos(kLongCornerAngle / kDegrees);
    while (line.size() >= 2 * kStraightPoints) {
        size_t sharpest = 0;
        double least = straight;
        for (size_t k = kStraightPoints; k + kStraightPoints <= line.size(); ++k) {
            const Vec before = fitStraight(line, k - kStraightPoints, k).second;
            const double turn = dot(before, fitStraight(line, k, k + kStraightPoints).second);
            if (turn >= least) continue;
            const Vec longBefore = fitStraight(line, k >= kLongStraightPoints ? k - kLongStraightPoints : 0, k).second;
            const Vec longAfter = fitStraight(line, k, std::min(line.size(), k + kLongStraightPoints)).second;
            if (dot(longBefore, longAfter) < longStraight) least = turn, sharpest = k;
        }
        if (sharpest == 0) break;
        pieces.emplace_back(line.begin(), line.begin() + std::ptrdiff_t(sharpest));
        line.erase(line.begin(), line.begin() + std::ptrdiff_t(sharpest));
    }
    pieces.push_back(std::move(line));
    return pieces;
}

// Joins line ends across gaps whose direction runs on along both lines, the
// shortest gaps first: noise breaks one crack into pieces. Ends are numbered
// 2 * line + (1 for the front, 0 for the back). `window` is the correlation
// window in cells; with 0 no gap is joined as a crossing.
constexpr double kShortGap = 4.0; // cells
// Where another crack crosses, every subset it cuts fits neither side: along
// a crack crossed at angle t the hole is as long as the subset's width across
// the other crack over sin t (a window at right angles, about 1.6 windows at 40
// degrees, 3 at 20), and the fits beside it fail too. A gap up to
// kJoinWindows is joined as any other; a longer one only where the ends run on
// into each other within kCrossingAngle and another line, turned from the gap
// by more than kCrossingAngle, passes within half the gap of its middle: then
// up to kJoinWindows plus the hole that line's crossing leaves, and never more
// than kCrossingWindows.
constexpr double kJoinWindows = 1.5;
constexpr double kCrossingWindows = 5.0;
constexpr double kCrossingAngle = 15.0; // degrees

// The longest gap from a to b that the crossing of a line other than those of
// ends a and b explains, in windows (`window` cells); 0 when no such line
// passes near its middle. The crossing line has a hole of its own there: it
// passes as well when one of its ends, run on straight for up to half the
// longest hole, comes within a quarter of the gap of the middle.
double crossingGapWindows(const std::vector<std::vector<Point>>& lines, size_t lineA, size_t lineB, Vec a, Vec b,
                          double window) {
    const Vec middle = 0.5 * (a + b);
    const double reach = 0.5 * norm(b - a);
    const Vec direction = normalized(b - a);
    const double parallel = std::cos(kCrossingAngle / kDegrees);
    double longest = 0.0;
    const auto crossing = [&](Vec tangent) {
        if (std::abs(dot(tangent, direction)) >= parallel) return;
        // The square subset spans |nx| + |ny| half windows across the crossing line.
        const double across = std::abs(tangent.x) + std::abs(tangent.y);
        const double sine = std::abs(tangent.x * direction.y - tangent.y * direction.x);
        longest = std::max(longest, std::min(kJoinWindows + across / sine, kCrossingWindows));
    };
    for (size_t l = 0; l < lines.size(); ++l) {
        if (l == lineA || l == lineB) continue;
        for (const Point& p : lines[l])
            if (norm(p.position - middle) <= reach) crossing(p.tangent);
        if (lines[l].size() < kStraightPoints) continue;
        for (const bool front : {false, true}) {
            const Vec out = outward(lines[l], front, {});
            const Vec v = middle - (front ? lines[l].front().position : lines[l].back().position);
            const double ahead = dot(v, out);
            if (ahead >= 0.0 && ahead <= 0.5 * kCrossingWindows * window &&
                std::abs(v.x * out.y - v.y * out.x) <= 0.5 * reach)
                crossing(out);
        }
    }
    return longest;
}

std::vector<std::vector<Point>> joinAcrossGaps(std::vector<std::vector<Point>> lines, double maxGap,
                                               double maxAngleDegrees, double window) {
    const double minAlignment = std::cos(std::clamp(maxAngleDegrees, 0.0, 180.0) / kDegrees) - 1e-9;
    const double crossingAlignment = std::cos(std::min(kCrossingAngle, maxAngleDegrees) / kDegrees) - 1e-9;
    // Two lines long enough to run straight that turn by more than kCornerAngle belong to two cracks: a join
    // would be cut again, and would have taken ends that continue another line (the crossing's hole is round
    // the corner from two of the four ends, and shorter when the fits reach the other crack).
    const double cornerAlignment = std::max(minAlignment, std::cos(kCornerAngle / kDegrees) - 1e-9);
    const auto runOn = [&](size_t a, size_t b) {
        return lines[a / 2].size() >= kStraightPoints && lines[b / 2].size() >= kStraightPoints ? cornerAlignment
                                                                                               : minAlignment;
    };
    const auto endPoint = [&](size_t end) {
        return end % 2 ? lines[end / 2].front().position : lines[end / 2].back().position;
    };
    struct Gap {
        double length;
        size_t a, b;
    };
    std::vector<Gap> gaps;
    for (size_t a = 0; a < 2 * lines.size(); ++a)
        for (size_t b = (a / 2 + 1) * 2; b < 2 * lines.size(); ++b) {
            const Vec gap = endPoint(b) - endPoint(a);
            const double length = norm(gap);
            if (length > std::max(maxGap, kCrossingWindows * window)) continue;
            if (length > maxGap) {
                // Only lines long enough to run straight: stray fits gather around a crossing.
                if (lines[a / 2].size() < kStraightPoints || lines[b / 2].size() < kStraightPoints) continue;
                const Vec g = (1.0 / length) * gap;
                if (dot(outward(lines[a / 2], a % 2, g), g) < crossingAlignment ||
                    dot(outward(lines[b / 2], b % 2, -1.0 * g), -1.0 * g) < crossingAlignment ||
                    length > window * crossingGapWindows(lines, a / 2, b / 2, endPoint(a), endPoint(b), window))
                    continue;
            } else if (length > kShortGap) {
                // Each end within the join angle of the gap, and of each other: two cracks that cross
                // leave four ends around the hole, and the gap round the corner is the shortest.
                const Vec g = (1.0 / length) * gap;
                const Vec outA = outward(lines[a / 2], a % 2, g), outB = outward(lines[b / 2], b % 2, -1.0 * g);
                if (dot(outA, g) < minAlignment || dot(outB, -1.0 * g) < minAlignment) continue;
                if (dot(outA, -1.0 * outB) < runOn(a, b)) continue;
            } else if (length > 0.0) {
                // Across a gap of a cell or two the scatter of the end points
                // sets its direction: the two lines must run on into each other.
                const Vec g = (1.0 / length) * gap;
                if (dot(outward(lines[a / 2], a % 2, g), -1.0 * outward(lines[b / 2], b % 2, -1.0 * g)) < runOn(a, b))
                    continue;
            }
            gaps.push_back({length, a, b});
        }
    std::stable_sort(gaps.begin(), gaps.end(), [](const Gap& x, const Gap& y) { return x.length < y.length; });

    // Each end is joined at most once, and never into a loop.
    std::vector<size_t> group(lines.size());
    for (size_t l = 0; l < lines.size(); ++l) group[l] = l;
    const auto root = [&](size_t l) {
        while (group[l] != l) l = group[l] = group[group[l]];
        return l;
    };
    std::vector<std::ptrdiff_t> joined(2 * lines.size(), -1);
    for (const Gap& gap : gaps) {
        if (joined[gap.a] >= 0 || joined[gap.b] >= 0 || root(gap.a / 2) == root(gap.b / 2)) continue;
        joined[gap.a] = std::ptrdiff_t(gap.b);
        joined[gap.b] = std::ptrdiff_t(gap.a);
        group[root(gap.a / 2)] = root(gap.b / 2);
    }

    // Every chain starts at a line end that was not joined. A chain is cut
    // where the pieces on either side of a join, or of a run of pieces too short
    // to have a direction, turn by more than kCornerAngle (their long stretches by
    // more than kLongCornerAngle): two cracks that cross leave stray fits around
    // the hole, which can step round the corner.
    std::vector<std::vector<Point>> chains;
    std::vector<bool> done(lines.size(), false);
    const double straight = std::cos(kCornerAngle / kDegrees), longStraight = std::cos(kLongCornerAngle / kDegrees);
    for (size_t start = 0; start < 2 * lines.size(); ++start) {
        if (done[start / 2] || joined[start] >= 0) continue;
        std::vector<Point> chain, stray;
        Vec heading, longHeading;  // the directions in which the last piece long enough to have one ends
        for (std::ptrdiff_t entry = std::ptrdiff_t(start); entry >= 0;) {
            std::vector<Point>& line = lines[size_t(entry) / 2];
            done[size_t(entry) / 2] = true;
            if (entry % 2 == 0) std::reverse(line.begin(), line.end());
            entry = joined[size_t(entry) ^ 1u];
            if (line.size() < kStraightPoints) {
                stray.insert(stray.end(), line.begin(), line.end());
                continue;
            }
            if (norm(heading) > 0.0 && dot(heading, fitStraight(line, 0, kStraightPoints).second) < straight &&
                dot(longHeading, fitStraight(line, 0, std::min(line.size(), kLongStraightPoints)).second) <
                    longStraight) {
                chains.push_back(std::move(chain));
                chain.clear();
            } else {
                chain.insert(chain.end(), stray.begin(), stray.end());
            }
            stray.clear();
            chain.insert(chain.end(), line.begin(), line.end());
            heading = fitStraight(line, line.size() - kStraightPoints, line.size()).second;
            longHeading = fitStraight(line, line.size() - std::min(line.size(), kLongStraightPoints), line.size()).second;
        }
        chain.insert(chain.end(), stray.begin(), stray.end());
        chains.push_back(std::move(chain));
    }
    return chains;
}

// Each tangent becomes the axial mean of the tangents of up to five
// neighbours on either side, which damps the scatter of single ridge points.
void smoothTangents(std::vector<Point>& line) {
    constexpr size_t kReach = 5;
    std::vector<Vec> smoothed(line.size());
    for (size_t k = 0; k < line.size(); ++k) {
        Vec doubled;
        const size_t from = k >= kReach ? k - kReach : 0, to = std::min(k + kReach, line.size() - 1);
        for (size_t m = from; m <= to; ++m) {
            const Vec t = line[m].tangent;
            doubled = doubled + Vec{t.x * t.x - t.y * t.y, 2.0 * t.x * t.y};
        }
        const double angle = 0.5 * std::atan2(doubled.y, doubled.x);
        smoothed[k] = norm(doubled) > 1e-12 ? canonicalTangent({std::cos(angle), std::sin(angle)}) : line[k].tangent;
    }
    // The jump is taken towards the normal: a tangent that turned round takes it along.
    for (size_t k = 0; k < line.size(); ++k) {
        if (dot(smoothed[k], line[k].tangent) < 0.0) line[k].jump = -1.0 * line[k].jump;
        line[k].tangent = smoothed[k];
    }
}

// Each jump becomes the component-wise median of the jumps of up to five
// neighbours on either side (the line facing one way): a crack's jump changes
// slowly along it, while each point's own fit carries the noise of one subset.
void smoothJumps(std::vector<Point>& line) {
    constexpr size_t kReach = 5;
    std::vector<Vec> smoothed(line.size());
    std::vector<double> xs, ys;
    for (size_t k = 0; k < line.size(); ++k) {
        const size_t from = k >= kReach ? k - kReach : 0, to = std::min(k + kReach, line.size() - 1);
        xs.clear();
        ys.clear();
        for (size_t m = from; m <= to; ++m)
            if (finite(line[m].jump)) xs.push_back(line[m].jump.x), ys.push_back(line[m].jump.y);
        smoothed[k] = xs.empty() ? line[k].jump : Vec{median(xs), median(ys)};
    }
    for (size_t k = 0; k < line.size(); ++k)
        if (finite(line[k].jump)) line[k].jump = smoothed[k];
}

// Turns the points of a line to face one way, each as the one before it, then
// the whole line so that its mean angle lies in (-90, 90]: canonical tangents
// alone flip from point to point along a line near +-90 degrees, and the jump
// in the crack's frame with them.
void orientLine(std::vector<Point>& line) {
    Vec sum;
    for (size_t k = 0; k < line.size(); ++k) {
        if (k > 0 && dot(line[k].tangent, line[k - 1].tangent) < 0.0) {
            line[k].tangent = -1.0 * line[k].tangent;
            line[k].jump = -1.0 * line[k].jump;
        }
        sum = sum + line[k].tangent;
    }
    const double mean = screenAngle(sum);
    if (mean > 90.0 || mean <= -90.0)
        for (Point& p : line) {
            p.tangent = -1.0 * p.tangent;
            p.jump = -1.0 * p.jump;
        }
}

} // namespace

CrackLineSet extractCrackLines(const CrackGridView& grid, const CrackLineParameters& params) {
    return Extraction(grid, params).run();
}

CrackLineSet extractCrackLines(const CrackLineSet& lines, const CrackLineParameters& params) {
    CrackLineSet out;
    out.gridWidth = lines.gridWidth;
    out.gridHeight = lines.gridHeight;
    const int step = std::max(params.stepX, 1);
    const int window = params.windowSize > 0 ? params.windowSize : 41;
    // Pieces are joined across ordinary gaps first, so that a stray point joined
    // to a line's end is dropped with its hook before the crossings are judged.
    const double maxGap = kJoinWindows * window / step;
    std::vector<std::vector<Point>> pieces;
    for (std::vector<Point>& line : splitLines(lines)) {
        dropHooks(line);
        for (std::vector<Point>& piece : cutCorners(std::move(line))) {
            dropHooks(piece);
            pieces.push_back(std::move(piece));
        }
    }
    pieces = joinAcrossGaps(std::move(pieces), maxGap, params.maxJoinAngle, 0.0);
    for (std::vector<Point>& piece : pieces) dropHooks(piece);
    pieces = joinAcrossGaps(std::move(pieces), maxGap, params.maxJoinAngle, double(window) / step);
    for (std::vector<Point>& line : pieces) {
        std::erase_if(line, [&](const Point& p) { return norm(p.jump) < params.minOpening; });
        if (line.empty() || line.size() < size_t(std::max(params.minLinePoints, 1))) continue;
        smoothTangents(line);
        orientLine(line);
        smoothJumps(line);
        out.lineStarts.push_back(static_cast<int32_t>(out.x.size()));
        for (const Point& p : line) {
            out.x.push_back(float(p.position.x));
            out.y.push_back(float(p.position.y));
            out.cosine.push_back(float(p.tangent.x));
            out.sine.push_back(float(p.tangent.y));
            out.alpha.push_back(float(screenAngle(p.tangent)));
            out.jumpA.push_back(float(dot(p.jump, p.tangent)));
            out.jumpB.push_back(float(dot(p.jump, normalOf(p.tangent))));
            out.strength.push_back(float(p.strength));
        }
    }
    if (!out.lineStarts.empty()) out.lineStarts.push_back(static_cast<int32_t>(out.x.size()));
    return out;
}

float measureCrackLines(const std::vector<float>& field, int32_t width, int32_t height, const CrackLineSet& lines,
                        size_t point) {
    if (width < 1 || height < 1 || field.size() < size_t(width) * size_t(height)) return float(kNaN);
    if (point >= lines.x.size() || point >= lines.y.size()) return float(kNaN);
    return float(sampleField(field.data(), width, height, {lines.x[point], lines.y[point]}));
}

std::vector<float> makeNanField(const CrackLineSet& lines, const std::vector<float>& values, int32_t width,
                                int32_t height, float radius, const CrackLineParameters& params) {
    if (width <= 0 || height <= 0) return {};
    std::vector<float> out(size_t(width) * size_t(height), float(kNaN));
    std::vector<double> nearest(out.size(), std::numeric_limits<double>::infinity());
    // Never below half a cell diagonal, so that a point always reaches the cell it lies in.
    const double reach = std::max(double(radius) / std::max(params.stepX, 1), std::sqrt(0.5));
    const size_t count = std::min({values.size(), lines.x.size(), lines.y.size()});
    for (size_t k = 0; k < count; ++k) {
        const Vec p{lines.x[k], lines.y[k]};
        if (!std::isfinite(values[k]) || !finite(p)) continue;
        const int i0 = std::max(0, static_cast<int>(std::ceil(p.x - reach)));
        const int i1 = std::min(width - 1, static_cast<int>(std::floor(p.x + reach)));
        const int j0 = std::max(0, static_cast<int>(std::ceil(p.y - reach)));
        const int j1 = std::min(height - 1, static_cast<int>(std::floor(p.y + reach)));
        for (int j = j0; j <= j1; ++j)
            for (int i = i0; i <= i1; ++i) {
                const double d = norm(Vec{double(i), double(j)} - p);
                const size_t index = cellIndex(i, j, width);
                if (d <= reach && d < nearest[index]) {
                    nearest[index] = d;
                    out[index] = values[k];
                }
            }
    }
    return out;
}

} // namespace tavro
