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

// Uniform noise smoothed by a 5 x 5 box: a speckle-like texture of ~2 px
// grains, generated in a fraction of the time a rendered speckle would take.
std::vector<uint8_t> texture(int width, int height, unsigned long long seed) {
    std::mt19937 engine(static_cast<unsigned>(seed));
    std::uniform_int_distribution<int> value(0, 255);
    std::vector<uint16_t> noise(size_t(width) * size_t(height)), rows(noise.size());
    for (uint16_t& v : noise) v = uint16_t(value(engine));
    for (int y = 0; y < height; ++y)
        for (int x = 2; x < width - 2; ++x) {
            const size_t i = size_t(y) * size_t(width) + size_t(x);
            rows[i] = uint16_t(noise[i - 2] + noise[i - 1] + noise[i] + noise[i + 1] + noise[i + 2]);
        }
    std::vector<uint8_t> out(noise.size());
    for (int y = 2; y < height - 2; ++y)
        for (int x = 0; x < width; ++x) {
            const size_t i = size_t(y) * size_t(width) + size_t(x), w = size_t(width);
            const int sum = rows[i - 2 * w] + rows[i - w] + rows[i] + rows[i + w] + rows[i + 2 * w];
            // 25 samples of mean 127.5 and spread 74: stretch the sum's spread of ~370 to ~45 grey levels.
            out[i] = uint8_t(std::clamp(128.0 + (sum - 25 * 127.5) * 0.12, 0.0, 255.0));
        }
    return out;
}

} // namespace

StitchingFigures measureStitching(int grid, int tileSize, int overlapPercent, int jitterPx, unsigned long long seed) {
    StitchingFigures f;
    const int step = tileSize - tileSize * overlapPercent / 100;
    const int side = (grid - 1) * step + tileSize + 2 * jitterPx + 4;
    const std::vector<uint8_t> source = texture(side, side, seed);
    std::mt19937 engine(static_cast<unsigned>(seed) + 1);
    std::uniform_int_distribution<int> jitter(-jitterPx, jitterPx);
    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() / ("tavro_bench_stitch_" + std::to_string(getpid()));
    std::filesystem::create_directories(folder);
    std::vector<QString> paths;
    std::vector<int> cornerX, cornerY;
    for (int r = 0; r < grid; ++r) {
        // Snake order, as a stage scans.
        for (int k = 0; k < grid; ++k) {
            const int c = r % 2 ? grid - 1 - k : k;
            const int x0 = 2 + jitterPx + c * step + jitter(engine), y0 = 2 + jitterPx + r * step + jitter(engine);
            QImage tile(tileSize, tileSize, QImage::Format_Grayscale8);
            for (int y = 0; y < tileSize; ++y)
                std::copy_n(source.data() + size_t(y0 + y) * size_t(side) + size_t(x0), tileSize, tile.scanLine(y));
            const std::string name = "tile_" + std::to_string(paths.size()) + ".tif";
            paths.push_back(QString::fromStdString((folder / name).string()));
            QString error;
            if (!gui::writeGrayTiff(paths.back(), tile, error, {})) {
                f.error = error.toStdString();
                std::filesystem::remove_all(folder);
                return f;
            }
            cornerX.push_back(x0);
            cornerY.push_back(y0);
        }
    }
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
    return f;
}

} // namespace tavro::bench
