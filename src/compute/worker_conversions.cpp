#include "compute/worker_conversions.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "compute/image_rows.h"
#include "compute/row_parallel.h"
#include "core/interpolation.h"
#include "images/field_rendering.h"

namespace tavro::gui {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr int64_t kFullResolutionPixels = 10000000;
constexpr int64_t kEightfoldPixels = 100000000;

size_t area(int64_t width, int64_t height) { return static_cast<size_t>(width) * static_cast<size_t>(height); }

void setNaN(std::vector<float>& field, size_t index) {
    if (index < field.size()) field[index] = kNaN;
}

// Calls exclude(point index) for each grid point whose mask pixel is 0.
template <class Exclude>
void forEachMaskedPoint(int gridWidth, int gridHeight, const QImage& mask, const QRect& roi,
                        const GridDescriptor& grid, Exclude exclude) {
    if (mask.isNull() || gridWidth < 1 || gridHeight < 1) return;
    if (grid.stepX < 1 || grid.stepY < 1 || grid.cols != gridWidth || grid.rows != gridHeight) return;
    for (int j = 0; j < gridHeight; ++j) {
        const int64_t y = int64_t(roi.top()) + grid.originY + int64_t(j) * grid.stepY;
        if (y < 0 || y >= mask.height()) continue;
        for (int i = 0; i < gridWidth; ++i) {
            const int64_t x = int64_t(roi.left()) + grid.originX + int64_t(i) * grid.stepX;
            if (x < 0 || x >= mask.width()) continue;
            if (maskPixelValue(mask, static_cast<int>(x), static_cast<int>(y)) == 0)
                exclude(area(j, gridWidth) + static_cast<size_t>(i));
        }
    }
}

} // namespace

void maskDisplacementResult(PixelDisplacementResult& result, const QImage& mask, const QRect& roi,
                            const GridDescriptor& grid) {
    if (result.dispX.empty()) return;
    forEachMaskedPoint(result.gridWidth, result.gridHeight, mask, roi, grid, [&](size_t k) {
        for (std::vector<float>* field :
             {&result.dispX, &result.dispY, &result.duDx, &result.duDy, &result.dvDx, &result.dvDy})
            setNaN(*field, k);
    });
}

void dropPointsOutsideArea(PixelDisplacementResult& result, const GridDescriptor& grid, int windowSizeX,
                           int windowSizeY, int interpolation, const QRect& inside, const FractureResult* fracture) {
    const int width = result.gridWidth, height = result.gridHeight;
    if (width < 1 || height < 1 || grid.cols != width || grid.rows != height) return;
    const size_t count = area(width, height);
    if (result.dispX.size() != count || result.dispY.size() != count) return;
    const std::vector<float>* gradients[] = {&result.duDx, &result.duDy, &result.dvDx, &result.dvDy};
    const bool affine = std::all_of(std::begin(gradients), std::end(gradients),
                                    [&](const std::vector<float>* g) { return g->size() == count; });
    const std::vector<float>* opening[] = {nullptr, nullptr};
    if (fracture && fracture->gridWidth == width && fracture->gridHeight == height)
        for (int k = 0; k < 2; ++k)
            if (fracture->fields[size_t(k)].size() == count) opening[k] = &fracture->fields[size_t(k)];
    const double hx = windowSizeX / 2, hy = windowSizeY / 2;
    auto outside = [&](double x, double y) {
        return tavro::detail::readsOutside(float(x - inside.left()), float(y - inside.top()), inside.width(),
                                    inside.height(), interpolation);
    };
    for (int j = 0; j < height; ++j)
        for (int i = 0; i < width; ++i) {
            const size_t k = size_t(j) * size_t(width) + size_t(i);
            const double u = result.dispX[k], v = result.dispY[k];
            if (!std::isfinite(u) || !std::isfinite(v)) continue;
            double g[4] = {0.0, 0.0, 0.0, 0.0};
            for (int n = 0; n < 4 && affine; ++n)
                if (std::isfinite((*gradients[n])[k])) g[n] = (*gradients[n])[k];
            double reach = 0.0;
            if (opening[0] && opening[1] && std::isfinite((*opening[0])[k]) && std::isfinite((*opening[1])[k]))
                reach = std::hypot((*opening[0])[k], (*opening[1])[k]);
            // The warp is affine: its corners bound the subset.
            const double x = grid.originX + double(i) * grid.stepX, y = grid.originY + double(j) * grid.stepY;
            double minX = HUGE_VAL, maxX = -HUGE_VAL, minY = HUGE_VAL, maxY = -HUGE_VAL;
            for (double dx : {-hx, hx})
                for (double dy : {-hy, hy}) {
                    const double px = x + dx + u + g[0] * dx + g[1] * dy, py = y + dy + v + g[2] * dx + g[3] * dy;
                    minX = std::min(minX, px - reach);
                    maxX = std::max(maxX, px + reach);
                    minY = std::min(minY, py - reach);
                    maxY = std::max(maxY, py + reach);
                }
            if (!outside(minX, minY) && !outside(maxX, maxY)) continue;
            for (std::vector<float>* field :
                 {&result.dispX, &result.dispY, &result.duDx, &result.duDy, &result.dvDx, &result.dvDy})
                setNaN(*field, k);
        }
}

