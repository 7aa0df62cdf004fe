#pragma once
// Result fields as colour images: a jet-coloured grid with grey holes, kept
// within 2048 pixels a side for display, optionally placed on the grid that
// covers the whole reference image.

#include <QImage>
#include <QRgb>

#include <optional>
#include <utility>
#include <vector>

#include "gui/project/result_files.h"

namespace tavro::gui {

inline constexpr QRgb kHoleColor = 0xff808080u;

// t clamped to [0, 1]; entry int(t * 255 + 0.5) of the jet table.
QRgb jetColor(float t);

// width x height RGB32. Without a usable range [minVal, maxVal] the finite
// extremes of the values are used; without those the image is all holes.
QImage createColormapImage(const std::vector<float>& values, int width, int height, float minVal, float maxVal);

// The same, reduced by nearest neighbour to fit 2048 x 2048; the second value
// is the number of grid cells per image pixel.
std::pair<QImage, double> createColormapImageForDisplay(const std::vector<float>& values, int width, int height,
                                                        float minVal, float maxVal);

// What a result view shows, and how its pixels map to grid cells: every view
// keeps `scale` as image pixels per grid cell (1 when not reduced, below 1
// when reduced) and `offset` as the grid's place on the image in cells, and
// both the read-outs and the line profiles use them the same way.
struct ResultImage {
    QImage image;
    double scale = 1.0;
    QPoint offset;
};

// The field in colour with table `table` (0 jet, 1 cyclic); on the
// whole-image canvas when one is given and larger than the grid.
ResultImage renderResultField(const std::vector<float>& field, int width, int height, float low, float high,
                              int table, const std::optional<GridCanvas>& canvas);

// The grid cell under image pixel `pixel` of an image drawn at `scale` with
// the grid at `offset`; nullopt outside the grid.
std::optional<QPoint> resultCellAt(const QPoint& pixel, double scale, const QPoint& offset, int width, int height);

}  // namespace tavro::gui
