// Devices, versions, errors and events of the CPU device runtime.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <thread>

#include "gpu/cpu_state.h"

struct CUevent_st {
    std::chrono::steady_clock::time_point time;
    bool recorded = false;
};

namespace tavro::gpu::detail {
namespace {

thread_local cudaError_t tlLastError = cudaSuccess;

struct ThreadDevice {
    int generation = -1;
    int device = 0;
};
thread_local ThreadDevice tlDevice;

std::mutex eventsMutex;
std::set<CUevent_st*>& liveEvents() {
    static std::set<CUevent_st*> events;
    return events;
}

int envInt(const char* name, int fallback) {
    const char* v = std::getenv(name);
    if (!v || !*v) return fallback;
    char* end = nullptr;
    const long n = std::strtol(v, &end, 10);
    return end != v && n > 0 && n < (1L << 30) ? static_cast<int>(n) : fallback;
}

void applyConfig(RuntimeState& s, const CpuRuntimeConfig& config) {
    s.config = config;
    s.launchThreads = config.launchThreads > 0
                          ? config.launchThreads
                          : envInt("TAVRO_CPU_THREADS", static_cast<int>(std::max(1u, std::thread::hardware_concurrency())));
    s.devices.clear();
    for (const CpuDeviceSetup& requested : config.devices) {
        DeviceState d;
        d.settings = requested;
        d.capacity = requested.memoryBytes ? requested.memoryBytes : physicalMemoryBytes() / 2;
        if (d.settings.multiProcessorCount <= 0) d.settings.multiProcessorCount = s.launchThreads;
        if (d.settings.clockKHz <= 0) d.settings.clockKHz = processorClockKHz();
        s.devices.push_back(d);
    }
    s.dynamicSharedLimits.clear();
    // Allocations that outlive a reconfiguration stay valid memory; only those
    // on a device that still exists count against it.
    for (const auto& [base, a] : s.allocations)
        if (a.kind != AllocationKind::PinnedHost && a.device < static_cast<int>(s.devices.size()))
            s.devices[size_t(a.device)].used += (a.bytes + 255) / 256 * 256;
    ++s.configGeneration;
    startLaunchPool(s.launchThreads);
}

bool validDevice(const RuntimeState& s, int device) {
    return device >= 0 && device < static_cast<int>(s.devices.size());
}

} // namespace

RuntimeState& state() {
    static RuntimeState* s = [] {
        auto* created = new RuntimeState;  // lives until exit: kernels may run in static destructors
        applyConfig(*created, defaultCpuRuntimeConfig());
        return created;
    }();
    return *s;
}

int& currentDeviceRef() {
    const int generation = state().configGeneration;
    if (tlDevice.generation != generation) tlDevice = {generation, 0};
    return tlDevice.device;
}

cudaError_t fail(cudaError_t error) {
    tlLastError = error;
    return error;
}

void setLastError(cudaError_t error) { tlLastError = error; }

uint64_t physicalMemoryBytes() {
    std::ifstream meminfo("/proc/meminfo");
    std::string key;
    uint64_t kib = 0;
    while (meminfo >> key >> kib) {
        if (key == "MemTotal:") return kib * 1024;
        meminfo.ignore(1 << 16, '\n');
    }
    return uint64_t(8) << 30;
}

int processorClockKHz() {
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    while (std::getline(cpuinfo, line)) {
        if (line.rfind("cpu MHz", 0) == 0) {
            const auto colon = line.find(':');
            if (colon != std::string::npos) {
                const double mhz = std::atof(line.c_str() + colon + 1);
                if (mhz > 0) return static_cast<int>(mhz * 1000.0);
            }
        }
    }
    return 2000000;
}

} // namespace tavro::gpu::detail

