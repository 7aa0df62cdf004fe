#pragma once
// Height tiles placed at their mosaic positions and blended into one map, on
// the current CUDA device.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace tavro {

struct HeightBlendResult {
    std::vector<float> heights;
    int32_t width = 0;
    int32_t height = 0;
    bool success = false;
    std::string error;
};

// Tile i (tileWidth x tileHeight samples, row-major) lies with its top-left
// sample at positions[i] (fractional mosaic pixels). Where tiles overlap, each
// contributes with a weight that falls linearly to zero over `blendWidth`
// pixels towards its edges; NaN samples contribute nothing, and mosaic pixels
// that no tile covers are NaN.
bool blendHeightTiles(const std::vector<std::vector<float>>& tiles, int tileWidth, int tileHeight,
                      const std::vector<std::pair<double, double>>& positions, int mosaicWidth, int mosaicHeight,
                      int blendWidth, HeightBlendResult& out);

} // namespace tavro
