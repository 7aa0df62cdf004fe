// The CPU device runtime itself: its device table and accounting, the checks a
// real device would only fault on (host pointers, launch macro mix-ups), and the
// debug order of block phases. Built only with the CPU runtime.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <barrier>
#include <cmath>
#include <cstdint>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "gpu/block.h"
#include "gpu/cpu_device.h"
#include "gpu/runtime_base.h"
#include "sample_kernels.h"
#include "support/device_objects.h"

namespace tavro::gpu::test {
namespace {

using tavro::testing::ArrayTexture;
using tavro::testing::bitsOf;
using tavro::testing::DeviceBuffer;

constexpr uint64_t kMiB = uint64_t(1) << 20;

template <auto Free>
struct Freeing {
    template <class P>
    void operator()(P p) const { Free(p); }
};
using DevicePtr = std::unique_ptr<void, Freeing<&cudaFree>>;
using PinnedPtr = std::unique_ptr<void, Freeing<&cudaFreeHost>>;
using ArrayPtr = std::unique_ptr<cudaArray, Freeing<&cudaFreeArray>>;
struct TextureObject {
    cudaTextureObject_t handle = 0;
    ~TextureObject() { cudaDestroyTextureObject(handle); }
};

uint64_t roundedTo256(uint64_t bytes) { return (bytes + 255) / 256 * 256; }

CpuDeviceSetup deviceWith(uint64_t bytes, std::string name = "test device") {
    CpuDeviceSetup device;
    device.name = std::move(name);
    device.memoryBytes = bytes;
    return device;
}

class CpuRuntime : public ::testing::Test {
protected:
    void SetUp() override {
        reverseAtStart_ = detail::reversePhaseOrder();
        cudaGetLastError();
    }
    void TearDown() override {
        // Test bodies have released everything by now; what remains is a leak
        // or an accounting fault.
        for (int d = 0; d < configuredDevices_; ++d) EXPECT_EQ(deviceBytesInUse(d), 0u) << "device " << d;
        // A run under TAVRO_REVERSE_PHASES=1 keeps its order for later tests.
        setReversePhaseOrder(reverseAtStart_);
        configureCpuRuntime(defaultCpuRuntimeConfig());
        cudaGetLastError();
    }

