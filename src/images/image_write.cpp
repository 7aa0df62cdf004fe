#include "images/image_write.h"

#include "images/tiff_file.h"
#include "platform/replaced_file.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>

#include <tiffio.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>


namespace tavro::gui {

namespace {

using detail::TiffFile;

struct RasterLayout {
    int width = 0;
    int height = 0;
    int bitsPerSample = 8;
    int sampleFormat = SAMPLEFORMAT_UINT;
    int compression = COMPRESSION_NONE;
    bool predictorTag = false;
    int progressEvery = 256;
    QByteArray description;

    std::uint64_t rowBytes() const { return std::uint64_t(width) * std::uint64_t(bitsPerSample / 8); }
};

bool abortWrite(QString& error)
{
    error = QStringLiteral("Écriture annulée.");
    return false;
}

enum class TagResult { Ok, MetadataFailed, StripLayoutFailed };

TagResult setTags(TIFF* tif, const RasterLayout& layout)
{
    const bool metadata =
        TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, std::uint32_t(layout.width)) == 1
        && TIFFSetField(tif, TIFFTAG_IMAGELENGTH, std::uint32_t(layout.height)) == 1
        && TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1) == 1
        && TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, layout.bitsPerSample) == 1
        && TIFFSetField(tif, TIFFTAG_SAMPLEFORMAT, layout.sampleFormat) == 1
        && TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) == 1
        && TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK) == 1
        && TIFFSetField(tif, TIFFTAG_COMPRESSION, layout.compression) == 1
        && (!layout.predictorTag || TIFFSetField(tif, TIFFTAG_PREDICTOR, PREDICTOR_NONE) == 1)
        && TIFFSetField(tif, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT) == 1
        && TIFFSetField(tif, TIFFTAG_SOFTWARE, "Tavro2D") == 1
        && (layout.description.isEmpty()
            || TIFFSetField(tif, TIFFTAG_IMAGEDESCRIPTION, layout.description.constData()) == 1);
    if (!metadata)
        return TagResult::MetadataFailed;
    // One row's byte count taken as a number of rows: most rasters fit one strip.
    const std::uint32_t request =
        std::uint32_t(std::clamp<std::uint64_t>(layout.rowBytes(), 1, std::uint64_t(UINT32_MAX)));
    if (TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(tif, request)) != 1)
        return TagResult::StripLayoutFailed;
    return TagResult::Ok;
}

// Anything but a regular file (a FIFO, a device, a folder) is refused rather
// than replaced; a chain of links is written through to its end.
bool resolveTarget(const QString& path, const QString& within, QString& error, platform::WriteTarget& target)
{
    std::string reason;
    if (!platform::resolveWriteTarget(QFile::encodeName(path).toStdString(), target, reason,
                                      within.isEmpty() ? std::string() : QFile::encodeName(within).toStdString())) {
        error = QStringLiteral("Unable to create TIFF file. (%1: %2)").arg(path, QString::fromLocal8Bit(reason));
        return false;
    }
    return true;
}

template <typename RowAt>
bool writeRasterTo(platform::WriteTarget target, const RasterLayout& layout, RowAt rowAt, QString& error,
                   const WriteProgress& progress)
{
    const std::uint64_t pixelBytes = layout.rowBytes() * std::uint64_t(layout.height);
    const QString path = QFile::decodeName(QByteArray::fromStdString(target.path));
    platform::ReplacementFile temporary(std::move(target));
    std::string reason;
    platform::FileDescriptor fd = temporary.create(reason);
    if (!fd) {
        error = QStringLiteral("Unable to create TIFF file. (%1: %2)").arg(path, QString::fromLocal8Bit(reason));
        return false;
    }
    TiffFile tif(std::move(fd), needsBigTiff(pixelBytes) ? "w8" : "w", path);
    if (!tif) {
        error = tif.failure(QStringLiteral("Unable to create TIFF file."));
        return false;
    }
    switch (setTags(tif.get(), layout)) {
    case TagResult::MetadataFailed:
        error = tif.failure(QStringLiteral("Unable to configure TIFF metadata."));
        return false;
    case TagResult::StripLayoutFailed:
        error = tif.failure(QStringLiteral("Unable to configure TIFF strip layout."));
        return false;
    case TagResult::Ok:
        break;
    }

    // A row copy keeps libtiff, whose writer takes a non-const buffer, away
    // from the caller's data.
    std::vector<unsigned char> row(std::size_t(layout.rowBytes()));
    for (int r = 0; r < layout.height; ++r) {
        std::memcpy(row.data(), rowAt(r), row.size());
        // The error handler names errno: only a failure of this call may set it.
        errno = 0;
        if (TIFFWriteScanline(tif.get(), row.data(), std::uint32_t(r), 0) != 1) {
            error = tif.failure(QStringLiteral("Failed to write line %1 to TIFF.").arg(r));
            return false;
        }
        if (r % layout.progressEvery == 0 && progress && !progress(r, layout.height)) {
            tif.close();
            return abortWrite(error);
        }
    }
    errno = 0;
    if (!tif.finishWriting()) {
        error = tif.failure(QStringLiteral("Failed to finish writing the TIFF file."));
        return false;
    }
    if (!temporary.commit(reason)) {
        error = QString::fromLocal8Bit(reason);
        return false;
    }
    return true;
}