namespace tavro::gpu {

using namespace detail;

CpuRuntimeConfig defaultCpuRuntimeConfig() {
    CpuRuntimeConfig config;
    const int mb = [] {
        const char* v = std::getenv("TAVRO_CPU_DEVICE_MEMORY_MB");
        return v && *v ? std::atoi(v) : 0;
    }();
    if (mb > 0) config.devices[0].memoryBytes = uint64_t(mb) << 20;
    return config;
}

void configureCpuRuntime(const CpuRuntimeConfig& config) {
    RuntimeState& s = state();
    std::lock_guard lock(s.mutex);
    applyConfig(s, config);
}

int launchThreadCount() {
    RuntimeState& s = state();
    std::lock_guard lock(s.mutex);
    return s.launchThreads;
}

uint64_t deviceBytesInUse(int device) {
    RuntimeState& s = state();
    std::lock_guard lock(s.mutex);
    return validDevice(s, device) ? s.devices[size_t(device)].used : 0;
}

} // namespace tavro::gpu

using namespace tavro::gpu::detail;

namespace {
void fillProperties(const DeviceState& d, cudaDeviceProp* prop) {
    std::memset(prop, 0, sizeof *prop);
    std::snprintf(prop->name, sizeof prop->name, "%s", d.settings.name.c_str());
    prop->totalGlobalMem = d.capacity;
    prop->sharedMemPerBlock = 49152;
    prop->regsPerBlock = 65536;
    prop->warpSize = 32;
    prop->memPitch = SIZE_MAX / 2;
    prop->maxThreadsPerBlock = 1024;
    prop->maxThreadsDim[0] = 1024;
    prop->maxThreadsDim[1] = 1024;
    prop->maxThreadsDim[2] = 64;
    prop->maxGridSize[0] = 2147483647;
    prop->maxGridSize[1] = 65535;
    prop->maxGridSize[2] = 65535;
    prop->totalConstMem = 65536;
    // The CPU device claims the oldest capability the CUDA build targets: it
    // offers nothing a kernel could need from a newer one.
    prop->major = 7;
    prop->minor = 5;
    prop->textureAlignment = 512;
    prop->texturePitchAlignment = 32;
    prop->multiProcessorCount = d.settings.multiProcessorCount;
    prop->integrated = 1;
    prop->canMapHostMemory = 1;
    prop->maxTexture2D[0] = 131072;
    prop->maxTexture2D[1] = 65536;
    prop->concurrentKernels = 0;
    prop->unifiedAddressing = 1;
    prop->l2CacheSize = 4 << 20;
    prop->maxThreadsPerMultiProcessor = 1024;
    prop->sharedMemPerMultiprocessor = d.settings.sharedMemPerBlockOptin + 1024;
    prop->sharedMemPerBlockOptin = d.settings.sharedMemPerBlockOptin;
    prop->maxBlocksPerMultiProcessor = 16;
}
} // namespace

cudaError_t cudaGetDeviceCount(int* count) {
    if (!count) return fail(cudaErrorInvalidValue);
    RuntimeState& s = state();
    std::lock_guard lock(s.mutex);
    if (s.config.deviceCountError != 0) {
        *count = 0;
        return fail(static_cast<cudaError_t>(s.config.deviceCountError));
    }
    *count = static_cast<int>(s.devices.size());
    return *count == 0 ? fail(cudaErrorNoDevice) : cudaSuccess;
}

cudaError_t cudaSetDevice(int device) {
    RuntimeState& s = state();
    {
        std::lock_guard lock(s.mutex);
        if (!validDevice(s, device)) return fail(cudaErrorInvalidDevice);
        if (s.devices[size_t(device)].settings.computeMode == cudaComputeModeProhibited)
            return fail(cudaErrorDevicesUnavailable);
    }
    currentDeviceRef() = device;
    return cudaSuccess;
}

cudaError_t cudaGetDevice(int* device) {
    if (!device) return fail(cudaErrorInvalidValue);
    RuntimeState& s = state();
    {
        std::lock_guard lock(s.mutex);
        if (s.devices.empty()) return fail(cudaErrorNoDevice);
    }
    *device = currentDeviceRef();
    return cudaSuccess;
}

cudaError_t cudaGetDeviceProperties(cudaDeviceProp* prop, int device) {
    if (!prop) return fail(cudaErrorInvalidValue);
    RuntimeState& s = state();
    std::lock_guard lock(s.mutex);
    if (!validDevice(s, device)) return fail(cudaErrorInvalidDevice);
    const DeviceState& d = s.devices[size_t(device)];
    if (d.settings.propertiesFail) return fail(cudaErrorUnknown);
    fillProperties(d, prop);
    return cudaSuccess;
}

