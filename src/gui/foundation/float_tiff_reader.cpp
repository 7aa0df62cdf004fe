#include "gui/foundation/image_io.h"
#include "gui/foundation/image_limits.h"
#include "gui/foundation/tiff_file.h"

#include <QFileInfo>

#include <tiffio.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <new>

namespace tavro::gui {

namespace {

using detail::TiffFile;

// Upper bound on the bytes a codec can produce from `stored` bytes (deflate
// peaks near 1032:1, LZW near 2730:1, PackBits at 64:1); 0 when the codec has
// no useful bound. Checked before any memory is reserved, so a header claiming
// gigabytes over a few stored bytes costs nothing.
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
    default:
        return 0;
    }
}

class StoredData {
public:
    StoredData(TIFF* tif, const QString& path) : tif_(tif), fileSize_(std::uint64_t(QFileInfo(path).size()))
    {
        TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &compression_);
    }

    bool canHold(std::uint32_t strile, std::uint64_t decodedBytes) const
    {
        int err = 0;
        const std::uint64_t offset = TIFFGetStrileOffsetWithErr(tif_, strile, &err);
        const std::uint64_t count = err == 0 ? TIFFGetStrileByteCountWithErr(tif_, strile, &err) : 0;
        if (err != 0 || count == 0 || offset > fileSize_ || count > fileSize_ - offset)
            return false;
        const std::uint64_t ratio = maxExpansion(compression_);
        return ratio == 0 || decodedBytes <= count * ratio + 65536;
    }

private:
    TIFF* tif_;
    std::uint64_t fileSize_;
    std::uint16_t compression_ = COMPRESSION_NONE;
};

bool readStrips(TiffFile& tif, const StoredData& stored, std::uint64_t width, std::uint64_t height,
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
        if (!stored.canHold(s, stripBytes(s))) {
            error = QStringLiteral("Failed to read strip %1 from TIFF.").arg(s);
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
            error = tif.withDetail(QStringLiteral("Failed to read strip %1 from TIFF.").arg(s));
            return false;
        }
        if (std::uint64_t(got) < expected) {
            error = QStringLiteral("Strip %1: read %2 bytes, expected %3.").arg(s).arg(got).arg(expected);
            return false;
        }
    }
    return true;
}

bool readTiles(TiffFile& tif, const StoredData& stored, std::uint64_t width, std::uint64_t height,
               std::vector<float>& out, QString& error)
{
    std::uint32_t tileWidth = 0, tileLength = 0;
    TIFFGetField(tif.get(), TIFFTAG_TILEWIDTH, &tileWidth);
    TIFFGetField(tif.get(), TIFFTAG_TILELENGTH, &tileLength);
    const std::uint64_t tileBytes = std::uint64_t(tileWidth) * tileLength * sizeof(float);
    if (tileWidth == 0 || tileLength == 0 || tileBytes > detail::kMaxTileBytes) {
        error = QStringLiteral("Tiled TIFF with invalid tile dimensions.");
        return false;
    }
    // Uninitialised: a tile is used only after a read that filled all of it.
    const auto tile = std::make_unique_for_overwrite<float[]>(std::size_t(tileWidth) * tileLength);
    const auto tileFailure = [&](std::uint64_t x, std::uint64_t y, bool withDetail) {
        const QString text = QStringLiteral("Failed to read tile (%1,%2) from TIFF.").arg(x).arg(y);
        error = withDetail ? tif.withDetail(text) : text;
        return false;
    };
    for (std::uint64_t y = 0; y < height; y += tileLength) {
        for (std::uint64_t x = 0; x < width; x += tileWidth) {
            if (!stored.canHold(TIFFComputeTile(tif.get(), std::uint32_t(x), std::uint32_t(y), 0, 0), tileBytes))
                return tileFailure(x, y, false);
        }
    }
    out.reserve(std::size_t(width * height));
    for (std::uint64_t y = 0; y < height; y += tileLength) {
        const std::uint64_t rows = std::min<std::uint64_t>(height - y, tileLength);
        out.resize(std::size_t((y + rows) * width));
        for (std::uint64_t x = 0; x < width; x += tileWidth) {
            const std::uint32_t index = TIFFComputeTile(tif.get(), std::uint32_t(x), std::uint32_t(y), 0, 0);
            if (TIFFReadEncodedTile(tif.get(), index, tile.get(), tmsize_t(tileBytes)) != tmsize_t(tileBytes))
                return tileFailure(x, y, true);
            const std::uint64_t columns = std::min<std::uint64_t>(width - x, tileWidth);
            for (std::uint64_t r = 0; r < rows; ++r)
                std::memcpy(out.data() + (y + r) * width + x, tile.get() + r * tileWidth, columns * sizeof(float));
        }
    }
    return true;
}

}  // namespace

bool readFloatTiff(const QString& path, std::uint32_t& width, std::uint32_t& height, std::vector<float>& values,
                   QString& error)
{
    TiffFile tif(path, "rm");
    if (!tif) {
        error = tif.withDetail(QStringLiteral("Unable to open TIFF file."));
        return false;
    }
    std::uint32_t w = 0, h = 0;
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
        error = QStringLiteral("TIFF file is not in expected 32-bit float format.");
        return false;
    }
    const std::uint64_t pixels = std::uint64_t(w) * h;
    if (w > INT_MAX || h > INT_MAX || pixels > detail::kMaxImageBytes / sizeof(float)) {
        error = QStringLiteral("TIFF image too large (%1x%2).").arg(w).arg(h);
        return false;
    }

    // Decoded into a local vector, so that the caller's values stay untouched on
    // failure. Memory is reserved only once the file is known to store enough
    // data for the claimed size, and rows are zero-filled strip by strip.
    std::vector<float> decoded;
    try {
        const StoredData stored(tif.get(), path);
        const bool ok = TIFFIsTiled(tif.get()) ? readTiles(tif, stored, w, h, decoded, error)
                                               : readStrips(tif, stored, w, h, decoded, error);
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
