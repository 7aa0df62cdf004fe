#pragma once
// One mosaic from placed tiles: whole-pixel placement, linear feathering in the
// overlaps, 8- and 16-bit grey kept at their depth.

#include <QImage>
#include <QList>
#include <QString>

#include <algorithm>
#include <functional>
#include <vector>

#include "stitching/stitching_records.h"

namespace tavro::stitching {

// The whole-pixel corner at which a tile at (tx, ty) is drawn: truncated toward
// zero, the rule by which the window rebuilds saved bounds, so that bounds and
// mosaic agree. Neighbours keep their offset within a pixel either way.
inline int placedCoordinate(float t) { return int(std::clamp(t, -1e9f, 1e9f)); }

// The tile size the bounds use: the file's size, or its intersection with a
// valid, non-empty crop rectangle when that intersection is not empty.
QSize croppedTileSize(const QSize& fileSize, const QRect& crop);

// Bounds of every present position at its placed corner with the tile size;
// positions that are not present keep theirs.
void setBoundsFromTileSize(QList<TilePosition>& positions, const QSize& tileSize);

struct PlacedTile {
    const QImage* image = nullptr;
    int x = 0;  // top-left corner in the mosaic
    int y = 0;
};

// The mosaic covers every tile (corners at or after (0, 0)); its format is the
// tiles' (all Grayscale8 or all Grayscale16). Pixels no tile covers stay 0.
// False with the reason, or when cancel() turns true between bands.
bool composeMosaic(const std::vector<PlacedTile>& tiles, bool feather, QImage& mosaic, QString& error,
                   const std::function<bool()>& cancel = {});

// The tile list's images placed by `positions` (entries with a negative
// tileIndex or not present are skipped; the others index `tiles` one to one).
// Corners left of or above the origin shift the whole mosaic.
bool composeFromPositions(const std::vector<QImage>& tiles, const QList<TilePosition>& positions, QImage& mosaic,
                          QString& error);

}  // namespace tavro::stitching
