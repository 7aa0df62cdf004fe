#include "compute/compute_worker.h"

#include <QImage>
#include <QRegularExpression>
#include <QThread>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <set>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "core/multi_gpu_log.h"
#include "gpu/runtime_base.h"
#include "support/engine_environment.h"
#include "support/synthetic_images.h"

namespace tavro::gui {
namespace {

std::mutex logMutex;
std::vector<std::string> logLines;

// Multi-GPU log lines are kept here instead of going to a file.
class LogEnvironment : public ::testing::Environment {
    void SetUp() override {
        unsetenv("TAVRO_MGPU_LOG");
        MultiGpuLog::instance().setSink([](const std::string& line) {
            std::lock_guard lock(logMutex);
            logLines.push_back(line);
        });
    }
};
const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new LogEnvironment);

int vramLines() {
    std::lock_guard lock(logMutex);
    const auto count = std::count_if(logLines.begin(), logLines.end(), [](const std::string& line) {
        return line.find(" VRAM ") != std::string::npos && line.find("MB free=") != std::string::npos;
    });
    logLines.clear();
    return int(count);
}

#define REQUIRE_DEVICE() TAVRO_REQUIRE_DEVICE()

constexpr int kSize = 128, kWindow = 21, kStep = 8, kReach = 4;
// Grid point i lies at kOrigin + i * kStep: half the window plus the reach.
constexpr int kOrigin = kWindow / 2 + kReach;

testing::SpeckleOptions speckle() {
    testing::SpeckleOptions options;
    options.width = options.height = kSize;
    options.supersampling = 2;
    return options;
}

QImage toImage(const testing::Image& image) {
    const std::vector<uint8_t> bytes = testing::quantize8(image);
    QImage out(image.width, image.height, QImage::Format_Grayscale8);
    for (int y = 0; y < image.height; ++y) std::memcpy(out.scanLine(y), &bytes[size_t(y) * image.width], image.width);
    return out;
}

// u = (3.3, -2.6) px: registration takes out (3, -3), the search the rest.
ComputationRequest baseRequest() {
    static const testing::ImagePair pair = testing::makeFourierShiftedPair(speckle(), 3.3, -2.6);
    ComputationRequest request;
    request.reference = toImage(pair.reference);
    request.deformed = toImage(pair.deformed);
    request.roi = QRect(0, 0, kSize, kSize);
    PixelSearchParams& p = request.pixelSearch;
    p.windowSizeX = p.windowSizeY = kWindow;
    p.stepX = p.stepY = kStep;
    p.maxU = p.maxV = p.searchUp = p.searchDown = p.searchLeft = p.searchRight = kReach;
    request.subpixel.interpolation = 2;
    request.shapeFunctionName = QStringLiteral("Translation");
    request.imageIndex = 1;
    return request;
}

ComputationRequest neuralRequest() {
    ComputationRequest request = baseRequest();
    request.neuralCorrelation = true;
    request.pixelSearch.stepX = request.pixelSearch.stepY = 48;
    request.userStepX = request.userStepY = 4;
    return request;
}

// What one request emitted, in order.
struct Outcome {
    std::vector<std::pair<int, QString>> progress;
    int succeeded = 0, failed = 0, cancelled = 0;
    ComputationResult result;
    QString status, details;

