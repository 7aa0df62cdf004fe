#include "compute/progress_text.h"

#include <gtest/gtest.h>

#include <atomic>
#include <limits>
#include <utility>
#include <vector>

namespace tavro::gui {
namespace {

TEST(FormatDuration, SecondsMinutesAndHoursWithoutPadding) {
    EXPECT_EQ(formatDuration(59999), QStringLiteral("59s"));
    EXPECT_EQ(formatDuration(60000), QStringLiteral("1m 0s"));
    EXPECT_EQ(formatDuration(3599000), QStringLiteral("59m 59s"));
    EXPECT_EQ(formatDuration(3600000), QStringLiteral("1h 0m"));
    EXPECT_EQ(formatDuration(3600000 * 27 + 61000 * 5), QStringLiteral("27h 5m")) << "no seconds with hours";
    EXPECT_EQ(formatDuration(-1), QString());
}

TEST(TimingText, RemainingTimeScalesTheElapsedTimeByThePercentage) {
    EXPECT_EQ(timingText(25, 30000), QStringLiteral("Elapsed: 30s | Remaining: 1m 30s"));
    EXPECT_EQ(timingText(100, 65000), QStringLiteral("Duration: 1m 5s"));
    EXPECT_EQ(timingText(0, 5000), QString());
}

TEST(TimingText, ARunsElapsedTimeReplacesEachComputationsOwn) {
    EXPECT_EQ(withElapsed(QStringLiteral("Elapsed: 3s | Remaining: 9s"), 65000),
              QStringLiteral("Elapsed: 1m 5s | Remaining: 9s"));
    EXPECT_EQ(withElapsed(QStringLiteral("Image 2/3 - Integer-pixel search (100 points) | Elapsed: 1s | Remaining: 3s"),
                          42000),
              QStringLiteral("Image 2/3 - Integer-pixel search (100 points) | Elapsed: 42s | Remaining: 3s"));
    EXPECT_EQ(withElapsed(QStringLiteral("Elapsed: 59s"), 61000), QStringLiteral("Elapsed: 1m 1s")) << "at the end";
    EXPECT_EQ(withElapsed(QStringLiteral("Duration: 4s"), 61000), QStringLiteral("Duration: 4s"));
    EXPECT_EQ(withElapsed(QStringLiteral("Elapsed: 2s | Remaining: 1s"), -1),
              QStringLiteral("Elapsed: 2s | Remaining: 1s"));
}

TEST(TimingText, ARunsTimeLeftCountsTheImagesStillToCome) {
    // Image 2 of 4: the first took 40 s, this one has run 10 s and has 30 s left.
    EXPECT_EQ(withRunRemaining(QStringLiteral("Elapsed: 50s | Remaining: 30s"), 10000, 40000, 1, 2),
              QStringLiteral("Elapsed: 50s | Remaining: 1m 50s"));
    // Before any image is done, those to come are taken as long as this one.
    EXPECT_EQ(withRunRemaining(QStringLiteral("Image 1/3 - Integer-pixel search (9 points) | Elapsed: 1m 0s | "
                                              "Remaining: 2m 0s"),
                               60000, 0, 0, 2),
              QStringLiteral("Image 1/3 - Integer-pixel search (9 points) | Elapsed: 1m 0s | Remaining: 8m 0s"));
    EXPECT_EQ(withRunRemaining(QStringLiteral("Elapsed: 1h 0m | Remaining: 1h 2m"), 0, 7200000, 2, 1),
              QStringLiteral("Elapsed: 1h 0m | Remaining: 2h 2m"));
    EXPECT_EQ(withRunRemaining(QStringLiteral("Elapsed: 5s | Remaining: 9s"), 5000, 0, 0, 0),
              QStringLiteral("Elapsed: 5s | Remaining: 9s"))
        << "the last image's time left is the run's";
    EXPECT_EQ(withRunRemaining(QStringLiteral("Duration: 4s"), 4000, 0, 0, 3), QStringLiteral("Duration: 4s"));
}

using Emitted = std::pair<int, QString>;

// A reporter whose clock and cancel flag the test sets.
class ReporterFixture : public ::testing::Test {
protected:
    ProgressReporter reporter(const QString& prefix = {}) {
        return ProgressReporter(
            prefix, [this] { return elapsedMs; },
            [this](int percent, const QString& message) { emitted.emplace_back(percent, message); }, &cancel);
    }
    const Emitted& last() const { return emitted.back(); }

