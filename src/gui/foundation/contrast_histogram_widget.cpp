#include "gui/foundation/contrast_histogram_widget.h"

#include <QCursor>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QStyleOption>

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace tavro::gui {

namespace {

constexpr std::size_t kBinCount = 256;
constexpr int kLastBin = 255;
constexpr std::size_t kSampleTarget = 1000;
constexpr int kHandleReach = 9;
constexpr int kVerticalReach = 8;

// std::clamp requires lo <= hi; a selection narrower than the gap can violate
// that, and then the lower bound wins.
float clampTo(float value, float lo, float hi) {
    return std::max(lo, std::min(value, hi));
}

int binOf(double t) {
    if (t <= 0.0)
        return 0;
    if (t >= 1.0)
        return kLastBin;
    return std::clamp(static_cast<int>(t * kLastBin), 0, kLastBin);
}

}  // namespace

ContrastHistogramWidget::ContrastHistogramWidget(QWidget* parent) : QWidget(parent) {
    setMinimumHeight(25);
    setMouseTracking(true);
}

ContrastHistogramWidget::~ContrastHistogramWidget() = default;

void ContrastHistogramWidget::setData(const std::vector<float>& values, float min, float max) {
    dataMin_ = binMin_ = viewMin_ = min;
    dataMax_ = binMax_ = viewMax_ = max;
    countBins(values, min, max);
    zoomed_ = false;
    clampSelection();
    updateCursorAtPointer();
    update();
}

void ContrastHistogramWidget::setDataZoomed(const std::vector<float>& values, float min, float max) {
    binMin_ = viewMin_ = min;
    binMax_ = viewMax_ = max;
    countBins(values, min, max);
    zoomed_ = true;
    clampSelection();
    updateCursorAtPointer();
    update();
}

void ContrastHistogramWidget::setRange(float min, float max) {
    selMin_ = min;
    selMax_ = max;
    clampSelection();
    updateCursorAtPointer();
    update();
}

void ContrastHistogramWidget::saveUnzoomedState() {
    savedBins_ = bins_;
    savedBinMin_ = dataMin_;
    savedBinMax_ = dataMax_;
    savedSelMin_ = selMin_;
    savedSelMax_ = selMax_;
}

void ContrastHistogramWidget::resetZoom() {
    if (!hasData_)
        return;
    if (!savedBins_.empty()) {
        bins_ = savedBins_;
        binMin_ = savedBinMin_;
        binMax_ = savedBinMax_;
    }
    viewMin_ = selMin_ = dataMin_;
    viewMax_ = selMax_ = dataMax_;
    zoomed_ = false;
    update();
    emit zoomChanged(false);
    emit rangeChangeFinished(dataMin_, dataMax_);
}

void ContrastHistogramWidget::zoomToSelection() {
    if (!hasData_ || !(selMin_ < selMax_))
        return;
    if (zoomHandler_) {
        zoomHandler_(selMin_, selMax_);
        emit zoomChanged(true);
        return;
    }
    viewMin_ = selMin_;
    viewMax_ = selMax_;
    zoomed_ = true;
    update();
    emit zoomChanged(true);
}

void ContrastHistogramWidget::setZoomHandler(std::function<void(float, float)> handler) {
    zoomHandler_ = std::move(handler);
}

void ContrastHistogramWidget::setShowLogHistogram(bool show) {
    if (show == showLogHistogram_)
        return;
    showLogHistogram_ = show;
    update();
}

void ContrastHistogramWidget::clear() {
    bins_.clear();
    hasData_ = false;
    zoomed_ = false;
    unsetCursor();
    update();
}

void ContrastHistogramWidget::countBins(const std::vector<float>& values, float min, float max) {
    bins_.assign(kBinCount, 0.0f);
    if (values.empty() || !std::isfinite(min) || !std::isfinite(max) || min >= max) {
        bins_.clear();
        hasData_ = false;
        return;
    }
    // At most about 2000 values are looked at, whatever the size of the field.
    const std::size_t stride = values.size() <= kSampleTarget ? 1 : values.size() / kSampleTarget;
    const double scale = 1.0 / (static_cast<double>(max) - static_cast<double>(min));
    for (std::size_t i = 0; i < values.size(); i += stride) {
        const float v = values[i];
        if (!std::isfinite(v))
            continue;
        bins_[static_cast<std::size_t>(binOf((static_cast<double>(v) - min) * scale))] += 1.0f;
    }
    // 8-bit grey levels fall on a comb of bins; smoothing hides the comb.
    if (min >= 0.0f && max <= 255.0f && std::abs(max - min) <= 255.0f) {
        std::vector<float> smoothed(kBinCount);
        for (std::size_t i = 0; i < kBinCount; ++i) {
            const float left = i > 0 ? bins_[i - 1] : 0.0f;
            const float right = i + 1 < kBinCount ? bins_[i + 1] : 0.0f;
            smoothed[i] = (left + 2.0f * bins_[i] + right) / 4.0f;
        }
        bins_ = std::move(smoothed);
    }
    hasData_ = true;
}

float ContrastHistogramWidget::gap() const {
    return std::max(1e-6f, (dataMax_ - dataMin_) * 1e-6f);
}

void ContrastHistogramWidget::clampSelection() {
    if (dataMin_ >= dataMax_) {
        selMin_ = dataMin_;
        selMax_ = dataMax_;
        return;
    }
    selMin_ = std::clamp(selMin_, dataMin_, dataMax_);
    selMax_ = std::clamp(selMax_, dataMin_, dataMax_);
    const float minimumGap = gap();
    if (selMax_ - selMin_ < minimumGap) {
        if (selMin_ + minimumGap <= dataMax_) {
            selMax_ = selMin_ + minimumGap;
        } else {
            selMax_ = dataMax_;
            selMin_ = dataMax_ - minimumGap;
        }
    }
}

QRect ContrastHistogramWidget::plotRect() const {
    QRect plot = rect().adjusted(24, 8, -24, -8);
    if (plot.width() < 10)
        plot.setRight(plot.left() + 10);
    if (plot.height() < 10)
        plot.setBottom(plot.top() + 10);
    return plot;
}

int ContrastHistogramWidget::valueToPosition(float value) const {
    const QRect plot = plotRect();
    const double span = static_cast<double>(viewMax_) - viewMin_;
    if (span <= 0.0)
        return plot.left();
    const double t = std::clamp((static_cast<double>(value) - viewMin_) / span, 0.0, 1.0);
    return plot.left() + static_cast<int>(std::lround((plot.width() - 1) * t));
}

float ContrastHistogramWidget::positionToValue(int x) const {
    const QRect plot = plotRect();
    if (plot.width() - 1 <= 0)
        return viewMin_;
    const double t = std::clamp(static_cast<double>(x - plot.left()) / (plot.width() - 1), 0.0, 1.0);
    return static_cast<float>(viewMin_ + (static_cast<double>(viewMax_) - viewMin_) * t);
}

bool ContrastHistogramWidget::canInteract() const {
    return hasData_ && isEnabled() && !bins_.empty() && dataMin_ < dataMax_;
}

void ContrastHistogramWidget::mousePressEvent(QMouseEvent* event) {
    if (!canInteract()) {
        event->ignore();
        return;
    }
    const QPoint pos = event->position().toPoint();
    const QRect plot = plotRect();
    if (!plot.adjusted(-kHandleReach, -kVerticalReach, kHandleReach, kVerticalReach).contains(pos)) {
        event->ignore();
        return;
    }
    const int lower = valueToPosition(selMin_);
    const int upper = valueToPosition(selMax_);
    const bool inReachRows = pos.y() >= plot.top() - kVerticalReach && pos.y() <= plot.bottom() + kVerticalReach;
    int mode = NoDrag;
    if (std::abs(pos.x() - lower) <= kHandleReach && inReachRows)
        mode = LowerHandle;
    else if (std::abs(pos.x() - upper) <= kHandleReach && inReachRows)
        mode = UpperHandle;
    else if (pos.x() > lower && pos.x() < upper && pos.y() >= plot.top() && pos.y() <= plot.bottom())
        mode = WholeWindow;
    dragMode_ = mode;
    if (mode == NoDrag) {
        event->ignore();
        updateHoverCursor(pos);
        return;
    }
    setCursor(Qt::ClosedHandCursor);
    dragging_ = true;
    pressX_ = pos.x();
    pressSelMin_ = selMin_;
    pressSelMax_ = selMax_;
    event->accept();
}

void ContrastHistogramWidget::mouseMoveEvent(QMouseEvent* event) {
    const QPoint pos = event->position().toPoint();
    if (!dragging_) {
        updateHoverCursor(pos);
        return;
    }
    const float minimumGap = gap();
    float newMin = selMin_;
    float newMax = selMax_;
    switch (dragMode_) {
    case LowerHandle:
        newMin = clampTo(positionToValue(pos.x()), dataMin_, selMax_ - minimumGap);
        break;
    case UpperHandle:
        newMax = clampTo(positionToValue(pos.x()), selMin_ + minimumGap, dataMax_);
        break;
    case WholeWindow: {
        const float windowWidth = pressSelMax_ - pressSelMin_;
        if (windowWidth <= 0.0f)
            return;
        const float shift = positionToValue(pos.x()) - positionToValue(pressX_);
        newMin = clampTo(pressSelMin_ + shift, dataMin_, dataMax_ - windowWidth);
        newMax = newMin + windowWidth;
        break;
    }
    default:
        return;
    }
    if (std::abs(newMin - selMin_) <= 1e-9f && std::abs(newMax - selMax_) <= 1e-9f)
        return;
    selMin_ = newMin;
    selMax_ = newMax;
    emit rangeChanged(selMin_, selMax_);
    update();
}

void ContrastHistogramWidget::mouseReleaseEvent(QMouseEvent* event) {
    if (dragging_) {
        dragging_ = false;
        dragMode_ = NoDrag;
        emit rangeChangeFinished(selMin_, selMax_);
        updateHoverCursor(event->position().toPoint());
    }
    QWidget::mouseReleaseEvent(event);
}

void ContrastHistogramWidget::leaveEvent(QEvent* event) {
    if (!dragging_)
        unsetCursor();
    QWidget::leaveEvent(event);
}

void ContrastHistogramWidget::updateHoverCursor(const QPoint& position) {
    if (!hasData_ || !isEnabled() || !rect().contains(position)) {
        unsetCursor();
        return;
    }
    const int lower = valueToPosition(selMin_);
    const int upper = valueToPosition(selMax_);
    if (std::abs(position.x() - lower) <= kHandleReach || std::abs(position.x() - upper) <= kHandleReach)
        setCursor(Qt::SizeHorCursor);
    else if (plotRect().contains(position) && position.x() > lower && position.x() < upper)
        setCursor(Qt::OpenHandCursor);
    else
        unsetCursor();
}

void ContrastHistogramWidget::updateCursorAtPointer() {
    updateHoverCursor(mapFromGlobal(QCursor::pos()));
}

void ContrastHistogramWidget::paintCurve(QPainter& painter, const QRect& plot, bool logarithmic,
                                         double peak) const {
    const double binSpan = static_cast<double>(binMax_) - binMin_;
    const double viewSpan = static_cast<double>(viewMax_) - viewMin_;
    const auto xOf = [&](std::size_t i) {
        if (viewSpan <= 0.0)
            return static_cast<double>(plot.left());
        const double value = binMin_ + static_cast<double>(i) / kLastBin * binSpan;
        return plot.left() + (plot.width() - 1) * (value - viewMin_) / viewSpan;
    };
    const auto heightOf = [&](float count) {
        if (logarithmic)
            return count > 0.0f ? std::min(1.0, std::log1p(static_cast<double>(count)) / peak) : 0.0;
        return std::min(1.0, static_cast<double>(count) / peak);
    };
    QPainterPath path(QPointF(xOf(0), plot.bottom()));
    for (std::size_t i = 0; i < bins_.size(); ++i)
        path.lineTo(xOf(i), plot.bottom() - (plot.height() - 1) * heightOf(bins_[i]));
    path.lineTo(xOf(bins_.size() - 1), plot.bottom());
    path.closeSubpath();

    QColor fill = logarithmic ? QColor(255, 165, 0, 60) : palette().color(QPalette::Highlight);
    QColor stroke = logarithmic ? QColor(255, 165, 0, 180) : fill;
    if (!logarithmic) {
        fill.setAlpha(90);
        stroke.setAlpha(255);
    }
    painter.fillPath(path, fill);
    painter.strokePath(path, QPen(stroke, 1.5));
}

void ContrastHistogramWidget::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    QStyleOption option;
    option.initFrom(this);
    style()->drawPrimitive(QStyle::PE_Widget, &option, &painter, this);
    painter.setRenderHint(QPainter::Antialiasing);

    const QRect plot = plotRect();
    painter.setPen(Qt::NoPen);
    painter.setBrush(palette().alternateBase());
    painter.drawRect(plot.adjusted(0, 0, -1, -1));
    painter.setBrush(Qt::NoBrush);

    const float largest = bins_.empty() ? 0.0f : *std::max_element(bins_.begin(), bins_.end());
    if (!hasData_ || bins_.empty() || dataMin_ >= dataMax_ || largest <= 0.0f) {
        painter.setPen(palette().color(QPalette::Mid));
        painter.drawText(plot, Qt::AlignCenter, tr("Histogram unavailable"));
        return;
    }

    const double binSpan = static_cast<double>(binMax_) - binMin_;
    const auto visibleBin = [&](float value) {
        if (binSpan <= 0.0)
            return 0;
        const double t = (static_cast<double>(value) - binMin_) / binSpan * kLastBin;
        return static_cast<int>(std::clamp(std::trunc(t), 0.0, static_cast<double>(kLastBin)));
    };
    const int first = visibleBin(viewMin_);
    const int last = std::max(first, visibleBin(viewMax_));
    const auto visibleBegin = bins_.begin() + first;
    const auto visibleEnd = bins_.begin() + last + 1;
    double peak = *std::max_element(visibleBegin, visibleEnd);
    if (peak <= 0.0)
        peak = largest;

    painter.save();
    painter.setClipRect(plot);
    paintCurve(painter, plot, false, peak);
    if (showLogHistogram_) {
        double logPeak = 0.0;
        for (auto it = visibleBegin; it != visibleEnd; ++it) {
            if (*it > 0.0f)
                logPeak = std::max(logPeak, std::log1p(static_cast<double>(*it)));
        }
        if (logPeak > 0.0)
            paintCurve(painter, plot, true, logPeak);
    }
    painter.restore();

    const QColor marks = palette().color(QPalette::WindowText);
    const int lower = valueToPosition(selMin_);
    const int upper = valueToPosition(selMax_);
    painter.setPen(QPen(marks, 2.0, Qt::SolidLine, Qt::FlatCap));
    painter.drawLine(QPointF(lower, plot.top()), QPointF(lower, plot.bottom()));
    painter.drawLine(QPointF(upper, plot.top()), QPointF(upper, plot.bottom()));
    painter.setPen(QPen(marks, 1.5, Qt::SolidLine, Qt::RoundCap));
    painter.drawLine(QPointF(lower, plot.bottom()), QPointF(upper, plot.top()));
    painter.setPen(Qt::NoPen);
    painter.setBrush(marks);
    painter.drawEllipse(QPointF(lower, plot.bottom()), 4.0, 4.0);
    painter.drawEllipse(QPointF(upper, plot.top()), 4.0, 4.0);
}

}  // namespace tavro::gui
