#pragma once
// Whole-pixel ZNCC search of guided grid points by direct sums over tiles of
// points. Neighbouring points of a fine grid share almost all of their windows
// and, around guesses that agree, almost all of their shifts: for each shift
// one pass of products over a tile's pixels, summed by running sums, gives the
// cross-correlation of every point of the tile at once. Over a wide range
// around each guess this is far less work than a transform of each point's
// whole search area, and it needs no frames. The scores and the choice among
// them are those of the transform search: the same ZNCC of the same
// mean-free pixels (the deformed ones free of the search area's mean, zero
// outside the image), the same texture threshold and the same order on ties.

#include <cstdint>
#include <string>

#include "core/fft_zncc.h"
#include "core/pixel_search.h"

namespace tavro {

// Whether runTiledPixelSearch takes this search: guided grid points (guesses given, no point list) whose tile
// buffers fit the device's shared memory.
bool tiledSearchFits(const PixelSearchParams& params, const FFTSearchLayout& layout);

// As runFFTPixelSearch for guided grid points [first, end): outX, outY (and confidence, when given) receive each
// point's displacement around (initX[p], initY[p]) within layout's up/down/left/right. When the device has no room
// for the image sums, *withoutMemory is set and nothing is written.
bool runTiledPixelSearch(const float* ref, const float* def, ImageSize size, const PixelSearchParams& params,
                         const FFTSearchLayout& layout, const SearchConfig& config, int gridWidth, int64_t first,
                         int64_t end, const int* initX, const int* initY, float* outX, float* outY,
                         float* confidence, std::string& error, const SearchProgress& progress, uint64_t totalPoints,
                         bool* cancelled, bool* withoutMemory);

namespace detail {
// For tests: off sends guided searches through the transform search as well.
void setTiledSearch(bool on);
bool tiledSearchEnabled();
} // namespace detail

} // namespace tavro
