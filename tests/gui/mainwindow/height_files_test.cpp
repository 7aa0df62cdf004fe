// Height maps read from TIFF, PNG and other files: values as they stand.
#include "gui/mainwindow/main_widget.h"

#include "support/temp_dir.h"
#include "support/test_application.h"

#include <QColor>
#include <QImage>

#include <tiffio.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

namespace tavro::gui {
namespace {

struct TiffLayout {
    uint16_t bits = 16;
    uint16_t format = SAMPLEFORMAT_UINT;
    uint16_t samples = 1;
    uint32_t tileSize = 0;  // 0: stripped
};

// Writes `width` x `height` samples, each given as raw little-endian bytes of `layout.bits`.
void writeTiff(const std::string& path, const TiffLayout& layout, uint32_t width, uint32_t height,
               const std::vector<unsigned char>& raw) {
    TIFF* tif = TIFFOpen(path.c_str(), "w");
    ASSERT_NE(tif, nullptr);
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, height);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, layout.bits);
    TIFFSetField(tif, TIFFTAG_SAMPLEFORMAT, layout.format);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, layout.samples);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, layout.samples == 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK);
    const size_t pixelBytes = size_t(layout.bits / 8) * layout.samples;
    if (layout.tileSize) {
        TIFFSetField(tif, TIFFTAG_TILEWIDTH, layout.tileSize);
        TIFFSetField(tif, TIFFTAG_TILELENGTH, layout.tileSize);
        std::vector<unsigned char> tile(size_t(layout.tileSize) * layout.tileSize * pixelBytes, 0);
        for (uint32_t ty = 0; ty < height; ty += layout.tileSize)
            for (uint32_t tx = 0; tx < width; tx += layout.tileSize) {
                std::fill(tile.begin(), tile.end(), 0xEE);  // padding that must never show
                for (uint32_t r = 0; r < layout.tileSize && ty + r < height; ++r)
                    for (uint32_t c = 0; c < layout.tileSize && tx + c < width; ++c)
                        std::memcpy(&tile[(size_t(r) * layout.tileSize + c) * pixelBytes],
                                    &raw[(size_t(ty + r) * width + tx + c) * pixelBytes], pixelBytes);
                ASSERT_GE(TIFFWriteTile(tif, tile.data(), tx, ty, 0, 0), 0);
            }
    } else {
        TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, 1u);
        for (uint32_t y = 0; y < height; ++y)
            ASSERT_GE(TIFFWriteScanline(tif, const_cast<unsigned char*>(&raw[size_t(y) * width * pixelBytes]), y, 0),
                      0);
    }
    TIFFClose(tif);
}

template <typename T>
std::vector<unsigned char> bytesOf(const std::vector<T>& values) {
    std::vector<unsigned char> raw(values.size() * sizeof(T));
    std::memcpy(raw.data(), values.data(), raw.size());
    return raw;
}

struct Loaded {
    bool ok = false;
    std::vector<float> data;
    int width = 0, height = 0;
    QString error;
};

Loaded load(const std::filesystem::path& path, bool generic = true) {
    Loaded l;
    const QString qpath = QString::fromStdString(path.string());
    l.ok = generic ? MainWidget::loadHeightImage(qpath, l.data, l.width, l.height, l.error)
                   : MainWidget::loadSingleHeightTiff(qpath, l.data, l.width, l.height, l.error);
    return l;
}

class HeightFiles : public ::testing::Test {
protected:
    void SetUp() override { test::testApplication(); }
    testing::TempDir dir{"tavro_height_files"};
};

TEST_F(HeightFiles, SignedIntegerSamplesKeepTheirSign) {
    const std::vector<int16_t> wide{-32768, -5, 0, 7, 32767, -1};
    writeTiff(dir.file("s16.tif").string(), {16, SAMPLEFORMAT_INT}, 3, 2, bytesOf(wide));
    const Loaded l16 = load(dir.file("s16.tif"));
    ASSERT_TRUE(l16.ok) << l16.error.toStdString();
    EXPECT_EQ(l16.data, (std::vector<float>{-32768, -5, 0, 7, 32767, -1}));

    const std::vector<int8_t> narrow{-128, -1, 0, 127};
    writeTiff(dir.file("s8.tif").string(), {8, SAMPLEFORMAT_INT}, 2, 2, bytesOf(narrow));
    const Loaded l8 = load(dir.file("s8.tif"));
    ASSERT_TRUE(l8.ok) << l8.error.toStdString();
    EXPECT_EQ(l8.data, (std::vector<float>{-128, -1, 0, 127}));

    // An upper-case extension still reaches the TIFF reader: only it gives negatives.
    writeTiff(dir.file("UPPER.TIF").string(), {16, SAMPLEFORMAT_INT}, 3, 2, bytesOf(wide));
    EXPECT_EQ(load(dir.file("UPPER.TIF")).data[1], -5.0f);
}

