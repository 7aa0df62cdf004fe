#pragma once
// Launch interface of the discontinuity-enriched refinement kernel, used by
// the engine's host side (core/rupture_subpixel.cpp).

#include <cstddef>
#include <cstdint>

#include "core/subpixel_params.h"
#include "gpu/runtime_base.h"

namespace tavro::detail {

// A first-order warp: displacement (u, v) at the subset centre and the
// gradients du/dx, du/dy, dv/dx, dv/dy, in the order of the sub-pixel fields.
constexpr int kWarpFloats = 6;

// What the host gives each point: the continuous warp of the first pass, two
// starting warps for the two sides of a crack, taken from grid points on either
// side of it (the kernel finds out which side each belongs to), and how far
// (px) a fit may move a sample from the mean of those two before the point
// counts as leaving the image; the strips hold every such position. A point
// whose first side warp is NaN is only measured: the noise energy of its
// subset under the continuous warp (kResultNoiseEnergy).
enum RuptureSeedSlot : int {
    kSeedContinuous = 0,
    kSeedSideA = kWarpFloats,
    kSeedSideB = 2 * kWarpFloats,
    kSeedReach = 3 * kWarpFloats,
    kSeedFloats = 3 * kWarpFloats + 1,
};

// What the kernel answers per point. Angles follow the crack views: the crack's
// tangent is (cos a, -sin a) in image axes (a counter-clockwise on screen, in
// (-90, 90]), its normal n = (sin a, cos a); a subset sample at offset x from
// the centre lies on the positive side when n.x > phi; the jump is the
// positive side's displacement minus the negative side's. The host may turn
// a whole crack round afterwards (orientCracks), which takes its angles beyond
// (-90, 90] near +-90.
enum RuptureResultSlot : int {
    kResultWarp = 0, // the model's warp at the centre, on the centre's side
    kResultJumpX = 6,
    kResultJumpY = 7,
    kResultAngle = 8,    // degrees
    kResultPosition = 9, // phi, pixels
    kResultMinusU = 10,  // displacement of each side extrapolated to the centre
    kResultMinusV = 11,
    kResultPlusU = 12,
    kResultPlusV = 13,
    kResultEnrichedCost = 14,   // zero-normalised SSD of the enriched model ...
    kResultContinuousCost = 15, // ... and of the continuous warp, on the same samples
    kResultJumpChi2 = 16,       // |j|^2 over its variance (Mahalanobis)
    kResultSmoothChi2 = 17,   // cost of a second-order continuous warp minus the enriched one, over the noise variance
    kResultSideFraction = 18, // the smaller side's share of the subset in the fit
    kResultNoiseEnergy = 19,  // a measured point's residual energy per sample (grey levels^2)
    kResultStatus = 20,       // kStatus*
    kResultCostExcess = 21,   // the enriched cost over what the given noise energy alone leaves (0: not given)
    kResultUnsettledStep = 22, // px: the last fit's last increment when its iterations ran out, else 0
    kResultFairCostShare = 23, // the enriched cost over the continuous one, both as if sampled at whole pixels
    kResultFloats = 24,
};

constexpr float kStatusSolved = 0.0f;
constexpr float kStatusFailed = 1.0f;
constexpr float kStatusMeasured = 2.0f;

struct RuptureKernelArgs {
    const float* reference = nullptr; // reference rows [referenceRow0, referenceRow0 + referenceRows)
    int32_t referenceRow0 = 0;
    int32_t referenceRows = 0;
    cudaTextureObject_t texture = 0; // deformed rows from deformedRow0 (B-spline coefficients for those kinds)
    int32_t deformedRow0 = 0;
    int32_t deformedRows = 0;
    int32_t width = 0;
    int32_t height = 0; // of the whole image: the reference gradients clamp at its border
    int32_t windowSizeX = 0;
    int32_t windowSizeY = 0;
    int32_t stepX = 1;
    int32_t stepY = 1;
    int32_t gridWidth = 0;
    int32_t marginX = 0;
    int32_t marginY = 0;
    SubpixelParams params;
    // Residual energy per sample (grey levels^2) that noise leaves under a
    // right warp sampling whole pixels; it scales the jump's variance. 0: from
    // each fit's own residual.
    float noiseEnergy = 0.0f;
    const int64_t* points = nullptr; // grid index of each block's point
    const float* seeds = nullptr;    // kSeedFloats per point
    float* results = nullptr;        // kResultFloats per point
    float* scratch = nullptr;        // ruptureScratchFloats per point, or null for dynamic shared memory
};

int ruptureBlockThreads(int64_t windowSamples);
// Per-point working set: the normalised reference, its gradients and three sample buffers.
int64_t ruptureScratchFloats(int64_t windowSamples);
size_t ruptureStaticSharedBytes();
cudaError_t setRuptureMaxDynamicShared(size_t bytes);

// One block per point for points [0, count) of the arrays in `args`.
cudaError_t launchRuptureRefine(const RuptureKernelArgs& args, int64_t count, size_t dynamicShared);

#if !TAVRO_GENERIC_KERNEL && !defined(TAVRO_USE_CUDA)
// For tests of the CPU build: the scan's cost of every line of a grid over a
// subset's per-sample contrast, angle by angle (alpha0 + i alphaStep, radians)
// and within an angle position by position (phi0 + k phiStep), either as the
// kernel's CPU branch scores a whole grid or one line at a time as the
// generic branch does.
void ruptureScanCosts(const float* contrast, int windowSizeX, int windowSizeY, float alpha0, float alphaStep,
                      int alphaCount, float phi0, float phiStep, int phiCount, bool batched, float* costs);
#endif

} // namespace tavro::detail
