#include "test_files.h"

#include <QFile>
#include <QtEndian>

#include <png.h>
#include <tiffio.h>

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <random>

namespace tavro::gui::fixtures {

namespace {

void setCommonTags(TIFF* tif, const TiffLayout& device)
{
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, std::uint32_t(device.width));
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, std::uint32_t(device.height));
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, device.samplesPerPixel);
    const int colours = device.photometric == PHOTOMETRIC_RGB ? 3 : 1;
    if (device.samplesPerPixel > colours) {
        const std::vector<std::uint16_t> extra(std::size_t(device.samplesPerPixel - colours), EXTRASAMPLE_UNASSALPHA);
        TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, std::uint16_t(extra.size()), extra.data());
    }
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, device.bitsPerSample);
    TIFFSetField(tif, TIFFTAG_SAMPLEFORMAT, device.sampleFormat);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, device.photometric);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, device.compression);
    if (device.tileWidth > 0) {
        TIFFSetField(tif, TIFFTAG_TILEWIDTH, std::uint32_t(device.tileWidth));
        TIFFSetField(tif, TIFFTAG_TILELENGTH, std::uint32_t(device.tileLength));
    } else {
        TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP,
                     std::uint32_t(device.rowsPerStrip > 0 ? device.rowsPerStrip : device.height));
    }
}

// Writes rows or tiles from one row-major byte buffer.
bool writeRaster(const QString& path, const TiffLayout& device, std::vector<unsigned char>& bytes)
{
    TIFF* tif = TIFFOpen(QFile::encodeName(path).constData(), "w");
    if (tif == nullptr)
        return false;
    setCommonTags(tif, device);
    const std::size_t sampleBytes = std::size_t(device.bitsPerSample / 8 * device.samplesPerPixel);
    const std::size_t rowBytes = std::size_t(device.width) * sampleBytes;
    bool ok = true;
    if (device.tileWidth > 0) {
        std::vector<unsigned char> tile(std::size_t(device.tileWidth) * device.tileLength * sampleBytes);
        for (int y = 0; y < device.height && ok; y += device.tileLength) {
            for (int x = 0; x < device.width && ok; x += device.tileWidth) {
                std::fill(tile.begin(), tile.end(), 0xEE);
                for (int r = 0; r < device.tileLength && y + r < device.height; ++r) {
                    const int columns = std::min(device.tileWidth, device.width - x);
                    std::memcpy(tile.data() + std::size_t(r) * device.tileWidth * sampleBytes,
                                bytes.data() + std::size_t(y + r) * rowBytes + std::size_t(x) * sampleBytes,
                                std::size_t(columns) * sampleBytes);
                }
                ok = TIFFWriteTile(tif, tile.data(), std::uint32_t(x), std::uint32_t(y), 0, 0) >= 0;
            }
        }
    } else {
        for (int y = 0; y < device.height && ok; ++y)
            ok = TIFFWriteScanline(tif, bytes.data() + std::size_t(y) * rowBytes, std::uint32_t(y), 0) == 1;
    }
    TIFFClose(tif);
    return ok;
}

bool pngWriteRows(png_structp png, png_infop info, const PngLayout& device, std::vector<png_color>& palette,
                  std::vector<png_bytep>& rows)
{
    if (setjmp(png_jmpbuf(png)))
        return false;
    png_set_IHDR(png, info, png_uint_32(device.width), png_uint_32(device.height), device.bitDepth, device.colourType,
                 device.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    if (!palette.empty())
        png_set_PLTE(png, info, palette.data(), int(palette.size()));
    png_write_info(png, info);
    png_write_image(png, rows.data());
    png_write_end(png, nullptr);
    return true;
}

}  // namespace

bool writeTiff(const QString& path, const TiffLayout& device, const std::vector<std::uint16_t>& samples)
{
    std::vector<unsigned char> bytes(samples.size() * std::size_t(device.bitsPerSample / 8));
    for (std::size_t i = 0; i < samples.size(); ++i) {
        if (device.bitsPerSample == 16)
            std::memcpy(bytes.data() + 2 * i, &samples[i], 2);
        else
            bytes[i] = static_cast<unsigned char>(samples[i]);
    }
    return writeRaster(path, device, bytes);
}

bool writeFloatTiffFixture(const QString& path, const TiffLayout& device, const std::vector<float>& values)
{
    TiffLayout floatLayout = device;
    floatLayout.bitsPerSample = 32;
    floatLayout.sampleFormat = SAMPLEFORMAT_IEEEFP;
    std::vector<unsigned char> bytes(values.size() * sizeof(float));
    std::memcpy(bytes.data(), values.data(), bytes.size());
    return writeRaster(path, floatLayout, bytes);
}

