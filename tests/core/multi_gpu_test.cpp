#include "core/multi_gpu.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "core/multi_gpu_log.h"
#include "core/pixel_search.h"
#include "core/rupture_subpixel.h"
#include "core/subpixel_search.h"
#include "gpu/runtime_base.h"
#include "support/engine_environment.h"
#include "support/synthetic_images.h"

#if !defined(TAVRO_USE_CUDA)
#include "gpu/cpu_device.h"
#endif

namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::StartsWith;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

void clearThroughputTable() {
    tavro::DeviceThroughputTable& table = tavro::deviceThroughputTable();
    std::lock_guard lock(table.mutex);
    table.pointsPerSecond.clear();
}

// Largest remainders in device order; no band empty unless rows are fewer than
// devices; weights that are not positive and finite count as zero.
TEST(RowPartition, SplitsRowsByWeight) {
    const struct {
        int rows;
        std::vector<double> weights;
        std::vector<int> bounds;
    } cases[] = {
        {10, {1, 1, 1}, {0, 4, 7, 10}},  {10, {3, 1, 1}, {0, 6, 8, 10}}, {10, {1, 2}, {0, 3, 10}},
        {16, {6, 3, 2}, {0, 9, 13, 16}}, {5, {2, 1, 1}, {0, 3, 4, 5}},   {10, {0, 0, 5}, {0, 1, 2, 10}},
        {5, {1e-9, 1, 1}, {0, 1, 3, 5}}, {2, {1, 1, 1}, {0, 1, 2, 2}},   {1, {1, 5}, {0, 0, 1}},
        {4, {kInf, 1, 1}, {0, 1, 2, 4}}, {10, {1e308, 1e308}, {0, 5, 10}}, {0, {1, 1}, {0, 0, 0}},
        {5, {}, {0}},                    {6, {kNaN, kInf, -1, 0}, {0, 2, 4, 5, 6}},
    };
    for (const auto& c : cases) EXPECT_EQ(tavro::partitionRows(c.rows, c.weights), c.bounds) << c.rows;
}

TEST(RowPartition, AlwaysCoversTheGridWithOrderedBands) {
    std::mt19937 random(7);
    std::uniform_real_distribution<double> weight(0.0, 1e6);
    for (int trial = 0; trial < 500; ++trial) {
        const int devices = 1 + int(random() % 8);
        const int rows = int(random() % 40);
        std::vector<double> weights(size_t(devices), 0.0);
        for (double& w : weights) w = random() % 4 == 0 ? 0.0 : weight(random);
        const std::vector<int> bounds = tavro::partitionRows(rows, weights);
        ASSERT_EQ(bounds.size(), size_t(devices) + 1);
        ASSERT_EQ(bounds.front(), 0);
        ASSERT_EQ(bounds.back(), std::max(rows, 0));
        for (int i = 0; i < devices; ++i) {
            ASSERT_LE(bounds[size_t(i)], bounds[size_t(i) + 1]);
            if (rows >= devices) {
                ASSERT_GE(bounds[size_t(i) + 1] - bounds[size_t(i)], 1) << "device " << i;
            }
        }
    }
}

tavro::GpuInfo gpu(int id, int sm, int clockKHz) {
    tavro::GpuInfo info;
    info.deviceId = id;
    info.name = "GPU" + std::to_string(id);
    info.multiProcessorCount = sm;
    info.clockKHz = clockKHz;
    return info;
}

TEST(DeviceWeights, AreStaticUntilEveryDeviceHasBeenMeasured) {
    clearThroughputTable();
    const std::vector<tavro::GpuInfo> devices{gpu(70, 10, 2000), gpu(71, 0, 0)};
    EXPECT_THAT(tavro::computeDeviceWeights(devices), ElementsAre(20000.0, 1000.0))
        << "a clock below 1 counts as 1000 kHz, a processor count below 1 as 1";
    tavro::recordDeviceThroughput(70, 500.0);
    EXPECT_THAT(tavro::computeDeviceWeights(devices), ElementsAre(20000.0, 1000.0)) << "never mixed";
    tavro::recordDeviceThroughput(71, 300.0);
    EXPECT_THAT(tavro::computeDeviceWeights(devices), ElementsAre(500.0, 300.0));
    EXPECT_THAT(tavro::computeDeviceWeights({}), IsEmpty());
    clearThroughputTable();
}

