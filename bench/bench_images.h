#pragma once
// The synthetic 8-bit speckle pair of a case and the displacement field it was
// made with.

#include <cstdint>
#include <vector>

#include "bench_options.h"
#include "support/synthetic_images.h"

namespace tavro::bench {

struct SyntheticPair {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> reference;
    std::vector<uint8_t> deformed;
    testing::DisplacementField field;
    // Of the quantised reference: grey-level mean and standard deviation, rms
    // central-difference gradients along x and y (grey levels per pixel), share
    // of pixels at 0 or 255.
    double mean = 0.0;
    double stdDev = 0.0;
    double gradientRmsX = 0.0;
    double gradientRmsY = 0.0;
    double clipped = 0.0;
};

testing::DisplacementField knownField(const BenchOptions& options);

// The speckle pattern the options describe: size, seed, spots and contrast.
testing::SpeckleOptions speckleOptions(const BenchOptions& options);

// A translation is a Fourier shift of a band-limited periodic pattern (exact);
// other fields render the pattern model through the field (supersampled).
SyntheticPair makeSyntheticPair(const BenchOptions& options);

} // namespace tavro::bench
