#pragma once
// The strain settings the main window keeps and copies into each strain task.
// Plain data without Qt, so that the engine can read it.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace tavro::gui {

// A user strain criterion: a named formula over the strain components.
struct StrainCriterion {
    std::string name;
    std::string expression;
    bool enabled = true;
};

// The active derivative and smoothing kernels of the strain computation.
struct GradientKernelSettings {
    // 0 at construction; the window sets 5 once a kernel selection has been applied.
    int32_t kernelCode = 0;
    // Odd length 2a + 1; the first coefficient weighs the sample at offset -a.
    std::vector<float> derivativeCoefficients{-0.5f, 0.0f, 0.5f};
    // Odd length or empty (no smoothing).
    std::vector<float> smoothingCoefficients;
    std::string derivativeKernelName = "Centered Order 2";
};

struct StrainSettings : GradientKernelSettings {
    // Window-side switches; the engine never reads them.
    std::array<bool, 3> flags{true, true, true};
    std::vector<StrainCriterion> criteria;
    // Only decide whether the custom-kernel entry zero-fills the result's auxiliary field.
    int32_t auxiliaryMode = 0;
    std::string auxiliaryText;
    // Displacements whose magnitude exceeds this (pixels) are treated as missing; 0 disables the test.
    float supportLength = 0.0f;
};

} // namespace tavro::gui
