#include "core/pixel_search.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <utility>

#include "core/driver_support.h"
#include "core/fft_zncc.h"
#include "core/multi_gpu_log.h"
#include "core/profile_range.h"
#include "gpu/runtime.h"

namespace tavro {
namespace {

using detail::ProfileRange;

// Allowance for the FFT work buffers in the whole-image footprint.
constexpr uint64_t kFftAllowance = 805306368;
constexpr uint64_t kFallbackBudget = 1073741824;
constexpr uint64_t kMaxBatchBudget = 1610612736;
constexpr double kCoarseShare = 0.15;
constexpr float kLowConfidence = 0.5f;

std::atomic<bool> forcedOomUsed{false};

struct Grid {
    SearchConfig config;
    int width = 0;
    int height = 0;
    uint64_t points() const { return uint64_t(width) * uint64_t(height); }
};

bool validate(const ImageSource& ref, const ImageSource& def, ImageSize size, const PixelSearchParams& p, Grid& grid,
              std::string& error) {
    detail::SearchGrid searchGrid;
    const char* message = detail::checkSearchInputs(ref, def, size, p);
    if (!message) message = detail::searchGrid(size, p, searchGrid);
    if (message) {
        error = message;
        return false;
    }
    grid.config.halfWindowX = p.windowSizeX / 2;
    grid.config.halfWindowY = p.windowSizeY / 2;
    grid.config.marginX = searchGrid.marginX;
    grid.config.marginY = searchGrid.marginY;
    grid.config.windowArea = p.windowSizeX * p.windowSizeY;
    grid.width = searchGrid.width;
    grid.height = searchGrid.height;
    return true;
}

// Everything one search (the fine pass after a coarse one) works with.
struct Search {
    const ImageSource& ref;
    const ImageSource& def;
    ImageSize size;
    const PixelSearchParams& params;
    const PixelSearchParams* fullParams;  // the caller's, when a coarse pass ran
    const Grid& grid;
    int rowBegin;
    int rowEnd;
    bool partial;
    const uint8_t* mask;
    int maskStride;
    int maskRows;
    const int* initX;
    const int* initY;
    PixelDisplacementResult* hostOut;
    DevicePixelDisplacements* deviceOut;
    std::string& error;
    const SearchProgress& progress;

