#include "core/global_registration.h"

#include <climits>
#include <cstdint>

#include <thrust/device_ptr.h>
#include <thrust/execution_policy.h>
#include <thrust/extrema.h>
#include <thrust/reduce.h>

#include "core/profile_range.h"
#include "core/tavro_fft.h"
#include "gpu/runtime.h"

namespace tavro {
namespace {

using detail::ProfileRange;

constexpr int kThreadsPerBlock = 256;

// Whitening keeps only the phase, so the surface peaks sharply at the shift
// whatever the contrast of the two images.
__global__ void cross_power_spectrum_kernel(const float2* a, const float2* b, float2* out, int n) {
    const long long i = static_cast<long long>(blockIdx.x) * blockDim.x + threadIdx.x;
    if (i >= n) return;
    const float2 A = a[i];
    const float2 B = b[i];
    const float d = hypotf(A.x, A.y) * hypotf(B.x, B.y);
    if (d <= 1e-12f) {
        out[i] = make_float2(0.0f, 0.0f);
        return;
    }
    out[i] = make_float2((A.x * B.x + A.y * B.y) / d, (A.y * B.x - A.x * B.y) / d);
}

__global__ void scale_real_kernel(float* data, int n, float scale) {
    const long long i = static_cast<long long>(blockIdx.x) * blockDim.x + threadIdx.x;
    if (i < n) data[i] *= scale;
}

unsigned blocksFor(long long n) { return static_cast<unsigned>((n + kThreadsPerBlock - 1) / kThreadsPerBlock); }

// Integer halves: a shift of exactly half the size stays positive.
int wrapShift(int index, int size) { return index > size / 2 ? index - size : index; }

class Registration {
public:
    Registration(int width, int height, std::string& error)
        : width_(width), height_(height), pixels_(static_cast<long long>(width) * height),
          bins_(static_cast<long long>(width / 2 + 1) * height), error_(error) {}

    ~Registration() {
        plan_.reset();
        for (DeviceBufferPool::Lease* lease :
             {&refLease_, &defLease_, &refFreqLease_, &defFreqLease_, &crossLease_, &correlationLease_})
            lease->release();
        // A failed call, a thrown one included, leaves no pending error behind for the next one.
        if (!succeeded_) cudaGetLastError();
    }

    bool run(const float* ref, const float* def, RigidRegistrationResult& result);

private:
    bool failCuda(cudaError_t code, const char* label) {
        error_ = cudaErrorMessage(code, label);
        return false;
    }
    bool checked(cudaError_t code, const char* label) { return code == cudaSuccess || failCuda(code, label); }
    bool lease(DeviceBufferPool::Lease& target, uint64_t bytes, const char* label) {
        const int code = DeviceBufferPool::instance().acquire(bytes, target);
        return code == 0 || failCuda(static_cast<cudaError_t>(code), label);
    }
    bool prepare(const float* ref, const float* def);
    bool bothHaveContrast();
    bool correlate();
    bool locatePeak(RigidRegistrationResult& result);

