#include "stitching/mosaic_stitcher.h"

#include <QStringList>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numeric>
#include <string>

#include "images/loaded_image.h"
#include "stitching/global_placement.h"
#include "stitching/mosaic_composition.h"
#include "stitching/nonrigid_refinement.h"
#include "stitching/pair_registration.h"
#include "stitching/tile_grid.h"

namespace tavro::stitching {

struct MosaicStitcher::Run {
    const std::function<bool()>* cancel = nullptr;
    const std::function<void(int, int)>* progress = nullptr;
    std::vector<QImage> tiles;
    int width = 0;
    int height = 0;
    double stepX = 0.0;  // nominal grid steps
    double stepY = 0.0;
    std::vector<int> userMissing;
    int autoMissing = 0;
    GridLayout layout;
    std::vector<int> cellOfTile;
    // The layout search works on decimated tiles.
    int lowFactor = 1;
    std::vector<std::vector<float>> lowTiles;
    int lowWidth = 0;
    int lowHeight = 0;
    StripCorrelator horizontal, vertical;
    std::vector<PairEdge> edges;
    std::vector<PairMeasure> measures;
    std::vector<bool> edgeHorizontal;
    std::vector<double> x, y, weights;
    std::string error;

    bool cancelled() const { return *cancel && (*cancel)(); }
};

namespace {

bool loadTile(const QString& path, const StitchingOptions& o, QImage& tile, QString& error) {
    gui::LoadedImage loaded;
    if (!gui::loadImage(path, loaded, error)) return false;
    tile = loaded.full;
    if (tile.format() != QImage::Format_Grayscale8 && tile.format() != QImage::Format_Grayscale16)
        tile = tile.convertToFormat(QImage::Format_Grayscale8);
    const QRect crop(o.cropX, o.cropY, o.cropWidth, o.cropHeight);
    if (crop.isValid() && !crop.isEmpty()) {
        const QRect kept = crop.intersected(tile.rect());
        if (!kept.isEmpty()) tile = tile.copy(kept);
    }
    if (tile.isNull()) {
        error = QStringLiteral("Not enough memory for the tile");
        return false;
    }
    return true;
}

// Box average over factor x factor blocks: the texture the layout search needs
// survives, at a sixteenth of the cost for the default factor.
std::vector<float> decimate(const QImage& image, int factor, int& outWidth, int& outHeight) {
    outWidth = image.width() / factor;
    outHeight = image.height() / factor;
    std::vector<float> out(size_t(outWidth) * size_t(outHeight), 0.0f);
    const GreyView view = GreyView::of(image);
    std::vector<float> row(size_t(image.width()));
    const float scale = 1.0f / float(factor * factor);
    for (int y = 0; y < outHeight * factor; ++y) {
        view.readRow(y, 0, image.width(), row.data());
        float* target = out.data() + size_t(y / factor) * size_t(outWidth);
        for (int x = 0; x < outWidth * factor; ++x) target[x / factor] += row[size_t(x)] * scale;
    }
    return out;
}

PairSettings pairSettings(const StitchingOptions& o, int factor, int peaks) {
    PairSettings s;
    s.peaks = std::max(1, peaks);
    s.searchMarginPx = std::max(2, o.searchMarginPx / factor);
    s.maxDeviationFraction = std::clamp(o.maxDeviationPercent, 1, 100) / 100.0;
    s.minOverlapPixels = std::max<int64_t>(16, o.minOverlapPixels / (int64_t(factor) * factor));
    s.probeDistancePx = std::max(3.0, double(o.probeDistancePx) / factor);
    s.subpixel = o.subpixelPeaks && factor == 1;
    return s;
}

QString cellName(int index, int row, int col) {
    return QStringLiteral("%1 (row %2, column %3)").arg(index).arg(row + 1).arg(col + 1);
}

}  // namespace

int tilesKeptAtNominalPlace(const QList<TilePosition>& positions) {
    return int(std::count_if(positions.begin(), positions.end(),
                             [](const TilePosition& p) { return p.isPresent && p.engineValues[5] == 1; }));
}

bool MosaicStitcher::stitch(const std::vector<QString>& tilePaths, StitchOutput& output,
                            const std::function<bool()>& cancel, const std::function<void(int, int)>& progress) {
    output = StitchOutput{};
    ++runs_;
    layoutScores_.clear();
    Run run;
    run.cancel = &cancel;
    run.progress = &progress;
    const StitchingOptions& o = options;
    const int tileCount = int(tilePaths.size());
    if (!validateOptions(o, tileCount, run.userMissing, run.autoMissing, output.error)) return false;
    // A failed run hands back no half-made placement.
    auto cancelledRun = [&] {
        output.error = QStringLiteral("Stitching cancelled");
        output.positions.clear();
        output.tileCorrections.clear();
        return false;
    };

    tileBytes_ = 0;
    for (int i = 0; i < tileCount; ++i) {
        if (run.cancelled()) return cancelledRun();
        QImage tile;
        QString error;
        if (!loadTile(tilePaths[size_t(i)], o, tile, error)) {
            output.error = QStringLiteral("Tile %1 (%2): %3").arg(i + 1).arg(tilePaths[size_t(i)], error);
            return false;
        }
        if (i > 0 && (tile.size() != run.tiles.front().size() || tile.format() != run.tiles.front().format())) {
            output.error = QStringLiteral("Tile %1 (%2) is %3 x %4 pixels of %5 bits; the first tile is %6 x %7 of %8")
                               .arg(i + 1)
                               .arg(tilePaths[size_t(i)])
                               .arg(tile.width())
                               .arg(tile.height())
                               .arg(tile.depth())
                               .arg(run.tiles.front().width())
                               .arg(run.tiles.front().height())
                               .arg(run.tiles.front().depth());
            return false;
        }
        tileBytes_ += tile.sizeInBytes();
        run.tiles.push_back(std::move(tile));
    }
    run.width = run.tiles.front().width();
    run.height = run.tiles.front().height();
    run.stepX = run.width - (int64_t(run.width) * o.overlapX) / 100;
    run.stepY = run.height - (int64_t(run.height) * o.overlapY) / 100;

    const bool registering = o.usePhaseCorrelation && !o.nominalPositionsOnly;
    if (!chooseLayout(run, output)) return output.error.isEmpty() ? cancelledRun() : false;
    if (registering && !registerTiles(run)) {
        if (run.error.empty()) return cancelledRun();
        output.error = QStringLiteral("Tile registration failed: %1").arg(QString::fromStdString(run.error));
        return false;
    }
    if (!placeTiles(run)) return cancelledRun();

    // The solve fixes the positions up to a common shift of its own choosing,
    // which can differ by any fraction from one state's scan to another's. The
    // first tile is taken back to its nominal place, so that scans of one
    // stage grid agree to a few hundredths of a pixel in every state. The
    // whole-pixel shift that follows brings the smallest position into
    // [-0.5, 0.5) (the composition moves each tile by the fraction its corner
    // leaves, either way); it rounds rather than floors, since the smallest is
    // most often the first tile itself, exactly on a whole pixel, where
    // flooring would put one state's mosaic a whole pixel off another's, and
    // every displacement measured between them with it.
    const int firstCell = run.cellOfTile.front();
    const double anchorX = run.x.front() - (firstCell % run.layout.cols) * run.stepX;
    const double anchorY = run.y.front() - (firstCell / run.layout.cols) * run.stepY;
    double lowestX = 0.0, lowestY = 0.0;
    for (int i = 0; i < tileCount; ++i) {
        lowestX = std::min(lowestX, run.x[size_t(i)] - anchorX);
        lowestY = std::min(lowestY, run.y[size_t(i)] - anchorY);
    }
    const double minX = anchorX + std::floor(lowestX + 0.5), minY = anchorY + std::floor(lowestY + 0.5);
    std::vector<PlacedTile> placed;
    QStringList nominalTiles;
    for (int i = 0; i < tileCount; ++i) {
        const int cell = run.cellOfTile[size_t(i)];
        TilePosition p;
        p.row = cell / run.layout.cols;
        p.col = cell % run.layout.cols;
        p.tileIndex = i;
        p.isPresent = true;
        p.tx = float(run.x[size_t(i)] - minX);
        p.ty = float(run.y[size_t(i)] - minY);
        int confident = 0;
        for (size_t k = 0; k < run.edges.size(); ++k) {
            const PairEdge& e = run.edges[k];
            if (e.a != i && e.b != i) continue;
            if (run.weights[k] > 0.0) ++confident;
            if (e.a == i)
                p.engineValues[run.edgeHorizontal[k] ? 0 : 1] = int(std::lround(run.measures[k].confidence * 1000));
        }
        p.engineValues[2] = confident;
        placed.push_back(placedAt(run.tiles[size_t(i)], p.tx, p.ty));
        p.engineValues[3] = placed.back().x;
        p.engineValues[4] = placed.back().y;
        p.engineValues[5] = registering && confident == 0 && tileCount > 1;
        if (p.engineValues[5]) nominalTiles << cellName(i + 1, p.row, p.col);
        p.bounds = QRect(p.engineValues[3], p.engineValues[4], run.width, run.height);
        output.positions.push_back(p);
    }
    if (!nominalTiles.isEmpty())
        output.information = QStringLiteral("Tiles kept at their nominal grid position (no confident neighbour): %1")
                                 .arg(nominalTiles.join(QStringLiteral(", ")));

    if (o.refineNonRigid && registering) {
        RefinementReport report;
        if (!refineNonRigid(run.tiles, output.positions, run.edges, run.weights, o, output.tileCorrections, report,
                            cancel))
            return cancelledRun();
        output.status = report.summary;
        if (!output.information.isEmpty()) output.information += QLatin1Char('\n');
        output.information += report.summary;
    }
    if (!composeMosaic(placed, o.featherBlend, output.mosaic, output.error, cancel)) {
        output.mosaic = QImage();
        if (output.error.isEmpty()) return cancelledRun();
        output.positions.clear();
        output.tileCorrections.clear();
        return false;
    }
    if (progress) progress(tileCount, tileCount);
    return true;
}

bool MosaicStitcher::chooseLayout(Run& run, StitchOutput& output) {
    const StitchingOptions& o = options;
    const int rows = o.gridRows, cols = o.gridCols, cells = rows * cols;
    const int tileCount = int(run.tiles.size());
    std::vector<int> missing = run.userMissing;
    if (run.autoMissing > 0)
        for (int s = cells - run.autoMissing; s < cells; ++s) missing.push_back(s);
    int order = detectedOrder_ >= 0 ? detectedOrder_ : o.scanOrder;
    const bool searchOrder = o.detectScanOrder && detectedOrder_ < 0 && cells > 1;
    const bool searchMissing = run.autoMissing > 0 && cells <= 100;
    const bool canSearch = o.usePhaseCorrelation && !o.nominalPositionsOnly && tileCount > 1;
    if (canSearch && (searchOrder || searchMissing)) {
        const int factor = std::max(1, std::min(o.levelFactors.value(0, 4), std::min(run.width, run.height) / 32));
        run.lowFactor = factor;
        for (const QImage& tile : run.tiles) {
            if (run.cancelled()) return false;
            run.lowTiles.push_back(decimate(tile, factor, run.lowWidth, run.lowHeight));
        }
        const PairSettings settings = pairSettings(o, factor, o.levelPeaks.value(0, 20));
        // Mean low-resolution confidence of the neighbour pairs a layout implies.
        auto score = [&](const GridLayout& layout, double& value) {
            double sum = 0.0;
            int count = 0;
            for (int r = 0; r < rows; ++r) {
                for (int c = 0; c < cols; ++c) {
                    const int a = layout.tile(r, c);
                    if (a < 0) continue;
                    for (const bool horizontal : {true, false}) {
                        const int rr = horizontal ? r : r + 1, cc = horizontal ? c + 1 : c;
                        if (rr >= rows || cc >= cols || layout.tile(rr, cc) < 0) continue;
                        const int b = layout.tile(rr, cc);
                        const int64_t key = (int64_t(a) * tileCount + b) * 2 + (horizontal ? 1 : 0);
                        auto found = layoutScores_.find(key);
                        if (found == layoutScores_.end()) {
                            if (run.cancelled()) return false;
                            const GreyView va = GreyView::of(run.lowTiles[size_t(a)], run.lowWidth, run.lowHeight);
                            const GreyView vb = GreyView::of(run.lowTiles[size_t(b)], run.lowWidth, run.lowHeight);
                            PairMeasure m;
                            StripCorrelator& correlator = horizontal ? run.horizontal : run.vertical;
                            if (!registerPair(va, vb, horizontal, horizontal ? run.stepX / factor : 0.0,
                                              horizontal ? 0.0 : run.stepY / factor, settings, correlator, m,
                                              run.error)) {
                                output.error = QString::fromStdString(run.error);
                                return false;
                            }
                            found = layoutScores_.emplace(key, m.found ? m.confidence : 0.0).first;
                        }
                        sum += found->second;
                        ++count;
                    }
                }
            }
            value = count ? sum / count : 0.0;
            return true;
        };
        // Each empty cell in turn moves to wherever the layout scores best; one
        // missing cell is thus searched exhaustively, several by coordinate descent.
        auto bestMissing = [&](int candidateOrder, std::vector<int>& chosen, double& best) {
            if (!score(makeLayout(rows, cols, candidateOrder, chosen), best)) return false;
            if (!searchMissing) return true;
            for (int pass = 0; pass < 2; ++pass) {
                for (size_t m = 0; m < chosen.size(); ++m) {
                    for (int s = 0; s < cells; ++s) {
                        if (std::find(chosen.begin(), chosen.end(), s) != chosen.end()) continue;
                        std::vector<int> trial = chosen;
                        trial[m] = s;
                        std::sort(trial.begin(), trial.end());
                        double value = 0.0;
                        if (!score(makeLayout(rows, cols, candidateOrder, trial), value)) return false;
                        if (value > best + 1e-9) {
                            best = value;
                            chosen = trial;
                        }
                    }
                }
            }
            return true;
        };
        double bestScore = 0.0;
        std::vector<int> bestSet = missing;
        if (!bestMissing(order, bestSet, bestScore)) return false;
        int bestOrder = order;
        if (searchOrder) {
            for (int candidate = kScanSnake; candidate <= kScanColumnSnake; ++candidate) {
                if (candidate == order) continue;
                std::vector<int> set = missing;
                double value = 0.0;
                if (!bestMissing(candidate, set, value)) return false;
                // The user's order wins ties: orders that agree on every pair
                // (one row, one column) are indistinguishable.
                if (value > bestScore + 0.05) {
                    bestScore = value;
                    bestOrder = candidate;
                    bestSet = set;
                }
            }
        }
        if (bestScore >= o.minPairConfidence) {
            order = bestOrder;
            missing = bestSet;
            if (searchOrder) {
                detectedOrder_ = bestOrder;
                output.detectedScanOrder = bestOrder;
                output.scanOrderAutoDetected = true;
            }
        }
    }
    run.layout = makeLayout(rows, cols, order, missing);
    run.cellOfTile.assign(size_t(tileCount), -1);
    for (int cell = 0; cell < cells; ++cell)
        if (run.layout.tileAt[size_t(cell)] >= 0) run.cellOfTile[size_t(run.layout.tileAt[size_t(cell)])] = cell;
    run.lowTiles.clear();
    return true;
}

bool MosaicStitcher::registerTiles(Run& run) {
    const StitchingOptions& o = options;
    const GridLayout& layout = run.layout;
    const PairSettings settings = pairSettings(o, 1, o.levelPeaks.value(o.levelPeaks.size() - 1, 20));
    const int tileCount = int(run.tiles.size());
    int done = 0;
    for (int r = 0; r < layout.rows; ++r) {
        for (int c = 0; c < layout.cols; ++c) {
            const int a = layout.tile(r, c);
            if (a < 0) continue;
            for (const bool horizontal : {true, false}) {
                const int rr = horizontal ? r : r + 1, cc = horizontal ? c + 1 : c;
                if (rr >= layout.rows || cc >= layout.cols || layout.tile(rr, cc) < 0) continue;
                if (run.cancelled()) return false;
                const int b = layout.tile(rr, cc);
                PairMeasure m;
                if (!registerPair(GreyView::of(run.tiles[size_t(a)]), GreyView::of(run.tiles[size_t(b)]), horizontal,
                                  horizontal ? run.stepX : 0.0, horizontal ? 0.0 : run.stepY, settings,
                                  horizontal ? run.horizontal : run.vertical, m, run.error))
                    return false;
                // Confidence squared: a doubtful pair counts far less than a sure one.
                const bool confident = m.found && m.confidence >= o.minPairConfidence;
                const double weight = confident ? m.confidence * m.confidence : 0.0;
                run.edges.push_back({a, b, m.dx, m.dy, weight});
                run.measures.push_back(m);
                run.edgeHorizontal.push_back(horizontal);
                if (o.traceRegistration) {
                    const QString line = QStringLiteral("[Stitching] pair %1-%2 %3: offset (%4, %5) zncc %6 "
                                                        "confidence %7")
                                             .arg(a)
                                             .arg(b)
                                             .arg(horizontal ? "right" : "below")
                                             .arg(m.dx, 0, 'f', 2)
                                             .arg(m.dy, 0, 'f', 2)
                                             .arg(m.zncc, 0, 'f', 3)
                                             .arg(m.confidence, 0, 'f', 3);
                    if (trace_)
                        trace_(line);
                    else
                        std::fprintf(stderr, "%s\n", qPrintable(line));
                }
            }
            if (run.progress && *run.progress) (*run.progress)(++done, tileCount);
        }
    }
    return true;
}

bool MosaicStitcher::placeTiles(Run& run) {
    const StitchingOptions& o = options;
    const int tileCount = int(run.tiles.size());
    std::vector<double> nominalX(static_cast<size_t>(tileCount)), nominalY(static_cast<size_t>(tileCount));
    for (int i = 0; i < tileCount; ++i) {
        const int cell = run.cellOfTile[size_t(i)];
        nominalX[size_t(i)] = (cell % run.layout.cols) * run.stepX;
        nominalY[size_t(i)] = (cell / run.layout.cols) * run.stepY;
    }
    PlacementSettings s;
    s.priorWeight = 1.0 / std::max(1, o.priorRatio);
    s.robustIterations = o.robustIterations;
    s.robustScalePx = o.robustScalePx;
    s.cutoffScales = o.robustCutoff;
    s.maxResidualPx = o.maxPairResidualPx;
    s.solverIterations = o.solverIterations;
    s.tolerancePx = o.solverTolerancePx;
    s.robust = o.robustPlacement;
    // The prior fixes the mosaic's frame: a tile without a confident neighbour
    // lands exactly on its nominal corner, a connected group on average.
    return solvePlacement(nominalX, nominalY, run.edges, s, run.x, run.y, run.weights, *run.cancel);
}

bool MosaicStitcher::stitchFromPositions(const std::vector<QImage>& tiles, const QList<TilePosition>& positions,
                                         QImage& mosaic, QString& error) {
    std::vector<QImage> grey;
    grey.reserve(tiles.size());
    for (const QImage& tile : tiles) {
        const bool ok = tile.format() == QImage::Format_Grayscale8 || tile.format() == QImage::Format_Grayscale16;
        grey.push_back(ok || tile.isNull() ? tile : tile.convertToFormat(QImage::Format_Grayscale8));
    }
    mosaic = QImage();
    if (tiles.empty()) {
        error = QStringLiteral("No tiles to assemble");
        return false;
    }
    if (!composeFromPositions(grey, positions, mosaic, error)) {
        mosaic = QImage();
        return false;
    }
    return true;
}

}  // namespace tavro::stitching
