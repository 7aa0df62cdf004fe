#pragma once
// Entry of the discontinuity-enriched sub-pixel engine: besides u, v and the
// gradients it estimates, per point, a displacement jump across a crack line
// and fills the crack fields of a FractureResult.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/gpu_common.h"
#include "core/pixel_search.h"
#include "core/results.h"
#include "core/subpixel_params.h"

namespace tavro {

// The fracture fields this engine writes besides the crack maps (0 to 4 and
// the crack position 11): each side's displacement extrapolated to the grid
// point, and the zero-normalised SSD of the enriched and of the continuous warp
// on the samples they were compared on (also where the enrichment was refused).
enum RuptureField : int {
    RuptureMinusU = 5,
    RuptureMinusV = 6,
    RupturePlusU = 7,
    RupturePlusV = 8,
    RuptureEnrichedCost = 9,
    RuptureContinuousCost = 10,
};

// Refines `start` (a first-order result on the grid of pixelParams; gradients
// may be absent) with a Heaviside enrichment into `out`, for grid rows
// [rowStart, rowStart + rowCount) (rowCount -1: through the last row). Only
// points whose subset a crack may cut are enriched, and the enrichment is kept
// only where it explains the subset clearly better than the continuous warp
// (and than a smooth second-order one) and it belongs to a crack fitted at
// several neighbouring points; such a point receives the warp of its own side
// of the crack. A point whose subset such a crack cuts without a kept fit of
// its own is NaN (its start smears the jump); every other point keeps its
// start. Band calls judge the rows around the band as well. Gradients are
// written when `start` has them and `out` has room for them (a whole-grid call
// makes room). When `fracture` is not null it receives
// the grid size and fields 0 to 11 of those rows (NaN where there is no
// crack); fields 12 to 14 are left alone. Outputs already of the grid's size
// keep their size, so that band calls can share them. `progress` (done, total)
// counts grid points from the band's first one; false asks to stop, which
// returns false with an empty error (and, for the whole grid, empty outputs).
// params.enableTwinning fits each side with its own gradients; engineOption and
// the two trailing flags are not used. On false `error` says why.
bool computeRuptureSubpixel(const ImageSource& reference, const ImageSource& deformed, ImageSize size,
                            const PixelSearchParams& pixelParams, const PixelDisplacementResult& start,
                            const SubpixelParams& params, PixelDisplacementResult& out, std::string& error,
                            std::function<bool(uint64_t done, uint64_t total)> progress, FractureResult* fracture,
                            int32_t rowStart, int32_t rowCount, bool reservedA, bool reservedB);

// Gives every crack of `fracture` (grid steps stepX, stepY px) one
// orientation: the points linked by neighbours fitted with the same crack
// share one normal, turned so that the crack's mean angle lies in (-90, 90]
// (90 itself rather than -90). A point's angle then lies within 90 degrees of
// its crack's mean, in (-180, 180]. A fit alone can only tell its line, not
// which way it faces: near +-90 degrees its angle would flip from point to
// point, and with it the opening, beta and phi. A whole-grid call does this
// itself; band calls leave it to the caller once every band is done.
void orientCracks(FractureResult& fracture, int32_t stepX, int32_t stepY);

namespace detail {
// Whether the kept enriched fit `fit` (kResultFloats values) turns and jumps
// so far from its kept neighbours on the same crack (`witnesses`, as many as
// it has) that its point's displacement is not to be trusted.
bool contradictedFit(const float* fit, const std::vector<const float*>& witnesses);
} // namespace detail

} // namespace tavro
