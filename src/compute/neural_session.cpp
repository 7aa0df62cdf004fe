#include "compute/neural_session.h"

#include <QCoreApplication>
#include <QFileInfo>

#include "neural/neural_engine.h"

namespace tavro::gui {
namespace {

class EngineSession : public NeuralSession {
public:
    explicit EngineSession(std::unique_ptr<neural::NeuralEngine> engine) : engine_(std::move(engine)) {}

    const std::vector<int>& devices() const override { return engine_->devices(); }

    bool run(const ImageSource& reference, const ImageSource& deformed, int32_t width, int32_t height,
             const std::array<int32_t, 4>& settings, const PixelDisplacementResult& pixel, const GridDescriptor& grid,
             int32_t stepX, int32_t stepY, PixelDisplacementResult& out, const TileProgress& progress,
             std::string& error) override {
        return engine_->run(reference, deformed, width, height, settings, pixel, grid, stepX, stepY, out, progress,
                            error);
    }

private:
    std::unique_ptr<neural::NeuralEngine> engine_;
};

} // namespace

std::string neuralWeightsPath() {
    if (QCoreApplication::instance()) {
        const QString beside =
            QCoreApplication::applicationDirPath() + QStringLiteral("/resources/neural/tavro_neural.weights");
        if (QFileInfo(beside).isFile()) return beside.toStdString();
    }
    return TAVRO_NEURAL_BUILD_WEIGHTS;
}

std::unique_ptr<NeuralSession> createNeuralSession(const std::vector<int>& devices, int32_t modelSetting,
                                                   std::string& notice, std::string& error) {
    std::unique_ptr<neural::NeuralEngine> engine =
        neural::NeuralEngine::create(devices, modelSetting, neuralWeightsPath(), notice, error);
    if (!engine) return nullptr;
    return std::make_unique<EngineSession>(std::move(engine));
}

} // namespace tavro::gui
