#include "core/pixel_search.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <tuple>
#include <vector>

#include "core/fft_zncc.h"
#include "core/tiled_zncc.h"
#include "core/multi_gpu_log.h"
#include "gpu/runtime.h"
#include "subpixel_test_support.h"
#include "support/synthetic_images.h"

#if !defined(TAVRO_USE_CUDA)
#include "gpu/cpu_device.h"
#endif

namespace {

using tavro::FFTSearchLayout;
using tavro::ImageSource;
using tavro::PixelDisplacementResult;
using tavro::PixelSearchParams;
using tavro::testing::Image;
using Floats = std::vector<float>;

using tavro::subpixel_test::haveDevice;
using tavro::subpixel_test::LogCapture;
using tavro::subpixel_test::ScopedEnv;

#define REQUIRE_DEVICE() SUBPIXEL_REQUIRE_DEVICE()

PixelSearchParams paramsOf(int window, int step, int reach) {
    PixelSearchParams p;
    p.windowSizeX = p.windowSizeY = window;
    p.stepX = p.stepY = step;
    p.maxU = p.maxV = reach;
    return p;
}

tavro::testing::ImagePair shiftedPair(int width, double ux, double uy, int height = 0, uint64_t seed = 3) {
    tavro::testing::SpeckleOptions options;
    options.width = width;
    options.height = height > 0 ? height : width;
    options.seed = seed;
    options.supersampling = 2;
    return tavro::testing::makeFourierShiftedPair(options, ux, uy);
}

struct Outcome {
    bool ok = false;
    std::string error;
    PixelDisplacementResult result;
};

Outcome search(const Image& ref, const Image& def, const PixelSearchParams& params,
               tavro::SearchProgress progress = {}) {
    Outcome run;
    run.ok = tavro::computePixelDisplacements(ImageSource(ref.pixels.data()), ImageSource(def.pixels.data()),
                                              {ref.width, ref.height}, params, run.result, run.error,
                                              std::move(progress));
    return run;
}

int countEqual(const Floats& x, const Floats& y, float dx, float dy, size_t first = 0) {
    int n = 0;
    for (size_t i = first; i < x.size(); ++i) n += x[i] == dx && y[i] == dy;
    return n;
}
int countEqual(const PixelDisplacementResult& r, float dx, float dy) { return countEqual(r.dispX, r.dispY, dx, dy); }

std::vector<std::string> containing(const LogCapture& log, const std::string& text) {
    std::vector<std::string> found;
    for (const std::string& line : log.lines())
        if (line.find(text) != std::string::npos) found.push_back(line);
    return found;
}

template <class T>
using DeviceArray = tavro::testing::DeviceBuffer<T>;

Floats copyFromDevice(const float* device, size_t count) {
    Floats host(count);
    EXPECT_EQ(cudaMemcpy(host.data(), device, count * sizeof(float), cudaMemcpyDeviceToHost), cudaSuccess);
    return host;
}

// Double-precision ZNCC of a point (window centre cx, cy; guess gx, gy) over its admissible shifts, with the
// search's conventions: pixels outside the image are left out of every sum, the reference mean is over the full
// window area, the deformed mean over the search area's in-image pixels, textureless shifts are skipped.
struct Exhaustive {
    int dx = 0, dy = 0;
    double best = -2.0, second = -2.0;
};

Exhaustive exhaustiveZncc(const Image& ref, const Image& def, int cx, int cy, int gx, int gy,
                          const PixelSearchParams& p) {
    const FFTSearchLayout layout = tavro::fftSearchLayout(p, 1, 0, 1, 0);
    const int wx = cx - p.windowSizeX / 2, wy = cy - p.windowSizeY / 2, ax = wx + gx - p.maxV, ay = wy + gy - p.maxU;
    const auto pixel = [](const Image& im, int x, int y, double& v) {
        const bool in = x >= 0 && y >= 0 && x < im.width && y < im.height;
        v = in ? im.at(x, y) : 0.0;
        return in;
    };
    const double area = double(p.windowSizeX) * p.windowSizeY;
    double sum = 0.0, squares = 0.0, areaSum = 0.0, v = 0.0;
    int areaCount = 0;
    for (int j = 0; j < p.windowSizeY; ++j)
        for (int i = 0; i < p.windowSizeX; ++i)
            if (pixel(ref, wx + i, wy + j, v)) sum += v, squares += v * v;
    for (int j = 0; j < layout.searchHeight; ++j)
        for (int i = 0; i < layout.searchWidth; ++i)
            if (pixel(def, ax + i, ay + j, v)) areaSum += v, ++areaCount;
    const double meanRef = sum / area, refVar = squares - sum * sum / area;
    const double defMean = areaCount ? areaSum / areaCount : 0.0;
    Exhaustive e{gx, gy};
    for (int dy = -layout.up; dy <= layout.down; ++dy)
        for (int dx = -layout.left; dx <= layout.right; ++dx) {
            double corr = 0.0, s1 = 0.0, s2 = 0.0, r = 0.0;
            for (int j = 0; j < p.windowSizeY; ++j)
                for (int i = 0; i < p.windowSizeX; ++i) {
                    const double d = pixel(def, wx + gx + dx + i, wy + gy + dy + j, v) ? v - defMean : 0.0;
                    corr += (pixel(ref, wx + i, wy + j, r) ? r - meanRef : 0.0) * d;
                    s1 += d, s2 += d * d;
                }
            const double variance = std::max(s2 - s1 * s1 / area, 0.0);
            if (refVar <= 1e-12 || variance <= std::max(1e-4 * s2, 1e-12)) continue;
            const double score = std::min(corr / std::sqrt(refVar * variance), 1.0);
            e.second = std::max(e.second, std::min(score, e.best));
            if (score > e.best) e.best = score, e.dx = gx + dx, e.dy = gy + dy;
        }
    return e;
}

// Brute force's answer wherever it has a clear winner (float and double may swap near-equal scores).
void expectMatchesExhaustive(const Image& ref, const Image& def, const PixelSearchParams& p,
                             const PixelDisplacementResult& r) {
    const int marginX = p.windowSizeX / 2 + p.maxV, marginY = p.windowSizeY / 2 + p.maxU;
    int clear = 0;
    for (int gy = 0; gy < r.gridHeight; ++gy)
        for (int gx = 0; gx < r.gridWidth; ++gx) {
            const size_t i = size_t(gy) * r.gridWidth + gx;
            const Exhaustive e = exhaustiveZncc(ref, def, marginX + gx * p.stepX, marginY + gy * p.stepY, 0, 0, p);
            if (e.best - e.second <= 1e-3) continue;
            ++clear;
            EXPECT_EQ(r.dispX[i], e.dx) << "point " << gx << "," << gy;
            EXPECT_EQ(r.dispY[i], e.dy) << "point " << gx << "," << gy;
        }
    EXPECT_GT(clear, r.gridWidth * r.gridHeight * 3 / 4);
}

TEST(FFTSearchLayout, FrameBatchAndDirectionalRangesFollowTheParameters) {
    EXPECT_EQ(tavro::fftSearchLayout(paramsOf(21, 5, 20), 5000, 0, 5000, 0).batchSize, 1024);
    EXPECT_EQ(tavro::fftSearchLayout(paramsOf(21, 5, 20), 5000, 4000, 4100, 0).batchSize, 100);
    // A budget pays the per-point array and the box spectrum, then three times each point's buffers.
    const uint64_t fixed = 4 * (5000 + 2 * 2112);
    EXPECT_EQ(tavro::fftSearchLayout(paramsOf(21, 5, 20), 5000, 0, 5000, fixed + 7 * 3 * 82944 + 5).batchSize, 7);
    EXPECT_EQ(tavro::fftSearchLayout(paramsOf(21, 5, 20), 5000, 0, 5000, 1000).batchSize, 1);

    // Frames: the smallest lengths of factors 2, 3 and 5 around the search area (even across, for the real
    // transform), powers of two where those are the smallest and beyond the mixed-radix path's 256.
    const auto frame = [](int window, int range) {
        const FFTSearchLayout l = tavro::fftSearchLayout(paramsOf(window, 1, range), 1, 0, 1, 0);
        return std::make_pair(l.nx, l.ny);
    };
    EXPECT_EQ(frame(21, 5), std::make_pair(32, 32));
    EXPECT_EQ(frame(23, 5), std::make_pair(36, 36));
    EXPECT_EQ(frame(33, 5), std::make_pair(48, 45));
    EXPECT_EQ(frame(3, 0), std::make_pair(4, 3));
    EXPECT_EQ(frame(201, 30), std::make_pair(512, 512));

    PixelSearchParams p = paramsOf(11, 4, 7);
    p.maxV = 9;
    const auto ranges = [&] {
        const FFTSearchLayout l = tavro::fftSearchLayout(p, 1, 0, 1, 0);
        return std::vector<int>({l.up, l.down, l.left, l.right});
    };
    EXPECT_EQ(ranges(), std::vector<int>({7, 7, 9, 9})) << "all zero: the reaches";
    p.searchDown = 5;
    EXPECT_EQ(ranges(), std::vector<int>({0, 5, 0, 0}));
    p.searchUp = 30, p.searchLeft = -2, p.searchRight = 12;
    EXPECT_EQ(ranges(), std::vector<int>({7, 5, 0, 9})) << "clamped to 0 .. reach";
}

TEST(PixelSearch, ValidationRefusesBadInputWithItsMessageAndLeavesTheOutput) {
    const Floats image(100 * 100, 1.0f);
    const ImageSource good(image.data());
    const auto refusal = [&](const ImageSource& ref, tavro::ImageSize size, const PixelSearchParams& p) {
        PixelDisplacementResult out;
        out.gridWidth = 7;
        out.dispX.assign(3, 5.0f);
        std::string error;
        EXPECT_FALSE(tavro::computePixelDisplacements(ref, good, size, p, out, error));
        EXPECT_EQ(out.gridWidth, 7);
        EXPECT_EQ(out.dispX, Floats(3, 5.0f));
        return error;
    };
    const PixelSearchParams p = paramsOf(21, 10, 20);
    EXPECT_EQ(refusal(ImageSource(), {100, 100}, p), "Images invalides (pointeurs nuls).");
    EXPECT_EQ(refusal(good, {0, 100}, p), "Dimensions d'image invalides.");
    EXPECT_EQ(refusal(good, {100, 100}, paramsOf(1, 10, 20)), "Windows must be odd and size > 1.");
    EXPECT_EQ(refusal(good, {100, 100}, paramsOf(21, 0, 20)), "Spacings must be strictly positive.");
    EXPECT_EQ(refusal(good, {100, 100}, paramsOf(21, 10, -1)), "Search ranges must be positive.");
    PixelSearchParams wide = p;
    wide.maxV = 40;
    EXPECT_EQ(refusal(good, {100, 100}, wide), "Parameters incompatible with image size.");
    wide.maxV = 90;
    EXPECT_EQ(refusal(good, {100, 100}, wide), "Window or search area too large for image.");
    std::string error;
    tavro::DevicePixelDisplacements device;
    EXPECT_FALSE(tavro::computePixelDisplacementsToDevice(good, good, {100, 100}, paramsOf(20, 10, 20), &device,
                                                          error));
    EXPECT_EQ(error, "Windows must be odd and size > 1.");
}

TEST(PixelSearch, MarginsAndStepsLayOutTheGridOnHostAndDevice) {
    REQUIRE_DEVICE();
    const auto pair = shiftedPair(100, 3.0, 1.0);
    PixelSearchParams p = paramsOf(21, 10, 20);
    const Outcome square = search(pair.reference, pair.deformed, p);
    ASSERT_TRUE(square.ok) << square.error;
    EXPECT_EQ(square.result.gridWidth, 4);  // columns 30, 40, 50, 60 of a usable 40 x 40
    EXPECT_EQ(square.result.gridHeight, 4);
    EXPECT_EQ(countEqual(square.result, 3.0f, 1.0f), 16);
    tavro::DevicePixelDisplacements device;
    std::string error;
    ASSERT_TRUE(tavro::computePixelDisplacementsToDevice(ImageSource(pair.reference.pixels.data()),
                                                         ImageSource(pair.deformed.pixels.data()), {100, 100}, p,
                                                         &device, error))
        << error;
    EXPECT_EQ(device.gridWidth * device.gridHeight, 16);
    EXPECT_EQ(device.leaseX.get(), device.dDispX) << "the record owns its buffers";
    EXPECT_EQ(copyFromDevice(device.dDispY, 16), square.result.dispY);
    p.maxV = 39;
    const Outcome narrow = search(pair.reference, pair.deformed, p);
    ASSERT_TRUE(narrow.ok) << narrow.error;
    EXPECT_EQ(std::make_pair(narrow.result.gridWidth, narrow.result.gridHeight), std::make_pair(1, 4));
}

TEST(PixelSearch, WholePixelAnswerIsTheExhaustiveZnccMaximum) {
    REQUIRE_DEVICE();
    const PixelSearchParams p = paramsOf(15, 9, 5);
    // An integer shift is found exactly everywhere; a sub-pixel one at the nearest whole pixel almost everywhere.
    for (const auto& [ux, uy, exact] : {std::tuple{3.0, -2.0, true}, std::tuple{1.3, -2.6, false}}) {
        const auto pair = shiftedPair(144, ux, uy);
        const Outcome run = search(pair.reference, pair.deformed, p);
        ASSERT_TRUE(run.ok) << run.error;
        const int points = run.result.gridWidth * run.result.gridHeight;
        const int nearest = countEqual(run.result, float(std::lround(ux)), float(std::lround(uy)));
        EXPECT_GE(nearest, exact ? points : points * 9 / 10);
        expectMatchesExhaustive(pair.reference, pair.deformed, p, run.result);
    }
}

TEST(PixelSearch, DirectionalRangesConfineTheAnswer) {
    REQUIRE_DEVICE();
    const auto pair = shiftedPair(128, -1.0, 2.0);
    PixelSearchParams p = paramsOf(15, 11, 6);
    p.searchDown = 5;  // vertical 0 .. +5, horizontal 0 only: one pixel short of the true shift across
    const Outcome down = search(pair.reference, pair.deformed, p);
    ASSERT_TRUE(down.ok) << down.error;
    EXPECT_EQ(countEqual(down.result, 0.0f, 2.0f), down.result.gridWidth * down.result.gridHeight);
    expectMatchesExhaustive(pair.reference, pair.deformed, p, down.result);
    p.searchDown = 0, p.searchUp = 4, p.searchLeft = 2, p.searchRight = 6;  // the true +2 lies below the range
    const Outcome up = search(pair.reference, pair.deformed, p);
    ASSERT_TRUE(up.ok) << up.error;
    EXPECT_EQ(*std::max_element(up.result.dispY.begin(), up.result.dispY.end()), 0.0f);
    expectMatchesExhaustive(pair.reference, pair.deformed, p, up.result);
}

// Listed points (image positions and guesses) searched directly.
struct PointSearch {
    Floats x, y, confidence;
};

PointSearch searchPoints(const Image& ref, const Image& def, const PixelSearchParams& p, const std::vector<int>& xs,
                         const std::vector<int>& ys, const std::vector<int>& gx, const std::vector<int>& gy,
                         uint64_t budget = 0) {
    const size_t n = xs.size();
    const Floats blank(n, 99.0f);
    DeviceArray<float> dRef(ref.pixels), dDef(def.pixels), outX(blank), outY(blank), confidence(blank);
    DeviceArray<int> px(xs), py(ys), ix(gx), iy(gy);
    std::string error;
    bool cancelled = false;
    EXPECT_TRUE(tavro::runFFTPixelSearch(dRef.get(), dDef.get(), nullptr, 0, 0, {ref.width, ref.height}, p,
                                         tavro::SearchConfig{}, int(n), 1, n, outX.get(), outY.get(), error, {},
                                         &cancelled, 0, int64_t(n), ix.get(), iy.get(), px.get(), py.get(),
                                         confidence.get(), budget))
        << error;
    return {outX.download(), outY.download(), confidence.download()};
}

TEST(FFTPixelSearch, FlatWindowsKeepTheirGuessWithScoreMinusOne) {
    REQUIRE_DEVICE();
    auto pair = shiftedPair(96, 0.0, 0.0);
    // Flat reference patches of integer and of fractional grey, 8-bit and 16-bit (rounding must not pass for
    // texture), and a flat patch of the deformed image that leaves no shift with texture to correlate.
    for (int y = 10; y < 30; ++y)
        for (int x = 10; x < 30; ++x) {
            pair.reference.at(x, y) = 100.0f;
            pair.reference.at(x + 50, y) = 117.3f;
            pair.reference.at(x, y + 50) = 30517.3f;
        }
    for (int y = 55; y < 90; ++y)
        for (int x = 55; x < 90; ++x) pair.deformed.at(x, y) = 93.7f;
    const PointSearch s = searchPoints(pair.reference, pair.deformed, paramsOf(9, 1, 3), {20, 70, 20, 72, 40},
                                       {20, 20, 70, 72, 45}, {2, -1, -2, 1, 0}, {-1, 3, 1, 2, 0});
    EXPECT_EQ(s.confidence, Floats({-1.0f, -1.0f, -1.0f, -1.0f, s.confidence[4]}));
    EXPECT_EQ(s.x, Floats({2.0f, -1.0f, -2.0f, 1.0f, 0.0f}));
    EXPECT_EQ(s.y, Floats({-1.0f, 3.0f, 1.0f, 2.0f, 0.0f}));
    EXPECT_NEAR(s.confidence[4], 1.0f, 1e-4f) << "textured control point";
}

TEST(FFTPixelSearch, SearchAreasReachingOutsideTheImageCountOnlyInsidePixels) {
    REQUIRE_DEVICE();
    const auto pair = shiftedPair(80, 2.0, -1.0, 0, 11);
    const PixelSearchParams p = paramsOf(11, 1, 6);
    const std::vector<int> xs{6, 73, 40, 5}, ys{5, 74, 3, 70}, gx{-3, 4, 1, -6}, gy{-2, 5, -4, 6};
    const PointSearch s = searchPoints(pair.reference, pair.deformed, p, xs, ys, gx, gy);
    for (size_t i = 0; i < xs.size(); ++i) {
        const Exhaustive e = exhaustiveZncc(pair.reference, pair.deformed, xs[i], ys[i], gx[i], gy[i], p);
        EXPECT_EQ(std::make_pair(s.x[i], s.y[i]), std::make_pair(float(e.dx), float(e.dy))) << i;
        EXPECT_NEAR(s.confidence[i], e.best, 1e-4) << i;
    }
}

TEST(FFTPixelSearch, ShortLastBatchGivesTheSameAnswersAsOneBatch) {
    REQUIRE_DEVICE();
    const auto pair = shiftedPair(96, 1.6, 2.2);
    const PixelSearchParams p = paramsOf(13, 1, 4);
    std::vector<int> xs, ys;
    for (int i = 0; i < 40; ++i) xs.push_back(12 + (i * 7) % 70), ys.push_back(12 + (i * 11) % 70);
    const std::vector<int> zero(xs.size(), 0);
    const FFTSearchLayout layout = tavro::fftSearchLayout(p, 40, 0, 40, 0);
    const uint64_t sevenPoints = 4 * (40 + 2 * uint64_t(layout.frameBins)) + 7 * 3 * layout.memoryPerPoint;
    ASSERT_EQ(tavro::fftSearchLayout(p, 40, 0, 40, sevenPoints).batchSize, 7);  // 5 batches of 7, then 5
    const PointSearch whole = searchPoints(pair.reference, pair.deformed, p, xs, ys, zero, zero);
    const PointSearch batched = searchPoints(pair.reference, pair.deformed, p, xs, ys, zero, zero, sevenPoints);
    EXPECT_EQ(batched.x, whole.x);
    EXPECT_EQ(batched.y, whole.y);
    EXPECT_EQ(batched.confidence, whole.confidence);
    EXPECT_GE(countEqual(whole.x, whole.y, 2.0f, 2.0f), 36) << "a (1.6, 2.2) px shift is (2, 2) to the nearest pixel";
}

// The in-cache kernel runs a point from extraction to peak with the separate kernels' arithmetic, element by
// element: equal bits on frames of the power-of-two path and of the mixed-radix path, small ones and ones that
// need more than the default shared memory (with a row count that is no multiple of the passes' 32 lines), for
// points whose search areas leave the image, with guesses, and across more points than one launch takes.
TEST(FFTPixelSearch, InCacheKernelGivesTheSeparateKernelsBits) {
    REQUIRE_DEVICE();
    const auto pair = shiftedPair(160, 1.6, -2.3);
    const struct {
        int window, reach, points;
    } cases[] = {// frames 32, 24, 64, 48 x 45, 72 and 192 (the fine pass of the window's hierarchical search)
                 {21, 5, 300}, {13, 4, 300}, {21, 21, 4200}, {25, 10, 300}, {41, 15, 200}, {61, 61, 120}};
    for (const auto& c : cases) {
        const PixelSearchParams p = paramsOf(c.window, 1, c.reach);
        std::vector<int> xs, ys, gx, gy;
        for (int i = 0; i < c.points; ++i) {
            xs.push_back((i * 37) % 160);
            ys.push_back((i * 53 + i / 160) % 160);
            gx.push_back(i % 7 - 3);
            gy.push_back((i / 7) % 5 - 2);
        }
        tavro::detail::setSearchPhaseTiming(true);
        tavro::detail::resetSearchPhaseTimes();
        const PointSearch inCache = searchPoints(pair.reference, pair.deformed, p, xs, ys, gx, gy);
        const tavro::detail::SearchPhaseTimes whole = tavro::detail::searchPhaseTimes();
        tavro::detail::setInCacheSearch(false);
        tavro::detail::resetSearchPhaseTimes();
        const PointSearch separate = searchPoints(pair.reference, pair.deformed, p, xs, ys, gx, gy);
        const tavro::detail::SearchPhaseTimes phased = tavro::detail::searchPhaseTimes();
        tavro::detail::setInCacheSearch(true);
        tavro::detail::setSearchPhaseTiming(false);
        EXPECT_TRUE(whole.inCache > 0.0 && whole.extraction == 0.0) << "window " << c.window << ": not in cache";
        EXPECT_TRUE(phased.inCache == 0.0 && phased.extraction > 0.0) << "window " << c.window << ": in cache";
        EXPECT_EQ(inCache.x, separate.x) << "window " << c.window << ", reach " << c.reach;
        EXPECT_EQ(inCache.y, separate.y) << "window " << c.window << ", reach " << c.reach;
        EXPECT_EQ(inCache.confidence, separate.confidence) << "window " << c.window << ", reach " << c.reach;
        EXPECT_GE(countEqual(inCache.x, inCache.y, 2.0f, -2.0f), c.points / 2) << "a (1.6, -2.3) px shift";
    }
}

TEST(FFTPixelSearch, TiesKeepTheSmallerColumnAndOtherwiseFollowTheThreadTree) {
    REQUIRE_DEVICE();
    // One frame per case: equal correlations (zncc 0.5) at two shifts, zero elsewhere, uniform texture.
    PixelSearchParams p = paramsOf(3, 1, 70);
    p.maxV = 2;
    const FFTSearchLayout layout = tavro::fftSearchLayout(p, 1, 0, 1, 0);
    const int nx = layout.nx, frame = int(layout.frameReals);
    const std::vector<std::vector<std::pair<int, int>>> ties{
        {{10, 1}, {10, 3}},   // one row: the smaller column
        {{0, 2}, {64, 2}},    // threads 0 and 64 meet at stride 64: the lower keeps it
        {{1, 2}, {64, 2}},    // thread 64 climbs to slot 0, which beats slot 1 on a tie
        {{5, 2}, {133, 2}}};  // one thread scans both rows: the first one
    const int cases = int(ties.size()) + 2;
    Floats corr(size_t(cases) * frame, 0.0f), sum1(corr.size(), 0.0f), sum2(corr.size(), 1.0f);
    for (size_t c = 0; c < ties.size(); ++c)
        for (const auto& [row, column] : ties[c]) corr[c * frame + row * nx + column] = 0.5f * frame;
    std::fill(sum2.end() - frame, sum2.end(), 0.0f);  // last case: no shift has texture
    Floats invStd(cases, 1.0f);
    invStd[cases - 2] = 0.0f;  // flat reference
    const Floats blank(size_t(cases), 99.0f);
    DeviceArray<float> dCorr(corr), dSum1(sum1), dSum2(sum2), dInv(invStd), outX(blank), outY(blank), confidence(blank);
    ASSERT_EQ(tavro::detail::findPeaksOnFrames(dCorr.get(), dSum1.get(), dSum2.get(), dInv.get(), outX.get(),
                                               outY.get(), confidence.get(), p, cases),
              0);
    // Displacement = frame position - reach.
    EXPECT_EQ(outX.download(), Floats({-1.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f}));
    EXPECT_EQ(outY.download(), Floats({-60.0f, -70.0f, -6.0f, -65.0f, 0.0f, 0.0f}));
    EXPECT_EQ(confidence.download(), Floats({0.5f, 0.5f, 0.5f, 0.5f, -1.0f, -1.0f}));
}

TEST(PixelSearch, ProgressRunsToTheTotalAndCancellationEmptiesTheResult) {
    REQUIRE_DEVICE();
    const auto pair = shiftedPair(128, 1.0, 1.0);
    const PixelSearchParams p = paramsOf(11, 2, 3);
    std::vector<std::pair<uint64_t, uint64_t>> calls;
    const Outcome run = search(pair.reference, pair.deformed, p, [&](uint64_t done, uint64_t total) {
        calls.emplace_back(done, total);
        return true;
    });
    ASSERT_TRUE(run.ok) << run.error;
    const uint64_t n = uint64_t(run.result.gridWidth) * run.result.gridHeight;
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ(calls.front(), std::make_pair(uint64_t(0), n));
    EXPECT_EQ(calls.back(), std::make_pair(n, n));
    EXPECT_TRUE(std::is_sorted(calls.begin(), calls.end()));

    const Outcome cancelled =
        search(pair.reference, pair.deformed, p, [](uint64_t done, uint64_t) { return done == 0; });
    EXPECT_FALSE(cancelled.ok);
    EXPECT_EQ(cancelled.error, "");
    EXPECT_EQ(cancelled.result.gridWidth, 0);
    EXPECT_TRUE(cancelled.result.dispX.empty());
}

TEST(PixelSearch, RowRangeFillsOnlyItsRowsAndKeepsTheOthers) {
    REQUIRE_DEVICE();
    LogCapture log;
    const auto pair = shiftedPair(100, 2.0, 1.0);
    PixelDisplacementResult out;
    out.dispX.assign(16, 7.0f);
    out.dispY.assign(16, 7.0f);
    std::string error;
    ASSERT_TRUE(tavro::computePixelDisplacements(ImageSource(pair.reference.pixels.data()),
                                                 ImageSource(pair.deformed.pixels.data()), {100, 100},
                                                 paramsOf(21, 10, 20), out, error, {}, nullptr, 0, 0, 3, 2))
        << error;
    EXPECT_EQ(out.dispX, Floats({7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 2, 2, 2, 2}));
    EXPECT_EQ(out.dispY, Floats({7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 1, 1, 1, 1}));
    const auto gate = containing(log, "GATE phase=pixel fft=1 ");
    ASSERT_EQ(gate.size(), 1u);
    EXPECT_NE(gate[0].find(" rows=[3,4) path=resident"), std::string::npos) << gate[0];
}

// The whole-image result again through row strips, for a host and a device output.
void expectBandsEqual(const Outcome& whole, const Image& ref, const Image& def, const PixelSearchParams& p,
                      const char* expectedGate) {
    ASSERT_TRUE(whole.ok) << whole.error;
    LogCapture log;
    // Rows come from a provider, as in the worker, so that every strip is produced on its own.
    const ImageSource refRows([&](float* dst, int first, int end) {
        std::copy(ref.pixels.begin() + int64_t(first) * ref.width, ref.pixels.begin() + int64_t(end) * ref.width, dst);
    });
    const ImageSource defRows(def.pixels.data());
    tavro::DeviceBufferPool::instance().releaseAll();
    Outcome bands;
    bands.ok =
        tavro::computePixelDisplacements(refRows, defRows, {ref.width, ref.height}, p, bands.result, bands.error);
    ASSERT_TRUE(bands.ok) << bands.error;
    const auto gates = containing(log, "path=banded");
    ASSERT_FALSE(gates.empty());
    EXPECT_NE(gates.back().find(expectedGate), std::string::npos) << gates.back();
    EXPECT_EQ(bands.result.dispX, whole.result.dispX);
    EXPECT_EQ(bands.result.dispY, whole.result.dispY);

    tavro::DeviceBufferPool::instance().releaseAll();
    tavro::DevicePixelDisplacements device;
    std::string error;
    ASSERT_TRUE(tavro::computePixelDisplacementsToDevice(refRows, defRows, {ref.width, ref.height}, p, &device, error))
        << error;
    ASSERT_EQ(device.gridWidth * device.gridHeight, int(whole.result.dispY.size()));
    EXPECT_EQ(copyFromDevice(device.dDispY, whole.result.dispY.size()), whole.result.dispY);
}

TEST(PixelSearch, RowStripsUnderAnEnvironmentBudgetGiveTheWholeImageResult) {
    REQUIRE_DEVICE();
    // Wide enough that a 1 MiB budget holds about half of the grid rows per band.
    const auto pair = shiftedPair(480, -2.0, 3.0, 160);
    PixelSearchParams p = paramsOf(21, 4, 5);
    p.stepX = 24;
    const Outcome whole = search(pair.reference, pair.deformed, p);
    const ScopedEnv budget("TAVRO_TILE_BUDGET_MB", "1");
    expectBandsEqual(whole, pair.reference, pair.deformed, p, " budgetMB=1 (env) ");
}

TEST(BandedPixelSearch, StripsHoldGuidedSearchAreasCentredOnGuessesAtTheReach) {
    REQUIRE_DEVICE();
    // Guesses at the caller's reach of 4 and a guided range of 10 reach 14 rows above a point: the true shift of
    // -13 rows is found only if the strip of a band that starts mid-image holds them.
    const auto pair = shiftedPair(96, 0.0, -13.0);
    const PixelSearchParams full = paramsOf(7, 4, 4);
    PixelSearchParams fine = full;
    fine.maxU = fine.maxV = fine.searchUp = fine.searchDown = fine.searchLeft = fine.searchRight = 10;
    const int gridWidth = 21, gridHeight = 21, firstRow = 5;
    const std::vector<int> initX(gridWidth * gridHeight, 0), initY(initX.size(), -4);
    PixelDisplacementResult out;
    out.gridWidth = gridWidth, out.gridHeight = gridHeight;
    out.dispX.assign(initX.size(), 99.0f);
    out.dispY.assign(initX.size(), 99.0f);
    std::string error;
    ASSERT_TRUE(tavro::runBandedFFTPixelSearch(
        ImageSource(pair.reference.pixels.data()), ImageSource(pair.deformed.pixels.data()), {96, 96}, fine,
        gridWidth, gridHeight, tavro::SearchConfig{3, 3, 7, 7, 49}, firstRow, gridHeight, initX.size(),
        initX.size() * 4, &out, nullptr, error, {}, 1u << 30, true, initX.data(), initY.data(), &full))
        << error;
    const size_t first = size_t(firstRow) * gridWidth;
    EXPECT_EQ(countEqual(out.dispX, out.dispY, 0.0f, -13.0f, first), int(initX.size() - first));
    EXPECT_EQ(countEqual(out.dispX, out.dispY, 99.0f, 99.0f), int(first)) << "rows before the range untouched";
}

#if !defined(TAVRO_USE_CUDA)
// An empty pool on a CPU device of the given capacity; the default device afterwards.
struct ScopedDeviceMemory : tavro::subpixel_test::ScopedCpuDevice {
    explicit ScopedDeviceMemory(uint64_t bytes) : ScopedCpuDevice([bytes] {
        tavro::gpu::CpuDeviceSetup device;
        device.memoryBytes = bytes;
        return device;
    }()) {}
};

TEST(PixelSearch, SmallDeviceMemoryChoosesRowStripsWithTheSameResult) {
    const auto pair = shiftedPair(160, 2.0, -1.0);
    const PixelSearchParams p = paramsOf(17, 8, 4);
    const Outcome whole = search(pair.reference, pair.deformed, p);
    // Half of 512 KiB is the budget: bands of eight grid rows, batches of two points.
    const ScopedDeviceMemory device(512u << 10);
    expectBandsEqual(whole, pair.reference, pair.deformed, p, " budgetMB=0 freeVramMB=0 ");
}

TEST(PixelSearch, RealOutOfMemoryOnTheWholeImagePathFallsBackToStrips) {
    const auto pair = shiftedPair(128, 1.0, 2.0);
    const PixelSearchParams p = paramsOf(15, 4, 4);
    const Outcome expected = search(pair.reference, pair.deformed, p);
    ASSERT_TRUE(expected.ok) << expected.error;
    // The mask goes to the device only on the whole-image path; it cannot fit there, the strips can.
    const std::vector<uint8_t> mask(48u << 20, 1);
    const ScopedDeviceMemory device(32u << 20);
    const ScopedEnv budget("TAVRO_TILE_BUDGET_MB", "100000");
    LogCapture log;
    PixelDisplacementResult out;
    std::string error;
    ASSERT_TRUE(tavro::computePixelDisplacements(ImageSource(pair.reference.pixels.data()),
                                                 ImageSource(pair.deformed.pixels.data()), {128, 128}, p, out, error,
                                                 {}, mask.data(), 1 << 20, 48))
        << error;
    EXPECT_EQ(containing(log, "OOM_FALLBACK phase=pixel -> banded (budget 1GiB)").size(), 1u);
    EXPECT_EQ(out.dispX, expected.result.dispX);
    EXPECT_EQ(out.dispY, expected.result.dispY);
}
#endif

// The flag is process-wide: under ctest this case runs in a process of its own.
TEST(PixelSearch, ForcedOutOfMemoryFallsBackToStripsOnceInTheProcess) {
    REQUIRE_DEVICE();
    const auto pair = shiftedPair(128, -1.0, 2.0);
    const PixelSearchParams p = paramsOf(15, 6, 4);
    const Outcome expected = search(pair.reference, pair.deformed, p);
    LogCapture log;
    {
        const ScopedEnv disabled("TAVRO_FORCE_RESIDENT_OOM", "0x");
        ASSERT_TRUE(search(pair.reference, pair.deformed, p).ok);
        EXPECT_TRUE(containing(log, "OOM_FALLBACK").empty()) << "a value starting with 0 disables it";
    }
    const ScopedEnv forced("TAVRO_FORCE_RESIDENT_OOM", "1");
    for (int call = 0; call < 2; ++call) {
        const Outcome run = search(pair.reference, pair.deformed, p);
        ASSERT_TRUE(run.ok) << run.error;
        EXPECT_EQ(containing(log, "OOM_FALLBACK phase=pixel -> banded (budget 1GiB)").size(), 1u);
        EXPECT_EQ(run.result.dispX, expected.result.dispX);
        EXPECT_EQ(run.result.dispY, expected.result.dispY);
    }
}

TEST(HierarchicalSearch, CoarseSpacingAndEscalationRangeDefaultFromTheWindows) {
    REQUIRE_DEVICE();
    const auto pair = shiftedPair(144, 0.0, 0.0);
    for (const auto& [wx, wy, coarseRows, fineSearch] :
         {std::tuple{31, 21, "rows=[0,4)", "search: 93x83"}, std::tuple{11, 11, "rows=[0,12)", "search: 41x41"}}) {
        PixelSearchParams p = paramsOf(wx, 8, 4);
        p.windowSizeY = wy;
        p.hierarchical = true;
        LogCapture log;
        ::testing::internal::CaptureStdout();
        const Outcome run = search(pair.reference, pair.deformed, p);
        const std::string printed = ::testing::internal::GetCapturedStdout();
        ASSERT_TRUE(run.ok) << run.error;
        const auto gates = containing(log, "GATE phase=pixel");
        ASSERT_EQ(gates.size(), 2u);
        EXPECT_NE(gates[0].find(coarseRows), std::string::npos) << gates[0];  // coarse grid of spacing max(wx, wy)
        EXPECT_NE(printed.find(fineSearch), std::string::npos) << printed;    // window + 2 x escalation range
    }
}

TEST(HierarchicalSearch, EscalationRangesBeyondTheImageSearchNoFurther) {
    REQUIRE_DEVICE();
    const auto pair = shiftedPair(64, 2.0, -1.0);
    PixelSearchParams p = paramsOf(15, 16, 3);
    p.hierarchical = true;
    p.escalationSearchRange = 64;
    const Outcome imageWide = search(pair.reference, pair.deformed, p);
    ASSERT_TRUE(imageWide.ok) << imageWide.error;
    p.coarseStep = INT32_MAX;
    for (const int range : {100000, INT32_MAX}) {
        p.escalationSearchRange = range;
        const Outcome huge = search(pair.reference, pair.deformed, p);
        ASSERT_TRUE(huge.ok) << huge.error;
        EXPECT_EQ(huge.result.dispX, imageWide.result.dispX);
        EXPECT_EQ(huge.result.dispY, imageWide.result.dispY);
    }
}

TEST(HierarchicalSearch, GuessesRoundTheBlendedCoarseGridAndEscalationIncludesTheRange) {
    PixelDisplacementResult coarse;
    coarse.gridWidth = 2, coarse.gridHeight = 2;
    coarse.dispX = {0.0f, 3.0f, -1.0f, 0.0f};
    coarse.dispY = {-1.0f, -1.0f, -2.0f, -2.0f};
    std::vector<int32_t> x, y;
    tavro::detail::coarseGuesses(coarse, 4, 3, 5, 5, 10, x, y);  // every half coarse step, clamped at the edge
    EXPECT_EQ(x, std::vector<int32_t>({0, 2, 3, 3, -1, 1, 2, 2, -1, -1, 0, 0}));  // halves away from zero
    EXPECT_EQ(y, std::vector<int32_t>({-1, -1, -1, -1, -2, -2, -2, -2, -2, -2, -2, -2}));

    const Floats dx{4, 3, 0, 0, 0, NAN, 0}, dy{0, 0, -7, 0, 0, 0, 0}, score{1, 1, 1, 0.49f, 0.5f, 1, NAN};
    const std::vector<int> gx{-2, -2, 0, 0, 0, 0, 0}, gy{0, 0, -1, 0, 0, 0, 0};
    const auto list = tavro::detail::escalatedPoints(dx.data(), dy.data(), score.data(), gx.data(), gy.data(), 0, 7,
                                                     3, paramsOf(11, 4, 6), tavro::SearchConfig{5, 5, 20, 30, 121});
    EXPECT_EQ(list.indices, std::vector<int64_t>({0, 2, 3}));  // |dx - gx| = 6, |dy - gy| = 6, score below 0.5
    EXPECT_EQ(list.xs, std::vector<int32_t>({20, 28, 20}));
    EXPECT_EQ(list.ys, std::vector<int32_t>({30, 30, 34}));
}

TEST(HierarchicalSearch, PointsWhoseGuessIsOffEscalateToTheFullSearch) {
    REQUIRE_DEVICE();
    // Two rigid halves moving apart by 16 px: near the cut the coarse guesses blend the halves and a narrow guided
    // search misses, so only the full re-search of escalated points recovers +8 and -8 there. (Windows straddling
    // the cut, whose material partly vanishes, have no true answer and are left out.)
    tavro::testing::SpeckleOptions options;
    options.width = 520, options.height = 128, options.supersampling = 2, options.seed = 5;
    const Image texture = tavro::testing::SpeckleModel(options).render();
    Image ref(480, 128), def(480, 128);
    for (int y = 0; y < 128; ++y)
        for (int x = 0; x < 480; ++x) {
            ref.at(x, y) = texture.at(x + 20, y);
            def.at(x, y) = x < 240 ? texture.at(x + 12, y) : texture.at(x + 28, y);
        }
    PixelSearchParams p = paramsOf(21, 4, 10);
    p.stepX = 8;
    const Outcome full = search(ref, def, p);
    p.hierarchical = true;
    p.coarseStep = 24;
    p.escalationSearchRange = 2;
    const Outcome guided = search(ref, def, p);
    ASSERT_TRUE(full.ok && guided.ok) << full.error << guided.error;
    int nearCut = 0;
    for (size_t i = 0; i < guided.result.dispX.size(); ++i) {
        const int x = 20 + int(i % guided.result.gridWidth) * 8;
        if (x > 221 && x < 258) continue;
        const float truth = x < 240 ? 8.0f : -8.0f;
        EXPECT_EQ(full.result.dispX[i], truth) << "point " << i;
        EXPECT_EQ(std::make_pair(guided.result.dispX[i], guided.result.dispY[i]), std::make_pair(truth, 0.0f)) << i;
        nearCut += std::abs(x - 240) < 40;
    }
    EXPECT_GT(nearCut, 0);
    // Row strips escalate band by band, with the points' rows inside each strip.
    const ScopedEnv budget("TAVRO_TILE_BUDGET_MB", "1");
    expectBandsEqual(guided, ref, def, p, " budgetMB=1 (env) ");
}

// The window's defaults (61 px windows, escalation range 61): the fine pass's 192 x 192 frames go through the
// in-cache kernel, and every point, escalated ones and those near the border included, keeps the batched answer.
TEST(HierarchicalSearch, WindowDefaultsGiveTheBatchedFinePassAnswerInCache) {
    REQUIRE_DEVICE();
    // Two halves moving apart by 6 px: the coarse guesses disagree across the cut.
    tavro::testing::SpeckleOptions options;
    options.width = 360, options.height = 176, options.supersampling = 2, options.seed = 8;
    const Image texture = tavro::testing::SpeckleModel(options).render();
    Image ref(320, 176), def(320, 176);
    for (int y = 0; y < 176; ++y)
        for (int x = 0; x < 320; ++x) {
            ref.at(x, y) = texture.at(x + 20, y);
            def.at(x, y) = x < 160 ? texture.at(x + 17, y) : texture.at(x + 23, y);
        }
    PixelSearchParams p = paramsOf(61, 8, 6);
    p.hierarchical = true;
    tavro::detail::setSearchPhaseTiming(true);
    tavro::detail::resetSearchPhaseTimes();
    const Outcome tiled = search(ref, def, p);
    const double tiledSeconds = tavro::detail::searchPhaseTimes().tiled;
    tavro::detail::setTiledSearch(false);
    tavro::detail::resetSearchPhaseTimes();
    const Outcome inCache = search(ref, def, p);
    const double inCacheSeconds = tavro::detail::searchPhaseTimes().inCache;
    tavro::detail::setInCacheSearch(false);
    const Outcome batched = search(ref, def, p);
    tavro::detail::setInCacheSearch(true);
    tavro::detail::setTiledSearch(true);
    tavro::detail::setSearchPhaseTiming(false);
    ASSERT_TRUE(tiled.ok && inCache.ok && batched.ok) << tiled.error << inCache.error << batched.error;
    EXPECT_GT(tiledSeconds, 0.0);
    EXPECT_GT(inCacheSeconds, 0.0);
    EXPECT_EQ(inCache.result.dispX, batched.result.dispX);
    EXPECT_EQ(inCache.result.dispY, batched.result.dispY);
    EXPECT_EQ(tiled.result.dispX, inCache.result.dispX);
    EXPECT_EQ(tiled.result.dispY, inCache.result.dispY);
    EXPECT_GT(countEqual(inCache.result, 3.0f, 0.0f), 40);
    EXPECT_GT(countEqual(inCache.result, -3.0f, 0.0f), 40);
}

TEST(HierarchicalSearch, ProgressSharesTheRangeAndCancellingTheCoarsePassStops) {
    REQUIRE_DEVICE();
    const auto pair = shiftedPair(128, 2.0, 1.0);
    PixelSearchParams p = paramsOf(11, 3, 4);
    p.hierarchical = true;
    std::vector<uint64_t> done;
    uint64_t total = 0;
    const Outcome run = search(pair.reference, pair.deformed, p, [&](uint64_t d, uint64_t t) {
        done.push_back(d), total = t;
        return true;
    });
    ASSERT_TRUE(run.ok) << run.error;
    EXPECT_EQ(total, uint64_t(run.result.gridWidth) * run.result.gridHeight);
    EXPECT_TRUE(std::is_sorted(done.begin(), done.end()));
    EXPECT_EQ(done.back(), total);
    EXPECT_NE(std::find(done.begin(), done.end(), uint64_t(0.15 * double(total))), done.end()) << "coarse pass end";

    LogCapture log;
    uint64_t highest = 0;
    const Outcome cancelled = search(pair.reference, pair.deformed, p, [&](uint64_t d, uint64_t) {
        highest = std::max(highest, d);
        return false;
    });
    EXPECT_FALSE(cancelled.ok);
    EXPECT_EQ(cancelled.error, "Hierarchical coarse pass failed: ");
    EXPECT_EQ(highest, 0u);
    EXPECT_EQ(containing(log, "GATE phase=pixel").size(), 1u) << "the fine pass never starts";
}

} // namespace

