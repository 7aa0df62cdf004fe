#include "images/image_write.h"

#include "images/tiff_file.h"
#include "platform/regular_file.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <tiffio.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <new>
#include <system_error>

#include <sys/stat.h>
#include <unistd.h>

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

    std::uint64_t rowBytes() const { return std::uint64_t(width) * std::uint64_t(bitsPerSample / 8); }
};

// Removes the temporary file on every path out unless the write was committed.
class TemporaryFile {
public:
    explicit TemporaryFile(const QString& target)
    {
        const QFileInfo info(target);
        const QString unique = QStringLiteral("%1").arg(QRandomGenerator::global()->generate64(), 16, 16, QLatin1Char('0'));
        const QString name = QStringLiteral(".%1.%2.tmp").arg(leadingPart(info.fileName(), 100), unique);
        path_ = info.dir().filePath(name);
    }
    ~TemporaryFile()
    {
        if (!committed_)
            QFile::remove(path_);
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    const QString& path() const { return path_; }

    // An existing file keeps its permissions; a new one gets the process's
    // defaults, which libtiff's open already applied.
    bool commitTo(const QString& target, QString& error)
    {
        const bool replacing = QFileInfo::exists(target);
        if (replacing)
            keepModeAndOwner(target);
        std::error_code code;
        std::filesystem::rename(std::filesystem::path(QFile::encodeName(path_).toStdString()),
                                std::filesystem::path(QFile::encodeName(target).toStdString()), code);
        if (code) {
            error = (replacing ? QStringLiteral("Unable to replace %1: %2") : QStringLiteral("Unable to create %1: %2"))
                        .arg(target, QString::fromStdString(code.message()));
            return false;
        }
        committed_ = true;
        return true;
    }

private:
    // The mode bits themselves, not QFile's permissions: those report what the
    // current user may do, so for root a 0444 file reads as writable and would
    // come back 0644. The owner is kept where the process may set it.
    void keepModeAndOwner(const QString& target) const
    {
        const QByteArray from = QFile::encodeName(target);
        const QByteArray to = QFile::encodeName(path_);
        struct stat old {};
        if (::stat(from.constData(), &old) != 0)
            return;
        if (::chmod(to.constData(), old.st_mode & 07777) != 0)
            return;
        if (::chown(to.constData(), old.st_uid, old.st_gid) != 0) {
            // Not ours to give away: the replacement stays the writer's.
        }
    }

    // The longest leading part of `name` whose encoded form fits in `maxBytes`,
    // cut between characters: the limit on names counts bytes, and one CJK
    // character takes three of them.
    static QString leadingPart(const QString& name, qsizetype maxBytes)
    {
        qsizetype bytes = 0;
        qsizetype end = 0;
        while (end < name.size()) {
            const qsizetype next = end + (name.at(end).isHighSurrogate() && end + 1 < name.size() ? 2 : 1);
            bytes += QFile::encodeName(name.mid(end, next - end)).size();
            if (bytes > maxBytes)
                break;
            end = next;
        }
        return name.left(end);
    }

    QString path_;
    bool committed_ = false;
};

bool abortWrite(const QString& path, QString& error)
{
    QFile::remove(path);
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
        && TIFFSetField(tif, TIFFTAG_SOFTWARE, "Tavro2D") == 1;
    if (!metadata)
        return TagResult::MetadataFailed;
    // One row's byte count taken as a number of rows: most rasters fit one strip.
    const std::uint32_t request =
        std::uint32_t(std::clamp<std::uint64_t>(layout.rowBytes(), 1, std::uint64_t(UINT32_MAX)));
    if (TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(tif, request)) != 1)
        return TagResult::StripLayoutFailed;
    return TagResult::Ok;
}

// The file that the write replaces. A chain of symbolic links is followed to
// its end, as opening it for writing would, so that no link of it is replaced
// by a regular file; anything but a regular file (a FIFO, a device, a folder)
// is refused rather than replaced.
bool resolveTarget(const QString& path, QString& target, QString& error)
{
    const auto refuse = [&](const QString& reason) {
        error = QStringLiteral("Unable to create TIFF file. (%1: %2)").arg(path, reason);
        return false;
    };
    bool exists = false;
    const std::string reason = platform::nonRegularReason(QFile::encodeName(path).toStdString(), &exists);
    if (!reason.empty())
        return refuse(QString::fromLocal8Bit(reason));
    if (exists) {
        target = QFileInfo(path).canonicalFilePath();
        return true;
    }
    // A dangling chain: the write creates the file its last link names.
    target = path;
    for (int hops = 0; QFileInfo(target).isSymLink(); ++hops) {
        if (hops == 40)
            return refuse(QStringLiteral("too many levels of symbolic links"));
        target = QFileInfo(target).symLinkTarget();
    }
    return true;
}

// A file-size limit (RLIMIT_FSIZE) would otherwise end the process with
// SIGXFSZ mid-write and leave the temporary file; ignored, the write fails
// with EFBIG and is cleaned up like a full disk. A handler of the
// application's own is left in place.
void ignoreFileSizeSignal()
{
    struct sigaction current {};
    if (sigaction(SIGXFSZ, nullptr, &current) == 0 && current.sa_handler == SIG_DFL)
        std::signal(SIGXFSZ, SIG_IGN);
}

template <typename RowAt>
bool writeRasterTo(const QString& path, const RasterLayout& layout, RowAt rowAt, QString& error,
                   const WriteProgress& progress)
{
    const std::uint64_t pixelBytes = layout.rowBytes() * std::uint64_t(layout.height);
    TemporaryFile temporary(path);
    TiffFile tif(temporary.path(), needsBigTiff(pixelBytes) ? "w8" : "w", TiffFile::Limits::Writer);
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
        if (TIFFWriteScanline(tif.get(), row.data(), std::uint32_t(r), 0) != 1) {
            error = tif.failure(QStringLiteral("Failed to write line %1 to TIFF.").arg(r));
            return false;
        }
        if (r % layout.progressEvery == 0 && progress && !progress(r, layout.height)) {
            tif.close();
            return abortWrite(temporary.path(), error);
        }
    }
    if (!tif.finishWriting()) {
        error = tif.failure(QStringLiteral("Failed to finish writing the TIFF file."));
        return false;
    }
    return temporary.commitTo(path, error);
}

template <typename RowAt>
bool writeRaster(const QString& path, const RasterLayout& layout, RowAt rowAt, QString& error,
                 const WriteProgress& progress)
{
    try {
        QString target;
        if (!resolveTarget(path, target, error))
            return false;
        ignoreFileSizeSignal();
        return writeRasterTo(target, layout, rowAt, error, progress);
    } catch (const std::bad_alloc&) {
        error = QStringLiteral("Out of memory while writing %1").arg(path);
        return false;
    }
}

}  // namespace

bool writeFloatTiff(const QString& path, int width, int height, const std::vector<float>& values, QString& error,
                    WriteProgress progress)
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
    const float* data = values.data();
    const auto rowAt = [data, width](int r) { return data + std::size_t(r) * std::size_t(width); };
    return writeRaster(path, layout, rowAt, error, progress);
}

bool writeGrayTiff(const QString& path, const QImage& image, QString& error, WriteProgress progress)
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
    return writeRaster(path, layout, rowAt, error, progress);
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
