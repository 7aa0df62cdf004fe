#include "images/image_io.h"
#include "images/image_io_detail.h"
#include "images/regular_file.h"

#include <QFile>
#include <QtEndian>

#include <algorithm>
#include <array>
#include <climits>
#include <cstdlib>
#include <cstdint>
#include <new>
#include <vector>

namespace tavro::gui::detail {

namespace {

struct BmpLayout {
    std::uint64_t dataOffset = 0;
    std::uint64_t headerSize = 0;
    std::int64_t width = 0;
    std::int64_t height = 0;  // |stored height|
    bool topDown = false;
    int bitCount = 0;
    std::uint32_t colours = 0;
    std::uint64_t rowBytes = 0;
};

ReadStatus failWith(QString& error, const QString& message, ReadStatus status = ReadStatus::Failed)
{
    error = message;
    return status;
}

constexpr quint32 kRle8 = 1;
constexpr quint32 kRle4 = 2;

// True when the run-length codes from `at` reach their end-of-bitmap mark
// inside `data`; a cut stream never does.
bool rleStreamComplete(const QByteArray& data, bool fourBit)
{
    const auto byte = [&data](qsizetype i) { return uchar(data.at(i)); };
    qsizetype at = 0;
    while (at + 1 < data.size()) {
        const uchar count = byte(at);
        const uchar code = byte(at + 1);
        at += 2;
        if (count != 0)
            continue;
        if (code == 1)
            return true;
        if (code == 2)
            at += 2;
        else if (code > 2) {
            const qsizetype bytes = fourBit ? (qsizetype(code) + 1) / 2 : qsizetype(code);
            at += bytes + (bytes & 1);
        }
    }
    return false;
}

// Layouts the fast loader hands over are checked here for the bytes their
// header claims: the image library would make up the missing pixels.
bool holdsClaimedData(QFile& file, const BmpLayout& bmp, quint32 compression, quint32 imageBytes)
{
    const std::uint64_t size = std::uint64_t(std::max<qint64>(0, file.size()));
    if (bmp.dataOffset > size)
        return false;
    const std::uint64_t available = size - bmp.dataOffset;
    if (compression == kRle8 || compression == kRle4) {
        if (imageBytes != 0 && available < imageBytes)
            return false;
        // Compressed 8- and 4-bit images are small: the whole stream is read.
        if (available > (std::uint64_t(1) << 30) || !file.seek(qint64(bmp.dataOffset)))
            return true;
        return rleStreamComplete(file.read(qint64(available)), compression == kRle4);
    }
    if (compression != 0 && compression != 3 && compression != 6)
        return imageBytes == 0 || available >= imageBytes;
    const std::uint64_t rowBytes = ((std::uint64_t(bmp.bitCount) * std::uint64_t(bmp.width) + 31) / 32) * 4;
    if (bmp.width < 1 || bmp.height == 0)
        return true;
    return available / std::max<std::uint64_t>(rowBytes, 1) >= std::uint64_t(bmp.height);
}

ReadStatus readLayout(QFile& file, BmpLayout& bmp, QString& error)
{
    uchar fileHeader[14];
    if (file.read(reinterpret_cast<char*>(fileHeader), sizeof fileHeader) != qint64(sizeof fileHeader))
        return failWith(error, QStringLiteral("BMP too small (file header)"));
    if (fileHeader[0] != 'B' || fileHeader[1] != 'M')
        return failWith(error, QStringLiteral("Not a BMP file (bad magic)"), ReadStatus::Unsupported);
    bmp.dataOffset = qFromLittleEndian<quint32>(fileHeader + 10);

    uchar info[40];
    if (file.read(reinterpret_cast<char*>(info), sizeof info) != qint64(sizeof info))
        return failWith(error, QStringLiteral("BMP too small (info header)"));
    bmp.headerSize = qFromLittleEndian<quint32>(info);
    if (bmp.headerSize < 40)
        return failWith(error, QStringLiteral("Unsupported BMP header (core header)"), ReadStatus::Unsupported);
    const qint32 width = qFromLittleEndian<qint32>(info + 4);
    const qint32 height = qFromLittleEndian<qint32>(info + 8);
    bmp.bitCount = qFromLittleEndian<quint16>(info + 14);
    const quint32 compression = qFromLittleEndian<quint32>(info + 16);
    bmp.colours = qFromLittleEndian<quint32>(info + 32);

    if (compression != 0 || (bmp.bitCount != 8 && bmp.bitCount != 24 && bmp.bitCount != 32)) {
        bmp.width = width;
        bmp.height = height == INT_MIN ? 0 : std::abs(height);
        if (!holdsClaimedData(file, bmp, compression, qFromLittleEndian<quint32>(info + 20)))
            return failWith(error, QStringLiteral("BMP file is truncated: its pixel data is shorter than its header "
                                                  "claims"));
    }
    if (compression != 0)
        return failWith(error, QStringLiteral("Compressed BMP not handled by fast loader"), ReadStatus::Unsupported);
    if (bmp.bitCount != 8 && bmp.bitCount != 24 && bmp.bitCount != 32)
        return failWith(error, QStringLiteral("BMP %1-bit not handled by fast loader").arg(bmp.bitCount),
                        ReadStatus::Unsupported);
    if (width < 1 || height == 0)
        return failWith(error, QStringLiteral("Invalid BMP dimensions"));
    if (bmp.dataOffset < 14 + bmp.headerSize)
        return failWith(error, QStringLiteral("Invalid BMP data offset"));
    if (height == INT_MIN)
        return failWith(error, QStringLiteral("BMP height too large"));
    bmp.width = width;
    bmp.height = height < 0 ? -std::int64_t(height) : height;
    bmp.topDown = height < 0;
    bmp.rowBytes = ((std::uint64_t(bmp.bitCount) * std::uint64_t(bmp.width) + 31) / 32) * 4;
    return ReadStatus::Ok;
}

ReadStatus readPalette(QFile& file, const BmpLayout& bmp, std::array<uchar, 256>& lut, QString& error)
{
    for (int i = 0; i < 256; ++i)
        lut[i] = uchar(i);
    if (bmp.bitCount != 8)
        return ReadStatus::Ok;
    const std::uint32_t count = bmp.colours == 0 ? 256 : bmp.colours;
    if (count > 256)
        return failWith(error, QStringLiteral("Invalid BMP palette size"));
    const std::uint64_t paletteOffset = 14 + bmp.headerSize;
    if (bmp.dataOffset < paletteOffset + 4 * std::uint64_t(count))
        return failWith(error, QStringLiteral("Invalid BMP data offset (overlaps palette)"));
    if (!file.seek(qint64(paletteOffset)))
        return failWith(error, QStringLiteral("Cannot seek to BMP palette"));
    uchar palette[4 * 256];
    if (file.read(reinterpret_cast<char*>(palette), 4 * qint64(count)) != 4 * qint64(count))
        return failWith(error, QStringLiteral("BMP palette truncated"));
    for (std::uint32_t i = 0; i < count; ++i)
        lut[i] = uchar(grayFromRgb(palette[4 * i + 2], palette[4 * i + 1], palette[4 * i]));
    return ReadStatus::Ok;
}

uchar grayAt(const uchar* row, std::int64_t x, int bitCount, const std::array<uchar, 256>& lut)
{
    switch (bitCount) {
    case 8:
        return lut[row[x]];
    case 24:
        return uchar(grayFromRgb(row[3 * x + 2], row[3 * x + 1], row[3 * x]));
    default:
        return uchar(grayFromRgb(row[4 * x + 2], row[4 * x + 1], row[4 * x]));
    }
}

QString truncatedMessage(std::int64_t fileRow, std::int64_t height)
{
    return QStringLiteral("BMP pixel data truncated at row %1/%2").arg(fileRow).arg(height);
}

// Catches a truncated file before the output is allocated, so a header that
// claims a huge image in a few bytes costs nothing.
bool rowsPresent(const QFile& file, const BmpLayout& bmp, std::int64_t firstRow, std::int64_t rowCount,
                 std::int64_t& missingRow)
{
    if (file.isSequential())
        return true;
    const std::uint64_t size = std::uint64_t(std::max<qint64>(0, file.size()));
    const std::uint64_t completeRows = size > bmp.dataOffset ? (size - bmp.dataOffset) / bmp.rowBytes : 0;
    if (std::uint64_t(firstRow + rowCount) <= completeRows)
        return true;
    missingRow = std::max<std::int64_t>(firstRow, std::int64_t(completeRows));
    return false;
}

bool seekToRow(QFile& file, const BmpLayout& bmp, std::int64_t fileRow)
{
    std::uint64_t offset = 0;
    if (__builtin_mul_overflow(std::uint64_t(fileRow), bmp.rowBytes, &offset)
        || __builtin_add_overflow(offset, bmp.dataOffset, &offset) || offset > std::uint64_t(INT64_MAX))
        return false;
    return file.seek(qint64(offset));
}

// Output rows are flushed whenever the block changes: the rows of one block
// are consecutive in the file whether it is stored top-down or bottom-up.
class BlockAccumulator {
public:
    BlockAccumulator(const ReadWindow& window, QImage& out)
        : window_(window), out_(out), sums_(std::size_t(window.outWidth), 0)
    {
    }

