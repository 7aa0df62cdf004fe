#pragma once
// Configuration of the CPU device runtime. By default it presents one device
// backed by every core of the machine, with half of the physical memory as its
// capacity (TAVRO_CPU_DEVICE_MEMORY_MB overrides it, TAVRO_CPU_THREADS the
// number of host threads that run blocks). Tests configure several devices,
// small capacities and failures to exercise the engine's fallbacks.

#include <cstdint>
#include <string>
#include <vector>

namespace tavro::gpu {

struct CpuDeviceSetup {
    std::string name = "Tavro2D CPU device";
    uint64_t memoryBytes = 0;  // 0: half of the physical memory
    // A block's shared storage is a buffer of its worker thread: as much as a core's cache holds, enough for the
    // integer search's frames of 192 x 192 (a 61 px window searched +-61 px).
    uint64_t sharedMemPerBlockOptin = 1048576;
    int computeMode = 0;       // cudaComputeMode*
    int multiProcessorCount = 0;  // 0: the number of launch threads
    int clockKHz = 0;          // 0: read from the processor
    bool propertiesFail = false;  // cudaGetDeviceProperties answers an error
};

struct CpuRuntimeConfig {
    std::vector<CpuDeviceSetup> devices{CpuDeviceSetup{}};
    int launchThreads = 0;  // 0: hardware concurrency, or TAVRO_CPU_THREADS
    int deviceCountError = 0;  // non-zero: cudaGetDeviceCount fails with it
    int runtimeVersion = 13000;
};

// Replaces the device table. Every allocation, array, texture and event must be
// released first; the current device of every host thread becomes 0.
void configureCpuRuntime(const CpuRuntimeConfig& config);
// The configuration in force when the process started.
CpuRuntimeConfig defaultCpuRuntimeConfig();

// Debug switch: every phase of a block program runs its threads in reverse order.
void setReversePhaseOrder(bool reverse);

// Host threads that run the blocks of a launch.
int launchThreadCount();

// Bytes currently allocated on a device (device memory and arrays).
uint64_t deviceBytesInUse(int device);

} // namespace tavro::gpu