    // The status texts without counts and timing, each stage once.
    std::vector<QString> stages() const {
        std::vector<QString> out;
        for (const auto& [percent, message] : progress) {
            QString text = message.section(QStringLiteral("|||"), 0, 0).section(QStringLiteral(" | "), 0, 0);
            text.remove(QRegularExpression(QStringLiteral(" \\(\\d+ (points|tiles)\\)$")));
            if (out.empty() || out.back() != text) out.push_back(text);
        }
        return out;
    }
    std::vector<int> percentsOf(const QString& prefix) const {
        std::vector<int> out;
        for (const auto& [percent, message] : progress)
            if (message.startsWith(prefix)) out.push_back(percent);
        return out;
    }
};

// The worker on its own thread, as the window runs it. Signals are recorded on
// the thread that emits them, where `onProgress` may act (e.g. cancel).
class WorkerThread {
public:
    WorkerThread() : worker_(new ComputeWorker) {
        worker_->moveToThread(&thread_);
        QObject::connect(&thread_, &QThread::finished, worker_, &QObject::deleteLater);
        const auto record = [this](auto signal, auto slot) {
            QObject::connect(worker_, signal, worker_, [this, slot](auto... args) {
                std::unique_lock lock(mutex_);
                slot(args...);
            }, Qt::DirectConnection);
        };
        record(&ComputeWorker::progress, [this](int percent, const QString& message) {
            outcome_.progress.emplace_back(percent, message);
            if (onProgress) onProgress(message);
        });
        record(&ComputeWorker::succeeded, [this](const ComputationResult& r) { ++outcome_.succeeded, outcome_.result = r; });
        record(&ComputeWorker::failed, [this](const QString& status, const QString& details) {
            ++outcome_.failed, outcome_.status = status, outcome_.details = details;
        });
        record(&ComputeWorker::cancelled, [this] { ++outcome_.cancelled; });
        thread_.start();
    }
    ~WorkerThread() {
        thread_.quit();
        thread_.wait();
    }

    ComputeWorker& worker() { return *worker_; }

    // Posts the request as a queued call, as the window does, and waits for the slot to return.
    Outcome run(const ComputationRequest& request) {
        EXPECT_TRUE(QMetaObject::invokeMethod(worker_, "startComputation", Qt::BlockingQueuedConnection,
                                              Q_ARG(tavro::gui::ComputationRequest, request)));
        std::lock_guard lock(mutex_);
        Outcome outcome = std::exchange(outcome_, {});
        EXPECT_EQ(outcome.succeeded + outcome.failed + outcome.cancelled, 1) << "one terminal signal per request";
        return outcome;
    }

    std::function<void(const QString&)> onProgress;

private:
    QThread thread_;
    ComputeWorker* worker_;
    std::mutex mutex_;
    Outcome outcome_;
};

// Stands in for the neural engine: a 30 x 30 field on the user's 4 px grid
// across which a horizontal crack opens by 1 px, or the misbehaviour asked for.
enum class Neural { Crack, Fail, WrongSize, ThrowBadAlloc, ThrowRuntime, ThrowOther, Unavailable };

class FakeSession : public NeuralSession {
public:
    FakeSession(std::vector<int> devices, Neural behaviour) : devices_(std::move(devices)), behaviour_(behaviour) {}
    const std::vector<int>& devices() const override { return devices_; }

