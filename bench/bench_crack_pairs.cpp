#include "bench_crack_pairs.h"

#include <QImage>
#include <QString>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <vector>

#include "compute/crack_lines.h"
#include "core/gpu_common.h"
#include "core/pixel_search.h"
#include "core/rupture_subpixel.h"
#include "core/subpixel_search.h"
#include "support/crack_pairs.h"

namespace tavro::bench {
namespace {

using testing::CrackPair;
using testing::Vec2;

constexpr int kWindows[] = {21, 31, 61};
constexpr int kStep = kCrackPairStep;

using Run = CrackPairRun;
using Scorer = CrackPairScorer;

double rms(double squares, int count) {
    return count > 0 ? std::sqrt(squares / count) : std::nan("");
}


using Put = CrackPut;

// Displacement errors within two windows of the cracks, per side: at the
// points whose subset the crack cuts (beyond 2 px of it) and beyond those.
void scoreSides(const CrackPair& pair, const Run& run, const Scorer& scorer, const std::string& p, const Put& put) {
    const size_t cracks = pair.plan.cracks.size();
    const auto& intensity = run.fracture.fields[FractureResult::OpeningIntensity];
    int falsePoints = 0, flagged = 0;
    // [side][band]: squares, measured, NaN, smeared (off by more than 0.1 px),
    // and smeared by the continuous first pass already
    double squares[2][2] = {}, counts[2][2][4] = {};
    for (int j = 0; j < run.out.gridHeight; ++j)
        for (int i = 0; i < run.out.gridWidth; ++i) {
            const size_t index = size_t(j) * size_t(run.out.gridWidth) + size_t(i);
            const double x = run.margin + double(i) * kStep, y = run.margin + double(j) * kStep;
            size_t nearest = cracks;
            double d = 1e30;
            for (size_t k = 0; k < cracks; ++k) {
                const double dk = pair.distance(k, x, y);
                if (std::abs(dk) < std::abs(d) && pair.along(k, x, y) <= pair.plan.cracks[k].tip + 0.5 * run.window) {
                    d = dk;
                    nearest = k;
                }
            }
            const bool cracked = index < intensity.size() && std::isfinite(intensity[index]);
            flagged += cracked;
            if (cracked && (nearest == cracks || std::abs(d) > scorer.reach(nearest))) ++falsePoints;
            if (nearest == cracks || std::abs(d) <= 2.0 || std::abs(d) > 2.0 * run.window ||
                pair.jumpShare(nearest, pair.along(nearest, x, y)) < 1.0)
                continue;
            const int side = d > 0.0, band = std::abs(d) > scorer.reach(nearest);
            const Vec2 truth = pair.displacement(x, y);
            counts[side][band][3] +=
                std::hypot(run.first.dispX[index] - truth[0], run.first.dispY[index] - truth[1]) > 0.1;
            const double ex = run.out.dispX[index] - truth[0], ey = run.out.dispY[index] - truth[1];
            if (!std::isfinite(ex) || !std::isfinite(ey)) {
                counts[side][band][1] += 1;
                continue;
            }
            squares[side][band] += ex * ex + ey * ey;
            counts[side][band][0] += 1;
            counts[side][band][2] += std::hypot(ex, ey) > 0.1;
        }
    put(p + "flagged_points", flagged);
    put(p + "false_points", falsePoints);
    if (cracks == 0) return;
    for (int side = 0; side < 2; ++side)
        for (int band = 0; band < 2; ++band) {
            const std::string s = p + (side ? "plus" : "minus") + (band ? "_beyond" : "_cut") + "_";
            put(s + "disp_rms", rms(squares[side][band], int(counts[side][band][0])));
            put(s + "points", counts[side][band][0]);
            put(s + "nan", counts[side][band][1]);
            put(s + "smeared", counts[side][band][2]);
            put(s + "first_pass_smeared", counts[side][band][3]);
        }
}

} // namespace

// The images are 8-bit already.
bool saveImage(const testing::Image& image, const std::string& path) {
    QImage out(image.width, image.height, QImage::Format_Grayscale8);
    for (int y = 0; y < image.height; ++y)
        for (int x = 0; x < image.width; ++x) out.scanLine(y)[x] = static_cast<uchar>(image.at(x, y));
    return out.save(QString::fromStdString(path), "PNG");
}

bool refineCrackPair(const CrackPair& pair, int window, CrackPairRun& run, std::string& error,
                     InterpolationType interpolation) {
    const ImageSource ref(pair.reference.pixels.data()), def(pair.deformed.pixels.data());
    const ImageSize size{pair.plan.size, pair.plan.size};
    PixelSearchParams pp;
    pp.windowSizeX = pp.windowSizeY = window;
    pp.stepX = pp.stepY = kCrackPairStep;
    pp.maxU = pp.maxV = kCrackPairRange;
    pp.searchUp = pp.searchDown = pp.searchLeft = pp.searchRight = kCrackPairRange;
    SubpixelParams sp;
    sp.maxIterations = 30;
    sp.convergenceTolerance = 1e-4f;
    sp.interpolation = static_cast<int>(interpolation);
    sp.affine = true;
    const auto start = std::chrono::steady_clock::now();
    PixelDisplacementResult pixels;
    PixelDisplacementResult& first = run.first;
    if (!computePixelDisplacements(ref, def, size, pp, pixels, error) ||
        !computeSubpixelDisplacements(ref, def, size, pp, pixels, sp, first, error, {}, nullptr, 0, 0, 0, -1))
        return false;
    sp.heaviside = true;
    if (!computeRuptureSubpixel(ref, def, size, pp, first, sp, run.out, error, {}, &run.fracture, 0, -1, false, false))
        return false;
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    run.window = window;
    run.margin = window / 2 + kCrackPairRange;

    // The lines as the window's fracture page extracts them, then its second pass.
    const size_t points = size_t(run.out.gridWidth) * size_t(run.out.gridHeight);
    const auto& f = run.fracture.fields;
    CrackGridView grid;
    grid.gridWidth = run.out.gridWidth;
    grid.gridHeight = run.out.gridHeight;
    grid.dispX = run.out.dispX.data();
    grid.dispY = run.out.dispY.data();
    grid.openingIntensity = f[FractureResult::OpeningIntensity].data();
    const auto optional = [points](const std::vector<float>& v) { return v.size() == points ? v.data() : nullptr; };
    grid.crackAngle = optional(f[FractureResult::CrackAngle]);
    grid.crackPosition = optional(f[FractureResult::CrackPosition]);
    grid.openingX = optional(f[FractureResult::OpeningX]);
    grid.openingY = optional(f[FractureResult::OpeningY]);
    CrackLineParameters params;
    params.stepX = kCrackPairStep;
    params.windowSize = window;
    if (f[FractureResult::OpeningIntensity].size() == points)
        run.lines = extractCrackLines(extractCrackLines(grid, params), params);
    return true;
}

CrackPairScorer::CrackPairScorer(const CrackPair& pair, const CrackPairRun& run, double beyondTip)
    : pair_(pair), run_(run), beyondTip_(beyondTip) {
    across_ = std::max(3.0, double(kCrackPairStep));
    lo_ = run.margin;
    hi_ = run.margin + double(run.out.gridWidth - 1) * kCrackPairStep;
}

Vec2 CrackPairScorer::linePoint(size_t p) const {
    return {run_.margin + double(run_.lines.x[p]) * kCrackPairStep,
            run_.margin + double(run_.lines.y[p]) * kCrackPairStep};
}

Vec2 CrackPairScorer::gridPoint(int i, int j) const {
    return {run_.margin + double(i) * kCrackPairStep, run_.margin + double(j) * kCrackPairStep};
}

bool CrackPairScorer::near(size_t k, Vec2 p, double across) const {
    return std::abs(pair_.distance(k, p[0], p[1])) <= across &&
           pair_.along(k, p[0], p[1]) <= pair_.plan.cracks[k].tip + beyondTip_;
}

std::vector<Vec2> CrackPairScorer::line(size_t l) const {
    std::vector<Vec2> out;
    for (size_t q = size_t(run_.lines.lineStarts[l]); q < size_t(run_.lines.lineStarts[l + 1]); ++q)
        out.push_back(linePoint(q));
    return out;
}

double CrackPairScorer::covered(size_t k, size_t l, double from, double to) const {
    const double bottom = run_.margin + double(run_.out.gridHeight - 1) * kCrackPairStep;
    return testing::coveredShare(pair_, k, line(l), {lo_, lo_}, {hi_, bottom}, across_, kCrackPairStep, from, to);
}

double CrackPairScorer::reach(size_t k) const {
    const Vec2 n = pair_.normal(k);
    return (run_.window / 2) * (std::abs(n[0]) + std::abs(n[1])) + 1.0;
}

void scoreCrackLines(const CrackPair& pair, const CrackPairRun& run, const CrackPairScorer& scorer, const std::string& p,
                     const CrackPut& put) {
    const CrackLineSet& lines = run.lines;
    const size_t cracks = pair.plan.cracks.size();
    int falseLines = 0;
    for (size_t l = 0; l < lines.lineCount(); ++l) {
        int onCrack = 0;
        for (size_t q = size_t(lines.lineStarts[l]); q < size_t(lines.lineStarts[l + 1]); ++q)
            for (size_t k = 0; k < cracks; ++k)
                if (scorer.near(k, scorer.linePoint(q), scorer.across())) {
                    ++onCrack;
                    break;
                }
        falseLines += 2 * onCrack < lines.lineStarts[l + 1] - lines.lineStarts[l];
    }
    put(p + "lines", double(lines.lineCount()));
    put(p + "false_lines", falseLines);
    for (size_t k = 0; k < cracks; ++k) {
        const Vec2 n = pair.normal(k);
        const std::string c = p + "crack" + std::to_string(k) + "_";
        double best = 0.0, share = 0.0;
        size_t bestLine = lines.lineCount();
        for (size_t l = 0; l < lines.lineCount(); ++l) {
            share = scorer.covered(k, l);
            if (share > best) best = share;
            if (share == best && share > 0.0) bestLine = l;
        }
        put(c + "traced_share", std::isnan(share) && lines.lineCount() > 0 ? share : best);
        double squares = 0.0;
        int count = 0;
        if (bestLine < lines.lineCount())
            for (size_t q = size_t(lines.lineStarts[bestLine]); q < size_t(lines.lineStarts[bestLine + 1]); ++q) {
                const Vec2 at = scorer.linePoint(q);
                if (!scorer.near(k, at, scorer.across()) || pair.jumpShare(k, pair.along(k, at[0], at[1])) < 1.0) continue;
                const double cs = lines.cosine[q], sn = lines.sine[q];
                const Vec2 jump{lines.jumpA[q] * cs - lines.jumpB[q] * sn, lines.jumpA[q] * sn + lines.jumpB[q] * cs};
                const double sign = -sn * n[0] + cs * n[1] < 0.0 ? -1.0 : 1.0;
                const Vec2 truth = pair.jumpAt(k, at[0], at[1]);
                squares += std::pow(jump[0] - sign * truth[0], 2) + std::pow(jump[1] - sign * truth[1], 2);
                ++count;
            }
        put(c + "jump_rms", rms(squares, count));
    }
}

bool runCrackPairsCase(const BenchOptions& o, const std::function<void(const std::string&, double)>& put,
                       const std::function<void(const std::string&, const std::string&)>& putText) {
    bool ok = true;
    for (const testing::CrackPairPlan& plan : testing::crackPairCatalogue()) {
        if (!o.crackPairsFilter.empty() && plan.name.find(o.crackPairsFilter) == std::string::npos) continue;
        const CrackPair pair = testing::makeCrackPair(plan);
        if (!o.savePair.empty() && (!saveImage(pair.reference, o.savePair + "_" + plan.name + "_reference.png") ||
                                    !saveImage(pair.deformed, o.savePair + "_" + plan.name + "_deformed.png"))) {
            putText("crack_pair_" + plan.name + "_error", "could not write the pair");
            ok = false;
        }
        for (int window : kWindows) {
            const std::string p = "crack_pair_" + plan.name + "_w" + std::to_string(window) + "_";
            Run run;
            std::string error;
            if (!refineCrackPair(pair, window, run, error)) {
                putText(p + "error", error);
                ok = false;
                continue;
            }
            const Scorer scorer(pair, run, 0.5 * window);
            scoreCrackLines(pair, run, scorer, p, put);
            scoreSides(pair, run, scorer, p, put);
            put(p + "time_s", run.seconds);
        }
    }
    return ok;
}

} // namespace tavro::bench
