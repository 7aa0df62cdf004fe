#pragma once
// Crack fields for a correlation model without a discontinuity term of its own:
// crack lines are extracted from the refined displacement field and their
// openings and angles placed on the correlation grid.

#include <cstdint>

#include "core/results.h"

namespace tavro::gui {

// The crack fields of `displacements` on its grid (NaN away from the lines;
// "Crack position φ (px)" is not produced). A grid of another size than its
// fields, or no crack found, gives the grid size with every field empty.
FractureResult detectCracks(const PixelDisplacementResult& displacements, int32_t stepX, int32_t windowSizeX);

} // namespace tavro::gui
