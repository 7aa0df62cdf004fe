#include "bench_pipeline.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <ctime>
#include <vector>

#include "bench_memory.h"
#include "core/global_registration.h"
#include "core/pixel_search.h"
#include "core/strain.h"
#include "core/subpixel_search.h"

namespace tavro::bench {
namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double processCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + 1e-9 * double(t.tv_nsec);
}

// Times one stage and records the peak resident memory reached during it.
class Stage {
public:
    Stage(double& seconds, double& cpuSeconds, double& peak)
        : seconds_(seconds), cpuSeconds_(cpuSeconds), peak_(peak) {
        resetPeakResident();
        cpuStart_ = processCpuSeconds();
        start_ = Clock::now();
    }
    ~Stage() {
        seconds_ = secondsSince(start_);
        cpuSeconds_ = processCpuSeconds() - cpuStart_;
        peak_ = peakResidentMiB();
    }
    Stage(const Stage&) = delete;
    Stage& operator=(const Stage&) = delete;

private:
    double& seconds_;
    double& cpuSeconds_;
    double& peak_;
    double cpuStart_ = 0.0;
    Clock::time_point start_;
};

std::vector<float> toFloats(const std::vector<uint8_t>& pixels) {
    return std::vector<float>(pixels.begin(), pixels.end());
}

// The engine reads 8-bit images through row providers, as the worker streams
// them from its images, so the bench never holds float copies of its own.
ImageSource rowsOf(const std::vector<uint8_t>& pixels, int width) {
    return ImageSource([&pixels, width](float* dst, int firstRow, int endRow) {
        const auto first = pixels.begin() + ptrdiff_t(firstRow) * width;
        std::copy(first, first + ptrdiff_t(endRow - firstRow) * width, dst);
    });
}

// Pixel (c, r) of the result shows deformed pixel (c - shiftX, r - shiftY), clamped to the image.
ImageSource shiftedRowsOf(const std::vector<uint8_t>& pixels, int width, int height, int shiftX, int shiftY) {
    return ImageSource([&pixels, width, height, shiftX, shiftY](float* dst, int firstRow, int endRow) {
        for (int r = firstRow; r < endRow; ++r, dst += width) {
            const uint8_t* row = pixels.data() + size_t(std::clamp(r - shiftY, 0, height - 1)) * size_t(width);
            for (int c = 0; c < width; ++c) dst[c] = row[std::clamp(c - shiftX, 0, width - 1)];
        }
    });
}

PixelSearchParams searchParams(const BenchOptions& o) {
    PixelSearchParams p;
    p.windowSizeX = p.windowSizeY = o.window;
    p.stepX = p.stepY = o.step;
    p.maxU = p.maxV = o.range;
    p.searchUp = p.searchDown = p.searchLeft = p.searchRight = o.range;
    p.hierarchical = o.hierarchical;
    return p;
}

SubpixelParams refinementParams(const BenchOptions& o) {
    SubpixelParams p;
    p.maxIterations = o.iterations;
    p.convergenceTolerance = o.tolerance;
    p.interpolation = o.interpolation;
    p.affine = o.affineShape;
    return p;
}

bool failed(PipelineRun& run, const char* stage, const std::string& error) {
    run.error = std::string(stage) + ": " + error;
    return false;
}

bool execute(const SyntheticPair& pair, const BenchOptions& o, PipelineRun& run) {
    const ImageSize size{pair.width, pair.height};
    std::string error;
    if (o.rigid) {
        // The worker, too, hands the registration whole float images.
        const Stage stage(run.times.registration, run.cpuTimes.registration, run.peaks.registration);
        const std::vector<float> ref = toFloats(pair.reference), def = toFloats(pair.deformed);
        if (!computeRigidRegistrationGpu(ref.data(), def.data(), size, &run.rigid, error))
            return failed(run, "registration", error);
    }
    const int shiftX = static_cast<int>(std::lround(run.rigid.shiftX));
    const int shiftY = static_cast<int>(std::lround(run.rigid.shiftY));
    const ImageSource reference = rowsOf(pair.reference, pair.width);
    const ImageSource deformed = shiftedRowsOf(pair.deformed, pair.width, pair.height, shiftX, shiftY);

    const PixelSearchParams pixelParams = searchParams(o);
    DevicePixelDisplacements pixels;
    {
        const Stage stage(run.times.pixel, run.cpuTimes.pixel, run.peaks.pixel);
        if (!computePixelDisplacementsToDevice(reference, deformed, size, pixelParams, &pixels, error))
            return failed(run, "pixel search", error);
    }
    {
        const Stage stage(run.times.subpixel, run.cpuTimes.subpixel, run.peaks.subpixel);
        if (!computeSubpixelDisplacements(reference, deformed, size, pixelParams, pixels, refinementParams(o),
                                          run.displacements, error, {}, nullptr, 0, 0))
            return failed(run, "sub-pixel refinement", error);
    }
    pixels.reset();
    {
        const Stage stage(run.times.strain, run.cpuTimes.strain, run.peaks.strain);
        if (!computeStrainGpu(run.displacements, o.step, run.strains, error, {}, 0.0f))
            return failed(run, "strain", error);
    }

    // The search measured against the pre-shifted image: material at X sits at X + u + shift there.
    for (float& v : run.displacements.dispX) v -= static_cast<float>(shiftX);
    for (float& v : run.displacements.dispY) v -= static_cast<float>(shiftY);
    run.marginX = o.window / 2 + o.range;
    run.marginY = o.window / 2 + o.range;
    return true;
}

} // namespace

SearchRun runSearchOnly(const SyntheticPair& pair, const BenchOptions& options) {
    SearchRun run;
    const ImageSize size{pair.width, pair.height};
    DevicePixelDisplacements pixels;
    double peak = 0.0;
    {
        const Stage stage(run.seconds, run.cpuSeconds, peak);
        run.ok = computePixelDisplacementsToDevice(rowsOf(pair.reference, pair.width),
                                                   rowsOf(pair.deformed, pair.width), size, searchParams(options),
                                                   &pixels, run.error);
    }
    return run;
}

PipelineRun runPipeline(const SyntheticPair& pair, const BenchOptions& options) {
    PipelineRun run;
    run.ok = execute(pair, options, run);
    return run;
}

} // namespace tavro::bench
