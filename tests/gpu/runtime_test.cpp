#include <gtest/gtest.h>
#include <vector>
#include "gpu/runtime.h"
void runScale(const float* in, float* out, int n, float factor);
void runBlockSum(const float* in, float* out, int n, int rows);
TEST(Smoke, Runs) {
    float *a, *b;
    ASSERT_EQ(cudaMalloc(&a, 4000), cudaSuccess);
    ASSERT_EQ(cudaMalloc(&b, 4000), cudaSuccess);
    std::vector<float> h(1000, 2.0f);
    cudaMemcpy(a, h.data(), 4000, cudaMemcpyHostToDevice);
    runScale(a, b, 1000, 3.0f);
    ASSERT_EQ(cudaGetLastError(), cudaSuccess);
    runBlockSum(b, a, 100, 10);
    ASSERT_EQ(cudaGetLastError(), cudaSuccess);
    cudaMemcpy(h.data(), a, 40, cudaMemcpyDeviceToHost);
    EXPECT_FLOAT_EQ(h[3], 600.0f);
    cudaFree(a); cudaFree(b);
}
