// Discontinuity-enriched refinement: one block per grid point whose subset a
// crack may cut. The subset's warp is a first-order displacement plus a jump
// across the line n.x = phi (Heaviside enrichment). Scans of the line's angle
// and position alternate with Gauss-Newton fits of the two sides' warps.

#include <cmath>
#include <cstdint>
#include <cstring>
#include <utility>
#if !TAVRO_GENERIC_KERNEL
#include <vector>
#endif

#include "core/interpolation.h"
#include "core/rupture_kernel.h"
#include "core/subset_samples.h"
#include "gpu/runtime.h"

namespace tavro::detail {
namespace {

using gpu::Block;
using gpu::PerThread;

constexpr int kMaxThreads = 256;

constexpr float kDegree = 3.14159265358979f / 180.0f;
constexpr float kNoCost = 3.0e38f;
// The scan blends the two sides over this half width (px), so that its cost
// changes continuously with the line's position. Half a pixel puts the scan's
// minimum for a line along the pixel rows midway between the last row of one
// side and the first of the other: where the line lies within that pixel, the
// split of the samples cannot tell.
constexpr float kRampHalfWidth = 0.5f;
// Samples this close (px) to the line are left out of the fits: the deformed
// image there mixes both faces (and the gap of an opening) within the reach of
// the cubic interpolations.
constexpr float kBlindBand = 2.0f;
// A line that leaves less of the subset than this on one side is not tried.
// With shared gradients a small side has only the jump to determine, and a
// crack near the subset's edge must still be placed, or its gap (an opening)
// spoils the fit of the whole subset.
constexpr float kMinSideShare = 0.05f;
constexpr int kScanRounds = 3;
// Increments below a thousandth of a pixel (squared) end the fits before the last.
constexpr float kLooseTolerance2 = 1e-6f;

// Sample buffers per point: the normalised reference, its two gradients, the
// continuous warp's samples and two working buffers.
constexpr int kScratchArrays = 6;

constexpr int kRunning = 0;
constexpr int kFailed = 1;
constexpr int kConverged = 2;

// Block reductions over the same per-thread slots serve every phase; on the CPU
// a PerThread is taken from the block's arena, so none is made inside a loop.
constexpr int kSums = 54;
struct Sums {
    PerThread<float> v[kSums];
};
template <int>
__device__ __forceinline__ PerThread<float> zeroSum(const Block& block) {
    return PerThread<float>(block, 0.0f);
}
template <int... I>
__device__ __forceinline__ Sums makeSums(const Block& block, std::integer_sequence<int, I...>) {
    return {{zeroSum<I>(block)...}};
}

// Every thread's first N sums to zero; on the CPU sum by sum, each one array.
template <int N>
__device__ __forceinline__ void clearSums(const Block& block, Sums& acc) {
#if !TAVRO_GENERIC_KERNEL
    for (int k = 0; k < N; ++k) {
        float* const sum = &acc.v[k][0];
        for (int t = 0; t < block.size(); ++t) sum[t] = 0.0f;
    }
#else
    block.forEachThreadNoSync([&](int t) {
        TAVRO_UNROLL
        for (int k = 0; k < N; ++k) acc.v[k][t] = 0.0f;
    });
#endif
}

struct RuptureShared {
    float side[2][kWarpFloats]; // the negative and positive side's warps
    float p[12];                // parameters of the current fit
    float L[2][64];             // Cholesky factors: one 8 x 8, or one 6 x 6 per side when twinning
    float q[12];                // the second-order warp: u's six coefficients, then v's
    float quadraticL[144];
    float alpha; // radians; n = (sin alpha, cos alpha)
    float phi;
    float cost[5]; // best scan cost, then one step off in alpha (-, +) and phi (-, +)
    float step2;   // squared length of the last fit's last increment
    int status;
};

struct Line {
    float nx, ny, phi;
    __device__ __forceinline__ static Line of(float alpha, float phi) { return {sinf(alpha), cosf(alpha), phi}; }
    __device__ __forceinline__ float distance(float dx, float dy) const { return nx * dx + ny * dy - phi; }
};

// Per-sample code picks a side's value by selection: a computed index into a
// small local array would send the array to local memory on the GPU.
__device__ __forceinline__ float bySide(int side, float minus, float plus) { return side ? plus : minus; }

struct SideWarps {
    float w[2][kWarpFloats];
    __device__ __forceinline__ float u(int side, float dx, float dy) const {
        return bySide(side, w[0][0] + (w[0][2] * dx + w[0][3] * dy), w[1][0] + (w[1][2] * dx + w[1][3] * dy));
    }
    __device__ __forceinline__ float v(int side, float dx, float dy) const {
        return bySide(side, w[0][1] + (w[0][4] * dx + w[0][5] * dy), w[1][1] + (w[1][4] * dx + w[1][5] * dy));
    }
};

// The fitted parameters: with shared gradients (u0, v0, the four gradients,
// jx, jy), a side's warp being u0 -/+ j / 2 + A x; when twinning, the two
// sides' warps one after the other.
template <bool Twin>
__device__ __forceinline__ SideWarps warpsOf(const float* p) {
    SideWarps s;
    for (int side = 0; side < 2; ++side)
        for (int k = 0; k < kWarpFloats; ++k) {
            if constexpr (Twin) {
                s.w[side][k] = p[side * kWarpFloats + k];
            } else {
                const float half = side == 0 ? -0.5f : 0.5f;
                s.w[side][k] = p[k] + (k < 2 ? half * p[6 + k] : 0.0f);
            }
        }
    return s;
}

template <int P>
__device__ bool choleskyFactor(const float* a, float* l) {
    for (int i = 0; i < P * P; ++i) l[i] = 0.0f;
    for (int j = 0; j < P; ++j) {
        float d = a[j * P + j];
        for (int k = 0; k < j; ++k) d -= l[j * P + k] * l[j * P + k];
        if (!(d > 0.0f)) return false;
        const float root = sqrtf(d);
        l[j * P + j] = root;
        for (int i = j + 1; i < P; ++i) {
            float s = a[i * P + j];
            for (int k = 0; k < j; ++k) s -= l[i * P + k] * l[j * P + k];
            l[i * P + j] = s / root;
        }
    }
    return true;
}

template <int P>
__device__ void choleskySolve(const float* l, const float* b, float* x) {
    float y[P];
    for (int i = 0; i < P; ++i) {
        float s = b[i];
        for (int k = 0; k < i; ++k) s -= l[i * P + k] * y[k];
        y[i] = s / l[i * P + i];
    }
    for (int i = P - 1; i >= 0; --i) {
        float s = y[i];
        for (int k = i + 1; k < P; ++k) s -= l[k * P + i] * x[k];
        x[i] = s / l[i * P + i];
    }
}

// The symmetric P x P matrix from its upper triangle (row by row), with a
// little added on the diagonal, factored into l.
template <int P>
__device__ bool factorUpper(const float* upper, float* l) {
    float a[P * P];
    int k = 0;
    for (int i = 0; i < P; ++i)
        for (int j = i; j < P; ++j) {
            a[i * P + j] = upper[k];
            a[j * P + i] = upper[k];
            ++k;
        }
    for (int i = 0; i < P; ++i) a[i * P + i] += 1e-6f;
    return choleskyFactor<P>(a, l);
}

// Zero-normalised SSD (2 - 2 rho) of two sample sets from their sums.
__device__ float zeroNormalisedCost(float n, float sx, float sxx, float sy, float syy, float sxy) {
    const float vx = clampVariance(sxx - sx * sx / n), vy = clampVariance(syy - sy * sy / n);
    return 2.0f - 2.0f * (sxy - sx * sy / n) / sqrtf(vx * vy);
}

// One scan of the line: angles alpha0 + i step, positions phi0 + k step.
struct ScanGrid {
    float alpha0, alphaStep;
    int alphaCount;
    float phi0, phiStep;
    int phiCount;
};

// The first scan takes the whole turn (which seed lies on which side is not
// known) and every position that leaves both sides enough samples; the later
// ones narrow around the last fit.
__device__ ScanGrid scanGrid(int round, float alpha, float phi, float reach) {
    if (round == 0) {
        const int n = static_cast<int>(reach);
        return {0.0f, 15.0f * kDegree, 24, -static_cast<float>(n), 1.0f, 2 * n + 1};
    }
    if (round == 1) return {alpha - 12.0f * kDegree, 3.0f * kDegree, 9, phi - 2.0f, 0.25f, 17};
    return {alpha - 2.0f * kDegree, 0.5f * kDegree, 9, phi - 0.5f, 0.125f, 9};
}

struct PointContext {
    const Block& block;
    SubsetLayout subset;
    const PerThread<int>& col;
    const PerThread<int>& row;
    TextureSampler image;
    float cx, cy; // the subset centre in the image
    float row0;   // the deformed strip's first image row
    float reach;  // how far (px) a fit may move a sample from the anchor warp
    float anchor[kWarpFloats];
    float* f;  // normalised reference samples
    float* fx; // and their gradients
    float* fy;
    float* gc; // deformed samples under the continuous warp
    float* a;  // sample buffers of the scan and the fits
    float* b;
    float shift;  // subtracted from every deformed value, so that float sums stay well conditioned
    float energy; // sum of the squared deviations of the reference subset from its mean
};

// The share of pixel noise the deformed sample at (dx, dy) keeps under the affine warp w.
template <int Kind>
__device__ __forceinline__ float affineGain(const PointContext& c, const float* w, float dx, float dy) {
    return noiseGain<Kind>(c.cx + (dx + (w[0] + w[2] * dx + w[3] * dy)), c.cy + (dy + (w[1] + w[4] * dx + w[5] * dy)));
}

// The deformed value of the sample at offset (dx, dy) displaced by (u, v). The
// position is rounded in image coordinates and then moved into the strip,
// exactly, and a displacement farther than the reach from the anchor warp's
// counts as leaving the image: the answer does not depend on which strip a
// launch reads.
template <int Kind>
__device__ __forceinline__ float sampleAt(const PointContext& c, float dx, float dy, float u, float v, bool& outside) {
    const float g = interpolateAs<Kind>(c.image, c.cx + (dx + u), (c.cy + (dy + v)) - c.row0, outside) - c.shift;
    const float du = u - (c.anchor[0] + (c.anchor[2] * dx + c.anchor[3] * dy));
    const float dv = v - (c.anchor[1] + (c.anchor[4] * dx + c.anchor[5] * dy));
    outside = outside || !(fabsf(du) <= c.reach && fabsf(dv) <= c.reach);
    return g;
}

#if !TAVRO_GENERIC_KERNEL
// The CPU runs the fits' sums of products as plain loops: per-sample columns
// first, then one product at a time over the threads, thread t taking samples
// t, t + size, ... in order as forEachSample does, so every per-thread sum is
// unchanged and the loops vectorise across threads. A sample left out of a fit
// has zero columns: adding zero leaves a sum as it was.
struct FitTables {
    int width = 0;
    int count = 0;
    std::vector<float> dx, dy;
    std::vector<float> columns; // kFitColumns of count each
};
constexpr int kFitColumns = 14;

FitTables& fitTables(const SubsetLayout& subset) {
    thread_local FitTables tables;
    if (tables.width != subset.width || tables.count != subset.count) {
        fillSampleOffsets(subset, tables.dx, tables.dy);
        tables.columns.resize(kFitColumns * static_cast<size_t>(subset.count));
        tables.width = subset.width;
        tables.count = subset.count;
    }
    return tables;
}

// sampleAt's position in the strip, and whether the displacement goes beyond the reach.
__forceinline__ bool samplePosition(const PointContext& c, float dx, float dy, float u, float v, float& x, float& y) {
    x = c.cx + (dx + u);
    y = (c.cy + (dy + v)) - c.row0;
    const float du = u - (c.anchor[0] + (c.anchor[2] * dx + c.anchor[3] * dy));
    const float dv = v - (c.anchor[1] + (c.anchor[4] * dx + c.anchor[5] * dy));
    return !(fabsf(du) <= c.reach && fabsf(dv) <= c.reach);
}

// sampleAt's values at the strip positions (x, y), minus the shift, into g;
// true when a tap with weight left the image. Where `used` is given, a position
// whose entry is 0 is not read and its value is 0. Four positions whose
// footprints lie inside the strip are read without bounds.
template <int Kind>
bool interpolateRun(const PointContext& c, const float* __restrict x, const float* __restrict y,
                    const float* __restrict used, int count, float* __restrict g) {
    const TextureSampler& image = c.image;
    bool leaves = false;
    auto one = [&](int s) {
        if (used && used[s] == 0.0f) {
            g[s] = 0.0f;
            return;
        }
        bool outside;
        g[s] = interpolateAs<Kind>(image, x[s], y[s], outside) - c.shift;
        leaves |= outside;
    };
    int s = 0;
    for (; s + 4 <= count; s += 4) {
        FloatLanes px, py;
        std::memcpy(&px, x + s, sizeof px);
        std::memcpy(&py, y + s, sizeof py);
        bool inside = true;
        for (int lane = 0; lane < 4; ++lane)
            inside &= footprintInside(px[lane], px[lane], py[lane], py[lane], image.width(), image.height());
        if (!inside) {
            for (int lane = 0; lane < 4; ++lane) one(s + lane);
            continue;
        }
        const FloatLanes value = interpolateInside4<Kind>(image, px, py) - c.shift;
        for (int lane = 0; lane < 4; ++lane) g[s + lane] = used && used[s + lane] == 0.0f ? 0.0f : value[lane];
    }
    for (; s < count; ++s) one(s);
    return leaves;
}

// Per thread t, the sums of w g and w g g over its samples t, t + size, ... in
// order (w g g as (w g) g); w null for a weight of 1.
void addWeightedSums(const Block& block, int count, const float* __restrict w, const float* __restrict g,
                     float* __restrict sum, float* __restrict sumSq) {
    const int size = block.size();
    for (int base = 0; base < count; base += size) {
        const int active = count - base < size ? count - base : size;
        if (w) {
            for (int t = 0; t < active; ++t) {
                const float wg = w[base + t] * g[base + t];
                sum[t] += wg;
                sumSq[t] += wg * g[base + t];
            }
        } else {
            for (int t = 0; t < active; ++t) {
                sum[t] += g[base + t];
                sumSq[t] += g[base + t] * g[base + t];
            }
        }
    }
}
#endif

// Normalised reference samples and gradients; false for a subset without contrast.
__device__ bool prepareReference(PointContext& c, const RuptureKernelArgs& a, int xc, int yc, Sums& acc) {
    const float norm = normaliseReference(c.block, c.subset, c.col, c.row, a.reference, a.referenceRow0, a.width,
                                          a.height, xc, yc, acc.v[0], acc.v[1], c.f, c.fx, c.fy);
    c.energy = norm * norm;
    return norm > 0.0f;
}

// Deformed samples under the first pass's warp, kept for the final comparison;
// their mean becomes the shift. False when a sample leaves the image.
template <int Kind>
__device__ bool sampleContinuous(PointContext& c, const float* warp, Sums& acc, PerThread<int>& flag) {
    const Block& block = c.block;
    SideWarps w;
    for (int k = 0; k < kWarpFloats; ++k) w.w[0][k] = w.w[1][k] = warp[k];
    PerThread<float>& sum = acc.v[0];
    block.forEachThreadNoSync([&](int t) {
        sum[t] = 0.0f;
        flag[t] = 0;
    });
    float* const gc = c.gc;
    const PointContext& cc = c;
    forEachSample(block, c.subset, c.col, c.row, [&, gc](int t, int s, float dx, float dy) TAVRO_INLINE_BODY {
        bool outside;
        const float g = sampleAt<Kind>(cc, dx, dy, w.u(0, dx, dy), w.v(0, dx, dy), outside);
        gc[s] = g;
        sum[t] += g;
        flag[t] |= outside ? 1 : 0;
    });
    const float mean = block.reduceSum(sum) / static_cast<float>(c.subset.count);
    if (block.reduceSum(flag) > 0) return false;
    forEachSample(block, c.subset, c.col, c.row, [=](int, int s, float, float) TAVRO_INLINE_BODY { gc[s] -= mean; });
    c.shift = mean;
    return true;
}

#if !TAVRO_GENERIC_KERNEL
// sideContrast's samples under each side's warp and, per thread, the sums of
// their values and squares; true when a sample leaves the image or the reach.
template <int Kind>
bool sampleBothSides(const PointContext& c, const SideWarps& w, float* __restrict ga, float* __restrict gb, Sums& acc) {
    FitTables& tables = fitTables(c.subset);
    const int count = c.subset.count;
    float* __restrict xa = tables.columns.data();
    float* __restrict ya = xa + count;
    float* __restrict xb = ya + count;
    float* __restrict yb = xb + count;
    const float* __restrict dxs = tables.dx.data();
    const float* __restrict dys = tables.dy.data();
    bool beyond = false;
    for (int s = 0; s < count; ++s) {
        const float dx = dxs[s], dy = dys[s];
        beyond |= samplePosition(c, dx, dy, w.u(0, dx, dy), w.v(0, dx, dy), xa[s], ya[s]);
        beyond |= samplePosition(c, dx, dy, w.u(1, dx, dy), w.v(1, dx, dy), xb[s], yb[s]);
    }
    const bool leavesA = interpolateRun<Kind>(c, xa, ya, nullptr, count, ga);
    const bool leavesB = interpolateRun<Kind>(c, xb, yb, nullptr, count, gb);
    addWeightedSums(c.block, count, nullptr, ga, &acc.v[0][0], &acc.v[1][0]);
    addWeightedSums(c.block, count, nullptr, gb, &acc.v[2][0], &acc.v[3][0]);
    return beyond || leavesA || leavesB;
}
#endif

// Per sample, how much better the positive side's warp explains it than the
// negative side's (the difference of their squared normalised residuals), into
// c.a. Both are judged as if they sampled whole pixels: a warp between pixels
// averages the deformed image's noise away, and on faint speckle under much
// noise the noise it sheds outweighs a jump's misfit, so that the warp nearer
// a half pixel looked better on both halves and the scan put the line at the
// subset's edge. `noiseEnergy` is at whole pixels, half of it each image's;
// zero (not measured) judges the raw residuals.
template <int Kind>
__device__ bool sideContrast(PointContext& c, const RuptureShared& sh, Sums& acc, PerThread<int>& flag,
                             float noiseEnergy) {
    const Block& block = c.block;
    SideWarps w;
    for (int side = 0; side < 2; ++side)
        for (int k = 0; k < kWarpFloats; ++k) w.w[side][k] = sh.side[side][k];
    block.forEachThreadNoSync([&](int t) {
        for (int k = 0; k < 4; ++k) acc.v[k][t] = 0.0f;
        flag[t] = 0;
    });
    float* const ga = c.a;
    float* const gb = c.b;
    const PointContext& cc = c;
#if !TAVRO_GENERIC_KERNEL
    flag[0] = sampleBothSides<Kind>(c, w, ga, gb, acc) ? 1 : 0;
#else
    forEachSample(block, c.subset, c.col, c.row, [&, ga, gb](int t, int s, float dx, float dy) TAVRO_INLINE_BODY {
        bool outsideA, outsideB;
        const float a = sampleAt<Kind>(cc, dx, dy, w.u(0, dx, dy), w.v(0, dx, dy), outsideA);
        const float b = sampleAt<Kind>(cc, dx, dy, w.u(1, dx, dy), w.v(1, dx, dy), outsideB);
        ga[s] = a;
        gb[s] = b;
        acc.v[0][t] += a;
        acc.v[1][t] += a * a;
        acc.v[2][t] += b;
        acc.v[3][t] += b * b;
        flag[t] |= outsideA || outsideB ? 1 : 0;
    });
#endif
    const float count = static_cast<float>(c.subset.count);
    const float meanA = block.reduceSum(acc.v[0]) / count;
    const float sqA = block.reduceSum(acc.v[1]);
    const float meanB = block.reduceSum(acc.v[2]) / count;
    const float sqB = block.reduceSum(acc.v[3]);
    if (block.reduceSum(flag) > 0) return false;
    const float inverseA = 1.0f / sqrtf(clampVariance(sqA - meanA * (meanA * count)));
    const float inverseB = 1.0f / sqrtf(clampVariance(sqB - meanB * (meanB * count)));
    const float* const f = c.f;
    const float lost = 0.5f * noiseEnergy / c.energy;
    forEachSample(block, c.subset, c.col, c.row, [=, &cc](int, int s, float dx, float dy) TAVRO_INLINE_BODY {
        const float ra = (ga[s] - meanA) * inverseA - f[s];
        const float rb = (gb[s] - meanB) * inverseB - f[s];
        const float shed = lost * (affineGain<Kind>(cc, w.w[0], dx, dy) - affineGain<Kind>(cc, w.w[1], dx, dy));
        ga[s] = rb * rb - ra * ra + shed;
    });
    // Every thread reads every sample's contrast in the scan.
    block.sync();
    return true;
}

// Scan cost of one line, up to a constant: the contrast summed over the
// positive side, blended across the line; kNoCost when a side is too small.
__device__ __forceinline__ float lineCost(const SubsetLayout& subset, const float* contrast, float alpha, float phi) {
    const Line line = Line::of(alpha, phi);
    const float slope = 0.5f / kRampHalfWidth;
    float cost = 0.0f;
    int positive = 0;
    for (int r = 0; r < subset.height; ++r) {
        const float rowDistance = line.ny * static_cast<float>(r - subset.halfY) - line.phi;
        for (int k = 0; k < subset.width; ++k) {
            const float d = rowDistance + line.nx * static_cast<float>(k - subset.halfX);
            // Comparisons rather than fminf/fmaxf, which the CPU build calls out of line.
            const float ramp = 0.5f + slope * d;
            const float h = ramp < 0.0f ? 0.0f : (ramp > 1.0f ? 1.0f : ramp);
            cost += h * contrast[k];
            positive += d > 0.0f ? 1 : 0;
        }
        contrast += subset.width;
    }
    const int smaller = positive < subset.count - positive ? positive : subset.count - positive;
    return static_cast<float>(smaller) < kMinSideShare * static_cast<float>(subset.count) ? kNoCost : cost;
}

#if !TAVRO_GENERIC_KERNEL
// On the CPU the scan and the fits' sums also come as AVX clones, picked at run
// time: the same products and sums in the same order (no fused multiply-add),
// so every processor gets the same bits.
#if defined(__x86_64__)
#define TAVRO_RUPTURE_CLONES __attribute__((target_clones("avx", "default")))
#else
#define TAVRO_RUPTURE_CLONES
#endif

// The CPU scores a whole grid before the threads pick their best: each line's
// sum is lineCost's, sample by sample in the same order, with one lane per
// position, so that a row of positions costs about as much as one line.
using ScanLanes = float __attribute__((vector_size(32)));
constexpr int kScanLanes = 8;
constexpr int kScanVectors = 4; // independent sums in flight
constexpr int kScanBatch = kScanLanes * kScanVectors;

// Costs and positive-side counts of the lines (nx, ny, phi[i]), i < kScanBatch,
// phi ascending. A sample that every line puts beyond the ramp on the negative
// side adds h = 0 (zero, when its contrast is finite) and no count, so it is
// passed over; one beyond the ramp on the positive side of every line adds its
// contrast times 1 and one count.
// The first k in [begin, end) where a test that turns true once stays true holds; end if none.
template <class Test>
__forceinline__ int firstColumn(int begin, int end, Test&& test) {
    while (begin < end) {
        const int middle = begin + (end - begin) / 2;
        if (test(middle))
            end = middle;
        else
            begin = middle + 1;
    }
    return begin;
}

static_assert(0.5f / kRampHalfWidth * kRampHalfWidth == 0.5f, "the ramp reaches 0 and 1 exactly at its ends");
TAVRO_RUPTURE_CLONES void batchCosts(const float* __restrict contrast, const SubsetLayout& subset, float nx, float ny,
                                     const float* phis, bool finite, float* costs, int* positives) {
    const float slope = 0.5f / kRampHalfWidth;
    const ScanLanes zero = {}, one = zero + 1.0f;
    // Counts as floats (exact below 2^24 samples): AVX has no eight-lane integer add.
    ScanLanes phi[kScanVectors], cost[kScanVectors], positive[kScanVectors];
    for (int v = 0; v < kScanVectors; ++v) {
        std::memcpy(&phi[v], phis + v * kScanLanes, sizeof phi[v]);
        cost[v] = zero;
        positive[v] = zero;
    }
    for (int r = 0; r < subset.height; ++r) {
        const float rowOffset = ny * static_cast<float>(r - subset.halfY);
        ScanLanes rowDistance[kScanVectors];
        for (int v = 0; v < kScanVectors; ++v) rowDistance[v] = rowOffset - phi[v];
        // The first line's distances are the largest, the last line's the smallest.
        const float largest = rowOffset - phis[0], smallest = rowOffset - phis[kScanBatch - 1];
        auto columnOffset = [&](int k) { return nx * static_cast<float>(k - subset.halfX); };
        auto passed = [&](int k) { return finite && largest + columnOffset(k) <= -kRampHalfWidth; };
        auto beyond = [&](int k) { return smallest + columnOffset(k) >= kRampHalfWidth; };
        // Both tests are monotonic along the row, the way nx points: the passed
        // columns lie at one end, those beyond the ramp at the other.
        int fullBegin, fullEnd, beyondBegin, beyondEnd;
        if (nx < 0.0f) {
            beyondBegin = 0;
            beyondEnd = fullBegin = firstColumn(0, subset.width, [&](int k) { return !beyond(k); });
            fullEnd = firstColumn(fullBegin, subset.width, passed);
        } else {
            fullBegin = firstColumn(0, subset.width, [&](int k) { return !passed(k); });
            fullEnd = beyondBegin = firstColumn(fullBegin, subset.width, beyond);
            beyondEnd = subset.width;
        }
        auto addBeyond = [&](int begin, int end) {
            for (int k = begin; k < end; ++k)
                for (int v = 0; v < kScanVectors; ++v) {
                    cost[v] += contrast[k];
                    positive[v] += one;
                }
        };
        if (nx < 0.0f) addBeyond(beyondBegin, beyondEnd);
        for (int k = fullBegin; k < fullEnd; ++k) {
            const float offset = columnOffset(k);
            const float value = contrast[k];
            for (int v = 0; v < kScanVectors; ++v) {
                const ScanLanes d = rowDistance[v] + offset;
                const ScanLanes ramp = 0.5f + slope * d;
                const ScanLanes h = ramp < zero ? zero : (ramp > one ? one : ramp);
                cost[v] += h * value;
                positive[v] += d > zero ? one : zero;
            }
        }
        if (!(nx < 0.0f)) addBeyond(beyondBegin, beyondEnd);
        contrast += subset.width;
    }
    for (int v = 0; v < kScanVectors; ++v) {
        std::memcpy(costs + v * kScanLanes, &cost[v], sizeof cost[v]);
        for (int k = 0; k < kScanLanes; ++k) positives[v * kScanLanes + k] = static_cast<int>(positive[v][k]);
    }
}

float* scanCostScratch(int candidates) {
    thread_local std::vector<float> costs;
    if (costs.size() < static_cast<size_t>(candidates)) costs.resize(static_cast<size_t>(candidates));
    return costs.data();
}

// lineCost of every candidate of the grid, in the candidates' order.
void gridCosts(const SubsetLayout& subset, const float* contrast, const ScanGrid& grid, float* costs) {
    float phis[kScanBatch], batch[kScanBatch];
    int positives[kScanBatch];
    bool finite = true;
    for (int s = 0; s < subset.count; ++s) finite &= isFinite(contrast[s]);
    for (int i = 0; i < grid.alphaCount; ++i) {
        const Line line = Line::of(grid.alpha0 + grid.alphaStep * static_cast<float>(i), 0.0f);
        for (int first = 0; first < grid.phiCount; first += kScanBatch) {
            // Lanes past the last position score positions beyond it, unused.
            for (int k = 0; k < kScanBatch; ++k) phis[k] = grid.phi0 + grid.phiStep * static_cast<float>(first + k);
            batchCosts(contrast, subset, line.nx, line.ny, phis, finite, batch, positives);
            const int used = grid.phiCount - first < kScanBatch ? grid.phiCount - first : kScanBatch;
            for (int k = 0; k < used; ++k) {
                const int smaller = positives[k] < subset.count - positives[k] ? positives[k]
                                                                               : subset.count - positives[k];
                costs[i * grid.phiCount + first + k] =
                    static_cast<float>(smaller) < kMinSideShare * static_cast<float>(subset.count) ? kNoCost
                                                                                                   : batch[k];
            }
        }
    }
}
#endif

// Offset of a parabola's vertex through three equally spaced costs, in steps.
__device__ float vertexOffset(float below, float centre, float above) {
    if (!(below < kNoCost) || !(above < kNoCost)) return 0.0f;
    const float curvature = below - 2.0f * centre + above;
    if (!(curvature > 0.0f)) return 0.0f;
    const float offset = 0.5f * (below - above) / curvature;
    return offset < -0.5f ? -0.5f : (offset > 0.5f ? 0.5f : offset);
}

// The best line of the grid, then a parabola through its neighbours in each direction.
__device__ bool scanLine(PointContext& c, RuptureShared& sh, const ScanGrid& grid, PerThread<float>& bestScore,
                         PerThread<int>& bestCandidate) {
    const Block& block = c.block;
    const int candidates = grid.alphaCount * grid.phiCount;
    const PointContext& cc = c;
#if !TAVRO_GENERIC_KERNEL
    float* const costs = scanCostScratch(candidates);
    gridCosts(c.subset, c.a, grid, costs);
#endif
    block.forEachThreadNoSync([&](int t) {
        float best = kNoCost;
        int index = -1;
        for (int candidate = t; candidate < candidates; candidate += block.size()) {
#if !TAVRO_GENERIC_KERNEL
            const float cost = costs[candidate];
#else
            const int i = candidate / grid.phiCount, k = candidate - i * grid.phiCount;
            const float cost = lineCost(cc.subset, cc.a, grid.alpha0 + grid.alphaStep * static_cast<float>(i),
                                        grid.phi0 + grid.phiStep * static_cast<float>(k));
#endif
            if (cost < best) {
                best = cost;
                index = candidate;
            }
        }
        bestScore[t] = -best;
        bestCandidate[t] = index;
    });
    const gpu::ArgMaxResult<float, int> best = block.argMax<kMaxThreads>(bestScore, bestCandidate);
    if (best.payload < 0) return false;
    const int i = best.payload / grid.phiCount, k = best.payload - i * grid.phiCount;
    const float alpha = grid.alpha0 + grid.alphaStep * static_cast<float>(i);
    const float phi = grid.phi0 + grid.phiStep * static_cast<float>(k);
    block.forEachThread([&](int t) {
        if (t >= 4) return;
        const float da = t == 0 ? -grid.alphaStep : (t == 1 ? grid.alphaStep : 0.0f);
        const float dp = t == 2 ? -grid.phiStep : (t == 3 ? grid.phiStep : 0.0f);
        sh.cost[1 + t] = lineCost(cc.subset, cc.a, alpha + da, phi + dp);
    });
    block.single([&] {
        sh.cost[0] = -best.score;
        sh.alpha = alpha + grid.alphaStep * vertexOffset(sh.cost[1], sh.cost[0], sh.cost[2]);
        sh.phi = phi + grid.phiStep * vertexOffset(sh.cost[3], sh.cost[0], sh.cost[4]);
    });
    return true;
}

// Starting parameters of a fit from the two sides' warps.
template <bool Twin>
__device__ void startFit(RuptureShared& sh, const Line& line) {
    if constexpr (Twin) {
        for (int k = 0; k < 2 * kWarpFloats; ++k) sh.p[k] = sh.side[k / kWarpFloats][k % kWarpFloats];
    } else {
        // Shared gradients: the jump and the mean of the two warps at the foot of the line.
        const float fx = line.phi * line.nx, fy = line.phi * line.ny;
        for (int k = 2; k < kWarpFloats; ++k) sh.p[k] = 0.5f * (sh.side[0][k] + sh.side[1][k]);
        for (int k = 0; k < 2; ++k) {
            const float* a = sh.side[0];
            const float* b = sh.side[1];
            const float atFootA = a[k] + a[2 + 2 * k] * fx + a[3 + 2 * k] * fy;
            const float atFootB = b[k] + b[2 + 2 * k] * fx + b[3 + 2 * k] * fy;
            sh.p[6 + k] = atFootB - atFootA;
            sh.p[k] = 0.5f * (atFootA + atFootB) - (sh.p[2 + 2 * k] * fx + sh.p[3 + 2 * k] * fy);
        }
    }
}

// Solves for the increment, updates the parameters and answers the status.
template <bool Twin>
__device__ int updateFit(RuptureShared& sh, const float* sums, float tolerance2) {
    float delta[12];
    if constexpr (Twin) {
        for (int side = 0; side < 2; ++side) {
            if (!factorUpper<6>(sums + 21 * side, sh.L[side])) return kFailed;
            choleskySolve<6>(sh.L[side], sums + 42 + 6 * side, delta + 6 * side);
        }
    } else {
        if (!factorUpper<8>(sums, sh.L[0])) return kFailed;
        choleskySolve<8>(sh.L[0], sums + 36, delta);
    }
    constexpr int n = Twin ? 12 : 8;
    float norm2 = 0.0f;
    for (int k = 0; k < n; ++k) {
        const float value = sh.p[k] - delta[k];
        if (!isFinite(value)) return kFailed;
        norm2 += delta[k] * delta[k];
    }
    for (int k = 0; k < n; ++k) sh.p[k] -= delta[k];
    sh.step2 = norm2;
    return norm2 < tolerance2 ? kConverged : kRunning;
}

// Statistics of the fitted samples of each group (one group, or one per side
// when twinning): count, mean and inverse norm of the reference.
struct GroupStats {
    float count[2];
    float mean[2];
    float inverseNorm[2];
};

#if !TAVRO_GENERIC_KERNEL
// One per-thread sum: a * b, or a * (b * c) when c is given.
struct ProductSum {
    const float* a;
    const float* b;
    const float* c;
    float* sum;
};

TAVRO_RUPTURE_CLONES void addProducts(const ProductSum* products, int n, int count, int size) {
    for (int p = 0; p < n; ++p) {
        const float* __restrict a = products[p].a;
        const float* __restrict b = products[p].b;
        const float* __restrict c = products[p].c;
        float* __restrict sum = products[p].sum;
        for (int base = 0; base < count; base += size) {
            const int active = count - base < size ? count - base : size;
            if (c) {
                for (int t = 0; t < active; ++t) sum[t] += a[base + t] * (b[base + t] * c[base + t]);
            } else {
                for (int t = 0; t < active; ++t) sum[t] += a[base + t] * b[base + t];
            }
        }
    }
}

// The Hessian's upper triangle and the right-hand side of fitSides, per
// thread, in the order and with the products of its generic sample loop.
template <bool Twin>
void sideFitSums(const PointContext& c, const Line& line, const float* __restrict warped, const float (&gMean)[2],
                 const float (&gInverse)[2], const GroupStats& ref, const float (&carry)[2][4], Sums& acc) {
    FitTables& tables = fitTables(c.subset);
    const int count = c.subset.count;
    constexpr int jacobians = Twin ? 12 : 8;
    float* j[jacobians];
    for (int p = 0; p < jacobians; ++p) j[p] = tables.columns.data() + static_cast<size_t>(p) * count;
    float* __restrict residual = tables.columns.data() + static_cast<size_t>(jacobians) * count;
    const float* __restrict dxs = tables.dx.data();
    const float* __restrict dys = tables.dy.data();
    const float* __restrict f = c.f;
    const float* __restrict fx = c.fx;
    const float* __restrict fy = c.fy;
    for (int s = 0; s < count; ++s) {
        const float dx = dxs[s], dy = dys[s];
        const float d = line.distance(dx, dy);
        const bool used = !(fabsf(d) < kBlindBand);
        const int side = d > 0.0f ? 1 : 0;
        const int g = Twin ? side : 0;
        const float r =
            (warped[s] - bySide(g, gMean[0], gMean[1])) * bySide(g, gInverse[0], gInverse[1]) -
            (f[s] - bySide(g, ref.mean[0], ref.mean[1])) * bySide(g, ref.inverseNorm[0], ref.inverseNorm[1]);
        const float gx =
            bySide(side, carry[0][0], carry[1][0]) * fx[s] + bySide(side, carry[0][1], carry[1][1]) * fy[s];
        const float gy =
            bySide(side, carry[0][2], carry[1][2]) * fx[s] + bySide(side, carry[0][3], carry[1][3]) * fy[s];
        float column[jacobians];
        if constexpr (Twin) {
            const float weight[2] = {1.0f - static_cast<float>(side), static_cast<float>(side)};
            for (int part = 0; part < 2; ++part) {
                column[6 * part + 0] = weight[part] * gx;
                column[6 * part + 1] = weight[part] * gy;
                column[6 * part + 2] = weight[part] * gx * dx;
                column[6 * part + 3] = weight[part] * gx * dy;
                column[6 * part + 4] = weight[part] * gy * dx;
                column[6 * part + 5] = weight[part] * gy * dy;
            }
        } else {
            const float h = side == 1 ? 0.5f : -0.5f;
            const float terms[8] = {gx, gy, gx * dx, gx * dy, gy * dx, gy * dy, gx * h, gy * h};
            for (int p = 0; p < 8; ++p) column[p] = terms[p];
        }
        for (int p = 0; p < jacobians; ++p) j[p][s] = used ? column[p] : 0.0f;
        residual[s] = used ? r : 0.0f;
    }
    ProductSum products[kSums];
    int n = 0;
    constexpr int parts = Twin ? 2 : 1;
    constexpr int perPart = Twin ? 6 : 8;
    for (int part = 0; part < parts; ++part) {
        int k = Twin ? 21 * part : 0;
        const int rhs = Twin ? 42 + 6 * part : 36;
        for (int p = 0; p < perPart; ++p) {
            for (int q = p; q < perPart; ++q)
                products[n++] = {j[perPart * part + p], j[perPart * part + q], nullptr, &acc.v[k++][0]};
            products[n++] = {residual, j[perPart * part + p], nullptr, &acc.v[rhs + p][0]};
        }
    }
    addProducts(products, n, count, c.block.size());
}

#endif

#if !TAVRO_GENERIC_KERNEL
// fitSides' warped samples and, per thread, the sums of each group's values and
// squares; a sample left out of the fit is not read, weighs 0 and keeps 0.
// True when a sample leaves the image or the reach.
template <int Kind, bool Twin>
bool sampleSides(const PointContext& c, const Line& line, const SideWarps& w, float* __restrict warped, Sums& acc) {
    FitTables& tables = fitTables(c.subset);
    const int count = c.subset.count;
    float* __restrict x = tables.columns.data();
    float* __restrict y = x + count;
    float* __restrict minus = y + count;
    float* __restrict plus = minus + count;
    float* __restrict mask = plus + count;
    const float* __restrict dxs = tables.dx.data();
    const float* __restrict dys = tables.dy.data();
    bool beyond = false;
    for (int s = 0; s < count; ++s) {
        const float dx = dxs[s], dy = dys[s];
        const float d = line.distance(dx, dy);
        const bool used = !(fabsf(d) < kBlindBand);
        const int side = d > 0.0f ? 1 : 0;
        float px, py;
        const bool far = samplePosition(c, dx, dy, w.u(side, dx, dy), w.v(side, dx, dy), px, py);
        beyond |= used && far;
        x[s] = px;
        y[s] = py;
        const float weight = Twin ? static_cast<float>(side) : 0.0f;
        plus[s] = used ? weight : 0.0f;
        minus[s] = used ? 1.0f - weight : 0.0f;
        mask[s] = used ? 1.0f : 0.0f;
    }
    const bool leaves = interpolateRun<Kind>(c, x, y, mask, count, warped);
    addWeightedSums(c.block, count, minus, warped, &acc.v[0][0], &acc.v[1][0]);
    addWeightedSums(c.block, count, plus, warped, &acc.v[2][0], &acc.v[3][0]);
    return beyond || leaves;
}
#endif

// Gauss-Newton on the enriched warp for the current line, forward additive:
// the deformed image's gradient at a warped sample is taken from the
// reference, carried through the side's gradients (M^-T grad f), so the
// Jacobian needs no deformed gradients. The samples near the line are left out.
template <int Kind, bool Twin>
__device__ bool fitSides(PointContext& c, RuptureShared& sh, Sums& acc, PerThread<int>& flag, int maxIterations,
                         float tolerance2) {
    const Block& block = c.block;
    const Line line = Line::of(sh.alpha, sh.phi);
    const float* const f = c.f;
    block.forEachThreadNoSync([&](int t) {
        for (int k = 0; k < 6; ++k) acc.v[k][t] = 0.0f;
    });
    forEachSample(block, c.subset, c.col, c.row, [&, f](int t, int s, float dx, float dy) TAVRO_INLINE_BODY {
        const float d = line.distance(dx, dy);
        if (fabsf(d) < kBlindBand) return;
        // Weights rather than an index: a computed index into the slots would
        // send them all to local memory on the GPU.
        const float plus = d > 0.0f ? 1.0f : 0.0f, minus = 1.0f - plus;
        const float value = f[s];
        acc.v[0][t] += minus;
        acc.v[1][t] += minus * value;
        acc.v[2][t] += minus * value * value;
        acc.v[3][t] += plus;
        acc.v[4][t] += plus * value;
        acc.v[5][t] += plus * value * value;
    });
    float totals[6];
    for (int k = 0; k < 6; ++k) totals[k] = block.reduceSum(acc.v[k]);
    GroupStats ref;
    for (int g = 0; g < 2; ++g) {
        const int side = Twin ? g : 0;
        const float n = Twin ? totals[3 * side] : totals[0] + totals[3];
        const float sum = Twin ? totals[3 * side + 1] : totals[1] + totals[4];
        const float sumSq = Twin ? totals[3 * side + 2] : totals[2] + totals[5];
        ref.count[g] = n;
        ref.mean[g] = n > 0.0f ? sum / n : 0.0f;
        ref.inverseNorm[g] = 1.0f / sqrtf(clampVariance(sumSq - ref.mean[g] * sum));
    }
    if (totals[0] < 8.0f || totals[3] < 8.0f) return false;

    block.single([&] {
        startFit<Twin>(sh, line);
        sh.status = kRunning;
    });
    float* const warped = c.b;
    [[maybe_unused]] const float* const fx = c.fx;
    [[maybe_unused]] const float* const fy = c.fy;
    [[maybe_unused]] const PointContext& cc = c;
    for (int iteration = 0; iteration < maxIterations; ++iteration) {
        const SideWarps w = warpsOf<Twin>(sh.p);

        // Warped samples and their statistics.
        block.forEachThreadNoSync([&](int t) {
            for (int k = 0; k < 4; ++k) acc.v[k][t] = 0.0f;
            flag[t] = 0;
        });
#if !TAVRO_GENERIC_KERNEL
        flag[0] = sampleSides<Kind, Twin>(c, line, w, warped, acc) ? 1 : 0;
#else
        forEachSample(block, c.subset, c.col, c.row, [&, warped](int t, int s, float dx, float dy) TAVRO_INLINE_BODY {
            const float d = line.distance(dx, dy);
            if (fabsf(d) < kBlindBand) return;
            const int side = d > 0.0f ? 1 : 0;
            bool outside;
            const float g = sampleAt<Kind>(cc, dx, dy, w.u(side, dx, dy), w.v(side, dx, dy), outside);
            warped[s] = g;
            const float plus = Twin ? static_cast<float>(side) : 0.0f, minus = 1.0f - plus;
            acc.v[0][t] += minus * g;
            acc.v[1][t] += minus * g * g;
            acc.v[2][t] += plus * g;
            acc.v[3][t] += plus * g * g;
            flag[t] |= outside ? 1 : 0;
        });
#endif
        float gSums[4];
        for (int k = 0; k < 4; ++k) gSums[k] = block.reduceSum(acc.v[k]);
        if (block.reduceSum(flag) > 0) return false;
        float gMean[2], gInverse[2];
        for (int g = 0; g < 2; ++g) {
            const int base = Twin ? 2 * g : 0;
            gMean[g] = gSums[base] / ref.count[g];
            gInverse[g] = 1.0f / sqrtf(clampVariance(gSums[base + 1] - gMean[g] * gSums[base]));
        }
        // M^-T per side, scaled by the reference group's inverse norm.
        float carry[2][4];
        for (int side = 0; side < 2; ++side) {
            const float* a = w.w[side];
            const float det = (1.0f + a[2]) * (1.0f + a[5]) - a[3] * a[4];
            const float scale =
                (isFinite(det) && fabsf(det) > 1e-6f ? 1.0f / det : 1.0f) * ref.inverseNorm[Twin ? side : 0];
            carry[side][0] = (1.0f + a[5]) * scale;
            carry[side][1] = -a[4] * scale;
            carry[side][2] = -a[3] * scale;
            carry[side][3] = (1.0f + a[2]) * scale;
        }

        // Residuals, Hessian (upper triangle) and right-hand side.
        clearSums<kSums>(block, acc);
#if !TAVRO_GENERIC_KERNEL
        sideFitSums<Twin>(c, line, warped, gMean, gInverse, ref, carry, acc);
#else
        forEachSample(
            block, c.subset, c.col, c.row, [&, warped, f, fx, fy](int t, int s, float dx, float dy) TAVRO_INLINE_BODY {
                const float d = line.distance(dx, dy);
                if (fabsf(d) < kBlindBand) return;
                const int side = d > 0.0f ? 1 : 0;
                const int g = Twin ? side : 0;
                const float r =
                    (warped[s] - bySide(g, gMean[0], gMean[1])) * bySide(g, gInverse[0], gInverse[1]) -
                    (f[s] - bySide(g, ref.mean[0], ref.mean[1])) * bySide(g, ref.inverseNorm[0], ref.inverseNorm[1]);
                const float gx =
                    bySide(side, carry[0][0], carry[1][0]) * fx[s] + bySide(side, carry[0][1], carry[1][1]) * fy[s];
                const float gy =
                    bySide(side, carry[0][2], carry[1][2]) * fx[s] + bySide(side, carry[0][3], carry[1][3]) * fy[s];
                if constexpr (Twin) {
                    const float weight[2] = {1.0f - static_cast<float>(side), static_cast<float>(side)};
                    TAVRO_UNROLL
                    for (int part = 0; part < 2; ++part) {
                        const float j[6] = {weight[part] * gx,      weight[part] * gy,      weight[part] * gx * dx,
                                            weight[part] * gx * dy, weight[part] * gy * dx, weight[part] * gy * dy};
                        int k = 21 * part;
                        TAVRO_UNROLL
                        for (int p = 0; p < 6; ++p) {
                            TAVRO_UNROLL
                            for (int q = p; q < 6; ++q) acc.v[k++][t] += j[p] * j[q];
                            acc.v[42 + 6 * part + p][t] += r * j[p];
                        }
                    }
                } else {
                    const float h = side == 1 ? 0.5f : -0.5f;
                    const float j[8] = {gx, gy, gx * dx, gx * dy, gy * dx, gy * dy, gx * h, gy * h};
                    int k = 0;
                    TAVRO_UNROLL
                    for (int p = 0; p < 8; ++p) {
                        TAVRO_UNROLL
                        for (int q = p; q < 8; ++q) acc.v[k++][t] += j[p] * j[q];
                        acc.v[36 + p][t] += r * j[p];
                    }
                }
            });
#endif
        constexpr int used = Twin ? 54 : 44;
        float sums[kSums];
        TAVRO_UNROLL
        for (int k = 0; k < kSums; ++k) sums[k] = k < used ? block.reduceSum(acc.v[k]) : 0.0f;
        block.single([&] { sh.status = updateFit<Twin>(sh, sums, tolerance2); });
        if (sh.status != kRunning) break;
    }
    if (sh.status == kFailed) return false;
    block.single([&] {
        const SideWarps w = warpsOf<Twin>(sh.p);
        for (int side = 0; side < 2; ++side)
            for (int k = 0; k < kWarpFloats; ++k) sh.side[side][k] = w.w[side][k];
    });
    return true;
}

// The jump's variance matrix (up to the residual variance) from a factor:
// rows of the jump's derivative D, answers D H^-1 D^T (2 x 2, row-major).
template <int P>
__device__ void jumpVariance(const float* l, const float (&d)[2][P], float (&z)[4]) {
    float y[2][P];
    for (int r = 0; r < 2; ++r) choleskySolve<P>(l, d[r], y[r]);
    for (int r = 0; r < 2; ++r)
        for (int q = 0; q < 2; ++q) {
            float s = 0.0f;
            for (int k = 0; k < P; ++k) s += d[r][k] * y[q][k];
            z[2 * r + q] = s;
        }
}

// Coefficients of a second-order warp's displacement at (dx, dy).
__device__ __forceinline__ void quadraticBasis(float dx, float dy, float (&b)[6]) {
    b[0] = 1.0f;
    b[1] = dx;
    b[2] = dy;
    b[3] = 0.5f * dx * dx;
    b[4] = dx * dy;
    b[5] = 0.5f * dy * dy;
}

// The second-order warp q's displacement (u, v) at offset (dx, dy).
__device__ __forceinline__ void quadraticDisplacement(const float (&q)[12], float dx, float dy, float& u, float& v) {
    float b[6];
    quadraticBasis(dx, dy, b);
    u = 0.0f;
    v = 0.0f;
    TAVRO_UNROLL
    for (int k = 0; k < 6; ++k) {
        u += q[k] * b[k];
        v += q[6 + k] * b[k];
    }
}

#if !TAVRO_GENERIC_KERNEL
// Both passes' sums of fitQuadratic, per thread, as its generic sample loop forms them.
struct QuadraticColumns {
    const float* gxx;
    const float* gyy;
    const float* gxy;
    const float* rgx;
    const float* rgy;
    const float* basis[6];
};

QuadraticColumns quadraticColumns(const PointContext& c, const Line& line, const float* __restrict warped,
                                  float gMean, float gInverse, float fMean, float fInverse, const float (&carry)[4]) {
    FitTables& tables = fitTables(c.subset);
    const int count = c.subset.count;
    float* column[11];
    for (int p = 0; p < 11; ++p) column[p] = tables.columns.data() + static_cast<size_t>(p) * count;
    const float* __restrict dxs = tables.dx.data();
    const float* __restrict dys = tables.dy.data();
    const float* __restrict f = c.f;
    const float* __restrict fx = c.fx;
    const float* __restrict fy = c.fy;
    for (int s = 0; s < count; ++s) {
        const float dx = dxs[s], dy = dys[s];
        const bool used = !(fabsf(line.distance(dx, dy)) < kBlindBand);
        const float r = (warped[s] - gMean) * gInverse - (f[s] - fMean) * fInverse;
        const float gx = carry[0] * fx[s] + carry[1] * fy[s];
        const float gy = carry[2] * fx[s] + carry[3] * fy[s];
        float b[6];
        quadraticBasis(dx, dy, b);
        const float values[5] = {gx * gx, gy * gy, gx * gy, r * gx, r * gy};
        for (int p = 0; p < 5; ++p) column[p][s] = used ? values[p] : 0.0f;
        for (int p = 0; p < 6; ++p) column[5 + p][s] = b[p];
    }
    return {column[0], column[1], column[2], column[3], column[4],
            {column[5], column[6], column[7], column[8], column[9], column[10]}};
}

void quadraticSums(const PointContext& c, const QuadraticColumns& q, int pass, Sums& acc) {
    ProductSum products[kSums];
    int n = 0, k = 0;
    for (int i = 0; i < 6; ++i) {
        for (int j = i; j < 6; ++j, ++k) {
            if (pass == 0) {
                products[n++] = {q.gxx, q.basis[i], q.basis[j], &acc.v[k][0]};
                products[n++] = {q.gyy, q.basis[i], q.basis[j], &acc.v[21 + k][0]};
            } else {
                products[n++] = {q.gxy, q.basis[i], q.basis[j], &acc.v[k][0]};
            }
        }
        if (pass == 0) {
            products[n++] = {q.rgx, q.basis[i], nullptr, &acc.v[42 + i][0]};
            products[n++] = {q.rgy, q.basis[i], nullptr, &acc.v[48 + i][0]};
        }
    }
    addProducts(products, n, c.subset.count, c.block.size());
}
// fitQuadratic's warped samples and, per thread, the sums of their values,
// squares and products with the reference; as sampleSides, a sample left out
// of the fit is not read and keeps 0.
template <int Kind>
bool sampleQuadratic(const PointContext& c, const Line& line, const float (&q)[12], float* __restrict warped,
                     Sums& acc) {
    FitTables& tables = fitTables(c.subset);
    const int count = c.subset.count;
    float* __restrict x = tables.columns.data();
    float* __restrict y = x + count;
    float* __restrict mask = y + count;
    const float* __restrict dxs = tables.dx.data();
    const float* __restrict dys = tables.dy.data();
    bool beyond = false;
    for (int s = 0; s < count; ++s) {
        const float dx = dxs[s], dy = dys[s];
        const bool used = !(fabsf(line.distance(dx, dy)) < kBlindBand);
        float b[6];
        quadraticBasis(dx, dy, b);
        float u = 0.0f, v = 0.0f;
        for (int k = 0; k < 6; ++k) {
            u += q[k] * b[k];
            v += q[6 + k] * b[k];
        }
        const bool far = samplePosition(c, dx, dy, u, v, x[s], y[s]);
        beyond |= used && far;
        mask[s] = used ? 1.0f : 0.0f;
    }
    const bool leaves = interpolateRun<Kind>(c, x, y, mask, count, warped);
    addWeightedSums(c.block, count, nullptr, warped, &acc.v[0][0], &acc.v[1][0]);
    const ProductSum cross{warped, c.f, nullptr, &acc.v[2][0]};
    addProducts(&cross, 1, count, c.block.size());
    return beyond || leaves;
}

#endif

// The smooth alternative to a crack: a second-order warp fitted from `start`
// by Gauss-Newton on the samples of the enriched fit (as fitSides does). A
// strongly curved field, which a jump can imitate in part, is explained by it
// at least as well; a jump is not. Its zero-normalised SSD goes to `cost`.
template <int Kind>
__device__ bool fitQuadratic(PointContext& c, RuptureShared& sh, Sums& acc, PerThread<int>& flag, const float* start,
                             int maxIterations, float tolerance2, float& cost) {
    const Block& block = c.block;
    const Line line = Line::of(sh.alpha, sh.phi);
    const float* const f = c.f;
    [[maybe_unused]] const float* const fx = c.fx;
    [[maybe_unused]] const float* const fy = c.fy;
    float* const warped = c.b;
    [[maybe_unused]] const PointContext& cc = c;
    block.forEachThreadNoSync([&](int t) {
        for (int k = 0; k < 3; ++k) acc.v[k][t] = 0.0f;
    });
    forEachSample(block, c.subset, c.col, c.row, [&, f](int t, int s, float dx, float dy) TAVRO_INLINE_BODY {
        if (fabsf(line.distance(dx, dy)) < kBlindBand) return;
        acc.v[0][t] += 1.0f;
        acc.v[1][t] += f[s];
        acc.v[2][t] += f[s] * f[s];
    });
    const float n = block.reduceSum(acc.v[0]), fSum = block.reduceSum(acc.v[1]), fSq = block.reduceSum(acc.v[2]);
    const float fMean = fSum / n, fInverse = 1.0f / sqrtf(clampVariance(fSq - fMean * fSum));
    block.single([&] {
        const float first[12] = {start[0], start[2], start[3], 0.0f, 0.0f, 0.0f,
                                 start[1], start[4], start[5], 0.0f, 0.0f, 0.0f};
        for (int k = 0; k < 12; ++k) sh.q[k] = first[k];
        sh.status = kRunning;
    });
    for (int iteration = 0;; ++iteration) {
        float q[12];
        for (int k = 0; k < 12; ++k) q[k] = sh.q[k];
        block.forEachThreadNoSync([&](int t) {
            for (int k = 0; k < 3; ++k) acc.v[k][t] = 0.0f;
            flag[t] = 0;
        });
#if !TAVRO_GENERIC_KERNEL
        flag[0] = sampleQuadratic<Kind>(c, line, q, warped, acc) ? 1 : 0;
#else
        forEachSample(block, c.subset, c.col, c.row,
                      [&, f, warped](int t, int s, float dx, float dy) TAVRO_INLINE_BODY {
                          if (fabsf(line.distance(dx, dy)) < kBlindBand) return;
                          float u, v;
                          quadraticDisplacement(q, dx, dy, u, v);
                          bool outside;
                          const float g = sampleAt<Kind>(cc, dx, dy, u, v, outside);
                          warped[s] = g;
                          acc.v[0][t] += g;
                          acc.v[1][t] += g * g;
                          acc.v[2][t] += g * f[s];
                          flag[t] |= outside ? 1 : 0;
                      });
#endif
        const float gSum = block.reduceSum(acc.v[0]), gSq = block.reduceSum(acc.v[1]);
        const float cross = block.reduceSum(acc.v[2]);
        if (block.reduceSum(flag) > 0) return false;
        if (sh.status != kRunning || iteration == maxIterations) {
            cost = zeroNormalisedCost(n, fSum, fSq, gSum, gSq, cross);
            return sh.status != kFailed;
        }
        const float gMean = gSum / n, gInverse = 1.0f / sqrtf(clampVariance(gSq - gMean * gSum));
        const float det = (1.0f + q[1]) * (1.0f + q[8]) - q[2] * q[7];
        const float scale = (isFinite(det) && fabsf(det) > 1e-6f ? 1.0f / det : 1.0f) * fInverse;
        const float carry[4] = {(1.0f + q[8]) * scale, -q[7] * scale, -q[2] * scale, (1.0f + q[1]) * scale};

        // The u and v blocks of the Hessian and the right-hand side, then the block between them.
        float sums[75];
#if !TAVRO_GENERIC_KERNEL
        const QuadraticColumns columns = quadraticColumns(c, line, warped, gMean, gInverse, fMean, fInverse, carry);
#endif
        for (int pass = 0; pass < 2; ++pass) {
            clearSums<kSums>(block, acc);
#if !TAVRO_GENERIC_KERNEL
            quadraticSums(c, columns, pass, acc);
#else
            forEachSample(block, c.subset, c.col, c.row,
                          [&, f, fx, fy, warped](int t, int s, float dx, float dy) TAVRO_INLINE_BODY {
                              if (fabsf(line.distance(dx, dy)) < kBlindBand) return;
                              const float r = (warped[s] - gMean) * gInverse - (f[s] - fMean) * fInverse;
                              const float gx = carry[0] * fx[s] + carry[1] * fy[s];
                              const float gy = carry[2] * fx[s] + carry[3] * fy[s];
                              float b[6];
                              quadraticBasis(dx, dy, b);
                              int k = 0;
                              TAVRO_UNROLL
                              for (int i = 0; i < 6; ++i) {
                                  TAVRO_UNROLL
                                  for (int j = i; j < 6; ++j) {
                                      const float bb = b[i] * b[j];
                                      if (pass == 0) {
                                          acc.v[k][t] += gx * gx * bb;
                                          acc.v[21 + k][t] += gy * gy * bb;
                                      } else {
                                          acc.v[k][t] += gx * gy * bb;
                                      }
                                      ++k;
                                  }
                                  if (pass == 0) {
                                      acc.v[42 + i][t] += r * gx * b[i];
                                      acc.v[48 + i][t] += r * gy * b[i];
                                  }
                              }
                          });
#endif
            TAVRO_UNROLL
            for (int k = 0; k < kSums; ++k)
                if (pass == 0 || k < 21) sums[pass == 0 ? k : 54 + k] = block.reduceSum(acc.v[k]);
        }
        block.single([&] {
            float h[144];
            int k = 0;
            for (int i = 0; i < 6; ++i)
                for (int j = i; j < 6; ++j, ++k) {
                    h[i * 12 + j] = h[j * 12 + i] = sums[k];
                    h[(6 + i) * 12 + 6 + j] = h[(6 + j) * 12 + 6 + i] = sums[21 + k];
                    h[i * 12 + 6 + j] = h[(6 + j) * 12 + i] = sums[54 + k];
                    h[j * 12 + 6 + i] = h[(6 + i) * 12 + j] = sums[54 + k];
                }
            for (int i = 0; i < 12; ++i) h[i * 12 + i] += 1e-6f;
            float delta[12];
            if (!choleskyFactor<12>(h, sh.quadraticL)) {
                sh.status = kFailed;
                return;
            }
            choleskySolve<12>(sh.quadraticL, sums + 42, delta);
            float norm2 = 0.0f;
            for (int i = 0; i < 12; ++i) {
                sh.q[i] -= delta[i];
                norm2 += delta[i] * delta[i];
            }
            sh.status = !isFinite(norm2) ? kFailed : (norm2 < tolerance2 ? kConverged : kRunning);
        });
    }
}

// Compares the enriched warp with the continuous one on the fitted samples and
// writes the point's answer; angles are turned into (-90, 90].
template <int Kind, bool Twin>
__device__ bool finishPoint(PointContext& c, RuptureShared& sh, Sums& acc, PerThread<int>& flag, float noiseEnergy,
                            const float* continuous, float quadraticCost, float* result) {
    const Block& block = c.block;
    const Line line = Line::of(sh.alpha, sh.phi);
    SideWarps w;
    for (int side = 0; side < 2; ++side)
        for (int k = 0; k < kWarpFloats; ++k) w.w[side][k] = sh.side[side][k];
    block.forEachThreadNoSync([&](int t) {
        for (int k = 0; k < 24; ++k) acc.v[k][t] = 0.0f;
        flag[t] = 0;
    });
    const float* const f = c.f;
    const float* const gc = c.gc;
    const PointContext& cc = c;
    // A second-order fit that failed leaves its warp unfinished; the continuous warp stands for it.
    const bool quadratic = quadraticCost >= 0.0f;
    float q[12];
    for (int k = 0; k < 12; ++k) q[k] = sh.q[k];
    forEachSample(block, c.subset, c.col, c.row, [&, f, gc](int t, int s, float dx, float dy) TAVRO_INLINE_BODY {
        const float d = line.distance(dx, dy);
        if (fabsf(d) < kBlindBand) return;
        const int side = d > 0.0f ? 1 : 0;
        bool outside;
        const float u = w.u(side, dx, dy), v = w.v(side, dx, dy);
        const float g = sampleAt<Kind>(cc, dx, dy, u, v, outside);
        // How much pixel noise each model's samples keep: the enriched, the
        // continuous and the second-order warps'.
        float qu, qv;
        quadraticDisplacement(q, dx, dy, qu, qv);
        const float continuousGain = affineGain<Kind>(cc, continuous, dx, dy);
        const float gain[3] = {noiseGain<Kind>(cc.cx + (dx + u), cc.cy + (dy + v)), continuousGain,
                               quadratic ? noiseGain<Kind>(cc.cx + (dx + qu), cc.cy + (dy + qv)) : continuousGain};
        const float terms[9] = {1.0f, f[s], f[s] * f[s], g, g * g, g * f[s], gc[s], gc[s] * gc[s], gc[s] * f[s]};
        const float weight[2] = {1.0f - static_cast<float>(side), static_cast<float>(side)};
        TAVRO_UNROLL
        for (int part = 0; part < 2; ++part) {
            TAVRO_UNROLL
            for (int k = 0; k < 9; ++k) acc.v[9 * part + k][t] += weight[part] * terms[k];
            TAVRO_UNROLL
            for (int k = 0; k < 3; ++k) acc.v[18 + 3 * part + k][t] += weight[part] * gain[k];
        }
        flag[t] |= outside ? 1 : 0;
    });
    float sums[24];
    for (int k = 0; k < 24; ++k) sums[k] = block.reduceSum(acc.v[k]);
    if (block.reduceSum(flag) > 0) return false;

    block.single([&] {
        // Per group: the costs, and the residual variance per sample (normalised
        // units) that the given noise energy predicts, or the fit's own where
        // that is larger: a field the two sides' warps cannot follow (the root
        // opening behind a tip, speckle finer than the interpolation follows
        // under little noise) leaves more than noise, and a jump fitted to it
        // is no better known than that residual allows. The models are judged
        // at whole pixels: each cost gets back the pixel noise that its
        // samples' interpolation averaged away, so that a warp between pixels
        // does not win on noise it shed. The noise energy is at whole pixels,
        // half of it each image's.
        constexpr int groups = Twin ? 2 : 1;
        constexpr float parameters = Twin ? 6.0f : 8.0f;
        const float pixelNoise = 0.5f * noiseEnergy;
        float residual[2];
        float enrichedCost = 0.0f, continuousCost = 0.0f, noiseCost = 0.0f;
        float fairEnriched = 0.0f, fairContinuous = 0.0f;
        for (int g = 0; g < groups; ++g) {
            float m[9], gain[2];
            for (int k = 0; k < 9; ++k) m[k] = Twin ? sums[9 * g + k] : sums[k] + sums[9 + k];
            for (int k = 0; k < 2; ++k) gain[k] = Twin ? sums[18 + 3 * g + k] : sums[18 + k] + sums[21 + k];
            const float enriched = zeroNormalisedCost(m[0], m[1], m[2], m[3], m[4], m[5]);
            const float continuousOne = zeroNormalisedCost(m[0], m[1], m[2], m[6], m[7], m[8]);
            enrichedCost += enriched;
            continuousCost += continuousOne;
            const float groupEnergy = c.energy * clampVariance(m[2] - m[1] * m[1] / m[0]);
            fairEnriched += enriched + pixelNoise * (m[0] - gain[0]) / groupEnergy;
            fairContinuous += continuousOne + pixelNoise * (m[0] - gain[1]) / groupEnergy;
            noiseCost += noiseEnergy * m[0] / groupEnergy;
            const float own = enriched / fmaxf(m[0] - parameters, 1.0f);
            residual[g] = fmaxf(own, pixelNoise * (1.0f + gain[0] / m[0]) / groupEnergy);
        }
        // Against the second-order warp, on one group as that fit.
        float whole[9];
        for (int k = 0; k < 9; ++k) whole[k] = sums[k] + sums[9 + k];
        const float wholeEnergy = c.energy * clampVariance(whole[2] - whole[1] * whole[1] / whole[0]);
        const float lost = pixelNoise / wholeEnergy;
        const float wholeCost = zeroNormalisedCost(whole[0], whole[1], whole[2], whole[3], whole[4], whole[5]) +
                                lost * (whole[0] - (sums[18] + sums[21]));
        const float wholeVariance = noiseEnergy > 0.0f
                                        ? pixelNoise * (1.0f + (sums[18] + sums[21]) / whole[0]) / wholeEnergy
                                        : wholeCost / fmaxf(whole[0] - 8.0f, 1.0f);
        const float smoothCost =
            (quadratic ? quadraticCost
                       : zeroNormalisedCost(whole[0], whole[1], whole[2], whole[6], whole[7], whole[8])) +
            lost * (whole[0] - (sums[20] + sums[23]));
        result[kResultSmoothChi2] = (smoothCost - wholeCost) / wholeVariance;

        // The jump where the line crosses the normal through the centre.
        const float footX = sh.phi * line.nx, footY = sh.phi * line.ny;
        float jump[2];
        for (int k = 0; k < 2; ++k)
            jump[k] = (w.w[1][k] + w.w[1][2 + 2 * k] * footX + w.w[1][3 + 2 * k] * footY) -
                      (w.w[0][k] + w.w[0][2 + 2 * k] * footX + w.w[0][3 + 2 * k] * footY);
        float variance[4] = {0.0f, 0.0f, 0.0f, 0.0f};
        if constexpr (Twin) {
            const float d[2][6] = {{1.0f, 0.0f, footX, footY, 0.0f, 0.0f}, {0.0f, 1.0f, 0.0f, 0.0f, footX, footY}};
            for (int side = 0; side < 2; ++side) {
                float z[4];
                jumpVariance<6>(sh.L[side], d, z);
                for (int k = 0; k < 4; ++k) variance[k] += residual[side] * z[k];
            }
        } else {
            const float d[2][8] = {{0, 0, 0, 0, 0, 0, 1.0f, 0}, {0, 0, 0, 0, 0, 0, 0, 1.0f}};
            float z[4];
            jumpVariance<8>(sh.L[0], d, z);
            for (int k = 0; k < 4; ++k) variance[k] = residual[0] * z[k];
        }
        const float det = variance[0] * variance[3] - variance[1] * variance[2];
        const float chi2 = det > 0.0f
                               ? (variance[3] * jump[0] * jump[0] - (variance[1] + variance[2]) * jump[0] * jump[1] +
                                  variance[0] * jump[1] * jump[1]) /
                                     det
                               : 0.0f;

        // The centre's own side gives its displacement; a centre on the line takes the mean.
        const float centreSide = sh.phi < 0.0f ? 1.0f : (sh.phi > 0.0f ? 0.0f : 0.5f);
        for (int k = 0; k < kWarpFloats; ++k)
            result[kResultWarp + k] = (1.0f - centreSide) * w.w[0][k] + centreSide * w.w[1][k];

        float degrees = sh.alpha / kDegree;
        degrees -= 360.0f * floorf((degrees + 180.0f) / 360.0f);
        float phi = sh.phi;
        int minus = 0;
        if (degrees > 90.0f || degrees <= -90.0f) {
            // The same line with the opposite normal: the sides swap.
            degrees += degrees > 90.0f ? -180.0f : 180.0f;
            phi = -phi;
            jump[0] = -jump[0];
            jump[1] = -jump[1];
            minus = 1;
        }
        result[kResultJumpX] = jump[0];
        result[kResultJumpY] = jump[1];
        result[kResultAngle] = degrees;
        result[kResultPosition] = phi;
        result[kResultMinusU] = w.w[minus][0];
        result[kResultMinusV] = w.w[minus][1];
        result[kResultPlusU] = w.w[1 - minus][0];
        result[kResultPlusV] = w.w[1 - minus][1];
        result[kResultEnrichedCost] = enrichedCost;
        result[kResultContinuousCost] = continuousCost;
        result[kResultCostExcess] = noiseCost > 0.0f ? fairEnriched / noiseCost : 0.0f;
        result[kResultFairCostShare] = fairEnriched / fairContinuous;
        result[kResultJumpChi2] = chi2;
        result[kResultSideFraction] = fminf(sums[0], sums[9]) / static_cast<float>(c.subset.count);
        result[kResultStatus] = kStatusSolved;
    });
    return true;
}

// The residual energy per sample that the continuous warp leaves on the whole
// subset: at a point no crack disturbs, what noise (and interpolation) leave.
template <int Kind>
__device__ void measureNoise(PointContext& c, Sums& acc, float* result) {
    const Block& block = c.block;
    const float* const f = c.f;
    const float* const gc = c.gc;
    block.forEachThreadNoSync([&](int t) {
        for (int k = 0; k < 4; ++k) acc.v[k][t] = 0.0f;
    });
    const PointContext& cc = c;
    forEachSample(block, c.subset, c.col, c.row, [&, f, gc](int t, int s, float dx, float dy) TAVRO_INLINE_BODY {
        acc.v[0][t] += gc[s];
        acc.v[1][t] += gc[s] * gc[s];
        acc.v[2][t] += gc[s] * f[s];
        acc.v[3][t] += affineGain<Kind>(cc, cc.anchor, dx, dy);
    });
    const float sum = block.reduceSum(acc.v[0]), sumSq = block.reduceSum(acc.v[1]), cross = block.reduceSum(acc.v[2]);
    const float gain = block.reduceSum(acc.v[3]);
    block.single([&] {
        // The reference samples are normalised: their sum is 0 and their squares sum to 1.
        const float n = static_cast<float>(c.subset.count);
        const float energy = zeroNormalisedCost(n, 0.0f, 1.0f, sum, sumSq, cross) * c.energy / n;
        // As at whole pixels, both images' noise taken alike.
        result[kResultNoiseEnergy] = energy * 2.0f / (1.0f + gain / n);
        result[kResultStatus] = kStatusMeasured;
    });
}

template <int Kind, bool Twin>
__device__ void refinePoint(const Block& block, const RuptureKernelArgs& a, int64_t slot, RuptureShared& sh,
                            float* scratch) {
    const int64_t point = a.points[slot];
    const float* seed = a.seeds + slot * kSeedFloats;
    float* const result = a.results + slot * kResultFloats;
    const int xc = static_cast<int>(point % a.gridWidth) * a.stepX + a.marginX;
    const int yc = static_cast<int>(point / a.gridWidth) * a.stepY + a.marginY;

    // Until solved, the answer is the continuous warp and no crack.
    block.single([&] {
        for (int k = 0; k < kResultFloats; ++k) result[k] = nanf("");
        for (int k = 0; k < kWarpFloats; ++k) result[kResultWarp + k] = seed[kSeedContinuous + k];
        result[kResultStatus] = kStatusFailed;
        sh.alpha = 0.0f;
        sh.phi = 0.0f;
        for (int k = 0; k < kWarpFloats; ++k) {
            sh.side[0][k] = seed[kSeedSideA + k];
            sh.side[1][k] = seed[kSeedSideB + k];
        }
    });

    const SubsetLayout subset = SubsetLayout::of(a.windowSizeX, a.windowSizeY);
    PerThread<int> col(block), row(block), flag(block, 0), bestCandidate(block, -1);
    PerThread<float> bestScore(block, 0.0f);
    firstSamples(block, subset, col, row);
    Sums acc = makeSums(block, std::make_integer_sequence<int, kSums>{});
    const int64_t n = subset.count;
    PointContext c{block,
                   subset,
                   col,
                   row,
                   TextureSampler(a.texture, a.width, a.deformedRows),
                   static_cast<float>(xc),
                   static_cast<float>(yc),
                   static_cast<float>(a.deformedRow0),
                   seed[kSeedReach],
                   {},
                   scratch,
                   scratch + n,
                   scratch + 2 * n,
                   scratch + 3 * n,
                   scratch + 4 * n,
                   scratch + 5 * n,
                   0.0f,
                   0.0f};

    // A probe's anchor is its continuous warp; a crack seed's the mean of its sides'.
    const bool probe = !(seed[kSeedSideA] == seed[kSeedSideA]);
    for (int k = 0; k < kWarpFloats; ++k)
        c.anchor[k] = probe ? seed[kSeedContinuous + k] : 0.5f * (seed[kSeedSideA + k] + seed[kSeedSideB + k]);
    if (!prepareReference(c, a, xc, yc, acc)) return;
    if (!sampleContinuous<Kind>(c, seed + kSeedContinuous, acc, flag)) return;
    if (probe) {
        measureNoise<Kind>(c, acc, result);
        return;
    }
    const float reach =
        fmaxf(1.0f, static_cast<float>((subset.halfX < subset.halfY ? subset.halfX : subset.halfY) - 1));
    // Only the last fit needs the requested tolerance: the scans in between
    // move the line, and the smooth alternative is a comparison.
    const float tolerance2 = a.params.convergenceTolerance * a.params.convergenceTolerance;
    const float looseTolerance2 = tolerance2 > kLooseTolerance2 ? tolerance2 : kLooseTolerance2;
    for (int round = 0; round < kScanRounds; ++round) {
        if (!sideContrast<Kind>(c, sh, acc, flag, a.noiseEnergy)) return;
        if (!scanLine(c, sh, scanGrid(round, sh.alpha, sh.phi, reach), bestScore, bestCandidate)) return;
        if (!fitSides<Kind, Twin>(c, sh, acc, flag, a.params.maxIterations,
                                  round + 1 < kScanRounds ? looseTolerance2 : tolerance2))
            return;
    }
    block.single([&] { result[kResultUnsettledStep] = sh.status == kRunning ? sqrtf(sh.step2) : 0.0f; });
    // The smooth alternative starts from the mean of the two sides (the first
    // pass's warp may be spoiled by a wide jump); where it cannot be fitted,
    // the continuous warp stands for it.
    float mean[kWarpFloats];
    for (int k = 0; k < kWarpFloats; ++k) mean[k] = 0.5f * (sh.side[0][k] + sh.side[1][k]);
    float quadraticCost = -1.0f;
    if (!fitQuadratic<Kind>(c, sh, acc, flag, mean, a.params.maxIterations, looseTolerance2, quadraticCost))
        quadraticCost = -1.0f;
    finishPoint<Kind, Twin>(c, sh, acc, flag, a.noiseEnergy, seed + kSeedContinuous, quadraticCost, result);
}

template <bool Twin>
__device__ void refineAs(const Block& block, const RuptureKernelArgs& a, int64_t slot, RuptureShared& sh,
                         float* scratch) {
    switch (a.params.interpolation) {
    case 0: refinePoint<0, Twin>(block, a, slot, sh, scratch); break;
    case 1: refinePoint<1, Twin>(block, a, slot, sh, scratch); break;
    case 2: refinePoint<2, Twin>(block, a, slot, sh, scratch); break;
    case 3: refinePoint<3, Twin>(block, a, slot, sh, scratch); break;
    default: refinePoint<-1, Twin>(block, a, slot, sh, scratch); break;
    }
}

__global__ void __launch_bounds__(kMaxThreads)
    rupture_refine_kernel(const float* reference, int referenceRow0, int referenceRows, cudaTextureObject_t texture,
                          int deformedRow0, int deformedRows, int width, int height, int windowSizeX, int windowSizeY,
                          int stepX, int stepY, int gridWidth, int marginX, int marginY, SubpixelParams params,
                          float noiseEnergy, const int64_t* points, const float* seeds, float* results, int64_t count,
                          float* scratch) {
    const Block block;
    const int64_t slot = static_cast<int64_t>(blockIdx.x);
    if (slot >= count) return;
    const RuptureKernelArgs a{reference, referenceRow0, referenceRows, texture, deformedRow0, deformedRows, width,
                              height,    windowSizeX,   windowSizeY,   stepX,   stepY,        gridWidth,    marginX,
                              marginY,   params,        noiseEnergy,   points,  seeds,        results,      scratch};
    float* const slice =
        scratch ? scratch + slot * kScratchArrays * int64_t(windowSizeX) * windowSizeY : block.dynamicShared<float>();
    __shared__ RuptureShared sh;
    if (params.enableTwinning)
        refineAs<true>(block, a, slot, sh, slice);
    else
        refineAs<false>(block, a, slot, sh, slice);
}

} // namespace

int ruptureBlockThreads(int64_t windowSamples) { return windowSamples > 128 ? kMaxThreads : 128; }

int64_t ruptureScratchFloats(int64_t windowSamples) { return kScratchArrays * windowSamples; }

size_t ruptureStaticSharedBytes() {
    size_t bytes = sizeof(RuptureShared) + 2 * 33 * 4 + 3 * kMaxThreads * 4 + 64;
#if defined(TAVRO_USE_CUDA)
    cudaFuncAttributes attributes{};
    if (cudaFuncGetAttributes(&attributes, rupture_refine_kernel) == cudaSuccess && attributes.sharedSizeBytes > bytes)
        bytes = attributes.sharedSizeBytes;
    (void)cudaGetLastError();
#endif
    return bytes;
}

cudaError_t setRuptureMaxDynamicShared(size_t bytes) {
    return cudaFuncSetAttribute(rupture_refine_kernel, cudaFuncAttributeMaxDynamicSharedMemorySize,
                                static_cast<int>(bytes));
}

#if !TAVRO_GENERIC_KERNEL
void ruptureScanCosts(const float* contrast, int windowSizeX, int windowSizeY, float alpha0, float alphaStep,
                      int alphaCount, float phi0, float phiStep, int phiCount, bool batched, float* costs) {
    const SubsetLayout subset = SubsetLayout::of(windowSizeX, windowSizeY);
    const ScanGrid grid{alpha0, alphaStep, alphaCount, phi0, phiStep, phiCount};
    if (batched) {
        gridCosts(subset, contrast, grid, costs);
        return;
    }
    for (int i = 0; i < alphaCount; ++i)
        for (int k = 0; k < phiCount; ++k)
            costs[i * phiCount + k] = lineCost(subset, contrast, alpha0 + alphaStep * static_cast<float>(i),
                                               phi0 + phiStep * static_cast<float>(k));
}
#endif

cudaError_t launchRuptureRefine(const RuptureKernelArgs& a, int64_t count, size_t dynamicShared) {
    const dim3 grid(static_cast<unsigned>(count));
    const dim3 threads(static_cast<unsigned>(ruptureBlockThreads(int64_t(a.windowSizeX) * a.windowSizeY)));
    TAVRO_LAUNCH_BLOCK(rupture_refine_kernel, grid, threads, dynamicShared, a.reference, a.referenceRow0,
                       a.referenceRows, a.texture, a.deformedRow0, a.deformedRows, a.width, a.height, a.windowSizeX,
                       a.windowSizeY, a.stepX, a.stepY, a.gridWidth, a.marginX, a.marginY, a.params, a.noiseEnergy,
                       a.points, a.seeds, a.results, count, a.scratch);
    return cudaGetLastError();
}

} // namespace tavro::detail
