// Sub-pixel refinement kernel: one block refines one grid point by
// inverse-compositional Gauss-Newton on a zero-mean, norm-normalised SSD
// criterion, with the two translations and optionally the four first-order
// displacement gradients.

#include <cmath>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/interpolation.h"
#include "core/point_validity.h"
#include "core/subpixel_kernel.h"
#include "core/subset_samples.h"
#include "gpu/runtime.h"

namespace tavro::detail {
namespace {

using gpu::Block;
using gpu::PerThread;

constexpr int kMaxThreads = 256;

constexpr int kRunning = 0;
constexpr int kStopped = 1;  // stop without an update
constexpr int kConverged = 2;
constexpr int kLeftImage = 3;  // a sample needed pixels outside the image: the point is NaN

// Block-shared state, written by thread 0 and read after a barrier.
struct RefineShared {
    float p[6];  // u, v, du/dx, du/dy, dv/dx, dv/dy
    float H[36];
    float L[36];
    float step2;  // squared length of the last increment
    int status;
};

// What the kernel declares in shared memory: RefineShared and the float and
// int slots of block.reduceSum (33 words each), with room for their alignment.
constexpr size_t kStaticSharedBytes = sizeof(RefineShared) + 2 * 33 * 4 + 64;

template <int K>
struct Accumulators {
    PerThread<float> v[K];
};

template <int>
__device__ __forceinline__ PerThread<float> zeroAccumulator(const Block& block) {
    return PerThread<float>(block, 0.0f);
}

template <int... I>
__device__ __forceinline__ Accumulators<sizeof...(I)> makeAccumulators(const Block& block,
                                                                       std::integer_sequence<int, I...>) {
    return {{zeroAccumulator<I>(block)...}};
}

// The current warp: a sample at offset (dx, dy) from the centre lands at
// (xc + u + dx + du/dx dx + du/dy dy, yc + v + dy + dv/dx dx + dv/dy dy).
struct Warp {
    float xc, yc, u, v, dudx, dudy, dvdx, dvdy;

    __device__ __forceinline__ static Warp at(const float* p, int xc, int yc) {
        return {static_cast<float>(xc), static_cast<float>(yc), p[0], p[1], p[2], p[3], p[4], p[5]};
    }
    __device__ __forceinline__ float x(float dx, float dy) const { return xc + (u + dx + (dudx * dx + dudy * dy)); }
    __device__ __forceinline__ float y(float dx, float dy) const { return yc + (v + dy + (dvdx * dx + dvdy * dy)); }

