#include "compute/crack_detection.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

#include "compute/crack_lines.h"
#include "compute/worker_conversions.h"

namespace tavro::gui {
namespace {

constexpr float kRasterRadiusPx = 4.0f;

} // namespace

FractureResult detectCracks(const PixelDisplacementResult& displacements, int32_t stepX, int32_t windowSizeX) {
    FractureResult result;
    result.gridWidth = displacements.gridWidth;
    result.gridHeight = displacements.gridHeight;
    const size_t n = size_t(std::max(displacements.gridHeight, 0)) * size_t(std::max(displacements.gridWidth, 0));
    if (n == 0 || displacements.dispX.size() != n || displacements.dispY.size() != n) return result;

    CrackLineParameters params;
    params.stepX = std::max(stepX, 1);
    params.windowSize = windowSizeX > 0 ? windowSizeX : 41;
    params.smoothingSigma = 4.0f / float(params.stepX);
    CrackGridView view;
    view.gridWidth = displacements.gridWidth;
    view.gridHeight = displacements.gridHeight;
    view.dispX = displacements.dispX.data();
    view.dispY = displacements.dispY.data();
    const CrackLineSet lines = extractCrackLines(extractCrackLines(view, params), params);
    if (lines.empty() || lines.jumpA.empty()) return result;

    // Per-point crack record: the slip decomposition works on any common length.
    FractureResult points;
    const size_t count = lines.size();
    for (int f : {0, 1, 2, 3, 4}) points.fields[size_t(f)].resize(count);
    for (size_t i = 0; i < count; ++i) {
        const float a = lines.jumpA[i], b = lines.jumpB[i], c = lines.cosine[i], d = lines.sine[i];
        const float x = c * a - d * b;
        const float y = c * b + d * a;
        points.fields[FractureResult::OpeningX][i] = x;
        points.fields[FractureResult::OpeningY][i] = y;
        points.fields[FractureResult::OpeningIntensity][i] = std::sqrt(a * a + b * b);
        points.fields[FractureResult::CrackAngle][i] = lines.alpha[i];
        points.fields[FractureResult::OpeningDirection][i] =
            float(std::atan2(double(y), double(x)) * 180.0 / 3.14159265358979);
    }
    computeSlipDecomposition(points);

    for (int f : {int(FractureResult::OpeningX), int(FractureResult::OpeningY), int(FractureResult::OpeningIntensity),
                  int(FractureResult::CrackAngle), int(FractureResult::OpeningDirection),
                  int(FractureResult::Longitudinal), int(FractureResult::Transverse),
                  int(FractureResult::RelativeAngle)})
        result.fields[size_t(f)] = makeNanField(lines, points.fields[size_t(f)], result.gridWidth, result.gridHeight,
                                                kRasterRadiusPx, params);
    return result;
}

} // namespace tavro::gui
