#pragma once
// Progress messages of a computation. The main window shows the part before the
// first "|||" in its status label and the rest in its timing label; a message
// without "|||" clears the timing label.

#include <QString>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "compute/computation_plan.h"

namespace tavro::gui {

// "42s", "3m 5s", "2h 7m"; empty for a negative duration.
QString formatDuration(int64_t milliseconds);

// "Elapsed: %1 | Remaining: %2" for 1..99 %, "Duration: %1" at 100 %, empty otherwise.
// It scales the time since the computation started by that percentage alone:
// right only for a computation of one stage (a reporter without a plan).
QString timingText(int percent, int64_t elapsedMs);

// `message` with its "Elapsed: <duration>" reading `elapsedMs`: a run of
// several computations counts from its own start, not from each one's.
QString withElapsed(const QString& message, int64_t elapsedMs);

// `message` with its "Remaining: <duration>" stretched from the current image
// (begun `imageElapsedMs` ago) over the `imagesAfter` images still to come,
// each taken as long as the `imagesDone` earlier ones took on average
// (`earlierImagesMs` in all), or, before any is done, as the current one.
QString withRunRemaining(const QString& message, int64_t imageElapsedMs, int64_t earlierImagesMs, int imagesDone,
                         int imagesAfter);

// "Image %1/%2 - " when the run has several images, else empty.
QString progressPrefix(int imageIndex, int imageCount);

// Emits the progress of one computation and answers the engine's callbacks.
// Callbacks may run on engine threads at the same time: every member is const
// and reads only the prefix, the clock and the cancel flag; the estimate of a
// plan has a lock of its own.
class ProgressReporter {
public:
    using Emit = std::function<void(int percent, const QString& message)>;
    // Milliseconds since the computation (or a stage) started.
    using Clock = std::function<int64_t()>;

    // A null cancel flag never cancels.
    ProgressReporter(QString prefix, Clock elapsed, Emit emitProgress, const std::atomic<bool>* cancelFlag);

    // With a plan, the time left covers the whole computation, each stage at
    // the pace its own work has shown (stages outside the plan move nothing);
    // without, each stage's own. The bar stays the stage's. Set before any
    // callback runs.
    void setPlan(const std::vector<PlannedStage>& plan);

    void reportStage(int percent, const QString& stage) const;
    // The last message of a computation: 100 % and its duration.
    void reportCompleted(const QString& text) const;

    // Each returns false when the computation is to stop.
    bool pixelSearchProgress(uint64_t done, uint64_t total) const;
    bool pointProgress(const QString& stage, uint64_t done, uint64_t total) const;
    // Phase 1 reports 0 to 5 % of the stage, phase 2 5 to 100 %.
    bool subpixelProgress(int phase, uint64_t done, uint64_t total) const;
    // The neural stage measures its estimate with its own clock.
    bool tileProgress(const QString& stage, const Clock& stageElapsed, int64_t done, int64_t total) const;

    bool cancelled() const;

private:
    struct Planned;

    bool emitAndContinue(int percent, const QString& message) const;
    // The whole computation's timing text once `stage` has done `fraction`;
    // false without a plan.
    bool planned(const QString& stage, double fraction, QString& timing) const;

    QString prefix_;
    Clock elapsed_;
    Emit emit_;
    const std::atomic<bool>* cancelFlag_;
    std::shared_ptr<Planned> plan_;
};

} // namespace tavro::gui
