#include "compute/computation_types.h"

#include <algorithm>
#include <utility>

namespace tavro::gui {

std::shared_ptr<StrainResult> sharedEmptyStrainResult() {
    return std::const_pointer_cast<StrainResult>(emptyStrainResult());
}

std::shared_ptr<FractureResult> sharedEmptyFractureResult() {
    return std::const_pointer_cast<FractureResult>(emptyFractureResult());
}

ComputationResult::ComputationResult() { pointAtEmptyRecords(); }

ComputationResult::ComputationResult(ComputationResult&& other) noexcept
    : detail::ComputationResultData(std::move(other)) {
    other.pointAtEmptyRecords();
}

ComputationResult& ComputationResult::operator=(ComputationResult&& other) noexcept {
    if (this != &other) {
        detail::ComputationResultData::operator=(std::move(other));
        other.pointAtEmptyRecords();
    }
    return *this;
}

void ComputationResult::pointAtEmptyRecords() noexcept {
    displacements = emptyPixelDisplacementResult();
    strains = sharedEmptyStrainResult();
    fracture = sharedEmptyFractureResult();
}

GridDescriptor makeGridDescriptor(int32_t offsetX, int32_t offsetY, int32_t stepX, int32_t stepY,
                                  int32_t windowSizeX, int32_t windowSizeY, int32_t maxU, int32_t maxV,
                                  int32_t cols, int32_t rows) {
    GridDescriptor grid;
    grid.cols = cols;
    grid.rows = rows;
    grid.originX = windowSizeX / 2 + offsetX + maxV;
    grid.originY = windowSizeY / 2 + offsetY + maxU;
    grid.stepX = stepX > 0 ? stepX : 1;
    grid.stepY = stepY > 0 ? stepY : 1;
    return grid;
}

float strainSupportLength(const PixelSearchParams& params) {
    const int32_t reach = std::max({params.maxU, params.maxV, params.searchUp, params.searchDown, params.searchLeft,
                                    params.searchRight});
    if (reach < 1) return 0.0f;
    return static_cast<float>(std::max(params.windowSizeX, params.windowSizeY)) + 4.0f * static_cast<float>(reach);
}

} // namespace tavro::gui