    void configure(std::vector<CpuDeviceSetup> devices, int launchThreads = 4, int deviceCountError = 0) {
        CpuRuntimeConfig config;
        config.devices = std::move(devices);
        config.launchThreads = launchThreads;
        config.deviceCountError = deviceCountError;
        configuredDevices_ = static_cast<int>(config.devices.size());
        configureCpuRuntime(config);
    }

private:
    int configuredDevices_ = 1;
    bool reverseAtStart_ = false;
};

TEST_F(CpuRuntime, KernelArgumentsMustPointIntoDeviceOrPinnedMemory) {
    const int n = 64;
    DeviceBuffer<unsigned> device(std::vector<unsigned>(2 * n, 0));
    DeviceBuffer<unsigned> launched(std::vector<unsigned>{0});
    unsigned* hits = device.get();
    std::vector<unsigned> host(n, 7);

    launchIndexGrid(dim3(2), dim3(32), dim3(n), host.data(), hits, launched.get());
    EXPECT_EQ(cudaGetLastError(), cudaErrorIllegalAddress);
    EXPECT_EQ(launched.download()[0], 0u) << "the kernel ran with a host pointer";
    EXPECT_EQ(host, std::vector<unsigned>(n, 7));

    unsigned* stale = nullptr;
    ASSERT_EQ(cudaMalloc(&stale, n * sizeof(unsigned)), cudaSuccess);
    ASSERT_EQ(cudaFree(stale), cudaSuccess);
    launchIndexGrid(dim3(2), dim3(32), dim3(n), stale, hits, launched.get());
    EXPECT_EQ(cudaGetLastError(), cudaErrorIllegalAddress) << "a freed allocation was accepted";

    launchIndexGrid(dim3(2), dim3(32), dim3(n), device.get() + n, hits, launched.get());
    ASSERT_EQ(cudaGetLastError(), cudaSuccess) << "a pointer inside a device allocation was refused";
    const std::vector<unsigned> onDevice = device.download();
    for (int i = 0; i < n; ++i) {
        EXPECT_EQ(onDevice[size_t(i)], 1u);
        EXPECT_EQ(onDevice[size_t(n + i)], unsigned(i));
    }

    void* raw = nullptr;
    ASSERT_EQ(cudaMallocHost(&raw, n * sizeof(unsigned)), cudaSuccess);
    const PinnedPtr pinned(raw);
    auto* mapped = static_cast<unsigned*>(raw);
    launchIndexGrid(dim3(2), dim3(32), dim3(n), mapped, hits, launched.get());
    ASSERT_EQ(cudaGetLastError(), cudaSuccess) << "pinned host memory was refused";
    for (int i = 0; i < n; ++i) EXPECT_EQ(mapped[i], unsigned(i));
}

TEST_F(CpuRuntime, KernelsLaunchedThroughTheWrongMacroFailInsteadOfComputingGarbage) {
    configure({deviceWith(16 * kMiB)}, 4);
    const int n = 512;
    DeviceBuffer<unsigned> out(std::vector<unsigned>(n, 0)), hits(std::vector<unsigned>(n, 0));
    DeviceBuffer<unsigned> launched(std::vector<unsigned>{0});
    launchIndexGridAsBlockProgram(dim3(16), dim3(32), dim3(n), out.get(), hits.get(), launched.get());
    EXPECT_EQ(cudaGetLastError(), cudaErrorLaunchFailure);
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    EXPECT_EQ(hits.download(), std::vector<unsigned>(n, 0));

    const int blocks = 16, perBlock = 100;
    DeviceBuffer<float> in(std::vector<float>(size_t(blocks * perBlock), 1.0f));
    DeviceBuffer<float> sums(std::vector<float>(blocks, -5.0f)), maxima(std::vector<float>(blocks, -5.0f));
    launchBlockReduceElementWise(in.get(), perBlock, blocks, 64, sums.get(), maxima.get());
    EXPECT_EQ(cudaGetLastError(), cudaErrorLaunchFailure);
    EXPECT_EQ(sums.download(), std::vector<float>(blocks, -5.0f));

    launchBlockReduce(in.get(), perBlock, blocks, 64, sums.get(), maxima.get());
    EXPECT_EQ(cudaGetLastError(), cudaSuccess) << "a failed launch left the runtime unusable";
    EXPECT_EQ(sums.download(), std::vector<float>(blocks, float(perBlock)));
}

TEST_F(CpuRuntime, AllocationsAreCountedInWholeBlocksOf256BytesAgainstTheCapacity) {
    configure({deviceWith(kMiB)});
    size_t free = 0, total = 0;
    ASSERT_EQ(cudaMemGetInfo(&free, &total), cudaSuccess);
    EXPECT_EQ(total, kMiB);
    EXPECT_EQ(free, kMiB);

    void* raw = nullptr;
    ASSERT_EQ(cudaMalloc(&raw, 1), cudaSuccess);
    DevicePtr small(raw);
    ASSERT_EQ(cudaMalloc(&raw, 257), cudaSuccess);
    DevicePtr odd(raw);
    EXPECT_EQ(deviceBytesInUse(0), 768u);
    ASSERT_EQ(cudaMemGetInfo(&free, &total), cudaSuccess);
    EXPECT_EQ(free, kMiB - 768);

    ASSERT_EQ(cudaMalloc(&raw, kMiB - 768), cudaSuccess) << "exactly the free memory must fit";
    DevicePtr rest(raw);
    ASSERT_EQ(cudaMemGetInfo(&free, &total), cudaSuccess);
    EXPECT_EQ(free, 0u);
    raw = &free;
    EXPECT_EQ(cudaMalloc(&raw, 1), cudaErrorMemoryAllocation);
    EXPECT_EQ(raw, nullptr);
    EXPECT_EQ(cudaGetLastError(), cudaErrorMemoryAllocation);

    rest.reset();
    ASSERT_EQ(cudaMemGetInfo(&free, &total), cudaSuccess);
    EXPECT_EQ(free, kMiB - 768);
    EXPECT_EQ(cudaMalloc(&raw, kMiB), cudaErrorMemoryAllocation);

    const cudaChannelFormatDesc desc = cudaCreateChannelDesc<float>();
    cudaArray_t array = nullptr;
    ASSERT_EQ(cudaMallocArray(&array, &desc, 100, 10), cudaSuccess);
    ArrayPtr ownedArray(array);
    EXPECT_EQ(deviceBytesInUse(0), 768u + 4096u) << "arrays draw from the same capacity";
    ownedArray.reset();

    ASSERT_EQ(cudaMallocHost(&raw, 4096), cudaSuccess);
    const PinnedPtr pinned(raw);
    EXPECT_EQ(deviceBytesInUse(0), 768u) << "pinned host memory is not device memory";

    small.reset();
    odd.reset();
    ASSERT_EQ(cudaMemGetInfo(&free, &total), cudaSuccess);
    EXPECT_EQ(free, total);
}

// Requests are rounded up to 256 bytes; near SIZE_MAX that rounding would
// wrap to a tiny size and "succeed".
TEST_F(CpuRuntime, RequestsNearTheTopOfTheAddressSpaceFailInsteadOfWrappingAround) {
    configure({deviceWith(kMiB)});
    for (const size_t bytes : {SIZE_MAX, SIZE_MAX - 100}) {
        void* raw = &raw;
        EXPECT_EQ(cudaMalloc(&raw, bytes), cudaErrorMemoryAllocation) << bytes;
        const DevicePtr device(raw);
        EXPECT_EQ(raw, nullptr);
        raw = &raw;
        EXPECT_EQ(cudaMallocHost(&raw, bytes), cudaErrorMemoryAllocation) << bytes;
        const PinnedPtr pinned(raw);
        EXPECT_EQ(raw, nullptr);
    }
}

TEST_F(CpuRuntime, ZeroSizedAllocationsAndNullFreesSucceedButDoubleFreesAreErrors) {
    configure({deviceWith(kMiB)});
    void* raw = &raw;
    EXPECT_EQ(cudaMalloc(&raw, 0), cudaSuccess);
    EXPECT_EQ(raw, nullptr);
    EXPECT_EQ(deviceBytesInUse(0), 0u);
    EXPECT_EQ(cudaFree(nullptr), cudaSuccess);
    EXPECT_EQ(cudaFreeHost(nullptr), cudaSuccess);
    EXPECT_EQ(cudaMalloc(static_cast<void**>(nullptr), 16), cudaErrorInvalidValue);

    ASSERT_EQ(cudaMalloc(&raw, 1000), cudaSuccess);
    EXPECT_EQ(cudaFree(static_cast<char*>(raw) + 16), cudaErrorInvalidValue) << "not the start of an allocation";
    EXPECT_EQ(cudaFree(raw), cudaSuccess);
    EXPECT_EQ(cudaFree(raw), cudaErrorInvalidValue);
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidValue);
    EXPECT_EQ(deviceBytesInUse(0), 0u);

