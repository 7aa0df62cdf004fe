#pragma once
// The subset of the CUDA runtime API that the engine uses, implemented on the
// CPU. Names, signatures and error codes follow the CUDA runtime so that engine
// code reads the same in both builds; only what the engine needs is declared.
// Kernel launches are synchronous: a launch returns once every block has run.

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>

#if defined(__CUDACC__)
#error "cpu_runtime.h is for the CPU build only; include gpu/runtime.h"
#endif

// Function and variable qualifiers: plain C++ on the CPU.
#define __global__
#define __device__
#define __host__
#define __shared__
#define __constant__
#define __forceinline__ inline __attribute__((always_inline))
#define __restrict__ __restrict
#define __launch_bounds__(...)

struct uint3 {
    unsigned int x, y, z;
};

struct dim3 {
    unsigned int x = 1, y = 1, z = 1;
    constexpr dim3(unsigned int vx = 1, unsigned int vy = 1, unsigned int vz = 1) : x(vx), y(vy), z(vz) {}
    constexpr dim3(uint3 v) : x(v.x), y(v.y), z(v.z) {}
};

struct float2 {
    float x, y;
};
struct float4 {
    float x, y, z, w;
};
struct int2 {
    int x, y;
};
struct double2 {
    double x, y;
};
inline float2 make_float2(float x, float y) { return {x, y}; }
inline float4 make_float4(float x, float y, float z, float w) { return {x, y, z, w}; }
inline int2 make_int2(int x, int y) { return {x, y}; }
inline double2 make_double2(double x, double y) { return {x, y}; }

// Launch geometry of the block being run by this host thread. Element-wise kernels
// see every thread index in turn; block programs must not read threadIdx.
extern thread_local uint3 threadIdx;
extern thread_local uint3 blockIdx;
extern thread_local dim3 blockDim;
extern thread_local dim3 gridDim;
constexpr int warpSize = 32;

enum cudaError_t : int {
    cudaSuccess = 0,
    cudaErrorInvalidValue = 1,
    cudaErrorMemoryAllocation = 2,
    cudaErrorInitializationError = 3,
    cudaErrorInvalidConfiguration = 9,
    cudaErrorInvalidPitchValue = 12,
    cudaErrorInvalidSymbol = 13,
    cudaErrorInvalidDevicePointer = 17,
    cudaErrorInvalidTexture = 18,
    cudaErrorInvalidChannelDescriptor = 20,
    cudaErrorInvalidMemcpyDirection = 21,
    cudaErrorInsufficientDriver = 35,
    cudaErrorDevicesUnavailable = 46,
    cudaErrorInvalidDeviceFunction = 98,
    cudaErrorNoDevice = 100,
    cudaErrorInvalidDevice = 101,
    cudaErrorInvalidResourceHandle = 400,
    cudaErrorNotReady = 600,
    cudaErrorIllegalAddress = 700,
    cudaErrorLaunchOutOfResources = 701,
    cudaErrorLaunchFailure = 719,
    cudaErrorNotSupported = 801,
    cudaErrorUnknown = 999,
};
using cudaError = cudaError_t;

enum cudaMemcpyKind : int {
    cudaMemcpyHostToHost = 0,
    cudaMemcpyHostToDevice = 1,
    cudaMemcpyDeviceToHost = 2,
    cudaMemcpyDeviceToDevice = 3,
    cudaMemcpyDefault = 4,
};

enum cudaDeviceAttr : int {
    cudaDevAttrMaxThreadsPerBlock = 1,
    cudaDevAttrMaxBlockDimX = 2,
    cudaDevAttrMaxGridDimX = 5,
    cudaDevAttrMaxSharedMemoryPerBlock = 8,
    cudaDevAttrTotalConstantMemory = 9,
    cudaDevAttrWarpSize = 10,
    cudaDevAttrClockRate = 13,
    cudaDevAttrMultiProcessorCount = 16,
    cudaDevAttrComputeMode = 20,
    cudaDevAttrL2CacheSize = 38,
    cudaDevAttrMaxThreadsPerMultiProcessor = 39,
    cudaDevAttrUnifiedAddressing = 41,
    cudaDevAttrComputeCapabilityMajor = 75,
    cudaDevAttrComputeCapabilityMinor = 76,
    cudaDevAttrMaxSharedMemoryPerMultiprocessor = 81,
    cudaDevAttrMaxSharedMemoryPerBlockOptin = 97,
};

