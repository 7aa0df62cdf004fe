#include "core/bspline_prefilter.h"

#include "core/subpixel_params.h"

#include <cmath>
#include <cstddef>
#include <vector>

namespace tavro {
namespace {

struct Pole {
    float z;
    float anticausalFactor;  // z / (z^2 - 1)
};

constexpr Pole kCubicPoles[] = {{-0.2679492f, 0.28867513f}};
constexpr Pole kQuarticPoles[] = {{-0.36134124f, 0.41560584f}, {-0.013725462f, 0.013728049f}};

// Terms of the causal start beyond this one weigh less than 1e-6.
int causalHorizon(float z, int n) {
    const int horizon = static_cast<int>(std::ceil(std::log(1e-6f) / std::log(std::fabs(z))));
    return horizon < n ? horizon : n;
}

void anticausalPass(float* line, int n, ptrdiff_t stride, const Pole& pole) {
    if (n < 2) return;
    const float z = pole.z;
    const ptrdiff_t lastIndex = static_cast<ptrdiff_t>(n - 1) * stride;
    line[lastIndex] = pole.anticausalFactor * (line[lastIndex] + z * line[lastIndex - stride]);
    for (ptrdiff_t i = lastIndex - stride; i >= 0; i -= stride) line[i] = z * (line[i + stride] - line[i]);
}

// All columns of the image at once, row after row: per column the operations
// are those of bsplineCausalPass and anticausalPass with stride = width, but
// the rows are read contiguously instead of one column at a time.
void filterColumns(float* image, int width, int height, const Pole* poles, int poleCount) {
    const size_t w = static_cast<size_t>(width);
    auto row = [&](int r) { return image + static_cast<size_t>(r) * w; };
    std::vector<float> start(w);
    for (int k = 0; k < poleCount; ++k) {
        const float z = poles[k].z;
        const int horizon = causalHorizon(z, height);
        float* first = row(0);
        for (size_t c = 0; c < w; ++c) start[c] = first[c];
        float zk = z;
        for (int i = 1; i < horizon; ++i) {
            const float* src = row(i);
            for (size_t c = 0; c < w; ++c) start[c] += zk * src[c];
            zk *= z;
        }
        for (size_t c = 0; c < w; ++c) first[c] = start[c];
        for (int i = 1; i < height; ++i) {
            float* cur = row(i);
            const float* prev = row(i - 1);
            for (size_t c = 0; c < w; ++c) cur[c] += z * prev[c];
        }

        float* last = row(height - 1);
        const float* beforeLast = row(height - 2);
        for (size_t c = 0; c < w; ++c) last[c] = poles[k].anticausalFactor * (last[c] + z * beforeLast[c]);
        for (int i = height - 2; i >= 0; --i) {
            float* cur = row(i);
            const float* next = row(i + 1);
            for (size_t c = 0; c < w; ++c) cur[c] = z * (next[c] - cur[c]);
        }
    }
}

void prefilter(float* image, int width, int height, float gain, const Pole* poles, int poleCount) {
    if (!image || width < 2 || height < 2) return;
    const size_t count = static_cast<size_t>(width) * static_cast<size_t>(height);
    for (size_t i = 0; i < count; ++i) image[i] *= gain;
    for (int r = 0; r < height; ++r) {
        float* line = image + static_cast<size_t>(r) * static_cast<size_t>(width);
        for (int k = 0; k < poleCount; ++k) {
            bsplineCausalPass(line, width, 1, poles[k].z);
            anticausalPass(line, width, 1, poles[k]);
        }
    }
    filterColumns(image, width, height, poles, poleCount);
}

} // namespace

void bsplineCausalPass(float* line, int32_t n, int32_t stride, float z) {
    if (!line || n < 2) return;
    // Mirror-boundary start: the sum of z^k c[k] over the horizon, each term once.
    const ptrdiff_t step = stride;
    const int horizon = causalHorizon(z, n);
    float sum = line[0];
    float zk = z;
    for (int k = 1; k < horizon; ++k) {
        sum += zk * line[k * step];
        zk *= z;
    }
    line[0] = sum;
    for (int i = 1; i < n; ++i) line[i * step] += z * line[(i - 1) * step];
}

void prefilterCubicBSpline(float* image, int32_t width, int32_t height) {
    prefilter(image, width, height, 6.0f, kCubicPoles, 1);
}

void prefilterQuarticBSpline(float* image, int32_t width, int32_t height) {
    prefilter(image, width, height, 576.0f, kQuarticPoles, 2);
}

bool isBSplineInterpolation(int interpolation) {
    return interpolation == static_cast<int>(InterpolationType::CubicBSpline) ||
           interpolation == static_cast<int>(InterpolationType::QuarticBSpline);
}

void prefilterForInterpolation(int interpolation, float* image, int32_t width, int32_t height) {
    if (interpolation == static_cast<int>(InterpolationType::CubicBSpline))
        prefilterCubicBSpline(image, width, height);
    else if (interpolation == static_cast<int>(InterpolationType::QuarticBSpline))
        prefilterQuarticBSpline(image, width, height);
}

} // namespace tavro
