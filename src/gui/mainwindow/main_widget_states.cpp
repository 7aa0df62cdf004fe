// Deformed states as one unit across the tile panel, the height panel and the
// results: the state table decides which data is state k's, these slots keep
// the state bars, the results and their files in step with it.
#include "gui/mainwindow/main_widget.h"

#include "gui/project/result_files.h"
#include "gui/style/switch_widget.h"

#include <QAbstractButton>
#include <QBoxLayout>
#include <QButtonGroup>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QPushButton>
#include <QSignalBlocker>

#include <algorithm>
#include <functional>

namespace tavro::gui {

namespace {

// One button "Deformed %1" with id %1 per state, in order.
void fitStateBar(QList<QPushButton*>& buttons, QButtonGroup* group, QBoxLayout* layout, int count,
                 const std::function<void(int)>& add) {
    while (buttons.size() > count) {
        QPushButton* button = buttons.takeLast();
        if (group)
            group->removeButton(button);
        if (layout)
            layout->removeWidget(button);
        // Gone from the bar at once, not when the event loop next deletes it.
        button->hide();
        button->deleteLater();
    }
    while (buttons.size() < count)
        add(static_cast<int>(buttons.size()) + 1);
    for (int i = 0; i < buttons.size(); ++i) {
        buttons[i]->setText(QStringLiteral("Deformed %1").arg(i + 1));
        if (group)
            group->setId(buttons[i], i + 1);
    }
}

void checkQuietly(const QList<QPushButton*>& buttons, int index) {
    if (index < 0 || index >= buttons.size())
        return;
    const QSignalBlocker blocker(buttons[index]);
    buttons[index]->setChecked(true);
}

// The bar's checked state follows the current state, unless its reference tab is the one checked.
void followCurrent(const QButtonGroup* group, const QList<QPushButton*>& buttons, int current) {
    const QAbstractButton* checked = group ? group->checkedButton() : nullptr;
    if (checked && !buttons.contains(checked))
        return;
    checkQuietly(buttons, current);
}

}  // namespace

void MainWidget::syncStateBars() {
    if (heightMosaicMode())
        deformedStates.matchCounts();
    fitStateBar(mosaicDefStateButtons, mosaicStateGroup, mosaicTabRowLayout,
                static_cast<int>(deformedStates.tiles.size()), [this](int n) { addMosaicStateButton(n); });
    if (heightTabGroup && heightTabRowLayout && heightTabScroll)
        fitStateBar(heightStateButtons, heightTabGroup, heightTabRowLayout,
                    static_cast<int>(deformedStates.heights.size()), [this](int n) { addHeightStateButton(n); });
    currentMosaicDefState = std::clamp(currentMosaicDefState, 0, std::max(0, int(deformedStates.tiles.size()) - 1));
    currentDeformedHeightState =
        std::clamp(currentDeformedHeightState, 0, std::max(0, int(deformedStates.heights.size()) - 1));
}

int MainWidget::appendDeformedState() {
    const int state = deformedStates.addState();
    syncStateBars();
    return state;
}

void MainWidget::removeDeformedState(int state) {
    const int before = deformedStates.count();
    // State numbers name the mosaics: once they shift, every assembly is stale.
    if (hasAssembledRefMosaic() || hasAssembledDefMosaic())
        clearAssembledMosaicState();
    // Per-tile results are the tiles', found by name: the state's mosaic result
    // mapping is another run's and must not pick what is erased.
    const bool perTileResults = perTileMode && !batchNames.isEmpty();
    std::vector<ComputationResult>& stateResults = perTileMode ? otherAssemblyResults : results;
    const QStringList deletedTiles = state < mosaicDefTilePaths.size() ? mosaicDefTilePaths[state] : QStringList();
    const int result = deformedStates.deleteState(state);
    if (!batchNames.isEmpty())
        forgetBatchResultsOfTiles(deletedTiles, perTileMode ? results : otherAssemblyResults);
    if (result >= 0 && result < static_cast<int>(stateResults.size()))
        stateResults.erase(stateResults.begin() + result);
    if (heightBatchActive())
        forgetHeightBatchResultsOfTiles(deletedTiles);
    else
        forgetHeightResultOfState(state);
    // The other assembly's map ranges are numbered by what just shifted: its maps take their automatic ranges.
    otherAssemblyHeightRanges.clear();
    waitForResultWrites();
    if (!renumberStateResultFiles(appliedProjectFolder, state, before, criterionSlugs(), heldInputResultFiles()))
        qWarning().noquote() << "[GUI] Result files of the deleted state could not all be renumbered";
    // The map still shown is read, named and placed by its new number, from the file renumbered above.
    if (!heightBatchActive())
        reshowHeightMapByItsNumber();
    // Each panel stays on the state it showed, or the one that took the deleted state's place.
    const auto follow = [state](int current) {
        const int kept = DeformedStates::keyAfterDelete(current, state);
        return kept < 0 ? state : kept;
    };
    currentMosaicDefState = follow(currentMosaicDefState);
    currentDeformedHeightState = follow(currentDeformedHeightState);
    syncStateBars();
    followCurrent(mosaicStateGroup, mosaicDefStateButtons, currentMosaicDefState);
    followCurrent(heightTabGroup, heightStateButtons, currentDeformedHeightState);
    if (perTileResults) {
        selectedBatchState = std::clamp(selectedBatchState > state ? selectedBatchState - 1 : selectedBatchState, 0,
                                        std::max(0, batchResultIndex.stateCount - 1));
        showBatchResultsLeft();
        return;
    }
    showResultsLeft(result);
}

void MainWidget::showBatchResultsLeft() {
    if (batchGridActive()) {
        applyBatchResultSelection(true);
        return;
    }
    // No tile result is left; the state mosaics' results, set aside, stay theirs.
    results.clear();
    resultMemoryUse.clear();
    forgetBatchNames();
    emptyResultPages();
    updateResultSlider();
    hideResultTabs();
}

void MainWidget::showResultsLeft(int erased) {
    if (mosaicSwitch == nullptr || !mosaicSwitch->isChecked() || perTileMode)
        return;
    // No result went, but the states were renumbered: the caption names the shown one anew.
    if (erased < 0) {
        if (shownResultIndex >= 0)
            updateRigidShiftLabel(shownResultIndex);
        return;
    }
    // The shown field may have been the erased one: show one that still is.
    shownDisplacements.reset();
    if (resultCount() == 0) {
        shownResultIndex = -1;
        updateResultSlider();
        return;
    }
    const int shown = std::clamp(shownResultIndex > erased ? shownResultIndex - 1 : shownResultIndex, 0,
                                 resultCount() - 1);
    shownResultIndex = -1;
    loadAndDisplayResult(shown, true);
    updateResultSlider();
}

// A state emptied of its tiles keeps no result of them: refilled, or reopened,
// it would pass the old tiles' field for the new ones'.
void MainWidget::forgetResultsOfEmptiedState(int state, const QStringList& tiles) {
    // Its out-of-plane maps were computed from those results.
    if (heightBatchActive()) {
        forgetHeightBatchResultsOfTiles(tiles);
    } else if (heightMosaicMode()) {
        forgetHeightResultsIn(state, state + 1);
        const QString map =
            resultFilePath(appliedProjectFolder, kHeightFolder, DeformedStates::heightBaseName(state), QStringLiteral("_uz"));
        if (!appliedProjectFolder.isEmpty() && QFileInfo::exists(map) && !QFile::remove(map))
            qWarning().noquote() << "[GUI] Stale height map could not be removed:" << map;
    }
    otherAssemblyHeightRanges.clear();
    // Tile results and state results are kept apart: those of the assembly not chosen wait aside.
    const bool perTileResults = perTileMode && !batchNames.isEmpty();
    std::vector<ComputationResult>& stateResults = perTileMode ? otherAssemblyResults : results;
    if (!batchNames.isEmpty())
        forgetBatchResultsOfTiles(tiles, perTileMode ? results : otherAssemblyResults);
    const int result = deformedStates.forgetResult(state);
    if (result >= 0 && result < static_cast<int>(stateResults.size()))
        stateResults.erase(stateResults.begin() + result);
    if (result >= 0) {
        waitForResultWrites();
        if (!removeProjectFiles(appliedProjectFolder,
                                resultFilesOf(DeformedStates::mosaicBaseName(state), criterionSlugs(),
                                              ResultKinds::Correlation),
                                heldInputResultFiles()))
            qWarning().noquote() << "[GUI] Result files of the emptied state could not all be removed";
    }
    if (perTileResults)
        showBatchResultsLeft();
    else
        showResultsLeft(result);
}

void MainWidget::adoptMosaicResults() {
    const std::vector<int> previous = deformedStates.adoptMosaicsAsResults();
    std::vector<ComputationResult> kept(previous.size());
    for (std::size_t i = 0; i < previous.size(); ++i)
        if (previous[i] >= 0 && previous[i] < static_cast<int>(results.size()))
            kept[i] = std::move(results[static_cast<std::size_t>(previous[i])]);
    const auto shown = std::find(previous.begin(), previous.end(), shownResultIndex);
    shownResultIndex = shownResultIndex >= 0 && shown != previous.end() ? int(shown - previous.begin()) : -1;
    results = std::move(kept);
    // New mosaics are new places on the slider: the shown result's caption counts them.
    if (shownResultIndex >= 0) {
        updateResultSlider();
        updateRigidShiftLabel(shownResultIndex);
    }
}

void MainWidget::forgetHeightResultOfState(int state) {
    if (state >= 0 && state < static_cast<int>(heightResultCache.size()))
        heightResultCache.erase(heightResultCache.begin() + state);
    std::vector<HeightRangeEntry> ranges;
    for (HeightRangeEntry entry : heightResultRanges) {
        entry.index = DeformedStates::keyAfterDelete(entry.index, state);
        if (entry.index >= 0)
            ranges.push_back(entry);
    }
    heightResultRanges = std::move(ranges);
    if (shownHeightIndex == state)
        forgetShownHeightMap();
    else if (shownHeightIndex > state)
        --shownHeightIndex;
}

void MainWidget::reshowHeightMapByItsNumber() {
    if (shownHeightIndex < 0)
        return;
    const int shown = shownHeightIndex;
    setHeightSliderPosition(shown, heightResultCount());
    loadHeightResult(shown, true);
    // A map that cannot be read under its new number is not left captioned by its old one.
    if (shownHeightIndex != shown || !heightResultShown)
        return;
    const size_t slot = static_cast<size_t>(shown);
    if (!(slot < heightResultCache.size() && heightResultCache[slot].valid))
        forgetShownHeightMap();
}

namespace {

// Index lists that name entries of an erased list follow the erasure.
int indexAfterErase(int index, const std::vector<int>& erasedDescending) {
    int shifted = index;
    for (int erased : erasedDescending) {
        if (index == erased)
            return -1;
        if (index > erased)
            --shifted;
    }
    return shifted;
}

}  // namespace

void MainWidget::forgetBatchResultsOfTiles(const QStringList& deletedTiles,
                                           std::vector<ComputationResult>& tileResults) {
    const std::vector<int> leaving = DeformedStates::namesLeaving(batchNames, deletedTiles);
    QStringList gone;
    for (int i : leaving) {
        gone << batchNames[i];
        batchNames.removeAt(i);
        if (i < static_cast<int>(tileResults.size()))
            tileResults.erase(tileResults.begin() + i);
    }
    if (&tileResults == &results) {
        QList<int> held;
        for (int index : resultMemoryUse)
            if (const int kept = indexAfterErase(index, leaving); kept >= 0)
                held << kept;
        resultMemoryUse = held;
        shownResultIndex = indexAfterErase(shownResultIndex, leaving);
    }
    tileNameIndex(batchResultIndex, batchNames);
    waitForResultWrites();
    QStringList kept = heldInputNames();
    for (const QString& name : gone)
        kept.removeAll(name);
    if (!removeResultFilesOf(appliedProjectFolder, gone, kept, criterionSlugs()))
        qWarning().noquote() << "[GUI] Result files of the deleted state's tiles could not all be removed";
}

void MainWidget::forgetHeightBatchResultsOfTiles(const QStringList& deletedTiles) {
    const std::vector<int> leaving =
        DeformedStates::namesLeaving(heightBatchNames, deletedTiles);
    for (int i : leaving) {
        heightBatchNames.removeAt(i);
        if (i < static_cast<int>(heightResultCache.size()))
            heightResultCache.erase(heightResultCache.begin() + i);
    }
    std::vector<HeightRangeEntry> ranges;
    for (HeightRangeEntry entry : heightResultRanges)
        if ((entry.index = indexAfterErase(entry.index, leaving)) >= 0)
            ranges.push_back(entry);
    heightResultRanges = std::move(ranges);
    tileNameIndex(heightBatchIndex, heightBatchNames);
    const int shown = indexAfterErase(shownHeightIndex, leaving);
    if (shown < 0) {
        forgetShownHeightMap();
        currentHeightBatchState = 0;
        currentHeightTileIndex = 0;
    } else {
        shownHeightIndex = shown;
    }
    if (heightBatchNavigation())
        applyBatchHeightSelection(true);
    else
        updateHeightNavBars();
}

void MainWidget::forgetSingleImageHeightMaps(int first, int end) {
    QStringList names;
    for (int i = std::max(first, 0); i < std::min(end, static_cast<int>(deformedImages.size())); ++i)
        names << heightStateBaseName(i);
    forgetHeightResultsIn(first, end);
    if (appliedProjectFolder.isEmpty())
        return;
    for (const QString& name : names) {
        const QString path = resultFilePath(appliedProjectFolder, kHeightFolder, name, QStringLiteral("_uz"));
        if (QFileInfo::exists(path) && !QFile::remove(path))
            qWarning().noquote() << "[GUI] Stale height map could not be removed:" << path;
    }
}

void MainWidget::forgetHeightResultsIn(int first, int end) {
    const auto stale = [first, end](int index) { return index >= first && index < end; };
    for (int i = std::max(first, 0); i < std::min(end, static_cast<int>(heightResultCache.size())); ++i)
        heightResultCache[static_cast<std::size_t>(i)] = HeightCacheEntry();
    std::erase_if(heightResultRanges, [&](const HeightRangeEntry& entry) { return stale(entry.index); });
    if (stale(shownHeightIndex))
        forgetShownHeightMap();
}

void MainWidget::onHeightClassicRowsMoved(int first, int last, int destination) {
    if (!deformedStates.moveHeights(0, first, last, destination))
        return;
    // The moved files now pair with other images: their maps, in memory and on disk, were another pairing's.
    forgetSingleImageHeightMaps(std::min(first, destination), std::max(last + 1, destination));
    heightInputsEdited(true);
}

}  // namespace tavro::gui
