#pragma once
// Tile positions that agree best with the measured pair offsets: weighted
// least squares over the tile graph, a weak pull towards the nominal grid and
// robust re-weighting of pairs that disagree with the rest.

#include <functional>
#include <vector>

namespace tavro::stitching {

struct PairEdge {
    int a = 0;
    int b = 0;
    double dx = 0.0;  // measured position of b minus that of a
    double dy = 0.0;
    double weight = 0.0;  // 0 leaves the pair out
};

struct PlacementSettings {
    double priorWeight = 1e-3;  // of the nominal position, relative to a pair of weight 1
    int robustIterations = 10;
    double robustScalePx = 2.5;
    double cutoffScales = 3.5;
    double maxResidualPx = 50.0;
    int solverIterations = 50;
    double tolerancePx = 0.01;
    bool robust = true;
};

// nominal: x, y per tile. Returns the positions (x, y per tile) and the final
// weight of every edge in `finalWeights`. False when cancelled.
bool solvePlacement(const std::vector<double>& nominalX, const std::vector<double>& nominalY,
                    const std::vector<PairEdge>& edges, const PlacementSettings& settings, std::vector<double>& x,
                    std::vector<double>& y, std::vector<double>& finalWeights, const std::function<bool()>& cancel);

}  // namespace tavro::stitching
