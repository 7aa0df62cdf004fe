#include "core/multi_gpu.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cmath>
#include <exception>
#include <numeric>
#include <utility>

#include "core/driver_support.h"
#include "core/multi_gpu_log.h"
#include "core/rupture_subpixel.h"
#include "core/subpixel_search.h"
#include "gpu/runtime_base.h"

namespace tavro {
namespace {

// Shared by reference between the orchestrator and its device threads for one run.
struct RunState {
    std::mutex errorMutex;
    std::atomic<bool> failed{false};
    std::string firstError;
    int32_t gridWidth = 0;
    std::atomic<uint64_t> done{0};
    std::mutex progressMutex;
    uint64_t total = 0;
    // Set when the run is given up because a device thread could not start:
    // the bands already running then stop as they stop on cancellation.
    std::atomic<bool> abandoned{false};
    // The first device whose failure could not be written down, or -1.
    std::atomic<int> unreportedDevice{-1};
};

// Runs grid rows [rowStart, rowStart + rowCount) on the calling thread's current device.
using BandEngine =
    std::function<bool(int rowStart, int rowCount, std::string& error, const MultiGpuProgress& progress)>;

struct RunPlan {
    std::vector<GpuInfo> devices;
    int32_t gridWidth = 0;
    int32_t gridHeight = 0;
    std::string runStartLine;
    bool runStartBeforePartition = false;
    std::function<void()> sizeOutput;
    BandEngine engine;
};

std::mutex starterMutex;
detail::DeviceThreadStarter& threadStarter() {
    static detail::DeviceThreadStarter starter;
    return starter;
}

// Fixed notation with six decimals whatever the C locale (a Qt application sets the user's).
std::string fixed6(double value) {
    char buffer[400];
    const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 6);
    return ec == std::errc() ? std::string(buffer, end) : std::string("nan");
}

void recordFailure(RunState& run, int deviceId, const std::string& reason) {
    std::string message = "GPU " + std::to_string(deviceId) + ": " + reason;
    std::lock_guard lock(run.errorMutex);
    if (!run.failed.exchange(true)) run.firstError = std::move(message);
}

// A failure whose report could not be written (memory ran out while writing
// it) is told by the orchestrator from this device number.
void recordFailureQuietly(RunState& run, int deviceId, const char* reason) noexcept {
    try {
        mgpuLog("THREAD_END dev=" + std::to_string(deviceId) + " success=0 exception=" + reason);
        recordFailure(run, deviceId, reason);
    } catch (...) {
        int none = -1;
        run.unreportedDevice.compare_exchange_strong(none, deviceId);
        run.failed.store(true);
    }
}

void runBandOnDevice(int deviceId, int rowStart, int rowCount, RunState& run, const BandEngine& engine,
                     const MultiGpuProgress& caller) {
    const std::string dev = std::to_string(deviceId);
    const cudaError_t set = cudaSetDevice(deviceId);
    if (set != cudaSuccess) {
        (void)cudaGetLastError();
        const std::string name = cudaErrorNameOrFallback(set);
        mgpuLog("SET_DEVICE dev=" + dev + " result=" + name);
        recordFailure(run, deviceId,
                      name + " - " + cudaErrorDescription(set) +
                          " (at cudaSetDevice; may be a deferred error from a prior allocation)");
        return;
    }
    size_t freeBytes = 0, totalBytes = 0;
    if (cudaMemGetInfo(&freeBytes, &totalBytes) == cudaSuccess)
        mgpuLog("MEM dev=" + dev + " freeMB=" + std::to_string(freeBytes >> 20) +
                " totalMB=" + std::to_string(totalBytes >> 20));
    else
        (void)cudaGetLastError();

    // A band engine counts done from the band's first grid point, so only
    // what it adds beyond that belongs to this device.
    uint64_t lastSeen = uint64_t(run.gridWidth) * uint64_t(rowStart);
    const MultiGpuProgress adapter = [&run, &caller, &lastSeen](uint64_t done, uint64_t) {
        if (done > lastSeen) {
            run.done.fetch_add(done - lastSeen);
            lastSeen = done;
        }
        if (run.abandoned.load()) return false;
        if (!caller) return true;
        std::lock_guard lock(run.progressMutex);
        return caller(std::min(run.done.load(), run.total), run.total);
    };

    std::string error;
    const auto start = std::chrono::steady_clock::now();
    const bool ok = engine(rowStart, rowCount, error, adapter);
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    if (!ok) {
        mgpuLog("THREAD_END dev=" + dev + " success=0 err=" + error);
        recordFailure(run, deviceId, error);
        return;
    }
    const uint64_t points = uint64_t(run.gridWidth) * uint64_t(rowCount);
    mgpuLog("PHASE_TIMING dev=" + dev + " ms=" + fixed6(elapsed.count() * 1000.0) +
            " points=" + std::to_string(points));
    if (elapsed.count() > 0) recordDeviceThroughput(deviceId, double(points) / elapsed.count());
    mgpuLog("THREAD_END dev=" + dev + " success=1");
}

// No exception leaves a device thread: every outcome becomes a log line and,
// for a failure, possibly the run's first error.
void deviceThread(int deviceId, int rowStart, int rowCount, RunState& run, const BandEngine& engine,
                  const MultiGpuProgress& caller) noexcept {
    try {
        mgpuLog("THREAD_BEGIN dev=" + std::to_string(deviceId) + " rowStart=" + std::to_string(rowStart) +
                " rowCount=" + std::to_string(rowCount));
        if (rowCount <= 0) return;
        runBandOnDevice(deviceId, rowStart, rowCount, run, engine, caller);
    } catch (const std::exception& e) {
        recordFailureQuietly(run, deviceId, e.what());
    } catch (...) {
        recordFailureQuietly(run, deviceId, "unknown exception");
    }
}

class WorkerCountScope {
public:
    explicit WorkerCountScope(int workers) { setGpuWorkerCount(workers); }
    ~WorkerCountScope() { setGpuWorkerCount(1); }
    WorkerCountScope(const WorkerCountScope&) = delete;
    WorkerCountScope& operator=(const WorkerCountScope&) = delete;
};

bool runOnDevices(const RunPlan& plan, const MultiGpuProgress& progress, std::string& error) {
    const size_t n = plan.devices.size();
    if (plan.runStartBeforePartition) mgpuLog(plan.runStartLine);
    const std::vector<double> weights = computeDeviceWeights(plan.devices);
    const std::vector<int> bounds = partitionRows(plan.gridHeight, weights);
    for (size_t i = 0; i < n; ++i)
        mgpuLog("PARTITION dev=" + std::to_string(plan.devices[i].deviceId) + " weight=" + fixed6(weights[i]) +
                " rowStart=" + std::to_string(bounds[i]) + " rowCount=" + std::to_string(bounds[i + 1] - bounds[i]) +
                " gridH=" + std::to_string(plan.gridHeight));
    plan.sizeOutput();
    if (!plan.runStartBeforePartition) mgpuLog(plan.runStartLine);

    RunState run;
    run.gridWidth = plan.gridWidth;
    run.total = uint64_t(plan.gridWidth) * uint64_t(plan.gridHeight);

    detail::DeviceThreadStarter starter;
    {
        std::lock_guard lock(starterMutex);
        starter = threadStarter();
    }
    std::vector<std::thread> threads;
    threads.reserve(n);
    WorkerCountScope workers(static_cast<int>(n));
    try {
        for (size_t i = 0; i < n; ++i) {
            const int deviceId = plan.devices[i].deviceId;
            const int rowStart = bounds[i];
            const int rowCount = bounds[i + 1] - bounds[i];
            std::function<void()> body = [deviceId, rowStart, rowCount, &run, &plan, &progress] {
                deviceThread(deviceId, rowStart, rowCount, run, plan.engine, progress);
            };
            threads.push_back(starter ? starter(static_cast<int>(i), std::move(body)) : std::thread(std::move(body)));
        }
    } catch (const std::exception& e) {
        // Destroying a joinable thread aborts the process, and the started ones
        // still use the run state on this stack.
        run.abandoned.store(true);
        for (std::thread& thread : threads) thread.join();
        mgpuLog(std::string("RUN_END success=0 firstError=") + e.what());
        throw;
    } catch (...) {
        run.abandoned.store(true);
        for (std::thread& thread : threads) thread.join();
        mgpuLog("RUN_END success=0 firstError=unknown exception");
        throw;
    }
    for (std::thread& thread : threads) thread.join();

    if (!run.failed.load()) {
        mgpuLog("RUN_END success=1");
        return true;
    }
    error = !run.firstError.empty()
                ? run.firstError
                : "GPU " + std::to_string(run.unreportedDevice.load()) + ": failed while reporting its error";
    mgpuLog("RUN_END success=0 firstError=" + error);
    return false;
}

void fitField(std::vector<float>& field, size_t count) { field.resize(count, 0.0f); }

// With no usable device a refusal, with one the single-device entry on this
// thread, else `prepare` (which fills in the plan's grid, log line and engine,
// or refuses) and one band per device.
bool runMultiGpu(std::string& error, const MultiGpuProgress& progress, const std::function<bool()>& singleDevice,
                 const std::function<bool(RunPlan&)>& prepare) {
    RunPlan plan;
    plan.devices = enumerateGpus();
    if (plan.devices.empty()) {
        error = "No CUDA GPUs available";
        return false;
    }
    if (plan.devices.size() == 1) return singleDevice();
    return prepare(plan) && runOnDevices(plan, progress, error);
}

// The grid of a refinement's start, which its bands split.
bool takeStartGrid(RunPlan& plan, const PixelDisplacementResult& start, std::string& error) {
    plan.gridWidth = start.gridWidth;
    plan.gridHeight = start.gridHeight;
    if (plan.gridWidth >= 1 && plan.gridHeight >= 1) return true;
    error = "Invalid initial grid dimensions";
    return false;
}

// The four gradients sized for the run's grid, or dropped: whatever an earlier
// run left would pass for this run's, as a single-device whole-grid call prevents.
void fitGradients(PixelDisplacementResult& out, bool kept, size_t count) {
    for (std::vector<float>* gradient : {&out.duDx, &out.duDy, &out.dvDx, &out.dvDy}) {
        if (kept)
            fitField(*gradient, count);
        else
            gradient->clear();
    }
}

} // namespace