TEST(DeviceThroughput, IsAMovingAverageOfValidSamples) {
    clearThroughputTable();
    for (double ignored : {0.0, -5.0, kNaN, kInf}) tavro::recordDeviceThroughput(3, ignored);
    {
        std::lock_guard lock(tavro::deviceThroughputTable().mutex);
        EXPECT_THAT(tavro::deviceThroughputTable().pointsPerSecond, IsEmpty());
    }
    tavro::recordDeviceThroughput(3, 100.0);
    tavro::recordDeviceThroughput(3, 200.0);
    tavro::recordDeviceThroughput(3, kNaN);
    {
        std::lock_guard lock(tavro::deviceThroughputTable().mutex);
        EXPECT_DOUBLE_EQ(tavro::deviceThroughputTable().pointsPerSecond.at(3), 130.0);
    }
    clearThroughputTable();
}

#if !defined(TAVRO_USE_CUDA)

tavro::gpu::CpuDeviceSetup cpuDevice(int sm, uint64_t memoryBytes = uint64_t(256) << 20, int computeMode = 0) {
    tavro::gpu::CpuDeviceSetup device;
    device.multiProcessorCount = sm;
    device.clockKHz = 1000000;
    device.memoryBytes = memoryBytes;
    device.computeMode = computeMode;
    return device;
}

