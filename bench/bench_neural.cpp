#include "bench_neural.h"
#include "bench_crack.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <functional>
#include <vector>

#include "bench_images.h"
#include "bench_memory.h"
#include "core/gpu_common.h"
#include "core/pixel_search.h"
#include "core/subpixel_search.h"
#include "gpu/cpu_device.h"
#include "neural/neural_engine.h"

namespace tavro::bench {
namespace {

// What the window runs model 4 with: 65 px windows, a start grid every 48 px.
constexpr int kNeuralWindow = 65;
constexpr int kStartStep = 48;

struct FloatPair {
    int width = 0;
    int height = 0;
    std::vector<float> reference;
    std::vector<float> deformed;
    testing::DisplacementField field;
    // Signed distance from the crack line; null for a smooth field.
    std::function<double(double, double)> crackDistance;
};

std::vector<float> toFloats(const std::vector<uint8_t>& grey) { return std::vector<float>(grey.begin(), grey.end()); }

FloatPair crackPair(const BenchOptions& o) {
    testing::SpeckleOptions speckle = speckleOptions(o);
    speckle.seed = o.seed + 17;
    const testing::SpeckleModel model(speckle);
    const testing::StraightCrack crack = benchCrack(o, o.neuralCrackJump);
    FloatPair pair;
    pair.width = o.width;
    pair.height = o.height;
    const testing::Image reference = model.render(), cut = testing::renderCracked(model, crack);
    pair.reference = toFloats(testing::quantize8(
        o.noise > 0.0 && o.noiseOnReference ? testing::addGaussianNoise(reference, o.noise, o.seed + 18) : reference));
    pair.deformed = toFloats(testing::quantize8(o.noise > 0.0 ? testing::addGaussianNoise(cut, o.noise, o.seed + 19) : cut));
    pair.field = crack.field();
    pair.crackDistance = [crack](double x, double y) { return crack.distance(x, y); };
    return pair;
}

double medianOf(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : 0.5 * (v[v.size() / 2 - 1] + v[v.size() / 2]);
}

struct Squares {
    double sum = 0.0;
    int count = 0;
    void add(double ex, double ey) {
        if (!std::isfinite(ex) || !std::isfinite(ey)) return;
        sum += ex * ex + ey * ey;
        ++count;
    }
    double rms() const { return count > 0 ? std::sqrt(sum / count) : NAN; }
};

bool measurePair(const FloatPair& pair, const BenchOptions& o, const neural::NeuralEngine& engine,
                 NeuralPairFigures& f, std::string& error) {
    const ImageSource ref(pair.reference.data()), def(pair.deformed.data());
    const ImageSize size{pair.width, pair.height};

    PixelSearchParams start;
    start.windowSizeX = start.windowSizeY = kNeuralWindow;
    start.stepX = start.stepY = kStartStep;
    start.maxU = start.maxV = start.searchUp = start.searchDown = start.searchLeft = start.searchRight = o.range;
    PixelDisplacementResult coarse;
    if (!computePixelDisplacements(ref, def, size, start, coarse, error)) return false;
    const int origin = kNeuralWindow / 2 + o.range;
    const GridDescriptor startGrid{coarse.gridWidth, coarse.gridHeight, origin, origin, kStartStep, kStartStep};

    PixelDisplacementResult dense;
    std::vector<double> seconds;
    resetPeakResident();
    for (int r = 0; r < o.repeat; ++r) {
        const auto begin = std::chrono::steady_clock::now();
        if (!engine.run(ref, def, pair.width, pair.height, {0, 128, 80, 32}, coarse, startGrid, 1, 1, dense, {},
                        error))
            return false;
        seconds.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count());
    }
    f.peakResidentMiB = peakResidentMiB();
    f.deviceCachedMiB = double(gpu::deviceBytesInUse(0)) / 1048576.0;
    f.seconds = medianOf(seconds);
    f.megapixelsPerSecond = double(pair.width) * pair.height / 1e6 / f.seconds;
    f.gridWidth = dense.gridWidth;
    f.gridHeight = dense.gridHeight;
    Squares all;
    for (int j = 0; j < dense.gridHeight; ++j)
        for (int i = 0; i < dense.gridWidth; ++i) {
            const size_t k = size_t(j) * size_t(dense.gridWidth) + size_t(i);
            const testing::Vec2 t = pair.field(origin + i, origin + j);
            all.add(dense.dispX[k] - t[0], dense.dispY[k] - t[1]);
        }
    f.denseRms = all.rms();

