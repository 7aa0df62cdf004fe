#pragma once
// Whether a usable NVIDIA GPU is present and what the user is told when not,
// which CUDA devices may be used, and which one is current on the calling
// thread. Stateless: every call asks the runtime afresh.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace tavro {

// One usable CUDA device.
struct GpuInfo {
    int32_t deviceId = -1;  // ordinal for cudaSetDevice; simulated copies share their original's
    std::string name;
    uint64_t totalMB = 0;  // total global memory in MiB
    int32_t computeMajor = 0;
    int32_t computeMinor = 0;
    int32_t multiProcessorCount = 0;
    int32_t clockKHz = 0;  // 0 when the clock attribute cannot be read
};

// CUDA version the installed NVIDIA driver supports (1000 x major + 10 x minor),
// 0 when no driver can be loaded. Never starts the CUDA runtime.
int driverCudaVersion();

// "13.0" for 13000, "12.8" for 12080.
std::string formatCudaVersion(int version);

// Driver version (0 when absent) and runtime version (13000 when the runtime cannot tell).
std::pair<int, int> cudaVersions();

// Empty when the device count call succeeded with at least one device, else
// the text that tells the user why no GPU can be used.
std::string cudaUnavailableMessage(int countError, int deviceCount, int driverVersion, int runtimeVersion);

// Empty when at least one CUDA device is usable, else the user message. Never
// throws and never logs.
std::string checkCudaAvailability();

// The usable devices in ordinal order (devices whose properties cannot be read
// or whose compute mode is prohibited are left out), trimmed or padded with
// simulated copies of the first by TAVRO_FAKE_GPUS. Each decision goes to the
// multi-GPU log.
std::vector<GpuInfo> enumerateGpus();

// Current device of the calling host thread, -1 when the runtime cannot tell.
int currentCudaDevice();

// Makes deviceId current on the calling thread only; false with `error` set
// when it cannot, the current device then unchanged.
bool selectCudaDevice(int deviceId, std::string& error);

namespace detail {

// Number of devices TAVRO_FAKE_GPUS asks for (its integer prefix clamped to
// 1..8), or 0 when value is null or empty and the list is to be left alone.
int simulatedDeviceCount(const char* value);

// Cuts `devices` to, or pads it up to, simulatedDeviceCount(value) records;
// an empty list stays empty.
void applySimulatedDevices(std::vector<GpuInfo>& devices, const char* value);

// The device count call selectCudaDevice makes, replaceable so that a runtime
// that fails once and then recovers can be reproduced.
using DeviceCountQuery = int (*)(int* count);
bool selectCudaDevice(int deviceId, std::string& error, DeviceCountQuery countDevices);

} // namespace detail

} // namespace tavro
