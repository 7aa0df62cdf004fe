#include "gui/mainwindow/result_summary.h"

#include <gtest/gtest.h>

#include <memory>

namespace tavro::gui {

TEST(ResultSummary, NamesTheModelGridRoiRangesAndStrainsWithFourDigits) {
    ComputationResult result;
    auto grid = std::make_shared<PixelDisplacementResult>();
    grid->gridWidth = 17;
    grid->gridHeight = 9;
    result.displacements = grid;
    result.shapeFunctionName = QStringLiteral("Affine");
    result.interpolationName = QStringLiteral("Bicubic");
    result.rigid = {-3.0f, 1.0f, 12.3456f};
    result.roi = QRect(8, 4, 140, 70);
    result.autoMinUx = -0.123456f, result.autoMaxUx = 2.5f;
    result.autoMinUy = 0.000012345f, result.autoMaxUy = 123456.0f;
    EXPECT_EQ(resultSummaryText(result).toStdString(),
              "Rigid \u0394x=-3 \u0394y=1 (\u03c1=12.35) | Affine 17 x 9 (Bicubic) sur ROI (8, 4) 140 x 70 | "
              "Ux:[-0.1235,2.5] Uy:[1.234e-05,1.235e+05]");

    result.hasStrain = true;
    result.strainAutoMin = {0.001f, -0.002f, 0.0f, 0.1f, -0.1f, 0.5f};
    result.strainAutoMax = {0.002f, 0.0f, 0.003f, 0.2f, 0.0f, 0.75f};
    const QString text = resultSummaryText(result);
    EXPECT_TRUE(text.endsWith(QStringLiteral(" | \u03b5xx:[0.001,0.002] \u03b5yy:[-0.002,0] \u03b5xy:[0,0.003] "
                                             "\u03b5I:[0.1,0.2] \u03b5II:[-0.1,0] Rotation \u03c9:[0.5,0.75]")))
        << text.toStdString();
}

}  // namespace tavro::gui