TEST_F(HeightFiles, UnsignedIntegerSamplesAreTheirValues) {
    const std::vector<uint16_t> wide{0, 1, 40000, 65535};
    writeTiff(dir.file("u16.tif").string(), {16, SAMPLEFORMAT_UINT}, 2, 2, bytesOf(wide));
    const Loaded l = load(dir.file("u16.tif"));
    ASSERT_TRUE(l.ok);
    EXPECT_EQ(l.data, (std::vector<float>{0, 1, 40000, 65535}));
}

TEST_F(HeightFiles, FloatSamplesAreCopiedBitForBitAcrossPartialTiles) {
    // 37 x 21 in 16 x 16 tiles: the last tile column and row are partial.
    const uint32_t w = 37, h = 21;
    std::vector<float> values(size_t(w) * h);
    for (size_t i = 0; i < values.size(); ++i) values[i] = 0.25f * float(i) - 100.0f;
    values[5] = std::numeric_limits<float>::quiet_NaN();
    values[6] = -std::numeric_limits<float>::infinity();
    writeTiff(dir.file("tiled.tif").string(), {32, SAMPLEFORMAT_IEEEFP, 1, 16}, w, h, bytesOf(values));
    const Loaded l = load(dir.file("tiled.tif"), false);
    ASSERT_TRUE(l.ok) << l.error.toStdString();
    ASSERT_EQ(l.width, 37);
    ASSERT_EQ(l.height, 21);
    ASSERT_EQ(l.data.size(), values.size());
    EXPECT_TRUE(std::isnan(l.data[5]));
    EXPECT_EQ(l.data[6], -std::numeric_limits<float>::infinity());
    for (size_t i = 7; i < values.size(); ++i) ASSERT_EQ(l.data[i], values[i]) << i;
}

TEST_F(HeightFiles, LayoutsWithoutAHeightMeaningAreRefusedWithTheirReason) {
    writeTiff(dir.file("half.tif").string(), {16, SAMPLEFORMAT_IEEEFP}, 2, 1, bytesOf(std::vector<uint16_t>{0x3C00, 0}));
    const Loaded half = load(dir.file("half.tif"), false);
    EXPECT_FALSE(half.ok);
    EXPECT_TRUE(half.error.contains(QStringLiteral("half precision"))) << half.error.toStdString();

    writeTiff(dir.file("u32.tif").string(), {32, SAMPLEFORMAT_UINT}, 2, 1, bytesOf(std::vector<uint32_t>{1, 2}));
    EXPECT_EQ(load(dir.file("u32.tif"), false).error,
              QStringLiteral("Unsupported TIFF format: 32 bits, format 1 (float expected)."));

    const std::vector<uint8_t> rgb{10, 20, 30, 200, 100, 0};
    writeTiff(dir.file("rgb.tif").string(), {8, SAMPLEFORMAT_UINT, 3}, 2, 1, rgb);
    EXPECT_EQ(load(dir.file("rgb.tif"), false).error, QStringLiteral("Height maps must have a single channel (3 found)."));

    const Loaded missing = load(dir.file("absent.tif"), false);
    EXPECT_FALSE(missing.ok);
    EXPECT_TRUE(missing.error.startsWith(QStringLiteral("Unable to open TIFF file: "))) << missing.error.toStdString();
}

TEST_F(HeightFiles, WhatTheTiffReaderRefusesGoesToTheGenericReaderAsGrey) {
    const std::vector<uint8_t> rgb{10, 20, 30, 200, 100, 0};
    writeTiff(dir.file("rgb.tif").string(), {8, SAMPLEFORMAT_UINT, 3}, 2, 1, rgb);
    const Loaded l = load(dir.file("rgb.tif"));
    ASSERT_TRUE(l.ok) << l.error.toStdString();
    EXPECT_TRUE(l.error.isEmpty());
    ASSERT_EQ(l.data.size(), 2u);
    // Qt reads 8-bit RGB as a 32-bit image, which becomes 16-bit grey.
    const QImage expected = QImage(QString::fromStdString(dir.file("rgb.tif").string()))
                                .convertToFormat(QImage::Format_Grayscale16);
    EXPECT_EQ(l.data[0], float(reinterpret_cast<const quint16*>(expected.constScanLine(0))[0]));
    EXPECT_GT(l.data[1], l.data[0]);

    QImage colour(3, 1, QImage::Format_RGB32);
    colour.setPixel(0, 0, qRgb(255, 0, 0));
    colour.setPixel(1, 0, qRgb(0, 0, 0));
    colour.setPixel(2, 0, qRgb(255, 255, 255));
    ASSERT_TRUE(colour.save(QString::fromStdString(dir.file("c.png").string())));
    const Loaded png = load(dir.file("c.png"));
    ASSERT_TRUE(png.ok);
    const QImage grey = colour.convertToFormat(QImage::Format_Grayscale16);
    const auto* line = reinterpret_cast<const quint16*>(grey.constScanLine(0));
    EXPECT_EQ(png.data, (std::vector<float>{float(line[0]), 0.0f, 65535.0f}));
}

}  // namespace
}  // namespace tavro::gui
