#include "bench_options.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <sstream>

#include "core/tavro_fft.h"

namespace tavro::bench {
namespace {

bool parseInt(const std::string& text, int low, int high, int& out) {
    errno = 0;
    char* end = nullptr;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || end == text.c_str() || *end != '\0' || v < low || v > high) return false;
    out = static_cast<int>(v);
    return true;
}

bool parseDouble(const std::string& text, double& out) {
    errno = 0;
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (errno != 0 || end == text.c_str() || *end != '\0' || !(v == v)) return false;
    out = v;
    return true;
}

bool parseList(const std::string& text, double (&out)[4]) {
    std::stringstream in(text);
    std::string item;
    for (double& v : out)
        if (!std::getline(in, item, ',') || !parseDouble(item, v)) return false;
    return !std::getline(in, item, ',');
}

using Setter = std::function<bool(const std::string&, BenchOptions&)>;

Setter integer(int BenchOptions::*member, int low, int high) {
    return [member, low, high](const std::string& v, BenchOptions& o) { return parseInt(v, low, high, o.*member); };
}

Setter real(double BenchOptions::*member) {
    return [member](const std::string& v, BenchOptions& o) { return parseDouble(v, o.*member); };
}

Setter flag(bool BenchOptions::*member) {
    return [member](const std::string& v, BenchOptions& o) {
        if (v == "1" || v == "on" || v == "yes") return o.*member = true, true;
        if (v == "0" || v == "off" || v == "no") return o.*member = false, true;
        return false;
    };
}

const std::map<std::string, Setter>& setters() {
    static const std::map<std::string, Setter> table = {
        {"case",
         [](const std::string& v, BenchOptions& o) {
             if (v != "window") return false;
             // The window's defaults: the hierarchical search and the affine refinement, bilinear.
             o.window = 61;
             o.step = 4;
             o.range = 6;
             o.affineShape = true;
             o.iterations = 30;
             o.tolerance = 1e-4f;
             o.interpolation = 0;
             o.hierarchical = true;
             o.fft = o.stitching = o.fractionScan = false;
             return true;
         }},
        {"size",
         [](const std::string& v, BenchOptions& o) {
             return parseInt(v, 64, 32768, o.width) && parseInt(v, 64, 32768, o.height);
         }},
        {"width", integer(&BenchOptions::width, 64, 32768)},
        {"height", integer(&BenchOptions::height, 64, 32768)},
        {"window", integer(&BenchOptions::window, 3, 255)},
        {"step", integer(&BenchOptions::step, 1, 1024)},
        {"sweep-windows",
         [](const std::string& v, BenchOptions& o) {
             const size_t comma = v.find(',');
             return comma != std::string::npos && parseInt(v.substr(0, comma), 3, 255, o.sweepFirst) &&
                    parseInt(v.substr(comma + 1), o.sweepFirst, 255, o.sweepLast) && o.sweepFirst % 2 == 1;
         }},
        {"range", integer(&BenchOptions::range, 0, 1024)},
        {"interpolation",
         [](const std::string& v, BenchOptions& o) {
             for (int k = 0; k < 4; ++k)
                 if (v == interpolationName(k)) return o.interpolation = k, true;
             return false;
         }},
        {"tolerance",
         [](const std::string& v, BenchOptions& o) {
             double t = 0.0;
             if (!parseDouble(v, t) || !(t > 0.0)) return false;
             o.tolerance = static_cast<float>(t);
             return true;
         }},
        {"iterations", integer(&BenchOptions::iterations, 1, 1000)},
        {"shape",
         [](const std::string& v, BenchOptions& o) {
             if (v == "affine") return o.affineShape = true, true;
             if (v == "translation") return o.affineShape = false, true;
             return false;
         }},
        {"threads", integer(&BenchOptions::threads, 0, 4096)},
        {"field",
         [](const std::string& v, BenchOptions& o) {
             for (FieldKind k : {FieldKind::Translation, FieldKind::Affine, FieldKind::Sinusoid})
                 if (v == fieldName(k)) return o.field = k, true;
             return false;
         }},
        {"ux", real(&BenchOptions::ux)},
        {"uy", real(&BenchOptions::uy)},
        {"gradient", [](const std::string& v, BenchOptions& o) { return parseList(v, o.gradient); }},
        {"period", real(&BenchOptions::period)},
        {"amplitude", real(&BenchOptions::amplitude)},
        {"direction", real(&BenchOptions::directionDegrees)},
        {"spot-radius", real(&BenchOptions::spotRadius)},
        {"coverage", real(&BenchOptions::coverage)},
        {"contrast", real(&BenchOptions::contrast)},
        {"noise", real(&BenchOptions::noise)},
        {"noise-on",
         [](const std::string& v, BenchOptions& o) {
             if (v == "both") return o.noiseOnReference = true, true;
             if (v == "deformed") return o.noiseOnReference = false, true;
             return false;
         }},
        {"seed",
         [](const std::string& v, BenchOptions& o) {
             int s = 0;
             if (!parseInt(v, 0, 1 << 30, s)) return false;
             o.seed = static_cast<unsigned long long>(s);
             return true;
         }},
        {"crack", flag(&BenchOptions::crack)},
        {"crack-angle", real(&BenchOptions::crackAngle)},
        {"crack-jump", real(&BenchOptions::crackJump)},
        {"crack-pairs", flag(&BenchOptions::crackPairs)},
        {"crack-pairs-filter",
         [](const std::string& v, BenchOptions& o) {
             o.crackPairsFilter = v;
             return true;
         }},
        {"crack-random", integer(&BenchOptions::crackRandom, 0, 1000000)},
        {"crack-random-bspline", flag(&BenchOptions::crackRandomBspline)},
        {"crack-random-kind",
         [](const std::string& v, BenchOptions& o) {
             o.crackRandomKind = v;
             return true;
         }},
        {"neural", flag(&BenchOptions::neural)},
        {"neural-crack-jump", real(&BenchOptions::neuralCrackJump)},
        {"repeat", integer(&BenchOptions::repeat, 1, 1000)},
        {"busy", integer(&BenchOptions::busyThreads, 0, 1024)},
        {"phase-times", flag(&BenchOptions::phaseTimes)},
        {"rigid", flag(&BenchOptions::rigid)},
        {"hierarchical", flag(&BenchOptions::hierarchical)},
        {"fft", flag(&BenchOptions::fft)},
        {"pipeline", flag(&BenchOptions::pipeline)},
        {"fft-batch", integer(&BenchOptions::fftBatch, 1, 65535)},
        {"stitching", flag(&BenchOptions::stitching)},
        {"stitch-grid", integer(&BenchOptions::stitchGrid, 2, 16)},
        {"stitch-tile", integer(&BenchOptions::stitchTile, 128, 8192)},
        {"fft-size", integer(&BenchOptions::fftSize, 0, 4096)},
        {"fraction-scan", flag(&BenchOptions::fractionScan)},
        {"scan-size", integer(&BenchOptions::scanSize, 64, 4096)},
        {"scan-steps", integer(&BenchOptions::scanSteps, 1, 1000)},
        {"scan-sigma", real(&BenchOptions::scanSigma)},
        {"verbose", flag(&BenchOptions::verbose)},
        {"save-pair", [](const std::string& v, BenchOptions& o) { return o.savePair = v, !v.empty(); }},
    };
    return table;
}

bool validate(const BenchOptions& o, std::string& error) {
    if (o.window % 2 == 0) error = "--window must be odd";
    else if (o.fftSize != 0 && (o.fftSize < 4 || o.fftSize % 2 != 0 || !fft::isSmooth(o.fftSize)))
        error = "--fft-size must be even, at least 4, with no prime factor above 5";
    else if (!(o.period > 0.0)) error = "--period must be positive";
    else if (!(o.spotRadius >= 1.5)) error = "--spot-radius must be at least 1.5 px (band limit)";
    else if (!(o.scanSigma >= 1.0)) error = "--scan-sigma must be at least 1 px (band limit)";
    else if (!(o.coverage > 0.0) || !(o.contrast > 0.0) || !(o.noise >= 0.0))
        error = "--coverage and --contrast must be positive, --noise not negative";
    return error.empty();
}

} // namespace

