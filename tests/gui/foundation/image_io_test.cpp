#include "gui/foundation/image_io.h"

#include "test_files.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <random>

namespace tavro::gui {
namespace {

using namespace fixtures;

std::vector<std::uint16_t> randomSamples(int count, int bits, std::uint32_t seed)
{
    std::mt19937 random(seed);
    std::vector<std::uint16_t> samples(static_cast<std::size_t>(count));
    for (auto& s : samples)
        s = std::uint16_t(random() & ((1u << bits) - 1));
    return samples;
}

std::vector<std::uint16_t> samplesOf(const QImage& image)
{
    std::vector<std::uint16_t> samples;
    for (int y = 0; y < image.height(); ++y) {
        const uchar* line = image.constScanLine(y);
        for (int x = 0; x < image.width(); ++x)
            samples.push_back(image.format() == QImage::Format_Grayscale16
                                  ? reinterpret_cast<const quint16*>(line)[x]
                                  : line[x]);
    }
    return samples;
}

// Block means of a region, written independently of the readers: blocks of
// step x step from the region's top-left, cut at its edges, fraction dropped.
std::vector<std::uint16_t> blockMeans(const std::vector<std::uint16_t>& source, int width, const QRect& region,
                                      int step)
{
    std::vector<std::uint16_t> out;
    for (int by = region.top(); by <= region.bottom(); by += step) {
        for (int bx = region.left(); bx <= region.right(); bx += step) {
            std::uint64_t sum = 0, count = 0;
            for (int y = by; y < std::min(by + step, region.bottom() + 1); ++y) {
                for (int x = bx; x < std::min(bx + step, region.right() + 1); ++x) {
                    sum += source[std::size_t(y) * width + x];
                    ++count;
                }
            }
            out.push_back(std::uint16_t(sum / count));
        }
    }
    return out;
}

struct TiffCase {
    const char* name;
    TiffSpec device;
};

const TiffCase kTiffLayouts[] = {
    {"stripped 8-bit", {70, 45, 8, 1, 1, 1, 4, 0, 0}},
    {"stripped 16-bit", {70, 45, 16, 1, 1, 1, 7, 0, 0}},
    {"tiled 8-bit, partial last tiles", {70, 45, 8, 1, 1, 1, 0, 32, 16}},
    {"tiled 16-bit deflate, partial last tiles", {70, 45, 16, 1, 1, 8, 0, 16, 32}},
};

TEST(TiffGrayReader, WholeFileKeepsStoredValuesInEveryLayout)
{
    QTemporaryDir dir;
    for (const TiffCase& c : kTiffLayouts) {
        SCOPED_TRACE(c.name);
        const auto samples = randomSamples(c.device.width * c.device.height, c.device.bitsPerSample, 7);
        const QString path = dir.filePath(QStringLiteral("whole.tif"));
        ASSERT_TRUE(writeTiff(path, c.device, samples));
        QImage image;
        QString error;
        ASSERT_TRUE(readTiffGray(path, QRect(), 1, image, error)) << error.toStdString();
        EXPECT_EQ(image.format(),
                  c.device.bitsPerSample == 16 ? QImage::Format_Grayscale16 : QImage::Format_Grayscale8);
        EXPECT_EQ(image.size(), QSize(c.device.width, c.device.height));
        EXPECT_EQ(samplesOf(image), samples);
    }
}

TEST(TiffGrayReader, RegionsAndStepsGiveCropsAndBlockMeans)
{
    QTemporaryDir dir;
    const QRect regions[] = {QRect(13, 7, 40, 30), QRect(31, 15, 2, 19), QRect(0, 0, 70, 45), QRect(60, 40, 100, 100)};
    for (const TiffCase& c : kTiffLayouts) {
        const auto samples = randomSamples(c.device.width * c.device.height, c.device.bitsPerSample, 11);
        const QString path = dir.filePath(QStringLiteral("region.tif"));
        ASSERT_TRUE(writeTiff(path, c.device, samples));
        for (const QRect& region : regions) {
            for (int step : {1, 2, 3, 5, 100}) {
                SCOPED_TRACE(::testing::Message() << c.name << " region " << region.x() << "," << region.y() << " "
                                                << region.width() << "x" << region.height() << " step " << step);
                const QRect cut = region & QRect(0, 0, c.device.width, c.device.height);
                QImage image;
                QString error;
                ASSERT_TRUE(readTiffGray(path, region, step, image, error)) << error.toStdString();
                EXPECT_EQ(image.width(), (cut.width() + step - 1) / step);
                EXPECT_EQ(image.height(), (cut.height() + step - 1) / step);
                EXPECT_EQ(samplesOf(image), blockMeans(samples, c.device.width, cut, step));
            }
        }
    }
}

TEST(TiffGrayReader, RegionOutsideTheImageIsRefusedAndTheImageKept)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("small.tif"));
    ASSERT_TRUE(writeTiff(path, {10, 10, 8, 1, 1, 1, 0, 0, 0}, randomSamples(100, 8, 1)));
    QImage image(3, 3, QImage::Format_Grayscale8);
    image.fill(9);
    QString error;
    EXPECT_FALSE(readTiffGray(path, QRect(10, 0, 5, 5), 1, image, error));
    EXPECT_EQ(error, QStringLiteral("Requested region is outside the image"));
    EXPECT_EQ(image.size(), QSize(3, 3));
    EXPECT_EQ(image.constScanLine(1)[1], 9);
}

