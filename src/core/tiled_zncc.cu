#include "core/tiled_zncc.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "core/profile_range.h"
#include "gpu/runtime.h"

namespace tavro {
namespace {

using detail::ProfileRange;
using gpu::Block;
using gpu::PerThread;

constexpr int kTileThreads = 128;
constexpr int kLineThreads = 128;
// A tile is kTileRows x kTileCols grid points. Larger tiles share each product among more points, but beyond
// this size their buffers leave a core's cache and the search slows (measured on 8-row, 16-row and 32-row tiles).
constexpr int kTileRows = 8;
constexpr int kTileCols = 64;
constexpr int kTilePoints = kTileRows * kTileCols;
// Shifts along one row whose correlations are kept before they are scored.
constexpr int kShiftChunk = 32;
// The CPU takes the products of two columns by three rows of shifts in one pass over a tile's pixels (see
// tilePassCpu).
#if TAVRO_GENERIC_KERNEL
constexpr int kPassRows = 1;
#else
constexpr int kPassCols = 2;
constexpr int kPassRows = 3;
#endif
// The transform search's peak stage gives its thread t the shift rows t, t + 128, ... and keeps the lower thread on
// ties: among equal scores the one whose row is first modulo 128, then the first row, then the first column.
constexpr int kPeakRowCycle = 128;
constexpr float kNoScore = -1e30f;
constexpr float kSkipped = -3e38f;
constexpr size_t kDefaultSharedBytes = 49152;
constexpr int64_t kProgressIntervalNs = 100000000;
// Tiles per launch and device processor: about 0.4 s per launch at any number of threads (a tile of the window's
// fine pass takes about 50 ms on one core), so that Stop still answers within half a second; fewer, longer
// launches would spare some of the wait for each launch's last tile.
constexpr int kTilesPerProcessor = 8;

std::atomic<bool> gTiledSearch{true};

// The CPU build inlines the phase bodies into the search's processor clones.
#if defined(__CUDACC__)
#define TAVRO_INLINE_LAMBDA
#else
#define TAVRO_INLINE_LAMBDA __attribute__((always_inline))
#endif

__host__ __device__ __forceinline__ int imin(int a, int b) { return a < b ? a : b; }
__host__ __device__ __forceinline__ int imax(int a, int b) { return a > b ? a : b; }

struct TileShape {
    int width, height, wx, wy, stepX, stepY, gridWidth, marginX, marginY;
    int maxU, maxV, up, down, left, right;
    int regionRows, regionCols;  // pixels under the windows of a whole tile
    int windowCols;              // deformed columns under the windows of a chunk of shifts
    int boxWidth;                // width + wx - 1: box images hold every window that touches the image
    int tilesAcross, firstGridRow, tileBase;
    long long first, end;
};

// A block's storage, carved from one allocation in 16-byte pieces.
struct TileStore {
    int* active;     // the point is one of [first, end)
    int* searched;   // ... and its reference window has texture
    int* guessX;
    int* guessY;
    int* refInside;  // its reference window lies wholly in the image
    int* bestDx;
    int* bestDy;
    int* range;      // the tile's first and last row of shifts; the current row's first and last column
    float* invStd;
    float* refMean;
    float* defMean;
    float* bestScore;
    float* refRegion;  // offset reference pixels under the tile's windows, zero outside the image
    float* defWindow;  // offset deformed pixels under them at a chunk of shifts, zero outside the image
    float* starts;   // [window row][column]: the running sums where each window starts (GPU)
    float* columns;  // [column][window row]: each window's column sums (GPU)
    float* rowStarts;  // [shift of a pass][window column][window row] (CPU)
    float* corr;     // [point][shift of the chunk], one per row of shifts of a pass
};

struct Carver {
    uintptr_t at;
    size_t used = 0;
    template <class T>
    __host__ __device__ T* take(size_t count) {
        T* p = reinterpret_cast<T*>(at + used);
        used += (count * sizeof(T) + 15) / 16 * 16;
        return p;
    }
};

__host__ __device__ inline TileStore carveTileStore(Carver& c, const TileShape& g) {
    TileStore s;
    s.active = c.take<int>(kTilePoints);
    s.searched = c.take<int>(kTilePoints);
    s.guessX = c.take<int>(kTilePoints);
    s.guessY = c.take<int>(kTilePoints);
    s.refInside = c.take<int>(kTilePoints);
    s.bestDx = c.take<int>(kTilePoints);
    s.bestDy = c.take<int>(kTilePoints);
    s.range = c.take<int>(4);
    s.invStd = c.take<float>(kTilePoints);
    s.refMean = c.take<float>(kTilePoints);
    s.defMean = c.take<float>(kTilePoints);
    s.bestScore = c.take<float>(kTilePoints);
    // The CPU reads whole vectors of eight columns past a row's end; the spare floats keep the last row's in the store.
    s.refRegion = c.take<float>(size_t(g.regionRows) * size_t(g.regionCols) + 64);
    s.defWindow = c.take<float>(size_t(g.regionRows + kPassRows - 1) * size_t(g.windowCols) + 64);
#if TAVRO_GENERIC_KERNEL
    s.starts = c.take<float>(size_t(kTileRows) * size_t(g.regionCols));
    s.columns = c.take<float>(size_t(kTileRows) * size_t(g.regionCols));
    s.rowStarts = nullptr;
#else
    s.starts = s.columns = nullptr;
    s.rowStarts = c.take<float>(size_t(kPassRows * kPassCols) * size_t(kTileRows) * kTileCols);
#endif
    s.corr = c.take<float>(size_t(kPassRows) * size_t(kTilePoints) * kShiftChunk);
    return s;
}

size_t tileStoreBytes(const TileShape& g) {
    Carver c{0};
    (void)carveTileStore(c, g);
    return c.used;
}

// Sum over columns [x0, x1) and rows [y0, y1) of an integral image with rows of `stride` values.
__device__ __forceinline__ double rectSum(const double* integral, int stride, int x0, int x1, int y0, int y1) {
    if (x1 <= x0 || y1 <= y0) return 0.0;
    const size_t s = static_cast<size_t>(stride);
    return integral[size_t(y1) * s + size_t(x1)] - integral[size_t(y0) * s + size_t(x1)] -
           integral[size_t(y1) * s + size_t(x0)] + integral[size_t(y0) * s + size_t(x0)];
}

// The deformed image's mean, taken from both images before their products: sums of products then stay of the
// size of the correlations they give, and keep their float accuracy.
__global__ void imageOffset(const float* image, long long count, float* offset) {
    const Block block;
    PerThread<double> part(block);
    const long long share = (count + kLineThreads - 1) / kLineThreads;
    block.forEachThreadNoSync([&](int t) {
        double s = 0.0;
        const long long begin = t * share, end = begin + share < count ? begin + share : count;
        for (long long e = begin; e < end; ++e) s += image[e];
        part[t] = s;
    });
    const double total = block.reduceSumTree<kLineThreads>(part);
    block.single([&] { *offset = count > 0 ? static_cast<float>(total / static_cast<double>(count)) : 0.0f; });
}

// Box row k holds the windows whose first row is k - (wy - 1), box column K those whose first column is
// K - (wx - 1): every window that touches the image, pixels outside it counting zero. First the column sums of
// (pixel - offset) and of its square, at column (wx - 1) + x.
__global__ void boxColumnSums(const float* image, const float* offset, int width, int height, int wy, int boxWidth,
                              float* sums, float* squares) {
    const int x = static_cast<int>(blockIdx.x * blockDim.x + threadIdx.x);
    if (x >= width) return;
    const float c = *offset;
    const int boxHeight = height + wy - 1;
    const int column = boxWidth - width + x;
    double s1 = 0.0, s2 = 0.0;
    for (int k = 0; k < boxHeight; ++k) {
        if (k < height) {
            const double v = image[size_t(k) * size_t(width) + size_t(x)] - c;
            s1 += v;
            s2 += v * v;
        }
        if (k >= wy) {
            const double v = image[size_t(k - wy) * size_t(width) + size_t(x)] - c;
            s1 -= v;
            s2 -= v * v;
        }
        sums[size_t(k) * size_t(boxWidth) + size_t(column)] = static_cast<float>(s1);
        squares[size_t(k) * size_t(boxWidth) + size_t(column)] = static_cast<float>(s2);
    }
}

// Then along each box row, in place: column K takes the column sums of image columns K - (wx - 1) .. K, which
// sit at K .. K + wx - 1; the one that leaves was overwritten a step before and is kept in `old`.
__global__ void boxRowSums(float* sums, float* squares, int width, int boxHeight, int wx, int boxWidth) {
    const int k = static_cast<int>(blockIdx.x * blockDim.x + threadIdx.x);
    if (k >= boxHeight) return;
    float* row1 = sums + size_t(k) * size_t(boxWidth);
    float* row2 = squares + size_t(k) * size_t(boxWidth);
    double s1 = 0.0, s2 = 0.0, old1 = 0.0, old2 = 0.0;
    for (int K = 0; K < boxWidth; ++K) {
        if (K < width) {
            s1 += row1[K + wx - 1];
            s2 += row2[K + wx - 1];
        }
        if (K >= wx) {
            s1 -= old1;
            s2 -= old2;
        }
        old1 = row1[K];
        old2 = row2[K];
        row1[K] = static_cast<float>(s1);
        row2[K] = static_cast<float>(s2);
    }
}

// Integral image of (pixel - offset): (height + 1) rows of width + 1 values, the first row and column zero.
__global__ void integralRows(const float* image, const float* offset, int width, int height, double* integral) {
    const int y = static_cast<int>(blockIdx.x * blockDim.x + threadIdx.x);
    if (y > height) return;
    double* out = integral + size_t(y) * size_t(width + 1);
    out[0] = 0.0;
    const float c = *offset;
    double s = 0.0;
    for (int x = 0; x < width; ++x) {
        if (y > 0) s += static_cast<double>(image[size_t(y - 1) * size_t(width) + size_t(x)] - c);
        out[x + 1] = s;
    }
}

__global__ void integralColumns(double* integral, int width, int height) {
    const int x = static_cast<int>(blockIdx.x * blockDim.x + threadIdx.x);
    if (x > width) return;
    const size_t stride = size_t(width) + 1;
    for (int y = 1; y <= height; ++y) integral[size_t(y) * stride + size_t(x)] += integral[size_t(y - 1) * stride + size_t(x)];
}

// ZNCC of one shift whose reference and deformed windows both lie in the image: the correlation of the mean-free
// windows from the offset one (cp) and the deformed window's offset sums (g1, g2); the deformed pixels' mean-free
// sum of squares about the search area's mean (s2) sets the texture threshold, as in the transform search.
__device__ __forceinline__ float insideScore(float cp, float g1, float g2, float meanGap, float invStd, float k2,
                                             float k3, float invArea) {
    const float corr = cp + meanGap * g1;
    const float variance = g2 - g1 * g1 * invArea;
    const float s2 = g2 + k2 * g1 + k3;
    const float enough = 1e-4f * s2 > 1e-12f ? 1e-4f * s2 : 1e-12f;
    const float zncc = invStd * corr / sqrtf(variance);
    return variance > enough ? (zncc < 1.0f ? zncc : 1.0f) : kSkipped;
}

// Whether insideScore's score may reach a positive best, from the square of the ratio it takes the root of:
// false only where the score lies below best by far more than its rounding, so that no score that would be kept is
// missed. A non-finite correlation or variance, and a floor too large for a float, answer true.
constexpr float kScoreMargin = 1.0f - 1e-5f;

__device__ __forceinline__ int maybeBetter(float cp, float g1, float g2, float meanGap, float invStd, float invArea,
                                           float floor) {
    const float scaled = invStd * (cp + meanGap * g1);
    const float variance = g2 - g1 * g1 * invArea;
    const float least = floor * variance;
    return !(scaled <= 0.0f || (scaled * scaled < least && least <= 3.0e38f));
}

// Where the image cuts either window: only pixel pairs with both pixels in the image correlate, and the deformed
// window's sums count its pixels in the image.
struct ClippedShift {
    const double* refIntegral;
    const double* defIntegral;
    int width, height, wx, wy;
    float offset;