    PixelSearchParams pp;
    pp.windowSizeX = pp.windowSizeY = o.window;
    pp.stepX = pp.stepY = o.step;
    pp.maxU = pp.maxV = pp.searchUp = pp.searchDown = pp.searchLeft = pp.searchRight = o.range;
    SubpixelParams sp;
    sp.maxIterations = o.iterations;
    sp.convergenceTolerance = o.tolerance;
    sp.interpolation = o.interpolation;
    sp.affine = o.affineShape;
    PixelDisplacementResult pixels, icgn;
    if (!computePixelDisplacements(ref, def, size, pp, pixels, error) ||
        !computeSubpixelDisplacements(ref, def, size, pp, pixels, sp, icgn, error, {}, nullptr, 0, 0, 0, -1))
        return false;
    const int icgnOrigin = o.window / 2 + o.range;
    Squares neuralCommon, icgnCommon, neuralNear, icgnNear;
    for (int j = 0; j < icgn.gridHeight; ++j)
        for (int i = 0; i < icgn.gridWidth; ++i) {
            const int x = icgnOrigin + i * o.step, y = icgnOrigin + j * o.step;
            const int di = x - origin, dj = y - origin;
            if (di < 0 || dj < 0 || di >= dense.gridWidth || dj >= dense.gridHeight) continue;
            const size_t k = size_t(j) * size_t(icgn.gridWidth) + size_t(i);
            const size_t d = size_t(dj) * size_t(dense.gridWidth) + size_t(di);
            if (!std::isfinite(icgn.dispX[k]) || !std::isfinite(dense.dispX[d])) continue;
            const testing::Vec2 t = pair.field(x, y);
            neuralCommon.add(dense.dispX[d] - t[0], dense.dispY[d] - t[1]);
            icgnCommon.add(icgn.dispX[k] - t[0], icgn.dispY[k] - t[1]);
            if (pair.crackDistance && std::fabs(pair.crackDistance(x, y)) <= o.window) {
                neuralNear.add(dense.dispX[d] - t[0], dense.dispY[d] - t[1]);
                icgnNear.add(icgn.dispX[k] - t[0], icgn.dispY[k] - t[1]);
            }
        }
    f.commonPoints = neuralCommon.count;
    f.neuralRms = neuralCommon.rms();
    f.icgnRms = icgnCommon.rms();
    f.nearPoints = neuralNear.count;
    f.neuralNearRms = neuralNear.rms();
    f.icgnNearRms = icgnNear.rms();
    return true;
}

} // namespace

NeuralFigures runNeuralCase(const SyntheticPair& pair, const BenchOptions& o) {
    NeuralFigures figures;
    auto engine = neural::NeuralEngine::create({0}, 0, TAVRO_NEURAL_BUILD_WEIGHTS, figures.notice, figures.error);
    if (!engine) return figures;
    FloatPair smooth;
    smooth.width = pair.width;
    smooth.height = pair.height;
    smooth.reference = toFloats(pair.reference);
    smooth.deformed = toFloats(pair.deformed);
    smooth.field = pair.field;
    if (!measurePair(smooth, o, *engine, figures.smooth, figures.error)) return figures;
    if (!measurePair(crackPair(o), o, *engine, figures.crack, figures.error)) return figures;
    figures.ok = true;
    return figures;
}

} // namespace tavro::bench
