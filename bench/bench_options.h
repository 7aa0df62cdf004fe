#pragma once
// Command-line settings of tavro_bench: the synthetic case, the engine's
// parameters and what to measure.

#include <string>

namespace tavro::bench {

enum class FieldKind { Translation, Affine, Sinusoid };

struct BenchOptions {
    int width = 1024;
    int height = 1024;
    int window = 21;
    int step = 5;
    int range = 5;
    int interpolation = 1;  // an InterpolationType
    float tolerance = 1e-3f;
    int iterations = 10;
    bool affineShape = true;
    int threads = 0;  // 0: every core

    FieldKind field = FieldKind::Translation;
    double ux = 2.35;
    double uy = -1.72;
    double gradient[4] = {0.005, 0.002, -0.002, -0.003};  // du/dx, du/dy, dv/dx, dv/dy
    double period = 64.0;
    double amplitude = 0.5;
    double directionDegrees = 0.0;

    // An 8-bit speckle with a grey-level standard deviation near 48 and spots of
    // 2 px; about 1 % of the pixels clip at 0 or 255.
    double spotRadius = 2.0;
    double coverage = 4.0;
    double contrast = 255.0;
    double noise = 1.0;
    bool noiseOnReference = true;
    unsigned long long seed = 1;

    // The crack case: a straight crack through the centre, each side translated.
    bool crack = false;
    double crackAngle = 30.0;  // degrees, counter-clockwise on screen
    double crackJump = 0.5;    // px
    // The crack-pairs case: the crack catalogue at windows 21, 31 and 61; a
    // non-empty filter keeps the pairs whose name contains it.
    bool crackPairs = false;
    std::string crackPairsFilter;
    std::string crackRandomKind;
    // The random crack case: this many pairs drawn from seeds seed, seed + 1, ...,
    // refined with a cubic B-spline instead of bilinear interpolation when asked.
    int crackRandom = 0;
    bool crackRandomBspline = false;

    // The neural case: the learned engine with dense output on the case's pair
    // and on a crack pair, against IC-GN at the same points.
    bool neural = false;
    double neuralCrackJump = 2.0;  // px

    int repeat = 3;
    int busyThreads = 0;      // spinning threads beside the engine for the whole run
    bool phaseTimes = false;  // the integer search's time per phase (each phase then waits for its kernels)
    bool rigid = true;
    // The coarse pass and escalated fine pass the window always asks for.
    bool hierarchical = false;
    bool fft = true;
    bool pipeline = true;
    bool stitching = true;
    int stitchGrid = 4;
    int stitchTile = 2048;
    int fftBatch = 1024;
    int fftSize = 0;  // 0: the frame size of the case's search
    // The fraction scan: Gaussian speckle of scanSigma px in scanSize x scanSize images, fractional shifts
    // 0, 1/scanSteps, .., 1.
    bool fractionScan = true;
    int scanSize = 256;
    int scanSteps = 20;
    double scanSigma = 1.5;
    int sweepFirst = 0;  // odd windows sweepFirst, + 2, .. sweepLast: integer search alone; 0 for none
    int sweepLast = 0;
    bool verbose = false;
    // Non-empty: the pair is also written as <prefix>_reference.png and
    // <prefix>_deformed.png, 8-bit grey, for a run through the window.
    std::string savePair;
};

// Parses argv into options; false with a message for an unknown or malformed
// option. `help` is set when the usage text was asked for.
bool parseOptions(int argc, char** argv, BenchOptions& options, bool& help, std::string& error);

std::string usageText();

const char* interpolationName(int interpolation);
const char* fieldName(FieldKind field);

} // namespace tavro::bench
