// Crack lines of the shown fracture result, the derived maps measured along
// them, and their "Save all" beside the raw maps.
#include "gui/mainwindow/main_widget.h"

#include "compute/crack_lines.h"
#include "compute/worker_conversions.h"
#include "gui/foundation/elided_label.h"
#include "images/field_rendering.h"
#include "images/image_write.h"
#include "gui/foundation/message_boxes.h"
#include "gui/mainwindow/run_async.h"

#include <QApplication>
#include <QCheckBox>
#include <QCursor>
#include <QDir>
#include <QFileInfo>
#include <QProgressBar>

namespace tavro::gui {

namespace {

bool hasCrackData(const ComputationResult& result) {
    return result.hasFracture && !result.fracture->fields[FractureResult::OpeningIntensity].empty();
}

}  // namespace

CrackLineParameters MainWidget::crackLineParameters() const {
    CrackLineParameters p;
    p.stepX = shownResultGeometry.stepX < 2 ? 1 : shownResultGeometry.stepX;
    p.windowSize = shownResultGeometry.windowSizeX < 1 ? 41 : shownResultGeometry.windowSizeX;
    p.minOpening = static_cast<float>(fractureOpeningMin);
    // Without the engine's crack position the ridge is found on a smoothed map.
    p.smoothingSigma = fractureMode && current.fracture->fields[FractureResult::CrackPosition].empty()
                           ? 4.0f / static_cast<float>(p.stepX)
                           : 0.0f;
    p.lowThreshold = 2.0f;
    p.minLinePoints = 8;
    p.highThreshold = 8.0f;
    p.maxCentreOffset = 0.5f;
    p.maxLinkAngle = 90.0f;
    p.maxJoinAngle = 40.0f;
    return p;
}

bool MainWidget::holdsCrackField() const {
    const FractureResult& f = *current.fracture;
    const std::size_t points = static_cast<std::size_t>(std::max(f.gridWidth, 0)) *
                               static_cast<std::size_t>(std::max(f.gridHeight, 0));
    return fractureMode && hasCrackData(current) && points > 0 && shownDisplacements &&
           shownDisplacements->dispX.size() == points && shownDisplacements->dispY.size() == points;
}

const CrackLineSet* MainWidget::crackLineCache() {
    if (!holdsCrackField())
        return nullptr;
    const FractureResult& f = *current.fracture;
    const std::size_t points = static_cast<std::size_t>(f.gridWidth) * static_cast<std::size_t>(f.gridHeight);
    if (!crackLinesOwner.expired() && crackLinesOwner.lock() == current.fracture)
        return crackLines.empty() ? nullptr : &crackLines;
    QApplication::setOverrideCursor(Qt::WaitCursor);
    CrackGridView grid;
    grid.gridWidth = f.gridWidth;
    grid.gridHeight = f.gridHeight;
    grid.dispX = shownDisplacements->dispX.data();
    grid.dispY = shownDisplacements->dispY.data();
    grid.openingIntensity = f.fields[FractureResult::OpeningIntensity].data();
    const std::vector<float>& angle = f.fields[FractureResult::CrackAngle];
    const std::vector<float>& position = f.fields[FractureResult::CrackPosition];
    grid.crackAngle = angle.size() == points ? angle.data() : nullptr;
    grid.crackPosition = position.size() == points ? position.data() : nullptr;
    const std::vector<float>& openingX = f.fields[FractureResult::OpeningX];
    const std::vector<float>& openingY = f.fields[FractureResult::OpeningY];
    if (openingX.size() == points && openingY.size() == points) {
        grid.openingX = openingX.data();
        grid.openingY = openingY.data();
    }
    // Every candidate is kept: "Min jump:" filters at display, so lowering it brings lines back.
    CrackLineParameters parameters = crackLineParameters();
    parameters.minOpening = 0.0f;
    crackLines = extractCrackLines(grid, parameters);
    crackLinesOwner = current.fracture;
    QApplication::restoreOverrideCursor();
    return crackLines.empty() ? nullptr : &crackLines;
}

void MainWidget::clearCrackLineCache() {
    crackLines = CrackLineSet();
    crackLinesOwner.reset();
    preparedFractureField.clear();
    preparedFractureId = -1;
    derivedRanges = {};
}

std::vector<float> MainWidget::derivedFractureMap(int id) {
    const CrackLineSet* lines = crackLineCache();
    if (!lines || id < 0 || id >= kFractureRangeCount)
        return {};
    const CrackLineParameters parameters = crackLineParameters();
    const CrackLineSet points = extractCrackLines(*lines, parameters);
    const std::vector<float>& field = fractureField(id);
    const int width = lines->gridWidth, height = lines->gridHeight;
    if (field.size() != static_cast<std::size_t>(width) * static_cast<std::size_t>(height))
        return {};
    std::vector<float> values(points.size());
    for (std::size_t k = 0; k < points.size(); ++k)
        values[k] = measureCrackLines(field, width, height, points, k);
    return makeNanField(points, values, width, height, static_cast<float>(fractureRidgeThickness), parameters);
}

void MainWidget::refreshDerivedFractureRanges() {
    const CrackLineSet* lines = crackLineCache();
    if (!lines)
        return;
    const CrackLineSet points = extractCrackLines(*lines, crackLineParameters());
    if (points.empty())
        return;
    const int width = lines->gridWidth, height = lines->gridHeight;
    for (int id = 0; id < kFractureRangeCount; ++id) {
        const std::vector<float>& field = fractureField(id);
        if (field.size() != static_cast<std::size_t>(width) * static_cast<std::size_t>(height))
            continue;
        std::vector<float> measured(points.size());
        for (std::size_t k = 0; k < points.size(); ++k)
            measured[k] = measureCrackLines(field, width, height, points, k);
        DerivedRange& range = derivedRanges[static_cast<std::size_t>(id)];
        std::tie(range.dataMin, range.dataMax) = finiteMinMax(measured);
        std::tie(range.autoLow, range.autoHigh) = percentileRange(measured, range.dataMin, range.dataMax);
        if (!range.manual) {
            range.low = range.autoLow;
            range.high = range.autoHigh;
        }
    }
}

// Along a crack line the map reads the field where the crack is, within the
// range of those readings: the raw map's range would spend its colours on
// values off the line.
bool MainWidget::prepareDerivedFractureMap(int map) {
    preparedFractureField = derivedFractureMap(map);
    if (!holdsAValue(preparedFractureField))
        preparedFractureField.clear();
    preparedFractureId = preparedFractureField.empty() ? -1 : map;
    if (preparedFractureId < 0)
        return false;
    refreshDerivedFractureRanges();
    return true;
}

MainWidget::DerivedRange* MainWidget::shownDerivedRange(int map) {
    if (map < 0 || map >= kFractureRangeCount || preparedFractureId != map)
        return nullptr;
    DerivedRange& range = derivedRanges[static_cast<std::size_t>(map)];
    return range.high > range.low ? &range : nullptr;
}

// A range set by hand is the result's, kept in the project: it holds for the
// derived map as for the raw one.
std::pair<float, float> MainWidget::shownFractureRange(int map) {
    const auto m = static_cast<std::size_t>(std::clamp(map, 0, kFractureRangeCount - 1));
    const DerivedRange* range = shownDerivedRange(map);
    if (range && !current.display.fractureManual[m])
        return {range->low, range->high};
    return {current.fractureMin[m], current.fractureMax[m]};
}

void MainWidget::onSaveAllDerivedFractureMaps() {
    const QString title = QStringLiteral("Save all");
    if (!fractureMode || !hasCrackData(current)) {
        showMessage(this, title, QStringLiteral("No fracture result available."));
        return;
    }
    if (appliedProjectFolder.isEmpty()) {
        showMessage(this, title,
                    QStringLiteral("No project folder is set.\n\nThe derived maps go into its Fracture subfolder, next "
                                   "to the raw ones."));
        return;
    }
    if (!crackLineCache()) {
        // Only a field that is there can tell that no crack crosses it.
        showMessage(this, title,
                    holdsCrackField() ? QStringLiteral("No crack line was detected for this result.\n\nNo crack crosses "
                                               "its field: there is no line to derive maps along.")
                              : QStringLiteral("No crack line was detected for this result.\n\nThe derived maps "
                                               "need the displacement field the line is built from; a fracture "
                                               "result reloaded from disk without it cannot produce one."));
        return;
    }
    QString error;
    if (!ensureFolder(appliedProjectFolder, kFractureFolder, error)) {
        showMessage(this, title, error);
        return;
    }
    const QString folder = appliedProjectFolder + QLatin1Char('/') + kFractureFolder;
    const QString base = resultBaseName(shownResultIndex);
    const bool fullImage = saveFullImageCheck && saveFullImageCheck->isChecked();
    const ResultGeometry& g = shownResultGeometry;
    const BusyScope busy(this, false);
    if (progressBar) {
        progressBar->setRange(0, kFractureRangeCount);
        progressBar->setValue(0);
    }
    QCoreApplication::processEvents();
    int saved = 0, replaced = 0;
    for (int id = 0; id < kFractureRangeCount; ++id) {
        setStatus(QStringLiteral("Saving derived map %1/%2...").arg(id + 1).arg(kFractureRangeCount));
        std::vector<float> values = derivedFractureMap(id);
        if (values.empty())
            continue;
        int width = crackLines.gridWidth, height = crackLines.gridHeight;
        if (fullImage && g.imageWidth > 0 && g.imageHeight > 0) {
            values = expandGridToImage(values, width, height, g.imageWidth, g.imageHeight, g.roi, g.stepX, g.stepY,
                                       g.windowSizeX, g.windowSizeY, g.marginY, g.marginX);
            width = g.imageWidth;
            height = g.imageHeight;
        }
        // Beside the raw map, never over it: the raw map is the measurement,
        // the derived one only its reading along the line.
        const QString path =
            folder + QLatin1Char('/') + base + QString::fromLatin1(kFractureSuffixes[static_cast<std::size_t>(id)]) +
            kDerivedSuffix + QStringLiteral(".tif");
        replaced += QFileInfo::exists(path) ? 1 : 0;
        if (!writeFloatTiff(path, width, height, values, error, guiWriteProgress(), appliedProjectFolder)) {
            showMessage(this, title, QStringLiteral("Error saving %1:\n%2").arg(path, error));
            return;
        }
        ++saved;
        if (progressBar)
            progressBar->setValue(id + 1);
    }
    if (replaced > 0)
        setStatus(QStringLiteral("Saved %1 derived maps to Fracture/ (%2 earlier derived map%3 replaced)")
                      .arg(saved)
                      .arg(replaced)
                      .arg(replaced == 1 ? QString() : QStringLiteral("s")));
    else
        setStatus(QStringLiteral("Saved %1 derived maps to Fracture/").arg(saved));
}

}  // namespace tavro::gui
