#include "images/loaded_image.h"

#include "images/image_io.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <vector>

namespace tavro::gui {

namespace {

constexpr int kPreviewSide = 2048;

int roundAwayFromZero(double value)
{
    if (std::isnan(value))
        return 0;
    return int(std::clamp(std::round(value), double(INT_MIN), double(INT_MAX)));
}

// Box bounds along one axis: output index i covers [first, last) of the source.
struct Span {
    std::int64_t first;
    std::int64_t last;
};

Span boxSpan(std::int64_t i, std::int64_t source, std::int64_t target)
{
    const std::int64_t first = i * source / target;
    return {first, std::max((i + 1) * source / target, first + 1)};
}

template <typename T>
void boxReduce(const QImage& source, QImage& target)
{
    const std::int64_t W = source.width(), H = source.height();
    const std::int64_t w = target.width(), h = target.height();
    std::vector<Span> columns(static_cast<std::size_t>(w));
    for (std::int64_t ox = 0; ox < w; ++ox)
        columns[std::size_t(ox)] = boxSpan(ox, W, w);
    std::vector<std::uint64_t> sums(static_cast<std::size_t>(w));
    for (std::int64_t oy = 0; oy < h; ++oy) {
        const Span rows = boxSpan(oy, H, h);
        std::fill(sums.begin(), sums.end(), 0);
        for (std::int64_t y = rows.first; y < rows.last; ++y) {
            const T* line = reinterpret_cast<const T*>(source.constScanLine(int(y)));
            for (std::int64_t ox = 0; ox < w; ++ox) {
                const Span span = columns[std::size_t(ox)];
                std::uint64_t sum = 0;
                for (std::int64_t x = span.first; x < span.last; ++x)
                    sum += line[x];
                sums[std::size_t(ox)] += sum;
            }
        }
        T* out = reinterpret_cast<T*>(target.scanLine(int(oy)));
        for (std::int64_t ox = 0; ox < w; ++ox) {
            const Span span = columns[std::size_t(ox)];
            const std::uint64_t count = std::uint64_t(span.last - span.first) * std::uint64_t(rows.last - rows.first);
            out[ox] = T(sums[std::size_t(ox)] / count);
        }
    }
}

}  // namespace

double LoadedImage::displayScale() const
{
    const QImage& shown = displayImage();
    if (originalSize.width() <= 0 || originalSize.height() <= 0 || shown.isNull() || shown.width() == 0)
        return 1.0;
    return double(originalSize.width()) / double(shown.width());
}

void LoadedImage::releaseFullImage()
{
    if (!path.isEmpty() && !full.isNull() && !preview.isNull())
        full = QImage();
}

bool loadImage(const QString& path, LoadedImage& image, QString& error)
{
    QImage read;
    if (!readGrayImage(path, read, error))
        return false;
    image.full = read;
    image.preview = makePreview(read);
    image.path = path;
    image.originalSize = read.size();
    return true;
}

QImage makePreview(const QImage& image)
{
    if (image.isNull() || (image.width() <= kPreviewSide && image.height() <= kPreviewSide))
        return {};
    const double s = std::min(double(kPreviewSide) / image.height(), double(kPreviewSide) / image.width());
    const int width = int(s * image.width());
    const int height = int(s * image.height());
    if (width < 1 || height < 1)
        return {};
    const QImage::Format format = image.format();
    if (format != QImage::Format_Grayscale8 && format != QImage::Format_Grayscale16)
        return image.scaled(width, height, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    QImage preview(width, height, format);
    if (preview.isNull())
        return {};
    if (format == QImage::Format_Grayscale16)
        boxReduce<std::uint16_t>(image, preview);
    else
        boxReduce<std::uint8_t>(image, preview);
    return preview;
}

QSize scaleSize(const QSize& size, double factor)
{
    return {roundAwayFromZero(size.width() * factor), roundAwayFromZero(size.height() * factor)};
}

QRect scaleRect(const QRect& rect, double factor)
{
    if (rect.isNull())
        return {};
    return {roundAwayFromZero(rect.x() * factor), roundAwayFromZero(rect.y() * factor),
            roundAwayFromZero(rect.width() * factor), roundAwayFromZero(rect.height() * factor)};
}

QRect unscaleRect(const QRect& rect, double factor)
{
    if (rect.isNull() || !(factor > 0.0))
        return {};
    return {roundAwayFromZero(rect.x() / factor), roundAwayFromZero(rect.y() / factor),
            roundAwayFromZero(rect.width() / factor), roundAwayFromZero(rect.height() / factor)};
}

}  // namespace tavro::gui
