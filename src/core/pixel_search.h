#pragma once
// Integer-pixel search: for every point of a regular grid over the reference
// image, the whole-pixel displacement that maximises the zero-normalised
// cross-correlation between a reference window and the deformed image.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

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

// Called with (done, total) grid points; returning false cancels the search.
using SearchProgress = std::function<bool(uint64_t done, uint64_t total)>;

// Every point of grid rows [rowStart, rowStart + rowCount) (rowCount -1: to the last row) receives a whole-pixel
// displacement; a call with rowCount >= 0 keeps `out`'s fields when they already have the grid's size, so that
// several callers can fill their own rows of one result. On failure `error` says why (validation failures touch no
// output); a cancelled call returns false with `error` untouched.
bool computePixelDisplacements(const ImageSource& ref, const ImageSource& def, ImageSize size,
                               const PixelSearchParams& params, PixelDisplacementResult& out, std::string& error,
                               SearchProgress progress = {}, const uint8_t* mask = nullptr, int maskStride = 0,
                               int maskRows = 0, int rowStart = 0, int rowCount = -1);

// The whole grid, left in device memory for the sub-pixel refinement.
bool computePixelDisplacementsToDevice(const ImageSource& ref, const ImageSource& def, ImageSize size,
                                       const PixelSearchParams& params, DevicePixelDisplacements* out,
                                       std::string& error, SearchProgress progress = {},
                                       const uint8_t* mask = nullptr, int maskStride = 0, int maskRows = 0);

// The row-strip path, taken when the images do not fit the memory budget and as the whole-image path's
// out-of-memory fallback: grid rows [rowBegin, rowEnd) in bands, each band's image rows uploaded on their own.
// params are those in force (the fine pass's after a coarse pass); fullParams, the caller's, are given after a
// coarse pass, with initX and initY the whole-grid guesses. fieldBytes is the size of one whole-grid field.
bool runBandedFFTPixelSearch(const ImageSource& ref, const ImageSource& def, ImageSize size,
                             const PixelSearchParams& params, int gridWidth, int gridHeight, const SearchConfig& config,
                             int rowBegin, int rowEnd, uint64_t totalPoints, uint64_t fieldBytes,
                             PixelDisplacementResult* hostOut, DevicePixelDisplacements* deviceOut, std::string& error,
                             const SearchProgress& progress, uint64_t budget, bool partial, const int* initX,
                             const int* initY, const PixelSearchParams* fullParams);

namespace detail {

// The coarse pass's grid spacing of a hierarchical search: coarseStep, or the larger window side.
int coarseStep(const PixelSearchParams& p);
// How far the fine pass of a hierarchical search looks around its guesses.
int escalationRange(const PixelSearchParams& p);
// Rows a found displacement may reach: the range, plus after a coarse pass the
// fine pass's range around guesses that reach the range themselves.
int64_t verticalSearchReach(const PixelSearchParams& p);

// Guesses for every point of a gridWidth x gridHeight grid of spacing (stepX, stepY): the coarse displacements
// (grid spacing coarseStep, same origin) interpolated bilinearly and rounded to whole pixels.
void coarseGuesses(const PixelDisplacementResult& coarse, int gridWidth, int gridHeight, int stepX, int stepY,
                   int coarseStep, std::vector<int32_t>& initX, std::vector<int32_t>& initY);

struct EscalatedPoints {
    std::vector<int64_t> indices;
    std::vector<int32_t> xs;  // image columns
    std::vector<int32_t> ys;  // image rows
};

// Points of [first, end) whose guided search ended at least the fine range away from the guess (fineParams' maxV
// horizontally, maxU vertically) or with a peak score below 0.5; all arrays are indexed alike, positions follow
// config.
EscalatedPoints escalatedPoints(const float* dispX, const float* dispY, const float* confidence, const int* initX,
                                const int* initY, int64_t first, int64_t end, int gridWidth,
                                const PixelSearchParams& fineParams, const SearchConfig& config);

} // namespace detail

} // namespace tavro
