// The derivative and smoothing kernels of the strain computation: their two
// lists with a radio button per kernel, adding, editing and deleting them, the
// active pair and its preview, and the user's own library of kernels and
// criteria in user_defaults.json.
#include "gui/mainwindow/main_widget.h"

#include "core/strain.h"

#include "gui/foundation/kernel_preview_widget.h"
#include "gui/foundation/message_boxes.h"
#include "gui/foundation/theme.h"
#include "gui/mainwindow/named_kernel_edit_dialog.h"
#include "gui/project/user_defaults.h"

#include <QButtonGroup>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollArea>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

#include <array>
#include <cmath>

namespace tavro::gui {

namespace {

enum KernelKind { kDerivative = 0, kSmoothing = 1 };

// Applies to the user's own library the change just made to the window's
// list, by name, so that a project's other kernels never enter it.
template <typename Entry>
void mirrorEdit(std::vector<Entry>& library, const std::string& oldName, const Entry* updated) {
    const auto found =
        std::find_if(library.begin(), library.end(), [&](const Entry& entry) { return entry.name == oldName; });
    if (!updated) {
        if (found != library.end())
            library.erase(found);
        return;
    }
    if (found != library.end())
        *found = *updated;
    else if (std::none_of(library.begin(), library.end(),
                          [&](const Entry& entry) { return entry.name == updated->name; }))
        library.push_back(*updated);
}

}  // namespace

QString formatKernelCoefficients(const std::vector<float>& coefficients) {
    static const std::array<std::pair<int, int>, 15> fractions{{{1, 2}, {1, 3}, {2, 3}, {1, 4}, {3, 4},
                                                                {1, 6}, {5, 6}, {1, 8}, {3, 8}, {5, 8},
                                                                {7, 8}, {1, 12}, {5, 12}, {7, 12}, {11, 12}}};
    QStringList parts;
    for (float c : coefficients) {
        if (std::fabs(c) < 1e-6f) {
            parts << QStringLiteral("0");
            continue;
        }
        if (std::fabs(c - 1.0f) < 1e-6f) {
            parts << QStringLiteral("1");
            continue;
        }
        if (std::fabs(c + 1.0f) < 1e-6f) {
            parts << QStringLiteral("-1");
            continue;
        }
        QString text = QString::number(c, 'g', 4);
        for (const auto& [p, q] : fractions)
            if (std::fabs(std::fabs(c) - float(p) / float(q)) < 1e-4f) {
                text = (c < 0 ? QStringLiteral("-") : QString()) + QStringLiteral("%1/%2").arg(p).arg(q);
                break;
            }
        parts << text;
    }
    return QStringLiteral("[ ") + parts.join(QStringLiteral(", ")) + QStringLiteral(" ]");
}

void MainWidget::loadUserDefaults() {
    UserDefaults defaults;
    if (readUserDefaults(userDefaultsFilePath(), defaults) != UserDefaultsRead::Read)
        return;
    if (defaults.derivativeKernels)
        derivativeKernels = *defaults.derivativeKernels;
    if (defaults.smoothingKernels)
        smoothingKernels = *defaults.smoothingKernels;
    if (defaults.criteria)
        strainSettings.criteria = *defaults.criteria;
}

void MainWidget::saveUserDefaults() {
    QString error;
    if (!writeUserDefaults(userDefaultsFilePath(), userDerivativeKernels, userSmoothingKernels, userCriteria, error)) {
        qWarning().noquote() << "[GUI] Could not write the user defaults:" << error;
        showMessage(this, QStringLiteral("Error"), QStringLiteral("Unable to save user defaults."));
    }
}

void MainWidget::initKernels() {
    if (derivativeKernels.empty())
        derivativeKernels = builtinDerivativeKernels();
    if (smoothingKernels.empty())
        smoothingKernels = builtinSmoothingKernels();
    userDerivativeKernels = derivativeKernels;
    userSmoothingKernels = smoothingKernels;
    rebuildKernelList(true);
    rebuildKernelList(false);
    updateKernelPreview();
}

void MainWidget::resetKernelSelection() {
    selectedDerivativeKernel = 0;
    selectedSmoothingKernel = 0;
    if (!derivativeKernelRows || !smoothingKernelRows)
        return;
    rebuildKernelList(true);
    rebuildKernelList(false);
    applySelectedKernels();
}

void MainWidget::rebuildKernelList(bool derivative) {
    QWidget* rows = derivative ? derivativeKernelRows : smoothingKernelRows;
    QButtonGroup* group = derivative ? derivativeKernelGroup : smoothingKernelGroup;
    if (!rows || !group)
        return;
    // The settings panel is drawn again once, when the rows are all in place.
    if (controlScrollArea)
        controlScrollArea->setUpdatesEnabled(false);
    for (QAbstractButton* button : group->buttons())
        group->removeButton(button);
    for (QWidget* row : rows->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
        rows->layout()->removeWidget(row);
        delete row;
    }
    const std::vector<NamedKernel>& kernels = derivative ? derivativeKernels : smoothingKernels;
    for (std::size_t i = 0; i < kernels.size(); ++i)
        rows->layout()->addWidget(derivative ? createDerivativeKernelRow(static_cast<int>(i))
                                             : createSmoothingKernelRow(static_cast<int>(i)));
    const int selected = derivative ? selectedDerivativeKernel : selectedSmoothingKernel;
    if (QAbstractButton* button = group->button(selected)) {
        const QSignalBlocker blocker(group);
        button->setChecked(true);
    }
    rows->adjustSize();
    updateKernelListHeights();
    QTimer::singleShot(0, this, &MainWidget::finishKernelListRebuild);
}

QWidget* MainWidget::createKernelRow(bool derivative, int index) {
    const NamedKernel& kernel = (derivative ? derivativeKernels : smoothingKernels)[static_cast<std::size_t>(index)];
    auto* row = new QWidget(derivative ? derivativeKernelRows : smoothingKernelRows);
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(2);
    auto* radio = new QRadioButton(QString::fromStdString(kernel.name), row);
    const bool none = !derivative && kernel.coefficients.empty();
    radio->setToolTip(none ? QStringLiteral("No smoothing") : formatKernelCoefficients(kernel.coefficients));
    layout->addWidget(radio, 1);
    if (!derivative)
        row->setFixedHeight(22);
    if (none) {
        // "No smoothing" is no kernel to edit: a blank keeps the column aligned.
        auto* placeholder = new QWidget(row);
        placeholder->setFixedSize(40, 18);
        layout->addWidget(placeholder);
    } else {
        auto* edit = new QToolButton(row);
        edit->setIcon(QIcon(QStringLiteral(":/icons/edit.svg")));
        edit->setIconSize(QSize(12, 12));
        edit->setToolTip(QStringLiteral("Edit kernel"));
        edit->setFixedSize(20, 18);
        edit->setStyleSheet(iconToolButtonStyle());
        auto* remove = new QToolButton(row);
        remove->setText(QStringLiteral("\u00d7"));
        remove->setToolTip(QStringLiteral("Delete kernel"));
        remove->setFixedSize(18, 18);
        remove->setStyleSheet(dangerToolButtonStyle());
        layout->addWidget(edit);
        layout->addWidget(remove);
        connect(edit, &QToolButton::clicked, this, [this, derivative, index] {
            derivative ? onEditDerivativeKernel(index) : onEditSmoothingKernel(index);
        });
        connect(remove, &QToolButton::clicked, this, [this, derivative, index] {
            derivative ? onDeleteDerivativeKernel(index) : onDeleteSmoothingKernel(index);
        });
    }
    (derivative ? derivativeKernelGroup : smoothingKernelGroup)->addButton(radio, index);
    return row;
}

QWidget* MainWidget::createDerivativeKernelRow(int index) { return createKernelRow(true, index); }
QWidget* MainWidget::createSmoothingKernelRow(int index) { return createKernelRow(false, index); }

void MainWidget::updateKernelListHeights() {
    for (QWidget* rows : {derivativeKernelRows, smoothingKernelRows})
        if (rows) {
            rows->setMinimumHeight(std::max(22 * static_cast<int>(rows->findChildren<QWidget*>(
                                                                      QString(), Qt::FindDirectChildrenOnly)
                                                                      .size()),
                                            22));
            rows->updateGeometry();
        }
    if (kernelListsWidget)
        kernelListsWidget->updateGeometry();
}

void MainWidget::applySelectedKernels() {
    if (selectedDerivativeKernel >= 0 && selectedDerivativeKernel < static_cast<int>(derivativeKernels.size())) {
        const NamedKernel& kernel = derivativeKernels[static_cast<std::size_t>(selectedDerivativeKernel)];
        strainSettings.derivativeCoefficients = kernel.coefficients;
        strainSettings.derivativeKernelName = kernel.name;
    }
    if (selectedSmoothingKernel >= 0 && selectedSmoothingKernel < static_cast<int>(smoothingKernels.size()))
        strainSettings.smoothingCoefficients =
            smoothingKernels[static_cast<std::size_t>(selectedSmoothingKernel)].coefficients;
    strainSettings.kernelCode = 5;
    markStrainSettingsChanged();
    updateKernelPreview();
}

void MainWidget::markStrainSettingsChanged() {
    strainSettingsChanged = true;
    updateComputeStrainsButton();
}

void MainWidget::updateKernelPreview() {
    if (!kernelPreview)
        return;
    const auto pick = [](const std::vector<NamedKernel>& list, int index) {
        return index >= 0 && index < static_cast<int>(list.size()) ? list[static_cast<std::size_t>(index)].coefficients
                                                                   : std::vector<float>();
    };
    const std::vector<float> derivative = pick(derivativeKernels, selectedDerivativeKernel);
    // Shown as the strain engine applies it: the smoothing divided by its sum.
    std::vector<float> smoothing = pick(smoothingKernels, selectedSmoothingKernel);
    const float sum = smoothingKernelSum(smoothing);
    for (float& coefficient : smoothing)
        coefficient /= sum;
    kernelPreview->setKernels(derivative, smoothing);
    if (kernelPreviewLabel)
        kernelPreviewLabel->setText(derivative.empty()
                                        ? QStringLiteral("Kernel preview \u2202/\u2202x")
                                        : QStringLiteral("Kernel preview \u2202/\u2202x (%1\u00d7%2)")
                                              .arg(std::max<std::size_t>(smoothing.size(), 1))
                                              .arg(derivative.size()));
    updateKernelListHeights();
}

void MainWidget::editKernel(bool derivative, int index) {
    std::vector<NamedKernel>& kernels = derivative ? derivativeKernels : smoothingKernels;
    const bool adding = index < 0;
    if (!adding && index >= static_cast<int>(kernels.size()))
        return;
    NamedKernelEditDialog dialog(derivative ? kDerivative : kSmoothing, this);
    const QString noun = derivative ? QStringLiteral("Derivative") : QStringLiteral("Smoothing");
    dialog.setWindowTitle((adding ? QStringLiteral("New %1 Kernel") : QStringLiteral("Edit %1 Kernel")).arg(noun));
    NamedKernel start;
    start.coefficients = derivative ? std::vector<float>{-0.5f, 0.0f, 0.5f} : std::vector<float>{1.0f, 2.0f, 1.0f};
    dialog.setKernel(adding ? start : kernels[static_cast<std::size_t>(index)]);
    if (runModalDialog(dialog) != QDialog::Accepted)
        return;
    const NamedKernel edited{dialog.name, dialog.coefficients};
    for (std::size_t i = 0; i < kernels.size(); ++i)
        if (static_cast<int>(i) != index && kernels[i].name == edited.name) {
            showMessage(this, QStringLiteral("Name already used"),
                        QStringLiteral("A kernel with this name already exists. Please choose another name."));
            return;
        }
    int& selected = derivative ? selectedDerivativeKernel : selectedSmoothingKernel;
    std::vector<NamedKernel>& library = derivative ? userDerivativeKernels : userSmoothingKernels;
    if (adding) {
        kernels.push_back(edited);
        selected = static_cast<int>(kernels.size()) - 1;
        mirrorEdit(library, edited.name, &edited);
    } else {
        const std::string oldName = kernels[static_cast<std::size_t>(index)].name;
        kernels[static_cast<std::size_t>(index)] = edited;
        mirrorEdit(library, oldName, &edited);
    }
    rebuildKernelList(derivative);
    if (adding || index == selected)
        applySelectedKernels();
    saveParametersToProject();
    saveUserDefaults();
}

void MainWidget::deleteKernel(bool derivative, int index) {
    std::vector<NamedKernel>& kernels = derivative ? derivativeKernels : smoothingKernels;
    if (index < 0 || index >= static_cast<int>(kernels.size()))
        return;
    const std::string name = kernels[static_cast<std::size_t>(index)].name;
    if (askQuestion(this, QStringLiteral("Delete kernel"),
                    QStringLiteral("Do you really want to delete kernel \"%1\"?").arg(QString::fromStdString(name)),
                    QMessageBox::Yes | QMessageBox::No, QMessageBox::No) != QMessageBox::Yes)
        return;
    if (kernels.size() < 2) {
        showMessage(this, QStringLiteral("Cannot delete"),
                    derivative ? QStringLiteral("There must be at least one derivative kernel.")
                               : QStringLiteral("There must be at least one smoothing kernel."));
        return;
    }
    kernels.erase(kernels.begin() + index);
    int& selected = derivative ? selectedDerivativeKernel : selectedSmoothingKernel;
    const int count = static_cast<int>(kernels.size());
    if (selected >= count)
        selected = count - 1;
    else if (index <= selected && selected >= 1)
        --selected;
    mirrorEdit<NamedKernel>(derivative ? userDerivativeKernels : userSmoothingKernels, name, nullptr);
    rebuildKernelList(derivative);
    applySelectedKernels();
    saveParametersToProject();
    saveUserDefaults();
}

void MainWidget::onAddDerivativeKernel() { editKernel(true, -1); }
void MainWidget::onAddSmoothingKernel() { editKernel(false, -1); }
void MainWidget::onEditDerivativeKernel(int index) { editKernel(true, index); }
void MainWidget::onEditSmoothingKernel(int index) { editKernel(false, index); }
void MainWidget::onDeleteDerivativeKernel(int index) { deleteKernel(true, index); }
void MainWidget::onDeleteSmoothingKernel(int index) { deleteKernel(false, index); }

}  // namespace tavro::gui
