#pragma once
// Tile scans cut from one generated image at known, jittered stage positions,
// as a microscope with an imperfect stage would take them.

#include <QImage>
#include <QPoint>
#include <QPointF>
#include <QString>

#include <cstdint>
#include <memory>
#include <vector>

#include "support/synthetic_images.h"
#include "support/temp_dir.h"

namespace tavro::testing {

struct TileScanLayout {
    int rows = 3;
    int cols = 4;
    int tileWidth = 256;
    int tileHeight = 192;
    int overlapX = 30;  // percent
    int overlapY = 30;
    int jitter = 15;      // largest stage error per axis, px
    double gainSpread = 0.01;   // tiles differ by gains within 1 +- spread
    double offsetSpread = 1.0;  // and by offsets within +- this many grey levels (8-bit scale)
    bool gradient = false;  // a smooth ramp instead of speckle
    bool sixteenBit = false;
    std::uint64_t seed = 7;
    // Stage errors of any fraction of a pixel, tiles rendered at their exact
    // corners; otherwise whole pixels, tiles cut from `source`.
    bool fractionalJitter = false;
    std::uint64_t stageSeed = 0;  // the stage errors' own seed; 0: `seed`
    double noiseSigma = 0.0;  // grey levels (8-bit scale) of independent noise per tile pixel
    // The tiles show the speckle deformed by this field (reference coordinates
    // of the whole scan); empty: undeformed.
    DisplacementField field;
};

struct TileScan {
    TileScanLayout setup;
    TempDir dir{"tavro_stitch"};
    QImage source;
    std::vector<QImage> tiles;       // per cell, row-major
    std::vector<QPoint> corners;     // per cell, top-left in `source` (whole pixels)
    std::vector<QPointF> exactCorners;  // per cell, the true corner
    std::vector<QString> paths;      // per cell
    std::shared_ptr<const SpeckleModel> model;

    // The noise-free scene (deformed by the layout's field) over width x height
    // pixels whose pixel (0, 0) is at (x0, y0) of `source`, on the tiles' grey
    // scale: unrounded, and as an image in the tiles' format.
    Image sceneAt(double x0, double y0, int width, int height) const;
    QImage sourceAt(double x0, double y0, int width, int height) const;

    int cell(int row, int col) const { return row * setup.cols + col; }
    // The tile files as a scan in `order` lists them, leaving out the cells
    // whose scan positions are in `missing`.
    std::vector<QString> list(int order, const std::vector<int>& missing = {}) const;
    // Replaces a cell's file by uniform noise.
    void replaceByNoise(int cell);
};

TileScan makeTileScan(const TileScanLayout& setup);

}  // namespace tavro::testing
