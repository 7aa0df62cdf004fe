// The strain criteria: one row per criterion with its check box, formula,
// edit and delete buttons, and the new, edit and delete actions.
#include "gui/mainwindow/main_widget.h"

#include "gui/foundation/message_boxes.h"
#include "gui/foundation/theme.h"
#include "gui/mainwindow/criterion_edit_dialog.h"
#include "gui/project/result_files.h"
#include "gui/project/user_defaults.h"

#include <QDebug>

#include <QCheckBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QToolButton>
#include <QVBoxLayout>

namespace tavro::gui {

void MainWidget::initCriteria() {
    if (strainSettings.criteria.empty())
        strainSettings.criteria = defaultStrainCriteria();
    userCriteria = strainSettings.criteria;
    rebuildCriteriaList();
}

void MainWidget::rebuildCriteriaList() {
    if (!criteriaRowsLayout)
        return;
    while (QLayoutItem* item = criteriaRowsLayout->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    for (std::size_t i = 0; i < strainSettings.criteria.size(); ++i)
        criteriaRowsLayout->addWidget(createCriterionRow(static_cast<int>(i)));
    rebuildStrainComponentCombo();
    updateKernelListHeights();
}

QWidget* MainWidget::createCriterionRow(int index) {
    const StrainCriterion& criterion = strainSettings.criteria[static_cast<std::size_t>(index)];
    auto* row = new QWidget(strainCriteriaGroup);
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(4);
    auto* check = new QCheckBox(QString::fromStdString(criterion.name), row);
    check->setChecked(criterion.enabled);
    check->setMinimumWidth(120);
    const QString expression = QString::fromStdString(criterion.expression);
    auto* formula = new QLabel(
        QStringLiteral("= ") + (expression.size() > 45 ? expression.left(42) + QStringLiteral("...") : expression),
        row);
    formula->setStyleSheet(QStringLiteral("color: %1; font-size: 9px;").arg(kTextMuted));
    formula->setToolTip(expression);
    auto* edit = new QToolButton(row);
    edit->setIcon(QIcon(QStringLiteral(":/icons/edit.svg")));
    edit->setIconSize(QSize(13, 13));
    edit->setToolTip(QStringLiteral("Edit criterion"));
    edit->setFixedSize(24, 20);
    edit->setStyleSheet(iconToolButtonStyle());
    auto* remove = new QToolButton(row);
    remove->setText(QStringLiteral("\u00d7"));
    remove->setToolTip(QStringLiteral("Delete criterion"));
    remove->setFixedSize(20, 20);
    remove->setStyleSheet(dangerToolButtonStyle());
    layout->addWidget(check);
    layout->addWidget(formula, 1);
    layout->addWidget(edit);
    layout->addWidget(remove);
    // Rows are rebuilt after every change: the handlers hold an index and
    // check it against the list as it then is.
    connect(check, &QCheckBox::toggled, this, [this, index](bool checked) {
        if (index >= static_cast<int>(strainSettings.criteria.size()))
            return;
        strainSettings.criteria[static_cast<std::size_t>(index)].enabled = checked;
        markStrainSettingsChanged();
        rebuildStrainComponentCombo();
    });
    connect(edit, &QToolButton::clicked, this, [this, index] { onEditCriterion(index); });
    connect(remove, &QToolButton::clicked, this, [this, index] { onDeleteCriterion(index); });
    return row;
}

// A criterion's maps are named by its slug alone: left behind, they would pass
// for the maps of whatever criterion takes that name next.
void MainWidget::removeCriterionFiles(const std::string& name) {
    const QString slug = criterionSlug(QString::fromStdString(name));
    if (appliedProjectFolder.isEmpty() || slug.isEmpty())
        return;
    QStringList bases = heldInputNames();
    for (int state = 0; state < deformedStates.count(); ++state)
        bases << DeformedStates::mosaicBaseName(state);
    QStringList gone;
    for (const QString& base : bases)
        gone << kStrainsFolder + QLatin1Char('/') + base + QLatin1Char('_') + slug + QStringLiteral(".tif");
    QStringList kept = heldInputResultFiles();
    for (int state = 0; state < deformedStates.count(); ++state)
        kept << DeformedStates::stateResultFiles(state, criterionSlugs());
    waitForResultWrites();
    if (!removeProjectFiles(appliedProjectFolder, gone, kept))
        qWarning().noquote() << "[GUI] Maps of the former criterion could not all be removed";
}

void MainWidget::onNewCriterion() { editCriterion(-1); }
void MainWidget::onEditCriterion(int index) { editCriterion(index); }

void MainWidget::editCriterion(int index) {
    std::vector<StrainCriterion>& criteria = strainSettings.criteria;
    const bool adding = index < 0;
    if (!adding && index >= static_cast<int>(criteria.size()))
        return;
    CriterionEditDialog dialog(this);
    dialog.setWindowTitle(adding ? QStringLiteral("New Criterion") : QStringLiteral("Edit Criterion"));
    std::vector<std::string> others;
    for (std::size_t i = 0; i < criteria.size(); ++i)
        if (static_cast<int>(i) != index)
            others.push_back(criteria[i].name);
    dialog.setOtherCriterionNames(others);
    dialog.setCriterion(adding ? StrainCriterion{} : criteria[static_cast<std::size_t>(index)]);
    if (runModalDialog(dialog) != QDialog::Accepted)
        return;
    StrainCriterion edited = dialog.criterion();
    if (std::find(others.begin(), others.end(), edited.name) != others.end()) {
        showMessage(this, QStringLiteral("Name already used"),
                    QStringLiteral("A criterion with this name already exists. Please choose another name."));
        return;
    }
    std::string oldName;
    bool redefined = false;
    if (adding) {
        edited.enabled = true;
        criteria.push_back(edited);
    } else {
        StrainCriterion& entry = criteria[static_cast<std::size_t>(index)];
        oldName = entry.name;
        redefined = entry.name != edited.name || entry.expression != edited.expression;
        edited.enabled = entry.enabled;
        entry = edited;
    }
    if (redefined)
        removeCriterionFiles(oldName);
    // The user's library takes the change, not the rest of an opened project's list.
    const auto found = std::find_if(userCriteria.begin(), userCriteria.end(), [&](const StrainCriterion& c) {
        return c.name == (adding ? edited.name : oldName);
    });
    if (found != userCriteria.end())
        *found = edited;
    else
        userCriteria.push_back(edited);
    rebuildCriteriaList();
    markStrainSettingsChanged();
    saveUserDefaults();
}

void MainWidget::onDeleteCriterion(int index) {
    std::vector<StrainCriterion>& criteria = strainSettings.criteria;
    if (index < 0 || index >= static_cast<int>(criteria.size()))
        return;
    const std::string name = criteria[static_cast<std::size_t>(index)].name;
    if (askQuestion(this, QStringLiteral("Delete criterion"),
                    QStringLiteral("Do you really want to delete criterion \"%1\"?").arg(QString::fromStdString(name)),
                    QMessageBox::Yes | QMessageBox::No, QMessageBox::No) != QMessageBox::Yes)
        return;
    criteria.erase(criteria.begin() + index);
    removeCriterionFiles(name);
    std::erase_if(userCriteria, [&](const StrainCriterion& c) { return c.name == name; });
    rebuildCriteriaList();
    markStrainSettingsChanged();
    saveUserDefaults();
}

}  // namespace tavro::gui