    // Each kind of memory is released only by its own call.
    void* host = nullptr;
    ASSERT_EQ(cudaMallocHost(&host, 512), cudaSuccess);
    EXPECT_EQ(cudaFree(host), cudaErrorInvalidValue);
    EXPECT_EQ(cudaFreeHost(host), cudaSuccess);
    ASSERT_EQ(cudaMalloc(&raw, 512), cudaSuccess);
    EXPECT_EQ(cudaFreeHost(raw), cudaErrorInvalidValue);
    EXPECT_EQ(deviceBytesInUse(0), 512u);
    EXPECT_EQ(cudaFree(raw), cudaSuccess);
}

TEST_F(CpuRuntime, CopiesMustStayInsideTheDeviceAllocationsTheyTouch) {
    DeviceBuffer<unsigned char> dev(1000), other(500);
    std::vector<unsigned char> host(2000);
    for (size_t i = 0; i < host.size(); ++i) host[i] = static_cast<unsigned char>(i * 7 + 1);

    EXPECT_EQ(cudaMemcpy(dev.get(), host.data(), 1000, cudaMemcpyHostToDevice), cudaSuccess);
    std::vector<unsigned char> back(1000);
    EXPECT_EQ(cudaMemcpy(back.data(), dev.get(), 1000, cudaMemcpyDeviceToHost), cudaSuccess);
    EXPECT_TRUE(std::equal(back.begin(), back.end(), host.begin()));

    EXPECT_EQ(cudaMemcpy(dev.get(), host.data(), 1001, cudaMemcpyHostToDevice), cudaErrorInvalidValue);
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidValue);
    EXPECT_EQ(cudaMemcpy(dev.get() + 8, host.data(), 992, cudaMemcpyHostToDevice), cudaSuccess);
    EXPECT_EQ(cudaMemcpy(dev.get() + 8, host.data(), 993, cudaMemcpyHostToDevice), cudaErrorInvalidValue);
    EXPECT_EQ(cudaMemcpy(host.data(), dev.get(), 1001, cudaMemcpyDeviceToHost), cudaErrorInvalidValue);
    EXPECT_EQ(cudaMemcpy(other.get(), dev.get(), 500, cudaMemcpyDeviceToDevice), cudaSuccess);
    EXPECT_EQ(cudaMemcpy(other.get(), dev.get(), 501, cudaMemcpyDeviceToDevice), cudaErrorInvalidValue);
    EXPECT_EQ(cudaMemcpy(dev.get(), other.get() + 100, 401, cudaMemcpyDeviceToDevice), cudaErrorInvalidValue);

    // A host pointer where the kind promises device memory.
    EXPECT_EQ(cudaMemcpy(host.data(), host.data() + 1000, 10, cudaMemcpyHostToDevice), cudaErrorInvalidValue);
    EXPECT_EQ(cudaMemcpy(host.data(), host.data() + 1000, 10, cudaMemcpyDeviceToHost), cudaErrorInvalidValue);
    EXPECT_EQ(cudaMemcpy(nullptr, host.data(), 10, cudaMemcpyHostToHost), cudaErrorInvalidValue);
    for (const int kind : {5, 7, -1})
        EXPECT_EQ(cudaMemcpy(dev.get(), host.data(), 10, static_cast<cudaMemcpyKind>(kind)),
                  cudaErrorInvalidMemcpyDirection)
            << "kind " << kind;

    // cudaMemcpyDefault infers the sides but still bounds the device range.
    EXPECT_EQ(cudaMemcpy(host.data() + 1000, dev.get(), 1000, cudaMemcpyDefault), cudaSuccess);
    EXPECT_EQ(cudaMemcpy(host.data(), dev.get() + 1, 1000, cudaMemcpyDefault), cudaErrorInvalidValue);
    EXPECT_EQ(cudaMemcpy(dev.get() + 999, host.data(), 2, cudaMemcpyDefault), cudaErrorInvalidValue);
}

TEST_F(CpuRuntime, PitchedCopiesMoveOnlyWidthBytesOfEachRow) {
    const size_t width = 40, height = 5, pitch = 64;
    const size_t span = pitch * (height - 1) + width; // the last row needs no padding
    DeviceBuffer<unsigned char> dev(span);
    ASSERT_EQ(cudaMemset(dev.get(), 0xAB, span), cudaSuccess);
    std::vector<unsigned char> packed(width * height);
    for (size_t i = 0; i < packed.size(); ++i) packed[i] = static_cast<unsigned char>(i + 1);

    ASSERT_EQ(cudaMemcpy2D(dev.get(), pitch, packed.data(), width, width, height, cudaMemcpyHostToDevice), cudaSuccess);
    const std::vector<unsigned char> pitched = dev.download();
    for (size_t r = 0; r < height; ++r)
        for (size_t c = 0; c < pitch && r * pitch + c < span; ++c)
            ASSERT_EQ(pitched[r * pitch + c], c < width ? packed[r * width + c] : 0xAB) << "row " << r << " byte " << c;

    const size_t hostPitch = 48;
    std::vector<unsigned char> back(hostPitch * height, 0x11);
    ASSERT_EQ(cudaMemcpy2D(back.data(), hostPitch, dev.get(), pitch, width, height, cudaMemcpyDeviceToHost),
              cudaSuccess);
    for (size_t r = 0; r < height; ++r)
        for (size_t c = 0; c < hostPitch; ++c)
            ASSERT_EQ(back[r * hostPitch + c], c < width ? packed[r * width + c] : 0x11)
                << "row " << r << " byte " << c;

    EXPECT_EQ(cudaMemcpy2D(dev.get(), 32, packed.data(), width, width, height, cudaMemcpyHostToDevice),
              cudaErrorInvalidPitchValue);
    EXPECT_EQ(cudaMemcpy2D(dev.get(), pitch, packed.data(), width - 1, width, height, cudaMemcpyHostToDevice),
              cudaErrorInvalidPitchValue);
    EXPECT_EQ(cudaMemcpy2D(dev.get(), pitch, packed.data(), width, width, height + 1, cudaMemcpyHostToDevice),
              cudaErrorInvalidValue);
    EXPECT_EQ(cudaMemcpy2D(dev.get() + 1, pitch, packed.data(), width, width, height, cudaMemcpyHostToDevice),
              cudaErrorInvalidValue);
    // A pitch whose span wraps around 64 bits must not pass the range check.
    EXPECT_EQ(cudaMemcpy2D(dev.get(), size_t(1) << 63, packed.data(), width, width, 3, cudaMemcpyHostToDevice),
              cudaErrorInvalidPitchValue);
}

