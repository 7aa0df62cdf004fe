// The "Strains" page: one strain component or criterion, chosen in
// "Component:", with its own toolbar and histogram.
#include "gui/mainwindow/main_widget.h"

#include "gui/foundation/contrast_histogram_widget.h"
#include "gui/foundation/theme.h"
#include "gui/mainwindow/result_page_parts.h"
#include "gui/style/switch_widget.h"

#include <QComboBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSlider>
#include <QToolButton>
#include <QVBoxLayout>

namespace tavro::gui {

const std::array<const char*, 6> MainWidget::strainComponentNames{
    "\u03b5xx", "\u03b5yy", "\u03b5xy", "\u03b5I", "\u03b5II", "Rotation \u03c9"};

void MainWidget::buildStrainPage() {
    auto* group = new QGroupBox(strainResultPage);
    auto* groupLayout = new QVBoxLayout(group);

    auto* componentRow = new QHBoxLayout;
    componentRow->addWidget(new QLabel(QStringLiteral("Component:"), group));
    strainComponentCombo = new QComboBox(group);
    for (const char* name : strainComponentNames)
        strainComponentCombo->addItem(QString::fromUtf8(name));
    strainComponentCombo->setCurrentIndex(0);
    strainComponentCombo->setEnabled(false);
    componentRow->addWidget(strainComponentCombo);
    componentRow->addStretch();
    groupLayout->addLayout(componentRow);

    auto* viewColumn = new QVBoxLayout;
    const StepRow steps = addStepRow(viewColumn, QStringLiteral("Step \u2014 : \u2014"), boldSecondaryButtonStyle(),
                                     group);
    strainStepLabel = steps.label;
    strainPrevButton = steps.prevButton;
    strainSlider = steps.slider;
    strainNextButton = steps.nextButton;
    strainView = new ImageViewWidget(group);
    configureResultView(strainView);
    strainView->setInspector([this](const QPoint& pixel) { return strainInspectValue(pixel); });
    strainView->setLineProfileProvider(
        [this](const QPointF& start, const QPointF& end) { return strainLineProfile(start, end); });
    viewColumn->addWidget(strainView, 1);
    auto* tools = new QHBoxLayout;
    tools->setSpacing(4);
    strainMarkersButton = makeMarkersButton(QStringLiteral("Enable markers and ROI"), group);
    strainFitButton = makeFitButton(group);
    strainOneToOneButton = makeOneToOneButton(group);
    tools->addWidget(strainMarkersButton);
    tools->addStretch();
    tools->addWidget(strainFitButton);
    tools->addWidget(strainOneToOneButton);
    tools->addStretch();
    viewColumn->addLayout(tools);
    groupLayout->addLayout(viewColumn, 1);

    strainTileNavigator = createTileNavigator(group);
    groupLayout->addWidget(strainTileNavigator.container);

    HistogramPanelSetup setup;
    setup.readout = QStringLiteral("%1 : \u2014").arg(QString::fromUtf8(strainComponentNames[0]));
    const HistogramPanel panel = makeHistogramPanel(setup, group);
    strainRangeLabel = panel.minMaxLabel;
    strainLogSwitch = panel.logSwitch;
    strainHistogram = panel.histogram;
    strainAutoButton = panel.autoButton;
    strainCropButton = panel.cropButton;
    strainResetButton = panel.resetButton;
    strainApplyAllButton = panel.applyAllButton;
    strainValueLabel = panel.readout;
    strainHistogram->setZoomHandler([this](float minValue, float maxValue) {
        zoomFieldHistogram(strainHistogram, strainField(currentStrainComponentIndex()), minValue, maxValue);
    });
    groupLayout->addWidget(panel.panel);

    strainResultPage->layout()->addWidget(group);
    static_cast<QVBoxLayout*>(strainResultPage->layout())->setStretchFactor(group, 1);
    strainResultPage->hide();
}

void MainWidget::connectStrainPageControls() {
    if (strainHistogram) {
        connect(strainHistogram, &ContrastHistogramWidget::rangeChanged, this,
                [this](float minValue, float maxValue) { onStrainHistogramRangeEdited(minValue, maxValue); });
        connect(strainHistogram, &ContrastHistogramWidget::rangeChangeFinished, this,
                [this](float minValue, float maxValue) { onStrainHistogramRangeEdited(minValue, maxValue); });
    }
    connect(strainAutoButton, &QToolButton::clicked, this, [this] { onStrainAutoScale(); });
    connect(strainApplyAllButton, &QToolButton::clicked, this, [this] { applyStrainRangeToAll(); });
    connect(strainComponentCombo, &QComboBox::currentIndexChanged, this, [this] { onStrainComponentChanged(); });
    connect(strainFitButton, &QToolButton::clicked, this, [this] {
        if (strainView)
            strainView->fitToWindow();
    });
    connect(strainOneToOneButton, &QToolButton::clicked, this, [this] {
        if (strainView)
            strainView->resetToOneToOne();
    });
    connect(strainMarkersButton, &QToolButton::toggled, this, [this](bool on) {
        if (!strainView)
            return;
        strainView->setMarkersEnabled(on);
        strainView->setProfileMode(on);
    });
    connect(strainView, &ImageViewWidget::viewModeChanged, this, [this](bool isFitted, bool isOneToOne) {
        strainFitButton->setChecked(isFitted);
        strainOneToOneButton->setChecked(isOneToOne);
    });
    if (strainLogSwitch)
        connect(strainLogSwitch, &Switch::toggled, this, [this](bool on) {
            if (strainHistogram)
                strainHistogram->setShowLogHistogram(on);
        });
    if (strainCropButton)
        connect(strainCropButton, &QToolButton::clicked, this, [this] {
            if (strainHistogram)
                strainHistogram->zoomToSelection();
        });
    if (strainResetButton)
        connect(strainResetButton, &QToolButton::clicked, this, [this] {
            if (strainHistogram)
                strainHistogram->resetZoom();
        });
}

}  // namespace tavro::gui
