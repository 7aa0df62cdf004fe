#include "images/image_io.h"
#include "images/image_io_detail.h"
#include "images/regular_file.h"

#include <QFile>
#include <QFileInfo>

#include <png.h>

#include <csetjmp>
#include <cstdint>
#include <cstring>

namespace tavro::gui::detail {

namespace {

// libpng reports errors by longjmp. Every function below that can be jumped
// out of holds only trivially destructible locals; the C++ objects live in
// readPngFile's frame, which the jumps never cross.
struct PngSource {
    QFile* file = nullptr;
    char message[256] = {};
};

void storeMessage(PngSource& source, const char* text)
{
    std::strncpy(source.message, text != nullptr ? text : "", sizeof source.message - 1);
}

void onPngError(png_structp png, png_const_charp text)
{
    storeMessage(*static_cast<PngSource*>(png_get_error_ptr(png)), text);
    png_longjmp(png, 1);
}

void onPngWarning(png_structp, png_const_charp) {}

void readFromFile(png_structp png, png_bytep data, png_size_t length)
{
    auto* source = static_cast<PngSource*>(png_get_io_ptr(png));
    if (source->file->read(reinterpret_cast<char*>(data), qint64(length)) != qint64(length))
        png_error(png, "unexpected end of PNG data");
}

struct PngShape {
    png_uint_32 width = 0;
    png_uint_32 height = 0;
    int bitDepth = 0;
    int channels = 1;
    bool accepted = false;
};

// Returns false on a library error; `shape.accepted` says whether the layout
// is one this reader decodes.
bool readHeader(png_structp png, png_infop info, PngShape& shape)
{
    if (setjmp(png_jmpbuf(png)))
        return false;
    png_read_info(png, info);
    int colourType = 0, interlace = 0;
    png_get_IHDR(png, info, &shape.width, &shape.height, &shape.bitDepth, &colourType, &interlace, nullptr,
                 nullptr);
    if (shape.width == 0 || shape.height == 0 || interlace != PNG_INTERLACE_NONE
        || (colourType != PNG_COLOR_TYPE_GRAY && colourType != PNG_COLOR_TYPE_GRAY_ALPHA))
        return true;
    shape.channels = colourType == PNG_COLOR_TYPE_GRAY_ALPHA ? 2 : 1;
    if (shape.bitDepth < 8)
        png_set_expand_gray_1_2_4_to_8(png);
    if (colourType == PNG_COLOR_TYPE_GRAY_ALPHA)
        png_set_strip_alpha(png);
#if Q_BYTE_ORDER == Q_LITTLE_ENDIAN
    if (shape.bitDepth == 16)
        png_set_swap(png);
#endif
    png_read_update_info(png, info);
    const png_size_t expectedRow = shape.bitDepth == 16 ? png_size_t(shape.width) * 2 : png_size_t(shape.width);
    shape.accepted = png_get_channels(png, info) == 1 && png_get_rowbytes(png, info) == expectedRow;
    return true;
}

bool readRows(png_structp png, uchar* bits, qsizetype bytesPerLine, png_uint_32 height)
{
    if (setjmp(png_jmpbuf(png)))
        return false;
    for (png_uint_32 y = 0; y < height; ++y)
        png_read_row(png, bits + qsizetype(y) * bytesPerLine, nullptr);
    return true;
}

class PngReadStructs {
public:
    explicit PngReadStructs(PngSource& source)
    {
        png_ = png_create_read_struct(PNG_LIBPNG_VER_STRING, &source, onPngError, onPngWarning);
        if (png_ != nullptr)
            info_ = png_create_info_struct(png_);
    }
    ~PngReadStructs() { png_destroy_read_struct(png_ != nullptr ? &png_ : nullptr, info_ != nullptr ? &info_ : nullptr, nullptr); }
    PngReadStructs(const PngReadStructs&) = delete;
    PngReadStructs& operator=(const PngReadStructs&) = delete;

    bool valid() const { return png_ != nullptr && info_ != nullptr; }
    png_structp png() const { return png_; }
    png_infop info() const { return info_; }

private:
    png_structp png_ = nullptr;
    png_infop info_ = nullptr;
};

}  // namespace

ReadStatus readPngFile(const QString& path, QImage& image, QString& error)
{
    RegularFile regular(path);
    QFile file;
    if (!regular) {
        error = QStringLiteral("Unable to open PNG file. (%1)").arg(regular.problem());
        return ReadStatus::Unsupported;
    }
    if (!file.open(regular.release(), QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        error = QStringLiteral("Unable to open PNG file. (%1)").arg(file.errorString());
        return ReadStatus::Unsupported;
    }
    png_byte signature[8];
    if (file.read(reinterpret_cast<char*>(signature), 8) != 8 || png_sig_cmp(signature, 0, 8) != 0) {
        error = QStringLiteral("Not a PNG file (no PNG signature).");
        return ReadStatus::Unsupported;
    }

    PngSource source;
    source.file = &file;
    PngReadStructs structs(source);
    if (!structs.valid())
        return ReadStatus::Unsupported;
    png_set_read_fn(structs.png(), &source, readFromFile);
    png_set_sig_bytes(structs.png(), 8);

    const auto libraryFailure = [&] {
        if (source.message[0] == '\0')
            return ReadStatus::Unsupported;
        error = QStringLiteral("PNG read error in %1: %2")
                    .arg(QFileInfo(path).fileName(), QString::fromUtf8(source.message));
        return ReadStatus::Failed;
    };

    PngShape shape;
    if (!readHeader(structs.png(), structs.info(), shape))
        return libraryFailure();
    if (!shape.accepted)
        return ReadStatus::Unsupported;
    // Deflate expands at most about 1032:1: a file too small for the rows it
    // states is damaged, and is refused before the image is reserved.
    const std::uint64_t rowBytes =
        (std::uint64_t(shape.width) * std::uint64_t(shape.channels * shape.bitDepth) + 7) / 8;
    if (std::uint64_t(shape.height) * (rowBytes + 1) > std::uint64_t(file.size()) * 1100 + 65536) {
        error = QStringLiteral("PNG read error in %1: %2")
                    .arg(QFileInfo(path).fileName(), QStringLiteral("image data too short for its size"));
        return ReadStatus::Failed;
    }

    QImage out = allocateGrayImage(shape.width, shape.height,
                                   shape.bitDepth == 16 ? QImage::Format_Grayscale16 : QImage::Format_Grayscale8);
    if (out.isNull()) {
        error = allocationMessage(shape.width, shape.height);
        return ReadStatus::Failed;
    }
    if (!readRows(structs.png(), out.bits(), out.bytesPerLine(), shape.height))
        return libraryFailure();
    image = out;
    return ReadStatus::Ok;
}

}  // namespace tavro::gui::detail
