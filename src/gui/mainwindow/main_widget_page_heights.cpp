// The "3D Maps" page: the out-of-plane height map of a state or tile.
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

void MainWidget::buildHeightPage() {
    auto* group = new QGroupBox(heightResultPage);
    auto* groupLayout = new QVBoxLayout(group);

    auto* viewColumn = new QVBoxLayout;
    const StepRow steps = addStepRow(viewColumn, QStringLiteral("State \u2014 : \u2014"), compactButtonStyle(), group);
    heightStepLabel = steps.label;
    heightPrevButton = steps.prevButton;
    heightSlider = steps.slider;
    heightNextButton = steps.nextButton;
    heightView = new ImageViewWidget(group);
    configureResultView(heightView);
    heightView->setInspector([this](const QPoint& pixel) { return heightInspectValue(pixel); });
    heightView->setLineProfileProvider(
        [this](const QPointF& start, const QPointF& end) { return heightLineProfile(start, end); });
    viewColumn->addWidget(heightView, 1);
    auto* tools = new QHBoxLayout;
    tools->setSpacing(4);
    heightMarkersButton = makeMarkersButton(QStringLiteral("Enable markers and ROI"), group);
    heightFitButton = makeFitButton(group);
    heightOneToOneButton = makeOneToOneButton(group);
    tools->addWidget(heightMarkersButton);
    tools->addStretch();
    tools->addWidget(heightFitButton);
    tools->addWidget(heightOneToOneButton);
    tools->addStretch();
    viewColumn->addLayout(tools);
    heightTileNavigator = createTileNavigator(group);
    viewColumn->addWidget(heightTileNavigator.container);
    groupLayout->addLayout(viewColumn, 1);

    HistogramPanelSetup setup;
    setup.minMaxText = QStringLiteral("Min : \u2014    Max : \u2014");
    setup.readout = QStringLiteral("w : \u2014");
    setup.hasApplyAll = false;
    const HistogramPanel panel = makeHistogramPanel(setup, group);
    heightRangeLabel = panel.minMaxLabel;
    heightLogSwitch = panel.logSwitch;
    heightHistogram = panel.histogram;
    heightAutoButton = panel.autoButton;
    heightCropButton = panel.cropButton;
    heightResetButton = panel.resetButton;
    heightValueLabel = panel.readout;
    heightHistogram->setZoomHandler([this](float minValue, float maxValue) {
        zoomFieldHistogram(heightHistogram, shownHeightValues, minValue, maxValue);
    });
    groupLayout->addWidget(panel.panel);

    heightResultPage->layout()->addWidget(group);
    static_cast<QVBoxLayout*>(heightResultPage->layout())->setStretchFactor(group, 1);
    heightResultPage->hide();
}

}  // namespace tavro::gui
