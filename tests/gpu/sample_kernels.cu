#include "sample_kernels.h"

#include <cfloat>
#include <cstddef>

#include "gpu/runtime.h"

namespace tavro::gpu::test {
namespace {

__global__ void indexGridKernel(dim3 extent, unsigned* out, unsigned* hits, unsigned* launched) {
    atomicAdd(launched, 1u);
    const unsigned x = blockIdx.x * blockDim.x + threadIdx.x;
    const unsigned y = blockIdx.y * blockDim.y + threadIdx.y;
    const unsigned z = blockIdx.z * blockDim.z + threadIdx.z;
    if (x >= extent.x || y >= extent.y || z >= extent.z) return;
    const unsigned i = (z * extent.y + y) * extent.x + x;
    out[i] = i;
    atomicAdd(&hits[i], 1u);
}

__global__ void blockReduceKernel(const float* in, int perBlock, float* sums, float* maxima) {
    const Block block;
    PerThread<float> sum(block);
    PerThread<float> top(block);
    const float* data = in + static_cast<size_t>(blockIdx.x) * static_cast<size_t>(perBlock);
    block.forEachThreadNoSync([&](int t) {
        float s = 0.0f;
        float m = -FLT_MAX;
        for (int i = t; i < perBlock; i += block.size()) {
            s += data[i];
            m = data[i] > m ? data[i] : m;
        }
        sum[t] = s;
        top[t] = m;
    });
    const float total = block.reduceSum(sum);
    const float largest = block.reduceMax(top);
    block.single([&] {
        sums[blockIdx.x] = total;
        maxima[blockIdx.x] = largest;
    });
}

__global__ void rotateTilesKernel(const float* in, float* out, int tileFloats) {
    const Block block;
    float* tile = block.dynamicShared<float>();
    const size_t base = static_cast<size_t>(blockIdx.x) * static_cast<size_t>(tileFloats);
    block.forEachThread([&](int t) {
        for (int i = t; i < tileFloats; i += block.size()) tile[i] = in[base + i];
    });
    // Element i + 1 was loaded by the next thread.
    block.forEachThread([&](int t) {
        for (int i = t; i < tileFloats; i += block.size()) out[base + i] = tile[(i + 1) % tileFloats];
    });
}

__global__ void exchangeKernel(const float* in, float* out, bool barrierBetween) {
    const Block block;
    __shared__ float slots[kTreeThreads];
    const size_t base = static_cast<size_t>(blockIdx.x) * kTreeThreads;
    block.forEachThread([&](int t) { slots[t] = -1.0f; });
    if (barrierBetween) {
        block.forEachThread([&](int t) { slots[t] = in[base + t]; });
        block.forEachThread([&](int t) { out[base + t] = slots[(t + 1) % kTreeThreads]; });
    } else {
        block.forEachThread([&](int t) {
            slots[t] = in[base + t];
            out[base + t] = slots[(t + 1) % kTreeThreads];
        });
    }
}

__global__ void argMaxKernel(const float* scores, const int* payloads, ArgMaxRecord* out) {
    const Block block;
    PerThread<float> score(block);
    PerThread<int> payload(block);
    const size_t base = static_cast<size_t>(blockIdx.x) * static_cast<size_t>(block.size());
    block.forEachThreadNoSync([&](int t) {
        score[t] = scores[base + t];
        payload[t] = payloads[base + t];
    });
    const ArgMaxResult<float, int> best = block.argMax<kTreeThreads>(score, payload);
    block.single([&] { out[blockIdx.x] = ArgMaxRecord{best.score, best.payload, best.thread}; });
}

__global__ void treeSumKernel(const float* in, float* out) {
    const Block block;
    PerThread<float> value(block);
    const size_t base = static_cast<size_t>(blockIdx.x) * static_cast<size_t>(block.size());
    block.forEachThreadNoSync([&](int t) { value[t] = in[base + t]; });
    const float total = block.reduceSumTree<kTreeThreads>(value);
    block.single([&] { out[blockIdx.x] = total; });
}

__global__ void sampleTextureKernel(cudaTextureObject_t texture, const float2* at, float* out, int n) {
    const int i = static_cast<int>(blockIdx.x * blockDim.x + threadIdx.x);
    if (i < n) out[i] = tex2D<float>(texture, at[i].x, at[i].y);
}

__global__ void fillKernel(float* out, int n, float value) {
    const int i = static_cast<int>(blockIdx.x * blockDim.x + threadIdx.x);
    if (i < n) out[i] = value;
}

int blocksFor(int n, int threads) { return (n + threads - 1) / threads; }

} // namespace

void launchIndexGrid(dim3 grid, dim3 block, dim3 extent, unsigned* out, unsigned* hits, unsigned* launched) {
    TAVRO_LAUNCH(indexGridKernel, grid, block, 0, extent, out, hits, launched);
}

void launchIndexGridAsBlockProgram(dim3 grid, dim3 block, dim3 extent, unsigned* out, unsigned* hits,
                                   unsigned* launched) {
    TAVRO_LAUNCH_BLOCK(indexGridKernel, grid, block, 0, extent, out, hits, launched);
}

void launchBlockReduce(const float* in, int perBlock, int blocks, int threads, float* sums, float* maxima) {
    TAVRO_LAUNCH_BLOCK(blockReduceKernel, blocks, threads, 0, in, perBlock, sums, maxima);
}

void launchBlockReduceElementWise(const float* in, int perBlock, int blocks, int threads, float* sums, float* maxima) {
    TAVRO_LAUNCH(blockReduceKernel, blocks, threads, 0, in, perBlock, sums, maxima);
}

cudaError_t limitRotateTilesSharedBytes(int bytes) {
    return cudaFuncSetAttribute(rotateTilesKernel, cudaFuncAttributeMaxDynamicSharedMemorySize, bytes);
}

void launchRotateTiles(const float* in, float* out, int tileFloats, int blocks, int threads) {
    TAVRO_LAUNCH_BLOCK(rotateTilesKernel, blocks, threads, static_cast<size_t>(tileFloats) * sizeof(float), in, out,
                       tileFloats);
}

void launchExchange(const float* in, float* out, int blocks, bool barrierBetween) {
    TAVRO_LAUNCH_BLOCK(exchangeKernel, blocks, kTreeThreads, 0, in, out, barrierBetween);
}

void launchArgMax(const float* scores, const int* payloads, ArgMaxRecord* out, int blocks, int threads) {
    TAVRO_LAUNCH_BLOCK(argMaxKernel, blocks, threads, 0, scores, payloads, out);
}

void launchTreeSum(const float* in, float* out, int blocks, int threads) {
    TAVRO_LAUNCH_BLOCK(treeSumKernel, blocks, threads, 0, in, out);
}

void launchSampleTexture(cudaTextureObject_t texture, const float2* at, float* out, int n) {
    TAVRO_LAUNCH(sampleTextureKernel, blocksFor(n, 64), 64, 0, texture, at, out, n);
}

void launchFill(float* out, int n, float value) { TAVRO_LAUNCH(fillKernel, blocksFor(n, 128), 128, 0, out, n, value); }

} // namespace tavro::gpu::test