    bool run(const ImageSource&, const ImageSource&, int32_t, int32_t, const std::array<int32_t, 4>&,
             const PixelDisplacementResult& pixel, const GridDescriptor& grid, int32_t, int32_t,
             PixelDisplacementResult& out,
             const TileProgress& progress, std::string& error) override {
        EXPECT_EQ(grid.cols, pixel.gridWidth);
        EXPECT_EQ(grid.originX, kOrigin);
        for (int64_t tile = 0; tile <= 4; ++tile)
            if (!progress(tile, 4)) return false;
        if (behaviour_ == Neural::Fail) error = "model file missing";
        if (behaviour_ == Neural::ThrowBadAlloc) throw std::bad_alloc();
        if (behaviour_ == Neural::ThrowRuntime) throw std::runtime_error("tensor \xC3\xA9");
        if (behaviour_ == Neural::ThrowOther) throw 42;
        constexpr int n = 30;
        out.gridWidth = out.gridHeight = n;
        out.dispX.assign(size_t(n) * n, 0.1f);
        out.dispY.resize(size_t(n) * n - (behaviour_ == Neural::WrongSize ? 1 : 0));
        for (size_t k = 0; k < out.dispY.size(); ++k)
            out.dispY[k] = float(std::clamp((double(k / n) - 14.5) * 4.0 / kWindow + 0.5, 0.0, 1.0));
        return behaviour_ != Neural::Fail;
    }

private:
    std::vector<int> devices_;
    Neural behaviour_;
};

void useFakeSessions(WorkerThread& thread, Neural behaviour, int* created = nullptr) {
    thread.worker().setNeuralSessionFactory([=](const std::vector<int>& devices, int32_t, std::string& notice,
                                                std::string& error) -> std::unique_ptr<NeuralSession> {
        if (created) ++*created;
        if (behaviour == Neural::Unavailable) {
            error = "weights file missing";
            return nullptr;
        }
        notice = "weights cached";
        return std::make_unique<FakeSession>(devices, behaviour);
    });
}

TEST(ComputeWorker, RunsTheStagesInOrderAndMeasuresTheMaskedField) {
    REQUIRE_DEVICE();
    // A 1 % stretch along x on top of the translation; the mask hides x < 64.
    static const testing::ImagePair pair = testing::makeRenderedPair(
        speckle(), testing::affineField({0.01, 0.0, 0.0, 0.0}, {64.0, 64.0}, {3.3, -2.6}));
    ComputationRequest request = baseRequest();
    request.reference = toImage(pair.reference);
    request.deformed = toImage(pair.deformed);
    request.imageIndex = 2;
    request.imageCount = 3;
    request.computeStrains = true;
    request.subpixel.affine = false;  // strains then come from differences over the grid spacing
    request.useMask = true;
    request.mask = QImage(kSize, kSize, QImage::Format_Grayscale8);
    request.mask.fill(255);
    for (int y = 0; y < kSize; ++y) std::memset(request.mask.scanLine(y), 0, 64);
    setenv("TAVRO_AI_VRAM", "", 1);
    vramLines();
    WorkerThread thread;
    const Outcome outcome = thread.run(request);
    unsetenv("TAVRO_AI_VRAM");
    EXPECT_EQ(vramLines(), 2) << "before and after the integer-pixel search, even with TAVRO_AI_VRAM empty";

    ASSERT_EQ(outcome.succeeded, 1) << outcome.status.toStdString() << " " << outcome.details.toStdString();
    const QString prefix = QStringLiteral("Image 2/3 - ");
    EXPECT_EQ(outcome.stages(),
              (std::vector<QString>{prefix + "Global alignment (rigid)", prefix + "Preparing regions of interest",
                                    prefix + "Integer-pixel search", prefix + "Subpixel refinement",
                                    prefix + "Computing strains (ε)", prefix + "Computation completed."}));
    EXPECT_EQ(outcome.progress.front(), std::make_pair(0, prefix + "Global alignment (rigid)"));
    EXPECT_EQ(outcome.progress.back().first, 100);
    EXPECT_TRUE(outcome.progress.back().second.startsWith(prefix + "Computation completed.|||Duration: "));

    const ComputationResult& result = outcome.result;
    EXPECT_EQ(result.rigid.shiftX, -3.0f);
    EXPECT_EQ(result.rigid.shiftY, 3.0f);
    const PixelDisplacementResult& d = *result.displacements;
    ASSERT_EQ(d.dispX.size(), 13u * 13u);
    // Measured against the deformed image moved back by the rigid shift; a
    // translation-only window under a 1 % stretch stays within 0.05 px.
    double sumXX = 0.0;
    int strains = 0;
    for (size_t k = 0; k < d.dispX.size(); ++k) {
        const double x = kOrigin + int(k % 13) * kStep;
        if (x < 64) {
            EXPECT_TRUE(std::isnan(d.dispX[k]) && std::isnan(d.dispY[k]) && std::isnan(result.strains->epsXX[k]));
            continue;
        }
        EXPECT_NEAR(d.dispX[k] - result.rigid.shiftX, 0.01 * (x - 64.0) + 3.3, 0.05) << k;
        EXPECT_NEAR(d.dispY[k] - result.rigid.shiftY, -2.6, 0.05) << k;
        if (std::isfinite(result.strains->epsXX[k])) sumXX += result.strains->epsXX[k], ++strains;
    }
    EXPECT_GE(strains, 60);
    EXPECT_NEAR(sumXX / strains, 0.01, 0.002) << "differences over the 8 px grid spacing";
    EXPECT_NEAR(result.autoMinUx - result.rigid.shiftX, 3.3, 0.05) << "masked points do not count";
    EXPECT_TRUE(result.hasStrain);
    EXPECT_FALSE(result.hasFracture);
}

TEST(ComputeWorker, BuildsTheImageSourcesTheRequestAsksFor) {
    REQUIRE_DEVICE();
    WorkerThread thread;
    std::vector<std::vector<float>> fields;
    for (const auto& [q4, nlc] : {std::pair{false, false}, {true, false}, {false, true}, {true, true}}) {
        ComputationRequest request = baseRequest();
        request.enableQ4Projection = q4;
        request.subpixel.enableNLC = nlc;
        const Outcome outcome = thread.run(request);
        ASSERT_EQ(outcome.succeeded, 1) << outcome.status.toStdString();
        const std::vector<int> preparation = q4 ? std::vector<int>{0, 50, 75, 100} : std::vector<int>{0, 100};
        EXPECT_EQ(outcome.percentsOf(QStringLiteral("Preparing regions of interest")), preparation);
        fields.push_back(outcome.result.displacements->dispX);
        EXPECT_NEAR(fields.back()[84] - outcome.result.rigid.shiftX, 3.3, 0.05);
    }
    const auto largestDifference = [&](size_t a, size_t b) {
        float largest = 0.0f;
        for (size_t k = 0; k < fields[a].size(); ++k) largest = std::max(largest, std::abs(fields[a][k] - fields[b][k]));
        return largest;
    };
    EXPECT_LT(largestDifference(0, 1), 1e-4f) << "whole buffers hold what the streamed rows deliver";
    EXPECT_LT(largestDifference(2, 3), 1e-4f) << "streamed and whole-buffer NLC filter alike";
    EXPECT_GT(largestDifference(0, 2), 1e-4f) << "the NLC filter is applied";
    EXPECT_EQ(vramLines(), 0) << "TAVRO_AI_VRAM unset";
}

TEST(ComputeWorker, EndsEachFailureWithItsStatus) {
    REQUIRE_DEVICE();
    struct Row {
        std::function<void(ComputationRequest&)> change;
        QString status;
        QString details;  // "*": any non-empty text
        std::optional<Neural> session = std::nullopt;
    };
    const auto neural = [](ComputationRequest& r) { r = neuralRequest(); };
    const QString unexpected = QStringLiteral("Unexpected error during computation.");
    const std::vector<Row> rows{
        {[](ComputationRequest& r) { r.deformed = QImage(); }, "Invalid images.", ""},
        {[](ComputationRequest& r) { r.deformed = r.deformed.copy(0, 0, 100, kSize); }, "Invalid images.", ""},
        {[](ComputationRequest& r) { r.roi.setWidth(0); }, "Invalid ROI.", ""},
        {[](ComputationRequest& r) { r.gpuDevice = 7; }, "GPU selection failed: *", ""},
        {[](ComputationRequest& r) { r.pixelSearch.windowSizeX = 131; }, "Pixel accuracy calculation error.", "*"},
        {[](ComputationRequest& r) { r.pixelSearch.windowSizeX = 131, r.multiGpu = true; },
         "Pixel accuracy calculation error (multi-GPU).", "*"},
        {[](ComputationRequest& r) { r.subpixel.maxIterations = 0; }, "Sub-pixel error.", "*"},
        {neural, "AI engine unavailable.", "weights file missing", Neural::Unavailable},
        {neural, "Neural correlation error.", "model file missing", Neural::Fail},
        {[](ComputationRequest& r) { r = neuralRequest(), r.computeStrains = true; }, "Strain calculation error.", "*",
         Neural::WrongSize},
        {neural,
         "Out of memory: the ROI is too large for the available RAM. Increase the step (spacing), reduce the ROI, "
         "or free up memory.",
         "std::bad_alloc (host out of memory)", Neural::ThrowBadAlloc},
        {neural, unexpected, "tensor é", Neural::ThrowRuntime},
        {neural, unexpected, "", Neural::ThrowOther},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.status.toStdString() + " / " + row.details.toStdString());
        WorkerThread thread;
        if (row.session) useFakeSessions(thread, *row.session);
        ComputationRequest request = baseRequest();
        row.change(request);
        const Outcome outcome = thread.run(request);
        ASSERT_EQ(outcome.failed, 1);
        const auto matches = [](const QString& text, const QString& pattern) {
            return pattern.endsWith('*') ? text.startsWith(pattern.chopped(1)) && text.size() >= pattern.size()
                                         : text == pattern;
        };
        EXPECT_TRUE(matches(outcome.status, row.status)) << outcome.status.toStdString();
        EXPECT_TRUE(matches(outcome.details, row.details)) << outcome.details.toStdString();
        EXPECT_TRUE(!row.status.startsWith(QStringLiteral("Invalid")) || outcome.progress.empty())
            << "refused before any stage";
    }
}

