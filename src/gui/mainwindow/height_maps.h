#pragma once
// Records of the height maps built for the out-of-plane computation, and the
// assembly of a height mosaic from height tiles, which needs no window.

#include <QRect>
#include <QSize>
#include <QString>

#include <cstdint>
#include <vector>

#include "stitching/stitching_records.h"

namespace tavro::gui {

// Pins the deformed height mosaic to the reference one: -1 everywhere until set.
struct HeightMosaicCanvas {
    int32_t mosaicWidth = -1;
    int32_t mosaicHeight = -1;
    int32_t tileWidth = -1;
    int32_t tileHeight = -1;
};

struct HeightLoadResult {
    bool success = false;
    std::vector<float> heights;
    int32_t width = 0;
    int32_t height = 0;
    QString error;
};

// An assembled map also keeps the canvas its tiles were placed on.
struct HeightAssemblyResult : HeightLoadResult {
    HeightMosaicCanvas canvas;
};

// One out-of-plane map as the "3D Maps" page keeps it, per state or tile.
struct HeightCacheEntry {
    std::vector<float> values;
    int32_t width = 0;
    int32_t height = 0;
    float dataMin = 0.0f;
    float dataMax = 0.0f;
    float autoMin = 0.0f;
    float autoMax = 0.0f;
    float displayMin = 0.0f;
    float displayMax = 0.0f;
    bool userRange = false;
    bool valid = false;
    bool sizeDiffers = true;
};

// What the intensity mosaic tells the height assembly, copied on the GUI
// thread so that the pool's task never reads the window.
struct HeightMosaicFrame {
    QSize intensityTile;    // mosaicTileWidth_ x mosaicTileHeight_
    QSize intensityMosaic;  // mosaicWidth_ x mosaicHeight_
    QRect crop;
    QString firstReferenceTile;
};

// The height tiles of one state placed at the intensity positions, scaled to
// the height tiles' resolution, and blended into one map.
bool assembleHeightTiles(const HeightMosaicFrame& frame, const std::vector<QString>& tilePaths,
                         const std::vector<stitching::TilePosition>& positions, std::vector<float>& outHeight,
                         int& outWidth, int& outHeightSize, QString& error, HeightMosaicCanvas* canvas);

}  // namespace tavro::gui
