#include "images/field_rendering.h"

#include <QColor>
#include <QtGlobal>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numeric>
#include <vector>

namespace tavro::gui {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

// Channels of an RGBA8888 pixel in memory order.
QRgb rgbaAt(const QImage& image, int x, int y) {
    const uchar* p = image.constScanLine(y) + 4 * x;
    return qRgba(p[0], p[1], p[2], p[3]);
}

std::vector<float> ramp(size_t n) {
    std::vector<float> v(n);
    std::iota(v.begin(), v.end(), 0.0f);
    return v;
}

TEST(ColorTables, JetRunsFromDarkBlueToDarkRedAndCyclicEndsMeet) {
    const QRgb* jet = jetLut();
    EXPECT_EQ(jet[0], qRgba(0, 0, 127, 255));
    EXPECT_EQ(jet[128], qRgba(129, 255, 125, 255));
    EXPECT_EQ(jet[255], qRgba(127, 0, 0, 255));
    EXPECT_EQ(colorAt(7, 0.5f), jet[128]) << "any map but 1 is jet";
    EXPECT_EQ(colorAt(kCyclicColorMap, 0.0f), qRgba(226, 217, 226, 255));
    EXPECT_EQ(colorAt(kCyclicColorMap, 1.0f), colorAt(kCyclicColorMap, 0.0f));
    EXPECT_EQ(colorAt(kCyclicColorMap, 128.0f / 255.0f), qRgba(48, 20, 54, 255));
}

TEST(ColorTables, OutOfRangeParametersClampAndNonFiniteOnesTakeTheLowEnd) {
    EXPECT_EQ(colorAt(kJetColorMap, -3.0f), jetLut()[0]);
    EXPECT_EQ(colorAt(kJetColorMap, 1e30f), jetLut()[255]);
    EXPECT_EQ(colorAt(kJetColorMap, kNaN), jetLut()[0]);
    EXPECT_EQ(colorAt(kCyclicColorMap, kInf), colorAt(kCyclicColorMap, 0.0f));
}

TEST(PercentileRange, FirstAndNinetyNinthPercentilesWidenedByFivePercentWithinTheBounds) {
    std::vector<float> values = ramp(1000);
    values.insert(values.begin(), 300, kNaN);  // non-finite values do not count
    values.push_back(-kInf);
    // Indices 9 and 990, widened by 49.05 on each side.
    auto [low, high] = percentileRange(values, -10000.0f, 10000.0f);
    EXPECT_NEAR(low, -40.05f, 1e-3f);
    EXPECT_NEAR(high, 1039.05f, 1e-3f);
    // The widened range is clamped into [lo, hi] again.
    std::tie(low, high) = percentileRange(values, -1000.0f, 1000.0f);
    EXPECT_NEAR(low, -40.05f, 1e-3f);
    EXPECT_FLOAT_EQ(high, 1000.0f);
}

TEST(PercentileRange, DegenerateDataFallsBackToTheBoundsOrTheSingleValue) {
    EXPECT_EQ(percentileRange({}, -2.0f, 3.0f), std::make_pair(-2.0f, 3.0f));
    EXPECT_EQ(percentileRange({kNaN, kInf}, -2.0f, 3.0f), std::make_pair(-2.0f, 3.0f));
    EXPECT_EQ(percentileRange({kNaN, 4.0f}, -2.0f, 3.0f), std::make_pair(4.0f, 4.0f));
    EXPECT_EQ(percentileRange(std::vector<float>(50, 5.0f), 0.0f, 10.0f), std::make_pair(0.0f, 10.0f));
    EXPECT_EQ(percentileRange({2.0f, 3.0f, 4.0f, 5.0f}, 0.0f, 1.0f), std::make_pair(0.0f, 1.0f));
}

TEST(FieldToColorImage, SmallFieldMapsEachValueAndLeavesNaNTransparent) {
    const std::vector<float> values{0.0f, 5.0f, 10.0f, kNaN, 20.0f, -5.0f};
    const ColorImage rendered = fieldToColorImage(values, 3, 2, 0.0f, 10.0f, kJetColorMap);
    ASSERT_EQ(rendered.image.size(), QSize(3, 2));
    EXPECT_EQ(rendered.image.format(), QImage::Format_RGBA8888);
    EXPECT_DOUBLE_EQ(rendered.scale, 1.0);
    EXPECT_EQ(rgbaAt(rendered.image, 0, 0), jetLut()[0]);
    EXPECT_EQ(rgbaAt(rendered.image, 1, 0), colorAt(kJetColorMap, 0.5f));
    EXPECT_EQ(rgbaAt(rendered.image, 2, 0), jetLut()[255]);
    EXPECT_EQ(rgbaAt(rendered.image, 0, 1), qRgba(0, 0, 0, 0));
    EXPECT_EQ(rgbaAt(rendered.image, 1, 1), jetLut()[255]) << "above max clamps";
    EXPECT_EQ(rendered.image.pixel(2, 1), jetLut()[0]) << "below min clamps; QImage reads the colour back";
}

TEST(FieldToColorImage, LargeFieldIsSampledDownToFitTheLimit) {
    const int width = 4096, height = 1024;
    std::vector<float> values(size_t(width) * height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) values[size_t(y) * width + x] = float(x % 4 == 0 ? 1.0f : 0.0f);
    const ColorImage rendered = fieldToColorImage(values, width, height, 0.0f, 1.0f, kJetColorMap);
    ASSERT_EQ(rendered.image.size(), QSize(2048, 512));
    EXPECT_DOUBLE_EQ(rendered.scale, 2.0);
    // Output column ox reads field column 2 ox: every other output column hits a 1.
    EXPECT_EQ(rgbaAt(rendered.image, 0, 100), jetLut()[255]);
    EXPECT_EQ(rgbaAt(rendered.image, 1, 100), jetLut()[0]);
    EXPECT_EQ(rgbaAt(rendered.image, 2, 100), jetLut()[255]);
}

TEST(FieldToColorImage, RefusesFieldsShorterThanTheirSize) {
    EXPECT_TRUE(fieldToColorImage(std::vector<float>(11, 1.0f), 3, 4, 0.0f, 1.0f, kJetColorMap).image.isNull());
    EXPECT_TRUE(fieldToColorImage({1.0f}, 1, -1, 0.0f, 1.0f, kJetColorMap).image.isNull());
    EXPECT_TRUE(fieldToColorImageInRect({1.0f, 2.0f, 3.0f}, 2, 2, QRect(0, 0, 4, 4), {}, 0, 1, 0).isNull());
}

TEST(FieldToColorImage, ExtremeAndNonFiniteRangesStillGiveValidColours) {
    // max - min overflows float here; the middle value must still land mid-scale.
    const ColorImage wide = fieldToColorImage({-3e38f, 0.0f, 3e38f}, 3, 1, -3e38f, 3e38f, kJetColorMap);
    EXPECT_EQ(rgbaAt(wide.image, 0, 0), jetLut()[0]);
    EXPECT_EQ(rgbaAt(wide.image, 1, 0), colorAt(kJetColorMap, 0.5f));
    EXPECT_EQ(rgbaAt(wide.image, 2, 0), jetLut()[255]);
    const ColorImage nan = fieldToColorImage({1.0f, 2.0f}, 2, 1, kNaN, 5.0f, kJetColorMap);
    EXPECT_EQ(rgbaAt(nan.image, 1, 0), jetLut()[0]);
    // An empty range gives every value opaque dark blue and leaves a cell
    // without one transparent, as a field with no value at all is.
    const ColorImage flat = fieldToColorImage({1.0f, kNaN}, 2, 1, 2.0f, 2.0f, kCyclicColorMap);
    EXPECT_EQ(rgbaAt(flat.image, 0, 0), qRgba(0, 0, 127, 255));
    EXPECT_EQ(rgbaAt(flat.image, 1, 0), 0u);
    const ColorImage none = fieldToColorImage({kNaN, kNaN}, 2, 1, 0.0f, 0.0f, kJetColorMap);
    EXPECT_EQ(rgbaAt(none.image, 0, 0), 0u);
}

TEST(FieldToColorImageInRect, CanvasShowsTheShiftedFieldWithGreyOutside) {
    const std::vector<float> values{0.0f, 1.0f, kNaN, 0.5f};  // 2 x 2
    // Canvas pixel (cx, cy) shows field (cx - 1 + 0, cy - 0 + 0).
    const QImage tile = fieldToColorImageInRect(values, 2, 2, QRect(0, 0, 4, 3), QPoint(1, 0), 0.0f, 1.0f,
                                                kJetColorMap);
    ASSERT_EQ(tile.size(), QSize(4, 3));
    const QRgb grey = qRgba(128, 128, 128, 255);
    EXPECT_EQ(rgbaAt(tile, 0, 0), grey);
    EXPECT_EQ(rgbaAt(tile, 1, 0), jetLut()[0]);
    EXPECT_EQ(rgbaAt(tile, 2, 0), jetLut()[255]);
    EXPECT_EQ(rgbaAt(tile, 1, 1), qRgba(0, 0, 0, 0));
    EXPECT_EQ(rgbaAt(tile, 2, 1), colorAt(kJetColorMap, 0.5f));
    EXPECT_EQ(rgbaAt(tile, 1, 2), grey);
}

TEST(GrayToDisplayImage, WindowStretchesEightBitLevels) {
    QImage gray(3, 1, QImage::Format_Grayscale8);
    gray.scanLine(0)[0] = 64;
    gray.scanLine(0)[1] = 128;
    gray.scanLine(0)[2] = 192;
    const QImage shown = grayToDisplayImage(gray, 64.0f, 192.0f);
    ASSERT_EQ(shown.format(), QImage::Format_Grayscale8);
    EXPECT_EQ(shown.constScanLine(0)[0], 0);
    EXPECT_EQ(shown.constScanLine(0)[1], 127);
    EXPECT_EQ(shown.constScanLine(0)[2], 255);
}

TEST(GrayToDisplayImage, SixteenBitImagesAreReducedFirstAndEmptyWindowsAreMidGrey) {
    QImage deep(2, 1, QImage::Format_Grayscale16);
    reinterpret_cast<quint16*>(deep.scanLine(0))[0] = 0;
    reinterpret_cast<quint16*>(deep.scanLine(0))[1] = 65535;
    const QImage shown = grayToDisplayImage(deep, 0.0f, 255.0f);
    EXPECT_EQ(shown.constScanLine(0)[0], 0);
    EXPECT_EQ(shown.constScanLine(0)[1], 255);
    EXPECT_EQ(grayToDisplayImage(deep, 10.0f, 10.0f).constScanLine(0)[1], 128);
    const QImage nan = grayToDisplayImage(deep, kNaN, 255.0f);
    EXPECT_EQ(nan.constScanLine(0)[1], 0) << "a non-finite window gives the low end";
}

TEST(SampleLineProfile, OneSamplePerFieldPixelBetweenTwoAnd2048) {
    const std::vector<float> values = ramp(20 * 20);
    double length = -1.0;
    std::vector<float> samples =
        sampleLineProfile(values, 20, 20, 1.0, QPoint(0, 0), QPointF(2, 3), QPointF(12, 3), length);
    ASSERT_EQ(samples.size(), 11u);
    EXPECT_DOUBLE_EQ(length, 10.0);
    EXPECT_FLOAT_EQ(samples.front(), 62.0f);
    EXPECT_FLOAT_EQ(samples.back(), 72.0f);

    const std::vector<float> wide(6000, 1.0f);  // 6000 x 1
    samples = sampleLineProfile(wide, 6000, 1, 1.0, QPoint(), QPointF(0, 0), QPointF(5000, 0), length);
    EXPECT_EQ(samples.size(), 2048u);
    EXPECT_DOUBLE_EQ(length, 5000.0);

    samples = sampleLineProfile(values, 20, 20, 1.0, QPoint(), QPointF(4, 4), QPointF(4, 4), length);
    EXPECT_TRUE(samples.empty());
    EXPECT_EQ(length, 0.0);
}

TEST(SampleLineProfile, ZoomBelowOneIsUndoneAndOriginShiftsTheStart) {
    const std::vector<float> values = ramp(20 * 20);
    double length = 0.0;
    // Display points at zoom 0.5 are field points times 2, less the origin (1, 1).
    const std::vector<float> samples =
        sampleLineProfile(values, 20, 20, 0.5, QPoint(1, 1), QPointF(1, 2), QPointF(3, 2), length);
    ASSERT_EQ(samples.size(), 5u);
    EXPECT_DOUBLE_EQ(length, 4.0);
    EXPECT_FLOAT_EQ(samples.front(), 3.0f * 20 + 1);
    EXPECT_FLOAT_EQ(samples.back(), 3.0f * 20 + 5);
}

TEST(SampleLineProfile, AbsurdZoomOrPointsGiveNothingInsteadOfOverflowing) {
    const std::vector<float> values = ramp(16);
    double length = 7.0;
    EXPECT_TRUE(sampleLineProfile(values, 4, 4, 1e-300, QPoint(), QPointF(0, 0), QPointF(1e10, 0), length).empty());
    EXPECT_EQ(length, 0.0);
    EXPECT_TRUE(sampleLineProfile(values, 4, 4, 1.0, QPoint(), QPointF(kNaN, 0), QPointF(1, 0), length).empty());
}

TEST(SampleBilinear, InterpolatesInsideAndIsNaNOutsideOrNextToMissingValues) {
    const std::vector<float> values{0.0f, 10.0f, 20.0f, 30.0f};  // 2 x 2
    EXPECT_FLOAT_EQ(sampleBilinear(values, 2, 2, 1.0, 1.0), 30.0f);
    EXPECT_FLOAT_EQ(sampleBilinear(values, 2, 2, 0.5, 0.5), 15.0f);
    EXPECT_TRUE(std::isnan(sampleBilinear(values, 2, 2, -0.01, 0.0)));
    EXPECT_TRUE(std::isnan(sampleBilinear(values, 2, 2, kNaN, 0.0)));
    EXPECT_TRUE(std::isnan(sampleBilinear({0.0f, kNaN, 1.0f, 1.0f}, 2, 2, 0.1, 0.1)));
    EXPECT_TRUE(std::isnan(sampleBilinear({0.0f, 1.0f, 2.0f}, 2, 2, 0.5, 0.5))) << "missing value past the end";
}

TEST(MaskPixelValue, ColourMasksUseTheirGreyValue) {
    QImage colour(2, 1, QImage::Format_RGB32);
    colour.setPixel(0, 0, qRgb(0, 0, 0));
    colour.setPixel(1, 0, qRgb(0, 10, 0));
    EXPECT_EQ(maskPixelValue(colour, 0, 0), 0);
    EXPECT_EQ(maskPixelValue(colour, 1, 0), 5);
    EXPECT_EQ(maskPixelValue(colour, 2, 0), -1) << "outside the mask: no value";
}

TEST(ApplyMaskToField, OnlyZeroSamplesBecomeNaNWhateverTheDepth) {
    QImage mask(2, 2, QImage::Format_Grayscale16);
    mask.fill(0);
    reinterpret_cast<quint16*>(mask.scanLine(0))[1] = 1;    // 0 once reduced to 8 bits
    reinterpret_cast<quint16*>(mask.scanLine(1))[0] = 256;  // low byte 0
    std::vector<float> field{1.0f, 2.0f, 3.0f, 4.0f};
    applyMaskToField(field, 2, 2, mask);
    EXPECT_TRUE(std::isnan(field[0]));
    EXPECT_FLOAT_EQ(field[1], 2.0f);
    EXPECT_FLOAT_EQ(field[2], 3.0f);
    EXPECT_TRUE(std::isnan(field[3]));

    std::vector<float> other{1.0f, 2.0f, 3.0f};
    applyMaskToField(other, 3, 1, mask);
    EXPECT_EQ(other, (std::vector<float>{1.0f, 2.0f, 3.0f}));
    std::vector<float> shortField{1.0f};
    applyMaskToField(shortField, 2, 2, mask);
    EXPECT_TRUE(std::isnan(shortField[0]));
}

// Geometry shared by the grid/raster tests: first point at (2 + 1 + 3 / 2, 1 + 2 + 5 / 2) = (4, 5).
struct Geometry {
    QRect roi{2, 1, 20, 20};
    int stepX = 3, stepY = 2, windowX = 3, windowY = 5, marginY = 2, marginX = 1;
};

TEST(ExpandGridToImage, EachPointFillsHalfAStepAroundItsPixel) {
    const Geometry g;
    const std::vector<float> grid{1.0f, 2.0f, kNaN, 4.0f};  // 2 x 2
    const std::vector<float> raster =
        expandGridToImage(grid, 2, 2, 12, 10, g.roi, g.stepX, g.stepY, g.windowX, g.windowY, g.marginY, g.marginX);
    ASSERT_EQ(raster.size(), 120u);
    auto at = [&](int x, int y) { return raster[size_t(y) * 12 + x]; };
    // Point (0, 0) at (4, 5) covers x 3..5, y 4..6; point (0, 1) at (4, 7) then overwrites row 6.
    EXPECT_FLOAT_EQ(at(3, 4), 1.0f);
    EXPECT_FLOAT_EQ(at(5, 5), 1.0f);
    EXPECT_TRUE(std::isnan(at(4, 6))) << "the later point (NaN) overwrites the shared row";
    EXPECT_FLOAT_EQ(at(6, 4), 2.0f);
    EXPECT_FLOAT_EQ(at(8, 8), 4.0f);
    EXPECT_TRUE(std::isnan(at(2, 5)));
    EXPECT_TRUE(std::isnan(at(4, 3)));
}

TEST(GridRasterConversions, RefuseShortInputsAndStepsBelowOne) {
    const Geometry g;
    const std::vector<float> grid(3, 1.0f);  // not 2 x 2
    EXPECT_TRUE(expandGridToImage(grid, 2, 2, 12, 10, g.roi, 3, 2, 3, 5, 2, 1).empty());
    EXPECT_TRUE(interpolateGridToImage(grid, 2, 2, 12, 10, g.roi, 3, 2, 3, 5, 2, 1).empty());
    EXPECT_TRUE(sampleImageAtGrid(std::vector<float>(119), 12, 10, 2, 2, g.roi, 3, 2, 3, 5, 2, 1).empty());
    const std::vector<float> full(4, 1.0f);
    EXPECT_TRUE(expandGridToImage(full, 2, 2, 12, 10, g.roi, 0, 2, 3, 5, 2, 1).empty());
    EXPECT_TRUE(interpolateGridToImage(full, 2, 2, 12, 10, g.roi, 3, -1, 3, 5, 2, 1).empty());
}

TEST(SampleImageAtGrid, TakesThePixelUnderEachPointAndNaNOutsideTheRaster) {
    const Geometry g;
    const std::vector<float> image = ramp(12 * 10);
    const std::vector<float> grid =
        sampleImageAtGrid(image, 12, 10, 3, 3, g.roi, g.stepX, g.stepY, g.windowX, g.windowY, g.marginY, g.marginX);
    ASSERT_EQ(grid.size(), 9u);
    EXPECT_FLOAT_EQ(grid[0], 5.0f * 12 + 4);
    EXPECT_FLOAT_EQ(grid[1], 5.0f * 12 + 7);
    EXPECT_FLOAT_EQ(grid[5], 7.0f * 12 + 10);
    const std::vector<float> beyond =
        sampleImageAtGrid(image, 12, 10, 4, 4, g.roi, g.stepX, g.stepY, g.windowX, g.windowY, g.marginY, g.marginX);
    EXPECT_TRUE(std::isnan(beyond[3])) << "x = 13 lies outside";
    EXPECT_TRUE(std::isnan(beyond[12])) << "y = 11 lies outside";
}

TEST(InterpolateGridToImage, BilinearInsideNearestWithinHalfAStepNaNBeyond) {
    const QRect roi(0, 0, 40, 40);
    // First point at (0 + 0 + 4 / 2, 0 + 0 + 4 / 2) = (2, 2), steps 4: points at x = 2, 6, 10.
    const std::vector<float> grid{0.0f, 4.0f, 8.0f, 10.0f, 14.0f, 18.0f};  // 3 x 2
    const std::vector<float> raster = interpolateGridToImage(grid, 3, 2, 16, 10, roi, 4, 4, 4, 4, 0, 0);
    ASSERT_EQ(raster.size(), 160u);
    auto at = [&](int x, int y) { return raster[size_t(y) * 16 + x]; };
    EXPECT_FLOAT_EQ(at(2, 2), 0.0f);
    EXPECT_FLOAT_EQ(at(3, 2), 1.0f);
    EXPECT_FLOAT_EQ(at(4, 4), 7.0f);
    EXPECT_FLOAT_EQ(at(11, 3), 8.0f) << "a quarter step past the last column";
    // Exactly half a step past the last column lies outside [-0.5, cols - 0.5).
    EXPECT_TRUE(std::isnan(at(12, 2)));
    EXPECT_FLOAT_EQ(at(0, 2), 0.0f) << "half a step before the first column rounds to it";
    EXPECT_TRUE(std::isnan(at(2, 9)));

    const std::vector<float> holed{0.0f, kNaN, 8.0f, 10.0f, 14.0f, 18.0f};
    const std::vector<float> sparse = interpolateGridToImage(holed, 3, 2, 16, 10, roi, 4, 4, 4, 4, 0, 0);
    EXPECT_TRUE(std::isnan(sparse[3 * 16 + 7])) << "a NaN corner empties its cells";
    EXPECT_TRUE(std::isnan(sparse[2 * 16 + 2])) << "a point's own pixel lies in the cell it opens";
    EXPECT_FLOAT_EQ(sparse[6 * 16 + 2], 10.0f) << "the last row lies outside the cells: nearest point";
}

TEST(GridRasterConversions, SamplingAnInterpolatedRasterGivesTheGridBack) {
    const Geometry g;
    std::vector<float> grid(5 * 4);
    for (size_t k = 0; k < grid.size(); ++k) grid[k] = std::sin(float(k)) * 3.0f;
    const std::vector<float> raster = interpolateGridToImage(grid, 5, 4, 40, 30, g.roi, g.stepX, g.stepY, g.windowX,
                                                             g.windowY, g.marginY, g.marginX);
    const std::vector<float> back = sampleImageAtGrid(raster, 40, 30, 5, 4, g.roi, g.stepX, g.stepY, g.windowX,
                                                      g.windowY, g.marginY, g.marginX);
    ASSERT_EQ(back.size(), grid.size());
    for (size_t k = 0; k < grid.size(); ++k) EXPECT_FLOAT_EQ(back[k], grid[k]) << k;
}

QString gLastMessage;
void captureMessage(QtMsgType, const QMessageLogContext&, const QString& message) { gLastMessage = message; }

TEST(LogHeightStats, WritesOneLineWithRangeMeanAndNonFiniteCount) {
    const std::vector<float> values{1.0f, kNaN, 3.0f, -kInf, 8.0f};
    EXPECT_EQ(heightStatsLine("ref", values, 5, 1),
              QStringLiteral("[Height] ref : 5x1  taille=5 (conforme)  min=1  max=8  moyenne=4  non finis=2"));
    EXPECT_EQ(heightStatsLine("t", {kNaN}, 2, 2),
              QStringLiteral("[Height] t : 2x2  taille=1 (INCOHERENTE)  min=0  max=0  moyenne=0  non finis=1"));
    gLastMessage.clear();
    const QtMessageHandler previous = qInstallMessageHandler(captureMessage);
    logHeightStats("ref", values, 5, 1);
    qInstallMessageHandler(previous);
    EXPECT_EQ(gLastMessage, heightStatsLine("ref", values, 5, 1));
}

} // namespace
} // namespace tavro::gui
