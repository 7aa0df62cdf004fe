// The engine with the committed model on pairs from the test-support
// generator: what it recovers, where a crack's jump sits, how a run stops.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>

#include "core/gpu_common.h"
#include "neural/neural_engine.h"
#include "support/device_objects.h"
#include "support/synthetic_images.h"
#include "support/temp_dir.h"

#if !defined(TAVRO_USE_CUDA)
#include "gpu/cpu_device.h"
#endif

namespace tavro::neural {
namespace {

using testing::DisplacementField;
using testing::Image;

constexpr std::array<int32_t, 4> kDefaults{0, 128, 80, 32};
// What the window asks for: a 65 px window, no search margin, a start grid every 48 px.
constexpr int32_t kOrigin = 32;
constexpr int32_t kStartStep = 48;

std::unique_ptr<NeuralEngine> makeEngine(std::vector<int> devices = {0}) {
    std::string notice, error;
    auto engine = NeuralEngine::create(devices, 0, TAVRO_NEURAL_BUILD_WEIGHTS, notice, error);
    EXPECT_TRUE(engine) << error;
    return engine;
}

// The integer search's answer at its points: the true field rounded to whole pixels.
struct Start {
    PixelDisplacementResult field;
    GridDescriptor grid;
};

Start integerStart(const DisplacementField& u, int width, int height) {
    Start s;
    s.grid = {int32_t((width - 2 * kOrigin + kStartStep - 1) / kStartStep),
              int32_t((height - 2 * kOrigin + kStartStep - 1) / kStartStep), kOrigin, kOrigin, kStartStep, kStartStep};
    s.field.gridWidth = s.grid.cols;
    s.field.gridHeight = s.grid.rows;
    for (int j = 0; j < s.grid.rows; ++j)
        for (int i = 0; i < s.grid.cols; ++i) {
            const testing::Vec2 d = u(kOrigin + i * kStartStep, kOrigin + j * kStartStep);
            s.field.dispX.push_back(std::round(float(d[0])));
            s.field.dispY.push_back(std::round(float(d[1])));
        }
    return s;
}

struct Outcome {
    bool ok = false;
    std::string error;
    PixelDisplacementResult out;
    GridDescriptor grid;
};

Outcome refine(const NeuralEngine& engine, const testing::ImagePair& pair, const DisplacementField& u,
               int32_t step = 1, std::array<int32_t, 4> settings = kDefaults, const TileProgressCallback& progress = {}) {
    const int w = pair.reference.width, h = pair.reference.height;
    const Start start = integerStart(u, w, h);
    Outcome o;
    o.ok = engine.run(ImageSource(pair.reference.pixels.data()), ImageSource(pair.deformed.pixels.data()), w, h,
                      settings, start.field, start.grid, step, step, o.out, progress, o.error);
    EXPECT_TRUE(outputGrid(start.grid, w, h, step, step, o.grid));
    return o;
}

// RMS of the error at the output points that `keep` accepts.
template <class Keep>
double rmsError(const Outcome& o, const DisplacementField& u, Keep keep) {
    double sum = 0;
    long count = 0;
    for (int j = 0; j < o.grid.rows; ++j)
        for (int i = 0; i < o.grid.cols; ++i) {
            const double x = o.grid.originX + i * o.grid.stepX, y = o.grid.originY + j * o.grid.stepY;
            if (!keep(x, y)) continue;
            const size_t k = size_t(j) * o.grid.cols + size_t(i);
            const testing::Vec2 d = u(x, y);
            sum += std::pow(o.out.dispX[k] - d[0], 2) + std::pow(o.out.dispY[k] - d[1], 2);
            ++count;
        }
    return count ? std::sqrt(sum / double(count)) : NAN;
}

double rmsError(const Outcome& o, const DisplacementField& u) {
    return rmsError(o, u, [](double, double) { return true; });
}

testing::SpeckleOptions speckle(int size, uint64_t seed) {
    testing::SpeckleOptions options;
    options.width = options.height = size;
    options.seed = seed;
    return options;
}

TEST(NeuralEngine, SettingsOutsideTheirRangesAreRefused) {
    NeuralSettings s;
    std::string error;
    EXPECT_TRUE(parseNeuralSettings(kDefaults, s, error));
    EXPECT_EQ(s.tileSize, 128);
    for (const std::array<int32_t, 4>& bad : {std::array<int32_t, 4>{-1, 128, 80, 32}, {0, 130, 80, 32},
                                              {0, 28, 20, 32}, {0, 516, 80, 32}, {0, 128, 0, 32}, {0, 128, 129, 32},
                                              {0, 128, 80, 0}, {0, 128, 80, 257}}) {
        EXPECT_FALSE(parseNeuralSettings(bad, s, error)) << bad[0] << " " << bad[1] << " " << bad[2] << " " << bad[3];
        EXPECT_FALSE(error.empty());
    }
}

TEST(NeuralEngine, CreationFailsClearlyForMissingFilesOtherModelsAndUnknownDevices) {
    TAVRO_REQUIRE_DEVICE();
    std::string notice, error;
    auto engine = NeuralEngine::create({0}, 0, TAVRO_NEURAL_BUILD_WEIGHTS, notice, error);
    ASSERT_TRUE(engine) << error;
    EXPECT_EQ(notice, "model version " + std::to_string(engine->weights().modelVersion));

    testing::TempDir dir;
    EXPECT_FALSE(NeuralEngine::create({0}, 0, dir.file("none.weights").string(), notice, error));
    EXPECT_NE(error.find("none.weights"), std::string::npos) << error;
    const std::string corrupt = dir.file("corrupt.weights").string();
    std::ofstream(corrupt, std::ios::binary) << "TNWF garbage";
    EXPECT_FALSE(NeuralEngine::create({0}, 0, corrupt, notice, error));
    EXPECT_NE(error.find("Neural weights file"), std::string::npos) << error;

    EXPECT_FALSE(NeuralEngine::create({0}, 99, TAVRO_NEURAL_BUILD_WEIGHTS, notice, error));
    EXPECT_NE(error.find("99"), std::string::npos) << error;
    EXPECT_FALSE(NeuralEngine::create({0, 7}, 0, TAVRO_NEURAL_BUILD_WEIGHTS, notice, error));
    EXPECT_NE(error.find("Device 7"), std::string::npos) << error;
    EXPECT_FALSE(NeuralEngine::create({}, 0, TAVRO_NEURAL_BUILD_WEIGHTS, notice, error));
}

TEST(NeuralEngine, StartFieldReplacesLoneFalseMatchesAndMissingPoints) {
    PixelDisplacementResult start;
    start.gridWidth = start.gridHeight = 3;
    start.dispX.assign(9, 2.0f);
    start.dispY.assign(9, -1.0f);
    start.dispX[4] = 9.0f;   // a false match in the middle
    start.dispY[0] = NAN;    // a masked corner
    const GridDescriptor grid{3, 3, 10, 20, 48, 48};
    const StartField field(start, grid);
    float u = 0, v = 0;
    field.sample(10 + 48, 20 + 48, u, v);
    EXPECT_FLOAT_EQ(u, 2.0f);
    field.sample(10, 20, u, v);
    EXPECT_FLOAT_EQ(v, -1.0f);
    // Between points it is bilinear, beyond them constant.
    start.dispX = {0, 4, 8, 0, 4, 8, 0, 4, 8};
    start.dispY.assign(9, 0.0f);
    const StartField ramp(start, grid);
    ramp.sample(10 + 12, 30, u, v);
    EXPECT_FLOAT_EQ(u, 1.0f);
    ramp.sample(-50, 500, u, v);
    EXPECT_FLOAT_EQ(u, 0.0f);
}

TEST(NeuralEngine, RecoversASubpixelTranslation) {
    TAVRO_REQUIRE_DEVICE();
    auto engine = makeEngine();
    ASSERT_TRUE(engine);
    const testing::ImagePair pair = testing::makeFourierShiftedPair(speckle(256, 31), 0.37, -1.62);
    const DisplacementField u = testing::translationField(0.37, -1.62);
    const Outcome o = refine(*engine, pair, u);
    ASSERT_TRUE(o.ok) << o.error;
    EXPECT_EQ(o.out.gridWidth, 256 - 64);
    // The committed model reaches 0.016 px here.
    EXPECT_LT(rmsError(o, u), 0.02);
}

TEST(NeuralEngine, RecoversAnAffineField) {
    TAVRO_REQUIRE_DEVICE();
    auto engine = makeEngine();
    ASSERT_TRUE(engine);
    const DisplacementField u = testing::affineField({0.012, -0.006, 0.004, -0.01}, {128, 128}, {0.6, -1.3});
    const testing::ImagePair pair = testing::makeRenderedPair(speckle(256, 32), u);
    // Step 3: the output grid follows the user's step, not the start grid's.
    const Outcome o = refine(*engine, pair, u, 3);
    ASSERT_TRUE(o.ok) << o.error;
    EXPECT_EQ(o.out.gridWidth, (256 - 64 + 2) / 3);
    // The committed model reaches 0.014 px here.
    EXPECT_LT(rmsError(o, u), 0.02);
}

// The model's residual is the part of its answer that turns round when the
// tiles are swapped: on two identical images nothing may move, whatever the
// network answers for one pair. Batches of 3 leave a short last batch, whose
// swapped copies sit elsewhere in the buffers.
TEST(NeuralEngine, IdenticalImagesLeaveTheStartFieldExactly) {
    TAVRO_REQUIRE_DEVICE();
    auto engine = makeEngine();
    ASSERT_TRUE(engine);
    const testing::ImagePair pair = testing::makeFourierShiftedPair(speckle(256, 37), 0.0, 0.0);
    const testing::ImagePair same{pair.reference, pair.reference};
    const Outcome o = refine(*engine, same, testing::translationField(0, 0), 1, {0, 64, 64, 3});
    ASSERT_TRUE(o.ok) << o.error;
    for (size_t k = 0; k < o.out.dispX.size(); ++k) {
        ASSERT_EQ(o.out.dispX[k], 0.0f) << k;
        ASSERT_EQ(o.out.dispY[k], 0.0f) << k;
    }
}

TEST(NeuralEngine, ResolvesACrackJumpWithinThreePixelsOfTheLine) {
    TAVRO_REQUIRE_DEVICE();
    auto engine = makeEngine();
    ASSERT_TRUE(engine);
    testing::StraightCrack crack;
    crack.point = {131.0, 125.0};
    crack.angle = 20.0;
    crack.minus = testing::translationField(-0.4, 0.3);
    crack.plus = testing::translationField(1.1, -1.2);
    const testing::SpeckleModel model(speckle(256, 33));
    testing::ImagePair pair{model.render(), testing::renderCracked(model, crack)};
    const DisplacementField u = crack.field();
    const Outcome o = refine(*engine, pair, u);
    ASSERT_TRUE(o.ok) << o.error;
    const double away = rmsError(o, u, [&](double x, double y) { return std::fabs(crack.distance(x, y)) > 3.0; });
    // The committed model reaches 0.041 px here.
    EXPECT_LT(away, 0.06);
}

TEST(NeuralEngine, ProgressCountsTilesAndFalseStopsTheRun) {
    TAVRO_REQUIRE_DEVICE();
    auto engine = makeEngine();
    ASSERT_TRUE(engine);
    const testing::ImagePair pair = testing::makeFourierShiftedPair(speckle(256, 34), 0.5, 0.5);
    const DisplacementField u = testing::translationField(0.5, 0.5);
    std::vector<std::pair<int64_t, int64_t>> calls;
    // Tiles of 64 every 64 px: 16 tiles, batches of 2.
    const Outcome stopped = refine(*engine, pair, u, 1, {0, 64, 64, 2}, [&](int64_t done, int64_t total) {
        calls.emplace_back(done, total);
        return done < 4;
    });
    EXPECT_FALSE(stopped.ok);
    EXPECT_NE(stopped.error.find("cancelled"), std::string::npos) << stopped.error;
    ASSERT_EQ(calls.size(), 2u) << "the run goes on after the callback said stop";
    EXPECT_EQ(calls.back(), std::make_pair(int64_t(4), int64_t(16)));

    calls.clear();
    const Outcome whole = refine(*engine, pair, u, 1, {0, 64, 64, 2}, [&](int64_t done, int64_t total) {
        calls.emplace_back(done, total);
        return true;
    });
    ASSERT_TRUE(whole.ok) << whole.error;
    EXPECT_EQ(calls.size(), 8u);
    EXPECT_EQ(calls.back(), std::make_pair(int64_t(16), int64_t(16)));
}

TEST(NeuralEngine, AWholeImageInOneBatchStillReportsItsTilesAsTheyAreDone) {
    TAVRO_REQUIRE_DEVICE();
    auto engine = makeEngine();
    ASSERT_TRUE(engine);
    const testing::ImagePair pair = testing::makeFourierShiftedPair(speckle(256, 35), 0.3, -0.4);
    const DisplacementField u = testing::translationField(0.3, -0.4);
    std::vector<int64_t> done;
    // 16 tiles, all of which would fit one batch of 32.
    const Outcome batched = refine(*engine, pair, u, 1, {0, 64, 64, 32}, [&](int64_t tiles, int64_t) {
        done.push_back(tiles);
        return true;
    });
    ASSERT_TRUE(batched.ok) << batched.error;
    EXPECT_GE(done.size(), 8u);
    EXPECT_TRUE(std::is_sorted(done.begin(), done.end()));
    EXPECT_EQ(done.back(), 16);
    // How the tiles are batched does not change the answer.
    const Outcome single = refine(*engine, pair, u, 1, {0, 64, 64, 1});
    ASSERT_TRUE(single.ok) << single.error;
    EXPECT_EQ(single.out.dispX, batched.out.dispX);
    EXPECT_EQ(single.out.dispY, batched.out.dispY);
}

TEST(NeuralEngine, RefusesAStartFieldThatDoesNotMatchItsGrid) {
    TAVRO_REQUIRE_DEVICE();
    auto engine = makeEngine();
    ASSERT_TRUE(engine);
    const testing::ImagePair pair = testing::makeFourierShiftedPair(speckle(128, 35), 0.0, 0.0);
    Start start = integerStart(testing::translationField(0, 0), 128, 128);
    start.field.dispX.pop_back();
    PixelDisplacementResult out;
    std::string error;
    EXPECT_FALSE(engine->run(ImageSource(pair.reference.pixels.data()), ImageSource(pair.deformed.pixels.data()), 128,
                             128, kDefaults, start.field, start.grid, 1, 1, out, {}, error));
    EXPECT_FALSE(error.empty());
}

#if !defined(TAVRO_USE_CUDA)
class NeuralEngineDevices : public ::testing::Test {
protected:
    void TearDown() override {
        DeviceBufferPool::instance().releaseAll();
        gpu::configureCpuRuntime(gpu::defaultCpuRuntimeConfig());
    }
};

TEST_F(NeuralEngineDevices, TilesSplitAcrossDevicesGiveTheSameField) {
    const testing::ImagePair pair = testing::makeFourierShiftedPair(speckle(192, 36), 0.3, 0.2);
    const DisplacementField u = testing::translationField(0.3, 0.2);
    auto one = makeEngine({0});
    ASSERT_TRUE(one);
    const Outcome single = refine(*one, pair, u, 2, {0, 64, 48, 3});
    ASSERT_TRUE(single.ok) << single.error;

    DeviceBufferPool::instance().releaseAll();
    gpu::CpuRuntimeConfig config;
    config.devices = {gpu::CpuDeviceSetup{}, gpu::CpuDeviceSetup{}, gpu::CpuDeviceSetup{}};
    config.launchThreads = 2;
    gpu::configureCpuRuntime(config);
    auto three = makeEngine({0, 1, 2});
    ASSERT_TRUE(three);
    const Outcome split = refine(*three, pair, u, 2, {0, 64, 48, 3});
    ASSERT_TRUE(split.ok) << split.error;
    ASSERT_EQ(split.out.dispX.size(), single.out.dispX.size());
    for (size_t k = 0; k < split.out.dispX.size(); ++k) {
        ASSERT_NEAR(split.out.dispX[k], single.out.dispX[k], 1e-5) << k;
        ASSERT_NEAR(split.out.dispY[k], single.out.dispY[k], 1e-5) << k;
    }
    for (int d = 0; d < 3; ++d) EXPECT_GT(gpu::deviceBytesInUse(d), 0u) << "device " << d << " took no tiles";
}
#endif

} // namespace
} // namespace tavro::neural