DeviceThroughputTable& deviceThroughputTable() {
    static DeviceThroughputTable table;
    return table;
}

std::vector<double> computeDeviceWeights(const std::vector<GpuInfo>& devices) {
    std::vector<double> weights(devices.size(), 0.0);
    DeviceThroughputTable& table = deviceThroughputTable();
    std::lock_guard lock(table.mutex);
    const bool learned = !devices.empty() && std::all_of(devices.begin(), devices.end(), [&](const GpuInfo& d) {
        return table.pointsPerSecond.count(d.deviceId) != 0;
    });
    for (size_t i = 0; i < devices.size(); ++i) {
        const GpuInfo& d = devices[i];
        weights[i] = learned ? table.pointsPerSecond.at(d.deviceId)
                             : double(d.clockKHz < 1 ? 1000 : d.clockKHz) *
                                   double(d.multiProcessorCount < 1 ? 1 : d.multiProcessorCount);
    }
    return weights;
}

std::vector<int> partitionRows(int totalRows, const std::vector<double>& weights) {
    const size_t n = weights.size();
    std::vector<int> bounds(n + 1, 0);
    if (n < 1 || totalRows < 1) return bounds;

    std::vector<double> counted(n, 0.0);
    for (size_t i = 0; i < n; ++i)
        counted[i] = std::isfinite(weights[i]) && weights[i] > 0 ? weights[i] : 0.0;
    double sum = std::accumulate(counted.begin(), counted.end(), 0.0);
    if (!std::isfinite(sum)) {
        // Weights near the double range overflow their sum; their ratios are what matters.
        const double largest = *std::max_element(counted.begin(), counted.end());
        for (double& w : counted) w /= largest;
        sum = std::accumulate(counted.begin(), counted.end(), 0.0);
    }

    std::vector<int> counts(n, 0);
    if (sum <= 0) {
        for (size_t i = 0; i < n; ++i)
            counts[i] = totalRows / int(n) + (int(i) < totalRows % int(n) ? 1 : 0);
    } else {
        std::vector<double> remainders(n, 0.0);
        int64_t assigned = 0;
        for (size_t i = 0; i < n; ++i) {
            const double share = double(totalRows) * counted[i] / sum;
            counts[i] = int(std::min(std::trunc(share), double(totalRows)));
            remainders[i] = share - double(counts[i]);
            assigned += counts[i];
        }
        std::vector<size_t> order(n);
        std::iota(order.begin(), order.end(), size_t(0));
        std::stable_sort(order.begin(), order.end(),
                         [&](size_t a, size_t b) { return remainders[a] > remainders[b]; });
        for (int64_t k = 0; assigned < totalRows; ++k, ++assigned) ++counts[order[size_t(k) % n]];
        // Rounding of the shares can never hand out more rows than exist, but a
        // band past the grid would be worse than a slightly uneven split.
        for (size_t i = n; assigned > totalRows && i-- > 0;) {
            const int take = int(std::min<int64_t>(counts[i], assigned - totalRows));
            counts[i] -= take;
            assigned -= take;
        }
    }

    if (totalRows >= int(n)) {
        for (size_t i = 0; i < n; ++i) {
            if (counts[i] >= 1) continue;
            const size_t donor = size_t(std::max_element(counts.begin(), counts.end()) - counts.begin());
            if (counts[donor] > 1) {
                --counts[donor];
                ++counts[i];
            }
        }
    }
    for (size_t i = 0; i < n; ++i) bounds[i + 1] = bounds[i] + counts[i];
    return bounds;
}

