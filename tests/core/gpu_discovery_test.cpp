#include "core/gpu_discovery.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "core/gpu_common.h"
#include "core/multi_gpu_log.h"
#include "gpu/runtime_base.h"
#include "support/engine_environment.h"

#if !defined(TAVRO_USE_CUDA)
#include "gpu/cpu_device.h"
#endif

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

const std::string kNoDriver =
    "No NVIDIA driver was found. Install the latest NVIDIA driver for your GPU, then restart Tavro2D.";
const std::string kNoGpu = "No CUDA-capable NVIDIA GPU was found on this computer.";
const std::string kInitFailed3 =
    "The NVIDIA GPU could not be initialized (CUDA error 3). Updating the NVIDIA driver usually solves this.";

// The log's line texts are captured; TAVRO_FAKE_GPUS is unset unless a test sets it.
class Discovery : public ::testing::Test {
protected:
    void TearDown() override {
#if !defined(TAVRO_USE_CUDA)
        tavro::DeviceBufferPool::instance().releaseAll();
        tavro::gpu::configureCpuRuntime(tavro::gpu::defaultCpuRuntimeConfig());
#endif
    }
    std::vector<std::string> lines() const { return log_.lines(); }

private:
    const tavro::testing::ScopedEnv fakeGpus_{"TAVRO_FAKE_GPUS", nullptr};
    const tavro::testing::LogCapture log_;
};

TEST(CudaUnavailableMessage, FollowsTheFirstRowThatApplies) {
    using tavro::cudaUnavailableMessage;
    EXPECT_EQ(cudaUnavailableMessage(0, 1, 0, 0), "") << "a usable device needs no driver";
    EXPECT_EQ(cudaUnavailableMessage(100, 0, 0, 13000), kNoDriver) << "a missing driver outranks a missing device";
    EXPECT_EQ(cudaUnavailableMessage(35, 0, 12080, 13000),
              "Your NVIDIA driver is too old: it supports CUDA 12.8, and Tavro2D needs CUDA 13 (NVIDIA driver 580 "
              "or newer). Update your NVIDIA driver, then restart Tavro2D.");
    EXPECT_EQ(cudaUnavailableMessage(100, 0, 13000, 13010), kNoGpu) << "only major versions are compared";
    EXPECT_EQ(cudaUnavailableMessage(0, 0, 13000, 13000), kNoGpu);
    EXPECT_EQ(cudaUnavailableMessage(3, 0, 13000, 13000), kInitFailed3);
    EXPECT_EQ(cudaUnavailableMessage(3, 0, 12000, 0), kInitFailed3) << "no runtime version, no version verdict";
}

TEST(SimulatedDeviceCount, ClampsTheIntegerPrefixToOneThroughEight) {
    using tavro::detail::simulatedDeviceCount;
    EXPECT_EQ(simulatedDeviceCount(nullptr), 0);
    EXPECT_EQ(simulatedDeviceCount(""), 0);
    for (const char* one : {"0", "-3", "gpus"}) EXPECT_EQ(simulatedDeviceCount(one), 1) << one;
    EXPECT_EQ(simulatedDeviceCount("3 gpus"), 3);
    EXPECT_EQ(simulatedDeviceCount("20"), 8);
    EXPECT_EQ(simulatedDeviceCount("99999999999999999999999"), 8);
}

tavro::GpuInfo gpu(int id, const std::string& name, int sm) {
    tavro::GpuInfo info;
    info.deviceId = id;
    info.name = name;
    info.totalMB = 8192;
    info.multiProcessorCount = sm;
    info.clockKHz = 1700000;
    return info;
}

TEST_F(Discovery, SimulatedDevicesAreCopiesOfTheFirstWithFewerProcessors) {
    std::vector<tavro::GpuInfo> devices{gpu(0, "Card", 80)};
    tavro::detail::applySimulatedDevices(devices, "4");
    ASSERT_EQ(devices.size(), 4u);
    const int expectedSm[] = {80, 40, 26, 20};
    for (size_t k = 0; k < devices.size(); ++k) {
        EXPECT_EQ(devices[k].deviceId, 0);
        EXPECT_EQ(devices[k].multiProcessorCount, expectedSm[k]);
        EXPECT_EQ(devices[k].totalMB, 8192u);
    }
    EXPECT_EQ(devices[3].name, "Card (simulated #3)");
    EXPECT_THAT(lines(), ElementsAre("GPU_INFO dev=0 name=Card (simulated #1) sm=40 SIMULATED",
                                     "GPU_INFO dev=0 name=Card (simulated #2) sm=26 SIMULATED",
                                     "GPU_INFO dev=0 name=Card (simulated #3) sm=20 SIMULATED"));

    std::vector<tavro::GpuInfo> small{gpu(2, "Small", 2)};
    tavro::detail::applySimulatedDevices(small, "8");
    EXPECT_EQ(small[7].multiProcessorCount, 1) << "never below one processor";
}

