#pragma once
// The share done and the time left of a computation whose stages cost unequal
// amounts. Each stage counts by its expected work, and the time left is
// measured from what the work already done took, never from the share of the
// current stage alone (a fast stage after a slow one would otherwise promise
// minutes that a few seconds finish). Widget-free; the caller gives the times.

#include <cstdint>
#include <vector>

namespace tavro::gui {

class StageEstimate {
public:
    // Expected work of each stage in one unit (pixel operations, say); a stage
    // of no work is passed over.
    explicit StageEstimate(std::vector<double> stageWork);

    // `fraction` (0..1) of `stage` is done `elapsedMs` after the computation
    // started. Reports of an earlier stage or a smaller fraction move nothing back.
    void report(int stage, double fraction, int64_t elapsedMs);
    void finish(int64_t elapsedMs);

    // 0..99 while running and never decreasing; 100 once finished.
    int percent() const { return percent_; }
    // Milliseconds left, or -1 while too little is done to tell.
    int64_t remainingMs() const;
    bool finished() const { return finished_; }
    int stageCount() const { return static_cast<int>(work_.size()); }

private:
    double workBefore(int stage) const;
    double workDone() const;

    std::vector<double> work_;
    double totalWork_ = 0.0;
    int stage_ = 0;
    double fraction_ = 0.0;
    int64_t stageStartMs_ = 0;
    int64_t nowMs_ = 0;
    int percent_ = 0;
    bool finished_ = false;
};

} // namespace tavro::gui
