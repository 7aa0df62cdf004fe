#include "images/tiff_file.h"

#include "images/image_limits.h"
#include "images/regular_file.h"

#include <QFile>
#include <QDebug>

#include <tiffio.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace tavro::gui::detail {

namespace {

// Worst bytes a codec can produce from one stored byte (deflate peaks near
// 1032:1, LZW near 2730:1, PackBits at 128:1, a zstd RLE block at 32768:1,
// 8-bit JPEG at 256:1 with two bits per 8x8 block, LZMA near 10000:1 on
// constant data). Codecs without a known bound (LERC, and any other libtiff
// may decode) get the largest of these rounded up: a few hundred bytes that
// claim gigabytes are refused before anything is allocated.
std::uint64_t maxExpansion(std::uint16_t compression)
{
    switch (compression) {
    case COMPRESSION_NONE:
        return 1;
    case COMPRESSION_PACKBITS:
        return 128;
    case COMPRESSION_LZW:
        return 4096;
    case COMPRESSION_ADOBE_DEFLATE:
    case COMPRESSION_DEFLATE:
        return 1100;
    case COMPRESSION_ZSTD:
        return 32768;
    case COMPRESSION_JPEG:
        return 1024;
    default:
        return 65536;
    }
}

}  // namespace

TiffFile::TiffFile(const QString& path, const char* mode, Limits limits, const QString& shownPath)
    : path_(shownPath.isEmpty() ? path : shownPath), writing_(mode[0] == 'w')
{
    // Readers open the descriptor themselves: libtiff's own open would block
    // on a FIFO and read a device without end.
    int fd = -1;
    if (mode[0] == 'r') {
        RegularFile file(path);
        if (!file) {
            lastError_ = file.problem().toLocal8Bit().toStdString();
            return;
        }
        fileSize_ = file.size();
        fd = file.release();
    } else {
        fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0) {
            lastError_ = (QFile::encodeName(path_) + ": ").toStdString() + std::strerror(errno);
            return;
        }
    }
    open(fd, mode, limits);
}

TiffFile::TiffFile(platform::FileDescriptor fd, const char* mode, const QString& shownPath)
    : path_(shownPath), writing_(true)
{
    open(fd.release(), mode, Limits::Writer);
}

void TiffFile::open(int fd, const char* mode, Limits limits)
{
    TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
    if (options == nullptr) {
        lastError_ = "out of memory";
        ::close(fd);
        return;
    }
    TIFFOpenOptionsSetErrorHandlerExtR(options, &TiffFile::onError, this);
    TIFFOpenOptionsSetWarningHandlerExtR(options, &TiffFile::onWarning, this);
    if (limits == Limits::Reader)
        TIFFOpenOptionsSetMaxSingleMemAlloc(options, static_cast<tmsize_t>(kMaxImageBytes));
    const QByteArray name = QFile::encodeName(path_);
    tif_ = TIFFFdOpenExt(fd, name.constData(), mode, options);
    TIFFOpenOptionsFree(options);
    // libtiff closes the descriptor with the handle, but not when the open fails.
    if (tif_ == nullptr)
        ::close(fd);
}

TiffFile::~TiffFile()
{
    close();
}

void TiffFile::close()
{
    if (tif_ != nullptr) {
        TIFFClose(tif_);
        tif_ = nullptr;
    }
}

bool TiffFile::finishWriting()
{
    if (tif_ == nullptr)
        return false;
    bool ok = TIFFFlush(tif_) == 1;
#if defined(Q_OS_UNIX)
    if (ok && ::fsync(TIFFFileno(tif_)) != 0) {
        const int code = errno;
        if (lastError_.empty())
            lastError_ = std::strerror(code);
        ok = false;
    }
#endif
    close();
    return ok;
}

QString TiffFile::lastError() const
{
    return QString::fromLocal8Bit(lastError_.c_str());
}

QString TiffFile::failure(const QString& text) const
{
    if (lastError_.empty())
        return text;
    qWarning().noquote() << QStringLiteral("%1: %2 (%3)").arg(path_, text, lastError());
    // The fixed text first, then why, as the user needs it to act.
    return QStringLiteral("%1 (%2)").arg(text, lastError());
}

bool TiffFile::holdsStrile(std::uint32_t strile, std::uint64_t decodedBytes) const
{
    int err = 0;
    const std::uint64_t offset = TIFFGetStrileOffsetWithErr(tif_, strile, &err);
    const std::uint64_t count = err == 0 ? TIFFGetStrileByteCountWithErr(tif_, strile, &err) : 0;
    // Offsets below 8 point into the header.
    if (err != 0 || count == 0 || offset < 8 || offset > fileSize_ || count > fileSize_ - offset)
        return false;
    std::uint16_t compression = COMPRESSION_NONE;
    TIFFGetFieldDefaulted(tif_, TIFFTAG_COMPRESSION, &compression);
    // libtiff does not check an uncompressed count against the rows it is
    // asked for: what lies past a short strip or tile would be read as pixels.
    // The counts libtiff puts in place of stated ones it finds too small are
    // no statement of the file's: the stated ones did not hold the rows.
    if (compression == COMPRESSION_NONE)
        return !countsReplaced_ && decodedBytes <= count;
    return decodedBytes <= count * maxExpansion(compression) + 65536;
}

int TiffFile::onError(tiff*, void* self, const char* module, const char* fmt, va_list args)
{
    const int code = errno;
    auto* file = static_cast<TiffFile*>(self);
    if (file == nullptr || !file->lastError_.empty())
        return 1;
    char text[512];
    std::vsnprintf(text, sizeof text, fmt, args);
    if (module != nullptr && *module != '\0') {
        file->lastError_ = module;
        file->lastError_ += ": ";
    }
    file->lastError_ += text;
    // libtiff says only "Write error": why the system refused the write (a
    // full disk, a size limit) is what the user can act on.
    if (file->writing_ && code != 0) {
        file->lastError_ += ": ";
        file->lastError_ += std::strerror(code);
    }
    return 1;
}

int TiffFile::onWarning(tiff*, void* self, const char*, const char* fmt, va_list)
{
    // "Bogus" or "Wrong \"StripByteCounts\" field, ignoring and calculating from imagelength".
    if (self != nullptr && fmt != nullptr && std::strstr(fmt, "\"StripByteCounts\" field, ignoring") != nullptr)
        static_cast<TiffFile*>(self)->countsReplaced_ = true;
    return 1;
}

}  // namespace tavro::gui::detail
