#pragma once
// The stages one correlation request runs, each with the work it is expected
// to take, so that its progress and time left follow what the stages cost.

#include <QString>

#include <vector>

#include "compute/computation_types.h"

namespace tavro::gui {

struct PlannedStage {
    QString name;  // the stage text the worker reports it under
    double work = 0.0;
};

namespace stage_names {
inline QString rigid() { return QStringLiteral("Global alignment (rigid)"); }
inline QString prepare() { return QStringLiteral("Preparing regions of interest"); }
inline QString pixelSearch() { return QStringLiteral("Integer-pixel search"); }
inline QString subpixel() { return QStringLiteral("Subpixel refinement"); }
inline QString neural() { return QStringLiteral("Neural correlation"); }
inline QString cracks() { return QStringLiteral("Crack detection (Steger ridges)"); }
inline QString strains() { return QStringLiteral("Computing strains (ε)"); }
}  // namespace stage_names

// In the order the worker runs them; only the stages the request will run.
std::vector<PlannedStage> computationPlan(const ComputationRequest& request);

}  // namespace tavro::gui
