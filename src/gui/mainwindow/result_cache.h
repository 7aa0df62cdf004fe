#pragma once
// A result's entry in the project file's result cache: the ranges, the rigid
// shift and the grid geometry that survive when the result leaves memory.

#include "compute/computation_types.h"
#include "gui/project/project_parameters.h"

namespace tavro::gui {

ResultRangeEntry resultCacheEntry(int index, const ComputationResult& result);
void applyResultCacheEntry(const ResultRangeEntry& entry, ComputationResult& result);

// Whether the entry holds displacement ranges worth keeping in the file: all
// four at zero is what a result that was never measured leaves.
inline bool holdsDisplacementRanges(const ResultRangeEntry& e) {
    return e.autoMinUx != 0.0f || e.autoMaxUx != 0.0f || e.autoMinUy != 0.0f || e.autoMaxUy != 0.0f;
}

}  // namespace tavro::gui