TEST(TiffGrayReader, LayoutsItDoesNotDecodeAreRefusedWithoutMessage)
{
    QTemporaryDir dir;
    const TiffSpec layouts[] = {
        {8, 8, 8, 1, 0, 1, 0, 0, 0},   // MinIsWhite
        {8, 8, 16, 2, 1, 1, 0, 0, 0},  // signed samples
    };
    for (const TiffSpec& device : layouts) {
        const QString path = dir.filePath(QStringLiteral("other.tif"));
        ASSERT_TRUE(writeTiff(path, device, randomSamples(64, 8, 3)));
        QImage image;
        QString error = QStringLiteral("previous");
        EXPECT_FALSE(readTiffGray(path, QRect(), 1, image, error));
        EXPECT_EQ(error, QStringLiteral("previous"));
        EXPECT_TRUE(image.isNull());
    }
}

TEST(GrayImageReader, MinIsWhiteTiffIsReadByTheFallbackAsGrey)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("white.tif"));
    const std::vector<std::uint16_t> samples = {0, 255, 10, 200};
    ASSERT_TRUE(writeTiff(path, {2, 2, 8, 1, 0, 1, 0, 0, 0}, samples));
    QImage image;
    QString error;
    ASSERT_TRUE(readGrayImage(path, image, error)) << error.toStdString();
    EXPECT_EQ(image.format(), QImage::Format_Grayscale8);
    // MinIsWhite stores 0 as white: the displayed grey is the complement.
    EXPECT_EQ(samplesOf(image), (std::vector<std::uint16_t>{255, 0, 245, 55}));
}

TEST(GrayImageReader, DamagedFilesInOwnLayoutsReportTheDataErrorWhateverTheExtensionCase)
{
    QTemporaryDir dir;
    const auto truncate = [](const QString& path, qint64 keep) {
        QByteArray bytes = readBytes(path);
        return writeBytes(path, bytes.left(keep));
    };

    // One strip claiming 50 rows of 100 bytes over 25 rows of data.
    const QString tiff = dir.filePath(QStringLiteral("cut.TIF"));
    ASSERT_TRUE(writeBytes(tiff, tiffBytes({{256, 4, 1, 100}, {257, 4, 1, 50}, {258, 3, 1, 8}, {262, 3, 1, 1},
                                            {273, 4, 1, kTiffDataOffset}, {278, 4, 1, 50}, {279, 4, 1, 5000}},
                                           QByteArray(2500, '\x40'))));

    const QString png = dir.filePath(QStringLiteral("cut.Png"));
    ASSERT_TRUE(writePng(png, {64, 64, 8, 0, false}, randomSamples(64 * 64, 8, 6)));
    ASSERT_TRUE(truncate(png, readBytes(png).size() / 2));

    const QString bmp = dir.filePath(QStringLiteral("cut.BMP"));
    ASSERT_TRUE(writeBytes(bmp, bmpBytes({4, 10, 24, 0, 0, {}}, std::vector<std::uint32_t>(40, 0x808080))));
    ASSERT_TRUE(truncate(bmp, 54 + 3 * 12 + 5));

    const std::pair<QString, QString> cases[] = {
        {tiff, QStringLiteral("TIFF read error at line 0")},
        {png, QStringLiteral("PNG read error in cut.Png: ")},
        {bmp, QStringLiteral("BMP pixel data truncated at row 3/10")},
    };
    for (const auto& [path, reason] : cases) {
        SCOPED_TRACE(path.toStdString());
        QImage image;
        QString error;
        EXPECT_FALSE(readGrayImage(path, image, error));
        EXPECT_TRUE(error.startsWith(QStringLiteral("Unable to load %1: %2").arg(path, reason))) << error.toStdString();
        EXPECT_TRUE(image.isNull());
    }
}

