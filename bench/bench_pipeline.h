#pragma once
// One run of the engine over a synthetic pair, as the worker sequences it:
// rigid registration, the deformed image pre-shifted by its whole-pixel
// result, integer-pixel search left on the device, sub-pixel refinement,
// strains.

#include <string>

#include "bench_images.h"
#include "bench_options.h"
#include "core/results.h"

namespace tavro::bench {

struct StageTimes {
    double registration = 0.0;  // seconds
    double pixel = 0.0;
    double subpixel = 0.0;
    double strain = 0.0;
};

// Peak resident memory of the process during each stage, in MiB.
struct StagePeaks {
    double registration = 0.0;
    double pixel = 0.0;
    double subpixel = 0.0;
    double strain = 0.0;
};

struct PipelineRun {
    bool ok = false;
    std::string error;
    StageTimes times;
    // Processor time of every thread of the process: under load it varies less than wall time.
    StageTimes cpuTimes;
    StagePeaks peaks;
    RigidRegistrationResult rigid;
    // Displacements in reference coordinates, the rigid shift included.
    PixelDisplacementResult displacements;
    StrainResult strains;
    int marginX = 0;  // pixel of grid point (0, 0)
    int marginY = 0;
};

PipelineRun runPipeline(const SyntheticPair& pair, const BenchOptions& options);

// The integer-pixel search alone (no registration), as in the pipeline.
struct SearchRun {
    bool ok = false;
    std::string error;
    double seconds = 0.0;
    double cpuSeconds = 0.0;
};
SearchRun runSearchOnly(const SyntheticPair& pair, const BenchOptions& options);

} // namespace tavro::bench
