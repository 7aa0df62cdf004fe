// The display ranges of the shown result and the values under the pointer:
// histograms, auto-scale, "Apply to all", read-outs and line profiles.
#include "gui/mainwindow/main_widget.h"

#include "gui/foundation/contrast_histogram_widget.h"
#include "gui/foundation/elided_label.h"
#include "images/field_rendering.h"
#include "gui/mainwindow/input_rules.h"

#include <QComboBox>
#include <QLabel>
#include <QLocale>
#include <QToolButton>

namespace tavro::gui {

namespace {

const char* const kStrainLabels[] = {"\u03b5xx", "\u03b5yy", "\u03b5xy", "\u03b5I", "\u03b5II", "Rotation \u03c9"};

const std::vector<float>& emptyValues() {
    static const std::vector<float> empty;
    return empty;
}

// A map whose points all lack a value (no point measured, no crack found) has
// no range to show; one released from memory still shows the range it had.
bool holdsNoValue(const std::vector<float>& field) {
    return !field.empty() && !holdsAValue(field);
}

// The automatic range, or the data range when the automatic one is degenerate.
std::pair<float, float> automatic(float autoMin, float autoMax, float dataMin, float dataMax) {
    return autoMax > autoMin ? std::pair{autoMin, autoMax} : std::pair{dataMin, dataMax};
}

QString valueText(float value) { return QLocale().toString(static_cast<double>(value), 'g', 6); }

std::optional<ImageViewWidget::InspectValue> inspect(const QString& name, const std::vector<float>& field, int width,
                                                     int height, double scale, const QPoint& offset,
                                                     const QPoint& pixel, bool finiteOnly) {
    const std::optional<QPoint> cell = resultCellAt(pixel, scale, offset, width, height);
    if (!cell)
        return std::nullopt;
    const std::size_t index = static_cast<std::size_t>(cell->y()) * static_cast<std::size_t>(width) +
                              static_cast<std::size_t>(cell->x());
    if (index >= field.size() || (finiteOnly && !std::isfinite(field[index])))
        return std::nullopt;
    const QString value = valueText(field[index]);
    ImageViewWidget::InspectValue out;
    out.label = QStringLiteral("%1(%2, %3) = %4").arg(name).arg(cell->x()).arg(cell->y()).arg(value);
    out.status = QStringLiteral("%1 : %2  (x=%3, y=%4)").arg(name, value).arg(cell->x()).arg(cell->y());
    return out;
}

ImageViewWidget::LineProfile profile(const QString& name, const std::vector<float>& field, int width, int height,
                                     double scale, const QPoint& offset, const QPointF& start, const QPointF& end) {
    ImageViewWidget::LineProfile out;
    if (field.empty() || width < 1 || height < 1)
        return out;
    double length = 0.0;
    out.values = sampleLineProfile(field, width, height, scale, offset, start, end, length);
    if (out.values.empty())
        return out;
    out.length = length;
    out.label = name;
    out.valid = true;
    return out;
}

// Writes one displacement component's range into a record.
void setDisplacementRange(ComputationResult& r, int c, float low, float high, bool manual) {
    (c == 0 ? r.minUx : r.minUy) = low;
    (c == 0 ? r.maxUx : r.maxUy) = high;
    (c == 0 ? r.display.manualUx : r.display.manualUy) = manual;
}

void setFractureRange(ComputationResult& r, std::size_t m, float low, float high, bool manual) {
    r.fractureMin[m] = low;
    r.fractureMax[m] = high;
    r.display.fractureManual[m] = manual;
}

}  // namespace

void MainWidget::setMinMaxLabel(QLabel* label, bool valid, float minValue, float maxValue) {
    if (label)
        label->setText(minMaxText(valid, minValue, maxValue));
}

void MainWidget::saveRangeChange(const ContrastHistogramWidget* histogram) {
    if (!histogram || !histogram->isDragging())
        autosaveParameters();
}

ComputationResult* MainWidget::currentRecord() {
    if (shownResultIndex < 0 || shownResultIndex >= static_cast<int>(results.size()))
        return nullptr;
    return &results[static_cast<std::size_t>(shownResultIndex)];
}

// Displacements --------------------------------------------------------------

const std::vector<float>& MainWidget::displacementField(int component) const {
    if (!shownDisplacements || component < 0 || component > 1)
        return emptyValues();
    return component == 0 ? shownDisplacements->dispX : shownDisplacements->dispY;
}

void MainWidget::onDisplacementHistogramRangeEdited(int component, float minValue, float maxValue) {
    if (component < 0 || component > 1 || !(minValue < maxValue) || displacementField(component).empty())
        return;
    setDisplacementRange(current, component, minValue, maxValue, true);
    setMinMaxLabel(displacementMinMaxLabels[static_cast<std::size_t>(component)], true, minValue, maxValue);
    refreshDisplacementImages(false);
    if (ComputationResult* record = currentRecord())
        setDisplacementRange(*record, component, minValue, maxValue, true);
    saveRangeChange(displacementHistograms[static_cast<std::size_t>(component)]);
}

void MainWidget::onDisplacementAutoScale(int component) {
    if (component < 0 || component > 1 || displacementField(component).empty())
        return;
    const auto [low, high] =
        component == 0 ? automatic(current.display.percentileMinUx, current.display.percentileMaxUx, current.autoMinUx,
                                   current.autoMaxUx)
                       : automatic(current.display.percentileMinUy, current.display.percentileMaxUy, current.autoMinUy,
                                   current.autoMaxUy);
    setDisplacementRange(current, component, low, high, false);
    displacementAppliedToAll[static_cast<std::size_t>(component)] = false;
    if (ContrastHistogramWidget* histogram = displacementHistograms[static_cast<std::size_t>(component)])
        histogram->setRange(low, high);
    setMinMaxLabel(displacementMinMaxLabels[static_cast<std::size_t>(component)], true, low, high);
    refreshDisplacementImages(false);
    if (ComputationResult* record = currentRecord())
        setDisplacementRange(*record, component, low, high, false);
    saveRangeChange();
}

void MainWidget::applyDisplacementRangeToAll(int component) {
    if (component < 0 || component > 1 || displacementField(component).empty())
        return;
    ContrastHistogramWidget* histogram = displacementHistograms[static_cast<std::size_t>(component)];
    if (!histogram)
        return;
    const float low = histogram->selectionMin(), high = histogram->selectionMax();
    setDisplacementRange(current, component, low, high, true);
    displacementAppliedToAll[static_cast<std::size_t>(component)] = true;
    setMinMaxLabel(displacementMinMaxLabels[static_cast<std::size_t>(component)], true, low, high);
    refreshDisplacementImages(false);
    for (ComputationResult& record : results) {
        // A record released from memory still holds its ranges, and is a result.
        if (record.autoMinUx == 0.0f && record.autoMaxUx == 0.0f && record.displacements->dispX.empty())
            continue;
        setDisplacementRange(record, component, low, high, true);
    }
    setStatus(QStringLiteral("Range %1 applied to all images.")
                  .arg(component == 0 ? QStringLiteral("Ux") : QStringLiteral("Uy")));
    saveRangeChange();
}

void MainWidget::updateResultRangeControls() {
    const bool has = shownDisplacements && !shownDisplacements->dispX.empty();
    const bool enabled = has && !computationRunning;
    if (exportDisplacementsButton)
        exportDisplacementsButton->setEnabled(enabled);
    for (int c = 0; c < 2; ++c) {
        ContrastHistogramWidget* histogram = displacementHistograms[static_cast<std::size_t>(c)];
        const float low = c == 0 ? current.minUx : current.minUy;
        const float high = c == 0 ? current.maxUx : current.maxUy;
        if (histogram) {
            histogram->setEnabled(enabled);
            if (has) {
                histogram->setData(displacementField(c), c == 0 ? current.autoMinUx : current.autoMinUy,
                                   c == 0 ? current.autoMaxUx : current.autoMaxUy);
                histogram->setRange(low, high);
                histogram->saveUnzoomedState();
            } else {
                histogram->clear();
            }
        }
        for (QToolButton* button : {displacementAutoButtons[static_cast<std::size_t>(c)],
                                    displacementApplyAllButtons[static_cast<std::size_t>(c)],
                                    displacementCropButtons[static_cast<std::size_t>(c)],
                                    displacementResetButtons[static_cast<std::size_t>(c)]})
            if (button)
                button->setEnabled(enabled);
        setMinMaxLabel(displacementMinMaxLabels[static_cast<std::size_t>(c)], has && !holdsNoValue(displacementField(c)),
                       low, high);
    }
}

// Strains --------------------------------------------------------------------

QString MainWidget::strainCriterionName(int component) const {
    if (!strainComponentCombo || component < 6 || component >= strainComponentCombo->count())
        return QString();
    return strainComponentCombo->itemText(component);
}

QString MainWidget::strainComponentLabel(int component) const {
    if (component >= 0 && component < 6)
        return QString::fromUtf8(kStrainLabels[component]);
    return strainCriterionName(component);
}

const std::vector<float>& MainWidget::strainField(int component) const {
    if (!current.hasStrain || component < 0)
        return emptyValues();
    const StrainResult& s = *current.strains;
    switch (component) {
    case 0: return s.epsXX;
    case 1: return s.epsYY;
    case 2: return s.epsXY;
    case 3: return s.epsI;
    case 4: return s.epsII;
    case 5: return s.rotation;
    default: break;
    }
    const auto found = s.criteria.find(strainCriterionName(component).toStdString());
    return found == s.criteria.end() || strainCriterionName(component).isEmpty() ? emptyValues() : found->second;
}

float MainWidget::strainDataMin(int c) const {
    if (c >= 0 && c < 6)
        return current.strainAutoMin[static_cast<std::size_t>(c)];
    const auto found = current.criterionMin.find(strainCriterionName(c).toStdString());
    return found == current.criterionMin.end() ? 0.0f : found->second;
}

float MainWidget::strainDataMax(int c) const {
    if (c >= 0 && c < 6)
        return current.strainAutoMax[static_cast<std::size_t>(c)];
    const auto found = current.criterionMax.find(strainCriterionName(c).toStdString());
    return found == current.criterionMax.end() ? 1.0f : found->second;
}

float MainWidget::strainAutoMin(int c) const {
    if (c >= 0 && c < 6)
        return current.display.strainPercentileMin[static_cast<std::size_t>(c)];
    const auto found = criterionAutoRange.find(strainCriterionName(c).toStdString());
    return found == criterionAutoRange.end() ? strainDataMin(c) : found->second.first;
}

float MainWidget::strainAutoMax(int c) const {
    if (c >= 0 && c < 6)
        return current.display.strainPercentileMax[static_cast<std::size_t>(c)];
    const auto found = criterionAutoRange.find(strainCriterionName(c).toStdString());
    return found == criterionAutoRange.end() ? strainDataMax(c) : found->second.second;
}

float MainWidget::strainDisplayMin(int c) const {
    if (c >= 0 && c < 6)
        return current.strainMin[static_cast<std::size_t>(c)];
    const auto found = current.display.criterionDisplayMin.find(strainCriterionName(c).toStdString());
    if (found != current.display.criterionDisplayMin.end())
        return found->second;
    const std::vector<float>& field = strainField(c);
    return field.empty() ? 0.0f : fieldMinMax(field).first;
}

float MainWidget::strainDisplayMax(int c) const {
    if (c >= 0 && c < 6)
        return current.strainMax[static_cast<std::size_t>(c)];
    const auto found = current.display.criterionDisplayMax.find(strainCriterionName(c).toStdString());
    if (found != current.display.criterionDisplayMax.end())
        return found->second;
    const std::vector<float>& field = strainField(c);
    return field.empty() ? 1.0f : fieldMinMax(field).second;
}

void MainWidget::setStrainDisplayRange(int c, float minValue, float maxValue) {
    if (c >= 0 && c < 6) {
        current.strainMin[static_cast<std::size_t>(c)] = minValue;
        current.strainMax[static_cast<std::size_t>(c)] = maxValue;
    } else if (const QString name = strainCriterionName(c); !name.isEmpty()) {
        current.display.criterionDisplayMin[name.toStdString()] = minValue;
        current.display.criterionDisplayMax[name.toStdString()] = maxValue;
    }
}

void MainWidget::setStrainRangeManual(int c, bool manual) {
    if (c >= 0 && c < 6)
        current.display.strainManual[static_cast<std::size_t>(c)] = manual;
    else if (const QString name = strainCriterionName(c); !name.isEmpty())
        current.display.criterionManual[name.toStdString()] = manual;
}

namespace {

// Writes a strain range into a record: the fixed arrays, or its criterion maps.
void storeStrainRange(ComputationResult& record, int c, const QString& name, float low, float high, bool manual) {
    if (c >= 0 && c < 6) {
        record.strainMin[static_cast<std::size_t>(c)] = low;
        record.strainMax[static_cast<std::size_t>(c)] = high;
        record.display.strainManual[static_cast<std::size_t>(c)] = manual;
    } else if (!name.isEmpty()) {
        record.display.criterionDisplayMin[name.toStdString()] = low;
        record.display.criterionDisplayMax[name.toStdString()] = high;
        record.display.criterionManual[name.toStdString()] = manual;
    }
}

}  // namespace

void MainWidget::onStrainHistogramRangeEdited(float minValue, float maxValue) {
    const int c = currentStrainComponentIndex();
    if (!(minValue < maxValue) || !current.hasStrain)
        return;
    setStrainDisplayRange(c, minValue, maxValue);
    setStrainRangeManual(c, true);
    setMinMaxLabel(strainRangeLabel, true, minValue, maxValue);
    refreshStrainImage(false);
    if (ComputationResult* record = currentRecord())
        storeStrainRange(*record, c, strainCriterionName(c), minValue, maxValue, true);
    saveRangeChange(strainHistogram);
}

void MainWidget::onStrainAutoScale() {
    const int c = currentStrainComponentIndex();
    if (!current.hasStrain)
        return;
    const auto [low, high] = automatic(strainAutoMin(c), strainAutoMax(c), strainDataMin(c), strainDataMax(c));
    setStrainDisplayRange(c, low, high);
    setStrainRangeManual(c, false);
    if (strainHistogram)
        strainHistogram->setRange(low, high);
    setMinMaxLabel(strainRangeLabel, true, low, high);
    refreshStrainImage(false);
    if (ComputationResult* record = currentRecord())
        storeStrainRange(*record, c, strainCriterionName(c), low, high, false);
    saveRangeChange();
}

void MainWidget::applyStrainRangeToAll() {
    const int c = currentStrainComponentIndex();
    if (!current.hasStrain || !strainHistogram || c < 0)
        return;
    const float low = strainHistogram->selectionMin(), high = strainHistogram->selectionMax();
    setStrainDisplayRange(c, low, high);
    setStrainRangeManual(c, true);
    setMinMaxLabel(strainRangeLabel, true, low, high);
    refreshStrainImage(false);
    const QString name = strainCriterionName(c);
    for (ComputationResult& record : results)
        if (record.hasStrain)
            storeStrainRange(record, c, name, low, high, true);
    setStatus(QStringLiteral("Range %1 applied to all strains.").arg(strainComponentLabel(c)));
    saveRangeChange();
}

void MainWidget::onStrainComponentChanged() {
    resetStrainHoverText();
    updateStrainRangeLabel();
    refreshStrainImage(false);
}

void MainWidget::updateStrainRangeLabel() {
    if (!strainHistogram)
        return;
    const int c = currentStrainComponentIndex();
    if (!current.hasStrain) {
        strainHistogram->clear();
        setMinMaxLabel(strainRangeLabel, false, 0.0f, 0.0f);
        return;
    }
    const bool enabled = !computationRunning;
    strainHistogram->setEnabled(enabled);
    for (QToolButton* button : {strainAutoButton, strainApplyAllButton, strainCropButton, strainResetButton})
        if (button)
            button->setEnabled(enabled);
    strainHistogram->setData(strainField(c), strainDataMin(c), strainDataMax(c));
    strainHistogram->setRange(strainDisplayMin(c), strainDisplayMax(c));
    strainHistogram->saveUnzoomedState();
    setMinMaxLabel(strainRangeLabel, !holdsNoValue(strainField(c)), strainDisplayMin(c), strainDisplayMax(c));
}

// Fracture -------------------------------------------------------------------

const std::vector<float>& MainWidget::fractureField(int id) const {
    const int map = id >= 0 && id < kFractureRangeCount ? id : 0;
    return current.fracture->fields[static_cast<std::size_t>(kFractureRangeFields[static_cast<std::size_t>(map)])];
}

// What the view shows for map `id`: the map read along the crack line when
// there is one, else the raw map.
const std::vector<float>& MainWidget::shownFractureField(int id) const {
    return preparedFractureId == id && !preparedFractureField.empty() ? preparedFractureField : fractureField(id);
}

void MainWidget::onFractureHistogramRangeEdited(float minValue, float maxValue) {
    const int f = currentComboData();
    if (!(minValue < maxValue) || !current.hasFracture || f < 0 || f >= kFractureRangeCount)
        return;
    const auto m = static_cast<std::size_t>(f);
    // The range set over a derived map is kept for the raw map too: a result
    // reopened from its files has no crack line and shows the raw map.
    if (DerivedRange* derived = shownDerivedRange(f)) {
        derived->low = minValue;
        derived->high = maxValue;
        derived->manual = true;
    }
    setFractureRange(current, m, minValue, maxValue, true);
    setMinMaxLabel(fractureRangeLabel, true, minValue, maxValue);
    refreshFractureImage(false);
    if (ComputationResult* record = currentRecord())
        setFractureRange(*record, m, minValue, maxValue, true);
    saveRangeChange(fractureHistogram);
}

void MainWidget::onFractureAutoScale() {
    const int f = currentComboData();
    if (!current.hasFracture || f < 0 || f >= kFractureRangeCount)
        return;
    const auto m = static_cast<std::size_t>(f);
    if (DerivedRange* derived = shownDerivedRange(f)) {
        derived->manual = false;
        derived->low = derived->autoLow;
        derived->high = derived->autoHigh;
    }
    const auto [low, high] = automatic(current.display.fracturePercentileMin[m], current.display.fracturePercentileMax[m],
                                       current.fractureAutoMin[m], current.fractureAutoMax[m]);
    setFractureRange(current, m, low, high, false);
    fractureAppliedToAll[m] = false;
    const auto [shownLow, shownHigh] = shownFractureRange(f);
    if (fractureHistogram)
        fractureHistogram->setRange(shownLow, shownHigh);
    setMinMaxLabel(fractureRangeLabel, true, shownLow, shownHigh);
    refreshFractureImage(false);
    if (ComputationResult* record = currentRecord())
        setFractureRange(*record, m, low, high, false);
    saveRangeChange();
}

void MainWidget::applyFractureRangeToAll() {
    const int f = currentComboData();
    if (!current.hasFracture || !fractureHistogram || f < 0 || f >= kFractureRangeCount)
        return;
    const auto m = static_cast<std::size_t>(f);
    const float low = fractureHistogram->selectionMin(), high = fractureHistogram->selectionMax();
    setFractureRange(current, m, low, high, true);
    fractureAppliedToAll[m] = true;
    setMinMaxLabel(fractureRangeLabel, true, low, high);
    refreshFractureImage(false);
    for (ComputationResult& record : results)
        if (record.hasFracture)
            setFractureRange(record, m, low, high, true);
    setStatus(QStringLiteral("Range %1 applied to all fractures.").arg(QString::fromUtf8(fractureFieldLabels[m])));
    saveRangeChange();
}

void MainWidget::onFractureParameterChanged(int) {
    if (!fractureParameterCombo || fractureParameterCombo->currentIndex() < 0)
        return;
    resetFractureHoverText();
    updateFractureRangeControls();
    refreshFractureImage(false);
}

void MainWidget::updateFractureRangeControls() {
    if (!fractureHistogram || !fractureRangeLabel)
        return;
    const bool has = current.hasFracture && !current.fracture->fields[FractureResult::OpeningX].empty();
    const bool enabled = has && !computationRunning;
    fractureHistogram->setEnabled(enabled);
    for (QToolButton* button : {fractureAutoButton, fractureApplyAllButton, fractureCropButton, fractureResetButton})
        if (button)
            button->setEnabled(enabled);
    if (fractureParameterCombo)
        fractureParameterCombo->setEnabled(has);
    updateFractureViewVisibility();
    if (!has) {
        fractureHistogram->clear();
        setMinMaxLabel(fractureRangeLabel, false, 0.0f, 0.0f);
        return;
    }
    const int map = currentComboData();
    const auto m = static_cast<std::size_t>(map);
    prepareDerivedFractureMap(map);
    const DerivedRange* derived = shownDerivedRange(map);
    const std::vector<float>& shown = derived ? preparedFractureField : fractureField(map);
    if (derived)
        fractureHistogram->setData(shown, derived->dataMin, derived->dataMax);
    else
        fractureHistogram->setData(shown, current.fractureAutoMin[m], current.fractureAutoMax[m]);
    const auto [low, high] = shownFractureRange(map);
    fractureHistogram->setRange(low, high);
    fractureHistogram->saveUnzoomedState();
    setMinMaxLabel(fractureRangeLabel, !holdsNoValue(shown), low, high);
}

void MainWidget::updateFractureViewVisibility() {
    if (fractureView)
        fractureView->setVisible(current.hasFracture);
    if (fractureMinJumpRow)
        fractureMinJumpRow->setVisible(fractureMode && current.hasFracture);
}

// Read-outs and line profiles --------------------------------------------------

std::optional<ImageViewWidget::InspectValue> MainWidget::displacementInspectValue(int component,
                                                                                  const QPoint& pixel) const {
    if (component < 0 || component > 1 || !shownDisplacements)
        return std::nullopt;
    return inspect(component == 0 ? QStringLiteral("Ux") : QStringLiteral("Uy"), displacementField(component),
                   shownDisplacements->gridWidth, shownDisplacements->gridHeight,
                   component == 0 ? uxImageScale : uyImageScale, resultPlacementOffset, pixel, false);
}

ImageViewWidget::LineProfile MainWidget::displacementLineProfile(int component, const QPointF& start,
                                                                 const QPointF& end) const {
    if (component < 0 || component > 1 || !shownDisplacements)
        return {};
    return profile(component == 0 ? QStringLiteral("Ux") : QStringLiteral("Uy"), displacementField(component),
                   shownDisplacements->gridWidth, shownDisplacements->gridHeight,
                   component == 0 ? uxImageScale : uyImageScale, resultPlacementOffset, start, end);
}

std::optional<ImageViewWidget::InspectValue> MainWidget::strainInspectValue(const QPoint& pixel) const {
    const int c = currentStrainComponentIndex();
    if (!current.hasStrain || c < 0)
        return std::nullopt;
    return inspect(strainComponentLabel(c), strainField(c), current.strains->gridWidth, current.strains->gridHeight,
                   strainImageScale, resultPlacementOffset, pixel, false);
}

ImageViewWidget::LineProfile MainWidget::strainLineProfile(const QPointF& start, const QPointF& end) const {
    const int c = currentStrainComponentIndex();
    if (!current.hasStrain || c < 0)
        return {};
    return profile(strainComponentLabel(c), strainField(c), current.strains->gridWidth, current.strains->gridHeight,
                   strainImageScale, resultPlacementOffset, start, end);
}

std::optional<ImageViewWidget::InspectValue> MainWidget::fractureInspectValue(const QPoint& pixel) const {
    const int f = currentComboData();
    if (!current.hasFracture || f < 0 || f >= kFractureRangeCount)
        return std::nullopt;
    return inspect(QString::fromUtf8(fractureFieldLabels[static_cast<std::size_t>(f)]), shownFractureField(f),
                   current.fracture->gridWidth, current.fracture->gridHeight, fractureImageScale, resultPlacementOffset,
                   pixel, true);
}

ImageViewWidget::LineProfile MainWidget::fractureLineProfile(const QPointF& start, const QPointF& end) const {
    const int f = currentComboData();
    if (!current.hasFracture || f < 0 || f >= kFractureRangeCount)
        return {};
    return profile(QString::fromUtf8(fractureFieldLabels[static_cast<std::size_t>(f)]), shownFractureField(f),
                   current.fracture->gridWidth, current.fracture->gridHeight, fractureImageScale,
                   resultPlacementOffset, start, end);
}

}  // namespace tavro::gui
