#pragma once
// The sample loop of the refinement kernels (continuous and discontinuity-
// enriched): a block visits the samples of one subset, thread t taking samples
// t, t + size, ..., and starts from the normalised reference subset.

#include <cstdint>
#include <cstring>
#include <vector>

#include "gpu/runtime.h"

// Per-sample bodies must melt into the CPU build's loop over threads, where a
// call per sample would cost as much as the sample's arithmetic.
#if defined(__CUDACC__)
#define TAVRO_INLINE_BODY
#else
#define TAVRO_INLINE_BODY __attribute__((always_inline))
#endif

namespace tavro::detail {

struct SubsetLayout {
    int width;  // windowSizeX
    int height; // windowSizeY
    int count;  // width * height
    int halfX;
    int halfY;

    __device__ __forceinline__ static SubsetLayout of(int windowSizeX, int windowSizeY) {
        return {windowSizeX, windowSizeY, windowSizeX * windowSizeY, windowSizeX / 2, windowSizeY / 2};
    }
};

__device__ __forceinline__ float clampVariance(float v) { return v < 1e-12f ? 1e-12f : v; }
__device__ __forceinline__ bool isFinite(float x) { return x - x == 0.0f; }

// Thread t's first sample, column and row within the subset. Exact for t below
// 1024: the quotient stays well away from an integer.
__device__ __forceinline__ void firstSamples(const gpu::Block& block, const SubsetLayout& subset,
                                             gpu::PerThread<int>& col, gpu::PerThread<int>& row) {
    const int width = subset.width;
    const float inverseWidth = 1.0f / static_cast<float>(width);
    block.forEachThreadNoSync([&](int t) {
        const int r = static_cast<int>((static_cast<float>(t) + 0.5f) * inverseWidth);
        row[t] = r;
        col[t] = t - r * width;
    });
}

// Visits the pairs (t, s), s = t, t + size, ..., one stride at a time, with the
// sample's offset (dx, dy) from the subset centre: each thread sees its samples
// in the same order, so per-sample buffers it writes need no barrier before it
// reads them, and on the CPU every stride is one plain loop over t. The offsets
// step from the per-thread tables of firstSamples, without a division per sample.
template <class Body>
__device__ __forceinline__ void forEachSample(const gpu::Block& block, const SubsetLayout& subset,
                                              const gpu::PerThread<int>& col, const gpu::PerThread<int>& row,
                                              Body&& body) {
    for (int base = 0; base < subset.count; base += block.size()) {
        const int active = subset.count - base < block.size() ? subset.count - base : block.size();
        const int baseRow = base / subset.width;
        const int baseCol = base - baseRow * subset.width;
        block.forEachThreadNoSync([&](int t) TAVRO_INLINE_BODY {
            if (t >= active) return;
            int dx = col[t] + baseCol;
            int dy = row[t] + baseRow;
            if (dx >= subset.width) {
                dx -= subset.width;
                ++dy;
            }
            body(t, base + t, dx - subset.halfX, dy - subset.halfY);
        });
    }
}

// The reference subset centred on (xc, yc), which lies inside the image:
// returns its norm (the root of its squared deviations from the mean, at least
// 1e-6; NaN for non-finite pixels) and, when that is positive, writes its
// samples normalised to zero mean and unit norm to f and their gradients
// (central differences, one-sided at the image border, in the same units) to
// fx and fy. `reference` holds the image's rows from row0 on.
#if !TAVRO_GENERIC_KERNEL
// Offsets (dx, dy) of every sample from the subset centre, sample by sample:
// the CPU's sample loops read them instead of dividing per sample.
inline void fillSampleOffsets(const SubsetLayout& subset, std::vector<float>& dx, std::vector<float>& dy) {
    const size_t n = static_cast<size_t>(subset.count);
    dx.resize(n);
    dy.resize(n);
    for (int s = 0; s < subset.count; ++s) {
        dx[size_t(s)] = static_cast<float>(s % subset.width - subset.halfX);
        dy[size_t(s)] = static_cast<float>(s / subset.width - subset.halfY);
    }
}

// The CPU reads the subset row by row, where the samples of a row are
// neighbours in memory and every step vectorises; the per-thread sums and
// every value are those of the generic loop below.
__device__ __forceinline__ float normaliseReference(const gpu::Block& block, const SubsetLayout& subset,
                                                    const gpu::PerThread<int>&, const gpu::PerThread<int>&,
                                                    const float* reference, int row0, int width, int height, int xc,
                                                    int yc, gpu::PerThread<float>& sum, gpu::PerThread<float>& sumSq,
                                                    float* __restrict f, float* __restrict fx, float* __restrict fy) {
    auto line = [&](int y) { return reference + static_cast<int64_t>(y - row0) * width; };
    const int left = xc - subset.halfX;
    // The samples themselves first, in f, for the sums.
    for (int r = 0; r < subset.height; ++r)
        std::memcpy(f + r * subset.width, line(yc - subset.halfY + r) + left, sizeof(float) * size_t(subset.width));
    float* __restrict s1 = &sum[0];
    float* __restrict s2 = &sumSq[0];
    const int size = block.size();
    for (int t = 0; t < size; ++t) s1[t] = s2[t] = 0.0f;
    for (int base = 0; base < subset.count; base += size) {
        const int active = subset.count - base < size ? subset.count - base : size;
        for (int t = 0; t < active; ++t) {
            const float value = f[base + t];
            s1[t] += value;
            s2[t] += value * value;
        }
    }
    const float count = static_cast<float>(subset.count);
    const float mean = block.reduceSum(sum) / count;
    const float norm = sqrtf(clampVariance(block.reduceSum(sumSq) - mean * (mean * count)));
    if (!(norm > 0.0f)) return norm;
    const float inverse = 1.0f / norm;
    const bool innerColumns = left > 0 && left + subset.width < width;
    for (int r = 0; r < subset.height; ++r) {
        const int y = yc - subset.halfY + r;
        const int ym = y > 0 ? y - 1 : y, yp = y < height - 1 ? y + 1 : y;
        const float* __restrict here = line(y) + left;
        const float* __restrict up = line(ym) + left;
        const float* __restrict down = line(yp) + left;
        float* __restrict fr = f + r * subset.width;
        float* __restrict fxr = fx + r * subset.width;
        float* __restrict fyr = fy + r * subset.width;
        for (int i = 0; i < subset.width; ++i) fr[i] = (here[i] - mean) * inverse;
        if (innerColumns) {
            for (int i = 0; i < subset.width; ++i) fxr[i] = (here[i + 1] - here[i - 1]) * 0.5f * inverse;
        } else {
            for (int i = 0; i < subset.width; ++i) {
                const int x = left + i;
                const int xm = x > 0 ? x - 1 : x, xp = x < width - 1 ? x + 1 : x;
                fxr[i] = xp > xm ? (here[xp - left] - here[xm - left]) * (xp - xm == 2 ? 0.5f : 1.0f) * inverse : 0.0f;
            }
        }
        if (yp - ym == 2) {
            for (int i = 0; i < subset.width; ++i) fyr[i] = (down[i] - up[i]) * 0.5f * inverse;
        } else if (yp > ym) {
            for (int i = 0; i < subset.width; ++i) fyr[i] = (down[i] - up[i]) * 1.0f * inverse;
        } else {
            for (int i = 0; i < subset.width; ++i) fyr[i] = 0.0f;
        }
    }
    return norm;
}
#else
__device__ __forceinline__ float normaliseReference(const gpu::Block& block, const SubsetLayout& subset,
                                                    const gpu::PerThread<int>& col, const gpu::PerThread<int>& row,
                                                    const float* reference, int row0, int width, int height, int xc,
                                                    int yc, gpu::PerThread<float>& sum, gpu::PerThread<float>& sumSq,
                                                    float* f, float* fx, float* fy) {
    block.forEachThreadNoSync([&](int t) {
        sum[t] = 0.0f;
        sumSq[t] = 0.0f;
    });
    forEachSample(block, subset, col, row, [=, &sum, &sumSq](int t, int, int dx, int dy) TAVRO_INLINE_BODY {
        const float value = reference[static_cast<int64_t>(yc + dy - row0) * width + (xc + dx)];
        sum[t] += value;
        sumSq[t] += value * value;
    });
    const float count = static_cast<float>(subset.count);
    const float mean = block.reduceSum(sum) / count;
    const float norm = sqrtf(clampVariance(block.reduceSum(sumSq) - mean * (mean * count)));
    if (!(norm > 0.0f)) return norm;
    const float inverse = 1.0f / norm;
    forEachSample(block, subset, col, row, [=](int, int s, int dx, int dy) TAVRO_INLINE_BODY {
        const int x = xc + dx, y = yc + dy;
        const float* line = reference + static_cast<int64_t>(y - row0) * width;
        f[s] = (line[x] - mean) * inverse;
        const int xm = x > 0 ? x - 1 : x, xp = x < width - 1 ? x + 1 : x;
        const int ym = y > 0 ? y - 1 : y, yp = y < height - 1 ? y + 1 : y;
        fx[s] = xp > xm ? (line[xp] - line[xm]) * (xp - xm == 2 ? 0.5f : 1.0f) * inverse : 0.0f;
        fy[s] = yp > ym ? (reference[static_cast<int64_t>(yp - row0) * width + x] -
                           reference[static_cast<int64_t>(ym - row0) * width + x]) *
                              (yp - ym == 2 ? 0.5f : 1.0f) * inverse
                        : 0.0f;
    });
    return norm;
}
#endif

} // namespace tavro::detail
