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

// Whether a result has an entry of its own in the file: every result that was
// measured does, a field of zeros (a whole-pixel move once its rigid shift is
// out) included, or it would reopen without its rigid shift. An unknown shift
// is left out, as an entry would read back as a known one.
inline bool resultWorthAnEntry(const ComputationResult& result) {
    if (result.display.rigidShiftUnknown)
        return false;
    return (result.displacements && !result.displacements->dispX.empty()) || result.geometry.isSet() ||
           holdsDisplacementRanges(resultCacheEntry(0, result));
}

}  // namespace tavro::gui
