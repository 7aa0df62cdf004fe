#include "images/image_io.h"

#include "support/temp_dir.h"
#include "test_files.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <tiffio.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <random>

#include <sys/stat.h>

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

// The part of `region` inside the image, in 64 bits: QRect's own
// intersection overflows for regions reaching INT_MIN.
QRect inside(const QRect& region, int width, int height)
{
    const std::int64_t left = std::max<std::int64_t>(0, region.left());
    const std::int64_t top = std::max<std::int64_t>(0, region.top());
    const std::int64_t right = std::min<std::int64_t>(width, std::int64_t(region.right()) + 1);
    const std::int64_t bottom = std::min<std::int64_t>(height, std::int64_t(region.bottom()) + 1);
    return QRect(int(left), int(top), int(right - left), int(bottom - top));
}

struct TiffCase {
    const char* name;
    TiffLayout device;
};

void PrintTo(const TiffCase& c, std::ostream* os)
{
    *os << c.name;
}

class TiffGrayReader : public ::testing::TestWithParam<TiffCase> {};

// Regions start at every row offset within an 8-row strip or tile, since a
// compressed strip cannot be entered mid-way; the last case is one strip too
// large to decode whole.
INSTANTIATE_TEST_SUITE_P(
    Layouts, TiffGrayReader,
    ::testing::Values(TiffCase{"uncompressed 8-bit", {70, 45, 8, 1, 1, COMPRESSION_NONE, 8, 0, 0}},
                      TiffCase{"uncompressed 16-bit", {70, 45, 16, 1, 1, COMPRESSION_NONE, 8, 0, 0}},
                      TiffCase{"LZW 8-bit", {70, 45, 8, 1, 1, COMPRESSION_LZW, 8, 0, 0}},
                      TiffCase{"LZW 16-bit", {70, 45, 16, 1, 1, COMPRESSION_LZW, 8, 0, 0}},
                      TiffCase{"Deflate 16-bit", {70, 45, 16, 1, 1, COMPRESSION_ADOBE_DEFLATE, 8, 0, 0}},
                      TiffCase{"PackBits 8-bit", {70, 45, 8, 1, 1, COMPRESSION_PACKBITS, 8, 0, 0}},
                      TiffCase{"JPEG 8-bit", {70, 45, 8, 1, 1, COMPRESSION_JPEG, 8, 0, 0}},
                      TiffCase{"tiled 8-bit, partial tiles", {70, 45, 8, 1, 1, COMPRESSION_NONE, 0, 32, 16}},
                      TiffCase{"tiled Deflate 16-bit", {70, 45, 16, 1, 1, COMPRESSION_DEFLATE, 0, 16, 16}},
                      TiffCase{"Deflate, one 8.5 MB strip", {2900, 2900, 8, 1, 1, COMPRESSION_DEFLATE, 0, 0, 0}}),
    [](const auto& info) {
        std::string name = info.param.name;
        const auto symbol = [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); };
        std::replace_if(name.begin(), name.end(), symbol, '_');
        return name;
    });

