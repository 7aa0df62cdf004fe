// Showing results: the state sliders, loading a state's result from memory or
// from its files, the colour images of the result views, and the small
// use-ordered cache that bounds what stays in memory.
#include "gui/mainwindow/main_widget.h"

#include "compute/worker_conversions.h"
#include "gui/foundation/contrast_histogram_widget.h"
#include "gui/foundation/elided_label.h"
#include "images/field_rendering.h"
#include "images/image_io.h"
#include "gui/mainwindow/input_rules.h"
#include "gui/mainwindow/result_rendering.h"
#include "gui/mainwindow/run_async.h"
#include "gui/style/switch_widget.h"

#include <QCheckBox>
#include <QAbstractItemModel>
#include <QComboBox>
#include <QDir>
#include <QDebug>
#include <QFileInfo>
#include <QLabel>
#include <QPushButton>
#include <QScopedValueRollback>
#include <QSignalBlocker>
#include <QSlider>
#include <QTabWidget>
#include <QTimer>

#include <algorithm>
#include <cmath>

namespace tavro::gui {

namespace {

// Results that hold data and stay in memory; older ones are read again.
constexpr int kResultsKeptInMemory = 6;
const char* const kStrainNames[] = {"\u03b5xx", "\u03b5yy", "\u03b5xy", "\u03b5I", "\u03b5II", "Rotation \u03c9"};

struct DisplacementLoadOutcome {
    bool ok = false;
    int width = 0;
    int height = 0;
    std::vector<float> ux;
    std::vector<float> uy;
    QString error;
    // The file the error is about; empty when it is about the pair.
    QString failedFile;
};

struct StrainLoadOutcome {
    bool ok = false;
    int width = 0;
    int height = 0;
    std::array<std::vector<float>, 6> fields;  // εxx, εyy, εxy, εI, εII, rotation
    std::vector<std::pair<std::string, std::vector<float>>> criteria;
};

struct FractureLoadOutcome {
    bool ok = false;
    bool intensityLoaded = false;
    int width = 0;
    int height = 0;
    std::array<std::vector<float>, kFractureRangeCount> fields;
};

// One field of a state's results, brought back to its grid when it was
// written spread over the whole image; the first read of a group sets the
// size the others must have.
bool readField(const QString& path, const ResultGeometry& g, int& width, int& height, std::vector<float>& values,
               QString* error = nullptr) {
    std::uint32_t w = 0, h = 0;
    QString message;
    if (!readFloatTiff(path, w, h, values, message)) {
        if (error)
            *error = message;
        return false;
    }
    const bool spread = g.gridWidth > 0 && g.gridHeight > 0 && static_cast<int>(w) == g.imageWidth &&
                        static_cast<int>(h) == g.imageHeight &&
                        (g.gridWidth != g.imageWidth || g.gridHeight != g.imageHeight);
    if (spread) {
        values = sampleImageAtGrid(values, g.imageWidth, g.imageHeight, g.gridWidth, g.gridHeight, g.roi, g.stepX,
                                   g.stepY, g.windowSizeX, g.windowSizeY, g.marginY, g.marginX);
        w = static_cast<std::uint32_t>(g.gridWidth);
        h = static_cast<std::uint32_t>(g.gridHeight);
    }
    if (width == 0 && height == 0) {
        width = static_cast<int>(w);
        height = static_cast<int>(h);
        return width > 0 && height > 0;
    }
    return static_cast<int>(w) == width && static_cast<int>(h) == height;
}

DisplacementLoadOutcome loadDisplacementFields(const QString& uxPath, const QString& uyPath, const ResultGeometry& g) {
    DisplacementLoadOutcome out;
    int uyWidth = 0, uyHeight = 0;
    if (!readField(uxPath, g, out.width, out.height, out.ux, &out.error)) {
        out.failedFile = QFileInfo(uxPath).fileName();
        return out;
    }
    if (!readField(uyPath, g, uyWidth, uyHeight, out.uy, &out.error)) {
        out.failedFile = QFileInfo(uyPath).fileName();
        return out;
    }
    if (uyWidth != out.width || uyHeight != out.height) {
        out.error = QStringLiteral("ux/uy dimensions differ");
        return out;
    }
    out.ok = true;
    return out;
}

StrainLoadOutcome loadStrainFields(const QString& prefix,
                                   const std::vector<std::pair<std::string, QString>>& criterionFiles,
                                   const ResultGeometry& g) {
    StrainLoadOutcome out;
    const char* required[] = {"_exx.tif", "_eyy.tif", "_exy.tif", "_e1.tif", "_e2.tif"};
    for (std::size_t i = 0; i < 5; ++i)
        if (!readField(prefix + QString::fromLatin1(required[i]), g, out.width, out.height, out.fields[i]))
            return out;
    const QString rotation = prefix + QStringLiteral("_rotation.tif");
    if (QFileInfo::exists(rotation) && !readField(rotation, g, out.width, out.height, out.fields[5]))
        out.fields[5].clear();
    for (const auto& [name, path] : criterionFiles) {
        std::vector<float> values;
        if (QFileInfo::exists(path) && readField(path, g, out.width, out.height, values))
            out.criteria.emplace_back(name, std::move(values));
    }
    out.ok = true;
    return out;
}

FractureLoadOutcome loadFractureFields(const QString& prefix, const ResultGeometry& g) {
    FractureLoadOutcome out;
    const std::pair<const char*, int> required[] = {{"_cox.tif", 0}, {"_coy.tif", 1}, {"_alpha.tif", 3},
                                                    {"_beta.tif", 4}};
    for (const auto& [suffix, slot] : required)
        if (!readField(prefix + QString::fromLatin1(suffix), g, out.width, out.height,
                       out.fields[static_cast<std::size_t>(slot)]))
            return out;
    const QString intensity = prefix + QStringLiteral("_intensity.tif");
    out.intensityLoaded = QFileInfo::exists(intensity) && readField(intensity, g, out.width, out.height, out.fields[2]);
    if (!out.intensityLoaded)
        out.fields[2].clear();
    const std::pair<const char*, int> optional[] = {
        {"_crackpos.tif", 5}, {"_cristlong.tif", 6}, {"_cristtrans.tif", 7}, {"_cristangle.tif", 8}};
    for (const auto& [suffix, slot] : optional) {
        const QString path = prefix + QString::fromLatin1(suffix);
        std::vector<float>& field = out.fields[static_cast<std::size_t>(slot)];
        if (!QFileInfo::exists(path) || !readField(path, g, out.width, out.height, field))
            field.clear();
    }
    out.ok = true;
    return out;
}

// The range the user chose for a criterion of a state, when there is one: it
// outlives the state's release from memory and a reopening.
std::optional<std::pair<float, float>> manualCriterionRange(const ComputationResult& entry, const std::string& name) {
    const ResultDisplayState& d = entry.display;
    const auto manual = d.criterionManual.find(name);
    const auto low = d.criterionDisplayMin.find(name);
    const auto high = d.criterionDisplayMax.find(name);
    if (!entry.hasStrain || manual == d.criterionManual.end() || !manual->second || low == d.criterionDisplayMin.end() ||
        high == d.criterionDisplayMax.end())
        return std::nullopt;
    return std::pair{low->second, high->second};
}

// Data range and automatic display range of a field; zeros for an empty one.
void measureField(const std::vector<float>& field, float& dataMin, float& dataMax, float& autoMin, float& autoMax) {
    if (field.empty()) {
        dataMin = dataMax = autoMin = autoMax = 0.0f;
        return;
    }
    std::tie(dataMin, dataMax) = fieldMinMax(field);
    std::tie(autoMin, autoMax) = percentileRange(field, dataMin, dataMax);
}

// The crack folder of an older project, when the current one does not hold
// the state's first crack file; matched without regard to case.
QString fractureFolderFor(const QString& projectFolder, const QString& baseName) {
    const QDir root(projectFolder);
    const QString first = baseName + QStringLiteral("_cox.tif");
    for (const QString& name : {kFractureFolder, kLegacyFractureFolder}) {
        const QStringList matches = root.entryList({name}, QDir::Dirs | QDir::NoDotAndDotDot | QDir::CaseSensitive);
        const QStringList any =
            matches.isEmpty() ? root.entryList(QDir::Dirs | QDir::NoDotAndDotDot) : QStringList{matches.front()};
        for (const QString& entry : any)
            if (entry.compare(name, Qt::CaseInsensitive) == 0 && QFileInfo::exists(root.filePath(entry) + '/' + first))
                return root.filePath(entry);
    }
    return QString();
}

}  // namespace

int MainWidget::resultCount() const {
    if (batchGridActive())
        return static_cast<int>(batchNames.size());
    // While tiles are correlated one by one the state mosaics' results wait aside: none of them is a tile's.
    if (mosaicSwitch && mosaicSwitch->isChecked())
        return perTileMode ? 0 : deformedStates.resultCount();
    return static_cast<int>(deformedImages.size());
}

QString MainWidget::resultBaseName(int index) const {
    if (index < 0 || index >= resultCount())
        return QString();
    if (batchGridActive())
        return batchNames[index];
    if (mosaicSwitch && mosaicSwitch->isChecked())
        return deformedStates.resultBaseName(index);
    return QFileInfo(deformedImages[static_cast<std::size_t>(index)].path).completeBaseName();
}

QString MainWidget::resultStateText(int index) const {
    if (batchGridActive())
        return stateStepText(QStringLiteral("State"), selectedBatchState, batchResultIndex.stateCount, QString());
    return stateStepText(QStringLiteral("Step"), index, resultCount(), resultBaseName(index));
}

void MainWidget::updateResultSlider() {
    const bool grid = batchGridActive();
    const int maximum = grid ? batchResultIndex.stateCount - 1 : std::max(0, resultCount() - 1);
    const int index = std::clamp(grid ? selectedBatchState : shownResultIndex, 0, maximum);
    if (grid)
        selectedBatchState = index;
    else if (shownResultIndex >= 0)
        shownResultIndex = index;
    const bool enabled = grid ? batchResultIndex.stateCount >= 2 : resultCount() >= 2;
    const std::array<std::tuple<QSlider*, QPushButton*, QPushButton*>, 3> rows{
        std::tuple{displacementSlider, displacementPrevButton, displacementNextButton},
        std::tuple{strainSlider, strainPrevButton, strainNextButton},
        std::tuple{fractureSlider, fracturePrevButton, fractureNextButton}};
    for (const auto& [slider, prev, next] : rows) {
        if (slider) {
            const QSignalBlocker blocker(slider);
            slider->setMaximum(maximum);
            slider->setValue(index);
            slider->setEnabled(enabled);
        }
        if (prev)
            prev->setEnabled(index > 0);
        if (next)
            next->setEnabled(index < maximum);
    }
    if (!grid) {
        // Assembled mosaics have no tiles to step through: a tile caption left from Per-Tile DIC would name a
        // result that is not shown.
        if (!perTileMode)
            for (TileNavigator* navigator : {&displacementTileNavigator, &strainTileNavigator, &fractureTileNavigator})
                updateTileNavigator(*navigator, 0, 0, QString());
        return;
    }
    selectedBatchTile = std::clamp(selectedBatchTile, 0, batchResultIndex.tilesPerState - 1);
    const int entry = selectedBatchEntry();
    const QString name = entry >= 0 ? resultBaseName(entry) : QString();
    for (TileNavigator* navigator : {&displacementTileNavigator, &strainTileNavigator, &fractureTileNavigator})
        updateTileNavigator(*navigator, selectedBatchTile, batchResultIndex.tilesPerState, name);
}

void MainWidget::onResultSliderChanged(int value) {
    if (batchGridActive()) {
        if (value < 0 || value >= batchResultIndex.stateCount || value == selectedBatchState)
            return;
        selectedBatchState = value;
        applyBatchResultSelection(false);
        return;
    }
    if (value == shownResultIndex || value < 0 || value >= resultCount())
        return;
    shownResultIndex = value;
    loadAndDisplayResult(value, false);
    updateResultSlider();
}

void MainWidget::loadAndDisplayResult(int index, bool quiet) {
    if (resultLoading) {
        pendingResultIndex = index;
        return;
    }
    const BusyScope busy(quiet ? nullptr : this, false);
    {
        const QScopedValueRollback loading(resultLoading, true);
        loadAndDisplayResultImpl(index, quiet);
        int loaded = index;
        while (pendingResultIndex >= 0) {
            const int next = std::exchange(pendingResultIndex, -1);
            if (next == loaded)
                break;
            loadAndDisplayResultImpl(next, quiet);
            loaded = next;
        }
    }
    if (resultRangesChanged) {
        resultRangesChanged = false;
        saveParametersToProject();
    }
}

// The slider has already moved to `index`: its caption must not stand over
// the maps of the state shown before.
void MainWidget::showStepWithoutMaps(int index) {
    shownDisplacements = emptyPixelDisplacementResult();
    current.hasStrain = current.hasFracture = false;
    shownResultIndex = index;
    refreshResultViews(false);
    updateRigidShiftLabel(index);
}

void MainWidget::showStoredResult(const ComputationResult& entry) {
    current = entry;
    shownDisplacements = entry.displacements;
    displacementAppliedToAll = {};
    criterionAutoRange.clear();
    for (const auto& [name, low] : entry.criterionMin) {
        const auto high = entry.criterionMax.find(name);
        criterionAutoRange[name] = {low, high != entry.criterionMax.end() ? high->second : low};
    }
    if (!entry.hasStrain) {
        current.strainAutoMin = current.strainAutoMax = {};
        current.display.strainPercentileMin = current.display.strainPercentileMax = {};
    }
    if (!entry.hasFracture) {
        current.fractureAutoMin = current.fractureAutoMax = {};
        current.display.fracturePercentileMin = current.display.fracturePercentileMax = {};
    }
}

void MainWidget::loadAndDisplayResultImpl(int index, bool quiet) {
    const QString base = resultBaseName(index);
    if (index < 0 || index >= resultCount() || base.isEmpty()) {
        setStatus(QStringLiteral("Invalid result index."));
        return;
    }
    results.resize(static_cast<std::size_t>(resultCount()));
    // A copy: the reads below let events run, and a new run may clear the list meanwhile.
    const ComputationResult entry = results[static_cast<std::size_t>(index)];
    if (!entry.displacements->dispX.empty()) {
        showStoredResult(entry);
        shownResultGeometry = entry.geometry.isSet() ? entry.geometry : currentResultGeometry();
        shownResultIndex = index;
        refreshResultViews(false);
        rebuildStrainComponentCombo();
        updateRigidShiftLabel(index);
        touchResultCache(index);
        if (!quiet)
            setStatus(QStringLiteral("Result loaded from cache for %1").arg(base));
        return;
    }
    if (appliedProjectFolder.isEmpty()) {
        setStatus(QStringLiteral("No project folder defined."));
        return;
    }
    const QString uxPath = resultFilePath(appliedProjectFolder, kDisplacementsFolder, base, QStringLiteral("_ux"));
    if (!QFileInfo::exists(uxPath)) {
        showStepWithoutMaps(index);
        setStatus(QStringLiteral("En attente du calcul pour %1...").arg(base));
        return;
    }
    const QString uyPath = resultFilePath(appliedProjectFolder, kDisplacementsFolder, base, QStringLiteral("_uy"));
    // The geometry the result was computed with; the controls only for a
    // result that came without one.
    const ResultGeometry geometry = entry.geometry.isSet() ? entry.geometry : currentResultGeometry();
    loadCancelFlag->store(false);
    const std::optional<DisplacementLoadOutcome> displacement = runAsyncWithUI(
        [uxPath, uyPath, geometry] { return loadDisplacementFields(uxPath, uyPath, geometry); }, *loadCancelFlag,
                       statusLabel, quiet ? QString() : QStringLiteral("Loading result %1...").arg(base));
    if (!displacement) {
        showStepWithoutMaps(index);
        setStatus(QStringLiteral("Loading cancelled."));
        return;
    }
    if (!displacement->ok) {
        showStepWithoutMaps(index);
        const QString subject = displacement->failedFile.isEmpty() ? base : displacement->failedFile;
        setStatus(QStringLiteral("Unable to load %1: %2").arg(subject, displacement->error));
        return;
    }
    const bool storedRanges =
        entry.autoMinUx != 0.0f || entry.autoMaxUx != 0.0f || entry.autoMinUy != 0.0f || entry.autoMaxUy != 0.0f;
    ComputationResult loaded;
    loaded.rigid = entry.rigid;
    loaded.geometry = geometry;
    loaded.roi = entry.roi;
    loaded.display.name = base;
    loaded.display.rigidShiftUnknown = entry.display.rigidShiftUnknown;
    auto record = std::make_shared<PixelDisplacementResult>();
    record->gridWidth = displacement->width;
    record->gridHeight = displacement->height;
    record->dispX = displacement->ux;
    record->dispY = displacement->uy;
    loaded.displacements = record;
    if (storedRanges) {
        loaded.autoMinUx = entry.autoMinUx, loaded.autoMaxUx = entry.autoMaxUx;
        loaded.autoMinUy = entry.autoMinUy, loaded.autoMaxUy = entry.autoMaxUy;
        loaded.display.percentileMinUx = entry.display.percentileMinUx;
        loaded.display.percentileMaxUx = entry.display.percentileMaxUx;
        loaded.display.percentileMinUy = entry.display.percentileMinUy;
        loaded.display.percentileMaxUy = entry.display.percentileMaxUy;
    } else {
        measureField(record->dispX, loaded.autoMinUx, loaded.autoMaxUx, loaded.display.percentileMinUx,
                     loaded.display.percentileMaxUx);
        measureField(record->dispY, loaded.autoMinUy, loaded.autoMaxUy, loaded.display.percentileMinUy,
                     loaded.display.percentileMaxUy);
    }
    for (int c = 0; c < 2; ++c) {
        float& low = c == 0 ? loaded.minUx : loaded.minUy;
        float& high = c == 0 ? loaded.maxUx : loaded.maxUy;
        bool& manual = c == 0 ? loaded.display.manualUx : loaded.display.manualUy;
        if (displacementAppliedToAll[static_cast<std::size_t>(c)]) {
            low = c == 0 ? current.minUx : current.minUy;
            high = c == 0 ? current.maxUx : current.maxUy;
            manual = true;
        } else if (c == 0 ? entry.display.manualUx : entry.display.manualUy) {
            // A range the user chose for this state outlives its release from memory.
            low = c == 0 ? entry.minUx : entry.minUy;
            high = c == 0 ? entry.maxUx : entry.maxUy;
            manual = true;
        } else {
            low = c == 0 ? loaded.display.percentileMinUx : loaded.display.percentileMinUy;
            high = c == 0 ? loaded.display.percentileMaxUx : loaded.display.percentileMaxUy;
        }
    }
    loadStrainsInto(loaded, entry, base, quiet, storedRanges);
    loadFractureInto(loaded, entry, base, quiet, storedRanges);
    // The list changed under the reads (cleared, or a new result took the
    // place): what was read belongs to no entry any more.
    if (index >= static_cast<int>(results.size()) ||
        !results[static_cast<std::size_t>(index)].displacements->dispX.empty()) {
        qWarning().noquote() << "[GUI] Result list changed while loading" << base;
        return;
    }

    const std::array<bool, 2> locks = displacementAppliedToAll;
    showStoredResult(loaded);
    displacementAppliedToAll = locks;
    shownResultGeometry = loaded.geometry;
    shownResultIndex = index;
    clearDisplacementHoverTexts();
    resetStrainHoverText();
    resetFractureHoverText();
    QWidget* tab = mainTabs ? mainTabs->currentWidget() : nullptr;
    setDisplacementsTabVisible(true);
    setStrainsTabVisible(loaded.hasStrain || !record->dispX.empty());
    setFractureTabVisible(fractureMode && loaded.hasFracture);
    if (mainTabs)
        mainTabs->setCurrentWidget(tab && mainTabs->indexOf(tab) >= 0 ? tab : displacementsPage);
    rebuildStrainComponentCombo();
    refreshResultViews(false);
    if (strainComponentCombo)
        strainComponentCombo->setEnabled(loaded.hasStrain);
    results[static_cast<std::size_t>(index)] = std::move(loaded);
    updateRigidShiftLabel(index);
    touchResultCache(index);
    if (!storedRanges)
        resultRangesChanged = true;
    if (!quiet)
        setStatus(QStringLiteral("Result loaded: %1 (%2/%3)").arg(base).arg(index + 1).arg(resultCount()));
}

void MainWidget::loadStrainsInto(ComputationResult& loaded, const ComputationResult& entry, const QString& base,
                                 bool quiet, bool storedRanges) {
    const QString prefix = appliedProjectFolder + QLatin1Char('/') + kStrainsFolder + QLatin1Char('/') + base;
    if (!QFileInfo::exists(prefix + QStringLiteral("_exx.tif"))) {
        setFirstComboEntry(strainComponentCombo);
        return;
    }
    std::vector<std::pair<std::string, QString>> criterionFiles;
    for (const StrainCriterion& criterion : strainSettings.criteria)
        if (criterion.enabled)
            criterionFiles.emplace_back(criterion.name,
                                        prefix + QLatin1Char('_') +
                                            criterionSlug(QString::fromStdString(criterion.name)) +
                                            QStringLiteral(".tif"));
    loadCancelFlag->store(false);
    std::optional<StrainLoadOutcome> outcome =
        runAsyncWithUI([prefix, criterionFiles, g = loaded.geometry] { return loadStrainFields(prefix, criterionFiles, g); },
                       *loadCancelFlag,
                       statusLabel, quiet ? QString() : QStringLiteral("Loading strains %1...").arg(base));
    if (!outcome || !outcome->ok) {
        setFirstComboEntry(strainComponentCombo);
        return;
    }
    auto strains = std::make_shared<StrainResult>();
    strains->gridWidth = outcome->width;
    strains->gridHeight = outcome->height;
    std::vector<float>* fields[] = {&strains->epsXX, &strains->epsYY, &strains->epsXY,
                                    &strains->epsI,  &strains->epsII, &strains->rotation};
    for (std::size_t i = 0; i < 6; ++i)
        *fields[i] = std::move(outcome->fields[i]);
    const std::size_t points = strains->epsI.size();
    strains->epsVonMises.assign(points, std::nanf(""));
    strains->epsTresca.assign(points, std::nanf(""));
    for (std::size_t k = 0; k < points && k < strains->epsII.size(); ++k) {
        const float a = strains->epsI[k], b = strains->epsII[k];
        if (!std::isfinite(a) || !std::isfinite(b))
            continue;
        strains->epsVonMises[k] = std::sqrt(std::max(0.0f, (a * a + b * b - a * b) * 0.6666667f));
        // As the strain engine defines it: the maximum shear, half the difference.
        strains->epsTresca[k] = (a - b) * 0.5f;
    }
    loaded.criterionMin.clear();
    loaded.criterionMax.clear();
    loaded.display.criterionDisplayMin.clear();
    loaded.display.criterionDisplayMax.clear();
    loaded.display.criterionManual.clear();
    for (auto& [name, values] : outcome->criteria) {
        if (values.empty())
            continue;
        float low = 0, high = 0, autoLow = 0, autoHigh = 0;
        measureField(values, low, high, autoLow, autoHigh);
        loaded.criterionMin[name] = low;
        loaded.criterionMax[name] = high;
        const std::optional<std::pair<float, float>> chosen = manualCriterionRange(entry, name);
        loaded.display.criterionDisplayMin[name] = chosen ? chosen->first : autoLow;
        loaded.display.criterionDisplayMax[name] = chosen ? chosen->second : autoHigh;
        loaded.display.criterionManual[name] = chosen.has_value();
        strains->criteria[name] = std::move(values);
    }
    for (std::size_t c = 0; c < kStrainRangeCount; ++c) {
        if (storedRanges && entry.hasStrain) {
            loaded.strainAutoMin[c] = entry.strainAutoMin[c];
            loaded.strainAutoMax[c] = entry.strainAutoMax[c];
            loaded.display.strainPercentileMin[c] = entry.display.strainPercentileMin[c];
            loaded.display.strainPercentileMax[c] = entry.display.strainPercentileMax[c];
        } else {
            measureField(*fields[c], loaded.strainAutoMin[c], loaded.strainAutoMax[c],
                         loaded.display.strainPercentileMin[c], loaded.display.strainPercentileMax[c]);
        }
        // A range the user chose for this state outlives its release from memory.
        const bool manual = entry.hasStrain && entry.display.strainManual[c];
        loaded.strainMin[c] = manual ? entry.strainMin[c] : loaded.display.strainPercentileMin[c];
        loaded.strainMax[c] = manual ? entry.strainMax[c] : loaded.display.strainPercentileMax[c];
        loaded.display.strainManual[c] = manual;
    }
    loaded.strains = strains;
    loaded.hasStrain = true;
}

void MainWidget::loadFractureInto(ComputationResult& loaded, const ComputationResult& entry, const QString& base,
                                  bool quiet, bool storedRanges) {
    const QString folder = fractureFolderFor(appliedProjectFolder, base);
    if (folder.isEmpty()) {
        setFirstComboEntry(fractureParameterCombo);
        return;
    }
    const QString prefix = folder + QLatin1Char('/') + base;
    loadCancelFlag->store(false);
    std::optional<FractureLoadOutcome> outcome =
        runAsyncWithUI([prefix, g = loaded.geometry] { return loadFractureFields(prefix, g); }, *loadCancelFlag,
                       statusLabel,
                       quiet ? QString() : QStringLiteral("Loading fracture %1...").arg(base));
    if (!outcome || !outcome->ok) {
        setFirstComboEntry(fractureParameterCombo);
        return;
    }
    auto fracture = std::make_shared<FractureResult>();
    fracture->gridWidth = outcome->width;
    fracture->gridHeight = outcome->height;
    auto& fields = outcome->fields;
    if (!outcome->intensityLoaded) {
        fields[2].resize(fields[0].size());
        for (std::size_t k = 0; k < fields[0].size() && k < fields[1].size(); ++k)
            fields[2][k] = std::hypot(fields[0][k], fields[1][k]);
    }
    const bool slipStored = !fields[6].empty();
    for (std::size_t m = 0; m < kFractureRangeCount; ++m)
        fracture->fields[static_cast<std::size_t>(kFractureRangeFields[m])] = std::move(fields[m]);
    if (!slipStored)
        computeSlipDecomposition(*fracture);
    for (std::size_t m = 0; m < kFractureRangeCount; ++m) {
        const std::vector<float>& field = fracture->fields[static_cast<std::size_t>(kFractureRangeFields[m])];
        if (storedRanges && entry.hasFracture) {
            loaded.fractureAutoMin[m] = entry.fractureAutoMin[m];
            loaded.fractureAutoMax[m] = entry.fractureAutoMax[m];
            loaded.display.fracturePercentileMin[m] = entry.display.fracturePercentileMin[m];
            loaded.display.fracturePercentileMax[m] = entry.display.fracturePercentileMax[m];
        } else {
            measureField(field, loaded.fractureAutoMin[m], loaded.fractureAutoMax[m],
                         loaded.display.fracturePercentileMin[m], loaded.display.fracturePercentileMax[m]);
        }
        if (fractureAppliedToAll[m]) {
            loaded.fractureMin[m] = current.fractureMin[m];
            loaded.fractureMax[m] = current.fractureMax[m];
            loaded.display.fractureManual[m] = true;
        } else if (entry.hasFracture && entry.display.fractureManual[m]) {
            loaded.fractureMin[m] = entry.fractureMin[m];
            loaded.fractureMax[m] = entry.fractureMax[m];
            loaded.display.fractureManual[m] = true;
        } else {
            loaded.fractureMin[m] = loaded.display.fracturePercentileMin[m];
            loaded.fractureMax[m] = loaded.display.fracturePercentileMax[m];
            loaded.display.fractureManual[m] = false;
        }
    }
    loaded.fracture = fracture;
    loaded.hasFracture = true;
}

void MainWidget::touchResultCache(int index) {
    resultMemoryUse.removeAll(index);
    resultMemoryUse.append(index);
    int held = 0;
    for (qsizetype i = resultMemoryUse.size() - 1; i >= 0; --i) {
        const int at = resultMemoryUse[i];
        if (at < 0 || at >= static_cast<int>(results.size())) {
            resultMemoryUse.removeAt(i);
            continue;
        }
        ComputationResult& entry = results[static_cast<std::size_t>(at)];
        const bool holdsData = !entry.displacements->dispX.empty() || !entry.strains->epsXX.empty() ||
                               !entry.fracture->fields[FractureResult::OpeningX].empty();
        if (!holdsData || ++held <= kResultsKeptInMemory || at == index || appliedProjectFolder.isEmpty())
            continue;
        // Only what can be read back goes: every file of the entry must be on disk.
        const QString base = resultBaseName(at);
        const auto onDisk = [&](const QString& folder, const char* suffix) {
            return QFileInfo::exists(resultFilePath(appliedProjectFolder, folder, base, QString::fromLatin1(suffix)));
        };
        if (base.isEmpty() || !onDisk(kDisplacementsFolder, "_ux") || !onDisk(kDisplacementsFolder, "_uy") ||
            (entry.hasStrain && !onDisk(kStrainsFolder, "_exx")) ||
            (entry.hasFracture && fractureFolderFor(appliedProjectFolder, base).isEmpty()))
            continue;
        // The rigid shift and the ranges are no file's: they stay with the entry.
        entry.displacements = emptyPixelDisplacementResult();
        entry.strains = sharedEmptyStrainResult();
        entry.fracture = sharedEmptyFractureResult();
        entry.display.uxImage = entry.display.uyImage = entry.display.strainImage = QImage();
        entry.display.fractureImage = QImage();
        entry.display.strainImageComponent = entry.display.fractureImageMap = -1;
    }
}

bool MainWidget::loadDisplacementFromFiles(int index, PixelDisplacementResult& out) const {
    const QString base = resultBaseName(index);
    if (appliedProjectFolder.isEmpty() || base.isEmpty())
        return false;
    const DisplacementLoadOutcome loaded = loadDisplacementFields(
        resultFilePath(appliedProjectFolder, kDisplacementsFolder, base, QStringLiteral("_ux")),
        resultFilePath(appliedProjectFolder, kDisplacementsFolder, base, QStringLiteral("_uy")),
        index < static_cast<int>(results.size()) ? results[static_cast<std::size_t>(index)].geometry : ResultGeometry());
    if (!loaded.ok)
        return false;
    out.gridWidth = loaded.width;
    out.gridHeight = loaded.height;
    out.dispX = loaded.ux;
    out.dispY = loaded.uy;
    return true;
}

void MainWidget::computeDisplacementRanges(ComputationResult& entry) {
    const PixelDisplacementResult& d = *entry.displacements;
    if (d.dispX.empty() || d.dispY.empty())
        return;
    measureField(d.dispX, entry.autoMinUx, entry.autoMaxUx, entry.display.percentileMinUx,
                 entry.display.percentileMaxUx);
    measureField(d.dispY, entry.autoMinUy, entry.autoMaxUy, entry.display.percentileMinUy,
                 entry.display.percentileMaxUy);
    entry.minUx = entry.display.percentileMinUx, entry.maxUx = entry.display.percentileMaxUx;
    entry.minUy = entry.display.percentileMinUy, entry.maxUy = entry.display.percentileMaxUy;
    entry.display.manualUx = entry.display.manualUy = false;
}

std::optional<GridCanvas> MainWidget::resultCanvas(int gridWidth, int gridHeight) const {
    int width = 0, height = 0, offsetX = 0, offsetY = 0;
    if (!fullImageGridLayout(gridWidth, gridHeight, width, height, offsetX, offsetY))
        return std::nullopt;
    return GridCanvas{width, height, offsetX, offsetY};
}

void MainWidget::showResultImage(ImageViewWidget* view, const ResultImage& shown, double& scale, bool fit) {
    if (!view)
        return;
    const bool refit = fit || view->image().isNull() || view->image().size() != shown.image.size();
    scale = shown.scale;
    resultPlacementOffset = shown.offset;
    view->setImageWithPyramid(shown.image, refit);
}

void MainWidget::refreshDisplacementImages(bool fit) {
    if (!uxView || !uyView)
        return;
    if (!shownDisplacements || shownDisplacements->dispX.empty()) {
        uxView->setImage(QImage(), false);
        uyView->setImage(QImage(), false);
        clearDisplacementHoverTexts();
        return;
    }
    const PixelDisplacementResult& d = *shownDisplacements;
    showResultImage(uxView,
                    cachedResultImage(RenderSlot::Ux, d.dispX, d.gridWidth, d.gridHeight, current.minUx, current.maxUx),
                    uxImageScale, fit);
    showResultImage(uyView,
                    cachedResultImage(RenderSlot::Uy, d.dispY, d.gridWidth, d.gridHeight, current.minUy, current.maxUy),
                    uyImageScale, fit);
    if (fit)
        scheduleDeferredFit(true, false);
}

void MainWidget::refreshStrainImage(bool fit) {
    if (!strainView)
        return;
    const int component = currentStrainComponentIndex();
    const std::vector<float>& field = strainField(component);
    if (!current.hasStrain || field.empty()) {
        strainView->setImage(QImage(), false);
        resetStrainHoverText();
        return;
    }
    const StrainResult& s = *current.strains;
    showResultImage(strainView,
                    cachedResultImage(RenderSlot::Strain, field, s.gridWidth, s.gridHeight,
                                      strainDisplayMin(component), strainDisplayMax(component), component),
                    strainImageScale, fit);
    if (fit)
        scheduleDeferredFit(false, true);
}

void MainWidget::refreshFractureImage(bool fit) {
    if (!fractureView)
        return;
    const int map = currentComboData();
    const FractureResult& f = *current.fracture;
    const bool has = current.hasFracture && !f.fields[FractureResult::OpeningX].empty();
    const std::vector<float>& field = fractureField(map);
    if (!has || field.empty()) {
        renderedFractureField = -1;
        preparedFractureField.clear();
        preparedFractureId = -1;
        fractureView->setImage(QImage(), false);
        resetFractureHoverText();
        return;
    }
    // Where no line is found (every jump below "Min jump:"), the raw map is shown.
    const bool derived = prepareDerivedFractureMap(map);
    const std::vector<float>& shown = derived ? preparedFractureField : field;
    const auto [low, high] = shownFractureRange(map);
    // Angles wrap around: their colour table closes on itself.
    const int table = map == 3 || map == 4 || map == 8 ? kCyclicColorMap : kJetColorMap;
    showResultImage(fractureView,
                    renderResultField(shown, f.gridWidth, f.gridHeight, low, high, table,
                                      resultCanvas(f.gridWidth, f.gridHeight)),
                    fractureImageScale, fit);
    renderedFractureField = map;
}

void MainWidget::refreshResultViews(bool fit) {
    updateResultRangeControls();
    refreshDisplacementImages(fit);
    updateStrainRangeLabel();
    refreshStrainImage(fit);
    updateFractureRangeControls();
    refreshFractureImage(fit);
}

void MainWidget::scheduleDeferredFit(bool displacements, bool strain) {
    fitDisplacementViewsRequested = fitDisplacementViewsRequested || displacements;
    fitStrainViewRequested = fitStrainViewRequested || strain;
    if (deferredFitPending)
        return;
    deferredFitPending = true;
    // Once the tab is laid out, so the views know their size.
    QTimer::singleShot(0, this, [this] {
        deferredFitPending = false;
        if (std::exchange(fitDisplacementViewsRequested, false))
            for (ImageViewWidget* view : {uxView, uyView})
                if (view && !view->image().isNull())
                    view->fitToWindow();
        if (std::exchange(fitStrainViewRequested, false) && strainView && !strainView->image().isNull())
            strainView->fitToWindow();
    });
}

void MainWidget::rebuildStrainComponentCombo() {
    if (!strainComponentCombo)
        return;
    const int previousIndex = strainComponentCombo->currentIndex();
    const QString previousText = strainComponentCombo->currentText();
    const QSignalBlocker blocker(strainComponentCombo);
    strainComponentCombo->clear();
    for (const char* name : kStrainNames)
        strainComponentCombo->addItem(QString::fromUtf8(name));
    for (const StrainCriterion& criterion : strainSettings.criteria)
        if (criterion.enabled)
            strainComponentCombo->addItem(QString::fromStdString(criterion.name));
    const int same = strainComponentCombo->findText(previousText, Qt::MatchExactly | Qt::MatchCaseSensitive);
    strainComponentCombo->setCurrentIndex(
        same >= 0 ? same : (previousIndex >= 0 && previousIndex < strainComponentCombo->count() ? previousIndex : 0));
}

int MainWidget::currentComboData() const {
    if (!fractureParameterCombo)
        return 0;
    bool valid = false;
    const int data = fractureParameterCombo->currentData().toInt(&valid);
    return valid && data >= 0 ? data : 0;
}

void MainWidget::clearDisplacementHoverTexts() {
    for (ImageViewWidget* view : {uxView, uyView})
        if (view)
            view->clearMarkers();
    updateDisplacementHoverText(0, QString(), false);
    updateDisplacementHoverText(1, QString(), false);
}

void MainWidget::resetStrainHoverText() {
    if (strainView)
        strainView->clearMarkers();
    if (strainValueLabel)
        strainValueLabel->setText(QStringLiteral("%1 : \u2014")
                                      .arg(QString::fromUtf8(kStrainNames[std::clamp(currentStrainComponentIndex(), 0, 5)])));
}

void MainWidget::resetFractureHoverText() {
    if (fractureView)
        fractureView->clearMarkers();
    updateFractureHoverText(QString(), false);
}

void MainWidget::setStatus(const QString& text) {
    if (statusLabel)
        statusLabel->setText(text);
}

void MainWidget::setFirstComboEntry(QComboBox* combo) {
    if (!combo)
        return;
    // Group headings cannot be chosen: the first entry is the first that can.
    int first = 0;
    const QAbstractItemModel* model = combo->model();
    while (first < combo->count() && !(model->flags(model->index(first, 0)) & Qt::ItemIsSelectable))
        ++first;
    const QSignalBlocker blocker(combo);
    combo->setCurrentIndex(first < combo->count() ? first : 0);
}

void MainWidget::updateRigidShiftLabel(int index) {
    // A page without a field names no step: "Step 0 / 2" would name none that exists.
    const bool named = batchGridActive() ? index >= 0 : index >= 0 && index < resultCount();
    for (QLabel* caption : {displacementStepLabel, strainStepLabel, fractureStepLabel})
        if (caption)
            caption->setText(named ? resultStateText(index) : QStringLiteral("No result"));
    updateRigidShiftLine(index);
}

void MainWidget::updateRigidShiftLine(int index, bool stored) {
    if (!rigidShiftLabel)
        return;
    const bool exists = index >= 0 && index < static_cast<int>(results.size());
    const bool loaded = exists && !results[static_cast<std::size_t>(index)].displacements->dispX.empty();
    if (!loaded && !(stored && exists)) {
        rigidShiftLabel->clear();
        return;
    }
    // The registration's shift maps the reference onto the deformed image
    // backwards; the label tells how the deformed image moved, in the sense
    // of Ux and Uy, so that the maps plus the label give the displacement.
    // Where no point was measured, the two images had nothing in common and
    // the registration's peak says nothing either.
    const ComputationResult& shown = results[static_cast<std::size_t>(index)];
    if (shown.display.rigidShiftUnknown || (loaded && !holdsAValue(shown.displacements->dispX))) {
        rigidShiftLabel->setText(QStringLiteral("Rigid body shift: unknown"));
        return;
    }
    const RigidRegistrationResult& rigid = results[static_cast<std::size_t>(index)].rigid;
    rigidShiftLabel->setText(QStringLiteral("Rigid body shift: dx = %1 px, dy = %2 px")
                                 .arg(static_cast<long>(std::lround(-rigid.shiftX)))
                                 .arg(static_cast<long>(std::lround(-rigid.shiftY))));
}

}  // namespace tavro::gui
