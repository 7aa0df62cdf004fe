#include "gui/foundation/kernel_preview_widget.h"
#include "support/test_application.h"

#include <QImage>

#include <gtest/gtest.h>

#include <cstdlib>
#include <numeric>

namespace tavro::gui {
namespace {

using Texts = std::vector<std::vector<QString>>;

std::vector<float> ramp(int count) {
    std::vector<float> values(count);
    std::iota(values.begin(), values.end(), 1.0f);
    return values;
}

bool hasPixelNear(const QImage& image, const QColor& colour, int tolerance) {
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            if (std::abs(c.red() - colour.red()) <= tolerance && std::abs(c.green() - colour.green()) <= tolerance &&
                std::abs(c.blue() - colour.blue()) <= tolerance)
                return true;
        }
    }
    return false;
}

TEST(KernelPreviewWidget, WithoutAFirstKernelAsksForASelection) {
    test::testApplication();
    KernelPreviewWidget preview;
    EXPECT_EQ(preview.sizeHint(), QSize(100, 20));
    preview.setKernels({}, ramp(5));
    EXPECT_EQ(preview.sizeHint(), QSize(100, 20));
    EXPECT_TRUE(preview.cellTexts().empty());
    preview.resize(preview.sizeHint());
    EXPECT_TRUE(hasPixelNear(preview.grab().toImage(), QColor(150, 158, 172), 8));
}

TEST(KernelPreviewWidget, FirstKernelAloneShowsOneRowOfItsCoefficients) {
    test::testApplication();
    KernelPreviewWidget preview;
    preview.setKernels({-1.0f, -0.5f, 0.0f, 0.5f, 1.0f}, {});
    EXPECT_EQ(preview.sizeHint(), QSize(180, 22));
    EXPECT_EQ(preview.minimumSizeHint(), preview.sizeHint());
    EXPECT_EQ(preview.sizePolicy().verticalPolicy(), QSizePolicy::Fixed);
    EXPECT_EQ(preview.cellTexts(), (Texts{{"-1", "-0.5", "0", "0.5", "1"}}));
}

TEST(KernelPreviewWidget, CellsHoldTheProductOfTheirColumnAndRowCoefficients) {
    test::testApplication();
    KernelPreviewWidget preview;
    preview.setKernels({-1.0f, 0.0f, 1.0f}, {0.25f, 0.5f});
    EXPECT_EQ(preview.sizeHint(), QSize(3 * 32 + 20, 2 * 16 + 6));
    EXPECT_EQ(preview.cellTexts(), (Texts{{"-0.25", "0", "0.25"}, {"-0.5", "0", "0.5"}}));
    preview.setKernels({0.0001234f, 12345.0f}, {1.0f});
    EXPECT_EQ(preview.cellTexts(), (Texts{{"0.000123", "1.23e+04"}}));
}

TEST(KernelPreviewWidget, NineByNineShowsSevenBySevenAroundAnEllipsisCross) {
    test::testApplication();
    KernelPreviewWidget preview;
    preview.setKernels(ramp(9), ramp(9));
    EXPECT_EQ(preview.sizeHint(), QSize(244, 118));
    const Texts texts = preview.cellTexts();
    ASSERT_EQ(texts.size(), 7u);
    for (std::size_t i = 0; i < 7; ++i) {
        ASSERT_EQ(texts[i].size(), 7u);
        EXPECT_EQ(texts[3][i], QStringLiteral("..."));
        EXPECT_EQ(texts[i][3], QStringLiteral("..."));
    }
    EXPECT_EQ(texts[0][0], QStringLiteral("1"));
    EXPECT_EQ(texts[0][6], QStringLiteral("9"));
    EXPECT_EQ(texts[6][0], QStringLiteral("9"));
    EXPECT_EQ(texts[6][6], QStringLiteral("81"));
    EXPECT_EQ(texts[2][4], QStringLiteral("21"));
    // Centred in a narrower widget the grid overflows both sides and still paints.
    preview.resize(60, 118);
    EXPECT_TRUE(hasPixelNear(preview.grab().toImage(), QColor(122, 161, 199), 40));
}

TEST(KernelPreviewWidget, SevenEntriesShowWholeAndEightAreElided) {
    test::testApplication();
    KernelPreviewWidget preview;
    preview.setKernels(ramp(7), {});
    EXPECT_EQ(preview.cellTexts(), (Texts{{"1", "2", "3", "4", "5", "6", "7"}}));
    preview.setKernels(ramp(8), {});
    EXPECT_EQ(preview.cellTexts(), (Texts{{"1", "2", "3", "...", "6", "7", "8"}}));
    EXPECT_EQ(preview.sizeHint(), QSize(244, 22));
}

}  // namespace
}  // namespace tavro::gui
