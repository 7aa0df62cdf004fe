#pragma once
// Which data belongs to deformed state k: its tiles, its height inputs, its
// assembled mosaic and its correlation result. Every edit of the states goes
// through here, so the lists are added, deleted and numbered together and no
// list keeps an index of its own.

#include <QList>
#include <QString>
#include <QStringList>

#include <algorithm>
#include <functional>
#include <map>
#include <vector>

namespace tavro::gui {

class DeformedStates {
public:
    // Per state: intensity tiles (mosaic mode) and height inputs. In single-image
    // mode the height files of every image sit in state 0.
    QList<QStringList> tiles;
    QList<QStringList> heights{QStringList()};
    // State -> position of its assembled mosaic among the deformed images.
    std::map<int, int> mosaicOf;

    int count() const;
    // Pads the shorter of the two lists, so tile state k and height state k are one state.
    void matchCounts();
    // Appends an empty state to both lists and returns its index.
    int addState();
    // Removes the state from both lists and re-keys every later state down by
    // one; returns the result index the state had (-1 without one), for the
    // caller to drop.
    int deleteState(int state);
    // Moves rows [first, last] of a height state before `destination`, as a
    // list widget's drag does; false when nothing moved.
    bool moveHeights(int state, int first, int last, int destination);

    // Results of mosaic correlations: result r belongs to state resultState(r).
    int resultCount() const { return static_cast<int>(resultStates.size()); }
    int resultIndex(int state) const;
    int stateOfResult(int result) const;
    QString resultBaseName(int result) const;
    // The state's result, when it has one, leaves the list; returns its index, -1 without one.
    int forgetResult(int state);
    // The assembled mosaics become the keys of the results, in mosaic order;
    // returns for each new result index the old index of the same state's
    // result (-1 without one), for the caller to carry its results over.
    std::vector<int> adoptMosaicsAsResults();
    // A reopened project's results: every state that has an assembled mosaic
    // or a result on disk (`stored`), in state order, so that a result outlives
    // the assemblies a state deletion dropped.
    void adoptStoredResults(const std::function<bool(int)>& stored);

    static QString mosaicBaseName(int state);
    // The exact files a state's mosaic result and its height map write, relative to the project folder.
    static QStringList stateResultFiles(int state, const QStringList& criterionSlugs);
    // The base of a mosaic state's out-of-plane map ("state_001" for state 0).
    static QString heightBaseName(int state);
    // The key a state-indexed entry has once `deleted` is gone: -1 for the
    // deleted state itself.
    static int keyAfterDelete(int key, int deleted);

    // Positions in `names` (tile base names of per-tile results) of the tiles a
    // deleted state took away, in descending order. A name a kept state's tile
    // also has goes too: tiles named alike write one file, and whose field it
    // holds cannot be told.
    static std::vector<int> namesLeaving(const QStringList& names, const QStringList& deletedTiles);

    // A list kept with one entry per state. Files of earlier versions hold
    // entries for the states that had tiles only, in their order: those are
    // spread back over every state, the empty states getting empty entries.
    // Such a list holds no empty entry: one that does is by state already,
    // only shorter than the states added after it was written.
    template <class T>
    static QList<T> entriesByState(const QList<T>& stored, const QList<QStringList>& tiles) {
        int filled = 0;
        for (const QStringList& state : tiles)
            filled += state.isEmpty() ? 0 : 1;
        bool byState = stored.size() >= tiles.size() || stored.size() != filled;
        if constexpr (requires(const T& entry) { entry.isEmpty(); })
            byState = byState || std::any_of(stored.begin(), stored.end(), [](const T& e) { return e.isEmpty(); });
        if (byState)
            return stored;
        QList<T> spread;
        int next = 0;
        for (const QStringList& state : tiles)
            spread.append(state.isEmpty() ? T() : stored[next++]);
        return spread;
    }

private:
    std::vector<int> resultStates;
};

// Renames a project's result files so that they follow a deleted state: the
// files of `deleted` are removed, those of every later state (up to
// `stateCount`) take the number one lower. Files in `keptFiles` (relative to
// the project folder) are another input's and are left alone. False when a
// file could not be moved.
bool renumberStateResultFiles(const QString& projectFolder, int deleted, int stateCount,
                              const QStringList& criterionSlugs, const QStringList& keptFiles);

// Removes every result file that the given base names write, unless a kept
// base name writes the same file. False when a file could not be removed.
bool removeResultFilesOf(const QString& projectFolder, const QStringList& baseNames, const QStringList& keptNames,
                         const QStringList& criterionSlugs);

}  // namespace tavro::gui