void recordDeviceThroughput(int deviceId, double pointsPerSecond) {
    if (!(pointsPerSecond > 0) || !std::isfinite(pointsPerSecond)) return;
    DeviceThroughputTable& table = deviceThroughputTable();
    std::lock_guard lock(table.mutex);
    const auto [entry, inserted] = table.pointsPerSecond.try_emplace(deviceId, pointsPerSecond);
    if (!inserted) entry->second = 0.7 * entry->second + 0.3 * pointsPerSecond;
}

bool computePixelDisplacementsMultiGPU(const ImageSource& ref, const ImageSource& def, ImageSize size,
                                       const PixelSearchParams& params, PixelDisplacementResult& out,
                                       std::string& error, MultiGpuProgress progress, const uint8_t* mask,
                                       int maskStride, int maskRows) {
    const auto singleDevice = [&] {
        return computePixelDisplacements(ref, def, size, params, out, error, progress, mask, maskStride, maskRows, 0,
                                         -1);
    };
    return runMultiGpu(error, progress, singleDevice, [&](RunPlan& plan) {
        // The single-device entry's checks, made here before the grid is split.
        detail::SearchGrid grid;
        const char* refusal = detail::checkSearchInputs(ref, def, size, params);
        if (!refusal) refusal = detail::searchGrid(size, params, grid);
        if (refusal) {
            error = refusal;
            return false;
        }
        plan.gridWidth = grid.width;
        plan.gridHeight = grid.height;
        plan.runStartLine =
            "RUN_START orch=pixel gridW=" + std::to_string(plan.gridWidth) + " gridH=" + std::to_string(plan.gridHeight) +
            " numGPUs=" + std::to_string(plan.devices.size()) + " imgW=" + std::to_string(size.width) +
            " imgH=" + std::to_string(size.height) + " winX=" + std::to_string(params.windowSizeX) +
            " winY=" + std::to_string(params.windowSizeY) + " stepX=" + std::to_string(params.stepX) +
            " stepY=" + std::to_string(params.stepY) + " maxU=" + std::to_string(params.maxU) +
            " maxV=" + std::to_string(params.maxV);
        plan.runStartBeforePartition = true;
        plan.sizeOutput = [&out, &plan] {
            const size_t count = size_t(plan.gridWidth) * size_t(plan.gridHeight);
            out.gridWidth = plan.gridWidth;
            out.gridHeight = plan.gridHeight;
            fitField(out.dispX, count);
            fitField(out.dispY, count);
        };
        plan.engine = [&](int rowStart, int rowCount, std::string& bandError, const MultiGpuProgress& bandProgress) {
            return computePixelDisplacements(ref, def, size, params, out, bandError, bandProgress, mask, maskStride,
                                             maskRows, rowStart, rowCount);
        };
        return true;
    });
}

