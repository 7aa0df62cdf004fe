#pragma once
// The outcome of one background mosaic assembly, as the main window's future
// watcher delivers it, and the placement of one tile in a mosaic.

#include <QImage>
#include <QList>
#include <QRect>
#include <QString>

#include <array>
#include <cstdint>

namespace tavro::stitching {

struct TilePosition {
    int32_t row = 0;
    int32_t col = 0;
    int32_t tileIndex = 0;
    bool isPresent = false;
    float tx = 0.0f;  // top-left corner in the mosaic, pixels
    float ty = 0.0f;
    float rotation = 0.0f;
    // Filled and read by the stitching engine only; never saved.
    std::array<int32_t, 6> engineValues{};
    QRect bounds;
};

}  // namespace tavro::stitching

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
