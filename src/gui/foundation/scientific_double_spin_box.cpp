#include "gui/foundation/scientific_double_spin_box.h"

#include <QLineEdit>
#include <QLocale>
#include <QStyle>

#include <algorithm>
#include <cmath>
#include <optional>

namespace tavro::gui {

namespace {

std::optional<double> readNumber(const QString& text) {
    bool ok = false;
    const double value = QLocale::c().toDouble(text.trimmed(), &ok);
    if (!ok || !std::isfinite(value))
        return std::nullopt;
    return value;
}

}  // namespace

ScientificDoubleSpinBox::ScientificDoubleSpinBox(QWidget* parent) : QDoubleSpinBox(parent) {
    // QDoubleSpinBox rounds every value to its decimals; 15 keeps 1e-12 and its neighbours.
    setDecimals(15);
}

ScientificDoubleSpinBox::~ScientificDoubleSpinBox() = default;

QString ScientificDoubleSpinBox::textFromValue(double value) const {
    if (!std::isfinite(value))
        return QString::number(value);
    if (value == 0.0 || std::abs(value) < 1e-15)
        return QStringLiteral("0");
    int exponent = static_cast<int>(std::floor(std::log10(std::abs(value))));
    double mantissa = value / std::pow(10.0, exponent);
    // log10 may land a hair off an exact power of ten.
    if (std::abs(mantissa) >= 10.0) {
        ++exponent;
        mantissa /= 10.0;
    } else if (std::abs(mantissa) < 1.0) {
        --exponent;
        mantissa *= 10.0;
    }
    const double nearest = std::round(mantissa);
    const QString mantissaText = std::abs(mantissa - nearest) < 0.0001
                                     ? QString::number(static_cast<qint64>(nearest))
                                     : QString::number(mantissa, 'g', 3);
    return QStringLiteral("%1e%2").arg(mantissaText).arg(exponent);
}

double ScientificDoubleSpinBox::valueFromText(const QString& text) const {
    return readNumber(text).value_or(value());
}

QValidator::State ScientificDoubleSpinBox::validate(QString& input, int& pos) const {
    Q_UNUSED(pos);
    const std::optional<double> number = readNumber(input);
    if (!number)
        return QValidator::Intermediate;
    // Out of range is only a passing state: "0" on the way to "0.001", "5" on the
    // way to "5e-3"; fixup clamps whatever is left when the text is committed.
    if (*number < minimum() || *number > maximum())
        return QValidator::Intermediate;
    return QValidator::Acceptable;
}

void ScientificDoubleSpinBox::fixup(QString& input) const {
    const std::optional<double> number = readNumber(input);
    if (!number)
        return;
    // Full precision, so that a clamped bound reads back as exactly that bound.
    input = QString::number(std::clamp(*number, minimum(), maximum()), 'g', 17);
}

void ScientificDoubleSpinBox::stepBy(int steps) {
    // As QAbstractSpinBox does: text typed but not yet committed is committed
    // first, and a text that needed correcting takes the place of the step.
    if (lineEdit()->isModified()) {
        QString text = lineEdit()->displayText();
        int pos = lineEdit()->cursorPosition();
        const bool acceptable = validate(text, pos) == QValidator::Acceptable;
        interpretText();
        if (!acceptable)
            return;
    }
    const double current = value();
    if (current != 0.0 && std::abs(current) >= minimum())
        setValue(std::clamp(current * std::pow(10.0, steps), minimum(), maximum()));
    else if (steps >= 1)
        setValue(minimum());
    if (style()->styleHint(QStyle::SH_SpinBox_SelectOnStep, nullptr, this))
        selectAll();
}

}  // namespace tavro::gui
