#include "stitching/mosaic_composition.h"

#include <algorithm>
#include <cstdint>

#include "stitching/pair_registration.h"

namespace tavro::stitching {
namespace {

constexpr int kBandRows = 64;

// Distance to the nearest edge, counted from 1 so that a tile's outermost
// pixels still weigh: a one-pixel overlap gets the mean of both tiles, not a
// seam taken from one of them.
inline float ramp(int i, int n) { return float(std::min(i + 1, n - i)); }

}  // namespace

bool composeMosaic(const std::vector<PlacedTile>& tiles, bool feather, QImage& mosaic, QString& error,
                   const std::function<bool()>& cancel) {
    if (tiles.empty()) {
        error = QStringLiteral("No tiles to assemble");
        return false;
    }
    const QImage::Format format = tiles.front().image->format();
    int64_t width = 0, height = 0;
    for (const PlacedTile& t : tiles) {
        if (t.image->format() != format ||
            (format != QImage::Format_Grayscale8 && format != QImage::Format_Grayscale16)) {
            error = QStringLiteral("Tiles must all be 8-bit or all 16-bit grey images");
            return false;
        }
        if (t.x < 0 || t.y < 0) {
            error = QStringLiteral("Tile placed outside the mosaic at (%1, %2)").arg(t.x).arg(t.y);
            return false;
        }
        width = std::max<int64_t>(width, int64_t(t.x) + t.image->width());
        height = std::max<int64_t>(height, int64_t(t.y) + t.image->height());
    }
    if (width > 1'000'000 || height > 1'000'000 || width * height > (int64_t(1) << 34)) {
        error = QStringLiteral("The mosaic would measure %1 x %2 pixels, more than can be held").arg(width).arg(height);
        return false;
    }
    mosaic = QImage(int(width), int(height), format);
    if (mosaic.isNull()) {
        error = QStringLiteral("Not enough memory for a mosaic of %1 x %2 pixels").arg(width).arg(height);
        return false;
    }
    const bool sixteen = format == QImage::Format_Grayscale16;
    const float maxValue = sixteen ? 65535.0f : 255.0f;
    std::vector<float> sum, weight, row;
    for (int y0 = 0; y0 < height; y0 += kBandRows) {
        if (cancel && cancel()) return false;
        const int y1 = std::min<int>(int(height), y0 + kBandRows);
        sum.assign(size_t(width) * size_t(y1 - y0), 0.0f);
        weight.assign(sum.size(), 0.0f);
        for (const PlacedTile& t : tiles) {
            const int th = t.image->height(), tw = t.image->width();
            const int from = std::max(y0, t.y), to = std::min(y1, t.y + th);
            if (from >= to) continue;
            const GreyView view = GreyView::of(*t.image);
            row.resize(static_cast<size_t>(tw));
            for (int y = from; y < to; ++y) {
                const int ty = y - t.y;
                view.readRow(ty, 0, tw, row.data());
                const float wy = feather ? ramp(ty, th) : 1.0f;
                float* s = sum.data() + size_t(y - y0) * size_t(width) + size_t(t.x);
                float* w = weight.data() + size_t(y - y0) * size_t(width) + size_t(t.x);
                for (int x = 0; x < tw; ++x) {
                    const float wx = feather ? wy * ramp(x, tw) : 1.0f;
                    s[x] += wx * row[size_t(x)];
                    w[x] += wx;
                }
            }
        }
        for (int y = y0; y < y1; ++y) {
            const float* s = sum.data() + size_t(y - y0) * size_t(width);
            const float* w = weight.data() + size_t(y - y0) * size_t(width);
            uchar* line = mosaic.scanLine(y);
            for (int64_t x = 0; x < width; ++x) {
                // Rounded, not truncated: a blend of equal samples must give the sample back.
                const float v = w[x] > 0.0f ? std::clamp(s[x] / w[x] + 0.5f, 0.0f, maxValue) : 0.0f;
                if (sixteen)
                    reinterpret_cast<quint16*>(line)[x] = quint16(v);
                else
                    line[x] = uchar(v);
            }
        }
    }
    return true;
}

QSize croppedTileSize(const QSize& fileSize, const QRect& crop) {
    if (!crop.isValid() || crop.isEmpty()) return fileSize;
    const QRect kept = crop.intersected(QRect(QPoint(0, 0), fileSize));
    return kept.isEmpty() ? fileSize : kept.size();
}

void setBoundsFromTileSize(QList<TilePosition>& positions, const QSize& tileSize) {
    for (TilePosition& p : positions)
        if (p.isPresent) p.bounds = QRect(QPoint(placedCoordinate(p.tx), placedCoordinate(p.ty)), tileSize);
}

bool composeFromPositions(const std::vector<QImage>& tiles, const QList<TilePosition>& positions, QImage& mosaic,
                          QString& error) {
    std::vector<PlacedTile> placed;
    std::vector<int> used(tiles.size(), 0);
    int listed = 0;
    for (const TilePosition& p : positions) {
        if (p.tileIndex < 0) continue;
        ++listed;
        if (size_t(p.tileIndex) >= tiles.size()) {
            error = QStringLiteral("Tile position %1 refers to tile %2 of %3").arg(listed - 1).arg(p.tileIndex).arg(
                tiles.size());
            return false;
        }
        if (used[size_t(p.tileIndex)]++) {
            error = QStringLiteral("Tile %1 has two positions").arg(p.tileIndex);
            return false;
        }
        if (!p.isPresent) continue;
        if (tiles[size_t(p.tileIndex)].isNull()) {
            error = QStringLiteral("Tile %1 is empty").arg(p.tileIndex);
            return false;
        }
        placed.push_back({&tiles[size_t(p.tileIndex)], placedCoordinate(p.tx), placedCoordinate(p.ty)});
    }
    if (size_t(listed) != tiles.size()) {
        error = QStringLiteral("%1 tiles for %2 tile positions").arg(tiles.size()).arg(listed);
        return false;
    }
    int minX = 0, minY = 0;
    for (const PlacedTile& t : placed) {
        minX = std::min(minX, t.x);
        minY = std::min(minY, t.y);
    }
    for (PlacedTile& t : placed) {
        t.x -= minX;
        t.y -= minY;
    }
    return composeMosaic(placed, true, mosaic, error);
}

}  // namespace tavro::stitching
