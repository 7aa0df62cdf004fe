#include "compute/computation_plan.h"
#include "compute/progress_text.h"
#include "compute/stage_estimate.h"

#include <gtest/gtest.h>

#include <QRegularExpression>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <vector>

namespace tavro::gui {
namespace {

// One stage of a synthetic run: its name, the work the plan expects of it and
// the time it really takes (a cost per unit that the plan did not know).
struct TrueStage {
    QString name;
    double plannedWork;
    int64_t durationMs;
};

struct Reading {
    int64_t atMs;
    int percent;
    int64_t remainingMs;  // -1 when the text says nothing of it
    int64_t trueRemainingMs;
};

// "42s", "3m 5s", "2h 7m" back to milliseconds.
int64_t parseDuration(const QString& text) {
    static const QRegularExpression part(QStringLiteral("(\\d+)([hms])"));
    int64_t ms = 0;
    for (auto it = part.globalMatch(text); it.hasNext();) {
        const auto m = it.next();
        const int64_t unit = m.captured(2) == QStringLiteral("h") ? 3600000 : m.captured(2) == QStringLiteral("m") ? 60000 : 1000;
        ms += m.captured(1).toLongLong() * unit;
    }
    return ms;
}

int64_t remainingIn(const QString& message) {
    static const QRegularExpression remaining(QStringLiteral("Remaining: ([0-9hms ]+)"));
    const auto m = remaining.match(message);
    return m.hasMatch() ? parseDuration(m.captured(1)) : -1;
}

// Drives a reporter as the worker does: each stage opens at 0 %, reports its
// points in twenty steps, and the computation ends with its completion.
std::vector<Reading> runThrough(const std::vector<TrueStage>& stages) {
    int64_t now = 0;
    std::vector<std::pair<int, QString>> emitted;
    ProgressReporter reporter(
        QString(), [&now] { return now; },
        [&emitted](int percent, const QString& message) { emitted.emplace_back(percent, message); }, nullptr);
    std::vector<PlannedStage> plan;
    int64_t total = 0;
    for (const TrueStage& s : stages) {
        plan.push_back({s.name, s.plannedWork});
        total += s.durationMs;
    }
    reporter.setPlan(plan);

    std::vector<Reading> readings;
    const auto read = [&] {
        readings.push_back({now, emitted.back().first, remainingIn(emitted.back().second), total - now});
    };
    int64_t start = 0;
    for (const TrueStage& s : stages) {
        reporter.reportStage(0, s.name);
        read();
        constexpr uint64_t kSteps = 20;
        for (uint64_t k = 1; k <= kSteps; ++k) {
            now = start + s.durationMs * int64_t(k) / int64_t(kSteps);
            if (s.name == QStringLiteral("Integer-pixel search"))
                reporter.pixelSearchProgress(k, kSteps);
            else
                reporter.pointProgress(s.name, k, kSteps);
            read();
        }
        start += s.durationMs;
    }
    reporter.reportCompleted(QStringLiteral("Computation completed."));
    read();
    return readings;
}

// A second per unit of planned work, off by up to 15 % for each stage: what a
// stage takes beside its plan is what no estimate can know before it runs.
const std::vector<TrueStage> kSlowSearchThenFastRefinement = {
    {QStringLiteral("Global alignment (rigid)"), 2.0, 2300},
    {QStringLiteral("Preparing regions of interest"), 1.0, 900},
    {QStringLiteral("Integer-pixel search"), 100.0, 115000},
    {QStringLiteral("Subpixel refinement"), 35.0, 31000},
    {QStringLiteral("Computing strains (ε)"), 1.0, 900},
};
const std::vector<TrueStage> kFastSearchThenSlowRefinement = {
    {QStringLiteral("Global alignment (rigid)"), 1.0, 1000},
    {QStringLiteral("Preparing regions of interest"), 1.0, 1100},
    {QStringLiteral("Integer-pixel search"), 20.0, 23000},
    {QStringLiteral("Subpixel refinement"), 80.0, 70000},
};

void expectFollowsTheRun(const std::vector<TrueStage>& stages) {
    const std::vector<Reading> readings = runThrough(stages);
    const int64_t total = readings.back().atMs;
    for (std::size_t i = 0; i + 1 < readings.size(); ++i) {
        const Reading& r = readings[i];
        // Once a tenth of the run is behind it, the estimate is within 40 % of
        // the truth (stages 15 % dearer and 15 % cheaper than planned are 35 %
        // apart), plus the text's rounding to the second.
        if (r.atMs >= total / 10) {
            ASSERT_GE(r.remainingMs, 0) << "at " << r.atMs << " ms nothing was estimated";
            EXPECT_LE(std::llabs(r.remainingMs - r.trueRemainingMs), r.trueRemainingMs * 2 / 5 + 1000)
                << "at " << r.atMs << " ms: estimated " << r.remainingMs << " ms, true " << r.trueRemainingMs;
        }
    }
    EXPECT_EQ(readings.back().percent, 100);
}

TEST(StagedProgress, FollowsASlowSearchAndAFastRefinement) { expectFollowsTheRun(kSlowSearchThenFastRefinement); }

TEST(StagedProgress, FollowsAFastSearchAndASlowRefinement) { expectFollowsTheRun(kFastSearchThenSlowRefinement); }

TEST(StagedProgress, ARefinementAfterALongSearchPromisesOnlyItsOwnTime) {
    // 2m 29s in, a fifth into a refinement that takes 12 s after a search of 2m 20s.
    const std::vector<TrueStage> stages = {
        {QStringLiteral("Integer-pixel search"), 100.0, 140000},
        {QStringLiteral("Subpixel refinement"), 10.0, 12000},
    };
    for (const Reading& r : runThrough(stages)) {
        if (r.atMs > 140000 && r.atMs < 152000) {
            EXPECT_LE(r.remainingMs, 12000) << "at " << r.atMs << " ms";
        }
    }
}

TEST(StagedProgress, SaysNothingOfTheTimeLeftBeforeThereIsARate) {
    const std::vector<Reading> readings = runThrough(kSlowSearchThenFastRefinement);
    EXPECT_EQ(readings.front().remainingMs, -1) << "at the start";
    EXPECT_EQ(readings.front().percent, 0);
}

ComputationRequest planRequest(int window, int step, int range) {
    ComputationRequest request;
    request.reference = QImage(1024, 1024, QImage::Format_Grayscale8);
    request.roi = QRect(0, 0, 1024, 1024);
    request.pixelSearch.windowSizeX = request.pixelSearch.windowSizeY = window;
    request.pixelSearch.stepX = request.pixelSearch.stepY = step;
    request.pixelSearch.maxU = request.pixelSearch.maxV = range;
    return request;
}

double plannedWork(const std::vector<PlannedStage>& plan, const QString& name) {
    for (const PlannedStage& stage : plan)
        if (stage.name == name) return stage.work;
    return -1.0;
}

TEST(ComputationPlan, SharesTheSearchAndTheRefinementAsTheBenchmarkMeasuredThem) {
    // Seconds of the integer-pixel search and of the refinement on a 1024 px
    // pair with the CPU build; the plan is to keep their ratio within 20 %.
    const struct {
        int window, step, range;
        double searchSeconds, refinementSeconds;
    } measured[] = {{61, 4, 6, 4.99, 1.42}, {21, 5, 5, 0.463, 0.300}, {41, 8, 15, 0.894, 0.220}};
    for (const auto& m : measured) {
        const std::vector<PlannedStage> plan = computationPlan(planRequest(m.window, m.step, m.range));
        const double ratio = plannedWork(plan, stage_names::pixelSearch()) / plannedWork(plan, stage_names::subpixel());
        EXPECT_NEAR(ratio / (m.searchSeconds / m.refinementSeconds), 1.0, 0.2) << "window " << m.window;
    }
}

TEST(ComputationPlan, PlansOnlyTheStagesTheRequestRuns) {
    ComputationRequest request = planRequest(21, 5, 5);
    const auto names = [](const std::vector<PlannedStage>& plan) {
        std::vector<QString> out;
        for (const PlannedStage& stage : plan) out.push_back(stage.name);
        return out;
    };
    EXPECT_EQ(names(computationPlan(request)),
              (std::vector<QString>{stage_names::rigid(), stage_names::prepare(), stage_names::pixelSearch(),
                                    stage_names::subpixel()}));
    request.neuralCorrelation = true;
    request.computeStrains = true;
    request.userStepX = request.userStepY = 5;
    EXPECT_EQ(names(computationPlan(request)),
              (std::vector<QString>{stage_names::rigid(), stage_names::prepare(), stage_names::pixelSearch(),
                                    stage_names::neural(), stage_names::cracks(), stage_names::strains()}));
}

TEST(StageEstimate, StagesOfNoWorkAndStraysMoveNothingBack) {
    StageEstimate estimate({0.0, 10.0, 30.0});
    estimate.report(1, 0.5, 1000);
    EXPECT_EQ(estimate.percent(), 12);
    estimate.report(0, 1.0, 1100);
    estimate.report(1, 0.2, 1200);
    EXPECT_EQ(estimate.percent(), 12) << "an earlier stage or a smaller share is a late report";
    estimate.report(2, 1.0, 5000);
    EXPECT_EQ(estimate.percent(), 99) << "all the work done is not the end";
    EXPECT_EQ(estimate.remainingMs(), 0);
    estimate.finish(5100);
    EXPECT_EQ(estimate.percent(), 100);
    StageEstimate empty({});
    empty.report(0, 1.0, 10);
    EXPECT_EQ(empty.percent(), 0);
    EXPECT_EQ(empty.remainingMs(), -1);
}

} // namespace
} // namespace tavro::gui
