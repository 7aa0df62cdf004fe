// Device memory, copies, arrays and textures of the CPU device runtime. Device
// memory is host memory counted against the device's capacity, so that memory
// gates and out-of-memory fallbacks behave as on a real device.

#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>

#include "gpu/cpu_state.h"

struct cudaArray {
    float* data;
    size_t width;
    size_t height;
    size_t elementBytes;
    cudaChannelFormatDesc desc;
    int device;
};

namespace tavro::gpu::detail {
namespace {

constexpr size_t kAlignment = 256;

size_t rounded(size_t bytes) { return (bytes + kAlignment - 1) / kAlignment * kAlignment; }

std::set<cudaArray*>& liveArrays() {
    static std::set<cudaArray*> arrays;
    return arrays;
}
std::set<TextureImpl*>& liveTextures() {
    static std::set<TextureImpl*> textures;
    return textures;
}

bool isDeviceRange(const void* p, size_t bytes) {
    const Allocation* a = findAllocation(p, bytes);
    return a && a->kind != AllocationKind::Array;
}

// Allocates and registers; the caller holds the state mutex.
cudaError_t allocate(RuntimeState& s, void** out, size_t bytes, AllocationKind kind, int device) {
    // Rounding a request near SIZE_MAX up would wrap it to a tiny size.
    if (bytes > SIZE_MAX - kAlignment) return fail(cudaErrorMemoryAllocation);
    if (kind != AllocationKind::PinnedHost) {
        DeviceState& d = s.devices[size_t(device)];
        if (rounded(bytes) > d.capacity - d.used) return fail(cudaErrorMemoryAllocation);
    }
    void* p = std::aligned_alloc(kAlignment, rounded(bytes));
    if (!p) return fail(cudaErrorMemoryAllocation);
    s.allocations.emplace(reinterpret_cast<uintptr_t>(p), Allocation{bytes, device, kind});
    if (kind != AllocationKind::PinnedHost) s.devices[size_t(device)].used += rounded(bytes);
    *out = p;
    return cudaSuccess;
}

cudaError_t release(RuntimeState& s, void* p, AllocationKind kind) {
    auto it = s.allocations.find(reinterpret_cast<uintptr_t>(p));
    if (it == s.allocations.end() || it->second.kind != kind) return fail(cudaErrorInvalidValue);
    if (kind != AllocationKind::PinnedHost && it->second.device < static_cast<int>(s.devices.size())) {
        uint64_t& used = s.devices[size_t(it->second.device)].used;
        used -= std::min<uint64_t>(used, rounded(it->second.bytes));
    }
    s.allocations.erase(it);
    std::free(p);
    return cudaSuccess;
}

int currentDeviceChecked(RuntimeState& s) {
    const int device = currentDeviceRef();
    return device >= 0 && device < static_cast<int>(s.devices.size()) ? device : -1;
}

// Checks the device side of a copy of `bytes` bytes at dst and src.
cudaError_t checkCopy(const void* dst, const void* src, size_t dstBytes, size_t srcBytes, cudaMemcpyKind kind) {
    if (!dst || !src) return cudaErrorInvalidValue;
    switch (kind) {
    case cudaMemcpyHostToHost:
        return cudaSuccess;
    case cudaMemcpyHostToDevice:
        return isDeviceRange(dst, dstBytes) ? cudaSuccess : cudaErrorInvalidValue;
    case cudaMemcpyDeviceToHost:
        return isDeviceRange(src, srcBytes) ? cudaSuccess : cudaErrorInvalidValue;
    case cudaMemcpyDeviceToDevice:
        return isDeviceRange(dst, dstBytes) && isDeviceRange(src, srcBytes) ? cudaSuccess : cudaErrorInvalidValue;
    case cudaMemcpyDefault:
        // Unified addressing: a range partly inside an allocation is an error.
        for (auto [p, n] : {std::pair{dst, dstBytes}, std::pair{src, srcBytes}}) {
            uintptr_t base = 0;
            const auto* overlap = findAllocation(p, 1, &base);
            if (overlap && !isDeviceRange(p, n)) return cudaErrorInvalidValue;
        }
        return cudaSuccess;
    }
    return cudaErrorInvalidMemcpyDirection;
}

} // namespace

bool pitchedSpan(size_t pitch, size_t rows, size_t width, size_t& span) {
    size_t body = 0;
    return !__builtin_mul_overflow(pitch, rows - 1, &body) && !__builtin_add_overflow(body, width, &span);
}

const Allocation* findAllocation(const void* p, size_t bytes, uintptr_t* base) {
    auto& allocations = state().allocations;
    const auto address = reinterpret_cast<uintptr_t>(p);
    auto it = allocations.upper_bound(address);
    if (it == allocations.begin()) return nullptr;
    --it;
    const uintptr_t end = it->first + it->second.bytes;
    if (address < it->first || address > end || bytes > end - address) return nullptr;
    if (base) *base = it->first;
    return &it->second;
}

bool isDeviceAccessible(const void* p) {
    RuntimeState& s = state();
    std::lock_guard lock(s.mutex);
    return isDeviceRange(p, 0);
}

float textureFetchLinear(const TextureImpl& tex, float x, float y) {
    if (tex.normalizedCoords) {
        x *= static_cast<float>(tex.width);
        y *= static_cast<float>(tex.height);
    }
    if (x != x) x = 0.0f;
    if (y != y) y = 0.0f;
    const float xb = std::clamp(x - 0.5f, -1.0e9f, 1.0e9f);
    const float yb = std::clamp(y - 0.5f, -1.0e9f, 1.0e9f);
    const float fx = std::floor(xb), fy = std::floor(yb);
    // The texture unit keeps 8 fractional bits of each weight.
    const float a = std::round((xb - fx) * 256.0f) / 256.0f;
    const float b = std::round((yb - fy) * 256.0f) / 256.0f;
    const int i0 = static_cast<int>(fx), j0 = static_cast<int>(fy);
    auto fetch = [&](int i, int j) {
        bool outside = false;
        const int ci = textureAddress(i, tex.width, tex.addressMode[0], outside);
        const int cj = textureAddress(j, tex.height, tex.addressMode[1], outside);
        return outside ? tex.border : tex.data[size_t(cj) * tex.pitchElements + size_t(ci)];
    };
    return (1.0f - a) * (1.0f - b) * fetch(i0, j0) + a * (1.0f - b) * fetch(i0 + 1, j0) +
           (1.0f - a) * b * fetch(i0, j0 + 1) + a * b * fetch(i0 + 1, j0 + 1);
}

} // namespace tavro::gpu::detail

