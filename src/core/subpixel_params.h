#pragma once
// Settings of the sub-pixel refinement. The record is passed by value to the
// refinement kernel, so it stays a plain, trivially copyable struct.

#include <cstdint>

namespace tavro {

enum class InterpolationType : int32_t {
    Bilinear = 0,
    Bicubic = 1,
    CubicBSpline = 2,
    QuarticBSpline = 3,
};

struct SubpixelParams {
    int32_t maxIterations = 35;          // Gauss-Newton iterations per point, at least 1
    float convergenceTolerance = 1e-6f;  // a point stops once |increment|^2 < tolerance^2
    int32_t interpolation = 0;           // an InterpolationType; other values interpolate 0
    bool affine = true;                  // also solve du/dx, du/dy, dv/dx, dv/dy
    bool heaviside = false;              // route through the discontinuity-enriched engine
    bool enableTwinning = false;         // read only by the discontinuity engine
    int32_t engineOption = 1;            // read only by the discontinuity engine
    float maxJumpInit = 0.0f;            // pixels, 0 automatic; read only by the discontinuity engine
    bool enableNLC = false;              // the images went through the NLC filter; read by the worker
};

} // namespace tavro
