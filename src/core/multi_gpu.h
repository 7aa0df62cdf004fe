#pragma once
// Runs the integer-pixel search, the sub-pixel refinement and the
// discontinuity refinement on every usable GPU at once: the grid rows are split
// into one contiguous band per device, in proportion to each device's measured
// (or, until measured, static) throughput, and each band runs on its own host
// thread through the single-device entry. Any failing device fails the run;
// bands are never retried elsewhere.

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/gpu_common.h"
#include "core/gpu_discovery.h"
#include "core/pixel_search.h"
#include "core/results.h"
#include "core/subpixel_params.h"

namespace tavro {

// (points done, total points) of the whole grid; false asks every device to stop.
using MultiGpuProgress = std::function<bool(uint64_t done, uint64_t total)>;

bool computePixelDisplacementsMultiGPU(const ImageSource& ref, const ImageSource& def, ImageSize size,
                                       const PixelSearchParams& params, PixelDisplacementResult& out,
                                       std::string& error, MultiGpuProgress progress, const uint8_t* mask,
                                       int maskStride, int maskRows);

bool computeSubpixelDisplacementsMultiGPU(const ImageSource& ref, const ImageSource& def, ImageSize size,
                                          const PixelSearchParams& params, const PixelDisplacementResult& pixel,
                                          const SubpixelParams& subpixel, PixelDisplacementResult& out,
                                          std::string& error, MultiGpuProgress progress, const uint8_t* mask,
                                          int maskStride, int maskRows);

// `fracture` may be null.
bool computeRuptureSubpixelMultiGPU(const ImageSource& ref, const ImageSource& def, ImageSize size,
                                    const PixelSearchParams& params, const PixelDisplacementResult& pixel,
                                    const SubpixelParams& subpixel, PixelDisplacementResult& out, std::string& error,
                                    MultiGpuProgress progress, FractureResult* fracture);

// Learned throughput (grid points per second) per device id, kept for the life
// of the process; simulated devices share their original's entry.
struct DeviceThroughputTable {
    std::mutex mutex;
    std::map<int32_t, double> pointsPerSecond;
};
DeviceThroughputTable& deviceThroughputTable();

// The learned throughputs when every device has one, else each device's
// clock x multiprocessor count; never a mixture of the two.
std::vector<double> computeDeviceWeights(const std::vector<GpuInfo>& devices);

// n + 1 band boundaries over totalRows for n weights, by largest remainder;
// when there are at least as many rows as devices no band is empty.
std::vector<int> partitionRows(int totalRows, const std::vector<double>& weights);

// Folds a sample into the device's moving average (0.7 old, 0.3 new); samples
// that are not positive and finite are ignored.
void recordDeviceThroughput(int deviceId, double pointsPerSecond);

namespace detail {

// Starts the thread that runs device `deviceIndex`'s band. Tests replace it to
// make a start fail; an empty starter restores plain std::thread.
using DeviceThreadStarter = std::function<std::thread(int deviceIndex, std::function<void()> body)>;
void setDeviceThreadStarter(DeviceThreadStarter starter);

} // namespace detail

} // namespace tavro