    int64_t elapsedMs = 0;
    std::atomic<bool> cancel{false};
    std::vector<Emitted> emitted;
};

TEST_F(ReporterFixture, StageMessagesCarryTimingOnlyWhileRunningOrAtTheEnd) {
    const ProgressReporter r = reporter(QStringLiteral("Image 2/3 - "));
    elapsedMs = 30000;
    r.reportStage(0, QStringLiteral("Global alignment (rigid)"));
    EXPECT_EQ(last(), Emitted(0, QStringLiteral("Image 2/3 - Global alignment (rigid)")));
    elapsedMs = 65000;
    r.reportStage(100, QStringLiteral("Computation completed."));
    EXPECT_EQ(last(), Emitted(100, QStringLiteral("Image 2/3 - Computation completed.|||Duration: 1m 5s")));
}

TEST_F(ReporterFixture, PixelSearchKeepsItsTimingInTheStatusText) {
    const ProgressReporter r = reporter();
    elapsedMs = 30000;
    EXPECT_TRUE(r.pixelSearchProgress(25, 100));
    EXPECT_EQ(last(), Emitted(25,
                              QStringLiteral("Integer-pixel search (100 points) | Elapsed: 30s | Remaining: 1m 30s")));
    r.pixelSearchProgress(0, 0);
    EXPECT_EQ(last(), Emitted(0, QStringLiteral("Integer-pixel search")));
    r.pixelSearchProgress(150, 100);
    EXPECT_EQ(last(), Emitted(100, QStringLiteral("Integer-pixel search (100 points)")));
}

TEST_F(ReporterFixture, PointProgressSplitsStatusAndTiming) {
    const ProgressReporter r = reporter(QStringLiteral("Image 2/3 - "));
    elapsedMs = 10000;
    r.pointProgress(QStringLiteral("Computing strains (ε)"), 600, 1200);
    EXPECT_EQ(last(), Emitted(50, QStringLiteral("Image 2/3 - Computing strains (ε) (1200 points)|||"
                                                 "Elapsed: 10s | Remaining: 10s")));
    r.pointProgress(QStringLiteral("Subpixel refinement"), 0, 0);
    EXPECT_EQ(last().second, QStringLiteral("Image 2/3 - Subpixel refinement"));
    r.pointProgress(QStringLiteral("Subpixel refinement"), std::numeric_limits<uint64_t>::max(), 1);
    EXPECT_EQ(last().first, 100) << "a count far past its total never wraps";
    EXPECT_EQ(last().second, QStringLiteral("Image 2/3 - Subpixel refinement (1 points)"));
}

TEST_F(ReporterFixture, SubpixelPhasesShareOneBarFromZeroToFiveAndFiveToHundred) {
    const ProgressReporter r = reporter();
    elapsedMs = 4000;
    r.subpixelProgress(1, 50, 100);
    EXPECT_EQ(last(), Emitted(3, QStringLiteral("Subpixel refinement (100 points)|||Elapsed: 4s | Remaining: 2m 9s")));
    r.subpixelProgress(2, 0, 100);
    EXPECT_EQ(last().first, 5);
    r.subpixelProgress(2, 100, 100);
    EXPECT_EQ(last(), Emitted(100, QStringLiteral("Subpixel refinement (100 points)")));
    r.subpixelProgress(2, 7, 0);
    EXPECT_EQ(last(), Emitted(0, QStringLiteral("Subpixel refinement (0 points)")));
}

TEST_F(ReporterFixture, TilesAreTimedWithTheNeuralStageClock) {
    const ProgressReporter r = reporter();
    elapsedMs = 500000;
    const ProgressReporter::Clock stageClock = [] { return int64_t(20000); };
    r.tileProgress(QStringLiteral("Neural correlation"), stageClock, 3, 4);
    EXPECT_EQ(last(), Emitted(75, QStringLiteral("Neural correlation (4 tiles)|||Elapsed: 20s | Remaining: 6s")));
    r.tileProgress(QStringLiteral("Neural correlation"), stageClock, 3, -1);
    EXPECT_EQ(last(), Emitted(0, QStringLiteral("Neural correlation")));
}

TEST_F(ReporterFixture, CallbacksAnswerFalseOnceCancelled) {
    const ProgressReporter r = reporter();
    EXPECT_TRUE(r.pointProgress(QStringLiteral("Subpixel refinement"), 1, 2));
    cancel = true;
    EXPECT_FALSE(r.pixelSearchProgress(1, 2));
    EXPECT_FALSE(r.subpixelProgress(2, 1, 2));
    EXPECT_FALSE(r.tileProgress(QStringLiteral("Neural correlation"), {}, 1, 2));
    EXPECT_EQ(emitted.size(), 4u) << "progress is still reported when cancelled";
    const ProgressReporter uncancellable(QString(), {}, {}, nullptr);
    EXPECT_TRUE(uncancellable.pointProgress(QStringLiteral("x"), 1, 2));
}

} // namespace
} // namespace tavro::gui
