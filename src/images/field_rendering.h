#pragma once
// Float fields as the window shows and measures them: percentile display ranges,
// colour images through two fixed colour tables, contrast-windowed grey images,
// line profiles, masks, and conversions between grid fields and image rasters.
//
// A field is a row-major std::vector<float> with its width and height passed
// beside it; NaN (and wherever stated any non-finite value) means "no value". A
// field holding fewer values than its width x height is refused: a null image
// or an empty vector, never a read beyond the vector.
//
// Grid geometry of the grid/raster conversions: grid point (i, j) lies at image
// pixel (roi.x + marginX + windowSizeX / 2 + i * stepX,
// roi.y + marginY + windowSizeY / 2 + j * stepY), where marginY is the larger
// of the up and down search ranges and marginX the larger of the left and right
// ones. Steps below 1 are refused.

#include <QImage>
#include <QPoint>
#include <QPointF>
#include <QRect>
#include <QString>

#include <utility>
#include <vector>

namespace tavro::gui {

// Colour map index 1 selects the cyclic table (both ends meet); any other the jet table.
inline constexpr int kCyclicColorMap = 1;
inline constexpr int kJetColorMap = 0;
inline constexpr int kMaxColorImageSide = 2048;
inline constexpr int kMaxLineProfileSamples = 2048;

// The 1st and 99th percentiles of the finite values, widened by 5 % of their
// span on each side, always within [min(lo, hi), max(lo, hi)]; {lo, hi} when
// there is nothing to measure or the percentiles collapse after clamping.
std::pair<float, float> percentileRange(const std::vector<float>& values, float lo, float hi);

// Minimum and maximum of the finite values; {0, 0} when there is none.
std::pair<float, float> fieldMinMax(const std::vector<float>& values);

// Whether any value is finite: a field without one (no point measured) has no range.
bool holdsAValue(const std::vector<float>& values);

// Colour of t in [0, 1] (clamped); a non-finite t gives the low end.
QRgb colorAt(int map, float t);

// The 256 colours of the jet table, built once.
const QRgb* jetLut();

struct ColorImage {
    QImage image;  // Format_RGBA8888; null when the field is refused
    double scale = 1.0;  // field pixels per image pixel
};

// Fields larger than 2048 on a side are sampled by nearest neighbour down to
// fit 2048 x 2048. Non-finite values are transparent; with min >= max the whole
// image takes jet index 0.
ColorImage fieldToColorImage(const std::vector<float>& values, int width, int height, float min, float max,
                             int map);

// A canvas-sized tile of a zoomed field: canvas pixel (cx, cy) shows field
// position (cx - offset.x + canvas.x, cy - offset.y + canvas.y); outside the
// field opaque grey (128, 128, 128).
QImage fieldToColorImageInRect(const std::vector<float>& values, int width, int height, const QRect& canvas,
                               const QPoint& offset, float min, float max, int map);

// Contrast window [min, max] in 8-bit grey levels; 16-bit images are reduced by
// Qt's own conversion first. min >= max gives a uniform grey of 128.
QImage grayToDisplayImage(const QImage& image, float min, float max);

// Values along p1 -> p2 given in display coordinates of zoom `factor` (a factor
// below 1 is undone), relative to `origin` in field pixels. Between 2 and 2048
// samples, about one per field pixel; `length` receives the segment's length in
// field pixels, 0 when nothing is sampled.
std::vector<float> sampleLineProfile(const std::vector<float>& values, int width, int height, double factor,
                                     const QPoint& origin, const QPointF& p1, const QPointF& p2, double& length);

// Bilinear value at (x, y); NaN outside [0, width - 1] x [0, height - 1] or when
// one of the four neighbours is not finite.
float sampleBilinear(const std::vector<float>& values, int width, int height, double x, double y);

// Value of a mask pixel: the byte of a Grayscale8 mask, the sample of a
// Grayscale16 mask, else the grey value of the pixel's colour. Everywhere a mask
// is applied (engine, results, overlays) a value of 0, and only 0, excludes.
int maskPixelValue(const QImage& mask, int x, int y);

// NaN where the mask value is 0. Nothing when the mask is null, the field empty
// or the mask not of the field's size.
void applyMaskToField(std::vector<float>& values, int width, int height, const QImage& mask);

// An imageWidth x imageHeight raster, NaN except around grid points: each point
// fills the block of half a step on every side (inclusive); with an even step the
// later point overwrites the shared column or row.
std::vector<float> expandGridToImage(const std::vector<float>& grid, int cols, int rows, int imageWidth,
                                     int imageHeight, const QRect& roi, int stepX, int stepY, int windowSizeX,
                                     int windowSizeY, int marginY, int marginX);

// The raster value under each grid point (no interpolation); NaN for a point
// outside the raster.
std::vector<float> sampleImageAtGrid(const std::vector<float>& image, int imageWidth, int imageHeight, int cols,
                                     int rows, const QRect& roi, int stepX, int stepY, int windowSizeX,
                                     int windowSizeY, int marginY, int marginX);

// Bilinear inside the grid's cells; within half a step outside them (excluded)
// the nearest grid point; NaN farther out and wherever a used point is NaN.
std::vector<float> interpolateGridToImage(const std::vector<float>& grid, int cols, int rows, int imageWidth,
                                          int imageHeight, const QRect& roi, int stepX, int stepY,
                                          int windowSizeX, int windowSizeY, int marginY, int marginX);

// The diagnostic line logHeightStats writes.
QString heightStatsLine(const char* label, const std::vector<float>& values, int width, int height);
// One debug message about a height map: size, consistency, range, mean and the
// number of non-finite values.
void logHeightStats(const char* label, const std::vector<float>& values, int width, int height);

} // namespace tavro::gui
