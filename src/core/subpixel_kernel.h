#pragma once
// Launch interface of the sub-pixel refinement kernel, used by its driver
// (core/subpixel_search.h) and by the tests.

#include <cstddef>
#include <cstdint>

#include "core/subpixel_params.h"
#include "gpu/runtime_base.h"

namespace tavro::detail {

// The kernel's arguments besides the range of points of one launch. Images
// and outputs are device memory; a band launch passes its strip as the image
// and its own buffers as outputs, point 0 being the band's first point.
struct SubpixelKernelArgs {
    const float* reference = nullptr;  // whole pixels, `width` floats per row
    cudaTextureObject_t texture = 0;   // deformed image (or B-spline coefficients)
    const uint8_t* mask = nullptr;     // 0 excludes the point at that pixel; may be null
    int32_t maskStride = 0;
    int32_t maskRows = 0;
    int32_t width = 0;
    int32_t height = 0;
    int32_t windowSizeX = 0;
    int32_t windowSizeY = 0;
    int32_t stepX = 1;
    int32_t stepY = 1;
    int32_t gridWidth = 0;
    int32_t gridHeight = 0;
    int32_t marginX = 0;  // pixel column of grid column 0
    int32_t marginY = 0;  // pixel row of the grid row of point 0 minus its grid row times stepY
    SubpixelParams params;
    const float* initX = nullptr;  // whole-pixel start, indexed like the outputs
    const float* initY = nullptr;
    float* outX = nullptr;
    float* outY = nullptr;
    float* outDuDx = nullptr;  // the four gradients may be null
    float* outDuDy = nullptr;
    float* outDvDx = nullptr;
    float* outDvDy = nullptr;
    float* samples = nullptr;  // 3 x window samples floats per block, instead of dynamic shared memory
};

// Threads per block: the window's sample count rounded up to whole warps, at most 256.
int subpixelBlockThreads(int64_t windowSamples);

// Dynamic shared memory of one block: three floats per window sample.
uint64_t subpixelDynamicSharedBytes(int64_t windowSamples);

// Shared memory the kernel declares itself (block scalars and reduction
// slots), which the device adds to the dynamic amount.
size_t subpixelStaticSharedBytes();

// Raises the kernel's dynamic shared memory limit (cudaFuncSetAttribute).
cudaError_t setSubpixelMaxDynamicShared(size_t bytes);

// One block per point for points [first, end); returns the launch's error.
cudaError_t launchSubpixelRefine(const SubpixelKernelArgs& args, int64_t first, int64_t end, size_t dynamicShared);

} // namespace tavro::detail
