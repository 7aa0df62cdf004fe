#include "core/strain.h"

#include <chrono>
#include <cmath>
#include <cstdint>
#include <thread>
#include <utility>
#include <vector>

#include "core/gpu_common.h"
#include "core/profile_range.h"
#include "gpu/runtime.h"

namespace tavro {
namespace {

using detail::ProfileRange;

constexpr int kThreadsPerBlock = 256;
// Small enough that progress and cancellation are honoured between chunks.
constexpr long long kChunkPoints = 8192;
// Slicing and pausing the transfers keeps a busy display GPU responsive.
constexpr uint64_t kCopySliceBytes = 262144;
constexpr auto kCopyPause = std::chrono::microseconds(500);

constexpr float kTwoThirds = 0.6666667f;
// 180 / pi as a single-precision quotient, one ulp below the nearest float.
constexpr float kDegreesPerRadian = 57.2957763671875f;

constexpr const char* kCancelled = "Strain computation cancelled by user.";

__device__ __forceinline__ bool isfinite(float value) { return fabsf(value) <= 3.402823466e38f; }

__device__ __forceinline__ float readDisplacement(const float* field, long long index, float L) {
    const float value = field[index];
    return (L > 0.0f && fabsf(value) > L) ? NAN : value;
}

__device__ __forceinline__ void writeMissing(long long i, float* epsXX, float* epsYY, float* epsXY, float* epsI,
                                             float* epsII, float* epsVonMises, float* epsTresca, float* rotation) {
    epsXX[i] = NAN;
    epsYY[i] = NAN;
    epsXY[i] = NAN;
    epsI[i] = NAN;
    epsII[i] = NAN;
    epsVonMises[i] = NAN;
    epsTresca[i] = NAN;
    rotation[i] = NAN;
}

__device__ __forceinline__ void writeStrains(long long i, float duDx, float duDy, float dvDx, float dvDy,
                                             float* epsXX, float* epsYY, float* epsXY, float* epsI, float* epsII,
                                             float* epsVonMises, float* epsTresca, float* rotation) {
    const float exx = duDx;
    const float eyy = dvDy;
    const float exy = (duDy + dvDx) * 0.5f;
    const float centre = (exx + eyy) * 0.5f;
    const float halfDifference = (exx - eyy) * 0.5f;
    const float radius = sqrtf(exy * exy + halfDifference * halfDifference);
    const float e1 = centre + radius;
    const float e2 = centre - radius;
    epsXX[i] = exx;
    epsYY[i] = eyy;
    epsXY[i] = exy;
    rotation[i] = (dvDx - duDy) * 0.5f * kDegreesPerRadian;
    epsI[i] = e1;
    epsII[i] = e2;
    if (!isfinite(e1) || !isfinite(e2)) {
        epsVonMises[i] = NAN;
        epsTresca[i] = NAN;
        return;
    }
    epsTresca[i] = (e1 - e2) * 0.5f;
    const float q = (e1 * e1 + e2 * e2 - e1 * e2) * kTwoThirds;
    // q is never negative in exact arithmetic; rounding may make it so.
    epsVonMises[i] = q >= 0.0f ? sqrtf(q) : (isfinite(q) ? 0.0f : NAN);
}

__device__ __forceinline__ float derivativeAlongX(const float* field, int W, int /*H*/, int x, int y, float h,
                                                  float L) {
    if (W < 2) return 0.0f;
    const long long row = static_cast<long long>(y) * W;
    if (x == 0) return (readDisplacement(field, row + 1, L) - readDisplacement(field, row, L)) / h;
    if (x == W - 1) return (readDisplacement(field, row + W - 1, L) - readDisplacement(field, row + W - 2, L)) / h;
    return (readDisplacement(field, row + x + 1, L) - readDisplacement(field, row + x - 1, L)) / (2.0f * h);
}

__device__ __forceinline__ float derivativeAlongY(const float* field, int W, int H, int x, int y, float h, float L) {
    if (H < 2) return 0.0f;
    const long long w = W;
    const long long at = static_cast<long long>(y) * w + x;
    if (y == 0) return (readDisplacement(field, at + w, L) - readDisplacement(field, at, L)) / h;
    if (y == H - 1) return (readDisplacement(field, at, L) - readDisplacement(field, at - w, L)) / h;
    return (readDisplacement(field, at + w, L) - readDisplacement(field, at - w, L)) / (2.0f * h);
}

// Even reflection for the smoothing axis: index -1 maps to 1, n to n - 2.
__device__ __forceinline__ int mirror(int k, int n) {
    int m = k < 0 ? -k : k;
    if (m >= n) m = 2 * n - 2 - m;
    if (m < 0) m = 0;
    if (m >= n) m = n - 1;
    return m;
}

// Sample k of a line of n >= 2 values continued past its ends by odd reflection
// through the end points, f(-k) = 2 f(0) - f(k): a linear field stays linear, so
// a derivative kernel keeps its slope up to the border, where an even mirror
// would make the two neighbours equal and the derivative zero.
__device__ __forceinline__ float oddReflectedSample(const float* field, long long first, long long stride, int k,
                                                    int n, float L) {
    float offset = 0.0f;
    float sign = 1.0f;
    while (k < 0 || k >= n) {
        const int edge = k < 0 ? 0 : n - 1;
        offset += sign * 2.0f * readDisplacement(field, first + edge * stride, L);
        sign = -sign;
        k = 2 * edge - k;
    }
    return offset + sign * readDisplacement(field, first + k * stride, L);
}

__device__ float separableDerivativeX(const float* field, int W, int H, int x, int y, float h, const float* D, int a,
                                      const float* S, int b, float smoothingSum, float L) {
    if (W < 2) return 0.0f;
    float sum = 0.0f;
    for (int j = -b; j <= b; ++j) {
        const long long row = static_cast<long long>(mirror(y + j, H)) * W;
        for (int i = -a; i <= a; ++i)
            sum = fmaf(S[j + b] * D[i + a], oddReflectedSample(field, row, 1, x + i, W, L), sum);
    }
    return sum / (h * smoothingSum);
}

__device__ float separableDerivativeY(const float* field, int W, int H, int x, int y, float h, const float* D, int a,
                                      const float* S, int b, float smoothingSum, float L) {
    if (H < 2) return 0.0f;
    float sum = 0.0f;
    for (int j = -a; j <= a; ++j)
        for (int i = -b; i <= b; ++i)
            sum = fmaf(D[j + a] * S[i + b], oddReflectedSample(field, mirror(x + i, W), W, y + j, H, L), sum);
    return sum / (h * smoothingSum);
}

__global__ void compute_strain_from_gradients_kernel(const float* duDx, const float* duDy, const float* dvDx,
                                                     const float* dvDy, int count, float* epsXX, float* epsYY,
                                                     float* epsXY, float* epsI, float* epsII, float* epsVonMises,
                                                     float* epsTresca, float* rotation) {
    const long long i = static_cast<long long>(blockIdx.x) * blockDim.x + threadIdx.x;
    if (i >= count) return;
    const float ux = duDx[i], uy = duDy[i], vx = dvDx[i], vy = dvDy[i];
    if (!isfinite(ux) || !isfinite(uy) || !isfinite(vx) || !isfinite(vy)) {
        writeMissing(i, epsXX, epsYY, epsXY, epsI, epsII, epsVonMises, epsTresca, rotation);
        return;
    }
    writeStrains(i, ux, uy, vx, vy, epsXX, epsYY, epsXY, epsI, epsII, epsVonMises, epsTresca, rotation);
}

__global__ void compute_strain_kernel(const float* u, const float* v, int W, int H, float hx, float hy, float L,
                                      float* epsXX,
                                      float* epsYY, float* epsXY, float* epsI, float* epsII, float* epsVonMises,
                                      float* epsTresca, float* rotation, long long offset, int count) {
    const long long local = static_cast<long long>(blockIdx.x) * blockDim.x + threadIdx.x;
    const long long i = offset + local;
    if (local >= count || i >= static_cast<long long>(W) * H) return;
    const int x = static_cast<int>(i % W);
    const int y = static_cast<int>(i / W);
    if (!isfinite(readDisplacement(u, i, L)) || !isfinite(readDisplacement(v, i, L))) {
        writeMissing(i, epsXX, epsYY, epsXY, epsI, epsII, epsVonMises, epsTresca, rotation);
        return;
    }
    const float ux = derivativeAlongX(u, W, H, x, y, hx, L);
    const float vy = derivativeAlongY(v, W, H, x, y, hy, L);
    const float uy = derivativeAlongY(u, W, H, x, y, hy, L);
    const float vx = derivativeAlongX(v, W, H, x, y, hx, L);
    if (!isfinite(ux) || !isfinite(uy) || !isfinite(vx) || !isfinite(vy)) {
        writeMissing(i, epsXX, epsYY, epsXY, epsI, epsII, epsVonMises, epsTresca, rotation);
        return;
    }
    writeStrains(i, ux, uy, vx, vy, epsXX, epsYY, epsXY, epsI, epsII, epsVonMises, epsTresca, rotation);
}

__global__ void compute_strain_separable_kernel(const float* u, const float* v, int W, int H, float hx, float hy,
                                                const float* D,
                                                int a, const float* S, int b, float smoothingSum, float L,
                                                float* epsXX, float* epsYY, float* epsXY, float* epsI, float* epsII,
                                                float* epsVonMises, float* epsTresca, float* rotation,
                                                long long offset, int count) {
    const long long local = static_cast<long long>(blockIdx.x) * blockDim.x + threadIdx.x;
    const long long i = offset + local;
    if (local >= count || i >= static_cast<long long>(W) * H) return;
    const int x = static_cast<int>(i % W);
    const int y = static_cast<int>(i / W);
    if (!isfinite(readDisplacement(u, i, L)) || !isfinite(readDisplacement(v, i, L))) {
        writeMissing(i, epsXX, epsYY, epsXY, epsI, epsII, epsVonMises, epsTresca, rotation);
        return;
    }
    const float ux = separableDerivativeX(u, W, H, x, y, hx, D, a, S, b, smoothingSum, L);
    const float vy = separableDerivativeY(v, W, H, x, y, hy, D, a, S, b, smoothingSum, L);
    const float uy = separableDerivativeY(u, W, H, x, y, hy, D, a, S, b, smoothingSum, L);
    const float vx = separableDerivativeX(v, W, H, x, y, hx, D, a, S, b, smoothingSum, L);
    if (!isfinite(ux) || !isfinite(uy) || !isfinite(vx) || !isfinite(vy)) {
        writeMissing(i, epsXX, epsYY, epsXY, epsI, epsII, epsVonMises, epsTresca, rotation);
        return;
    }
    writeStrains(i, ux, uy, vx, vy, epsXX, epsYY, epsXY, epsI, epsII, epsVonMises, epsTresca, rotation);
}

cudaError_t throttledMemcpy(void* dst, const void* src, uint64_t bytes, cudaMemcpyKind kind) {
    for (uint64_t done = 0; done < bytes;) {
        const uint64_t slice = bytes - done < kCopySliceBytes ? bytes - done : kCopySliceBytes;
        const cudaError_t status = cudaMemcpy(static_cast<char*>(dst) + done, static_cast<const char*>(src) + done,
                                              static_cast<size_t>(slice), kind);
        if (status != cudaSuccess) return status;
        done += slice;
        std::this_thread::sleep_for(kCopyPause);
    }
    return cudaSuccess;
}

cudaError_t throttledMemcpyToHost(void* dst, const void* src, uint64_t bytes) {
    return throttledMemcpy(dst, src, bytes, cudaMemcpyDeviceToHost);
}

struct DeviceVector {
    DeviceBufferPool::Lease lease;
    float* data = nullptr;
};

// The derivative path of one call and what it needs on the device.
enum class StrainPath { Gradients, FiniteDifferences, CustomKernel };

struct CustomKernels {
    std::vector<float> derivative;
    std::vector<float> smoothing;  // {1} when the user gave none
    const char* smoothingCopyLabel = "cudaMemcpy smoothKernel";
    int a = 0;
    int b = 0;
    float smoothingSum = 1.0f;
};

CustomKernels prepareCustomKernels(const gui::StrainSettings& settings) {
    CustomKernels k;
    k.derivative = settings.derivativeCoefficients;
    k.a = static_cast<int>(k.derivative.size() / 2);
    if (settings.smoothingCoefficients.empty()) {
        k.smoothing = {1.0f};
        k.smoothingCopyLabel = "cudaMemcpy neutralSmoothKernel";
        return k;
    }
    k.smoothing = settings.smoothingCoefficients;
    k.b = static_cast<int>(k.smoothing.size() / 2);
    k.smoothingSum = smoothingKernelSum(k.smoothing);
    return k;
}

class StrainRun {
public:
    StrainRun(const PixelDisplacementResult& disp, StrainResult& out, std::string& error, StrainProgress progress)
        : disp_(disp), out_(out), error_(error), progress_(std::move(progress)),
          n_(static_cast<long long>(disp.gridWidth) * disp.gridHeight),
          bytes_(static_cast<uint64_t>(n_) * sizeof(float)) {}