bool computeSubpixelDisplacementsMultiGPU(const ImageSource& ref, const ImageSource& def, ImageSize size,
                                          const PixelSearchParams& params, const PixelDisplacementResult& pixel,
                                          const SubpixelParams& subpixel, PixelDisplacementResult& out,
                                          std::string& error, MultiGpuProgress progress, const uint8_t* mask,
                                          int maskStride, int maskRows) {
    if (subpixel.heaviside) {
        // The enriched engine judges a band's points by neighbours beyond it and
        // by the whole grid's jump threshold: the first-order pass is shared out
        // and finished whole before it, as on one device; progress runs over
        // twice the point count.
        SubpixelParams firstOrder = subpixel;
        firstOrder.affine = true;
        firstOrder.heaviside = false;
        MultiGpuProgress firstHalf, secondHalf;
        if (progress) {
            firstHalf = [&progress](uint64_t done, uint64_t total) { return progress(std::min(done, total), 2 * total); };
            secondHalf = [&progress](uint64_t done, uint64_t total) {
                return progress(total + std::min(done, total), 2 * total);
            };
        }
        PixelDisplacementResult start;
        return computeSubpixelDisplacementsMultiGPU(ref, def, size, params, pixel, firstOrder, start, error, firstHalf,
                                                    mask, maskStride, maskRows) &&
               computeRuptureSubpixelMultiGPU(ref, def, size, params, start, subpixel, out, error, secondHalf, nullptr);
    }
    const auto singleDevice = [&] {
        return computeSubpixelDisplacements(ref, def, size, params, pixel, subpixel, out, error, progress, mask,
                                            maskStride, maskRows, 0, -1);
    };
    return runMultiGpu(error, progress, singleDevice, [&](RunPlan& plan) {
        if (!takeStartGrid(plan, pixel, error)) return false;
        plan.runStartLine = "RUN_START orch=subpixel gridW=" + std::to_string(plan.gridWidth) +
                            " gridH=" + std::to_string(plan.gridHeight) +
                            " numGPUs=" + std::to_string(plan.devices.size()) +
                            " enableAffine=" + (subpixel.affine ? "1" : "0");
        plan.sizeOutput = [&out, &plan, &subpixel] {
            const size_t count = size_t(plan.gridWidth) * size_t(plan.gridHeight);
            out.gridWidth = plan.gridWidth;
            out.gridHeight = plan.gridHeight;
            fitField(out.dispX, count);
            fitField(out.dispY, count);
            // The discontinuity route refines to first order before its engine.
            fitGradients(out, subpixel.affine || subpixel.heaviside, count);
        };
        plan.engine = [&](int rowStart, int rowCount, std::string& bandError, const MultiGpuProgress& bandProgress) {
            return computeSubpixelDisplacements(ref, def, size, params, pixel, subpixel, out, bandError, bandProgress,
                                                mask, maskStride, maskRows, rowStart, rowCount);
        };
        return true;
    });
}

