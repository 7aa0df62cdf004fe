#include "compute/neural_session.h"

namespace tavro::gui {

std::unique_ptr<NeuralSession> createNeuralSession(const std::vector<int>&, int32_t, std::string& notice,
                                                   std::string& error) {
    notice.clear();
    error = "The neural correlation engine is not included in this build.";
    return nullptr;
}

} // namespace tavro::gui
