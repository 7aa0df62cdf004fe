#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace tavro::testing {

// Pixel (x, y) has its centre at integer coordinates (x, y) and covers [x - 0.5, x + 0.5] x [y - 0.5, y + 0.5].
struct Image {
    int width = 0;
    int height = 0;
    std::vector<float> pixels;

    Image() = default;
    Image(int width, int height, float fill = 0.0f);

    std::size_t index(int x, int y) const { return std::size_t(y) * std::size_t(width) + std::size_t(x); }
    float at(int x, int y) const { return pixels[index(x, y)]; }
    float& at(int x, int y) { return pixels[index(x, y)]; }
};

using Vec2 = std::array<double, 2>;

// A displacement field in reference coordinates, the quantity DIC measures: the material point at X in the
// reference image appears at X + u(X) in the deformed image. Rendering calls it from several threads at once.
using DisplacementField = std::function<Vec2(double x, double y)>;

DisplacementField translationField(double ux, double uy);
// u(X) = gradient * (X - centre) + offset, gradient row-major {du/dx, du/dy, dv/dx, dv/dy}.
DisplacementField affineField(const std::array<double, 4>& gradient, Vec2 centre, Vec2 offset = {0.0, 0.0});
// u(X) = amplitude * sin(2 pi s / period) with s = X cos(direction) + Y sin(direction): direction 0 makes both
// components vary along x, pi/2 along y.
DisplacementField sinusoidField(Vec2 amplitude, double period, double direction = 0.0);

// inverseMap stops once a fixed-point step moves less than this (px per component); for a field with
// |grad u| < 1 the remaining error |X + u(X) - x| is smaller still.
inline constexpr double kInverseMapTolerance = 1e-10;

// The reference position X whose material lands on the deformed position x, i.e. X + u(X) = x, found by the
// fixed-point iteration X <- x - u(X). That converges for any field whose gradient norm stays below 1 (no folding);
// throws std::runtime_error when it does not.
Vec2 inverseMap(const DisplacementField& u, double x, double y);

struct SpeckleOptions {
    int width = 256;
    int height = 256;
    std::uint64_t seed = 1;
    // Spots are Gaussians exp(-r^2 / (2 s^2)) with s uniform in spotRadius * [1 - radiusSpread, 1 + radiusSpread].
    // Keep s >= 1.5 px: the pattern is then band-limited enough that sub-pixel shifts of the sampled image are
    // faithful translations (spectrum below 1e-4 of its peak at the Nyquist frequency).
    double spotRadius = 2.0;
    double radiusSpread = 0.25;
    // Mean number of spot centres within spotRadius of any point, i.e. density * pi * spotRadius^2. Each spot has a
    // random sign and a magnitude uniform in [0.5, 1]. Sparse patterns have their extremes in rare clusters of spots,
    // so scaling those to `contrast` leaves little grey-level spread elsewhere; rendering time grows with coverage.
    double coverage = 1.5;
    // Share of the spots that are bright: 1 gives bright spots on a dark ground, 0 dark ones on a bright ground.
    double brightShare = 0.5;
    // The pattern is scaled so that the reference pixel centres average `mean` and deviate from it by at most
    // `contrast`; deformed images stay close to that range. With the defaults a 256 x 256 reference has a grey-level
    // standard deviation near 20 and an rms gradient near 9 grey levels per pixel.
    double mean = 128.0;
    double contrast = 100.0;
    // Each pixel is the average of supersampling x supersampling point samples over its area.
    int supersampling = 4;
    // Tile the pattern with period (width, height); otherwise it extends without repeating over the whole plane,
    // so deformed images show genuine new texture where material enters across the border.
    bool periodic = false;
};

// A continuous random speckle pattern: a sum of Gaussian spots placed by a Poisson process.
class SpeckleModel {
public:
    explicit SpeckleModel(const SpeckleOptions& options);

    const SpeckleOptions& options() const { return options_; }

    // Grey level of the pattern at a point, before pixel integration.
    double value(double x, double y) const;

    Image render() const;
    // The deformed image: each sub-sample at x shows the pattern at inverseMap(u, x).
    Image render(const DisplacementField& u) const;
    // width x height pixels whose pixel (0, 0) is centred on (x0, y0), deformed by u when given: a window of
    // render() or render(*u) at any, also fractional, place.
    Image renderWindow(double x0, double y0, int width, int height, const DisplacementField* u = nullptr) const;

private:
    struct Spot {
        double x;
        double y;
        double inverseTwoVariance;
        double amplitude;
    };