cudaError_t cudaDeviceGetAttribute(int* value, cudaDeviceAttr attr, int device) {
    if (!value) return fail(cudaErrorInvalidValue);
    cudaDeviceProp prop;
    {
        RuntimeState& s = state();
        std::lock_guard lock(s.mutex);
        if (!validDevice(s, device)) return fail(cudaErrorInvalidDevice);
        const DeviceState& d = s.devices[size_t(device)];
        if (attr == cudaDevAttrClockRate) {
            *value = d.settings.clockKHz;
            return cudaSuccess;
        }
        if (attr == cudaDevAttrComputeMode) {
            *value = d.settings.computeMode;
            return cudaSuccess;
        }
        fillProperties(d, &prop);
    }
    switch (attr) {
    case cudaDevAttrMaxThreadsPerBlock: *value = prop.maxThreadsPerBlock; break;
    case cudaDevAttrMaxBlockDimX: *value = prop.maxThreadsDim[0]; break;
    case cudaDevAttrMaxGridDimX: *value = prop.maxGridSize[0]; break;
    case cudaDevAttrMaxSharedMemoryPerBlock: *value = static_cast<int>(prop.sharedMemPerBlock); break;
    case cudaDevAttrTotalConstantMemory: *value = static_cast<int>(prop.totalConstMem); break;
    case cudaDevAttrWarpSize: *value = prop.warpSize; break;
    case cudaDevAttrMultiProcessorCount: *value = prop.multiProcessorCount; break;
    case cudaDevAttrL2CacheSize: *value = prop.l2CacheSize; break;
    case cudaDevAttrMaxThreadsPerMultiProcessor: *value = prop.maxThreadsPerMultiProcessor; break;
    case cudaDevAttrUnifiedAddressing: *value = prop.unifiedAddressing; break;
    case cudaDevAttrComputeCapabilityMajor: *value = prop.major; break;
    case cudaDevAttrComputeCapabilityMinor: *value = prop.minor; break;
    case cudaDevAttrMaxSharedMemoryPerMultiprocessor: *value = static_cast<int>(prop.sharedMemPerMultiprocessor); break;
    case cudaDevAttrMaxSharedMemoryPerBlockOptin: *value = static_cast<int>(prop.sharedMemPerBlockOptin); break;
    default: return fail(cudaErrorInvalidValue);
    }
    return cudaSuccess;
}

cudaError_t cudaRuntimeGetVersion(int* version) {
    if (!version) return fail(cudaErrorInvalidValue);
    RuntimeState& s = state();
    std::lock_guard lock(s.mutex);
    *version = s.config.runtimeVersion;
    return cudaSuccess;
}

cudaError_t cudaDriverGetVersion(int* version) { return cudaRuntimeGetVersion(version); }

cudaError_t cudaDeviceSynchronize() { return cudaSuccess; }

cudaError_t cudaStreamSynchronize(cudaStream_t stream) {
    return stream == nullptr ? cudaSuccess : fail(cudaErrorInvalidResourceHandle);
}

cudaError_t cudaGetLastError() {
    const cudaError_t e = tlLastError;
    tlLastError = cudaSuccess;
    return e;
}

cudaError_t cudaPeekAtLastError() { return tlLastError; }

