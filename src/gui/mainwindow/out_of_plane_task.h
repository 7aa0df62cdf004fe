#pragma once
// The out-of-plane computation of one state or tile, without the window: the
// correlation grid brought onto the height map's pixels and handed to the
// height engine.

#include <QRect>

#include <optional>
#include <vector>

#include "compute/result_geometry.h"
#include "heights/out_of_plane.h"

namespace tavro::gui {

// Where the correlation grid's points lie on the height map, in its pixels:
// point (i, j) at (firstX + i stepX, firstY + j stepY).
struct HeightGridPlacement {
    double firstX = 0.0;
    double firstY = 0.0;
    double stepX = 1.0;
    double stepY = 1.0;
};

// The grid geometry of intensity pixels scaled by (scaleX, scaleY), the ratio
// of the height map's size to the intensity image's.
HeightGridPlacement heightGridPlacement(const ResultGeometry& geometry, double scaleX, double scaleY);

// Bilinear between grid points, the nearest point within half a step outside
// them, NaN farther out and wherever a used point is NaN.
std::vector<float> gridToHeightMap(const std::vector<float>& grid, int cols, int rows, int width, int height,
                                   const HeightGridPlacement& placement);

// The map's value at the pixel nearest each grid point; NaN outside the map.
std::vector<float> sampleHeightAtGrid(const std::vector<float>& map, int width, int height, int cols, int rows,
                                      const HeightGridPlacement& placement);

struct OutOfPlaneInputs {
    std::vector<float> h0;
    std::vector<float> h1;
    std::vector<float> ux;
    std::vector<float> uy;
    int gridWidth = 0;
    int gridHeight = 0;
    int heightWidth = 0;
    int heightHeight = 0;
    // Grid geometry and rigid shift in intensity pixels.
    ResultGeometry geometry;
    float shiftX = 0.0f;
    float shiftY = 0.0f;
    // Height-map pixels per intensity pixel.
    double scaleX = 1.0;
    double scaleY = 1.0;
};

struct GpuComputeResult {
    bool success = false;
    HeightEngineResult result;
};

// Never throws: an exception inside becomes a failure with its text.
GpuComputeResult computeOutOfPlane(const OutOfPlaneInputs& inputs);

// Height-map pixels per intensity pixel along one axis; 1 when either size is unknown.
double heightScale(int heightSize, int intensitySize);

}  // namespace tavro::gui
