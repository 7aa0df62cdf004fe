#include "gui/foundation/image_io.h"
#include "gui/foundation/image_io_detail.h"
#include "gui/foundation/image_limits.h"
#include "gui/foundation/tiff_file.h"

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
    bool tiled = false;
    std::int64_t tileWidth = 0;
    std::int64_t tileLength = 0;
};

bool readLayout(TIFF* tif, TiffLayout& layout)
{
    std::uint32_t width = 0, height = 0;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height);
    std::uint16_t bits = 0, samples = 0, format = 0, planar = 0, photometric = 0;
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &samples);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &format);
    TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar);
    if (TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric) != 1)
        return false;
    if (width == 0 || height == 0 || width > INT_MAX || height > INT_MAX || samples != 1
        || planar != PLANARCONFIG_CONTIG || format != SAMPLEFORMAT_UINT || (bits != 8 && bits != 16)
        || photometric != PHOTOMETRIC_MINISBLACK)
        return false;
    layout.width = width;
    layout.height = height;
    layout.bytesPerSample = bits / 8;
    layout.tiled = TIFFIsTiled(tif) != 0;
    if (!layout.tiled)
        return TIFFScanlineSize64(tif) == std::uint64_t(layout.width * layout.bytesPerSample);

    std::uint32_t tileWidth = 0, tileLength = 0;
    TIFFGetField(tif, TIFFTAG_TILEWIDTH, &tileWidth);
    TIFFGetField(tif, TIFFTAG_TILELENGTH, &tileLength);
    if (tileWidth == 0 || tileLength == 0)
        return false;
    const std::uint64_t tileBytes = std::uint64_t(tileWidth) * tileLength * std::uint64_t(layout.bytesPerSample);
    if (tileBytes > kMaxTileBytes || TIFFTileSize64(tif) != tileBytes)
        return false;
    layout.tileWidth = tileWidth;
    layout.tileLength = tileLength;
    return true;
}

// Buffers are left uninitialised: libtiff fills whatever is read, and a
// header claiming huge rows then costs address space, not zeroed memory.
template <typename T>
std::unique_ptr<T[]> uninitialised(std::int64_t count)
{
    return std::make_unique_for_overwrite<T[]>(std::size_t(count));
}

// Rows of a stripped file through one scan-line buffer.
template <typename T>
class StripRows {
public:
    StripRows(TIFF* tif, const TiffLayout& layout) : tif_(tif), line_(uninitialised<T>(layout.width)) {}

    const T* row(std::int64_t y)
    {
        return TIFFReadScanline(tif_, line_.get(), std::uint32_t(y), 0) < 0 ? nullptr : line_.get();
    }
    std::int64_t firstColumn() const { return 0; }

private:
    TIFF* tif_;
    std::unique_ptr<T[]> line_;
};

// Rows of a tiled file through one band of tiles that covers only the tile
// columns the window touches; the band is reused for every row of its tile row.
template <typename T>
class TileRows {
public:
    TileRows(TIFF* tif, const TiffLayout& layout, const ReadWindow& window)
        : tif_(tif), layout_(layout), bandStart_((window.left / layout.tileWidth) * layout.tileWidth),
          bandEnd_(std::min(layout.width,
                            ((window.left + window.width - 1) / layout.tileWidth + 1) * layout.tileWidth)),
          bandRows_(std::min(layout.tileLength, layout.height)),
          tile_(uninitialised<T>(layout.tileWidth * layout.tileLength)),
          band_(uninitialised<T>((bandEnd_ - bandStart_) * bandRows_))
    {
    }

    static std::uint64_t bandBytes(const TiffLayout& layout, const ReadWindow& window)
    {
        const std::int64_t start = (window.left / layout.tileWidth) * layout.tileWidth;
        const std::int64_t end =
            std::min(layout.width, ((window.left + window.width - 1) / layout.tileWidth + 1) * layout.tileWidth);
        return std::uint64_t(end - start) * std::uint64_t(std::min(layout.tileLength, layout.height)) * sizeof(T);
    }

    const T* row(std::int64_t y)
    {
        const std::int64_t tileRow = y - y % layout_.tileLength;
        if (tileRow != cachedTileRow_ && !loadBand(tileRow))
            return nullptr;
        return band_.get() + (y - tileRow) * bandWidth();
    }
    std::int64_t firstColumn() const { return bandStart_; }

private:
    std::int64_t bandWidth() const { return bandEnd_ - bandStart_; }

