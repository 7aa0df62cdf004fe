#include "images/image_io.h"
#include "images/image_io_detail.h"
#include "images/image_limits.h"
#include "images/tiff_file.h"

#include <tiffio.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

namespace tavro::gui::detail {

namespace {

struct TiffLayout {
    std::int64_t width = 0;
    std::int64_t height = 0;
    int bytesPerSample = 1;
    // Interleaved samples per pixel: only the first is read, extra samples
    // (alpha) are ignored.
    std::int64_t samples = 1;
    // XORed into every sample: MinIsWhite is inverted and signed samples are
    // moved by half their range, so that the darkest value reads as 0.
    std::uint16_t flip = 0;
    bool tiled = false;
    bool compressed = false;
    std::int64_t rowsPerStrip = 0;
    std::int64_t tileWidth = 0;
    std::int64_t tileLength = 0;

    std::int64_t rowSamples() const { return width * samples; }
    std::int64_t pixelBytes() const { return samples * bytesPerSample; }
};

ReadStatus readLayout(TIFF* tif, TiffLayout& layout, QString& error)
{
    std::uint32_t width = 0, height = 0;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height);
    std::uint16_t bits = 0, samples = 0, format = 0, planar = 0, photometric = 0, compression = 0;
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &samples);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &format);
    TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar);
    TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &compression);
    const bool hasPhotometric = TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric) == 1;
    const bool grey =
        hasPhotometric && (photometric == PHOTOMETRIC_MINISBLACK || photometric == PHOTOMETRIC_MINISWHITE);
    const bool integer = format == SAMPLEFORMAT_UINT || format == SAMPLEFORMAT_INT;
    if (!grey || !integer || (bits != 8 && bits != 16) || samples < 1 || samples > 8
        || (planar != PLANARCONFIG_CONTIG && planar != PLANARCONFIG_SEPARATE)) {
        // The image library would show signed samples as raw two's complement.
        if (format == SAMPLEFORMAT_INT) {
            error = QStringLiteral("TIFF with signed %1-bit samples is read only as 8- or 16-bit grayscale")
                        .arg(bits);
            return ReadStatus::Failed;
        }
        // Said when the image library cannot read the file either.
        error = !integer ? QStringLiteral("TIFF with floating-point samples is not a grayscale image of 8 or 16 bits")
                : bits != 8 && bits != 16
                    ? QStringLiteral("TIFF with %1-bit samples is not a grayscale image of 8 or 16 bits").arg(bits)
                    : QStringLiteral("TIFF with %1 samples per pixel, photometric %2, is not a grayscale image")
                          .arg(samples)
                          .arg(hasPhotometric ? QString::number(photometric) : QStringLiteral("missing"));
        // libtiff's own verdict on the layout, which the image library would
        // only log.
        char verdict[1024] = {};
        if (TIFFRGBAImageOK(tif, verdict) == 0 && verdict[0] != '\0')
            error += QStringLiteral(": ") + QString::fromLocal8Bit(verdict);
        return ReadStatus::Unsupported;
    }
    if (width == 0 || height == 0 || width > INT_MAX || height > INT_MAX) {
        error = QStringLiteral("TIFF image size %1x%2 is not readable").arg(width).arg(height);
        return ReadStatus::Unsupported;
    }
    layout.width = width;
    layout.height = height;
    layout.bytesPerSample = bits / 8;
    // Stored plane by plane, the grey plane comes first and its strips and
    // tiles carry the indices of a one-sample image: the others (alpha) are
    // never read, as in the interleaved layout.
    layout.samples = planar == PLANARCONFIG_SEPARATE ? 1 : samples;
    const std::uint16_t top = bits == 16 ? 0xFFFF : 0xFF;
    layout.flip = std::uint16_t((photometric == PHOTOMETRIC_MINISWHITE ? top : 0)
                                ^ (format == SAMPLEFORMAT_INT ? (top >> 1) + 1 : 0));
    layout.compressed = compression != COMPRESSION_NONE;
    layout.tiled = TIFFIsTiled(tif) != 0;
    if (!layout.tiled) {
        std::uint32_t rowsPerStrip = 0;
        TIFFGetFieldDefaulted(tif, TIFFTAG_ROWSPERSTRIP, &rowsPerStrip);
        layout.rowsPerStrip = std::min<std::int64_t>(rowsPerStrip, layout.height);
        if (rowsPerStrip != 0 && TIFFScanlineSize64(tif) == std::uint64_t(layout.rowSamples() * layout.bytesPerSample))
            return ReadStatus::Ok;
        error = QStringLiteral("TIFF strip layout is not readable");
        return ReadStatus::Unsupported;
    }

    std::uint32_t tileWidth = 0, tileLength = 0;
    TIFFGetField(tif, TIFFTAG_TILEWIDTH, &tileWidth);
    TIFFGetField(tif, TIFFTAG_TILELENGTH, &tileLength);
    const std::uint64_t tileBytes = std::uint64_t(tileWidth) * tileLength * std::uint64_t(layout.pixelBytes());
    if (tileWidth == 0 || tileLength == 0 || TIFFTileSize64(tif) != tileBytes) {
        error = QStringLiteral("TIFF tile layout is not readable");
        return ReadStatus::Unsupported;
    }
    layout.tileWidth = tileWidth;
    layout.tileLength = tileLength;
    // Only the tile rows inside the image are decoded, so a tile larger than a
    // small image costs no more than the image's height of tile rows.
    if (std::uint64_t(tileWidth) * std::uint64_t(std::min(layout.tileLength, layout.height))
            * std::uint64_t(layout.pixelBytes())
        > kMaxTileBytes) {
        error = QStringLiteral("TIFF tiles of %1x%2 pixels are too large").arg(tileWidth).arg(tileLength);
        return ReadStatus::Unsupported;
    }
    return ReadStatus::Ok;
}

