#pragma once
// Owners of device memory, arrays and textures, so that a test releases what it
// allocated even when an assertion ends it early (tests that reconfigure the
// CPU device need every allocation gone first), and scoped settings.

#include <gtest/gtest.h>

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "gpu/runtime_base.h"

namespace tavro::testing {

inline bool haveDevice() {
    int count = 0;
    return cudaGetDeviceCount(&count) == cudaSuccess && count > 0;
}

// The CUDA build on a machine without a GPU runs only what needs no device.
#define TAVRO_REQUIRE_DEVICE()                                                   \
    do {                                                                         \
        if (!::tavro::testing::haveDevice()) GTEST_SKIP() << "no CUDA device"; \
    } while (0)

template <class T>
class DeviceBuffer {
public:
    explicit DeviceBuffer(size_t count) : count_(count) {
        EXPECT_EQ(cudaMalloc(&data_, count * sizeof(T)), cudaSuccess) << count << " elements";
    }
    explicit DeviceBuffer(const std::vector<T>& host) : DeviceBuffer(host.size()) { upload(host); }
    DeviceBuffer(const DeviceBuffer&) = delete;
    DeviceBuffer& operator=(const DeviceBuffer&) = delete;
    ~DeviceBuffer() { cudaFree(data_); }

    T* get() const { return data_; }
    size_t size() const { return count_; }

    void upload(const std::vector<T>& host) {
        ASSERT_LE(host.size(), count_);
        EXPECT_EQ(cudaMemcpy(data_, host.data(), host.size() * sizeof(T), cudaMemcpyHostToDevice), cudaSuccess);
    }
    std::vector<T> download() const {
        std::vector<T> host(count_);
        EXPECT_EQ(cudaMemcpy(host.data(), data_, count_ * sizeof(T), cudaMemcpyDeviceToHost), cudaSuccess);
        return host;
    }

private:
    T* data_ = nullptr;
    size_t count_;
};

// One-channel float texture over a CUDA array, unnormalised coordinates; by
// default point reads with clamp addressing, as the sub-pixel engines read.
class ArrayTexture {
public:
    ArrayTexture(const std::vector<float>& texels, int width, int height,
                 cudaTextureAddressMode address = cudaAddressModeClamp,
                 cudaTextureFilterMode filter = cudaFilterModePoint, float border = 0.0f) {
        const cudaChannelFormatDesc desc = cudaCreateChannelDesc<float>();
        const size_t rowBytes = static_cast<size_t>(width) * sizeof(float);
        EXPECT_EQ(cudaMallocArray(&array_, &desc, static_cast<size_t>(width), static_cast<size_t>(height)),
                  cudaSuccess);
        EXPECT_EQ(cudaMemcpy2DToArray(array_, 0, 0, texels.data(), rowBytes, rowBytes, static_cast<size_t>(height),
                                      cudaMemcpyHostToDevice),
                  cudaSuccess);
        cudaResourceDesc resource{};
        resource.resType = cudaResourceTypeArray;
        resource.res.array.array = array_;
        cudaTextureDesc sampling{};
        sampling.addressMode[0] = address;
        sampling.addressMode[1] = address;
        sampling.filterMode = filter;
        sampling.readMode = cudaReadModeElementType;
        sampling.borderColor[0] = border;
        sampling.normalizedCoords = 0;
        EXPECT_EQ(cudaCreateTextureObject(&texture_, &resource, &sampling, nullptr), cudaSuccess);
    }
    ArrayTexture(const ArrayTexture&) = delete;
    ArrayTexture& operator=(const ArrayTexture&) = delete;
    ~ArrayTexture() {
        cudaDestroyTextureObject(texture_);
        cudaFreeArray(array_);
    }

    cudaTextureObject_t get() const { return texture_; }

private:
    cudaArray_t array_ = nullptr;
    cudaTextureObject_t texture_ = 0;
};

// Bit patterns, for comparisons that must be exact down to the sign of zero.
inline std::vector<uint32_t> bitsOf(const std::vector<float>& values) {
    std::vector<uint32_t> bits;
    bits.reserve(values.size());
    for (float v : values) bits.push_back(std::bit_cast<uint32_t>(v));
    return bits;
}

// Environment variables set (or, with null, unset) for the scope's duration.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : ScopedEnv({{name, value}}) {}
    ScopedEnv(std::initializer_list<std::pair<const char*, const char*>> vars) {
        for (const auto& [name, value] : vars) {
            const char* old = std::getenv(name);
            saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
            value ? setenv(name, value, 1) : unsetenv(name);
        }
    }
    ~ScopedEnv() {
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it)
            it->second ? setenv(it->first.c_str(), it->second->c_str(), 1) : unsetenv(it->first.c_str());
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

} // namespace tavro::testing
