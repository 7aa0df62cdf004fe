#include "core/driver_support.h"

#include <cstdlib>

#include "core/multi_gpu_log.h"
#include "gpu/runtime.h"

namespace tavro::detail {

const char* checkSearchInputs(const ImageSource& ref, const ImageSource& def, ImageSize size,
                              const PixelSearchParams& p) {
    if (!ref.valid() || !def.valid()) return "Images invalides (pointeurs nuls).";
    if (size.width < 1 || size.height < 1) return "Dimensions d'image invalides.";
    if (p.windowSizeX < 2 || p.windowSizeY < 2 || p.windowSizeX % 2 == 0 || p.windowSizeY % 2 == 0)
        return "Windows must be odd and size > 1.";
    if (p.stepX < 1 || p.stepY < 1) return "Spacings must be strictly positive.";
    if (p.maxU < 0 || p.maxV < 0) return "Search ranges must be positive.";
    return nullptr;
}

const char* searchGrid(ImageSize size, const PixelSearchParams& p, SearchGrid& grid) {
    const int64_t marginX = int64_t{p.windowSizeX / 2} + p.maxV;
    const int64_t marginY = int64_t{p.windowSizeY / 2} + p.maxU;
    if (marginX >= size.width || marginY >= size.height) return "Window or search area too large for image.";
    const int64_t usableWidth = size.width - 2 * marginX, usableHeight = size.height - 2 * marginY;
    if (usableWidth < 1 || usableHeight < 1) return "Parameters incompatible with image size.";
    grid.marginX = int32_t(marginX);
    grid.marginY = int32_t(marginY);
    grid.width = int32_t((usableWidth + p.stepX - 1) / p.stepX);
    grid.height = int32_t((usableHeight + p.stepY - 1) / p.stepY);
    return nullptr;
}

const char* checkRefinementInputs(const ImageSource& ref, const ImageSource& def, ImageSize size,
                                  const PixelSearchParams& p, const SubpixelParams& params, int startWidth,
                                  int startHeight, const PixelDisplacementResult* start, SearchGrid& grid) {
    if (const char* message = checkSearchInputs(ref, def, size, p)) return message;
    if (params.maxIterations < 1) return "Number of iterations must be positive.";
    if (!(params.convergenceTolerance > 0.0f)) return "Convergence tolerance must be positive.";
    if (startWidth < 1 || startHeight < 1) return "Invalid pixel-accuracy results.";
    const uint64_t count = uint64_t(startWidth) * uint64_t(startHeight);
    if (start && (start->dispX.size() != count || start->dispY.size() != count))
        return "Inconsistent pixel-accuracy displacement size.";
    if (const char* message = searchGrid(size, p, grid)) return message;
    if (startWidth != grid.width || startHeight != grid.height)
        return "Pixel-accuracy grid does not match provided parameters.";
    return nullptr;
}

void logMemoryGate(const std::string& head, uint64_t footprint, const MemoryBudget& budget, int rowBegin, int rowEnd,
                   bool banded) {
    std::string line = "GATE " + head + " footprintMB=" + std::to_string(footprint >> 20) +
                       " budgetMB=" + std::to_string(budget.bytes >> 20);
    if (budget.fromEnvironment) line += " (env)";
    line += " freeVramMB=" + std::to_string(budget.freeBytes >> 20) +
            " commitAvailMB=" + std::to_string(budget.commitBytes >> 20) +
            " workers=" + std::to_string(gpuWorkerCount()) + " rows=[" + std::to_string(rowBegin) + "," +
            std::to_string(rowEnd) + ") path=" + (banded ? "banded" : "resident");
    mgpuLog(line);
}

bool forcedResidentOom(std::atomic<bool>& used) {
    const char* value = std::getenv("TAVRO_FORCE_RESIDENT_OOM");
    return value && value[0] != '\0' && value[0] != '0' && !used.exchange(true);
}

int leasePerPointBuffer(uint64_t bytesPerPoint, int64_t points, int64_t maxPerLaunch, DeviceBufferPool::Lease& lease,
                        int64_t& perLaunch) {
    perLaunch = std::max<int64_t>(1, std::min(points, maxPerLaunch));
    size_t freeBytes = 0, totalBytes = 0;
    if (bytesPerPoint > 0 && cudaMemGetInfo(&freeBytes, &totalBytes) == cudaSuccess)
        perLaunch = std::max<int64_t>(1, std::min<int64_t>(perLaunch, int64_t(freeBytes / 2 / bytesPerPoint)));
    else
        (void)cudaGetLastError();
    for (;;) {
        const int code = DeviceBufferPool::instance().acquire(bytesPerPoint * uint64_t(perLaunch), lease);
        if (code != cudaErrorMemoryAllocation || perLaunch == 1) return code;
        (void)cudaGetLastError();
        perLaunch = (perLaunch + 1) / 2;
    }
}

} // namespace tavro::detail