namespace {

struct GridSearch {
    Floats x, y, confidence;
};

// Guided grid points [first, end) of a gridWidth-wide grid laid out by config, through the search's entry; the
// outputs start at 99 so that points outside the range show.
GridSearch searchGrid(const Image& ref, const Image& def, const PixelSearchParams& p, const tavro::SearchConfig& config,
                      int gridWidth, int gridHeight, const std::vector<int>& gx, const std::vector<int>& gy,
                      int64_t first, int64_t end, bool tiled) {
    const size_t n = gx.size();
    const Floats blank(n, 99.0f);
    DeviceArray<float> dRef(ref.pixels), dDef(def.pixels), outX(blank), outY(blank), confidence(blank);
    DeviceArray<int> ix(gx), iy(gy);
    std::string error;
    bool cancelled = false;
    tavro::detail::setTiledSearch(tiled);
    EXPECT_TRUE(tavro::runFFTPixelSearch(dRef.get(), dDef.get(), nullptr, 0, 0, {ref.width, ref.height}, p, config,
                                         gridWidth, gridHeight, n, outX.get(), outY.get(), error, {}, &cancelled,
                                         first, end, ix.get(), iy.get(), nullptr, nullptr, confidence.get(), 0))
        << error;
    tavro::detail::setTiledSearch(true);
    return {outX.download(), outY.download(), confidence.download()};
}

} // namespace

