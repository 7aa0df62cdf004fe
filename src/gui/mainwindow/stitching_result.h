#pragma once
// The outcome of one background mosaic assembly, as the main window's future
// watcher delivers it.

#include <QImage>
#include <QList>
#include <QRect>
#include <QString>

#include <cstdint>

#include "stitching/stitching_records.h"

namespace tavro::gui {

struct StitchingResult {
    bool success = false;
    bool cancelled = false;
    QString errorMessage;
    QString refinementInfo;
    QString statusText;
    QImage referenceMosaic;
    QList<QImage> deformedMosaics;
    QList<quint64> stateIndices;  // deformed state of each entry of deformedMosaics
    QList<stitching::TilePosition> referencePositions;
    QList<stitching::TilePosition> deformedPositions;
    QList<QList<stitching::TilePosition>> statePositions;
    int32_t detectedScanOrder = -1;
    bool scanOrderAutoDetected = false;
};

}  // namespace tavro::gui
