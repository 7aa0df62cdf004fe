#include "compute/compute_worker_stages.h"

#include <algorithm>
#include <tuple>
#include <utility>

#include "compute/computation_plan.h"
#include "compute/compute_worker.h"
#include "compute/crack_detection.h"
#include "compute/worker_conversions.h"
#include "core/global_registration.h"
#include "core/gpu_discovery.h"
#include "core/multi_gpu.h"
#include "core/nlc_filter.h"
#include "core/pixel_search.h"
#include "core/rupture_subpixel.h"
#include "core/strain.h"

namespace tavro::gui::detail {
namespace {

constexpr int kNlcRadius = 1;

const QString kRigidStage = stage_names::rigid();
const QString kPrepareStage = stage_names::prepare();
const QString kPixelStage = stage_names::pixelSearch();
const QString kSubpixelStage = stage_names::subpixel();
const QString kNeuralStage = stage_names::neural();
const QString kCrackStage = stage_names::cracks();
const QString kStrainStage = stage_names::strains();

std::vector<int> neuralDevices(bool multiGpu) {
    if (multiGpu) {
        const std::vector<GpuInfo> gpus = enumerateGpus();
        if (gpus.size() >= 2) {
            std::vector<int> ids;
            for (const GpuInfo& gpu : gpus) ids.push_back(gpu.deviceId);
            return ids;
        }
        if (!gpus.empty()) return {gpus.front().deviceId};
    }
    return {currentCudaDevice()};
}

} // namespace

WorkerPipeline::WorkerPipeline(WorkerContext context, const ComputationRequest& request)
    : context_(context),
      request_(request),
      reporter_(
          progressPrefix(request.imageIndex, request.imageCount), [this] { return int64_t(timer_.elapsed()); },
          [&worker = context.worker](int percent, const QString& message) { emit worker.progress(percent, message); },
          &context.cancelFlag) {}

void WorkerPipeline::run() {
    context_.cancelFlag.store(false);
    if (!validate() || !selectDevice()) return;
    startResult();
    reporter_.setPlan(computationPlan(request_));
    if (!alignRigidly() || !prepareSources() || !searchIntegerPixels()) return;
    if (request_.neuralCorrelation ? !correlateNeurally() : !refineSubpixel()) return;
    if (!finishDisplacements()) return;
    if (request_.computeStrains && !computeStrains()) return;
    succeed();
}

bool WorkerPipeline::validate() {
    // Registration and the engine read both images on one grid; the window
    // checks the sizes, but a request from elsewhere must not reach them unequal.
    if (request_.reference.isNull() || request_.deformed.isNull() ||
        request_.reference.size() != request_.deformed.size())
        return fail(QStringLiteral("Invalid images."));
    if (request_.roi.width() < 1 || request_.roi.height() < 1) return fail(QStringLiteral("Invalid ROI."));
    return true;
}

bool WorkerPipeline::selectDevice() {
    if (request_.gpuDevice < 0) return true;
    std::string error;
    if (selectCudaDevice(request_.gpuDevice, error)) return true;
    return fail(QStringLiteral("GPU selection failed: ") + QString::fromStdString(error));
}

void WorkerPipeline::startResult() {
    result_.shapeFunctionName = request_.shapeFunctionName;
    result_.interpolationName = request_.interpolationName;
    result_.roi = request_.roi;
    size_ = ImageSize{request_.roi.width(), request_.roi.height()};
    maskUsed_ = request_.useMask && !request_.mask.isNull();
    if (maskUsed_) {
        maskView_ = engineMaskView(request_.mask, request_.roi);
        mask_ = maskView_.constBits();
        maskStride_ = int(maskView_.bytesPerLine());
        maskRows_ = maskView_.height();
    }
    timer_.start();
}

bool WorkerPipeline::alignRigidly() {
    reporter_.reportStage(0, kRigidStage);
    {
        int width = 0, height = 0, deformedWidth = 0, deformedHeight = 0;
        const std::vector<float> reference = sampleImageValues(request_.reference, width, height);
        const std::vector<float> deformed = sampleImageValues(request_.deformed, deformedWidth, deformedHeight);
        std::string error;
        if (!computeRigidRegistrationGpu(reference.data(), deformed.data(), ImageSize{width, height}, &rigid_, error))
            return failUnlessCancelled(QStringLiteral("Global alignment error."), error);
    }
    const float scale = float(rigidShiftScale(int64_t(request_.deformed.width()) * request_.deformed.height()));
    rigid_.shiftX *= scale;
    rigid_.shiftY *= scale;
    reporter_.reportStage(100, kRigidStage);
    return continueUnlessCancelled();
}

bool WorkerPipeline::prepareSources() {
    reporter_.reportStage(0, kPrepareStage);
    const bool nlc = request_.subpixel.enableNLC;
    const int margin = nlc ? 1 : 0;
    const QRect& roi = request_.roi;
    const QRect referenceArea = referenceBand(roi, margin, request_.reference.size());
    const QRect deformedArea = deformedBand(roi, rigid_.shiftX, rigid_.shiftY, margin + 1, request_.deformed.size());
    if (request_.enableQ4Projection) {
        if (!prepareWholeBuffers(referenceArea, deformedArea, nlc)) return false;
    } else if (nlc) {
        nlcState_ = std::make_shared<StreamedNlcState>();
        std::tie(nlcState_->refMean, nlcState_->refStd) = bandMeanStdDev(request_.reference, referenceArea);
        std::tie(nlcState_->defMean, nlcState_->defStd) = bandMeanStdDev(request_.deformed, deformedArea);
        reference_ = ImageSource(referenceNlcRows(request_.reference, roi, nlcState_));
        deformed_ = ImageSource(
            deformedNlcRows(request_.deformed, roi, rigid_.shiftX, rigid_.shiftY, deformedArea, nlcState_));
    } else {
        reference_ = ImageSource(referenceRows(request_.reference, roi));
        deformed_ = ImageSource(deformedRows(request_.deformed, roi, rigid_.shiftX, rigid_.shiftY, deformedArea));
    }
    reporter_.reportStage(100, kPrepareStage);
    return continueUnlessCancelled();
}

bool WorkerPipeline::prepareWholeBuffers(const QRect& referenceArea, const QRect& deformedArea, bool nlc) {
    const QRect& roi = request_.roi;
    std::string error;
    std::vector<float> band = roiToNormalizedFloats(request_.reference, referenceArea);
    if (nlc && !applyNlcFilterGpu(band, referenceArea.width(), referenceArea.height(), kNlcRadius, error))
        return fail(QStringLiteral("NLC filter error (reference)"), error);
    referenceBuffer_ =
        cropFloatField(band, referenceArea.width(), referenceArea.height(), roi.translated(-referenceArea.topLeft()));
    reporter_.reportStage(50, kPrepareStage);

    band = roiToNormalizedFloats(request_.deformed, deformedArea);
    if (nlc && !applyNlcFilterGpu(band, deformedArea.width(), deformedArea.height(), kNlcRadius, error))
        return fail(QStringLiteral("NLC filter error (deformed)"), error);
    reporter_.reportStage(75, kPrepareStage);
    deformedBuffer_ =
        resampleShifted(band, deformedArea, request_.deformed.size(), roi, rigid_.shiftX, rigid_.shiftY);
    reference_ = ImageSource(referenceBuffer_.data());
    deformed_ = ImageSource(deformedBuffer_.data());
    return true;
}

bool WorkerPipeline::searchIntegerPixels() {
    reporter_.reportStage(0, kPixelStage);
    logVramUsage("avant-recherche-pixel");
    const SearchProgress progress = [this](uint64_t done, uint64_t total) {
        return reporter_.pixelSearchProgress(done, total);
    };
    const PixelSearchParams& params = request_.pixelSearch;
    std::string error;
    if (request_.multiGpu) {
        if (!computePixelDisplacementsMultiGPU(reference_, deformed_, size_, params, hostPixels_, error, progress, mask_,
                                               maskStride_, maskRows_))
            return failUnlessCancelled(QStringLiteral("Pixel accuracy calculation error (multi-GPU)."), error);
    } else {
        const bool ok = request_.neuralCorrelation
                            ? computePixelDisplacements(reference_, deformed_, size_, params, hostPixels_, error,
                                                        progress, mask_, maskStride_, maskRows_, 0, -1)
                            : computePixelDisplacementsToDevice(reference_, deformed_, size_, params, &devicePixels_,
                                                                error, progress, mask_, maskStride_, maskRows_);
        if (!ok) return failUnlessCancelled(QStringLiteral("Pixel accuracy calculation error."), error);
    }
    if (!continueUnlessCancelled() || !continueUnlessStreamedNlcFailed()) return false;
    logVramUsage("apres-recherche-pixel");
    // In neural mode the search runs on a coarse grid; the result is on the user's.
    stepX_ = request_.neuralCorrelation ? request_.userStepX : params.stepX;
    stepY_ = request_.neuralCorrelation ? request_.userStepY : params.stepY;
    return true;
}

bool WorkerPipeline::runSubpixel(const SubpixelParams& params, PixelDisplacementResult& out,
                                 const SubpixelProgress& progress, std::string& error) {
    if (request_.multiGpu)
        return computeSubpixelDisplacementsMultiGPU(reference_, deformed_, size_, request_.pixelSearch, hostPixels_,
                                                    params, out, error, progress, mask_, maskStride_, maskRows_);
    return computeSubpixelDisplacements(reference_, deformed_, size_, request_.pixelSearch, devicePixels_, params, out,
                                        error, progress, mask_, maskStride_, maskRows_);
}

bool WorkerPipeline::refineSubpixel() {
    reporter_.reportStage(0, kSubpixelStage);
    if (request_.subpixel.heaviside) return refineWithDiscontinuity();
    const SubpixelProgress progress = [this](uint64_t done, uint64_t total) {
        return reporter_.pointProgress(kSubpixelStage, done, total);
    };
    std::string error;
    if (!runSubpixel(request_.subpixel, refined_, progress, error))
        return failUnlessCancelled(QStringLiteral("Sub-pixel error."), error);
    return true;
}

bool WorkerPipeline::refineWithDiscontinuity() {
    SubpixelParams firstPass = request_.subpixel;
    firstPass.affine = true;
    firstPass.heaviside = false;
    PixelDisplacementResult start;
    std::string error;
    const SubpixelProgress firstPhase = [this](uint64_t done, uint64_t total) {
        return reporter_.subpixelProgress(1, done, total);
    };
    if (!runSubpixel(firstPass, start, firstPhase, error))
        return failUnlessCancelled(QStringLiteral("Sub-pixel error."), error);
    if (!continueUnlessCancelled()) return false;

    const std::function<bool(uint64_t, uint64_t)> secondPhase = [this](uint64_t done, uint64_t total) {
        return reporter_.subpixelProgress(2, done, total);
    };
    FractureResult fracture;
    const PixelSearchParams& params = request_.pixelSearch;
    const bool ok = request_.multiGpu
                        ? computeRuptureSubpixelMultiGPU(reference_, deformed_, size_, params, start, request_.subpixel,
                                                         refined_, error, secondPhase, &fracture)
                        : computeRuptureSubpixel(reference_, deformed_, size_, params, start, request_.subpixel,
                                                 refined_, error, secondPhase, &fracture, 0, -1, false, false);
    if (!ok) return failUnlessCancelled(QStringLiteral("Sub-pixel error (fracture)."), error);

    if (maskUsed_)
        maskFractureResult(fracture, request_.mask, request_.roi, gridOf(fracture.gridWidth, fracture.gridHeight));
    // The slip fields are derived from the masked opening and angles below.
    for (size_t k = 0; k < 5; ++k)
        std::tie(result_.fractureAutoMin[k], result_.fractureAutoMax[k]) =
            finiteMinMax(fracture.fields[size_t(kFractureRangeFields[k])]);
    result_.fracture = std::make_shared<FractureResult>(std::move(fracture));
    FractureResult* completed = detachFractureResult(result_.fracture);
    computeSlipDecomposition(*completed);
    for (size_t k = 5; k < size_t(kFractureRangeCount); ++k)
        std::tie(result_.fractureAutoMin[k], result_.fractureAutoMax[k]) =
            finiteMinMax(completed->fields[size_t(kFractureRangeFields[k])]);
    result_.hasFracture = true;
    return true;
}

bool WorkerPipeline::correlateNeurally() {
    reporter_.reportStage(0, kNeuralStage);
    DeviceBufferPool::instance().releaseAll();
    logVramUsage("apres-vidage-pool");

    const std::vector<int> devices = neuralDevices(request_.multiGpu);
    std::unique_ptr<NeuralSession>& session = context_.session;
    if (session && session->devices() != devices) session.reset();
    if (!session) {
        std::string notice, error;
        const NeuralSessionFactory& factory = context_.sessionFactory;
        session = factory ? factory(devices, request_.neuralSettings[0], notice, error)
                          : createNeuralSession(devices, request_.neuralSettings[0], notice, error);
        if (!session) return fail(QStringLiteral("AI engine unavailable."), error);
        if (!notice.empty()) reporter_.reportStage(0, kNeuralStage + QStringLiteral(" — ") + QString::fromStdString(notice));
    }
    const size_t deviceCount = session->devices().size();
    const QString stage = deviceCount > 1
                              ? QStringLiteral("Neural correlation on %1 GPUs (experimental)").arg(deviceCount)
                              : kNeuralStage;

    const PixelSearchParams& params = request_.pixelSearch;
    const GridDescriptor grid =
        makeGridDescriptor(0, 0, params.stepX, params.stepY, params.windowSizeX, params.windowSizeY, params.maxU,
                           params.maxV, hostPixels_.gridWidth, hostPixels_.gridHeight);
    QElapsedTimer stageTimer;
    stageTimer.start();
    const ProgressReporter::Clock stageClock = [&stageTimer] { return int64_t(stageTimer.elapsed()); };
    const TileProgress progress = [&](int64_t done, int64_t total) {
        return reporter_.tileProgress(stage, stageClock, done, total);
    };
    std::string error;
    if (!session->run(reference_, deformed_, size_.width, size_.height, request_.neuralSettings, hostPixels_, grid,
                      stepX_, stepY_, refined_, progress, error))
        return failUnlessCancelled(QStringLiteral("Neural correlation error."), error);
    if (!continueUnlessCancelled()) return false;
    return detectNeuralCracks();
}

bool WorkerPipeline::detectNeuralCracks() {
    reporter_.reportStage(0, kCrackStage);
    FractureResult cracks = detectCracks(refined_, stepX_, request_.pixelSearch.windowSizeX);
    if (cracks.fields[FractureResult::OpeningIntensity].empty()) return true;
    // "Crack position φ (px)" is not produced: its empty field gives the range {0, 0}.
    for (size_t k = 0; k < size_t(kFractureRangeCount); ++k)
        std::tie(result_.fractureAutoMin[k], result_.fractureAutoMax[k]) =
            finiteMinMax(cracks.fields[size_t(kFractureRangeFields[k])]);
    result_.fracture = std::make_shared<FractureResult>(std::move(cracks));
    result_.hasFracture = true;
    return true;
}

bool WorkerPipeline::finishDisplacements() {
    if (!continueUnlessCancelled() || !continueUnlessStreamedNlcFailed()) return false;
    // Beyond the deformed image the rigid pre-shift repeats its edge pixels,
    // which a subset can match well enough to look measured.
    const PixelSearchParams& search = request_.pixelSearch;
    dropPointsOutsideArea(refined_, gridOf(refined_.gridWidth, refined_.gridHeight), search.windowSizeX,
                          search.windowSizeY, request_.subpixel.interpolation,
                          shiftedImageArea(request_.roi, request_.deformed.size(), rigid_.shiftX, rigid_.shiftY),
                          result_.fracture.get());
    if (maskUsed_)
        maskDisplacementResult(refined_, request_.mask, request_.roi, gridOf(refined_.gridWidth, refined_.gridHeight));
    std::tie(result_.autoMinUx, result_.autoMaxUx) = finiteMinMax(refined_.dispX);
    std::tie(result_.autoMinUy, result_.autoMaxUy) = finiteMinMax(refined_.dispY);
    result_.rigid = rigid_;
    result_.displacements = std::make_shared<const PixelDisplacementResult>(std::move(refined_));
    return true;
}

bool WorkerPipeline::computeStrains() {
    reporter_.reportStage(0, kStrainStage);
    const StrainProgress progress = [this](long long done, long long total) {
        return reporter_.pointProgress(kStrainStage, uint64_t(std::max(done, 0LL)), uint64_t(std::max(total, 0LL)));
    };
    StrainResult strains;
    std::string error;
    // Each axis by its own step: a rectangular grid measured with one spacing
    // would scale the strains of the other axis.
    if (!computeStrainGpu(*result_.displacements, strainGridSpacing(stepX_, stepX_), strains, error, progress,
                          strainSupportLength(request_.pixelSearch), strainGridSpacing(stepY_, stepY_)))
        return failUnlessCancelled(QStringLiteral("Strain calculation error."), error);
    if (maskUsed_)
        maskStrainResult(strains, request_.mask, request_.roi, gridOf(strains.gridWidth, strains.gridHeight));
    const std::vector<float>* fields[kStrainRangeCount] = {&strains.epsXX, &strains.epsYY, &strains.epsXY,
                                                           &strains.epsI,  &strains.epsII, &strains.rotation};
    for (size_t k = 0; k < size_t(kStrainRangeCount); ++k)
        std::tie(result_.strainAutoMin[k], result_.strainAutoMax[k]) = finiteMinMax(*fields[k]);
    result_.strains = std::make_shared<StrainResult>(std::move(strains));
    result_.hasStrain = true;
    return true;
}

void WorkerPipeline::succeed() {
    reporter_.reportCompleted(QStringLiteral("Computation completed."));
    context_.finished = true;
    emit context_.worker.succeeded(std::move(result_));
}

bool WorkerPipeline::fail(const QString& status, const std::string& details) {
    context_.finished = true;
    emit context_.worker.failed(status, QString::fromStdString(details));
    return false;
}

bool WorkerPipeline::failUnlessCancelled(const QString& status, const std::string& details) {
    if (context_.cancelFlag.load()) return stopCancelled();
    return fail(status, details);
}

bool WorkerPipeline::continueUnlessCancelled() { return context_.cancelFlag.load() ? stopCancelled() : true; }

bool WorkerPipeline::continueUnlessStreamedNlcFailed() {
    if (!nlcState_) return true;
    return !checkStreamedNlcFailure(*nlcState_, [this](const QString& status, const QString& details) {
        fail(status, details.toStdString());
    });
}

bool WorkerPipeline::stopCancelled() {
    context_.finished = true;
    emit context_.worker.cancelled();
    return false;
}

GridDescriptor WorkerPipeline::gridOf(int32_t cols, int32_t rows) const {
    const PixelSearchParams& params = request_.pixelSearch;
    return makeGridDescriptor(0, 0, stepX_, stepY_, params.windowSizeX, params.windowSizeY, params.maxU, params.maxV,
                              cols, rows);
}

} // namespace tavro::gui::detail
