#pragma once
// Integer-pixel search: for every point of a regular grid over the reference
// image, the whole-pixel displacement that maximises the zero-normalised
// cross-correlation between a reference window and the deformed image.

#include <cstdint>
#include <functional>
#include <string>

#include "core/gpu_common.h"
#include "core/results.h"

namespace tavro {

struct PixelSearchParams {
    int32_t windowSizeX = 0;
    int32_t windowSizeY = 0;
    int32_t stepX = 0;
    int32_t stepY = 0;
    int32_t maxU = 0;  // vertical reach (rows): bounds searchUp/searchDown, sets the top and bottom margins
    int32_t maxV = 0;  // horizontal reach (columns): bounds searchLeft/searchRight, sets the side margins
    int32_t searchUp = 0;
    int32_t searchDown = 0;
    int32_t searchLeft = 0;
    int32_t searchRight = 0;
    bool hierarchical = false;
    int32_t coarseStep = 0;
    int32_t escalationSearchRange = 0;
};

// Derived once per call from the parameters.
struct SearchConfig {
    int32_t halfWindowX = 0;
    int32_t halfWindowY = 0;
    int32_t marginX = 0;  // image column of the first grid column
    int32_t marginY = 0;  // image row of the first grid row
    int32_t windowArea = 0;
};

using SearchProgress = std::function<bool(uint64_t done, uint64_t total)>;

bool computePixelDisplacements(const ImageSource& ref, const ImageSource& def, ImageSize size,
                               const PixelSearchParams& params, PixelDisplacementResult& out, std::string& error,
                               SearchProgress progress = {}, const uint8_t* mask = nullptr, int maskStride = 0,
                               int maskRows = 0, int rowStart = 0, int rowCount = -1);

bool computePixelDisplacementsToDevice(const ImageSource& ref, const ImageSource& def, ImageSize size,
                                       const PixelSearchParams& params, DevicePixelDisplacements* out,
                                       std::string& error, SearchProgress progress = {},
                                       const uint8_t* mask = nullptr, int maskStride = 0, int maskRows = 0);

} // namespace tavro
