#include "images/field_rendering.h"

#include "images/image_io.h"

#include <QColor>
#include <QDebug>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>

namespace tavro::gui {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kFloatMax = 3.4028235e38f;

using Lut = std::array<QRgb, 256>;

const Lut& jetTable() {
    static const Lut table = [] {
        Lut lut{};
        auto channel = [](float x, float centre) {
            return static_cast<int>(std::clamp(1.5f - std::fabs(x - centre), 0.0f, 1.0f) * 255.0f);
        };
        for (int i = 0; i < 256; ++i) {
            const float x = static_cast<float>(i) / 255.0f * 4.0f;
            lut[i] = qRgba(channel(x, 3.0f), channel(x, 2.0f), channel(x, 1.0f), 255);
        }
        return lut;
    }();
    return table;
}

const Lut& cyclicTable() {
    static const Lut table = [] {
        static constexpr int stops[17][3] = {
            {226, 217, 226}, {196, 206, 212}, {149, 181, 199}, {114, 151, 193}, {98, 118, 186}, {94, 81, 173},
            {89, 42, 143},   {69, 19, 92},    {47, 20, 54},    {74, 19, 66},    {116, 30, 79},  {152, 53, 80},
            {178, 86, 82},   {194, 124, 99},  {204, 163, 137}, {216, 199, 190}, {226, 217, 226}};
        Lut lut{};
        for (int i = 0; i < 256; ++i) {
            const float t = static_cast<float>(i) / 255.0f * 16.0f;
            const int k = std::min(static_cast<int>(t), 15);
            const float f = t - static_cast<float>(k);
            int rgb[3];
            for (int c = 0; c < 3; ++c) {
                const float a = static_cast<float>(stops[k][c]);
                const float b = static_cast<float>(stops[k + 1][c]);
                rgb[c] = static_cast<int>((b - a) * f + a + 0.5f) & 0xff;
            }
            lut[i] = qRgba(rgb[0], rgb[1], rgb[2], 255);
        }
        return lut;
    }();
    return table;
}

const Lut& tableFor(int map) { return map == kCyclicColorMap ? cyclicTable() : jetTable(); }

int lutIndex(float t) {
    if (!std::isfinite(t)) return 0;
    return static_cast<int>(std::clamp(t, 0.0f, 1.0f) * 255.0f + 0.5f);
}

bool holdsField(const std::vector<float>& values, int width, int height) {
    if (width < 1 || height < 1) return false;
    return values.size() >= static_cast<uint64_t>(width) * static_cast<uint64_t>(height);
}

void putRgba(uchar* pixel, QRgb color) {
    pixel[0] = static_cast<uchar>(qRed(color));
    pixel[1] = static_cast<uchar>(qGreen(color));
    pixel[2] = static_cast<uchar>(qBlue(color));
    pixel[3] = static_cast<uchar>(qAlpha(color));
}

// Colour of one field value under a display range. The normalisation runs in
// double: a range like [-3e38, 3e38] overflows in float.
class ValueColorizer {
public:
    ValueColorizer(float min, float max, int map)
        : lut_(tableFor(map)), min_(min), span_(static_cast<double>(max) - static_cast<double>(min)),
          flat_(!(min < max)) {}

    QRgb operator()(float v) const {
        if (!std::isfinite(v)) return 0;
        if (flat_) return jetTable()[0];
        const double t = (static_cast<double>(v) - static_cast<double>(min_)) / span_;
        return lut_[lutIndex(static_cast<float>(std::clamp(t, 0.0, 1.0)))];
    }

private:
    const Lut& lut_;
    float min_;
    double span_;
    bool flat_;
};

struct GridPlacement {
    int64_t firstX;
    int64_t firstY;
    int64_t stepX;
    int64_t stepY;

    GridPlacement(const QRect& roi, int sx, int sy, int windowSizeX, int windowSizeY, int marginY, int marginX)
        : firstX(int64_t(roi.x()) + marginX + windowSizeX / 2),
          firstY(int64_t(roi.y()) + marginY + windowSizeY / 2),
          stepX(sx),
          stepY(sy) {}
};

bool validGrid(const std::vector<float>& grid, int cols, int rows, int stepX, int stepY) {
    if (stepX < 1 || stepY < 1 || cols < 0 || rows < 0) return false;
    return grid.size() >= static_cast<uint64_t>(cols) * static_cast<uint64_t>(rows);
}

size_t rasterSize(int width, int height) { return static_cast<size_t>(width) * static_cast<size_t>(height); }

} // namespace