TEST_F(Discovery, TavroFakeGpusCutsTheListButNeverFillsAnEmptyOne) {
    std::vector<tavro::GpuInfo> devices{gpu(0, "A", 10), gpu(1, "B", 10), gpu(3, "C", 10)};
    tavro::detail::applySimulatedDevices(devices, "1");
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0].name, "A");
    std::vector<tavro::GpuInfo> none;
    tavro::detail::applySimulatedDevices(none, "4");
    EXPECT_THAT(none, IsEmpty());
    EXPECT_THAT(lines(), ElementsAre("GPU_ENUM limited to 1 by TAVRO_FAKE_GPUS"));
}

// Scripted answers {error, count} of the device count call.
std::vector<std::pair<int, int>> scriptedCounts;
size_t scriptedCalls = 0;
int scriptedDeviceCount(int* count) {
    const auto [error, devices] = scriptedCounts.at(scriptedCalls++);
    *count = devices;
    return error;
}

TEST(DeviceSelection, GoesOnWhenTheSecondCountSucceeds) {
    scriptedCounts = {{3, 0}, {0, 2}};
    scriptedCalls = 0;
    std::string error;
    EXPECT_FALSE(tavro::detail::selectCudaDevice(2, error, &scriptedDeviceCount));
    EXPECT_EQ(error, "Invalid GPU device ID: 2 (available: 0-1)") << "the second count decides";

    scriptedCounts = {{3, 0}, {100, 0}};
    scriptedCalls = 0;
    EXPECT_FALSE(tavro::detail::selectCudaDevice(0, error, &scriptedDeviceCount));
    EXPECT_EQ(error, "Failed to get CUDA device count (CUDA error 3). " +
                         tavro::cudaUnavailableMessage(100, 0, tavro::driverCudaVersion(), 13000));

    int realCount = 0;
    if (cudaGetDeviceCount(&realCount) != cudaSuccess || realCount < 1) GTEST_SKIP() << "no CUDA device to select";
    scriptedCounts = {{3, 0}, {0, 1}};
    scriptedCalls = 0;
    error.clear();
    EXPECT_TRUE(tavro::detail::selectCudaDevice(0, error, &scriptedDeviceCount)) << error;
}

#if !defined(TAVRO_USE_CUDA)

tavro::gpu::CpuDeviceSetup cpuDevice(const std::string& name, int sm, uint64_t memoryMB, int computeMode = 0) {
    tavro::gpu::CpuDeviceSetup device;
    device.name = name;
    device.multiProcessorCount = sm;
    device.clockKHz = 1500000;
    device.memoryBytes = memoryMB << 20;
    device.computeMode = computeMode;
    return device;
}

void useRuntime(std::vector<tavro::gpu::CpuDeviceSetup> devices, int countError = 0, int runtimeVersion = 13000) {
    tavro::gpu::CpuRuntimeConfig config;
    config.devices = std::move(devices);
    config.launchThreads = 1;
    config.deviceCountError = countError;
    config.runtimeVersion = runtimeVersion;
    tavro::DeviceBufferPool::instance().releaseAll();
    tavro::gpu::configureCpuRuntime(config);
}

TEST_F(Discovery, EnumerationListsEveryUsableDeviceWithItsProperties) {
    auto unreadable = cpuDevice("Unreadable", 4, 64);
    unreadable.propertiesFail = true;
    useRuntime({cpuDevice("First", 8, 1024), unreadable, cpuDevice("Locked", 4, 64, 2), cpuDevice("Excl", 2, 3, 3)});
    const std::vector<tavro::GpuInfo> gpus = tavro::enumerateGpus();
    ASSERT_EQ(gpus.size(), 2u);
    EXPECT_EQ(gpus[1].deviceId, 3) << "ordinals keep their runtime values";
    EXPECT_EQ(gpus[1].totalMB, 3u);
    EXPECT_THAT(lines(),
                ElementsAre("GPU_ENUM count=4 driverCuda=13.0 runtimeCuda=13.0",
                            "GPU_INFO dev=0 name=First sm=8 clkKHz=1500000 totalMB=1024 cc=7.5 computeMode=0",
                            "GPU_INFO dev=1 SKIP reason=cudaGetDeviceProperties-failed",
                            "GPU_INFO dev=2 name=Locked SKIP reason=computeModeProhibited",
                            "GPU_INFO dev=3 name=Excl sm=2 clkKHz=1500000 totalMB=3 cc=7.5 computeMode=3"));
}