TEST(PngReader, GreyDepthsFromOneToSixteenBitsAreExpandedOrKept)
{
    QTemporaryDir dir;
    struct Case {
        int depth;
        std::vector<std::uint16_t> stored;
        std::vector<std::uint16_t> read;
    };
    const Case cases[] = {
        {1, {0, 1, 1, 0, 1, 0, 0, 1, 1}, {0, 255, 255, 0, 255, 0, 0, 255, 255}},
        {2, {0, 1, 2, 3, 3, 2, 1, 0, 1}, {0, 85, 170, 255, 255, 170, 85, 0, 85}},
        {4, {0, 1, 15, 7, 8, 2, 3, 4, 5}, {0, 17, 255, 119, 136, 34, 51, 68, 85}},
        {8, {0, 1, 254, 255, 128, 7, 9, 10, 11}, {0, 1, 254, 255, 128, 7, 9, 10, 11}},
        {16, {0, 0x1234, 0xFFFF, 0x8001, 1, 2, 3, 256, 40000}, {0, 0x1234, 0xFFFF, 0x8001, 1, 2, 3, 256, 40000}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.depth);
        const QString path = dir.filePath(QStringLiteral("grey.png"));
        ASSERT_TRUE(writePng(path, {3, 3, c.depth, 0, false}, c.stored));
        QImage image;
        QString error;
        ASSERT_TRUE(readPng(path, image, error)) << error.toStdString();
        EXPECT_EQ(image.format(), c.depth == 16 ? QImage::Format_Grayscale16 : QImage::Format_Grayscale8);
        EXPECT_EQ(samplesOf(image), c.read);
    }
}

TEST(PngReader, AlphaChannelIsDroppedAtEightAndSixteenBits)
{
    QTemporaryDir dir;
    for (int depth : {8, 16}) {
        const QString path = dir.filePath(QStringLiteral("alpha.png"));
        const std::uint16_t top = depth == 16 ? 60000 : 250;
        ASSERT_TRUE(writePng(path, {2, 1, depth, 4, false}, {top, 0, 3, top}));
        QImage image;
        QString error;
        ASSERT_TRUE(readPng(path, image, error));
        EXPECT_EQ(samplesOf(image), (std::vector<std::uint16_t>{top, 3}));
    }
}

TEST(PngReader, InterlacedFileIsLeftToTheFallbackWhichReadsIt)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("interlaced.png"));
    const auto samples = randomSamples(17 * 9, 8, 4);
    ASSERT_TRUE(writePng(path, {17, 9, 8, 0, true}, samples));
    QImage image;
    QString error = QStringLiteral("previous");
    EXPECT_FALSE(readPng(path, image, error));
    EXPECT_EQ(error, QStringLiteral("previous"));
    ASSERT_TRUE(readGrayImage(path, image, error)) << error.toStdString();
    EXPECT_EQ(image.format(), QImage::Format_Grayscale8);
    EXPECT_EQ(samplesOf(image), samples);
}

TEST(GrayImageReader, GreyRgbImagesAreAcceptedAtTheirChannelDepth)
{
    QTemporaryDir dir;
    for (int depth : {8, 16}) {
        SCOPED_TRACE(depth);
        const QString path = dir.filePath(QStringLiteral("rgb.png"));
        // Every 8-bit grey, and a spread of 16-bit ones, must come back unchanged.
        std::vector<std::uint16_t> greys(256);
        for (std::size_t i = 0; i < greys.size(); ++i)
            greys[i] = std::uint16_t(depth == 16 ? i * 257 + (i % 7) * 13 : i);
        greys[1] = depth == 16 ? 1000 : 1;
        std::vector<std::uint16_t> channels;
        for (std::uint16_t g : greys)
            channels.insert(channels.end(), {g, g, g});
        ASSERT_TRUE(writePng(path, {16, 16, depth, 2, false}, channels));
        QImage image;
        QString error;
        ASSERT_TRUE(readGrayImage(path, image, error)) << error.toStdString();
        EXPECT_EQ(image.format(), depth == 16 ? QImage::Format_Grayscale16 : QImage::Format_Grayscale8);
        EXPECT_EQ(samplesOf(image), greys);
    }
}

