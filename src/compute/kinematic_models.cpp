#include "compute/kinematic_models.h"

namespace tavro::gui {

QString shapeFunctionName(int model) {
    switch (model) {
    case 1:
        return QStringLiteral("Translations + 1st order gradients");
    case 2:
        return QStringLiteral("Translations + 1st order gradients + Heaviside enrichment");
    case 3:
        return QStringLiteral("Translations + Heaviside enrichment");
    case 4:
        return QStringLiteral("Neural correlation (Zu-DIC)");
    default:
        return QStringLiteral("Translations");
    }
}

bool hasGradientTerms(int model) { return model >= 1 && model < 3; }

bool hasHeavisideTerm(int model) { return model >= 2 && model < 4; }

bool isNeuralModel(int model) { return model == 4; }

int defaultComputationModeId() { return 1; }

} // namespace tavro::gui
