#include "neural/inference_kernels.h"

#include "gpu/block.h"
#include "gpu/runtime.h"

namespace tavro::neural {
namespace {

using gpu::Block;
using gpu::PerThread;

constexpr int kThreads = 256;
constexpr int kNormalizeThreads = 256;
constexpr int kRowThreads = 64;

__device__ __forceinline__ int clampIndex(int i, int last) { return i < 0 ? 0 : (i > last ? last : i); }

// Cubic convolution weights for offsets -1, 0, 1, 2 at fraction t, a = -0.5.
__device__ __forceinline__ void cubicWeights(float t, float w[4]) {
    const float a = -0.5f;
    const float d0 = t + 1.0f, d1 = t, d2 = 1.0f - t, d3 = 2.0f - t;
    w[0] = ((a * d0 - 5.0f * a) * d0 + 8.0f * a) * d0 - 4.0f * a;
    w[1] = ((a + 2.0f) * d1 - (a + 3.0f)) * d1 * d1 + 1.0f;
    w[2] = ((a + 2.0f) * d2 - (a + 3.0f)) * d2 * d2 + 1.0f;
    w[3] = ((a * d3 - 5.0f * a) * d3 + 8.0f * a) * d3 - 4.0f * a;
}

// On the CPU the convolution also comes as an AVX clone, picked at run time:
// the same products and sums in the same order (no fused multiply-add), so
// every processor gets the same bits, eight outputs at a time.
#if defined(__CUDACC__) || !defined(__x86_64__)
#define TAVRO_NEURAL_CLONES
#else
#define TAVRO_NEURAL_CLONES __attribute__((target_clones("avx", "default")))
#endif

// One pixel of Group output channels per thread (blockIdx.y is item * groups
// + group; Group divides the output channels): each input value read is used
// for every output of the group, and the accumulation over (i, ky, kx) runs in
// the same order for every output, as a direct sum would. A compile-time group
// keeps the accumulators in registers. The activation is applied on the way
// out: a pass of its own over the output cost as much as a small layer.
template <int Group>
TAVRO_NEURAL_CLONES __global__ void neural_convolve(const float* in, long long inStride, int inChannels, float* out,
                                                    long long outStride, int outChannels, const float* weights,
                                                    const float* biases, int kh, int kw, int height, int width,
                                                    float negativeSlope) {
    const int pixel = static_cast<int>(blockIdx.x * blockDim.x + threadIdx.x);
    const int plane = height * width;
    if (pixel >= plane) return;
    const int groups = outChannels / Group;
    const int n = static_cast<int>(blockIdx.y) / groups;
    const int first = (static_cast<int>(blockIdx.y) - n * groups) * Group;
    const int x = pixel % width;
    const int y = pixel / width;
    const float* item = in + n * inStride;
    const int ry = kh / 2, rx = kw / 2;
    // Plain multiply-adds: fmaf is a library call on the baseline x86-64 target
    // (no vectorising), and nvcc contracts these into FMA anyway.
    float acc[Group];
    for (int o = 0; o < Group; ++o) acc[o] = biases[first + o];
    for (int i = 0; i < inChannels; ++i) {
        const float* channel = item + static_cast<long long>(i) * plane;
        for (int ky = 0; ky < kh; ++ky) {
            const int sy = y + ky - ry;
            if (sy < 0 || sy >= height) continue;
            const float* row = channel + static_cast<long long>(sy) * width;
            for (int kx = 0; kx < kw; ++kx) {
                const int sx = x + kx - rx;
                if (sx < 0 || sx >= width) continue;
                const float value = row[sx];
                const float* w = weights + (static_cast<long long>((i * kh + ky) * kw + kx)) * outChannels + first;
                for (int o = 0; o < Group; ++o) acc[o] += w[o] * value;
            }
        }
    }
    float* target = out + n * outStride + static_cast<long long>(first) * plane + pixel;
    for (int o = 0; o < Group; ++o)
        target[static_cast<long long>(o) * plane] = acc[o] < 0.0f ? acc[o] * negativeSlope : acc[o];
}

__global__ void neural_downsample2(const float* in, long long inStride, float* out, long long outStride, int channels,
                                   int outHeight, int outWidth) {
    const int pixel = static_cast<int>(blockIdx.x * blockDim.x + threadIdx.x);
    const int plane = outHeight * outWidth;
    if (pixel >= plane) return;
    const int n = static_cast<int>(blockIdx.y) / channels;
    const int c = static_cast<int>(blockIdx.y) - n * channels;
    const int x = pixel % outWidth;
    const int y = pixel / outWidth;
    const int inWidth = 2 * outWidth;
    const float* src = in + n * inStride + static_cast<long long>(c) * 4 * plane +
                       static_cast<long long>(2 * y) * inWidth + 2 * x;
    const float sum = (src[0] + src[1]) + (src[inWidth] + src[inWidth + 1]);
    out[n * outStride + static_cast<long long>(c) * plane + pixel] = 0.25f * sum;
}

// One output row per block (blockIdx.x), its threads striding along the row:
// the row's source rows and weights are worked out once, and no pixel index is
// divided back into its coordinates.
__global__ void neural_upsample2(const float* in, long long inStride, float* out, long long outStride, int channels,
                                 int inHeight, int inWidth) {
    const int outWidth = 2 * inWidth;
    const int plane = 4 * inHeight * inWidth;
    const int n = static_cast<int>(blockIdx.y) / channels;
    const int c = static_cast<int>(blockIdx.y) - n * channels;
    const int y = static_cast<int>(blockIdx.x);
    const float sy = fmaxf(0.0f, (static_cast<float>(y) + 0.5f) * 0.5f - 0.5f);
    const int y0 = static_cast<int>(sy);
    const int y1 = y0 < inHeight - 1 ? y0 + 1 : y0;
    const float ly = sy - static_cast<float>(y0);
    const float* src = in + n * inStride + static_cast<long long>(c) * inHeight * inWidth;
    const float* top = src + y0 * inWidth;
    const float* bottom = src + y1 * inWidth;
    float* target = out + n * outStride + static_cast<long long>(c) * plane + static_cast<long long>(y) * outWidth;
    for (int x = static_cast<int>(threadIdx.x); x < outWidth; x += static_cast<int>(blockDim.x)) {
        const float sx = fmaxf(0.0f, (static_cast<float>(x) + 0.5f) * 0.5f - 0.5f);
        const int x0 = static_cast<int>(sx);
        const int x1 = x0 < inWidth - 1 ? x0 + 1 : x0;
        const float lx = sx - static_cast<float>(x0);
        const float upper = (1.0f - lx) * top[x0] + lx * top[x1];
        const float lower = (1.0f - lx) * bottom[x0] + lx * bottom[x1];
        target[x] = (1.0f - ly) * upper + ly * lower;
    }
}

__global__ void neural_warp_tiles(const float* image, int width, int height, const int* origins, const float* flow,
                                  float* out, long long outStride, int size) {
    const int plane = size * size;
    const int pixel = static_cast<int>(blockIdx.x * blockDim.x + threadIdx.x);
    if (pixel >= plane) return;
    const int n = static_cast<int>(blockIdx.y);
    const int x = pixel % size;
    const int y = pixel / size;
    const int ox = origins[2 * n] + x, oy = origins[2 * n + 1] + y;
    float* target = out + n * outStride + pixel;
    if (!flow) {
        *target = image[static_cast<long long>(clampIndex(oy, height - 1)) * width + clampIndex(ox, width - 1)];
        return;
    }
    const float* f = flow + static_cast<long long>(n) * 2 * plane;
    const float px = static_cast<float>(ox) + f[pixel];
    const float py = static_cast<float>(oy) + f[plane + pixel];
    const float fx = floorf(px), fy = floorf(py);
    float wx[4], wy[4];
    cubicWeights(px - fx, wx);
    cubicWeights(py - fy, wy);
    const int ix = static_cast<int>(fx), iy = static_cast<int>(fy);
    float sum = 0.0f;
    for (int j = 0; j < 4; ++j) {
        const float* row = image + static_cast<long long>(clampIndex(iy + j - 1, height - 1)) * width;
        float acc = 0.0f;
        for (int i = 0; i < 4; ++i) acc += wx[i] * row[clampIndex(ix + i - 1, width - 1)];
        sum += wy[j] * acc;
    }
    *target = sum;
}

// One block per batch item: mean, then the mean squared deviation (two passes,
// so 16-bit grey levels lose nothing to cancellation), then the rescale.
__global__ void neural_normalize_tiles(float* data, long long stride, int pixels) {
    const Block block;
    float* item = data + static_cast<long long>(blockIdx.x) * stride;
    const int threads = block.size();
    PerThread<float> acc(block);
    block.forEachThread([&](int t) {
        float s = 0.0f;
        for (int i = t; i < pixels; i += threads) s += item[i];
        acc[t] = s;
    });
    const float mean = block.reduceSum(acc) / static_cast<float>(pixels);
    block.forEachThread([&](int t) {
        float s = 0.0f;
        for (int i = t; i < pixels; i += threads) {
            const float d = item[i] - mean;
            s += d * d;
        }
        acc[t] = s;
    });
    const float deviation = sqrtf(block.reduceSum(acc) / static_cast<float>(pixels));
    const float scale = 1.0f / (deviation + 1e-6f * (1.0f + fabsf(mean)));
    block.forEachThread([&](int t) {
        for (int i = t; i < pixels; i += threads) item[i] = (item[i] - mean) * scale;
    });
}

__global__ void neural_add_residual(float* a, long long aStride, const float* f, long long fStride, const float* b,
                                    long long bStride, long long count) {
    const long long i = static_cast<long long>(blockIdx.x) * blockDim.x + threadIdx.x;
    if (i >= count) return;
    const float forward = f[blockIdx.y * fStride + i];
    a[blockIdx.y * aStride + i] += b ? 0.5f * (forward - b[blockIdx.y * bStride + i]) : forward;
}

dim3 planeGrid(long long plane, long long planes) {
    return dim3(static_cast<unsigned>((plane + kThreads - 1) / kThreads), static_cast<unsigned>(planes));
}

} // namespace

std::vector<float> outputInnermost(const std::vector<float>& weights, int outChannels, int inChannels, int kernelHeight,
                                   int kernelWidth) {
    const size_t taps = size_t(inChannels) * kernelHeight * kernelWidth;
    std::vector<float> out(weights.size());
    for (size_t o = 0; o < size_t(outChannels); ++o)
        for (size_t t = 0; t < taps; ++t) out[t * size_t(outChannels) + o] = weights[o * taps + t];
    return out;
}

cudaError_t convolve(ConstTensorView in, int inChannels, TensorView out, int outChannels, const float* weights,
                     const float* biases, int kernelHeight, int kernelWidth, int height, int width, int batch,
                     float negativeSlope) {
    const dim3 threads(kThreads);
    const long long inStride = in.batchStride, outStride = out.batchStride;
    // The widest group that divides the outputs.
    for (int group : {32, 24, 16, 12, 8, 4, 2, 1}) {
        if (outChannels % group != 0) continue;
        const dim3 blocks = planeGrid(int64_t(height) * width, int64_t(batch) * (outChannels / group));
#define TAVRO_NEURAL_CONVOLVE(G)                                                                                   \
    case G:                                                                                                       \
        TAVRO_LAUNCH(neural_convolve<G>, blocks, threads, 0, in.data, inStride, inChannels, out.data, outStride,     \
                     outChannels, weights, biases, kernelHeight, kernelWidth, height, width, negativeSlope);       \
        break;
        switch (group) {
            TAVRO_NEURAL_CONVOLVE(32)
            TAVRO_NEURAL_CONVOLVE(24)
            TAVRO_NEURAL_CONVOLVE(16)
            TAVRO_NEURAL_CONVOLVE(12)
            TAVRO_NEURAL_CONVOLVE(8)
            TAVRO_NEURAL_CONVOLVE(4)
            TAVRO_NEURAL_CONVOLVE(2)
            TAVRO_NEURAL_CONVOLVE(1)
        }
#undef TAVRO_NEURAL_CONVOLVE
        break;
    }
    return cudaGetLastError();
}

cudaError_t downsample2(ConstTensorView in, TensorView out, int channels, int outHeight, int outWidth, int batch) {
    TAVRO_LAUNCH(neural_downsample2, planeGrid(int64_t(outHeight) * outWidth, int64_t(batch) * channels),
                 dim3(kThreads), 0, in.data, static_cast<long long>(in.batchStride), out.data,
                 static_cast<long long>(out.batchStride), channels, outHeight, outWidth);
    return cudaGetLastError();
}

cudaError_t upsample2(ConstTensorView in, TensorView out, int channels, int inHeight, int inWidth, int batch) {
    TAVRO_LAUNCH(neural_upsample2,
                 dim3(static_cast<unsigned>(2 * inHeight), static_cast<unsigned>(int64_t(batch) * channels)),
                 dim3(kRowThreads), 0, in.data, static_cast<long long>(in.batchStride), out.data,
                 static_cast<long long>(out.batchStride), channels, inHeight, inWidth);
    return cudaGetLastError();
}

cudaError_t warpTiles(const float* image, int width, int height, const int32_t* origins, const float* flow,
                      TensorView out, int size, int batch) {
    TAVRO_LAUNCH(neural_warp_tiles, planeGrid(int64_t(size) * size, batch), dim3(kThreads), 0, image, width, height,
                 origins, flow, out.data, static_cast<long long>(out.batchStride), size);
    return cudaGetLastError();
}

cudaError_t normalizeTiles(TensorView data, int pixels, int batch) {
    TAVRO_LAUNCH_BLOCK(neural_normalize_tiles, dim3(static_cast<unsigned>(batch)), dim3(kNormalizeThreads), 0,
                       data.data, static_cast<long long>(data.batchStride), pixels);
    return cudaGetLastError();
}

cudaError_t addResidual(TensorView a, ConstTensorView forward, ConstTensorView backward, int64_t count, int batch) {
    TAVRO_LAUNCH(neural_add_residual, planeGrid(count, batch), dim3(kThreads), 0, a.data,
                 static_cast<long long>(a.batchStride), forward.data, static_cast<long long>(forward.batchStride),
                 backward.data, static_cast<long long>(backward.batchStride), static_cast<long long>(count));
    return cudaGetLastError();
}

} // namespace tavro::neural
