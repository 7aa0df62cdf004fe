#include "compute/worker_conversions.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace tavro::gui {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

// Pixel (x, y) = (x + 3 y) mod 256: every block mean differs.
QImage patternImage(int width, int height) {
    QImage image(width, height, QImage::Format_Grayscale8);
    for (int y = 0; y < height; ++y) {
        uchar* line = image.scanLine(y);
        for (int x = 0; x < width; ++x) line[x] = uchar((x + 3 * y) & 0xff);
    }
    return image;
}

float blockMean(const QImage& image, int bx, int by, int block) {
    float sum = 0.0f;
    for (int y = by * block; y < (by + 1) * block; ++y)
        for (int x = bx * block; x < (bx + 1) * block; ++x) sum += float(image.constScanLine(y)[x]) / 255.0f;
    return sum * (1.0f / float(block * block));
}

struct Sampling {
    int width, height, block;
};

class SampleImageValuesTest : public ::testing::TestWithParam<Sampling> {};

// Whole images up to 10,000,000 pixels, 8 x 8 block means above, 16 x 16 above
// 100,000,000; an incomplete last block row or column is dropped.
TEST_P(SampleImageValuesTest, LargeImagesAreReducedToBlockMeans) {
    const auto [imageWidth, imageHeight, block] = GetParam();
    const QImage image = patternImage(imageWidth, imageHeight);
    int width = 0, height = 0;
    const std::vector<float> values = sampleImageValues(image, width, height);
    EXPECT_EQ(width, imageWidth / block);
    EXPECT_EQ(height, imageHeight / block);
    ASSERT_EQ(values.size(), size_t(width) * size_t(height));
    for (auto [bx, by] : {std::pair{0, 0}, std::pair{width - 1, height - 1}, std::pair{width / 4, height / 3}})
        EXPECT_FLOAT_EQ(values[size_t(by) * width + bx], blockMean(image, bx, by, block)) << bx << "," << by;
}

INSTANTIATE_TEST_SUITE_P(SampleImageValues, SampleImageValuesTest,
                         ::testing::Values(Sampling{4000, 2500, 1}, Sampling{4000, 2501, 8},
                                           Sampling{12000, 9000, 16}));

TEST(ImageConversions, SixteenBitSamplesOver65535AndColoursThroughTheirGreyValue) {
    QImage deep(2, 1, QImage::Format_Grayscale16);
    reinterpret_cast<quint16*>(deep.scanLine(0))[0] = 65535;
    reinterpret_cast<quint16*>(deep.scanLine(0))[1] = 257;
    EXPECT_EQ(imageToFloatVector(deep), (std::vector<float>{1.0f, 257.0f / 65535.0f}));
    QImage colour(1, 1, QImage::Format_RGB32);
    colour.setPixel(0, 0, qRgb(32, 64, 96));
    EXPECT_FLOAT_EQ(imageToFloatVector(colour)[0], float((11 * 32 + 16 * 64 + 5 * 96) / 32) / 255.0f);
}

TEST(ImageConversions, RegionPixelsOutsideTheImageAreZero) {
    const QImage image = patternImage(10, 10);
    const std::vector<float> values = roiToNormalizedFloats(image, QRect(8, 9, 4, 2));
    ASSERT_EQ(values.size(), 8u);
    EXPECT_FLOAT_EQ(values[0], float(8 + 27) / 255.0f);
    EXPECT_FLOAT_EQ(values[1], float(9 + 27) / 255.0f);
    EXPECT_EQ(values[2], 0.0f);
    EXPECT_EQ(values[4], 0.0f) << "row 10 lies below the image";
}

TEST(CropFloatField, CutsTheRectangleWithZerosOutsideTheRaster) {
    const std::vector<float> values{0, 1, 2, 3, 4, 5};  // 3 x 2
    EXPECT_EQ(cropFloatField(values, 3, 2, QRect(1, 0, 2, 2)), (std::vector<float>{1, 2, 4, 5}));
    EXPECT_EQ(cropFloatField(values, 3, 2, QRect(-1, 1, 2, 2)), (std::vector<float>{0, 3, 0, 0}));
    EXPECT_EQ(cropFloatField({0, 1}, 3, 2, QRect(0, 0, 3, 1)), (std::vector<float>{0, 1, 0}))
        << "a short raster is never read past its end";
}

