// Host side of the sub-pixel refinement: input checks, the memory gate, the
// whole-image and row-strip paths, the out-of-memory fallback, cancellation and
// the route through the discontinuity-enriched engine.

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

#include "core/bspline_prefilter.h"
#include "core/device_objects.h"
#include "core/driver_support.h"
#include "core/multi_gpu_log.h"
#include "core/profile_range.h"
#include "core/rupture_subpixel.h"
#include "core/subpixel_kernel.h"
#include "core/subpixel_search.h"
#include "gpu/runtime.h"

namespace tavro {
namespace {

using detail::DeviceArray;
using detail::ProfileRange;
using detail::TextureObject;

constexpr int64_t kPointsPerLaunch = 4096;
constexpr uint64_t kFallbackBudget = uint64_t(1) << 30;
// Rows kept around a strip that is prefiltered by itself: the recursive
// filters' start-up error has decayed below float precision after them.
constexpr int kPrefilterApron = 64;
// Rows a strip keeps beyond the reach of the whole-pixel starts, for the
// refinement's own movement and the widest interpolation.
constexpr int kRefinementApron = 8;

std::atomic<bool> forcedOomUsed{false};

class Event {
public:
    Event() = default;
    ~Event() {
        if (event_) (void)cudaEventDestroy(event_);
    }
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;
    cudaEvent_t* out() { return &event_; }
    cudaEvent_t get() const { return event_; }

private:
    cudaEvent_t event_ = nullptr;
};

struct SubpixelGridGeometry {
    int32_t marginX = 0;
    int32_t marginY = 0;
    uint64_t pointCount = 0;
    uint64_t imageBytes = 0;
    uint64_t pointBytes = 0;
};

// The checks of both entries, then the geometry of the start's grid.
bool validate(const ImageSource& reference, const ImageSource& deformed, ImageSize size, const PixelSearchParams& pp,
              const SubpixelParams& params, int gridWidth, int gridHeight, const PixelDisplacementResult* start,
              SubpixelGridGeometry& geometry, std::string& error) {
    detail::SearchGrid grid;
    if (const char* message = detail::checkRefinementInputs(reference, deformed, size, pp, params, gridWidth,
                                                            gridHeight, start, grid)) {
        error = message;
        return false;
    }
    geometry.marginX = grid.marginX;
    geometry.marginY = grid.marginY;
    geometry.pointCount = grid.points();
    geometry.imageBytes = uint64_t(size.width) * uint64_t(size.height) * 4;
    geometry.pointBytes = geometry.pointCount * 4;
    return true;
}

// How a path ended: the CUDA code of the failed step, or a cancellation.
struct Outcome {
    int code = 0;
    bool cancelled = false;
};

// One call's inputs and outputs, shared by both paths.
struct SubpixelJob {
    const ImageSource& reference;
    const ImageSource& deformed;
    ImageSize size;
    const PixelSearchParams& pixelParams;
    const SubpixelParams& params;
    int gridWidth;
    int gridHeight;
    SubpixelGridGeometry geometry;
    const uint8_t* mask;
    int maskStride;
    int maskRows;
    int rowBegin;
    int rowEnd;
    bool wholeGrid;
    const float* dInitX;
    const float* dInitY;
    const SubpixelProgress& progress;
    PixelDisplacementResult& out;
    std::string& error;

    bool hasMask() const { return mask && maskStride >= 1 && maskRows >= 1; }
    uint64_t maskBytes() const { return hasMask() ? uint64_t(maskStride) * uint64_t(maskRows) : 0; }
    int outputCount() const { return params.affine ? 6 : 2; }
    int64_t windowSamples() const { return int64_t(pixelParams.windowSizeX) * pixelParams.windowSizeY; }
    bool bspline() const { return isBSplineInterpolation(params.interpolation); }
    bool reportProgress(uint64_t done) const { return !progress || progress(done, geometry.pointCount); }

