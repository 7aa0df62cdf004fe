#include "core/tavro_fft.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <utility>
#include <vector>

#include "core/gpu_common.h"
#include "gpu/runtime.h"

// Butterfly bodies must melt into the CPU build's loop over lines, where a call
// per line would cost more than the butterfly.
#if defined(__CUDACC__)
#define TAVRO_FFT_BODY
#else
#define TAVRO_FFT_BODY __attribute__((always_inline))
#endif

namespace tavro::fft {
namespace {

using tavro::gpu::Block;

constexpr int kThreads = 256;
constexpr unsigned kMaxGridY = 65535;
constexpr int kTile = 32;
// The two Bluestein work buffers together.
constexpr int64_t kWorkBytes = 201326592;
// Longest axis of the mixed-radix path: search frames, not whole images, which
// keep Bluestein's path beyond it.
constexpr int32_t kMixedMaxLength = 256;
// Longest axis whose padded length M = 2^logM still fits an int32.
constexpr int32_t kMaxAxis = 1 << 29;

__host__ __device__ __forceinline__ int imin(int a, int b) { return a < b ? a : b; }

__host__ __device__ __forceinline__ Complex cmul(Complex a, Complex b) {
    return make_float2(a.x * b.x - a.y * b.y, a.x * b.y + a.y * b.x);
}

__host__ __device__ __forceinline__ int log2Exact(long long v) {
    int l = 0;
    while ((1LL << l) < v) ++l;
    return l;
}

__device__ __forceinline__ int reverseBits(int v, int bits) {
    return bits == 0 ? 0 : static_cast<int>(__brev(static_cast<unsigned>(v)) >> (32 - bits));
}

#if !TAVRO_GENERIC_KERNEL
// ivdep: threads of one phase never touch each other's slots (the
// block-program rule), so the lines handled for one x are independent.
template <int Count, class U, class Body>
inline __attribute__((always_inline)) void lineLoop(const U& u, const Body& body) {
#pragma GCC ivdep
    for (int y = 0; y < Count; ++y) body(u, y);
}
template <class U, class Body>
inline __attribute__((always_inline)) void lineLoop(const U& u, const Body& body, int count) {
#pragma GCC ivdep
    for (int y = 0; y < count; ++y) body(u, y);
}
#endif

// The block programs below see thread t as (x, y) with t = x * ty + y: y picks a
// line held in shared memory (element i of line y at i * ty + y, real and
// imaginary parts in separate arrays) and x a share of that line's butterflies.
// What depends on x alone (indices, twiddles) is computed once per x, so on the
// CPU each phase is a loop over lines with uniform offsets, which vectorises.
// The CPU order is t ascending, as Block::forEachThread, or descending under
// the reverse-phase debug switch.
template <bool Sync, class Uniform, class Body>
__device__ __forceinline__ void lanes(const Block& block, int logTy, int activeX, int activeY, const Uniform& uniform,
                                      const Body& body) {
#if TAVRO_GENERIC_KERNEL
    const auto thread = [&](int t) {
        const int x = t >> logTy;
        const int y = t & ((1 << logTy) - 1);
        if (x < activeX && y < activeY) body(uniform(x), y);
    };
    if constexpr (Sync)
        block.forEachThread(thread);
    else
        block.forEachThreadNoSync(thread);
#else
    (void)block;
    (void)logTy;
    if (tavro::gpu::detail::reversePhaseOrder()) {
        for (int x = activeX - 1; x >= 0; --x) {
            const auto u = uniform(x);
#pragma GCC ivdep
            for (int y = activeY - 1; y >= 0; --y) body(u, y);
        }
        return;
    }
    for (int x = 0; x < activeX; ++x) {
        const auto u = uniform(x);
        // Fixed counts for the usual line counts: whole vectors, no remainder loop.
        switch (activeY) {
        case 32:
            lineLoop<32>(u, body);
            break;
        case 16:
            lineLoop<16>(u, body);
            break;
        case 8:
            lineLoop<8>(u, body);
            break;
        default:
            lineLoop(u, body, activeY);
        }
    }
#endif
}

template <class At>
struct FirstPair {
    At a, b;
    int slot, step;
};

template <class At>
struct FirstQuad {
    At a0, a1, a2, a3;
    int slot, step;
};

// Bit-reversed load of each line with the first one or two butterfly stages
// (twiddles 1 and W4), so that an even number of stages is left for radix 4.
// sign is the exponent sign: -1 forward, +1 inverse.
template <class Source>
__device__ __forceinline__ void loadFirstStages(const Block& block, const Source& source, float* re, float* im,
                                                int logN, int logTy, int tx, int activeY, float sign) {
    const int n = 1 << logN;
    if (logN & 1) {
        const int pairs = n >> 1;
        for (int base = 0; base < pairs; base += tx) {
            lanes<false>(
                block, logTy, imin(tx, pairs - base), activeY,
                [&](int x) {
                    const int j = base + x;
                    const int m = reverseBits(j, logN - 1);
                    return FirstPair<typename Source::At>{source.at(m), source.at(m + pairs), (2 * j) << logTy,
                                                          1 << logTy};
                },
                [&](const FirstPair<typename Source::At>& u, int y) {
                    const Complex a = source.get(u.a, y), b = source.get(u.b, y);
                    re[u.slot + y] = a.x + b.x;
                    im[u.slot + y] = a.y + b.y;
                    re[u.slot + u.step + y] = a.x - b.x;
                    im[u.slot + u.step + y] = a.y - b.y;
                });
        }
    } else {
        const int quads = n >> 2;
        for (int base = 0; base < quads; base += tx) {
            lanes<false>(
                block, logTy, imin(tx, quads - base), activeY,
                [&](int x) {
                    const int j = base + x;
                    const int m = reverseBits(j, logN - 2);
                    return FirstQuad<typename Source::At>{source.at(m),
                                                          source.at(m + 2 * quads),
                                                          source.at(m + quads),
                                                          source.at(m + 3 * quads),
                                                          (4 * j) << logTy,
                                                          1 << logTy};
                },
                [&](const FirstQuad<typename Source::At>& u, int y) {
                    const Complex a0 = source.get(u.a0, y), a1 = source.get(u.a1, y);
                    const Complex a2 = source.get(u.a2, y), a3 = source.get(u.a3, y);
                    const float b0r = a0.x + a1.x, b0i = a0.y + a1.y, b1r = a0.x - a1.x, b1i = a0.y - a1.y;
                    const float b2r = a2.x + a3.x, b2i = a2.y + a3.y, b3r = a2.x - a3.x, b3i = a2.y - a3.y;
                    // W4 * b3 with W4 = sign * i.
                    const float jr = -sign * b3i, ji = sign * b3r;
                    const int s0 = u.slot + y, s1 = s0 + u.step, s2 = s1 + u.step, s3 = s2 + u.step;
                    re[s0] = b0r + b2r;
                    im[s0] = b0i + b2i;
                    re[s2] = b0r - b2r;
                    im[s2] = b0i - b2i;
                    re[s1] = b1r + jr;
                    im[s1] = b1i + ji;
                    re[s3] = b1r - jr;
                    im[s3] = b1i - ji;
                });
        }
    }
    block.sync();
}

struct Radix4 {
    int s0, s1, s2, s3;
    float w1r, w1i, w2r, w2i, w3r, w3i;
};

// The remaining decimation-in-time stages two at a time. twiddles holds
// W_n^m for m < n / 2.
__device__ __forceinline__ void radix4Passes(const Block& block, float* re, float* im, const Complex* twiddles,
                                             int logN, int logTy, int tx, int activeY, float sign) {
    const int quads = (1 << logN) >> 2;
    for (int ls = 2 - (logN & 1); ls + 1 < logN; ls += 2) {
        for (int base = 0; base < quads; base += tx) {
            lanes<false>(
                block, logTy, imin(tx, quads - base), activeY,
                [&](int x) {
                    const int j = base + x;
                    const int k = j & ((1 << ls) - 1);
                    const int i0 = ((j >> ls) << (ls + 2)) + k;
                    const Complex w1 = twiddles[k << (logN - ls - 1)];  // W_{2s}^k
                    const Complex w2 = twiddles[k << (logN - ls - 2)];  // W_{4s}^k
                    Radix4 u;
                    u.s0 = i0 << logTy;
                    u.s1 = u.s0 + (1 << (ls + logTy));
                    u.s2 = u.s1 + (1 << (ls + logTy));
                    u.s3 = u.s2 + (1 << (ls + logTy));
                    u.w1r = w1.x;
                    u.w1i = -sign * w1.y;
                    u.w2r = w2.x;
                    u.w2i = -sign * w2.y;
                    u.w3r = u.w1r * u.w2r - u.w1i * u.w2i;
                    u.w3i = u.w1r * u.w2i + u.w1i * u.w2r;
                    return u;
                },
                [&](const Radix4& u, int y) {
                    const float a0r = re[u.s0 + y], a0i = im[u.s0 + y];
                    const float a1r = re[u.s1 + y], a1i = im[u.s1 + y];
                    const float a2r = re[u.s2 + y], a2i = im[u.s2 + y];
                    const float a3r = re[u.s3 + y], a3i = im[u.s3 + y];
                    const float t1r = a1r * u.w1r - a1i * u.w1i, t1i = a1r * u.w1i + a1i * u.w1r;
                    const float t2r = a2r * u.w2r - a2i * u.w2i, t2i = a2r * u.w2i + a2i * u.w2r;
                    const float t3r = a3r * u.w3r - a3i * u.w3i, t3i = a3r * u.w3i + a3i * u.w3r;
                    const float p0r = a0r + t1r, p0i = a0i + t1i, m0r = a0r - t1r, m0i = a0i - t1i;
                    const float p1r = t2r + t3r, p1i = t2i + t3i, m1r = t2r - t3r, m1i = t2i - t3i;
                    const float jr = -sign * m1i, ji = sign * m1r;
                    re[u.s0 + y] = p0r + p1r;
                    im[u.s0 + y] = p0i + p1i;
                    re[u.s2 + y] = p0r - p1r;
                    im[u.s2 + y] = p0i - p1i;
                    re[u.s1 + y] = m0r + jr;
                    im[u.s1 + y] = m0i + ji;
                    re[u.s3 + y] = m0r - jr;
                    im[u.s3 + y] = m0i - ji;
                });
        }
        block.sync();
    }
}

// z_m = x_2m + i x_2m+1 of the block's rows.
struct RealPairs {
    const float* rows;
    int cols;
    struct At {
        int offset;
    };
    __device__ __forceinline__ At at(int m) const { return {2 * m}; }
    __device__ __forceinline__ Complex get(At a, int y) const {
        const float* p = rows + y * cols + a.offset;
        return make_float2(p[0], p[1]);
    }
};

// Z_k of the half-length transform rebuilt from bins k and half - k of the
// transposed half spectrum.
struct HalfSpectrum {
    const Complex* bins;
    const Complex* twiddlesCols;
    int rows;
    int half;
    struct At {
        int a, b;
        float wr, wi;
    };
    __device__ __forceinline__ At at(int k) const {
        const Complex w = twiddlesCols[k];
        return {k * rows, (half - k) * rows, w.x, w.y};
    }
    __device__ __forceinline__ Complex get(const At& u, int y) const {
        const Complex a = bins[u.a + y], b = bins[u.b + y];
        const float er = 0.5f * (a.x + b.x), ei = 0.5f * (a.y - b.y);
        const float dr = 0.5f * (a.x - b.x), di = 0.5f * (a.y + b.y);
        return make_float2(er - (u.wr * di - u.wi * dr), ei + (u.wr * dr + u.wi * di));
    }
};

struct ComplexLines {
    const Complex* lines;
    int n;
    struct At {
        int offset;
    };
    __device__ __forceinline__ At at(int i) const { return {i}; }
    __device__ __forceinline__ Complex get(At a, int y) const { return lines[y * n + a.offset]; }
};

// factor x conj(line): a correlation's spectrum formed as the lines are loaded.
__host__ __device__ __forceinline__ Complex timesConjugate(Complex a, Complex b) {
    return make_float2(a.x * b.x + a.y * b.y, a.y * b.x - a.x * b.y);
}

struct ProductLines {
    const Complex* factor;
    const Complex* lines;
    int n;
    struct At {
        int offset;
    };
    __device__ __forceinline__ At at(int i) const { return {i}; }
    __device__ __forceinline__ Complex get(At a, int y) const {
        return timesConjugate(factor[y * n + a.offset], lines[y * n + a.offset]);
    }
};

struct SplitBin {
    int a, b, out;
    float wr, wi;
};

// Bins 0..half of a real row from the half-length complex transform of its
// even/odd pairs held transposed in re/im:
// X_k = (Z_k + conj Z_{half-k}) / 2 - i w_k (Z_k - conj Z_{half-k}) / 2, Z_half = Z_0.
__device__ __forceinline__ void writeSplitBins(const Block& block, const float* re, const float* im, Complex* out,
                                               const Complex* __restrict__ twiddlesCols, int half, int rows,
                                               int logTy, int activeY, int tx) {
    for (int base = 0; base <= half; base += tx) {
        lanes<false>(
            block, logTy, imin(tx, half + 1 - base), activeY,
            [&](int x) {
                const int k = base + x;
                const Complex w = twiddlesCols[k];
                return SplitBin{(k == half ? 0 : k) << logTy, (k == 0 ? 0 : half - k) << logTy, k * rows, w.x, w.y};
            },
            [&](const SplitBin& u, int y) {
                const float ar = re[u.a + y], ai = im[u.a + y];
                const float br = re[u.b + y], bi = -im[u.b + y];
                const float er = 0.5f * (ar + br), ei = 0.5f * (ai + bi);
                const float dr = 0.5f * (ar - br), di = 0.5f * (ai - bi);
                out[u.out + y] = make_float2(er + (u.wr * di + u.wi * dr), ei - (u.wr * dr - u.wi * di));
            });
    }
}

struct SlotAndOffset {
    int slot, offset;
};

struct TileRow {
    int index;
    size_t offset;
};

// Rows of one image, ty per block: bins 0..half of each row, stored transposed
// (bin k of row r at k * rows + r of the image).
__global__ void kRowsR2C_T(const float* __restrict__ input, Complex* __restrict__ output,
                           const Complex* __restrict__ twiddlesHalf, const Complex* __restrict__ twiddlesCols,
                           int rows, int logHalf, int logTy) {
    const Block block;
    const int half = 1 << logHalf, cols = 2 * half, ty = 1 << logTy, tx = static_cast<int>(blockDim.x);
    const int row0 = static_cast<int>(blockIdx.x) << logTy;
    const size_t image = blockIdx.y;
    float* re = block.dynamicShared<float>();
    float* im = re + (static_cast<size_t>(half) << logTy);
    const RealPairs source{input + (image * static_cast<size_t>(rows) + static_cast<size_t>(row0)) * cols, cols};

    loadFirstStages(block, source, re, im, logHalf, logTy, tx, ty, -1.0f);
    radix4Passes(block, re, im, twiddlesHalf, logHalf, logTy, tx, ty, -1.0f);

    Complex* out = output + image * static_cast<size_t>(half + 1) * static_cast<size_t>(rows) + row0;
    writeSplitBins(block, re, im, out, twiddlesCols, half, rows, logTy, ty, tx);
}

// Inverse of kRowsR2C_T: transposed bins 0..half of each row to cols reals.
__global__ void kRowsC2R_T(const Complex* __restrict__ input, float* __restrict__ output,
                           const Complex* __restrict__ twiddlesHalf, const Complex* __restrict__ twiddlesCols,
                           int rows, int logHalf, int logTy) {
    const Block block;
    const int half = 1 << logHalf, cols = 2 * half, ty = 1 << logTy, tx = static_cast<int>(blockDim.x);
    const int row0 = static_cast<int>(blockIdx.x) << logTy;
    const size_t image = blockIdx.y;
    float* re = block.dynamicShared<float>();
    float* im = re + (static_cast<size_t>(half) << logTy);
    const HalfSpectrum source{input + image * static_cast<size_t>(half + 1) * static_cast<size_t>(rows) + row0,
                              twiddlesCols, rows, half};

    loadFirstStages(block, source, re, im, logHalf, logTy, tx, ty, 1.0f);
    radix4Passes(block, re, im, twiddlesHalf, logHalf, logTy, tx, ty, 1.0f);

    // Threads along each row here, so that global memory is written contiguously.
    float* out = output + (image * static_cast<size_t>(rows) + static_cast<size_t>(row0)) * cols;
    const int logTx = log2Exact(tx);
    for (int base = 0; base < half; base += tx) {
        lanes<false>(
            block, logTx, ty, imin(tx, half - base),
            [&](int row) { return SlotAndOffset{row + (base << logTy), row * cols + 2 * base}; },
            [&](const SlotAndOffset& u, int e) {
                out[u.offset + 2 * e] = 2.0f * re[u.slot + (e << logTy)];
                out[u.offset + 2 * e + 1] = 2.0f * im[u.slot + (e << logTy)];
            });
    }
}

// In-place transforms of `lines` contiguous lines of length n = 2^logN, ty per
// block; sign -1 forward, +1 inverse.
// With factor, the lines become the transforms of factor x conj(line).
__global__ void kRowsC2C(Complex* __restrict__ data, const Complex* __restrict__ twiddles, int logN, long long lines,
                         int logTy, float sign, const Complex* __restrict__ factor) {
    const Block block;
    const int n = 1 << logN, tx = static_cast<int>(blockDim.x);
    const long long line0 = static_cast<long long>(blockIdx.x) << logTy;
    const int activeY = static_cast<int>(lines - line0 < (1LL << logTy) ? lines - line0 : (1LL << logTy));
    Complex* block0 = data + static_cast<size_t>(line0) * static_cast<size_t>(n);
    float* re = block.dynamicShared<float>();
    float* im = re + (static_cast<size_t>(n) << logTy);

    if (factor)
        loadFirstStages(block, ProductLines{factor + (block0 - data), block0, n}, re, im, logN, logTy, tx, activeY,
                        sign);
    else
        loadFirstStages(block, ComplexLines{block0, n}, re, im, logN, logTy, tx, activeY, sign);
    radix4Passes(block, re, im, twiddles, logN, logTy, tx, activeY, sign);

    // Threads along each line here, so that global memory is written contiguously.
    const int logTx = log2Exact(tx);
    for (int base = 0; base < n; base += tx) {
        lanes<false>(
            block, logTx, activeY, imin(tx, n - base),
            [&](int line) { return SlotAndOffset{line + (base << logTy), line * n + base}; },
            [&](const SlotAndOffset& u, int e) {
                block0[u.offset + e] = make_float2(re[u.slot + (e << logTy)], im[u.slot + (e << logTy)]);
            });
    }
}

// Mixed-radix path: lengths 2^a 3^b 5^c, Stockham autosort (natural order in
// and out) between two shared buffers, radix 4 while it divides, then 2, 3, 5.
// Pass with radix R after radices of product ns: butterfly j < n / R reads
// elements j + r n / R, twiddled by W_n^(k r n / (ns R)) with k = j mod ns, and
// writes elements (j - k) R + k + p ns. twiddles holds W_n^m for every m < n.
template <int R, class At>
struct StageSlots {
    At src[R];
    int dst[R];
    float wr[R], wi[R];
};

template <int R>
__device__ __forceinline__ void butterfly(float* vr, float* vi, float sign);

template <>
__device__ __forceinline__ void butterfly<2>(float* vr, float* vi, float) {
    const float ar = vr[0], ai = vi[0];
    vr[0] = ar + vr[1];
    vi[0] = ai + vi[1];
    vr[1] = ar - vr[1];
    vi[1] = ai - vi[1];
}

template <>
__device__ __forceinline__ void butterfly<3>(float* vr, float* vi, float sign) {
    const float s = sign * 0.866025403784438647f;  // sin(2 pi / 3)
    const float tr = vr[1] + vr[2], ti = vi[1] + vi[2];
    const float dr = vr[1] - vr[2], di = vi[1] - vi[2];
    const float mr = vr[0] - 0.5f * tr, mi = vi[0] - 0.5f * ti;
    vr[0] += tr;
    vi[0] += ti;
    vr[1] = mr - s * di;
    vi[1] = mi + s * dr;
    vr[2] = mr + s * di;
    vi[2] = mi - s * dr;
}

template <>
__device__ __forceinline__ void butterfly<4>(float* vr, float* vi, float sign) {
    const float ar = vr[0] + vr[2], ai = vi[0] + vi[2], br = vr[0] - vr[2], bi = vi[0] - vi[2];
    const float cr = vr[1] + vr[3], ci = vi[1] + vi[3], dr = vr[1] - vr[3], di = vi[1] - vi[3];
    // W4 * d with W4 = sign * i.
    const float jr = -sign * di, ji = sign * dr;
    vr[0] = ar + cr;
    vi[0] = ai + ci;
    vr[2] = ar - cr;
    vi[2] = ai - ci;
    vr[1] = br + jr;
    vi[1] = bi + ji;
    vr[3] = br - jr;
    vi[3] = bi - ji;
}

template <>
__device__ __forceinline__ void butterfly<5>(float* vr, float* vi, float sign) {
    const float c1 = 0.309016994374947424f, c2 = -0.809016994374947424f;  // cos(2 pi / 5), cos(4 pi / 5)
    const float s1 = sign * 0.951056516295153572f, s2 = sign * 0.587785252292473129f;
    const float t1r = vr[1] + vr[4], t1i = vi[1] + vi[4], d1r = vr[1] - vr[4], d1i = vi[1] - vi[4];
    const float t2r = vr[2] + vr[3], t2i = vi[2] + vi[3], d2r = vr[2] - vr[3], d2i = vi[2] - vi[3];
    const float m1r = vr[0] + c1 * t1r + c2 * t2r, m1i = vi[0] + c1 * t1i + c2 * t2i;
    const float m2r = vr[0] + c2 * t1r + c1 * t2r, m2i = vi[0] + c2 * t1i + c1 * t2i;
    // i (s1 d1 + s2 d2) and i (s2 d1 - s1 d2).
    const float n1r = -(s1 * d1i + s2 * d2i), n1i = s1 * d1r + s2 * d2r;
    const float n2r = -(s2 * d1i - s1 * d2i), n2i = s2 * d1r - s1 * d2r;
    vr[0] += t1r + t2r;
    vi[0] += t1i + t2i;
    vr[1] = m1r + n1r;
    vi[1] = m1i + n1i;
    vr[4] = m1r - n1r;
    vi[4] = m1i - n1i;
    vr[2] = m2r + n2r;
    vi[2] = m2i + n2i;
    vr[3] = m2r - n2r;
    vi[3] = m2i - n2i;
}

// Element e of the block's lines in shared memory (e << logTy) + line.
struct SharedLines {
    const float* re;
    const float* im;
    int logTy;
    struct At {
        int slot;
    };
    __device__ __forceinline__ At at(int e) const { return {e << logTy}; }
    __device__ __forceinline__ Complex get(At a, int y) const { return make_float2(re[a.slot + y], im[a.slot + y]); }
};

// One pass from source (the first pass reads the lines where they are) to the
// shared buffer (dre, dim).
template <int R, class Source>
__device__ __forceinline__ void mixedStage(const Block& block, const Source& source, float* dre, float* dim,
                                           const Complex* twiddles, int n, int ns, int logTy, int tx, int activeY,
                                           float sign) {
    const int groups = n / R, span = n / (ns * R);
    for (int base = 0; base < groups; base += tx) {
        lanes<false>(
            block, logTy, imin(tx, groups - base), activeY,
            [&](int x) TAVRO_FFT_BODY {
                const int j = base + x, k = j % ns, d = (j - k) * R + k;
                StageSlots<R, typename Source::At> u;
                for (int r = 0; r < R; ++r) {
                    const Complex w = twiddles[k * r * span];
                    u.src[r] = source.at(j + r * groups);
                    u.dst[r] = (d + r * ns) << logTy;
                    u.wr[r] = w.x;
                    u.wi[r] = -sign * w.y;
                }
                return u;
            },
            [&](const StageSlots<R, typename Source::At>& u, int y) TAVRO_FFT_BODY {
                float vr[R], vi[R];
                const Complex a0 = source.get(u.src[0], y);
                vr[0] = a0.x;
                vi[0] = a0.y;
                for (int r = 1; r < R; ++r) {
                    const Complex a = source.get(u.src[r], y);
                    vr[r] = a.x * u.wr[r] - a.y * u.wi[r];
                    vi[r] = a.x * u.wi[r] + a.y * u.wr[r];
                }
                butterfly<R>(vr, vi, sign);
                for (int r = 0; r < R; ++r) {
                    dre[u.dst[r] + y] = vr[r];
                    dim[u.dst[r] + y] = vi[r];
                }
            });
    }
    block.sync();
}

template <class Source>
__device__ __forceinline__ void mixedStageOf(int radix, const Block& block, const Source& source, float* dre,
                                             float* dim, const Complex* twiddles, int n, int ns, int logTy, int tx,
                                             int activeY, float sign) {
    switch (radix) {
    case 4:
        mixedStage<4>(block, source, dre, dim, twiddles, n, ns, logTy, tx, activeY, sign);
        break;
    case 2:
        mixedStage<2>(block, source, dre, dim, twiddles, n, ns, logTy, tx, activeY, sign);
        break;
    case 3:
        mixedStage<3>(block, source, dre, dim, twiddles, n, ns, logTy, tx, activeY, sign);
        break;
    default:
        mixedStage<5>(block, source, dre, dim, twiddles, n, ns, logTy, tx, activeY, sign);
    }
}

__device__ __forceinline__ int radixOf(int rest) {
    return rest % 4 == 0 ? 4 : rest % 2 == 0 ? 2 : rest % 3 == 0 ? 3 : 5;
}

struct MixedBuffers {
    float* re[2];
    float* im[2];
};

// Transforms the block's lines read from source; returns the shared buffer
// that holds the results (natural order).
template <class Source>
__device__ __forceinline__ int mixedTransform(const Block& block, const Source& source, const MixedBuffers& b,
                                              const Complex* twiddles, int n, int logTy, int tx, int activeY,
                                              float sign) {
    if (n == 1) {
        lanes<true>(
            block, logTy, 1, activeY, [&](int) { return source.at(0); },
            [&](const typename Source::At& u, int y) {
                const Complex z = source.get(u, y);
                b.re[0][y] = z.x;
                b.im[0][y] = z.y;
            });
        return 0;
    }
    int radix = radixOf(n);
    mixedStageOf(radix, block, source, b.re[0], b.im[0], twiddles, n, 1, logTy, tx, activeY, sign);
    int current = 0;
    for (int ns = radix, rest = n / radix; rest > 1; current ^= 1) {
        radix = radixOf(rest);
        mixedStageOf(radix, block, SharedLines{b.re[current], b.im[current], logTy}, b.re[current ^ 1],
                     b.im[current ^ 1], twiddles, n, ns, logTy, tx, activeY, sign);
        ns *= radix;
        rest /= radix;
    }
    return current;
}

// Two buffers of n elements for each of the block's 2^logTy lines.
__device__ __forceinline__ MixedBuffers mixedBuffers(const Block& block, int n, int logTy) {
    float* base = block.dynamicShared<float>();
    const size_t line = static_cast<size_t>(n) << logTy;
    return {{base, base + 2 * line}, {base + line, base + 3 * line}};
}

// kRowsR2C_T for a half length of radices 2, 3 and 5.
__global__ void kMixedRowsR2C_T(const float* __restrict__ input, Complex* __restrict__ output,
                                const Complex* __restrict__ twiddlesHalf, const Complex* __restrict__ twiddlesCols,
                                int rows, int half, int logTy) {
    const Block block;
    const int cols = 2 * half, tx = static_cast<int>(blockDim.x);
    const int row0 = static_cast<int>(blockIdx.x) << logTy;
    const int activeY = imin(1 << logTy, rows - row0);
    const size_t image = blockIdx.y;
    const MixedBuffers b = mixedBuffers(block, half, logTy);
    const RealPairs source{input + (image * static_cast<size_t>(rows) + static_cast<size_t>(row0)) * cols, cols};
    const int current = mixedTransform(block, source, b, twiddlesHalf, half, logTy, tx, activeY, -1.0f);
    const float* re = b.re[current];
    const float* im = b.im[current];

    Complex* out = output + image * static_cast<size_t>(half + 1) * static_cast<size_t>(rows) + row0;
    writeSplitBins(block, re, im, out, twiddlesCols, half, rows, logTy, activeY, tx);
}

// kRowsC2R_T for a half length of radices 2, 3 and 5.
__global__ void kMixedRowsC2R_T(const Complex* __restrict__ input, float* __restrict__ output,
                                const Complex* __restrict__ twiddlesHalf, const Complex* __restrict__ twiddlesCols,
                                int rows, int half, int logTy) {
    const Block block;
    const int cols = 2 * half, tx = static_cast<int>(blockDim.x);
    const int row0 = static_cast<int>(blockIdx.x) << logTy;
    const int activeY = imin(1 << logTy, rows - row0);
    const size_t image = blockIdx.y;
    const MixedBuffers b = mixedBuffers(block, half, logTy);
    const HalfSpectrum source{input + image * static_cast<size_t>(half + 1) * static_cast<size_t>(rows) + row0,
                              twiddlesCols, rows, half};
    const int current = mixedTransform(block, source, b, twiddlesHalf, half, logTy, tx, activeY, 1.0f);
    const float* re = b.re[current];
    const float* im = b.im[current];

    float* out = output + (image * static_cast<size_t>(rows) + static_cast<size_t>(row0)) * cols;
    for (int base = 0; base < half; base += tx) {
        lanes<false>(
            block, logTy, imin(tx, half - base), activeY,
            [&](int x) { return SlotAndOffset{(base + x) << logTy, 2 * (base + x)}; },
            [&](const SlotAndOffset& u, int y) {
                out[y * cols + u.offset] = 2.0f * re[u.slot + y];
                out[y * cols + u.offset + 1] = 2.0f * im[u.slot + y];
            });
    }
}

// kRowsC2C for lengths of radices 2, 3 and 5.
__global__ void kMixedC2C(Complex* __restrict__ data, const Complex* __restrict__ twiddles, int n, long long lines,
                          int logTy, float sign, const Complex* __restrict__ factor) {
    const Block block;
    const int tx = static_cast<int>(blockDim.x);
    const long long line0 = static_cast<long long>(blockIdx.x) << logTy;
    const int activeY = static_cast<int>(lines - line0 < (1LL << logTy) ? lines - line0 : (1LL << logTy));
    Complex* block0 = data + static_cast<size_t>(line0) * static_cast<size_t>(n);
    const MixedBuffers b = mixedBuffers(block, n, logTy);
    const int current =
        factor ? mixedTransform(block, ProductLines{factor + (block0 - data), block0, n}, b, twiddles, n, logTy, tx,
                                activeY, sign)
               : mixedTransform(block, ComplexLines{block0, n}, b, twiddles, n, logTy, tx, activeY, sign);
    const float* re = b.re[current];
    const float* im = b.im[current];
    for (int base = 0; base < n; base += tx) {
        lanes<false>(
            block, logTy, imin(tx, n - base), activeY,
            [&](int x) { return SlotAndOffset{(base + x) << logTy, base + x}; },
            [&](const SlotAndOffset& u, int y) {
                block0[y * n + u.offset] = make_float2(re[u.slot + y], im[u.slot + y]);
            });
    }
}

// Per image: input a x b row-major, output b x a.
__global__ void kTranspose(const Complex* __restrict__ input, Complex* __restrict__ output, int a, int b) {
    const Block block;
    __shared__ Complex tile[kTile][kTile + 1];
    const int c0 = static_cast<int>(blockIdx.x) * kTile, r0 = static_cast<int>(blockIdx.y) * kTile;
    const size_t imageOffset = static_cast<size_t>(blockIdx.z) * static_cast<size_t>(a) * static_cast<size_t>(b);
    const Complex* in = input + imageOffset;
    Complex* out = output + imageOffset;
    const int tileRows = imin(kTile, a - r0), tileCols = imin(kTile, b - c0);

    lanes<true>(
        block, 5, tileRows, tileCols, [&](int x) { return TileRow{x, static_cast<size_t>(r0 + x) * b + c0}; },
        [&](const TileRow& u, int y) { tile[u.index][y] = in[u.offset + y]; });
    lanes<true>(
        block, 5, tileCols, tileRows, [&](int x) { return TileRow{x, static_cast<size_t>(c0 + x) * a + r0}; },
        [&](const TileRow& u, int y) { out[u.offset + y] = tile[y][u.index]; });
}

__device__ __forceinline__ long long globalThread() {
    return static_cast<long long>(blockIdx.x) * blockDim.x + threadIdx.x;
}

// One radix-2 Stockham pass over lines of length 2^logM; sign -1 forward, +1 inverse.
__global__ void kStockhamPass(const Complex* __restrict__ src, Complex* __restrict__ dst,
                              const Complex* __restrict__ twiddles, int logM, int logSpan, long long threads,
                              float sign) {
    const long long t = globalThread();
    if (t >= threads) return;
    const int halfM = 1 << (logM - 1);
    const size_t line = static_cast<size_t>(t >> (logM - 1)) << logM;
    const int j = static_cast<int>(t) & (halfM - 1);
    const int q = j >> logSpan, k = j & ((1 << logSpan) - 1);
    Complex w = twiddles[q << logSpan];
    w.y *= -sign;
    const Complex a = src[line + j], b = src[line + j + halfM];
    const size_t o = line + (static_cast<size_t>(q) << (logSpan + 1)) + k;
    dst[o] = make_float2(a.x + b.x, a.y + b.y);
    dst[o + (1 << logSpan)] = cmul(make_float2(a.x - b.x, a.y - b.y), w);
}

// Threads of the Bluestein kernels run over lines x M; t splits without division.
__global__ void kChirpLoad(const Complex* __restrict__ x, Complex* __restrict__ work, const Complex* __restrict__ chirp,
                           int n, int logM, long long threads, int inverse) {
    const long long t = globalThread();
    if (t >= threads) return;
    const int k = static_cast<int>(t & ((1LL << logM) - 1));
    if (k >= n) {
        work[t] = make_float2(0.0f, 0.0f);
        return;
    }
    Complex v = x[static_cast<size_t>(t >> logM) * static_cast<size_t>(n) + k];
    if (inverse) v.y = -v.y;
    work[t] = cmul(v, chirp[k]);
}

__global__ void kChirpLoadReal(const float* __restrict__ x, Complex* __restrict__ work,
                               const Complex* __restrict__ chirp, int n, int logM, long long threads) {
    const long long t = globalThread();
    if (t >= threads) return;
    const int k = static_cast<int>(t & ((1LL << logM) - 1));
    if (k >= n) {
        work[t] = make_float2(0.0f, 0.0f);
        return;
    }
    const float v = x[static_cast<size_t>(t >> logM) * static_cast<size_t>(n) + k];
    work[t] = make_float2(v * chirp[k].x, v * chirp[k].y);
}

// lines[i] = factor[i] x conj(lines[i]).
__global__ void kConjugateProduct(const Complex* __restrict__ factor, Complex* __restrict__ lines, long long count) {
    const long long t = globalThread();
    if (t < count) lines[t] = timesConjugate(factor[t], lines[t]);
}

__global__ void kMulSpectrum(Complex* __restrict__ work, const Complex* __restrict__ spectrum, int logM,
                             long long threads) {
    const long long t = globalThread();
    if (t >= threads) return;
    work[t] = cmul(work[t], spectrum[t & ((1LL << logM) - 1)]);
}

// Bins k < count of each line, times the chirp and scale, to out[line * stride + k].
__global__ void kChirpStore(const Complex* __restrict__ work, Complex* __restrict__ out,
                            const Complex* __restrict__ chirp, int logM, int count, int stride, float scale,
                            long long threads, int inverse) {
    const long long t = globalThread();
    if (t >= threads) return;
    const int k = static_cast<int>(t & ((1LL << logM) - 1));
    if (k >= count) return;
    Complex v = cmul(work[t], chirp[k]);
    v.x *= scale;
    v.y *= inverse ? -scale : scale;
    out[static_cast<size_t>(t >> logM) * static_cast<size_t>(stride) + k] = v;
}

__global__ void kChirpStoreReal(const Complex* __restrict__ work, float* __restrict__ out,
                                const Complex* __restrict__ chirp, int logM, int n, float scale, long long threads) {
    const long long t = globalThread();
    if (t >= threads) return;
    const int k = static_cast<int>(t & ((1LL << logM) - 1));
    if (k >= n) return;
    const Complex w = work[t], c = chirp[k];
    out[static_cast<size_t>(t >> logM) * static_cast<size_t>(n) + k] = (w.x * c.x - w.y * c.y) * scale;
}

// Full rows of cols bins from half rows of halfCols bins (Hermitian symmetry).
__global__ void kHermitianExpand(const Complex* __restrict__ half, Complex* __restrict__ full, int cols,
                                 int halfCols, int logM, long long threads) {
    const long long t = globalThread();
    if (t >= threads) return;
    const int k = static_cast<int>(t & ((1LL << logM) - 1));
    if (k >= cols) return;
    const size_t line = static_cast<size_t>(t >> logM);
    const Complex* src = half + line * static_cast<size_t>(halfCols);
    Complex v = k < halfCols ? src[k] : src[cols - k];
    if (k >= halfCols) v.y = -v.y;
    full[line * static_cast<size_t>(cols) + k] = v;
}

bool isPowerOfTwo(int64_t v) { return v > 0 && (v & (v - 1)) == 0; }

} // namespace

bool isSmooth(int64_t v) {
    if (v < 1) return false;
    for (const int p : {2, 3, 5})
        while (v % p == 0) v /= p;
    return v == 1;
}

int32_t nextSmooth(int32_t v) {
    int32_t n = std::max(v, 1);
    while (!isSmooth(n)) ++n;
    return n;
}

namespace {

unsigned gridFor(long long threads) { return static_cast<unsigned>((threads + kThreads - 1) / kThreads); }

struct Shape {
    dim3 block;
    int logTy;
    size_t sharedBytes;
};

// Row kernels: bytesPerRow is (half + 1) x 8 forward, (2 half + 1) x 8 inverse.
Shape rowShape(int half, int rows, int64_t bytesPerRow) {
    int tx = 8;
    while (tx < 64 && tx < half / 8) tx *= 2;
    int ty = std::clamp(512 / tx, 4, 32);
    while (ty > 1 && bytesPerRow * ty >= 49153) ty /= 2;
    ty = std::min(ty, rows);
    return {dim3(static_cast<unsigned>(tx), static_cast<unsigned>(ty)), log2Exact(ty),
            static_cast<size_t>(bytesPerRow) * static_cast<size_t>(ty)};
}

// Up to 32 lines per block: on the CPU the lines are the vector lanes, and
// each butterfly's indices and twiddles serve them all.
Shape columnShape(int n) {
    int tx = 8;
    while (tx < 128 && tx < n / 8) tx *= 2;
    int ty = std::max(1, std::min(256 / tx, 32));
    while (ty > 1 && int64_t{ty} * n * 8 >= 49153) ty /= 2;
    return {dim3(static_cast<unsigned>(tx), static_cast<unsigned>(ty)), log2Exact(ty),
            static_cast<size_t>(ty) * static_cast<size_t>(n) * sizeof(Complex)};
}

// Mixed-radix kernels: two buffers of n complex values per line, 32 lines per
// block where they fit (on the CPU, the lines are the vector lanes).
Shape mixedShape(int n) {
    int ty = 32;
    while (ty > 1 && int64_t{ty} * n * 16 >= 49153) ty /= 2;
    int tx = 8;
    while (tx * ty < 256 && tx * 4 < n) tx *= 2;
    return {dim3(static_cast<unsigned>(tx), static_cast<unsigned>(ty)), log2Exact(ty),
            static_cast<size_t>(ty) * static_cast<size_t>(n) * 16};
}

// Grids carry the image index in y or z, limited to 65535 per launch.
template <class F>
void forImageChunks(int batch, F&& launch) {
    for (int first = 0; first < batch; first += static_cast<int>(kMaxGridY))
        launch(first, std::min(batch - first, static_cast<int>(kMaxGridY)));
}

void transpose(const Complex* input, Complex* output, int a, int b, int batch) {
    const size_t image = static_cast<size_t>(a) * static_cast<size_t>(b);
    forImageChunks(batch, [&](int first, int count) {
        const dim3 grid((b + kTile - 1) / kTile, (a + kTile - 1) / kTile, static_cast<unsigned>(count));
        TAVRO_LAUNCH_BLOCK(kTranspose, grid, dim3(kTile, kTile), 0, input + first * image, output + first * image, a,
                           b);
    });
}

void columns(const Plan& plan, Complex* data, float sign, const Complex* factor = nullptr) {
    const Shape shape = columnShape(plan.rows);
    const long long lines = static_cast<long long>(plan.halfCols) * plan.batch;
    const long long blocks = (lines + (1LL << shape.logTy) - 1) >> shape.logTy;
    TAVRO_LAUNCH_BLOCK(kRowsC2C, static_cast<unsigned>(blocks), shape.block, shape.sharedBytes, data,
                       plan.twiddlesRows, plan.logRows, lines, shape.logTy, sign, factor);
}

void mixedColumns(const Plan& plan, Complex* data, float sign, const Complex* factor = nullptr) {
    const Shape shape = mixedShape(plan.rows);
    const long long lines = static_cast<long long>(plan.halfCols) * plan.batch;
    const long long blocks = (lines + (1LL << shape.logTy) - 1) >> shape.logTy;
    TAVRO_LAUNCH_BLOCK(kMixedC2C, static_cast<unsigned>(blocks), shape.block, shape.sharedBytes, data,
                       plan.twiddlesRows, plan.rows, lines, shape.logTy, sign, factor);
}

// Radix-2 Stockham over `lines` lines of the axis' length, alternating between
// the two buffers; returns the one holding the result.
Complex* stockham(Complex* src, Complex* other, const BluesteinAxis& axis, long long lines, float sign) {
    const long long threads = lines << (axis.logM - 1);
    for (int span = 0; span < axis.logM; ++span) {
        TAVRO_LAUNCH(kStockhamPass, gridFor(threads), kThreads, 0, src, other, axis.twiddles, axis.logM, span, threads,
                     sign);
        std::swap(src, other);
    }
    return src;
}

// Bluestein over `lines` lines in groups of chunkLines: load(first, count,
// threads) fills workA, store(first, count, threads, result) writes the lines.
template <class Load, class Store>
bool bluestein(const Plan& plan, const BluesteinAxis& axis, long long lines, Load&& load, Store&& store,
               std::string& error) {
    for (long long first = 0; first < lines; first += plan.chunkLines) {
        const long long count = std::min<long long>(plan.chunkLines, lines - first);
        const long long threads = count << axis.logM;
        load(first, count, threads);
        Complex* spectrum = stockham(plan.workA, plan.workB, axis, count, -1.0f);
        TAVRO_LAUNCH(kMulSpectrum, gridFor(threads), kThreads, 0, spectrum, axis.kernelSpectrum, axis.logM, threads);
        Complex* result =
            stockham(spectrum, spectrum == plan.workA ? plan.workB : plan.workA, axis, count, 1.0f);
        store(first, count, threads, result);
    }
    const cudaError_t status = cudaGetLastError();
    if (status == cudaSuccess) return true;
    error = "tavro_fft: Bluestein: " + std::string(cudaErrorDescription(status));
    return false;
}

bool finish(const char* prefix, std::string& error) {
    const cudaError_t status = cudaGetLastError();
    if (status == cudaSuccess) return true;
    error = prefix + std::string(cudaErrorDescription(status));
    return false;
}

bool byteCount(uint64_t count, uint64_t& bytes) {
    if (count > std::numeric_limits<uint64_t>::max() / sizeof(Complex)) return false;
    bytes = count * sizeof(Complex);
    return true;
}

bool product(uint64_t a, uint64_t b, uint64_t& out) {
    if (a != 0 && b > std::numeric_limits<uint64_t>::max() / a) return false;
    out = a * b;
    return true;
}

// The failure stays in the message, not in the thread's pending error.
bool allocateRaw(Complex*& slot, uint64_t count, uint64_t& bytes, const char* prefix, std::string& error) {
    cudaError_t status = cudaErrorMemoryAllocation;
    void* p = nullptr;
    if (byteCount(count, bytes)) status = cudaMalloc(&p, static_cast<size_t>(bytes));
    if (status == cudaSuccess) {
        slot = static_cast<Complex*>(p);
        return true;
    }
    cudaGetLastError();
    error = prefix + std::string(cudaErrorDescription(status));
    return false;
}

bool allocate(Plan& plan, Complex*& slot, uint64_t count, const char* prefix, std::string& error) {
    uint64_t bytes = 0;
    if (!allocateRaw(slot, count, bytes, prefix, error)) return false;
    plan.deviceBytes += bytes;
    return true;
}

bool upload(Plan& plan, Complex*& slot, const std::vector<Complex>& host, const char* prefix, std::string& error) {
    if (!allocate(plan, slot, host.size(), prefix, error)) return false;
    const cudaError_t status =
        cudaMemcpy(slot, host.data(), host.size() * sizeof(Complex), cudaMemcpyHostToDevice);
    if (status == cudaSuccess) return true;
    cudaGetLastError();
    error = prefix + std::string(cudaErrorDescription(status));
    return false;
}

// w_k = exp(-2 pi i k / n) for k < count, in double then rounded.
std::vector<Complex> twiddleTable(int64_t n, int64_t count) {
    std::vector<Complex> table(static_cast<size_t>(count));
    const double pi = std::acos(-1.0);
    for (int64_t k = 0; k < count; ++k) {
        const double angle = -2.0 * pi * static_cast<double>(k) / static_cast<double>(n);
        table[static_cast<size_t>(k)] =
            make_float2(static_cast<float>(std::cos(angle)), static_cast<float>(std::sin(angle)));
    }
    return table;
}

bool buildShared(Plan& plan, std::string& error) {
    const char* tables = "tavro_fft: tables: ";
    if (!upload(plan, plan.twiddlesHalf, twiddleTable(plan.half, plan.half / 2), tables, error) ||
        !upload(plan, plan.twiddlesRows, twiddleTable(plan.rows, plan.rows / 2), tables, error) ||
        !upload(plan, plan.twiddlesCols, twiddleTable(plan.cols, plan.half + 1), tables, error))
        return false;
    if (plan.transposedSpectrum) return true;
    const uint64_t bins = uint64_t(plan.halfCols) * uint64_t(plan.rows) * uint64_t(plan.batch);
    return allocate(plan, plan.spectrumA, bins, "tavro_fft: tampon transposée: ", error);
}

// Full tables for the mixed-radix passes, which index W_n^m for every m < n.
bool buildMixed(Plan& plan, std::string& error) {
    const char* tables = "tavro_fft: tables: ";
    if (!upload(plan, plan.twiddlesHalf, twiddleTable(plan.half, plan.half), tables, error) ||
        !upload(plan, plan.twiddlesRows, twiddleTable(plan.rows, plan.rows), tables, error) ||
        !upload(plan, plan.twiddlesCols, twiddleTable(plan.cols, plan.half + 1), tables, error))
        return false;
    if (plan.transposedSpectrum) return true;
    const uint64_t bins = uint64_t(plan.halfCols) * uint64_t(plan.rows) * uint64_t(plan.batch);
    return allocate(plan, plan.spectrumA, bins, "tavro_fft: tampon transposée: ", error);
}

class DeviceScratch {
public:
    DeviceScratch() = default;
    DeviceScratch(const DeviceScratch&) = delete;
    DeviceScratch& operator=(const DeviceScratch&) = delete;
    ~DeviceScratch() { cudaFree(data_); }
    Complex*& slot() { return data_; }

private:
    Complex* data_ = nullptr;
};

bool buildAxis(Plan& plan, BluesteinAxis& axis, int n, std::string& error) {
    axis.n = n;
    axis.logM = log2Exact(2 * int64_t{n} - 1);
    axis.M = 1 << axis.logM;
    const size_t M = static_cast<size_t>(axis.M);
    if (!upload(plan, axis.twiddles, twiddleTable(axis.M, axis.M / 2), "tavro_fft: racines Bluestein: ", error))
        return false;

    std::vector<Complex> chirp(static_cast<size_t>(n));
    const double pi = std::acos(-1.0);
    for (int64_t k = 0; k < n; ++k) {
        // k^2 reduced modulo 2n in 64 bits keeps the angle within one turn.
        const double angle = -pi * static_cast<double>((k * k) % (2 * int64_t{n})) / n;
        chirp[static_cast<size_t>(k)] =
            make_float2(static_cast<float>(std::cos(angle)), static_cast<float>(std::sin(angle)));
    }
    if (!upload(plan, axis.chirp, chirp, "tavro_fft: chirp: ", error)) return false;

    std::vector<Complex> kernel(M, make_float2(0.0f, 0.0f));
    for (size_t k = 0; k < static_cast<size_t>(n); ++k) {
        const Complex b = make_float2(chirp[k].x, -chirp[k].y);
        kernel[k] = b;
        if (k > 0) kernel[M - k] = b;
    }
    // The logM passes alternate buffers: start in the one that makes the last pass land in kernelSpectrum.
    const char* kernelStep = "tavro_fft: noyau Bluestein: ";
    DeviceScratch scratch;
    uint64_t scratchBytes = 0;
    if (!allocate(plan, axis.kernelSpectrum, M, kernelStep, error) ||
        !allocateRaw(scratch.slot(), M, scratchBytes, kernelStep, error))
        return false;
    Complex* start = axis.logM % 2 == 0 ? axis.kernelSpectrum : scratch.slot();
    Complex* other = start == axis.kernelSpectrum ? scratch.slot() : axis.kernelSpectrum;
    cudaError_t status = cudaMemcpy(start, kernel.data(), M * sizeof(Complex), cudaMemcpyHostToDevice);
    if (status != cudaSuccess) {
        cudaGetLastError();
        error = kernelStep + std::string(cudaErrorDescription(status));
        return false;
    }
    stockham(start, other, axis, 1, -1.0f);
    status = cudaGetLastError();
    if (status == cudaSuccess) status = cudaDeviceSynchronize();
    if (status != cudaSuccess) {
        cudaGetLastError();
        error = "tavro_fft: FFT du noyau: " + std::string(cudaErrorDescription(status));
        return false;
    }
    return true;
}

bool buildGeneral(Plan& plan, std::string& error) {
    if (!buildAxis(plan, plan.colsAxis, plan.cols, error) || !buildAxis(plan, plan.rowsAxis, plan.rows, error))
        return false;
    const int64_t M = std::max(plan.colsAxis.M, plan.rowsAxis.M);
    const int64_t cap = int64_t{std::max(plan.rows, plan.halfCols)} * plan.batch;
    plan.chunkLines = std::min(std::max<int64_t>(1, kWorkBytes / (M * 16)), cap);

    const char* buffers = "tavro_fft: tampons Bluestein: ";
    uint64_t work = 0, spectrum = 0, perImage = 0, line = 0;
    const bool fits = product(uint64_t(plan.chunkLines), uint64_t(M), work) &&
                      product(uint64_t(plan.halfCols), uint64_t(plan.rows), perImage) &&
                      product(perImage, uint64_t(plan.batch), spectrum) &&
                      product(uint64_t(plan.cols), uint64_t(plan.chunkLines), line);
    if (!fits) {
        error = buffers + std::string(cudaErrorDescription(cudaErrorMemoryAllocation));
        return false;
    }
    return allocate(plan, plan.workA, work, buffers, error) && allocate(plan, plan.workB, work, buffers, error) &&
           allocate(plan, plan.spectrumA, spectrum, buffers, error) &&
           allocate(plan, plan.spectrumB, spectrum, buffers, error) &&
           allocate(plan, plan.lineBuffer, line, buffers, error);
}

bool sharedR2C(const Plan& plan, const float* input, Complex* output, std::string& error) {
    Complex* spectrum = plan.transposedSpectrum ? output : plan.spectrumA;
    const Shape shape = rowShape(plan.half, plan.rows, int64_t{plan.half + 1} * 8);
    const size_t realImage = size_t(plan.rows) * size_t(plan.cols);
    const size_t binImage = size_t(plan.rows) * size_t(plan.halfCols);
    forImageChunks(plan.batch, [&](int first, int count) {
        const dim3 grid(static_cast<unsigned>(plan.rows >> shape.logTy), static_cast<unsigned>(count));
        TAVRO_LAUNCH_BLOCK(kRowsR2C_T, grid, shape.block, shape.sharedBytes, input + first * realImage,
                           spectrum + first * binImage, plan.twiddlesHalf, plan.twiddlesCols, plan.rows, plan.logHalf,
                           shape.logTy);
    });
    columns(plan, spectrum, -1.0f);
    if (!plan.transposedSpectrum) transpose(spectrum, output, plan.halfCols, plan.rows, plan.batch);
    return finish("tavro_fft: execR2C: ", error);
}

// factor is given only with the transposed layout, where the columns run in place.
bool sharedC2R(const Plan& plan, Complex* input, float* output, int outputRows, const Complex* factor,
               std::string& error) {
    Complex* spectrum = input;
    if (!plan.transposedSpectrum) {
        transpose(input, plan.spectrumA, plan.rows, plan.halfCols, plan.batch);
        spectrum = plan.spectrumA;
    }
    columns(plan, spectrum, 1.0f, factor);
    // No more rows per block than asked for, so that a few first rows cost a few rows.
    const Shape shape = rowShape(plan.half, std::min(plan.rows, 1 << log2Exact(outputRows)),
                                 int64_t{2 * plan.half + 1} * 8);
    const size_t realImage = size_t(plan.rows) * size_t(plan.cols);
    const size_t binImage = size_t(plan.rows) * size_t(plan.halfCols);
    const int rowBlocks = (outputRows + (1 << shape.logTy) - 1) >> shape.logTy;
    forImageChunks(plan.batch, [&](int first, int count) {
        const dim3 grid(static_cast<unsigned>(rowBlocks), static_cast<unsigned>(count));
        TAVRO_LAUNCH_BLOCK(kRowsC2R_T, grid, shape.block, shape.sharedBytes, spectrum + first * binImage,
                           output + first * realImage, plan.twiddlesHalf, plan.twiddlesCols, plan.rows, plan.logHalf,
                           shape.logTy);
    });
    return finish("tavro_fft: execC2R: ", error);
}

bool mixedR2C(const Plan& plan, const float* input, Complex* output, std::string& error) {
    Complex* spectrum = plan.transposedSpectrum ? output : plan.spectrumA;
    const Shape shape = mixedShape(plan.half);
    const size_t realImage = size_t(plan.rows) * size_t(plan.cols);
    const size_t binImage = size_t(plan.rows) * size_t(plan.halfCols);
    const unsigned rowBlocks = static_cast<unsigned>((plan.rows + (1 << shape.logTy) - 1) >> shape.logTy);
    forImageChunks(plan.batch, [&](int first, int count) {
        TAVRO_LAUNCH_BLOCK(kMixedRowsR2C_T, dim3(rowBlocks, static_cast<unsigned>(count)), shape.block,
                           shape.sharedBytes, input + first * realImage, spectrum + first * binImage,
                           plan.twiddlesHalf, plan.twiddlesCols, plan.rows, plan.half, shape.logTy);
    });
    mixedColumns(plan, spectrum, -1.0f);
    if (!plan.transposedSpectrum) transpose(spectrum, output, plan.halfCols, plan.rows, plan.batch);
    return finish("tavro_fft: execR2C: ", error);
}

bool mixedC2R(const Plan& plan, Complex* input, float* output, int outputRows, const Complex* factor,
              std::string& error) {
    Complex* spectrum = input;
    if (!plan.transposedSpectrum) {
        transpose(input, plan.spectrumA, plan.rows, plan.halfCols, plan.batch);
        spectrum = plan.spectrumA;
    }
    mixedColumns(plan, spectrum, 1.0f, factor);
    const Shape shape = mixedShape(plan.half);
    const size_t realImage = size_t(plan.rows) * size_t(plan.cols);
    const size_t binImage = size_t(plan.rows) * size_t(plan.halfCols);
    const unsigned rowBlocks = static_cast<unsigned>((outputRows + (1 << shape.logTy) - 1) >> shape.logTy);
    forImageChunks(plan.batch, [&](int first, int count) {
        TAVRO_LAUNCH_BLOCK(kMixedRowsC2R_T, dim3(rowBlocks, static_cast<unsigned>(count)), shape.block,
                           shape.sharedBytes, spectrum + first * binImage, output + first * realImage,
                           plan.twiddlesHalf, plan.twiddlesCols, plan.rows, plan.half, shape.logTy);
    });
    return finish("tavro_fft: execC2R: ", error);
}

bool generalR2C(const Plan& plan, const float* input, Complex* output, std::string& error) {
    const BluesteinAxis& cols = plan.colsAxis;
    const float colsScale = 1.0f / static_cast<float>(cols.M);
    const bool rowsDone = bluestein(
        plan, cols, static_cast<long long>(plan.rows) * plan.batch,
        [&](long long first, long long, long long threads) {
            TAVRO_LAUNCH(kChirpLoadReal, gridFor(threads), kThreads, 0, input + first * plan.cols, plan.workA,
                         cols.chirp, plan.cols, cols.logM, threads);
        },
        [&](long long first, long long, long long threads, const Complex* result) {
            TAVRO_LAUNCH(kChirpStore, gridFor(threads), kThreads, 0, result, plan.spectrumA + first * plan.halfCols,
                         cols.chirp, cols.logM, plan.halfCols, plan.halfCols, colsScale, threads, 0);
        },
        error);
    if (!rowsDone) return false;
    transpose(plan.spectrumA, output, plan.rows, plan.halfCols, plan.batch);

    const BluesteinAxis& rows = plan.rowsAxis;
    const float rowsScale = 1.0f / static_cast<float>(rows.M);
    const bool columnsDone = bluestein(
        plan, rows, static_cast<long long>(plan.halfCols) * plan.batch,
        [&](long long first, long long, long long threads) {
            TAVRO_LAUNCH(kChirpLoad, gridFor(threads), kThreads, 0, output + first * plan.rows, plan.workA,
                         rows.chirp, plan.rows, rows.logM, threads, 0);
        },
        [&](long long first, long long, long long threads, const Complex* result) {
            TAVRO_LAUNCH(kChirpStore, gridFor(threads), kThreads, 0, result, output + first * plan.rows, rows.chirp,
                         rows.logM, plan.rows, plan.rows, rowsScale, threads, 0);
        },
        error);
    if (!columnsDone) return false;

    if (!plan.transposedSpectrum) {
        transpose(output, plan.spectrumB, plan.halfCols, plan.rows, plan.batch);
        const size_t bytes = size_t(plan.halfCols) * size_t(plan.rows) * size_t(plan.batch) * sizeof(Complex);
        const cudaError_t status = cudaMemcpy(output, plan.spectrumB, bytes, cudaMemcpyDeviceToDevice);
        if (status != cudaSuccess) {
            cudaGetLastError();
            error = "tavro_fft: execR2C: " + std::string(cudaErrorDescription(status));
            return false;
        }
    }
    return finish("tavro_fft: execR2C: ", error);
}

bool generalC2R(const Plan& plan, const Complex* input, float* output, std::string& error) {
    const Complex* columnsIn = input;
    if (!plan.transposedSpectrum) {
        transpose(input, plan.spectrumA, plan.rows, plan.halfCols, plan.batch);
        columnsIn = plan.spectrumA;
    }
    const BluesteinAxis& rows = plan.rowsAxis;
    const float rowsScale = 1.0f / static_cast<float>(rows.M);
    const bool columnsDone = bluestein(
        plan, rows, static_cast<long long>(plan.halfCols) * plan.batch,
        [&](long long first, long long, long long threads) {
            TAVRO_LAUNCH(kChirpLoad, gridFor(threads), kThreads, 0, columnsIn + first * plan.rows, plan.workA,
                         rows.chirp, plan.rows, rows.logM, threads, 1);
        },
        [&](long long first, long long, long long threads, const Complex* result) {
            TAVRO_LAUNCH(kChirpStore, gridFor(threads), kThreads, 0, result, plan.spectrumA + first * plan.rows,
                         rows.chirp, rows.logM, plan.rows, plan.rows, rowsScale, threads, 1);
        },
        error);
    if (!columnsDone) return false;
    transpose(plan.spectrumA, plan.spectrumB, plan.halfCols, plan.rows, plan.batch);

    const BluesteinAxis& cols = plan.colsAxis;
    const float colsScale = 1.0f / static_cast<float>(cols.M);
    const bool rowsDone = bluestein(
        plan, cols, static_cast<long long>(plan.rows) * plan.batch,
        [&](long long first, long long, long long threads) {
            TAVRO_LAUNCH(kHermitianExpand, gridFor(threads), kThreads, 0, plan.spectrumB + first * plan.halfCols,
                         plan.lineBuffer, plan.cols, plan.halfCols, cols.logM, threads);
            TAVRO_LAUNCH(kChirpLoad, gridFor(threads), kThreads, 0, plan.lineBuffer, plan.workA, cols.chirp,
                         plan.cols, cols.logM, threads, 1);
        },
        [&](long long first, long long, long long threads, const Complex* result) {
            TAVRO_LAUNCH(kChirpStoreReal, gridFor(threads), kThreads, 0, result, output + first * plan.cols,
                         cols.chirp, cols.logM, plan.cols, colsScale, threads);
        },
        error);
    if (!rowsDone) return false;
    return finish("tavro_fft: execC2R: ", error);
}

void release(Complex*& p) {
    if (p) cudaFree(p);
    p = nullptr;
}

void release(BluesteinAxis& axis) {
    release(axis.chirp);
    release(axis.kernelSpectrum);
    release(axis.twiddles);
}

} // namespace

Plan* createPlan(int32_t rows, int32_t cols, int32_t batch, int32_t transposedSpectrum, std::string& error) {
    error.clear();
    if (rows < 2 || cols < 2 || batch < 1 || rows > kMaxAxis || cols > kMaxAxis) {
        error = "tavro_fft: dimensions invalides.";
        return nullptr;
    }
    try {
        PlanPtr plan(new Plan());
        plan->cols = cols;
        plan->rows = rows;
        plan->batch = batch;
        plan->halfCols = cols / 2 + 1;
        plan->transposedSpectrum = transposedSpectrum;
        plan->sharedPath = isPowerOfTwo(cols) && isPowerOfTwo(rows) && cols >= 4 && int64_t{rows} * 8 <= 49152 &&
                           int64_t{cols / 2} * 16 < 49145;
        plan->mixedPath = !plan->sharedPath && cols % 2 == 0 && cols / 2 <= kMixedMaxLength &&
                          rows <= kMixedMaxLength && isSmooth(cols / 2) && isSmooth(rows);
        if (plan->sharedPath) {
            plan->half = cols / 2;
            plan->logHalf = log2Exact(plan->half);
            plan->logRows = log2Exact(rows);
            if (!buildShared(*plan, error)) return nullptr;
        } else if (plan->mixedPath) {
            plan->half = cols / 2;
            if (!buildMixed(*plan, error)) return nullptr;
        } else if (!buildGeneral(*plan, error)) {
            return nullptr;
        }
        return plan.release();
    } catch (const std::bad_alloc&) {
        error = "tavro_fft: " + std::string(cudaErrorDescription(cudaErrorMemoryAllocation));
        return nullptr;
    }
}

void destroyPlan(Plan* plan) {
    if (!plan) return;
    const std::unique_ptr<Plan> owner(plan);
    release(plan->twiddlesHalf);
    release(plan->twiddlesRows);
    release(plan->twiddlesCols);
    release(plan->colsAxis);
    release(plan->rowsAxis);
    release(plan->spectrumA);
    release(plan->spectrumB);
    release(plan->workA);
    release(plan->workB);
    release(plan->lineBuffer);
}

bool execR2C(Plan* plan, const float* input, Complex* output, std::string& error) {
    if (!plan || !input || !output) {
        error = "tavro_fft: execR2C, pointeur nul.";
        return false;
    }
    if (plan->sharedPath) return sharedR2C(*plan, input, output, error);
    return plan->mixedPath ? mixedR2C(*plan, input, output, error) : generalR2C(*plan, input, output, error);
}

bool execC2R(Plan* plan, Complex* input, float* output, std::string& error) {
    return execC2RRows(plan, input, output, plan ? plan->rows : 0, error);
}

bool execC2RRows(Plan* plan, Complex* input, float* output, int32_t rows, std::string& error) {
    return execC2RCorrelation(plan, nullptr, input, output, rows, error);
}

bool execC2RCorrelation(Plan* plan, const Complex* factor, Complex* input, float* output, int32_t rows,
                        std::string& error) {
    if (!plan || !input || !output) {
        error = "tavro_fft: execC2R, pointeur nul.";
        return false;
    }
    // The row pass is the last: rows it skips are rows of the output alone.
    const int outputRows = std::clamp(rows, 1, plan->rows);
    const bool fused = plan->transposedSpectrum && (plan->sharedPath || plan->mixedPath);
    if (factor && !fused) {
        const long long count = static_cast<long long>(plan->halfCols) * plan->rows * plan->batch;
        TAVRO_LAUNCH(kConjugateProduct, gridFor(count), kThreads, 0, factor, input, count);
    }
    const Complex* columnFactor = fused ? factor : nullptr;
    if (plan->sharedPath) return sharedC2R(*plan, input, output, outputRows, columnFactor, error);
    return plan->mixedPath ? mixedC2R(*plan, input, output, outputRows, columnFactor, error)
                           : generalC2R(*plan, input, output, error);
}

} // namespace tavro::fft
