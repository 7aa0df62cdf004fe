#include "gui/mainwindow/out_of_plane_task.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <limits>

namespace tavro::gui {

namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

} // namespace

double heightScale(int heightSize, int intensitySize) {
    return heightSize > 0 && intensitySize > 0 ? double(heightSize) / double(intensitySize) : 1.0;
}

HeightGridPlacement heightGridPlacement(const ResultGeometry& g, double scaleX, double scaleY) {
    HeightGridPlacement p;
    p.firstX = (double(g.roi.x()) + g.marginX + g.windowSizeX / 2) * scaleX;
    p.firstY = (double(g.roi.y()) + g.marginY + g.windowSizeY / 2) * scaleY;
    p.stepX = std::max(g.stepX, 1) * scaleX;
    p.stepY = std::max(g.stepY, 1) * scaleY;
    return p;
}

std::vector<float> gridToHeightMap(const std::vector<float>& grid, int cols, int rows, int width, int height,
                                   const HeightGridPlacement& at) {
    if (width < 1 || height < 1 || cols < 1 || rows < 1 || grid.size() < size_t(cols) * size_t(rows) ||
        !(at.stepX > 0.0) || !(at.stepY > 0.0))
        return std::vector<float>(size_t(std::max(width, 0)) * size_t(std::max(height, 0)), kNaN);
    std::vector<float> raster(size_t(width) * size_t(height), kNaN);
    const auto value = [&](int i, int j) { return grid[size_t(j) * size_t(cols) + size_t(i)]; };
    const auto nearest = [](double g, int count) { return std::clamp(int(std::lround(g)), 0, count - 1); };
    for (int y = 0; y < height; ++y) {
        const double gy = (y - at.firstY) / at.stepY;
        if (!(gy >= -0.5 && gy < rows - 0.5))
            continue;
        float* out = raster.data() + size_t(y) * size_t(width);
        const bool rowInCells = gy >= 0.0 && gy < rows - 1;
        for (int x = 0; x < width; ++x) {
            const double gx = (x - at.firstX) / at.stepX;
            if (!(gx >= -0.5 && gx < cols - 0.5))
                continue;
            if (rowInCells && gx >= 0.0 && gx < cols - 1) {
                const int i0 = int(gx), j0 = int(gy);
                const float fx = float(gx - i0), fy = float(gy - j0);
                const float v00 = value(i0, j0), v10 = value(i0 + 1, j0);
                const float v01 = value(i0, j0 + 1), v11 = value(i0 + 1, j0 + 1);
                if (std::isnan(v00) || std::isnan(v10) || std::isnan(v01) || std::isnan(v11))
                    continue;
                out[x] = v00 * (1.0f - fx) * (1.0f - fy) + v10 * fx * (1.0f - fy) + v01 * (1.0f - fx) * fy +
                         v11 * fx * fy;
            } else {
                out[x] = value(nearest(gx, cols), nearest(gy, rows));
            }
        }
    }
    return raster;
}

std::vector<float> sampleHeightAtGrid(const std::vector<float>& map, int width, int height, int cols, int rows,
                                      const HeightGridPlacement& at) {
    std::vector<float> grid(size_t(std::max(cols, 0)) * size_t(std::max(rows, 0)), kNaN);
    if (map.size() < size_t(std::max(width, 0)) * size_t(std::max(height, 0)))
        return grid;
    for (int j = 0; j < rows; ++j) {
        const long long y = std::llround(at.firstY + j * at.stepY);
        if (y < 0 || y >= height)
            continue;
        for (int i = 0; i < cols; ++i) {
            const long long x = std::llround(at.firstX + i * at.stepX);
            if (x >= 0 && x < width)
                grid[size_t(j) * size_t(cols) + size_t(i)] = map[size_t(y) * size_t(width) + size_t(x)];
        }
    }
    return grid;
}

GpuComputeResult computeOutOfPlane(const OutOfPlaneInputs& in) {
    GpuComputeResult out;
    try {
        std::vector<float> ux, uy;
        if (in.gridWidth == in.heightWidth && in.gridHeight == in.heightHeight) {
            ux = in.ux;
            uy = in.uy;
        } else {
            const HeightGridPlacement at = heightGridPlacement(in.geometry, in.scaleX, in.scaleY);
            ux = gridToHeightMap(in.ux, in.gridWidth, in.gridHeight, in.heightWidth, in.heightHeight, at);
            uy = gridToHeightMap(in.uy, in.gridWidth, in.gridHeight, in.heightWidth, in.heightHeight, at);
        }
        // Displacements and the shift are in intensity pixels; the engine works in height-map pixels.
        const float shiftX = in.shiftX, shiftY = in.shiftY;
        const float sx = float(in.scaleX), sy = float(in.scaleY);
        for (float& v : ux)
            if (std::isfinite(v))
                v = (v - shiftX) * sx;
        for (float& v : uy)
            if (std::isfinite(v))
                v = (v - shiftY) * sy;
        const size_t n = size_t(std::max(in.heightWidth, 0)) * size_t(std::max(in.heightHeight, 0));
        if (in.h0.size() != n || in.h1.size() != n || ux.size() != n || uy.size() != n) {
            out.result.error = "Height maps and displacements do not have the same size.";
            return out;
        }
        out.success = computeOutOfPlaneGpu(in.h0.data(), in.h1.data(), ux.data(), uy.data(),
                                           {in.heightWidth, in.heightHeight}, &out.result);
    } catch (const std::exception& e) {
        out.success = false;
        out.result = HeightEngineResult{};
        out.result.error = e.what();
    }
    return out;
}

}  // namespace tavro::gui
