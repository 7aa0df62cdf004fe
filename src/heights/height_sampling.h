#pragma once
// Sampling of height and displacement rasters at fractional positions, shared
// by the height kernels. A sample whose weight is exactly zero is never read
// into the sum, so a NaN beside an exact pixel position does not spread.

#include "gpu/runtime.h"

namespace tavro::heights {

__host__ __device__ __forceinline__ bool finiteValue(float value) { return fabsf(value) <= 3.402823466e38f; }

__host__ __device__ __forceinline__ float weighted(float sum, float weight, float value) {
    return weight == 0.0f ? sum : fmaf(weight, value, sum);
}

// Bilinear sample of a W x H raster; NaN outside [0, W-1] x [0, H-1] and where
// a sample that counts is NaN.
__host__ __device__ __forceinline__ float sampleBilinear(const float* field, int W, int H, double x, double y) {
    if (!(x >= 0.0 && y >= 0.0 && x <= W - 1 && y <= H - 1)) return NAN;
    int x0 = static_cast<int>(x);
    int y0 = static_cast<int>(y);
    if (x0 > W - 2) x0 = W > 1 ? W - 2 : 0;
    if (y0 > H - 2) y0 = H > 1 ? H - 2 : 0;
    const float fx = static_cast<float>(x - x0);
    const float fy = static_cast<float>(y - y0);
    const int x1 = x0 + 1 < W ? x0 + 1 : x0;
    const int y1 = y0 + 1 < H ? y0 + 1 : y0;
    const long long r0 = static_cast<long long>(y0) * W;
    const long long r1 = static_cast<long long>(y1) * W;
    float sum = 0.0f;
    sum = weighted(sum, (1.0f - fx) * (1.0f - fy), field[r0 + x0]);
    sum = weighted(sum, fx * (1.0f - fy), field[r0 + x1]);
    sum = weighted(sum, (1.0f - fx) * fy, field[r1 + x0]);
    sum = weighted(sum, fx * fy, field[r1 + x1]);
    return sum;
}

__host__ __device__ __forceinline__ void catmullRomWeights(float t, float (&w)[4]) {
    const float t2 = t * t;
    const float t3 = t2 * t;
    w[0] = 0.5f * (-t3 + 2.0f * t2 - t);
    w[1] = 0.5f * (3.0f * t3 - 5.0f * t2 + 2.0f);
    w[2] = 0.5f * (-3.0f * t3 + 4.0f * t2 + t);
    w[3] = 0.5f * (t3 - t2);
}

// Catmull-Rom sample; bilinear where the 4 x 4 neighbourhood leaves the raster
// or holds a NaN, so that one missing height costs only its own cell.
__host__ __device__ __forceinline__ float sampleCatmullRom(const float* field, int W, int H, double x, double y) {
    if (!(x >= 0.0 && y >= 0.0 && x <= W - 1 && y <= H - 1)) return NAN;
    const int x0 = static_cast<int>(x);
    const int y0 = static_cast<int>(y);
    if (x0 < 1 || y0 < 1 || x0 + 2 > W - 1 || y0 + 2 > H - 1) return sampleBilinear(field, W, H, x, y);
    float wx[4], wy[4];
    catmullRomWeights(static_cast<float>(x - x0), wx);
    catmullRomWeights(static_cast<float>(y - y0), wy);
    float sum = 0.0f;
    for (int j = 0; j < 4; ++j) {
        if (wy[j] == 0.0f) continue;
        const float* row = field + static_cast<long long>(y0 - 1 + j) * W + (x0 - 1);
        float rowSum = 0.0f;
        for (int i = 0; i < 4; ++i) {
            if (wx[i] == 0.0f) continue;
            if (!finiteValue(row[i])) return sampleBilinear(field, W, H, x, y);
            rowSum = fmaf(wx[i], row[i], rowSum);
        }
        sum = fmaf(wy[j], rowSum, sum);
    }
    return sum;
}

} // namespace tavro::heights
