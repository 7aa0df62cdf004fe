#include "support/synthetic_images.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <complex>
#include <exception>
#include <limits>
#include <mutex>
#include <numbers>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>

namespace tavro::testing {

namespace {

using Complex = std::complex<double>;

// Spots are cut off where exp(-q) drops below 1.5e-8 of their peak, i.e. at six standard deviations; the step this
// leaves is far below float resolution of a grey level.
constexpr double kSpotCutoffExponent = 18.0;
constexpr int kMaxInverseMapIterations = 1000;

// Spots of a non-periodic pattern are precomputed this far around the image; samples further out stay correct,
// their spots are just generated on the fly.
constexpr double kCachedMarginPx = 64.0;

std::uint64_t splitMix64(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// 53 random bits, so every value is exact and the result is the same on every platform.
double unitInterval(std::uint64_t bits) {
    return double(bits >> 11) * 0x1.0p-53;
}

std::int64_t floorDiv(std::int64_t a, std::int64_t b) {
    std::int64_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

// Runs body(row) for every row on all hardware threads and rethrows the first exception once all have stopped.
void parallelRows(int rows, const std::function<void(int)>& body) {
    const unsigned hardware = std::max(1u, std::thread::hardware_concurrency());
    const int threadCount = int(std::min<unsigned>(hardware, unsigned(std::max(rows, 1))));
    std::atomic<int> next{0};
    std::atomic<bool> failed{false};
    std::exception_ptr error;
    std::mutex errorMutex;
    auto worker = [&] {
        for (int row = next++; row < rows && !failed; row = next++) {
            try {
                body(row);
            } catch (...) {
                std::lock_guard lock(errorMutex);
                if (!error)
                    error = std::current_exception();
                failed = true;
            }
        }
    };
    std::vector<std::jthread> threads;
    for (int i = 1; i < threadCount; ++i)
        threads.emplace_back(worker);
    worker();
    threads.clear();
    if (error)
        std::rethrow_exception(error);
}

// Written out because std::complex multiplication carries NaN/infinity recovery that the transforms never need.
inline Complex multiply(Complex a, Complex b) {
    return {a.real() * b.real() - a.imag() * b.imag(), a.real() * b.imag() + a.imag() * b.real()};
}

bool isPowerOfTwo(std::size_t n) {
    return n != 0 && (n & (n - 1)) == 0;
}

// Iterative decimation-in-time transform, X_k = sum_j x_j exp(-2 pi i j k / n), for n a power of two.
class Radix2Fft {
public:
    explicit Radix2Fft(std::size_t n) : n_(n), twiddles_(n / 2), bitReverse_(n) {
        // Each twiddle is evaluated directly rather than by repeated multiplication, keeping them accurate to an ulp.
        for (std::size_t k = 0; k < n / 2; ++k) {
            const double angle = -2.0 * std::numbers::pi * double(k) / double(n);
            twiddles_[k] = {std::cos(angle), std::sin(angle)};
        }
        int levels = 0;
        while ((std::size_t(1) << levels) < n)
            ++levels;
        for (std::size_t i = 0; i < n; ++i) {
            std::size_t reversed = 0;
            for (int bit = 0; bit < levels; ++bit)
                reversed |= ((i >> bit) & 1u) << (levels - 1 - bit);
            bitReverse_[i] = reversed;
        }
    }

    void forward(Complex* data) const {
        for (std::size_t i = 0; i < n_; ++i)
            if (i < bitReverse_[i])
                std::swap(data[i], data[bitReverse_[i]]);
        for (std::size_t length = 2; length <= n_; length <<= 1) {
            const std::size_t half = length / 2;
            const std::size_t stride = n_ / length;
            for (std::size_t start = 0; start < n_; start += length) {
                for (std::size_t k = 0; k < half; ++k) {
                    const Complex even = data[start + k];
                    const Complex odd = multiply(data[start + k + half], twiddles_[k * stride]);
                    data[start + k] = even + odd;
                    data[start + k + half] = even - odd;
                }
            }
        }
    }

private:
    std::size_t n_;
    std::vector<Complex> twiddles_;
    std::vector<std::size_t> bitReverse_;
};

// Unnormalised DFT of any length: radix-2 directly, otherwise Bluestein's chirp-z algorithm, which rewrites the
// DFT as a convolution evaluated with a power-of-two transform of at least 2n - 1 points.
class Fft {
public:
    explicit Fft(std::size_t n) : n_(n), radix2_(paddedSize(n)) {
        if (isPowerOfTwo(n))
            return;
        const std::size_t m = paddedSize(n);
        chirp_.resize(n);
        for (std::size_t j = 0; j < n; ++j) {
            // j^2 is reduced modulo 2n first: the chirp has that period, and the angle stays small and precise.
            const std::size_t phase = (j * j) % (2 * n);
            const double angle = -std::numbers::pi * double(phase) / double(n);
            chirp_[j] = {std::cos(angle), std::sin(angle)};
        }
        filterSpectrum_.assign(m, Complex{});
        filterSpectrum_[0] = std::conj(chirp_[0]);
        for (std::size_t j = 1; j < n; ++j) {
            filterSpectrum_[j] = std::conj(chirp_[j]);
            filterSpectrum_[m - j] = std::conj(chirp_[j]);
        }
        radix2_.forward(filterSpectrum_.data());
        work_.resize(m);
    }

    void forward(Complex* data) {
        if (chirp_.empty()) {
            radix2_.forward(data);
            return;
        }
        const std::size_t m = work_.size();
        std::fill(work_.begin(), work_.end(), Complex{});
        for (std::size_t j = 0; j < n_; ++j)
            work_[j] = multiply(data[j], chirp_[j]);
        radix2_.forward(work_.data());
        for (std::size_t k = 0; k < m; ++k)
            work_[k] = std::conj(multiply(work_[k], filterSpectrum_[k]));
        radix2_.forward(work_.data());
        const double scale = 1.0 / double(m);
        for (std::size_t k = 0; k < n_; ++k)
            data[k] = multiply(std::conj(work_[k]), chirp_[k]) * scale;
    }

    // Unnormalised inverse, sum_k X_k exp(+2 pi i j k / n), through conj(DFT(conj(X))).
    void inverse(Complex* data) {
        for (std::size_t i = 0; i < n_; ++i)
            data[i] = std::conj(data[i]);
        forward(data);
        for (std::size_t i = 0; i < n_; ++i)
            data[i] = std::conj(data[i]);
    }

private:
    static std::size_t paddedSize(std::size_t n) {
        if (isPowerOfTwo(n))
            return n;
        std::size_t m = 1;
        while (m < 2 * n - 1)
            m <<= 1;
        return m;
    }

    std::size_t n_;
    Radix2Fft radix2_;
    std::vector<Complex> chirp_;
    std::vector<Complex> filterSpectrum_;
    std::vector<Complex> work_;
};

struct Spectrum {
    int width;
    int height;
    std::vector<Complex> values;

    Complex& at(int kx, int ky) { return values[std::size_t(ky) * std::size_t(width) + std::size_t(kx)]; }
};

void transform2d(Spectrum& s, bool inverse) {
    const std::size_t w = std::size_t(s.width);
    const std::size_t h = std::size_t(s.height);
    Fft rows(w);
    for (std::size_t y = 0; y < h; ++y) {
        Complex* row = s.values.data() + y * w;
        inverse ? rows.inverse(row) : rows.forward(row);
    }
    Fft columns(h);
    std::vector<Complex> column(h);
    for (std::size_t x = 0; x < w; ++x) {
        for (std::size_t y = 0; y < h; ++y)
            column[y] = s.values[y * w + x];
        inverse ? columns.inverse(column.data()) : columns.forward(column.data());
        for (std::size_t y = 0; y < h; ++y)
            s.values[y * w + x] = column[y];
    }
}

Spectrum forwardTransform(const Image& image) {
    Spectrum s{image.width, image.height, std::vector<Complex>(image.pixels.size())};
    std::transform(image.pixels.begin(), image.pixels.end(), s.values.begin(),
                   [](float v) { return Complex(v, 0.0); });
    transform2d(s, false);
    return s;
}

// The imaginary part is rounding noise once the spectrum is conjugate-symmetric, which every caller preserves.
Image inverseTransform(Spectrum s) {
    transform2d(s, true);
    Image image(s.width, s.height);
    const double scale = 1.0 / (double(s.width) * double(s.height));
    for (std::size_t i = 0; i < s.values.size(); ++i)
        image.pixels[i] = float(s.values[i].real() * scale);
    return image;
}

// exp(-2 pi i k u / n) for each bin k, with k taken in [-n/2, n/2). The Nyquist bin of an even n stands for both
// +n/2 and -n/2; averaging their two phase factors gives the real cos(pi u), which keeps the image real.
std::vector<Complex> phaseRamp(int n, double shift) {
    std::vector<Complex> ramp(static_cast<std::size_t>(n));
    for (int k = 0; k < n; ++k) {
        if (n % 2 == 0 && k == n / 2) {
            ramp[std::size_t(k)] = {std::cos(std::numbers::pi * shift), 0.0};
            continue;
        }
        const int frequency = k <= (n - 1) / 2 ? k : k - n;
        const double angle = -2.0 * std::numbers::pi * double(frequency) * shift / double(n);
        ramp[std::size_t(k)] = {std::cos(angle), std::sin(angle)};
    }
    return ramp;
}

void requireSize(int width, int height, std::size_t count) {
    if (width <= 0 || height <= 0 || std::size_t(width) * std::size_t(height) != count)
        throw std::invalid_argument("image size does not match its pixel count");
}

} // namespace

Image::Image(int w, int h, float fill)
    : width(w), height(h), pixels(std::size_t(std::max(w, 0)) * std::size_t(std::max(h, 0)), fill) {}

DisplacementField translationField(double ux, double uy) {
    return [ux, uy](double, double) { return Vec2{ux, uy}; };
}

DisplacementField affineField(const std::array<double, 4>& gradient, Vec2 centre, Vec2 offset) {
    return [gradient, centre, offset](double x, double y) {
        const double dx = x - centre[0];
        const double dy = y - centre[1];
        return Vec2{gradient[0] * dx + gradient[1] * dy + offset[0], gradient[2] * dx + gradient[3] * dy + offset[1]};
    };
}

DisplacementField sinusoidField(Vec2 amplitude, double period, double direction) {
    const double kx = 2.0 * std::numbers::pi * std::cos(direction) / period;
    const double ky = 2.0 * std::numbers::pi * std::sin(direction) / period;
    return [amplitude, kx, ky](double x, double y) {
        const double s = std::sin(kx * x + ky * y);
        return Vec2{amplitude[0] * s, amplitude[1] * s};
    };
}

Vec2 inverseMap(const DisplacementField& u, double x, double y) {
    Vec2 reference{x, y};
    for (int iteration = 0; iteration < kMaxInverseMapIterations; ++iteration) {
        const Vec2 d = u(reference[0], reference[1]);
        const double stepX = x - d[0] - reference[0];
        const double stepY = y - d[1] - reference[1];
        reference[0] += stepX;
        reference[1] += stepY;
        if (std::abs(stepX) <= kInverseMapTolerance && std::abs(stepY) <= kInverseMapTolerance)
            return reference;
    }
    throw std::runtime_error("inverse mapping did not converge at (" + std::to_string(x) + ", " + std::to_string(y) +
                             "); the displacement gradient must stay below 1");
}

SpeckleModel::SpeckleModel(const SpeckleOptions& options) : options_(options) {
    if (options.width <= 0 || options.height <= 0)
        throw std::invalid_argument("speckle image size must be positive");
    if (!(options.spotRadius > 0.0) || !(options.radiusSpread >= 0.0 && options.radiusSpread < 1.0) ||
        !(options.coverage > 0.0) || !(options.brightShare >= 0.0 && options.brightShare <= 1.0) ||
        options.supersampling < 1) {
        throw std::invalid_argument("speckle options out of range");
    }
    cutoffRadius_ = std::sqrt(2.0 * kSpotCutoffExponent) * options.spotRadius * (1.0 + options.radiusSpread);
    if (options.periodic) {
        // A whole number of cells per period, so that cell indices wrap with the pattern.
        periodCellsX_ = std::max<std::int64_t>(1, std::int64_t(std::floor(options.width / cutoffRadius_)));
        periodCellsY_ = std::max<std::int64_t>(1, std::int64_t(std::floor(options.height / cutoffRadius_)));
        cellWidth_ = double(options.width) / double(periodCellsX_);
        cellHeight_ = double(options.height) / double(periodCellsY_);
        cacheCellsX_ = periodCellsX_;
        cacheCellsY_ = periodCellsY_;
    } else {
        cellWidth_ = cutoffRadius_;
        cellHeight_ = cutoffRadius_;
        const double margin = kCachedMarginPx + cutoffRadius_;
        cacheX0_ = std::int64_t(std::floor(-margin / cellWidth_));
        cacheY0_ = std::int64_t(std::floor(-margin / cellHeight_));
        cacheCellsX_ = std::int64_t(std::floor((options.width + margin) / cellWidth_)) - cacheX0_ + 1;
        cacheCellsY_ = std::int64_t(std::floor((options.height + margin) / cellHeight_)) - cacheY0_ + 1;
    }

    cellStart_.reserve(std::size_t(cacheCellsX_ * cacheCellsY_ + 1));
    cellStart_.push_back(0);
    std::vector<Spot> cell;
    for (std::int64_t cy = 0; cy < cacheCellsY_; ++cy) {
        for (std::int64_t cx = 0; cx < cacheCellsX_; ++cx) {
            generateCell(cacheX0_ + cx, cacheY0_ + cy, cell);
            spots_.insert(spots_.end(), cell.begin(), cell.end());
            cellStart_.push_back(std::uint32_t(spots_.size()));
        }
    }

    // Grey scale fixed once from the reference pixel centres, so reference and deformed images share one mapping.
    const int w = options.width;
    std::vector<double> raw(std::size_t(w) * std::size_t(options.height));
    parallelRows(options.height, [&](int y) {
        std::vector<Spot> nearby;
        for (int x = 0; x < w; ++x) {
            gatherSpots(x, x, y, y, nearby);
            raw[std::size_t(y) * std::size_t(w) + std::size_t(x)] = spotSum(x, y, nearby);
        }
    });
    double sum = 0.0;
    for (double v : raw)
        sum += v;
    offset_ = sum / double(raw.size());
    double maxDeviation = 0.0;
    for (double v : raw)
        maxDeviation = std::max(maxDeviation, std::abs(v - offset_));
    gain_ = maxDeviation > 0.0 ? options.contrast / maxDeviation : 0.0;
}

std::uint64_t SpeckleModel::cellSeed(std::int64_t cx, std::int64_t cy) const {
    std::uint64_t state = options_.seed;
    std::uint64_t h = splitMix64(state);
    state = h ^ std::uint64_t(cx);
    h = splitMix64(state);
    state = h ^ std::uint64_t(cy);
    return splitMix64(state);
}

// Spots are drawn per cell from a counter-based generator keyed on (seed, cell), so any cell of the unbounded
// plane can be produced on demand, identically, without generating the ones before it.
void SpeckleModel::generateCell(std::int64_t cx, std::int64_t cy, std::vector<Spot>& out) const {
    out.clear();
    std::uint64_t state = cellSeed(cx, cy);
    auto uniform = [&state] { return unitInterval(splitMix64(state)); };

    // Poisson count by Knuth's product method, split into portions of mean <= 100 so exp(-mean) cannot underflow.
    const double density = options_.coverage / (std::numbers::pi * options_.spotRadius * options_.spotRadius);
    double remaining = density * cellWidth_ * cellHeight_;
    int count = 0;
    while (remaining > 0.0) {
        const double portion = std::min(remaining, 100.0);
        remaining -= portion;
        const double limit = std::exp(-portion);
        double product = uniform();
        while (product > limit) {
            ++count;
            product *= uniform();
        }
    }

    const double originX = double(cx) * cellWidth_;
    const double originY = double(cy) * cellHeight_;
    for (int i = 0; i < count; ++i) {
        const double x = originX + uniform() * cellWidth_;
        const double y = originY + uniform() * cellHeight_;
        const double radius = options_.spotRadius * (1.0 + options_.radiusSpread * (2.0 * uniform() - 1.0));
        const double magnitude = 0.5 + 0.5 * uniform();
        const double amplitude = uniform() < 1.0 - options_.brightShare ? -magnitude : magnitude;
        out.push_back({x, y, 1.0 / (2.0 * radius * radius), amplitude});
    }
}

// Spots come out in a fixed order (cells row by row, then storage order), so two boxes holding the same sample
// point always sum its spots in the same order and give bit-identical values.
void SpeckleModel::gatherSpots(double x0, double x1, double y0, double y1, std::vector<Spot>& out) const {
    out.clear();
    thread_local std::vector<Spot> generated;
    const std::int64_t firstX = std::int64_t(std::floor((x0 - cutoffRadius_) / cellWidth_));
    const std::int64_t lastX = std::int64_t(std::floor((x1 + cutoffRadius_) / cellWidth_));
    const std::int64_t firstY = std::int64_t(std::floor((y0 - cutoffRadius_) / cellHeight_));
    const std::int64_t lastY = std::int64_t(std::floor((y1 + cutoffRadius_) / cellHeight_));
    for (std::int64_t cy = firstY; cy <= lastY; ++cy) {
        for (std::int64_t cx = firstX; cx <= lastX; ++cx) {
            double shiftX = 0.0;
            double shiftY = 0.0;
            std::int64_t cachedX = cx - cacheX0_;
            std::int64_t cachedY = cy - cacheY0_;
            if (options_.periodic) {
                const std::int64_t tileX = floorDiv(cx, periodCellsX_);
                const std::int64_t tileY = floorDiv(cy, periodCellsY_);
                cachedX = cx - tileX * periodCellsX_;
                cachedY = cy - tileY * periodCellsY_;
                shiftX = double(tileX) * options_.width;
                shiftY = double(tileY) * options_.height;
            }
            const Spot* first = nullptr;
            const Spot* last = nullptr;
            if (cachedX >= 0 && cachedX < cacheCellsX_ && cachedY >= 0 && cachedY < cacheCellsY_) {
                const std::size_t cell = std::size_t(cachedY * cacheCellsX_ + cachedX);
                first = spots_.data() + cellStart_[cell];
                last = spots_.data() + cellStart_[cell + 1];
            } else {
                generateCell(cx, cy, generated);
                first = generated.data();
                last = first + generated.size();
            }
            for (const Spot* spot = first; spot != last; ++spot) {
                const double x = spot->x + shiftX;
                const double y = spot->y + shiftY;
                const double dx = x < x0 ? x0 - x : (x > x1 ? x - x1 : 0.0);
                const double dy = y < y0 ? y0 - y : (y > y1 ? y - y1 : 0.0);
                if ((dx * dx + dy * dy) * spot->inverseTwoVariance < kSpotCutoffExponent) {
                    out.push_back({x, y, spot->inverseTwoVariance, spot->amplitude});
                }
            }
        }
    }
}

double SpeckleModel::spotSum(double x, double y, const std::vector<Spot>& spots) {
    double sum = 0.0;
    for (const Spot& spot : spots) {
        const double dx = x - spot.x;
        const double dy = y - spot.y;
        const double q = (dx * dx + dy * dy) * spot.inverseTwoVariance;
        if (q < kSpotCutoffExponent)
            sum += spot.amplitude * std::exp(-q);
    }
    return sum;
}

double SpeckleModel::value(double x, double y) const {
    thread_local std::vector<Spot> nearby;
    gatherSpots(x, x, y, y, nearby);
    return options_.mean + gain_ * (spotSum(x, y, nearby) - offset_);
}

Vec2 StraightCrack::normal() const {
    const double a = angle * 3.14159265358979323846 / 180.0;
    return {std::sin(a), std::cos(a)};
}

double StraightCrack::distance(double x, double y) const {
    const Vec2 n = normal();
    return n[0] * (x - point[0]) + n[1] * (y - point[1]);
}

DisplacementField StraightCrack::field() const {
    const StraightCrack crack = *this;
    return [crack](double x, double y) { return crack.distance(x, y) > 0.0 ? crack.plus(x, y) : crack.minus(x, y); };
}

Image renderCracked(const SpeckleModel& model, const StraightCrack& crack, double gapGrey) {
    const Image minusImage = model.render(crack.minus), plusImage = model.render(crack.plus);
    Image deformed(model.options().width, model.options().height);
    for (int y = 0; y < deformed.height; ++y)
        for (int x = 0; x < deformed.width; ++x) {
            // Each side's share from where its material at this pixel came from.
            const Vec2 up = crack.plus(x, y), um = crack.minus(x, y);
            const double a = std::clamp(0.5 + crack.distance(x - up[0], y - up[1]), 0.0, 1.0);
            const double b = std::clamp(0.5 - crack.distance(x - um[0], y - um[1]), 0.0, 1.0);
            const double pa = plusImage.at(x, y), pb = minusImage.at(x, y);
            deformed.at(x, y) =
                float(a + b > 1.0 ? (a * pa + b * pb) / (a + b) : a * pa + b * pb + (1.0 - a - b) * gapGrey);
        }
    return deformed;
}

Image SpeckleModel::render() const {
    return renderWindow(0.0, 0.0, options_.width, options_.height);
}

Image SpeckleModel::render(const DisplacementField& u) const {
    return renderWindow(0.0, 0.0, options_.width, options_.height, &u);
}

Image SpeckleModel::renderWindow(double originX, double originY, int width, int height,
                                 const DisplacementField* u) const {
    const int s = options_.supersampling;
    Image image(width, height);
    parallelRows(height, [&](int row) {
        std::vector<Vec2> samples(std::size_t(s) * std::size_t(s));
        std::vector<Spot> nearby;
        const double py = originY + row;
        for (int column = 0; column < width; ++column) {
            const double px = originX + column;
            double x0 = std::numeric_limits<double>::infinity();
            double y0 = x0;
            double x1 = -x0;
            double y1 = -x0;
            for (int sy = 0; sy < s; ++sy) {
                const double y = py - 0.5 + (sy + 0.5) / s;
                for (int sx = 0; sx < s; ++sx) {
                    const double x = px - 0.5 + (sx + 0.5) / s;
                    const Vec2 point = u ? inverseMap(*u, x, y) : Vec2{x, y};
                    samples[std::size_t(sy) * std::size_t(s) + std::size_t(sx)] = point;
                    x0 = std::min(x0, point[0]);
                    x1 = std::max(x1, point[0]);
                    y0 = std::min(y0, point[1]);
                    y1 = std::max(y1, point[1]);
                }
            }
            gatherSpots(x0, x1, y0, y1, nearby);
            double sum = 0.0;
            for (const Vec2& point : samples)
                sum += spotSum(point[0], point[1], nearby);
            image.at(column, row) = float(options_.mean + gain_ * (sum / double(samples.size()) - offset_));
        }
    });
    return image;
}

ImagePair makeRenderedPair(const SpeckleOptions& options, const DisplacementField& u) {
    const SpeckleModel model(options);
    return {model.render(), model.render(u)};
}

Image fourierShift(const Image& image, double ux, double uy) {
    requireSize(image.width, image.height, image.pixels.size());
    Spectrum s = forwardTransform(image);
    const std::vector<Complex> rampX = phaseRamp(image.width, ux);
    const std::vector<Complex> rampY = phaseRamp(image.height, uy);
    for (int ky = 0; ky < image.height; ++ky)
        for (int kx = 0; kx < image.width; ++kx)
            s.at(kx, ky) = multiply(s.at(kx, ky), multiply(rampX[std::size_t(kx)], rampY[std::size_t(ky)]));
    return inverseTransform(std::move(s));
}

Image makeBandLimitedSpeckle(SpeckleOptions options) {
    options.periodic = true;
    const Image rendered = SpeckleModel(options).render();
    Spectrum s = forwardTransform(rendered);
    if (s.width % 2 == 0)
        for (int ky = 0; ky < s.height; ++ky)
            s.at(s.width / 2, ky) = {};
    if (s.height % 2 == 0)
        for (int kx = 0; kx < s.width; ++kx)
            s.at(kx, s.height / 2) = {};
    return inverseTransform(std::move(s));
}

ImagePair makeFourierShiftedPair(const SpeckleOptions& options, double ux, double uy) {
    Image reference = makeBandLimitedSpeckle(options);
    Image deformed = fourierShift(reference, ux, uy);
    return {std::move(reference), std::move(deformed)};
}

Image gaussianRandomField(int width, int height, double sigma, std::uint64_t seed) {
    requireSize(width, height, std::size_t(width) * std::size_t(height));
    Image noise = addGaussianNoise(Image(width, height), 1.0, seed);
    Spectrum s = forwardTransform(noise);
    const double damping = -2.0 * std::numbers::pi * std::numbers::pi * sigma * sigma;
    const auto frequency = [](int k, int n) {
        const int signedK = k <= n / 2 ? k : k - n;
        return double(signedK) / double(n);
    };
    for (int ky = 0; ky < height; ++ky)
        for (int kx = 0; kx < width; ++kx) {
            const bool nyquist = (width % 2 == 0 && kx == width / 2) || (height % 2 == 0 && ky == height / 2);
            const double fx = frequency(kx, width), fy = frequency(ky, height);
            s.at(kx, ky) *= nyquist || (kx == 0 && ky == 0) ? 0.0 : std::exp(damping * (fx * fx + fy * fy));
        }
    Image field = inverseTransform(std::move(s));
    double sumSquares = 0.0;
    for (float v : field.pixels)
        sumSquares += double(v) * double(v);
    const double scale = sumSquares > 0.0 ? 1.0 / std::sqrt(sumSquares / double(field.pixels.size())) : 0.0;
    for (float& v : field.pixels)
        v = float(double(v) * scale);
    return field;
}

Image tanhContrast(const Image& field, double mean, double amplitude, double gain) {
    Image out = field;
    for (float& v : out.pixels)
        v = float(mean + amplitude * std::tanh(gain * double(v)));
    return out;
}

Image addGaussianNoise(const Image& image, double sigma, std::uint64_t seed) {
    std::mt19937_64 engine(seed);
    Image noisy = image;
    // Box-Muller on the engine's raw output instead of std::normal_distribution, whose algorithm is left to
    // the standard library and would change the noise between toolchains.
    for (std::size_t i = 0; i < noisy.pixels.size(); i += 2) {
        const double u1 = (double(engine() >> 11) + 1.0) * 0x1.0p-53;
        const double u2 = unitInterval(engine());
        const double radius = sigma * std::sqrt(-2.0 * std::log(u1));
        const double angle = 2.0 * std::numbers::pi * u2;
        noisy.pixels[i] = float(noisy.pixels[i] + radius * std::cos(angle));
        if (i + 1 < noisy.pixels.size())
            noisy.pixels[i + 1] = float(noisy.pixels[i + 1] + radius * std::sin(angle));
    }
    return noisy;
}

Image roll(const Image& image, int dx, int dy) {
    Image out(image.width, image.height);
    for (int y = 0; y < image.height; ++y)
        for (int x = 0; x < image.width; ++x) {
            const int sx = ((x - dx) % image.width + image.width) % image.width;
            const int sy = ((y - dy) % image.height + image.height) % image.height;
            out.at(x, y) = image.at(sx, sy);
        }
    return out;
}

std::vector<std::uint8_t> quantize8(const Image& image) {
    std::vector<std::uint8_t> out(image.pixels.size());
    std::transform(image.pixels.begin(), image.pixels.end(), out.begin(), [](float v) {
        const double rounded = std::floor(double(v) + 0.5);
        return std::isnan(rounded) ? std::uint8_t(0) : std::uint8_t(std::clamp(rounded, 0.0, 255.0));
    });
    return out;
}

} // namespace tavro::testing
