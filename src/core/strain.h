#pragma once
// Small-strain fields of a displacement grid, computed on the current CUDA
// device: from the refinement's displacement gradients when every point has
// them, otherwise by differences between neighbouring grid points, or with the
// user's separable derivative and smoothing kernels.

#include <functional>
#include <string>
#include <vector>

#include "core/results.h"
#include "core/strain_settings.h"

namespace tavro {

// Called with (done, total); returning false cancels while the work can still stop.
using StrainProgress = std::function<bool(long long done, long long total)>;

// gridSpacing is the distance in pixels between neighbouring grid points along
// x, gridSpacingY along y (0: the same as along x). With supportLength > 0, a
// displacement whose magnitude exceeds it counts as missing. On failure `out`
// is reset to an empty record and `error` holds the reason.
bool computeStrainGpu(const PixelDisplacementResult& disp, int gridSpacing, StrainResult& out, std::string& error,
                      StrainProgress progress, float supportLength, int gridSpacingY = 0);

// Derivatives are the separable convolution of the displacement grid with the
// settings' derivative kernel along the derivative axis and its smoothing kernel
// across it. Outside the grid the field is reflected through the border point
// along the derivative axis (exact for linear fields) and mirrored across it.
bool computeStrainCustomKernelGpu(const PixelDisplacementResult& disp, int gridSpacing,
                                  const gui::StrainSettings& settings, StrainResult& out, std::string& error,
                                  StrainProgress progress, int gridSpacingY = 0);

// What the smoothing kernel is divided by when applied: the sum of its
// coefficients, or 1 for a kernel that sums to zero (or is empty).
float smoothingKernelSum(const std::vector<float>& smoothing);

} // namespace tavro