using namespace tavro::gpu::detail;

cudaError_t cudaMalloc(void** devPtr, size_t size) {
    if (!devPtr) return fail(cudaErrorInvalidValue);
    RuntimeState& s = state();
    std::lock_guard lock(s.mutex);
    const int device = currentDeviceChecked(s);
    if (device < 0) return fail(cudaErrorNoDevice);
    *devPtr = nullptr;
    if (size == 0) return cudaSuccess;
    return allocate(s, devPtr, size, AllocationKind::Device, device);
}

cudaError_t cudaFree(void* devPtr) {
    if (!devPtr) return cudaSuccess;
    RuntimeState& s = state();
    std::lock_guard lock(s.mutex);
    return release(s, devPtr, AllocationKind::Device);
}

cudaError_t cudaMallocHost(void** ptr, size_t size) {
    if (!ptr) return fail(cudaErrorInvalidValue);
    RuntimeState& s = state();
    std::lock_guard lock(s.mutex);
    *ptr = nullptr;
    if (size == 0) return cudaSuccess;
    return allocate(s, ptr, size, AllocationKind::PinnedHost, -1);
}

cudaError_t cudaFreeHost(void* ptr) {
    if (!ptr) return cudaSuccess;
    RuntimeState& s = state();
    std::lock_guard lock(s.mutex);
    return release(s, ptr, AllocationKind::PinnedHost);
}

cudaError_t cudaMemGetInfo(size_t* free, size_t* total) {
    if (!free || !total) return fail(cudaErrorInvalidValue);
    RuntimeState& s = state();
    std::lock_guard lock(s.mutex);
    const int device = currentDeviceChecked(s);
    if (device < 0) return fail(cudaErrorNoDevice);
    const DeviceState& d = s.devices[size_t(device)];
    *total = d.capacity;
    *free = d.capacity - d.used;
    return cudaSuccess;
}

