#pragma once

#include <QDialog>
#include <QString>

#include <string>
#include <vector>

#include "core/strain_settings.h"

class QLabel;
class QLineEdit;
class QPushButton;
class QWidget;

namespace tavro::gui {

// True when the criterion's result files, named by its slug, would have no
// name or would overwrite a strain field's or another criterion's files.
bool criterionSlugTaken(const QString& name, const std::vector<std::string>& otherNames);

}  // namespace tavro::gui

// Names a strain criterion and takes its formula, checked live by the formula
// parser. The caller reads `criterion()` once the dialog was accepted.
class CriterionEditDialog : public QDialog {
public:
    explicit CriterionEditDialog(QWidget* parent);
    ~CriterionEditDialog() override;

    void setCriterion(const tavro::gui::StrainCriterion& source);
    // The names of the list's other criteria, whose file names this one must not take.
    void setOtherCriterionNames(const std::vector<std::string>& names);
    void validateExpression();
    void onNameTextChanged(const QString& text);
    void onValidateAndAccept();
    const tavro::gui::StrainCriterion& criterion() const { return criterion_; }

    QLineEdit* nameEdit = nullptr;
    QLineEdit* expressionEdit = nullptr;
    QLabel* validationLabel = nullptr;
    QPushButton* applyButton = nullptr;
    QPushButton* cancelButton = nullptr;
    bool valid = false;

private:
    void setupUi();
    void addReference(QWidget* box);

    tavro::gui::StrainCriterion criterion_;
    std::vector<std::string> otherCriterionNames_;
};
