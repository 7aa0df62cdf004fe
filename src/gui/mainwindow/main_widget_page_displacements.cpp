// The "Displacements" page: Ux and Uy side by side under one step row.
#include "gui/mainwindow/main_widget.h"

#include "gui/foundation/contrast_histogram_widget.h"
#include "gui/foundation/theme.h"
#include "gui/mainwindow/result_page_parts.h"
#include "gui/style/switch_widget.h"

#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSlider>
#include <QToolButton>
#include <QVBoxLayout>

namespace tavro::gui {

void MainWidget::buildDisplacementsPage() {
    auto* group = new QGroupBox(displacementsPage);
    auto* groupLayout = new QVBoxLayout(group);
    groupLayout->setContentsMargins(4, 9, 4, 9);

    const StepRow steps = addStepRow(groupLayout, QStringLiteral("Step \u2014 : \u2014"), boldSecondaryButtonStyle(),
                                     group);
    displacementStepLabel = steps.label;
    displacementPrevButton = steps.prevButton;
    displacementSlider = steps.slider;
    displacementNextButton = steps.nextButton;

    auto* viewsRow = new QHBoxLayout;
    auto* histogramRow = new QHBoxLayout;
    const QString names[2] = {QStringLiteral("Ux"), QStringLiteral("Uy")};
    const QString titles[2] = {QStringLiteral("Ux (horizontal)"), QStringLiteral("Uy (vertical)")};
    for (int component = 0; component < 2; ++component) {
        auto* column = new QVBoxLayout;
        column->addWidget(makeViewTitle(titles[component], group));
        auto* view = new ImageViewWidget(group);
        configureResultView(view);
        view->setInspector(
            [this, component](const QPoint& pixel) { return displacementInspectValue(component, pixel); });
        view->setLineProfileProvider([this, component](const QPointF& start, const QPointF& end) {
            return displacementLineProfile(component, start, end);
        });
        column->addWidget(view, 1);
        auto* tools = new QHBoxLayout;
        tools->setSpacing(4);
        QToolButton* markers = makeMarkersButton(
            QStringLiteral("Markers and line profile: click to place a marker, drag to plot %1 along a line")
                .arg(names[component]),
            group);
        QToolButton* fit = makeFitButton(group);
        QToolButton* oneToOne = makeOneToOneButton(group);
        QToolButton* sync = makeSyncButton(QStringLiteral("Sync Ux/Uy views"), group);
        tools->addWidget(markers);
        if (component == 0) {
            exportDisplacementsButton = new QToolButton(group);
            exportDisplacementsButton->setText(QStringLiteral("Export"));
            exportDisplacementsButton->setToolTip(
                QStringLiteral("Save Ux and Uy of the shown step to two 32-bit float TIFF files"));
            connect(exportDisplacementsButton, &QToolButton::clicked, this, [this] { onSaveDisplacements(); });
            tools->addWidget(exportDisplacementsButton);
        }
        tools->addStretch();
        tools->addWidget(fit);
        tools->addWidget(oneToOne);
        tools->addWidget(sync);
        tools->addStretch();
        column->addLayout(tools, 0);
        viewsRow->addLayout(column, 1);
        (component == 0 ? uxView : uyView) = view;
        (component == 0 ? uxMarkersButton : uyMarkersButton) = markers;
        (component == 0 ? uxFitButton : uyFitButton) = fit;
        (component == 0 ? uxOneToOneButton : uyOneToOneButton) = oneToOne;
        (component == 0 ? uxSyncButton : uySyncButton) = sync;

        HistogramPanelSetup setup;
        setup.readout = QStringLiteral("%1 : \u2014").arg(names[component]);
        const HistogramPanel panel = makeHistogramPanel(setup, group);
        displacementMinMaxLabels[component] = panel.minMaxLabel;
        displacementLogSwitches[component] = panel.logSwitch;
        displacementHistograms[component] = panel.histogram;
        displacementAutoButtons[component] = panel.autoButton;
        displacementCropButtons[component] = panel.cropButton;
        displacementResetButtons[component] = panel.resetButton;
        displacementApplyAllButtons[component] = panel.applyAllButton;
        displacementValueLabels[component] = panel.readout;
        // displacementField is empty without a result, so a zoom then finds nothing.
        panel.histogram->setZoomHandler([this, component](float minValue, float maxValue) {
            zoomFieldHistogram(displacementHistograms[component], displacementField(component), minValue, maxValue);
        });
        histogramRow->addWidget(panel.panel, 1);
    }

    groupLayout->addLayout(viewsRow, 1);
    displacementTileNavigator = createTileNavigator(group);
    groupLayout->addWidget(displacementTileNavigator.container, 0);
    histogramRow->setSpacing(viewsRow->spacing());
    groupLayout->addLayout(histogramRow, 0);
    displacementsPage->layout()->addWidget(group);
    static_cast<QVBoxLayout*>(displacementsPage->layout())->setStretchFactor(group, 1);
    displacementsPage->hide();
}

}  // namespace tavro::gui