    uint64_t imageBytes() const { return uint64_t(size.width) * uint64_t(size.height) * sizeof(float); }
    uint64_t fieldBytes() const { return grid.points() * sizeof(float); }
    bool hasMask() const { return mask != nullptr && maskStride >= 1 && maskRows >= 1; }
    uint64_t maskBytes() const {
        return mask ? uint64_t(std::max(0, maskStride)) * uint64_t(std::max(0, maskRows)) : 0;
    }
    int64_t firstPoint() const { return int64_t{rowBegin} * grid.width; }
    int64_t endPoint() const { return int64_t{rowEnd} * grid.width; }
};

struct Outcome {
    bool cancelled = false;
    bool outOfMemory = false;
};

void discardOutput(PixelDisplacementResult* hostOut, DevicePixelDisplacements* deviceOut, bool partial) {
    if (hostOut && !partial) {
        hostOut->gridWidth = 0;
        hostOut->gridHeight = 0;
        hostOut->dispX.clear();
        hostOut->dispY.clear();
    }
    if (deviceOut) deviceOut->reset();
}

// Copies a whole image to device memory.
cudaError_t upload(const ImageSource& source, int width, int height, float* dst, std::vector<float>& scratch) {
    return detail::uploadInBands(source, width, height, scratch, [&](const float* rows, int first, int end) {
        return cudaMemcpy(dst + size_t(first) * size_t(width), rows, size_t(end - first) * size_t(width) * sizeof(float),
                          cudaMemcpyHostToDevice);
    });
}

// Host copies of the guided search's results for points [first, end) decide
// which of them get a full search over the caller's range; device fields and
// guesses are indexed from the point at config's margins.
void escalate(const float* dRef, const float* dDef, ImageSize size, const PixelSearchParams& params,
              const PixelSearchParams& fullParams, const SearchConfig& config, int gridWidth, int64_t first,
              int64_t end, const int* initX, const int* initY, float* dDispX, float* dDispY,
              const float* dConfidence) {
    const size_t count = size_t(end), bytes = count * sizeof(float);
    std::vector<float> dispX(count), dispY(count), confidence(count);
    if (cudaMemcpy(dispX.data(), dDispX, bytes, cudaMemcpyDeviceToHost) != cudaSuccess ||
        cudaMemcpy(dispY.data(), dDispY, bytes, cudaMemcpyDeviceToHost) != cudaSuccess ||
        cudaMemcpy(confidence.data(), dConfidence, bytes, cudaMemcpyDeviceToHost) != cudaSuccess) {
        (void)cudaGetLastError();
        return;
    }
    const detail::EscalatedPoints list = detail::escalatedPoints(dispX.data(), dispY.data(), confidence.data(), initX,
                                                                 initY, first, end, gridWidth, params, config);
    (void)runEscalatedFFTSearch(dRef, dDef, size, fullParams, config, list.indices, list.xs, list.ys, dDispX, dDispY);
}

bool residentSearch(const Search& s, Outcome& outcome) {
    const ProfileRange range("Pixel search");
    if (detail::forcedResidentOom(forcedOomUsed)) {
        outcome.outOfMemory = true;
        return false;
    }
    const auto step = [&](cudaError_t code, const char* label) {
        if (code == cudaSuccess) return true;
        s.error = cudaErrorMessage(code, label);
        if (code == cudaErrorMemoryAllocation) outcome.outOfMemory = true;
        return false;
    };
    const auto lease = [&](DeviceBufferPool::Lease& target, uint64_t bytes, const char* label) {
        return step(static_cast<cudaError_t>(DeviceBufferPool::instance().acquire(bytes, target)), label);
    };
    DeviceBufferPool::Lease dRef, dDef, dDispX, dDispY, dMask, dInitX, dInitY, dConfidence;
    const uint64_t fieldBytes = s.fieldBytes();
    if (!lease(dRef, s.imageBytes(), "cudaMalloc dRef") || !lease(dDef, s.imageBytes(), "cudaMalloc dDef") ||
        !lease(dDispX, fieldBytes, "cudaMalloc dDispX") || !lease(dDispY, fieldBytes, "cudaMalloc dDispY"))
        return false;
    if (s.hasMask() && (!lease(dMask, s.maskBytes(), "cudaMalloc dMask") ||
                        !step(cudaMemcpy(dMask.get(), s.mask, size_t(s.maskBytes()), cudaMemcpyHostToDevice),
                              "cudaMemcpy dMask")))
        return false;
    const bool guided = s.initX && s.initY;
    if (guided &&
        (!lease(dInitX, fieldBytes, "cudaMalloc dInitX") || !lease(dInitY, fieldBytes, "cudaMalloc dInitY") ||
         !step(cudaMemcpy(dInitX.get(), s.initX, size_t(fieldBytes), cudaMemcpyHostToDevice), "cudaMemcpy dInitX") ||
         !step(cudaMemcpy(dInitY.get(), s.initY, size_t(fieldBytes), cudaMemcpyHostToDevice), "cudaMemcpy dInitY") ||
         !lease(dConfidence, fieldBytes, "cudaMalloc dConfidence")))
        return false;
    if (s.progress && !s.progress(0, s.grid.points())) {
        outcome.cancelled = true;
        return false;
    }

    std::vector<float> scratch;
    const int width = s.size.width, height = s.size.height;
    if (!step(upload(s.ref, width, height, dRef.as<float>(), scratch), "cudaMemcpy dRef") ||
        !step(upload(s.def, width, height, dDef.as<float>(), scratch), "cudaMemcpy dDef"))
        return false;
    std::vector<float>().swap(scratch);

    const float* ref = dRef.as<float>();
    const float* def = dDef.as<float>();
    float* dispX = dDispX.as<float>();
    float* dispY = dDispY.as<float>();
    if (!runFFTPixelSearch(ref, def, dMask.as<uint8_t>(), s.maskStride, s.maskRows, s.size, s.params,
                           s.grid.config, s.grid.width, s.grid.height, s.grid.points(), dispX, dispY, s.error,
                           s.progress, &outcome.cancelled, s.firstPoint(), s.endPoint(), dInitX.as<int>(),
                           dInitY.as<int>(), nullptr, nullptr, dConfidence.as<float>(), 0))
        return false;
    if (guided && s.fullParams)
        escalate(ref, def, s.size, s.params, *s.fullParams, s.grid.config, s.grid.width, s.firstPoint(), s.endPoint(),
                 s.initX, s.initY, dispX, dispY, dConfidence.as<float>());

    if (s.hostOut) {
        const size_t first = size_t(s.firstPoint()), bytes = size_t(s.endPoint() - s.firstPoint()) * sizeof(float);
        return step(cudaMemcpy(s.hostOut->dispX.data() + first, dispX + first, bytes, cudaMemcpyDeviceToHost),
                    "cudaMemcpy dispX") &&
               step(cudaMemcpy(s.hostOut->dispY.data() + first, dispY + first, bytes, cudaMemcpyDeviceToHost),
                    "cudaMemcpy dispY");
    }
    s.deviceOut->dDispX = dispX;
    s.deviceOut->dDispY = dispY;
    s.deviceOut->leaseX = std::move(dDispX);
    s.deviceOut->leaseY = std::move(dDispY);
    return true;
}

bool runBanded(const Search& s, uint64_t budget) {
    return runBandedFFTPixelSearch(s.ref, s.def, s.size, s.params, s.grid.width, s.grid.height, s.grid.config,
                                   s.rowBegin, s.rowEnd, s.grid.points(), s.fieldBytes(), s.hostOut, s.deviceOut,
                                   s.error, s.progress, budget, s.partial, s.initX, s.initY, s.fullParams);
}

bool runResident(const Search& s) {
    Outcome outcome;
    if (residentSearch(s, outcome)) return true;
    if (outcome.outOfMemory && !outcome.cancelled) {
        mgpuLog("OOM_FALLBACK phase=pixel -> banded (budget 1GiB)");
        DeviceBufferPool::instance().releaseIdle();
        s.error.clear();
        (void)cudaGetLastError();
        return runBanded(s, kFallbackBudget);
    }
    discardOutput(s.hostOut, s.deviceOut, s.partial);
    if (!outcome.cancelled && s.error.empty())
        s.error = "Pixel search failed (out of memory or invalid configuration).";
    (void)cudaGetLastError();
    return false;
}

bool gateAndSearch(const Search& s) {
    const MemoryBudget budget = deviceMemoryBudget();
    if (budget.bytes == 0) return runResident(s);
    const uint64_t footprint = s.maskBytes() + 2 * (s.imageBytes() + kFftAllowance + s.fieldBytes());
    const bool banded = footprint > budget.bytes;
    detail::logMemoryGate("phase=pixel fft=1", footprint, budget, s.rowBegin, s.rowEnd, banded);
    return banded ? runBanded(s, budget.bytes) : runResident(s);
}

bool computePixelDisplacementsImpl(const ImageSource& ref, const ImageSource& def, ImageSize size,
                                   const PixelSearchParams& params, const uint8_t* mask, int maskStride, int maskRows,
                                   PixelDisplacementResult* hostOut, DevicePixelDisplacements* deviceOut,
                                   std::string& error, const SearchProgress& progress, int rowStart, int rowCount) {
    (void)cudaGetLastError();
    Grid grid;
    if (!validate(ref, def, size, params, grid, error)) return false;
    const int rowBegin = std::clamp(rowStart, 0, grid.height);
    const int rowEnd = rowCount < 0 ? grid.height
                                    : static_cast<int>(std::max<int64_t>(
                                          rowBegin, std::min<int64_t>(grid.height, int64_t{rowBegin} + rowCount)));
    const bool partial = rowCount >= 0;
    const uint64_t points = grid.points();

    PixelSearchParams fineParams = params;
    std::vector<int32_t> initX, initY;
    SearchProgress fineProgress;
    if (params.hierarchical) {
        const int coarseStep = detail::coarseStep(params);
        PixelSearchParams coarseParams = params;
        coarseParams.stepX = coarseParams.stepY = coarseStep;
        coarseParams.hierarchical = false;
        SearchProgress coarseProgress;
        if (progress)
            coarseProgress = [&progress, points](uint64_t done, uint64_t total) {
                const double fraction = total == 0 ? 1.0 : double(done) / double(total);
                return progress(uint64_t(fraction * kCoarseShare * double(points)), points);
            };
        PixelDisplacementResult coarse;
        std::string coarseError;
        if (!computePixelDisplacementsImpl(ref, def, size, coarseParams, mask, maskStride, maskRows, &coarse, nullptr,
                                           coarseError, coarseProgress, 0, -1)) {
            error = "Hierarchical coarse pass failed: " + coarseError;
            if (deviceOut) deviceOut->reset();
            return false;
        }
        // Beyond the image's larger side a wider range finds nothing more, and
        // its search areas would outgrow every buffer.
        const int range = int(std::min<int64_t>(detail::escalationRange(params), std::max(size.width, size.height)));
        detail::coarseGuesses(coarse, grid.width, grid.height, params.stepX, params.stepY, coarseStep, initX, initY);
        fineParams.maxU = fineParams.maxV = range;
        fineParams.searchUp = fineParams.searchDown = fineParams.searchLeft = fineParams.searchRight = range;
        fineParams.hierarchical = false;
        if (progress)
            fineProgress = [&progress, points](uint64_t done, uint64_t) {
                const double fraction = points == 0 ? 1.0 : double(done) / double(points);
                return progress(uint64_t((kCoarseShare + (1.0 - kCoarseShare) * fraction) * double(points)), points);
            };
    }

    if (hostOut) {
        // Device threads of a multi-GPU run share one pre-sized output: writing
        // the header only when it differs keeps them from racing on it.
        if (hostOut->gridWidth != grid.width) hostOut->gridWidth = grid.width;
        if (hostOut->gridHeight != grid.height) hostOut->gridHeight = grid.height;
        const bool keep = partial && hostOut->dispX.size() == points && hostOut->dispY.size() == points;
        if (!keep) {
            hostOut->dispX.assign(size_t(points), 0.0f);
            hostOut->dispY.assign(size_t(points), 0.0f);
        }
    } else {
        deviceOut->reset();
        deviceOut->gridWidth = grid.width;
        deviceOut->gridHeight = grid.height;
    }

    const bool guided = params.hierarchical;
    const Search search{ref,
                        def,
                        size,
                        fineParams,
                        guided ? &params : nullptr,
                        grid,
                        rowBegin,
                        rowEnd,
                        partial,
                        mask,
                        maskStride,
                        maskRows,
                        guided ? initX.data() : nullptr,
                        guided ? initY.data() : nullptr,
                        hostOut,
                        deviceOut,
                        error,
                        guided ? fineProgress : progress};
    return gateAndSearch(search);
}

} // namespace

namespace detail {

int coarseStep(const PixelSearchParams& p) {
    return p.coarseStep > 0 ? p.coarseStep : std::max(p.windowSizeX, p.windowSizeY);
}

int escalationRange(const PixelSearchParams& p) {
    return p.escalationSearchRange > 0 ? p.escalationSearchRange : std::max(coarseStep(p), 15);
}

int64_t verticalSearchReach(const PixelSearchParams& p) {
    return int64_t{p.maxU} + (p.hierarchical ? int64_t{escalationRange(p)} : 0);
}

void coarseGuesses(const PixelDisplacementResult& coarse, int gridWidth, int gridHeight, int stepX, int stepY,
                   int coarseStep, std::vector<int32_t>& initX, std::vector<int32_t>& initY) {
    const size_t points = size_t(gridWidth) * size_t(gridHeight);
    initX.assign(points, 0);
    initY.assign(points, 0);
    const int cw = coarse.gridWidth, ch = coarse.gridHeight;
    if (cw < 1 || ch < 1) return;
    const auto at = [cw](const std::vector<float>& field, int x, int y) {
        return double(field[size_t(y) * size_t(cw) + size_t(x)]);
    };
    for (int gy = 0; gy < gridHeight; ++gy) {
        const double cy = std::clamp(double(gy) * stepY / coarseStep, 0.0, double(ch - 1));
        const int y0 = static_cast<int>(std::floor(cy)), y1 = std::min(y0 + 1, ch - 1);
        const double fy = cy - y0;
        for (int gx = 0; gx < gridWidth; ++gx) {
            const double cx = std::clamp(double(gx) * stepX / coarseStep, 0.0, double(cw - 1));
            const int x0 = static_cast<int>(std::floor(cx)), x1 = std::min(x0 + 1, cw - 1);
            const double fx = cx - x0;
            const auto blend = [&](const std::vector<float>& d) {
                return (at(d, x1, y1) * fx + at(d, x0, y1) * (1.0 - fx)) * fy +
                       (at(d, x1, y0) * fx + at(d, x0, y0) * (1.0 - fx)) * (1.0 - fy);
            };
            const size_t i = size_t(gy) * size_t(gridWidth) + size_t(gx);
            initX[i] = static_cast<int32_t>(std::round(blend(coarse.dispX)));
            initY[i] = static_cast<int32_t>(std::round(blend(coarse.dispY)));
        }
    }
}

EscalatedPoints escalatedPoints(const float* dispX, const float* dispY, const float* confidence, const int* initX,
                                const int* initY, int64_t first, int64_t end, int gridWidth,
                                const PixelSearchParams& fineParams, const SearchConfig& config) {
    EscalatedPoints list;
    for (int64_t i = first; i < end; ++i) {
        // A NaN difference or score compares false and does not escalate.
        const bool escalate = std::fabs(dispX[i] - float(initX[i])) >= float(fineParams.maxV) ||
                              std::fabs(dispY[i] - float(initY[i])) >= float(fineParams.maxU) ||
                              confidence[i] < kLowConfidence;
        if (!escalate) continue;
        list.indices.push_back(i);
        list.xs.push_back(config.marginX + static_cast<int32_t>(i % gridWidth) * fineParams.stepX);
        list.ys.push_back(config.marginY + static_cast<int32_t>(i / gridWidth) * fineParams.stepY);
    }
    return list;
}

} // namespace detail

bool runBandedFFTPixelSearch(const ImageSource& ref, const ImageSource& def, ImageSize size,
                             const PixelSearchParams& params, int gridWidth, int gridHeight, const SearchConfig& config,
                             int rowBegin, int rowEnd, uint64_t totalPoints, uint64_t fieldBytes,
                             PixelDisplacementResult* hostOut, DevicePixelDisplacements* deviceOut, std::string& error,
                             const SearchProgress& progress, uint64_t budget, bool partial, const int* initX,
                             const int* initY, const PixelSearchParams* fullParams) {
    const ProfileRange range("FFT pixel search (banded)");
    const int width = size.width, height = size.height;
    const uint64_t reserve = deviceOut ? 2 * fieldBytes : 0;
    const uint64_t available = budget > reserve ? budget - reserve : 0;
    const uint64_t batchBudget = std::min(available * 3 / 5, kMaxBatchBudget);

    // After a coarse pass the fine search is centred on guesses up to the caller's maxU away and reaches the
    // escalation range (the fine maxU) beyond them: a strip must hold both or bands would differ from the whole image.
    const int64_t reachY = fullParams ? int64_t{fullParams->maxU} + params.maxU : int64_t{params.maxU};
    const int64_t halfWindowY = config.halfWindowY, stepY = params.stepY;
    const uint64_t rest = available - batchBudget;
    const uint64_t perBandRow =
        uint64_t(std::max<int64_t>(stepY, 1)) * uint64_t(width) * 8 + (hostOut ? 12 : 4) * uint64_t(gridWidth);
    const uint64_t fixed = uint64_t(std::max<int64_t>(2 * (halfWindowY + reachY) - stepY + 1, 0)) * uint64_t(width) * 8;
    int bandRows = 1;
    if (rest > fixed && perBandRow > 0)
        bandRows = static_cast<int>(std::clamp<uint64_t>((rest - fixed) / perBandRow, 1, uint64_t(gridHeight)));
    const int64_t stripRows = std::max<int64_t>(
        1, std::min<int64_t>(2 * (reachY + halfWindowY) + 1 + int64_t{bandRows - 1} * stepY, height));

    const auto fail = [&](int code, const char* label) {
        error = cudaErrorMessage(code, label);
        (void)cudaGetLastError();
        return false;
    };
    const auto copied = [&](cudaError_t code, const char* label) { return code == cudaSuccess || fail(code, label); };
    auto& pool = DeviceBufferPool::instance();
    const auto lease = [&](DeviceBufferPool::Lease& target, uint64_t bytes, const char* label) {
        const int code = pool.acquire(bytes, target);
        return code == 0 || fail(code, label);
    };
    const uint64_t stripBytes = uint64_t(width) * uint64_t(stripRows) * sizeof(float);
    const uint64_t bandBytes = uint64_t(bandRows) * uint64_t(gridWidth) * sizeof(float);
    const bool guided = initX && initY;
    DeviceBufferPool::Lease refStrip, defStrip, dDispX, dDispY, bandX, bandY, bandInitX, bandInitY, bandConfidence;
    if (!lease(refStrip, stripBytes, "banded FFT: cudaMalloc ref strip") ||
        !lease(defStrip, stripBytes, "banded FFT: cudaMalloc def strip"))
        return false;
    if (deviceOut && (!lease(dDispX, fieldBytes, "banded FFT: cudaMalloc dDispX") ||
                      !lease(dDispY, fieldBytes, "banded FFT: cudaMalloc dDispY")))
        return false;
    if (hostOut && (!lease(bandX, bandBytes, "banded FFT: cudaMalloc band dispX") ||
                    !lease(bandY, bandBytes, "banded FFT: cudaMalloc band dispY")))
        return false;
    if (guided && (!lease(bandInitX, bandBytes, "banded FFT: cudaMalloc band initX") ||
                   !lease(bandInitY, bandBytes, "banded FFT: cudaMalloc band initY")))
        return false;
    if (fullParams && !lease(bandConfidence, bandBytes, "banded FFT: cudaMalloc band confidence")) return false;

    std::vector<float> scratch;
    for (int b0 = rowBegin; b0 < rowEnd; b0 += bandRows) {
        const int b1 = std::min(b0 + bandRows, rowEnd);
        const int64_t firstRow = std::max<int64_t>(0, b0 * stepY + config.marginY - reachY - halfWindowY);
        const int64_t endRow =
            std::min<int64_t>(height, (b1 - 1) * stepY + config.marginY + reachY + halfWindowY + 1);
        const int stripCount = static_cast<int>(endRow - firstRow);
        const size_t stripUpload = size_t(stripCount) * size_t(width) * sizeof(float);
        const int first = static_cast<int>(firstRow), end = static_cast<int>(endRow);
        if (!copied(cudaMemcpy(refStrip.get(), ref.rows(first, end, width, scratch), stripUpload,
                               cudaMemcpyHostToDevice),
                    "banded FFT: upload ref strip") ||
            !copied(cudaMemcpy(defStrip.get(), def.rows(first, end, width, scratch), stripUpload,
                               cudaMemcpyHostToDevice),
                    "banded FFT: upload def strip"))
            return false;

        SearchConfig bandConfig = config;
        bandConfig.marginY = static_cast<int32_t>(b0 * stepY + config.marginY - firstRow);
        const int64_t bandStart = int64_t{b0} * gridWidth, bandPoints = int64_t{b1 - b0} * gridWidth;
        const size_t bandUpload = size_t(bandPoints) * sizeof(int32_t);
        if (guided && (!copied(cudaMemcpy(bandInitX.get(), initX + bandStart, bandUpload, cudaMemcpyHostToDevice),
                               "banded FFT: upload band initX") ||
                       !copied(cudaMemcpy(bandInitY.get(), initY + bandStart, bandUpload, cudaMemcpyHostToDevice),
                               "banded FFT: upload band initY")))
            return false;
        float* outX = hostOut ? bandX.as<float>() : dDispX.as<float>() + bandStart;
        float* outY = hostOut ? bandY.as<float>() : dDispY.as<float>() + bandStart;
        SearchProgress bandProgress;
        if (progress)
            bandProgress = [&progress, bandStart, totalPoints](uint64_t done, uint64_t) {
                return progress(std::min(uint64_t(bandStart) + done, totalPoints), totalPoints);
            };
        const ImageSize stripSize{width, stripCount};
        bool cancelled = false;
        if (!runFFTPixelSearch(refStrip.as<float>(), defStrip.as<float>(), nullptr, 0, 0, stripSize, params,
                               bandConfig, gridWidth, b1 - b0, uint64_t(bandPoints), outX, outY, error, bandProgress,
                               &cancelled, 0, bandPoints, bandInitX.as<int>(), bandInitY.as<int>(), nullptr, nullptr,
                               bandConfidence.as<float>(), batchBudget)) {
            if (cancelled) discardOutput(hostOut, deviceOut, partial);
            return false;
        }
        if (fullParams && guided)
            escalate(refStrip.as<float>(), defStrip.as<float>(), stripSize, params, *fullParams, bandConfig, gridWidth,
                     0, bandPoints, initX + bandStart, initY + bandStart, outX, outY, bandConfidence.as<float>());
        if (hostOut) {
            const size_t bytes = size_t(bandPoints) * sizeof(float);
            if (!copied(cudaMemcpy(hostOut->dispX.data() + bandStart, outX, bytes, cudaMemcpyDeviceToHost),
                        "banded FFT: cudaMemcpy band dispX") ||
                !copied(cudaMemcpy(hostOut->dispY.data() + bandStart, outY, bytes, cudaMemcpyDeviceToHost),
                        "banded FFT: cudaMemcpy band dispY"))
                return false;
        }
    }
    if (deviceOut) {
        deviceOut->dDispX = dDispX.as<float>();
        deviceOut->dDispY = dDispY.as<float>();
        deviceOut->leaseX = std::move(dDispX);
        deviceOut->leaseY = std::move(dDispY);
    }
    return true;
}

bool computePixelDisplacements(const ImageSource& ref, const ImageSource& def, ImageSize size,
                               const PixelSearchParams& params, PixelDisplacementResult& out, std::string& error,
                               SearchProgress progress, const uint8_t* mask, int maskStride, int maskRows,
                               int rowStart, int rowCount) {
    return computePixelDisplacementsImpl(ref, def, size, params, mask, maskStride, maskRows, &out, nullptr, error,
                                         progress, rowStart, rowCount);
}

bool computePixelDisplacementsToDevice(const ImageSource& ref, const ImageSource& def, ImageSize size,
                                       const PixelSearchParams& params, DevicePixelDisplacements* out,
                                       std::string& error, SearchProgress progress, const uint8_t* mask,
                                       int maskStride, int maskRows) {
    if (!out) {
        error = "Pixel search failed (out of memory or invalid configuration).";
        return false;
    }
    return computePixelDisplacementsImpl(ref, def, size, params, mask, maskStride, maskRows, nullptr, out, error,
                                         progress, 0, -1);
}

} // namespace tavro