TEST_P(TiffGrayReader, RegionsAtEveryStripOffsetAndStepGiveCropsAndBlockMeans)
{
    const TiffLayout& device = GetParam().device;
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("region.tif"));
    auto samples = randomSamples(device.width * device.height, device.bitsPerSample, 11);
    ASSERT_TRUE(writeTiff(path, device, samples));
    QImage image;
    QString error;
    ASSERT_TRUE(readTiffGray(path, QRect(), 1, image, error)) << error.toStdString();
    EXPECT_EQ(image.format(), device.bitsPerSample == 16 ? QImage::Format_Grayscale16 : QImage::Format_Grayscale8);
    // JPEG is lossy: its whole-image read, row by row from the top, is the reference.
    if (device.compression == COMPRESSION_JPEG)
        samples = samplesOf(image);
    EXPECT_EQ(samplesOf(image), samples);

    // Regions reaching INT_MAX or INT_MIN are cut without int overflow.
    std::vector<QRect> regions = {QRect(60, 40, 100, 100), QRect(QPoint(13, 8), QPoint(INT_MAX, INT_MAX)),
                                  QRect(QPoint(INT_MIN, INT_MIN), QPoint(20, 30))};
    for (int offset = 0; offset < 8; ++offset)
        regions.push_back(QRect(13, 8 + offset, 40, 21));
    for (const QRect& region : regions) {
        for (int step : {1, 2, 3, 5}) {
            SCOPED_TRACE(::testing::Message() << "region top " << region.top() << " step " << step);
            const QRect cut = inside(region, device.width, device.height);
            ASSERT_TRUE(readTiffGray(path, region, step, image, error)) << error.toStdString();
            EXPECT_EQ(image.size(), QSize((cut.width() + step - 1) / step, (cut.height() + step - 1) / step));
            EXPECT_EQ(samplesOf(image), blockMeans(samples, device.width, cut, step));
        }
    }
}

TEST(ImageRegions, RegionOutsideTheImageIsRefusedAndTheImageKept)
{
    QTemporaryDir dir;
    const QString tiff = dir.filePath(QStringLiteral("small.tif"));
    const QString bmp = dir.filePath(QStringLiteral("small.bmp"));
    ASSERT_TRUE(writeTiff(tiff, {10, 10, 8, 1, 1, 1, 0, 0, 0}, randomSamples(100, 8, 1)));
    ASSERT_TRUE(writeBytes(bmp, bmpBytes({10, 10, 24, 0, 0, {}}, std::vector<std::uint32_t>(100, 0))));
    for (const QRect& region : {QRect(10, 0, 5, 5), QRect(QPoint(-5, INT_MAX), QPoint(3, INT_MAX))}) {
        QImage image(3, 3, QImage::Format_Grayscale8);
        QString tiffError, bmpError;
        EXPECT_FALSE(readTiffGray(tiff, region, 1, image, tiffError));
        EXPECT_FALSE(readBmpGray(bmp, region, 1, image, bmpError));
        EXPECT_EQ(tiffError, QStringLiteral("Requested region is outside the image"));
        EXPECT_EQ(bmpError, tiffError);
        EXPECT_EQ(image.size(), QSize(3, 3));
    }
}

// Each case: the stored samples of a 3x1 image and what readGrayImage gives.
struct SampleCase {
    const char* name;
    TiffLayout device;
    std::vector<std::uint16_t> stored;
    std::vector<std::uint16_t> read;
};

TEST(GrayImageReader, InvertedSignedAndAlphaTiffsAreReadAtTheirDepth)
{
    const SampleCase cases[] = {
        {"MinIsWhite 8-bit", {3, 1, 8, 1, 0, 1, 0, 0, 0}, {0, 255, 10}, {255, 0, 245}},
        {"MinIsWhite 16-bit", {3, 1, 16, 1, 0, 1, 0, 0, 0}, {0, 65535, 1000}, {65535, 0, 64535}},
        // Signed samples move by half their range: the most negative is black.
        {"signed 8-bit", {3, 1, 8, 2, 1, 1, 0, 0, 0}, {0x80, 0xFF, 0x01}, {0, 127, 129}},
        {"signed 16-bit", {3, 1, 16, 2, 1, 1, 0, 0, 0}, {0x8000, 0xFFFF, 0x0001}, {0, 32767, 32769}},
        {"signed 16-bit, tiled", {3, 1, 16, 2, 1, 1, 0, 16, 16}, {0x8000, 0xFFFF, 0x0001}, {0, 32767, 32769}},
        {"grey and alpha 16-bit", {3, 1, 16, 1, 1, 1, 0, 0, 0, 2}, {1000, 7, 2000, 7, 65535, 7}, {1000, 2000, 65535}},
        {"grey and alpha 8-bit, tiled", {3, 1, 8, 1, 1, 8, 0, 16, 16, 2}, {10, 7, 20, 7, 255, 7}, {10, 20, 255}},
    };
    QTemporaryDir dir;
    for (const SampleCase& c : cases) {
        SCOPED_TRACE(c.name);
        // TIFF content under another name takes the same path.
        for (const char* name : {"samples.tif", "samples.img"}) {
            const QString path = dir.filePath(QString::fromLatin1(name));
            ASSERT_TRUE(writeTiff(path, c.device, c.stored));
            QImage image;
            QString error;
            ASSERT_TRUE(readGrayImage(path, image, error)) << error.toStdString();
            EXPECT_EQ(image.depth(), c.device.bitsPerSample);
            EXPECT_EQ(samplesOf(image), c.read);
        }
    }
}

