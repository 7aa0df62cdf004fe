#include "compute/kinematic_models.h"

#include <gtest/gtest.h>

namespace tavro::gui {
namespace {

TEST(KinematicModels, NamesAndPropertiesOfTheFiveModelsAndOfUnknownIndices) {
    struct Row {
        int model;
        const char* name;
        bool gradients, heaviside, neural;
    };
    const Row table[] = {
        {0, "Translations", false, false, false},
        {1, "Translations + 1st order gradients", true, false, false},
        {2, "Translations + 1st order gradients + Heaviside enrichment", true, true, false},
        {3, "Translations + Heaviside enrichment", false, true, false},
        {4, "Neural correlation (Zu-DIC)", false, false, true},
        // Unknown indices, e.g. from a newer project file, read as plain translations.
        {-1, "Translations", false, false, false},
        {5, "Translations", false, false, false},
    };
    for (const Row& row : table) {
        EXPECT_EQ(shapeFunctionName(row.model), QString::fromUtf8(row.name)) << row.model;
        EXPECT_EQ(hasGradientTerms(row.model), row.gradients) << row.model;
        EXPECT_EQ(hasHeavisideTerm(row.model), row.heaviside) << row.model;
        EXPECT_EQ(isNeuralModel(row.model), row.neural) << row.model;
    }
}

} // namespace
} // namespace tavro::gui
