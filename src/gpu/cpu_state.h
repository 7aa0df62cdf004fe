#pragma once
// Internal state of the CPU device runtime shared by its source files.

#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

#include "gpu/cpu_device.h"
#include "gpu/cpu_runtime.h"

namespace tavro::gpu::detail {

enum class AllocationKind { Device, PinnedHost, Array };

struct Allocation {
    size_t bytes;
    int device;
    AllocationKind kind;
};

struct DeviceState {
    CpuDeviceSetup settings;
    uint64_t capacity = 0;
    uint64_t used = 0;
};

struct RuntimeState {
    std::mutex mutex;
    CpuRuntimeConfig config;
    std::vector<DeviceState> devices;
    std::map<uintptr_t, Allocation> allocations;  // by base address
    std::map<std::pair<int, const void*>, int> dynamicSharedLimits;  // by (device, kernel)
    int launchThreads = 1;
    int configGeneration = 0;
};

RuntimeState& state();

// Current device of the calling host thread, reset when the runtime is reconfigured.
int& currentDeviceRef();

// Returns the error after recording it as the calling thread's last error.
cudaError_t fail(cudaError_t error);

// Allocation holding [p, p + bytes), or null. Caller holds the state mutex.
// Byte span of `rows` rows of `width` bytes at `pitch`; false when it overflows.
bool pitchedSpan(size_t pitch, size_t rows, size_t width, size_t& span);

const Allocation* findAllocation(const void* p, size_t bytes, uintptr_t* base = nullptr);

uint64_t physicalMemoryBytes();
int processorClockKHz();
void startLaunchPool(int threads);

} // namespace tavro::gpu::detail
