#pragma once
// A mosaic from a complete grid of equally sized tiles at their nominal grid
// positions, without registration: the fallback that needs no device.

#include <QImage>
#include <QString>

#include <vector>

namespace tavro::stitching {

// scanOrder: 0 snake, 1 row by row, anything else column by column. Overlaps
// in percent of the tile width (overlapX) and height (overlapY). The mosaic has
// the first tile's pixel format.
bool stitchMosaicSimple(const std::vector<QString>& tilePaths, int gridRows, int gridCols, int overlapX,
                        int overlapY, int scanOrder, QImage& outMosaic, QString& error);

}  // namespace tavro::stitching
