#include "bench_fraction_scan.h"

#include <algorithm>
#include <chrono>
#include <cmath>

#include "core/driver_support.h"
#include "core/subpixel_search.h"
#include "support/synthetic_images.h"

namespace tavro::bench {
namespace {

// A unit-deviation field through this curve spans about 50 to 206 grey
// levels: saturated peaks as in a real speckle, and no clipping with noise.
constexpr double kGreyMean = 128.0;
constexpr double kGreyAmplitude = 100.0;
constexpr double kContrastGain = 1.0;

std::vector<float> eightBit(const testing::Image& grey, double noise, uint64_t seed) {
    const std::vector<uint8_t> bytes = testing::quantize8(testing::addGaussianNoise(grey, noise, seed));
    return std::vector<float>(bytes.begin(), bytes.end());
}

PixelSearchParams gridParams(const BenchOptions& o) {
    PixelSearchParams p;
    p.windowSizeX = p.windowSizeY = o.window;
    p.stepX = p.stepY = o.step;
    // Room for a one-pixel start beside the window; the search itself does not run.
    p.maxU = p.maxV = 2;
    p.searchUp = p.searchDown = p.searchLeft = p.searchRight = 2;
    return p;
}

void summarise(FractionCurve& curve, const std::vector<double>& fractions) {
    double sumSquares = 0.0;
    for (size_t i = 0; i < fractions.size(); ++i) {
        if (std::fabs(curve.bias[i]) > curve.largestBias) {
            curve.largestBias = std::fabs(curve.bias[i]);
            curve.largestBiasAt = fractions[i];
        }
        sumSquares += curve.stdDev[i] * curve.stdDev[i];
    }
    curve.scatter = fractions.empty() ? 0.0 : std::sqrt(sumSquares / double(fractions.size()));
}

} // namespace

FractionScan runFractionScan(const BenchOptions& o) {
    const auto start = std::chrono::steady_clock::now();
    FractionScan scan;
    scan.size = o.scanSize;
    const PixelSearchParams params = gridParams(o);
    detail::SearchGrid grid;
    if (const char* message = detail::searchGrid({o.scanSize, o.scanSize}, params, grid)) {
        scan.error = message;
        return scan;
    }
    scan.points = int(grid.points());
    for (int k = 0; k <= o.scanSteps; ++k) scan.fractions.push_back(double(k) / o.scanSteps);
    for (int kind = 0; kind < 4; ++kind) {
        FractionCurve curve;
        curve.interpolation = kind;
        scan.curves.push_back(curve);
    }

    const testing::Image field = testing::gaussianRandomField(o.scanSize, o.scanSize, o.scanSigma, o.seed);
    const std::vector<float> reference =
        eightBit(testing::tanhContrast(field, kGreyMean, kGreyAmplitude, kContrastGain), o.noise, o.seed + 1);
    for (size_t f = 0; f < scan.fractions.size(); ++f) {
        const double shift = scan.fractions[f];
        const testing::Image moved = testing::fourierShift(field, shift, 0.0);
        const std::vector<float> deformed = eightBit(testing::tanhContrast(moved, kGreyMean, kGreyAmplitude,
                                                                           kContrastGain),
                                                     o.noise, o.seed + 2 + f);
        PixelDisplacementResult startField;
        startField.gridWidth = grid.width;
        startField.gridHeight = grid.height;
        startField.dispX.assign(grid.points(), float(std::lround(shift)));
        startField.dispY.assign(grid.points(), 0.0f);
        for (FractionCurve& curve : scan.curves) {
            SubpixelParams refinement;
            refinement.maxIterations = o.iterations;
            refinement.convergenceTolerance = o.tolerance;
            refinement.interpolation = curve.interpolation;
            refinement.affine = o.affineShape;
            PixelDisplacementResult out;
            std::string error;
            if (!computeSubpixelDisplacements(ImageSource(reference.data()), ImageSource(deformed.data()),
                                              {o.scanSize, o.scanSize}, params, startField, refinement, out, error,
                                              {}, nullptr, 0, 0, 0, -1)) {
                scan.error = error;
                return scan;
            }
            double sum = 0.0, sumSquares = 0.0;
            size_t valid = 0;
            for (float x : out.dispX) {
                if (!std::isfinite(x)) continue;
                const double e = double(x) - shift;
                sum += e;
                sumSquares += e * e;
                ++valid;
            }
            const double mean = valid ? sum / double(valid) : NAN;
            curve.bias.push_back(mean);
            curve.stdDev.push_back(valid > 1 ? std::sqrt(std::max(0.0, sumSquares / double(valid) - mean * mean))
                                             : NAN);
        }
    }
    for (FractionCurve& curve : scan.curves) summarise(curve, scan.fractions);
    scan.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    scan.ok = true;
    return scan;
}

} // namespace tavro::bench
