#pragma once
// The fraction scan: band-limited Gaussian speckle translated by exact Fourier
// shifts whose fractional part runs from 0 to 1, refined from the rounded
// shift with every interpolation. It shows each interpolation's systematic
// error curve (bias against the fractional shift) and its random error.

#include <string>
#include <vector>

#include "bench_options.h"

namespace tavro::bench {

struct FractionCurve {
    int interpolation = 0;
    std::vector<double> bias;   // mean x error per fraction, px
    std::vector<double> stdDev; // standard deviation of the x error per fraction, px
    double largestBias = 0.0;   // max |bias| over the fractions
    double largestBiasAt = 0.0; // the fraction where it occurs
    double scatter = 0.0;       // root mean square of stdDev over the fractions
};

struct FractionScan {
    bool ok = false;
    std::string error;
    int size = 0;
    int points = 0;
    std::vector<double> fractions;
    std::vector<FractionCurve> curves;  // bilinear, bicubic, cubic B-spline, quartic B-spline
    double seconds = 0.0;
};

// Speckle of options.scanSigma px through a tanh contrast curve, 8-bit, noise
// of options.noise grey levels on both images; shifts (f, 0) px for
// f = 0, 1/scanSteps, .., 1; the window, step, shape, tolerance and iterations
// of the options.
FractionScan runFractionScan(const BenchOptions& options);

} // namespace tavro::bench
