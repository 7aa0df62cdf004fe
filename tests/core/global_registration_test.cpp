#include "core/global_registration.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "gpu/runtime.h"
#include "support/device_objects.h"
#include "support/synthetic_images.h"

#if !defined(TAVRO_USE_CUDA)
#include "gpu/cpu_device.h"
#endif

namespace {

using tavro::ImageSize;
using tavro::RigidRegistrationResult;
using tavro::testing::Image;

struct Registered {
    bool ok = false;
    RigidRegistrationResult result;
    std::string error;
};

Registered registerPair(const Image& ref, const Image& def) {
    Registered r;
    r.result = {9.0f, 9.0f, 9.0f};
    r.ok = tavro::computeRigidRegistrationGpu(ref.pixels.data(), def.pixels.data(), ImageSize{ref.width, ref.height},
                                              &r.result, r.error);
    return r;
}

tavro::testing::SpeckleOptions speckleOptions(int width, int height) {
    tavro::testing::SpeckleOptions options;
    options.width = width;
    options.height = height;
    options.seed = 17;
    options.mean = 0.5;
    options.contrast = 0.4;
    options.supersampling = 2;
    return options;
}

TEST(RigidRegistration, RecoversCyclicWholePixelShiftsWithTheirSignAndWrap) {
    TAVRO_REQUIRE_DEVICE();
    struct Case {
        int moveX, moveY;    // how far the content moves
        int shiftX, shiftY;  // what is reported: minus the move, wrapped into (-size/2, size/2]
    };
    struct Size {
        int width, height;
        std::vector<Case> cases;
    };
    // A power-of-two size and an odd one, which take different FFT paths.
    const Size sizes[] = {
        {64, 32, {{0, 0, 0, 0}, {5, 3, -5, -3}, {-7, 4, 7, -4}, {38, -18, 26, -14}, {32, 16, 32, 16},
                  {-32, -16, 32, 16}}},
        {45, 36, {{0, 0, 0, 0}, {5, 3, -5, -3}, {38, -20, 7, -16}, {22, 18, -22, 18}, {-22, 0, 22, 0}}},
    };
    for (const Size& size : sizes) {
        const Image reference = tavro::testing::makeBandLimitedSpeckle(speckleOptions(size.width, size.height));
        const float pixels = float(size.width * size.height);
        for (const Case& c : size.cases) {
            SCOPED_TRACE(testing::Message() << size.width << "x" << size.height << ", content moved by (" << c.moveX
                                            << ", " << c.moveY << ")");
            const Image deformed = tavro::testing::roll(reference, c.moveX, c.moveY);
            const Registered r = registerPair(reference, deformed);
            ASSERT_TRUE(r.ok) << r.error;
            EXPECT_EQ(r.result.shiftX, float(c.shiftX));
            EXPECT_EQ(r.result.shiftY, float(c.shiftY));
            // A pure cyclic shift whitens to a single spike holding almost the
            // whole surface: about N times the mean.
            EXPECT_GT(r.result.peakRatio, 0.8f * pixels);
            EXPECT_LE(r.result.peakRatio, 1.01f * pixels);
            // A reference feature at p lies at p - shift in the deformed image.
            const int px = 11, py = 7;
            const int qx = ((px - int(r.result.shiftX)) % size.width + size.width) % size.width;
            const int qy = ((py - int(r.result.shiftY)) % size.height + size.height) % size.height;
            EXPECT_EQ(deformed.at(qx, qy), reference.at(px, py));
        }
    }
}

TEST(RigidRegistration, RecoversTheShiftOfARenderedNonPeriodicNoisyPair) {
    TAVRO_REQUIRE_DEVICE();
    // New texture enters across the borders and both images carry sensor noise:
    // the peak stays unique and far above the mean, if no longer a lone spike.
    auto options = speckleOptions(96, 80);
    const auto pair = tavro::testing::makeRenderedPair(options, tavro::testing::translationField(9.0, -4.0));
    const Image ref = tavro::testing::addGaussianNoise(pair.reference, 0.01, 1);
    const Image def = tavro::testing::addGaussianNoise(pair.deformed, 0.01, 2);
    const Registered r = registerPair(ref, def);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.result.shiftX, -9.0f);
    EXPECT_EQ(r.result.shiftY, 4.0f);
    EXPECT_GT(r.result.peakRatio, 50.0f);
    EXPECT_LT(r.result.peakRatio, float(96 * 80));
}

