#include "core/fft_zncc.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>

#include "core/fft_lines.h"
#include "core/profile_range.h"
#include "core/tavro_fft.h"
#include "core/tiled_zncc.h"
#include "gpu/runtime.h"

namespace tavro {
namespace {

using detail::ProfileRange;
using fft::Complex;
using gpu::Block;
using gpu::PerThread;

constexpr int kPointThreads = 128;
constexpr int kScatterThreads = 128;
constexpr uint64_t kBatchBytes = 536870912;
constexpr int kMaxBatch = 1024;
constexpr int64_t kProgressIntervalNs = 100000000;
constexpr float kNoScore = -1e30f;
constexpr float kSkipped = -3e38f;
constexpr int kScoreChunk = 8;
// Longest frame side given to the FFT's mixed-radix path (which takes rows and
// half rows up to 256); longer sides stay powers of two.
constexpr int32_t kMixedFrameLimit = 256;
// Longest half row and column of the frames searched whole in one kernel per batch, where the device's shared
// memory takes them (the CPU device's up to about 220 x 220).
constexpr int32_t kInCacheSide = 256;
constexpr size_t kDefaultSharedBytes = 49152;
// Frame elements per launch of the in-cache kernel (16384 frames of 32 x 32): about the same work per launch at
// any frame size, long enough that the wait for the last helper of a launch on a busy machine costs little, short
// enough for progress and cancellation between launches (a few tenths of a second on one core).
constexpr int64_t kInCacheLaunchReals = int64_t{16384} * 1024;
constexpr int kInCacheLaunchMin = 1024;

// The part of a frame (rows x columns from the frame origin) that lies inside
// the image; frame element (r, c) shows image pixel origin + r * pitch + c.
struct FrameRegion {
    int r0, r1, c0, c1;
    int64_t origin;  // may lie outside the image: only in-region elements are read
    int64_t pitch;

