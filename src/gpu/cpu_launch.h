#pragma once
// Kernel launch on the CPU device runtime: blocks of a grid run in parallel on a
// pool of host threads; an element-wise kernel is called once per thread index,
// a block program once per block.

#include <tuple>
#include <type_traits>

#include "gpu/cpu_runtime.h"

namespace tavro::gpu::detail {

void setLastError(cudaError_t error);
cudaError_t validateLaunch(const char* name, const void* func, dim3 grid, dim3 block, size_t sharedBytes);
// Device memory, pinned host memory, or inside either.
bool isDeviceAccessible(const void* p);
cudaError_t reportHostPointerArgument(const char* name, int position);

using BlockRunner = void (*)(void* state);
cudaError_t runGrid(const char* name, dim3 grid, dim3 block, size_t sharedBytes, bool blockProgram,
                    BlockRunner runner, void* state);

template <class T>
bool argumentAllowed(const T& value) {
    if constexpr (std::is_pointer_v<T>)
        return value == nullptr || isDeviceAccessible(value);
    else
        return true;
}

template <class... Args>
int firstRefusedArgument(const Args&... args) {
    int position = 0, refused = -1;
    ((refused < 0 && !argumentAllowed(args) ? refused = position : 0, ++position), ...);
    return refused;
}

template <bool BlockProgram, class Wrapper, class... Args>
void launchKernel(const char* name, const void* func, Wrapper, dim3 grid, dim3 block, size_t sharedBytes,
                  Args... args) {
    cudaError_t error = validateLaunch(name, func, grid, block, sharedBytes);
    if (error == cudaSuccess) {
        // A host pointer would silently "work" here and fault on a real device.
        const int refused = firstRefusedArgument(args...);
        if (refused >= 0) error = reportHostPointerArgument(name, refused);
    }
    if (error != cudaSuccess) {
        setLastError(error);
        return;
    }
    std::tuple<Args...> packed(args...);
    BlockRunner runner = [](void* state) {
        auto& arguments = *static_cast<std::tuple<Args...>*>(state);
        if constexpr (BlockProgram) {
            std::apply(Wrapper{}, arguments);
        } else {
            const dim3 b = blockDim;
            for (unsigned z = 0; z < b.z; ++z)
                for (unsigned y = 0; y < b.y; ++y)
                    for (unsigned x = 0; x < b.x; ++x) {
                        threadIdx = uint3{x, y, z};
                        std::apply(Wrapper{}, arguments);
                    }
        }
    };
    error = runGrid(name, grid, block, sharedBytes, BlockProgram, runner, &packed);
    if (error != cudaSuccess) setLastError(error);
}

} // namespace tavro::gpu::detail