TEST_F(CpuRuntime, MemsetWritesTheLowByteWithinTheAllocationOnly) {
    DeviceBuffer<unsigned char> dev(100);
    ASSERT_EQ(cudaMemset(dev.get(), 0, 100), cudaSuccess);
    ASSERT_EQ(cudaMemset(dev.get() + 10, 0x1234, 20), cudaSuccess);
    EXPECT_EQ(cudaMemset(dev.get() + 90, 1, 11), cudaErrorInvalidValue);
    std::vector<unsigned char> host(16, 9);
    EXPECT_EQ(cudaMemset(host.data(), 0, host.size()), cudaErrorInvalidValue);
    EXPECT_EQ(host, std::vector<unsigned char>(16, 9));
    const std::vector<unsigned char> bytes = dev.download();
    for (size_t i = 0; i < bytes.size(); ++i) EXPECT_EQ(bytes[i], i >= 10 && i < 30 ? 0x34 : 0) << "byte " << i;
}

TEST_F(CpuRuntime, ArrayCopiesHonourByteOffsetsAndArrayBounds) {
    const cudaChannelFormatDesc desc = cudaCreateChannelDesc<float>();
    cudaArray_t array = nullptr;
    ASSERT_EQ(cudaMallocArray(&array, &desc, 8, 4), cudaSuccess);
    ArrayPtr owner(array);
    const size_t row = 8 * sizeof(float), f = sizeof(float);
    const std::vector<float> zeros(32, 0.0f);
    ASSERT_EQ(cudaMemcpy2DToArray(array, 0, 0, zeros.data(), row, row, 4, cudaMemcpyHostToDevice), cudaSuccess);

    const std::vector<float> patch = {1, 2, 3, 4, 5, 6}; // 3 wide, 2 high
    ASSERT_EQ(cudaMemcpy2DToArray(array, 2 * f, 1, patch.data(), 3 * f, 3 * f, 2, cudaMemcpyHostToDevice), cudaSuccess);
    std::vector<float> all(32, -1.0f);
    ASSERT_EQ(cudaMemcpy2DFromArray(all.data(), row, array, 0, 0, row, 4, cudaMemcpyDeviceToHost), cudaSuccess);
    std::vector<float> expected(32, 0.0f);
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 3; ++x) expected[size_t((1 + y) * 8 + 2 + x)] = patch[size_t(y * 3 + x)];
    EXPECT_EQ(all, expected);

    std::vector<float> window(10, -1.0f); // 2 rows at a pitch of 5 floats
    ASSERT_EQ(cudaMemcpy2DFromArray(window.data(), 5 * f, array, 3 * f, 1, 2 * f, 2, cudaMemcpyDeviceToHost),
              cudaSuccess);
    EXPECT_EQ(window, (std::vector<float>{2, 3, -1, -1, -1, 5, 6, -1, -1, -1}));

    EXPECT_EQ(cudaMemcpy2DToArray(array, 5 * f, 2, patch.data(), 3 * f, 3 * f, 2, cudaMemcpyHostToDevice), cudaSuccess)
        << "a patch ending exactly at the corner fits";
    EXPECT_EQ(cudaMemcpy2DToArray(array, 6 * f, 0, patch.data(), 3 * f, 3 * f, 1, cudaMemcpyHostToDevice),
              cudaErrorInvalidValue);
    EXPECT_EQ(cudaMemcpy2DToArray(array, 0, 3, patch.data(), 3 * f, 3 * f, 2, cudaMemcpyHostToDevice),
              cudaErrorInvalidValue);
    EXPECT_EQ(cudaMemcpy2DFromArray(window.data(), 5 * f, array, 0, 3, 2 * f, 2, cudaMemcpyDeviceToHost),
              cudaErrorInvalidValue);
    EXPECT_EQ(cudaMemcpy2DToArray(array, 0, 0, patch.data(), 2 * f, 3 * f, 2, cudaMemcpyHostToDevice),
              cudaErrorInvalidPitchValue);
    EXPECT_EQ(cudaMemcpy2DToArray(array, 0, 0, patch.data(), 3 * f, 3 * f, 2, cudaMemcpyDeviceToHost),
              cudaErrorInvalidMemcpyDirection);

    ASSERT_EQ(cudaFreeArray(owner.release()), cudaSuccess);
    EXPECT_EQ(cudaFreeArray(array), cudaErrorInvalidValue);
    EXPECT_EQ(cudaMemcpy2DToArray(array, 0, 0, patch.data(), 3 * f, 3 * f, 2, cudaMemcpyHostToDevice),
              cudaErrorInvalidValue);
}

TEST_F(CpuRuntime, BorderAddressingReadsTheBorderColourOutsideTheTexture) {
    const std::vector<float> texels = {1, 2, 3, 4};
    const ArrayTexture point(texels, 2, 2, cudaAddressModeBorder, cudaFilterModePoint, 100.0f);
    EXPECT_EQ(sampleTexture(point.get(), {make_float2(0.5f, 0.5f), make_float2(1.5f, 1.5f), make_float2(-0.01f, 0.5f),
                                          make_float2(2.0f, 0.5f), make_float2(0.5f, 2.0f), make_float2(0.5f, -3.0f)}),
              (std::vector<float>{1, 4, 100, 100, 100, 100}));

    // Half of the footprint lies outside at the first two coordinates.
    const ArrayTexture linear(texels, 2, 2, cudaAddressModeBorder, cudaFilterModeLinear, 100.0f);
    EXPECT_EQ(sampleTexture(linear.get(), {make_float2(0.0f, 0.5f), make_float2(2.0f, 1.5f), make_float2(1.0f, 0.5f),
                                           make_float2(-1.0f, -1.0f)}),
              (std::vector<float>{50.5f, 52.0f, 1.5f, 100.0f}));
}

TEST_F(CpuRuntime, LinearFilteringWeightsKeepEightFractionalBits) {
    // Ramps 0 -> 1 along x (rows equal) and along y (columns equal): the sample is the weight itself.
    const ArrayTexture alongX({0, 1, 0, 1}, 2, 2, cudaAddressModeClamp, cudaFilterModeLinear);
    const ArrayTexture alongY({0, 0, 1, 1}, 2, 2, cudaAddressModeClamp, cudaFilterModeLinear);
    // Fractions a little above k / 256, by less than half a step, so that
    // rounding and truncation to eight bits agree.
    const int steps[] = {1, 64, 129, 200, 255};
    std::vector<float2> atX, atY;
    std::vector<float> expected;
    for (int k : steps) {
        const float fraction = static_cast<float>(k) / 256.0f + 0.0009f;
        atX.push_back(make_float2(0.5f + fraction, 1.0f));
        atY.push_back(make_float2(1.0f, 0.5f + fraction));
        expected.push_back(static_cast<float>(k) / 256.0f);
    }
    EXPECT_EQ(sampleTexture(alongX.get(), atX), expected);
    EXPECT_EQ(sampleTexture(alongY.get(), atY), expected);
}

