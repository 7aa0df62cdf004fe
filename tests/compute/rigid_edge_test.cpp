// Points near the image edge after a large rigid pre-registration: the shifted
// deformed image repeats its edge pixels where the image ends, and a subset
// that needs them is not measured.

#include <QCoreApplication>
#include <QImage>

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "compute/compute_worker.h"
#include "compute/streamed_nlc.h"
#include "gpu/runtime_base.h"
#include "support/synthetic_images.h"

namespace tavro::gui {
namespace {

constexpr int kSize = 160, kWindow = 21, kStep = 6, kReach = 4;
constexpr int kOrigin = kWindow / 2 + kReach;
// The material moves by (23.3, -17.6) px: registration takes out (23, -18) by
// reading the deformed image 23 px to the right and 18 px higher, which holds
// real pixels only up to column 159 - 23 and from row 18.
constexpr double kUx = 23.3, kUy = -17.6;
constexpr double kLastColumn = kSize - 1 - 23, kFirstRow = 18;

QImage toImage(const testing::Image& image) {
    const std::vector<uint8_t> bytes = testing::quantize8(image);
    QImage out(image.width, image.height, QImage::Format_Grayscale8);
    for (int y = 0; y < image.height; ++y) std::memcpy(out.scanLine(y), &bytes[size_t(y) * image.width], image.width);
    return out;
}

ComputationResult compute(bool heaviside) {
    int argc = 1;
    char name[] = "rigid_edge_test";
    char* argv[] = {name, nullptr};
    static const std::unique_ptr<QCoreApplication> app =
        QCoreApplication::instance() ? nullptr : std::make_unique<QCoreApplication>(argc, argv);
    testing::SpeckleOptions options;
    options.width = options.height = kSize;
    options.supersampling = 2;
    static const testing::ImagePair pair = testing::makeRenderedPair(options, testing::translationField(kUx, kUy));
    ComputationRequest request;
    request.reference = toImage(pair.reference);
    request.deformed = toImage(pair.deformed);
    request.roi = QRect(0, 0, kSize, kSize);
    PixelSearchParams& p = request.pixelSearch;
    p.windowSizeX = p.windowSizeY = kWindow;
    p.stepX = p.stepY = kStep;
    p.maxU = p.maxV = p.searchUp = p.searchDown = p.searchLeft = p.searchRight = kReach;
    request.subpixel.interpolation = 1;
    request.subpixel.heaviside = heaviside;
    request.computeStrains = false;
    ComputeWorker worker;
    ComputationResult result;
    int succeeded = 0;
    QObject::connect(&worker, &ComputeWorker::succeeded, [&](const ComputationResult& r) { result = r, ++succeeded; });
    worker.startComputation(request);
    EXPECT_EQ(succeeded, 1);
    return result;
}

// Every measured point is right; a point whose subset needs pixels past the
// deformed image's edge is NaN, one whose subset and interpolation taps stay
// within it is measured.
TEST(RigidEdge, PointsReadingBeyondTheShiftedDeformedImageAreNaN) {
    int devices = 0;
    if (cudaGetDeviceCount(&devices) != cudaSuccess || devices == 0) GTEST_SKIP() << "no CUDA device";
    for (bool heaviside : {false, true}) {
        SCOPED_TRACE(heaviside ? "discontinuity route" : "continuous route");
        const ComputationResult result = compute(heaviside);
        ASSERT_TRUE(result.displacements);
        ASSERT_EQ(result.rigid.shiftX, -23.0f);
        ASSERT_EQ(result.rigid.shiftY, 18.0f);
        const PixelDisplacementResult& d = *result.displacements;
        const int half = kWindow / 2;
        int measured = 0;
        for (int k = 0; k < d.gridWidth * d.gridHeight; ++k) {
            const double x = kOrigin + (k % d.gridWidth) * kStep, y = kOrigin + (k / d.gridWidth) * kStep;
            // Where the subset lands in the shifted image.
            const double right = x + half + (kUx - 23.0), top = y - half + (kUy + 18.0);
            if (right > kLastColumn || top < kFirstRow) {
                EXPECT_TRUE(std::isnan(d.dispX[k]) && std::isnan(d.dispY[k])) << "point " << k;
            } else if (right + 2 <= kLastColumn && top - 1 >= kFirstRow) {
                EXPECT_FALSE(std::isnan(d.dispX[k])) << "point " << k;
            }
            if (std::isnan(d.dispX[k])) continue;
            ++measured;
            EXPECT_NEAR(d.dispX[k] - result.rigid.shiftX, kUx, 0.05) << "point " << k;
            EXPECT_NEAR(d.dispY[k] - result.rigid.shiftY, kUy, 0.05) << "point " << k;
        }
        EXPECT_GT(measured, 200);
    }
}

// Region pixel c shows the image where roi.left + c - shift lies in [0, width - 1],
// for regions anywhere in the image and shifts of any sign, whole or not.
TEST(RigidEdge, ShiftedImageAreaHoldsTheRegionPixelsThatReadTheImage) {
    const QSize image(100, 80);
    struct Case {
        QRect roi;
        float shiftX, shiftY;
    };
    for (const Case& c : {Case{{0, 0, 100, 80}, -23.0f, 18.0f}, Case{{10, 5, 60, 50}, 12.5f, -7.25f},
                          Case{{30, 20, 40, 40}, 0.0f, 0.0f}, Case{{0, 0, 100, 80}, 130.0f, 0.0f}}) {
        const QRect area = shiftedImageArea(c.roi, image, c.shiftX, c.shiftY);
        for (int y = 0; y < c.roi.height(); ++y)
            for (int x = 0; x < c.roi.width(); ++x) {
                const float ix = float(c.roi.left() + x) - c.shiftX, iy = float(c.roi.top() + y) - c.shiftY;
                const bool real = ix >= 0.0f && ix <= float(image.width() - 1) && iy >= 0.0f &&
                                  iy <= float(image.height() - 1);
                ASSERT_EQ(area.contains(x, y), real) << x << "," << y << " shift " << c.shiftX << "," << c.shiftY;
            }
    }
}

} // namespace
} // namespace tavro::gui
