#pragma once
// One launch spelling for both builds (g++ cannot parse <<< >>>):
//   TAVRO_LAUNCH(kernel, grid, block, sharedBytes, args...)        element-wise kernels
//   TAVRO_LAUNCH_BLOCK(kernel, grid, block, sharedBytes, args...)  block programs
// Launch errors are read with cudaGetLastError, as after a CUDA launch. On the
// CPU a launch runs to completion before it returns.

#include "gpu/runtime_base.h"

#if defined(__CUDACC__)

#define TAVRO_LAUNCH(kernel, grid, block, shared, ...) kernel<<<(grid), (block), (shared)>>>(__VA_ARGS__)
#define TAVRO_LAUNCH_BLOCK(kernel, grid, block, shared, ...) kernel<<<(grid), (block), (shared)>>>(__VA_ARGS__)

#elif !defined(TAVRO_USE_CUDA)

#include "gpu/cpu_launch.h"

#define TAVRO_LAUNCH(kernel, grid, block, shared, ...)                                                    \
    ::tavro::gpu::detail::launchKernel<false>(                                                            \
        #kernel, reinterpret_cast<const void*>(&kernel), [](auto... tavroArgs) { kernel(tavroArgs...); }, \
        (grid), (block), (shared)__VA_OPT__(, ) __VA_ARGS__)
#define TAVRO_LAUNCH_BLOCK(kernel, grid, block, shared, ...)                                              \
    ::tavro::gpu::detail::launchKernel<true>(                                                             \
        #kernel, reinterpret_cast<const void*>(&kernel), [](auto... tavroArgs) { kernel(tavroArgs...); }, \
        (grid), (block), (shared)__VA_OPT__(, ) __VA_ARGS__)

#endif