    bool loadBand(std::int64_t tileRow)
    {
        cachedTileRow_ = -1;
        const tmsize_t tileBytes = tmsize_t(layout_.tileWidth * layout_.tileLength * std::int64_t(sizeof(T)));
        const std::int64_t rows = std::min(layout_.tileLength, layout_.height - tileRow);
        for (std::int64_t x = bandStart_; x < bandEnd_; x += layout_.tileWidth) {
            const std::uint32_t index = TIFFComputeTile(tif_, std::uint32_t(x), std::uint32_t(tileRow), 0, 0);
            if (TIFFReadEncodedTile(tif_, index, tile_.get(), tileBytes) != tileBytes)
                return false;
            const std::int64_t columns = std::min(layout_.tileWidth, bandEnd_ - x);
            for (std::int64_t r = 0; r < rows; ++r)
                std::memcpy(band_.get() + r * bandWidth() + (x - bandStart_), tile_.get() + r * layout_.tileWidth,
                            std::size_t(columns) * sizeof(T));
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
bool reduceRows(Rows& rows, const ReadWindow& window, QImage& out, std::int64_t& failedRow)
{
    std::vector<std::uint64_t> sums(std::size_t(window.outWidth));
    std::vector<std::uint32_t> counts(std::size_t(window.outWidth));
    const std::int64_t right = window.left + window.width;
    const std::int64_t bottom = window.top + window.height;
    for (std::int64_t oy = 0; oy < window.outHeight; ++oy) {
        T* line = reinterpret_cast<T*>(out.scanLine(int(oy)));
        const std::int64_t y0 = window.top + oy * window.step;
        const std::int64_t y1 = std::min(y0 + window.step, bottom);
        if (window.step == 1) {
            const T* source = rows.row(y0);
            if (source == nullptr) {
                failedRow = y0;
                return false;
            }
            std::memcpy(line, source + (window.left - rows.firstColumn()), std::size_t(window.width) * sizeof(T));
            continue;
        }
        std::fill(sums.begin(), sums.end(), 0);
        std::fill(counts.begin(), counts.end(), 0);
        for (std::int64_t y = y0; y < y1; ++y) {
            const T* source = rows.row(y);
            if (source == nullptr) {
                failedRow = y;
                return false;
            }
            const std::int64_t first = rows.firstColumn();
            for (std::int64_t ox = 0; ox < window.outWidth; ++ox) {
                const std::int64_t x0 = window.left + ox * window.step;
                const std::int64_t x1 = std::min(x0 + window.step, right);
                std::uint64_t sum = 0;
                for (std::int64_t x = x0; x < x1; ++x)
                    sum += source[x - first];
                sums[std::size_t(ox)] += sum;
                counts[std::size_t(ox)] += std::uint32_t(x1 - x0);
            }
        }
        for (std::int64_t ox = 0; ox < window.outWidth; ++ox)
            line[ox] = counts[std::size_t(ox)] == 0 ? T(0) : T(sums[std::size_t(ox)] / counts[std::size_t(ox)]);
    }
    return true;
}

template <typename T>
ReadStatus readRegion(TiffFile& tif, const TiffLayout& layout, const ReadWindow& window, QImage& out,
                      QString& error)
{
    std::int64_t failedRow = 0;
    bool ok = false;
    if (layout.tiled) {
        const std::uint64_t bandBytes = TileRows<T>::bandBytes(layout, window);
        if (bandBytes > kMaxImageBytes) {
            error = allocationMessage(window.outWidth, window.outHeight);
            return ReadStatus::Failed;
        }
        TileRows<T> rows(tif.get(), layout, window);
        ok = reduceRows<T>(rows, window, out, failedRow);
    } else {
        StripRows<T> rows(tif.get(), layout);
        ok = reduceRows<T>(rows, window, out, failedRow);
    }
    if (ok)
        return ReadStatus::Ok;
    error = tif.withDetail(QStringLiteral("TIFF read error at line %1").arg(failedRow));
    return ReadStatus::Failed;
}

ReadStatus readWholeStripped(TiffFile& tif, const TiffLayout& layout, QImage& out, QString& error)
{
    for (std::int64_t y = 0; y < layout.height; ++y) {
        if (TIFFReadScanline(tif.get(), out.scanLine(int(y)), std::uint32_t(y), 0) < 0) {
            error = tif.withDetail(QStringLiteral("TIFF read error at line %1").arg(y));
            return ReadStatus::Failed;
        }
    }
    return ReadStatus::Ok;
}

}  // namespace

ReadStatus readTiff(const QString& path, const QRect& region, int step, QImage& image, QString& error)
{
    TiffFile tif(path, "rm");
    if (!tif)
        return ReadStatus::Unsupported;
    TiffLayout layout;
    if (!readLayout(tif.get(), layout))
        return ReadStatus::Unsupported;

    ReadWindow window;
    if (!makeReadWindow(region, layout.width, layout.height, step, window)) {
        error = outsideRegionMessage();
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
        if (!layout.tiled && whole)
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
