#pragma once
// The values that carry a mosaic between the window and the tile-stitching
// engine: the options of one run, the placement of one tile and the outcome of
// one stitch. Plain copyable records.

#include <QImage>
#include <QList>
#include <QRect>
#include <QString>

#include <array>
#include <cstdint>

namespace tavro::stitching {

// Scan orders: how the tile list fills the grid. The window offers the first
// three; the engine also recognises the column-wise snake.
enum ScanOrder : int32_t {
    kScanSnake = 0,
    kScanRowByRow = 1,
    kScanColumnByColumn = 2,
    kScanColumnSnake = 3,
};

struct StitchingOptions {
    int32_t gridRows = 1;
    int32_t gridCols = 1;
    int32_t overlapX = 10;  // percent of the tile width
    int32_t overlapY = 10;  // percent of the tile height
    int32_t scanOrder = kScanSnake;
    bool allowMissingTiles = false;
    QString missingTilePositions;  // scan-order positions, "1", "1; 3; 5", "1-5", "1-3; 7"; empty: found by the engine
    bool usePhaseCorrelation = true;

    // Pair registration: search beyond the nominal overlap (px), the largest
    // accepted deviation from the nominal offset (percent of the tile side along
    // the pair), the confidence under which a pair is ignored, and the residual
    // (px) above which a pair is dropped from the placement.
    int32_t searchMarginPx = 100;
    int32_t maxDeviationPercent = 75;
    float minPairConfidence = 0.3f;
    float maxPairResidualPx = 50.0f;

    // Place every tile at its nominal grid position without registration.
    bool nominalPositionsOnly = false;
    bool reservedFlag = false;

    // Global placement: robust re-weighting rounds, solver iterations and the
    // tolerance (px) that ends both.
    int32_t reservedValue = 0;
    int32_t robustIterations = 10;
    int32_t solverIterations = 50;
    float solverTolerancePx = 0.01f;

    bool subpixelPeaks = true;

    // Resolution levels: the decimation of each level and how many correlation
    // peaks are tried there. The first level serves the scan-order and
    // missing-tile searches, the last the registration.
    QList<int32_t> levelFactors{4, 2, 1};
    QList<float> reservedLevelValues{2.0f, 1.0f, 0.0f};
    QList<int32_t> levelPeaks{20, 30, 50};

    // Robust placement: on/off, the nominal-position prior as one part in
    // priorRatio of a confident pair, the probe distance (px) that tells a
    // distinct match from a smooth one, the least overlap (pixels) a candidate
    // must keep, the re-weighting scale (px) and the cut-off in scales.
    bool robustPlacement = true;
    int32_t priorRatio = 1000;
    float probeDistancePx = 10.0f;
    int32_t minOverlapPixels = 200;
    float robustScalePx = 2.5f;
    float robustCutoff = 3.5f;

    // Feathering in the overlaps; searching the scan order from the pair scores.
    bool featherBlend = true;
    bool detectScanOrder = false;

    int32_t cropX = 0;
    int32_t cropY = 0;
    int32_t cropWidth = 0;
    int32_t cropHeight = 0;

    bool refineNonRigid = false;
    // Non-rigid refinement: on top of the translations, a smooth correction per
    // tile fitted to local displacements measured in patches of the overlaps.
    bool refineAffine = true;                        // slopes as well as a shift per tile
    QList<int32_t> refinePatchSizesX{6, 7, 8, 9};  // log2 of the patch width; the first is used
    QList<int32_t> refinePatchSizesY{6, 7, 8, 9};
    int32_t refinePatchesPerOverlap = 12;
    double refineRegularisation = 1e-8;  // ridge on the slopes
    double refineMaxCorrectionPx = 8.0;
    int32_t reservedRefineValue = 0;
    bool refineRejectOutliers = true;
    bool reservedRefineFlag = false;
    double refineMinPatchStd = 10.0;  // grey levels on the 8-bit scale
    int32_t refineSearchPx = 2;
    double refineOutlierPx = 3.0;
    double refineMinZncc = 0.5;

    // Values that callers hand over unchanged and this engine does not read:
    // the record keeps them so that every caller's defaults survive a copy.
    std::array<int32_t, 5> reservedGroup{64, 32, 5, 2, 40};
    float reservedRatio = 0.5f;
    bool reservedSwitch = true;  // callers set it false before a run
    // Every pair's measurement on standard error.
    bool traceRegistration = false;
};

struct TilePosition {
    int32_t row = 0;
    int32_t col = 0;
    int32_t tileIndex = -1;  // index in the state's tile list
    bool isPresent = false;
    float tx = 0.0f;  // top-left corner in the mosaic, pixels
    float ty = 0.0f;
    float rotation = 0.0f;
    // Engine only, never saved: the pair confidence with the right and the lower
    // neighbour (per mille), the number of confident neighbours, the placed
    // corner (whole px) and 1 when the tile kept its nominal place.
    std::array<int32_t, 6> engineValues{};
    QRect bounds;
};

// A smooth displacement correction of one tile, sampled on a grid of control
// points in tile pixels: the tile's content at (x, y) belongs at
// (tx + x + dx, ty + y + dy) in the mosaic.
struct TileCorrection {
    QList<double> x;
    QList<double> y;
    QList<double> dx;
    QList<double> dy;
};

struct StitchOutput {
    QImage mosaic;
    QList<TilePosition> positions;
    QList<TileCorrection> tileCorrections;
    QString error;
    QString information;
    QString status;
    int32_t detectedScanOrder = -1;
    bool scanOrderAutoDetected = false;
};

}  // namespace tavro::stitching
