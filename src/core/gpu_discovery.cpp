#include "core/gpu_discovery.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "core/multi_gpu_log.h"
#include "core/gpu_common.h"
#include "gpu/runtime_base.h"

#if defined(TAVRO_USE_CUDA)
#include <dlfcn.h>
#endif

namespace tavro {
namespace {

constexpr int kRuntimeVersionFallback = 13000;
constexpr int kNoDeviceError = 100;  // cudaErrorNoDevice

int runtimeCudaVersion() {
    int version = 0;
    if (cudaRuntimeGetVersion(&version) != cudaSuccess || version == 0) {
        (void)cudaGetLastError();
        return kRuntimeVersionFallback;
    }
    return version;
}

int deviceCount(int* count) {
    const cudaError_t error = cudaGetDeviceCount(count);
    if (error != cudaSuccess) (void)cudaGetLastError();
    return static_cast<int>(error);
}

// Reads one device into `info`; false (with the SKIP line written) when it is not usable.
bool readDevice(int ordinal, GpuInfo& info, int& computeMode) {
    cudaDeviceProp prop{};
    if (cudaGetDeviceProperties(&prop, ordinal) != cudaSuccess) {
        (void)cudaGetLastError();
        mgpuLog("GPU_INFO dev=" + std::to_string(ordinal) + " SKIP reason=cudaGetDeviceProperties-failed");
        return false;
    }
    const std::string name(prop.name, strnlen(prop.name, sizeof prop.name));
    computeMode = 0;
    if (cudaDeviceGetAttribute(&computeMode, cudaDevAttrComputeMode, ordinal) != cudaSuccess) {
        (void)cudaGetLastError();
        computeMode = 0;
    }
    if (computeMode == cudaComputeModeProhibited) {
        mgpuLog("GPU_INFO dev=" + std::to_string(ordinal) + " name=" + name + " SKIP reason=computeModeProhibited");
        return false;
    }
    int clock = 0;
    if (cudaDeviceGetAttribute(&clock, cudaDevAttrClockRate, ordinal) != cudaSuccess) {
        (void)cudaGetLastError();
        clock = 0;
    }
    info.deviceId = ordinal;
    info.name = name;
    info.totalMB = static_cast<uint64_t>(prop.totalGlobalMem) >> 20;
    info.computeMajor = prop.major;
    info.computeMinor = prop.minor;
    info.multiProcessorCount = prop.multiProcessorCount;
    info.clockKHz = clock;
    return true;
}

} // namespace

int driverCudaVersion() {
#if defined(TAVRO_USE_CUDA)
    // The driver's own soname: the toolkit's link-time stub is named libcuda.so
    // and answers every call with an error, so it can never pass for a driver.
    void* library = dlopen("libcuda.so.1", RTLD_NOW | RTLD_LOCAL);
    if (!library) return 0;
    using GetVersion = int (*)(int*);
    const auto getVersion = reinterpret_cast<GetVersion>(dlsym(library, "cuDriverGetVersion"));
    int version = 0;
    const int result = getVersion && getVersion(&version) == 0 ? version : 0;
    dlclose(library);
    return result;
#else
    int version = 0;
    if (cudaDriverGetVersion(&version) != cudaSuccess) {
        (void)cudaGetLastError();
        return 0;
    }
    return version;
#endif
}

std::string formatCudaVersion(int version) {
    return std::to_string(version / 1000) + "." + std::to_string((version % 1000) / 10);
}

std::pair<int, int> cudaVersions() { return {driverCudaVersion(), runtimeCudaVersion()}; }

std::string cudaUnavailableMessage(int countError, int deviceCount, int driverVersion, int runtimeVersion) {
    if (countError == 0 && deviceCount >= 1) return {};
    if (driverVersion == 0)
        return "No NVIDIA driver was found. Install the latest NVIDIA driver for your GPU, then restart Tavro2D.";
    if (runtimeVersion > 0 && driverVersion / 1000 < runtimeVersion / 1000)
        return "Your NVIDIA driver is too old: it supports CUDA " + formatCudaVersion(driverVersion) +
               ", and Tavro2D needs CUDA " + std::to_string(runtimeVersion / 1000) +
               " (NVIDIA driver 580 or newer). Update your NVIDIA driver, then restart Tavro2D.";
    if (countError == kNoDeviceError || countError == 0) return "No CUDA-capable NVIDIA GPU was found on this computer.";
    return "The NVIDIA GPU could not be initialized (CUDA error " + std::to_string(countError) +
           "). Updating the NVIDIA driver usually solves this.";
}

std::string checkCudaAvailability() {
    int count = 0;
    const int error = deviceCount(&count);
    if (error == 0 && count >= 1) return {};
    return cudaUnavailableMessage(error, count, driverCudaVersion(), runtimeCudaVersion());
}

std::vector<GpuInfo> enumerateGpus() {
    std::vector<GpuInfo> devices;
    int count = 0;
    const int error = deviceCount(&count);
    if (error != 0 || count < 1) {
        mgpuLog("GPU_ENUM count=0 err=" + std::to_string(error) + " driverCuda=" +
                formatCudaVersion(driverCudaVersion()) + " runtimeCuda=" + formatCudaVersion(runtimeCudaVersion()));
        return devices;
    }
    const auto [driver, runtime] = cudaVersions();
    mgpuLog("GPU_ENUM count=" + std::to_string(count) + " driverCuda=" + formatCudaVersion(driver) +
            " runtimeCuda=" + formatCudaVersion(runtime));
    for (int ordinal = 0; ordinal < count; ++ordinal) {
        GpuInfo info;
        int computeMode = 0;
        if (!readDevice(ordinal, info, computeMode)) continue;
        devices.push_back(info);
        mgpuLog("GPU_INFO dev=" + std::to_string(ordinal) + " name=" + info.name +
                " sm=" + std::to_string(info.multiProcessorCount) + " clkKHz=" + std::to_string(info.clockKHz) +
                " totalMB=" + std::to_string(info.totalMB) + " cc=" + std::to_string(info.computeMajor) + "." +
                std::to_string(info.computeMinor) + " computeMode=" + std::to_string(computeMode));
    }
    detail::applySimulatedDevices(devices, std::getenv("TAVRO_FAKE_GPUS"));
    return devices;
}

int currentCudaDevice() {
    int device = -1;
    if (cudaGetDevice(&device) != cudaSuccess) {
        (void)cudaGetLastError();
        return -1;
    }
    return device;
}

bool selectCudaDevice(int deviceId, std::string& error) {
    return detail::selectCudaDevice(deviceId, error, &deviceCount);
}

namespace detail {

int simulatedDeviceCount(const char* value) {
    if (!value || !*value) return 0;
    const long long requested = std::strtoll(value, nullptr, 10);  // 0 for text without leading digits
    return static_cast<int>(std::clamp<long long>(requested, 1, 8));
}

void applySimulatedDevices(std::vector<GpuInfo>& devices, const char* value) {
    const int wanted = simulatedDeviceCount(value);
    if (wanted == 0 || devices.empty()) return;
    if (devices.size() > static_cast<size_t>(wanted)) {
        devices.resize(static_cast<size_t>(wanted));
        mgpuLog("GPU_ENUM limited to " + std::to_string(wanted) + " by TAVRO_FAKE_GPUS");
    }
    const GpuInfo first = devices.front();
    while (devices.size() < static_cast<size_t>(wanted)) {
        const int k = static_cast<int>(devices.size());
        GpuInfo copy = first;
        copy.name = first.name + " (simulated #" + std::to_string(k) + ")";
        copy.multiProcessorCount = std::max(first.multiProcessorCount / (k + 1), 1);
        devices.push_back(copy);
        mgpuLog("GPU_INFO dev=" + std::to_string(copy.deviceId) + " name=" + copy.name +
                " sm=" + std::to_string(copy.multiProcessorCount) + " SIMULATED");
    }
}

bool selectCudaDevice(int deviceId, std::string& error, DeviceCountQuery countDevices) {
    int count = 0;
    const int firstError = countDevices(&count);
    if (firstError != 0) {
        // A runtime that recovers on the second attempt is usable: carry on
        // with the count it gave then.
        const int secondError = countDevices(&count);
        if (secondError != 0 || count < 1) {
            const std::string detail =
                cudaUnavailableMessage(secondError, count, driverCudaVersion(), runtimeCudaVersion());
            error = "Failed to get CUDA device count (CUDA error " + std::to_string(firstError) + "). " + detail;
            return false;
        }
    }
    if (deviceId < 0 || deviceId >= count) {
        error = "Invalid GPU device ID: " + std::to_string(deviceId) + " (available: 0-" + std::to_string(count - 1) +
                ")";
        return false;
    }
    const cudaError_t result = cudaSetDevice(deviceId);
    if (result != cudaSuccess) {
        (void)cudaGetLastError();
        error = "Failed to set CUDA device: " + std::string(cudaErrorDescription(result));
        return false;
    }
    return true;
}

} // namespace detail

} // namespace tavro