namespace {
struct ErrorText {
    cudaError_t code;
    const char* name;
    const char* text;
};
constexpr ErrorText kErrors[] = {
    {cudaSuccess, "cudaSuccess", "no error"},
    {cudaErrorInvalidValue, "cudaErrorInvalidValue", "invalid argument"},
    {cudaErrorMemoryAllocation, "cudaErrorMemoryAllocation", "out of memory"},
    {cudaErrorInitializationError, "cudaErrorInitializationError", "initialization error"},
    {cudaErrorInvalidConfiguration, "cudaErrorInvalidConfiguration", "invalid configuration argument"},
    {cudaErrorInvalidPitchValue, "cudaErrorInvalidPitchValue", "invalid pitch argument"},
    {cudaErrorInvalidSymbol, "cudaErrorInvalidSymbol", "invalid device symbol"},
    {cudaErrorInvalidDevicePointer, "cudaErrorInvalidDevicePointer", "invalid device pointer"},
    {cudaErrorInvalidTexture, "cudaErrorInvalidTexture", "invalid texture reference"},
    {cudaErrorInvalidChannelDescriptor, "cudaErrorInvalidChannelDescriptor", "invalid channel descriptor"},
    {cudaErrorInvalidMemcpyDirection, "cudaErrorInvalidMemcpyDirection", "invalid copy direction for memcpy"},
    {cudaErrorInsufficientDriver, "cudaErrorInsufficientDriver",
     "CUDA driver version is insufficient for CUDA runtime version"},
    {cudaErrorDevicesUnavailable, "cudaErrorDevicesUnavailable", "CUDA-capable device(s) is/are busy or unavailable"},
    {cudaErrorInvalidDeviceFunction, "cudaErrorInvalidDeviceFunction", "invalid device function"},
    {cudaErrorNoDevice, "cudaErrorNoDevice", "no CUDA-capable device is detected"},
    {cudaErrorInvalidDevice, "cudaErrorInvalidDevice", "invalid device ordinal"},
    {cudaErrorInvalidResourceHandle, "cudaErrorInvalidResourceHandle", "invalid resource handle"},
    {cudaErrorNotReady, "cudaErrorNotReady", "device not ready"},
    {cudaErrorIllegalAddress, "cudaErrorIllegalAddress", "an illegal memory access was encountered"},
    {cudaErrorLaunchOutOfResources, "cudaErrorLaunchOutOfResources", "too many resources requested for launch"},
    {cudaErrorLaunchFailure, "cudaErrorLaunchFailure", "unspecified launch failure"},
    {cudaErrorNotSupported, "cudaErrorNotSupported", "operation not supported"},
    {cudaErrorUnknown, "cudaErrorUnknown", "unknown error"},
};
const ErrorText* findError(cudaError_t e) {
    for (const ErrorText& t : kErrors)
        if (t.code == e) return &t;
    return nullptr;
}
} // namespace

const char* cudaGetErrorName(cudaError_t error) {
    const ErrorText* t = findError(error);
    return t ? t->name : "unrecognized error code";
}

const char* cudaGetErrorString(cudaError_t error) {
    const ErrorText* t = findError(error);
    return t ? t->text : "unrecognized error code";
}

cudaError_t cudaEventCreate(cudaEvent_t* event) {
    if (!event) return fail(cudaErrorInvalidValue);
    auto* e = new CUevent_st;
    std::lock_guard lock(eventsMutex);
    liveEvents().insert(e);
    *event = e;
    return cudaSuccess;
}

cudaError_t cudaEventDestroy(cudaEvent_t event) {
    std::lock_guard lock(eventsMutex);
    if (!liveEvents().erase(event)) return fail(cudaErrorInvalidResourceHandle);
    delete event;
    return cudaSuccess;
}

cudaError_t cudaEventRecord(cudaEvent_t event, cudaStream_t stream) {
    if (stream != nullptr) return fail(cudaErrorInvalidResourceHandle);
    std::lock_guard lock(eventsMutex);
    if (!liveEvents().count(event)) return fail(cudaErrorInvalidResourceHandle);
    event->time = std::chrono::steady_clock::now();
    event->recorded = true;
    return cudaSuccess;
}

cudaError_t cudaEventSynchronize(cudaEvent_t event) {
    std::lock_guard lock(eventsMutex);
    return liveEvents().count(event) ? cudaSuccess : fail(cudaErrorInvalidResourceHandle);
}

cudaError_t cudaEventQuery(cudaEvent_t event) { return cudaEventSynchronize(event); }

cudaError_t cudaEventElapsedTime(float* ms, cudaEvent_t start, cudaEvent_t end) {
    if (!ms) return fail(cudaErrorInvalidValue);
    std::lock_guard lock(eventsMutex);
    if (!liveEvents().count(start) || !liveEvents().count(end)) return fail(cudaErrorInvalidResourceHandle);
    if (!start->recorded || !end->recorded) return fail(cudaErrorInvalidResourceHandle);
    *ms = std::chrono::duration<float, std::milli>(end->time - start->time).count();
    return cudaSuccess;
}
