#pragma once

#include <QByteArray>
#include <QImage>
#include <QRect>
#include <QSize>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tavro::gui {

// Result of a background float TIFF load.
struct LoadedTiffResult {
    bool success = false;
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::vector<float> values;
    QString error;
};

// Grey value of a colour pixel: the integer part of (11 R + 16 G + 5 B) / 32.
constexpr unsigned grayFromRgb(unsigned red, unsigned green, unsigned blue)
{
    return (11u * red + 16u * green + 5u * blue) >> 5;
}

// Every reader returns false with a message (where it has one) and leaves its
// outputs unchanged on failure. Images come back as Format_Grayscale8 or
// Format_Grayscale16 with 16-bit samples as stored.
//
// A null or empty region means the whole image; a step below 1 counts as 1.
// Decimated pixels are the truncated mean of step x step source blocks.

bool readGrayImage(const QString& path, QImage& image, QString& error);
// "Unable to load <path>:" over the reason, which readGrayImage's message
// gives after the same words: they are said once.
QString loadFailureText(const QString& path, const QString& error);
bool readDecimatedImage(const QString& path, QImage& image, QString& error);
bool readTiffGray(const QString& path, const QRect& region, int step, QImage& image, QString& error);
bool readBmpGray(const QString& path, const QRect& region, int step, QImage& image, QString& error);
bool readPng(const QString& path, QImage& image, QString& error);
bool probeImageSize(const QString& path, QSize& size);
bool readFloatTiff(const QString& path, std::uint32_t& width, std::uint32_t& height,
                   std::vector<float>& values, QString& error);
LoadedTiffResult loadFloatTiff(const QString& path);
// The size of a float TIFF that readFloatTiff would accept, from its header
// alone: what opening a project counts before any pixel is read.
bool probeFloatTiff(const QString& path, std::uint32_t& width, std::uint32_t& height, QString& error);
// The ImageDescription text of a float TIFF that readFloatTiff would accept;
// false without one, or with one longer than kMaxFloatTiffDescription bytes.
inline constexpr std::size_t kMaxFloatTiffDescription = 4096;
bool readFloatTiffDescription(const QString& path, QByteArray& description);

}  // namespace tavro::gui
