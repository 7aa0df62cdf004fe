#include "gui/mainwindow/edit_dialog_parts.h"

#include <QDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace tavro::gui {

EditDialogFields addEditDialogFields(QDialog* dialog, QVBoxLayout* layout, const QString& namePlaceholder,
                                     const QString& valueLabel, const QString& valuePlaceholder) {
    EditDialogFields fields;
    auto* nameRow = new QHBoxLayout;
    nameRow->addWidget(new QLabel(QStringLiteral("Name:"), dialog));
    fields.name = new QLineEdit(dialog);
    fields.name->setPlaceholderText(namePlaceholder);
    nameRow->addWidget(fields.name);
    layout->addLayout(nameRow);

    auto* valueBlock = new QVBoxLayout;
    valueBlock->addWidget(new QLabel(valueLabel, dialog));
    fields.value = new QLineEdit(dialog);
    fields.value->setPlaceholderText(valuePlaceholder);
    fields.value->setStyleSheet(QStringLiteral("font-family: monospace;"));
    valueBlock->addWidget(fields.value);
    fields.status = new QLabel(dialog);
    fields.status->setStyleSheet(QStringLiteral("font-size: 10px;"));
    valueBlock->addWidget(fields.status);
    layout->addLayout(valueBlock);
    return fields;
}

void addCancelApplyRow(QDialog* dialog, QVBoxLayout* layout, QPushButton*& cancel, QPushButton*& apply) {
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    cancel = new QPushButton(QStringLiteral("Cancel"), dialog);
    apply = new QPushButton(QStringLiteral("Apply"), dialog);
    apply->setDefault(true);
    buttons->addWidget(cancel);
    buttons->addWidget(apply);
    layout->addLayout(buttons);
    QObject::connect(cancel, &QPushButton::clicked, dialog, &QDialog::reject);
}

}  // namespace tavro::gui
