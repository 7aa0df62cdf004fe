#pragma once
// The neural case: the learned engine refines the integer search of a 48 px
// grid to a dense field; IC-GN (the sub-pixel engine with the case's window,
// step and shape) measures the same pair, and both are compared with the truth
// at IC-GN's points that lie in the neural field.

#include <string>

#include "bench_images.h"
#include "bench_options.h"

namespace tavro::bench {

struct NeuralPairFigures {
    int gridWidth = 0;
    int gridHeight = 0;
    double seconds = 0.0;             // neural stage, median over the repeats
    double megapixelsPerSecond = 0.0; // image pixels over that time
    double peakResidentMiB = 0.0;     // process, during the neural stage
    double deviceCachedMiB = 0.0;     // device buffers the stage left cached
    double denseRms = 0.0;            // px, every neural point
    int commonPoints = 0;
    double neuralRms = 0.0;           // px, at the common points
    double icgnRms = 0.0;
    // Crack pair only: the common points within one window of the line.
    int nearPoints = 0;
    double neuralNearRms = 0.0;
    double icgnNearRms = 0.0;
};

struct NeuralFigures {
    bool ok = false;
    std::string error;
    std::string notice;
    NeuralPairFigures smooth;
    NeuralPairFigures crack;
};

NeuralFigures runNeuralCase(const SyntheticPair& pair, const BenchOptions& options);

} // namespace tavro::bench
