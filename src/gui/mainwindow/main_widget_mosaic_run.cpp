// "Compute displacements" in mosaic mode: the tiles are assembled into
// mosaics when they are not already, then the mosaics are correlated as
// single images are.
#include "gui/mainwindow/main_widget.h"

#include "gui/foundation/message_boxes.h"
#include "gui/mainwindow/run_async.h"

#include <QCoreApplication>
#include <QStringList>

namespace tavro::gui {

void MainWidget::startMosaicCorrelation() {
    if (mosaicRefTilePaths.isEmpty() || mosaicDefTilePaths.isEmpty()) {
        sayRefusal(QStringLiteral("Mosaic Mode"), QStringLiteral("Please load reference and deformed tiles."));
        return;
    }
    const int states = mosaicStatesWithTiles();
    if (states == 0) {
        sayRefusal(QStringLiteral("Mosaic Mode"), QStringLiteral("Please load deformed tiles for at least one state."));
        return;
    }
    if (refuseMismatchedTileCounts())
        return;

    // A state without tiles has no mosaic: the count is that of the states
    // that have tiles, or mosaics with an empty state would never be current.
    const bool assembled = !referenceImage.originalSize.isEmpty() &&
                           static_cast<int>(deformedImages.size()) == states &&
                           placedStateCount() == states && mosaicDeformedNames.size() == states;
    // Mosaics whose configuration is unknown (a project saved without it) are
    // not trusted: they are assembled again rather than correlated stale.
    const bool changed = assembled && (!assembledMosaicConfig || *assembledMosaicConfig != currentMosaicConfig());

    QStringList names;
    if (assembled && !changed) {
        names = mosaicDeformedNames;
    } else {
        for (int i = 0; i < mosaicDefTilePaths.size(); ++i)
            if (!mosaicDefTilePaths[i].isEmpty())
                names << QStringLiteral("mosaic_state_%1").arg(i + 1);
    }
    // Asked before anything is assembled, deleted only once the run can start.
    bool deleteOld = false;
    if (!namesFreeAndDeletionConfirmed(names, deleteOld))
        return;

    if (assembled && !changed) {
        const BusyScope busy(this, true);
        setStatus(QStringLiteral("Mosaics already aligned, starting correlation..."));
        QCoreApplication::processEvents();
        // The run stores result k for mosaic k: results restored without a mosaic give way.
        adoptMosaicResults();
        correlateLoadedImages(names, deleteOld);
        return;
    }
    if (changed)
        setStatus(QStringLiteral("Mosaic parameters changed, reassembling..."));
    else if (mosaicStateImageIndex.size() < static_cast<std::size_t>(states))
        setStatus(QStringLiteral("%1 state(s) declared, %2 mosaic(s) assembled \u2014 assembling the missing one(s)...")
                      .arg(mosaicDefTilePaths.size())
                      .arg(mosaicStateImageIndex.size()));
    QCoreApplication::processEvents();
    correlateAfterAssembly = deleteOld;
    beginMosaicAssembly();
}

}  // namespace tavro::gui
