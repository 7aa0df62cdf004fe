#pragma once
// Conversions between the loaded grayscale images, the engine's float rasters
// and its result records: normalised rasters (whole, by region, or block means of
// very large images), cropping, the user's mask on the three result records,
// finite ranges, and the slip fields of a crack.
//
// Normalised pixel value: 16-bit sample / 65535, 8-bit pixel / 255.

#include <QImage>
#include <QRect>

#include <utility>
#include <vector>

#include "compute/computation_types.h"
#include "core/results.h"

namespace tavro::gui {

// The mask functions place grid point (i, j) where the engine measured it:
// (roi.left + grid.originX + i * grid.stepX, roi.top + grid.originY + j * grid.stepY),
// the descriptor made by makeGridDescriptor from the search settings. A point is
// excluded when its mask pixel has the value 0 (maskPixelValue); points outside
// the mask image are kept. Nothing happens when the mask is null, the record
// empty, a step is below 1 or the descriptor's grid is not the record's.
void maskDisplacementResult(PixelDisplacementResult& result, const QImage& mask, const QRect& roi,
                            const GridDescriptor& grid);
// Also every criterion field long enough to hold the point.
void maskStrainResult(StrainResult& result, const QImage& mask, const QRect& roi, const GridDescriptor& grid);
// Fields 0 to 10 only: the slip fields 12 to 14 are derived afterwards.
void maskFractureResult(FractureResult& result, const QImage& mask, const QRect& roi, const GridDescriptor& grid);

// NaN in every field of the points whose deformed subset needs region pixels
// outside `inside` (region coordinates, see shiftedImageArea): the window of the
// search settings around the point at (grid.originX + i * grid.stepX, ...),
// moved by the point's displacement and gradients, with the taps of the given
// interpolation; a point across a crack (a finite opening in `fracture`, which
// may be null) reaches by its opening farther. Nothing happens when the
// descriptor's grid is not the record's.
void dropPointsOutsideArea(PixelDisplacementResult& result, const GridDescriptor& grid, int windowSizeX,
                           int windowSizeY, int interpolation, const QRect& inside, const FractureResult* fracture);

// The engine's view of the mask over roi: a Grayscale8 image of roi's size, 0
// where the mask value is 0 and 255 elsewhere (also outside the mask image), so
// that the engine excludes exactly the pixels the result masks exclude.
QImage engineMaskView(const QImage& mask, const QRect& roi);

// Minimum and maximum of the finite values; {0, 0} when there is none.
std::pair<float, float> finiteMinMax(const std::vector<float>& values);

// The whole image up to 10,000,000 pixels; above, means of 8 x 8 blocks up to
// 100,000,000 pixels and of 16 x 16 blocks beyond, incomplete blocks dropped.
// width and height receive the raster's size.
std::vector<float> sampleImageValues(const QImage& image, int& width, int& height);

std::vector<float> imageToFloatVector(const QImage& image);

// rect.width() x rect.height() normalised values; positions outside the image give 0.
std::vector<float> roiToNormalizedFloats(const QImage& image, const QRect& rect);

// rect.width() x rect.height() values cut from a width x height raster, 0 outside it.
std::vector<float> cropFloatField(const std::vector<float>& values, int width, int height, const QRect& rect);

// Fields 12 (screw), 13 (edge) and 14 (relative angle, degrees) from the opening
// intensity (2), crack angle (3) and opening direction (4), when those three have
// one common non-zero size. A non-finite input gives NaN; an intensity of 0 or
// below gives 0.
void computeSlipDecomposition(FractureResult& result);

} // namespace tavro::gui
