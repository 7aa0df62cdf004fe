#pragma once
// Where each tile of a list sits in the grid: the options' checks, the
// missing-position syntax and the scan orders.

#include <QString>

#include <cstdint>
#include <vector>

#include "stitching/stitching_records.h"

namespace tavro::stitching {

// Largest number of grid cells a run accepts.
inline constexpr int64_t kMaxGridCells = 10000;

// Scan-order index (0 .. rows x cols - 1) of the cell at (row, col).
int scanIndexOf(int order, int rows, int cols, int row, int col);

// Parses "1", "1; 3; 5", "1-5", "1-3; 7" (commas also separate) into sorted,
// distinct positions below cellCount; false with the reason otherwise.
bool parseMissingPositions(const QString& text, int cellCount, std::vector<int>& positions, QString& error);

// The grid cell of every list entry, and -1 list entries for missing cells.
struct GridLayout {
    int rows = 0;
    int cols = 0;
    int order = 0;
    std::vector<int> tileAt;  // per cell (row-major): list index or -1
    int cellOf(int row, int col) const { return row * cols + col; }
    int tile(int row, int col) const { return tileAt[size_t(cellOf(row, col))]; }
};

// Missing positions are scan-order indices; the remaining cells take the tiles
// in list order.
GridLayout makeLayout(int rows, int cols, int order, const std::vector<int>& missing);

// Checks grid, overlaps, scan order, crop and the tile count against the grid.
// On success `missing` holds the user's positions and `autoMissing` how many
// empty cells the engine must find itself.
bool validateOptions(const StitchingOptions& options, int tileCount, std::vector<int>& missing, int& autoMissing,
                     QString& error);

}  // namespace tavro::stitching
