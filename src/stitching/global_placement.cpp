#include "stitching/global_placement.h"

#include <algorithm>
#include <cmath>

namespace tavro::stitching {
namespace {

// Conjugate gradients on (L + prior I) p = rhs, L the weighted graph
// Laplacian: symmetric positive definite thanks to the prior, sparse, and
// started from the previous solution so that re-weighting rounds are cheap.
void solveAxis(int n, const std::vector<PairEdge>& edges, const std::vector<double>& w, double prior,
               const std::vector<double>& rhs, std::vector<double>& p, int maxIterations, double tolerance) {
    auto apply = [&](const std::vector<double>& v, std::vector<double>& out) {
        for (int i = 0; i < n; ++i) out[size_t(i)] = prior * v[size_t(i)];
        for (size_t k = 0; k < edges.size(); ++k) {
            if (w[k] <= 0.0) continue;
            const double d = w[k] * (v[size_t(edges[k].b)] - v[size_t(edges[k].a)]);
            out[size_t(edges[k].b)] += d;
            out[size_t(edges[k].a)] -= d;
        }
    };
    std::vector<double> r(static_cast<size_t>(n)), q(static_cast<size_t>(n)), ap(static_cast<size_t>(n));
    apply(p, ap);
    for (int i = 0; i < n; ++i) r[size_t(i)] = rhs[size_t(i)] - ap[size_t(i)];
    q = r;
    double rr = 0.0;
    for (double v : r) rr += v * v;
    const double limit = tolerance * tolerance * 1e-4;
    for (int it = 0; it < maxIterations && rr > limit; ++it) {
        apply(q, ap);
        double qAq = 0.0;
        for (int i = 0; i < n; ++i) qAq += q[size_t(i)] * ap[size_t(i)];
        if (!(qAq > 0.0)) break;
        const double alpha = rr / qAq;
        double next = 0.0;
        for (int i = 0; i < n; ++i) {
            p[size_t(i)] += alpha * q[size_t(i)];
            r[size_t(i)] -= alpha * ap[size_t(i)];
            next += r[size_t(i)] * r[size_t(i)];
        }
        const double beta = next / rr;
        rr = next;
        for (int i = 0; i < n; ++i) q[size_t(i)] = r[size_t(i)] + beta * q[size_t(i)];
    }
}

void solveBoth(int n, const std::vector<PairEdge>& edges, const std::vector<double>& w, double prior,
               const std::vector<double>& nx, const std::vector<double>& ny, std::vector<double>& x,
               std::vector<double>& y, const PlacementSettings& s) {
    std::vector<double> rx(static_cast<size_t>(n)), ry(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        rx[size_t(i)] = prior * nx[size_t(i)];
        ry[size_t(i)] = prior * ny[size_t(i)];
    }
    for (size_t k = 0; k < edges.size(); ++k) {
        if (w[k] <= 0.0) continue;
        rx[size_t(edges[k].b)] += w[k] * edges[k].dx;
        rx[size_t(edges[k].a)] -= w[k] * edges[k].dx;
        ry[size_t(edges[k].b)] += w[k] * edges[k].dy;
        ry[size_t(edges[k].a)] -= w[k] * edges[k].dy;
    }
    // A weak prior makes the system stiff: allow every tile its iteration.
    const int iterations = std::max(s.solverIterations, 4 * n + 10);
    solveAxis(n, edges, w, prior, rx, x, iterations, s.tolerancePx);
    solveAxis(n, edges, w, prior, ry, y, iterations, s.tolerancePx);
}

}  // namespace

bool solvePlacement(const std::vector<double>& nominalX, const std::vector<double>& nominalY,
                    const std::vector<PairEdge>& edges, const PlacementSettings& s, std::vector<double>& x,
                    std::vector<double>& y, std::vector<double>& finalWeights, const std::function<bool()>& cancel) {
    const int n = int(nominalX.size());
    x = nominalX;
    y = nominalY;
    std::vector<double> w(edges.size());
    for (size_t k = 0; k < edges.size(); ++k) w[k] = std::max(0.0, edges[k].weight);
    const double prior = std::max(1e-9, s.priorWeight);
    solveBoth(n, edges, w, prior, nominalX, nominalY, x, y, s);
    const int rounds = s.robust ? std::max(0, s.robustIterations) : 0;
    for (int round = 0; round < rounds; ++round) {
        if (cancel && cancel()) return false;
        // Cauchy weights: a pair that contradicts the others (a repeated texture
        // matched at the wrong period) loses its pull instead of bending the mosaic.
        std::vector<double> next(edges.size());
        for (size_t k = 0; k < edges.size(); ++k) {
            const PairEdge& e = edges[k];
            const double rx = x[size_t(e.b)] - x[size_t(e.a)] - e.dx, ry = y[size_t(e.b)] - y[size_t(e.a)] - e.dy;
            const double r = std::hypot(rx, ry) / std::max(1e-6, s.robustScalePx);
            const bool rejected = r > s.cutoffScales || r * s.robustScalePx > s.maxResidualPx;
            next[k] = rejected ? 0.0 : std::max(0.0, e.weight) / (1.0 + r * r);
        }
        const std::vector<double> oldX = x, oldY = y;
        w = next;
        solveBoth(n, edges, w, prior, nominalX, nominalY, x, y, s);
        double moved = 0.0;
        for (int i = 0; i < n; ++i)
            moved = std::max(moved, std::hypot(x[size_t(i)] - oldX[size_t(i)], y[size_t(i)] - oldY[size_t(i)]));
        if (moved < s.tolerancePx) break;
    }
    finalWeights = w;
    return true;
}

}  // namespace tavro::stitching
