#include "images/image_io.h"
#include "images/image_limits.h"
#include "images/tiff_file.h"

#include <tiffio.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <new>

namespace tavro::gui {

namespace {

using detail::TiffFile;

// Lossless codecs whose expansion TiffFile::holdsStrile bounds.
// Names of the codecs a float file may come with, for messages.
const char* compressionName(std::uint16_t compression)
{
    switch (compression) {
    case COMPRESSION_CCITTRLE: case COMPRESSION_CCITTFAX3: case COMPRESSION_CCITTFAX4: return "CCITT fax";
    case COMPRESSION_OJPEG: case COMPRESSION_JPEG: return "JPEG";
    case COMPRESSION_PACKBITS: return "PackBits";
    case COMPRESSION_LZW: return "LZW";
    case COMPRESSION_ADOBE_DEFLATE: case COMPRESSION_DEFLATE: return "Deflate";
    case COMPRESSION_JBIG: return "JBIG";
    case COMPRESSION_LZMA: return "LZMA";
    case COMPRESSION_ZSTD: return "ZSTD";
    case COMPRESSION_WEBP: return "WebP";
    case 34887: return "LERC";
    case 50002: return "JPEG XL";
    default: return nullptr;
    }
}

bool decodesFloats(std::uint16_t compression)
{
    switch (compression) {
    case COMPRESSION_NONE:
    case COMPRESSION_PACKBITS:
    case COMPRESSION_LZW:
    case COMPRESSION_ADOBE_DEFLATE:
    case COMPRESSION_DEFLATE:
    case COMPRESSION_ZSTD:
        return TIFFIsCODECConfigured(compression) != 0;
    default:
        return false;
    }
}

bool readStrips(TiffFile& tif, std::uint64_t width, std::uint64_t height,
                std::vector<float>& out, QString& error)
{
    std::uint32_t rowsPerStrip = std::uint32_t(height);
    TIFFGetField(tif.get(), TIFFTAG_ROWSPERSTRIP, &rowsPerStrip);
    if (rowsPerStrip == 0) {
        error = QStringLiteral("TIFF file has an invalid RowsPerStrip (0).");
        return false;
    }
    const std::uint64_t stripRows = std::min<std::uint64_t>(rowsPerStrip, height);
    // Strips that would start below the last row are ignored.
    const std::uint32_t strips =
        std::uint32_t(std::min<std::uint64_t>(TIFFNumberOfStrips(tif.get()), (height + stripRows - 1) / stripRows));
    const auto stripBytes = [&](std::uint32_t s) {
        return std::min(height - s * stripRows, stripRows) * width * sizeof(float);
    };
    for (std::uint32_t s = 0; s < strips; ++s) {
        if (!tif.holdsStrile(s, stripBytes(s))) {
            error = QStringLiteral("Failed to read strip %1 from TIFF. (it lies outside the file or holds too few "
                                   "bytes for its %2 rows)")
                        .arg(s)
                        .arg(std::min(height - s * stripRows, stripRows));
            return false;
        }
    }
    out.reserve(std::size_t(width * height));
    for (std::uint32_t s = 0; s < strips; ++s) {
        const std::uint64_t firstRow = s * stripRows;
        const std::uint64_t rows = std::min(height - firstRow, stripRows);
        const std::uint64_t expected = stripBytes(s);
        out.resize(std::size_t((firstRow + rows) * width));
        const tmsize_t got =
            TIFFReadEncodedStrip(tif.get(), s, out.data() + firstRow * width, tmsize_t(expected));
        if (got < 0) {
            error = tif.failure(QStringLiteral("Failed to read strip %1 from TIFF.").arg(s));
            return false;
        }
        if (std::uint64_t(got) < expected) {
            error = QStringLiteral("Strip %1: read %2 bytes, expected %3.").arg(s).arg(got).arg(expected);
            return false;
        }
    }
    return true;
}

bool readTiles(TiffFile& tif, std::uint64_t width, std::uint64_t height,
               std::vector<float>& out, QString& error)
{
    std::uint32_t tileWidth = 0, tileLength = 0;
    TIFFGetField(tif.get(), TIFFTAG_TILEWIDTH, &tileWidth);
    TIFFGetField(tif.get(), TIFFTAG_TILELENGTH, &tileLength);
    // Only the tile rows inside the image are decoded, so the tile buffer is
    // bounded by the image's height as well as by the tile's size.
    const std::uint64_t tileRows = std::min<std::uint64_t>(tileLength, height);
    if (tileWidth == 0 || tileLength == 0
        || std::uint64_t(tileWidth) * tileRows * sizeof(float) > detail::kMaxTileBytes) {
        error = QStringLiteral("Tiled TIFF with invalid tile dimensions.");
        return false;
    }
    const auto tileBytes = [&](std::uint64_t y) {
        return std::min(height - y, tileRows) * tileWidth * sizeof(float);
    };
    const auto tileFailure = [&](std::uint64_t x, std::uint64_t y, bool logDetail) {
        const QString text = QStringLiteral("Failed to read tile (%1,%2) from TIFF.").arg(x).arg(y);
        error = logDetail ? tif.failure(text) : text;
        return false;
    };
    for (std::uint64_t y = 0; y < height; y += tileLength) {
        for (std::uint64_t x = 0; x < width; x += tileWidth) {
            if (!tif.holdsStrile(TIFFComputeTile(tif.get(), std::uint32_t(x), std::uint32_t(y), 0, 0), tileBytes(y)))
                return tileFailure(x, y, false);
        }
    }
    const auto tile = std::make_unique_for_overwrite<float[]>(std::size_t(tileWidth * tileRows));
    out.reserve(std::size_t(width * height));
    for (std::uint64_t y = 0; y < height; y += tileLength) {
        const std::uint64_t rows = std::min<std::uint64_t>(height - y, tileLength);
        const tmsize_t bytes = tmsize_t(tileBytes(y));
        out.resize(std::size_t((y + rows) * width));
        for (std::uint64_t x = 0; x < width; x += tileWidth) {
            const std::uint32_t index = TIFFComputeTile(tif.get(), std::uint32_t(x), std::uint32_t(y), 0, 0);
            if (TIFFReadEncodedTile(tif.get(), index, tile.get(), bytes) != bytes)
                return tileFailure(x, y, true);
            const std::uint64_t columns = std::min<std::uint64_t>(width - x, tileWidth);
            for (std::uint64_t r = 0; r < rows; ++r)
                std::memcpy(out.data() + (y + r) * width + x, tile.get() + r * tileWidth, columns * sizeof(float));
        }
    }
    return true;
}

// The header checks every float read makes: one 32-bit float sample per
// pixel, a codec we decode, and a size we would allocate.
bool readFloatHeader(TiffFile& tif, std::uint32_t& w, std::uint32_t& h, QString& error)
{
    if (TIFFGetField(tif.get(), TIFFTAG_IMAGEWIDTH, &w) != 1 || TIFFGetField(tif.get(), TIFFTAG_IMAGELENGTH, &h) != 1
        || w == 0 || h == 0) {
        error = QStringLiteral("Unable to read TIFF image dimensions.");
        return false;
    }
    std::uint16_t samples = 0, bits = 0, format = 0;
    TIFFGetFieldDefaulted(tif.get(), TIFFTAG_SAMPLESPERPIXEL, &samples);
    TIFFGetFieldDefaulted(tif.get(), TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(tif.get(), TIFFTAG_SAMPLEFORMAT, &format);
    if (samples != 1 || bits != 32 || format != SAMPLEFORMAT_IEEEFP) {
        error = QStringLiteral("TIFF file is not in expected 32-bit float format. (%1 sample(s) of %2 bits, sample "
                               "format %3)")
                    .arg(samples)
                    .arg(bits)
                    .arg(format);
        return false;
    }
    // Codecs without a known expansion bound could claim any size from a few
    // bytes; they are refused before anything is allocated.
    std::uint16_t compression = COMPRESSION_NONE;
    TIFFGetFieldDefaulted(tif.get(), TIFFTAG_COMPRESSION, &compression);
    if (!decodesFloats(compression)) {
        error = QStringLiteral("TIFF compression %1 is not supported for float images.").arg(compression);
        if (const char* name = compressionName(compression))
            error += QStringLiteral(" (%1; float results are read uncompressed, PackBits, LZW, Deflate or ZSTD)")
                         .arg(QLatin1String(name));
        return false;
    }
    const std::uint64_t pixels = std::uint64_t(w) * h;
    if (w > INT_MAX || h > INT_MAX || pixels > detail::kMaxImageBytes / sizeof(float)) {
        error = QStringLiteral("TIFF image too large (%1x%2).").arg(w).arg(h);
        return false;
    }
    return true;
}

bool openFloatTiff(TiffFile& tif, std::uint32_t& w, std::uint32_t& h, QString& error)
{
    if (!tif) {
        error = tif.failure(QStringLiteral("Unable to open TIFF file."));
        return false;
    }
    return readFloatHeader(tif, w, h, error);
}

}  // namespace

bool probeFloatTiff(const QString& path, std::uint32_t& width, std::uint32_t& height, QString& error)
{
    TiffFile tif(path, "rm");
    std::uint32_t w = 0, h = 0;
    if (!openFloatTiff(tif, w, h, error))
        return false;
    width = w;
    height = h;
    return true;
}

bool readFloatTiffDescription(const QString& path, QByteArray& description)
{
    TiffFile tif(path, "rm");
    std::uint32_t w = 0, h = 0;
    QString error;
    const char* text = nullptr;
    if (!openFloatTiff(tif, w, h, error) || TIFFGetField(tif.get(), TIFFTAG_IMAGEDESCRIPTION, &text) != 1 || !text)
        return false;
    // Ours are a line; a long text is someone else's and is not taken.
    const std::size_t length = ::strnlen(text, kMaxFloatTiffDescription + 1);
    if (length > kMaxFloatTiffDescription)
        return false;
    description = QByteArray(text, qsizetype(length));
    return true;
}

bool readFloatTiff(const QString& path, std::uint32_t& width, std::uint32_t& height, std::vector<float>& values,
                   QString& error)
{
    TiffFile tif(path, "rm");
    std::uint32_t w = 0, h = 0;
    if (!openFloatTiff(tif, w, h, error))
        return false;
    const std::uint64_t pixels = std::uint64_t(w) * h;

    // Decoded into a local vector, so that the caller's values stay untouched on
    // failure. Memory is reserved only once the file is known to store enough
    // data for the claimed size, and rows are zero-filled strip by strip.
    std::vector<float> decoded;
    try {
        const bool ok = TIFFIsTiled(tif.get()) ? readTiles(tif, w, h, decoded, error)
                                               : readStrips(tif, w, h, decoded, error);
        if (!ok)
            return false;
        decoded.resize(std::size_t(pixels));
    } catch (const std::bad_alloc&) {
        error = QStringLiteral("Cannot allocate %1x%2 float image (out of memory)").arg(w).arg(h);
        return false;
    }
    width = w;
    height = h;
    values = std::move(decoded);
    return true;
}

}  // namespace tavro::gui
