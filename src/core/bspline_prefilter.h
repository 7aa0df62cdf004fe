#pragma once
// Host prefilters that turn an image into B-spline coefficients, in place, so
// that the refinement kernel evaluates B-spline interpolation directly from
// them. Each filter runs its recursive poles along every row, then along every
// column, with mirror boundaries. The coefficients come out with one overall
// scale (the gain is applied once, not once per axis): the kernel's criterion
// normalises every subset, so only their shape matters.

#include <cstdint>

namespace tavro {

// Gain 6, one pole. Images narrower or lower than 2 samples are left untouched.
void prefilterCubicBSpline(float* image, int32_t width, int32_t height);

// Gain 576, two poles, the first one completed along a line before the second.
void prefilterQuarticBSpline(float* image, int32_t width, int32_t height);

// Whether `interpolation` (an InterpolationType) reads B-spline coefficients.
bool isBSplineInterpolation(int interpolation);

// The coefficients of that kind's B-spline, in place; other kinds are left untouched.
void prefilterForInterpolation(int interpolation, float* image, int32_t width, int32_t height);

// Causal start and recursion of pole z on the n samples line[0], line[stride], ...
void bsplineCausalPass(float* line, int32_t n, int32_t stride, float z);

} // namespace tavro
