#pragma once
// The parts the kernel and criterion dialogs share: a name row, a value field
// with its live status line, and the Cancel / Apply row.

#include <QString>

class QDialog;
class QLabel;
class QLineEdit;
class QPushButton;
class QVBoxLayout;

namespace tavro::gui {

struct EditDialogFields {
    QLineEdit* name = nullptr;
    QLineEdit* value = nullptr;
    QLabel* status = nullptr;
};

// "Name:" and its edit on one row; below, `valueLabel`, the value edit in a
// monospace font and the status line.
EditDialogFields addEditDialogFields(QDialog* dialog, QVBoxLayout* layout, const QString& namePlaceholder,
                                     const QString& valueLabel, const QString& valuePlaceholder);

// Cancel rejects the dialog; Apply is the default button and left to the caller.
void addCancelApplyRow(QDialog* dialog, QVBoxLayout* layout, QPushButton*& cancel, QPushButton*& apply);

}  // namespace tavro::gui
