#pragma once
// Grayscale images as the engine reads them: rows of normalised floats, 8-bit
// pixels / 255 and 16-bit samples / 65535. Images of any other format are read
// through the grey value of each pixel's colour.

#include <QImage>
#include <QRect>

namespace tavro::gui {

// Rows firstRow..endRow - 1 of `rect` (relative to its top), rect.width() values
// each, to dst; positions outside the image give 0. Rows are spread over
// parallelForRows. The image is only read, so several threads may convert from
// copies of one shared image at once.
void convertImageRows(const QImage& image, const QRect& rect, float* dst, int firstRow, int endRow);

} // namespace tavro::gui