TEST_F(Discovery, EnumerationAppliesTavroFakeGpusOnlyToAListWithDevices) {
    setenv("TAVRO_FAKE_GPUS", "3", 1);
    useRuntime({cpuDevice("Only", 9, 256)});
    const std::vector<tavro::GpuInfo> gpus = tavro::enumerateGpus();
    ASSERT_EQ(gpus.size(), 3u);
    EXPECT_EQ(gpus[2].name, "Only (simulated #2)");
    EXPECT_EQ(gpus[2].multiProcessorCount, 3);

    useRuntime({cpuDevice("Locked", 4, 64, 2)});
    EXPECT_THAT(tavro::enumerateGpus(), IsEmpty()) << "the only device is prohibited";
    useRuntime({cpuDevice("Any", 4, 64)}, 3, 12080);
    EXPECT_THAT(tavro::enumerateGpus(), IsEmpty());
    EXPECT_EQ(lines().back(), "GPU_ENUM count=0 err=3 driverCuda=12.8 runtimeCuda=12.8");
}

TEST_F(Discovery, AvailabilityIsEmptyWithADeviceAndExplainsWhyOtherwise) {
    useRuntime({cpuDevice("Any", 4, 64)});
    EXPECT_EQ(tavro::checkCudaAvailability(), "");
    EXPECT_EQ(tavro::cudaVersions(), std::make_pair(13000, 13000));
    useRuntime({});
    EXPECT_EQ(tavro::checkCudaAvailability(), kNoGpu);
    useRuntime({cpuDevice("Any", 4, 64)}, 3);
    EXPECT_EQ(tavro::checkCudaAvailability(), kInitFailed3);
    // Our runtime reports its own version as the driver's: 0 stands for a missing driver.
    useRuntime({cpuDevice("Any", 4, 64)}, 35, 0);
    EXPECT_EQ(tavro::checkCudaAvailability(), kNoDriver);
    EXPECT_EQ(tavro::cudaVersions(), std::make_pair(0, 13000)) << "an unknown runtime version reads as 13.0";
    EXPECT_THAT(lines(), IsEmpty()) << "the availability check never logs";
}

TEST_F(Discovery, SelectionChangesOnlyTheCallingThreadsDevice) {
    useRuntime({cpuDevice("A", 4, 64), cpuDevice("B", 4, 64), cpuDevice("Locked", 4, 64, 2)});
    int otherThreadDevice = -2;
    std::thread other([&] {
        std::string error;
        EXPECT_TRUE(tavro::selectCudaDevice(1, error)) << error;
        otherThreadDevice = tavro::currentCudaDevice();
    });
    other.join();
    EXPECT_EQ(otherThreadDevice, 1);
    EXPECT_EQ(tavro::currentCudaDevice(), 0);

    std::string error;
    ASSERT_TRUE(tavro::selectCudaDevice(1, error)) << error;
    EXPECT_EQ(error, "");
    EXPECT_FALSE(tavro::selectCudaDevice(-1, error));
    EXPECT_EQ(error, "Invalid GPU device ID: -1 (available: 0-2)");
    EXPECT_FALSE(tavro::selectCudaDevice(3, error));
    EXPECT_EQ(error, "Invalid GPU device ID: 3 (available: 0-2)");
    EXPECT_FALSE(tavro::selectCudaDevice(2, error));
    EXPECT_EQ(error, std::string("Failed to set CUDA device: ") + cudaGetErrorString(cudaErrorDevicesUnavailable));
    EXPECT_EQ(tavro::currentCudaDevice(), 1) << "a refused selection leaves the current device";

    useRuntime({cpuDevice("A", 4, 64)}, 3);
    EXPECT_FALSE(tavro::selectCudaDevice(0, error));
    EXPECT_EQ(error, "Failed to get CUDA device count (CUDA error 3). " + kInitFailed3);
}

#endif

} // namespace
