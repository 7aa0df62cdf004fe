#include "gui/mainwindow/height_maps.h"

#include "gui/mainwindow/main_widget.h"
#include "heights/height_blend.h"

#include <QImageReader>

#include <algorithm>
#include <cmath>
#include <utility>

namespace tavro::gui {

namespace {

struct LoadedTiles {
    std::vector<std::vector<float>> values;
    int width = 0;
    int height = 0;
};

bool loadTiles(const std::vector<QString>& paths, LoadedTiles& tiles, QString& error) {
    for (size_t i = 0; i < paths.size(); ++i) {
        std::vector<float> values;
        int w = 0, h = 0;
        QString message;
        if (!MainWidget::loadHeightImage(paths[i], values, w, h, message)) {
            error = QStringLiteral("Tuile %1: %2").arg(i).arg(message);
            return false;
        }
        if (i == 0) {
            tiles.width = w;
            tiles.height = h;
        } else if (w != tiles.width || h != tiles.height) {
            error = QStringLiteral("Inconsistent dimensions: tile %1 (%2x%3) vs first (%4x%5)")
                        .arg(i)
                        .arg(w)
                        .arg(h)
                        .arg(tiles.width)
                        .arg(tiles.height);
            return false;
        }
        tiles.values.push_back(std::move(values));
    }
    return true;
}

double scaleFactor(int heightSize, int intensitySize) {
    return intensitySize > 0 ? double(heightSize) / double(intensitySize) : 1.0;
}

// The crop rectangle in height pixels, or a null rect when the tiles stay whole.
QRect heightCrop(const QRect& crop, double sx, double sy, int tileWidth, int tileHeight) {
    if (!crop.isValid() || crop.isEmpty())
        return {};
    const int cx = std::clamp(int(std::lround(crop.x() * sx)), 0, tileWidth - 1);
    const int cy = std::clamp(int(std::lround(crop.y() * sy)), 0, tileHeight - 1);
    const int cw = std::min(tileWidth - cx, int(std::lround(crop.width() * sx)));
    const int ch = std::min(tileHeight - cy, int(std::lround(crop.height() * sy)));
    if (cw < 1 || ch < 1)
        return {};
    if (cx < 1 && cy < 1 && cw >= tileWidth && ch >= tileHeight)
        return {};
    return QRect(cx, cy, cw, ch);
}

std::vector<float> cutTile(const std::vector<float>& tile, int tileWidth, const QRect& keep) {
    std::vector<float> cut;
    cut.reserve(size_t(keep.width()) * size_t(keep.height()));
    for (int y = keep.top(); y <= keep.bottom(); ++y) {
        const float* row = tile.data() + size_t(y) * size_t(tileWidth) + size_t(keep.x());
        cut.insert(cut.end(), row, row + keep.width());
    }
    return cut;
}

}  // namespace

bool assembleHeightTiles(const HeightMosaicFrame& frame, const std::vector<QString>& tilePaths,
                         const std::vector<stitching::TilePosition>& positions, std::vector<float>& outHeight,
                         int& outWidth, int& outHeightSize, QString& error, HeightMosaicCanvas* canvas) {
    if (tilePaths.empty() || positions.empty()) {
        error = QStringLiteral("No tiles or position");
        return false;
    }
    LoadedTiles tiles;
    if (!loadTiles(tilePaths, tiles, error))
        return false;
    const int loadedWidth = tiles.width;
    const int loadedHeight = tiles.height;
    if (canvas && canvas->tileWidth > 0 && (loadedWidth != canvas->tileWidth || loadedHeight != canvas->tileHeight)) {
        error = QStringLiteral("Height tile resolution differs from the reference set: %1x%2 here vs %3x%4 for "
                               "h\u2080.\nReference and deformed height maps must be acquired at the same resolution.")
                    .arg(loadedWidth)
                    .arg(loadedHeight)
                    .arg(canvas->tileWidth)
                    .arg(canvas->tileHeight);
        return false;
    }
    QSize intensityTile = frame.intensityTile;
    if (frame.crop.isValid() && !frame.crop.isEmpty() && !frame.firstReferenceTile.isEmpty()) {
        const QSize header = QImageReader(frame.firstReferenceTile).size();
        if (header.isValid())
            intensityTile = header;
    }
    const double sx = scaleFactor(loadedWidth, intensityTile.width());
    const double sy = scaleFactor(loadedHeight, intensityTile.height());
    int tileWidth = loadedWidth;
    int tileHeight = loadedHeight;
    if (const QRect keep = heightCrop(frame.crop, sx, sy, loadedWidth, loadedHeight); !keep.isNull()) {
        for (std::vector<float>& tile : tiles.values)
            tile = cutTile(tile, loadedWidth, keep);
        tileWidth = keep.width();
        tileHeight = keep.height();
    }
    std::vector<std::vector<float>> placed;
    std::vector<std::pair<double, double>> points;
    double right = 0.0, bottom = 0.0;
    for (const stitching::TilePosition& position : positions) {
        if (position.tileIndex < 0 || position.tileIndex >= int(tiles.values.size()))
            continue;
        const double x = position.tx * sx;
        const double y = position.ty * sy;
        placed.push_back(tiles.values[size_t(position.tileIndex)]);
        points.emplace_back(x, y);
        right = std::max(right, x + tileWidth);
        bottom = std::max(bottom, y + tileHeight);
    }
    if (placed.empty()) {
        error = QStringLiteral("No height tile matches the stitching positions");
        return false;
    }
    int W = 0, H = 0;
    if (canvas && canvas->mosaicWidth > 0 && canvas->mosaicHeight > 0) {
        W = canvas->mosaicWidth;
        H = canvas->mosaicHeight;
    } else if (frame.intensityMosaic.width() > 0 && frame.intensityMosaic.height() > 0) {
        W = int(std::lround(frame.intensityMosaic.width() * sx));
        H = int(std::lround(frame.intensityMosaic.height() * sy));
    } else {
        W = int(std::ceil(right));
        H = int(std::ceil(bottom));
    }
    if (W < 1 || H < 1) {
        error = QStringLiteral("Invalid mosaic dimensions (%1x%2). mosaicWidth_=%3, mosaicHeight_=%4, "
                               "mosaicTileWidth_=%5, mosaicTileHeight_=%6, tileW=%7, tileH=%8, positions=%9")
                    .arg(W)
                    .arg(H)
                    .arg(frame.intensityMosaic.width())
                    .arg(frame.intensityMosaic.height())
                    .arg(frame.intensityTile.width())
                    .arg(frame.intensityTile.height())
                    .arg(tileWidth)
                    .arg(tileHeight)
                    .arg(positions.size());
        return false;
    }
    const int blendWidth = std::max(tileWidth / 10, 10);
    HeightBlendResult blended;
    if (!blendHeightTiles(placed, tileWidth, tileHeight, points, W, H, blendWidth, blended)) {
        error = QString::fromStdString(blended.error);
        return false;
    }
    outHeight = std::move(blended.heights);
    outWidth = blended.width;
    outHeightSize = blended.height;
    if (canvas)
        *canvas = HeightMosaicCanvas{blended.width, blended.height, loadedWidth, loadedHeight};
    return true;
}

}  // namespace tavro::gui
