#include "stitching/simple_stitcher.h"

#include <gtest/gtest.h>

#include "images/image_write.h"
#include "support/temp_dir.h"

namespace tavro::stitching {
namespace {

class SimpleStitcher : public ::testing::Test {
protected:
    // A tile of one grey level, width not a multiple of four.
    QString tile(int index, int width, int height, int value, QImage::Format format = QImage::Format_Grayscale8) {
        QImage image(width, height, format);
        image.fill(QColor(value, value, value));
        const QString path = QString::fromStdString(dir_.file(QStringLiteral("t%1.tif").arg(index).toStdString()).string());
        QString error;
        EXPECT_TRUE(gui::writeGrayTiff(path, image, error, {})) << error.toStdString();
        return path;
    }

    testing::TempDir dir_{"tavro_simple"};
};

TEST_F(SimpleStitcher, OneTileIsTheMosaic) {
    QImage mosaic;
    QString error;
    ASSERT_TRUE(stitchMosaicSimple({tile(0, 13, 7, 200, QImage::Format_Grayscale16)}, 1, 1, 20, 20, 0, mosaic, error));
    EXPECT_EQ(mosaic.format(), QImage::Format_Grayscale16);
    EXPECT_EQ(mosaic.size(), QSize(13, 7));
    EXPECT_EQ(reinterpret_cast<const quint16*>(mosaic.constScanLine(6))[12], 200 * 257);
}

TEST_F(SimpleStitcher, HorizontalOverlapAppliesToTheWidth) {
    // 50 % of 20 px wide tiles side by side and 0 % vertically: 30 x 10.
    QImage mosaic;
    QString error;
    ASSERT_TRUE(stitchMosaicSimple({tile(0, 20, 10, 10), tile(1, 20, 10, 10)}, 1, 2, 50, 0, 1, mosaic, error))
        << error.toStdString();
    EXPECT_EQ(mosaic.size(), QSize(30, 10));
}

TEST_F(SimpleStitcher, AOnePixelOverlapBlendsWithoutABlackSeam) {
    // 10 % of 10 px: the tiles share one column, which both tiles weigh equally.
    QImage mosaic;
    QString error;
    ASSERT_TRUE(stitchMosaicSimple({tile(0, 10, 4, 100), tile(1, 10, 4, 200)}, 1, 2, 10, 0, 1, mosaic, error));
    ASSERT_EQ(mosaic.width(), 19);
    EXPECT_EQ(mosaic.constScanLine(2)[8], 100);
    EXPECT_EQ(mosaic.constScanLine(2)[9], 150);
    EXPECT_EQ(mosaic.constScanLine(2)[10], 200);
}

TEST_F(SimpleStitcher, SnakeOrderPlacesTheMiddleRowRightToLeft) {
    std::vector<QString> paths;
    for (int i = 0; i < 9; ++i) paths.push_back(tile(i, 5, 3, 10 * (i + 1)));
    QImage mosaic;
    QString error;
    ASSERT_TRUE(stitchMosaicSimple(paths, 3, 3, 0, 0, 0, mosaic, error)) << error.toStdString();
    EXPECT_EQ(mosaic.constScanLine(4)[0], 60);   // list entry 5 on the left
    EXPECT_EQ(mosaic.constScanLine(4)[14], 40);  // entry 3 on the right
}

TEST_F(SimpleStitcher, WrongTileCountsAndSizesAreRefused) {
    QImage mosaic;
    QString error;
    EXPECT_FALSE(stitchMosaicSimple({}, 1, 1, 0, 0, 0, mosaic, error));
    EXPECT_EQ(error, QStringLiteral("No tiles to assemble"));
    EXPECT_FALSE(stitchMosaicSimple({tile(0, 4, 4, 1)}, 1, 2, 0, 0, 0, mosaic, error));
    EXPECT_EQ(error, QStringLiteral("Incorrect number of tiles: expected 2, received 1"));
    EXPECT_FALSE(stitchMosaicSimple({tile(0, 4, 4, 1), tile(1, 5, 4, 1)}, 1, 2, 0, 0, 0, mosaic, error));
    EXPECT_EQ(error, QStringLiteral("Tile [0,1] has a different size"));
}

}  // namespace
}  // namespace tavro::stitching
