#pragma once
// The refinement network on one device: a small U-shaped convolutional network
// that takes the normalised reference tile and the normalised deformed tile
// warped by the current estimate, and returns a per-pixel residual
// displacement (u, v) in pixels. Model version 1 applies that answer as it
// is; version 2 (same layers) applies its antisymmetric part,
// 0.5 * (net(reference, warped) - net(warped, reference)), which turns round
// exactly when the tiles are swapped and is 0 for identical tiles.
//
//   full  : c1 2->12                      -> f1
//   half  : c2 12->24, c3 24->24          -> f2        (input: mean of 2x2 of f1)
//   4th   : c4 24->32, c5, c6 32->32                   (input: mean of 2x2 of f2)
//   half  : c7 [up(c6) 32 | f2 24] -> 24
//   full  : c8 [up(c7) 24 | f1 12] -> 12, c9 12->2 (no activation)
// All 3x3, zero padding, leaky ReLU (slope 0.1) after every layer but c9.

#include <array>
#include <string>
#include <vector>

#include "core/gpu_common.h"
#include "neural/inference_kernels.h"
#include "neural/weights_file.h"

namespace tavro::neural {

inline constexpr float kLeakySlope = 0.1f;
inline constexpr int kModelLayers = 9;
inline constexpr uint32_t kLatestModelVersion = 2;

// Whether a model's residual is the antisymmetric part of two passes.
inline bool antisymmetricModel(uint32_t modelVersion) { return modelVersion >= 2; }
// Two halvings: tile sizes are multiples of this.
inline constexpr int kTileGranularity = 4;

const std::array<LayerShape, kModelLayers>& modelLayerShapes();

// False with `error` when `weights` is not a model this engine can run.
bool checkModelLayout(const NeuralWeights& weights, std::string& error);

class RefineNetwork {
public:
    // Device buffers for `batch` tiles of size x size; weights uploaded to the
    // current device. Returns false with `error` on a device failure.
    bool prepare(const NeuralWeights& weights, int size, int batch, std::string& error);

    int size() const { return size_; }
    int batch() const { return batch_; }

    // The input tensor (2 channels: reference, warped deformed) the caller fills.
    float* input() const { return input_; }
    // Runs the network on the first `count` tiles of the input; the residual
    // (u then v per tile, batch stride 2 * size * size) is at residual().
    cudaError_t forward(int count) const;
    float* residual() const { return residual_; }

    // Device bytes prepare() needs for these sizes, weights excluded.
    static uint64_t activationBytes(int size, int batch);

private:
    struct DeviceLayer {
        const float* weights = nullptr;
        const float* biases = nullptr;
        LayerShape shape;
    };
    cudaError_t layer(int index, ConstTensorView in, TensorView out, int height, int width, int count,
                      bool activate) const;

    std::vector<DeviceBufferPool::Lease> leases_;
    std::array<DeviceLayer, kModelLayers> layers_{};
    int size_ = 0;
    int batch_ = 0;
    float* input_ = nullptr;
    float* f1cat_ = nullptr;    // full: [up(c7) 24 | f1 12]
    float* pooled1_ = nullptr;  // half: 12
    float* h2_ = nullptr;       // half: 24 (c2, later c7)
    float* f2cat_ = nullptr;    // half: [up(c6) 32 | f2 24]
    float* pooled2_ = nullptr;  // quarter: 24
    float* q1_ = nullptr;       // quarter: 32
    float* q2_ = nullptr;       // quarter: 32
    float* g_ = nullptr;        // full: 12
    float* residual_ = nullptr; // full: 2
};

} // namespace tavro::neural