    __device__ __forceinline__ bool contains(int r, int c) const { return r >= r0 && r < r1 && c >= c0 && c < c1; }
    __device__ __forceinline__ int64_t at(int r, int c) const { return origin + r * pitch + c; }
    __device__ __forceinline__ int pixelCount() const {
        return r1 > r0 && c1 > c0 ? (r1 - r0) * (c1 - c0) : 0;
    }
    // Frame rows below this one hold only zeros.
    __device__ __forceinline__ int usedRows() const { return r1 > r0 && c1 > c0 ? r1 : 0; }
};

__device__ __forceinline__ FrameRegion frameRegion(int left, int top, int cols, int rows, int width, int height) {
    FrameRegion region;
    region.r0 = top < 0 ? -top : 0;
    region.r1 = rows < height - top ? rows : height - top;
    region.c0 = left < 0 ? -left : 0;
    region.c1 = cols < width - left ? cols : width - left;
    region.pitch = width;
    region.origin = static_cast<int64_t>(top) * width + left;
    return region;
}

// Reference window (top-left corner) and guess of point p.
struct PointPlace {
    int windowLeft, windowTop;
    int dx0, dy0;
};

__device__ __forceinline__ PointPlace pointPlace(long long p, int windowSizeX, int windowSizeY, int stepX, int stepY,
                                                 int gridWidth, int marginX, int marginY, const int* initX,
                                                 const int* initY, const int* pointX, const int* pointY) {
    const int cx = pointX ? pointX[p] : marginX + static_cast<int>(p % gridWidth) * stepX;
    const int cy = pointY ? pointY[p] : marginY + static_cast<int>(p / gridWidth) * stepY;
    return {cx - windowSizeX / 2, cy - windowSizeY / 2, initX ? initX[p] : 0, initY ? initY[p] : 0};
}

#if !TAVRO_GENERIC_KERNEL
inline bool reversedPhases() { return gpu::detail::reversePhaseOrder(); }

template <class RowBody>
inline void forRows(int first, int end, const RowBody& body) {
    if (reversedPhases()) {
        for (int r = end - 1; r >= first; --r) body(r);
    } else {
        for (int r = first; r < end; ++r) body(r);
    }
}
#endif

// Frame rows [0, rows): f(image pixel) inside the region, 0 elsewhere. Thread t
// writes elements t, t + 128, ...; the CPU fills whole rows, which writes the
// same values.
template <class F>
__device__ __forceinline__ void fillFrame(const Block& block, float* frame, int nx, int rows,
                                          const FrameRegion& region, const float* image, const F& f) {
#if TAVRO_GENERIC_KERNEL
    const int total = rows * nx;
    block.forEachThread([&](int t) {
        int r = t / nx, c = t - r * nx;
        for (int e = t; e < total; e += block.size()) {
            frame[e] = region.contains(r, c) ? f(image[region.at(r, c)]) : 0.0f;
            for (c += block.size(); c >= nx; c -= nx) ++r;
        }
    });
#else
    (void)block;
    forRows(0, rows, [&](int r) {
        float* __restrict__ out = frame + static_cast<size_t>(r) * nx;
        if (!region.contains(r, region.c0)) {
            std::fill(out, out + nx, 0.0f);
            return;
        }
        std::fill(out, out + region.c0, 0.0f);
        const float* __restrict__ in = image + region.at(r, region.c0);
        float* __restrict__ inside = out + region.c0;
        const int n = region.c1 - region.c0;
        for (int i = 0; i < n; ++i) inside[i] = f(in[i]);
        std::fill(out + region.c1, out + nx, 0.0f);
    });
#endif
}

// Only the in-region elements: f(image pixel).
template <class F>
__device__ __forceinline__ void rewriteRegion(const Block& block, float* frame, int nx, const FrameRegion& region,
                                              const float* image, const F& f) {
    if (region.pixelCount() == 0) return;
#if TAVRO_GENERIC_KERNEL
    const int end = region.r1 * nx;
    block.forEachThread([&](int t) {
        int r = region.r0 + t / nx, c = t % nx;
        for (int e = region.r0 * nx + t; e < end; e += block.size()) {
            if (c >= region.c0 && c < region.c1) frame[e] = f(image[region.at(r, c)]);
            for (c += block.size(); c >= nx; c -= nx) ++r;
        }
    });
#else
    (void)block;
    forRows(region.r0, region.r1, [&](int r) {
        float* __restrict__ out = frame + static_cast<size_t>(r) * nx + region.c0;
        const float* __restrict__ in = image + region.at(r, region.c0);
        const int n = region.c1 - region.c0;
        for (int i = 0; i < n; ++i) out[i] = f(in[i]);
    });
#endif
}

// Thread t sums ga and gb of elements t, t + 128, ... below limit, in that
// order; the CPU runs the same per-thread sums side by side.
template <class GA, class GB>
__device__ __forceinline__ void stridedSums(const Block& block, const float* frame, int limit, PerThread<float>& a,
                                            PerThread<float>& b, const GA& ga, const GB& gb) {
#if TAVRO_GENERIC_KERNEL
    block.forEachThreadNoSync([&](int t) {
        float sa = 0.0f, sb = 0.0f;
        for (int e = t; e < limit; e += kPointThreads) {
            const float v = frame[e];
            sa += ga(v);
            sb += gb(v);
        }
        a[t] = sa;
        b[t] = sb;
    });
#else
    (void)block;
    float sa[kPointThreads] = {}, sb[kPointThreads] = {};
    int base = 0;
    for (; base + kPointThreads <= limit; base += kPointThreads) {
        const float* __restrict__ v = frame + base;
        for (int t = 0; t < kPointThreads; ++t) {
            sa[t] += ga(v[t]);
            sb[t] += gb(v[t]);
        }
    }
    for (int t = 0; t < limit - base; ++t) {
        sa[t] += ga(frame[base + t]);
        sb[t] += gb(frame[base + t]);
    }
    for (int t = 0; t < kPointThreads; ++t) {
        a[t] = sa[t];
        b[t] = sb[t];
    }
#endif
}

struct Identity {
    __device__ __forceinline__ float operator()(float v) const { return v; }
};
struct Square {
    __device__ __forceinline__ float operator()(float v) const { return v * v; }
};
struct MinusMean {
    float mean;
    __device__ __forceinline__ float operator()(float v) const { return v - mean; }
};
// Point p's mean-free reference window and search area into its frames, its
// reference window's inverse deviation into invStdRefArr[p] (and the search
// area's mean into *defMeanOut when given).
TAVRO_FRAME_FUNCTION void extractPoint(const Block& block, long long p, const float* ref, const float* def,
                                       float* refFrame, float* defFrame, float* invStdRefArr, float* defMeanOut,
                                       int width, int height, int windowSizeX, int windowSizeY, int stepX, int stepY,
                                       int gridWidth, int marginX, int marginY, int maxU, int maxV, int nx, int ny,
                                       const int* initX, const int* initY, const int* pointX, const int* pointY) {
    const PointPlace place = pointPlace(p, windowSizeX, windowSizeY, stepX, stepY, gridWidth, marginX, marginY, initX,
                                        initY, pointX, pointY);
    const FrameRegion window =
        frameRegion(place.windowLeft, place.windowTop, windowSizeX, windowSizeY, width, height);
    const FrameRegion area = frameRegion(place.windowLeft + place.dx0 - maxV, place.windowTop + place.dy0 - maxU,
                                         windowSizeX + 2 * maxV, windowSizeY + 2 * maxU, width, height);
    const int windowArea = windowSizeX * windowSizeY;

    // Raw pixels first: both means come from sums over the frames.
    fillFrame(block, refFrame, nx, ny, window, ref, Identity{});
    fillFrame(block, defFrame, nx, ny, area, def, Identity{});

    // Window sum and search-area sum.
    PerThread<float> refSum(block), defSum(block), unused(block);
    stridedSums(block, refFrame, window.usedRows() * nx, refSum, unused, Identity{}, Identity{});
    const float windowSum = block.reduceSumTree<kPointThreads>(refSum);
    stridedSums(block, defFrame, area.usedRows() * nx, defSum, unused, Identity{}, Identity{});
    const float areaSum = block.reduceSumTree<kPointThreads>(defSum);
    const float meanRef = windowSum / static_cast<float>(windowArea);
    const int areaPixels = area.pixelCount();
    const float defMean = areaPixels > 0 ? areaSum / static_cast<float>(areaPixels) : 0.0f;

    // Mean-free pixels; outside the image the frames stay zero.
    rewriteRegion(block, refFrame, nx, window, ref, MinusMean{meanRef});
    rewriteRegion(block, defFrame, nx, area, def, MinusMean{defMean});

    // Q - S^2 / A from the mean-free values d: on a flat window of fractional
    // grey the raw sums cancel to rounding noise that passes for texture, the
    // mean-free ones to exactly zero.
    PerThread<float> dSum(block), dSquares(block);
    stridedSums(block, refFrame, window.usedRows() * nx, dSum, dSquares, Identity{}, Square{});
    const float sumD = block.reduceSumTree<kPointThreads>(dSum);
    const float sumD2 = block.reduceSumTree<kPointThreads>(dSquares);
    block.single([&] {
        const float area = static_cast<float>(windowArea);
        const int n = window.pixelCount();
        // Pixels of the window outside the image count in the area but not in the sums.
        const float clipped = meanRef * meanRef * static_cast<float>(2 * windowArea - n) *
                              static_cast<float>(windowArea - n) / area;
        const float variance = sumD2 - sumD * sumD / area + clipped;
        invStdRefArr[p] = variance > 1e-12f ? 1.0f / sqrtf(variance) : 0.0f;
        if (defMeanOut) *defMeanOut = defMean;
    });
}

__global__ void extractWindowsForFFT(const float* ref, const float* def, float* refBuf, float* defBuf,
                                     float* invStdRefArr, float* defMeanArr, int width, int height, int windowSizeX,
                                     int windowSizeY, int stepX, int stepY, int gridWidth, int gridHeight,
                                     int marginX, int marginY, int maxU, int maxV, int nx, int ny,
                                     long long totalPoints, long long batchStart, const int* initX, const int* initY,
                                     const int* pointX, const int* pointY) {
    (void)gridHeight;
    const Block block;
    const long long p = batchStart + blockIdx.x;
    if (p >= totalPoints) return;
    const size_t frameOffset = static_cast<size_t>(blockIdx.x) * static_cast<size_t>(nx) * static_cast<size_t>(ny);
    extractPoint(block, p, ref, def, refBuf + frameOffset, defBuf + frameOffset, invStdRefArr,
                 defMeanArr + blockIdx.x, width, height, windowSizeX, windowSizeY, stepX, stepY, gridWidth, marginX,
                 marginY, maxU, maxV, nx, ny, initX, initY, pointX, pointY);
}

// Running window sums along a line of the frame, in place: element k becomes
// the sum of elements k .. k + length - 1 (of its original values) for k in
// [first, last]. The sum enters element k + length - 1 and drops element k - 1,
// whose original value is kept in `old` before it is overwritten.
struct RunningSums {
    double s1, s2, old1, old2;