// A 128 x 128 speckle pair shifted by (2.3, -1.6) px and a 16 x 16 grid over
// it, on three CPU devices of static weights 4, 2 and 1 (rows 0-8, 9-13 and
// 14-15) unless a test configures others; the log's line texts are captured.
class MultiGpuRun : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        tavro::testing::SpeckleOptions options;
        options.width = options.height = 128;
        options.seed = 11;
        pair_ = new tavro::testing::ImagePair(tavro::testing::makeFourierShiftedPair(options, 2.3, -1.6));
    }
    static void TearDownTestSuite() { delete pair_; }

    void SetUp() override {
        clearThroughputTable();
        params_.windowSizeX = params_.windowSizeY = 21;
        params_.stepX = params_.stepY = 6;
        params_.maxU = params_.maxV = 6;
        params_.searchUp = params_.searchDown = params_.searchLeft = params_.searchRight = 6;
        subpixel_.interpolation = 1;
        initial_.gridWidth = initial_.gridHeight = 16;
        initial_.dispX.assign(256, 2.0f);
        initial_.dispY.assign(256, -2.0f);
        useDevices({cpuDevice(4), cpuDevice(2), cpuDevice(1)});
    }
    void TearDown() override {
        tavro::detail::setDeviceThreadStarter({});
        tavro::DeviceBufferPool::instance().releaseAll();
        tavro::gpu::configureCpuRuntime(tavro::gpu::defaultCpuRuntimeConfig());
        clearThroughputTable();
    }

    void useDevices(std::vector<tavro::gpu::CpuDeviceSetup> entries) {
        tavro::gpu::CpuRuntimeConfig config;
        config.devices = std::move(entries);
        config.launchThreads = 2;
        tavro::DeviceBufferPool::instance().releaseAll();
        tavro::gpu::configureCpuRuntime(config);
    }

    std::vector<std::string> log(const std::string& prefix = "") const { return log_.lines(prefix); }

    tavro::ImageSource ref() const { return tavro::ImageSource(pair_->reference.pixels.data()); }
    tavro::ImageSource def() const { return tavro::ImageSource(pair_->deformed.pixels.data()); }
    tavro::ImageSize size() const { return {pair_->reference.width, pair_->reference.height}; }

    // The single-device entries on the whole grid, on this thread's device 0.
    tavro::PixelDisplacementResult singlePixel() {
        tavro::PixelDisplacementResult out;
        std::string error;
        EXPECT_TRUE(tavro::computePixelDisplacements(ref(), def(), size(), params_, out, error)) << error;
        return out;
    }
    tavro::PixelDisplacementResult singleSubpixel() {
        tavro::PixelDisplacementResult out;
        std::string error;
        EXPECT_TRUE(tavro::computeSubpixelDisplacements(ref(), def(), size(), params_, initial_, subpixel_, out, error,
                                                        {}, nullptr, 0, 0, 0, -1))
            << error;
        return out;
    }
    bool multiPixel(tavro::MultiGpuProgress progress = {}) {
        return tavro::computePixelDisplacementsMultiGPU(ref(), def(), size(), params_, out_, error_,
                                                        std::move(progress), nullptr, 0, 0);
    }
    bool multiSubpixel(tavro::MultiGpuProgress progress = {}) {
        return tavro::computeSubpixelDisplacementsMultiGPU(ref(), def(), size(), params_, initial_, subpixel_, out_,
                                                           error_, std::move(progress), nullptr, 0, 0);
    }

    // Same grid, and the same value (NaN included) at every point of rows [rowBegin, rowEnd).
    void expectOutputEquals(const tavro::PixelDisplacementResult& expected, int rowBegin = 0, int rowEnd = 16) {
        ASSERT_EQ(out_.gridWidth, expected.gridWidth);
        ASSERT_EQ(out_.gridHeight, expected.gridHeight);
        const std::vector<float>* fields[][2] = {{&out_.dispX, &expected.dispX}, {&out_.dispY, &expected.dispY},
                                                 {&out_.duDx, &expected.duDx},   {&out_.duDy, &expected.duDy},
                                                 {&out_.dvDx, &expected.dvDx},   {&out_.dvDy, &expected.dvDy}};
        for (int f = 0; f < 6; ++f) {
            const std::vector<float>& actual = *fields[f][0];
            const std::vector<float>& wanted = *fields[f][1];
            ASSERT_EQ(actual.size(), wanted.size()) << "field " << f;
            for (size_t i = size_t(rowBegin) * 16; !wanted.empty() && i < size_t(rowEnd) * 16; ++i)
                ASSERT_TRUE(actual[i] == wanted[i] || (std::isnan(actual[i]) && std::isnan(wanted[i])))
                    << "field " << f << " point " << i << ": " << actual[i] << " != " << wanted[i];
        }
    }

    size_t learnedDevices() {
        std::lock_guard lock(tavro::deviceThroughputTable().mutex);
        return tavro::deviceThroughputTable().pointsPerSecond.size();
    }

    static inline tavro::testing::ImagePair* pair_ = nullptr;
    tavro::PixelSearchParams params_;
    tavro::SubpixelParams subpixel_;
    tavro::PixelDisplacementResult initial_;
    tavro::PixelDisplacementResult out_;
    std::string error_;
    const tavro::testing::ScopedEnv fakeGpus_{"TAVRO_FAKE_GPUS", nullptr};
    tavro::testing::LogCapture log_;
};

TEST_F(MultiGpuRun, PixelSearchOnThreeDevicesEqualsOneDevice) {
    const tavro::PixelDisplacementResult expected = singlePixel();
    ASSERT_EQ(expected.dispX.size(), 256u);
    EXPECT_EQ(expected.dispX[8 * 16 + 8], 2.0f) << "the 2.3 px shift to the nearest pixel";
    log_.clear();
    int workersDuringRun = 0;
    ASSERT_TRUE(multiPixel([&](uint64_t, uint64_t) {
        workersDuringRun = tavro::gpuWorkerCount();
        return true;
    })) << error_;
    expectOutputEquals(expected);
    EXPECT_EQ(workersDuringRun, 3);
    EXPECT_EQ(tavro::gpuWorkerCount(), 1);
    EXPECT_EQ(learnedDevices(), 3u);

    EXPECT_THAT(log("RUN_START"), ElementsAre("RUN_START orch=pixel gridW=16 gridH=16 numGPUs=3 imgW=128 imgH=128 "
                                              "winX=21 winY=21 stepX=6 stepY=6 maxU=6 maxV=6"));
    EXPECT_THAT(log("PARTITION"), ElementsAre("PARTITION dev=0 weight=4000000.000000 rowStart=0 rowCount=9 gridH=16",
                                              "PARTITION dev=1 weight=2000000.000000 rowStart=9 rowCount=5 gridH=16",
                                              "PARTITION dev=2 weight=1000000.000000 rowStart=14 rowCount=2 gridH=16"));
    EXPECT_THAT(log("PHASE_TIMING dev=2"), ElementsAre(::testing::EndsWith(" points=32")));
    EXPECT_THAT(log("THREAD_END"), ::testing::Each(::testing::EndsWith(" success=1")));
    EXPECT_EQ(log().back(), "RUN_END success=1");
}

