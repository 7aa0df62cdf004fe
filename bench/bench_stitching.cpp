#include "bench_stitching.h"

#include <QImage>
#include <QString>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <vector>

#include "bench_memory.h"
#include "images/image_write.h"
#include "stitching/mosaic_stitcher.h"

namespace tavro::bench {
namespace {

// The texture is uniform noise seen through a Gaussian of this spread: a
// speckle-like pattern of ~3 px grains that exists between the pixels too, so
// tiles can be cut at any fractional corner exactly, and it is band-limited
// (its spectrum at the Nyquist frequency is 1e-5 of its peak).
constexpr double kGrainSigma = 1.5;
constexpr int kReach = 6;  // taps each side: the Gaussian is 3e-4 of its peak there
// Stretches the smoothed noise's spread of ~14 to ~39 grey levels around 127.5.
constexpr double kStretch = 2.8;
constexpr double kGainSpread = 0.02;
constexpr double kNoiseSigma = 2.0;

struct Texture {
    int side = 0;
    std::vector<uint8_t> noise;

    // The texture at (x0 + i, y0 + j), i < width, j < height, clipped to the 8-bit range.
    std::vector<float> sample(double x0, double y0, int width, int height) const {
        const int ix = int(std::floor(x0)), iy = int(std::floor(y0));
        auto taps = [](double fraction) {
            std::vector<double> w(2 * kReach + 2);
            for (int j = 0; j < int(w.size()); ++j) {
                const double d = fraction + kReach - j;
                w[size_t(j)] = std::exp(-d * d / (2.0 * kGrainSigma * kGrainSigma)) /
                               (kGrainSigma * std::sqrt(2.0 * M_PI));
            }
            return w;
        };
        const std::vector<double> wx = taps(x0 - ix), wy = taps(y0 - iy);
        const int rows = height + 2 * kReach + 1;
        std::vector<double> across(size_t(rows) * size_t(width));
        for (int r = 0; r < rows; ++r) {
            const uint8_t* line = noise.data() + size_t(iy - kReach + r) * size_t(side) + size_t(ix - kReach);
            double* out = across.data() + size_t(r) * size_t(width);
            for (int i = 0; i < width; ++i) {
                double s = 0.0;
                for (size_t j = 0; j < wx.size(); ++j) s += wx[j] * line[size_t(i) + j];
                out[i] = s;
            }
        }
        std::vector<float> out(size_t(width) * size_t(height));
        for (int r = 0; r < height; ++r)
            for (int i = 0; i < width; ++i) {
                double s = 0.0;
                for (size_t j = 0; j < wy.size(); ++j) s += wy[j] * across[(size_t(r) + j) * size_t(width) + size_t(i)];
                out[size_t(r) * size_t(width) + size_t(i)] =
                    float(std::clamp(127.5 + (s - 127.5) * kStretch, 0.0, 255.0));
            }
        return out;
    }
};

struct MosaicError {
    double rms = 0.0;
    double max = 0.0;
};

// The mosaic against the texture at the place the positions give it, over the
// pixels at least 8 px inside some tile: at the mosaic's outer edge the
// resampling reads a reflected tile, which is no measurement.
MosaicError mosaicError(const QImage& mosaic, const QList<stitching::TilePosition>& positions,
                        const std::vector<double>& cornerX, const std::vector<double>& cornerY,
                        const Texture& texture) {
    double ox = 0.0, oy = 0.0;
    for (const stitching::TilePosition& p : positions) {
        ox += cornerX[size_t(p.tileIndex)] - p.tx;
        oy += cornerY[size_t(p.tileIndex)] - p.ty;
    }
    ox /= positions.size();
    oy /= positions.size();
    MosaicError e;
    double sum = 0.0;
    int64_t count = 0;
    const int width = mosaic.width(), band = 256;
    std::vector<char> inside(static_cast<size_t>(width));
    for (int y0 = 0; y0 < mosaic.height(); y0 += band) {
        const int rows = std::min(band, mosaic.height() - y0);
        const std::vector<float> truth = texture.sample(ox, oy + y0, width, rows);
        for (int r = 0; r < rows; ++r) {
            const int y = y0 + r;
            std::fill(inside.begin(), inside.end(), 0);
            for (const stitching::TilePosition& p : positions) {
                const QRect b = p.bounds.adjusted(8, 8, -8, -8);
                if (y < b.top() || y > b.bottom()) continue;
                for (int x = std::max(0, b.left()); x <= std::min(width - 1, b.right()); ++x) inside[size_t(x)] = 1;
            }
            const uchar* line = mosaic.constScanLine(y);
            for (int x = 0; x < width; ++x) {
                if (!inside[size_t(x)]) continue;
                const double d = line[x] - truth[size_t(r) * size_t(width) + size_t(x)];
                sum += d * d;
                e.max = std::max(e.max, std::abs(d));
                ++count;
            }
        }
    }
    e.rms = count ? std::sqrt(sum / double(count)) : 0.0;
    return e;
}

} // namespace

StitchingFigures measureStitching(int grid, int tileSize, int overlapPercent, int jitterPx, unsigned long long seed) {
    StitchingFigures f;
    const int step = tileSize - tileSize * overlapPercent / 100;
    const int margin = kReach + 4;
    Texture texture;
    texture.side = (grid - 1) * step + tileSize + 2 * jitterPx + 2 * margin;
    texture.noise.resize(size_t(texture.side) * size_t(texture.side));
    std::mt19937 engine(static_cast<unsigned>(seed));
    std::uniform_int_distribution<int> value(0, 255);
    for (uint8_t& v : texture.noise) v = uint8_t(value(engine));
    std::uniform_real_distribution<double> jitter(-jitterPx, jitterPx), unit(-1.0, 1.0);
    std::normal_distribution<double> noise(0.0, kNoiseSigma);
    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() / ("tavro_bench_stitch_" + std::to_string(getpid()));
    std::filesystem::create_directories(folder);
    std::vector<QString> paths;
    std::vector<QImage> tiles;
    std::vector<double> cornerX, cornerY;
    double floorSum = 0.0;
    for (int r = 0; r < grid; ++r) {
        // Snake order, as a stage scans.
        for (int k = 0; k < grid; ++k) {
            const int c = r % 2 ? grid - 1 - k : k;
            const double x0 = margin + jitterPx + c * step + jitter(engine);
            const double y0 = margin + jitterPx + r * step + jitter(engine);
            const double gain = 1.0 + kGainSpread * unit(engine);
            const std::vector<float> truth = texture.sample(x0, y0, tileSize, tileSize);
            QImage tile(tileSize, tileSize, QImage::Format_Grayscale8);
            for (int y = 0; y < tileSize; ++y) {
                uchar* line = tile.scanLine(y);
                for (int x = 0; x < tileSize; ++x) {
                    const double t = truth[size_t(y) * size_t(tileSize) + size_t(x)];
                    line[x] = uchar(std::clamp(std::lround(t * gain + noise(engine)), 0L, 255L));
                    floorSum += (line[x] - t) * (line[x] - t);
                }
            }
            const std::string name = "tile_" + std::to_string(paths.size()) + ".tif";
            paths.push_back(QString::fromStdString((folder / name).string()));
            QString error;
            if (!gui::writeGrayTiff(paths.back(), tile, error, {})) {
                f.error = error.toStdString();
                std::filesystem::remove_all(folder);
                return f;
            }
            tiles.push_back(tile);
            cornerX.push_back(x0);
            cornerY.push_back(y0);
        }
    }
    f.tileFloorRms = std::sqrt(floorSum / (double(tiles.size()) * tileSize * tileSize));
    stitching::MosaicStitcher stitcher;
    stitcher.options.gridRows = grid;
    stitcher.options.gridCols = grid;
    stitcher.options.overlapX = overlapPercent;
    stitcher.options.overlapY = overlapPercent;
    stitcher.options.scanOrder = stitching::kScanSnake;
    stitching::StitchOutput out;
    resetPeakResident();
    const auto start = std::chrono::steady_clock::now();
    f.ok = stitcher.stitch(paths, out, [] { return false; }, {});
    f.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    f.peakResidentMiB = peakResidentMiB();
    std::filesystem::remove_all(folder);
    if (!f.ok) {
        f.error = out.error.toStdString();
        return f;
    }
    f.tiles = int(paths.size());
    f.tilesPerSecond = f.tiles / f.seconds;
    f.mosaicWidth = out.mosaic.width();
    f.mosaicHeight = out.mosaic.height();
    const stitching::TilePosition& first = out.positions.front();
    double sum = 0.0;
    for (const stitching::TilePosition& p : out.positions) {
        const double ex = (p.tx - first.tx) - (cornerX[size_t(p.tileIndex)] - cornerX[size_t(first.tileIndex)]);
        const double ey = (p.ty - first.ty) - (cornerY[size_t(p.tileIndex)] - cornerY[size_t(first.tileIndex)]);
        f.positionErrorMaxPx = std::max({f.positionErrorMaxPx, std::abs(ex), std::abs(ey)});
        sum += ex * ex + ey * ey;
    }
    f.positionErrorRmsPx = std::sqrt(sum / (2.0 * out.positions.size()));

    // The composition alone, as a reopened project runs it from saved positions.
    QImage again;
    QString error;
    const auto composing = std::chrono::steady_clock::now();
    stitching::MosaicStitcher rebuild;
    if (!rebuild.stitchFromPositions(tiles, out.positions, again, error)) {
        f.ok = false;
        f.error = error.toStdString();
        return f;
    }
    f.composeSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - composing).count();
    const MosaicError e = mosaicError(out.mosaic, out.positions, cornerX, cornerY, texture);
    f.mosaicErrorRms = e.rms;
    f.mosaicErrorMax = e.max;
    return f;
}

} // namespace tavro::bench
