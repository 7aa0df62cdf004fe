#include "compute/image_rows.h"

#include <algorithm>
#include <cstdint>

#include "compute/row_parallel.h"
#include "images/image_io.h"

namespace tavro::gui {
namespace {

void convertRow(const QImage& image, int64_t row, int left, int width, float* out) {
    std::fill(out, out + width, 0.0f);
    if (row < 0 || row >= image.height()) return;
    const int y = static_cast<int>(row);
    const int from = static_cast<int>(std::clamp<int64_t>(-int64_t(left), 0, width));
    const int to = static_cast<int>(std::clamp<int64_t>(int64_t(image.width()) - left, 0, width));
    if (from >= to) return;
    switch (image.format()) {
    case QImage::Format_Grayscale16: {
        const auto* line = reinterpret_cast<const quint16*>(image.constScanLine(y));
        for (int c = from; c < to; ++c) out[c] = static_cast<float>(line[left + c]) / 65535.0f;
        break;
    }
    case QImage::Format_Grayscale8: {
        const uchar* line = image.constScanLine(y);
        for (int c = from; c < to; ++c) out[c] = static_cast<float>(line[left + c]) / 255.0f;
        break;
    }
    default:
        for (int c = from; c < to; ++c) {
            const QRgb rgb = image.pixel(left + c, y);
            out[c] = static_cast<float>(grayFromRgb(qRed(rgb), qGreen(rgb), qBlue(rgb))) / 255.0f;
        }
        break;
    }
}

} // namespace

void convertImageRows(const QImage& image, const QRect& rect, float* dst, int firstRow, int endRow) {
    const int width = rect.width();
    if (width < 1 || endRow <= firstRow) return;
    parallelForRows(firstRow, endRow, [&](int from, int to) {
        for (int i = from; i < to; ++i)
            convertRow(image, int64_t(rect.top()) + i, rect.left(),
                       width, dst + static_cast<size_t>(i - firstRow) * static_cast<size_t>(width));
    });
}

} // namespace tavro::gui
