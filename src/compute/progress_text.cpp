#include "compute/progress_text.h"

#include <algorithm>
#include <cmath>
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

} // namespace

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

void ProgressReporter::reportStage(int percent, const QString& stage) const {
    QString message = prefix_ + stage;
    const QString timing = timingText(percent, readClock(elapsed_));
    if (!timing.isEmpty()) message += QStringLiteral("|||") + timing;
    if (emit_) emit_(percent, message);
}

bool ProgressReporter::pixelSearchProgress(uint64_t done, uint64_t total) const {
    const int percent = pointPercent(done, total);
    QString message = prefix_ + (total == 0 ? kPixelSearchStage : withCount(kPixelSearchStage, total, "points"));
    // No "|||": the whole line belongs in the status label while the search runs.
    if (estimating(percent)) message += QStringLiteral(" | ") + timingText(percent, readClock(elapsed_));
    return emitAndContinue(percent, message);
}

bool ProgressReporter::pointProgress(const QString& stage, uint64_t done, uint64_t total) const {
    const int percent = pointPercent(done, total);
    QString message = prefix_ + (total == 0 ? stage : withCount(stage, total, "points"));
    if (estimating(percent)) message += QStringLiteral("|||") + timingText(percent, readClock(elapsed_));
    return emitAndContinue(percent, message);
}

bool ProgressReporter::subpixelProgress(int phase, uint64_t done, uint64_t total) const {
    int percent = 0;
    if (total != 0) {
        const double f = fraction(done, total);
        percent = phase == 1 ? roundPercent(5.0 * f) : std::min(100, roundPercent(95.0 * f) + 5);
    }
    QString message = prefix_ + withCount(QStringLiteral("Subpixel refinement"), total, "points");
    if (estimating(percent)) message += QStringLiteral("|||") + timingText(percent, readClock(elapsed_));
    return emitAndContinue(percent, message);
}

bool ProgressReporter::tileProgress(const QString& stage, const Clock& stageElapsed, int64_t done,
                                    int64_t total) const {
    int percent = 0;
    if (total > 0) percent = roundPercent(static_cast<double>(done) * 100.0 / static_cast<double>(total));
    QString message = prefix_;
    message += total > 0 ? withCount(stage, static_cast<uint64_t>(total), "tiles") : stage;
    if (estimating(percent)) message += QStringLiteral("|||") + timingText(percent, readClock(stageElapsed));
    return emitAndContinue(percent, message);
}

} // namespace tavro::gui
