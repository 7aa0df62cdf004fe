// Wiring of the tools shared by the result pages: contrast histograms, view
// links, step rows, tile navigators, read-outs and detail tiles.
#include "gui/mainwindow/main_widget.h"

#include "gui/foundation/contrast_histogram_widget.h"
#include "gui/mainwindow/result_page_parts.h"
#include "gui/style/switch_widget.h"

#include <QCheckBox>
#include <QIcon>
#include <QLabel>
#include <QPushButton>
#include <QSlider>
#include <QToolButton>

#include <utility>

namespace tavro::gui {

namespace {

QIcon linkIcon(bool linked) {
    return QIcon(linked ? QStringLiteral(":/icons/link_on.svg") : QStringLiteral(":/icons/link_off.svg"));
}

void fitView(ImageViewWidget* view) {
    if (view)
        view->fitToWindow();
}

void oneToOneView(ImageViewWidget* view) {
    if (view)
        view->resetToOneToOne();
}

void linkViewPair(bool on, bool& linked, QToolButton* own, QToolButton* partner, ImageViewWidget* view,
                  ImageViewWidget* partnerView) {
    linked = on;
    if (own)
        own->setIcon(linkIcon(on));
    // The mirror runs inside setChecked and finds this button already agreeing.
    if (partner && partner->isChecked() != on)
        partner->setChecked(on);
    // The view whose button was pressed takes the other's framing.
    if (on && view && partnerView)
        view->syncViewFrom(partnerView);
}

}  // namespace

void MainWidget::autosaveParameters() {
    ++autosaveRequests;
    saveParametersToProject();
}

void MainWidget::onReferenceSyncToggled(bool checked) {
    linkViewPair(checked, inputViewsLinked, referenceSyncButton, deformedSyncButton, referenceView, deformedView);
}

void MainWidget::onDeformedSyncToggled(bool checked) {
    linkViewPair(checked, inputViewsLinked, deformedSyncButton, referenceSyncButton, deformedView, referenceView);
}

void MainWidget::onUxSyncToggled(bool on) {
    linkViewPair(on, displacementViewsLinked, uxSyncButton, uySyncButton, uxView, uyView);
}

void MainWidget::onUySyncToggled(bool on) {
    linkViewPair(on, displacementViewsLinked, uySyncButton, uxSyncButton, uyView, uxView);
}

void MainWidget::onSaveFullImageToggled() {
    // Every result's drawings were made for the other placement.
    for (ComputationResult& result : results) {
        result.display.uxImage = result.display.uyImage = QImage();
        result.display.strainImage = result.display.fractureImage = QImage();
        result.display.strainImageComponent = result.display.fractureImageMap = -1;
    }
    current.display.uxImage = current.display.uyImage = QImage();
    current.display.strainImage = current.display.fractureImage = QImage();
    current.display.strainImageComponent = current.display.fractureImageMap = -1;
    // The refreshers re-render from the fields.
    refreshDisplacementImages(true);
    refreshStrainImage(true);
    refreshFractureImage(true);
    autosaveParameters();
}

void MainWidget::connectResultViewTools() {
    connect(referenceHistogram, &ContrastHistogramWidget::rangeChanged, this,
            [this](float minValue, float maxValue) { onReferenceHistogramRangeEdited(minValue, maxValue); });
    connect(deformedHistogram, &ContrastHistogramWidget::rangeChanged, this,
            [this](float minValue, float maxValue) { onDeformedHistogramRangeEdited(minValue, maxValue); });
    connect(deformedApplyAllButton, &QToolButton::clicked, this, [this] { applyDeformedContrastToAll(); });
    connect(referenceLogSwitch, &Switch::toggled, this, [this](bool checked) {
        if (referenceHistogram)
            referenceHistogram->setShowLogHistogram(checked);
    });
    connect(referenceCropButton, &QToolButton::clicked, this, [this] {
        if (!referenceHistogram)
            return;
        referenceHistogram->zoomToSelection();
        updateReferenceContrastButtons();
    });
    connect(referenceResetButton, &QToolButton::clicked, this, [this] {
        if (referenceHistogram)
            referenceHistogram->resetZoom();
    });
    connect(referenceHistogram, &ContrastHistogramWidget::rangeChanged, this,
            [this] { updateReferenceContrastButtons(); });
    connect(referenceHistogram, &ContrastHistogramWidget::zoomChanged, this,
            [this] { updateReferenceContrastButtons(); });
    connect(referenceHistogram, &ContrastHistogramWidget::rangeChangeFinished, this,
            [this](float minValue, float maxValue) { onReferenceHistogramRangeEdited(minValue, maxValue); });
    connect(deformedLogSwitch, &Switch::toggled, this, [this](bool checked) {
        if (deformedHistogram)
            deformedHistogram->setShowLogHistogram(checked);
    });
    connect(deformedCropButton, &QToolButton::clicked, this, [this] {
        if (!deformedHistogram)
            return;
        deformedHistogram->zoomToSelection();
        updateDeformedContrastButtons();
    });
    connect(deformedResetButton, &QToolButton::clicked, this, [this] {
        if (deformedHistogram)
            deformedHistogram->resetZoom();
    });
    connect(deformedHistogram, &ContrastHistogramWidget::rangeChanged, this,
            [this] { updateDeformedContrastButtons(); });
    connect(deformedHistogram, &ContrastHistogramWidget::zoomChanged, this,
            [this] { updateDeformedContrastButtons(); });
    connect(deformedHistogram, &ContrastHistogramWidget::rangeChangeFinished, this,
            [this](float minValue, float maxValue) { onDeformedHistogramRangeEdited(minValue, maxValue); });

    connect(referenceView, &ImageViewWidget::hoverValueChanged, this, [this](const QString& value, bool hasValue) {
        if (referencePixelLabel)
            referencePixelLabel->setText(inputReadoutText(value, hasValue));
    });
    connect(deformedView, &ImageViewWidget::hoverValueChanged, this, [this](const QString& value, bool hasValue) {
        if (deformedPixelLabel)
            deformedPixelLabel->setText(inputReadoutText(value, hasValue));
    });
    connect(referenceFitButton, &QToolButton::clicked, this, [this] {
        fitView(referenceView);
        if (inputViewsLinked)
            fitView(deformedView);
    });
    connect(referenceOneToOneButton, &QToolButton::clicked, this, [this] {
        oneToOneView(referenceView);
        if (inputViewsLinked)
            oneToOneView(deformedView);
    });
    connect(referenceSyncButton, &QToolButton::toggled, this, [this](bool checked) { onReferenceSyncToggled(checked); });
    connect(deformedFitButton, &QToolButton::clicked, this, [this] {
        fitView(deformedView);
        if (inputViewsLinked)
            fitView(referenceView);
    });
    connect(deformedOneToOneButton, &QToolButton::clicked, this, [this] {
        oneToOneView(deformedView);
        if (inputViewsLinked)
            oneToOneView(referenceView);
    });
    connect(deformedSyncButton, &QToolButton::toggled, this, [this](bool checked) { onDeformedSyncToggled(checked); });
    connect(referenceView, &ImageViewWidget::viewModeChanged, this, [this](bool isFitted, bool isOneToOne) {
        referenceFitButton->setChecked(isFitted);
        referenceOneToOneButton->setChecked(isOneToOne);
    });
    connect(deformedView, &ImageViewWidget::viewModeChanged, this, [this](bool isFitted, bool isOneToOne) {
        deformedFitButton->setChecked(isFitted);
        deformedOneToOneButton->setChecked(isOneToOne);
    });
    connect(referenceView, &ImageViewWidget::transformChanged, this, [this] {
        if (inputViewsLinked && deformedView)
            deformedView->syncViewFrom(referenceView);
    });
    connect(deformedView, &ImageViewWidget::transformChanged, this, [this] {
        if (inputViewsLinked && referenceView)
            referenceView->syncViewFrom(deformedView);
    });

    if (saveFullImageCheck)
        connect(saveFullImageCheck, &QCheckBox::toggled, this, [this] { onSaveFullImageToggled(); });

    for (QSlider* slider : {displacementSlider, strainSlider, fractureSlider, heightSlider, deformedSlider,
                            displacementTileNavigator.slider, strainTileNavigator.slider,
                            fractureTileNavigator.slider, heightTileNavigator.slider, inputTileNavigator.slider})
        if (slider)
            slider->setTracking(true);
    // Strain fields are computed on the displacement grid, so both take its size.
    // A detail tile is coloured with the range the view shows.
    const auto fieldTile = [this](ImageViewWidget* view, auto values, auto scale, auto range) {
        if (!view)
            return;
        view->setDetailTileProvider([this, values, scale, range](const QRectF& sceneRect, double zoom) {
            const int width = shownDisplacements ? shownDisplacements->gridWidth : 0;
            const int height = shownDisplacements ? shownDisplacements->gridHeight : 0;
            const std::pair<float, float> shown = range();
            return buildGridDetailTile(values(), width, height, scale(), QPoint(), shown.first, shown.second,
                                       sceneRect, zoom);
        });
    };
    fieldTile(uxView, [this]() -> const std::vector<float>& { return displacementField(0); },
              [this] { return uxImageScale; }, [this] { return std::pair(current.minUx, current.maxUx); });
    fieldTile(uyView, [this]() -> const std::vector<float>& { return displacementField(1); },
              [this] { return uyImageScale; }, [this] { return std::pair(current.minUy, current.maxUy); });
    fieldTile(strainView, [this]() -> const std::vector<float>& { return strainField(currentStrainComponentIndex()); },
              [this] { return strainImageScale; },
              [this] {
                  const int component = currentStrainComponentIndex();
                  return std::pair(strainDisplayMin(component), strainDisplayMax(component));
              });
    if (heightView)
        heightView->setDetailTileProvider([this](const QRectF& sceneRect, double zoom) {
            return buildGridDetailTile(heightDisplayedField, shownHeightGridWidth, shownHeightGridHeight,
                                       heightPreviewScale, QPoint(), heightDisplayMin, heightDisplayMax, sceneRect,
                                       zoom);
        });

    for (QSlider* slider : {displacementSlider, strainSlider, fractureSlider})
        connect(slider, &QSlider::valueChanged, this, [this](int value) { onResultSliderChanged(value); });
    for (const TileNavigator* navigator : {&displacementTileNavigator, &strainTileNavigator, &fractureTileNavigator}) {
        connect(navigator->slider, &QSlider::valueChanged, this, [this](int value) { onResultTileSliderChanged(value); });
        connect(navigator->prevButton, &QPushButton::clicked, this,
                [this] { onResultTileSliderChanged(selectedBatchTile - 1); });
        connect(navigator->nextButton, &QPushButton::clicked, this,
                [this] { onResultTileSliderChanged(selectedBatchTile + 1); });
    }
    // The step buttons only move the slider; its own valueChanged shows the state.
    const auto stepButtons = [this](QPushButton* prev, QPushButton* next, QSlider* slider) {
        connect(prev, &QPushButton::clicked, this, [slider] {
            if (const auto value = steppedSliderValue(slider->value(), 0, slider->maximum(), -1))
                slider->setValue(*value);
        });
        connect(next, &QPushButton::clicked, this, [slider] {
            if (const auto value = steppedSliderValue(slider->value(), 0, slider->maximum(), 1))
                slider->setValue(*value);
        });
    };
    stepButtons(displacementPrevButton, displacementNextButton, displacementSlider);
    stepButtons(strainPrevButton, strainNextButton, strainSlider);
    stepButtons(fracturePrevButton, fractureNextButton, fractureSlider);

    connect(uxView, &ImageViewWidget::hoverValueChanged, this,
            [this](const QString& value, bool hasValue) { updateDisplacementHoverText(0, value, hasValue); });
    connect(uyView, &ImageViewWidget::hoverValueChanged, this,
            [this](const QString& value, bool hasValue) { updateDisplacementHoverText(1, value, hasValue); });
    connect(strainView, &ImageViewWidget::hoverValueChanged, this,
            [this](const QString& value, bool hasValue) { updateStrainHoverText(value, hasValue); });
    connect(fractureView, &ImageViewWidget::hoverValueChanged, this,
            [this](const QString& value, bool hasValue) { updateFractureHoverText(value, hasValue); });
    updateDisplacementHoverText(0, QString(), false);
    updateDisplacementHoverText(1, QString(), false);
    updateStrainHoverText(QString(), false);
    updateFractureHoverText(QString(), false);
}

void MainWidget::connectDisplacementViewControls() {
    for (int component = 0; component < 2; ++component) {
        if (ContrastHistogramWidget* histogram = displacementHistograms[component]) {
            connect(histogram, &ContrastHistogramWidget::rangeChanged, this,
                    [this, component](float minValue, float maxValue) {
                        onDisplacementHistogramRangeEdited(component, minValue, maxValue);
                    });
            connect(histogram, &ContrastHistogramWidget::rangeChangeFinished, this,
                    [this, component](float minValue, float maxValue) {
                        onDisplacementHistogramRangeEdited(component, minValue, maxValue);
                    });
        }
        if (displacementAutoButtons[component])
            connect(displacementAutoButtons[component], &QToolButton::clicked, this,
                    [this, component] { onDisplacementAutoScale(component); });
        if (displacementApplyAllButtons[component])
            connect(displacementApplyAllButtons[component], &QToolButton::clicked, this,
                    [this, component] { applyDisplacementRangeToAll(component); });
        if (displacementLogSwitches[component])
            connect(displacementLogSwitches[component], &Switch::toggled, this, [this, component](bool on) {
                if (displacementHistograms[component])
                    displacementHistograms[component]->setShowLogHistogram(on);
            });
        if (displacementCropButtons[component])
            connect(displacementCropButtons[component], &QToolButton::clicked, this, [this, component] {
                if (displacementHistograms[component])
                    displacementHistograms[component]->zoomToSelection();
            });
        if (displacementResetButtons[component])
            connect(displacementResetButtons[component], &QToolButton::clicked, this, [this, component] {
                if (displacementHistograms[component])
                    displacementHistograms[component]->resetZoom();
            });
    }

    connect(uxFitButton, &QToolButton::clicked, this, [this] {
        fitView(uxView);
        if (displacementViewsLinked)
            fitView(uyView);
    });
    connect(uxOneToOneButton, &QToolButton::clicked, this, [this] {
        oneToOneView(uxView);
        if (displacementViewsLinked)
            oneToOneView(uyView);
    });
    connect(uyFitButton, &QToolButton::clicked, this, [this] {
        fitView(uyView);
        if (displacementViewsLinked)
            fitView(uxView);
    });
    connect(uyOneToOneButton, &QToolButton::clicked, this, [this] {
        oneToOneView(uyView);
        if (displacementViewsLinked)
            oneToOneView(uxView);
    });
    connect(uxSyncButton, &QToolButton::toggled, this, [this](bool on) { onUxSyncToggled(on); });
    connect(uySyncButton, &QToolButton::toggled, this, [this](bool on) { onUySyncToggled(on); });
    connect(uxView, &ImageViewWidget::viewModeChanged, this, [this](bool isFitted, bool isOneToOne) {
        uxFitButton->setChecked(isFitted);
        uxOneToOneButton->setChecked(isOneToOne);
    });
    connect(uyView, &ImageViewWidget::viewModeChanged, this, [this](bool isFitted, bool isOneToOne) {
        uyFitButton->setChecked(isFitted);
        uyOneToOneButton->setChecked(isOneToOne);
    });
    connect(uxView, &ImageViewWidget::transformChanged, this, [this] {
        if (displacementViewsLinked && uyView)
            uyView->syncViewFrom(uxView);
    });
    connect(uyView, &ImageViewWidget::transformChanged, this, [this] {
        if (displacementViewsLinked && uxView)
            uxView->syncViewFrom(uyView);
    });

    // Each view follows its own button, whichever one was toggled.
    const auto followMarkers = [this] {
        const std::pair<ImageViewWidget*, QToolButton*> sides[2] = {{uxView, uxMarkersButton},
                                                                    {uyView, uyMarkersButton}};
        for (const auto& [view, button] : sides) {
            if (!view)
                continue;
            const bool on = button && button->isChecked();
            view->setMarkersEnabled(on);
            view->setProfileMode(on);
        }
    };
    for (QToolButton* markers : {uxMarkersButton, uyMarkersButton})
        if (markers)
            connect(markers, &QToolButton::toggled, this, followMarkers);
}

}  // namespace tavro::gui
