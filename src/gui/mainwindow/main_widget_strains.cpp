// Strain fields and criteria computed on request from the displacement
// results, one result after the other on the pool, then shown and written.
#include "gui/mainwindow/main_widget.h"

#include "gui/mainwindow/result_cache.h"

#include "compute/computation_types.h"
#include "compute/formula.h"
#include "compute/worker_conversions.h"
#include "core/gpu_discovery.h"
#include "core/strain.h"
#include "gui/foundation/elided_label.h"
#include "images/field_rendering.h"
#include "images/image_write.h"
#include "gui/foundation/message_boxes.h"
#include "gui/mainwindow/run_async.h"

#include <QComboBox>
#include <QDebug>
#include <QDir>
#include <QProgressBar>
#include <QScopeGuard>

#include <array>

namespace tavro::gui {

namespace {

struct StrainOutcome {
    bool success = false;
    StrainResult strains;
    std::string error;
    std::array<float, kStrainRangeCount> minValue{}, maxValue{}, autoLow{}, autoHigh{};
    std::map<std::string, float> criterionMin, criterionMax, criterionLow, criterionHigh;
};

struct StrainInputs {
    PixelDisplacementResult displacement;
    StrainSettings settings;
    int gpu = -1;
    bool useMask = false;
    QImage mask;
    QRect roi;
    ResultGeometry geometry;
};

std::array<const std::vector<float>*, kStrainRangeCount> strainFields(const StrainResult& s) {
    return {&s.epsXX, &s.epsYY, &s.epsXY, &s.epsI, &s.epsII, &s.rotation};
}

// Every enabled criterion, evaluated point by point; a value past the end of
// a shorter field reads as 0.
void evaluateCriteria(const std::vector<StrainCriterion>& criteria, StrainResult& strains) {
    strains.criteria.clear();
    const std::size_t n = strains.epsXX.size();
    const auto at = [](const std::vector<float>& field, std::size_t j) { return j < field.size() ? field[j] : 0.0f; };
    for (const StrainCriterion& criterion : criteria) {
        if (!criterion.enabled || criterion.expression.empty())
            continue;
        ParsedExpression parsed;
        std::string error;
        if (!parseExpression(parsed, criterion.expression, error) || !parsed.root)
            continue;
        std::vector<float> values(n);
        for (std::size_t j = 0; j < n; ++j) {
            const std::array<float, kFormulaVariableCount> variables{at(strains.epsXX, j), at(strains.epsYY, j),
                                                                     at(strains.epsXY, j), at(strains.epsI, j),
                                                                     at(strains.epsII, j), at(strains.rotation, j)};
            values[j] = parsed.root->evaluate(variables.data());
        }
        strains.criteria[criterion.name] = std::move(values);
    }
}

StrainOutcome computeStrainOutcome(const StrainInputs& in) {
    StrainOutcome out;
    if (in.gpu >= 0) {
        std::string ignored;
        selectCudaDevice(in.gpu, ignored);
    }
    const ResultGeometry& g = in.geometry;
    out.success =
        computeStrainCustomKernelGpu(in.displacement, std::max(g.stepX, 1), in.settings, out.strains, out.error, {},
                                     std::max(g.stepY, 1));
    if (!out.success)
        return out;
    evaluateCriteria(in.settings.criteria, out.strains);
    if (in.useMask) {
        const GridDescriptor grid =
            makeGridDescriptor(0, 0, g.stepX, g.stepY, g.windowSizeX, g.windowSizeY, g.marginY, g.marginX,
                               out.strains.gridWidth, out.strains.gridHeight);
        maskStrainResult(out.strains, in.mask, in.roi, grid);
    }
    const auto fields = strainFields(out.strains);
    for (std::size_t c = 0; c < kStrainRangeCount; ++c) {
        if (fields[c]->empty())
            continue;
        std::tie(out.minValue[c], out.maxValue[c]) = finiteMinMax(*fields[c]);
        std::tie(out.autoLow[c], out.autoHigh[c]) = percentileRange(*fields[c], out.minValue[c], out.maxValue[c]);
    }
    for (const auto& [name, field] : out.strains.criteria) {
        const auto [low, high] = finiteMinMax(field);
        const auto [autoLow, autoHigh] = percentileRange(field, low, high);
        out.criterionMin[name] = low, out.criterionMax[name] = high;
        out.criterionLow[name] = autoLow, out.criterionHigh[name] = autoHigh;
    }
    return out;
}

void storeOutcome(StrainOutcome& outcome, ComputationResult& entry) {
    entry.strains = std::make_shared<StrainResult>(std::move(outcome.strains));
    // The drawing of the former strains must not be shown for these.
    entry.display.strainImage = QImage();
    entry.display.strainImageComponent = -1;
    entry.hasStrain = true;
    entry.strainAutoMin = outcome.minValue;
    entry.strainAutoMax = outcome.maxValue;
    entry.display.strainPercentileMin = entry.strainMin = outcome.autoLow;
    entry.display.strainPercentileMax = entry.strainMax = outcome.autoHigh;
    entry.display.strainManual = {};
    entry.criterionMin = outcome.criterionMin;
    entry.criterionMax = outcome.criterionMax;
    entry.display.criterionDisplayMin = outcome.criterionLow;
    entry.display.criterionDisplayMax = outcome.criterionHigh;
    entry.display.criterionManual.clear();
    for (const auto& [name, low] : outcome.criterionLow)
        entry.display.criterionManual[name] = false;
}

}  // namespace

void MainWidget::onComputeStrainFields() {
    if (results.empty()) {
        showMessage(this, QStringLiteral("Computation not possible"),
                    QStringLiteral("No correlation result available.\nPlease run a correlation computation first."));
        return;
    }
    for (const StrainCriterion& criterion : strainSettings.criteria) {
        if (!criterion.enabled)
            continue;
        const QString name = QString::fromStdString(criterion.name);
        if (criterion.expression.empty()) {
            showMessage(this, QStringLiteral("Missing expression"),
                        QStringLiteral("Criterion \"%1\" has no defined expression.").arg(name));
            return;
        }
        ParsedExpression parsed;
        std::string error;
        if (!parseExpression(parsed, criterion.expression, error)) {
            showMessage(this, QStringLiteral("Invalid expression"),
                        QStringLiteral("Expression for criterion \"%1\" is invalid:\n%2")
                            .arg(name, QString::fromStdString(error)));
            return;
        }
    }
    waitForResultWrites();
    clearTiming();
    runTimer.start();
    setComputationRunning(true);
    if (static_cast<int>(results.size()) < resultCount())
        results.resize(static_cast<std::size_t>(resultCount()));
    const int count = static_cast<int>(results.size());
    int done = 0;
    bool cancelled = false;
    // Cleared once: a Stop between two results ends the computation too.
    loadCancelFlag->store(false);
    for (int i = 0; i < count; ++i) {
        ComputationResult& entry = results[static_cast<std::size_t>(i)];
        if (entry.displacements->dispX.empty()) {
            auto loaded = std::make_shared<PixelDisplacementResult>();
            if (loadDisplacementFromFiles(i, *loaded)) {
                entry.displacements = loaded;
                // A released entry keeps its ranges, the user's among them.
                if (!holdsDisplacementRanges(resultCacheEntry(i, entry)))
                    computeDisplacementRanges(entry);
            }
        }
        if (entry.displacements->dispX.empty()) {
            if (progressBar)
                progressBar->setValue((i + 1) * 100 / count);
            continue;
        }
        setStatus(QStringLiteral("Step 1/3: Computing gradients... (%1/%2)").arg(i + 1).arg(count));
        if (progressBar)
            progressBar->setValue(i * 100 / count);
        QCoreApplication::processEvents();
        if (loadCancelFlag->load()) {
            cancelled = true;
            break;
        }

        StrainInputs inputs;
        inputs.displacement = *entry.displacements;
        inputs.settings = strainSettings;
        // The grid the result was computed on, whatever the controls say now.
        inputs.geometry = entry.geometry.isSet() ? entry.geometry : currentResultGeometry();
        PixelSearchParams reach;
        reach.windowSizeX = inputs.geometry.windowSizeX;
        reach.windowSizeY = inputs.geometry.windowSizeY;
        reach.maxU = reach.searchUp = reach.searchDown = inputs.geometry.marginY;
        reach.maxV = reach.searchLeft = reach.searchRight = inputs.geometry.marginX;
        inputs.settings.supportLength = strainSupportLength(reach);
        inputs.gpu = gpuDeviceCombo ? gpuDeviceCombo->currentData().toInt() : -1;
        // The correlation drops a mask of another size than its images (a whole-image
        // mask over a tile): the strains of its result must not be masked by it either.
        const QSize computedOn = inputs.geometry.imageWidth > 0
                                     ? QSize(inputs.geometry.imageWidth, inputs.geometry.imageHeight)
                                     : referenceSize();
        inputs.useMask = maskActive && !maskImage.isNull() && maskImage.size() == computedOn;
        inputs.mask = maskImage;
        inputs.roi = entry.roi.isNull() ? inputs.geometry.roi : entry.roi;

        if (progressBar)
            progressBar->setRange(0, 0);
        std::optional<StrainOutcome> outcome =
            runAsyncWithUI([inputs = std::move(inputs)] { return computeStrainOutcome(inputs); }, *loadCancelFlag,
                           statusLabel, QStringLiteral("Computing strains... (%1/%2)").arg(i + 1).arg(count));
        if (progressBar)
            progressBar->setRange(0, 100);
        if (!outcome) {
            cancelled = loadCancelFlag->load();
            break;
        }
        if (!outcome->success) {
            qWarning().noquote() << "Erreur calcul d\u00e9formation index" << i << ":"
                                 << QString::fromStdString(outcome->error);
            if (progressBar)
                progressBar->setValue((i + 1) * 100 / count);
            continue;
        }
        storeOutcome(*outcome, results[static_cast<std::size_t>(i)]);
        ++done;
        if (progressBar)
            progressBar->setValue((i + 1) * 100 / count);
    }
    finishStrainComputation(done, count, cancelled);
}

void MainWidget::finishStrainComputation(int done, int count, bool cancelled) {
    if (progressBar)
        progressBar->setValue(100);
    const auto end = qScopeGuard([this] {
        setComputationRunning(false);
        updateComputeStrainsButton();
        saveParametersToProject();
    });
    if (done == 0) {
        if (cancelled) {
            setStatus(QStringLiteral("Strain computation cancelled."));
            return;
        }
        showMessage(this, QStringLiteral("Failure"), QStringLiteral("Strain computation failed for all results."));
        setStatus(QStringLiteral("Error during strain computation."));
        return;
    }
    strainSettingsChanged = false;
    if (shownResultIndex < 0 || shownResultIndex >= static_cast<int>(results.size()))
        shownResultIndex = 0;
    const ComputationResult& shown = results[static_cast<std::size_t>(shownResultIndex)];
    if (shown.hasStrain) {
        showStoredResult(shown);
        shownDisplacements = shown.displacements;
    }
    // The result put on the pages may be another than the one shown before, or the pages may have said "No result".
    updateResultSlider();
    updateRigidShiftLabel(shownResultIndex);
    setStrainsTabVisible(true);
    rebuildStrainComponentCombo();
    if (strainComponentCombo)
        strainComponentCombo->setEnabled(current.hasStrain);
    refreshStrainImage(true);
    updateStrainRangeLabel();
    const QString computed = QStringLiteral("Strains computed for %1/%2 result(s).").arg(done).arg(count);
    setStatus(withTotalTime(cancelled ? computed + QStringLiteral(" Cancelled before the others.") : computed));
    if (!appliedProjectFolder.isEmpty())
        exportStrainFiles();
}

void MainWidget::exportStrainFiles() {
    const QString folder = appliedProjectFolder + QLatin1Char('/') + kStrainsFolder;
    QDir().mkpath(folder);
    int total = 0;
    for (const ComputationResult& entry : results)
        if (entry.hasStrain && !entry.strains->epsXX.empty())
            total += kStrainRangeCount + static_cast<int>(entry.strains->criteria.size());
    if (progressBar) {
        progressBar->setRange(0, std::max(total, 1));
        progressBar->setValue(0);
    }
    setStatus(QStringLiteral("Exporting strain results..."));
    QCoreApplication::processEvents();
    const int count = static_cast<int>(results.size());
    int exported = 0;
    QStringList failures;
    const auto write = [&](const QString& path, const StrainResult& s, const std::vector<float>& field) {
        QString error;
        if (!writeFloatTiff(path, s.gridWidth, s.gridHeight, field, error, guiWriteProgress(), appliedProjectFolder))
            failures << QStringLiteral("%1: %2").arg(path, error);
        if (progressBar)
            progressBar->setValue(progressBar->value() + 1);
        QCoreApplication::processEvents();
    };
    for (int i = 0; i < count; ++i) {
        const ComputationResult& entry = results[static_cast<std::size_t>(i)];
        if (!entry.hasStrain || entry.strains->epsXX.empty())
            continue;
        setStatus(QStringLiteral("Exporting strains %1/%2...").arg(i + 1).arg(count));
        QCoreApplication::processEvents();
        QString base = resultBaseName(i);
        if (base.isEmpty())
            base = QStringLiteral("strain_%1").arg(i + 1, 4, 10, QLatin1Char('0'));
        const StrainResult& s = *entry.strains;
        const auto fields = strainFields(s);
        for (std::size_t c = 0; c < kStrainRangeCount; ++c)
            if (!fields[c]->empty())
                write(folder + QLatin1Char('/') + base + QString::fromLatin1(kStrainSuffixes[c]) +
                          QStringLiteral(".tif"),
                      s, *fields[c]);
        for (const auto& [name, field] : s.criteria)
            if (!field.empty())
                write(folder + QLatin1Char('/') + base + QLatin1Char('_') +
                          criterionSlug(QString::fromStdString(name)) + QStringLiteral(".tif"),
                      s, field);
        ++exported;
    }
    if (progressBar)
        progressBar->setValue(progressBar->maximum());
    if (!failures.isEmpty()) {
        // A result the user believes saved must not be missing silently.
        for (const QString& failure : failures)
            qWarning().noquote() << "[GUI] Strain file not written:" << failure;
        const QString text = QStringLiteral("%1 result file(s) could not be written: %2")
                                 .arg(failures.size())
                                 .arg(failures.front());
        setStatus(text);
        showMessage(this, QStringLiteral("Result files"), text);
        return;
    }
    setStatus(withTotalTime(QStringLiteral("Strains computed and exported (%1 set(s)) to %2").arg(exported).arg(folder)));
}

}  // namespace tavro::gui
