#pragma once
// Whole-pixel ZNCC search of a range of grid points on images already in device
// memory. All correlations of one point come from one FFT frame holding its
// search area: the cross-correlation with the mean-free reference window, then
// normalised by the local sums of the deformed image and of its square, summed
// directly over the same frame. Points are processed in batches of frames.

#include <cstdint>
#include <string>
#include <vector>

#include "core/gpu_common.h"
#include "core/pixel_search.h"

namespace tavro {

// Frame and batch geometry of one search.
struct FFTSearchLayout {
    // Admissible displacements around the guess: vertical -up .. +down, horizontal -left .. +right.
    int32_t up = 0;
    int32_t down = 0;
    int32_t left = 0;
    int32_t right = 0;
    int32_t searchWidth = 0;
    int32_t searchHeight = 0;
    int32_t nx = 0;  // frame columns: even, of factors 2, 3 and 5 (a power of two beyond 256)
    int32_t ny = 0;  // frame rows: of factors 2, 3 and 5 (a power of two beyond 256)
    int64_t frameReals = 0;  // nx x ny
    int64_t frameBins = 0;   // (nx / 2 + 1) x ny, one half spectrum
    uint64_t memoryPerPoint = 0;
    int32_t batchSize = 0;
};

// budget 0 means no limit; [first, end) is the range of points to search.
FFTSearchLayout fftSearchLayout(const PixelSearchParams& params, uint64_t totalPoints, int64_t first, int64_t end,
                                uint64_t budget);

// Searches points [first, end). A point's image position is (pointX[p], pointY[p]) when those are given, else its
// grid position from config's margins and the steps; its search area is centred on (initX[p], initY[p]) when given,
// else on no displacement. outX, outY (and confidence, the peak score, when given) receive the result of every point
// handled. A point whose reference window is flat, or which has no shift with enough deformed-image texture, keeps
// its guess with confidence -1. Returns false on failure (error set) or cancellation (*cancelled set, error untouched).
// The mask is accepted for the caller's convenience and not read.
bool runFFTPixelSearch(const float* ref, const float* def, const uint8_t* mask, int maskStride, int maskRows,
                       ImageSize size, const PixelSearchParams& params, const SearchConfig& config, int gridWidth,
                       int gridHeight, uint64_t totalPoints, float* outX, float* outY, std::string& error,
                       const SearchProgress& progress, bool* cancelled, int64_t first, int64_t end,
                       const int* initX, const int* initY, const int* pointX, const int* pointY, float* confidence,
                       uint64_t budget);

// Re-searches the listed points (grid indices with their image columns and rows) with the full ranges of params and
// no guess, and writes their displacements into dstX and dstY at those indices. An empty list succeeds at once.
bool runEscalatedFFTSearch(const float* ref, const float* def, ImageSize size, const PixelSearchParams& params,
                           const SearchConfig& config, const std::vector<int64_t>& indices,
                           const std::vector<int32_t>& xs, const std::vector<int32_t>& ys, float* dstX, float* dstY);

namespace detail {
// Wall time of the search's phases summed over every call since the last reset, for the benchmark: collected only
// while switched on, when each phase also waits for its kernels.
struct SearchPhaseTimes {
    double extraction = 0.0;  // seconds
    double forward = 0.0;     // both forward transforms
    double inverse = 0.0;     // cross spectrum and the inverse transform
    double peaks = 0.0;       // local sums and the peak
    double inCache = 0.0;     // all of the above, one point per block, where the frames allow
    double tiled = 0.0;       // guided grid points by direct sums over tiles of points
    double setup = 0.0;       // leases and plans
    int64_t batches = 0;
};
void setSearchPhaseTiming(bool on);

// For tests: off runs every search through the separate batched kernels, as frames too large for the in-cache
// kernel always do.
void setInCacheSearch(bool on);
SearchPhaseTimes searchPhaseTimes();
void resetSearchPhaseTimes();

// The peak stage alone, on frames already holding the correlation (unnormalised, as the inverse transform leaves it)
// and the two local sums, for count points from index 0. Device pointers; returns the launch status.
int findPeaksOnFrames(const float* corr, const float* localSum, const float* localSum2, const float* invStdRef,
                      float* outX, float* outY, float* confidence, const PixelSearchParams& params, int count);
} // namespace detail

} // namespace tavro