#if !defined(TAVRO_USE_CUDA)
TEST(ComputeWorker, ReportsAFailedAlignmentWithTheEngineMessage) {
    WorkerThread thread;
    const Outcome outcome = [&] {
        const testing::ScopedCpuDevice small(testing::cpuDeviceWithMemory(16 * 1024));
        return thread.run(baseRequest());
    }();
    EXPECT_EQ(outcome.status, QStringLiteral("Global alignment error."));
    EXPECT_FALSE(outcome.details.isEmpty());
}
#endif

TEST(ComputeWorker, CancellingDuringAStageEndsInCancelledAndTheNextRequestRuns) {
    REQUIRE_DEVICE();
    WorkerThread thread;
    for (const QString stage : {"Global alignment (rigid)", "Integer-pixel search (", "Subpixel refinement (",
                                "Computing strains (ε) ("}) {
        thread.onProgress = [&](const QString& message) {
            if (message.startsWith(stage)) thread.worker().cancel();
        };
        ComputationRequest request = baseRequest();
        request.computeStrains = true;
        EXPECT_EQ(thread.run(request).cancelled, 1) << stage.toStdString();
    }
    thread.onProgress = nullptr;
    thread.worker().cancel();
    EXPECT_EQ(thread.run(baseRequest()).succeeded, 1) << "each request clears the flag";
}