cudaError_t cudaMemcpy(void* dst, const void* src, size_t count, cudaMemcpyKind kind) {
    if (count == 0) return cudaSuccess;
    RuntimeState& s = state();
    std::unique_lock lock(s.mutex);
    const cudaError_t e = checkCopy(dst, src, count, count, kind);
    lock.unlock();
    if (e != cudaSuccess) return fail(e);
    std::memmove(dst, src, count);
    return cudaSuccess;
}

cudaError_t cudaMemcpyAsync(void* dst, const void* src, size_t count, cudaMemcpyKind kind, cudaStream_t stream) {
    if (stream != nullptr) return fail(cudaErrorInvalidResourceHandle);
    return cudaMemcpy(dst, src, count, kind);
}

cudaError_t cudaMemcpy2D(void* dst, size_t dpitch, const void* src, size_t spitch, size_t width, size_t height,
                         cudaMemcpyKind kind) {
    if (width == 0 || height == 0) return cudaSuccess;
    if (width > dpitch || width > spitch) return fail(cudaErrorInvalidPitchValue);
    size_t dstSpan = 0, srcSpan = 0;
    if (!pitchedSpan(dpitch, height, width, dstSpan) || !pitchedSpan(spitch, height, width, srcSpan))
        return fail(cudaErrorInvalidPitchValue);
    RuntimeState& s = state();
    std::unique_lock lock(s.mutex);
    const cudaError_t e = checkCopy(dst, src, dstSpan, srcSpan, kind);
    lock.unlock();
    if (e != cudaSuccess) return fail(e);
    auto* d = static_cast<unsigned char*>(dst);
    const auto* srcBytes = static_cast<const unsigned char*>(src);
    for (size_t row = 0; row < height; ++row) std::memmove(d + row * dpitch, srcBytes + row * spitch, width);
    return cudaSuccess;
}

cudaError_t cudaMemset(void* devPtr, int value, size_t count) {
    if (count == 0) return cudaSuccess;
    RuntimeState& s = state();
    std::unique_lock lock(s.mutex);
    const bool ok = devPtr && isDeviceRange(devPtr, count);
    lock.unlock();
    if (!ok) return fail(cudaErrorInvalidValue);
    std::memset(devPtr, value, count);
    return cudaSuccess;
}

cudaError_t cudaMemsetAsync(void* devPtr, int value, size_t count, cudaStream_t stream) {
    if (stream != nullptr) return fail(cudaErrorInvalidResourceHandle);
    return cudaMemset(devPtr, value, count);
}

cudaChannelFormatDesc cudaCreateChannelDesc(int x, int y, int z, int w, cudaChannelFormatKind f) {
    return {x, y, z, w, f};
}

cudaError_t cudaMallocArray(cudaArray_t* array, const cudaChannelFormatDesc* desc, size_t width, size_t height,
                            unsigned int flags) {
    if (!array || !desc || width == 0 || flags != 0) return fail(cudaErrorInvalidValue);
    const int bits = desc->x + desc->y + desc->z + desc->w;
    if (desc->x <= 0 || bits % 8 != 0 || desc->f == cudaChannelFormatKindNone)
        return fail(cudaErrorInvalidChannelDescriptor);
    if (width > 131072 || height > 65536) return fail(cudaErrorInvalidValue);
    RuntimeState& s = state();
    std::lock_guard lock(s.mutex);
    const int device = currentDeviceChecked(s);
    if (device < 0) return fail(cudaErrorNoDevice);
    const size_t rows = height == 0 ? 1 : height;
    void* data = nullptr;
    const cudaError_t e = allocate(s, &data, width * rows * size_t(bits / 8), AllocationKind::Array, device);
    if (e != cudaSuccess) return e;
    auto* a = new cudaArray{static_cast<float*>(data), width, rows, size_t(bits / 8), *desc, device};
    liveArrays().insert(a);
    *array = a;
    return cudaSuccess;
}

cudaError_t cudaFreeArray(cudaArray_t array) {
    if (!array) return cudaSuccess;
    RuntimeState& s = state();
    std::lock_guard lock(s.mutex);
    if (!liveArrays().erase(array)) return fail(cudaErrorInvalidValue);
    release(s, array->data, AllocationKind::Array);
    delete array;
    return cudaSuccess;
}