// A 3 x 2 grid measured with window 5 x 3, reaches maxU 2 (rows) and maxV 1
// (columns), steps 4 and 6, in roi (10, 20): points at x = 10 + 2 + 1 + 4 i and
// y = 20 + 1 + 2 + 6 j.
struct MaskedGrid {
    QRect roi{10, 20, 30, 30};
    GridDescriptor grid = makeGridDescriptor(0, 0, 4, 6, 5, 3, 2, 1, 3, 2);
    QImage mask;

    MaskedGrid() {
        mask = QImage(60, 60, QImage::Format_Grayscale16);
        mask.fill(1000);
    }
    QPoint point(int i, int j) const { return {roi.left() + 3 + 4 * i, roi.top() + 3 + 6 * j}; }
    void setMask(QPoint p, quint16 value) { reinterpret_cast<quint16*>(mask.scanLine(p.y()))[p.x()] = value; }
};

PixelDisplacementResult displacementGrid() {
    PixelDisplacementResult result;
    result.gridWidth = 3;
    result.gridHeight = 2;
    result.dispX = {0, 1, 2, 3, 4, 5};
    result.dispY = result.dispX;
    result.duDx = result.dispX;
    return result;
}

TEST(MaskDisplacementResult, ExcludesThePointsWhereTheEngineMeasured) {
    MaskedGrid g;
    ASSERT_EQ(g.point(0, 0), QPoint(13, 23));
    g.setMask(g.point(1, 0), 0);
    g.setMask(g.point(2, 1), 0);
    g.setMask(g.point(0, 1), 1);  // 0 once reduced to 8 bits: still kept
    g.setMask(g.point(2, 0) + QPoint(1, 0), 0);  // next to a point, not under it
    PixelDisplacementResult result = displacementGrid();
    maskDisplacementResult(result, g.mask, g.roi, g.grid);
    for (int k : {0, 2, 3, 4}) EXPECT_EQ(result.dispX[k], float(k)) << k;
    for (int k : {1, 5}) {
        EXPECT_TRUE(std::isnan(result.dispX[k])) << k;
        EXPECT_TRUE(std::isnan(result.dispY[k])) << k;
        EXPECT_TRUE(std::isnan(result.duDx[k])) << k;
    }
    EXPECT_TRUE(result.dvDy.empty()) << "fields not computed stay empty";
}

TEST(MaskDisplacementResult, EngineMaskViewExcludesTheSamePixels) {
    MaskedGrid g;
    g.setMask(g.point(1, 0), 0);
    g.setMask(g.point(0, 1), 1);
    g.setMask(g.point(2, 1), 256);  // high byte only
    const QImage view = engineMaskView(g.mask, g.roi);
    ASSERT_EQ(view.size(), g.roi.size());
    ASSERT_EQ(view.format(), QImage::Format_Grayscale8);
    PixelDisplacementResult result = displacementGrid();
    maskDisplacementResult(result, g.mask, g.roi, g.grid);
    for (int j = 0; j < 2; ++j) {
        for (int i = 0; i < 3; ++i) {
            const QPoint inRoi = g.point(i, j) - g.roi.topLeft();
            const bool engineExcludes = view.constScanLine(inRoi.y())[inRoi.x()] == 0;
            EXPECT_EQ(engineExcludes, std::isnan(result.dispX[j * 3 + i])) << i << "," << j;
        }
    }
    const QImage beyond = engineMaskView(g.mask, QRect(55, 55, 10, 10));
    EXPECT_EQ(beyond.constScanLine(9)[9], 255) << "outside the mask nothing is excluded, as for the results";
    EXPECT_TRUE(engineMaskView(QImage(), g.roi).isNull());
}

TEST(MaskDisplacementResult, KeepsWhatItCannotJudge) {
    MaskedGrid g;
    g.mask = QImage(20, 25, QImage::Format_Grayscale8);
    g.mask.fill(0);
    PixelDisplacementResult result = displacementGrid();
    maskDisplacementResult(result, QImage(), g.roi, g.grid);
    GridDescriptor other = g.grid;
    other.cols = 4;
    maskDisplacementResult(result, g.mask, g.roi, other);
    EXPECT_EQ(result.dispX[0], 0.0f) << "no mask, or a mask for another grid";
    maskDisplacementResult(result, g.mask, g.roi, g.grid);
    EXPECT_TRUE(std::isnan(result.dispX[0])) << "(13, 23) lies inside";
    EXPECT_EQ(result.dispX[2], 2.0f) << "(21, 23) lies outside the mask image";
    EXPECT_EQ(result.dispX[3], 3.0f) << "(13, 29) lies outside the mask image";
}

