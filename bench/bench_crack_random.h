#pragma once
// The random crack case: pairs drawn at random from seeds (spot size, polarity,
// contrast, gap grey, noise, blur, angle, opening; single cracks, cracks near
// the border, crack tips, crossing cracks and crack-free shear bands), each
// refined at windows 21, 31 and 61 and scored against its truth, then summed up
// by the mean and the worst tenth of every figure.

#include <functional>
#include <string>

#include "bench_options.h"

namespace tavro::bench {

// Hands one line of key=value figures per draw and window to `putLine`, then
// the summary to `put`; false when the engine failed on a draw.
bool runCrackRandomCase(const BenchOptions& options, const std::function<void(const std::string&)>& putLine,
                        const std::function<void(const std::string&, double)>& put);

} // namespace tavro::bench