// Buffers are left uninitialised: each is used only after a read that filled it.
template <typename T>
std::unique_ptr<T[]> uninitialised(std::int64_t count)
{
    return std::make_unique_for_overwrite<T[]>(std::size_t(count));
}

// Rows of a stripped file. Compressed strips cannot be entered mid-way, so
// small strips are decoded whole and their rows served from the cache; large
// ones are decoded row by row from the strip's first row.
template <typename T>
class StripRows {
public:
    StripRows(TIFF* tif, const TiffLayout& layout)
        : tif_(tif), layout_(layout),
          cached_(layout.compressed
                  && std::uint64_t(layout.rowsPerStrip * layout.rowSamples()) * sizeof(T) <= kMaxStripCacheBytes),
          buffer_(uninitialised<T>(cached_ ? layout.rowsPerStrip * layout.rowSamples() : layout.rowSamples()))
    {
    }

    const T* row(std::int64_t y) { return cached_ ? fromStrip(y) : fromScanlines(y); }
    std::int64_t firstColumn() const { return 0; }

private:
    const T* fromStrip(std::int64_t y)
    {
        const std::int64_t strip = y / layout_.rowsPerStrip;
        if (strip != cachedStrip_) {
            cachedStrip_ = -1;
            const std::int64_t rows = std::min(layout_.rowsPerStrip, layout_.height - strip * layout_.rowsPerStrip);
            const tmsize_t bytes = tmsize_t(rows * layout_.rowSamples() * std::int64_t(sizeof(T)));
            if (TIFFReadEncodedStrip(tif_, std::uint32_t(strip), buffer_.get(), bytes) != bytes)
                return nullptr;
            cachedStrip_ = strip;
        }
        return buffer_.get() + (y - strip * layout_.rowsPerStrip) * layout_.rowSamples();
    }