namespace {
cudaError_t arrayCopyCheck(RuntimeState& s, cudaArray_const_t array, size_t wOffset, size_t hOffset, size_t width,
                           size_t height, const void* host, size_t pitch, cudaMemcpyKind kind, bool toArray) {
    if (!array || !liveArrays().count(const_cast<cudaArray_t>(array))) return cudaErrorInvalidValue;
    if (width > pitch) return cudaErrorInvalidPitchValue;
    const size_t rowBytes = array->width * array->elementBytes;
    if (wOffset > rowBytes || width > rowBytes - wOffset || hOffset > array->height ||
        height > array->height - hOffset)
        return cudaErrorInvalidValue;
    if (!host) return cudaErrorInvalidValue;
    size_t span = 0;
    if (!pitchedSpan(pitch, height, width, span)) return cudaErrorInvalidPitchValue;
    (void)s;
    switch (kind) {
    case cudaMemcpyHostToDevice:
        return toArray ? cudaSuccess : cudaErrorInvalidMemcpyDirection;
    case cudaMemcpyDeviceToHost:
        return toArray ? cudaErrorInvalidMemcpyDirection : cudaSuccess;
    case cudaMemcpyDeviceToDevice:
        return isDeviceRange(host, span) ? cudaSuccess : cudaErrorInvalidValue;
    case cudaMemcpyDefault:
        return cudaSuccess;
    default:
        return cudaErrorInvalidMemcpyDirection;
    }
}
} // namespace

cudaError_t cudaMemcpy2DToArray(cudaArray_t dst, size_t wOffset, size_t hOffset, const void* src, size_t spitch,
                                size_t width, size_t height, cudaMemcpyKind kind) {
    if (width == 0 || height == 0) return cudaSuccess;
    RuntimeState& s = state();
    std::unique_lock lock(s.mutex);
    const cudaError_t e = arrayCopyCheck(s, dst, wOffset, hOffset, width, height, src, spitch, kind, true);
    lock.unlock();
    if (e != cudaSuccess) return fail(e);
    const size_t rowBytes = dst->width * dst->elementBytes;
    auto* base = reinterpret_cast<unsigned char*>(dst->data);
    for (size_t row = 0; row < height; ++row)
        std::memcpy(base + (hOffset + row) * rowBytes + wOffset, static_cast<const unsigned char*>(src) + row * spitch,
                    width);
    return cudaSuccess;
}

cudaError_t cudaMemcpy2DFromArray(void* dst, size_t dpitch, cudaArray_const_t src, size_t wOffset, size_t hOffset,
                                  size_t width, size_t height, cudaMemcpyKind kind) {
    if (width == 0 || height == 0) return cudaSuccess;
    RuntimeState& s = state();
    std::unique_lock lock(s.mutex);
    const cudaError_t e = arrayCopyCheck(s, src, wOffset, hOffset, width, height, dst, dpitch, kind, false);
    lock.unlock();
    if (e != cudaSuccess) return fail(e);
    const size_t rowBytes = src->width * src->elementBytes;
    const auto* base = reinterpret_cast<const unsigned char*>(src->data);
    for (size_t row = 0; row < height; ++row)
        std::memcpy(static_cast<unsigned char*>(dst) + row * dpitch, base + (hOffset + row) * rowBytes + wOffset,
                    width);
    return cudaSuccess;
}

