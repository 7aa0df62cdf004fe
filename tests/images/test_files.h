#pragma once

#include <QByteArray>
#include <QImage>
#include <QString>
#include <QTemporaryDir>

#include <cstdint>
#include <vector>

// Fixture files written by the tests themselves: TIFF through libtiff, PNG
// through libpng, BMP and malformed TIFF byte by byte.
namespace tavro::gui::fixtures {

struct TiffLayout {
    int width = 0;
    int height = 0;
    int bitsPerSample = 8;
    int sampleFormat = 1;          // unsigned integer
    int photometric = 1;           // black is zero
    int compression = 1;           // none
    int rowsPerStrip = 0;          // 0: one strip
    int tileWidth = 0;             // non-zero: tiled
    int tileLength = 0;
    int samplesPerPixel = 1;       // above 1: the extra samples are alpha
};

// Samples are row-major, all samples of a pixel together; 8-bit files keep
// the low byte. Tiles are padded with
// 0xEE, so a reader that shows padding is caught.
bool writeTiff(const QString& path, const TiffLayout& device, const std::vector<std::uint16_t>& samples);
bool writeFloatTiffFixture(const QString& path, const TiffLayout& device, const std::vector<float>& values);

struct PngLayout {
    int width = 0;
    int height = 0;
    int bitDepth = 8;
    int colourType = 0;  // 0 grey, 2 RGB, 3 palette, 4 grey + alpha, 6 RGB + alpha
    bool interlaced = false;
    std::vector<std::uint32_t> palette = {};  // 0x00RRGGBB entries of a palette file
};

// One value per channel, row-major; alpha (when present) follows each grey sample.
bool writePng(const QString& path, const PngLayout& device, const std::vector<std::uint16_t>& channels);

struct BmpLayout {
    int width = 0;
    int height = 0;  // negative: rows stored top-down
    int bitCount = 24;
    std::uint32_t compression = 0;
    std::uint32_t paletteCount = 0;               // written into the header
    std::vector<std::uint32_t> palette;           // 0x00RRGGBB entries written to the file
};

// Pixels: for 8-bit files palette indices, otherwise 0x00RRGGBB, top row first.
QByteArray bmpBytes(const BmpLayout& device, const std::vector<std::uint32_t>& pixels);

struct TiffTag {
    std::uint16_t tag;
    std::uint16_t type;   // 3 SHORT, 4 LONG
    std::uint32_t count;
    std::uint32_t value;  // inline value or offset
};

// A little-endian classic TIFF: header, `data` at offset 8, then one IFD with
// `tags` (sorted here). Lets a test state any tag value, however wrong.
QByteArray tiffBytes(std::vector<TiffTag> tags, const QByteArray& data);
inline constexpr std::uint32_t kTiffDataOffset = 8;

bool writeBytes(const QString& path, const QByteArray& bytes);
QByteArray readBytes(const QString& path);

QImage grayImage(int width, int height, QImage::Format format, std::uint32_t seed);

}  // namespace tavro::gui::fixtures