    std::uint64_t cellSeed(std::int64_t cx, std::int64_t cy) const;
    void generateCell(std::int64_t cx, std::int64_t cy, std::vector<Spot>& out) const;
    // Replaces `out` with every spot (periodic images included) that reaches into [x0, x1] x [y0, y1].
    void gatherSpots(double x0, double x1, double y0, double y1, std::vector<Spot>& out) const;
    static double spotSum(double x, double y, const std::vector<Spot>& spots);

    SpeckleOptions options_;
    double cutoffRadius_ = 0.0;
    double cellWidth_ = 0.0;
    double cellHeight_ = 0.0;
    std::int64_t periodCellsX_ = 0;
    std::int64_t periodCellsY_ = 0;
    std::int64_t cacheX0_ = 0;
    std::int64_t cacheY0_ = 0;
    std::int64_t cacheCellsX_ = 0;
    std::int64_t cacheCellsY_ = 0;
    std::vector<std::uint32_t> cellStart_;
    std::vector<Spot> spots_;
    double offset_ = 0.0;
    double gain_ = 1.0;
};

struct ImagePair {
    Image reference;
    Image deformed;
};

// Reference and deformed images rendered from one SpeckleModel.
ImagePair makeRenderedPair(const SpeckleOptions& options, const DisplacementField& u);

// A straight crack through `point` whose tangent makes `angle` degrees with the x axis counter-clockwise on
// screen: tangent (cos a, -sin a) in image axes, normal n = (sin a, cos a). The material on the side n points to
// moves by `plus`, the other side's by `minus`, each a whole field of its own.
struct StraightCrack {
    Vec2 point{0.0, 0.0};
    double angle = 0.0; // degrees
    DisplacementField minus;
    DisplacementField plus;

    Vec2 normal() const;
    // Signed distance of reference position (x, y) from the line, positive on the side n points to.
    double distance(double x, double y) const;
    // Each side's field on its own side of the line.
    DisplacementField field() const;
};

// The deformed image of `model` cut by `crack`: each side rendered whole, and a pixel takes each side's material
// by the share of its area that side covers (linear in the distance of its centre from that side's moved line);
// where neither covers it, an opening, it shows `gapGrey`.
Image renderCracked(const SpeckleModel& model, const StraightCrack& crack, double gapGrey = 40.0);

// Translates an image by (ux, uy) px, def(x) = ref(x - u), through a phase ramp on its discrete Fourier transform.
// The image is treated as one period of a periodic, band-limited signal: content leaving one border re-enters at
// the opposite one. For even sizes the Nyquist component is ambiguous and is scaled by cos(pi u) to keep the result
// real, so the translation is exact only for images without Nyquist content, such as makeBandLimitedSpeckle's.
Image fourierShift(const Image& image, double ux, double uy);

// The periodic pattern (options.periodic is forced on) rendered, with the Nyquist row and column of even sizes
// removed so that fourierShift translates it exactly and invertibly.
Image makeBandLimitedSpeckle(SpeckleOptions options);

// makeBandLimitedSpeckle and its fourierShift by (ux, uy).
ImagePair makeFourierShiftedPair(const SpeckleOptions& options, double ux, double uy);

// Periodic band-limited Gaussian random speckle: white noise low-passed by a Gaussian of standard deviation sigma px
// (a spectral factor exp(-2 pi^2 sigma^2 f^2)), the Nyquist row and column of even sizes removed so that fourierShift
// moves it exactly, scaled to zero mean and unit standard deviation. The same seed gives the same field everywhere.
Image gaussianRandomField(int width, int height, double sigma, std::uint64_t seed);

// grey = mean + amplitude * tanh(gain * v) per pixel: a soft contrast curve that saturates the extremes of a field
// the way a well-exposed speckle does. A pointwise map, so it commutes with translating the underlying signal.
Image tanhContrast(const Image& field, double mean, double amplitude, double gain);

// Content moved by (dx, dy) whole pixels, cyclically.
Image roll(const Image& image, int dx, int dy);

// Adds independent zero-mean Gaussian noise of standard deviation sigma (grey levels) to every pixel.
Image addGaussianNoise(const Image& image, double sigma, std::uint64_t seed);

// Round to nearest (halves upwards) and clamp to 0..255; NaN becomes 0.
std::vector<std::uint8_t> quantize8(const Image& image);

} // namespace tavro::testing
