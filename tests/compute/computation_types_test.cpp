#include "compute/computation_types.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QObject>
#include <QThread>
#include <QTimer>

#include <gtest/gtest.h>

#include <memory>
#include <utility>

namespace tavro::gui {

// Carries the records as the worker's signals do. moc cannot name a class of an
// anonymous namespace, so this one stays outside it.
class RecordCourier : public QObject {
    Q_OBJECT
signals:
    void requestPosted(tavro::gui::ComputationRequest request);
    void resultReady(tavro::gui::ComputationResult result);
};

namespace {

// Queued connections need an event loop on the receiving side.
class QtEnvironment : public ::testing::Environment {
public:
    void SetUp() override { app_ = std::make_unique<QCoreApplication>(argc_, argv_); }
    void TearDown() override { app_.reset(); }

private:
    int argc_ = 1;
    char name_[32] = "compute_records_test";
    char* argv_[2] = {name_, nullptr};
    std::unique_ptr<QCoreApplication> app_;
};

[[maybe_unused]] ::testing::Environment* const environment =
    ::testing::AddGlobalTestEnvironment(new QtEnvironment);

TEST(ComputationRequest, DefaultsMatchANewRequestOfTheWindow) {
    const ComputationRequest request;
    EXPECT_TRUE(request.reference.isNull());
    EXPECT_FALSE(request.useMask);
    EXPECT_EQ(request.pixelSearch.windowSizeX, 0);
    EXPECT_EQ(request.subpixel.maxIterations, 35);
    EXPECT_TRUE(request.subpixel.affine);
    EXPECT_EQ(request.subpixel.engineOption, 1);
    EXPECT_EQ(request.q4Passes, 5);
    EXPECT_FLOAT_EQ(request.q4JumpThreshold, 0.5f);
    EXPECT_EQ(request.imageIndex, 0);
    EXPECT_EQ(request.imageCount, 1);
    EXPECT_EQ(request.neuralSettings, (std::array<int32_t, 4>{0, 128, 80, 32}));
    EXPECT_EQ(request.userStepY, 1);
    EXPECT_EQ(request.gpuDevice, -1);
}

TEST(ComputationResult, DefaultResultsShareTheEmptyRecords) {
    const ComputationResult a;
    const ComputationResult b;
    EXPECT_EQ(a.displacements.get(), emptyPixelDisplacementResult().get());
    EXPECT_EQ(a.strains.get(), emptyStrainResult().get());
    EXPECT_EQ(a.fracture.get(), emptyFractureResult().get());
    EXPECT_EQ(a.displacements, b.displacements);
    EXPECT_EQ(a.strains, b.strains);
    EXPECT_EQ(a.fracture, b.fracture);
    EXPECT_EQ(a.displacements->gridWidth, 0);
    EXPECT_TRUE(a.displacements->dispX.empty());
    EXPECT_FALSE(a.hasStrain);
    EXPECT_EQ(a.fractureMin, (std::array<float, 9>{}));
    EXPECT_DOUBLE_EQ(a.display.fractureImageScale, 1.0);
    EXPECT_EQ(a.display.strainImageComponent, -1);
}

ComputationResult filledResult() {
    ComputationResult result;
    auto displacements = std::make_shared<PixelDisplacementResult>();
    displacements->gridWidth = 2;
    displacements->gridHeight = 1;
    displacements->dispX = {1.0f, 2.0f};
    result.displacements = displacements;
    result.strains = std::make_shared<StrainResult>();
    result.fracture = std::make_shared<FractureResult>();
    result.roi = QRect(1, 2, 30, 40);
    result.shapeFunctionName = QStringLiteral("Translations");
    result.autoMaxUy = 4.5f;
    result.criterionMin["vm"] = -1.0f;
    result.display.uxImage = QImage(4, 4, QImage::Format_RGBA8888);
    result.hasStrain = true;
    return result;
}

TEST(ComputationResult, CopiesShareTheRecordsAndCopyEverythingElse) {
    const ComputationResult original = filledResult();
    const ComputationResult copy(original);
    EXPECT_EQ(copy.displacements, original.displacements);
    EXPECT_EQ(copy.strains, original.strains);
    EXPECT_EQ(copy.fracture, original.fracture);
    EXPECT_EQ(copy.shapeFunctionName, original.shapeFunctionName);
    EXPECT_EQ(copy.criterionMin, original.criterionMin);
    EXPECT_EQ(copy.display.uxImage, original.display.uxImage);
    EXPECT_EQ(original.displacements.use_count(), 2);
}

TEST(ComputationResult, MovedFromResultsPointBackAtTheEmptyRecords) {
    ComputationResult source = filledResult();
    const PixelDisplacementResult* records = source.displacements.get();
    ComputationResult moved(std::move(source));
    EXPECT_EQ(moved.displacements.get(), records);
    EXPECT_EQ(moved.roi, QRect(1, 2, 30, 40));
    EXPECT_EQ(source.displacements.get(), emptyPixelDisplacementResult().get());
    EXPECT_EQ(source.strains.get(), emptyStrainResult().get());
    EXPECT_EQ(source.fracture.get(), emptyFractureResult().get());

    ComputationResult target;
    target = std::move(moved);
    EXPECT_EQ(target.displacements.get(), records);
    EXPECT_EQ(moved.fracture.get(), emptyFractureResult().get());
}

TEST(ComputationRecords, TravelThroughQueuedSignalsBetweenThreads) {
    QThread workerThread;
    RecordCourier worker;
    worker.moveToThread(&workerThread);
    RecordCourier window;
    QEventLoop loop;
    QTimer::singleShot(10000, &loop, &QEventLoop::quit);

    ComputationRequest request;
    request.reference = QImage(8, 8, QImage::Format_Grayscale8);
    request.roi = QRect(0, 0, 8, 8);
    request.imageIndex = 2;
    std::weak_ptr<const PixelDisplacementResult> sentRecords;
    QThread* requestThread = nullptr;
    QThread* resultThread = nullptr;
    ComputationResult received;

    // In the worker's thread: read the request, answer with a result.
    QObject::connect(&window, &RecordCourier::requestPosted, &worker, [&](ComputationRequest posted) {
        requestThread = QThread::currentThread();
        ComputationResult result = filledResult();
        result.roi = posted.roi;
        result.hasFracture = posted.imageIndex == 2 && !posted.reference.isNull();
        sentRecords = result.displacements;
        emit worker.resultReady(result);
    });
    QObject::connect(&worker, &RecordCourier::resultReady, &window, [&](ComputationResult result) {
        resultThread = QThread::currentThread();
        received = std::move(result);
        loop.quit();
    });

    workerThread.start();
    emit window.requestPosted(request);
    loop.exec();
    workerThread.quit();
    workerThread.wait();

    EXPECT_EQ(requestThread, &workerThread);
    EXPECT_EQ(resultThread, QThread::currentThread());
    EXPECT_TRUE(received.hasFracture);
    EXPECT_EQ(received.roi, QRect(0, 0, 8, 8));
    ASSERT_EQ(received.displacements->dispX.size(), 2u);
    EXPECT_EQ(received.displacements.get(), sentRecords.lock().get());
    EXPECT_EQ(received.displacements.use_count(), 1) << "every queued copy has been destroyed";
    received = ComputationResult();
    EXPECT_TRUE(sentRecords.expired());
}

TEST(ComputationRecords, RegisterUnderTheNamesTheWindowUses) {
    qRegisterMetaType<ComputationResult>("ComputationResult");
    EXPECT_EQ(QMetaType::fromName("ComputationResult"), QMetaType::fromType<ComputationResult>());
}

TEST(MakeGridDescriptor, OriginAddsHalfTheWindowAndTheReachAcrossEachAxis) {
    GridDescriptor grid = makeGridDescriptor(3, 4, 8, 6, 21, 31, 7, 5, 12, 9);
    EXPECT_EQ(grid.cols, 12);
    EXPECT_EQ(grid.originX, 10 + 3 + 5) << "left/right reach maxV";
    EXPECT_EQ(grid.originY, 15 + 4 + 7) << "up/down reach maxU";
    EXPECT_EQ(grid.stepY, 6);
    grid = makeGridDescriptor(0, 0, 0, -4, 21, 21, 0, 0, 1, 1);
    EXPECT_EQ(grid.stepX, 1) << "steps below 1 become 1";
    EXPECT_EQ(grid.stepY, 1);
}

TEST(StrainSupportLength, LargerWindowSidePlusFourTimesTheLargestRange) {
    PixelSearchParams params;
    params.windowSizeX = 31;
    params.windowSizeY = 41;
    EXPECT_EQ(strainSupportLength(params), 0.0f) << "no search range";
    params.searchLeft = 10;
    params.maxU = 3;
    EXPECT_EQ(strainSupportLength(params), 81.0f);
}

} // namespace
} // namespace tavro::gui

#include "computation_types_test.moc"
