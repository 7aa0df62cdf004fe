#include "gui/project/deformed_states.h"

#include "gui/project/result_files.h"
#include "platform/replaced_file.h"

#include <QDebug>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <algorithm>
#include <utility>

namespace tavro::gui {

int DeformedStates::count() const { return static_cast<int>(std::max(tiles.size(), heights.size())); }

void DeformedStates::matchCounts() {
    const int n = std::max(count(), 1);
    while (tiles.size() < n)
        tiles.append(QStringList());
    while (heights.size() < n)
        heights.append(QStringList());
}

int DeformedStates::addState() {
    matchCounts();
    tiles.append(QStringList());
    heights.append(QStringList());
    return static_cast<int>(tiles.size()) - 1;
}

int DeformedStates::keyAfterDelete(int key, int deleted) {
    if (key == deleted)
        return -1;
    return key > deleted ? key - 1 : key;
}

int DeformedStates::deleteState(int state) {
    if (state < 0 || state >= count())
        return -1;
    if (state < tiles.size())
        tiles.removeAt(state);
    if (state < heights.size())
        heights.removeAt(state);
    std::map<int, int> mosaics;
    for (const auto& [key, position] : mosaicOf)
        if (const int kept = keyAfterDelete(key, state); kept >= 0)
            mosaics[kept] = position;
    mosaicOf = std::move(mosaics);
    const int removed = forgetResult(state);
    for (int& key : resultStates)
        key = keyAfterDelete(key, state);
    return removed;
}

bool DeformedStates::moveHeights(int state, int first, int last, int destination) {
    if (state < 0 || state >= heights.size())
        return false;
    QStringList& list = heights[state];
    const int n = static_cast<int>(list.size());
    if (first < 0 || last < first || last >= n || destination < 0 || destination > n ||
        (destination >= first && destination <= last + 1))
        return false;
    if (destination > last)
        std::rotate(list.begin() + first, list.begin() + last + 1, list.begin() + destination);
    else
        std::rotate(list.begin() + destination, list.begin() + first, list.begin() + last + 1);
    return true;
}

int DeformedStates::resultIndex(int state) const {
    const auto found = std::find(resultStates.begin(), resultStates.end(), state);
    return found == resultStates.end() ? -1 : static_cast<int>(found - resultStates.begin());
}

int DeformedStates::forgetResult(int state) {
    const int removed = resultIndex(state);
    if (removed >= 0)
        resultStates.erase(resultStates.begin() + removed);
    return removed;
}

int DeformedStates::stateOfResult(int result) const {
    return result >= 0 && result < resultCount() ? resultStates[static_cast<std::size_t>(result)] : -1;
}

QString DeformedStates::resultBaseName(int result) const {
    const int state = stateOfResult(result);
    return state >= 0 ? mosaicBaseName(state) : QString();
}

std::vector<int> DeformedStates::adoptMosaicsAsResults() {
    std::vector<std::pair<int, int>> byPosition;
    for (const auto& [state, position] : mosaicOf)
        byPosition.emplace_back(position, state);
    std::sort(byPosition.begin(), byPosition.end());
    std::vector<int> states;
    std::vector<int> previous;
    for (const auto& [position, state] : byPosition) {
        states.push_back(state);
        previous.push_back(resultIndex(state));
    }
    resultStates = std::move(states);
    return previous;
}

void DeformedStates::adoptStoredResults(const std::function<bool(int)>& stored) {
    resultStates.clear();
    for (int state = 0; state < count(); ++state)
        if (mosaicOf.count(state) != 0 || stored(state))
            resultStates.push_back(state);
}

std::vector<int> DeformedStates::namesLeaving(const QStringList& names, const QStringList& deletedTiles) {
    QStringList gone;
    for (const QString& tile : deletedTiles)
        gone << QFileInfo(tile).completeBaseName();
    std::vector<int> leaving;
    for (int i = static_cast<int>(names.size()) - 1; i >= 0; --i)
        if (gone.contains(names[i]))
            leaving.push_back(i);
    return leaving;
}

QString DeformedStates::mosaicBaseName(int state) { return QStringLiteral("mosaic_state_%1").arg(state + 1); }

QString DeformedStates::heightBaseName(int state) {
    return QStringLiteral("state_%1").arg(state + 1, 3, 10, QLatin1Char('0'));
}

QStringList DeformedStates::stateResultFiles(int state, const QStringList& criterionSlugs) {
    return resultFilesOf(mosaicBaseName(state), criterionSlugs, ResultKinds::Correlation) +
           resultFilesOf(heightBaseName(state), criterionSlugs, ResultKinds::Height);
}

bool renumberStateResultFiles(const QString& projectFolder, int deleted, int stateCount,
                              const QStringList& criterionSlugs, const QStringList& keptFiles) {
    if (projectFolder.isEmpty() || deleted < 0)
        return true;
    bool ok = removeProjectFiles(projectFolder, DeformedStates::stateResultFiles(deleted, criterionSlugs), keptFiles);
    const QSet<QString> kept(keptFiles.begin(), keptFiles.end());
    const QDir folder(projectFolder);
    const std::string root = QFile::encodeName(projectFolder).toStdString();
    // Upwards, so each target's own files have moved on before it is written.
    for (int state = deleted + 1; state < stateCount; ++state) {
        const QStringList from = DeformedStates::stateResultFiles(state, criterionSlugs);
        const QStringList to = DeformedStates::stateResultFiles(state - 1, criterionSlugs);
        for (qsizetype i = 0; i < from.size(); ++i) {
            // A name that a kept input's results also write is that input's: neither taken nor overwritten.
            if (kept.contains(from[i]) || kept.contains(to[i]) || !folder.exists(from[i]))
                continue;
            std::string error;
            if (!platform::renameFileBeneath(root, QFile::encodeName(from[i]).toStdString(),
                                             QFile::encodeName(to[i]).toStdString(), error)) {
                qWarning().noquote() << "[Project]" << QString::fromStdString(error);
                ok = false;
            }
        }
    }
    return ok;
}

bool removeResultFilesOf(const QString& projectFolder, const QStringList& baseNames, const QStringList& keptNames,
                         const QStringList& criterionSlugs) {
    if (projectFolder.isEmpty() || baseNames.isEmpty())
        return true;
    QStringList gone;
    for (const QString& base : baseNames)
        gone << resultFilesOf(base, criterionSlugs);
    QStringList kept;
    for (const QString& base : keptNames)
        kept << resultFilesOf(base, criterionSlugs);
    return removeProjectFiles(projectFolder, gone, kept);
}

}  // namespace tavro::gui
