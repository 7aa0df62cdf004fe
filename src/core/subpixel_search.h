#pragma once
// Sub-pixel refinement of an integer-pixel displacement field on the current
// CUDA device: inverse-compositional Gauss-Newton per grid point, on the whole
// deformed image when it fits in the memory budget, else in horizontal strips.
// A model with a displacement discontinuity is refined with first-order
// gradients and then handed to the discontinuity-enriched engine.

#include <cstdint>
#include <functional>
#include <string>

#include "core/gpu_common.h"
#include "core/pixel_search.h"
#include "core/results.h"
#include "core/subpixel_params.h"

namespace tavro {

// Called with (done, total) points between kernel launches; returning false cancels.
using SubpixelProgress = std::function<bool(uint64_t done, uint64_t total)>;

// Refines the host integer-pixel result `pixel` (the grid of pixelParams over
// the image) into `out`. Grid rows [rowStart, rowStart + rowCount) are
// processed (rowCount -1: through the last row); a band call writes only its
// rows and keeps the output's size when it is already right. A mask byte 0 at
// a grid point's pixel makes that point NaN; mask may be null. On failure
// `error` says why; a cancelled call returns false with an empty error and,
// for the whole grid, an empty output.
bool computeSubpixelDisplacements(const ImageSource& reference, const ImageSource& deformed, ImageSize size,
                                  const PixelSearchParams& pixelParams, const PixelDisplacementResult& pixel,
                                  const SubpixelParams& params, PixelDisplacementResult& out, std::string& error,
                                  SubpixelProgress progress, const uint8_t* mask, int maskStride, int maskRows,
                                  int rowStart, int rowCount);

// The same from integer-pixel displacements still in device memory; always the whole grid.
bool computeSubpixelDisplacements(const ImageSource& reference, const ImageSource& deformed, ImageSize size,
                                  const PixelSearchParams& pixelParams, const DevicePixelDisplacements& pixel,
                                  const SubpixelParams& params, PixelDisplacementResult& out, std::string& error,
                                  SubpixelProgress progress, const uint8_t* mask, int maskStride, int maskRows);

} // namespace tavro
