#include "stitching/tile_scan.h"

#include <algorithm>
#include <cmath>
#include <random>
#include <stdexcept>

#include "images/image_write.h"
#include "stitching/tile_grid.h"
#include "support/synthetic_images.h"

namespace tavro::testing {
namespace {

void write(const QString& path, const QImage& image) {
    QString error;
    if (!gui::writeGrayTiff(path, image, error, {})) throw std::runtime_error(error.toStdString());
}

}  // namespace

std::vector<QString> TileScan::list(int order, const std::vector<int>& missing) const {
    std::vector<QString> byScan(size_t(setup.rows * setup.cols));
    for (int r = 0; r < setup.rows; ++r)
        for (int c = 0; c < setup.cols; ++c)
            byScan[size_t(stitching::scanIndexOf(order, setup.rows, setup.cols, r, c))] = paths[size_t(cell(r, c))];
    std::vector<QString> out;
    for (int s = 0; s < int(byScan.size()); ++s)
        if (std::find(missing.begin(), missing.end(), s) == missing.end()) out.push_back(byScan[size_t(s)]);
    return out;
}

void TileScan::replaceByNoise(int c) {
    std::mt19937 engine(99);
    std::uniform_int_distribution<int> value(0, 255);
    QImage noise(setup.tileWidth, setup.tileHeight, QImage::Format_Grayscale8);
    for (int y = 0; y < noise.height(); ++y)
        for (int x = 0; x < noise.width(); ++x) noise.scanLine(y)[x] = uchar(value(engine));
    write(paths[size_t(c)], noise);
}

namespace {

// The smooth scene of gradient scans at (x, y) of a width x height source, in [0, 1].
double rampAt(double x, double y, int width, int height) {
    return 0.15 + 0.5 * x / width + 0.2 * std::sin(3.0 * y / height);
}

}  // namespace

Image TileScan::sceneAt(double x0, double y0, int width, int height) const {
    const double maxValue = setup.sixteenBit ? 65535.0 : 255.0;
    Image values(width, height);
    if (model) {
        values = model->renderWindow(x0, y0, width, height, setup.field ? &setup.field : nullptr);
        for (float& v : values.pixels) v = float(v / 255.0 * maxValue);
    } else {
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x)
                values.at(x, y) = float(maxValue * rampAt(x0 + x, y0 + y, source.width(), source.height()));
    }
    return values;
}

QImage TileScan::sourceAt(double x0, double y0, int width, int height) const {
    const double maxValue = setup.sixteenBit ? 65535.0 : 255.0;
    const Image values = sceneAt(x0, y0, width, height);
    QImage out(width, height, source.format());
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const double v = std::clamp(std::round(double(values.at(x, y))), 0.0, maxValue);
            if (setup.sixteenBit)
                reinterpret_cast<quint16*>(out.scanLine(y))[x] = quint16(v);
            else
                out.scanLine(y)[x] = uchar(v);
        }
    return out;
}

TileScan makeTileScan(const TileScanLayout& setup) {
    TileScan scan;
    scan.setup = setup;
    const int stepX = setup.tileWidth - setup.tileWidth * setup.overlapX / 100;
    const int stepY = setup.tileHeight - setup.tileHeight * setup.overlapY / 100;
    const int width = (setup.cols - 1) * stepX + setup.tileWidth + 2 * setup.jitter;
    const int height = (setup.rows - 1) * stepY + setup.tileHeight + 2 * setup.jitter;
    const double maxValue = setup.sixteenBit ? 65535.0 : 255.0;
    std::vector<double> values(size_t(width) * size_t(height));
    if (setup.gradient) {
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) values[size_t(y) * width + x] = maxValue * rampAt(x, y, width, height);
    } else {
        SpeckleOptions o;
        o.width = width;
        o.height = height;
        o.seed = setup.seed;
        o.supersampling = 2;
        scan.model = std::make_shared<const SpeckleModel>(o);
        const Image speckle = setup.field ? scan.model->render(setup.field) : scan.model->render();
        for (size_t i = 0; i < values.size(); ++i) values[i] = speckle.pixels[i] / 255.0 * maxValue;
    }
    const QImage::Format format = setup.sixteenBit ? QImage::Format_Grayscale16 : QImage::Format_Grayscale8;
    auto store = [&](QImage& image, int x, int y, double v) {
        v = std::clamp(std::round(v), 0.0, maxValue);
        if (setup.sixteenBit)
            reinterpret_cast<quint16*>(image.scanLine(y))[x] = quint16(v);
        else
            image.scanLine(y)[x] = uchar(v);
    };
    scan.source = QImage(width, height, format);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) store(scan.source, x, y, values[size_t(y) * width + x]);

    std::mt19937 engine(unsigned(setup.stageSeed ? setup.stageSeed : setup.seed));
    std::uniform_int_distribution<int> jitter(-setup.jitter, setup.jitter);
    std::uniform_real_distribution<double> spread(-1.0, 1.0), fraction(-0.5, 0.5);
    std::normal_distribution<double> normal(0.0, 1.0);
    const double noiseSigma = setup.noiseSigma * maxValue / 255.0;
    for (int r = 0; r < setup.rows; ++r) {
        for (int c = 0; c < setup.cols; ++c) {
            const QPoint corner(setup.jitter + c * stepX + jitter(engine), setup.jitter + r * stepY + jitter(engine));
            const double gain = 1.0 + setup.gainSpread * spread(engine);
            const double offset = setup.offsetSpread * spread(engine) * maxValue / 255.0;
            // Within the whole-pixel jitter's range, so the tiles stay inside `source`.
            QPointF exact(corner);
            if (setup.fractionalJitter) {
                const double fx = fraction(engine), fy = fraction(engine);
                exact = QPointF(std::clamp(corner.x() + fx, 0.0, double(width - setup.tileWidth)),
                                std::clamp(corner.y() + fy, 0.0, double(height - setup.tileHeight)));
            }
            const auto noise = [&] { return noiseSigma > 0.0 ? noiseSigma * normal(engine) : 0.0; };
            QImage tile(setup.tileWidth, setup.tileHeight, format);
            if (setup.fractionalJitter) {
                const Image scene = scan.sceneAt(exact.x(), exact.y(), tile.width(), tile.height());
                for (int y = 0; y < tile.height(); ++y)
                    for (int x = 0; x < tile.width(); ++x) store(tile, x, y, scene.at(x, y) * gain + offset + noise());
            } else {
                for (int y = 0; y < tile.height(); ++y)
                    for (int x = 0; x < tile.width(); ++x)
                        store(tile, x, y,
                              values[size_t(corner.y() + y) * width + corner.x() + x] * gain + offset + noise());
            }
            scan.paths.push_back(QString::fromStdString(scan.dir.file("tile_" + std::to_string(r) + "_" +
                                                                      std::to_string(c) + ".tif")
                                                            .string()));
            write(scan.paths.back(), tile);
            scan.tiles.push_back(tile);
            scan.corners.push_back(corner);
            scan.exactCorners.push_back(exact);
        }
    }
    return scan;
}

}  // namespace tavro::testing