const char* interpolationName(int interpolation) {
    static const char* const names[] = {"bilinear", "bicubic", "bspline", "quartic"};
    return interpolation >= 0 && interpolation < 4 ? names[interpolation] : "unknown";
}

const char* fieldName(FieldKind field) {
    switch (field) {
    case FieldKind::Translation: return "translation";
    case FieldKind::Affine: return "affine";
    case FieldKind::Sinusoid: return "sinusoid";
    }
    return "unknown";
}

bool parseOptions(int argc, char** argv, BenchOptions& options, bool& help, std::string& error) {
    help = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            help = true;
            return true;
        }
        if (arg.rfind("--", 0) != 0) {
            error = "unexpected argument '" + arg + "'";
            return false;
        }
        std::string value;
        const size_t equals = arg.find('=');
        if (equals != std::string::npos) {
            value = arg.substr(equals + 1);
            arg = arg.substr(0, equals);
        } else if (i + 1 < argc) {
            value = argv[++i];
        } else {
            error = "option " + arg + " needs a value";
            return false;
        }
        const auto it = setters().find(arg.substr(2));
        if (it == setters().end()) {
            error = "unknown option " + arg;
            return false;
        }
        if (!it->second(value, options)) {
            error = "invalid value '" + value + "' for " + arg;
            return false;
        }
    }
    return validate(options, error);
}

