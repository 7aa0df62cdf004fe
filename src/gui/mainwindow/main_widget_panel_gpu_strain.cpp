// The GPU group of the displacement page and the GRADIENT COMPUTATION and
// STRAIN CRITERIA groups of the strain page.
#include "gui/mainwindow/main_widget.h"

#include "core/gpu_discovery.h"
#include "gui/foundation/kernel_preview_widget.h"
#include "gui/foundation/message_boxes.h"
#include "gui/foundation/theme.h"
#include "gui/mainwindow/panel_rules.h"
#include "gui/mainwindow/panel_wiring.h"

#include <QButtonGroup>
#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

namespace tavro::gui {

void MainWidget::buildGpuPanel() {
    gpuGroup = new QGroupBox(QStringLiteral("GPU"), this);
    gpuGroup->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    auto* form = new QFormLayout(gpuGroup);
    form->setContentsMargins(12, 12, 12, 8);
    form->setSpacing(4);
    gpuDeviceCombo = new QComboBox(this);
    gpuDeviceCombo->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    // A long device name must not widen the control column.
    gpuDeviceCombo->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    gpuDeviceCombo->setMinimumContentsLength(16);
    form->addRow(QStringLiteral("Device"), gpuDeviceCombo);

    const GpuChoices choices = gpuChoices(enumerateGpus());
    for (const GpuChoice& choice : choices.items)
        gpuDeviceCombo->addItem(choice.text, choice.data);
    gpuDeviceCombo->setCurrentIndex(choices.current);
    if (!choices.usable) {
        gpuDeviceCombo->setEnabled(false);
        const QString message = QString::fromStdString(checkCudaAvailability());
        if (!message.isEmpty()) {
            gpuDeviceCombo->setToolTip(message);
            // The box waits for the event loop, so it appears over the shown window.
            QTimer::singleShot(0, this, [this, message] { showGpuUnavailableMessage(message); });
        }
    }
    // Connected after the list is filled: building it selects no device.
    connect(gpuDeviceCombo, &QComboBox::currentIndexChanged, this, [this](int index) { applyGpuSelection(index); });
    static_cast<QVBoxLayout*>(inputsPage->layout())->addWidget(gpuGroup, 0);
}

void MainWidget::applyGpuSelection(int index) {
    if (index < 0 || !gpuDeviceCombo)
        return;
    const int id = gpuDeviceCombo->itemData(index, Qt::UserRole).toInt();
    if (id < 0)
        return;
    std::string error;
    if (!selectCudaDevice(id, error))
        showMessage(this, QStringLiteral("GPU selection failed"), QString::fromStdString(error));
}

void MainWidget::buildStrainPanels() {
    auto* pageLayout = static_cast<QVBoxLayout*>(strainsPage->layout());
    // The page already ends with its stretch; the groups go above it.
    const int stretchAt = pageLayout->count() - 1;

    gradientGroup = new QGroupBox(QStringLiteral("GRADIENT COMPUTATION"), strainsPage);
    gradientGroup->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    auto* gradientLayout = new QVBoxLayout(gradientGroup);
    gradientLayout->setSpacing(6);
    auto* titles = new QHBoxLayout;
    titles->setSpacing(12);
    for (const char* text : {"Derivative kernel", "Smoothing kernel"}) {
        auto* title = new QLabel(QString::fromUtf8(text), this);
        title->setAlignment(Qt::AlignCenter);
        title->setStyleSheet(QStringLiteral("font-weight: bold; font-size: 11px;"));
        titles->addWidget(title, 1);
    }
    gradientLayout->addLayout(titles);

    kernelListsWidget = new QWidget(this);
    kernelListsWidget->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Minimum);
    auto* columns = new QHBoxLayout(kernelListsWidget);
    columns->setContentsMargins(0, 0, 0, 0);
    columns->setSpacing(12);
    const auto makeColumn = [this, columns](QWidget*& rows, QPushButton*& addButton) {
        auto* column = new QVBoxLayout;
        column->setSpacing(2);
        rows = new QWidget(this);
        rows->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
        auto* rowsLayout = new QVBoxLayout(rows);
        rowsLayout->setContentsMargins(0, 0, 0, 0);
        rowsLayout->setSpacing(2);
        addButton = new QPushButton(QStringLiteral("+ New"), this);
        addButton->setStyleSheet(smallOutlineButtonStyle());
        column->addWidget(rows);
        column->addWidget(addButton);
        columns->addLayout(column, 1);
        columns->setAlignment(column, Qt::AlignTop);
        return column;
    };
    makeColumn(derivativeKernelRows, addDerivativeKernelButton);
    makeColumn(smoothingKernelRows, addSmoothingKernelButton)->addStretch();
    derivativeKernelGroup = new QButtonGroup(this);
    derivativeKernelGroup->setExclusive(true);
    smoothingKernelGroup = new QButtonGroup(this);
    smoothingKernelGroup->setExclusive(true);
    gradientLayout->addWidget(kernelListsWidget);