    // Whether every sample of the subset interpolates from pixels of the image
    // alone. The warp is affine, so the samples lie between the corners'
    // positions (up to rounding, which footprintInside's slack covers).
    __device__ __forceinline__ bool readsInside(const SubsetLayout& subset, int width, int height) const {
        if (!(u == u && v == v && dudx == dudx && dudy == dudy && dvdx == dvdx && dvdy == dvdy)) return false;
        const float hx = static_cast<float>(subset.halfX), hy = static_cast<float>(subset.halfY);
        const float x0 = x(-hx, -hy), x1 = x(hx, -hy), x2 = x(-hx, hy), x3 = x(hx, hy);
        const float y0 = y(-hx, -hy), y1 = y(hx, -hy), y2 = y(-hx, hy), y3 = y(hx, hy);
        auto lo = [](float a, float b) { return a < b ? a : b; };
        auto hi = [](float a, float b) { return a > b ? a : b; };
        return footprintInside(lo(lo(x0, x1), lo(x2, x3)), hi(hi(x0, x1), hi(x2, x3)), lo(lo(y0, y1), lo(y2, y3)),
                               hi(hi(y0, y1), hi(y2, y3)), width, height);
    }
};

// J = [gx, gy, gx dx, gx dy, gy dx, gy dy]: the criterion's derivative along
// (u, v, du/dx, du/dy, dv/dx, dv/dy) at a sample.
__device__ __forceinline__ void jacobian(float gx, float gy, float dx, float dy, float (&j)[6]) {
    j[0] = gx;
    j[1] = gy;
    j[2] = gx * dx;
    j[3] = gx * dy;
    j[4] = gy * dx;
    j[5] = gy * dy;
}

// Adds the upper triangle of J^T J, row by row, for the first N parameters.
template <int N>
__device__ __forceinline__ void addOuterProduct(Accumulators<21>& h, int t, const float (&j)[6]) {
    int k = 0;
    TAVRO_UNROLL
    for (int a = 0; a < N; ++a)
        TAVRO_UNROLL
        for (int c = a; c < N; ++c) h.v[k++][t] += j[a] * j[c];
}

__device__ bool choleskyFactor6x6(const float* a, float* l) {
    TAVRO_UNROLL
    for (int i = 0; i < 36; ++i) l[i] = 0.0f;
    TAVRO_UNROLL
    for (int j = 0; j < 6; ++j) {
        float d = a[j * 6 + j];
        TAVRO_UNROLL
        for (int k = 0; k < j; ++k) d -= l[j * 6 + k] * l[j * 6 + k];
        if (!(d > 0.0f)) return false;
        const float root = sqrtf(d);
        if (root == 0.0f) return false;
        l[j * 6 + j] = root;
        TAVRO_UNROLL
        for (int i = j + 1; i < 6; ++i) {
            float s = a[i * 6 + j];
            TAVRO_UNROLL
            for (int k = 0; k < j; ++k) s -= l[i * 6 + k] * l[j * 6 + k];
            l[i * 6 + j] = s / root;
        }
    }
    return true;
}

__device__ void choleskySolve6x6(const float* l, const float (&b)[6], float (&x)[6]) {
    float y[6];
    TAVRO_UNROLL
    for (int i = 0; i < 6; ++i) {
        float s = b[i];
        TAVRO_UNROLL
        for (int k = 0; k < i; ++k) s -= l[i * 6 + k] * y[k];
        y[i] = s / l[i * 6 + i];
    }
    TAVRO_UNROLL
    for (int i = 5; i >= 0; --i) {
        float s = y[i];
        TAVRO_UNROLL
        for (int k = i + 1; k < 6; ++k) s -= l[k * 6 + i] * x[k];
        x[i] = s / l[i * 6 + i];
    }
}

// The 6 x 6 system: H (n x n, from its upper triangle) bordered by zeros, with
// 1e-6 added on every diagonal entry so that unused parameters stay at 0.
template <int N>
__device__ __forceinline__ void fillHessian(RefineShared& sh, const float (&upper)[21]) {
    TAVRO_UNROLL
    for (int i = 0; i < 36; ++i) sh.H[i] = 0.0f;
    int k = 0;
    TAVRO_UNROLL
    for (int i = 0; i < N; ++i)
        TAVRO_UNROLL
        for (int j = i; j < N; ++j) {
            sh.H[i * 6 + j] = upper[k];
            sh.H[j * 6 + i] = upper[k];
            ++k;
        }
    TAVRO_UNROLL
    for (int i = 0; i < 6; ++i) sh.H[i * 6 + i] += 1e-6f;
}

__device__ bool factorHessian(RefineShared& sh, const float (&upper)[21], int n) {
    if (n == 6)
        fillHessian<6>(sh, upper);
    else
        fillHessian<2>(sh, upper);
    return choleskyFactor6x6(sh.H, sh.L);
}

// Solves for the increment and composes the warp with its inverse; returns the
// new status and leaves the parameters unchanged when it stops.
__device__ int updateWarp(RefineShared& sh, const float (&bSum)[6], int n, float tolerance2) {
    float b[6], d[6];
    TAVRO_UNROLL
    for (int i = 0; i < 6; ++i) b[i] = i < n ? bSum[i] : 0.0f;
    choleskySolve6x6(sh.L, b, d);
    TAVRO_UNROLL
    for (int i = 0; i < 6; ++i) d[i] = i < n ? d[i] : 0.0f;
    float* p = sh.p;
    if (n == 6) {
        const float a11 = 1.0f + d[2], a12 = d[3], a21 = d[4], a22 = 1.0f + d[5];
        const float det = a11 * a22 - a12 * a21;
        if (!isFinite(det) || fabsf(det) < 1e-12f) return kStopped;
        const float i11 = a22 / det, i12 = -a12 / det, i21 = -a21 / det, i22 = a11 / det;
        const float m11 = 1.0f + p[2], m12 = p[3], m21 = p[4], m22 = 1.0f + p[5];
        const float n11 = m11 * i11 + m12 * i21, n12 = m11 * i12 + m12 * i22;
        const float n21 = m21 * i11 + m22 * i21, n22 = m21 * i12 + m22 * i22;
        const float u = p[0] - (n11 * d[0] + n12 * d[1]);
        const float v = p[1] - (n21 * d[0] + n22 * d[1]);
        if (!isFinite(u) || !isFinite(v)) return kStopped;
        p[0] = u;
        p[1] = v;
        p[2] = n11 - 1.0f;
        p[3] = n12;
        p[4] = n21;
        p[5] = n22 - 1.0f;
    } else {
        const float u = p[0] - d[0], v = p[1] - d[1];
        if (!isFinite(u) || !isFinite(v)) return kStopped;
        p[0] = u;
        p[1] = v;
    }
    float norm2 = 0.0f;
    TAVRO_UNROLL
    for (int i = 0; i < 6; ++i) norm2 += i < n ? d[i] * d[i] : 0.0f;
    sh.step2 = norm2;
    return norm2 < tolerance2 ? kConverged : kRunning;
}

// Whether a point that ended the iterations with `status` holds a measurement.
__device__ __forceinline__ bool isMeasurement(int status, float step2, float correlation, const float* p, float u0,
                                              float v0, float halfX, float halfY) {
    if (status == kStopped) return false;
    if (status == kRunning && !(step2 <= kSettledStep * kSettledStep)) return false;
    // The subset's own distortion (its corners against its centre) is held to
    // the same radius: a warp free to stretch and shear a small subset reaches
    // the correlation threshold on texture of a wrong peak.
    const float spreadU = fabsf(p[2]) * halfX + fabsf(p[3]) * halfY;
    const float spreadV = fabsf(p[4]) * halfX + fabsf(p[5]) * halfY;
    return correlation >= kMinCorrelation && fabsf(p[0] - u0) <= kSearchRadius && fabsf(p[1] - v0) <= kSearchRadius &&
           spreadU <= kSearchRadius && spreadV <= kSearchRadius;
}

struct PointOutputs {
    float* x;
    float* y;
    float* dudx;
    float* dudy;
    float* dvdx;
    float* dvdy;
    int64_t index;

