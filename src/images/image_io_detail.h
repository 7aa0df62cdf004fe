#pragma once

#include <QImage>
#include <QRect>
#include <QString>

#include <cstdint>

namespace tavro::gui::detail {

// Lets readGrayImage tell a layout our readers do not decode (Qt may) from a
// damaged file in a layout they do decode (Qt would hide the damage), and a
// whole, sound image in colour.
enum class ReadStatus { Ok, Unsupported, Failed, Colour };

ReadStatus readBmp(const QString& path, const QRect& region, int step, QImage& image, QString& error);
ReadStatus readPngFile(const QString& path, QImage& image, QString& error);
ReadStatus readTiff(const QString& path, const QRect& region, int step, QImage& image, QString& error);

// Region and output size of a decimated read, all in 64 bits.
struct ReadWindow {
    std::int64_t left = 0, top = 0, width = 0, height = 0;
    int step = 1;
    std::int64_t outWidth = 0, outHeight = 0;
};

// False when the region does not meet the image.
bool makeReadWindow(const QRect& region, std::int64_t imageWidth, std::int64_t imageHeight,
                    int step, ReadWindow& window);

// A null image when the size exceeds the reader limit or memory runs out.
QImage allocateGrayImage(std::int64_t width, std::int64_t height, QImage::Format format);

QString outsideRegionMessage();
QString colourImageMessage(const QString& path);
QString allocationMessage(std::int64_t width, std::int64_t height);

}  // namespace tavro::gui::detail
