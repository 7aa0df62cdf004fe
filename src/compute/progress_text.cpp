#include "compute/progress_text.h"

#include "compute/stage_estimate.h"

#include <QRegularExpression>

#include <algorithm>
#include <cmath>
#include <mutex>
#include <utility>

namespace tavro::gui {
namespace {

const QString kPixelSearchStage = QStringLiteral("Integer-pixel search");

// Clamped before rounding, so that a count far beyond its total never reaches
// lround outside the range of long.
int roundPercent(double percent) { return static_cast<int>(std::lround(std::clamp(percent, 0.0, 100.0))); }

double fraction(uint64_t done, uint64_t total) { return static_cast<double>(done) / static_cast<double>(total); }

int pointPercent(uint64_t done, uint64_t total) {
    if (total == 0) return 0;
    return roundPercent(fraction(done, total) * 100.0);
}

int64_t readClock(const ProgressReporter::Clock& clock) { return clock ? clock() : 0; }

QString withCount(const QString& stage, uint64_t total, const char* unit) {
    return QStringLiteral("%1 (%2 %3)").arg(stage).arg(total).arg(QLatin1String(unit));
}

bool estimating(int percent) { return percent >= 1 && percent <= 99; }

// Nothing is said of the time left until there is a rate to tell it from.
QString estimateText(int64_t elapsedMs, int64_t remainingMs) {
    if (remainingMs < 0) return {};
    return QStringLiteral("Elapsed: %1 | Remaining: %2").arg(formatDuration(elapsedMs), formatDuration(remainingMs));
}

// formatDuration's texts back to milliseconds; -1 for anything else.
int64_t parseDuration(const QString& text) {
    static const QRegularExpression pattern(QStringLiteral("^(?:(\\d+)h )?(?:(\\d+)m ?)?(?:(\\d+)s)?$"));
    const QRegularExpressionMatch m = pattern.match(text.trimmed());
    if (!m.hasMatch() || text.trimmed().isEmpty()) return -1;
    return m.captured(1).toLongLong() * 3600000 + m.captured(2).toLongLong() * 60000 + m.captured(3).toLongLong() * 1000;
}

} // namespace

struct ProgressReporter::Planned {
    Planned(std::vector<QString> stageNames, std::vector<double> work)
        : names(std::move(stageNames)), estimate(std::move(work)) {}
    std::vector<QString> names;
    std::mutex mutex;
    StageEstimate estimate;
};

QString formatDuration(int64_t milliseconds) {
    if (milliseconds < 0) return {};
    const int64_t seconds = milliseconds / 1000;
    if (seconds < 60) return QStringLiteral("%1s").arg(seconds);
    const int64_t minutes = seconds / 60;
    if (minutes < 60) return QStringLiteral("%1m %2s").arg(minutes).arg(seconds - 60 * minutes);
    const int64_t hours = minutes / 60;
    return QStringLiteral("%1h %2m").arg(hours).arg(minutes - 60 * hours);
}

QString timingText(int percent, int64_t elapsedMs) {
    if (estimating(percent)) {
        const int64_t total = elapsedMs * 100 / percent;
        return QStringLiteral("Elapsed: %1 | Remaining: %2")
            .arg(formatDuration(elapsedMs), formatDuration(total - elapsedMs));
    }
    if (percent == 100) return QStringLiteral("Duration: %1").arg(formatDuration(elapsedMs));
    return {};
}

QString withElapsed(const QString& message, int64_t elapsedMs) {
    const QString key = QStringLiteral("Elapsed: ");
    const qsizetype start = message.indexOf(key);
    if (start < 0 || elapsedMs < 0) return message;
    const qsizetype from = start + key.size();
    qsizetype end = message.indexOf(QStringLiteral(" | "), from);
    if (end < 0) end = message.size();
    QString out = message;
    return out.replace(from, end - from, formatDuration(elapsedMs));
}

QString withRunRemaining(const QString& message, int64_t imageElapsedMs, int64_t earlierImagesMs, int imagesDone,
                         int imagesAfter) {
    const QString key = QStringLiteral("Remaining: ");
    const qsizetype start = message.indexOf(key);
    if (start < 0 || imagesAfter <= 0) return message;
    const qsizetype from = start + key.size();
    qsizetype end = message.indexOf(QStringLiteral(" | "), from);
    if (end < 0) end = message.size();
    const int64_t imageLeft = parseDuration(message.mid(from, end - from));
    if (imageLeft < 0) return message;
    const int64_t perImage =
        imagesDone > 0 ? earlierImagesMs / imagesDone : std::max<int64_t>(0, imageElapsedMs) + imageLeft;
    QString out = message;
    return out.replace(from, end - from, formatDuration(imageLeft + perImage * imagesAfter));
}

QString progressPrefix(int imageIndex, int imageCount) {
    if (imageCount <= 1) return {};
    return QStringLiteral("Image %1/%2 - ").arg(imageIndex).arg(imageCount);
}

ProgressReporter::ProgressReporter(QString prefix, Clock elapsed, Emit emitProgress,
                                   const std::atomic<bool>* cancelFlag)
    : prefix_(std::move(prefix)),
      elapsed_(std::move(elapsed)),
      emit_(std::move(emitProgress)),
      cancelFlag_(cancelFlag) {}

bool ProgressReporter::cancelled() const { return cancelFlag_ && cancelFlag_->load(); }

bool ProgressReporter::emitAndContinue(int percent, const QString& message) const {
    if (emit_) emit_(percent, message);
    return !cancelled();
}

void ProgressReporter::setPlan(const std::vector<PlannedStage>& plan) {
    if (plan.empty()) {
        plan_.reset();
        return;
    }
    std::vector<QString> names;
    std::vector<double> work;
    for (const PlannedStage& stage : plan) {
        names.push_back(stage.name);
        work.push_back(stage.work);
    }
    plan_ = std::make_shared<Planned>(std::move(names), std::move(work));
}

bool ProgressReporter::planned(const QString& stage, double fraction, QString& timing) const {
    if (!plan_) return false;
    const int64_t now = readClock(elapsed_);
    const std::lock_guard<std::mutex> lock(plan_->mutex);
    // A stage's text may carry more than its name ("Neural correlation on 2 GPUs").
    const auto named = std::find_if(plan_->names.begin(), plan_->names.end(),
                                    [&stage](const QString& name) { return stage.startsWith(name); });
    if (named != plan_->names.end())
        plan_->estimate.report(static_cast<int>(named - plan_->names.begin()), fraction, now);
    timing = estimateText(now, plan_->estimate.remainingMs());
    return true;
}

void ProgressReporter::reportStage(int percent, const QString& stage) const {
    QString message = prefix_ + stage;
    QString timing;
    if (!planned(stage, percent / 100.0, timing)) timing = timingText(percent, readClock(elapsed_));
    if (!timing.isEmpty()) message += QStringLiteral("|||") + timing;
    if (emit_) emit_(percent, message);
}

void ProgressReporter::reportCompleted(const QString& text) const {
    const int64_t now = readClock(elapsed_);
    if (plan_) {
        const std::lock_guard<std::mutex> lock(plan_->mutex);
        plan_->estimate.finish(now);
    }
    if (emit_) emit_(100, prefix_ + text + QStringLiteral("|||") + timingText(100, now));
}

bool ProgressReporter::pixelSearchProgress(uint64_t done, uint64_t total) const {
    const int percent = pointPercent(done, total);
    QString message = prefix_ + (total == 0 ? kPixelSearchStage : withCount(kPixelSearchStage, total, "points"));
    QString timing;
    if (!planned(kPixelSearchStage, total == 0 ? 0.0 : fraction(done, total), timing) && estimating(percent))
        timing = timingText(percent, readClock(elapsed_));
    // No "|||": the whole line belongs in the status label while the search runs.
    if (!timing.isEmpty()) message += QStringLiteral(" | ") + timing;
    return emitAndContinue(percent, message);
}

bool ProgressReporter::pointProgress(const QString& stage, uint64_t done, uint64_t total) const {
    const int percent = pointPercent(done, total);
    QString message = prefix_ + (total == 0 ? stage : withCount(stage, total, "points"));
    QString timing;
    if (!planned(stage, total == 0 ? 0.0 : fraction(done, total), timing) && estimating(percent))
        timing = timingText(percent, readClock(elapsed_));
    if (!timing.isEmpty()) message += QStringLiteral("|||") + timing;
    return emitAndContinue(percent, message);
}

bool ProgressReporter::subpixelProgress(int phase, uint64_t done, uint64_t total) const {
    int percent = 0;
    double share = 0.0;
    if (total != 0) {
        const double f = std::min(1.0, fraction(done, total));
        share = phase == 1 ? 0.05 * f : 0.05 + 0.95 * f;
        percent = phase == 1 ? roundPercent(5.0 * f) : std::min(100, roundPercent(95.0 * f) + 5);
    }
    QString message = prefix_ + withCount(QStringLiteral("Subpixel refinement"), total, "points");
    QString timing;
    if (!planned(QStringLiteral("Subpixel refinement"), share, timing) && estimating(percent))
        timing = timingText(percent, readClock(elapsed_));
    if (!timing.isEmpty()) message += QStringLiteral("|||") + timing;
    return emitAndContinue(percent, message);
}

bool ProgressReporter::tileProgress(const QString& stage, const Clock& stageElapsed, int64_t done,
                                    int64_t total) const {
    int percent = 0;
    if (total > 0) percent = roundPercent(static_cast<double>(done) * 100.0 / static_cast<double>(total));
    QString message = prefix_;
    message += total > 0 ? withCount(stage, static_cast<uint64_t>(total), "tiles") : stage;
    QString timing;
    const double share = total > 0 ? std::clamp(double(done) / double(total), 0.0, 1.0) : 0.0;
    if (!planned(stage, share, timing) && estimating(percent))
        timing = timingText(percent, readClock(stageElapsed));
    if (!timing.isEmpty()) message += QStringLiteral("|||") + timing;
    return emitAndContinue(percent, message);
}

} // namespace tavro::gui