    bool run(StrainPath path, float hx, float hy, float L, const CustomKernels* custom);
    // A report whose answer is ignored: the work can no longer be cancelled.
    void report(long long done, long long total) {
        if (progress_) progress_(done, total);
    }

private:
    bool fail(std::string message) {
        error_ = std::move(message);
        out_ = StrainResult{};
        return false;
    }
    bool failCuda(cudaError_t code, const char* label) { return fail(cudaErrorMessage(code, label)); }
    // A false answer cancels the call.
    bool proceed(long long done, long long total) { return !progress_ || progress_(done, total); }
    bool lease(DeviceVector& target, uint64_t bytes, const char* label) {
        const int code = DeviceBufferPool::instance().acquire(bytes, target.lease);
        if (code != 0) return failCuda(static_cast<cudaError_t>(code), label);
        target.data = target.lease.as<float>();
        return true;
    }
    bool upload(DeviceVector& target, const std::vector<float>& source, const char* label) {
        const cudaError_t code = throttledMemcpy(target.data, source.data(), bytes_, cudaMemcpyHostToDevice);
        return code == cudaSuccess || failCuda(code, label);
    }
    bool uploadKernel(DeviceVector& target, const std::vector<float>& source, const char* label) {
        const cudaError_t code =
            cudaMemcpy(target.data, source.data(), source.size() * sizeof(float), cudaMemcpyHostToDevice);
        return code == cudaSuccess || failCuda(code, label);
    }
    bool leaseInputs(StrainPath path, const CustomKernels* custom);
    bool uploadInputs(StrainPath path, const CustomKernels* custom);
    bool launchChunks(StrainPath path, float hx, float hy, float L, const CustomKernels* custom);
    bool downloadOutputs();