    const T* fromScanlines(std::int64_t y)
    {
        if (layout_.compressed && y != nextRow_) {
            const std::int64_t first = y - y % layout_.rowsPerStrip;
            for (std::int64_t r = nextRow_ > first && nextRow_ < y ? nextRow_ : first; r < y; ++r) {
                if (TIFFReadScanline(tif_, buffer_.get(), std::uint32_t(r), 0) < 0)
                    return nullptr;
            }
        }
        if (TIFFReadScanline(tif_, buffer_.get(), std::uint32_t(y), 0) < 0)
            return nullptr;
        nextRow_ = y + 1;
        return buffer_.get();
    }

    TIFF* tif_;
    const TiffLayout& layout_;
    bool cached_;
    std::unique_ptr<T[]> buffer_;
    std::int64_t cachedStrip_ = -1;
    std::int64_t nextRow_ = 0;
};

// Rows of a tiled file through one band of tiles that covers only the tile
// columns the window touches; the band is reused for every row of its tile row.
template <typename T>
class TileRows {
public:
    TileRows(TIFF* tif, const TiffLayout& layout, const ReadWindow& window)
        : tif_(tif), layout_(layout), bandStart_(bandStart(layout, window)), bandEnd_(bandEnd(layout, window)),
          bandRows_(std::min(layout.tileLength, layout.height)),
          tile_(uninitialised<T>(layout.tileWidth * bandRows_ * layout.samples)),
          band_(uninitialised<T>(bandWidth() * bandRows_ * layout.samples))
    {
    }

    static std::int64_t bandStart(const TiffLayout& layout, const ReadWindow& window)
    {
        return (window.left / layout.tileWidth) * layout.tileWidth;
    }
    static std::int64_t bandEnd(const TiffLayout& layout, const ReadWindow& window)
    {
        return std::min(layout.width, ((window.left + window.width - 1) / layout.tileWidth + 1) * layout.tileWidth);
    }
    static std::uint64_t bandBytes(const TiffLayout& layout, const ReadWindow& window)
    {
        return std::uint64_t(bandEnd(layout, window) - bandStart(layout, window))
               * std::uint64_t(std::min(layout.tileLength, layout.height)) * std::uint64_t(layout.pixelBytes());
    }

    const T* row(std::int64_t y)
    {
        const std::int64_t tileRow = y - y % layout_.tileLength;
        if (tileRow != cachedTileRow_ && !loadBand(tileRow))
            return nullptr;
        return band_.get() + (y - tileRow) * bandWidth() * layout_.samples;
    }
    std::int64_t firstColumn() const { return bandStart_; }

private:
    std::int64_t bandWidth() const { return bandEnd_ - bandStart_; }

    bool loadBand(std::int64_t tileRow)
    {
        cachedTileRow_ = -1;
        const std::int64_t rows = std::min(layout_.tileLength, layout_.height - tileRow);
        const std::int64_t tileRowSamples = layout_.tileWidth * layout_.samples;
        // Decoding stops after the rows inside the image.
        const tmsize_t bytes = tmsize_t(rows * tileRowSamples * std::int64_t(sizeof(T)));
        for (std::int64_t x = bandStart_; x < bandEnd_; x += layout_.tileWidth) {
            const std::uint32_t index = TIFFComputeTile(tif_, std::uint32_t(x), std::uint32_t(tileRow), 0, 0);
            if (TIFFReadEncodedTile(tif_, index, tile_.get(), bytes) != bytes)
                return false;
            const std::int64_t columns = std::min(layout_.tileWidth, bandEnd_ - x);
            for (std::int64_t r = 0; r < rows; ++r)
                std::memcpy(band_.get() + (r * bandWidth() + x - bandStart_) * layout_.samples,
                            tile_.get() + r * tileRowSamples, std::size_t(columns * layout_.samples) * sizeof(T));
        }
        cachedTileRow_ = tileRow;
        return true;
    }

    TIFF* tif_;
    const TiffLayout& layout_;
    std::int64_t bandStart_;
    std::int64_t bandEnd_;
    std::int64_t bandRows_;
    std::unique_ptr<T[]> tile_;
    std::unique_ptr<T[]> band_;
    std::int64_t cachedTileRow_ = -1;
};