void maskStrainResult(StrainResult& result, const QImage& mask, const QRect& roi, const GridDescriptor& grid) {
    if (result.epsXX.empty()) return;
    forEachMaskedPoint(result.gridWidth, result.gridHeight, mask, roi, grid, [&](size_t k) {
        for (std::vector<float>* field : {&result.epsXX, &result.epsYY, &result.epsXY, &result.epsI, &result.epsII,
                                          &result.epsVonMises, &result.epsTresca, &result.rotation, &result.auxiliary})
            setNaN(*field, k);
        for (auto& [name, field] : result.criteria) setNaN(field, k);
    });
}

void maskFractureResult(FractureResult& result, const QImage& mask, const QRect& roi, const GridDescriptor& grid) {
    if (result.fields[0].empty()) return;
    forEachMaskedPoint(result.gridWidth, result.gridHeight, mask, roi, grid, [&](size_t k) {
        for (int f = 0; f <= 10; ++f) setNaN(result.fields[f], k);
    });
}

QImage engineMaskView(const QImage& mask, const QRect& roi) {
    if (mask.isNull() || roi.isEmpty()) return {};
    QImage view(roi.size(), QImage::Format_Grayscale8);
    if (view.isNull()) return {};
    for (int r = 0; r < roi.height(); ++r) {
        uchar* out = view.scanLine(r);
        const int64_t y = int64_t(roi.top()) + r;
        for (int c = 0; c < roi.width(); ++c) {
            const int64_t x = int64_t(roi.left()) + c;
            const bool inside = x >= 0 && y >= 0 && x < mask.width() && y < mask.height();
            const bool excluded = inside && maskPixelValue(mask, static_cast<int>(x), static_cast<int>(y)) == 0;
            out[c] = excluded ? 0 : 255;
        }
    }
    return view;
}

std::pair<float, float> finiteMinMax(const std::vector<float>& values) { return fieldMinMax(values); }

std::vector<float> imageToFloatVector(const QImage& image) {
    if (image.isNull()) return {};
    std::vector<float> out(area(image.width(), image.height()));
    convertImageRows(image, image.rect(), out.data(), 0, image.height());
    return out;
}

