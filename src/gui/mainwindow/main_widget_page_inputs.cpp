// The "Input images" page: reference and deformed views side by side, each
// with its toolbar and contrast histogram.
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

void MainWidget::buildInputImagesPage() {
    inputViewsGroup = new QGroupBox(inputImagesPage);
    auto* groupLayout = new QVBoxLayout(inputViewsGroup);
    groupLayout->setContentsMargins(4, 9, 4, 9);
    inputImagesPage->layout()->addWidget(inputViewsGroup);
    static_cast<QVBoxLayout*>(inputImagesPage->layout())->setStretchFactor(inputViewsGroup, 1);
    auto* viewsRow = new QHBoxLayout;

    auto* referenceColumn = new QVBoxLayout;
    referenceColumn->addWidget(makeViewTitle(QStringLiteral("Reference"), inputViewsGroup));
    // Stands where the deformed column has its navigation row, so both views start level.
    referenceNavigationFiller = new QWidget(inputViewsGroup);
    referenceNavigationFiller->setFixedHeight(26);
    referenceColumn->addWidget(referenceNavigationFiller);
    referenceView = new ImageViewWidget(inputViewsGroup);
    configureResultView(referenceView);
    referenceView->setRoiSelectionEnabled(true);
    referenceView->setInspector([this](const QPoint& pixel) {
        return inspectInputPixel(referenceView, referenceImage, referenceViewSourcePath(), pixel);
    });
    referenceColumn->addWidget(referenceView, 1);
    auto* referenceTools = new QHBoxLayout;
    referenceTools->setSpacing(4);
    referenceFitButton = makeFitButton(inputViewsGroup);
    referenceOneToOneButton = makeOneToOneButton(inputViewsGroup);
    referenceSyncButton = makeSyncButton(QStringLiteral("Sync views"), inputViewsGroup);
    maskOverlayButton = makeViewToolButton(QStringLiteral("MSK"), QString(),
                                           QStringLiteral("Show/hide mask exclusion zone"), inputViewsGroup);
    maskOverlayButton->setChecked(true);
    maskOverlayButton->hide();
    referenceTools->addStretch();
    for (QToolButton* button : {referenceFitButton, referenceOneToOneButton, referenceSyncButton, maskOverlayButton})
        referenceTools->addWidget(button);
    referenceTools->addStretch();
    referenceColumn->addLayout(referenceTools, 0);

    HistogramPanelSetup inputPanel;
    inputPanel.enabled = true;
    inputPanel.hasAuto = false;
    inputPanel.hasApplyAll = false;
    inputPanel.buttonSpacing = -1;
    inputPanel.readout = QStringLiteral("Pixel : \u2014");
    const HistogramPanel referencePanel = makeHistogramPanel(inputPanel, inputViewsGroup);
    referenceMinMaxLabel = referencePanel.minMaxLabel;
    referenceLogSwitch = referencePanel.logSwitch;
    referenceHistogram = referencePanel.histogram;
    referenceCropButton = referencePanel.cropButton;
    referenceResetButton = referencePanel.resetButton;
    referencePixelLabel = referencePanel.readout;
    referenceHistogram->setZoomHandler([this](float minValue, float maxValue) {
        const QImage& shown = referenceImage.preview.isNull() ? referenceImage.full : referenceImage.preview;
        zoomImageHistogram(referenceHistogram, shown, minValue, maxValue);
    });

    auto* deformedColumn = new QVBoxLayout;
    deformedTitleLabel = makeViewTitle(QStringLiteral("Deformed \u2014 / \u2014"), inputViewsGroup);
    deformedColumn->addWidget(deformedTitleLabel);
    auto* navigationRow = new QWidget(inputViewsGroup);
    navigationRow->setFixedHeight(26);
    auto* navigation = new QHBoxLayout(navigationRow);
    navigation->setContentsMargins(0, 0, 0, 0);
    navigation->setSpacing(4);
    deformedPrevButton = makeStepButton(QStringLiteral("<"), 24, boldSecondaryButtonStyle(), inputViewsGroup);
    deformedSlider = makeStepSlider(inputViewsGroup);
    deformedNextButton = makeStepButton(QStringLiteral(">"), 24, boldSecondaryButtonStyle(), inputViewsGroup);
    navigation->addWidget(deformedPrevButton);
    navigation->addWidget(deformedSlider, 1);
    navigation->addWidget(deformedNextButton);
    deformedColumn->addWidget(navigationRow);
    deformedNavigationRow = navigationRow;
    deformedView = new ImageViewWidget(inputViewsGroup);
    configureResultView(deformedView);
    deformedView->setInspector([this](const QPoint& pixel) {
        const bool inRange = shownDeformedIndex >= 0 && shownDeformedIndex < static_cast<int>(deformedImages.size());
        static const LoadedImage none;
        const LoadedImage& shown = inRange ? deformedImages[static_cast<std::size_t>(shownDeformedIndex)] : none;
        return inspectInputPixel(deformedView, shown, deformedViewSourcePath(), pixel);
    });
    deformedColumn->addWidget(deformedView, 1);
    auto* deformedTools = new QHBoxLayout;
    deformedTools->setSpacing(4);
    deformedFitButton = makeFitButton(inputViewsGroup);
    deformedOneToOneButton = makeOneToOneButton(inputViewsGroup);
    deformedSyncButton = makeSyncButton(QStringLiteral("Sync views"), inputViewsGroup);
    deformedTools->addStretch();
    for (QToolButton* button : {deformedFitButton, deformedOneToOneButton, deformedSyncButton})
        deformedTools->addWidget(button);
    deformedTools->addStretch();
    deformedColumn->addLayout(deformedTools, 0);

    inputPanel.hasApplyAll = true;
    const HistogramPanel deformedPanel = makeHistogramPanel(inputPanel, inputViewsGroup);
    deformedMinMaxLabel = deformedPanel.minMaxLabel;
    deformedLogSwitch = deformedPanel.logSwitch;
    deformedHistogram = deformedPanel.histogram;
    deformedCropButton = deformedPanel.cropButton;
    deformedResetButton = deformedPanel.resetButton;
    deformedApplyAllButton = deformedPanel.applyAllButton;
    deformedApplyAllButton->hide();
    deformedPixelLabel = deformedPanel.readout;
    deformedHistogram->setZoomHandler([this](float minValue, float maxValue) {
        if (shownDeformedIndex < 0 || shownDeformedIndex >= static_cast<int>(deformedImages.size()))
            return;
        const LoadedImage& shown = deformedImages[static_cast<std::size_t>(shownDeformedIndex)];
        zoomImageHistogram(deformedHistogram, shown.preview.isNull() ? shown.full : shown.preview, minValue,
                           maxValue);
    });

    viewsRow->addLayout(referenceColumn, 1);
    viewsRow->addLayout(deformedColumn, 1);
    groupLayout->addLayout(viewsRow, 0);
    inputTileNavigator = createTileNavigator(inputViewsGroup);
    groupLayout->addWidget(inputTileNavigator.container, 0);
    auto* histogramRow = new QHBoxLayout;
    histogramRow->setSpacing(viewsRow->spacing());
    histogramRow->addWidget(referencePanel.panel, 1);
    histogramRow->addWidget(deformedPanel.panel, 1);
    groupLayout->addLayout(histogramRow, 0);
}

}  // namespace tavro::gui