    void add(std::int64_t imageRow, const uchar* fileRow, int bitCount, const std::array<uchar, 256>& lut)
    {
        const std::int64_t outRow = (imageRow - window_.top) / window_.step;
        if (outRow != currentRow_)
            flush();
        currentRow_ = outRow;
        ++rows_;
        const std::int64_t right = window_.left + window_.width;
        for (std::int64_t ox = 0; ox < window_.outWidth; ++ox) {
            const std::int64_t x0 = window_.left + ox * window_.step;
            const std::int64_t x1 = std::min(x0 + window_.step, right);
            std::uint64_t sum = 0;
            for (std::int64_t x = x0; x < x1; ++x)
                sum += grayAt(fileRow, x, bitCount, lut);
            sums_[std::size_t(ox)] += sum;
        }
    }

    void flush()
    {
        if (currentRow_ < 0 || rows_ == 0)
            return;
        uchar* line = out_.scanLine(int(currentRow_));
        const std::int64_t right = window_.left + window_.width;
        for (std::int64_t ox = 0; ox < window_.outWidth; ++ox) {
            const std::int64_t x0 = window_.left + ox * window_.step;
            const std::uint32_t count = std::uint32_t((std::min(x0 + window_.step, right) - x0) * rows_);
            line[ox] = count == 0 ? 0 : uchar(sums_[std::size_t(ox)] / count);
            sums_[std::size_t(ox)] = 0;
        }
        rows_ = 0;
    }

private:
    const ReadWindow& window_;
    QImage& out_;
    std::vector<std::uint64_t> sums_;
    std::int64_t currentRow_ = -1;
    std::int64_t rows_ = 0;
};

ReadStatus readPixels(QFile& file, const BmpLayout& bmp, const std::array<uchar, 256>& lut,
                      const ReadWindow& window, QImage& out, QString& error)
{
    const bool whole = window.step == 1 && window.left == 0 && window.top == 0 && window.width == bmp.width
                       && window.height == bmp.height;
    const std::int64_t firstRow = bmp.topDown ? window.top : bmp.height - window.top - window.height;
    if (!seekToRow(file, bmp, firstRow))
        return failWith(error, QStringLiteral("Cannot seek to BMP pixel data"));

    std::vector<uchar> row(bmp.rowBytes);
    const std::int64_t rowBytes = std::int64_t(bmp.rowBytes);
    if (whole) {
        for (std::int64_t i = 0; i < bmp.height; ++i) {
            if (file.read(reinterpret_cast<char*>(row.data()), rowBytes) != rowBytes)
                return failWith(error, truncatedMessage(i, bmp.height));
            uchar* line = out.scanLine(int(bmp.topDown ? i : bmp.height - 1 - i));
            for (std::int64_t x = 0; x < bmp.width; ++x)
                line[x] = grayAt(row.data(), x, bmp.bitCount, lut);
        }
        return ReadStatus::Ok;
    }

    BlockAccumulator blocks(window, out);
    for (std::int64_t k = 0; k < window.height; ++k) {
        const std::int64_t fileRow = firstRow + k;
        if (file.read(reinterpret_cast<char*>(row.data()), rowBytes) != rowBytes)
            return failWith(error, truncatedMessage(fileRow, bmp.height));
        const std::int64_t imageRow = bmp.topDown ? fileRow : bmp.height - 1 - fileRow;
        blocks.add(imageRow, row.data(), bmp.bitCount, lut);
    }
    blocks.flush();
    return ReadStatus::Ok;
}

}  // namespace

ReadStatus readBmp(const QString& path, const QRect& region, int step, QImage& image, QString& error)
{
    RegularFile regular(path);
    if (!regular)
        return failWith(error, QStringLiteral("Cannot open BMP file: %1").arg(regular.problem()),
                        ReadStatus::Unsupported);
    QFile file;
    if (!file.open(regular.release(), QIODevice::ReadOnly, QFileDevice::AutoCloseHandle))
        return failWith(error, QStringLiteral("Cannot open BMP file: %1").arg(file.errorString()),
                        ReadStatus::Unsupported);
    BmpLayout bmp;
    if (const ReadStatus status = readLayout(file, bmp, error); status != ReadStatus::Ok)
        return status;
    std::array<uchar, 256> lut;
    if (const ReadStatus status = readPalette(file, bmp, lut, error); status != ReadStatus::Ok)
        return status;

    ReadWindow window;
    if (!makeReadWindow(region, bmp.width, bmp.height, step, window))
        return failWith(error, outsideRegionMessage());
    const std::int64_t firstRow = bmp.topDown ? window.top : bmp.height - window.top - window.height;
    std::int64_t missingRow = 0;
    if (!rowsPresent(file, bmp, firstRow, window.height, missingRow))
        return failWith(error, truncatedMessage(missingRow, bmp.height));

    QImage out = allocateGrayImage(window.outWidth, window.outHeight, QImage::Format_Grayscale8);
    if (out.isNull())
        return failWith(error, allocationMessage(window.outWidth, window.outHeight));
    try {
        if (const ReadStatus status = readPixels(file, bmp, lut, window, out, error); status != ReadStatus::Ok)
            return status;
    } catch (const std::bad_alloc&) {
        return failWith(error, allocationMessage(window.outWidth, window.outHeight));
    }
    image = out;
    return ReadStatus::Ok;
}

}  // namespace tavro::gui::detail