TEST_F(MultiGpuRun, SubpixelRefinementOnThreeDevicesEqualsOneDevice) {
    const tavro::PixelDisplacementResult expected = singleSubpixel();
    ASSERT_EQ(expected.duDx.size(), 256u);
    EXPECT_NEAR(expected.dispX[8 * 16 + 8], 2.3f, 0.02f);
    EXPECT_NEAR(expected.dispY[8 * 16 + 8], -1.6f, 0.02f);
    log_.clear();
    ASSERT_TRUE(multiSubpixel()) << error_;
    expectOutputEquals(expected);
    EXPECT_THAT(log("RUN_START"), ElementsAre("RUN_START orch=subpixel gridW=16 gridH=16 numGPUs=3 enableAffine=1"));
    EXPECT_THAT(log("RUN_END"), ElementsAre("RUN_END success=1"));
}

TEST_F(MultiGpuRun, ZeroOrderRefinementLeavesNoGradientsFromAnEarlierRun) {
    subpixel_.affine = false;
    const tavro::PixelDisplacementResult expected = singleSubpixel();
    ASSERT_THAT(expected.duDx, IsEmpty());
    out_.duDx.assign(256, 0.5f);
    out_.dvDy.assign(7, 0.5f);
    ASSERT_TRUE(multiSubpixel()) << error_;
    expectOutputEquals(expected);
}

TEST_F(MultiGpuRun, OneDeviceRunsTheSingleDeviceEntryOnThisThread) {
    useDevices({cpuDevice(4)});
    const tavro::PixelDisplacementResult expected = singlePixel();
    const std::thread::id caller = std::this_thread::get_id();
    bool onCaller = true;
    int workers = 0;
    ASSERT_TRUE(multiPixel([&](uint64_t, uint64_t) {
        onCaller = onCaller && std::this_thread::get_id() == caller;
        workers = tavro::gpuWorkerCount();
        return true;
    })) << error_;
    expectOutputEquals(expected);
    EXPECT_TRUE(onCaller);
    EXPECT_EQ(workers, 1);
    EXPECT_THAT(log("RUN_START"), IsEmpty());
    EXPECT_THAT(log("THREAD_BEGIN"), IsEmpty());
    EXPECT_EQ(learnedDevices(), 0u);
}

TEST_F(MultiGpuRun, RefusesAMissingDeviceOrAnUnusablePlanBeforeStartingThreads) {
    params_.stepY = 0;
    EXPECT_FALSE(multiPixel());
    EXPECT_EQ(error_, "Spacings must be strictly positive.") << "a step of 0 must not reach the grid's division";
    params_.stepY = 6;
    params_.windowSizeX = 20;
    EXPECT_FALSE(multiPixel());
    EXPECT_EQ(error_, "Windows must be odd and size > 1.");
    params_.windowSizeX = 21;
    params_.maxV = 54;  // margins of 64 on a 128 px wide image
    EXPECT_FALSE(multiPixel());
    EXPECT_EQ(error_, "Parameters incompatible with image size.");
    params_.maxV = 6;
    const tavro::PixelDisplacementResult initial = std::exchange(initial_, tavro::PixelDisplacementResult());
    EXPECT_FALSE(multiSubpixel());
    EXPECT_EQ(error_, "Invalid initial grid dimensions");
    initial_ = initial;

    useDevices({});
    EXPECT_FALSE(multiPixel());
    EXPECT_EQ(error_, "No CUDA GPUs available");
    EXPECT_FALSE(multiSubpixel());
    EXPECT_EQ(error_, "No CUDA GPUs available");
    EXPECT_THAT(log(), ::testing::Each(StartsWith("GPU_"))) << "only enumeration lines";
}

