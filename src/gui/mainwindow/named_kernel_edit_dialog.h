#pragma once

#include <QDialog>
#include <QString>

#include <string>
#include <vector>

#include "gui/project/project_parameters.h"

class QLabel;
class QLineEdit;
class QPushButton;
class QWidget;

// Names a derivative or smoothing kernel and takes its coefficients as text,
// checked live for the symmetry its kind needs. The caller reads `name` and
// `coefficients` once the dialog was accepted.
class NamedKernelEditDialog : public QDialog {
public:
    // kind: 0 = derivative kernel, 1 = smoothing kernel.
    NamedKernelEditDialog(int kind, QWidget* parent);
    ~NamedKernelEditDialog() override;

    void setKernel(const tavro::gui::NamedKernel& kernel);
    bool parseCoefficients(const QString& text, std::vector<float>& out, QString& error) const;
    void validateCoefficients();
    void onNameTextChanged(const QString& text);
    void onValidateAndAccept();

    int kind = 0;
    QLineEdit* nameEdit = nullptr;
    QLineEdit* coefficientsEdit = nullptr;
    QLabel* statusLabel = nullptr;
    QPushButton* applyButton = nullptr;
    QPushButton* cancelButton = nullptr;
    std::string name;
    // The last coefficients that passed validation.
    std::vector<float> coefficients;
    bool valid = false;

private:
    void setupUi();
};
