#pragma once
// The tile-stitching engine: one state's tile files in, one mosaic and the
// tiles' placement out.

#include <QImage>
#include <QList>
#include <QString>

#include <cstdint>
#include <functional>
#include <map>
#include <vector>

#include "stitching/stitching_records.h"

namespace tavro::stitching {

// How many positions of a `stitch` run kept their nominal grid place because
// no neighbour registered with them. Saved positions do not keep this: 0.
int tilesKeptAtNominalPlace(const QList<TilePosition>& positions);

class MosaicStitcher {
public:
    // Copy-assigned by the caller before each run.
    StitchingOptions options;

    // Reads, registers, places and blends the tiles. True with the mosaic and
    // the positions of the present tiles in `output`; false with output.error,
    // or on cancellation (then the error says so and the caller ignores it).
    // progress(done, total) counts the tiles registered.
    bool stitch(const std::vector<QString>& tilePaths, StitchOutput& output, const std::function<bool()>& cancel,
                const std::function<void(int done, int total)>& progress);

    // Composes loaded tiles (8- or 16-bit grey, already cropped) at saved
    // positions, the same way `stitch` composes its own.
    bool stitchFromPositions(const std::vector<QImage>& tiles, const QList<TilePosition>& positions, QImage& mosaic,
                             QString& error);

private:
    struct Run;
    bool chooseLayout(Run& run, StitchOutput& output);
    bool registerTiles(Run& run);
    bool placeTiles(Run& run);

    // Diagnostics sink (standard error when empty and tracing is on).
    std::function<void(const QString&)> trace_;
    // The scan order found for the first state of this object; later states,
    // taken with the same stage, follow it without searching again.
    int32_t detectedOrder_ = -1;
    int32_t runs_ = 0;
    // Low-resolution pair confidences of the layout search, by tile pair.
    std::map<int64_t, double> layoutScores_;
    // Bytes of tile images held by the last run.
    int64_t tileBytes_ = 0;
};

}  // namespace tavro::stitching
