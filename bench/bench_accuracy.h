#pragma once
// Errors of a run's displacements and strains against the known field.

#include <cstddef>

#include "bench_options.h"
#include "bench_pipeline.h"
#include "support/synthetic_images.h"

namespace tavro::bench {

struct ErrorStats {
    double bias = 0.0;    // mean error
    double stdDev = 0.0;  // standard deviation of the error
    double rms = 0.0;
};

struct Accuracy {
    size_t points = 0;
    size_t invalid = 0;  // NaN displacements, left out of the statistics
    ErrorStats ux, uy;
    ErrorStats exx, eyy, exy;
    // Sinusoid only: the least-squares amplitude of the measured wave over the true one.
    double amplitudeRatioX = 0.0;
    double amplitudeRatioY = 0.0;
};

Accuracy evaluate(const PipelineRun& run, const BenchOptions& options, const testing::DisplacementField& field);

} // namespace tavro::bench