cudaError_t cudaCreateTextureObject(cudaTextureObject_t* texObject, const cudaResourceDesc* resDesc,
                                    const cudaTextureDesc* texDesc, const cudaResourceViewDesc* viewDesc) {
    if (!texObject || !resDesc || !texDesc || viewDesc) return fail(cudaErrorInvalidValue);
    const auto floatOne = [&] {
        const cudaChannelFormatDesc d = resDesc->resType == cudaResourceTypeArray && resDesc->res.array.array
                                            ? resDesc->res.array.array->desc
                                            : resDesc->res.pitch2D.desc;
        return d.x == 32 && d.y == 0 && d.z == 0 && d.w == 0 && d.f == cudaChannelFormatKindFloat;
    };
    auto tex = std::make_unique<TextureImpl>();
    RuntimeState& s = state();
    std::lock_guard lock(s.mutex);
    if (resDesc->resType == cudaResourceTypeArray) {
        cudaArray_t a = resDesc->res.array.array;
        if (!a || !liveArrays().count(a)) return fail(cudaErrorInvalidResourceHandle);
        if (!floatOne()) return fail(cudaErrorNotSupported);
        tex->data = a->data;
        tex->device = a->device;
        tex->width = static_cast<int>(a->width);
        tex->height = static_cast<int>(a->height);
        tex->pitchElements = a->width;
    } else if (resDesc->resType == cudaResourceTypePitch2D) {
        const auto& p = resDesc->res.pitch2D;
        if (!floatOne()) return fail(cudaErrorNotSupported);
        size_t span = 0;
        if (p.width == 0 || p.height == 0 || p.width > 131072 || p.height > 65536 || p.pitchInBytes % 32 != 0 ||
            p.pitchInBytes < p.width * sizeof(float) ||
            !pitchedSpan(p.pitchInBytes, p.height, p.width * sizeof(float), span) || !isDeviceRange(p.devPtr, span))
            return fail(cudaErrorInvalidValue);
        tex->data = static_cast<const float*>(p.devPtr);
        tex->device = findAllocation(p.devPtr, span)->device;
        tex->width = static_cast<int>(p.width);
        tex->height = static_cast<int>(p.height);
        tex->pitchElements = p.pitchInBytes / sizeof(float);
    } else {
        return fail(cudaErrorNotSupported);
    }
    if (texDesc->readMode != cudaReadModeElementType) return fail(cudaErrorNotSupported);
    for (int i = 0; i < 2; ++i) {
        const auto mode = texDesc->addressMode[i];
        if (mode < cudaAddressModeWrap || mode > cudaAddressModeBorder) return fail(cudaErrorInvalidValue);
        // As on the device, wrap and mirror need normalised coordinates.
        tex->addressMode[i] =
            (mode == cudaAddressModeWrap || mode == cudaAddressModeMirror) && !texDesc->normalizedCoords
                ? cudaAddressModeClamp
                : mode;
    }
    if (texDesc->filterMode != cudaFilterModePoint && texDesc->filterMode != cudaFilterModeLinear)
        return fail(cudaErrorInvalidValue);
    tex->filterMode = texDesc->filterMode;
    tex->normalizedCoords = texDesc->normalizedCoords != 0;
    tex->border = texDesc->borderColor[0];
    liveTextures().insert(tex.get());
    *texObject = reinterpret_cast<uintptr_t>(tex.release());
    return cudaSuccess;
}

cudaError_t cudaDestroyTextureObject(cudaTextureObject_t texObject) {
    if (texObject == 0) return cudaSuccess;
    RuntimeState& s = state();
    std::lock_guard lock(s.mutex);
    auto* tex = reinterpret_cast<TextureImpl*>(static_cast<uintptr_t>(texObject));
    if (!liveTextures().erase(tex)) return fail(cudaErrorInvalidValue);
    delete tex;
    return cudaSuccess;
}

cudaError_t cudaDeviceReset() {
    RuntimeState& s = state();
    std::lock_guard lock(s.mutex);
    const int device = currentDeviceChecked(s);
    if (device < 0) return fail(cudaErrorNoDevice);
    // Textures over the freed memory would read it after the reset.
    for (auto it = liveTextures().begin(); it != liveTextures().end();) {
        if ((*it)->device == device) {
            delete *it;
            it = liveTextures().erase(it);
        } else {
            ++it;
        }
    }
    for (auto it = liveArrays().begin(); it != liveArrays().end();) {
        if ((*it)->device == device) {
            release(s, (*it)->data, AllocationKind::Array);
            delete *it;
            it = liveArrays().erase(it);
        } else {
            ++it;
        }
    }
    for (auto it = s.allocations.begin(); it != s.allocations.end();) {
        if (it->second.kind == AllocationKind::Device && it->second.device == device) {
            s.devices[size_t(device)].used -= rounded(it->second.bytes);
            std::free(reinterpret_cast<void*>(it->first));
            it = s.allocations.erase(it);
        } else {
            ++it;
        }
    }
    std::erase_if(s.dynamicSharedLimits, [&](const auto& limit) { return limit.first.first == device; });
    return cudaSuccess;
}
