#pragma once
// What the engine's search and refinement drivers share: the checks of their
// inputs and the grid they give, the memory gate's log line, the switch that
// forces the whole-image path out of memory, band uploads of a streamed image
// and the sizing of a per-point work buffer.

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "core/gpu_common.h"
#include "core/pixel_search.h"
#include "core/subpixel_params.h"
#include "gpu/runtime_base.h"

namespace tavro::detail {

// The grid of a search over an image: the image column and row of grid point
// 0 (the window's half plus the search range) and the grid's size.
struct SearchGrid {
    int32_t marginX = 0;
    int32_t marginY = 0;
    int32_t width = 0;
    int32_t height = 0;
    uint64_t points() const { return uint64_t(width) * uint64_t(height); }
};

// The first refusal among the images, window, step and range checks, or null.
const char* checkSearchInputs(const ImageSource& ref, const ImageSource& def, ImageSize size,
                              const PixelSearchParams& p);

// The grid of valid parameters on an image, or the refusal; in 64 bits, so
// that a range or step near the int32 limit cannot wrap into an accepted grid.
const char* searchGrid(ImageSize size, const PixelSearchParams& p, SearchGrid& grid);

// The refinements' checks: the search's, the refinement settings, then a start
// grid of startWidth x startHeight points (with that many displacements when
// `start` is given) that must be the parameters' grid.
const char* checkRefinementInputs(const ImageSource& ref, const ImageSource& def, ImageSize size,
                                  const PixelSearchParams& p, const SubpixelParams& params, int startWidth,
                                  int startHeight, const PixelDisplacementResult* start, SearchGrid& grid);

// Writes the memory gate's decision to the multi-GPU log: `head` names the
// phase ("phase=pixel fft=1"), rows are the grid rows of the call.
void logMemoryGate(const std::string& head, uint64_t footprint, const MemoryBudget& budget, int rowBegin, int rowEnd,
                   bool banded);

// TAVRO_FORCE_RESIDENT_OOM makes the first whole-image attempt of each phase
// (one `used` flag per phase) fail as out of memory, once per process.
bool forcedResidentOom(std::atomic<bool>& used);

// A whole image handed to `copy(rows, firstRow, endRow)` at once, a streamed
// source a band of rows at a time, so that it never needs a host copy of the
// whole image.
template <class Copy>
cudaError_t uploadInBands(const ImageSource& source, int width, int height, std::vector<float>& scratch,
                          const Copy& copy) {
    constexpr int kUploadRows = 128;
    const int band = source.pixels ? height : kUploadRows;
    for (int first = 0; first < height; first += band) {
        const int end = std::min(height, first + band);
        const cudaError_t status = copy(source.rows(first, end, width, scratch), first, end);
        if (status != cudaSuccess) return status;
    }
    return cudaSuccess;
}

// Leases a buffer of `bytesPerPoint` for each point of a launch and says in
// `perLaunch` how many points a launch may take: at most `points` and
// `maxPerLaunch`, at most what half the free device memory holds, and halved
// after each out-of-memory answer down to one point. Returns a CUDA error code.
int leasePerPointBuffer(uint64_t bytesPerPoint, int64_t points, int64_t maxPerLaunch, DeviceBufferPool::Lease& lease,
                        int64_t& perLaunch);

} // namespace tavro::detail
