#include "stitching/tile_grid.h"

#include <QStringList>

#include <algorithm>

namespace tavro::stitching {

int scanIndexOf(int order, int rows, int cols, int row, int col) {
    switch (order) {
    case kScanRowByRow:
        return row * cols + col;
    case kScanColumnByColumn:
        return col * rows + row;
    case kScanColumnSnake:
        return col * rows + (col % 2 ? rows - 1 - row : row);
    default:
        return row * cols + (row % 2 ? cols - 1 - col : col);
    }
}

namespace {

bool parsePosition(const QString& text, int cellCount, int& value, QString& error) {
    bool ok = false;
    value = text.trimmed().toInt(&ok);
    if (!ok) {
        error = QStringLiteral("\"%1\" is not a tile position").arg(text.trimmed());
        return false;
    }
    if (value < 0 || value >= cellCount) {
        error = QStringLiteral("position %1 is outside 0-%2").arg(value).arg(cellCount - 1);
        return false;
    }
    return true;
}

}  // namespace

bool parseMissingPositions(const QString& text, int cellCount, std::vector<int>& positions, QString& error) {
    positions.clear();
    QString normalised = text;
    normalised.replace(QLatin1Char(','), QLatin1Char(';'));
    for (const QString& rawItem : normalised.split(QLatin1Char(';'))) {
        const QString item = rawItem.trimmed();
        if (item.isEmpty()) continue;
        // A leading '-' would be a negative number, not a range.
        const int dash = item.indexOf(QLatin1Char('-'), 1);
        int first = 0, last = 0;
        if (dash < 0) {
            if (!parsePosition(item, cellCount, first, error)) return false;
            last = first;
        } else {
            if (!parsePosition(item.left(dash), cellCount, first, error) ||
                !parsePosition(item.mid(dash + 1), cellCount, last, error))
                return false;
            if (last < first) {
                error = QStringLiteral("range %1-%2 is reversed").arg(first).arg(last);
                return false;
            }
        }
        for (int p = first; p <= last; ++p) positions.push_back(p);
    }
    std::sort(positions.begin(), positions.end());
    positions.erase(std::unique(positions.begin(), positions.end()), positions.end());
    return true;
}

GridLayout makeLayout(int rows, int cols, int order, const std::vector<int>& missing) {
    GridLayout layout;
    layout.rows = rows;
    layout.cols = cols;
    layout.order = order;
    const int cells = rows * cols;
    std::vector<int> tileOfScan(size_t(cells), -1);
    for (int s = 0, next = 0, m = 0; s < cells; ++s) {
        if (m < int(missing.size()) && missing[size_t(m)] == s) {
            ++m;
            continue;
        }
        tileOfScan[size_t(s)] = next++;
    }
    layout.tileAt.assign(size_t(cells), -1);
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < cols; ++c)
            layout.tileAt[size_t(layout.cellOf(r, c))] = tileOfScan[size_t(scanIndexOf(order, rows, cols, r, c))];
    return layout;
}

bool validateOptions(const StitchingOptions& o, int tileCount, std::vector<int>& missing, int& autoMissing,
                     QString& error) {
    missing.clear();
    autoMissing = 0;
    if (tileCount <= 0) {
        error = QStringLiteral("No tiles to assemble");
        return false;
    }
    if (o.gridRows < 1 || o.gridCols < 1 || int64_t(o.gridRows) * o.gridCols > kMaxGridCells) {
        error = QStringLiteral("Invalid grid %1 x %2: rows and columns must be at least 1 and the grid hold at most "
                               "%3 tiles")
                    .arg(o.gridRows)
                    .arg(o.gridCols)
                    .arg(kMaxGridCells);
        return false;
    }
    if (o.overlapX < 0 || o.overlapX > 99 || o.overlapY < 0 || o.overlapY > 99) {
        error = QStringLiteral("Invalid overlaps %1 % horizontal, %2 % vertical: each must be between 0 and 99 %")
                    .arg(o.overlapX)
                    .arg(o.overlapY);
        return false;
    }
    if (o.scanOrder < kScanSnake || o.scanOrder > kScanColumnSnake) {
        error = QStringLiteral("Unknown scan order %1").arg(o.scanOrder);
        return false;
    }
    if (o.cropX < 0 || o.cropY < 0 || o.cropWidth < 0 || o.cropHeight < 0) {
        error = QStringLiteral("Invalid crop rectangle (%1, %2) %3 x %4: no value may be negative")
                    .arg(o.cropX)
                    .arg(o.cropY)
                    .arg(o.cropWidth)
                    .arg(o.cropHeight);
        return false;
    }
    const int cells = o.gridRows * o.gridCols;
    if (!o.allowMissingTiles) {
        if (tileCount != cells) {
            error = QStringLiteral("Incorrect number of tiles: expected %1, received %2").arg(cells).arg(tileCount);
            return false;
        }
        return true;
    }
    if (tileCount > cells) {
        error = QStringLiteral("Too many tiles: the %1 x %2 grid holds %3, received %4")
                    .arg(o.gridRows)
                    .arg(o.gridCols)
                    .arg(cells)
                    .arg(tileCount);
        return false;
    }
    QString reason;
    if (!parseMissingPositions(o.missingTilePositions, cells, missing, reason)) {
        error = QStringLiteral("Invalid missing tile positions \"%1\": %2").arg(o.missingTilePositions, reason);
        return false;
    }
    if (missing.empty()) {
        autoMissing = cells - tileCount;
        return true;
    }
    if (cells - int(missing.size()) != tileCount) {
        error = QStringLiteral("The missing tile positions leave %1 grid cells for %2 tiles")
                    .arg(cells - int(missing.size()))
                    .arg(tileCount);
        return false;
    }
    return true;
}

}  // namespace tavro::stitching