TEST(GrayImageReader, ColourImagesAreRefusedNamingTheFile)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("colour.png"));
    ASSERT_TRUE(writePng(path, {2, 1, 8, 2, false}, {255, 0, 0, 10, 10, 10}));
    QImage image;
    QString error;
    EXPECT_FALSE(readGrayImage(path, image, error));
    EXPECT_EQ(error, QStringLiteral("colour.png is a colour image. Tavro2D works on grayscale images (8 or 16 bits) — "
                                    "convert it before loading."));
    EXPECT_TRUE(image.isNull());
}

TEST(GrayImageReader, UnreadableFileNamesThePathAsGiven)
{
    QImage image;
    QString error;
    EXPECT_FALSE(readGrayImage(QStringLiteral("/nonexistent/none.jpg"), image, error));
    EXPECT_TRUE(error.startsWith(QStringLiteral("Unable to load /nonexistent/none.jpg: "))) << error.toStdString();
}

TEST(BmpReader, PaletteEntriesBecomeGreyAndIndicesBeyondThePaletteStayThemselves)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("palette.bmp"));
    std::vector<std::uint32_t> palette(10, 0);
    palette[0] = 0xC86432;  // R 200, G 100, B 50 -> (2200 + 1600 + 250) >> 5 = 126
    palette[1] = 0xFFFFFF;
    palette[9] = 0x010203;  // (11 + 32 + 15) >> 5 = 1
    ASSERT_TRUE(writeBytes(path, bmpBytes({6, 1, 8, 0, 10, palette}, {0, 1, 9, 10, 200, 255})));
    QImage image;
    QString error;
    ASSERT_TRUE(readBmpGray(path, QRect(), 1, image, error)) << error.toStdString();
    EXPECT_EQ(image.format(), QImage::Format_Grayscale8);
    EXPECT_EQ(samplesOf(image), (std::vector<std::uint16_t>{126, 255, 1, 10, 200, 255}));
}

TEST(BmpReader, TrueColourPixelsUseTheWeightedGreyRuleInBothRowOrders)
{
    QTemporaryDir dir;
    const std::vector<std::uint32_t> pixels = {0xC86432, 0xFFFFFF, 0x010203, 0x000000, 0x00FF00, 0x0000FF};
    const std::vector<std::uint16_t> greys = {126, 255, 1, 0, 127, 39};
    for (int bits : {24, 32}) {
        for (int height : {2, -2}) {
            SCOPED_TRACE(::testing::Message() << bits << " bits, height " << height);
            const QString path = dir.filePath(QStringLiteral("rgb.bmp"));
            ASSERT_TRUE(writeBytes(path, bmpBytes({3, height, bits, 0, 0, {}}, pixels)));
            QImage image;
            QString error;
            ASSERT_TRUE(readBmpGray(path, QRect(), 1, image, error)) << error.toStdString();
            EXPECT_EQ(samplesOf(image), greys);
        }
    }
}

TEST(BmpReader, RegionsAndStepsGiveCropsAndBlockMeansInBothRowOrders)
{
    QTemporaryDir dir;
    const int width = 23, height = 17;
    std::mt19937 random(9);
    std::vector<std::uint32_t> pixels(std::size_t(width) * height);
    std::vector<std::uint16_t> greys;
    for (auto& p : pixels) {
        p = random() & 0xFFFFFF;
        greys.push_back(std::uint16_t(grayFromRgb(p >> 16, (p >> 8) & 0xFF, p & 0xFF)));
    }
    for (int stored : {height, -height}) {
        const QString path = dir.filePath(QStringLiteral("region.bmp"));
        ASSERT_TRUE(writeBytes(path, bmpBytes({width, stored, 24, 0, 0, {}}, pixels)));
        for (const QRect& region : {QRect(3, 2, 11, 13), QRect(0, 0, width, height), QRect(20, 10, 9, 9)}) {
            for (int step : {1, 2, 4}) {
                SCOPED_TRACE(::testing::Message() << "stored height " << stored << " step " << step);
                const QRect cut = region & QRect(0, 0, width, height);
                QImage image;
                QString error;
                ASSERT_TRUE(readBmpGray(path, region, step, image, error)) << error.toStdString();
                EXPECT_EQ(samplesOf(image), blockMeans(greys, width, cut, step));
            }
        }
    }
}