std::string usageText() {
    return R"(usage: tavro_bench [--option value | --option=value ...]

Generates a synthetic 8-bit speckle pair with a known displacement field, runs
the engine end to end (rigid registration, integer-pixel search, sub-pixel
refinement, strains) and prints one key=value line per figure.

Case
  --case window        the window's own run: window 61, step 4, range 6, affine, 30 iterations,
                       tolerance 1e-4, bilinear, hierarchical search; no FFT, stitching or fraction
                       scan (later options override)
  --size N             square image of N x N pixels (default 1024)
  --width N, --height N
  --field KIND         translation | affine | sinusoid (default translation)
  --ux X, --uy Y       translation, or the affine field's value at the centre (default 2.35, -1.72)
  --gradient a,b,c,d   affine du/dx, du/dy, dv/dx, dv/dy (default 0.005,0.002,-0.002,-0.003)
  --period P           sinusoid period in pixels (default 64)
  --amplitude A        sinusoid amplitude of both components in pixels (default 0.5)
  --direction D        sinusoid wave direction in degrees, 0 along x (default 0)
  --spot-radius R      speckle spot radius (Gaussian sigma) in pixels, >= 1.5 (default 2)
  --coverage C         speckle spots per spot area (default 4)
  --contrast C         largest deviation of the noise-free reference from grey 128 (default 255;
                       above 127 the extremes clip at 0 and 255)
  --noise S            independent Gaussian noise of S grey levels (default 1)
  --noise-on W         both | deformed: the images that receive the noise (default both)
  --seed N             pattern and noise seed (default 1)

Engine
  --window N           odd subset size (default 21)
  --step N             grid step in pixels (default 5)
  --range N            integer search range in every direction (default 5)
  --interpolation K    bilinear | bicubic | bspline | quartic (default bicubic)
  --tolerance T        convergence tolerance (default 1e-3)
  --iterations N       maximum Gauss-Newton iterations (default 10)
  --shape S            affine | translation (default affine)
  --threads N          CPU threads of the device runtime, 0 for every core (default 0)
  --rigid 0|1          run the rigid registration and pre-shift the deformed image (default 1)
  --hierarchical 0|1   coarse pass, then a fine pass around its guesses, as the window runs it (default 0)

Measurement
  --repeat N           runs of the pipeline; times are reported as median and best (default 3)
  --busy N             run N spinning threads beside the engine throughout, as other work on the machine
                       would (default 0); with --repeat 9 the times give min, median and max of 9 runs
  --phase-times 0|1    the integer search's time per phase: setup, extraction, forward transforms, inverse,
                       sums and peaks, whole points in cache, guided points by tiles, and outside the
                       batches (uploads, leases) (default 0)
  --pipeline 0|1       run the pipeline (default 1)
  --sweep-windows A,B  integer search alone at every odd window from A to B (range as given)
  --fft 0|1            measure the FFT on batched search frames (default 1)
  --fft-size N         frame size of the FFT measurement (default: the search's frames)
  --fft-batch N        frames per batch (default 1024)
  --stitching 0|1      stitch a synthetic tile scan (default 1)
  --stitch-grid N      tiles per side of the scan (default 4)
  --stitch-tile N      tile side in pixels (default 2048)
  --fraction-scan 0|1  refine Gaussian speckle (tanh contrast, 8-bit) moved by exact Fourier shifts of
                       0 .. 1 px with every interpolation: largest |bias| and scatter of each (default 1)
  --scan-size N        its image side in pixels (default 256)
  --scan-steps N       fractional shifts 0, 1/N, .., 1 (default 20)
  --scan-sigma S       its speckle correlation length (Gaussian sigma) in pixels, >= 1 (default 1.5)
  --crack 0|1          run the crack case: a straight crack through the centre, each side moved by the
                       case's field -+ half the jump, refined by the discontinuity engine (default 0)
  --crack-angle D      its angle in degrees, counter-clockwise on screen (default 30)
  --crack-jump J       its jump in pixels, at 40 degrees to the normal (default 0.5)
  --crack-pairs 0|1    run the crack catalogue (openings, slidings, a tip, parallel cracks, smooth fields)
                       at windows 21, 31 and 61, step 4, bilinear: per crack the share traced by one line
                       and its jump RMS, per side the displacement errors, false points and lines (default 0)
  --crack-pairs-filter S only the catalogue's pairs whose name contains S
  --crack-random N     run N random crack pairs (512 x 512, drawn from seeds --seed, --seed + 1, ..: spot
                       size, polarity, contrast, gap grey, noise, blur; single cracks at any angle, cracks
                       near the border, tips, crossing cracks, shear bands without a crack) at windows 21,
                       31 and 61, step 4, bilinear: one line of figures per draw and window, then the mean
                       and the worst tenth of each figure per window (default 0)
  --crack-random-bspline 0|1 refine the random pairs with a cubic B-spline: cut points must come within
                       0.03 px of their side's displacement instead of 0.05, and the summary's figures are
                       named crack_random_bspline_w.. (default 0)
  --crack-random-kind K only the draws of kind K (single, border, tip, crossing, shear_band) among them
  --neural 0|1         run the neural case: the learned engine with dense output (65 px windows, a start
                       grid every 48 px) on the case's pair and on a crack pair, beside IC-GN at the same
                       points (default 0)
  --neural-crack-jump J the neural crack pair's jump in pixels, at 40 degrees to the normal (default 2)
  --verbose 0|1        pass the engine's own messages to standard error (default 0)
  --save-pair PREFIX   also write the pair as PREFIX_reference.png and PREFIX_deformed.png (8-bit grey),
                       and the crack case's as PREFIX_crack_reference.png and PREFIX_crack_deformed.png,
                       and each crack pair as PREFIX_NAME_reference.png and PREFIX_NAME_deformed.png,
                       and each random crack draw as PREFIX_drawD_reference.png and PREFIX_drawD_deformed.png
)";
}

} // namespace tavro::bench
