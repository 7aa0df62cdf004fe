#include "images/image_io.h"
#include "images/loaded_image.h"
#include "images/tiff_file.h"

#include "test_files.h"

#include <QTemporaryDir>
#include <QtEndian>

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <random>

namespace tavro::gui {
namespace {

using namespace fixtures;

// Each malformed file must be refused with a message by the reader a user
// reaches (readGrayImage / readFloatTiff), and every other reader must return
// without crashing, hanging or touching memory it does not own (asan build).
struct MalformedCase {
    const char* name;
    const char* fileName;
    QByteArray bytes;
    const char* expected;  // part of the message
};

QByteArray le32(std::uint32_t v)
{
    QByteArray b(4, '\0');
    qToLittleEndian<quint32>(v, b.data());
    return b;
}

QByteArray be32(std::uint32_t v)
{
    QByteArray b(4, '\0');
    qToBigEndian<quint32>(v, b.data());
    return b;
}

std::uint32_t crc32(const QByteArray& bytes)
{
    std::uint32_t crc = 0xFFFFFFFFu;
    for (char c : bytes) {
        crc ^= std::uint8_t(c);
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

QByteArray pngChunk(const char* type, const QByteArray& data)
{
    const QByteArray typed = QByteArray(type, 4) + data;
    return be32(std::uint32_t(data.size())) + typed + be32(crc32(typed));
}

QByteArray ihdr(std::uint32_t width, std::uint32_t height, int depth, int colour, int interlace = 0)
{
    QByteArray data = be32(width) + be32(height);
    data.append(char(depth)).append(char(colour)).append('\0').append('\0').append(char(interlace));
    return data;
}

const QByteArray kPngSignature("\x89PNG\r\n\x1a\n", 8);

// Tags of a valid 8-bit 4x4 image in one strip at offset 8; cases override some.
std::vector<TiffTag> grayTags(std::uint32_t width = 4, std::uint32_t height = 4)
{
    return {{256, 4, 1, width}, {257, 4, 1, height},          {258, 3, 1, 8},  {262, 3, 1, 1},
            {273, 4, 1, kTiffDataOffset}, {278, 4, 1, height}, {279, 4, 1, 16}};
}

std::vector<TiffTag> with(std::vector<TiffTag> tags, std::initializer_list<TiffTag> changes)
{
    for (const TiffTag& change : changes) {
        auto it = std::find_if(tags.begin(), tags.end(), [&](const TiffTag& t) { return t.tag == change.tag; });
        if (it != tags.end())
            *it = change;
        else
            tags.push_back(change);
    }
    return tags;
}

QByteArray le32s(std::initializer_list<std::uint32_t> values)
{
    QByteArray bytes;
    for (std::uint32_t v : values)
        bytes += le32(v);
    return bytes;
}

// `tags` with `rowsPerStrip`-row strips of `stripBytes` at the given offsets
// (the arrays follow 64 bytes of data).
QByteArray stripTable(std::vector<TiffTag> tags, std::uint32_t rowsPerStrip, std::uint32_t stripBytes,
                      std::initializer_list<std::uint32_t> offsets)
{
    const std::uint32_t n = std::uint32_t(offsets.size());
    QByteArray data(64, '\x30');
    data += le32s(offsets);
    for (std::uint32_t i = 0; i < n; ++i)
        data += le32(stripBytes);
    return tiffBytes(with(tags, {{273, 4, n, kTiffDataOffset + 64}, {278, 4, 1, rowsPerStrip},
                                 {279, 4, n, kTiffDataOffset + 64 + 4 * n}}),
                     data);
}

// 16x16 tiles of `tileBytes`, all `tiles` byte counts present but only
// `offsets` offsets; the counts state `declaredBytes` when given.
QByteArray tileTable(std::vector<TiffTag> tags, std::uint32_t tileBytes, std::uint32_t tiles, std::uint32_t offsets,
                     std::uint32_t declaredBytes = 0)
{
    QByteArray data(int(tileBytes * offsets), '\x30');
    const std::uint32_t offsetTable = kTiffDataOffset + std::uint32_t(data.size());
    for (std::uint32_t i = 0; i < offsets; ++i)
        data += le32(kTiffDataOffset + i * tileBytes);
    const std::uint32_t countTable = kTiffDataOffset + std::uint32_t(data.size());
    for (std::uint32_t i = 0; i < tiles; ++i)
        data += le32(declaredBytes != 0 ? declaredBytes : tileBytes);
    tags.insert(tags.end(),
                {{322, 4, 1, 16}, {323, 4, 1, 16}, {324, 4, offsets, offsetTable}, {325, 4, tiles, countTable}});
    return tiffBytes(tags, data);
}

QByteArray noise(int size, std::uint32_t seed)
{
    std::mt19937 random(seed);
    QByteArray bytes(size, '\0');
    for (char& c : bytes)
        c = char(random());
    return bytes;
}

QByteArray bmpHeader(std::int32_t width, std::int32_t height, int bits, std::uint32_t dataOffset,
                     std::uint32_t colours = 0, std::uint32_t headerSize = 40)
{
    QByteArray h(54, '\0');
    auto* p = reinterpret_cast<uchar*>(h.data());
    p[0] = 'B';
    p[1] = 'M';
    qToLittleEndian<quint32>(dataOffset, p + 10);
    qToLittleEndian<quint32>(headerSize, p + 14);
    qToLittleEndian<qint32>(width, p + 18);
    qToLittleEndian<qint32>(height, p + 22);
    qToLittleEndian<quint16>(1, p + 26);
    qToLittleEndian<quint16>(quint16(bits), p + 28);
    qToLittleEndian<quint32>(colours, p + 46);
    return h;
}

// 16-bit 5-6-5 with its three masks after the info header.
QByteArray bitfieldsBmp(std::int32_t width, std::int32_t height)
{
    QByteArray bytes = bmpHeader(width, height, 16, 54 + 12);
    qToLittleEndian<quint32>(3, reinterpret_cast<uchar*>(bytes.data()) + 30);
    for (const quint32 mask : {0xF800u, 0x07E0u, 0x001Fu}) {
        uchar m[4];
        qToLittleEndian<quint32>(mask, m);
        bytes.append(reinterpret_cast<const char*>(m), 4);
    }
    const std::int64_t rowBytes = ((16 * std::int64_t(width) + 31) / 32) * 4;
    return bytes + QByteArray(rowBytes * std::abs(height), '\0');
}

// A 4x4 run-length 8-bit image of grey palette entries; without its
// end-of-bitmap mark when cut.
QByteArray rle8Bmp(bool complete)
{
    QByteArray bytes = bmpHeader(4, 4, 8, 54 + 1024, 256);
    qToLittleEndian<quint32>(1, reinterpret_cast<uchar*>(bytes.data()) + 30);
    for (int i = 0; i < 256; ++i)
        bytes += QByteArray(3, char(i)) + QByteArray(1, '\0');
    const QByteArray row("\x04\x40\x00\x00", 4);
    bytes += row + row;
    if (complete)
        bytes += row + row + QByteArray("\x00\x01", 2);
    return bytes;
}

std::vector<MalformedCase> grayCases()
{
    const QByteArray pixels(16, '\x20');
    const QByteArray validPng = [] {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("v.png"));
        std::vector<std::uint16_t> samples(64 * 64);
        for (std::size_t i = 0; i < samples.size(); ++i)
            samples[i] = std::uint16_t(i * 7919u);
        writePng(path, {64, 64, 16, 0, false}, samples);
        return readBytes(path);
    }();
    const QByteArray pngHeader = kPngSignature + pngChunk("IHDR", ihdr(4, 4, 8, 0));
    const QByteArray pngEnd = pngChunk("IEND", {});

    return {
        {"IFD offset past the end", "a.tif", QByteArray("II*\0", 4) + le32(0x7FFFFFF0), "Unable to load"},
        {"zero width", "a.tif", tiffBytes(with(grayTags(), {{256, 4, 1, 0}}), pixels), "Unable to load"},
        {"huge dimensions", "a.tif", tiffBytes(grayTags(0xFFFFFFFF, 0xFFFFFFFF), pixels), "Unable to load"},
        {"huge dimensions within int", "a.tif", tiffBytes(grayTags(0x7FFFFFFF, 0x7FFFFFFF), pixels),
         "TIFF read error at line 0"},
        {"large image over a few bytes", "a.tif", tiffBytes(grayTags(20000, 20000), pixels), "TIFF read error at line 0"},
        {"one-row strips of a huge image", "a.tif",
         tiffBytes(with(grayTags(0x7FFFFFFF, 0x7FFFFFFF), {{278, 4, 1, 1}}), pixels), "Unable to load"},
        {"strip offset past the end", "a.tif", tiffBytes(with(grayTags(), {{273, 4, 1, 0x7FFFFFF0}}), pixels),
         "TIFF read error at line 0"},
        {"huge tiles", "a.tif",
         tiffBytes({{256, 4, 1, 4}, {257, 4, 1, 4}, {258, 3, 1, 8}, {262, 3, 1, 1}, {322, 4, 1, 0x40000},
                    {323, 4, 1, 0x40000}, {324, 4, 1, kTiffDataOffset}, {325, 4, 1, 16}},
                   pixels),
         "Unable to load"},
        {"tile data past the end", "a.tif",
         tiffBytes({{256, 4, 1, 16}, {257, 4, 1, 16}, {258, 3, 1, 8}, {262, 3, 1, 1}, {322, 4, 1, 16},
                    {323, 4, 1, 16}, {324, 4, 1, kTiffDataOffset}, {325, 4, 1, 256}},
                   pixels),
         "TIFF read error at line 0"},
        {"deflate strip of noise", "a.tif",
         tiffBytes(with(grayTags(64, 64), {{259, 3, 1, 8}, {279, 4, 1, 200}}), noise(200, 1)),
         "TIFF read error at line 0"},
        // 8.6 GB claimed by 400 bytes of codecs without a known bound: refused
        // before the image is allocated.
        {"LZMA strip claiming 65535 x 65535 x 16 bits", "a.tif",
         tiffBytes(with(grayTags(65535, 65535), {{258, 3, 1, 16}, {259, 3, 1, 34925}, {279, 4, 1, 400}}),
                   noise(400, 3)),
         "TIFF read error at line 0"},
        {"LERC strip claiming 65535 x 65535 x 16 bits", "a.tif",
         tiffBytes(with(grayTags(65535, 65535), {{258, 3, 1, 16}, {259, 3, 1, 34887}, {279, 4, 1, 400}}),
                   noise(400, 4)),
         "TIFF read error at line 0"},
        // Layouts our reader hands to the image library, whose libtiff has no
        // limits: 61,450 samples per pixel over a few bytes claim 3 GB.
        {"thousands of samples per pixel", "a.tif",
         tiffBytes(with(grayTags(24, 2068), {{259, 3, 1, 5}, {277, 3, 1, 61450}}), noise(232, 5)),
         "cannot hold the 3049886400 bytes it claims"},
        {"RGB strip claiming 30000 x 30000", "a.tif",
         tiffBytes(with(grayTags(30000, 30000), {{262, 3, 1, 2}, {277, 3, 1, 3}}), pixels),
         "cannot hold the"},
        // Missing or zero offsets would read the file header as pixels.
        {"strip at offset 0", "a.tif", stripTable(grayTags(4, 4), 2, 8, {kTiffDataOffset, 0}),
         "TIFF read error at line 2"},
        {"tiles missing from the offset table", "a.tif",
         tileTable({{256, 4, 1, 32}, {257, 4, 1, 32}, {258, 3, 1, 8}, {262, 3, 1, 1}}, 256, 4, 2),
         "TIFF read error at line 16"},
        // Uncompressed data must hold every row it is asked for: the bytes
        // after a short strip or tile are no pixels of it.
        {"uncompressed tiles shorter than their rows", "a.tif",
         tileTable({{256, 4, 1, 32}, {257, 4, 1, 32}, {258, 3, 1, 8}, {262, 3, 1, 1}}, 256, 4, 4, 16),
         "TIFF read error at line 0 (tile 0 lies outside the file or holds too few bytes)"},
        {"uncompressed 16-bit strip shorter than its rows", "a.tif",
         tiffBytes(with(grayTags(4, 4), {{258, 3, 1, 16}, {279, 4, 1, 24}}), QByteArray(64, '\x20')),
         "(strip 0 lies outside the file or holds too few bytes for its 4 rows)"},

        {"PNG signature only", "a.png", kPngSignature, "PNG read error in a.png: unexpected end of PNG data"},
        {"PNG width past the library limit", "a.png",
         kPngSignature + pngChunk("IHDR", ihdr(0x7FFFFFFF, 0x7FFFFFFF, 8, 0)) + pngEnd, "PNG read error in a.png: "},
        {"PNG claiming 10 GB over 64 bytes", "a.png",
         kPngSignature + pngChunk("IHDR", ihdr(100000, 100000, 8, 0)) + pngChunk("IDAT", noise(64, 7)) + pngEnd,
         "PNG read error in a.png: image data too short for its size"},
        {"PNG chunk length out of range", "a.png", pngHeader + be32(0xFFFFFFFF) + QByteArray("IDAT") + noise(64, 2),
         "PNG read error in a.png: "},
        {"PNG cut in its image data", "a.png", validPng.left(validPng.size() / 2), "PNG read error in a.png: "},

        // Each refusal ends with why.
        {"strip shorter than its rows", "a.tif", tiffBytes(with(grayTags(64, 64), {{279, 4, 1, 4096}}), pixels),
         "TIFF read error at line 0 (strip 0 lies outside the file or holds too few bytes for its 64 rows)"},
        {"24-bit samples", "a.tif", tiffBytes(with(grayTags(4, 4), {{258, 3, 1, 24}, {279, 4, 1, 48}}),
                                              QByteArray(48, '\x20')),
         "(TIFF with 24-bit samples is not a grayscale image of 8 or 16 bits: Sorry, can not handle images with "
         "24-bit samples)"},
        {"12-bit samples", "a.tif", tiffBytes(with(grayTags(4, 4), {{258, 3, 1, 12}, {279, 4, 1, 24}}),
                                              QByteArray(24, '\x20')),
         "(TIFF with 12-bit samples is not a grayscale image of 8 or 16 bits: Sorry, can not handle images with "
         "12-bit samples)"},
        {"BMP 16-bit rows cut short", "a.bmp", bmpHeader(10, 10, 16, 54) + QByteArray(64, '\x11'),
         "BMP file is truncated"},
        {"BMP bitfields rows cut short", "a.bmp", bitfieldsBmp(10, 10).left(54 + 12 + 64), "BMP file is truncated"},
        {"BMP run-length codes cut short", "a.bmp", rle8Bmp(false), "BMP file is truncated"},
        {"BMP shorter than its file header", "a.bmp", QByteArray("BM\0\0\0\0", 6), "BMP too small (file header)"},
        {"BMP shorter than its info header", "a.bmp", bmpHeader(4, 4, 24, 54).left(30), "BMP too small (info header)"},
        {"BMP zero width", "a.bmp", bmpHeader(0, 4, 24, 54) + QByteArray(48, '\0'), "Invalid BMP dimensions"},
        {"BMP height of INT_MIN", "a.bmp", bmpHeader(4, INT_MIN, 24, 54) + QByteArray(48, '\0'),
         "BMP height too large"},
        {"BMP huge dimensions", "a.bmp", bmpHeader(INT_MAX, INT_MAX, 32, 54) + QByteArray(48, '\0'),
         "BMP pixel data truncated at row 0/2147483647"},
        {"BMP huge top-down image", "a.bmp", bmpHeader(100000, -100000, 24, 54) + QByteArray(48, '\0'),
         "BMP pixel data truncated at row 0/100000"},
        {"BMP data offset inside the headers", "a.bmp", bmpHeader(4, 4, 24, 20) + QByteArray(48, '\0'),
         "Invalid BMP data offset"},
        {"BMP data offset past the end", "a.bmp", bmpHeader(4, 4, 24, 0xFFFFFFFF) + QByteArray(48, '\0'),
         "BMP pixel data truncated at row 0/4"},
        {"BMP header size past the end", "a.bmp", bmpHeader(4, 4, 24, 0xFFFFFFFF, 0, 0xFFFFFFFF) + QByteArray(48, '\0'),
         "Invalid BMP data offset"},
        {"BMP palette of 1000 colours", "a.bmp", bmpHeader(4, 4, 8, 54 + 4000, 1000) + QByteArray(4016, '\0'),
         "Invalid BMP palette size"},
        {"BMP palette overlapping the pixels", "a.bmp", bmpHeader(4, 4, 8, 54 + 16, 0) + QByteArray(1040, '\0'),
         "Invalid BMP data offset (overlaps palette)"},
        {"BMP palette cut short", "a.bmp", bmpHeader(4, 4, 8, 54 + 1024, 256) + QByteArray(100, '\0'),
         "BMP palette truncated"},
        {"BMP rows cut short", "a.bmp", bmpHeader(4, 10, 24, 54) + QByteArray(30, '\0'),
         "BMP pixel data truncated at row 2/10"},
        {"BMP bad magic", "a.bmp", QByteArray("XM") + bmpHeader(4, 4, 24, 54).mid(2) + QByteArray(48, '\0'),
         "Unable to load"},
    };
}

TEST(MalformedFiles, EveryCodecBoundsWhatAStoredByteMayClaim)
{
    QTemporaryDir dir;
    // 400 stored bytes: a claim of 8.6 GB is beyond any codec, 400 kB is not.
    for (const std::uint32_t codec : {34925u, 34887u, 8u, 50000u}) {
        SCOPED_TRACE(codec);
        const QString path = dir.filePath(QStringLiteral("claim.tif"));
        ASSERT_TRUE(writeBytes(path, tiffBytes(with(grayTags(65535, 65535), {{258, 3, 1, 16}, {259, 3, 1, codec},
                                                                              {279, 4, 1, 400}}),
                                               noise(400, 3))));
        const detail::TiffFile tif(path, "rm");
        ASSERT_TRUE(tif);
        EXPECT_FALSE(tif.holdsStrile(0, std::uint64_t(65535) * 65535 * 2));
        EXPECT_TRUE(tif.holdsStrile(0, 400u * 1000u));
    }
}

TEST(MalformedFiles, CompleteBmpsOfTheFallbackReaderStillLoad)
{
    QTemporaryDir dir;
    const QString rle = dir.filePath(QStringLiteral("rle.bmp"));
    const QString bitfields = dir.filePath(QStringLiteral("bitfields.bmp"));
    ASSERT_TRUE(writeBytes(rle, rle8Bmp(true)));
    ASSERT_TRUE(writeBytes(bitfields, bitfieldsBmp(10, 10)));
    for (const QString& path : {rle, bitfields}) {
        QImage image;
        QString error;
        EXPECT_TRUE(readGrayImage(path, image, error)) << error.toStdString();
    }
    QImage image;
    QString error;
    ASSERT_TRUE(readGrayImage(rle, image, error));
    EXPECT_EQ(image.size(), QSize(4, 4));
    EXPECT_EQ(image.pixelColor(3, 3).red(), 0x40);
}

TEST(MalformedFiles, GrayReadersRefuseEachWithAClearMessage)
{
    QTemporaryDir dir;
    for (const MalformedCase& c : grayCases()) {
        SCOPED_TRACE(c.name);
        const QString path = dir.filePath(QString::fromLatin1(c.fileName));
        ASSERT_TRUE(writeBytes(path, c.bytes));

        QImage image;
        QString error;
        EXPECT_FALSE(readGrayImage(path, image, error));
        EXPECT_TRUE(error.startsWith(QStringLiteral("Unable to load %1: ").arg(path))) << error.toStdString();
        EXPECT_TRUE(error.contains(QString::fromLatin1(c.expected))) << error.toStdString();
        EXPECT_TRUE(image.isNull());

        LoadedImage loaded;
        EXPECT_FALSE(loadImage(path, loaded, error));
        EXPECT_FALSE(readDecimatedImage(path, image, error));
        QSize size;
        probeImageSize(path, size);
        // A region that misses the damage may be read; the whole image never is.
        const QString suffix = QFileInfo(path).suffix();
        for (const QRect& region : {QRect(), QRect(1, 1, 2, 2), QRect(100000, 5, 7, 7)}) {
            for (int step : {1, 3, INT_MAX}) {
                QImage part;
                bool read = false;
                if (suffix == QLatin1String("tif"))
                    read = readTiffGray(path, region, step, part, error);
                else if (suffix == QLatin1String("bmp"))
                    read = readBmpGray(path, region, step, part, error);
                else
                    read = readPng(path, part, error);
                EXPECT_TRUE(!read || !region.isNull());
            }
        }
    }
}

std::vector<TiffTag> floatTags(std::uint32_t width, std::uint32_t height, std::uint32_t bytes)
{
    return {{256, 4, 1, width},           {257, 4, 1, height}, {258, 3, 1, 32},   {262, 3, 1, 1},
            {273, 4, 1, kTiffDataOffset}, {278, 4, 1, height}, {279, 4, 1, bytes}, {339, 3, 1, 3}};
}

TEST(MalformedFiles, FloatReaderRefusesEachWithAClearMessage)
{
    const QByteArray values(64, '\0');
    const std::vector<MalformedCase> cases = {
        {"not a TIFF", "f.tif", QByteArray("P5 4 4 255\n"), "Unable to open TIFF file."},
        {"no image length", "f.tif",
         tiffBytes({{256, 4, 1, 4}, {258, 3, 1, 32}, {273, 4, 1, 8}, {279, 4, 1, 64}, {339, 3, 1, 3}}, values),
         "Unable to"},
        {"integer samples", "f.tif", tiffBytes(with(floatTags(4, 4, 64), {{339, 3, 1, 1}}), values),
         "TIFF file is not in expected 32-bit float format. (1 sample(s) of 32 bits, sample format 1)"},
        {"two samples per pixel", "f.tif", tiffBytes(with(floatTags(4, 4, 64), {{277, 3, 1, 2}}), values),
         "TIFF file is not in expected 32-bit float format."},
        {"dimensions past the size limit", "f.tif", tiffBytes(floatTags(100000, 100000, 64), values),
         "TIFF image too large (100000x100000)."},
        {"dimensions past the int range", "f.tif", tiffBytes(floatTags(0x80000000u, 1, 64), values),
         "TIFF image too large"},
        {"gigabytes claimed by a few deflate bytes", "f.tif",
         tiffBytes(with(floatTags(8000, 8000, 64), {{259, 3, 1, 8}}), values), "Failed to read strip 0 from TIFF."},
        {"strip past the end", "f.tif", tiffBytes(floatTags(64, 64, 16384), values),
         "Failed to read strip 0 from TIFF. (it lies outside the file or holds too few bytes for its "},
        {"strip offset past the end", "f.tif", tiffBytes(with(floatTags(4, 4, 64), {{273, 4, 1, 0x7FFFFFF0}}), values),
         "Failed to read strip 0 from TIFF."},
        {"strip at offset 0", "f.tif", stripTable(floatTags(4, 4, 32), 2, 32, {kTiffDataOffset, 0}),
         "Failed to read strip 1 from TIFF."},
        {"tiles missing from the offset table", "f.tif",
         tileTable({{256, 4, 1, 32}, {257, 4, 1, 32}, {258, 3, 1, 32}, {262, 3, 1, 1}, {339, 3, 1, 3}}, 1024, 4, 2),
         "Failed to read tile (0,16) from TIFF."},
        // Codecs without an expansion bound are refused before the claimed
        // 23170 x 23170 floats (2 GB) are allocated.
        {"unknown codec", "f.tif", tiffBytes(with(floatTags(23170, 23170, 64), {{259, 3, 1, 40000}}), values),
         "TIFF compression 40000 is not supported for float images."},
        {"LZMA", "f.tif", tiffBytes(with(floatTags(23170, 23170, 64), {{259, 3, 1, 34925}}), values),
         "TIFF compression 34925 is not supported for float images."},
        {"gigabytes claimed by a few zstd bytes", "f.tif",
         tiffBytes(with(floatTags(23170, 23170, 64), {{259, 3, 1, 50000}}), values),
         "Failed to read strip 0 from TIFF."},
        {"deflate strip of noise", "f.tif",
         tiffBytes(with(floatTags(16, 16, 200), {{259, 3, 1, 8}}), noise(200, 5)), "Failed to read strip 0 from TIFF."},
        {"huge tiles", "f.tif",
         tiffBytes({{256, 4, 1, 4}, {257, 4, 1, 4}, {258, 3, 1, 32}, {262, 3, 1, 1}, {322, 4, 1, 0x10000},
                    {323, 4, 1, 0x10000}, {324, 4, 1, 8}, {325, 4, 1, 64}, {339, 3, 1, 3}},
                   values),
         "Failed to read tile (0,0) from TIFF."},
        {"uncompressed strip shorter than its rows", "f.tif", tiffBytes(floatTags(4, 4, 8), values),
         "Failed to read strip 0 from TIFF. (it lies outside the file or holds too few bytes for its 4 rows)"},
        {"uncompressed tiles shorter than their rows", "f.tif",
         tileTable({{256, 4, 1, 32}, {257, 4, 1, 32}, {258, 3, 1, 32}, {262, 3, 1, 1}, {339, 3, 1, 3}}, 1024, 4, 4, 16),
         "Failed to read tile (0,0) from TIFF."},
        {"tile past the end", "f.tif",
         tiffBytes({{256, 4, 1, 32}, {257, 4, 1, 32}, {258, 3, 1, 32}, {262, 3, 1, 1}, {322, 4, 1, 16},
                    {323, 4, 1, 16}, {324, 4, 4, 8}, {325, 4, 4, 8}, {339, 3, 1, 3}},
                   values),
         "Failed to read tile (0,0) from TIFF."},
    };
    QTemporaryDir dir;
    for (const MalformedCase& c : cases) {
        SCOPED_TRACE(c.name);
        const QString path = dir.filePath(QString::fromLatin1(c.fileName));
        ASSERT_TRUE(writeBytes(path, c.bytes));
        std::uint32_t width = 5, height = 6;
        std::vector<float> values = {7.0f};
        QString error;
        EXPECT_FALSE(readFloatTiff(path, width, height, values, error));
        EXPECT_FALSE(error.isEmpty());
        EXPECT_TRUE(error.contains(QString::fromLatin1(c.expected))) << error.toStdString();
        EXPECT_EQ(width, 5u);
        EXPECT_EQ(height, 6u);
        EXPECT_EQ(values, std::vector<float>{7.0f});
        const LoadedTiffResult loaded = loadFloatTiff(path);
        EXPECT_FALSE(loaded.success);
        EXPECT_FALSE(loaded.error.isEmpty());
    }
}

}  // namespace
}  // namespace tavro::gui
