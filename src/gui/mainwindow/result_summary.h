#pragma once
// The one-line summary of a result that arrives when no run waits for it.

#include "compute/computation_types.h"

#include <QString>

namespace tavro::gui {

// "Rigid Δx=… Δy=… (ρ=…) | <model> <w> x <h> (<interpolation>) sur ROI (x, y) w x h | Ux:[…] Uy:[…]",
// then " | εxx:[…] …" when the result has strains; every number with 4 significant digits.
QString resultSummaryText(const ComputationResult& result);

}  // namespace tavro::gui
