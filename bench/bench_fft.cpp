#include "bench_fft.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <vector>

#include "core/tavro_fft.h"
#include "gpu/runtime.h"

namespace tavro::bench {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kRounds = 7;
constexpr double kRoundSeconds = 0.15;

class DeviceBuffer {
public:
    explicit DeviceBuffer(size_t bytes) {
        if (cudaMalloc(&data_, bytes) != cudaSuccess) data_ = nullptr;
    }
    ~DeviceBuffer() {
        if (data_) cudaFree(data_);
    }
    DeviceBuffer(const DeviceBuffer&) = delete;
    DeviceBuffer& operator=(const DeviceBuffer&) = delete;
    template <class T>
    T* as() const {
        return static_cast<T*>(data_);
    }

private:
    void* data_ = nullptr;
};

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

FftThroughput measureFft(int size, int batch) {
    FftThroughput r;
    r.size = size;
    r.batch = batch;
    const size_t reals = size_t(batch) * size_t(size) * size_t(size);
    const size_t bins = size_t(batch) * size_t(size / 2 + 1) * size_t(size);
    DeviceBuffer input(reals * sizeof(float)), output(reals * sizeof(float)), spectrum(bins * sizeof(fft::Complex));
    fft::PlanPtr plan(fft::createPlan(size, size, batch, 1, r.error));
    if (!plan) return r;
    if (!input.as<float>() || !output.as<float>() || !spectrum.as<fft::Complex>()) {
        r.error = "out of device memory";
        return r;
    }
    std::vector<float> host(reals);
    uint32_t state = 12345u;
    for (float& v : host) {
        state = state * 1664525u + 1013904223u;
        v = float(state >> 8) * (1.0f / 16777216.0f);
    }
    if (cudaMemcpy(input.as<float>(), host.data(), reals * sizeof(float), cudaMemcpyHostToDevice) != cudaSuccess) {
        r.error = "upload failed";
        return r;
    }

    double forwardSeconds = 0.0, totalSeconds = 0.0;
    const auto pair = [&] {
        const Clock::time_point t0 = Clock::now();
        bool ok = fft::execR2C(plan.get(), input.as<float>(), spectrum.as<fft::Complex>(), r.error);
        const Clock::time_point t1 = Clock::now();
        ok = ok && fft::execC2R(plan.get(), spectrum.as<fft::Complex>(), output.as<float>(), r.error);
        const Clock::time_point t2 = Clock::now();
        forwardSeconds += std::chrono::duration<double>(t1 - t0).count();
        totalSeconds += std::chrono::duration<double>(t2 - t0).count();
        return ok;
    };
    if (!pair()) return r;

    std::vector<double> rates;
    double shareSum = 0.0;
    for (int round = 0; round < kRounds; ++round) {
        forwardSeconds = totalSeconds = 0.0;
        long pairs = 0;
        while (totalSeconds < kRoundSeconds) {
            if (!pair()) return r;
            ++pairs;
        }
        rates.push_back(2.0 * double(pairs) * batch / totalSeconds);
        shareSum += forwardSeconds / totalSeconds;
    }
    const double n = double(size) * size;
    const double flopsPerTransform = 2.5 * n * std::log2(n);
    r.transformsPerSecond = median(rates);
    r.transformsPerSecondBest = *std::max_element(rates.begin(), rates.end());
    r.gflops = r.transformsPerSecond * flopsPerTransform * 1e-9;
    r.gflopsBest = r.transformsPerSecondBest * flopsPerTransform * 1e-9;
    r.forwardShare = shareSum / kRounds;
    r.ok = true;
    return r;
}

} // namespace tavro::bench