bool computeRuptureSubpixelMultiGPU(const ImageSource& ref, const ImageSource& def, ImageSize size,
                                    const PixelSearchParams& params, const PixelDisplacementResult& pixel,
                                    const SubpixelParams& subpixel, PixelDisplacementResult& out, std::string& error,
                                    MultiGpuProgress progress, FractureResult* fracture) {
    const auto singleDevice = [&] {
        return computeRuptureSubpixel(ref, def, size, params, pixel, subpixel, out, error, progress, fracture, 0, -1,
                                      false, false);
    };
    const bool ok = runMultiGpu(error, progress, singleDevice, [&](RunPlan& plan) {
        if (!takeStartGrid(plan, pixel, error)) return false;
        plan.runStartLine = "RUN_START orch=rupture gridW=" + std::to_string(plan.gridWidth) +
                            " gridH=" + std::to_string(plan.gridHeight) +
                            " numGPUs=" + std::to_string(plan.devices.size()) + " fracture=" + (fracture ? "1" : "0");
        plan.sizeOutput = [&out, &plan, &pixel, fracture] {
            const size_t count = size_t(plan.gridWidth) * size_t(plan.gridHeight);
            out.gridWidth = plan.gridWidth;
            out.gridHeight = plan.gridHeight;
            fitField(out.dispX, count);
            fitField(out.dispY, count);
            // The engine carries a start's gradients through, when it has all four.
            fitGradients(out, !pixel.duDx.empty() && !pixel.duDy.empty() && !pixel.dvDx.empty() && !pixel.dvDy.empty(),
                         count);
            if (!fracture) return;
            fracture->gridWidth = plan.gridWidth;
            fracture->gridHeight = plan.gridHeight;
            for (int field = 0; field <= FractureResult::CrackPosition; ++field)
                fitField(fracture->fields[size_t(field)], count);
        };
        plan.engine = [&](int rowStart, int rowCount, std::string& bandError, const MultiGpuProgress& bandProgress) {
            return computeRuptureSubpixel(ref, def, size, params, pixel, subpixel, out, bandError, bandProgress,
                                          fracture, rowStart, rowCount, false, false);
        };
        return true;
    });
    // A crack crosses bands; it faces one way only when seen whole.
    if (ok && fracture) orientCracks(*fracture, params.stepX, params.stepY);
    return ok;
}

namespace detail {

void setDeviceThreadStarter(DeviceThreadStarter starter) {
    std::lock_guard lock(starterMutex);
    threadStarter() = std::move(starter);
}

} // namespace detail

} // namespace tavro