    bool fail(int code, const char* step, Outcome& outcome) const {
        error = cudaErrorMessage(code, step);
        outcome.code = code;
        return false;
    }
    bool check(cudaError_t status, const char* step, Outcome& outcome) const {
        return status == cudaSuccess || fail(status, step, outcome);
    }
    bool lease(uint64_t bytes, DeviceBufferPool::Lease& lease, const char* step, Outcome& outcome) const {
        const int code = DeviceBufferPool::instance().acquire(bytes, lease);
        return code == 0 || fail(code, step, outcome);
    }
};

void copyImageRows(const ImageSource& source, int first, int end, int width, std::vector<float>& dst) {
    const size_t count = size_t(std::max(0, end - first)) * size_t(width);
    dst.resize(count);
    if (source.pixels)
        std::copy(source.pixels + size_t(first) * size_t(width), source.pixels + size_t(first) * size_t(width) + count,
                  dst.begin());
    else if (source.rowProvider)
        source.rowProvider(dst.data(), first, end);
}

// Several device threads of a multi-GPU run share one pre-sized output: only a
// size that differs is written, so that their band calls never race on it.
void prepareOutput(const SubpixelJob& job) {
    PixelDisplacementResult& out = job.out;
    if (out.gridWidth != job.gridWidth) out.gridWidth = job.gridWidth;
    if (out.gridHeight != job.gridHeight) out.gridHeight = job.gridHeight;
    const size_t count = job.geometry.pointCount;
    auto fit = [count](std::vector<float>& field) {
        if (field.size() != count) field.resize(count, 0.0f);
    };
    fit(out.dispX);
    fit(out.dispY);
    if (job.params.affine) {
        fit(out.duDx);
        fit(out.duDy);
        fit(out.dvDx);
        fit(out.dvDy);
    } else if (job.wholeGrid) {
        // Gradients of an earlier first-order call would pass for this call's.
        out.duDx.clear();
        out.duDy.clear();
        out.dvDx.clear();
        out.dvDy.clear();
    }
}

void emptyOutput(PixelDisplacementResult& out) {
    out.gridWidth = 0;
    out.gridHeight = 0;
    for (std::vector<float>* field : {&out.dispX, &out.dispY, &out.duDx, &out.duDy, &out.dvDx, &out.dvDy})
        field->clear();
}

std::vector<float>* outputField(PixelDisplacementResult& out, int index) {
    std::vector<float>* fields[] = {&out.dispX, &out.dispY, &out.duDx, &out.duDy, &out.dvDx, &out.dvDy};
    return fields[index];
}

// Where the window samples live: dynamic shared memory (raised to the opt-in
// limit when needed) or, when the kernel's own shared memory and the samples
// do not fit, a global buffer of one slice per block of a launch.
struct SharedPlan {
    size_t dynamicBytes = 0;
    bool global = false;
    int64_t pointsPerLaunch = kPointsPerLaunch;
};

// `points` bounds the points of one launch.
bool planSharedMemory(const SubpixelJob& job, bool banded, int64_t points, SharedPlan& plan,
                      DeviceBufferPool::Lease& samples, Outcome& outcome) {
    int device = 0;
    if (!job.check(cudaGetDevice(&device), banded ? "banded: cudaGetDevice" : "cudaGetDevice", outcome)) return false;
    cudaDeviceProp prop{};
    if (!job.check(cudaGetDeviceProperties(&prop, device),
                   banded ? "banded: cudaGetDeviceProperties" : "cudaGetDeviceProperties", outcome))
        return false;
    const uint64_t dynamicBytes = detail::subpixelDynamicSharedBytes(job.windowSamples());
    const uint64_t blockBytes = dynamicBytes + detail::subpixelStaticSharedBytes();
    plan.dynamicBytes = size_t(dynamicBytes);
    plan.global = false;
    plan.pointsPerLaunch = kPointsPerLaunch;
    if (blockBytes <= prop.sharedMemPerBlock) return true;
    const int wx = job.pixelParams.windowSizeX, wy = job.pixelParams.windowSizeY;
    if (prop.sharedMemPerBlockOptin > prop.sharedMemPerBlock && blockBytes <= prop.sharedMemPerBlockOptin) {
        if (detail::setSubpixelMaxDynamicShared(size_t(dynamicBytes)) == cudaSuccess) {
            if (!banded)
                std::printf("[Subpixel] Using extended shared memory: %zu bytes (window %dx%d)\n",
                            size_t(dynamicBytes), wx, wy);
            return true;
        }
        (void)cudaGetLastError();
    }
    if (!banded)
        std::printf("[Subpixel] Window size %dx%d exceeds shared memory limits. Using global memory fallback "
                    "(may be ~10-20%% slower).\n",
                    wx, wy);
    plan.global = true;
    plan.dynamicBytes = 0;
    const int code = detail::leasePerPointBuffer(dynamicBytes, points, kPointsPerLaunch, samples, plan.pointsPerLaunch);
    return code == 0 || job.fail(code, banded ? "banded: cudaMalloc samples buffer" : "cudaMalloc global samples buffer",
                                 outcome);
}

detail::SubpixelKernelArgs kernelArgs(const SubpixelJob& job) {
    detail::SubpixelKernelArgs a;
    a.maskStride = job.maskStride;
    a.maskRows = job.maskRows;
    a.width = job.size.width;
    a.height = job.size.height;
    a.windowSizeX = job.pixelParams.windowSizeX;
    a.windowSizeY = job.pixelParams.windowSizeY;
    a.stepX = job.pixelParams.stepX;
    a.stepY = job.pixelParams.stepY;
    a.gridWidth = job.gridWidth;
    a.gridHeight = job.gridHeight;
    a.marginX = job.geometry.marginX;
    a.marginY = job.geometry.marginY;
    a.params = job.params;
    a.initX = job.dInitX;
    a.initY = job.dInitY;
    return a;
}

// The kernel's outputs (the gradients' only for a first-order refinement) and samples buffer.
void setBuffers(const SubpixelJob& job, const DeviceBufferPool::Lease (&outputs)[6], const SharedPlan& plan,
                const DeviceBufferPool::Lease& samples, detail::SubpixelKernelArgs& args) {
    float** fields[] = {&args.outX, &args.outY, &args.outDuDx, &args.outDuDy, &args.outDvDx, &args.outDvDy};
    for (int i = 0; i < job.outputCount(); ++i) *fields[i] = outputs[i].as<float>();
    args.samples = plan.global ? samples.as<float>() : nullptr;
}

// Points [begin, end) of the grid in launches of at most the plan's points;
// `args` index point `indexBase` as their point 0.
bool launchPoints(const SubpixelJob& job, const detail::SubpixelKernelArgs& args, int64_t begin, int64_t end,
                  int64_t indexBase, const SharedPlan& plan, bool banded, Outcome& outcome) {
    for (int64_t first = begin; first < end; first += plan.pointsPerLaunch) {
        const int64_t last = std::min(end, first + plan.pointsPerLaunch);
        if (!job.check(detail::launchSubpixelRefine(args, first - indexBase, last - indexBase, plan.dynamicBytes),
                       banded ? "banded subpixel_refine_kernel launch" : "subpixel_refine_kernel launch", outcome))
            return false;
        if (!job.check(cudaDeviceSynchronize(),
                       banded ? "banded cudaDeviceSynchronize (subpixel)" : "cudaDeviceSynchronize", outcome))
            return false;
        if (!job.reportProgress(uint64_t(last))) {
            outcome.cancelled = true;
            return false;
        }
    }
    return true;
}

bool finishCancelledOrFailed(const SubpixelJob& job, const Outcome& outcome) {
    if (outcome.cancelled) {
        if (job.wholeGrid) emptyOutput(job.out);
        job.error.clear();
    }
    (void)cudaGetLastError();
    return false;
}

bool refineBanded(const SubpixelJob& job, uint64_t budget, Outcome& outcome) {
    const ProfileRange range("Subpixel refinement (banded)");
    const int width = job.size.width, height = job.size.height;
    // Strips reach as far as the starts can: hierarchical starts go beyond the
    // range by the escalation range, as the pixel search's strips allow.
    const int64_t stepY = job.pixelParams.stepY, halfY = job.pixelParams.windowSizeY / 2;
    const int64_t padY = detail::verticalSearchReach(job.pixelParams) + kRefinementApron;
    const int64_t marginY = job.geometry.marginY;
    const uint64_t usable = budget / 10 * 9;
    const uint64_t perRow =
        uint64_t(stepY) * uint64_t(width) * 8 + uint64_t(job.outputCount()) * uint64_t(job.gridWidth) * 4;
    const uint64_t fixed = uint64_t(std::max<int64_t>(0, 2 * (halfY + padY) - stepY + 1)) * uint64_t(width) * 8;
    int bandRows = 1;
    if (fixed < usable && (usable - fixed) / perRow != 0)
        bandRows = int(std::min<uint64_t>((usable - fixed) / perRow, uint64_t(job.gridHeight)));
    const int stripRows = int(std::clamp<int64_t>(2 * (halfY + padY) + 1 + (bandRows - 1) * stepY, 1, height));
    const uint64_t bandPoints = uint64_t(bandRows) * uint64_t(job.gridWidth);

    DeviceBufferPool::Lease refStrip, maskStrip, samples;
    DeviceBufferPool::Lease outputs[6];
    if (!job.lease(uint64_t(width) * uint64_t(stripRows) * 4, refStrip, "banded: cudaMalloc ref strip", outcome))
        return false;
    if (job.hasMask() && !job.lease(uint64_t(job.maskStride) * uint64_t(stripRows), maskStrip,
                                    "banded: cudaMalloc mask strip", outcome))
        return false;
    for (int i = 0; i < job.outputCount(); ++i)
        if (!job.lease(bandPoints * 4, outputs[i], "banded: cudaMalloc band outputs", outcome)) return false;
    DeviceArray array;
    const cudaChannelFormatDesc channel = cudaCreateChannelDesc(32, 0, 0, 0, cudaChannelFormatKindFloat);
    if (!job.check(cudaMallocArray(array.out(), &channel, size_t(width), size_t(stripRows)),
                   "banded: cudaMallocArray deformed strip", outcome))
        return false;
    TextureObject texture;
    if (!job.check(texture.create(array.get()), "banded: cudaCreateTextureObject", outcome)) return false;
    SharedPlan plan;
    if (!planSharedMemory(job, true, int64_t(bandPoints), plan, samples, outcome)) return false;

    // A whole deformed image is prefiltered once and cut into strips; a row
    // provider's strips are prefiltered one by one with an apron of rows.
    std::vector<float> deformedWhole, deformedScratch, referenceScratch;
    const bool prefilterWhole = job.bspline() && job.deformed.pixels;
    if (prefilterWhole) {
        copyImageRows(job.deformed, 0, height, width, deformedWhole);
        prefilterForInterpolation(job.params.interpolation, deformedWhole.data(), width, height);
    }

    if (!job.reportProgress(0)) {
        outcome.cancelled = true;
        return false;
    }
    const size_t rowBytes = size_t(width) * 4;
    for (int r0 = job.rowBegin; r0 < job.rowEnd; r0 += bandRows) {
        const int r1 = std::min(job.rowEnd, r0 + bandRows);
        const int s0 = int(std::max<int64_t>(0, r0 * stepY - halfY - padY + marginY));
        const int s1 = int(std::min<int64_t>(height, marginY + 1 + (r1 - 1) * stepY + halfY + padY));
        const int rows = s1 - s0;

        const float* refRows = job.reference.rows(s0, s1, width, referenceScratch);
        if (!job.check(cudaMemcpy(refStrip.get(), refRows, size_t(rows) * rowBytes, cudaMemcpyHostToDevice),
                       "banded: upload ref strip", outcome))
            return false;
        const float* defRows = nullptr;
        if (prefilterWhole) {
            defRows = deformedWhole.data() + size_t(s0) * size_t(width);
        } else if (job.bspline()) {
            const int a0 = std::max(0, s0 - kPrefilterApron), a1 = std::min(height, s1 + kPrefilterApron);
            copyImageRows(job.deformed, a0, a1, width, deformedScratch);
            prefilterForInterpolation(job.params.interpolation, deformedScratch.data(), width, a1 - a0);
            defRows = deformedScratch.data() + size_t(s0 - a0) * size_t(width);
        } else {
            defRows = job.deformed.rows(s0, s1, width, deformedScratch);
        }
        if (!job.check(cudaMemcpy2DToArray(array.get(), 0, 0, defRows, rowBytes, rowBytes, size_t(rows),
                                           cudaMemcpyHostToDevice),
                       "banded: upload deformed strip", outcome))
            return false;
        const int maskStripRows = job.hasMask() ? std::min(s1, job.maskRows) - s0 : 0;
        if (maskStripRows > 0 &&
            !job.check(cudaMemcpy(maskStrip.get(), job.mask + size_t(s0) * size_t(job.maskStride),
                                  size_t(maskStripRows) * size_t(job.maskStride), cudaMemcpyHostToDevice),
                       "banded: upload mask strip", outcome))
            return false;

        detail::SubpixelKernelArgs args = kernelArgs(job);
        const int64_t indexBase = int64_t(r0) * job.gridWidth;
        args.reference = refStrip.as<float>();
        args.texture = texture.get();
        args.mask = job.hasMask() ? maskStrip.as<uint8_t>() : nullptr;
        args.maskRows = std::max(0, maskStripRows);
        args.height = rows;
        args.marginY = int32_t(marginY - s0 + r0 * stepY);
        args.initX = job.dInitX + indexBase;
        args.initY = job.dInitY + indexBase;
        setBuffers(job, outputs, plan, samples, args);
        const int64_t end = int64_t(r1) * job.gridWidth;
        if (!launchPoints(job, args, indexBase, end, indexBase, plan, true, outcome)) return false;

        const size_t count = size_t(end - indexBase);
        for (int i = 0; i < job.outputCount(); ++i)
            if (!job.check(cudaMemcpy(outputField(job.out, i)->data() + indexBase, outputs[i].get(), count * 4,
                                      cudaMemcpyDeviceToHost),
                           "banded: cudaMemcpy band outputs", outcome))
                return false;
    }
    return true;
}

bool runSubpixelBanded(const SubpixelJob& job, uint64_t budget) {
    Outcome outcome;
    if (refineBanded(job, budget, outcome)) return true;
    return finishCancelledOrFailed(job, outcome);
}

bool refineResident(const SubpixelJob& job, Outcome& outcome) {
    const ProfileRange range("Subpixel refinement");
    if (detail::forcedResidentOom(forcedOomUsed)) {
        outcome.code = cudaErrorMemoryAllocation;
        return false;
    }
    const int width = job.size.width, height = job.size.height;
    const uint64_t pointBytes = job.geometry.pointBytes;
    DeviceBufferPool::Lease ref, mask, samples;
    DeviceBufferPool::Lease outputs[6];
    static const char* const kOutputSteps[] = {"cudaMalloc dOutX",   "cudaMalloc dOutY",   "cudaMalloc dOutDuDx",
                                               "cudaMalloc dOutDuDy", "cudaMalloc dOutDvDx", "cudaMalloc dOutDvDy"};
    if (!job.lease(job.geometry.imageBytes, ref, "cudaMalloc dRef", outcome)) return false;
    if (!job.lease(pointBytes, outputs[0], kOutputSteps[0], outcome)) return false;
    if (!job.lease(pointBytes, outputs[1], kOutputSteps[1], outcome)) return false;
    if (job.hasMask()) {
        if (!job.lease(job.maskBytes(), mask, "cudaMalloc dMask", outcome)) return false;
        if (!job.check(cudaMemcpy(mask.get(), job.mask, size_t(job.maskBytes()), cudaMemcpyHostToDevice),
                       "cudaMemcpy dMask", outcome))
            return false;
    }
    for (int i = 2; i < job.outputCount(); ++i)
        if (!job.lease(pointBytes, outputs[i], kOutputSteps[i], outcome)) return false;

    std::vector<float> scratch;
    const size_t rowBytes = size_t(width) * 4;
    const auto toReference = [&](const float* rows, int first, int end) {
        return cudaMemcpy(ref.as<float>() + size_t(first) * size_t(width), rows, size_t(end - first) * rowBytes,
                          cudaMemcpyHostToDevice);
    };
    if (!job.check(detail::uploadInBands(job.reference, width, height, scratch, toReference), "cudaMemcpy dRef", outcome))
        return false;

    DeviceArray array;
    const cudaChannelFormatDesc channel = cudaCreateChannelDesc(32, 0, 0, 0, cudaChannelFormatKindFloat);
    if (!job.check(cudaMallocArray(array.out(), &channel, size_t(width), size_t(height)),
                   "cudaMallocArray deformed", outcome))
        return false;
    if (job.bspline()) {
        copyImageRows(job.deformed, 0, height, width, scratch);
        prefilterForInterpolation(job.params.interpolation, scratch.data(), width, height);
        if (!job.check(cudaMemcpy2DToArray(array.get(), 0, 0, scratch.data(), rowBytes, rowBytes, size_t(height),
                                           cudaMemcpyHostToDevice),
                       "cudaMemcpy2DToArray deformed (prefiltered)", outcome))
            return false;
    } else {
        const auto toArray = [&](const float* rows, int first, int end) {
            return cudaMemcpy2DToArray(array.get(), 0, size_t(first), rows, rowBytes, rowBytes, size_t(end - first),
                                       cudaMemcpyHostToDevice);
        };
        if (!job.check(detail::uploadInBands(job.deformed, width, height, scratch, toArray), "cudaMemcpy2DToArray deformed",
                       outcome))
            return false;
    }
    std::vector<float>().swap(scratch);

    TextureObject texture;
    if (!job.check(texture.create(array.get()), "cudaCreateTextureObject deformedTex", outcome)) return false;
    Event start, stop;
    if (!job.check(cudaEventCreate(start.out()), "cudaEventCreate start", outcome)) return false;
    if (!job.check(cudaEventCreate(stop.out()), "cudaEventCreate stop", outcome)) return false;
    if (!job.check(cudaEventRecord(start.get()), "cudaEventRecord start", outcome)) return false;

    const int64_t begin = int64_t(job.rowBegin) * job.gridWidth, end = int64_t(job.rowEnd) * job.gridWidth;
    SharedPlan plan;
    if (!planSharedMemory(job, false, end - begin, plan, samples, outcome)) return false;
    if (!job.reportProgress(0)) {
        outcome.cancelled = true;
        return false;
    }

    detail::SubpixelKernelArgs args = kernelArgs(job);
    args.reference = ref.as<float>();
    args.texture = texture.get();
    args.mask = job.hasMask() ? mask.as<uint8_t>() : nullptr;
    setBuffers(job, outputs, plan, samples, args);
    {
        const ProfileRange kernelRange("Subpixel IC-GN kernel");
        if (!launchPoints(job, args, begin, end, 0, plan, false, outcome)) return false;
    }

    if (!job.check(cudaEventRecord(stop.get()), "cudaEventRecord stop", outcome)) return false;
    if (!job.check(cudaEventSynchronize(stop.get()), "cudaEventSynchronize stop", outcome)) return false;
    static const char* const kCopySteps[] = {"cudaMemcpy dispX", "cudaMemcpy dispY", "cudaMemcpy duDx",
                                             "cudaMemcpy duDy",  "cudaMemcpy dvDx",  "cudaMemcpy dvDy"};
    for (int i = 0; i < job.outputCount(); ++i)
        if (!job.check(cudaMemcpy(outputField(job.out, i)->data() + begin, outputs[i].as<float>() + begin,
                                  size_t(end - begin) * 4, cudaMemcpyDeviceToHost),
                       kCopySteps[i], outcome))
            return false;
    float milliseconds = 0.0f;
    if (cudaEventElapsedTime(&milliseconds, start.get(), stop.get()) != cudaSuccess) (void)cudaGetLastError();
    std::printf("[Subpixel] time on GPU = %.3f ms\n", double(milliseconds));
    return true;
}

bool runSubpixelResident(const SubpixelJob& job) {
    const MemoryBudget budget = deviceMemoryBudget();
    if (budget.bytes > 0) {
        const uint64_t footprint = job.maskBytes() + uint64_t(job.outputCount()) * job.geometry.pointBytes +
                                   2 * job.geometry.imageBytes;
        const bool banded = footprint > budget.bytes;
        detail::logMemoryGate(std::string("phase=subpixel affine=") + (job.params.affine ? "1" : "0"), footprint,
                              budget, job.rowBegin, job.rowEnd, banded);
        if (banded) return runSubpixelBanded(job, budget.bytes);
    }

    Outcome outcome;
    if (refineResident(job, outcome)) return true;
    if (outcome.code == cudaErrorMemoryAllocation && !outcome.cancelled) {
        mgpuLog("OOM_FALLBACK phase=subpixel -> banded (budget 1GiB)");
        DeviceBufferPool::instance().releaseIdle();
        job.error.clear();
        (void)cudaGetLastError();
        return runSubpixelBanded(job, kFallbackBudget);
    }
    return finishCancelledOrFailed(job, outcome);
}

// First-order refinement, then the enriched engine; progress runs over twice
// the point count, the first half for the first stage.
bool runRuptureRoute(const ImageSource& reference, const ImageSource& deformed, ImageSize size,
                     const PixelSearchParams& pixelParams, const PixelDisplacementResult& start,
                     const SubpixelParams& params, PixelDisplacementResult& out, std::string& error,
                     const SubpixelProgress& progress, const uint8_t* mask, int maskStride, int maskRows, int rowStart,
                     int rowCount, uint64_t pointCount) {
    const uint64_t total = pointCount == 0 ? 1 : 2 * pointCount;
    SubpixelParams firstOrder = params;
    firstOrder.affine = true;
    firstOrder.heaviside = false;
    SubpixelProgress firstHalf, secondHalf;
    if (progress) {
        firstHalf = [&progress, pointCount, total](uint64_t done, uint64_t innerTotal) {
            return progress(innerTotal == 0 ? 0 : std::min(done, pointCount), total);
        };
        secondHalf = [&progress, pointCount, total](uint64_t done, uint64_t innerTotal) {
            return progress(std::min(total, pointCount + std::min(done, innerTotal)), total);
        };
    }
    // The enriched engine judges a band's points by their neighbours beyond it
    // and its jump threshold by the whole grid, so every band refines the whole
    // grid: a band's rows alone left zeros beyond them, which its straddles
    // took for jumps, and the bands of a multi-device run answered apart.
    PixelDisplacementResult refined;
    if (!computeSubpixelDisplacements(reference, deformed, size, pixelParams, start, firstOrder, refined, error,
                                      firstHalf, mask, maskStride, maskRows, 0, -1))
        return false;
    return computeRuptureSubpixel(reference, deformed, size, pixelParams, refined, params, out, error, secondHalf,
                                  nullptr, rowStart, rowCount, false, false);
}

} // namespace

bool computeSubpixelDisplacements(const ImageSource& reference, const ImageSource& deformed, ImageSize size,
                                  const PixelSearchParams& pixelParams, const PixelDisplacementResult& pixel,
                                  const SubpixelParams& params, PixelDisplacementResult& out, std::string& error,
                                  SubpixelProgress progress, const uint8_t* mask, int maskStride, int maskRows,
                                  int rowStart, int rowCount) {
    (void)cudaGetLastError();
    SubpixelGridGeometry geometry;
    if (!validate(reference, deformed, size, pixelParams, params, pixel.gridWidth, pixel.gridHeight, &pixel, geometry,
                  error))
        return false;
    if (params.heaviside)
        return runRuptureRoute(reference, deformed, size, pixelParams, pixel, params, out, error, progress, mask,
                               maskStride, maskRows, rowStart, rowCount, geometry.pointCount);

    const int rowBegin = std::clamp(rowStart, 0, pixel.gridHeight);
    const int rowEnd = rowCount < 0 ? pixel.gridHeight
                                    : std::max(rowBegin, int(std::min<int64_t>(pixel.gridHeight,
                                                                               int64_t(rowBegin) + rowCount)));
    DeviceBufferPool::Lease initX, initY;
    const int64_t bytes = int64_t(geometry.pointBytes);
    int code = DeviceBufferPool::instance().acquire(uint64_t(bytes), initX);
    const char* step = "cudaMalloc dInitX";
    if (code == 0) {
        code = DeviceBufferPool::instance().acquire(uint64_t(bytes), initY);
        step = "cudaMalloc dInitY";
    }
    if (code == 0) {
        code = cudaMemcpy(initX.get(), pixel.dispX.data(), size_t(bytes), cudaMemcpyHostToDevice);
        step = "cudaMemcpy dInitX";
    }
    if (code == 0) {
        code = cudaMemcpy(initY.get(), pixel.dispY.data(), size_t(bytes), cudaMemcpyHostToDevice);
        step = "cudaMemcpy dInitY";
    }
    if (code != 0) {
        error = cudaErrorMessage(code, step);
        (void)cudaGetLastError();
        return false;
    }
    const SubpixelJob job{reference, deformed, size, pixelParams, params, pixel.gridWidth, pixel.gridHeight,
                          geometry, mask, maskStride, maskRows, rowBegin, rowEnd, rowCount < 0,
                          initX.as<float>(), initY.as<float>(), progress, out, error};
    prepareOutput(job);
    return runSubpixelResident(job);
}

bool computeSubpixelDisplacements(const ImageSource& reference, const ImageSource& deformed, ImageSize size,
                                  const PixelSearchParams& pixelParams, const DevicePixelDisplacements& pixel,
                                  const SubpixelParams& params, PixelDisplacementResult& out, std::string& error,
                                  SubpixelProgress progress, const uint8_t* mask, int maskStride, int maskRows) {
    (void)cudaGetLastError();
    SubpixelGridGeometry geometry;
    if (!validate(reference, deformed, size, pixelParams, params, pixel.gridWidth, pixel.gridHeight, nullptr, geometry,
                  error))
        return false;
    if (!pixel.dDispX || !pixel.dDispY) {
        error = "Pixel-accuracy results on GPU unavailable.";
        return false;
    }
    if (params.heaviside) {
        PixelDisplacementResult start;
        start.gridWidth = pixel.gridWidth;
        start.gridHeight = pixel.gridHeight;
        start.dispX.resize(geometry.pointCount);
        start.dispY.resize(geometry.pointCount);
        const size_t bytes = size_t(geometry.pointBytes);
        cudaError_t status = cudaMemcpy(start.dispX.data(), pixel.dDispX, bytes, cudaMemcpyDeviceToHost);
        const char* step = "cudaMemcpy rupture dispX";
        if (status == cudaSuccess) {
            status = cudaMemcpy(start.dispY.data(), pixel.dDispY, bytes, cudaMemcpyDeviceToHost);
            step = "cudaMemcpy rupture dispY";
        }
        if (status != cudaSuccess) {
            error = cudaErrorMessage(status, step);
            (void)cudaGetLastError();
            return false;
        }
        return runRuptureRoute(reference, deformed, size, pixelParams, start, params, out, error, progress, mask,
                               maskStride, maskRows, 0, -1, geometry.pointCount);
    }
    const SubpixelJob job{reference, deformed, size, pixelParams, params, pixel.gridWidth, pixel.gridHeight,
                          geometry, mask, maskStride, maskRows, 0, pixel.gridHeight, true,
                          pixel.dDispX, pixel.dDispY, progress, out, error};
    prepareOutput(job);
    return runSubpixelResident(job);
}

} // namespace tavro
