#include "stitching/nonrigid_refinement.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "stitching/mosaic_composition.h"
#include "stitching/pair_registration.h"

namespace tavro::stitching {
namespace {

struct Sample {
    double x = 0.0;  // in the tile's pixels
    double y = 0.0;
    double dx = 0.0;  // correction wanted there
    double dy = 0.0;
};

// ZNCC of the w x h patches at (ax, ay) in a and (bx, by) in b; false when a
// patch leaves its tile or is flat. `stdA` receives the first patch's spread.
bool patchZncc(const GreyView& a, int ax, int ay, const GreyView& b, int bx, int by, int w, int h, double& zncc,
               double& stdA) {
    if (ax < 0 || ay < 0 || bx < 0 || by < 0 || ax + w > a.width || ay + h > a.height || bx + w > b.width ||
        by + h > b.height)
        return false;
    std::vector<float> ra(static_cast<size_t>(w)), rb(static_cast<size_t>(w));
    double sa = 0, sb = 0, saa = 0, sbb = 0, sab = 0;
    for (int y = 0; y < h; ++y) {
        a.readRow(ay + y, ax, w, ra.data());
        b.readRow(by + y, bx, w, rb.data());
        for (int x = 0; x < w; ++x) {
            const double p = ra[size_t(x)], q = rb[size_t(x)];
            sa += p;
            sb += q;
            saa += p * p;
            sbb += q * q;
            sab += p * q;
        }
    }
    const double n = double(w) * h;
    const double va = saa - sa * sa / n, vb = sbb - sb * sb / n;
    if (va <= 1e-9 * n || vb <= 1e-9 * n) return false;
    stdA = std::sqrt(va / n);
    zncc = (sab - sa * sb / n) / std::sqrt(va * vb);
    return true;
}

double parabola(double minus, double centre, double plus) {
    const double curvature = minus - 2.0 * centre + plus;
    return curvature < 0.0 ? std::clamp(0.5 * (minus - plus) / curvature, -0.5, 0.5) : 0.0;
}

// Least squares of c0 + c1 x + c2 y (or c0 alone) with a small ridge on the
// slopes, so that samples along one line leave the other slope at zero.
std::array<double, 3> fitField(const std::vector<Sample>& s, bool affine, bool forX, double ridge, double scale) {
    if (s.empty()) return {0.0, 0.0, 0.0};
    double m[3][4] = {};
    for (const Sample& p : s) {
        const double basis[3] = {1.0, affine ? p.x / scale : 0.0, affine ? p.y / scale : 0.0};
        const double value = forX ? p.dx : p.dy;
        for (int i = 0; i < 3; ++i) {
            for (int j = 0; j < 3; ++j) m[i][j] += basis[i] * basis[j];
            m[i][3] += basis[i] * value;
        }
    }
    const double r = std::max(ridge, 1e-6) * double(s.size());
    m[1][1] += r;
    m[2][2] += r;
    m[0][0] += 1e-12;
    for (int col = 0; col < 3; ++col) {
        int pivot = col;
        for (int row = col + 1; row < 3; ++row)
            if (std::abs(m[row][col]) > std::abs(m[pivot][col])) pivot = row;
        for (int k = 0; k < 4; ++k) std::swap(m[col][k], m[pivot][k]);
        for (int row = 0; row < 3; ++row) {
            if (row == col) continue;
            const double f = m[row][col] / m[col][col];
            for (int k = col; k < 4; ++k) m[row][k] -= f * m[col][k];
        }
    }
    return {m[0][3] / m[0][0], m[1][3] / m[1][1] / scale, m[2][3] / m[2][2] / scale};
}

}  // namespace

bool refineNonRigid(const std::vector<QImage>& tiles, const QList<TilePosition>& positions,
                    const std::vector<PairEdge>& edges, const std::vector<double>& weights, const StitchingOptions& o,
                    QList<TileCorrection>& corrections, RefinementReport& report,
                    const std::function<bool()>& cancel) {
    const int n = int(tiles.size());
    std::vector<std::vector<Sample>> samples(static_cast<size_t>(n));
    struct Residual {
        int a, b;
        double ax, ay, bx, by, rx, ry;
    };
    std::vector<Residual> residuals;
    const int patchW = 1 << std::clamp(o.refinePatchSizesX.value(0, 6), 3, 10);
    const int patchH = 1 << std::clamp(o.refinePatchSizesY.value(0, 6), 3, 10);
    const int search = std::clamp(o.refineSearchPx, 1, 8);
    const int perOverlap = std::clamp(o.refinePatchesPerOverlap, 1, 64);
    for (size_t k = 0; k < edges.size(); ++k) {
        if (weights[k] <= 0.0) continue;
        if (cancel && cancel()) return false;
        const PairEdge& e = edges[k];
        const GreyView a = GreyView::of(tiles[size_t(e.a)]), b = GreyView::of(tiles[size_t(e.b)]);
        const double bitScale = tiles[size_t(e.a)].format() == QImage::Format_Grayscale16 ? 257.0 : 1.0;
        const int offX = placedCoordinate(positions[e.b].tx) - placedCoordinate(positions[e.a].tx);
        const int offY = placedCoordinate(positions[e.b].ty) - placedCoordinate(positions[e.a].ty);
        // Overlap in a's pixels, less the search margin on every side.
        const int x0 = std::max(0, offX) + search, x1 = std::min(a.width, offX + b.width) - search;
        const int y0 = std::max(0, offY) + search, y1 = std::min(a.height, offY + b.height) - search;
        const int w = std::min(patchW, x1 - x0), h = std::min(patchH, y1 - y0);
        if (w < 8 || h < 8) continue;
        const bool wide = (x1 - x0) >= (y1 - y0);
        for (int p = 0; p < perOverlap; ++p) {
            const double t = (p + 0.5) / perOverlap;
            const int px = wide ? x0 + int(t * (x1 - x0 - w)) : x0 + (x1 - x0 - w) / 2;
            const int py = wide ? y0 + (y1 - y0 - h) / 2 : y0 + int(t * (y1 - y0 - h));
            std::vector<double> z(size_t((2 * search + 1) * (2 * search + 1)), -2.0);
            double bestZ = -2.0, spread = 0.0;
            int bestI = 0, bestJ = 0;
            for (int j = -search; j <= search; ++j) {
                for (int i = -search; i <= search; ++i) {
                    double value = 0.0, stdA = 0.0;
                    if (!patchZncc(a, px, py, b, px - offX + i, py - offY + j, w, h, value, stdA)) continue;
                    z[size_t((j + search) * (2 * search + 1) + i + search)] = value;
                    spread = stdA;
                    if (value > bestZ) {
                        bestZ = value;
                        bestI = i;
                        bestJ = j;
                    }
                }
            }
            if (bestZ < o.refineMinZncc || spread < o.refineMinPatchStd * bitScale) continue;
            if (std::abs(bestI) == search || std::abs(bestJ) == search) continue;  // peak not bracketed
            auto at = [&](int i, int j) { return z[size_t((j + search) * (2 * search + 1) + i + search)]; };
            // b's content at a's patch sits (i, j) further than the placement says.
            const double rx = bestI + parabola(at(bestI - 1, bestJ), bestZ, at(bestI + 1, bestJ));
            const double ry = bestJ + parabola(at(bestI, bestJ - 1), bestZ, at(bestI, bestJ + 1));
            if (o.refineRejectOutliers && std::hypot(rx, ry) > o.refineOutlierPx) continue;
            const double cx = px + 0.5 * (w - 1), cy = py + 0.5 * (h - 1);
            const double bx = cx - offX + rx, by = cy - offY + ry;
            residuals.push_back({e.a, e.b, cx, cy, bx, by, rx, ry});
        }
    }

    // The tiles' mean shifts first, jointly over the tile graph (a tile between
    // two neighbours that pull opposite ways must not take half of each), then
    // half of what each overlap still shows to either tile for the slopes.
    std::vector<PairEdge> meanEdges;
    for (const Residual& r : residuals) {
        auto found = std::find_if(meanEdges.begin(), meanEdges.end(),
                                  [&](const PairEdge& e) { return e.a == r.a && e.b == r.b; });
        if (found == meanEdges.end()) {
            meanEdges.push_back({r.a, r.b, 0.0, 0.0, 0.0});
            found = meanEdges.end() - 1;
        }
        // Weight counts the samples; dx, dy sum the wanted b-minus-a correction.
        found->dx -= r.rx;
        found->dy -= r.ry;
        found->weight += 1.0;
    }
    for (PairEdge& e : meanEdges) {
        e.dx /= e.weight;
        e.dy /= e.weight;
    }
    std::vector<double> shiftX, shiftY, unusedWeights;
    PlacementSettings placement;
    placement.robust = false;
    placement.priorWeight = 1e-3;
    solvePlacement(std::vector<double>(static_cast<size_t>(n), 0.0), std::vector<double>(static_cast<size_t>(n), 0.0),
                   meanEdges, placement, shiftX, shiftY, unusedWeights, {});
    for (const Residual& r : residuals) {
        const double ex = r.rx - (shiftX[size_t(r.a)] - shiftX[size_t(r.b)]);
        const double ey = r.ry - (shiftY[size_t(r.a)] - shiftY[size_t(r.b)]);
        samples[size_t(r.a)].push_back({r.ax, r.ay, shiftX[size_t(r.a)] + 0.5 * ex, shiftY[size_t(r.a)] + 0.5 * ey});
        samples[size_t(r.b)].push_back({r.bx, r.by, shiftX[size_t(r.b)] - 0.5 * ex, shiftY[size_t(r.b)] - 0.5 * ey});
    }

    corrections.clear();
    std::vector<std::array<double, 3>> fx(static_cast<size_t>(n)), fy(static_cast<size_t>(n));
    const double maxCorrection = std::max(0.0, o.refineMaxCorrectionPx);
    for (int i = 0; i < n; ++i) {
        const double scale = std::max(1, std::max(tiles[size_t(i)].width(), tiles[size_t(i)].height()));
        fx[size_t(i)] = fitField(samples[size_t(i)], o.refineAffine, true, o.refineRegularisation, scale);
        fy[size_t(i)] = fitField(samples[size_t(i)], o.refineAffine, false, o.refineRegularisation, scale);
        TileCorrection c;
        const int w = tiles[size_t(i)].width(), h = tiles[size_t(i)].height();
        for (const double gy : {0.0, 0.5 * (h - 1), double(h - 1)}) {
            for (const double gx : {0.0, 0.5 * (w - 1), double(w - 1)}) {
                const auto& ax = fx[size_t(i)];
                const auto& ay = fy[size_t(i)];
                c.x << gx;
                c.y << gy;
                c.dx << std::clamp(ax[0] + ax[1] * gx + ax[2] * gy, -maxCorrection, maxCorrection);
                c.dy << std::clamp(ay[0] + ay[1] * gx + ay[2] * gy, -maxCorrection, maxCorrection);
            }
        }
        corrections << c;
    }
    double before = 0.0, after = 0.0;
    for (const Residual& r : residuals) {
        auto eval = [&](int t, double x, double y, bool forX) {
            const auto& f = forX ? fx[size_t(t)] : fy[size_t(t)];
            return f[0] + f[1] * x + f[2] * y;
        };
        // Where a's content lands minus where b's lands, after the corrections.
        const double ex = r.rx - eval(r.a, r.ax, r.ay, true) + eval(r.b, r.bx, r.by, true);
        const double ey = r.ry - eval(r.a, r.ax, r.ay, false) + eval(r.b, r.bx, r.by, false);
        before += r.rx * r.rx + r.ry * r.ry;
        after += ex * ex + ey * ey;
    }
    report.samples = int(residuals.size());
    report.rmsBeforePx = residuals.empty() ? 0.0 : std::sqrt(before / residuals.size());
    report.rmsAfterPx = residuals.empty() ? 0.0 : std::sqrt(after / residuals.size());
    report.summary = QStringLiteral("%1 tiles, %2 overlap samples, residual RMS %3 px before, %4 px after")
                         .arg(n)
                         .arg(report.samples)
                         .arg(report.rmsBeforePx, 0, 'f', 3)
                         .arg(report.rmsAfterPx, 0, 'f', 3);
    return true;
}

}  // namespace tavro::stitching