TEST(ComputeWorker, DiscontinuityModelsSplitTheRefinementProgress) {
    REQUIRE_DEVICE();
    ComputationRequest request = baseRequest();
    request.subpixel.heaviside = true;
    WorkerThread thread;
    const Outcome outcome = thread.run(request);
    const std::vector<int> percents = outcome.percentsOf(QStringLiteral("Subpixel refinement ("));
    EXPECT_TRUE(std::is_sorted(percents.begin(), percents.end()));
    const auto firstPassEnd = std::find(percents.begin(), percents.end(), 5);
    ASSERT_NE(firstPassEnd, percents.end()) << "the first pass reports 0 to 5 %";
    EXPECT_TRUE(std::all_of(percents.begin(), firstPassEnd, [](int p) { return p <= 5; }));
    // A plain translation has no crack to model: the discontinuity pass must
    // still refine it, never turn a sound field into a failure.
    ASSERT_EQ(outcome.succeeded, 1) << outcome.status.toStdString() << " " << outcome.details.toStdString();
    EXPECT_TRUE(outcome.result.hasFracture);
    const std::vector<float>& u = outcome.result.displacements->dispX;
    const std::vector<float>& v = outcome.result.displacements->dispY;
    int measured = 0;
    for (size_t k = 0; k < u.size(); ++k)
        if (std::isfinite(u[k])) {
            ++measured;
            EXPECT_NEAR(u[k] - outcome.result.rigid.shiftX, 3.3, 0.05) << k;
            EXPECT_NEAR(v[k] - outcome.result.rigid.shiftY, -2.6, 0.05) << k;
        }
    EXPECT_EQ(measured, int(u.size()));
}

