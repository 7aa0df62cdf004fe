#pragma once
// Kinematic models (shape functions) of the sub-pixel refinement, chosen by an
// integer index; the predicates derive the refinement settings of a request.

#include <QString>

namespace tavro::gui {

// 0 translations, 1 with first-order gradients, 2 gradients and Heaviside
// enrichment, 3 translations and Heaviside enrichment, 4 neural correlation.
// Any other index reads as model 0.
QString shapeFunctionName(int model);
bool hasGradientTerms(int model);
bool hasHeavisideTerm(int model);
bool isNeuralModel(int model);

// The model selected in a new window.
int defaultComputationModeId();

} // namespace tavro::gui
