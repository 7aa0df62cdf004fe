#include "gui/mainwindow/result_rendering.h"

#include "images/field_rendering.h"

#include <QPainter>

#include <algorithm>
#include <cmath>
#include <limits>

namespace tavro::gui {

namespace {

constexpr int kDisplayLimit = 2048;

// The usable range: the given one when it is, else the finite extremes.
bool valueRange(const std::vector<float>& values, float minVal, float maxVal, float& low, float& high) {
    if (std::isfinite(minVal) && std::isfinite(maxVal) && minVal < maxVal) {
        low = minVal;
        high = maxVal;
        return true;
    }
    low = std::numeric_limits<float>::max();
    high = -std::numeric_limits<float>::max();
    for (float v : values)
        if (std::isfinite(v)) {
            low = std::min(low, v);
            high = std::max(high, v);
        }
    return high > low;
}

}  // namespace

QRgb jetColor(float t) {
    t = std::clamp(t, 0.0f, 1.0f);
    return jetLut()[static_cast<int>(t * 255.0f + 0.5f)];
}

QImage createColormapImage(const std::vector<float>& values, int width, int height, float minVal, float maxVal) {
    if (width < 1 || height < 1 || values.size() < static_cast<std::size_t>(width) * static_cast<std::size_t>(height))
        return QImage();
    QImage image(width, height, QImage::Format_RGB32);
    if (image.isNull())
        return image;
    float low = 0.0f, high = 0.0f;
    if (!valueRange(values, minVal, maxVal, low, high)) {
        image.fill(kHoleColor);
        return image;
    }
    const float scale = 1.0f / (high - low);
    for (int y = 0; y < height; ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        const float* row = values.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(width);
        for (int x = 0; x < width; ++x)
            line[x] = std::isfinite(row[x]) ? jetColor((row[x] - low) * scale) : kHoleColor;
    }
    return image;
}

std::pair<QImage, double> createColormapImageForDisplay(const std::vector<float>& values, int width, int height,
                                                        float minVal, float maxVal) {
    if (values.empty() || width < 1 || height < 1)
        return {QImage(), 1.0};
    if (width <= kDisplayLimit && height <= kDisplayLimit)
        return {createColormapImage(values, width, height, minVal, maxVal), 1.0};
    if (values.size() < static_cast<std::size_t>(width) * static_cast<std::size_t>(height))
        return {QImage(), 1.0};
    const double s = std::min(double(kDisplayLimit) / height, double(kDisplayLimit) / width);
    const int outWidth = static_cast<int>(s * width);
    const int outHeight = static_cast<int>(s * height);
    float low = 0.0f, high = 0.0f;
    const bool ranged = valueRange(values, minVal, maxVal, low, high);
    if (outWidth < 1 || outHeight < 1)
        return {QImage(), 1.0};
    QImage image(outWidth, outHeight, QImage::Format_RGB32);
    if (image.isNull())
        return {QImage(), 1.0};
    const double inv = 1.0 / s;
    if (!ranged) {
        image.fill(kHoleColor);
        return {image, inv};
    }
    for (int y = 0; y < outHeight; ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        const int gy = std::min(height - 1, static_cast<int>(y * inv));
        const float* row = values.data() + static_cast<std::size_t>(gy) * static_cast<std::size_t>(width);
        for (int x = 0; x < outWidth; ++x) {
            const float v = row[std::min(width - 1, static_cast<int>(x * inv))];
            line[x] = std::isfinite(v) ? jetColor((v - low) / (high - low)) : kHoleColor;
        }
    }
    return {image, inv};
}

ResultImage renderResultField(const std::vector<float>& field, int width, int height, float low, float high,
                              int table, const std::optional<GridCanvas>& canvas) {
    ResultImage out;
    const ColorImage colored = fieldToColorImage(field, width, height, low, high, table);
    out.image = colored.image;
    out.scale = colored.scale > 0.0 ? 1.0 / colored.scale : 1.0;
    if (out.image.isNull() || !canvas || (canvas->width <= width && canvas->height <= height))
        return out;
    const double s = std::min(1.0, double(kDisplayLimit) / std::max(canvas->width, canvas->height));
    QImage placed(std::max(1, static_cast<int>(std::lround(canvas->width * s))),
                  std::max(1, static_cast<int>(std::lround(canvas->height * s))), QImage::Format_RGBA8888);
    if (placed.isNull())
        return out;
    placed.fill(QColor(128, 128, 128));
    {
        QPainter painter(&placed);
        painter.setRenderHint(QPainter::SmoothPixmapTransform, false);
        painter.drawImage(QRectF(canvas->offsetX * s, canvas->offsetY * s, width * s, height * s), out.image);
    }
    out.image = placed;
    out.scale = s;
    out.offset = QPoint(canvas->offsetX, canvas->offsetY);
    return out;
}

std::optional<QPoint> resultCellAt(const QPoint& pixel, double scale, const QPoint& offset, int width, int height) {
    if (width < 1 || height < 1)
        return std::nullopt;
    int x = pixel.x(), y = pixel.y();
    if (scale > 0.0 && scale < 1.0) {
        x = static_cast<int>(x / scale);
        y = static_cast<int>(y / scale);
    }
    x -= offset.x();
    y -= offset.y();
    if (x < 0 || y < 0 || x >= width || y >= height)
        return std::nullopt;
    return QPoint(x, y);
}

}  // namespace tavro::gui