    __device__ __forceinline__ void start(double v1, double v2) {
        s1 += v1;
        s2 += v2;
    }
    __device__ __forceinline__ void slide(double in1, double in2) {
        s1 += in1;
        s2 += in2;
        s1 -= old1;
        s2 -= old2;
    }
};

// Local sums of the mean-free search area d and of d^2 over the window at every
// admissible shift, in place in the point's frame (d's sums) and in frame2,
// accumulated in double: accurate to the float result's rounding where box
// convolutions through the FFT leave rounding noise of the size of the whole
// frame's energy, and three transforms fewer. Column sums first (thread per
// column, running down the shift rows), then row sums (thread per shift row,
// running along the shift columns). The CPU runs the same running sums for
// many columns side by side: the same operations per element, the same bits.
__device__ __forceinline__ void localWindowSums(const Block& block, float* frame, float* frame2, int nx,
                                                int windowSizeX, int windowSizeY, int firstRow, int lastRow,
                                                int firstColumn, int lastColumn) {
    const int areaColumns = lastColumn + windowSizeX - firstColumn;
#if TAVRO_GENERIC_KERNEL
    block.forEachThread([&](int t) {
        for (int c = firstColumn + t; c < firstColumn + areaColumns; c += kPointThreads) {
            RunningSums sum{0.0, 0.0, 0.0, 0.0};
            for (int i = 0; i < windowSizeY; ++i) {
                const double v = frame[(firstRow + i) * nx + c];
                sum.start(v, v * v);
            }
            for (int r = firstRow; r <= lastRow; ++r) {
                if (r > firstRow) {
                    const double v = frame[(r + windowSizeY - 1) * nx + c];
                    sum.slide(v, v * v);
                }
                sum.old1 = frame[r * nx + c];
                sum.old2 = sum.old1 * sum.old1;
                frame[r * nx + c] = static_cast<float>(sum.s1);
                frame2[r * nx + c] = static_cast<float>(sum.s2);
            }
        }
    });
#else
    (void)block;
    // Columns side by side, one array per quantity so that each step is a vector operation.
    constexpr int kChunk = 64;
    double s1[kChunk], s2[kChunk], old1[kChunk], old2[kChunk];
    for (int c0 = firstColumn; c0 < firstColumn + areaColumns; c0 += kChunk) {
        const int n = firstColumn + areaColumns - c0 < kChunk ? firstColumn + areaColumns - c0 : kChunk;
        for (int j = 0; j < n; ++j) s1[j] = s2[j] = 0.0;
        for (int i = 0; i < windowSizeY; ++i) {
            const float* in = frame + (firstRow + i) * nx + c0;
            for (int j = 0; j < n; ++j) {
                const double v = in[j];
                s1[j] += v;
                s2[j] += v * v;
            }
        }
        for (int r = firstRow; r <= lastRow; ++r) {
            if (r > firstRow) {
                const float* in = frame + (r + windowSizeY - 1) * nx + c0;
                for (int j = 0; j < n; ++j) {
                    const double v = in[j];
                    s1[j] += v;
                    s2[j] += v * v;
                    s1[j] -= old1[j];
                    s2[j] -= old2[j];
                }
            }
            float* out = frame + r * nx + c0;
            float* __restrict__ out2 = frame2 + r * nx + c0;
            for (int j = 0; j < n; ++j) {
                old1[j] = out[j];
                old2[j] = old1[j] * old1[j];
                out[j] = static_cast<float>(s1[j]);
                out2[j] = static_cast<float>(s2[j]);
            }
        }
    }
#endif
    block.forEachThreadNoSync([&](int t) {
        for (int r = firstRow + t; r <= lastRow; r += kPointThreads) {
            float* row = frame + r * nx;
            float* row2 = frame2 + r * nx;
            RunningSums sum{0.0, 0.0, 0.0, 0.0};
            for (int k = 0; k < windowSizeX; ++k) sum.start(row[firstColumn + k], row2[firstColumn + k]);
            for (int c = firstColumn; c <= lastColumn; ++c) {
                if (c > firstColumn) sum.slide(row[c + windowSizeX - 1], row2[c + windowSizeX - 1]);
                sum.old1 = row[c];
                sum.old2 = row2[c];
                row[c] = static_cast<float>(sum.s1);
                row2[c] = static_cast<float>(sum.s2);
            }
        }
    });
}

// ZNCC of one shift from the unnormalised correlation and the local sums; a
// shift without enough deformed-image texture scores below every start value.
__device__ __forceinline__ float shiftScore(float corr, float s1, float s2, float scale, float area, float invStd) {
    const float spread = s2 - s1 * s1 / area;
    const float variance = spread > 0.0f ? spread : 0.0f;
    const float enough = 1e-4f * s2 > 1e-12f ? 1e-4f * s2 : 1e-12f;
    const float zncc = invStd * corr * scale / sqrtf(variance);
    // As fminf(zncc, 1), a NaN included, but vectorisable.
    return variance > enough ? (zncc < 1.0f ? zncc : 1.0f) : kSkipped;
}

// ZNCC at every admissible shift of one point per block; thread t scans rows
// maxU - up + t, + 128, ... and the arg-max tree keeps the lower thread on ties.
// With sumsInFrames 0 the frames already hold the local sums; with 1 localSum
// holds the mean-free search area and localSum2 scratch, and the sums are
// taken there first (while the frames are still in this core's cache).
TAVRO_FRAME_FUNCTION void peakOfPoint(const Block& block, long long p, const float* corr, float* sum1,
                                      float* sum2, const float* invStdRefArr, float* outX, float* outY, int nx,
                                      int maxU, int maxV, int up, int down, int left, int right, int windowSizeX,
                                      int windowSizeY, float scale, int windowArea, const int* initX,
                                      const int* initY, float* confidence, int sumsInFrames) {
    const float guessX = static_cast<float>(initX ? initX[p] : 0);
    const float guessY = static_cast<float>(initY ? initY[p] : 0);
    const float invStd = invStdRefArr[p];
    if (!(invStd > 0.0f)) {
        block.single([&] {
            outX[p] = guessX;
            outY[p] = guessY;
            if (confidence) confidence[p] = -1.0f;
        });
        return;
    }
    const float area = static_cast<float>(windowArea);
    const int lastRow = maxU + down, firstColumn = maxV - left, lastColumn = maxV + right;
    if (sumsInFrames) {
        localWindowSums(block, sum1, sum2, nx, windowSizeX, windowSizeY, maxU - up, lastRow, firstColumn,
                        lastColumn);
        block.sync();
    }

    PerThread<float> bestScore(block);
    PerThread<int> bestAt(block);
    block.forEachThreadNoSync([&](int t) {
        float best = kNoScore;
        int at = 0;
        const auto score = [&](int i) {
            return shiftScore(corr[i], sum1[i], sum2[i], scale, area, invStd);
        };
        for (int r = maxU - up + t; r <= lastRow; r += kPointThreads) {
            const int row = r * nx;
            int c = firstColumn;
            // Scores of a few columns at once (one vector on the CPU), then scanned in column order.
            for (; c + kScoreChunk - 1 <= lastColumn; c += kScoreChunk) {
                float chunk[kScoreChunk];
                for (int k = 0; k < kScoreChunk; ++k) chunk[k] = score(row + c + k);
                for (int k = 0; k < kScoreChunk; ++k)
                    if (chunk[k] > best) {
                        best = chunk[k];
                        at = row + c + k;
                    }
            }
            for (; c <= lastColumn; ++c) {
                const float s = score(row + c);
                if (s > best) {
                    best = s;
                    at = row + c;
                }
            }
        }
        bestScore[t] = best;
        bestAt[t] = at;
    });
    const auto peak = block.argMax<kPointThreads>(bestScore, bestAt);
    block.single([&] {
        if (peak.score > -1e29f) {
            if (confidence) confidence[p] = peak.score;
            outX[p] = guessX - static_cast<float>(maxV) + static_cast<float>(peak.payload % nx);
            outY[p] = guessY - static_cast<float>(maxU) + static_cast<float>(peak.payload / nx);
        } else {
            outX[p] = guessX;
            outY[p] = guessY;
            if (confidence) confidence[p] = -1.0f;
        }
    });
}

__global__ void findCorrelationPeaksNormalized(const float* corrBuf, float* localSum, float* localSum2,
                                               const float* invStdRefArr, float* outX, float* outY, int nx, int ny,
                                               int maxU, int maxV, int up, int down, int left, int right,
                                               int windowSizeX, int windowSizeY, long long totalPoints,
                                               long long batchStart, float scale, int windowArea, const int* initX,
                                               const int* initY, float* confidence, int sumsInFrames) {
    const Block block;
    const long long p = batchStart + blockIdx.x;
    if (p >= totalPoints) return;
    const size_t frameOffset = static_cast<size_t>(blockIdx.x) * static_cast<size_t>(nx) * static_cast<size_t>(ny);
    peakOfPoint(block, p, corrBuf + frameOffset, localSum + frameOffset, localSum2 + frameOffset, invStdRefArr, outX,
                outY, nx, maxU, maxV, up, down, left, right, windowSizeX, windowSizeY, scale, windowArea, initX,
                initY, confidence, sumsInFrames);
}

// Geometry of one search, passed whole to the in-cache kernel.
struct SearchShape {
    int width, height, windowSizeX, windowSizeY, stepX, stepY, gridWidth, gridHeight, marginX, marginY;
    int maxU, maxV, up, down, left, right, nx, ny, windowArea, outputRows;
    long long totalPoints, batchStart;
    float scale;
};

// A point's frames in the block's shared memory, after the transforms' scratch lines.
struct InCacheFrames {
    float* scratch;
    float* ref;
    float* def;
    float* corr;
    Complex* specRef;
    Complex* specDef;
};

__host__ __device__ __forceinline__ size_t inCacheBytes(const fft::detail::FrameTransform& f, int nx, int ny) {
    const size_t reals = static_cast<size_t>(nx) * static_cast<size_t>(ny);
    const size_t bins = static_cast<size_t>(nx / 2 + 1) * static_cast<size_t>(ny);
    return fft::detail::frameSharedBytes(f) + 3 * reals * sizeof(float) + 2 * bins * sizeof(Complex);
}

__device__ __forceinline__ InCacheFrames inCacheFrames(float* shared, const fft::detail::FrameTransform& f, int nx,
                                                       int ny) {
    const size_t reals = static_cast<size_t>(nx) * static_cast<size_t>(ny);
    const size_t bins = static_cast<size_t>(nx / 2 + 1) * static_cast<size_t>(ny);
    InCacheFrames frames;
    frames.scratch = shared;
    frames.ref = shared + fft::detail::frameSharedBytes(f) / sizeof(float);
    frames.def = frames.ref + reals;
    frames.corr = frames.def + reals;
    frames.specRef = reinterpret_cast<Complex*>(frames.corr + reals);
    frames.specDef = frames.specRef + bins;
    return frames;
}

// The whole search of one point per block: extraction, both forward
// transforms, the cross spectrum and the inverse rows, the local sums and the
// peak, with the point's frames in shared memory (on the CPU, one reused
// buffer per worker that never leaves its cache). A batch is one launch
// instead of a dozen, so no phase waits for the slowest helper of the one
// before. The arithmetic is that of the separate kernels, element by element.
__global__ void searchPointsInCache(const float* ref, const float* def, float* invStdRefArr, float* outX,
                                    float* outY, float* confidence, const int* initX, const int* initY,
                                    const int* pointX, const int* pointY, fft::detail::FrameTransform transform,
                                    SearchShape g) {
    const Block block;
    const long long p = g.batchStart + blockIdx.x;
    if (p >= g.totalPoints) return;
    const InCacheFrames frames = inCacheFrames(block.dynamicShared<float>(), transform, g.nx, g.ny);
    extractPoint(block, p, ref, def, frames.ref, frames.def, invStdRefArr, nullptr, g.width, g.height, g.windowSizeX,
                 g.windowSizeY, g.stepX, g.stepY, g.gridWidth, g.marginX, g.marginY, g.maxU, g.maxV, g.nx, g.ny, initX,
                 initY, pointX, pointY);
    fft::detail::frameForward(block, transform, frames.ref, frames.specRef, frames.scratch, g.windowSizeY);
    fft::detail::frameForward(block, transform, frames.def, frames.specDef, frames.scratch,
                              g.windowSizeY + 2 * g.maxU);
    fft::detail::frameColumns(block, transform, frames.specRef, frames.specDef, frames.scratch, 1.0f);
    fft::detail::frameInverseRows(block, transform, frames.specRef, frames.corr, g.outputRows, frames.scratch);
    // The search area's local sums go into its own frame and the reference frame's.
    peakOfPoint(block, p, frames.corr, frames.def, frames.ref, invStdRefArr, outX, outY, g.nx, g.maxU, g.maxV, g.up,
                g.down, g.left, g.right, g.windowSizeX, g.windowSizeY, g.scale, g.windowArea, initX, initY,
                confidence, 1);
}

__global__ void scatterEscalated(const int64_t* indices, const float* srcX, const float* srcY, float* dstX,
                                 float* dstY, int count) {
    const int i = static_cast<int>(blockIdx.x * blockDim.x + threadIdx.x);
    if (i >= count) return;
    dstX[indices[i]] = srcX[i];
    dstY[indices[i]] = srcY[i];
}

// Zero padding to any length not below the search area's gives the same
// correlations: the shortest length of the FFT's mixed-radix path (even for
// the columns, which the real transform halves), or a power of two beyond it.
int32_t frameLength(int32_t searchLength, bool even) {
    int32_t n = fft::nextSmooth(std::max(searchLength, 2));
    while (even && n % 2 != 0) n = fft::nextSmooth(n + 1);
    if (n <= kMixedFrameLimit) return n;
    int32_t p = 1;
    while (p < searchLength) p <<= 1;
    return p;
}

std::atomic<bool> gPhaseTiming{false};
std::mutex gPhaseMutex;
detail::SearchPhaseTimes gPhaseTimes;

// Adds the time since the last mark to a phase when the benchmark asked for it.
class PhaseClock {
public:
    PhaseClock() : on_(gPhaseTiming.load(std::memory_order_relaxed)) {
        if (on_) last_ = std::chrono::steady_clock::now();
    }
    ~PhaseClock() {
        if (!on_) return;
        std::lock_guard lock(gPhaseMutex);
        gPhaseTimes.extraction += local_.extraction;
        gPhaseTimes.forward += local_.forward;
        gPhaseTimes.inverse += local_.inverse;
        gPhaseTimes.peaks += local_.peaks;
        gPhaseTimes.inCache += local_.inCache;
        gPhaseTimes.tiled += local_.tiled;
        gPhaseTimes.setup += local_.setup;
        gPhaseTimes.batches += local_.batches;
    }
    PhaseClock(const PhaseClock&) = delete;
    PhaseClock& operator=(const PhaseClock&) = delete;