std::pair<float, float> percentileRange(const std::vector<float>& values, float lo, float hi) {
    std::vector<float> finite;
    finite.reserve(values.size());
    for (float v : values)
        if (std::isfinite(v)) finite.push_back(v);
    if (finite.empty()) return {lo, hi};
    if (finite.size() == 1) return {finite[0], finite[0]};

    const double last = static_cast<double>(finite.size() - 1);
    const auto upperIndex = static_cast<size_t>(std::ceil(std::clamp(0.99 * last, 0.0, last)));
    const auto lowerIndex = static_cast<size_t>(std::floor(std::clamp(0.01 * last, 0.0, last)));
    std::nth_element(finite.begin(), finite.begin() + upperIndex, finite.end());
    float upper = finite[upperIndex];
    std::nth_element(finite.begin(), finite.begin() + lowerIndex, finite.begin() + upperIndex + 1);
    float lower = finite[lowerIndex];
    if (!(lower < upper)) {
        const auto [minIt, maxIt] = std::minmax_element(finite.begin(), finite.end());
        lower = *minIt;
        upper = *maxIt;
    }

    const double bottom = std::min(lo, hi);
    const double top = std::max(lo, hi);
    double low = std::clamp(static_cast<double>(lower), bottom, top);
    double high = std::clamp(static_cast<double>(upper), bottom, top);
    if (!(low < high)) return {lo, hi};
    const double margin = 0.05 * (high - low);
    low = std::clamp(low - margin, bottom, top);
    high = std::clamp(high + margin, bottom, top);
    return {static_cast<float>(low), static_cast<float>(high)};
}

std::pair<float, float> fieldMinMax(const std::vector<float>& values) {
    float min = kFloatMax;
    float max = -kFloatMax;
    bool any = false;
    for (float v : values) {
        if (!std::isfinite(v)) continue;
        any = true;
        min = std::min(min, v);
        max = std::max(max, v);
    }
    if (!any) return {0.0f, 0.0f};
    return {min, max};
}

bool holdsAValue(const std::vector<float>& values) {
    return std::any_of(values.begin(), values.end(), [](float v) { return std::isfinite(v); });
}

QRgb colorAt(int map, float t) { return tableFor(map)[lutIndex(t)]; }

const QRgb* jetLut() { return jetTable().data(); }

ColorImage fieldToColorImage(const std::vector<float>& values, int width, int height, float min, float max,
                             int map) {
    if (!holdsField(values, width, height)) return {};
    const bool fits = width <= kMaxColorImageSide && height <= kMaxColorImageSide;
    const double s = fits ? 1.0
                          : std::min(double(kMaxColorImageSide) / height, double(kMaxColorImageSide) / width);
    const int outWidth = fits ? width : static_cast<int>(s * width);
    const int outHeight = fits ? height : static_cast<int>(s * height);
    if (outWidth < 1 || outHeight < 1) return {};
    QImage image(outWidth, outHeight, QImage::Format_RGBA8888);
    if (image.isNull()) return {};

    // An empty range gives every value the scale's first colour; a cell without
    // a value stays transparent, as with any range: a map with no value at all
    // (no crack found) shows as empty, not as a field of one value.
    const ValueColorizer colorize(min, max, map);
    std::vector<int> sourceColumn(static_cast<size_t>(outWidth));
    for (int ox = 0; ox < outWidth; ++ox)
        sourceColumn[ox] = fits ? ox : std::min(width - 1, static_cast<int>(ox / s));
    for (int oy = 0; oy < outHeight; ++oy) {
        const int y = fits ? oy : std::min(height - 1, static_cast<int>(oy / s));
        const float* row = values.data() + static_cast<size_t>(y) * static_cast<size_t>(width);
        uchar* out = image.scanLine(oy);
        for (int ox = 0; ox < outWidth; ++ox) putRgba(out + 4 * ox, colorize(row[sourceColumn[ox]]));
    }
    return {image, fits ? 1.0 : 1.0 / s};
}