TEST(BmpReader, BitfieldFileIsLeftToTheFallbackWhichRefusesColour)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("fields.bmp"));
    // Colour masks follow the 40-byte header of a BI_BITFIELDS file.
    ASSERT_TRUE(writeBytes(path, bmpBytes({2, 1, 32, 3, 0, {0xFF0000, 0x00FF00, 0x0000FF}}, {0xFF0000, 0x00FF00})));
    QImage image;
    QString error;
    EXPECT_FALSE(readBmpGray(path, QRect(), 1, image, error));
    EXPECT_EQ(error, QStringLiteral("Compressed BMP not handled by fast loader"));
    EXPECT_FALSE(readGrayImage(path, image, error));
    EXPECT_TRUE(error.startsWith(QStringLiteral("fields.bmp is a colour image."))) << error.toStdString();
}

TEST(ProbeImageSize, ReadsTiffAndBmpHeadersOnly)
{
    QTemporaryDir dir;
    QSize size;
    const QString tiff = dir.filePath(QStringLiteral("probe.tiff"));
    ASSERT_TRUE(writeTiff(tiff, {30, 20, 8, 1, 1, 1, 0, 0, 0}, randomSamples(600, 8, 2)));
    EXPECT_TRUE(probeImageSize(tiff, size));
    EXPECT_EQ(size, QSize(30, 20));

    const QString bmp = dir.filePath(QStringLiteral("probe.bmp"));
    ASSERT_TRUE(writeBytes(bmp, bmpBytes({5, -7, 24, 0, 0, {}}, std::vector<std::uint32_t>(35, 0)).left(26)));
    EXPECT_TRUE(probeImageSize(bmp, size));
    EXPECT_EQ(size, QSize(5, 7));

    ASSERT_TRUE(writeBytes(bmp, bmpBytes({5, 7, 24, 0, 0, {}}, std::vector<std::uint32_t>(35, 0)).left(25)));
    EXPECT_FALSE(probeImageSize(bmp, size));
    const QString png = dir.filePath(QStringLiteral("probe.png"));
    ASSERT_TRUE(writePng(png, {3, 3, 8, 0, false}, randomSamples(9, 8, 1)));
    EXPECT_FALSE(probeImageSize(png, size));
}

TEST(DecimatedImageReader, ReducesTheLongerSideToAtMost2048)
{
    QTemporaryDir dir;
    const int width = 5000, height = 3000;
    std::vector<std::uint16_t> samples(std::size_t(width) * height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            samples[std::size_t(y) * width + x] = std::uint16_t((x * 7 + y * 13) & 0xFF);
    const QString path = dir.filePath(QStringLiteral("large.tif"));
    ASSERT_TRUE(writeTiff(path, {width, height, 8, 1, 1, 8, 64, 0, 0}, samples));
    QImage image;
    QString error;
    ASSERT_TRUE(readDecimatedImage(path, image, error)) << error.toStdString();
    ASSERT_EQ(image.size(), QSize(1667, 1000));
    // 5000 = 3 x 1666 + 2: the last column averages source columns 4998 and 4999.
    const QRect lastColumn(4998, 0, 2, height);
    const auto expected = blockMeans(samples, width, lastColumn, 3);
    for (int oy = 0; oy < 1000; oy += 111)
        EXPECT_EQ(image.constScanLine(oy)[1666], expected[std::size_t(oy)]);
    EXPECT_EQ(image.constScanLine(500)[400], blockMeans(samples, width, QRect(1200, 1500, 3, 3), 3)[0]);

    QString untouched = QStringLiteral("previous");
    EXPECT_FALSE(readDecimatedImage(dir.filePath(QStringLiteral("large.png")), image, untouched));
    EXPECT_EQ(untouched, QStringLiteral("previous"));
}

}  // namespace
}  // namespace tavro::gui