TEST(ComputeWorker, NeuralBranchRefinesOnTheUserGridAndFindsTheCrack) {
    REQUIRE_DEVICE();
    WorkerThread thread;
    int sessions = 0;
    useFakeSessions(thread, Neural::Crack, &sessions);
    ComputationRequest request = neuralRequest();
    request.computeStrains = true;
    const Outcome outcome = thread.run(request);
    ASSERT_EQ(outcome.succeeded, 1) << outcome.status.toStdString() << " " << outcome.details.toStdString();
    EXPECT_EQ(outcome.stages(), (std::vector<QString>{"Global alignment (rigid)", "Preparing regions of interest",
                                                      "Integer-pixel search", "Neural correlation",
                                                      "Neural correlation — weights cached", "Neural correlation",
                                                      "Crack detection (Steger ridges)", "Computing strains (ε)",
                                                      "Computation completed."}));
    EXPECT_EQ(outcome.percentsOf(QStringLiteral("Neural correlation (4 tiles)")), (std::vector<int>{0, 25, 50, 75, 100}));
    const ComputationResult& result = outcome.result;
    EXPECT_EQ(result.displacements->gridWidth, 30);
    EXPECT_TRUE(result.hasStrain);
    ASSERT_TRUE(result.hasFracture);
    EXPECT_EQ(result.fracture->fields[FractureResult::OpeningIntensity].size(), 900u);
    EXPECT_NEAR(result.fractureAutoMax[2], 1.0f, 0.05f) << "opening intensity";
    EXPECT_EQ(std::make_pair(result.fractureAutoMin[5], result.fractureAutoMax[5]), std::make_pair(0.0f, 0.0f));

    EXPECT_EQ(thread.run(request).succeeded, 1);
    EXPECT_EQ(sessions, 1) << "the session is kept for the same devices";
    thread.onProgress = [&](const QString& message) {
        if (message.startsWith(QStringLiteral("Neural correlation (4 tiles)"))) thread.worker().cancel();
    };
    EXPECT_EQ(thread.run(request).cancelled, 1);
}

// The registration's block size: images above 10,000,000 and 100,000,000 pixels.
TEST(ComputeWorker, ScalesTheRigidShiftBackToFullResolution) {
    for (const auto& [pixels, scale] : std::vector<std::pair<int64_t, int>>{
             {10000000, 1}, {10000001, 8}, {100000000, 8}, {100000001, 16}})
        EXPECT_EQ(rigidShiftScale(pixels), scale) << pixels;
    EXPECT_EQ(strainGridSpacing(1, 3), 1);
    EXPECT_EQ(strainGridSpacing(6, 4), 4);
}

} // namespace
} // namespace tavro::gui

