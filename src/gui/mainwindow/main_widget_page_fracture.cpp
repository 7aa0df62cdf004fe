// The "Fracture" page: one crack map picked in the grouped "Parameter:" combo,
// the minimum-jump row and the drawn line width.
#include "gui/mainwindow/main_widget.h"

#include "gui/foundation/contrast_histogram_widget.h"
#include "gui/foundation/theme.h"
#include "gui/mainwindow/result_page_parts.h"
#include "gui/style/switch_widget.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QFontMetrics>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>
#include <QStandardItemModel>
#include <QStyle>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>

namespace tavro::gui {

namespace {

const char* const kMinJumpToolTip =
    "Smallest displacement jump that counts as a crack, in pixels.\nThis is the magnitude of the jump across the "
    "crack faces, so it covers\nopening (mode I) and sliding (mode II) alike: a pure mode II crack has zero\nopening "
    "but a jump well above zero.\n\nTypically 0.1 px for initiation, 0.5 px for well developed cracks.\n\nIt changes "
    "no measured value, only which points are kept. A weak segment is\nkept when it bridges two strong ones, never "
    "when it hangs off a single end:\nthe line stops where the jump falls below the threshold, which is a\n"
    "measurement, not a crack tip.";

const char* const kSaveAllToolTip =
    "Write the nine derived maps into the project's Fracture folder, one float TIFF\nper component. Off-crack points "
    "are written as NaN, so downstream tools skip them.\n\nEach goes beside its raw map, named like it with "
    "\"_derived\" added\n(for example img_01_cox_derived.tif); the raw maps stay as measured.";

const char* const kLineWidthToolTip =
    "Drawing width of the crack line, in image pixels.\nIt changes no measured value, only how wide the line is "
    "drawn.\nSaved maps use this width too: at 10 px the line is 10 px wide in the file.\nDo not read it as "
    "geometry. A line drawn 10 px wide is not a 10 px crack.";

QStandardItemModel* makeFractureParameterModel(QObject* parent) {
    auto* model = new QStandardItemModel(parent);
    for (const FractureParameterRow& row : fractureParameterRows()) {
        auto* item = new QStandardItem(row.text);
        item->setData(row.field, Qt::UserRole);
        if (row.field < 0) {
            item->setFlags(item->flags() & ~(Qt::ItemIsEnabled | Qt::ItemIsSelectable));
            QFont bold = item->font();
            bold.setBold(true);
            item->setFont(bold);
            item->setToolTip(row.toolTip);
        }
        model->appendRow(item);
    }
    return model;
}

}  // namespace

void MainWidget::buildFracturePage() {
    auto* group = new QGroupBox(fractureResultPage);
    auto* groupLayout = new QVBoxLayout(group);

    auto* parameterRow = new QHBoxLayout;
    parameterRow->addWidget(new QLabel(QStringLiteral("Parameter:"), group));
    fractureParameterCombo = new QComboBox(group);
    fractureParameterCombo->setModel(makeFractureParameterModel(fractureParameterCombo));
    // The combo measures its items in its own font; the bold headings are
    // wider, and its list would cut them.
    const auto* model = static_cast<QStandardItemModel*>(fractureParameterCombo->model());
    int widest = 0;
    for (int row = 0; row < model->rowCount(); ++row) {
        const QStandardItem* item = model->item(row);
        widest = std::max(widest, QFontMetrics(item->font()).horizontalAdvance(item->text()));
    }
    fractureParameterCombo->view()->setMinimumWidth(
        widest + 2 * fractureParameterCombo->view()->frameWidth() +
        fractureParameterCombo->style()->pixelMetric(QStyle::PM_ScrollBarExtent) + 16);
    fractureParameterCombo->setCurrentIndex(1);
    fractureParameterCombo->setEnabled(false);
    parameterRow->addWidget(fractureParameterCombo);
    parameterRow->addStretch();
    groupLayout->addLayout(parameterRow);

    fractureMinJumpRow = new QWidget(group);
    auto* jumpRow = new QHBoxLayout(fractureMinJumpRow);
    jumpRow->setContentsMargins(0, 0, 0, 0);
    auto* jumpLabel = new QLabel(QStringLiteral("Min jump:"), fractureMinJumpRow);
    jumpLabel->setToolTip(QString::fromUtf8(kMinJumpToolTip));
    fractureMinJumpSlider = new QSlider(Qt::Horizontal, fractureMinJumpRow);
    fractureMinJumpSlider->setRange(0, 500);
    fractureMinJumpSlider->setValue(minJumpSliderPosition(fractureOpeningMin));
    fractureMinJumpSlider->setTickPosition(QSlider::TicksBelow);
    fractureMinJumpSlider->setTickInterval(50);
    fractureMinJumpSlider->setMinimumWidth(150);
    fractureMinJumpSlider->setToolTip(QString::fromUtf8(kMinJumpToolTip));
    fractureJumpValueLabel = new QLabel(minJumpText(fractureOpeningMin), fractureMinJumpRow);
    fractureJumpValueLabel->setMinimumWidth(56);
    fractureJumpValueLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    fractureSaveAllButton = new QToolButton(fractureMinJumpRow);
    fractureSaveAllButton->setText(QStringLiteral("Save all"));
    fractureSaveAllButton->setStyleSheet(accentToolButtonStyle());
    fractureSaveAllButton->setToolTip(QString::fromUtf8(kSaveAllToolTip));
    jumpRow->addWidget(jumpLabel);
    jumpRow->addWidget(fractureMinJumpSlider);
    jumpRow->addWidget(fractureJumpValueLabel);
    jumpRow->addWidget(fractureSaveAllButton);
    jumpRow->addStretch();
    fractureMinJumpRow->hide();
    groupLayout->addWidget(fractureMinJumpRow);

    auto* centre = new QVBoxLayout;
    const StepRow steps = addStepRow(centre, QStringLiteral("Step \u2014 : \u2014"), boldSecondaryButtonStyle(),
                                     group);
    fractureStepLabel = steps.label;
    fracturePrevButton = steps.prevButton;
    fractureSlider = steps.slider;
    fractureNextButton = steps.nextButton;
    fractureView = new ImageViewWidget(group);
    configureResultView(fractureView);
    fractureView->setInspector([this](const QPoint& pixel) { return fractureInspectValue(pixel); });
    fractureView->setLineProfileProvider(
        [this](const QPointF& start, const QPointF& end) { return fractureLineProfile(start, end); });
    centre->addWidget(fractureView, 1);
    auto* tools = new QHBoxLayout;
    tools->addSpacing(8);
    auto* widthLabel = new QLabel(QStringLiteral("Line width:"), group);
    widthLabel->setStyleSheet(QStringLiteral("color: %1; font-size: 11px;").arg(kTextMuted));
    fractureLineWidthSpin = new QSpinBox(group);
    fractureLineWidthSpin->setRange(1, 99);
    fractureLineWidthSpin->setValue(fractureRidgeThickness);
    fractureLineWidthSpin->setSuffix(QStringLiteral(" px"));
    fractureLineWidthSpin->setFixedWidth(70);
    fractureLineWidthSpin->setToolTip(QString::fromUtf8(kLineWidthToolTip));
    fractureFitButton = makeFitButton(group);
    fractureOneToOneButton = makeOneToOneButton(group);
    tools->addWidget(widthLabel);
    tools->addWidget(fractureLineWidthSpin);
    tools->addStretch();
    tools->addWidget(fractureFitButton);
    tools->addWidget(fractureOneToOneButton);
    tools->addStretch();
    centre->addLayout(tools);
    groupLayout->addLayout(centre, 1);

    fractureTileNavigator = createTileNavigator(group);
    groupLayout->addWidget(fractureTileNavigator.container);

    HistogramPanelSetup setup;
    setup.readout = QStringLiteral("%1 : \u2014").arg(QString::fromUtf8(fractureFieldLabels[0]));
    const HistogramPanel panel = makeHistogramPanel(setup, group);
    fractureRangeLabel = panel.minMaxLabel;
    fractureLogSwitch = panel.logSwitch;
    fractureHistogram = panel.histogram;
    fractureAutoButton = panel.autoButton;
    fractureCropButton = panel.cropButton;
    fractureResetButton = panel.resetButton;
    fractureApplyAllButton = panel.applyAllButton;
    fractureValueLabel = panel.readout;
    // The map comes from the item's field id: header rows shift the row numbers.
    fractureHistogram->setZoomHandler([this](float minValue, float maxValue) {
        bool isField = false;
        const int field = fractureParameterCombo ? fractureParameterCombo->currentData().toInt(&isField) : -1;
        if (isField && field >= 0)
            zoomFieldHistogram(fractureHistogram, fractureField(field), minValue, maxValue);
    });
    groupLayout->addWidget(panel.panel);

    fractureResultPage->layout()->addWidget(group);
    static_cast<QVBoxLayout*>(fractureResultPage->layout())->setStretchFactor(group, 1);
    fractureResultPage->hide();
}

void MainWidget::onFractureMinJumpChanged(int value) {
    fractureOpeningMin = value / 100.0;
    if (fractureJumpValueLabel)
        fractureJumpValueLabel->setText(minJumpText(fractureOpeningMin));
    refreshFractureImage(false);
    // Keyboard and wheel changes end at once; a drag is saved on release.
    if (fractureMinJumpSlider && !fractureMinJumpSlider->isSliderDown())
        autosaveParameters();
}

void MainWidget::connectFracturePageControls() {
    if (fractureHistogram) {
        connect(fractureHistogram, &ContrastHistogramWidget::rangeChanged, this,
                [this](float minValue, float maxValue) { onFractureHistogramRangeEdited(minValue, maxValue); });
        connect(fractureHistogram, &ContrastHistogramWidget::rangeChangeFinished, this,
                [this](float minValue, float maxValue) { onFractureHistogramRangeEdited(minValue, maxValue); });
    }
    connect(fractureAutoButton, &QToolButton::clicked, this, [this] { onFractureAutoScale(); });
    connect(fractureApplyAllButton, &QToolButton::clicked, this, [this] { applyFractureRangeToAll(); });
    connect(fractureParameterCombo, &QComboBox::currentIndexChanged, this,
            [this](int index) { onFractureParameterChanged(index); });
    connect(fractureMinJumpSlider, &QSlider::valueChanged, this, [this](int value) { onFractureMinJumpChanged(value); });
    connect(fractureMinJumpSlider, &QSlider::sliderReleased, this, [this] { autosaveParameters(); });
    connect(fractureLineWidthSpin, &QSpinBox::valueChanged, this, [this](int value) {
        fractureRidgeThickness = value;
        refreshFractureImage(false);
        autosaveParameters();
    });
    connect(fractureSaveAllButton, &QToolButton::clicked, this, [this] { onSaveAllDerivedFractureMaps(); });
    connect(fractureFitButton, &QToolButton::clicked, this, [this] {
        if (fractureView)
            fractureView->fitToWindow();
    });
    connect(fractureOneToOneButton, &QToolButton::clicked, this, [this] {
        if (fractureView)
            fractureView->resetToOneToOne();
    });
    connect(fractureView, &ImageViewWidget::viewModeChanged, this, [this](bool isFitted, bool isOneToOne) {
        fractureFitButton->setChecked(isFitted);
        fractureOneToOneButton->setChecked(isOneToOne);
    });
    connect(fractureLogSwitch, &Switch::toggled, this, [this](bool on) {
        if (fractureHistogram)
            fractureHistogram->setShowLogHistogram(on);
    });
    connect(fractureCropButton, &QToolButton::clicked, this, [this] {
        if (fractureHistogram)
            fractureHistogram->zoomToSelection();
    });
    connect(fractureResetButton, &QToolButton::clicked, this, [this] {
        if (fractureHistogram)
            fractureHistogram->resetZoom();
    });
}

}  // namespace tavro::gui
