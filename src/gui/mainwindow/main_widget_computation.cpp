// Computation control and results: the run over the deformed images, strain
// and out-of-plane computations, result pages and their display. Most members
// are still empty.
#include "gui/mainwindow/main_widget.h"

#include "gui/foundation/contrast_histogram_widget.h"
#include "gui/foundation/theme.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSlider>
#include <QTabWidget>
#include <QVBoxLayout>

#include <cmath>
#include <initializer_list>

namespace tavro::gui {

namespace {

// Position of a result page in the fixed tab order; other pages go last.
int resultPageOrder(const QWidget* page, std::initializer_list<const QWidget*> order) {
    int position = 0;
    for (const QWidget* each : order) {
        if (each && each == page)
            return position;
        ++position;
    }
    return 99;
}

}  // namespace

const std::array<const char*, kFractureRangeCount> MainWidget::fractureFieldLabels{
    "Opening X",
    "Opening Y",
    "Opening intensity",
    "Crack angle \u03b1 (\u00b0)",
    "Opening direction \u03b2 (\u00b0)",
    "Crack position \u03c6 (px)",
    "Longitudinal (screw)",
    "Transverse (edge)",
    "Relative angle (\u00b0)"};

const std::array<MainWidget::FractureFieldGroup, 3> MainWidget::fractureFieldGroups{{
    {"Crack opening", "Discontinuity parameters extracted by H-DIC", {0, 1, 2}},
    {"Geometry", "Crack orientation and direction", {3, 4}},
    {"Crystallographic decomposition",
     "Slip decomposition relative to crack front orientation.\nLongitudinal = screw component, Transverse = edge "
     "component.",
     {6, 7, 8}},
}};

MainWidget::TileNavigator MainWidget::createTileNavigator(QWidget* parent) {
    TileNavigator navigator;
    navigator.container = new QWidget(parent);
    auto* layout = new QVBoxLayout(navigator.container);
    layout->setContentsMargins(0, 2, 0, 0);
    layout->setSpacing(2);
    navigator.label = new QLabel(QStringLiteral("Tile \u2014 / \u2014"), navigator.container);
    navigator.label->setAlignment(Qt::AlignCenter);
    navigator.label->setStyleSheet(QStringLiteral("font-size: 12px;"));
    layout->addWidget(navigator.label);
    const auto stepButton = [&navigator](const QString& text) {
        auto* button = new QPushButton(text, navigator.container);
        button->setFixedWidth(30);
        button->setStyleSheet(boldSecondaryButtonStyle());
        button->setEnabled(false);
        return button;
    };
    navigator.prevButton = stepButton(QStringLiteral("<"));
    navigator.slider = new QSlider(Qt::Horizontal, navigator.container);
    navigator.slider->setRange(0, 0);
    navigator.slider->setValue(0);
    navigator.slider->setEnabled(false);
    navigator.nextButton = stepButton(QStringLiteral(">"));
    auto* row = new QHBoxLayout;
    row->addWidget(navigator.prevButton);
    row->addWidget(navigator.slider, 1);
    row->addWidget(navigator.nextButton);
    layout->addLayout(row);
    navigator.container->hide();
    return navigator;
}

void MainWidget::setResultTabVisible(QWidget* page, const QString& title, bool show) {
    if (!mainTabs || !page)
        return;
    const std::initializer_list<const QWidget*> order{inputImagesPage, displacementsPage, strainResultPage,
                                                      fractureResultPage, heightResultPage};
    if (show) {
        if (mainTabs->indexOf(page) >= 0)
            return;
        const int position = resultPageOrder(page, order);
        int insertAt = mainTabs->count();
        for (int i = 0; i < mainTabs->count(); ++i) {
            if (resultPageOrder(mainTabs->widget(i), order) > position) {
                insertAt = i;
                break;
            }
        }
        // A new tab may raise the window's minimum size; the user's size stays.
        const QSize kept = size();
        page->show();
        mainTabs->insertTab(insertAt, page, title);
        fitColumnsToCurrentTab();
        if (!isMaximized())
            resize(kept);
        return;
    }
    if (mainTabs->indexOf(page) < 0)
        return;
    if (mainTabs->currentWidget() == page) {
        QWidget* next = inputImagesPage;
        for (QWidget* candidate : {displacementsPage, strainResultPage, fractureResultPage, heightResultPage}) {
            if (candidate && candidate != page && mainTabs->indexOf(candidate) >= 0) {
                next = candidate;
                break;
            }
        }
        if (next)
            mainTabs->setCurrentWidget(next);
    }
    mainTabs->removeTab(mainTabs->indexOf(page));
    page->hide();
}

// The results a result page showed are gone: the page to return to is the
// input images, not whichever result page happens to remain.
void MainWidget::hideResultTabs() {
    if (mainTabs && inputImagesPage) {
        QWidget* current = mainTabs->currentWidget();
        if (current == displacementsPage || current == strainResultPage || current == fractureResultPage)
            mainTabs->setCurrentWidget(inputImagesPage);
    }
    setDisplacementsTabVisible(false);
    setStrainsTabVisible(false);
    setFractureTabVisible(false);
    update3DMapsTabEnabled();
}

void MainWidget::setDisplacementsTabVisible(bool show) {
    setResultTabVisible(displacementsPage, QStringLiteral("Displacements"), show);
}

void MainWidget::setStrainsTabVisible(bool show) { setResultTabVisible(strainResultPage, QStringLiteral("Strains"), show); }

void MainWidget::setFractureTabVisible(bool show) {
    setResultTabVisible(fractureResultPage, QStringLiteral("Fracture"), show);
}

int MainWidget::currentStrainComponentIndex() const {
    return strainComponentCombo ? strainComponentCombo->currentIndex() : 0;
}

void MainWidget::zoomFieldHistogram(ContrastHistogramWidget* histogram, const std::vector<float>& values,
                                    float minValue, float maxValue) {
    if (!histogram)
        return;
    std::vector<float> inRange;
    inRange.reserve(values.size());
    for (float value : values)
        if (std::isfinite(value) && value >= minValue && value <= maxValue)
            inRange.push_back(value);
    histogram->setDataZoomed(inRange, minValue, maxValue);
}

void MainWidget::updateDisplacementHoverText(int component, const QString& value, bool hasValue) {
    if (component < 0 || component > 1 || !displacementValueLabels[component])
        return;
    const QString name = component == 0 ? QStringLiteral("Ux") : QStringLiteral("Uy");
    displacementValueLabels[component]->setText(hasValue ? value : QStringLiteral("%1 : \u2014").arg(name));
}

void MainWidget::updateStrainHoverText(const QString& value, bool hasValue) {
    if (!strainValueLabel)
        return;
    const QString name = strainComponentCombo ? strainComponentCombo->currentText() : QString();
    strainValueLabel->setText(hasValue ? value : QStringLiteral("%1 : \u2014").arg(name));
}

void MainWidget::updateFractureHoverText(const QString& value, bool hasValue) {
    if (!fractureValueLabel)
        return;
    QString name;
    if (fractureParameterCombo) {
        bool isField = false;
        const int field = fractureParameterCombo->currentData().toInt(&isField);
        name = isField && field >= 0 && field < kFractureRangeCount
                   ? QString::fromUtf8(fractureFieldLabels[static_cast<std::size_t>(field)])
                   : fractureParameterCombo->currentText();
    }
    fractureValueLabel->setText(hasValue ? value : QStringLiteral("%1 : \u2014").arg(name));
}


}  // namespace tavro::gui
