#pragma once
// One mosaic from placed tiles: each tile resampled to its sub-pixel position,
// linear feathering in the overlaps, 8- and 16-bit grey kept at their depth.

#include <QImage>
#include <QList>
#include <QString>

#include <algorithm>
#include <functional>
#include <vector>

#include "stitching/stitching_records.h"

namespace tavro::stitching {

// The whole-pixel corner of a tile at (tx, ty): truncated toward zero, the rule
// by which the window rebuilds saved bounds. The tile is drawn over those
// bounds, its content moved by what the corner leaves of the position.
inline int placedCoordinate(float t) { return int(std::clamp(t, -1e9f, 1e9f)); }

// The tile size the bounds use: the file's size, or its intersection with a
// valid, non-empty crop rectangle when that intersection is not empty.
QSize croppedTileSize(const QSize& fileSize, const QRect& crop);

// Bounds of every present position at its placed corner with the tile size;
// positions that are not present keep theirs.
void setBoundsFromTileSize(QList<TilePosition>& positions, const QSize& tileSize);

struct PlacedTile {
    const QImage* image = nullptr;
    int x = 0;  // whole-pixel top-left corner in the mosaic
    int y = 0;
    // The position beyond the corner, in (-1, 1): the tile's pixel (i, j) shows
    // at (x + fx + i, y + fy + j).
    double fx = 0.0;
    double fy = 0.0;
};

// A tile at the found position (tx, ty): its whole-pixel corner and the rest.
PlacedTile placedAt(const QImage& image, float tx, float ty);

// The mosaic covers every tile's whole-pixel bounds (corners at or after
// (0, 0)); its format is the tiles' (all Grayscale8 or all Grayscale16).
// Pixels no tile covers stay 0. Memory beyond the tiles and the mosaic is a
// few bands of rows. False with the reason, or when cancel() turns true
// between bands.
bool composeMosaic(const std::vector<PlacedTile>& tiles, bool feather, QImage& mosaic, QString& error,
                   const std::function<bool()>& cancel = {});

// The tile list's images placed by `positions` (entries with a negative
// tileIndex or not present are skipped; the others index `tiles` one to one).
// Corners left of or above the origin shift the whole mosaic.
bool composeFromPositions(const std::vector<QImage>& tiles, const QList<TilePosition>& positions, QImage& mosaic,
                          QString& error);

}  // namespace tavro::stitching