TEST(MaskStrainResult, AlsoMasksCriteriaLongEnoughToHoldThePoint) {
    MaskedGrid g;
    g.setMask(g.point(2, 1), 0);
    StrainResult strain;
    strain.gridWidth = 3;
    strain.gridHeight = 2;
    strain.epsXX.assign(6, 1.0f);
    strain.rotation.assign(6, 2.0f);
    strain.criteria["vm"].assign(6, 3.0f);
    strain.criteria["short"].assign(5, 4.0f);
    maskStrainResult(strain, g.mask, g.roi, g.grid);
    EXPECT_TRUE(std::isnan(strain.epsXX[5]));
    EXPECT_TRUE(std::isnan(strain.rotation[5]));
    EXPECT_TRUE(std::isnan(strain.criteria["vm"][5]));
    EXPECT_EQ(strain.criteria["short"], std::vector<float>(5, 4.0f));
    EXPECT_EQ(strain.epsXX[4], 1.0f);
}

TEST(MaskFractureResult, LeavesTheCrackPositionAndSlipFieldsAlone) {
    MaskedGrid g;
    g.setMask(g.point(0, 0), 0);
    FractureResult fracture;
    fracture.gridWidth = 3;
    fracture.gridHeight = 2;
    for (auto& field : fracture.fields) field.assign(6, 7.0f);
    maskFractureResult(fracture, g.mask, g.roi, g.grid);
    for (int f = 0; f <= 10; ++f) EXPECT_TRUE(std::isnan(fracture.fields[f][0])) << f;
    for (int f = 11; f <= 14; ++f) EXPECT_EQ(fracture.fields[f][0], 7.0f) << f;
    EXPECT_EQ(fracture.fields[0][1], 7.0f);
}

FractureResult crack(std::vector<float> intensity, std::vector<float> alpha, std::vector<float> beta) {
    FractureResult result;
    result.fields[FractureResult::OpeningIntensity] = std::move(intensity);
    result.fields[FractureResult::CrackAngle] = std::move(alpha);
    result.fields[FractureResult::OpeningDirection] = std::move(beta);
    return result;
}

TEST(ComputeSlipDecomposition, OpeningAlongTheNormalIsPureEdgeAndAlongTheCrackPureScrew) {
    FractureResult result = crack({2.0f, 2.0f, 1.0f}, {90.0f, 0.0f, 0.0f}, {0.0f, 0.0f, 300.0f});
    computeSlipDecomposition(result);
    const auto& screw = result.fields[FractureResult::Longitudinal];
    const auto& edge = result.fields[FractureResult::Transverse];
    const auto& angle = result.fields[FractureResult::RelativeAngle];
    ASSERT_EQ(screw.size(), 3u);
    EXPECT_NEAR(screw[0], 0.0f, 1e-6f);
    EXPECT_NEAR(edge[0], 2.0f, 1e-6f);
    EXPECT_NEAR(angle[0], 0.0f, 1e-4f);
    EXPECT_NEAR(screw[1], 2.0f, 1e-6f);
    EXPECT_NEAR(edge[1], 0.0f, 1e-6f);
    EXPECT_NEAR(angle[1], 90.0f, 1e-4f);
    EXPECT_NEAR(angle[2], 150.0f, 1e-3f) << "-210 degrees wraps to 150";
}

TEST(ComputeSlipDecomposition, NoOpeningGivesZeroAndMissingInputsGiveNaN) {
    FractureResult result = crack({0.0f, -1.0f, kNaN, kInf, 1.0f, 1.0f}, {10, 10, 10, 10, kNaN, 10},
                                  {10, 10, 10, 10, 10, -kInf});
    computeSlipDecomposition(result);
    for (int f : {12, 13, 14}) {
        const auto& field = result.fields[f];
        EXPECT_EQ(field[0], 0.0f) << f;
        EXPECT_EQ(field[1], 0.0f) << f;
        for (int k = 2; k < 6; ++k) EXPECT_TRUE(std::isnan(field[k])) << f << " " << k;
    }
}

TEST(ComputeSlipDecomposition, ActsOnlyWhenTheThreeInputsHaveOneSize) {
    FractureResult result = crack({1.0f, 1.0f}, {0.0f}, {0.0f, 0.0f});
    result.fields[FractureResult::Longitudinal] = {9.0f};
    computeSlipDecomposition(result);
    EXPECT_EQ(result.fields[FractureResult::Longitudinal], std::vector<float>{9.0f});
    EXPECT_TRUE(result.fields[FractureResult::Transverse].empty());
}

} // namespace
} // namespace tavro::gui