TEST_F(CpuRuntime, Pitch2DTexturesReadEachRowAtItsPitch) {
    const size_t width = 10, height = 3, pitch = 64;
    const size_t pitchFloats = pitch / sizeof(float);
    DeviceBuffer<float> dev(std::vector<float>(pitchFloats * (height - 1) + width, -1.0f));
    std::vector<float> rows;
    for (size_t r = 0; r < height; ++r)
        for (size_t c = 0; c < width; ++c) rows.push_back(static_cast<float>(100 * r + c));
    ASSERT_EQ(cudaMemcpy2D(dev.get(), pitch, rows.data(), width * sizeof(float), width * sizeof(float), height,
                           cudaMemcpyHostToDevice),
              cudaSuccess);

    cudaResourceDesc resource{};
    resource.resType = cudaResourceTypePitch2D;
    resource.res.pitch2D.devPtr = dev.get();
    resource.res.pitch2D.desc = cudaCreateChannelDesc<float>();
    resource.res.pitch2D.width = width;
    resource.res.pitch2D.height = height;
    resource.res.pitch2D.pitchInBytes = pitch;
    cudaTextureDesc sampling{};
    sampling.addressMode[0] = sampling.addressMode[1] = cudaAddressModeClamp;
    sampling.filterMode = cudaFilterModePoint;
    sampling.readMode = cudaReadModeElementType;
    TextureObject texture;
    ASSERT_EQ(cudaCreateTextureObject(&texture.handle, &resource, &sampling, nullptr), cudaSuccess);
    // The padding after column 9 holds -1; clamping must never reach it.
    EXPECT_EQ(sampleTexture(texture.handle, {make_float2(0.5f, 0.5f), make_float2(9.5f, 1.5f), make_float2(4.5f, 2.5f),
                                             make_float2(10.5f, 0.5f), make_float2(3.5f, 5.0f)}),
              (std::vector<float>{0, 109, 204, 9, 203}));
    sampling.filterMode = cudaFilterModeLinear;
    TextureObject linear;
    ASSERT_EQ(cudaCreateTextureObject(&linear.handle, &resource, &sampling, nullptr), cudaSuccess);
    EXPECT_EQ(sampleTexture(linear.handle, {make_float2(5.0f, 1.0f), make_float2(10.0f, 2.0f)}),
              (std::vector<float>{54.5f, 159.0f}));

    TextureObject refused;
    for (const size_t badPitch : {size_t(40), size_t(32)}) {
        resource.res.pitch2D.pitchInBytes = badPitch;
        EXPECT_EQ(cudaCreateTextureObject(&refused.handle, &resource, &sampling, nullptr), cudaErrorInvalidValue)
            << "pitch " << badPitch;
    }
    resource.res.pitch2D.pitchInBytes = pitch;
    resource.res.pitch2D.height = height + 1;
    EXPECT_EQ(cudaCreateTextureObject(&refused.handle, &resource, &sampling, nullptr), cudaErrorInvalidValue)
        << "rows beyond the allocation";
}

TEST_F(CpuRuntime, ElapsedTimeNeedsTwoRecordedEventsAndIsNeverNegative) {
    cudaEvent_t start = nullptr, stop = nullptr;
    ASSERT_EQ(cudaEventCreate(&start), cudaSuccess);
    ASSERT_EQ(cudaEventCreate(&stop), cudaSuccess);
    float ms = -1.0f;
    EXPECT_EQ(cudaEventElapsedTime(&ms, start, stop), cudaErrorInvalidResourceHandle);
    ASSERT_EQ(cudaEventRecord(start), cudaSuccess);
    EXPECT_EQ(cudaEventElapsedTime(&ms, start, stop), cudaErrorInvalidResourceHandle);

    DeviceBuffer<float> values(100000);
    launchFill(values.get(), 100000, 2.0f);
    ASSERT_EQ(cudaEventRecord(stop), cudaSuccess);
    ASSERT_EQ(cudaEventSynchronize(stop), cudaSuccess);
    EXPECT_EQ(cudaEventQuery(stop), cudaSuccess);
    ASSERT_EQ(cudaEventElapsedTime(&ms, start, stop), cudaSuccess);
    EXPECT_GE(ms, 0.0f);

    EXPECT_EQ(cudaEventDestroy(start), cudaSuccess);
    EXPECT_EQ(cudaEventDestroy(stop), cudaSuccess);
    EXPECT_EQ(cudaEventDestroy(stop), cudaErrorInvalidResourceHandle);
    EXPECT_EQ(cudaEventRecord(stop), cudaErrorInvalidResourceHandle);
}

TEST(CpuRuntimeErrors, GetLastErrorReportsOnceWhilePeekLeavesItInPlace) {
    cudaGetLastError();
    EXPECT_EQ(cudaMalloc(static_cast<void**>(nullptr), 16), cudaErrorInvalidValue);
    void* raw = nullptr;
    ASSERT_EQ(cudaMalloc(&raw, 16), cudaSuccess);
    EXPECT_EQ(cudaFree(raw), cudaSuccess);
    EXPECT_EQ(cudaPeekAtLastError(), cudaErrorInvalidValue) << "a successful call cleared the last error";
    EXPECT_EQ(cudaPeekAtLastError(), cudaErrorInvalidValue);
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidValue);
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    EXPECT_EQ(cudaPeekAtLastError(), cudaSuccess);

    EXPECT_EQ(cudaSetDevice(-1), cudaErrorInvalidDevice);
    EXPECT_EQ(cudaMemcpy(nullptr, &raw, 1, cudaMemcpyHostToHost), cudaErrorInvalidValue);
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidValue) << "the latest error wins";
}

