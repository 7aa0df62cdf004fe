#pragma once
// The crack case: a straight crack across a speckle pair, refined by the
// discontinuity-enriched engine from a first-order field, and how well the
// crack maps describe it.

#include <string>

#include "bench_options.h"
#include "support/synthetic_images.h"

namespace tavro::bench {

struct CrackFigures {
    bool ok = false;
    std::string error;
    int gridWidth = 0;
    int gridHeight = 0;
    int cutPoints = 0;       // points whose window the crack cuts (see bench_crack.cpp)
    double cutFlagged = 0.0; // share of them with a crack
    int flagged = 0;         // points with a crack
    int falseFlags = 0;      // points with a crack that the line does not reach
    int examined = 0;        // points the engine fitted a crack to
    double jumpRms = 0.0;    // px, over the points with a crack
    double alphaRms = 0.0;   // degrees
    double phiRms = 0.0;     // px
    double turnedShare = 0.0; // share of the points with a crack whose normal faces against the others
    double cutDisplacementRms = 0.0; // px, the refined displacement of the cut points against their side's
    double firstDisplacementRms = 0.0; // px, the same for the first-order field
    double time = 0.0;       // s, median of the crack pass over the repeats
    double timeBest = 0.0;
};

// Crack at options.crackAngle degrees (on screen, counter-clockwise) through the
// image centre, each side moved by the case's field -+ half the jump of
// options.crackJump px at 40 degrees to the crack's normal. A jump of 0 leaves
// the field smooth: every point with a crack is then a false one.
CrackFigures runCrackCase(const BenchOptions& options);

// That crack, with a jump of `jumpLength` px at 40 degrees to its normal.
testing::StraightCrack benchCrack(const BenchOptions& options, double jumpLength);

} // namespace tavro::bench
