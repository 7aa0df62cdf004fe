#pragma once
// The tile-stitching engine on a synthetic scan: grid x grid tiles cut with
// known sub-pixel stage errors, gains and noise from one continuous texture,
// written as TIFF files.

#include <string>

namespace tavro::bench {

struct StitchingFigures {
    bool ok = false;
    std::string error;
    int tiles = 0;
    double seconds = 0.0;  // the stitch call alone, files read included
    double composeSeconds = 0.0;  // composing the mosaic again from the found positions, nothing else
    double tilesPerSecond = 0.0;
    double peakResidentMiB = 0.0;
    double positionErrorMaxPx = 0.0;  // against the stage's true corners, relative to the first tile
    double positionErrorRmsPx = 0.0;
    // Grey levels against the texture where the mosaic says it is, inside the
    // tiles; the floor is what the tiles themselves differ by (gain, noise, rounding).
    double mosaicErrorRms = 0.0;
    double mosaicErrorMax = 0.0;
    double tileFloorRms = 0.0;
    int mosaicWidth = 0;
    int mosaicHeight = 0;
};

StitchingFigures measureStitching(int grid, int tileSize, int overlapPercent, int jitterPx, unsigned long long seed);

} // namespace tavro::bench