// Grey and alpha stored plane by plane: the grey plane, then the alpha one.
bool writePlanarGreyAlpha(const QString& path, int bits, bool tiled, const std::vector<std::uint16_t>& grey,
                          std::uint16_t alpha)
{
    constexpr int kWidth = 3, kHeight = 2, kTile = 16;
    TIFF* tif = TIFFOpen(QFile::encodeName(path).constData(), "w");
    if (!tif)
        return false;
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, kWidth);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, kHeight);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, bits);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 2);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_SEPARATE);
    const std::uint16_t extra[] = {EXTRASAMPLE_UNASSALPHA};
    TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, 1, extra);
    bool ok = true;
    const auto plane = [&](int sample) {
        std::vector<std::uint16_t> values(std::size_t(kWidth * kHeight), alpha);
        if (sample == 0)
            values = grey;
        std::vector<unsigned char> bytes;
        for (std::uint16_t v : values) {
            if (bits == 16) {
                bytes.push_back(static_cast<unsigned char>(v & 0xFF));
                bytes.push_back(static_cast<unsigned char>(v >> 8));
            } else {
                bytes.push_back(static_cast<unsigned char>(v));
            }
        }
        return bytes;
    };
    if (tiled) {
        TIFFSetField(tif, TIFFTAG_TILEWIDTH, kTile);
        TIFFSetField(tif, TIFFTAG_TILELENGTH, kTile);
        const int bytesPerSample = bits / 8;
        for (int sample = 0; sample < 2; ++sample) {
            const std::vector<unsigned char> bytes = plane(sample);
            std::vector<unsigned char> tile(std::size_t(kTile * kTile * bytesPerSample), 0xEE);
            for (int y = 0; y < kHeight; ++y)
                std::copy_n(bytes.begin() + y * kWidth * bytesPerSample, kWidth * bytesPerSample,
                            tile.begin() + y * kTile * bytesPerSample);
            ok = ok && TIFFWriteTile(tif, tile.data(), 0, 0, 0, std::uint16_t(sample)) >= 0;
        }
    } else {
        TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, kHeight);
        for (int sample = 0; sample < 2; ++sample) {
            std::vector<unsigned char> bytes = plane(sample);
            const int rowBytes = kWidth * bits / 8;
            for (int y = 0; y < kHeight; ++y)
                ok = ok && TIFFWriteScanline(tif, bytes.data() + y * rowBytes, std::uint32_t(y),
                                             std::uint16_t(sample)) >= 0;
        }
    }
    TIFFClose(tif);
    return ok;
}

