#pragma once

#include "platform/regular_file.h"

#include <QString>

#include <cstdarg>
#include <cstdint>
#include <string>

struct tiff;

namespace tavro::gui::detail {

// Owns one libtiff handle. libtiff's messages never reach stderr: the first
// error since open is kept for the application log. Files opened for reading
// must be regular files (see RegularFile).
class TiffFile {
public:
    // Readers bound every libtiff allocation; writers leave the limit off
    // because legitimate result rasters can be several gigabytes.
    enum class Limits { Reader, Writer };

    // A file opened for writing is created (never replaced, never through a
    // link) and is named `shownPath` in every message: the temporary file a
    // writer fills means nothing to the user.
    TiffFile(const QString& path, const char* mode, Limits limits = Limits::Reader, const QString& shownPath = {});
    // Writes into `fd`, a file the caller created; the handle owns it.
    TiffFile(platform::FileDescriptor fd, const char* mode, const QString& shownPath);
    ~TiffFile();
    TiffFile(const TiffFile&) = delete;
    TiffFile& operator=(const TiffFile&) = delete;

    tiff* get() const { return tif_; }
    explicit operator bool() const { return tif_ != nullptr; }

    // Writes pending data and the directory, then forces it to disk, so that a
    // full disk or a failing device is reported instead of silently truncating
    // the file. The handle is closed whatever the outcome.
    bool finishWriting();
    void close();

    QString lastError() const;
    // `text` followed by the reason (the file check's or the library's
    // first error) in parentheses, when there is one; the reason also goes
    // to the application log with the file's name.
    QString failure(const QString& text) const;

    // True when strip or tile `strile` lies inside the file, is not the
    // header, and its stored bytes can decode to `decodedBytes` with the
    // file's compression (uncompressed: at least that many bytes). A
    // missing or zero offset would otherwise make libtiff read the file
    // header as pixels.
    bool holdsStrile(std::uint32_t strile, std::uint64_t decodedBytes) const;

private:
    void open(int fd, const char* mode, Limits limits);
    static int onError(tiff*, void* self, const char* module, const char* fmt, va_list args);
    static int onWarning(tiff*, void* self, const char*, const char* fmt, va_list);

    tiff* tif_ = nullptr;
    std::string lastError_;
    QString path_;
    bool writing_ = false;
    std::uint64_t fileSize_ = 0;
    bool countsReplaced_ = false;
};

}  // namespace tavro::gui::detail