QImage fieldToColorImageInRect(const std::vector<float>& values, int width, int height, const QRect& canvas,
                               const QPoint& offset, float min, float max, int map) {
    if (canvas.isEmpty() || !holdsField(values, width, height)) return {};
    QImage image(canvas.size(), QImage::Format_RGBA8888);
    if (image.isNull()) return {};
    const ValueColorizer colorize(min, max, map);
    const QRgb outside = qRgba(128, 128, 128, 255);
    for (int cy = 0; cy < canvas.height(); ++cy) {
        const int64_t y = int64_t(cy) - offset.y() + canvas.y();
        uchar* out = image.scanLine(cy);
        for (int cx = 0; cx < canvas.width(); ++cx) {
            const int64_t x = int64_t(cx) - offset.x() + canvas.x();
            const bool inside = x >= 0 && x < width && y >= 0 && y < height;
            putRgba(out + 4 * cx, inside ? colorize(values[static_cast<size_t>(y * width + x)]) : outside);
        }
    }
    return image;
}

QImage grayToDisplayImage(const QImage& image, float min, float max) {
    if (image.isNull()) return {};
    QImage out(image.size(), QImage::Format_Grayscale8);
    if (out.isNull()) return {};
    if (min >= max) {
        out.fill(128);
        return out;
    }
    std::array<uchar, 256> table{};
    const double span = static_cast<double>(max) - static_cast<double>(min);
    for (int g = 0; g < 256; ++g) {
        const double t = (g - static_cast<double>(min)) / span;
        table[g] = std::isfinite(t) ? static_cast<uchar>(std::clamp(t, 0.0, 1.0) * 255.0) : 0;
    }
    const QImage source =
        image.format() == QImage::Format_Grayscale8 ? image : image.convertToFormat(QImage::Format_Grayscale8);
    for (int y = 0; y < source.height(); ++y) {
        const uchar* in = source.constScanLine(y);
        uchar* dst = out.scanLine(y);
        for (int x = 0; x < source.width(); ++x) dst[x] = table[in[x]];
    }
    return out;
}

std::vector<float> sampleLineProfile(const std::vector<float>& values, int width, int height, double factor,
                                     const QPoint& origin, const QPointF& p1, const QPointF& p2, double& length) {
    length = 0.0;
    if (values.empty() || width < 1 || height < 1) return {};
    const double k = factor > 0.0 && factor < 1.0 ? 1.0 / factor : 1.0;
    const double startX = k * p1.x() - origin.x();
    const double startY = k * p1.y() - origin.y();
    const double dx = k * (p2.x() - p1.x());
    const double dy = k * (p2.y() - p1.y());
    const double segment = std::hypot(dx, dy);
    if (!std::isfinite(segment) || segment < 1e-6) return {};
    const int n = static_cast<int>(std::clamp(std::round(segment) + 1.0, 2.0, double(kMaxLineProfileSamples)));
    std::vector<float> samples(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        const double t = static_cast<double>(i) / (n - 1);
        samples[i] = sampleBilinear(values, width, height, startX + t * dx, startY + t * dy);
    }
    length = segment;
    return samples;
}

float sampleBilinear(const std::vector<float>& values, int width, int height, double x, double y) {
    if (!(x >= 0.0 && y >= 0.0 && x <= width - 1.0 && y <= height - 1.0)) return kNaN;
    const int x0 = static_cast<int>(std::floor(x));
    const int y0 = static_cast<int>(std::floor(y));
    const int x1 = std::min(x0 + 1, width - 1);
    const int y1 = std::min(y0 + 1, height - 1);
    auto at = [&](int cx, int cy) {
        const size_t index = static_cast<size_t>(cy) * static_cast<size_t>(width) + static_cast<size_t>(cx);
        return index < values.size() ? static_cast<double>(values[index]) : std::numeric_limits<double>::quiet_NaN();
    };
    const double v00 = at(x0, y0), v10 = at(x1, y0), v01 = at(x0, y1), v11 = at(x1, y1);
    if (!std::isfinite(v00) || !std::isfinite(v10) || !std::isfinite(v01) || !std::isfinite(v11)) return kNaN;
    const double fx = x - x0;
    const double top = v00 + (v10 - v00) * fx;
    const double bottom = v01 + (v11 - v01) * fx;
    return static_cast<float>(top + (bottom - top) * (y - y0));
}

