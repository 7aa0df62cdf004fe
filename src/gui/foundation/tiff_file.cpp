#include "gui/foundation/tiff_file.h"

#include "gui/foundation/image_limits.h"

#include <QFile>

#include <tiffio.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#if defined(Q_OS_UNIX)
#include <unistd.h>
#endif

namespace tavro::gui::detail {

TiffFile::TiffFile(const QString& path, const char* mode, Limits limits)
{
    TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
    if (options == nullptr) {
        lastError_ = "out of memory";
        return;
    }
    TIFFOpenOptionsSetErrorHandlerExtR(options, &TiffFile::onError, this);
    TIFFOpenOptionsSetWarningHandlerExtR(options, &TiffFile::onWarning, nullptr);
    if (limits == Limits::Reader)
        TIFFOpenOptionsSetMaxSingleMemAlloc(options, static_cast<tmsize_t>(kMaxImageBytes));
    tif_ = TIFFOpenExt(QFile::encodeName(path).constData(), mode, options);
    TIFFOpenOptionsFree(options);
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

QString TiffFile::withDetail(const QString& text) const
{
    if (lastError_.empty())
        return text;
    return QStringLiteral("%1 (%2)").arg(text, lastError());
}

int TiffFile::onError(tiff*, void* self, const char* module, const char* fmt, va_list args)
{
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
    return 1;
}

int TiffFile::onWarning(tiff*, void*, const char*, const char*, va_list)
{
    return 1;
}

}  // namespace tavro::gui::detail
