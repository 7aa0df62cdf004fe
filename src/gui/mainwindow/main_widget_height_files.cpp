// Height maps read from files: TIFF through our own libtiff reader (integer
// and float samples as they stand), every other format through Qt.
#include "gui/mainwindow/main_widget.h"

#include "images/image_limits.h"
#include "images/tiff_file.h"

#include <QImage>
#include <QImageReader>

#include <tiffio.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>

namespace tavro::gui {

namespace {

struct SampleLayout {
    uint16_t bits = 0;
    uint16_t format = SAMPLEFORMAT_UINT;
};

// `count` samples of `layout` from `src` widened to floats at `dst`.
void convertSamples(const unsigned char* src, const SampleLayout& layout, uint64_t count, float* dst) {
    const bool isSigned = layout.format == SAMPLEFORMAT_INT;
    switch (layout.bits) {
    case 8:
        if (isSigned) {
            const auto* s = reinterpret_cast<const int8_t*>(src);
            for (uint64_t i = 0; i < count; ++i) dst[i] = float(s[i]);
        } else {
            for (uint64_t i = 0; i < count; ++i) dst[i] = float(src[i]);
        }
        break;
    case 16:
        for (uint64_t i = 0; i < count; ++i) {
            uint16_t raw;
            std::memcpy(&raw, src + 2 * i, 2);
            dst[i] = isSigned ? float(int16_t(raw)) : float(raw);
        }
        break;
    default:
        std::memcpy(dst, src, count * sizeof(float));
        break;
    }
}

// The layout refused, with the user's message; empty when it can be read.
QString refusedLayout(const SampleLayout& layout, uint16_t samplesPerPixel) {
    if (layout.bits == 32 && layout.format != SAMPLEFORMAT_IEEEFP)
        return QStringLiteral("Unsupported TIFF format: 32 bits, format %1 (float expected).").arg(layout.format);
    if (layout.bits != 32 && layout.bits != 16 && layout.bits != 8)
        return QStringLiteral("Unsupported TIFF format: %1 bits, format %2.\nSupported formats: 8-bit, 16-bit, "
                              "32-bit float.")
            .arg(layout.bits)
            .arg(layout.format);
    // Half floats would otherwise be taken as integers and give meaningless heights.
    if (layout.bits == 16 && layout.format == SAMPLEFORMAT_IEEEFP)
        return QStringLiteral("Unsupported TIFF format: 16-bit floating-point (half precision) heights.\nSupported "
                              "formats: 8-bit, 16-bit integer, 32-bit float.");
    if (samplesPerPixel != 1)
        return QStringLiteral("Height maps must have a single channel (%1 found).").arg(samplesPerPixel);
    return {};
}

bool readTiles(tiff* tif, const SampleLayout& layout, uint32_t width, uint32_t height, std::vector<float>& out,
               QString& error) {
    uint32_t tileWidth = 0, tileLength = 0;
    TIFFGetField(tif, TIFFTAG_TILEWIDTH, &tileWidth);
    TIFFGetField(tif, TIFFTAG_TILELENGTH, &tileLength);
    if (tileWidth == 0 || tileLength == 0) {
        error = QStringLiteral("Tiled TIFF with invalid tile dimensions.");
        return false;
    }
    const uint64_t bytesPerSample = layout.bits / 8;
    const uint64_t rowBytes = uint64_t(tileWidth) * bytesPerSample;
    const uint64_t tileBytes = uint64_t(TIFFTileSize64(tif));
    if (tileBytes < rowBytes * tileLength || tileBytes > detail::kMaxTileBytes) {
        error = QStringLiteral("Tiled TIFF with invalid tile dimensions.");
        return false;
    }
    std::vector<unsigned char> buffer(static_cast<size_t>(tileBytes));
    for (uint32_t y = 0; y < height; y += tileLength) {
        for (uint32_t x = 0; x < width; x += tileWidth) {
            if (TIFFReadTile(tif, buffer.data(), x, y, 0, 0) < 0) {
                error = QStringLiteral("Read error at tile (%1,%2)").arg(x).arg(y);
                return false;
            }
            const uint32_t rows = std::min(tileLength, height - y);
            const uint32_t columns = std::min(tileWidth, width - x);
            for (uint32_t r = 0; r < rows; ++r)
                convertSamples(buffer.data() + r * rowBytes, layout, columns,
                               out.data() + (uint64_t(y) + r) * width + x);
        }
    }
    return true;
}

bool readScanlines(tiff* tif, const SampleLayout& layout, uint32_t width, uint32_t height, std::vector<float>& out,
                   QString& error) {
    const uint64_t lineBytes = uint64_t(TIFFScanlineSize64(tif));
    if (lineBytes < uint64_t(width) * (layout.bits / 8)) {
        error = QStringLiteral("Read error at line %1").arg(0);
        return false;
    }
    std::vector<unsigned char> buffer(static_cast<size_t>(lineBytes));
    for (uint32_t row = 0; row < height; ++row) {
        if (TIFFReadScanline(tif, buffer.data(), row, 0) < 0) {
            error = QStringLiteral("Read error at line %1").arg(row);
            return false;
        }
        convertSamples(buffer.data(), layout, width, out.data() + uint64_t(row) * width);
    }
    return true;
}

} // namespace

bool MainWidget::loadSingleHeightTiff(const QString& path, std::vector<float>& outData, int& outWidth,
                                      int& outHeight, QString& error) {
    detail::TiffFile file(path, "rm");
    if (!file) {
        error = QStringLiteral("Unable to open TIFF file: %1").arg(path);
        return false;
    }
    tiff* tif = file.get();
    uint32_t width = 0, height = 0;
    uint16_t samplesPerPixel = 1;
    SampleLayout layout;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height);
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &layout.bits);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &layout.format);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &samplesPerPixel);
    if (const QString refused = refusedLayout(layout, samplesPerPixel); !refused.isEmpty()) {
        error = refused;
        return false;
    }
    const uint64_t samples = uint64_t(width) * uint64_t(height);
    if (width == 0 || height == 0 || width > uint32_t(INT32_MAX) || height > uint32_t(INT32_MAX) ||
        samples * sizeof(float) > detail::kMaxImageBytes) {
        error = QStringLiteral("Invalid TIFF dimensions (%1 x %2).").arg(width).arg(height);
        return false;
    }
    try {
        outData.assign(static_cast<size_t>(samples), 0.0f);
    } catch (const std::bad_alloc&) {
        error = QStringLiteral("Not enough memory for a %1 x %2 height map.").arg(width).arg(height);
        return false;
    }
    outWidth = int(width);
    outHeight = int(height);
    return TIFFIsTiled(tif) ? readTiles(tif, layout, width, height, outData, error)
                            : readScanlines(tif, layout, width, height, outData, error);
}