TEST(GrayImageReader, GreyAndAlphaStoredPlaneByPlaneAreReadWithoutTheAlpha)
{
    QTemporaryDir dir;
    const std::vector<std::uint16_t> grey16{1000, 2000, 65535, 0, 300, 40000};
    const std::vector<std::uint16_t> grey8{10, 20, 255, 0, 3, 128};
    for (const bool tiled : {false, true}) {
        for (const int bits : {8, 16}) {
            SCOPED_TRACE(std::to_string(bits) + (tiled ? "-bit tiled" : "-bit stripped"));
            const QString path = dir.filePath(QStringLiteral("planar.tif"));
            const std::vector<std::uint16_t>& grey = bits == 16 ? grey16 : grey8;
            // A half-transparent alpha would darken the grey if it were applied.
            ASSERT_TRUE(writePlanarGreyAlpha(path, bits, tiled, grey, bits == 16 ? 30000 : 100));
            QImage image;
            QString error;
            ASSERT_TRUE(readTiffGray(path, QRect(), 1, image, error)) << error.toStdString();
            EXPECT_EQ(image.depth(), bits);
            EXPECT_EQ(samplesOf(image), grey);
        }
    }
}

TEST(GrayImageReader, TiffsItDoesNotDecodeAreLeftToTheFallbackUnlessSigned)
{
    QTemporaryDir dir;
    const QString rgb = dir.filePath(QStringLiteral("rgb.tif"));
    ASSERT_TRUE(writeTiff(rgb, {2, 1, 8, 1, 2, 1, 0, 0, 0, 3}, {200, 0, 0, 9, 9, 9}));
    QImage image;
    QString error = QStringLiteral("previous");
    EXPECT_FALSE(readTiffGray(rgb, QRect(), 1, image, error));
    // A refusal says why, also where no fallback follows.
    EXPECT_EQ(error, QStringLiteral("TIFF with 3 samples per pixel, photometric 2, is not a grayscale image"));
    EXPECT_FALSE(readGrayImage(rgb, image, error));
    EXPECT_TRUE(error.startsWith(QStringLiteral("rgb.tif is a colour image."))) << error.toStdString();

    // Never shown as raw two's complement by the image library.
    const QString wide = dir.filePath(QStringLiteral("signed.tiff"));
    const QByteArray data(16, '\x7f');
    ASSERT_TRUE(writeBytes(wide, tiffBytes({{256, 4, 1, 2}, {257, 4, 1, 2}, {258, 3, 1, 32}, {262, 3, 1, 1},
                                            {273, 4, 1, kTiffDataOffset}, {278, 4, 1, 2}, {279, 4, 1, 16},
                                            {339, 3, 1, 2}},
                                           data)));
    EXPECT_FALSE(readGrayImage(wide, image, error));
    EXPECT_EQ(error, QStringLiteral("Unable to load %1: TIFF with signed 32-bit samples is read only as 8- or "
                                    "16-bit grayscale")
                         .arg(wide));
    EXPECT_TRUE(image.isNull());
}

