// Benchmark harness: prints one key=value line per figure.
#include <cstdio>

#include "gpu/runtime.h"

int main() {
    int count = 0;
    if (cudaGetDeviceCount(&count) != cudaSuccess || count < 1) {
        std::printf("devices=0\n");
        return 1;
    }
    cudaDeviceProp prop{};
    cudaGetDeviceProperties(&prop, 0);
    std::printf("devices=%d\ndevice_name=%s\ndevice_memory_mb=%zu\nmultiprocessors=%d\n", count, prop.name,
                prop.totalGlobalMem >> 20, prop.multiProcessorCount);
    return 0;
}