TEST(CpuRuntimeErrors, EachHostThreadHasItsOwnLastError) {
    cudaGetLastError();
    ASSERT_EQ(cudaSetDevice(-1), cudaErrorInvalidDevice);
    DeviceBuffer<unsigned> out(1), hits(1), launched(1);
    cudaError_t seenFirst = cudaErrorUnknown, ownError = cudaErrorUnknown, afterGet = cudaErrorUnknown;
    std::thread other([&] {
        seenFirst = cudaPeekAtLastError();
        launchIndexGrid(dim3(1), dim3(0), dim3(1), out.get(), hits.get(), launched.get());
        ownError = cudaGetLastError();
        afterGet = cudaPeekAtLastError();
    });
    other.join();
    EXPECT_EQ(seenFirst, cudaSuccess);
    EXPECT_EQ(ownError, cudaErrorInvalidConfiguration);
    EXPECT_EQ(afterGet, cudaSuccess);
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidDevice);
}

TEST(CpuRuntimeErrors, EveryCodeHasItsOwnNameAndDescription) {
    const cudaError_t codes[] = {
        cudaSuccess, cudaErrorInvalidValue, cudaErrorMemoryAllocation, cudaErrorInitializationError,
        cudaErrorInvalidConfiguration, cudaErrorInvalidPitchValue, cudaErrorInvalidSymbol,
        cudaErrorInvalidDevicePointer, cudaErrorInvalidTexture, cudaErrorInvalidChannelDescriptor,
        cudaErrorInvalidMemcpyDirection, cudaErrorInsufficientDriver, cudaErrorDevicesUnavailable,
        cudaErrorInvalidDeviceFunction, cudaErrorNoDevice, cudaErrorInvalidDevice, cudaErrorInvalidResourceHandle,
        cudaErrorNotReady, cudaErrorIllegalAddress, cudaErrorLaunchOutOfResources, cudaErrorLaunchFailure,
        cudaErrorNotSupported, cudaErrorUnknown,
    };
    const std::string unknown = "unrecognized error code";
    std::set<std::string> names, descriptions;
    for (const cudaError_t code : codes) {
        const std::string name = cudaGetErrorName(code), description = cudaGetErrorString(code);
        EXPECT_EQ(name.rfind("cuda", 0), 0u) << code << ": " << name;
        EXPECT_NE(description, unknown) << name;
        names.insert(name);
        descriptions.insert(description);
    }
    EXPECT_EQ(names.size(), std::size(codes));
    EXPECT_EQ(descriptions.size(), std::size(codes));

    // Engine messages quote it, as the CUDA runtime words it.
    EXPECT_STREQ(cudaGetErrorString(cudaErrorMemoryAllocation), "out of memory");
    for (const int code : {12345, -3, 702}) {
        EXPECT_EQ(cudaGetErrorName(static_cast<cudaError_t>(code)), unknown) << code;
        EXPECT_EQ(cudaGetErrorString(static_cast<cudaError_t>(code)), unknown) << code;
    }
}

TEST_F(CpuRuntime, EachHostThreadWorksOnTheDeviceItSelected) {
    constexpr int kDevices = 3;
    const uint64_t capacity[kDevices] = {kMiB, 2 * kMiB, 3 * kMiB};
    configure({deviceWith(capacity[0], "first"), deviceWith(capacity[1], "second"), deviceWith(capacity[2], "third")},
              4);
    const int blocks = 16;
    const auto perBlock = [](int d) { return 1250 * (d + 1); };
    const auto oddBytes = [](int d) { return size_t(1000 * d + 1); };
    const auto expectedBytes = [&](int d) {
        return roundedTo256(uint64_t(blocks) * uint64_t(perBlock(d)) * sizeof(float)) +
               2 * roundedTo256(blocks * sizeof(float)) + roundedTo256(oddBytes(d));
    };

    struct Outcome {
        cudaError_t selected = cudaErrorUnknown;
        int current = -1;
        size_t free = 0, total = 0;
        std::array<uint64_t, kDevices> inUse{};
        int launchErrors = 0;
        int wrongResults = 0;
    };
    std::array<Outcome, kDevices> outcomes;
    std::barrier allAllocated(kDevices);
    const auto work = [&](int d) {
        Outcome& o = outcomes[size_t(d)];
        o.selected = cudaSetDevice(d);
        cudaGetDevice(&o.current);
        const int n = blocks * perBlock(d);
        DeviceBuffer<float> values(static_cast<size_t>(n)), sums(static_cast<size_t>(blocks)),
            maxima(static_cast<size_t>(blocks));
        DeviceBuffer<unsigned char> odd(oddBytes(d));
        allAllocated.arrive_and_wait();
        for (int round = 0; round < 20; ++round) {
            const float v = static_cast<float>(d + 1 + round);
            launchFill(values.get(), n, v);
            launchBlockReduce(values.get(), perBlock(d), blocks, 256, sums.get(), maxima.get());
            if (cudaGetLastError() != cudaSuccess) ++o.launchErrors;
            if (sums.download() != std::vector<float>(size_t(blocks), v * float(perBlock(d))) ||
                maxima.download() != std::vector<float>(size_t(blocks), v))
                ++o.wrongResults;
        }
        cudaMemGetInfo(&o.free, &o.total);
        for (int k = 0; k < kDevices; ++k) o.inUse[size_t(k)] = deviceBytesInUse(k);
        // Nobody frees before every thread has read the accounting.
        allAllocated.arrive_and_wait();
    };
    std::vector<std::thread> threads;
    for (int d = 0; d < kDevices; ++d) threads.emplace_back(work, d);
    for (std::thread& t : threads) t.join();

    for (int d = 0; d < kDevices; ++d) {
        SCOPED_TRACE(::testing::Message() << "thread of device " << d);
        const Outcome& o = outcomes[size_t(d)];
        EXPECT_EQ(o.selected, cudaSuccess);
        EXPECT_EQ(o.current, d);
        EXPECT_EQ(o.launchErrors, 0);
        EXPECT_EQ(o.wrongResults, 0);
        EXPECT_EQ(o.total, capacity[d]);
        EXPECT_EQ(o.free, capacity[d] - expectedBytes(d));
        for (int k = 0; k < kDevices; ++k) EXPECT_EQ(o.inUse[size_t(k)], expectedBytes(k)) << "device " << k;
    }
    int current = -1;
    ASSERT_EQ(cudaGetDevice(&current), cudaSuccess);
    EXPECT_EQ(current, 0) << "another thread's choice leaked into this one";
}

