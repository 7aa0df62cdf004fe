#include "gui/mainwindow/named_kernel_edit_dialog.h"

#include "gui/mainwindow/edit_dialog_parts.h"

#include "gui/foundation/message_boxes.h"
#include "gui/foundation/theme.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalBlocker>
#include <QStringList>
#include <QVBoxLayout>

#include <cmath>

namespace {

constexpr double kSymmetryTolerance = 1e-5;

QString coefficientText(float c) {
    const float magnitude = std::abs(c);
    return QString::number(c, 'g', magnitude > 0.0f && magnitude < 0.001f ? 6 : 4);
}

// toFloat takes "nan" and "inf", which would slip through the symmetry tests.
bool toFiniteFloat(const QString& text, float& value) {
    bool ok = false;
    value = text.toFloat(&ok);
    return ok && std::isfinite(value);
}

// A token is a number or a quotient "a/b" with b != 0.
bool coefficientValue(const QString& token, float& value) {
    const QStringList fraction = token.split(QLatin1Char('/'));
    float numerator = 0.0f;
    float denominator = 0.0f;
    if (fraction.size() == 2 && toFiniteFloat(fraction[0], numerator) && toFiniteFloat(fraction[1], denominator) &&
        denominator != 0.0f) {
        value = numerator / denominator;
        // Finite parts can still overflow, e.g. 3e38/0.1.
        return std::isfinite(value);
    }
    return toFiniteFloat(token, value);
}

}  // namespace

NamedKernelEditDialog::NamedKernelEditDialog(int kind, QWidget* parent) : QDialog(parent), kind(kind) {
    setWindowTitle(kind == 0 ? QStringLiteral("Edit Derivative Kernel") : QStringLiteral("Edit Smoothing Kernel"));
    setMinimumWidth(450);
    setupUi();
}

NamedKernelEditDialog::~NamedKernelEditDialog() = default;

void NamedKernelEditDialog::setupUi() {
    using namespace tavro::gui;
    auto* layout = new QVBoxLayout(this);

    const EditDialogFields fields =
        addEditDialogFields(this, layout, QStringLiteral("My kernel"), QStringLiteral("Coefficients (space-separated):"),
                            kind == 0 ? QStringLiteral("-0.5  0  0.5") : QStringLiteral("1  2  1"));
    nameEdit = fields.name;
    coefficientsEdit = fields.value;
    statusLabel = fields.status;
    statusLabel->setWordWrap(true);

    auto* hint = new QLabel(kind == 0 ? QStringLiteral("Derivative kernel: must be antisymmetric (sum = 0) and turn a "
                                                       "ramp of slope 1 into 1.\n"
                                                       "Ex: Order 2 = [-1/2, 0, 1/2], "
                                                       "Order 4 = [1/12, -2/3, 0, 2/3, -1/12]")
                                      : QStringLiteral("Smoothing kernel: must be symmetric.\n"
                                                       "Ex: Binomial = [1, 2, 1], Uniform = [1, 1, 1]\n"
                                                       "Leave empty to disable smoothing."),
                            this);
    hint->setWordWrap(true);
    hint->setStyleSheet(kMutedSmallTextStyle);
    layout->addWidget(hint);

    addCancelApplyRow(this, layout, cancelButton, applyButton);

    connect(nameEdit, &QLineEdit::textChanged, this, [this](const QString& text) { onNameTextChanged(text); });
    connect(coefficientsEdit, &QLineEdit::textChanged, this, [this] { validateCoefficients(); });
    connect(applyButton, &QPushButton::clicked, this, [this] { onValidateAndAccept(); });
}

void NamedKernelEditDialog::setKernel(const tavro::gui::NamedKernel& kernel) {
    name = kernel.name;
    coefficients = kernel.coefficients;
    nameEdit->setText(QString::fromStdString(kernel.name));
    QStringList parts;
    for (const float c : kernel.coefficients)
        parts << coefficientText(c);
    coefficientsEdit->setText(parts.join(QStringLiteral("  ")));
    validateCoefficients();
}