int maskPixelValue(const QImage& mask, int x, int y) {
    if (!mask.valid(x, y)) return -1;
    switch (mask.format()) {
    case QImage::Format_Grayscale8:
        return mask.constScanLine(y)[x];
    case QImage::Format_Grayscale16:
        return reinterpret_cast<const quint16*>(mask.constScanLine(y))[x];
    default: {
        const QRgb c = mask.pixel(x, y);
        return static_cast<int>(grayFromRgb(qRed(c), qGreen(c), qBlue(c)));
    }
    }
}

void applyMaskToField(std::vector<float>& values, int width, int height, const QImage& mask) {
    if (mask.isNull() || values.empty() || mask.size() != QSize(width, height)) return;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const size_t index = static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x);
            if (index >= values.size()) return;
            if (maskPixelValue(mask, x, y) == 0) values[index] = kNaN;
        }
    }
}

std::vector<float> expandGridToImage(const std::vector<float>& grid, int cols, int rows, int imageWidth,
                                     int imageHeight, const QRect& roi, int stepX, int stepY, int windowSizeX,
                                     int windowSizeY, int marginY, int marginX) {
    if (imageWidth < 0 || imageHeight < 0 || !validGrid(grid, cols, rows, stepX, stepY)) return {};
    std::vector<float> raster(rasterSize(imageWidth, imageHeight), kNaN);
    const GridPlacement at(roi, stepX, stepY, windowSizeX, windowSizeY, marginY, marginX);
    const int64_t halfX = stepX / 2;
    const int64_t halfY = stepY / 2;
    for (int j = 0; j < rows; ++j) {
        const int64_t py = at.firstY + j * at.stepY;
        const int64_t y0 = std::max<int64_t>(py - halfY, 0);
        const int64_t y1 = std::min<int64_t>(py + halfY, int64_t(imageHeight) - 1);
        for (int i = 0; i < cols; ++i) {
            const int64_t px = at.firstX + i * at.stepX;
            const int64_t x0 = std::max<int64_t>(px - halfX, 0);
            const int64_t x1 = std::min<int64_t>(px + halfX, int64_t(imageWidth) - 1);
            const float value = grid[static_cast<size_t>(j) * static_cast<size_t>(cols) + static_cast<size_t>(i)];
            for (int64_t y = y0; y <= y1; ++y)
                for (int64_t x = x0; x <= x1; ++x) raster[static_cast<size_t>(y * imageWidth + x)] = value;
        }
    }
    return raster;
}

std::vector<float> sampleImageAtGrid(const std::vector<float>& image, int imageWidth, int imageHeight, int cols,
                                     int rows, const QRect& roi, int stepX, int stepY, int windowSizeX,
                                     int windowSizeY, int marginY, int marginX) {
    if (stepX < 1 || stepY < 1 || cols < 0 || rows < 0 || imageWidth < 0 || imageHeight < 0) return {};
    if (image.size() < rasterSize(imageWidth, imageHeight)) return {};
    std::vector<float> grid(rasterSize(cols, rows), kNaN);
    const GridPlacement at(roi, stepX, stepY, windowSizeX, windowSizeY, marginY, marginX);
    for (int j = 0; j < rows; ++j) {
        const int64_t py = at.firstY + j * at.stepY;
        if (py < 0 || py >= imageHeight) continue;
        for (int i = 0; i < cols; ++i) {
            const int64_t px = at.firstX + i * at.stepX;
            if (px < 0 || px >= imageWidth) continue;
            grid[static_cast<size_t>(j) * static_cast<size_t>(cols) + static_cast<size_t>(i)] =
                image[static_cast<size_t>(py * imageWidth + px)];
        }
    }
    return grid;
}