bool writePng(const QString& path, const PngLayout& device, const std::vector<std::uint16_t>& channels)
{
    const int perPixel = device.colourType == 2 ? 3 : device.colourType == 4 ? 2 : device.colourType == 6 ? 4 : 1;
    const std::size_t rowBits = std::size_t(device.width) * perPixel * device.bitDepth;
    std::vector<unsigned char> data(((rowBits + 7) / 8) * std::size_t(device.height), 0);
    const std::size_t rowBytes = (rowBits + 7) / 8;
    for (int y = 0; y < device.height; ++y) {
        unsigned char* row = data.data() + std::size_t(y) * rowBytes;
        for (int i = 0; i < device.width * perPixel; ++i) {
            const std::uint16_t v = channels[std::size_t(y) * device.width * perPixel + i];
            if (device.bitDepth == 16) {
                row[2 * i] = static_cast<unsigned char>(v >> 8);
                row[2 * i + 1] = static_cast<unsigned char>(v & 0xFF);
            } else if (device.bitDepth == 8) {
                row[i] = static_cast<unsigned char>(v);
            } else {
                const int perByte = 8 / device.bitDepth;
                const int shift = 8 - device.bitDepth * (i % perByte + 1);
                row[i / perByte] = static_cast<unsigned char>(row[i / perByte] | (v << shift));
            }
        }
    }
    std::vector<png_bytep> rows(std::size_t(device.height));
    for (int y = 0; y < device.height; ++y)
        rows[std::size_t(y)] = data.data() + std::size_t(y) * rowBytes;

    FILE* file = std::fopen(QFile::encodeName(path).constData(), "wb");
    if (file == nullptr)
        return false;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_init_io(png, file);
    std::vector<png_color> palette;
    for (const std::uint32_t entry : device.palette)
        palette.push_back({png_byte(entry >> 16), png_byte(entry >> 8), png_byte(entry)});
    const bool ok = pngWriteRows(png, info, device, palette, rows);
    png_destroy_write_struct(&png, &info);
    std::fclose(file);
    return ok;
}

QByteArray bmpBytes(const BmpLayout& device, const std::vector<std::uint32_t>& pixels)
{
    const int absHeight = device.height < 0 ? -device.height : device.height;
    const int rowBytes = ((device.bitCount * device.width + 31) / 32) * 4;
    const std::uint32_t paletteBytes = std::uint32_t(device.palette.size() * 4);
    const std::uint32_t dataOffset = 14 + 40 + paletteBytes;
    QByteArray bytes(qsizetype(dataOffset) + qsizetype(rowBytes) * absHeight, '\0');
    auto* p = reinterpret_cast<uchar*>(bytes.data());
    p[0] = 'B';
    p[1] = 'M';
    qToLittleEndian<quint32>(quint32(bytes.size()), p + 2);
    qToLittleEndian<quint32>(dataOffset, p + 10);
    qToLittleEndian<quint32>(40, p + 14);
    qToLittleEndian<qint32>(device.width, p + 18);
    qToLittleEndian<qint32>(device.height, p + 22);
    qToLittleEndian<quint16>(1, p + 26);
    qToLittleEndian<quint16>(quint16(device.bitCount), p + 28);
    qToLittleEndian<quint32>(device.compression, p + 30);
    qToLittleEndian<quint32>(device.paletteCount, p + 46);
    for (std::size_t i = 0; i < device.palette.size(); ++i)
        qToLittleEndian<quint32>(device.palette[i], p + 54 + 4 * i);
    for (int y = 0; y < absHeight; ++y) {
        const int fileRow = device.height < 0 ? y : absHeight - 1 - y;
        uchar* row = p + dataOffset + std::size_t(fileRow) * rowBytes;
        for (int x = 0; x < device.width; ++x) {
            const std::uint32_t v = pixels[std::size_t(y) * device.width + x];
            if (device.bitCount == 8) {
                row[x] = uchar(v);
            } else {
                const int bytesPerPixel = device.bitCount / 8;
                row[x * bytesPerPixel] = uchar(v & 0xFF);
                row[x * bytesPerPixel + 1] = uchar((v >> 8) & 0xFF);
                row[x * bytesPerPixel + 2] = uchar((v >> 16) & 0xFF);
                if (bytesPerPixel == 4)
                    row[x * bytesPerPixel + 3] = 0x7F;
            }
        }
    }
    return bytes;
}

QByteArray tiffBytes(std::vector<TiffTag> tags, const QByteArray& data)
{
    std::sort(tags.begin(), tags.end(), [](const TiffTag& a, const TiffTag& b) { return a.tag < b.tag; });
    const std::uint32_t ifdOffset = kTiffDataOffset + std::uint32_t(data.size() + (data.size() & 1));
    QByteArray bytes(qsizetype(ifdOffset) + 2 + 12 * qsizetype(tags.size()) + 4, '\0');
    auto* p = reinterpret_cast<uchar*>(bytes.data());
    p[0] = 'I';
    p[1] = 'I';
    qToLittleEndian<quint16>(42, p + 2);
    qToLittleEndian<quint32>(ifdOffset, p + 4);
    std::memcpy(p + kTiffDataOffset, data.constData(), std::size_t(data.size()));
    uchar* entry = p + ifdOffset;
    qToLittleEndian<quint16>(quint16(tags.size()), entry);
    entry += 2;
    for (const TiffTag& t : tags) {
        qToLittleEndian<quint16>(t.tag, entry);
        qToLittleEndian<quint16>(t.type, entry + 2);
        qToLittleEndian<quint32>(t.count, entry + 4);
        if (t.type == 3 && t.count == 1)
            qToLittleEndian<quint16>(quint16(t.value), entry + 8);
        else
            qToLittleEndian<quint32>(t.value, entry + 8);
        entry += 12;
    }
    return bytes;
}

bool writeBytes(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

QByteArray readBytes(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QImage grayImage(int width, int height, QImage::Format format, std::uint32_t seed)
{
    QImage image(width, height, format);
    std::mt19937 random(seed);
    for (int y = 0; y < height; ++y) {
        uchar* line = image.scanLine(y);
        for (int x = 0; x < width; ++x) {
            if (format == QImage::Format_Grayscale16)
                reinterpret_cast<quint16*>(line)[x] = quint16(random());
            else
                line[x] = uchar(random());
        }
    }
    return image;
}

}  // namespace tavro::gui::fixtures
