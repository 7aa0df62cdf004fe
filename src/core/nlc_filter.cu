#include "core/nlc_filter.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "core/gpu_common.h"
#include "gpu/runtime.h"

namespace tavro {
namespace {

constexpr int kThreadsPerBlock = 256;
constexpr uint64_t kMaxBudgetBytes = 1073741824;  // 1 GiB
// Below this much free device memory the driver's figure is not trusted to size bands.
constexpr uint64_t kTrustedFreeBytes = 268435456;
// Four float buffers per band row.
constexpr uint64_t kBytesPerPixel = 16;
constexpr int kStatisticsBandRows = 256;

__device__ __forceinline__ int clampIndex(int i, int last) { return i < 0 ? 0 : (i > last ? last : i); }

__global__ void nlc_horizontal_sums(const float* in, float* hSum, float* hSum2, int width, int rows, int radius) {
    const long long i = static_cast<long long>(blockIdx.x) * blockDim.x + threadIdx.x;
    if (i >= static_cast<long long>(width) * rows) return;
    const int x = static_cast<int>(i % width);
    const float* row = in + (i - x);
    float sum = 0.0f;
    float sumSquares = 0.0f;
    for (int k = -radius; k <= radius; ++k) {
        const int c = clampIndex(x + k, width - 1);
        const float value = __ldg(row + c);
        sum += value;
        sumSquares = fmaf(value, value, sumSquares);
    }
    hSum[i] = sum;
    hSum2[i] = sumSquares;
}

// The vertical window is clamped to the band; a band carries `radius` halo rows
// wherever the image has them, so only the image's own first and last rows repeat.
__global__ void nlc_vertical_normalize(const float* in, const float* hSum, const float* hSum2, float* out, int width,
                                       int rows, int radius, float mean, float stddev) {
    const long long i = static_cast<long long>(blockIdx.x) * blockDim.x + threadIdx.x;
    if (i >= static_cast<long long>(width) * rows) return;
    const int x = static_cast<int>(i % width);
    const int y = static_cast<int>(i / width);
    float sum = 0.0f;
    float sumSquares = 0.0f;
    for (int k = -radius; k <= radius; ++k) {
        const long long at = static_cast<long long>(clampIndex(y + k, rows - 1)) * width + x;
        sum += __ldg(hSum + at);
        sumSquares += __ldg(hSum2 + at);
    }
    // Clamped samples count each time they are used, so the count never varies.
    const float count = static_cast<float>((2 * radius + 1) * (2 * radius + 1));
    const float localMean = sum / count;
    const float variance = sumSquares / count - localMean * localMean;
    const float deviation = sqrtf(fmaxf(variance, 1e-12f));
    const float z = (__ldg(in + i) - localMean) / deviation;
    out[i] = __saturatef(z * stddev + mean);
}

class NlcRun {
public:
    NlcRun(const float* in, float* out, int width, int height, int radius, float mean, float stddev,
           std::string& error)
        : in_(in), out_(out), width_(width), height_(height), radius_(radius), mean_(mean), stddev_(stddev),
          error_(error) {}

    bool run(const std::vector<detail::NlcBand>& bands);

private:
    bool fail(const char* text, cudaError_t code) {
        error_ = text + std::string(cudaErrorDescription(code));
        return false;
    }
    bool lease(DeviceBufferPool::Lease& lease, float*& data, uint64_t bytes, const char* text) {
        const int code = DeviceBufferPool::instance().acquire(bytes, lease);
        if (code != 0) return fail(text, static_cast<cudaError_t>(code));
        data = lease.as<float>();
        return true;
    }
    size_t rowsBytes(int rows) const { return static_cast<size_t>(rows) * static_cast<size_t>(width_) * 4; }
    const float* row(const float* image, int y) const { return image + static_cast<size_t>(y) * width_; }
    bool upload(const detail::NlcBand& band, const float* source, bool fromSaved);
    bool filterBand(int rows);

