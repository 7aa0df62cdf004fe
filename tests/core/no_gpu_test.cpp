// What a machine without an NVIDIA driver sees. In the CUDA build this runs
// against the real runtime, on CI machines that have no driver; in the CPU
// build the CPU runtime is configured to answer as such a machine does.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "core/gpu_common.h"
#include "core/gpu_discovery.h"
#include "core/multi_gpu.h"
#include "core/multi_gpu_log.h"

#if defined(TAVRO_USE_CUDA)
#include <dlfcn.h>
#else
#include "gpu/cpu_device.h"
#endif

namespace {

using ::testing::EndsWith;
using ::testing::StartsWith;

const std::string kNoDriver =
    "No NVIDIA driver was found. Install the latest NVIDIA driver for your GPU, then restart Tavro2D.";

// Lines the engine logs go nowhere: this test checks answers, not diagnostics.
class NoDriver : public ::testing::Test {
protected:
    void SetUp() override {
        unsetenv("TAVRO_MGPU_LOG");
        unsetenv("TAVRO_FAKE_GPUS");
        tavro::MultiGpuLog::instance().setSink([](const std::string&) {});
#if defined(TAVRO_USE_CUDA)
        if (void* driver = dlopen("libcuda.so.1", RTLD_NOW | RTLD_LOCAL)) {
            dlclose(driver);
            GTEST_SKIP() << "this machine has an NVIDIA driver";
        }
#else
        tavro::gpu::CpuRuntimeConfig config;
        config.deviceCountError = 35;  // cudaErrorInsufficientDriver, as the real runtime answers
        config.runtimeVersion = 0;     // our runtime stands in for the driver: no version, no driver
        tavro::DeviceBufferPool::instance().releaseAll();
        tavro::gpu::configureCpuRuntime(config);
#endif
    }
    void TearDown() override {
        tavro::MultiGpuLog::instance().setSink({});
#if !defined(TAVRO_USE_CUDA)
        tavro::DeviceBufferPool::instance().releaseAll();
        tavro::gpu::configureCpuRuntime(tavro::gpu::defaultCpuRuntimeConfig());
#endif
    }
};

TEST_F(NoDriver, NoDeviceIsListedOrSelectableAndTheCheckSaysWhy) {
    EXPECT_EQ(tavro::driverCudaVersion(), 0);
    EXPECT_EQ(tavro::checkCudaAvailability(), kNoDriver);
    EXPECT_TRUE(tavro::enumerateGpus().empty());
    std::string error;
    EXPECT_FALSE(tavro::selectCudaDevice(0, error));
    EXPECT_THAT(error, StartsWith("Failed to get CUDA device count (CUDA error "));
    EXPECT_THAT(error, EndsWith(kNoDriver));
}

TEST_F(NoDriver, MultiGpuRunsFailBeforeAnyWork) {
    tavro::PixelSearchParams params;
    tavro::PixelDisplacementResult pixel, out;
    std::string error;
    EXPECT_FALSE(tavro::computePixelDisplacementsMultiGPU(tavro::ImageSource(), tavro::ImageSource(), {64, 64},
                                                          params, out, error, {}, nullptr, 0, 0));
    EXPECT_EQ(error, "No CUDA GPUs available");
    error.clear();
    EXPECT_FALSE(tavro::computeSubpixelDisplacementsMultiGPU(tavro::ImageSource(), tavro::ImageSource(), {64, 64},
                                                             params, pixel, tavro::SubpixelParams(), out, error, {},
                                                             nullptr, 0, 0));
    EXPECT_EQ(error, "No CUDA GPUs available");
}

} // namespace
