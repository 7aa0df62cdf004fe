#include "bench_crack.h"

#include <QImage>
#include <QString>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <vector>

#include "bench_images.h"
#include "core/gpu_common.h"
#include "core/pixel_search.h"
#include "core/rupture_subpixel.h"
#include "core/subpixel_search.h"
#include "support/synthetic_images.h"

namespace tavro::bench {
namespace {

constexpr double kPi = 3.14159265358979323846;

// Quantised to 8 bits as a camera would, then as the engine reads it.
std::vector<float> eightBit(const testing::Image& image) {
    const std::vector<uint8_t> grey = testing::quantize8(image);
    return std::vector<float>(grey.begin(), grey.end());
}

double medianOf(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : 0.5 * (v[v.size() / 2 - 1] + v[v.size() / 2]);
}

} // namespace

testing::StraightCrack benchCrack(const BenchOptions& o, double jumpLength) {
    testing::StraightCrack crack;
    crack.point = {0.5 * o.width + 0.3, 0.5 * o.height - 0.2};
    crack.angle = o.crackAngle;
    const testing::Vec2 n = crack.normal();
    // The jump turned 40 degrees from the normal: an opening with some sliding.
    const double turn = 40.0 * kPi / 180.0;
    const testing::Vec2 jump{jumpLength * (n[0] * std::cos(turn) - n[1] * std::sin(turn)),
                             jumpLength * (n[0] * std::sin(turn) + n[1] * std::cos(turn))};
    const testing::DisplacementField base = knownField(o);
    const auto side = [base](testing::Vec2 offset) {
        return [base, offset](double x, double y) {
            const testing::Vec2 u = base(x, y);
            return testing::Vec2{u[0] + offset[0], u[1] + offset[1]};
        };
    };
    crack.minus = side({-0.5 * jump[0], -0.5 * jump[1]});
    crack.plus = side({0.5 * jump[0], 0.5 * jump[1]});
    return crack;
}

CrackFigures runCrackCase(const BenchOptions& o) {
    CrackFigures figures;
    const testing::SpeckleModel model(speckleOptions(o));

    const testing::StraightCrack crack = benchCrack(o, o.crackJump);
    const testing::Vec2 n = crack.normal();
    const testing::Vec2 below = crack.minus(crack.point[0], crack.point[1]);
    const testing::Vec2 above = crack.plus(crack.point[0], crack.point[1]);
    const testing::Vec2 jump{above[0] - below[0], above[1] - below[1]};

    const std::vector<float> reference =
        eightBit(o.noise > 0.0 && o.noiseOnReference ? testing::addGaussianNoise(model.render(), o.noise, o.seed + 1)
                                                     : model.render());
    const testing::Image cut = testing::renderCracked(model, crack);
    const std::vector<float> deformed = eightBit(o.noise > 0.0 ? testing::addGaussianNoise(cut, o.noise, o.seed + 2) : cut);
    if (!o.savePair.empty()) {
        const auto write = [&](const std::vector<float>& grey, const char* suffix) {
            QImage image(o.width, o.height, QImage::Format_Grayscale8);
            for (int y = 0; y < o.height; ++y)
                for (int x = 0; x < o.width; ++x)
                    image.scanLine(y)[x] = static_cast<uchar>(grey[size_t(y) * size_t(o.width) + size_t(x)]);
            image.save(QString::fromStdString(o.savePair + suffix), "PNG");
        };
        write(reference, "_crack_reference.png");
        write(deformed, "_crack_deformed.png");
    }
    const ImageSource ref(reference.data()), def(deformed.data());
    const ImageSize size{o.width, o.height};

    PixelSearchParams pp;
    pp.windowSizeX = pp.windowSizeY = o.window;
    pp.stepX = pp.stepY = o.step;
    pp.maxU = pp.maxV = o.range;
    pp.searchUp = pp.searchDown = pp.searchLeft = pp.searchRight = o.range;
    SubpixelParams sp;
    sp.maxIterations = o.iterations;
    sp.convergenceTolerance = o.tolerance;
    sp.interpolation = o.interpolation;
    sp.affine = true;

    // The sub-pixel driver's discontinuity route: integer search, first-order pass, then the crack pass.
    PixelDisplacementResult pixels, first;
    if (!computePixelDisplacements(ref, def, size, pp, pixels, figures.error) ||
        !computeSubpixelDisplacements(ref, def, size, pp, pixels, sp, first, figures.error, {}, nullptr, 0, 0, 0, -1))
        return figures;
    sp.heaviside = true;
    PixelDisplacementResult out;
    FractureResult fracture;
    std::vector<double> seconds;
    for (int r = 0; r < o.repeat; ++r) {
        const auto start = std::chrono::steady_clock::now();
        if (!computeRuptureSubpixel(ref, def, size, pp, first, sp, out, figures.error, {}, &fracture, 0, -1, false,
                                    false))
            return figures;
        seconds.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    figures.time = medianOf(seconds);
    figures.timeBest = *std::min_element(seconds.begin(), seconds.end());

    // Grid point (0, 0) sits half a window plus the search range in from the corner.
    const int marginX = o.window / 2 + o.range, marginY = o.window / 2 + o.range;
    figures.gridWidth = out.gridWidth;
    figures.gridHeight = out.gridHeight;
    const double half = 0.5 * o.window, spread = std::abs(n[0]) + std::abs(n[1]);
    // Cut: the centre within half a window of the line and the window cut at least 3 px deep.
    const double cutReach = std::min(half, (o.window / 2) * spread - 3.0), reach = (o.window / 2) * spread + 1.0;
    const auto& f = fracture.fields;
    double jumpSquares = 0.0, alphaSquares = 0.0, phiSquares = 0.0, outSquares = 0.0, firstSquares = 0.0;
    int flaggedCut = 0, measuredCut = 0, measuredFirst = 0, facing[2] = {0, 0};
    for (int k = 0; k < out.gridWidth * out.gridHeight; ++k) {
        const double x = marginX + (k % out.gridWidth) * o.step, y = marginY + (k / out.gridWidth) * o.step;
        const double d = crack.distance(x, y);
        const bool cracked = std::isfinite(f[FractureResult::OpeningIntensity][size_t(k)]);
        figures.examined += std::isfinite(f[RuptureEnrichedCost][size_t(k)]);
        if (std::abs(d) < cutReach) {
            ++figures.cutPoints;
            flaggedCut += cracked;
            const testing::Vec2 truth = (d > 0.0 ? crack.plus : crack.minus)(x, y);
            if (std::isfinite(out.dispX[size_t(k)]) && std::isfinite(out.dispY[size_t(k)]) && std::abs(d) > 1.0) {
                outSquares += std::pow(out.dispX[size_t(k)] - truth[0], 2) + std::pow(out.dispY[size_t(k)] - truth[1], 2);
                ++measuredCut;
            }
            if (std::isfinite(first.dispX[size_t(k)]) && std::isfinite(first.dispY[size_t(k)]) && std::abs(d) > 1.0) {
                firstSquares +=
                    std::pow(first.dispX[size_t(k)] - truth[0], 2) + std::pow(first.dispY[size_t(k)] - truth[1], 2);
                ++measuredFirst;
            }
        }
        if (!cracked) continue;
        ++figures.flagged;
        figures.falseFlags += std::abs(d) > reach;
        // Which way the point's normal faces against the truth's.
        const double a = f[FractureResult::CrackAngle][size_t(k)] * kPi / 180.0;
        const double sign = std::sin(a) * n[0] + std::cos(a) * n[1] < 0.0 ? -1.0 : 1.0;
        facing[sign > 0.0] += 1;
        jumpSquares += std::pow(f[FractureResult::OpeningX][size_t(k)] - sign * jump[0], 2) +
                       std::pow(f[FractureResult::OpeningY][size_t(k)] - sign * jump[1], 2);
        double angleError = std::fmod(std::abs(f[FractureResult::CrackAngle][size_t(k)] - o.crackAngle), 180.0);
        angleError = std::min(angleError, 180.0 - angleError);
        alphaSquares += angleError * angleError;
        phiSquares += std::pow(f[FractureResult::CrackPosition][size_t(k)] + sign * d, 2);
    }
    figures.cutFlagged = figures.cutPoints > 0 ? double(flaggedCut) / figures.cutPoints : 0.0;
    if (figures.flagged > 0) {
        figures.jumpRms = std::sqrt(jumpSquares / figures.flagged);
        figures.alphaRms = std::sqrt(alphaSquares / figures.flagged);
        figures.phiRms = std::sqrt(phiSquares / figures.flagged);
        figures.turnedShare = double(std::min(facing[0], facing[1])) / figures.flagged;
    }
    figures.cutDisplacementRms = measuredCut > 0 ? std::sqrt(outSquares / measuredCut) : 0.0;
    figures.firstDisplacementRms = measuredFirst > 0 ? std::sqrt(firstSquares / measuredFirst) : 0.0;
    figures.ok = true;
    return figures;
}

} // namespace tavro::bench