    void mark(double detail::SearchPhaseTimes::*phase) {
        if (!on_) return;
        (void)cudaDeviceSynchronize();
        const auto now = std::chrono::steady_clock::now();
        local_.*phase += std::chrono::duration<double>(now - last_).count();
        last_ = now;
    }
    void batch() { ++local_.batches; }

private:
    bool on_;
    std::chrono::steady_clock::time_point last_;
    detail::SearchPhaseTimes local_;
};

std::atomic<bool> gInCacheSearch{true};

// Whether a plan's frames go through the in-cache kernel: the shared and mixed-radix paths, when the frames and
// the transforms' scratch fit the device's shared memory (beyond the default 48 KiB by the kernel's opt-in).
bool inCacheFits(const fft::Plan& plan, int nx, int ny) {
    if (!gInCacheSearch.load(std::memory_order_relaxed) || !(plan.sharedPath || plan.mixedPath) ||
        !plan.transposedSpectrum || plan.half > kInCacheSide || plan.rows > kInCacheSide)
        return false;
    const fft::detail::FrameTransform f{nullptr, nullptr, nullptr, plan.rows, plan.half, plan.logHalf, plan.logRows,
                                        plan.mixedPath ? 1 : 0};
    const size_t bytes = inCacheBytes(f, nx, ny);
    if (bytes <= kDefaultSharedBytes) return true;
    int device = 0, optIn = 0;
    if (cudaGetDevice(&device) != cudaSuccess ||
        cudaDeviceGetAttribute(&optIn, cudaDevAttrMaxSharedMemoryPerBlockOptin, device) != cudaSuccess ||
        bytes > size_t(optIn) ||
        cudaFuncSetAttribute(searchPointsInCache, cudaFuncAttributeMaxDynamicSharedMemorySize,
                             static_cast<int>(bytes)) != cudaSuccess) {
        (void)cudaGetLastError();
        return false;
    }
    return true;
}

unsigned blocksFor(int64_t count, int threads) { return static_cast<unsigned>((count + threads - 1) / threads); }

// Leases, plan and checks of one runFFTPixelSearch call.
class BatchSearch {
public:
    BatchSearch(const FFTSearchLayout& layout, std::string& error) : layout_(layout), error_(error) {}
    ~BatchSearch() {
        // A failed call leaves no pending error for the next CUDA step of the caller.
        if (!succeeded_) (void)cudaGetLastError();
    }
    BatchSearch(const BatchSearch&) = delete;
    BatchSearch& operator=(const BatchSearch&) = delete;

