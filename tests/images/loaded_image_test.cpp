#include "images/loaded_image.h"

#include "images/image_write.h"

#include "test_files.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace tavro::gui {
namespace {

using namespace fixtures;

TEST(MakePreview, ImagesThatFitHaveNoPreviewAndAreNeverReleased)
{
    LoadedImage loaded;
    loaded.full = grayImage(2048, 1000, QImage::Format_Grayscale8, 1);
    loaded.preview = makePreview(loaded.full);
    loaded.path = QStringLiteral("/data/ref.tif");
    loaded.originalSize = loaded.full.size();
    EXPECT_TRUE(loaded.preview.isNull());
    EXPECT_DOUBLE_EQ(loaded.displayScale(), 1.0);
    loaded.releaseFullImage();
    EXPECT_FALSE(loaded.full.isNull());
    EXPECT_TRUE(makePreview(QImage()).isNull());
}

TEST(MakePreview, SixteenBitPreviewIsTheExactMeanOfEachTwoByTwoBlock)
{
    LoadedImage loaded;
    loaded.full = grayImage(4096, 3000, QImage::Format_Grayscale16, 2);
    loaded.preview = makePreview(loaded.full);
    loaded.path = QStringLiteral("/data/def.tif");
    loaded.originalSize = loaded.full.size();
    ASSERT_EQ(loaded.preview.size(), QSize(2048, 1500));
    ASSERT_EQ(loaded.preview.format(), QImage::Format_Grayscale16);
    for (int oy = 0; oy < 1500; oy += 7) {
        const auto* top = reinterpret_cast<const quint16*>(loaded.full.constScanLine(2 * oy));
        const auto* bottom = reinterpret_cast<const quint16*>(loaded.full.constScanLine(2 * oy + 1));
        const auto* out = reinterpret_cast<const quint16*>(loaded.preview.constScanLine(oy));
        for (int ox = 0; ox < 2048; ++ox) {
            const std::uint64_t sum = std::uint64_t(top[2 * ox]) + top[2 * ox + 1] + bottom[2 * ox] + bottom[2 * ox + 1];
            ASSERT_EQ(out[ox], sum / 4) << ox << "," << oy;
        }
    }
    EXPECT_DOUBLE_EQ(loaded.displayScale(), 2.0);
    EXPECT_EQ(&loaded.displayImage(), &loaded.preview);
    loaded.releaseFullImage();
    EXPECT_TRUE(loaded.full.isNull());
    EXPECT_DOUBLE_EQ(loaded.displayScale(), 2.0);
}

TEST(MakePreview, ThinImageKeepsAtLeastOneSourceRowPerPreviewRow)
{
    QImage image(6000, 10, QImage::Format_Grayscale8);
    for (int y = 0; y < 10; ++y)
        std::fill(image.scanLine(y), image.scanLine(y) + 6000, uchar(y * 20));
    const QImage preview = makePreview(image);
    ASSERT_EQ(preview.size(), QSize(2048, 3));
    // Rows split as [0, 3), [3, 6), [6, 10): means of 0,20,40 / 60,80,100 / 120..180.
    EXPECT_EQ(preview.constScanLine(0)[100], 20);
    EXPECT_EQ(preview.constScanLine(1)[100], 80);
    EXPECT_EQ(preview.constScanLine(2)[2047], 150);
}

TEST(MakePreview, ColourImagesAreScaledKeepingTheAspectRatio)
{
    QImage colour(5000, 100, QImage::Format_RGB32);
    colour.fill(Qt::darkCyan);
    // Target 2048 x 40; a 50:1 aspect ratio fits it at 2000 x 40.
    const QImage preview = makePreview(colour);
    EXPECT_EQ(preview.size(), QSize(2000, 40));
    EXPECT_EQ(preview.pixel(1000, 20), QColor(Qt::darkCyan).rgb());
}

TEST(ScaledGeometry, RoundsHalfAwayFromZeroAndMapsBack)
{
    EXPECT_EQ(scaleRect(QRect(10, 10, 15, 15), 2.5), QRect(25, 25, 38, 38));
    EXPECT_EQ(unscaleRect(QRect(25, 25, 38, 38), 2.5), QRect(10, 10, 15, 15));
    EXPECT_EQ(scaleRect(QRect(-3, -1, 5, 1), 0.5), QRect(-2, -1, 3, 1));
    EXPECT_EQ(scaleSize(QSize(3, 5), 0.5), QSize(2, 3));
    EXPECT_TRUE(scaleRect(QRect(), 2.0).isNull());
    EXPECT_TRUE(unscaleRect(QRect(), 2.0).isNull());
    EXPECT_TRUE(unscaleRect(QRect(1, 1, 4, 4), 0.0).isNull());
    EXPECT_TRUE(unscaleRect(QRect(1, 1, 4, 4), -1.0).isNull());
}

TEST(LoadImage, FillsTheRecordOrLeavesItUntouched)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("big.tif"));
    const QImage image = grayImage(3000, 600, QImage::Format_Grayscale16, 4);
    QString error;
    ASSERT_TRUE(writeGrayTiff(path, image, error, {}));
    LoadedImage loaded;
    ASSERT_TRUE(loadImage(path, loaded, error)) << error.toStdString();
    EXPECT_EQ(loaded.full, image);
    EXPECT_EQ(loaded.preview.size(), QSize(2048, 409));
    EXPECT_EQ(loaded.path, path);
    EXPECT_EQ(loaded.originalSize, QSize(3000, 600));

    const LoadedImage before = loaded;
    EXPECT_FALSE(loadImage(dir.filePath(QStringLiteral("missing.png")), loaded, error));
    EXPECT_FALSE(error.isEmpty());
    EXPECT_EQ(loaded.full, before.full);
    EXPECT_EQ(loaded.preview, before.preview);
    EXPECT_EQ(loaded.path, before.path);
    EXPECT_EQ(loaded.originalSize, before.originalSize);
}

}  // namespace
}  // namespace tavro::gui