TEST_F(MultiGpuRun, AFailingDeviceFailsTheRunWithoutRetry) {
    const tavro::PixelDisplacementResult expected = singleSubpixel();
    useDevices({cpuDevice(4), cpuDevice(2, 512), cpuDevice(1)});  // 512 bytes: nothing fits on device 1
    log_.clear();
    EXPECT_FALSE(multiSubpixel());
    EXPECT_THAT(error_, StartsWith("GPU 1: cudaMalloc"));
    EXPECT_THAT(log("THREAD_END dev=1"), ElementsAre(StartsWith("THREAD_END dev=1 success=0 err=cudaMalloc")));
    EXPECT_THAT(log("RUN_END"), ElementsAre("RUN_END success=0 firstError=" + error_));
    EXPECT_EQ(log("THREAD_BEGIN").size(), 3u) << "no band is run twice";
    // The other devices still finish their bands and are measured.
    expectOutputEquals(expected, 0, 9);
    expectOutputEquals(expected, 14, 16);
    EXPECT_EQ(learnedDevices(), 2u);

    // Of several failures the run reports the first.
    useDevices({cpuDevice(4), cpuDevice(2, 512), cpuDevice(1, 512)});
    log_.clear();
    EXPECT_FALSE(multiPixel());
    EXPECT_THAT(error_, ::testing::AnyOf(StartsWith("GPU 1: "), StartsWith("GPU 2: ")));
    EXPECT_THAT(log("THREAD_END dev=2"), ElementsAre(StartsWith("THREAD_END dev=2 success=0 err=")));
    EXPECT_THAT(log("RUN_END"), ElementsAre("RUN_END success=0 firstError=" + error_));
}

TEST_F(MultiGpuRun, ADeviceThatCannotBeMadeCurrentFailsTheRun) {
    const tavro::PixelDisplacementResult expected = singleSubpixel();
    // Device 1 becomes unavailable between the enumeration and the start of the threads.
    tavro::detail::setDeviceThreadStarter([this](int index, std::function<void()> body) {
        if (index == 0) useDevices({cpuDevice(4), cpuDevice(2, uint64_t(256) << 20, 2), cpuDevice(1)});
        return std::thread(std::move(body));
    });
    EXPECT_FALSE(multiSubpixel());
    EXPECT_EQ(error_, std::string("GPU 1: cudaErrorDevicesUnavailable - ") +
                          cudaGetErrorString(cudaErrorDevicesUnavailable) +
                          " (at cudaSetDevice; may be a deferred error from a prior allocation)");
    EXPECT_THAT(log("SET_DEVICE"), ElementsAre("SET_DEVICE dev=1 result=cudaErrorDevicesUnavailable"));
    EXPECT_THAT(log("THREAD_END dev=1"), IsEmpty());
    expectOutputEquals(expected, 0, 9);
    expectOutputEquals(expected, 14, 16);
}

TEST_F(MultiGpuRun, SumsProgressOverDevicesOneCallAtATime) {
    std::vector<std::pair<uint64_t, uint64_t>> calls;
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    ASSERT_TRUE(multiSubpixel([&](uint64_t done, uint64_t total) {
        if (inside.fetch_add(1) != 0) overlapped = true;
        std::this_thread::yield();
        calls.emplace_back(done, total);
        inside.fetch_sub(1);
        return true;
    })) << error_;
    EXPECT_FALSE(overlapped);
    ASSERT_FALSE(calls.empty());
    for (size_t i = 0; i < calls.size(); ++i) {
        EXPECT_EQ(calls[i].second, 256u);
        EXPECT_GE(calls[i].first, i > 0 ? calls[i - 1].first : 0u) << "call " << i;
    }
    EXPECT_EQ(calls.back().first, 256u) << "every device's points counted once";
}