TEST(RigidRegistration, ImageWithoutContrastFailsCleanlyAndLeavesZeros) {
    TAVRO_REQUIRE_DEVICE();
    // A flat image has no phase to correlate: black, grey, on either FFT path,
    // as reference or as deformed image.
    for (const auto& [width, height] : {std::pair{64, 32}, std::pair{45, 36}}) {
        const Image textured = tavro::testing::makeBandLimitedSpeckle(speckleOptions(width, height));
        const Image black(width, height, 0.0f);
        const Image grey(width, height, 0.5f);
        for (const auto& [name, ref, def] : {std::tuple{"black", &black, &black}, std::tuple{"grey", &grey, &grey},
                                             std::tuple{"flat reference", &grey, &textured},
                                             std::tuple{"flat deformed", &textured, &black}}) {
            SCOPED_TRACE(testing::Message() << width << "x" << height << ", " << name);
            const Registered r = registerPair(*ref, *def);
            EXPECT_FALSE(r.ok);
            EXPECT_EQ(r.error, "Global alignment failed (zero correlation).");
            EXPECT_EQ(r.result.shiftX, 0.0f);
            EXPECT_EQ(r.result.shiftY, 0.0f);
            EXPECT_EQ(r.result.peakRatio, 0.0f);
            EXPECT_EQ(cudaGetLastError(), cudaSuccess) << "a failure must not leave a pending error behind";
        }
    }
}

TEST(RigidRegistration, InvalidArgumentsFailWithTheirMessageAndLeaveZeros) {
    const Image image(8, 8, 0.5f), column(1, 8, 0.5f), row(8, 1, 0.5f);
    const float* p = image.pixels.data();
    RigidRegistrationResult result;
    auto failure = [&](const float* ref, const float* def, ImageSize size, RigidRegistrationResult* out) {
        result = {1.0f, 2.0f, 3.0f};
        std::string error;
        EXPECT_FALSE(tavro::computeRigidRegistrationGpu(ref, def, size, out, error));
        EXPECT_TRUE(!out || (result.shiftX == 0.0f && result.shiftY == 0.0f && result.peakRatio == 0.0f));
        return error;
    };
    EXPECT_EQ(failure(nullptr, p, {8, 8}, &result), "Images invalides (pointeurs nuls).");
    EXPECT_EQ(failure(p, p, {8, 8}, nullptr), "Images invalides (pointeurs nuls).");
    EXPECT_EQ(failure(p, p, {0, 8}, &result), "Dimensions d'image invalides.");
    EXPECT_EQ(failure(p, p, {8, -1}, &result), "Dimensions d'image invalides.");
    if (!tavro::testing::haveDevice()) return;
    // A single row or column passes these checks and is left to the FFT to refuse.
    EXPECT_EQ(failure(column.pixels.data(), column.pixels.data(), {1, 8}, &result), "tavro_fft: dimensions invalides.");
    EXPECT_EQ(failure(row.pixels.data(), row.pixels.data(), {8, 1}, &result), "tavro_fft: dimensions invalides.");
}

#if !defined(TAVRO_USE_CUDA)
TEST(RigidRegistration, EveryWayOutReturnsThePlanAndTheLeases) {
    // After a first call the pool holds the six buffers; later calls, failing or
    // not, must neither keep a plan alive nor take new buffers.
    const Image reference = tavro::testing::makeBandLimitedSpeckle(speckleOptions(48, 40));
    const Image blank(48, 40, 0.0f);
    ASSERT_TRUE(registerPair(reference, tavro::testing::roll(reference, 2, 1)).ok);
    const uint64_t cached = tavro::gpu::deviceBytesInUse(0);
    EXPECT_FALSE(registerPair(blank, blank).ok);
    EXPECT_EQ(tavro::gpu::deviceBytesInUse(0), cached);
    EXPECT_TRUE(registerPair(reference, tavro::testing::roll(reference, -3, 4)).ok);
    EXPECT_EQ(tavro::gpu::deviceBytesInUse(0), cached);
}
#endif

} // namespace
