#pragma once
// The crack-pairs case: every pair of the crack catalogue at windows 21, 31
// and 61, refined by the discontinuity-enriched engine, its crack lines
// extracted as the window extracts them, and each scored against the truth.

#include <functional>
#include <string>

#include "bench_options.h"

namespace tavro::bench {

// Runs the case, handing every figure to `put` (key, value); false when the
// engine failed on a pair (its error is put too).
bool runCrackPairsCase(const BenchOptions& options, const std::function<void(const std::string&, double)>& put,
                       const std::function<void(const std::string&, const std::string&)>& putText);

} // namespace tavro::bench
