#pragma once
// Throughput of the engine's FFT on the batched frames the integer search
// transforms: forward real-to-complex then inverse, transposed spectra.

#include <string>

namespace tavro::bench {

struct FftThroughput {
    bool ok = false;
    std::string error;
    int size = 0;  // frames of size x size reals
    int batch = 0;
    // Real transforms (a forward or an inverse one) per second, median and best of the rounds.
    double transformsPerSecond = 0.0;
    double transformsPerSecondBest = 0.0;
    // The same counted as 2.5 N log2 N flops per transform of N points.
    double gflops = 0.0;
    double gflopsBest = 0.0;
    double forwardShare = 0.0;  // of the time, in the forward transforms
};

FftThroughput measureFft(int size, int batch);

} // namespace tavro::bench
