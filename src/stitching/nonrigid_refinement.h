#pragma once
// Smooth per-tile corrections on top of the translations, fitted to the local
// displacements that remain in the overlaps once the tiles are placed.

#include <QImage>
#include <QList>
#include <QString>

#include <functional>
#include <vector>

#include "stitching/global_placement.h"
#include "stitching/stitching_records.h"

namespace tavro::stitching {

struct RefinementReport {
    QString summary;
    int samples = 0;
    double rmsBeforePx = 0.0;
    double rmsAfterPx = 0.0;
};

// positions: the present tiles, positions[i] for tiles[i]; edges and weights:
// the registered pairs and their final weights (pairs of weight 0 are not
// sampled). Fills one correction per tile. False when cancelled.
bool refineNonRigid(const std::vector<QImage>& tiles, const QList<TilePosition>& positions,
                    const std::vector<PairEdge>& edges, const std::vector<double>& weights,
                    const StitchingOptions& options, QList<TileCorrection>& corrections, RefinementReport& report,
                    const std::function<bool()>& cancel);

}  // namespace tavro::stitching