template <typename RowAt>
bool writeRaster(const QString& path, const RasterLayout& layout, RowAt rowAt, QString& error,
                 const WriteProgress& progress, const QString& within)
{
    try {
        platform::WriteTarget target;
        if (!resolveTarget(path, within, error, target))
            return false;
        platform::ignoreFileSizeSignal();
        return writeRasterTo(std::move(target), layout, rowAt, error, progress);
    } catch (const std::bad_alloc&) {
        error = QStringLiteral("Out of memory while writing %1").arg(path);
        return false;
    }
}

}  // namespace

bool writeFloatTiff(const QString& path, int width, int height, const std::vector<float>& values, QString& error,
                    WriteProgress progress, const QString& projectFolder, const QByteArray& description)
{
    if (width < 1 || height < 1) {
        error = QStringLiteral("Invalid dimensions for TIFF image.");
        return false;
    }
    if (std::uint64_t(values.size()) != std::uint64_t(width) * std::uint64_t(height)) {
        error = QStringLiteral("Data size inconsistent with dimensions.");
        return false;
    }
    RasterLayout layout;
    layout.width = width;
    layout.height = height;
    layout.bitsPerSample = 32;
    layout.sampleFormat = SAMPLEFORMAT_IEEEFP;
    layout.compression = COMPRESSION_ADOBE_DEFLATE;
    layout.predictorTag = true;
    layout.progressEvery = 64;
    layout.description = description;
    const float* data = values.data();
    const auto rowAt = [data, width](int r) { return data + std::size_t(r) * std::size_t(width); };
    return writeRaster(path, layout, rowAt, error, progress, projectFolder);
}

bool writeGrayTiff(const QString& path, const QImage& image, QString& error, WriteProgress progress,
                   const QString& projectFolder)
{
    if (image.isNull()) {
        error = QStringLiteral("Empty image.");
        return false;
    }
    if (image.format() != QImage::Format_Grayscale8 && image.format() != QImage::Format_Grayscale16) {
        error = QStringLiteral("Only 8/16-bit grayscale images can be written.");
        return false;
    }
    RasterLayout layout;
    layout.width = image.width();
    layout.height = image.height();
    layout.bitsPerSample = image.format() == QImage::Format_Grayscale16 ? 16 : 8;
    const auto rowAt = [&image](int r) { return image.constScanLine(r); };
    return writeRaster(path, layout, rowAt, error, progress, projectFolder);
}

bool verifyWrittenTiff(const QString& path, const QImage& image)
{
    if (image.isNull() || !QFileInfo::exists(path))
        return false;
    TiffFile tif(path, "rm");
    if (!tif)
        return false;
    std::uint32_t width = 0, height = 0;
    std::uint16_t bits = 0;
    TIFFGetField(tif.get(), TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tif.get(), TIFFTAG_IMAGELENGTH, &height);
    TIFFGetFieldDefaulted(tif.get(), TIFFTAG_BITSPERSAMPLE, &bits);
    const std::uint16_t expectedBits = image.format() == QImage::Format_Grayscale16 ? 16 : 8;
    return width == std::uint32_t(image.width()) && height == std::uint32_t(image.height()) && bits == expectedBits;
}

WriteProgress guiWriteProgress()
{
    return [](int, int) {
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
        return true;
    };
}

bool ensureFolder(const QString& base, const QString& sub, QString& error)
{
    const QString folder = base + QLatin1Char('/') + sub;
    if (QDir(folder).exists())
        return true;
    if (QDir(base).mkpath(sub))
        return true;
    error = QStringLiteral("Unable to create folder %1").arg(folder);
    return false;
}

QString firstExistingFolder(const std::vector<QString>& paths)
{
    for (const QString& path : paths) {
        if (!path.isEmpty() && QFileInfo::exists(path))
            return QFileInfo(path).absolutePath();
    }
    return {};
}

}  // namespace tavro::gui