TEST_F(MultiGpuRun, CancellationOrAnExceptionStopsEveryDevice) {
    EXPECT_FALSE(multiSubpixel([](uint64_t, uint64_t) { return false; }));
    EXPECT_THAT(error_, StartsWith("GPU "));
    EXPECT_EQ(log("THREAD_END").size(), 3u);
    EXPECT_THAT(log("THREAD_END"), ::testing::Each(HasSubstr(" success=0")));
    EXPECT_EQ(tavro::gpuWorkerCount(), 1);

    log_.clear();
    EXPECT_FALSE(multiSubpixel([](uint64_t, uint64_t) -> bool { throw std::runtime_error("display gone"); }));
    EXPECT_THAT(error_, ::testing::MatchesRegex("GPU [0-2]: display gone"));
    EXPECT_THAT(log("THREAD_END dev=0"), ElementsAre("THREAD_END dev=0 success=0 exception=display gone"));
    EXPECT_FALSE(multiSubpixel([](uint64_t, uint64_t) -> bool { throw 42; }));
    EXPECT_THAT(error_, ::testing::MatchesRegex("GPU [0-2]: unknown exception"));
}

TEST_F(MultiGpuRun, SimulatedDevicesShareTheirDeviceAndItsMeasurement) {
    useDevices({cpuDevice(6)});
    const tavro::PixelDisplacementResult expected = singlePixel();
    setenv("TAVRO_FAKE_GPUS", "3", 1);
    log_.clear();
    ASSERT_TRUE(multiPixel()) << error_;
    expectOutputEquals(expected);
    EXPECT_THAT(log("PARTITION"), ElementsAre("PARTITION dev=0 weight=6000000.000000 rowStart=0 rowCount=9 gridH=16",
                                              "PARTITION dev=0 weight=3000000.000000 rowStart=9 rowCount=4 gridH=16",
                                              "PARTITION dev=0 weight=2000000.000000 rowStart=13 rowCount=3 gridH=16"));
    EXPECT_EQ(log("THREAD_END dev=0 success=1").size(), 3u);
    const std::vector<double> learned = tavro::computeDeviceWeights(tavro::enumerateGpus());
    ASSERT_EQ(learned.size(), 3u);
    EXPECT_THAT(learned, ElementsAre(::testing::Gt(0.0), learned[0], learned[0]));
}

TEST_F(MultiGpuRun, ADeviceThreadThatCannotStartEndsTheRunAfterJoiningTheOthers) {
    std::atomic<bool> firstFinished{false};
    tavro::detail::setDeviceThreadStarter([&](int index, std::function<void()> body) {
        if (index == 1) throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
        return std::thread([&firstFinished, body = std::move(body)] {
            body();
            firstFinished = true;
        });
    });
    EXPECT_THROW(multiSubpixel(), std::system_error);
    EXPECT_TRUE(firstFinished) << "the started thread was joined before the failure left the call";
    EXPECT_EQ(tavro::gpuWorkerCount(), 1);
    EXPECT_THAT(log("THREAD_BEGIN"), ElementsAre(StartsWith("THREAD_BEGIN dev=0")));
}

// Bands fill only what the run sized for them: the gradients too, which the
// engine carries through from a first-order start and the discontinuity route
// of the refinement computes whatever its own order.
TEST_F(MultiGpuRun, DiscontinuityRunsOnThreeDevicesEqualOneDevice) {
    const tavro::PixelDisplacementResult start = singleSubpixel();
    subpixel_.heaviside = true;
    tavro::PixelDisplacementResult expected;
    tavro::FractureResult single, fracture;
    ASSERT_TRUE(tavro::computeRuptureSubpixel(ref(), def(), size(), params_, start, subpixel_, expected, error_, {},
                                              &single, 0, -1, false, false))
        << error_;
    ASSERT_EQ(expected.duDx.size(), 256u);
    ASSERT_TRUE(tavro::computeRuptureSubpixelMultiGPU(ref(), def(), size(), params_, start, subpixel_, out_, error_, {},
                                                      &fracture))
        << error_;
    expectOutputEquals(expected);
    for (int field = 0; field < tavro::FractureResult::kFieldCount; ++field)
        EXPECT_EQ(fracture.fields[size_t(field)].size(), single.fields[size_t(field)].size()) << field;
    EXPECT_THAT(log("RUN_START"), ElementsAre("RUN_START orch=rupture gridW=16 gridH=16 numGPUs=3 fracture=1"));

    subpixel_.affine = false;
    expected = singleSubpixel();
    ASSERT_EQ(expected.duDx.size(), 256u);
    ASSERT_TRUE(multiSubpixel()) << error_;
    expectOutputEquals(expected);
}

#endif

} // namespace
