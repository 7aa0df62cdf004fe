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

// Grey kept in three equal channels is its grey value at its own depth (an
// 8-bit file stretched to 16 bits would make every height 257 times larger);
// colour has no height meaning and is refused with the reason.
TEST_F(HeightFiles, GreyStoredAsRgbIsItsGreyValueAndColourIsRefused) {
    writeTiff(dir.file("grey8.tif").string(), {8, SAMPLEFORMAT_UINT, 3}, 2, 1,
              std::vector<unsigned char>{100, 100, 100, 102, 102, 102});
    const Loaded narrow = load(dir.file("grey8.tif"));
    ASSERT_TRUE(narrow.ok) << narrow.error.toStdString();
    EXPECT_EQ(narrow.data, (std::vector<float>{100, 102}));

    writeTiff(dir.file("grey16.tif").string(), {16, SAMPLEFORMAT_UINT, 3}, 2, 1,
              bytesOf(std::vector<uint16_t>{1000, 1000, 1000, 40000, 40000, 40000}));
    const Loaded wide = load(dir.file("grey16.tif"));
    ASSERT_TRUE(wide.ok) << wide.error.toStdString();
    EXPECT_EQ(wide.data, (std::vector<float>{1000, 40000}));

    QImage grey(2, 1, QImage::Format_RGB32);
    grey.setPixel(0, 0, qRgb(100, 100, 100));
    grey.setPixel(1, 0, qRgb(255, 255, 255));
    for (const char* name : {"g.png", "g.bmp"}) {
        ASSERT_TRUE(grey.save(QString::fromStdString(dir.file(name).string())));
        const Loaded l = load(dir.file(name));
        ASSERT_TRUE(l.ok) << name << ": " << l.error.toStdString();
        EXPECT_EQ(l.data, (std::vector<float>{100, 255})) << name;
    }

    writeTiff(dir.file("rgb.tif").string(), {8, SAMPLEFORMAT_UINT, 3}, 2, 1,
              std::vector<unsigned char>{10, 20, 30, 200, 100, 0});
    QImage colour = grey;
    colour.setPixel(0, 0, qRgb(255, 0, 0));
    ASSERT_TRUE(colour.save(QString::fromStdString(dir.file("c.png").string())));
    for (const char* name : {"rgb.tif", "c.png"}) {
        const Loaded l = load(dir.file(name));
        EXPECT_FALSE(l.ok) << name;
        EXPECT_TRUE(l.error.startsWith(QString::fromLatin1(name) + QStringLiteral(" is a colour image.")))
            << l.error.toStdString();
    }
    // One channel of a layout without a height meaning keeps the TIFF reader's reason.
    writeTiff(dir.file("half.tif").string(), {16, SAMPLEFORMAT_IEEEFP}, 2, 1, bytesOf(std::vector<uint16_t>{0x3C00, 0}));
    EXPECT_TRUE(load(dir.file("half.tif")).error.contains(QStringLiteral("half precision")));
}

// JPEG altered the heights when it saved them, grey or not, whatever the case
// of the suffix.
TEST_F(HeightFiles, JpegFilesAreRefusedBeforeTheyAreRead) {
    QImage grey(4, 4, QImage::Format_Grayscale8);
    grey.fill(100);
    for (const char* name : {"h.jpg", "H.JPEG"}) {
        const QString path = QString::fromStdString(dir.file(name).string());
        ASSERT_TRUE(grey.save(path, "JPG"));
        const Loaded l = load(dir.file(name));
        EXPECT_FALSE(l.ok) << name;
        EXPECT_TRUE(l.error.startsWith(QString::fromLatin1(name) + QStringLiteral(" uses JPEG compression")))
            << l.error.toStdString();
    }
}

}  // namespace
}  // namespace tavro::gui
