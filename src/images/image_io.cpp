#include "images/image_io.h"

#include "images/image_io_detail.h"
#include "images/image_limits.h"
#include "images/regular_file.h"
#include "images/tiff_file.h"

#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QPixelFormat>
#include <QtEndian>

#include <tiffio.h>

#include <algorithm>
#include <climits>
#include <cstring>

#include <unistd.h>

namespace tavro::gui {

namespace {

QString lowerSuffix(const QString& path)
{
    return QFileInfo(path).suffix().toLower();
}

bool isTiffSuffix(const QString& suffix)
{
    return suffix == QLatin1String("tif") || suffix == QLatin1String("tiff");
}

// Qt 6.4 says false for 16-bit-per-channel grey RGB images, newer versions say
// true; asking both keeps the answer independent of the Qt version.
bool looksGray(const QImage& image)
{
    return image.isGrayscale() || image.allGray();
}

// Qt 6.4's own conversion of 16-bit RGB to Grayscale16 is not exact (1000
// becomes 1038), so wide samples are reduced here with the grey rule.
QImage toGray16(const QImage& image)
{
    const QImage rgba = image.convertToFormat(QImage::Format_RGBA64);
    QImage gray(rgba.size(), QImage::Format_Grayscale16);
    if (rgba.isNull() || gray.isNull())
        return {};
    for (int y = 0; y < rgba.height(); ++y) {
        const auto* in = reinterpret_cast<const QRgba64*>(rgba.constScanLine(y));
        auto* out = reinterpret_cast<quint16*>(gray.scanLine(y));
        for (int x = 0; x < rgba.width(); ++x)
            out[x] = quint16(grayFromRgb(in[x].red(), in[x].green(), in[x].blue()));
    }
    return gray;
}

// Channel depth, not pixel depth, decides: a grey 8-bit RGB image stays 8 bits
// instead of being stretched into 16-bit samples.
QImage toGrayFormat(const QImage& image)
{
    if (image.format() == QImage::Format_Grayscale8 || image.format() == QImage::Format_Grayscale16)
        return image;
    const QPixelFormat pixel = image.pixelFormat();
    const int channelBits = std::max({int(pixel.redSize()), int(pixel.greenSize()), int(pixel.blueSize())});
    return channelBits > 8 ? toGray16(image) : image.convertToFormat(QImage::Format_Grayscale8);
}

// TIFF content under another name must reach our reader too: the image
// library would show signed samples as raw two's complement.
bool startsLikeTiff(const detail::RegularFile& file)
{
    char magic[4];
    if (::pread(file.fd(), magic, sizeof magic, 0) != qint64(sizeof magic))
        return false;
    return std::memcmp(magic, "II*\0", 4) == 0 || std::memcmp(magic, "MM\0*", 4) == 0
           || std::memcmp(magic, "II+\0", 4) == 0 || std::memcmp(magic, "MM\0+", 4) == 0;
}

// PNG content under another name goes to our reader too, whose refusals say
// why where the image library's say only that it could not read the data.
bool startsLikePng(const detail::RegularFile& file)
{
    char magic[8];
    return ::pread(file.fd(), magic, sizeof magic, 0) == qint64(sizeof magic)
           && std::memcmp(magic, "\x89PNG\r\n\x1a\n", 8) == 0;
}

// Reads through the descriptor already checked, so that the image library
// never opens a path that became a FIFO or a device in the meantime.
// `handedOver` says why our own reader gave the file to the image library; it
// completes the library's message when that one fails too.
bool readWithQt(const QString& path, detail::RegularFile& regular, QImage& image, QString& error,
                const QString& handedOver)
{
    QFile file;
    if (!file.open(regular.release(), QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        error = QStringLiteral("Unable to load %1: %2").arg(path, file.errorString());
        return false;
    }
    QImageReader reader(&file, lowerSuffix(path).toLatin1());
    reader.setAutoTransform(true);
    const QImage read = reader.read();
    if (read.isNull()) {
        error = QStringLiteral("Unable to load %1: %2").arg(path, reader.errorString());
        if (!handedOver.isEmpty())
            error += QStringLiteral(" (%1)").arg(handedOver);
        return false;
    }
    if (!looksGray(read)) {
        error = detail::colourImageMessage(path);
        return false;
    }
    const QImage gray = toGrayFormat(read);
    if (gray.isNull()) {
        error = QStringLiteral("Unable to load %1: %2").arg(path, QStringLiteral("out of memory"));
        return false;
    }
    image = gray;
    return true;
}

// The image library reads TIFF through libtiff without our limits, so a file
// handed to it must be able to produce, strip by strip, what it claims: a few
// hundred bytes claiming gigabytes would otherwise be allocated before any
// check (61,450 samples per pixel in a SHORT tag is enough).
bool tiffFitsItsClaims(const QString& path, QString& reason)
{
    detail::TiffFile tif(path, "rm");
    if (!tif) {
        reason = tif.lastError();
        return false;
    }
    TIFF* t = tif.get();
    std::uint32_t width = 0, height = 0;
    TIFFGetField(t, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(t, TIFFTAG_IMAGELENGTH, &height);
    if (width == 0 || height == 0) {
        reason = QStringLiteral("the TIFF has no image size");
        return false;
    }
    const bool tiled = TIFFIsTiled(t) != 0;
    const std::uint32_t count = tiled ? TIFFNumberOfTiles(t) : TIFFNumberOfStrips(t);
    std::uint32_t rowsPerStrip = 0;
    if (!tiled)
        TIFFGetFieldDefaulted(t, TIFFTAG_ROWSPERSTRIP, &rowsPerStrip);
    const std::uint64_t rows = std::min<std::uint64_t>(std::max<std::uint32_t>(rowsPerStrip, 1), height);
    for (std::uint32_t s = 0; s < count; ++s) {
        std::uint64_t bytes = 0;
        if (tiled) {
            bytes = TIFFTileSize64(t);
        } else {
            const std::uint64_t first = std::uint64_t(s) * rows;
            if (first >= height)
                break;
            bytes = TIFFVStripSize64(t, std::uint32_t(std::min<std::uint64_t>(rows, height - first)));
        }
        if (bytes == 0 || !tif.holdsStrile(s, bytes)) {
            reason = QStringLiteral("its %1 %2 cannot hold the %3 bytes it claims")
                         .arg(tiled ? QStringLiteral("tile") : QStringLiteral("strip"))
                         .arg(s)
                         .arg(bytes);
            return false;
        }
    }
    return count > 0;
}

}  // namespace

namespace detail {

bool makeReadWindow(const QRect& region, std::int64_t imageWidth, std::int64_t imageHeight, int step,
                    ReadWindow& window)
{
    // Bounds from the stored corners: QRect's width() and isNull() overflow
    // int for regions that reach INT_MAX or INT_MIN.
    std::int64_t left = 0, top = 0, right = imageWidth, bottom = imageHeight;
    const std::int64_t regionRight = std::int64_t(region.right()) + 1;
    const std::int64_t regionBottom = std::int64_t(region.bottom()) + 1;
    if (regionRight > region.left() && regionBottom > region.top()) {
        left = std::max<std::int64_t>(left, region.left());
        top = std::max<std::int64_t>(top, region.top());
        right = std::min(right, regionRight);
        bottom = std::min(bottom, regionBottom);
    }
    if (right <= left || bottom <= top)
        return false;
    window.left = left;
    window.top = top;
    window.width = right - left;
    window.height = bottom - top;
    window.step = std::max(1, step);
    window.outWidth = (window.width - 1 + window.step) / window.step;
    window.outHeight = (window.height - 1 + window.step) / window.step;
    return true;
}

QImage allocateGrayImage(std::int64_t width, std::int64_t height, QImage::Format format)
{
    const std::int64_t bytesPerSample = format == QImage::Format_Grayscale16 ? 2 : 1;
    if (width < 1 || height < 1 || width > INT_MAX || height > INT_MAX)
        return {};
    if (std::uint64_t(width) * std::uint64_t(height) > kMaxImageBytes / bytesPerSample)
        return {};
    return QImage(int(width), int(height), format);
}

QString outsideRegionMessage()
{
    return QStringLiteral("Requested region is outside the image");
}

QString colourImageMessage(const QString& path)
{
    return QStringLiteral("%1 is a colour image. Tavro2D works on grayscale images (8 or 16 bits) — "
                          "convert it before loading.")
        .arg(QFileInfo(path).fileName());
}

QString allocationMessage(std::int64_t width, std::int64_t height)
{
    return QStringLiteral("Cannot allocate %1x%2 grayscale image (out of memory)").arg(width).arg(height);
}

}  // namespace detail

bool readGrayImage(const QString& path, QImage& image, QString& error)
{
    detail::RegularFile file(path);
    if (!file || file.size() == 0) {
        const QString reason = file ? QStringLiteral("The file is empty") : file.problem();
        error = QStringLiteral("Unable to load %1: %2").arg(path, reason);
        return false;
    }
    const QString suffix = lowerSuffix(path);
    QImage read;
    QString message;
    detail::ReadStatus status = detail::ReadStatus::Unsupported;
    if (suffix == QLatin1String("bmp"))
        status = detail::readBmp(path, QRect(), 1, read, message);
    else if (suffix == QLatin1String("png"))
        status = detail::readPngFile(path, read, message);
    else if (isTiffSuffix(suffix))
        status = detail::readTiff(path, QRect(), 1, read, message);
    if (status == detail::ReadStatus::Unsupported && !isTiffSuffix(suffix) && startsLikeTiff(file))
        status = detail::readTiff(path, QRect(), 1, read, message);
    else if (status == detail::ReadStatus::Unsupported && suffix != QLatin1String("png") && startsLikePng(file))
        status = detail::readPngFile(path, read, message);

    switch (status) {
    case detail::ReadStatus::Ok:
        image = read;
        return true;
    case detail::ReadStatus::Failed:
        error = QStringLiteral("Unable to load %1: %2").arg(path, message);
        return false;
    case detail::ReadStatus::Colour:
        error = detail::colourImageMessage(path);
        return false;
    case detail::ReadStatus::Unsupported:
        break;
    }
    if (isTiffSuffix(suffix) || startsLikeTiff(file)) {
        QString reason;
        if (!tiffFitsItsClaims(path, reason)) {
            error = QStringLiteral("Unable to load %1: %2").arg(path, reason);
            return false;
        }
    }
    return readWithQt(path, file, image, error, message);
}

QString loadFailureText(const QString& path, const QString& error)
{
    const QString prefix = QStringLiteral("Unable to load %1: ").arg(path);
    if (error.startsWith(prefix))
        return QStringLiteral("Unable to load %1:\n%2").arg(path, error.mid(prefix.size()));
    return QStringLiteral("Unable to load %1:\n%2").arg(path, error);
}

bool readDecimatedImage(const QString& path, QImage& image, QString& error)
{
    const QString suffix = lowerSuffix(path);
    const bool tiff = isTiffSuffix(suffix);
    if (!tiff && suffix != QLatin1String("bmp"))
        return false;
    QSize size;
    if (!probeImageSize(path, size) || size.isEmpty())
        return false;
    const std::int64_t longest = std::max(size.width(), size.height());
    const int step = int(std::max<std::int64_t>(1, (longest + 2047) / 2048));
    return tiff ? readTiffGray(path, QRect(), step, image, error)
                : readBmpGray(path, QRect(), step, image, error);
}

bool readTiffGray(const QString& path, const QRect& region, int step, QImage& image, QString& error)
{
    return detail::readTiff(path, region, step, image, error) == detail::ReadStatus::Ok;
}

bool readBmpGray(const QString& path, const QRect& region, int step, QImage& image, QString& error)
{
    return detail::readBmp(path, region, step, image, error) == detail::ReadStatus::Ok;
}

bool readPng(const QString& path, QImage& image, QString& error)
{
    const detail::ReadStatus status = detail::readPngFile(path, image, error);
    if (status == detail::ReadStatus::Colour)
        error = detail::colourImageMessage(path);
    return status == detail::ReadStatus::Ok;
}

bool probeImageSize(const QString& path, QSize& size)
{
    const QString suffix = lowerSuffix(path);
    if (isTiffSuffix(suffix)) {
        detail::TiffFile tif(path, "rm");
        if (!tif)
            return false;
        std::uint32_t width = 0, height = 0;
        if (TIFFGetField(tif.get(), TIFFTAG_IMAGEWIDTH, &width) != 1
            || TIFFGetField(tif.get(), TIFFTAG_IMAGELENGTH, &height) != 1)
            return false;
        if (width == 0 || height == 0 || width > INT_MAX || height > INT_MAX)
            return false;
        size = QSize(int(width), int(height));
        return true;
    }
    if (suffix == QLatin1String("bmp")) {
        detail::RegularFile regular(path);
        QFile file;
        if (!regular || !file.open(regular.release(), QIODevice::ReadOnly, QFileDevice::AutoCloseHandle))
            return false;
        uchar header[26];
        if (file.read(reinterpret_cast<char*>(header), sizeof header) != qint64(sizeof header))
            return false;
        const qint32 width = qFromLittleEndian<qint32>(header + 18);
        const qint32 height = qFromLittleEndian<qint32>(header + 22);
        if (width < 1 || height == 0 || height == INT_MIN)
            return false;
        size = QSize(width, height < 0 ? -height : height);
        return true;
    }
    return false;
}

LoadedTiffResult loadFloatTiff(const QString& path)
{
    LoadedTiffResult result;
    if (const QString invalid = detail::invalidNameProblem(path); !invalid.isEmpty()) {
        result.error = invalid;
        return result;
    }
    if (!QFileInfo::exists(path)) {
        result.error = QStringLiteral("File does not exist");
        return result;
    }
    std::uint32_t width = 0, height = 0;
    result.success = readFloatTiff(path, width, height, result.values, result.error);
    if (result.success) {
        result.width = std::int32_t(width);
        result.height = std::int32_t(height);
    }
    return result;
}

}  // namespace tavro::gui
