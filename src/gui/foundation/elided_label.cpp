#include "gui/foundation/elided_label.h"

#include <QFontMetrics>
#include <QStringList>

#include <algorithm>

namespace tavro::gui {

namespace {

constexpr int kMaxLines = 3;

struct LineFit {
    qsizetype length = 0;
    qsizetype lastSpace = -1;
};

// Never ends a line between the two halves of a surrogate pair.
bool splitsPair(const QString& text, qsizetype n) {
    return n > 0 && n < text.size() && text.at(n - 1).isHighSurrogate() && text.at(n).isLowSurrogate();
}

LineFit fitLine(const QString& text, const QFontMetrics& metrics, int available) {
    LineFit fit;
    for (qsizetype n = 1; n <= text.size(); ++n) {
        if (splitsPair(text, n))
            continue;
        if (metrics.horizontalAdvance(text.left(n)) > available)
            break;
        fit.length = n;
    }
    if (fit.length == 0)
        fit.length = splitsPair(text, 1) ? 2 : 1;
    for (qsizetype i = 0; i < fit.length; ++i) {
        if (text.at(i).isSpace())
            fit.lastSpace = i;
    }
    return fit;
}

}  // namespace

ElidedLabel::ElidedLabel(const QString& text, QWidget* parent) : QLabel(parent), fullText_(text) {
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    setTextFormat(Qt::PlainText);
    setWordWrap(true);
    layoutText();
}

ElidedLabel::~ElidedLabel() = default;

void ElidedLabel::setText(const QString& text) {
    fullText_ = text;
    layoutText();
}

const QString& ElidedLabel::fullText() const {
    return fullText_;
}

QSize ElidedLabel::sizeHint() const {
    const QFontMetrics metrics = fontMetrics();
    return {200, kMaxLines * metrics.height() + (kMaxLines - 1) * metrics.leading()};
}

QSize ElidedLabel::minimumSizeHint() const {
    return {50, fontMetrics().height()};
}

void ElidedLabel::resizeEvent(QResizeEvent* event) {
    QLabel::resizeEvent(event);
    layoutText();
}

void ElidedLabel::layoutText() {
    const QMargins margins = contentsMargins();
    const int available = width() - margins.left() - margins.right();
    if (available < 1) {
        QLabel::setText(fullText_);
        return;
    }
    const QFontMetrics metrics = fontMetrics();
    QStringList lines;
    QString remaining = fullText_;
    while (!remaining.isEmpty()) {
        const LineFit fit = fitLine(remaining, metrics, available);
        if (fit.length >= remaining.size()) {
            lines << remaining;
            break;
        }
        if (lines.size() == kMaxLines - 1) {
            lines << metrics.elidedText(remaining, Qt::ElideRight, available);
            break;
        }
        const bool atSpace = fit.lastSpace > 0;
        const qsizetype end = atSpace ? fit.lastSpace : fit.length;
        lines << remaining.left(end).trimmed();
        remaining = remaining.mid(atSpace ? end + 1 : end).trimmed();
    }
    const QString displayed = lines.join(QLatin1Char('\n'));
    QLabel::setText(displayed);
    setToolTip(displayed != fullText_ ? fullText_ : QString());
}

}  // namespace tavro::gui
