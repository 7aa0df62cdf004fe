// The "3D Maps" page: out-of-plane maps read from the Height folder, cached
// per state or tile, colour-mapped and inspected.
#include "gui/mainwindow/main_widget.h"

#include "compute/worker_conversions.h"
#include "gui/foundation/contrast_histogram_widget.h"
#include "gui/foundation/elided_label.h"
#include "images/field_rendering.h"
#include "gui/mainwindow/input_rules.h"
#include "gui/mainwindow/result_rendering.h"
#include "gui/mainwindow/run_async.h"
#include "gui/mainwindow/stored_results.h"
#include "gui/project/result_files.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QFileInfo>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSlider>
#include <QTabWidget>
#include <QToolButton>

#include <algorithm>
#include <cmath>
#include <limits>

namespace tavro::gui {

namespace {

struct TiffLoadResult {
    bool success = false;
    std::vector<float> values;
    int32_t width = 0;
    int32_t height = 0;
    float minimum = std::numeric_limits<float>::max();
    float maximum = -std::numeric_limits<float>::max();
    QString error;
};

TiffLoadResult readHeightResult(const QString& path) {
    TiffLoadResult result;
    result.success = MainWidget::loadSingleHeightTiff(path, result.values, result.width, result.height, result.error);
    if (!result.success)
        return result;
    for (float value : result.values) {
        if (!std::isfinite(value))
            continue;
        result.minimum = std::min(result.minimum, value);
        result.maximum = std::max(result.maximum, value);
    }
    return result;
}

QString heightValueText(float value) { return QLocale().toString(static_cast<double>(value), 'g', 6); }

} // namespace

QString MainWidget::heightStateBaseName(int index) const {
    if (heightMosaicMode())
        return DeformedStates::heightBaseName(index);
    if (index >= 0 && index < static_cast<int>(deformedImages.size())) {
        const QString base = QFileInfo(deformedImages[static_cast<size_t>(index)].path).completeBaseName();
        // An image without a file name (an assembled mosaic) would give "Height/_uz.tif".
        if (!base.isEmpty())
            return base;
    }
    return QStringLiteral("state_%1").arg(index + 1, 3, 10, QLatin1Char('0'));
}

bool MainWidget::heightBatchActive() const {
    return perTileMode && heightMosaicMode() && !heightBatchNames.isEmpty();
}

bool MainWidget::heightBatchNavigation() const {
    return heightBatchActive() && heightBatchIndex.stateCount >= 1 && heightBatchIndex.tilesPerState >= 1;
}

int MainWidget::heightResultCount() const {
    if (heightBatchActive())
        return static_cast<int>(heightBatchNames.size());
    if (!heightMosaicMode())
        return deformedHeightStates.isEmpty() ? 0 : static_cast<int>(deformedHeightStates.front().size());
    return static_cast<int>(deformedHeightStates.size());
}

bool MainWidget::displacementGridIs(int width, int height) const {
    return shownDisplacements && shownDisplacements->gridWidth == width && shownDisplacements->gridHeight == height;
}

void MainWidget::clearHeightResults() {
    heightResultCache.clear();
    heightH0.clear();
    heightH1.clear();
    heightMapWidth = 0;
    heightMapHeight = 0;
    shownHeightWidth = 0;
    shownHeightHeight = 0;
    heightDisplayedField.clear();
    shownHeightGridWidth = 0;
    shownHeightGridHeight = 0;
    heightResultShown = false;
    heightBatchNames.clear();
    heightBatchIndex = {};
    currentHeightBatchState = 0;
    currentHeightTileIndex = 0;
}

void MainWidget::storeHeightRange(int index, const HeightCacheEntry& entry) {
    HeightRangeEntry range;
    range.index = index;
    range.minUz = entry.dataMin;
    range.maxUz = entry.dataMax;
    range.autoMin = entry.autoMin;
    range.autoMax = entry.autoMax;
    if (entry.userRange)
        range.manualUz = std::array<float, 2>{entry.displayMin, entry.displayMax};
    for (HeightRangeEntry& stored : heightResultRanges)
        if (stored.index == index) {
            stored = range;
            return;
        }
    heightResultRanges.push_back(range);
}

void MainWidget::showHeightEntry(int index, const HeightCacheEntry& entry) {
    shownHeightValues = entry.values;
    shownHeightWidth = entry.width;
    shownHeightHeight = entry.height;
    heightAutoMin = entry.autoMin;
    heightAutoMax = entry.autoMax;
    heightDisplayMin = entry.displayMin;
    heightDisplayMax = entry.displayMax;
    heightSizeDiffers = !displacementGridIs(entry.width, entry.height);
    heightResultShown = true;
    assembledHeightShown = false;
    previewedReferenceHeight.clear();
    shownHeightIndex = index;
    updateRigidShiftForShownPage();
}

int MainWidget::heightStateResultIndex(int state) const {
    if (!heightMosaicMode())
        return state;
    // A mosaic state's result is not at its position once results outlive their mosaics.
    return mosaicStateImageIndex.count(state) != 0 ? deformedStates.resultIndex(state) : -1;
}

// The shift line sits under every page: it follows the height state on the
// 3D Maps page and the displacement result everywhere else.
void MainWidget::updateRigidShiftForShownPage() {
    // Per-tile inputs are shown a pair at a time: the line tells that pair's shift, not the result page's.
    if (mainTabs && inputImagesPage && mainTabs->currentWidget() == inputImagesPage && shownInputTile() >= 0) {
        updateRigidShiftLine(shownInputPairResult(), true);
        return;
    }
    if (!mainTabs || !heightResultPage || mainTabs->currentWidget() != heightResultPage) {
        updateRigidShiftLabel(batchGridActive() ? selectedBatchEntry() : shownResultIndex);
        return;
    }
    if (!heightBatchNavigation())
        updateRigidShiftLine(heightResultShown ? heightStateResultIndex(shownHeightIndex) : -1);
}

void MainWidget::loadHeightResult(int value, bool quiet) {
    if (heightLoading) {
        pendingHeightIndex = value;
        return;
    }
    heightLoading = true;
    loadHeightResultAt(value, quiet);
    int last = value;
    while (pendingHeightIndex >= 0) {
        const int next = pendingHeightIndex;
        pendingHeightIndex = -1;
        if (next == last)
            break;
        loadHeightResultAt(next, quiet);
        last = next;
    }
    heightLoading = false;
}

void MainWidget::loadHeightResultAt(int value, bool quiet) {
    const int count = heightResultCount();
    if (value < 0 || value >= count)
        return;
    const size_t slot = static_cast<size_t>(value);
    // A state that cannot be shown leaves the slider on the map still drawn.
    const auto stayOnShown = [this, count] {
        if (shownHeightIndex >= 0 && shownHeightIndex < count && !heightBatchNavigation())
            setHeightSliderPosition(shownHeightIndex, count);
    };
    if (slot < heightResultCache.size() && heightResultCache[slot].valid) {
        showHeightEntry(value, heightResultCache[slot]);
    } else {
        if (appliedProjectFolder.isEmpty())
            return;
        const bool batchName = heightBatchActive() && value < heightBatchNames.size();
        const QString base = batchName ? heightBatchNames[value] : heightStateBaseName(value);
        const QString path = resultFilePath(appliedProjectFolder, kHeightFolder, base, QStringLiteral("_uz"));
        if (!QFileInfo::exists(path)) {
            setStatus(QStringLiteral("Result not available for state %1").arg(value + 1));
            stayOnShown();
            return;
        }
        loadCancelFlag->store(false);
        const std::optional<TiffLoadResult> loaded =
            runAsyncWithUI([path] { return readHeightResult(path); }, *loadCancelFlag, statusLabel,
                           quiet ? QString() : QStringLiteral("Loading height map %1...").arg(value + 1));
        if (!loaded) {
            stayOnShown();
            return;
        }
        if (!loaded->success) {
            setStatus(QStringLiteral("Loading error: %1").arg(loaded->error));
            stayOnShown();
            return;
        }
        HeightCacheEntry entry;
        entry.values = loaded->values;
        entry.width = loaded->width;
        entry.height = loaded->height;
        entry.dataMin = loaded->minimum;
        entry.dataMax = loaded->maximum;
        // The project file keeps each map's automatic range and, apart, a
        // range set by hand; the data range is the file's own.
        const auto stored = std::find_if(heightResultRanges.begin(), heightResultRanges.end(),
                                         [&](const HeightRangeEntry& range) { return range.index == value; });
        if (stored != heightResultRanges.end() && (stored->autoMin != 0.0f || stored->autoMax != 0.0f)) {
            entry.autoMin = entry.displayMin = stored->autoMin;
            entry.autoMax = entry.displayMax = stored->autoMax;
            if (stored->manualUz) {
                entry.displayMin = (*stored->manualUz)[0];
                entry.displayMax = (*stored->manualUz)[1];
                entry.userRange = true;
            }
            stored->minUz = entry.dataMin;
            stored->maxUz = entry.dataMax;
        } else {
            const auto [low, high] = percentileRange(entry.values, entry.dataMin, entry.dataMax);
            entry.autoMin = entry.displayMin = low;
            entry.autoMax = entry.displayMax = high;
        }
        entry.valid = true;
        entry.sizeDiffers = !displacementGridIs(entry.width, entry.height);
        if (heightResultCache.size() <= slot)
            heightResultCache.resize(slot + 1);
        heightResultCache[slot] = entry;
        showHeightEntry(value, entry);
    }
    updateHeightPreview(true, true);
    if (heightBatchNavigation()) {
        updateHeightNavBars();
        return;
    }
    if (heightPrevButton)
        heightPrevButton->setEnabled(value >= 1);
    if (heightNextButton)
        heightNextButton->setEnabled(value < count - 1);
    const bool batchName = heightBatchActive() && value < heightBatchNames.size();
    QString name;
    if (batchName)
        name = heightBatchNames[value];
    else if (heightMosaicMode())
        name = value < deformedHeightStates.size() && !deformedHeightStates[value].isEmpty()
                   ? QFileInfo(deformedHeightStates[value].front()).completeBaseName()
                   : QString();
    else if (!deformedHeightStates.isEmpty() && value < deformedHeightStates.front().size())
        name = singleHeightStateName(value, QFileInfo(deformedHeightStates.front()[value]).completeBaseName());
    if (heightStepLabel)
        heightStepLabel->setText(
            stateStepText(batchName ? QStringLiteral("Tile") : QStringLiteral("State"), value, count, name));
}

void MainWidget::restoreHeightResults(ProjectLoadReport& report) {
    if (appliedProjectFolder.isEmpty())
        return;
    if (perTileMode && heightMosaicMode()) {
        heightBatchNames.clear();
        for (const QStringList& state : mosaicDefTilePaths)
            for (const QString& tile : state)
                if (const QString base = QFileInfo(tile).completeBaseName();
                    readableHeightResult(appliedProjectFolder, base))
                    heightBatchNames << base;
        tileNameIndex(heightBatchIndex, heightBatchNames);
        currentHeightBatchState = 0;
        currentHeightTileIndex = 0;
        report.heightResults = static_cast<int>(heightBatchNames.size());
        if (heightBatchNames.isEmpty())
            return;
        if (heightBatchNavigation()) {
            applyBatchHeightSelection(true);
        } else {
            setHeightSliderPosition(0, report.heightResults);
            loadHeightResult(0, true);
        }
        update3DMapsTabEnabled();
        return;
    }
    const int count = heightResultCount();
    int last = -1;
    for (int i = 0; i < count; ++i)
        if (readableHeightResult(appliedProjectFolder, heightStateBaseName(i))) {
            ++report.heightResults;
            last = i;
        }
    if (last < 0)
        return;
    setHeightSliderPosition(last, count);
    loadHeightResult(last, true);
    outOfPlaneStale = false;
    update3DMapsTabEnabled();
    updateHeightTilesControls();
}

void MainWidget::updateHeightPreview(bool fitInView, bool updateHistogram) {
    const size_t expected = size_t(std::max(shownHeightWidth, 0)) * size_t(std::max(shownHeightHeight, 0));
    if (shownHeightValues.empty() || shownHeightValues.size() != expected)
        return;
    if (!std::isfinite(heightDisplayMin) || !std::isfinite(heightDisplayMax) || heightDisplayMin >= heightDisplayMax) {
        const auto [low, high] = finiteMinMax(shownHeightValues);
        if (std::isfinite(low) && std::isfinite(high) && high > low) {
            heightDisplayMin = low;
            heightDisplayMax = high;
        } else if (std::isfinite(low)) {
            // A level map: a narrow range around its one value says what it is, where [0, 1] would not.
            const float half = std::max(std::abs(low) * 1e-3f, 5e-4f);
            heightDisplayMin = low - half;
            heightDisplayMax = low + half;
        } else {
            heightDisplayMin = 0.0f;
            heightDisplayMax = 1.0f;
        }
    }
    const ResultGeometry& grid = shownResultGeometry;
    const bool gridFits = shownDisplacements && shownDisplacements->gridWidth >= 1 &&
                          shownDisplacements->gridHeight >= 1 && shownDisplacements->gridWidth <= shownHeightWidth &&
                          shownDisplacements->gridHeight <= shownHeightHeight && grid.stepX > 0 && grid.stepY > 0;
    const bool fullImage = heightSaveFullImageCheck && heightSaveFullImageCheck->isChecked();
    if (heightSizeDiffers && gridFits && !fullImage) {
        shownHeightGridWidth = shownDisplacements->gridWidth;
        shownHeightGridHeight = shownDisplacements->gridHeight;
        // A height map at another resolution than the images has the grid scaled onto it.
        const HeightGridPlacement placement =
            heightGridPlacement(grid, heightScale(shownHeightWidth, grid.imageWidth),
                                heightScale(shownHeightHeight, grid.imageHeight));
        heightDisplayedField = sampleHeightAtGrid(shownHeightValues, shownHeightWidth, shownHeightHeight,
                                                  shownHeightGridWidth, shownHeightGridHeight, placement);
    } else {
        heightDisplayedField = shownHeightValues;
        shownHeightGridWidth = shownHeightWidth;
        shownHeightGridHeight = shownHeightHeight;
    }
    // Drawn as every other result map, holes included.
    const ResultImage rendered = renderResultField(heightDisplayedField, shownHeightGridWidth, shownHeightGridHeight,
                                                   heightDisplayMin, heightDisplayMax, 0, std::nullopt);
    const QImage& image = rendered.image;
    // Image pixels per map cell, as every result view keeps it: read-out,
    // line profile and detail tiles all take this one value.
    heightPreviewScale = rendered.scale;
    if (heightView) {
        const bool fit = fitInView || heightView->image().isNull() || heightView->image().size() != image.size();
        heightView->setImageWithPyramid(image, fit);
    }
    if (heightHistogram) {
        heightHistogram->setEnabled(true);
        if (updateHistogram) {
            heightHistogram->setData(shownHeightValues, heightAutoMin, heightAutoMax);
            heightHistogram->setRange(heightDisplayMin, heightDisplayMax);
            heightHistogram->saveUnzoomedState();
        }
    }
    if (heightRangeLabel)
        heightRangeLabel->setText(QStringLiteral("Min : %1   Max : %2")
                                      .arg(double(heightDisplayMin), 0, 'f', 4)
                                      .arg(double(heightDisplayMax), 0, 'f', 4));
    for (QToolButton* button : {heightAutoButton, heightCropButton, heightResetButton, heightMarkersButton})
        if (button)
            button->setEnabled(true);
}

// A reference map is shown as soon as it is chosen, so that a wrong file is
// seen before a computation needs it. It stands outside the result cache:
// no range of it is stored, and it is drawn at its own resolution.
void MainWidget::showReferenceHeightPreview(const QString& path) {
    // A state's result keeps the view: its slider and "State k/N" caption name what is drawn.
    if (path.isEmpty() || path == previewedReferenceHeight || heightResultShown)
        return;
    loadCancelFlag->store(false);
    std::optional<HeightLoadResult> loaded = runHeightLoad(path, QString());
    const size_t cells = loaded ? size_t(std::max(loaded->width, 0)) * size_t(std::max(loaded->height, 0)) : 0;
    if (!loaded || !loaded->success || cells == 0 || loaded->heights.size() != cells) {
        // The computation reports an unreadable file; the view only stops showing another one.
        dropReferenceHeightPreview();
        return;
    }
    showHeightMapValues(std::move(loaded->heights), loaded->width, loaded->height);
    previewedReferenceHeight = path;
}

void MainWidget::showHeightMapValues(std::vector<float> values, int width, int height) {
    shownHeightValues = std::move(values);
    shownHeightWidth = width;
    shownHeightHeight = height;
    const auto [low, high] = finiteMinMax(shownHeightValues);
    const auto [autoLow, autoHigh] = percentileRange(shownHeightValues, low, high);
    heightAutoMin = heightDisplayMin = autoLow;
    heightAutoMax = heightDisplayMax = autoHigh;
    heightSizeDiffers = false;
    heightResultShown = false;
    assembledHeightShown = false;
    previewedReferenceHeight.clear();
    shownHeightIndex = -1;
    updateRigidShiftForShownPage();
    updateHeightPreview(true, true);
}

// The caption names the map drawn: no state's result caption may stay over it.
void MainWidget::showAssembledHeightMap() {
    const std::size_t cells = std::size_t(std::max(heightMapWidth, 0)) * std::size_t(std::max(heightMapHeight, 0));
    if (cells == 0 || heightH0.size() != cells)
        return;
    const QButtonGroup* tabs = heightMosaicMode() ? heightTabGroup : heightSegmentGroup;
    const bool reference = !tabs || tabs->checkedId() <= 0 || heightH1.size() != cells;
    showHeightMapValues(reference ? heightH0 : heightH1, heightMapWidth, heightMapHeight);
    assembledHeightShown = true;
    if (heightStepLabel)
        heightStepLabel->setText(reference ? QStringLiteral("Assembled h\u2080 \u2014 Reference")
                                           : QStringLiteral("Assembled h\u2081 \u2014 Deformed %1")
                                                 .arg(currentDeformedHeightState + 1));
}

void MainWidget::dropReferenceHeightPreview() {
    if (previewedReferenceHeight.isEmpty())
        return;
    forgetShownHeightMap();
}

HeightCacheEntry* MainWidget::shownHeightEntry() {
    if (shownHeightIndex < 0 || static_cast<size_t>(shownHeightIndex) >= heightResultCache.size())
        return nullptr;
    return &heightResultCache[static_cast<size_t>(shownHeightIndex)];
}

void MainWidget::setHeightDisplayRange(float minValue, float maxValue, bool userRange) {
    heightDisplayMin = minValue;
    heightDisplayMax = maxValue;
    if (HeightCacheEntry* entry = shownHeightEntry()) {
        entry->displayMin = minValue;
        entry->displayMax = maxValue;
        entry->userRange = userRange;
        storeHeightRange(shownHeightIndex, *entry);
    }
    updateHeightPreview(false, false);
    saveRangeChange(heightHistogram);
}

void MainWidget::onHeightAutoScale() {
    setHeightDisplayRange(heightAutoMin, heightAutoMax, false);
    if (heightHistogram)
        heightHistogram->setRange(heightDisplayMin, heightDisplayMax);
}

void MainWidget::onHeightHistogramRangeEdited(float minValue, float maxValue) {
    setHeightDisplayRange(minValue, maxValue, true);
}

void MainWidget::setHeightSliderPosition(int shown, int count) {
    if (heightSlider) {
        const QSignalBlocker blocker(heightSlider);
        heightSlider->setMaximum(count - 1);
        heightSlider->setValue(shown);
        heightSlider->setEnabled(count >= 2);
    }
    if (heightPrevButton)
        heightPrevButton->setEnabled(shown >= 1);
    if (heightNextButton)
        heightNextButton->setEnabled(shown < count - 1);
}

void MainWidget::onHeightSliderChanged(int value) {
    if (!heightBatchNavigation()) {
        loadHeightResult(value, true);
        return;
    }
    if (value >= 0 && value < heightBatchIndex.stateCount) {
        currentHeightBatchState = value;
        applyBatchHeightSelection(true);
    }
}

void MainWidget::onHeightTileSliderChanged(int value) {
    if (!heightBatchNavigation())
        return;
    if (value >= 0 && value < heightBatchIndex.tilesPerState && value != currentHeightTileIndex) {
        currentHeightTileIndex = value;
        applyBatchHeightSelection(true);
    }
}

void MainWidget::applyBatchHeightSelection(bool quiet) {
    const int S = heightBatchIndex.stateCount;
    const int T = heightBatchIndex.tilesPerState;
    currentHeightTileIndex = std::clamp(currentHeightTileIndex, 0, std::max(T - 1, 0));
    const int at = currentHeightBatchState * T + currentHeightTileIndex;
    const bool inRange = currentHeightBatchState >= 0 && currentHeightBatchState < S && currentHeightTileIndex < T &&
                         at < heightBatchIndex.table.size();
    if (inRange && heightBatchIndex.table[at] >= 0)
        loadHeightResult(heightBatchIndex.table[at], quiet);
    else
        setStatus(QStringLiteral("No height map for state %1, tile %2")
                      .arg(currentHeightBatchState + 1)
                      .arg(currentHeightTileIndex + 1));
    updateHeightNavBars();
}

void MainWidget::updateHeightNavBars() {
    if (!heightBatchNavigation()) {
        updateTileNavigator(heightTileNavigator, 0, 0, QString());
        return;
    }
    const int S = heightBatchIndex.stateCount;
    const int T = heightBatchIndex.tilesPerState;
    currentHeightBatchState = std::clamp(currentHeightBatchState, 0, std::max(S - 1, 0));
    setHeightSliderPosition(currentHeightBatchState, S);
    const int at = currentHeightBatchState * T + currentHeightTileIndex;
    QString name;
    if (at >= 0 && at < heightBatchIndex.table.size()) {
        const int index = heightBatchIndex.table[at];
        if (index >= 0 && index < heightBatchNames.size())
            name = heightBatchNames[index];
    }
    updateTileNavigator(heightTileNavigator, currentHeightTileIndex, T, name);
    if (heightStepLabel)
        heightStepLabel->setText(stateStepText(QStringLiteral("State"), currentHeightBatchState, S, QString()));
}

std::optional<ImageViewWidget::InspectValue> MainWidget::heightInspectValue(const QPoint& pixel) const {
    if (heightDisplayedField.empty() || shownHeightGridWidth < 1 || shownHeightGridHeight < 1)
        return std::nullopt;
    const std::optional<QPoint> cell =
        resultCellAt(pixel, heightPreviewScale, QPoint(), shownHeightGridWidth, shownHeightGridHeight);
    if (!cell)
        return std::nullopt;
    const int x = cell->x();
    const int y = cell->y();
    const float value = heightDisplayedField[size_t(y) * size_t(shownHeightGridWidth) + size_t(x)];
    if (!std::isfinite(value))
        return std::nullopt;
    const QString text = heightValueText(value);
    ImageViewWidget::InspectValue out;
    // Heights keep the unit of their files, which the program does not know.
    out.label = QStringLiteral("w(%1, %2) = %3").arg(x).arg(y).arg(text);
    out.status = QStringLiteral("w : %1  (x=%2, y=%3)").arg(text).arg(x).arg(y);
    return out;
}

ImageViewWidget::LineProfile MainWidget::heightLineProfile(const QPointF& start, const QPointF& end) const {
    ImageViewWidget::LineProfile out;
    if (!heightResultShown || heightDisplayedField.empty() || shownHeightGridWidth < 1 || shownHeightGridHeight < 1)
        return out;
    double length = 0.0;
    out.values = sampleLineProfile(heightDisplayedField, shownHeightGridWidth, shownHeightGridHeight,
                                   heightPreviewScale, QPoint(), start, end, length);
    if (out.values.empty())
        return out;
    out.length = length;
    out.label = QStringLiteral("w");
    out.valid = true;
    return out;
}

}  // namespace tavro::gui
