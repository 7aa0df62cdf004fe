#pragma once
// Rules of the input images that need no widget: which files are refused,
// which names would collide in the result folders, how the region of interest
// boxes become a rectangle, and the texts that describe them.

#include <QImage>
#include <QRect>
#include <QSize>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <optional>
#include <vector>

namespace tavro::gui {

// JPEG throws away the fine speckle the correlation measures, so it is refused
// by suffix, before anything is decoded.
bool isLossyImagePath(const QString& path);

// Splits `paths` into the kept ones (in order) and the file names of the
// refused ones.
struct LossySplit {
    QStringList kept;
    QStringList rejectedNames;
};
LossySplit splitLossyImages(const QStringList& paths);
QString lossyRejectionText(const QStringList& rejectedNames);
// The same refusal for height files, whose values rather than a speckle JPEG alters.
QString lossyHeightRejectionText(const QStringList& rejectedNames);

// Result files are named by an image's complete base name, so two images whose
// names differ only in folder or suffix would write the same files. Compared
// without case: a project folder may live on a file system that ignores it.
std::optional<QString> resultNameClash(const QString& path, const QStringList& existing);

// The rectangle the four ROI boxes describe on a W x H image: too wide or too
// tall is cut to the image, then moved inside it. Null (the whole image) when
// a side is below 1 or the image is empty.
QRect roiFromBoxes(int x, int y, int width, int height, const QSize& imageSize);
// What the boxes show for `roi`: the whole image when it is null or outside.
QRect roiForBoxes(const QRect& roi, const QSize& imageSize);
QString roiLabelText(const QRect& roi, const QSize& imageSize);

// "Step 1 / 3  —  img_01"; "Step — / —" for an empty list.
QString stateStepText(const QString& label, int index, int count, const QString& name);
QString minMaxText(bool valid, float minValue, float maxValue);

// About a thousand pixels of a grey image, taken on a regular grid, as 8-bit
// values (the high byte of 16-bit pixels): a histogram costs the same for any
// image size.
int sampleStepForCount(int width, int height);
std::vector<float> histogramSamples(const QImage& image);

// Files a drop onto the window may bring: PNG, TIFF and BMP, whatever the
// case of the suffix. JPEG is lossy and never accepted this way.
bool isDroppableImageName(const QString& path);
// Sorted by file name, code unit by code unit (tile_10 before tile_2).
void sortByFileName(QStringList& paths);
// Appends the files whose name is new to `tiles` (an earlier file of the same
// selection counts too), keeps `tiles` sorted by name and returns the names
// left out; `accepted` counts the files appended.
QStringList mergeTiles(QStringList& tiles, const QStringList& files, int& accepted);
// "dir/a.b.tif" + "_ux" -> "dir/a.b_ux.tif": the suffix stays the last one, so
// a dotted name never gets its middle repeated.
QString suffixedExportPath(const QString& path, const QString& suffix);
// mailto: URL of the support address, subject "Contact - Tavro2D <version>".
QUrl contactMailUrl(const QString& address, const QString& version);

}  // namespace tavro::gui
