#include "gui/foundation/image_io.h"
#include "gui/foundation/image_write.h"

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

TEST(FloatTiffReader, WrittenRastersReadBackBitForBitWithNaN)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("u.tif"));
    // 1x1 is one strip; 7x50 has RowsPerStrip 28, so two strips, the last one short.
    for (const QSize size : {QSize(1, 1), QSize(7, 50), QSize(300, 200)}) {
        SCOPED_TRACE(size.width());
        const auto values = rasterWithSpecialValues(size.width() * size.height());
        QString error;
        ASSERT_TRUE(writeFloatTiff(path, size.width(), size.height(), values, error, {})) << error.toStdString();
        std::uint32_t width = 0, height = 0;
        std::vector<float> read;
        ASSERT_TRUE(readFloatTiff(path, width, height, read, error)) << error.toStdString();
        EXPECT_EQ(width, std::uint32_t(size.width()));
        EXPECT_EQ(height, std::uint32_t(size.height()));
        EXPECT_EQ(bitsOf(read), bitsOf(values));
    }
}

TEST(FloatTiffReader, TiledRasterWithPartialTilesIsAssembled)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("tiled.tif"));
    const auto values = rasterWithSpecialValues(40 * 37);
    ASSERT_TRUE(writeFloatTiffFixture(path, {40, 37, 32, 3, 1, 8, 0, 16, 16}, values));
    std::uint32_t width = 0, height = 0;
    std::vector<float> read;
    QString error;
    ASSERT_TRUE(readFloatTiff(path, width, height, read, error)) << error.toStdString();
    EXPECT_EQ(width, 40u);
    EXPECT_EQ(height, 37u);
    EXPECT_EQ(bitsOf(read), bitsOf(values));
}

TEST(FloatTiffReader, RowsPerStripAboveTheHeightIsReadAsOneStrip)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("tall.tif"));
    const auto values = rasterWithSpecialValues(9 * 10);
    ASSERT_TRUE(writeFloatTiffFixture(path, {9, 10, 32, 3, 1, 1, 1000, 0, 0}, values));
    std::uint32_t width = 0, height = 0;
    std::vector<float> read;
    QString error;
    ASSERT_TRUE(readFloatTiff(path, width, height, read, error)) << error.toStdString();
    EXPECT_EQ(bitsOf(read), bitsOf(values));
}

TEST(FloatTiffReader, IntegerFileIsRefusedAndOutputsKept)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("eight.tif"));
    ASSERT_TRUE(writeTiff(path, {4, 4, 8, 1, 1, 1, 0, 0, 0}, std::vector<std::uint16_t>(16, 3)));
    std::uint32_t width = 77, height = 88;
    std::vector<float> values = {1.5f};
    QString error;
    EXPECT_FALSE(readFloatTiff(path, width, height, values, error));
    EXPECT_EQ(error, QStringLiteral("TIFF file is not in expected 32-bit float format."));
    EXPECT_EQ(width, 77u);
    EXPECT_EQ(height, 88u);
    EXPECT_EQ(values, std::vector<float>{1.5f});
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
}

}  // namespace
}  // namespace tavro::gui
