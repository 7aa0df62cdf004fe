#include "gpu/runtime.h"

namespace {
__global__ void scaleKernel(const float* in, float* out, int n, float factor) {
    const int i = static_cast<int>(blockIdx.x * blockDim.x + threadIdx.x);
    if (i < n) out[i] = in[i] * factor;
}

__global__ void blockSumKernel(const float* in, float* out, int n) {
    tavro::gpu::Block block;
    tavro::gpu::PerThread<float> acc(block, 0.0f);
    block.forEachThreadNoSync([&](int t) {
        for (int i = t; i < n; i += block.size()) acc[t] += in[static_cast<size_t>(blockIdx.x) * n + i];
    });
    const float total = block.reduceSum(acc);
    block.single([&] { out[blockIdx.x] = total; });
}
} // namespace

void runScale(const float* in, float* out, int n, float factor) {
    TAVRO_LAUNCH(scaleKernel, (n + 255) / 256, 256, 0, in, out, n, factor);
}
void runBlockSum(const float* in, float* out, int n, int rows) {
    TAVRO_LAUNCH_BLOCK(blockSumKernel, rows, 128, 0, in, out, n);
}