    int width_, height_;
    long long pixels_, bins_;
    std::string& error_;
    DeviceBufferPool::Lease refLease_, defLease_, refFreqLease_, defFreqLease_, crossLease_, correlationLease_;
    fft::PlanPtr plan_;
    bool succeeded_ = false;
};

bool Registration::prepare(const float* ref, const float* def) {
    const uint64_t imageBytes = static_cast<uint64_t>(pixels_) * sizeof(float);
    const uint64_t spectrumBytes = static_cast<uint64_t>(bins_) * sizeof(float2);
    if (!lease(refLease_, imageBytes, "cudaMalloc dRef") || !lease(defLease_, imageBytes, "cudaMalloc dDef") ||
        !lease(refFreqLease_, spectrumBytes, "cudaMalloc dRefFreq") ||
        !lease(defFreqLease_, spectrumBytes, "cudaMalloc dDefFreq") ||
        !lease(crossLease_, spectrumBytes, "cudaMalloc dCross") ||
        !lease(correlationLease_, imageBytes, "cudaMalloc dCorrelation"))
        return false;
    if (!checked(cudaMemcpy(refLease_.get(), ref, imageBytes, cudaMemcpyHostToDevice), "cudaMemcpy dRef") ||
        !checked(cudaMemcpy(defLease_.get(), def, imageBytes, cudaMemcpyHostToDevice), "cudaMemcpy dDef"))
        return false;
    plan_.reset(fft::createPlan(height_, width_, 1, 1, error_));
    return plan_ != nullptr && bothHaveContrast();
}

// An image whose pixels are all equal has no phase to correlate: its spectrum is
// the mean alone, and whitening would blow the transform's round-off up into a
// spurious peak with a convincing ratio.
bool Registration::bothHaveContrast() {
    for (const DeviceBufferPool::Lease* image : {&refLease_, &defLease_}) {
        const thrust::device_ptr<float> first = thrust::device_pointer_cast(image->as<float>());
        const auto range = thrust::minmax_element(thrust::device, first, first + pixels_);
        if (!checked(cudaGetLastError(), "thrust::minmax_element image")) return false;
        float lowest = 0.0f, highest = 0.0f;
        if (!checked(cudaMemcpy(&lowest, thrust::raw_pointer_cast(range.first), sizeof(float), cudaMemcpyDeviceToHost),
                     "cudaMemcpy image minimum") ||
            !checked(cudaMemcpy(&highest, thrust::raw_pointer_cast(range.second), sizeof(float),
                                cudaMemcpyDeviceToHost),
                     "cudaMemcpy image maximum"))
            return false;
        if (lowest == highest) {
            error_ = "Global alignment failed (zero correlation).";
            return false;
        }
    }
    return true;
}

bool Registration::correlate() {
    auto* refFreq = refFreqLease_.as<float2>();
    auto* defFreq = defFreqLease_.as<float2>();
    auto* cross = crossLease_.as<float2>();
    auto* surface = correlationLease_.as<float>();
    {
        ProfileRange range("Rigid FFT forward");
        if (!fft::execR2C(plan_.get(), refLease_.as<float>(), refFreq, error_) ||
            !fft::execR2C(plan_.get(), defLease_.as<float>(), defFreq, error_))
            return false;
    }
    {
        ProfileRange range("Rigid cross power");
        TAVRO_LAUNCH(cross_power_spectrum_kernel, dim3(blocksFor(bins_)), dim3(kThreadsPerBlock), 0,
                     static_cast<const float2*>(refFreq), static_cast<const float2*>(defFreq), cross,
                     static_cast<int>(bins_));
        if (!checked(cudaGetLastError(), "cross_power_spectrum_kernel") ||
            !checked(cudaDeviceSynchronize(), "cudaDeviceSynchronize cross power"))
            return false;
    }
    {
        ProfileRange range("Rigid FFT inverse");
        if (!fft::execC2R(plan_.get(), cross, surface, error_)) return false;
    }
    ProfileRange range("Rigid correlation scale");
    const float scale = 1.0f / static_cast<float>(pixels_);
    TAVRO_LAUNCH(scale_real_kernel, dim3(blocksFor(pixels_)), dim3(kThreadsPerBlock), 0, surface,
                 static_cast<int>(pixels_), scale);
    return checked(cudaGetLastError(), "scale_real_kernel") &&
           checked(cudaDeviceSynchronize(), "cudaDeviceSynchronize scale");
}

bool Registration::locatePeak(RigidRegistrationResult& result) {
    ProfileRange range("Rigid correlation max");
    const thrust::device_ptr<float> first = thrust::device_pointer_cast(correlationLease_.as<float>());
    const thrust::device_ptr<float> last = first + pixels_;
    const long long k = thrust::max_element(thrust::device, first, last) - first;
    if (!checked(cudaGetLastError(), "thrust::max_element correlation")) return false;
    float peak = 0.0f;
    if (!checked(cudaMemcpy(&peak, correlationLease_.as<float>() + k, sizeof(float), cudaMemcpyDeviceToHost),
                 "cudaMemcpy peak correlation"))
        return false;
    if (!(peak > 0.0f)) {
        error_ = "Global alignment failed (zero correlation).";
        return false;
    }
    const float sum = thrust::reduce(thrust::device, first, last, 0.0f);
    if (!checked(cudaGetLastError(), "thrust::reduce sum")) return false;
    const float mean = sum / static_cast<float>(pixels_);
    // The peak sits at minus the displacement of the deformed image's content.
    result.shiftX = static_cast<float>(wrapShift(static_cast<int>(k % width_), width_));
    result.shiftY = static_cast<float>(wrapShift(static_cast<int>(k / width_), height_));
    result.peakRatio = mean > 1e-9f ? peak / mean : 0.0f;
    return true;
}

bool Registration::run(const float* ref, const float* def, RigidRegistrationResult& result) {
    RigidRegistrationResult measured;
    if (!prepare(ref, def) || !correlate() || !locatePeak(measured)) return false;
    result = measured;
    succeeded_ = true;
    return true;
}

} // namespace

bool computeRigidRegistrationGpu(const float* ref, const float* def, ImageSize size, RigidRegistrationResult* out,
                                 std::string& error) {
    cudaGetLastError();
    if (out) *out = RigidRegistrationResult{};
    error.clear();
    if (!ref || !def || !out) {
        error = "Images invalides (pointeurs nuls).";
        return false;
    }
    // The kernels index the surface with int.
    if (size.width <= 0 || size.height <= 0 || static_cast<long long>(size.width) * size.height > INT_MAX) {
        error = "Dimensions d'image invalides.";
        return false;
    }
    ProfileRange range("Rigid registration host");
    Registration registration(size.width, size.height, error);
    return registration.run(ref, def, *out);
}

} // namespace tavro