enum cudaComputeMode : int {
    cudaComputeModeDefault = 0,
    cudaComputeModeExclusive = 1,
    cudaComputeModeProhibited = 2,
    cudaComputeModeExclusiveProcess = 3,
};

enum cudaFuncAttribute : int {
    cudaFuncAttributeMaxDynamicSharedMemorySize = 8,
    cudaFuncAttributePreferredSharedMemoryCarveout = 9,
};

// Only the fields the engine reads; CUDA 13 moved clock rate and compute mode
// to cudaDeviceGetAttribute, so they are absent here as there.
struct cudaDeviceProp {
    char name[256];
    size_t totalGlobalMem;
    size_t sharedMemPerBlock;
    int regsPerBlock;
    int warpSize;
    size_t memPitch;
    int maxThreadsPerBlock;
    int maxThreadsDim[3];
    int maxGridSize[3];
    size_t totalConstMem;
    int major;
    int minor;
    size_t textureAlignment;
    size_t texturePitchAlignment;
    int multiProcessorCount;
    int integrated;
    int canMapHostMemory;
    int maxTexture2D[2];
    int concurrentKernels;
    int unifiedAddressing;
    int l2CacheSize;
    int maxThreadsPerMultiProcessor;
    size_t sharedMemPerMultiprocessor;
    size_t sharedMemPerBlockOptin;
    int maxBlocksPerMultiProcessor;
};

using cudaStream_t = struct CUstream_st*;
using cudaEvent_t = struct CUevent_st*;
using cudaArray_t = struct cudaArray*;
using cudaArray_const_t = const struct cudaArray*;
using cudaTextureObject_t = unsigned long long;

enum cudaChannelFormatKind : int {
    cudaChannelFormatKindSigned = 0,
    cudaChannelFormatKindUnsigned = 1,
    cudaChannelFormatKindFloat = 2,
    cudaChannelFormatKindNone = 3,
};

struct cudaChannelFormatDesc {
    int x, y, z, w;
    cudaChannelFormatKind f;
};

cudaChannelFormatDesc cudaCreateChannelDesc(int x, int y, int z, int w, cudaChannelFormatKind f);
template <class T>
cudaChannelFormatDesc cudaCreateChannelDesc();
template <>
inline cudaChannelFormatDesc cudaCreateChannelDesc<float>() {
    return cudaCreateChannelDesc(32, 0, 0, 0, cudaChannelFormatKindFloat);
}

enum cudaResourceType : int {
    cudaResourceTypeArray = 0,
    cudaResourceTypeMipmappedArray = 1,
    cudaResourceTypeLinear = 2,
    cudaResourceTypePitch2D = 3,
};

struct cudaResourceDesc {
    cudaResourceType resType;
    union {
        struct {
            cudaArray_t array;
        } array;
        struct {
            void* devPtr;
            cudaChannelFormatDesc desc;
            size_t width;
            size_t height;
            size_t pitchInBytes;
        } pitch2D;
    } res;
};

enum cudaTextureAddressMode : int {
    cudaAddressModeWrap = 0,
    cudaAddressModeClamp = 1,
    cudaAddressModeMirror = 2,
    cudaAddressModeBorder = 3,
};
enum cudaTextureFilterMode : int {
    cudaFilterModePoint = 0,
    cudaFilterModeLinear = 1,
};
enum cudaTextureReadMode : int {
    cudaReadModeElementType = 0,
    cudaReadModeNormalizedFloat = 1,
};

struct cudaTextureDesc {
    cudaTextureAddressMode addressMode[3];
    cudaTextureFilterMode filterMode;
    cudaTextureReadMode readMode;
    int sRGB;
    float borderColor[4];
    int normalizedCoords;
    unsigned int maxAnisotropy;
};

struct cudaResourceViewDesc;

// Devices and versions.
cudaError_t cudaGetDeviceCount(int* count);
cudaError_t cudaSetDevice(int device);
cudaError_t cudaGetDevice(int* device);
cudaError_t cudaGetDeviceProperties(cudaDeviceProp* prop, int device);
cudaError_t cudaDeviceGetAttribute(int* value, cudaDeviceAttr attr, int device);
cudaError_t cudaRuntimeGetVersion(int* version);
cudaError_t cudaDriverGetVersion(int* version);
cudaError_t cudaDeviceSynchronize();
cudaError_t cudaDeviceReset();

