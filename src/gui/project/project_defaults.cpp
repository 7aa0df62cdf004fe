#include "gui/project/project_parameters.h"

namespace tavro::gui {

std::vector<NamedKernel> builtinDerivativeKernels() {
    return {{"Order 2", {-0.5f, 0.0f, 0.5f}},
            {"Order 4", {1.0f / 12, -2.0f / 3, 0.0f, 2.0f / 3, -1.0f / 12}},
            {"Order 6", {-1.0f / 60, 3.0f / 20, -3.0f / 4, 0.0f, 3.0f / 4, -3.0f / 20, 1.0f / 60}}};
}

std::vector<NamedKernel> builtinSmoothingKernels() {
    return {{"None", {}}, {"Sobel", {1.0f, 2.0f, 1.0f}}, {"Prewitt", {1.0f, 1.0f, 1.0f}}};
}

std::vector<StrainCriterion> defaultStrainCriteria() {
    return {{"Von Mises", "sqrt(2/3 * (eI**2 + eII**2 - eI*eII))", true}, {"Max Shear", "(eI - eII)/2", false}};
}

}  // namespace tavro::gui
