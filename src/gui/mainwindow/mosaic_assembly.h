#pragma once
// The background half of "Align mosaic": the reference and every deformed
// state that has tiles go through the stitching engine on a pool thread. It
// touches only its own copies; what the window must see goes through the
// callbacks, which the window turns into queued calls.

#include <QRect>
#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>
#include <memory>

#include "images/loaded_image.h"
#include "gui/mainwindow/stitching_result.h"

namespace tavro::gui {

// Everything an assembly depends on: mosaics assembled from other values or
// other tiles are no longer current.
struct MosaicConfiguration {
    int rows = 0;
    int cols = 0;
    int overlapX = 0;
    int overlapY = 0;
    int scanOrder = 0;
    QRect crop;
    bool nonRigid = false;
    bool phaseCorrelation = true;
    bool allowMissingTiles = false;
    QString missingTilePositions;
    QStringList referenceTiles;
    // The deformed states in state order up to the last with tiles, empty ones between included.
    QList<QStringList> stateTiles;

    bool operator==(const MosaicConfiguration&) const = default;
};

struct MosaicAssemblyJob {
    MosaicConfiguration config;
    // Assembled on the way to a correlation: the stages speak of mosaics.
    bool forCorrelation = false;
    std::shared_ptr<std::atomic<bool>> cancel;
};

struct MosaicAssemblyCallbacks {
    // A stage: progress bar percentage and status text.
    std::function<void(int percent, const QString& text)> stage;
    // Engine progress within a stage: status text only.
    std::function<void(const QString& text)> status;
};

// Runs on the calling thread; the window calls it on the global pool.
StitchingResult assembleMosaics(const MosaicAssemblyJob& job, const MosaicAssemblyCallbacks& callbacks);

// Tiles that no neighbour registered with stay at their nominal grid place;
// an assembly that needed that is a warning, not a plain success.
struct PlacementWarning {
    QString status;   // to append to the status line; empty when every tile registered
    QString message;  // a warning box's text when every tile of a mosaic stayed; else empty
};

PlacementWarning placementWarning(const StitchingResult& result);

// "Snake", "Row by row", "Column by column", "Unknown" for anything else.
QString scanOrderName(int order);

// An assembled mosaic as the window holds it: no file yet, a preview when large.
LoadedImage loadedMosaic(QImage image);

// The file name of the k-th saved deformed mosaic (k from 1), at least three digits.
QString deformedMosaicFileName(int k);

}  // namespace tavro::gui
