#pragma once
// Host entry points of the kernels in sample_kernels.cu. Each one only
// launches: launch errors are read with cudaGetLastError, as after any launch.

#include <vector>

#include "gpu/runtime_base.h"

namespace tavro::gpu::test {

// Block size of the tree reductions and of the neighbour exchange.
constexpr int kTreeThreads = 128;

struct ArgMaxRecord {
    float score;
    int payload;
    int thread;
};

// Element-wise over a 3-D grid: every thread inside `extent` writes its linear
// index to out and counts its visit in hits; every launched thread, inside or
// not, counts itself in *launched.
void launchIndexGrid(dim3 grid, dim3 block, dim3 extent, unsigned* out, unsigned* hits, unsigned* launched);
// The same kernel through the block-program launch, which must refuse it.
void launchIndexGridAsBlockProgram(dim3 grid, dim3 block, dim3 extent, unsigned* out, unsigned* hits,
                                   unsigned* launched);

// Block b reduces in[b * perBlock, (b + 1) * perBlock) with a strided loop per
// thread, then reduceSum and reduceMax over the threads.
void launchBlockReduce(const float* in, int perBlock, int blocks, int threads, float* sums, float* maxima);
// The same block program through the element-wise launch, which must refuse it.
void launchBlockReduceElementWise(const float* in, int perBlock, int blocks, int threads, float* sums, float* maxima);

// Limit of dynamic shared memory for launchRotateTiles, as cudaFuncSetAttribute.
cudaError_t limitRotateTilesSharedBytes(int bytes);
// Each block loads a tile of tileFloats values into dynamic shared memory and
// writes out[i] = tile[(i + 1) % tileFloats].
void launchRotateTiles(const float* in, float* out, int tileFloats, int blocks, int threads);

// Blocks of kTreeThreads threads: out[t] = in[t + 1] within each block,
// passed through shared storage. Without the barrier between writing the
// slots and reading the neighbour's, the program is deliberately wrong.
void launchExchange(const float* in, float* out, int blocks, bool barrierBetween);

// argMax<kTreeThreads> of one score and payload per thread; threads is a power
// of two no larger than kTreeThreads.
void launchArgMax(const float* scores, const int* payloads, ArgMaxRecord* out, int blocks, int threads);
// reduceSumTree<kTreeThreads> of one value per thread.
void launchTreeSum(const float* in, float* out, int blocks, int threads);

// out[i] = tex2D<float>(texture, at[i].x, at[i].y).
void launchSampleTexture(cudaTextureObject_t texture, const float2* at, float* out, int n);
// The same from host coordinates to host values (sample_kernels_test.cpp).
std::vector<float> sampleTexture(cudaTextureObject_t texture, const std::vector<float2>& at);

void launchFill(float* out, int n, float value);

} // namespace tavro::gpu::test