    const PixelDisplacementResult& disp_;
    StrainResult& out_;
    std::string& error_;
    StrainProgress progress_;
    long long n_;
    uint64_t bytes_;
    DeviceVector gradients_[4];
    DeviceVector u_, v_, derivative_, smoothing_;
    DeviceVector outputs_[8];
};

constexpr const char* kGradientLeaseLabels[4] = {
    "cudaMalloc duDx",
    "cudaMalloc duDy",
    "cudaMalloc dvDx",
    "cudaMalloc dvDy",
};
constexpr const char* kOutputLeaseLabels[8] = {
    "cudaMalloc epsXX", "cudaMalloc epsYY",       "cudaMalloc epsXY",     "cudaMalloc epsI",
    "cudaMalloc epsII", "cudaMalloc epsVonMises", "cudaMalloc epsTresca", "cudaMalloc rotation",
};
constexpr const char* kOutputCopyLabels[8] = {
    "cudaMemcpy epsXX", "cudaMemcpy epsYY",       "cudaMemcpy epsXY",     "cudaMemcpy epsI",
    "cudaMemcpy epsII", "cudaMemcpy epsVonMises", "cudaMemcpy epsTresca", "cudaMemcpy rotation",
};

bool StrainRun::leaseInputs(StrainPath path, const CustomKernels* custom) {
    if (path == StrainPath::Gradients) {
        for (int g = 0; g < 4; ++g)
            if (!lease(gradients_[g], bytes_, kGradientLeaseLabels[g])) return false;
    } else {
        if (!lease(u_, bytes_, "cudaMalloc dispX") || !lease(v_, bytes_, "cudaMalloc dispY")) return false;
        if (path == StrainPath::CustomKernel &&
            (!lease(derivative_, custom->derivative.size() * sizeof(float), "cudaMalloc derivKernel") ||
             !lease(smoothing_, custom->smoothing.size() * sizeof(float), "cudaMalloc smoothKernel")))
            return false;
    }
    for (int o = 0; o < 8; ++o)
        if (!lease(outputs_[o], bytes_, kOutputLeaseLabels[o])) return false;
    return true;
}

bool StrainRun::uploadInputs(StrainPath path, const CustomKernels* custom) {
    if (path == StrainPath::Gradients) {
        if (!upload(gradients_[0], disp_.duDx, "cudaMemcpy duDx")) return false;
        report(15, 100);
        if (!upload(gradients_[1], disp_.duDy, "cudaMemcpy duDy")) return false;
        report(2, 10);
        if (!upload(gradients_[2], disp_.dvDx, "cudaMemcpy dvDx")) return false;
        report(25, 100);
        return upload(gradients_[3], disp_.dvDy, "cudaMemcpy dvDy");
    }
    if (!upload(u_, disp_.dispX, "cudaMemcpy dispX")) return false;
    report(2, 10);
    if (!upload(v_, disp_.dispY, "cudaMemcpy dispY")) return false;
    if (path != StrainPath::CustomKernel) return true;
    return uploadKernel(derivative_, custom->derivative, "cudaMemcpy derivKernel") &&
           uploadKernel(smoothing_, custom->smoothing, custom->smoothingCopyLabel);
}

bool StrainRun::launchChunks(StrainPath path, float hx, float hy, float L, const CustomKernels* custom) {
    const int W = disp_.gridWidth;
    const int H = disp_.gridHeight;
    const long long chunks = (n_ + kChunkPoints - 1) / kChunkPoints;
    float* o[8];
    for (int k = 0; k < 8; ++k) o[k] = outputs_[k].data;
    for (long long c = 0; c < chunks; ++c) {
        const long long offset = c * kChunkPoints;
        const int count = static_cast<int>(n_ - offset < kChunkPoints ? n_ - offset : kChunkPoints);
        const unsigned blocks = static_cast<unsigned>((count + kThreadsPerBlock - 1) / kThreadsPerBlock);
        const char* label = nullptr;
        switch (path) {
        case StrainPath::Gradients:
            TAVRO_LAUNCH(compute_strain_from_gradients_kernel, dim3(blocks), dim3(kThreadsPerBlock), 0,
                         gradients_[0].data + offset, gradients_[1].data + offset, gradients_[2].data + offset,
                         gradients_[3].data + offset, count, o[0] + offset, o[1] + offset, o[2] + offset,
                         o[3] + offset, o[4] + offset, o[5] + offset, o[6] + offset, o[7] + offset);
            label = "compute_strain_from_gradients_kernel launch";
            break;
        case StrainPath::FiniteDifferences:
            TAVRO_LAUNCH(compute_strain_kernel, dim3(blocks), dim3(kThreadsPerBlock), 0,
                         static_cast<const float*>(u_.data), static_cast<const float*>(v_.data), W, H, hx, hy, L, o[0],
                         o[1], o[2], o[3], o[4], o[5], o[6], o[7], offset, count);
            label = "compute_strain_kernel launch";
            break;
        case StrainPath::CustomKernel:
            TAVRO_LAUNCH(compute_strain_separable_kernel, dim3(blocks), dim3(kThreadsPerBlock), 0,
                         static_cast<const float*>(u_.data), static_cast<const float*>(v_.data), W, H, hx, hy,
                         static_cast<const float*>(derivative_.data), custom->a,
                         static_cast<const float*>(smoothing_.data), custom->b, custom->smoothingSum, L, o[0], o[1],
                         o[2], o[3], o[4], o[5], o[6], o[7], offset, count);
            label = "compute_strain_separable_kernel launch";
            break;
        }
        cudaError_t code = cudaGetLastError();
        if (code != cudaSuccess) return failCuda(code, label);
        code = cudaDeviceSynchronize();
        if (code != cudaSuccess) return failCuda(code, "cudaDeviceSynchronize");
        if (!proceed(30 + (20 * c) / chunks, 100)) return fail(kCancelled);
    }
    return true;
}

bool StrainRun::downloadOutputs() {
    std::vector<float>* fields[8] = {&out_.epsXX, &out_.epsYY,       &out_.epsXY,     &out_.epsI,
                                     &out_.epsII, &out_.epsVonMises, &out_.epsTresca, &out_.rotation};
    static constexpr long long kReports[8][2] = {{6, 10},   {7, 10},   {8, 10},   {9, 10},
                                                 {92, 100}, {94, 100}, {96, 100}, {98, 100}};
    for (int k = 0; k < 8; ++k) {
        const cudaError_t code = throttledMemcpyToHost(fields[k]->data(), outputs_[k].data, bytes_);
        if (code != cudaSuccess) return failCuda(code, kOutputCopyLabels[k]);
        report(kReports[k][0], kReports[k][1]);
    }
    return true;
}

bool StrainRun::run(StrainPath path, float hx, float hy, float L, const CustomKernels* custom) {
    if (!proceed(0, 10)) return fail(kCancelled);
    if (!leaseInputs(path, custom)) return false;
    if (!proceed(1, 10)) return fail(kCancelled);
    if (!uploadInputs(path, custom)) return false;
    if (!proceed(3, 10)) return fail(kCancelled);
    if (!launchChunks(path, hx, hy, L, custom)) return false;
    if (!proceed(5, 10)) return fail(kCancelled);

    out_.gridWidth = disp_.gridWidth;
    out_.gridHeight = disp_.gridHeight;
    const size_t n = static_cast<size_t>(n_);
    for (std::vector<float>* field : {&out_.epsXX, &out_.epsYY, &out_.epsXY, &out_.epsI, &out_.epsII,
                                      &out_.epsVonMises, &out_.epsTresca, &out_.rotation})
        field->resize(n);
    if (path == StrainPath::CustomKernel) out_.auxiliary.clear();
    return downloadOutputs();
}

// Shared validation of both entries; the message of the first failed check, or null.
const char* invalidGrid(const PixelDisplacementResult& disp, int gridSpacing, int gridSpacingY) {
    if (gridSpacing <= 0 || gridSpacingY < 0) return "Grid spacing must be strictly positive.";
    if (disp.gridWidth < 1 || disp.gridHeight < 1) return "Invalid grid dimensions for strain computation.";
    const size_t n = static_cast<size_t>(disp.gridWidth) * static_cast<size_t>(disp.gridHeight);
    if (disp.dispX.size() != n || disp.dispY.size() != n) return "Provided displacements do not match grid dimensions.";
    return nullptr;
}

const char* invalidKernels(const gui::StrainSettings& settings) {
    if (settings.derivativeCoefficients.empty()) return "Derivative kernel cannot be empty.";
    if (settings.derivativeCoefficients.size() % 2 == 0) return "Derivative kernel must have odd size.";
    if (!settings.smoothingCoefficients.empty() && settings.smoothingCoefficients.size() % 2 == 0)
        return "Smoothing kernel must have odd size.";
    return nullptr;
}

} // namespace

float smoothingKernelSum(const std::vector<float>& smoothing) {
    float sum = 0.0f;
    for (float s : smoothing) sum += s;
    // A kernel that sums to zero cannot be normalised; it is used as given.
    return sum == 0.0f ? 1.0f : sum;
}

bool computeStrainGpu(const PixelDisplacementResult& disp, int gridSpacing, StrainResult& out, std::string& error,
                      StrainProgress progress, float supportLength, int gridSpacingY) {
    error.clear();
    if (const char* invalid = invalidGrid(disp, gridSpacing, gridSpacingY)) {
        error = invalid;
        out = StrainResult{};
        return false;
    }
    const size_t n = disp.dispX.size();
    const bool gradients =
        disp.duDx.size() == n && disp.duDy.size() == n && disp.dvDx.size() == n && disp.dvDy.size() == n;
    ProfileRange range("Strain computation");
    StrainRun run(disp, out, error, std::move(progress));
    if (!run.run(gradients ? StrainPath::Gradients : StrainPath::FiniteDifferences, static_cast<float>(gridSpacing),
                 static_cast<float>(gridSpacingY > 0 ? gridSpacingY : gridSpacing), supportLength, nullptr))
        return false;
    run.report(10, 10);
    return true;
}

bool computeStrainCustomKernelGpu(const PixelDisplacementResult& disp, int gridSpacing,
                                  const gui::StrainSettings& settings, StrainResult& out, std::string& error,
                                  StrainProgress progress, int gridSpacingY) {
    error.clear();
    const char* invalid = invalidGrid(disp, gridSpacing, gridSpacingY);
    if (!invalid) invalid = invalidKernels(settings);
    if (invalid) {
        error = invalid;
        out = StrainResult{};
        return false;
    }
    const CustomKernels kernels = prepareCustomKernels(settings);
    ProfileRange range("Strain computation (custom kernel)");
    StrainRun run(disp, out, error, std::move(progress));
    if (!run.run(StrainPath::CustomKernel, static_cast<float>(gridSpacing),
                 static_cast<float>(gridSpacingY > 0 ? gridSpacingY : gridSpacing), settings.supportLength, &kernels))
        return false;
    if (settings.auxiliaryMode == 2 && !settings.auxiliaryText.empty()) out.auxiliary.assign(disp.dispX.size(), 0.0f);
    run.report(10, 10);
    return true;
}

} // namespace tavro