// Output row oy is the block mean of source rows top + oy * step onward; a row
// that cannot be read stops the read at that source row.
template <typename T, typename Rows>
bool reduceRows(Rows& rows, const TiffLayout& layout, const ReadWindow& window, QImage& out,
                std::int64_t& failedRow)
{
    std::vector<std::uint64_t> sums(std::size_t(window.outWidth));
    std::vector<std::uint32_t> counts(std::size_t(window.outWidth));
    const T flip = T(layout.flip);
    const std::int64_t stride = layout.samples;
    const std::int64_t bottom = window.top + window.height;
    for (std::int64_t oy = 0; oy < window.outHeight; ++oy) {
        T* line = reinterpret_cast<T*>(out.scanLine(int(oy)));
        const std::int64_t y0 = window.top + oy * window.step;
        const std::int64_t y1 = std::min(y0 + window.step, bottom);
        std::fill(sums.begin(), sums.end(), 0);
        std::fill(counts.begin(), counts.end(), 0);
        for (std::int64_t y = y0; y < y1; ++y) {
            const T* row = rows.row(y);
            if (row == nullptr) {
                failedRow = y;
                return false;
            }
            const T* source = row + (window.left - rows.firstColumn()) * stride;
            if (window.step == 1) {
                for (std::int64_t x = 0; x < window.width; ++x)
                    line[x] = T(source[x * stride] ^ flip);
                continue;
            }
            for (std::int64_t ox = 0; ox < window.outWidth; ++ox) {
                const std::int64_t x0 = ox * window.step;
                const std::int64_t x1 = std::min(x0 + window.step, window.width);
                std::uint64_t sum = 0;
                for (std::int64_t x = x0; x < x1; ++x)
                    sum += T(source[x * stride] ^ flip);
                sums[std::size_t(ox)] += sum;
                counts[std::size_t(ox)] += std::uint32_t(x1 - x0);
            }
        }
        if (window.step == 1)
            continue;
        for (std::int64_t ox = 0; ox < window.outWidth; ++ox)
            line[ox] = counts[std::size_t(ox)] == 0 ? T(0) : T(sums[std::size_t(ox)] / counts[std::size_t(ox)]);
    }
    return true;
}

QString lineError(std::int64_t row)
{
    return QStringLiteral("TIFF read error at line %1").arg(row);
}

template <typename T>
ReadStatus readRegion(TiffFile& tif, const TiffLayout& layout, const ReadWindow& window, QImage& out,
                      QString& error)
{
    std::int64_t failedRow = 0;
    bool ok = false;
    if (layout.tiled) {
        if (TileRows<T>::bandBytes(layout, window) > kMaxImageBytes) {
            error = allocationMessage(window.outWidth, window.outHeight);
            return ReadStatus::Failed;
        }
        TileRows<T> rows(tif.get(), layout, window);
        ok = reduceRows<T>(rows, layout, window, out, failedRow);
    } else {
        StripRows<T> rows(tif.get(), layout);
        ok = reduceRows<T>(rows, layout, window, out, failedRow);
    }
    if (ok)
        return ReadStatus::Ok;
    error = tif.failure(lineError(failedRow));
    return ReadStatus::Failed;
}

ReadStatus readWholeStripped(TiffFile& tif, const TiffLayout& layout, QImage& out, QString& error)
{
    for (std::int64_t y = 0; y < layout.height; ++y) {
        uchar* line = out.scanLine(int(y));
        if (TIFFReadScanline(tif.get(), line, std::uint32_t(y), 0) < 0) {
            error = tif.failure(lineError(y));
            return ReadStatus::Failed;
        }
        if (layout.flip == 0)
            continue;
        if (layout.bytesPerSample == 2) {
            auto* samples = reinterpret_cast<std::uint16_t*>(line);
            for (std::int64_t x = 0; x < layout.width; ++x)
                samples[x] ^= layout.flip;
        } else {
            for (std::int64_t x = 0; x < layout.width; ++x)
                line[x] ^= uchar(layout.flip);
        }
    }
    return ReadStatus::Ok;
}