namespace tavro::gui {
namespace {

// Model 4 as the window runs it (65 px windows, a start grid every 48 px, the
// user's step 2) with the engine and its committed weights, on a plate cut by
// a horizontal crack that opens by 1.5 px: the field on the user's grid, then
// the crack stage on it. The crack stage measures a jump from the field one and
// two window widths away from the line, so the plate leaves that room.
TEST(ComputeWorker, NeuralModelRunsEndToEndAndFeedsCrackDetection) {
    REQUIRE_DEVICE();
    constexpr int size = 320;
    testing::SpeckleOptions options;
    options.width = options.height = size;
    options.seed = 41;
    options.supersampling = 2;
    const testing::SpeckleModel model(options);
    testing::StraightCrack crack;
    crack.point = {160.0, 161.0};
    crack.angle = 0.0;
    crack.minus = testing::translationField(0.4, -0.75);
    crack.plus = testing::translationField(0.4, 0.75);
    const testing::Image deformed = testing::renderCracked(model, crack);

    ComputationRequest request = baseRequest();
    request.reference = toImage(model.render());
    request.deformed = toImage(deformed);
    request.roi = QRect(0, 0, size, size);
    request.neuralCorrelation = true;
    PixelSearchParams& p = request.pixelSearch;
    p.windowSizeX = p.windowSizeY = 65;
    p.stepX = p.stepY = 48;
    p.maxU = p.maxV = p.searchUp = p.searchDown = p.searchLeft = p.searchRight = 4;
    request.userStepX = request.userStepY = 2;
    WorkerThread thread;
    const Outcome outcome = thread.run(request);
    ASSERT_EQ(outcome.succeeded, 1) << outcome.status.toStdString() << " " << outcome.details.toStdString();
    EXPECT_EQ(outcome.stages(), (std::vector<QString>{"Global alignment (rigid)", "Preparing regions of interest",
                                                      "Integer-pixel search", "Neural correlation",
                                                      "Neural correlation — model version 2", "Neural correlation",
                                                      "Crack detection (Steger ridges)", "Computation completed."}));

    const ComputationResult& result = outcome.result;
    const PixelDisplacementResult& field = *result.displacements;
    // Origin 32 + 4; (320 - 72) / 2 points each way.
    ASSERT_EQ(field.gridWidth, 124);
    ASSERT_EQ(field.gridHeight, 124);
    // The model's field swings within a few pixels of the opening's gap;
    // beyond 16 px each side moves as a whole (0.035 px RMS with the committed
    // weights).
    double sum = 0;
    int count = 0;
    for (int j = 0; j < field.gridHeight; ++j) {
        const double y = 36 + 2 * j;
        if (std::fabs(y - crack.point[1]) < 16) continue;
        for (int i = 0; i < field.gridWidth; ++i) {
            const size_t k = size_t(j) * field.gridWidth + size_t(i);
            if (!std::isfinite(field.dispY[k])) continue;
            // As in the other cases, the field is measured against the pre-shifted image.
            const double v = (y > crack.point[1] ? 0.75 : -0.75) + result.rigid.shiftY;
            sum += std::pow(field.dispY[k] - v, 2) + std::pow(field.dispX[k] - 0.4 - result.rigid.shiftX, 2);
            ++count;
        }
    }
    ASSERT_GT(count, 2000);
    EXPECT_LT(std::sqrt(sum / count), 0.07);

    // The crack stage finds the line on the neural field: along most of the
    // crack (it keeps some 35 px from the plate's sides), the points it marks,
    // within 4 px of the line it finds, hold an opening of about (0, 1.5) px,
    // and it marks nothing away from the crack.
    ASSERT_TRUE(result.fracture);
    const auto& opening = result.fracture->fields;
    ASSERT_EQ(opening[FractureResult::OpeningY].size(), field.dispY.size());
    std::set<int> columnsFound;
    int far = 0;
    for (int j = 0; j < field.gridHeight; ++j)
        for (int i = 0; i < field.gridWidth; ++i) {
            const size_t k = size_t(j) * field.gridWidth + size_t(i);
            const float oy = opening[FractureResult::OpeningY][k];
            if (!std::isfinite(oy)) continue;
            if (std::fabs(36 + 2 * j - crack.point[1]) > 8) {
                ++far;
                continue;
            }
            if (std::fabs(std::fabs(oy) - 1.5f) < 0.2f && std::fabs(opening[FractureResult::OpeningX][k]) < 0.2f)
                columnsFound.insert(i);
        }
    EXPECT_GT(columnsFound.size(), size_t(field.gridWidth) * 3 / 5);
    EXPECT_EQ(far, 0) << "crack points away from the line";
}

} // namespace
} // namespace tavro::gui
