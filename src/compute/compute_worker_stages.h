#pragma once
// The stages of one computation, as ComputeWorker::startComputation runs them.

#include <QElapsedTimer>
#include <QImage>
#include <QString>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "compute/computation_types.h"
#include "compute/neural_session.h"
#include "compute/progress_text.h"
#include "compute/streamed_nlc.h"
#include "core/results.h"
#include "core/subpixel_search.h"

namespace tavro::gui {

class ComputeWorker;

namespace detail {

struct WorkerContext {
    ComputeWorker& worker;
    std::atomic<bool>& cancelFlag;
    std::unique_ptr<NeuralSession>& session;
    const NeuralSessionFactory& sessionFactory;
    // Set once the request's terminal signal has been emitted.
    bool& finished;
};

// Working state of one request. Every stage returns false once it has ended
// the request with its terminal signal.
class WorkerPipeline {
public:
    WorkerPipeline(WorkerContext context, const ComputationRequest& request);
    // The progress callbacks hold on to this object.
    WorkerPipeline(const WorkerPipeline&) = delete;
    WorkerPipeline& operator=(const WorkerPipeline&) = delete;

    void run();

private:
    bool validate();
    bool selectDevice();
    void startResult();
    bool alignRigidly();
    bool prepareSources();
    bool prepareWholeBuffers(const QRect& referenceBand, const QRect& deformedBand, bool nlc);
    bool searchIntegerPixels();
    bool refineSubpixel();
    bool refineWithDiscontinuity();
    bool runSubpixel(const SubpixelParams& params, PixelDisplacementResult& out, const SubpixelProgress& progress,
                     std::string& error);
    bool correlateNeurally();
    bool detectNeuralCracks();
    bool finishDisplacements();
    bool computeStrains();
    void succeed();

    bool fail(const QString& status, const std::string& details = {});
    // Cancelled when the flag is set (the engine stopped because of it), else failed.
    bool failUnlessCancelled(const QString& status, const std::string& details);
    bool continueUnlessCancelled();
    bool continueUnlessStreamedNlcFailed();
    bool stopCancelled();

    GridDescriptor gridOf(int32_t cols, int32_t rows) const;

    WorkerContext context_;
    const ComputationRequest& request_;
    QElapsedTimer timer_;
    ProgressReporter reporter_;
    ComputationResult result_;
    RigidRegistrationResult rigid_;
    ImageSize size_;
    std::vector<float> referenceBuffer_;
    std::vector<float> deformedBuffer_;
    ImageSource reference_;
    ImageSource deformed_;
    bool maskUsed_ = false;
    QImage maskView_;
    const uint8_t* mask_ = nullptr;
    int maskStride_ = 0;
    int maskRows_ = 0;
    std::shared_ptr<StreamedNlcState> nlcState_;
    DevicePixelDisplacements devicePixels_;
    PixelDisplacementResult hostPixels_;
    PixelDisplacementResult refined_;
    int32_t stepX_ = 1;
    int32_t stepY_ = 1;
};

} // namespace detail
} // namespace tavro::gui
