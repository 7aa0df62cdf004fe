#include "stitching/simple_stitcher.h"

#include <algorithm>
#include <cstdint>

#include "images/loaded_image.h"
#include "stitching/pair_registration.h"

namespace tavro::stitching {
namespace {

int listIndex(int scanOrder, int rows, int cols, int r, int c) {
    if (scanOrder == 0) return r % 2 == 0 ? r * cols + c : (r + 1) * cols - c - 1;
    if (scanOrder == 1) return r * cols + c;
    return c * rows + r;
}

bool loadGrey(const QString& path, QImage& image, QString& error) {
    gui::LoadedImage loaded;
    if (!gui::loadImage(path, loaded, error)) return false;
    image = loaded.full;
    if (image.format() != QImage::Format_Grayscale8 && image.format() != QImage::Format_Grayscale16)
        image = image.convertToFormat(QImage::Format_Grayscale8);
    return true;
}

// Linear ramp across an overlap of `overlap` pixels, counted from 1 so that the
// outermost pixel of a tile keeps a share: with a one-pixel overlap both tiles
// weigh the same instead of one of them dropping to 0.
float featherWeight(int distance, int overlap) { return float(distance + 1) / float(overlap + 1); }

}  // namespace

bool stitchMosaicSimple(const std::vector<QString>& tilePaths, int gridRows, int gridCols, int overlapX,
                        int overlapY, int scanOrder, QImage& outMosaic, QString& error) {
    if (tilePaths.empty()) {
        error = QStringLiteral("No tiles to assemble");
        return false;
    }
    if (gridRows < 1 || gridCols < 1) {
        error = QStringLiteral("Invalid grid %1 x %2").arg(gridRows).arg(gridCols);
        return false;
    }
    const int64_t expected = int64_t(gridRows) * gridCols;
    if (int64_t(tilePaths.size()) != expected) {
        error =
            QStringLiteral("Incorrect number of tiles: expected %1, received %2").arg(expected).arg(tilePaths.size());
        return false;
    }
    if (overlapX < 0 || overlapX > 99 || overlapY < 0 || overlapY > 99) {
        error = QStringLiteral("Invalid overlaps %1 % and %2 %: each must be between 0 and 99 %")
                    .arg(overlapX)
                    .arg(overlapY);
        return false;
    }
    QImage first;
    if (!loadGrey(tilePaths.front(), first, error)) return false;
    const int W = first.width(), H = first.height();
    const int Ox = int((int64_t(W) * overlapX) / 100), Oy = int((int64_t(H) * overlapY) / 100);
    const int Sx = W - Ox, Sy = H - Oy;
    const int64_t mosaicW = int64_t(gridCols - 1) * Sx + W, mosaicH = int64_t(gridRows - 1) * Sy + H;
    const QImage::Format format = first.format();
    outMosaic = mosaicW * mosaicH <= (int64_t(1) << 32) ? QImage(int(mosaicW), int(mosaicH), format) : QImage();
    if (outMosaic.isNull()) {
        error = QStringLiteral("Not enough memory for a mosaic of %1 x %2 pixels").arg(mosaicW).arg(mosaicH);
        return false;
    }
    first = QImage();
    std::vector<float> sum(size_t(mosaicW) * size_t(mosaicH), 0.0f), weight(sum.size(), 0.0f);
    std::vector<float> row(static_cast<size_t>(W));
    for (int r = 0; r < gridRows; ++r) {
        for (int c = 0; c < gridCols; ++c) {
            QImage tile;
            QString tileError;
            if (!loadGrey(tilePaths[size_t(listIndex(scanOrder, gridRows, gridCols, r, c))], tile, tileError)) {
                error = QStringLiteral("Tile error [%1,%2]: %3").arg(r).arg(c).arg(tileError);
                outMosaic = QImage();
                return false;
            }
            if (tile.width() != W || tile.height() != H) {
                error = QStringLiteral("Tile [%1,%2] has a different size").arg(r).arg(c);
                outMosaic = QImage();
                return false;
            }
            const GreyView view = GreyView::of(tile);
            for (int y = 0; y < H; ++y) {
                view.readRow(y, 0, W, row.data());
                float wy = 1.0f;
                if (Oy > 0 && ((r > 0 && y < Oy) || (r < gridRows - 1 && y >= Sy)))
                    wy = featherWeight(r > 0 && y < Oy ? y : H - 1 - y, Oy);
                const size_t base = size_t(int64_t(r) * Sy + y) * size_t(mosaicW) + size_t(int64_t(c) * Sx);
                for (int x = 0; x < W; ++x) {
                    float w = 1.0f;
                    if (Ox > 0 && ((c > 0 && x < Ox) || (c < gridCols - 1 && x >= Sx)))
                        w = featherWeight(c > 0 && x < Ox ? x : W - 1 - x, Ox);
                    w *= wy;
                    sum[base + size_t(x)] += row[size_t(x)] * w;
                    weight[base + size_t(x)] += w;
                }
            }
        }
    }
    const bool sixteen = format == QImage::Format_Grayscale16;
    const float maxValue = sixteen ? 65535.0f : 255.0f;
    for (int64_t y = 0; y < mosaicH; ++y) {
        uchar* line = outMosaic.scanLine(int(y));
        for (int64_t x = 0; x < mosaicW; ++x) {
            const size_t i = size_t(y) * size_t(mosaicW) + size_t(x);
            const float v = weight[i] > 0.0f ? std::clamp(sum[i] / weight[i], 0.0f, maxValue) : 0.0f;
            if (sixteen)
                reinterpret_cast<quint16*>(line)[x] = quint16(v);
            else
                line[x] = uchar(v);
        }
    }
    return true;
}

}  // namespace tavro::stitching
