#pragma once

#include <QByteArray>
#include <QImage>
#include <QString>

#include <cstdint>
#include <functional>
#include <vector>

namespace tavro::gui {

// Called with the 0-based index of the row just written and the image height;
// returning false cancels the write. An empty function disables both.
using WriteProgress = std::function<bool(int done, int total)>;

// Pixel data above this many bytes is written as BigTIFF.
inline constexpr std::uint64_t kBigTiffThresholdBytes = 3'932'160'000ull;

constexpr bool needsBigTiff(std::uint64_t pixelDataBytes)
{
    return pixelDataBytes > kBigTiffThresholdBytes;
}

// Both writers write to a temporary file beside `path` and rename it over
// `path` only once the file is complete and on disk: on failure or
// cancellation the temporary file is removed and an existing file at `path`
// is left as it was. A file of a project is written only where its real
// location lies inside `projectFolder`'s, whatever links lead there; a file
// its owner made read-only is never replaced. A float file's `description`,
// when given, goes into its ImageDescription tag.
bool writeFloatTiff(const QString& path, int width, int height, const std::vector<float>& values,
                    QString& error, WriteProgress progress, const QString& projectFolder = {},
                    const QByteArray& description = {});
bool writeGrayTiff(const QString& path, const QImage& image, QString& error, WriteProgress progress,
                   const QString& projectFolder = {});

bool verifyWrittenTiff(const QString& path, const QImage& image);

// Keeps the window responsive during a write on the GUI thread; never cancels.
// Use it on the GUI thread only.
WriteProgress guiWriteProgress();

bool ensureFolder(const QString& base, const QString& sub, QString& error);
QString firstExistingFolder(const std::vector<QString>& paths);

}  // namespace tavro::gui
