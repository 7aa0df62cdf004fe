#pragma once
// Entry of the discontinuity-enriched sub-pixel engine: besides u, v and the
// gradients it estimates, per point, a displacement jump across a crack line
// and fills the crack fields of a FractureResult.

#include <cstdint>
#include <functional>
#include <string>

#include "core/gpu_common.h"
#include "core/pixel_search.h"
#include "core/results.h"
#include "core/subpixel_params.h"

namespace tavro {

// Refines `start` (a first-order result on the grid of pixelParams) with the
// enrichment that params.heaviside asks for, into `out`, for grid rows
// [rowStart, rowStart + rowCount) (rowCount -1: through the last row). When
// `fracture` is not null it receives the grid size and the crack fields of
// those rows. `progress` (done, total) returning false asks to stop. The two
// trailing flags are false at every call site. On false `error` says why.
bool computeRuptureSubpixel(const ImageSource& reference, const ImageSource& deformed, ImageSize size,
                            const PixelSearchParams& pixelParams, const PixelDisplacementResult& start,
                            const SubpixelParams& params, PixelDisplacementResult& out, std::string& error,
                            std::function<bool(uint64_t done, uint64_t total)> progress, FractureResult* fracture,
                            int32_t rowStart, int32_t rowCount, bool engineFlagA, bool engineFlagB);

} // namespace tavro
