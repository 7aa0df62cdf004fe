#pragma once
// The CUDA runtime API of the build: the real one under nvcc, our CPU device
// runtime otherwise.
#if defined(TAVRO_USE_CUDA)
#include <cuda_runtime.h>
#else
#include "gpu/cpu_runtime.h"
#endif

// Kernels whose CPU build has a hand-vectorised branch keep a generic
// block-program branch, the one nvcc compiles. TAVRO_GENERIC_KERNELS makes the
// CPU build take the generic branch too, so that the GPU's code runs (and is
// tested) on machines without a GPU.
#if defined(__CUDACC__) || defined(TAVRO_GENERIC_KERNELS)
#define TAVRO_GENERIC_KERNEL 1
#else
#define TAVRO_GENERIC_KERNEL 0
#endif
