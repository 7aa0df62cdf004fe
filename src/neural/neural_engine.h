#pragma once
// The neural correlation engine: refines an integer-pixel displacement field
// with the learned model, tile by tile, and samples the result on a grid.
//
// The four settings, in order (the window's defaults 0, 128, 80, 32):
//   [0] model version: 0 takes the weights file's model, any other value must
//       be that model's version;
//   [1] tile size in pixels: a multiple of 4 from 32 to 512;
//   [2] tile stride in pixels, from 1 to the tile size; the overlap
//       (size - stride) is blended with weights that taper towards tile edges;
//   [3] tiles per batch, from 1 to 256: how many tiles a device runs at once
//       (a model of version 2 or later runs each tile twice, in the same batch).
// The number of refinement iterations per tile is the one the model was
// trained for, from the weights file.

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/gpu_common.h"
#include "core/results.h"
#include "neural/weights_file.h"

namespace tavro::neural {

struct NeuralSettings {
    int32_t modelVersion = 0;
    int32_t tileSize = 128;
    int32_t tileStride = 80;
    int32_t tilesPerBatch = 32;
};

bool parseNeuralSettings(const std::array<int32_t, 4>& values, NeuralSettings& out, std::string& error);

// The output grid: the start grid's origin, the given steps, and as many
// points as fit between the origin and the symmetric margin on the far side.
// False when no point fits.
bool outputGrid(const GridDescriptor& start, int32_t width, int32_t height, int32_t stepX, int32_t stepY,
                GridDescriptor& out);

// (tiles done, total tiles); returning false stops the run.
using TileProgressCallback = std::function<bool(int64_t done, int64_t total)>;

// The start field at every pixel of a tile: bilinear between the start grid's
// points, constant beyond them. Points that hold no finite value, or that
// stand apart from all their neighbours, take the median of their neighbourhood.
class StartField {
public:
    StartField(const PixelDisplacementResult& start, const GridDescriptor& grid);
    void sample(double x, double y, float& u, float& v) const;

private:
    GridDescriptor grid_;
    std::vector<float> u_;
    std::vector<float> v_;
};

class NeuralEngine {
public:
    // An engine on `devices` with the model of `weightsPath`; null with `error`
    // when a device is not usable, the file is missing or corrupt, or
    // `modelSetting` asks for another model. `notice` names the model.
    static std::unique_ptr<NeuralEngine> create(const std::vector<int>& devices, int32_t modelSetting,
                                                const std::string& weightsPath, std::string& notice,
                                                std::string& error);

    const std::vector<int>& devices() const { return devices_; }
    const NeuralWeights& weights() const { return weights_; }

    // Refines `start` (on `startGrid`) over the width x height images and
    // fills `out` on the output grid of steps outStepX, outStepY. Tiles are
    // shared among the devices; false with `error` on failure or when
    // `progress` returned false.
    bool run(const ImageSource& reference, const ImageSource& deformed, int32_t width, int32_t height,
             const std::array<int32_t, 4>& settings, const PixelDisplacementResult& start,
             const GridDescriptor& startGrid, int32_t outStepX, int32_t outStepY, PixelDisplacementResult& out,
             const TileProgressCallback& progress, std::string& error) const;

private:
    NeuralEngine(std::vector<int> devices, NeuralWeights weights)
        : devices_(std::move(devices)), weights_(std::move(weights)) {}

    std::vector<int> devices_;
    NeuralWeights weights_;
};

} // namespace tavro::neural
