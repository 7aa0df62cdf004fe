#include "gui/foundation/line_profile_widget.h"

#include <QContextMenuEvent>
#include <QFontMetrics>
#include <QLocale>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>

namespace tavro::gui {

namespace {

constexpr double kLeftMargin = 38.0;
constexpr double kTopMargin = 26.0;
constexpr double kRightMargin = 8.0;
constexpr double kBottomMargin = 13.0;
constexpr int kLabelWidthLimit = 32;

const QColor kCurveColour(122, 161, 199);
const QColor kLabelColour(170, 178, 192);
const QColor kHeaderColour(150, 158, 172);
const QColor kBrightText(235, 238, 245);

bool isFinite(float value) {
    return std::isfinite(value);
}

double sampleX(const QRectF& plot, std::size_t index, std::size_t count) {
    return plot.left() + static_cast<double>(index) * plot.width() / static_cast<double>(count - 1);
}

}  // namespace

QString toSuperscript(int value) {
    static const std::array<QString, 10> digits = {
        QString(QChar(0x2070)), QString(QChar(0x00B9)), QString(QChar(0x00B2)), QString(QChar(0x00B3)),
        QString(QChar(0x2074)), QString(QChar(0x2075)), QString(QChar(0x2076)), QString(QChar(0x2077)),
        QString(QChar(0x2078)), QString(QChar(0x2079))};
    QString text;
    if (value < 0)
        text += QChar(0x207B);
    // Through 64 bits so that the magnitude of INT_MIN is representable.
    const QString magnitude = QString::number(std::llabs(static_cast<long long>(value)));
    for (const QChar digit : magnitude)
        text += digits[static_cast<std::size_t>(digit.digitValue())];
    return text;
}

LineProfileWidget::LineProfileWidget(QWidget* parent) : QWidget(parent) {
    setMouseTracking(true);
    setAttribute(Qt::WA_TransparentForMouseEvents, false);
    setAttribute(Qt::WA_NoSystemBackground, true);
    setAttribute(Qt::WA_TranslucentBackground, true);
    setFocusPolicy(Qt::NoFocus);
}

LineProfileWidget::~LineProfileWidget() = default;

void LineProfileWidget::setProfile(std::vector<float> values, const QString& label, double length) {
    values_ = std::move(values);
    label_ = label;
    length_ = length;
    hoverIndex_ = -1;
    hasRange_ = false;
    for (const float value : values_) {
        if (!isFinite(value))
            continue;
        if (!hasRange_) {
            minValue_ = maxValue_ = value;
            hasRange_ = true;
        } else {
            minValue_ = std::min(minValue_, value);
            maxValue_ = std::max(maxValue_, value);
        }
    }
    update();
}

void LineProfileWidget::clearProfile() {
    values_.clear();
    label_.clear();
    length_ = 0.0;
    hasRange_ = false;
    hoverIndex_ = -1;
    update();
}

QRectF LineProfileWidget::plotRect() const {
    return QRectF(0, 0, width(), height()).adjusted(kLeftMargin, kTopMargin, -kRightMargin, -kBottomMargin);
}

bool LineProfileWidget::plotTooSmall() const {
    const QRectF plot = plotRect();
    return plot.width() <= 4.0 || plot.height() <= 4.0;
}

QString LineProfileWidget::message() const {
    if (values_.empty())
        return tr("Drag a line");
    if (values_.size() < 2 || !hasRange_)
        return tr("No data along this line");
    return QString();
}

std::pair<double, double> LineProfileWidget::displayedRange() const {
    double lo = minValue_;
    double hi = maxValue_;
    if (hi - lo < 1e-12) {
        const double spread = std::max(std::abs(hi) * 0.05, 1e-6);
        lo -= spread;
        hi += spread;
    }
    return {lo, hi};
}

QFont LineProfileWidget::textFont() const {
    QFont font = this->font();
    font.setPixelSize(10);
    return font;
}

LineProfileWidget::AxisLabels LineProfileWidget::axisLabels() const {
    AxisLabels labels;
    if (!hasRange_)
        return labels;
    const auto [lo, hi] = displayedRange();
    const QLocale locale;
    labels.high = locale.toString(hi, 'g', 4);
    labels.low = locale.toString(lo, 'g', 4);
    const double magnitude = std::max(std::abs(lo), std::abs(hi));
    const QFontMetrics metrics(textFont());
    const bool tooWide = metrics.horizontalAdvance(labels.high) > kLabelWidthLimit ||
                         metrics.horizontalAdvance(labels.low) > kLabelWidthLimit;
    if (magnitude > 0.0 && tooWide) {
        const int exponent = static_cast<int>(std::floor(std::log10(magnitude)));
        if (exponent != 0) {
            const double factor = std::pow(10.0, -exponent);
            labels.high = locale.toString(hi * factor, 'f', 2);
            labels.low = locale.toString(lo * factor, 'f', 2);
            labels.exponent = QString(QChar(0x00D7)) + QStringLiteral("10") + toSuperscript(exponent);
        }
    }
    return labels;
}

QString LineProfileWidget::hoverReadout() const {
    const std::size_t count = values_.size();
    if (hoverIndex_ < 0 || static_cast<std::size_t>(hoverIndex_) >= count)
        return QString();
    const QLocale locale;
    const double position =
        count > 1 ? static_cast<double>(hoverIndex_) * length_ / static_cast<double>(count - 1) : 0.0;
    const float value = values_[static_cast<std::size_t>(hoverIndex_)];
    const QString valueText = isFinite(value) ? locale.toString(static_cast<double>(value), 'g', 4)
                                              : QString(QChar(0x2014));
    return QStringLiteral("s = %1 : %2").arg(locale.toString(position, 'f', 1), valueText);
}

void LineProfileWidget::setHoverIndex(int index) {
    if (index == hoverIndex_)
        return;
    hoverIndex_ = index;
    update();
}

void LineProfileWidget::mouseMoveEvent(QMouseEvent* event) {
    const QRectF plot = plotRect();
    const double x = event->position().x();
    const std::size_t count = values_.size();
    int index = -1;
    if (count >= 2 && plot.width() > 0.0 && x >= plot.left() && x <= plot.right()) {
        const double fraction = (x - plot.left()) / plot.width();
        const long rounded = std::lround(static_cast<double>(count - 1) * fraction);
        index = static_cast<int>(std::clamp<long>(rounded, 0, static_cast<long>(count - 1)));
    }
    setHoverIndex(index);
    QWidget::mouseMoveEvent(event);
}

void LineProfileWidget::leaveEvent(QEvent* event) {
    setHoverIndex(-1);
    QWidget::leaveEvent(event);
}

void LineProfileWidget::contextMenuEvent(QContextMenuEvent* event) {
    if (values_.empty()) {
        QWidget::contextMenuEvent(event);
        return;
    }
    QMenu menu(this);
    QAction* remove = menu.addAction(tr("Remove this profile"));
    if (menu.exec(event->globalPos()) == remove)
        emit removeRequested();
    event->accept();
}

void LineProfileWidget::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(QColor(255, 255, 255, 60), 1.0));
    painter.setBrush(QColor(18, 22, 30, 225));
    painter.drawRoundedRect(QRectF(0.5, 0.5, width() - 1, height() - 1), 6, 6);
    if (plotTooSmall())
        return;

    const QFont font = textFont();
    painter.setFont(font);
    const QString emptyText = message();
    if (!emptyText.isEmpty()) {
        painter.setPen(QColor(200, 205, 215));
        painter.drawText(rect(), Qt::AlignCenter, emptyText);
        return;
    }

    const QRectF plot = plotRect();
    const QString title = label_.isEmpty() ? tr("Profile") : label_;
    const auto [lo, hi] = displayedRange();
    const auto yOf = [&](double value) { return plot.bottom() - plot.height() * (value - lo) / (hi - lo); };
    const std::size_t count = values_.size();

    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(QColor(255, 255, 255, 45), 1.0));
    painter.drawLine(plot.topLeft(), plot.bottomLeft());
    painter.drawLine(plot.bottomLeft(), plot.bottomRight());
    if (lo < 0.0 && hi > 0.0) {
        painter.setPen(QPen(QColor(255, 255, 255, 35), 1.0, Qt::DashLine));
        painter.drawLine(QPointF(plot.left(), yOf(0.0)), QPointF(plot.right(), yOf(0.0)));
    }

    const AxisLabels labels = axisLabels();
    painter.setPen(kLabelColour);
    painter.drawText(QRectF(3, plot.top() - 7, 32, 14), Qt::AlignRight | Qt::AlignVCenter, labels.high);
    painter.drawText(QRectF(3, plot.bottom() - 7, 32, 14), Qt::AlignRight | Qt::AlignVCenter, labels.low);

    const QFontMetrics metrics(font);
    const QString lengthText = tr("L = %1 pts").arg(QLocale().toString(length_, 'f', 1));
    const int exponentWidth = labels.exponent.isEmpty() ? 0 : metrics.horizontalAdvance(labels.exponent) + 6;
    const QRectF header(6, 2, width() - 12, 14);
    painter.setPen(kHeaderColour);
    painter.drawText(header, Qt::AlignRight | Qt::AlignVCenter, lengthText);
    QFont bold = font;
    bold.setWeight(QFont::Bold);
    const QFontMetrics boldMetrics(bold);
    const int titleRoom = std::max(width() - 12 - metrics.horizontalAdvance(lengthText) - exponentWidth - 8, 20);
    const QString shownTitle = boldMetrics.elidedText(title, Qt::ElideRight, titleRoom);
    painter.setFont(bold);
    painter.setPen(kBrightText);
    painter.drawText(header, Qt::AlignLeft | Qt::AlignVCenter, shownTitle);
    painter.setFont(font);
    if (!labels.exponent.isEmpty()) {
        painter.setPen(kHeaderColour);
        const double x = 6 + boldMetrics.horizontalAdvance(shownTitle) + 6;
        painter.drawText(QRectF(x, 2, exponentWidth, 14), Qt::AlignLeft | Qt::AlignVCenter, labels.exponent);
    }

    painter.setPen(kLabelColour);
    painter.drawText(QRectF(plot.left(), plot.bottom() + 1, 30, 12), Qt::AlignLeft | Qt::AlignVCenter,
                     QStringLiteral("A"));
    painter.drawText(QRectF(plot.right() - 30, plot.bottom() + 1, 30, 12), Qt::AlignRight | Qt::AlignVCenter,
                     QStringLiteral("B"));

    QPainterPath curve;
    bool inPiece = false;
    for (std::size_t i = 0; i < count; ++i) {
        if (!isFinite(values_[i])) {
            inPiece = false;
            continue;
        }
        const QPointF point(sampleX(plot, i, count), yOf(values_[i]));
        if (inPiece)
            curve.lineTo(point);
        else
            curve.moveTo(point);
        inPiece = true;
    }
    painter.setPen(QPen(kCurveColour, 1.4));
    painter.drawPath(curve);

    if (hoverIndex_ < 0 || static_cast<std::size_t>(hoverIndex_) >= count)
        return;
    const auto hovered = static_cast<std::size_t>(hoverIndex_);
    const double x = sampleX(plot, hovered, count);
    painter.setPen(QPen(QColor(255, 255, 255, 90), 1.0));
    painter.drawLine(QPointF(x, plot.top()), QPointF(x, plot.bottom()));
    if (isFinite(values_[hovered])) {
        painter.setPen(Qt::NoPen);
        painter.setBrush(kCurveColour);
        painter.drawEllipse(QPointF(x, yOf(values_[hovered])), 2.5, 2.5);
        painter.setBrush(Qt::NoBrush);
    }
    // The read-out sits on the side away from the hover line.
    const Qt::Alignment side = x < plot.center().x() ? Qt::AlignRight : Qt::AlignLeft;
    painter.setPen(kBrightText);
    painter.drawText(QRectF(plot.left(), plot.top() - 2, plot.width(), 12), side | Qt::AlignVCenter,
                     hoverReadout());
}

}  // namespace tavro::gui
