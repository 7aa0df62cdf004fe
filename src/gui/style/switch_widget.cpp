#include "gui/style/switch_widget.h"

#include <QPainter>

#include <algorithm>

namespace tavro::gui {

namespace {

constexpr int kTrackWidth = 32;
constexpr int kTrackHeight = 18;
constexpr int kKnobInset = 3;
// Room around the track for the focus ring.
constexpr int kRingMargin = 2;
constexpr int kTextSpacing = 8;

}  // namespace

Switch::Switch(QWidget* parent) : Switch(QString(), parent) {}

Switch::Switch(const QString& text, QWidget* parent) : QAbstractButton(parent) {
    setText(text);
    setCheckable(true);
    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_Hover);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

Switch::~Switch() = default;

QSize Switch::sizeHint() const {
    int width = kTrackWidth + 2 * kRingMargin;
    int height = kTrackHeight + 2 * kRingMargin;
    if (!text().isEmpty()) {
        const QFontMetrics metrics = fontMetrics();
        width += kTextSpacing + metrics.horizontalAdvance(text());
        height = std::max(height, metrics.height());
    }
    return {width, height};
}

QSize Switch::minimumSizeHint() const {
    return sizeHint();
}

QRect Switch::trackRect() const {
    return {kRingMargin, (height() - kTrackHeight) / 2, kTrackWidth, kTrackHeight};
}

QRect Switch::knobRect() const {
    const QRect track = trackRect();
    const int diameter = kTrackHeight - 2 * kKnobInset;
    const int x = isChecked() ? track.right() - kKnobInset - diameter + 1 : track.left() + kKnobInset;
    return {x, track.top() + kKnobInset, diameter, diameter};
}

bool Switch::hitButton(const QPoint& pos) const {
    return rect().contains(pos);
}

void Switch::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QPalette::ColorGroup group = isEnabled() ? QPalette::Active : QPalette::Disabled;
    const bool hovered = isEnabled() && underMouse();

    const QRectF track = QRectF(trackRect());
    const qreal radius = track.height() / 2.0;
    if (hasFocus()) {
        QColor ring = palette().color(QPalette::Active, QPalette::Highlight);
        ring.setAlpha(110);
        painter.setPen(QPen(ring, kRingMargin));
        painter.setBrush(Qt::NoBrush);
        const qreal grow = kRingMargin / 2.0;
        painter.drawRoundedRect(track.adjusted(-grow, -grow, grow, grow), radius + grow, radius + grow);
    }

    QColor trackColor = palette().color(group, isChecked() ? QPalette::Highlight : QPalette::Button);
    if (hovered || isDown())
        trackColor = trackColor.lighter(isDown() ? 120 : 112);
    painter.setPen(Qt::NoPen);
    painter.setBrush(trackColor);
    painter.drawRoundedRect(track, radius, radius);
    if (!isEnabled()) {
        // Disabled fills are close to the window colour; a faint outline keeps the shape.
        QColor outline = palette().color(QPalette::Disabled, QPalette::ButtonText);
        outline.setAlpha(70);
        painter.setPen(QPen(outline, 1));
        painter.setBrush(Qt::NoBrush);
        painter.drawRoundedRect(track.adjusted(0.5, 0.5, -0.5, -0.5), radius - 0.5, radius - 0.5);
    }

    painter.setBrush(palette().color(group, QPalette::ButtonText));
    painter.drawEllipse(QRectF(knobRect()));

    if (!text().isEmpty()) {
        painter.setPen(palette().color(group, QPalette::WindowText));
        const QRect textRect = rect().adjusted(trackRect().right() + 1 + kTextSpacing, 0, 0, 0);
        painter.drawText(textRect, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, text());
    }
}

}  // namespace tavro::gui
