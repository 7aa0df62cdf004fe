#pragma once
// The line transforms of the FFT's shared-memory paths as device functions of a
// block program: the FFT's own kernels run them over lines of many images, and
// other kernels over the lines of one frame that they keep in cache. A line's
// arithmetic does not depend on which block or thread handles it.

#include "core/tavro_fft.h"
#include "gpu/runtime.h"

// Butterfly bodies must melt into the CPU build's loop over lines, where a call
// per line would cost more than the butterfly.
#if defined(__CUDACC__)
#define TAVRO_FFT_BODY
#else
#define TAVRO_FFT_BODY __attribute__((always_inline))
#endif

namespace tavro::fft::detail {

using tavro::gpu::Block;

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
        // Fixed counts for the usual line counts: whole vectors, no remainder loop (or a fixed one for the
        // half + 1 column lines of one frame).
        switch (activeY) {
        case 32:
            lineLoop<32>(u, body);
            break;
        case 17:
            lineLoop<17>(u, body);
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

// One search frame of rows x 2 half reals and its transposed half spectrum (bin k of row r at k * rows + r), with
// the tables of a plan on the shared (power-of-two) or the mixed-radix path.
struct FrameTransform {
    const Complex* twiddlesHalf;
    const Complex* twiddlesRows;
    const Complex* twiddlesCols;
    int rows;
    int half;
    int logHalf;  // shared path
    int logRows;  // shared path
    int mixed;
};

// Each frame function runs once per point; on the CPU a call of its own keeps
// its loops' registers from those of the other phases (inlined all into one
// kernel, they spill in the inner loops).
#if defined(__CUDACC__)
#define TAVRO_FRAME_FUNCTION __device__ __forceinline__
#else
#define TAVRO_FRAME_FUNCTION inline __attribute__((noinline))
#endif

// Lines per pass of the frame functions: on the CPU the lines are the vector lanes.
constexpr int kFrameLogLines = 5;

// The frame functions' shared memory: the mixed-radix path's two buffers, or the shared path's one, of 32 lines.
__host__ __device__ __forceinline__ size_t frameSharedBytes(const FrameTransform& f) {
    const int n = f.rows > f.half ? f.rows : f.half;
    return static_cast<size_t>(n) * (static_cast<size_t>(1) << kFrameLogLines) * (f.mixed ? 16 : 8);
}

struct LinePair {
    const float* re;
    const float* im;
};

// Lines of length n from source, transformed in the block's shared memory: element i of line y at (i << logTy) + y.
template <class Source>
__device__ __forceinline__ LinePair transformLines(const Block& block, const Source& source, float* shared,
                                                   const Complex* twiddles, int n, int logN, int mixed, int tx,
                                                   int activeY, float sign) {
    const size_t line = static_cast<size_t>(n) << kFrameLogLines;
    if (mixed) {
        const MixedBuffers b{{shared, shared + 2 * line}, {shared + line, shared + 3 * line}};
        const int current = mixedTransform(block, source, b, twiddles, n, kFrameLogLines, tx, activeY, sign);
        return {b.re[current], b.im[current]};
    }
    float* re = shared;
    float* im = shared + line;
    loadFirstStages(block, source, re, im, logN, kFrameLogLines, tx, activeY, sign);
    radix4Passes(block, re, im, twiddles, logN, kFrameLogLines, tx, activeY, sign);
    return {re, im};
}

// The column transforms of a frame's half spectrum in place; with factor, of factor x conj(spectrum).
TAVRO_FRAME_FUNCTION void frameColumns(const Block& block, const FrameTransform& f, Complex* spectrum,
                                             const Complex* factor, float* shared, float sign) {
    const int ty = 1 << kFrameLogLines, tx = block.size() >> kFrameLogLines, n = f.rows;
    for (int line0 = 0; line0 <= f.half; line0 += ty) {
        const int active = imin(ty, f.half + 1 - line0);
        Complex* lines = spectrum + line0 * n;
        const LinePair l =
            factor ? transformLines(block, ProductLines{factor + line0 * n, lines, n}, shared, f.twiddlesRows, n,
                                    f.logRows, f.mixed, tx, active, sign)
                   : transformLines(block, ComplexLines{lines, n}, shared, f.twiddlesRows, n, f.logRows, f.mixed, tx,
                                    active, sign);
        for (int base = 0; base < n; base += tx) {
            lanes<false>(
                block, kFrameLogLines, imin(tx, n - base), active,
                [&](int x) { return SlotAndOffset{(base + x) << kFrameLogLines, base + x}; },
                [&](const SlotAndOffset& u, int y) {
                    lines[y * n + u.offset] = make_float2(l.re[u.slot + y], l.im[u.slot + y]);
                });
        }
        block.sync();
    }
}

// Forward transform of one frame by the whole block: the rows' half spectra, then the columns. Frame rows from
// usedRows on hold zeros: their groups of lines are not transformed and their bins are set to zero.
TAVRO_FRAME_FUNCTION void frameForward(const Block& block, const FrameTransform& f, const float* frame,
                                             Complex* spectrum, float* shared, int usedRows) {
    const int ty = 1 << kFrameLogLines, tx = block.size() >> kFrameLogLines, cols = 2 * f.half;
    const int transformedRows = imin(f.rows, (usedRows + ty - 1) / ty * ty);
    if (transformedRows < f.rows) {
        block.forEachThread([&](int t) {
            for (int k = t; k <= f.half; k += block.size())
                for (int r = transformedRows; r < f.rows; ++r) spectrum[k * f.rows + r] = make_float2(0.0f, 0.0f);
        });
    }
    for (int row0 = 0; row0 < transformedRows; row0 += ty) {
        const int active = imin(ty, f.rows - row0);
        const LinePair l = transformLines(block, RealPairs{frame + row0 * cols, cols}, shared, f.twiddlesHalf, f.half,
                                          f.logHalf, f.mixed, tx, active, -1.0f);
        writeSplitBins(block, l.re, l.im, spectrum + row0, f.twiddlesCols, f.half, f.rows, kFrameLogLines, active, tx);
        block.sync();
    }
    frameColumns(block, f, spectrum, nullptr, shared, -1.0f);
}

// Rows [0, outputRows) (or a few more) of the frame whose half spectrum's columns are already inverse-transformed.
TAVRO_FRAME_FUNCTION void frameInverseRows(const Block& block, const FrameTransform& f,
                                                 const Complex* spectrum, float* out, int outputRows,
                                                 float* shared) {
    const int ty = 1 << kFrameLogLines, tx = block.size() >> kFrameLogLines, cols = 2 * f.half;
    for (int row0 = 0; row0 < outputRows; row0 += ty) {
        // Whole vectors of rows, no more than needed.
        const int active = imin(imin(ty, f.rows - row0), (outputRows - row0 + 7) / 8 * 8);
        const LinePair l = transformLines(block, HalfSpectrum{spectrum + row0, f.twiddlesCols, f.rows, f.half},
                                          shared, f.twiddlesHalf, f.half, f.logHalf, f.mixed, tx, active, 1.0f);
        float* rows = out + row0 * cols;
        for (int base = 0; base < f.half; base += tx) {
            lanes<false>(
                block, kFrameLogLines, imin(tx, f.half - base), active,
                [&](int x) { return SlotAndOffset{(base + x) << kFrameLogLines, 2 * (base + x)}; },
                [&](const SlotAndOffset& u, int y) {
                    rows[y * cols + u.offset] = 2.0f * l.re[u.slot + y];
                    rows[y * cols + u.offset + 1] = 2.0f * l.im[u.slot + y];
                });
        }
        block.sync();
    }
}

} // namespace tavro::fft::detail
