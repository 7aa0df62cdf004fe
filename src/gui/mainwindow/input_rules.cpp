#include "gui/mainwindow/input_rules.h"

#include <QFileInfo>
#include <QSet>
#include <QUrlQuery>

#include <algorithm>
#include <cmath>

namespace tavro::gui {

namespace {

QString rejectedNamesText(const QStringList& rejectedNames) {
    return rejectedNames.size() == 1 ? rejectedNames.front()
                                     : QStringLiteral("%1 and %2 other file(s)")
                                           .arg(rejectedNames.front())
                                           .arg(rejectedNames.size() - 1);
}

}  // namespace

bool isLossyImagePath(const QString& path) {
    static const QStringList lossy{QStringLiteral("jpg"), QStringLiteral("jpeg"), QStringLiteral("jpe"),
                                   QStringLiteral("jfif")};
    return lossy.contains(QFileInfo(path).suffix().toLower());
}

LossySplit splitLossyImages(const QStringList& paths) {
    LossySplit split;
    for (const QString& path : paths) {
        if (isLossyImagePath(path))
            split.rejectedNames << QFileInfo(path).fileName();
        else
            split.kept << path;
    }
    return split;
}

QString lossyRejectionText(const QStringList& rejectedNames) {
    if (rejectedNames.isEmpty())
        return QString();
    const QString named = rejectedNamesText(rejectedNames);
    return QStringLiteral(
               "%1 uses JPEG compression and was not loaded.\n\nJPEG discards high-frequency detail \u2014 the "
               "speckle pattern that correlation relies on \u2014 so displacement fields computed from it would be "
               "silently degraded.\n\nUse TIFF, PNG or BMP.")
        .arg(named);
}

QString lossyHeightRejectionText(const QStringList& rejectedNames) {
    if (rejectedNames.isEmpty())
        return QString();
    const QString named = rejectedNamesText(rejectedNames);
    return QStringLiteral("%1 uses JPEG compression and was not loaded.\n\nJPEG alters the values it stores \u2014 "
                          "the heights read from it are not those that were measured \u2014 so out-of-plane "
                          "displacements computed from it would be silently wrong.\n\nUse TIFF, PNG or BMP.")
        .arg(named);
}

std::optional<QString> resultNameClash(const QString& path, const QStringList& existing) {
    const QString name = QFileInfo(path).completeBaseName();
    for (const QString& other : existing)
        if (QFileInfo(other).completeBaseName().compare(name, Qt::CaseInsensitive) == 0)
            return other;
    return std::nullopt;
}

QRect roiFromBoxes(int x, int y, int width, int height, const QSize& imageSize) {
    const int imageWidth = imageSize.width();
    const int imageHeight = imageSize.height();
    if (width < 1 || height < 1 || imageWidth < 1 || imageHeight < 1)
        return QRect();
    const int w = std::min(imageWidth, width);
    const int h = std::min(imageHeight, height);
    return QRect(std::clamp(x, 0, imageWidth - w), std::clamp(y, 0, imageHeight - h), w, h);
}

QRect roiForBoxes(const QRect& roi, const QSize& imageSize) {
    const QRect whole(QPoint(0, 0), imageSize);
    if (roi.isNull())
        return whole;
    const QRect inside = roi.intersected(whole);
    return inside.isEmpty() ? whole : inside;
}

QString roiLabelText(const QRect& roi, const QSize& imageSize) {
    if (imageSize.isEmpty())
        return QStringLiteral("ROI : aucune image");
    const QRect inside = roi.isNull() ? QRect() : roi.intersected(QRect(QPoint(0, 0), imageSize));
    if (inside.isEmpty())
        return QStringLiteral("ROI : pleine image (%1, %2) %3 x %4")
            .arg(0)
            .arg(0)
            .arg(imageSize.width())
            .arg(imageSize.height());
    return QStringLiteral("ROI : (%1, %2) %3 x %4")
        .arg(inside.x())
        .arg(inside.y())
        .arg(inside.width())
        .arg(inside.height());
}

QString stateStepText(const QString& label, int index, int count, const QString& name) {
    if (count <= 0)
        return QStringLiteral("%1 \u2014 / \u2014").arg(label);
    const QString step = QStringLiteral("%1 %2 / %3").arg(label).arg(index + 1).arg(count);
    return name.isEmpty() ? step : QStringLiteral("%1  \u2014  %2").arg(step, name);
}

QString minMaxText(bool valid, float minValue, float maxValue) {
    if (!valid)
        return QStringLiteral("Min : \u2014    Max : \u2014");
    return QStringLiteral("Min : %1    Max : %2").arg(minValue, 0, 'g', 5).arg(maxValue, 0, 'g', 5);
}

int sampleStepForCount(int width, int height) {
    const qint64 pixelCount = static_cast<qint64>(width) * height;
    if (pixelCount <= 1000)
        return 1;
    return std::max(1, static_cast<int>(std::floor(std::sqrt(static_cast<double>(pixelCount) / 1000.0))));
}

std::vector<float> histogramSamples(const QImage& image) {
    std::vector<float> samples;
    if (image.isNull())
        return samples;
    const bool wide = image.format() == QImage::Format_Grayscale16;
    const QImage grey = wide || image.format() == QImage::Format_Grayscale8
                            ? image
                            : image.convertToFormat(QImage::Format_Grayscale8);
    const int step = sampleStepForCount(grey.width(), grey.height());
    samples.reserve(static_cast<std::size_t>((grey.width() / step + 1) * (grey.height() / step + 1)));
    for (int y = 0; y < grey.height(); y += step) {
        const uchar* line = grey.constScanLine(y);
        const auto* wideLine = reinterpret_cast<const quint16*>(line);
        for (int x = 0; x < grey.width(); x += step)
            samples.push_back(wide ? static_cast<float>(wideLine[x] >> 8) : static_cast<float>(line[x]));
    }
    return samples;
}

bool isDroppableImageName(const QString& path) {
    const QString suffix = QFileInfo(path).suffix().toLower();
    return suffix == QLatin1String("png") || suffix == QLatin1String("tif") || suffix == QLatin1String("tiff") ||
           suffix == QLatin1String("bmp");
}

void sortByFileName(QStringList& paths) {
    std::stable_sort(paths.begin(), paths.end(), [](const QString& a, const QString& b) {
        return QFileInfo(a).fileName() < QFileInfo(b).fileName();
    });
}

QStringList mergeTiles(QStringList& tiles, const QStringList& files, int& accepted) {
    QSet<QString> names;
    for (const QString& tile : tiles)
        names.insert(QFileInfo(tile).fileName());
    QStringList ignored;
    accepted = 0;
    for (const QString& file : files) {
        const QString name = QFileInfo(file).fileName();
        if (names.contains(name)) {
            ignored << name;
            continue;
        }
        names.insert(name);
        tiles << file;
        ++accepted;
    }
    sortByFileName(tiles);
    return ignored;
}

QString suffixedExportPath(const QString& path, const QString& suffix) {
    const QFileInfo info(path);
    QString name = info.completeBaseName() + suffix;
    if (!info.suffix().isEmpty())
        name += QLatin1Char('.') + info.suffix();
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    return slash >= 0 ? path.left(slash) + QLatin1Char('/') + name : name;
}

QUrl contactMailUrl(const QString& address, const QString& version) {
    QUrl url(QStringLiteral("mailto:") + address);
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("subject"), QStringLiteral("Contact - Tavro2D %1").arg(version));
    url.setQuery(query);
    return url;
}

}  // namespace tavro::gui