bool NamedKernelEditDialog::parseCoefficients(const QString& text, std::vector<float>& out, QString& error) const {
    out.clear();
    if (text.trimmed().isEmpty()) {
        if (kind == 1)
            return true;
        error = QStringLiteral("Coefficients cannot be empty.");
        return false;
    }
    QString separated = text;
    separated.replace(QLatin1Char(','), QLatin1Char(' ')).replace(QLatin1Char('\t'), QLatin1Char(' '));
    for (const QString& token : separated.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        float value = 0.0f;
        if (!coefficientValue(token, value)) {
            error = QStringLiteral("Invalid coefficient: %1").arg(token);
            return false;
        }
        out.push_back(value);
    }
    return true;
}

void NamedKernelEditDialog::validateCoefficients() {
    std::vector<float> parsed;
    QString error;
    QString failure;
    if (!parseCoefficients(coefficientsEdit->text(), parsed, error)) {
        failure = error;
    } else if (!parsed.empty() && parsed.size() % 2 == 0) {
        failure = QStringLiteral("Size %1 (must be odd)").arg(parsed.size());
    } else if (kind == 1) {
        for (std::size_t i = 0; i < parsed.size() / 2; ++i)
            if (std::abs(parsed[i] - parsed[parsed.size() - 1 - i]) > kSymmetryTolerance) {
                failure = QStringLiteral("Not symmetric. c[i] must equal c[n-1-i]");
                break;
            }
    } else {
        double sum = 0.0;
        for (const float c : parsed)
            sum += c;
        bool antisymmetric = !parsed.empty() && std::abs(sum) <= kSymmetryTolerance;
        for (std::size_t i = 0; i < parsed.size() / 2; ++i)
            antisymmetric = antisymmetric &&
                            std::abs(parsed[i] + parsed[parsed.size() - 1 - i]) <= kSymmetryTolerance;
        if (parsed.size() % 2 == 1)
            antisymmetric = antisymmetric && std::abs(parsed[parsed.size() / 2]) <= kSymmetryTolerance;
        if (!antisymmetric)
            failure = QStringLiteral("Not antisymmetric. ") +
                      (std::abs(sum) > kSymmetryTolerance ? QStringLiteral("Sum = %1 (must be 0)").arg(sum, 0, 'g', 4)
                                                          : QStringLiteral("c[i] must equal -c[n-1-i]"));
    }

    if (!failure.isEmpty()) {
        statusLabel->setText(QStringLiteral("✗ ") + failure);
        statusLabel->setStyleSheet(tavro::gui::kDangerSmallTextStyle);
        valid = false;
        return;
    }
    statusLabel->setText(parsed.empty() ? QStringLiteral("✓ No smoothing (empty)")
                                        : QStringLiteral("✓ Valid (%1 coefficients)").arg(parsed.size()));
    statusLabel->setStyleSheet(tavro::gui::kSuccessSmallTextStyle);
    valid = true;
    coefficients = std::move(parsed);
}

void NamedKernelEditDialog::onNameTextChanged(const QString& text) {
    static const QRegularExpression forbidden(QStringLiteral("[\\[\\]=]"));
    QString cleaned = text;
    cleaned.remove(forbidden);
    if (cleaned != text) {
        const QSignalBlocker blocker(nameEdit);
        nameEdit->setText(cleaned);
    }
    name = cleaned.toStdString();
}

void NamedKernelEditDialog::onValidateAndAccept() {
    const QString trimmedName = nameEdit->text().trimmed();
    if (trimmedName.isEmpty()) {
        tavro::gui::showWarning(this, QStringLiteral("Name required"), QStringLiteral("Please enter a name for the kernel."));
        nameEdit->setFocus();
        return;
    }
    validateCoefficients();
    if (!valid) {
        tavro::gui::showWarning(this, QStringLiteral("Invalid coefficients"), QStringLiteral("The coefficients contain errors."));
        coefficientsEdit->setFocus();
        return;
    }
    name = trimmedName.toStdString();
    accept();
}
