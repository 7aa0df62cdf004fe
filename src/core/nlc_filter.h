#pragma once
// Local contrast normalisation of a grayscale float image on the GPU: each pixel
// becomes its deviation from the mean of its (2r + 1) x (2r + 1) neighbourhood
// over the neighbourhood's standard deviation, mapped back to the global mean and
// standard deviation and clipped to [0, 1]. Borders repeat the edge pixels.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "core/gpu_common.h"

namespace tavro {

// (mean, standard deviation) of the whole image, accumulated in double; the
// variance is floored at 1e-12, so a constant image gives a deviation of 1e-6.
std::pair<float, float> computeMeanStdDev(const ImageSource& source, int width, int height);

// Filters `in` into `out` (which may be the same buffer) with the given global
// statistics. The buffer is the whole image as far as the filter knows. Blocks
// until every row is back in host memory; on failure some rows of `out` may
// already hold filtered values.
bool nlcFilterGpu(const float* in, float* out, int width, int height, int radius, float mean, float stddev,
                  std::string& error);

// The statistics of `image`, then the filter in place. `image` holds width x height values.
bool applyNlcFilterGpu(std::vector<float>& image, int width, int height, int radius, std::string& error);

namespace detail {

// The image's rows are filtered in bands that fit the device memory budget; each
// band carries up to `radius` rows of context above and below its own rows.
struct NlcBand {
    int32_t rowStart;
    int32_t rowEnd;  // excluded
    int32_t haloStart;
    int32_t haloEnd;  // excluded
};

// Bytes the four band buffers of one call may take on the current device.
uint64_t nlcMemoryBudget();

// Bands of nearly equal height (the first ones one row taller) covering every row once, in order.
std::vector<NlcBand> planNlcBands(int width, int height, int radius, uint64_t budgetBytes);

// nlcFilterGpu with the memory budget given, so that band splits can be forced.
bool nlcFilterWithBudget(const float* in, float* out, int width, int height, int radius, float mean, float stddev,
                         uint64_t budgetBytes, std::string& error);

} // namespace detail

} // namespace tavro
