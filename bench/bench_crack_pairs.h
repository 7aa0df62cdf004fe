#pragma once
// The crack-pairs case: every pair of the crack catalogue at windows 21, 31
// and 61, refined by the discontinuity-enriched engine, its crack lines
// extracted as the window extracts them, and each scored against the truth.

#include <functional>
#include <string>
#include <vector>

#include "bench_options.h"
#include "compute/crack_lines.h"
#include "core/rupture_subpixel.h"
#include "support/crack_pairs.h"

namespace tavro::bench {

// The window's defaults besides the window: step, search range, bilinear, tolerance, iterations.
inline constexpr int kCrackPairStep = 4;
inline constexpr int kCrackPairRange = 6;

struct CrackPairRun {
    PixelDisplacementResult first, out;
    FractureResult fracture;
    CrackLineSet lines;
    int window = 0;
    int margin = 0;
    double seconds = 0.0;
};

// Writes an 8-bit image as a PNG file, for a run through the window.
bool saveImage(const testing::Image& image, const std::string& path);

// Integer search, first-order pass, crack pass, and the lines as the window's
// fracture page extracts them.
bool refineCrackPair(const testing::CrackPair& pair, int window, CrackPairRun& run, std::string& error,
                     InterpolationType interpolation = InterpolationType::Bilinear);

// Where a run's grid and line points lie against the pair's cracks.
class CrackPairScorer {
public:
    // A point more than `beyondTip` px past a crack's tip is no longer near it.
    CrackPairScorer(const testing::CrackPair& pair, const CrackPairRun& run, double beyondTip);

    testing::Vec2 linePoint(size_t p) const;
    testing::Vec2 gridPoint(int i, int j) const;
    // Within `across` px of crack k's line and not beyond its tip.
    bool near(size_t k, testing::Vec2 p, double across) const;
    // The points of line l, px.
    std::vector<testing::Vec2> line(size_t l) const;
    // The share of crack k that line l traces, on the stretch from `from` to `to` along it.
    double covered(size_t k, size_t l, double from = -1e30, double to = 1e30) const;
    // How far from crack k the centre of a subset it cuts may lie.
    double reach(size_t k) const;
    double across() const { return across_; }

private:
    const testing::CrackPair& pair_;
    const CrackPairRun& run_;
    double beyondTip_ = 0.0, across_ = 0.0, lo_ = 0.0, hi_ = 0.0;
};

using CrackPut = std::function<void(const std::string&, double)>;

// Puts the run's line count, its false lines (most points away from every
// crack) and, per crack k, crackk_traced_share (by its best single line) and
// crackk_jump_rms (px, that line's jump against the truth), each key after `prefix`.
void scoreCrackLines(const testing::CrackPair& pair, const CrackPairRun& run, const CrackPairScorer& scorer,
                     const std::string& prefix, const CrackPut& put);

// Runs the case, handing every figure to `put` (key, value); false when the
// engine failed on a pair (its error is put too).
bool runCrackPairsCase(const BenchOptions& options, const std::function<void(const std::string&, double)>& put,
                       const std::function<void(const std::string&, const std::string&)>& putText);

} // namespace tavro::bench
