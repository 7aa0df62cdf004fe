#pragma once
// The CUDA runtime API of the build: the real one under nvcc, our CPU device
// runtime otherwise.
#if defined(TAVRO_USE_CUDA)
#include <cuda_runtime.h>
#else
#include "gpu/cpu_runtime.h"
#endif