    const float* in_;
    float* out_;
    int width_, height_, radius_;
    float mean_, stddev_;
    std::string& error_;
    DeviceBufferPool::Lease inputLease_, hSumLease_, hSum2Lease_, outputLease_;
    float* dInput_ = nullptr;
    float* dHSum_ = nullptr;
    float* dHSum2_ = nullptr;
    float* dOutput_ = nullptr;
    // Unfiltered rows above the next band's own rows, kept before they are overwritten in place.
    std::vector<float> savedHalo_;
};

bool NlcRun::upload(const detail::NlcBand& band, const float* source, bool fromSaved) {
    cudaError_t code = cudaSuccess;
    if (fromSaved) {
        const int saved = band.rowStart - band.haloStart;
        code = cudaMemcpy(dInput_, savedHalo_.data(), rowsBytes(saved), cudaMemcpyHostToDevice);
        if (code == cudaSuccess)
            code = cudaMemcpy(dInput_ + static_cast<size_t>(saved) * width_, row(source, band.rowStart),
                              rowsBytes(band.haloEnd - band.rowStart), cudaMemcpyHostToDevice);
    } else {
        code = cudaMemcpy(dInput_, row(source, band.haloStart), rowsBytes(band.haloEnd - band.haloStart),
                          cudaMemcpyHostToDevice);
    }
    return code == cudaSuccess || fail("NLC cudaMemcpy H->D failed: ", code);
}

bool NlcRun::filterBand(int rows) {
    const long long pixels = static_cast<long long>(width_) * rows;
    const dim3 blocks(static_cast<unsigned>((pixels + kThreadsPerBlock - 1) / kThreadsPerBlock));
    TAVRO_LAUNCH(nlc_horizontal_sums, blocks, dim3(kThreadsPerBlock), 0, static_cast<const float*>(dInput_), dHSum_,
                 dHSum2_, width_, rows, radius_);
    cudaError_t code = cudaGetLastError();
    if (code != cudaSuccess) return fail("NLC horizontal kernel launch failed: ", code);
    TAVRO_LAUNCH(nlc_vertical_normalize, blocks, dim3(kThreadsPerBlock), 0, static_cast<const float*>(dInput_),
                 static_cast<const float*>(dHSum_), static_cast<const float*>(dHSum2_), dOutput_, width_, rows,
                 radius_, mean_, stddev_);
    code = cudaGetLastError();
    if (code != cudaSuccess) return fail("NLC vertical kernel launch failed: ", code);
    code = cudaDeviceSynchronize();
    return code == cudaSuccess || fail("NLC cudaDeviceSynchronize failed: ", code);
}

bool NlcRun::run(const std::vector<detail::NlcBand>& bands) {
    int tallest = 0;
    for (const detail::NlcBand& band : bands) tallest = std::max(tallest, band.haloEnd - band.haloStart);
    const uint64_t bytes = rowsBytes(tallest);
    if (!lease(inputLease_, dInput_, bytes, "NLC pool acquire(input) failed: ") ||
        !lease(hSumLease_, dHSum_, bytes, "NLC pool acquire(hSum) failed: ") ||
        !lease(hSum2Lease_, dHSum2_, bytes, "NLC pool acquire(hSum2) failed: ") ||
        !lease(outputLease_, dOutput_, bytes, "NLC pool acquire(output) failed: "))
        return false;

    const bool inPlace = in_ == out_;
    // Bands are never taller than the ones before them, so a band's top halo lies
    // within the previous band's own rows unless some band is shorter than its halo.
    const bool copyWhole = inPlace && std::any_of(bands.begin(), bands.end(), [](const detail::NlcBand& b) {
                               return b.rowEnd - b.rowStart < b.rowStart - b.haloStart;
                           });
    std::vector<float> wholeInput;
    if (copyWhole) wholeInput.assign(in_, in_ + static_cast<size_t>(width_) * height_);
    const float* source = copyWhole ? wholeInput.data() : in_;
    const bool saveHalos = inPlace && !copyWhole;

    for (size_t k = 0; k < bands.size(); ++k) {
        const detail::NlcBand& band = bands[k];
        if (!upload(band, source, saveHalos && k > 0)) return false;
        if (!filterBand(band.haloEnd - band.haloStart)) return false;
        if (saveHalos && k + 1 < bands.size())
            savedHalo_.assign(row(source, bands[k + 1].haloStart), row(source, bands[k + 1].rowStart));
        const cudaError_t code =
            cudaMemcpy(out_ + static_cast<size_t>(band.rowStart) * width_,
                       dOutput_ + static_cast<size_t>(band.rowStart - band.haloStart) * width_,
                       rowsBytes(band.rowEnd - band.rowStart), cudaMemcpyDeviceToHost);
        if (code != cudaSuccess) return fail("NLC cudaMemcpy D->H failed: ", code);
    }
    return true;
}

} // namespace

std::pair<float, float> computeMeanStdDev(const ImageSource& source, int width, int height) {
    if (width <= 0 || height <= 0) return {0.0f, 1.0e-6f};
    const uint64_t n = static_cast<uint64_t>(width) * static_cast<uint64_t>(height);
    double sum = 0.0;
    double sumSquares = 0.0;
    auto accumulate = [&](const float* values, size_t count) {
        for (size_t i = 0; i < count; ++i) {
            const double v = values[i];
            sum += v;
            sumSquares += v * v;
        }
    };
    if (source.pixels) {
        accumulate(source.pixels, static_cast<size_t>(n));
    } else {
        std::vector<float> scratch;
        for (int first = 0; first < height; first += kStatisticsBandRows) {
            const int end = std::min(first + kStatisticsBandRows, height);
            const float* rows = source.rows(first, end, width, scratch);
            accumulate(rows, static_cast<size_t>(end - first) * static_cast<size_t>(width));
        }
    }
    const float mean = static_cast<float>(sum / static_cast<double>(n));
    double variance = sumSquares / static_cast<double>(n) - static_cast<double>(mean) * static_cast<double>(mean);
    if (variance < 1e-12) variance = 1e-12;
    return {mean, static_cast<float>(std::sqrt(variance))};
}

namespace detail {

uint64_t nlcMemoryBudget() {
    uint64_t budget = kMaxBudgetBytes;
    size_t freeBytes = 0, totalBytes = 0;
    if (cudaMemGetInfo(&freeBytes, &totalBytes) == cudaSuccess) {
        if (freeBytes > kTrustedFreeBytes) budget = freeBytes / 2;
    } else {
        // Otherwise the next launch check would report this failure as its own.
        cudaGetLastError();
    }
    const uint64_t commit = availableCommitMemory() / (2 * static_cast<uint64_t>(std::max(1, gpuWorkerCount())));
    if (commit != 0 && commit < budget) budget = commit;
    return std::min(budget, kMaxBudgetBytes);
}

std::vector<NlcBand> planNlcBands(int width, int height, int radius, uint64_t budgetBytes) {
    std::vector<NlcBand> bands;
    if (height <= 0) return bands;
    const uint64_t w = static_cast<uint64_t>(std::max(width, 1));
    const uint64_t rowCost = kBytesPerPixel * w;
    const uint64_t haloCost = 2 * static_cast<uint64_t>(radius) * w * kBytesPerPixel;
    const uint64_t bandHeight = haloCost < budgetBytes ? std::max<uint64_t>((budgetBytes - haloCost) / rowCost, 1) : 1;
    const int count = static_cast<int>((static_cast<uint64_t>(height) + bandHeight - 1) / bandHeight);
    const int base = height / count;
    const int taller = height % count;
    int rowStart = 0;
    for (int k = 0; k < count; ++k) {
        const int rows = base + (k < taller ? 1 : 0);
        if (rows == 0) continue;
        const int rowEnd = rowStart + rows;
        bands.push_back({rowStart, rowEnd, std::max(rowStart - radius, 0), std::min(rowEnd + radius, height)});
        rowStart = rowEnd;
    }
    return bands;
}

bool nlcFilterWithBudget(const float* in, float* out, int width, int height, int radius, float mean, float stddev,
                         uint64_t budgetBytes, std::string& error) {
    error.clear();
    if (radius < 1) {
        error = "NLC radius must be >= 1";
        return false;
    }
    if (width <= 0 || height <= 0) return true;
    if (!in || !out) {
        error = "NLC image pointers must not be null";
        return false;
    }
    NlcRun run(in, out, width, height, radius, mean, stddev, error);
    return run.run(planNlcBands(width, height, radius, budgetBytes));
}

} // namespace detail

bool nlcFilterGpu(const float* in, float* out, int width, int height, int radius, float mean, float stddev,
                  std::string& error) {
    if (radius < 1) {
        error = "NLC radius must be >= 1";
        return false;
    }
    return detail::nlcFilterWithBudget(in, out, width, height, radius, mean, stddev, detail::nlcMemoryBudget(),
                                       error);
}

bool applyNlcFilterGpu(std::vector<float>& image, int width, int height, int radius, std::string& error) {
    if (width > 0 && height > 0 && image.size() < static_cast<size_t>(width) * static_cast<size_t>(height)) {
        error = "NLC image holds fewer values than its dimensions";
        return false;
    }
    const auto [mean, stddev] = computeMeanStdDev(ImageSource(image.data()), width, height);
    return nlcFilterGpu(image.data(), image.data(), width, height, radius, mean, stddev, error);
}

} // namespace tavro
