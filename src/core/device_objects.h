#pragma once
// Owners of the CUDA arrays and texture objects through which the sub-pixel
// engines read the deformed image; released on every way out.

#include "gpu/runtime.h"

namespace tavro::detail {

class DeviceArray {
public:
    DeviceArray() = default;
    ~DeviceArray() {
        if (array_) (void)cudaFreeArray(array_);
    }
    DeviceArray(const DeviceArray&) = delete;
    DeviceArray& operator=(const DeviceArray&) = delete;
    cudaArray_t* out() { return &array_; }
    cudaArray_t get() const { return array_; }

private:
    cudaArray_t array_ = nullptr;
};

class TextureObject {
public:
    TextureObject() = default;
    ~TextureObject() {
        if (texture_) (void)cudaDestroyTextureObject(texture_);
    }
    TextureObject(const TextureObject&) = delete;
    TextureObject& operator=(const TextureObject&) = delete;

    // Point reads with clamp addressing at unnormalised coordinates.
    cudaError_t create(cudaArray_t array) {
        cudaResourceDesc resource{};
        resource.resType = cudaResourceTypeArray;
        resource.res.array.array = array;
        cudaTextureDesc sampling{};
        sampling.addressMode[0] = cudaAddressModeClamp;
        sampling.addressMode[1] = cudaAddressModeClamp;
        sampling.filterMode = cudaFilterModePoint;
        sampling.readMode = cudaReadModeElementType;
        sampling.normalizedCoords = 0;
        return cudaCreateTextureObject(&texture_, &resource, &sampling, nullptr);
    }
    cudaTextureObject_t get() const { return texture_; }

private:
    cudaTextureObject_t texture_ = 0;
};

} // namespace tavro::detail
