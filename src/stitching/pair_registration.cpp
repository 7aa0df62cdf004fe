#include "stitching/pair_registration.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "core/gpu_common.h"
#include "core/tavro_fft.h"
#include "gpu/runtime.h"

namespace tavro::stitching {

GreyView GreyView::of(const QImage& image) {
    GreyView v;
    v.width = image.width();
    v.height = image.height();
    v.bits = image.constBits();
    v.stride = image.bytesPerLine();
    v.bytesPerPixel = image.format() == QImage::Format_Grayscale16 ? 2 : 1;
    return v;
}

GreyView GreyView::of(const std::vector<float>& pixels, int width, int height) {
    GreyView v;
    v.width = width;
    v.height = height;
    v.bits = reinterpret_cast<const uchar*>(pixels.data());
    v.stride = int64_t(width) * 4;
    v.bytesPerPixel = 4;
    return v;
}

void GreyView::readRow(int y, int x0, int n, float* out, int step) const {
    const uchar* line = bits + int64_t(y) * stride;
    if (bytesPerPixel == 4) {
        const float* p = reinterpret_cast<const float*>(line) + x0;
        if (step == 1)
            std::memcpy(out, p, size_t(n) * sizeof(float));
        else
            for (int i = 0; i < n; ++i) out[i] = p[int64_t(i) * step];
    } else if (bytesPerPixel == 2) {
        const auto* p = reinterpret_cast<const quint16*>(line) + x0;
        for (int i = 0; i < n; ++i) out[i] = float(p[int64_t(i) * step]);
    } else {
        const uchar* p = line + x0;
        for (int i = 0; i < n; ++i) out[i] = float(p[int64_t(i) * step]);
    }
}

struct StripCorrelator::State {
    int rows = 0;
    int cols = 0;
    fft::PlanPtr plan;
    DeviceBufferPool::Lease input, spectrumA, spectrumB, surface;
    std::vector<fft::Complex> hostA, hostB;
};

StripCorrelator::StripCorrelator() : state_(std::make_unique<State>()) {}
StripCorrelator::~StripCorrelator() = default;
int StripCorrelator::rows() const { return state_->rows; }
int StripCorrelator::cols() const { return state_->cols; }

namespace {

bool leaseBytes(DeviceBufferPool::Lease& lease, uint64_t bytes, const char* step, std::string& error) {
    const int code = DeviceBufferPool::instance().acquire(bytes, lease);
    if (code != 0) error = cudaErrorMessage(code, step);
    return code == 0;
}

bool copied(cudaError_t code, const char* step, std::string& error) {
    if (code != cudaSuccess) error = cudaErrorMessage(int(code), step);
    return code == cudaSuccess;
}

}  // namespace

bool StripCorrelator::prepare(int rows, int cols, std::string& error) {
    State& s = *state_;
    if (s.plan && s.rows == rows && s.cols == cols) return true;
    s.plan.reset(fft::createPlan(rows, cols, 1, 0, error));
    if (!s.plan) return false;
    s.rows = rows;
    s.cols = cols;
    const uint64_t pixels = uint64_t(rows) * uint64_t(cols);
    const uint64_t bins = uint64_t(rows) * uint64_t(s.plan->halfCols);
    s.hostA.resize(bins);
    s.hostB.resize(bins);
    return leaseBytes(s.input, pixels * sizeof(float), "cudaMalloc stitching strip", error) &&
           leaseBytes(s.spectrumA, bins * sizeof(fft::Complex), "cudaMalloc stitching spectrum", error) &&
           leaseBytes(s.spectrumB, bins * sizeof(fft::Complex), "cudaMalloc stitching spectrum", error) &&
           leaseBytes(s.surface, pixels * sizeof(float), "cudaMalloc stitching surface", error);
}

bool StripCorrelator::correlate(const std::vector<float>& a, const std::vector<float>& b,
                                std::vector<float>& surface, std::string& error) {
    State& s = *state_;
    const size_t pixels = size_t(s.rows) * size_t(s.cols);
    const size_t bins = s.hostA.size();
    auto* input = s.input.as<float>();
    auto* specA = s.spectrumA.as<fft::Complex>();
    auto* specB = s.spectrumB.as<fft::Complex>();
    if (!copied(cudaMemcpy(input, a.data(), pixels * sizeof(float), cudaMemcpyHostToDevice), "cudaMemcpy strip",
                error) ||
        !fft::execR2C(s.plan.get(), input, specA, error) ||
        !copied(cudaMemcpy(input, b.data(), pixels * sizeof(float), cudaMemcpyHostToDevice), "cudaMemcpy strip",
                error) ||
        !fft::execR2C(s.plan.get(), input, specB, error) ||
        !copied(cudaMemcpy(s.hostA.data(), specA, bins * sizeof(fft::Complex), cudaMemcpyDeviceToHost),
                "cudaMemcpy spectrum", error) ||
        !copied(cudaMemcpy(s.hostB.data(), specB, bins * sizeof(fft::Complex), cudaMemcpyDeviceToHost),
                "cudaMemcpy spectrum", error))
        return false;
    // Whitening keeps only the phase, so the peak stays sharp whatever the
    // texture's spectrum; bins without energy contribute nothing.
    for (size_t k = 0; k < bins; ++k) {
        const fft::Complex p = s.hostA[k], q = s.hostB[k];
        const float re = p.x * q.x + p.y * q.y, im = p.y * q.x - p.x * q.y;
        const float magnitude = std::sqrt(re * re + im * im);
        s.hostA[k] = magnitude > 1e-20f ? fft::Complex{re / magnitude, im / magnitude} : fft::Complex{0.0f, 0.0f};
    }
    surface.resize(pixels);
    return copied(cudaMemcpy(specA, s.hostA.data(), bins * sizeof(fft::Complex), cudaMemcpyHostToDevice),
                  "cudaMemcpy cross power", error) &&
           fft::execC2R(s.plan.get(), specA, s.surface.as<float>(), error) &&
           copied(cudaMemcpy(surface.data(), s.surface.get(), pixels * sizeof(float), cudaMemcpyDeviceToHost),
                  "cudaMemcpy correlation", error);
}

bool overlapZncc(const GreyView& a, const GreyView& b, int ox, int oy, int64_t minPixels, double& zncc,
                 int64_t maxSamples) {
    const int x0 = std::max(0, ox), x1 = std::min(a.width, ox + b.width);
    const int y0 = std::max(0, oy), y1 = std::min(a.height, oy + b.height);
    if (x1 <= x0 || y1 <= y0) return false;
    const int64_t area = int64_t(x1 - x0) * (y1 - y0);
    if (area < std::max<int64_t>(minPixels, 16)) return false;
    const int step = std::max(1, int(std::ceil(std::sqrt(double(area) / double(maxSamples)))));
    const int n = (x1 - x0 + step - 1) / step;
    std::vector<float> rowA(static_cast<size_t>(n)), rowB(static_cast<size_t>(n));
    double sa = 0, sb = 0, saa = 0, sbb = 0, sab = 0;
    int64_t count = 0;
    for (int y = y0; y < y1; y += step) {
        a.readRow(y, x0, n, rowA.data(), step);
        b.readRow(y - oy, x0 - ox, n, rowB.data(), step);
        // One row's sums in single precision (vectorised; relative rounding near
        // 1e-7 at these lengths), gathered in double across rows.
        float ra = 0, rb = 0, raa = 0, rbb = 0, rab = 0;
        for (int i = 0; i < n; ++i) {
            const float p = rowA[size_t(i)], q = rowB[size_t(i)];
            ra += p;
            rb += q;
            raa += p * p;
            rbb += q * q;
            rab += p * q;
        }
        sa += ra;
        sb += rb;
        saa += raa;
        sbb += rbb;
        sab += rab;
        count += n;
    }
    const double c = double(count);
    const double va = saa - sa * sa / c, vb = sbb - sb * sb / c;
    // Flat overlaps (a uniform background) carry no position information.
    if (va <= 1e-6 * c || vb <= 1e-6 * c) return false;
    zncc = (sab - sa * sb / c) / std::sqrt(va * vb);
    return true;
}

namespace {

int nextPowerOfTwo(int v) {
    int p = 1;
    while (p < v) p <<= 1;
    return p;
}

// Strip of `view` at (x0, y0), mean removed and borders tapered by a raised
// cosine over an eighth of each side, which keeps the strip's cut edges out of
// the correlation; zero-padded to paddedW x paddedH. Power-of-two frames take
// the FFT's fast path, where other lengths pay for Bluestein's padding anyway.
void extractStrip(const GreyView& view, int x0, int y0, int w, int h, int paddedW, int paddedH,
                  std::vector<float>& out) {
    out.assign(size_t(paddedW) * size_t(paddedH), 0.0f);
    double sum = 0;
    for (int y = 0; y < h; ++y) {
        float* row = out.data() + size_t(y) * size_t(paddedW);
        view.readRow(y0 + y, x0, w, row);
        for (int x = 0; x < w; ++x) sum += row[x];
    }
    const float mean = float(sum / (double(w) * h));
    auto taper = [](int n) {
        std::vector<float> t(size_t(n), 1.0f);
        const int ramp = n / 8;
        for (int i = 0; i < ramp; ++i) {
            const float v = 0.5f - 0.5f * std::cos(float(M_PI) * (float(i) + 0.5f) / float(ramp));
            t[size_t(i)] = v;
            t[size_t(n - 1 - i)] = v;
        }
        return t;
    };
    const std::vector<float> tx = taper(w), ty = taper(h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            float& v = out[size_t(y) * size_t(paddedW) + size_t(x)];
            v = (v - mean) * tx[size_t(x)] * ty[size_t(y)];
        }
}

struct Peak {
    int x = 0;
    int y = 0;
    float value = 0.0f;
};

// The strongest local maxima (3 x 3, wrapping) of the surface, strongest first.
std::vector<Peak> strongestPeaks(const std::vector<float>& s, int w, int h, int count) {
    std::vector<Peak> peaks;
    for (int y = 0; y < h; ++y) {
        const int ym = (y + h - 1) % h, yp = (y + 1) % h;
        for (int x = 0; x < w; ++x) {
            const float v = s[size_t(y) * w + x];
            const int xm = (x + w - 1) % w, xp = (x + 1) % w;
            bool isMax = true;
            for (int yy : {ym, y, yp}) {
                for (int xx : {xm, x, xp}) {
                    if ((xx != x || yy != y) && s[size_t(yy) * w + xx] > v) isMax = false;
                }
            }
            if (isMax) peaks.push_back({x, y, v});
        }
    }
    const size_t keep = std::min(peaks.size(), size_t(std::max(1, count)));
    std::partial_sort(peaks.begin(), peaks.begin() + long(keep), peaks.end(),
                      [](const Peak& p, const Peak& q) { return p.value > q.value; });
    peaks.resize(keep);
    return peaks;
}

// Vertex of the parabola through three samples, within half a pixel.
double parabolicOffset(float minus, float centre, float plus) {
    const double curvature = double(minus) - 2.0 * double(centre) + double(plus);
    if (!(curvature < 0.0)) return 0.0;
    return std::clamp(0.5 * (double(minus) - double(plus)) / curvature, -0.5, 0.5);
}

// Ranking candidates needs far fewer samples than locating the winner: the
// true offset scores near 1 and the others near 0.
constexpr int64_t kRankingSamples = 32768;

struct Candidate {
    int ix = 0;
    int iy = 0;
    double fx = 0.0;
    double fy = 0.0;
    double zncc = -2.0;
};

}  // namespace

bool registerPair(const GreyView& a, const GreyView& b, bool horizontal, double nominalDx, double nominalDy,
                  const PairSettings& settings, StripCorrelator& correlator, PairMeasure& out, std::string& error) {
    out = PairMeasure{};
    const int margin = std::max(0, settings.searchMarginPx);
    int ax = 0, ay = 0, sw = 0, sh = 0;
    if (horizontal) {
        const int overlap = std::max(0, a.width - int(std::lround(nominalDx)));
        sw = std::clamp(overlap + margin, 1, std::min(a.width, b.width));
        sh = std::min(a.height, b.height);
        ax = a.width - sw;
    } else {
        const int overlap = std::max(0, a.height - int(std::lround(nominalDy)));
        sh = std::clamp(overlap + margin, 1, std::min(a.height, b.height));
        sw = std::min(a.width, b.width);
        ay = a.height - sh;
    }
    if (sw < 4 || sh < 4) return true;
    std::vector<float> stripA, stripB, surface;
    // The correlation is periodic with the padded frame: a peak at s also stands
    // for s - frame on each axis.
    const int pw = nextPowerOfTwo(sw), ph = nextPowerOfTwo(sh);
    extractStrip(a, ax, ay, sw, sh, pw, ph, stripA);
    extractStrip(b, 0, 0, sw, sh, pw, ph, stripB);
    if (!correlator.prepare(ph, pw, error) || !correlator.correlate(stripA, stripB, surface, error)) return false;

    const double along = horizontal ? a.width : a.height;
    const double maxDeviation = std::max(2.0, settings.maxDeviationFraction * along);
    std::vector<Candidate> candidates;
    for (const Peak& peak : strongestPeaks(surface, pw, ph, settings.peaks)) {
        const auto at = [&](int x, int y) { return surface[size_t((y + ph) % ph) * pw + size_t((x + pw) % pw)]; };
        double fx = 0.0, fy = 0.0;
        if (settings.subpixel) {
            fx = parabolicOffset(at(peak.x - 1, peak.y), peak.value, at(peak.x + 1, peak.y));
            fy = parabolicOffset(at(peak.x, peak.y - 1), peak.value, at(peak.x, peak.y + 1));
        }
        for (int sx : {peak.x, peak.x - pw}) {
            for (int sy : {peak.y, peak.y - ph}) {
                const int ix = sx + ax, iy = sy + ay;
                if (std::abs(ix - nominalDx) > maxDeviation || std::abs(iy - nominalDy) > maxDeviation) continue;
                const bool seen = std::any_of(candidates.begin(), candidates.end(),
                                              [&](const Candidate& c) { return c.ix == ix && c.iy == iy; });
                if (seen) continue;
                Candidate c{ix, iy, fx, fy, -2.0};
                if (overlapZncc(a, b, ix, iy, settings.minOverlapPixels, c.zncc, kRankingSamples))
                    candidates.push_back(c);
            }
        }
    }
    if (candidates.empty()) return true;
    const auto best = std::max_element(candidates.begin(), candidates.end(),
                                       [](const Candidate& p, const Candidate& q) { return p.zncc < q.zncc; });
    // The phase-correlation peak of a band-limited texture can sit a pixel off
    // (whitening lifts the noise above its highest frequencies); ZNCC on the
    // real overlap has its maximum at the true offset, so climb to it and fit the
    // sub-pixel vertex there.
    Candidate top = *best;
    auto znccAt = [&](int x, int y) {
        double z = -2.0;
        return overlapZncc(a, b, x, y, settings.minOverlapPixels, z) ? z : -2.0;
    };
    for (int step = 0; step < 8; ++step) {
        int bx = top.ix, by = top.iy;
        double bz = top.zncc;
        for (const auto& [sx, sy] : {std::pair{1, 0}, std::pair{-1, 0}, std::pair{0, 1}, std::pair{0, -1}}) {
            const double z = znccAt(top.ix + sx, top.iy + sy);
            if (z > bz) {
                bz = z;
                bx = top.ix + sx;
                by = top.iy + sy;
            }
        }
        if (bx == top.ix && by == top.iy) break;
        top.ix = bx;
        top.iy = by;
        top.zncc = bz;
    }
    top.fx = top.fy = 0.0;
    if (settings.subpixel) {
        const double left = znccAt(top.ix - 1, top.iy), right = znccAt(top.ix + 1, top.iy);
        const double up = znccAt(top.ix, top.iy - 1), down = znccAt(top.ix, top.iy + 1);
        if (left > -2.0 && right > -2.0) top.fx = parabolicOffset(float(left), float(top.zncc), float(right));
        if (up > -2.0 && down > -2.0) top.fy = parabolicOffset(float(up), float(top.zncc), float(down));
    }
    // A distinct match stands out from every other offset: the other candidates
    // and offsets a few pixels away, where a smooth overlap still matches well.
    double rival = 0.0;
    for (const Candidate& c : candidates)
        if (std::abs(c.ix - top.ix) > 2 || std::abs(c.iy - top.iy) > 2) rival = std::max(rival, c.zncc);
    const int d = std::max(3, int(std::lround(settings.probeDistancePx)));
    for (const auto& [px, py] : {std::pair{d, 0}, std::pair{-d, 0}, std::pair{0, d}, std::pair{0, -d}}) {
        double z = 0.0;
        if (overlapZncc(a, b, top.ix + px, top.iy + py, settings.minOverlapPixels, z, kRankingSamples))
            rival = std::max(rival, z);
    }
    out.found = true;
    out.dx = top.ix + top.fx;
    out.dy = top.iy + top.fy;
    out.zncc = top.zncc;
    out.confidence = std::clamp(top.zncc - rival, 0.0, 1.0);
    return true;
}

}  // namespace tavro::stitching
