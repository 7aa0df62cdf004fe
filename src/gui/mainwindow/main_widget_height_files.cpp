// Height maps read from files: TIFF through our own libtiff reader (integer
// and float samples as they stand), every other layout through the intensity
// images' reader, so that a height map passes the checks an image does.
#include "gui/mainwindow/main_widget.h"

#include "gui/foundation/message_boxes.h"

#include "gui/mainwindow/input_rules.h"
#include "images/image_io.h"
#include "images/image_limits.h"
#include "images/tiff_file.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QImage>

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

// `layoutRefused` tells a refusal of one channel's samples, which no other
// reader gives a height meaning to; several channels may still be grey.
bool readHeightTiff(const QString& path, std::vector<float>& outData, int& outWidth, int& outHeight,
                    QString& error, bool& layoutRefused) {
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
        layoutRefused = samplesPerPixel == 1;
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

// Grey pixels as height values: 8-bit samples as 0..255, 16-bit ones as stored.
bool greyToHeights(const QImage& image, std::vector<float>& outData, int& outWidth, int& outHeight,
                   QString& error) {
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

bool isTiffPath(const QString& path) {
    return path.endsWith(QStringLiteral(".tif"), Qt::CaseInsensitive) ||
           path.endsWith(QStringLiteral(".tiff"), Qt::CaseInsensitive);
}

// One channel of a layout the reader takes: read as it stands, which the
// header alone tells. Any other layout needs the pixels to tell grey from colour.
bool tiffHeaderSuffices(const QString& path, QString& refusal) {
    detail::TiffFile file(path, "rm");
    if (!file)
        return false;
    SampleLayout layout;
    uint16_t samplesPerPixel = 1;
    TIFFGetFieldDefaulted(file.get(), TIFFTAG_BITSPERSAMPLE, &layout.bits);
    TIFFGetFieldDefaulted(file.get(), TIFFTAG_SAMPLEFORMAT, &layout.format);
    TIFFGetFieldDefaulted(file.get(), TIFFTAG_SAMPLESPERPIXEL, &samplesPerPixel);
    if (samplesPerPixel != 1)
        return false;
    refusal = refusedLayout(layout, samplesPerPixel);
    return true;
}

// PNG colour types 0 (grey) and 4 (grey with alpha), from the IHDR chunk.
bool isGreyPng(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray head = file.read(26);
    return head.size() == 26 && head.startsWith("\x89PNG\r\n\x1a\n") && head.mid(12, 4) == "IHDR" &&
           (head[25] == 0 || head[25] == 4);
}

} // namespace

QString MainWidget::heightFileRefusal(const QString& path) {
    if (isLossyImagePath(path))
        return lossyHeightRejectionText({QFileInfo(path).fileName()});
    QString refusal;
    if (isTiffPath(path) && tiffHeaderSuffices(path, refusal))
        return refusal;
    if (isGreyPng(path))
        return {};
    std::vector<float> values;
    int width = 0, height = 0;
    return loadHeightImage(path, values, width, height, refusal) ? QString() : refusal;
}

void MainWidget::rejectUnreadableHeightFiles(QStringList& paths) {
    const LossySplit split = splitLossyImages(paths);
    if (!split.rejectedNames.isEmpty()) {
        qWarning().noquote() << "[GUI] Lossy height file(s) rejected:" << split.rejectedNames.join(QStringLiteral(", "));
        showMessage(this, QStringLiteral("Unsupported image format"), lossyHeightRejectionText(split.rejectedNames));
    }
    // Refused now, with the reason the computation would give, rather than when it runs.
    QStringList kept;
    QStringList reasons;
    for (const QString& path : split.kept) {
        const QString refusal = heightFileRefusal(path);
        if (refusal.isEmpty())
            kept << path;
        else
            reasons << QStringLiteral("%1 was not added:\n%2").arg(QFileInfo(path).fileName(), refusal);
    }
    paths = kept;
    if (!reasons.isEmpty())
        sayRefusal(QStringLiteral("Height file"), reasons.join(QStringLiteral("\n\n")));
}

bool MainWidget::loadSingleHeightTiff(const QString& path, std::vector<float>& outData, int& outWidth,
                                      int& outHeight, QString& error) {
    bool layoutRefused = false;
    return readHeightTiff(path, outData, outWidth, outHeight, error, layoutRefused);
}

bool MainWidget::loadHeightImage(const QString& path, std::vector<float>& outData, int& outWidth, int& outHeight,
                                 QString& error) {
    // A JPEG's heights were altered when it was saved, however it reads.
    if (isLossyImagePath(path)) {
        error = lossyHeightRejectionText({QFileInfo(path).fileName()});
        return false;
    }
    if (isTiffPath(path)) {
        bool layoutRefused = false;
        if (readHeightTiff(path, outData, outWidth, outHeight, error, layoutRefused))
            return true;
        if (layoutRefused)
            return false;
        error.clear();
    }
    // Colour is refused with its reason and grey stored as RGB read at its own
    // depth: an 8-bit RGB file must not come back as 16-bit grey (x 257).
    QImage image;
    if (!readGrayImage(path, image, error))
        return false;
    return greyToHeights(image, outData, outWidth, outHeight, error);
}

}  // namespace tavro::gui