    auto* formula = new QLabel(
        QStringLiteral("<span style='color: %1; font-size: 10px;'>").arg(QStringLiteral("#9ca3af")) +
            QStringLiteral("2D Kernel = Smoothing <span style='font-family: Segoe UI Symbol, DejaVu Sans, sans-serif; "
                           "font-size: 14px;'>\u2297</span> Derivative</span>"),
        this);
    formula->setTextFormat(Qt::RichText);
    formula->setAlignment(Qt::AlignCenter);
    gradientLayout->addWidget(formula);
    kernelPreviewLabel = new QLabel(QStringLiteral("Kernel preview \u2202/\u2202x"), this);
    kernelPreviewLabel->setAlignment(Qt::AlignCenter);
    kernelPreviewLabel->setStyleSheet(QStringLiteral("color: %1; font-size: 10px;").arg(QStringLiteral("#8b93ab")));
    gradientLayout->addWidget(kernelPreviewLabel);
    kernelPreview = new KernelPreviewWidget(this);
    gradientLayout->addWidget(kernelPreview);
    pageLayout->insertWidget(stretchAt, gradientGroup);

    strainCriteriaGroup = new QGroupBox(QStringLiteral("STRAIN CRITERIA"), strainsPage);
    strainCriteriaGroup->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    auto* criteriaLayout = new QVBoxLayout(strainCriteriaGroup);
    criteriaLayout->setSpacing(4);
    criteriaRowsLayout = new QVBoxLayout;
    criteriaRowsLayout->setSpacing(2);
    criteriaLayout->addLayout(criteriaRowsLayout);
    newCriterionButton = new QPushButton(QStringLiteral("+ New criterion"), this);
    newCriterionButton->setStyleSheet(outlineListButtonStyle());
    criteriaLayout->addWidget(newCriterionButton);
    pageLayout->insertWidget(stretchAt + 1, strainCriteriaGroup);

    loadUserDefaults();
    initKernels();
    initCriteria();
    computeCriteriaButton = new QPushButton(QStringLiteral("Compute"), this);
    computeCriteriaButton->setEnabled(false);
    computeCriteriaButton->hide();

    connect(addDerivativeKernelButton, &QPushButton::clicked, this, [this] { TAVRO_REACH(onAddDerivativeKernel()); });
    connect(addSmoothingKernelButton, &QPushButton::clicked, this, [this] { TAVRO_REACH(onAddSmoothingKernel()); });
    connect(derivativeKernelGroup, &QButtonGroup::idToggled, this,
            [this](int id, bool checked) { onKernelToggled(true, id, checked); });
    connect(smoothingKernelGroup, &QButtonGroup::idToggled, this,
            [this](int id, bool checked) { onKernelToggled(false, id, checked); });
    connect(newCriterionButton, &QPushButton::clicked, this, [this] { TAVRO_REACH(onNewCriterion()); });
    connect(computeCriteriaButton, &QPushButton::clicked, this, [this] { TAVRO_REACH(onComputeStrainFields()); });
}

void MainWidget::onKernelToggled(bool derivative, int id, bool checked) {
    // The unchecking half of a radio switch is ignored: one change applies once.
    const std::size_t count = derivative ? derivativeKernels.size() : smoothingKernels.size();
    if (!checked || id < 0 || static_cast<std::size_t>(id) >= count)
        return;
    (derivative ? selectedDerivativeKernel : selectedSmoothingKernel) = id;
    TAVRO_REACH(applySelectedKernels());
}

}  // namespace tavro::gui
