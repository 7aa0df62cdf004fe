#include "compute/computation_types.h"

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

// A result nobody filled must still be safe to read: the window draws from it.
TEST(ComputationResult, DefaultResultsShareTheEmptyRecords) {
    const ComputationResult a;
    EXPECT_EQ(a.displacements.get(), emptyPixelDisplacementResult().get());
    EXPECT_EQ(a.strains.get(), emptyStrainResult().get());
    EXPECT_EQ(a.fracture.get(), emptyFractureResult().get());
}

ComputationResult filledResult() {
    ComputationResult result;
    auto displacements = std::make_shared<PixelDisplacementResult>();
    displacements->dispX = {1.0f, 2.0f};
    result.displacements = displacements;
    result.strains = std::make_shared<StrainResult>();
    result.fracture = std::make_shared<FractureResult>();
    result.roi = QRect(1, 2, 30, 40);
    return result;
}

TEST(ComputationResult, MovedFromResultsPointBackAtTheEmptyRecords) {
    ComputationResult source = filledResult();
    const PixelDisplacementResult* records = source.displacements.get();
    ComputationResult moved(std::move(source));
    EXPECT_EQ(moved.displacements.get(), records);
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
    ComputationResult received;

    // In the worker's thread: read the request, answer with a result.
    QObject::connect(&window, &RecordCourier::requestPosted, &worker, [&](ComputationRequest posted) {
        ComputationResult result = filledResult();
        result.roi = posted.roi;
        result.hasFracture = posted.imageIndex == 2 && !posted.reference.isNull();
        sentRecords = result.displacements;
        emit worker.resultReady(result);
    });
    QObject::connect(&worker, &RecordCourier::resultReady, &window, [&](ComputationResult result) {
        received = std::move(result);
        loop.quit();
    });

    workerThread.start();
    emit window.requestPosted(request);
    loop.exec();
    workerThread.quit();
    workerThread.wait();

    EXPECT_TRUE(received.hasFracture);
    EXPECT_EQ(received.roi, QRect(0, 0, 8, 8));
    ASSERT_EQ(received.displacements->dispX.size(), 2u);
    EXPECT_EQ(received.displacements.get(), sentRecords.lock().get());
    EXPECT_EQ(received.displacements.use_count(), 1) << "every queued copy has been destroyed";
    received = ComputationResult();
    EXPECT_TRUE(sentRecords.expired());
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
