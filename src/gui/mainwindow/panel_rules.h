#pragma once
// Rules of the control column that need no widget: the odd correlation window,
// the order of the computation modes, the GPU choice and the bookkeeping of a
// list whose rows the user drags.

#include <QString>

#include <algorithm>
#include <array>
#include <cstddef>
#include <vector>

#include "core/gpu_discovery.h"

namespace tavro::gui {

// Item data of the GPU choice besides a CUDA device id.
constexpr int kNoGpuChoice = -1;
constexpr int kAllGpusChoice = -2;

// A correlation window needs a centre pixel: an even size grows by one, or
// shrinks by one when growing would pass the box's maximum.
int oddWindowSize(int value, int maximum);

// The model ids in the order of the computation-mode combo: the discontinuity
// models follow the continuous ones they enrich.
constexpr std::array<int, 5> kComputationModeOrder{0, 1, 3, 2, 4};

struct GpuChoice {
    QString text;
    int data = kNoGpuChoice;
};

struct GpuChoices {
    std::vector<GpuChoice> items;
    int current = 0;
    bool usable = false;  // false: the single "No GPU detected" item
};

// The GPU combo's items for the enumerated devices. With several devices "All
// GPUs" comes first, yet the first device stays the default: a multi-GPU run
// is a choice, not the start-up state.
GpuChoices gpuChoices(const std::vector<GpuInfo>& devices);

// Where the row at `index` ends up after rows first..last moved before
// `destination` (a row of the list before the move), as a list model reports
// an internal drag.
int rowAfterMove(int index, int first, int last, int destination);

// Applies the same move to the data behind the rows; false, with `items`
// unchanged, for a move that does not fit them.
template <typename T>
bool applyRowMove(std::vector<T>& items, int first, int last, int destination) {
    const int count = static_cast<int>(items.size());
    if (first < 0 || last < first || last >= count || destination < 0 || destination > count)
        return false;
    const auto at = [&items](int row) { return items.begin() + static_cast<std::ptrdiff_t>(row); };
    if (destination > last + 1)
        std::rotate(at(first), at(last + 1), at(destination));
    else if (destination < first)
        std::rotate(at(destination), at(first), at(last + 1));
    return true;
}

}  // namespace tavro::gui

namespace tavro::gui {

struct ListButtonStates {
    bool remove = false;
    bool moveUp = false;
    bool moveDown = false;
    bool clear = false;
};

// The "-", "↑", "↓" and "Clear all" of a file list. The deformed image list
// moves its current row even without a selection; tile lists move only a
// selected tile.
ListButtonStates listButtonStates(int count, int currentRow, bool hasSelection, bool moveNeedsSelection);

}  // namespace tavro::gui