TEST_F(CpuRuntime, InvalidOrdinalsAreRefusedAndTheCurrentDeviceIsKept) {
    configure({deviceWith(kMiB), deviceWith(kMiB)});
    int count = 0;
    ASSERT_EQ(cudaGetDeviceCount(&count), cudaSuccess);
    EXPECT_EQ(count, 2);
    ASSERT_EQ(cudaSetDevice(1), cudaSuccess);
    for (const int bad : {-1, 2, 1000}) {
        SCOPED_TRACE(::testing::Message() << "ordinal " << bad);
        EXPECT_EQ(cudaSetDevice(bad), cudaErrorInvalidDevice);
        cudaDeviceProp prop{};
        EXPECT_EQ(cudaGetDeviceProperties(&prop, bad), cudaErrorInvalidDevice);
        int value = 0;
        EXPECT_EQ(cudaDeviceGetAttribute(&value, cudaDevAttrWarpSize, bad), cudaErrorInvalidDevice);
    }
    int current = -1;
    ASSERT_EQ(cudaGetDevice(&current), cudaSuccess);
    EXPECT_EQ(current, 1);
}

TEST_F(CpuRuntime, AnEmptyDeviceTableReportsNoDeviceEverywhere) {
    configure({});
    int count = -1;
    EXPECT_EQ(cudaGetDeviceCount(&count), cudaErrorNoDevice);
    EXPECT_EQ(count, 0);
    void* raw = nullptr;
    EXPECT_EQ(cudaMalloc(&raw, 16), cudaErrorNoDevice);
    size_t free = 0, total = 0;
    EXPECT_EQ(cudaMemGetInfo(&free, &total), cudaErrorNoDevice);
    int current = -1;
    EXPECT_EQ(cudaGetDevice(&current), cudaErrorNoDevice);
    EXPECT_EQ(cudaSetDevice(0), cudaErrorInvalidDevice);
    launchFill(nullptr, 16, 1.0f);
    EXPECT_EQ(cudaGetLastError(), cudaErrorNoDevice);
}

TEST_F(CpuRuntime, AnInjectedDeviceCountErrorIsReturnedWithACountOfZero) {
    configure({deviceWith(kMiB)}, 4, cudaErrorInsufficientDriver);
    int count = -1;
    EXPECT_EQ(cudaGetDeviceCount(&count), cudaErrorInsufficientDriver);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(cudaGetLastError(), cudaErrorInsufficientDriver);
}

TEST_F(CpuRuntime, AProhibitedDeviceIsReportedAndCannotBeSelected) {
    CpuDeviceSetup prohibited = deviceWith(kMiB, "prohibited");
    prohibited.computeMode = cudaComputeModeProhibited;
    CpuDeviceSetup silent = deviceWith(kMiB, "no properties");
    silent.propertiesFail = true;
    configure({deviceWith(kMiB), prohibited, silent});

    int mode = -1;
    ASSERT_EQ(cudaDeviceGetAttribute(&mode, cudaDevAttrComputeMode, 0), cudaSuccess);
    EXPECT_EQ(mode, cudaComputeModeDefault);
    ASSERT_EQ(cudaDeviceGetAttribute(&mode, cudaDevAttrComputeMode, 1), cudaSuccess);
    EXPECT_EQ(mode, cudaComputeModeProhibited);
    EXPECT_EQ(cudaSetDevice(1), cudaErrorDevicesUnavailable);
    int current = -1;
    ASSERT_EQ(cudaGetDevice(&current), cudaSuccess);
    EXPECT_EQ(current, 0);

    cudaDeviceProp prop{};
    EXPECT_NE(cudaGetDeviceProperties(&prop, 2), cudaSuccess);
}

TEST_F(CpuRuntime, PropertiesDescribeTheConfiguredDevice) {
    CpuDeviceSetup tuned = deviceWith(3 * kMiB, "Tavro test device");
    tuned.sharedMemPerBlockOptin = 100000;
    tuned.clockKHz = 1234567;
    configure({deviceWith(kMiB), tuned}, 3);
    EXPECT_EQ(launchThreadCount(), 3);

    cudaDeviceProp prop{};
    ASSERT_EQ(cudaGetDeviceProperties(&prop, 1), cudaSuccess);
    EXPECT_STREQ(prop.name, "Tavro test device");
    EXPECT_EQ(prop.totalGlobalMem, 3 * kMiB);
    EXPECT_EQ(prop.sharedMemPerBlockOptin, 100000u);
    EXPECT_EQ(prop.multiProcessorCount, 3) << "one multiprocessor per launch thread";

    const std::pair<cudaDeviceAttr, int> attributes[] = {
        {cudaDevAttrMaxSharedMemoryPerBlockOptin, 100000},
        {cudaDevAttrClockRate, 1234567},
        {cudaDevAttrMultiProcessorCount, 3},
    };
    for (const auto& [attribute, expected] : attributes) {
        int value = 0;
        ASSERT_EQ(cudaDeviceGetAttribute(&value, attribute, 1), cudaSuccess) << attribute;
        EXPECT_EQ(value, expected) << attribute;
    }

    ASSERT_EQ(cudaSetDevice(1), cudaSuccess);
    const int tileFloats = 25000;
    std::vector<float> values(static_cast<size_t>(2 * tileFloats));
    for (size_t i = 0; i < values.size(); ++i) values[i] = static_cast<float>(i);
    DeviceBuffer<float> in(values), out(values.size());
    cudaGetLastError();
    launchRotateTiles(in.get(), out.get(), tileFloats, 2, 256);
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidValue) << "more than 48 KiB without the attribute";
    EXPECT_EQ(limitRotateTilesSharedBytes(100001), cudaErrorInvalidValue) << "beyond the opt-in limit";
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidValue);
    ASSERT_EQ(limitRotateTilesSharedBytes(100000), cudaSuccess);
    launchRotateTiles(in.get(), out.get(), tileFloats, 2, 256);
    ASSERT_EQ(cudaGetLastError(), cudaSuccess);
    const std::vector<float> rotated = out.download();
    EXPECT_EQ(rotated[0], 1.0f);
    EXPECT_EQ(rotated[size_t(tileFloats - 1)], 0.0f);
    EXPECT_EQ(rotated[size_t(2 * tileFloats - 1)], static_cast<float>(tileFloats));
}