TEST(TiledSearch, GuidedGridPointsGetTheTransformSearchsAnswersEverywhere) {
    REQUIRE_DEVICE();
    // Windows and steps of two shapes, ranges of four lengths, reference windows and search areas cut by every
    // side of the image, flat reference patches (integral and fractional grey), a flat deformed patch, guesses
    // that scatter around the motion with a few far off (so a tile's shifts span more than one range), a range
    // of points that starts and ends inside grid rows, and rows of shifts that fill the CPU's passes of three rows
    // or leave one or two over.
    auto pair = shiftedPair(150, 2.4, -1.3, 130, 21);
    for (int y = 40; y < 60; ++y)
        for (int x = 30; x < 50; ++x) {
            pair.reference.at(x, y) = 100.0f;
            pair.reference.at(x + 60, y + 30) = 117.3f;
        }
    for (int y = 80; y < 115; ++y)
        for (int x = 20; x < 60; ++x) pair.deformed.at(x, y) = 93.7f;
    PixelSearchParams p;
    p.windowSizeX = 15, p.windowSizeY = 11, p.stepX = 3, p.stepY = 4, p.maxU = 9, p.maxV = 12;
    p.searchUp = 9, p.searchLeft = 12, p.searchRight = 7;
    tavro::SearchConfig config;
    config.marginX = 4, config.marginY = 3;
    const int gridWidth = 49, gridHeight = 32, points = gridWidth * gridHeight;
    std::vector<int> gx(points), gy(points);
    for (int i = 0; i < points; ++i) {
        gx[i] = 2 + (i * 7) % 5 - 2 + (i % 97 == 0 ? 17 : 0);
        gy[i] = -1 + (i * 3) % 3 - 1 - (i % 89 == 0 ? 13 : 0);
    }
    const int64_t first = 37, end = points - 20;
    for (int down : {5, 6, 7}) {
        SCOPED_TRACE("down " + std::to_string(down));
        p.searchDown = down;
        const GridSearch tiled = searchGrid(pair.reference, pair.deformed, p, config, gridWidth, gridHeight, gx, gy,
                                            first, end, true);
        const GridSearch frames = searchGrid(pair.reference, pair.deformed, p, config, gridWidth, gridHeight, gx, gy,
                                             first, end, false);
        int flat = 0, found = 0;
        for (int i = 0; i < points; ++i) {
            const bool inRange = i >= first && i < end;
            if (!inRange) {
                EXPECT_EQ(std::make_tuple(tiled.x[i], tiled.y[i], tiled.confidence[i]),
                          std::make_tuple(99.0f, 99.0f, 99.0f))
                    << "point " << i << " lies outside the range";
                continue;
            }
            EXPECT_EQ(std::make_pair(tiled.x[i], tiled.y[i]), std::make_pair(frames.x[i], frames.y[i]))
                << "point " << i;
            if (frames.confidence[i] == -1.0f) {
                EXPECT_EQ(tiled.confidence[i], -1.0f) << "point " << i;
                ++flat;
            } else {
                EXPECT_NEAR(tiled.confidence[i], frames.confidence[i], 2e-4f) << "point " << i;
                found += tiled.x[i] == 2.0f && tiled.y[i] == -1.0f;
            }
        }
        EXPECT_GT(flat, 10) << "flat windows and textureless areas keep their guess";
        EXPECT_GT(found, points / 2) << "most points find the (2.4, -1.3) px motion";
    }
}