// Every strip or tile the window needs must lie in the file before anything
// is allocated: a missing entry would otherwise be read from offset 0, and a
// huge claim over a few bytes would cost the whole output image.
bool windowStored(const TiffFile& tif, const TiffLayout& layout, const ReadWindow& window, std::int64_t& badRow,
                  QString& reason)
{
    const std::int64_t bottom = window.top + window.height;
    const std::int64_t rowBytes = layout.rowSamples() * layout.bytesPerSample;
    if (!layout.tiled) {
        for (std::int64_t first = window.top - window.top % layout.rowsPerStrip; first < bottom;
             first += layout.rowsPerStrip) {
            const std::int64_t rows = std::min(layout.rowsPerStrip, layout.height - first);
            if (!tif.holdsStrile(std::uint32_t(first / layout.rowsPerStrip), std::uint64_t(rows * rowBytes))) {
                badRow = std::max(first, window.top);
                reason = QStringLiteral("strip %1 lies outside the file or holds too few bytes for its %2 rows")
                             .arg(first / layout.rowsPerStrip)
                             .arg(rows);
                return false;
            }
        }
        return true;
    }
    const std::int64_t right = window.left + window.width;
    for (std::int64_t y = window.top - window.top % layout.tileLength; y < bottom; y += layout.tileLength) {
        const std::int64_t rows = std::min(layout.tileLength, layout.height - y);
        const std::uint64_t bytes = std::uint64_t(rows * layout.tileWidth * layout.pixelBytes());
        for (std::int64_t x = window.left - window.left % layout.tileWidth; x < right; x += layout.tileWidth) {
            const std::uint32_t tile = TIFFComputeTile(tif.get(), std::uint32_t(x), std::uint32_t(y), 0, 0);
            if (!tif.holdsStrile(tile, bytes)) {
                badRow = std::max(y, window.top);
                reason = QStringLiteral("tile %1 lies outside the file or holds too few bytes").arg(tile);
                return false;
            }
        }
    }
    return true;
}

}  // namespace

ReadStatus readTiff(const QString& path, const QRect& region, int step, QImage& image, QString& error)
{
    TiffFile tif(path, "rm");
    if (!tif) {
        // Another reader may still take the file; the reason stays for when none does.
        error = tif.failure(QStringLiteral("Unable to open TIFF file."));
        return ReadStatus::Unsupported;
    }
    TiffLayout layout;
    if (const ReadStatus status = readLayout(tif.get(), layout, error); status != ReadStatus::Ok)
        return status;

    ReadWindow window;
    if (!makeReadWindow(region, layout.width, layout.height, step, window)) {
        error = outsideRegionMessage();
        return ReadStatus::Failed;
    }
    std::int64_t badRow = 0;
    QString reason;
    if (!windowStored(tif, layout, window, badRow, reason)) {
        error = QStringLiteral("%1 (%2)").arg(lineError(badRow), reason);
        return ReadStatus::Failed;
    }
    const QImage::Format format = layout.bytesPerSample == 2 ? QImage::Format_Grayscale16 : QImage::Format_Grayscale8;
    QImage out = allocateGrayImage(window.outWidth, window.outHeight, format);
    if (out.isNull()) {
        error = allocationMessage(window.outWidth, window.outHeight);
        return ReadStatus::Failed;
    }

    const bool whole = window.step == 1 && window.width == layout.width && window.height == layout.height;
    ReadStatus status = ReadStatus::Failed;
    try {
        if (!layout.tiled && whole && layout.samples == 1)
            status = readWholeStripped(tif, layout, out, error);
        else if (layout.bytesPerSample == 2)
            status = readRegion<std::uint16_t>(tif, layout, window, out, error);
        else
            status = readRegion<std::uint8_t>(tif, layout, window, out, error);
    } catch (const std::bad_alloc&) {
        error = allocationMessage(window.outWidth, window.outHeight);
        return ReadStatus::Failed;
    }
    if (status == ReadStatus::Ok)
        image = out;
    return status;
}

}  // namespace tavro::gui::detail
