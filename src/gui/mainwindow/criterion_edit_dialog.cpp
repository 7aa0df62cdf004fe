#include "gui/mainwindow/criterion_edit_dialog.h"

#include "gui/mainwindow/edit_dialog_parts.h"

#include "compute/formula.h"
#include "gui/foundation/message_boxes.h"
#include "gui/foundation/theme.h"
#include "gui/project/result_files.h"

#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalBlocker>
#include <QVBoxLayout>

#include <algorithm>

namespace tavro::gui {

bool criterionSlugTaken(const QString& name, const std::vector<std::string>& otherNames) {
    const QString slug = criterionSlug(name);
    if (slug.isEmpty())
        return true;
    // Criterion files sit beside the strain fields as <base>_<slug>.tif.
    for (const char* suffix : kStrainSuffixes)
        if (slug == QLatin1String(suffix).mid(1))
            return true;
    return std::any_of(otherNames.begin(), otherNames.end(), [&slug](const std::string& other) {
        return criterionSlug(QString::fromStdString(other)) == slug;
    });
}

}  // namespace tavro::gui

namespace {

struct ReferenceRow {
    const char* symbol;
    const char* meaning;  // null for a header row
};

constexpr ReferenceRow kReferenceRows[] = {
    {"Strain tensor", nullptr},
    {"exx", "Normal strain along X"},
    {"eyy", "Normal strain along Y"},
    {"exy", "Shear strain"},
    {"Principal strains", nullptr},
    {"eI", "First principal strain (max)"},
    {"eII", "Second principal strain (min)"},
    {"Rotation", nullptr},
    {"omega", "In-plane rotation (in degrees)"},
    {"Operators and functions", nullptr},
    {"+ - * / **", "Addition, subtraction, multiplication, division, power"},
    {"sqrt  abs", "Square root, absolute value"},
    {"max  min", "Maximum and minimum of two values"},
};

}  // namespace

CriterionEditDialog::CriterionEditDialog(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("Edit Criterion"));
    setMinimumWidth(500);
    setupUi();
}

CriterionEditDialog::~CriterionEditDialog() = default;

void CriterionEditDialog::setupUi() {
    using namespace tavro::gui;
    auto* layout = new QVBoxLayout(this);

    const EditDialogFields fields =
        addEditDialogFields(this, layout, QStringLiteral("My criterion"), QStringLiteral("Expression:"),
                            QStringLiteral("sqrt(exx**2 + eyy**2 - exx*eyy + 3*exy**2)"));
    nameEdit = fields.name;
    expressionEdit = fields.value;
    validationLabel = fields.status;

    auto* reference = new QGroupBox(QStringLiteral("Reference"), this);
    addReference(reference);
    layout->addWidget(reference);

    auto* note = new QLabel(
        QStringLiteral("<i>Note: Calculations are performed under the small strain hypothesis.</i>"), this);
    note->setTextFormat(Qt::RichText);
    note->setWordWrap(true);
    note->setStyleSheet(kMutedSmallTopTextStyle);
    layout->addWidget(note);

    addCancelApplyRow(this, layout, cancelButton, applyButton);

    connect(nameEdit, &QLineEdit::textChanged, this, [this](const QString& text) { onNameTextChanged(text); });
    connect(expressionEdit, &QLineEdit::textChanged, this, [this] { validateExpression(); });
    connect(applyButton, &QPushButton::clicked, this, [this] { onValidateAndAccept(); });
}

void CriterionEditDialog::addReference(QWidget* box) {
    using namespace tavro::gui;
    auto* grid = new QGridLayout(box);
    grid->setColumnMinimumWidth(0, 60);
    grid->setColumnMinimumWidth(1, 200);
    int row = 0;
    for (const ReferenceRow& entry : kReferenceRows) {
        auto* symbol = new QLabel(QString::fromUtf8(entry.symbol), box);
        if (!entry.meaning) {
            symbol->setStyleSheet(row == 0 ? kBoldSmallTopMarginStyle : kBoldTopMarginStyle);
            grid->addWidget(symbol, row++, 0, 1, 2);
            continue;
        }
        symbol->setStyleSheet(monospaceAccentStyle());
        grid->addWidget(symbol, row, 0);
        grid->addWidget(new QLabel(QString::fromUtf8(entry.meaning), box), row++, 1);
    }
}

void CriterionEditDialog::setCriterion(const tavro::gui::StrainCriterion& source) {
    criterion_ = source;
    nameEdit->setText(QString::fromStdString(source.name));
    expressionEdit->setText(QString::fromStdString(source.expression));
    validateExpression();
}

void CriterionEditDialog::setOtherCriterionNames(const std::vector<std::string>& names) {
    otherCriterionNames_ = names;
}

void CriterionEditDialog::validateExpression() {
    const QString text = expressionEdit->text();
    if (text.isEmpty()) {
        validationLabel->clear();
        validationLabel->setStyleSheet(tavro::gui::kSmallFontStyle);
        valid = false;
        return;
    }
    tavro::ParsedExpression parsed;
    std::string error;
    valid = tavro::parseExpression(parsed, text.toStdString(), error);
    if (valid) {
        validationLabel->setText(QStringLiteral("✓ Valid expression"));
        validationLabel->setStyleSheet(tavro::gui::kSuccessSmallTextStyle);
        criterion_.expression = text.toStdString();
    } else {
        validationLabel->setText(QStringLiteral("✗ ") + QString::fromStdString(error));
        validationLabel->setStyleSheet(tavro::gui::kDangerSmallTextStyle);
    }
}

void CriterionEditDialog::onNameTextChanged(const QString& text) {
    static const QRegularExpression forbidden(QStringLiteral("[\\[\\]=]"));
    QString cleaned = text;
    cleaned.remove(forbidden);
    if (cleaned != text) {
        const QSignalBlocker blocker(nameEdit);
        nameEdit->setText(cleaned);
    }
    criterion_.name = cleaned.toStdString();
}

void CriterionEditDialog::onValidateAndAccept() {
    const QString name = nameEdit->text().trimmed();
    if (name.isEmpty()) {
        tavro::gui::showWarning(this, QStringLiteral("Name required"), QStringLiteral("Please enter a name for the criterion."));
        nameEdit->setFocus();
        return;
    }
    if (tavro::gui::criterionSlugTaken(name, otherCriterionNames_)) {
        tavro::gui::showWarning(this, QStringLiteral("Name not usable"),
             QStringLiteral("The criterion would be saved as \"%1\", which is empty or already taken. "
                            "Please choose another name.")
                 .arg(tavro::gui::criterionSlug(name)));
        nameEdit->setFocus();
        return;
    }
    const QString expression = expressionEdit->text().trimmed();
    if (expression.isEmpty()) {
        tavro::gui::showWarning(this, QStringLiteral("Expression required"),
             QStringLiteral("Please enter an expression for the criterion."));
        expressionEdit->setFocus();
        return;
    }
    if (!valid) {
        tavro::gui::showWarning(this, QStringLiteral("Invalid expression"),
             QStringLiteral("The expression contains errors. Please correct it."));
        expressionEdit->setFocus();
        return;
    }
    criterion_.name = name.toStdString();
    criterion_.expression = expression.toStdString();
    accept();
}
