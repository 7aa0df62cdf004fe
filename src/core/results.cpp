#include "core/results.h"

#include <utility>

namespace tavro {

// Out of line so that the window's std::make_shared copies share one definition.
PixelDisplacementResult::PixelDisplacementResult(const PixelDisplacementResult& other)
    : gridWidth(other.gridWidth),
      gridHeight(other.gridHeight),
      dispX(other.dispX),
      dispY(other.dispY),
      duDx(other.duDx),
      duDy(other.duDy),
      dvDx(other.dvDx),
      dvDy(other.dvDy) {}

DevicePixelDisplacements::DevicePixelDisplacements(DevicePixelDisplacements&& other) noexcept
    : gridWidth(other.gridWidth),
      gridHeight(other.gridHeight),
      dDispX(other.dDispX),
      dDispY(other.dDispY),
      leaseX(std::move(other.leaseX)),
      leaseY(std::move(other.leaseY)) {
    other.reset();
}

DevicePixelDisplacements& DevicePixelDisplacements::operator=(DevicePixelDisplacements&& other) noexcept {
    if (this == &other) return *this;
    gridWidth = other.gridWidth;
    gridHeight = other.gridHeight;
    dDispX = other.dDispX;
    dDispY = other.dDispY;
    leaseX = std::move(other.leaseX);
    leaseY = std::move(other.leaseY);
    other.reset();
    return *this;
}

void DevicePixelDisplacements::reset() noexcept {
    leaseX.release();
    leaseY.release();
    dDispX = nullptr;
    dDispY = nullptr;
    gridWidth = 0;
    gridHeight = 0;
}

const std::shared_ptr<const PixelDisplacementResult>& emptyPixelDisplacementResult() {
    static const std::shared_ptr<const PixelDisplacementResult> empty = std::make_shared<const PixelDisplacementResult>();
    return empty;
}

const std::shared_ptr<const StrainResult>& emptyStrainResult() {
    static const std::shared_ptr<const StrainResult> empty = std::make_shared<const StrainResult>();
    return empty;
}

const std::shared_ptr<const FractureResult>& emptyFractureResult() {
    static const std::shared_ptr<const FractureResult> empty = std::make_shared<const FractureResult>();
    return empty;
}

} // namespace tavro

namespace tavro::gui {

FractureResult* detachFractureResult(std::shared_ptr<FractureResult>& result) {
    // A null holder would hand the caller nothing to write into; give it a record.
    if (!result) {
        result = std::make_shared<FractureResult>();
        return result.get();
    }
    if (result.use_count() < 2 && result.get() != emptyFractureResult().get()) return result.get();
    result = std::make_shared<FractureResult>(*result);
    return result.get();
}

} // namespace tavro::gui
