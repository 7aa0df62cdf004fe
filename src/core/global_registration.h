#pragma once
// Whole-image translation between a reference and a deformed image of the same
// size, by phase correlation on the current CUDA device.

#include <string>

#include "core/gpu_common.h"
#include "core/results.h"

namespace tavro {

// Whole-pixel shift wrapped into (-size / 2, size / 2]: a reference feature at p
// lies at p - shift in the deformed image. peakRatio is the correlation peak
// over the mean of the correlation surface (0 when that mean is not above 1e-9).
// On failure `out` holds zeros and `error` the reason; an error that Thrust
// throws passes to the caller, with every device resource released.
bool computeRigidRegistrationGpu(const float* ref, const float* def, ImageSize size, RigidRegistrationResult* out,
                                 std::string& error);

} // namespace tavro
