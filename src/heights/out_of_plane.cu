#include "heights/out_of_plane.h"

#include <cmath>
#include <new>

#include "core/profile_range.h"
#include "gpu/runtime.h"
#include "heights/height_sampling.h"

namespace tavro {
namespace {

using detail::ProfileRange;
using heights::finiteValue;

constexpr int kThreadsPerBlock = 256;
constexpr long long kChunkPixels = 1 << 20;
constexpr int kMaxIterations = 100;
// Positions are iterated in double: in float a map a few thousand pixels wide
// could never settle below a useful tolerance.
constexpr double kTolerance = 1e-6;

// One thread per pixel of the deformed frame.
__global__ void compute_out_of_plane_kernel(const float* h0, const float* h1, const float* ux, const float* uy,
                                            int W, int H, long long offset, int count, float* uz,
                                            float* deformedH0) {
    const long long local = static_cast<long long>(blockIdx.x) * blockDim.x + threadIdx.x;
    if (local >= count) return;
    const long long i = offset + local;
    const double x = static_cast<double>(i % W);
    const double y = static_cast<double>(i / W);
    uz[i] = NAN;
    deformedH0[i] = NAN;
    const float u0 = ux[i];
    const float v0 = uy[i];
    if (!finiteValue(u0) || !finiteValue(v0)) return;
    // x = X + u(X), solved as X <- x - u(X) from X = x - u(x).
    double X = x - u0;
    double Y = y - v0;
    bool settled = false;
    for (int k = 0; k < kMaxIterations; ++k) {
        const float u = heights::sampleBilinear(ux, W, H, X, Y);
        const float v = heights::sampleBilinear(uy, W, H, X, Y);
        if (!finiteValue(u) || !finiteValue(v)) return;
        const double nextX = x - u;
        const double nextY = y - v;
        const double step = fabs(nextX - X) + fabs(nextY - Y);
        X = nextX;
        Y = nextY;
        if (step < kTolerance) {
            settled = true;
            break;
        }
    }
    if (!settled) return;
    const float reference = heights::sampleCatmullRom(h0, W, H, X, Y);
    if (!finiteValue(reference)) return;
    deformedH0[i] = reference;
    uz[i] = h1[i] - reference;
}

class OutOfPlaneRun {
public:
    OutOfPlaneRun(ImageSize size, HeightEngineResult& out)
        : size_(size), out_(out), n_(static_cast<long long>(size.width) * size.height),
          bytes_(static_cast<uint64_t>(n_) * sizeof(float)) {}

    bool run(const float* const (&inputs)[4]) {
        static constexpr const char* kLeaseLabels[6] = {"cudaMalloc h0", "cudaMalloc h1", "cudaMalloc ux",
                                                        "cudaMalloc uy", "cudaMalloc uz", "cudaMalloc deformedH0"};
        static constexpr const char* kCopyLabels[4] = {"cudaMemcpy h0", "cudaMemcpy h1", "cudaMemcpy ux",
                                                       "cudaMemcpy uy"};
        for (int b = 0; b < 6; ++b) {
            const int code = DeviceBufferPool::instance().acquire(bytes_, leases_[b]);
            if (code != 0) return fail(cudaErrorMessage(code, kLeaseLabels[b]));
        }
        for (int b = 0; b < 4; ++b) {
            const cudaError_t code = cudaMemcpy(leases_[b].get(), inputs[b], bytes_, cudaMemcpyHostToDevice);
            if (code != cudaSuccess) return fail(cudaErrorMessage(code, kCopyLabels[b]));
        }
        if (!launch()) return false;
        out_.uz.resize(static_cast<size_t>(n_));
        out_.deformedH0.resize(static_cast<size_t>(n_));
        cudaError_t code = cudaMemcpy(out_.uz.data(), leases_[4].get(), bytes_, cudaMemcpyDeviceToHost);
        if (code != cudaSuccess) return fail(cudaErrorMessage(code, "cudaMemcpy uz"));
        code = cudaMemcpy(out_.deformedH0.data(), leases_[5].get(), bytes_, cudaMemcpyDeviceToHost);
        if (code != cudaSuccess) return fail(cudaErrorMessage(code, "cudaMemcpy deformedH0"));
        return true;
    }

    bool fail(std::string message) {
        out_ = HeightEngineResult{};
        out_.error = std::move(message);
        return false;
    }

private:
    bool launch() {
        auto in = [&](int b) { return static_cast<const float*>(leases_[b].get()); };
        float* uz = leases_[4].as<float>();
        float* deformed = leases_[5].as<float>();
        for (long long offset = 0; offset < n_; offset += kChunkPixels) {
            const int count = static_cast<int>(n_ - offset < kChunkPixels ? n_ - offset : kChunkPixels);
            const unsigned blocks = static_cast<unsigned>((count + kThreadsPerBlock - 1) / kThreadsPerBlock);
            TAVRO_LAUNCH(compute_out_of_plane_kernel, dim3(blocks), dim3(kThreadsPerBlock), 0, in(0), in(1), in(2),
                         in(3), size_.width, size_.height, offset, count, uz, deformed);
            cudaError_t code = cudaGetLastError();
            if (code != cudaSuccess) return fail(cudaErrorMessage(code, "compute_out_of_plane_kernel launch"));
            code = cudaDeviceSynchronize();
            if (code != cudaSuccess) return fail(cudaErrorMessage(code, "cudaDeviceSynchronize"));
        }
        return true;
    }

    ImageSize size_;
    HeightEngineResult& out_;
    long long n_;
    uint64_t bytes_;
    DeviceBufferPool::Lease leases_[6];
};

} // namespace

bool computeOutOfPlaneGpu(const float* h0, const float* h1, const float* ux, const float* uy, ImageSize size,
                          HeightEngineResult* out) {
    if (!out) return false;
    *out = HeightEngineResult{};
    if (size.width < 1 || size.height < 1) {
        out->error = "Invalid height map dimensions.";
        return false;
    }
    if (!h0 || !h1 || !ux || !uy) {
        out->error = "Height engine inputs are missing.";
        return false;
    }
    ProfileRange range("Out-of-plane displacement");
    try {
        OutOfPlaneRun run(size, *out);
        const float* const inputs[4] = {h0, h1, ux, uy};
        if (!run.run(inputs)) return false;
    } catch (const std::bad_alloc&) {
        *out = HeightEngineResult{};
        out->error = "Not enough memory for the out-of-plane computation.";
        return false;
    }
    out->width = size.width;
    out->height = size.height;
    bool any = false;
    for (float value : out->uz) {
        if (!std::isfinite(value)) continue;
        if (!any || value < out->minUz) out->minUz = value;
        if (!any || value > out->maxUz) out->maxUz = value;
        any = true;
    }
    out->success = true;
    return true;
}

} // namespace tavro
