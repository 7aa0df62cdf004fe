#pragma once
// A result's entry in the project file's result cache: the ranges, the rigid
// shift and the grid geometry that survive when the result leaves memory.

#include "compute/computation_types.h"
#include "gui/project/project_parameters.h"

namespace tavro::gui {

ResultRangeEntry resultCacheEntry(int index, const ComputationResult& result);
void applyResultCacheEntry(const ResultRangeEntry& entry, ComputationResult& result);

}  // namespace tavro::gui