    bool acquire(DeviceBufferPool::Lease& lease, uint64_t bytes, const char* label) {
        const int code = DeviceBufferPool::instance().acquire(bytes, lease);
        if (code == 0) return true;
        error_ = cudaErrorMessage(code, label);
        return false;
    }
    bool launched(const char* label) { return checked(cudaGetLastError(), label); }
    bool checked(cudaError_t code, const char* label) {
        if (code == cudaSuccess) return true;
        error_ = cudaErrorMessage(code, label);
        return false;
    }
    bool makePlan(int batch) {
        plan_.reset();  // the old plan's buffers go before the new ones are allocated
        plan_.reset(fft::createPlan(layout_.ny, layout_.nx, batch, 1, error_));
        return plan_ != nullptr;
    }
    fft::Plan* plan() const { return plan_.get(); }
    void succeeded() { succeeded_ = true; }

    DeviceBufferPool::Lease refBuf, defBuf, specRef, specDef, corrBuf, invStdRef, defMean;

private:
    const FFTSearchLayout& layout_;
    std::string& error_;
    fft::PlanPtr plan_;
    bool succeeded_ = false;
};

} // namespace

FFTSearchLayout fftSearchLayout(const PixelSearchParams& params, uint64_t totalPoints, int64_t first, int64_t end,
                                uint64_t budget) {
    FFTSearchLayout layout;
    int up = params.searchUp, down = params.searchDown, left = params.searchLeft, right = params.searchRight;
    if (up < 1 && down <= 0 && left <= 0 && right <= 0) {
        up = down = params.maxU;
        left = right = params.maxV;
    }
    layout.up = std::clamp(up, 0, std::max(params.maxU, 0));
    layout.down = std::clamp(down, 0, std::max(params.maxU, 0));
    layout.left = std::clamp(left, 0, std::max(params.maxV, 0));
    layout.right = std::clamp(right, 0, std::max(params.maxV, 0));
    layout.searchWidth = params.windowSizeX + 2 * params.maxV;
    layout.searchHeight = params.windowSizeY + 2 * params.maxU;
    layout.nx = frameLength(layout.searchWidth, true);
    layout.ny = frameLength(layout.searchHeight, false);
    layout.frameReals = int64_t{layout.nx} * layout.ny;
    layout.frameBins = int64_t{layout.nx / 2 + 1} * layout.ny;
    layout.memoryPerPoint = 16 * uint64_t(layout.frameBins) + 12 * uint64_t(layout.frameReals);

    int32_t batch = static_cast<int32_t>(std::min<uint64_t>(kBatchBytes / layout.memoryPerPoint, kMaxBatch));
    if (budget > 0) {
        const uint64_t fixed = 4 * (totalPoints + 2 * uint64_t(layout.frameBins));
        const uint64_t perPoints = (budget > fixed ? budget - fixed : 0) / (3 * layout.memoryPerPoint);
        batch = static_cast<int32_t>(std::max<uint64_t>(1, std::min<uint64_t>(uint64_t(batch), perPoints)));
    }
    layout.batchSize = static_cast<int32_t>(std::max<int64_t>(1, std::min<int64_t>(batch, end - first)));
    return layout;
}

bool runFFTPixelSearch(const float* ref, const float* def, const uint8_t* mask, int maskStride, int maskRows,
                       ImageSize size, const PixelSearchParams& params, const SearchConfig& config, int gridWidth,
                       int gridHeight, uint64_t totalPoints, float* outX, float* outY, std::string& error,
                       const SearchProgress& progress, bool* cancelled, int64_t first, int64_t end,
                       const int* initX, const int* initY, const int* pointX, const int* pointY, float* confidence,
                       uint64_t budget) {
    (void)mask;
    (void)maskStride;
    (void)maskRows;
    const ProfileRange range("FFT pixel search (ZNCC)");
    const FFTSearchLayout layout = fftSearchLayout(params, totalPoints, first, end, budget);
    // Guided grid points go by direct sums over tiles: around guesses that agree, neighbours share their products.
    if (initX && initY && !pointX && !pointY && tiledSearchFits(params, layout)) {
        std::printf("[Tiled Pixel Search ZNCC] search: %dx%d, grid: %dx%d (%zu points)\n", layout.searchWidth,
                    layout.searchHeight, gridWidth, gridHeight, static_cast<size_t>(totalPoints));
        if (progress && !progress(0, totalPoints)) {
            if (cancelled) *cancelled = true;
            return false;
        }
        PhaseClock clock;
        bool withoutMemory = false;
        const bool done =
            runTiledPixelSearch(ref, def, size, params, layout, config, gridWidth, first, end, initX, initY, outX,
                                outY, confidence, error, progress, totalPoints, cancelled, &withoutMemory);
        clock.mark(&detail::SearchPhaseTimes::tiled);
        if (done || !withoutMemory) return done;
        // The transforms need no image sums: on a device without room for them the search still runs.
        std::printf("[Tiled Pixel Search ZNCC] %s: searching by transforms\n", error.c_str());
        error.clear();
    }
    const int nx = layout.nx, ny = layout.ny;
    const int64_t frameReals = layout.frameReals, frameBins = layout.frameBins;
    const float scale = 1.0f / static_cast<float>(frameReals);
    std::printf("[FFT Pixel Search ZNCC] FFT size: %dx%d, search: %dx%d, grid: %dx%d (%zu points)\n", nx, ny,
                layout.searchWidth, layout.searchHeight, gridWidth, gridHeight, static_cast<size_t>(totalPoints));
    const int batch = layout.batchSize;
    std::printf("[FFT Pixel Search ZNCC] Batch size: %d, memory per point: %zu KB\n", batch,
                static_cast<size_t>(layout.memoryPerPoint / 1024));
    using Clock = std::chrono::steady_clock;
    Clock::time_point lastReport = Clock::now();

    PhaseClock clock;
    BatchSearch s(layout, error);
    if (!s.acquire(s.invStdRef, totalPoints * sizeof(float), "FFT: alloc invStdRefArr") || !s.makePlan(batch))
        return false;
    // The in-cache kernel keeps its frames in shared memory: no batch buffers, and launches of many batches.
    const bool inCache = inCacheFits(*s.plan(), nx, ny);
    const uint64_t reals = uint64_t(batch) * uint64_t(frameReals) * sizeof(float);
    const uint64_t bins = uint64_t(batch) * uint64_t(frameBins) * sizeof(Complex);
    if (!inCache &&
        (!s.acquire(s.refBuf, reals, "FFT: alloc refBuf") || !s.acquire(s.defBuf, reals, "FFT: alloc defBuf") ||
         !s.acquire(s.specRef, bins, "FFT: alloc specRef") || !s.acquire(s.specDef, bins, "FFT: alloc specDef") ||
         !s.acquire(s.corrBuf, reals, "FFT: alloc corrBuf") ||
         !s.acquire(s.defMean, uint64_t(batch) * sizeof(float), "FFT: alloc defMeanArr")))
        return false;
    float* refBuf = s.refBuf.as<float>();
    float* defBuf = s.defBuf.as<float>();
    float* corrBuf = s.corrBuf.as<float>();
    Complex* specRef = s.specRef.as<Complex>();
    Complex* specDef = s.specDef.as<Complex>();
    float* invStdRef = s.invStdRef.as<float>();
    float* defMean = s.defMean.as<float>();

    const int windowArea = params.windowSizeX * params.windowSizeY;
    clock.mark(&detail::SearchPhaseTimes::setup);

    SearchShape shape{size.width, size.height, params.windowSizeX, params.windowSizeY, params.stepX, params.stepY,
                      gridWidth, gridHeight, config.marginX, config.marginY, params.maxU, params.maxV, layout.up,
                      layout.down, layout.left, layout.right, nx, ny, windowArea, params.maxU + layout.down + 1,
                      static_cast<long long>(totalPoints), 0, scale};

    if (progress && !progress(0, totalPoints)) {
        if (cancelled) *cancelled = true;
        return false;
    }

    const int width = size.width, height = size.height;
    const int launchPoints =
        inCache ? static_cast<int>(std::max<int64_t>(kInCacheLaunchMin, kInCacheLaunchReals / frameReals)) : batch;
    for (int64_t batchStart = first; batchStart < end; batchStart += launchPoints) {
        const int n = static_cast<int>(std::min<int64_t>(launchPoints, end - batchStart));
        if (!inCache && n < batch && batchStart != first && !s.makePlan(n)) return false;
        clock.batch();
        clock.mark(&detail::SearchPhaseTimes::setup);
        if (inCache) {
            const fft::Plan& plan = *s.plan();
            const fft::detail::FrameTransform transform{plan.twiddlesHalf, plan.twiddlesRows, plan.twiddlesCols,
                                                        plan.rows,         plan.half,         plan.logHalf,
                                                        plan.logRows,      plan.mixedPath ? 1 : 0};
            shape.batchStart = batchStart;
            TAVRO_LAUNCH_BLOCK(searchPointsInCache, static_cast<unsigned>(n), kPointThreads,
                               inCacheBytes(transform, nx, ny), ref, def, invStdRef, outX, outY, confidence,
                               initX, initY, pointX, pointY, transform, shape);
            if (!s.launched("searchPointsInCache") || !s.checked(cudaDeviceSynchronize(), "sync after search"))
                return false;
            clock.mark(&detail::SearchPhaseTimes::inCache);
        } else {
            TAVRO_LAUNCH_BLOCK(extractWindowsForFFT, static_cast<unsigned>(n), kPointThreads, 0, ref, def, refBuf,
                               defBuf, invStdRef, defMean, width, height, params.windowSizeX, params.windowSizeY,
                               params.stepX, params.stepY, gridWidth, gridHeight, config.marginX, config.marginY,
                               params.maxU, params.maxV, nx, ny, static_cast<long long>(totalPoints),
                               static_cast<long long>(batchStart), initX, initY, pointX, pointY);
            if (!s.launched("extractWindowsForFFT")) return false;
            clock.mark(&detail::SearchPhaseTimes::extraction);
            if (!fft::execR2C(s.plan(), refBuf, specRef, error) || !fft::execR2C(s.plan(), defBuf, specDef, error))
                return false;
            clock.mark(&detail::SearchPhaseTimes::forward);

            // The cross spectrum formed as the inverse loads it; only the frame rows of admissible shifts are read.
            if (!fft::execC2RCorrelation(s.plan(), specDef, specRef, corrBuf, params.maxU + layout.down + 1, error))
                return false;
            clock.mark(&detail::SearchPhaseTimes::inverse);

            // The peak kernel takes the local sums in defBuf's frames, which still hold the search areas, and
            // refBuf's.
            TAVRO_LAUNCH_BLOCK(findCorrelationPeaksNormalized, static_cast<unsigned>(n), kPointThreads, 0, corrBuf,
                               defBuf, refBuf, invStdRef, outX, outY, nx, ny, params.maxU, params.maxV, layout.up,
                               layout.down, layout.left, layout.right, params.windowSizeX, params.windowSizeY,
                               static_cast<long long>(totalPoints), static_cast<long long>(batchStart), scale,
                               windowArea, initX, initY, confidence, 1);
            if (!s.launched("findCorrelationPeaksNormalized") ||
                !s.checked(cudaDeviceSynchronize(), "sync after peaks"))
                return false;
            clock.mark(&detail::SearchPhaseTimes::peaks);
        }

        if (progress) {
            const Clock::time_point now = Clock::now();
            const int64_t elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(now - lastReport).count();
            if (batchStart + n >= end || elapsed >= kProgressIntervalNs) {
                lastReport = now;
                if (!progress(uint64_t(batchStart + n), totalPoints)) {
                    if (cancelled) *cancelled = true;
                    return false;
                }
            }
        }
    }
    s.succeeded();
    return true;
}

bool runEscalatedFFTSearch(const float* ref, const float* def, ImageSize size, const PixelSearchParams& params,
                           const SearchConfig& config, const std::vector<int64_t>& indices,
                           const std::vector<int32_t>& xs, const std::vector<int32_t>& ys, float* dstX, float* dstY) {
    const int64_t n = static_cast<int64_t>(indices.size());
    if (n < 1) return true;
    if (xs.size() != indices.size() || ys.size() != indices.size()) return false;
    auto& pool = DeviceBufferPool::instance();
    DeviceBufferPool::Lease dIndices, dXs, dYs, dResultX, dResultY;
    const size_t intBytes = size_t(n) * sizeof(int32_t), floatBytes = size_t(n) * sizeof(float);
    bool ok = pool.acquire(size_t(n) * sizeof(int64_t), dIndices) == 0 && pool.acquire(intBytes, dXs) == 0 &&
              pool.acquire(intBytes, dYs) == 0 && pool.acquire(floatBytes, dResultX) == 0 &&
              pool.acquire(floatBytes, dResultY) == 0;
    ok = ok &&
         cudaMemcpy(dIndices.get(), indices.data(), size_t(n) * sizeof(int64_t), cudaMemcpyHostToDevice) ==
             cudaSuccess &&
         cudaMemcpy(dXs.get(), xs.data(), intBytes, cudaMemcpyHostToDevice) == cudaSuccess &&
         cudaMemcpy(dYs.get(), ys.data(), intBytes, cudaMemcpyHostToDevice) == cudaSuccess;
    if (ok) {
        std::string localError;
        bool cancelled = false;
        ok = runFFTPixelSearch(ref, def, nullptr, 0, 0, size, params, config, static_cast<int>(n), 1, uint64_t(n),
                               dResultX.as<float>(), dResultY.as<float>(), localError, SearchProgress(), &cancelled, 0,
                               n, nullptr, nullptr, dXs.as<int>(), dYs.as<int>(), nullptr, 0);
    }
    if (ok) {
        TAVRO_LAUNCH(scatterEscalated, blocksFor(n, kScatterThreads), kScatterThreads, 0, dIndices.as<int64_t>(),
                     dResultX.as<float>(), dResultY.as<float>(), dstX, dstY, static_cast<int>(n));
        ok = cudaGetLastError() == cudaSuccess;
    }
    if (!ok) (void)cudaGetLastError();
    return ok;
}

namespace detail {

void setSearchPhaseTiming(bool on) { gPhaseTiming.store(on); }

void setInCacheSearch(bool on) { gInCacheSearch.store(on); }

SearchPhaseTimes searchPhaseTimes() {
    std::lock_guard lock(gPhaseMutex);
    return gPhaseTimes;
}

void resetSearchPhaseTimes() {
    std::lock_guard lock(gPhaseMutex);
    gPhaseTimes = SearchPhaseTimes{};
}

int findPeaksOnFrames(const float* corr, const float* localSum, const float* localSum2, const float* invStdRef,
                      float* outX, float* outY, float* confidence, const PixelSearchParams& params, int count) {
    const FFTSearchLayout layout = fftSearchLayout(params, uint64_t(count), 0, count, 0);
    // Read only: the frames hold the sums already.
    TAVRO_LAUNCH_BLOCK(findCorrelationPeaksNormalized, static_cast<unsigned>(count), kPointThreads, 0, corr,
                       const_cast<float*>(localSum), const_cast<float*>(localSum2), invStdRef, outX, outY, layout.nx,
                       layout.ny, params.maxU, params.maxV, layout.up, layout.down, layout.left, layout.right,
                       params.windowSizeX, params.windowSizeY,
                       static_cast<long long>(count), 0LL, 1.0f / static_cast<float>(layout.frameReals),
                       params.windowSizeX * params.windowSizeY, static_cast<const int*>(nullptr),
                       static_cast<const int*>(nullptr), confidence, 0);
    const cudaError_t status = cudaGetLastError();
    return status == cudaSuccess ? static_cast<int>(cudaDeviceSynchronize()) : static_cast<int>(status);
}

} // namespace detail

} // namespace tavro