    __device__ __forceinline__ float score(float cp, float g1, float g2, int wx0, int wy0, int dx, int dy,
                                           float refMean, float defMean, float invStd) const {
        const int stride = width + 1;
        const int x0 = imax(imax(wx0, 0), -dx), x1 = imin(imin(wx0 + wx, width), width - dx);
        const int y0 = imax(imax(wy0, 0), -dy), y1 = imin(imin(wy0 + wy, height), height - dy);
        double pairs = 0.0, refPart = 0.0, defPart = 0.0;
        if (x1 > x0 && y1 > y0) {
            pairs = double(x1 - x0) * double(y1 - y0);
            refPart = rectSum(refIntegral, stride, x0, x1, y0, y1);
            defPart = rectSum(defIntegral, stride, x0 + dx, x1 + dx, y0 + dy, y1 + dy);
        }
        const double km = double(offset) - double(refMean), kd = double(offset) - double(defMean);
        const double corr = double(cp) + kd * refPart + km * defPart + km * kd * pairs;
        const int xs = wx0 + dx, ys = wy0 + dy;
        const int ex = imin(xs + wx, width) - imax(xs, 0), ey = imin(ys + wy, height) - imax(ys, 0);
        const double inside = ex > 0 && ey > 0 ? double(ex) * double(ey) : 0.0;
        const double s1 = double(g1) + kd * inside;
        const double s2 = double(g2) + 2.0 * kd * double(g1) + kd * kd * inside;
        const float variance = static_cast<float>(s2 - s1 * s1 / (double(wx) * double(wy)));
        const float s2f = static_cast<float>(s2);
        const float enough = 1e-4f * s2f > 1e-12f ? 1e-4f * s2f : 1e-12f;
        const float zncc = invStd * static_cast<float>(corr) / sqrtf(variance);
        return variance > enough ? (zncc < 1.0f ? zncc : 1.0f) : kSkipped;
    }
};

// Rows x cols of (image - offset) from (top, left) into `out`, zero outside the image.
__device__ __forceinline__ void copyOffsetPixels(const Block& block, float* out, const float* image, int width,
                                                 int height, int top, int left, int rows, int cols, float offset) {
    block.forEachThread([&](int t) {
        for (int r = t; r < rows; r += block.size()) {
            float* row = out + size_t(r) * size_t(cols);
            const int y = top + r;
            const int c0 = imin(imax(-left, 0), cols), c1 = imax(imin(width - left, cols), c0);
            if (y < 0 || y >= height) {
                for (int k = 0; k < cols; ++k) row[k] = 0.0f;
                continue;
            }
            const float* in = image + size_t(y) * size_t(width);
            for (int k = 0; k < c0; ++k) row[k] = 0.0f;
            for (int k = c0; k < c1; ++k) row[k] = in[left + k] - offset;
            for (int k = c1; k < cols; ++k) row[k] = 0.0f;
        }
    });
}

// Each point's guess, its reference window's mean and inverse deviation (as the transform search takes them:
// pixels outside the image count in the area, not in the sums) and its search area's mean.
__device__ __forceinline__ void preparePoints(const Block& block, const TileStore& s, const TileShape& g,
                                              const float* ref, const double* defIntegral, const int* initX,
                                              const int* initY, float offset, int tileRow, int tileCol, int top,
                                              int left) {
    block.forEachThread([&](int t) {
        for (int q = t; q < kTilePoints; q += block.size()) {
            const int i = q / kTileCols, j = q - i * kTileCols;
            const long long gridRow = g.firstGridRow + static_cast<long long>(tileRow) * kTileRows + i;
            const long long gridCol = static_cast<long long>(tileCol) * kTileCols + j;
            const long long p = gridRow * g.gridWidth + gridCol;
            s.active[q] = s.searched[q] = s.refInside[q] = 0;
            s.guessX[q] = s.guessY[q] = s.bestDx[q] = s.bestDy[q] = 0;
            s.bestScore[q] = kNoScore;
            s.invStd[q] = s.refMean[q] = s.defMean[q] = 0.0f;
            if (gridCol >= g.gridWidth || p < g.first || p >= g.end) continue;
            s.active[q] = 1;
            const int gx = initX[p], gy = initY[p];
            s.guessX[q] = gx;
            s.guessY[q] = gy;
            const int wx0 = left + j * g.stepX, wy0 = top + i * g.stepY;
            const int x0 = imax(wx0, 0), x1 = imin(wx0 + g.wx, g.width);
            const int y0 = imax(wy0, 0), y1 = imin(wy0 + g.wy, g.height);
            const double area = double(g.wx) * double(g.wy);
            double sum = 0.0;
            for (int y = y0; y < y1; ++y)
                for (int x = x0; x < x1; ++x) sum += ref[size_t(y) * size_t(g.width) + size_t(x)];
            const float mean = static_cast<float>(sum / area);
            double d1 = 0.0, d2 = 0.0;
            for (int y = y0; y < y1; ++y)
                for (int x = x0; x < x1; ++x) {
                    const double d = ref[size_t(y) * size_t(g.width) + size_t(x)] - mean;
                    d1 += d;
                    d2 += d * d;
                }
            const double n = x1 > x0 && y1 > y0 ? double(x1 - x0) * double(y1 - y0) : 0.0;
            const double clipped = double(mean) * double(mean) * (2.0 * area - n) * (area - n) / area;
            const double variance = d2 - d1 * d1 / area + clipped;
            const float invStd = variance > 1e-12 ? static_cast<float>(1.0 / sqrt(variance)) : 0.0f;
            s.invStd[q] = invStd;
            s.refMean[q] = mean;
            s.refInside[q] = n == area;
            s.searched[q] = invStd > 0.0f;
            const int ax0 = imax(wx0 + gx - g.maxV, 0), ax1 = imin(wx0 + gx - g.maxV + g.wx + 2 * g.maxV, g.width);
            const int ay0 = imax(wy0 + gy - g.maxU, 0), ay1 = imin(wy0 + gy - g.maxU + g.wy + 2 * g.maxU, g.height);
            if (ax1 > ax0 && ay1 > ay0) {
                const double count = double(ax1 - ax0) * double(ay1 - ay0);
                const double areaSum = rectSum(defIntegral, g.width + 1, ax0, ax1, ay0, ay1) + double(offset) * count;
                s.defMean[q] = static_cast<float>(areaSum / count);
            }
        }
    });
    block.single([&] {
        int dy0 = INT_MAX, dy1 = INT_MIN;
        for (int q = 0; q < kTilePoints; ++q) {
            if (!s.searched[q]) continue;
            dy0 = imin(dy0, s.guessY[q] - g.up);
            dy1 = imax(dy1, s.guessY[q] + g.down);
        }
        s.range[0] = dy0;
        s.range[1] = dy1;
    });
}

// Products of the offset reference pixels with the offset deformed pixels at shift (first + k, dy), summed down
// each column of the tile's region: each window row's column sums, as the difference of the running sums where
// its windows end and where they start. Pixels outside the image are zero and add nothing.
#if TAVRO_GENERIC_KERNEL
__device__ __forceinline__ void tileColumnSums(const Block& block, const TileStore& s, const TileShape& g, int k) {
    const int rows = g.regionRows, cols = g.regionCols, pitch = g.windowCols;
    block.forEachThread([&](int t) {
        for (int col = t; col < cols; col += block.size()) {
            float acc = 0.0f;
            int nextStart = 0, started = 0, nextEnd = g.wy, ended = 0;
            for (int r = 0; r <= rows; ++r) {
                if (r == nextStart && started < kTileRows) {
                    s.starts[started * cols + col] = acc;
                    ++started;
                    nextStart += g.stepY;
                }
                if (r == nextEnd && ended < kTileRows) {
                    s.columns[col * kTileRows + ended] = acc - s.starts[ended * cols + col];
                    ++ended;
                    nextEnd += g.stepY;
                }
                if (r < rows) acc += s.refRegion[r * cols + col] * s.defWindow[r * pitch + k + col];
            }
        }
    });
}
#endif

#if !TAVRO_GENERIC_KERNEL
using Lanes8 = float __attribute__((vector_size(32)));

// By reference: a vector of this size passed by value would take another calling convention in the clones.
__device__ __forceinline__ void loadLanes(Lanes8& v, const float* p) { std::memcpy(&v, p, sizeof v); }

// out[c][i] = in[i][c], by the in-lane unpacks and shuffles and the cross-lane moves of eight-float vectors.
__device__ __forceinline__ void transpose8(const Lanes8 (&in)[8], Lanes8 (&out)[8]) {
    using Index = int __attribute__((vector_size(32)));
    const Index low = {0, 8, 1, 9, 4, 12, 5, 13}, high = {2, 10, 3, 11, 6, 14, 7, 15};
    const Index front = {0, 1, 8, 9, 4, 5, 12, 13}, back = {2, 3, 10, 11, 6, 7, 14, 15};
    const Index lower = {0, 1, 2, 3, 8, 9, 10, 11}, upper = {4, 5, 6, 7, 12, 13, 14, 15};
    Lanes8 t[8], u[8];
    for (int m = 0; m < 4; ++m) {
        t[2 * m] = __builtin_shuffle(in[2 * m], in[2 * m + 1], low);
        t[2 * m + 1] = __builtin_shuffle(in[2 * m], in[2 * m + 1], high);
    }
    for (int m = 0; m < 2; ++m) {
        u[4 * m] = __builtin_shuffle(t[4 * m], t[4 * m + 2], front);
        u[4 * m + 1] = __builtin_shuffle(t[4 * m], t[4 * m + 2], back);
        u[4 * m + 2] = __builtin_shuffle(t[4 * m + 1], t[4 * m + 3], front);
        u[4 * m + 3] = __builtin_shuffle(t[4 * m + 1], t[4 * m + 3], back);
    }
    for (int m = 0; m < 4; ++m) {
        out[m] = __builtin_shuffle(u[m], u[m + 4], lower);
        out[m + 4] = __builtin_shuffle(u[m], u[m + 4], upper);
    }
}

// The P x Q shifts (first + k + p, dy + q) of one pass, from the products to each point's correlation in corr
// (plane q, entry k + p of each point): tileColumnSums and tileWindowSums in one, eight columns at a time. The
// eight columns' running sums of every shift stay in registers down the whole region, where each deformed row is
// loaded once for the Q rows of shifts that use it; each window row's column sums then go straight into the
// running sums along the window rows. Every sum adds the same terms in the same order as the generic branch.
template <int P, int Q>
__device__ __forceinline__ void tilePassCpu(const TileStore& s, const TileShape& g, int k, float* corr) {
    constexpr int N = P * Q;
    const int rows = g.regionRows, cols = g.regionCols, pitch = g.windowCols;
    const size_t corrPlane = size_t(kTilePoints) * kShiftChunk;
    static_assert(kTileRows == 8, "a window row per lane");
    Lanes8 run[N];
    for (int n = 0; n < N; ++n) run[n] = Lanes8{};
    float* const rowStarts = s.rowStarts;  // [shift][window column][window row]
    int nextStartX = 0, startedX = 0, nextEndX = g.wx, endedX = 0;
    // Window-sum events at column `col`, before its column sums are added.
    const auto columnEvents = [&](int col) TAVRO_INLINE_LAMBDA {
        if (col == nextStartX && startedX < kTileCols) {
            for (int n = 0; n < N; ++n)
                std::memcpy(rowStarts + (n * kTileCols + startedX) * kTileRows, &run[n], sizeof(Lanes8));
            ++startedX;
            nextStartX += g.stepX;
        }
        if (col == nextEndX && endedX < kTileCols) {
            for (int q = 0; q < Q; ++q)
                for (int p = 0; p < P; ++p) {
                    const int n = q * P + p;
                    float* out = corr + size_t(q) * corrPlane + size_t(endedX) * kShiftChunk + k + p;
                    Lanes8 start;
                    loadLanes(start, rowStarts + (n * kTileCols + endedX) * kTileRows);
                    const Lanes8 window = run[n] - start;
                    for (int i = 0; i < kTileRows; ++i) out[size_t(i) * kTileCols * kShiftChunk] = window[i];
                }
            ++endedX;
            nextEndX += g.stepX;
        }
    };
    for (int c0 = 0; c0 < cols; c0 += 8) {
        Lanes8 acc[N], starts[N][kTileRows], sums[N][kTileRows];
        for (int n = 0; n < N; ++n) acc[n] = Lanes8{};
        int nextStart = 0, started = 0, nextEnd = g.wy, ended = 0;
        for (int r = 0;;) {
            if (r == nextStart && started < kTileRows) {
                for (int n = 0; n < N; ++n) starts[n][started] = acc[n];
                ++started;
                nextStart += g.stepY;
            }
            if (r == nextEnd && ended < kTileRows) {
                for (int n = 0; n < N; ++n) sums[n][ended] = acc[n] - starts[n][ended];
                ++ended;
                nextEnd += g.stepY;
            }
            if (r == rows) break;
            int stop = rows;
            if (started < kTileRows) stop = imin(stop, nextStart);
            if (ended < kTileRows) stop = imin(stop, nextEnd);
            // Rows r .. stop - 1; the deformed rows r + q of the Q rows of shifts, carried from row to row.
            const float* a = s.refRegion + size_t(r) * size_t(cols) + c0;
            const float* b = s.defWindow + size_t(r) * size_t(pitch) + k + c0;
            Lanes8 carried[Q][P];
#pragma GCC unroll 4
            for (int q = 0; q + 1 < Q; ++q)
#pragma GCC unroll 2
                for (int p = 0; p < P; ++p) loadLanes(carried[q][p], b + size_t(q) * pitch + p);
            for (; r < stop; ++r, a += cols, b += pitch) {
#pragma GCC unroll 2
                for (int p = 0; p < P; ++p) loadLanes(carried[Q - 1][p], b + size_t(Q - 1) * pitch + p);
                Lanes8 x;
                loadLanes(x, a);
#pragma GCC unroll 4
                for (int q = 0; q < Q; ++q)
#pragma GCC unroll 2
                    for (int p = 0; p < P; ++p) acc[q * P + p] += x * carried[q][p];
#pragma GCC unroll 4
                for (int q = 0; q + 1 < Q; ++q)
#pragma GCC unroll 2
                    for (int p = 0; p < P; ++p) carried[q][p] = carried[q + 1][p];
            }
        }
        // Column by column, each shift's window-row sums join the running sums along the window rows: the eight
        // window rows' sums of eight columns, transposed to one vector of window rows per column.
        const int width = imin(8, cols - c0);
        Lanes8 perColumn[N][8];
        for (int n = 0; n < N; ++n) transpose8(sums[n], perColumn[n]);
        for (int c = 0; c < width; ++c) {
            columnEvents(c0 + c);
            for (int n = 0; n < N; ++n) run[n] += perColumn[n][c];
        }
    }
    columnEvents(cols);
}
#endif

#if TAVRO_GENERIC_KERNEL
// Along each window row, the same running sums over the column sums give each point's correlation at the shift.
__device__ __forceinline__ void tileWindowSums(const Block& block, const TileStore& s, const TileShape& g,
                                               int chunkIndex) {
    const int cols = g.regionCols;
    block.forEachThread([&](int t) {
        for (int i = t; i < kTileRows; i += block.size()) {
            float run = 0.0f;
            float startRun[kTileCols];
            int nextStart = 0, started = 0, nextEnd = g.wx, ended = 0;
            for (int col = 0; col <= cols; ++col) {
                if (col == nextStart && started < kTileCols) {
                    startRun[started] = run;
                    ++started;
                    nextStart += g.stepX;
                }
                if (col == nextEnd && ended < kTileCols) {
                    s.corr[(i * kTileCols + ended) * kShiftChunk + chunkIndex] = run - startRun[ended];
                    ++ended;
                    nextEnd += g.stepX;
                }
                if (col < cols) run += s.columns[col * kTileRows + i];
            }
        }
    });
}
#endif

// Scores of one shift row's chunk [first, last] for every point whose range holds them, in column order, each
// kept when it beats the point's best (see kPeakRowCycle for ties).
__device__ __forceinline__ void scoreChunk(const Block& block, const TileStore& s, const TileShape& g,
                                           const float* corr, const float* boxSums, const float* boxSquares,
                                           const ClippedShift& clip, int top, int left, int dy, int first, int last) {
    const float invArea = 1.0f / static_cast<float>(g.wx * g.wy);
    const float area = static_cast<float>(g.wx * g.wy);
    const auto scorePoints = [&](int t, int threads) TAVRO_INLINE_LAMBDA {
        for (int q = t; q < kTilePoints; q += threads) {
            if (!s.searched[q]) continue;
            const int gx = s.guessX[q], gy = s.guessY[q];
            if (dy - gy < -g.up || dy - gy > g.down) continue;
            const int i = q / kTileCols, j = q - i * kTileCols;
            const int wx0 = left + j * g.stepX, wy0 = top + i * g.stepY;
            const int ys = wy0 + dy;
            // A deformed window wholly outside the image has no texture.
            if (ys + g.wy <= 0 || ys >= g.height) continue;
            const int lo = imax(imax(first, gx - g.left), 1 - g.wx - wx0);
            const int hi = imin(imin(last, gx + g.right), g.width - 1 - wx0);
            if (lo > hi) continue;
            // Box column of the deformed window starting at column wx0 + dx: boxColumn + dx.
            const float* b1 = boxSums + size_t(ys + g.wy - 1) * size_t(g.boxWidth);
            const float* b2 = boxSquares + size_t(ys + g.wy - 1) * size_t(g.boxWidth);
            const int boxColumn = wx0 + g.wx - 1;
            const float* cp = corr + q * kShiftChunk;
            const float invStd = s.invStd[q], refMean = s.refMean[q], defMean = s.defMean[q];
            const int rowKey = (dy - gy + g.up) % kPeakRowCycle;
            float best = s.bestScore[q];
            int bestDx = s.bestDx[q], bestDy = s.bestDy[q];
            int bestKey = (bestDy - gy + g.up) % kPeakRowCycle;
            const auto keep = [&](float score, int dx) {
                if (score > best || (score == best && rowKey < bestKey)) {
                    best = score;
                    bestDx = dx;
                    bestDy = dy;
                    bestKey = rowKey;
                }
            };
            // Shifts whose two windows lie wholly in the image take the short formula.
            const bool rowsInside = s.refInside[q] && ys >= 0 && ys + g.wy <= g.height;
            int fastLo = imax(lo, -wx0), fastHi = imin(hi, g.width - g.wx - wx0);
            if (!rowsInside || fastLo > fastHi) {
                fastLo = hi + 1;
                fastHi = hi;
            }
            const auto clipped = [&](int dx) {
                keep(clip.score(cp[dx - first], b1[boxColumn + dx], b2[boxColumn + dx], wx0, wy0, dx, dy, refMean,
                                defMean, invStd),
                     dx);
            };
            for (int dx = lo; dx < fastLo; ++dx) clipped(dx);
            if (fastLo <= fastHi) {
                const float meanGap = clip.offset - refMean, k = clip.offset - defMean;
                const float k2 = 2.0f * k, k3 = k * k * area;
                const int count = fastHi - fastLo + 1;
                const float* c1 = cp + (fastLo - first);
                const float* g1 = b1 + (boxColumn + fastLo);
                const float* g2 = b2 + (boxColumn + fastLo);
                // Once a point has a positive best, most chunks hold nothing near it: a test without the root and
                // the division (vectors on the CPU) spares them the scores.
                int candidates = best > 0.0f ? 0 : 1;
                if (!candidates) {
                    const float floor = best * best * kScoreMargin;
                    for (int e = 0; e < count; ++e)
                        candidates |= maybeBetter(c1[e], g1[e], g2[e], meanGap, invStd, invArea, floor);
                }
                if (candidates) {
                    // All of them first, then the scan, which the chunks that hold nothing as good as the best so
                    // far are spared.
                    float scores[kShiftChunk];
                    for (int e = 0; e < count; ++e)
                        scores[e] = insideScore(c1[e], g1[e], g2[e], meanGap, invStd, k2, k3, invArea);
                    int better = 0;
                    for (int e = 0; e < count; ++e) better |= scores[e] >= best;
                    if (better)
                        for (int e = 0; e < count; ++e) keep(scores[e], fastLo + e);
                }
            }
            for (int dx = fastHi + 1; dx <= hi; ++dx) clipped(dx);
            s.bestScore[q] = best;
            s.bestDx[q] = bestDx;
            s.bestDy[q] = bestDy;
        }
    };
#if TAVRO_GENERIC_KERNEL
    block.forEachThread([&](int t) { scorePoints(t, block.size()); });
#else
    // One loop over the points, inlined where the search's processor clone can vectorise it. Each point's scores
    // are its own: the order among points changes nothing.
    (void)block;
    scorePoints(0, 1);
#endif
}

// On the CPU the search also comes as an AVX clone, picked at run time: the same products and sums in the same
// order (no fused multiply-add), so every processor gets the same bits, eight columns at a time.
#if defined(__CUDACC__) || !defined(__x86_64__)
#define TAVRO_TILE_CLONES
#else
#define TAVRO_TILE_CLONES __attribute__((target_clones("avx", "default")))
#endif

TAVRO_TILE_CLONES __global__ void searchTiles(const float* ref, const float* def, const float* offsetPtr, const float* boxSums,
                            const float* boxSquares, const double* refIntegral, const double* defIntegral,
                            const int* initX, const int* initY, float* outX, float* outY, float* confidence,
                            TileShape g) {
    const Block block;
    const int tile = g.tileBase + static_cast<int>(blockIdx.x);
    const int tileRow = tile / g.tilesAcross, tileCol = tile - tileRow * g.tilesAcross;
    Carver carver{reinterpret_cast<uintptr_t>(block.dynamicShared<unsigned char>())};
    const TileStore s = carveTileStore(carver, g);
    const float offset = *offsetPtr;
    const int top = g.marginY + (g.firstGridRow + tileRow * kTileRows) * g.stepY - g.wy / 2;
    const int left = g.marginX + tileCol * kTileCols * g.stepX - g.wx / 2;
    preparePoints(block, s, g, ref, defIntegral, initX, initY, offset, tileRow, tileCol, top, left);
    copyOffsetPixels(block, s.refRegion, ref, g.width, g.height, top, left, g.regionRows, g.regionCols, offset);
    const int dyFirst = s.range[0], dyLast = s.range[1];
    const ClippedShift clip{refIntegral, defIntegral, g.width, g.height, g.wx, g.wy, offset};
    // Each row takes the columns of shifts that its own points need: a point whose guess is far from its
    // neighbours' adds its range to the rows it needs, not the tile's whole rectangle of shifts. A pass of the CPU
    // over several rows takes the columns any of them needs; each point scores only its own shifts.
    for (int dy = dyFirst; dy <= dyLast; dy += kPassRows) {
        const int passRows = imin(kPassRows, dyLast - dy + 1);
        block.single([&] {
            int lo = INT_MAX, hi = INT_MIN;
            for (int q = 0; q < kTilePoints; ++q) {
                if (!s.searched[q] || dy + passRows - 1 - s.guessY[q] < -g.up || dy - s.guessY[q] > g.down) continue;
                lo = imin(lo, s.guessX[q] - g.left);
                hi = imax(hi, s.guessX[q] + g.right);
            }
            s.range[2] = lo;
            s.range[3] = hi;
        });
        const int rowFirst = s.range[2], rowLast = s.range[3];
        // The next row's bounds are written only once every thread has read these.
        block.sync();
        for (int first = rowFirst; first <= rowLast; first += kShiftChunk) {
            const int last = imin(first + kShiftChunk - 1, rowLast);
            copyOffsetPixels(block, s.defWindow, def, g.width, g.height, top + dy, left + first,
                             g.regionRows + passRows - 1, g.windowCols, offset);
#if TAVRO_GENERIC_KERNEL
            for (int dx = first; dx <= last; ++dx) {
                tileColumnSums(block, s, g, dx - first);
                tileWindowSums(block, s, g, dx - first);
            }
#else
            const auto passes = [&](auto rowsOfPass) TAVRO_INLINE_LAMBDA {
                constexpr int Q = decltype(rowsOfPass)::value;
                int dx = first;
                for (; dx + kPassCols - 1 <= last; dx += kPassCols) tilePassCpu<kPassCols, Q>(s, g, dx - first, s.corr);
                for (; dx <= last; ++dx) tilePassCpu<1, Q>(s, g, dx - first, s.corr);
            };
            static_assert(kPassRows == 3, "one instance per number of rows of a pass");
            if (passRows == 3)
                passes(std::integral_constant<int, 3>{});
            else if (passRows == 2)
                passes(std::integral_constant<int, 2>{});
            else
                passes(std::integral_constant<int, 1>{});
#endif
            for (int q = 0; q < passRows; ++q)
                scoreChunk(block, s, g, s.corr + size_t(q) * size_t(kTilePoints) * kShiftChunk, boxSums, boxSquares,
                           clip, top, left, dy + q, first, last);
        }
    }
    block.forEachThread([&](int t) {
        for (int q = t; q < kTilePoints; q += block.size()) {
            if (!s.active[q]) continue;
            const int i = q / kTileCols, j = q - i * kTileCols;
            const long long p =
                (g.firstGridRow + static_cast<long long>(tileRow) * kTileRows + i) * g.gridWidth +
                static_cast<long long>(tileCol) * kTileCols + j;
            const bool found = s.searched[q] && s.bestScore[q] > -1e29f;
            outX[p] = static_cast<float>(found ? s.bestDx[q] : s.guessX[q]);
            outY[p] = static_cast<float>(found ? s.bestDy[q] : s.guessY[q]);
            if (confidence) confidence[p] = found ? s.bestScore[q] : -1.0f;
        }
    });
}

unsigned blocksFor(int64_t count, int threads) { return static_cast<unsigned>((count + threads - 1) / threads); }

TileShape tileShape(ImageSize size, const PixelSearchParams& params, const FFTSearchLayout& layout,
                    const SearchConfig& config, int gridWidth, int64_t first, int64_t end) {
    TileShape g{};
    g.width = size.width;
    g.height = size.height;
    g.wx = params.windowSizeX;
    g.wy = params.windowSizeY;
    g.stepX = params.stepX;
    g.stepY = params.stepY;
    g.gridWidth = gridWidth;
    g.marginX = config.marginX;
    g.marginY = config.marginY;
    g.maxU = params.maxU;
    g.maxV = params.maxV;
    g.up = layout.up;
    g.down = layout.down;
    g.left = layout.left;
    g.right = layout.right;
    g.regionRows = (kTileRows - 1) * params.stepY + params.windowSizeY;
    g.regionCols = (kTileCols - 1) * params.stepX + params.windowSizeX;
    g.windowCols = g.regionCols + kShiftChunk - 1;
    g.boxWidth = size.width + params.windowSizeX - 1;
    g.tilesAcross = (gridWidth + kTileCols - 1) / kTileCols;
    g.firstGridRow = gridWidth > 0 ? static_cast<int>(first / gridWidth) : 0;
    g.first = first;
    g.end = end;
    return g;
}

bool sharedFits(size_t bytes) {
    if (bytes <= kDefaultSharedBytes) return true;
    int device = 0, optIn = 0;
    if (cudaGetDevice(&device) != cudaSuccess ||
        cudaDeviceGetAttribute(&optIn, cudaDevAttrMaxSharedMemoryPerBlockOptin, device) != cudaSuccess ||
        bytes > size_t(optIn) ||
        cudaFuncSetAttribute(searchTiles, cudaFuncAttributeMaxDynamicSharedMemorySize, static_cast<int>(bytes)) !=
            cudaSuccess) {
        (void)cudaGetLastError();
        return false;
    }
    return true;
}

} // namespace

bool tiledSearchFits(const PixelSearchParams& params, const FFTSearchLayout& layout) {
    if (!gTiledSearch.load(std::memory_order_relaxed) || params.stepX < 1 || params.stepY < 1 ||
        params.windowSizeX < 1 || params.windowSizeY < 1)
        return false;
    const TileShape g = tileShape(ImageSize{1, 1}, params, layout, SearchConfig{}, 1, 0, 1);
    return sharedFits(tileStoreBytes(g));
}

bool runTiledPixelSearch(const float* ref, const float* def, ImageSize size, const PixelSearchParams& params,
                         const FFTSearchLayout& layout, const SearchConfig& config, int gridWidth, int64_t first,
                         int64_t end, const int* initX, const int* initY, float* outX, float* outY,
                         float* confidence, std::string& error, const SearchProgress& progress, uint64_t totalPoints,
                         bool* cancelled, bool* withoutMemory) {
    const ProfileRange range("Tiled pixel search (ZNCC)");
    if (end <= first || gridWidth < 1) return true;
    TileShape g = tileShape(size, params, layout, config, gridWidth, first, end);
    const int64_t lastGridRow = (end - 1) / gridWidth;
    const int tileRows = static_cast<int>((lastGridRow - g.firstGridRow) / kTileRows + 1);
    const int tiles = tileRows * g.tilesAcross;
    const size_t sharedBytes = tileStoreBytes(g);

    const auto failed = [&](cudaError_t code, const char* label) {
        if (code == cudaSuccess) return false;
        error = cudaErrorMessage(code, label);
        (void)cudaGetLastError();
        return true;
    };
    auto& pool = DeviceBufferPool::instance();
    DeviceBufferPool::Lease offset, boxSums, boxSquares, refIntegral, defIntegral;
    const int boxHeight = size.height + params.windowSizeY - 1;
    const uint64_t boxBytes = uint64_t(g.boxWidth) * uint64_t(boxHeight) * sizeof(float);
    const uint64_t integralBytes = uint64_t(size.width + 1) * uint64_t(size.height + 1) * sizeof(double);
    const auto lease = [&](DeviceBufferPool::Lease& target, uint64_t bytes, const char* label) {
        return !failed(static_cast<cudaError_t>(pool.acquire(bytes, target)), label);
    };
    if (!lease(offset, sizeof(float), "tiled search: alloc offset") ||
        !lease(boxSums, boxBytes, "tiled search: alloc box sums") ||
        !lease(boxSquares, boxBytes, "tiled search: alloc box squares") ||
        !lease(refIntegral, integralBytes, "tiled search: alloc reference integral") ||
        !lease(defIntegral, integralBytes, "tiled search: alloc deformed integral")) {
        if (withoutMemory) *withoutMemory = true;
        return false;
    }
    if (!sharedFits(sharedBytes)) {
        error = "tiled search: the device's shared memory cannot hold a tile";
        return false;
    }

    float* offsetPtr = offset.as<float>();
    const long long pixels = static_cast<long long>(size.width) * size.height;
    TAVRO_LAUNCH_BLOCK(imageOffset, 1u, kLineThreads, 0, def, pixels, offsetPtr);
    TAVRO_LAUNCH(boxColumnSums, blocksFor(size.width, kLineThreads), kLineThreads, 0, def,
                 static_cast<const float*>(offsetPtr), size.width, size.height, params.windowSizeY, g.boxWidth,
                 boxSums.as<float>(), boxSquares.as<float>());
    TAVRO_LAUNCH(boxRowSums, blocksFor(boxHeight, kLineThreads), kLineThreads, 0, boxSums.as<float>(),
                 boxSquares.as<float>(), size.width, boxHeight, params.windowSizeX, g.boxWidth);
    TAVRO_LAUNCH(integralRows, blocksFor(size.height + 1, kLineThreads), kLineThreads, 0, ref,
                 static_cast<const float*>(offsetPtr), size.width, size.height, refIntegral.as<double>());
    TAVRO_LAUNCH(integralRows, blocksFor(size.height + 1, kLineThreads), kLineThreads, 0, def,
                 static_cast<const float*>(offsetPtr), size.width, size.height, defIntegral.as<double>());
    TAVRO_LAUNCH(integralColumns, blocksFor(size.width + 1, kLineThreads), kLineThreads, 0,
                 refIntegral.as<double>(), size.width, size.height);
    TAVRO_LAUNCH(integralColumns, blocksFor(size.width + 1, kLineThreads), kLineThreads, 0,
                 defIntegral.as<double>(), size.width, size.height);
    if (failed(cudaGetLastError(), "tiled search: sums")) return false;

    int device = 0, processors = 1;
    if (cudaGetDevice(&device) != cudaSuccess ||
        cudaDeviceGetAttribute(&processors, cudaDevAttrMultiProcessorCount, device) != cudaSuccess) {
        (void)cudaGetLastError();
        processors = 1;
    }
    const int perLaunch = std::max(1, processors * kTilesPerProcessor);
    using Clock = std::chrono::steady_clock;
    Clock::time_point lastReport = Clock::now();
    for (int base = 0; base < tiles; base += perLaunch) {
        const int n = std::min(perLaunch, tiles - base);
        g.tileBase = base;
        TAVRO_LAUNCH_BLOCK(searchTiles, static_cast<unsigned>(n), kTileThreads, sharedBytes, ref, def,
                           static_cast<const float*>(offsetPtr), static_cast<const float*>(boxSums.as<float>()),
                           static_cast<const float*>(boxSquares.as<float>()),
                           static_cast<const double*>(refIntegral.as<double>()),
                           static_cast<const double*>(defIntegral.as<double>()), initX, initY, outX, outY,
                           confidence, g);
        if (failed(cudaGetLastError(), "searchTiles") ||
            failed(cudaDeviceSynchronize(), "sync after tiled search"))
            return false;
        if (progress) {
            const Clock::time_point now = Clock::now();
            const int64_t elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(now - lastReport).count();
            if (base + n >= tiles || elapsed >= kProgressIntervalNs) {
                lastReport = now;
                const int64_t doneRow = g.firstGridRow + int64_t((base + n) / g.tilesAcross) * kTileRows;
                const int64_t done = std::clamp<int64_t>(doneRow * gridWidth, first, end);
                if (!progress(uint64_t(base + n >= tiles ? end : done), totalPoints)) {
                    if (cancelled) *cancelled = true;
                    return false;
                }
            }
        }
    }
    return true;
}

namespace detail {
void setTiledSearch(bool on) { gTiledSearch.store(on); }
bool tiledSearchEnabled() { return gTiledSearch.load(); }
} // namespace detail

} // namespace tavro
