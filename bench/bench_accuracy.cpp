#include "bench_accuracy.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>
#include <vector>

namespace tavro::bench {
namespace {

struct Moments {
    double sum = 0.0;
    double sumSq = 0.0;
    size_t count = 0;

    void add(double e) {
        sum += e;
        sumSq += e * e;
        ++count;
    }
    ErrorStats stats() const {
        ErrorStats s;
        if (count == 0) return s;
        const double n = double(count);
        s.bias = sum / n;
        s.rms = std::sqrt(sumSq / n);
        s.stdDev = count > 1 ? std::sqrt(std::max(0.0, (sumSq - sum * s.bias) / (n - 1.0))) : 0.0;
        return s;
    }
};

// Least squares of v = a sin + b cos + c; returns sqrt(a^2 + b^2).
struct WaveFit {
    double m[3][3] = {};
    double r[3] = {};

    void add(double s, double c, double v) {
        const double basis[3] = {s, c, 1.0};
        for (int i = 0; i < 3; ++i) {
            r[i] += basis[i] * v;
            for (int j = 0; j < 3; ++j) m[i][j] += basis[i] * basis[j];
        }
    }
    double amplitude() const {
        double a[3][4];
        for (int i = 0; i < 3; ++i) {
            for (int j = 0; j < 3; ++j) a[i][j] = m[i][j];
            a[i][3] = r[i];
        }
        for (int k = 0; k < 3; ++k) {
            if (std::fabs(a[k][k]) < 1e-12) return 0.0;
            for (int i = 0; i < 3; ++i) {
                if (i == k) continue;
                const double f = a[i][k] / a[k][k];
                for (int j = k; j < 4; ++j) a[i][j] -= f * a[k][j];
            }
        }
        return std::hypot(a[0][3] / a[0][0], a[1][3] / a[1][1]);
    }
};

// du/dx, du/dy, dv/dx, dv/dy by central differences.
std::array<double, 4> gradientAt(const testing::DisplacementField& u, double x, double y) {
    constexpr double h = 1e-3;
    const testing::Vec2 xp = u(x + h, y), xm = u(x - h, y), yp = u(x, y + h), ym = u(x, y - h);
    return {(xp[0] - xm[0]) / (2 * h), (yp[0] - ym[0]) / (2 * h), (xp[1] - xm[1]) / (2 * h),
            (yp[1] - ym[1]) / (2 * h)};
}

bool hasStrains(const PipelineRun& run, size_t n) {
    const StrainResult& s = run.strains;
    return s.epsXX.size() == n && s.epsYY.size() == n && s.epsXY.size() == n;
}

} // namespace

Accuracy evaluate(const PipelineRun& run, const BenchOptions& options, const testing::DisplacementField& field) {
    Accuracy a;
    const PixelDisplacementResult& d = run.displacements;
    const int gw = d.gridWidth, gh = d.gridHeight;
    a.points = size_t(gw) * size_t(gh);
    const bool strains = hasStrains(run, a.points);
    Moments ux, uy, exx, eyy, exy;
    WaveFit waveX, waveY;
    const double theta = options.directionDegrees * std::numbers::pi / 180.0;
    const double k = 2.0 * std::numbers::pi / options.period;
    for (int gy = 0; gy < gh; ++gy)
        for (int gx = 0; gx < gw; ++gx) {
            const size_t i = size_t(gy) * size_t(gw) + size_t(gx);
            const double x = run.marginX + double(gx) * options.step;
            const double y = run.marginY + double(gy) * options.step;
            if (!std::isfinite(d.dispX[i]) || !std::isfinite(d.dispY[i])) {
                ++a.invalid;
                continue;
            }
            const testing::Vec2 truth = field(x, y);
            ux.add(double(d.dispX[i]) - truth[0]);
            uy.add(double(d.dispY[i]) - truth[1]);
            const double phase = k * (x * std::cos(theta) + y * std::sin(theta));
            waveX.add(std::sin(phase), std::cos(phase), d.dispX[i]);
            waveY.add(std::sin(phase), std::cos(phase), d.dispY[i]);
            if (strains && std::isfinite(run.strains.epsXX[i])) {
                const std::array<double, 4> g = gradientAt(field, x, y);
                exx.add(double(run.strains.epsXX[i]) - g[0]);
                eyy.add(double(run.strains.epsYY[i]) - g[3]);
                exy.add(double(run.strains.epsXY[i]) - 0.5 * (g[1] + g[2]));
            }
        }
    a.ux = ux.stats();
    a.uy = uy.stats();
    a.exx = exx.stats();
    a.eyy = eyy.stats();
    a.exy = exy.stats();
    if (options.field == FieldKind::Sinusoid && options.amplitude != 0.0) {
        a.amplitudeRatioX = waveX.amplitude() / std::fabs(options.amplitude);
        a.amplitudeRatioY = waveY.amplitude() / std::fabs(options.amplitude);
    }
    return a;
}

} // namespace tavro::bench