// Errors: the last error of the calling host thread.
cudaError_t cudaGetLastError();
cudaError_t cudaPeekAtLastError();
const char* cudaGetErrorName(cudaError_t error);
const char* cudaGetErrorString(cudaError_t error);

// Memory.
cudaError_t cudaMalloc(void** devPtr, size_t size);
template <class T>
inline cudaError_t cudaMalloc(T** devPtr, size_t size) {
    return cudaMalloc(reinterpret_cast<void**>(devPtr), size);
}
cudaError_t cudaFree(void* devPtr);
cudaError_t cudaMallocHost(void** ptr, size_t size);
template <class T>
inline cudaError_t cudaMallocHost(T** ptr, size_t size) {
    return cudaMallocHost(reinterpret_cast<void**>(ptr), size);
}
cudaError_t cudaFreeHost(void* ptr);
cudaError_t cudaMemGetInfo(size_t* free, size_t* total);
cudaError_t cudaMemcpy(void* dst, const void* src, size_t count, cudaMemcpyKind kind);
cudaError_t cudaMemcpy2D(void* dst, size_t dpitch, const void* src, size_t spitch, size_t width, size_t height,
                         cudaMemcpyKind kind);
cudaError_t cudaMemset(void* devPtr, int value, size_t count);
cudaError_t cudaMemcpyAsync(void* dst, const void* src, size_t count, cudaMemcpyKind kind, cudaStream_t stream = nullptr);
cudaError_t cudaMemsetAsync(void* devPtr, int value, size_t count, cudaStream_t stream = nullptr);

// Arrays and textures.
cudaError_t cudaMallocArray(cudaArray_t* array, const cudaChannelFormatDesc* desc, size_t width, size_t height = 0,
                            unsigned int flags = 0);
cudaError_t cudaFreeArray(cudaArray_t array);
cudaError_t cudaMemcpy2DToArray(cudaArray_t dst, size_t wOffset, size_t hOffset, const void* src, size_t spitch,
                                size_t width, size_t height, cudaMemcpyKind kind);
cudaError_t cudaMemcpy2DFromArray(void* dst, size_t dpitch, cudaArray_const_t src, size_t wOffset, size_t hOffset,
                                  size_t width, size_t height, cudaMemcpyKind kind);
cudaError_t cudaCreateTextureObject(cudaTextureObject_t* texObject, const cudaResourceDesc* resDesc,
                                    const cudaTextureDesc* texDesc, const cudaResourceViewDesc* viewDesc);
cudaError_t cudaDestroyTextureObject(cudaTextureObject_t texObject);

// Events and streams (only the default stream exists).
cudaError_t cudaEventCreate(cudaEvent_t* event);
cudaError_t cudaEventDestroy(cudaEvent_t event);
cudaError_t cudaEventRecord(cudaEvent_t event, cudaStream_t stream = nullptr);
cudaError_t cudaEventSynchronize(cudaEvent_t event);
cudaError_t cudaEventQuery(cudaEvent_t event);
cudaError_t cudaEventElapsedTime(float* ms, cudaEvent_t start, cudaEvent_t end);
cudaError_t cudaStreamSynchronize(cudaStream_t stream);

// Kernel attributes.
namespace tavro::gpu::detail {
cudaError_t setFunctionAttribute(const void* func, cudaFuncAttribute attr, int value);
}
template <class... Args>
inline cudaError_t cudaFuncSetAttribute(void (*func)(Args...), cudaFuncAttribute attr, int value) {
    return tavro::gpu::detail::setFunctionAttribute(reinterpret_cast<const void*>(func), attr, value);
}