bool MainWidget::loadHeightImage(const QString& path, std::vector<float>& outData, int& outWidth, int& outHeight,
                                 QString& error) {
    if (path.endsWith(QStringLiteral(".tif"), Qt::CaseInsensitive) ||
        path.endsWith(QStringLiteral(".tiff"), Qt::CaseInsensitive)) {
        if (loadSingleHeightTiff(path, outData, outWidth, outHeight, error))
            return true;
        // A TIFF our reader refuses (an RGB one, say) may still be grey to Qt.
        error.clear();
    }
    QImageReader reader(path);
    reader.setAutoTransform(true);
    QImage image = reader.read();
    if (image.isNull()) {
        error = QStringLiteral("Unable to load image: %1").arg(reader.errorString());
        return false;
    }
    if (image.format() != QImage::Format_Grayscale8 && image.format() != QImage::Format_Grayscale16)
        image = image.convertToFormat(image.depth() > 8 ? QImage::Format_Grayscale16 : QImage::Format_Grayscale8);
    const int width = image.width();
    const int height = image.height();
    try {
        outData.resize(static_cast<size_t>(uint64_t(width) * uint64_t(height)));
    } catch (const std::bad_alloc&) {
        error = QStringLiteral("Not enough memory for a %1 x %2 height map.").arg(width).arg(height);
        return false;
    }
    outWidth = width;
    outHeight = height;
    const bool wide = image.format() == QImage::Format_Grayscale16;
    for (int y = 0; y < height; ++y) {
        float* row = outData.data() + uint64_t(y) * width;
        if (wide) {
            const auto* line = reinterpret_cast<const quint16*>(image.constScanLine(y));
            for (int x = 0; x < width; ++x) row[x] = float(line[x]);
        } else {
            const uchar* line = image.constScanLine(y);
            for (int x = 0; x < width; ++x) row[x] = float(line[x]);
        }
    }
    return true;
}

}  // namespace tavro::gui
