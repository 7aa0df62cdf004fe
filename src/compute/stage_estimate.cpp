#include "compute/stage_estimate.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <utility>

namespace tavro::gui {
namespace {

// Below this share of the whole the measured rate is mostly start-up time.
constexpr double kMinShareForEstimate = 0.02;
// Below this share of its own stage, a stage's rate is not yet its own.
constexpr double kMinStageFraction = 0.05;

} // namespace

StageEstimate::StageEstimate(std::vector<double> stageWork) : work_(std::move(stageWork)) {
    for (double& w : work_)
        if (!std::isfinite(w) || w < 0.0) w = 0.0;
    totalWork_ = std::accumulate(work_.begin(), work_.end(), 0.0);
}

double StageEstimate::workBefore(int stage) const {
    return std::accumulate(work_.begin(), work_.begin() + stage, 0.0);
}

double StageEstimate::workDone() const {
    if (work_.empty()) return 0.0;
    return workBefore(stage_) + work_[std::size_t(stage_)] * fraction_;
}

void StageEstimate::report(int stage, double fraction, int64_t elapsedMs) {
    if (finished_ || work_.empty() || stage < stage_) return;
    stage = std::min(stage, stageCount() - 1);
    nowMs_ = std::max(nowMs_, elapsedMs);
    fraction = std::isfinite(fraction) ? std::clamp(fraction, 0.0, 1.0) : 0.0;
    if (stage > stage_) {
        stage_ = stage;
        fraction_ = fraction;
        stageStartMs_ = nowMs_;
    } else {
        fraction_ = std::max(fraction_, fraction);
    }
    if (totalWork_ > 0.0) {
        // 100 is kept for the end: work done is not yet a computation finished.
        const int share = static_cast<int>(std::floor(100.0 * workDone() / totalWork_));
        percent_ = std::max(percent_, std::min(99, share));
    }
}

void StageEstimate::finish(int64_t elapsedMs) {
    nowMs_ = std::max(nowMs_, elapsedMs);
    finished_ = true;
    percent_ = 100;
}

int64_t StageEstimate::remainingMs() const {
    if (finished_) return 0;
    const double done = workDone();
    if (totalWork_ <= 0.0 || nowMs_ <= 0 || done < kMinShareForEstimate * totalWork_) return -1;
    const double msPerWork = double(nowMs_) / done;
    const double stageWork = work_[std::size_t(stage_)];
    const double stageMs = double(nowMs_ - stageStartMs_);
    // The current stage at its own pace once it shows one; the stages to come
    // at the pace of all the work done so far.
    const double stageLeft = fraction_ >= kMinStageFraction && stageMs > 0.0
                                 ? stageMs * (1.0 - fraction_) / fraction_
                                 : stageWork * (1.0 - fraction_) * msPerWork;
    const double laterWork = totalWork_ - workBefore(stage_) - stageWork;
    return static_cast<int64_t>(std::llround(stageLeft + laterWork * msPerWork));
}

} // namespace tavro::gui
