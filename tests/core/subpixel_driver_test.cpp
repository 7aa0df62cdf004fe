// How the refinement is driven: input checks, outputs, the memory gate and
// its two paths, the shared-memory fallback, bands, cancellation, the device
// start and the discontinuity route.

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "core/gpu_common.h"
#include "gpu/runtime.h"
#include "subpixel_test_support.h"

namespace tavro::subpixel_test {
namespace {

TEST(SubpixelDriver, InputsAreCheckedInOrderBeforeAnyWork) {
    const GridLayout grid(64, 64, 11, 8, 2);
    const testing::Image image = wavePattern(64, 64);
    const ImageSource source(image.pixels.data());
    const PixelDisplacementResult start = grid.start(testing::translationField(0.0, 0.0));
    struct Case {
        const char* expected;
        std::function<void(ImageSource&, ImageSize&, PixelSearchParams&, SubpixelParams&,
                           PixelDisplacementResult&)>
            spoil;
    };
    // The search's own checks come first, as the pixel search's tests show.
    const Case cases[] = {
        {"Images invalides (pointeurs nuls).", [](auto& ref, auto&, auto&, auto&, auto&) { ref = ImageSource(); }},
        {"Number of iterations must be positive.", [](auto&, auto&, auto&, auto& s, auto&) { s.maxIterations = 0; }},
        {"Convergence tolerance must be positive.",
         [](auto&, auto&, auto&, auto& s, auto&) { s.convergenceTolerance = 0.0f; }},
        {"Invalid pixel-accuracy results.", [](auto&, auto&, auto&, auto&, auto& r) { r.gridHeight = 0; }},
        {"Inconsistent pixel-accuracy displacement size.",
         [](auto&, auto&, auto&, auto&, auto& r) { r.dispY.pop_back(); }},
        {"Window or search area too large for image.", [](auto&, auto&, auto& p, auto&, auto&) { p.maxU = 70; }},
        {"Pixel-accuracy grid does not match provided parameters.",
         [](auto&, auto&, auto& p, auto&, auto&) { p.stepX = 7; }},
    };
    for (const Case& c : cases) {
        ImageSource ref(image.pixels.data());
        ImageSize size = grid.size;
        PixelSearchParams params = grid.params;
        SubpixelParams subpixel = refinement(1, true);
        PixelDisplacementResult pixel = start;
        c.spoil(ref, size, params, subpixel, pixel);
        PixelDisplacementResult out;
        out.gridWidth = 3;
        std::string error;
        EXPECT_FALSE(computeSubpixelDisplacements(ref, source, size, params, pixel, subpixel, out, error, {}, nullptr,
                                                  0, 0, 0, -1));
        EXPECT_EQ(error, c.expected);
        EXPECT_EQ(out.gridWidth, 3) << "a refused call leaves the output alone";
    }

    DevicePixelDisplacements device;
    device.gridWidth = grid.gridWidth;
    device.gridHeight = grid.gridHeight;
    PixelDisplacementResult out;
    std::string error;
    EXPECT_FALSE(computeSubpixelDisplacements(source, source, grid.size, grid.params, device, refinement(1, true), out,
                                              error, {}, nullptr, 0, 0));
    EXPECT_EQ(error, "Pixel-accuracy results on GPU unavailable.");
}

#if !defined(TAVRO_USE_CUDA)

bool refineInto(const GridLayout& grid, const ImageSource& ref, const ImageSource& def,
                const PixelDisplacementResult& start, const SubpixelParams& params, PixelDisplacementResult& out,
                std::string& error, SubpixelProgress progress = {}, int rowStart = 0, int rowCount = -1) {
    return computeSubpixelDisplacements(ref, def, grid.size, grid.params, start, params, out, error,
                                        std::move(progress), nullptr, 0, 0, rowStart, rowCount);
}

// A start left on the device by the pixel search, built here from pool leases.
TEST(SubpixelDriver, DeviceStartGivesTheSameFieldsAsAHostStart) {
    const GridLayout grid(96, 96, 15, 8, 2);
    const testing::Image reference = wavePattern(96, 96), deformed = wavePattern(96, 96, -0.35, 0.45);
    const PixelDisplacementResult start = grid.start(testing::translationField(-0.35, 0.45));
    const PixelDisplacementResult fromHost = refine(grid, reference, deformed, start, refinement(1, true));

    DevicePixelDisplacements device;
    device.gridWidth = grid.gridWidth;
    device.gridHeight = grid.gridHeight;
    const uint64_t bytes = uint64_t(grid.count()) * 4;
    ASSERT_EQ(DeviceBufferPool::instance().acquire(bytes, device.leaseX), 0);
    ASSERT_EQ(DeviceBufferPool::instance().acquire(bytes, device.leaseY), 0);
    device.dDispX = device.leaseX.as<float>();
    device.dDispY = device.leaseY.as<float>();
    ASSERT_EQ(cudaMemcpy(device.dDispX, start.dispX.data(), bytes, cudaMemcpyHostToDevice), cudaSuccess);
    ASSERT_EQ(cudaMemcpy(device.dDispY, start.dispY.data(), bytes, cudaMemcpyHostToDevice), cudaSuccess);
    PixelDisplacementResult fromDevice;
    std::string error;
    const ImageSource ref(reference.pixels.data()), def(deformed.pixels.data());
    ASSERT_TRUE(computeSubpixelDisplacements(ref, def, grid.size, grid.params, device, refinement(1, true), fromDevice,
                                             error, {}, nullptr, 0, 0))
        << error;
    expectSameFields(fromHost, fromDevice);
}

TEST(SubpixelDriver, WholeGridCallWithoutGradientsDropsThoseOfAnEarlierCall) {
    const GridLayout grid(80, 80, 15, 8, 2);
    const testing::Image reference = wavePattern(80, 80), deformed = wavePattern(80, 80, 0.2, 0.1);
    const PixelDisplacementResult start = grid.start(testing::translationField(0.2, 0.1));
    const ImageSource ref(reference.pixels.data()), def(deformed.pixels.data());
    PixelDisplacementResult out;
    std::string error;
    ASSERT_TRUE(refineInto(grid, ref, def, start, refinement(1, true), out, error));
    ASSERT_EQ(out.duDx.size(), size_t(grid.count()));

    // A band call leaves them: the multi-GPU layer sized the shared output for its run.
    ASSERT_TRUE(refineInto(grid, ref, def, start, refinement(1, false), out, error, {}, 1, 2));
    EXPECT_EQ(out.duDx.size(), size_t(grid.count()));
    ASSERT_TRUE(refineInto(grid, ref, def, start, refinement(1, false), out, error));
    EXPECT_TRUE(out.duDx.empty() && out.duDy.empty() && out.dvDx.empty() && out.dvDy.empty());
    EXPECT_EQ(out.dispX.size(), size_t(grid.count()));
}

TEST(SubpixelDriver, BandCallWritesOnlyItsRowsAndKeepsTheOutputSize) {
    const GridLayout grid(96, 96, 15, 8, 2);
    const testing::Image reference = wavePattern(96, 96), deformed = wavePattern(96, 96, 0.25, -0.15);
    const PixelDisplacementResult start = grid.start(testing::translationField(0.25, -0.15));
    const ImageSource ref(reference.pixels.data()), def(deformed.pixels.data());
    PixelDisplacementResult out;
    out.gridWidth = grid.gridWidth;
    out.gridHeight = grid.gridHeight;
    for (std::vector<float>* field : {&out.dispX, &out.dispY, &out.duDx, &out.duDy, &out.dvDx, &out.dvDy})
        field->assign(size_t(grid.count()), 777.0f);
    const float* before = out.dispX.data();
    std::string error;
    ASSERT_TRUE(refineInto(grid, ref, def, start, refinement(1, true), out, error, {}, 3, 2));
    EXPECT_EQ(out.dispX.data(), before) << "a pre-sized output is not reallocated";
    const PixelDisplacementResult whole = refine(grid, reference, deformed, start, refinement(1, true));
    for (int i = 0; i < grid.count(); ++i) {
        const int row = i / grid.gridWidth;
        if (row == 3 || row == 4) {
            EXPECT_EQ(out.dispX[i], whole.dispX[i]);
            EXPECT_EQ(out.dvDy[i], whole.dvDy[i]);
        } else {
            EXPECT_EQ(out.dispX[i], 777.0f);
            EXPECT_EQ(out.dvDy[i], 777.0f);
        }
    }
}

// Progress is consulted before the first launch and after each launch of at
// most 4096 points; false stops the call.
TEST(SubpixelDriver, CancellationStopsBetweenLaunchesAndEmptiesAWholeGridOutput) {
    const GridLayout grid(128, 128, 11, 1, 1);  // 13456 points: four launches
    const testing::Image reference = wavePattern(128, 128), deformed = wavePattern(128, 128, 0.1, 0.1);
    const PixelDisplacementResult start = grid.start(testing::translationField(0.0, 0.0));
    const ImageSource ref(reference.pixels.data()), def(deformed.pixels.data());
    const uint64_t total = uint64_t(grid.count());

    std::vector<std::pair<uint64_t, uint64_t>> seen;
    PixelDisplacementResult out;
    std::string error = "stale";
    const bool ok = refineInto(grid, ref, def, start, refinement(0, false, 3), out, error,
                               [&](uint64_t done, uint64_t all) {
                                   seen.emplace_back(done, all);
                                   return seen.size() < 2;
                               });
    EXPECT_FALSE(ok);
    EXPECT_EQ(error, "");
    EXPECT_EQ(seen, (std::vector<std::pair<uint64_t, uint64_t>>{{0, total}, {4096, total}}));
    EXPECT_EQ(out.gridWidth, 0);
    EXPECT_EQ(out.gridHeight, 0);
    EXPECT_TRUE(out.dispX.empty() && out.dispY.empty() && out.duDx.empty());

    // A band keeps the shared output as it was.
    PixelDisplacementResult band;
    band.gridWidth = grid.gridWidth;
    band.gridHeight = grid.gridHeight;
    band.dispX.assign(size_t(total), 5.0f);
    band.dispY.assign(size_t(total), 5.0f);
    EXPECT_FALSE(refineInto(grid, ref, def, start, refinement(0, false), band, error,
                            [](uint64_t, uint64_t) { return false; }, 10, 5));
    EXPECT_EQ(error, "");
    EXPECT_EQ(band.dispX.size(), size_t(total));
    EXPECT_EQ(band.dispX[size_t(10 * grid.gridWidth)], 5.0f);
}

TEST(SubpixelDriver, ResultsDoNotDependOnTheNumberOfCpuThreads) {
    const GridLayout grid(96, 96, 15, 6, 2);
    const testing::Image reference = wavePattern(96, 96), deformed = wavePattern(96, 96, 0.6, -0.45);
    const PixelDisplacementResult start = grid.start(testing::translationField(0.6, -0.45));
    PixelDisplacementResult one, several;
    {
        ScopedCpuDevice device(gpu::CpuDeviceSetup{}, 1);
        one = refine(grid, reference, deformed, start, refinement(2, true));
    }
    {
        ScopedCpuDevice device(gpu::CpuDeviceSetup{}, 5);
        several = refine(grid, reference, deformed, start, refinement(2, true));
    }
    expectSameFields(one, several);
}

// 65 x 65 samples need 50,700 bytes: above the default 48 KiB, within the
// opt-in limit of the default CPU device, beyond a device without opt-in. And
// 63 x 65 samples need 49,140 bytes, within 48 KiB, but the kernel's own block
// scalars and reduction slots do not fit beside them.
TEST(SubpixelDriver, WindowsBeyondSharedMemoryUseTheGlobalSamplesBufferWithEqualResults) {
    const GridLayout grid(128, 128, 65, 16, 1);
    const testing::Image reference = wavePattern(128, 128), deformed = wavePattern(128, 128, 0.3, 0.7);
    const PixelDisplacementResult start = grid.start(testing::translationField(0.3, 0.7));
    ::testing::internal::CaptureStdout();
    const PixelDisplacementResult shared = refine(grid, reference, deformed, start, refinement(1, true));
    EXPECT_NE(::testing::internal::GetCapturedStdout().find(
                  "[Subpixel] Using extended shared memory: 50700 bytes (window 65x65)\n"),
              std::string::npos);

    gpu::CpuDeviceSetup noOptIn;
    noOptIn.sharedMemPerBlockOptin = 49152;
    ScopedCpuDevice device(noOptIn);
    ::testing::internal::CaptureStdout();
    const PixelDisplacementResult global = refine(grid, reference, deformed, start, refinement(1, true));
    EXPECT_NE(::testing::internal::GetCapturedStdout().find(
                  "[Subpixel] Window size 65x65 exceeds shared memory limits. Using global memory fallback (may be "
                  "~10-20% slower).\n"),
              std::string::npos);
    expectSameFields(shared, global);

    const GridLayout narrow(128, 128, 63, 65, 16, 1);
    ::testing::internal::CaptureStdout();
    refine(narrow, reference, deformed, narrow.start(testing::translationField(0.3, 0.7)), refinement(1, false, 4));
    EXPECT_NE(::testing::internal::GetCapturedStdout().find(
                  "[Subpixel] Window size 63x65 exceeds shared memory limits."),
              std::string::npos);
}

struct BandedRun {
    PixelDisplacementResult out;
    std::vector<std::string> log;
};

// 384 x 384 floats are 576 KiB per image, so a 1 MiB budget forces strips.
BandedRun runWithBudget(const char* budgetMb, int interpolation, bool providers) {
    const GridLayout grid(384, 384, 21, 12, 3);
    static const testing::Image reference = wavePattern(384, 384), deformed = wavePattern(384, 384, 0.45, -0.3);
    const auto rowsOf = [](const testing::Image& image) {
        return ImageSource(ImageSource::RowProvider([&image](float* dst, int first, int end) {
            std::copy(image.pixels.begin() + ptrdiff_t(first) * image.width,
                      image.pixels.begin() + ptrdiff_t(end) * image.width, dst);
        }));
    };
    const ImageSource ref = providers ? rowsOf(reference) : ImageSource(reference.pixels.data());
    const ImageSource def = providers ? rowsOf(deformed) : ImageSource(deformed.pixels.data());
    std::vector<uint8_t> mask(384 * 384, 1);
    mask[size_t(grid.y(40)) * 384 + size_t(grid.x(40))] = 0;
    ScopedEnv budget("TAVRO_TILE_BUDGET_MB", budgetMb);
    LogCapture capture;
    BandedRun run;
    std::string error;
    EXPECT_TRUE(computeSubpixelDisplacements(ref, def, grid.size, grid.params,
                                             grid.start(testing::translationField(0.45, -0.3)),
                                             refinement(interpolation, true), run.out, error, {}, mask.data(), 384,
                                             384, 0, -1))
        << error;
    run.log = capture.lines();
    return run;
}

// Strip coordinates are smaller than image coordinates, so warped positions
// round differently in the last bits: the fields agree to a millionth of a pixel.
TEST(SubpixelDriver, BandedPathGivesTheResidentPathsFields) {
    const BandedRun resident = runWithBudget("1000", 1, false);
    const BandedRun banded = runWithBudget("1", 1, false);
    ASSERT_EQ(resident.log.size(), 1u);
    EXPECT_EQ(resident.log[0].substr(resident.log[0].size() - 14), " path=resident");
    ASSERT_EQ(banded.log.size(), 1u);
    EXPECT_EQ(banded.log[0].rfind("GATE phase=subpixel affine=1 footprintMB=1 budgetMB=1 (env) ", 0), 0u)
        << banded.log[0];
    EXPECT_EQ(banded.log[0].substr(banded.log[0].size() - 12), " path=banded");
    expectSameFields(resident.out, banded.out, 2e-5);
    EXPECT_TRUE(std::isnan(banded.out.dispX[40]));

    // Row providers: each strip is prefiltered by itself with an apron of
    // rows, close to the whole image's coefficients.
    const BandedRun wholeSpline = runWithBudget("1000", 2, true);
    const BandedRun stripSpline = runWithBudget("1", 2, true);
    for (size_t i = 0; i < wholeSpline.out.dispX.size(); ++i) {
        if (i == 40) continue;
        EXPECT_NEAR(stripSpline.out.dispX[i], wholeSpline.out.dispX[i], 1e-4) << i;
        EXPECT_NEAR(stripSpline.out.dvDy[i], wholeSpline.out.dvDy[i], 1e-5) << i;
    }
}

TEST(SubpixelDriver, ForcedOutOfMemoryFallsBackToStripsOncePerProcess) {
    const GridLayout grid(96, 96, 15, 8, 2);
    const testing::Image reference = wavePattern(96, 96), deformed = wavePattern(96, 96, 0.4, 0.4);
    const PixelDisplacementResult start = grid.start(testing::translationField(0.4, 0.4));
    const PixelDisplacementResult expected = refine(grid, reference, deformed, start, refinement(1, true));
    ScopedEnv force("TAVRO_FORCE_RESIDENT_OOM", "1");
    LogCapture capture;
    const PixelDisplacementResult first = refine(grid, reference, deformed, start, refinement(1, true));
    EXPECT_EQ(capture.count("OOM_FALLBACK phase=subpixel -> banded (budget 1GiB)"), 1);
    const PixelDisplacementResult second = refine(grid, reference, deformed, start, refinement(1, true));
    EXPECT_EQ(capture.count("OOM_FALLBACK"), 1);
    expectSameFields(expected, first);
    expectSameFields(expected, second);
}

// A hierarchical search finds displacements up to its range plus the
// escalation range (here 2 + 15 rows): strips must hold those starts' subsets
// as the whole image does, for the first-order and the discontinuity route.
TEST(SubpixelDriver, HierarchicalStartsBeyondTheRangeGiveTheSamePointsInStrips) {
    GridLayout grid(256, 256, 21, 8, 2);
    grid.params.hierarchical = true;
    grid.params.escalationSearchRange = 15;
    const testing::Image reference = wavePattern(256, 256), deformed = wavePattern(256, 256, 0.3, 14.4);
    const PixelDisplacementResult start = grid.start(testing::translationField(0.3, 14.4));
    for (const bool heaviside : {false, true}) {
        SubpixelParams params = refinement(1, true);
        params.heaviside = heaviside;
        const PixelDisplacementResult resident = refine(grid, reference, deformed, start, params);
        gpu::CpuDeviceSetup small;
        small.memoryBytes = 320 * 1024;
        ScopedCpuDevice device(small);
        LogCapture capture;
        const PixelDisplacementResult banded = refine(grid, reference, deformed, start, params);
        EXPECT_NE(capture.lines().at(0).find(" path=banded"), std::string::npos);
        // Strip coordinates round warped positions differently in the last bits.
        expectSameFields(resident, banded, 2e-5);
        EXPECT_EQ(std::count_if(banded.dispY.begin(), banded.dispY.end(), [](float v) { return std::isfinite(v); }),
                  grid.gridWidth * (grid.gridHeight - 1))
            << "only the last row's subsets leave the image";
    }
}

// Sizes near the int32 limit: a range is refused as too large, and a step or
// an escalation range that large leaves one grid point, refined on either path.
TEST(SubpixelDriver, Int32LimitSizesAreRefusedOrGiveOnePointWithoutOverflow) {
    const testing::Image reference = wavePattern(384, 384), deformed = wavePattern(384, 384, 0.25, -0.4);
    const ImageSource ref(reference.pixels.data()), def(deformed.pixels.data());
    PixelSearchParams params = GridLayout(384, 384, 21, 8, 2).params;
    PixelDisplacementResult start;
    start.gridWidth = start.gridHeight = 1;
    start.dispX = start.dispY = {0.0f};
    std::string error;
    const auto run = [&](PixelDisplacementResult& out) {
        return computeSubpixelDisplacements(ref, def, {384, 384}, params, start, refinement(1, true), out, error, {},
                                            nullptr, 0, 0, 0, -1);
    };
    PixelDisplacementResult resident, banded;
    for (int32_t* range : {&params.maxU, &params.maxV}) {
        const int32_t kept = std::exchange(*range, INT32_MAX);
        EXPECT_FALSE(run(resident));
        EXPECT_EQ(error, "Window or search area too large for image.");
        *range = kept;
    }
    params.stepX = params.stepY = INT32_MAX;
    params.hierarchical = true;
    params.escalationSearchRange = INT32_MAX;
    ASSERT_TRUE(run(resident)) << error;
    EXPECT_NEAR(resident.dispX[0], 0.25, 0.01);
    ScopedEnv budget("TAVRO_TILE_BUDGET_MB", "1");
    ASSERT_TRUE(run(banded)) << error;
    expectSameFields(resident, banded, 2e-5);
}

// A 701 px window needs 5.9 MB of samples per point, beyond any shared memory:
// launches take no more points than there are (4) and than the free memory
// holds (one at a time here), both routes alike.
TEST(SubpixelDriver, LargeWindowsSizeTheirSampleBufferByPointsAndMemory) {
    const GridLayout grid(1024, 1024, 701, 160, 2);
    ASSERT_EQ(grid.count(), 4);
    const testing::Image reference = wavePattern(1024, 1024), deformed = wavePattern(1024, 1024, 0.35, -0.2);
    const PixelDisplacementResult start = grid.start(testing::translationField(0.35, -0.2));
    gpu::CpuDeviceSetup device;
    device.memoryBytes = 24u << 20;
    ScopedCpuDevice scoped(device);
    for (const bool heaviside : {false, true}) {
        SubpixelParams params = refinement(1, true, 10);
        params.heaviside = heaviside;
        ::testing::internal::CaptureStdout();
        const PixelDisplacementResult out = refine(grid, reference, deformed, start, params);
        ::testing::internal::GetCapturedStdout();
        for (int i = 0; i < grid.count(); ++i) {
            EXPECT_NEAR(out.dispX.at(size_t(i)), 0.35, 0.01) << i;
            EXPECT_NEAR(out.dispY.at(size_t(i)), -0.2, 0.01) << i;
        }
    }
}

#endif

// The first-order pass reports the first half of the progress, the enriched
// engine the second.
TEST(SubpixelDriver, DiscontinuityRouteRefinesFirstOrderThenCallsTheEnrichedEngine) {
    SUBPIXEL_REQUIRE_DEVICE();
    const GridLayout grid(64, 64, 11, 8, 2);
    const testing::Image reference = wavePattern(64, 64), deformed = wavePattern(64, 64, 0.2, 0.2);
    const ImageSource ref(reference.pixels.data()), def(deformed.pixels.data());
    SubpixelParams params = refinement(1, false);
    params.heaviside = true;
    std::vector<std::pair<uint64_t, uint64_t>> seen;
    PixelDisplacementResult out;
    std::string error;
    EXPECT_TRUE(computeSubpixelDisplacements(ref, def, grid.size, grid.params,
                                              grid.start(testing::translationField(0.0, 0.0)), params, out, error,
                                              [&](uint64_t done, uint64_t total) {
                                                  seen.emplace_back(done, total);
                                                  return true;
                                              },
                                              nullptr, 0, 0, 0, -1));
    EXPECT_TRUE(error.empty()) << error;
    const uint64_t count = uint64_t(grid.count());
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.front(), std::make_pair(uint64_t(0), 2 * count));
    EXPECT_NE(std::find(seen.begin(), seen.end(), std::make_pair(count, 2 * count)), seen.end());
    EXPECT_EQ(seen.back(), std::make_pair(2 * count, 2 * count));
}

} // namespace
} // namespace tavro::subpixel_test