    __device__ void write(const float* p) const {
        x[index] = p[0];
        y[index] = p[1];
        if (dudx) dudx[index] = p[2];
        if (dudy) dudy[index] = p[3];
        if (dvdx) dvdx[index] = p[4];
        if (dvdy) dvdy[index] = p[5];
    }
    __device__ void writeNaN() const {
        const float nan = nanf("");
        const float p[6] = {nan, nan, nan, nan, nan, nan};
        write(p);
    }
};

#if !TAVRO_GENERIC_KERNEL
// The CPU build keeps the warped samples of the statistics pass for the
// residual pass instead of interpolating them again: the values are the same,
// and interpolation is most of its work. The GPU interpolates twice rather than
// spend shared memory on them.
constexpr bool kKeepWarpedSamples = true;

float* warpedSampleScratch(int count) {
    thread_local std::vector<float> scratch;
    if (scratch.size() < static_cast<size_t>(count)) scratch.resize(static_cast<size_t>(count));
    return scratch.data();
}

// The CPU runs the sample phases as plain loops over the samples: the same
// per-sample arithmetic and, per thread t, the same samples t, t + size, ... in
// the same order, so every per-thread sum is unchanged; what changes is that
// the loops vectorise across samples or threads.

// Offsets (dx, dy) of every sample from the subset centre, for the subset
// size last used on this CPU thread.
struct SampleTables {
    int width = 0;
    int count = 0;
    std::vector<float> dx, dy;
};

SampleTables& sampleTables(const SubsetLayout& subset) {
    thread_local SampleTables tables;
    if (tables.width != subset.width || tables.count != subset.count) {
        fillSampleOffsets(subset, tables.dx, tables.dy);
        tables.width = subset.width;
        tables.count = subset.count;
    }
    return tables;
}

// Eight threads' sums at a time, held in registers across the strides.
using ThreadLanes = float __attribute__((vector_size(32)));

// By reference: a vector of this size passed by value would take another
// calling convention in the clones.
TAVRO_INLINE_BODY inline void loadLanes(ThreadLanes& v, const float* p) { std::memcpy(&v, p, sizeof v); }
TAVRO_INLINE_BODY inline void storeLanes(float* p, const ThreadLanes& v) { std::memcpy(p, &v, sizeof v); }

// jacobian() of eight consecutive samples, one per lane.
TAVRO_INLINE_BODY inline void jacobianLanes(ThreadLanes (&j)[6], const float* fx, const float* fy, const float* dxs,
                                            const float* dys) {
    ThreadLanes gx, gy, dx, dy;
    loadLanes(gx, fx);
    loadLanes(gy, fy);
    loadLanes(dx, dxs);
    loadLanes(dy, dys);
    j[0] = gx;
    j[1] = gy;
    j[2] = gx * dx;
    j[3] = gx * dy;
    j[4] = gy * dx;
    j[5] = gy * dy;
}

// Per thread the Hessian's upper triangle, entry by entry as addOuterProduct
// orders them, with each sample's Jacobian formed as jacobian() forms it. For
// eight threads at a time the sums of one row of the triangle stay in
// registers over every full stride of samples; the last, partial stride
// follows one thread at a time.
template <int N>
TAVRO_INLINE_BODY inline void hessianSums(const Block& block, const SubsetLayout& subset, const SampleTables& tables,
                                          const float* __restrict fx, const float* __restrict fy,
                                          Accumulators<21>& h) {
    const float* __restrict dxs = tables.dx.data();
    const float* __restrict dys = tables.dy.data();
    const int size = block.size();
    const int strides = subset.count / size;
    // Row A of the triangle: entries k0 .. k0 + N - A - 1, a compile-time count of registers.
    const auto row = [&](auto rowIndex) TAVRO_INLINE_BODY {
        constexpr int A = decltype(rowIndex)::value;
        constexpr int k0 = A * N - A * (A - 1) / 2;
        for (int t0 = 0; t0 + 8 <= size; t0 += 8) {
            ThreadLanes sums[N - A];
#pragma GCC unroll 6
            for (int c = 0; c < N - A; ++c) loadLanes(sums[c], &h.v[k0 + c][t0]);
            for (int stride = 0; stride < strides; ++stride) {
                const int s = stride * size + t0;
                ThreadLanes j[6];
                jacobianLanes(j, fx + s, fy + s, dxs + s, dys + s);
#pragma GCC unroll 6
                for (int c = 0; c < N - A; ++c) sums[c] += j[A] * j[A + c];
            }
#pragma GCC unroll 6
            for (int c = 0; c < N - A; ++c) storeLanes(&h.v[k0 + c][t0], sums[c]);
        }
    };
    [&]<int... A>(std::integer_sequence<int, A...>) TAVRO_INLINE_BODY {
        (row(std::integral_constant<int, A>{}), ...);
    }(std::make_integer_sequence<int, N>{});
    // Threads beyond the last whole eight (none for the kernel's block sizes), then the partial stride.
    for (int t = size - size % 8; t < size; ++t)
        for (int stride = 0; stride < strides; ++stride) {
            const int s = stride * size + t;
            float j[6];
            jacobian(fx[s], fy[s], dxs[s], dys[s], j);
            addOuterProduct<N>(h, t, j);
        }
    const int base = strides * size;
    for (int t = 0; base + t < subset.count; ++t) {
        float j[6];
        jacobian(fx[base + t], fy[base + t], dxs[base + t], dys[base + t], j);
        addOuterProduct<N>(h, t, j);
    }
}

// Warped deformed samples of a warp whose footprint lies inside the image,
// four samples at a time, and the per-thread sums of them and their squares.
template <int Kind>
TAVRO_INLINE_BODY inline void warpedSamplesInside(const Block& block, const SubsetLayout& subset,
                                                  const SampleTables& tables, const TextureSampler& image,
                                                  const Warp& warp, float* __restrict warped, PerThread<float>& sum,
                                                  PerThread<float>& sumSq) {
    const float* __restrict dxs = tables.dx.data();
    const float* __restrict dys = tables.dy.data();
    int s = 0;
    for (; s + 4 <= subset.count; s += 4) {
        FloatLanes dx, dy;
        std::memcpy(&dx, dxs + s, sizeof dx);
        std::memcpy(&dy, dys + s, sizeof dy);
        const FloatLanes x = warp.xc + (warp.u + dx + (warp.dudx * dx + warp.dudy * dy));
        const FloatLanes y = warp.yc + (warp.v + dy + (warp.dvdx * dx + warp.dvdy * dy));
        const FloatLanes g = interpolateInside4<Kind>(image, x, y);
        std::memcpy(warped + s, &g, sizeof g);
    }
    for (; s < subset.count; ++s)
        warped[s] = interpolateInside<Kind>(image, warp.x(dxs[s], dys[s]), warp.y(dxs[s], dys[s]));
    float* __restrict s1 = &sum[0];
    float* __restrict s2 = &sumSq[0];
    const int size = block.size();
    for (int base = 0; base < subset.count; base += size) {
        const int active = subset.count - base < size ? subset.count - base : size;
        for (int t = 0; t < active; ++t) {
            const float g = warped[base + t];
            s1[t] += g;
            s2[t] += g * g;
        }
    }
}

// Residuals against the reference and the per-thread sums r J, J formed as
// jacobian() forms it; a non-finite residual counts as zero and flags its
// thread (the caller then stops without reading the sums). Eight threads at a
// time over the full strides, as hessianSums takes them.
template <int N>
TAVRO_INLINE_BODY inline void residualSums(const Block& block, const SubsetLayout& subset, const SampleTables& tables,
                                           const float* __restrict warped, const float* __restrict f,
                                           const float* __restrict fx, const float* __restrict fy, float defMean,
                                           float defInvNorm, Accumulators<6>& b, PerThread<int>& flag) {
    const float* __restrict dxs = tables.dx.data();
    const float* __restrict dys = tables.dy.data();
    int* __restrict bad = &flag[0];
    const int size = block.size();
    const int strides = subset.count / size;
    for (int t0 = 0; t0 + 8 <= size; t0 += 8) {
        ThreadLanes sums[6];
        for (int k = 0; k < N; ++k) loadLanes(sums[k], &b.v[k][t0]);
        ThreadLanes flagged = {};
        for (int stride = 0; stride < strides; ++stride) {
            const int s = stride * size + t0;
            ThreadLanes g, reference;
            loadLanes(g, warped + s);
            loadLanes(reference, f + s);
            const ThreadLanes v = (g - defMean) * defInvNorm - reference;
            const auto finite = v - v == 0.0f;
            const ThreadLanes r = finite ? v : ThreadLanes{};
            flagged = finite ? flagged : ThreadLanes{} + 1.0f;
            ThreadLanes j[6];
            jacobianLanes(j, fx + s, fy + s, dxs + s, dys + s);
#pragma GCC unroll 6
            for (int k = 0; k < N; ++k) sums[k] += r * j[k];
        }
        for (int k = 0; k < N; ++k) storeLanes(&b.v[k][t0], sums[k]);
        for (int t = 0; t < 8; ++t) bad[t0 + t] |= flagged[t] != 0.0f ? 1 : 0;
    }
    const auto one = [&](int t, int s) {
        const float v = (warped[s] - defMean) * defInvNorm - f[s];
        const bool finite = isFinite(v);
        bad[t] |= finite ? 0 : 1;
        const float r = finite ? v : 0.0f;
        float j[6];
        jacobian(fx[s], fy[s], dxs[s], dys[s], j);
        for (int k = 0; k < N; ++k) b.v[k][t] += r * j[k];
    };
    // Threads beyond the last whole eight (none for the kernel's block sizes), then the partial stride.
    for (int t = size - size % 8; t < size; ++t)
        for (int stride = 0; stride < strides; ++stride) one(t, stride * size + t);
    const int base = strides * size;
    for (int t = 0; base + t < subset.count; ++t) one(t, base + t);
}

// The sum of squared residuals of the last iteration's kept samples, once per
// point rather than in every residual pass (where the GPU sums it).
TAVRO_INLINE_BODY inline float keptMisfit(const float* __restrict warped, const float* __restrict f, int count,
                                          float mean, float inverseNorm) {
    float sum = 0.0f;
    for (int s = 0; s < count; ++s) {
        const float r = (warped[s] - mean) * inverseNorm - f[s];
        sum += r * r;
    }
    return sum;
}
#else
constexpr bool kKeepWarpedSamples = false;
#endif

template <int Kind>
__device__ __forceinline__ void refinePoint(const Block& block, const SubpixelKernelArgs& a, int64_t point,
                                            RefineShared& sh, float* samples) {
    const int xc = static_cast<int>(point % a.gridWidth) * a.stepX + a.marginX;
    const int yc = static_cast<int>(point / a.gridWidth) * a.stepY + a.marginY;
    const int width = a.width, height = a.height;
    const float* reference = a.reference;
    const PointOutputs out{a.outX, a.outY, a.outDuDx, a.outDuDy, a.outDvDx, a.outDvDy, point};

    // Mask: a masked centre has no measurement.
    if (a.mask && xc < a.maskStride && yc < a.maskRows &&
        a.mask[static_cast<int64_t>(yc) * a.maskStride + xc] == 0) {
        block.single([&] { out.writeNaN(); });
        return;
    }

    // Start at the whole-pixel displacement.
    block.single([&] {
        sh.p[0] = a.initX[point];
        sh.p[1] = a.initY[point];
        for (int i = 2; i < 6; ++i) sh.p[i] = 0.0f;
    });

    const SubsetLayout subset = SubsetLayout::of(a.windowSizeX, a.windowSizeY);
    const float count = static_cast<float>(subset.count);
    PerThread<int> col(block), row(block);
    firstSamples(block, subset, col, row);

    // Normalised reference samples and their gradients (the driver's margins
    // keep the subset inside the image).
    float* const f = samples;
    float* const fx = f + subset.count;
    float* const fy = f + 2 * subset.count;
    PerThread<float> sum(block), sumSq(block);
    const float refNorm =
        normaliseReference(block, subset, col, row, reference, 0, width, height, xc, yc, sum, sumSq, f, fx, fy);
    if (!(refNorm > 0.0f)) {
        block.single([&] { out.write(sh.p); });
        return;
    }

    // Hessian: per-thread sums of the upper triangle of J^T J, each block-reduced.
    const bool affine = a.params.affine;
    const int n = affine ? 6 : 2;
    const int entries = n * (n + 1) / 2;
    auto h = makeAccumulators(block, std::make_integer_sequence<int, 21>{});
#if !TAVRO_GENERIC_KERNEL
    SampleTables& tables = sampleTables(subset);
    auto hessianPass = [&](auto parameters) TAVRO_INLINE_BODY {
        hessianSums<decltype(parameters)::value>(block, subset, tables, fx, fy, h);
    };
#else
    auto hessianPass = [&](auto parameters) {
        constexpr int N = decltype(parameters)::value;
        forEachSample(block, subset, col, row, [=, &h](int t, int s, int dx, int dy) TAVRO_INLINE_BODY {
            float j[6];
            jacobian(fx[s], fy[s], static_cast<float>(dx), static_cast<float>(dy), j);
            addOuterProduct<N>(h, t, j);
        });
    };
#endif
    if (affine)
        hessianPass(std::integral_constant<int, 6>{});
    else
        hessianPass(std::integral_constant<int, 2>{});
    float upper[21];
    TAVRO_UNROLL
    for (int k = 0; k < 21; ++k) upper[k] = k < entries ? block.reduceSum(h.v[k]) : 0.0f;

    // Factorisation; a singular Hessian keeps the start.
    block.single([&] { sh.status = factorHessian(sh, upper, n) ? kRunning : kStopped; });
    if (sh.status != kRunning) {
        block.single([&] { out.write(sh.p); });
        return;
    }

    // Gauss-Newton iterations.
    const TextureSampler image(a.texture, width, height);
    const float tolerance2 = a.params.convergenceTolerance * a.params.convergenceTolerance;
    float* warped = nullptr;
#if !TAVRO_GENERIC_KERNEL
    warped = warpedSampleScratch(subset.count);
#endif
    auto b = makeAccumulators(block, std::make_integer_sequence<int, 6>{});
    PerThread<int> flag(block, 0);
    PerThread<float> misfit(block, 0.0f);  // GPU: per thread, the last residual pass's sum of r^2
    [[maybe_unused]] float lastMean = 0.0f, lastInverseNorm = 0.0f;  // CPU: the statistics of the kept samples
    int status = kRunning;
    bool unchecked = false;  // the parameters moved since their samples were last read
    for (int iteration = 0; iteration < a.params.maxIterations && status == kRunning; ++iteration) {
        const Warp warp = Warp::at(sh.p, xc, yc);

        // Warped samples and their statistics; near the border, whether any
        // sample needed pixels outside the image.
        block.forEachThreadNoSync([&](int t) {
            sum[t] = 0.0f;
            sumSq[t] = 0.0f;
        });
        const bool inside = warp.readsInside(subset, width, height);
        if (inside) {
#if !TAVRO_GENERIC_KERNEL
            warpedSamplesInside<Kind>(block, subset, tables, image, warp, warped, sum, sumSq);
#else
            forEachSample(block, subset, col, row, [=, &sum, &sumSq](int t, int s, int dx, int dy) TAVRO_INLINE_BODY {
                const float sx = static_cast<float>(dx), sy = static_cast<float>(dy);
                const float g = interpolateInside<Kind>(image, warp.x(sx, sy), warp.y(sx, sy));
                if constexpr (kKeepWarpedSamples) warped[s] = g;
                sum[t] += g;
                sumSq[t] += g * g;
            });
#endif
        } else {
            block.forEachThreadNoSync([&](int t) { flag[t] = 0; });
            forEachSample(block, subset, col, row,
                          [=, &sum, &sumSq, &flag](int t, int s, int dx, int dy) TAVRO_INLINE_BODY {
                              const float sx = static_cast<float>(dx), sy = static_cast<float>(dy);
                              bool outside;
                              const float g = interpolateAs<Kind>(image, warp.x(sx, sy), warp.y(sx, sy), outside);
                              if constexpr (kKeepWarpedSamples) warped[s] = g;
                              sum[t] += g;
                              sumSq[t] += g * g;
                              flag[t] |= outside ? 1 : 0;
                          });
        }
        const float defSum = block.reduceSum(sum);
        const float defSumSq = block.reduceSum(sumSq);
        if (!inside && block.reduceSum(flag) > 0) {
            status = kLeftImage;
            break;
        }
        unchecked = false;
        const float defMean = defSum / count;
        const float defNorm = sqrtf(clampVariance(defSumSq - defMean * (defMean * count)));
        const float defInvNorm = defNorm > 0.0f ? 1.0f / defNorm : 0.0f;
        if (!(defNorm > 0.0f)) {
            status = kStopped;
            break;
        }
        lastMean = defMean;
        lastInverseNorm = defInvNorm;

        // Residuals against the reference and the right-hand side b = sum r J.
        block.forEachThreadNoSync([&](int t) {
            TAVRO_UNROLL
            for (int k = 0; k < 6; ++k) b.v[k][t] = 0.0f;
            flag[t] = 0;
            misfit[t] = 0.0f;
        });
#if !TAVRO_GENERIC_KERNEL
        auto residualPass = [&](auto parameters) TAVRO_INLINE_BODY {
            residualSums<decltype(parameters)::value>(block, subset, tables, warped, f, fx, fy, defMean, defInvNorm, b,
                                                      flag);
        };
#else
        auto residualPass = [&](auto parameters) {
            constexpr int N = decltype(parameters)::value;
            forEachSample(block, subset, col, row,
                          [=, &b, &flag, &misfit](int t, int s, int dx, int dy) TAVRO_INLINE_BODY {
                const float sx = static_cast<float>(dx), sy = static_cast<float>(dy);
                float g;
                if constexpr (kKeepWarpedSamples) {
                    g = warped[s];
                } else {
                    bool outside;
                    g = inside ? interpolateInside<Kind>(image, warp.x(sx, sy), warp.y(sx, sy))
                               : interpolateAs<Kind>(image, warp.x(sx, sy), warp.y(sx, sy), outside);
                }
                const float r = (g - defMean) * defInvNorm - f[s];
                if (!isFinite(r)) {
                    flag[t] = 1;
                    return;
                }
                misfit[t] += r * r;
                float j[6];
                jacobian(fx[s], fy[s], sx, sy, j);
                TAVRO_UNROLL
                for (int k = 0; k < N; ++k) b.v[k][t] += r * j[k];
            });
        };
#endif
        if (affine)
            residualPass(std::integral_constant<int, 6>{});
        else
            residualPass(std::integral_constant<int, 2>{});
        if (block.reduceSum(flag) >= 1) {
            status = kStopped;
            break;
        }
        float bSum[6];
        TAVRO_UNROLL
        for (int k = 0; k < 6; ++k) bSum[k] = k < n ? block.reduceSum(b.v[k]) : 0.0f;

        // Increment and inverse composition.
        block.single([&] { sh.status = updateWarp(sh, bSum, n, tolerance2); });
        status = sh.status;
        if (status != kStopped) unchecked = true;
    }

    // The last update was never sampled: check that its subset stays readable.
    const Warp last = Warp::at(sh.p, xc, yc);
    if (status != kLeftImage && unchecked && !last.readsInside(subset, width, height)) {
        const Warp warp = last;
        block.forEachThreadNoSync([&](int t) { flag[t] = 0; });
        forEachSample(block, subset, col, row, [=, &flag](int t, int, int dx, int dy) TAVRO_INLINE_BODY {
            const float sx = static_cast<float>(dx), sy = static_cast<float>(dy);
            flag[t] |= readsOutside(warp.x(sx, sy), warp.y(sx, sy), width, height, Kind) ? 1 : 0;
        });
        if (block.reduceSum(flag) > 0) status = kLeftImage;
    }

    // Zero-mean, unit-norm samples: sum r^2 = 2 - 2 ZNCC.
#if !TAVRO_GENERIC_KERNEL
    const float correlation = 1.0f - 0.5f * keptMisfit(warped, f, subset.count, lastMean, lastInverseNorm);
#else
    const float correlation = 1.0f - 0.5f * block.reduceSum(misfit);
#endif
    block.single([&] {
        if (status == kLeftImage || !isMeasurement(status, sh.step2, correlation, sh.p, a.initX[point], a.initY[point],
                                                          static_cast<float>(subset.halfX),
                                                          static_cast<float>(subset.halfY)))
            out.writeNaN();
        else
            out.write(sh.p);
    });
}

// On the CPU the kernel also comes as an AVX clone, picked at run time, with
// its sample loops inlined: the same operations per sample and per-thread sum
// (no fused multiply-add), so every processor gets the same bits.
#if defined(__CUDACC__) || TAVRO_GENERIC_KERNEL || !defined(__x86_64__)
#define TAVRO_REFINE_CLONES
#else
#define TAVRO_REFINE_CLONES __attribute__((target_clones("avx", "default")))
#endif

TAVRO_REFINE_CLONES __global__ void __launch_bounds__(kMaxThreads)
    subpixel_refine_kernel(const float* reference, cudaTextureObject_t texture, const uint8_t* mask, int maskStride,
                           int maskRows, int width, int height, int windowSizeX, int windowSizeY, int stepX,
                           int stepY, int gridWidth, int gridHeight, int marginX, int marginY, SubpixelParams params,
                           const float* initX, const float* initY, float* outX, float* outY, float* outDuDx,
                           float* outDuDy, float* outDvDx, float* outDvDy, int64_t end, int64_t first,
                           float* samples) {
    const Block block;
    const int64_t point = first + static_cast<int64_t>(blockIdx.x);
    if (point >= end) return;
    const SubpixelKernelArgs a{reference, texture, mask,    maskStride, maskRows, width,  height,  windowSizeX,
                               windowSizeY, stepX, stepY,   gridWidth,  gridHeight, marginX, marginY, params,
                               initX,     initY,   outX,    outY,       outDuDx,  outDuDy, outDvDx, outDvDy,
                               samples};
    // The window samples: this block's slice of the global buffer, or dynamic shared memory.
    float* const slice = samples ? samples + static_cast<int64_t>(blockIdx.x) * 3 * windowSizeX * windowSizeY
                                 : block.dynamicShared<float>();
    __shared__ RefineShared sh;
    switch (params.interpolation) {
    case 0: refinePoint<0>(block, a, point, sh, slice); break;
    case 1: refinePoint<1>(block, a, point, sh, slice); break;
    case 2: refinePoint<2>(block, a, point, sh, slice); break;
    case 3: refinePoint<3>(block, a, point, sh, slice); break;
    default: refinePoint<-1>(block, a, point, sh, slice); break;
    }
}

} // namespace

int subpixelBlockThreads(int64_t windowSamples) {
    const int64_t warps = (windowSamples + 31) / 32;
    return static_cast<int>(warps * 32 < kMaxThreads ? warps * 32 : kMaxThreads);
}

uint64_t subpixelDynamicSharedBytes(int64_t windowSamples) {
    return static_cast<uint64_t>(windowSamples) * 3 * sizeof(float);
}

size_t subpixelStaticSharedBytes() {
#if defined(TAVRO_USE_CUDA)
    cudaFuncAttributes attributes{};
    if (cudaFuncGetAttributes(&attributes, subpixel_refine_kernel) == cudaSuccess &&
        attributes.sharedSizeBytes > kStaticSharedBytes)
        return attributes.sharedSizeBytes;
    (void)cudaGetLastError();
#endif
    return kStaticSharedBytes;
}

cudaError_t setSubpixelMaxDynamicShared(size_t bytes) {
    return cudaFuncSetAttribute(subpixel_refine_kernel, cudaFuncAttributeMaxDynamicSharedMemorySize,
                                static_cast<int>(bytes));
}

cudaError_t launchSubpixelRefine(const SubpixelKernelArgs& a, int64_t first, int64_t end, size_t dynamicShared) {
    const int64_t windowSamples = static_cast<int64_t>(a.windowSizeX) * a.windowSizeY;
    const dim3 grid(static_cast<unsigned>(end - first));
    const dim3 threads(static_cast<unsigned>(subpixelBlockThreads(windowSamples)));
    TAVRO_LAUNCH_BLOCK(subpixel_refine_kernel, grid, threads, dynamicShared, a.reference, a.texture, a.mask,
                       a.maskStride, a.maskRows, a.width, a.height, a.windowSizeX, a.windowSizeY, a.stepX, a.stepY,
                       a.gridWidth, a.gridHeight, a.marginX, a.marginY, a.params, a.initX, a.initY, a.outX, a.outY,
                       a.outDuDx, a.outDuDy, a.outDvDx, a.outDvDy, end, first, a.samples);
    return cudaGetLastError();
}

} // namespace tavro::detail