TEST(GrayImageReader, NonRegularFilesAndEmptyFilesSayWhatTheyAre)
{
    QTemporaryDir dir;
    const QString fifo = dir.filePath(QStringLiteral("pipe.tif"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const QString loop = dir.filePath(QStringLiteral("loop.png"));
    ASSERT_TRUE(QFile::link(loop, loop));
    const QString folder = dir.filePath(QStringLiteral("folder.bmp"));
    ASSERT_TRUE(QDir().mkdir(folder));
    const QString empty = dir.filePath(QStringLiteral("empty.tif"));
    ASSERT_TRUE(writeBytes(empty, {}));
    const std::pair<QString, QString> cases[] = {
        {fifo, QStringLiteral("Not a regular file (a pipe, device or socket)")},
        {QStringLiteral("/dev/zero"), QStringLiteral("Not a regular file (a pipe, device or socket)")},
        {loop, QStringLiteral("Too many levels of symbolic links")},
        {folder, QStringLiteral("The path is a folder, not a file")},
        {empty, QStringLiteral("The file is empty")},
        {dir.filePath(QStringLiteral("missing.tif")), QStringLiteral("File not found")},
    };
    for (const auto& [path, reason] : cases) {
        SCOPED_TRACE(path.toStdString());
        QImage image;
        QString error;
        EXPECT_FALSE(readGrayImage(path, image, error));
        EXPECT_EQ(error, QStringLiteral("Unable to load %1: %2").arg(path, reason));
    }
    // Every other reader returns at once too (a FIFO would block its open).
    for (const QString suffix : {"tif", "bmp", "png"}) {
        const QString path = dir.filePath(QStringLiteral("pipe2.") + suffix);
        ASSERT_EQ(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        QImage image;
        QString error;
        QSize size;
        EXPECT_FALSE(readTiffGray(path, QRect(), 1, image, error));
        EXPECT_FALSE(readBmpGray(path, QRect(), 1, image, error));
        EXPECT_FALSE(readPng(path, image, error));
        EXPECT_FALSE(readDecimatedImage(path, image, error));
        EXPECT_FALSE(probeImageSize(path, size));
        std::uint32_t width = 0, height = 0;
        std::vector<float> values;
        EXPECT_FALSE(readFloatTiff(path, width, height, values, error));
        EXPECT_FALSE(loadFloatTiff(path).success);
    }
}

TEST(GrayImageReader, AFailureSaysUnableToLoadOnceBeforeItsReason)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("short.tif"));
    ASSERT_TRUE(writeBytes(path, QByteArray("II*\0", 4) + QByteArray(4, '\x7F')));
    QImage image;
    QString error;
    ASSERT_FALSE(readGrayImage(path, image, error));
    const QString text = loadFailureText(path, error);
    EXPECT_TRUE(text.startsWith(QStringLiteral("Unable to load %1:\n").arg(path))) << text.toStdString();
    EXPECT_EQ(text.count(QStringLiteral("Unable to load")), 1) << text.toStdString();
    EXPECT_EQ(loadFailureText(path, QStringLiteral("out of memory")),
              QStringLiteral("Unable to load %1:\nout of memory").arg(path));
}

TEST(GrayImageReader, DamagedFilesInOwnLayoutsReportTheDataErrorWhateverTheExtensionCase)
{
    QTemporaryDir dir;
    const auto truncate = [](const QString& path, qint64 keep) {
        QByteArray bytes = readBytes(path);
        return writeBytes(path, bytes.left(keep));
    };

    // Deflate strips of 8 rows, the third one overwritten with noise.
    const QString tiff = dir.filePath(QStringLiteral("cut.TIF"));
    ASSERT_TRUE(writeTiff(tiff, {64, 64, 8, 1, 1, COMPRESSION_DEFLATE, 8, 0, 0}, randomSamples(64 * 64, 8, 5)));
    TIFF* tif = TIFFOpen(QFile::encodeName(tiff).constData(), "r");
    ASSERT_NE(tif, nullptr);
    const qsizetype stripOffset = qsizetype(TIFFGetStrileOffset(tif, 2));
    TIFFClose(tif);
    QByteArray bytes = readBytes(tiff);
    bytes.replace(stripOffset, 40, QByteArray(40, '\xA5'));
    ASSERT_TRUE(writeBytes(tiff, bytes));

    const QString png = dir.filePath(QStringLiteral("cut.Png"));
    ASSERT_TRUE(writePng(png, {64, 64, 8, 0, false}, randomSamples(64 * 64, 8, 6)));
    ASSERT_TRUE(truncate(png, readBytes(png).size() / 2));

    const QString bmp = dir.filePath(QStringLiteral("cut.BMP"));
    ASSERT_TRUE(writeBytes(bmp, bmpBytes({4, 10, 24, 0, 0, {}}, std::vector<std::uint32_t>(40, 0x808080))));
    ASSERT_TRUE(truncate(bmp, 54 + 3 * 12 + 5));

    const std::pair<QString, QString> cases[] = {
        {tiff, QStringLiteral("TIFF read error at line 16")},
        {png, QStringLiteral("PNG read error in cut.Png: ")},
        {bmp, QStringLiteral("BMP pixel data truncated at row 3/10")},
    };
    for (const auto& [path, reason] : cases) {
        SCOPED_TRACE(path.toStdString());
        QImage image;
        QString error;
        EXPECT_FALSE(readGrayImage(path, image, error));
        // The library's explanation follows the fixed text.
        if (path == tiff) {
            EXPECT_TRUE(error.endsWith(QStringLiteral("at line 16 (ZIPDecode: Decoding error at scanline 16, "
                                                      "incorrect header check)")))
                << error.toStdString();
        }
        EXPECT_TRUE(error.startsWith(QStringLiteral("Unable to load %1: %2").arg(path, reason))) << error.toStdString();
        EXPECT_TRUE(image.isNull());
    }
}

TEST(PngReader, GreyDepthsAreExpandedToEightBitsOrKeptAtSixteenAndAlphaIsDropped)
{
    QTemporaryDir dir;
    struct Case {
        int depth;
        int colourType;
        std::vector<std::uint16_t> stored;
        std::vector<std::uint16_t> read;
    };
    // Nine 1-bit samples span two bytes of a row.
    const Case cases[] = {
        {1, 0, {0, 1, 1, 0, 1, 0, 0, 1, 1}, {0, 255, 255, 0, 255, 0, 0, 255, 255}},
        {2, 0, {0, 1, 2, 3, 3, 2, 1, 0, 1}, {0, 85, 170, 255, 255, 170, 85, 0, 85}},
        {4, 0, {0, 1, 15, 7, 8, 2, 3, 4, 5}, {0, 17, 255, 119, 136, 34, 51, 68, 85}},
        {8, 0, {0, 1, 254, 255, 128, 7, 9, 10, 11}, {0, 1, 254, 255, 128, 7, 9, 10, 11}},
        {16, 0, {0, 0x1234, 0xFFFF, 0x8001, 1, 2, 3, 256, 40000}, {0, 0x1234, 0xFFFF, 0x8001, 1, 2, 3, 256, 40000}},
        {8, 4, {250, 0, 3, 250}, {250, 3}},
        {16, 4, {60000, 0, 3, 60000}, {60000, 3}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.depth << " bits, colour type " << c.colourType);
        const QString path = dir.filePath(QStringLiteral("grey.png"));
        ASSERT_TRUE(writePng(path, {int(c.read.size()), 1, c.depth, c.colourType, false}, c.stored));
        QImage image;
        QString error;
        ASSERT_TRUE(readPng(path, image, error)) << error.toStdString();
        EXPECT_EQ(image.format(), c.depth == 16 ? QImage::Format_Grayscale16 : QImage::Format_Grayscale8);
        EXPECT_EQ(samplesOf(image), c.read);
    }
}

// Interlaced, palette and RGB files are read by the libpng reader too, so a
// damaged one is refused with libpng's reason; grey pixels keep their value
// and depth, colour is refused.
TEST(PngReader, EveryLayoutIsReadByTheLibpngReaderAtItsDepth)
{
    QTemporaryDir dir;
    const auto greys8 = randomSamples(17 * 9, 8, 4);
    const auto greys16 = randomSamples(17 * 9, 16, 5);
    const auto spread = [](const std::vector<std::uint16_t>& greys, int channels, std::uint16_t alpha) {
        std::vector<std::uint16_t> stored;
        for (const std::uint16_t g : greys) {
            stored.insert(stored.end(), channels >= 3 ? 3u : 1u, g);
            if (channels == 2 || channels == 4)
                stored.push_back(alpha);
        }
        return stored;
    };
    std::vector<std::uint32_t> greyPalette(256);
    std::vector<std::uint16_t> indices(greys8.size());
    for (std::size_t i = 0; i < greyPalette.size(); ++i)
        greyPalette[i] = std::uint32_t(255 - i) * 0x010101u;
    std::vector<std::uint16_t> paletteGreys(greys8.size());
    for (std::size_t i = 0; i < indices.size(); ++i) {
        indices[i] = greys8[i];
        paletteGreys[i] = std::uint16_t(255 - greys8[i]);
    }
    // Built whole before it goes into a case: g++ 12 at -O3 takes the palette of a layout braced inside an array
    // of cases for uninitialised.
    const auto png = [](int depth, int colourType, bool interlaced, std::vector<std::uint32_t> palette = {}) {
        PngLayout layout{17, 9, depth, colourType, interlaced};
        layout.palette = std::move(palette);
        return layout;
    };
    struct Case {
        const char* name;
        PngLayout layout;
        std::vector<std::uint16_t> stored;
        std::vector<std::uint16_t> read;
    };
    const std::vector<Case> cases{
        {"interlaced grey 8", png(8, 0, true), greys8, greys8},
        {"interlaced grey 16", png(16, 0, true), greys16, greys16},
        {"interlaced grey + alpha 16", png(16, 4, true), spread(greys16, 2, 7), greys16},
        {"interlaced grey RGB 16", png(16, 2, true), spread(greys16, 3, 0), greys16},
        {"grey RGBA 8", png(8, 6, false), spread(greys8, 4, 3), greys8},
        {"grey palette", png(8, 3, false, greyPalette), indices, paletteGreys},
        {"interlaced grey palette", png(8, 3, true, greyPalette), indices, paletteGreys},
    };
    // The case's file, and what readGrayImage says of it.
    const auto read = [&](const Case& c, const QString& name, QImage& image, QString& error) {
        const QString path = dir.filePath(name);
        EXPECT_TRUE(writePng(path, c.layout, c.stored));
        return readGrayImage(path, image, error);
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const QString path = dir.filePath(QStringLiteral("layout.png"));
        QImage image;
        QString error;
        ASSERT_TRUE(read(c, QStringLiteral("layout.png"), image, error)) << error.toStdString();
        QImage own;
        ASSERT_TRUE(readPng(path, own, error)) << "read by libpng, not the image library";
        EXPECT_EQ(own, image);
        EXPECT_EQ(image.format(), c.layout.bitDepth == 16 ? QImage::Format_Grayscale16 : QImage::Format_Grayscale8);
        EXPECT_EQ(samplesOf(image), c.read);

        // Cut in its image data: the reader says what libpng found.
        const QByteArray whole = readBytes(path);
        ASSERT_TRUE(writeBytes(path, whole.left(whole.size() - 40)));
        image = QImage();
        EXPECT_FALSE(readGrayImage(path, image, error));
        EXPECT_TRUE(error.startsWith(QStringLiteral("Unable to load %1: PNG read error in layout.png: ").arg(path)))
            << error.toStdString();
        EXPECT_TRUE(image.isNull());
    }

    std::vector<std::uint32_t> colourPalette = greyPalette;
    colourPalette[200] = 0x102030;
    const Case colour[] = {
        {"interlaced RGB", png(8, 2, true), [&] {
             auto stored = spread(greys8, 3, 0);
             stored[stored.size() - 2] ^= 1;
             return stored;
         }(), {}},
        {"palette with one colour in use", png(8, 3, false, colourPalette), [&] {
             auto stored = indices;
             stored[5] = 200;
             return stored;
         }(), {}},
    };
    for (const Case& c : colour) {
        SCOPED_TRACE(c.name);
        QImage image;
        QString error;
        EXPECT_FALSE(read(c, QStringLiteral("colour.png"), image, error));
        EXPECT_EQ(error, QStringLiteral("colour.png is a colour image. Tavro2D works on grayscale images (8 or 16 "
                                        "bits) — convert it before loading."));
        EXPECT_TRUE(image.isNull());
    }
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

TEST(BmpReader, PaletteAndTrueColourPixelsUseTheWeightedGreyRuleInBothRowOrders)
{
    QTemporaryDir dir;
    // R 200, G 100, B 50 -> (2200 + 1600 + 250) >> 5 = 126; 0x010203 -> (11 + 32 + 15) >> 5 = 1.
    const std::vector<std::uint32_t> colours = {0xC86432, 0xFFFFFF, 0x010203, 0x000000, 0x00FF00, 0x0000FF};
    // The palette has 6 entries: indices 6 and 200 stay themselves.
    const std::vector<std::uint16_t> greys = {126, 255, 1, 0, 127, 39, 6, 200};
    for (int bits : {8, 24, 32}) {
        for (int height : {2, -2}) {
            SCOPED_TRACE(::testing::Message() << bits << " bits, height " << height);
            const QString path = dir.filePath(QStringLiteral("grey.bmp"));
            std::vector<std::uint32_t> pixels = bits == 8 ? std::vector<std::uint32_t>{0, 1, 2, 3, 4, 5} : colours;
            pixels.insert(pixels.end(), {bits == 8 ? 6u : 0x060606u, bits == 8 ? 200u : 0xC8C8C8u});
            const BmpLayout setup = bits == 8 ? BmpLayout{4, height, 8, 0, 6, colours} : BmpLayout{4, height, bits, 0, 0, {}};
            ASSERT_TRUE(writeBytes(path, bmpBytes(setup, pixels)));
            QImage image;
            QString error;
            ASSERT_TRUE(readBmpGray(path, QRect(), 1, image, error)) << error.toStdString();
            EXPECT_EQ(image.format(), QImage::Format_Grayscale8);
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
        for (const QRect& region : {QRect(3, 2, 11, 13), QRect(0, 0, width, height), QRect(20, 10, 9, 9),
                                    QRect(QPoint(INT_MIN, 5), QPoint(INT_MAX, INT_MAX))}) {
            for (int step : {1, 2, 4}) {
                SCOPED_TRACE(::testing::Message() << "stored height " << stored << " step " << step);
                const QRect cut = inside(region, width, height);
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

namespace tavro::gui {

// Every reader says why it could not open a path that is no image file.
TEST(ReaderMessages, APathThatIsNoFileIsNamedWithItsReason) {
    testing::TempDir dir("tavro_reasons");
    const QString folder = QString::fromStdString(dir.path());
    const QString missing = folder + QStringLiteral("/missing.tif");
    const QString fifo = folder + QStringLiteral("/pipe.png");
    ASSERT_EQ(::mkfifo(fifo.toLocal8Bit().constData(), 0600), 0);
    QImage image;
    QString error;
    EXPECT_FALSE(readTiffGray(missing, QRect(), 1, image, error));
    EXPECT_TRUE(error.startsWith(QStringLiteral("Unable to open TIFF file. ("))) << error.toStdString();
    EXPECT_GT(error.size(), 30) << error.toStdString();
    error.clear();
    EXPECT_FALSE(readTiffGray(folder, QRect(), 1, image, error));
    EXPECT_TRUE(error.startsWith(QStringLiteral("Unable to open TIFF file. ("))) << error.toStdString();
    error.clear();
    EXPECT_FALSE(readPng(fifo, image, error));
    EXPECT_TRUE(error.startsWith(QStringLiteral("Unable to open PNG file. ("))) << error.toStdString();
    error.clear();
    EXPECT_FALSE(readPng(missing, image, error));
    EXPECT_TRUE(error.startsWith(QStringLiteral("Unable to open PNG file. ("))) << error.toStdString();

    std::uint32_t width = 0, height = 0;
    std::vector<float> values;
    for (const QString& path : {missing, folder, fifo}) {
        error.clear();
        EXPECT_FALSE(readFloatTiff(path, width, height, values, error));
        EXPECT_TRUE(error.startsWith(QStringLiteral("Unable to open TIFF file. ("))) << error.toStdString();
    }
}

}  // namespace tavro::gui
