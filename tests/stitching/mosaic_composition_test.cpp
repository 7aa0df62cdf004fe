#include "stitching/mosaic_composition.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "support/synthetic_images.h"

namespace tavro::stitching {
namespace {

// 16-bit, 257 levels per 8-bit grey level: rounding stays far below what the
// resampling is checked for.
QImage sixteenBit(const testing::Image& image) {
    QImage out(image.width, image.height, QImage::Format_Grayscale16);
    for (int y = 0; y < image.height; ++y)
        for (int x = 0; x < image.width; ++x)
            reinterpret_cast<quint16*>(out.scanLine(y))[x] =
                quint16(std::clamp(std::lround(image.at(x, y) * 257.0), 0L, 65535L));
    return out;
}

double grey8(const QImage& image, int x, int y) {
    return reinterpret_cast<const quint16*>(image.constScanLine(y))[x] / 257.0;
}

QImage composeOne(const QImage& tile, float tx, float ty) {
    TilePosition p;
    p.tileIndex = 0;
    p.isPresent = true;
    p.tx = tx;
    p.ty = ty;
    QImage mosaic;
    QString error;
    EXPECT_TRUE(composeFromPositions({tile}, {p}, mosaic, error)) << error.toStdString();
    return mosaic;
}

// Band-limited speckle (contrast +-100 grey levels) against its exact Fourier
// shift, away from the borders where the periodic shift and the tile's
// reflected edge differ: the cubic B-spline's own error on such speckle,
// 0.026 grey levels rms and 0.18 at worst, is checked at about twice that.
TEST(MosaicComposition, FractionalPositionsMoveSpeckleAsAnExactShiftWould) {
    testing::SpeckleOptions options;
    options.width = options.height = 128;
    options.seed = 3;
    const testing::Image speckle = testing::makeBandLimitedSpeckle(options);
    const QImage tile = sixteenBit(speckle);
    EXPECT_EQ(composeOne(tile, 5.0f, 2.0f).copy(5, 2, 128, 128), tile) << "a whole-pixel position copies the tile";

    struct Shift {
        float tx, ty;     // the tile's position
        double ux, uy;    // its content's move from the whole-pixel corner
    };
    // Positions left of or above the origin truncate toward zero: the fraction is negative.
    const Shift shifts[] = {{0.1f, 0.0f, 0.1, 0.0},   {0.5f, 0.5f, 0.5, 0.5},     {3.9f, 1.25f, 0.9, 0.25},
                            {-0.3f, 0.7f, -0.3, 0.7}, {0.75f, -0.6f, 0.75, -0.6}};
    double worstRms = 0.0, worstError = 0.0;
    for (const Shift& s : shifts) {
        const QImage mosaic = composeOne(tile, s.tx, s.ty);
        ASSERT_EQ(mosaic.size(), tile.size() + QSize(int(s.tx), int(s.ty)));
        const testing::Image truth = testing::fourierShift(speckle, s.ux, s.uy);
        const int cornerX = int(s.tx), cornerY = int(s.ty);
        double sum = 0.0;
        int count = 0;
        for (int y = 12; y < 116; ++y)
            for (int x = 12; x < 116; ++x) {
                const double e = grey8(mosaic, cornerX + x, cornerY + y) - truth.at(x, y);
                sum += e * e;
                ++count;
                worstError = std::max(worstError, std::abs(e));
            }
        worstRms = std::max(worstRms, std::sqrt(sum / count));
    }
    EXPECT_LT(worstRms, 0.05);
    EXPECT_LT(worstError, 0.35);
}

// Taps that do not sum to one, or an edge read from outside the tile, show at
// once on a flat tile; 16 bits show a relative error of 1e-5.
TEST(MosaicComposition, AFlatTileStaysFlatAtAnyFractionInBothDepths) {
    for (const QImage::Format format : {QImage::Format_Grayscale8, QImage::Format_Grayscale16}) {
        QImage tile(37, 23, format);
        const int value = format == QImage::Format_Grayscale16 ? 51234 : 200;
        for (int y = 0; y < tile.height(); ++y)
            for (int x = 0; x < tile.width(); ++x) {
                if (format == QImage::Format_Grayscale16)
                    reinterpret_cast<quint16*>(tile.scanLine(y))[x] = quint16(value);
                else
                    tile.scanLine(y)[x] = uchar(value);
            }
        const QImage mosaic = composeOne(tile, 2.37f, 1.81f);
        ASSERT_EQ(mosaic.format(), format);
        ASSERT_EQ(mosaic.size(), QSize(39, 24));
        for (int y = 1; y < 24; ++y)
            for (int x = 2; x < 39; ++x) {
                const int v = format == QImage::Format_Grayscale16
                                  ? reinterpret_cast<const quint16*>(mosaic.constScanLine(y))[x]
                                  : mosaic.constScanLine(y)[x];
                ASSERT_EQ(v, value) << x << "," << y << " of " << (format == QImage::Format_Grayscale16 ? 16 : 8)
                                    << " bits";
            }
    }
}

}  // namespace
}  // namespace tavro::stitching
