#include "images/image_io.h"
#include "images/image_write.h"

#include "test_files.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace tavro::gui {
namespace {

using namespace fixtures;

// Bit patterns, so that NaN compares equal to itself and -0 differs from 0.
std::vector<std::uint32_t> bitsOf(const std::vector<float>& values)
{
    std::vector<std::uint32_t> bits(values.size());
    std::memcpy(bits.data(), values.data(), values.size() * sizeof(float));
    return bits;
}

std::vector<float> rasterWithSpecialValues(int count)
{
    std::vector<float> values(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i)
        values[std::size_t(i)] = float(i) * 0.37f - 11.0f;
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float specials[] = {nan, -0.0f, std::numeric_limits<float>::infinity(),
                              std::numeric_limits<float>::denorm_min()};
    for (std::size_t i = 0; i < std::min<std::size_t>(4, values.size()); ++i)
        values[i] = specials[i];
    values[std::size_t(count / 2)] = nan;
    values.back() = nan;
    return values;
}

TEST(FloatTiffReader, StripsAndTilesReadBackBitForBitWithNaN)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("u.tif"));
    // Our writer's strips (7x50 has RowsPerStrip 28: the last strip is short),
    // partial Deflate tiles, and RowsPerStrip above the height (one strip).
    const TiffLayout layouts[] = {
        {1, 1}, {7, 50}, {300, 200}, {40, 37, 32, 3, 1, 8, 0, 16, 16}, {9, 10, 32, 3, 1, 1, 1000, 0, 0}};
    for (const TiffLayout& layout : layouts) {
        SCOPED_TRACE(layout.width);
        const auto values = rasterWithSpecialValues(layout.width * layout.height);
        QString error;
        if (layout.bitsPerSample == 32)
            ASSERT_TRUE(writeFloatTiffFixture(path, layout, values));
        else
            ASSERT_TRUE(writeFloatTiff(path, layout.width, layout.height, values, error, {})) << error.toStdString();
        std::uint32_t width = 0, height = 0;
        std::vector<float> read;
        ASSERT_TRUE(readFloatTiff(path, width, height, read, error)) << error.toStdString();
        EXPECT_EQ(width, std::uint32_t(layout.width));
        EXPECT_EQ(height, std::uint32_t(layout.height));
        EXPECT_EQ(bitsOf(read), bitsOf(values));
    }
}

// One 32768 x 32768 Deflate tile over a 16 x 16 image: only the image's rows of
// the tile are decoded (16 rows, not a gigabyte), and the file need hold no more.
TEST(TiffReaders, HugeTileOnATinyImageCostsOnlyTheImagesRows)
{
    QTemporaryDir dir;
    for (const int bytesPerSample : {1, 4}) {
        SCOPED_TRACE(bytesPerSample);
        QByteArray rows(16 * 32768 * bytesPerSample, '\0');
        for (int y = 0; y < 16; ++y)
            for (int x = 0; x < 16; ++x)
                rows[(y * 32768 + x) * bytesPerSample] = char(y * 16 + x);
        const QByteArray deflated = qCompress(rows).mid(4);
        std::vector<TiffTag> tags = {{256, 4, 1, 16}, {257, 4, 1, 16}, {258, 3, 1, std::uint32_t(8 * bytesPerSample)},
                                     {259, 3, 1, 8}, {262, 3, 1, 1}, {322, 4, 1, 32768}, {323, 4, 1, 32768},
                                     {324, 4, 1, kTiffDataOffset}, {325, 4, 1, std::uint32_t(deflated.size())}};
        const QString path = dir.filePath(QStringLiteral("tile.tif"));
        QString error;
        if (bytesPerSample == 1) {
            ASSERT_TRUE(writeBytes(path, tiffBytes(tags, deflated)));
            QImage image;
            ASSERT_TRUE(readTiffGray(path, QRect(), 1, image, error)) << error.toStdString();
            EXPECT_EQ(image.constScanLine(15)[15], 255);
            EXPECT_EQ(image.constScanLine(3)[4], 52);
        } else {
            tags.push_back({339, 3, 1, 3});
            ASSERT_TRUE(writeBytes(path, tiffBytes(tags, deflated)));
            std::uint32_t width = 0, height = 0;
            std::vector<float> values;
            ASSERT_TRUE(readFloatTiff(path, width, height, values, error)) << error.toStdString();
            ASSERT_EQ(values.size(), 256u);
            std::uint32_t bits = 0;
            std::memcpy(&bits, &values[3 * 16 + 4], 4);
            EXPECT_EQ(bits, 52u);
        }
    }
}

TEST(LoadFloatTiff, FillsTheRecordOrExplainsTheFailure)
{
    const LoadedTiffResult missing = loadFloatTiff(QStringLiteral("/nonexistent/h.tif"));
    EXPECT_FALSE(missing.success);
    EXPECT_EQ(missing.error, QStringLiteral("File does not exist"));

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("h.tif"));
    const auto values = rasterWithSpecialValues(6 * 5);
    QString error;
    ASSERT_TRUE(writeFloatTiff(path, 6, 5, values, error, {}));
    const LoadedTiffResult loaded = loadFloatTiff(path);
    EXPECT_TRUE(loaded.success);
    EXPECT_EQ(loaded.width, 6);
    EXPECT_EQ(loaded.height, 5);
    EXPECT_EQ(bitsOf(loaded.values), bitsOf(values));
    EXPECT_TRUE(loaded.error.isEmpty());

    // The system would open the name up to its NUL, which is h.tif itself:
    // the name is refused as such, not taken for a missing file.
    const QString withNul = path + QChar(0) + QStringLiteral("x");
    const LoadedTiffResult invalid = loadFloatTiff(withNul);
    EXPECT_FALSE(invalid.success);
    EXPECT_EQ(invalid.error, QStringLiteral("\"%1\\0x\" is no valid file name: it holds a NUL character").arg(path));
    std::uint32_t width = 0, height = 0;
    std::vector<float> read;
    EXPECT_FALSE(readFloatTiff(withNul, width, height, read, error));
    EXPECT_TRUE(error.startsWith(QStringLiteral("Unable to open TIFF file. (\"%1").arg(path))) << error.toStdString();
}

}  // namespace
}  // namespace tavro::gui
