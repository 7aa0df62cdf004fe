#pragma once
// The neural model's inference kernels, on device memory. Tensors are batches
// of planar images: item n, channel c, row y, column x at
// n * batchStride + c * height * width + y * width + x, so that a layer can
// read or write a channel slice of a wider (concatenated) tensor by passing
// that tensor's batch stride and an offset pointer.
//
// Each function launches on the current device and returns the launch's
// CUDA error code; none of them synchronises.

#include <cstdint>
#include <vector>

#include "gpu/runtime_base.h"

namespace tavro::neural {

struct TensorView {
    float* data = nullptr;
    int64_t batchStride = 0;  // elements from one batch item to the next
};

struct ConstTensorView {
    const float* data = nullptr;
    int64_t batchStride = 0;
};

// Zero-padded "same" convolution, odd kernel sizes, stride 1:
// out[n][o] = bias[o] + sum over i, ky, kx of w[o][i][ky][kx] * in[n][i][y + ky - kh/2][x + kx - kw/2],
// with the weights given output-innermost, [i][ky][kx][o] (see outputInnermost);
// then a leaky activation, a negative sum becoming negativeSlope times itself
// (1 leaves the sums as they are).
cudaError_t convolve(ConstTensorView in, int inChannels, TensorView out, int outChannels, const float* weights,
                     const float* biases, int kernelHeight, int kernelWidth, int height, int width, int batch,
                     float negativeSlope = 1.0f);

// Weights [out][in][kh][kw], as stored in the weights file, reordered to [in][kh][kw][out].
std::vector<float> outputInnermost(const std::vector<float>& weights, int outChannels, int inChannels, int kernelHeight,
                                   int kernelWidth);

// Mean of each 2 x 2 block; the input is (2 * outHeight) x (2 * outWidth).
cudaError_t downsample2(ConstTensorView in, TensorView out, int channels, int outHeight, int outWidth, int batch);

// Bilinear doubling with pixel centres aligned (sample at (o + 0.5) / 2 - 0.5,
// clamped to the input); the output is (2 * inHeight) x (2 * inWidth).
cudaError_t upsample2(ConstTensorView in, TensorView out, int channels, int inHeight, int inWidth, int batch);

// Samples `image` (width x height, row-major) for a batch of size x size tiles
// whose top-left corners are origins[2n], origins[2n + 1]: tile pixel (x, y)
// reads the image at (ox + x + u, oy + y + v) by cubic convolution (a = -0.5),
// edge pixels repeating beyond the border. `flow` holds u then v per tile
// (batch stride 2 * size * size); a null flow reads the pixels themselves.
cudaError_t warpTiles(const float* image, int width, int height, const int32_t* origins, const float* flow,
                      TensorView out, int size, int batch);

// In place, per batch item: (v - mean) / (sd + 1e-6 * (1 + |mean|)) over the
// item's `pixels` values, sd the population standard deviation.
cudaError_t normalizeTiles(TensorView data, int pixels, int batch);

// a[i] += 0.5 * (forward[i] - backward[i]) for a batch of `count` contiguous
// values per item; a null backward adds forward[i] alone.
cudaError_t addResidual(TensorView a, ConstTensorView forward, ConstTensorView backward, int64_t count, int batch);

} // namespace tavro::neural