std::vector<float> interpolateGridToImage(const std::vector<float>& grid, int cols, int rows, int imageWidth,
                                          int imageHeight, const QRect& roi, int stepX, int stepY,
                                          int windowSizeX, int windowSizeY, int marginY, int marginX) {
    if (imageWidth < 0 || imageHeight < 0 || !validGrid(grid, cols, rows, stepX, stepY)) return {};
    std::vector<float> raster(rasterSize(imageWidth, imageHeight), kNaN);
    if (cols == 0 || rows == 0) return raster;
    const GridPlacement at(roi, stepX, stepY, windowSizeX, windowSizeY, marginY, marginX);

    // Grid coordinates in single precision, as the display has always computed them.
    std::vector<float> gxs(static_cast<size_t>(imageWidth));
    for (int x = 0; x < imageWidth; ++x) gxs[x] = static_cast<float>(x - at.firstX) / static_cast<float>(stepX);
    const float lastCol = static_cast<float>(cols - 1);
    const float lastRow = static_cast<float>(rows - 1);
    auto value = [&](int i, int j) {
        return grid[static_cast<size_t>(j) * static_cast<size_t>(cols) + static_cast<size_t>(i)];
    };
    auto nearest = [](float g, int count) { return std::clamp(static_cast<int>(std::round(g)), 0, count - 1); };

    for (int y = 0; y < imageHeight; ++y) {
        const float gy = static_cast<float>(y - at.firstY) / static_cast<float>(stepY);
        if (!(gy >= -0.5f && gy < static_cast<float>(rows) - 0.5f)) continue;
        float* out = raster.data() + static_cast<size_t>(y) * static_cast<size_t>(imageWidth);
        const bool rowInCells = gy >= 0.0f && gy < lastRow;
        for (int x = 0; x < imageWidth; ++x) {
            const float gx = gxs[x];
            if (!(gx >= -0.5f && gx < static_cast<float>(cols) - 0.5f)) continue;
            if (rowInCells && gx >= 0.0f && gx < lastCol) {
                const int i0 = static_cast<int>(gx);
                const int j0 = static_cast<int>(gy);
                const float fx = gx - static_cast<float>(i0);
                const float fy = gy - static_cast<float>(j0);
                const float v00 = value(i0, j0), v10 = value(i0 + 1, j0);
                const float v01 = value(i0, j0 + 1), v11 = value(i0 + 1, j0 + 1);
                if (std::isnan(v00) || std::isnan(v10) || std::isnan(v01) || std::isnan(v11)) continue;
                out[x] = v00 * (1.0f - fx) * (1.0f - fy) + v10 * fx * (1.0f - fy) + v01 * (1.0f - fx) * fy +
                         v11 * fx * fy;
            } else {
                out[x] = value(nearest(gx, cols), nearest(gy, rows));
            }
        }
    }
    return raster;
}

QString heightStatsLine(const char* label, const std::vector<float>& values, int width, int height) {
    double min = 0.0, max = 0.0, sum = 0.0;
    uint64_t finite = 0, nonFinite = 0;
    for (float v : values) {
        if (!std::isfinite(v)) {
            ++nonFinite;
            continue;
        }
        min = finite == 0 ? v : std::min<double>(min, v);
        max = finite == 0 ? v : std::max<double>(max, v);
        sum += v;
        ++finite;
    }
    const double mean = finite == 0 ? 0.0 : sum / static_cast<double>(finite);
    const bool consistent = width >= 0 && height >= 0 && values.size() == rasterSize(width, height);
    QString line = QStringLiteral("[Height] ") + QString::fromUtf8(label ? label : "") + QStringLiteral(" : ");
    line += QString::number(width) + QLatin1Char('x') + QString::number(height);
    line += QStringLiteral("  taille=") + QString::number(static_cast<qulonglong>(values.size()));
    line += consistent ? QStringLiteral(" (conforme)") : QStringLiteral(" (INCOHERENTE)");
    line += QStringLiteral("  min=") + QString::number(min) + QStringLiteral("  max=") + QString::number(max);
    line += QStringLiteral("  moyenne=") + QString::number(mean);
    line += QStringLiteral("  non finis=") + QString::number(static_cast<qulonglong>(nonFinite));
    return line;
}

void logHeightStats(const char* label, const std::vector<float>& values, int width, int height) {
    qDebug().noquote() << heightStatsLine(label, values, width, height);
}

} // namespace tavro::gui
