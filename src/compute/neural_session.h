#pragma once
// The worker's handle on the neural correlation engine: a session bound to a
// list of devices, kept between requests, that refines an integer-pixel field on
// the user's grid.

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "compute/computation_types.h"
#include "core/gpu_common.h"
#include "core/results.h"

namespace tavro::gui {

// (tiles done, total tiles); returning false asks the run to stop.
using TileProgress = std::function<bool(int64_t done, int64_t total)>;

class NeuralSession {
public:
    virtual ~NeuralSession() = default;

    // The device ordinals the session was created for, in that order.
    virtual const std::vector<int>& devices() const = 0;

    // Fills `out` from the two width x height region-of-interest images and the
    // integer-pixel result `pixel`, whose points `grid` places. `out` lies on
    // the grid of the descriptor's origin and the user's steps stepX, stepY. A
    // stopped or failed run returns false with `error` set.
    virtual bool run(const ImageSource& reference, const ImageSource& deformed, int32_t width, int32_t height,
                     const std::array<int32_t, 4>& settings, const PixelDisplacementResult& pixel,
                     const GridDescriptor& grid, int32_t stepX, int32_t stepY, PixelDisplacementResult& out,
                     const TileProgress& progress, std::string& error) = 0;
};

// A session for `devices` with the engine's first setting, or null with `error`
// set. `notice`, when not empty on success, is shown to the user once.
std::unique_ptr<NeuralSession> createNeuralSession(const std::vector<int>& devices, int32_t modelSetting,
                                                   std::string& notice, std::string& error);

// Where the model's weights are read: resources/neural/tavro_neural.weights
// beside the executable when present, else the build tree's copy.
std::string neuralWeightsPath();

using NeuralSessionFactory = std::function<std::unique_ptr<NeuralSession>(
    const std::vector<int>& devices, int32_t modelSetting, std::string& notice, std::string& error)>;

} // namespace tavro::gui