std::vector<float> sampleImageValues(const QImage& image, int& width, int& height) {
    width = 0;
    height = 0;
    if (image.isNull()) return {};
    const int64_t pixels = int64_t(image.width()) * image.height();
    if (pixels <= kFullResolutionPixels) {
        width = image.width();
        height = image.height();
        return imageToFloatVector(image);
    }
    const int block = pixels <= kEightfoldPixels ? 8 : 16;
    const int outWidth = image.width() / block;
    const int outHeight = image.height() / block;
    std::vector<float> out(area(outWidth, outHeight));
    const float scale = 1.0f / static_cast<float>(block * block);
    parallelForRows(0, outHeight, [&](int from, int to) {
        std::vector<float> rows(area(block, image.width()));
        std::vector<float> sums(static_cast<size_t>(outWidth));
        for (int by = from; by < to; ++by) {
            // Fewer than 64 rows: converted on this thread.
            convertImageRows(image, QRect(0, by * block, image.width(), block), rows.data(), 0, block);
            std::fill(sums.begin(), sums.end(), 0.0f);
            for (int k = 0; k < block; ++k) {
                const float* row = rows.data() + area(k, image.width());
                for (int bx = 0; bx < outWidth; ++bx)
                    for (int p = 0; p < block; ++p) sums[bx] += row[bx * block + p];
            }
            float* outRow = out.data() + area(by, outWidth);
            for (int bx = 0; bx < outWidth; ++bx) outRow[bx] = sums[bx] * scale;
        }
    });
    width = outWidth;
    height = outHeight;
    return out;
}

std::vector<float> roiToNormalizedFloats(const QImage& image, const QRect& rect) {
    if (rect.width() < 1 || rect.height() < 1) return {};
    std::vector<float> out(area(rect.width(), rect.height()));
    convertImageRows(image, rect, out.data(), 0, rect.height());
    return out;
}

std::vector<float> cropFloatField(const std::vector<float>& values, int width, int height, const QRect& rect) {
    if (rect.width() < 1 || rect.height() < 1) return {};
    std::vector<float> out(area(rect.width(), rect.height()), 0.0f);
    for (int r = 0; r < rect.height(); ++r) {
        const int64_t y = int64_t(rect.top()) + r;
        if (y < 0 || y >= height) continue;
        for (int c = 0; c < rect.width(); ++c) {
            const int64_t x = int64_t(rect.left()) + c;
            if (x < 0 || x >= width) continue;
            const size_t index = area(y, width) + static_cast<size_t>(x);
            if (index < values.size()) out[area(r, rect.width()) + static_cast<size_t>(c)] = values[index];
        }
    }
    return out;
}

void computeSlipDecomposition(FractureResult& result) {
    const std::vector<float>& intensity = result.fields[FractureResult::OpeningIntensity];
    const std::vector<float>& alpha = result.fields[FractureResult::CrackAngle];
    const std::vector<float>& beta = result.fields[FractureResult::OpeningDirection];
    if (intensity.empty() || alpha.size() != intensity.size() || beta.size() != intensity.size()) return;
    const size_t n = intensity.size();
    std::vector<float>& screw = result.fields[FractureResult::Longitudinal];
    std::vector<float>& edge = result.fields[FractureResult::Transverse];
    std::vector<float>& relative = result.fields[FractureResult::RelativeAngle];
    screw.resize(n);
    edge.resize(n);
    relative.resize(n);
    constexpr float kDegToRad = 0.017453292f;
    constexpr float kRadToDeg = 57.295776f;
    constexpr float kPi = 3.1415927f;
    constexpr float kTwoPi = 6.2831855f;
    constexpr float kHalfPi = 1.5707964f;
    for (size_t i = 0; i < n; ++i) {
        const float m = intensity[i];
        if (!std::isfinite(m) || !std::isfinite(alpha[i]) || !std::isfinite(beta[i])) {
            screw[i] = edge[i] = relative[i] = kNaN;
            continue;
        }
        if (m <= 0.0f) {
            screw[i] = edge[i] = relative[i] = 0.0f;
            continue;
        }
        // Angle between the opening direction and the crack's normal, wrapped once into (-pi, pi].
        float x = -beta[i] * kDegToRad - (alpha[i] * kDegToRad - kHalfPi);
        if (x < -kPi) x += kTwoPi;
        if (x > kPi) x -= kTwoPi;
        screw[i] = std::sin(x) * m;
        edge[i] = std::cos(x) * m;
        relative[i] = x * kRadToDeg;
    }
}

} // namespace tavro::gui
