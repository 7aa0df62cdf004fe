#include "compute/computation_plan.h"

#include <algorithm>

namespace tavro::gui {
namespace {

double gridPoints(const QRect& roi, int stepX, int stepY) {
    const double columns = double(roi.width()) / std::max(1, stepX) + 1.0;
    const double rows = double(roi.height()) / std::max(1, stepY) + 1.0;
    return columns * rows;
}

}  // namespace

// The costs per unit were measured on the CPU build with the benchmark
// (windows 21 to 61 px, ranges 5 to 15 px): the hierarchical search grows with
// the window and slowly with the range; a refinement has a cost per point
// beside the one per window pixel; registration and strains are cheap.
std::vector<PlannedStage> computationPlan(const ComputationRequest& request) {
    const PixelSearchParams& p = request.pixelSearch;
    const double pixels = double(request.roi.width()) * double(request.roi.height());
    const double imagePixels = double(request.reference.width()) * double(request.reference.height());
    const double windowPixels = double(std::max(1, p.windowSizeX)) * double(std::max(1, p.windowSizeY));
    const double range = double(std::max(p.maxU, p.maxV));
    const double searchPoints = gridPoints(request.roi, p.stepX, p.stepY);

    std::vector<PlannedStage> plan;
    plan.push_back({stage_names::rigid(), 20.0 * imagePixels});
    plan.push_back({stage_names::prepare(), 2.0 * pixels});
    plan.push_back({stage_names::pixelSearch(), searchPoints * windowPixels * (20.0 + range)});
    const double userPoints =
        request.neuralCorrelation ? gridPoints(request.roi, request.userStepX, request.userStepY) : searchPoints;
    if (request.neuralCorrelation) {
        plan.push_back({stage_names::neural(), 5.0 * userPoints * (1000.0 + windowPixels)});
        plan.push_back({stage_names::cracks(), 300.0 * userPoints});
    } else {
        const double passes = request.subpixel.heaviside ? 2.0 : 1.0;
        plan.push_back({stage_names::subpixel(), passes * 5.0 * userPoints * (1000.0 + windowPixels)});
    }
    if (request.computeStrains) plan.push_back({stage_names::strains(), 300.0 * userPoints});
    return plan;
}

}  // namespace tavro::gui
