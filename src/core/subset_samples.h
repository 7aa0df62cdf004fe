#pragma once
// The sample loop of the refinement kernels (continuous and discontinuity-
// enriched): a block visits the samples of one subset, thread t taking samples
// t, t + size, ..., and starts from the normalised reference subset.

#include <cstdint>

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

} // namespace tavro::detail