// Texture fetch: unnormalised or normalised coordinates, point or linear
// filtering with the hardware's 8-bit fractional weights, clamp, border, wrap or
// mirror addressing, one-channel float elements.
namespace tavro::gpu::detail {
struct TextureImpl {
    const float* data;
    int width;
    int height;
    size_t pitchElements;
    cudaTextureAddressMode addressMode[2];
    cudaTextureFilterMode filterMode;
    bool normalizedCoords;
    float border;
    int device;
};
float textureFetchLinear(const TextureImpl& tex, float x, float y);

inline int textureAddress(int i, int n, cudaTextureAddressMode mode, bool& outside) {
    if (i >= 0 && i < n) return i;
    switch (mode) {
    case cudaAddressModeBorder:
        outside = true;
        return 0;
    case cudaAddressModeWrap: {
        int r = i % n;
        return r < 0 ? r + n : r;
    }
    case cudaAddressModeMirror: {
        const int period = 2 * n;
        int r = i % period;
        if (r < 0) r += period;
        return r < n ? r : period - 1 - r;
    }
    default:
        return i < 0 ? 0 : n - 1;
    }
}

inline float textureFetchPoint(const TextureImpl& tex, float x, float y) {
    if (tex.normalizedCoords) {
        x *= static_cast<float>(tex.width);
        y *= static_cast<float>(tex.height);
    }
    // Non-finite coordinates behave as on the device: they clamp to an edge.
    const float fx = std::floor(x), fy = std::floor(y);
    const int i = fx != fx ? 0 : static_cast<int>(std::clamp(fx, -1.0e9f, 1.0e9f));
    const int j = fy != fy ? 0 : static_cast<int>(std::clamp(fy, -1.0e9f, 1.0e9f));
    bool outside = false;
    const int ci = textureAddress(i, tex.width, tex.addressMode[0], outside);
    const int cj = textureAddress(j, tex.height, tex.addressMode[1], outside);
    if (outside) return tex.border;
    return tex.data[static_cast<size_t>(cj) * tex.pitchElements + static_cast<size_t>(ci)];
}
} // namespace tavro::gpu::detail

template <class T>
T tex2D(cudaTextureObject_t texObject, float x, float y);
template <>
inline float tex2D<float>(cudaTextureObject_t texObject, float x, float y) {
    const auto& tex = *reinterpret_cast<const tavro::gpu::detail::TextureImpl*>(static_cast<uintptr_t>(texObject));
    if (tex.filterMode == cudaFilterModePoint) return tavro::gpu::detail::textureFetchPoint(tex, x, y);
    return tavro::gpu::detail::textureFetchLinear(tex, x, y);
}

// Device intrinsics used by kernels.
inline float rsqrtf(float x) { return 1.0f / std::sqrt(x); }
inline float __fdividef(float a, float b) { return a / b; }
inline float __saturatef(float x) { return x != x ? 0.0f : std::clamp(x, 0.0f, 1.0f); }
inline int __float2int_rn(float x) { return static_cast<int>(std::nearbyint(x)); }
inline int __float2int_rd(float x) { return static_cast<int>(std::floor(x)); }
inline unsigned __brev(unsigned x) {
    x = ((x >> 1) & 0x55555555u) | ((x & 0x55555555u) << 1);
    x = ((x >> 2) & 0x33333333u) | ((x & 0x33333333u) << 2);
    x = ((x >> 4) & 0x0f0f0f0fu) | ((x & 0x0f0f0f0fu) << 4);
    x = ((x >> 8) & 0x00ff00ffu) | ((x & 0x00ff00ffu) << 8);
    return (x >> 16) | (x << 16);
}
template <class T>
inline T __ldg(const T* p) {
    return *p;
}

// Atomics: blocks of one launch run on several host threads at once.
template <class T>
inline T atomicAdd(T* address, T value) {
    return std::atomic_ref<T>(*address).fetch_add(value, std::memory_order_relaxed);
}
template <class T>
inline T atomicMax(T* address, T value) {
    std::atomic_ref<T> ref(*address);
    T old = ref.load(std::memory_order_relaxed);
    while (old < value && !ref.compare_exchange_weak(old, value, std::memory_order_relaxed)) {
    }
    return old;
}
template <class T>
inline T atomicMin(T* address, T value) {
    std::atomic_ref<T> ref(*address);
    T old = ref.load(std::memory_order_relaxed);
    while (value < old && !ref.compare_exchange_weak(old, value, std::memory_order_relaxed)) {
    }
    return old;
}
template <class T>
inline T atomicCAS(T* address, T compare, T value) {
    std::atomic_ref<T>(*address).compare_exchange_strong(compare, value, std::memory_order_relaxed);
    return compare;
}
template <class T>
inline T atomicExch(T* address, T value) {
    return std::atomic_ref<T>(*address).exchange(value, std::memory_order_relaxed);
}
