#pragma once
// Records in which the engine hands its results to the worker and the window.
// Fields of a grid are row-major float vectors of gridWidth x gridHeight values;
// NaN marks a point without a valid measurement, an empty vector a field that was
// not computed.

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/gpu_common.h"

namespace tavro {

struct PixelDisplacementResult {
    int32_t gridWidth = 0;
    int32_t gridHeight = 0;
    std::vector<float> dispX;  // pixels, positive to the right
    std::vector<float> dispY;  // pixels, positive downwards
    // First-order gradients (u horizontal, v vertical), only after a first-order refinement.
    std::vector<float> duDx;
    std::vector<float> duDy;
    std::vector<float> dvDx;
    std::vector<float> dvDy;

    PixelDisplacementResult() = default;
    PixelDisplacementResult(const PixelDisplacementResult& other);
    PixelDisplacementResult(PixelDisplacementResult&& other) noexcept = default;
    PixelDisplacementResult& operator=(const PixelDisplacementResult& other) = default;
    PixelDisplacementResult& operator=(PixelDisplacementResult&& other) noexcept = default;
    ~PixelDisplacementResult() = default;
};

// Small-strain fields; epsXY is the tensor shear, epsTresca (e1 - e2) / 2,
// rotation in degrees.
struct StrainResult {
    int32_t gridWidth = 0;
    int32_t gridHeight = 0;
    std::vector<float> epsXX;
    std::vector<float> epsYY;
    std::vector<float> epsXY;
    std::vector<float> epsI;
    std::vector<float> epsII;
    std::vector<float> epsVonMises;
    std::vector<float> epsTresca;
    std::vector<float> rotation;
    // Carried for the custom-kernel strain entry, which decides its content.
    std::vector<float> auxiliary;
    std::map<std::string, std::vector<float>> criteria;
};

// Fields of a displacement discontinuity, addressed by index.
struct FractureResult {
    static constexpr int kFieldCount = 15;
    // Indices of the fields the window shows as crack maps; 5 to 10 belong to
    // the stages that write them. Image axes: x to the right, y downwards.
    // alpha is the crack's angle counter-clockwise as seen on screen: tangent
    // (cos alpha, -sin alpha), normal n = (sin alpha, cos alpha) in image axes.
    // Every point of one crack has the same n, the crack's mean alpha lies in
    // (-90, 90], and a point's alpha within 90 degrees of that mean, so near
    // +-90 it may pass beyond. The opening is the displacement of the side n
    // points to minus the other side's, in image axes; beta = atan2(opening y,
    // opening x) is therefore clockwise as seen on screen. phi is the line's
    // offset from the point along n.
    enum Field : int {
        OpeningX = 0,          // pixels
        OpeningY = 1,          // pixels
        OpeningIntensity = 2,  // pixels
        CrackAngle = 3,        // alpha, degrees
        OpeningDirection = 4,  // beta, degrees
        CrackPosition = 11,    // phi, pixels
        Longitudinal = 12,     // the opening along the tangent (screw), pixels
        Transverse = 13,       // ... along n (edge), pixels
        RelativeAngle = 14,    // from n to the opening, counter-clockwise on screen, degrees
    };

    int32_t gridWidth = 0;
    int32_t gridHeight = 0;
    std::array<std::vector<float>, kFieldCount> fields;
};

struct RigidRegistrationResult {
    float shiftX = 0.0f;  // whole pixels
    float shiftY = 0.0f;
    float peakRatio = 0.0f;  // correlation peak over mean correlation, 0 when undefined
};

// Integer-pixel displacements kept on the device between the pixel search and
// the sub-pixel refinement; the leases keep both buffers in use meanwhile.
struct DevicePixelDisplacements {
    int32_t gridWidth = 0;
    int32_t gridHeight = 0;
    float* dDispX = nullptr;
    float* dDispY = nullptr;
    DeviceBufferPool::Lease leaseX;
    DeviceBufferPool::Lease leaseY;

    DevicePixelDisplacements() = default;
    // A moved-from record is reset: it must not keep pointers into buffers it no longer owns.
    DevicePixelDisplacements(DevicePixelDisplacements&& other) noexcept;
    DevicePixelDisplacements& operator=(DevicePixelDisplacements&& other) noexcept;
    DevicePixelDisplacements(const DevicePixelDisplacements&) = delete;
    DevicePixelDisplacements& operator=(const DevicePixelDisplacements&) = delete;
    ~DevicePixelDisplacements() = default;

    // Releases both leases; empty grid, null pointers.
    void reset() noexcept;
};

// Where the grid points of a pixel result lie in region-of-interest coordinates:
// point (i, j) at (originX + i * stepX, originY + j * stepY).
struct GridDescriptor {
    int32_t cols = 0;
    int32_t rows = 0;
    int32_t originX = 0;
    int32_t originY = 0;
    int32_t stepX = 1;
    int32_t stepY = 1;
};

// One shared empty record of each kind, alive until exit; result holders point
// at them instead of holding null.
const std::shared_ptr<const PixelDisplacementResult>& emptyPixelDisplacementResult();
const std::shared_ptr<const StrainResult>& emptyStrainResult();
const std::shared_ptr<const FractureResult>& emptyFractureResult();

} // namespace tavro

namespace tavro::gui {

// Copy on write: makes `result` the sole owner of a record that is not the shared
// empty instance and returns that record, ready to be changed.
FractureResult* detachFractureResult(std::shared_ptr<FractureResult>& result);

} // namespace tavro::gui