// Bits of every correct sample program on fixed inputs.
struct ProgramBits {
    std::vector<uint32_t> sums, maxima, treeSums, tiles, exchanged, texture;
    std::vector<int> winners;
    bool operator==(const ProgramBits&) const = default;
};

ProgramBits runCorrectPrograms() {
    std::mt19937 rng(21);
    std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
    const auto randomValues = [&](size_t n) {
        std::vector<float> v(n);
        for (float& x : v) {
            const float magnitude = static_cast<float>(1 + rng() % 1000);
            x = unit(rng) * magnitude;
        }
        return v;
    };
    ProgramBits bits;
    const int blocks = 64;
    {
        const int perBlock = 3000;
        DeviceBuffer<float> in(randomValues(static_cast<size_t>(blocks * perBlock))), sums(static_cast<size_t>(blocks)),
            maxima(static_cast<size_t>(blocks));
        launchBlockReduce(in.get(), perBlock, blocks, 256, sums.get(), maxima.get());
        bits.sums = bitsOf(sums.download());
        bits.maxima = bitsOf(maxima.download());
    }
    {
        DeviceBuffer<float> in(randomValues(static_cast<size_t>(blocks * kTreeThreads))),
            out(static_cast<size_t>(blocks));
        launchTreeSum(in.get(), out.get(), blocks, kTreeThreads);
        bits.treeSums = bitsOf(out.download());
    }
    {
        std::vector<float> scores(static_cast<size_t>(blocks * kTreeThreads));
        for (float& s : scores) s = static_cast<float>(rng() % 4);
        std::vector<int> payloads(scores.size());
        for (size_t i = 0; i < payloads.size(); ++i) payloads[i] = int(i);
        DeviceBuffer<float> s(scores);
        DeviceBuffer<int> p(payloads);
        DeviceBuffer<ArgMaxRecord> out(static_cast<size_t>(blocks));
        launchArgMax(s.get(), p.get(), out.get(), blocks, kTreeThreads);
        for (const ArgMaxRecord& r : out.download()) bits.winners.push_back(r.payload);
    }
    {
        const int tileFloats = 4096;
        DeviceBuffer<float> in(randomValues(static_cast<size_t>(8 * tileFloats))),
            out(static_cast<size_t>(8 * tileFloats));
        launchRotateTiles(in.get(), out.get(), tileFloats, 8, 128);
        bits.tiles = bitsOf(out.download());
    }
    {
        DeviceBuffer<float> in(randomValues(static_cast<size_t>(blocks * kTreeThreads))),
            out(static_cast<size_t>(blocks * kTreeThreads));
        launchExchange(in.get(), out.get(), blocks, true);
        bits.exchanged = bitsOf(out.download());
    }
    {
        const ArrayTexture texture(randomValues(64 * 48), 64, 48, cudaAddressModeClamp, cudaFilterModeLinear);
        std::vector<float2> at(2000);
        for (float2& c : at) {
            const float x = 70.0f * std::abs(unit(rng)) - 3.0f;
            c = make_float2(x, 52.0f * std::abs(unit(rng)) - 2.0f);
        }
        bits.texture = bitsOf(sampleTexture(texture.get(), at));
    }
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    return bits;
}

TEST_F(CpuRuntime, ResultsDoNotDependOnTheNumberOfLaunchThreadsOrThePhaseOrder) {
    configure({deviceWith(64 * kMiB)}, 1);
    setReversePhaseOrder(false);
    const ProgramBits alone = runCorrectPrograms();
    configure({deviceWith(64 * kMiB)}, 8);
    ASSERT_EQ(launchThreadCount(), 8);
    EXPECT_TRUE(runCorrectPrograms() == alone) << "launch threads";
    setReversePhaseOrder(true);
    EXPECT_TRUE(runCorrectPrograms() == alone) << "reverse phase order";
}

TEST_F(CpuRuntime, ReversePhaseOrderExposesAReadOfANeighbourWithoutABarrier) {
    const int blocks = 4, n = blocks * kTreeThreads;
    std::vector<float> values(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) values[size_t(i)] = static_cast<float>(i);
    DeviceBuffer<float> in(values), out(static_cast<size_t>(n));
    const auto exchange = [&](bool reverse, bool barrier) {
        setReversePhaseOrder(reverse);
        launchExchange(in.get(), out.get(), blocks, barrier);
        EXPECT_EQ(cudaGetLastError(), cudaSuccess);
        return out.download();
    };
    std::vector<float> expected(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i)
        expected[size_t(i)] = values[size_t(i / kTreeThreads * kTreeThreads + (i + 1) % kTreeThreads)];

    EXPECT_EQ(exchange(false, true), expected);
    EXPECT_EQ(exchange(true, true), expected);
    EXPECT_NE(exchange(false, false), exchange(true, false)) << "the missing barrier went unnoticed";
}

TEST_F(CpuRuntime, AllocationsOutlivingAReconfigurationKeepTheAccountingSane) {
    configure({deviceWith(kMiB)});
    void* raw = nullptr;
    ASSERT_EQ(cudaMalloc(&raw, 1000), cudaSuccess);
    configure({deviceWith(2 * kMiB)});
    EXPECT_EQ(deviceBytesInUse(0), 1024u);
    ASSERT_EQ(cudaFree(raw), cudaSuccess);
    EXPECT_EQ(deviceBytesInUse(0), 0u);
}

} // namespace
} // namespace tavro::gpu::test
