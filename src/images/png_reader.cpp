#include "images/image_io.h"
#include "images/image_io_detail.h"
#include "images/image_limits.h"
#include "images/regular_file.h"

#include <QFile>
#include <QFileInfo>

#include <png.h>

#include <csetjmp>
#include <cstdint>
#include <cstring>
#include <functional>
#include <new>
#include <vector>

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
    int storedBitDepth = 0;
    // Stored channels (palette indices count as one), and channels after the
    // transformations below.
    int storedChannels = 1;
    int channels = 1;
    int passes = 1;
    bool colour = false;
};

// Every PNG layout becomes rows of 8- or 16-bit samples in host order: grey
// with or without alpha, or RGB with or without alpha. Returns false on a
// library error.
bool readHeader(png_structp png, png_infop info, PngShape& shape)
{
    if (setjmp(png_jmpbuf(png)))
        return false;
    png_read_info(png, info);
    int colourType = 0, interlace = 0;
    png_get_IHDR(png, info, &shape.width, &shape.height, &shape.bitDepth, &colourType, &interlace, nullptr,
                 nullptr);
    shape.storedChannels = png_get_channels(png, info);
    shape.storedBitDepth = shape.bitDepth;
    if (colourType == PNG_COLOR_TYPE_PALETTE)
        png_set_palette_to_rgb(png);
    else if (shape.bitDepth < 8)
        png_set_expand_gray_1_2_4_to_8(png);
#if Q_BYTE_ORDER == Q_LITTLE_ENDIAN
    if (shape.bitDepth == 16)
        png_set_swap(png);
#endif
    if (interlace != PNG_INTERLACE_NONE)
        shape.passes = png_set_interlace_handling(png);
    png_read_update_info(png, info);
    shape.bitDepth = png_get_bit_depth(png, info);
    shape.channels = png_get_channels(png, info);
    shape.colour = (png_get_color_type(png, info) & PNG_COLOR_MASK_COLOR) != 0;
    return true;
}

// Interlaced images need every row at hand in each pass; the others are read
// row by row. `rows` holds `count` rows of `stride` bytes.
bool readRows(png_structp png, uchar* rows, qsizetype stride, png_uint_32 count, const PngShape& shape,
              const std::function<void(png_uint_32, const uchar*)>& onRow)
{
    if (setjmp(png_jmpbuf(png)))
        return false;
    for (int pass = 0; pass < shape.passes; ++pass) {
        for (png_uint_32 y = 0; y < shape.height; ++y) {
            uchar* row = rows + (count == shape.height ? qsizetype(y) * stride : 0);
            png_read_row(png, row, nullptr);
            if (pass + 1 == shape.passes)
                onRow(y, row);
        }
    }
    return true;
}

// The first sample of each pixel, or its grey value when R, G and B agree;
// false for a pixel in colour.
template <typename T>
bool toGreyRow(const uchar* row, const PngShape& shape, uchar* out)
{
    const auto* in = reinterpret_cast<const T*>(row);
    auto* grey = reinterpret_cast<T*>(out);
    for (png_uint_32 x = 0; x < shape.width; ++x, in += shape.channels) {
        if (shape.colour && (in[0] != in[1] || in[1] != in[2]))
            return false;
        grey[x] = in[0];
    }
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
    const std::uint64_t pixelBytes = std::uint64_t(shape.channels) * std::uint64_t(shape.bitDepth / 8);
    if (shape.width == 0 || shape.height == 0 || (shape.bitDepth != 8 && shape.bitDepth != 16)
        || shape.channels > 4 || (shape.colour && shape.channels < 3)
        || png_get_rowbytes(structs.png(), structs.info()) != shape.width * pixelBytes)
        return ReadStatus::Unsupported;
    // Deflate expands at most about 1032:1: a file too small for the rows it
    // states is damaged, and is refused before the image is reserved.
    const std::uint64_t rowBytes =
        (std::uint64_t(shape.width) * std::uint64_t(shape.storedChannels * shape.storedBitDepth) + 7) / 8;
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
    bool inColour = false;
    bool read = false;
    if (shape.channels == 1) {
        read = readRows(structs.png(), out.bits(), out.bytesPerLine(), shape.height, shape,
                        [](png_uint_32, const uchar*) {});
    } else {
        // Interlaced passes fill every row in turn, so all of them are kept
        // at the size the transformations give.
        const std::uint64_t stride = shape.width * pixelBytes;
        const png_uint_32 count = shape.passes > 1 ? shape.height : 1;
        if (stride * count > kMaxImageBytes) {
            error = allocationMessage(shape.width, shape.height);
            return ReadStatus::Failed;
        }
        std::vector<uchar> rows;
        try {
            rows.resize(std::size_t(stride * count));
        } catch (const std::bad_alloc&) {
            error = allocationMessage(shape.width, shape.height);
            return ReadStatus::Failed;
        }
        read = readRows(structs.png(), rows.data(), qsizetype(stride), count, shape,
                        [&](png_uint_32 y, const uchar* row) {
                            uchar* line = out.scanLine(int(y));
                            if (!inColour)
                                inColour = shape.bitDepth == 16 ? !toGreyRow<std::uint16_t>(row, shape, line)
                                                                : !toGreyRow<std::uint8_t>(row, shape, line);
                        });
    }
    if (!read)
        return libraryFailure();
    if (inColour)
        return ReadStatus::Colour;
    image = out;
    return ReadStatus::Ok;
}

}  // namespace tavro::gui::detail
