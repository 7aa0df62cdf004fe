#pragma once
// Out-of-plane displacement from two height maps of one surface and the
// in-plane displacement field between them, on the current CUDA device.

#include <cstdint>
#include <string>
#include <vector>

#include "core/gpu_common.h"

namespace tavro {

struct HeightEngineResult {
    // u_z and the reference heights carried to the deformed frame, both of the
    // height-map size, row-major; NaN where no value could be formed.
    std::vector<float> uz;
    std::vector<float> deformedH0;
    int32_t width = 0;
    int32_t height = 0;
    // Of the finite u_z values; both 0 when there is none.
    float minUz = 0.0f;
    float maxUz = 0.0f;
    bool success = false;
    std::string error;
};

// For every pixel x of the deformed frame the reference point X with
// x = X + u(X) is found by fixed-point iteration on (ux, uy) sampled
// bilinearly; then deformedH0(x) = h0(X) (Catmull-Rom, bilinear next to NaN)
// and uz(x) = h1(x) - h0(X). NaN where X leaves the map or the iteration does
// not settle. All four arrays hold size.width * size.height values; ux and uy
// are in height-map pixels with any rigid shift already removed.
bool computeOutOfPlaneGpu(const float* h0, const float* h1, const float* ux, const float* uy, ImageSize size,
                          HeightEngineResult* out);

} // namespace tavro