#if !defined(TAVRO_USE_CUDA)
TEST(TiledSearch, ADeviceWithoutRoomForItsSumsSearchesByTransformsInstead) {
    REQUIRE_DEVICE();
    const auto pair = shiftedPair(160, 2.0, -1.0);
    PixelSearchParams p = paramsOf(21, 4, 3);
    p.hierarchical = true;
    const Outcome whole = search(pair.reference, pair.deformed, p);
    const ScopedDeviceMemory device(512u << 10);
    const Outcome small = search(pair.reference, pair.deformed, p);
    ASSERT_TRUE(whole.ok && small.ok) << whole.error << small.error;
    EXPECT_EQ(small.result.dispX, whole.result.dispX);
    EXPECT_EQ(small.result.dispY, whole.result.dispY);
}
#endif

TEST(TiledSearch, ProgressRunsToTheEndOfTheRangeAndCancellingStopsBetweenLaunches) {
    REQUIRE_DEVICE();
    // More tiles than one launch holds on up to 16 processors, so that progress is told between launches.
    const auto pair = shiftedPair(400, 1.0, 1.0, 700);
    PixelSearchParams p = paramsOf(9, 2, 3);
    tavro::SearchConfig config;
    config.marginX = config.marginY = 8;
    const int gridWidth = 190, gridHeight = 340, points = gridWidth * gridHeight;
    const std::vector<int> guesses(points, 1);
    DeviceArray<float> dRef(pair.reference.pixels), dDef(pair.deformed.pixels);
    DeviceArray<float> outX(Floats(points, 99.0f)), outY(Floats(points, 99.0f));
    DeviceArray<int> ix(guesses), iy(guesses);
    const auto run = [&](int stopAfter, std::vector<uint64_t>& told, bool& cancelled) {
        std::string error;
        cancelled = false;
        return tavro::runFFTPixelSearch(dRef.get(), dDef.get(), nullptr, 0, 0, {400, 700}, p, config, gridWidth,
                                        gridHeight, points, outX.get(), outY.get(), error,
                                        [&](uint64_t done, uint64_t total) {
                                            EXPECT_EQ(total, uint64_t(points));
                                            told.push_back(done);
                                            return int(told.size()) < stopAfter;
                                        },
                                        &cancelled, 100, points - 100, ix.get(), iy.get(), nullptr, nullptr,
                                        nullptr, 0);
    };
    std::vector<uint64_t> whole, stopped;
    bool cancelled = false;
    ASSERT_TRUE(run(1 << 20, whole, cancelled));
    EXPECT_FALSE(cancelled);
    ASSERT_GE(whole.size(), 2u);
    EXPECT_TRUE(std::is_sorted(whole.begin(), whole.end()));
    EXPECT_EQ(whole.back(), uint64_t(points - 100));
    EXPECT_EQ(countEqual(outX.download(), outY.download(), 1.0f, 1.0f, 100), points - 200);
    EXPECT_FALSE(run(2, stopped, cancelled));
    EXPECT_TRUE(cancelled);
    EXPECT_EQ(stopped.size(), 2u) << "no progress is told after the search was cancelled";
}
